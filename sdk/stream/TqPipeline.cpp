// The buffer pipeline: a pool of buffers kept queued in a stream by a thread of the pipeline's own,
// and the output queue the application takes the filled ones from.
//
// Every buffer of the pool is in one place at a time: spare (the pipeline's, waiting to be queued),
// in the stream (queued, or on its way there), ready (in the output queue) or held by the
// application. The pipeline cannot look into the stream, so `inStream` counts what went there and
// has not come back. Only the pipeline thread queues buffers and takes them from the stream, except
// while it is paused (Reset) or told to stop, when the caller drains the stream itself. The thread
// pauses and stops only at the top of its loop, where it holds no buffer of its own.
//
// Sinks are called with no lock of the pipeline held, from a snapshot of the list; `active` records
// which sink is in a callback on which thread, so that UnregisterEventSink can wait for it (but not
// for a callback of its own thread, which would never end).
#include "TqPipeline.h"

#include "TqResultCodes.h"
#include "TqStream.h"
#include "TqStreamState.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kDefaultCount = 16, kMinCount = 4;
// Automatic size: the streams cannot tell the size of a block before one arrives, so the pool
// starts here and takes the size of the first block that does not fit.
constexpr uint32_t kFirstAutomaticSize = 64 * 1024;
constexpr uint32_t kShrinkFactor = 4;                 // a buffer this many times too large is shrunk
constexpr uint32_t kMaxPriority = 99;
constexpr auto kPoll = std::chrono::milliseconds(10);  // the thread's longest wait on the stream
constexpr uint32_t kDrainWait = 100;                   // ms per retrieve while taking buffers back

// The normal policy for 0, SCHED_FIFO at the priority for 1..99.
bool SetPriority(pthread_t aThread, uint32_t aPriority) {
    sched_param param{};
    param.sched_priority = static_cast<int>(aPriority);
    return pthread_setschedparam(aThread, aPriority ? SCHED_FIFO : SCHED_OTHER, &param) == 0;
}

}  // namespace

// ---- event sink ----

TqPipelineEventSink::TqPipelineEventSink() = default;
TqPipelineEventSink::~TqPipelineEventSink() = default;
void TqPipelineEventSink::OnBufferCreated(TqPipeline*, TqBuffer*) {}
void TqPipelineEventSink::OnBufferDeleted(TqPipeline*, TqBuffer*) {}
void TqPipelineEventSink::OnStart(TqPipeline*) {}
void TqPipelineEventSink::OnStop(TqPipeline*) {}
void TqPipelineEventSink::OnReset(TqPipeline*) {}
void TqPipelineEventSink::OnBufferTooSmall(TqPipeline*, bool*, bool*) {}
void TqPipelineEventSink::OnBufferReady(TqPipeline*) {}

// ---- pipeline ----

struct TqPipeline::Impl {
    struct Ready {
        TqBuffer* buffer;
        uint32_t result;
    };
    struct Active {
        TqPipelineEventSink* sink;
        std::thread::id thread;
    };

    Impl(TqPipeline* aOwner, TqStream* aStream) : owner(aOwner), stream(aStream) {}

    TqPipeline* const owner;
    TqStream* const stream;

    mutable std::mutex lock;
    std::condition_variable outputReady;   // the output queue grew, or the pipeline stopped
    std::condition_variable changed;       // the thread paused or ended, was asked something, a buffer came back

    std::vector<TqBuffer*> pool;   // every buffer the pipeline owns
    std::deque<TqBuffer*> spare;
    std::deque<Ready> output;
    std::vector<TqBuffer*> held;
    uint32_t inStream = 0;

    uint32_t count = kDefaultCount;
    uint32_t size = 0;                              // 0: automatic
    uint32_t automaticSize = kFirstAutomaticSize;   // the pool's size while automatic
    uint32_t grownSize = 0;   // a fixed size grown by too-small blocks the pipeline handled
    bool handleTooSmall = false;
    uint32_t priority = 0;

