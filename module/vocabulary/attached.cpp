#include "attached.h"

#include "numpy_input.h"
#include "params.h"

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
bool holds(PyObject* array, const void* address, uint64_t& available) {
    if (!kivo::rt::is_numpy_array(array)) return false;
    auto* start = static_cast<const char*>(kivo::rt::array_data(array));
    const auto* at = static_cast<const char*>(address);
    const auto length = static_cast<uint64_t>(kivo::rt::array_nbytes(array));
    if (!start || at < start || static_cast<uint64_t>(at - start) >= length) return false;
    available = length - static_cast<uint64_t>(at - start);
    return true;
}
}  // namespace

PyObject* attached_memory_at(const void* address, uint64_t& available) {
    for (const auto& [object, held] : table()) {
        // A container keeps its parts' arrays as {part index: array}.
        if (PyDict_Check(held)) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(held, &pos, &key, &value)) {
                if (holds(value, address, available)) {
                    Py_INCREF(value);
                    return value;
                }
            }
        } else if (holds(held, address, available)) {
            Py_INCREF(held);
            return held;
        }
    }
    return nullptr;
}

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

const char* registered_with_sdk(const void* object) {
    for (const auto& [owner, sinks] : registered())
        if (sinks.count(object)) return "the SDK still uses it (registered, queued or opened on); take it back first";
    return nullptr;
}

void registered_at(kivo::rt::CallFrame& f, int position, bool ok) {
    if (ok) keep_registered(f.self<void>(), f.arg<void*>(position), f.item_at(position));
}

void unregistered_at(kivo::rt::CallFrame& f, int position, bool ok) {
    if (ok) drop_registered(f.self<void>(), f.arg<void*>(position));
}

void attached_at(kivo::rt::CallFrame& f, int position, bool ok) {
    if (ok) keep_attached(f.self<void>(), f.arg<kivo::rt::ArraySlot>(position).array);
}

}  // namespace kivo::module
