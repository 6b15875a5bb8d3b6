// The GigE Vision receiver's packet ring: blocks as the kernel lays them out (a block header, then
// each frame behind a packet header with its offsets and lengths), walked by TqStreamLib::GvspRing,
// each frame read as a loopback link frame (TqLinkFrame) and its datagram delivered to the block
// assembly with the four queued buffers of the other GVSP targets (no memory, 100 bytes, 4 KiB,
// 64 KiB).
//
// Input: [settings u8][chunk hint u16] then blocks of [time u8][frames u8] and, for each frame,
// [flags u8][pad u8][cut u8][next u16][record]. Settings as in the other GVSP targets (fuzz_stream.h);
// time advances the clock by that many milliseconds before the block. Flags bit 0: the record is the
// virtio-net header before the frame (its first 10 bytes) and the whole frame as the kernel copied it;
// otherwise it is a datagram wrapped in a loopback frame from the device, its checksums written.
// Bits 3 and 4: the packet status says the UDP checksum is left to finish, or was checked. Bit 1: the packet header's offset to the next frame is `next` instead of the right
// one; bit 2: so is the block's offset to its first frame. `pad` moves the frame behind its header,
// `cut` shortens what the kernel copied of it. Checked besides the sanitizers: every datagram handed
// lies inside the block; the buffers' promises (fuzz_stream.h).
#include "TqDeviceEngine.h"
#include "TqGvspRing.h"
#include "TqLinkFrame.h"
#include "fuzz_stream.h"

#include <cstring>

using KivoFuzz::Bytes;
using TqStreamLib::GvspRing;

namespace {

constexpr uint32_t kDevice = 0x7F000002, kLocal = 0x7F000001;
constexpr size_t kAlign = TPACKET_ALIGNMENT;

size_t Aligned(size_t aSize) { return (aSize + kAlign - 1) / kAlign * kAlign; }

// A block of the frames: header, then each frame behind its packet header.
struct Frame {
    uint8_t flags, pad, cut;
    uint16_t next;
    Bytes record;
};

Bytes Block(const std::vector<Frame>& aFrames, uint16_t aFirst, bool aFirstGiven) {
    Bytes block(Aligned(sizeof(tpacket_block_desc)), 0);
    const size_t first = block.size();
    for (const Frame& f : aFrames) {
        const size_t head = f.flags & 1 ? std::min(sizeof(TqLinkFrame::Offload), f.record.size()) : 0;
        const Bytes frame = f.flags & 1 ? Bytes(f.record.begin() + long(head), f.record.end())
                                        : TqLinkFrame::Write(kDevice, 20202, kLocal, 30303, f.record.data(), f.record.size());
        const size_t at = block.size();
        tpacket3_hdr h{};
        h.tp_status = (f.flags & 8 ? TP_STATUS_CSUMNOTREADY : 0) | (f.flags & 16 ? TP_STATUS_CSUM_VALID : 0);
        h.tp_mac = static_cast<uint16_t>(sizeof(tpacket3_hdr) + sizeof(TqLinkFrame::Offload) + f.pad);
        h.tp_len = static_cast<uint32_t>(frame.size());
        h.tp_snaplen = static_cast<uint32_t>(frame.size() - std::min<size_t>(f.cut, frame.size()));
        const size_t whole = Aligned(h.tp_mac + h.tp_snaplen);
        h.tp_next_offset = f.flags & 2 ? f.next : static_cast<uint32_t>(whole);
        block.resize(at + whole, 0);
        std::memcpy(block.data() + at, &h, sizeof h);
        if (h.tp_snaplen) std::memcpy(block.data() + at + h.tp_mac, frame.data(), h.tp_snaplen);
        if (head) std::memcpy(block.data() + at + h.tp_mac - head, f.record.data(), head);
    }
    auto* desc = reinterpret_cast<tpacket_block_desc*>(block.data());
    desc->hdr.bh1.num_pkts = static_cast<uint32_t>(aFrames.size());
    desc->hdr.bh1.offset_to_first_pkt = aFirstGiven ? aFirst : static_cast<uint32_t>(first);
    desc->hdr.bh1.blk_len = static_cast<uint32_t>(block.size());
    return block;
}

std::vector<Bytes> Seeds() {
    std::vector<Bytes> seeds;
    for (const auto& [width, height, packet] : {std::tuple<uint32_t, uint32_t, uint32_t>{32, 24, 576}, {120, 30, 1000}}) {
        TqEngine::FrameLayout layout;
        layout.width = width;
        layout.height = height;
        layout.packetSize = packet;
        const std::vector<Bytes> datagrams = TqEngine::BuildFrame(layout, 1, 0x0102030405060708ull);
        KivoFuzz::Writer w;
        w.U8(100 << 1).U16(uint16_t(TqEngine::Gvsp::PayloadBytes(packet)));
        for (size_t d = 0; d < datagrams.size(); d += 16) {
            const size_t count = std::min<size_t>(16, datagrams.size() - d);
            w.U8(0).U8(uint8_t(count));
            for (size_t k = d; k < d + count; ++k) w.U8(0).U8(0).U8(0).U16(0).Record(datagrams[k]);
        }
        seeds.push_back(w.Get());
    }
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    static KivoFuzz::QueuedBuffers buffers({0, 100, 4096, 65536});
    KivoFuzz::Reader in(aData, aSize);
    KivoFuzz::GvspRun run(buffers, in);
    while (!in.Empty()) {
        const uint8_t time = in.U8();
        const unsigned count = in.U8();
        std::vector<Frame> frames;
        bool firstGiven = false;
        uint16_t first = 0;
        for (unsigned i = 0; i < count && !in.Empty(); ++i) {
            Frame f{in.U8(), in.U8(), in.U8(), in.U16(), {}};
            f.record = in.Record();
            if (f.flags & 4) {
                firstGiven = true;
                first = f.next;
            }
            frames.push_back(std::move(f));
        }
        const Bytes block = Block(frames, first, firstGiven);
        run.Advance(time);
        buffers.TakeBack();
        GvspRing::Walk(
            block.data(), block.size(),
            [&](const TqLinkFrame::Datagram& aDatagram) {
                KIVO_FUZZ_CHECK(aDatagram.data >= block.data() && aDatagram.size <= block.size() &&
                                aDatagram.data + aDatagram.size <= block.data() + block.size());
                run.assembler.Process(aDatagram.data, aDatagram.size, run.now);
            },
            [] {});
        buffers.TakeBack();
    }
    run.Finish();
    return 0;
}
