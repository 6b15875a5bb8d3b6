#include "method_table.h"

#include "bindings.h"

namespace kivo::module {

namespace {

// Every class's entries, in the order of the table.
Entries (*const kClasses[])() = {
    result_entries,
    string_entries,
};

}  // namespace

PyMethodDef* method_table() {
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> defs;
        for (auto entries : kClasses) kivo::rt::append_method_defs(defs, entries());
        defs.push_back({nullptr, nullptr, 0, nullptr});
        return defs;
    }();
    return table.data();
}

}  // namespace kivo::module
