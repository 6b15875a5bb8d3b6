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

// Each through the one guarded call: a Stop that throws is reported as unraisable, and the others
// still stop.
void stop_devices() {
    std::vector<TqSoftDeviceGEV*> running;
    {
        std::lock_guard<std::mutex> guard(made().lock);
        running.assign(made().devices.begin(), made().devices.end());
    }
    if (running.empty()) return;
    Ref where(PyUnicode_FromString("the stop of a running TqSoftDeviceGEV at exit"));
    if (!where) PyErr_Clear();   // reported without it
    for (TqSoftDeviceGEV* device : running)
        if (guarded_call(false, [device] { device->Stop(); }) != Called) PyErr_WriteUnraisable(where.get());
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
        method<joined<P, "_AddStream">, &D::AddStream, Registers<>>("aSource"),
        method<joined<P, "_SetUserSetCount">, &D::SetUserSetCount>("aCount"),
        method<joined<P, "_SetUserSetNotify">, &D::SetUserSetNotify, KeepsOne<"user-set notify">>("aUserSetNotify"),
        method<joined<P, "_SetTCPTransportEnabled">, &D::SetTCPTransportEnabled>("aEnabled"),
        method<joined<P, "_SetRTPProtocolEnabled">, &D::SetRTPProtocolEnabled>("aEnabled"),
        method<joined<P, "_SetActionHandler">, &D::SetActionHandler, Default, Params<ActionHandler>>("aActionHandler"),
        method<joined<P, "_RegisterEventSink">, &D::RegisterEventSink, Registers<>>("aEventSink"),
        method<joined<P, "_UnregisterEventSink">, &D::UnregisterEventSink, Unregisters<>>("aEventSink"),
        method<joined<P, "_Start">, &D::Start>("aMACAddress"),
        method<joined<P, "_Stop">, &D::Stop>(),
        method<joined<P, "_GetInfo">, &D::GetInfo>(),
        method<joined<P, "_GetRegisterMap">, &D::GetRegisterMap>(),
        method<joined<P, "_GetStatistics">, &D::GetStatistics>(),
        method<joined<P, "_GetMessagingChannel">, &D::GetMessagingChannel>(),
        method<joined<P, "_GetGenICamXMLFile">, &D::GetGenICamXMLFile, TupleOutputs<>, Xml>("aXMLFile"),
    };
}

// The texts of the fifteen operations, under the prefix P.
template <Text P>
DocTable operation_docs() {
    return {
        summary(joined<P, "_AddStream">.c_str(), kAddStream),
        summary(joined<P, "_SetUserSetCount">.c_str(), kUserSetCount),
        summary(joined<P, "_SetUserSetNotify">.c_str(), kUserSetNotify),
        summary(joined<P, "_SetTCPTransportEnabled">.c_str(), kTcp),
        summary(joined<P, "_SetRTPProtocolEnabled">.c_str(), kRtp),
        summary(joined<P, "_SetActionHandler">.c_str(), kActionHandler),
        summary(joined<P, "_RegisterEventSink">.c_str(), kRegister),
        summary(joined<P, "_UnregisterEventSink">.c_str(), kUnregister),
        summary(joined<P, "_Start">.c_str(), kStart),
        summary(joined<P, "_Stop">.c_str(), kStop),
        summary(joined<P, "_GetInfo">.c_str(), kInterface),
        summary(joined<P, "_GetRegisterMap">.c_str(), kInterface),
        summary(joined<P, "_GetStatistics">.c_str(), kInterface),
        summary(joined<P, "_GetMessagingChannel">.c_str(), kInterface),
        summary(joined<P, "_GetGenICamXMLFile">.c_str(), kXml),
    };
}

}  // namespace

Entries soft_device_interface_entries() {
    Entries out = operations<ITqSoftDeviceGEV, "ITqSoftDeviceGEV">();
    out.push_back(delete_entry<"delete_ITqSoftDeviceGEV", ITqSoftDeviceGEV, &forget_device>());
    out.push_back(registration<"ITqSoftDeviceGEV_swigregister", ITqSoftDeviceGEV>());
    return out;
}

// The docstrings' texts of ITqSoftDeviceGEV's rows.
const DocTable kSoftDeviceInterfaceOperationDocs = operation_docs<"ITqSoftDeviceGEV">();
const DocTable kSoftDeviceInterfaceDocs{
    whole("delete_ITqSoftDeviceGEV", "Virtual destructor."),
};

Entries soft_device_entries() {
    using D = TqSoftDeviceGEV;
    Entries out = {
        as_role(function<"new_TqSoftDeviceGEV", &make_device, ResultAs<&ConstructedResult<D>::kind>>(),
                Role::Constructor),
        delete_entry<"delete_TqSoftDeviceGEV", D, &forget_device>(),
    };
    for (Entry& e : operations<D, "TqSoftDeviceGEV">()) out.push_back(std::move(e));
    out.push_back(method<"TqSoftDeviceGEV_SetStreamTimestamping", &D::SetStreamTimestamping>("aEnabled"));
    out.push_back(registration<"TqSoftDeviceGEV_swigregister", D>());
    out.push_back(initialisation<"TqSoftDeviceGEV_swiginit">());
    return out;
}

// The docstrings' texts of TqSoftDeviceGEV's rows.
const DocTable kSoftDeviceOperationDocs = operation_docs<"TqSoftDeviceGEV">();
const DocTable kSoftDeviceDocs{
    whole("new_TqSoftDeviceGEV", "Constructor."),
    whole("delete_TqSoftDeviceGEV", "Destructor."),
    summary("TqSoftDeviceGEV_SetStreamTimestamping", kTimestamping),
};

}  // namespace kivo::module
