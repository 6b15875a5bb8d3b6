#include "TqRawData.h"

#include "TqBuffer.h"

#include <algorithm>

// Memory is the buffer's, as for an image:
// - Alloc(length, chunk room) allocates length + chunk room bytes (at most 4 GiB - 1: the buffer's
//   size is 32-bit); the payload is the first length bytes, chunks go after it.
// - Attach(memory, length, chunk room) attaches length bytes, the chunk room included: the payload
//   is length - chunk room bytes (the chunk room may not exceed the length).
// - Arguments are checked first (TQ_INVALID_PARAMETER), then the buffer's state (TQ_STATE_ERROR:
//   Alloc on attached memory, Attach on allocated memory). Without a buffer there is no memory:
//   TQ_NOT_FOUND.
// - Free forgets the payload length; like the buffer's, it leaves attached memory alone. Detach
//   keeps the length although the buffer has no memory any more: whoever gets the memory back can
//   still tell how much of it is payload. While the buffer has memory, the payload length never
//   goes past its size (memory given to the buffer directly may be smaller).

namespace {
constexpr uint64_t kMaxSize = 0xFFFFFFFFull;
}

TqRawData::TqRawData(TqBuffer* aBuffer) : mBuffer(aBuffer) {}

TqRawData::~TqRawData() = default;

uint64_t TqRawData::GetPayloadLength() const {
    if (mBuffer != nullptr && mBuffer->GetDataPointer() != nullptr)
        return std::min<uint64_t>(mPayloadLength, mBuffer->GetSize());
    return mPayloadLength;
}

TqResult TqRawData::Alloc(uint64_t aPayloadLength, uint32_t aMaximumChunkLength) {
    if (mBuffer == nullptr) return TqResult(TQ_NOT_FOUND);
    if (aPayloadLength > kMaxSize || aPayloadLength + aMaximumChunkLength > kMaxSize)
        return TqResult(TQ_INVALID_PARAMETER);
    if (mBuffer->IsAttached()) return TqResult(TQ_STATE_ERROR);
    TqResult result = mBuffer->Alloc(static_cast<uint32_t>(aPayloadLength + aMaximumChunkLength));
    if (!result.IsOK()) return result;
    mPayloadLength = aPayloadLength;
    return mBuffer->SetPayloadLength(static_cast<uint32_t>(aPayloadLength));
}

void TqRawData::Free() {
    if (mBuffer == nullptr || mBuffer->IsAttached()) return;   // attached memory stays, with its payload
    mBuffer->Free();
    mPayloadLength = 0;
}

TqResult TqRawData::Attach(void* aRawBuffer, uint64_t aLength, uint32_t aMaximumChunkLength) {
    if (mBuffer == nullptr) return TqResult(TQ_NOT_FOUND);
    if (aRawBuffer == nullptr || aLength > kMaxSize || aMaximumChunkLength > aLength)
        return TqResult(TQ_INVALID_PARAMETER);
    if (mBuffer->IsAllocated()) return TqResult(TQ_STATE_ERROR);
    TqResult result = mBuffer->Attach(aRawBuffer, static_cast<uint32_t>(aLength));
    if (!result.IsOK()) return result;
    mPayloadLength = aLength - aMaximumChunkLength;
    return mBuffer->SetPayloadLength(static_cast<uint32_t>(mPayloadLength));
}

uint8_t* TqRawData::Detach() { return mBuffer != nullptr ? mBuffer->Detach() : nullptr; }
