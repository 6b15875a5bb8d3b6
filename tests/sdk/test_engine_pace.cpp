// The stream channel's pace: the packet delay a controller writes spaces every packet of every frame
// (in the device's timestamp ticks), and a stop does not wait for a packet that is not due yet.
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
