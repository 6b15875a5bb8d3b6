// Directors: the native side of a Python subclass of an SDK callback interface. The SDK holds the
// director as an ordinary object of its interface and calls its virtual functions from any thread;
// each override takes the GIL, builds the Python arguments, finds the Python method, calls it,
// reports a Python exception on standard output, converts the result and gives the GIL back on
// every exit path. Failures travel as Swig::DirectorException, which sets the matching Python error
// when it is made. A director class is one declaration per virtual function:
//
//     class SwigDirector_TqLogSink : public kivo::rt::DirectorOf<TqLogSink, "TqLogSink"> {
//     public:
//         KIVO_DIRECTOR(SwigDirector_TqLogSink)
//         KIVO_PURE_VIRTUAL(void, Log, TqLogLevelEnum, const char*, uint32_t, const char*, const char*, const char*)
//     };
//
// Each declaration gives the override (which forwards to the Python method of the same name), a
// description V_<Name> (its cache slot, the SDK member, and for KIVO_VIRTUAL the up-call to the SDK's
// own implementation) from which director_virtual<D, D::V_<Name>> makes the method-table row. An
// override whose arguments reach Python in another shape is written by hand after KIVO_VIRTUAL_INFO
// (the description alone) and calls forward<V_<Name>>(...) with the arguments to convert.
//
// The director points at its Python object without owning it until it is disowned; it watches that
// object's death, so a callback never reaches an object that has died. Its method cache holds the
// functions found, not bound methods, so an owned director and its Python object never keep each
// other alive. Once the interpreter begins to finalise, no callback touches Python.
#pragma once

#include "convert.h"
#include "ref.h"
#include "spelling.h"

#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

namespace kivo::rt {

// True once the interpreter has begun to finalise (set by an exit hook installed at start-up).
bool interpreter_finalizing();
// Registers the exit hook once per process; false with an error set.
bool install_exit_hook();
// An action the exit hook runs (with the GIL held, once per process) when finalisation begins, before
// callbacks are refused: for example stopping what would call back from its own threads.
void add_exit_action(void (*action)());

// Whether a thread unknown to Python keeps the thread state its first callback made, so later
// callbacks only take the GIL (the default); off, every callback makes and drops a state.
void keep_thread_states(bool keep);

// The GIL, taken through PyGILState_Ensure for a scope when this thread may still take it: always
// before finalisation, afterwards only on the thread that finalises, and never once the interpreter
// is gone (false: not taken, nothing of Python touched). Finalisation waits for such scopes on other
// threads to end.
class PythonGil {
public:
    PythonGil();
    ~PythonGil();
    PythonGil(const PythonGil&) = delete;
    PythonGil& operator=(const PythonGil&) = delete;
    explicit operator bool() const { return entered_; }

private:
    PyGILState_STATE state_{};
    bool entered_;
};

// The GIL for a director block: PyGILState_Ensure on entry, released by end() or on any exit. On a
// thread unknown to Python the block runs on the thread's kept state, and an error the block leaves
// behind there is dropped with it, as it would be with a state made for the block alone. An error
// already pending on entry (an earlier callback of the same SDK call failed) is set aside for the
// block and stands afterwards: the first failure is the one the caller sees.
//
// Once finalisation began no thread but the finalising one takes the GIL or makes a thread state:
// the block is then not held (held() false) and touches nothing of Python.
class GilBlock {
public:
    GilBlock();
    ~GilBlock() { end(); }
    GilBlock(const GilBlock&) = delete;
    GilBlock& operator=(const GilBlock&) = delete;
    bool held() const { return active_; }
    void end();

private:
    PyGILState_STATE state_;
    PyObject* saved_[3];   // an error an earlier callback left for the caller: it stands
    bool active_;
    bool native_;   // no Python caller on this thread can see an error left behind
    bool direct_;   // the thread's kept state was made current without PyGILState_Ensure
};

}  // namespace kivo::rt

namespace Swig {

// The text is header, then " " and the message when there is one. Making one sets the Python error
// of the given type with that text, unless an error is already pending.
class DirectorException : public std::exception {
public:
    DirectorException(PyObject* error, const char* header, const std::string& message = std::string());
    const char* what() const noexcept override { return text_.c_str(); }

