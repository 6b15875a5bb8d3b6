// The layout of a pixel-format value, read in one place for every stand-in library: the fields of
// a value (TqPixelType.h), the bytes of a line, and the translation between the values on the wire
// (GigE Vision and USB3 Vision leaders, a device's PixelFormat feature: the PFNC values) and the
// SDK's TqPixelType values.
//
// The two agree everywhere but in one run of colour formats: the SDK numbers RGB10p ... RGBa16 one
// below the wire (RGB10p sits at 0x52 beside BayerBG10p, RGB12p takes the wire's 0x5C, and so on up
// to RGBa16 at 0x63, which is the wire's RGBa14). A value read from the wire goes through FromWire
// before it becomes a TqPixelType, and a TqPixelType goes through ToWire before it is sent; the bits
// per pixel and the colour flag are the same on both sides.
#pragma once

#include "TqPixelType.h"

#include <cstdint>

namespace TqPixel {

constexpr uint32_t BitsPerPixel(uint32_t aValue) { return (aValue & TQBITSPERPIXELMASK) >> 16; }
constexpr uint32_t Id(uint32_t aValue) { return aValue & TQPIXELIDMASK; }
constexpr bool IsMono(uint32_t aValue) { return (aValue & TQPIXELMONO) != 0; }
constexpr bool IsColour(uint32_t aValue) { return (aValue & TQPIXELCOLOR) != 0; }
constexpr bool IsCustom(uint32_t aValue) { return (aValue & TQPIXELCUSTOM) != 0; }

// Bytes of a line of aWidth pixels, its last byte partly filled when the bits do not end on a byte.
constexpr uint64_t LineBytes(uint32_t aWidth, uint32_t aBitsPerPixel) {
    return (uint64_t{aWidth} * aBitsPerPixel + 7) / 8;
}

// The formats whose wire value is not their SDK value.
struct Renumbered {
    uint32_t wire;
    TqPixelType sdk;
};
inline constexpr Renumbered kRenumbered[] = {
    {0x021E005C, TqPixelRGB10p},  {0x0224005D, TqPixelRGB12p},  {0x0230005E, TqPixelRGB14},
    {0x0240005F, TqPixelRGBa10},  {0x02280060, TqPixelRGBa10p}, {0x02400061, TqPixelRGBa12},
    {0x02300062, TqPixelRGBa12p}, {0x02400063, TqPixelRGBa14},  {0x02400064, TqPixelRGBa16},
};

// Renumbering keeps every other field: the colour flag and the bits per pixel.
constexpr bool RenumberedKeepLayout() {
    for (const Renumbered& r : kRenumbered)
        if ((r.wire & ~TQPIXELIDMASK) != (static_cast<uint32_t>(r.sdk) & ~TQPIXELIDMASK)) return false;
    return true;
}
static_assert(RenumberedKeepLayout());

constexpr TqPixelType FromWire(uint32_t aWire) {
    for (const Renumbered& r : kRenumbered)
        if (r.wire == aWire) return r.sdk;
    return static_cast<TqPixelType>(aWire);
}

constexpr uint32_t ToWire(TqPixelType aType) {
    for (const Renumbered& r : kRenumbered)
        if (r.sdk == aType) return r.wire;
    return static_cast<uint32_t>(aType);
}

}  // namespace TqPixel
