// Proxy objects: the SwigPyObject that carries a native pointer into Python, and SwigPyPacked,
// which carries a byte copy of a value. Also the root type of the companion classes, which holds
// its proxy in a slot.
#pragma once

#include "registry.h"

#include <atomic>
#include <cstddef>

// The first four fields are those every runtime sharing the capsule reads from a proxy; the ones
// after them belong to this runtime's proxies only.
//
// What a release must reach is kept with the proxies themselves, so that it costs what it releases:
// the proxies of one native object are linked with each other (through a table by address), and a
// proxy made from another one (a parameter of a device, a buffer of a pipeline) is one of that
// proxy's dependents.
struct SwigPyObject {
    PyObject_HEAD
    void* ptr;
    SwigTypeInfo* ty;
    int own;
    PyObject* next;
    // Kept alive while this proxy holds anything (both null once it is released): the Python object
    // it was made from, and when that object carries a proxy, the proxy it was made from, whose
    // dependents it is one of.
    PyObject* owner;
    SwigPyObject* parent;
    SwigPyObject* dependents;   // the first proxy whose parent this is
    SwigPyObject* sibling_prev;
    SwigPyObject* sibling_next;
    // The other proxies of the same object, and the address they are found under (null: not found).
    void* alias_key;
    SwigPyObject* alias_prev;
    SwigPyObject* alias_next;
    const char* gone;   // what was released under this proxy (its pointer is then null), or null
};

struct SwigPyPacked {
    PyObject_HEAD
    void* pack;
    SwigTypeInfo* ty;
    std::size_t size;
};

enum : int {
    SwigNew_Own = 1,
    SwigNew_NoShadow = 2,
};

// This module's proxy type. The first call also enters it in the process-wide table of this
// runtime's proxy types, which every module built on the runtime shares.
PyTypeObject* SwigPyObject_Type();

// The pointer of a proxy of this runtime's own type whose descriptor is exactly the wanted one: the
// common case of a conversion, checked before the general walk.
inline bool SwigPyObject_DirectMatch(PyObject* obj, SwigTypeInfo* ty, void** ptr) {
    extern PyTypeObject* g_swig_proxy_type;
    if (Py_TYPE(obj) != g_swig_proxy_type) return false;
    auto* sobj = reinterpret_cast<SwigPyObject*>(obj);
    if (sobj->ty != ty) return false;
    *ptr = sobj->ptr;
    return true;
}
PyTypeObject* SwigPyPacked_Type();

// True only for genuine proxies: an instance of a proxy type of this runtime (made by any module
// built on it) or of a subclass. Proxies of other runtimes sharing the capsule are refused.
bool SwigPyObject_Check(PyObject* op);
bool SwigPyPacked_Check(PyObject* op);

PyObject* SwigPyObject_New(void* ptr, SwigTypeInfo* ty, int own);
PyObject* SwigPyPacked_New(const void* data, std::size_t size, SwigTypeInfo* ty);

// Objects of these exact types can never carry a proxy: a conversion refuses them at once.
inline bool cannot_carry_this(PyObject* op) {
    PyTypeObject* tp = Py_TYPE(op);
    return op == Py_None || tp == &PyLong_Type || tp == &PyBool_Type || tp == &PyFloat_Type ||
           tp == &PyUnicode_Type || tp == &PyBytes_Type || tp == &PyTuple_Type || tp == &PyList_Type ||
           tp == &PyDict_Type;
}

// The proxy an object carries: the object itself, or the end of its "this" chain (at most 64
// links). Never raises: objects that cannot carry one answer null at once.
SwigPyObject* SwigPyObject_GetThis(PyObject* obj);

// A new pointer object for ptr (None for null): an instance of the class registered for ty holding
// the proxy as "this", or the bare proxy with SwigNew_NoShadow or when no class is registered. With
// an owner, the proxy keeps it alive while it holds anything, and the owner's proxy as well when the
// owner carries one (the first of its chain, or the one a conversion to owner_ty meets).
PyObject* SwigPyObject_NewPointerObject(void* ptr, SwigTypeInfo* ty, int flags);
PyObject* SwigPyObject_NewPointerObject(void* ptr, SwigTypeInfo* ty, int flags, PyObject* owner,
                                        SwigTypeInfo* owner_ty = nullptr);

// ---- releases ----
//
// An object released at Python's request (delete_<Class>, a static Free, a buffer given back) may
// still be reached through other proxies: proxies of the same object (a callback's), and borrowed
// proxies made from one of them, which keep it alive through their owner (a parameter of a device's
// array). A release invalidates all of these: their pointer becomes null and using them raises
// ReferenceError naming what was released. Proxies that own their object are independent of the one
// they keep alive and stay valid. `given` is the proxy the release was asked through: its pointer is
// cleared too; it is named in later errors only with name_given (otherwise it is refused like None).
// Every proxy released lets go of what it kept alive. The cost is that of the proxies reached.
void SwigPyObject_Release(const void* object, SwigPyObject* given, const char* verb, bool name_given = false);

// The proxy's pointer becomes null (its object is no longer reachable through it).
void SwigPyObject_ClearPointer(SwigPyObject* proxy);

// Sets whether the proxy owns its object. A proxy that owns nothing is found from its object's
// address, so that a release of the object reaches it; one that owns its object (made by Python) is
// released only through itself, and costs no entry while it owns it.
void SwigPyObject_SetOwn(SwigPyObject* proxy, int own);

