// The raw-data payload of a TqBuffer: a block of bytes without image structure, in the buffer's
// memory (Alloc allocates the payload plus chunk room, Attach attaches external memory).
#pragma once

#include "TqBufferExport.h"
#include "TqLiveObjects.h"
#include "TqResult.h"

#include <cstdint>

class TqBuffer;

class TQ_BUFFER_API TqRawData {
public:
    explicit TqRawData(TqBuffer* aBuffer);
    virtual ~TqRawData();
    // The payload length the block states; for a payload built here, the length given to Alloc, or
    // for Attach the attached length less the chunk room (never more than the memory holds).
    virtual uint64_t GetPayloadLength() const;
    virtual TqResult Alloc(uint64_t aPayloadLength, uint32_t aMaximumChunkLength = 0);
    virtual void Free();
    virtual TqResult Attach(void* aRawBuffer, uint64_t aLength, uint32_t aMaximumChunkLength = 0);
    virtual uint8_t* Detach();

    // The buffer whose payload this is (its memory is the buffer's).
    TqBuffer* GetBuffer() const { return mBuffer; }

private:
    TqBuffer* mBuffer;
    uint64_t mPayloadLength = 0;
    TqLiveObjects::Counter mCounter{"TqRawData"};
};
