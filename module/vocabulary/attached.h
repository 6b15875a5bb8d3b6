// Arrays that Python handed to the SDK as memory (every Attach): kept alive while the SDK object
// holds them, so the SDK never points into released memory, also when the array was a temporary
// copy made by the conversion. Keyed by the SDK object's address; used with the GIL held.
#pragma once

#include "policies.h"
#include "python.h"

namespace kivo::module {

// The object now holds array's memory (a reference is taken); an array it held before is released.
void keep_attached(const void* object, PyObject* array);
// The array the object held (a new reference, removed from the table), or null.
PyObject* take_attached(const void* object);
// Releases what the object held: its memory is no longer attached (or the object is gone).
void forget_attached(void* object);
// The attached array whose memory holds the address (a new reference), with the bytes from the
// address to the array's end; null when no attached array holds it.
PyObject* attached_memory_at(const void* address, uint64_t& available);

// Event sinks that Python registered with an SDK object (a device, a system): each sink's Python
// object is kept alive while it is registered, keyed by the owner's and the sink's addresses.
void keep_registered(const void* owner, const void* sink, PyObject* object);
void drop_registered(const void* owner, const void* sink);
// The object registered under (owner, sink), removed from the table (a new reference), or null.
PyObject* take_registered(const void* owner, const void* sink);
// The owner is gone: everything registered with it is released.
void forget_registered(void* owner);

// Why an object that Python wants to delete is still the SDK's (it is registered with an owner: a
// sink, a queued buffer, an adapter a port is open on), or null. The delete entries consult it.
const char* registered_with_sdk(const void* object);

// ---- keep-alive as declared policies ----
// Registers<N>: once the call succeeded, the argument at position N (a sink, a queued buffer, the
// adapter a port opens on) stays alive while it is registered with self; Unregisters<N> lets it go.
// What is registered with an owner goes with the owner too: its delete and its Free name
// forget_registered. KeepsAttached<N>: the array at position N stays alive while self holds its memory.
void registered_at(kivo::rt::CallFrame& f, int position, bool ok);
void unregistered_at(kivo::rt::CallFrame& f, int position, bool ok);
void attached_at(kivo::rt::CallFrame& f, int position, bool ok);

template <int N>
void kept_while_registered(kivo::rt::CallFrame& f, bool ok) {
    registered_at(f, N, ok);
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
template <int N = 2, class Base = kivo::rt::Default>
using Unregisters = kivo::rt::After<&let_go_when_unregistered<N>, Base>;
template <int N = 2, class Base = kivo::rt::Default>
using KeepsAttached = kivo::rt::After<&kept_while_attached<N>, Base>;

}  // namespace kivo::module
