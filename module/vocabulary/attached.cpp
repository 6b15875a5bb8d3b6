#include "attached.h"

#include "numpy_input.h"
#include "params.h"

#include "TqLiveObjects.h"

#include <unordered_map>
#include <vector>

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
struct Part {
    unsigned slot;
    void* part;
};
std::unordered_map<const void*, std::vector<Part>>& parts() {
    static auto* of = new std::unordered_map<const void*, std::vector<Part>>;   // lives as long as the process
    return *of;
}
}  // namespace

void note_part(const void* object, unsigned slot, void* part) {
    if (!part) return;
    auto& list = parts()[object];
    for (Part& p : list)
        if (p.slot == slot) {
            p.part = part;
            return;
        }
    list.push_back({slot, part});
}

void* part_in(const void* object, unsigned slot) {
    auto it = parts().find(object);
    if (it != parts().end())
        for (const Part& p : it->second)
            if (p.slot == slot) return p.part;
    return nullptr;
}

void forget_with_parts(void* object) {
    forget_attached(object);
    auto it = parts().find(object);
    if (it == parts().end()) return;
    std::vector<Part> list = std::move(it->second);   // out of the table first: a release may run Python
    parts().erase(it);
    for (const Part& p : list) forget_attached(p.part);
}

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

// One object kept for a holder: the Python object, the native pointers that name it (the pointer the
// SDK holds, and the one its proxy carries when that differs: a base part of the object), under the
// key it is registered by (its pointer, or a slot of the holder that holds one object at a time).
struct Kept {
    const void* key;
    const void* names[2];
    PyObject* object;
};

struct Registry {
    std::unordered_map<const void*, std::vector<Kept>> by_holder;
    std::unordered_map<const void*, int> held;   // native pointer -> holders keeping it
};

Registry& registry() {
    static auto* kept = new Registry;   // lives as long as the process
    return *kept;
}

void count(const Kept& k, int delta) {
    auto& held = registry().held;
    for (const void* name : k.names) {
        if (!name) continue;
        auto it = held.try_emplace(name, 0).first;
        if ((it->second += delta) <= 0) held.erase(it);
    }
}

// The entry out of the holder's list (nothing is released).
bool take_entry(const void* holder, const void* key, Kept& out) {
    auto it = registry().by_holder.find(holder);
    if (it == registry().by_holder.end()) return false;
    auto& list = it->second;
    for (auto k = list.begin(); k != list.end(); ++k) {
        if (k->key != key) continue;
        out = *k;
        list.erase(k);
        if (list.empty()) registry().by_holder.erase(it);
        count(out, -1);
        return true;
    }
    return false;
}

void keep(const void* holder, const void* key, const void* sink, PyObject* object) {
    if (!holder || !sink || !object) return;
    Kept replaced{};
    const bool had = take_entry(holder, key, replaced);
    SwigPyObject* proxy = SwigPyObject_GetThis(object);
    const void* carried = proxy && proxy->ptr != sink ? proxy->ptr : nullptr;
    Kept k{key, {sink, carried}, object};
    Py_INCREF(object);
    registry().by_holder[holder].push_back(k);
    count(k, 1);
    if (had) Py_DECREF(replaced.object);
}

}  // namespace

void keep_registered(const void* owner, const void* sink, PyObject* object) { keep(owner, sink, sink, object); }

void keep_in_slot(const void* owner, const void* slot, const void* sink, PyObject* object) {
    if (sink)
        keep(owner, slot, sink, object);
    else
        drop_registered(owner, slot);
}

PyObject* take_registered(const void* owner, const void* key) {
    Kept k{};
    return take_entry(owner, key, k) ? k.object : nullptr;
}

void drop_registered(const void* owner, const void* key) { Py_XDECREF(take_registered(owner, key)); }

void forget_registered(void* owner) {
    auto it = registry().by_holder.find(owner);
    if (it == registry().by_holder.end()) return;
    std::vector<Kept> list = std::move(it->second);
    registry().by_holder.erase(it);
    for (const Kept& k : list) count(k, -1);
    for (const Kept& k : list) Py_DECREF(k.object);
}

const char* registered_with_sdk(const void* object) {
    const auto& held = registry().held;
    if (held.empty() || !held.count(object)) return nullptr;
    return "the SDK still uses it (registered, queued or opened on); take it back first";
}

void registered_at(kivo::rt::CallFrame& f, const void* holder, int position, bool ok) {
    if (ok) keep_registered(holder, f.arg<void*>(position), f.item_at(position));
}

void unregistered_at(kivo::rt::CallFrame& f, int position, bool ok) {
    if (ok) drop_registered(f.self<void>(), f.arg<void*>(position));
}

void attached_at(kivo::rt::CallFrame& f, int position, bool ok) {
    if (ok) keep_attached(f.self<void>(), f.arg<kivo::rt::ArraySlot>(position).array);
}

namespace {

void given_back(const void* object, bool deleted) {
    forget_registered(const_cast<void*>(object));
    if (deleted) forget_with_parts(const_cast<void*>(object));
}

void told(TqObjectsGone::News news, const void* const* objects, size_t count) {
    kivo::rt::objects_gone(objects, count, news == TqObjectsGone::News::kDeleted);
}

}  // namespace

const HeldTable kHeldTable{&keep_registered, &drop_registered};

void follow_sdk_releases() {
    kivo::rt::set_gone_handler(&given_back);
    TqObjectsGone::Listen(&told);
}

}  // namespace kivo::module
