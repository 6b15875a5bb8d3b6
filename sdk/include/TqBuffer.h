// The SDK's data buffer: the memory one block is received into or sent from, with its metadata.
//
// Memory: none, allocated by the buffer (Alloc, released by Free) or attached from outside (Attach,
// released by Detach). GetSize is the capacity of that memory. Chunks are written after the payload
// (GetPayloadLength bytes, 0 for a buffer built locally) or, once AllocChunk gave the buffer a
// chunk area of its own, into that area.
#pragma once

#include "ITqChunkData.h"
#include "TqBufferExport.h"
#include "TqChunkStore.h"
#include "TqEnums.h"
#include "TqLiveObjects.h"

class TqImage;
class TqRawData;

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

    // The payload interfaces the buffer owns: the image of an image buffer, the raw data of a raw-data
    // buffer; null when the payload type is another.
    TqImage* GetImage();
    TqRawData* GetRawData();

    // The bytes of the main payload in the memory (set by whoever fills the buffer).
    uint32_t GetPayloadLength() const { return mPayloadLength; }
    TqResult SetPayloadLength(uint32_t aLength);

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
    TqLiveObjects::Counter mCounter{"TqBuffer"};
};
