// ITqSoftDeviceGEV and TqSoftDeviceGEV: the software device Python creates and the interface in which
// the SDK hands it to callbacks. Every operation exists under both prefixes; a callback's device is an
// ITqSoftDeviceGEV proxy, which the TqSoftDeviceGEV functions refuse. What Python hands the device by
// pointer (stream sources, event sinks, the user-set notification) stays alive while the device holds
// it: until it is unregistered, replaced or the device goes.
#include "arg_kinds.h"
#include "attached.h"
#include "classes.h"
#include "director.h"

#include "TqSoftDeviceGEV.h"

#include <mutex>
#include <set>
#include <vector>

namespace kivo::module {

using namespace kivo::rt;

namespace {

using ActionHandler = PointerObject<TqVirtualDeviceLib::IActionHandler*, TypeId::TqVirtualDeviceLib__IActionHandler,
                                    "TqVirtualDeviceLib::IActionHandler *", NoneIs::Null>;

// The devices Python made, so that none still runs when the interpreter finalises: its threads would
// call into Python (the runtime's exit hook stops them, before it refuses callbacks).
struct Made {
    std::mutex lock;
    std::set<TqSoftDeviceGEV*> devices;
};
Made& made() {
    static auto* all = new Made;   // devices may go while the process exits
    return *all;
}

TqSoftDeviceGEV* make_device() {
    auto* device = new TqSoftDeviceGEV;
    std::lock_guard<std::mutex> guard(made().lock);
    made().devices.insert(device);
    return device;
}

void forget_device(void* device) {
    forget_registered(device);
    std::lock_guard<std::mutex> guard(made().lock);
    made().devices.erase(static_cast<TqSoftDeviceGEV*>(device));
}

void stop_devices() {
    std::vector<TqSoftDeviceGEV*> running;
    {
        std::lock_guard<std::mutex> guard(made().lock);
        running.assign(made().devices.begin(), made().devices.end());
    }
    if (running.empty()) return;
    PyThreadState* state = PyEval_SaveThread();
    for (TqSoftDeviceGEV* device : running) device->Stop();
    PyEval_RestoreThread(state);
}

const bool g_stops_at_exit = (add_exit_action(&stop_devices), true);

const char* const kAddStream =
    "Adds a stream whose contents come from the source. All streams are added before the device starts.\n\n"
    "Results: OK; INVALID_PARAMETER: no source; STATE_ERROR: the device is running; NOT_SUPPORTED: the device "
    "has as many streams as it can (4).";
const char* const kUserSetCount =
    "The number of user sets the device supports besides the default user set, at most 256; only before the "
    "device starts.\n\nResults: OK; INVALID_PARAMETER: more than 256; STATE_ERROR: the device is running.";
const char* const kUserSetNotify =
    "The object whose UserSetStateNotify is called when a user-set load or save changes its state (None: "
    "nobody).";
const char* const kTcp =
    "Enables the experimental TCP transport for control, messaging and streaming beside UDP (recorded; this "
    "build opens no TCP socket).";
const char* const kRtp = "Makes RTP selectable as a stream channel's protocol (recorded; this build sends no RTP).";
const char* const kActionHandler = "Sets the device's handler of action commands.";
const char* const kRegister =
    "Registers a sink of the device's notifications; also before the device starts.\n\nResults: OK; "
    "INVALID_PARAMETER: no sink, or the sink is registered already.";
const char* const kUnregister =
    "Removes a registered sink; also before the device starts and after it stopped.\n\nResults: OK; "
    "INVALID_PARAMETER: no sink, or the sink is not registered.";
const char* const kStart =
    "Starts the device on the network interface of the MAC address; it serves control and streams from "
    "threads of its own until Stop or its destruction. Inside Start the SDK calls the register and feature "
    "callbacks of the sinks and sources and builds the GenICam XML.\n\nResults: OK; STATE_ERROR: the device "
    "is running; INVALID_PARAMETER: the MAC address names no interface.";
const char* const kStop =
    "Stops the device.\n\nResults: OK; STATE_ERROR: the device is not running, or Stop was called from one of "
    "the device's own callbacks.";
const char* const kInterface = "Available from the start of Start while the device runs; None otherwise.";
const char* const kXml =
    "GetGenICamXMLFile() -> TqResult, str\n\nThe device's GenICam XML file, available once Start was called, "
    "whether it succeeded or not; STATE_ERROR and None before.\n\n:rtype:  Tuple(TqResult, str)";
const char* const kTimestamping =
    "Timestamps each buffer as it is queued on every source (the default). Off, a buffer goes out with the "
    "timestamp it carries. Register and messaging timestamps are not affected.";

// The fifteen operations, under the prefix of the class whose self they take.
template <class D, Text P>
Entries operations() {
    using Xml = Params<TqString&>;
    return {
        described(method<joined<P, "_AddStream">, &D::AddStream, Registers<>>("aSource"), kAddStream),
        described(method<joined<P, "_SetUserSetCount">, &D::SetUserSetCount>("aCount"), kUserSetCount),
        described(method<joined<P, "_SetUserSetNotify">, &D::SetUserSetNotify, KeepsOne<"user-set notify">>(
                      "aUserSetNotify"),
                  kUserSetNotify),
        described(method<joined<P, "_SetTCPTransportEnabled">, &D::SetTCPTransportEnabled>("aEnabled"), kTcp),
        described(method<joined<P, "_SetRTPProtocolEnabled">, &D::SetRTPProtocolEnabled>("aEnabled"), kRtp),
        described(method<joined<P, "_SetActionHandler">, &D::SetActionHandler, Default, Params<ActionHandler>>(
                      "aActionHandler"),
                  kActionHandler),
        described(method<joined<P, "_RegisterEventSink">, &D::RegisterEventSink, Registers<>>("aEventSink"), kRegister),
        described(method<joined<P, "_UnregisterEventSink">, &D::UnregisterEventSink, Unregisters<>>("aEventSink"),
                  kUnregister),
        described(method<joined<P, "_Start">, &D::Start>("aMACAddress"), kStart),
        described(method<joined<P, "_Stop">, &D::Stop>(), kStop),
        described(method<joined<P, "_GetInfo">, &D::GetInfo>(), kInterface),
        described(method<joined<P, "_GetRegisterMap">, &D::GetRegisterMap>(), kInterface),
        described(method<joined<P, "_GetStatistics">, &D::GetStatistics>(), kInterface),
        described(method<joined<P, "_GetMessagingChannel">, &D::GetMessagingChannel>(), kInterface),
        described(method<joined<P, "_GetGenICamXMLFile">, &D::GetGenICamXMLFile, TupleOutputs<>, Xml>("aXMLFile"),
                  kXml),
    };
}

}  // namespace

Entries soft_device_interface_entries() {
    Entries out = operations<ITqSoftDeviceGEV, "ITqSoftDeviceGEV">();
    out.push_back(documented_as(delete_entry<"delete_ITqSoftDeviceGEV", ITqSoftDeviceGEV, &forget_device>(),
                                "Virtual destructor."));
    out.push_back(registration<"ITqSoftDeviceGEV_swigregister", ITqSoftDeviceGEV>());
    return out;
}

Entries soft_device_entries() {
    using D = TqSoftDeviceGEV;
    Entries out = {
        documented_as(as_role(function<"new_TqSoftDeviceGEV", &make_device, ResultAs<&ConstructedResult<D>::kind>>(),
                              Role::Constructor),
                      "Constructor."),
        documented_as(delete_entry<"delete_TqSoftDeviceGEV", D, &forget_device>(), "Destructor."),
    };
    for (Entry& e : operations<D, "TqSoftDeviceGEV">()) out.push_back(std::move(e));
    out.push_back(described(method<"TqSoftDeviceGEV_SetStreamTimestamping", &D::SetStreamTimestamping>("aEnabled"),
                            kTimestamping));
    out.push_back(registration<"TqSoftDeviceGEV_swigregister", D>());
    out.push_back(initialisation<"TqSoftDeviceGEV_swiginit">());
    return out;
}

}  // namespace kivo::module
