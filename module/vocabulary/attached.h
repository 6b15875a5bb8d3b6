// Arrays that Python handed to the SDK as memory (every Attach): kept alive while the SDK object
// holds them, so the SDK never points into released memory, also when the array was a temporary
// copy made by the conversion. Keyed by the SDK object's address; used with the GIL held.
#pragma once

#include "policies.h"
#include "python.h"
#include "spelling.h"

namespace kivo::module {

// The object now holds array's memory (a reference is taken); an array it held before is released.
void keep_attached(const void* object, PyObject* array);
// The array the object held (a new reference, removed from the table), or null.
PyObject* take_attached(const void* object);
// Releases what the object held: its memory is no longer attached (or the object is gone).
void forget_attached(void* object);
// Parts of an object that go with it (the payloads a buffer makes on first use and deletes with
// itself): what is attached to a part is released when the object goes. A part is noted under a slot
// of its object, so the object's wrappers can find it again (a buffer's Reset empties its container).
void note_part(const void* object, unsigned slot, void* part);
// The part noted in the object's slot, or null.
void* part_in(const void* object, unsigned slot);
// The object is gone: what it and each of its parts held attached is released.
void forget_with_parts(void* object);
// The attached array whose memory holds the address (a new reference), with the bytes from the
// address to the array's end; null when no attached array holds it.
PyObject* attached_memory_at(const void* address, uint64_t& available);

// What the SDK holds of Python's (event sinks, stream sources, notifications, queued buffers, the
// adapter a port is open on): each object's Python side is kept alive while a holder (a device, a
// system, a register) keeps it, keyed by the holder's and the object's addresses. Taken when the SDK
// accepted it, given back when it is taken out, when the holder lets go of it or when the holder
// goes (forget_registered).
void keep_registered(const void* owner, const void* sink, PyObject* object);
// A holder that keeps one object at a time in a slot (a device's user-set notification): the object
// kept there before is let go; a null sink empties the slot.
void keep_in_slot(const void* owner, const void* slot, const void* sink, PyObject* object);
void drop_registered(const void* owner, const void* key);
// The object registered under (owner, key), removed from the table (a new reference), or null.
PyObject* take_registered(const void* owner, const void* key);
// The owner is gone, or let go of everything: all it kept is released.
void forget_registered(void* owner);

// Why an object that Python wants to delete is still the SDK's (a holder keeps it), or null. The
// delete entries consult it with the object's address as they converted it and as its proxy holds it.
const char* registered_with_sdk(const void* object);

// The table's keep and drop, for another module on the runtime that hands Python's objects to the SDK
// (the test module's log sinks): the module publishes them as the capsule named here.
struct HeldTable {
    void (*keep)(const void* owner, const void* sink, PyObject* object);
    void (*drop)(const void* owner, const void* key);
};
inline constexpr const char* kHeldCapsule = "_kivo_python64.__kivo_held__";
extern const HeldTable kHeldTable;

// From now on, what the SDK tells of objects it deleted or that let go of what they held reaches the
// proxies (a deleted object's raise ReferenceError) and this table (what such an object kept, or
// held attached, is given back). Set up once, by the module.
void follow_sdk_releases();

// ---- keep-alive as declared policies ----
// Registers<N>: once the call succeeded, the argument at position N (a sink, a queued buffer, the
// adapter a port opens on) stays alive while it is registered with self; Unregisters<N> lets it go.
// RegistersWith<H, N>: the same with the holder H finds (an object the call made) in place of self.
// What is registered with an owner goes with the owner too: its delete and its Free name
// forget_registered, and the SDK tells of the holders it deletes or that let go (follow_sdk_releases).
// KeepsAttached<N>: the array at position N stays alive while self holds its memory.
using HolderOf = const void* (*)(kivo::rt::CallFrame& f);
inline const void* self_holds(kivo::rt::CallFrame& f) { return f.self<void>(); }
void registered_at(kivo::rt::CallFrame& f, const void* holder, int position, bool ok);
void unregistered_at(kivo::rt::CallFrame& f, int position, bool ok);
void attached_at(kivo::rt::CallFrame& f, int position, bool ok);

template <int N, HolderOf H = &self_holds>
void kept_while_registered(kivo::rt::CallFrame& f, bool ok) {
    if (ok) registered_at(f, H(f), N, ok);
}
template <int N>
void let_go_when_unregistered(kivo::rt::CallFrame& f, bool ok) {
    unregistered_at(f, N, ok);
}
template <int N>
void kept_while_attached(kivo::rt::CallFrame& f, bool ok) {
    attached_at(f, N, ok);
}

template <int N = 2, class Base = kivo::rt::Default>
using Registers = kivo::rt::After<&kept_while_registered<N>, Base>;
template <HolderOf H, int N, class Base = kivo::rt::Default>
using RegistersWith = kivo::rt::After<&kept_while_registered<N, H>, Base>;
// KeepsOne<Slot, N>: self keeps one object at a time in the slot named Slot (a device's user-set
// notification): the argument at position N replaces the one kept before; None empties the slot.
template <kivo::rt::Text Slot>
inline constexpr char slot_key = 0;
template <kivo::rt::Text Slot, int N>
void kept_alone(kivo::rt::CallFrame& f, bool ok) {
    if (ok) keep_in_slot(f.self<void>(), &slot_key<Slot>, f.arg<void*>(N), f.item_at(N));
}
template <kivo::rt::Text Slot, int N = 2, class Base = kivo::rt::Default>
using KeepsOne = kivo::rt::After<&kept_alone<Slot, N>, Base>;
template <int N = 2, class Base = kivo::rt::Default>
using Unregisters = kivo::rt::After<&let_go_when_unregistered<N>, Base>;
template <int N = 2, class Base = kivo::rt::Default>
using KeepsAttached = kivo::rt::After<&kept_while_attached<N>, Base>;

}  // namespace kivo::module
