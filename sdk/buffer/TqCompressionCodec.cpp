#include "TqCompressionCodec.h"

#include "TqEnums.h"
#include "TqImage.h"
#include "TqPixelLayout.h"
#include "TqResultCodes.h"
#include "TqWireBytes.h"

#include <zstd.h>

#include <bit>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Decoding treats the frame as untrusted: ParseFrame checks every field and the stripe table against
// the frame's size before anything is allocated or written, and a stripe decodes only into its own
// lines (zstd is given exactly the stripe's size as room and must fill it exactly).

namespace TqCodec {

namespace {

// Zstd's fastest strategy. Residuals of noisy images are mostly literals: matches shorter than 7
// bytes found among them by chance cost more than they save, and a small hash table keeps the
// search in cache.
constexpr int kZstdLevel = 1;
constexpr int kMinMatch = 7;
constexpr int kHashLog = 12;
constexpr int kWindowLog = 19;            // the encoder's window; the decoder refuses more than
constexpr int kDecoderWindowLogMax = 20;  // this, so that a frame cannot ask for large memory
// Zstd cannot expand a compressed byte into more than this many bytes (a run-length block takes at
// least 3 bytes for 128 KiB), so a stripe that claims more is corrupt: this caps what a small corrupt
// frame can make a decoder allocate.
constexpr uint64_t kMaxExpansion = 65536;

// ---- little-endian fields ----

using TqWire::Get16Le;
using TqWire::Get32Le;
using TqWire::Get64Le;
using TqWire::Put16Le;
using TqWire::Put32Le;
using TqWire::Put64Le;

// ---- checksum: four lanes of multiply-rotate over 64-bit words, then a final mix ----

constexpr uint64_t kMulA = 0xF2A74DE452E6B439ull;
constexpr uint64_t kMulB = 0x6513270E269E0D37ull;

inline uint64_t Rotl(uint64_t aX, int aR) { return (aX << aR) | (aX >> (64 - aR)); }
inline uint64_t Lane(uint64_t aAcc, uint64_t aWord) { return Rotl((aAcc ^ aWord) * kMulA, 29); }
inline uint64_t Finish(uint64_t aH) {
    aH ^= aH >> 31;
    aH *= kMulB;
    aH ^= aH >> 29;
    aH *= kMulA;
    aH ^= aH >> 32;
    return aH;
}

// ---- predictor ----

void ForwardBytes(const uint8_t* __restrict aIn, uint8_t* __restrict aOut, size_t aSize, size_t aDistance) {
    size_t head = aDistance < aSize ? aDistance : aSize;
    for (size_t i = 0; i < head; ++i) aOut[i] = aIn[i];
    size_t i = head;
#if defined(__SSE2__)
    for (; i + 16 <= aSize; i += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(aIn + i));
        __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(aIn + i - aDistance));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(aOut + i), _mm_sub_epi8(x, y));
    }
#endif
    for (; i < aSize; ++i) aOut[i] = static_cast<uint8_t>(aIn[i] - aIn[i - aDistance]);
}

// 16-bit samples; aSize even, aDistance even.
void ForwardSamples16(const uint8_t* __restrict aIn, uint8_t* __restrict aOut, size_t aSize, size_t aDistance) {
    size_t head = aDistance < aSize ? aDistance : aSize;
    for (size_t i = 0; i < head; ++i) aOut[i] = aIn[i];
    size_t i = head;
#if defined(__SSE2__)
    for (; i + 16 <= aSize; i += 16) {   // x86 is little-endian, like the samples
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(aIn + i));
        __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(aIn + i - aDistance));
        __m128i d = _mm_sub_epi16(x, y);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(aOut + i), _mm_xor_si128(_mm_slli_epi16(d, 1), _mm_srai_epi16(d, 15)));
    }
#endif
    for (; i + 1 < aSize; i += 2) {
        uint16_t d = static_cast<uint16_t>(Get16Le(aIn + i) - Get16Le(aIn + i - aDistance));
        // zigzag: small differences of either sign become small numbers
        uint16_t z = static_cast<uint16_t>((d << 1) ^ (0u - (d >> 15)));
        Put16Le(aOut + i, z);
    }
}

