// Device information records: the base record and its four kinds, each getter one row; IPConfig.
#include "devices.h"

#include "TqSystemLib.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

template <Text Name, auto Get>
Entry get(const char* returns) {
    return returning(method<Name, Get>(), returns);
}

template <Text Name, class C>
Entry made() {
    return documented_as(constructor_entry<Name, C>(), "Constructor.");
}

template <Text Name, class C>
Entry destroyed() {
    return documented_as(delete_entry<Name, C>(), "Destructor.");
}

const char* const kCopyText = "The user is responsible from freeing/deleting the object after use.";

}  // namespace

Entries device_info_entries() {
    using D = TqDeviceInfo;
    return {
        destroyed<"delete_TqDeviceInfo", D>(),
        described(returning(method<"TqDeviceInfo_Copy", &D::Copy, OwnedCopy<D>>(), "a copy of the record"),
                  kCopyText),
        get<"TqDeviceInfo_GetType", &D::GetType>("the kind of record"),
        get<"TqDeviceInfo_GetVendorName", &D::GetVendorName>("the manufacturer name"),
        get<"TqDeviceInfo_GetModelName", &D::GetModelName>("the model name"),
        get<"TqDeviceInfo_GetVersion", &D::GetVersion>("the firmware version"),
        get<"TqDeviceInfo_GetManufacturerInfo", &D::GetManufacturerInfo>("the manufacturer information"),
        get<"TqDeviceInfo_GetSerialNumber", &D::GetSerialNumber>("the serial number"),
        described(get<"TqDeviceInfo_GetUserDefinedName", &D::GetUserDefinedName>("the user-defined name"),
                  "This feature is only supported by devices having persistence memory."),
        get<"TqDeviceInfo_GetDisplayID", &D::GetDisplayID>("a text to show the device in user interfaces"),
        get<"TqDeviceInfo_GetUniqueID", &D::GetUniqueID>(
            "an opaque ID, unique within one application life cycle"),
        get<"TqDeviceInfo_GetConnectionID", &D::GetConnectionID>(
            "the text that connecting a device or opening a stream accepts"),
        returning(method<"TqDeviceInfo_GetInterface", &D::GetInterface, InterfaceOfKind<>>(),
                  "the interface through which the device was found"),
        get<"TqDeviceInfo_IsConfigurationValid", &D::IsConfigurationValid>(
            "whether the device can be reached with its present configuration"),
        get<"TqDeviceInfo_GetClass", &D::GetClass>("the device class"),
        registration<"TqDeviceInfo_swigregister", D>(),
    };
}

