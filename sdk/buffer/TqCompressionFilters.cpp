#include "TqCompressionFilter.h"
#include "TqDecompressionFilter.h"

#include "TqBuffer.h"
#include "TqCompressionCodec.h"
#include "TqImage.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kMaxPriority = 99;
constexpr uint32_t kDefaultPriority = 3;
constexpr uint32_t kMaxThreads = 64;

// Whether two ranges of memory share a byte.
bool Overlap(const uint8_t* aA, uint64_t aSizeA, const uint8_t* aB, uint64_t aSizeB) {
    if (aA == nullptr || aB == nullptr || aSizeA == 0 || aSizeB == 0) return false;
    auto a = reinterpret_cast<uintptr_t>(aA), b = reinterpret_cast<uintptr_t>(aB);
    return a < b + aSizeB && b < a + aSizeA;
}

uint32_t DefaultThreadCount() {
    uint32_t n = std::thread::hardware_concurrency() / 2;
    return std::clamp<uint32_t>(n, 1, kMaxThreads);
}

// A group of worker threads that run one job together: Run hands the job to every worker (each with
// its own stripe decoder) and returns once all have finished it.
class WorkerGroup {
public:
    using Job = std::function<void(TqCodec::StripeDecoder&)>;

    // Null when not all threads could be made.
    static std::unique_ptr<WorkerGroup> Make(uint32_t aCount) {
        std::unique_ptr<WorkerGroup> group(new (std::nothrow) WorkerGroup);
        if (group == nullptr) return nullptr;
        try {
            group->mThreads.reserve(aCount);
            for (uint32_t i = 0; i < aCount; ++i) group->mThreads.emplace_back([g = group.get()] { g->Loop(); });
        } catch (const std::exception&) {
            return nullptr;   // the destructor stops and joins the threads made so far
        }
        return group;
    }

    ~WorkerGroup() {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mStop = true;
        }
        mWake.notify_all();
        for (std::thread& t : mThreads) t.join();
    }

    void Run(const Job& aJob) {
        std::unique_lock<std::mutex> lock(mMutex);
        mJob = &aJob;
        mPending = static_cast<uint32_t>(mThreads.size());
        ++mGeneration;
        mWake.notify_all();
        mDone.wait(lock, [this] { return mPending == 0; });
        mJob = nullptr;
    }

    // 0: the normal time-sharing policy; 1 to 99: SCHED_FIFO at that priority. All or nothing.
    bool ApplyPriority(uint32_t aPriority) {
        struct Saved {
            int policy;
            sched_param param;
        };
        std::vector<Saved> saved(mThreads.size());
        sched_param param{};
        param.sched_priority = static_cast<int>(aPriority);
        int policy = aPriority == 0 ? SCHED_OTHER : SCHED_FIFO;
        for (size_t i = 0; i < mThreads.size(); ++i) {
            pthread_t handle = mThreads[i].native_handle();
            bool ok = pthread_getschedparam(handle, &saved[i].policy, &saved[i].param) == 0 &&
                      pthread_setschedparam(handle, policy, &param) == 0;
            if (!ok) {
                for (size_t k = 0; k < i; ++k)
                    pthread_setschedparam(mThreads[k].native_handle(), saved[k].policy, &saved[k].param);
                return false;
            }
        }
        return true;
    }

private:
    WorkerGroup() = default;

    void Loop() {
        TqCodec::StripeDecoder decoder;
        uint64_t seen = 0;
        std::unique_lock<std::mutex> lock(mMutex);
        for (;;) {
            mWake.wait(lock, [&] { return mStop || mGeneration != seen; });
            if (mStop) return;
            seen = mGeneration;
            const Job* job = mJob;
            lock.unlock();
            (*job)(decoder);
            lock.lock();
            if (--mPending == 0) mDone.notify_one();
        }
    }

    std::vector<std::thread> mThreads;
    std::mutex mMutex;
    std::condition_variable mWake;
    std::condition_variable mDone;
    const Job* mJob = nullptr;
    uint64_t mGeneration = 0;
    uint32_t mPending = 0;
    bool mStop = false;
};

}  // namespace