    [[noreturn]] static void raise(PyObject* error, const char* message);
    [[noreturn]] static void raise_RuntimeError(const char* message);

private:
    std::string text_;
};

class DirectorMethodException : public DirectorException {
public:
    explicit DirectorMethodException(const std::string& message);
    [[noreturn]] static void raise(const std::string& message);
};

class DirectorPureVirtualException : public DirectorException {
public:
    explicit DirectorPureVirtualException(const std::string& message);
    [[noreturn]] static void raise(const std::string& message);
};

class DirectorTypeMismatchException : public DirectorException {
public:
    DirectorTypeMismatchException(PyObject* error, const std::string& message);
    explicit DirectorTypeMismatchException(const std::string& message);
    [[noreturn]] static void raise(PyObject* error, const std::string& message);
    [[noreturn]] static void raise_TypeError(const std::string& message);
};

// Items of a director's ownership map.
class GCItem {
public:
    virtual ~GCItem() = default;
    virtual int get_own() const { return 0; }
    // The record ends, with the GIL held: taken back (untaken false), or left when its director goes.
    virtual void finish(bool untaken) {}
};
class GCItem_Object : public GCItem {
public:
    explicit GCItem_Object(int own) : own_(own) {}
    int get_own() const override { return own_; }

private:
    int own_;
};
// A record that keeps the object Python handed over (a new reference): taken back, it lets the object
// go; left when its director goes, the object's proxy owns the native object again (when it still
// points at it), so the native object is freed once Python drops the proxy.
class GCItem_Proxy : public GCItem_Object {
public:
    GCItem_Proxy(int own, void* ptr, PyObject* proxy) : GCItem_Object(own), ptr_(ptr), proxy_(proxy) {}
    void finish(bool untaken) override;

private:
    void* ptr_;
    PyObject* proxy_;   // null once finished
};

// The one lock of the module: guards the ownership maps of all directors and the list of their
// method caches. Nothing that waits for the GIL or runs Python happens while it is held, so it is
// taken after the GIL when both are needed and never the other way round.
std::mutex& ownership_lock();

class Director {
public:
    explicit Director(PyObject* self);
    virtual ~Director();
    Director(const Director&) = delete;
    Director& operator=(const Director&) = delete;

    // Per-method flags for protected members; the base says true for every name.
    virtual bool SwigDirector_GetInner(const char* method) const;
    virtual void SwigDirector_SetInner(const char* method, bool value);

    // With the GIL held: the Python object, or null when there is none or it has died.
    PyObject* swig_get_self() const {
        if (disowned_ || !weak_) return self_;
        PyObject* alive = PyWeakref_GetObject(weak_);   // borrowed
        return alive == Py_None ? nullptr : alive;
    }
    // With the GIL held: from now on the director sees the Python object's death (a director made
    // for an object outlives it when nothing but a bare proxy owns the director). An object without
    // weak references is kept alive instead.
    void swig_watch();
    // With the GIL held: the native side takes the Python object over and keeps it alive. Once.
    void disown();
    bool swig_disowned() const { return disowned_; }

    // Objects that a Python override handed over, with the own flag their proxy had (nothing is
    // recorded for a null pointer or an own flag of 0); a record of the same pointer is replaced.
    // With proxy (the object returned, with the GIL held) the record keeps it: see GCItem_Proxy.
    void acquire_ownership(void* ptr, int own, PyObject* proxy = nullptr);
    // Takes the record of ptr out: its own flag, 0 when there is none. With the GIL held when the
    // record may keep an object.
    int release_ownership(void* ptr);

private:
    PyObject* self_;   // borrowed until disowned, then a strong reference
    PyObject* weak_;   // a weak reference to it, once watched
    bool disowned_;
    std::map<void*, std::unique_ptr<GCItem>> ownership_;
};

}  // namespace Swig

