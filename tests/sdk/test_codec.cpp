// The stand-in SDK's compression and decompression filters: round trips of several pixel types and
// sizes, the compression ratio of a noisy gradient, destinations, arguments, thread and priority
// settings, and corrupt, truncated and forged frames (which must fail without reading or writing
// outside a buffer: run under the sanitizer build).
#include "TqBuffer.h"
#include "TqCompressionFilter.h"
#include "TqDecompressionFilter.h"
#include "TqImage.h"
#include "TqRawData.h"

// The frame layout, to forge headers with valid checksums.
#include "../../sdk/buffer/TqCompressionCodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

uint64_t LineSize(uint32_t aWidth, TqPixelType aType) {
    return (uint64_t{aWidth} * TqImage::GetPixelSize(aType) + 7) / 8;
}

// An image buffer of the type and size, filled with a smooth pattern plus noise of the given sigma
// (sigma < 0: uniformly random bytes).
void FillImage(TqBuffer& aBuffer, uint32_t aWidth, uint32_t aHeight, TqPixelType aType, double aSigma,
               uint32_t aSeed, uint16_t aPaddingX = 0) {
    ASSERT_TRUE(aBuffer.GetImage()->Alloc(aWidth, aHeight, aType, aPaddingX).IsOK());
    std::mt19937 rng(aSeed);
    std::normal_distribution<double> noise(0.0, aSigma > 0 ? aSigma : 1.0);
    uint64_t line = LineSize(aWidth, aType);
    uint64_t pitch = line + aPaddingX;
    uint8_t* data = aBuffer.GetDataPointer();
    bool wide = TqImage::GetBitsPerComponent(aType) == 16;
    for (uint32_t y = 0; y < aHeight; ++y)
        for (uint64_t i = 0; i < line; i += wide ? 2 : 1) {
            uint8_t* p = data + y * pitch + i;
            if (aSigma < 0) {
                p[0] = static_cast<uint8_t>(rng());
                if (wide && i + 1 < line) p[1] = static_cast<uint8_t>(rng());
                continue;
            }
            double ramp = 0.75 * double(i) / line + 0.25 * double(y) / aHeight;   // 0 to 1
            double v = (wide ? 9000.0 + 40000.0 * ramp : 40.0 + 200.0 * ramp) + noise(rng);
            if (wide) {
                uint16_t s = static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
                p[0] = static_cast<uint8_t>(s);
                if (i + 1 < line) p[1] = static_cast<uint8_t>(s >> 8);
            } else {
                p[0] = static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
            }
        }
}

// The image's lines without padding.
Bytes Pixels(const TqBuffer& aBuffer) {
    const TqImage* image = aBuffer.GetImage();
    uint64_t line = LineSize(image->GetWidth(), image->GetPixelType());
    uint64_t pitch = line + image->GetPaddingX();
    Bytes out;
    for (uint32_t y = 0; y < image->GetHeight(); ++y)
        out.insert(out.end(), aBuffer.GetDataPointer() + y * pitch, aBuffer.GetDataPointer() + y * pitch + line);
    return out;
}

Bytes Payload(const TqBuffer& aBuffer) {
    return Bytes(aBuffer.GetDataPointer(), aBuffer.GetDataPointer() + aBuffer.GetPayloadLength());
}

// A compressed buffer holding exactly these bytes in memory of exactly their size, so that the
// sanitizer sees any read past the end.
void MakeCompressed(TqBuffer& aBuffer, const Bytes& aBytes) {
    aBuffer.Reset(TqPayloadTypeZelvraCompressed);
    ASSERT_TRUE(aBuffer.Alloc(static_cast<uint32_t>(std::max<size_t>(aBytes.size(), 1))).IsOK());
    if (!aBytes.empty()) std::memcpy(aBuffer.GetDataPointer(), aBytes.data(), aBytes.size());
    ASSERT_TRUE(aBuffer.SetPayloadLength(static_cast<uint32_t>(aBytes.size())).IsOK());
}

Bytes Compress(const TqBuffer& aImage) {
    TqCompressionFilter filter;
    TqBuffer out;
    TqResult result = filter.Execute(&aImage, &out);
    EXPECT_TRUE(result.IsOK()) << result.GetCode();
    EXPECT_EQ(out.GetPayloadType(), TqPayloadTypeZelvraCompressed);
    return Payload(out);
}

