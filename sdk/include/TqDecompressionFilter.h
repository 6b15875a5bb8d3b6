// Decompresses a buffer made by TqCompressionFilter back into an image buffer of the original pixel
// type and geometry (no padding), block ID, timestamp and offsets.
//
// The compressed data is treated as untrusted: a frame that is truncated, corrupt, inconsistent or
// fails its checksums gives TQ_IMAGE_ERROR; a frame of another version, encoding or predictor gives
// TQ_NOT_SUPPORTED; a null buffer, the same buffer twice, a buffer whose payload type is not the
// compressed one, or attached destination memory too small for the image gives TQ_INVALID_PARAMETER.
// The destination's memory is reused when it is large enough, else allocated. After a failure the
// destination's pixels are unspecified.
//
// Threads: 1 to 64 workers (default half the logical processors, at least 1), made on first use or
// by SetThreadCount; the stripes of one frame are decompressed by them in parallel while Execute
// waits. Priority: reads 3 until set, with the threads under the system's normal policy; on Linux 0
// sets the normal time-sharing policy, 1 to 99 SCHED_FIFO at that priority (TQ_NOT_SUPPORTED when the
// process may not, and nothing changes), above 99 TQ_INVALID_PARAMETER.
#pragma once

#include "ITqFilter.h"
#include "TqBufferExport.h"
#include "TqLiveObjects.h"
#include "TqPixelType.h"

class TQ_BUFFER_API TqDecompressionFilter : public ITqFilter {
public:
    TqDecompressionFilter();
    virtual ~TqDecompressionFilter();
    TqDecompressionFilter(const TqDecompressionFilter&) = delete;
    TqDecompressionFilter& operator=(const TqDecompressionFilter&) = delete;

    // ITqFilter
    TqResult Execute(const TqBuffer* aIn, TqBuffer* aOut) override;
    TqResult SetThreadCount(uint32_t aCount) override;
    uint32_t GetThreadCount() const override;
    TqResult GetThreadsPriority(uint32_t& aPriority) const override;
    TqResult SetThreadsPriority(uint32_t aPriority) override;

    // Whether the buffer's payload is the compressed payload and starts like a compressed frame.
    static bool IsCompressed(const TqBuffer* aIn);
    // The pixel type, width and height from the frame's header (checked, not decompressed); on
    // failure the three are set to 0.
    static TqResult GetOutputFormatFor(const TqBuffer* aIn, TqPixelType& aPixelType, uint32_t& aWidth,
                                       uint32_t& aHeight);

private:
    struct Impl;
    Impl* mImpl;
    TqLiveObjects::Counter mCounter{"TqDecompressionFilter"};
};
