// The SDK's data buffer: the memory one block is received into or sent from, with its metadata.
//
// Memory: none, allocated by the buffer (Alloc, released by Free) or attached from outside (Attach,
// released by Detach). GetSize is the capacity of that memory. Chunks are written after the payload
// (GetPayloadLength bytes, 0 for a buffer built locally) or, once AllocChunk gave the buffer a
// chunk area of its own, into that area.
#pragma once

#include "ITqChunkData.h"
#include "TqBufferExport.h"
#include "TqBufferReception.h"
#include "TqChunkStore.h"
#include "TqEnums.h"
#include "TqLiveObjects.h"
#include "TqPayloads.h"

#include <atomic>
#include <vector>

class TqImage;
class TqRawData;
class TqChunkData;

class TQ_BUFFER_API TqBuffer : public ITqChunkData {
public:
    TqBuffer(TqPayloadType aPayloadType = TqPayloadTypeImage);
    virtual ~TqBuffer();
    TqBuffer(const TqBuffer&) = delete;   // owns its memory and payload objects
    TqBuffer& operator=(const TqBuffer&) = delete;

    TqResult Reset(TqPayloadType aPayloadType = TqPayloadTypeImage);
    TqPayloadType GetPayloadType() const { return mPayloadType; }

    TqResult Alloc(uint32_t aSize);
    TqResult AllocChunk(uint32_t aSize);
    void Free();
    void FreeChunk();
    TqResult Attach(void* aBuffer, uint32_t aSize);
    uint8_t* Detach();
    const uint8_t* GetDataPointer() const { return mData; }
    uint8_t* GetDataPointer() { return mData; }
    bool IsAttached() const { return mAttached; }
    bool IsAllocated() const { return mAllocated; }
    uint32_t GetSize() const { return mSize; }

    // The payload interfaces the buffer owns, each handed out only for its payload type (else null).
    TqImage* GetImage();
    const TqImage* GetImage() const;
    TqRawData* GetRawData();
    const TqRawData* GetRawData() const;
    TqChunkData* GetChunkData();
    const TqChunkData* GetChunkData() const;
    ITqMultiPartContainer* GetMultiPartContainer();
    const ITqMultiPartContainer* GetMultiPartContainer() const;
    ITqH264AccessUnit* GetH264AccessUnit();
    const ITqH264AccessUnit* GetH264AccessUnit() const;
    TqZelvraCompressed* GetZelvraCompressed();
    const TqZelvraCompressed* GetZelvraCompressed() const;

    // The block's identity, times and reception.
    uint64_t GetID() const { return mID; }
    void SetID(uint64_t aID) { mID = aID; }
    bool IsExtendedID() const { return mReception.mExtendedID; }
    uint64_t GetBlockID() const { return mReception.mBlockID; }
    TqResult SetBlockID(uint64_t aBlockID);
    uint64_t GetTimestamp() const { return mReception.mTimestamp; }
    TqResult SetTimestamp(uint64_t aTimestamp);
    uint64_t GetReceptionTime() const { return mReception.mReceptionTime; }
    TqResult SetReceptionTime(uint64_t aReceptionTime);
    uint64_t GetDuration() const { return mReception.mDuration; }
    TqResult SetDuration(uint64_t aDuration);
    TqResult GetOperationResult() const { return TqResult(mReception.mOperationResult); }
    uint32_t GetAcquiredSize() const { return mReception.mAcquiredSize; }
    uint32_t GetRequiredSize() const { return mReception.mRequiredSize; }
    uint32_t GetPayloadSize() const { return mReception.mPayloadSize; }
    bool IsHeaderValid() const { return mReception.mHeaderValid; }
    bool IsTrailerValid() const { return mReception.mTrailerValid; }
    bool IsLargeLeaderTrailerEnabled() const { return mReception.mLargeLeaderTrailer; }
    uint32_t GetPacketsRecoveredCount() const { return mReception.mPacketsRecovered; }
    uint32_t GetPacketsRecoveredSingleResendCount() const { return mReception.mPacketsRecoveredSingleResend; }
    uint32_t GetResendGroupRequestedCount() const { return mReception.mResendGroupsRequested; }
    uint32_t GetResendPacketRequestedCount() const { return mReception.mResendPacketsRequested; }
    uint32_t GetLostPacketCount() const { return mReception.mLostPackets; }
    uint32_t GetIgnoredPacketCount() const { return mReception.mIgnoredPackets; }
    uint32_t GetRedundantPacketCount() const { return mReception.mRedundantPackets; }
    uint32_t GetPacketOutOfOrderCount() const { return mReception.mPacketsOutOfOrder; }
    TqResult GetMissingPacketIdsCount(uint32_t& aCount);
    // The first and last ID of a group of missing packets; a last ID of 0xFFFFFF (0xFFFFFFFF with
    // extended IDs) means the block's last packet is missing.
    TqResult GetMissingPacketIds(uint32_t aIndex, uint32_t& aLow, uint32_t& aHigh);

