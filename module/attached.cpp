#include "attached.h"

#include <unordered_map>

namespace kivo::module {

namespace {

std::unordered_map<const void*, PyObject*>& table() {
    static auto* arrays = new std::unordered_map<const void*, PyObject*>;   // lives as long as the process
    return *arrays;
}

}  // namespace

void keep_attached(const void* object, PyObject* array) {
    if (!array) return;
    Py_INCREF(array);
    PyObject*& slot = table()[object];
    PyObject* old = slot;
    slot = array;
    Py_XDECREF(old);
}

PyObject* take_attached(const void* object) {
    auto it = table().find(object);
    if (it == table().end()) return nullptr;
    PyObject* array = it->second;
    table().erase(it);
    return array;
}

void forget_attached(void* object) { Py_XDECREF(take_attached(object)); }

}  // namespace kivo::module
