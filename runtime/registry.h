// Type registry shared by every extension module built on this runtime.
//
// Each native pointer type that crosses into Python has a descriptor. Descriptors carry the cast list
// (which derived types may stand where this type is wanted, and how to adjust the pointer) and the
// Python class registered for the type. Modules that share the runtime capsule merge their descriptors
// by mangled name, so a pointer made by one module is accepted by another.
#pragma once

#include "python.h"

#include <cstddef>
#include <type_traits>

struct SwigClientData;
struct SwigCastInfo;

using SwigConverterFunc = void* (*)(void* ptr, int* newmemory);

struct SwigTypeInfo {
    const char* name;              // mangled name, e.g. "_p_TqDevice"
    const char* str;               // declared spellings separated by '|'
    void* dcast;                   // dynamic-cast hook (unused)
    SwigCastInfo* cast;            // head of the cast list
    SwigClientData* clientdata;    // registered Python class, or null
    int owndata;                   // clientdata belongs to this descriptor
};

struct SwigCastInfo {
    SwigTypeInfo* type;            // a type that may stand where the owner is wanted
    SwigConverterFunc converter;   // pointer adjustment, null = none
    SwigCastInfo* next;
    SwigCastInfo* prev;
};

// One block per module in the capsule's circular list. Modules of other generators put their blocks
// in the same list, so these six fields are all that may be read from any block but our own; what
// this runtime keeps besides (its proxy types) lives in its own table (proxy.h).
struct SwigModuleInfo {
    SwigTypeInfo** types;          // merged descriptors, ended by null
    std::size_t size;
    SwigModuleInfo* next;          // circular list of modules sharing the capsule
    SwigTypeInfo** type_initial;
    SwigCastInfo** cast_initial;
    void* clientdata;              // never set

};

static_assert(std::is_standard_layout_v<SwigModuleInfo> && sizeof(SwigModuleInfo) == 6 * sizeof(void*),
              "the block is read by other runtimes sharing the capsule");

struct SwigClientData {
    PyObject* klass;
    PyObject* newraw;
    PyObject* newargs;
    PyObject* destroy;
    int delargs;
    int implicitconv;
    PyTypeObject* pytype;
};

namespace kivo::rt {

// The block of the module this copy of the runtime is linked into.
SwigModuleInfo& this_module();
SwigModuleInfo* this_module_or_null();   // null before the registry is initialised

// Python objects owned by the runtime until the capsule's last release.
PyObject* this_string();
PyObject* type_cache();
void ensure_globals();

// Reference to the capsule when this module created it (held by owning proxies), else null.
PyObject* owned_capsule();

}  // namespace kivo::rt

void SwigRuntime_InitTypeTable(SwigModuleInfo* module);
SwigTypeInfo* SwigRuntime_FindTypeByMangledName(SwigModuleInfo* start, SwigModuleInfo* end, const char* name);
SwigTypeInfo* SwigRuntime_QueryType(const char* name);
SwigCastInfo* SwigRuntime_TypeCheck(const char* mangled, SwigTypeInfo* wanted);
void* SwigRuntime_TypeCast(SwigCastInfo* cast, void* ptr, int* newmemory);
void SwigRuntime_SetClientData(SwigTypeInfo* ti, SwigClientData* cd);
void SwigRuntime_DestroyCapsule(PyObject* capsule);
void SwigRuntime_FreeClientData(SwigClientData* cd);

// Readable name: the last declared alternative, else the mangled name.
const char* SwigRuntime_TypePrettyName(const SwigTypeInfo* ti);