Entries device_info_gev_entries() {
    using D = TqDeviceInfoGEV;
    return {
        made<"new_TqDeviceInfoGEV", D>(),
        destroyed<"delete_TqDeviceInfoGEV", D>(),
        get<"TqDeviceInfoGEV_GetMACAddress", &D::GetMACAddress>("the MAC address, in the form aa:bb:cc:dd:ee:ff"),
        get<"TqDeviceInfoGEV_GetIPAddress", &D::GetIPAddress>("the current IP address"),
        get<"TqDeviceInfoGEV_GetDefaultGateway", &D::GetDefaultGateway>("the default gateway"),
        get<"TqDeviceInfoGEV_GetSubnetMask", &D::GetSubnetMask>("the subnet mask"),
        described(get<"TqDeviceInfoGEV_GetGEVVersion", &D::GetGEVVersion>("the GigE Vision version"),
                  "The high 16 bits contain the major version and The low 16 bits the minor version."),
        get<"TqDeviceInfoGEV_GetIPConfigOptionsString", &D::GetIPConfigOptionsString>(
            "the IP configuration options the device offers"),
        get<"TqDeviceInfoGEV_GetIPConfigCurrentString", &D::GetIPConfigCurrentString>(
            "the IP configuration now set"),
        get<"TqDeviceInfoGEV_IsLLAAvailable", &D::IsLLAAvailable>("whether link-local addressing is offered"),
        get<"TqDeviceInfoGEV_IsDHCPAvailable", &D::IsDHCPAvailable>("whether DHCP is offered"),
        get<"TqDeviceInfoGEV_IsPersistentAvailable", &D::IsPersistentAvailable>(
            "whether a persistent IP address is offered"),
        get<"TqDeviceInfoGEV_IsPRAvailable", &D::IsPRAvailable>("whether the PAUSE_reception option is offered"),
        get<"TqDeviceInfoGEV_IsPGAvailable", &D::IsPGAvailable>("whether the PAUSE_generation option is offered"),
        get<"TqDeviceInfoGEV_IsLLAEnabled", &D::IsLLAEnabled>("whether link-local addressing is enabled"),
        get<"TqDeviceInfoGEV_IsDHCPEnabled", &D::IsDHCPEnabled>("whether DHCP is enabled"),
        get<"TqDeviceInfoGEV_IsPersistentEnabled", &D::IsPersistentEnabled>(
            "whether the persistent IP address is enabled"),
        get<"TqDeviceInfoGEV_IsPREnabled", &D::IsPREnabled>("whether PAUSE_reception is enabled"),
        get<"TqDeviceInfoGEV_IsPGEnabled", &D::IsPGEnabled>("whether PAUSE_generation is enabled"),
        registration<"TqDeviceInfoGEV_swigregister", D>(),
        initialisation<"TqDeviceInfoGEV_swiginit">(),
    };
}

Entries device_info_zelvra_entries() {
    using D = TqDeviceInfoZelvraProtocol;
    return {
        made<"new_TqDeviceInfoZelvraProtocol", D>(),
        destroyed<"delete_TqDeviceInfoZelvraProtocol", D>(),
        get<"TqDeviceInfoZelvraProtocol_GetMACAddress", &D::GetMACAddress>("the MAC address"),
        get<"TqDeviceInfoZelvraProtocol_GetIPAddress", &D::GetIPAddress>("the IP address"),
        get<"TqDeviceInfoZelvraProtocol_GetSubnetMask", &D::GetSubnetMask>("the subnet mask"),
        get<"TqDeviceInfoZelvraProtocol_GetDefaultGateway", &D::GetDefaultGateway>("the default gateway"),
        get<"TqDeviceInfoZelvraProtocol_GetDeviceID", &D::GetDeviceID>("the device ID"),
        get<"TqDeviceInfoZelvraProtocol_GetModuleID", &D::GetModuleID>("the module ID"),
        get<"TqDeviceInfoZelvraProtocol_GetSubID", &D::GetSubID>("the sub ID"),
        get<"TqDeviceInfoZelvraProtocol_GetVendorID", &D::GetVendorID>("the vendor ID"),
        get<"TqDeviceInfoZelvraProtocol_GetSoftwareMajor", &D::GetSoftwareMajor>("the firmware major version"),
        get<"TqDeviceInfoZelvraProtocol_GetSoftwareMinor", &D::GetSoftwareMinor>("the firmware minor version"),
        registration<"TqDeviceInfoZelvraProtocol_swigregister", D>(),
        initialisation<"TqDeviceInfoZelvraProtocol_swiginit">(),
    };
}

Entries device_info_usb_entries() {
    using D = TqDeviceInfoUSB;
    return {
        made<"new_TqDeviceInfoUSB", D>(),
        destroyed<"delete_TqDeviceInfoUSB", D>(),
        get<"TqDeviceInfoUSB_GetStatus", &D::GetStatus>("the enumeration status of the USB device"),
        registration<"TqDeviceInfoUSB_swigregister", D>(),
        initialisation<"TqDeviceInfoUSB_swiginit">(),
    };
}

