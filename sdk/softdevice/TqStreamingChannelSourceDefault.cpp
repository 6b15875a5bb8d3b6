// The ready-made stream source: an image of the size and pixel type it was made with (its sensor),
// a region of interest within it, no chunks, and up to its buffer count of buffers, each large
// enough for a whole sensor image. Queueing and retrieving are left to the application.
#include "ITqStreamingChannelSource.h"

#include "TqBuffer.h"
#include "TqImage.h"

#include <algorithm>
#include <mutex>
#include <set>

struct TqStreamingChannelSourceDefault::Impl {
    uint32_t sensorWidth, sensorHeight;
    uint32_t width, height, offsetX = 0, offsetY = 0;
    TqPixelType pixelType;
    size_t bufferCount;
    std::mutex lock;           // the buffers, which the device allocates and frees from its threads
    std::set<TqBuffer*> buffers;

    uint32_t BufferSize() const {
        const uint64_t size = TqImage::RequiredMemory(sensorWidth, sensorHeight, pixelType, 0, 0, 0);
        return uint32_t(std::clamp<uint64_t>(size, 1, UINT32_MAX));
    }
};

TqStreamingChannelSourceDefault::TqStreamingChannelSourceDefault(uint32_t aWidth, uint32_t aHeight,
                                                                 TqPixelType aPixelType, size_t aBufferCount)
    : mImpl(new Impl{std::max<uint32_t>(aWidth, 1), std::max<uint32_t>(aHeight, 1), std::max<uint32_t>(aWidth, 1),
                     std::max<uint32_t>(aHeight, 1), 0, 0, aPixelType, aBufferCount, {}, {}}) {}

TqStreamingChannelSourceDefault::~TqStreamingChannelSourceDefault() {
    for (TqBuffer* buffer : mImpl->buffers) delete buffer;   // those the device never gave back
    delete mImpl;
}

uint32_t TqStreamingChannelSourceDefault::GetWidth() const { return mImpl->width; }
uint32_t TqStreamingChannelSourceDefault::GetHeight() const { return mImpl->height; }
uint32_t TqStreamingChannelSourceDefault::GetOffsetX() const { return mImpl->offsetX; }
uint32_t TqStreamingChannelSourceDefault::GetOffsetY() const { return mImpl->offsetY; }
TqPixelType TqStreamingChannelSourceDefault::GetPixelType() const { return mImpl->pixelType; }

void TqStreamingChannelSourceDefault::GetWidthInfo(uint32_t& aMin, uint32_t& aMax, uint32_t& aInc) const {
    aMin = 1;
    aMax = mImpl->sensorWidth;
    aInc = 1;
}

void TqStreamingChannelSourceDefault::GetHeightInfo(uint32_t& aMin, uint32_t& aMax, uint32_t& aInc) const {
    aMin = 1;
    aMax = mImpl->sensorHeight;
    aInc = 1;
}

uint32_t TqStreamingChannelSourceDefault::GetChunksSize() const { return 0; }
uint32_t TqStreamingChannelSourceDefault::GetPayloadSize() const { return 0; }
TqScanType TqStreamingChannelSourceDefault::GetScanType() const { return TqScanTypeArea; }
bool TqStreamingChannelSourceDefault::GetChunkModeActive() const { return false; }
bool TqStreamingChannelSourceDefault::GetChunkEnable(uint32_t) const { return false; }

TqResult TqStreamingChannelSourceDefault::GetSupportedPixelType(int aIndex, TqPixelType& aPixelType) const {
    if (aIndex != 0) return TqResult(TQ_INVALID_PARAMETER);
    aPixelType = mImpl->pixelType;
    return TqResult(TQ_OK);
}

TqResult TqStreamingChannelSourceDefault::GetSupportedChunk(int, uint32_t&, TqString&) const {
    return TqResult(TQ_INVALID_PARAMETER);   // no chunks
}

// The region of interest stays within the sensor.
TqResult TqStreamingChannelSourceDefault::SetWidth(uint32_t aWidth) {
    if (aWidth == 0 || uint64_t(aWidth) + mImpl->offsetX > mImpl->sensorWidth) return TqResult(TQ_INVALID_PARAMETER);
    mImpl->width = aWidth;
    return TqResult(TQ_OK);
}

