// The kinds of wrappers, each declared in one line of its class's table:
//
//     method<"TqResult_SetCode", &TqResult::SetCode>("aIn"),
//     overloaded<"new_TqResult">(constructor<TqResult>(), constructor<TqResult, uint32_t>("aCode")),
//
// A declaration makes the shape of the call (static data), one typed thunk and the method-table row;
// everything else runs in the one dispatcher. Parameter names are declared with the parameters: a
// wrong count does not compile.
#pragma once

#include "docs.h"
#include "params.h"
#include "policies.h"
#include "results.h"

#include <array>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace kivo::rt {

// ---- signatures of wrapped callables ----

template <class... P>
struct Params {};

template <class F>
struct Callable;
template <class R, class C, class... A>
struct Callable<R (C::*)(A...)> {
    using Self = C;
    using Result = R;
    using Args = Params<A...>;
    static constexpr bool member = true;
};
template <class R, class C, class... A>
struct Callable<R (C::*)(A...) const> {
    using Self = const C;
    using Result = R;
    using Args = Params<A...>;
    static constexpr bool member = true;
};
template <class R, class... A>
struct Callable<R (*)(A...)> {
    using Self = void;
    using Result = R;
    using Args = Params<A...>;
    static constexpr bool member = false;
};

// A free function whose first parameter is self: its self type and its further parameters.
template <class F>
struct FreeMethod;
template <class R, class S, class... A>
struct FreeMethod<R (*)(S*, A...)> {
    using Self = S;
    using Args = Params<A...>;
};

// Picks one member of an overload set: member<bool(const TqResult&) const>(&TqResult::operator==).
template <class Sig, class C>
constexpr auto member(Sig C::*m) {
    return m;
}

template <class... P>
constexpr int width_of() {
    return (0 + ... + ParamOf<P>::width);
}

// ---- the typed call ----

template <class T>
auto as_tuple(T&& v) {
    if constexpr (requires { std::tuple_size<std::remove_cvref_t<T>>::value; })
        return std::forward<T>(v);
    else
        return std::forward_as_tuple(std::forward<T>(v));
}

// Whether a parameter gives the call several values: an array (its pointer and its length), or a
// kind whose value is a tuple (a Python tuple standing for several SDK arguments).
template <class P>
constexpr bool splits = ParamOf<P>::width != 1 || requires(Slot& s) {
    std::tuple_size<std::remove_cvref_t<decltype(ParamOf<P>::take(s))>>::value;
};

// Calls fn with the values the slots hold.
template <class... P, std::size_t... I, class Fn>
decltype(auto) call_with(Slot* s, std::index_sequence<I...>, Fn&& fn) {
    if constexpr ((... && !splits<P>))
        return fn(ParamOf<P>::take(s[I])...);
    else
        return std::apply(fn, std::tuple_cat(as_tuple(ParamOf<P>::take(s[I]))...));
}

// The static data of one callable: its parameters (self first), result and policy.
template <class Policy, class SelfT, class R, class... P>
struct ShapeData {
    static constexpr bool has_self = !std::is_void_v<SelfT>;
    static constexpr int count = (has_self ? 1 : 0) + static_cast<int>(sizeof...(P));
    static_assert(count <= kMaxParams, "too many parameters for one call");

    static constexpr std::array<ParamShape, count> make_params() {
        std::array<ParamShape, count> out{};
        int k = 0;
        int cpos = 1;
        if constexpr (has_self) {
            out[k++] = self_shape<SelfT>();
            if (Policy::none_self_commits) out[0].flags |= Param_NoneCommits;
            if (Policy::lenient_from == 1) out[0].flags |= Param_Lenient;
            cpos = 2;
        }
        [[maybe_unused]] auto add = [&](ParamShape p, int width) {
            p.cpos = static_cast<int8_t>(cpos);
            if (Policy::lenient_from && cpos >= Policy::lenient_from) p.flags |= Param_Lenient;
            if (Policy::none_commits_from && cpos >= Policy::none_commits_from) p.flags |= Param_NoneCommits;
            if (Policy::refusal_commits_from && cpos >= Policy::refusal_commits_from)
                p.flags |= Param_NoneCommits | Param_RefusalCommits;
            out[k++] = p;
            cpos += width;
        };
        (add(param_shape<P>(0), ParamOf<P>::width), ...);
        return out;
    }
    static constexpr std::array<ParamShape, count> params = make_params();
    static constexpr int inputs = (has_self ? 1 : 0) + (0 + ... + ((ParamOf<P>::flags & Param_Input) ? 1 : 0));
    static constexpr int defaults = (0 + ... + (HasDefault<P> ? 1 : 0));
    static constexpr int documented = (0 + ... + ((ParamOf<P>::flags & Param_Documented) ? 1 : 0));
    static constexpr int outputs = (0 + ... + ((ParamOf<P>::flags & Param_Output) ? 1 : 0));

