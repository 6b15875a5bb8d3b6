// One sequence of GVSP datagrams through the GigE Vision receiver's four ways in: one by one into a
// block assembly (TqStreamLib::GvspAssembler), in batches of the plain path (TqStreamLib::GvspBatch),
// in coalesced reads (TqStreamLib::GvspCoalescedBatch) and in blocks of link frames of the packet
// ring (TqStreamLib::GvspRing, GvspRingBatch), each with its own four buffers of the same sizes, on
// one clock. The frames are the device engine's (TqEngine::BuildPackets): images,
// images with extended chunks and chunk data, with the generic or the extended-ID header; then
// packets are dropped, doubled, swapped, cut, their header fields changed, and a stranger's
// datagrams (copies with other bytes, from another address or another port of the device's) mixed
// in. Checked besides the sanitizers: the four hand back the same blocks (ID, result, sizes, missing
// packets), count alike (all but the first count the stranger's datagrams, each as foreign), ask for
// the same packets again; every block handed back whole holds exactly the bytes its sender sent.
//
// Input: [settings u8][chunk hint u16] (fuzz_stream.h), [form u8][first block ID u64][frames u8],
// each frame [kind u8][width u8][height u8][chunk bytes u16], [changes u8], each [what u8][at u16]
// [argument u8], then the batches: for each plain batch its size [u8] (0: 32), for each coalesced
// read whether a datagram may join it [u8 bit 0 clear] and for each coalesced batch its reads [u8]
// (0: 32). Form: bits 0-1 the packet size (576, 1000, 1500, 4000), bit 2 extended IDs, bit 3
// resends on. Kind 0 an image (Mono8), 1 an image with extended chunks, 2 chunk data. Changes (at:
// an item of the sequence, which also holds pauses): 0 drops it, 1 doubles it, 2 swaps it with the
// next, 3 cuts it to the argument's bytes, 4 changes its header (argument: 0 another block ID, none
// of a frame's, behind the frames, 1 the same ahead of them, 2 an error status, 3 a format no packet
// has, 4 a packet ID past any block), 5 adds a stranger's copy after it (argument bit 0: from the
// device's address at another port), 6 pauses after it for the argument's milliseconds (a batch
// ends there, and the blocks whose time ran out are handed back). At the end the clock moves on past
// every image timeout, then every block left is aborted. The ring's frames are made as the
// coalesced reads (the frames of a block read as the reads of a batch), a frame of several datagrams
// a segmented send, and each frame then reads [u8]: bit 0 its UDP checksum written (bit 1: none)
// rather than left to the sender's kernel (as a segmented send's always is); bit 2 a copy the kernel
// drops before it, its bytes changed and its UDP checksum spoilt (bit 3: its IP header checksum).
#include "TqDeviceEngine.h"
#include "TqGvspAssembler.h"
#include "TqGvspRing.h"
#include "fuzz_stream.h"

#include <algorithm>
#include <map>
#include <optional>
#include <tuple>

using KivoFuzz::Bytes;
using TqStreamLib::GvspAssembler;
using TqStreamLib::GvspBatch;
using TqStreamLib::GvspCoalescedBatch;
using TqStreamLib::GvspRing;
namespace Gvsp = TqGvsp;

