// Device information records: the base record and its four kinds, each getter one row; IPConfig.
#include "devices.h"

#include "TqSystemLib.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

const char* const kCopyText = "The user is responsible from freeing/deleting the object after use.";

}  // namespace

Entries device_info_entries() {
    using D = TqDeviceInfo;
    return {
        delete_entry<"delete_TqDeviceInfo", D>(),
        method<"TqDeviceInfo_Copy", &D::Copy, OwnedCopy<D>>(),
        method<"TqDeviceInfo_GetType", &D::GetType>(),
        method<"TqDeviceInfo_GetVendorName", &D::GetVendorName>(),
        method<"TqDeviceInfo_GetModelName", &D::GetModelName>(),
        method<"TqDeviceInfo_GetVersion", &D::GetVersion>(),
        method<"TqDeviceInfo_GetManufacturerInfo", &D::GetManufacturerInfo>(),
        method<"TqDeviceInfo_GetSerialNumber", &D::GetSerialNumber>(),
        method<"TqDeviceInfo_GetUserDefinedName", &D::GetUserDefinedName>(),
        method<"TqDeviceInfo_GetDisplayID", &D::GetDisplayID>(),
        method<"TqDeviceInfo_GetUniqueID", &D::GetUniqueID>(),
        method<"TqDeviceInfo_GetConnectionID", &D::GetConnectionID>(),
        method<"TqDeviceInfo_GetInterface", &D::GetInterface, InterfaceOfKind<>>(),
        method<"TqDeviceInfo_IsConfigurationValid", &D::IsConfigurationValid>(),
        method<"TqDeviceInfo_GetClass", &D::GetClass>(),
        registration<"TqDeviceInfo_swigregister", D>(),
    };
}

// The docstrings' texts of TqDeviceInfo's rows.
const DocTable kDeviceInfoDocs{
    whole("delete_TqDeviceInfo", "Destructor."),
    summary("TqDeviceInfo_Copy", kCopyText),
    returns("TqDeviceInfo_Copy", "a copy of the record"),
    returns("TqDeviceInfo_GetType", "the kind of record"),
    returns("TqDeviceInfo_GetVendorName", "the manufacturer name"),
    returns("TqDeviceInfo_GetModelName", "the model name"),
    returns("TqDeviceInfo_GetVersion", "the firmware version"),
    returns("TqDeviceInfo_GetManufacturerInfo", "the manufacturer information"),
    returns("TqDeviceInfo_GetSerialNumber", "the serial number"),
    summary("TqDeviceInfo_GetUserDefinedName", "This feature is only supported by devices having persistence memory."),
    returns("TqDeviceInfo_GetUserDefinedName", "the user-defined name"),
    returns("TqDeviceInfo_GetDisplayID", "a text to show the device in user interfaces"),
    returns("TqDeviceInfo_GetUniqueID", "an opaque ID, unique within one application life cycle"),
    returns("TqDeviceInfo_GetConnectionID", "the text that connecting a device or opening a stream accepts"),
    returns("TqDeviceInfo_GetInterface", "the interface through which the device was found"),
    returns("TqDeviceInfo_IsConfigurationValid", "whether the device can be reached with its present configuration"),
    returns("TqDeviceInfo_GetClass", "the device class"),
};

