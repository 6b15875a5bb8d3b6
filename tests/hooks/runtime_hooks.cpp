// Probes of the runtime's owning reference handle and its builders of sequences: a sequence made of
// given items, with one item failing at a chosen place, so tests see that every reference taken is
// handed on or given back.
#include "convert.h"
#include "docs.h"
#include "hook_tables.h"
#include "ref.h"

#include <cstring>
#include <string>
#include <numeric>
#include <vector>

namespace {

using kivo::rt::Ref;

// A new reference to items[i], or null with ValueError("item <i> failed") when i is fail_at.
PyObject* probe_item(PyObject* items, Py_ssize_t i, Py_ssize_t fail_at) {
    if (i == fail_at) {
        PyErr_Format(PyExc_ValueError, "item %zd failed", i);
        return nullptr;
    }
    PyObject* item = PyTuple_GetItem(items, i);
    Py_XINCREF(item);
    return item;
}

// build_sequence(kind, items, fail_at): the items (a tuple) as kind builds them: "tuple" and "list"
// from references made first (tuple_from, list_from), "over" made one by one (tuple_over), "pair"
// the first two (tuple_of), "outputs" appended to the first as a call's outputs are
// (SwigRuntime_AppendOutput). The item at fail_at fails (-1: none).
PyObject* build_sequence(PyObject*, PyObject* args) {
    const char* kind;
    PyObject* items;
    Py_ssize_t fail_at;
    if (!PyArg_ParseTuple(args, "sO!n", &kind, &PyTuple_Type, &items, &fail_at)) return nullptr;
    const Py_ssize_t n = PyTuple_Size(items);
    auto item = [&](Py_ssize_t i) { return probe_item(items, i, fail_at); };
    if (std::strcmp(kind, "over") == 0) {
        std::vector<Py_ssize_t> places(static_cast<std::size_t>(n));
        std::iota(places.begin(), places.end(), 0);
        return kivo::rt::tuple_over(places, item);
    }
    if (std::strcmp(kind, "pair") == 0) {
        Ref first(item(0));
        return kivo::rt::tuple_of(std::move(first), item(1));
    }
    if (std::strcmp(kind, "outputs") == 0) {
        Ref result(item(0));
        for (Py_ssize_t i = 1; i < n && result; ++i)
            result.reset(SwigRuntime_AppendOutput(result.release(), item(i), 0));
        return result.release();
    }
    std::vector<Ref> made;
    for (Py_ssize_t i = 0; i < n; ++i) made.emplace_back(item(i));
    return std::strcmp(kind, "list") == 0 ? kivo::rt::list_from(made) : kivo::rt::tuple_from(made);
}

// doc_problems(names): what the check of the docstring tables finds when the rows are those named
// (a list of str).
PyObject* doc_problems(PyObject*, PyObject* names) {
    std::vector<std::string> texts;
    std::vector<const char*> rows;
    Py_ssize_t n = PyList_Check(names) ? PyList_Size(names) : -1;
    if (n < 0) return PyErr_Format(PyExc_TypeError, "a list of names is wanted");
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref bytes(PyUnicode_AsUTF8String(PyList_GetItem(names, i)));
        if (!bytes) return nullptr;
        texts.emplace_back(PyBytes_AsString(bytes.get()));
    }
    for (const std::string& t : texts) rows.push_back(t.c_str());
    return kivo::rt::tuple_over(kivo::rt::doc_problems(rows), [](const std::string& p) {
        return PyUnicode_FromString(p.c_str());
    });
}

const PyMethodDef kRows[] = {
    {"build_sequence", build_sequence, METH_VARARGS, nullptr},
    {"doc_problems", doc_problems, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
kivo::hooks::HookTable registered{kRows};

}  // namespace
