// The stand-in SDK's pixel converter and its colour filter: demosaicing checked by hand on small
// frames and against a naive per-pixel model for every phase, mono depths and packings, colour
// orders, YUV, flipping, gains and offsets with clamping, white balance, the destination's memory,
// refused pairs and arguments, threads.
#include "TqBuffer.h"
#include "TqBufferConverter.h"
#include "TqBufferConverterRGBFilter.h"
#include "TqImage.h"
#include "TqLiveObjects.h"
#include "balanced.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class TqBufferConverterTest : public Balanced {
protected:
    TqBufferConverterTest() : Balanced({"TqBuffer", "TqImage", "TqResult", "TqBufferConverter", "TqBufferConverterRGBFilter"}) {}
};
class TqBufferConverterRGBFilterTest : public Balanced {
protected:
    TqBufferConverterRGBFilterTest() : Balanced({"TqBuffer", "TqImage", "TqResult", "TqBufferConverter", "TqBufferConverterRGBFilter"}) {}
};

// A buffer holding an image of the given bytes (rows of `aWidth` pixels, no padding unless given).
void Fill(TqBuffer& aBuffer, uint32_t aWidth, uint32_t aHeight, TqPixelType aType, const Bytes& aBytes,
          uint16_t aPaddingX = 0) {
    ASSERT_TRUE(aBuffer.GetImage()->Alloc(aWidth, aHeight, aType, aPaddingX).IsOK());
    ASSERT_LE(aBytes.size(), aBuffer.GetSize());
    std::memcpy(aBuffer.GetDataPointer(), aBytes.data(), aBytes.size());
}

Bytes Words(const std::vector<uint16_t>& aWords) {
    Bytes out(aWords.size() * 2);
    std::memcpy(out.data(), aWords.data(), out.size());
    return out;
}

Bytes Contents(const TqBuffer& aBuffer) {
    const TqImage* image = aBuffer.GetImage();
    return Bytes(aBuffer.GetDataPointer(), aBuffer.GetDataPointer() + image->GetImageSize());
}

std::vector<uint16_t> Contents16(const TqBuffer& aBuffer) {
    Bytes b = Contents(aBuffer);
    std::vector<uint16_t> out(b.size() / 2);
    std::memcpy(out.data(), b.data(), out.size() * 2);
    return out;
}

// A destination of the wanted pixel type (one pixel: the converter sizes it).
void Target(TqBuffer& aBuffer, TqPixelType aType) { ASSERT_TRUE(aBuffer.GetImage()->Alloc(1, 1, aType).IsOK()); }

uint32_t Code(const TqResult& aResult) { return aResult.GetCode(); }

// ---- a naive model of the two demosaicing filters ----

// The colour (0 red, 1 green, 2 blue) of site (x, y) for a pattern named by its top-left cell.
int SiteColour(const std::string& aPhase, int aX, int aY) {
    const int px = aX & 1, py = aY & 1;
    const char c = aPhase[py * 2 + px];   // "RGGB", "GRBG", "GBRG", "BGGR"
    return c == 'R' ? 0 : (c == 'G' ? 1 : 2);
}

int Mirror(int aI, int aN) { return aI < 0 ? -aI : (aI >= aN ? 2 * aN - 2 - aI : aI); }

// RGB levels at the source's depth.
std::vector<std::array<uint32_t, 3>> ModelDemosaic(const std::vector<uint32_t>& aLevels, int aW, int aH,
                                                   const std::string& aPhase, bool aBilinear) {
    std::vector<std::array<uint32_t, 3>> out(size_t(aW) * aH);
    for (int y = 0; y < aH; ++y) {
        for (int x = 0; x < aW; ++x) {
            for (int c = 0; c < 3; ++c) {
                uint32_t sum = 0, n = 0;
                if (aBilinear) {
                    if (SiteColour(aPhase, x, y) == c) {
                        sum = aLevels[size_t(y) * aW + x];
                        n = 1;
                    } else {
                        for (int dy = -1; dy <= 1; ++dy)
                            for (int dx = -1; dx <= 1; ++dx) {
                                if ((dx == 0 && dy == 0) || SiteColour(aPhase, x + dx + 2, y + dy + 2) != c) continue;
                                sum += aLevels[size_t(Mirror(y + dy, aH)) * aW + Mirror(x + dx, aW)];
                                ++n;
                            }
                    }
                } else {
                    const int x2 = x + 1 < aW ? x + 1 : x - 1, y2 = y + 1 < aH ? y + 1 : y - 1;
                    for (int yy : {y, y2})
                        for (int xx : {x, x2})
                            if (SiteColour(aPhase, xx, yy) == c) {
                                sum += aLevels[size_t(yy) * aW + xx];
                                ++n;
                            }
                }
                out[size_t(y) * aW + x][c] = (sum + n / 2) / n;
            }
        }
    }
    return out;
}

struct Phase {
    std::string name;
    TqPixelType type8;
    TqPixelType type12;
    TqPixelType type16;
};
const Phase kPhases[] = {
    {"RGGB", TqPixelBayerRG8, TqPixelBayerRG12, TqPixelBayerRG16},
    {"GRBG", TqPixelBayerGR8, TqPixelBayerGR12, TqPixelBayerGR16},
    {"GBRG", TqPixelBayerGB8, TqPixelBayerGB12, TqPixelBayerGB16},
    {"BGGR", TqPixelBayerBG8, TqPixelBayerBG12, TqPixelBayerBG16},
};

// ---- the RGB filter ----

TEST_F(TqBufferConverterRGBFilterTest, DefaultsSettersAndReset) {
    TqBufferConverterRGBFilter f;
    EXPECT_EQ(f.GetGainR(), 1.0);
    EXPECT_EQ(f.GetGainG(), 1.0);
    EXPECT_EQ(f.GetGainB(), 1.0);
    EXPECT_EQ(f.GetOffsetR(), 0);
    EXPECT_EQ(f.GetOffsetG(), 0);
    EXPECT_EQ(f.GetOffsetB(), 0);
    EXPECT_TRUE(f.IsIdentity());
    f.SetGainR(2.5);
    f.SetGainG(0.5);
    f.SetGainB(3.0);
    f.SetOffsetR(-20);
    f.SetOffsetG(7);
    f.SetOffsetB(100);
    EXPECT_EQ(f.GetGainR(), 2.5);
    EXPECT_EQ(f.GetGainG(), 0.5);
    EXPECT_EQ(f.GetGainB(), 3.0);
    EXPECT_EQ(f.GetOffsetR(), -20);
    EXPECT_EQ(f.GetOffsetG(), 7);
    EXPECT_EQ(f.GetOffsetB(), 100);
    EXPECT_FALSE(f.IsIdentity());
    f.Reset();
    EXPECT_TRUE(f.IsIdentity());
    EXPECT_EQ(f.GetGainG(), 1.0);
    EXPECT_EQ(f.GetOffsetB(), 0);
}

TEST_F(TqBufferConverterRGBFilterTest, WhiteBalanceFromRgbAndBgr) {
    // Averages R 50, G 100, B 25: Max 100, gains 2, 1, 4.
    TqBuffer rgb;
    Fill(rgb, 2, 1, TqPixelRGB8, {40, 90, 20, 60, 110, 30});
    TqBufferConverterRGBFilter f;
    f.SetOffsetG(5);
    EXPECT_EQ(Code(f.WhiteBalance(&rgb)), TQ_OK);
    EXPECT_DOUBLE_EQ(f.GetGainR(), 2.0);
    EXPECT_DOUBLE_EQ(f.GetGainG(), 1.0);
    EXPECT_DOUBLE_EQ(f.GetGainB(), 4.0);
    EXPECT_EQ(f.GetOffsetG(), 5);   // offsets are kept

    TqBuffer bgra;
    Fill(bgra, 1, 2, TqPixelBGRa8, {10, 40, 80, 0, 30, 40, 0, 0});   // B 20, G 40, R 40
    EXPECT_EQ(Code(f.WhiteBalance(&bgra)), TQ_OK);
    EXPECT_DOUBLE_EQ(f.GetGainR(), 1.0);
    EXPECT_DOUBLE_EQ(f.GetGainG(), 1.0);
    EXPECT_DOUBLE_EQ(f.GetGainB(), 2.0);
}

