// The SDK's filter interface: an operation from one buffer into another, run by worker threads of
// the filter's own.
//
// Thread priorities are on the SDK's scale: on Linux 0 to 99 (0 the normal time-sharing policy,
// 1 to 99 SCHED_FIFO at that priority).
#pragma once

#include "TqResult.h"

#include <cstdint>

class TqBuffer;

class ITqFilter {
public:
    virtual ~ITqFilter() {}
    virtual TqResult Execute(const TqBuffer* aIn, TqBuffer* aOut) = 0;
    virtual TqResult SetThreadCount(uint32_t aCount) = 0;
    virtual uint32_t GetThreadCount() const = 0;
    virtual TqResult GetThreadsPriority(uint32_t& aPriority) const = 0;
    virtual TqResult SetThreadsPriority(uint32_t aPriority) = 0;
};
