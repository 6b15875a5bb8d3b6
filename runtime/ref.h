// An owned reference to a Python object, given back when its handle goes: what a function made is
// released on every way out without a Py_DECREF on each. And the one builder of tuples and lists
// from such references.
#pragma once

#include "python.h"

#include <span>
#include <utility>
#include <vector>

namespace kivo::rt {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (or null, for a call that failed).
    explicit Ref(PyObject* owned) : object_(owned) {}
    // A new reference to an object borrowed from elsewhere.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference on: to a function that steals it, or to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset(PyObject* owned = nullptr) { Py_XDECREF(std::exchange(object_, owned)); }

private:
    PyObject* object_ = nullptr;
};

// A tuple (or a list) of the items in order, each reference handed to it, also when it fails: null
// when an item is null (its error stands) or the sequence cannot be made.
PyObject* tuple_from(std::span<Ref> items);
PyObject* list_from(std::span<Ref> items);

template <class... R>
PyObject* tuple_of(R&&... items) {
    Ref all[] = {Ref(std::forward<R>(items))...};
    return tuple_from(all);
}

// A tuple of make(item) (a new reference) for each of items; null when one of them fails.
template <class Items, class Make>
PyObject* tuple_over(const Items& items, Make&& make) {
    std::vector<Ref> made;
    for (const auto& item : items)
        if (!made.emplace_back(make(item))) return nullptr;
    return tuple_from(made);
}

}  // namespace kivo::rt
