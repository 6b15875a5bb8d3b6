// The GigE Vision receiver's batches against the same datagrams processed one by one from whole
// copies: frames in order, reordered, lost and duplicated packets, malformed and over-long datagrams,
// a packet size that changes, buffers too small. Payloads received straight into their places must
// leave every count, every handed-back block and every received byte as the one-by-one path does,
// and nothing past a buffer's end, while the in-place path really is taken where the packets come
// as planned. Reads the kernel coalesced (receive offload) come apart into the same datagrams: the
// split's edge cases, runs of packets against the one-by-one path, and a run the kernel coalesced.
// Both batches against the one-by-one path in set batches: a block begun outside the plan, a payload
// packet out of it, small frames that stay in place across their blocks, short packets of blocks the
// trailer sizes, packets placed again by another chunk, a stranger's datagrams wherever they land and
// the source's forms. The senders' list of the receivers that take runs.
#include "TqDeviceEngine.h"
#include "TqGvspAssembler.h"
#include "TqLoopback.h"
#include "TqStreamState.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <tuple>
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
            if (result == TQ_OK) {   // (chunk data shows no payload length: what was acquired then)
                back.received.assign(data, data + std::max(back.payload, back.acquired));
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
    TqStreamLib::GvspBatchBase::Received(aMessage, aDatagram.data(), aDatagram.size(), 0, 0);
}

std::vector<Bytes> Frame(uint32_t aWidth, uint32_t aHeight, uint32_t aPacketSize, uint16_t aBlock) {
    TqEngine::FrameLayout layout;
    layout.width = aWidth;
    layout.height = aHeight;
    layout.packetSize = aPacketSize;
    return TqEngine::BuildFrame(layout, aBlock, aBlock * 1000ull);
}

