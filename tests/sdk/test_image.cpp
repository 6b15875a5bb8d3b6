// The stand-in SDK's image and raw-data payloads: pixel-type facts for every member of TqPixelType,
// sizes of a geometry (paddings, chunk room, 32-bit limits), memory states and their codes, the
// buffer's view of the same memory, the payload objects a buffer hands out.
#include "TqBuffer.h"
#include "TqImage.h"
#include "TqLiveObjects.h"
#include "TqPixelLayout.h"
#include "balanced.h"
#include "TqRawData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifndef KIVO_SDK_INCLUDE_DIR
#error "KIVO_SDK_INCLUDE_DIR must name the SDK's include folder"
#endif

namespace {

const uint8_t* U8(const char* aText) { return reinterpret_cast<const uint8_t*>(aText); }

std::string Str(const TqString& aText) { return aText.GetAscii(); }

TqPixelType Pixel(uint32_t aValue) { return static_cast<TqPixelType>(aValue); }

class TqImageTest : public Balanced {
protected:
    TqImageTest() : Balanced({"TqBuffer", "TqImage", "TqRawData", "TqResult", "TqString"}) {}
};
class TqBufferPayloadTest : public Balanced {
protected:
    TqBufferPayloadTest() : Balanced({"TqBuffer", "TqImage", "TqRawData", "TqResult", "TqString"}) {}
};
class TqRawDataTest : public Balanced {
protected:
    TqRawDataTest() : Balanced({"TqBuffer", "TqImage", "TqRawData", "TqResult", "TqString"}) {}
};

// ---- the members of TqPixelType, read from the header ----

struct HeaderPixel {
    std::string name;   // without the TqPixel prefix
    uint32_t value;
};

std::string Trim(const std::string& aText) {
    size_t begin = aText.find_first_not_of(" \t()");
    size_t end = aText.find_last_not_of(" \t()");
    return begin == std::string::npos ? std::string() : aText.substr(begin, end - begin + 1);
}

// Parses the macros and the enumerators of TqPixelType.h on its own, so that the library's table
// is checked against the header rather than against itself.
std::vector<HeaderPixel> ReadHeaderPixels() {
    std::ifstream file(KIVO_SDK_INCLUDE_DIR "/TqPixelType.h");
    EXPECT_TRUE(file.good()) << "cannot read " KIVO_SDK_INCLUDE_DIR "/TqPixelType.h";
    std::stringstream text;
    text << file.rdbuf();
    std::string source = text.str();

    std::map<std::string, uint32_t> macros;
    static const std::regex define(R"(#define\s+(TQ\w+)\s+(0x[0-9A-Fa-f]+))");
    for (std::sregex_iterator it(source.begin(), source.end(), define), end; it != end; ++it)
        macros[(*it)[1]] = static_cast<uint32_t>(std::stoul((*it)[2], nullptr, 16));

    size_t begin = source.find("enum TqPixelType");
    size_t close = source.find("};", begin);
    EXPECT_NE(begin, std::string::npos);
    std::string body = source.substr(begin, close - begin);

    std::vector<HeaderPixel> pixels;
    static const std::regex member(R"(\n\s*TqPixel(\w+)\s*=\s*([^,\n]+),)");
    for (std::sregex_iterator it(body.begin(), body.end(), member), end; it != end; ++it) {
        std::string expression = (*it)[2];
        uint32_t value = 0;
        std::stringstream terms(expression);
        std::string term;
        while (std::getline(terms, term, '|')) {
            term = Trim(term);
            if (macros.count(term)) {
                value |= macros[term];
            } else {
                size_t used = 0;
                value |= static_cast<uint32_t>(std::stoul(term, &used, 0));
                EXPECT_EQ(used, term.size()) << "cannot read '" << term << "' of TqPixel" << (*it)[1];
            }
        }
        pixels.push_back({(*it)[1], value});
    }
    return pixels;
}

const std::vector<HeaderPixel>& HeaderPixels() {
    static const std::vector<HeaderPixel> pixels = ReadHeaderPixels();
    return pixels;
}

// The depth a packed type's name states: the digits before its p, p32, V1Packed or Packed ending.
int NamedPackedDepth(const std::string& aName) {
    static const std::regex packed(R"((\d+)(p32|p|V1Packed|Packed)(_|$))");
    std::smatch m;
    return std::regex_search(aName, m, packed) ? std::stoi(m[1]) : -1;
}

}  // namespace

// ---- pixel types ----

TEST(TqPixelTypeTableTest, HeaderIsReadWhole) {
    const auto& pixels = HeaderPixels();
    ASSERT_GE(pixels.size(), 241u);
    std::set<std::string> names;
    std::set<uint32_t> values;
    for (const auto& p : pixels) {
        EXPECT_TRUE(names.insert(p.name).second) << p.name << " twice";
        EXPECT_TRUE(values.insert(p.value).second) << p.name << " shares its value";
    }
    // The reading agrees with the compiler where both can be asked.
    auto find = [&](const char* aName) {
        auto it = std::find_if(pixels.begin(), pixels.end(), [&](const HeaderPixel& p) { return p.name == aName; });
        return it == pixels.end() ? 0xDEADBEEFu : it->value;
    };
    EXPECT_EQ(find("Undefined"), static_cast<uint32_t>(TqPixelUndefined));
    EXPECT_EQ(find("Mono8"), static_cast<uint32_t>(TqPixelMono8));
    EXPECT_EQ(find("RGB10p"), static_cast<uint32_t>(TqPixelRGB10p));
    EXPECT_EQ(find("BayerBG10p"), static_cast<uint32_t>(TqPixelBayerBG10p));
    EXPECT_EQ(find("Coord3D_ABC32f_Planar"), static_cast<uint32_t>(TqPixelCoord3D_ABC32f_Planar));
    EXPECT_EQ(find("Mono32"), static_cast<uint32_t>(TqPixelMono32));
}

