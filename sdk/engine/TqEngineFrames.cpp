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
    if (!frame) return FillPattern(layout, blockId, aDestination);
    if (frame->imageSize) std::memcpy(aDestination, frame->image, frame->imageSize);
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

uint8_t* Payload::Reserve(size_t aSize) {
    if (aSize > capacity) {
        bytes.reset();
        bytes.reset(new uint8_t[aSize]);
        capacity = aSize;
    }
    return bytes.get();
}

uint32_t WholeLines(const Frame& aFrame) {
    const uint32_t bits = Pfnc::BitsPerPixel(aFrame.pixelFormat);
    const uint64_t line = TqPixel::LineBytes(aFrame.width, bits) + aFrame.paddingX;
    if (!bits || !line || aFrame.imageSize >= line * aFrame.height + aFrame.paddingY) return aFrame.height;
    return uint32_t(std::min<uint64_t>(aFrame.imageSize / line, aFrame.height));
}

WireBlock MakeBlock(const Frame& aFrame, uint64_t aTimestamp, uint32_t aPacketSize) {
    const bool chunked = aFrame.chunkSize != 0;
    const uint16_t type = chunked ? Gvsp::kPayloadImageExtendedChunk : Gvsp::kPayloadImage;
    WireBlock b;
    b.id = aFrame.blockId;
    b.image = aFrame.image;
    b.imageSize = aFrame.imageSize;
    b.chunks = aFrame.chunks;
    b.total = aFrame.imageSize + aFrame.chunkSize;
    b.chunk = Gvsp::PayloadBytes(std::max(aPacketSize, Reg::kMinPacketSize));
    b.count = (b.total + b.chunk - 1) / b.chunk;

    const Gvsp::ImageInfo image{aFrame.pixelFormat, aFrame.width,    aFrame.height,  aFrame.offsetX,
                                aFrame.offsetY,     aFrame.paddingX, aFrame.paddingY};
    b.leader.resize(Gvsp::kHeaderSize + Gvsp::ImageLeader::kSize);
    Gvsp::Header::Write(b.leader.data(), 0, aFrame.blockId, Gvsp::kFormatLeader, 0);
    Gvsp::ImageLeader::Write(b.leader.data() + Gvsp::kHeaderSize, type, aTimestamp, image);

    // The trailer: the lines actually sent; with chunks, the chunk data payload (the image and the
    // chunk area) and the chunk layout.
    b.trailer.resize(Gvsp::kHeaderSize + Gvsp::ImageTrailer::kSize + (chunked ? Gvsp::Trailer::kChunkInfoSize : 0));
    Gvsp::Header::Write(b.trailer.data(), 0, aFrame.blockId, Gvsp::kFormatTrailer, uint32_t(b.count + 1));
    uint8_t* trailer = b.trailer.data() + Gvsp::kHeaderSize;
    if (chunked)
        Gvsp::ImageTrailer::WriteWithChunks(trailer, type, WholeLines(aFrame), uint32_t(b.total), aFrame.chunkLayoutId);
    else
        Gvsp::ImageTrailer::Write(trailer, type, WholeLines(aFrame));
    return b;
}

namespace {

Frame PatternFrame(const FrameLayout& aLayout, uint16_t aBlockId) {
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

WireBlock MakePatternBlock(const FrameLayout& aLayout, uint16_t aBlockId, uint64_t aTimestamp, Channel* aSpares) {
    const Frame frame = PatternFrame(aLayout, aBlockId);
    WireBlock b = MakeBlock(frame, aTimestamp, aLayout.packetSize);
    b.pattern = aLayout;
    b.ramp = FromRamp(aLayout, b.chunk);
    if (b.ramp || !b.total) return b;
    b.owned = aSpares ? aSpares->Spare() : std::make_shared<Payload>();
    uint8_t* image = b.owned->Reserve(b.total);
    FillPattern(aLayout, aBlockId, image);
    b.image = image;
    return b;
}

size_t WireBlock::Gather(uint32_t aPacket, uint8_t* aHeader, iovec* aPieces) const {
    if (aPacket == 0 || aPacket > count) {
        const std::vector<uint8_t>& whole = aPacket == 0 ? leader : trailer;
        aPieces[0] = {const_cast<uint8_t*>(whole.data()), whole.size()};
        return 1;
    }
    Gvsp::Header::Write(aHeader, 0, id, Gvsp::kFormatPayload, aPacket);
    aPieces[0] = {aHeader, Gvsp::kHeaderSize};
    size_t pieces = 1;
    size_t from = (aPacket - 1) * chunk;
    size_t size = std::min(chunk, total - from);
    if (ramp) {
        const size_t width = pattern.width;
        while (size) {
            const uint32_t row = uint32_t(from / width);
            const size_t column = from % width, run = std::min(size, width - column);
            aPieces[pieces++] = {const_cast<uint8_t*>(RampRowStart(pattern, id, row) + column), run};
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
    uint8_t header[Gvsp::kHeaderSize];
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

std::vector<std::vector<uint8_t>> BuildPackets(const Frame& aFrame, uint64_t aTimestamp, uint32_t aPacketSize) {
    return Materialize(MakeBlock(aFrame, aTimestamp, aPacketSize));
}

std::vector<std::vector<uint8_t>> BuildFrame(const FrameLayout& aLayout, uint16_t aBlockId, uint64_t aTimestamp) {
    return Materialize(MakePatternBlock(aLayout, aBlockId, aTimestamp, nullptr));
}

}  // namespace TqEngine
