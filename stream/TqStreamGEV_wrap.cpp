// TqStreamGEV: its eighteen opening forms (unicast and multicast, by record or address), the
// user-mode receiver's settings, and the static driver test.
#include "arg_kinds.h"
#include "streams.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

// IsDriverInstalled's address: a TqString proxy only (the SDK writes to it); a text of another
// form, or None, is the call's and is refused.
int convert_address_text(PyObject* o, Slot& s, const ParamShape&) {
    if (o == Py_None) return committed(SwigError_NullReference);
    void* p = nullptr;
    if (SwigPyObject_ConvertPtr(o, &p, descriptor_of<TqString>(), SwigConvert_NoNull, nullptr) >= 0 && p) {
        s.as<void*>() = p;
        return 0;
    }
    // Any other form of text passes the overload test and is refused by the candidate.
    PyObject* probe = PyUnicode_Check(o) ? o : nullptr;
    void* raw = nullptr;
    bool text = probe || (SwigRuntime_WCharDescriptor() &&
                          SwigPyObject_ConvertPtr(o, &raw, SwigRuntime_WCharDescriptor(), 0, nullptr) >= 0);
    if (!text) {
        char* narrow = nullptr;
        int alloc = 0;
        text = SwigAs_CharPtrAndSize(o, &narrow, nullptr, &alloc) >= 0;
        if (alloc == SwigFlag_NewObject) delete[] narrow;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return text ? committed(SwigError_Type) : SwigError_Type;
}
constexpr ParamKind kAddressTextKind{convert_address_text, nullptr, nullptr, nullptr, Rank_String, false, nullptr};
using AddressText = PointerKind<"TqString &", &kAddressTextKind, nullptr, TqString&>;

using G = TqStreamGEV;
using Info = const TqDeviceInfo*;
using Str = const TqString&;
using Port = uint16_t;
using Channel = WithDefault<uint16_t, 0>;
using Capacity = WithDefault<uint32_t, 64>;
// Self may be None and is refused by the form; so is None where a text stands.
using Strict = NoneSelfCommits<NoneCommitsFrom<2>>;

TqResult driver_installed(TqString& address, bool& installed, Str local) {
    return G::IsDriverInstalled(address, installed, local);
}
TqResult driver_installed_short(TqString& address, bool& installed) { return G::IsDriverInstalled(address, installed); }
TqResult driver_installed_flag(Str address, bool& installed) {
    TqString text(address);
    return G::IsDriverInstalled(text, installed);
}

const char* const kUnicast =
    "Begin receiving blocks (images or raw data) **unicasted** from a GigE Vision transmitter.\nNote that this "
    "overload of Open is for receiving blocks that are unicasted from a GigE Vision transmitter to an interface on "
    "the same subnet.";

}  // namespace

Entries stream_gev_entries() {
    return {
        constructor_entry<"new_TqStreamGEV", G>(),
        delete_entry<"delete_TqStreamGEV", G, &forget_registered>(),
        overloaded<"TqStreamGEV_Open">(
        meth<member<TqResult(Info)>(&G::Open), Strict>("aDeviceInfo"),
        meth<member<TqResult(Info, uint16_t, uint16_t, Str, uint32_t)>(&G::Open), Strict,
           Params<Info, Port, Channel, EmptyTextDefault, Capacity>>("aDeviceInfo", "aLocalPort", "aChannel",
                                                                    "aLocalIPAddress", "aBuffersCapacity"),
        meth<member<TqResult(Info, Str, uint16_t, uint16_t, Str, uint32_t)>(&G::Open), Strict,
           Params<Info, Str, Port, Channel, EmptyTextDefault, Capacity>>(
          "aDeviceInfo", "aMulticastAddr", "aDataPort", "aChannel", "aLocalIPAddress", "aBuffersCapacity"),
        meth<member<TqResult(Str)>(&G::Open), Strict>("aInfo"),
        meth<member<TqResult(Str, uint16_t, uint16_t, Str, uint32_t)>(&G::Open), Strict,
           Params<Str, Port, Channel, EmptyTextDefault, Capacity>>("aInfo", "aLocalPort", "aChannel",
                                                                   "aLocalIPAddress", "aBuffersCapacity"),
        meth<member<TqResult(Str, Str, uint16_t, uint16_t, Str, uint32_t)>(&G::Open), Strict,
           Params<Str, Str, Port, Channel, EmptyTextDefault, Capacity>>(
          "aInfo", "aMulticastAddr", "aDataPort", "aChannel", "aLocalIPAddress", "aBuffersCapacity")),
        method<"TqStreamGEV_GetType", &G::GetType>(),
        method<"TqStreamGEV_GetDataReceiverType", &G::GetDataReceiverType>(),
        method<"TqStreamGEV_FlushPacketQueue", &G::FlushPacketQueue>(),
        method<"TqStreamGEV_GetWaitForFirstPacketOfBlockToStart", &G::GetWaitForFirstPacketOfBlockToStart>(),
        method<"TqStreamGEV_SetWaitForFirstPacketOfBlockToStart", &G::SetWaitForFirstPacketOfBlockToStart>(
            "aWaitForFirstPacketOfBlockToStart"),
        method<"TqStreamGEV_GetLocalPort", &G::GetLocalPort>(),
        method<"TqStreamGEV_GetLocalIPAddress", &G::GetLocalIPAddress>(),
        method<"TqStreamGEV_GetMulticastIPAddress", &G::GetMulticastIPAddress>(),
        method<"TqStreamGEV_GetDeviceIPAddress", &G::GetDeviceIPAddress>(),
        method<"TqStreamGEV_GetSpecificLocalPort", &G::GetSpecificLocalPort>(),
        method<"TqStreamGEV_GetUserModeDataReceiverThreadPriority", &G::GetUserModeDataReceiverThreadPriority>(),
        method<"TqStreamGEV_SetUserModeDataReceiverThreadPriority", &G::SetUserModeDataReceiverThreadPriority>(
            "aPriority"),
        method<"TqStreamGEV_GetUserModeSocketRxBufferSize", &G::GetUserModeSocketRxBufferSize, TupleOutputs<>>("aSize"),
        method<"TqStreamGEV_SetUserModeSocketRxBufferSize", &G::SetUserModeSocketRxBufferSize>("aSize"),
        method<"TqStreamGEV_SetUserModeRxPacketBufferSize", &G::SetUserModeRxPacketBufferSize>("aSize"),
        as_role(overloaded<"TqStreamGEV_IsDriverInstalled">(
                    static_func<G, &driver_installed, NoneCommitsFrom<3>,
                                Params<AddressText, BoolReference, Str>>("aIPAddress", "aInstalled", "aLocalIPAddress"),
                    static_func<G, &driver_installed_short, Default, Params<AddressText, BoolReference>>(
                        "aIPAddress", "aInstalled"),
                    static_func<G, &driver_installed_flag, Default, Params<Str, Spelled<"", Present<bool&>>>>(
                        "aIPAddress", "aInstalled")),
                Role::Static),
        registration<"TqStreamGEV_swigregister", G>(),
        initialisation<"TqStreamGEV_swiginit">(),
    };
}