TEST(TqPixelTypeTableTest, EveryMemberRoundTripsByName) {
    for (const auto& p : HeaderPixels())
        EXPECT_EQ(Str(TqImage::PixelTypeToString(Pixel(p.value))), p.name)
            << "TqPixel" << p.name << " is missing from the library's table, or has another value there";
}

TEST(TqPixelTypeTableTest, ValuesNamingNoMemberAreUnknown) {
    EXPECT_EQ(Str(TqImage::PixelTypeToString(Pixel(TqPixelMono8 | TQPIXELCUSTOM))), "Unknown (0x81080001)");
    EXPECT_EQ(Str(TqImage::PixelTypeToString(Pixel(0x01080000))), "Unknown (0x01080000)") << "fields without an ID";
    EXPECT_EQ(Str(TqImage::PixelTypeToString(Pixel(0x00000001))), "Unknown (0x00000001)") << "an ID without fields";
    EXPECT_EQ(Str(TqImage::PixelTypeToString(Pixel(0xFFFFFFFF))), "Unknown (0xFFFFFFFF)");
    EXPECT_EQ(Str(TqImage::PixelTypeToString(Pixel(TQPIXELMONO | TQPIXEL10BIT | 0x0052))), "BayerBG10p");
    EXPECT_EQ(Str(TqImage::PixelTypeToString(Pixel(TQPIXELCOLOR | TQPIXEL30BIT | 0x0052))), "RGB10p")
        << "one ID, two types: the whole value decides";
    EXPECT_EQ(Str(TqImage::PixelTypeToString(Pixel(TQPIXELMONO | TQPIXEL30BIT | 0x0052))), "Unknown (0x011E0052)");
    EXPECT_EQ(Str(TqImage::PixelTypeToString(TqPixelUndefined)), "Undefined");
}

// Between the wire (PFNC) and the SDK: every member goes to a wire value of its own and back to
// itself, with its colour flag and bits unchanged; the wire values of the run the SDK numbers one
// lower come back as their own format, never as their SDK neighbour.
TEST(TqPixelTypeTableTest, WireValuesMapToEveryMemberAndBack) {
    std::map<uint32_t, std::string> byWire;
    for (const auto& p : HeaderPixels()) {
        const uint32_t wire = TqPixel::ToWire(Pixel(p.value));
        EXPECT_EQ(static_cast<uint32_t>(TqPixel::FromWire(wire)), p.value) << "TqPixel" << p.name;
        EXPECT_EQ(wire & 0xFFFF0000u, p.value & 0xFFFF0000u) << "TqPixel" << p.name;
        EXPECT_TRUE(byWire.emplace(wire, p.name).second) << "TqPixel" << p.name << " and TqPixel" << byWire[wire];
    }
    // Values of the standard naming convention.
    EXPECT_EQ(byWire[0x021E005C], "RGB10p");
    EXPECT_EQ(byWire[0x0224005D], "RGB12p");
    EXPECT_EQ(byWire[0x02400063], "RGBa14");
    EXPECT_EQ(byWire[0x02400064], "RGBa16");
    EXPECT_EQ(byWire[0x010A0052], "BayerBG10p");
    EXPECT_EQ(byWire[0x02200065], "YCbCr422_10");
    EXPECT_EQ(byWire[0x02180014], "RGB8");
    EXPECT_EQ(TqPixel::FromWire(0x02400063), TqPixelRGBa14);
    EXPECT_EQ(TqPixel::FromWire(0x81080001), static_cast<TqPixelType>(0x81080001)) << "custom values pass unchanged";
}

struct PixelFacts {
    TqPixelType type;
    uint32_t size;
    bool color;
    uint32_t bitsPerComponent;
    bool highRes;
};

TEST(TqPixelTypeTest, FactsOfCommonTypes) {
    const PixelFacts facts[] = {
        {TqPixelMono8, 8, false, 8, false},
        {TqPixelMono8s, 8, false, 8, false},
        {TqPixelMono10, 16, false, 16, true},
        {TqPixelMono12, 16, false, 16, true},
        {TqPixelMono16, 16, false, 16, true},
        {TqPixelMono10p, 10, false, 10, true},
        {TqPixelMono12p, 12, false, 12, true},
        {TqPixelMono10Packed, 12, false, 10, true},
        {TqPixelMono12Packed, 12, false, 12, true},
        {TqPixelMono1p, 1, false, 1, false},
        {TqPixelMono4p, 4, false, 4, false},
        {TqPixelBayerRG8, 8, false, 8, false},
        {TqPixelBayerRG10Packed, 12, false, 10, true},
        {TqPixelBayerRG16, 16, false, 16, true},
        {TqPixelRGB8, 24, true, 8, false},
        {TqPixelBGR8, 24, true, 8, false},
        {TqPixelRGBa8, 32, true, 8, false},
        {TqPixelBGRa8, 32, true, 8, false},
        {TqPixelRGB16, 48, true, 16, true},
        {TqPixelRGB10p, 30, true, 10, true},
        {TqPixelRGB10p32, 32, true, 10, true},
        {TqPixelRGB10V1Packed, 32, true, 10, true},
        {TqPixelRGB12V1Packed, 36, true, 12, true},
        {TqPixelRGB565p, 16, true, 5, false},
        {TqPixelBGRa10p, 40, true, 10, true},
        {TqPixelRGBa16, 64, true, 16, true},
        {TqPixelYUV422_8, 16, true, 8, false},
        {TqPixelYUV422_8_UYVY, 16, true, 8, false},
        {TqPixelYUV411_8_UYYVYY, 12, true, 8, false},
        {TqPixelYUV8_UYV, 24, true, 8, false},
        {TqPixelYCbCr422_10, 32, true, 16, true},
        {TqPixelYCbCr422_10p, 20, true, 10, true},
        {TqPixelBiColorRGBG8, 16, true, 8, false},
        {TqPixelCoord3D_AC32f, 64, true, 32, true},
        {TqPixelCoord3D_ABC32f, 96, true, 32, true},
        {TqPixelConfidence1, 8, false, 8, false},
        {TqPixelConfidence1p, 1, false, 1, false},
        {TqPixelUndefined, 0, false, 0, false},
        // Custom values name no member: mono over one component, colour over three.
        {Pixel(TQPIXELCUSTOM | TQPIXELMONO | TQPIXEL16BIT | 0x1234), 16, false, 16, true},
        {Pixel(TQPIXELCUSTOM | TQPIXELCOLOR | TQPIXEL24BIT | 0x0001), 24, true, 8, false},
        {Pixel(TQPIXELCUSTOM | TQPIXELCOLOR | TQPIXEL48BIT | 0x0014), 48, true, 16, true},
        {Pixel(TQPIXELCUSTOM | TQPIXEL8BIT), 8, false, 8, false},
        {Pixel(TQPIXELCUSTOM), 0, false, 0, false},
    };
    for (const PixelFacts& f : facts) {
        std::string name = Str(TqImage::PixelTypeToString(f.type));
        EXPECT_EQ(TqImage::GetPixelSize(f.type), f.size) << name;
        EXPECT_EQ(TqImage::IsPixelColor(f.type), f.color) << name;
        EXPECT_EQ(TqImage::GetBitsPerComponent(f.type), f.bitsPerComponent) << name;
        EXPECT_EQ(TqImage::IsPixelHighRes(f.type), f.highRes) << name;
    }
}

