// A stream channel's one socket: every GVSP packet of the channel (frames, resends, the answer to a
// resend of a block the device no longer has, test packets) leaves from the port SCSP tells, which
// is readable as soon as the destination is set, the device's while it runs, made again at the
// device's new address, and reads 0 once the channel closed, the session ended, the device reset or
// stopped; nothing leaves it while the channel is closed.
#include "engine_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

using namespace TqEngine;
using namespace TqEngine::Testing;

namespace {

constexpr uint32_t kLocal = 0x7F000001;

// A started device of small frames (64 x 48 Mono8: a leader, three payload packets, a trailer).
struct Started {
    Started() : device(Small()) {
        std::string error;
        EXPECT_TRUE(device.Start(0, &error)) << error;
    }
    ~Started() { device.Stop(); }
    static DeviceConfig Small() {
        DeviceConfig c = Config();
        c.width = 64;
        c.height = 48;
        return c;
    }
    uint32_t Scsp(uint32_t aChannel = 0) {
        uint32_t value = 0xDEAD;
        EXPECT_EQ(device.ReadRegister(Reg::Scsp(aChannel), value), Gvcp::kSuccess);
        return value;
    }
    // Points channel 0 at aTo (SCDA, then SCP as a controller writes them).
    void Destination(const Udp& aTo) {
        ASSERT_EQ(device.WriteRegister(Reg::Scda(0), kLocal), Gvcp::kSuccess);
        ASSERT_EQ(device.WriteRegister(Reg::Scp(0), aTo.port), Gvcp::kSuccess);
    }
    Device device;
};

// Whether a UDP socket can take aPort at aAddress (host order) now.
bool PortFree(uint32_t aAddress, uint16_t aPort) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(aAddress);
    a.sin_port = htons(aPort);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return free;
}

// The GVSP packets that reach aRx within aMs, each with its source.
struct Arrived {
    std::vector<std::vector<uint8_t>> packets;
    std::set<std::pair<uint32_t, uint16_t>> sources;
};
Arrived Collect(const Udp& aRx, size_t aCount, int aMs = 10000) {
    Arrived got;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(aMs);
    while (got.packets.size() < aCount && std::chrono::steady_clock::now() < until) {
        sockaddr_in from{};
        if (auto p = aRx.Receive(100, &from)) {
            got.packets.push_back(std::move(*p));
            got.sources.insert({ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)});
        }
    }
    return got;
}

}  // namespace

TEST(EngineChannelSocket, EveryPacketOfTheChannelLeavesFromThePortScspTells) {
    Started s;
    Device& d = s.device;
    const uint32_t at = d.Address();
    EXPECT_EQ(s.Scsp(), 0u);   // closed: no source port
    Udp rx;
    s.Destination(rx);
    // Open before any acquisition: the port is the device's, at its address.
    const uint32_t scsp = s.Scsp();
    ASSERT_NE(scsp, 0u);
    ASSERT_LT(scsp, 0x10000u);
    EXPECT_FALSE(PortFree(at, uint16_t(scsp)));
    const std::set<std::pair<uint32_t, uint16_t>> device{{at, uint16_t(scsp)}};

    // A test packet.
    ASSERT_EQ(d.WriteRegister(Reg::Scps(0), Reg::kDefaultPacketSize | Reg::kScpsFireTestPacket), Gvcp::kSuccess);
    Arrived test = Collect(rx, 1);
    ASSERT_EQ(test.packets.size(), 1u);
    EXPECT_EQ(test.packets[0].size(), Reg::kDefaultPacketSize - Gvsp::kIpUdpOverhead);
    EXPECT_EQ(test.sources, device);

    // A frame, whole.
    d.WriteRegister(Reg::kAcquisitionMode, 1);
    d.WriteRegister(Reg::kAcquisitionStart, 1);
    Arrived frame = Collect(rx, 5);
    ASSERT_EQ(frame.packets.size(), 5u);
    EXPECT_EQ(frame.sources, device);
    const uint16_t block = be16(frame.packets[0], 2);
    EXPECT_EQ(s.Scsp(), scsp);   // kept while the channel is open

    // Resends, asked from the destination.
    const Peer destination{kLocal, rx.port};
    EXPECT_TRUE(Send(d, Command(Gvcp::kPacketResendCmd, {block, 1, 2}, 9, 0), destination).empty);
    Arrived resent = Collect(rx, 2);
    ASSERT_EQ(resent.packets.size(), 2u);
    EXPECT_EQ(resent.sources, device);
    EXPECT_EQ(d.GetStatistics().packetsResent, 2u);
    // A block the device never sent: the answer that it is unavailable leaves from the same port.
    EXPECT_TRUE(Send(d, Command(Gvcp::kPacketResendCmd, {uint32_t(block + 100), 1, 1}, 9, 0), destination).empty);
    Arrived unavailable = Collect(rx, 1);
    ASSERT_EQ(unavailable.packets.size(), 1u);
    EXPECT_EQ(be16(unavailable.packets[0], 0), Gvsp::kStatusPacketUnavailable);
    EXPECT_EQ(unavailable.sources, device);
    EXPECT_EQ(d.GetStatistics().resendsUnavailable, 1u);

    // The channel closes under a frame of 200 ms a packet: no more of it leaves, SCSP reads 0, and
    // the port stays the device's.
    d.WriteRegister(Reg::Scpd(0), 200000000);
    d.WriteRegister(Reg::kAcquisitionStart, 1);
    ASSERT_EQ(Collect(rx, 1).packets.size(), 1u);   // its leader
    ASSERT_EQ(d.WriteRegister(Reg::Scp(0), 0), Gvcp::kSuccess);
    EXPECT_TRUE(Collect(rx, 1, 1000).packets.empty());
    EXPECT_EQ(s.Scsp(), 0u);
    EXPECT_FALSE(PortFree(at, uint16_t(scsp)));
}

