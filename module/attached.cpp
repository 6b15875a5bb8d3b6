#include "attached.h"

#include <map>
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

namespace {
std::map<const void*, std::map<const void*, PyObject*>>& registered() {
    static auto* sinks = new std::map<const void*, std::map<const void*, PyObject*>>;   // lives as long as the process
    return *sinks;
}
}  // namespace

void keep_registered(const void* owner, const void* sink, PyObject* object) {
    if (!owner || !sink || !object) return;
    Py_INCREF(object);
    PyObject*& slot = registered()[owner][sink];
    PyObject* old = slot;
    slot = object;
    Py_XDECREF(old);
}

PyObject* take_registered(const void* owner, const void* sink) {
    auto it = registered().find(owner);
    if (it == registered().end()) return nullptr;
    auto found = it->second.find(sink);
    if (found == it->second.end()) return nullptr;
    PyObject* object = found->second;
    it->second.erase(found);
    if (it->second.empty()) registered().erase(it);
    return object;
}

void drop_registered(const void* owner, const void* sink) { Py_XDECREF(take_registered(owner, sink)); }

void forget_registered(void* owner) {
    auto it = registered().find(owner);
    if (it == registered().end()) return;
    std::map<const void*, PyObject*> sinks = std::move(it->second);
    registered().erase(it);
    for (auto& [sink, object] : sinks) Py_DECREF(object);
}

void kept_registered(kivo::rt::CallFrame& f, bool ok) {
    if (ok) keep_registered(f.slots[0].as<void*>(), f.slots[1].as<void*>(), f.item_at(2));
}

void dropped_registered(kivo::rt::CallFrame& f, bool ok) {
    if (ok) drop_registered(f.slots[0].as<void*>(), f.slots[1].as<void*>());
}

}  // namespace kivo::module