// Ends both worlds (every block in progress aborted and handed back): they must have handed back the
// same blocks, and neither wrote past a buffer's end.
void ExpectSameEnd(World& aSingle, World& aOther, uint32_t aChunk) {
    aSingle.assembler.AbortAll();
    aOther.assembler.AbortAll();
    aSingle.TakeBack(aChunk);
    aOther.TakeBack(aChunk);
    EXPECT_EQ(aSingle.backs.size(), aOther.backs.size());
    for (size_t i = 0; i < std::min(aSingle.backs.size(), aOther.backs.size()); ++i)
        EXPECT_TRUE(aSingle.backs[i] == aOther.backs[i]) << "block handed back " << i << " (ID " << aSingle.backs[i].block
                                                         << ", result " << aSingle.backs[i].result << ")"
                                                         << Describe(aSingle.backs[i]) << " / " << Describe(aOther.backs[i]);
    EXPECT_TRUE(aSingle.GuardsIntact());
    EXPECT_TRUE(aOther.GuardsIntact());
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
    ExpectSameEnd(single, batched, aChunk);
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

// The datagrams of aIn as a lossy path delivers them: a case drawn from aCases for each, 0 lost, 1
// twice, 2 swapped with the next, 3 aThird(in, i, out), the others as sent.
std::vector<Bytes> Mangled(std::vector<Bytes> aIn, std::mt19937& aRandom, uint32_t aCases,
                           const std::function<void(const std::vector<Bytes>&, size_t, std::vector<Bytes>&)>& aThird) {
    std::vector<Bytes> out;
    for (size_t i = 0; i < aIn.size(); ++i) {
        switch (aRandom() % aCases) {
        case 0: break;   // lost
        case 1: out.push_back(aIn[i]); out.push_back(aIn[i]); break;
        case 2:
            if (i + 1 < aIn.size()) std::swap(aIn[i], aIn[i + 1]);
            out.push_back(aIn[i]);
            break;
        case 3: aThird(aIn, i, out); break;
        default: out.push_back(aIn[i]);
        }
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
        const std::vector<Bytes> out = Mangled(Frames(static_cast<uint16_t>(seed * 977), 30, 200, 60), random, 12,
                                               [&](const std::vector<Bytes>& in, size_t, std::vector<Bytes>& sent) {
                                                   sent.push_back(in[random() % in.size()]);   // one from anywhere, again
                                               });
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

// ---- reads the kernel coalesced (UDP receive offload) ----

namespace {

using TqStreamLib::DatagramView;
using TqStreamLib::GvspCoalescedBatch;
using TqStreamLib::SplitCoalesced;

// The views SplitCoalesced hands, as (offset, size) in the read.
std::vector<std::pair<size_t, size_t>> Split(const uint8_t* aData, size_t aLength, size_t aSegment) {
    std::vector<std::pair<size_t, size_t>> views;
    const size_t count = SplitCoalesced(aData, aLength, aSegment, [&](DatagramView aView) {
        views.emplace_back(size_t(aView.data - aData), aView.size);
    });
    EXPECT_EQ(count, views.size());
    return views;
}

// What the kernel puts into a message of a receiver with receive offload: the datagrams of aRun one
// after another, and the segment size when it gives one (0: no control message).
void ReceiveRun(mmsghdr& aMessage, const std::vector<Bytes>& aRun, size_t aSegment) {
    Bytes all;
    for (const Bytes& d : aRun) all.insert(all.end(), d.begin(), d.end());
    Receive(aMessage, all);
    GvspCoalescedBatch::SetSegmentSize(aMessage.msg_hdr, aSegment);
}

// Runs aDatagrams through a world one by one and through another as coalesced reads: runs of random
// length of datagrams of one size (the last of a run may be shorter), as the kernel coalesces them,
// up to kReads a batch; both must agree in everything. Returns the batch (its counts).
// aSenderRuns: runs as a coalescing sender makes them (payload packets of one block, at most
// TqNet::RunLength from its first payload packet), else of random length.
GvspCoalescedBatch CoalescedAgree(const std::vector<Bytes>& aDatagrams, const std::vector<uint32_t>& aSizes,
                                  uint32_t aChunk, uint32_t aSeed, bool aSenderRuns = false,
                                  uint32_t aPacketBuffer = kPacketBuffer, bool aTimeouts = true,
                                  bool aOneEach = false) {
    World single(aSizes), coalesced(aSizes);
    single.assembler.SetChunkHint(aChunk);
    coalesced.assembler.SetChunkHint(aChunk);
    GvspCoalescedBatch batch(aPacketBuffer);
    std::mt19937 random(aSeed);
    // A payload packet's ID; 0 for any other datagram.
    auto payloadPacket = [](const Bytes& aDatagram) -> uint32_t {
        const auto header = TqGvsp::Header::Of(aDatagram.data(), aDatagram.size());
        return header && header->Format() == TqGvsp::kFormatPayload ? uint32_t(header->PacketId()) : 0;
    };
    auto now = GvspAssembler::Clock::time_point() + std::chrono::hours(1);
    for (size_t next = 0; next < aDatagrams.size();) {
        if (aTimeouts && random() % 8 == 0) now += std::chrono::milliseconds(60);
        single.assembler.Expire(now);
        coalesced.assembler.Expire(now);
        single.TakeBack(aChunk);
        coalesced.TakeBack(aChunk);
        mmsghdr* messages = batch.Prepare(coalesced.assembler);
        unsigned reads = 0;
        for (; reads < GvspCoalescedBatch::kReads && next < aDatagrams.size() && random() % 6; ++reads) {
            std::vector<Bytes> run{aDatagrams[next++]};
            const size_t segment = run[0].size(), most = 1 + random() % 40, sent = TqNet::RunLength(segment);
            size_t length = segment;
            auto joins = [&](const Bytes& aNext) {
                if (!aSenderRuns) return true;
                const uint32_t first = payloadPacket(run[0]), packet = payloadPacket(aNext);
                return first && packet == payloadPacket(run.back()) + 1 && (packet - 1) % sent != 0 &&
                       std::equal(run[0].begin(), run[0].begin() + 4, aNext.begin());   // the same block
            };
            // (No empty datagram joins a run: the kernel coalesces none.)
            while (!aOneEach && (aSenderRuns || run.size() < most) && next < aDatagrams.size() &&
                   aDatagrams[next].size() <= segment && !aDatagrams[next].empty() && joins(aDatagrams[next]) &&
                   length + aDatagrams[next].size() <= GvspCoalescedBatch::kReadSize) {
                run.push_back(aDatagrams[next++]);
                length += run.back().size();
                if (run.back().size() < segment) break;   // only the last of a run is shorter
            }
            for (const Bytes& d : run) {
                if (d.size() > aPacketBuffer) {
                    single.state.counters.packetsReceived++;
                    single.state.counters.packetsBad++;
                } else {
                    single.assembler.Process(d.data(), d.size(), now);
                }
            }
            // A read of one datagram comes with no segment size, or now and then with its own.
            ReceiveRun(messages[reads], run, run.size() > 1 || random() % 2 ? segment : 0);
        }
        batch.Deliver(coalesced.assembler, reads, now);
        single.TakeBack(aChunk);
        coalesced.TakeBack(aChunk);
        EXPECT_EQ(single.Counts(), coalesced.Counts()) << "after datagram " << next;
        if (single.Counts() != coalesced.Counts()) break;
    }
    ExpectSameEnd(single, coalesced, aChunk);
    return batch;
}

}  // namespace

TEST(SplitCoalesced, ASegmentSizeOfNoneOrNotShorterThanTheReadIsOneDatagram) {
    const Bytes read(100, 7);
    using Views = std::vector<std::pair<size_t, size_t>>;
    EXPECT_EQ(Split(read.data(), 100, 0), (Views{{0, 100}}));     // no segment size given
    EXPECT_EQ(Split(read.data(), 100, 100), (Views{{0, 100}}));   // one datagram of the segment's size
    EXPECT_EQ(Split(read.data(), 100, 101), (Views{{0, 100}}));
    EXPECT_EQ(Split(read.data(), 100, size_t(-1)), (Views{{0, 100}}));
    EXPECT_EQ(Split(read.data(), 0, 0), (Views{{0, 0}}));         // an empty datagram is still one
    EXPECT_EQ(Split(read.data(), 0, 8), (Views{{0, 0}}));
}

TEST(SplitCoalesced, DatagramsOfTheSegmentSizeAndAShorterLastNeverPastTheRead) {
    const Bytes read(100, 7);
    using Views = std::vector<std::pair<size_t, size_t>>;
    EXPECT_EQ(Split(read.data(), 100, 25), (Views{{0, 25}, {25, 25}, {50, 25}, {75, 25}}));
    EXPECT_EQ(Split(read.data(), 100, 30), (Views{{0, 30}, {30, 30}, {60, 30}, {90, 10}}));
    EXPECT_EQ(Split(read.data(), 100, 99), (Views{{0, 99}, {99, 1}}));
    EXPECT_EQ(Split(read.data(), 3, 1), (Views{{0, 1}, {1, 1}, {2, 1}}));
    // Every length and segment size: the views follow one another and end at the read's end.
    for (size_t length = 1; length <= 100; ++length)
        for (size_t segment = 1; segment <= 101; ++segment) {
            const auto views = Split(read.data(), length, segment);
            size_t at = 0;
            for (size_t i = 0; i < views.size(); ++i) {
                ASSERT_EQ(views[i].first, at);
                ASSERT_TRUE(views[i].second == segment || (i + 1 == views.size() && views[i].second <= segment) ||
                            (views.size() == 1 && views[i].second == length));
                ASSERT_GT(views[i].second, 0u);
                at += views[i].second;
            }
            ASSERT_EQ(at, length) << length << " / " << segment;
            ASSERT_EQ(views.size(), segment >= length ? 1 : (length + segment - 1) / segment);
        }
    // A read near the end of the address space does not wrap.
    const auto* high = reinterpret_cast<const uint8_t*>(uintptr_t(-1) - 100);
    size_t total = 0;
    SplitCoalesced(high, 100, 64, [&](DatagramView aView) {
        EXPECT_LE(aView.data + aView.size, high + 100);
        total += aView.size;
    });
    EXPECT_EQ(total, 100u);
}

TEST(GvspCoalescedBatch, CoalescedReadsAgreeWithDatagramsOneByOne) {
    // Frames in order, then frames with packets lost, duplicated and reordered, over-long packets
    // (longer than the packet buffer: counted bad one by one) and ones of the other header form.
    // Runs as the sender makes them: one or two a frame, and every batch holds a leader or a trailer
    // (gathered); of frames of 1 MB most batches are runs alone, which come in place.
    for (uint32_t packet : {576u, 1000u, 8192u}) {
        const uint32_t chunk = TqEngine::Gvsp::PayloadBytes(packet);
        const auto small = CoalescedAgree(Frames(65530, 16, 640, 96, packet), std::vector<uint32_t>(4, 640 * 96),
                                          chunk, packet, true, 9000, false);
        EXPECT_GE(small.Coalesced(), 16u) << packet;
        const auto large = CoalescedAgree(Frames(65534, 4, 1024, 1024, packet), std::vector<uint32_t>(3, 1 << 20),
                                          chunk, packet, true, 9000, false);
        EXPECT_GT(large.InPlace(), large.Gathered()) << packet << ": " << large.InPlace() << " in place, "
                                                         << large.Gathered() << " gathered";
    }
    EXPECT_GT(CoalescedAgree(Frames(65530, 16, 320, 96), std::vector<uint32_t>(4, 320 * 96), kChunk, 1).Coalesced(), 10u);
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 random(seed * 7);
        std::vector<Bytes> in = Frames(static_cast<uint16_t>(seed * 977), 20, 200, 60);
        for (Bytes& d : Frames(static_cast<uint16_t>(seed * 977 + 20), 2, 200, 60, 2100)) in.push_back(std::move(d));
        const std::vector<Bytes> out =
            Mangled(std::move(in), random, 14, [](const std::vector<Bytes>& all, size_t i, std::vector<Bytes>& sent) {
                sent.push_back(all[i]);
                sent.back()[4] = uint8_t(0x80 | sent.back()[4]);   // marked extended
            });
        SCOPED_TRACE("seed " + std::to_string(seed));
        CoalescedAgree(out, {12000, 12000, 5000, 12000}, kChunk, seed, seed % 2);
        if (HasFailure()) break;
    }
}

TEST(GvspCoalescedBatch, ASenderOfOneDatagramAPacketIsReceivedInPlaceAfterItsFirstBatch) {
    // A camera sends no runs: the reads are planned a datagram each once several came one each, and
    // the payloads land in their places as on the plain path (the first batch of each frame, planned
    // for runs or crossing into the next block, may be gathered).
    for (const uint32_t packet : {1500u, 9000u}) {
        const uint32_t chunk = TqEngine::Gvsp::PayloadBytes(packet);
        const auto batch = CoalescedAgree(Frames(65534, 4, 1024, 1024, packet), std::vector<uint32_t>(3, 1 << 20),
                                          chunk, packet, false, 9000, false, true);
        EXPECT_EQ(batch.Coalesced(), 0u);
        EXPECT_GT(batch.InPlace(), 4 * batch.Gathered()) << packet << ": " << batch.InPlace() << " in place, "
                                                         << batch.Gathered() << " gathered";
    }
}

TEST(GvspCoalescedBatch, ACutReadIsOneBadPacketAndASegmentSizeOfNoneIsOneDatagram) {
    World world({30720});
    world.assembler.SetChunkHint(kChunk);
    GvspCoalescedBatch batch(kPacketBuffer);
    const auto now = GvspAssembler::Clock::time_point() + std::chrono::hours(1);
    const std::vector<Bytes> frame = Frames(3, 1, 320, 96);
    // A run of payload packets that came with no segment size is one over-long datagram; a read the
    // kernel had to cut is one bad packet whatever it holds.
    mmsghdr* messages = batch.Prepare(world.assembler);
    ReceiveRun(messages[0], {frame[0]}, 0);
    ReceiveRun(messages[1], {frame[1], frame[2], frame[3]}, 0);
    ReceiveRun(messages[2], {frame[4], frame[5]}, frame[4].size());
    messages[2].msg_hdr.msg_flags = MSG_TRUNC;
    batch.Deliver(world.assembler, 3, now);
    const auto& c = world.state.counters;
    EXPECT_EQ(c.packetsReceived, 3u);
    EXPECT_EQ(c.packetsBad, 2u);
    EXPECT_EQ(batch.Coalesced(), 0u);
    // A control message that is not the segment size is no segment size; a negative one neither.
    messages = batch.Prepare(world.assembler);
    ReceiveRun(messages[0], {frame[1], frame[2]}, frame[1].size());
    CMSG_FIRSTHDR(&messages[0].msg_hdr)->cmsg_type = UDP_GRO + 1;
    EXPECT_EQ(GvspCoalescedBatch::SegmentSize(messages[0].msg_hdr), 0u);
    ReceiveRun(messages[1], {frame[1], frame[2]}, frame[1].size());
    EXPECT_EQ(GvspCoalescedBatch::SegmentSize(messages[1].msg_hdr), frame[1].size());
    const int negative = -5;
    std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&messages[1].msg_hdr)), &negative, sizeof negative);
    EXPECT_EQ(GvspCoalescedBatch::SegmentSize(messages[1].msg_hdr), 0u);
}