namespace {

constexpr uint32_t kDevice = 0x7F000002u, kStranger = 0x7F000063u, kLocal = 0x7F000001u;
constexpr uint16_t kDevicePort = 20202;
constexpr uint32_t kPacketBuffer = 9000;   // above every datagram: none is cut
constexpr uint32_t kPacketSizes[] = {576, 1000, 1500, 4000};
constexpr std::array<uint32_t, 4> kBufferSizes = {16384, 16384, 3000, 16384};

// An item of the sequence: a datagram and its sender, or a pause.
struct Item {
    Bytes bytes;
    uint32_t address = kDevice;
    uint16_t port = kDevicePort;
    uint32_t origin = 0;   // the packet it was made from: frame << 16 | packet
    int pause = -1;        // >= 0: a pause of that many milliseconds, no datagram
    bool Device() const { return address == kDevice && port == kDevicePort; }
};

// The frames the input asks for, and what each block's sender sent as its payload.
struct Frames {
    bool extended = false;
    uint64_t first = 1;
    std::vector<Item> items;
    std::map<uint64_t, Bytes> payloads;
};

uint64_t IdOf(const Frames& aFrames, uint64_t aIndex) {
    if (aFrames.extended) return aFrames.first + aIndex;   // (0 is no block: its packets are bad)
    return (aFrames.first - 1 + aIndex) % 65535 + 1;
}

Frames Build(KivoFuzz::Reader& aIn, uint8_t aForm) {
    Frames f;
    f.extended = aForm & 4;
    const uint64_t first = aIn.U64();
    f.first = f.extended ? first : first % 65535 + 1;
    const uint32_t packetSize = kPacketSizes[aForm & 3];
    const unsigned frames = 1 + aIn.U8() % 12;
    for (unsigned n = 0; n < frames; ++n) {
        const uint8_t kind = aIn.U8() % 3;
        const uint32_t width = 1 + aIn.U8() % 128, height = 1 + aIn.U8() % 64;
        size_t chunks = aIn.U16() % 8192;
        if (kind == 1 && chunks == 0) chunks = 1;   // an image with chunks has some
        const uint64_t id = IdOf(f, n);
        Bytes image(kind == 2 ? 0 : size_t(width) * height), area(kind == 0 ? 0 : chunks);
        for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7 + id * 13);
        for (size_t i = 0; i < area.size(); ++i) area[i] = uint8_t(i * 11 + id * 3 + 1);
        TqEngine::Frame frame;
        frame.blockId = id;
        frame.width = width;
        frame.height = height;
        frame.image = image.data();
        frame.imageSize = image.size();
        frame.chunks = area.data();
        frame.chunkSize = area.size();
        frame.chunkLayoutId = 3;
        if (kind == 2) frame.payloadType = Gvsp::kPayloadChunkData;
        const auto packets = TqEngine::BuildPackets(frame, 5, packetSize, f.extended);
        for (uint32_t p = 0; p < packets.size(); ++p) f.items.push_back({packets[p], kDevice, kDevicePort, n << 16 | p});
        Bytes& payload = f.payloads[id];
        payload = image;
        payload.insert(payload.end(), area.begin(), area.end());
    }
    return f;
}

// Another block ID than any frame's for the packet aItem was made from: behind the frames, or ahead.
uint64_t ForeignId(const Frames& aFrames, const Item& aItem, bool aAhead) {
    if (aFrames.extended) {
        const uint64_t away = (uint64_t(1) << 62) + aItem.origin;
        return aAhead ? aFrames.first + away : aFrames.first - away;
    }
    const uint64_t away = 0x4000 + aItem.origin % 0x3000;
    return aAhead ? IdOf(aFrames, away) : IdOf(aFrames, 65535 - away);
}

// Changes a datagram's header so that it is another packet, of no frame.
void ChangeHeader(const Frames& aFrames, Item& aItem, uint8_t aHow) {
    Bytes& d = aItem.bytes;
    const auto header = Gvsp::Header::Of(d.data(), d.size());
    if (!header) return;
    const bool extended = header->ExtendedIds();
    switch (aHow % 5) {
    case 0:
    case 1: {
        const uint64_t id = ForeignId(aFrames, aItem, aHow % 5 == 1);
        if (extended)
            Gvsp::Header::kExtendedBlockId.Put(d.data(), id);
        else
            Gvsp::Header::kBlockId.Put(d.data(), uint16_t(id));
        break;
    }
    case 2: Gvsp::Header::kStatus.Put(d.data(), uint16_t(0x8001 + 0x000B * (aHow / 5 % 3))); break;   // 8001, 800C, 8017
    case 3: d[4] = uint8_t((d[4] & Gvsp::kExtendedIdFlag) | (aHow / 5 % 2 ? 0 : 9 + aHow / 10 % 7)); break;
    default:
        if (extended)
            Gvsp::Header::kExtendedPacketId.Put(d.data(), 0xFFFFFFF0u);
        else
            Gvsp::Header::kPacketId.Put(d.data(), 0xFFFFF0u);
        break;
    }
}

