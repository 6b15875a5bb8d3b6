// The loopback network as the stand-in libraries see it (the device engine, the control-protocol
// client, the stream receivers): IPv4 addresses in host order, which of them are loopback or
// multicast addresses, socket endpoints, and the most a socket's receive buffer may be given.
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

}  // namespace TqNet