    static constexpr const ResultKind* result_kind() {
        if constexpr (Policy::has_result)
            return Policy::result;
        else
            return ResultOf<R>::kind();
    }
};

// Writes the default of a parameter the call leaves out (only ever one that has a default).
inline void set_default_of(const ParamShape& p, Slot& slot) {
    if (p.set_default) p.set_default(slot);
}

// The conversion of a candidate's arguments unrolled from its parameter table (the Converter of its
// shape): the same steps as the dispatcher's general walk, self matched in line.
template <class Data>
struct TypedConvert {
    template <int K>
    static bool one(const Candidate& c, PyObject* const* items, Slot* slots, int first, int& item, int& failed,
                    int& code, bool& dirty, bool overloaded, Ref* pending) {
        constexpr const ParamShape& p = Data::params[K];
        if (K < first) return true;   // self, converted for an earlier candidate
        Slot& slot = slots[K];
        slot.cleanup = nullptr;
        if constexpr ((p.flags & Param_Input) != 0) {
            if (item < c.given) {
                PyObject* o = items[item++];
                if constexpr ((p.flags & Param_Self) != 0) {
                    // The common self: a proxy of exactly the class, bare or held by a companion instance.
                    void* self = nullptr;
                    if (quick_match(o, p.descriptor(), &self) && self) {
                        slot.as<void*>() = self;
                        return true;
                    }
                }
                if (int res = convert_input(p, o, slot); res < 0)
                    return candidate_failed(c, items, slots, K, item, res, failed, code, overloaded, pending);
            } else {
                ++item;
                set_default_of(p, slot);
            }
        } else {
            p.kind->prepare(slot);
        }
        dirty = dirty || slot.cleanup;
        return true;
    }

    template <int... K>
    static bool all(const Candidate& c, [[maybe_unused]] PyObject* const* items, [[maybe_unused]] Slot* slots,
                    int& failed, int& code, bool& dirty, int first, [[maybe_unused]] bool overloaded,
                    [[maybe_unused]] Ref* pending, std::integer_sequence<int, K...>) {
        [[maybe_unused]] int item = first;
        return (one<K>(c, items, slots, first, item, failed, code, dirty, overloaded, pending) && ...);
    }

    static bool convert(const Candidate& c, PyObject* const* items, Slot* slots, int& failed, int& code, bool& dirty,
                        int first, bool overloaded, Ref* pending) {
        dirty = false;
        return all(c, items, slots, failed, code, dirty, first, overloaded, pending,
                   std::make_integer_sequence<int, Data::count>{});
    }
};

template <class Data, class Policy = Default>
constexpr Shape make_shape(Thunk thunk, Role role, const char* owner, const ResultKind* result) {
    return Shape{Data::params.data(), static_cast<uint8_t>(Data::count), static_cast<uint8_t>(Data::inputs),
                 static_cast<uint8_t>(Data::defaults), static_cast<uint8_t>(Data::outputs), thunk, result,
                 Policy::bits, static_cast<int8_t>(Policy::keep_cpos), role, owner, Policy::after,
                 &TypedConvert<Data>::convert};
}

template <class T>
constexpr const char* owner_name() {
    if constexpr (std::is_void_v<T>)
        return nullptr;
    else
        return TypeOf<std::remove_const_t<T>>::name;
}

// A candidate of a wrapper: its shape and the names of its parameters.
struct Cand {
    const Shape* shape;
    std::vector<const char*> names;
};
Cand make_cand(const Shape* shape, std::initializer_list<const char*> names);