    bool started = false;
    bool starting = false;        // Start is on its way (joining an old thread, making buffers)
    bool stopRequested = false;   // the thread leaves its loop
    bool resetting = false;
    uint64_t runs = 0;            // counts Stop calls: a waiting RetrieveNextBuffer notices
    uint32_t pauseRequests = 0;
    bool paused = false;
    bool threadAlive = false;     // from Start until the thread gave every buffer back and ended
    std::thread thread;           // left here by a Stop from the thread itself; joined later
    std::thread::id threadId;     // the running thread's; cleared when it ends
    pthread_t threadHandle{};     // valid while threadAlive

    std::mutex sinkLock;
    std::condition_variable sinkIdle;
    std::vector<TqPipelineEventSink*> sinks;
    std::vector<Active> active;

    bool OnThread() const { return threadAlive && std::this_thread::get_id() == threadId; }   // lock held

    uint32_t Target() const {   // lock held
        return size ? std::max(size, grownSize) : automaticSize;
    }

    bool Owns(TqBuffer* aBuffer) const {   // lock held
        return std::find(pool.begin(), pool.end(), aBuffer) != pool.end();
    }

    // Calls every registered sink, no pipeline lock held; a sink's exception ends only its own call.
    template <class Call>
    void Notify(Call aCall) {
        std::vector<TqPipelineEventSink*> snapshot;
        {
            std::lock_guard<std::mutex> guard(sinkLock);
            snapshot = sinks;
        }
        const std::thread::id self = std::this_thread::get_id();
        for (TqPipelineEventSink* sink : snapshot) {
            {
                std::lock_guard<std::mutex> guard(sinkLock);
                if (std::find(sinks.begin(), sinks.end(), sink) == sinks.end()) continue;   // unregistered meanwhile
                active.push_back({sink, self});
            }
            try {
                aCall(sink);
            } catch (...) {
            }
            {
                std::lock_guard<std::mutex> guard(sinkLock);
                auto it = std::find_if(active.rbegin(), active.rend(),
                                       [&](const Active& a) { return a.sink == sink && a.thread == self; });
                active.erase(std::next(it).base());
            }
            sinkIdle.notify_all();
        }
    }

    void Created(TqBuffer* aBuffer) {
        Notify([&](TqPipelineEventSink* aSink) { aSink->OnBufferCreated(owner, aBuffer); });
    }

    void Delete(TqBuffer* aBuffer) {
        Notify([&](TqPipelineEventSink* aSink) { aSink->OnBufferDeleted(owner, aBuffer); });
        delete aBuffer;
    }

