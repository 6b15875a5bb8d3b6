#include "TqPixelKernels.h"

#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#define TQ_PIXEL_KERNELS_X86 1
#include <immintrin.h>
#endif

#if defined(__OPTIMIZE__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O3")
#endif

namespace TqPixelKernels {

namespace {

// ---- the plain forms ----

void SwapRB3Scalar(const uint8_t* __restrict aIn, uint8_t* __restrict aOut, size_t aCount) {
    for (size_t i = 0; i < aCount; ++i) {
        aOut[3 * i] = aIn[3 * i + 2];
        aOut[3 * i + 1] = aIn[3 * i + 1];
        aOut[3 * i + 2] = aIn[3 * i];
    }
}

void Narrow16Scalar(const uint8_t* __restrict aIn, uint8_t* __restrict aOut, size_t aCount, unsigned aShift) {
    for (size_t i = 0; i < aCount; ++i) {
        uint16_t level;
        std::memcpy(&level, aIn + 2 * i, 2);
        aOut[i] = static_cast<uint8_t>(level >> aShift);
    }
}

#ifdef TQ_PIXEL_KERNELS_X86

// The swap in 16-byte lanes. The lane at byte position p of a row (with p % 3 its phase) takes output
// byte j from row byte p + j - 2, p + j or p + j + 2: the vector loaded at p (A), or for the bytes
// that lie beyond the lane, the one loaded at p - 8 (B) or at p + 8 (C). m[phase][source][j] names
// the byte of that source for output byte j (0x80: another source has it).
struct SwapMasks {
    alignas(16) uint8_t m[3][3][16];
    constexpr SwapMasks() : m{} {
        for (int phase = 0; phase < 3; ++phase) {
            for (int j = 0; j < 16; ++j) {
                const int at = (phase + j) % 3;   // the byte's place in its pixel
                const int from = j + (at == 0 ? 2 : (at == 2 ? -2 : 0));
                for (int source = 0; source < 3; ++source) m[phase][source][j] = 0x80;
                if (from < 0) m[phase][1][j] = static_cast<uint8_t>(from + 8);
                else if (from >= 16) m[phase][2][j] = static_cast<uint8_t>(from - 8);
                else m[phase][0][j] = static_cast<uint8_t>(from);
            }
        }
    }
};
constexpr SwapMasks kSwapMasks;

// The vector forms: one body (TqPixelKernels.inc) for each vector width, compiled for the
// instruction set that width needs. V describes the width: kBytes bytes in a vector, kBytes / 16 lanes
// of 16 bytes.

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("ssse3"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("ssse3")
#endif
namespace ssse3 {
struct V {
    using T = __m128i;
    static constexpr size_t kBytes = 16;
    static T Load(const uint8_t* aAt) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(aAt)); }
    static void StoreAligned(uint8_t* aAt, T aV) { _mm_store_si128(reinterpret_cast<__m128i*>(aAt), aV); }
    // A shuffle mask of 16-byte masks, one a lane.
    static T Mask(const uint8_t* const aLanes[1]) {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(aLanes[0]));
    }
    static T Shuffle(T aV, T aMask) { return _mm_shuffle_epi8(aV, aMask); }
    static T Or(T aA, T aB) { return _mm_or_si128(aA, aB); }
    static T And(T aA, T aB) { return _mm_and_si128(aA, aB); }
    static T Low8Of16() { return _mm_set1_epi16(0x00FF); }
    static T ShiftRight16(T aV, __m128i aCount) { return _mm_srl_epi16(aV, aCount); }
    // Levels below 256 of a then b, as bytes in that order.
    static T Pack(T aA, T aB) { return _mm_packus_epi16(aA, aB); }
};
#include "TqPixelKernels.inc"
}  // namespace ssse3
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
struct V {
    using T = __m256i;
    static constexpr size_t kBytes = 32;
    static T Load(const uint8_t* aAt) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(aAt)); }
    static void StoreAligned(uint8_t* aAt, T aV) { _mm256_store_si256(reinterpret_cast<__m256i*>(aAt), aV); }
    static T Mask(const uint8_t* const aLanes[2]) {
        return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(aLanes[1]),
                                   reinterpret_cast<const __m128i*>(aLanes[0]));
    }
    static T Shuffle(T aV, T aMask) { return _mm256_shuffle_epi8(aV, aMask); }
    static T Or(T aA, T aB) { return _mm256_or_si256(aA, aB); }
    static T And(T aA, T aB) { return _mm256_and_si256(aA, aB); }
    static T Low8Of16() { return _mm256_set1_epi16(0x00FF); }
    static T ShiftRight16(T aV, __m128i aCount) { return _mm256_srl_epi16(aV, aCount); }
    // The pack works in 128-bit lanes (a's low half, b's low half, a's high half, b's high half):
    // the middle quarters change places.
    static T Pack(T aA, T aB) { return _mm256_permute4x64_epi64(_mm256_packus_epi16(aA, aB), 0xD8); }
};
#include "TqPixelKernels.inc"
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif  // TQ_PIXEL_KERNELS_X86

}  // namespace

bool Runs(Isa aIsa) {
#ifdef TQ_PIXEL_KERNELS_X86
    __builtin_cpu_init();
    switch (aIsa) {
    case Isa::Scalar: return true;
    case Isa::Ssse3: return __builtin_cpu_supports("ssse3");
    case Isa::Avx2: return __builtin_cpu_supports("avx2");
    }
    return false;
#else
    return aIsa == Isa::Scalar;
#endif
}

Isa Best() {
    static const Isa best = Runs(Isa::Avx2) ? Isa::Avx2 : (Runs(Isa::Ssse3) ? Isa::Ssse3 : Isa::Scalar);
    return best;
}

void SwapRB3(const uint8_t* aIn, uint8_t* aOut, size_t aCount, Isa aIsa) {
    size_t done = 0;
#ifdef TQ_PIXEL_KERNELS_X86
    if (aIsa == Isa::Avx2) done = avx2::SwapRB3(aIn, aOut, aCount);
    else if (aIsa == Isa::Ssse3) done = ssse3::SwapRB3(aIn, aOut, aCount);
#else
    (void)aIsa;
#endif
    SwapRB3Scalar(aIn + 3 * done, aOut + 3 * done, aCount - done);
}

void Narrow16(const uint8_t* aIn, uint8_t* aOut, size_t aCount, unsigned aShift, Isa aIsa) {
    size_t done = 0;
#ifdef TQ_PIXEL_KERNELS_X86
    if (aIsa == Isa::Avx2) done = avx2::Narrow16(aIn, aOut, aCount, aShift);
    else if (aIsa == Isa::Ssse3) done = ssse3::Narrow16(aIn, aOut, aCount, aShift);
#else
    (void)aIsa;
#endif
    Narrow16Scalar(aIn + 2 * done, aOut + done, aCount - done, aShift);
}

}  // namespace TqPixelKernels