Entries device_info_gev_entries() {
    using D = TqDeviceInfoGEV;
    return {
        constructor_entry<"new_TqDeviceInfoGEV", D>(),
        delete_entry<"delete_TqDeviceInfoGEV", D>(),
        method<"TqDeviceInfoGEV_GetMACAddress", &D::GetMACAddress>(),
        method<"TqDeviceInfoGEV_GetIPAddress", &D::GetIPAddress>(),
        method<"TqDeviceInfoGEV_GetDefaultGateway", &D::GetDefaultGateway>(),
        method<"TqDeviceInfoGEV_GetSubnetMask", &D::GetSubnetMask>(),
        method<"TqDeviceInfoGEV_GetGEVVersion", &D::GetGEVVersion>(),
        method<"TqDeviceInfoGEV_GetIPConfigOptionsString", &D::GetIPConfigOptionsString>(),
        method<"TqDeviceInfoGEV_GetIPConfigCurrentString", &D::GetIPConfigCurrentString>(),
        method<"TqDeviceInfoGEV_IsLLAAvailable", &D::IsLLAAvailable>(),
        method<"TqDeviceInfoGEV_IsDHCPAvailable", &D::IsDHCPAvailable>(),
        method<"TqDeviceInfoGEV_IsPersistentAvailable", &D::IsPersistentAvailable>(),
        method<"TqDeviceInfoGEV_IsPRAvailable", &D::IsPRAvailable>(),
        method<"TqDeviceInfoGEV_IsPGAvailable", &D::IsPGAvailable>(),
        method<"TqDeviceInfoGEV_IsLLAEnabled", &D::IsLLAEnabled>(),
        method<"TqDeviceInfoGEV_IsDHCPEnabled", &D::IsDHCPEnabled>(),
        method<"TqDeviceInfoGEV_IsPersistentEnabled", &D::IsPersistentEnabled>(),
        method<"TqDeviceInfoGEV_IsPREnabled", &D::IsPREnabled>(),
        method<"TqDeviceInfoGEV_IsPGEnabled", &D::IsPGEnabled>(),
        registration<"TqDeviceInfoGEV_swigregister", D>(),
        initialisation<"TqDeviceInfoGEV_swiginit">(),
    };
}

// The docstrings' texts of TqDeviceInfoGEV's rows.
const DocTable kDeviceInfoGevDocs{
    whole("new_TqDeviceInfoGEV", "Constructor."),
    whole("delete_TqDeviceInfoGEV", "Destructor."),
    returns("TqDeviceInfoGEV_GetMACAddress", "the MAC address, in the form aa:bb:cc:dd:ee:ff"),
    returns("TqDeviceInfoGEV_GetIPAddress", "the current IP address"),
    returns("TqDeviceInfoGEV_GetDefaultGateway", "the default gateway"),
    returns("TqDeviceInfoGEV_GetSubnetMask", "the subnet mask"),
    summary("TqDeviceInfoGEV_GetGEVVersion",
            "The high 16 bits contain the major version and The low 16 bits the minor version."),
    returns("TqDeviceInfoGEV_GetGEVVersion", "the GigE Vision version"),
    returns("TqDeviceInfoGEV_GetIPConfigOptionsString", "the IP configuration options the device offers"),
    returns("TqDeviceInfoGEV_GetIPConfigCurrentString", "the IP configuration now set"),
    returns("TqDeviceInfoGEV_IsLLAAvailable", "whether link-local addressing is offered"),
    returns("TqDeviceInfoGEV_IsDHCPAvailable", "whether DHCP is offered"),
    returns("TqDeviceInfoGEV_IsPersistentAvailable", "whether a persistent IP address is offered"),
    returns("TqDeviceInfoGEV_IsPRAvailable", "whether the PAUSE_reception option is offered"),
    returns("TqDeviceInfoGEV_IsPGAvailable", "whether the PAUSE_generation option is offered"),
    returns("TqDeviceInfoGEV_IsLLAEnabled", "whether link-local addressing is enabled"),
    returns("TqDeviceInfoGEV_IsDHCPEnabled", "whether DHCP is enabled"),
    returns("TqDeviceInfoGEV_IsPersistentEnabled", "whether the persistent IP address is enabled"),
    returns("TqDeviceInfoGEV_IsPREnabled", "whether PAUSE_reception is enabled"),
    returns("TqDeviceInfoGEV_IsPGEnabled", "whether PAUSE_generation is enabled"),
};