// Prefix sums per channel, in place: p[i] += p[i - D] from i = D on.
template <unsigned D>
void InverseBytesFixed(uint8_t* aP, size_t aSize) {
    if (aSize <= D) return;
    uint8_t acc[D];
    for (unsigned c = 0; c < D; ++c) acc[c] = aP[c];
    size_t i = D;
    for (; i + D <= aSize; i += D)
        for (unsigned c = 0; c < D; ++c) {
            acc[c] = static_cast<uint8_t>(acc[c] + aP[i + c]);
            aP[i + c] = acc[c];
        }
    for (unsigned c = 0; i < aSize; ++i, ++c) {
        acc[c] = static_cast<uint8_t>(acc[c] + aP[i]);
        aP[i] = acc[c];
    }
}

#if defined(__SSE2__)
// Distance 1: sixteen bytes at a time, a log-step prefix sum plus the carry of the previous block.
void InverseBytes1(uint8_t* aP, size_t aSize) {
    __m128i carry = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 16 <= aSize; i += 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(aP + i));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 1));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 2));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 4));
        x = _mm_add_epi8(x, _mm_slli_si128(x, 8));
        x = _mm_add_epi8(x, carry);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(aP + i), x);
        __m128i hi = _mm_unpackhi_epi8(x, x);   // broadcast byte 15
        hi = _mm_unpackhi_epi16(hi, hi);
        carry = _mm_shuffle_epi32(hi, 0xFF);
    }
    uint8_t acc = static_cast<uint8_t>(_mm_cvtsi128_si32(carry));
    for (; i < aSize; ++i) {
        acc = static_cast<uint8_t>(acc + aP[i]);
        aP[i] = acc;
    }
}
#else
void InverseBytes1(uint8_t* aP, size_t aSize) {
    uint8_t acc = 0;
    for (size_t i = 0; i < aSize; ++i) {
        acc = static_cast<uint8_t>(acc + aP[i]);
        aP[i] = acc;
    }
}
#endif

void InverseBytes(uint8_t* aP, size_t aSize, size_t aDistance) {
    switch (aDistance) {
    case 1: InverseBytes1(aP, aSize); return;
    case 2: InverseBytesFixed<2>(aP, aSize); return;
    case 3: InverseBytesFixed<3>(aP, aSize); return;
    case 4: InverseBytesFixed<4>(aP, aSize); return;
    default:
        for (size_t i = aDistance; i < aSize; ++i) aP[i] = static_cast<uint8_t>(aP[i] + aP[i - aDistance]);
    }
}

void InverseSamples16(uint8_t* aP, size_t aSize, size_t aDistance) {
    size_t i = aDistance;
#if defined(__SSE2__)
    if (aDistance == 2 && aSize >= 2) {
        // One sample per pixel: the line from its second sample on, a prefix sum of 8 samples at a
        // time seeded with the first sample.
        __m128i carry = _mm_set1_epi16(static_cast<short>(Get16Le(aP)));
        const __m128i one = _mm_set1_epi16(1);
        for (; i + 16 <= aSize; i += 16) {
            __m128i z = _mm_loadu_si128(reinterpret_cast<const __m128i*>(aP + i));
            __m128i x = _mm_xor_si128(_mm_srli_epi16(z, 1), _mm_sub_epi16(_mm_setzero_si128(), _mm_and_si128(z, one)));
            x = _mm_add_epi16(x, _mm_slli_si128(x, 2));
            x = _mm_add_epi16(x, _mm_slli_si128(x, 4));
            x = _mm_add_epi16(x, _mm_slli_si128(x, 8));
            x = _mm_add_epi16(x, carry);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(aP + i), x);
            carry = _mm_shuffle_epi32(_mm_shufflehi_epi16(x, 0xFF), 0xFF);   // broadcast sample 7
        }
    }
#endif
    for (; i + 1 < aSize; i += 2) {
        uint16_t z = Get16Le(aP + i);
        uint16_t d = static_cast<uint16_t>((z >> 1) ^ (0u - (z & 1u)));
        Put16Le(aP + i, static_cast<uint16_t>(Get16Le(aP + i - aDistance) + d));
    }
}