// What must hold for every member, whatever its row says.
TEST(TqPixelTypeTest, BitsPerComponentFitEveryMember) {
    for (const auto& p : HeaderPixels()) {
        TqPixelType type = Pixel(p.value);
        uint32_t bpp = TqImage::GetPixelSize(type);
        uint32_t bpc = TqImage::GetBitsPerComponent(type);
        ASSERT_EQ(bpp, (p.value >> 16) & 0xFF) << p.name;
        EXPECT_EQ(TqImage::IsPixelColor(type), (p.value & 0x02000000) != 0) << p.name;
        EXPECT_EQ(TqImage::IsPixelHighRes(type), bpc > 8) << p.name;
        EXPECT_LE(bpc, bpp) << p.name;
        EXPECT_EQ(bpc == 0, bpp == 0) << p.name;
        if (bpp == 0) continue;
        int packedDepth = NamedPackedDepth(p.name);
        if (p.name == "RGB565p" || p.name == "BGR565p") {
            EXPECT_EQ(bpc, 5u) << p.name;
        } else if (packedDepth > 0) {
            EXPECT_EQ(bpc, static_cast<uint32_t>(packedDepth)) << p.name << ": a packed type gives its named depth";
        } else if (!TqImage::IsPixelColor(type)) {
            EXPECT_EQ(bpc, bpp) << p.name << ": one component fills the pixel";
        } else {
            // Two, three or four components per pixel, or three per two pixels (4:1:1).
            ASSERT_EQ(2 * bpp % bpc, 0u) << p.name;
            uint32_t halves = 2 * bpp / bpc;
            EXPECT_TRUE(halves == 3 || halves == 4 || halves == 6 || halves == 8) << p.name << ": " << bpp << "/" << bpc;
        }
    }
}

// ---- sizes ----

TEST(TqImageSizeTest, RequiredMemoryAddsPaddingsAndChunkRoom) {
    EXPECT_EQ(TqImage::RequiredMemory(640, 480, TqPixelMono8, 0, 0, 0), 640u * 480u);
    EXPECT_EQ(TqImage::RequiredMemory(640, 480, TqPixelMono8, 3, 5, 100), (640u + 3u) * 480u + 5u + 100u)
        << "padding X on every line, padding Y once";
    EXPECT_EQ(TqImage::RequiredMemory(640, 480, TqPixelRGB8, 0, 0, 0), 640u * 3u * 480u);
    EXPECT_EQ(TqImage::RequiredMemory(7, 2, TqPixelRGBa16, 1, 0, 0), (7u * 8u + 1u) * 2u);
    // Lines round up to whole bytes, line by line.
    EXPECT_EQ(TqImage::RequiredMemory(3, 1, TqPixelMono10p, 0, 0, 0), 4u) << "30 bits";
    EXPECT_EQ(TqImage::RequiredMemory(3, 5, TqPixelMono10p, 0, 0, 0), 20u) << "not ceil(150 bits)";
    EXPECT_EQ(TqImage::RequiredMemory(5, 1, TqPixelMono12Packed, 0, 0, 0), 8u) << "60 bits";
    EXPECT_EQ(TqImage::RequiredMemory(9, 2, TqPixelMono1p, 1, 0, 0), (2u + 1u) * 2u);
    EXPECT_EQ(TqImage::RequiredMemory(2, 1, TqPixelYUV411_8_UYYVYY, 0, 0, 0), 3u);
    EXPECT_EQ(TqImage::RequiredMemory(1, 1, TqPixelCoord3D_ABC32f, 0, 0, 0), 12u);
    // Nothing but paddings or chunk room is still memory; nothing at all is none.
    EXPECT_EQ(TqImage::RequiredMemory(0, 4, TqPixelMono8, 2, 1, 0), 9u);
    EXPECT_EQ(TqImage::RequiredMemory(0, 0, TqPixelMono8, 0, 0, 16), 16u);
    EXPECT_EQ(TqImage::RequiredMemory(0, 0, TqPixelMono8, 0, 0, 0), 0u);
}