template <class Data, class... N>
Cand candidate(const Shape* shape, const N&... names) {
    static_assert(sizeof...(N) == Data::documented, "one name for each parameter");
    return make_cand(shape, {names...});
}

// A method: self first, then the member's parameters (or a free function's after its self).
template <auto F, class Policy, class Sig>
struct MethodShape;
template <auto F, class Policy, class... P>
struct MethodShape<F, Policy, Params<P...>> {
    using Traits = Callable<decltype(F)>;
    using Self = typename std::conditional_t<Traits::member, Traits, FreeMethod<decltype(F)>>::Self;
    using R = typename Traits::Result;
    using Data = ShapeData<Policy, Self, R, P...>;

    static void thunk(Slot* s, void* result) {
        auto* self = static_cast<Self*>(s[0].as<void*>());
        ResultOf<R>::store(result, [&]() -> decltype(auto) {
            return call_with<P...>(s + 1, std::index_sequence_for<P...>{}, [&](auto&&... a) -> decltype(auto) {
                if constexpr (Traits::member)
                    return (self->*F)(std::forward<decltype(a)>(a)...);
                else
                    return F(self, std::forward<decltype(a)>(a)...);
            });
        });
    }
    static constexpr Shape shape =
        make_shape<Data, Policy>(&thunk, Role::Method, owner_name<Self>(), Data::result_kind());
};

// A static member or free function: no self; arguments numbered from 1.
template <auto F, class Policy, class Sig, Role K, class Owner = void>
struct FunctionShape;
template <auto F, class Policy, class... P, Role K, class Owner>
struct FunctionShape<F, Policy, Params<P...>, K, Owner> {
    using R = typename Callable<decltype(F)>::Result;
    using Data = ShapeData<Policy, void, R, P...>;

    static void thunk(Slot* s, void* result) {
        ResultOf<R>::store(result, [&]() -> decltype(auto) {
            return call_with<P...>(s, std::index_sequence_for<P...>{},
                                   [](auto&&... a) -> decltype(auto) { return F(std::forward<decltype(a)>(a)...); });
        });
    }
    static constexpr Shape shape = make_shape<Data, Policy>(&thunk, K, owner_name<Owner>(), Data::result_kind());
};

// new_<Class>: the object is made with the GIL released; the result is the bare owning proxy.
template <class C, class Policy, class... P>
struct ConstructorShape {
    using Data = ShapeData<Policy, void, void, P...>;
    static void thunk(Slot* s, void* result) {
        result_as<void*>(result) = call_with<P...>(
            s, std::index_sequence_for<P...>{}, [](auto&&... a) { return new_object<C>(std::forward<decltype(a)>(a)...); });
    }
    static constexpr Shape shape =
        make_shape<Data, Policy>(&thunk, Role::Constructor, owner_name<C>(), &ConstructedResult<C>::kind);
};

// Member variables: <Class>_<member>_set(self, value) and <Class>_<member>_get(self).
// With NullSelfIgnored the setter takes None as self and changes nothing.
template <auto M, bool NullSelfIgnored = false>
struct FieldShape;
template <class C, class T, T C::*M, bool NullSelfIgnored>
struct FieldShape<M, NullSelfIgnored> {
    using In = std::conditional_t<std::is_arithmetic_v<T> || std::is_enum_v<T> || std::is_pointer_v<T>, T, const T&>;
    using SetData = std::conditional_t<NullSelfIgnored, ShapeData<Default, void, void, C*, In>,
                                       ShapeData<Default, C, void, In>>;
    static void set(Slot* s, void*) {
        if (auto* object = static_cast<C*>(s[0].as<void*>())) object->*M = ParamOf<In>::take(s[1]);
    }
    static void get(Slot* s, void* result) {
        ResultOf<T>::store(result, [&]() -> T { return static_cast<C*>(s[0].as<void*>())->*M; });
    }
    static constexpr Shape set_shape = make_shape<SetData>(&set, Role::FieldSet, owner_name<C>(), &kVoidResult);
    static constexpr Shape get_shape =
        make_shape<ShapeData<Default, C, T>>(&get, Role::FieldGet, owner_name<C>(), ResultOf<T>::kind());
};

// ---- candidates ----