void ExpectRoundTrip(uint32_t aWidth, uint32_t aHeight, TqPixelType aType, double aSigma, uint16_t aPaddingX = 0) {
    SCOPED_TRACE(testing::Message() << TqImage::PixelTypeToString(aType).GetAscii() << " " << aWidth << "x"
                                    << aHeight << " sigma " << aSigma << " padding " << aPaddingX);
    TqBuffer in;
    FillImage(in, aWidth, aHeight, aType, aSigma, aWidth * 31 + aHeight, aPaddingX);
    TqCompressionFilter compressor;
    TqBuffer compressed;
    ASSERT_TRUE(compressor.Execute(&in, &compressed).IsOK());
    ASSERT_EQ(compressed.GetPayloadType(), TqPayloadTypeZelvraCompressed);
    ASSERT_NE(compressed.GetZelvraCompressed(), nullptr);
    EXPECT_EQ(compressed.GetZelvraCompressed()->mLength, compressed.GetPayloadLength());
    EXPECT_TRUE(TqDecompressionFilter::IsCompressed(&compressed));

    TqPixelType type;
    uint32_t width, height;
    ASSERT_TRUE(TqDecompressionFilter::GetOutputFormatFor(&compressed, type, width, height).IsOK());
    EXPECT_EQ(type, aType);
    EXPECT_EQ(width, aWidth);
    EXPECT_EQ(height, aHeight);

    TqDecompressionFilter decompressor;
    TqBuffer out;
    TqResult result = decompressor.Execute(&compressed, &out);
    ASSERT_TRUE(result.IsOK()) << result.GetCode();
    ASSERT_EQ(out.GetPayloadType(), TqPayloadTypeImage);
    const TqImage* image = out.GetImage();
    EXPECT_EQ(image->GetPixelType(), aType);
    EXPECT_EQ(image->GetWidth(), aWidth);
    EXPECT_EQ(image->GetHeight(), aHeight);
    EXPECT_EQ(image->GetPaddingX(), 0);
    EXPECT_EQ(out.GetPayloadLength(), image->GetImageSize());
    EXPECT_TRUE(Pixels(out) == Pixels(in));
}

}  // namespace

TEST(Codec, RoundTripsOfMonoAndColourImages) {
    const uint32_t sizes[][2] = {{1, 1}, {2, 1}, {1, 7}, {3, 3}, {17, 5}, {33, 2}, {101, 37}, {640, 480}};
    for (TqPixelType type : {TqPixelMono8, TqPixelMono16, TqPixelRGB8})
        for (auto& size : sizes)
            for (double sigma : {0.0, 2.0, -1.0}) ExpectRoundTrip(size[0], size[1], type, sigma);
}

TEST(Codec, RoundTripsOfImagesOfSeveralStripes) {
    ExpectRoundTrip(1001, 300, TqPixelRGB8, 3.0);     // about 900 KB: four stripes, the last one short
    ExpectRoundTrip(513, 700, TqPixelMono16, 5.0);
    ExpectRoundTrip(300000, 2, TqPixelMono8, 2.0);    // lines longer than a stripe: a stripe per line
    ExpectRoundTrip(1500000, 1, TqPixelMono16, 2.0);  // a stripe beyond zstd's window
}

TEST(Codec, RoundTripsOfOtherPixelTypes) {
    for (TqPixelType type : {TqPixelMono10Packed, TqPixelMono12p, TqPixelMono1p, TqPixelBayerRG8, TqPixelRGB16,
                             TqPixelBGRa8, TqPixelYUV422_8, TqPixelRGB8_Planar, TqPixelRGB16_Planar,
                             TqPixelCoord3D_ABC32f, TqPixelMono32, TqPixelRGB12p})
        for (uint32_t width : {1u, 5u, 64u}) ExpectRoundTrip(width, 9, type, 2.0);
}

TEST(Codec, PaddedLinesAreCompressedWithoutTheirPadding) {
    ExpectRoundTrip(31, 17, TqPixelMono8, 2.0, 5);
    ExpectRoundTrip(30, 400, TqPixelRGB8, 2.0, 3);
    ExpectRoundTrip(9, 4, TqPixelMono16, 2.0, 1);   // odd padding: 16-bit lines at odd addresses
}

