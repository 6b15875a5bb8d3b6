// What the companion layer builds its classes from: descriptors that turn the module's flat
// functions into methods and __init__ without a Python frame in between.
//
// A Method binds a flat function <Class>_<Method> (its C function takes the module and the call's
// arguments, self first) to a class. Its type is a method descriptor for CPython: obj.Method(...)
// calls it unbound with (obj, ...), and the call goes straight to the flat function's C function
// with that same argument tuple. A Constructor does the same for new_<Class> as __init__ and
// attaches the new proxy to the instance as <Class>_swiginit would. Both give a BoundMethod when
// read from an instance (f = obj.Method; f()).
#include "dispatch.h"
#include "proxy.h"
#include "ref.h"

#include <structmember.h>

#include <cstddef>
#include <unordered_map>

#ifndef Py_TPFLAGS_METHOD_DESCRIPTOR
#define Py_TPFLAGS_METHOD_DESCRIPTOR (1UL << 17)
#endif
// The fast call protocol of CPython 3.9 and later, used when the running interpreter has it.
#ifndef Py_TPFLAGS_HAVE_VECTORCALL
#define Py_TPFLAGS_HAVE_VECTORCALL (1UL << 11)
#endif
constexpr std::size_t kVectorcallArgumentsOffset = std::size_t(1) << (8 * sizeof(std::size_t) - 1);
using VectorcallFunc = PyObject* (*)(PyObject*, PyObject* const*, std::size_t, PyObject*);
using kivo::rt::Ref;

namespace kivo::rt {

namespace {
std::unordered_map<PyCFunction, const FuncRecord*>& records() {
    static auto* map = new std::unordered_map<PyCFunction, const FuncRecord*>;
    return *map;
}
}  // namespace

void register_record(PyCFunction entry, const FuncRecord* record) { records()[entry] = record; }

const FuncRecord* record_of(PyCFunction entry) {
    auto it = records().find(entry);
    return it == records().end() ? nullptr : it->second;
}

}  // namespace kivo::rt

namespace {

struct Descriptor {
    PyObject_HEAD
    VectorcallFunc vectorcall;   // CPython's fast call
    const kivo::rt::FuncRecord* record;   // the flat function's dispatch data, when it has one
    PyObject* function;   // the flat built-in
    PyObject* name;       // __name__: the member's name
    PyObject* doc;        // __doc__: the flat function's docstring
    PyCFunction cfunc;    // the flat function's C function ...
    PyObject* fself;      // ... its own self (kept alive by the function)
    int flags;            // ... and its calling convention
};

struct Bound {
    PyObject_HEAD
    PyObject* descriptor;   // a Method or Constructor
    PyObject* self;
};

PyTypeObject* bound_type();

// Calls the flat function with the argument tuple it would get if called directly. Anything its
// calling convention cannot take (keywords, a wrong count) goes through an ordinary call of the
// function, so the error is the function's own.
PyObject* call_flat(Descriptor* d, PyObject* args, PyObject* kwargs) {
    if (!kwargs || PyDict_Size(kwargs) == 0) {
        switch (d->flags) {
            case METH_VARARGS:
                return d->cfunc(d->fself, args);
            case METH_O:
                if (PyTuple_Size(args) == 1) return d->cfunc(d->fself, PyTuple_GetItem(args, 0));
                break;
            case METH_NOARGS:
                if (PyTuple_Size(args) == 0) return d->cfunc(d->fself, nullptr);
                break;
        }
    }
    return PyObject_Call(d->function, args, kwargs);
}

PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return call_flat(reinterpret_cast<Descriptor*>(self), args, kwargs);
}

