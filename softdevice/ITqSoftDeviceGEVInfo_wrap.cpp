// The software device's identity (ITqSoftDeviceGEVInfo), counters (ITqSoftDeviceGEVStatistics) and
// messaging channel (ITqMessageChannel): interfaces the device hands out while it runs, none made by
// Python.
#include "classes.h"
#include "sdk_types.h"

#include "TqSoftDeviceGEV.h"

#include <cstdio>
#include <string>

namespace kivo::module {

using namespace kivo::rt;

namespace {

using Info = ITqSoftDeviceGEVInfo;
using Statistics = ITqSoftDeviceGEVStatistics;
using Channel = ITqMessageChannel;

template <Text Name, auto Getter>
Entry text_getter() {
    return method<Name, Getter, AsText<>>();
}

const char* const kIdentityText =
    "At most %d characters (the bootstrap register less its terminating NUL). Controllers read the text at once; the "
    "register holds its UTF-8 form, cut after the last whole character that fits with the NUL, while the getter gives "
    "the text as set.\n\nResults: OK; INVALID_PARAMETER: the text is too long.";

template <Text Name, auto Setter>
Entry text_setter(int longest) {
    static std::string doc;
    char text[320];
    std::snprintf(text, sizeof text, kIdentityText, longest);
    doc = text;
    return described(method<Name, Setter>("aValue"), doc.c_str());
}

template <Text Name, auto Counter>
Entry counter(const char* what) {
    return described(method<Name, Counter>(), what);
}

using BlockID = WithDefault<uint64_t, uint64_t{0}>;
using ChannelIndex = WithDefault<uint16_t, uint16_t{0xFFFF}>;
using EventData = Bytes<uint8_t*, uint32_t>;

TqResult fire(Channel* c, uint16_t id, uint64_t block, uint16_t index) { return c->FireEvent(id, block, index); }
TqResult fire_data(Channel* c, uint16_t id, uint8_t* data, uint32_t length, uint64_t block, uint16_t index) {
    return c->FireEvent(id, data, length, block, index);
}

}  // namespace

Entries soft_device_info_entries() {
    return {
        text_getter<"ITqSoftDeviceGEVInfo_GetManufacturerName", &Info::GetManufacturerName>(),
        text_getter<"ITqSoftDeviceGEVInfo_GetModelName", &Info::GetModelName>(),
        text_getter<"ITqSoftDeviceGEVInfo_GetDeviceVersion", &Info::GetDeviceVersion>(),
        text_getter<"ITqSoftDeviceGEVInfo_GetDeviceFirmwareVersion", &Info::GetDeviceFirmwareVersion>(),
        text_getter<"ITqSoftDeviceGEVInfo_GetManufacturerInformation", &Info::GetManufacturerInformation>(),
        text_getter<"ITqSoftDeviceGEVInfo_GetSerialNumber", &Info::GetSerialNumber>(),
        text_setter<"ITqSoftDeviceGEVInfo_SetManufacturerName", &Info::SetManufacturerName>(31),
        text_setter<"ITqSoftDeviceGEVInfo_SetModelName", &Info::SetModelName>(31),
        text_setter<"ITqSoftDeviceGEVInfo_SetDeviceVersion", &Info::SetDeviceVersion>(31),
        text_setter<"ITqSoftDeviceGEVInfo_SetDeviceFirmwareVersion", &Info::SetDeviceFirmwareVersion>(31),
        text_setter<"ITqSoftDeviceGEVInfo_SetManufacturerInformation", &Info::SetManufacturerInformation>(47),
        text_setter<"ITqSoftDeviceGEVInfo_SetSerialNumber", &Info::SetSerialNumber>(15),
        method<"ITqSoftDeviceGEVInfo_GetGenICamXMLVersionMajor", &Info::GetGenICamXMLVersionMajor>(),
        method<"ITqSoftDeviceGEVInfo_GetGenICamXMLVersionMinor", &Info::GetGenICamXMLVersionMinor>(),
        method<"ITqSoftDeviceGEVInfo_GetGenICamXMLVersionSubMinor", &Info::GetGenICamXMLVersionSubMinor>(),
        text_getter<"ITqSoftDeviceGEVInfo_GetGenICamXMLProductGUID", &Info::GetGenICamXMLProductGUID>(),
        text_getter<"ITqSoftDeviceGEVInfo_GetGenICamXMLVersionGUID", &Info::GetGenICamXMLVersionGUID>(),
        text_getter<"ITqSoftDeviceGEVInfo_GetGenICamXMLRegDescModelName", &Info::GetGenICamXMLRegDescModelName>(),
        text_getter<"ITqSoftDeviceGEVInfo_GetGenICamXMLRegDescVendorName", &Info::GetGenICamXMLRegDescVendorName>(),
        described(method<"ITqSoftDeviceGEVInfo_SetGenICamXMLVersion", &Info::SetGenICamXMLVersion>("aMajor", "aMinor",
                                                                                                   "aSubMinor"),
                  "Only before the device has made its GenICam XML file.\n\nResults: OK; STATE_ERROR: the file "
                  "exists."),
        described(method<"ITqSoftDeviceGEVInfo_SetGenICamXMLGUIDs", &Info::SetGenICamXMLGUIDs>("aProduct", "aVersion"),
                  "GUIDs in text form (32 hexadecimal digits in groups of 8, 4, 4, 4 and 12 joined by hyphens, "
                  "braces allowed around them and left out of what is kept); only before the device has made its "
                  "GenICam XML file.\n\nResults: OK; INVALID_PARAMETER: a GUID is not "
                  "valid; STATE_ERROR: the file exists."),
        described(method<"ITqSoftDeviceGEVInfo_SetGenICamXMLRegDescModelName", &Info::SetGenICamXMLRegDescModelName>(
                      "aModelName"),
                  "At most 31 characters; the device's model name until set.\n\nResults: OK; INVALID_PARAMETER: the "
                  "text is too long."),
        described(method<"ITqSoftDeviceGEVInfo_SetGenICamXMLRegDescVendorName", &Info::SetGenICamXMLRegDescVendorName>(
                      "aVendorName"),
                  "At most 31 characters; the device's manufacturer name until set.\n\nResults: OK; "
                  "INVALID_PARAMETER: the text is too long."),
        undocumented(delete_entry<"delete_ITqSoftDeviceGEVInfo", Info>()),
        registration<"ITqSoftDeviceGEVInfo_swigregister", Info>(),
    };
}

Entries soft_device_statistics_entries() {
    using S = Statistics;
    return {
        described(method<"ITqSoftDeviceGEVStatistics_Reset", &S::Reset>(), "Resets every counter to zero."),
        counter<"ITqSoftDeviceGEVStatistics_GetReadMemsReceived", &S::GetReadMemsReceived>("READMEM_CMD received."),
        counter<"ITqSoftDeviceGEVStatistics_GetWriteMemsReceived", &S::GetWriteMemsReceived>("WRITEMEM_CMD received."),
        counter<"ITqSoftDeviceGEVStatistics_GetReadRegsReceived", &S::GetReadRegsReceived>("READREG_CMD received."),
        counter<"ITqSoftDeviceGEVStatistics_GetWriteRegsReceived", &S::GetWriteRegsReceived>("WRITEREG_CMD received."),
        counter<"ITqSoftDeviceGEVStatistics_GetDiscoveriesReceived", &S::GetDiscoveriesReceived>(
            "DISCOVERY_CMD received."),
        counter<"ITqSoftDeviceGEVStatistics_GetActionCommandsReceived", &S::GetActionCommandsReceived>(
            "ACTION_CMD received."),
        counter<"ITqSoftDeviceGEVStatistics_GetForceIpsReceived", &S::GetForceIpsReceived>("FORCEIP_CMD received."),
        counter<"ITqSoftDeviceGEVStatistics_GetPacketResendRequestsReceived", &S::GetPacketResendRequestsReceived>(
            "PACKETRESEND_CMD received."),
        counter<"ITqSoftDeviceGEVStatistics_GetPendingAcksIssued", &S::GetPendingAcksIssued>(
            "PENDING_ACK issued (the software device answers every command at once: none)."),
        counter<"ITqSoftDeviceGEVStatistics_GetRetriesReceived", &S::GetRetriesReceived>(
            "Commands received again under the request ID they came with before (each counts as its command too)."),
        counter<"ITqSoftDeviceGEVStatistics_GetRetriesReceivedMax", &S::GetRetriesReceivedMax>(
            "The most retries received for one command."),
        counter<"ITqSoftDeviceGEVStatistics_GetEventsIssued", &S::GetEventsIssued>(
            "EVENT_CMD issued (first sends; their resends are event retries)."),
        counter<"ITqSoftDeviceGEVStatistics_GetEventDatasIssued", &S::GetEventDatasIssued>(
            "EVENTDATA_CMD issued (first sends; their resends are event retries)."),
        counter<"ITqSoftDeviceGEVStatistics_GetEventRetriesIssued", &S::GetEventRetriesIssued>(
            "Retries issued for unacknowledged events."),
        counter<"ITqSoftDeviceGEVStatistics_GetEventRetriesIssuedMax", &S::GetEventRetriesIssuedMax>(
            "The most retries issued for one event."),
        counter<"ITqSoftDeviceGEVStatistics_GetSessionsOpened", &S::GetSessionsOpened>("Controller sessions opened."),
        counter<"ITqSoftDeviceGEVStatistics_GetSessionsClosed", &S::GetSessionsClosed>("Controller sessions closed."),
        counter<"ITqSoftDeviceGEVStatistics_GetHeartbeatFailedCount", &S::GetHeartbeatFailedCount>(
            "Controller sessions closed because the heartbeat failed."),
        counter<"ITqSoftDeviceGEVStatistics_GetGVSPTestPacketsIssued", &S::GetGVSPTestPacketsIssued>(
            "GVSP test packets issued."),
        undocumented(delete_entry<"delete_ITqSoftDeviceGEVStatistics", S>()),
        registration<"ITqSoftDeviceGEVStatistics_swigregister", S>(),
    };
}

Entries message_channel_entries() {
    using Plain = Params<uint16_t, BlockID, ChannelIndex>;
    using WithData = Params<uint16_t, EventData, BlockID, ChannelIndex>;
    return {
        described(overloaded<"ITqMessageChannel_FireEvent">(
                      meth<&fire, NoneSelfCommits<>, Plain>("aEventID", "aBlockID", "aChannelIndex"),
                      meth<&fire_data, NoneSelfCommits<>, WithData>("aEventID", "aData", "aBlockID", "aChannelIndex")),
                  "Fires an event on the messaging channel: a standard event code or a custom one from 0x9000 to "
                  "0xFFFF, with data (bytes: 4 to 524 of them, a multiple of 4) or without, related to a block (0: "
                  "none; the event carries 16 bits of it, so at most 65535) and a stream channel (0xFFFF: none). The "
                  "event is queued: the device sends it, waits for the controller's acknowledge and retries as the "
                  "controller set it up (MCTT, MCRC).\n\nResults: OK; STATE_ERROR: the channel is not open; "
                  "INVALID_PARAMETER: the data is empty, longer than 524 bytes or not a multiple of 4 in length, or "
                  "the block ID is above 65535."),
        described(method<"ITqMessageChannel_IsOpened", &Channel::IsOpened>(),
                  "Open once a controller is connected and has set the messaging channel's destination (MCDA 0x0B10, "
                  "MCP 0x0B00)."),
        undocumented(delete_entry<"delete_ITqMessageChannel", Channel>()),
        registration<"ITqMessageChannel_swigregister", Channel>(),
    };
}

}  // namespace kivo::module