TEST_F(TqBufferConverterRGBFilterTest, WhiteBalanceFromBayer) {
    // BayerGB8 2 x 2: G 60 and 100 (mean 80), B 40, R 20: gains 4, 1, 2.
    TqBuffer bayer;
    Fill(bayer, 2, 2, TqPixelBayerGB8, {60, 40, 20, 100});
    TqBufferConverterRGBFilter f;
    EXPECT_EQ(Code(f.WhiteBalance(&bayer)), TQ_OK);
    EXPECT_DOUBLE_EQ(f.GetGainR(), 4.0);
    EXPECT_DOUBLE_EQ(f.GetGainG(), 1.0);
    EXPECT_DOUBLE_EQ(f.GetGainB(), 2.0);

    TqBuffer bayer16;
    Fill(bayer16, 2, 2, TqPixelBayerRG12, Words({1000, 500, 500, 250}));
    EXPECT_EQ(Code(f.WhiteBalance(&bayer16)), TQ_OK);
    EXPECT_DOUBLE_EQ(f.GetGainR(), 1.0);
    EXPECT_DOUBLE_EQ(f.GetGainG(), 2.0);
    EXPECT_DOUBLE_EQ(f.GetGainB(), 4.0);
}

TEST_F(TqBufferConverterRGBFilterTest, WhiteBalanceRefusals) {
    TqBufferConverterRGBFilter f;
    f.SetGainR(3.0);
    EXPECT_EQ(Code(f.WhiteBalance(nullptr)), TQ_INVALID_PARAMETER);
    TqBuffer empty;
    EXPECT_EQ(Code(f.WhiteBalance(&empty)), TQ_INVALID_PARAMETER);
    TqBuffer raw(TqPayloadTypeRawData);
    EXPECT_EQ(Code(f.WhiteBalance(&raw)), TQ_INVALID_PARAMETER);
    TqBuffer noBlue;   // the blue average is 0: a gain would divide by zero
    Fill(noBlue, 2, 1, TqPixelRGB8, {10, 20, 0, 30, 40, 0});
    EXPECT_EQ(Code(f.WhiteBalance(&noBlue)), TQ_INVALID_PARAMETER);
    TqBuffer mono;
    Fill(mono, 2, 1, TqPixelMono8, {10, 20});
    EXPECT_EQ(Code(f.WhiteBalance(&mono)), TQ_INVALID_PARAMETER);
    EXPECT_EQ(f.GetGainR(), 3.0);   // unchanged by the refusals
    EXPECT_EQ(f.GetGainG(), 1.0);
}

// ---- the converter's settings ----

TEST_F(TqBufferConverterTest, SettingsAndTheirRefusals) {
    TqBufferConverter c;
    EXPECT_EQ(c.GetBayerFilter(), TqBayerFilter3X3);
    EXPECT_EQ(Code(c.SetBayerFilter(TqBayerFilterSimple)), TQ_OK);
    EXPECT_EQ(c.GetBayerFilter(), TqBayerFilterSimple);
    EXPECT_EQ(Code(c.SetBayerFilter(static_cast<TqBayerFilterType>(0))), TQ_INVALID_PARAMETER);
    EXPECT_EQ(Code(c.SetBayerFilter(static_cast<TqBayerFilterType>(3))), TQ_INVALID_PARAMETER);
    EXPECT_EQ(c.GetBayerFilter(), TqBayerFilterSimple);

    EXPECT_EQ(c.GetBiColorFilter(), TqBiColorFilter1X2);
    EXPECT_EQ(Code(c.SetBiColorFilter(TqBiColorFilter1X3)), TQ_OK);
    EXPECT_EQ(c.GetBiColorFilter(), TqBiColorFilter1X3);
    EXPECT_EQ(Code(c.SetBiColorFilter(static_cast<TqBiColorFilterType>(-1))), TQ_INVALID_PARAMETER);
    EXPECT_EQ(c.GetBiColorFilter(), TqBiColorFilter1X3);

    EXPECT_EQ(c.GetConversionThreadsPriority(), 0u);
    EXPECT_EQ(Code(c.SetConversionThreadsPriority(99)), TQ_OK);
    EXPECT_EQ(c.GetConversionThreadsPriority(), 99u);
    EXPECT_EQ(Code(c.SetConversionThreadsPriority(100)), TQ_INVALID_PARAMETER);
    EXPECT_EQ(c.GetConversionThreadsPriority(), 99u);

    TqBufferConverterRGBFilter f;
    EXPECT_EQ(Code(c.SetRGBFilter(f)), TQ_OK);
    EXPECT_EQ(Code(c.ResetRGBFilter()), TQ_OK);
    EXPECT_EQ(Code(c.ResetRGBFilter()), TQ_OK);   // without a filter too
}

TEST_F(TqBufferConverterTest, ThreadCounts) {
    const uint32_t cores = std::max(1u, std::thread::hardware_concurrency());
    EXPECT_EQ(TqBufferConverter().GetMaxNumberOfThreads(), cores);
    EXPECT_EQ(TqBufferConverter(0).GetMaxNumberOfThreads(), cores);
    EXPECT_EQ(TqBufferConverter(-5).GetMaxNumberOfThreads(), cores);
    EXPECT_EQ(TqBufferConverter(4).GetMaxNumberOfThreads(), 4u);
}

TEST_F(TqBufferConverterTest, SupportedPairs) {
    const TqPixelType monos[] = {TqPixelMono8, TqPixelMono10, TqPixelMono12, TqPixelMono14, TqPixelMono16,
                                 TqPixelMono10Packed, TqPixelMono12Packed, TqPixelMono10p, TqPixelMono12p,
                                 TqPixelMono14p};
    const TqPixelType colour8[] = {TqPixelRGB8, TqPixelBGR8, TqPixelRGBa8, TqPixelBGRa8};
    const TqPixelType colour16[] = {TqPixelRGB16, TqPixelBGR16, TqPixelRGBa16, TqPixelBGRa16};
    for (TqPixelType m : monos) {
        EXPECT_TRUE(TqBufferConverter::IsConversionSupported(m, TqPixelMono8));
        EXPECT_TRUE(TqBufferConverter::IsConversionSupported(m, TqPixelMono16));
        for (TqPixelType c : colour8) EXPECT_TRUE(TqBufferConverter::IsConversionSupported(m, c));
        for (TqPixelType c : colour16) EXPECT_FALSE(TqBufferConverter::IsConversionSupported(m, c));
    }
    for (const Phase& p : kPhases) {
        for (TqPixelType c : colour8) {
            EXPECT_TRUE(TqBufferConverter::IsConversionSupported(p.type8, c));
            EXPECT_TRUE(TqBufferConverter::IsConversionSupported(p.type12, c));
            EXPECT_TRUE(TqBufferConverter::IsConversionSupported(p.type16, c));
        }
        for (TqPixelType c : colour16) {
            EXPECT_FALSE(TqBufferConverter::IsConversionSupported(p.type8, c));
            EXPECT_TRUE(TqBufferConverter::IsConversionSupported(p.type16, c));
        }
        EXPECT_FALSE(TqBufferConverter::IsConversionSupported(p.type8, TqPixelMono8));
    }
    for (TqPixelType a : colour8) {
        for (TqPixelType b : colour8) EXPECT_TRUE(TqBufferConverter::IsConversionSupported(a, b));
        EXPECT_TRUE(TqBufferConverter::IsConversionSupported(a, TqPixelMono8));
        EXPECT_FALSE(TqBufferConverter::IsConversionSupported(a, TqPixelMono16));
    }
    EXPECT_TRUE(TqBufferConverter::IsConversionSupported(TqPixelYUV422_8, TqPixelRGB8));
    EXPECT_TRUE(TqBufferConverter::IsConversionSupported(TqPixelYUV422_8_UYVY, TqPixelBGRa8));
    EXPECT_FALSE(TqBufferConverter::IsConversionSupported(TqPixelRGB8, TqPixelYUV422_8));
    EXPECT_TRUE(TqBufferConverter::IsConversionSupported(TqPixelBayerRG10p, TqPixelRGB8));
    EXPECT_TRUE(TqBufferConverter::IsConversionSupported(TqPixelBayerBG12Packed, TqPixelBGRa16));
    EXPECT_FALSE(TqBufferConverter::IsConversionSupported(TqPixelBayerRG4p, TqPixelRGB8));
    EXPECT_FALSE(TqBufferConverter::IsConversionSupported(TqPixelBiColorRGBG8, TqPixelRGB8));
    EXPECT_FALSE(TqBufferConverter::IsConversionSupported(TqPixelMono8, TqPixelBayerRG8));
    EXPECT_FALSE(TqBufferConverter::IsConversionSupported(TqPixelUndefined, TqPixelMono8));
    EXPECT_FALSE(TqBufferConverter::IsConversionSupported(TqPixelMono8, TqPixelUndefined));
    EXPECT_FALSE(TqBufferConverter::IsConversionSupported(static_cast<TqPixelType>(0x7FFFFFFF), TqPixelRGB8));
}

