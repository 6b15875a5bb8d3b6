// The flat functions of a class that Python may subclass:
//
//     director_constructor<"new_TqLogSink", SwigDirector_TqLogSink, TqLogSink>(),
//     delete_entry<"delete_TqLogSink", TqLogSink>(),
//     director_virtual<SwigDirector_TqLogSink, SwigDirector_TqLogSink::V_Log>("aLevel", ...),
//     disown_entry<"disown_TqLogSink", TqLogSink>(),
//
// new_ takes the Python instance (None when the class itself is instantiated) and makes its director
// with the GIL released; a method wrapper keeps the GIL and refuses an up-call from the subclass to a
// pure virtual method; disown_ hands a director's Python object to the native side.
// A class whose constructor takes arguments has one form of new_ per count of items:
//
//     director_constructor_forms<"new_X", SwigDirector_X, X, false, Params<uint32_t, uint32_t>>("aWidth", "aHeight"),
//
// the Python instance and every argument, then one argument fewer each, down to the instance alone.
#pragma once

#include "director.h"
#include "kinds.h"

#include <array>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace kivo::rt {

// The Python object itself, None included, lent for the call.
struct PythonObject {
    PyObject* object;
};
inline int convert_python_object(PyObject* o, Slot& s, const ParamShape&) {
    s.as<PyObject*>() = o;
    return 0;
}
inline constexpr ParamKind kPythonObjectKind{convert_python_object, nullptr, nullptr, nullptr, Rank_Pointer, false,
                                             nullptr};
template <>
struct ParamOf<PythonObject> : InputParam<&kPythonObjectKind> {
    static PythonObject take(Slot& s) { return {s.as<PyObject*>()}; }
};
template <>
struct Decl<PythonObject> {
    static std::string get() { return "PyObject *"; }
};
// The Python object beside the SDK class's own arguments: prototypes leave it out.
struct PythonObjectBeside : PythonObject {};
template <>
struct ParamOf<PythonObjectBeside> : InputParam<&kPythonObjectKind> {
    static PythonObjectBeside take(Slot& s) { return {{s.as<PyObject*>()}}; }
};
template <>
struct Decl<PythonObjectBeside> {
    static std::string get() { return ""; }
};

// Self of a director class's method wrapper: the object, and whether the call comes from the Python
// subclass itself (the director's Python object is the very object passed as self).
template <class T>
struct DirectorSelf {
    T* object;
    bool upcall;
};
template <Bound T>
struct DirectorSelfKind {
    static int convert(PyObject* o, Slot& s, const ParamShape& p) {
        int rc = kSelfKind.convert(o, s, p);
        if (rc < 0) return rc;
        T* object = static_cast<T*>(s.as<void*>());
        auto* director = dynamic_cast<const Swig::Director*>(object);
        s.as<DirectorSelf<T>>() = {object, director && director->swig_get_self() == o};
        return rc;
    }
    static constexpr ParamKind kind{convert, nullptr, nullptr, nullptr, Rank_Pointer, false, nullptr};
};
template <Bound T>
struct ParamOf<DirectorSelf<T>> {
    static constexpr const ParamKind* kind() { return &DirectorSelfKind<T>::kind; }
    static constexpr uint8_t flags = Param_Input;   // converted by its own kind, never by the shortcut for self
    static constexpr int width = 1;
    static constexpr SwigTypeInfo* (*descriptor)() = &descriptor_of<T>;
    static DirectorSelf<T> take(Slot& s) { return s.as<DirectorSelf<T>>(); }
};
template <class T>
struct Decl<DirectorSelf<T>> : Decl<T*> {};

// The row of a virtual function declared in director D (KIVO_VIRTUAL and the others): the subclass's
// own up-call runs the SDK's implementation, or raises for a pure virtual one; any other call goes
// through the virtual table (and so reaches a Python override). Its flat name is <Class>_<Name>;
// Sig gives the parameters when Python hands them in another shape than the SDK member's.
template <class D, class V, class Member = typename V::Member>
struct VirtualCall;
// One body for both: Sdk is the SDK class, const for a const member (self is then spelled
// "<Class> const *").
template <class D, class V, class Sdk, class R, class... A>
struct VirtualCallOn {
    static R call(DirectorSelf<Sdk> self, A... args) {
        if (self.upcall) {
            if constexpr (V::pure) {
                static const std::string qualified = std::string(D::class_text.c_str()) + "::" + V::name();
                Swig::DirectorPureVirtualException::raise(qualified);
            } else {
                return V::base(self.object, args...);
            }
        }
        return (self.object->*V::member())(args...);
    }
    using Sig = Params<DirectorSelf<Sdk>, A...>;
};
template <class D, class V, class R, class C, class... A>
struct VirtualCall<D, V, R (C::*)(A...)> : VirtualCallOn<D, V, typename D::SdkClass, R, A...> {};
template <class D, class V, class R, class C, class... A>
struct VirtualCall<D, V, R (C::*)(A...) const> : VirtualCallOn<D, V, const typename D::SdkClass, R, A...> {};