// __init__(instance, *args): new_<Class>(*args), attached to the instance.
PyObject* constructor_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    auto* d = reinterpret_cast<Descriptor*>(self);
    Py_ssize_t n = PyTuple_Size(args);
    if (n < 1) {
        PyErr_SetString(PyExc_TypeError, "descriptor '__init__' needs an argument");
        return nullptr;
    }
    Ref rest(PyTuple_GetSlice(args, 1, n));
    if (!rest) return nullptr;
    Ref made(call_flat(d, rest.get(), kwargs));
    if (!made || kivo::rt::attach_this(PyTuple_GetItem(args, 0), made.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* cleared(PyObject* self);

// The fast calls: the arguments go to the dispatcher as they are, with no tuple. Anything else (a
// count the flat function's calling convention refuses, keywords, a function without a record)
// takes the ordinary call, so the error is the function's own.
PyObject* call_items(Descriptor* d, PyObject* const* args, Py_ssize_t n, PyObject* kwnames, Py_ssize_t first) {
    bool plain = !kwnames || PyTuple_Size(kwnames) == 0;
    if (plain && d->record && d->function) {
        if (d->flags == METH_VARARGS || (d->flags == METH_O && n == 1) || (d->flags == METH_NOARGS && n == 0))
            return d->record->typed ? d->record->typed(*d->record, args, n) : kivo::rt::dispatch(*d->record, args, n);
    }
    Ref tuple(PyTuple_New(n));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SetItem(tuple.get(), i, args[i]);
    }
    Ref kwargs;
    if (!plain) {
        kwargs.reset(PyDict_New());
        Py_ssize_t nk = kwnames ? PyTuple_Size(kwnames) : 0;
        for (Py_ssize_t i = 0; kwargs && i < nk; ++i)
            if (PyDict_SetItem(kwargs.get(), PyTuple_GetItem(kwnames, i), args[n + i]) < 0) kwargs.reset();
        if (!kwargs) return nullptr;
    }
    (void)first;
    return d->function ? call_flat(d, tuple.get(), kwargs.get()) : cleared(reinterpret_cast<PyObject*>(d));
}

PyObject* method_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    auto n = static_cast<Py_ssize_t>(nargsf & ~kVectorcallArgumentsOffset);
    return call_items(reinterpret_cast<Descriptor*>(self), args, n, kwnames, 0);
}

PyObject* constructor_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    auto n = static_cast<Py_ssize_t>(nargsf & ~kVectorcallArgumentsOffset);
    if (n < 1) {
        PyErr_SetString(PyExc_TypeError, "descriptor '__init__' needs an argument");
        return nullptr;
    }
    Ref made(call_items(reinterpret_cast<Descriptor*>(self), args + 1, n - 1, kwnames, 1));
    if (!made || kivo::rt::attach_this(args[0], made.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Read from the class: the descriptor itself. Read from an instance: a bound callable.
PyObject* descriptor_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj) {
        Py_INCREF(self);
        return self;
    }
    PyTypeObject* type = bound_type();
    auto* b = type ? PyObject_GC_New(Bound, type) : nullptr;
    if (!b) return nullptr;
    Py_INCREF(self);
    b->descriptor = self;
    Py_INCREF(obj);
    b->self = obj;
    PyObject_GC_Track(b);
    return reinterpret_cast<PyObject*>(b);
}

// Method(function, name) / Constructor(function): function is a built-in taking a tuple, one object
// or nothing.
PyObject* make_descriptor(PyTypeObject* type, PyObject* function, PyObject* name) {
    if (!PyCFunction_Check(function)) {
        PyErr_SetString(PyExc_TypeError, "the function of a method descriptor must be a built-in function");
        return nullptr;
    }
    int flags = PyCFunction_GetFlags(function) & ~METH_COEXIST;
    if (flags != METH_VARARGS && flags != METH_O && flags != METH_NOARGS) {
        PyErr_SetString(PyExc_TypeError,
                        "the function of a method descriptor must take a tuple, one object or nothing");
        return nullptr;
    }
    Ref doc(PyObject_GetAttrString(function, "__doc__"));
    if (!doc) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    auto* d = reinterpret_cast<Descriptor*>(alloc(type, 0));
    if (!d) return nullptr;
    Py_INCREF(function);
    d->function = function;
    Py_INCREF(name);
    d->name = name;
    d->doc = doc.release();
    d->cfunc = PyCFunction_GetFunction(function);
    d->fself = PyCFunction_GetSelf(function);
    d->flags = flags;
    d->record = kivo::rt::record_of(d->cfunc);
    d->vectorcall = nullptr;
    return reinterpret_cast<PyObject*>(d);
}