namespace kivo::rt {

// Argument conversions of director methods.
inline PyObject* to_python(bool v) { return PyBool_FromLong(v); }
inline PyObject* to_python(int32_t v) { return PyLong_FromLong(v); }
inline PyObject* to_python(uint32_t v) { return PyLong_FromSize_t(v); }
inline PyObject* to_python(int64_t v) { return SwigFrom_Int64(v); }
inline PyObject* to_python(uint64_t v) { return SwigFrom_UInt64(v); }
inline PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_python(const char* v) { return SwigFrom_CharPtr(v); }
template <class E>
    requires std::is_enum_v<E>
PyObject* to_python(E v) {
    return PyLong_FromLong(static_cast<long>(v));
}
// An object of a wrapped class: a new proxy that does not own it, None for null.
template <Bound T>
PyObject* to_python(T* p) {
    if (!p) Py_RETURN_NONE;
    return SwigPyObject_NewPointerObject(const_cast<std::remove_const_t<T>*>(p), descriptor_of<T>(), 0);
}
inline PyObject* to_python(uint16_t v) { return PyLong_FromLong(v); }
inline PyObject* to_python(uint8_t v) { return PyLong_FromLong(v); }
// A pointer the callback gets as a bare pointer object of descriptor D (None for null).
template <SwigTypeInfo* (*D)()>
struct PointerArgument {
    void* pointer;
};
template <SwigTypeInfo* (*D)()>
PyObject* to_python(PointerArgument<D> v) {
    if (!v.pointer) Py_RETURN_NONE;
    return SwigPyObject_NewPointerObject(v.pointer, D(), 0);
}

// How a callback's argument of type T reaches Python: to_python of the value, found where it is
// declared (here, or beside the type's own kind). The module specialises it for SDK types whose
// Python shape is another (a bool the callback may set: a bare pointer object).
template <class T>
struct CallbackArgument {
    static PyObject* make(T v) { return to_python(v); }
};

// What a Python override returns, converted for the SDK: one kind per result type, which knows its
// spelling and refuses anything else with DirectorTypeMismatchException. The module adds the kinds
// of the SDK's values (TqResult).
template <class R>
struct CallbackResult;   // static R from(PyObject* o, const char* method);

// The refusal of a value an override returned: the type mismatch whose text names the spelling,
// with OverflowError for an int out of range (code SwigError_Overflow) and TypeError otherwise.
[[noreturn]] void callback_mismatch(int code, const char* spelling);

// A value an override returned, converted by As (a SwigAs_ conversion) or refused naming spelling.
template <class T, int (*As)(PyObject*, T*)>
T callback_value(PyObject* o, const char* spelling) {
    T v{};
    const int rc = As(o, &v);
    if (rc < 0) {
        if (PyErr_Occurred()) PyErr_Clear();
        callback_mismatch(rc, spelling);
    }
    return v;
}

template <class T, int (*As)(PyObject*, T*), Text Spelling>
struct NumericCallbackResult {
    static constexpr const char* spelling = Spelling.c_str();
    static T from(PyObject* o, const char*) { return callback_value<T, As>(o, spelling); }
};
template <> struct CallbackResult<int32_t> : NumericCallbackResult<int32_t, SwigAs_Int32, "int32_t"> {};
template <> struct CallbackResult<uint32_t> : NumericCallbackResult<uint32_t, SwigAs_UInt32, "uint32_t"> {};
template <> struct CallbackResult<bool> : NumericCallbackResult<bool, SwigAs_Bool, "bool"> {};
// An enumeration: any signed 32-bit value, not compared with the members; refusals name the
// enumeration.
template <class E>
    requires std::is_enum_v<E>
struct CallbackResult<E> {
    static_assert(sizeof(E) == sizeof(int32_t));
    static constexpr const char* spelling = EnumName<E>::value;
    static E from(PyObject* o, const char*) { return static_cast<E>(callback_value<int32_t, SwigAs_Int32>(o, spelling)); }
};

// The tuple an override returns for a call with out-references: its items are read by index, in
// order, and each is converted and written to its out-reference as it passes, so a later failure
// leaves the earlier ones written. How it is checked differs from call to call:
struct TupleRule {
    // The type mismatch when the object is no tuple (null: not tested before the first read, which then
    // refuses it with the missing text as a type mismatch).
    const char* not_tuple;
    const char* missing;     // the RuntimeError when an item the call needs is missing
    // Items required before any is read (a shorter tuple is refused with no other error standing);
    // 0: each item is read when its turn comes, and a read that fails leaves its own error standing.
    Py_ssize_t counted;
};
class CallbackTuple {
public:
    CallbackTuple(PyObject* result, const TupleRule& rule);
    // Item i (borrowed); a read that fails throws the rule's missing text.
    PyObject* operator[](Py_ssize_t i) const;
    // Item i, or null when the tuple is shorter (no error set).
    PyObject* find(Py_ssize_t i) const;

private:
    PyObject* result_;
    const TupleRule& rule_;
};

// One slot of a director's method cache: what the Python object's attribute gave, and whether it is
// the function of a method bound to that object (then called with the object in front).
struct CachedMethod {
    PyObject* callable = nullptr;
    bool bind = false;
};

struct DirectorNames {
    const char* cls;
    const char* method;
};

// The steps around the call, shared by every director method.
void director_refuse(const DirectorNames& n);
// The override to call (self: the director's object, borrowed, which a cached function is bound to).
PyObject* director_method(Swig::Director& d, CachedMethod& slot, const DirectorNames& n, PyObject*& self);
[[noreturn]] void director_call_failed(const DirectorNames& n);
void release_methods(CachedMethod* slots, int count);
// Every director's cache is known, so that the caches are emptied when the interpreter begins to
// finalise: a cached function refers to its module, whose variables may hold the director's owner.
void register_methods(CachedMethod* slots, int count);
void forget_methods(CachedMethod* slots);

// The call of a director's Python method with the arguments converted; read turns the object it
// returned (None when it returned nothing) into the SDK's result: CallbackResult<R> unless the
// override reads it in a shape of its own (a tuple filling out-references, an object it keeps).
template <class R, class Read, class... A>
R director_call_with(Swig::Director& d, CachedMethod& slot, const DirectorNames& n, Read&& read, A... args) {
    if (interpreter_finalizing()) director_refuse(n);
    GilBlock gil;
    if (!gil.held()) director_refuse(n);   // finalisation began meanwhile
    Ref held[sizeof...(A) + 1] = {Ref(CallbackArgument<A>::make(args))...};   // released with the GIL held
    PyObject* objects[sizeof...(A) + 1] = {};
    for (std::size_t i = 0; i < sizeof...(A); ++i)
        if (!(objects[i] = held[i].get())) director_call_failed(n);
    if constexpr (sizeof...(A) > 1) SwigPyObject_OwnByFirst(objects, static_cast<int>(sizeof...(A)));
    PyObject* self = d.swig_get_self();
    PyObject* method = self && slot.callable ? slot.callable : director_method(d, slot, n, self);
    Ref result([&]<std::size_t... I>(std::index_sequence<I...>) {
        if (slot.bind) return PyObject_CallFunctionObjArgs(method, self, objects[I]..., nullptr);
        return PyObject_CallFunctionObjArgs(method, objects[I]..., nullptr);
    }(std::index_sequence_for<A...>{}));
    if (!result && PyErr_Occurred()) director_call_failed(n);
    return read(result ? result.get() : Py_None);
}

template <class R, class... A>
R director_call(Swig::Director& d, CachedMethod& slot, const DirectorNames& n, A... args) {
    return director_call_with<R>(
        d, slot, n,
        [&](PyObject* result) -> R {
            if constexpr (!std::is_void_v<R>) return CallbackResult<R>::from(result, n.method);
        },
        args...);
}

// The base of a director class: the SDK class first, Swig::Director second, the inner-flag map and
// the method cache (one slot per declared virtual, numbered in declaration order).
template <class Sdk, Text Class>
class DirectorOf : public Sdk, public Swig::Director {
public:
    static constexpr int kMaxSlots = 48;
    using SdkClass = Sdk;
    static constexpr auto class_text = Class;

