// TqStreamU3V and TqStreamRTP: the USB3 Vision receiver with its tuning values, and the RTP receiver
// (unicast, multicast, TCP; raw video or H.264), each with its opening forms.
#include "streams.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using U = TqStreamU3V;
using R = TqStreamRTP;
using Info = const TqDeviceInfo*;
using Str = const TqString&;
using Session = const TqSessionInfoSDP*;
using Capacity = WithDefault<uint32_t, 64u>;
using Threshold = WithDefault<uint32_t, 512u>;
using Pending = WithDefault<uint32_t, 64u>;

constexpr const char* kU3VOpen =
    "Begin receiving blocks (images or raw data) **unicasted** from a USB3 Vision transmitter.\naDeviceInfo: Device "
    "info retrieved from finder for the USB3 Vision to open the stream from.\naInfo: The USB3 Vision GUID "
    "transmitter's U3VGUID\naChannel: The USB3 Vision transmitter's streaming channel (default 0).\n"
    "aBuffersCapacity: The maximum number of buffers that can be stored simultaneously in the data receiver.\n"
    "aSmallImageThreshold: Threashold where the exchange of memory with the driver is making copy to decrease "
    "overall overhead due to memory mapping\naMaximumNumberOfPendingURB: Maximum of pending URBs in the controller at "
    "one time\n\nResults: OK, BUSY (Only one instance to one transmitter can be opened at the time), NOT_CONNECTED, "
    "GENERIC_ERROR, NOT_FOUND, CANNOT_OPEN_FILE, NOT_SUPPORTED.";

// Self may be None and is refused by the form; a text None likewise by the text forms.
using Strict = NoneSelfCommits<>;
using StrictText = NoneSelfCommits<NoneCommitsFrom<2>>;

}  // namespace

Entries stream_u3v_entries() {
    return {
        constructor_entry<"new_TqStreamU3V", U>(),
        delete_entry<"delete_TqStreamU3V", U, &forget_registered>(),
        overloaded<"TqStreamU3V_Open">(
            meth<member<TqResult(Info)>(&U::Open), Strict>("aDeviceInfo"),
            meth<member<TqResult(Info, uint16_t, uint32_t, uint32_t, uint32_t)>(&U::Open), Strict, Params<Info, uint16_t, Capacity, Threshold, Pending>>(
                "aDeviceInfo", "aChannel", "aBuffersCapacity", "aSmallImageThreshold",
                "aMaximumNumberOfPendingURB"),
            meth<member<TqResult(Str)>(&U::Open), StrictText>("aInfo"),
            meth<member<TqResult(Str, uint16_t, uint32_t, uint32_t, uint32_t)>(&U::Open), StrictText, Params<Str, uint16_t, Capacity, Threshold, Pending>>(
                "aInfo", "aChannel", "aBuffersCapacity", "aSmallImageThreshold",
                "aMaximumNumberOfPendingURB")),
        method<"TqStreamU3V_GetGUID", &U::GetGUID>(),
        method<"TqStreamU3V_GetType", &U::GetType>(),
        registration<"TqStreamU3V_swigregister", U>(),
        initialisation<"TqStreamU3V_swiginit">(),
    };
}

// The docstrings' texts of TqStreamU3V's rows.
const DocTable kStreamU3vDocs{
    whole("new_TqStreamU3V", "Constructor."),
    whole("delete_TqStreamU3V", "Destructor"),
    summary("TqStreamU3V_Open", kU3VOpen),
    summary("TqStreamU3V_GetGUID", "Get the stream's GUID () property."),
    summary("TqStreamU3V_GetType",
            "Returns whether the object is a GigE Vision or USB3 Vision stream receiver.\n:return: See #TqStreamType "
            "Enum."),
};