// ==== TqCompressionFilter ====

struct TqCompressionFilter::Impl {
    std::mutex mutex;   // one Execute at a time: the encoder and its frame memory are reused
    TqCodec::Encoder encoder;
    std::atomic<TqEncodingEnum> encoding{TqEncodingPTC1};
};

TqCompressionFilter::TqCompressionFilter() : mImpl(new Impl) {}

TqCompressionFilter::~TqCompressionFilter() { delete mImpl; }

TqResult TqCompressionFilter::Execute(const TqBuffer* aIn, TqBuffer* aOut) {
    if (aIn == nullptr || aOut == nullptr || aIn == aOut) return TqResult(TQ_INVALID_PARAMETER);
    const TqImage* image = aIn->GetImage();
    if (image == nullptr || aIn->GetDataPointer() == nullptr) return TqResult(TQ_INVALID_PARAMETER);

    // The image's lines must lie inside the buffer's memory.
    TqCodec::Source source;
    source.pixelType = image->GetPixelType();
    source.width = image->GetWidth();
    source.height = image->GetHeight();
    uint64_t lineSize = (uint64_t{source.width} * TqImage::GetPixelSize(source.pixelType) + 7) / 8;
    source.pitch = lineSize + image->GetPaddingX();
    if (lineSize == 0 || source.height == 0) return TqResult(TQ_INVALID_PARAMETER);
    if (uint64_t{source.height - 1} * source.pitch + lineSize > aIn->GetSize()) return TqResult(TQ_INVALID_PARAMETER);
    source.data = aIn->GetDataPointer();
    source.blockID = aIn->GetBlockID();
    source.timestamp = aIn->GetTimestamp();
    source.offsetX = image->GetOffsetX();
    source.offsetY = image->GetOffsetY();

    std::lock_guard<std::mutex> lock(mImpl->mutex);
    uint32_t code = mImpl->encoder.Encode(source);
    if (code != TQ_OK) return TqResult(code);
    if (mImpl->encoder.GetFrameSize() > 0xFFFFFFFFull) return TqResult(TQ_INVALID_PARAMETER);
    uint32_t size = static_cast<uint32_t>(mImpl->encoder.GetFrameSize());

    // The destination: its memory when large enough, else new memory (not over attached memory).
    bool fits = aOut->GetDataPointer() != nullptr && aOut->GetSize() >= size;
    if (!fits && aOut->IsAttached()) return TqResult(TQ_INVALID_PARAMETER);
    if (fits && Overlap(aOut->GetDataPointer(), size, aIn->GetDataPointer(), aIn->GetSize()))
        return TqResult(TQ_INVALID_PARAMETER);   // the same memory attached to both
    uint64_t timestamp = aIn->GetTimestamp(), receptionTime = aIn->GetReceptionTime(), blockID = aIn->GetBlockID();
    uint64_t id = aIn->GetID();
    aOut->Reset(TqPayloadTypeZelvraCompressed);
    if (!fits) {
        TqResult result = aOut->Alloc(size);
        if (!result.IsOK()) return result;
    }
    std::memcpy(aOut->GetDataPointer(), mImpl->encoder.GetFrame(), size);
    aOut->SetPayloadLength(size);
    aOut->SetID(id);
    aOut->SetTimestamp(timestamp);
    aOut->SetReceptionTime(receptionTime);
    aOut->SetBlockID(blockID);
    return TqResult(TQ_OK);
}

TqResult TqCompressionFilter::SetThreadCount(uint32_t) { return TqResult(TQ_NOT_SUPPORTED); }

uint32_t TqCompressionFilter::GetThreadCount() const { return 1; }

TqResult TqCompressionFilter::GetThreadsPriority(uint32_t&) const { return TqResult(TQ_NOT_SUPPORTED); }