    // Makes buffers until the pool has `count`; they are spare. Called without the lock.
    void Grow() {
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (pool.size() >= count) return;
            }
            auto* buffer = new TqBuffer;
            Created(buffer);
            std::lock_guard<std::mutex> guard(lock);
            pool.push_back(buffer);
            spare.push_back(buffer);
        }
    }

    // Deletes spare buffers while the pool has more than `count`. Called without the lock.
    void Trim() {
        std::vector<TqBuffer*> gone;
        {
            std::lock_guard<std::mutex> guard(lock);
            while (pool.size() - gone.size() > count && !spare.empty()) {
                gone.push_back(spare.back());
                spare.pop_back();
            }
            for (TqBuffer* b : gone) pool.erase(std::find(pool.begin(), pool.end(), b));
        }
        for (TqBuffer* b : gone) Delete(b);
    }

    bool OverCount() const { return pool.size() > count; }   // lock held

    // A buffer below the pool's size is re-allocated to it, one far above it shrunk.
    static void Fit(TqBuffer* aBuffer, uint32_t aTarget) {
        const uint64_t have = aBuffer->GetSize();
        if (have < aTarget || have > uint64_t(kShrinkFactor) * aTarget) aBuffer->Alloc(aTarget);
    }

    // Queues the spare buffers into the stream until it refuses one (lock held; released meanwhile).
    void QueueSpares(std::unique_lock<std::mutex>& aGuard) {
        while (!spare.empty() && !stopRequested && pauseRequests == 0) {
            TqBuffer* buffer = spare.front();
            spare.pop_front();
            inStream++;
            const uint32_t target = Target();
            aGuard.unlock();
            Fit(buffer, target);
            const TqResult result = stream->QueueBuffer(buffer);
            aGuard.lock();
            if (result.IsFailure()) {   // full, or closed
                inStream--;
                spare.push_front(buffer);
                return;
            }
        }
    }

    // Takes every buffer back from the stream (aborting what it still holds). Called without the lock.
    void Drain() {
        int closedTries = 0;
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (inStream == 0) return;
            }
            stream->AbortQueuedBuffers();
            TqBuffer* buffer = nullptr;
            TqResult operation;
            const TqResult result = stream->RetrieveBuffer(&buffer, &operation, kDrainWait);
            std::unique_lock<std::mutex> guard(lock);
            if (buffer) {
                if (Owns(buffer)) {
                    inStream--;
                    spare.push_back(buffer);
                    changed.notify_all();
                }
                continue;
            }
            if (result.GetCode() == TQ_NOT_CONNECTED) {
                // Closed: the stream gave everything back already, another caller is taking the
                // last of it. Given up after a while rather than spinning.
                if (++closedTries > 100) return;
                changed.wait_for(guard, kPoll);
            }
        }
    }

    // Asks the thread to pause and waits until it did (or ended, or was told to stop). Lock held.
    void Pause(std::unique_lock<std::mutex>& aGuard) {
        pauseRequests++;
        changed.notify_all();
        changed.wait(aGuard, [&] { return paused || !threadAlive || stopRequested; });
    }

    void Resume() {   // lock held
        pauseRequests--;
        changed.notify_all();
    }

    // A buffer the thread took from the stream (lock held; released for the sinks).
    void Handle(std::unique_lock<std::mutex>& aGuard, TqBuffer* aBuffer, uint32_t aResult) {
        if (aResult == TQ_ABORTED || stopRequested) {
            spare.push_back(aBuffer);
            changed.notify_all();
            return;
        }
        if (aResult == TQ_BUFFER_TOO_SMALL) {
            const uint32_t required = aBuffer->GetRequiredSize();
            if (required > 0) {
                if (size == 0)
                    automaticSize = required;
                else if (handleTooSmall)
                    grownSize = std::max(grownSize, required);
            }
            if (handleTooSmall && required > 0) {
                aGuard.unlock();
                bool reallocAll = false, resetStats = false;
                Notify([&](TqPipelineEventSink* aSink) { aSink->OnBufferTooSmall(owner, &reallocAll, &resetStats); });
                if (resetStats) TqStreamLib::ResetStatistics(*stream);
                // Every buffer comes back from the stream to be re-allocated before it is queued again.
                if (reallocAll) stream->AbortQueuedBuffers();
                aGuard.lock();
                // First in line: the queueing re-allocates it to the grown size.
                spare.push_front(aBuffer);
                changed.notify_all();
                return;
            }
        }
        output.push_back({aBuffer, aResult});
        outputReady.notify_all();
        aGuard.unlock();
        Notify([&](TqPipelineEventSink* aSink) { aSink->OnBufferReady(owner); });
        aGuard.lock();
    }

    void Run() {
        std::unique_lock<std::mutex> guard(lock);
        if (priority) SetPriority(pthread_self(), priority);   // refused: the normal policy stays
        while (!stopRequested) {
            if (pauseRequests > 0) {
                paused = true;
                changed.notify_all();
                changed.wait(guard, [&] { return pauseRequests == 0 || stopRequested; });
                paused = false;
                continue;
            }
            if (OverCount() && !spare.empty()) {
                guard.unlock();
                Trim();
                guard.lock();
                continue;
            }
            // The application does not keep up: the oldest ready buffer feeds the stream instead.
            if (spare.empty() && inStream == 0 && !output.empty()) {
                spare.push_back(output.front().buffer);
                output.pop_front();
                TqStreamLib::CountPipelineDrop(*stream);
            }
            QueueSpares(guard);
            if (stopRequested || pauseRequests > 0) continue;
            guard.unlock();
            TqBuffer* buffer = nullptr;
            TqResult operation;
            const TqResult result =
                stream->RetrieveBuffer(&buffer, &operation, static_cast<uint32_t>(kPoll.count()));
            guard.lock();
            if (!buffer) {
                const uint32_t code = result.GetCode();
                if (code != TQ_TIMEOUT && code != TQ_ABORTED)   // closed: nothing to wait for on the stream
                    changed.wait_for(guard, kPoll, [&] { return stopRequested || pauseRequests > 0; });
                continue;
            }
            if (!Owns(buffer)) continue;   // the application's own, queued into the same stream
            inStream--;
            Handle(guard, buffer, operation.GetCode());
        }
        guard.unlock();
        Drain();
        guard.lock();
        threadAlive = false;
        threadId = std::thread::id();
        changed.notify_all();
    }
};

