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
Entry text_setter() {
    return method<Name, Setter>("aValue");
}

// The docstring of an identity setter whose text holds at most Longest characters.
template <int Longest>
const char* identity_text() {
    static const std::string text = [] {
        char made[320];
        std::snprintf(made, sizeof made, kIdentityText, Longest);
        return std::string(made);
    }();
    return text.c_str();
}

using BlockID = WithDefault<uint64_t, uint64_t{0}>;
using ChannelIndex = WithDefault<uint16_t, uint16_t{0xFFFF}>;
using EventData = Bytes<uint8_t*, uint32_t>;   // the channel copies the event's data into the command it sends

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
        text_setter<"ITqSoftDeviceGEVInfo_SetManufacturerName", &Info::SetManufacturerName>(),
        text_setter<"ITqSoftDeviceGEVInfo_SetModelName", &Info::SetModelName>(),
        text_setter<"ITqSoftDeviceGEVInfo_SetDeviceVersion", &Info::SetDeviceVersion>(),
        text_setter<"ITqSoftDeviceGEVInfo_SetDeviceFirmwareVersion", &Info::SetDeviceFirmwareVersion>(),
        text_setter<"ITqSoftDeviceGEVInfo_SetManufacturerInformation", &Info::SetManufacturerInformation>(),
        text_setter<"ITqSoftDeviceGEVInfo_SetSerialNumber", &Info::SetSerialNumber>(),
        method<"ITqSoftDeviceGEVInfo_GetGenICamXMLVersionMajor", &Info::GetGenICamXMLVersionMajor>(),
        method<"ITqSoftDeviceGEVInfo_GetGenICamXMLVersionMinor", &Info::GetGenICamXMLVersionMinor>(),
        method<"ITqSoftDeviceGEVInfo_GetGenICamXMLVersionSubMinor", &Info::GetGenICamXMLVersionSubMinor>(),
        text_getter<"ITqSoftDeviceGEVInfo_GetGenICamXMLProductGUID", &Info::GetGenICamXMLProductGUID>(),
        text_getter<"ITqSoftDeviceGEVInfo_GetGenICamXMLVersionGUID", &Info::GetGenICamXMLVersionGUID>(),
        text_getter<"ITqSoftDeviceGEVInfo_GetGenICamXMLRegDescModelName", &Info::GetGenICamXMLRegDescModelName>(),
        text_getter<"ITqSoftDeviceGEVInfo_GetGenICamXMLRegDescVendorName", &Info::GetGenICamXMLRegDescVendorName>(),
        method<"ITqSoftDeviceGEVInfo_SetGenICamXMLVersion", &Info::SetGenICamXMLVersion>("aMajor", "aMinor",
                                                                                         "aSubMinor"),
        method<"ITqSoftDeviceGEVInfo_SetGenICamXMLGUIDs", &Info::SetGenICamXMLGUIDs>("aProduct", "aVersion"),
        method<"ITqSoftDeviceGEVInfo_SetGenICamXMLRegDescModelName", &Info::SetGenICamXMLRegDescModelName>(
            "aModelName"),
        method<"ITqSoftDeviceGEVInfo_SetGenICamXMLRegDescVendorName", &Info::SetGenICamXMLRegDescVendorName>(
            "aVendorName"),
        undocumented(delete_entry<"delete_ITqSoftDeviceGEVInfo", Info>()),
        registration<"ITqSoftDeviceGEVInfo_swigregister", Info>(),
    };
}