void Change(const Frames& aFrames, std::vector<Item>& aItems, uint8_t aWhat, uint16_t aAt, uint8_t aArgument) {
    if (aItems.empty()) return;
    const size_t at = aAt % aItems.size();
    Item& item = aItems[at];
    switch (aWhat % 7) {
    case 0: aItems.erase(aItems.begin() + std::ptrdiff_t(at)); break;
    case 1: aItems.insert(aItems.begin() + std::ptrdiff_t(at), Item(item)); break;
    case 2:
        if (at + 1 < aItems.size()) std::swap(aItems[at], aItems[at + 1]);
        break;
    case 3:
        if (item.pause < 0) item.bytes.resize(std::min<size_t>(item.bytes.size(), aArgument));
        break;
    case 4:
        if (item.pause < 0) ChangeHeader(aFrames, item, aArgument);
        break;
    case 5:
        if (item.pause < 0) {
            Item stranger = item;
            for (size_t i = Gvsp::kHeaderSize; i < stranger.bytes.size(); ++i) stranger.bytes[i] ^= 0x5A;
            if (aArgument & 1)
                stranger.port = uint16_t(kDevicePort + 1);
            else
                stranger.address = kStranger;
            aItems.insert(aItems.begin() + std::ptrdiff_t(at) + 1, stranger);
        }
        break;
    default: {
        Item pause;
        pause.pause = aArgument;
        aItems.insert(aItems.begin() + std::ptrdiff_t(at) + 1, pause);
        break;
    }
    }
}

// What a path saw: the blocks it handed back, in turn, and the packets it asked for again.
struct Back {
    uint64_t id;
    uint32_t result, payload, acquired, lost;
    std::vector<std::pair<uint32_t, uint32_t>> missing;
    bool operator==(const Back&) const = default;
};
using Ask = std::tuple<uint64_t, uint32_t, uint32_t, bool>;

// One way in: its buffers, the run (state lock, assembler, clock) and what it saw. The buffers
// handed back are queued again at each pause only, when every path has processed the same datagrams.
struct Path {
    Path(KivoFuzz::QueuedBuffers& aBuffers, KivoFuzz::Reader aIn, bool aResends)
        : buffers(aBuffers), in(aIn), run(aBuffers, in) {
        aBuffers.state->requestResends = aResends;
        run.assembler.SetRequester([this](uint64_t aBlock, uint32_t aFirst, uint32_t aLast, bool aExtended) {
            asks.emplace_back(aBlock, aFirst, aLast, aExtended);
        });
    }
    // Notes the blocks handed back, checks the whole ones against their sender's bytes, and queues
    // their buffers again.
    void TakeBack(const Frames& aFrames) {
        for (const TqStreamLib::Done& done : buffers.state->output) {
            TqBuffer& b = *done.buffer;
            Back back{b.GetBlockID(), done.result, b.GetPayloadLength(), b.GetAcquiredSize(), b.GetLostPacketCount(), {}};
            uint32_t groups = 0;
            b.GetMissingPacketIdsCount(groups);
            for (uint32_t i = 0; i < groups; ++i) {
                uint32_t low = 0, high = 0;
                b.GetMissingPacketIds(i, low, high);
                back.missing.emplace_back(low, high);
            }
            if (done.result == TQ_OK || done.result == TQ_DATA_OVERRUN) {
                const auto sent = aFrames.payloads.find(back.id);
                KIVO_FUZZ_CHECK(sent != aFrames.payloads.end());   // a block some frame is
                KIVO_FUZZ_CHECK(back.acquired == sent->second.size());
                KIVO_FUZZ_CHECK(std::equal(sent->second.begin(), sent->second.end(), b.GetDataPointer()));
            }
            backs.push_back(std::move(back));
        }
        buffers.TakeBack();
    }
    std::vector<uint64_t> Counts() const {
        const auto& c = buffers.state->counters;
        return {c.blocksReceived,   c.blocksIncomplete, c.blocksDropped,     c.blocksTooSmall,
                c.blocksAborted,    c.packetsReceived,  c.packetsMissing,    c.packetsIgnored,
                c.packetsBad,       c.packetsRedundant, c.packetsOutOfOrder, c.packetsRequested,
                c.packetsRecovered};
    }

    KivoFuzz::QueuedBuffers& buffers;
    KivoFuzz::Reader in;   // its copy of the run's settings
    KivoFuzz::GvspRun run;
    std::vector<Back> backs;
    std::vector<Ask> asks;
};

