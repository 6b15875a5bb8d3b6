// The compressed frame of TqCompressionFilter and TqDecompressionFilter (encoding PTC1): internal to
// the buffer library.
//
// Layout, all integers little-endian:
//   header, 88 bytes:
//      0  u8[4] magic "TQZC"
//      4  u16   format version (1)
//      6  u16   header size (88)
//      8  i32   encoding (0: PTC1)
//     12  u32   pixel type
//     16  u32   width       20  u32 height        (pixels, both at least 1)
//     24  u8    bytes per pixel (0 when a pixel does not fill whole bytes)
//     25  u8    predictor (0 none, 1 differences of bytes, 2 differences of 16-bit samples)
//     26  u8    predictor distance in bytes (0 with no predictor)
//     27  u8    0
//     28  u32   line size in bytes (ceil(width x bits per pixel / 8))
//     32  u64   original size in bytes (line size x height, at most 1 GiB)
//     40  u32   rows per stripe     44  u32 stripe count (ceil(height / rows per stripe))
//     48  u64   checksum of the original data (a fold of the stripes' checksums)
//     56  u64   block ID            64  u64 timestamp
//     72  u32   offset X            76  u32 offset Y
//     80  u32   flags (0)
//     84  u32   header checksum: of bytes 0 to 83 and the stripe table
//   stripe table: per stripe u32 compressed size, u32 checksum of its original bytes;
//   the stripes' compressed data, one after the other, filling the rest of the payload exactly.
//
// A stripe is a run of whole lines, compressed on its own: each line goes through the predictor
// (its first "distance" bytes as they are, every later byte or 16-bit sample as its difference from
// the one "distance" bytes before, a 16-bit difference zigzag-mapped), then the stripe through zstd.
// The predictor follows from the pixel type: none when pixels are not whole bytes; 16-bit samples
// when components sit in 16-bit containers; bytes otherwise. The distance is the pixel size, or the
// component size for planar types.
#pragma once

#include "TqPixelType.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

namespace TqCodec {

constexpr uint8_t kMagic[4] = {'T', 'Q', 'Z', 'C'};
constexpr uint16_t kVersion = 1;
constexpr uint32_t kHeaderSize = 88;
constexpr uint32_t kStripeEntrySize = 8;
constexpr uint64_t kMaxOriginalSize = 1ull << 30;
constexpr uint32_t kStripeTargetSize = 256 * 1024;

enum Predictor : uint8_t { kPredictNone = 0, kPredictBytes = 1, kPredictSamples16 = 2 };

// What the header describes.
struct Frame {
    TqPixelType pixelType = TqPixelUndefined;
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t bytesPerPixel = 0;
    uint8_t predictor = kPredictNone;
    uint8_t distance = 0;
    uint32_t lineSize = 0;
    uint64_t originalSize = 0;
    uint32_t rowsPerStripe = 0;
    uint32_t stripeCount = 0;
    uint64_t dataChecksum = 0;
    uint64_t blockID = 0;
    uint64_t timestamp = 0;
    uint32_t offsetX = 0;
    uint32_t offsetY = 0;
};

struct Stripe {
    uint64_t dataOffset = 0;      // of its compressed bytes, from the start of the frame
    uint32_t compressedSize = 0;
    uint32_t checksum = 0;
    uint32_t firstRow = 0;
    uint32_t rows = 0;
};

// The predictor, distance and bytes per pixel of a pixel type; false when the type has no pixel size.
bool ChoosePredictor(TqPixelType aPixelType, uint8_t& aPredictor, uint8_t& aDistance, uint8_t& aBytesPerPixel);

// A 64-bit checksum of bytes.
uint64_t Checksum(const uint8_t* aData, size_t aSize);

// The checksum of a frame's original data (header bytes 48 to 55): a fold of the stripes'
// checksums and the original size.
uint64_t FoldChecksums(const uint32_t* aChecksums, uint32_t aCount, uint64_t aOriginalSize);

// The header checksum of a frame whose header and stripe table (aTableSize bytes) are in memory.
uint32_t HeaderChecksum(const uint8_t* aFrame, uint64_t aTableSize);

// Whether the bytes start with the magic.
bool HasMagic(const uint8_t* aData, uint64_t aSize);

// Reads and checks the header and the stripe table of a frame of aSize bytes. Returns TQ_OK,
// TQ_IMAGE_ERROR (truncated, corrupt or inconsistent) or TQ_NOT_SUPPORTED (another version,
// encoding, predictor or flags). aStripes, when given, receives the stripes.
uint32_t ParseFrame(const uint8_t* aData, uint64_t aSize, Frame& aFrame, std::vector<Stripe>* aStripes);

// The image an encoder reads: aHeight lines of aLineSize bytes, aPitch bytes apart.
struct Source {
    const uint8_t* data = nullptr;
    uint64_t pitch = 0;
    TqPixelType pixelType = TqPixelUndefined;
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t blockID = 0;
    uint64_t timestamp = 0;
    uint32_t offsetX = 0;
    uint32_t offsetY = 0;
};

class Encoder {
public:
    Encoder();
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Compresses the image into the encoder's frame memory. Returns TQ_OK, TQ_INVALID_PARAMETER (no
    // pixel size, empty or too large) or TQ_NOT_ENOUGH_MEMORY.
    uint32_t Encode(const Source& aSource);
    // The frame of the last successful Encode, valid until the next.
    const uint8_t* GetFrame() const { return mFrame.get(); }
    uint64_t GetFrameSize() const { return mFrameSize; }

private:
    ZSTD_CCtx_s* mContext = nullptr;
    // Memory that only grows and is never cleared: the frame and one stripe's residuals.
    std::unique_ptr<uint8_t[]> mFrame;
    uint64_t mFrameCapacity = 0;
    uint64_t mFrameSize = 0;
    std::unique_ptr<uint8_t[]> mResidual;
    uint64_t mResidualCapacity = 0;
};

class StripeDecoder {
public:
    StripeDecoder();
    ~StripeDecoder();
    StripeDecoder(const StripeDecoder&) = delete;
    StripeDecoder& operator=(const StripeDecoder&) = delete;

    // Decompresses one stripe of a parsed frame into aImage (the whole image, frame.originalSize
    // bytes) and checks it; false on any failure. Writes only inside the stripe's lines.
    bool Decode(const Frame& aFrame, const Stripe& aStripe, const uint8_t* aFrameData, uint8_t* aImage);

private:
    ZSTD_DCtx_s* mContext = nullptr;
};

}  // namespace TqCodec
