#include "TqBufferConverter.h"

#include "TqBuffer.h"
#include "TqBufferConverterRGBFilter.h"
#include "TqImage.h"
#include "TqNoMemory.h"
#include "TqPixelKernels.h"
#include "TqPixelLayout.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

// The pixel loops are written to be vectorised; let the optimiser try harder on this file.
#if defined(__OPTIMIZE__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3")
#endif

namespace {

// ---- pixel formats ----

enum class SrcKind { None, Mono8, Mono16, MonoPacked3, MonoBits, Bayer8, Bayer16, Colour8, Yuv422 };
enum class DstKind { None, Mono8, Mono16, Colour8, Colour16 };

struct SrcInfo {
    SrcKind kind = SrcKind::None;
    uint32_t depth = 8;      // significant bits of a level
    bool topLeftGreen = false;   // Bayer: the pixel (0, 0) is green
    bool firstRowRed = false;    // Bayer: row 0 holds red
    int n = 0, r = 0, g = 0, b = 0;   // Colour8: channels per pixel and the place of each colour
    bool uyvy = false;       // Yuv422: U Y0 V Y1 rather than Y0 U Y1 V
    SrcKind packing = SrcKind::None;   // Bayer16: MonoPacked3 or MonoBits for the packed forms
};

struct DstInfo {
    DstKind kind = DstKind::None;
    int n = 0, r = 0, g = 0, b = 0;
};

SrcInfo DescribeSource(TqPixelType aType) {
    SrcInfo s;
    auto bayer = [&](SrcKind aKind, uint32_t aDepth, bool aTopLeftGreen, bool aFirstRowRed) {
        s.kind = aKind;
        s.depth = aDepth;
        s.topLeftGreen = aTopLeftGreen;
        s.firstRowRed = aFirstRowRed;
    };
    auto colour = [&](int aN, int aR, int aG, int aB) {
        s.kind = SrcKind::Colour8;
        s.n = aN;
        s.r = aR;
        s.g = aG;
        s.b = aB;
    };
    switch (aType) {
    case TqPixelMono8: s.kind = SrcKind::Mono8; break;
    case TqPixelMono10: s.kind = SrcKind::Mono16; s.depth = 10; break;
    case TqPixelMono12: s.kind = SrcKind::Mono16; s.depth = 12; break;
    case TqPixelMono14: s.kind = SrcKind::Mono16; s.depth = 14; break;
    case TqPixelMono16: s.kind = SrcKind::Mono16; s.depth = 16; break;
    case TqPixelMono10Packed: s.kind = SrcKind::MonoPacked3; s.depth = 10; break;
    case TqPixelMono12Packed: s.kind = SrcKind::MonoPacked3; s.depth = 12; break;
    case TqPixelMono10p: s.kind = SrcKind::MonoBits; s.depth = 10; break;
    case TqPixelMono12p: s.kind = SrcKind::MonoBits; s.depth = 12; break;
    case TqPixelMono14p: s.kind = SrcKind::MonoBits; s.depth = 14; break;
    case TqPixelBayerRG8: bayer(SrcKind::Bayer8, 8, false, true); break;
    case TqPixelBayerGR8: bayer(SrcKind::Bayer8, 8, true, true); break;
    case TqPixelBayerGB8: bayer(SrcKind::Bayer8, 8, true, false); break;
    case TqPixelBayerBG8: bayer(SrcKind::Bayer8, 8, false, false); break;
    case TqPixelBayerRG10: bayer(SrcKind::Bayer16, 10, false, true); break;
    case TqPixelBayerGR10: bayer(SrcKind::Bayer16, 10, true, true); break;
    case TqPixelBayerGB10: bayer(SrcKind::Bayer16, 10, true, false); break;
    case TqPixelBayerBG10: bayer(SrcKind::Bayer16, 10, false, false); break;
    case TqPixelBayerRG12: bayer(SrcKind::Bayer16, 12, false, true); break;
    case TqPixelBayerGR12: bayer(SrcKind::Bayer16, 12, true, true); break;
    case TqPixelBayerGB12: bayer(SrcKind::Bayer16, 12, true, false); break;
    case TqPixelBayerBG12: bayer(SrcKind::Bayer16, 12, false, false); break;
    case TqPixelBayerRG14: bayer(SrcKind::Bayer16, 14, false, true); break;
    case TqPixelBayerGR14: bayer(SrcKind::Bayer16, 14, true, true); break;
    case TqPixelBayerGB14: bayer(SrcKind::Bayer16, 14, true, false); break;
    case TqPixelBayerBG14: bayer(SrcKind::Bayer16, 14, false, false); break;
    case TqPixelBayerRG16: bayer(SrcKind::Bayer16, 16, false, true); break;
    case TqPixelBayerGR16: bayer(SrcKind::Bayer16, 16, true, true); break;
    case TqPixelBayerGB16: bayer(SrcKind::Bayer16, 16, true, false); break;
    case TqPixelBayerBG16: bayer(SrcKind::Bayer16, 16, false, false); break;
    case TqPixelBayerRG10Packed: bayer(SrcKind::Bayer16, 10, false, true); s.packing = SrcKind::MonoPacked3; break;
    case TqPixelBayerGR10Packed: bayer(SrcKind::Bayer16, 10, true, true); s.packing = SrcKind::MonoPacked3; break;
    case TqPixelBayerGB10Packed: bayer(SrcKind::Bayer16, 10, true, false); s.packing = SrcKind::MonoPacked3; break;
    case TqPixelBayerBG10Packed: bayer(SrcKind::Bayer16, 10, false, false); s.packing = SrcKind::MonoPacked3; break;
    case TqPixelBayerRG12Packed: bayer(SrcKind::Bayer16, 12, false, true); s.packing = SrcKind::MonoPacked3; break;
    case TqPixelBayerGR12Packed: bayer(SrcKind::Bayer16, 12, true, true); s.packing = SrcKind::MonoPacked3; break;
    case TqPixelBayerGB12Packed: bayer(SrcKind::Bayer16, 12, true, false); s.packing = SrcKind::MonoPacked3; break;
    case TqPixelBayerBG12Packed: bayer(SrcKind::Bayer16, 12, false, false); s.packing = SrcKind::MonoPacked3; break;
    case TqPixelBayerRG10p: bayer(SrcKind::Bayer16, 10, false, true); s.packing = SrcKind::MonoBits; break;
    case TqPixelBayerGR10p: bayer(SrcKind::Bayer16, 10, true, true); s.packing = SrcKind::MonoBits; break;
    case TqPixelBayerGB10p: bayer(SrcKind::Bayer16, 10, true, false); s.packing = SrcKind::MonoBits; break;
    case TqPixelBayerBG10p: bayer(SrcKind::Bayer16, 10, false, false); s.packing = SrcKind::MonoBits; break;
    case TqPixelBayerRG12p: bayer(SrcKind::Bayer16, 12, false, true); s.packing = SrcKind::MonoBits; break;
    case TqPixelBayerGR12p: bayer(SrcKind::Bayer16, 12, true, true); s.packing = SrcKind::MonoBits; break;
    case TqPixelBayerGB12p: bayer(SrcKind::Bayer16, 12, true, false); s.packing = SrcKind::MonoBits; break;
    case TqPixelBayerBG12p: bayer(SrcKind::Bayer16, 12, false, false); s.packing = SrcKind::MonoBits; break;
    case TqPixelBayerRG14p: bayer(SrcKind::Bayer16, 14, false, true); s.packing = SrcKind::MonoBits; break;
    case TqPixelBayerGR14p: bayer(SrcKind::Bayer16, 14, true, true); s.packing = SrcKind::MonoBits; break;
    case TqPixelBayerGB14p: bayer(SrcKind::Bayer16, 14, true, false); s.packing = SrcKind::MonoBits; break;
    case TqPixelBayerBG14p: bayer(SrcKind::Bayer16, 14, false, false); s.packing = SrcKind::MonoBits; break;
    case TqPixelRGB8: colour(3, 0, 1, 2); break;
    case TqPixelBGR8: colour(3, 2, 1, 0); break;
    case TqPixelRGBa8: colour(4, 0, 1, 2); break;
    case TqPixelBGRa8: colour(4, 2, 1, 0); break;
    case TqPixelYUV422_8: s.kind = SrcKind::Yuv422; break;
    case TqPixelYUV422_8_UYVY: s.kind = SrcKind::Yuv422; s.uyvy = true; break;
    default: break;
    }
    return s;
}

DstInfo DescribeDestination(TqPixelType aType) {
    DstInfo d;
    auto colour = [&](DstKind aKind, int aN, int aR, int aB) {
        d.kind = aKind;
        d.n = aN;
        d.r = aR;
        d.g = 1;
        d.b = aB;
    };
    switch (aType) {
    case TqPixelMono8: d.kind = DstKind::Mono8; break;
    case TqPixelMono16: d.kind = DstKind::Mono16; break;
    case TqPixelRGB8: colour(DstKind::Colour8, 3, 0, 2); break;
    case TqPixelBGR8: colour(DstKind::Colour8, 3, 2, 0); break;
    case TqPixelRGBa8: colour(DstKind::Colour8, 4, 0, 2); break;
    case TqPixelBGRa8: colour(DstKind::Colour8, 4, 2, 0); break;
    case TqPixelRGB16: colour(DstKind::Colour16, 3, 0, 2); break;
    case TqPixelBGR16: colour(DstKind::Colour16, 3, 2, 0); break;
    case TqPixelRGBa16: colour(DstKind::Colour16, 4, 0, 2); break;
    case TqPixelBGRa16: colour(DstKind::Colour16, 4, 2, 0); break;
    default: break;
    }
    return d;
}

bool Supported(const SrcInfo& aS, const DstInfo& aD) {
    switch (aS.kind) {
    case SrcKind::Mono8:
    case SrcKind::Mono16:
    case SrcKind::MonoPacked3:
    case SrcKind::MonoBits:
        return aD.kind == DstKind::Mono8 || aD.kind == DstKind::Mono16 || aD.kind == DstKind::Colour8;
    case SrcKind::Bayer8: return aD.kind == DstKind::Colour8;
    case SrcKind::Bayer16: return aD.kind == DstKind::Colour8 || aD.kind == DstKind::Colour16;
    case SrcKind::Colour8:
    case SrcKind::Yuv422: return aD.kind == DstKind::Colour8 || aD.kind == DstKind::Mono8;
    case SrcKind::None: return false;
    }
    return false;
}

// ---- the colour filter as lookup tables of the destination's levels ----

struct Luts {
    bool active = false;
    uint8_t l8[3][256];
    std::vector<uint16_t> l16[3];
};

void BuildLuts(Luts& aLuts, const double aGain[3], const int32_t aOffset[3], bool aWide) {
    aLuts.active = true;
    for (int c = 0; c < 3; ++c) {
        const double max = aWide ? 65535.0 : 255.0;
        const uint32_t levels = aWide ? 65536 : 256;
        if (aWide) aLuts.l16[c].resize(levels);
        for (uint32_t x = 0; x < levels; ++x) {
            double v = aGain[c] * x + aOffset[c];
            v = std::isnan(v) ? 0.0 : std::floor(std::clamp(v, 0.0, max) + 0.5);
            if (v > max) v = max;
            if (aWide)
                aLuts.l16[c][x] = static_cast<uint16_t>(v);
            else
                aLuts.l8[c][x] = static_cast<uint8_t>(v);
        }
    }
}

// ---- output pixel layouts ----

template <int N, int R, int B>
struct Layout {
    static constexpr int kN = N, kR = R, kG = 1, kB = B;
};
using LayRGB = Layout<3, 0, 2>;
using LayBGR = Layout<3, 2, 0>;
using LayRGBa = Layout<4, 0, 2>;
using LayBGRa = Layout<4, 2, 0>;

template <class F>
void WithLayout(int aN, int aR, F&& aF) {
    if (aN == 3) {
        if (aR == 0) aF(LayRGB{}); else aF(LayBGR{});
    } else {
        if (aR == 0) aF(LayRGBa{}); else aF(LayBGRa{});
    }
}

template <class F>
void WithBool(bool aValue, F&& aF) {
    if (aValue) aF(std::true_type{}); else aF(std::false_type{});
}

// Brings a level of the source's depth to the destination's, then through the filter.
template <class D, bool kF>
struct Emit {
    static constexpr bool kFilter = kF;
    int shift;   // 8-bit destination: right shift; 16-bit destination: left shift
    const Luts* luts;
    inline D operator()(uint32_t aLevel, int aChannel) const {
        if constexpr (sizeof(D) == 1) {
            uint32_t v = aLevel >> shift;
            if constexpr (kF) return luts->l8[aChannel][std::min<uint32_t>(v, 255)];
            else return static_cast<D>(v);
        } else {
            uint16_t v = static_cast<uint16_t>(aLevel << shift);
            if constexpr (kF) return luts->l16[aChannel][v];
            else return v;
        }
    }
};

template <class L, class D>
inline void Store(D* aOut, D aR, D aG, D aB) {
    aOut[L::kR] = aR;
    aOut[L::kG] = aG;
    aOut[L::kB] = aB;
    if constexpr (L::kN == 4) aOut[3] = static_cast<D>(sizeof(D) == 1 ? 0xFF : 0xFFFF);
}


// ---- vector paths (x86-64 with SSSE3, chosen at run time) ----

#if defined(__x86_64__) && defined(__GNUC__)
#define TQ_CONVERTER_SIMD 1
#endif

#ifdef TQ_CONVERTER_SIMD

bool HasSsse3() {
    static const bool has = TqPixelKernels::Runs(TqPixelKernels::Isa::Ssse3);
    return has;
}

// Shuffle masks that interleave three planes of 16 bytes into 48 bytes of 3-byte pixels: mask
// [block][plane] puts the plane's bytes into their places of output block `block`.
struct Interleave3Masks {
    alignas(16) uint8_t m[3][3][16];
    Interleave3Masks() {
        for (int block = 0; block < 3; ++block)
            for (int plane = 0; plane < 3; ++plane)
                for (int k = 0; k < 16; ++k) {
                    const int at = block * 16 + k;
                    m[block][plane][k] = at % 3 == plane ? static_cast<uint8_t>(at / 3) : 0x80;
                }
    }
};
const Interleave3Masks kInterleave3;

template <int N>
__attribute__((target("ssse3"))) inline void StorePixels(uint8_t* aOut, __m128i aC0, __m128i aC1, __m128i aC2) {
    if constexpr (N == 3) {
        for (int block = 0; block < 3; ++block) {
            const __m128i* m = reinterpret_cast<const __m128i*>(kInterleave3.m[block]);
            __m128i v = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(aC0, _mm_load_si128(m)),
                                                  _mm_shuffle_epi8(aC1, _mm_load_si128(m + 1))),
                                     _mm_shuffle_epi8(aC2, _mm_load_si128(m + 2)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(aOut + 16 * block), v);
        }
    } else {
        const __m128i alpha = _mm_set1_epi8(static_cast<char>(0xFF));
        const __m128i lo01 = _mm_unpacklo_epi8(aC0, aC1), hi01 = _mm_unpackhi_epi8(aC0, aC1);
        const __m128i lo2a = _mm_unpacklo_epi8(aC2, alpha), hi2a = _mm_unpackhi_epi8(aC2, alpha);
        __m128i* o = reinterpret_cast<__m128i*>(aOut);
        _mm_storeu_si128(o, _mm_unpacklo_epi16(lo01, lo2a));
        _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(lo01, lo2a));
        _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(hi01, hi2a));
        _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(hi01, hi2a));
    }
}

