// The stream channel's pace: the packet delay a controller writes spaces every packet of every frame
// (in the device's timestamp ticks), a stop does not wait for a packet that is not due yet, and a
// receiver's requests for packets it lost bring those packets again, whoever lost them, and nothing
// else (they leave the pace to the controller: the Python pacing tests compare the rates).
#include "engine_helpers.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace TqEngine;
using namespace TqEngine::Testing;

namespace {

using Clock = std::chrono::steady_clock;

// A stream tap that notes each packet's block ID, packet ID and when it left.
struct TimedTap {
    explicit TimedTap(Device& aDevice) {
        aDevice.SetStreamTap([this](uint32_t, const uint8_t* aData, size_t aSize) {
            const auto now = Clock::now();
            std::vector<uint8_t> packet(aData, aData + aSize);
            std::lock_guard lock(m);
            seen.push_back({be16(packet, 2), be32(packet, 4) & 0xFFFFFF, now});
            arrived.notify_all();
        });
    }
    struct Packet {
        uint16_t block;
        uint32_t id;
        Clock::time_point at;
    };
    // The packets seen once there are aCount (fewer after the generous wait).
    std::vector<Packet> Wait(size_t aCount) {
        std::unique_lock lock(m);
        arrived.wait_for(lock, std::chrono::seconds(30), [&] { return seen.size() >= aCount; });
        return seen;
    }
    std::vector<Packet> Take() {
        std::lock_guard lock(m);
        return std::exchange(seen, {});
    }
    std::mutex m;
    std::condition_variable arrived;
    std::vector<Packet> seen;
};

// 64 x 100 Mono8 at the default packet size: a leader, 5 payload packets and a trailer.
DeviceConfig SevenPackets() {
    DeviceConfig c = Config();
    c.width = 64;
    c.height = 100;
    return c;
}
constexpr size_t kPackets = 7;

// The delay aTicks of SCPD stands for, at the device's timestamp tick frequency.
std::chrono::nanoseconds TicksToTime(Device& aDevice, uint32_t aTicks) {
    uint32_t high = 0, low = 0;
    EXPECT_EQ(aDevice.ReadRegister(Reg::kTickFrequencyHigh, high), Gvcp::kSuccess);
    EXPECT_EQ(aDevice.ReadRegister(Reg::kTickFrequencyLow, low), Gvcp::kSuccess);
    const uint64_t frequency = uint64_t(high) << 32 | low;
    EXPECT_GT(frequency, 0u);
    return std::chrono::nanoseconds(uint64_t(aTicks) * 1000000000u / (frequency ? frequency : 1));
}

}  // namespace

TEST(EnginePace, TheControllersPacketDelaySpacesEveryPacketOfEveryFrame) {
    Device d(SevenPackets());
    TimedTap tap(d);
    ASSERT_EQ(d.WriteRegister(Reg::kFrameRateEnable, 0), Gvcp::kSuccess);   // frames one after the other
    uint32_t frequencyLow = 0;
    ASSERT_EQ(d.ReadRegister(Reg::kTickFrequencyLow, frequencyLow), Gvcp::kSuccess);
    const uint32_t ticks = frequencyLow / 250;   // 4 ms at the engine's nanosecond ticks
    const auto delay = TicksToTime(d, ticks);
    ASSERT_EQ(delay, std::chrono::milliseconds(4));
    ASSERT_EQ(d.WriteRegister(Reg::Scpd(0), ticks), Gvcp::kSuccess);
    uint32_t back = 0;
    ASSERT_EQ(d.ReadRegister(Reg::Scpd(0), back), Gvcp::kSuccess);
    EXPECT_EQ(back, ticks);

    // Packet k of the run leaves no earlier than k delays after the start, within a frame and across
    // frames (a loaded machine may send later, never sooner).
    const auto started = Clock::now();
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    const auto paced = tap.Wait(3 * kPackets);
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStop, 1), Gvcp::kSuccess);
    ASSERT_GE(paced.size(), 3 * kPackets);
    for (size_t k = 0; k < 3 * kPackets; ++k) {
        EXPECT_EQ(paced[k].block, k / kPackets + 1) << "packet " << k;
        EXPECT_EQ(paced[k].id, k % kPackets) << "packet " << k;
        EXPECT_GE(paced[k].at - started, int64_t(k) * delay) << "packet " << k;
    }
    tap.Take();

    // 0 sends unpaced again: fifty frames take far less than their packets' delays would.
    ASSERT_EQ(d.WriteRegister(Reg::Scpd(0), 0), Gvcp::kSuccess);
    const auto again = Clock::now();
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    const auto unpaced = tap.Wait(50 * kPackets);
    const auto took = Clock::now() - again;
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStop, 1), Gvcp::kSuccess);
    ASSERT_GE(unpaced.size(), 50 * kPackets);
    EXPECT_LT(took, int64_t(50 * kPackets) * delay / 2);
}