// The proxy an object carries that a conversion to ty meets first (the object itself, or one of its
// "this" chain), or null; a null ty takes the first one. With ptr, its pointer as a ty (cast from
// the proxy's class where ty is a base).
SwigPyObject* SwigPyObject_Match(PyObject* obj, SwigTypeInfo* ty, void** ptr = nullptr);

// A proxy whose object was released under it: sets ReferenceError with what was released and
// returns true; false (nothing set) for any other proxy.
bool SwigPyObject_RaiseIfGone(const SwigPyObject* proxy);
// The same for the proxies an object carries ("this", and the chain behind it).
bool SwigPyObject_RaiseIfReleased(PyObject* obj);

// The objects a callback gets belong to its first object argument (a pipeline's buffer, a device's
// parameter list): each later borrowed proxy without an owner keeps the first one's alive, so that a
// release of the first reaches a proxy kept past the callback. Any object carrying a proxy counts.
void SwigPyObject_OwnByFirst(PyObject* const* objects, int count);

// Bodies of <Class>_swigregister and <Class>_swiginit.
PyObject* SwigPyObject_RegisterClass(SwigTypeInfo* ty, PyObject* arg);
PyObject* SwigPyObject_InitShadow(PyObject* args);

namespace kivo::rt {
bool is_instance(PyObject* op);
struct Instance;
}

namespace kivo::rt {

// An instance of the companion classes' root type: its proxy lives in a slot, read and written as
// the attribute "this".
struct Instance {
    PyObject_HEAD
    PyObject* this_;   // null when the instance carries nothing
};

// The root type of companion classes. One type serves the whole process: the first module built on
// this runtime makes it and the others find it in the shared table.
PyTypeObject* instance_type();
bool is_instance(PyObject* op);

// The direct match of a bare proxy or of the proxy a companion instance holds in its slot: the
// common cases of a conversion, checked before the general walk.
// The last class found to derive from the root type (held, so its address cannot be reused).
extern PyTypeObject* g_last_instance_type;
void remember_instance_type(PyTypeObject* type);

// The same match for a proxy made by another module on this runtime (the test module's, say).
bool sibling_match(PyObject* obj, SwigTypeInfo* ty, void** ptr);

inline bool quick_match(PyObject* obj, SwigTypeInfo* ty, void** ptr) {
    if (SwigPyObject_DirectMatch(obj, ty, ptr)) return true;
    if (Py_TYPE(obj) != g_last_instance_type) {
        if (!is_instance(obj)) return sibling_match(obj, ty, ptr);
        remember_instance_type(Py_TYPE(obj));
    }
    PyObject* held = reinterpret_cast<Instance*>(obj)->this_;
    return held && (SwigPyObject_DirectMatch(held, ty, ptr) || sibling_match(held, ty, ptr));
}

// Attaches a proxy to obj as "this": appended to the chain obj already carries, else stored in the
// slot of an instance of the root type, else set as an attribute. 0, or -1 with an error set.
int attach_this(PyObject* obj, PyObject* proxy);

// A typed destructor for the objects whose class's __swig_destroy__ is the built-in delete entry:
// deallocation of an owning proxy calls destroy(ptr) directly, with the GIL released, in place of
// the entry. Registering an entry again replaces its destructor.
// forget(ptr), when given, runs with the GIL held after the object is destroyed.
// With aliased, the death of an owning proxy also releases (SwigPyObject_Release) the other proxies
// of its object: set for classes whose objects the SDK may hand out again (identity objects, not values).
// With with_gil, the death of an owning proxy destroys its object with the GIL held (a value whose
// destructor never blocks: see objects.h); an explicit delete_<Class> releases it all the same.
void register_destructor(PyCFunction delete_entry, void (*destroy)(void*), void (*forget)(void*) = nullptr,
                         bool aliased = false, bool with_gil = false);

// Sets what the companion layer builds its classes from as dunder attributes of the module:
// __kivo_object__ (the root type), __kivo_method__ (method descriptors over flat functions) and
// __kivo_constructor__ (__init__ over new_<Class>). 0, or -1 with an error set.
int install_companion_support(PyObject* module);

// ---- objects gone without a release of the binding's own ----
//
// Objects that went while no wrapper released them (the SDK deleted what it had made), or that let go
// of what was registered with them (deleted false): the proxies of a deleted object and those made from
// them raise ReferenceError ("this <Class> was deleted"), then the handler the module set runs for
// each object. Told on any thread, with or without the GIL. A thread inside a wrapper's SDK call keeps
// what it is told until the wrapper has made its own release (so that the parameters of a freed device
// name the device), then settles it.
void objects_gone(const void* const* objects, std::size_t count, bool deleted);
void set_gone_handler(void (*handler)(const void* object, bool deleted));

// SDK calls under way on this thread, made by wrappers of this module (GIL released or kept). Read on
// every call: the module's own static block of thread storage, reached without a lookup.
inline thread_local int t_sdk_calls __attribute__((tls_model("initial-exec"))) = 0;
// Objects kept by threads inside such calls, not yet settled.
inline std::atomic<int> g_gone_kept{0};
// With the GIL: what this thread kept is settled.
void settle_gone();
inline void settle_gone_if_any() {
    if (g_gone_kept.load(std::memory_order_relaxed)) settle_gone();
}

}  // namespace kivo::rt
