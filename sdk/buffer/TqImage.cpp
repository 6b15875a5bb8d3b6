#include "TqImage.h"

#include "TqBuffer.h"
#include "TqPixelLayout.h"

#include <algorithm>
#include <cstdio>

// Geometry and memory:
// - A line is ceil(width x bits per pixel / 8) bytes of pixels plus padding X; the image size is
//   height lines plus padding Y; the memory an image needs is that plus the maximum chunk length.
//   Everything is computed in 64 bits: a size that does not fit the buffer's 32-bit size (or a pixel
//   type without a pixel size) describes no image, and RequiredMemory, GetImageSize and
//   GetEffectiveImageSize give 0 for it.
// - The memory is the buffer's. Alloc and Attach check their arguments first (TQ_INVALID_PARAMETER),
//   then the buffer's state (TQ_STATE_ERROR: Alloc on attached memory, Attach on allocated memory);
//   the geometry changes only once the buffer has the memory, and the buffer's payload length is
//   then the image size, so that chunks go after the image. Free and Detach keep the geometry.
// - An image without a buffer has no memory: Alloc and Attach give TQ_NOT_FOUND.
//
// Bits per component (one table row per pixel type, the second column):
// - the bits per pixel over the components of a pixel: 1 for mono, Bayer, SCF1, a single R, G or B
//   plane, a single Coord3D plane and confidence; 3 for RGB, BGR, YUV and YCbCr 4:4:4 and Coord3D
//   ABC; 4 for RGBa and BGRa; 2 for 4:2:2, bi-colour and Coord3D AC; 1.5 for 4:1:1. An unpacked
//   type thus gives the width of the container a component is stored in (Mono10: 16, RGB12: 16);
// - a packed type (name ending in p, p32 or Packed) gives its nominal depth where that division
//   does not: Mono10Packed and BayerXX10Packed 10 (two pixels in three bytes), RGB10V1Packed and
//   RGB10p32 10, RGB565p and BGR565p 5 (red and blue; green has 6).
// - a value that names no type (custom values among them): its bits per pixel over 3 components
//   when the colour flag is set, over 1 otherwise.

