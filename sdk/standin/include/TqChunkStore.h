// The chunk set of a block over a memory area, shared by the buffer and the chunk-data payload.
// Chunks are appended from the start of the area ([data][ID][length], big-endian trailer) and read
// back from the end of the used part.
#pragma once

#include "TqBufferExport.h"
#include "TqResult.h"

#include <cstdint>
#include <vector>

class TQ_BUFFER_API TqChunkStore {
public:
    // The area the chunks live in, its capacity and how much of it holds chunks.
    void SetArea(uint8_t* aArea, uint32_t aCapacity, uint32_t aUsed);
    uint8_t* GetArea() const { return mArea; }
    uint32_t GetCapacity() const { return mCapacity; }
    uint32_t GetUsed() const { return mUsed; }

    void Reset();
    TqResult Add(uint32_t aID, const uint8_t* aData, uint32_t aLength, uint32_t aReserved);
    bool HasChunks() const { return mUsed > 0; }
    uint32_t GetCount();
    TqResult GetIDByIndex(uint32_t aIndex, uint32_t& aID);
    uint32_t GetSizeByIndex(uint32_t aIndex);
    uint32_t GetSizeByID(uint32_t aID);
    const uint8_t* GetDataByIndex(uint32_t aIndex);
    const uint8_t* GetDataByID(uint32_t aID);

    uint32_t mLayoutID = 0;

private:
    struct Chunk {
        uint32_t id;
        uint32_t offset;
        uint32_t length;
    };
    // The chunks found by reading the used part from its end, in the order they were added.
    const std::vector<Chunk>& Parse();

    uint8_t* mArea = nullptr;
    uint32_t mCapacity = 0;
    uint32_t mUsed = 0;
    std::vector<Chunk> mChunks;
};
