#include "method_table.h"

#include "bindings.h"

#include <deque>

namespace kivo::module {

namespace {

// Every class's entries, in the order of the table.
Entries (*const kClasses[])() = {
    result_entries,
    string_entries,
};

}  // namespace

PyMethodDef* method_table() {
    static std::deque<std::string> docs;   // docstrings live as long as the table
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> defs;
        for (auto entries : kClasses) {
            for (const kivo::rt::Entry& e : entries()) {
                const char* doc = nullptr;
                if (e.doc) doc = docs.emplace_back(e.doc(e.names)).c_str();
                defs.push_back({e.name, e.function, e.flags, doc});
            }
        }
        defs.push_back({nullptr, nullptr, 0, nullptr});
        return defs;
    }();
    return table.data();
}

}  // namespace kivo::module
