// GVSP datagrams into the GigE Vision receiver's block assembly (TqStreamLib::GvspAssembler), with
// four buffers queued (no memory, 100 bytes, 4 KiB, 64 KiB) and queued again as blocks hand them back.
//
// Input: [settings u8][chunk hint u16] then records of [time u8][length u16][datagram]. The seeds hold
// the engine's blocks of every payload type a software device sends. Settings
// bit 0: wait for the leader; bits 1-7: the image timeout in tens of milliseconds. Time advances the
// clock by that many milliseconds and hands back the blocks that timed out before the datagram.
// Checked besides the sanitizers: a handed-back buffer states no more acquired bytes or payload than
// its memory holds, its groups of missing packets run forwards and its chunks are a whole chunk layout
// read again through the chunk codec; no buffer is lost. Each datagram
// is also read through every view of the streaming codec (extended IDs, multi-part, chunk data),
// whose parts must lie within it.
#include "TqDeviceEngine.h"
#include "TqGvspAssembler.h"
#include "fuzz_stream.h"

#include <algorithm>

using KivoFuzz::Bytes;
namespace Gvsp = TqGvsp;

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

// A multi-part block with extended IDs: a leader of two parts, a payload packet of each, a trailer.
std::vector<Bytes> MultiPartBlock(uint64_t aBlock) {
    Bytes leader(Gvsp::kExtendedHeaderSize + Gvsp::MultiPartLeader::SizeFor(2)),
        trailer(Gvsp::kExtendedHeaderSize + Gvsp::MultiPartTrailer::SizeFor(2));
    std::vector<Bytes> packets;
    Gvsp::Header::WriteExtended(leader.data(), 0, 0, Gvsp::kFormatLeader, aBlock, 0, 2);
    uint8_t* body = leader.data() + Gvsp::kExtendedHeaderSize;
    Gvsp::Leader::Write(body, Gvsp::kPayloadMultiPart, 5);
    Gvsp::Header::WriteExtended(trailer.data(), 0, 0, Gvsp::kFormatTrailer, aBlock, 3);
    Gvsp::Trailer::Write(trailer.data() + Gvsp::kExtendedHeaderSize, Gvsp::kPayloadMultiPart);
    for (uint8_t part = 0; part < 2; ++part) {
        Gvsp::PartEntry::Fields entry;
        entry.dataType = 1;   // a 2-D image
        entry.partLength = 16;
        entry.image = {TqEngine::Pfnc::kMono8, 4, 4};
        Gvsp::PartEntry::Write(Gvsp::MultiPartLeader::PartAt(body, part), entry);
        Gvsp::PartTrailer::Write(Gvsp::MultiPartTrailer::PartAt(trailer.data() + Gvsp::kExtendedHeaderSize, part), 1,
                                 16, 4);
        Bytes payload(Gvsp::kExtendedHeaderSize + Gvsp::MultiPartPayload::kDataAt + 16, part);
        Gvsp::Header::WriteExtended(payload.data(), 0, 0, Gvsp::kFormatMultiPart, aBlock, 1u + part);
        Gvsp::MultiPartPayload::Write(payload.data() + Gvsp::kExtendedHeaderSize, part, 0, 16u * part);
        packets.push_back(payload);
    }
    packets.insert(packets.begin(), leader);
    packets.push_back(trailer);
    return packets;
}

// Reads a datagram through every view of the streaming codec, as a receiver that takes every form
// would: none may read outside it (the sanitizers watch), and what they find lies within it.
void ReadThroughViews(const Bytes& aDatagram) {
    const auto header = Gvsp::Header::Of(aDatagram.data(), aDatagram.size());
    if (!header) return;
    const Gvsp::Bytes body = header->Body();
    KIVO_FUZZ_CHECK(body.data() + body.size() == aDatagram.data() + aDatagram.size());
    uint64_t sum = header->BlockId() + header->PacketId() + header->Flags() + header->PartCount();
    if (const auto leader = Gvsp::ImageLeader::Of(body)) sum += leader->Image().width + leader->Timestamp();
    if (const auto leader = Gvsp::SizedLeader::Of(body)) sum += leader->PayloadSize();
    if (const auto leader = Gvsp::MultiPartLeader::Of(body)) {
        for (size_t i = 0; i < leader->PartCount(); ++i)
            sum += leader->Part(i).PartLength() + leader->Part(i).Image().paddingY + leader->Part(i).RegionId();
    }
    if (const auto payload = Gvsp::MultiPartPayload::Of(body)) {
        KIVO_FUZZ_CHECK(payload->Data().data() + payload->Data().size() == body.data() + body.size());
        sum += payload->Offset();
    }
    if (const auto trailer = Gvsp::ImageTrailer::Of(body))
        sum += trailer->SizeY() + trailer->ChunkDataLength().value_or(0) + trailer->ChunkLayoutId().value_or(0);
    if (const auto trailer = Gvsp::ChunkDataTrailer::Of(body)) sum += trailer->ChunkLayoutId().value_or(0);
    if (const auto trailer = Gvsp::MultiPartTrailer::Of(body)) {
        for (size_t i = 0; i < trailer->PartCount(); ++i) sum += trailer->Part(i).SizeY() + trailer->Part(i).PartLength();
    }
    KivoFuzz::Touch(&sum, sizeof sum);
}

