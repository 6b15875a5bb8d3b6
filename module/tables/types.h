// The module's type ids, one per row of the type table, with their descriptors once the registry
// holds them, and the note of each SDK class bound to its descriptor.
#pragma once

#include "registry.h"
#include "type_table.h"

#include <vector>

namespace kivo::module {

enum class TypeId : int {
#define KIVO_TYPE_ID(id, name, decl) id,
    KIVO_TYPE_TABLE(KIVO_TYPE_ID)
#undef KIVO_TYPE_ID
    Count
};

// The descriptors in use (shared with other modules once the registry is initialised), ended by null.
extern SwigTypeInfo* g_types[static_cast<int>(TypeId::Count) + 1];

inline SwigTypeInfo* type(TypeId id) { return g_types[static_cast<int>(id)]; }

// The classes bound to their descriptors (KIVO_BIND_CLASS notes each while the library loads).
bool note_bound(TypeId id);
const std::vector<TypeId>& bound_classes();

}  // namespace kivo::module
