// Stream receivers (library TqStream64): a stream is opened for one device, takes the caller's
// empty buffers (QueueBuffer), fills them with the device's blocks and hands them back
// (RetrieveBuffer). The GigE Vision kind receives GVSP over UDP on loopback, unicast or multicast.
#pragma once

#include "TqBuffer.h"
#include "TqEnums.h"
#include "TqGenParameterArray.h"
#include "TqLiveObjects.h"
#include "TqResult.h"
#include "TqString.h"

#include <cstdint>
#include <memory>

class TqDeviceInfo;
class TqStreamEventSink;   // opaque: the SDK's own

namespace TqStreamLib {
struct State;   // the library's inner state of a stream
}

class TqStream {
public:
    virtual ~TqStream();
    TqStream(const TqStream&) = delete;
    TqStream& operator=(const TqStream&) = delete;

    virtual TqResult Open(const TqString& aInfo) = 0;
    virtual TqResult Open(const TqDeviceInfo* aDeviceInfo) = 0;
    virtual TqStreamType GetType() const = 0;

    // A new stream of the kind the record or text names, open; release it with Free. GigE Vision:
    // a record or an IP address; other kinds are not supported yet (no stream).
    static TqStream* CreateAndOpen(const TqDeviceInfo* aDeviceInfo, TqResult* aResult);
    static TqStream* CreateAndOpen(const TqString& aInfo, TqResult* aResult);
    // Releases a stream that CreateAndOpen made; any other pointer is left alone.
    static void Free(TqStream* aStream);

    TqResult Close();
    bool IsOpen() const;
    uint16_t GetChannel();
    uint32_t GetQueuedBufferCount() const;
    uint32_t GetQueuedBufferMaximum() const;   // the capacity given to Open
    TqResult QueueBuffer(TqBuffer* aBuffer);
    // Blocks up to aTimeout ms (0xFFFFFFFF: forever) for the next buffer that came back. The call's
    // result, the buffer (null with none) and the buffer's operation result: OK; MISSING_PACKETS for
    // an incomplete block; BUFFER_TOO_SMALL when the payload does not fit; ABORTED after
    // AbortQueuedBuffers or Close. TIMEOUT with no buffer. A stream that is not open answers at once.
    TqResult RetrieveBuffer(TqBuffer** aBuffer, TqResult* aOperationResult, uint32_t aTimeout = 0xFFFFFFFF);
    TqResult AbortQueuedBuffers();
    TqResult RegisterEventSink(TqStreamEventSink* aEventSink);
    TqResult UnregisterEventSink(TqStreamEventSink* aEventSink);
    // ImageTimeout, StartStreamOnlyOnPacketIdZero, DataPort, LocalIPAddress, MulticastIPAddress,
    // block and packet statistics, PipelineImagesDropped.
    TqGenParameterArray* GetParameters();

protected:
    TqStream();
    std::unique_ptr<TqStreamLib::State> mState;

private:
    TqLiveObjects::Counter mCounter{"TqStream"};
};

class TqStreamGEV : public TqStream {
public:
    TqStreamGEV();
    ~TqStreamGEV() override;

    // Unicast to an automatic local port, channel 0, 64 buffers.
    TqResult Open(const TqString& aInfo) override;
    TqResult Open(const TqDeviceInfo* aDeviceInfo) override;
    // Unicast: the device's stream destination is set to the local port.
    TqResult Open(const TqDeviceInfo* aDeviceInfo, uint16_t aLocalPort, uint16_t aChannel = 0,
                  const TqString& aLocalIPAddress = TqString(), uint32_t aBuffersCapacity = 64);
    TqResult Open(const TqString& aInfo, uint16_t aLocalPort, uint16_t aChannel = 0,
                  const TqString& aLocalIPAddress = TqString(), uint32_t aBuffersCapacity = 64);
    // Multicast: joins the group (on loopback) and checks that the device answers.
    TqResult Open(const TqDeviceInfo* aDeviceInfo, const TqString& aMulticastAddr, uint16_t aDataPort,
                  uint16_t aChannel = 0, const TqString& aLocalIPAddress = TqString(), uint32_t aBuffersCapacity = 64);
    TqResult Open(const TqString& aInfo, const TqString& aMulticastAddr, uint16_t aDataPort, uint16_t aChannel = 0,
                  const TqString& aLocalIPAddress = TqString(), uint32_t aBuffersCapacity = 64);
    TqStreamType GetType() const override;

    TqDataReceiverType GetDataReceiverType() const;   // user mode
    TqResult FlushPacketQueue();
    bool GetWaitForFirstPacketOfBlockToStart() const;
    TqResult SetWaitForFirstPacketOfBlockToStart(bool aWait);
    uint16_t GetLocalPort() const;
    TqString GetLocalIPAddress() const;
    TqString GetMulticastIPAddress() const;
    TqString GetDeviceIPAddress() const;
    uint16_t GetSpecificLocalPort() const;
    uint32_t GetUserModeDataReceiverThreadPriority() const;
    TqResult SetUserModeDataReceiverThreadPriority(uint32_t aPriority);
    // The socket's receive buffer as the kernel set it (after Open).
    TqResult GetUserModeSocketRxBufferSize(uint32_t& aSize);
    // Before Open only (after: NETWORK_CONFIG_ERROR): SO_RCVBUF, clamped to rmem_max (then
    // INVALID_PARAMETER).
    TqResult SetUserModeSocketRxBufferSize(uint32_t aSize);
    // Before Open only: clamped to 17000..65500.
    TqResult SetUserModeRxPacketBufferSize(uint32_t aSize);
    // No driver on this system: aInstalled is false.
    static TqResult IsDriverInstalled(TqString& aIPAddress, bool& aInstalled,
                                      const TqString& aLocalIPAddress = TqString());
};