template <auto F, class Policy = Default, class Sig = void, class... N>
Cand meth(const N&... names) {
    using Traits = Callable<decltype(F)>;
    using Args = std::conditional_t<!std::is_void_v<Sig>, Sig,
                                    typename std::conditional_t<Traits::member, Traits, FreeMethod<decltype(F)>>::Args>;
    using S = MethodShape<F, Policy, Args>;
    return candidate<typename S::Data>(&S::shape, names...);
}

template <class C, class... P, class... N>
Cand constructor(const N&... names) {
    using S = ConstructorShape<C, Default, P...>;
    return candidate<typename S::Data>(&S::shape, names...);
}

template <auto F, class Sig>
using FunctionArgs = std::conditional_t<!std::is_void_v<Sig>, Sig, typename Callable<decltype(F)>::Args>;

template <auto F, class Policy = Default, class Sig = void, class... N>
Cand func(const N&... names) {
    using S = FunctionShape<F, Policy, FunctionArgs<F, Sig>, Role::Function>;
    return candidate<typename S::Data>(&S::shape, names...);
}

// A candidate that is a static member of Owner (its prototypes name the class).
template <class Owner, auto F, class Policy = Default, class Sig = void, class... N>
Cand static_func(const N&... names) {
    using S = FunctionShape<F, Policy, FunctionArgs<F, Sig>, Role::Static, Owner>;
    return candidate<typename S::Data>(&S::shape, names...);
}

// ---- method-table rows ----

struct Entry {
    const char* name;
    PyCFunction function;
    int flags;
    FuncRecord* record;         // null for the rows that need no dispatcher
    std::vector<Cand> cands;    // in declaration order
    bool overloaded;
    const char* fixed_doc;      // a docstring of its own ("Destructor"); null: generated (see docs.h)
    bool documented;
    const char* owner;          // the class a static or a member variable belongs to
    Role role;
    void (*destroy)(void*);     // delete_<Class>: the typed destructor
    void (*forget)(void*);      // ... and what runs, with the GIL, once the object is gone
    const char* member = nullptr;    // the member's name in prototypes ("operator []")
    bool aliased = false;            // delete_<Class>: the SDK may hand the object out again (see register_destructor)
    bool value_class = false;        // delete_<Class>: an owning proxy's death destroys it with the GIL held (objects.h)
};

// The C function of a calling convention: METH_O, METH_NOARGS, else the argument tuple.
template <int Flags>
constexpr PyCFunction entry_for(PyCFunction aOne, PyCFunction aNone, PyCFunction aTuple) {
    return Flags == METH_O ? aOne : Flags == METH_NOARGS ? aNone : aTuple;
}

template <Text Name>
struct RecordOf {
    static inline FuncRecord record;
    static PyObject* one(PyObject*, PyObject* arg) { return dispatch(record, &arg, 1); }
    static PyObject* tuple(PyObject*, PyObject* args) { return dispatch_tuple(record, args); }
    static PyObject* none(PyObject*, PyObject*) { return dispatch(record, nullptr, 0); }
    template <int Flags>
    static constexpr PyCFunction entry() {
        return entry_for<Flags>(&one, &none, &tuple);
    }
};

// ---- the typed call of a single wrapper ----
//
// A wrapper with one candidate converts its arguments in line (TypedConvert) and runs the call of its
// shape (run_call, dispatch.h). A call the candidate cannot take as it comes (a wrong count) goes
// through the dispatcher, which gives the same errors.
template <class S>
struct TypedCall {
    using Data = typename S::Data;

    static PyObject* call(const FuncRecord& rec, PyObject* const* items, Py_ssize_t n) {
        if (rec.overloaded || n != Data::inputs) return dispatch(rec, items, n);
        return guarded([&]() -> PyObject* {
            Slot slots[Data::count > 0 ? Data::count : 1];
            bool dirty = false;
            int failed = 0, code = 0;
            if (!TypedConvert<Data>::convert(rec.first(), items, slots, failed, code, dirty, 0, false, nullptr))
                return conversion_failed(rec, Data::params[failed], code);
            return run_call(rec, S::shape, items, static_cast<int>(n), slots, dirty);
        });
    }
};

