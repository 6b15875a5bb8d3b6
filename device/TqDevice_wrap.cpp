// TqDevice: the static factory (typed by kind) and its Free, connection, memory access, the
// description, the parameter arrays (which keep the device's proxy alive), event sinks and the
// priorities of the device's threads.
#include "attached.h"
#include "devices.h"

#include "TqDevice.h"
#include "TqDeviceEventSink.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using D = TqDevice;
using DeviceKinds = MostDerivedOf<TqDevice, TqDeviceGEV, TqDeviceU3V, TqDeviceZelvraProtocol>;
using MadeResult = Spelled<"TqResult *", Made<TqResult&>>;
// (TqResult, device typed by its kind and not owned, or None).
using Created = ResultAs<&DeviceKinds::kind, OutputsFirst<>>;

TqDevice* create_by_info(const TqDeviceInfo* info, TqResult& result) { return D::CreateAndConnect(info, &result); }
TqDevice* create_by_text(const TqString& info, TqResult& result) { return D::CreateAndConnect(info, &result); }


TqResult connect_info(D* self, const TqDeviceInfo* info) { return self->Connect(info); }
TqResult connect_text(D* self, const TqString& info) { return self->Connect(info); }
TqResult stream_enable(D* self) { return self->StreamEnable(0); }
TqResult stream_disable(D* self) { return self->StreamDisable(0); }

#define KIVO_PRIORITY_TEXT                                                                                    \
    "\n\nAll callbacks are fired/run in the context of this thread.\n\naPriority: See "                          \
    "#TqPipeline::SetBufferHandlingThreadPriority for description of the supported values"
const char* const kHeartbeatText =
    "This thread must never starve against any other system thread to the risk of losing the device connection." KIVO_PRIORITY_TEXT;
const char* const kInterruptLinkText =
    "Interrupt link thread receives messaging channel packets from the device, sends acknowledge\nback and queues the "
    "message in the interrupt queue." KIVO_PRIORITY_TEXT;
const char* const kInterruptQueueText =
    "This thread is simply used to fire/invoke the OnLinkDisconnected and OnLinkReconnected TqDeviceEventSink "
    "events." KIVO_PRIORITY_TEXT;
#undef KIVO_PRIORITY_TEXT

}  // namespace

Entries device_entries() {
    Entries out = {
        as_role(overloaded<"TqDevice_CreateAndConnect">(
                    static_func<D, &create_by_info, Created, Params<const TqDeviceInfo*, MadeResult>>("aDeviceInfo",
                                                                                             "aResult"),
                    static_func<D, &create_by_text, Created, Params<const TqString&, MadeResult>>("aInfo", "aResult")),
                Role::Static),
        static_method<"TqDevice_Free", D, &D::Free, Frees<1, &forget_registered>>("aDevice"),
        method<"TqDevice_GetType", &D::GetType>(),
        overloaded<"TqDevice_Connect">(meth<&connect_info>("aDeviceInfo"), meth<&connect_text>("aInfo")),
        method<"TqDevice_Disconnect", &D::Disconnect>(),
        overloaded<"TqDevice_StreamEnable">(meth<&D::StreamEnable>("aChannel"), meth<&stream_enable>()),
        overloaded<"TqDevice_StreamDisable">(meth<&D::StreamDisable>("aChannel"), meth<&stream_disable>()),
        method<"TqDevice_IsConnected", &D::IsConnected>(),
        method<"TqDevice_IsZelvraPowered", &D::IsZelvraPowered>(),
        method<"TqDevice_DumpGenICamXML", &D::DumpGenICamXML>("aFilename"),
        method<"TqDevice_GetDefaultGenICamXMLFilename", &D::GetDefaultGenICamXMLFilename, TupleOutputs<>>("aFilename"),
        method<"TqDevice_GetParameters", &D::GetParameters, KeepAlive<1>>(),
        method<"TqDevice_GetCommunicationParameters", &D::GetCommunicationParameters, KeepAlive<1>>(),
        method<"TqDevice_ReadMemory", &D::ReadMemory, Default,
               Params<int64_t, NewArray<uint8_t*, int64_t>>>("aAddress", "aByteCount"),
        method<"TqDevice_WriteMemory", &D::WriteMemory, Default, Params<int64_t, Array<const uint8_t*, int64_t>>>(
            "aAddress", "aSource"),
        method<"TqDevice_WaitForMessagingChannelIdle", &D::WaitForMessagingChannelIdle>("aTimeout"),
        method<"TqDevice_RegisterEventSink", &D::RegisterEventSink, Registers<>>("aEventSink"),
        method<"TqDevice_UnregisterEventSink", &D::UnregisterEventSink, Unregisters<>>("aEventSink"),
        method<"TqDevice_GetPayloadSize", &D::GetPayloadSize>(),
        method<"TqDevice_GetUniqueID", &D::GetUniqueID, TupleOutputs<>>("aID"),
        delete_entry<"delete_TqDevice", D, &forget_registered>(),
        registration<"TqDevice_swigregister", D>(),
    };
    out.push_back(method<"TqDevice_GetHeartbeatThreadPriority", &D::GetHeartbeatThreadPriority>());
    out.push_back(method<"TqDevice_SetHeartbeatThreadPriority", &D::SetHeartbeatThreadPriority>("aPriority"));
    out.push_back(method<"TqDevice_GetInterruptLinkThreadPriority", &D::GetInterruptLinkThreadPriority>());
    out.push_back(method<"TqDevice_SetInterruptLinkThreadPriority", &D::SetInterruptLinkThreadPriority>("aPriority"));
    out.push_back(method<"TqDevice_GetInterruptQueueThreadPriority", &D::GetInterruptQueueThreadPriority>());
    out.push_back(method<"TqDevice_SetInterruptQueueThreadPriority", &D::SetInterruptQueueThreadPriority>("aPriority"));
    return out;
}

