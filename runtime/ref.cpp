#include "ref.h"

namespace kivo::rt {

namespace {

template <PyObject* (*New)(Py_ssize_t), int (*Set)(PyObject*, Py_ssize_t, PyObject*)>
PyObject* sequence_from(std::span<Ref> items) {
    for (const Ref& item : items)
        if (!item) return nullptr;
    PyObject* sequence = New(static_cast<Py_ssize_t>(items.size()));
    if (!sequence) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) Set(sequence, static_cast<Py_ssize_t>(i), items[i].release());
    return sequence;
}

}  // namespace

PyObject* tuple_from(std::span<Ref> items) { return sequence_from<PyTuple_New, PyTuple_SetItem>(items); }
PyObject* list_from(std::span<Ref> items) { return sequence_from<PyList_New, PyList_SetItem>(items); }

}  // namespace kivo::rt