TqResult TqCompressionFilter::SetThreadsPriority(uint32_t aPriority) {
    return TqResult(aPriority > kMaxPriority ? TQ_INVALID_PARAMETER : TQ_NOT_SUPPORTED);
}

TqResult TqCompressionFilter::SetEncoding(TqEncodingEnum aValue) {
    if (aValue != TqEncodingPTC1) return TqResult(TQ_NOT_SUPPORTED);
    mImpl->encoding = aValue;
    return TqResult(TQ_OK);
}

TqEncodingEnum TqCompressionFilter::GetEncoding() const { return mImpl->encoding; }

// ==== TqDecompressionFilter ====

struct TqDecompressionFilter::Impl {
    std::mutex executeMutex;        // one Execute at a time
    mutable std::mutex stateMutex;  // the settings and the group
    uint32_t threadCount = DefaultThreadCount();
    uint32_t priority = kDefaultPriority;
    bool priorityApplied = false;   // set explicitly: applied to every new group
    std::shared_ptr<WorkerGroup> group;

    // The group, made on first use; null when its threads cannot be made.
    std::shared_ptr<WorkerGroup> Group() {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (group == nullptr) {
            group = WorkerGroup::Make(threadCount);
            if (group != nullptr && priorityApplied) group->ApplyPriority(priority);
        }
        return group;
    }
};

TqDecompressionFilter::TqDecompressionFilter() : mImpl(new Impl) {}

TqDecompressionFilter::~TqDecompressionFilter() { delete mImpl; }

namespace {

const uint8_t* PayloadOf(const TqBuffer* aIn, uint64_t& aSize) {
    aSize = 0;
    if (aIn == nullptr || aIn->GetPayloadType() != TqPayloadTypeZelvraCompressed) return nullptr;
    aSize = std::min<uint64_t>(aIn->GetPayloadLength(), aIn->GetSize());
    return aIn->GetDataPointer();
}

}  // namespace

TqResult TqDecompressionFilter::Execute(const TqBuffer* aIn, TqBuffer* aOut) {
    if (aIn == nullptr || aOut == nullptr || aIn == aOut) return TqResult(TQ_INVALID_PARAMETER);
    if (aIn->GetPayloadType() != TqPayloadTypeZelvraCompressed) return TqResult(TQ_INVALID_PARAMETER);
    uint64_t size;
    const uint8_t* data = PayloadOf(aIn, size);

    std::lock_guard<std::mutex> lock(mImpl->executeMutex);
    TqCodec::Frame frame;
    std::vector<TqCodec::Stripe> stripes;
    uint32_t code = TqCodec::ParseFrame(data, size, frame, &stripes);
    if (code != TQ_OK) return TqResult(code);

    // The destination: its memory when large enough, else new memory (not over attached memory).
    bool fits = aOut->GetDataPointer() != nullptr && aOut->GetSize() >= frame.originalSize;
    if (!fits && aOut->IsAttached()) return TqResult(TQ_INVALID_PARAMETER);
    if (fits && Overlap(aOut->GetDataPointer(), frame.originalSize, data, size))
        return TqResult(TQ_INVALID_PARAMETER);   // the same memory attached to both
    aOut->Reset(TqPayloadTypeImage);
    TqImage* image = aOut->GetImage();
    if (fits) {
        image->SetGeometry(frame.width, frame.height, frame.pixelType, 0, 0);
        aOut->SetPayloadLength(static_cast<uint32_t>(frame.originalSize));
    } else {
        TqResult result = image->Alloc(frame.width, frame.height, frame.pixelType);
        if (!result.IsOK()) return result;
    }
    image->SetOffsetX(frame.offsetX);
    image->SetOffsetY(frame.offsetY);
    image->SetBlockInfo(frame.blockID, frame.timestamp, 0);
    image->SetStatus(false, false, false, false, false);
    aOut->SetTimestamp(frame.timestamp);
    aOut->SetBlockID(frame.blockID);

    uint8_t* pixels = aOut->GetDataPointer();
    std::atomic<uint32_t> next{0};
    std::atomic<bool> failed{false};
    WorkerGroup::Job job = [&](TqCodec::StripeDecoder& aDecoder) {
        for (;;) {
            uint32_t s = next.fetch_add(1, std::memory_order_relaxed);
            if (s >= stripes.size() || failed.load(std::memory_order_relaxed)) return;
            if (!aDecoder.Decode(frame, stripes[s], data, pixels)) failed.store(true, std::memory_order_relaxed);
        }
    };
    if (std::shared_ptr<WorkerGroup> group = mImpl->Group()) {
        group->Run(job);
    } else {
        TqCodec::StripeDecoder decoder;   // no workers to be had: the caller's thread does the work
        job(decoder);
    }
    return TqResult(failed.load() ? TQ_IMAGE_ERROR : TQ_OK);
}

