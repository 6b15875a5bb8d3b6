// Helpers of the engine tests: GVCP commands into the dispatcher and their acknowledges, a device
// configuration and a clock the test moves.
#pragma once

#include "TqDeviceEngine.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <vector>

namespace TqEngine::Testing {

inline const Peer kApp{0x7F000001, 50000};
inline const Peer kOther{0x7F000001, 50001};

// The big-endian numbers at byte `at` of a packet (out_of_range past its end).
inline uint16_t be16(const std::vector<uint8_t>& v, size_t at) {
    (void)v.at(at + 1);
    return TqWire::Get16(v.data() + at);
}
inline uint32_t be32(const std::vector<uint8_t>& v, size_t at) {
    (void)v.at(at + 3);
    return TqWire::Get32(v.data() + at);
}

inline std::vector<uint8_t> Command(uint16_t aCommand, const std::vector<uint32_t>& aWords, uint16_t aRequest = 7,
                                    uint8_t aFlags = Gvcp::kFlagAckRequired) {
    return Gvcp::NewWordCommand(aCommand, aRequest, aWords, aFlags);
}

struct Ack {
    uint16_t status = 0xFFFF, answer = 0, length = 0, id = 0;
    std::vector<uint8_t> data;
    bool empty = true;
};

inline Ack Send(Device& aDevice, const std::vector<uint8_t>& aCommand, const Peer& aPeer = kApp) {
    const Reply reply = aDevice.Dispatch(aCommand.data(), aCommand.size(), aPeer);
    const auto view = Gvcp::AckView::Of(reply.ack.data(), reply.ack.size());
    if (!view) return {};
    Ack ack{view->Status(), view->Code(), view->Length(), view->AckId(),
            std::vector<uint8_t>(reply.ack.begin() + Gvcp::kHeaderSize, reply.ack.end()), false};
    EXPECT_EQ(ack.length, ack.data.size());
    return ack;
}

inline Ack ReadReg(Device& d, std::vector<uint32_t> aAddresses, const Peer& p = kApp) {
    return Send(d, Command(Gvcp::kReadRegCmd, aAddresses), p);
}
inline uint16_t WriteReg(Device& d, uint32_t aAddress, uint32_t aValue, const Peer& p = kApp) {
    return Send(d, Command(Gvcp::kWriteRegCmd, {aAddress, aValue}), p).status;
}
inline Ack ReadMem(Device& d, uint32_t aAddress, uint16_t aSize, const Peer& p = kApp) {
    return Send(d, Command(Gvcp::kReadMemCmd, {aAddress, aSize}), p);
}

// A UDP socket bound to 127.0.0.1 and a port of the system's choice, and that port.
inline int LoopbackSocket(uint16_t& aPort) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    aPort = ntohs(a.sin_port);
    return fd;
}

inline DeviceConfig Config() {
    DeviceConfig c;
    c.identity.manufacturer = "Kivo Sim";
    c.identity.model = "Engine Test";
    c.identity.serial = "SN-42";
    c.identity.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    return c;
}

// A clock the test moves by hand.
struct ManualClock {
    std::shared_ptr<std::atomic<uint64_t>> now = std::make_shared<std::atomic<uint64_t>>(1000);
    Device::Clock get() const {
        auto n = now;
        return [n] { return n->load(); };
    }
    void advance(uint64_t aMs) { *now += aMs; }
};

}  // namespace TqEngine::Testing
