// Hand-written C-API functions of the same shapes as two module wrappers, as the benchmark's
// baseline: each checks its arguments, releases the GIL around the same SDK call and builds the
// same result, with nothing else.
#include "proxy.h"

#include "TqResult.h"

namespace {

PyTypeObject* g_proxy_type = nullptr;

PyObject* set_proxy_type(PyObject*, PyObject* type) {
    Py_XDECREF(reinterpret_cast<PyObject*>(g_proxy_type));
    Py_INCREF(type);
    g_proxy_type = reinterpret_cast<PyTypeObject*>(type);
    Py_RETURN_NONE;
}

TqResult* result_of(PyObject* o) {
    if (Py_TYPE(o) != g_proxy_type) {
        PyErr_SetString(PyExc_TypeError, "not a result");
        return nullptr;
    }
    return static_cast<TqResult*>(reinterpret_cast<SwigPyObject*>(o)->ptr);
}

// Like TqResult_IsOK: METH_O.
PyObject* is_ok(PyObject*, PyObject* o) {
    TqResult* r = result_of(o);
    if (!r) return nullptr;
    PyThreadState* state = PyEval_SaveThread();
    bool ok = r->IsOK();
    PyEval_RestoreThread(state);
    return PyBool_FromLong(ok);
}

// Like TqResult_SetCode: METH_VARARGS with two arguments.
PyObject* set_code(PyObject*, PyObject* args) {
    if (!PyTuple_Check(args) || PyTuple_Size(args) != 2) {
        PyErr_SetString(PyExc_TypeError, "two arguments");
        return nullptr;
    }
    TqResult* r = result_of(PyTuple_GetItem(args, 0));
    if (!r) return nullptr;
    unsigned long code = PyLong_AsUnsignedLong(PyTuple_GetItem(args, 1));
    if (PyErr_Occurred()) return nullptr;
    PyThreadState* state = PyEval_SaveThread();
    r->SetCode(static_cast<uint32_t>(code));
    PyEval_RestoreThread(state);
    Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"set_proxy_type", set_proxy_type, METH_O, nullptr},
    {"is_ok", is_ok, METH_O, nullptr},
    {"set_code", set_code, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {PyModuleDef_HEAD_INIT, "_kivo_bench", nullptr, -1, kMethods,
                            nullptr,               nullptr,       nullptr, nullptr};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kivo_bench() {
    return PyModule_Create2(&g_definition, 3);
}
