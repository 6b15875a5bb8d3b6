#include "TqBuffer.h"
#include "TqChunkData.h"
#include "TqChunkCodec.h"

#include "TqImage.h"
#include "TqMemoryBlocks.h"
#include "TqMultiPart.h"
#include "TqNoMemory.h"
#include "TqRawData.h"

#include <algorithm>

namespace {
TqResult InStream() { return TqResult(TQ_STATE_ERROR, TqString("the buffer is queued in a stream")); }
}  // namespace

// Memory and chunks:
// - New memory (Alloc, Attach, Free, Detach) has no payload yet: the payload length goes back to 0.
//   Alloc and AllocChunk get the new memory before letting go of the old, so a failure leaves the
//   buffer as it was.
// - Detach only gives attached memory back; on an allocated buffer it returns nullptr and keeps the
//   memory (Free releases it). Free leaves attached memory alone; neither touches the chunk area.
// - Chunks live in the chunk area when there is one, else in [payload length, size) of the memory.
//   Whenever that place moves or goes away the chunks written there are dropped; when it stays (a
//   change of memory while the chunks are in the chunk area, the same payload length again) they
//   are kept.
// - Reset(type) drops the chunks, the payload length and the layout ID and keeps the memory and the
//   chunk area; ResetChunks drops the chunks only.
// - An image buffer whose chunks follow the payload keeps the bytes of the main chunk's trailer out
//   of the room and counts them in GetChunkDataSize once there are chunks; nothing is written there.
// - The payload objects (GetImage, GetRawData, GetMultiPartContainer) are made on first use and
//   live as long as the buffer; Reset to another payload type keeps them, but only the one of the
//   current type is handed out. Reset to any type empties the multi-part container (no parts, their
//   memory freed or detached).

TqBuffer::TqBuffer(TqPayloadType aPayloadType) : mPayloadType(aPayloadType) {}

TqBuffer::~TqBuffer() {
    delete mImage;
    delete mRawData;
    delete mChunkData;
    delete mMultiPart;
    delete mH264;
    delete mCompressed;
    if (mAllocated) TqMemoryBlocks::Release(mData);
    TqMemoryBlocks::Release(mChunkArea);
}

TqResult TqBuffer::Reset(TqPayloadType aPayloadType) {
    if (IsInStream()) return InStream();
    mPayloadType = aPayloadType;
    mPayloadLength = 0;
    mID = 0;
    mReception = TqBufferReception{};
    mChunks.mLayoutID = 0;
    PlaceChunks();
    mChunks.Reset();
    if (mMultiPart != nullptr) mMultiPart->Reset();
    mPartsInMemory = false;
    return TqResult(TQ_OK);
}

void TqBuffer::MemoryChanged() {
    if (!mPartsInMemory) return;
    mMultiPart->Reset();
    mPartsInMemory = false;
}

TqResult TqBuffer::Alloc(uint32_t aSize) {
    if (IsInStream()) return InStream();
    if (mAttached) return TqResult(TQ_STATE_ERROR);
    if (aSize == 0) {
        Free();
        return TqResult(TQ_OK);
    }
    uint8_t* data = TqMemoryBlocks::Allocate(aSize);
    if (data == nullptr) return TqNoMemory::NoBlock("a buffer", aSize);
    MemoryChanged();
    TqMemoryBlocks::Release(mData);   // mData is ours or null here
    mData = data;
    mSize = aSize;
    mAllocated = true;
    mPayloadLength = 0;
    PlaceChunks();
    return TqResult(TQ_OK);
}

TqResult TqBuffer::AllocChunk(uint32_t aSize) {
    if (IsInStream()) return InStream();
    if (aSize == 0) {
        FreeChunk();
        return TqResult(TQ_OK);
    }
    uint8_t* area = TqMemoryBlocks::Allocate(aSize);
    if (area == nullptr) return TqNoMemory::NoBlock("a chunk area", aSize);
    TqMemoryBlocks::Release(mChunkArea);
    mChunkArea = area;
    mChunkAreaSize = aSize;
    PlaceChunks();
    return TqResult(TQ_OK);
}

void TqBuffer::Free() {
    if (!mAllocated || IsInStream()) return;
    MemoryChanged();
    TqMemoryBlocks::Release(mData);
    mData = nullptr;
    mSize = 0;
    mAllocated = false;
    mPayloadLength = 0;
    PlaceChunks();
}

void TqBuffer::FreeChunk() {
    if (mChunkArea == nullptr || IsInStream()) return;
    TqMemoryBlocks::Release(mChunkArea);
    mChunkArea = nullptr;
    mChunkAreaSize = 0;
    PlaceChunks();
}