TqResult TqStreamingChannelSourceDefault::SetHeight(uint32_t aHeight) {
    if (aHeight == 0 || uint64_t(aHeight) + mImpl->offsetY > mImpl->sensorHeight)
        return TqResult(TQ_INVALID_PARAMETER);
    mImpl->height = aHeight;
    return TqResult(TQ_OK);
}

TqResult TqStreamingChannelSourceDefault::SetOffsetX(uint32_t aOffsetX) {
    if (uint64_t(aOffsetX) + mImpl->width > mImpl->sensorWidth) return TqResult(TQ_INVALID_PARAMETER);
    mImpl->offsetX = aOffsetX;
    return TqResult(TQ_OK);
}

TqResult TqStreamingChannelSourceDefault::SetOffsetY(uint32_t aOffsetY) {
    if (uint64_t(aOffsetY) + mImpl->height > mImpl->sensorHeight) return TqResult(TQ_INVALID_PARAMETER);
    mImpl->offsetY = aOffsetY;
    return TqResult(TQ_OK);
}

TqResult TqStreamingChannelSourceDefault::SetPixelType(TqPixelType aPixelType) {
    return TqResult(aPixelType == mImpl->pixelType ? TQ_OK : TQ_INVALID_PARAMETER);
}

TqResult TqStreamingChannelSourceDefault::SetChunkModeActive(bool aEnabled) {
    return TqResult(aEnabled ? TQ_NOT_SUPPORTED : TQ_OK);
}

TqResult TqStreamingChannelSourceDefault::SetChunkEnable(uint32_t, bool) { return TqResult(TQ_NOT_SUPPORTED); }

void TqStreamingChannelSourceDefault::OnOpen(const TqString&, uint16_t) {}
void TqStreamingChannelSourceDefault::OnClose() {}
void TqStreamingChannelSourceDefault::OnStreamingStart() {}
void TqStreamingChannelSourceDefault::OnStreamingStop() {}

TqBuffer* TqStreamingChannelSourceDefault::AllocBuffer() {
    std::lock_guard guard(mImpl->lock);
    if (mImpl->buffers.size() >= mImpl->bufferCount) return nullptr;
    auto* buffer = new TqBuffer(TqPayloadTypeImage);
    if (!buffer->Alloc(mImpl->BufferSize()).IsOK()) {
        delete buffer;
        return nullptr;
    }
    mImpl->buffers.insert(buffer);
    return buffer;
}

// Only buffers of this source are freed; others are not its to free.
void TqStreamingChannelSourceDefault::FreeBuffer(TqBuffer* aBuffer) {
    std::lock_guard guard(mImpl->lock);
    if (mImpl->buffers.erase(aBuffer)) delete aBuffer;
}

TqResult TqStreamingChannelSourceDefault::GetTxNumBuffersToUse(uint32_t&) { return TqResult(TQ_NOT_IMPLEMENTED); }
void TqStreamingChannelSourceDefault::AbortQueuedBuffers() {}

void TqStreamingChannelSourceDefault::CreateRegisters(ITqRegisterMap*, ITqRegisterFactory*) {}
void TqStreamingChannelSourceDefault::CreateGenApiFeatures(ITqRegisterMap*, ITqGenApiFactory*) {}

bool TqStreamingChannelSourceDefault::IsPayloadTypeSupported(TqPayloadType aPayloadType) {
    return aPayloadType == TqPayloadTypeImage;
}

void TqStreamingChannelSourceDefault::SetMultiPartAllowed(bool) {}
void TqStreamingChannelSourceDefault::SetLargeLeaderTrailerEnabled(bool, uint32_t) {}

TqResult TqStreamingChannelSourceDefault::SetTestPayloadFormatMode(TqPayloadType aPayloadType) {
    return TqResult(aPayloadType == TqPayloadTypeNone ? TQ_OK : TQ_NOT_SUPPORTED);
}
