// What the runtime keeps between calls for reuse (native objects made from Python values) is let go
// at each garbage collection and when finalisation begins: nothing it holds outlives a collection.
#pragma once

#include "python.h"

namespace kivo::rt {

// Runs drop (with the GIL held) at the start of every collection of Python's garbage collector and
// once when finalisation begins. A function registered twice runs once. False with an error set.
bool drop_at_collection(void (*drop)());

}  // namespace kivo::rt
