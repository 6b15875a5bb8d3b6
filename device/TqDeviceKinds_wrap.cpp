// The device kinds: TqDeviceGEV (access types, stream channels, packet sizes, registers, its
// addresses, the static operations on a device known by its address), TqDeviceU3V (connection by
// record or GUID) and TqDeviceZelvraProtocol (its IP configuration, and its one release).
#include "arg_kinds.h"
#include "attached.h"
#include "devices.h"

#include "TqDevice.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using G = TqDeviceGEV;
using U = TqDeviceU3V;
using Z = TqDeviceZelvraProtocol;
using Str = const TqString&;
// Forms whose self may be None refuse it themselves; a string position takes None and refuses it.
template <int From = 2>
using Strict = NoneSelfCommits<NoneCommitsFrom<From>>;

TqResult access_into(Str address, TqAccessType& target) { return G::GetAccessType(address, target); }
TqResult access_of(Str address, TqAccessType& access) { return G::GetAccessType(address, access); }

// The three forms of SetIPConfiguration: the subnet mask and the gateway may be left out.
template <class K>
struct IPConfiguration {
    static TqResult all(Str mac, Str ip, Str mask, Str gateway) { return K::SetIPConfiguration(mac, ip, mask, gateway); }
    static TqResult masked(Str mac, Str ip, Str mask) { return K::SetIPConfiguration(mac, ip, mask, TqString("0.0.0.0")); }
    static TqResult plain(Str mac, Str ip) {
        return K::SetIPConfiguration(mac, ip, TqString("255.255.255.0"), TqString("0.0.0.0"));
    }
};

template <Text Name, class K>
Entry ip_configuration() {
    using F = IPConfiguration<K>;
    using P = NoneCommitsFrom<1>;
    return as_role(overloaded<Name>(static_func<K, &F::all, P>("aMACAddress", "aIP", "aSubnetMask", "aGateway"),
                                    static_func<K, &F::masked, P>("aMACAddress", "aIP", "aSubnetMask"),
                                    static_func<K, &F::plain, P>("aMACAddress", "aIP")),
                   Role::Static);
}

}  // namespace

Entries device_gev_entries() {
    return {
        constructor_entry<"new_TqDeviceGEV", G>(),
        delete_entry<"delete_TqDeviceGEV", G, &forget_registered>(),
        overloaded<"TqDeviceGEV_Connect">(
            meth<member<TqResult(const TqDeviceInfo*)>(&G::Connect), Strict<>>("aDeviceInfo"),
            meth<member<TqResult(const TqDeviceInfo*, TqAccessType)>(&G::Connect), Strict<>>("aDeviceInfo",
                                                                                            "aAccessType"),
            meth<member<TqResult(Str)>(&G::Connect), Strict<>>("aInfo"),
            meth<member<TqResult(Str, TqAccessType)>(&G::Connect), Strict<>>("aInfo", "aAccessType")),
        overloaded<"TqDeviceGEV_SetStreamDestination">(
            meth<&G::SetStreamDestination, Strict<>, Params<Str, uint16_t, WithDefault<uint32_t, 0>>>(
                "aIPAddress", "aDataPort", "aChannel")),
        overloaded<"TqDeviceGEV_ResetStreamDestination">(
            meth<&G::ResetStreamDestination, Strict<>, Params<WithDefault<uint32_t, 0>>>("aChannel")),
        overloaded<"TqDeviceGEV_SetPacketSize">(
            meth<&G::SetPacketSize, Strict<>, Params<uint32_t, WithDefault<uint32_t, 0>>>("aPacketSize", "aChannel")),
        overloaded<"TqDeviceGEV_NegotiatePacketSize">(
            meth<&G::NegotiatePacketSize, Strict<>, Params<WithDefault<uint32_t, 0>, WithDefault<uint32_t, 0>>>(
                "aChannel", "aDefaultPacketSize")),
        method<"TqDeviceGEV_ReadRegister", &G::ReadRegister, TupleOutputs<>>("aAddress", "aValue"),
        overloaded<"TqDeviceGEV_WriteRegister">(
            meth<&G::WriteRegister, Strict<>, Params<int64_t, uint32_t, WithDefault<bool, true>>>(
                "aAddress", "aValue", "aAcknowledge")),
        method<"TqDeviceGEV_GetClass", &G::GetClass>(),
        method<"TqDeviceGEV_GetIPAddress", &G::GetIPAddress>(),
        method<"TqDeviceGEV_GetMACAddress", &G::GetMACAddress>(),
        overloaded<"TqDeviceGEV_GetAccessType">(
            meth<member<TqAccessType() const>(&G::GetAccessType), NoneSelfCommits<>>(),
            static_func<G, &access_into, NoneCommitsFrom<1>, Params<Str, AccessTypeTarget>>("aDeviceIPAddress",
                                                                                "aAccessType"),
            static_func<G, &access_of, NoneCommitsFrom<1>, Params<Str, Spelled<"", Present<TqAccessType&>>>>(
                "aDeviceIPAddress", "aAccessType")),
        ip_configuration<"TqDeviceGEV_SetIPConfiguration", G>(),
        registration<"TqDeviceGEV_swigregister", G>(),
        initialisation<"TqDeviceGEV_swiginit">(),
    };
}

