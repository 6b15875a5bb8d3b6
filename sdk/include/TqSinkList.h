// The event sinks registered with an SDK object (internal to the stand-in SDK): each at most once,
// null refused; callers take a snapshot to call them without the list's lock.
#pragma once

#include "TqResult.h"
#include "TqResultCodes.h"

#include <algorithm>
#include <mutex>
#include <vector>

template <class Sink>
class TqSinkList {
public:
    TqResult Add(Sink* aSink) {
        if (!aSink) return TqResult(TQ_INVALID_PARAMETER);
        std::lock_guard<std::mutex> guard(mLock);
        if (std::find(mSinks.begin(), mSinks.end(), aSink) != mSinks.end())
            return TqResult(TQ_GENERIC_ERROR, TqString("event sink already registered"));
        mSinks.push_back(aSink);
        return TqResult(TQ_OK);
    }
    TqResult Remove(Sink* aSink) {
        if (!aSink) return TqResult(TQ_INVALID_PARAMETER);
        std::lock_guard<std::mutex> guard(mLock);
        auto it = std::find(mSinks.begin(), mSinks.end(), aSink);
        if (it == mSinks.end()) return TqResult(TQ_NOT_FOUND);
        mSinks.erase(it);
        return TqResult(TQ_OK);
    }
    std::vector<Sink*> Snapshot() const {
        std::lock_guard<std::mutex> guard(mLock);
        return mSinks;
    }

private:
    mutable std::mutex mLock;
    std::vector<Sink*> mSinks;
};
