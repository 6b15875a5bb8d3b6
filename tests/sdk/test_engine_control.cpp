// The control channel against a hostile peer on the same machine: who may ask for resends and how
// much one request and one second bring, a flood that leaves the controller answered, event
// acknowledges from the messaging channel's destination only, unpredictable request IDs and the
// heartbeat timeout's bounds.
#include "engine_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <set>
#include <thread>

using namespace TqEngine;
using namespace TqEngine::Testing;

namespace {

// A device of one channel with one block of 359 payload packets (1464 bytes each at the default
// packet size) in its resend history, sent to a tap; the resent packets count in its statistics.
struct TappedDevice {
    TappedDevice() : device(Sized()) {
        device.SetStreamTap([](uint32_t, const uint8_t*, size_t) {});
        device.WriteRegister(Reg::kAcquisitionMode, 1);
        device.WriteRegister(Reg::kAcquisitionStart, 1);
        for (int i = 0; i < 5000 && device.IsAcquiring(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(device.GetStatistics().framesSent, 1u);
    }
    static DeviceConfig Sized() {
        DeviceConfig c = Config();
        c.width = 1024;
        c.height = 512;
        return c;
    }
    // The packets a request of aPeer for packets aFirst to aLast of block 1 of aChannel brought.
    uint64_t Resent(const Peer& aPeer, uint32_t aFirst = 1, uint32_t aLast = 1, uint32_t aChannel = 0) {
        const uint64_t before = device.GetStatistics().packetsResent;
        const uint32_t head = (aChannel << 16) | 1;   // channel, block 1
        EXPECT_TRUE(Send(device, Command(Gvcp::kPacketResendCmd, {head, aFirst, aLast}, 9, 0), aPeer).empty);
        EXPECT_TRUE(device.WaitResendsDone(10000));
        return device.GetStatistics().packetsResent - before;
    }
    Device device;
};

}  // namespace

TEST(EngineControlChannel, ResendsAreTakenFromTheControllerAndTheChannelsDestinationOnly) {
    TappedDevice t;
    Device& d = t.device;
    // Nobody controls the device and the channel has no destination: nobody may ask.
    EXPECT_EQ(t.Resent(kApp), 0u);
    EXPECT_EQ(d.GetStatistics().resendRequestsRefused, 1u);

    // The destination, by address and port: another port or another address of the host is not it.
    ASSERT_EQ(d.WriteRegister(Reg::Scda(0), 0x7F000001), Gvcp::kSuccess);
    ASSERT_EQ(d.WriteRegister(Reg::Scp(0), 50100), Gvcp::kSuccess);
    EXPECT_EQ(t.Resent({0x7F000001, 50100}, 2, 4), 3u);
    EXPECT_EQ(t.Resent({0x7F000001, 50101}), 0u);
    EXPECT_EQ(t.Resent({0x7F000002, 50100}), 0u);

    // The controller, from its control socket; a channel the device does not have is refused.
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    EXPECT_EQ(t.Resent(kApp), 1u);
    EXPECT_EQ(t.Resent(kOther), 0u);
    EXPECT_EQ(t.Resent(kApp, 1, 1, 1), 0u);
    EXPECT_EQ(d.GetStatistics().resendRequestsRefused, 5u);

    // A group's receivers share its port: any of them may ask from it.
    ASSERT_EQ(d.WriteRegister(Reg::Scda(0), 0xEF010203), Gvcp::kSuccess);
    EXPECT_EQ(t.Resent({0x7F000005, 50100}), 1u);
    EXPECT_EQ(t.Resent({0x7F000001, 50102}), 0u);
}

TEST(EngineControlChannel, OneRequestBringsAtMostItsBoundOfPackets) {
    TappedDevice t;
    ASSERT_EQ(WriteReg(t.device, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    // The whole block is 361 packets; a request for all of them brings the first ones of the bound.
    EXPECT_EQ(t.Resent(kApp, 0, 0xFFFFFF), kResendMaxPackets);
    EXPECT_EQ(t.Resent(kApp, 300, 0xFFFFFF), 61u);   // to the block's end, within the bound
    EXPECT_EQ(t.Resent(kApp, 7, 7 + kResendMaxPackets), kResendMaxPackets);
}

TEST(EngineControlChannel, AFloodOfResendRequestsLeavesTheControllerAnsweredAndTheResendsWithinTheirRate) {
    DeviceConfig c = TappedDevice::Sized();
    Device d(c);
    std::string error;
    ASSERT_TRUE(d.Start(0, &error)) << error;
    Udp controller, stranger, stream;
    ASSERT_EQ(controller.Write(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    ASSERT_EQ(controller.Write(d, Reg::kHeartbeatTimeout, 60000), Gvcp::kSuccess);   // no heartbeats here
    ASSERT_EQ(controller.Write(d, Reg::Scda(0), 0x7F000001), Gvcp::kSuccess);
    ASSERT_EQ(controller.Write(d, Reg::Scp(0), stream.port), Gvcp::kSuccess);
    ASSERT_EQ(controller.Write(d, Reg::kAcquisitionMode, 1), Gvcp::kSuccess);
    ASSERT_EQ(controller.Write(d, Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    for (int i = 0; i < 5000 && d.GetStatistics().framesSent == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(d.GetStatistics().framesSent, 1u);
    const auto readCcp = Command(Gvcp::kReadRegCmd, {Reg::kCcp}, 4242);
    const auto whole = Command(Gvcp::kPacketResendCmd, {1, 0, 0xFFFFFF}, 9, 0);

    // Thousands of requests for the whole block from a peer without privilege: none is served, and
    // the controller's read is answered meanwhile.
    for (int n = 0; n < 5000; ++n) stranger.SendTo(d.Address(), Gvcp::kPort, whole);
    const auto answered = controller.Ask(d, readCcp);
    ASSERT_TRUE(answered);
    EXPECT_EQ(be32(*answered, 8), Reg::kCcpControl);
    ASSERT_TRUE(d.WaitResendsDone(10000));
    EXPECT_EQ(d.GetStatistics().packetsResent, 0u);
    EXPECT_GT(d.GetStatistics().resendRequestsRefused, 0u);

    // The same from the destination itself: the requests wait for the resend thread, which keeps to
    // its rate (a burst, then the rate, one request's overdraw at most), and the controller is
    // answered while they wait.
    const auto begin = std::chrono::steady_clock::now();
    for (int n = 0; n < 5000; ++n) stream.SendTo(d.Address(), Gvcp::kPort, whole);
    ASSERT_TRUE(controller.Ask(d, Command(Gvcp::kReadRegCmd, {Reg::kCcp}, 4243)));
    for (int i = 0; i < 5000 && d.GetStatistics().packetsResent == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const uint64_t resent = d.GetStatistics().packetsResent;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const double packetBytes = Gvsp::kHeaderSize + Gvsp::PayloadBytes(Reg::kDefaultPacketSize);
    EXPECT_GT(resent, 0u);
    EXPECT_LE(double(resent) * packetBytes,
              double(kResendBurstBytes) + seconds * double(kResendBytesPerSecond) + kResendMaxPackets * packetBytes);
    // A stop drops the requests still waiting.
    d.Stop();
    EXPECT_TRUE(d.WaitResendsDone(0));
}

TEST(EngineControlChannel, AtMostTheQueuesWorthOfRequestsWait) {
    TappedDevice t;
    Device& d = t.device;
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    // Each request brings 256 packets: the resend thread serves a burst's worth, then a few a second,
    // while 2,000 requests come at once.
    const auto whole = Command(Gvcp::kPacketResendCmd, {1, 0, 0xFFFFFF}, 9, 0);
    for (int n = 0; n < 2000; ++n) Send(d, whole);
    const Statistics s = d.GetStatistics();
    EXPECT_GT(s.resendRequestsRefused, 0u);
    EXPECT_LE(s.resendRequestsRefused, 2000 - kResendQueue);
}

TEST(EngineControlChannel, AnEventAcknowledgeCountsOnlyFromTheMessagingChannelsDestination) {
    Device d(Config());
    std::string error;
    ASSERT_TRUE(d.Start(0, &error)) << error;
    Udp controller, events, stranger;
    ASSERT_EQ(controller.Write(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    ASSERT_EQ(controller.Write(d, Reg::kMcda, 0x7F000001), Gvcp::kSuccess);
    ASSERT_EQ(controller.Write(d, Reg::kMcp, events.port), Gvcp::kSuccess);
    ASSERT_EQ(controller.Write(d, Reg::kMctt, 1000), Gvcp::kSuccess);
    ASSERT_EQ(controller.Write(d, Reg::kMcrc, 2), Gvcp::kSuccess);
    ASSERT_EQ(controller.Write(d, Reg::kHeartbeatTimeout, 60000), Gvcp::kSuccess);   // no heartbeats here

    // Another peer acknowledges the event under its request ID: the device goes on retrying.
    ASSERT_EQ(d.FireEvent(0x9000), Gvcp::kSuccess);
    sockaddr_in device{};
    const auto event = events.NextEvent(d, 10000, device);
    ASSERT_TRUE(event);
    const auto ackOf = [](const std::vector<uint8_t>& aEvent) {
        return Gvcp::NewAck(Gvcp::kSuccess, Gvcp::kEventAck, be16(aEvent, 6), {});
    };
    stranger.SendTo(ntohl(device.sin_addr.s_addr), ntohs(device.sin_port), ackOf(*event));
    ASSERT_TRUE(d.WaitEventsDone(20000));
    Statistics s = d.GetStatistics();
    EXPECT_EQ(s.eventsAcknowledged, 0u);
    EXPECT_EQ(s.eventRetriesIssued, 2u);

    // The destination's acknowledge ends the retries.
    events.Drain();
    ASSERT_EQ(d.FireEvent(0x9001), Gvcp::kSuccess);
    const auto second = events.NextEvent(d, 10000, device);
    ASSERT_TRUE(second);
    events.SendTo(ntohl(device.sin_addr.s_addr), ntohs(device.sin_port), ackOf(*second));
    ASSERT_TRUE(d.WaitEventsDone(20000));
    EXPECT_EQ(d.GetStatistics().eventsAcknowledged, 1u);
    d.Stop();
}

TEST(EngineControlChannel, TheFirstRequestIdOfADevicesCommandsIsNotPredictable) {
    std::set<uint16_t> first;
    for (int n = 0; n < 8; ++n) {
        Device d(Config());
        uint16_t id = 0;
        d.SetMessageTap([&](const uint8_t* aData, size_t aSize) {
            if (aSize >= 8 && id == 0) id = TqWire::Get16(aData + 6);
        });
        ASSERT_EQ(d.FireEvent(0x9000), Gvcp::kSuccess);
        EXPECT_NE(id, 0);
        first.insert(id);
    }
    EXPECT_GT(first.size(), 1u);
}

TEST(EngineControlChannel, TheHeartbeatTimeoutStaysWithinItsBounds) {
    ManualClock clock;
    Device d(Config());
    d.SetClock(clock.get());
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    // A write beyond a bound is taken as the bound, as a client that reads back finds.
    ASSERT_EQ(WriteReg(d, Reg::kHeartbeatTimeout, 0xFFFFFFFF), Gvcp::kSuccess);
    EXPECT_EQ(be32(ReadReg(d, {Reg::kHeartbeatTimeout}).data, 0), Reg::kMaxHeartbeatTimeout);
    // The controller vanishes: past the largest timeout another one takes the device.
    clock.advance(Reg::kMaxHeartbeatTimeout);
    EXPECT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl, kOther), Gvcp::kAccessDenied);
    clock.advance(1);
    EXPECT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl, kOther), Gvcp::kSuccess);
    EXPECT_EQ(d.GetStatistics().heartbeatFailures, 1u);
    ASSERT_EQ(WriteReg(d, Reg::kHeartbeatTimeout, 1, kOther), Gvcp::kSuccess);
    EXPECT_EQ(be32(ReadReg(d, {Reg::kHeartbeatTimeout}, kOther).data, 0), Reg::kMinHeartbeatTimeout);
}
