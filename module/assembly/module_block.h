// The module's block for the type registry: its descriptors with their cast lists, built from the
// type table and the class table; and the check of the tables a new class is entered in.
#pragma once

#include "python.h"
#include "registry.h"

#include <string>
#include <vector>

namespace kivo::module {

// The module block, built when the module's library is loaded.
SwigModuleInfo& module_block();

// What is wrong with the tables a new class is entered in: the type table out of order (its lookup is
// a binary search), a wrapped class without a binding, a bound class without a row, a docstring text
// for no row or given twice. Empty when all is well; checked at start-up in debug builds.
std::vector<std::string> table_problems();

}  // namespace kivo::module