    // The SDK part is made from the arguments after self.
    template <class... A>
    explicit DirectorOf(PyObject* self, A&&... sdk_args) : Sdk(std::forward<A>(sdk_args)...), Swig::Director(self) {
        register_methods(cache_, kMaxSlots);
    }
    ~DirectorOf() override {
        forget_methods(cache_);
        release_methods(cache_, kMaxSlots);
    }

    bool SwigDirector_GetInner(const char* method) const override {
        auto it = inner_.find(method);
        return it != inner_.end() && it->second;
    }
    void SwigDirector_SetInner(const char* method, bool value) override { inner_[method] = value; }

protected:
    // The Python method of the virtual V, called with the arguments converted. Const, since the SDK's
    // const members forward too: the cache is the director's own bookkeeping.
    template <class V, class... A>
    typename V::Result forward(A... args) const {
        static_assert(V::slot >= 0 && V::slot < kMaxSlots, "too many virtual functions for one director");
        auto& self = const_cast<DirectorOf&>(*this);
        return director_call<typename V::Result>(self, self.cache_[V::slot], DirectorNames{Class.c_str(), V::name()},
                                                 args...);
    }
    // The same with the returned object read by read(PyObject*) (see director_call_with).
    template <class V, class Read, class... A>
    typename V::Result forward_with(Read&& read, A... args) const {
        static_assert(V::slot >= 0 && V::slot < kMaxSlots, "too many virtual functions for one director");
        auto& self = const_cast<DirectorOf&>(*this);
        return director_call_with<typename V::Result>(self, self.cache_[V::slot],
                                                      DirectorNames{Class.c_str(), V::name()},
                                                      std::forward<Read>(read), args...);
    }

private:
    std::map<std::string, bool> inner_;
    CachedMethod cache_[kMaxSlots];
};

}  // namespace kivo::rt

