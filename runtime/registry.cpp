#include "registry.h"
#include "ref.h"

#include <cstring>

using kivo::rt::Ref;

namespace {

constexpr const char* kCapsuleName = "swig_runtime_data4.type_pointer_capsule";
constexpr const char* kRuntimeModule = "swig_runtime_data4";

PyObject* g_this = nullptr;
PyObject* g_cache = nullptr;
PyObject* g_capsule = nullptr;   // set only when this module created the capsule
int g_users = 0;

SwigModuleInfo* g_block = nullptr;

// Compares a name with one '|'-separated alternative, skipping blanks on both sides.
bool same_spelling(const char* a, const char* aend, const char* b, const char* bend) {
    for (; a != aend && b != bend; ++a, ++b) {
        while (a != aend && *a == ' ') ++a;
        while (b != bend && *b == ' ') ++b;
        if (a == aend || b == bend) break;
        if (*a != *b) return false;
    }
    while (a != aend && *a == ' ') ++a;
    while (b != bend && *b == ' ') ++b;
    return a == aend && b == bend;
}

bool matches_declared(const char* declared, const char* name) {
    if (!declared) return false;
    const char* nend = name + std::strlen(name);
    const char* p = declared;
    while (true) {
        const char* bar = std::strchr(p, '|');
        const char* end = bar ? bar : p + std::strlen(p);
        if (same_spelling(p, end, name, nend)) return true;
        if (!bar) return false;
        p = bar + 1;
    }
}

SwigModuleInfo* capsule_block() {
    void* p = PyCapsule_Import(kCapsuleName, 0);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
    }
    return static_cast<SwigModuleInfo*>(p);
}

void cast_insert_front(SwigTypeInfo* ti, SwigCastInfo* c) {
    c->prev = nullptr;
    c->next = ti->cast;
    if (ti->cast) ti->cast->prev = c;
    ti->cast = c;
}

}  // namespace

namespace kivo::rt {

SwigModuleInfo& this_module() { return *g_block; }
SwigModuleInfo* this_module_or_null() { return g_block; }

void ensure_globals() {
    if (!g_this) g_this = PyUnicode_InternFromString("this");
    if (!g_cache) g_cache = PyDict_New();
}

PyObject* this_string() {
    if (!g_this) ensure_globals();
    return g_this;
}

PyObject* type_cache() {
    if (!g_cache) ensure_globals();
    return g_cache;
}

PyObject* owned_capsule() { return g_capsule; }

}  // namespace kivo::rt

SwigTypeInfo* SwigRuntime_FindTypeByMangledName(SwigModuleInfo* start, SwigModuleInfo* end, const char* name) {
    SwigModuleInfo* iter = start;
    do {
        if (iter->size) {
            std::size_t l = 0, r = iter->size - 1;
            while (true) {
                std::size_t i = (l + r) >> 1;
                const char* iname = iter->types[i]->name;
                if (!iname) break;
                int cmp = std::strcmp(name, iname);
                if (cmp == 0) return iter->types[i];
                if (cmp < 0) {
                    if (i == 0) break;
                    r = i - 1;
                } else {
                    l = i + 1;
                }
                if (l > r) break;
            }
        }
        iter = iter->next;
    } while (iter != end);
    return nullptr;
}

static SwigTypeInfo* find_by_declared(SwigModuleInfo* start, const char* name) {
    SwigModuleInfo* iter = start;
    do {
        for (std::size_t i = 0; i < iter->size; ++i)
            if (matches_declared(iter->types[i]->str, name)) return iter->types[i];
        iter = iter->next;
    } while (iter != start);
    return nullptr;
}

SwigTypeInfo* SwigRuntime_QueryType(const char* name) {
    PyObject* cache = kivo::rt::type_cache();
    Ref key(PyUnicode_FromString(name));
    if (!key) {
        PyErr_Clear();
        return nullptr;
    }
    SwigTypeInfo* found = nullptr;
    if (PyObject* hit = PyDict_GetItem(cache, key.get())) {
        found = static_cast<SwigTypeInfo*>(PyCapsule_GetPointer(hit, nullptr));
    } else {
        SwigModuleInfo* block = capsule_block();
        if (!block) block = g_block;
        if (block) {
            found = SwigRuntime_FindTypeByMangledName(block, block, name);
            if (!found) found = find_by_declared(block, name);
        }
        if (found) {
            if (Ref cap{PyCapsule_New(found, nullptr, nullptr)}) PyDict_SetItem(cache, key.get(), cap.get());
            PyErr_Clear();
        }
    }
    return found;
}

