// The stream sender: the test pattern's packets however their payload is made, and a provider's
// frames through a real UDP socket, many packets to a call, with the resend history keeping each
// block's own bytes while the memory of blocks it let go is used again.
#include "engine_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>

using namespace TqEngine;
using namespace TqEngine::Testing;

namespace {

// The payload bytes of a block's packets, in order.
std::vector<uint8_t> PayloadOf(const std::vector<std::vector<uint8_t>>& aPackets) {
    std::vector<uint8_t> out;
    for (size_t n = 1; n + 1 < aPackets.size(); ++n) out.insert(out.end(), aPackets[n].begin() + 8, aPackets[n].end());
    return out;
}

}  // namespace

TEST(EngineFrames, TheMono8PatternIsTheSameWhicheverWayItsRowsAreMade) {
    struct Case {
        uint32_t width, height, offsetX, offsetY, packetSize;
    };
    // Rows shorter and longer than a packet, rows split across packets, offsets, a packet of hundreds
    // of one-pixel rows and rows wider than the ramp.
    const Case cases[] = {{640, 48, 0, 0, 1500}, {640, 48, 3, 250, 9000}, {5472, 5, 17, 1, 8192},
                          {13, 40, 0, 0, 576},   {1, 3000, 2, 9, 9000},    {70001, 2, 5, 0, 9000}};
    for (const Case& c : cases) {
        for (uint16_t block : {uint16_t(1), uint16_t(200), uint16_t(0xFFFF)}) {
            FrameLayout layout;
            layout.width = c.width;
            layout.height = c.height;
            layout.offsetX = c.offsetX;
            layout.offsetY = c.offsetY;
            layout.packetSize = c.packetSize;
            std::vector<uint8_t> expected(size_t(c.width) * c.height);
            for (uint32_t y = 0; y < c.height; ++y)
                for (uint32_t x = 0; x < c.width; ++x)
                    expected[size_t(y) * c.width + x] = uint8_t(x + c.offsetX + y + c.offsetY + block);
            const std::string what = std::to_string(c.width) + "x" + std::to_string(c.height) + " block " +
                                     std::to_string(block);
            const auto packets = BuildFrame(layout, block, 0);
            const size_t chunk = Gvsp::PayloadBytes(c.packetSize);
            ASSERT_EQ(packets.size(), (expected.size() + chunk - 1) / chunk + 2) << what;
            EXPECT_TRUE(PayloadOf(packets) == expected) << what;
            std::vector<uint8_t> filled;
            FillPattern(layout, block, filled);
            EXPECT_TRUE(filled == expected) << what;
        }
    }
}

namespace {

// Hands out the frames it is given one at a time as the test allows, all from the one buffer,
// overwritten once the sender is done with a frame.
struct OneBuffer : FrameProvider {
    bool NextFrame(uint32_t, Frame& aFrame) override {
        std::unique_lock lock(m);
        changed.wait(lock, [&] { return interrupted || (allowed > 0 && !frames.empty()); });
        if (interrupted) return false;
        --allowed;
        buffer = std::move(frames.front());
        frames.pop_front();
        aFrame.image = buffer.data();
        aFrame.imageSize = buffer.size();
        aFrame.width = width;
        aFrame.height = uint32_t(buffer.size() / width);
        aFrame.pixelFormat = Pfnc::kMono8;
        return true;
    }
    void FrameDone(uint32_t, const Frame&, bool) override {
        std::lock_guard lock(m);
        std::fill(buffer.begin(), buffer.end(), 0xEE);
    }
    void Interrupt(uint32_t) override {
        std::lock_guard lock(m);
        interrupted = true;
        changed.notify_all();
    }
    void Give(std::vector<uint8_t> aFrame) {
        std::lock_guard lock(m);
        frames.push_back(std::move(aFrame));
        ++allowed;
        changed.notify_all();
    }
    std::mutex m;
    std::condition_variable changed;
    std::deque<std::vector<uint8_t>> frames;
    std::vector<uint8_t> buffer;
    uint32_t width = 300;
    int allowed = 0;
    bool interrupted = false;
};

std::vector<uint8_t> Pixels(size_t aSize, uint32_t aSeed) {
    std::vector<uint8_t> out(aSize);
    for (size_t i = 0; i < aSize; ++i) out[i] = uint8_t((i * 31 + aSeed * 101 + (i >> 9)) & 0xFF);
    return out;
}

// A UDP socket on 127.0.0.1 that the device's channel sends to.
struct Receiver {
    Receiver() {
        fd = LoopbackSocket(port);
        int size = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        timeval wait{20, 0};   // generous: a loaded machine
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~Receiver() { close(fd); }
    // The next packet (empty after the wait).
    std::vector<uint8_t> Next() {
        std::vector<uint8_t> packet(65536);
        const ssize_t n = recv(fd, packet.data(), packet.size(), 0);
        packet.resize(n > 0 ? size_t(n) : 0);
        return packet;
    }
    // aCount packets, by packet ID (a repeated ID fails the test).
    std::map<uint32_t, std::vector<uint8_t>> Take(size_t aCount) {
        std::map<uint32_t, std::vector<uint8_t>> out;
        for (size_t n = 0; n < aCount; ++n) {
            auto packet = Next();
            if (packet.size() < 8) {
                ADD_FAILURE() << "packet " << n << " of " << aCount << " did not come";
                break;
            }
            EXPECT_TRUE(out.emplace(be32(packet, 4) & 0xFFFFFF, packet).second);
        }
        return out;
    }
    int fd = -1;
    uint16_t port = 0;
};

}  // namespace

TEST(EngineSender, ProviderFramesLeaveWholeAndResendsBringEachKeptBlocksOwnBytes) {
    ManualClock clock;
    Device d(Config());
    d.SetClock(clock.get());
    auto source = std::make_shared<OneBuffer>();
    ASSERT_TRUE(d.SetFrameProvider(0, source));
    std::string error;
    ASSERT_TRUE(d.Start(0, &error)) << error;
    Receiver receiver;
    ASSERT_EQ(d.WriteRegister(Reg::Scps(0), 1000), Gvcp::kSuccess);
    ASSERT_EQ(d.WriteRegister(Reg::Scp(0), receiver.port), Gvcp::kSuccess);
    ASSERT_EQ(d.WriteRegister(Reg::Scda(0), 0x7F000001), Gvcp::kSuccess);
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);

