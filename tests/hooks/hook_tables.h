// Further tables of the test module's functions, kept in their own files: each file registers its
// table with a static HookTable, and the module takes every registered row at start-up.
#pragma once

#include "python.h"

#include <vector>

namespace kivo::hooks {

std::vector<const PyMethodDef*>& extra_tables();

// static kivo::hooks::HookTable registered{kRows};   (a table ended by a row of nulls)
struct HookTable {
    explicit HookTable(const PyMethodDef* rows) { extra_tables().push_back(rows); }
};

}  // namespace kivo::hooks