// ---- refused conversions ----

TEST_F(TqBufferConverterTest, RefusedArgumentsAndPairs) {
    TqBufferConverter c(1);
    TqBuffer src, dst;
    Fill(src, 2, 2, TqPixelBayerRG8, {1, 2, 3, 4});
    Target(dst, TqPixelRGB8);
    EXPECT_EQ(Code(c.Convert(static_cast<const TqBuffer*>(nullptr), &dst)), TQ_INVALID_PARAMETER);
    EXPECT_EQ(Code(c.Convert(static_cast<const ITqImage*>(nullptr), &dst)), TQ_INVALID_PARAMETER);
    EXPECT_EQ(Code(c.Convert(&src, nullptr)), TQ_INVALID_PARAMETER);
    EXPECT_EQ(Code(c.Convert(src.GetImage(), nullptr)), TQ_INVALID_PARAMETER);

    TqBuffer noMemory;   // no image memory at all
    EXPECT_EQ(Code(c.Convert(&noMemory, &dst)), TQ_INVALID_PARAMETER);
    TqBuffer raw(TqPayloadTypeRawData);
    EXPECT_EQ(Code(c.Convert(&raw, &dst)), TQ_INVALID_PARAMETER);
    EXPECT_EQ(Code(c.Convert(&src, &raw)), TQ_INVALID_PARAMETER);
    EXPECT_EQ(Code(c.Convert(&src, &src)), TQ_INVALID_PARAMETER);   // in place

    TqBuffer yuv;   // Mono8 destination is fine; RGB16 from an 8-bit Bayer is not a supported pair
    TqBuffer dst16;
    Target(dst16, TqPixelRGB16);
    EXPECT_EQ(Code(c.Convert(&src, &dst16)), TQ_GENERIC_ERROR);
    TqBuffer mono;
    Target(mono, TqPixelMono8);
    EXPECT_EQ(Code(c.Convert(&src, &mono)), TQ_GENERIC_ERROR);
    TqBuffer undefinedTarget;
    EXPECT_EQ(Code(c.Convert(&src, &undefinedTarget)), TQ_GENERIC_ERROR);

    TqBuffer thin;   // Bayer needs 2 x 2
    Fill(thin, 4, 1, TqPixelBayerRG8, {1, 2, 3, 4});
    EXPECT_EQ(Code(c.Convert(&thin, &dst)), TQ_INVALID_PARAMETER);
    Fill(yuv, 3, 1, TqPixelYUV422_8, Bytes(6, 128));   // odd width
    EXPECT_EQ(Code(c.Convert(&yuv, &dst)), TQ_INVALID_PARAMETER);
}

// ---- Bayer, by hand ----

// BayerRG8 4 x 4:
//   R10  G20  R30  G40
//   G50  B60  G70  B80
//   R90 G100 R110 G120
//  G130 B140 G150 B160
const Bytes kBayer4x4 = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120, 130, 140, 150, 160};

std::array<uint8_t, 3> Rgb(const Bytes& aRgb, int aW, int aX, int aY) {
    const size_t i = (size_t(aY) * aW + aX) * 3;
    return {aRgb[i], aRgb[i + 1], aRgb[i + 2]};
}
using Px = std::array<uint8_t, 3>;

TEST_F(TqBufferConverterTest, BayerSimpleByHand) {
    TqBufferConverter c(1);
    ASSERT_EQ(Code(c.SetBayerFilter(TqBayerFilterSimple)), TQ_OK);
    TqBuffer src, dst;
    Fill(src, 4, 4, TqPixelBayerRG8, kBayer4x4);
    Target(dst, TqPixelRGB8);
    ASSERT_EQ(Code(c.Convert(&src, &dst)), TQ_OK);
    const TqImage* out = dst.GetImage();
    EXPECT_EQ(out->GetWidth(), 4u);
    EXPECT_EQ(out->GetHeight(), 4u);
    EXPECT_EQ(out->GetPixelType(), TqPixelRGB8);
    const Bytes rgb = Contents(dst);
    ASSERT_EQ(rgb.size(), 48u);
    // Window (x, y), (x + 1, y), (x, y + 1), (x + 1, y + 1); greens averaged, rounded half up.
    EXPECT_EQ(Rgb(rgb, 4, 0, 0), (Px{10, 35, 60}));    // R10; G (20 + 50) / 2 = 35; B60
    EXPECT_EQ(Rgb(rgb, 4, 1, 0), (Px{30, 45, 60}));    // G (20 + 70) / 2; R30 beside; B60 below
    EXPECT_EQ(Rgb(rgb, 4, 2, 0), (Px{30, 55, 80}));    // R30; G (40 + 70) / 2; B80
    EXPECT_EQ(Rgb(rgb, 4, 3, 0), (Px{30, 55, 80}));    // last column: window slides back to x 2..3
    EXPECT_EQ(Rgb(rgb, 4, 0, 1), (Px{90, 75, 60}));    // G (50 + 100) / 2; B60 beside; R90 below
    EXPECT_EQ(Rgb(rgb, 4, 1, 1), (Px{110, 85, 60}));   // B60; G (70 + 100) / 2; R110
    EXPECT_EQ(Rgb(rgb, 4, 3, 3), (Px{110, 135, 160})); // last row and column: window x 2..3, y 2..3
    EXPECT_EQ(Rgb(rgb, 4, 0, 3), (Px{90, 115, 140}));  // G (130 + 100) / 2; B140; R90 above
}

TEST_F(TqBufferConverterTest, BayerBilinearByHand) {
    TqBufferConverter c(1);
    TqBuffer src, dst;
    Fill(src, 4, 4, TqPixelBayerRG8, kBayer4x4);
    Target(dst, TqPixelRGB8);
    ASSERT_EQ(Code(c.Convert(&src, &dst)), TQ_OK);   // the default filter is 3X3
    const Bytes rgb = Contents(dst);
    // Mirrored borders: column -1 reads column 1, row -1 reads row 1, row 4 reads row 2.
    EXPECT_EQ(Rgb(rgb, 4, 0, 0), (Px{10, 35, 60}));    // G (20 + 20 + 50 + 50) / 4; B (4 x 60) / 4
    EXPECT_EQ(Rgb(rgb, 4, 1, 0), (Px{20, 20, 60}));    // R (10 + 30) / 2; B (60 + 60) / 2
    EXPECT_EQ(Rgb(rgb, 4, 1, 1), (Px{60, 60, 60}));    // G (50 + 70 + 20 + 100) / 4; R (10 + 30 + 90 + 110) / 4
    EXPECT_EQ(Rgb(rgb, 4, 2, 2), (Px{110, 110, 110})); // G (100 + 120 + 70 + 150) / 4; B (60 + 80 + 140 + 160) / 4
    EXPECT_EQ(Rgb(rgb, 4, 3, 3), (Px{110, 135, 160})); // G (150 + 150 + 120 + 120) / 4; R 110 four times
    EXPECT_EQ(Rgb(rgb, 4, 2, 1), (Px{70, 70, 70}));    // G70; B (60 + 80) / 2; R (30 + 110) / 2
    EXPECT_EQ(Rgb(rgb, 4, 3, 0), (Px{30, 40, 80}));    // G40; R (30 + 30) / 2; B (80 + 80) / 2
}

TEST_F(TqBufferConverterTest, BayerOtherPhasesByHand) {
    // The same 2 x 2 samples under each phase. Every pixel takes the one red and the one blue; the
    // simple filter gives every pixel the mean of the two greens, the 3X3 filter gives it to the red
    // and blue sites only (a green site keeps its own).
    const Bytes cell = {10, 20, 30, 41};
    struct Case {
        TqPixelType type;
        uint8_t r, b, meanG;
        bool greenAt[4];
    } cases[] = {
        {TqPixelBayerRG8, 10, 41, 25, {false, true, true, false}},   // R10 G20 / G30 B41: (20 + 30 + 1) / 2
        {TqPixelBayerGR8, 20, 30, 26, {true, false, false, true}},   // G10 R20 / B30 G41: (10 + 41 + 1) / 2
        {TqPixelBayerGB8, 30, 20, 26, {true, false, false, true}},   // G10 B20 / R30 G41
        {TqPixelBayerBG8, 41, 10, 25, {false, true, true, false}},   // B10 G20 / G30 R41
    };
    for (TqBayerFilterType filter : {TqBayerFilterSimple, TqBayerFilter3X3}) {
        TqBufferConverter c(1);
        ASSERT_EQ(Code(c.SetBayerFilter(filter)), TQ_OK);
        for (const Case& k : cases) {
            TqBuffer src, dst;
            Fill(src, 2, 2, k.type, cell);
            Target(dst, TqPixelRGB8);
            ASSERT_EQ(Code(c.Convert(&src, &dst)), TQ_OK);
            const Bytes rgb = Contents(dst);
            for (int i = 0; i < 4; ++i) {
                const uint8_t g = filter == TqBayerFilter3X3 && k.greenAt[i] ? cell[i] : k.meanG;
                EXPECT_EQ(Rgb(rgb, 2, i % 2, i / 2), (Px{k.r, g, k.b}))
                    << TqImage::PixelTypeToString(k.type).GetAscii() << " filter " << filter << " pixel " << i;
            }
        }
    }
}

