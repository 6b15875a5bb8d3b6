// Helpers of the engine tests: GVCP commands into the dispatcher and their acknowledges, a UDP peer
// of a device on loopback, a device configuration, a clock the test moves and the GVSP packets a
// device sent through its stream tap.
#pragma once

#include "TqDeviceEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
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

// A UDP socket on 127.0.0.1 that talks to a device's control port (and may be a channel's
// destination).
struct Udp {
    Udp() : fd(LoopbackSocket(port)) {}
    ~Udp() { close(fd); }
    void SendTo(uint32_t aAddress, uint16_t aPort, const std::vector<uint8_t>& aData) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(aAddress);
        to.sin_port = htons(aPort);
        sendto(fd, aData.data(), aData.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // The next datagram within aMs and where it came from (none after the wait).
    std::optional<std::vector<uint8_t>> Receive(int aMs, sockaddr_in* aFrom = nullptr) const {
        timeval wait{aMs / 1000, (aMs % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        std::vector<uint8_t> data(65536);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = recvfrom(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return std::nullopt;
        data.resize(size_t(n));
        if (aFrom) *aFrom = from;
        return data;
    }
    // The next EVENT command from aDevice within aMs (none after the wait), and where it came from.
    std::optional<std::vector<uint8_t>> NextEvent(const Device& aDevice, int aMs, sockaddr_in& aFrom) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
        while (std::chrono::steady_clock::now() < until)
            if (auto packet = Receive(100, &aFrom); packet && packet->size() >= 8 && (*packet)[0] == Gvcp::kKey &&
                                                    be16(*packet, 2) == Gvcp::kEventCmd &&
                                                    ntohl(aFrom.sin_addr.s_addr) == aDevice.Address())
                return packet;
        return std::nullopt;
    }
    // Empties the socket of what arrived so far.
    void Drain() const {
        while (Receive(1)) {
        }
    }
    // A command to the device's control port and its acknowledge of the same request ID (tried
    // again, as a client does, up to aTries times a second apart); none when it never came.
    std::optional<std::vector<uint8_t>> Ask(const Device& aDevice, const std::vector<uint8_t>& aCommand,
                                            int aTries = 10) const {
        const uint16_t id = be16(aCommand, 6);
        for (int attempt = 0; attempt < aTries; ++attempt) {
            SendTo(aDevice.Address(), Gvcp::kPort, aCommand);
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            while (std::chrono::steady_clock::now() < until)
                if (auto ack = Receive(100); ack && ack->size() >= 8 && be16(*ack, 6) == id) return ack;
        }
        return std::nullopt;
    }
    uint16_t Write(const Device& aDevice, uint32_t aAddress, uint32_t aValue) const {
        const auto ack = Ask(aDevice, Command(Gvcp::kWriteRegCmd, {aAddress, aValue}, ++request));
        return ack ? be16(*ack, 0) : uint16_t(0xFFFF);
    }
    uint16_t port = 0;
    int fd = -1;
    mutable uint16_t request = 100;
};

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

// The GVSP packets a device's stream tap saw (the tap takes a channel's packets in place of its
// socket), and the blocks put together from them.
struct Capture {
    Capture() = default;
    explicit Capture(Device& aDevice) { Attach(aDevice); }
    void Attach(Device& aDevice) {
        aDevice.SetStreamTap([this](uint32_t, const uint8_t* aData, size_t aSize) {
            std::lock_guard lock(m);
            packets.emplace_back(aData, aData + aSize);
        });
    }
    // The packets seen since the last Take.
    std::vector<std::vector<uint8_t>> Take() {
        std::lock_guard lock(m);
        return std::exchange(packets, {});
    }

    // One block: the payload of its packets in order, and its leader and trailer.
    struct Block {
        std::vector<uint8_t> leader, trailer, payload;
    };
    static Block Assemble(const std::vector<std::vector<uint8_t>>& aPackets, uint16_t aBlock) {
        Block b;
        for (const auto& p : aPackets) {
            if (be16(p, 2) != aBlock) continue;
            if (p[4] == Gvsp::kFormatLeader) b.leader = p;
            else if (p[4] == Gvsp::kFormatTrailer) b.trailer = p;
            else b.payload.insert(b.payload.end(), p.begin() + 8, p.end());
        }
        return b;
    }
    // A block of the packets seen so far (not taken).
    Block Of(uint16_t aBlock) {
        std::lock_guard lock(m);
        return Assemble(packets, aBlock);
    }
    size_t Trailers() {
        std::lock_guard lock(m);
        return size_t(std::count_if(packets.begin(), packets.end(), [](const auto& p) { return p[4] == Gvsp::kFormatTrailer; }));
    }

    std::mutex m;
    std::vector<std::vector<uint8_t>> packets;
};

}  // namespace TqEngine::Testing