TEST(TqImageSizeTest, RequiredMemoryIsZeroWithoutPixelSizeOrPast32Bits) {
    EXPECT_EQ(TqImage::RequiredMemory(640, 480, TqPixelUndefined, 4, 4, 64), 0u);
    EXPECT_EQ(TqImage::RequiredMemory(640, 480, Pixel(TQPIXELCUSTOM | TQPIXELMONO | 0x0001), 0, 0, 0), 0u);
    // The largest size fits; one byte more does not, wherever it comes from.
    EXPECT_EQ(TqImage::RequiredMemory(0xFFFFFFFF, 1, TqPixelMono8, 0, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(TqImage::RequiredMemory(0xFFFFFFFE, 1, TqPixelMono8, 0, 0, 1), 0xFFFFFFFFu);
    EXPECT_EQ(TqImage::RequiredMemory(0xFFFFFFFF, 1, TqPixelMono8, 0, 0, 1), 0u);
    EXPECT_EQ(TqImage::RequiredMemory(0xFFFFFFFF, 1, TqPixelMono8, 0, 1, 0), 0u);
    EXPECT_EQ(TqImage::RequiredMemory(0xFFFFFFFF, 1, TqPixelMono8, 1, 0, 0), 0u);
    EXPECT_EQ(TqImage::RequiredMemory(65536, 65536, TqPixelMono8, 0, 0, 0), 0u);
    EXPECT_EQ(TqImage::RequiredMemory(65535, 65536, TqPixelMono8, 1, 0, 0), 0u);
    EXPECT_EQ(TqImage::RequiredMemory(1, 1, TqPixelMono8, 0, 0, 0xFFFFFFFF), 0u);
    // Bits per line need more than 32 bits while the bytes fit.
    EXPECT_EQ(TqImage::RequiredMemory(0x20000000, 1, TqPixelMono16, 0, 0, 0), 0x40000000u);
    EXPECT_EQ(TqImage::RequiredMemory(0xFFFFFFFF, 1, TqPixelMono1p, 0, 0, 0), 0x20000000u);
    // A product past 64 bits: (8 x (2^32 - 1) + 8) x 2^29 = 2^64 would wrap to 0, leaving 100.
    EXPECT_EQ(TqImage::RequiredMemory(0xFFFFFFFF, 1u << 29, TqPixelRGBa16, 8, 0, 100), 0u);
    EXPECT_EQ(TqImage::RequiredMemory(0xFFFFFFFF, 0xFFFFFFFF, TqPixelCoord3D_ABC32f, 0xFFFF, 0xFFFF, 0xFFFFFFFF), 0u);
}

TEST_F(TqImageTest, GeometrySizesWithoutMemory) {
    TqImage image(nullptr);
    EXPECT_EQ(image.GetImageSize(), 0u);
    EXPECT_EQ(image.GetEffectiveImageSize(), 0u);
    EXPECT_EQ(image.GetRequiredSize(), 0u);
    EXPECT_EQ(image.GetBitsPerPixel(), 0u);

    image.SetGeometry(10, 4, TqPixelMono12p, 3, 7);
    EXPECT_EQ(image.GetWidth(), 10u);
    EXPECT_EQ(image.GetHeight(), 4u);
    EXPECT_EQ(image.GetPixelType(), TqPixelMono12p);
    EXPECT_EQ(image.GetPaddingX(), 3u);
    EXPECT_EQ(image.GetPaddingY(), 7u);
    EXPECT_EQ(image.GetBitsPerPixel(), 12u);
    EXPECT_EQ(image.GetImageSize(), (15u + 3u) * 4u + 7u);
    EXPECT_EQ(image.GetRequiredSize(), image.GetImageSize());
    EXPECT_EQ(image.GetEffectiveImageSize(), 15u * 4u) << "no paddings";
    EXPECT_EQ(image.GetMaximumChunkLength(), 0u) << "no memory";

    image.SetGeometry(10, 4, TqPixelUndefined, 3, 7);
    EXPECT_EQ(image.GetImageSize(), 0u) << "paddings alone are no image";
    EXPECT_EQ(image.GetEffectiveImageSize(), 0u);

    // A receiver may state a geometry no buffer could hold: no size rather than a wrapped one.
    image.SetGeometry(0xFFFFFFFF, 1u << 29, TqPixelRGBa16, 8, 0);
    EXPECT_EQ(image.GetImageSize(), 0u);
    EXPECT_EQ(image.GetEffectiveImageSize(), 0u);
    image.SetGeometry(65536, 65536, TqPixelMono8, 0, 0);
    EXPECT_EQ(image.GetEffectiveImageSize(), 0u);
    image.SetGeometry(65535, 65537, TqPixelMono8, 0, 0);
    EXPECT_EQ(image.GetEffectiveImageSize(), 65535u * 65537u) << "0xFFFFFFFF still fits";
    EXPECT_EQ(image.GetImageSize(), 0xFFFFFFFFu);
}

// ---- image memory ----

TEST_F(TqImageTest, AllocSizesTheBufferForImageAndChunks) {
    TqBuffer buffer;
    TqImage* image = buffer.GetImage();
    ASSERT_NE(image, nullptr);
    ASSERT_TRUE(image->Alloc(5, 3, TqPixelMono12Packed, 2, 1, 40).IsOK());
    const uint32_t imageSize = (8u + 2u) * 3u + 1u;
    EXPECT_TRUE(image->IsAllocated());
    EXPECT_FALSE(image->IsAttached());
    EXPECT_TRUE(buffer.IsAllocated());
    EXPECT_EQ(buffer.GetSize(), imageSize + 40u);
    EXPECT_EQ(image->GetImageSize(), imageSize);
    EXPECT_EQ(image->GetRequiredSize(), imageSize);
    EXPECT_EQ(image->GetEffectiveImageSize(), 8u * 3u);
    EXPECT_EQ(image->GetMaximumChunkLength(), 40u);
    EXPECT_EQ(image->GetWidth(), 5u);
    EXPECT_EQ(image->GetHeight(), 3u);
    EXPECT_EQ(image->GetPixelType(), TqPixelMono12Packed);
    EXPECT_EQ(image->GetBitsPerPixel(), 12u);
    EXPECT_EQ(buffer.GetPayloadLength(), imageSize);

    // One memory: what the image writes the buffer reads, and the chunks follow the image.
    ASSERT_EQ(image->GetDataPointer(), buffer.GetDataPointer());
    std::memset(image->GetDataPointer(), 0x5A, image->GetImageSize());
    EXPECT_EQ(buffer.GetDataPointer()[imageSize - 1], 0x5A);
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 40u - 8u) << "an image buffer keeps the main chunk's header";
    ASSERT_TRUE(buffer.AddChunk(7, U8("0123456789abcdefghijklm"), 24).IsOK()) << "24 + 8 fills the room";
    EXPECT_EQ(buffer.GetChunkRawDataByIndex(0), buffer.GetDataPointer() + imageSize);
    EXPECT_EQ(buffer.GetDataPointer()[imageSize - 1], 0x5A) << "chunks do not touch the image";
    const TqImage* constImage = image;
    EXPECT_EQ(constImage->GetDataPointer(), buffer.GetDataPointer());

    // Another Alloc gives new zero-filled memory of the new size.
    ASSERT_TRUE(image->Alloc(4, 4, TqPixelRGB8).IsOK());
    EXPECT_EQ(buffer.GetSize(), 48u);
    EXPECT_EQ(image->GetMaximumChunkLength(), 0u);
    EXPECT_EQ(image->GetPaddingX(), 0u);
    EXPECT_EQ(image->GetPaddingY(), 0u);
    EXPECT_EQ(std::count(image->GetDataPointer(), image->GetDataPointer() + 48, 0), 48);
    EXPECT_FALSE(buffer.HasChunks());
}

TEST_F(TqImageTest, RefusedAllocKeepsMemoryAndGeometry) {
    TqBuffer buffer;
    TqImage* image = buffer.GetImage();
    ASSERT_TRUE(image->Alloc(8, 2, TqPixelMono16, 0, 0, 16).IsOK());
    uint8_t* memory = image->GetDataPointer();
    auto unchanged = [&](const char* aWhy) {
        EXPECT_EQ(image->GetDataPointer(), memory) << aWhy;
        EXPECT_EQ(buffer.GetSize(), 48u) << aWhy;
        EXPECT_EQ(image->GetWidth(), 8u) << aWhy;
        EXPECT_EQ(image->GetHeight(), 2u) << aWhy;
        EXPECT_EQ(image->GetPixelType(), TqPixelMono16) << aWhy;
        EXPECT_EQ(image->GetImageSize(), 32u) << aWhy;
        EXPECT_EQ(image->GetMaximumChunkLength(), 16u) << aWhy;
    };
    EXPECT_EQ(image->Alloc(8, 2, TqPixelUndefined).GetCode(), TQ_INVALID_PARAMETER);
    unchanged("no pixel size");
    EXPECT_EQ(image->Alloc(0, 0, TqPixelMono8).GetCode(), TQ_INVALID_PARAMETER);
    unchanged("no bytes");
    EXPECT_EQ(image->Alloc(65536, 65536, TqPixelMono8).GetCode(), TQ_INVALID_PARAMETER);
    unchanged("4 GiB");
    EXPECT_EQ(image->Alloc(0xFFFFFFFF, 1u << 29, TqPixelRGBa16, 8, 0, 100).GetCode(), TQ_INVALID_PARAMETER);
    unchanged("a size that wraps in 64 bits");
    EXPECT_EQ(image->Alloc(16, 16, TqPixelMono8, 0, 0, 0xFFFFFF00).GetCode(), TQ_INVALID_PARAMETER);
    unchanged("chunk room past 4 GiB");
}

TEST_F(TqImageTest, FreeAndDetachKeepTheGeometry) {
    TqBuffer buffer;
    TqImage* image = buffer.GetImage();
    ASSERT_TRUE(image->Alloc(6, 5, TqPixelBayerRG8, 2).IsOK());
    image->Free();
    EXPECT_FALSE(image->IsAllocated());
    EXPECT_FALSE(buffer.IsAllocated());
    EXPECT_EQ(image->GetDataPointer(), nullptr);
    EXPECT_EQ(buffer.GetSize(), 0u);
    EXPECT_EQ(image->GetWidth(), 6u);
    EXPECT_EQ(image->GetImageSize(), 40u) << "the geometry stays after the memory went";
    EXPECT_EQ(image->GetMaximumChunkLength(), 0u);
    image->Free();   // nothing to free

    std::vector<uint8_t> memory(64);
    ASSERT_TRUE(image->Attach(memory.data(), 4, 4, TqPixelBGRa8, 0, 0, 0).IsOK());
    EXPECT_EQ(image->Detach(), memory.data());
    EXPECT_FALSE(image->IsAttached());
    EXPECT_EQ(image->GetDataPointer(), nullptr);
    EXPECT_EQ(image->GetPixelType(), TqPixelBGRa8);
    EXPECT_EQ(image->GetImageSize(), 64u);
    EXPECT_EQ(image->Detach(), nullptr) << "nothing attached any more";
}

TEST_F(TqImageTest, AttachUsesTheMemoryInPlace) {
    TqBuffer buffer;
    TqImage* image = buffer.GetImage();
    const uint32_t required = static_cast<uint32_t>(TqImage::RequiredMemory(7, 3, TqPixelRGB8, 3, 2, 20));
    ASSERT_EQ(required, (21u + 3u) * 3u + 2u + 20u);
    // Exactly the required size on the heap: the sanitizer build sees any access past it.
    std::unique_ptr<uint8_t[]> memory(new uint8_t[required]());
    ASSERT_TRUE(image->Attach(memory.get(), 7, 3, TqPixelRGB8, 3, 2, 20).IsOK());
    EXPECT_TRUE(image->IsAttached());
    EXPECT_FALSE(image->IsAllocated());
    EXPECT_EQ(image->GetDataPointer(), memory.get());
    EXPECT_EQ(buffer.GetDataPointer(), memory.get());
    EXPECT_EQ(buffer.GetSize(), required);
    EXPECT_EQ(buffer.GetPayloadLength(), 74u);
    EXPECT_EQ(image->GetImageSize(), 74u);
    EXPECT_EQ(image->GetMaximumChunkLength(), 20u);

    memory[0] = 0x11;
    EXPECT_EQ(image->GetDataPointer()[0], 0x11) << "not a copy";
    std::memset(image->GetDataPointer(), 0x22, image->GetImageSize());
    ASSERT_TRUE(buffer.AddChunk(3, U8("abcd"), 4).IsOK()) << "4 + 8 + 8 = 20";
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 0u);
    EXPECT_EQ(buffer.GetChunkRawDataByID(3), memory.get() + 74);
    EXPECT_EQ(memory[73], 0x22);

    // Attaching again replaces the attachment.
    std::unique_ptr<uint8_t[]> other(new uint8_t[16]());
    ASSERT_TRUE(image->Attach(other.get(), 4, 4, TqPixelMono8).IsOK());
    EXPECT_EQ(buffer.GetDataPointer(), other.get());
    EXPECT_EQ(buffer.GetSize(), 16u);
    EXPECT_EQ(image->Detach(), other.get());
}

