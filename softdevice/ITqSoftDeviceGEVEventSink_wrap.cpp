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
        director_virtual<D, D::V_OnApplicationConnect>("aDevice", "aIPAddress", "aPort", "aAccessType"),
        director_virtual<D, D::V_OnControlChannelStart>("aDevice", "aMACAddress", "aIPAddress", "aMask", "aGateway",
                                                        "aPort"),
        director_virtual<D, D::V_OnApplicationDisconnect>("aDevice"),
        director_virtual<D, D::V_OnControlChannelStop>("aDevice"),
        director_virtual<D, D::V_OnDeviceResetFull>("aDevice"),
        director_virtual<D, D::V_OnDeviceResetNetwork>("aDevice"),
        director_virtual<D, D::V_OnCreateCustomRegisters>("aDevice", "aFactory"),
        director_virtual<D, D::V_OnCreateCustomGenApiFeatures>("aDevice", "aFactory"),
        registration<"ITqSoftDeviceGEVEventSink_swigregister", Sink>(),
        initialisation<"ITqSoftDeviceGEVEventSink_swiginit">(),
    };
}

// The docstrings' texts of ITqSoftDeviceGEVEventSink's rows.
const DocTable kSoftDeviceEventSinkDocs{
    whole("delete_ITqSoftDeviceGEVEventSink", "Virtual destructor."),
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
