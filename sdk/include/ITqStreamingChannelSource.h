// The contents of one stream channel of a software GigE Vision device (library TqVirtualDevice64):
// the application implements ITqStreamingChannelSource, or builds on TqStreamingChannelSourceDefault,
// and hands one source per channel to TqSoftDeviceGEV::AddStream. The device keeps a bare pointer;
// the source must outlive the device's use of it.
//
// When the device starts it asks the source for its registers (CreateRegisters) and then its
// features (CreateGenApiFeatures), for the geometry, the pixel types and chunks it supports (by
// index from 0 until the result is not TQ_OK) and its packet size limit, and allocates its buffers
// (AllocBuffer until null, at most 64). When a controller changes Width, Height, the offsets, the
// pixel type or the chunk settings, the matching setter accepts (TQ_OK) or refuses (any error) the
// new value. While streaming, the device's threads queue empty buffers to the source, retrieve
// filled ones and send them; at Stop the device frees every buffer it allocated (FreeBuffer).
#pragma once

#include "TqEnums.h"
#include "TqLiveObjects.h"
#include "TqPixelType.h"
#include "TqResult.h"
#include "TqResultCodes.h"
#include "TqString.h"
#include "TqVirtualDeviceExport.h"

#include <cstddef>
#include <cstdint>

class TqBuffer;
class ITqRegisterMap;
class ITqRegisterFactory;
class ITqGenApiFactory;
namespace TqSoftDevice {
struct DefaultSourceBuffers;   // the device's hold on the ready-made source's buffers
}

class TQ_VIRTUALDEVICE_API ITqStreamingChannelSource {
public:
    ITqStreamingChannelSource();
    virtual ~ITqStreamingChannelSource();

    // The current image geometry and pixel type.
    virtual uint32_t GetWidth() const = 0;
    virtual uint32_t GetHeight() const = 0;
    virtual uint32_t GetOffsetX() const = 0;
    virtual uint32_t GetOffsetY() const = 0;
    virtual TqPixelType GetPixelType() const = 0;
    // Minimum, maximum and increment of the Width and Height features the device describes.
    virtual void GetWidthInfo(uint32_t& aMin, uint32_t& aMax, uint32_t& aInc) const = 0;
    virtual void GetHeightInfo(uint32_t& aMin, uint32_t& aMax, uint32_t& aInc) const = 0;
    // The chunk data size as configured: each chunk counts 8 bytes (ID and length) besides its data.
    virtual uint32_t GetChunksSize() const = 0;
    // The payload size in bytes, used as it is; 0 lets the device compute it from the geometry, the
    // pixel type and the chunk data size.
    virtual uint32_t GetPayloadSize() const = 0;
    virtual TqScanType GetScanType() const = 0;
    // The master chunk mode (false for a source without chunks), and the enable of one chunk.
    virtual bool GetChunkModeActive() const = 0;
    virtual bool GetChunkEnable(uint32_t aChunkID) const = 0;
    // The supported pixel types and chunks by index: TQ_OK and the entry, TQ_INVALID_PARAMETER (or
    // another error) past the last one. Chunk names begin with "Chunk".
    virtual TqResult GetSupportedPixelType(int aIndex, TqPixelType& aPixelType) const = 0;
    virtual TqResult GetSupportedChunk(int aIndex, uint32_t& aChunkID, TqString& aChunkName) const = 0;
    // The maximum GevSCPSPacketSize (up to 65535), used when TQ_OK; otherwise the device keeps 9000.
    virtual TqResult GetGevSCPSPacketSizeInfo(uint32_t& aMax) const { return TqResult(TQ_NOT_IMPLEMENTED); }

    // A controller changed the feature: TQ_OK accepts the value, an error refuses it.
    virtual TqResult SetWidth(uint32_t aWidth) = 0;
    virtual TqResult SetHeight(uint32_t aHeight) = 0;
    virtual TqResult SetOffsetX(uint32_t aOffsetX) = 0;
    virtual TqResult SetOffsetY(uint32_t aOffsetY) = 0;
    virtual TqResult SetPixelType(TqPixelType aPixelType) = 0;
    virtual TqResult SetChunkModeActive(bool aEnabled) = 0;
    virtual TqResult SetChunkEnable(uint32_t aChunkID, bool aEnabled) = 0;

    // The channel was opened towards aDestIP (dotted text, SCDA) and aDestPort (SCP), or closed;
    // a controller started or stopped streaming on it.
    virtual void OnOpen(const TqString& aDestIP, uint16_t aDestPort) = 0;
    virtual void OnClose() = 0;
    virtual void OnStreamingStart() = 0;
    virtual void OnStreamingStop() = 0;

    // A new buffer for the channel, or null when the source has made all it will.
    virtual TqBuffer* AllocBuffer() = 0;
    // Gives back a buffer from AllocBuffer, when the device stops.
    virtual void FreeBuffer(TqBuffer* aBuffer) = 0;
    // Before OnStreamingStart: TQ_OK with how many buffers (4 up to those allocated) the
    // transmitter uses; TQ_NOT_IMPLEMENTED lets it use all.
    virtual TqResult GetTxNumBuffersToUse(uint32_t& aNumBuffer) = 0;
    // An empty buffer to fill: TQ_OK takes it, an error refuses it (queue full).
    virtual TqResult QueueBuffer(TqBuffer* aBuffer) = 0;
    // Hook of the device's buffer loop: whether it may go on queueing and retrieving.
    virtual bool PreQueueBufferProc() { return true; }
    // Hook of the device's buffer loop, after a retrieve.
    virtual void PostRetrieveBufferProc() {}
    // A filled buffer to send, and after AbortQueuedBuffers every aborted one. With nothing ready,
    // wait in short steps (10 to 50 ms) so that streaming can stop in time.
    virtual TqResult RetrieveBuffer(TqBuffer** aBuffer) = 0;
    // Returns once every queued buffer not yet retrieved is aborted.
    virtual void AbortQueuedBuffers() = 0;

