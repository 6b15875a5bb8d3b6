// The buffer pipeline: a pool of buffers kept queued in a stream by a thread of the pipeline's own,
// and the output queue the application takes the filled ones from.
//
// Every buffer of the pool is in one place at a time: spare (the pipeline's, waiting to be queued),
// in the stream (`queued`: queued, or on its way there), ready (in the output queue) or held by the
// application. Only the pipeline thread queues buffers and takes them from the stream, except while
// it is paused (Reset) or told to stop, when the caller drains the stream itself. The thread pauses
// and stops only at the top of its loop, where it holds no buffer of its own.
//
// Two threads run while the pipeline is started: the pipeline thread, which only moves buffers and
// never waits for the application, and the announcer, which calls OnBufferReady once for each buffer
// that became ready (the calls of buffers dropped meanwhile are skipped). A slow OnBufferReady thus
// delays only further OnBufferReady calls.
//
// The stream may be destroyed under the pipeline: it tells the pipeline first (StreamGoing), which
// stops and forgets it. Every use of the stream happens under `gate` (shared) and checks that the
// stream is still there; StreamGoing takes `gate` exclusively to forget it. Nobody waits for `lock`
// while holding `gate`, and no callback runs under `gate`.
//
// Sinks are called with no lock of the pipeline held (TqSinkList): UnregisterEventSink waits for a
// callback of that sink under way on another thread (but not for one of its own thread, which would
// never end).
#include "TqPipeline.h"

#include "TqLiveObjects.h"
#include "TqNoMemory.h"

#include "TqResultCodes.h"
#include "TqSinkList.h"
#include "TqStream.h"
#include "TqStreamState.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kDefaultCount = 16, kMinCount = 4;
// Automatic size: the stream's expected block size when it can tell at Start, else the pool starts
// here; either way it takes the size of the first block that does not fit.
constexpr uint32_t kFirstAutomaticSize = 64 * 1024;
constexpr uint32_t kShrinkFactor = 4;                 // a buffer this many times too large is shrunk
constexpr uint32_t kMaxPriority = 99;
constexpr auto kPoll = std::chrono::milliseconds(10);  // the thread's longest wait on the stream
constexpr uint32_t kDrainWait = 100;                   // ms per retrieve while taking buffers back
// What a buffer of the pool costs besides its memory: the object and its places in the lists.
constexpr uint64_t kBufferCost = sizeof(TqBuffer) + 64;

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

struct TqPipeline::Impl final : TqStreamLib::StreamUser {
    struct Ready {
        TqBuffer* buffer;
        uint32_t result;
    };

    Impl(TqPipeline* aOwner, TqStream* aStream) : owner(aOwner), stream(aStream) {}

    TqPipeline* const owner;

    std::shared_mutex gate;   // shared while the stream is used; exclusive to forget it
    TqStream* stream;         // under gate; null for none, and once the stream went

    mutable std::mutex lock;
    std::condition_variable outputReady;   // the output queue grew, or the pipeline stopped
    std::condition_variable changed;       // a thread paused or ended, was asked something, a buffer came back
    std::condition_variable announce;      // a buffer to announce, or the pipeline stopped

    std::vector<TqBuffer*> pool;   // every buffer the pipeline owns
    std::deque<TqBuffer*> spare;
    std::vector<TqBuffer*> queued;
    std::deque<Ready> output;
    std::vector<TqBuffer*> held;
    uint32_t pending = 0;   // ready buffers OnBufferReady has yet to be called for

    uint32_t count = kDefaultCount;
    uint32_t size = 0;                              // 0: automatic
    uint32_t automaticSize = kFirstAutomaticSize;   // the pool's size while automatic
    uint32_t grownSize = 0;   // a fixed size grown by too-small blocks the pipeline handled
    bool handleTooSmall = false;
    uint32_t priority = 0;

