// Memory the SDK shows to applications (buffer memory, chunk areas, multi-part blocks and parts, event
// data) comes in blocks that count their holders. The SDK object that uses a block holds it from
// Allocate to Release; an application that keeps a view of the memory takes a hold of its own, so
// the block outlives whichever lets go last and a view never points into freed memory.
#pragma once

#include "TqBaseExport.h"

#include <cstdint>

namespace TqMemoryBlocks {

// A new zero-filled block of aSize bytes (at least one), aligned to 16 bytes and held once by the
// caller; nullptr when memory runs out.
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

}  // namespace TqMemoryBlocks
