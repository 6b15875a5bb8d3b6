// This module's type descriptors and the binding of SDK classes to them.
#pragma once

#include "registry.h"
#include "type_table.h"

#include <string>
#include <vector>

namespace kivo::module {

enum class TypeId : int {
#define KIVO_TYPE_ID(id, name, decl) id,
    KIVO_TYPE_TABLE(KIVO_TYPE_ID)
#undef KIVO_TYPE_ID
    Count
};

// The module block, built on first use from the type table and its cast list.
SwigModuleInfo& module_block();

// The descriptors in use (shared with other modules once the registry is initialised), ended by null.
extern SwigTypeInfo* g_types[static_cast<int>(TypeId::Count) + 1];

inline SwigTypeInfo* type(TypeId id) { return g_types[static_cast<int>(id)]; }

// The classes bound to their descriptors (KIVO_BIND_CLASS notes each while the library loads).
bool note_bound(TypeId id);
const std::vector<TypeId>& bound_classes();

// What is wrong with the tables a new class is entered in: the type table out of order (its lookup is
// a binary search), a wrapped class without a binding, a bound class without a row. Empty when all is
// well; checked at start-up in debug builds.
std::vector<std::string> table_problems();

}  // namespace kivo::module