// The docstrings' texts of TqStreamGEV's rows.
const DocTable kStreamGevDocs{
    whole("new_TqStreamGEV", "Constructor."),
    summary("TqStreamGEV_Open", kUnicast),
    summary("TqStreamGEV_GetType", "Returns whether the object is a GigE Vision or USB3 Vision stream receiver."),
    summary("TqStreamGEV_GetDataReceiverType",
            "Returns the type of GigE Vision data receiving used by the stream receiver."),
    summary("TqStreamGEV_FlushPacketQueue", "Flushes all non-processed UDP packets from the data receiver."),
    summary("TqStreamGEV_GetDeviceIPAddress", "Get the IP address of the device this stream receives data from."),
    summary("TqStreamGEV_GetSpecificLocalPort",
            "Returns the local UDP port requested when opening the stream.\n0 is returned if the user did not open "
            "the stream requesting a specific local UDP port if if the stream is not opened."),
    summary("TqStreamGEV_SetUserModeDataReceiverThreadPriority",
            "Only applicable if using a user-mode data receiver.\naPriority: See "
            "#TqPipeline::SetBufferHandlingThreadPriority for description of the supported values"),
    summary("TqStreamGEV_GetUserModeSocketRxBufferSize",
            "Read the current Receive Buffer Size set by the TqStreamGEV that the socket uses.\nThe API is ONLY "
            "supported on Linux System in User Mode when Kivo StreamAccel Driver is not used."),
    summary("TqStreamGEV_SetUserModeSocketRxBufferSize",
            "Set the Receive Buffer Size through socket option SO_RCVBUF by TqStreamGEV.\nThis API must be called "
            "before TqStreamGEV::Open(), otherwise you will receive NETWORK_CONFIG_ERROR.\nIf the value set exceeds "
            "rmem_max, rmem_max will be used instead, and the method will return INVALID_PARAMETER.\nNote: The "
            "kernel doubles the value set by #SetUserModeSocketRxBufferSize (to allow space for bookkeeping "
            "overhead) if possible."),
    summary("TqStreamGEV_SetUserModeRxPacketBufferSize",
            "This API allows the user to increase the max jumbo packet size Kivo SDK supports.\nThe minimum value "
            "can be set is 17000, the default value of Kivo SDK, to support all physical NICs.\nThe maximum value "
            "can be set is 65500, to support Virtual NICs.\nKivo will set the value to min or max for you if the "
            "aSize value is out of range.\nThis API must be called before TqStreamGEV::Open(), otherwise you will "
            "receive NETWORK_CONFIG_ERROR."),
    summary("TqStreamGEV_IsDriverInstalled",
            "Test if the specified GigE Vision device is currently reachable through an Kivo driver\naIPAddress: The "
            "GigE Vision transmitter's IP address.\naInstalled: True if the device is reachable through an Kivo "
            "driver; otherwise, false.\naLocalIPAddress: Deprecated and ignored.\nGiven only the address, returns "
            "[TqResult, installed]."),
};

}  // namespace kivo::module
