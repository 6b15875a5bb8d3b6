// The GigE Vision receiver's batches against the same datagrams processed one by one from whole
// copies: frames in order, reordered, lost and duplicated packets, malformed and over-long datagrams,
// a packet size that changes, buffers too small. Payloads received straight into their places must
// leave every count, every handed-back block and every received byte as the one-by-one path does,
// and nothing past a buffer's end, while the in-place path really is taken where the packets come
// as planned.
#include "TqDeviceEngine.h"
#include "TqGvspAssembler.h"
#include "TqStreamState.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

using TqStreamLib::GvspAssembler;
using TqStreamLib::GvspBatch;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kPacketBuffer = 1600;   // datagrams longer than this are cut (and dropped)
constexpr size_t kGuard = 256;

// One receiver: its state, assembler and buffers over guarded memory, queued again as they come back.
struct World {
    explicit World(const std::vector<uint32_t>& aSizes) : assembler(state) {
        for (uint32_t size : aSizes) {
            memory.emplace_back(size + kGuard, 0x5A);
            buffers.push_back(std::make_unique<TqBuffer>());
            buffers.back()->Attach(memory.back().data(), size);
            state.input.push_back(buffers.back().get());
        }
        state.imageTimeout = 50;
    }

    // What a handed-back block tells, and the bytes of the packets it did not miss.
    struct Back {
        size_t buffer;
        uint32_t result, block, payload, acquired, lost;
        std::vector<std::pair<uint32_t, uint32_t>> missing;
        Bytes received;
        bool operator==(const Back&) const = default;
    };

    void TakeBack(uint32_t aChunk) {
        while (!state.output.empty()) {
            TqBuffer* b = state.output.front().buffer;
            const uint32_t result = state.output.front().result;
            state.output.pop_front();
            Back back{size_t(std::find_if(buffers.begin(), buffers.end(), [&](auto& p) { return p.get() == b; }) -
                             buffers.begin()),
                      result, static_cast<uint32_t>(b->GetBlockID()), b->GetPayloadLength(), b->GetAcquiredSize(),
                      b->GetLostPacketCount(), {}, {}};
            uint32_t groups = 0;
            b->GetMissingPacketIdsCount(groups);
            for (uint32_t i = 0; i < groups; ++i) {
                uint32_t low = 0, high = 0;
                b->GetMissingPacketIds(i, low, high);
                back.missing.emplace_back(low, high);
            }
            // The bytes of a whole block; of an incomplete one, those of the payload packets not named
            // missing when the packets' size is known and fixed (a missing packet's place holds no
            // meaning), as far as the block was acquired.
            const uint8_t* data = b->GetDataPointer();
            if (result == TQ_OK) {
                back.received.assign(data, data + back.payload);
                aChunk = 0;
            }
            for (uint32_t at = 0; aChunk && at < back.acquired; ++at) {
                const uint32_t packet = at / aChunk + 1;
                const bool lost = std::any_of(back.missing.begin(), back.missing.end(),
                                              [&](auto& g) { return packet >= g.first && packet <= g.second; });
                if (!lost) back.received.push_back(data[at]);
            }
            backs.push_back(std::move(back));
            state.input.push_back(b);
        }
    }

    bool GuardsIntact() const {
        for (size_t i = 0; i < memory.size(); ++i)
            if (!std::all_of(memory[i].end() - kGuard, memory[i].end(), [](uint8_t v) { return v == 0x5A; })) return false;
        return true;
    }

    std::vector<uint64_t> Counts() const {
        const auto& c = state.counters;
        return {c.blocksReceived, c.blocksIncomplete, c.blocksDropped, c.blocksTooSmall, c.packetsReceived,
                c.packetsMissing, c.packetsIgnored, c.packetsBad, c.packetsRedundant, c.packetsOutOfOrder};
    }

    // The buffers outlive the state, which lets go of the queued ones as it ends.
    std::vector<Bytes> memory;
    std::vector<std::unique_ptr<TqBuffer>> buffers;
    TqStreamLib::State state;
    GvspAssembler assembler;
    std::vector<Back> backs;
};

std::string Describe(const World::Back& aBack) {
    std::string text = " buffer " + std::to_string(aBack.buffer) + " payload " + std::to_string(aBack.payload) +
                       " acquired " + std::to_string(aBack.acquired) + " lost " + std::to_string(aBack.lost) + " groups";
    for (auto& g : aBack.missing) text += " " + std::to_string(g.first) + "-" + std::to_string(g.second);
    text += " bytes " + std::to_string(aBack.received.size());
    for (size_t i = 0; i < aBack.received.size(); i += 540) text += " " + std::to_string(aBack.received[i]);
    return text;
}

