#include "startup.h"

#include "attached.h"
#include "caches.h"
#include "class_table.h"
#include "director.h"
#include "module_block.h"
#include "proxy.h"
#include "sdk_types.h"

#include <string>

namespace kivo::module {

namespace {

// What the companion builds a class from: each function of the class with its member name and its
// role in the class.
struct Member {
    std::string name;   // the member's name in the class ("GetSize", "__eq__", the field's name)
    std::string flat;   // the flat function
    const char* role;   // method, static, get, set, new, delete, disown, register, init
};

std::vector<std::vector<Member>>& facts() {
    static std::vector<std::vector<Member>> all;
    return all;
}

bool starts(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }
bool ends(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The member a row of class cls stands for: its name without "<Class>_" (and without "_get" or
// "_set" for a field), and its role.
Member member_of(const kivo::rt::Entry& e, const char* cls) {
    using kivo::rt::Role;
    std::string flat = e.name, c = cls, name = flat;
    if (starts(name, c + "_")) name = name.substr(c.size() + 1);
    const char* role = "method";
    if (starts(flat, "new_"))
        role = "new";
    else if (starts(flat, "delete_"))
        role = "delete";
    else if (starts(flat, "disown_"))
        role = "disown";
    else if (ends(flat, "_swigregister"))
        role = "register";
    else if (ends(flat, "_swiginit"))
        role = "init";
    else if (e.role == Role::Static)
        role = "static";
    else if (e.role == Role::FieldGet || e.role == Role::FieldSet) {
        role = e.role == Role::FieldGet ? "get" : "set";
        const std::string suffix = e.role == Role::FieldGet ? "_get" : "_set";
        if (ends(name, suffix)) name = name.substr(0, name.size() - suffix.size());
    }
    return Member{name, flat, role};
}

PyObject* str_tuple(const std::vector<std::string>& items) {
    return kivo::rt::tuple_over(items, [](const std::string& s) { return PyUnicode_FromString(s.c_str()); });
}

PyObject* members_tuple(const std::vector<Member>& members) {
    return kivo::rt::tuple_over(members, [](const Member& m) {
        return Py_BuildValue("(sss)", m.name.c_str(), m.flat.c_str(), m.role);
    });
}

}  // namespace

std::vector<PyMethodDef>& method_rows() {
    static std::vector<PyMethodDef> rows = [] {
        std::vector<PyMethodDef> defs;
        for (const ClassRow& row : class_table()) {
            std::vector<Member> members;
            if (row.entries) {
                Entries entries = row.entries();
                for (const kivo::rt::Entry& e : entries) members.push_back(member_of(e, row.name));
                kivo::rt::append_method_defs(defs, entries);
            }
            facts().push_back(std::move(members));
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
    std::vector<kivo::rt::Ref> items;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const ClassRow& row = table[i];
        if (!row.entries) continue;
        std::vector<std::string> bases;
        for (const BaseRow& b : row.bases)
            for (const ClassRow& other : table)
                if (other.type == b.base) bases.push_back(other.name);
        if (!items.emplace_back(Py_BuildValue("(sNNO)", row.name, str_tuple(bases), members_tuple(facts()[i]),
                                              row.director ? Py_True : Py_False)))
            return nullptr;
    }
    return kivo::rt::tuple_from(items);
}

PyObject* start(PyModuleDef& def, std::vector<PyMethodDef>& rows) {
    kivo::rt::ensure_globals();
    SwigPyPacked_Type();
    if (!SwigPyObject_Type()) return nullptr;
    def.m_methods = rows.data();
    kivo::rt::Ref m(PyModule_Create2(&def, 3));
    if (!m) return nullptr;
    SwigModuleInfo& block = module_block();
#ifndef NDEBUG
    // A class entered in one table and not the others fails the import of a debug build.
    if (std::vector<std::string> problems = table_problems(); !problems.empty()) {
        std::string text = "the module's tables disagree:";
        for (const std::string& p : problems) text += "\n  " + p;
        PyErr_SetString(PyExc_ImportError, text.c_str());
        return nullptr;
    }
#endif
    SwigRuntime_InitTypeTable(&block);
    kivo::rt::set_delete_guard(&registered_with_sdk);   // nothing the SDK uses is deleted under it
    if (!kivo::rt::install_exit_hook()) return nullptr;   // callbacks stop touching Python at exit
    if (!kivo::rt::drop_at_collection(drop_kept_names)) return nullptr;   // names kept for reuse
    return m.release();
}

}  // namespace kivo::module