// The docstrings' texts of TqDeviceGEV's rows.
const DocTable kDeviceGevDocs{
    whole("new_TqDeviceGEV", "Constructor."),
    summary("TqDeviceGEV_Connect",
            "Only one device can be connected to at a time.\n\nConnect to a GigE Vision device with the default "
            "access control mode.\nIf aInfo contains an IP address, the connection attempt is direct.\nWith a MAC "
            "address (Use the form 00:11:22:33:44:5F.) or a DeviceUserID, an internal #TqSystem is used to find all "
            "reachable GigE Vision devices. Found devices are browsed, looking for a match on either MAC address or "
            "DeviceUserID.\naAccessType: The access control privilege to set at the time of connection."),
    summary("TqDeviceGEV_SetStreamDestination",
            "aIPAddress: The receiving PC's IP address (GenICam feature name: **GevSCDA**) or a multicast IP "
            "address.\naDataPort: The receiving PC's data port (feature name: **GevSCPHostPort**) or the multicast "
            "port.\naChannel: Use 0 for device having supporting a single streaming channel.\n\nResults: OK, "
            "NOT_CONNECTED, TIMEOUT, GENERIC_ERROR."),
    summary("TqDeviceGEV_ResetStreamDestination",
            "Equivalent to SetStreamDestination with the address \"0.0.0.0\", port 0 and the same "
            "channel.\n\nResults: OK, NOT_CONNECTED, TIMEOUT, GENERIC_ERROR."),
    summary("TqDeviceGEV_SetPacketSize",
            "Unlike NegotiatePacketSize, it does not attempt to find the best packet size, it just uses the one "
            "provided as a parameter.\n\nResults: NOT_CONNECTED, TIMEOUT, GENERIC_ERROR, NOT_FOUND."),
    summary("TqDeviceGEV_NegotiatePacketSize",
            "Calling this method resets the streaming destination for aChannel.\nCall it after connecting and before "
            "SetStreamDestination. The highest possible packet size from { MTU (if below 9000), 9000, 8000, 4000, "
            "2000, 1500, 1000, 600 } is used, less 24 bytes for the Ethernet layer and rounded down to the increment "
            "of GevSCPSPacketSize.\naDefaultPacketSize: Use 1476 for a safe packet size; 0 to continue using the "
            "GigE Vision device's original setting in case of failure.\n\nResults: NOT_CONNECTED, TIMEOUT, "
            "GENERIC_ERROR, NOT_FOUND."),
    summary("TqDeviceGEV_ReadRegister",
            "Operations are always performed as Big Endian and on Intel platforms are corrected to/from Little "
            "Endian.\n\n:return: Tuple composed of (result, value)"),
    summary("TqDeviceGEV_WriteRegister",
            "aAddress: The GigE Vision device's register address (mod 4).\naAcknowledge: asks for the acknowledge "
            "and waits for it; false returns as soon as the command is in the UDP socket. If not specified true is "
            "assumed."),
    summary("TqDeviceGEV_GetClass", "If no device is connected, TqDeviceClassTransmitter is returned."),
    summary("TqDeviceGEV_GetIPAddress", "If no device is connected, an empty string is returned."),
    summary("TqDeviceGEV_GetMACAddress", "If no device is connnected, an emptyu string is returned."),
    summary("TqDeviceGEV_GetAccessType",
            "If no device is connected, TqAccessUnknown is returned.\n\nReturns the current access type of a device "
            "identified by its IP address.\n:type aAccessType: int, out\naAccessType: TqAccessUnknown on failure. "
            "Given only the address, returns [TqResult, access type]."),
    summary("TqDeviceGEV_SetIPConfiguration",
            "The GigE Vision device to be configured is identified using its MAC address.\nThe IP address cannot be "
            "changed while a TqDevice is connected.\n\nResults: OK, INVALID_PARAMETER."),
};

Entries device_u3v_entries() {
    return {
        constructor_entry<"new_TqDeviceU3V", U>(),
        delete_entry<"delete_TqDeviceU3V", U, &forget_registered>(),
        // The text form's prototype comes first, although the record form is tried first.
        overloaded<"TqDeviceU3V_Connect">(meth<member<TqResult(Str)>(&U::Connect), Strict<>>("aInfo"),
                                          meth<member<TqResult(const TqDeviceInfo*)>(&U::Connect), Strict<>>(
                                              "aDeviceInfo")),
        method<"TqDeviceU3V_GetGUID", &U::GetGUID>(),
        registration<"TqDeviceU3V_swigregister", U>(),
        initialisation<"TqDeviceU3V_swiginit">(),
    };
}

// The docstrings' texts of TqDeviceU3V's rows.
const DocTable kDeviceU3vDocs{
    whole("new_TqDeviceU3V", "Constructor."),
    summary("TqDeviceU3V_Connect",
            "Only one device can be connected to at a time.\naDeviceInfo: The USB3 Vision device's connectivity "
            "information; a #TqDeviceInfo object.\naInfo: The USB3 Vision device's 12 hex digit GUID.\n\nResults: "
            "OK, INVALID_PARAMETER, GENERIC_ERROR, GENICAM_XML_ERROR."),
    summary("TqDeviceU3V_GetGUID", "If no device is connected, an empty string is returned."),
};

Entries device_zelvra_entries() {
    return {
        ip_configuration<"TqDeviceZelvraProtocol_SetIPConfiguration", Z>(),
        // The one release of a device of this kind, which TqDevice_Free refuses: it takes the proxy
        // that CreateAndConnect handed out.
        delete_entry<"delete_TqDeviceZelvraProtocol", Z, &forget_registered, true>(),
        registration<"TqDeviceZelvraProtocol_swigregister", Z>(),
    };
}

// The docstrings' texts of TqDeviceZelvraProtocol's rows.
const DocTable kDeviceZelvraDocs{
    summary("TqDeviceZelvraProtocol_SetIPConfiguration",
            "This static method lets you configure the Zelvra Protocol device's IP address.\naMACAddress: The Zelvra "
            "Protocol device's MAC address.\n:type aSubnetMask: str, in, optional\n:type aGateway: str, in, "
            "optional\n\nResults: OK, INVALID_PARAMETER."),
};

}  // namespace kivo::module