// The kernel's own coalescing on loopback: a run sent as one datagram with a segment size arrives at
// a socket with receive offload as one read, which comes apart into the frame the packets make.
TEST(GvspCoalescedBatch, ARunTheKernelCoalescedComesApartIntoTheFrame) {
    const int rx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(rx, 0);
    ASSERT_GE(tx, 0);
    struct Closer {
        int a, b;
        ~Closer() { ::close(a), ::close(b); }
    } closer{rx, tx};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof to;
    ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(::getsockname(rx, reinterpret_cast<sockaddr*>(&to), &length), 0);
    int one = 1;
    if (::setsockopt(rx, SOL_UDP, UDP_GRO, &one, sizeof one) != 0) GTEST_SKIP() << "no UDP receive offload here";

    const std::vector<Bytes> frame = Frames(7, 1, 320, 96, 1000);   // leader, 32 payload packets, trailer
    ASSERT_GT(frame.size(), 4u);
    auto send = [&](const std::vector<Bytes>& aRun) {
        Bytes all;
        for (const Bytes& d : aRun) all.insert(all.end(), d.begin(), d.end());
        iovec v{all.data(), all.size()};
        msghdr h{};
        h.msg_name = &to;
        h.msg_namelen = sizeof to;
        h.msg_iov = &v;
        h.msg_iovlen = 1;
        alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(uint16_t))] = {};
        if (aRun.size() > 1) {
            h.msg_control = control;
            h.msg_controllen = sizeof control;
            cmsghdr* c = CMSG_FIRSTHDR(&h);
            c->cmsg_level = SOL_UDP;
            c->cmsg_type = UDP_SEGMENT;
            c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
            const uint16_t segment = static_cast<uint16_t>(aRun[0].size());
            std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
        }
        return ::sendmsg(tx, &h, 0) == ssize_t(all.size());
    };
    ASSERT_TRUE(send({frame.front()}));
    if (!send(std::vector<Bytes>(frame.begin() + 1, frame.end() - 1))) GTEST_SKIP() << "no UDP segmentation here";
    ASSERT_TRUE(send({frame.back()}));

    World single({30720}), coalesced({30720});
    single.assembler.SetChunkHint(kChunk);
    coalesced.assembler.SetChunkHint(kChunk);
    const auto now = GvspAssembler::Clock::time_point() + std::chrono::hours(1);
    for (const Bytes& d : frame) single.assembler.Process(d.data(), d.size(), now);
    single.TakeBack(0);
    GvspCoalescedBatch batch(kPacketBuffer);
    size_t reads = 0;
    while (reads < 3) {   // the datagrams are queued already; a generous wait for a slow machine
        pollfd p{rx, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) break;
        const int got = ::recvmmsg(rx, batch.Prepare(coalesced.assembler), GvspCoalescedBatch::kReads, MSG_DONTWAIT, nullptr);
        if (got <= 0) continue;
        batch.Deliver(coalesced.assembler, static_cast<unsigned>(got), now);
        reads += size_t(got);
    }
    coalesced.TakeBack(0);
    EXPECT_EQ(reads, 3u);
    EXPECT_EQ(batch.Coalesced(), 1u);
    ASSERT_EQ(single.backs.size(), 1u);
    EXPECT_EQ(single.backs[0].result, uint32_t(TQ_OK));
    ASSERT_EQ(coalesced.backs.size(), 1u);
    EXPECT_TRUE(single.backs[0] == coalesced.backs[0]) << Describe(coalesced.backs[0]);
    EXPECT_EQ(single.Counts(), coalesced.Counts());
}

