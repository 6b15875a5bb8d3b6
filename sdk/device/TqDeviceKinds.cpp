// The device kinds: GigE Vision (access types, stream channel registers, packet sizes, registers,
// the static operations on a device known by its address), USB3 Vision (simulated devices by GUID)
// and the maker's protocol (its IP configuration).
#include "TqDevice.h"

#include "TqDeviceEngine.h"
#include "TqDeviceInfo.h"
#include "TqDeviceLink.h"
#include "TqGvcpClient.h"
#include "TqResultCodes.h"
#include "TqSimulation.h"
#include "TqText.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>

namespace Reg = TqEngine::Reg;
namespace Gvcp = TqEngine::Gvcp;
using TqDeviceLib::Link;

namespace {

// The control privilege (CCP value) of an access type; false for a value that is none.
bool Privilege(TqAccessType aAccess, uint32_t& aCcp) {
    switch (aAccess) {
    case TqAccessExclusive: aCcp = Reg::kCcpExclusive; return true;
    case TqAccessControl: aCcp = Reg::kCcpControl; return true;
    case TqAccessOpen: aCcp = Reg::kCcpControl | Reg::kCcpSwitchoverEnable; return true;
    case TqAccessReadOnly: aCcp = 0; return true;
    default: return false;
    }
}

TqAccessType AccessOf(uint32_t aCcp) {
    if (aCcp & Reg::kCcpExclusive) return TqAccessExclusive;
    if ((aCcp & Reg::kCcpControl) && !(aCcp & Reg::kCcpSwitchoverEnable)) return TqAccessControl;
    return TqAccessOpen;   // nobody controls it, or its controller lets others take over
}

using TqText::Utf8;

bool ParseMac(const std::string& aText, std::array<uint8_t, 6>& aMac) {
    unsigned v[6];
    char tail;
    if (std::sscanf(aText.c_str(), "%x:%x:%x:%x:%x:%x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) != 6)
        return false;
    for (int i = 0; i < 6; ++i) {
        if (v[i] > 0xFF) return false;
        aMac[i] = static_cast<uint8_t>(v[i]);
    }
    return true;
}

}  // namespace

// ---- GigE Vision ----

TqDeviceGEV::TqDeviceGEV() : TqDevice(TqDeviceTypeGEV) {}
TqDeviceGEV::~TqDeviceGEV() { Disconnect(); }   // leaves the registry of controllers while still whole

TqResult TqDeviceGEV::Connect(const TqString& aInfo) { return Connect(aInfo, TqAccessControl); }
TqResult TqDeviceGEV::Connect(const TqDeviceInfo* aDeviceInfo) { return Connect(aDeviceInfo, TqAccessControl); }

TqResult TqDeviceGEV::Connect(const TqDeviceInfo* aDeviceInfo, TqAccessType aAccessType) {
    TqCallLog::Note("TqDeviceGEV::Connect", std::string(aDeviceInfo ? "record" : "null") + "," + std::to_string(aAccessType));
    uint32_t ccp = 0;
    if (!Privilege(aAccessType, ccp)) return TqResult(TQ_INVALID_PARAMETER, TqString("no such access type"));
    TqResult result = ConnectRecord(aDeviceInfo, ccp);
    if (result.IsOK()) mAccess = aAccessType;
    return result;
}

TqResult TqDeviceGEV::Connect(const TqString& aInfo, TqAccessType aAccessType) {
    TqCallLog::Note("TqDeviceGEV::Connect", Utf8(aInfo) + "," + std::to_string(aAccessType));
    uint32_t ccp = 0;
    if (!Privilege(aAccessType, ccp)) return TqResult(TQ_INVALID_PARAMETER, TqString("no such access type"));
    TqResult result = ConnectText(aInfo, ccp);
    if (result.IsOK()) mAccess = aAccessType;
    return result;
}

TqResult TqDeviceGEV::ChannelRegister(uint32_t aChannel, uint32_t& aCount) const {
    std::shared_ptr<Link> link = CurrentLink();
    if (!link) return TqResult(TQ_NOT_CONNECTED);
    TqResult result = link->ReadRegister(Reg::kStreamChannels, aCount);
    if (result.IsOK() && aChannel >= aCount)
        return TqResult(TQ_GENERIC_ERROR, TqString("the device has no such stream channel"));
    return result;
}

TqResult TqDeviceGEV::SetStreamDestination(const TqString& aIPAddress, uint16_t aDataPort, uint32_t aChannel) {
    TqCallLog::Note("TqDeviceGEV::SetStreamDestination",
                    Utf8(aIPAddress) + "," + std::to_string(aDataPort) + "," + std::to_string(aChannel));
    uint32_t count = 0, ip = 0;
    TqResult result = ChannelRegister(aChannel, count);
    if (result.IsFailure()) return result;
    if (!TqGvcpClient::ParseIp(Utf8(aIPAddress), ip)) return TqResult(TQ_INVALID_PARAMETER, TqString("not an IP address"));
    std::shared_ptr<Link> link = CurrentLink();
    result = link->WriteRegister(Reg::Scda(aChannel), ip);
    return result.IsOK() ? link->WriteRegister(Reg::Scp(aChannel), aDataPort) : result;
}

TqResult TqDeviceGEV::ResetStreamDestination(uint32_t aChannel) {
    TqCallLog::Note("TqDeviceGEV::ResetStreamDestination", std::to_string(aChannel));
    return SetStreamDestination(TqString("0.0.0.0"), 0, aChannel);
}

TqResult TqDeviceGEV::SetPacketSize(uint32_t aPacketSize, uint32_t aChannel) {
    TqCallLog::Note("TqDeviceGEV::SetPacketSize", std::to_string(aPacketSize) + "," + std::to_string(aChannel));
    uint32_t count = 0;
    TqResult result = ChannelRegister(aChannel, count);
    return result.IsOK() ? CurrentLink()->WriteRegister(Reg::Scps(aChannel), aPacketSize) : result;
}

TqResult TqDeviceGEV::NegotiatePacketSize(uint32_t aChannel, uint32_t aDefaultPacketSize) {
    TqCallLog::Note("TqDeviceGEV::NegotiatePacketSize", std::to_string(aChannel) + "," + std::to_string(aDefaultPacketSize));
    uint32_t count = 0, original = 0;
    TqResult result = ChannelRegister(aChannel, count);
    if (result.IsFailure()) return result;
    std::shared_ptr<Link> link = CurrentLink();
    result = link->ReadRegister(Reg::Scps(aChannel), original);
    if (result.IsFailure()) return result;
    int64_t increment = 4;
    if (TqGenParameterArray* parameters = GetParameters()) {
        if (TqGenInteger* size = parameters->GetInteger(TqString("GevSCPSPacketSize"))) {
            int64_t inc = 0;
            if (size->GetIncrement(inc).IsOK() && inc > 0) increment = inc;
        }
    }
    // A receiver of test packets on loopback.
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0x7F000001u);
    socklen_t length = sizeof local;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) < 0) {
        if (s >= 0) ::close(s);
        return TqResult(TQ_NETWORK_ERROR, TqString("no socket for the test packets"));
    }
    result = SetStreamDestination(TqString("127.0.0.1"), ntohs(local.sin_port), aChannel);
    uint32_t best = 0;
    const uint32_t seeds[] = {9000, 8000, 4000, 2000, 1500, 1000, 600};   // loopback's MTU is above 9000
    for (uint32_t seed : seeds) {
        if (result.IsFailure() || best) break;
        const uint32_t size = static_cast<uint32_t>((seed - 24) / increment * increment);
        if (link->WriteRegister(Reg::Scps(aChannel), size | Reg::kScpsFireTestPacket | Reg::kScpsDoNotFragment)
                .IsFailure())
            continue;
        // The test packet, when it arrives, fills the packet size (less the IP and UDP headers).
        uint8_t buffer[9216];
        pollfd p{s, POLLIN, 0};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
        while (std::chrono::steady_clock::now() < deadline) {
            if (::poll(&p, 1, 20) <= 0) continue;
            ssize_t n = ::recv(s, buffer, sizeof buffer, 0);
            if (n == static_cast<ssize_t>(size - TqEngine::Gvsp::kIpUdpOverhead)) {
                best = size;
                break;
            }
        }
    }
    ::close(s);
    const uint32_t chosen = best ? best : aDefaultPacketSize ? aDefaultPacketSize : original & 0xFFFF;
    TqResult set = link->WriteRegister(Reg::Scps(aChannel), chosen);
    TqResult reset = ResetStreamDestination(aChannel);
    if (result.IsFailure()) return result;
    if (!best) return TqResult(TQ_NOT_FOUND, TqString("no test packet arrived"));
    return set.IsFailure() ? set : reset;
}