    // The receiver asks from the stream's destination, as a stream's receiver does.
    const Peer destination{0x7F000001, receiver.port};
    // 78 payload packets a block: more than one call's worth, the last one shorter.
    const size_t size = 300 * 250, chunk = Gvsp::PayloadBytes(1000), count = (size + chunk - 1) / chunk;
    auto check = [&](const std::map<uint32_t, std::vector<uint8_t>>& aPackets, uint16_t aBlock,
                     const std::vector<uint8_t>& aBytes, uint32_t aFirst, uint32_t aLast) {
        ASSERT_EQ(aPackets.size(), aLast - aFirst + 1) << "block " << aBlock;
        for (uint32_t id = aFirst; id <= aLast; ++id) {
            const auto it = aPackets.find(id);
            ASSERT_NE(it, aPackets.end()) << "block " << aBlock << " packet " << id;
            const auto& p = it->second;
            EXPECT_EQ(be16(p, 0), 0);
            EXPECT_EQ(be16(p, 2), aBlock);
            if (id == 0 || id == count + 1) continue;
            const size_t from = (id - 1) * chunk, length = std::min(chunk, size - from);
            ASSERT_EQ(p.size(), 8 + length) << "block " << aBlock << " packet " << id;
            EXPECT_TRUE(std::equal(p.begin() + 8, p.end(), aBytes.begin() + from)) << "block " << aBlock << " packet " << id;
        }
    };
    const uint16_t frames = 12;
    for (uint16_t block = 1; block <= frames; ++block) {
        clock.advance(1001);   // more than a second after the last: the history keeps only the last four
        source->Give(Pixels(size, block));
        check(receiver.Take(count + 2), block, Pixels(size, block), 0, uint32_t(count + 1));
        if (block < 5) continue;
        // The four kept blocks come again as they were, though the blocks let go gave their memory
        // to newer ones; an older one is gone.
        for (uint16_t kept = uint16_t(block - 3); kept <= block; ++kept) {
            EXPECT_TRUE(Send(d, Command(Gvcp::kPacketResendCmd, {kept, 1, uint32_t(count)}, 9, 0), destination).empty);
            check(receiver.Take(count), kept, Pixels(size, kept), 1, uint32_t(count));
        }
        EXPECT_TRUE(Send(d, Command(Gvcp::kPacketResendCmd, {uint32_t(block - 4), 1, 1}, 9, 0), destination).empty);
        const auto gone = receiver.Next();
        ASSERT_GE(gone.size(), 8u);
        EXPECT_EQ(be16(gone, 0), Gvcp::kPacketUnavailable);
    }
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStop, 1), Gvcp::kSuccess);
    d.Stop();
    const Statistics stats = d.GetStatistics();
    EXPECT_EQ(stats.framesSent, frames);
    EXPECT_EQ(stats.gvspPacketsSent, frames * (count + 2));
    EXPECT_EQ(stats.packetsResent, (frames - 4) * 4 * count);
}