namespace {

constexpr uint64_t kMaxSize = 0xFFFFFFFFull;

struct PixelInfo {
    TqPixelType type;
    const char* name;                 // without the TqPixel prefix
    uint32_t bitsPerComponent;
};

#define P(aName, aBits) {TqPixel##aName, #aName, aBits}

// Every member of TqPixelType, in the header's order (a test checks that the header has no other).
constexpr PixelInfo kPixels[] = {
    P(Undefined, 0),
    P(Mono8, 8),
    P(Mono8s, 8),
    P(Mono10, 16),
    P(Mono10Packed, 10),
    P(Mono12, 16),
    P(Mono12Packed, 12),
    P(Mono16, 16),
    P(BayerGR8, 8),
    P(BayerRG8, 8),
    P(BayerGB8, 8),
    P(BayerBG8, 8),
    P(BayerGR10, 16),
    P(BayerRG10, 16),
    P(BayerGB10, 16),
    P(BayerBG10, 16),
    P(BayerGR12, 16),
    P(BayerRG12, 16),
    P(BayerGB12, 16),
    P(BayerBG12, 16),
    P(RGB8, 8),
    P(BGR8, 8),
    P(RGBa8, 8),
    P(BGRa8, 8),
    P(RGB10, 16),
    P(BGR10, 16),
    P(RGB12, 16),
    P(BGR12, 16),
    P(RGB10V1Packed, 10),
    P(RGB10p32, 10),
    P(YUV411_8_UYYVYY, 8),
    P(YUV422_8_UYVY, 8),
    P(YUV8_UYV, 8),
    P(RGB8_Planar, 8),
    P(RGB10_Planar, 16),
    P(RGB12_Planar, 16),
    P(RGB16_Planar, 16),
    P(Mono14, 16),
    P(BayerGR10Packed, 10),
    P(BayerRG10Packed, 10),
    P(BayerGB10Packed, 10),
    P(BayerBG10Packed, 10),
    P(BayerGR12Packed, 12),
    P(BayerRG12Packed, 12),
    P(BayerGB12Packed, 12),
    P(BayerBG12Packed, 12),
    P(BayerGR16, 16),
    P(BayerRG16, 16),
    P(BayerGB16, 16),
    P(BayerBG16, 16),
    P(YUV422_8, 8),
    P(RGB16, 16),
    P(RGB12V1Packed, 12),
    P(RGB565p, 5),
    P(BGR565p, 5),
    P(Mono1p, 1),
    P(Mono2p, 2),
    P(Mono4p, 4),
    P(YCbCr8_CbYCr, 8),
    P(YCbCr422_8, 8),
    P(YCbCr411_8_CbYYCrYY, 8),
    P(YCbCr601_8_CbYCr, 8),
    P(YCbCr601_422_8, 8),
    P(YCbCr601_411_8_CbYYCrYY, 8),
    P(YCbCr709_8_CbYCr, 8),
    P(YCbCr709_422_8, 8),
    P(YCbCr709_411_8_CbYYCrYY, 8),
    P(YCbCr422_8_CbYCrY, 8),
    P(YCbCr601_422_8_CbYCrY, 8),
    P(YCbCr709_422_8_CbYCrY, 8),
    P(Mono10p, 10),
    P(Mono12p, 12),
    P(BGR10p, 10),
    P(BGR12p, 12),
    P(BGR14, 16),
    P(BGR16, 16),
    P(BGRa10, 16),
    P(BGRa10p, 10),
    P(BGRa12, 16),
    P(BGRa12p, 12),
    P(BGRa14, 16),
    P(BGRa16, 16),
    P(RGB10p, 10),
    P(BayerBG10p, 10),
    P(BayerBG12p, 12),
    P(BayerGB10p, 10),
    P(BayerGB12p, 12),
    P(BayerGR10p, 10),
    P(BayerGR12p, 12),
    P(BayerRG10p, 10),
    P(BayerRG12p, 12),
    P(YCbCr411_8, 8),
    P(YCbCr8, 8),
    P(RGB12p, 12),
    P(RGB14, 16),
    P(RGBa10, 16),
    P(RGBa10p, 10),
    P(RGBa12, 16),
    P(RGBa12p, 12),
    P(RGBa14, 16),
    P(RGBa16, 16),
    P(YCbCr422_10, 16),
    P(YCbCr422_12, 16),
    P(SCF1WBWG8, 8),
    P(SCF1WBWG10, 16),
    P(SCF1WBWG10p, 10),
    P(SCF1WBWG12, 16),
    P(SCF1WBWG12p, 12),
    P(SCF1WBWG14, 16),
    P(SCF1WBWG16, 16),
    P(SCF1WGWB8, 8),
    P(SCF1WGWB10, 16),
    P(SCF1WGWB10p, 10),
    P(SCF1WGWB12, 16),
    P(SCF1WGWB12p, 12),
    P(SCF1WGWB14, 16),
    P(SCF1WGWB16, 16),
    P(SCF1WGWR8, 8),
    P(SCF1WGWR10, 16),
    P(SCF1WGWR10p, 10),
    P(SCF1WGWR12, 16),
    P(SCF1WGWR12p, 12),
    P(SCF1WGWR14, 16),
    P(SCF1WGWR16, 16),
    P(SCF1WRWG8, 8),
    P(SCF1WRWG10, 16),
    P(SCF1WRWG10p, 10),
    P(SCF1WRWG12, 16),
    P(SCF1WRWG12p, 12),
    P(SCF1WRWG14, 16),
    P(SCF1WRWG16, 16),
    P(YCbCr10_CbYCr, 16),
    P(YCbCr10p_CbYCr, 10),
    P(YCbCr12_CbYCr, 16),
    P(YCbCr12p_CbYCr, 12),
    P(YCbCr422_10p, 10),
    P(YCbCr422_12p, 12),
    P(YCbCr601_10_CbYCr, 16),
    P(YCbCr601_10p_CbYCr, 10),
    P(YCbCr601_12_CbYCr, 16),
    P(YCbCr601_12p_CbYCr, 12),
    P(YCbCr601_422_10, 16),
    P(YCbCr601_422_10p, 10),
    P(YCbCr601_422_12, 16),
    P(YCbCr601_422_12p, 12),
    P(YCbCr709_10_CbYCr, 16),
    P(YCbCr709_10p_CbYCr, 10),
    P(YCbCr709_12_CbYCr, 16),
    P(YCbCr709_12p_CbYCr, 12),
    P(YCbCr709_422_10, 16),
    P(YCbCr709_422_10p, 10),
    P(YCbCr709_422_12, 16),
    P(YCbCr709_422_12p, 12),
    P(YCbCr422_10_CbYCrY, 16),
    P(YCbCr422_10p_CbYCrY, 10),
    P(YCbCr422_12_CbYCrY, 16),
    P(YCbCr422_12p_CbYCrY, 12),
    P(YCbCr601_422_10_CbYCrY, 16),
    P(YCbCr601_422_10p_CbYCrY, 10),
    P(YCbCr601_422_12_CbYCrY, 16),
    P(YCbCr601_422_12p_CbYCrY, 12),
    P(YCbCr709_422_10_CbYCrY, 16),
    P(YCbCr709_422_10p_CbYCrY, 10),
    P(YCbCr709_422_12_CbYCrY, 16),
    P(YCbCr709_422_12p_CbYCrY, 12),
    P(BiColorRGBG8, 8),
    P(BiColorBGRG8, 8),
    P(BiColorRGBG10, 16),
    P(BiColorRGBG10p, 10),
    P(BiColorBGRG10, 16),
    P(BiColorBGRG10p, 10),
    P(BiColorRGBG12, 16),
    P(BiColorRGBG12p, 12),
    P(BiColorBGRG12, 16),
    P(BiColorBGRG12p, 12),
    P(Coord3D_A8, 8),
    P(Coord3D_B8, 8),
    P(Coord3D_C8, 8),
    P(Coord3D_ABC8, 8),
    P(Coord3D_ABC8_Planar, 8),
    P(Coord3D_AC8, 8),
    P(Coord3D_AC8_Planar, 8),
    P(Coord3D_A16, 16),
    P(Coord3D_B16, 16),
    P(Coord3D_C16, 16),
    P(Coord3D_ABC16, 16),
    P(Coord3D_ABC16_Planar, 16),
    P(Coord3D_AC16, 16),
    P(Coord3D_AC16_Planar, 16),
    P(Coord3D_A32f, 32),
    P(Coord3D_B32f, 32),
    P(Coord3D_C32f, 32),
    P(Coord3D_ABC32f, 32),
    P(Coord3D_ABC32f_Planar, 32),
    P(Coord3D_AC32f, 32),
    P(Coord3D_AC32f_Planar, 32),
    P(Confidence1, 8),
    P(Confidence1p, 1),
    P(Confidence8, 8),
    P(Confidence16, 16),
    P(Confidence32f, 32),
    P(R8, 8),
    P(R10, 10),
    P(R12, 12),
    P(R16, 16),
    P(G8, 8),
    P(G10, 10),
    P(G12, 12),
    P(G16, 16),
    P(B8, 8),
    P(B10, 10),
    P(B12, 12),
    P(B16, 16),
    P(Coord3D_A10p, 10),
    P(Coord3D_B10p, 10),
    P(Coord3D_C10p, 10),
    P(Coord3D_A12p, 12),
    P(Coord3D_B12p, 12),
    P(Coord3D_C12p, 12),
    P(Coord3D_ABC10p, 10),
    P(Coord3D_ABC10p_Planar, 10),
    P(Coord3D_ABC12p, 12),
    P(Coord3D_ABC12p_Planar, 12),
    P(Coord3D_AC10p, 10),
    P(Coord3D_AC10p_Planar, 10),
    P(Coord3D_AC12p, 12),
    P(Coord3D_AC12p_Planar, 12),
    P(Mono14p, 14),
    P(BayerGR14p, 14),
    P(BayerRG14p, 14),
    P(BayerGB14p, 14),
    P(BayerBG14p, 14),
    P(BayerGR14, 16),
    P(BayerRG14, 16),
    P(BayerGB14, 16),
    P(BayerBG14, 16),
    P(BayerGR4p, 4),
    P(BayerRG4p, 4),
    P(BayerGB4p, 4),
    P(BayerBG4p, 4),
    P(Mono32, 32),
};

#undef P

const PixelInfo* FindPixel(TqPixelType aType) {
    for (const PixelInfo& p : kPixels)
        if (p.type == aType) return &p;
    return nullptr;
}

// The image size of a geometry, or kTooBig once it passes the largest 32-bit size.
constexpr uint64_t kTooBig = kMaxSize + 1;
uint64_t ImageBytes(uint32_t aSizeX, uint32_t aSizeY, uint32_t aBitsPerPixel, uint16_t aPaddingX, uint16_t aPaddingY) {
    uint64_t line = TqPixel::LineBytes(aSizeX, aBitsPerPixel) + aPaddingX;   // < 2^38
    if (aSizeY != 0 && line > kMaxSize / aSizeY) return kTooBig;
    return std::min(line * aSizeY + aPaddingY, kTooBig);             // the sum < 2^33
}

}  // namespace