    bool gone = false;            // the stream was destroyed: the pipeline never starts again
    // The stream's answer once its link to the device is lost: what retrieves answer while the output
    // queue is empty, until a buffer comes from it again or the next Start.
    std::optional<TqResult> lost;
    bool started = false;
    bool starting = false;        // Start is on its way (joining old threads, making buffers)
    bool stopRequested = false;   // both threads leave their loops
    bool resetting = false;
    uint64_t runs = 0;            // counts Stop calls: a waiting RetrieveNextBuffer notices
    uint32_t pauseRequests = 0;
    bool paused = false;
    bool threadAlive = false;     // from Start until the thread gave every buffer back and ended
    std::thread thread;           // left here by a Stop from one of the threads; joined later
    std::thread::id threadId;     // the running thread's; cleared when it ends
    pthread_t threadHandle{};     // valid while threadAlive
    bool announcerAlive = false;
    std::thread announcer;        // like `thread`
    std::thread::id announcerId;

    TqSinkList<TqPipelineEventSink> sinks;

    // Lock held: on the pipeline thread, on the announcer, on either.
    bool OnThread() const { return threadAlive && std::this_thread::get_id() == threadId; }
    bool OnAnnouncer() const { return announcerAlive && std::this_thread::get_id() == announcerId; }
    bool OnOwnThread() const { return OnThread() || OnAnnouncer(); }

    uint32_t Target() const {   // lock held
        return size ? std::max(size, grownSize) : automaticSize;
    }

    // OK when a pool of aCount buffers of aSize bytes can be had: what it needs beyond the memory its
    // buffers hold already stays within what the process can be given (lock held, the thread paused
    // or not running: no buffer changes its memory meanwhile).
    TqResult Affords(uint32_t aCount, uint32_t aSize) const {
        const uint64_t each = uint64_t(aSize) + kBufferCost;
        uint64_t held = 0;
        for (size_t i = 0; i < pool.size() && i < aCount; ++i)
            held += std::min<uint64_t>(pool[i]->GetSize(), aSize) + kBufferCost;
        if (uint64_t(aCount) * each <= held) return TqResult(TQ_OK);
        char what[96];
        std::snprintf(what, sizeof what, "a pipeline of %u buffers of %u bytes", aCount, aSize);
        return TqNoMemory::Check(what, 1, uint64_t(aCount) * each - held);
    }

    // Whether the pool may take aSize, a block's size a peer told: the pool at that size stays within
    // what the process can be given (lock held).
    bool MayGrowTo(uint32_t aSize) const { return TqMemoryBlocks::Affordable(count, uint64_t(aSize) + kBufferCost); }

    bool Owns(TqBuffer* aBuffer) const {   // lock held
        return std::find(pool.begin(), pool.end(), aBuffer) != pool.end();
    }

    // A buffer back from the stream: true when it was one the pipeline queued (lock held).
    bool TakeQueued(TqBuffer* aBuffer) {
        auto it = std::find(queued.begin(), queued.end(), aBuffer);
        if (it == queued.end()) return false;
        queued.erase(it);
        return true;
    }

    // Calls aUse with the stream under the gate; false when there is none (any more).
    template <class Use>
    bool WithStream(Use aUse) {
        std::shared_lock<std::shared_mutex> guard(gate);
        if (!stream) return false;
        aUse(*stream);
        return true;
    }

    // Calls every registered sink, no pipeline lock held; a sink's exception ends only its own call.
    template <class Call>
    void Notify(Call aCall) {
        sinks.Each(aCall);
    }

    void Created(TqBuffer* aBuffer) {
        Notify([&](TqPipelineEventSink* aSink) { aSink->OnBufferCreated(owner, aBuffer); });
    }

    void Delete(TqBuffer* aBuffer) {
        Notify([&](TqPipelineEventSink* aSink) { aSink->OnBufferDeleted(owner, aBuffer); });
        delete aBuffer;
        const void* gone = aBuffer;
        TqObjectsGone::Tell(TqObjectsGone::News::kDeleted, &gone, 1);
    }

