// ITqSoftDeviceGEVEventSink and ITqUserSetNotify: the callbacks of a software device that Python
// subclasses, with their directors. The event sink's notifications do nothing by default (None makes
// a plain sink); the user-set notification is pure (None is refused).
#include "classes.h"
#include "directors.h"

#include "TqSoftDeviceGEV.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using Sink = ITqSoftDeviceGEVEventSink;
using Device = ITqSoftDeviceGEV;
using Text = const TqString&;

class SwigDirector_ITqSoftDeviceGEVEventSink : public DirectorOf<Sink, "ITqSoftDeviceGEVEventSink"> {
public:
    KIVO_DIRECTOR(SwigDirector_ITqSoftDeviceGEVEventSink)
    KIVO_VIRTUAL(void, OnApplicationConnect, Device*, Text, uint16_t, TqAccessType)
    KIVO_VIRTUAL(void, OnControlChannelStart, Device*, Text, Text, Text, Text, uint16_t)
    KIVO_VIRTUAL(void, OnApplicationDisconnect, Device*)
    KIVO_VIRTUAL(void, OnControlChannelStop, Device*)
    KIVO_VIRTUAL(void, OnDeviceResetFull, Device*)
    KIVO_VIRTUAL(void, OnDeviceResetNetwork, Device*)
    KIVO_VIRTUAL(void, OnCreateCustomRegisters, Device*, ITqRegisterFactory*)
    KIVO_VIRTUAL(void, OnCreateCustomGenApiFeatures, Device*, ITqGenApiFactory*)
};

class SwigDirector_ITqUserSetNotify : public DirectorOf<ITqUserSetNotify, "ITqUserSetNotify"> {
public:
    KIVO_DIRECTOR(SwigDirector_ITqUserSetNotify)
    KIVO_PURE_VIRTUAL(TqResult, UserSetStateNotify, TqUserSetState, uint32_t)
};

}  // namespace

Entries soft_device_event_sink_entries() {
    using D = SwigDirector_ITqSoftDeviceGEVEventSink;
    return {
        undocumented(director_constructor<"new_ITqSoftDeviceGEVEventSink", D, Sink, true>()),
        disown_entry<"disown_ITqSoftDeviceGEVEventSink", Sink>(),
        delete_entry<"delete_ITqSoftDeviceGEVEventSink", Sink>(),
        documented(director_virtual<D, D::V_OnApplicationConnect>("aDevice", "aIPAddress", "aPort", "aAccessType")),
        documented(director_virtual<D, D::V_OnControlChannelStart>("aDevice", "aMACAddress", "aIPAddress", "aMask",
                                                                   "aGateway", "aPort")),
        documented(director_virtual<D, D::V_OnApplicationDisconnect>("aDevice")),
        documented(director_virtual<D, D::V_OnControlChannelStop>("aDevice")),
        documented(director_virtual<D, D::V_OnDeviceResetFull>("aDevice")),
        documented(director_virtual<D, D::V_OnDeviceResetNetwork>("aDevice")),
        documented(director_virtual<D, D::V_OnCreateCustomRegisters>("aDevice", "aFactory")),
        documented(director_virtual<D, D::V_OnCreateCustomGenApiFeatures>("aDevice", "aFactory")),
        registration<"ITqSoftDeviceGEVEventSink_swigregister", Sink>(),
        initialisation<"ITqSoftDeviceGEVEventSink_swiginit">(),
    };
}

// The docstrings' texts of ITqSoftDeviceGEVEventSink's rows.
const DocTable kSoftDeviceEventSinkDocs{
    whole("delete_ITqSoftDeviceGEVEventSink", "Virtual destructor."),
    summary("ITqSoftDeviceGEVEventSink_OnApplicationConnect",
            "A GigE Vision controller has taken ownership of the control channel.\n\naIPAddress: the controller's IP "
            "address in dotted text form.\naPort: the controller's UDP port.\naAccessType: the access it secured."),
    summary("ITqSoftDeviceGEVEventSink_OnControlChannelStart",
            "The control channel, the device's GVCP command server, has started.\n\naMACAddress: the MAC address of "
            "the local network interface.\naIPAddress: the IP address the channel is bound to.\naMask: its subnet "
            "mask.\naGateway: the gateway of the interface.\naPort: the UDP port the channel listens to, the GigE "
            "Vision standard port 3956."),
    summary("ITqSoftDeviceGEVEventSink_OnApplicationDisconnect",
            "The controller has released the control channel; also sent when the device releases it itself after a "
            "heartbeat refresh failure."),
    summary("ITqSoftDeviceGEVEventSink_OnControlChannelStop", "The control channel has stopped."),
    summary("ITqSoftDeviceGEVEventSink_OnDeviceResetFull",
            "The device has performed a full reset, the equivalent of a power cycle."),
    summary("ITqSoftDeviceGEVEventSink_OnDeviceResetNetwork",
            "The device has reset its network stack, usually after a FORCEIP_CMD command."),
    summary("ITqSoftDeviceGEVEventSink_OnCreateCustomRegisters",
            "The device should create its custom registers now, with aFactory. Called inside Start, before the custom "
            "GenApi features are created."),
    summary("ITqSoftDeviceGEVEventSink_OnCreateCustomGenApiFeatures",
            "The device should create its custom GenApi features now, with aFactory. Called inside Start, after the "
            "custom registers are created."),
};

Entries user_set_notify_entries() {
    using D = SwigDirector_ITqUserSetNotify;
    return {
        undocumented(director_constructor<"new_ITqUserSetNotify", D, ITqUserSetNotify>()),
        disown_entry<"disown_ITqUserSetNotify", ITqUserSetNotify>(),
        undocumented(delete_entry<"delete_ITqUserSetNotify", ITqUserSetNotify>()),
        documented(director_virtual<D, D::V_UserSetStateNotify>("aUserSetState", "aUserSetIndex")),
        registration<"ITqUserSetNotify_swigregister", ITqUserSetNotify>(),
        initialisation<"ITqUserSetNotify_swiginit">(),
    };
}

// The docstrings' texts of ITqUserSetNotify's rows.
const DocTable kUserSetNotifyDocs{
    summary("ITqUserSetNotify_UserSetStateNotify",
            "The callback is issued when a user-set state is reached.\n\naUserSetState: the state the device entered."
            "\naUserSetIndex: the user set affected; the default user set is 0, the others start from 1."),
};

}  // namespace kivo::module