// The bilinear filter on 16 pixels at a time from column aX (interior columns only: it reads
// columns aX - 1 to aX + 16). kGreenEven: the pixels aX, aX + 2, ... are green; kXFirst: the row's
// own colour (red in a red row) is stored first. Returns the first column left undone.
template <bool kGreenEven, bool kXFirst, int N>
__attribute__((target("ssse3"))) uint32_t Bilinear8Ssse3(const uint8_t* aUp, const uint8_t* aCur, const uint8_t* aDn,
                                                         uint32_t aW, uint8_t* aOut, uint32_t aX) {
    const __m128i low = _mm_set1_epi16(0x00FF);
    const __m128i two = _mm_set1_epi16(2);
    auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    auto even = [&](__m128i v) { return _mm_and_si128(v, low); };
    auto odd = [](__m128i v) { return _mm_srli_epi16(v, 8); };
    auto avg4 = [&](__m128i a, __m128i b, __m128i c, __m128i d) {
        return _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(_mm_add_epi16(a, b), _mm_add_epi16(c, d)), two), 2);
    };
    for (; aX + 16 < aW; aX += 16) {
        // In 16-bit lanes i: m* column aX + 2i, o* aX + 2i + 1, l* aX + 2i - 1, r* aX + 2i + 2.
        const __m128i cM = load(aCur + aX), uM = load(aUp + aX), dM = load(aDn + aX);
        const __m128i cm = even(cM), co = odd(cM), um = even(uM), uo = odd(uM), dm = even(dM), dO = odd(dM);
        __m128i gE, gO, xE, xO, yE, yO;
        if constexpr (kGreenEven) {
            const __m128i cl = even(load(aCur + aX - 1));
            const __m128i cr = odd(load(aCur + aX + 1)), ur = odd(load(aUp + aX + 1)), dr = odd(load(aDn + aX + 1));
            gE = cm;
            xE = _mm_avg_epu16(cl, co);
            yE = _mm_avg_epu16(um, dm);
            xO = co;
            gO = avg4(cm, cr, uo, dO);
            yO = avg4(um, ur, dm, dr);
        } else {
            const __m128i cl = even(load(aCur + aX - 1)), ul = even(load(aUp + aX - 1)), dl = even(load(aDn + aX - 1));
            const __m128i cr = odd(load(aCur + aX + 1));
            xE = cm;
            gE = avg4(cl, co, um, dm);
            yE = avg4(ul, uo, dl, dO);
            gO = co;
            xO = _mm_avg_epu16(cm, cr);
            yO = _mm_avg_epu16(uo, dO);
        }
        const __m128i g = _mm_or_si128(gE, _mm_slli_epi16(gO, 8));
        const __m128i x = _mm_or_si128(xE, _mm_slli_epi16(xO, 8));
        const __m128i y = _mm_or_si128(yE, _mm_slli_epi16(yO, 8));
        if constexpr (kXFirst) StorePixels<N>(aOut + size_t{aX} * N, x, g, y);
        else StorePixels<N>(aOut + size_t{aX} * N, y, g, x);
    }
    return aX;
}