    // Makes buffers until the pool has `count`; they are spare. Called without the lock. An
    // allocation that fails leaves the pool with the buffers made so far, each in its place.
    void Grow() {
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (pool.size() >= count) return;
            }
            auto buffer = std::make_unique<TqBuffer>();
            {
                std::lock_guard<std::mutex> guard(lock);
                pool.push_back(buffer.get());
                try {
                    spare.push_back(buffer.get());
                } catch (...) {
                    pool.pop_back();
                    throw;
                }
            }
            Created(buffer.release());
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
            queued.push_back(buffer);
            const uint32_t target = Target();
            aGuard.unlock();
            Fit(buffer, target);
            TqResult result(TQ_NOT_CONNECTED);
            WithStream([&](TqStream& aStream) { result = aStream.QueueBuffer(buffer); });
            aGuard.lock();
            if (result.IsFailure()) {   // full, closed or gone
                TakeQueued(buffer);
                spare.push_front(buffer);
                return;
            }
        }
    }

    // The stream keeps at least half the pool (queued, or spare on its way there): when the
    // application falls behind, the output queue gives up its oldest buffers to it, counted in the
    // stream's PipelineImagesDropped. The newest ready buffer stays, unless the stream would have none
    // at all (the application holds the rest). Lock held.
    void DropStale() {
        const size_t reserve = count / 2;
        uint64_t dropped = 0;
        while (!output.empty()) {
            const size_t feeding = spare.size() + queued.size();
            if (feeding >= reserve || (output.size() == 1 && feeding > 0)) break;
            spare.push_back(output.front().buffer);
            output.pop_front();
            dropped++;
        }
        if (dropped == 0) return;
        pending = std::min<uint32_t>(pending, static_cast<uint32_t>(output.size()));
        WithStream([&](TqStream& aStream) { TqStreamLib::CountPipelineDrops(aStream, dropped); });
    }

    // The buffers the stream had when it went are spare again (lock held; no thread queues meanwhile).
    void Reclaim() {
        spare.insert(spare.end(), queued.begin(), queued.end());
        queued.clear();
        changed.notify_all();
    }

    // Takes every buffer back from the stream (aborting what it still holds). Called without the
    // lock, by the pipeline thread as it ends or by Reset while it is paused.
    void Drain() {
        int closedTries = 0;
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (queued.empty()) return;
            }
            TqBuffer* buffer = nullptr;
            TqResult operation, result;
            const bool present = WithStream([&](TqStream& aStream) {
                aStream.AbortQueuedBuffers();
                result = aStream.RetrieveBuffer(&buffer, &operation, kDrainWait);
            });
            std::unique_lock<std::mutex> guard(lock);
            if (!present) {   // the stream went with them
                Reclaim();
                return;
            }
            if (buffer) {
                if (TakeQueued(buffer)) {
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
            // A size the pool cannot take at its count is none of it: the block stays too small.
            const bool fits = required > 0 && MayGrowTo(required);
            if (fits) {
                if (size == 0)
                    automaticSize = required;
                else if (handleTooSmall)
                    grownSize = std::max(grownSize, required);
            }
            if (handleTooSmall && fits) {
                aGuard.unlock();
                bool reallocAll = false, resetStats = false;
                Notify([&](TqPipelineEventSink* aSink) { aSink->OnBufferTooSmall(owner, &reallocAll, &resetStats); });
                WithStream([&](TqStream& aStream) {
                    if (resetStats) TqStreamLib::ResetStatistics(aStream);
                    // Every buffer comes back from the stream to be re-allocated before it is queued again.
                    if (reallocAll) aStream.AbortQueuedBuffers();
                });
                aGuard.lock();
                // First in line: the queueing re-allocates it to the grown size.
                spare.push_front(aBuffer);
                changed.notify_all();
                return;
            }
        }
        output.push_back({aBuffer, aResult});
        pending = std::min<uint32_t>(pending + 1, static_cast<uint32_t>(pool.size()));
        outputReady.notify_all();
        announce.notify_all();
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
            DropStale();
            QueueSpares(guard);
            if (stopRequested || pauseRequests > 0) continue;
            guard.unlock();
            TqBuffer* buffer = nullptr;
            TqResult operation, result;
            bool linkLost = false;
            const bool present = WithStream([&](TqStream& aStream) {
                result = aStream.RetrieveBuffer(&buffer, &operation, static_cast<uint32_t>(kPoll.count()));
                if (!buffer && result.GetCode() == TQ_NOT_CONNECTED) linkLost = TqStreamLib::LinkLost(aStream);
            });
            guard.lock();
            if (linkLost && !lost) {
                lost = result;
                outputReady.notify_all();
            }
            if (buffer) lost.reset();
            if (!buffer) {
                const uint32_t code = result.GetCode();
                if (!present || (code != TQ_TIMEOUT && code != TQ_ABORTED))   // closed or gone: nothing to wait for
                    changed.wait_for(guard, kPoll, [&] { return stopRequested || pauseRequests > 0; });
                continue;
            }
            if (!TakeQueued(buffer)) continue;   // the application's own, queued into the same stream
            Handle(guard, buffer, operation.GetCode());
        }
        guard.unlock();
        Drain();
        guard.lock();
        threadAlive = false;
        threadId = std::thread::id();
        changed.notify_all();
    }

    // The announcer: OnBufferReady once for each buffer that became ready, while the pipeline runs.
    void Announce() {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            announce.wait(guard, [&] { return pending > 0 || stopRequested; });
            if (stopRequested) break;
            pending--;
            guard.unlock();
            Notify([&](TqPipelineEventSink* aSink) { aSink->OnBufferReady(owner); });
            guard.lock();
        }
        announcerAlive = false;
        announcerId = std::thread::id();
        changed.notify_all();
    }

    // Starts both threads (lock held). False when the system gave none; then neither runs.
    bool Launch(std::unique_lock<std::mutex>& aGuard) {
        stopRequested = false;
        paused = false;
        pending = 0;
        threadAlive = announcerAlive = true;
        try {
            thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            threadAlive = announcerAlive = false;
            return false;
        }
        threadId = thread.get_id();
        threadHandle = thread.native_handle();
        try {
            announcer = std::thread([this] { Announce(); });
        } catch (const std::system_error&) {
            announcerAlive = false;
            stopRequested = true;
            std::thread worker = std::move(thread);
            aGuard.unlock();
            worker.join();
            aGuard.lock();
            return false;
        }
        announcerId = announcer.get_id();
        return true;
    }

    // Both threads as left by a Stop from one of them, to be joined.
    std::pair<std::thread, std::thread> TakeThreads() {   // lock held
        return {std::move(thread), std::move(announcer)};
    }

    static void Join(std::pair<std::thread, std::thread>& aThreads) {
        if (aThreads.first.joinable()) aThreads.first.join();
        if (aThreads.second.joinable()) aThreads.second.join();
    }

    // The stream is being destroyed: the pipeline stops (joining its threads unless called on one of
    // them), forgets the stream and never starts again.
    void StreamGoing() override {
        {
            std::lock_guard<std::mutex> guard(lock);
            gone = true;
        }
        owner->Stop();
        {
            std::unique_lock<std::shared_mutex> guard(gate);
            stream = nullptr;
        }
        std::lock_guard<std::mutex> guard(lock);
        if (!threadAlive) Reclaim();   // else the thread takes them back as it ends
    }
};