TqResult TqDecompressionFilter::SetThreadCount(uint32_t aCount) {
    if (aCount < 1 || aCount > kMaxThreads) return TqResult(TQ_INVALID_PARAMETER);
    std::shared_ptr<WorkerGroup> group = WorkerGroup::Make(aCount);
    if (group == nullptr) return TqResult(TQ_NOT_ENOUGH_MEMORY);
    std::shared_ptr<WorkerGroup> old;
    {
        std::lock_guard<std::mutex> lock(mImpl->stateMutex);
        if (mImpl->priorityApplied) group->ApplyPriority(mImpl->priority);
        old = std::move(mImpl->group);   // an Execute still using it keeps it until it returns
        mImpl->group = std::move(group);
        mImpl->threadCount = aCount;
    }
    return TqResult(TQ_OK);
}

uint32_t TqDecompressionFilter::GetThreadCount() const {
    std::lock_guard<std::mutex> lock(mImpl->stateMutex);
    return mImpl->threadCount;
}

TqResult TqDecompressionFilter::GetThreadsPriority(uint32_t& aPriority) const {
    std::lock_guard<std::mutex> lock(mImpl->stateMutex);
    aPriority = mImpl->priority;
    return TqResult(TQ_OK);
}

TqResult TqDecompressionFilter::SetThreadsPriority(uint32_t aPriority) {
    if (aPriority > kMaxPriority) return TqResult(TQ_INVALID_PARAMETER);
    std::shared_ptr<WorkerGroup> group = mImpl->Group();
    if (group == nullptr) return TqResult(TQ_NOT_SUPPORTED);
    std::lock_guard<std::mutex> lock(mImpl->stateMutex);
    if (!mImpl->group->ApplyPriority(aPriority)) return TqResult(TQ_NOT_SUPPORTED);   // the current group
    mImpl->priority = aPriority;
    mImpl->priorityApplied = true;
    return TqResult(TQ_OK);
}

bool TqDecompressionFilter::IsCompressed(const TqBuffer* aIn) {
    uint64_t size;
    const uint8_t* data = PayloadOf(aIn, size);
    return TqCodec::HasMagic(data, size);
}

TqResult TqDecompressionFilter::GetOutputFormatFor(const TqBuffer* aIn, TqPixelType& aPixelType, uint32_t& aWidth,
                                                   uint32_t& aHeight) {
    aPixelType = TqPixelUndefined;
    aWidth = 0;
    aHeight = 0;
    if (aIn == nullptr || aIn->GetPayloadType() != TqPayloadTypeZelvraCompressed) return TqResult(TQ_INVALID_PARAMETER);
    uint64_t size;
    const uint8_t* data = PayloadOf(aIn, size);
    TqCodec::Frame frame;
    uint32_t code = TqCodec::ParseFrame(data, size, frame, nullptr);
    if (code != TQ_OK) return TqResult(code);
    aPixelType = frame.pixelType;
    aWidth = frame.width;
    aHeight = frame.height;
    return TqResult(TQ_OK);
}