// ---- Bayer against the model ----

std::vector<uint32_t> RandomLevels(size_t aCount, uint32_t aMax, uint32_t aSeed) {
    std::mt19937 gen(aSeed);
    std::uniform_int_distribution<uint32_t> dist(0, aMax);
    std::vector<uint32_t> out(aCount);
    for (uint32_t& v : out) v = dist(gen);
    return out;
}

TEST_F(TqBufferConverterTest, Bayer8AllPhasesFiltersAndOrdersMatchTheModel) {
    const struct {
        int w, h;
    } sizes[] = {{2, 2}, {3, 3}, {5, 4}, {8, 7}, {17, 9}, {18, 3}, {37, 4}, {50, 5}};   // wide rows run in 16s
    const struct {
        TqPixelType type;
        int n, r, b;
    } outs[] = {{TqPixelRGB8, 3, 0, 2}, {TqPixelBGR8, 3, 2, 0}, {TqPixelRGBa8, 4, 0, 2}, {TqPixelBGRa8, 4, 2, 0}};
    uint32_t seed = 1;
    for (const Phase& p : kPhases)
        for (auto size : sizes)
            for (bool bilinear : {false, true}) {
                const auto levels = RandomLevels(size_t(size.w) * size.h, 255, seed++);
                const Bytes bytes(levels.begin(), levels.end());
                const auto model = ModelDemosaic(levels, size.w, size.h, p.name, bilinear);
                for (auto o : outs) {
                    TqBufferConverter c(2);
                    ASSERT_EQ(Code(c.SetBayerFilter(bilinear ? TqBayerFilter3X3 : TqBayerFilterSimple)), TQ_OK);
                    TqBuffer src, dst;
                    Fill(src, size.w, size.h, p.type8, bytes);
                    Target(dst, o.type);
                    ASSERT_EQ(Code(c.Convert(&src, &dst)), TQ_OK);
                    const Bytes got = Contents(dst);
                    ASSERT_EQ(got.size(), size_t(size.w) * size.h * o.n);
                    for (size_t i = 0; i < model.size(); ++i) {
                        const uint8_t* px = &got[i * o.n];
                        ASSERT_EQ(px[o.r], model[i][0]) << p.name << " " << size.w << "x" << size.h << " pixel " << i;
                        ASSERT_EQ(px[1], model[i][1]) << p.name << " pixel " << i;
                        ASSERT_EQ(px[o.b], model[i][2]) << p.name << " pixel " << i;
                        if (o.n == 4) {
                            ASSERT_EQ(px[3], 255);
                        }
                    }
                }
            }
}

TEST_F(TqBufferConverterTest, Bayer16To8And16MatchTheModel) {
    const int w = 9, h = 6;
    uint32_t seed = 100;
    for (const Phase& p : kPhases)
        for (bool bilinear : {false, true}) {
            TqBufferConverter c(1);
            ASSERT_EQ(Code(c.SetBayerFilter(bilinear ? TqBayerFilter3X3 : TqBayerFilterSimple)), TQ_OK);
            // 12-bit levels: 8-bit output drops 4 bits; 16-bit output shifts up 4 bits.
            const auto levels = RandomLevels(size_t(w) * h, 4095, seed++);
            const auto model = ModelDemosaic(levels, w, h, p.name, bilinear);
            std::vector<uint16_t> words(levels.begin(), levels.end());
            TqBuffer src, dst8, dst16;
            Fill(src, w, h, p.type12, Words(words));
            Target(dst8, TqPixelBGR8);
            Target(dst16, TqPixelRGBa16);
            ASSERT_EQ(Code(c.Convert(&src, &dst8)), TQ_OK);
            ASSERT_EQ(Code(c.Convert(&src, &dst16)), TQ_OK);
            const Bytes got8 = Contents(dst8);
            const auto got16 = Contents16(dst16);
            for (size_t i = 0; i < model.size(); ++i) {
                ASSERT_EQ(got8[i * 3 + 2], model[i][0] >> 4) << p.name << " " << i;
                ASSERT_EQ(got8[i * 3 + 1], model[i][1] >> 4);
                ASSERT_EQ(got8[i * 3 + 0], model[i][2] >> 4);
                ASSERT_EQ(got16[i * 4 + 0], model[i][0] << 4) << p.name << " " << i;
                ASSERT_EQ(got16[i * 4 + 1], model[i][1] << 4);
                ASSERT_EQ(got16[i * 4 + 2], model[i][2] << 4);
                ASSERT_EQ(got16[i * 4 + 3], 0xFFFF);
            }
            // 16-bit levels to 16 bits unchanged.
            const auto full = RandomLevels(size_t(w) * h, 65535, seed++);
            const auto model16 = ModelDemosaic(full, w, h, p.name, bilinear);
            std::vector<uint16_t> fullWords(full.begin(), full.end());
            TqBuffer src16, out16;
            Fill(src16, w, h, p.type16, Words(fullWords));
            Target(out16, TqPixelRGB16);
            ASSERT_EQ(Code(c.Convert(&src16, &out16)), TQ_OK);
            const auto got = Contents16(out16);
            for (size_t i = 0; i < model16.size(); ++i)
                for (int ch = 0; ch < 3; ++ch) ASSERT_EQ(got[i * 3 + ch], model16[i][ch]) << p.name << " " << i;
        }
}

// Packs levels as a bit stream, least significant bit first, each row from a byte boundary.
Bytes PackBits(const std::vector<uint32_t>& aLevels, int aW, int aH, int aDepth) {
    const size_t rowBytes = (size_t(aW) * aDepth + 7) / 8;
    Bytes out(rowBytes * aH, 0);
    for (int y = 0; y < aH; ++y)
        for (int x = 0; x < aW; ++x)
            for (int bit = 0; bit < aDepth; ++bit)
                if ((aLevels[size_t(y) * aW + x] >> bit) & 1) {
                    const size_t at = size_t(x) * aDepth + bit;
                    out[rowBytes * y + at / 8] |= static_cast<uint8_t>(1u << (at % 8));
                }
    return out;
}

// Packs 12-bit levels two pixels in three bytes: high 8 bits of the first, the two low nibbles
// (first pixel's in the low half), high 8 bits of the second.
Bytes Pack12In3(const std::vector<uint32_t>& aLevels, int aW, int aH) {
    const size_t rowBytes = (size_t(aW) * 12 + 7) / 8;
    Bytes out(rowBytes * aH, 0);
    for (int y = 0; y < aH; ++y)
        for (int x = 0; x < aW; ++x) {
            const uint32_t v = aLevels[size_t(y) * aW + x];
            uint8_t* group = &out[rowBytes * y + size_t(x / 2) * 3];
            if (x % 2 == 0) {
                group[0] = static_cast<uint8_t>(v >> 4);
                group[1] |= static_cast<uint8_t>(v & 0xF);
            } else {
                group[2] = static_cast<uint8_t>(v >> 4);
                group[1] |= static_cast<uint8_t>((v & 0xF) << 4);
            }
        }
    return out;
}

