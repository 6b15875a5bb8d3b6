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
#pragma once

#include "director.h"
#include "kinds.h"

#include <stdexcept>

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
template <class D, class V, class R, class C, class... A>
struct VirtualCall<D, V, R (C::*)(A...)> {
    using Sdk = typename D::SdkClass;
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
// A const member: self is spelled "<Class> const *".
template <class D, class V, class R, class C, class... A>
struct VirtualCall<D, V, R (C::*)(A...) const> {
    using Sdk = const typename D::SdkClass;
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
// abstract one.
template <class D, class Sdk, bool Concrete>
struct DirectorConstructorShape {
    using Data = ShapeData<Default, void, void, PythonObject>;
    static void thunk(Slot* s, void* result) {
        PyObject* instance = s[0].as<PyObject*>();
        if (instance != Py_None) {
            result_as<void*>(result) = static_cast<Sdk*>(new D(instance));
        } else if constexpr (Concrete) {
            result_as<void*>(result) = new Sdk();
        } else {
            throw std::runtime_error("accessing abstract class or protected constructor");
        }
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
