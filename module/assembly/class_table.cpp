#include "class_table.h"

#include "TqDeviceAdapter.h"

namespace kivo::module {

void* same_pointer(void* p, int*) { return p; }

Entries unwrapped() { return {}; }

namespace {

// Base part of a class whose layout the SDK headers declare.
template <class Derived, class Base>
void* upcast(void* p, int*) {
    return p ? static_cast<void*>(static_cast<Base*>(static_cast<Derived*>(p))) : nullptr;
}

using T = TypeId;

BaseRow same(TypeId base) { return {base, same_pointer}; }

// The rows of a class: none for a class known for its casts only.
Entries (*rows_of(Entries (*entries)()))() { return entries == &unwrapped ? nullptr : entries; }

}  // namespace

const std::vector<ClassRow>& class_table() {
#define KIVO_CLASS_ROW(name, type, entries, director, ...) {name, T::type, {__VA_ARGS__}, rows_of(&entries), director},
    static const std::vector<ClassRow> rows = {KIVO_CLASSES(KIVO_CLASS_ROW)};
#undef KIVO_CLASS_ROW
    return rows;
}

const std::vector<PointerCastRow>& pointer_casts() {
    static const std::vector<PointerCastRow> rows = {
        {T::p_TqDeviceInfo, T::p_TqDeviceInfoGEV},
        {T::p_TqDeviceInfo, T::p_TqDeviceInfoZelvraProtocol},
        {T::p_TqDeviceInfo, T::p_TqDeviceInfoU3V},
        {T::p_TqDeviceInfo, T::p_TqDeviceInfoUSB},
    };
    return rows;
}

}  // namespace kivo::module