TEST_F(TqBufferConverterTest, PackedBayerMatchesTheModel) {
    const int w = 21, h = 5;   // odd width: the last group of a row is partial
    const struct {
        TqPixelType type;
        const char* phase;
        int depth;
        bool bits;
    } cases[] = {
        {TqPixelBayerRG10p, "RGGB", 10, true},     {TqPixelBayerGB12p, "GBRG", 12, true},
        {TqPixelBayerBG14p, "BGGR", 14, true},     {TqPixelBayerGR12Packed, "GRBG", 12, false},
    };
    uint32_t seed = 500;
    for (const auto& k : cases)
        for (bool bilinear : {false, true}) {
            const auto levels = RandomLevels(size_t(w) * h, (1u << k.depth) - 1, seed++);
            const auto model = ModelDemosaic(levels, w, h, k.phase, bilinear);
            TqBufferConverter c(1);
            ASSERT_EQ(Code(c.SetBayerFilter(bilinear ? TqBayerFilter3X3 : TqBayerFilterSimple)), TQ_OK);
            TqBuffer src, dst;
            Fill(src, w, h, k.type, k.bits ? PackBits(levels, w, h, k.depth) : Pack12In3(levels, w, h));
            Target(dst, TqPixelRGB16);
            ASSERT_EQ(Code(c.Convert(&src, &dst)), TQ_OK);
            const auto got = Contents16(dst);
            for (size_t i = 0; i < model.size(); ++i)
                for (int ch = 0; ch < 3; ++ch)
                    ASSERT_EQ(got[i * 3 + ch], model[i][ch] << (16 - k.depth))
                        << TqImage::PixelTypeToString(k.type).GetAscii() << " pixel " << i;
        }
    // BayerRG10Packed: 0x3FD and 0x002 in FF, 21, 00, as the mono form.
    TqBuffer src, dst;
    Fill(src, 2, 2, TqPixelBayerRG10Packed, {0xFF, 0x21, 0x00, 0xFF, 0x21, 0x00});
    Target(dst, TqPixelRGB8);
    TqBufferConverter c(1);
    ASSERT_EQ(Code(c.SetBayerFilter(TqBayerFilterSimple)), TQ_OK);
    ASSERT_EQ(Code(c.Convert(&src, &dst)), TQ_OK);
    // R 0x3FD, G (0x002 + 0x3FD + 1) / 2 = 0x200, B 0x002, to 8 bits.
    EXPECT_EQ(Rgb(Contents(dst), 2, 0, 0), (Px{0xFF, 0x80, 0x00}));
}

TEST_F(TqBufferConverterTest, ManyThreadsGiveTheSameImage) {
    const int w = 640, h = 480;
    const auto levels = RandomLevels(size_t(w) * h, 255, 7);
    const Bytes bytes(levels.begin(), levels.end());
    const auto model = ModelDemosaic(levels, w, h, "GRBG", true);
    TqBuffer src;
    Fill(src, w, h, TqPixelBayerGR8, bytes);
    for (int threads : {1, 3, 8}) {
        TqBufferConverter c(threads);
        for (int round = 0; round < 2; ++round) {   // the pool serves more than one conversion
            TqBuffer dst;
            Target(dst, TqPixelRGB8);
            ASSERT_EQ(Code(c.Convert(&src, &dst, true, round == 1)), TQ_OK);
            const Bytes got = Contents(dst);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const size_t m = size_t(round == 1 ? h - 1 - y : y) * w + x;
                    const size_t g = (size_t(y) * w + x) * 3;
                    ASSERT_EQ(got[g], model[m][0]) << threads << " threads, " << x << "," << y;
                    ASSERT_EQ(got[g + 1], model[m][1]);
                    ASSERT_EQ(got[g + 2], model[m][2]);
                }
        }
    }
}

// A conversion into a destination of the given geometry whose bytes (padding too) start as 0xA5.
Bytes ConvertInto(TqBufferConverter& aConverter, const TqBuffer& aSource, TqPixelType aType, uint16_t aPaddingX,
                  bool aFlip) {
    const TqImage* in = aSource.GetImage();
    TqBuffer dst;
    EXPECT_TRUE(dst.GetImage()->Alloc(in->GetWidth(), in->GetHeight(), aType, aPaddingX).IsOK());
    std::memset(dst.GetDataPointer(), 0xA5, dst.GetSize());
    EXPECT_EQ(Code(aConverter.Convert(&aSource, &dst, false, aFlip)), TQ_OK);
    return Contents(dst);
}

TEST_F(TqBufferConverterTest, BandsOfEveryShapeGiveTheSameImage) {
    // Widths whose rows meet cache lines every row, every few rows or never, heights that leave a
    // short last band, wide and narrow images, destination padding, both row orders; the images of
    // any thread count equal the one thread's, padding untouched.
    struct Shape {
        uint32_t w, h;
        uint16_t pad;
    };
    for (const Shape& shape : {Shape{1001, 517, 0}, Shape{640, 601, 5}, Shape{4096, 35, 0}, Shape{300, 1000, 3},
                               Shape{2, 40001, 0}}) {
        const auto levels = RandomLevels(size_t(shape.w) * shape.h, 4095, shape.w + shape.h);
        const Bytes bytes8(levels.begin(), levels.end());
        std::vector<uint16_t> words(levels.begin(), levels.end());
        TqBuffer bayer8, bayer12;
        Fill(bayer8, shape.w, shape.h, TqPixelBayerGB8, bytes8);
        Fill(bayer12, shape.w, shape.h, TqPixelBayerRG12, Words(words));
        for (bool flip : {false, true}) {
            TqBufferConverter one(1);
            const Bytes rgb = ConvertInto(one, bayer8, TqPixelRGB8, shape.pad, flip);
            const Bytes bgra16 = ConvertInto(one, bayer12, TqPixelBGRa16, shape.pad, flip);
            for (int threads : {2, 5, 8, 16}) {
                TqBufferConverter many(threads);
                EXPECT_TRUE(ConvertInto(many, bayer8, TqPixelRGB8, shape.pad, flip) == rgb)
                    << shape.w << "x" << shape.h << " flip " << flip << ", " << threads << " threads";
                EXPECT_TRUE(ConvertInto(many, bayer12, TqPixelBGRa16, shape.pad, flip) == bgra16)
                    << shape.w << "x" << shape.h << " flip " << flip << ", " << threads << " threads (16 bits)";
            }
        }
    }
}

TEST_F(TqBufferConverterTest, CopiesSwapsAndNarrowingsInRunsOfRowsAndRowByRow) {
    // Rows that follow one another without padding reach the kernel as one run across the rows of a
    // band; padding on either side (Mono16 rows at odd addresses too) or a flip make it go row by row.
    // Either way every pixel matches the model, the destination's padding stays as it was, and any
    // thread count gives the same.
    struct Pair {
        TqPixelType from, to;
        uint32_t inBytes, outBytes;
    };
    const Pair pairs[] = {{TqPixelRGB8, TqPixelBGR8, 3, 3},    {TqPixelBGR8, TqPixelRGB8, 3, 3},
                          {TqPixelMono16, TqPixelMono8, 2, 1}, {TqPixelMono12, TqPixelMono8, 2, 1},
                          {TqPixelMono8, TqPixelMono8, 1, 1},  {TqPixelRGBa8, TqPixelRGBa8, 4, 4}};
    struct Shape {
        uint32_t w, h;
        uint16_t srcPad, dstPad;
    };
    uint32_t seed = 1;
    for (const Shape& shape : {Shape{37, 29, 0, 0}, Shape{37, 29, 1, 0}, Shape{37, 29, 0, 3}, Shape{1000, 300, 0, 0},
                               Shape{999, 301, 3, 1}, Shape{1, 70000, 0, 0}}) {
        for (const Pair& pair : pairs) {
            const size_t srcStride = size_t{shape.w} * pair.inBytes + shape.srcPad;
            const size_t dstStride = size_t{shape.w} * pair.outBytes + shape.dstPad;
            // Every bit of a 16-bit word is set at random: Mono12's bits above 12 are cut off.
            const auto levels = RandomLevels(srcStride * shape.h, 255, seed++);
            const Bytes bytes(levels.begin(), levels.end());
            TqBuffer src;
            Fill(src, shape.w, shape.h, pair.from, bytes, shape.srcPad);
            for (bool flip : {false, true}) {
                Bytes model(dstStride * shape.h, 0xA5);
                for (size_t y = 0; y < shape.h; ++y) {
                    const uint8_t* in = bytes.data() + srcStride * y;
                    uint8_t* out = model.data() + dstStride * (flip ? shape.h - 1 - y : y);
                    for (size_t x = 0; x < shape.w; ++x) {
                        const uint8_t* p = in + x * pair.inBytes;
                        uint8_t* o = out + x * pair.outBytes;
                        if (pair.from == TqPixelMono16 || pair.from == TqPixelMono12) {
                            o[0] = static_cast<uint8_t>((p[0] | p[1] << 8) >> (pair.from == TqPixelMono16 ? 8 : 4));
                        } else if (pair.from != pair.to) {
                            o[0] = p[2];
                            o[1] = p[1];
                            o[2] = p[0];
                        } else {
                            std::memcpy(o, p, pair.inBytes);
                        }
                    }
                }
                for (int threads : {1, 5}) {
                    TqBufferConverter c(threads);
                    ASSERT_TRUE(ConvertInto(c, src, pair.to, shape.dstPad, flip) == model)
                        << TqImage::PixelTypeToString(pair.from).GetAscii() << " to "
                        << TqImage::PixelTypeToString(pair.to).GetAscii() << ", " << shape.w << "x" << shape.h
                        << " paddings " << shape.srcPad << "/" << shape.dstPad << " flip " << flip << ", "
                        << threads << " threads";
                }
            }
        }
    }
}