// The docstrings' texts of ITqSoftDeviceGEVInfo's rows.
const DocTable kSoftDeviceInfoDocs{
    summary("ITqSoftDeviceGEVInfo_SetManufacturerName", identity_text<31>()),
    summary("ITqSoftDeviceGEVInfo_SetModelName", identity_text<31>()),
    summary("ITqSoftDeviceGEVInfo_SetDeviceVersion", identity_text<31>()),
    summary("ITqSoftDeviceGEVInfo_SetDeviceFirmwareVersion", identity_text<31>()),
    summary("ITqSoftDeviceGEVInfo_SetManufacturerInformation", identity_text<47>()),
    summary("ITqSoftDeviceGEVInfo_SetSerialNumber", identity_text<15>()),
    summary("ITqSoftDeviceGEVInfo_SetGenICamXMLVersion",
            "Only before the device has made its GenICam XML file.\n\nResults: OK; STATE_ERROR: the file exists."),
    summary("ITqSoftDeviceGEVInfo_SetGenICamXMLGUIDs",
            "GUIDs in text form (32 hexadecimal digits in groups of 8, 4, 4, 4 and 12 joined by hyphens, braces "
            "allowed around them and left out of what is kept); only before the device has made its GenICam XML "
            "file.\n\nResults: OK; INVALID_PARAMETER: a GUID is not valid; STATE_ERROR: the file exists."),
    summary("ITqSoftDeviceGEVInfo_SetGenICamXMLRegDescModelName",
            "At most 31 characters; the device's model name until set.\n\nResults: OK; INVALID_PARAMETER: the text "
            "is too long."),
    summary("ITqSoftDeviceGEVInfo_SetGenICamXMLRegDescVendorName",
            "At most 31 characters; the device's manufacturer name until set.\n\nResults: OK; INVALID_PARAMETER: the "
            "text is too long."),
};

Entries soft_device_statistics_entries() {
    using S = Statistics;
    return {
        method<"ITqSoftDeviceGEVStatistics_Reset", &S::Reset>(),
        method<"ITqSoftDeviceGEVStatistics_GetReadMemsReceived", &S::GetReadMemsReceived>(),
        method<"ITqSoftDeviceGEVStatistics_GetWriteMemsReceived", &S::GetWriteMemsReceived>(),
        method<"ITqSoftDeviceGEVStatistics_GetReadRegsReceived", &S::GetReadRegsReceived>(),
        method<"ITqSoftDeviceGEVStatistics_GetWriteRegsReceived", &S::GetWriteRegsReceived>(),
        method<"ITqSoftDeviceGEVStatistics_GetDiscoveriesReceived", &S::GetDiscoveriesReceived>(),
        method<"ITqSoftDeviceGEVStatistics_GetActionCommandsReceived", &S::GetActionCommandsReceived>(),
        method<"ITqSoftDeviceGEVStatistics_GetForceIpsReceived", &S::GetForceIpsReceived>(),
        method<"ITqSoftDeviceGEVStatistics_GetPacketResendRequestsReceived", &S::GetPacketResendRequestsReceived>(),
        method<"ITqSoftDeviceGEVStatistics_GetPendingAcksIssued", &S::GetPendingAcksIssued>(),
        method<"ITqSoftDeviceGEVStatistics_GetRetriesReceived", &S::GetRetriesReceived>(),
        method<"ITqSoftDeviceGEVStatistics_GetRetriesReceivedMax", &S::GetRetriesReceivedMax>(),
        method<"ITqSoftDeviceGEVStatistics_GetEventsIssued", &S::GetEventsIssued>(),
        method<"ITqSoftDeviceGEVStatistics_GetEventDatasIssued", &S::GetEventDatasIssued>(),
        method<"ITqSoftDeviceGEVStatistics_GetEventRetriesIssued", &S::GetEventRetriesIssued>(),
        method<"ITqSoftDeviceGEVStatistics_GetEventRetriesIssuedMax", &S::GetEventRetriesIssuedMax>(),
        method<"ITqSoftDeviceGEVStatistics_GetSessionsOpened", &S::GetSessionsOpened>(),
        method<"ITqSoftDeviceGEVStatistics_GetSessionsClosed", &S::GetSessionsClosed>(),
        method<"ITqSoftDeviceGEVStatistics_GetHeartbeatFailedCount", &S::GetHeartbeatFailedCount>(),
        method<"ITqSoftDeviceGEVStatistics_GetGVSPTestPacketsIssued", &S::GetGVSPTestPacketsIssued>(),
        undocumented(delete_entry<"delete_ITqSoftDeviceGEVStatistics", S>()),
        registration<"ITqSoftDeviceGEVStatistics_swigregister", S>(),
    };
}

