// The class table, built from the class list: every SDK class the module knows, with its type, its
// direct bases in declaration order, its method-table rows and whether Python may subclass it. It
// gives the cast lists, the order of the method table and the class facts the companion layer builds
// its classes from.
#pragma once

#include "classes.h"

#include <vector>

namespace kivo::module {

// The converter of a base at the derived object's address.
void* same_pointer(void* p, int*);

struct BaseRow {
    TypeId base;
    SwigConverterFunc convert;   // derived pointer to base pointer
};

struct ClassRow {
    const char* name;
    TypeId type;
    std::vector<BaseRow> bases;
    Entries (*entries)();   // null: known for its casts, not wrapped yet
    bool director;
};

const std::vector<ClassRow>& class_table();

// Casts between descriptors that are no classes (pointers to pointers): wanted, derived.
struct PointerCastRow {
    TypeId wanted;
    TypeId derived;
};
const std::vector<PointerCastRow>& pointer_casts();

}  // namespace kivo::module
