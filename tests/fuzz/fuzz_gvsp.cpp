// GVSP datagrams into the GigE Vision receiver's block assembly (TqStreamLib::GvspAssembler), with
// four buffers queued (no memory, 100 bytes, 4 KiB, 64 KiB) and queued again as blocks hand them back.
//
// Input: [settings u8][chunk hint u16] then records of [time u8][length u16][datagram]. Settings
// bit 0: wait for the leader; bits 1-7: the image timeout in tens of milliseconds. Time advances the
// clock by that many milliseconds and hands back the blocks that timed out before the datagram.
// Checked besides the sanitizers: a handed-back buffer states no more acquired bytes or payload than
// its memory holds, and its groups of missing packets run forwards; no buffer is lost.
#include "TqDeviceEngine.h"
#include "TqGvspAssembler.h"
#include "fuzz_stream.h"

using KivoFuzz::Bytes;
using TqStreamLib::GvspAssembler;

namespace {

// ---- seeds: frames as the device engine sends them, and the receiver tests' damage ----

std::vector<Bytes> Frame(uint32_t aWidth, uint32_t aHeight, uint32_t aFormat, uint16_t aBlock) {
    TqEngine::FrameLayout layout;
    layout.width = aWidth;
    layout.height = aHeight;
    layout.pixelFormat = aFormat;
    layout.packetSize = 576;
    return TqEngine::BuildFrame(layout, aBlock, 0x0102030405060708ull);
}

std::vector<Bytes> Seeds() {
    const uint16_t chunk = TqEngine::Gvsp::PayloadBytes(576);
    auto seed = [&](uint8_t aSettings, const std::vector<std::pair<uint8_t, Bytes>>& aDatagrams) {
        KivoFuzz::Writer w;
        w.U8(aSettings).U16(chunk);
        for (const auto& [time, datagram] : aDatagrams) w.U8(time).Record(datagram);
        return w.Get();
    };
    std::vector<Bytes> seeds;
    std::vector<std::pair<uint8_t, Bytes>> whole, reordered, damaged;
    for (const Bytes& p : Frame(32, 24, TqEngine::Pfnc::kMono8, 1)) whole.push_back({0, p});
    for (const Bytes& p : Frame(16, 8, TqEngine::Pfnc::kMono16, 65535)) whole.push_back({1, p});
    for (const Bytes& p : Frame(16, 8, TqEngine::Pfnc::kRGB8, 1)) whole.push_back({1, p});
    seeds.push_back(seed(100 << 1, whole));
    std::vector<Bytes> frame = Frame(40, 40, TqEngine::Pfnc::kMono8, 7);
    for (size_t i = frame.size(); i-- > 0;) reordered.push_back({0, frame[i]});
    reordered.push_back({0, frame[1]});
    seeds.push_back(seed(100 << 1, reordered));
    for (size_t i = 0; i < frame.size(); ++i)
        if (i != 2) damaged.push_back({0, frame[i]});   // a packet lost: the block times out
    damaged.push_back({150, Frame(200, 100, TqEngine::Pfnc::kMono8, 8)[0]});   // larger than any buffer
    Bytes raw = {0, 0, 0, 9, 1, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 16};   // raw data, 16 bytes
    damaged.push_back({0, raw});
    damaged.push_back({0, {0, 0, 0, 9, 3, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}});
    damaged.push_back({0, {0, 0, 0, 9, 2, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0}});
    damaged.push_back({0, {0, 0, 0, 10, 0x83, 0, 0, 1}});   // an extended ID
    seeds.push_back(seed(1 | 100 << 1, damaged));
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    static KivoFuzz::QueuedBuffers buffers({0, 100, 4096, 65536});
    KivoFuzz::Reader in(aData, aSize);
    const uint8_t settings = in.U8();
    std::lock_guard<std::mutex> guard(buffers.state->lock);
    buffers.Start(10u * (settings >> 1));
    buffers.state->waitForLeader = settings & 1;
    GvspAssembler assembler(*buffers.state);
    assembler.SetChunkHint(in.U16());
    auto now = GvspAssembler::Clock::time_point() + std::chrono::hours(1);
    while (!in.Empty()) {
        const uint8_t time = in.U8();
        const Bytes datagram = in.Record();
        if (time) {
            now += std::chrono::milliseconds(time);
            assembler.Expire(now);
        }
        assembler.Process(datagram.data(), datagram.size(), now);
        buffers.TakeBack();
    }
    assembler.AbortAll();
    buffers.CheckAllBack();
    return 0;
}
