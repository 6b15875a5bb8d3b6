// The docstrings' texts of the stream sources' operation functions: what each operation of
// ITqStreamingChannelSource means to the device that calls it (the contract any source keeps). The
// interface's 40 functions and the ready-made source's 35 carry the same texts, each under its own
// prefix; the parameters' lines follow from the rows.
#pragma once

#include "docs.h"
#include "spelling.h"

namespace kivo::module::source_docs {

// A getter of the image format, the limits of a feature, a controller's change of a feature.
template <kivo::rt::Text What>
inline constexpr auto kCurrent = kivo::rt::joined<"The current ", What, ". A source must implement it.">;
template <kivo::rt::Text Feature>
inline constexpr auto kLimits =
    kivo::rt::joined<"The minimum, maximum and increment of the ", Feature,
                     " GenICam parameter, which the device adds to its GenICam XML by itself.\n\n"
                     "Tuple composed of (aMin, aMax, aInc).">;
template <kivo::rt::Text Feature>
inline constexpr auto kChanged =
    kivo::rt::joined<"The controller changed ", Feature,
                     " (the feature or its register). OK accepts the value, which the source then uses; "
                     "GENERIC_ERROR or another error refuses it.">;

inline constexpr char kGetChunksSize[] =
    "The chunk data size as currently configured. Each chunk counts 4 bytes of chunk ID and 4 bytes of chunk "
    "length besides its data: a single chunk of 64 bytes reports 72. It is needed for the PayloadSize the "
    "controller sees.";
inline constexpr char kGetPayloadSize[] =
    "The payload size in bytes. 0 lets the device infer it from the width, height, pixel type and chunk data "
    "size; any other value is used unchanged, with nothing added, not even the chunk data size. For multi-part, "
    "the sum of the largest sizes of all parts plus the chunk data.";
inline constexpr char kGetScanType[] =
    "TqScanTypeArea for an area-scan source, TqScanTypeLine for a line-scan source.";
inline constexpr char kGetChunkModeActive[] = "The master chunk mode. A source without chunks returns False.";
inline constexpr char kGetChunkEnable[] =
    "Whether the chunk aChunkID is enabled, as kept per chunk ID. A chunk is appended to the data when it is "
    "enabled and the master chunk mode is on.";
inline constexpr char kGetSupportedPixelType[] =
    "Asked when the device starts, to build its GenICam XML: from index 0 upward until the result is anything but "
    "OK. A valid aIndex gives (OK, pixel type), the first invalid one INVALID_PARAMETER (or another error).\n\n"
    "Tuple composed of (result, aPixelType).";
inline constexpr char kGetSupportedChunk[] =
    "Enumerated the same way as the pixel types, to fill the chunk selector: (OK, chunk ID, chunk name) for each "
    "supported chunk, from index 0 upward until the result is anything but OK. The name should begin with "
    "\"Chunk\" (GenICam SFNC). For example chunk IDs 0x4001 and 0x4002 at indexes 0 and 1, and INVALID_PARAMETER "
    "at index 2.\n\nTuple composed of (result, aChunkID, aChunkName).";
inline constexpr char kGetGevSCPSPacketSizeInfo[] =
    "Optional, asked when the device starts: OK with the maximum of the GevSCPSPacketSize feature in aMax, or "
    "NOT_IMPLEMENTED (or any error) to keep the default maximum of 9000 bytes. Up to 65535 may be given. "
    "Receivers use the maximum to negotiate the packet size (Kivo receivers from version 6.5).\n\n"
    "Tuple composed of (result, aMax).";
inline constexpr char kSetChunkModeActive[] =
    "The controller changed the master chunk mode. OK accepts it, an error refuses it.";
inline constexpr char kSetChunkEnable[] =
    "The controller changed the enable of the chunk aChunkID. OK accepts it, an error refuses it.";
inline constexpr char kOnOpen[] =
    "The stream channel was opened.\n\naDestIP: the destination IP address as dotted text (SCDA).\n"
    "aDestPort: the destination UDP port (SCP).";
inline constexpr char kOnClose[] = "The stream channel was closed.";
inline constexpr char kOnStreamingStart[] = "The controller asked to start streaming on this channel.";
inline constexpr char kOnStreamingStop[] = "The controller asked to stop streaming on this channel.";
inline constexpr char kAllocBuffer[] =
    "Asked repeatedly when the device is initialised, until it returns None: each call gives a new, distinct "
    "buffer for acquisition and transmission. More buffers mean more queued frames and more room for packet "
    "resend, at the cost of memory. At most 64 buffers per stream channel: the device asks no further once it "
    "holds 64.";
inline constexpr char kFreeBuffer[] =
    "Called for each buffer from AllocBuffer when the device's Stop is called. A buffer handed out by AllocBuffer "
    "is freed or released here and nowhere else.";
inline constexpr char kGetTxNumBuffersToUse[] =
    "Asked before OnStreamingStart: (OK, count) limits the buffers the transmitter uses, from 4 to the number "
    "allocated; NOT_IMPLEMENTED lets it use all. When fewer are used, all buffers must still come back through "
    "RetrieveBuffer when the stream stops.\n\naNumBuffer: a placeholder, never read (a Python override gets a "
    "pointer object there).\nA Python override returns the tuple (result, count).";
inline constexpr char kQueueBuffer[] =
    "A buffer offered for acquisition: OK takes it, an error refuses it (queue full).";
inline constexpr char kPreQueueBufferProc[] =
    "A hook of the device's processing loop, for experts: whether the loop can go on queueing or retrieving the "
    "next buffer. A source is advised to keep the interface's implementation (True).";
inline constexpr char kPostRetrieveBufferProc[] =
    "A hook of the device's processing loop, for experts, after a buffer was retrieved. A source is advised to "
    "keep the interface's implementation (nothing).";
inline constexpr char kRetrieveBuffer[] =
    "Hands back a filled buffer, which the device transmits with GVSP; also hands back the queued buffers after "
    "AbortQueuedBuffers. When no image is ready it should wait in short steps (10, 20 or 50 ms) so that the "
    "device can stop streaming in time.\n\naBuffer: the pointer object the buffer is stored through.\n"
    "A Python override returns the tuple (result, buffer).";
inline constexpr char kAbortQueuedBuffers[] =
    "Blocks until every queued buffer not yet retrieved is aborted; afterwards RetrieveBuffer must give all of "
    "them back.";
inline constexpr char kCreateRegisters[] =
    "Called inside the device's Start, before CreateGenApiFeatures: the source adds its own registers through "
    "the register factory aFactory. Several sources of one class must use distinct register addresses and, as "
    "advised, distinct names (such as a per-source number suffix).";
inline constexpr char kCreateGenApiFeatures[] =
    "Called inside the device's Start, after CreateRegisters: the source adds its own GenICam features through "
    "the GenApi factory aFactory. They are available only while SourceSelector selects a source that created "
    "them. Same-named integer or float features of several sources with per-source minimum, maximum and "
    "increment, and same-named enumerations with per-source entries, are merged by the device; the same name "
    "with different types makes Start fail. Per-source features use per-source registers, except selectors, "
    "which share one register address. Device-wide features belong to the event sink's "
    "OnCreateCustomGenApiFeatures.";
inline constexpr char kIsPayloadTypeSupported[] =
    "True if the source can stream aPayloadType; the interface's answer is False. A multi-part source must answer "
    "True for TqPayloadTypeMultiPart, which makes the device add GevSCCFGMultiPartEnabled and "
    "GevSCCFGLargeLeaderTrailerEnabled to its GenICam XML.";
inline constexpr char kSetMultiPartAllowed[] =
    "The controller allowed (not forced) multi-part transmission, through the SCCx and SCCFGx bootstrap "
    "registers or GevSCCFGMultiPartEnabled. A device starts with multi-part not allowed and must stream "
    "single-part by default.";
inline constexpr char kSetLargeLeaderTrailerEnabled[] =
    "Large data leader and trailer packets on or off. Without them multi-part carries at most 10 parts; with "
    "them the packet size follows the SCPSx register, and aMaxMultiPartCount is the largest part count it "
    "allows. Only offered while GevSCCFGMultiPartEnabled is on.";
inline constexpr char kSetTestPayloadFormatMode[] =
    "For validation with the GigE Vision Validation Framework, only for payload types reported as supported: "
    "TqPayloadTypeMultiPart sets the source up for autonomous multi-part streaming and returns OK; "
    "TqPayloadTypeNone returns to normal operation and OK; anything else returns an error such as "
    "NOT_SUPPORTED.";

// The texts of the 35 operations both classes have, under the prefix P.
template <kivo::rt::Text P>
kivo::rt::DocTable shared() {
    using kivo::rt::joined;
    using kivo::rt::summary;
    return {
        summary(joined<P, "_GetWidth">.c_str(), kCurrent<"image width">.c_str()),
        summary(joined<P, "_GetHeight">.c_str(), kCurrent<"image height">.c_str()),
        summary(joined<P, "_GetOffsetX">.c_str(), kCurrent<"image offset X">.c_str()),
        summary(joined<P, "_GetOffsetY">.c_str(), kCurrent<"image offset Y">.c_str()),
        summary(joined<P, "_GetPixelType">.c_str(), kCurrent<"pixel type">.c_str()),
        summary(joined<P, "_GetWidthInfo">.c_str(), kLimits<"Width">.c_str()),
        summary(joined<P, "_GetHeightInfo">.c_str(), kLimits<"Height">.c_str()),
        summary(joined<P, "_GetChunksSize">.c_str(), kGetChunksSize),
        summary(joined<P, "_GetPayloadSize">.c_str(), kGetPayloadSize),
        summary(joined<P, "_GetScanType">.c_str(), kGetScanType),
        summary(joined<P, "_GetChunkModeActive">.c_str(), kGetChunkModeActive),
        summary(joined<P, "_GetChunkEnable">.c_str(), kGetChunkEnable),
        summary(joined<P, "_GetSupportedPixelType">.c_str(), kGetSupportedPixelType),
        summary(joined<P, "_GetSupportedChunk">.c_str(), kGetSupportedChunk),
        summary(joined<P, "_SetWidth">.c_str(), kChanged<"Width">.c_str()),
        summary(joined<P, "_SetHeight">.c_str(), kChanged<"Height">.c_str()),
        summary(joined<P, "_SetOffsetX">.c_str(), kChanged<"OffsetX">.c_str()),
        summary(joined<P, "_SetOffsetY">.c_str(), kChanged<"OffsetY">.c_str()),
        summary(joined<P, "_SetPixelType">.c_str(), kChanged<"PixelFormat">.c_str()),
        summary(joined<P, "_SetChunkModeActive">.c_str(), kSetChunkModeActive),
        summary(joined<P, "_SetChunkEnable">.c_str(), kSetChunkEnable),
        summary(joined<P, "_OnOpen">.c_str(), kOnOpen),
        summary(joined<P, "_OnClose">.c_str(), kOnClose),
        summary(joined<P, "_OnStreamingStart">.c_str(), kOnStreamingStart),
        summary(joined<P, "_OnStreamingStop">.c_str(), kOnStreamingStop),
        summary(joined<P, "_AllocBuffer">.c_str(), kAllocBuffer),
        summary(joined<P, "_FreeBuffer">.c_str(), kFreeBuffer),
        summary(joined<P, "_GetTxNumBuffersToUse">.c_str(), kGetTxNumBuffersToUse),
        summary(joined<P, "_AbortQueuedBuffers">.c_str(), kAbortQueuedBuffers),
        summary(joined<P, "_CreateRegisters">.c_str(), kCreateRegisters),
        summary(joined<P, "_CreateGenApiFeatures">.c_str(), kCreateGenApiFeatures),
        summary(joined<P, "_IsPayloadTypeSupported">.c_str(), kIsPayloadTypeSupported),
        summary(joined<P, "_SetMultiPartAllowed">.c_str(), kSetMultiPartAllowed),
        summary(joined<P, "_SetLargeLeaderTrailerEnabled">.c_str(), kSetLargeLeaderTrailerEnabled),
        summary(joined<P, "_SetTestPayloadFormatMode">.c_str(), kSetTestPayloadFormatMode),
    };
}

}  // namespace kivo::module::source_docs