TqPipeline::TqPipeline(TqStream* aStream) : mImpl(new Impl(this, aStream)) {}

TqPipeline::~TqPipeline() {
    Impl& d = *mImpl;
    bool running;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        running = d.started;
    }
    if (running) Stop();
    std::thread worker;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        worker = std::move(d.thread);   // after a Stop from the thread itself
    }
    if (worker.joinable()) worker.join();
    std::vector<TqBuffer*> all;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        all.swap(d.pool);
        d.spare.clear();
        d.output.clear();
        d.held.clear();
    }
    for (TqBuffer* b : all) d.Delete(b);
    delete mImpl;
}

TqResult TqPipeline::Start() {
    Impl& d = *mImpl;
    if (!d.stream) return TqResult(TQ_STATE_ERROR, TqString("the pipeline has no stream"));
    std::unique_lock<std::mutex> guard(d.lock);
    if (d.started || d.starting) return TqResult(TQ_STATE_ERROR, TqString("the pipeline is started already"));
    if (d.OnThread()) return TqResult(TQ_STATE_ERROR, TqString("the pipeline thread is still ending"));
    guard.unlock();
    if (!d.stream->IsOpen()) return TqResult(TQ_STATE_ERROR, TqString("the stream is not open"));
    guard.lock();
    if (d.started || d.starting) return TqResult(TQ_STATE_ERROR, TqString("the pipeline is started already"));
    d.starting = true;
    std::thread old = std::move(d.thread);
    guard.unlock();
    if (old.joinable()) old.join();   // stopped from inside a callback: it has given its buffers back
    d.Grow();
    guard.lock();
    d.starting = false;
    d.stopRequested = false;
    d.paused = false;
    d.threadAlive = true;
    try {
        d.thread = std::thread([&d] { d.Run(); });
    } catch (const std::system_error&) {
        d.threadAlive = false;
        return TqResult(TQ_THREAD_ERROR, TqString("no pipeline thread"));
    }
    d.threadId = d.thread.get_id();
    d.threadHandle = d.thread.native_handle();
    d.started = true;
    guard.unlock();
    d.Notify([&](TqPipelineEventSink* aSink) { aSink->OnStart(this); });
    return TqResult(TQ_OK);
}

TqResult TqPipeline::Stop() {
    Impl& d = *mImpl;
    std::unique_lock<std::mutex> guard(d.lock);
    if (!d.started) return TqResult(TQ_STATE_ERROR, TqString("the pipeline is not started"));
    d.started = false;
    d.stopRequested = true;
    d.runs++;
    while (!d.output.empty()) {
        d.spare.push_back(d.output.front().buffer);
        d.output.pop_front();
    }
    d.outputReady.notify_all();
    d.changed.notify_all();
    std::thread worker;
    if (!d.OnThread()) worker = std::move(d.thread);   // else the thread ends after its callback
    guard.unlock();
    d.stream->AbortQueuedBuffers();   // wakes the thread's wait on the stream
    if (worker.joinable()) worker.join();
    d.Trim();   // buffers over the count that came back meanwhile
    d.Notify([&](TqPipelineEventSink* aSink) { aSink->OnStop(this); });
    return TqResult(TQ_OK);
}