TqPipeline::TqPipeline(TqStream* aStream) : mImpl(new Impl(this, aStream)) {
    if (aStream) TqStreamLib::Link(*aStream, *mImpl);
}

TqPipeline::~TqPipeline() {
    Impl& d = *mImpl;
    if (IsStarted()) Stop();
    std::pair<std::thread, std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        threads = d.TakeThreads();   // after a Stop from one of them
    }
    Impl::Join(threads);
    TqStreamLib::Unlink(d);   // waits while the stream is telling the pipeline it goes
    std::vector<TqBuffer*> all;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        all.swap(d.pool);
        d.spare.clear();
        d.queued.clear();
        d.output.clear();
        d.held.clear();
    }
    for (TqBuffer* b : all) d.Delete(b);
    delete mImpl;
}

TqResult TqPipeline::Start() {
    Impl& d = *mImpl;
    const TqResult freed(TQ_STATE_ERROR, TqString("the pipeline's stream was freed"));
    std::unique_lock<std::mutex> guard(d.lock);
    if (d.gone) return freed;
    if (d.started || d.starting) return TqResult(TQ_STATE_ERROR, TqString("the pipeline is started already"));
    if (d.OnOwnThread()) return TqResult(TQ_STATE_ERROR, TqString("the pipeline thread is still ending"));
    const bool automatic = d.size == 0;
    guard.unlock();
    bool open = false;
    uint32_t expected = 0;
    const bool present = d.WithStream([&](TqStream& aStream) {
        open = aStream.IsOpen();
        if (open && automatic) expected = TqStreamLib::ExpectedPayloadSize(aStream);
    });
    guard.lock();
    if (d.gone) return freed;
    if (!present) return TqResult(TQ_STATE_ERROR, TqString("the pipeline has no stream"));
    if (!open) return TqResult(TQ_STATE_ERROR, TqString("the stream is not open"));
    if (d.started || d.starting) return TqResult(TQ_STATE_ERROR, TqString("the pipeline is started already"));
    d.starting = true;
    std::pair<std::thread, std::thread> old = d.TakeThreads();
    guard.unlock();
    Impl::Join(old);   // stopped from inside a callback: they have given their buffers back
    guard.lock();
    // The pool at its count and size (the device's payload size, when automatic) is held against
    // what the process can be given before a buffer is made.
    TqResult affordable = d.Affords(d.count, expected && d.size == 0 ? expected : d.Target());
    guard.unlock();
    if (affordable.IsOK()) affordable = TqNoMemory::Guard([&] {
        d.Grow();
        return TqResult(TQ_OK);
    });
    guard.lock();
    d.starting = false;
    if (d.gone) return freed;   // the stream went meanwhile
    if (!affordable.IsOK()) return affordable;
    if (expected && d.size == 0) d.automaticSize = expected;
    d.lost.reset();
    if (!d.Launch(guard)) return TqResult(TQ_THREAD_ERROR, TqString("no pipeline thread"));
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
    d.pending = 0;
    d.outputReady.notify_all();
    d.changed.notify_all();
    d.announce.notify_all();
    std::pair<std::thread, std::thread> threads;
    if (!d.OnOwnThread()) threads = d.TakeThreads();   // else they end after the callback
    guard.unlock();
    d.WithStream([](TqStream& aStream) { aStream.AbortQueuedBuffers(); });   // wakes the thread's wait
    Impl::Join(threads);
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
    // From inside a callback on the pipeline thread it is between buffers already; else it pauses.
    const bool self = d.OnThread();
    if (!self) d.Pause(guard);
    bool stopped = d.stopRequested;
    guard.unlock();
    if (!stopped) {
        d.WithStream([](TqStream& aStream) { aStream.AbortQueuedBuffers(); });
        d.Drain();
    }
    guard.lock();
    stopped = d.stopRequested;
    while (!d.output.empty()) {
        d.spare.push_back(d.output.front().buffer);
        d.output.pop_front();
    }
    d.pending = 0;
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
    auto ready = [&] { return !d.output.empty() || d.runs != run || d.lost; };
    if (aTimeout == 0xFFFFFFFF)
        d.outputReady.wait(guard, ready);
    else
        d.outputReady.wait_for(guard, std::chrono::milliseconds(aTimeout), ready);
    if (d.runs != run || !d.started) return TqResult(TQ_STATE_ERROR, TqString("the pipeline was stopped"));
    if (d.output.empty()) return d.lost ? *d.lost : TqResult(TQ_TIMEOUT);
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
    // Stopped, the buffers are made by the next Start; running, the thread waits meanwhile (from
    // inside a callback it is waiting already). A count whose pool cannot be had changes nothing.
    const bool running = d.started;
    const bool pause = running && d.threadAlive && !d.OnThread();
    if (pause) d.Pause(guard);
    TqResult result = d.Affords(aBufferCount, d.Target());
    const uint32_t before = d.count;
    if (result.IsOK()) d.count = aBufferCount;
    guard.unlock();
    if (result.IsOK() && running) result = TqNoMemory::Guard([&] {
        d.Grow();
        return TqResult(TQ_OK);
    });
    if (!result.IsOK()) {   // the buffers made before memory ran out go again
        guard.lock();
        d.count = before;
        guard.unlock();
    }
    d.Trim();   // held, ready and queued buffers go when they come back
    if (pause) {
        guard.lock();
        d.Resume();
    }
    return result;
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

TqResult TqPipeline::RegisterEventSink(TqPipelineEventSink* aEventSink) { return mImpl->sinks.Add(aEventSink); }

TqResult TqPipeline::UnregisterEventSink(TqPipelineEventSink* aEventSink) { return mImpl->sinks.Remove(aEventSink); }