// The docstrings' texts of TqDevice's rows.
const DocTable kDeviceDocs{
    summary("TqDevice_CreateAndConnect",
            "CreateAndConnect(*args) -> TqResult, TqDevice\n\nDynamically allocates a TqDevice of the right "
            "type.\n\nObjects allocated with CreateAndConnect should be freed with "
            ":py:func:`TqDevice.Free`.\n\n:rtype:  Tuple(TqResult, TqDevice)"),
    summary("TqDevice_Free",
            "Frees an object allocated with CreateAndConnect.\n\nIt is a good practice to use this method to free a "
            "TqDevice allocated with CreateAndConnect."),
    summary("TqDevice_Connect",
            "If you know the GigE Vision device's IP address, MAC address or DeviceUserID, you can use this method "
            "to connect to it.\nIf you know the USB3 Vision device's GUID or DeviceUserID, you can use this method "
            "to connect it.\n\naInfo: a MAC address (Use the form 00:11:22:33:44:5F.), an IP address, a DeviceUserID "
            "or a USB3 Vision GUID.\n\nOnly one device can be connected to at a time."),
    summary("TqDevice_StreamEnable",
            "After calling StreamEnable, the user must still execute the AcquisitionStart GenICam command\nof the "
            "device to instruct the device to begin acquisition.\n\n:type aChannel: int, in, optional"),
    summary("TqDevice_StreamDisable",
            "StreamDisable should be called after the AcquisitionStop GenICam command has been executed\nand all "
            "images have been received.\n\n:type aChannel: int, in, optional"),
    summary("TqDevice_DumpGenICamXML",
            "If the XML is stored in a zip file on the device, the zip file containing the XML\nis saved on the disk."),
    summary("TqDevice_GetDefaultGenICamXMLFilename",
            "GetDefaultGenICamXMLFilename() -> TqResult, str\n\nThe filename is built from the URL that was used in "
            "order to locate\nthe GenICam XML file of the device.\n\n:rtype:  Tuple(TqResult, str)"),
    summary("TqDevice_ReadMemory",
            "ReadMemory( aAddress, aByteCount ) -> TqResult, ndarray\n\naAddress: Start address of the read memory "
            "operation (mod 4).\naByteCount: Bytes to read from the device (mod 4, non 0).\n\n:rtype:  "
            "Tuple(TqResult, ndarray)"),
    summary("TqDevice_WriteMemory",
            "aSource: A 1-dimensional python numpy array with dtype np.uint8 describing the data to write to the "
            "device."),
    summary("TqDevice_WaitForMessagingChannelIdle",
            "This method returns once the host-side messaging channel in-queue is empty\nor aTimeout (ms) has "
            "elapsed."),
    summary("TqDevice_RegisterEventSink", "GENERIC_ERROR - if event already registered"),
    summary("TqDevice_GetPayloadSize",
            "This method attempts to read the GenICam PayloadSize parameter of the device. If the operation "
            "fails\nthe payload size is computed from width, height and pixel format as a fall back.\n\n0 can only "
            "be returned if the device is not connected."),
    summary("TqDevice_GetUniqueID", "GetUniqueID() -> TqResult, str\n\n:rtype:  Tuple(TqResult, str)"),
    summary("TqDevice_SetHeartbeatThreadPriority", kHeartbeatText),
    summary("TqDevice_SetInterruptLinkThreadPriority", kInterruptLinkText),
    summary("TqDevice_SetInterruptQueueThreadPriority", kInterruptQueueText),
};

}  // namespace kivo::module
