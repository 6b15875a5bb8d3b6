// What the stream tests share: buffers for a stream to fill, a retrieve with both of its results, and
// the buffers a closed stream gives back.
#pragma once

#include "TqBuffer.h"
#include "TqStream.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace StreamTesting {

// aCount buffers of aSize bytes; they must outlive the stream, which may still hold them.
inline std::vector<std::unique_ptr<TqBuffer>> Buffers(size_t aCount, uint32_t aSize) {
    std::vector<std::unique_ptr<TqBuffer>> out;
    for (size_t i = 0; i < aCount; ++i) {
        out.push_back(std::make_unique<TqBuffer>());
        EXPECT_TRUE(out.back()->Alloc(aSize).IsOK());
    }
    return out;
}

struct Retrieved {
    TqResult call;
    TqBuffer* buffer = nullptr;
    TqResult operation;
};

inline Retrieved Retrieve(TqStream& aStream, uint32_t aTimeout = 5000) {
    Retrieved r;
    r.call = aStream.RetrieveBuffer(&r.buffer, &r.operation, aTimeout);
    return r;
}

// Takes back, without waiting, every buffer a closed stream still holds.
inline void TakeBack(TqStream& aStream) {
    for (TqBuffer* back = nullptr; aStream.RetrieveBuffer(&back, nullptr, 0).IsOK();) {
    }
}

}  // namespace StreamTesting
