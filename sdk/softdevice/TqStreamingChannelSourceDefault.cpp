// The ready-made stream source: an image of the size it was made with (its sensor), a region of
// interest within it, its own pixel type and Mono8, no chunks, and up to its buffer count of
// buffers, each with room for a whole sensor image and showing the image as it is when allocated,
// and with a chunk area of the chunks GetChunksSize counts (a subclass's, when it has chunks), where
// AddChunk puts them. A subclass's chunk size may follow the chunk mode a controller sets after the
// buffers were made: whenever an acquisition starts in chunk mode the device has each buffer's area
// fitted to the size then (DefaultSourceBuffers). Queueing and retrieving are left to the
// application.
#include "ITqStreamingChannelSource.h"
#include "TqSoftDeviceImpl.h"

#include "TqBuffer.h"
#include "TqImage.h"
#include "TqLiveObjects.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <vector>

struct TqStreamingChannelSourceDefault::Impl {
    uint32_t sensorWidth, sensorHeight;
    uint32_t width, height, offsetX = 0, offsetY = 0;
    const TqPixelType ownType;
    TqPixelType pixelType;
    size_t bufferCount;
    std::mutex lock;   // the image and the buffers, which the device uses from its threads
    std::set<TqBuffer*> buffers;

    Impl(uint32_t aWidth, uint32_t aHeight, TqPixelType aPixelType, size_t aBufferCount)
        : sensorWidth(std::max<uint32_t>(aWidth, 1)), sensorHeight(std::max<uint32_t>(aHeight, 1)),
          width(sensorWidth), height(sensorHeight), ownType(aPixelType), pixelType(aPixelType),
          bufferCount(aBufferCount) {}

    // A whole sensor image of the largest of the two pixel types.
    uint32_t BufferSize() const {
        uint64_t size = 0;
        for (TqPixelType type : {ownType, TqPixelMono8})
            size = std::max(size, TqImage::RequiredMemory(sensorWidth, sensorHeight, type, 0, 0, 0));
        return uint32_t(std::clamp<uint64_t>(size, 1, UINT32_MAX));
    }
    // Gives aBuffer's image the current geometry; false when its memory has no room for it.
    bool Shape(TqBuffer& aBuffer) const {
        TqImage* image = aBuffer.GetImage();
        if (!image || TqImage::RequiredMemory(width, height, pixelType, 0, 0, 0) > aBuffer.GetSize()) return false;
        image->SetGeometry(width, height, pixelType, 0, 0);
        image->SetOffsetX(offsetX);
        image->SetOffsetY(offsetY);
        return aBuffer.SetPayloadLength(image->GetImageSize()).IsOK();
    }
    // A value under the lock (the controller's threads set what the device's threads read).
    template <class T>
    T Read(const T& aField) {
        std::lock_guard guard(lock);
        return aField;
    }
    TqResult Set(uint32_t& aField, uint32_t aValue, bool aFits) {
        if (!aFits) return TqResult(TQ_INVALID_PARAMETER);
        aField = aValue;
        return TqResult(TQ_OK);
    }
};

TqStreamingChannelSourceDefault::TqStreamingChannelSourceDefault(uint32_t aWidth, uint32_t aHeight,
                                                                 TqPixelType aPixelType, size_t aBufferCount)
    : mImpl(new Impl(aWidth, aHeight, aPixelType, aBufferCount)) {}

TqStreamingChannelSourceDefault::~TqStreamingChannelSourceDefault() {
    const std::vector<const void*> gone(mImpl->buffers.begin(), mImpl->buffers.end());
    for (TqBuffer* buffer : mImpl->buffers) delete buffer;   // those the device never gave back
    delete mImpl;
    TqObjectsGone::Tell(TqObjectsGone::News::kDeleted, gone.data(), gone.size());
}

uint32_t TqStreamingChannelSourceDefault::GetWidth() const { return mImpl->Read(mImpl->width); }
uint32_t TqStreamingChannelSourceDefault::GetHeight() const { return mImpl->Read(mImpl->height); }
uint32_t TqStreamingChannelSourceDefault::GetOffsetX() const { return mImpl->Read(mImpl->offsetX); }
uint32_t TqStreamingChannelSourceDefault::GetOffsetY() const { return mImpl->Read(mImpl->offsetY); }
TqPixelType TqStreamingChannelSourceDefault::GetPixelType() const { return mImpl->Read(mImpl->pixelType); }

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

// Its own pixel type, then Mono8 when that is another.
TqResult TqStreamingChannelSourceDefault::GetSupportedPixelType(int aIndex, TqPixelType& aPixelType) const {
    if (aIndex == 0 || (aIndex == 1 && mImpl->ownType != TqPixelMono8)) {
        aPixelType = aIndex == 0 ? mImpl->ownType : TqPixelMono8;
        return TqResult(TQ_OK);
    }
    return TqResult(TQ_INVALID_PARAMETER);
}

