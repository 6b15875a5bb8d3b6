#include "caches.h"
#include "director.h"
#include "ref.h"

#include <algorithm>
#include <vector>

namespace kivo::rt {

namespace {

std::vector<void (*)()>& drops() {
    static auto* list = new std::vector<void (*)()>;   // outlives every static object
    return *list;
}

void run_drops() {
    for (void (*drop)() : drops()) drop();
}

// gc.callbacks calls it with (phase, info) before and after each collection.
PyObject* on_collection(PyObject*, PyObject* args) {
    PyObject* phase = PyTuple_Check(args) && PyTuple_Size(args) > 0 ? PyTuple_GetItem(args, 0) : nullptr;
    if (phase && PyUnicode_Check(phase) && PyUnicode_CompareWithASCIIString(phase, "start") == 0) run_drops();
    Py_RETURN_NONE;
}

PyMethodDef g_collection_def = {"_kivo_collection", on_collection, METH_VARARGS, nullptr};

bool hook_collections() {
    Ref gc(PyImport_ImportModule("gc"));
    Ref callbacks(gc ? PyObject_GetAttrString(gc.get(), "callbacks") : nullptr);
    Ref hook(callbacks ? PyCFunction_New(&g_collection_def, nullptr) : nullptr);
    bool ok = hook && PyList_Check(callbacks.get()) && PyList_Append(callbacks.get(), hook.get()) == 0;
    if (!ok && callbacks && !PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "gc.callbacks is not a list");
    return ok;
}

}  // namespace

bool drop_at_collection(void (*drop)()) {
    auto& list = drops();
    if (std::find(list.begin(), list.end(), drop) != list.end()) return true;
    if (list.empty()) {
        if (!hook_collections()) return false;
        add_exit_action(run_drops);
    }
    list.push_back(drop);
    return true;
}

}  // namespace kivo::rt