TEST(EnginePace, AStopDoesNotWaitForAPacketThatIsNotDueYet) {
    Device d(SevenPackets());
    TimedTap tap(d);
    ASSERT_EQ(d.WriteRegister(Reg::kFrameRateEnable, 0), Gvcp::kSuccess);
    ASSERT_EQ(d.WriteRegister(Reg::Scpd(0), 0xFFFFFFFF), Gvcp::kSuccess);   // seconds between packets
    ASSERT_GE(TicksToTime(d, 0xFFFFFFFF), std::chrono::seconds(4));
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    ASSERT_EQ(tap.Wait(1).size(), 1u);   // the leader
    const auto stopping = Clock::now();
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStop, 1), Gvcp::kSuccess);   // waits for the sender
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(3));
    const Statistics s = d.GetStatistics();
    EXPECT_EQ(s.gvspPacketsSent, 1u);
    EXPECT_EQ(s.framesSent, 0u);   // the frame did not go out whole
}

namespace {

// Gives one 300 x 20 Mono8 frame (a leader, 5 payload packets, a trailer) each time the test lets
// it, and counts the frames given back.
struct GatedFrames : FrameProvider {
    bool NextFrame(uint32_t, Frame& aFrame) override {
        std::unique_lock lock(m);
        changed.wait(lock, [&] { return interrupted || allowed > 0; });
        if (interrupted) return false;
        --allowed;
        aFrame.image = pixels.data();
        aFrame.imageSize = pixels.size();
        aFrame.width = 300;
        aFrame.height = 20;
        aFrame.pixelFormat = Pfnc::kMono8;
        return true;
    }
    void FrameDone(uint32_t, const Frame&, bool) override {
        std::lock_guard lock(m);
        ++done;
        changed.notify_all();
    }
    void Interrupt(uint32_t) override {
        std::lock_guard lock(m);
        interrupted = true;
        changed.notify_all();
    }
    // Lets one more frame go and waits until it went.
    bool Send() {
        std::unique_lock lock(m);
        const int wanted = done + 1;
        ++allowed;
        changed.notify_all();
        return changed.wait_for(lock, std::chrono::seconds(30), [&] { return done >= wanted; });
    }
    std::mutex m;
    std::condition_variable changed;
    std::vector<uint8_t> pixels = std::vector<uint8_t>(300 * 20, 0x5A);
    int allowed = 0, done = 0;
    bool interrupted = false;
};

}  // namespace

TEST(EnginePace, AReceiversRequestsBringThePacketsAgainWhetherTheReceiverOrTheLossFaultLostThem) {
    Device d(Config());
    TimedTap tap(d);
    auto source = std::make_shared<GatedFrames>();
    ASSERT_TRUE(d.SetFrameProvider(0, source));
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);   // the controller asks
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    // Asks for packets aFirst to aLast of aBlock: the (block, packet) pairs that came again.
    const auto ask = [&](uint32_t aBlock, uint32_t aFirst, uint32_t aLast) {
        tap.Take();
        EXPECT_TRUE(Send(d, Command(Gvcp::kPacketResendCmd, {aBlock, aFirst, aLast}, 9, 0)).empty);
        EXPECT_TRUE(d.WaitResendsDone(10000));
        std::vector<std::pair<uint32_t, uint32_t>> again;
        for (const auto& p : tap.Take()) again.emplace_back(p.block, p.id);
        return again;
    };
    using Packets = std::vector<std::pair<uint32_t, uint32_t>>;

    for (int block = 1; block <= 3; ++block) ASSERT_TRUE(source->Send());
    EXPECT_EQ(ask(1, 2, 3), (Packets{{1, 2}, {1, 3}}));   // the receiver lost two packets of block 1
    ASSERT_TRUE(source->Send());                          // block 4
    EXPECT_EQ(ask(3, 5, 5), (Packets{{3, 5}}));
    ASSERT_TRUE(source->Send());   // block 5
    EXPECT_EQ(ask(4, 1, 1), (Packets{{4, 1}}));
    ASSERT_TRUE(source->Send());   // block 6

    // The loss fault drops every third packet of the device's count: a packet it dropped comes
    // again as one that left does.
    Faults faults;
    faults.dropGvspEvery = 3;
    d.SetFaults(faults);
    tap.Take();
    ASSERT_TRUE(source->Send());   // block 7
    std::vector<bool> left(7, false);
    for (const auto& p : tap.Take())
        if (p.block == 7 && p.id < left.size()) left[p.id] = true;
    const auto dropped = std::find(left.begin(), left.end(), false);
    const auto delivered = std::find(left.begin(), left.end(), true);
    ASSERT_NE(dropped, left.end());
    ASSERT_NE(delivered, left.end());
    d.SetFaults(Faults{});
    const uint32_t lost = uint32_t(dropped - left.begin()), came = uint32_t(delivered - left.begin());
    EXPECT_EQ(ask(7, lost, lost), (Packets{{7, lost}}));
    ASSERT_TRUE(source->Send());   // block 8
    EXPECT_EQ(ask(7, came, came), (Packets{{7, came}}));
    ASSERT_TRUE(source->Send());   // block 9

    // A block the device never sent: one PACKET_UNAVAILABLE packet.
    EXPECT_EQ(ask(900, 1, 1).size(), 1u);
    ASSERT_TRUE(source->Send());   // block 10
    const Statistics s = d.GetStatistics();
    EXPECT_EQ(s.packetsResent, 2u + 1 + 1 + 1 + 1);
    EXPECT_EQ(s.resendsUnavailable, 1u);
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStop, 1), Gvcp::kSuccess);
}