// The payload types a software device sends, as the engine makes their packets: an image under a
// 64-bit block ID, an image with chunks, chunk data, a multi-part block of two parts and one of twelve
// (a large leader), and an image whose trailer is marked DATA_OVERRUN.
std::vector<std::vector<Bytes>> DeviceBlocks() {
    std::vector<std::vector<Bytes>> blocks;
    Bytes image(24 * 20), chunks(TqChunk::kTrailerSize);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i);
    TqChunk::Trailer::Write(chunks.data(), 0, uint32_t(image.size()));   // the image's own chunk
    TqChunk::Append(chunks, 0x4001, Bytes{1, 2, 3, 4});
    TqEngine::Frame frame;
    frame.width = 24;
    frame.height = 20;
    frame.image = image.data();
    frame.imageSize = image.size();
    frame.blockId = (uint64_t(1) << 40) + 1;
    blocks.push_back(TqEngine::BuildPackets(frame, 7, 576, true));
    frame.blockId = 2;
    frame.chunks = chunks.data();
    frame.chunkSize = chunks.size();
    frame.chunkLayoutId = 9;
    blocks.push_back(TqEngine::BuildPackets(frame, 7, 576));
    frame.overrun = true;
    frame.blockId = 5;
    blocks.push_back(TqEngine::BuildPackets(frame, 7, 576));
    TqEngine::Frame chunkData;
    chunkData.blockId = 3;
    chunkData.payloadType = Gvsp::kPayloadChunkData;
    chunkData.chunks = chunks.data() + TqChunk::kTrailerSize;
    chunkData.chunkSize = chunks.size() - TqChunk::kTrailerSize;
    blocks.push_back(TqEngine::BuildPackets(chunkData, 7, 576));
    for (size_t count : {size_t(2), size_t(12)}) {
        TqEngine::Frame parts;
        parts.blockId = 4 + count;
        parts.payloadType = Gvsp::kPayloadMultiPart;
        for (size_t n = 0; n < count; ++n) {
            TqEngine::FramePart part;
            part.entry.dataType = n == count - 1 ? 10 : 1;   // images, then chunk data
            part.entry.image = {TqEngine::Pfnc::kMono8, 8, 5};
            part.data = image.data() + 20 * n;
            part.size = 40;
            part.sizeY = 5;
            parts.parts.push_back(part);
        }
        blocks.push_back(TqEngine::BuildPackets(parts, 7, 1500));
    }
    return blocks;
}

// A raw data block of aSize bytes (1, 2, ...) in one payload packet: leader, payload, trailer.
std::vector<Bytes> RawBlock(uint16_t aBlock, uint8_t aSize) {
    Bytes leader(Gvsp::kHeaderSize + Gvsp::SizedLeader::kSize), payload(Gvsp::kHeaderSize + aSize),
        trailer(Gvsp::kHeaderSize + Gvsp::ImageTrailer::kSize, 0);
    Gvsp::Header::Write(leader.data(), 0, aBlock, Gvsp::kFormatLeader, 0);
    Gvsp::SizedLeader::Write(leader.data() + Gvsp::kHeaderSize, Gvsp::kPayloadRawData, 1, aSize);
    Gvsp::Header::Write(payload.data(), 0, aBlock, Gvsp::kFormatPayload, 1);
    for (uint8_t i = 0; i < aSize; ++i) payload[Gvsp::kHeaderSize + i] = uint8_t(i + 1);
    Gvsp::Header::Write(trailer.data(), 0, aBlock, Gvsp::kFormatTrailer, 2);
    Gvsp::Trailer::Write(trailer.data() + Gvsp::kHeaderSize, Gvsp::kPayloadRawData);
    return {leader, payload, trailer};
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
    for (const Bytes& p : RawBlock(9, 16)) damaged.push_back({0, p});
    Bytes extended(Gvsp::kExtendedHeaderSize + 4, 0xEE);   // a payload packet with extended IDs
    Gvsp::Header::WriteExtended(extended.data(), 0, 0, Gvsp::kFormatPayload, 10, 1);
    damaged.push_back({0, extended});
    seeds.push_back(seed(1 | 100 << 1, damaged));
    std::vector<std::pair<uint8_t, Bytes>> multiPart;
    for (const Bytes& p : MultiPartBlock(0x100000001ull)) multiPart.push_back({0, p});
    seeds.push_back(seed(100 << 1, multiPart));
    for (const std::vector<Bytes>& block : DeviceBlocks()) {
        std::vector<std::pair<uint8_t, Bytes>> sent;
        for (const Bytes& p : block) sent.push_back({0, p});
        seeds.push_back(seed(100 << 1, sent));
        std::reverse(sent.begin(), sent.end());   // the leader last: its parts placed after the packets
        seeds.push_back(seed(100 << 1, sent));
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
        const Bytes datagram = in.Record();
        run.Advance(time);
        ReadThroughViews(datagram);
        run.assembler.Process(datagram.data(), datagram.size(), run.now);
        buffers.TakeBack();
    }
    run.Finish();
    return 0;
}