TqImage::TqImage(TqBuffer* aBuffer) : mBuffer(aBuffer) {}

TqImage::~TqImage() = default;

// ---- pixel types ----

uint32_t TqImage::GetPixelSize(TqPixelType aPixelType) {
    return TqPixel::BitsPerPixel(static_cast<uint32_t>(aPixelType));
}

bool TqImage::IsPixelColor(TqPixelType aPixelType) {
    return TqPixel::IsColour(static_cast<uint32_t>(aPixelType));
}

uint32_t TqImage::GetBitsPerComponent(TqPixelType aPixelType) {
    if (const PixelInfo* p = FindPixel(aPixelType)) return p->bitsPerComponent;
    uint32_t bpp = GetPixelSize(aPixelType);
    return IsPixelColor(aPixelType) ? bpp / 3 : bpp;
}

bool TqImage::IsPixelHighRes(TqPixelType aPixelType) { return GetBitsPerComponent(aPixelType) > 8; }

TqString TqImage::PixelTypeToString(TqPixelType aPixelType) {
    if (const PixelInfo* p = FindPixel(aPixelType)) return TqString(p->name);
    char text[32];
    std::snprintf(text, sizeof text, "Unknown (0x%08X)", static_cast<uint32_t>(aPixelType));
    return TqString(text);
}

