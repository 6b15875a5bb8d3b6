// The one anatomy of every flat wrapper, written once as templates over the wrapped member's
// signature: unpack, convert self and each argument in order, release the GIL around exactly the
// SDK call, build the result. A class's wrappers are then one table of declarations:
//
//     method<"TqResult_IsOK", &TqResult::IsOK>(),
//     method<"TqResult_SetCode", &TqResult::SetCode>("aIn"),
//
// Arguments are converted by Arg<T> (chosen by the parameter's C++ type, or by a marker such as
// Spelled<>, ProxyOnly<> or Out<>), results by ToPython<R>, and per-method behaviour by a policy.
#pragma once

#include "convert.h"

#include "TqResult.h"
#include "TqString.h"

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace kivo::rt {

// ---------------------------------------------------------------------------------------------
// Compile-time text (names of wrappers, declared spellings).

template <std::size_t N>
struct Text {
    char value[N]{};
    constexpr Text(const char (&s)[N]) {
        for (std::size_t i = 0; i < N; ++i) value[i] = s[i];
    }
    constexpr const char* c_str() const { return value; }
};

// ---------------------------------------------------------------------------------------------
// Binding of SDK classes and enumerations to descriptors and declared names (specialised by the
// module for every class it wraps).

template <class T>
struct TypeOf;   // static SwigTypeInfo* descriptor(); static constexpr const char* name;

template <class E>
struct EnumName;   // static constexpr const char* value;

template <class T>
concept Bound = requires { TypeOf<std::remove_const_t<T>>::descriptor(); };

// The base types that the runtime itself converts.
template <>
struct TypeOf<TqResult> {
    static SwigTypeInfo* descriptor();
    static constexpr const char* name = "TqResult";
};
template <>
struct TypeOf<TqString> {
    static SwigTypeInfo* descriptor();
    static constexpr const char* name = "TqString";
};

// ---------------------------------------------------------------------------------------------
// Parameter markers.

template <Text D, class T>
struct Spelled {};   // T, declared as D in messages and prototypes
template <class T>
struct ProxyOnly {};   // a class reference that takes a proxy only (no conversion from str)
template <class T>
struct Out {};   // filled by the SDK, returned in the output list
template <class T>
struct In {};   // a non-const reference taken from Python

// ---------------------------------------------------------------------------------------------
// Declared spellings.

template <class T>
struct Decl;

template <class T>
std::string decl_of() {
    return Decl<T>::get();
}

#define KIVO_DECL(T, text) \
    template <>             \
    struct Decl<T> {        \
        static std::string get() { return text; } \
    }
KIVO_DECL(bool, "bool");
KIVO_DECL(int32_t, "int32_t");
KIVO_DECL(uint32_t, "uint32_t");
KIVO_DECL(uint16_t, "uint16_t");
KIVO_DECL(uint8_t, "uint8_t");
KIVO_DECL(int64_t, "int64_t");
KIVO_DECL(uint64_t, "uint64_t");
KIVO_DECL(double, "double");
KIVO_DECL(float, "float");
KIVO_DECL(const char*, "char const *");
KIVO_DECL(const wchar_t*, "wchar_t const *");
KIVO_DECL(std::string, "std::string");
KIVO_DECL(const std::string&, "std::string const &");
#undef KIVO_DECL

template <class E>
    requires std::is_enum_v<E>
struct Decl<E> {
    static std::string get() { return EnumName<E>::value; }
};
template <Bound T>
    requires(!std::is_pointer_v<T>)
struct Decl<T> {
    static std::string get() { return TypeOf<T>::name; }
};
template <Bound T>
struct Decl<T*> {
    static std::string get() { return std::string(TypeOf<T>::name) + " *"; }
};
template <Bound T>
struct Decl<const T*> {
    static std::string get() { return std::string(TypeOf<T>::name) + " const *"; }
};
template <class T>
    requires(Bound<T> || std::is_arithmetic_v<T> || std::is_enum_v<T>)
struct Decl<T&> {
    static std::string get() { return decl_of<T>() + " &"; }
};
template <class T>
    requires(Bound<T> || std::is_arithmetic_v<T> || std::is_enum_v<T>)
struct Decl<const T&> {
    static std::string get() { return decl_of<T>() + " const &"; }
};
template <Bound T>
struct Decl<T**> {
    static std::string get() { return std::string(TypeOf<T>::name) + " **"; }
};
template <Text D, class T>
struct Decl<Spelled<D, T>> {
    static std::string get() { return D.c_str(); }
};
template <class T>
struct Decl<ProxyOnly<T>> : Decl<T> {};
template <class T>
struct Decl<Out<T>> : Decl<T> {};
template <class T>
struct Decl<In<T>> : Decl<T> {};

// ---------------------------------------------------------------------------------------------
// Argument conversion. Each Arg<P> converts one Python object (convert: false with the error set),
// offers a side-effect-free test for overload dispatch (check), and hands the SDK its value (get).
// Output parameters take no Python object (is_input false) and give a value to the result.

struct ArgContext {
    const char* func;
    int position;
    std::string (*decl)();   // the declared spelling, built only for a message
};

inline void argument_error(int code, const ArgContext& c, bool null_reference = false) {
    SwigRuntime_ArgumentError(code, c.func, c.position, c.decl().c_str(), null_reference);
}

// A reference parameter: the conversion must succeed and give a non-null object.
inline bool reference_converted(int res, const void* ptr, const ArgContext& c) {
    if (res < 0) {
        argument_error(res, c);
        return false;
    }
    if (!ptr) {
        argument_error(SwigError_Type, c, true);
        return false;
    }
    return true;
}

template <class P, class = void>
struct Arg;

template <class T, int (*Fn)(PyObject*, T*)>
struct ValueArg {
    static constexpr bool is_input = true;
    T value{};
    bool convert(PyObject* o, const ArgContext& c) {
        int res = Fn(o, &value);
        if (res < 0) argument_error(res, c);
        return res >= 0;
    }
    static bool check(PyObject* o) { return Fn(o, nullptr) >= 0; }
    T get() { return value; }
};

template <>
struct Arg<bool> : ValueArg<bool, SwigAs_Bool> {};
template <>
struct Arg<int32_t> : ValueArg<int32_t, SwigAs_Int32> {};
template <>
struct Arg<uint32_t> : ValueArg<uint32_t, SwigAs_UInt32> {};
template <>
struct Arg<uint16_t> : ValueArg<uint16_t, SwigAs_UInt16> {};
template <>
struct Arg<uint8_t> : ValueArg<uint8_t, SwigAs_UInt8> {};
template <>
struct Arg<int64_t> : ValueArg<int64_t, SwigAs_Int64> {};
template <>
struct Arg<uint64_t> : ValueArg<uint64_t, SwigAs_UInt64> {};
template <>
struct Arg<double> : ValueArg<double, SwigAs_Double> {};
template <>
struct Arg<float> : ValueArg<float, SwigAs_Float> {};

template <class E>
int as_enum(PyObject* o, E* out) {
    int32_t v = 0;
    int res = SwigAs_Int32(o, &v);
    if (res >= 0 && out) *out = static_cast<E>(v);
    return res;
}
template <class E>
struct Arg<E, std::enable_if_t<std::is_enum_v<E>>> : ValueArg<E, as_enum<E>> {};

template <Text D, class T>
struct Arg<Spelled<D, T>> : Arg<T> {};

// Pointer to an SDK object: a proxy of the type or of a derived type; None is a null pointer.
template <Bound T>
struct Arg<T*> {
    static constexpr bool is_input = true;
    void* ptr = nullptr;
    bool convert(PyObject* o, const ArgContext& c) {
        int res = SwigPyObject_ConvertPtr(o, &ptr, TypeOf<std::remove_const_t<T>>::descriptor(), 0, nullptr);
        if (res < 0) argument_error(res, c);
        return res >= 0;
    }
    static bool check(PyObject* o) {
        return SwigPyObject_ConvertPtr(o, nullptr, TypeOf<std::remove_const_t<T>>::descriptor(), 0, nullptr) >= 0;
    }
    T* get() { return static_cast<T*>(ptr); }
};

// Reference to an SDK object: a proxy only; None is a null reference.
template <Bound T>
struct ClassRefArg {
    static constexpr bool is_input = true;
    void* ptr = nullptr;
    bool convert(PyObject* o, const ArgContext& c) {
        int res = SwigPyObject_ConvertPtr(o, &ptr, TypeOf<std::remove_const_t<T>>::descriptor(), 0, nullptr);
        return reference_converted(res, ptr, c);
    }
    static bool check(PyObject* o) {
        return SwigPyObject_ConvertPtr(o, nullptr, TypeOf<std::remove_const_t<T>>::descriptor(), SwigConvert_NoNull,
                                       nullptr) >= 0;
    }
    T& get() { return *static_cast<T*>(ptr); }
};

template <Bound T>
    requires(!std::is_same_v<std::remove_const_t<T>, TqString>)
struct Arg<T&> : ClassRefArg<T> {};
template <class T>
struct Arg<ProxyOnly<T&>> : ClassRefArg<T> {};

// TqString const &: a TqString proxy; else a str (wide characters, then UTF-8) or a wrapped
// character pointer, held in a local string for the call. None is refused.
template <>
struct Arg<const TqString&> {
    static constexpr bool is_input = true;
    TqString* ptr = nullptr;
    std::optional<TqString> local;
    bool convert(PyObject* o, const ArgContext& c);
    static bool check(PyObject* o);
    const TqString& get() { return ptr ? *ptr : *local; }
};

// Narrow and wide character pointers: a str is copied for the call; None is a null pointer.
template <>
struct Arg<const char*> {
    static constexpr bool is_input = true;
    char* ptr = nullptr;
    int alloc = 0;
    ~Arg() {
        if (alloc == SwigFlag_NewObject) delete[] ptr;
    }
    bool convert(PyObject* o, const ArgContext& c) {
        int res = SwigAs_CharPtrAndSize(o, &ptr, nullptr, &alloc);
        if (res < 0) argument_error(res, c);
        return res >= 0;
    }
    static bool check(PyObject* o) { return SwigAs_CharPtrAndSize(o, nullptr, nullptr, nullptr) >= 0; }
    const char* get() { return ptr; }
};

template <>
struct Arg<const wchar_t*> {
    static constexpr bool is_input = true;
    wchar_t* ptr = nullptr;
    int alloc = 0;
    ~Arg() {
        if (alloc == SwigFlag_NewObject) delete[] ptr;
    }
    bool convert(PyObject* o, const ArgContext& c) {
        int res = SwigAs_WCharPtrAndSize(o, &ptr, nullptr, &alloc);
        if (res < 0) argument_error(res, c);
        return res >= 0;
    }
    static bool check(PyObject* o) { return SwigAs_WCharPtrAndSize(o, nullptr, nullptr, nullptr) >= 0; }
    const wchar_t* get() { return ptr; }
};

template <>
struct Arg<const std::string&> {
    static constexpr bool is_input = true;
    std::string* ptr = nullptr;
    int res = 0;
    ~Arg() {
        if (res == SwigFlag_NewObject) delete ptr;
    }
    bool convert(PyObject* o, const ArgContext& c) {
        res = SwigAs_StdStringPtr(o, &ptr);
        return reference_converted(res, ptr, c);
    }
    static bool check(PyObject* o) {
        std::string* p = nullptr;
        int r = SwigAs_StdStringPtr(o, &p);
        bool ok = r >= 0 && p;
        if (r == SwigFlag_NewObject) delete p;
        return ok;
    }
    const std::string& get() { return *ptr; }
};

// ---------------------------------------------------------------------------------------------
// Results.

template <class R, class = void>
struct ToPython;

template <>
struct ToPython<bool> {
    static PyObject* make(bool v) { return PyBool_FromLong(v); }
};
template <class T>
struct ToPython<T, std::enable_if_t<std::is_enum_v<T> || std::is_same_v<T, int32_t> || std::is_same_v<T, uint16_t> ||
                                    std::is_same_v<T, uint8_t>>> {
    static PyObject* make(T v) { return PyLong_FromLong(static_cast<long>(static_cast<int32_t>(v))); }
};
template <>
struct ToPython<uint32_t> {
    static PyObject* make(uint32_t v) { return PyLong_FromSize_t(v); }
};
template <>
struct ToPython<int64_t> {
    static PyObject* make(int64_t v) { return SwigFrom_Int64(v); }
};
template <>
struct ToPython<uint64_t> {
    static PyObject* make(uint64_t v) { return SwigFrom_UInt64(v); }
};
template <class T>
struct ToPython<T, std::enable_if_t<std::is_floating_point_v<T>>> {
    static PyObject* make(T v) { return PyFloat_FromDouble(v); }
};
template <>
struct ToPython<const char*> {
    static PyObject* make(const char* v) { return SwigFrom_CharPtr(v); }
};
template <>
struct ToPython<std::string> {
    static PyObject* make(const std::string& v) { return SwigFrom_StdString(v); }
};
template <>
struct ToPython<const wchar_t*> {
    static PyObject* make(const wchar_t* v) { return SwigFrom_WCharPtr(v); }
};
// Values returned by value (TqResult, TqString): an owned heap copy.
template <Bound T>
    requires(!std::is_pointer_v<T>)
struct ToPython<T> {
    static PyObject* make(const T& v) {
        return SwigPyObject_NewPointerObject(new T(v), TypeOf<T>::descriptor(), SwigNew_Own);
    }
};
// Objects the SDK keeps: a new borrowed proxy; null is None.
template <Bound T>
struct ToPython<T*> {
    static PyObject* make(T* v) {
        return SwigPyObject_NewPointerObject(const_cast<std::remove_const_t<T>*>(v),
                                             TypeOf<std::remove_const_t<T>>::descriptor(), 0);
    }
};

// Output parameters: zero-initialised, filled by the SDK, turned into a value afterwards.
template <class T>
struct OutArg {
    static constexpr bool is_input = false;
    static constexpr bool always_present = std::is_same_v<T, bool>;
    T value{};
    T& get() { return value; }
    PyObject* result() { return ToPython<T>::make(value); }
};
template <>
struct OutArg<TqString> {
    static constexpr bool is_input = false;
    static constexpr bool always_present = false;
    TqString value;
    TqString& get() { return value; }
    PyObject* result() { return SwigFrom_WCharPtr(value.GetUnicode()); }
};
template <Bound T>
struct OutArg<T*> {
    static constexpr bool is_input = false;
    static constexpr bool always_present = false;
    T* value = nullptr;
    T*& get() { return value; }
    T** pointer() { return &value; }
    PyObject* result() { return ToPython<T*>::make(value); }
};

template <class T>
struct Arg<Out<T&>> : OutArg<T> {};
template <class T>
    requires(std::is_arithmetic_v<T> || std::is_enum_v<T> || std::is_same_v<T, TqString>)
struct Arg<T&> : OutArg<T> {};
template <Bound T>
struct Arg<T**> : OutArg<T*> {
    T** get() { return this->pointer(); }
};
template <>
struct Arg<In<TqString&>> : Arg<const TqString&> {
    TqString& get() { return const_cast<TqString&>(Arg<const TqString&>::get()); }
};

// ---------------------------------------------------------------------------------------------
// Policies: per-method choices, combined by inheritance from Default.

struct Default {
    static constexpr bool keep_gil = false;       // callback classes keep the GIL for the whole call
    static constexpr bool disown_self = false;    // the proxy of self gives its object up (after all checks)
    static constexpr bool text_result = false;    // a returned TqString reference becomes its text
    static constexpr bool not_implemented = false;   // a TypeError in conversion gives NotImplemented
    static constexpr bool tuple_outputs = false;  // (TqResult, value, ...) in place of a list
    static constexpr bool self_is_arg = false;    // a static-style first argument numbered 1 with no self rule
    static constexpr int flags = 0;               // METH_ flags, 0 = from the argument count
};

struct KeepGil : Default {
    static constexpr bool keep_gil = true;
};
struct TakeOwnership : Default {
    static constexpr bool disown_self = true;
};
struct AsText : Default {
    static constexpr bool text_result = true;
};
struct Comparison : Default {
    static constexpr bool not_implemented = true;
};
struct TupleOutputs : Default {
    static constexpr bool tuple_outputs = true;
};
template <int F, class Base = Default>
struct Flags : Base {
    static constexpr int flags = F;
};

// ---------------------------------------------------------------------------------------------
// Signatures of the wrapped callables.

template <class... P>
struct Params {};

template <class F>
struct Callable;

template <class R, class C, class... A>
struct Callable<R (C::*)(A...)> {
    using Self = C;
    using Result = R;
    using Args = Params<A...>;
};
template <class R, class C, class... A>
struct Callable<R (C::*)(A...) const> {
    using Self = const C;
    using Result = R;
    using Args = Params<A...>;
};
template <class R, class... A>
struct Callable<R (*)(A...)> {
    using Self = void;
    using Result = R;
    using Args = Params<A...>;
};

// Parameters of a method after self: all of a member's, a free function's but the first.
template <class F>
struct MethodSig {
    using type = typename Callable<F>::Args;
};
template <class R, class S, class... A>
struct MethodSig<R (*)(S*, A...)> {
    using type = Params<A...>;
};

// Picks one member of an overload set: member<bool(const TqResult&) const>(&TqResult::operator==).
template <class Sig, class C>
constexpr auto member(Sig C::*m) {
    return m;
}

// The SDK value that a parameter marker stands for.
template <class P>
struct Underlying {
    using type = P;
};
template <Text D, class T>
struct Underlying<Spelled<D, T>> {
    using type = T;
};
template <class T>
struct Underlying<ProxyOnly<T>> {
    using type = T;
};
template <class T>
struct Underlying<Out<T>> {
    using type = T;
};
template <class T>
struct Underlying<In<T>> {
    using type = T;
};

// Releases the GIL around one SDK call unless the policy keeps it.
template <bool Keep, class Fn>
decltype(auto) sdk_call(Fn&& fn) {
    if constexpr (Keep) {
        return fn();
    } else {
        struct Restore {
            PyThreadState* state;
            ~Restore() { PyEval_RestoreThread(state); }
        } restore{PyEval_SaveThread()};
        return fn();
    }
}

// ---------------------------------------------------------------------------------------------
// The shared body: converts the Python items into a tuple of Arg<>, calls, builds the result.

template <class... P>
struct ArgPack {
    std::tuple<Arg<P>...> args;
    static constexpr int inputs = (0 + ... + (Arg<P>::is_input ? 1 : 0));
    static constexpr int outputs = sizeof...(P) - inputs;

    // Converts items[0..inputs) in order; first is the position of items[0] in messages.
    bool convert(const char* func, PyObject* const* items, int first) {
        return convert_each(func, items, first, std::index_sequence_for<P...>{});
    }
    template <std::size_t... I>
    bool convert_each([[maybe_unused]] const char* func, [[maybe_unused]] PyObject* const* items,
                      [[maybe_unused]] int first, std::index_sequence<I...>) {
        [[maybe_unused]] int item = 0;
        bool ok = true;
        (void)((ok = convert_one<I, P>(func, items, first, item)) && ...);
        return ok;
    }
    template <std::size_t I, class Q>
    bool convert_one(const char* func, PyObject* const* items, int first, int& item) {
        auto& a = std::get<I>(args);
        if constexpr (std::remove_reference_t<decltype(a)>::is_input) {
            ArgContext ctx{func, first + item, &decl_of<Q>};
            return a.convert(items[item++], ctx);
        } else {
            return true;
        }
    }

    static bool check(PyObject* const* items) { return check_each(items, std::index_sequence_for<P...>{}); }
    template <std::size_t... I>
    static bool check_each([[maybe_unused]] PyObject* const* items, std::index_sequence<I...>) {
        [[maybe_unused]] int item = 0;
        bool ok = true;
        (void)((ok = check_one<P>(items, item)) && ...);
        return ok;
    }
    template <class Q>
    static bool check_one(PyObject* const* items, int& item) {
        if constexpr (Arg<Q>::is_input)
            return Arg<Q>::check(items[item++]);
        else
            return true;
    }

    // Appends the output values to the result; values that depend on success are None unless ok.
    PyObject* add_outputs(PyObject* result, bool ok, bool is_void, bool tuple) {
        if constexpr (outputs == 0) {
            return result;
        } else {
            PyObject* values[outputs];
            int n = 0;
            std::apply([&](auto&... a) { (collect(a, ok, values, n), ...); }, args);
            for (int i = 0; i < n; ++i) {
                if (!values[i]) {
                    for (int k = 0; k < n; ++k) Py_XDECREF(values[k]);
                    Py_XDECREF(result);
                    return nullptr;
                }
            }
            if (tuple) {
                PyObject* t = PyTuple_New(n + 1);
                if (!t) {
                    for (int k = 0; k < n; ++k) Py_DECREF(values[k]);
                    Py_DECREF(result);
                    return nullptr;
                }
                PyTuple_SetItem(t, 0, result);
                for (int k = 0; k < n; ++k) PyTuple_SetItem(t, k + 1, values[k]);
                return t;
            }
            for (int k = 0; k < n; ++k) {
                if (result)
                    result = SwigRuntime_AppendOutput(result, values[k], is_void);   // takes the value
                else
                    Py_DECREF(values[k]);
            }
            return result;
        }
    }
    template <class A>
    static void collect(A& a, bool ok, PyObject** values, int& n) {
        if constexpr (!A::is_input) {
            if (ok || A::always_present) {
                values[n++] = a.result();
            } else {
                Py_INCREF(Py_None);
                values[n++] = Py_None;
            }
        }
    }

    template <class Fn>
    decltype(auto) apply(Fn&& fn) {
        return std::apply([&](auto&... a) -> decltype(auto) { return fn(a.get()...); }, args);
    }
};

// Builds the Python result of an SDK call from its return value and the outputs.
template <class Policy, class R, class Pack, class Fn>
PyObject* call_and_wrap(Pack& pack, Fn&& fn, int ref_flags = 0) {
    constexpr bool keep = Policy::keep_gil;
    if constexpr (std::is_void_v<R>) {
        sdk_call<keep>([&] { pack.apply(fn); });
        Py_INCREF(Py_None);
        return pack.add_outputs(Py_None, true, true, Policy::tuple_outputs);
    } else if constexpr (std::is_reference_v<R>) {
        using T = std::remove_cv_t<std::remove_reference_t<R>>;
        T* ref = &const_cast<T&>(sdk_call<keep>([&]() -> R { return pack.apply(fn); }));
        if constexpr (Policy::text_result) {
            return SwigFrom_WCharPtr(ref->GetUnicode());
        } else {
            return SwigPyObject_NewPointerObject(ref, TypeOf<T>::descriptor(), ref_flags);
        }
    } else {
        using T = std::remove_cv_t<R>;
        // The SDK's value is kept in a local until it is wrapped.
        std::optional<T> value;
        sdk_call<keep>([&] { value.emplace(pack.apply(fn)); });
        bool ok = true;
        if constexpr (std::is_same_v<T, TqResult>) ok = value->IsOK();
        PyObject* result = ToPython<T>::make(*value);
        if (!result) return nullptr;
        return pack.add_outputs(result, ok, false, Policy::tuple_outputs);
    }
}

// Unpacks the call's arguments (exactly N) for the calling convention of the entry.
inline bool unpack_exact(PyObject* args, int meth, const char* name, int n, PyObject** items) {
    if (meth == METH_O) {
        if (!args) return false;
        items[0] = args;
        return true;
    }
    if (meth == METH_NOARGS) return true;
    Py_ssize_t count = 0;
    return SwigRuntime_UnpackTuple(args, name, n, n, items, &count);
}

constexpr int flags_for(int python_args, int chosen) {
    if (chosen) return chosen;
    return python_args == 0 ? METH_NOARGS : python_args == 1 ? METH_O : METH_VARARGS;
}

template <class T>
struct ParamsOf;
template <class... P>
struct ParamsOf<Params<P...>> {
    using Pack = ArgPack<P...>;
};

// Self: a proxy of the class or of a derived class. None (or a proxy whose object is gone) is refused
// before any SDK call.
template <class C>
struct SelfArg {
    using Plain = std::remove_const_t<C>;
    Plain* ptr = nullptr;
    static std::string decl() { return std::string(TypeOf<Plain>::name) + (std::is_const_v<C> ? " const *" : " *"); }
    bool convert(PyObject* o, const char* func) {
        void* p = nullptr;
        SwigTypeInfo* ty = TypeOf<Plain>::descriptor();
        if (SwigPyObject_DirectMatch(o, ty, &p) && p) {
            ptr = static_cast<Plain*>(p);
            return true;
        }
        int res = SwigPyObject_ConvertPtr(o, &p, ty, 0, nullptr);
        if (res < 0 || !p) {
            SwigRuntime_ArgumentError(res < 0 ? res : SwigError_Type, func, 1, decl().c_str());
            return false;
        }
        ptr = static_cast<Plain*>(p);
        return true;
    }
    static bool check(PyObject* o) {
        return SwigPyObject_ConvertPtr(o, nullptr, TypeOf<Plain>::descriptor(), 0, nullptr) >= 0;
    }
    // Clears the own flag of the proxy that matched (after every argument converted); returns
    // whether it owned its object.
    static bool disown(PyObject* o) {
        int own = 0;
        SwigPyObject_ConvertPtr(o, nullptr, TypeOf<Plain>::descriptor(), SwigConvert_Disown, &own);
        return own != 0;
    }
};

// Documentation and prototypes of a wrapper.
struct DocInfo {
    std::vector<std::string> params;      // declared spellings, all parameters
    std::vector<std::string> types;       // the Python types documented for them
    std::vector<bool> outputs;
    std::string result;                   // declared result
    std::string qualified;                // Class::Member
};
std::string format_doc(const DocInfo& info, const char* names);
std::string format_prototype(const DocInfo& info);
std::string python_type_of(const std::string& decl);

template <class R>
std::string result_decl() {
    if constexpr (std::is_void_v<R>)
        return "void";
    else if constexpr (std::is_reference_v<R>)
        return decl_of<std::remove_reference_t<R>&>();
    else
        return decl_of<R>();
}

// The Python type a parameter takes, for docstrings.
template <class P>
struct DocType {
    static std::string get() { return python_type_of(decl_of<P>()); }
};
template <class T>
struct DocType<ProxyOnly<T>> {   // a class instance, never a str
    static std::string get() {
        return ":py:class:`" + std::string(TypeOf<std::remove_cvref_t<T>>::name) + "`";
    }
};

template <class... P>
DocInfo doc_info_of(Params<P...>*) {
    DocInfo info;
    (info.params.push_back(decl_of<P>()), ...);
    (info.types.push_back(DocType<P>::get()), ...);
    (info.outputs.push_back(!Arg<P>::is_input), ...);
    return info;
}

// The member's name in prototypes: the flat name without "<Class>_" (or the class for "new_").
std::string member_of(const char* flat, const char* cls);

// ---------------------------------------------------------------------------------------------
// Wrapper kinds.

// A method: self first, then the parameters of the member (or of a free function whose first
// parameter is self).
template <Text Name, auto F, class Policy = Default, class Sig = typename MethodSig<decltype(F)>::type>
struct Method {
    using Traits = Callable<decltype(F)>;
    using Pack = typename ParamsOf<Sig>::Pack;
    using policy = Policy;
    static constexpr bool is_member = !std::is_void_v<typename Traits::Self>;
    static constexpr int arity = 1 + Pack::inputs;
    static constexpr int flags = flags_for(arity, Policy::flags);
    static constexpr const char* name = Name.c_str();

    template <class Tr>
    struct FreeSelf;
    template <class R, class S, class... A>
    struct FreeSelf<Callable<R (*)(S*, A...)>> {
        using Self = S;
    };
    static auto self_type() {
        if constexpr (is_member)
            return std::type_identity<typename Traits::Self>{};
        else
            return std::type_identity<typename FreeSelf<Traits>::Self>{};
    }
    using Self = typename decltype(self_type())::type;
    using R = typename Traits::Result;

    static PyObject* invoke(PyObject* const* items) {
        SelfArg<Self> self;
        if (!self.convert(items[0], name)) {
            if constexpr (Policy::not_implemented) return not_implemented();
            return nullptr;
        }
        Pack pack;
        if (!pack.convert(name, items + 1, 2)) {
            if constexpr (Policy::not_implemented) return not_implemented();
            return nullptr;
        }
        // A returned reference to self takes over what self's proxy owned.
        int ref_flags = 0;
        if constexpr (Policy::disown_self) ref_flags = SelfArg<Self>::disown(items[0]) ? SwigNew_Own : 0;
        auto* obj = self.ptr;
        return call_and_wrap<Policy, R>(pack, [obj](auto&&... a) -> R {
            if constexpr (is_member)
                return (obj->*F)(std::forward<decltype(a)>(a)...);
            else
                return F(obj, std::forward<decltype(a)>(a)...);
        }, ref_flags);
    }
    static PyObject* not_implemented() {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        return nullptr;
    }
    static bool check(PyObject* const* items) { return SelfArg<Self>::check(items[0]) && Pack::check(items + 1); }
    static PyObject* entry(PyObject*, PyObject* args) {
        PyObject* items[arity > 0 ? arity : 1];
        if (!unpack_exact(args, flags, name, arity, items)) return nullptr;
        return invoke(items);
    }
    static DocInfo doc_info() {
        DocInfo info = doc_info_of(static_cast<Sig*>(nullptr));
        info.result = result_decl<R>();
        info.qualified = std::string(TypeOf<std::remove_const_t<Self>>::name) + "::" +
                         member_of(name, TypeOf<std::remove_const_t<Self>>::name);
        return info;
    }
};

// A static member or free function: no self; arguments numbered from 1.
template <Text Name, auto F, class Policy = Default, class Sig = typename Callable<decltype(F)>::Args>
struct Function {
    using Traits = Callable<decltype(F)>;
    using Pack = typename ParamsOf<Sig>::Pack;
    using policy = Policy;
    using R = typename Traits::Result;
    static constexpr int arity = Pack::inputs;
    static constexpr int flags = flags_for(arity, Policy::flags);
    static constexpr const char* name = Name.c_str();

    static PyObject* invoke(PyObject* const* items) {
        Pack pack;
        if (!pack.convert(name, items, 1)) return nullptr;
        return call_and_wrap<Policy, R>(pack, [](auto&&... a) -> R { return F(std::forward<decltype(a)>(a)...); });
    }
    static bool check(PyObject* const* items) { return Pack::check(items); }
    static PyObject* entry(PyObject*, PyObject* args) {
        PyObject* items[arity > 0 ? arity : 1];
        if (!unpack_exact(args, flags, name, arity, items)) return nullptr;
        return invoke(items);
    }
    static DocInfo doc_info() {
        DocInfo info = doc_info_of(static_cast<Sig*>(nullptr));
        info.result = result_decl<R>();
        info.qualified = member_of(name, "");
        return info;
    }
};

// new_<Class>: builds the object with the GIL released and returns the bare owning proxy.
template <Text Name, class C, class... P>
struct Ctor {
    using Pack = ArgPack<P...>;
    using policy = Default;
    static constexpr int arity = Pack::inputs;
    static constexpr int flags = flags_for(arity, 0);
    static constexpr const char* name = Name.c_str();

    static PyObject* invoke(PyObject* const* items) {
        Pack pack;
        if (!pack.convert(name, items, 1)) return nullptr;
        C* made = sdk_call<false>([&] { return pack.apply([](auto&&... a) { return new C(std::forward<decltype(a)>(a)...); }); });
        return SwigPyObject_NewPointerObject(made, TypeOf<C>::descriptor(), SwigNew_Own | SwigNew_NoShadow);
    }
    static bool check(PyObject* const* items) { return Pack::check(items); }
    static PyObject* entry(PyObject*, PyObject* args) {
        PyObject* items[arity > 0 ? arity : 1];
        if (!unpack_exact(args, flags, name, arity, items)) return nullptr;
        return invoke(items);
    }
    static DocInfo doc_info() {
        DocInfo info = doc_info_of(static_cast<Params<P...>*>(nullptr));
        info.result = "";
        info.qualified = std::string(TypeOf<C>::name) + "::" + TypeOf<C>::name;
        return info;
    }
};

// delete_<Class>: destroys an object that the proxy owns, then clears the proxy's pointer. A proxy
// that does not own its object (borrowed, or deleted before) is refused and nothing is destroyed.
// It never takes a reference to its argument: deallocation calls it on the dying proxy.
template <Text Name, class C>
struct Delete {
    static constexpr int arity = 1;
    static constexpr int flags = METH_O;
    static constexpr const char* name = Name.c_str();
    static PyObject* entry(PyObject*, PyObject* arg) {
        if (!arg) return nullptr;
        void* p = nullptr;
        int res = SwigPyObject_ConvertPtr(arg, &p, TypeOf<C>::descriptor(), SwigConvert_Disown | SwigConvert_Clear,
                                          nullptr);
        if (res < 0) {
            SwigRuntime_ArgumentError(res, name, 1, (std::string(TypeOf<C>::name) + " *").c_str());
            return nullptr;
        }
        if (p) sdk_call<false>([p] { delete static_cast<C*>(p); });
        Py_RETURN_NONE;
    }
    static DocInfo doc_info() { return {}; }
};

// <Class>_swigregister and <Class>_swiginit.
template <class C>
struct Register {
    static constexpr int flags = METH_O;
    static PyObject* entry(PyObject*, PyObject* cls) { return SwigPyObject_RegisterClass(TypeOf<C>::descriptor(), cls); }
};
PyObject* swiginit_entry(PyObject*, PyObject* args);

// An overloaded function: candidates tried by argument count, then in order, by their checks.
// Order gives the candidates' declaration order for the prototypes of the error message.
template <Text Name, class Order, class... Cands>
struct Overload;

template <Text Name, std::size_t... Order, class... Cands>
struct Overload<Name, std::index_sequence<Order...>, Cands...> {
    static constexpr int flags = METH_VARARGS;
    static constexpr const char* name = Name.c_str();
    static constexpr int max_args = std::max({Cands::arity...});
    static constexpr bool comparison = (Cands::policy::not_implemented || ...);

    static const std::string& message() {
        static const std::string text = [] {
            std::string m = std::string("Wrong number or type of arguments for overloaded function '") + name +
                            "'.\n  Possible C/C++ prototypes are:\n";
            std::string protos[] = {format_prototype(Cands::doc_info())...};
            for (std::size_t i : {Order...}) m += "    " + protos[i] + "\n";
            return m;
        }();
        return text;
    }

    static PyObject* entry(PyObject*, PyObject* args) {
        PyObject* items[max_args > 0 ? max_args : 1] = {};
        Py_ssize_t argc = 0;
        if (!SwigRuntime_UnpackTuple(args, name, 0, max_args, items, &argc)) {
            if (comparison) return nullptr;
            SwigRuntime_RaiseOrExtendTypeError(message().c_str());
            return nullptr;
        }
        PyObject* result = nullptr;
        bool called = ((argc == Cands::arity && Cands::check(items) && (result = Cands::invoke(items), true)) || ...);
        if (called) return result;
        if (comparison) Py_RETURN_NOTIMPLEMENTED;
        SwigRuntime_RaiseOrExtendTypeError(message().c_str());
        return nullptr;
    }
    static DocInfo doc_info() { return {}; }
    static std::string doc(const char* names);
};

// ---------------------------------------------------------------------------------------------
// Method-table entries.

struct Entry {
    const char* name;
    PyCFunction function;
    int flags;
    std::string (*doc)(const char* names);   // null: no docstring
    const char* names;                        // parameter names for the docstring, ',' separated
};

// Adds the method-table rows of entries to defs; their docstrings live for the process.
void append_method_defs(std::vector<PyMethodDef>& defs, const std::vector<Entry>& entries);

template <class W>
std::string doc_of(const char* names) {
    return format_doc(W::doc_info(), names);
}

std::string overload_doc(const std::vector<DocInfo>& infos, const char* names);

template <Text Name, std::size_t... Order, class... Cands>
std::string Overload<Name, std::index_sequence<Order...>, Cands...>::doc(const char* names) {
    std::vector<DocInfo> all = {Cands::doc_info()...};
    std::vector<DocInfo> ordered;
    for (std::size_t i : {Order...}) ordered.push_back(all[i]);
    return overload_doc(ordered, names);
}

template <class W>
Entry entry_of(const char* flat, const char* names, bool documented = true) {
    return {flat, &W::entry, W::flags,
            documented ? &doc_of<W> : nullptr, names};
}

template <Text Name, auto F, class Policy = Default, class Sig = typename MethodSig<decltype(F)>::type>
Entry method(const char* names = "") {
    return entry_of<Method<Name, F, Policy, Sig>>(Name.c_str(), names);
}
template <Text Name, auto F, class Policy = Default, class Sig = typename Callable<decltype(F)>::Args>
Entry function(const char* names = "") {
    return entry_of<Function<Name, F, Policy, Sig>>(Name.c_str(), names);
}
template <Text Name, class C, class... P>
Entry constructor(const char* names = "") {
    return entry_of<Ctor<Name, C, P...>>(Name.c_str(), names);
}
template <Text Name, class C>
Entry destructor() {
    return {Name.c_str(), &Delete<Name, C>::entry, METH_O, [](const char*) { return std::string("Destructor"); }, ""};
}
// Candidates in the order they are tried; Order lists them in declaration order (for prototypes
// and docstrings) when that differs.
template <Text Name, class Order, class... Cands>
Entry overloaded_ordered(const char* names = "") {
    using O = Overload<Name, Order, Cands...>;
    return {Name.c_str(), &O::entry, METH_VARARGS, &O::doc, names};
}
template <Text Name, class... Cands>
Entry overloaded(const char* names = "") {
    return overloaded_ordered<Name, std::index_sequence_for<Cands...>, Cands...>(names);
}
template <class C>
Entry registration(const char* flat) {
    return {flat, &Register<C>::entry, METH_O, nullptr, nullptr};
}
inline Entry initialisation(const char* flat) { return {flat, &swiginit_entry, METH_VARARGS, nullptr, nullptr}; }

}  // namespace kivo::rt