Entries device_info_zelvra_entries() {
    using D = TqDeviceInfoZelvraProtocol;
    return {
        constructor_entry<"new_TqDeviceInfoZelvraProtocol", D>(),
        delete_entry<"delete_TqDeviceInfoZelvraProtocol", D>(),
        method<"TqDeviceInfoZelvraProtocol_GetMACAddress", &D::GetMACAddress>(),
        method<"TqDeviceInfoZelvraProtocol_GetIPAddress", &D::GetIPAddress>(),
        method<"TqDeviceInfoZelvraProtocol_GetSubnetMask", &D::GetSubnetMask>(),
        method<"TqDeviceInfoZelvraProtocol_GetDefaultGateway", &D::GetDefaultGateway>(),
        method<"TqDeviceInfoZelvraProtocol_GetDeviceID", &D::GetDeviceID>(),
        method<"TqDeviceInfoZelvraProtocol_GetModuleID", &D::GetModuleID>(),
        method<"TqDeviceInfoZelvraProtocol_GetSubID", &D::GetSubID>(),
        method<"TqDeviceInfoZelvraProtocol_GetVendorID", &D::GetVendorID>(),
        method<"TqDeviceInfoZelvraProtocol_GetSoftwareMajor", &D::GetSoftwareMajor>(),
        method<"TqDeviceInfoZelvraProtocol_GetSoftwareMinor", &D::GetSoftwareMinor>(),
        registration<"TqDeviceInfoZelvraProtocol_swigregister", D>(),
        initialisation<"TqDeviceInfoZelvraProtocol_swiginit">(),
    };
}

// The docstrings' texts of TqDeviceInfoZelvraProtocol's rows.
const DocTable kDeviceInfoZelvraDocs{
    whole("new_TqDeviceInfoZelvraProtocol", "Constructor."),
    whole("delete_TqDeviceInfoZelvraProtocol", "Destructor."),
    returns("TqDeviceInfoZelvraProtocol_GetMACAddress", "the MAC address"),
    returns("TqDeviceInfoZelvraProtocol_GetIPAddress", "the IP address"),
    returns("TqDeviceInfoZelvraProtocol_GetSubnetMask", "the subnet mask"),
    returns("TqDeviceInfoZelvraProtocol_GetDefaultGateway", "the default gateway"),
    returns("TqDeviceInfoZelvraProtocol_GetDeviceID", "the device ID"),
    returns("TqDeviceInfoZelvraProtocol_GetModuleID", "the module ID"),
    returns("TqDeviceInfoZelvraProtocol_GetSubID", "the sub ID"),
    returns("TqDeviceInfoZelvraProtocol_GetVendorID", "the vendor ID"),
    returns("TqDeviceInfoZelvraProtocol_GetSoftwareMajor", "the firmware major version"),
    returns("TqDeviceInfoZelvraProtocol_GetSoftwareMinor", "the firmware minor version"),
};

Entries device_info_usb_entries() {
    using D = TqDeviceInfoUSB;
    return {
        constructor_entry<"new_TqDeviceInfoUSB", D>(),
        delete_entry<"delete_TqDeviceInfoUSB", D>(),
        method<"TqDeviceInfoUSB_GetStatus", &D::GetStatus>(),
        registration<"TqDeviceInfoUSB_swigregister", D>(),
        initialisation<"TqDeviceInfoUSB_swiginit">(),
    };
}

// The docstrings' texts of TqDeviceInfoUSB's rows.
const DocTable kDeviceInfoUsbDocs{
    whole("new_TqDeviceInfoUSB", "Constructor."),
    whole("delete_TqDeviceInfoUSB", "Destructor."),
    returns("TqDeviceInfoUSB_GetStatus", "the enumeration status of the USB device"),
};

