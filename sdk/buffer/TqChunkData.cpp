#include "TqChunkData.h"

#include "TqMemoryBlocks.h"
#include "TqNoMemory.h"

// Memory: allocated (Alloc) or attached (Attach), never both; Alloc on attached memory and Attach
// on allocated memory fail with TQ_STATE_ERROR. Attached memory is taken as holding chunks over its
// whole length (as a block received, or chunks written by hand); allocated memory starts empty.
// Detach only gives attached memory back (nullptr otherwise, and nothing changes). ResetChunks
// keeps the layout ID.

TqChunkData::TqChunkData() = default;

TqChunkData::~TqChunkData() {
    if (mAllocated) TqMemoryBlocks::Release(mData);
}

uint64_t TqChunkData::GetChunkDataPayloadLength() const { return mChunks.GetUsed(); }

TqResult TqChunkData::Alloc(uint32_t aMaximumChunkLength) {
    if (mData != nullptr && !mAllocated) return TqResult(TQ_STATE_ERROR);
    if (aMaximumChunkLength == 0) {
        Free();
        return TqResult(TQ_OK);
    }
    uint8_t* data = TqMemoryBlocks::Allocate(aMaximumChunkLength);
    if (data == nullptr) return TqNoMemory::NoBlock("chunk data", aMaximumChunkLength);
    TqMemoryBlocks::Release(mData);   // ours or null here
    mData = data;
    mAllocated = true;
    mChunks.SetArea(mData, aMaximumChunkLength, 0);
    return TqResult(TQ_OK);
}

void TqChunkData::Free() {
    if (!mAllocated) return;
    TqMemoryBlocks::Release(mData);
    mData = nullptr;
    mAllocated = false;
    mChunks.SetArea(nullptr, 0, 0);
}

TqResult TqChunkData::Attach(void* aRawBuffer, uint32_t aLength) {
    if (mAllocated) return TqResult(TQ_STATE_ERROR);
    if (aRawBuffer == nullptr) return TqResult(TQ_INVALID_PARAMETER);
    mData = static_cast<uint8_t*>(aRawBuffer);
    mChunks.SetArea(mData, aLength, aLength);
    return TqResult(TQ_OK);
}

void* TqChunkData::Detach() {
    if (mAllocated || mData == nullptr) return nullptr;
    uint8_t* data = mData;
    mData = nullptr;
    mChunks.SetArea(nullptr, 0, 0);
    return data;
}

void TqChunkData::Show(uint8_t* aChunks, uint32_t aLength, uint32_t aLayoutID) {
    Free();
    mData = nullptr;
    mChunks.SetArea(aChunks, aLength, aLength);
    mChunks.mLayoutID = aLayoutID;
}

void TqChunkData::ResetChunks() { mChunks.Reset(); }

TqResult TqChunkData::AddChunk(uint32_t aID, const uint8_t* aData, uint32_t aLength) {
    return mChunks.Add(aID, aData, aLength, 0);
}

void TqChunkData::SetChunkLayoutID(uint32_t aChunkLayoutID) { mChunks.mLayoutID = aChunkLayoutID; }
bool TqChunkData::HasChunks() const { return mChunks.HasChunks(); }
uint32_t TqChunkData::GetChunkCount() { return mChunks.GetCount(); }
TqResult TqChunkData::GetChunkIDByIndex(uint32_t aIndex, uint32_t& aID) { return mChunks.GetIDByIndex(aIndex, aID); }
uint32_t TqChunkData::GetChunkSizeByIndex(uint32_t aIndex) { return mChunks.GetSizeByIndex(aIndex); }
uint32_t TqChunkData::GetChunkSizeByID(uint32_t aID) { return mChunks.GetSizeByID(aID); }
const uint8_t* TqChunkData::GetChunkRawDataByIndex(uint32_t aIndex) { return mChunks.GetDataByIndex(aIndex); }
const uint8_t* TqChunkData::GetChunkRawDataByID(uint32_t aID) { return mChunks.GetDataByID(aID); }
uint32_t TqChunkData::GetChunkLayoutID() { return mChunks.mLayoutID; }
uint32_t TqChunkData::GetChunkDataSize() const { return mChunks.GetUsed(); }
uint32_t TqChunkData::GetChunkDataCapacity() const { return mChunks.GetCapacity() - mChunks.GetUsed(); }