bool no_keywords(const char* what, PyObject* kwargs) {
    if (kwargs && PyDict_Size(kwargs) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", what);
        return false;
    }
    return true;
}

PyObject* method_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject *function, *name;
    if (!no_keywords("Method", kwargs) || !PyArg_ParseTuple(args, "OU:Method", &function, &name)) return nullptr;
    PyObject* d = make_descriptor(type, function, name);
    if (d) reinterpret_cast<Descriptor*>(d)->vectorcall = method_vectorcall;
    return d;
}

PyObject* constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* function;
    if (!no_keywords("Constructor", kwargs) || !PyArg_ParseTuple(args, "O:Constructor", &function)) return nullptr;
    Ref name(PyUnicode_InternFromString("__init__"));
    if (!name) return nullptr;
    PyObject* d = make_descriptor(type, function, name.get());
    if (d) reinterpret_cast<Descriptor*>(d)->vectorcall = constructor_vectorcall;
    return d;
}

PyObject* descriptor_repr(PyObject* self) {
    auto* d = reinterpret_cast<Descriptor*>(self);
    Ref flat(PyObject_GetAttrString(d->function, "__name__"));
    if (!flat) return nullptr;
    return PyUnicode_FromFormat("<method '%U' of flat function '%U'>", d->name, flat.get());
}

int descriptor_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* d = reinterpret_cast<Descriptor*>(self);
    Py_VISIT(d->function);
    Py_VISIT(d->name);
    Py_VISIT(d->doc);
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return 0;
}

int descriptor_clear(PyObject* self) {
    auto* d = reinterpret_cast<Descriptor*>(self);
    d->cfunc = nullptr;
    d->fself = nullptr;
    Py_CLEAR(d->function);
    Py_CLEAR(d->name);
    Py_CLEAR(d->doc);
    return 0;
}

// A cleared descriptor (only ever seen by code run from a collection of garbage) calls nothing.
PyObject* cleared(PyObject* self) {
    PyErr_SetString(PyExc_RuntimeError, "method descriptor used after it was cleared");
    return nullptr;
}

PyObject* checked_method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!reinterpret_cast<Descriptor*>(self)->function) return cleared(self);
    return method_call(self, args, kwargs);
}

PyObject* checked_constructor_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!reinterpret_cast<Descriptor*>(self)->function) return cleared(self);
    return constructor_call(self, args, kwargs);
}

void gc_dealloc(PyObject* self, inquiry clear) {
    PyObject_GC_UnTrack(self);
    clear(self);
    PyTypeObject* tp = Py_TYPE(self);
    auto tfree = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    tfree(self);
    Py_DECREF(tp);
}

void descriptor_dealloc(PyObject* self) { gc_dealloc(self, descriptor_clear); }

// Whether the running interpreter calls types through their vectorcall offset (3.9 and later).
bool has_vectorcall() {
    PyObject* version = PySys_GetObject("version_info");   // borrowed
    Ref minor(version ? PySequence_GetItem(version, 1) : nullptr);
    long m = minor ? PyLong_AsLong(minor.get()) : 0;
    if (PyErr_Occurred()) PyErr_Clear();
    return m >= 9;
}