// What the kernel does with a datagram and a message: fills its vectors in turn, cuts the rest.
void Receive(mmsghdr& aMessage, const Bytes& aDatagram) {
    size_t at = 0;
    for (size_t v = 0; v < aMessage.msg_hdr.msg_iovlen && at < aDatagram.size(); ++v) {
        const iovec& iov = aMessage.msg_hdr.msg_iov[v];
        const size_t n = std::min(iov.iov_len, aDatagram.size() - at);
        std::memcpy(iov.iov_base, aDatagram.data() + at, n);
        at += n;
    }
    aMessage.msg_len = static_cast<unsigned>(at);
    aMessage.msg_hdr.msg_flags = at < aDatagram.size() ? MSG_TRUNC : 0;
}

std::vector<Bytes> Frame(uint32_t aWidth, uint32_t aHeight, uint32_t aPacketSize, uint16_t aBlock) {
    TqEngine::FrameLayout layout;
    layout.width = aWidth;
    layout.height = aHeight;
    layout.packetSize = aPacketSize;
    return TqEngine::BuildFrame(layout, aBlock, aBlock * 1000ull);
}

// Runs aDatagrams through a world one by one and through another in batches of random sizes (the same
// batches, the same clock); both must agree in everything. Returns the batched world's batches
// (in place, gathered).
// aChunk: the packets' payload size when it is fixed, else 0; aTimeouts: whether the clock jumps past
// the image timeout now and then.
std::pair<uint64_t, uint64_t> Agree(const std::vector<Bytes>& aDatagrams, const std::vector<uint32_t>& aSizes,
                                    uint32_t aChunk, uint32_t aSeed, bool aTimeouts = true,
                                    uint32_t aHint = 0) {
    World single(aSizes), batched(aSizes);
    single.assembler.SetChunkHint(aChunk ? aChunk : aHint);
    batched.assembler.SetChunkHint(aChunk ? aChunk : aHint);
    GvspBatch batch(kPacketBuffer);
    std::mt19937 random(aSeed);
    auto now = GvspAssembler::Clock::time_point() + std::chrono::hours(1);
    for (size_t next = 0; next < aDatagrams.size();) {
        const size_t count = std::min<size_t>(aDatagrams.size() - next, 1 + random() % GvspBatch::kSize);
        if (aTimeouts && random() % 8 == 0) now += std::chrono::milliseconds(60);
        single.assembler.Expire(now);
        batched.assembler.Expire(now);
        single.TakeBack(aChunk);
        batched.TakeBack(aChunk);
        for (size_t i = 0; i < count; ++i) {
            const Bytes& d = aDatagrams[next + i];
            if (d.size() > kPacketBuffer) {   // as the receiver counts a cut datagram
                single.state.counters.packetsReceived++;
                single.state.counters.packetsBad++;
            } else {
                single.assembler.Process(d.data(), d.size(), now);
            }
        }
        mmsghdr* messages = batch.Prepare(batched.assembler);
        for (size_t i = 0; i < count; ++i) Receive(messages[i], aDatagrams[next + i]);
        batch.Deliver(batched.assembler, static_cast<unsigned>(count), now);
        single.TakeBack(aChunk);
        batched.TakeBack(aChunk);
        next += count;
        EXPECT_EQ(single.Counts(), batched.Counts()) << "after datagram " << next;
        if (single.Counts() != batched.Counts()) break;
    }
    single.assembler.AbortAll();
    batched.assembler.AbortAll();
    single.TakeBack(aChunk);
    batched.TakeBack(aChunk);
    EXPECT_EQ(single.backs.size(), batched.backs.size());
    for (size_t i = 0; i < std::min(single.backs.size(), batched.backs.size()); ++i)
        EXPECT_TRUE(single.backs[i] == batched.backs[i]) << "block handed back " << i << " (ID " << single.backs[i].block
                                                         << ", result " << single.backs[i].result << ")"
                                                         << Describe(single.backs[i]) << " / " << Describe(batched.backs[i]);
    EXPECT_TRUE(single.GuardsIntact());
    EXPECT_TRUE(batched.GuardsIntact());
    return {batch.InPlace(), batch.Gathered()};
}

const uint32_t kChunk = TqEngine::Gvsp::PayloadBytes(576);