// ---- declaring a director's virtual functions ----

// Parameter lists from types: KIVO_PARAMS(A, B) is `A a1, B a2`, KIVO_ARGS(A, B) is `a1, a2`.
#define KIVO_PP_CAT(a, b) KIVO_PP_CAT_(a, b)
#define KIVO_PP_CAT_(a, b) a##b
#define KIVO_PP_COUNT(...) KIVO_PP_COUNT_(__VA_ARGS__ __VA_OPT__(,) 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define KIVO_PP_COUNT_(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, N, ...) N
#define KIVO_PP_EACH(m, ...) KIVO_PP_CAT(KIVO_PP_EACH_, KIVO_PP_COUNT(__VA_ARGS__))(m __VA_OPT__(, ) __VA_ARGS__)
#define KIVO_PP_EACH_0(m)
#define KIVO_PP_EACH_1(m, a) m(1, a)
#define KIVO_PP_EACH_2(m, a, b) KIVO_PP_EACH_1(m, a), m(2, b)
#define KIVO_PP_EACH_3(m, a, b, c) KIVO_PP_EACH_2(m, a, b), m(3, c)
#define KIVO_PP_EACH_4(m, a, b, c, d) KIVO_PP_EACH_3(m, a, b, c), m(4, d)
#define KIVO_PP_EACH_5(m, a, b, c, d, e) KIVO_PP_EACH_4(m, a, b, c, d), m(5, e)
#define KIVO_PP_EACH_6(m, a, b, c, d, e, f) KIVO_PP_EACH_5(m, a, b, c, d, e), m(6, f)
#define KIVO_PP_EACH_7(m, a, b, c, d, e, f, g) KIVO_PP_EACH_6(m, a, b, c, d, e, f), m(7, g)
#define KIVO_PP_EACH_8(m, a, b, c, d, e, f, g, h) KIVO_PP_EACH_7(m, a, b, c, d, e, f, g), m(8, h)
#define KIVO_PP_EACH_9(m, a, b, c, d, e, f, g, h, i) KIVO_PP_EACH_8(m, a, b, c, d, e, f, g, h), m(9, i)
#define KIVO_PP_EACH_10(m, a, b, c, d, e, f, g, h, i, j) KIVO_PP_EACH_9(m, a, b, c, d, e, f, g, h, i), m(10, j)
#define KIVO_PP_EACH_11(m, a, b, c, d, e, f, g, h, i, j, k) \
    KIVO_PP_EACH_10(m, a, b, c, d, e, f, g, h, i, j), m(11, k)
