// Memory the SDK shows to applications (buffer memory, chunk areas, multi-part blocks and parts, event
// data) comes in blocks that count their holders. The SDK object that uses a block holds it from
// Allocate to Release; an application that keeps a view of the memory takes a hold of its own, so
// the block outlives whichever lets go last and a view never points into freed memory.
#pragma once

#include "TqBaseExport.h"

#include <cstdint>

namespace TqMemoryBlocks {

// A new zero-filled block of aSize bytes (at least one), aligned to 16 bytes and held once by the
// caller; nullptr when memory runs out, or when a block of 2 MiB or more (a mapping of its own) is beyond
// Ceiling().
TQ_BASE_API uint8_t* Allocate(uint64_t aSize) noexcept;

// Lets go of the hold Allocate gave; aBlock is the address it returned (nullptr: nothing).
TQ_BASE_API void Release(uint8_t* aBlock) noexcept;

// A further hold on the block that contains aAddress, with the bytes from aAddress to the block's
// end in aAvailable; nullptr (aAvailable 0) when aAddress lies in no live block.
TQ_BASE_API const void* Hold(const void* aAddress, uint64_t& aAvailable) noexcept;

// Lets go of a hold Hold gave.
TQ_BASE_API void Drop(const void* aHold) noexcept;

// A block held by one owner for as long as it lives (the hold of Allocate, released on destruction).
class Owned {
public:
    explicit Owned(uint64_t aSize) : mData(Allocate(aSize)) {}
    ~Owned() { Release(mData); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    uint8_t* data() const { return mData; }

private:
    uint8_t* mData;
};

// Blocks allocated and not yet freed (held by the SDK or by an application), for tests.
TQ_BASE_API uint64_t LiveBlocks() noexcept;

// ---- what the process may still be given ----
//
// A size that comes from an application or a peer is held against this before anything is sized from
// it: the machine's memory and swap less the bytes of the blocks alive, and, when the process has an
// address-space limit (RLIMIT_AS) or a data limit (RLIMIT_DATA), the room left under each. A bound,
// not a promise: other processes and the rest of this one use memory too.
TQ_BASE_API uint64_t Ceiling() noexcept;

// Whether aCount items of aEach bytes stay within Ceiling() (a product past 2^64 never does).
TQ_BASE_API bool Affordable(uint64_t aCount, uint64_t aEach) noexcept;

}  // namespace TqMemoryBlocks