    // Inside TqSoftDeviceGEV::Start: the source's own registers, then its own features. Several
    // sources of one kind use distinct register addresses (and names).
    virtual void CreateRegisters(ITqRegisterMap* aRegisterMap, ITqRegisterFactory* aFactory) {}
    virtual void CreateGenApiFeatures(ITqRegisterMap* aRegisterMap, ITqGenApiFactory* aFactory) {}

    // Whether the source can stream the payload type; a multi-part source answers true for
    // TqPayloadTypeMultiPart.
    virtual bool IsPayloadTypeSupported(TqPayloadType aPayloadType) { return false; }
    // A controller allowed multi-part transmission (the source streams single-part until then).
    virtual void SetMultiPartAllowed(bool aAllowed) {}
    // Large leader and trailer packets on or off, with the largest part count they allow.
    virtual void SetLargeLeaderTrailerEnabled(bool aEnabled, uint32_t aMaxMultiPartCount) {}
    // Validation mode: TqPayloadTypeMultiPart streams multi-part on its own, TqPayloadTypeNone
    // returns to normal operation; anything else is refused.
    virtual TqResult SetTestPayloadFormatMode(TqPayloadType aPayloadType) { return TqResult(TQ_NOT_SUPPORTED); }

private:
    TqLiveObjects::Counter mCounter{"ITqStreamingChannelSource"};
};

// The SDK's ready-made source: a default geometry (the largest, with a region of interest within
// it), its pixel type and Mono8, no chunks, and aBufferCount buffers for streaming, each with room
// for a whole image and showing the image as it is when allocated, and with a chunk area of the
// size GetChunksSize tells (when allocated, and again whenever an acquisition starts in chunk mode).
// Queueing and retrieving are the application's (QueueBuffer, RetrieveBuffer).
class TQ_VIRTUALDEVICE_API TqStreamingChannelSourceDefault : public ITqStreamingChannelSource {
public:
    TqStreamingChannelSourceDefault(uint32_t aWidth = 640, uint32_t aHeight = 480,
                                    TqPixelType aPixelType = TqPixelMono8, size_t aBufferCount = 16);
    virtual ~TqStreamingChannelSourceDefault();
    TqStreamingChannelSourceDefault(const TqStreamingChannelSourceDefault&) = delete;
    TqStreamingChannelSourceDefault& operator=(const TqStreamingChannelSourceDefault&) = delete;

    uint32_t GetWidth() const override;
    uint32_t GetHeight() const override;
    uint32_t GetOffsetX() const override;
    uint32_t GetOffsetY() const override;
    TqPixelType GetPixelType() const override;
    void GetWidthInfo(uint32_t& aMin, uint32_t& aMax, uint32_t& aInc) const override;
    void GetHeightInfo(uint32_t& aMin, uint32_t& aMax, uint32_t& aInc) const override;
    uint32_t GetChunksSize() const override;
    uint32_t GetPayloadSize() const override;
    TqScanType GetScanType() const override;
    bool GetChunkModeActive() const override;
    bool GetChunkEnable(uint32_t aChunkID) const override;
    TqResult GetSupportedPixelType(int aIndex, TqPixelType& aPixelType) const override;
    TqResult GetSupportedChunk(int aIndex, uint32_t& aChunkID, TqString& aChunkName) const override;

    TqResult SetWidth(uint32_t aWidth) override;
    TqResult SetHeight(uint32_t aHeight) override;
    TqResult SetOffsetX(uint32_t aOffsetX) override;
    TqResult SetOffsetY(uint32_t aOffsetY) override;
    TqResult SetPixelType(TqPixelType aPixelType) override;
    TqResult SetChunkModeActive(bool aEnabled) override;
    TqResult SetChunkEnable(uint32_t aChunkID, bool aEnabled) override;

    void OnOpen(const TqString& aDestIP, uint16_t aDestPort) override;
    void OnClose() override;
    void OnStreamingStart() override;
    void OnStreamingStop() override;

    TqBuffer* AllocBuffer() override;
    void FreeBuffer(TqBuffer* aBuffer) override;
    TqResult GetTxNumBuffersToUse(uint32_t& aNumBuffer) override;
    void AbortQueuedBuffers() override;

    void CreateRegisters(ITqRegisterMap* aRegisterMap, ITqRegisterFactory* aFactory) override;
    void CreateGenApiFeatures(ITqRegisterMap* aRegisterMap, ITqGenApiFactory* aFactory) override;
    bool IsPayloadTypeSupported(TqPayloadType aPayloadType) override;
    void SetMultiPartAllowed(bool aAllowed) override;
    void SetLargeLeaderTrailerEnabled(bool aEnabled, uint32_t aMaxMultiPartCount) override;
    TqResult SetTestPayloadFormatMode(TqPayloadType aPayloadType) override;

private:
    friend struct TqSoftDevice::DefaultSourceBuffers;
    struct Impl;
    Impl* mImpl;
    TqLiveObjects::Counter mCounter{"TqStreamingChannelSourceDefault"};
};