TEST_F(TqImageTest, AllocatedAndAttachedExcludeEachOther) {
    uint8_t memory[64] = {};
    TqBuffer buffer;
    TqImage* image = buffer.GetImage();

    ASSERT_TRUE(image->Attach(memory, 8, 8, TqPixelMono8).IsOK());
    EXPECT_EQ(image->Alloc(4, 4, TqPixelMono8).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(image->GetDataPointer(), memory) << "a refused Alloc keeps the attachment";
    EXPECT_EQ(image->GetWidth(), 8u) << "and the geometry";
    EXPECT_EQ(image->Alloc(4, 4, TqPixelUndefined).GetCode(), TQ_INVALID_PARAMETER) << "arguments are checked first";
    image->Free();
    EXPECT_TRUE(image->IsAttached()) << "Free leaves attached memory alone";
    EXPECT_EQ(image->Detach(), memory);

    ASSERT_TRUE(image->Alloc(4, 4, TqPixelMono8).IsOK());
    uint8_t* own = image->GetDataPointer();
    EXPECT_EQ(image->Attach(memory, 8, 8, TqPixelMono8).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(image->GetDataPointer(), own);
    EXPECT_EQ(image->GetWidth(), 4u);
    EXPECT_EQ(image->Attach(nullptr, 8, 8, TqPixelMono8).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(image->Attach(memory, 8, 8, TqPixelUndefined).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(image->Attach(memory, 65536, 65536, TqPixelMono8).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(image->Detach(), nullptr) << "allocated memory is not handed out";
    EXPECT_TRUE(image->IsAllocated());
    EXPECT_EQ(image->GetDataPointer(), own);
    image->Free();
    ASSERT_TRUE(image->Attach(memory, 8, 8, TqPixelMono8).IsOK()) << "after Free the image can attach";
    image->Detach();
}

TEST_F(TqImageTest, ImageWithoutBufferHasNoMemory) {
    uint8_t memory[16] = {};
    TqImage image(nullptr);
    EXPECT_EQ(image.Alloc(4, 4, TqPixelMono8).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(image.Attach(memory, 4, 4, TqPixelMono8).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(image.GetWidth(), 0u) << "nothing taken from a refused call";
    EXPECT_FALSE(image.IsAllocated());
    EXPECT_FALSE(image.IsAttached());
    EXPECT_EQ(image.GetDataPointer(), nullptr);
    EXPECT_EQ(image.Detach(), nullptr);
    EXPECT_EQ(image.GetBuffer(), nullptr);
    image.Free();
}

TEST_F(TqImageTest, StandaloneImageOnABuffer) {
    TqBuffer buffer(TqPayloadTypeRawData);
    {
        TqImage image(&buffer);   // not the buffer's own: works on its memory all the same
        EXPECT_EQ(image.GetBuffer(), &buffer);
        ASSERT_TRUE(image.Alloc(2, 2, TqPixelMono16).IsOK());
        EXPECT_EQ(buffer.GetSize(), 8u);
    }
    EXPECT_TRUE(buffer.IsAllocated()) << "the memory is the buffer's";
    EXPECT_EQ(buffer.GetSize(), 8u);
}

// ---- block status ----

TEST_F(TqImageTest, StatusBitsAndBlockInfo) {
    TqImage image(nullptr);
    EXPECT_FALSE(image.IsFullLineMissing());
    EXPECT_FALSE(image.IsEOFByLineCount());
    image.SetFullLineMissing(true, 17);
    image.SetEOFByLineCount();
    EXPECT_TRUE(image.IsFullLineMissing());
    EXPECT_TRUE(image.IsEOFByLineCount());
    image.SetStatus(true, false, true, false, true);
    EXPECT_TRUE(image.IsPartialLineMissing());
    EXPECT_FALSE(image.IsInterlacedEven());
    EXPECT_TRUE(image.IsInterlacedOdd());
    EXPECT_FALSE(image.IsImageDropped());
    EXPECT_TRUE(image.IsDataOverrun());

    image.ClearEOFStatus();
    EXPECT_FALSE(image.IsFullLineMissing());
    EXPECT_FALSE(image.IsEOFByLineCount());
    EXPECT_TRUE(image.IsPartialLineMissing()) << "only the end-of-frame status is cleared";
    EXPECT_TRUE(image.IsDataOverrun());

    image.SetStatus(false, true, false, true, false);
    EXPECT_FALSE(image.IsPartialLineMissing());
    EXPECT_TRUE(image.IsInterlacedEven());
    EXPECT_FALSE(image.IsInterlacedOdd());
    EXPECT_TRUE(image.IsImageDropped());
    EXPECT_FALSE(image.IsDataOverrun());
    image.SetFullLineMissing(true, 3);
    image.SetFullLineMissing(false, 3);
    EXPECT_FALSE(image.IsFullLineMissing());
    image.SetEOFByLineCount(false);
    EXPECT_FALSE(image.IsEOFByLineCount());

    image.SetBlockInfo(0x1122334455667788ull, 0xA000000000000001ull, 42);
    EXPECT_EQ(image.GetBlockID(), 0x1122334455667788ull);
    EXPECT_EQ(image.GetTimestamp(), 0xA000000000000001ull);
    EXPECT_EQ(image.GetReceptionTime(), 42u);
    image.SetOffsetX(5);
    image.SetOffsetY(9);
    EXPECT_EQ(image.GetOffsetX(), 5u);
    EXPECT_EQ(image.GetOffsetY(), 9u);
}

// ---- the payload objects of a buffer ----

TEST_F(TqBufferPayloadTest, HandsOutThePayloadOfItsType) {
    long images = TqLiveObjects::Count("TqImage");
    long raws = TqLiveObjects::Count("TqRawData");
    {
        TqBuffer buffer;
        EXPECT_EQ(TqLiveObjects::Count("TqImage"), images) << "made on first use only";
        TqImage* image = buffer.GetImage();
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(buffer.GetImage(), image) << "one image per buffer";
        EXPECT_EQ(image->GetBuffer(), &buffer);
        EXPECT_EQ(buffer.GetRawData(), nullptr);
        EXPECT_EQ(TqLiveObjects::Count("TqImage"), images + 1);
        EXPECT_EQ(TqLiveObjects::Count("TqRawData"), raws);

        ASSERT_TRUE(buffer.Reset(TqPayloadTypeRawData).IsOK());
        EXPECT_EQ(buffer.GetImage(), nullptr);
        TqRawData* raw = buffer.GetRawData();
        ASSERT_NE(raw, nullptr);
        EXPECT_EQ(buffer.GetRawData(), raw);
        EXPECT_EQ(TqLiveObjects::Count("TqImage"), images + 1) << "kept while another type is current";
        EXPECT_EQ(TqLiveObjects::Count("TqRawData"), raws + 1);

        ASSERT_TRUE(buffer.Reset(TqPayloadTypeImage).IsOK());
        EXPECT_EQ(buffer.GetImage(), image) << "the same image again";
        EXPECT_EQ(buffer.GetRawData(), nullptr);
        for (TqPayloadType other : {TqPayloadTypeNone, TqPayloadTypeUndefined, TqPayloadTypeFile,
                                    TqPayloadTypeChunkData, TqPayloadTypeMultiPart, TqPayloadTypeJPEG}) {
            ASSERT_TRUE(buffer.Reset(other).IsOK());
            EXPECT_EQ(buffer.GetImage(), nullptr) << other;
            EXPECT_EQ(buffer.GetRawData(), nullptr) << other;
        }
        EXPECT_EQ(TqLiveObjects::Count("TqImage"), images + 1);
        EXPECT_EQ(TqLiveObjects::Count("TqRawData"), raws + 1);

        TqBuffer chunkOnly(TqPayloadTypeChunkData);
        EXPECT_EQ(chunkOnly.GetImage(), nullptr);
        EXPECT_EQ(chunkOnly.GetRawData(), nullptr);
        EXPECT_EQ(TqLiveObjects::Count("TqImage"), images + 1) << "nothing made for another type";
    }
    EXPECT_EQ(TqLiveObjects::Count("TqImage"), images) << "destroyed with the buffer";
    EXPECT_EQ(TqLiveObjects::Count("TqRawData"), raws);
}

TEST_F(TqBufferPayloadTest, DestroyedWithMemoryInUse) {
    auto* memory = new uint8_t[32]();
    {
        TqBuffer allocated;
        ASSERT_TRUE(allocated.GetImage()->Alloc(4, 4, TqPixelMono8, 0, 0, 16).IsOK());
        TqBuffer attached(TqPayloadTypeRawData);
        ASSERT_TRUE(attached.GetRawData()->Attach(memory, 32, 8).IsOK());
        std::unique_ptr<ITqChunkData> through(new TqBuffer());
        static_cast<TqBuffer*>(through.get())->GetImage();
    }
    memory[31] = 1;   // attached memory outlives the buffer that used it
    delete[] memory;
}

// ---- raw data ----

TEST_F(TqRawDataTest, AllocPutsChunksAfterThePayload) {
    TqBuffer buffer(TqPayloadTypeRawData);
    TqRawData* raw = buffer.GetRawData();
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->GetPayloadLength(), 0u);
    ASSERT_TRUE(raw->Alloc(100, 24).IsOK());
    EXPECT_TRUE(buffer.IsAllocated());
    EXPECT_EQ(buffer.GetSize(), 124u);
    EXPECT_EQ(raw->GetPayloadLength(), 100u);
    EXPECT_EQ(buffer.GetPayloadLength(), 100u);
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 24u);
    ASSERT_TRUE(buffer.AddChunk(9, U8("0123456789abcdef"), 16).IsOK());
    EXPECT_EQ(buffer.GetChunkRawDataByIndex(0), buffer.GetDataPointer() + 100);

    ASSERT_TRUE(raw->Alloc(10).IsOK());
    EXPECT_EQ(buffer.GetSize(), 10u);
    EXPECT_EQ(raw->GetPayloadLength(), 10u);
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 0u);

    raw->Free();
    EXPECT_FALSE(buffer.IsAllocated());
    EXPECT_EQ(raw->GetPayloadLength(), 0u);
    raw->Free();

    ASSERT_TRUE(raw->Alloc(0, 0).IsOK()) << "no bytes is no memory";
    EXPECT_FALSE(buffer.IsAllocated());
    EXPECT_EQ(raw->GetPayloadLength(), 0u);
    ASSERT_TRUE(raw->Alloc(0, 8).IsOK()) << "chunk room alone";
    EXPECT_EQ(buffer.GetSize(), 8u);
    EXPECT_EQ(raw->GetPayloadLength(), 0u);
}

TEST_F(TqRawDataTest, SizesPast32BitsAreRefused) {
    TqBuffer buffer(TqPayloadTypeRawData);
    TqRawData* raw = buffer.GetRawData();
    ASSERT_TRUE(raw->Alloc(16, 4).IsOK());
    uint8_t* memory = buffer.GetDataPointer();
    EXPECT_EQ(raw->Alloc(0x100000000ull).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(raw->Alloc(0xFFFFFFFFull, 1).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(raw->Alloc(0x100000010ull, 0).GetCode(), TQ_INVALID_PARAMETER) << "not cut to its low 32 bits";
    EXPECT_EQ(raw->Alloc(UINT64_MAX, 1).GetCode(), TQ_INVALID_PARAMETER) << "a sum that wraps to 0";
    EXPECT_EQ(raw->Alloc(UINT64_MAX - 15, 16).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(raw->Alloc(1, 0xFFFFFFFF).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(buffer.GetDataPointer(), memory);
    EXPECT_EQ(buffer.GetSize(), 20u);
    EXPECT_EQ(raw->GetPayloadLength(), 16u);

    raw->Free();
    uint8_t attached[32] = {};
    EXPECT_EQ(raw->Attach(attached, 0x100000000ull).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(raw->Attach(attached, 0x100000020ull).GetCode(), TQ_INVALID_PARAMETER) << "not cut to its low 32 bits";
    EXPECT_EQ(raw->Attach(attached, UINT64_MAX, 8).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_FALSE(buffer.IsAttached());
}

TEST_F(TqRawDataTest, AttachKeepsChunkRoomInsideTheMemory) {
    TqBuffer buffer(TqPayloadTypeRawData);
    TqRawData* raw = buffer.GetRawData();
    std::unique_ptr<uint8_t[]> memory(new uint8_t[48]());
    EXPECT_EQ(raw->Attach(nullptr, 48).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(raw->Attach(memory.get(), 48, 49).GetCode(), TQ_INVALID_PARAMETER) << "more chunk room than memory";
    EXPECT_FALSE(buffer.IsAttached());

    ASSERT_TRUE(raw->Attach(memory.get(), 48, 16).IsOK());
    EXPECT_TRUE(buffer.IsAttached());
    EXPECT_EQ(buffer.GetDataPointer(), memory.get());
    EXPECT_EQ(buffer.GetSize(), 48u) << "the chunk room lies inside";
    EXPECT_EQ(raw->GetPayloadLength(), 32u);
    EXPECT_EQ(buffer.GetPayloadLength(), 32u);
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 16u);
    ASSERT_TRUE(buffer.AddChunk(1, U8("abcdefgh"), 8).IsOK());
    EXPECT_EQ(buffer.GetChunkRawDataByIndex(0), memory.get() + 32);

    ASSERT_TRUE(raw->Attach(memory.get(), 48, 48).IsOK()) << "all of it chunk room";
    EXPECT_EQ(raw->GetPayloadLength(), 0u);
    ASSERT_TRUE(raw->Attach(memory.get(), 48).IsOK());
    EXPECT_EQ(raw->GetPayloadLength(), 48u);
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 0u);

    // Free leaves the attachment and its payload; Detach hands the memory back and keeps the length.
    raw->Free();
    EXPECT_TRUE(buffer.IsAttached());
    EXPECT_EQ(raw->GetPayloadLength(), 48u);
    EXPECT_EQ(raw->Alloc(8).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(raw->Alloc(0x100000000ull).GetCode(), TQ_INVALID_PARAMETER) << "arguments are checked first";
    EXPECT_EQ(raw->GetPayloadLength(), 48u);
    EXPECT_EQ(raw->Detach(), memory.get());
    EXPECT_FALSE(buffer.IsAttached());
    EXPECT_EQ(buffer.GetPayloadLength(), 0u);
    EXPECT_EQ(raw->GetPayloadLength(), 48u) << "the detached memory's payload";
    EXPECT_EQ(raw->Detach(), nullptr);
    raw->Free();
    EXPECT_EQ(raw->GetPayloadLength(), 0u) << "Free forgets it once no memory is attached";
}

TEST_F(TqRawDataTest, AllocatedAndAttachedExcludeEachOther) {
    uint8_t memory[16] = {};
    TqBuffer buffer(TqPayloadTypeRawData);
    TqRawData* raw = buffer.GetRawData();
    ASSERT_TRUE(raw->Alloc(8).IsOK());
    uint8_t* own = buffer.GetDataPointer();
    EXPECT_EQ(raw->Attach(memory, 16).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(raw->Attach(memory, 8, 9).GetCode(), TQ_INVALID_PARAMETER) << "arguments are checked first";
    EXPECT_EQ(buffer.GetDataPointer(), own);
    EXPECT_EQ(raw->GetPayloadLength(), 8u);
    EXPECT_EQ(raw->Detach(), nullptr) << "allocated memory is not handed out";
    EXPECT_TRUE(buffer.IsAllocated());
    EXPECT_EQ(raw->GetPayloadLength(), 8u);
    raw->Free();
    ASSERT_TRUE(raw->Attach(memory, 16).IsOK());
    EXPECT_EQ(raw->Detach(), memory);
}

TEST_F(TqRawDataTest, LengthNeverPastTheBufferMemory) {
    uint8_t memory[32] = {};
    TqBuffer buffer(TqPayloadTypeRawData);
    TqRawData* raw = buffer.GetRawData();
    ASSERT_TRUE(raw->Attach(memory, 32).IsOK());
    // The buffer's memory changed without the raw data.
    buffer.Detach();
    ASSERT_TRUE(buffer.Attach(memory, 8).IsOK());
    EXPECT_EQ(raw->GetPayloadLength(), 8u);
    buffer.Detach();
    ASSERT_TRUE(buffer.Alloc(4).IsOK());
    EXPECT_EQ(raw->GetPayloadLength(), 4u);
    ASSERT_TRUE(raw->Alloc(6).IsOK());
    EXPECT_EQ(raw->GetPayloadLength(), 6u);
}

TEST_F(TqRawDataTest, WithoutBufferHasNoMemory) {
    uint8_t memory[8] = {};
    TqRawData raw(nullptr);
    EXPECT_EQ(raw.Alloc(8).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(raw.Attach(memory, 8).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(raw.GetPayloadLength(), 0u);
    EXPECT_EQ(raw.Detach(), nullptr);
    raw.Free();
}