    // What a receiver records (the payload type too).
    void SetReception(TqPayloadType aPayloadType, const TqBufferReception& aReception);
    // What a receiver found in the block's payload (the stand-in's own interface, after SetReception):
    // the main payload's length, and the chunks at aChunksAt (aChunkBytes of them, none when 0) with
    // their layout ID; of a chunk-data block its TqChunkData shows the same chunks.
    void SetReceivedChunks(uint32_t aPayloadLength, uint32_t aChunksAt, uint32_t aChunkBytes, uint32_t aLayoutID);
    // The parts of a multi-part block, their data where it lies in the memory, as the container's
    // parts (the first TqMultiPartMaxParts); TQ_ERR_OVERFLOW when there are more,
    // TQ_INVALID_DATA_FORMAT for a part the container cannot describe (the parts before it stay).
    TqResult SetReceivedParts(const std::vector<TqReceivedPart>& aParts);
    // Whether the buffer is filled for a channel with extended IDs, whose block IDs go out whole (the
    // stand-in's own interface, for senders).
    void SetExtendedID(bool aExtended) { mReception.mExtendedID = aExtended; }

    // A stream holds the buffer from QueueBuffer until RetrieveBuffer gives it back (the stand-in's
    // own interface): meanwhile its receiver writes into the memory, so the memory stays where it is.
    // Alloc, AllocChunk, Attach and Reset answer TQ_STATE_ERROR, Free, FreeChunk and Detach change
    // nothing. EnterStream is false when a stream holds the buffer already.
    bool EnterStream() { return !mInStream.exchange(true); }
    void LeaveStream() { mInStream = false; }
    bool IsInStream() const { return mInStream; }

    // The bytes of the main payload in the memory (set by whoever fills the buffer).
    uint32_t GetPayloadLength() const { return mPayloadLength; }
    TqResult SetPayloadLength(uint32_t aLength);
    // The chunks as they lie in memory (the stand-in's own interface, for senders): where the area
    // that holds them begins, and how many of its bytes they take (0: no chunks).
    const uint8_t* GetChunkBytes() const { return mChunks.GetArea(); }
    uint32_t GetChunkBytesUsed() const { return mChunks.GetUsed(); }
    // The size of the chunk area AllocChunk gave (0: none; the stand-in's own interface).
    uint32_t GetChunkAreaSize() const { return mChunkAreaSize; }

    // ITqChunkData
    void ResetChunks() override;
    TqResult AddChunk(uint32_t aID, const uint8_t* aData, uint32_t aLength) override;
    void SetChunkLayoutID(uint32_t aChunkLayoutID) override;
    bool HasChunks() const override;
    uint32_t GetChunkCount() override;
    TqResult GetChunkIDByIndex(uint32_t aIndex, uint32_t& aID) override;
    uint32_t GetChunkSizeByIndex(uint32_t aIndex) override;
    uint32_t GetChunkSizeByID(uint32_t aID) override;
    const uint8_t* GetChunkRawDataByIndex(uint32_t aIndex) override;
    const uint8_t* GetChunkRawDataByID(uint32_t aID) override;
    uint32_t GetChunkLayoutID() override;
    uint32_t GetChunkDataSize() const override;
    uint32_t GetChunkDataCapacity() const override;

private:
    void PlaceChunks();   // points the chunk store at the chunk area or after the payload
    void MemoryChanged(); // parts received into the memory are gone with it
    uint32_t MainChunkReserve() const;

    TqPayloadType mPayloadType;
    uint8_t* mData = nullptr;
    uint32_t mSize = 0;
    bool mAllocated = false;
    bool mAttached = false;
    uint32_t mPayloadLength = 0;
    uint8_t* mChunkArea = nullptr;
    uint32_t mChunkAreaSize = 0;
    TqChunkStore mChunks;
    TqImage* mImage = nullptr;
    TqRawData* mRawData = nullptr;
    TqChunkData* mChunkData = nullptr;
    ITqMultiPartContainer* mMultiPart = nullptr;   // made on first use; Reset empties it
    bool mPartsInMemory = false;   // its parts lie in mData (received)
    ITqH264AccessUnit* mH264 = nullptr;
    TqZelvraCompressed* mCompressed = nullptr;
    uint64_t mID = 0;
    TqBufferReception mReception;
    std::atomic<bool> mInStream{false};
    TqLiveObjects::Counter mCounter{"TqBuffer"};
};