Entries device_info_u3v_entries() {
    using D = TqDeviceInfoU3V;
    return {
        constructor_entry<"new_TqDeviceInfoU3V", D>(),
        delete_entry<"delete_TqDeviceInfoU3V", D>(),
        method<"TqDeviceInfoU3V_GetGenCPVersion", &D::GetGenCPVersion>(),
        method<"TqDeviceInfoU3V_GetU3VVersion", &D::GetU3VVersion>(),
        method<"TqDeviceInfoU3V_GetDeviceGUID", &D::GetDeviceGUID>(),
        method<"TqDeviceInfoU3V_GetFamilyName", &D::GetFamilyName>(),
        method<"TqDeviceInfoU3V_GetU3VSerialNumber", &D::GetU3VSerialNumber>(),
        method<"TqDeviceInfoU3V_GetDevicePath", &D::GetDevicePath>(),
        method<"TqDeviceInfoU3V_GetDeviceKey", &D::GetDeviceKey>(),
        method<"TqDeviceInfoU3V_GetSpeedMessage", &D::GetSpeedMessage>(),
        method<"TqDeviceInfoU3V_GetPowerMessage", &D::GetPowerMessage>(),
        method<"TqDeviceInfoU3V_IsLowSpeedSupported", &D::IsLowSpeedSupported>(),
        method<"TqDeviceInfoU3V_IsFullSpeedSupported", &D::IsFullSpeedSupported>(),
        method<"TqDeviceInfoU3V_IsHighSpeedSupported", &D::IsHighSpeedSupported>(),
        method<"TqDeviceInfoU3V_IsSuperSpeedSupported", &D::IsSuperSpeedSupported>(),
        method<"TqDeviceInfoU3V_IsCurrentSpeedSupported", &D::IsCurrentSpeedSupported>(),
        method<"TqDeviceInfoU3V_GetSpeed", &D::GetSpeed>(),
        method<"TqDeviceInfoU3V_GetMaxPower", &D::GetMaxPower>(),
        method<"TqDeviceInfoU3V_GetMaxPacketSize", &D::GetMaxPacketSize>(),
        method<"TqDeviceInfoU3V_IsZelvraDriverInstalled", &D::IsZelvraDriverInstalled>(),
        method<"TqDeviceInfoU3V_IsInitializedCapabilities", &D::IsInitializedCapabilities>(),
        registration<"TqDeviceInfoU3V_swigregister", D>(),
        initialisation<"TqDeviceInfoU3V_swiginit">(),
    };
}

// The docstrings' texts of TqDeviceInfoU3V's rows.
const DocTable kDeviceInfoU3vDocs{
    whole("new_TqDeviceInfoU3V", "Constructor."),
    whole("delete_TqDeviceInfoU3V", "Destructor."),
    returns("TqDeviceInfoU3V_GetGenCPVersion", "the GenCP version: major in the high 16 bits, minor in the low 16"),
    returns("TqDeviceInfoU3V_GetU3VVersion", "the USB3 Vision version: major in the high 16 bits, minor in the low 16"),
    returns("TqDeviceInfoU3V_GetDeviceGUID", "the device GUID"),
    returns("TqDeviceInfoU3V_GetFamilyName", "the family name"),
    returns("TqDeviceInfoU3V_GetU3VSerialNumber", "the USB3 Vision serial number"),
    returns("TqDeviceInfoU3V_GetDevicePath", "the device path"),
    returns("TqDeviceInfoU3V_GetDeviceKey", "the device key"),
    returns("TqDeviceInfoU3V_GetSpeedMessage", "the negotiated speed, or an error message"),
    returns("TqDeviceInfoU3V_GetPowerMessage", "the power state, or an error message"),
    returns("TqDeviceInfoU3V_IsLowSpeedSupported", "whether low speed is supported"),
    returns("TqDeviceInfoU3V_IsFullSpeedSupported", "whether full speed is supported"),
    returns("TqDeviceInfoU3V_IsHighSpeedSupported", "whether high speed is supported"),
    returns("TqDeviceInfoU3V_IsSuperSpeedSupported", "whether super speed is supported"),
    returns("TqDeviceInfoU3V_IsCurrentSpeedSupported",
            "whether the host controller supports the device's current speed"),
    returns("TqDeviceInfoU3V_GetSpeed", "the effective connection speed"),
    summary("TqDeviceInfoU3V_GetMaxPower", "Power consumption of the device in milliamp."),
    returns("TqDeviceInfoU3V_GetMaxPower", "the power consumption"),
    summary("TqDeviceInfoU3V_GetMaxPacketSize", "Maximum packet size that can be used by the device in bytes."),
    returns("TqDeviceInfoU3V_GetMaxPacketSize", "the maximum packet size"),
    returns("TqDeviceInfoU3V_IsZelvraDriverInstalled", "whether the device's selected driver is the maker's"),
    returns("TqDeviceInfoU3V_IsInitializedCapabilities",
            "whether the capabilities were read (false may mean the device lacks power)"),
};

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
