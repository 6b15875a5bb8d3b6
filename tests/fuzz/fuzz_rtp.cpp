// RTP into the RTP receiver's frame assembly (TqStreamLib::RtpDepacketizer), as datagrams or as a TCP
// byte stream cut by RtpStreamFramer, with four buffers queued (no memory, 200 bytes, 5000 bytes,
// 100 KiB) and queued again as frames hand them back.
//
// Input: [format u8][width u16][height u16][padding u8][mode u8] then records of [time u8][length u16]
// [bytes]. Format: 0 none, 1 H.264, else raw video of pixel type (format - 2) of a list (some without a
// whole pgroup: no format). Mode bit 0: the records are pieces of one TCP byte stream, else each is a
// datagram; bits 1-7: the image timeout in tens of milliseconds. Time advances the clock by that
// many milliseconds and hands back a frame that timed out first.
// Checked besides the sanitizers: a handed-back buffer states no more acquired bytes or payload than
// its memory holds; a packet's payload lies inside it; no buffer is lost.
#include "TqRtpDepacketizer.h"
#include "TqRtpPacket.h"
#include "fuzz_stream.h"

using KivoFuzz::Bytes;
using TqStreamLib::RtpDepacketizer;
using TqStreamLib::RtpFormat;

namespace {

const TqPixelType kPixelTypes[] = {TqPixelMono8,   TqPixelMono16,         TqPixelRGB8,     TqPixelRGBa8,
                                   TqPixelBayerRG8, TqPixelYUV422_8_UYVY, TqPixelYUV411_8_UYYVYY, TqPixelRGB16,
                                   TqPixelRGB565p, TqPixelMono12Packed,   TqPixelMono10p,  TqPixelYUV8_UYV};

// ---- seeds: the packets of the receiver's tests ----

struct Packets {
    uint16_t sequence = 0xFFF0;   // close to the wrap, as the tests' sender starts
    uint32_t timestamp = 3000;
    Bytes Rtp(const Bytes& aPayload, bool aMarker) {
        KivoFuzz::Writer w;
        w.U8(0x80).U8((aMarker ? 0x80 : 0) | 96).U16(sequence++).U32(timestamp).U32(0x11223344);
        return w.Raw(aPayload).Get();
    }
    // A raw frame of aLines lines of aBytes bytes (a pixel a byte), one line a packet.
    std::vector<Bytes> Raw(uint16_t aLines, uint16_t aBytes) {
        std::vector<Bytes> out;
        for (uint16_t line = 0; line < aLines; ++line) {
            KivoFuzz::Writer payload;
            payload.U16(0).U16(aBytes).U16(line).U16(0);
            for (uint16_t i = 0; i < aBytes; ++i) payload.U8(static_cast<uint8_t>(line * 7 + i));
            out.push_back(Rtp(payload.Get(), line + 1 == aLines));
        }
        timestamp += 3000;
        return out;
    }
};

Bytes Seed(uint8_t aFormat, uint16_t aWidth, uint16_t aHeight, uint8_t aMode, const std::vector<Bytes>& aPackets) {
    KivoFuzz::Writer w;
    w.U8(aFormat).U16(aWidth).U16(aHeight).U8(0).U8(aMode);
    for (const Bytes& p : aPackets) w.U8(1).Record(p);
    return w.Get();
}

std::vector<Bytes> Seeds() {
    std::vector<Bytes> seeds;
    Packets raw;
    std::vector<Bytes> frames = raw.Raw(8, 16);
    for (const Bytes& p : raw.Raw(8, 16)) frames.push_back(p);
    seeds.push_back(Seed(2, 16, 8, 100 << 1, frames));   // Mono8 16 x 8, two frames
    std::vector<Bytes> lost = raw.Raw(8, 16);
    lost.erase(lost.begin() + 3);
    std::swap(lost[1], lost[2]);
    seeds.push_back(Seed(2, 16, 8, 100 << 1, lost));
    // Two line headers in one packet, one of them outside the frame.
    KivoFuzz::Writer two;
    two.U16(0).U16(4).U16(0).U16(0x8000).U16(4).U16(99).U16(0);
    for (int i = 0; i < 8; ++i) two.U8(static_cast<uint8_t>(i));
    seeds.push_back(Seed(2, 4, 2, 100 << 1, {raw.Rtp(two.Get(), true)}));
    // H.264: a single NAL unit, a STAP-A of two, and a NAL unit in three FU-A fragments.
    Packets h264;
    std::vector<Bytes> units = {h264.Rtp({0x67, 0x42, 0x00, 0x1F}, false),
                                h264.Rtp({0x18, 0x00, 0x02, 0x68, 0xCE, 0x00, 0x03, 0x65, 0x88, 0x80}, false),
                                h264.Rtp({0x7C, 0x85, 1, 2, 3}, false), h264.Rtp({0x7C, 0x05, 4, 5, 6}, false),
                                h264.Rtp({0x7C, 0x45, 7, 8, 9}, true)};
    seeds.push_back(Seed(1, 0, 0, 100 << 1, units));
    // The same frame framed for TCP, in pieces that cut the lengths.
    KivoFuzz::Writer stream;
    for (const Bytes& p : Packets().Raw(4, 8)) stream.Record(p);
    const Bytes& bytes = stream.Get();
    std::vector<Bytes> pieces;
    for (size_t at = 0; at < bytes.size(); at += 7) pieces.emplace_back(bytes.begin() + at, bytes.begin() + std::min(at + 7, bytes.size()));
    seeds.push_back(Seed(2, 8, 4, 1 | 100 << 1, pieces));
    // RTCP, padding, an extension, CSRCs.
    seeds.push_back(Seed(2, 8, 4, 100 << 1,
                         {{0x80, 200, 0, 6, 0, 0, 0, 1}, {0xA0, 96, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 9, 9, 2},
                          {0x91, 96, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0xBE, 0xDE, 0, 1, 1, 2, 3, 4}}));
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    static KivoFuzz::QueuedBuffers buffers({0, 200, 5000, 100 * 1024});
    KivoFuzz::Reader in(aData, aSize);
    const uint8_t kind = in.U8();
    const uint16_t width = in.U16(), height = in.U16();
    const uint8_t padding = in.U8(), mode = in.U8();
    RtpFormat format;
    if (kind == 1) format.kind = RtpFormat::Kind::H264;
    else if (kind > 1) RtpFormat::Raw(width, height, kPixelTypes[(kind - 2) % (sizeof kPixelTypes / sizeof kPixelTypes[0])], padding, format);

    std::lock_guard<std::mutex> guard(buffers.state->lock);
    buffers.Start(10u * (mode >> 1));
    RtpDepacketizer depacketizer(*buffers.state, format);
    TqStreamLib::RtpStreamFramer framer;
    auto now = RtpDepacketizer::Clock::time_point() + std::chrono::hours(1);
    while (!in.Empty()) {
        const uint8_t time = in.U8();
        const Bytes bytes = in.Record();
        if (time) {
            now += std::chrono::milliseconds(time);
            depacketizer.Expire(now);
        }
        if (mode & 1) {
            framer.Feed(bytes.data(), bytes.size(), [&](const uint8_t* aPacket, size_t aLength) {
                depacketizer.Process(aPacket, aLength, now);
            });
            KIVO_FUZZ_CHECK(framer.Pending() < 65536 + 2);
        } else {
            TqStreamLib::RtpPacket packet;
            if (TqStreamLib::ParseRtp(bytes.data(), bytes.size(), packet))
                KIVO_FUZZ_CHECK(packet.payload >= bytes.data() && packet.payload + packet.length <= bytes.data() + bytes.size());
            depacketizer.Process(bytes.data(), bytes.size(), now);
        }
        buffers.TakeBack();
    }
    depacketizer.AbortAll();
    buffers.CheckAllBack();
    return 0;
}
