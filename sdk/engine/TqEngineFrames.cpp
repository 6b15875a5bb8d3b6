// Test patterns and the GVSP packets of a frame.
#include "TqEngineImpl.h"

#include <algorithm>
#include <cstring>

namespace TqEngine {

void FillPattern(const FrameLayout& aLayout, uint16_t aFrame, std::vector<uint8_t>& aImage) {
    const uint32_t bytes = Pfnc::BitsPerPixel(aLayout.pixelFormat) / 8;
    aImage.resize(size_t(aLayout.width) * aLayout.height * bytes);
    FillPattern(aLayout, aFrame, aImage.data());
}

void Block::Fill(uint8_t* aDestination) const { FillPattern(layout, blockId, aDestination); }

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
    default:  // Mono8
        EachPixel(aLayout, aImage, [f](uint8_t* aOut, uint32_t x, uint32_t y) {
            *aOut = uint8_t(x + y + f);
            return aOut + 1;
        });
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

std::vector<std::vector<uint8_t>> BuildFrame(const FrameLayout& aLayout, uint16_t aBlockId, uint64_t aTimestamp) {
    std::vector<uint8_t> image;
    FillPattern(aLayout, aBlockId, image);
    const size_t chunk = Gvsp::PayloadBytes(std::max(aLayout.packetSize, Reg::kMinPacketSize));
    const size_t payloadPackets = (image.size() + chunk - 1) / chunk;

    std::vector<std::vector<uint8_t>> packets;
    packets.reserve(payloadPackets + 2);

    std::vector<uint8_t> leader;
    leader.reserve(Gvsp::kHeaderSize + Gvsp::kLeaderSize);
    Header(leader, aBlockId, Gvsp::kFormatLeader, 0);
    Append16(leader, 0);  // reserved
    Append16(leader, Gvsp::kPayloadImage);
    Append32(leader, uint32_t(aTimestamp >> 32));
    Append32(leader, uint32_t(aTimestamp));
    Append32(leader, aLayout.pixelFormat);
    Append32(leader, aLayout.width);
    Append32(leader, aLayout.height);
    Append32(leader, aLayout.offsetX);
    Append32(leader, aLayout.offsetY);
    Append16(leader, 0);  // padding x
    Append16(leader, 0);  // padding y
    packets.push_back(std::move(leader));

    for (size_t n = 0; n < payloadPackets; ++n) {
        const size_t offset = n * chunk;
        const size_t size = std::min(chunk, image.size() - offset);
        std::vector<uint8_t> packet;
        packet.reserve(Gvsp::kHeaderSize + size);
        Header(packet, aBlockId, Gvsp::kFormatPayload, uint32_t(n + 1));
        packet.insert(packet.end(), image.begin() + offset, image.begin() + offset + size);
        packets.push_back(std::move(packet));
    }

    std::vector<uint8_t> trailer;
    Header(trailer, aBlockId, Gvsp::kFormatTrailer, uint32_t(payloadPackets + 1));
    Append16(trailer, 0);  // reserved
    Append16(trailer, Gvsp::kPayloadImage);
    Append32(trailer, aLayout.height);  // lines actually sent
    packets.push_back(std::move(trailer));
    return packets;
}

}  // namespace TqEngine
