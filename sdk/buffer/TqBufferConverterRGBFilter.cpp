#include "TqBufferConverterRGBFilter.h"

#include "TqBuffer.h"
#include "TqImage.h"

#include <algorithm>
#include <cstring>

namespace {

// Which channel (0 red, 1 green, 2 blue) the Bayer site at (x, y) holds, for a pattern whose
// top-left 2 x 2 cell reads aCell (row 0 left to right, then row 1).
int BayerChannel(const int aCell[4], uint32_t aX, uint32_t aY) { return aCell[(aY & 1) * 2 + (aX & 1)]; }

bool BayerCell(TqPixelType aType, int aCell[4], uint32_t& aDepth) {
    static const int kRG[4] = {0, 1, 1, 2}, kGR[4] = {1, 0, 2, 1}, kGB[4] = {1, 2, 0, 1}, kBG[4] = {2, 1, 1, 0};
    const int* cell = nullptr;
    switch (aType) {
    case TqPixelBayerRG8: case TqPixelBayerRG10: case TqPixelBayerRG12: case TqPixelBayerRG14: case TqPixelBayerRG16:
        cell = kRG; break;
    case TqPixelBayerGR8: case TqPixelBayerGR10: case TqPixelBayerGR12: case TqPixelBayerGR14: case TqPixelBayerGR16:
        cell = kGR; break;
    case TqPixelBayerGB8: case TqPixelBayerGB10: case TqPixelBayerGB12: case TqPixelBayerGB14: case TqPixelBayerGB16:
        cell = kGB; break;
    case TqPixelBayerBG8: case TqPixelBayerBG10: case TqPixelBayerBG12: case TqPixelBayerBG14: case TqPixelBayerBG16:
        cell = kBG; break;
    default:
        return false;
    }
    std::copy(cell, cell + 4, aCell);
    aDepth = TqImage::GetPixelSize(aType);   // 8 or 16 (the container)
    return true;
}

}  // namespace

TqBufferConverterRGBFilter::TqBufferConverterRGBFilter() = default;

TqBufferConverterRGBFilter::~TqBufferConverterRGBFilter() = default;

void TqBufferConverterRGBFilter::Reset() {
    mGainR = mGainG = mGainB = 1.0;
    mOffsetR = mOffsetG = mOffsetB = 0;
}

bool TqBufferConverterRGBFilter::IsIdentity() const {
    return mGainR == 1.0 && mGainG == 1.0 && mGainB == 1.0 && mOffsetR == 0 && mOffsetG == 0 && mOffsetB == 0;
}

TqResult TqBufferConverterRGBFilter::WhiteBalance(TqBuffer* aBuffer) {
    if (aBuffer == nullptr) return TqResult(TQ_INVALID_PARAMETER);
    const TqImage* image = static_cast<const TqBuffer*>(aBuffer)->GetImage();
    if (image == nullptr) return TqResult(TQ_INVALID_PARAMETER);
    const uint8_t* data = image->GetDataPointer();
    const uint32_t width = image->GetWidth(), height = image->GetHeight();
    const TqPixelType type = image->GetPixelType();
    const uint32_t bpp = image->GetBitsPerPixel();
    if (data == nullptr || width == 0 || height == 0 || bpp == 0) return TqResult(TQ_INVALID_PARAMETER);
    const uint64_t line = (uint64_t{width} * bpp + 7) / 8;
    const uint64_t stride = line + image->GetPaddingX();
    if (stride * (height - 1) + line > aBuffer->GetSize()) return TqResult(TQ_INVALID_PARAMETER);

    uint64_t sum[3] = {0, 0, 0};
    uint64_t count[3] = {0, 0, 0};
    int cell[4];
    uint32_t depth = 0;
    if (type == TqPixelRGB8 || type == TqPixelBGR8 || type == TqPixelRGBa8 || type == TqPixelBGRa8) {
        const uint32_t n = bpp / 8;
        const bool bgr = type == TqPixelBGR8 || type == TqPixelBGRa8;
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* row = data + stride * y;
            uint64_t s0 = 0, s1 = 0, s2 = 0;
            for (uint32_t x = 0; x < width; ++x) {
                s0 += row[x * n];
                s1 += row[x * n + 1];
                s2 += row[x * n + 2];
            }
            sum[bgr ? 2 : 0] += s0;
            sum[1] += s1;
            sum[bgr ? 0 : 2] += s2;
        }
        count[0] = count[1] = count[2] = uint64_t{width} * height;
    } else if (BayerCell(type, cell, depth)) {
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* row = data + stride * y;
            for (uint32_t x = 0; x < width; ++x) {
                uint32_t level = row[x];
                if (depth == 16) {
                    uint16_t v;
                    std::memcpy(&v, row + 2 * x, 2);
                    level = v;
                }
                int c = BayerChannel(cell, x, y);
                sum[c] += level;
                ++count[c];
            }
        }
    } else {
        return TqResult(TQ_INVALID_PARAMETER);
    }
    double avg[3];
    for (int c = 0; c < 3; ++c) {
        if (count[c] == 0 || sum[c] == 0) return TqResult(TQ_INVALID_PARAMETER);
        avg[c] = static_cast<double>(sum[c]) / static_cast<double>(count[c]);
    }
    const double max = std::max({avg[0], avg[1], avg[2]});
    SetGainB(max / avg[2]);
    SetGainG(max / avg[1]);
    SetGainR(max / avg[0]);
    return TqResult(TQ_OK);
}