// ---- datagrams a batch cannot keep in place, the packet lengths of blocks the trailer sizes, and
// strangers' datagrams, on both batches against the one-by-one path ----

namespace {

constexpr uint32_t kDevice = 0x7F000002u, kStranger = 0x7F000003u;   // 127.0.0.2, 127.0.0.3
constexpr uint16_t kDevicePort = 20202;

// A datagram and who sent it.
struct Sent {
    Bytes bytes;
    uint32_t address = kDevice;
    uint16_t port = kDevicePort;
};

std::vector<Sent> FromDevice(const std::vector<Bytes>& aDatagrams) {
    std::vector<Sent> out;
    for (const Bytes& d : aDatagrams) out.push_back({d});
    return out;
}

// What the kernel puts into a message's name: its sender (the batch gave it room for one).
void NameSender(mmsghdr& aMessage, uint32_t aAddress, uint16_t aPort) {
    ASSERT_NE(aMessage.msg_hdr.msg_name, nullptr);
    ASSERT_GE(aMessage.msg_hdr.msg_namelen, sizeof(sockaddr_in));
    const sockaddr_in from = TqNet::Endpoint(aAddress, aPort);
    std::memcpy(aMessage.msg_hdr.msg_name, &from, sizeof from);
    aMessage.msg_hdr.msg_namelen = sizeof from;
}

// A payload packet's block ID and packet ID, when it is one.
std::optional<std::pair<uint64_t, uint32_t>> PayloadIds(const Bytes& aDatagram) {
    const auto header = TqGvsp::Header::Of(aDatagram.data(), aDatagram.size());
    if (!header || header->Format() != TqGvsp::kFormatPayload || header->Status() != 0) return std::nullopt;
    return std::make_pair(header->BlockId(), header->PacketId());
}

// The datagrams in reads as a coalescing sender makes them: payload packets of one block and sender
// that follow one another, of one size but a shorter last, at most TqNet::RunLength from the
// block's first payload packet; anything else alone.
std::vector<std::vector<Sent>> SenderRuns(const std::vector<Sent>& aDatagrams) {
    std::vector<std::vector<Sent>> reads;
    for (const Sent& d : aDatagrams) {
        const auto ids = PayloadIds(d.bytes);
        if (!reads.empty() && ids) {
            const std::vector<Sent>& run = reads.back();
            const auto first = PayloadIds(run.front().bytes), last = PayloadIds(run.back().bytes);
            const size_t segment = run.front().bytes.size();
            if (first && first->first == ids->first && last->second + 1 == ids->second &&
                (ids->second - 1) % TqNet::RunLength(segment) != 0 && run.back().bytes.size() == segment &&
                d.bytes.size() <= segment && !d.bytes.empty() && run.front().address == d.address &&
                run.front().port == d.port) {
                reads.back().push_back(d);
                continue;
            }
        }
        reads.push_back({d});
    }
    return reads;
}

// The same datagrams, batch by batch on one clock, through an assembler one by one (the device's
// datagrams only), through the plain batch and through the coalesced batch (as a coalescing sender's
// reads), each path with buffers of the same sizes and the source set to the device.
struct ThreePaths {
    ThreePaths(const std::vector<uint32_t>& aSizes, uint32_t aChunk, bool aResends = false)
        : single(aSizes), plain(aSizes), coalesced(aSizes), plainBatch(kPacketBuffer), coalescedBatch(kPacketBuffer) {
        for (World* w : Worlds()) {
            w->assembler.SetChunkHint(aChunk);
            w->state.requestResends = aResends;
            std::vector<Ask>& asks = this->asks[w == &single ? 0 : w == &plain ? 1 : 2];
            w->assembler.SetRequester([&asks](uint64_t aBlock, uint32_t aFirst, uint32_t aLast, bool) {
                asks.push_back({aBlock, aFirst, aLast});
            });
        }
        plainBatch.SetSource(kDevice, kDevicePort);
        coalescedBatch.SetSource(kDevice, kDevicePort);
    }
    std::array<World*, 3> Worlds() { return {&single, &plain, &coalesced}; }