// The docstrings' texts of ITqSoftDeviceGEVStatistics's rows.
const DocTable kSoftDeviceStatisticsDocs{
    summary("ITqSoftDeviceGEVStatistics_Reset", "Resets every counter to zero."),
    summary("ITqSoftDeviceGEVStatistics_GetReadMemsReceived", "READMEM_CMD received."),
    summary("ITqSoftDeviceGEVStatistics_GetWriteMemsReceived", "WRITEMEM_CMD received."),
    summary("ITqSoftDeviceGEVStatistics_GetReadRegsReceived", "READREG_CMD received."),
    summary("ITqSoftDeviceGEVStatistics_GetWriteRegsReceived", "WRITEREG_CMD received."),
    summary("ITqSoftDeviceGEVStatistics_GetDiscoveriesReceived", "DISCOVERY_CMD received."),
    summary("ITqSoftDeviceGEVStatistics_GetActionCommandsReceived", "ACTION_CMD received."),
    summary("ITqSoftDeviceGEVStatistics_GetForceIpsReceived", "FORCEIP_CMD received."),
    summary("ITqSoftDeviceGEVStatistics_GetPacketResendRequestsReceived", "PACKETRESEND_CMD received."),
    summary("ITqSoftDeviceGEVStatistics_GetPendingAcksIssued",
            "PENDING_ACK issued (the software device answers every command at once: none)."),
    summary("ITqSoftDeviceGEVStatistics_GetRetriesReceived",
            "Commands received again under the request ID they came with before (each counts as its command too)."),
    summary("ITqSoftDeviceGEVStatistics_GetRetriesReceivedMax", "The most retries received for one command."),
    summary("ITqSoftDeviceGEVStatistics_GetEventsIssued",
            "EVENT_CMD issued (first sends; their resends are event retries)."),
    summary("ITqSoftDeviceGEVStatistics_GetEventDatasIssued",
            "EVENTDATA_CMD issued (first sends; their resends are event retries)."),
    summary("ITqSoftDeviceGEVStatistics_GetEventRetriesIssued", "Retries issued for unacknowledged events."),
    summary("ITqSoftDeviceGEVStatistics_GetEventRetriesIssuedMax", "The most retries issued for one event."),
    summary("ITqSoftDeviceGEVStatistics_GetSessionsOpened", "Controller sessions opened."),
    summary("ITqSoftDeviceGEVStatistics_GetSessionsClosed", "Controller sessions closed."),
    summary("ITqSoftDeviceGEVStatistics_GetHeartbeatFailedCount",
            "Controller sessions closed because the heartbeat failed."),
    summary("ITqSoftDeviceGEVStatistics_GetGVSPTestPacketsIssued", "GVSP test packets issued."),
};

Entries message_channel_entries() {
    using Plain = Params<uint16_t, BlockID, ChannelIndex>;
    using WithData = Params<uint16_t, EventData, BlockID, ChannelIndex>;
    return {
        overloaded<"ITqMessageChannel_FireEvent">(
            meth<&fire, NoneSelfCommits<>, Plain>("aEventID", "aBlockID", "aChannelIndex"),
            meth<&fire_data, NoneSelfCommits<>, WithData>("aEventID", "aData", "aBlockID", "aChannelIndex")),
        method<"ITqMessageChannel_IsOpened", &Channel::IsOpened>(),
        undocumented(delete_entry<"delete_ITqMessageChannel", Channel>()),
        registration<"ITqMessageChannel_swigregister", Channel>(),
    };
}

// The docstrings' texts of ITqMessageChannel's rows.
const DocTable kMessageChannelDocs{
    summary("ITqMessageChannel_FireEvent",
            "Fires an event on the messaging channel: a standard event code or a custom one from 0x9000 to 0xFFFF, "
            "with data (bytes: 4 to 524 of them, a multiple of 4) or without, related to a block (0: none; any 64-bit "
            "ID, which the event carries whole with extended IDs, else as its low 16 bits) and a stream channel "
            "(0xFFFF: none). The event is queued: the device sends it, waits for the controller's acknowledge and "
            "retries as the controller set it up (MCTT, MCRC).\n\nResults: OK; STATE_ERROR: the channel is not "
            "open; INVALID_PARAMETER: the data is empty, longer than 524 bytes or not a multiple of 4 in length."),
    summary("ITqMessageChannel_IsOpened",
            "Open once a controller is connected and has set the messaging channel's destination (MCDA 0x0B10, MCP "
            "0x0B00)."),
};

}  // namespace kivo::module
