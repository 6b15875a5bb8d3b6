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
        EachPixel(aLayout, aImage, [f](uint8_t* aOut, uint32_t x, uint32_t y) {
            *aOut = uint8_t(x + y + f);
            return aOut + 1;
        });
        break;
    default:   // a format the engine makes no pattern of
        std::memset(aImage, 0, ImageBytes(aLayout));
        break;
    }
}

namespace {

void Header(std::vector<uint8_t>& aPacket, uint16_t aBlockId, uint8_t aFormat, uint32_t aPacketId) {
    Append16(aPacket, 0);  // status
    Append16(aPacket, aBlockId);
    Append32(aPacket, (uint32_t(aFormat) << 24) | (aPacketId & 0xFFFFFF));
}

}  // namespace

uint32_t WholeLines(const Frame& aFrame) {
    const uint32_t bits = Pfnc::BitsPerPixel(aFrame.pixelFormat);
    const uint64_t line = TqPixel::LineBytes(aFrame.width, bits) + aFrame.paddingX;
    if (!bits || !line || aFrame.imageSize >= line * aFrame.height + aFrame.paddingY) return aFrame.height;
    return uint32_t(std::min<uint64_t>(aFrame.imageSize / line, aFrame.height));
}

std::vector<std::vector<uint8_t>> BuildPackets(const Frame& aFrame, uint64_t aTimestamp, uint32_t aPacketSize) {
    const bool chunked = aFrame.chunkSize != 0;
    const uint16_t type = chunked ? Gvsp::kPayloadImageExtendedChunk : Gvsp::kPayloadImage;
    const size_t total = aFrame.imageSize + aFrame.chunkSize;
    const size_t chunk = Gvsp::PayloadBytes(std::max(aPacketSize, Reg::kMinPacketSize));
    const size_t payloadPackets = (total + chunk - 1) / chunk;

    std::vector<std::vector<uint8_t>> packets;
    packets.reserve(payloadPackets + 2);

    std::vector<uint8_t> leader;
    leader.reserve(Gvsp::kHeaderSize + Gvsp::kLeaderSize);
    Header(leader, aFrame.blockId, Gvsp::kFormatLeader, 0);
    Append16(leader, 0);  // reserved
    Append16(leader, type);
    Append32(leader, uint32_t(aTimestamp >> 32));
    Append32(leader, uint32_t(aTimestamp));
    Append32(leader, aFrame.pixelFormat);
    Append32(leader, aFrame.width);
    Append32(leader, aFrame.height);
    Append32(leader, aFrame.offsetX);
    Append32(leader, aFrame.offsetY);
    Append16(leader, aFrame.paddingX);
    Append16(leader, aFrame.paddingY);
    packets.push_back(std::move(leader));

    // The payload runs on from the image into the chunk area.
    auto append = [&](std::vector<uint8_t>& aPacket, size_t aFrom, size_t aSize) {
        const size_t fromImage = aFrom < aFrame.imageSize ? std::min(aSize, aFrame.imageSize - aFrom) : 0;
        if (fromImage) aPacket.insert(aPacket.end(), aFrame.image + aFrom, aFrame.image + aFrom + fromImage);
        if (const size_t rest = aSize - fromImage) {
            const uint8_t* from = aFrame.chunks + (aFrom + fromImage - aFrame.imageSize);
            aPacket.insert(aPacket.end(), from, from + rest);
        }
    };
    for (size_t n = 0; n < payloadPackets; ++n) {
        const size_t offset = n * chunk;
        const size_t size = std::min(chunk, total - offset);
        std::vector<uint8_t> packet;
        packet.reserve(Gvsp::kHeaderSize + size);
        Header(packet, aFrame.blockId, Gvsp::kFormatPayload, uint32_t(n + 1));
        append(packet, offset, size);
        packets.push_back(std::move(packet));
    }

    std::vector<uint8_t> trailer;
    Header(trailer, aFrame.blockId, Gvsp::kFormatTrailer, uint32_t(payloadPackets + 1));
    Append16(trailer, 0);  // reserved
    Append16(trailer, type);
    Append32(trailer, WholeLines(aFrame));  // lines actually sent
    if (chunked) {
        Append32(trailer, uint32_t(total));   // the chunk data payload: the image and the chunk area
        Append32(trailer, aFrame.chunkLayoutId);
    }
    packets.push_back(std::move(trailer));
    return packets;
}

std::vector<std::vector<uint8_t>> BuildFrame(const FrameLayout& aLayout, uint16_t aBlockId, uint64_t aTimestamp) {
    std::vector<uint8_t> image;
    FillPattern(aLayout, aBlockId, image);
    Frame frame;
    frame.blockId = aBlockId;
    frame.image = image.data();
    frame.imageSize = image.size();
    frame.width = aLayout.width;
    frame.height = aLayout.height;
    frame.offsetX = aLayout.offsetX;
    frame.offsetY = aLayout.offsetY;
    frame.pixelFormat = aLayout.pixelFormat;
    return BuildPackets(frame, aTimestamp, aLayout.packetSize);
}

}  // namespace TqEngine