    // One batch of each path (at most 32 datagrams; as many reads as the sender's runs make).
    void Batch(const std::vector<Sent>& aDatagrams) {
        for (const Sent& d : aDatagrams)
            if (d.address == kDevice && d.port == kDevicePort) single.assembler.Process(d.bytes.data(), d.bytes.size(), now);
        mmsghdr* messages = plainBatch.Prepare(plain.assembler);
        ASSERT_LE(aDatagrams.size(), GvspBatch::kSize);
        for (size_t i = 0; i < aDatagrams.size(); ++i) {
            Receive(messages[i], aDatagrams[i].bytes);
            NameSender(messages[i], aDatagrams[i].address, aDatagrams[i].port);
        }
        plainBatch.Deliver(plain.assembler, static_cast<unsigned>(aDatagrams.size()), now);
        const auto reads = SenderRuns(aDatagrams);
        ASSERT_LE(reads.size(), GvspCoalescedBatch::kReads);
        messages = coalescedBatch.Prepare(coalesced.assembler);
        for (size_t i = 0; i < reads.size(); ++i) {
            std::vector<Bytes> run;
            for (const Sent& d : reads[i]) run.push_back(d.bytes);
            ReceiveRun(messages[i], run, run.size() > 1 ? run[0].size() : 0);
            NameSender(messages[i], reads[i][0].address, reads[i][0].port);
        }
        coalescedBatch.Deliver(coalesced.assembler, static_cast<unsigned>(reads.size()), now);
        for (World* w : Worlds()) w->TakeBack(0);
    }
    void Advance(int aMs) {
        now += std::chrono::milliseconds(aMs);
        for (World* w : Worlds()) {
            w->assembler.Expire(now);
            w->TakeBack(0);
        }
    }
    // Every block in progress handed back; the three agree in every count and every block.
    void End() {
        ExpectSameEnd(single, plain, 0);
        ExpectSameEnd(single, coalesced, 0);
        EXPECT_EQ(single.Counts(), plain.Counts());
        EXPECT_EQ(single.Counts(), coalesced.Counts());
        EXPECT_EQ(asks[0], asks[1]);
        EXPECT_EQ(asks[0], asks[2]);
    }
    // The blocks a path handed back OK, by ID, with their bytes.
    static std::map<uint32_t, Bytes> Whole(const World& aWorld) {
        std::map<uint32_t, Bytes> whole;
        for (const World::Back& b : aWorld.backs)
            if (b.result == TQ_OK) whole[b.block] = b.received;
        return whole;
    }

    struct Ask {
        uint64_t block;
        uint32_t first, last;
        bool operator==(const Ask&) const = default;
    };
    World single, plain, coalesced;
    GvspBatch plainBatch;
    GvspCoalescedBatch coalescedBatch;
    std::array<std::vector<Ask>, 3> asks;
    GvspAssembler::Clock::time_point now = GvspAssembler::Clock::time_point() + std::chrono::hours(1);
};

Bytes Pattern(const TqEngine::FrameLayout& aLayout, uint16_t aBlock) {
    Bytes image;
    TqEngine::FillPattern(aLayout, aBlock, image);
    return image;
}

TqEngine::FrameLayout Small() {
    TqEngine::FrameLayout layout;
    layout.width = 64;
    layout.height = 48;
    layout.packetSize = 576;   // 6 payload packets, the last shorter
    return layout;
}

}  // namespace