TqResult TqBuffer::Attach(void* aBuffer, uint32_t aSize) {
    if (IsInStream()) return InStream();
    if (mAllocated) return TqResult(TQ_STATE_ERROR);
    if (aBuffer == nullptr) return TqResult(TQ_INVALID_PARAMETER);
    MemoryChanged();
    mData = static_cast<uint8_t*>(aBuffer);
    mSize = aSize;
    mAttached = true;
    mPayloadLength = 0;
    PlaceChunks();
    return TqResult(TQ_OK);
}

uint8_t* TqBuffer::Detach() {
    if (!mAttached || IsInStream()) return nullptr;
    MemoryChanged();
    uint8_t* data = mData;
    mData = nullptr;
    mSize = 0;
    mAttached = false;
    mPayloadLength = 0;
    PlaceChunks();
    return data;
}

TqImage* TqBuffer::GetImage() {
    if (mPayloadType != TqPayloadTypeImage) return nullptr;
    if (mImage == nullptr) mImage = new TqImage(this);
    return mImage;
}
const TqImage* TqBuffer::GetImage() const { return const_cast<TqBuffer*>(this)->GetImage(); }

TqRawData* TqBuffer::GetRawData() {
    if (mPayloadType != TqPayloadTypeRawData) return nullptr;
    if (mRawData == nullptr) mRawData = new TqRawData(this);
    return mRawData;
}
const TqRawData* TqBuffer::GetRawData() const { return const_cast<TqBuffer*>(this)->GetRawData(); }

// A chunk-data payload keeps its chunks in memory of its own (Alloc or Attach on it).
TqChunkData* TqBuffer::GetChunkData() {
    if (mPayloadType != TqPayloadTypeChunkData) return nullptr;
    if (mChunkData == nullptr) mChunkData = new TqChunkData;
    return mChunkData;
}
const TqChunkData* TqBuffer::GetChunkData() const { return const_cast<TqBuffer*>(this)->GetChunkData(); }

ITqMultiPartContainer* TqBuffer::GetMultiPartContainer() {
    if (mPayloadType != TqPayloadTypeMultiPart) return nullptr;
    if (mMultiPart == nullptr) mMultiPart = new TqMultiPartContainerImpl(mPayloadType, mReception);
    return mMultiPart;
}
const ITqMultiPartContainer* TqBuffer::GetMultiPartContainer() const {
    return const_cast<TqBuffer*>(this)->GetMultiPartContainer();
}

ITqH264AccessUnit* TqBuffer::GetH264AccessUnit() {
    if (mPayloadType != TqPayloadTypeH264) return nullptr;
    if (mH264 == nullptr) mH264 = new ITqH264AccessUnit;
    mH264->mLength = mPayloadLength;
    return mH264;
}
const ITqH264AccessUnit* TqBuffer::GetH264AccessUnit() const {
    return const_cast<TqBuffer*>(this)->GetH264AccessUnit();
}

TqZelvraCompressed* TqBuffer::GetZelvraCompressed() {
    if (mPayloadType != TqPayloadTypeZelvraCompressed) return nullptr;
    if (mCompressed == nullptr) mCompressed = new TqZelvraCompressed;
    mCompressed->mLength = mPayloadLength;
    return mCompressed;
}
const TqZelvraCompressed* TqBuffer::GetZelvraCompressed() const {
    return const_cast<TqBuffer*>(this)->GetZelvraCompressed();
}

// Identity and times: a sender sets them for the leader of the block it sends. Any buffer takes any
// 64-bit block ID; a sender without extended IDs puts its low 16 bits on the wire.
TqResult TqBuffer::SetBlockID(uint64_t aBlockID) {
    mReception.mBlockID = aBlockID;
    return TqResult(TQ_OK);
}

TqResult TqBuffer::SetTimestamp(uint64_t aTimestamp) {
    mReception.mTimestamp = aTimestamp;
    return TqResult(TQ_OK);
}

TqResult TqBuffer::SetReceptionTime(uint64_t aReceptionTime) {
    mReception.mReceptionTime = aReceptionTime;
    return TqResult(TQ_OK);
}

TqResult TqBuffer::SetDuration(uint64_t aDuration) {
    mReception.mDuration = aDuration;
    return TqResult(TQ_OK);
}

TqResult TqBuffer::GetMissingPacketIdsCount(uint32_t& aCount) {
    aCount = static_cast<uint32_t>(mReception.mMissingPacketGroups.size());
    return TqResult(TQ_OK);
}