Entries stream_rtp_entries() {
    return {
        constructor_entry<"new_TqStreamRTP", R>(),
        delete_entry<"delete_TqStreamRTP", R, &forget_registered>(),
        overloaded<"TqStreamRTP_Open">(
            meth<member<TqResult(Info)>(&R::Open), Strict>("aDeviceInfo"),
            meth<member<TqResult(Str)>(&R::Open), StrictText>("aInfo"),
            meth<member<TqResult(Session, Str, uint16_t)>(&R::Open), NoneSelfCommits<NoneCommitsFrom<3>>,
                 Params<Session, Str, WithDefault<uint16_t, uint16_t{0}>>>("aSession", "aLocalIpAddress", "aLocalPort"),
            meth<member<TqResult(Str, uint16_t)>(&R::Open), StrictText>("aLocalIpAddress", "aLocalPort"),
            meth<member<TqResult(Str, uint16_t, Str)>(&R::Open), StrictText>(
                "aMulticastAddress", "aDataPort", "aLocalIpAddress")),
        method<"TqStreamRTP_OpenTCP", &R::OpenTCP>("aServerIPAddress", "aServerPort"),
        overloaded<"TqStreamRTP_PrepareFor">(
            meth<&R::PrepareFor, Strict, Params<uint32_t, uint32_t, TqPixelType,
                                               WithDefault<uint16_t, uint16_t{0}>>>(
                "aWidth", "aHeight", "aPixelType", "aPaddingX")),
        method<"TqStreamRTP_PrepareForH264", &R::PrepareForH264>(),
        method<"TqStreamRTP_ResetPayloadType", &R::ResetPayloadType>(),
        method<"TqStreamRTP_GetType", &R::GetType>(),
        method<"TqStreamRTP_GetLocalPort", &R::GetLocalPort>(),
        method<"TqStreamRTP_GetLocalIPAddress", &R::GetLocalIPAddress>(),
        method<"TqStreamRTP_GetMulticastIPAddress", &R::GetMulticastIPAddress>(),
        method<"TqStreamRTP_GetTCPServerIPAddress", &R::GetTCPServerIPAddress>(),
        method<"TqStreamRTP_GetTCPServerPort", &R::GetTCPServerPort>(),
        method<"TqStreamRTP_GetThreadPriority", &R::GetThreadPriority>(),
        method<"TqStreamRTP_SetThreadPriority", &R::SetThreadPriority>("aPriority"),
        registration<"TqStreamRTP_swigregister", R>(),
        initialisation<"TqStreamRTP_swiginit">(),
    };
}

// The docstrings' texts of TqStreamRTP's rows.
const DocTable kStreamRtpDocs{
    whole("new_TqStreamRTP", "Constructor."),
    whole("delete_TqStreamRTP", "Destructor"),
    summary("TqStreamRTP_Open",
            "Opens a stream from a #TqDeviceInfo or a device info string: not supported with RTP "
            "(NOT_SUPPORTED).\nOpens the stream from a SDP session info (aSession: The SDP for a given stream.): "
            "NOT_SUPPORTED.\nOpens the stream object for unicast RTP receiving (aLocalIpAddress: A local IP address "
            "to receive from.; aLocalPort: A local port to receive from.): OK on success.\nOpens the stream object "
            "for multicast RTP receiving (aMulticastAddress: The multicast IP address of the stream.; aDataPort: The "
            "stream port.)."),
    summary("TqStreamRTP_OpenTCP",
            "Opens the stream object for TCP receiving.\naServerIPAddress: The RTP server IP address.\naServerPort: "
            "The RTP server port."),
    summary("TqStreamRTP_PrepareFor",
            "Tells the stream object to expect uncompressed images of a specific format.\naWidth: The image's width "
            "to receive.\naHeight: The image's height to receive.\naPixelType: The image's pixel type to "
            "receive.\naPaddingX: The image's padding to receive."),
    summary("TqStreamRTP_PrepareForH264",
            "Tells the stream object to expect an H.264 stream.\n\nResults: #TqResult::Code::OK on success."),
    summary("TqStreamRTP_ResetPayloadType",
            "Resets the expected stream attributes to undefined.\n\nResults: #TqResult::Code::OK on success."),
    summary("TqStreamRTP_GetType", "Receiver type."),
    summary("TqStreamRTP_GetLocalPort", "Returns the local socket port used by the stream."),
    summary("TqStreamRTP_GetLocalIPAddress", "Returns the local IPaddress used by the stream."),
    summary("TqStreamRTP_GetMulticastIPAddress", "Returns the multicast IP address of the stream."),
    summary("TqStreamRTP_GetTCPServerIPAddress",
            "Returns the IP address of the server stream. Only valid in TCP mode."),
    summary("TqStreamRTP_GetTCPServerPort", "Returns the port of the stream server. Only valid in TCP mode."),
    summary("TqStreamRTP_GetThreadPriority", "Returns thread priority of the data receiver thread."),
    summary("TqStreamRTP_SetThreadPriority",
            "Set the priority of the thread used to run the data receiver. If you change the thread priorities, it "
            "may alterate the stability of the system.\naPriority: See #TqPipeline::SetBufferHandlingThreadPriority "
            "for description of the supported values"),
};

}  // namespace kivo::module