// The simple filter on 16 pixels at a time from column aX (reads columns aX to aX + 16 of the row
// and of the row below or above). kGreenEven: the pixels aX, aX + 2, ... are green; kXFirst: the
// row's own colour is stored first. Returns the first column left undone.
template <bool kGreenEven, bool kXFirst, int N>
__attribute__((target("ssse3"))) uint32_t Simple8Ssse3(const uint8_t* aCur, const uint8_t* aNext, uint32_t aW,
                                                       uint8_t* aOut, uint32_t aX) {
    // Byte k of a block is the pixel aX + k: green where the mask is set.
    const __m128i green = kGreenEven ? _mm_set1_epi16(0x00FF) : _mm_set1_epi16(static_cast<short>(0xFF00));
    auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    auto pick = [&](__m128i aIfGreen, __m128i aElse) {
        return _mm_or_si128(_mm_and_si128(green, aIfGreen), _mm_andnot_si128(green, aElse));
    };
    for (; aX + 16 < aW; aX += 16) {
        // The window of pixel p: a = (p, row), b = (p + 1, row), c = (p, other row), d = (p + 1, other row).
        const __m128i a = load(aCur + aX), b = load(aCur + aX + 1), c = load(aNext + aX), d = load(aNext + aX + 1);
        const __m128i g = pick(_mm_avg_epu8(a, d), _mm_avg_epu8(b, c));
        const __m128i x = pick(b, a);
        const __m128i y = pick(c, d);
        if constexpr (kXFirst) StorePixels<N>(aOut + size_t{aX} * N, x, g, y);
        else StorePixels<N>(aOut + size_t{aX} * N, y, g, x);
    }
    return aX;
}

#endif  // TQ_CONVERTER_SIMD

// The vector part of a simple-filter row of 8-bit levels into 8-bit pixels without a filter, from
// column aX (even); returns where the scalar loop goes on.
template <class L>
uint32_t Simple8Vector(const uint8_t* aCur, const uint8_t* aNext, uint32_t aW, uint8_t* aOut, uint32_t aX,
                       bool aGreenAtX, bool aRedRow) {
#ifdef TQ_CONVERTER_SIMD
    if (!HasSsse3()) return aX;
    const bool xFirst = aRedRow == (L::kR == 0);
    if (aGreenAtX) {
        return xFirst ? Simple8Ssse3<true, true, L::kN>(aCur, aNext, aW, aOut, aX)
                      : Simple8Ssse3<true, false, L::kN>(aCur, aNext, aW, aOut, aX);
    }
    return xFirst ? Simple8Ssse3<false, true, L::kN>(aCur, aNext, aW, aOut, aX)
                  : Simple8Ssse3<false, false, L::kN>(aCur, aNext, aW, aOut, aX);
#else
    return aX;
#endif
}

// The vector part of a bilinear row of 8-bit levels into 8-bit pixels without a filter, from column
// aX (odd); returns where the scalar loop goes on (aX itself without a vector path).
template <class L>
uint32_t Bilinear8Vector(const uint8_t* aUp, const uint8_t* aCur, const uint8_t* aDn, uint32_t aW, uint8_t* aOut,
                         uint32_t aX, bool aGreenAtX, bool aRedRow) {
#ifdef TQ_CONVERTER_SIMD
    if (!HasSsse3()) return aX;
    const bool xFirst = aRedRow == (L::kR == 0);   // red first in RGB, blue first in BGR
    if (aGreenAtX) {
        return xFirst ? Bilinear8Ssse3<true, true, L::kN>(aUp, aCur, aDn, aW, aOut, aX)
                      : Bilinear8Ssse3<true, false, L::kN>(aUp, aCur, aDn, aW, aOut, aX);
    }
    return xFirst ? Bilinear8Ssse3<false, true, L::kN>(aUp, aCur, aDn, aW, aOut, aX)
                  : Bilinear8Ssse3<false, false, L::kN>(aUp, aCur, aDn, aW, aOut, aX);
#else
    return aX;
#endif
}

// ---- rows ----

// A row of 16-bit levels that may lie at an odd address: read through a copy then.
const uint16_t* Row16(const uint8_t* aRow, uint32_t aCount, std::vector<uint16_t>& aCopy) {
    if ((reinterpret_cast<uintptr_t>(aRow) & 1) == 0) return reinterpret_cast<const uint16_t*>(aRow);
    aCopy.resize(aCount);
    std::memcpy(aCopy.data(), aRow, size_t{aCount} * 2);
    return aCopy.data();
}

// Unpacks a row of packed mono levels into 16-bit levels.
void UnpackPacked3(const uint8_t* aIn, uint32_t aWidth, uint32_t aDepth, uint16_t* aOut) {
    // Two pixels in three bytes: the high bits of pixel 0, the low bits of both (pixel 0 in the low
    // nibble, pixel 1 in the high one), the high bits of pixel 1.
    const uint32_t low = aDepth - 8;   // 2 or 4 low bits
    const uint32_t mask = (1u << low) - 1;
    uint32_t x = 0;
    for (; x + 1 < aWidth; x += 2, aIn += 3) {
        aOut[x] = static_cast<uint16_t>((aIn[0] << low) | (aIn[1] & mask));
        aOut[x + 1] = static_cast<uint16_t>((aIn[2] << low) | ((aIn[1] >> 4) & mask));
    }
    if (x < aWidth) aOut[x] = static_cast<uint16_t>((aIn[0] << low) | (aIn[1] & mask));
}