uint64_t TqImage::RequiredMemory(uint32_t aSizeX, uint32_t aSizeY, TqPixelType aPixelType, uint16_t aPaddingX,
                                 uint16_t aPaddingY, uint32_t aMaximumChunkLength) {
    uint32_t bpp = GetPixelSize(aPixelType);
    if (bpp == 0) return 0;
    uint64_t total = ImageBytes(aSizeX, aSizeY, bpp, aPaddingX, aPaddingY) + aMaximumChunkLength;   // < 2^34
    return total > kMaxSize ? 0 : total;
}

// ---- geometry ----

uint32_t TqImage::GetBitsPerPixel() const { return GetPixelSize(mPixelType); }

uint32_t TqImage::GetImageSize() const {
    uint32_t bpp = GetBitsPerPixel();
    if (bpp == 0) return 0;   // no geometry
    uint64_t size = ImageBytes(mWidth, mHeight, bpp, mPaddingX, mPaddingY);
    return size > kMaxSize ? 0 : static_cast<uint32_t>(size);
}

uint32_t TqImage::GetRequiredSize() const { return GetImageSize(); }

uint32_t TqImage::GetEffectiveImageSize() const {
    uint64_t line = TqPixel::LineBytes(mWidth, GetBitsPerPixel());
    if (mHeight != 0 && line > kMaxSize / mHeight) return 0;
    return static_cast<uint32_t>(line * mHeight);
}

uint32_t TqImage::GetMaximumChunkLength() const {
    if (mBuffer == nullptr) return 0;
    uint32_t size = mBuffer->GetSize();
    uint32_t image = GetImageSize();
    return size > image ? size - image : 0;
}