TEST_F(TqBufferConverterTest, PoolServesRunsOfEverySizeAndStopsAtOnce) {
    const uint32_t w = 512, h = 384;
    const auto levels = RandomLevels(size_t(w) * h, 255, 5);
    TqBuffer large, small;
    Fill(large, w, h, TqPixelBayerBG8, Bytes(levels.begin(), levels.end()));
    Fill(small, 16, 8, TqPixelBayerBG8, Bytes(levels.begin(), levels.begin() + 128));
    TqBufferConverter one(1);
    const Bytes largeModel = ConvertInto(one, large, TqPixelRGB8, 0, false);
    const Bytes smallModel = ConvertInto(one, small, TqPixelRGB8, 0, false);
    {
        // Runs back to back (workers still spinning), after a pause (asleep), and alone on the caller.
        TqBufferConverter c(8);
        int wrong = 0;
        for (int round = 0; round < 200; ++round) {
            if (round % 50 == 49) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            wrong += ConvertInto(c, large, TqPixelRGB8, 0, false) != largeModel;
            if (round % 3 == 0) wrong += ConvertInto(c, small, TqPixelRGB8, 0, false) != smallModel;
        }
        EXPECT_EQ(wrong, 0);
    }
    // A pool destroyed right after its first run, while its workers spin or before they ever woke.
    for (int round = 0; round < 40; ++round) {
        TqBufferConverter c(round % 2 ? 8 : 3);
        EXPECT_TRUE(ConvertInto(c, large, TqPixelRGB8, 0, false) == largeModel) << round;
    }
}

TEST_F(TqBufferConverterTest, ConversionsFromSeveralThreadsOnOneConverter) {
    const int w = 300, h = 200;
    const auto levels = RandomLevels(size_t(w) * h, 255, 11);
    const Bytes bytes(levels.begin(), levels.end());
    const auto model = ModelDemosaic(levels, w, h, "BGGR", true);
    TqBuffer src;
    Fill(src, w, h, TqPixelBayerBG8, bytes);
    TqBufferConverter c(4);
    std::vector<std::thread> callers;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round) {
                TqBuffer dst;
                dst.GetImage()->Alloc(1, 1, TqPixelRGB8);
                if (!c.Convert(&src, &dst).IsOK()) {
                    ++mismatches[t];
                    continue;
                }
                const Bytes got = Contents(dst);
                for (size_t i = 0; i < model.size(); ++i)
                    if (got[i * 3] != model[i][0] || got[i * 3 + 1] != model[i][1] || got[i * 3 + 2] != model[i][2]) {
                        ++mismatches[t];
                        break;
                    }
            }
        });
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(mismatches, (std::vector<int>{0, 0, 0, 0}));
}

// ---- mono ----

TEST_F(TqBufferConverterTest, MonoDepths) {
    TqBufferConverter c(1);
    TqBuffer m12, out8, out16;
    Fill(m12, 4, 1, TqPixelMono12, Words({0, 16, 2048, 4095}));
    Target(out8, TqPixelMono8);
    Target(out16, TqPixelMono16);
    ASSERT_EQ(Code(c.Convert(&m12, &out8)), TQ_OK);
    EXPECT_EQ(Contents(out8), (Bytes{0, 1, 128, 255}));
    ASSERT_EQ(Code(c.Convert(&m12, &out16)), TQ_OK);
    EXPECT_EQ(Contents16(out16), (std::vector<uint16_t>{0, 256, 32768, 65520}));

    TqBuffer m16, m10, m14, m8;
    Fill(m16, 3, 1, TqPixelMono16, Words({0x1234, 0xFF00, 0x00FF}));
    ASSERT_EQ(Code(c.Convert(&m16, &out8)), TQ_OK);
    EXPECT_EQ(Contents(out8), (Bytes{0x12, 0xFF, 0x00}));
    ASSERT_EQ(Code(c.Convert(&m16, &out16)), TQ_OK);
    EXPECT_EQ(Contents16(out16), (std::vector<uint16_t>{0x1234, 0xFF00, 0x00FF}));
    Fill(m10, 2, 1, TqPixelMono10, Words({1023, 4}));
    ASSERT_EQ(Code(c.Convert(&m10, &out8)), TQ_OK);
    EXPECT_EQ(Contents(out8), (Bytes{255, 1}));
    Fill(m14, 2, 1, TqPixelMono14, Words({16383, 64}));
    ASSERT_EQ(Code(c.Convert(&m14, &out8)), TQ_OK);
    EXPECT_EQ(Contents(out8), (Bytes{255, 1}));
    Fill(m8, 3, 1, TqPixelMono8, {0, 1, 255});
    ASSERT_EQ(Code(c.Convert(&m8, &out16)), TQ_OK);
    EXPECT_EQ(Contents16(out16), (std::vector<uint16_t>{0, 256, 65280}));
    ASSERT_EQ(Code(c.Convert(&m8, &out8)), TQ_OK);
    EXPECT_EQ(Contents(out8), (Bytes{0, 1, 255}));
}

TEST_F(TqBufferConverterTest, MonoPackings) {
    TqBufferConverter c(1);
    TqBuffer out16;
    Target(out16, TqPixelMono16);
    // Mono12Packed: 0xABC and 0x123 in AB, 3C, 12; a third pixel 0x456 alone in 45, 06.
    TqBuffer p12;
    Fill(p12, 3, 1, TqPixelMono12Packed, {0xAB, 0x3C, 0x12, 0x45, 0x06});
    ASSERT_EQ(Code(c.Convert(&p12, &out16)), TQ_OK);
    EXPECT_EQ(Contents16(out16), (std::vector<uint16_t>{0xABC0, 0x1230, 0x4560}));
    // Mono10Packed: 0x3FD (FF, low bits 01) and 0x002 (00, low bits 10) in FF, 21, 00.
    TqBuffer p10;
    Fill(p10, 2, 1, TqPixelMono10Packed, {0xFF, 0x21, 0x00});
    ASSERT_EQ(Code(c.Convert(&p10, &out16)), TQ_OK);
    EXPECT_EQ(Contents16(out16), (std::vector<uint16_t>{0x3FD << 6, 0x002 << 6}));
    // Mono10p: 0x3FF, 0x001, 0x2AA, 0x155 least significant bit first in FF 07 A0 6A 55.
    TqBuffer b10;
    Fill(b10, 4, 1, TqPixelMono10p, {0xFF, 0x07, 0xA0, 0x6A, 0x55});
    ASSERT_EQ(Code(c.Convert(&b10, &out16)), TQ_OK);
    EXPECT_EQ(Contents16(out16), (std::vector<uint16_t>{0x3FF << 6, 0x001 << 6, 0x2AA << 6, 0x155 << 6}));
    TqBuffer out8;
    Target(out8, TqPixelMono8);
    ASSERT_EQ(Code(c.Convert(&b10, &out8)), TQ_OK);
    EXPECT_EQ(Contents(out8), (Bytes{0xFF, 0x00, 0xAA, 0x55}));
    // Mono12p: 0xABC, 0x123 in BC 3A 12.
    TqBuffer b12;
    Fill(b12, 2, 1, TqPixelMono12p, {0xBC, 0x3A, 0x12});
    ASSERT_EQ(Code(c.Convert(&b12, &out16)), TQ_OK);
    EXPECT_EQ(Contents16(out16), (std::vector<uint16_t>{0xABC0, 0x1230}));
    // Mono14p: 0x3FFF, 0x0001, 0x2AAA, 0x1555 in FF 7F 00 A0 AA 56 55.
    TqBuffer b14;
    Fill(b14, 4, 1, TqPixelMono14p, {0xFF, 0x7F, 0x00, 0xA0, 0xAA, 0x56, 0x55});
    ASSERT_EQ(Code(c.Convert(&b14, &out16)), TQ_OK);
    EXPECT_EQ(Contents16(out16), (std::vector<uint16_t>{0xFFFC, 0x0004, 0xAAA8, 0x5554}));
}

TEST_F(TqBufferConverterTest, MonoToColour) {
    TqBufferConverter c(1);
    TqBuffer m8, m12, rgba, bgr;
    Fill(m8, 2, 1, TqPixelMono8, {7, 200});
    Target(rgba, TqPixelRGBa8);
    ASSERT_EQ(Code(c.Convert(&m8, &rgba)), TQ_OK);
    EXPECT_EQ(Contents(rgba), (Bytes{7, 7, 7, 255, 200, 200, 200, 255}));
    Fill(m12, 2, 1, TqPixelMono12, Words({4095, 160}));
    Target(bgr, TqPixelBGR8);
    ASSERT_EQ(Code(c.Convert(&m12, &bgr)), TQ_OK);
    EXPECT_EQ(Contents(bgr), (Bytes{255, 255, 255, 10, 10, 10}));
}

