// The chunk-data payload of a block (payload type TqPayloadTypeChunkData): chunks only, in memory
// of its own (Alloc, released by Free) or attached from outside (Attach, released by Detach).
#pragma once

#include "ITqChunkData.h"
#include "TqBufferExport.h"
#include "TqChunkStore.h"
#include "TqLiveObjects.h"

class TQ_BUFFER_API TqChunkData : public ITqChunkData {
public:
    TqChunkData();
    virtual ~TqChunkData();
    TqChunkData(const TqChunkData&) = delete;   // owns its memory
    TqChunkData& operator=(const TqChunkData&) = delete;

    // The payload length the block states: the bytes the chunks take.
    uint64_t GetChunkDataPayloadLength() const;
    TqResult Alloc(uint32_t aMaximumChunkLength);
    void Free();
    TqResult Attach(void* aRawBuffer, uint32_t aLength);
    void* Detach();
    // Shows aLength bytes of chunks that lie in memory of another's (a received block's, the
    // stand-in's own interface): neither allocated nor attached, so Detach gives nothing back; Alloc,
    // Attach or another Show take their place. Null: no chunks.
    void Show(uint8_t* aChunks, uint32_t aLength, uint32_t aLayoutID);
    // Where the chunks lie (the stand-in's own interface, for senders); GetChunkDataSize bytes of them.
    const uint8_t* GetChunkBytes() const { return mChunks.GetArea(); }

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
    uint8_t* mData = nullptr;
    bool mAllocated = false;
    TqChunkStore mChunks;
    TqLiveObjects::Counter mCounter{"TqChunkData"};
};