TEST(Codec, NoisyGradientCompressesAtLeastTwofold) {
    TqBuffer in;
    FillImage(in, 1224, 1024, TqPixelMono8, 2.0, 7);
    Bytes frame = Compress(in);
    double ratio = double(in.GetImage()->GetImageSize()) / frame.size();
    EXPECT_GE(ratio, 2.0);
    // Gaussian noise of sigma 2 on horizontal differences cannot go much beyond this.
    EXPECT_LE(ratio, 3.0);
}

TEST(Codec, FrameKeepsBlockIdentityAndOffsets) {
    TqBuffer in;
    FillImage(in, 8, 8, TqPixelMono8, 2.0, 1);
    in.SetTimestamp(0x123456789ull);
    in.SetBlockID(0x4321);
    in.GetImage()->SetOffsetX(16);
    in.GetImage()->SetOffsetY(24);
    TqCompressionFilter compressor;
    TqBuffer compressed, out;
    ASSERT_TRUE(compressor.Execute(&in, &compressed).IsOK());
    EXPECT_EQ(compressed.GetTimestamp(), 0x123456789ull);
    EXPECT_EQ(compressed.GetBlockID(), 0x4321u);
    TqDecompressionFilter decompressor;
    ASSERT_TRUE(decompressor.Execute(&compressed, &out).IsOK());
    EXPECT_EQ(out.GetTimestamp(), 0x123456789ull);
    EXPECT_EQ(out.GetBlockID(), 0x4321u);
    EXPECT_EQ(out.GetImage()->GetTimestamp(), 0x123456789ull);
    EXPECT_EQ(out.GetImage()->GetBlockID(), 0x4321u);
    EXPECT_EQ(out.GetImage()->GetOffsetX(), 16u);
    EXPECT_EQ(out.GetImage()->GetOffsetY(), 24u);
}

// A block ID beyond 16 bits on buffers without extended IDs: the frame carries all 64 bits.
TEST(Codec, FrameKeepsA64BitBlockId) {
    TqBuffer in;
    FillImage(in, 8, 8, TqPixelMono8, 2.0, 1);
    const uint64_t id = 0xFEDCBA9876543210ull;
    ASSERT_FALSE(in.IsExtendedID());
    ASSERT_TRUE(in.SetBlockID(id).IsOK());
    TqCompressionFilter compressor;
    TqDecompressionFilter decompressor;
    TqBuffer compressed, out;
    ASSERT_TRUE(compressor.Execute(&in, &compressed).IsOK());
    EXPECT_EQ(compressed.GetBlockID(), id);
    ASSERT_TRUE(compressed.SetBlockID(1).IsOK());   // the frame's own header holds it
    ASSERT_TRUE(decompressor.Execute(&compressed, &out).IsOK());
    EXPECT_EQ(out.GetBlockID(), id);
    EXPECT_EQ(out.GetImage()->GetBlockID(), id);
}

