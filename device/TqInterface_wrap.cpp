// Interfaces: the host's network adapters and USB host controllers, each getter one row; the
// records an interface hands out keep its proxy alive.
#include "devices.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

// Compare refuses None on both sides.
using Either = NotNone<const TqInterface*>;

}  // namespace

Entries interface_entries() {
    using I = TqInterface;
    return {
        delete_entry<"delete_TqInterface", I>(),
        method<"TqInterface_Copy", &I::Copy, OwnedCopy<I>>(),
        method<"TqInterface_GetType", &I::GetType>(),
        method<"TqInterface_GetName", &I::GetName>(),
        method<"TqInterface_GetDisplayID", &I::GetDisplayID>(),
        method<"TqInterface_GetUniqueID", &I::GetUniqueID>(),
        method<"TqInterface_GetCompareID", &I::GetCompareID>(),
        method<"TqInterface_GetDeviceCount", &I::GetDeviceCount>(),
        method<"TqInterface_GetDeviceInfo", &I::GetDeviceInfo, RecordOfKind<>>("aIndex"),
        static_method<"TqInterface_Compare", I, &I::Compare, Default, Params<Either, Either>>("a1", "a2"),
        method<"TqInterface_GetZelvraDriverVersion", &I::GetZelvraDriverVersion>(),
        registration<"TqInterface_swigregister", I>(),
    };
}

// The docstrings' texts of TqInterface's rows.
const DocTable kInterfaceDocs{
    whole("delete_TqInterface", "Destructor."),
    summary("TqInterface_Copy", "The user is responsible from freeing/deleting the object after use."),
    returns("TqInterface_Copy", "a copy of the interface"),
    returns("TqInterface_GetType", "the kind of interface"),
    summary("TqInterface_GetName", "The description of the NIC, as reported by the OS."),
    returns("TqInterface_GetName", "the interface's name"),
    returns("TqInterface_GetDisplayID", "a text to show the interface in user interfaces"),
    returns("TqInterface_GetUniqueID", "an opaque ID, unique within one application life cycle"),
    returns("TqInterface_GetCompareID", "an opaque key for sorting interfaces"),
    returns("TqInterface_GetDeviceCount", "the number of devices found through this interface"),
    summary("TqInterface_GetDeviceInfo", "If *aIndex* is out of bounds, the return is NULL."),
    returns("TqInterface_GetDeviceInfo", "the device's record"),
    summary("TqInterface_Compare",
            "true if the value of the first character that doesn't match is lower in a1's ID or all compared "
            "characters match but the compared ID is shorter."),
    returns("TqInterface_Compare", "true if a1 sorts before a2"),
    summary("TqInterface_GetZelvraDriverVersion",
            "An empty string if the Kivo driver is not currently installed on the interface."),
    returns("TqInterface_GetZelvraDriverVersion", "the driver version (format: #.#.#.#.####)"),
};

Entries network_adapter_entries() {
    using N = TqNetworkAdapter;
    return {
        constructor_entry<"new_TqNetworkAdapter", N>(),
        delete_entry<"delete_TqNetworkAdapter", N>(),
        method<"TqNetworkAdapter_GetMACAddress", &N::GetMACAddress>(),
        method<"TqNetworkAdapter_GetDescription", &N::GetDescription>(),
        method<"TqNetworkAdapter_GetIPAddressCount", &N::GetIPAddressCount>(),
        method<"TqNetworkAdapter_GetIPAddress", &N::GetIPAddress>("aIndex"),
        method<"TqNetworkAdapter_GetSubnetMask", &N::GetSubnetMask>("aIndex"),
        method<"TqNetworkAdapter_GetDefaultGateway", &N::GetDefaultGateway>(),
        method<"TqNetworkAdapter_IsZelvraDriverInstalled", &N::IsZelvraDriverInstalled>(),
        registration<"TqNetworkAdapter_swigregister", N>(),
        initialisation<"TqNetworkAdapter_swiginit">(),
    };
}

// The docstrings' texts of TqNetworkAdapter's rows.
const DocTable kNetworkAdapterDocs{
    whole("new_TqNetworkAdapter", "Constructor."),
    whole("delete_TqNetworkAdapter", "Destructor."),
    summary("TqNetworkAdapter_GetMACAddress", "The form is *##.##.##.##.##.##*"),
    returns("TqNetworkAdapter_GetMACAddress", "the MAC address"),
    returns("TqNetworkAdapter_GetDescription", "the operating system's description"),
    returns("TqNetworkAdapter_GetIPAddressCount", "the number of IP configurations (address and mask pairs)"),
    summary("TqNetworkAdapter_GetIPAddress", "IP addresses and subnet masks are enumerated together."),
    returns("TqNetworkAdapter_GetIPAddress", "the IP address"),
    summary("TqNetworkAdapter_GetSubnetMask", "IP addresses and subnet masks are enumerated together."),
    returns("TqNetworkAdapter_GetSubnetMask", "the subnet mask"),
    returns("TqNetworkAdapter_GetDefaultGateway", "the default gateway"),
    returns("TqNetworkAdapter_IsZelvraDriverInstalled",
            "whether the maker's network driver is installed on this adapter"),
};

Entries usb_host_controller_entries() {
    using U = TqUSBHostController;
    return {
        constructor_entry<"new_TqUSBHostController", U>(),
        delete_entry<"delete_TqUSBHostController", U>(),
        method<"TqUSBHostController_GetVendorID", &U::GetVendorID>(),
        method<"TqUSBHostController_GetDeviceID", &U::GetDeviceID>(),
        method<"TqUSBHostController_GetSubsystemID", &U::GetSubsystemID>(),
        method<"TqUSBHostController_GetRevision", &U::GetRevision>(),
        method<"TqUSBHostController_GetSpeed", &U::GetSpeed>(),
        registration<"TqUSBHostController_swigregister", U>(),
        initialisation<"TqUSBHostController_swiginit">(),
    };
}

// The docstrings' texts of TqUSBHostController's rows.
const DocTable kUsbHostControllerDocs{
    whole("new_TqUSBHostController", "Constructor."),
    whole("delete_TqUSBHostController", "Destructor."),
    returns("TqUSBHostController_GetVendorID", "the vendor ID"),
    returns("TqUSBHostController_GetDeviceID", "the device ID"),
    returns("TqUSBHostController_GetSubsystemID", "the subsystem ID"),
    returns("TqUSBHostController_GetRevision", "the revision"),
    returns("TqUSBHostController_GetSpeed", "the controller's speed; a device on it may still connect slower"),
};

}  // namespace kivo::module