void TqImage::SetGeometry(uint32_t aSizeX, uint32_t aSizeY, TqPixelType aPixelType, uint16_t aPaddingX,
                          uint16_t aPaddingY) {
    mWidth = aSizeX;
    mHeight = aSizeY;
    mPixelType = aPixelType;
    mPaddingX = aPaddingX;
    mPaddingY = aPaddingY;
}

// ---- memory ----

uint8_t* TqImage::GetDataPointer() { return mBuffer != nullptr ? mBuffer->GetDataPointer() : nullptr; }

const uint8_t* TqImage::GetDataPointer() const {
    return mBuffer != nullptr ? static_cast<const TqBuffer*>(mBuffer)->GetDataPointer() : nullptr;
}

bool TqImage::IsAllocated() const { return mBuffer != nullptr && mBuffer->IsAllocated(); }

bool TqImage::IsAttached() const { return mBuffer != nullptr && mBuffer->IsAttached(); }

TqResult TqImage::Alloc(uint32_t aSizeX, uint32_t aSizeY, TqPixelType aPixelType, uint16_t aPaddingX,
                        uint16_t aPaddingY, uint32_t aMaximumChunkLength) {
    if (mBuffer == nullptr) return TqResult(TQ_NOT_FOUND);
    uint64_t required = RequiredMemory(aSizeX, aSizeY, aPixelType, aPaddingX, aPaddingY, aMaximumChunkLength);
    if (required == 0) return TqResult(TQ_INVALID_PARAMETER);
    if (mBuffer->IsAttached()) return TqResult(TQ_STATE_ERROR);
    TqResult result = mBuffer->Alloc(static_cast<uint32_t>(required));
    if (!result.IsOK()) return result;
    SetGeometry(aSizeX, aSizeY, aPixelType, aPaddingX, aPaddingY);
    mMaximumChunkLength = aMaximumChunkLength;
    return mBuffer->SetPayloadLength(GetImageSize());
}

void TqImage::Free() {
    if (mBuffer != nullptr) mBuffer->Free();
}

TqResult TqImage::Attach(void* aRawBuffer, uint32_t aSizeX, uint32_t aSizeY, TqPixelType aPixelType,
                         uint16_t aPaddingX, uint16_t aPaddingY, uint32_t aMaximumChunkLength) {
    if (mBuffer == nullptr) return TqResult(TQ_NOT_FOUND);
    if (aRawBuffer == nullptr) return TqResult(TQ_INVALID_PARAMETER);
    uint64_t required = RequiredMemory(aSizeX, aSizeY, aPixelType, aPaddingX, aPaddingY, aMaximumChunkLength);
    if (required == 0) return TqResult(TQ_INVALID_PARAMETER);
    if (mBuffer->IsAllocated()) return TqResult(TQ_STATE_ERROR);
    TqResult result = mBuffer->Attach(aRawBuffer, static_cast<uint32_t>(required));
    if (!result.IsOK()) return result;
    SetGeometry(aSizeX, aSizeY, aPixelType, aPaddingX, aPaddingY);
    mMaximumChunkLength = aMaximumChunkLength;
    return mBuffer->SetPayloadLength(GetImageSize());
}

uint8_t* TqImage::Detach() { return mBuffer != nullptr ? mBuffer->Detach() : nullptr; }

// ---- block status ----

void TqImage::SetFullLineMissing(bool aValue, uint32_t aLine) {
    mFullLineMissing = aValue;
    mMissingLine = aValue ? aLine : 0;
}

void TqImage::ClearEOFStatus() {
    mEOFByLineCount = false;
    mFullLineMissing = false;
    mMissingLine = 0;
}

void TqImage::SetBlockInfo(uint64_t aBlockID, uint64_t aTimestamp, uint64_t aReceptionTime) {
    mBlockID = aBlockID;
    mTimestamp = aTimestamp;
    mReceptionTime = aReceptionTime;
}

void TqImage::SetStatus(bool aPartialLineMissing, bool aInterlacedEven, bool aInterlacedOdd, bool aImageDropped,
                        bool aDataOverrun) {
    mPartialLineMissing = aPartialLineMissing;
    mInterlacedEven = aInterlacedEven;
    mInterlacedOdd = aInterlacedOdd;
    mImageDropped = aImageDropped;
    mDataOverrun = aDataOverrun;
}
