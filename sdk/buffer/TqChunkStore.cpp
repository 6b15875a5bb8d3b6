#include "TqChunkStore.h"

#include "TqChunkCodec.h"

#include <algorithm>

// The store keeps no picture of its chunks between calls: the area may be written to by others at
// any time (Python holds views of it), so every query reads the used part again from its end. Only
// mUsed is the store's own: it never exceeds the capacity, and every trailer read lies inside
// [mArea, mArea + mUsed), whatever the bytes say. A used part that does not hold together as a chunk
// layout holds no chunks.
//
// Reserved bytes (the main chunk of an image buffer) are accounting only: nothing is written for
// them, the first chunk still starts at the area's start, but they stay taken out of the room for
// as long as the caller passes them.

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
    TqChunk::Writer writer(mArea, mCapacity, mUsed);
    if (!writer.Append(aID, aData, aLength, aReserved)) return TqResult(TQ_BUFFER_TOO_SMALL);
    mUsed = static_cast<uint32_t>(writer.Used());
    return TqResult(TQ_OK);
}

const std::vector<TqChunkStore::Chunk>& TqChunkStore::Parse() {
    mChunks.clear();
    if (mArea == nullptr) return mChunks;
    if (const auto chunks = TqChunk::Chunks({mArea, mUsed}))
        for (const TqChunk::Chunk& chunk : *chunks)
            mChunks.push_back({chunk.id, static_cast<uint32_t>(chunk.offset), chunk.length});
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
