// Converts an image from one pixel format to another. The source is the image of a TqBuffer or any
// ITqImage; the destination is a TqBuffer whose image already carries the wanted pixel type.
//
// Supported conversions (IsConversionSupported answers for exactly these):
// - Mono8, Mono10, Mono12, Mono14, Mono16 (one level in a little-endian 16-bit container), Mono10p,
//   Mono12p, Mono14p (bit-packed, least significant bit first), Mono10Packed and Mono12Packed (two
//   pixels in three bytes) to Mono8, Mono16, RGB8, BGR8, RGBa8 and BGRa8. A level of d bits becomes
//   an 8-bit level by dropping its d - 8 low bits and a 16-bit level by shifting it up 16 - d bits.
// - BayerRG8, BayerGR8, BayerGB8, BayerBG8 to RGB8, BGR8, RGBa8 and BGRa8.
// - BayerXX10, BayerXX12, BayerXX14, BayerXX16 (XX each of RG, GR, GB, BG; 16-bit containers) and
//   the packed BayerXX10p, BayerXX12p, BayerXX14p, BayerXX10Packed, BayerXX12Packed (packed as the
//   mono forms of the same names) to RGB8, BGR8, RGBa8, BGRa8, RGB16, BGR16, RGBa16 and BGRa16.
// - RGB8, BGR8, RGBa8, BGRa8 to each of these and to Mono8 (Y = (77 R + 150 G + 29 B + 128) / 256,
//   truncated). An alpha channel is copied from an alpha source, else set to the maximum level.
// - YUV422_8 (Y0 U Y1 V) and YUV422_8_UYVY (U Y0 V Y1) to RGB8, BGR8, RGBa8, BGRa8 and Mono8 (the
//   Y level), full-range BT.601: R = Y + 1.402 V', G = Y - 0.344136 U' - 0.714136 V',
//   B = Y + 1.772 U' with U' = U - 128 and V' = V - 128, rounded and clamped. The width must be
//   even.
//
// Demosaicing (Bayer sources, at least 2 x 2 pixels):
// - TqBayerFilterSimple: each pixel takes its colours from the 2 x 2 window made of itself, its
//   right neighbour and the two pixels below them (the window slides back one column on the last
//   column and one row on the last row). Such a window holds one red, one blue and two greens: red
//   and blue are copied, green is the rounded mean of the two greens.
// - TqBayerFilter3X3 (the default): bilinear. A pixel keeps its own colour; a missing colour is the
//   rounded mean of the neighbours of that colour among the 8 around it (2 or 4 of them).
// - Borders: the mosaic is mirrored about the first and last row and column (row -1 reads row 1,
//   row h reads row h - 2, and likewise for columns), which keeps the colour pattern, so the border
//   pixels use the same rules as the others.
// - Means are computed at the source's depth and rounded half up, then brought to the destination's
//   depth.
// - The BiColor filter is stored only: no BiColor conversion exists yet.
//
// RGB filter: the gains and offsets of the filter given to SetRGBFilter (copied at that call) are
// applied to every colour destination and, for an RGB, BGR, RGBa or BGRa source, to its channels
// before the Mono8 luma; mono to mono and YUV to Mono8 conversions ignore it (see
// TqBufferConverterRGBFilter.h).
//
// Speed: both filters from 8-bit Bayer to 8-bit colour without an RGB filter, and RGB8 <-> BGR8,
// run 16 pixels a step with SSSE3 when the processor has it (chosen at run time); the other loops
// are plain and left to the compiler.
//
// Convert:
// - The destination gets the source's width and height, its own pixel type and paddings, the
//   source's offsets and block identity. Its memory is kept when it is large enough; else it is
//   reallocated when aReallocIfNeeded is true and the buffer owns its memory (or has none), and the
//   conversion fails (TQ_GENERIC_ERROR) when the memory is attached from outside or reallocation is
//   not allowed.
// - aFlipY writes the source's row y to the destination's row height - 1 - y.
// - TQ_INVALID_PARAMETER: a null source or destination, a source or destination without an image, a
//   source without memory or smaller than its geometry, an empty image, a Bayer source smaller than
//   2 x 2, a YUV 4:2:2 source of odd width, source memory inside the destination's memory.
//   TQ_GENERIC_ERROR: a pair of pixel types that is not supported, a destination that cannot get the
//   memory it needs.
//
// Threads: a converter owns up to aMaxNumberOfThreads - 1 worker threads (0 or less: one thread per
// processor), started on the first conversion large enough to share; the calling thread works too.
// The rows of a conversion are split into bands shared among them. Conversions on one converter are
// serialised. The conversion threads' priority (0 to 99, the SCHED_FIFO range) is stored only: the
// threads keep the scheduling they were started with.
#pragma once

#include "ITqImage.h"
#include "TqBufferExport.h"
#include "TqEnums.h"
#include "TqLiveObjects.h"
#include "TqPixelType.h"
#include "TqResult.h"

#include <cstdint>

class TqBuffer;
class TqBufferConverterRGBFilter;

class TQ_BUFFER_API TqBufferConverter {
public:
    TqBufferConverter(int32_t aMaxNumberOfThreads = -1);
    virtual ~TqBufferConverter();
    TqBufferConverter(const TqBufferConverter&) = delete;
    TqBufferConverter& operator=(const TqBufferConverter&) = delete;

    static bool IsConversionSupported(TqPixelType aSource, TqPixelType aDestination);

    TqResult Convert(TqBuffer const* aSource, TqBuffer* aDestination, bool aReallocIfNeeded = true,
                     bool aFlipY = false);
    TqResult Convert(ITqImage const* aSource, TqBuffer* aDestination, bool aReallocIfNeeded = true,
                     bool aFlipY = false);

    TqBayerFilterType GetBayerFilter() const;
    TqResult SetBayerFilter(TqBayerFilterType aFilter);
    TqBiColorFilterType GetBiColorFilter() const;
    TqResult SetBiColorFilter(TqBiColorFilterType aFilter);

    TqResult ResetRGBFilter();
    TqResult SetRGBFilter(TqBufferConverterRGBFilter& aFilter);

    uint32_t GetConversionThreadsPriority() const;
    TqResult SetConversionThreadsPriority(uint32_t aPriority);

    // The number of threads that share a conversion (the calling thread included).
    uint32_t GetMaxNumberOfThreads() const;

private:
    struct Impl;
    Impl* mImpl;
    TqLiveObjects::Counter mCounter{"TqBufferConverter"};
};
