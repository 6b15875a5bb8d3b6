// The converter's row kernels, each form this processor runs (the plain one always, the vector ones
// where the processor has them) against a plain model: every count from none to several vector
// steps, rows starting at every offset in a vector, outputs that must end exactly where they should
// (bytes around them checked; run under the sanitizer build for reads beyond the input).
#include "../../sdk/buffer/TqPixelKernels.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using TqPixelKernels::Isa;
using Bytes = std::vector<uint8_t>;

const char* Name(Isa aIsa) {
    switch (aIsa) {
    case Isa::Scalar: return "plain";
    case Isa::Ssse3: return "SSSE3";
    case Isa::Avx2: return "AVX2";
    }
    return "?";
}

std::vector<Isa> FormsThatRun() {
    std::vector<Isa> forms;
    for (Isa isa : {Isa::Scalar, Isa::Ssse3, Isa::Avx2})
        if (TqPixelKernels::Runs(isa)) forms.push_back(isa);
    return forms;
}

Bytes Random(size_t aCount, uint32_t aSeed) {
    std::mt19937 rng(aSeed);
    Bytes out(aCount);
    for (uint8_t& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

constexpr uint8_t kGuard = 0x5A;
constexpr size_t kGuardBytes = 40;

// Runs aKernel(in, out) with the input aInput placed aInOffset bytes into a buffer that ends where
// it does, the output aOutOffset bytes into guard bytes; returns the output, having checked the
// guard on both sides.
template <class K>
Bytes RunPlaced(const Bytes& aInput, size_t aInOffset, size_t aOutBytes, size_t aOutOffset, K&& aKernel,
          const std::string& aWhat) {
    Bytes in(aInOffset + aInput.size());
    if (!aInput.empty()) std::memcpy(in.data() + aInOffset, aInput.data(), aInput.size());
    Bytes out(aOutOffset + aOutBytes + kGuardBytes, kGuard);
    aKernel(in.data() + aInOffset, out.data() + aOutOffset);
    for (size_t i = 0; i < aOutOffset; ++i) EXPECT_EQ(out[i], kGuard) << aWhat << ": written before the row at " << i;
    for (size_t i = aOutOffset + aOutBytes; i < out.size(); ++i)
        EXPECT_EQ(out[i], kGuard) << aWhat << ": written after the row at " << i - aOutOffset;
    return Bytes(out.begin() + aOutOffset, out.begin() + aOutOffset + aOutBytes);
}

TEST(PixelKernels, TheBestFormRuns) {
    EXPECT_TRUE(TqPixelKernels::Runs(Isa::Scalar));
    EXPECT_TRUE(TqPixelKernels::Runs(TqPixelKernels::Best()));
    if (TqPixelKernels::Runs(Isa::Avx2)) {
        EXPECT_EQ(TqPixelKernels::Best(), Isa::Avx2);
    }
}

TEST(PixelKernels, SwapRB3EveryCountAndOffset) {
    for (Isa isa : FormsThatRun()) {
        // Counts around the smallest row a step fits (head, one step, 3 pixels after) and several
        // steps with every remainder; offsets put the output at every place in a 32-byte vector.
        for (size_t count = 0; count <= 200; ++count) {
            const Bytes input = Random(count * 3, static_cast<uint32_t>(count));
            Bytes model(count * 3);
            for (size_t i = 0; i < count; ++i) {
                model[3 * i] = input[3 * i + 2];
                model[3 * i + 1] = input[3 * i + 1];
                model[3 * i + 2] = input[3 * i];
            }
            for (size_t inOffset : {0, 1, 7, 13}) {
                for (size_t outOffset = 0; outOffset < 32; ++outOffset) {
                    const std::string what = std::string(Name(isa)) + " count " + std::to_string(count) + " in +" +
                                             std::to_string(inOffset) + " out +" + std::to_string(outOffset);
                    const Bytes got = RunPlaced(input, inOffset, count * 3, outOffset, [&](const uint8_t* aIn, uint8_t* aOut) {
                        TqPixelKernels::SwapRB3(aIn, aOut, count, isa);
                    }, what);
                    ASSERT_EQ(got, model) << what;
                }
            }
        }
    }
}

TEST(PixelKernels, Narrow16EveryCountOffsetAndShift) {
    for (Isa isa : FormsThatRun()) {
        for (size_t count = 0; count <= 140; ++count) {
            // Levels use all 16 bits, so that a shift for a smaller depth leaves bits above the 8
            // kept: they are cut off, never saturated.
            const Bytes input = Random(count * 2, static_cast<uint32_t>(1000 + count));
            for (unsigned shift : {0u, 2u, 4u, 6u, 8u}) {
                Bytes model(count);
                for (size_t i = 0; i < count; ++i) {
                    uint16_t level;
                    std::memcpy(&level, input.data() + 2 * i, 2);
                    model[i] = static_cast<uint8_t>(level >> shift);
                }
                for (size_t inOffset : {0, 1, 3}) {   // odd offsets: levels at odd addresses
                    for (size_t outOffset : {0, 1, 5, 16, 31}) {
                        const std::string what = std::string(Name(isa)) + " count " + std::to_string(count) +
                                                 " shift " + std::to_string(shift) + " in +" +
                                                 std::to_string(inOffset) + " out +" + std::to_string(outOffset);
                        const Bytes got = RunPlaced(input, inOffset, count, outOffset, [&](const uint8_t* aIn, uint8_t* aOut) {
                            TqPixelKernels::Narrow16(aIn, aOut, count, shift, isa);
                        }, what);
                        ASSERT_EQ(got, model) << what;
                    }
                }
            }
        }
    }
}

}  // namespace
