#include "proxy.h"

#include "dispatch.h"
#include "numpy_input.h"
#include "objects.h"
#include "ref.h"

#include <structmember.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <set>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

using kivo::rt::Ref;

extern PyTypeObject* g_swig_proxy_type;

namespace {

// Longest "this" chain followed from one Python object before giving up (a.this = a loops forever).
constexpr int kMaxThisDepth = 64;

// ---- process-wide state ----
//
// Every module built on this runtime links its own copy of it and makes its own proxy type. What
// the copies must agree on lives in one block, published by the first copy as a capsule in a
// private module: the root type of companion classes, the proxy types of all the copies (the only
// types SwigPyObject_Check accepts), and the table that finds the proxies of an object, whichever
// copy made them. The layout of the block is fixed for the capsule's name.

constexpr const char* kStateModule = "kivo_runtime_data2";
constexpr const char* kStateAttribute = "state";
constexpr const char* kStateCapsule = "kivo_runtime_data2.state";
constexpr int kMaxProxyTypes = 32;

class AliasTable;

struct SharedState {
    PyTypeObject* instance_type;
    int proxy_count;
    PyTypeObject* proxy_types[kMaxProxyTypes];
    AliasTable* aliases;   // the proxies of each object, whichever copy made them
};

SharedState g_own_state{};          // the block itself when this copy came first (never unloaded)
SharedState* g_state = nullptr;     // the block in use, once this copy has joined

// PyType_FromSpec warns about a name without a module part unless the type's dictionary already
// holds "__module__": this member stands there until the real value replaces it.
PyMemberDef kModulePlaceholder[] = {
    {"__module__", T_OBJECT, 0, READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// A type with a bare name, like the built-in types: its messages say "SwigPyObject", and its
// __module__ is "builtins".
PyTypeObject* make_builtin_named_type(PyType_Spec* spec) {
    Ref type(PyType_FromSpec(spec));
    if (!type) return nullptr;
    Ref module(PyUnicode_FromString("builtins"));
    if (!module || PyObject_SetAttrString(type.get(), "__module__", module.get()) < 0) return nullptr;
    return reinterpret_cast<PyTypeObject*>(type.release());
}

// Proxies are made by the runtime only: one made from Python would own no capsule reference.
PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    if (Ref name{PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__")})
        PyErr_Format(PyExc_TypeError, "cannot create '%U' instances", name.get());
    return nullptr;
}

// ---- typed destructors ----

using Destroy = void (*)(void*);
struct Typed {
    Destroy destroy;
    Destroy forget;   // runs with the GIL once the object is gone, or null
    bool aliased;     // other proxies of the object are released with it
    bool with_gil;    // destroyed with the GIL held (a value whose destructor never blocks)
};

std::unordered_map<std::uintptr_t, Typed>& destructors() {
    static std::unordered_map<std::uintptr_t, Typed> table;
    return table;
}

// Proxies of one class often die in a row: the last answer is kept (entries of the table never move,
// and a function's address is never reused; a registration forgets it).
PyCFunction g_last_entry = nullptr;
const Typed* g_last_typed = nullptr;

void forget_typed_memo() {
    g_last_entry = nullptr;
    g_last_typed = nullptr;
}

const Typed* typed_destructor(PyCFunction entry) {
    if (entry == g_last_entry) return g_last_typed;
    auto& table = destructors();
    if (table.empty()) return nullptr;
    auto it = table.find(reinterpret_cast<std::uintptr_t>(entry));
    g_last_entry = entry;
    g_last_typed = it == table.end() ? nullptr : &it->second;
    return g_last_typed;
}

// Runs a typed destructor through the one guarded call (without the GIL unless the type keeps it). A
// C++ exception does not cross into the interpreter: its error, as any call gives it, is reported as
// unraisable, attributed to the delete entry.
void run_typed_destructor(const Typed& typed, void* ptr, PyObject* entry) {
    if (!ptr) return;
    const Destroy destroy = typed.destroy;
    const kivo::rt::Outcome outcome = kivo::rt::guarded_call(typed.with_gil, [&] { destroy(ptr); });
    {
        const kivo::rt::ErrorAside aside(outcome != kivo::rt::Called);
        if (typed.aliased) SwigPyObject_Release(ptr, nullptr, "deleted");
        if (typed.forget) typed.forget(ptr);
        kivo::rt::settle_gone_if_any();
    }
    if (outcome != kivo::rt::Called) PyErr_WriteUnraisable(entry);
}

// ---- the proxies of each object ----
//
// Every proxy with a pointer is found by that address: the table holds the first proxy of each
// address and the others follow it through their alias links. Open addressing with linear probing
// over a power-of-two table; a removal shifts the entries after it back, so no slot is ever marked.
class AliasTable {
public:
    SwigPyObject* find(const void* key) const {
        if (!slots_) return nullptr;
        for (std::size_t i = home(key);; i = (i + 1) & mask_) {
            if (slots_[i].key == key) return slots_[i].first;
            if (!slots_[i].key) return nullptr;
        }
    }

    void add(SwigPyObject* p) {
        void* key = p->ptr;
        if ((used_ + 1) * 2 > mask_ + 1) grow();
        std::size_t i = home(key);
        while (slots_[i].key && slots_[i].key != key) i = (i + 1) & mask_;
        p->alias_key = key;
        p->alias_prev = nullptr;
        p->alias_next = slots_[i].first;
        if (p->alias_next) {
            p->alias_next->alias_prev = p;
        } else {
            slots_[i].key = key;
            ++used_;
        }
        slots_[i].first = p;
    }

    void remove(SwigPyObject* p) {
        void* key = p->alias_key;
        if (!key) return;
        SwigPyObject* next = p->alias_next;
        if (p->alias_prev) {
            p->alias_prev->alias_next = next;
            if (next) next->alias_prev = p->alias_prev;
        } else {
            std::size_t i = home(key);
            while (slots_[i].key != key) i = (i + 1) & mask_;
            if (next) {
                next->alias_prev = nullptr;
                slots_[i].first = next;
            } else {
                erase_at(i);
            }
        }
        p->alias_key = nullptr;
        p->alias_prev = p->alias_next = nullptr;
    }

private:
    struct Slot {
        void* key;
        SwigPyObject* first;
    };

    std::size_t home(const void* key) const {
        return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(key) * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void erase_at(std::size_t i) {
        for (std::size_t j = (i + 1) & mask_; slots_[j].key; j = (j + 1) & mask_) {
            const std::size_t k = home(slots_[j].key);
            // The entry at j stays when its home lies cyclically in (i, j].
            const bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
            if (stays) continue;
            slots_[i] = slots_[j];
            i = j;
        }
        slots_[i] = Slot{nullptr, nullptr};
        --used_;
    }

    void grow() {
        Slot* old = slots_;
        const std::size_t old_size = slots_ ? mask_ + 1 : 0;
        const std::size_t size = old_size ? old_size * 2 : 256;
        slots_ = new Slot[size]();
        mask_ = size - 1;
        shift_ = 64;
        for (std::size_t n = size; n > 1; n >>= 1) --shift_;
        for (std::size_t i = 0; i < old_size; ++i) {
            if (!old[i].key) continue;
            std::size_t j = home(old[i].key);
            while (slots_[j].key) j = (j + 1) & mask_;
            slots_[j] = old[i];
        }
        delete[] old;
    }

    Slot* slots_ = nullptr;
    std::size_t mask_ = 0;
    std::size_t used_ = 0;
    int shift_ = 64;
};

SharedState* shared_state();

AliasTable& aliases() {
    SharedState* state = g_state ? g_state : shared_state();
    return *state->aliases;
}

// A proxy made from another one is among that one's dependents, and keeps it alive, until it is
// released or dies; owner (the Python object it was made from) is kept alive as well.
void adopt(SwigPyObject* child, SwigPyObject* parent, PyObject* owner) {
    Py_INCREF(parent);
    Py_INCREF(owner);
    child->owner = owner;
    child->parent = parent;
    child->sibling_prev = nullptr;
    child->sibling_next = parent->dependents;
    if (parent->dependents) parent->dependents->sibling_prev = child;
    parent->dependents = child;
}

// The child leaves its parent's dependents; the reference it held is the caller's to drop.
PyObject* leave_parent(SwigPyObject* child) {
    SwigPyObject* parent = child->parent;
    if (!parent) return nullptr;
    if (child->sibling_prev)
        child->sibling_prev->sibling_next = child->sibling_next;
    else
        parent->dependents = child->sibling_next;
    if (child->sibling_next) child->sibling_next->sibling_prev = child->sibling_prev;
    child->parent = child->sibling_prev = child->sibling_next = nullptr;
    return reinterpret_cast<PyObject*>(parent);
}

// The proxy an owner object carries, without running Python code: a proxy, or the slot of an
// instance of the root type.
SwigPyObject* carried_proxy(PyObject* owner) {
    if (kivo::rt::is_instance(owner)) owner = reinterpret_cast<kivo::rt::Instance*>(owner)->this_;
    if (owner && SwigPyObject_Check(owner)) return reinterpret_cast<SwigPyObject*>(owner);
    return nullptr;
}

// A class's name in messages: the pretty name without the pointer.
std::string class_name(const SwigTypeInfo* ty) {
    std::string name = SwigRuntime_TypePrettyName(ty);
    while (!name.empty() && (name.back() == '*' || name.back() == ' ')) name.pop_back();
    return name;
}

// A stack that lives in place while it holds at most N items (most releases reach a handful).
template <class T, std::size_t N>
class SmallStack {
public:
    void push_back(const T& item) {
        if (size_ < N)
            local_[size_] = item;
        else
            more_.push_back(item);
        ++size_;
    }
    T pop() {
        --size_;
        if (size_ < N) return local_[size_];
        T item = more_.back();
        more_.pop_back();
        return item;
    }
    bool empty() const { return size_ == 0; }

private:
    T local_[N];
    std::vector<T> more_;
    std::size_t size_ = 0;
};

// What a released proxy says when it is used: "this <Class> was <verb>" for the object released, "the
// <Root> this <Class> belongs to was <verb>" for one made from it. Made once per combination and kept
// for the life of the process (a handful of distinct ones). ty is null for the object released.
const char* gone_text(const char* verb, const SwigTypeInfo* root, const SwigTypeInfo* ty) {
    using Key = std::tuple<const char*, const SwigTypeInfo*, const SwigTypeInfo*>;
    static auto* texts = new std::map<Key, std::string>;
    const Key key{verb, root, ty};
    auto it = texts->find(key);
    if (it == texts->end()) {
        const std::string text = !ty ? "this " + class_name(root) + " was " + verb
                                            : "the " + class_name(root) + " this " + class_name(ty) +
                                                  " belongs to was " + verb;
        it = texts->emplace(key, text).first;
    }
    return it->second.c_str();
}

// ---- SwigPyObject ----

// The repr of a chain is the reprs of its objects back to back. The chain never holds a cycle
// (append refuses one), so the walk ends.
PyObject* proxy_repr(PyObject* self) {
    Ref out(PyUnicode_FromString(""));
    for (PyObject* p = self; p && out; p = reinterpret_cast<SwigPyObject*>(p)->next) {
        auto* v = reinterpret_cast<SwigPyObject*>(p);
        Ref one(PyUnicode_FromFormat("<Swig Object of type '%s' at %p>", SwigRuntime_TypePrettyName(v->ty),
                                     static_cast<void*>(v)));
        out.reset(one ? PyUnicode_Concat(out.get(), one.get()) : nullptr);
    }
    return out.release();
}

PyObject* proxy_richcompare(PyObject* a, PyObject* b, int op) {
    if (PyErr_Occurred()) return nullptr;
    if ((op != Py_EQ && op != Py_NE) || !SwigPyObject_Check(b)) Py_RETURN_NOTIMPLEMENTED;
    auto pa = reinterpret_cast<std::uintptr_t>(reinterpret_cast<SwigPyObject*>(a)->ptr);
    auto pb = reinterpret_cast<std::uintptr_t>(reinterpret_cast<SwigPyObject*>(b)->ptr);
    bool eq = pa == pb;
    return PyBool_FromLong(op == Py_EQ ? eq : !eq);
}

PyObject* proxy_long(PyObject* self) { return PyLong_FromVoidPtr(reinterpret_cast<SwigPyObject*>(self)->ptr); }

// Destroys the object an owning proxy holds, through the destroy function registered with its class
// (or the typed destructor of that function). Any error is reported as unraisable; an error already
// set when the proxy dies is kept.
void destroy_owned(PyObject* self) {
    auto* sobj = reinterpret_cast<SwigPyObject*>(self);
    SwigTypeInfo* ty = sobj->ty;
    SwigClientData* data = ty ? ty->clientdata : nullptr;
    PyObject* destroy = data ? data->destroy : nullptr;
    if (!destroy) {
        std::printf("swig/python detected a memory leak of type '%s', no destructor found.\n",
                    SwigRuntime_TypePrettyName(ty));
        std::fflush(stdout);
        return;
    }
    PyObject *et = nullptr, *ev = nullptr, *etb = nullptr;
    const bool pending = PyErr_Occurred() != nullptr;
    if (pending) PyErr_Fetch(&et, &ev, &etb);
    Ref res;
    if (data->delargs) {
        // The destroy function takes a tuple: give it a temporary, non-owning proxy.
        Ref tmp(SwigPyObject_New(sobj->ptr, ty, 0));
        if (tmp) res.reset(PyObject_CallFunctionObjArgs(destroy, tmp.get(), nullptr));
    } else {
        auto meth = reinterpret_cast<PyCFunction>(PyCFunction_GetFunction(destroy));
        if (const Typed* typed = meth ? typed_destructor(meth) : nullptr) {
            run_typed_destructor(*typed, sobj->ptr, destroy);
            res = Ref::borrow(Py_None);
        } else if (meth) {
            // A one-argument built-in: call it on the dying object without resurrecting it
            // (the delete wrapper only reads the pointer and flags).
            res.reset(meth(PyCFunction_GetSelf(destroy), self));
        }
    }
    if (!res) PyErr_WriteUnraisable(destroy);
    if (pending) PyErr_Restore(et, ev, etb);
}

// Proxies of this module's own type are kept for reuse when they die, up to kKeptProxies: making one is
// then no allocation. Only dead proxies are kept (nothing refers to them any more); each is poisoned
// for the address sanitizer until it is made again. Guarded by the GIL.
constexpr int kKeptProxies = 64;
SwigPyObject* g_kept_proxies[kKeptProxies];
int g_kept_count = 0;

SwigPyObject* reused_proxy(PyTypeObject* type) {
    if (g_kept_count == 0) return nullptr;
    SwigPyObject* sobj = g_kept_proxies[--g_kept_count];
    KIVO_UNPOISON(sobj, sizeof(SwigPyObject));
    PyObject_Init(reinterpret_cast<PyObject*>(sobj), type);   // holds a reference to the type again
    return sobj;
}

void proxy_dealloc(PyObject* self) {
    auto* sobj = reinterpret_cast<SwigPyObject*>(self);
    if (sobj->alias_key) aliases().remove(sobj);   // no release meets a dying proxy
    PyObject* parent = leave_parent(sobj);   // its dependents are gone already: each kept it alive
    PyObject* next = sobj->next;
    PyObject* owner = sobj->owner;
    if (sobj->own == 1) destroy_owned(self);
    Py_XDECREF(next);
    Py_XDECREF(owner);   // only once the object it may depend on is gone
    Py_XDECREF(parent);
    Py_XDECREF(kivo::rt::owned_capsule());   // every proxy of this module holds one
    PyTypeObject* tp = Py_TYPE(self);
    if (tp == g_swig_proxy_type && g_kept_count < kKeptProxies) {
        KIVO_POISON(sobj, sizeof(SwigPyObject));
        g_kept_proxies[g_kept_count++] = sobj;
    } else {
        auto tfree = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
        tfree(self);
    }
    Py_DECREF(tp);   // heap type instances hold a reference to their type
}

PyObject* m_disown(PyObject* self, PyObject*) {
    SwigPyObject_SetOwn(reinterpret_cast<SwigPyObject*>(self), 0);
    Py_RETURN_NONE;
}

PyObject* m_acquire(PyObject* self, PyObject*) {
    reinterpret_cast<SwigPyObject*>(self)->own = 1;
    Py_RETURN_NONE;
}

PyObject* m_own(PyObject* self, PyObject* args) {
    PyObject* val = nullptr;
    if (!PyArg_UnpackTuple(args, "own", 0, 1, &val)) return nullptr;
    auto* sobj = reinterpret_cast<SwigPyObject*>(self);
    Ref old(PyBool_FromLong(sobj->own));
    if (val) {
        int truth = PyObject_IsTrue(val);
        if (truth < 0) return nullptr;
        SwigPyObject_SetOwn(sobj, truth ? 1 : 0);
    }
    return old.release();
}

// Inserts `next` (with any chain of its own) right after `self`. Refuses an object whose chain
// meets this one, which would make the chain a cycle.
PyObject* append_this(SwigPyObject* self, PyObject* next) {
    if (!SwigPyObject_Check(next)) {
        PyErr_SetString(PyExc_TypeError, "Attempt to append a non SwigPyObject");
        return nullptr;
    }
    auto* tail = reinterpret_cast<SwigPyObject*>(next);
    for (PyObject* n = next; n; n = reinterpret_cast<SwigPyObject*>(n)->next) {
        for (PyObject* p = reinterpret_cast<PyObject*>(self); p; p = reinterpret_cast<SwigPyObject*>(p)->next) {
            if (p == n) {
                PyErr_SetString(PyExc_ValueError, "Attempt to append a SwigPyObject already in the chain");
                return nullptr;
            }
        }
        tail = reinterpret_cast<SwigPyObject*>(n);
    }
    tail->next = self->next;
    Py_INCREF(next);
    self->next = next;
    Py_RETURN_NONE;
}

PyObject* m_append(PyObject* self, PyObject* next) { return append_this(reinterpret_cast<SwigPyObject*>(self), next); }

PyObject* m_next(PyObject* self, PyObject*) {
    auto* sobj = reinterpret_cast<SwigPyObject*>(self);
    if (sobj->next) {
        Py_INCREF(sobj->next);
        return sobj->next;
    }
    Py_RETURN_NONE;
}

PyObject* m_repr(PyObject* self, PyObject*) { return proxy_repr(self); }

PyMethodDef proxy_methods[] = {
    {"disown", m_disown, METH_NOARGS, "releases ownership of the pointer"},
    {"acquire", m_acquire, METH_NOARGS, "acquires ownership of the pointer"},
    {"own", m_own, METH_VARARGS, "returns/sets ownership of the pointer"},
    {"append", m_append, METH_O, "appends another 'this' object"},
    {"next", m_next, METH_NOARGS, "returns the next 'this' object"},
    {"__repr__", m_repr, METH_NOARGS, "returns object representation"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kProxyDoc = "Swig object carries a C/C++ instance pointer";

PyTypeObject* make_proxy_type() {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(proxy_dealloc)},
        {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
        {Py_tp_repr, reinterpret_cast<void*>(proxy_repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(proxy_richcompare)},
        {Py_tp_getattro, reinterpret_cast<void*>(PyObject_GenericGetAttr)},
        {Py_nb_int, reinterpret_cast<void*>(proxy_long)},
        {Py_tp_methods, proxy_methods},
        {Py_tp_members, kModulePlaceholder},
        {Py_tp_doc, const_cast<char*>(kProxyDoc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"SwigPyObject", sizeof(SwigPyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    return make_builtin_named_type(&spec);
}

// ---- SwigPyPacked ----

std::string packed_hex(const SwigPyPacked* v, bool& fits) {
    fits = 2 * v->size + 2 <= 1024;
    std::string out;
    if (!fits) return out;
    static const char digits[] = "0123456789abcdef";
    out.push_back('_');
    auto* u = static_cast<const unsigned char*>(v->pack);
    for (std::size_t i = 0; i < v->size; ++i) {
        out.push_back(digits[u[i] >> 4]);
        out.push_back(digits[u[i] & 0xf]);
    }
    return out;
}

PyObject* packed_repr(PyObject* self) {
    auto* v = reinterpret_cast<SwigPyPacked*>(self);
    bool fits;
    std::string hex = packed_hex(v, fits);
    const char* tname = v->ty ? v->ty->name : "";
    if (fits) return PyUnicode_FromFormat("<Swig Packed at %s%s>", hex.c_str(), tname);
    return PyUnicode_FromFormat("<Swig Packed %s>", tname);
}

PyObject* packed_str(PyObject* self) {
    auto* v = reinterpret_cast<SwigPyPacked*>(self);
    bool fits;
    std::string hex = packed_hex(v, fits);
    const char* tname = v->ty ? v->ty->name : "";
    if (fits) return PyUnicode_FromFormat("%s%s", hex.c_str(), tname);
    return PyUnicode_FromString(tname);
}

void packed_dealloc(PyObject* self) {
    if (SwigPyPacked_Check(self)) PyMem_Free(reinterpret_cast<SwigPyPacked*>(self)->pack);
    PyTypeObject* tp = Py_TYPE(self);
    auto tfree = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    tfree(self);
    Py_DECREF(tp);
}

PyTypeObject* make_packed_type() {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(packed_dealloc)},
        {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
        {Py_tp_repr, reinterpret_cast<void*>(packed_repr)},
        {Py_tp_str, reinterpret_cast<void*>(packed_str)},
        {Py_tp_getattro, reinterpret_cast<void*>(PyObject_GenericGetAttr)},
        {Py_tp_members, kModulePlaceholder},
        {Py_tp_doc, const_cast<char*>(kProxyDoc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"SwigPyPacked", sizeof(SwigPyPacked), 0, Py_TPFLAGS_DEFAULT, slots};
    return make_builtin_named_type(&spec);
}

// ---- the root type of companion classes ----

using kivo::rt::Instance;

PyObject* missing_this(PyObject* self) {
    if (Ref name{PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__name__")})
        PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute 'this'", name.get());
    return nullptr;
}

void set_slot(PyObject* self, PyObject* value) {
    auto* inst = reinterpret_cast<Instance*>(self);
    PyObject* old = inst->this_;
    Py_XINCREF(value);
    inst->this_ = value;
    Py_XDECREF(old);
}

PyObject* instance_get_this(PyObject* self, void*) {
    PyObject* value = reinterpret_cast<Instance*>(self)->this_;
    if (!value) return missing_this(self);
    Py_INCREF(value);
    return value;
}

int instance_set_this(PyObject* self, PyObject* value, void*) {
    if (!value && !reinterpret_cast<Instance*>(self)->this_) {
        missing_this(self);
        return -1;
    }
    set_slot(self, value);
    return 0;
}

int instance_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Instance*>(self)->this_);
    Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    return 0;
}

int instance_clear(PyObject* self) {
    set_slot(self, nullptr);
    return 0;
}

void instance_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    set_slot(self, nullptr);
    PyTypeObject* tp = Py_TYPE(self);
    auto tfree = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    tfree(self);
    Py_DECREF(tp);
}

PyGetSetDef instance_getset[] = {
    {"this", instance_get_this, instance_set_this, "the proxy of the native object", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* make_instance_type() {
    static const char doc[] = "Root of the classes of the companion layer: holds the proxy of its native object "
                              "in a slot, read and written as the attribute 'this'.";
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(instance_clear)},
        {Py_tp_getset, instance_getset},
        {Py_tp_doc, const_cast<char*>(doc)},
        {0, nullptr},
    };
    PyType_Spec spec = {"kivo_python64.Object", sizeof(Instance), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

// Finds the process-wide block (or publishes this copy's own) and enters this copy's proxy type.
bool join_shared_state(PyTypeObject* proxy_type) {
    PyObject* holder = PyImport_AddModule(kStateModule);   // borrowed
    if (!holder) return false;
    SharedState* state = nullptr;
    if (Ref capsule{PyObject_GetAttrString(holder, kStateAttribute)}) {
        state = static_cast<SharedState*>(PyCapsule_GetPointer(capsule.get(), kStateCapsule));
        if (!state) return false;
    } else {
        PyErr_Clear();
        g_own_state.instance_type = make_instance_type();
        if (!g_own_state.instance_type) return false;
        g_own_state.aliases = new AliasTable;   // proxies may die while the process exits
        Ref created(PyCapsule_New(&g_own_state, kStateCapsule, nullptr));
        if (!created || PyModule_AddObject(holder, kStateAttribute, created.get()) < 0) return false;
        created.release();   // the module took it
        state = &g_own_state;
    }
    if (state->proxy_count == kMaxProxyTypes) {
        PyErr_SetString(PyExc_ImportError, "too many extension modules on the binding runtime in this process");
        return false;
    }
    Py_INCREF(proxy_type);
    state->proxy_types[state->proxy_count++] = proxy_type;
    g_state = state;
    return true;
}

SharedState* shared_state() {
    if (!g_state) SwigPyObject_Type();
    return g_state;
}

// Stores a proxy as "this" of a new or bare object: in the slot of the runtime's instances, else as
// an attribute.
int store_this(PyObject* obj, PyObject* proxy) {
    if (Py_TYPE(obj) == kivo::rt::g_last_instance_type || kivo::rt::is_instance(obj)) {
        set_slot(obj, proxy);
        return 0;
    }
    return PyObject_SetAttr(obj, kivo::rt::this_string(), proxy);
}

}  // namespace

PyTypeObject* g_swig_proxy_type = nullptr;

PyTypeObject* SwigPyObject_Type() {
    static PyTypeObject* type = [] {
        PyTypeObject* made = make_proxy_type();
        if (made && !join_shared_state(made)) made = nullptr;   // the type stays alive, unused
        g_swig_proxy_type = made;
        return made;
    }();
    return type;
}

PyTypeObject* SwigPyPacked_Type() {
    static PyTypeObject* type = make_packed_type();
    return type;
}

bool SwigPyObject_Check(PyObject* op) {
    PyTypeObject* tp = Py_TYPE(op);
    if (tp == g_swig_proxy_type) return true;
    SharedState* state = shared_state();
    if (!state) return false;
    for (int i = 0; i < state->proxy_count; ++i) {
        PyTypeObject* genuine = state->proxy_types[i];
        if (tp == genuine || PyType_IsSubtype(tp, genuine)) return true;
    }
    return false;
}

bool SwigPyPacked_Check(PyObject* op) { return Py_TYPE(op) == SwigPyPacked_Type(); }

PyObject* SwigPyObject_New(void* ptr, SwigTypeInfo* ty, int own) {
    PyTypeObject* type = SwigPyObject_Type();
    SwigPyObject* sobj = reused_proxy(type);
    if (!sobj) sobj = PyObject_New(SwigPyObject, type);
    if (!sobj) return nullptr;
    sobj->ptr = ptr;
    sobj->ty = ty;
    sobj->own = own;
    sobj->next = nullptr;
    sobj->owner = nullptr;
    sobj->parent = sobj->dependents = sobj->sibling_prev = sobj->sibling_next = nullptr;
    sobj->alias_key = nullptr;
    sobj->alias_prev = sobj->alias_next = nullptr;
    sobj->gone = nullptr;
    if (ptr && !own) aliases().add(sobj);
    // Every proxy keeps the capsule (and with it the registry's client data) alive while it lives,
    // whatever its own flag becomes later.
    Py_XINCREF(kivo::rt::owned_capsule());
    return reinterpret_cast<PyObject*>(sobj);
}

PyObject* SwigPyPacked_New(const void* data, std::size_t size, SwigTypeInfo* ty) {
    auto* sobj = PyObject_New(SwigPyPacked, SwigPyPacked_Type());
    if (!sobj) return nullptr;
    sobj->pack = PyMem_Malloc(size ? size : 1);
    if (!sobj->pack) {
        sobj->size = 0;
        Py_DECREF(sobj);
        return PyErr_NoMemory();
    }
    std::memcpy(sobj->pack, data, size);
    sobj->ty = ty;
    sobj->size = size;
    return reinterpret_cast<PyObject*>(sobj);
}

SwigPyObject* SwigPyObject_GetThis(PyObject* obj) {
    PyObject* cur = obj;
    for (int depth = 0; depth <= kMaxThisDepth; ++depth) {
        if (Py_TYPE(cur) == g_swig_proxy_type) return reinterpret_cast<SwigPyObject*>(cur);
        if (cannot_carry_this(cur)) return nullptr;
        if (kivo::rt::is_instance(cur)) {
            cur = reinterpret_cast<kivo::rt::Instance*>(cur)->this_;
            if (!cur) return nullptr;
            continue;
        }
        if (SwigPyObject_Check(cur)) return reinterpret_cast<SwigPyObject*>(cur);
        PyObject* value = PyObject_GetAttr(cur, kivo::rt::this_string());
        if (!value) {
            PyErr_Clear();
            return nullptr;
        }
        Py_DECREF(value);   // the instance keeps it alive
        cur = value;
    }
    return nullptr;
}

PyObject* SwigPyObject_NewPointerObject(void* ptr, SwigTypeInfo* ty, int flags) {
    return SwigPyObject_NewPointerObject(ptr, ty, flags, nullptr);
}

PyObject* SwigPyObject_NewPointerObject(void* ptr, SwigTypeInfo* ty, int flags, PyObject* owner,
                                        SwigTypeInfo* owner_ty) {
    if (!ptr) Py_RETURN_NONE;
    Ref robj(SwigPyObject_New(ptr, ty, flags & SwigNew_Own));
    if (!robj) return nullptr;
    if (owner) {
        auto* made = reinterpret_cast<SwigPyObject*>(robj.get());
        if (SwigPyObject* parent = SwigPyObject_Match(owner, owner_ty)) {
            adopt(made, parent, owner);
        } else {
            Py_INCREF(owner);
            made->owner = owner;
        }
    }
    SwigClientData* cd = ty ? ty->clientdata : nullptr;
    if (!cd || (flags & SwigNew_NoShadow)) return robj.release();

    Ref inst;
    if (cd->newraw) {
        inst.reset(PyObject_Call(cd->newraw, cd->newargs, nullptr));
    } else {
        auto tp = reinterpret_cast<PyTypeObject*>(cd->newargs);
        static PyObject* empty_args = PyTuple_New(0);   // kept for the life of the process
        auto tpnew = reinterpret_cast<newfunc>(PyType_GetSlot(tp, Py_tp_new));
        if (tpnew && empty_args) inst.reset(tpnew(tp, empty_args, nullptr));
    }
    if (inst && store_this(inst.get(), robj.get()) < 0) return nullptr;
    return inst.release();
}

PyObject* SwigPyObject_RegisterClass(SwigTypeInfo* ty, PyObject* arg) {
    PyObject* klass = arg;
    if (PyTuple_Check(arg)) {
        if (PyTuple_Size(arg) != 1) {
            PyErr_Format(PyExc_TypeError, "%s expected %s%d arguments, got %d", "swigregister", "", 1,
                         static_cast<int>(PyTuple_Size(arg)));
            return nullptr;
        }
        klass = PyTuple_GetItem(arg, 0);
    }
    auto* cd = new SwigClientData{};
    Py_INCREF(klass);
    cd->klass = klass;
    if (PyType_Check(klass)) {
        Py_INCREF(klass);
        cd->newargs = klass;
    } else {
        cd->newraw = PyObject_GetAttrString(klass, "__new__");
        if (cd->newraw) {
            cd->newargs = PyTuple_Pack(1, klass);
            if (!cd->newargs) {
                SwigRuntime_FreeClientData(cd);
                PyErr_Clear();
                cd = nullptr;
            }
        } else {
            PyErr_Clear();
            Py_INCREF(klass);
            cd->newargs = klass;
        }
    }
    if (cd) {
        cd->destroy = PyObject_GetAttrString(klass, "__swig_destroy__");
        if (PyErr_Occurred()) {
            PyErr_Clear();
            cd->destroy = nullptr;
        }
        cd->delargs = 0;
        if (cd->destroy) {
            int flags = PyCFunction_Check(cd->destroy) ? PyCFunction_GetFlags(cd->destroy) : 0;
            cd->delargs = !(flags & METH_O);
        }
    }
    // Replace an earlier registration, releasing what it held.
    SwigClientData* old = ty->owndata ? ty->clientdata : nullptr;
    if (old) {
        for (std::size_t i = 0; i < kivo::rt::this_module().size; ++i) {
            SwigTypeInfo* other = kivo::rt::this_module().types[i];
            if (other != ty && other->clientdata == old) other->clientdata = nullptr;
        }
        ty->clientdata = nullptr;
    }
    SwigRuntime_SetClientData(ty, cd);
    ty->owndata = cd ? 1 : 0;
    SwigRuntime_FreeClientData(old);
    Py_RETURN_NONE;
}

PyObject* SwigPyObject_InitShadow(PyObject* args) {
    if (!args) {
        PyErr_Format(PyExc_TypeError, "%s expected %s%d arguments, got none", "swiginit", "", 2);
        return nullptr;
    }
    if (!PyTuple_Check(args)) {
        PyErr_SetString(PyExc_SystemError, "UnpackTuple() argument list is not a tuple");
        return nullptr;
    }
    Py_ssize_t n = PyTuple_Size(args);
    if (n != 2) {
        PyErr_Format(PyExc_TypeError, "%s expected %s%d arguments, got %d", "swiginit", "", 2, static_cast<int>(n));
        return nullptr;
    }
    if (kivo::rt::attach_this(PyTuple_GetItem(args, 0), PyTuple_GetItem(args, 1)) < 0) return nullptr;
    Py_RETURN_NONE;
}

namespace kivo::rt {

PyTypeObject* instance_type() {
    SharedState* state = shared_state();
    return state ? state->instance_type : nullptr;
}

PyTypeObject* g_last_instance_type = nullptr;

void remember_instance_type(PyTypeObject* type) {
    Py_INCREF(type);
    PyTypeObject* old = g_last_instance_type;
    g_last_instance_type = type;
    Py_XDECREF(old);
}

bool sibling_match(PyObject* obj, SwigTypeInfo* ty, void** ptr) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (!g_state || tp == g_swig_proxy_type) return false;
    auto* sobj = reinterpret_cast<SwigPyObject*>(obj);
    for (int i = 0; i < g_state->proxy_count; ++i) {
        if (tp != g_state->proxy_types[i]) continue;
        if (sobj->ty != ty) return false;
        *ptr = sobj->ptr;
        return true;
    }
    return false;
}

bool is_instance(PyObject* op) {
    PyTypeObject* base = g_state ? g_state->instance_type : nullptr;
    return base && PyObject_TypeCheck(op, base);
}

int attach_this(PyObject* obj, PyObject* proxy) {
    // The common case: a new companion instance (its slot still empty) takes its proxy.
    if ((Py_TYPE(obj) == g_last_instance_type || is_instance(obj)) && !reinterpret_cast<Instance*>(obj)->this_) {
        Py_INCREF(proxy);
        reinterpret_cast<Instance*>(obj)->this_ = proxy;
        return 0;
    }
    if (SwigPyObject* sthis = SwigPyObject_GetThis(obj)) {
        return Ref(append_this(sthis, proxy)) ? 0 : -1;
    }
    return store_this(obj, proxy);
}

void register_destructor(PyCFunction delete_entry, void (*destroy)(void*), void (*forget)(void*), bool aliased,
                         bool with_gil) {
    if (delete_entry && destroy) {
        destructors()[reinterpret_cast<std::uintptr_t>(delete_entry)] = {destroy, forget, aliased, with_gil};
        forget_typed_memo();
    }
}

}  // namespace kivo::rt

void SwigPyObject_ClearPointer(SwigPyObject* proxy) {
    aliases().remove(proxy);
    proxy->ptr = nullptr;
}

void SwigPyObject_SetOwn(SwigPyObject* proxy, int own) {
    proxy->own = own;
    if (!own && proxy->ptr && !proxy->alias_key) aliases().add(proxy);
}

SwigPyObject* SwigPyObject_Match(PyObject* obj, SwigTypeInfo* ty, void** ptr) {
    if (!obj || obj == Py_None) return nullptr;
    SwigPyObject* sobj = SwigPyObject_GetThis(obj);
    while (sobj) {
        if (!ty || sobj->ty == ty) {
            if (ptr) *ptr = sobj->ptr;
            return sobj;
        }
        if (sobj->ty) {
            if (SwigCastInfo* cast = SwigRuntime_TypeCheck(sobj->ty->name, ty)) {
                int newmemory = 0;
                if (ptr) *ptr = SwigRuntime_TypeCast(cast, sobj->ptr, &newmemory);
                return sobj;
            }
        }
        sobj = (sobj->next && SwigPyObject_Check(sobj->next)) ? reinterpret_cast<SwigPyObject*>(sobj->next) : nullptr;
    }
    return nullptr;
}

// The released proxies are reached from the object's address (its other proxies) and from each
// released proxy's dependents, depth first; owned dependents are independent and stay. What the
// released proxies kept alive is let go once the walk is done, since that may end other proxies.
void SwigPyObject_Release(const void* object, SwigPyObject* given, const char* verb, bool name_given) {
    struct Reached {
        SwigPyObject* proxy;
        const SwigTypeInfo* root;   // the class of the proxy released at the start of its branch
    };
    SmallStack<Reached, 8> todo;
    SmallStack<PyObject*, 8> kept;
    auto let_go = [&](SwigPyObject* p) {
        if (PyObject* parent = leave_parent(p)) kept.push_back(parent);
        if (p->owner) kept.push_back(std::exchange(p->owner, nullptr));
    };
    auto invalidate = [&](SwigPyObject* p, const SwigTypeInfo* root, bool direct) {
        SwigPyObject_ClearPointer(p);
        p->own = 0;   // whatever it owned is gone
        p->gone = gone_text(verb, root, direct ? nullptr : p->ty);
        let_go(p);
        todo.push_back({p, root});
    };
    if (given) {
        if (name_given) {
            invalidate(given, given->ty, true);
        } else {
            SwigPyObject_ClearPointer(given);
            let_go(given);
            todo.push_back({given, given->ty});
        }
    }
    if (object) {
        while (SwigPyObject* p = aliases().find(object)) invalidate(p, p->ty, true);
    }
    while (!todo.empty()) {
        const Reached r = todo.pop();
        for (SwigPyObject *c = r.proxy->dependents, *next; c; c = next) {
            next = c->sibling_next;
            if (c->own == 1 || !c->ptr) continue;
            invalidate(c, r.root, false);
        }
    }
    while (!kept.empty()) Py_DECREF(kept.pop());
}

bool SwigPyObject_RaiseIfGone(const SwigPyObject* proxy) {
    if (!proxy || !proxy->gone) return false;
    PyErr_SetString(PyExc_ReferenceError, proxy->gone);
    return true;
}

bool SwigPyObject_RaiseIfReleased(PyObject* obj) {
    for (SwigPyObject* p = obj ? SwigPyObject_GetThis(obj) : nullptr; p;
         p = (p->next && SwigPyObject_Check(p->next)) ? reinterpret_cast<SwigPyObject*>(p->next) : nullptr)
        if (SwigPyObject_RaiseIfGone(p)) return true;
    return false;
}

void SwigPyObject_OwnByFirst(PyObject* const* objects, int count) {
    SwigPyObject* first = nullptr;
    PyObject* first_object = nullptr;
    for (int i = 0; i < count; ++i) {
        PyObject* o = objects[i];
        if (!o || cannot_carry_this(o) || kivo::rt::is_numpy_array(o)) continue;
        SwigPyObject* proxy = carried_proxy(o);
        if (!proxy) proxy = SwigPyObject_GetThis(o);   // an instance of a class of the caller's
        if (!proxy) continue;
        if (!first) {
            first = proxy;
            first_object = o;
        } else if (!proxy->owner && proxy->own != 1 && proxy != first) {
            adopt(proxy, first, first_object);
        }
    }
}