void UnpackBits(const uint8_t* aIn, uint32_t aWidth, uint32_t aDepth, uint16_t* aOut) {
    // Pixel i holds bits [i d, (i + 1) d) of the row read as a little-endian bit stream.
    const uint32_t mask = (1u << aDepth) - 1;
    const uint64_t bytes = (uint64_t{aWidth} * aDepth + 7) / 8;
    for (uint32_t x = 0; x < aWidth; ++x) {
        uint64_t bit = uint64_t{x} * aDepth;
        uint64_t at = bit >> 3;
        uint32_t word = 0;
        for (uint32_t k = 0; k < 3 && at + k < bytes; ++k) word |= uint32_t{aIn[at + k]} << (8 * k);
        aOut[x] = static_cast<uint16_t>((word >> (bit & 7)) & mask);
    }
}

struct Job {
    const uint8_t* src;
    size_t srcStride;
    uint8_t* dst;
    size_t dstStride;
    uint32_t width;
    uint32_t height;
    bool flip;
    SrcInfo s;
    DstInfo d;
    TqPixelType srcType;
    TqPixelType dstType;
    TqBayerFilterType bayer;
    const Luts* luts;
};

// Each band works with scratch rows of its own.
struct Scratch {
    std::vector<uint16_t> a, b, c, levels, out16;
    std::vector<uint8_t> mono8;
};
// The most a thread's scratch rows take, in bytes a pixel of the width.
constexpr uint64_t kScratchBytesPerPixel = 5 * sizeof(uint16_t) + 1;

inline uint8_t* DstRow(const Job& aJob, uint32_t aY) {
    return aJob.dst + aJob.dstStride * (aJob.flip ? aJob.height - 1 - aY : aY);
}

// Runs aKernel(in, out, pixels) over rows [aY0, aY1), aInBytes and aOutBytes a pixel's bytes in
// each image: in one call when the rows of both follow one another without padding in the same
// order (a kernel that goes pixel by pixel then sees no row ends), else a call a row.
template <class K>
void KernelRows(const Job& aJob, uint32_t aY0, uint32_t aY1, size_t aInBytes, size_t aOutBytes, K&& aKernel) {
    const size_t w = aJob.width;
    if (!aJob.flip && aJob.srcStride == w * aInBytes && aJob.dstStride == w * aOutBytes) {
        aKernel(aJob.src + aJob.srcStride * aY0, DstRow(aJob, aY0), w * (aY1 - aY0));
        return;
    }
    for (uint32_t y = aY0; y < aY1; ++y) aKernel(aJob.src + aJob.srcStride * y, DstRow(aJob, y), w);
}

// A copy of aCount pixels of kBytes bytes.
template <size_t kBytes>
void CopyPixels(const uint8_t* aIn, uint8_t* aOut, size_t aCount) {
    std::memcpy(aOut, aIn, aCount * kBytes);
}

// The destination row as 16-bit levels: written in place when aligned, else through a copy that
// FinishRow16 puts in place.
uint16_t* OutRow16(uint8_t* aRow, size_t aCount, Scratch& aScratch) {
    if ((reinterpret_cast<uintptr_t>(aRow) & 1) == 0) return reinterpret_cast<uint16_t*>(aRow);
    aScratch.out16.resize(aCount);
    return aScratch.out16.data();
}
void FinishRow16(uint8_t* aRow, const uint16_t* aWritten, size_t aCount) {
    if (reinterpret_cast<const uint8_t*>(aWritten) != aRow) std::memcpy(aRow, aWritten, aCount * 2);
}

// -- mono --

void MonoRows(const Job& aJob, uint32_t aY0, uint32_t aY1, Scratch& aScratch) {
    const uint32_t w = aJob.width;
    const uint32_t depth = aJob.s.depth;
    if (aJob.d.kind == DstKind::Mono8 && aJob.s.kind == SrcKind::Mono8) {
        KernelRows(aJob, aY0, aY1, 1, 1, CopyPixels<1>);
        return;
    }
    if (aJob.d.kind == DstKind::Mono8 && aJob.s.kind == SrcKind::Mono16) {
        KernelRows(aJob, aY0, aY1, 2, 1, [&](const uint8_t* aIn, uint8_t* aOut, size_t aCount) {
            TqPixelKernels::Narrow16(aIn, aOut, aCount, depth - 8);
        });
        return;
    }
    for (uint32_t y = aY0; y < aY1; ++y) {
        const uint8_t* in = aJob.src + aJob.srcStride * y;
        uint8_t* out = DstRow(aJob, y);
        const uint8_t* in8 = nullptr;
        const uint8_t* in16 = nullptr;   // 16-bit levels, at any address
        switch (aJob.s.kind) {
        case SrcKind::Mono8: in8 = in; break;
        case SrcKind::Mono16: in16 = in; break;
        case SrcKind::MonoPacked3:
            aScratch.levels.resize(w);
            UnpackPacked3(in, w, depth, aScratch.levels.data());
            in16 = reinterpret_cast<const uint8_t*>(aScratch.levels.data());
            break;
        default:
            aScratch.levels.resize(w);
            UnpackBits(in, w, depth, aScratch.levels.data());
            in16 = reinterpret_cast<const uint8_t*>(aScratch.levels.data());
            break;
        }
        if (aJob.d.kind == DstKind::Mono16) {
            uint16_t* o = OutRow16(out, w, aScratch);
            if (in8 != nullptr) {
                for (uint32_t x = 0; x < w; ++x) o[x] = static_cast<uint16_t>(in8[x] << 8);
            } else {
                const uint16_t* levels = Row16(in16, w, aScratch.a);
                const uint32_t shift = 16 - depth;
                for (uint32_t x = 0; x < w; ++x) o[x] = static_cast<uint16_t>(levels[x] << shift);
            }
            FinishRow16(out, o, w);
            continue;
        }
        // An 8-bit level per pixel: the source's own, or narrowed straight into a Mono8 row or into
        // a scratch row (Mono8 into Mono8 went above).
        const uint8_t* level = in8;
        if (in8 == nullptr) {
            uint8_t* narrowed = out;
            if (aJob.d.kind != DstKind::Mono8) {
                aScratch.mono8.resize(w);
                narrowed = aScratch.mono8.data();
            }
            TqPixelKernels::Narrow16(in16, narrowed, w, depth - 8);
            level = narrowed;
        }
        if (aJob.d.kind == DstKind::Mono8) continue;
        WithLayout(aJob.d.n, aJob.d.r, [&](auto aLay) {
            using L = decltype(aLay);
            if (aJob.luts->active) {
                const auto& l = aJob.luts->l8;
                for (uint32_t x = 0; x < w; ++x) Store<L>(out + x * L::kN, l[0][level[x]], l[1][level[x]], l[2][level[x]]);
            } else {
                for (uint32_t x = 0; x < w; ++x) Store<L>(out + x * L::kN, level[x], level[x], level[x]);
            }
        });
    }
}

// -- colour and YUV --

template <class L, bool kFilter>
void ColourRow(const uint8_t* aIn, const SrcInfo& aS, uint32_t aW, uint8_t* aOut, const Luts* aLuts) {
    auto run = [&](auto aN, auto aR, auto aB) {
        constexpr int N = decltype(aN)::value, R = decltype(aR)::value, B = decltype(aB)::value;
        for (uint32_t x = 0; x < aW; ++x) {
            const uint8_t* p = aIn + x * N;
            uint8_t* o = aOut + x * L::kN;
            if constexpr (kFilter) {
                o[L::kR] = aLuts->l8[0][p[R]];
                o[L::kG] = aLuts->l8[1][p[1]];
                o[L::kB] = aLuts->l8[2][p[B]];
            } else {
                o[L::kR] = p[R];
                o[L::kG] = p[1];
                o[L::kB] = p[B];
            }
            if constexpr (L::kN == 4) o[3] = N == 4 ? p[3] : 0xFF;
        }
    };
    using I3 = std::integral_constant<int, 3>;
    using I4 = std::integral_constant<int, 4>;
    using I0 = std::integral_constant<int, 0>;
    using I2 = std::integral_constant<int, 2>;
    if (aS.n == 3) {
        if (aS.r == 0) run(I3{}, I0{}, I2{}); else run(I3{}, I2{}, I0{});
    } else {
        if (aS.r == 0) run(I4{}, I0{}, I2{}); else run(I4{}, I2{}, I0{});
    }
}