// The stretches of datagrams between pauses (and the pauses' lengths before each).
struct Stretch {
    int pause = 0;
    std::vector<const Item*> datagrams;
};
std::vector<Stretch> Stretches(const std::vector<Item>& aItems) {
    std::vector<Stretch> out(1);
    for (const Item& item : aItems) {
        if (item.pause >= 0)
            out.push_back({item.pause, {}});
        else
            out.back().datagrams.push_back(&item);
    }
    return out;
}

// The reads a kernel with receive offload may make of a stretch: datagrams of one sender and one
// size (the last may be shorter, none empty) joined, where the input lets them, up to aMost bytes
// and 64.
std::vector<std::vector<const Item*>> Reads(const std::vector<const Item*>& aDatagrams, KivoFuzz::Reader& aIn,
                                            size_t aMost = GvspCoalescedBatch::kReadSize) {
    std::vector<std::vector<const Item*>> reads;
    size_t length = 0;
    for (const Item* d : aDatagrams) {
        if (!reads.empty()) {
            const std::vector<const Item*>& read = reads.back();
            const size_t segment = read.front()->bytes.size();
            if (!d->bytes.empty() && d->bytes.size() <= segment && read.back()->bytes.size() == segment &&
                d->address == read.front()->address && d->port == read.front()->port && read.size() < 64 &&
                length + d->bytes.size() <= aMost && !(aIn.U8() & 1)) {
                reads.back().push_back(d);
                length += d->bytes.size();
                continue;
            }
        }
        reads.push_back({d});
        length = d->bytes.size();
    }
    return reads;
}

// Lays the frame of a read (several datagrams: a segmented send) into aBlock as the input tells.
void LayFrame(Bytes& aBlock, const std::vector<const Item*>& aRead, KivoFuzz::Reader& aIn) {
    const uint8_t how = aIn.U8();
    const bool summed = aRead.size() > 1 || !(how & 1);
    const uint16_t segment = uint16_t(aRead.size() > 1 ? aRead.front()->bytes.size() : 0);
    Bytes bytes;
    for (const Item* d : aRead) bytes.insert(bytes.end(), d->bytes.begin(), d->bytes.end());
    auto frame = [&](bool aNoSum) {
        return TqLinkFrame::Write(aRead.front()->address, aRead.front()->port, kLocal, 30303, bytes.data(), bytes.size(), aNoSum);
    };
    if (how & 4) {
        for (uint8_t& b : bytes) b ^= 0xA5;
        Bytes copy = frame(false);
        uint8_t* ip = copy.data() + TqLinkFrame::kEthernetSize;
        const uint16_t sum = TqLinkFrame::Udp::kChecksum.Get(ip + TqLinkFrame::kIpMinSize);
        if (how & 8) TqLinkFrame::Ipv4::kTimeToLive.Put(ip, 1);
        else TqLinkFrame::Udp::kChecksum.Put(ip + TqLinkFrame::kIpMinSize, uint16_t(sum == 1 ? 2 : sum ^ 1));   // not 0: none
        GvspRing::Lay(aBlock, copy.data(), copy.size(), 0, segment);
        for (uint8_t& b : bytes) b ^= 0xA5;
    }
    const Bytes sent = frame(summed || (how & 2));
    GvspRing::Lay(aBlock, sent.data(), sent.size(), summed ? TP_STATUS_CSUMNOTREADY : 0, segment);
}

unsigned BatchSize(KivoFuzz::Reader& aIn) {
    const uint8_t v = aIn.U8();
    return v == 0 ? 32 : 1 + (v - 1) % 32;
}

// ---- seeds ----

// The input's head: settings, chunk hint, form, first block ID and frames ([kind, width, height,
// chunk bytes] each).
KivoFuzz::Writer Head(uint8_t aSettings, uint16_t aHint, uint8_t aForm, uint64_t aFirst,
                      const std::vector<std::tuple<uint8_t, uint8_t, uint8_t, uint16_t>>& aFrames) {
    KivoFuzz::Writer w;
    w.U8(aSettings).U16(aHint).U8(aForm).U64(aFirst).U8(uint8_t(aFrames.size() - 1));
    for (const auto& [kind, width, height, chunks] : aFrames) w.U8(kind).U8(uint8_t(width - 1)).U8(uint8_t(height - 1)).U16(chunks);
    return w;
}