bool IsPlanar(TqPixelType aPixelType) {
    switch (aPixelType) {
    case TqPixelRGB8_Planar:
    case TqPixelRGB10_Planar:
    case TqPixelRGB12_Planar:
    case TqPixelRGB16_Planar:
    case TqPixelCoord3D_ABC8_Planar:
    case TqPixelCoord3D_AC8_Planar:
    case TqPixelCoord3D_ABC16_Planar:
    case TqPixelCoord3D_AC16_Planar:
    case TqPixelCoord3D_ABC32f_Planar:
    case TqPixelCoord3D_AC32f_Planar:
    case TqPixelCoord3D_ABC10p_Planar:
    case TqPixelCoord3D_ABC12p_Planar:
    case TqPixelCoord3D_AC10p_Planar:
    case TqPixelCoord3D_AC12p_Planar:
        return true;
    default:
        return false;
    }
}


}  // namespace

// ---- public helpers ----

bool ChoosePredictor(TqPixelType aPixelType, uint8_t& aPredictor, uint8_t& aDistance, uint8_t& aBytesPerPixel) {
    uint32_t bits = TqImage::GetPixelSize(aPixelType);   // at most 255
    if (bits == 0) return false;
    aBytesPerPixel = bits % 8 == 0 ? static_cast<uint8_t>(bits / 8) : 0;
    aPredictor = kPredictNone;
    aDistance = 0;
    if (aBytesPerPixel == 0) return true;   // packed below a byte: no predictor
    uint32_t component = TqImage::GetBitsPerComponent(aPixelType);
    bool samples16 = component == 16 && bits % 16 == 0;
    aPredictor = samples16 ? kPredictSamples16 : kPredictBytes;
    if (IsPlanar(aPixelType))
        aDistance = samples16 ? 2 : (component == 32 ? 4 : 1);
    else
        aDistance = aBytesPerPixel;
    return true;
}

uint64_t Checksum(const uint8_t* aData, size_t aSize) {
    uint64_t a = kMulA, b = kMulB, c = ~kMulA, d = ~kMulB;
    size_t i = 0;
    for (; i + 32 <= aSize; i += 32) {
        a = Lane(a, Get64Le(aData + i));
        b = Lane(b, Get64Le(aData + i + 8));
        c = Lane(c, Get64Le(aData + i + 16));
        d = Lane(d, Get64Le(aData + i + 24));
    }
    uint64_t h = uint64_t{aSize} * kMulB;
    h = Lane(h, a);
    h = Lane(h, b);
    h = Lane(h, c);
    h = Lane(h, d);
    for (; i + 8 <= aSize; i += 8) h = Lane(h, Get64Le(aData + i));
    if (i < aSize) {
        uint64_t tail = 0;
        for (size_t k = 0; i + k < aSize; ++k) tail |= uint64_t{aData[i + k]} << (8 * k);
        h = Lane(h, tail ^ (uint64_t{0xA5} << 56));
    }
    return Finish(h);
}

uint64_t FoldChecksums(const uint32_t* aChecksums, uint32_t aCount, uint64_t aOriginalSize) {
    uint64_t h = aOriginalSize * kMulB + aCount;
    for (uint32_t i = 0; i < aCount; ++i) h = Lane(h, aChecksums[i]);
    return Finish(h);
}

uint32_t HeaderChecksum(const uint8_t* aFrame, uint64_t aTableSize) {
    uint64_t sum = Checksum(aFrame, 84) ^ Rotl(Checksum(aFrame + kHeaderSize, static_cast<size_t>(aTableSize)), 17);
    return static_cast<uint32_t>(Finish(sum));
}

bool HasMagic(const uint8_t* aData, uint64_t aSize) {
    return aData != nullptr && aSize >= sizeof kMagic && std::memcmp(aData, kMagic, sizeof kMagic) == 0;
}