inline uint8_t Luma(uint32_t aR, uint32_t aG, uint32_t aB) {
    return static_cast<uint8_t>((77 * aR + 150 * aG + 29 * aB + 128) >> 8);
}

void ColourRows(const Job& aJob, uint32_t aY0, uint32_t aY1) {
    const uint32_t w = aJob.width;
    const SrcInfo& s = aJob.s;
    const bool filter = aJob.luts->active;
    if (aJob.d.kind == DstKind::Colour8 && !filter && aJob.srcType == aJob.dstType) {
        if (s.n == 3) KernelRows(aJob, aY0, aY1, 3, 3, CopyPixels<3>);
        else KernelRows(aJob, aY0, aY1, 4, 4, CopyPixels<4>);
        return;
    }
    if (aJob.d.kind == DstKind::Colour8 && !filter && s.n == 3 && aJob.d.n == 3) {   // RGB8 <-> BGR8
        KernelRows(aJob, aY0, aY1, 3, 3, [](const uint8_t* aIn, uint8_t* aOut, size_t aCount) {
            TqPixelKernels::SwapRB3(aIn, aOut, aCount);
        });
        return;
    }
    for (uint32_t y = aY0; y < aY1; ++y) {
        const uint8_t* in = aJob.src + aJob.srcStride * y;
        uint8_t* out = DstRow(aJob, y);
        if (aJob.d.kind == DstKind::Mono8) {
            for (uint32_t x = 0; x < w; ++x) {
                const uint8_t* p = in + x * s.n;
                uint32_t r = p[s.r], g = p[s.g], b = p[s.b];
                if (filter) {
                    r = aJob.luts->l8[0][r];
                    g = aJob.luts->l8[1][g];
                    b = aJob.luts->l8[2][b];
                }
                out[x] = Luma(r, g, b);
            }
            continue;
        }
        WithLayout(aJob.d.n, aJob.d.r, [&](auto aLay) {
            WithBool(filter, [&](auto aF) { ColourRow<decltype(aLay), decltype(aF)::value>(in, s, w, out, aJob.luts); });
        });
    }
}

inline uint8_t Clamp8(int32_t aV) { return static_cast<uint8_t>(aV < 0 ? 0 : (aV > 255 ? 255 : aV)); }

template <class L, bool kFilter>
void YuvRow(const uint8_t* aIn, bool aUyvy, uint32_t aW, uint8_t* aOut, const Luts* aLuts) {
    const int iy0 = aUyvy ? 1 : 0, iu = aUyvy ? 0 : 1, iy1 = aUyvy ? 3 : 2, iv = aUyvy ? 2 : 3;
    for (uint32_t x = 0; x + 1 < aW; x += 2) {
        const uint8_t* p = aIn + 2 * x;
        const int32_t u = p[iu] - 128, v = p[iv] - 128;
        const int32_t dr = 91881 * v + 32768;
        const int32_t dg = -22554 * u - 46802 * v + 32768;
        const int32_t db = 116130 * u + 32768;
        for (int k = 0; k < 2; ++k) {
            const int32_t yy = int32_t{p[k ? iy1 : iy0]} << 16;
            uint8_t r = Clamp8((yy + dr) >> 16), g = Clamp8((yy + dg) >> 16), b = Clamp8((yy + db) >> 16);
            if constexpr (kFilter) {
                r = aLuts->l8[0][r];
                g = aLuts->l8[1][g];
                b = aLuts->l8[2][b];
            }
            Store<L>(aOut + (x + k) * L::kN, r, g, b);
        }
    }
}

void YuvRows(const Job& aJob, uint32_t aY0, uint32_t aY1) {
    const uint32_t w = aJob.width;
    const bool uyvy = aJob.s.uyvy;
    for (uint32_t y = aY0; y < aY1; ++y) {
        const uint8_t* in = aJob.src + aJob.srcStride * y;
        uint8_t* out = DstRow(aJob, y);
        if (aJob.d.kind == DstKind::Mono8) {
            const int iy = uyvy ? 1 : 0;
            for (uint32_t x = 0; x < w; ++x) out[x] = in[2 * x + iy];   // Y0 and Y1 sit 2 bytes apart
            continue;
        }
        WithLayout(aJob.d.n, aJob.d.r, [&](auto aLay) {
            WithBool(aJob.luts->active,
                     [&](auto aF) { YuvRow<decltype(aLay), decltype(aF)::value>(in, uyvy, w, out, aJob.luts); });
        });
    }
}

// -- Bayer --

// One pixel of the bilinear filter. aL and aR are the columns left and right of aX (mirrored at the
// borders); kGreen: the pixel is green; kRedRow: the row holds red.
template <class L, class T, class D, class E, bool kGreen, bool kRedRow>
inline void Bilinear(const T* aUp, const T* aCur, const T* aDn, uint32_t aX, uint32_t aL, uint32_t aR, D* aOut,
                     const E& aEmit) {
    uint32_t r, g, b;
    if constexpr (kGreen) {
        const uint32_t h = (uint32_t{aCur[aL]} + aCur[aR] + 1) >> 1;
        const uint32_t v = (uint32_t{aUp[aX]} + aDn[aX] + 1) >> 1;
        g = aCur[aX];
        r = kRedRow ? h : v;
        b = kRedRow ? v : h;
    } else {
        const uint32_t own = aCur[aX];
        g = (uint32_t{aCur[aL]} + aCur[aR] + aUp[aX] + aDn[aX] + 2) >> 2;
        const uint32_t diag = (uint32_t{aUp[aL]} + aUp[aR] + aDn[aL] + aDn[aR] + 2) >> 2;
        r = kRedRow ? own : diag;
        b = kRedRow ? diag : own;
    }
    Store<L>(aOut + aX * L::kN, aEmit(r, 0), aEmit(g, 1), aEmit(b, 2));
}

template <class L, class T, class D, class E, bool kGreen0, bool kRedRow>
void BilinearRow(const T* aUp, const T* aCur, const T* aDn, uint32_t aW, D* aOut, const E& aEmit) {
    // Column 0 mirrors column 1; the last column mirrors the one before it.
    Bilinear<L, T, D, E, kGreen0, kRedRow>(aUp, aCur, aDn, 0, 1, 1, aOut, aEmit);
    uint32_t x = 1;
    if constexpr (sizeof(T) == 1 && sizeof(D) == 1 && !E::kFilter)
        x = Bilinear8Vector<L>(aUp, aCur, aDn, aW, aOut, x, !kGreen0, kRedRow);   // x stays odd
    for (; x + 2 < aW; x += 2) {
        Bilinear<L, T, D, E, !kGreen0, kRedRow>(aUp, aCur, aDn, x, x - 1, x + 1, aOut, aEmit);
        Bilinear<L, T, D, E, kGreen0, kRedRow>(aUp, aCur, aDn, x + 1, x, x + 2, aOut, aEmit);
    }
    for (; x < aW; ++x) {   // the last column, after an odd or even run
        const uint32_t right = x + 1 < aW ? x + 1 : x - 1;
        if (((x & 1) != 0) != kGreen0)
            Bilinear<L, T, D, E, true, kRedRow>(aUp, aCur, aDn, x, x - 1, right, aOut, aEmit);
        else
            Bilinear<L, T, D, E, false, kRedRow>(aUp, aCur, aDn, x, x - 1, right, aOut, aEmit);
    }
}

