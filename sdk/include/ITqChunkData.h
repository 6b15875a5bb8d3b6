// Chunk data: tagged extra data of a block, a sequence of chunks (an ID with a run of bytes) and
// one chunk layout ID for the whole set.
//
// The stand-in's layout in memory is the GigE Vision chunk layout: each chunk's data is followed by
// an 8-byte trailer holding the chunk ID and the data length, both big-endian, and the set is read
// from its end backwards. Reading always checks each trailer against the memory it describes: a
// length that reaches before the start ends the set there.
#pragma once

#include "TqResult.h"

#include <cstdint>

class ITqChunkData {
public:
    virtual ~ITqChunkData() {}
    virtual void ResetChunks() = 0;
    virtual TqResult AddChunk(uint32_t aID, const uint8_t* aData, uint32_t aLength) = 0;
    virtual void SetChunkLayoutID(uint32_t aChunkLayoutID) = 0;
    virtual bool HasChunks() const = 0;
    virtual uint32_t GetChunkCount() = 0;
    virtual TqResult GetChunkIDByIndex(uint32_t aIndex, uint32_t& aID) = 0;
    virtual uint32_t GetChunkSizeByIndex(uint32_t aIndex) = 0;
    virtual uint32_t GetChunkSizeByID(uint32_t aID) = 0;
    virtual const uint8_t* GetChunkRawDataByIndex(uint32_t aIndex) = 0;
    virtual const uint8_t* GetChunkRawDataByID(uint32_t aID) = 0;
    virtual uint32_t GetChunkLayoutID() = 0;
    virtual uint32_t GetChunkDataSize() const = 0;
    virtual uint32_t GetChunkDataCapacity() const = 0;
};
