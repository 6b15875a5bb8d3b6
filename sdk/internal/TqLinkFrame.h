// A UDP datagram as a packet socket sees it on the loopback interface: an Ethernet II header (the
// loopback device gives one of zero addresses), an IPv4 header of 20 to 60 bytes, a UDP header, the
// datagram's bytes. For the stream's packet ring, which reads frames the kernel copied for it, and
// for the tests and fuzz targets that make such frames. Only whole, unfragmented IPv4 UDP frames are
// datagrams; every length is checked against the frame and against the headers' own lengths.
#pragma once

#include "TqWireBytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace TqLinkFrame {

using TqWire::Field;

constexpr size_t kEthernetSize = 14;
constexpr size_t kIpMinSize = 20, kUdpSize = 8;
constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint8_t kProtocolUdp = 17;

struct Ethernet {
    static constexpr Field<uint16_t> kType{12};
};
// Offsets from the start of the IPv4 header.
struct Ipv4 {
    static constexpr Field<uint8_t> kVersionLength{0};   // version 4 in the high nibble, 32-bit words in the low
    static constexpr Field<uint16_t> kTotalLength{2};
    static constexpr Field<uint16_t> kFragment{6};       // flags (MF: 0x2000) and the fragment offset (0x1FFF)
    static constexpr Field<uint8_t> kProtocol{9};
    static constexpr Field<uint32_t> kSource{12};
    static constexpr Field<uint32_t> kDestination{16};
    static constexpr uint16_t kMoreFragments = 0x2000, kOffsetMask = 0x1FFF;
};
// Offsets from the start of the UDP header.
struct Udp {
    static constexpr Field<uint16_t> kSourcePort{0};
    static constexpr Field<uint16_t> kDestinationPort{2};
    static constexpr Field<uint16_t> kLength{4};
};

// A datagram read out of a frame: its ends (host order) and its bytes, inside the frame.
struct Datagram {
    uint32_t source = 0, destination = 0;
    uint16_t sourcePort = 0, destinationPort = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// The datagram a frame of aSize bytes carries, or none when it is no whole IPv4 UDP datagram.
inline std::optional<Datagram> Read(const uint8_t* aFrame, size_t aSize) {
    if (!aFrame || aSize < kEthernetSize + kIpMinSize + kUdpSize) return std::nullopt;
    if (Ethernet::kType.Get(aFrame) != kEtherTypeIpv4) return std::nullopt;
    const uint8_t* ip = aFrame + kEthernetSize;
    const size_t room = aSize - kEthernetSize;
    const uint8_t versionLength = Ipv4::kVersionLength.Get(ip);
    const size_t ipSize = size_t(versionLength & 0x0F) * 4;
    const size_t total = Ipv4::kTotalLength.Get(ip);
    if ((versionLength >> 4) != 4 || ipSize < kIpMinSize || Ipv4::kProtocol.Get(ip) != kProtocolUdp) return std::nullopt;
    if (Ipv4::kFragment.Get(ip) & (Ipv4::kMoreFragments | Ipv4::kOffsetMask)) return std::nullopt;
    if (total > room || total < ipSize + kUdpSize) return std::nullopt;
    const uint8_t* udp = ip + ipSize;
    const size_t udpSize = Udp::kLength.Get(udp);
    if (udpSize < kUdpSize || udpSize > total - ipSize) return std::nullopt;
    Datagram d;
    d.source = Ipv4::kSource.Get(ip);
    d.destination = Ipv4::kDestination.Get(ip);
    d.sourcePort = Udp::kSourcePort.Get(udp);
    d.destinationPort = Udp::kDestinationPort.Get(udp);
    d.data = udp + kUdpSize;
    d.size = udpSize - kUdpSize;
    return d;
}

// The frame that carries aSize bytes from aSource:aSourcePort to aDestination:aDestinationPort, as
// loopback gives it (no IP options, no checksums: loopback does not check them); none (empty) for
// more bytes than a datagram holds.
inline std::vector<uint8_t> Write(uint32_t aSource, uint16_t aSourcePort, uint32_t aDestination,
                                  uint16_t aDestinationPort, const uint8_t* aData, size_t aSize) {
    if (aSize > 0xFFFF - kIpMinSize - kUdpSize) return {};
    std::vector<uint8_t> frame(kEthernetSize + kIpMinSize + kUdpSize + aSize, 0);
    Ethernet::kType.Put(frame.data(), kEtherTypeIpv4);
    uint8_t* ip = frame.data() + kEthernetSize;
    Ipv4::kVersionLength.Put(ip, 0x45);
    Ipv4::kTotalLength.Put(ip, uint16_t(kIpMinSize + kUdpSize + aSize));
    Ipv4::kProtocol.Put(ip, kProtocolUdp);
    Ipv4::kSource.Put(ip, aSource);
    Ipv4::kDestination.Put(ip, aDestination);
    uint8_t* udp = ip + kIpMinSize;
    Udp::kSourcePort.Put(udp, aSourcePort);
    Udp::kDestinationPort.Put(udp, aDestinationPort);
    Udp::kLength.Put(udp, uint16_t(kUdpSize + aSize));
    if (aSize) std::copy(aData, aData + aSize, udp + kUdpSize);
    return frame;
}

}  // namespace TqLinkFrame