#define KIVO_PP_EACH_12(m, a, b, c, d, e, f, g, h, i, j, k, l) \
    KIVO_PP_EACH_11(m, a, b, c, d, e, f, g, h, i, j, k), m(12, l)
#define KIVO_PP_PARAM(n, t) t a##n
#define KIVO_PP_ARG(n, t) a##n
#define KIVO_PARAMS(...) KIVO_PP_EACH(KIVO_PP_PARAM, __VA_ARGS__)
#define KIVO_ARGS(...) KIVO_PP_EACH(KIVO_PP_ARG, __VA_ARGS__)

// Opens a director class's declarations: its constructor, and the start of its slot numbering.
#define KIVO_DIRECTOR(D)                 \
    using DirectorOf::DirectorOf;        \
    static constexpr int kivo_slot_base = __COUNTER__;
// The same in a class template whose base B (a DirectorOf) depends on its parameters.
#define KIVO_DIRECTOR_OF(B)                        \
    using B::B;                                    \
    using SdkClass = typename B::SdkClass;         \
    static constexpr int kivo_slot_base = __COUNTER__;

// The description of one virtual function: its slot, name, result and SDK member. Qual is empty, or
// const for a const member.
#define KIVO_VIRTUAL_DESCRIPTION_Q(R, Name, Pure, Qual, ...)                                  \
    struct V_##Name {                                                                         \
        using Result = R;                                                                     \
        using Member = R (SdkClass::*)(__VA_ARGS__) Qual;                                     \
        static constexpr int slot = __COUNTER__ - kivo_slot_base - 1;                         \
        static constexpr bool pure = Pure;                                                    \
        static constexpr kivo::rt::Text text{#Name};                                          \
        static constexpr const char* name() { return #Name; }                                 \
        static constexpr Member member() { return &SdkClass::Name; }                          \
        template <class S = SdkClass>                                                         \
        static R base(Qual S* s __VA_OPT__(, ) KIVO_PARAMS(__VA_ARGS__)) {                    \
            return s->S::Name(KIVO_ARGS(__VA_ARGS__));                                        \
        }                                                                                     \
    };
#define KIVO_VIRTUAL_DESCRIPTION(R, Name, Pure, ...) KIVO_VIRTUAL_DESCRIPTION_Q(R, Name, Pure, , __VA_ARGS__)

// A virtual function and its override, which forwards to the Python method of the same name; Pure
// says whether the SDK lacks an implementation of its own (then the subclass's up-call raises).
#define KIVO_VIRTUAL_Q(R, Name, Pure, Qual, ...)                                              \
    KIVO_VIRTUAL_DESCRIPTION_Q(R, Name, Pure, Qual, __VA_ARGS__)                              \
    R Name(KIVO_PARAMS(__VA_ARGS__)) Qual override {                                          \
        return this->template forward<V_##Name>(KIVO_ARGS(__VA_ARGS__));                      \
    }
// A virtual function with an implementation of the SDK's own (the up-call of a subclass runs it).
#define KIVO_VIRTUAL(R, Name, ...) KIVO_VIRTUAL_Q(R, Name, false, , __VA_ARGS__)
// A pure virtual function (the up-call of a subclass raises).
#define KIVO_PURE_VIRTUAL(R, Name, ...) KIVO_VIRTUAL_Q(R, Name, true, , __VA_ARGS__)
// A const virtual function, pure or not as Pure says.
#define KIVO_CONST_VIRTUAL(R, Name, Pure, ...) KIVO_VIRTUAL_Q(R, Name, Pure, const, __VA_ARGS__)
// The description alone, for an override written by hand (its arguments reach Python in another
// shape, or its result is read in a shape of its own); Pure says whether the SDK has an
// implementation of its own.
#define KIVO_VIRTUAL_INFO(R, Name, Pure, ...) KIVO_VIRTUAL_DESCRIPTION_Q(R, Name, Pure, , __VA_ARGS__)
#define KIVO_CONST_VIRTUAL_INFO(R, Name, Pure, ...) KIVO_VIRTUAL_DESCRIPTION_Q(R, Name, Pure, const, __VA_ARGS__)
