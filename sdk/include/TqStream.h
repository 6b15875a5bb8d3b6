// Stream receivers (library TqStream64): a stream is opened for one device, takes the caller's
// empty buffers (QueueBuffer), fills them with the device's blocks and hands them back
// (RetrieveBuffer). The GigE Vision kind receives GVSP over UDP on loopback, unicast or multicast.
#pragma once

#include "TqBuffer.h"
#include "TqEnums.h"
#include "TqGenParameterArray.h"
#include "TqPixelType.h"
#include "TqLiveObjects.h"
#include "TqResult.h"
#include "TqString.h"

#include <cstdint>
#include <memory>

class TqDeviceInfo;
class TqStreamEventSink;   // opaque: the SDK's own
class TqSessionInfoSDP;    // opaque: an SDP session description

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
    // a record or an IP address; USB3 Vision: a record or the device's GUID (12 hexadecimal digits),
    // opened with the defaults. Other kinds are not supported (no stream).
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

// USB3 Vision receiver: a simulated USB3 Vision device (connected by a device of this process, or at
// least present) streams to it in process; the device's acquisition is started as usual
// (AcquisitionStart). Each frame takes the next queued buffer (none queued: the frame is dropped).
// At most aMaximumNumberOfPendingURB transfers are in flight (the device waits for a free one);
// payloads below aSmallImageThreshold bytes are copied in from a staging area, larger ones filled in
// place; a payload larger than its buffer writes nothing (BUFFER_TOO_SMALL). One stream per device
// and channel (a second: TQ_BUSY until the first closes). Opens: no record TQ_INVALID_PARAMETER, a
// record of another kind TQ_NOT_SUPPORTED, text that is no GUID, a channel the device lacks, no
// buffer or no transfer allowed TQ_INVALID_PARAMETER, a GUID of no device TQ_NOT_FOUND. The
// one-argument opens use channel 0, 64 buffers, 512 and 64. GetGUID: the device of the last Open
// (empty before one).
class TqStreamU3V : public TqStream {
public:
    TqStreamU3V();
    ~TqStreamU3V() override;

    TqResult Open(const TqString& aInfo) override;                  // the device's GUID
    TqResult Open(const TqDeviceInfo* aDeviceInfo) override;
    TqResult Open(const TqDeviceInfo* aDeviceInfo, uint16_t aChannel, uint32_t aBuffersCapacity = 64,
                  uint32_t aSmallImageThreshold = 512, uint32_t aMaximumNumberOfPendingURB = 64);
    TqResult Open(const TqString& aInfo, uint16_t aChannel, uint32_t aBuffersCapacity = 64,
                  uint32_t aSmallImageThreshold = 512, uint32_t aMaximumNumberOfPendingURB = 64);
    TqStreamType GetType() const override;   // TqStreamTypeU3V
    TqString GetGUID();
};

// RTP receiver: unicast on a local address and port (0: ephemeral), multicast (joined on 127.0.0.1
// only) or a TCP client (RFC 4571 framing). Raw video (RFC 4175) fills an image of PrepareFor's
// geometry; H.264 (RFC 6184, single NAL units and FU-A) is delivered as an Annex-B byte stream in an
// H.264 payload. The device-info, info-string and SDP opens answer TQ_NOT_SUPPORTED.
// Addresses outside 127.0.0.0/8 (or, for the group, outside 224.0.0.0/4) are TQ_INVALID_PARAMETER; an
// open stream answers another Open with TQ_STATE_ERROR. 64 buffers, channel 0.
// Frames: the packets of one RTP timestamp up to the marker bit; block IDs count frames from 1 and
// the buffer's timestamp is the RTP timestamp. Operation results: OK; MISSING_PACKETS (a sequence
// number, the marker or, for raw video, pixels missing); BUFFER_TOO_SMALL (nothing is written past
// the buffer's size); NOT_SUPPORTED while no payload is prepared (the buffer is not written); ABORTED.
// Raw video pgroups: one pixel for pixel types of whole bytes (Mono8: 1 byte, RGB8: 3), two pixels in
// 4 bytes for 4:2:2 8-bit, four in 6 bytes for 4:1:1 8-bit; packed types are TQ_NOT_SUPPORTED. Lines
// are PrepareFor's width plus aPaddingX bytes apart (the padding is not written).
// Statistics (GetParameters): malformed packets and packets with a line header outside the frame in
// PacketsBad, packets of no frame in progress, of another source or of an unsupported H.264 packet type
// in PacketsIgnored; the GigE Vision stream's block counters otherwise.
// PrepareFor, PrepareForH264 and ResetPayloadType apply from the next frame on; the thread priority is
// kept (0 to 99), not applied.
class TqStreamRTP : public TqStream {
public:
    TqStreamRTP();
    ~TqStreamRTP() override;

    TqResult Open(const TqString& aInfo) override;
    TqResult Open(const TqDeviceInfo* aDeviceInfo) override;
    TqResult Open(const TqSessionInfoSDP* aSession, const TqString& aLocalIpAddress, uint16_t aLocalPort = 0);
    TqResult Open(const TqString& aLocalIpAddress, uint16_t aLocalPort);
    TqResult Open(const TqString& aMulticastAddress, uint16_t aDataPort, const TqString& aLocalIpAddress);
    TqResult OpenTCP(const TqString& aServerIPAddress, uint16_t aServerPort);
    TqResult PrepareFor(uint32_t aWidth, uint32_t aHeight, TqPixelType aPixelType, uint16_t aPaddingX = 0);
    TqResult PrepareForH264();
    TqResult ResetPayloadType();
    TqStreamType GetType() const override;   // TqStreamTypeRTP
    uint16_t GetLocalPort() const;
    TqString GetLocalIPAddress() const;
    TqString GetMulticastIPAddress() const;
    TqString GetTCPServerIPAddress() const;
    uint16_t GetTCPServerPort() const;
    uint32_t GetThreadPriority() const;
    TqResult SetThreadPriority(uint32_t aPriority);
};