// One pixel of the simple filter from its 2 x 2 window: a itself, b beside it, c below it, d the
// diagonal.
template <class L, class D, class E, bool kGreen, bool kRedRow>
inline void Simple(uint32_t aA, uint32_t aB, uint32_t aC, uint32_t aD, D* aOut, const E& aEmit) {
    uint32_t r, g, b;
    if constexpr (kGreen) {
        g = (aA + aD + 1) >> 1;
        r = kRedRow ? aB : aC;
        b = kRedRow ? aC : aB;
    } else {
        g = (aB + aC + 1) >> 1;
        r = kRedRow ? aA : aD;
        b = kRedRow ? aD : aA;
    }
    Store<L>(aOut, aEmit(r, 0), aEmit(g, 1), aEmit(b, 2));
}

template <class L, class T, class D, class E, bool kGreen0, bool kRedRow>
void SimpleRow(const T* aCur, const T* aNext, uint32_t aW, D* aOut, const E& aEmit) {
    uint32_t x = 0;
    if constexpr (sizeof(T) == 1 && sizeof(D) == 1 && !E::kFilter)
        x = Simple8Vector<L>(aCur, aNext, aW, aOut, x, kGreen0, kRedRow);   // x stays even
    for (; x + 2 < aW; x += 2) {
        Simple<L, D, E, kGreen0, kRedRow>(aCur[x], aCur[x + 1], aNext[x], aNext[x + 1], aOut + x * L::kN, aEmit);
        Simple<L, D, E, !kGreen0, kRedRow>(aCur[x + 1], aCur[x + 2], aNext[x + 1], aNext[x + 2],
                                           aOut + (x + 1) * L::kN, aEmit);
    }
    for (; x < aW; ++x) {   // the window of the last column slides back one column
        const uint32_t side = x + 1 < aW ? x + 1 : x - 1;
        if (((x & 1) != 0) != kGreen0)
            Simple<L, D, E, true, kRedRow>(aCur[x], aCur[side], aNext[x], aNext[side], aOut + x * L::kN, aEmit);
        else
            Simple<L, D, E, false, kRedRow>(aCur[x], aCur[side], aNext[x], aNext[side], aOut + x * L::kN, aEmit);
    }
}

template <class T>
const T* SourceRow(const Job& aJob, uint32_t aY, std::vector<uint16_t>& aCopy) {
    const uint8_t* row = aJob.src + aJob.srcStride * aY;
    if constexpr (sizeof(T) == 1) {
        return row;
    } else {
        if (aJob.s.packing == SrcKind::None) return Row16(row, aJob.width, aCopy);
        aCopy.resize(aJob.width);
        if (aJob.s.packing == SrcKind::MonoPacked3) UnpackPacked3(row, aJob.width, aJob.s.depth, aCopy.data());
        else UnpackBits(row, aJob.width, aJob.s.depth, aCopy.data());
        return aCopy.data();
    }
}

template <class T, class D, class L, bool kFilter>
void BayerRowsTyped(const Job& aJob, uint32_t aY0, uint32_t aY1, Scratch& aScratch) {
    const uint32_t w = aJob.width, h = aJob.height;
    const Emit<D, kFilter> emit{sizeof(D) == 1 ? static_cast<int>(aJob.s.depth) - 8 : 16 - static_cast<int>(aJob.s.depth),
                                aJob.luts};
    const size_t outCount = size_t{w} * L::kN;
    for (uint32_t y = aY0; y < aY1; ++y) {
        uint8_t* outRow = DstRow(aJob, y);
        D* out;
        if constexpr (sizeof(D) == 1) out = outRow;
        else out = OutRow16(outRow, outCount, aScratch);
        const bool green0 = aJob.s.topLeftGreen != ((y & 1) != 0);
        const bool redRow = aJob.s.firstRowRed != ((y & 1) != 0);
        const T* cur = SourceRow<T>(aJob, y, aScratch.a);
        auto dispatch = [&](auto aFn) {
            if (green0) {
                if (redRow) aFn(std::true_type{}, std::true_type{}); else aFn(std::true_type{}, std::false_type{});
            } else {
                if (redRow) aFn(std::false_type{}, std::true_type{}); else aFn(std::false_type{}, std::false_type{});
            }
        };
        if (aJob.bayer == TqBayerFilterSimple) {
            const T* next = SourceRow<T>(aJob, y + 1 < h ? y + 1 : y - 1, aScratch.b);
            dispatch([&](auto aG, auto aR) {
                SimpleRow<L, T, D, Emit<D, kFilter>, decltype(aG)::value, decltype(aR)::value>(cur, next, w, out, emit);
            });
        } else {
            const T* up = SourceRow<T>(aJob, y == 0 ? 1 : y - 1, aScratch.b);
            const T* dn = SourceRow<T>(aJob, y + 1 < h ? y + 1 : y - 1, aScratch.c);
            dispatch([&](auto aG, auto aR) {
                BilinearRow<L, T, D, Emit<D, kFilter>, decltype(aG)::value, decltype(aR)::value>(up, cur, dn, w, out,
                                                                                                  emit);
            });
        }
        if constexpr (sizeof(D) == 2) FinishRow16(outRow, out, outCount);
    }
}

void BayerRows(const Job& aJob, uint32_t aY0, uint32_t aY1, Scratch& aScratch) {
    WithLayout(aJob.d.n, aJob.d.r, [&](auto aLay) {
        using L = decltype(aLay);
        WithBool(aJob.luts->active, [&](auto aF) {
            constexpr bool kF = decltype(aF)::value;
            if (aJob.s.kind == SrcKind::Bayer8)
                BayerRowsTyped<uint8_t, uint8_t, L, kF>(aJob, aY0, aY1, aScratch);
            else if (aJob.d.kind == DstKind::Colour8)
                BayerRowsTyped<uint16_t, uint8_t, L, kF>(aJob, aY0, aY1, aScratch);
            else
                BayerRowsTyped<uint16_t, uint16_t, L, kF>(aJob, aY0, aY1, aScratch);
        });
    });
}

void RunRows(const Job& aJob, uint32_t aY0, uint32_t aY1) {
    Scratch scratch;
    switch (aJob.s.kind) {
    case SrcKind::Mono8:
    case SrcKind::Mono16:
    case SrcKind::MonoPacked3:
    case SrcKind::MonoBits: MonoRows(aJob, aY0, aY1, scratch); break;
    case SrcKind::Bayer8:
    case SrcKind::Bayer16: BayerRows(aJob, aY0, aY1, scratch); break;
    case SrcKind::Colour8: ColourRows(aJob, aY0, aY1); break;
    case SrcKind::Yuv422: YuvRows(aJob, aY0, aY1); break;
    case SrcKind::None: break;
    }
}

// ---- the worker threads ----

// Runs aJob(i) for i in [0, n): the calling thread and the workers claim indices until none is left,
// so a worker that a busy machine wakes late costs nothing but its own share. The claim word packs
// the run's number, its count and the next index: a claim (a compare-and-swap of the whole word)
// succeeds only on the current run, so a worker never takes an index of a run that is over. The
// run returns when every index claimed has been done; no mutex is taken on the way. Workers spin
// for a short while after a run before they sleep, so back-to-back conversions find them awake.
class WorkerPool {
    static constexpr unsigned kIndexBits = 24;
    static constexpr uint64_t kIndexMask = (uint64_t{1} << kIndexBits) - 1;
    static constexpr int kSpinMicroseconds = 50;

public:
    explicit WorkerPool(uint32_t aWorkers) : mWorkerCount(aWorkers) {}
    ~WorkerPool() {
        mStop.store(true);
        Wake();
        for (std::thread& t : mThreads) t.join();
    }

    // The largest count one run takes.
    static constexpr uint32_t kMaxCount = (1u << kIndexBits) - 1;