TqResult TqPipeline::Reset() {
    Impl& d = *mImpl;
    std::unique_lock<std::mutex> guard(d.lock);
    if (!d.started) return TqResult(TQ_STATE_ERROR, TqString("the pipeline is not started"));
    if (d.resetting) return TqResult(TQ_STATE_ERROR, TqString("the pipeline is being reset"));
    d.resetting = true;
    // From inside a callback the thread is between buffers already; else it pauses.
    const bool self = d.OnThread();
    if (!self) d.Pause(guard);
    bool stopped = d.stopRequested;
    guard.unlock();
    if (!stopped) {
        d.stream->AbortQueuedBuffers();
        d.Drain();
    }
    guard.lock();
    stopped = d.stopRequested;
    while (!d.output.empty()) {
        d.spare.push_back(d.output.front().buffer);
        d.output.pop_front();
    }
    guard.unlock();
    if (!stopped) d.Notify([&](TqPipelineEventSink* aSink) { aSink->OnReset(this); });
    guard.lock();
    d.resetting = false;
    if (!self) d.Resume();
    if (stopped) return TqResult(TQ_STATE_ERROR, TqString("the pipeline was stopped during the reset"));
    return TqResult(TQ_OK);
}

bool TqPipeline::IsStarted() {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    return mImpl->started;
}

TqResult TqPipeline::RetrieveNextBuffer(TqBuffer** aBuffer, uint32_t aTimeout, TqResult* aOperationResult) {
    if (!aBuffer) return TqResult(TQ_INVALID_PARAMETER, TqString("no place for the buffer"));
    *aBuffer = nullptr;
    Impl& d = *mImpl;
    std::unique_lock<std::mutex> guard(d.lock);
    if (!d.started) return TqResult(TQ_STATE_ERROR, TqString("the pipeline is not started"));
    const uint64_t run = d.runs;
    auto ready = [&] { return !d.output.empty() || d.runs != run; };
    if (aTimeout == 0xFFFFFFFF)
        d.outputReady.wait(guard, ready);
    else
        d.outputReady.wait_for(guard, std::chrono::milliseconds(aTimeout), ready);
    if (d.runs != run || !d.started) return TqResult(TQ_STATE_ERROR, TqString("the pipeline was stopped"));
    if (d.output.empty()) return TqResult(TQ_TIMEOUT);
    const Impl::Ready next = d.output.front();
    d.output.pop_front();
    d.held.push_back(next.buffer);
    *aBuffer = next.buffer;
    if (aOperationResult) *aOperationResult = TqResult(next.result);
    return TqResult(TQ_OK);
}

TqResult TqPipeline::ReleaseBuffer(TqBuffer* aBuffer) {
    if (!aBuffer) return TqResult(TQ_INVALID_PARAMETER, TqString("no buffer"));
    Impl& d = *mImpl;
    std::unique_lock<std::mutex> guard(d.lock);
    auto it = std::find(d.held.begin(), d.held.end(), aBuffer);
    if (it == d.held.end()) return TqResult(TQ_INVALID_PARAMETER, TqString("not a buffer the pipeline handed out"));
    d.held.erase(it);
    if (d.OverCount()) {   // the pool shrank while the application held it
        d.pool.erase(std::find(d.pool.begin(), d.pool.end(), aBuffer));
        guard.unlock();
        d.Delete(aBuffer);
        return TqResult(TQ_OK);
    }
    d.spare.push_back(aBuffer);
    d.changed.notify_all();
    return TqResult(TQ_OK);
}

uint32_t TqPipeline::GetBufferSize() const {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    return mImpl->size;
}

