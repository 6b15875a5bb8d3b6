// Compressed frames into the decompression of the buffer library's codec (TqCodec::ParseFrame, then
// StripeDecoder::Decode of each stripe, as the decompression filter does).
//
// Input: a compressed frame. It is decoded as it is, and once more with its data and header
// checksums made right, so that changed fields and stripes reach the checks behind them and the
// decoder.
// Checked besides the sanitizers: a frame that parses describes a whole image within the size limit
// and stripes that tile it in order; decoding writes only inside the image (frames of more than
// 16 MiB are parsed but not decoded: memory, not the parser, is the limit there).
#include "TqCompressionCodec.h"
#include "fuzz_input.h"

#include "TqResultCodes.h"
#include "TqWireBytes.h"

#include <cstring>
#include <memory>

using KivoFuzz::Bytes;

namespace {

constexpr uint64_t kMaxDecoded = 16u << 20;

// The frame's numbers are little-endian.
using TqWire::Get32Le;
using TqWire::Get64Le;
using TqWire::Put32Le;
using TqWire::Put64Le;

// The frame with the checksums its header and stripe table call for (when it has that much).
Bytes Repaired(Bytes aFrame) {
    if (aFrame.size() < TqCodec::kHeaderSize) return aFrame;
    uint8_t* h = aFrame.data();
    const uint32_t count = Get32Le(h + 44);
    const uint64_t table = uint64_t{count} * TqCodec::kStripeEntrySize;
    if (table > aFrame.size() - TqCodec::kHeaderSize) return aFrame;
    std::vector<uint32_t> checksums(count);
    for (uint32_t s = 0; s < count; ++s) checksums[s] = Get32Le(h + TqCodec::kHeaderSize + 8 * uint64_t{s} + 4);
    Put64Le(h + 48, TqCodec::FoldChecksums(checksums.data(), count, Get64Le(h + 32)));
    Put32Le(h + 84, TqCodec::HeaderChecksum(h, table));
    return aFrame;
}

void Decode(const Bytes& aFrame) {
    TqCodec::Frame frame;
    std::vector<TqCodec::Stripe> stripes;
    if (TqCodec::ParseFrame(aFrame.data(), aFrame.size(), frame, &stripes) != TQ_OK) return;
    KIVO_FUZZ_CHECK(frame.width > 0 && frame.height > 0 && frame.originalSize <= TqCodec::kMaxOriginalSize);
    KIVO_FUZZ_CHECK(uint64_t{frame.lineSize} * frame.height == frame.originalSize);
    KIVO_FUZZ_CHECK(stripes.size() == frame.stripeCount);
    uint32_t row = 0;
    for (const TqCodec::Stripe& stripe : stripes) {
        KIVO_FUZZ_CHECK(stripe.firstRow == row && stripe.rows > 0);
        KIVO_FUZZ_CHECK(stripe.dataOffset + stripe.compressedSize <= aFrame.size());
        row += stripe.rows;
    }
    KIVO_FUZZ_CHECK(row == frame.height);
    if (frame.originalSize > kMaxDecoded) return;
    std::unique_ptr<uint8_t[]> image(new uint8_t[frame.originalSize]);
    TqCodec::StripeDecoder decoder;
    for (const TqCodec::Stripe& stripe : stripes) decoder.Decode(frame, stripe, aFrame.data(), image.get());
}

// ---- seeds: frames of the encoder, of the pixel types the codec tests compress ----

std::vector<Bytes> Seeds() {
    struct Image {
        TqPixelType type;
        uint32_t width, height, bytesPerLine;
    };
    const Image images[] = {{TqPixelMono8, 53, 37, 53},         {TqPixelMono16, 16, 8, 32},  {TqPixelRGB8, 16, 8, 48},
                            {TqPixelBayerRG8, 8, 8, 8},         {TqPixelMono12Packed, 8, 4, 12},
                            {TqPixelMono8, 1024, 300, 1024}};   // the last one in two stripes
    std::vector<Bytes> seeds;
    TqCodec::Encoder encoder;
    for (const Image& image : images) {
        Bytes pixels(size_t{image.bytesPerLine} * image.height);
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i / image.bytesPerLine + i % 7);
        TqCodec::Source source;
        source.data = pixels.data();
        source.pitch = image.bytesPerLine;
        source.pixelType = image.type;
        source.width = image.width;
        source.height = image.height;
        source.blockID = 5;
        if (encoder.Encode(source) != TQ_OK) continue;
        seeds.emplace_back(encoder.GetFrame(), encoder.GetFrame() + encoder.GetFrameSize());
    }
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    const Bytes frame(aData, aData + aSize);
    Decode(frame);
    Decode(Repaired(frame));
    return 0;
}
