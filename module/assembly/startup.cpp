#include "startup.h"

#include "attached.h"

#include "classes.h"
#include "director.h"
#include "proxy.h"

#include <string>

namespace kivo::module {

namespace {

struct Facts {
    std::vector<std::string> statics, fields;
};

std::vector<Facts>& facts() {
    static std::vector<Facts> all;
    return all;
}

// The member name of a row: the flat name without "<Class>_" (and without "_get").
std::string member_name(const char* flat, const char* cls, const char* suffix = "") {
    std::string f = flat;
    std::string prefix = std::string(cls) + "_";
    if (f.rfind(prefix, 0) == 0) f = f.substr(prefix.size());
    std::string s = suffix;
    if (!s.empty() && f.size() > s.size() && f.compare(f.size() - s.size(), s.size(), s) == 0)
        f = f.substr(0, f.size() - s.size());
    return f;
}

PyObject* str_tuple(const std::vector<std::string>& items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    for (std::size_t i = 0; t && i < items.size(); ++i) {
        PyObject* s = PyUnicode_FromString(items[i].c_str());
        if (!s) {
            Py_CLEAR(t);
            break;
        }
        PyTuple_SetItem(t, static_cast<Py_ssize_t>(i), s);
    }
    return t;
}

}  // namespace

std::vector<PyMethodDef>& method_rows() {
    static std::vector<PyMethodDef> rows = [] {
        std::vector<PyMethodDef> defs;
        for (const ClassRow& row : class_table()) {
            Facts f;
            if (row.entries) {
                Entries entries = row.entries();
                for (const kivo::rt::Entry& e : entries) {
                    if (e.role == kivo::rt::Role::Static) f.statics.push_back(member_name(e.name, row.name));
                    if (e.role == kivo::rt::Role::FieldGet) f.fields.push_back(member_name(e.name, row.name, "_get"));
                }
                kivo::rt::append_method_defs(defs, entries);
            }
            facts().push_back(f);
        }
        Entries functions = free_function_entries();
        kivo::rt::append_method_defs(defs, functions);
        defs.push_back({nullptr, nullptr, 0, nullptr});
        return defs;
    }();
    return rows;
}

PyObject* class_facts() {
    const auto& table = class_table();
    method_rows();
    std::vector<PyObject*> items;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const ClassRow& row = table[i];
        if (!row.entries) continue;
        std::vector<std::string> bases;
        for (const BaseRow& b : row.bases)
            for (const ClassRow& other : table)
                if (other.type == b.base) bases.push_back(other.name);
        PyObject* item = Py_BuildValue("(sNNNO)", row.name, str_tuple(bases), str_tuple(facts()[i].statics),
                                       str_tuple(facts()[i].fields), row.director ? Py_True : Py_False);
        if (!item) {
            for (PyObject* o : items) Py_DECREF(o);
            return nullptr;
        }
        items.push_back(item);
    }
    PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (out)
            PyTuple_SetItem(out, static_cast<Py_ssize_t>(i), items[i]);
        else
            Py_DECREF(items[i]);
    }
    return out;
}

PyObject* start(PyModuleDef& def, std::vector<PyMethodDef>& rows) {
    kivo::rt::ensure_globals();
    SwigPyPacked_Type();
    if (!SwigPyObject_Type()) return nullptr;
    def.m_methods = rows.data();
    PyObject* m = PyModule_Create2(&def, 3);
    if (!m) return nullptr;
    SwigModuleInfo& block = module_block();
    SwigRuntime_InitTypeTable(&block);
    kivo::rt::set_delete_guard(&registered_with_sdk);   // nothing the SDK uses is deleted under it
    if (!kivo::rt::install_exit_hook()) Py_CLEAR(m);   // callbacks stop touching Python at exit
    return m;
}

}  // namespace kivo::module
