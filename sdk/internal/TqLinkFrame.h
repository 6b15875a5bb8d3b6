// A UDP datagram as a packet socket sees it on the loopback interface: an Ethernet II header (the
// loopback device gives one of zero addresses), an IPv4 header of 20 to 60 bytes, a UDP header, the
// datagram's bytes. For the stream's packet ring, which reads frames the kernel copied for it, and
// for the tests and fuzz targets that make such frames. Only whole, unfragmented IPv4 UDP frames
// whose IP header checksum holds are datagrams (the kernel's IP layer drops the others); every length
// is checked against the frame and against the headers' own lengths. The UDP checksum is the
// reader's to check where the kernel did not (ChecksumHolds): the kernel checks it only for the
// sockets it delivers to.
#pragma once

#include "TqWireBytes.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace TqLinkFrame {

using TqWire::Field;

constexpr size_t kEthernetSize = 14;
constexpr size_t kIpMinSize = 20, kUdpSize = 8;
constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint8_t kProtocolUdp = 17;
constexpr uint8_t kVersionLengthPlain = 0x45;   // IPv4, a header of 20 bytes (no options)

struct Ethernet {
    static constexpr Field<uint16_t> kType{12};
};
// Offsets from the start of the IPv4 header.
struct Ipv4 {
    static constexpr Field<uint8_t> kVersionLength{0};   // version 4 in the high nibble, 32-bit words in the low
    static constexpr Field<uint16_t> kTotalLength{2};
    static constexpr Field<uint16_t> kFragment{6};       // flags (MF: 0x2000) and the fragment offset (0x1FFF)
    static constexpr Field<uint8_t> kTimeToLive{8};
    static constexpr Field<uint8_t> kProtocol{9};
    static constexpr Field<uint16_t> kChecksum{10};
    static constexpr Field<uint32_t> kSource{12};
    static constexpr Field<uint32_t> kDestination{16};
    static constexpr uint16_t kMoreFragments = 0x2000, kOffsetMask = 0x1FFF;
};
// Offsets from the start of the UDP header.
struct Udp {
    static constexpr Field<uint16_t> kSourcePort{0};
    static constexpr Field<uint16_t> kDestinationPort{2};
    static constexpr Field<uint16_t> kLength{4};
    static constexpr Field<uint16_t> kChecksum{6};   // 0: none
};

// The virtio-net header a packet socket writes before each frame when asked to (PACKET_VNET_HDR), in
// the host's byte order: of a segmented send (one frame of several datagrams of one size, the last
// shorter, that the kernel splits before it delivers them), the datagrams' kind and size.
struct Offload {
    uint8_t flags = 0;
    uint8_t segments = kNone;      // none, or the kind of datagrams
    uint16_t headersLength = 0;
    uint16_t segmentSize = 0;      // the bytes of each datagram after its UDP header
    uint16_t checksumStart = 0, checksumOffset = 0;
    static constexpr uint8_t kNone = 0, kUdp = 5;
};
static_assert(sizeof(Offload) == 10);

// The ones' complement sum of aSize bytes at aData added to aSum, the bytes taken as 16-bit words in
// the order they lie in memory (so that a sum folded by Fold can be stored as it is); a run that does
// not begin a sum must begin at an even offset of it.
inline uint64_t Add(const uint8_t* aData, size_t aSize, uint64_t aSum = 0) {
    // 32-bit words into 64 bits: no carry is lost below 2^32 words.
    auto add = [&](auto aWord, size_t aBytes) {
        std::memcpy(&aWord, aData, aBytes);
        aData += aBytes;
        aSize -= aBytes;
        return aWord;
    };
    while (aSize >= 8) {
        const uint64_t word = add(uint64_t(0), 8);
        aSum += (word & 0xFFFFFFFF) + (word >> 32);
    }
    if (aSize >= 4) aSum += add(uint32_t(0), 4);
    if (aSize >= 2) aSum += add(uint16_t(0), 2);
    if (aSize) aSum += add(uint16_t(0), 1);   // an odd last byte: the high byte of a word padded with zero
    return aSum;
}

