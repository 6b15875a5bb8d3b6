// The loopback network as the stand-in libraries see it (the device engine, the control-protocol
// client, the stream receivers): IPv4 addresses in host order, which of them are loopback or
// multicast addresses, socket endpoints, the most a socket's receive buffer may be given, and how
// datagrams travel coalesced.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <fstream>

namespace TqNet {

constexpr uint32_t kLoopback = 0x7F000001u;            // 127.0.0.1
constexpr uint32_t kLoopbackBroadcast = 0x7FFFFFFFu;   // 127.255.255.255

constexpr bool IsLoopback(uint32_t aIp) { return (aIp >> 24) == 127; }
constexpr bool IsMulticast(uint32_t aIp) { return (aIp >> 28) == 0xE; }

inline sockaddr_in Endpoint(uint32_t aIp, uint16_t aPort) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(aIp);
    a.sin_port = htons(aPort);
    return a;
}

// net.core.rmem_max: the most SO_RCVBUF may ask for (the kernel's default when it cannot be read).
inline uint32_t ReceiveBufferMax() {
    std::ifstream in("/proc/sys/net/core/rmem_max");
    uint64_t value = 0;
    if (!(in >> value) || value == 0) return 212992;
    return static_cast<uint32_t>(std::min<uint64_t>(value, 0x7FFFFFFF));
}

// Coalesced datagrams (UDP segmentation and receive offload): a sender hands the kernel a run of
// datagrams of one size (the last one may be shorter) as one send of their bytes one after the other,
// with the size of each (UDP_SEGMENT); loopback carries the run as one, and a socket that takes runs
// (UDP_GRO) receives it as one datagram with that size beside it, while any other socket receives
// the datagrams one by one. The stream senders and the receiver agree on where runs end: at most
// RunLength(size) datagrams of that size, counted from a block's first payload packet, so that the
// receiver can place a run's packets before it arrives.
constexpr size_t kLargestUdpPayload = 65507;   // of one datagram, and of a run as the kernel takes it
constexpr size_t kMostInRun = 64;              // the kernel's limit of datagrams in a run
constexpr size_t RunLength(size_t aDatagramSize) {
    return aDatagramSize ? std::max<size_t>(1, std::min(kMostInRun, kLargestUdpPayload / aDatagramSize)) : 1;
}

// The local addresses and ports (host order) at which a receiver of this process takes runs: the
// stream senders coalesce only toward them, since a receiver of another process may read one
// datagram a call and could not keep up with runs split again by the kernel. Kept by the engine
// library; a receiver adds its socket's local address and port once the kernel granted receive
// offload and removes them before its socket closes (as often as it added them); a sender asks with
// its destination's. A receiver bound to any address (0) takes runs at every address of its port.
void AddRunReceiver(uint32_t aAddress, uint16_t aPort);
void RemoveRunReceiver(uint32_t aAddress, uint16_t aPort);
bool TakesRuns(uint32_t aAddress, uint16_t aPort);

// The packet sockets (by socket inode) of this process's stream rings: a ring takes only its own
// stream's datagrams, so the senders need not send one datagram at a time while it watches loopback
// as they do while any other packet socket does. Kept by the engine library.
void AddOwnRing(unsigned long aInode);
void RemoveOwnRing(unsigned long aInode);
bool IsOwnRing(unsigned long aInode);

}  // namespace TqNet
