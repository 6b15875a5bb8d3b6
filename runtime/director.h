// Directors: the native side of a Python subclass of an SDK callback interface. The SDK calls a
// virtual function on its own thread; the director takes the GIL, looks up the Python method of the
// same name on the object's class (cached per class, unbound, so the director and its Python object
// never keep each other alive), calls it with the arguments converted, converts its result and
// releases the GIL on every exit path. A director class is its base plus one line per virtual:
//
//     class SwigDirector_Sink : public Sink, public Swig::Director {
//         static kivo::rt::MethodCache& methods() { static auto* c = new kivo::rt::MethodCache{"OnValue"}; return *c; }
//     public:
//         using Swig::Director::Director;
//         int OnValue(int a) override { return call<int>(methods(), 0, a); }
//     };
//
// After the interpreter starts finalising no callback touches Python: it fails at once. The cache is
// never destroyed, since SDK threads may still call back while the process exits.
#pragma once

#include "convert.h"

#include <exception>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace kivo::rt {

// True once the interpreter has begun to finalise (set by an exit hook installed at start-up).
bool interpreter_finalizing();
// Registers the exit hook once per process; false with an error set.
bool install_exit_hook();

// The Python methods of one director class, by slot: names, and per Python class the functions found.
class MethodCache {
public:
    MethodCache(std::initializer_list<const char*> names);
    const char* name(int slot) const { return names_[slot]; }
    // The function the object's class defines for the slot (borrowed), or null when the class does
    // not override it.
    PyObject* lookup(PyObject* self, int slot);

private:
    struct PerClass {
        PyTypeObject* type;              // strong
        std::vector<PyObject*> methods;  // strong, null where not overridden
    };
    std::vector<const char*> names_;
    std::vector<PyObject*> interned_;
    std::vector<PerClass> classes_;
};

}  // namespace kivo::rt

namespace Swig {

class DirectorException : public std::exception {
public:
    explicit DirectorException(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};
class DirectorMethodException : public DirectorException {
public:
    using DirectorException::DirectorException;
};
class DirectorPureVirtualException : public DirectorException {
public:
    using DirectorException::DirectorException;
};
class DirectorTypeMismatchException : public DirectorException {
public:
    using DirectorException::DirectorException;
};

class Director {
public:
    explicit Director(PyObject* self);
    virtual ~Director();
    Director(const Director&) = delete;
    Director& operator=(const Director&) = delete;

    // The Python object, or null once it has died.
    PyObject* swig_get_self() const;
    // Hands the Python object to the native side: the director keeps it alive from now on.
    void swig_disown();
    bool swig_disowned() const { return strong_ != nullptr; }

protected:
    // Calls the Python method of a slot; a class that does not override it runs fallback (the
    // native base's implementation), or fails as a pure virtual when there is none.
    template <class R, class Fallback, class... A>
    R call_or(kivo::rt::MethodCache& cache, int slot, Fallback&& fallback, A&&... args);
    template <class R, class... A>
    R call(kivo::rt::MethodCache& cache, int slot, A&&... args) {
        return call_or<R>(cache, slot, nullptr, std::forward<A>(args)...);
    }

private:
    PyObject* weak_;     // weak reference to the Python object
    PyObject* strong_;   // set once disowned
};

}  // namespace Swig

namespace kivo::rt {

// Holds the GIL for a callback's whole run.
struct GilHold {
    PyGILState_STATE state = PyGILState_Ensure();
    ~GilHold() { PyGILState_Release(state); }
};

// Argument and result conversions of director calls.
inline PyObject* to_python(bool v) { return PyBool_FromLong(v); }
inline PyObject* to_python(int32_t v) { return PyLong_FromLong(v); }
inline PyObject* to_python(uint32_t v) { return PyLong_FromSize_t(v); }
inline PyObject* to_python(int64_t v) { return SwigFrom_Int64(v); }
inline PyObject* to_python(uint64_t v) { return SwigFrom_UInt64(v); }
inline PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_python(const char* v) { return SwigFrom_CharPtr(v); }

template <class R>
R from_python(PyObject* o, const char* method);

// Reports a failed Python call of a director method ("In method 'Name': TypeText") on standard
// output and throws DirectorMethodException; the Python error stays set on this thread.
[[noreturn]] void director_call_failed(const char* method);
[[noreturn]] void director_pure_virtual(const char* method);
[[noreturn]] void director_unavailable(const char* method);

// Calls func(self, args...) and gives the new reference or null with the error set.
PyObject* call_unbound(PyObject* func, PyObject* self, PyObject* const* args, int n);

}  // namespace kivo::rt

template <class R, class Fallback, class... A>
R Swig::Director::call_or(kivo::rt::MethodCache& cache, int slot, Fallback&& fallback, A&&... args) {
    using namespace kivo::rt;
    const char* method = cache.name(slot);
    if (interpreter_finalizing()) director_unavailable(method);
    GilHold gil;
    PyObject* self = swig_get_self();
    if (!self) director_unavailable(method);   // its Python side is gone: call nothing
    PyObject* func = cache.lookup(self, slot);
    if (!func) {
        if constexpr (std::is_same_v<std::decay_t<Fallback>, std::nullptr_t>)
            director_pure_virtual(method);
        else
            return fallback();
    }
    PyObject* converted[sizeof...(A) + 1] = {to_python(std::forward<A>(args))...};
    bool ok = true;
    for (std::size_t i = 0; i < sizeof...(A); ++i) ok = ok && converted[i];
    PyObject* result = ok ? call_unbound(func, self, converted, static_cast<int>(sizeof...(A))) : nullptr;
    for (std::size_t i = 0; i < sizeof...(A); ++i) Py_XDECREF(converted[i]);
    if (!result) director_call_failed(method);
    if constexpr (std::is_void_v<R>) {
        Py_DECREF(result);
    } else {
        struct Drop {
            PyObject* o;
            ~Drop() { Py_DECREF(o); }
        } drop{result};
        return from_python<R>(result, method);
    }
}