SwigCastInfo* SwigRuntime_TypeCheck(const char* mangled, SwigTypeInfo* wanted) {
    if (!wanted) return nullptr;
    for (SwigCastInfo* c = wanted->cast; c; c = c->next) {
        if (std::strcmp(c->type->name, mangled) == 0) {
            if (c != wanted->cast) {   // move to front
                c->prev->next = c->next;
                if (c->next) c->next->prev = c->prev;
                c->next = wanted->cast;
                c->prev = nullptr;
                wanted->cast->prev = c;
                wanted->cast = c;
            }
            return c;
        }
    }
    return nullptr;
}

void* SwigRuntime_TypeCast(SwigCastInfo* cast, void* ptr, int* newmemory) {
    return (!cast || !cast->converter) ? ptr : cast->converter(ptr, newmemory);
}

void SwigRuntime_SetClientData(SwigTypeInfo* ti, SwigClientData* cd) {
    ti->clientdata = cd;
    for (SwigCastInfo* c = ti->cast; c; c = c->next) {
        if (!c->converter && c->type != ti && !c->type->clientdata) SwigRuntime_SetClientData(c->type, cd);
    }
}

void SwigRuntime_FreeClientData(SwigClientData* cd) {
    if (!cd) return;
    Py_XDECREF(cd->klass);
    Py_XDECREF(cd->newraw);
    Py_XDECREF(cd->newargs);
    Py_XDECREF(cd->destroy);
    delete cd;
}

void SwigRuntime_DestroyCapsule(PyObject* capsule) {
    auto* block = static_cast<SwigModuleInfo*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (!block) {
        PyErr_Clear();
        return;
    }
    if (--g_users != 0) return;
    for (std::size_t i = 0; i < block->size; ++i) {
        SwigTypeInfo* ti = block->types[i];
        if (ti && ti->owndata) {
            SwigClientData* cd = ti->clientdata;
            ti->clientdata = nullptr;
            ti->owndata = 0;
            SwigRuntime_FreeClientData(cd);
        }
    }
    Py_CLEAR(g_this);
    Py_CLEAR(g_cache);
    g_capsule = nullptr;
}

void SwigRuntime_InitTypeTable(SwigModuleInfo* module) {
    kivo::rt::ensure_globals();
    bool first = false;
    if (!module->next) {
        module->types = module->types ? module->types : module->type_initial;
        module->next = module;
        first = true;
    }
    g_block = module;

    SwigModuleInfo* shared = capsule_block();
    if (shared) {
        SwigModuleInfo* iter = shared;
        do {
            if (iter == module) return;   // already set up
            iter = iter->next;
        } while (iter != shared);
        module->next = shared->next;
        shared->next = module;
    } else {
        PyObject* rt = PyImport_AddModule(kRuntimeModule);   // borrowed
        Ref capsule(PyCapsule_New(module, kCapsuleName, SwigRuntime_DestroyCapsule));
        if (rt && capsule && PyModule_AddObject(rt, "type_pointer_capsule", capsule.get()) == 0) {   // takes it
            ++g_users;
            g_capsule = capsule.release();
        } else {
            PyErr_Clear();
        }
    }
    if (!first) return;

    for (std::size_t i = 0; i < module->size; ++i) {
        SwigTypeInfo* own = module->type_initial[i];
        SwigTypeInfo* type = own;
        if (module->next != module) {
            if (SwigTypeInfo* other = SwigRuntime_FindTypeByMangledName(module->next, module, own->name)) {
                if (own->clientdata) other->clientdata = own->clientdata;
                type = other;
            }
        }
        for (SwigCastInfo* c = module->cast_initial[i]; c->type; ++c) {
            SwigTypeInfo* src = nullptr;
            if (module->next != module) src = SwigRuntime_FindTypeByMangledName(module->next, module, c->type->name);
            if (src) {
                if (type == own) {
                    c->type = src;
                } else {
                    if (SwigRuntime_TypeCheck(src->name, type)) continue;
                    // A cast the other module lacks: keep our entry, pointing at the shared source.
                    c->type = src;
                }
            }
            cast_insert_front(type, c);
        }
        module->types[i] = type;
    }
    module->types[module->size] = nullptr;
}

const char* SwigRuntime_TypePrettyName(const SwigTypeInfo* ti) {
    if (!ti) return "unknown";
    if (ti->str) {
        const char* last = ti->str;
        for (const char* s = ti->str; *s; ++s)
            if (*s == '|') last = s + 1;
        return last;
    }
    return ti->name;
}