TqResult TqDeviceGEV::ReadRegister(int64_t aAddress, uint32_t& aValue) {
    std::shared_ptr<Link> link = CurrentLink();
    if (!link) return TqResult(TQ_NOT_CONNECTED);
    if (aAddress < 0 || aAddress > 0xFFFFFFFCll || aAddress % 4) return TqResult(TQ_INVALID_PARAMETER);
    return link->ReadRegister(static_cast<uint32_t>(aAddress), aValue);
}

TqResult TqDeviceGEV::WriteRegister(int64_t aAddress, uint32_t aValue, bool aAcknowledge) {
    TqCallLog::Note("TqDeviceGEV::WriteRegister",
                    std::to_string(aAddress) + "," + std::to_string(aValue) + "," + (aAcknowledge ? "true" : "false"));
    std::shared_ptr<Link> link = CurrentLink();
    if (!link) return TqResult(TQ_NOT_CONNECTED);
    if (aAddress < 0 || aAddress > 0xFFFFFFFCll || aAddress % 4) return TqResult(TQ_INVALID_PARAMETER);
    return link->WriteRegister(static_cast<uint32_t>(aAddress), aValue, aAcknowledge);
}

TqDeviceClass TqDeviceGEV::GetClass() const {
    std::shared_ptr<Link> link = CurrentLink();
    uint32_t mode = 0;
    if (!link || link->ReadRegister(Reg::kDeviceMode, mode).IsFailure()) return TqDeviceClassTransmitter;
    return static_cast<TqDeviceClass>(std::min<uint32_t>(((mode >> 28) & 0x7) + 1, 4));
}