std::vector<Bytes> Seeds() {
    const uint16_t chunk576 = Gvsp::PayloadBytes(576), chunk1500 = Gvsp::PayloadBytes(1500);
    std::vector<Bytes> seeds;
    // A frame that begins a block again after its image timeout, in the buffer planned for the next:
    // frames 10, 11 and 12 (3 payload packets each); 10's trailer again after a pause of 60 ms (the
    // timeout is 50), 11 without its leader, 12 whole, in one batch.
    {
        auto w = Head(5 << 1, chunk576, 0, 9, {{0, 64, 24, 0}, {0, 64, 24, 0}, {0, 64, 24, 0}});
        w.U8(3);
        w.U8(1).U16(4).U8(0);    // 10's trailer twice
        w.U8(6).U16(4).U8(60);   // a pause after the first
        w.U8(0).U16(7).U8(0);    // 11's leader lost
        seeds.push_back(w.Get());
    }
    // A payload packet shorter than a chunk before the last, where only the trailer tells the size:
    // an image with extended chunks of 3 x 1464 bytes at packet size 1500, its packet 2 cut to 100
    // bytes of payload.
    {
        auto w = Head(5 << 1, chunk1500, 2, 6, {{1, 64, 64, 296}});
        w.U8(1).U8(3).U16(2).U8(108);
        seeds.push_back(w.Get());
    }
    // The same with chunk data.
    {
        auto w = Head(5 << 1, chunk1500, 2, 6, {{2, 1, 1, 3 * 1464}});
        w.U8(1).U8(3).U16(2).U8(108);
        seeds.push_back(w.Get());
    }
    // Frames of each kind with each header form, resends on and off, as sent; then lost, doubled,
    // swapped and changed packets and a stranger's copies, in small batches and reads.
    for (uint8_t form : {0, 1 | 4, 2 | 8, 3 | 4 | 8}) {
        const uint16_t hint = uint16_t(Gvsp::PayloadBytes(kPacketSizes[form & 3], form & 4));
        auto w = Head(20 << 1, hint, form, form & 4 ? (uint64_t(1) << 40) : 65533,
                      {{0, 100, 40, 0}, {1, 32, 32, 64}, {2, 1, 1, 900}, {0, 8, 8, 0}, {1, 128, 64, 2000}});
        // A pause after each frame but the last (from the last one back: the items before stay where
        // they are), the buffers queued again there.
        std::vector<size_t> ends;
        {
            KivoFuzz::Bytes head = w.Get();
            KivoFuzz::Reader r(head.data(), head.size());
            r.U8(), r.U16();
            const Frames built = Build(r, r.U8());
            for (size_t i = 0; i + 1 < built.items.size(); ++i)
                if ((built.items[i].origin >> 16) != (built.items[i + 1].origin >> 16)) ends.push_back(i);
        }
        KivoFuzz::Writer sent = w;
        sent.U8(uint8_t(ends.size()));
        for (size_t k = ends.size(); k-- > 0;) sent.U8(6).U16(uint16_t(ends[k])).U8(1);
        seeds.push_back(sent.Get());
        const uint8_t changes[][4] = {{0, 0, 3, 0}, {1, 0, 5, 0}, {2, 0, 7, 0}, {3, 0, 9, 50}, {4, 0, 2, 2},
                                      {4, 0, 12, 0}, {5, 0, 4, 0}, {5, 0, 6, 1}, {6, 0, 10, 30}, {4, 0, 20, 1},
                                      {4, 0, 25, 3}, {6, 0, 40, 200}};
        w.U8(uint8_t(ends.size() + std::size(changes)));
        for (size_t k = ends.size(); k-- > 0;) w.U8(6).U16(uint16_t(ends[k])).U8(1);
        for (const auto& c : changes) w.U8(c[0]).U8(c[1]).U8(c[2]).U8(c[3]);
        for (int i = 0; i < 16; ++i) w.U8(uint8_t(3 + i));
        seeds.push_back(w.Get());
    }
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    static KivoFuzz::QueuedBuffers singleBuffers(kBufferSizes), plainBuffers(kBufferSizes), readBuffers(kBufferSizes),
        ringBuffers(kBufferSizes);
    static auto* plainBatch = new GvspBatch(kPacketBuffer);
    static auto* readBatch = new GvspCoalescedBatch(kPacketBuffer);
    KivoFuzz::Reader in(aData, aSize);
    const KivoFuzz::Reader settings = in;
    in.U8(), in.U16();   // the runs' settings, each path reads them
    const uint8_t form = in.U8();
    const bool resends = form & 8;
    Frames frames = Build(in, form);
    for (unsigned n = in.U8(); n > 0; --n) {
        const uint8_t what = in.U8();
        const uint16_t at = in.U16();
        Change(frames, frames.items, what, at, in.U8());
        if (frames.items.size() > 600) break;
    }
    // Each path's run locks its own state.
    Path single(singleBuffers, settings, resends), plain(plainBuffers, settings, resends),
        reads(readBuffers, settings, resends), ring(ringBuffers, settings, resends);
    plainBatch->SetSource(kDevice, kDevicePort);
    readBatch->SetSource(kDevice, kDevicePort);
    TqStreamLib::GvspRingBatch ringBatch;
    ringBatch.SetSource(kDevice, kDevicePort);
    Path* paths[] = {&single, &plain, &reads, &ring};
    uint64_t strangers = 0;
    for (const Stretch& stretch : Stretches(frames.items)) {
        for (Path* p : paths) {
            p->run.Advance(uint8_t(stretch.pause));
            p->TakeBack(frames);
        }
        for (const Item* d : stretch.datagrams) {
            if (!d->Device()) {
                ++strangers;
                continue;
            }
            single.run.assembler.Process(d->bytes.data(), d->bytes.size(), single.run.now);
        }
        for (size_t next = 0; next < stretch.datagrams.size();) {
            const size_t count = std::min<size_t>(BatchSize(in), stretch.datagrams.size() - next);
            mmsghdr* messages = plainBatch->Prepare(plain.run.assembler);
            for (size_t i = 0; i < count; ++i) {
                const Item& d = *stretch.datagrams[next + i];
                KivoFuzz::Receive(messages[i], d.bytes, 0, false, d.address, d.port);
            }
            plainBatch->Deliver(plain.run.assembler, unsigned(count), plain.run.now);
            next += count;
        }
        const auto all = Reads(stretch.datagrams, in);
        for (size_t next = 0; next < all.size();) {
            const size_t count = std::min<size_t>(BatchSize(in), all.size() - next);
            mmsghdr* messages = readBatch->Prepare(reads.run.assembler);
            for (size_t i = 0; i < count; ++i) {
                const std::vector<const Item*>& read = all[next + i];
                Bytes bytes;
                for (const Item* d : read) bytes.insert(bytes.end(), d->bytes.begin(), d->bytes.end());
                const size_t segment = read.size() > 1 ? read.front()->bytes.size() : 0;
                KivoFuzz::Receive(messages[i], bytes, segment, false, read.front()->address, read.front()->port);
            }
            readBatch->Deliver(reads.run.assembler, unsigned(count), reads.run.now);
            next += count;
        }
        const auto frames = Reads(stretch.datagrams, in, 0xFFFF - TqLinkFrame::kIpMinSize - TqLinkFrame::kUdpSize);
        for (size_t next = 0; next < frames.size();) {
            Bytes block;
            for (const size_t end = std::min(frames.size(), next + BatchSize(in)); next < end; ++next) LayFrame(block, frames[next], in);
            GvspRing::Walk(
                block.data(), block.size(),
                [&](const TqLinkFrame::Datagram& aDatagram) {
                    ringBatch.Take(ring.run.assembler, aDatagram, ring.run.now, [] { return false; });
                },
                [] { KIVO_FUZZ_CHECK(false); });   // no frame is cut
        }
    }
    for (Path* p : paths) {
        p->run.Advance(255);
        for (int i = 0; i < 25; ++i) p->run.Advance(255);   // past the longest image timeout
        p->TakeBack(frames);
    }
    for (Path* p : {&plain, &reads, &ring}) {
        KIVO_FUZZ_CHECK(p->backs == single.backs);
        KIVO_FUZZ_CHECK(p->Counts() == single.Counts());
        KIVO_FUZZ_CHECK(p->asks == single.asks);
        KIVO_FUZZ_CHECK(p->buffers.state->counters.packetsForeign == strangers);
    }
    KIVO_FUZZ_CHECK(single.buffers.state->counters.packetsForeign == 0);
    for (Path* p : paths) p->run.Finish();
    return 0;
}