PyMemberDef descriptor_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Descriptor, vectorcall), READONLY, nullptr},
    {"__name__", T_OBJECT, offsetof(Descriptor, name), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(Descriptor, doc), READONLY, nullptr},
    {"__wrapped__", T_OBJECT, offsetof(Descriptor, function), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject* make_descriptor_type(const char* name, newfunc make, ternaryfunc call) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(make)},
        {Py_tp_call, reinterpret_cast<void*>(call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(descriptor_get)},
        {Py_tp_repr, reinterpret_cast<void*>(descriptor_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(descriptor_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(descriptor_clear)},
        {Py_tp_members, descriptor_members},
        {0, nullptr},
    };
    unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR;
    if (has_vectorcall())
        flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    else
        slots[7].pfunc = descriptor_members + 1;   // no vectorcall offset for an older interpreter
    PyType_Spec spec = {name, sizeof(Descriptor), 0, flags, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyTypeObject* method_type() {
    static PyTypeObject* type = make_descriptor_type("kivo_python64.Method", method_new, checked_method_call);
    return type;
}

PyTypeObject* constructor_type() {
    static PyTypeObject* type =
        make_descriptor_type("kivo_python64.Constructor", constructor_new, checked_constructor_call);
    return type;
}

// ---- bound descriptors ----

PyObject* bound_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    auto* b = reinterpret_cast<Bound*>(self);
    auto* d = reinterpret_cast<Descriptor*>(b->descriptor);
    Py_ssize_t n = PyTuple_Size(args);
    // obj.Method() of a flat function taking self only: no tuple at all.
    if (n == 0 && d->function && d->flags == METH_O && Py_TYPE(b->descriptor) == method_type() &&
        (!kwargs || PyDict_Size(kwargs) == 0))
        return d->cfunc(d->fself, b->self);
    Ref full(PyTuple_New(n + 1));
    if (!full) return nullptr;
    Py_INCREF(b->self);
    PyTuple_SetItem(full.get(), 0, b->self);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GetItem(args, i);
        Py_INCREF(item);
        PyTuple_SetItem(full.get(), i + 1, item);
    }
    return PyObject_Call(b->descriptor, full.get(), kwargs);
}

PyObject* bound_repr(PyObject* self) {
    auto* b = reinterpret_cast<Bound*>(self);
    Ref name(PyObject_GetAttrString(b->descriptor, "__name__"));
    if (!name) return nullptr;
    return PyUnicode_FromFormat("<bound method %U of %R>", name.get(), b->self);
}

PyObject* bound_attribute(PyObject* self, void* which) {
    return PyObject_GetAttrString(reinterpret_cast<Bound*>(self)->descriptor, static_cast<const char*>(which));
}

int bound_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* b = reinterpret_cast<Bound*>(self);
    Py_VISIT(b->descriptor);
    Py_VISIT(b->self);
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return 0;
}

int bound_clear(PyObject* self) {
    auto* b = reinterpret_cast<Bound*>(self);
    Py_CLEAR(b->descriptor);
    Py_CLEAR(b->self);
    return 0;
}

PyObject* checked_bound_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!reinterpret_cast<Bound*>(self)->descriptor) return cleared(self);
    return bound_call(self, args, kwargs);
}

void bound_dealloc(PyObject* self) { gc_dealloc(self, bound_clear); }

PyMemberDef bound_members[] = {
    {"__self__", T_OBJECT, offsetof(Bound, self), READONLY, nullptr},
    {"__func__", T_OBJECT, offsetof(Bound, descriptor), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef bound_getset[] = {
    {"__name__", bound_attribute, nullptr, nullptr, const_cast<char*>("__name__")},
    {"__doc__", bound_attribute, nullptr, nullptr, const_cast<char*>("__doc__")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* make_bound_type() {
    PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void*>(checked_bound_call)},
        {Py_tp_repr, reinterpret_cast<void*>(bound_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(bound_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(bound_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(bound_clear)},
        {Py_tp_members, bound_members},
        {Py_tp_getset, bound_getset},
        {0, nullptr},
    };
    PyType_Spec spec = {"kivo_python64.BoundMethod", sizeof(Bound), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                        slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyTypeObject* bound_type() {
    static PyTypeObject* type = make_bound_type();
    return type;
}

}  // namespace

namespace kivo::rt {

int install_companion_support(PyObject* module) {
    const struct {
        const char* name;
        PyTypeObject* type;
    } entries[] = {
        {"__kivo_object__", instance_type()},
        {"__kivo_method__", method_type()},
        {"__kivo_constructor__", constructor_type()},
    };
    if (!bound_type()) return -1;
    for (const auto& e : entries) {
        if (!e.type) return -1;
        if (PyObject_SetAttrString(module, e.name, reinterpret_cast<PyObject*>(e.type)) < 0) return -1;
    }
    return 0;
}

}  // namespace kivo::rt