// The C functions of a single wrapper: its arguments straight to its typed call.
template <Text Name, class S>
struct TypedEntry {
    static FuncRecord& record() { return RecordOf<Name>::record; }
    static PyObject* one(PyObject*, PyObject* arg) { return TypedCall<S>::call(record(), &arg, 1); }
    static PyObject* none(PyObject*, PyObject*) { return TypedCall<S>::call(record(), nullptr, 0); }
    static PyObject* tuple(PyObject*, PyObject* args) {
        if (!args || !PyTuple_Check(args) || PyTuple_Size(args) > kMaxParams) return dispatch_tuple(record(), args);
        PyObject* items[kMaxParams];
        Py_ssize_t n = PyTuple_Size(args);
        for (Py_ssize_t i = 0; i < n; ++i) items[i] = PyTuple_GetItem(args, i);
        return TypedCall<S>::call(record(), items, n);
    }
    template <int Flags>
    static constexpr PyCFunction entry() {
        return entry_for<Flags>(&one, &none, &tuple);
    }
};

// The calling convention of a single candidate: from its argument count unless the policy says.
template <class Data, class Policy>
constexpr int flags_of() {
    if constexpr (Policy::flags != 0)
        return Policy::flags;
    else if constexpr (Data::defaults != 0)
        return METH_VARARGS;
    else
        return Data::inputs == 0 ? METH_NOARGS : Data::inputs == 1 ? METH_O : METH_VARARGS;
}

Entry make_entry(const char* name, PyCFunction function, int flags, FuncRecord* record,
                 std::initializer_list<Cand> cands, bool overloaded, Role role, const char* owner);

template <Text Name, class Shape, class Policy, Role R = Role::Method>
Entry single(Cand c) {
    constexpr int flags = flags_of<typename Shape::Data, Policy>();
    using Rec = RecordOf<Name>;
    Rec::record.typed = &TypedCall<Shape>::call;
    return make_entry(Name.c_str(), TypedEntry<Name, Shape>::template entry<flags>(), flags, &Rec::record,
                      {std::move(c)}, false, R, Shape::shape.owner);
}

template <Text Name, auto F, class Policy = Default, class Sig = void, class... N>
Entry method(const N&... names) {
    using Traits = Callable<decltype(F)>;
    using Args = std::conditional_t<!std::is_void_v<Sig>, Sig,
                                    typename std::conditional_t<Traits::member, Traits, FreeMethod<decltype(F)>>::Args>;
    using S = MethodShape<F, Policy, Args>;
    return single<Name, S, Policy>(candidate<typename S::Data>(&S::shape, names...));
}

template <Text Name, auto F, class Policy = Default, class Sig = void, class... N>
Entry function(const N&... names) {
    using S = FunctionShape<F, Policy, FunctionArgs<F, Sig>, Role::Function>;
    return single<Name, S, Policy, Role::Function>(candidate<typename S::Data>(&S::shape, names...));
}

// A static member function of Owner: called without self, listed among the class's statics.
template <Text Name, class Owner, auto F, class Policy = Default, class Sig = void, class... N>
Entry static_method(const N&... names) {
    using S = FunctionShape<F, Policy, FunctionArgs<F, Sig>, Role::Static, Owner>;
    return single<Name, S, Policy, Role::Static>(candidate<typename S::Data>(&S::shape, names...));
}

template <Text Name, class C, class... P, class... N>
Entry constructor_entry(const N&... names) {
    using S = ConstructorShape<C, Default, P...>;
    return single<Name, S, Default, Role::Constructor>(candidate<typename S::Data>(&S::shape, names...));
}

// new_<Class> with a policy of its own (KeepAlive<1>: the new object's proxy keeps argument 1 alive).
template <Text Name, class C, class Policy, class... P, class... N>
Entry constructor_with(const N&... names) {
    using S = ConstructorShape<C, Policy, P...>;
    return single<Name, S, Policy, Role::Constructor>(candidate<typename S::Data>(&S::shape, names...));
}

template <Text Name, class... C>
Entry overloaded(C... cands) {
    using Rec = RecordOf<Name>;
    return make_entry(Name.c_str(), &Rec::tuple, METH_VARARGS, &Rec::record, {std::move(cands)...}, true,
                      Role::Method, nullptr);
}