TqResult TqStreamingChannelSourceDefault::GetSupportedChunk(int, uint32_t&, TqString&) const {
    return TqResult(TQ_INVALID_PARAMETER);   // no chunks
}

// The region of interest stays within the sensor; a value outside is refused and changes nothing.
TqResult TqStreamingChannelSourceDefault::SetWidth(uint32_t aWidth) {
    Impl& d = *mImpl;
    std::lock_guard guard(d.lock);
    return d.Set(d.width, aWidth, aWidth != 0 && uint64_t(aWidth) + d.offsetX <= d.sensorWidth);
}

TqResult TqStreamingChannelSourceDefault::SetHeight(uint32_t aHeight) {
    Impl& d = *mImpl;
    std::lock_guard guard(d.lock);
    return d.Set(d.height, aHeight, aHeight != 0 && uint64_t(aHeight) + d.offsetY <= d.sensorHeight);
}

TqResult TqStreamingChannelSourceDefault::SetOffsetX(uint32_t aOffsetX) {
    Impl& d = *mImpl;
    std::lock_guard guard(d.lock);
    return d.Set(d.offsetX, aOffsetX, uint64_t(aOffsetX) + d.width <= d.sensorWidth);
}

TqResult TqStreamingChannelSourceDefault::SetOffsetY(uint32_t aOffsetY) {
    Impl& d = *mImpl;
    std::lock_guard guard(d.lock);
    return d.Set(d.offsetY, aOffsetY, uint64_t(aOffsetY) + d.height <= d.sensorHeight);
}

TqResult TqStreamingChannelSourceDefault::SetPixelType(TqPixelType aPixelType) {
    std::lock_guard guard(mImpl->lock);
    if (aPixelType != mImpl->ownType && aPixelType != TqPixelMono8) return TqResult(TQ_INVALID_PARAMETER);
    mImpl->pixelType = aPixelType;
    return TqResult(TQ_OK);
}

TqResult TqStreamingChannelSourceDefault::SetChunkModeActive(bool aEnabled) {
    return TqResult(aEnabled ? TQ_INVALID_PARAMETER : TQ_OK);
}

TqResult TqStreamingChannelSourceDefault::SetChunkEnable(uint32_t, bool) { return TqResult(TQ_INVALID_PARAMETER); }

void TqStreamingChannelSourceDefault::OnOpen(const TqString&, uint16_t) {}
void TqStreamingChannelSourceDefault::OnClose() {}
void TqStreamingChannelSourceDefault::OnStreamingStart() {}
void TqStreamingChannelSourceDefault::OnStreamingStop() {}

TqBuffer* TqStreamingChannelSourceDefault::AllocBuffer() {
    const uint32_t chunks = GetChunksSize();   // a subclass's may take the lock (its getters)
    std::lock_guard guard(mImpl->lock);
    if (mImpl->buffers.size() >= mImpl->bufferCount) return nullptr;
    auto* buffer = new TqBuffer(TqPayloadTypeImage);
    if (!buffer->Alloc(mImpl->BufferSize()).IsOK() || !buffer->AllocChunk(chunks).IsOK()) {
        delete buffer;
        return nullptr;
    }
    mImpl->Shape(*buffer);
    mImpl->buffers.insert(buffer);
    return buffer;
}

size_t TqSoftDevice::DefaultSourceBuffers::FitChunkAreas(ITqStreamingChannelSource& aSource,
                                                         const std::vector<TqBuffer*>& aHeld, uint32_t aChunksSize) {
    auto* source = dynamic_cast<TqStreamingChannelSourceDefault*>(&aSource);
    if (!source) return 0;
    TqStreamingChannelSourceDefault::Impl& d = *source->mImpl;
    std::lock_guard guard(d.lock);
    size_t failed = 0;
    for (TqBuffer* buffer : aHeld)
        if (d.buffers.count(buffer) && buffer->GetChunkAreaSize() != aChunksSize)
            failed += !buffer->AllocChunk(aChunksSize).IsOK();
    return failed;
}

// Only buffers of this source are freed; others are not its to free.
void TqStreamingChannelSourceDefault::FreeBuffer(TqBuffer* aBuffer) {
    {
        std::lock_guard guard(mImpl->lock);
        if (!mImpl->buffers.erase(aBuffer)) return;
    }
    delete aBuffer;
    const void* gone = aBuffer;
    TqObjectsGone::Tell(TqObjectsGone::News::kDeleted, &gone, 1);
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
