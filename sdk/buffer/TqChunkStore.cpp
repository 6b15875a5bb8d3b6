#include "TqChunkStore.h"

#include "TqWireBytes.h"

#include <algorithm>
#include <cstring>

// The store keeps no picture of its chunks between calls: the area may be written to by others at
// any time (Python holds views of it), so every query reads the used part again from its end. Only
// mUsed is the store's own: it never exceeds the capacity, and every trailer read lies inside
// [mArea, mArea + mUsed), whatever the bytes say.
//
// Reserved bytes (the main chunk of an image buffer) are accounting only: nothing is written for
// them, the first chunk still starts at the area's start, but they stay taken out of the room for
// as long as the caller passes them.

namespace {

constexpr uint32_t kTrailerSize = 8;

}  // namespace

void TqChunkStore::SetArea(uint8_t* aArea, uint32_t aCapacity, uint32_t aUsed) {
    mArea = aArea;
    mCapacity = aArea ? aCapacity : 0;
    mUsed = std::min(aUsed, mCapacity);
    mChunks.clear();
}

// Empties the chunk set; the area and the layout ID stay.
void TqChunkStore::Reset() {
    mUsed = 0;
    mChunks.clear();
}

TqResult TqChunkStore::Add(uint32_t aID, const uint8_t* aData, uint32_t aLength, uint32_t aReserved) {
    if (aData == nullptr && aLength > 0) return TqResult(TQ_INVALID_PARAMETER);
    if (mArea == nullptr) return TqResult(TQ_BUFFER_TOO_SMALL);
    uint64_t needed = uint64_t{mUsed} + aReserved + aLength + kTrailerSize;
    if (needed > mCapacity) return TqResult(TQ_BUFFER_TOO_SMALL);

    uint8_t* at = mArea + mUsed;
    if (aLength > 0) std::memmove(at, aData, aLength);   // the data may come from this very area
    TqWire::Put32(at + aLength, aID);
    TqWire::Put32(at + aLength + 4, aLength);
    mUsed += aLength + kTrailerSize;
    return TqResult(TQ_OK);
}

const std::vector<TqChunkStore::Chunk>& TqChunkStore::Parse() {
    mChunks.clear();
    if (mArea == nullptr) return mChunks;
    // From the end of the used part backwards; a trailer whose data would reach before the start
    // ends the walk, keeping the chunks behind it.
    uint32_t end = mUsed;
    while (end >= kTrailerSize) {
        const uint8_t* trailer = mArea + end - kTrailerSize;
        uint32_t id = TqWire::Get32(trailer);
        uint32_t length = TqWire::Get32(trailer + 4);
        uint32_t before = end - kTrailerSize;
        if (length > before) break;
        uint32_t offset = before - length;
        mChunks.push_back({id, offset, length});
        end = offset;
    }
    std::reverse(mChunks.begin(), mChunks.end());
    return mChunks;
}

uint32_t TqChunkStore::GetCount() { return static_cast<uint32_t>(Parse().size()); }

TqResult TqChunkStore::GetIDByIndex(uint32_t aIndex, uint32_t& aID) {
    const std::vector<Chunk>& chunks = Parse();
    if (aIndex >= chunks.size()) {
        aID = 0;
        return TqResult(TQ_NOT_FOUND);
    }
    aID = chunks[aIndex].id;
    return TqResult(TQ_OK);
}

uint32_t TqChunkStore::GetSizeByIndex(uint32_t aIndex) {
    const std::vector<Chunk>& chunks = Parse();
    return aIndex < chunks.size() ? chunks[aIndex].length : 0;
}

uint32_t TqChunkStore::GetSizeByID(uint32_t aID) {
    for (const Chunk& chunk : Parse())
        if (chunk.id == aID) return chunk.length;
    return 0;
}

const uint8_t* TqChunkStore::GetDataByIndex(uint32_t aIndex) {
    const std::vector<Chunk>& chunks = Parse();
    return aIndex < chunks.size() ? mArea + chunks[aIndex].offset : nullptr;
}

const uint8_t* TqChunkStore::GetDataByID(uint32_t aID) {
    for (const Chunk& chunk : Parse())
        if (chunk.id == aID) return mArea + chunk.offset;
    return nullptr;
}
