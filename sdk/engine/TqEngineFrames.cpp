// Test patterns and the GVSP packets of a frame.
#include "TqEngineImpl.h"

#include <algorithm>
#include <cstring>

namespace TqEngine {

size_t ImageBytes(const FrameLayout& aLayout) {
    return size_t(TqPixel::LineBytes(aLayout.width, Pfnc::BitsPerPixel(aLayout.pixelFormat))) * aLayout.height;
}

void FillPattern(const FrameLayout& aLayout, uint16_t aFrame, std::vector<uint8_t>& aImage) {
    aImage.resize(ImageBytes(aLayout));
    FillPattern(aLayout, aFrame, aImage.data());
}

void Block::Fill(uint8_t* aDestination) const {
    if (!frame) return FillPattern(layout, uint16_t(blockId), aDestination);
    // The parts of a multi-part frame one after the other; else the image, then the chunks.
    for (const FramePart& part : frame->parts) {
        if (part.size) std::memcpy(aDestination, part.data, part.size);
        aDestination += part.size;
    }
    if (frame->imageSize && frame->image) std::memcpy(aDestination, frame->image, frame->imageSize);
    if (frame->chunkSize) std::memcpy(aDestination + frame->imageSize, frame->chunks, frame->chunkSize);
}

namespace {

// Writes every pixel of the frame with aPixel(out, x, y), which returns where the next pixel goes.
template <class Pixel>
void EachPixel(const FrameLayout& aLayout, uint8_t* aOut, Pixel aPixel) {
    for (uint32_t row = 0; row < aLayout.height; ++row) {
        const uint32_t y = row + aLayout.offsetY;
        for (uint32_t column = 0; column < aLayout.width; ++column) aOut = aPixel(aOut, column + aLayout.offsetX, y);
    }
}

// The Mono8 pattern's value at x + y + frame is the ramp's byte at that index: every row is a run of
// the ramp, which stays in the caches.
constexpr size_t kRampWidth = 1 << 16;
const uint8_t* Ramp() {
    static const uint8_t* const ramp = [] {
        auto* bytes = new uint8_t[kRampWidth + 256];   // never freed: senders may run at exit
        for (size_t i = 0; i < kRampWidth + 256; ++i) bytes[i] = uint8_t(i);
        return bytes;
    }();
    return ramp;
}

// Row aRow of a Mono8 pattern: where its bytes start in the ramp.
const uint8_t* RampRowStart(const FrameLayout& aLayout, uint32_t aFrame, uint32_t aRow) {
    return Ramp() + ((aLayout.offsetX + aLayout.offsetY + aRow + aFrame) & 0xFF);
}

void RampRow(const FrameLayout& aLayout, uint32_t aFrame, uint32_t aRow, uint8_t* aOut) {
    const uint8_t* from = RampRowStart(aLayout, aFrame, aRow);
    for (uint32_t done = 0; done < aLayout.width;) {   // widths beyond the ramp in runs of it
        const uint32_t run = uint32_t(std::min<size_t>(aLayout.width - done, kRampWidth));
        std::memcpy(aOut + done, from, run);
        done += run;
    }
}

}  // namespace

void FillPattern(const FrameLayout& aLayout, uint16_t aFrame, uint8_t* aImage) {
    const uint32_t f = aFrame;
    switch (aLayout.pixelFormat) {
    case Pfnc::kMono16:
        EachPixel(aLayout, aImage, [f](uint8_t* aOut, uint32_t x, uint32_t y) {
            const uint32_t v = (256 * y + x + f) & 0xFFFF;
            aOut[0] = uint8_t(v);
            aOut[1] = uint8_t(v >> 8);
            return aOut + 2;
        });
        break;
    case Pfnc::kRGB8:
        EachPixel(aLayout, aImage, [f](uint8_t* aOut, uint32_t x, uint32_t y) {
            aOut[0] = uint8_t(x + f);
            aOut[1] = uint8_t(y + f);
            aOut[2] = uint8_t(x + y);
            return aOut + 3;
        });
        break;
    case Pfnc::kBayerRG8:
        EachPixel(aLayout, aImage, [f](uint8_t* aOut, uint32_t x, uint32_t y) {
            *aOut = uint8_t((x ^ y) + f);
            return aOut + 1;
        });
        break;
    case Pfnc::kRGBa16:
        EachPixel(aLayout, aImage, [f](uint8_t* aOut, uint32_t x, uint32_t y) {
            for (uint32_t v : {256 * y + x + f, 256 * x + y + f, x + y, f}) {
                *aOut++ = uint8_t(v);
                *aOut++ = uint8_t(v >> 8);
            }
            return aOut;
        });
        break;
    case Pfnc::kMono8:
        for (uint32_t row = 0; row < aLayout.height; ++row, aImage += aLayout.width)
            RampRow(aLayout, f, row, aImage);
        break;
    default:   // a format the engine makes no pattern of
        std::memset(aImage, 0, ImageBytes(aLayout));
        break;
    }
}

namespace {

// Whether a Mono8 pattern goes out as rows of the ramp: few enough rows reach into one packet.
bool FromRamp(const FrameLayout& aLayout, size_t aChunk) {
    return aLayout.pixelFormat == Pfnc::kMono8 && aLayout.width && aLayout.width <= kRampWidth &&
           aChunk / aLayout.width + 2 <= WireBlock::kMaxPieces - 1;
}

}  // namespace

uint32_t WholeLines(const Frame& aFrame) {
    const uint32_t bits = Pfnc::BitsPerPixel(aFrame.pixelFormat);
    const uint64_t line = TqPixel::LineBytes(aFrame.width, bits) + aFrame.paddingX;
    if (!bits || !line || aFrame.imageSize >= line * aFrame.height + aFrame.paddingY) return aFrame.height;
    return uint32_t(std::min<uint64_t>(aFrame.imageSize / line, aFrame.height));
}

size_t WireBlock::WriteHeader(uint8_t* aOut, bool aExtended, uint16_t aStatus, uint64_t aBlockId, uint8_t aFormat,
                              uint32_t aPacketId) {
    return aExtended ? Gvsp::Header::WriteExtended(aOut, aStatus, 0, aFormat, aBlockId, aPacketId)
                     : Gvsp::Header::Write(aOut, aStatus, uint16_t(aBlockId), aFormat, aPacketId);
}

namespace {

// The leader's and the trailer's bodies (after their headers) of each payload type.
void ImageEnds(WireBlock& aBlock, const Frame& aFrame, uint64_t aTimestamp, size_t aHeader) {
    const bool chunked = aFrame.chunkSize != 0;
    const uint16_t type = chunked ? Gvsp::kPayloadImageExtendedChunk : Gvsp::kPayloadImage;
    const Gvsp::ImageInfo image{aFrame.pixelFormat, aFrame.width,    aFrame.height,  aFrame.offsetX,
                                aFrame.offsetY,     aFrame.paddingX, aFrame.paddingY};
    aBlock.leader.resize(aHeader + Gvsp::ImageLeader::kSize);
    Gvsp::ImageLeader::Write(aBlock.leader.data() + aHeader, type, aTimestamp, image);
    // The lines actually sent; with chunks, the chunk data payload (the image and the chunk area)
    // and the chunk layout.
    aBlock.trailer.resize(aHeader + Gvsp::ImageTrailer::kSize + (chunked ? Gvsp::Trailer::kChunkInfoSize : 0));
    uint8_t* trailer = aBlock.trailer.data() + aHeader;
    if (chunked)
        Gvsp::ImageTrailer::WriteWithChunks(trailer, type, WholeLines(aFrame), uint32_t(aBlock.total), aFrame.chunkLayoutId);
    else
        Gvsp::ImageTrailer::Write(trailer, type, WholeLines(aFrame));
}

void ChunkDataEnds(WireBlock& aBlock, const Frame& aFrame, uint64_t aTimestamp, size_t aHeader) {
    aBlock.leader.resize(aHeader + Gvsp::Leader::kSize);
    Gvsp::Leader::Write(aBlock.leader.data() + aHeader, Gvsp::kPayloadChunkData, aTimestamp);
    aBlock.trailer.resize(aHeader + Gvsp::ChunkDataTrailer::kChunkLayoutId.End());
    Gvsp::ChunkDataTrailer::Write(aBlock.trailer.data() + aHeader, uint32_t(aFrame.chunkSize), aFrame.chunkLayoutId);
}

void MultiPartEnds(WireBlock& aBlock, const Frame& aFrame, uint64_t aTimestamp, size_t aHeader) {
    const size_t parts = aFrame.parts.size();
    aBlock.leader.resize(aHeader + Gvsp::MultiPartLeader::SizeFor(parts));
    uint8_t* leader = aBlock.leader.data() + aHeader;
    Gvsp::Leader::Write(leader, Gvsp::kPayloadMultiPart, aTimestamp);
    aBlock.trailer.resize(aHeader + Gvsp::MultiPartTrailer::SizeFor(parts));
    uint8_t* trailer = aBlock.trailer.data() + aHeader;
    Gvsp::Trailer::Write(trailer, Gvsp::kPayloadMultiPart);
    for (size_t i = 0; i < parts; ++i) {
        const FramePart& part = aFrame.parts[i];
        Gvsp::PartEntry::Fields entry = part.entry;
        entry.partLength = part.size;
        Gvsp::PartEntry::Write(Gvsp::MultiPartLeader::PartAt(leader, i), entry);
        Gvsp::PartTrailer::Write(Gvsp::MultiPartTrailer::PartAt(trailer, i), entry.dataType, part.size, part.sizeY);
    }
}

}  // namespace

namespace {

// The payload bytes of one packet: a generic one, or a multi-part one.
size_t PacketPayload(uint32_t aPacketSize, bool aExtended, bool aMultiPart) {
    return Gvsp::PayloadBytes(std::max(aPacketSize, Reg::kMinPacketSize), aExtended, aMultiPart);
}

}  // namespace

size_t PacketsOf(const Frame& aFrame, size_t aBytes, uint32_t aPacketSize, bool aExtended) {
    const bool multiPart = aFrame.payloadType == Gvsp::kPayloadMultiPart;
    const size_t chunk = PacketPayload(aPacketSize, aExtended || multiPart, multiPart);
    if (!multiPart) return (aBytes + chunk - 1) / chunk + 2;
    size_t count = 2;
    for (const FramePart& part : aFrame.parts) count += (part.size + chunk - 1) / chunk;
    return count;
}

WireBlock MakeBlock(const Frame& aFrame, uint64_t aTimestamp, uint32_t aPacketSize, bool aExtended) {
    const bool multiPart = aFrame.payloadType == Gvsp::kPayloadMultiPart;
    const bool chunkData = aFrame.payloadType == Gvsp::kPayloadChunkData;
    WireBlock b;
    b.id = aFrame.blockId;
    b.extended = aExtended = aExtended || multiPart;
    if (!chunkData && !multiPart) {
        b.image = aFrame.image;
        b.imageSize = aFrame.imageSize;
    }
    b.chunks = aFrame.chunks;
    b.total = multiPart ? 0 : b.imageSize + aFrame.chunkSize;
    const size_t header = Gvsp::HeaderSize(aExtended);
    b.chunk = PacketPayload(aPacketSize, aExtended, multiPart);
    if (multiPart) {
        for (const FramePart& part : aFrame.parts) {
            b.parts.push_back({part.data, part.size, b.total, uint32_t(b.count + 1)});
            b.count += (part.size + b.chunk - 1) / b.chunk;
            b.total += part.size;
        }
    } else {
        b.count = (b.total + b.chunk - 1) / b.chunk;
    }

    if (multiPart) MultiPartEnds(b, aFrame, aTimestamp, header);
    else if (chunkData) ChunkDataEnds(b, aFrame, aTimestamp, header);
    else ImageEnds(b, aFrame, aTimestamp, header);
    if (aExtended)
        Gvsp::Header::WriteExtended(b.leader.data(), 0, 0, Gvsp::kFormatLeader, b.id, 0, uint8_t(aFrame.parts.size()));
    else
        Gvsp::Header::Write(b.leader.data(), 0, uint16_t(b.id), Gvsp::kFormatLeader, 0);
    WireBlock::WriteHeader(b.trailer.data(), aExtended, aFrame.overrun ? Gvsp::kStatusDataOverrun : uint16_t(0), b.id,
                           Gvsp::kFormatTrailer, uint32_t(b.count + 1));
    return b;
}

namespace {

Frame PatternFrame(const FrameLayout& aLayout, uint64_t aBlockId) {
    Frame frame;
    frame.blockId = aBlockId;
    frame.imageSize = ImageBytes(aLayout);
    frame.width = aLayout.width;
    frame.height = aLayout.height;
    frame.offsetX = aLayout.offsetX;
    frame.offsetY = aLayout.offsetY;
    frame.pixelFormat = aLayout.pixelFormat;
    return frame;
}

}  // namespace

WireBlock MakePatternBlock(const FrameLayout& aLayout, uint64_t aBlockId, uint64_t aTimestamp, Channel* aSpares,
                           bool aExtended) {
    const Frame frame = PatternFrame(aLayout, aBlockId);
    WireBlock b = MakeBlock(frame, aTimestamp, aLayout.packetSize, aExtended);
    b.pattern = aLayout;
    b.ramp = FromRamp(aLayout, b.chunk);
    if (b.ramp || !b.total) return b;
    b.owned = aSpares ? aSpares->Spare() : std::make_shared<Payload>();
    uint8_t* image = b.owned->Reserve(b.total);
    FillPattern(aLayout, uint16_t(aBlockId), image);
    b.image = image;
    return b;
}

std::pair<size_t, size_t> WireBlock::PartOf(uint32_t aPacket) const {
    size_t index = 0;
    for (size_t i = 0; i < parts.size() && parts[i].firstPacket <= aPacket; ++i)
        if (parts[i].size) index = i;   // a part of no bytes has no packet
    return {index, size_t(aPacket - parts[index].firstPacket) * chunk};
}

size_t WireBlock::PacketBytes(uint32_t aPacket) const {
    if (aPacket == 0) return leader.size();
    if (aPacket > count) return trailer.size();
    if (!parts.empty()) {
        const auto [index, offset] = PartOf(aPacket);
        return PayloadHeader() + std::min(chunk, parts[index].size - offset);
    }
    return PayloadHeader() + std::min(chunk, total - (aPacket - 1) * chunk);
}

size_t WireBlock::Gather(uint32_t aPacket, uint8_t* aHeader, iovec* aPieces) const {
    if (aPacket == 0 || aPacket > count) {
        const std::vector<uint8_t>& whole = aPacket == 0 ? leader : trailer;
        aPieces[0] = {const_cast<uint8_t*>(whole.data()), whole.size()};
        return 1;
    }
    if (!parts.empty()) {
        const auto [index, offset] = PartOf(aPacket);
        const size_t at = WriteHeader(aHeader, extended, 0, id, Gvsp::kFormatMultiPart, aPacket);
        Gvsp::MultiPartPayload::Write(aHeader + at, uint8_t(index), 0, parts[index].at + offset);
        aPieces[0] = {aHeader, PayloadHeader()};
        aPieces[1] = {const_cast<uint8_t*>(parts[index].data + offset), std::min(chunk, parts[index].size - offset)};
        return 2;
    }
    aPieces[0] = {aHeader, WriteHeader(aHeader, extended, 0, id, Gvsp::kFormatPayload, aPacket)};
    size_t pieces = 1;
    size_t from = (aPacket - 1) * chunk;
    size_t size = std::min(chunk, total - from);
    if (ramp) {
        const size_t width = pattern.width;
        while (size) {
            const uint32_t row = uint32_t(from / width);
            const size_t column = from % width, run = std::min(size, width - column);
            aPieces[pieces++] = {const_cast<uint8_t*>(RampRowStart(pattern, uint16_t(id), row) + column), run};
            from += run;
            size -= run;
        }
        return pieces;
    }
    if (from < imageSize) {
        const size_t run = std::min(size, imageSize - from);
        aPieces[pieces++] = {const_cast<uint8_t*>(image + from), run};
        from += run;
        size -= run;
    }
    if (size) aPieces[pieces++] = {const_cast<uint8_t*>(chunks + (from - imageSize)), size};
    return pieces;
}

void WireBlock::CopyPacket(uint32_t aPacket, std::vector<uint8_t>& aOut) const {
    uint8_t header[kMaxPayloadHeader];
    iovec pieces[kMaxPieces];
    const size_t used = Gather(aPacket, header, pieces);
    aOut.clear();
    for (size_t i = 0; i < used; ++i) {
        const auto* from = static_cast<const uint8_t*>(pieces[i].iov_base);
        aOut.insert(aOut.end(), from, from + pieces[i].iov_len);
    }
}

std::vector<std::vector<uint8_t>> Materialize(const WireBlock& aBlock) {
    std::vector<std::vector<uint8_t>> packets(aBlock.Packets());
    for (uint32_t n = 0; n < packets.size(); ++n) aBlock.CopyPacket(n, packets[n]);
    return packets;
}

std::vector<std::vector<uint8_t>> BuildPackets(const Frame& aFrame, uint64_t aTimestamp, uint32_t aPacketSize,
                                               bool aExtendedIds) {
    return Materialize(MakeBlock(aFrame, aTimestamp, aPacketSize, aExtendedIds));
}

std::vector<std::vector<uint8_t>> BuildFrame(const FrameLayout& aLayout, uint16_t aBlockId, uint64_t aTimestamp) {
    return Materialize(MakePatternBlock(aLayout, aBlockId, aTimestamp, nullptr, false));
}

}  // namespace TqEngine