    void Run(uint32_t aCount, const std::function<void(uint32_t)>& aJob) {
        if (aCount <= 1 || mWorkerCount == 0 || aCount > kMaxCount) {
            for (uint32_t i = 0; i < aCount; ++i) aJob(i);
            return;
        }
        if (mThreads.empty() && !StartThreads()) {
            for (uint32_t i = 0; i < aCount; ++i) aJob(i);
            return;
        }
        mJob.store(&aJob, std::memory_order_relaxed);
        mDone.store(0, std::memory_order_relaxed);
        const uint64_t run = ((mClaim.load(std::memory_order_relaxed) >> (2 * kIndexBits)) + 1) & 0xFFFF;
        mClaim.store((run << (2 * kIndexBits)) | (uint64_t{aCount} << kIndexBits), std::memory_order_release);
        Wake();
        Claim();
        // Spin a little for the last indices in other hands, then sleep until they are done.
        const auto finished = [&] { return mDone.load() == aCount; };
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinMicroseconds);
        while (!finished() && std::chrono::steady_clock::now() < until) Relax();
        if (finished()) return;
        mCallerAsleep.store(true);
        {
            std::unique_lock<std::mutex> lock(mSleep);
            mDoneCall.wait(lock, finished);
        }
        mCallerAsleep.store(false);
    }

    uint32_t Workers() const { return mWorkerCount; }

private:
    static void Relax() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#else
        std::this_thread::yield();
#endif
    }

    bool StartThreads() {
        try {
            for (uint32_t i = 0; i < mWorkerCount; ++i) mThreads.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {
            // Fewer threads than asked for: the ones that started (or the caller alone) share the work.
        }
        mWorkerCount = static_cast<uint32_t>(mThreads.size());
        return mWorkerCount != 0;
    }

    // Claims and does indices of the current run until none is left; whether it did any.
    bool Claim() {
        bool any = false;
        uint64_t word = mClaim.load(std::memory_order_acquire);
        for (;;) {
            const uint64_t index = word & kIndexMask, count = (word >> kIndexBits) & kIndexMask;
            if (index >= count) return any;
            if (!mClaim.compare_exchange_weak(word, word + 1, std::memory_order_acq_rel, std::memory_order_acquire))
                continue;
            // The run cannot end before this index is done: its job stays valid meanwhile.
            (*mJob.load(std::memory_order_acquire))(static_cast<uint32_t>(index));
            any = true;
            if (mDone.fetch_add(1) + 1 == count && mCallerAsleep.load()) {
                { std::lock_guard<std::mutex> lock(mSleep); }   // the caller sleeps or sees the count
                mDoneCall.notify_one();
            }
            word = mClaim.load(std::memory_order_acquire);
        }
    }

    // Tells the workers of a new run (or of the stop): those asleep are woken.
    void Wake() {
        mWake.fetch_add(1);
        if (mSleepers.load() == 0) return;   // a worker about to sleep sees the new count first
        { std::lock_guard<std::mutex> lock(mSleep); }
        mWakeCall.notify_all();
    }

    void Work() {
        uint32_t seen = mWake.load();
        for (;;) {
            Claim();
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinMicroseconds);
            // (A worker that starts late may count the stop's wake-up as seen: it looks at the stop too.)
            const auto woken = [&] { return mWake.load() != seen || mStop.load(); };
            while (!woken() && std::chrono::steady_clock::now() < until) Relax();
            if (!woken()) {
                mSleepers.fetch_add(1);
                {
                    std::unique_lock<std::mutex> lock(mSleep);
                    mWakeCall.wait(lock, woken);
                }
                mSleepers.fetch_sub(1);
            }
            seen = mWake.load();
            if (mStop.load()) return;
        }
    }

    uint32_t mWorkerCount;
    std::vector<std::thread> mThreads;
    // Each on a cache line of its own: the claim word is what every thread writes.
    alignas(64) std::atomic<uint64_t> mClaim{0};
    alignas(64) std::atomic<uint32_t> mDone{0};
    alignas(64) std::atomic<uint32_t> mWake{0};
    alignas(64) std::atomic<uint32_t> mSleepers{0};
    std::atomic<bool> mCallerAsleep{false};
    std::atomic<const std::function<void(uint32_t)>*> mJob{nullptr};
    std::atomic<bool> mStop{false};
    // Sleeping only: the workers between runs, the caller for the last indices of a long run.
    std::mutex mSleep;
    std::condition_variable mWakeCall, mDoneCall;
};

// Rows per band: a band ends where a destination row begins on a cache line of its own where the
// row length allows (no two threads write one line), bands small enough that threads finishing at
// different times even out, large enough that a band's rows stay in its thread's caches.
uint32_t BandRows(uint32_t aHeight, size_t aDstStride, uint32_t aThreads) {
    uint32_t step = 1;
    while (step < 64 && (aDstStride * step) % 64 != 0) step *= 2;
    if ((aDstStride * step) % 64 != 0) step = 1;   // no row count brings the rows onto lines
    const uint32_t bands = aThreads * 6;
    uint32_t rows = (aHeight + bands - 1) / bands;
    rows = std::max<uint32_t>(rows, 8);
    return (rows + step - 1) / step * step;
}

uint32_t ThreadCount(int32_t aMax) {
    if (aMax > 0) return static_cast<uint32_t>(aMax);
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}


}  // namespace

struct TqBufferConverter::Impl {
    explicit Impl(uint32_t aThreads) : threads(aThreads), pool(aThreads - 1) {}
    uint32_t threads;
    std::mutex convertMutex;   // one conversion at a time
    WorkerPool pool;
    std::atomic<int32_t> bayer{TqBayerFilter3X3};
    std::atomic<int32_t> biColor{TqBiColorFilter1X2};
    std::atomic<uint32_t> priority{0};
    std::mutex filterMutex;
    bool hasFilter = false;
    double gain[3] = {1.0, 1.0, 1.0};
    int32_t offset[3] = {0, 0, 0};
};

TqBufferConverter::TqBufferConverter(int32_t aMaxNumberOfThreads)
    : mImpl(new Impl(ThreadCount(aMaxNumberOfThreads))) {}

TqBufferConverter::~TqBufferConverter() { delete mImpl; }

uint32_t TqBufferConverter::GetMaxNumberOfThreads() const { return mImpl->threads; }

bool TqBufferConverter::IsConversionSupported(TqPixelType aSource, TqPixelType aDestination) {
    return Supported(DescribeSource(aSource), DescribeDestination(aDestination));
}

TqResult TqBufferConverter::Convert(TqBuffer const* aSource, TqBuffer* aDestination, bool aReallocIfNeeded,
                                    bool aFlipY) {
    if (aSource == nullptr || aDestination == nullptr) return TqResult(TQ_INVALID_PARAMETER);
    const TqImage* image = aSource->GetImage();
    if (image == nullptr) return TqResult(TQ_INVALID_PARAMETER);
    return Convert(static_cast<const ITqImage*>(image), aDestination, aReallocIfNeeded, aFlipY);
}