void TqPipeline::SetBufferSize(uint32_t aSize) {
    Impl& d = *mImpl;
    std::lock_guard<std::mutex> guard(d.lock);
    if (aSize == d.size) return;
    d.size = aSize;
    d.grownSize = 0;
    if (aSize == 0) d.automaticSize = kFirstAutomaticSize;
}

uint32_t TqPipeline::GetBufferCount() const {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    return mImpl->count;
}

TqResult TqPipeline::SetBufferCount(uint32_t aBufferCount) {
    if (aBufferCount < kMinCount) return TqResult(TQ_INVALID_PARAMETER, TqString("a pipeline has at least 4 buffers"));
    Impl& d = *mImpl;
    std::unique_lock<std::mutex> guard(d.lock);
    d.count = aBufferCount;
    // Stopped, the buffers are made by the next Start; running, the thread waits meanwhile (from
    // inside a callback it is waiting already).
    const bool running = d.started;
    const bool pause = running && d.threadAlive && !d.OnThread();
    if (pause) d.Pause(guard);
    guard.unlock();
    if (running) d.Grow();
    d.Trim();   // held, ready and queued buffers go when they come back
    if (pause) {
        guard.lock();
        d.Resume();
    }
    return TqResult(TQ_OK);
}

uint32_t TqPipeline::GetOutputQueueSize() const {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    return static_cast<uint32_t>(mImpl->output.size());
}

bool TqPipeline::GetHandleBufferTooSmall() const {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    return mImpl->handleTooSmall;
}

void TqPipeline::SetHandleBufferTooSmall(bool aValue) {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    mImpl->handleTooSmall = aValue;
}

uint32_t TqPipeline::GetBufferHandlingThreadPriority() const {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    return mImpl->priority;
}

TqResult TqPipeline::SetBufferHandlingThreadPriority(uint32_t aPriority) {
    if (aPriority > kMaxPriority) return TqResult(TQ_INVALID_PARAMETER, TqString("priorities go from 0 to 99"));
    Impl& d = *mImpl;
    bool allowed;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        d.priority = aPriority;   // kept even when refused: the thread tries it again when it starts
        if (d.threadAlive) {
            allowed = SetPriority(d.threadHandle, aPriority);
        } else if (aPriority == 0) {
            allowed = true;
        } else {
            allowed = false;   // tried on a thread of its own, the caller's is left alone
            std::thread probe([&] { allowed = SetPriority(pthread_self(), aPriority); });
            probe.join();
        }
    }
    if (!allowed) return TqResult(TQ_THREAD_ERROR, TqString("the process may not use real-time priorities"));
    return TqResult(TQ_OK);
}

TqResult TqPipeline::RegisterEventSink(TqPipelineEventSink* aEventSink) {
    if (!aEventSink) return TqResult(TQ_INVALID_PARAMETER);
    Impl& d = *mImpl;
    std::lock_guard<std::mutex> guard(d.sinkLock);
    if (std::find(d.sinks.begin(), d.sinks.end(), aEventSink) != d.sinks.end())
        return TqResult(TQ_GENERIC_ERROR, TqString("event sink already registered"));
    d.sinks.push_back(aEventSink);
    return TqResult(TQ_OK);
}

TqResult TqPipeline::UnregisterEventSink(TqPipelineEventSink* aEventSink) {
    if (!aEventSink) return TqResult(TQ_INVALID_PARAMETER);
    Impl& d = *mImpl;
    std::unique_lock<std::mutex> guard(d.sinkLock);
    auto it = std::find(d.sinks.begin(), d.sinks.end(), aEventSink);
    if (it == d.sinks.end()) return TqResult(TQ_NOT_FOUND);
    d.sinks.erase(it);
    const std::thread::id self = std::this_thread::get_id();
    d.sinkIdle.wait(guard, [&] {
        return std::none_of(d.active.begin(), d.active.end(),
                            [&](const Impl::Active& a) { return a.sink == aEventSink && a.thread != self; });
    });
    return TqResult(TQ_OK);
}