TEST(Codec, DestinationsReuseTheirMemoryWhenItIsLargeEnough) {
    TqBuffer in;
    FillImage(in, 64, 48, TqPixelRGB8, 2.0, 3);
    TqCompressionFilter compressor;
    TqDecompressionFilter decompressor;

    // A destination with room: its memory stays; a second run reuses what the first allocated.
    TqBuffer compressed;
    ASSERT_TRUE(compressed.Alloc(1 << 20).IsOK());
    const uint8_t* memory = compressed.GetDataPointer();
    ASSERT_TRUE(compressor.Execute(&in, &compressed).IsOK());
    EXPECT_EQ(compressed.GetDataPointer(), memory);
    TqBuffer out;
    ASSERT_TRUE(decompressor.Execute(&compressed, &out).IsOK());
    memory = out.GetDataPointer();
    ASSERT_TRUE(decompressor.Execute(&compressed, &out).IsOK());
    EXPECT_EQ(out.GetDataPointer(), memory);
    EXPECT_TRUE(Pixels(out) == Pixels(in));

    // The filters write into an image or raw-data buffer too: its payload type changes.
    TqBuffer other(TqPayloadTypeRawData);
    ASSERT_TRUE(compressor.Execute(&in, &other).IsOK());
    EXPECT_EQ(other.GetPayloadType(), TqPayloadTypeZelvraCompressed);
    ASSERT_TRUE(decompressor.Execute(&other, &out).IsOK());

    // Attached memory: used when large enough, refused when too small.
    std::vector<uint8_t> small(16), large(1 << 16);
    TqBuffer attachedSmall, attachedLarge;
    ASSERT_TRUE(attachedSmall.Attach(small.data(), 16).IsOK());
    ASSERT_TRUE(attachedLarge.Attach(large.data(), 1 << 16).IsOK());
    EXPECT_EQ(compressor.Execute(&in, &attachedSmall).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(decompressor.Execute(&compressed, &attachedSmall).GetCode(), TQ_INVALID_PARAMETER);
    ASSERT_TRUE(decompressor.Execute(&compressed, &attachedLarge).IsOK());
    EXPECT_EQ(attachedLarge.GetDataPointer(), large.data());
    EXPECT_TRUE(Pixels(attachedLarge) == Pixels(in));
    ASSERT_TRUE(compressor.Execute(&in, &attachedLarge).IsOK());
    EXPECT_EQ(attachedLarge.GetDataPointer(), large.data());

    // The same memory attached to source and destination is refused.
    TqBuffer sameMemory, attachedImage;
    ASSERT_TRUE(sameMemory.Attach(large.data() + 8, 1 << 15).IsOK());
    EXPECT_EQ(decompressor.Execute(&attachedLarge, &sameMemory).GetCode(), TQ_INVALID_PARAMETER);
    ASSERT_TRUE(attachedImage.GetImage()->Attach(large.data(), 64, 48, TqPixelRGB8).IsOK());
    EXPECT_EQ(compressor.Execute(&attachedImage, &sameMemory).GetCode(), TQ_INVALID_PARAMETER);
    TqBuffer elsewhere;
    EXPECT_TRUE(compressor.Execute(&attachedImage, &elsewhere).IsOK());
}

TEST(Codec, BadArgumentsAreRefused) {
    TqBuffer in, out;
    FillImage(in, 4, 4, TqPixelMono8, 2.0, 1);
    TqCompressionFilter compressor;
    TqDecompressionFilter decompressor;
    EXPECT_EQ(compressor.Execute(nullptr, &out).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(compressor.Execute(&in, nullptr).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(compressor.Execute(&in, &in).GetCode(), TQ_INVALID_PARAMETER);
    TqBuffer raw(TqPayloadTypeRawData), empty;
    ASSERT_TRUE(raw.Alloc(64).IsOK());
    EXPECT_EQ(compressor.Execute(&raw, &out).GetCode(), TQ_INVALID_PARAMETER);     // no image
    EXPECT_EQ(compressor.Execute(&empty, &out).GetCode(), TQ_INVALID_PARAMETER);   // no memory
    TqBuffer shortMemory;                                                           // geometry past the memory
    ASSERT_TRUE(shortMemory.Alloc(10).IsOK());
    shortMemory.GetImage()->SetGeometry(4, 4, TqPixelMono8, 0, 0);
    EXPECT_EQ(compressor.Execute(&shortMemory, &out).GetCode(), TQ_INVALID_PARAMETER);

    TqBuffer compressed;
    ASSERT_TRUE(compressor.Execute(&in, &compressed).IsOK());
    EXPECT_EQ(decompressor.Execute(nullptr, &out).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(decompressor.Execute(&compressed, nullptr).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(decompressor.Execute(&compressed, &compressed).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(decompressor.Execute(&in, &out).GetCode(), TQ_INVALID_PARAMETER);   // an image is not compressed
    EXPECT_FALSE(TqDecompressionFilter::IsCompressed(nullptr));
    EXPECT_FALSE(TqDecompressionFilter::IsCompressed(&in));
    TqBuffer noMemory(TqPayloadTypeZelvraCompressed);
    EXPECT_FALSE(TqDecompressionFilter::IsCompressed(&noMemory));
    EXPECT_EQ(decompressor.Execute(&noMemory, &out).GetCode(), TQ_IMAGE_ERROR);

    TqPixelType type = TqPixelMono8;
    uint32_t width = 5, height = 5;
    EXPECT_EQ(TqDecompressionFilter::GetOutputFormatFor(nullptr, type, width, height).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(type, TqPixelUndefined);
    EXPECT_EQ(width, 0u);
    EXPECT_EQ(height, 0u);
    EXPECT_EQ(TqDecompressionFilter::GetOutputFormatFor(&in, type, width, height).GetCode(), TQ_INVALID_PARAMETER);
}

TEST(Codec, CompressionSettings) {
    TqCompressionFilter filter;
    EXPECT_EQ(filter.GetEncoding(), TqEncodingPTC1);
    EXPECT_EQ(filter.SetEncoding(TqEncodingUnknown).GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_EQ(filter.SetEncoding(static_cast<TqEncodingEnum>(7)).GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_EQ(filter.GetEncoding(), TqEncodingPTC1);
    EXPECT_TRUE(filter.SetEncoding(TqEncodingPTC1).IsOK());
    EXPECT_EQ(filter.GetThreadCount(), 1u);
    EXPECT_EQ(filter.SetThreadCount(1).GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_EQ(filter.SetThreadCount(4).GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_EQ(filter.GetThreadCount(), 1u);
    uint32_t priority = 77;
    EXPECT_EQ(filter.GetThreadsPriority(priority).GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_EQ(priority, 77u);
    EXPECT_EQ(filter.SetThreadsPriority(3).GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_EQ(filter.SetThreadsPriority(100).GetCode(), TQ_INVALID_PARAMETER);
    ITqFilter& base = filter;   // the same through the interface
    EXPECT_EQ(base.GetThreadCount(), 1u);
}

TEST(Codec, DecompressionThreadsAndPriority) {
    TqDecompressionFilter filter;
    uint32_t expected = std::clamp<uint32_t>(std::thread::hardware_concurrency() / 2, 1, 64);
    EXPECT_EQ(filter.GetThreadCount(), expected);
    uint32_t priority = 0;
    ASSERT_TRUE(filter.GetThreadsPriority(priority).IsOK());
    EXPECT_EQ(priority, 3u);

    EXPECT_EQ(filter.SetThreadCount(0).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(filter.SetThreadCount(65).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(filter.GetThreadCount(), expected);
    EXPECT_EQ(filter.SetThreadsPriority(100).GetCode(), TQ_INVALID_PARAMETER);
    ASSERT_TRUE(filter.GetThreadsPriority(priority).IsOK());
    EXPECT_EQ(priority, 3u);

    TqBuffer in, compressed, out;
    FillImage(in, 1001, 300, TqPixelRGB8, 2.0, 5);   // several stripes
    Bytes frame = Compress(in);
    MakeCompressed(compressed, frame);
    for (uint32_t count : {1u, 3u, 64u}) {
        ASSERT_TRUE(filter.SetThreadCount(count).IsOK());
        EXPECT_EQ(filter.GetThreadCount(), count);
        ASSERT_TRUE(filter.Execute(&compressed, &out).IsOK());
        EXPECT_TRUE(Pixels(out) == Pixels(in));
    }

    // 0: the normal policy, always allowed. 1 to 99: real-time, where the process may.
    ASSERT_TRUE(filter.SetThreadsPriority(0).IsOK());
    ASSERT_TRUE(filter.GetThreadsPriority(priority).IsOK());
    EXPECT_EQ(priority, 0u);
    TqResult result = filter.SetThreadsPriority(10);
    ASSERT_TRUE(result.IsOK() || result.GetCode() == TQ_NOT_SUPPORTED) << result.GetCode();
    ASSERT_TRUE(filter.GetThreadsPriority(priority).IsOK());
    EXPECT_EQ(priority, result.IsOK() ? 10u : 0u);
    ASSERT_TRUE(filter.Execute(&compressed, &out).IsOK());
    ASSERT_TRUE(filter.SetThreadCount(2).IsOK());   // a new group keeps the priority
    ASSERT_TRUE(filter.Execute(&compressed, &out).IsOK());
    ASSERT_TRUE(filter.SetThreadsPriority(0).IsOK());
    EXPECT_TRUE(Pixels(out) == Pixels(in));
}

TEST(Codec, FiltersRunFromSeveralThreads) {
    TqBuffer in, compressed;
    FillImage(in, 700, 400, TqPixelMono8, 2.0, 9);
    MakeCompressed(compressed, Compress(in));
    Bytes expected = Pixels(in);
    TqDecompressionFilter shared;
    TqCompressionFilter sharedCompressor;
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            TqBuffer out, again;
            for (int i = 0; i < 5; ++i) {
                if (!shared.Execute(&compressed, &out).IsOK() || Pixels(out) != expected) return;
                if (!sharedCompressor.Execute(&out, &again).IsOK()) return;
            }
            ok[t] = 1;
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(ok, std::vector<int>(4, 1));
}

// ---- untrusted frames ----

namespace {

// Decompresses the bytes (in exactly-sized memory); a success must give the original pixels.
void ExpectFailsOrMatches(TqDecompressionFilter& aFilter, const Bytes& aFrame, const Bytes& aPixels, bool aMustFail) {
    TqBuffer in, out;
    MakeCompressed(in, aFrame);
    TqPixelType type;
    uint32_t width, height;
    TqResult format = TqDecompressionFilter::GetOutputFormatFor(&in, type, width, height);
    TqDecompressionFilter::IsCompressed(&in);
    TqResult result = aFilter.Execute(&in, &out);
    if (result.IsOK()) {
        EXPECT_FALSE(aMustFail);
        EXPECT_TRUE(format.IsOK());
        EXPECT_TRUE(Pixels(out) == aPixels);
    } else {
        uint32_t code = result.GetCode();
        EXPECT_TRUE(code == TQ_IMAGE_ERROR || code == TQ_NOT_SUPPORTED) << code;
    }
    if (!format.IsOK()) {
        EXPECT_EQ(type, TqPixelUndefined);
        EXPECT_EQ(width, 0u);
    }
}

}  // namespace

TEST(Codec, TruncatedFramesFail) {
    TqBuffer in;
    FillImage(in, 37, 23, TqPixelRGB8, 2.0, 11);
    Bytes frame = Compress(in), pixels = Pixels(in);
    TqDecompressionFilter filter;
    filter.SetThreadCount(2);
    for (size_t size = 0; size < frame.size(); ++size)
        ExpectFailsOrMatches(filter, Bytes(frame.begin(), frame.begin() + size), pixels, true);
    Bytes longer = frame;
    longer.push_back(0);
    ExpectFailsOrMatches(filter, longer, pixels, true);
}

TEST(Codec, EveryByteOfTheHeaderAndTableIsChecked) {
    TqBuffer in;
    FillImage(in, 300, 1000, TqPixelMono8, 2.0, 12);   // two stripes
    Bytes frame = Compress(in), pixels = Pixels(in);
    TqDecompressionFilter filter;
    size_t checked = TqCodec::kHeaderSize + 2 * TqCodec::kStripeEntrySize;
    for (size_t i = 0; i < checked; ++i)
        for (uint8_t flip : {0x01, 0x80}) {
            Bytes bad = frame;
            bad[i] ^= flip;
            ExpectFailsOrMatches(filter, bad, pixels, true);
        }
}

TEST(Codec, ForgedHeadersWithValidChecksumsFail) {
    TqBuffer in;
    FillImage(in, 40, 30, TqPixelMono16, 2.0, 13);
    Bytes frame = Compress(in), pixels = Pixels(in);
    TqDecompressionFilter filter;
    auto put32 = [](Bytes& aB, size_t aAt, uint32_t aV) {
        for (int i = 0; i < 4; ++i) aB[aAt + i] = static_cast<uint8_t>(aV >> (8 * i));
    };
    auto forged = [&](size_t aAt, uint32_t aValue, uint32_t aExpected) {
        Bytes bad = frame;
        put32(bad, aAt, aValue);
        uint32_t stripes = bad[44] | (bad[45] << 8) | (bad[46] << 16) | (uint32_t(bad[47]) << 24);
        if (uint64_t{stripes} * TqCodec::kStripeEntrySize <= bad.size() - TqCodec::kHeaderSize)
            put32(bad, 84, TqCodec::HeaderChecksum(bad.data(), uint64_t{stripes} * TqCodec::kStripeEntrySize));
        TqBuffer buffer, out;
        MakeCompressed(buffer, bad);
        EXPECT_EQ(filter.Execute(&buffer, &out).GetCode(), aExpected) << "field at " << aAt << " = " << aValue;
        ExpectFailsOrMatches(filter, bad, pixels, true);
    };
    forged(8, 1, TQ_NOT_SUPPORTED);                 // encoding
    forged(80, 1, TQ_NOT_SUPPORTED);                // flags
    forged(24, 0x00020702, TQ_NOT_SUPPORTED);       // predictor 7
    forged(24, 0x00020102, TQ_IMAGE_ERROR);         // predictor that does not fit the pixel type
    forged(12, TqPixelUndefined, TQ_IMAGE_ERROR);   // pixel type without a size
    forged(12, TqPixelMono8, TQ_IMAGE_ERROR);       // another pixel size
    forged(16, 0, TQ_IMAGE_ERROR);                  // width 0
    forged(16, 0xFFFFFFFF, TQ_IMAGE_ERROR);         // width beyond the line size
    forged(20, 0, TQ_IMAGE_ERROR);                  // height 0
    forged(20, 0x7FFFFFFF, TQ_IMAGE_ERROR);         // height beyond the original size
    forged(28, 0x40000000, TQ_IMAGE_ERROR);         // line size beyond the width
    forged(32, 0x40000000, TQ_IMAGE_ERROR);         // original size
    forged(40, 0, TQ_IMAGE_ERROR);                  // no rows per stripe
    forged(40, 7, TQ_IMAGE_ERROR);                  // rows per stripe that need more stripes
    forged(44, 0, TQ_IMAGE_ERROR);                  // no stripes
    forged(44, 0xFFFFFFFF, TQ_IMAGE_ERROR);         // a table far beyond the frame
    forged(48, 1, TQ_IMAGE_ERROR);                  // data checksum
    forged(88, 1, TQ_IMAGE_ERROR);                  // a stripe's compressed size
    forged(92, 1, TQ_IMAGE_ERROR);                  // a stripe's checksum

    // A huge image that a tiny frame cannot hold: refused before anything is allocated.
    Bytes bad = frame;
    put32(bad, 16, 16384);                        // 16384 x 16384 Mono16 is 512 MiB
    put32(bad, 20, 16384);
    put32(bad, 28, 32768);
    for (int i = 0; i < 4; ++i) bad[32 + i] = 0, bad[36 + i] = 0;
    put32(bad, 32, 0x20000000);
    put32(bad, 40, 16384);
    put32(bad, 84, TqCodec::HeaderChecksum(bad.data(), TqCodec::kStripeEntrySize));
    TqBuffer buffer, out;
    MakeCompressed(buffer, bad);
    EXPECT_EQ(filter.Execute(&buffer, &out).GetCode(), TQ_IMAGE_ERROR);
    EXPECT_EQ(out.GetSize(), 0u);

    Bytes version = frame;
    version[4] = 2;
    MakeCompressed(buffer, version);
    EXPECT_TRUE(TqDecompressionFilter::IsCompressed(&buffer));
    TqPixelType type;
    uint32_t width, height;
    EXPECT_EQ(TqDecompressionFilter::GetOutputFormatFor(&buffer, type, width, height).GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_EQ(filter.Execute(&buffer, &out).GetCode(), TQ_NOT_SUPPORTED);
}

TEST(Codec, FuzzedFramesFailOrDecodeExactly) {
    struct Case {
        uint32_t width, height;
        TqPixelType type;
        int rounds;
    };
    const Case cases[] = {{37, 23, TqPixelRGB8, 1500}, {19, 11, TqPixelMono16, 1000}, {300, 1000, TqPixelMono8, 120}};
    std::mt19937 rng(20240611);
    TqDecompressionFilter filter;
    filter.SetThreadCount(3);
    for (const Case& c : cases) {
        TqBuffer in;
        FillImage(in, c.width, c.height, c.type, 2.0, c.width);
        Bytes frame = Compress(in), pixels = Pixels(in);
        for (int round = 0; round < c.rounds; ++round) {
            Bytes bad = frame;
            switch (rng() % 4) {
            case 0: {   // a few random bytes anywhere
                int n = 1 + rng() % 4;
                for (int k = 0; k < n; ++k) bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
                break;
            }
            case 1: {   // a few bytes in the compressed data
                size_t start = TqCodec::kHeaderSize + 16;
                int n = 1 + rng() % 3;
                for (int k = 0; k < n; ++k) bad[start + rng() % (bad.size() - start)] ^= static_cast<uint8_t>(1 + rng() % 255);
                break;
            }
            case 2:   // cut short, then maybe damaged
                bad.resize(rng() % bad.size());
                if (!bad.empty() && rng() % 2) bad[rng() % bad.size()] ^= 0x40;
                break;
            default: {   // a run of bytes overwritten
                size_t at = rng() % bad.size();
                size_t n = std::min<size_t>(1 + rng() % 64, bad.size() - at);
                uint8_t value = static_cast<uint8_t>(rng());
                for (size_t k = 0; k < n; ++k) bad[at + k] = rng() % 2 ? value : static_cast<uint8_t>(rng());
            }
            }
            if (bad == frame) continue;
            ExpectFailsOrMatches(filter, bad, pixels, false);
            if (HasFatalFailure() || HasNonfatalFailure()) return;
        }
    }
}