// The two rows of a member variable: "<Name>_set" and "<Name>_get".
template <Text SetName, Text GetName, auto M, bool NullSelfIgnored = false>
std::vector<Entry> field() {
    using S = FieldShape<M, NullSelfIgnored>;
    return {make_entry(SetName.c_str(), &RecordOf<SetName>::tuple, METH_VARARGS, &RecordOf<SetName>::record,
                       {make_cand(&S::set_shape, {"aValue"})}, false, Role::FieldSet, S::set_shape.owner),
            make_entry(GetName.c_str(), &RecordOf<GetName>::one, METH_O, &RecordOf<GetName>::record,
                       {make_cand(&S::get_shape, {})}, false, Role::FieldGet, S::get_shape.owner)};
}

// delete_<Class>: destroys an object its proxy owns, then clears the proxy's pointer; a proxy that
// does not own its object is refused and nothing is destroyed.
// forget(object), when given, runs with the GIL held once the object is destroyed: it drops what
// the module kept for it (arrays attached to it), keyed by its address.
// With borrowed, a proxy that does not own its object is taken too (the only release of objects the
// SDK hands out that way); a proxy whose pointer was cleared is refused.
PyObject* run_delete(PyObject* arg, SwigTypeInfo* ty, void (*destroy)(void*), void (*forget)(void*), const char* func,
                     const char* decl, bool borrowed = false);

// What may refuse a delete: a text saying why the object cannot go yet (the SDK still uses it), or null.
void set_delete_guard(const char* (*in_use)(const void* object));

template <Text Name, class C, void (*Forget)(void*) = nullptr, bool Borrowed = false>
Entry delete_entry() {
    struct Row {
        static PyObject* entry(PyObject*, PyObject* arg) {
            return run_delete(arg, descriptor_of<C>(), &delete_object<C>, Forget, Name.c_str(), decl_text<C*>(),
                              Borrowed);
        }
    };
    Entry e{Name.c_str(), &Row::entry, METH_O, nullptr, {}, false, "Destructor", true, nullptr, Role::Method,
            &delete_object<C>, Forget};
    e.aliased = !std::is_copy_constructible_v<C>;   // values (results, strings, copies) are never handed out again
    e.value_class = ObjectPolicy<C>::value_class;
    return e;
}

// <Class>_swigregister and <Class>_swiginit.
PyObject* swiginit_entry(PyObject*, PyObject* args);

template <Text Name, class C>
Entry registration() {
    struct Row {
        static PyObject* entry(PyObject*, PyObject* cls) { return SwigPyObject_RegisterClass(descriptor_of<C>(), cls); }
    };
    return Entry{Name.c_str(), &Row::entry, METH_O, nullptr, {}, false, nullptr, false, nullptr, Role::Method, nullptr,
                 nullptr};
}

template <Text Name>
Entry initialisation() {
    return Entry{Name.c_str(), &swiginit_entry, METH_VARARGS, nullptr, {}, false, nullptr, false, nullptr,
                 Role::Method, nullptr, nullptr};
}

// A row without a docstring.
inline Entry undocumented(Entry e) {
    e.documented = false;
    return e;
}

// A row with a docstring although its kind has none (a director's virtual function).
inline Entry documented(Entry e) {
    e.documented = true;
    return e;
}

// A row whose prototypes name the member differently from the flat name ("operator []").
inline Entry prototyped_as(Entry e, const char* member) {
    e.member = member;
    return e;
}

// A row that reads or writes a member variable although it is declared as a function (the companion
// makes a property of it).
inline Entry as_role(Entry e, Role role) {
    e.role = role;
    return e;
}

// Finishes the records of entries (candidate order, overload text, docstrings) and adds their rows.
void append_method_defs(std::vector<PyMethodDef>& defs, std::vector<Entry>& entries);

// Orders a record's candidates and builds its overload message; expands left-out defaults.
void finish_record(FuncRecord& rec, const std::vector<const Shape*>& declared, bool overloaded);

// The prototype line of a candidate of the wrapper named func: Class::Member(decl,decl).
std::string prototype_of(const Shape& shape, int given, const char* func, const char* member = nullptr);

// Docstrings and prototypes.
std::string python_type_of(const std::string& decl);
std::string format_doc(const Shape& shape, const std::vector<const char*>& names);

}  // namespace kivo::rt