TqResult TqBufferConverter::Convert(ITqImage const* aSource, TqBuffer* aDestination, bool aReallocIfNeeded,
                                    bool aFlipY) {
    if (aSource == nullptr || aDestination == nullptr) return TqResult(TQ_INVALID_PARAMETER);
    TqImage* dstImage = aDestination->GetImage();
    if (dstImage == nullptr) return TqResult(TQ_INVALID_PARAMETER);

    // The source: its geometry and the memory it needs.
    const uint32_t width = aSource->GetWidth(), height = aSource->GetHeight();
    const TqPixelType srcType = aSource->GetPixelType();
    const uint8_t* src = aSource->GetDataPointer();
    const uint32_t srcBpp = TqImage::GetPixelSize(srcType);
    if (src == nullptr || width == 0 || height == 0 || srcBpp == 0) return TqResult(TQ_INVALID_PARAMETER);
    const uint64_t srcLine = TqPixel::LineBytes(width, srcBpp);
    const uint64_t srcStride = srcLine + aSource->GetPaddingX();
    const uint64_t srcNeeded = srcStride * (height - 1) + srcLine;
    uint64_t srcAvailable = aSource->GetImageSize();
    if (const TqImage* ti = dynamic_cast<const TqImage*>(aSource)) {
        const TqBuffer* owner = const_cast<TqImage*>(ti)->GetBuffer();
        if (owner != nullptr) srcAvailable = std::min<uint64_t>(srcAvailable, owner->GetSize());
    }
    if (srcNeeded > srcAvailable) return TqResult(TQ_INVALID_PARAMETER);
    // The source must not live in the destination's memory, which the conversion writes (or frees).
    const uint8_t* dstMemory = aDestination->GetDataPointer();
    if (dstMemory != nullptr && src + srcNeeded > dstMemory && src < dstMemory + aDestination->GetSize())
        return TqResult(TQ_INVALID_PARAMETER);

    const TqPixelType dstType = dstImage->GetPixelType();
    const SrcInfo s = DescribeSource(srcType);
    const DstInfo d = DescribeDestination(dstType);
    if (!Supported(s, d)) return TqResult(TQ_GENERIC_ERROR);
    if ((s.kind == SrcKind::Bayer8 || s.kind == SrcKind::Bayer16) && (width < 2 || height < 2))
        return TqResult(TQ_INVALID_PARAMETER);
    if (s.kind == SrcKind::Yuv422 && (width & 1) != 0) return TqResult(TQ_INVALID_PARAMETER);

    // Every thread converting takes rows of scratch as wide as the image: held against what the
    // process can be given before anything is made.
    const TqResult scratch =
        TqNoMemory::Check("a conversion's rows", uint64_t(mImpl->threads), uint64_t(width) * kScratchBytesPerPixel);
    if (!scratch.IsOK()) return scratch;

    std::lock_guard<std::mutex> lock(mImpl->convertMutex);

    // The destination's memory.
    const uint16_t padX = dstImage->GetPaddingX(), padY = dstImage->GetPaddingY();
    const uint64_t required = TqImage::RequiredMemory(width, height, dstType, padX, padY, 0);
    if (required == 0) return TqResult(TQ_GENERIC_ERROR);
    if (aDestination->GetDataPointer() == nullptr || aDestination->GetSize() < required) {
        if (aDestination->IsAttached() || !aReallocIfNeeded) return TqResult(TQ_GENERIC_ERROR);
        TqResult result = dstImage->Alloc(width, height, dstType, padX, padY, 0);
        if (!result.IsOK()) return TqResult(TQ_GENERIC_ERROR);
    } else {
        dstImage->SetGeometry(width, height, dstType, padX, padY);
        TqResult result = aDestination->SetPayloadLength(dstImage->GetImageSize());
        if (!result.IsOK()) return TqResult(TQ_GENERIC_ERROR);
    }
    dstImage->SetOffsetX(aSource->GetOffsetX());
    dstImage->SetOffsetY(aSource->GetOffsetY());
    dstImage->SetBlockInfo(aSource->GetBlockID(), aSource->GetTimestamp(), aSource->GetReceptionTime());

    // The colour filter, as tables of the destination's levels.
    Luts luts;
    {
        std::lock_guard<std::mutex> filterLock(mImpl->filterMutex);
        const bool identity = mImpl->gain[0] == 1.0 && mImpl->gain[1] == 1.0 && mImpl->gain[2] == 1.0 &&
                              mImpl->offset[0] == 0 && mImpl->offset[1] == 0 && mImpl->offset[2] == 0;
        const bool colourWork = d.kind == DstKind::Colour8 || d.kind == DstKind::Colour16 ||
                                (d.kind == DstKind::Mono8 && s.kind == SrcKind::Colour8);
        if (mImpl->hasFilter && !identity && colourWork)
            BuildLuts(luts, mImpl->gain, mImpl->offset, d.kind == DstKind::Colour16);
    }

    Job job;
    job.src = src;
    job.srcStride = static_cast<size_t>(srcStride);
    job.dst = aDestination->GetDataPointer();
    job.dstStride = static_cast<size_t>(TqPixel::LineBytes(width, TqImage::GetPixelSize(dstType)) + padX);
    job.width = width;
    job.height = height;
    job.flip = aFlipY;
    job.s = s;
    job.d = d;
    job.srcType = srcType;
    job.dstType = dstType;
    job.bayer = static_cast<TqBayerFilterType>(mImpl->bayer.load());
    job.luts = &luts;

    // Bands of destination rows, claimed by the threads one at a time: at least 64 K pixels each,
    // each beginning on a cache line where the rows allow (from the line the memory's first such row
    // begins on).
    uint32_t rows = BandRows(height, job.dstStride, mImpl->threads);
    rows = std::max<uint32_t>(rows, static_cast<uint32_t>(std::min<uint64_t>(height, (65535 + width) / width)));
    uint32_t phase = 0;
    while (phase < rows && phase < 64 && (reinterpret_cast<uintptr_t>(job.dst) + job.dstStride * phase) % 64 != 0)
        ++phase;
    if (phase >= rows || phase >= 64 || phase >= height) phase = 0;
    const uint32_t bands = height > phase ? (height - phase + rows - 1) / rows : 1;
    // A band whose scratch the system still refuses (on a worker, where nothing may throw) fails
    // the conversion.
    std::atomic<bool> shortOfMemory{false};
    const std::function<void(uint32_t)> band = [&](uint32_t aIndex) {
        const uint32_t first = aIndex == 0 ? 0 : phase + aIndex * rows;
        const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(height, uint64_t{phase} + uint64_t{aIndex + 1} * rows));
        const bool done = TqNoMemory::Survived([&] {
            if (aFlipY) RunRows(job, height - end, height - first);   // destination rows [first, end)
            else RunRows(job, first, end);
        });
        if (!done) shortOfMemory.store(true);
    };
    mImpl->pool.Run(bands, band);
    if (shortOfMemory.load()) return TqNoMemory::Failed("a conversion's rows");
    return TqResult(TQ_OK);
}

TqBayerFilterType TqBufferConverter::GetBayerFilter() const {
    return static_cast<TqBayerFilterType>(mImpl->bayer.load());
}

TqResult TqBufferConverter::SetBayerFilter(TqBayerFilterType aFilter) {
    if (aFilter != TqBayerFilterSimple && aFilter != TqBayerFilter3X3) return TqResult(TQ_INVALID_PARAMETER);
    mImpl->bayer.store(aFilter);
    return TqResult(TQ_OK);
}

TqBiColorFilterType TqBufferConverter::GetBiColorFilter() const {
    return static_cast<TqBiColorFilterType>(mImpl->biColor.load());
}

TqResult TqBufferConverter::SetBiColorFilter(TqBiColorFilterType aFilter) {
    if (aFilter != TqBiColorFilter1X2 && aFilter != TqBiColorFilter1X3) return TqResult(TQ_INVALID_PARAMETER);
    mImpl->biColor.store(aFilter);
    return TqResult(TQ_OK);
}

TqResult TqBufferConverter::ResetRGBFilter() {
    std::lock_guard<std::mutex> lock(mImpl->filterMutex);
    mImpl->hasFilter = false;
    return TqResult(TQ_OK);
}

TqResult TqBufferConverter::SetRGBFilter(TqBufferConverterRGBFilter& aFilter) {
    std::lock_guard<std::mutex> lock(mImpl->filterMutex);
    mImpl->hasFilter = true;
    mImpl->gain[0] = aFilter.GetGainR();
    mImpl->gain[1] = aFilter.GetGainG();
    mImpl->gain[2] = aFilter.GetGainB();
    mImpl->offset[0] = aFilter.GetOffsetR();
    mImpl->offset[1] = aFilter.GetOffsetG();
    mImpl->offset[2] = aFilter.GetOffsetB();
    return TqResult(TQ_OK);
}

uint32_t TqBufferConverter::GetConversionThreadsPriority() const { return mImpl->priority.load(); }

TqResult TqBufferConverter::SetConversionThreadsPriority(uint32_t aPriority) {
    if (aPriority > 99) return TqResult(TQ_INVALID_PARAMETER);
    mImpl->priority.store(aPriority);
    return TqResult(TQ_OK);
}
