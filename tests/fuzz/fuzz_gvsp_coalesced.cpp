// Reads with UDP receive offload into the GigE Vision receiver: each read split back into datagrams
// at its segment size (TqStreamLib::SplitCoalesced) and delivered to the block assembly through the
// receiver's batch of coalesced reads (TqStreamLib::GvspCoalescedBatch), whose payloads may be received
// straight into their places in the four queued buffers (no memory, 100 bytes, 4 KiB, 64 KiB).
//
// Input: [settings u8][chunk hint u16][packet buffer u16] then batches of [time u8][reads u8] and,
// for each read (1 to 32), [segment size u16][flags u8][read] with the read a record. Settings bit 0:
// wait for the leader; bits 1-7: the image timeout in tens of milliseconds. Time advances the clock
// by that many milliseconds and hands back the blocks that timed out before the batch. Flags bit 0:
// the kernel cut the read. The read's bytes are scattered over the message's vectors as the kernel
// does. Checked besides the sanitizers: the split's datagrams follow one another from the read's
// start to its end, each of the segment size but the last; the buffers' promises (fuzz_stream.h).
#include "TqDeviceEngine.h"
#include "TqGvspAssembler.h"
#include "TqLoopback.h"
#include "fuzz_stream.h"

#include <algorithm>

using KivoFuzz::Bytes;
using TqStreamLib::DatagramView;
using TqStreamLib::GvspCoalescedBatch;

namespace {

std::vector<Bytes> Frame(uint32_t aWidth, uint32_t aHeight, uint16_t aBlock, uint32_t aPacketSize) {
    TqEngine::FrameLayout layout;
    layout.width = aWidth;
    layout.height = aHeight;
    layout.packetSize = aPacketSize;
    return TqEngine::BuildFrame(layout, aBlock, 0x0102030405060708ull);
}

// The split's promises for a read of aLength bytes at aSegment.
void CheckSplit(const uint8_t* aData, size_t aLength, size_t aSegment) {
    size_t at = 0, count = 0;
    const size_t told = TqStreamLib::SplitCoalesced(aData, aLength, aSegment, [&](DatagramView aView) {
        KIVO_FUZZ_CHECK(aView.data == aData + at);
        KIVO_FUZZ_CHECK(aView.size <= aLength - at);
        KIVO_FUZZ_CHECK(aSegment == 0 || aSegment >= aLength || aView.size == aSegment || at + aView.size == aLength);
        at += aView.size;
        ++count;
    });
    KIVO_FUZZ_CHECK(at == aLength && told == count);
}

// Frames as a coalescing sender sends them: leader and trailer alone, payload packets in runs of
// TqNet::RunLength from packet 1, a batch a frame.
std::vector<Bytes> Seeds() {
    std::vector<Bytes> seeds;
    for (const auto& [width, height, packet, block] :
         {std::tuple<uint32_t, uint32_t, uint32_t, uint16_t>{32, 24, 576, 1}, {64, 60, 576, 65535}, {120, 30, 1000, 7}}) {
        for (bool order : {true, false}) {
            const std::vector<Bytes> frame = Frame(width, height, block, packet);
            const uint16_t chunk = TqEngine::Gvsp::PayloadBytes(packet);
            KivoFuzz::Writer w;
            w.U8(100 << 1).U16(chunk).U16(1500);
            std::vector<std::pair<uint16_t, Bytes>> reads{{0, frame.front()}};
            const size_t run = TqNet::RunLength(frame[1].size());
            for (size_t p = 1; p + 1 < frame.size(); p += run) {
                Bytes read;
                const size_t end = std::min(frame.size() - 1, p + run);
                for (size_t q = p; q < end; ++q) read.insert(read.end(), frame[q].begin(), frame[q].end());
                reads.push_back({end - p > 1 ? uint16_t(frame[p].size()) : 0, read});
            }
            reads.push_back({0, frame.back()});
            if (!order) std::reverse(reads.begin(), reads.end());
            for (size_t r = 0; r < reads.size(); r += 8) {
                const size_t count = std::min<size_t>(8, reads.size() - r);
                w.U8(0).U8(uint8_t(count));
                for (size_t k = r; k < r + count; ++k) w.U16(reads[k].first).U8(0).Record(reads[k].second);
            }
            seeds.push_back(w.Get());
        }
    }
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    static KivoFuzz::QueuedBuffers buffers({0, 100, 4096, 65536});
    KivoFuzz::Reader in(aData, aSize);
    KivoFuzz::GvspRun run(buffers, in);
    auto batch = std::make_unique<GvspCoalescedBatch>(std::max<uint16_t>(in.U16(), 8));
    while (!in.Empty()) {
        const uint8_t time = in.U8();
        const unsigned reads = std::clamp<unsigned>(in.U8(), 1, GvspCoalescedBatch::kReads);
        run.Advance(time);
        buffers.TakeBack();
        mmsghdr* messages = batch->Prepare(run.assembler);
        for (unsigned i = 0; i < reads; ++i) {
            const uint16_t segment = in.U16();
            const bool cut = in.U8() & 1;
            const Bytes read = in.Record();
            CheckSplit(read.data(), read.size(), segment);
            KivoFuzz::Receive(messages[i], read, segment, cut);
        }
        batch->Deliver(run.assembler, reads, run.now);
        buffers.TakeBack();
    }
    run.Finish();
    return 0;
}