uint32_t ParseFrame(const uint8_t* aData, uint64_t aSize, Frame& aFrame, std::vector<Stripe>* aStripes) {
    aFrame = Frame{};
    if (!HasMagic(aData, aSize) || aSize < 8) return TQ_IMAGE_ERROR;
    if (Get16Le(aData + 4) != kVersion) return TQ_NOT_SUPPORTED;
    if (Get16Le(aData + 6) != kHeaderSize || aSize < kHeaderSize) return TQ_IMAGE_ERROR;

    const uint8_t* h = aData;
    Frame f;
    f.stripeCount = Get32Le(h + 44);
    uint64_t tableSize = uint64_t{f.stripeCount} * kStripeEntrySize;
    if (f.stripeCount == 0 || tableSize > aSize - kHeaderSize) return TQ_IMAGE_ERROR;
    // The header checksum covers the header and the table: nothing below is trusted before it.
    if (HeaderChecksum(h, tableSize) != Get32Le(h + 84)) return TQ_IMAGE_ERROR;

    if (static_cast<int32_t>(Get32Le(h + 8)) != TqEncodingPTC1) return TQ_NOT_SUPPORTED;
    if (Get32Le(h + 80) != 0) return TQ_NOT_SUPPORTED;
    f.pixelType = static_cast<TqPixelType>(Get32Le(h + 12));
    f.width = Get32Le(h + 16);
    f.height = Get32Le(h + 20);
    f.bytesPerPixel = h[24];
    f.predictor = h[25];
    f.distance = h[26];
    if (f.predictor > kPredictSamples16) return TQ_NOT_SUPPORTED;
    f.lineSize = Get32Le(h + 28);
    f.originalSize = Get64Le(h + 32);
    f.rowsPerStripe = Get32Le(h + 40);
    f.dataChecksum = Get64Le(h + 48);
    f.blockID = Get64Le(h + 56);
    f.timestamp = Get64Le(h + 64);
    f.offsetX = Get32Le(h + 72);
    f.offsetY = Get32Le(h + 76);

    // Geometry: consistent with the pixel type and within the size limit.
    uint8_t predictor, distance, bytesPerPixel;
    if (h[27] != 0 || !ChoosePredictor(f.pixelType, predictor, distance, bytesPerPixel)) return TQ_IMAGE_ERROR;
    if (predictor != f.predictor || distance != f.distance || bytesPerPixel != f.bytesPerPixel) return TQ_IMAGE_ERROR;
    if (f.width == 0 || f.height == 0) return TQ_IMAGE_ERROR;
    if (TqPixel::LineBytes(f.width, TqImage::GetPixelSize(f.pixelType)) != f.lineSize) return TQ_IMAGE_ERROR;
    if (f.originalSize > kMaxOriginalSize || uint64_t{f.lineSize} * f.height != f.originalSize) return TQ_IMAGE_ERROR;
    if (f.rowsPerStripe == 0 || f.rowsPerStripe > f.height) return TQ_IMAGE_ERROR;
    if ((uint64_t{f.height} + f.rowsPerStripe - 1) / f.rowsPerStripe != f.stripeCount) return TQ_IMAGE_ERROR;

    // Stripe table: the compressed sizes fill the rest of the frame exactly, and none claims to
    // expand beyond what zstd can.
    const uint8_t* table = h + kHeaderSize;
    uint64_t offset = kHeaderSize + tableSize;
    uint64_t stripeBytes = uint64_t{f.rowsPerStripe} * f.lineSize;
    std::vector<uint32_t> checksums;
    try {
        checksums.resize(f.stripeCount);
        if (aStripes != nullptr) aStripes->resize(f.stripeCount);
    } catch (const std::bad_alloc&) {
        return TQ_IMAGE_ERROR;
    }
    for (uint32_t s = 0; s < f.stripeCount; ++s) {
        uint32_t size = Get32Le(table + uint64_t{s} * kStripeEntrySize);
        checksums[s] = Get32Le(table + uint64_t{s} * kStripeEntrySize + 4);
        uint32_t firstRow = s * f.rowsPerStripe;   // < height: stripeCount matches
        uint32_t rows = f.height - firstRow < f.rowsPerStripe ? f.height - firstRow : f.rowsPerStripe;
        uint64_t original = s + 1 < f.stripeCount ? stripeBytes : uint64_t{rows} * f.lineSize;
        if (size == 0 || size > aSize - offset) return TQ_IMAGE_ERROR;
        if (original > uint64_t{size} * kMaxExpansion) return TQ_IMAGE_ERROR;
        if (aStripes != nullptr) (*aStripes)[s] = Stripe{offset, size, checksums[s], firstRow, rows};
        offset += size;
    }
    if (offset != aSize) return TQ_IMAGE_ERROR;
    if (FoldChecksums(checksums.data(), f.stripeCount, f.originalSize) != f.dataChecksum) return TQ_IMAGE_ERROR;
    aFrame = f;
    return TQ_OK;
}

// ---- encoder ----

