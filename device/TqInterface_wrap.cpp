// Interfaces: the host's network adapters and USB host controllers, each getter one row; the
// records an interface hands out keep its proxy alive.
#include "devices.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

// Compare refuses None on both sides.
using Either = NotNone<const TqInterface*>;

template <Text Name, auto Get, class Policy = Default, class Sig = void, class... N>
Entry get(const char* returns, const N&... names) {
    return returning(method<Name, Get, Policy, Sig>(names...), returns);
}

}  // namespace

Entries interface_entries() {
    using I = TqInterface;
    return {
        documented_as(delete_entry<"delete_TqInterface", I>(), "Destructor."),
        described(get<"TqInterface_Copy", &I::Copy, OwnedCopy<I>>("a copy of the interface"),
                  "The user is responsible from freeing/deleting the object after use."),
        get<"TqInterface_GetType", &I::GetType>("the kind of interface"),
        described(get<"TqInterface_GetName", &I::GetName>("the interface's name"),
                  "The description of the NIC, as reported by the OS."),
        get<"TqInterface_GetDisplayID", &I::GetDisplayID>("a text to show the interface in user interfaces"),
        get<"TqInterface_GetUniqueID", &I::GetUniqueID>("an opaque ID, unique within one application life cycle"),
        get<"TqInterface_GetCompareID", &I::GetCompareID>("an opaque key for sorting interfaces"),
        get<"TqInterface_GetDeviceCount", &I::GetDeviceCount>("the number of devices found through this interface"),
        described(get<"TqInterface_GetDeviceInfo", &I::GetDeviceInfo, RecordOfKind<>>("the device's record", "aIndex"),
                  "If *aIndex* is out of bounds, the return is NULL."),
        described(returning(static_method<"TqInterface_Compare", I, &I::Compare, Default, Params<Either, Either>>("a1", "a2"),
                            "true if a1 sorts before a2"),
                  "true if the value of the first character that doesn't match is lower in a1's ID or all "
                  "compared characters match but the compared ID is shorter."),
        described(get<"TqInterface_GetZelvraDriverVersion", &I::GetZelvraDriverVersion>(
                      "the driver version (format: #.#.#.#.####)"),
                  "An empty string if the Kivo driver is not currently installed on the interface."),
        registration<"TqInterface_swigregister", I>(),
    };
}

Entries network_adapter_entries() {
    using N = TqNetworkAdapter;
    return {
        documented_as(constructor_entry<"new_TqNetworkAdapter", N>(), "Constructor."),
        documented_as(delete_entry<"delete_TqNetworkAdapter", N>(), "Destructor."),
        described(get<"TqNetworkAdapter_GetMACAddress", &N::GetMACAddress>("the MAC address"),
                  "The form is *##.##.##.##.##.##*"),
        get<"TqNetworkAdapter_GetDescription", &N::GetDescription>("the operating system's description"),
        get<"TqNetworkAdapter_GetIPAddressCount", &N::GetIPAddressCount>(
            "the number of IP configurations (address and mask pairs)"),
        described(get<"TqNetworkAdapter_GetIPAddress", &N::GetIPAddress>("the IP address", "aIndex"),
                  "IP addresses and subnet masks are enumerated together."),
        described(get<"TqNetworkAdapter_GetSubnetMask", &N::GetSubnetMask>("the subnet mask", "aIndex"),
                  "IP addresses and subnet masks are enumerated together."),
        get<"TqNetworkAdapter_GetDefaultGateway", &N::GetDefaultGateway>("the default gateway"),
        get<"TqNetworkAdapter_IsZelvraDriverInstalled", &N::IsZelvraDriverInstalled>(
            "whether the maker's network driver is installed on this adapter"),
        registration<"TqNetworkAdapter_swigregister", N>(),
        initialisation<"TqNetworkAdapter_swiginit">(),
    };
}

Entries usb_host_controller_entries() {
    using U = TqUSBHostController;
    return {
        documented_as(constructor_entry<"new_TqUSBHostController", U>(), "Constructor."),
        documented_as(delete_entry<"delete_TqUSBHostController", U>(), "Destructor."),
        get<"TqUSBHostController_GetVendorID", &U::GetVendorID>("the vendor ID"),
        get<"TqUSBHostController_GetDeviceID", &U::GetDeviceID>("the device ID"),
        get<"TqUSBHostController_GetSubsystemID", &U::GetSubsystemID>("the subsystem ID"),
        get<"TqUSBHostController_GetRevision", &U::GetRevision>("the revision"),
        get<"TqUSBHostController_GetSpeed", &U::GetSpeed>(
            "the controller's speed; a device on it may still connect slower"),
        registration<"TqUSBHostController_swigregister", U>(),
        initialisation<"TqUSBHostController_swiginit">(),
    };
}

}  // namespace kivo::module
