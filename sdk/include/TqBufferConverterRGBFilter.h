// A colour correction of the form x' = k x + y for each of the channels red, green and blue (k the
// channel's gain, y its offset), applied by a TqBufferConverter while it converts.
//
// - A new filter, and one after Reset, has every gain 1 and every offset 0: it changes nothing.
// - The levels x are those of the destination's depth (0..255 for 8-bit channels, 0..65535 for
//   16-bit ones); k x + y is rounded to the nearest level and clamped to that range.
// - WhiteBalance(aBuffer) averages each channel over the buffer's image (Ravg, Gavg, Bavg), takes
//   Max = max(Ravg, Gavg, Bavg) and sets the gains to Max / Ravg, Max / Gavg and Max / Bavg; the
//   offsets are kept. It reads RGB8, BGR8, RGBa8, BGRa8 images and Bayer images of 8 bits and of
//   16-bit containers (10, 12, 14 and 16 bits; each colour site counts for its channel, both green
//   sites for green). TQ_INVALID_PARAMETER, with the gains unchanged, for a null buffer, a buffer
//   without an image or without memory, another pixel type, or a channel whose average is 0.
// - The filter is not synchronised: change it from one thread at a time. A converter copies the
//   settings when it is given the filter (TqBufferConverter::SetRGBFilter).
#pragma once

#include "TqBufferExport.h"
#include "TqLiveObjects.h"
#include "TqResult.h"

#include <cstdint>

class TqBuffer;

class TQ_BUFFER_API TqBufferConverterRGBFilter {
public:
    TqBufferConverterRGBFilter();
    virtual ~TqBufferConverterRGBFilter();

    double GetGainR() const { return mGainR; }
    double GetGainG() const { return mGainG; }
    double GetGainB() const { return mGainB; }
    void SetGainR(double aValue) { mGainR = aValue; }
    void SetGainG(double aValue) { mGainG = aValue; }
    void SetGainB(double aValue) { mGainB = aValue; }

    int32_t GetOffsetR() const { return mOffsetR; }
    int32_t GetOffsetG() const { return mOffsetG; }
    int32_t GetOffsetB() const { return mOffsetB; }
    void SetOffsetR(int32_t aValue) { mOffsetR = aValue; }
    void SetOffsetG(int32_t aValue) { mOffsetG = aValue; }
    void SetOffsetB(int32_t aValue) { mOffsetB = aValue; }

    TqResult WhiteBalance(TqBuffer* aBuffer);
    void Reset();

    // Whether the filter leaves every level as it is (gains 1, offsets 0).
    bool IsIdentity() const;

private:
    double mGainR = 1.0;
    double mGainG = 1.0;
    double mGainB = 1.0;
    int32_t mOffsetR = 0;
    int32_t mOffsetG = 0;
    int32_t mOffsetB = 0;
    TqLiveObjects::Counter mCounter{"TqBufferConverterRGBFilter"};
};