TqString TqDeviceGEV::GetIPAddress() const {
    std::shared_ptr<Link> link = CurrentLink();
    return TqString(link ? TqGvcpClient::IpText(link->Ip()).c_str() : "");
}

TqString TqDeviceGEV::GetMACAddress() const {
    std::shared_ptr<Link> link = CurrentLink();
    return TqString(link ? TqGvcpClient::MacText(link->Mac()).c_str() : "");
}

TqAccessType TqDeviceGEV::GetAccessType() const { return CurrentLink() ? mAccess : TqAccessUnknown; }

TqResult TqDeviceGEV::GetAccessType(const TqString& aDeviceIPAddress, TqAccessType& aAccessType) {
    aAccessType = TqAccessUnknown;
    uint32_t ip = 0, ccp = 0;
    if (!TqGvcpClient::ParseIp(Utf8(aDeviceIPAddress), ip))
        return TqResult(TQ_INVALID_PARAMETER, TqString("not an IP address"));
    TqGvcpClient::Channel channel;
    if (!channel.Open(ip)) return TqResult(TQ_NETWORK_ERROR, TqString("no control channel to the address"));
    uint16_t status = channel.ReadRegister(Reg::kCcp, ccp);
    if (status == Gvcp::kAccessDenied) {   // only an exclusive controller keeps others from reading
        aAccessType = TqAccessExclusive;
        return TqResult(TQ_OK);
    }
    if (status != Gvcp::kSuccess)
        return TqGvcpClient::StatusResult(status, status == TqGvcpClient::Channel::kNoAnswer ? nullptr : "the device refused the read");
    aAccessType = AccessOf(ccp);
    return TqResult(TQ_OK);
}

