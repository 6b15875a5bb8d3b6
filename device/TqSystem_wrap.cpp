// TqSystem: discovery, its settings, and the interfaces and records it found (each keeps the
// system's proxy alive).
#include "arg_kinds.h"
#include "attached.h"
#include "devices.h"

#include "TqSessionInfo.h"
#include "TqSystem.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

// The record pointer FindDevice may write: a pointer object of TqDeviceInfo const ** or None.
TqResult find_device(TqSystem* self, const TqString& device, const TqDeviceInfo** record) {
    return self->FindDevice(device, record);
}

const char* const kVersionText = "The high 16 bits contain the major version and The low 16 bits the minor version.";

}  // namespace

namespace {
// Session discovery listens without changing what the system found: a query of a const system.
uint32_t discover_sessions(const TqSystem* self) { return const_cast<TqSystem*>(self)->DiscoverSessions(); }
TqResult session_info(const TqSystem* self, uint32_t index, TqSessionInfo& info) {
    return self->GetSessionInfo(index, info);
}
}  // namespace

Entries system_entries() {
    using S = TqSystem;
    return {
        constructor_entry<"new_TqSystem", S>(),
        delete_entry<"delete_TqSystem", S, &forget_registered>(),
        method<"TqSystem_Find", &S::Find>(),
        method<"TqSystem_FindDevice", &find_device, Default, Params<const TqString&, FoundRecordPointer>>(
            "aDeviceToFind", "aDeviceInfo"),
        method<"TqSystem_SetDetectionTimeout", &S::SetDetectionTimeout>("aTimeout"),
        method<"TqSystem_GetDetectionTimeout", &S::GetDetectionTimeout>(),
        method<"TqSystem_SetSubnetBroadcastEnabled", &S::SetSubnetBroadcastEnabled>("aValue"),
        method<"TqSystem_GetSubnetBroadcastEnabled", &S::GetSubnetBroadcastEnabled>(),
        method<"TqSystem_GetGEVSupportedVersion", &S::GetGEVSupportedVersion>(),
        method<"TqSystem_GetU3VSupportedVersion", &S::GetU3VSupportedVersion>(),
        method<"TqSystem_RegisterEventSink", &S::RegisterEventSink, Registers<>>("aEventSink"),
        method<"TqSystem_UnregisterEventSink", &S::UnregisterEventSink, Unregisters<>>("aEventSink"),
        method<"TqSystem_GetInterfaceCount", &S::GetInterfaceCount>(),
        method<"TqSystem_GetInterface", &S::GetInterface, InterfaceOfKind<>>("aIndex"),
        method<"TqSystem_DiscoverSessions", &discover_sessions>(),
        method<"TqSystem_GetSessionInfo", &session_info, Default,
               Params<uint32_t, ProxyOnly<TqSessionInfo&>>>("aIndex", "aSessionInfo"),
        method<"TqSystem_GetDeviceCount", &S::GetDeviceCount>(),
        method<"TqSystem_GetDeviceInfo", &S::GetDeviceInfo, RecordOfKind<>>("aIndex"),
        registration<"TqSystem_swigregister", S>(),
        initialisation<"TqSystem_swiginit">(),
    };
}

// The docstrings' texts of TqSystem's rows.
const DocTable kSystemDocs{
    whole("new_TqSystem", "Constructor."),
    whole("delete_TqSystem", "Destructor."),
    summary("TqSystem_Find",
            "Find all interfaces and GigE Vision, USB3 Vision and Zelvra Protocol devices reachable from this "
            "system.\n\nThis method is blocking and won't return for the duration\nset using #SetDetectionTimeout."),
    summary("TqSystem_FindDevice",
            "Finds devices until a specific device is found.\n\nPerforms a standard find operation and keeps "
            "listening for answers\nuntil a specific device is found.\n\naDeviceToFind: String representing the "
            "device to find. Can be a MAC, IP or device name.\n\nResults: OK, NOT_FOUND, INVALID_PARAMETER."),
    summary("TqSystem_SetDetectionTimeout",
            "GigE Vision devices may wait up to 1 second before answering a discovery request and this\ndetection "
            "timeout allows enough time for all discovery answers to come back in.\n\naTimeout: Time to search for "
            "devices in ms. The default value of 1500 is generally a good value in most situations. Values beyond "
            "100 to 60000 are set to 100 and 60000, respectively."),
    summary("TqSystem_GetDetectionTimeout",
            "Only applies to Ethernet devices as USB devices enumeration does not\ninclude the notion of wait or "
            "timeout."),
    summary("TqSystem_GetGEVSupportedVersion", kVersionText),
    summary("TqSystem_GetU3VSupportedVersion", kVersionText),
    summary("TqSystem_RegisterEventSink",
            "Register an event sink (for device finding notification).\n\nResults: OK, INVALID_PARAMETER, "
            "GENERIC_ERROR."),
    summary("TqSystem_UnregisterEventSink", "Results: OK, NOT_FOUND."),
    summary("TqSystem_GetInterface",
            "Interfaces are ordered in the #TqSystem array as provided by the OS.\n\nA pointer to a #TqInterface "
            "object, or NULL if the index is out of bounds."),
    summary("TqSystem_DiscoverSessions",
            "Scans for active sessions advertised via SAP.\nThis is typically used to discover RTP streams, and is "
            "unnecessary to call for GEV and U3V devices."),
    summary("TqSystem_GetSessionInfo",
            "Returns SDP information about an active session (unused by GEV and U3V).\naIndex: Valid range is [0 .. "
            "DiscoverSessions() - 1]."),
    summary("TqSystem_GetDeviceInfo", "Valid range is [0 .. GetDeviceCount - 1]."),
};

}  // namespace kivo::module