// Policy adds to the row's own (the GIL kept): TupleOutputs<> for out-references returned beside the
// result, ResultAs<K> for a result made by K.
template <class D, class V, class Sig = void, class Policy = Default, class... N>
Entry director_virtual(const N&... names) {
    using Call = VirtualCall<D, V>;
    using Shape = std::conditional_t<std::is_void_v<Sig>, typename Call::Sig, Sig>;
    return undocumented(function<joined<D::class_text, "_", V::text>, &Call::call, KeepGil<Policy>, Shape>(names...));
}

// new_<Class>: a director for the instance, made with the GIL released, owned by the new proxy. None
// (the class itself instantiated) makes a plain object of a concrete class and is refused for an
// abstract one. A ... are the SDK constructor's arguments this form takes (the director's constructor
// takes them after the instance).
template <class D, class Sdk, bool Concrete, class... A>
struct DirectorConstructorShape {
    using Instance = std::conditional_t<sizeof...(A) == 0, PythonObject, PythonObjectBeside>;
    using Data = ShapeData<Default, void, void, Instance, A...>;
    static void thunk(Slot* s, void* result) {
        PyObject* instance = s[0].as<PyObject*>();
        result_as<void*>(result) = call_with<A...>(s + 1, std::index_sequence_for<A...>{}, [&](auto&&... a) -> Sdk* {
            if (instance != Py_None) return new D(instance, std::forward<decltype(a)>(a)...);
            if constexpr (Concrete)
                return new Sdk(std::forward<decltype(a)>(a)...);
            else
                throw std::runtime_error("accessing abstract class or protected constructor");
        });
    }
    static PyObject* make(void* storage, CallFrame& f) {
        auto* object = static_cast<Sdk*>(result_as<void*>(storage));
        if (auto* director = dynamic_cast<D*>(object)) director->swig_watch();
        return make_constructed(storage, descriptor_of<Sdk>(), &delete_object<Sdk>, f);
    }
    static const char* none() { return ""; }
    static constexpr ResultKind result{make, nullptr, nullptr, &none, nullptr};
    static constexpr Shape shape = make_shape<Data, Default>(&thunk, Role::Constructor, owner_name<Sdk>(), &result);
};

template <Text Name, class D, class Sdk, bool Concrete = false>
Entry director_constructor() {
    using S = DirectorConstructorShape<D, Sdk, Concrete>;
    return undocumented(single<Name, S, Default, Role::Constructor>(candidate<typename S::Data>(&S::shape, "self")));
}

template <class D, class Sdk, bool Concrete, class Args>
struct DirectorConstructorForms;
template <class D, class Sdk, bool Concrete, class... A>
struct DirectorConstructorForms<D, Sdk, Concrete, Params<A...>> {
    using Names = std::array<const char*, sizeof...(A)>;
    // The form that takes the first sizeof...(I) arguments.
    template <std::size_t... I>
    static Cand form(const Names& names, std::index_sequence<I...>) {
        using S = DirectorConstructorShape<D, Sdk, Concrete, std::tuple_element_t<I, std::tuple<A...>>...>;
        return candidate<typename S::Data>(&S::shape, "self", names[I]...);
    }
    template <Text Name, std::size_t... Fewer>
    static Entry all(const Names& names, std::index_sequence<Fewer...>) {
        return overloaded<Name>(form(names, std::make_index_sequence<sizeof...(A) - Fewer>{})...);
    }
};

template <Text Name, class D, class Sdk, bool Concrete, class Args, class... N>
Entry director_constructor_forms(const N&... names) {
    using Forms = DirectorConstructorForms<D, Sdk, Concrete, Args>;
    static_assert(sizeof...(N) == std::tuple_size_v<typename Forms::Names>, "one name for each argument");
    return undocumented(
        Forms::template all<Name>(typename Forms::Names{names...}, std::make_index_sequence<sizeof...(N) + 1>{}));
}

// disown_<Class>: a director's Python object passes to the native side; other objects are left alone.
template <class Sdk>
void disown_director(Sdk* object) {
    if (auto* director = dynamic_cast<Swig::Director*>(object)) director->disown();
}

template <Text Name, class Sdk>
Entry disown_entry() {
    return undocumented(function<Name, &disown_director<Sdk>, KeepGil<>>("self"));
}

}  // namespace kivo::rt