Encoder::Encoder() {
    mContext = ZSTD_createCCtx();
    if (mContext != nullptr) {
        ZSTD_CCtx_setParameter(mContext, ZSTD_c_compressionLevel, kZstdLevel);
        ZSTD_CCtx_setParameter(mContext, ZSTD_c_windowLog, kWindowLog);
        ZSTD_CCtx_setParameter(mContext, ZSTD_c_minMatch, kMinMatch);
        ZSTD_CCtx_setParameter(mContext, ZSTD_c_hashLog, kHashLog);
        ZSTD_CCtx_setParameter(mContext, ZSTD_c_checksumFlag, 0);
        ZSTD_CCtx_setParameter(mContext, ZSTD_c_contentSizeFlag, 1);
    }
}

Encoder::~Encoder() { ZSTD_freeCCtx(mContext); }

namespace {

bool Reserve(std::unique_ptr<uint8_t[]>& aMemory, uint64_t& aCapacity, uint64_t aSize) {
    if (aSize <= aCapacity) return true;
    aMemory.reset(new (std::nothrow) uint8_t[aSize]);
    aCapacity = aMemory != nullptr ? aSize : 0;
    return aMemory != nullptr;
}

}  // namespace

uint32_t Encoder::Encode(const Source& aSource) {
    mFrameSize = 0;
    if (mContext == nullptr) return TQ_NOT_ENOUGH_MEMORY;
    Frame f;
    f.pixelType = aSource.pixelType;
    f.width = aSource.width;
    f.height = aSource.height;
    if (aSource.data == nullptr || f.width == 0 || f.height == 0) return TQ_INVALID_PARAMETER;
    if (!ChoosePredictor(f.pixelType, f.predictor, f.distance, f.bytesPerPixel)) return TQ_INVALID_PARAMETER;
    uint64_t lineSize = TqPixel::LineBytes(f.width, TqImage::GetPixelSize(f.pixelType));
    if (lineSize > kMaxOriginalSize || lineSize * f.height > kMaxOriginalSize || aSource.pitch < lineSize)
        return TQ_INVALID_PARAMETER;
    f.lineSize = static_cast<uint32_t>(lineSize);
    f.originalSize = lineSize * f.height;
    uint64_t rows = kStripeTargetSize / lineSize;
    f.rowsPerStripe = static_cast<uint32_t>(rows == 0 ? 1 : (rows > f.height ? f.height : rows));
    f.stripeCount = (f.height + f.rowsPerStripe - 1) / f.rowsPerStripe;
    f.blockID = aSource.blockID;
    f.timestamp = aSource.timestamp;
    f.offsetX = aSource.offsetX;
    f.offsetY = aSource.offsetY;

    const uint64_t stripeBytes = uint64_t{f.rowsPerStripe} * f.lineSize;
    const uint64_t tableSize = uint64_t{f.stripeCount} * kStripeEntrySize;
    std::vector<uint32_t> checksums;
    uint64_t bound = kHeaderSize + tableSize;
    for (uint32_t s = 0; s < f.stripeCount; ++s) {
        uint32_t rowsHere = s + 1 < f.stripeCount ? f.rowsPerStripe : f.height - s * f.rowsPerStripe;
        bound += ZSTD_compressBound(uint64_t{rowsHere} * f.lineSize);
    }
    try {
        checksums.resize(f.stripeCount);
    } catch (const std::bad_alloc&) {
        return TQ_NOT_ENOUGH_MEMORY;
    }
    if (!Reserve(mResidual, mResidualCapacity, stripeBytes) || !Reserve(mFrame, mFrameCapacity, bound))
        return TQ_NOT_ENOUGH_MEMORY;

    uint8_t* out = mFrame.get();
    uint64_t offset = kHeaderSize + tableSize;
    for (uint32_t s = 0; s < f.stripeCount; ++s) {
        uint32_t firstRow = s * f.rowsPerStripe;
        uint32_t rowsHere = s + 1 < f.stripeCount ? f.rowsPerStripe : f.height - firstRow;
        size_t size = size_t{rowsHere} * f.lineSize;
        uint8_t* residual = mResidual.get();
        // The checksum is of the stripe's lines as if contiguous: padded lines are packed first, into
        // the stripe's room in the output (its bound exceeds the stripe's size).
        uint64_t stripeSum;
        if (aSource.pitch == lineSize) {
            stripeSum = Checksum(aSource.data + uint64_t{firstRow} * aSource.pitch, size);
        } else {
            uint8_t* packed = out + offset;
            for (uint32_t r = 0; r < rowsHere; ++r)
                std::memcpy(packed + uint64_t{r} * f.lineSize, aSource.data + uint64_t{firstRow + r} * aSource.pitch,
                            f.lineSize);
            stripeSum = Checksum(packed, size);
        }
        checksums[s] = static_cast<uint32_t>(stripeSum);
        for (uint32_t r = 0; r < rowsHere; ++r) {
            const uint8_t* line = aSource.data + uint64_t{firstRow + r} * aSource.pitch;
            uint8_t* dst = residual + uint64_t{r} * f.lineSize;
            switch (f.predictor) {
            case kPredictBytes: ForwardBytes(line, dst, f.lineSize, f.distance); break;
            case kPredictSamples16: ForwardSamples16(line, dst, f.lineSize, f.distance); break;
            default: std::memcpy(dst, line, f.lineSize);
            }
        }
        size_t written = ZSTD_compress2(mContext, out + offset, bound - offset, residual, size);
        if (ZSTD_isError(written)) return TQ_NOT_ENOUGH_MEMORY;
        Put32Le(out + kHeaderSize + uint64_t{s} * kStripeEntrySize, static_cast<uint32_t>(written));
        Put32Le(out + kHeaderSize + uint64_t{s} * kStripeEntrySize + 4, checksums[s]);
        offset += written;
    }
    f.dataChecksum = FoldChecksums(checksums.data(), f.stripeCount, f.originalSize);

    uint8_t* h = out;
    std::memcpy(h, kMagic, sizeof kMagic);
    Put16Le(h + 4, kVersion);
    Put16Le(h + 6, kHeaderSize);
    Put32Le(h + 8, static_cast<uint32_t>(TqEncodingPTC1));
    Put32Le(h + 12, static_cast<uint32_t>(f.pixelType));
    Put32Le(h + 16, f.width);
    Put32Le(h + 20, f.height);
    h[24] = f.bytesPerPixel;
    h[25] = f.predictor;
    h[26] = f.distance;
    h[27] = 0;
    Put32Le(h + 28, f.lineSize);
    Put64Le(h + 32, f.originalSize);
    Put32Le(h + 40, f.rowsPerStripe);
    Put32Le(h + 44, f.stripeCount);
    Put64Le(h + 48, f.dataChecksum);
    Put64Le(h + 56, f.blockID);
    Put64Le(h + 64, f.timestamp);
    Put32Le(h + 72, f.offsetX);
    Put32Le(h + 76, f.offsetY);
    Put32Le(h + 80, 0);
    Put32Le(h + 84, HeaderChecksum(h, tableSize));
    mFrameSize = offset;
    return TQ_OK;
}