TqResult TqDeviceGEV::SetIPConfiguration(const TqString& aMACAddress, const TqString& aIP, const TqString& aSubnetMask,
                                         const TqString& aGateway) {
    TqCallLog::Note("TqDeviceGEV::SetIPConfiguration", Utf8(aMACAddress) + "," + Utf8(aIP) + "," + Utf8(aSubnetMask) +
                                                           "," + Utf8(aGateway));
    std::array<uint8_t, 6> mac{};
    uint32_t ip = 0, mask = 0, gateway = 0;
    if (!ParseMac(Utf8(aMACAddress), mac) || !TqGvcpClient::ParseIp(Utf8(aIP), ip) ||
        !TqGvcpClient::ParseIp(Utf8(aSubnetMask), mask) || !TqGvcpClient::ParseIp(Utf8(aGateway), gateway))
        return TqResult(TQ_INVALID_PARAMETER, TqString("not a MAC address, an IP address, a mask or a gateway"));
    if ((ip >> 24) != 127) return TqResult(TQ_INVALID_PARAMETER, TqString("only loopback addresses can be set"));
    return TqGvcpClient::ForceIp(mac, ip, mask, gateway) ? TqResult(TQ_OK)
                                                         : TqResult(TQ_INVALID_PARAMETER, TqString("no device took it"));
}

// ---- USB3 Vision ----

TqDeviceU3V::TqDeviceU3V() : TqDevice(TqDeviceTypeU3V) {}
TqDeviceU3V::~TqDeviceU3V() = default;

TqResult TqDeviceU3V::Connect(const TqString& aInfo) {
    std::string guid = Utf8(aInfo);
    bool hex = guid.size() == 12 && std::all_of(guid.begin(), guid.end(), [](unsigned char c) { return std::isxdigit(c); });
    if (!hex) return TqResult(TQ_INVALID_PARAMETER, TqString("a GUID has 12 hexadecimal digits"));
    TqResult result = ConnectText(aInfo, Reg::kCcpControl);
    if (result.IsOK()) {
        std::transform(guid.begin(), guid.end(), guid.begin(), [](unsigned char c) { return std::toupper(c); });
        mGUID = guid;
    }
    return result;
}

TqResult TqDeviceU3V::Connect(const TqDeviceInfo* aDeviceInfo) {
    auto* u3v = dynamic_cast<const TqDeviceInfoU3V*>(aDeviceInfo);
    if (!u3v) return TqResult(TQ_INVALID_PARAMETER, TqString("not a USB3 Vision device's record"));
    TqResult result = ConnectRecord(aDeviceInfo, Reg::kCcpControl);
    if (result.IsOK()) mGUID = Utf8(u3v->GetDeviceGUID());
    return result;
}

TqString TqDeviceU3V::GetGUID() const { return TqString(CurrentLink() ? mGUID.c_str() : ""); }

// ---- the maker's protocol ----

TqDeviceZelvraProtocol::TqDeviceZelvraProtocol() : TqDevice(TqDeviceTypeUnknown) {}
TqDeviceZelvraProtocol::~TqDeviceZelvraProtocol() = default;

TqResult TqDeviceZelvraProtocol::SetIPConfiguration(const TqString& aMACAddress, const TqString& aIP,
                                                    const TqString& aSubnetMask, const TqString& aGateway) {
    TqCallLog::Note("TqDeviceZelvraProtocol::SetIPConfiguration", Utf8(aMACAddress) + "," + Utf8(aIP) + "," +
                                                                      Utf8(aSubnetMask) + "," + Utf8(aGateway));
    uint32_t ip = 0, mask = 0, gateway = 0;
    if (!TqGvcpClient::ParseIp(Utf8(aIP), ip) || !TqGvcpClient::ParseIp(Utf8(aSubnetMask), mask) ||
        !TqGvcpClient::ParseIp(Utf8(aGateway), gateway))
        return TqResult(TQ_INVALID_PARAMETER, TqString("not an IP address, a mask or a gateway"));
    return TqSimulation::SetIPConfiguration(Utf8(aMACAddress), Utf8(aIP), Utf8(aSubnetMask), Utf8(aGateway))
               ? TqResult(TQ_OK)
               : TqResult(TQ_INVALID_PARAMETER, TqString("no device with that MAC address"));
}