// ---- colour and YUV ----

TEST_F(TqBufferConverterTest, ColourOrders) {
    TqBufferConverter c(1);
    TqBuffer rgb, out;
    Fill(rgb, 2, 1, TqPixelRGB8, {1, 2, 3, 4, 5, 6});
    Target(out, TqPixelBGR8);
    ASSERT_EQ(Code(c.Convert(&rgb, &out)), TQ_OK);
    EXPECT_EQ(Contents(out), (Bytes{3, 2, 1, 6, 5, 4}));
    TqBuffer rgba;
    Target(rgba, TqPixelRGBa8);
    ASSERT_EQ(Code(c.Convert(&rgb, &rgba)), TQ_OK);
    EXPECT_EQ(Contents(rgba), (Bytes{1, 2, 3, 255, 4, 5, 6, 255}));
    TqBuffer bgra;
    Target(bgra, TqPixelBGRa8);
    ASSERT_EQ(Code(c.Convert(&rgba, &bgra)), TQ_OK);
    EXPECT_EQ(Contents(bgra), (Bytes{3, 2, 1, 255, 6, 5, 4, 255}));
    TqBuffer alphaSrc, rgbaOut;
    Fill(alphaSrc, 1, 1, TqPixelBGRa8, {10, 20, 30, 40});   // alpha kept
    Target(rgbaOut, TqPixelRGBa8);
    ASSERT_EQ(Code(c.Convert(&alphaSrc, &rgbaOut)), TQ_OK);
    EXPECT_EQ(Contents(rgbaOut), (Bytes{30, 20, 10, 40}));
    TqBuffer rgbOut;
    Target(rgbOut, TqPixelRGB8);
    ASSERT_EQ(Code(c.Convert(&alphaSrc, &rgbOut)), TQ_OK);
    EXPECT_EQ(Contents(rgbOut), (Bytes{30, 20, 10}));
    TqBuffer same;
    Target(same, TqPixelRGB8);
    ASSERT_EQ(Code(c.Convert(&rgb, &same)), TQ_OK);
    EXPECT_EQ(Contents(same), (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST_F(TqBufferConverterTest, WideRowsSwapRedAndBlue) {
    TqBufferConverter c(1);
    for (uint32_t w : {5u, 6u, 7u, 33u, 101u}) {
        const auto levels = RandomLevels(size_t(w) * 3 * 3, 255, w);
        const Bytes bytes(levels.begin(), levels.end());
        TqBuffer rgb, bgr, back;
        Fill(rgb, w, 3, TqPixelRGB8, bytes);
        Target(bgr, TqPixelBGR8);
        ASSERT_EQ(Code(c.Convert(&rgb, &bgr)), TQ_OK);
        const Bytes got = Contents(bgr);
        for (size_t i = 0; i < bytes.size(); i += 3) {
            ASSERT_EQ(got[i], bytes[i + 2]) << w << " " << i;
            ASSERT_EQ(got[i + 1], bytes[i + 1]);
            ASSERT_EQ(got[i + 2], bytes[i]);
        }
        Target(back, TqPixelRGB8);
        ASSERT_EQ(Code(c.Convert(&bgr, &back)), TQ_OK);
        EXPECT_EQ(Contents(back), bytes);
    }
}

TEST_F(TqBufferConverterTest, ColourToMono) {
    TqBufferConverter c(1);
    TqBuffer rgb, bgr, mono;
    // (77 x 100 + 150 x 50 + 29 x 200 + 128) / 256 = 21128 / 256 = 82; white stays 255.
    Fill(rgb, 2, 1, TqPixelRGB8, {100, 50, 200, 255, 255, 255});
    Target(mono, TqPixelMono8);
    ASSERT_EQ(Code(c.Convert(&rgb, &mono)), TQ_OK);
    EXPECT_EQ(Contents(mono), (Bytes{82, 255}));
    Fill(bgr, 1, 1, TqPixelBGR8, {200, 50, 100});
    ASSERT_EQ(Code(c.Convert(&bgr, &mono)), TQ_OK);
    EXPECT_EQ(Contents(mono), (Bytes{82}));
}

TEST_F(TqBufferConverterTest, Yuv422) {
    TqBufferConverter c(1);
    // Y0 100, Y1 200, U 128, V 200 (V' 72): R 100 + 100.9 = 201, G 100 - 51.4 = 49, B 100;
    // R 300.9 clamps to 255, G 149, B 200. Then grey Y 128 with U = V = 128.
    TqBuffer yuyv, uyvy, rgb, mono;
    Fill(yuyv, 4, 1, TqPixelYUV422_8, {100, 128, 200, 200, 128, 128, 128, 128});
    Fill(uyvy, 4, 1, TqPixelYUV422_8_UYVY, {128, 100, 200, 200, 128, 128, 128, 128});
    Target(rgb, TqPixelRGB8);
    const Bytes expected = {201, 49, 100, 255, 149, 200, 128, 128, 128, 128, 128, 128};
    ASSERT_EQ(Code(c.Convert(&yuyv, &rgb)), TQ_OK);
    EXPECT_EQ(Contents(rgb), expected);
    ASSERT_EQ(Code(c.Convert(&uyvy, &rgb)), TQ_OK);
    EXPECT_EQ(Contents(rgb), expected);
    // U 255 (U' 127) with Y 0: B 1.772 x 127 = 225, G -43.7 clamps to 0, R 0.
    TqBuffer blue;
    Fill(blue, 2, 1, TqPixelYUV422_8, {0, 255, 0, 128});
    TqBuffer bgra;
    Target(bgra, TqPixelBGRa8);
    ASSERT_EQ(Code(c.Convert(&blue, &bgra)), TQ_OK);
    EXPECT_EQ(Contents(bgra), (Bytes{225, 0, 0, 255, 225, 0, 0, 255}));
    Target(mono, TqPixelMono8);
    ASSERT_EQ(Code(c.Convert(&uyvy, &mono)), TQ_OK);
    EXPECT_EQ(Contents(mono), (Bytes{100, 200, 128, 128}));
}

// ---- the RGB filter in conversions ----

TEST_F(TqBufferConverterTest, GainsAndOffsetsClamp) {
    TqBufferConverter c(1);
    TqBufferConverterRGBFilter f;
    f.SetGainR(2.0);
    f.SetOffsetG(-10);
    f.SetGainB(0.5);
    f.SetOffsetB(3);
    ASSERT_EQ(Code(c.SetRGBFilter(f)), TQ_OK);
    f.Reset();   // the converter copied the settings
    TqBuffer rgb, out;
    Fill(rgb, 2, 1, TqPixelRGB8, {100, 5, 201, 200, 250, 0});
    Target(out, TqPixelBGR8);
    ASSERT_EQ(Code(c.Convert(&rgb, &out)), TQ_OK);
    // R 200 and 400 -> 255; G -5 -> 0 and 240; B 103.5 -> 104 and 3.
    EXPECT_EQ(Contents(out), (Bytes{104, 0, 200, 3, 240, 255}));

    TqBuffer mono;   // the filter applies before the luma
    Target(mono, TqPixelMono8);
    ASSERT_EQ(Code(c.Convert(&rgb, &mono)), TQ_OK);
    // (77 x 200 + 150 x 0 + 29 x 104 + 128) / 256 = 18544 / 256 = 72;
    // (77 x 255 + 150 x 240 + 29 x 3 + 128) / 256 = 55850 / 256 = 218
    EXPECT_EQ(Contents(mono), (Bytes{72, 218}));

    TqBuffer m8;   // mono to colour takes the filter; mono to mono ignores it
    Fill(m8, 1, 1, TqPixelMono8, {100});
    TqBuffer rgbOut;
    Target(rgbOut, TqPixelRGB8);
    ASSERT_EQ(Code(c.Convert(&m8, &rgbOut)), TQ_OK);
    EXPECT_EQ(Contents(rgbOut), (Bytes{200, 90, 53}));
    ASSERT_EQ(Code(c.Convert(&m8, &mono)), TQ_OK);
    EXPECT_EQ(Contents(mono), (Bytes{100}));

    ASSERT_EQ(Code(c.ResetRGBFilter()), TQ_OK);
    ASSERT_EQ(Code(c.Convert(&rgb, &out)), TQ_OK);
    EXPECT_EQ(Contents(out), (Bytes{201, 5, 100, 0, 250, 200}));
}

TEST_F(TqBufferConverterTest, FilterOnBayerAt8And16Bits) {
    TqBufferConverter c(1);
    TqBufferConverterRGBFilter f;
    f.SetGainR(3.0);
    f.SetOffsetB(-1000);
    ASSERT_EQ(Code(c.SetRGBFilter(f)), TQ_OK);
    // BayerRG16 2 x 2: R 30000, G 1000 and 3000, B 1500.
    TqBuffer src, out16, out8;
    Fill(src, 2, 2, TqPixelBayerRG16, Words({30000, 1000, 3000, 1500}));
    Target(out16, TqPixelRGB16);
    ASSERT_EQ(Code(c.Convert(&src, &out16)), TQ_OK);
    const auto got = Contents16(out16);
    EXPECT_EQ(got[0], 65535);   // 90000 clamps
    EXPECT_EQ(got[1], 2000);
    EXPECT_EQ(got[2], 500);
    // 8 bits: R 30000 >> 8 = 117 -> 351 -> 255; G 2000 >> 8 = 7; B 1500 >> 8 = 5 -> -995 -> 0.
    Target(out8, TqPixelRGB8);
    ASSERT_EQ(Code(c.Convert(&src, &out8)), TQ_OK);
    EXPECT_EQ(Rgb(Contents(out8), 2, 1, 1), (Px{255, 7, 0}));
}

TEST_F(TqBufferConverterTest, WhiteBalanceThenConvertGivesGrey) {
    TqBuffer src;
    Fill(src, 2, 1, TqPixelRGB8, {40, 90, 20, 60, 110, 30});
    TqBufferConverterRGBFilter f;
    ASSERT_EQ(Code(f.WhiteBalance(&src)), TQ_OK);
    TqBufferConverter c(1);
    ASSERT_EQ(Code(c.SetRGBFilter(f)), TQ_OK);
    TqBuffer out;
    Target(out, TqPixelRGB8);
    ASSERT_EQ(Code(c.Convert(&src, &out)), TQ_OK);
    EXPECT_EQ(Contents(out), (Bytes{80, 90, 80, 120, 110, 120}));
}

// ---- flip, geometry and memory ----

TEST_F(TqBufferConverterTest, FlipY) {
    TqBufferConverter c(1);
    TqBuffer src, out;
    Fill(src, 2, 3, TqPixelMono8, {1, 2, 3, 4, 5, 6});
    Target(out, TqPixelMono8);
    ASSERT_EQ(Code(c.Convert(&src, &out, true, true)), TQ_OK);
    EXPECT_EQ(Contents(out), (Bytes{5, 6, 3, 4, 1, 2}));
    ASSERT_EQ(Code(c.Convert(src.GetImage(), &out, true, false)), TQ_OK);
    EXPECT_EQ(Contents(out), (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST_F(TqBufferConverterTest, PaddingsOnBothSides) {
    TqBufferConverter c(1);
    TqBuffer src, out;
    // A Mono16 source with 1 byte of padding per line: its second row lies at an odd address.
    Bytes bytes = {0x00, 0x10, 0x00, 0x20, 0xEE, 0x00, 0x30, 0x00, 0x40, 0xEE};
    Fill(src, 2, 2, TqPixelMono16, bytes, 1);
    ASSERT_TRUE(out.GetImage()->Alloc(1, 1, TqPixelMono16, 3).IsOK());   // destination padding kept
    ASSERT_EQ(Code(c.Convert(&src, &out)), TQ_OK);
    EXPECT_EQ(out.GetImage()->GetPaddingX(), 3);
    const Bytes got = Contents(out);
    ASSERT_EQ(got.size(), 14u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 4), (Bytes{0x00, 0x10, 0x00, 0x20}));
    EXPECT_EQ(Bytes(got.begin() + 7, got.begin() + 11), (Bytes{0x00, 0x30, 0x00, 0x40}));
    // And through an RGB16 output with an odd stride.
    TqBuffer bayer, rgb16;
    Fill(bayer, 2, 2, TqPixelBayerRG16, Words({100, 200, 300, 400}), 0);
    ASSERT_TRUE(rgb16.GetImage()->Alloc(1, 1, TqPixelRGB16, 1).IsOK());
    ASSERT_EQ(Code(c.Convert(&bayer, &rgb16)), TQ_OK);
    const Bytes g16 = Contents(rgb16);
    uint16_t second[3];
    std::memcpy(second, g16.data() + 13, 6);   // row 1, pixel 0: after 12 bytes and 1 of padding
    EXPECT_EQ(second[0], 100);
    EXPECT_EQ(second[1], 300);   // a green site keeps its green under the default 3X3 filter
    EXPECT_EQ(second[2], 400);
}

TEST_F(TqBufferConverterTest, DestinationMemory) {
    TqBufferConverter c(1);
    TqBuffer src;
    Fill(src, 4, 2, TqPixelMono8, {1, 2, 3, 4, 5, 6, 7, 8});
    src.GetImage()->SetBlockInfo(42, 1000, 2000);

    // Owned memory grows; the geometry follows the source.
    TqBuffer grown;
    Target(grown, TqPixelRGB8);
    ASSERT_EQ(Code(c.Convert(&src, &grown)), TQ_OK);
    EXPECT_GE(grown.GetSize(), 24u);
    EXPECT_EQ(grown.GetImage()->GetWidth(), 4u);
    EXPECT_EQ(grown.GetImage()->GetHeight(), 2u);
    EXPECT_EQ(grown.GetImage()->GetBlockID(), 42u);
    EXPECT_EQ(grown.GetImage()->GetTimestamp(), 1000u);
    EXPECT_EQ(grown.GetPayloadLength(), 24u);

    // Reallocation refused.
    TqBuffer small;
    Target(small, TqPixelRGB8);
    EXPECT_EQ(Code(c.Convert(&src, &small, false)), TQ_GENERIC_ERROR);
    // Large enough memory is kept, with reallocation refused or not.
    TqBuffer large;
    ASSERT_TRUE(large.GetImage()->Alloc(10, 10, TqPixelRGB8).IsOK());
    const uint8_t* before = large.GetDataPointer();
    ASSERT_EQ(Code(c.Convert(&src, &large, false)), TQ_OK);
    EXPECT_EQ(large.GetDataPointer(), before);
    EXPECT_EQ(large.GetImage()->GetWidth(), 4u);
    EXPECT_EQ(Contents(large)[3], 2);

    // Attached memory: too small fails whatever the flag, large enough is written in place.
    std::vector<uint8_t> tiny(10), room(64, 0xCC);
    TqBuffer attachedSmall, attachedLarge;
    ASSERT_TRUE(attachedSmall.GetImage()->Attach(tiny.data(), 1, 1, TqPixelRGB8).IsOK());
    EXPECT_EQ(Code(c.Convert(&src, &attachedSmall, true)), TQ_GENERIC_ERROR);
    EXPECT_EQ(attachedSmall.GetDataPointer(), tiny.data());
    ASSERT_TRUE(attachedLarge.GetImage()->Attach(room.data(), 2, 2, TqPixelBGR8, 0, 0, 40).IsOK());
    ASSERT_EQ(Code(c.Convert(&src, &attachedLarge)), TQ_OK);
    EXPECT_EQ(attachedLarge.GetDataPointer(), room.data());
    EXPECT_EQ(room[0], 1);
    EXPECT_EQ(room[23], 8);
    EXPECT_EQ(room[24], 0xCC);
    attachedSmall.Detach();
    attachedLarge.Detach();

    // A buffer with no memory yet, its pixel type set through the geometry only.
    TqBuffer bare;
    bare.GetImage()->SetGeometry(0, 0, TqPixelMono16, 0, 0);
    ASSERT_EQ(Code(c.Convert(&src, &bare)), TQ_OK);
    EXPECT_EQ(Contents16(bare), (std::vector<uint16_t>{256, 512, 768, 1024, 1280, 1536, 1792, 2048}));
    EXPECT_EQ(Code(c.Convert(&src, &bare, false)), TQ_OK);
}

TEST_F(TqBufferConverterTest, SourceSmallerThanItsGeometryIsRefused) {
    TqBufferConverter c(1);
    TqBuffer src, out;
    std::vector<uint8_t> memory(8);
    ASSERT_TRUE(src.GetImage()->Attach(memory.data(), 4, 2, TqPixelMono8).IsOK());
    src.GetImage()->SetGeometry(4, 4, TqPixelMono8, 0, 0);   // claims 16 bytes over 8
    Target(out, TqPixelMono8);
    EXPECT_EQ(Code(c.Convert(&src, &out)), TQ_INVALID_PARAMETER);
    src.Detach();
}

}  // namespace