// ---- decoder ----

StripeDecoder::StripeDecoder() {
    mContext = ZSTD_createDCtx();
    if (mContext != nullptr) ZSTD_DCtx_setParameter(mContext, ZSTD_d_windowLogMax, kDecoderWindowLogMax);
}

StripeDecoder::~StripeDecoder() { ZSTD_freeDCtx(mContext); }

bool StripeDecoder::Decode(const Frame& aFrame, const Stripe& aStripe, const uint8_t* aFrameData, uint8_t* aImage) {
    if (mContext == nullptr) return false;
    uint8_t* dst = aImage + uint64_t{aStripe.firstRow} * aFrame.lineSize;
    size_t size = size_t{aStripe.rows} * aFrame.lineSize;
    size_t got = ZSTD_decompressDCtx(mContext, dst, size, aFrameData + aStripe.dataOffset, aStripe.compressedSize);
    if (ZSTD_isError(got) || got != size) {
        ZSTD_DCtx_reset(mContext, ZSTD_reset_session_only);
        return false;
    }
    for (uint32_t r = 0; r < aStripe.rows; ++r) {
        uint8_t* line = dst + uint64_t{r} * aFrame.lineSize;
        switch (aFrame.predictor) {
        case kPredictBytes: InverseBytes(line, aFrame.lineSize, aFrame.distance); break;
        case kPredictSamples16: InverseSamples16(line, aFrame.lineSize, aFrame.distance); break;
        default: break;
        }
    }
    return static_cast<uint32_t>(Checksum(dst, size)) == aStripe.checksum;
}

}  // namespace TqCodec