TqResult TqBuffer::GetMissingPacketIds(uint32_t aIndex, uint32_t& aLow, uint32_t& aHigh) {
    if (aIndex >= mReception.mMissingPacketGroups.size()) return TqResult(TQ_NOT_FOUND);
    aLow = mReception.mMissingPacketGroups[aIndex].first;
    aHigh = mReception.mMissingPacketGroups[aIndex].second;
    return TqResult(TQ_OK);
}

void TqBuffer::SetReception(TqPayloadType aPayloadType, const TqBufferReception& aReception) {
    mPayloadType = aPayloadType;
    mReception = aReception;
}

TqResult TqBuffer::SetPayloadLength(uint32_t aLength) {
    if (aLength > mSize) return TqResult(TQ_INVALID_PARAMETER);
    mPayloadLength = aLength;
    PlaceChunks();
    return TqResult(TQ_OK);
}

void TqBuffer::SetReceivedChunks(uint32_t aPayloadLength, uint32_t aChunksAt, uint32_t aChunkBytes,
                                 uint32_t aLayoutID) {
    mPayloadLength = std::min(aPayloadLength, mSize);
    const bool fits = mData != nullptr && aChunkBytes && aChunksAt <= mSize && aChunkBytes <= mSize - aChunksAt;
    if (fits) {
        mChunks.SetArea(mData + aChunksAt, mSize - aChunksAt, aChunkBytes);
    } else {
        PlaceChunks();
        mChunks.Reset();
    }
    mChunks.mLayoutID = aLayoutID;
    if (mPayloadType == TqPayloadTypeChunkData)
        GetChunkData()->Show(fits ? mData + aChunksAt : nullptr, fits ? aChunkBytes : 0, aLayoutID);
}

TqResult TqBuffer::SetReceivedParts(const std::vector<TqReceivedPart>& aParts) {
    auto* container = static_cast<TqMultiPartContainerImpl*>(GetMultiPartContainer());
    if (container == nullptr) return TqResult(TQ_NOT_SUPPORTED);
    mPartsInMemory = true;
    return container->Receive(aParts, mData, mSize);
}

void TqBuffer::PlaceChunks() {
    uint8_t* area = nullptr;
    uint32_t capacity = 0;
    if (mChunkArea != nullptr) {
        area = mChunkArea;
        capacity = mChunkAreaSize;
    } else if (mData != nullptr) {
        area = mData + mPayloadLength;
        capacity = mSize - mPayloadLength;
    }
    if (area == mChunks.GetArea() && capacity == mChunks.GetCapacity()) return;   // same place: keep
    mChunks.SetArea(area, capacity, 0);
}

uint32_t TqBuffer::MainChunkReserve() const {
    return mPayloadType == TqPayloadTypeImage && mChunkArea == nullptr ? uint32_t(TqChunk::kTrailerSize) : 0;
}

void TqBuffer::ResetChunks() { mChunks.Reset(); }

TqResult TqBuffer::AddChunk(uint32_t aID, const uint8_t* aData, uint32_t aLength) {
    return mChunks.Add(aID, aData, aLength, MainChunkReserve());
}

void TqBuffer::SetChunkLayoutID(uint32_t aChunkLayoutID) { mChunks.mLayoutID = aChunkLayoutID; }
bool TqBuffer::HasChunks() const { return mChunks.HasChunks(); }
uint32_t TqBuffer::GetChunkCount() { return mChunks.GetCount(); }
TqResult TqBuffer::GetChunkIDByIndex(uint32_t aIndex, uint32_t& aID) { return mChunks.GetIDByIndex(aIndex, aID); }
uint32_t TqBuffer::GetChunkSizeByIndex(uint32_t aIndex) { return mChunks.GetSizeByIndex(aIndex); }
uint32_t TqBuffer::GetChunkSizeByID(uint32_t aID) { return mChunks.GetSizeByID(aID); }
const uint8_t* TqBuffer::GetChunkRawDataByIndex(uint32_t aIndex) { return mChunks.GetDataByIndex(aIndex); }
const uint8_t* TqBuffer::GetChunkRawDataByID(uint32_t aID) { return mChunks.GetDataByID(aID); }
uint32_t TqBuffer::GetChunkLayoutID() { return mChunks.mLayoutID; }

uint32_t TqBuffer::GetChunkDataSize() const {
    return mChunks.HasChunks() ? mChunks.GetUsed() + MainChunkReserve() : 0;
}

uint32_t TqBuffer::GetChunkDataCapacity() const {
    uint64_t taken = uint64_t{mChunks.GetUsed()} + MainChunkReserve();
    return taken < mChunks.GetCapacity() ? static_cast<uint32_t>(mChunks.GetCapacity() - taken) : 0;
}