TEST(GvspBatches, ABlockBegunOutsideThePlanNeverLendsItsBuffersPlacesToTheNext) {
    // Block 10 alone; after its image timeout, in one batch: 10's trailer once more (it begins block
    // 10 again, in the buffer planned for 11), 11 without its leader (which then takes 12's buffer),
    // 12 whole. Block 12 comes back with its own bytes on every path.
    const TqEngine::FrameLayout layout = Small();
    const auto f10 = Frame(64, 48, 576, 10), f11 = Frame(64, 48, 576, 11), f12 = Frame(64, 48, 576, 12);
    ThreePaths paths(std::vector<uint32_t>(4, 64 * 48), kChunk);
    paths.Batch(FromDevice(f10));
    paths.Advance(60);
    std::vector<Bytes> late{f10.back()};
    late.insert(late.end(), f11.begin() + 1, f11.end());
    late.insert(late.end(), f12.begin(), f12.end());
    const uint64_t gatheredBefore = paths.plainBatch.Gathered();
    paths.Batch(FromDevice(late));
    EXPECT_EQ(paths.plainBatch.Gathered(), gatheredBefore + 1);   // from 11's first payload packet on
    paths.End();
    for (World* w : paths.Worlds()) {
        const auto whole = ThreePaths::Whole(*w);
        ASSERT_EQ(whole.size(), 2u);
        EXPECT_EQ(whole.at(10), Pattern(layout, 10));
        EXPECT_EQ(whole.at(12), Pattern(layout, 12));
    }
}

TEST(GvspBatches, SmallFramesInOneBatchStayInPlaceAcrossTheirBlocks) {
    // Three whole frames in each batch (leaders before their payloads): nothing is gathered, and the
    // frames are the sender's.
    const TqEngine::FrameLayout layout = Small();
    ThreePaths paths(std::vector<uint32_t>(4, 64 * 48), kChunk);
    paths.Batch(FromDevice(Frame(64, 48, 576, 1)));   // nothing planned before the first block: copied
    EXPECT_EQ(paths.plainBatch.Gathered(), 1u);
    EXPECT_EQ(paths.coalescedBatch.Gathered(), 1u);
    for (uint16_t block = 2; block < 14; block += 3) {
        std::vector<Bytes> three;
        for (uint16_t b = block; b < block + 3; ++b)
            for (Bytes& d : Frame(64, 48, 576, b)) three.push_back(std::move(d));
        paths.Batch(FromDevice(three));
    }
    EXPECT_EQ(paths.plainBatch.InPlace(), 4u);
    EXPECT_EQ(paths.plainBatch.Gathered(), 1u);
    EXPECT_EQ(paths.coalescedBatch.InPlace(), 4u);
    EXPECT_EQ(paths.coalescedBatch.Gathered(), 1u);
    paths.End();
    for (World* w : paths.Worlds()) {
        const auto whole = ThreePaths::Whole(*w);
        ASSERT_EQ(whole.size(), 13u);
        for (const auto& [block, bytes] : whole) EXPECT_EQ(bytes, Pattern(layout, uint16_t(block))) << block;
    }
}

TEST(GvspBatches, APayloadOutsideThePlanIsGatheredBeforeItsCopyOverwritesAPlace) {
    // Frame 3's payload packet 2 comes first, alone in the slot planned for its leader: stored by a
    // copy into the place planned for packet 2, which the kernel had filled with packet 2 of frame 3
    // already... and the rest of the frame, shifted by one slot, is another packet than planned.
    const TqEngine::FrameLayout layout = Small();
    ThreePaths paths(std::vector<uint32_t>(4, 64 * 48), kChunk);
    auto f3 = Frame(64, 48, 576, 3);
    paths.Batch(FromDevice(Frame(64, 48, 576, 2)));
    std::vector<Bytes> shifted{f3[2]};
    shifted.insert(shifted.end(), f3.begin(), f3.end());   // packet 2 twice
    paths.Batch(FromDevice(shifted));
    paths.End();
    for (World* w : paths.Worlds()) {
        const auto whole = ThreePaths::Whole(*w);
        ASSERT_EQ(whole.size(), 2u);
        EXPECT_EQ(whole.at(3), Pattern(layout, 3));
    }
}

namespace {

// A block whose payload size only its trailer tells (chunk data, or an image with extended chunks
// whose leader's Mono8 geometry does not size it), its payload packets of aLengths bytes, each
// holding the bytes of its place (by a chunk of aChunk) of a counting pattern, and a trailer telling
// aTold bytes. aType 0 with a pixel format of no known size: an image of no size known at all.
std::vector<Bytes> TrailerSized(uint16_t aType, uint16_t aBlock, const std::vector<size_t>& aLengths, uint32_t aChunk,
                                uint32_t aTold) {
    namespace Gvsp = TqGvsp;
    const bool image = aType == 0 || Gvsp::IsImage(aType);
    const uint16_t type = aType ? aType : Gvsp::kPayloadImage;
    std::vector<Bytes> out;
    Bytes leader(Gvsp::kHeaderSize + (image ? Gvsp::ImageLeader::kSize : Gvsp::Leader::kSize));
    Gvsp::Header::Write(leader.data(), 0, aBlock, Gvsp::kFormatLeader, 0);
    if (image)
        Gvsp::ImageLeader::Write(leader.data() + Gvsp::kHeaderSize, type, 5,
                                 {aType ? TqEngine::Pfnc::kMono8 : 0x7777u, 8, 8, 0, 0, 0, 0});
    else
        Gvsp::Leader::Write(leader.data() + Gvsp::kHeaderSize, type, 5);
    out.push_back(leader);
    for (size_t n = 0; n < aLengths.size(); ++n) {
        Bytes payload(Gvsp::kHeaderSize + aLengths[n]);
        Gvsp::Header::Write(payload.data(), 0, aBlock, Gvsp::kFormatPayload, uint32_t(n + 1));
        for (size_t i = 0; i < aLengths[n]; ++i) payload[Gvsp::kHeaderSize + i] = uint8_t((n * aChunk + i) * 7 + aBlock);
        out.push_back(payload);
    }
    Bytes trailer(Gvsp::kHeaderSize + 16, 0);
    Gvsp::Header::Write(trailer.data(), 0, aBlock, Gvsp::kFormatTrailer, uint32_t(aLengths.size() + 1));
    size_t length = Gvsp::kHeaderSize;
    if (Gvsp::IsImage(type) && (type & Gvsp::kExtendedChunkFlag))
        length += Gvsp::ImageTrailer::WriteWithChunks(trailer.data() + Gvsp::kHeaderSize, type, 8, aTold, 3);
    else if (image)
        length += Gvsp::ImageTrailer::Write(trailer.data() + Gvsp::kHeaderSize, type, 8);
    else
        length += Gvsp::ChunkDataTrailer::Write(trailer.data() + Gvsp::kHeaderSize, aTold, 3);
    trailer.resize(length);
    out.push_back(trailer);
    return out;
}

}  // namespace