// A sum folded to 16 bits: 0xFFFF over bytes whose checksum holds.
inline uint16_t Fold(uint64_t aSum) {
    aSum = (aSum & 0xFFFFFFFF) + (aSum >> 32);
    aSum = (aSum & 0xFFFFFFFF) + (aSum >> 32);
    aSum = (aSum & 0xFFFF) + (aSum >> 16);
    return static_cast<uint16_t>((aSum & 0xFFFF) + (aSum >> 16));
}

// A datagram read out of a frame: its ends (host order), its bytes inside the frame, and its UDP
// checksum as it came.
struct Datagram {
    uint32_t source = 0, destination = 0;
    uint16_t sourcePort = 0, destinationPort = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
    uint16_t checksum = 0;
};

// The sum of a datagram's pseudo-header and UDP header and bytes (checksum included), as the UDP
// checksum covers them.
inline uint64_t UdpSum(const Datagram& aDatagram) {
    uint8_t pseudo[12];
    TqWire::Put32(pseudo, aDatagram.source);
    TqWire::Put32(pseudo + 4, aDatagram.destination);
    TqWire::Put16(pseudo + 8, kProtocolUdp);
    TqWire::Put16(pseudo + 10, static_cast<uint16_t>(kUdpSize + aDatagram.size));
    return Add(aDatagram.data - kUdpSize, kUdpSize + aDatagram.size, Add(pseudo, sizeof pseudo));
}

// Whether a datagram's UDP checksum holds (none, 0, always does).
inline bool ChecksumHolds(const Datagram& aDatagram) {
    return aDatagram.checksum == 0 || Fold(UdpSum(aDatagram)) == 0xFFFF;
}

// The datagram a frame of aSize bytes carries, or none when it is no whole IPv4 UDP datagram whose
// IP header checksum holds.
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
    if (total > room || total < ipSize + kUdpSize || Fold(Add(ip, ipSize)) != 0xFFFF) return std::nullopt;
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
    d.checksum = Udp::kChecksum.Get(udp);
    return d;
}

// The frame that carries aSize bytes from aSource:aSourcePort to aDestination:aDestinationPort, as
// loopback gives it (no IP options), its IP header checksum and (unless aNoChecksum) its UDP
// checksum written; none (empty) for more bytes than a datagram holds.
inline std::vector<uint8_t> Write(uint32_t aSource, uint16_t aSourcePort, uint32_t aDestination,
                                  uint16_t aDestinationPort, const uint8_t* aData, size_t aSize,
                                  bool aNoChecksum = false) {
    if (aSize > 0xFFFF - kIpMinSize - kUdpSize) return {};
    std::vector<uint8_t> frame(kEthernetSize + kIpMinSize + kUdpSize + aSize, 0);
    Ethernet::kType.Put(frame.data(), kEtherTypeIpv4);
    uint8_t* ip = frame.data() + kEthernetSize;
    Ipv4::kVersionLength.Put(ip, kVersionLengthPlain);
    Ipv4::kTotalLength.Put(ip, uint16_t(kIpMinSize + kUdpSize + aSize));
    Ipv4::kTimeToLive.Put(ip, 64);
    Ipv4::kProtocol.Put(ip, kProtocolUdp);
    Ipv4::kSource.Put(ip, aSource);
    Ipv4::kDestination.Put(ip, aDestination);
    const uint16_t ipSum = static_cast<uint16_t>(~Fold(Add(ip, kIpMinSize)));
    std::memcpy(ip + Ipv4::kChecksum.at, &ipSum, sizeof ipSum);   // in the order the sum was taken
    uint8_t* udp = ip + kIpMinSize;
    Udp::kSourcePort.Put(udp, aSourcePort);
    Udp::kDestinationPort.Put(udp, aDestinationPort);
    Udp::kLength.Put(udp, uint16_t(kUdpSize + aSize));
    if (aSize) std::copy(aData, aData + aSize, udp + kUdpSize);
    if (!aNoChecksum) {
        Datagram d{aSource, aDestination, aSourcePort, aDestinationPort, udp + kUdpSize, aSize, 0};
        uint16_t sum = static_cast<uint16_t>(~Fold(UdpSum(d)));
        if (sum == 0) sum = 0xFFFF;   // 0 would say none
        std::memcpy(udp + Udp::kChecksum.at, &sum, sizeof sum);
    }
    return frame;
}

}  // namespace TqLinkFrame