std::vector<Bytes> Frames(uint16_t aFirst, int aCount, uint32_t aWidth = 64, uint32_t aHeight = 48,
                          uint32_t aPacketSize = 576) {
    std::vector<Bytes> out;
    for (int i = 0; i < aCount; ++i) {
        const uint16_t block = static_cast<uint16_t>((aFirst + i - 1) % 65535 + 1);
        for (Bytes& p : Frame(aWidth, aHeight, aPacketSize, block)) out.push_back(std::move(p));
    }
    return out;
}

}  // namespace

TEST(GvspBatch, FramesInOrderArriveInPlace) {
    // Frames of 6 and of 57 payload packets, block IDs wrapping, buffers of the payload's size.
    for (const auto& [width, height] : {std::pair<uint32_t, uint32_t>{64, 48}, {320, 96}}) {
        const auto [inPlace, gathered] =
            Agree(Frames(65530, 16, width, height), std::vector<uint32_t>(4, width * height), kChunk, 1, false);
        EXPECT_GT(inPlace, 5 * gathered) << width << "x" << height << ": " << inPlace << " batches in place, "
                                         << gathered << " gathered";
    }
    // Both sizes, buffers larger than the frames, one too small, and timeouts: fewer batches in place,
    // the same result.
    std::vector<Bytes> datagrams = Frames(65530, 12);
    for (Bytes& d : Frames(3, 8, 320, 96)) datagrams.push_back(std::move(d));
    Agree(datagrams, {3072, 30720, 20000, 40000}, kChunk, 2);
}

TEST(GvspBatch, ReorderedLostAndDuplicatedPacketsAgree) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 random(seed);
        std::vector<Bytes> in = Frames(static_cast<uint16_t>(seed * 977), 30, 200, 60), out;
        for (size_t i = 0; i < in.size(); ++i) {
            switch (random() % 12) {
            case 0: break;   // lost
            case 1: out.push_back(in[i]); out.push_back(in[i]); break;
            case 2:
                if (i + 1 < in.size()) std::swap(in[i], in[i + 1]);
                out.push_back(in[i]);
                break;
            case 3: out.push_back(in[random() % in.size()]); break;   // a packet from anywhere, again
            default: out.push_back(in[i]);
            }
        }
        Agree(out, {12000, 12000, 5000, 12000}, kChunk, seed);
        if (HasFailure()) break;
    }
}

TEST(GvspBatch, MalformedAndOverlongDatagramsAgree) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        std::mt19937 random(seed * 31);
        const std::vector<Bytes> good = Frames(100, 1, 200, 60);
        std::vector<Bytes> out;
        for (const Bytes& frame : Frames(static_cast<uint16_t>(seed * 101), 25, 200, 60)) {
            out.push_back(frame);
            if (random() % 4) continue;
            Bytes d;
            switch (random() % 7) {
            case 0: d.resize(random() % 64); for (auto& v : d) v = uint8_t(random()); break;
            case 1: d = frame; for (int k = 0; k < 3; ++k) d[random() % d.size()] = uint8_t(random()); break;
            case 2: d = frame; d.resize(random() % d.size()); break;
            case 3: d = frame; d[5] = uint8_t(random()); d[6] = uint8_t(random()); d[7] = uint8_t(random()); break;
            case 4: d = good[0]; d[3] = uint8_t(random()); for (int k = 24; k < 36; ++k) d[k] = uint8_t(random()); break;
            case 5: d = frame; d.resize(kPacketBuffer + 1 + random() % 100, 0xEE); break;   // cut by the receiver
            default: d = frame; d[4] = uint8_t(0x80 | d[4]); break;   // an extended ID
            }
            out.push_back(std::move(d));
        }
        Agree(out, {12000, 12000, 700, 12000}, 0, seed, true, kChunk);   // cut packets 1 change the packet size
        if (HasFailure()) break;
    }
}

TEST(GvspBatch, APacketSizeThatChangesAgrees) {
    // Packets of 576 bytes, then of 1000, then 576 again, with no hint: the chunk is learnt anew.
    std::vector<Bytes> datagrams = Frames(1, 4, 200, 60, 576);
    for (Bytes& d : Frames(5, 4, 200, 60, 1000)) datagrams.push_back(std::move(d));
    for (Bytes& d : Frames(9, 4, 200, 60, 576)) datagrams.push_back(std::move(d));
    Agree(datagrams, {12000, 12000, 12000, 12000}, 0, 3);
    // And a hint that is wrong from the start.
    Agree(Frames(20, 6, 200, 60, 1000), {12000, 12000, 12000, 12000}, 0, 4, true, kChunk);
}
