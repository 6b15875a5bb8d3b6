#include "TqPixelType.h"

uint32_t TqGetPixelBitCount(TqPixelType aType) {
    return (static_cast<uint32_t>(aType) & TQBITSPERPIXELMASK) >> 16;
}
