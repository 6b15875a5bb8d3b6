#include "director.h"

#include <atomic>
#include <cstdio>

namespace kivo::rt {

namespace {

std::atomic<bool> g_finalizing{false};

PyObject* on_exit(PyObject*, PyObject*) {
    g_finalizing = true;
    Py_RETURN_NONE;
}

PyMethodDef g_exit_def = {"_kivo_interpreter_exit", on_exit, METH_NOARGS, nullptr};

void late_exit() { g_finalizing = true; }

std::string text_of(PyObject* o) {
    PyObject* s = o ? PyObject_Str(o) : nullptr;
    PyObject* b = s ? PyUnicode_AsEncodedString(s, "utf-8", "backslashreplace") : nullptr;
    std::string out = b ? PyBytes_AsString(b) : "";
    Py_XDECREF(b);
    Py_XDECREF(s);
    if (PyErr_Occurred()) PyErr_Clear();
    return out;
}

}  // namespace

bool interpreter_finalizing() { return g_finalizing.load(std::memory_order_relaxed); }

bool install_exit_hook() {
    static bool installed = false;
    if (installed) return true;
    // atexit runs its functions when finalisation begins, before threads and modules are torn down;
    // Py_AtExit is the last resort for an interpreter that never runs them.
    PyObject* atexit = PyImport_ImportModule("atexit");
    PyObject* hook = atexit ? PyCFunction_New(&g_exit_def, nullptr) : nullptr;
    PyObject* res = hook ? PyObject_CallMethod(atexit, "register", "O", hook) : nullptr;
    Py_XDECREF(res);
    Py_XDECREF(hook);
    Py_XDECREF(atexit);
    if (!res) return false;
    Py_AtExit(late_exit);
    installed = true;
    return true;
}

MethodCache::MethodCache(std::initializer_list<const char*> names) : names_(names) {}

PyObject* MethodCache::lookup(PyObject* self, int slot) {
    PyTypeObject* type = Py_TYPE(self);
    for (PerClass& c : classes_)
        if (c.type == type) return c.methods[slot];
    if (interned_.empty())
        for (const char* n : names_) interned_.push_back(PyUnicode_InternFromString(n));
    PerClass entry{type, {}};
    Py_INCREF(type);
    // A method counts as overridden when the class defines it in Python: a plain function found on
    // the class. The companion layer's own methods are runtime descriptors, not functions.
    for (PyObject* name : interned_) {
        PyObject* found = name ? PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name) : nullptr;
        if (!found) PyErr_Clear();
        if (found && !PyObject_HasAttrString(found, "__code__")) Py_CLEAR(found);
        entry.methods.push_back(found);
    }
    classes_.push_back(std::move(entry));
    return classes_.back().methods[slot];
}

PyObject* call_unbound(PyObject* func, PyObject* self, PyObject* const* args, int n) {
    PyObject* tuple = PyTuple_New(n + 1);
    if (!tuple) return nullptr;
    Py_INCREF(self);
    PyTuple_SetItem(tuple, 0, self);
    for (int i = 0; i < n; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SetItem(tuple, i + 1, args[i]);
    }
    PyObject* result = PyObject_Call(func, tuple, nullptr);
    Py_DECREF(tuple);
    return result;
}

void director_call_failed(const char* method) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* name = type ? PyObject_GetAttrString(type, "__name__") : nullptr;
    std::string line = std::string("In method '") + method + "': " + text_of(name) + text_of(value) + "\n";
    Py_XDECREF(name);
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    PyErr_Restore(type, value, tb);
    throw Swig::DirectorMethodException(line.substr(0, line.size() - 1));
}

void director_pure_virtual(const char* method) {
    throw Swig::DirectorPureVirtualException(std::string("Attempted to invoke pure virtual method ") + method);
}

void director_unavailable(const char* method) {
    throw Swig::DirectorMethodException(std::string("In method '") + method + "': no Python object to call");
}

namespace {

template <class T, int (*As)(PyObject*, T*)>
T converted(PyObject* o, const char* decl, const char* method) {
    T v{};
    if (As(o, &v) < 0)
        throw Swig::DirectorTypeMismatchException(std::string("in output value of type '") + decl + "' of " + method);
    return v;
}

}  // namespace

template <>
int32_t from_python<int32_t>(PyObject* o, const char* method) {
    return converted<int32_t, SwigAs_Int32>(o, "int32_t", method);
}
template <>
uint32_t from_python<uint32_t>(PyObject* o, const char* method) {
    return converted<uint32_t, SwigAs_UInt32>(o, "uint32_t", method);
}
template <>
bool from_python<bool>(PyObject* o, const char* method) {
    return converted<bool, SwigAs_Bool>(o, "bool", method);
}

}  // namespace kivo::rt

namespace Swig {

Director::Director(PyObject* self) : weak_(PyWeakref_NewRef(self, nullptr)), strong_(nullptr) {
    if (!weak_) PyErr_Clear();   // an object without weak references: its death cannot be seen
}

Director::~Director() {
    if (!weak_ && !strong_) return;
    if (kivo::rt::interpreter_finalizing() && !Py_IsInitialized()) return;
    kivo::rt::GilHold gil;
    Py_CLEAR(weak_);
    Py_CLEAR(strong_);
}

PyObject* Director::swig_get_self() const {
    if (strong_) return strong_;
    if (!weak_) return nullptr;
    PyObject* self = PyWeakref_GetObject(weak_);   // borrowed
    return self == Py_None ? nullptr : self;
}

void Director::swig_disown() {
    if (strong_) return;
    PyObject* self = swig_get_self();
    Py_XINCREF(self);
    strong_ = self;
}

}  // namespace Swig