TEST(GvspBatches, AShortPayloadPacketBeforeTheLastNeverMakesABlockWhole) {
    // Packets of 1464, 100 and 1464 bytes where the trailer tells 3 x 1464: the 100-byte packet is
    // missing and asked for again, the block is never OK with what its buffer held before; the whole
    // packet, once it comes, completes it with the sender's bytes. Chunk data, an image with
    // extended chunks, and an image whose size nothing tells.
    constexpr uint32_t chunk = 1464;
    for (const uint16_t type : {TqGvsp::kPayloadChunkData, TqGvsp::kPayloadImageExtendedChunk, uint16_t(0)}) {
        SCOPED_TRACE("payload type " + std::to_string(type));
        ThreePaths paths(std::vector<uint32_t>(2, 3 * chunk), chunk, true);
        for (World* w : paths.Worlds())
            for (Bytes& m : w->memory) std::fill(m.begin(), m.end() - kGuard, 0xC3);   // what the buffer held before
        const auto sent = TrailerSized(type, 7, {chunk, 100, chunk}, chunk, 3 * chunk);
        const auto whole = TrailerSized(type, 7, {chunk, chunk, chunk}, chunk, 3 * chunk);
        paths.Batch(FromDevice(sent));
        for (World* w : paths.Worlds()) EXPECT_TRUE(w->backs.empty());
        for (size_t p = 0; p < 3; ++p) {
            // Packet 2 was asked for again, once the trailer came.
            const auto& asks = paths.asks[p];
            EXPECT_TRUE(std::any_of(asks.begin(), asks.end(), [](const ThreePaths::Ask& a) {
                return a.block == 7 && a.first <= 2 && a.last >= 2;
            })) << "path " << p;
        }
        paths.Batch(FromDevice({whole[2]}));
        paths.End();
        for (World* w : paths.Worlds()) {
            ASSERT_EQ(w->backs.size(), 1u);
            EXPECT_EQ(w->backs[0].result, uint32_t(TQ_OK));
            Bytes expected;
            for (size_t n = 1; n <= 3; ++n) expected.insert(expected.end(), whole[n].begin() + 8, whole[n].end());
            EXPECT_EQ(w->backs[0].received, expected);
        }
    }
    // Without resends: the block comes back incomplete after its image timeout, naming packet 2.
    ThreePaths paths(std::vector<uint32_t>(2, 3 * chunk), chunk);
    paths.Batch(FromDevice(TrailerSized(TqGvsp::kPayloadChunkData, 8, {chunk, 100, chunk}, chunk, 3 * chunk)));
    paths.Advance(60);
    paths.End();
    for (World* w : paths.Worlds()) {
        ASSERT_EQ(w->backs.size(), 1u);
        EXPECT_EQ(w->backs[0].result, uint32_t(TQ_MISSING_PACKETS));
        EXPECT_EQ(w->backs[0].missing, (std::vector<std::pair<uint32_t, uint32_t>>{{2, 2}}));
        EXPECT_EQ(w->backs[0].lost, 1u);
    }
}

TEST(GvspBatches, AStrangersDatagramsAreDroppedAndCountedWhereverTheyLand) {
    // Frames of the device with a stranger's datagrams among them: copies of the device's packets
    // with other bytes (the very packets planned next, and a whole frame ahead), from another
    // address and from the device's address at another port, before and after the genuine ones.
    // The frames come back whole and the sender's, nothing of the stranger is counted but as
    // foreign, and nothing is asked for again because of it.
    const TqEngine::FrameLayout layout = Small();
    ThreePaths paths(std::vector<uint32_t>(4, 64 * 48), kChunk, true);
    auto forged = [](const Bytes& aGenuine, uint32_t aAddress, uint16_t aPort) {
        Sent s{aGenuine, aAddress, aPort};
        std::fill(s.bytes.begin() + TqGvsp::kHeaderSize, s.bytes.end(), 0xEE);
        return s;
    };
    uint64_t strangers = 0;
    for (uint16_t block = 1; block <= 6; ++block) {
        const auto frame = Frame(64, 48, 576, block), ahead = Frame(64, 48, 576, uint16_t(block + 1));
        std::vector<Sent> batch;
        for (size_t i = 0; i < frame.size(); ++i) {
            // Before packet i: a forged packet i (into the place planned for it), and after it the next.
            if (i % 2 == block % 2) batch.push_back(forged(frame[i], kStranger, kDevicePort));
            batch.push_back({frame[i]});
            if (i % 3 == 1) batch.push_back(forged(frame[i], kDevice, kDevicePort + 1));
        }
        if (block % 2)
            for (const Bytes& d : ahead) batch.push_back(forged(d, kStranger, 9999));
        for (const Sent& s : batch) strangers += s.address != kDevice || s.port != kDevicePort;
        paths.Batch(batch);
    }
    paths.End();
    for (World* w : paths.Worlds()) {
        const auto whole = ThreePaths::Whole(*w);
        ASSERT_EQ(whole.size(), 6u);
        for (const auto& [block, bytes] : whole) EXPECT_EQ(bytes, Pattern(layout, uint16_t(block))) << block;
        EXPECT_EQ(w->state.counters.packetsReceived, 6u * 8u);
    }
    EXPECT_EQ(paths.single.state.counters.packetsForeign, 0u);
    EXPECT_EQ(paths.plain.state.counters.packetsForeign, strangers);
    EXPECT_EQ(paths.coalesced.state.counters.packetsForeign, strangers);   // each datagram of a read
    EXPECT_TRUE(paths.asks[1].empty());
}

