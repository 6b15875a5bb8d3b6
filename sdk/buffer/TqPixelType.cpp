#include "TqPixelType.h"

#include "TqPixelLayout.h"

uint32_t TqGetPixelBitCount(TqPixelType aType) {
    return TqPixel::BitsPerPixel(static_cast<uint32_t>(aType));
}