Entries device_info_u3v_entries() {
    using D = TqDeviceInfoU3V;
    return {
        made<"new_TqDeviceInfoU3V", D>(),
        destroyed<"delete_TqDeviceInfoU3V", D>(),
        get<"TqDeviceInfoU3V_GetGenCPVersion", &D::GetGenCPVersion>(
            "the GenCP version: major in the high 16 bits, minor in the low 16"),
        get<"TqDeviceInfoU3V_GetU3VVersion", &D::GetU3VVersion>(
            "the USB3 Vision version: major in the high 16 bits, minor in the low 16"),
        get<"TqDeviceInfoU3V_GetDeviceGUID", &D::GetDeviceGUID>("the device GUID"),
        get<"TqDeviceInfoU3V_GetFamilyName", &D::GetFamilyName>("the family name"),
        get<"TqDeviceInfoU3V_GetU3VSerialNumber", &D::GetU3VSerialNumber>("the USB3 Vision serial number"),
        get<"TqDeviceInfoU3V_GetDevicePath", &D::GetDevicePath>("the device path"),
        get<"TqDeviceInfoU3V_GetDeviceKey", &D::GetDeviceKey>("the device key"),
        get<"TqDeviceInfoU3V_GetSpeedMessage", &D::GetSpeedMessage>("the negotiated speed, or an error message"),
        get<"TqDeviceInfoU3V_GetPowerMessage", &D::GetPowerMessage>("the power state, or an error message"),
        get<"TqDeviceInfoU3V_IsLowSpeedSupported", &D::IsLowSpeedSupported>("whether low speed is supported"),
        get<"TqDeviceInfoU3V_IsFullSpeedSupported", &D::IsFullSpeedSupported>("whether full speed is supported"),
        get<"TqDeviceInfoU3V_IsHighSpeedSupported", &D::IsHighSpeedSupported>("whether high speed is supported"),
        get<"TqDeviceInfoU3V_IsSuperSpeedSupported", &D::IsSuperSpeedSupported>(
            "whether super speed is supported"),
        get<"TqDeviceInfoU3V_IsCurrentSpeedSupported", &D::IsCurrentSpeedSupported>(
            "whether the host controller supports the device's current speed"),
        get<"TqDeviceInfoU3V_GetSpeed", &D::GetSpeed>("the effective connection speed"),
        described(get<"TqDeviceInfoU3V_GetMaxPower", &D::GetMaxPower>("the power consumption"),
                  "Power consumption of the device in milliamp."),
        described(get<"TqDeviceInfoU3V_GetMaxPacketSize", &D::GetMaxPacketSize>("the maximum packet size"),
                  "Maximum packet size that can be used by the device in bytes."),
        get<"TqDeviceInfoU3V_IsZelvraDriverInstalled", &D::IsZelvraDriverInstalled>(
            "whether the device's selected driver is the maker's"),
        get<"TqDeviceInfoU3V_IsInitializedCapabilities", &D::IsInitializedCapabilities>(
            "whether the capabilities were read (false may mean the device lacks power)"),
        registration<"TqDeviceInfoU3V_swigregister", D>(),
        initialisation<"TqDeviceInfoU3V_swiginit">(),
    };
}

Entries ip_config_entries() {
    using C = TqSystemLib::IPConfig;
    Entries out = {
        undocumented(constructor_entry<"new_IPConfig", C>()),
        undocumented(delete_entry<"delete_IPConfig", C>()),
    };
    for (Entry& e : field<"IPConfig_mIPAddress_set", "IPConfig_mIPAddress_get", &C::mIPAddress, true>())
        out.push_back(undocumented(std::move(e)));
    for (Entry& e : field<"IPConfig_mSubnetMask_set", "IPConfig_mSubnetMask_get", &C::mSubnetMask, true>())
        out.push_back(undocumented(std::move(e)));
    out.push_back(registration<"IPConfig_swigregister", C>());
    out.push_back(initialisation<"IPConfig_swiginit">());
    return out;
}

}  // namespace kivo::module