TEST(GvspBatches, TheSourceTakesAnySenderAnyPortOfItsAddressOrExactlyOne) {
    // Address 0: any sender; a port of 0: any port of the address.
    const auto frame = Frame(64, 48, 576, 4);
    for (const auto& [address, port, from, taken] :
         {std::tuple<uint32_t, uint16_t, uint16_t, bool>{0, 0, 1234, true}, {kDevice, 0, 1234, true},
          {kDevice, kDevicePort, kDevicePort, true}, {kDevice, kDevicePort, 1234, false}, {kStranger, 0, kDevicePort, false}}) {
        World plain({64 * 48}), coalesced({64 * 48});
        GvspBatch batch(kPacketBuffer);
        GvspCoalescedBatch reads(kPacketBuffer);
        batch.SetSource(address, port);
        reads.SetSource(address, port);
        const auto now = GvspAssembler::Clock::time_point() + std::chrono::hours(1);
        mmsghdr* messages = batch.Prepare(plain.assembler);
        for (size_t i = 0; i < frame.size(); ++i) {
            Receive(messages[i], frame[i]);
            NameSender(messages[i], kDevice, from);
        }
        batch.Deliver(plain.assembler, unsigned(frame.size()), now);
        messages = reads.Prepare(coalesced.assembler);
        ReceiveRun(messages[0], frame, 0);   // one over-long datagram, if taken
        NameSender(messages[0], kDevice, from);
        reads.Deliver(coalesced.assembler, 1, now);
        const auto& c = plain.state.counters;
        EXPECT_EQ(c.blocksReceived, taken ? 1u : 0u) << address << ":" << port << " from " << from;
        EXPECT_EQ(c.packetsReceived + c.packetsForeign, frame.size());
        EXPECT_EQ(c.packetsForeign, taken ? 0u : frame.size());
        EXPECT_EQ(coalesced.state.counters.packetsForeign, taken ? 0u : 1u);
        EXPECT_EQ(coalesced.state.counters.packetsReceived, taken ? 1u : 0u);
    }
}

// ---- the receivers of this process that take runs ----

TEST(RunReceivers, KeyedByAddressAndPortAndCountedWithoutWrapping) {
    constexpr uint32_t a = 0x7F000009u, b = 0x7F00000Au;
    constexpr uint16_t port = 47011;
    EXPECT_FALSE(TqNet::TakesRuns(a, port));
    TqNet::AddRunReceiver(a, port);
    EXPECT_TRUE(TqNet::TakesRuns(a, port));
    EXPECT_FALSE(TqNet::TakesRuns(b, port));       // another address sharing the port
    EXPECT_FALSE(TqNet::TakesRuns(a, port + 1));
    // 256 more receivers and as many gone: the first still takes runs.
    for (int i = 0; i < 256; ++i) TqNet::AddRunReceiver(a, port);
    for (int i = 0; i < 256; ++i) TqNet::RemoveRunReceiver(a, port);
    EXPECT_TRUE(TqNet::TakesRuns(a, port));
    TqNet::RemoveRunReceiver(a, port);
    EXPECT_FALSE(TqNet::TakesRuns(a, port));
    TqNet::RemoveRunReceiver(a, port);   // one removal too many leaves no count below zero
    TqNet::AddRunReceiver(a, port);
    EXPECT_TRUE(TqNet::TakesRuns(a, port));
    TqNet::RemoveRunReceiver(a, port);
    EXPECT_FALSE(TqNet::TakesRuns(a, port));
    // A receiver bound to any address takes runs at each address of its port.
    TqNet::AddRunReceiver(0, port);
    EXPECT_TRUE(TqNet::TakesRuns(a, port) && TqNet::TakesRuns(b, port));
    TqNet::RemoveRunReceiver(0, port);
    EXPECT_FALSE(TqNet::TakesRuns(b, port));
    TqNet::AddRunReceiver(a, 0);   // no port: nothing
    EXPECT_FALSE(TqNet::TakesRuns(a, 0));
}

TEST(GvspBatches, PacketsPlacedAgainByTheChunkPacketOneTellsAcquireNothingPastThePayload) {
    // A wrong packet size at first (1290): packet 2 of chunk data comes before packet 1 and is placed
    // at 1290; packet 1 tells the size, and packet 2, placed by the other, is missing until it comes
    // again. The block is whole, of its own size.
    const auto sent = TrailerSized(TqGvsp::kPayloadChunkData, 4, {540, 540, 456}, 540, 1536);
    ThreePaths paths({4096, 4096}, 1290);
    paths.Batch(FromDevice({sent[0], sent[2], sent[1], sent[3], sent[4]}));
    for (World* w : paths.Worlds()) EXPECT_TRUE(w->backs.empty());
    paths.Batch(FromDevice({sent[2]}));
    paths.End();
    for (World* w : paths.Worlds()) {
        ASSERT_EQ(w->backs.size(), 1u);
        EXPECT_EQ(w->backs[0].result, uint32_t(TQ_OK));
        EXPECT_EQ(w->backs[0].acquired, 1536u);
        Bytes expected;
        for (size_t n = 1; n <= 3; ++n) expected.insert(expected.end(), sent[n].begin() + 8, sent[n].end());
        EXPECT_EQ(w->backs[0].received, expected);
    }
}