TEST(EngineChannelSocket, TheSocketEndsWithTheSessionAResetAndTheDevice) {
    Started s;
    Device& d = s.device;
    Udp rx;
    // The controller's session ends: its channels close.
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    ASSERT_EQ(WriteReg(d, Reg::Scda(0), kLocal), Gvcp::kSuccess);
    ASSERT_EQ(WriteReg(d, Reg::Scp(0), rx.port), Gvcp::kSuccess);
    ASSERT_NE(s.Scsp(), 0u);
    ASSERT_EQ(WriteReg(d, Reg::kCcp, 0), Gvcp::kSuccess);
    EXPECT_EQ(s.Scsp(), 0u);
    // A reset.
    s.Destination(rx);
    ASSERT_NE(s.Scsp(), 0u);
    d.Reset();
    EXPECT_EQ(s.Scsp(), 0u);
    // The device stops: no socket; it starts again: the channel it kept open has one again.
    s.Destination(rx);
    const uint32_t before = s.Scsp();
    ASSERT_NE(before, 0u);
    const uint32_t at = d.Address();
    d.Stop();
    EXPECT_EQ(s.Scsp(), 0u);
    EXPECT_TRUE(PortFree(at, uint16_t(before)));
    ASSERT_TRUE(d.Start(at));
    const uint32_t again = s.Scsp();
    ASSERT_NE(again, 0u);
    EXPECT_FALSE(PortFree(at, uint16_t(again)));
}

TEST(EngineChannelSocket, TheChannelSendsFromTheDevicesNewAddressOnceItMoved) {
    Started s;
    Device& d = s.device;
    Udp rx;
    s.Destination(rx);
    const uint32_t first = s.Scsp();
    ASSERT_NE(first, 0u);
    const uint32_t from = d.Address(), to = 0x7F00004D;   // 127.0.0.77
    ASSERT_TRUE(PortFree(to, Gvcp::kPort));
    std::vector<uint8_t> force(Gvcp::kHeaderSize + Gvcp::ForceIpCommand::kSize);
    Gvcp::PutCommandHeader(force.data(), Gvcp::kForceIpCmd, 41, Gvcp::ForceIpCommand::kSize, Gvcp::kFlagAckRequired);
    Gvcp::ForceIpCommand::Write(force.data() + Gvcp::kHeaderSize, Config().identity.mac, to, 0xFF000000, 0);
    const auto ack = rx.Ask(d, force);
    ASSERT_TRUE(ack);
    ASSERT_EQ(be16(*ack, 0), Gvcp::kSuccess);
    ASSERT_EQ(d.Address(), to);
    rx.Drain();
    const uint32_t moved = s.Scsp();
    ASSERT_NE(moved, 0u);
    EXPECT_TRUE(PortFree(from, uint16_t(first)));   // nothing sends from the old address any more
    ASSERT_EQ(d.WriteRegister(Reg::Scps(0), Reg::kDefaultPacketSize | Reg::kScpsFireTestPacket), Gvcp::kSuccess);
    Arrived test = Collect(rx, 1);
    ASSERT_EQ(test.packets.size(), 1u);
    EXPECT_EQ(test.sources, (std::set<std::pair<uint32_t, uint16_t>>{{to, uint16_t(moved)}}));
}

TEST(EngineChannelSocket, ClosingAndOpeningTheChannelWhileItStreamsKeepsEachPacketOnItsSocket) {
    // The sender and the resend thread hold the socket they took: closing the channel under them
    // lets them end their send, and what reaches the destination comes from a port the device had.
    Started s;
    Device& d = s.device;
    d.WriteRegister(Reg::kFramePeriod, 1000);
    Udp rx;
    s.Destination(rx);
    std::set<uint16_t> ports{uint16_t(s.Scsp())};
    d.WriteRegister(Reg::kAcquisitionStart, 1);
    const Peer destination{kLocal, rx.port};
    for (int i = 0; i < 200; ++i) {
        EXPECT_TRUE(Send(d, Command(Gvcp::kPacketResendCmd, {uint32_t(1 + i % 8), 1, 3}, 9, 0), destination).empty);
        ASSERT_EQ(d.WriteRegister(Reg::Scp(0), i % 2 ? rx.port : 0), Gvcp::kSuccess);
        if (const uint32_t scsp = s.Scsp()) ports.insert(uint16_t(scsp));
        if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(d.WriteRegister(Reg::Scp(0), rx.port), Gvcp::kSuccess);
    ports.insert(uint16_t(s.Scsp()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    d.WriteRegister(Reg::kAcquisitionStop, 1);
    EXPECT_TRUE(d.WaitResendsDone(10000));
    Arrived got = Collect(rx, 100000, 500);
    EXPECT_FALSE(got.packets.empty());
    for (const auto& [address, port] : got.sources) {
        EXPECT_EQ(address, d.Address());
        EXPECT_TRUE(ports.count(port)) << port;
    }
}
