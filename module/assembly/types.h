// This module's type descriptors and the binding of SDK classes to them.
#pragma once

#include "registry.h"
#include "type_table.h"

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

}  // namespace kivo::module
