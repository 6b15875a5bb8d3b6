// Compresses the image of one buffer into another buffer, whose payload becomes the SDK's compressed
// payload (TqPayloadTypeZelvraCompressed, read back by TqDecompressionFilter).
//
// Execute(aIn, aOut): aIn holds an image (payload type image, with memory); aOut is any other buffer.
// aOut's memory is reused when it is large enough, else allocated (attached memory that is too small
// is an error). The compressed frame keeps the pixels, geometry, pixel type, block ID, timestamp and
// offsets of the image; padding and chunks are not kept. Results: TQ_OK; TQ_INVALID_PARAMETER for a
// null or same buffer, a buffer without an image, an empty or too large image (over 1 GiB of
// pixels), or attached destination memory that is too small; TQ_NOT_ENOUGH_MEMORY when the
// destination's memory cannot be allocated.
//
// The filter works on one thread (the caller's): the thread count is 1 and neither it nor the thread
// priority can be set. Calls of Execute on one filter from several threads run one at a time.
#pragma once

#include "ITqFilter.h"
#include "TqBufferExport.h"
#include "TqEnums.h"
#include "TqLiveObjects.h"

class TQ_BUFFER_API TqCompressionFilter : public ITqFilter {
public:
    TqCompressionFilter();
    virtual ~TqCompressionFilter();
    TqCompressionFilter(const TqCompressionFilter&) = delete;
    TqCompressionFilter& operator=(const TqCompressionFilter&) = delete;

    // ITqFilter
    TqResult Execute(const TqBuffer* aIn, TqBuffer* aOut) override;
    TqResult SetThreadCount(uint32_t aCount) override;                 // TQ_NOT_SUPPORTED
    uint32_t GetThreadCount() const override;                          // 1
    TqResult GetThreadsPriority(uint32_t& aPriority) const override;   // TQ_NOT_SUPPORTED
    // TQ_INVALID_PARAMETER above 99, else TQ_NOT_SUPPORTED.
    TqResult SetThreadsPriority(uint32_t aPriority) override;

    // TqEncodingPTC1 (the default) is the only encoding; any other gives TQ_NOT_SUPPORTED.
    TqResult SetEncoding(TqEncodingEnum aValue);
    TqEncodingEnum GetEncoding() const;

private:
    struct Impl;
    Impl* mImpl;
    TqLiveObjects::Counter mCounter{"TqCompressionFilter"};
};
