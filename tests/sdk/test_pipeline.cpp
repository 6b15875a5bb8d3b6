// The buffer pipeline over a real stream from a software device on loopback: frames through the
// output queue, the pool made and deleted in balance as its count changes, which thread calls back,
// the output queue overflowing into PipelineImagesDropped, blocks that outgrow their buffers, and
// callbacks that stop, reset, resize, unregister or throw. Waits are bounded only as deadlock guards.
#include "TqDeviceEngine.h"
#include "TqImage.h"
#include "TqPipeline.h"
#include "TqStream.h"
#include "balanced.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>

using namespace TqEngine;
using namespace std::chrono_literals;

namespace {

// A software device (64x48 Mono8 every 2 ms once acquiring) and a stream open on it.
struct Rig {
    Rig() {
        DeviceConfig c;
        c.width = 64;
        c.height = 48;
        device = std::make_unique<Device>(c);
        EXPECT_TRUE(device->Start());
        device->WriteRegister(Reg::kFramePeriod, 2000);
        EXPECT_TRUE(stream.Open(TqString(FormatAddress(device->Address()).c_str())).IsOK());
    }
    ~Rig() {
        Acquire(false);
        stream.Close();
        device->Stop();
    }
    void Acquire(bool aOn) { device->WriteRegister(aOn ? Reg::kAcquisitionStart : Reg::kAcquisitionStop, 1); }
    int64_t Counter(const char* aName) {
        int64_t value = -1;
        EXPECT_TRUE(stream.GetParameters()->GetIntegerValue(TqString(aName), value).IsOK()) << aName;
        return value;
    }
    std::unique_ptr<Device> device;
    TqStreamGEV stream;
};

bool Eventually(const std::function<bool()>& aDone) {
    for (auto deadline = std::chrono::steady_clock::now() + 10s; !aDone(); std::this_thread::sleep_for(1ms))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

struct Got {
    TqResult call, operation;
    TqBuffer* buffer = nullptr;
};

Got Next(TqPipeline& aPipeline, uint32_t aTimeout = 5000) {
    Got g;
    g.call = aPipeline.RetrieveNextBuffer(&g.buffer, aTimeout, &g.operation);
    return g;
}

std::thread::id OnOtherThread(const std::function<void()>& aCall) {
    std::thread::id id;
    std::thread([&] {
        id = std::this_thread::get_id();
        aCall();
    }).join();
    return id;
}

// Counts each event and the threads it came on, keeps the buffers alive between made and deleted;
// `hook` acts from inside a callback.
struct Recorder : TqPipelineEventSink {
    void OnBufferCreated(TqPipeline* p, TqBuffer* b) override {
        EXPECT_EQ(b->GetSize(), 0u) << "made before its memory";
        Note("created", p, b);
    }
    void OnBufferDeleted(TqPipeline* p, TqBuffer* b) override { Note("deleted", p, b); }
    void OnStart(TqPipeline* p) override { Note("start", p); }
    void OnStop(TqPipeline* p) override { Note("stop", p); }
    void OnReset(TqPipeline* p) override { Note("reset", p); }
    void OnBufferReady(TqPipeline* p) override { Note("ready", p); }
    void OnBufferTooSmall(TqPipeline* p, bool* aReallocAll, bool* aResetStats) override {
        EXPECT_FALSE(*aReallocAll || *aResetStats);
        *aReallocAll = *aResetStats = reallocAndReset;
        Note("small", p);
    }
    void Note(const std::string& aWhat, TqPipeline* aPipeline, TqBuffer* aBuffer = nullptr) {
        {
            std::lock_guard<std::mutex> g(lock);
            calls[aWhat]++;
            threads[aWhat].insert(std::this_thread::get_id());
            EXPECT_TRUE(aWhat != "created" || live.insert(aBuffer).second);
            EXPECT_TRUE(aWhat != "deleted" || live.erase(aBuffer) == 1) << "deleted once, after it was made";
        }
        if (hook) hook(aWhat, aPipeline);
    }
    int Calls(const std::string& aWhat) { std::lock_guard<std::mutex> g(lock); return calls[aWhat]; }
    std::set<std::thread::id> Threads(const std::string& aWhat) { std::lock_guard<std::mutex> g(lock); return threads[aWhat]; }
    size_t Live() { std::lock_guard<std::mutex> g(lock); return live.size(); }

    std::mutex lock;
    std::map<std::string, int> calls;
    std::map<std::string, std::set<std::thread::id>> threads;
    std::set<TqBuffer*> live;
    std::function<void(const std::string&, TqPipeline*)> hook;
    bool reallocAndReset = false;
};

class Pipeline : public Balanced {
protected:
    Pipeline() : Balanced({"TqBuffer", "TqPipeline", "TqPipelineEventSink", "TqStream"}) {}
};

}  // namespace

TEST_F(Pipeline, SettingsSinksAndANullStream) {
    TqPipeline p(nullptr);
    EXPECT_EQ(p.GetBufferCount(), 16u);
    EXPECT_EQ(p.SetBufferCount(3).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(p.SetBufferCount(4).IsOK());
    EXPECT_EQ(p.GetBufferCount(), 4u);
    EXPECT_EQ(p.GetBufferSize(), 0u);
    EXPECT_FALSE(p.GetHandleBufferTooSmall());
    const uint32_t code = p.SetBufferHandlingThreadPriority(20).GetCode();
    EXPECT_TRUE(code == TQ_OK || code == TQ_THREAD_ERROR) << code;
    EXPECT_EQ(p.SetBufferHandlingThreadPriority(100).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(p.GetBufferHandlingThreadPriority(), 20u);   // kept even when refused
    EXPECT_TRUE(p.SetBufferHandlingThreadPriority(0).IsOK());

    EXPECT_EQ(p.Start().GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(p.Stop().GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(p.Reset().GetCode(), TQ_STATE_ERROR);
    TqBuffer* b = reinterpret_cast<TqBuffer*>(1);
    EXPECT_EQ(p.RetrieveNextBuffer(&b, 0).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(p.RetrieveNextBuffer(nullptr, 0).GetCode(), TQ_INVALID_PARAMETER);
    TqBuffer foreign;
    EXPECT_EQ(p.ReleaseBuffer(nullptr).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(p.ReleaseBuffer(&foreign).GetCode(), TQ_INVALID_PARAMETER);

    Recorder sink;
    EXPECT_EQ(p.RegisterEventSink(nullptr).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(p.RegisterEventSink(&sink).IsOK());
    EXPECT_EQ(p.RegisterEventSink(&sink).GetCode(), TQ_GENERIC_ERROR);
    EXPECT_TRUE(p.UnregisterEventSink(&sink).IsOK());
    EXPECT_EQ(p.UnregisterEventSink(&sink).GetCode(), TQ_NOT_FOUND);
    TqPipelineEventSink plain;   // the defaults write through no pointer
    bool all = false, stats = true;
    plain.OnBufferTooSmall(&p, &all, &stats);
    plain.OnBufferTooSmall(&p, nullptr, nullptr);
    EXPECT_TRUE(!all && stats);
}

TEST_F(Pipeline, FramesFlowThroughTheOutputQueue) {
    Rig rig;
    TqPipeline p(&rig.stream);
    ASSERT_TRUE(p.Start().IsOK());
    EXPECT_EQ(p.Start().GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(Next(p, 0).call.GetCode(), TQ_TIMEOUT);   // not acquiring: at once
    rig.Acquire(true);
    TqBuffer* kept = Next(p).buffer;
    uint16_t previous = 0;
    for (int i = 0; i < 20; ++i) {
        Got g = Next(p);
        ASSERT_TRUE(g.call.IsOK()) << g.call.GetCode();
        EXPECT_EQ(g.operation.GetCode(), TQ_OK);
        EXPECT_EQ(g.buffer->GetSize(), 64u * 1024);   // automatic: the first size
        EXPECT_EQ(g.buffer->GetImage()->GetWidth(), 64u);
        EXPECT_GT(uint16_t(g.buffer->GetBlockID()), previous);
        previous = uint16_t(g.buffer->GetBlockID());
        EXPECT_TRUE(p.ReleaseBuffer(g.buffer).IsOK());
        EXPECT_EQ(p.ReleaseBuffer(g.buffer).GetCode(), TQ_INVALID_PARAMETER);
    }
    TqBuffer* b = nullptr;
    ASSERT_TRUE(p.RetrieveNextBuffer(&b).IsOK());   // no operation result asked for
    EXPECT_TRUE(p.ReleaseBuffer(b).IsOK());
    const uint32_t code = p.SetBufferHandlingThreadPriority(10).GetCode();   // the running thread's
    EXPECT_TRUE(code == TQ_OK || code == TQ_THREAD_ERROR) << code;
    EXPECT_TRUE(p.SetBufferHandlingThreadPriority(0).IsOK());

    ASSERT_TRUE(p.Stop().IsOK());
    EXPECT_EQ(p.Stop().GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(p.Reset().GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(p.GetOutputQueueSize(), 0u);
    EXPECT_EQ(rig.stream.GetQueuedBufferCount(), 0u);   // every buffer taken back
    EXPECT_TRUE(p.ReleaseBuffer(kept).IsOK());           // held across the stop

    // Started again; a retrieve waiting forever is ended by Stop.
    ASSERT_TRUE(p.Start().IsOK());
    rig.Acquire(false);
    std::atomic<uint32_t> waited{0};
    std::thread waiter([&] {
        TqResult r;
        while ((r = p.RetrieveNextBuffer(&b)).IsOK()) p.ReleaseBuffer(b);
        waited = r.GetCode();
    });
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(p.Stop().IsOK());
    waiter.join();
    EXPECT_EQ(waited.load(), TQ_STATE_ERROR);

    // The stream closed under a running pipeline: it waits for nothing, and stops cleanly.
    ASSERT_TRUE(p.Start().IsOK());
    rig.stream.Close();
    EXPECT_EQ(Next(p, 50).call.GetCode(), TQ_TIMEOUT);
    EXPECT_TRUE(p.Stop().IsOK());
    EXPECT_EQ(p.Start().GetCode(), TQ_STATE_ERROR);
}

TEST_F(Pipeline, CallbackThreadsAndBuffersBalanceAsTheCountChangesWhileRunning) {
    Rig rig;
    Recorder sink;
    std::atomic<bool> resize{false};
    sink.hook = [&](const std::string& aWhat, TqPipeline* a) {
        EXPECT_TRUE(aWhat != "start" || a->IsStarted());
        if (aWhat == "ready" && resize.exchange(false)) {
            EXPECT_TRUE(a->SetBufferCount(6).IsOK());   // on the pipeline thread
        }
        if (aWhat != "reset") return;
        EXPECT_EQ(a->Reset().GetCode(), TQ_STATE_ERROR);   // one reset at a time
        EXPECT_EQ(a->GetOutputQueueSize(), 0u);
        EXPECT_EQ(rig.stream.GetQueuedBufferCount(), 0u);   // everything came back before the fresh set
    };
    {
        TqPipeline p(&rig.stream);
        ASSERT_TRUE(p.RegisterEventSink(&sink).IsOK());
        const std::thread::id starter = OnOtherThread([&] { EXPECT_TRUE(p.Start().IsOK()); });
        EXPECT_EQ(sink.Threads("start"), std::set<std::thread::id>{starter});
        EXPECT_EQ(sink.Threads("created"), std::set<std::thread::id>{starter});
        EXPECT_EQ(sink.Live(), 16u);
        rig.Acquire(true);
        auto consume = [&](int aFrames) {
            for (int i = 0; i < aFrames; ++i) {
                Got g = Next(p);
                ASSERT_TRUE(g.call.IsOK());
                EXPECT_NE(g.operation.GetCode(), TQ_ABORTED);
                EXPECT_TRUE(p.ReleaseBuffer(g.buffer).IsOK());
            }
        };
        std::vector<TqBuffer*> held{Next(p).buffer, Next(p).buffer, Next(p).buffer};
        ASSERT_TRUE(p.SetBufferCount(24).IsOK());
        EXPECT_EQ(sink.Live(), 24u);
        consume(10);
        // Shrinking deletes spare buffers at once, the others as they come back.
        ASSERT_TRUE(p.SetBufferCount(4).IsOK());
        for (TqBuffer* b : held) EXPECT_TRUE(p.ReleaseBuffer(b).IsOK());
        for (int i = 0; i < 1000 && sink.Live() > 4; ++i) consume(1);
        EXPECT_EQ(sink.Live(), 4u);
        resize = true;
        for (int i = 0; i < 1000 && sink.Live() < 6; ++i) consume(1);
        EXPECT_EQ(sink.Live(), 6u);

        const std::thread::id resetter = OnOtherThread([&] { EXPECT_TRUE(p.Reset().IsOK()); });
        EXPECT_EQ(sink.Threads("reset"), std::set<std::thread::id>{resetter});
        consume(10);   // the buffers the reset aborted never reach the application
        const std::thread::id stopper = OnOtherThread([&] { EXPECT_TRUE(p.Stop().IsOK()); });
        EXPECT_EQ(sink.Threads("stop"), std::set<std::thread::id>{stopper});

        const std::set<std::thread::id> ready = sink.Threads("ready");
        ASSERT_EQ(ready.size(), 1u);   // the pipeline's announcer, nobody else
        const std::thread::id worker = *ready.begin(), main = std::this_thread::get_id();
        EXPECT_TRUE(worker != main && worker != starter && worker != resetter && worker != stopper);
        EXPECT_TRUE(sink.Threads("created").count(worker));   // the two made from inside the callback
        // Deleted where released (main), by the callback, or by the pipeline thread as they come back.
        std::set<std::thread::id> others;
        for (const std::thread::id& t : sink.Threads("deleted"))
            if (t != main && t != worker) others.insert(t);
        EXPECT_LE(others.size(), 1u);
        EXPECT_TRUE(!others.count(starter) && !others.count(resetter) && !others.count(stopper));
    }
    EXPECT_TRUE(sink.live.empty());
    EXPECT_EQ(sink.Calls("created"), 16 + 8 + 2);
}

TEST_F(Pipeline, ASlowConsumerLosesTheOldestFrames) {
    Rig rig;
    TqPipeline p(&rig.stream);
    ASSERT_TRUE(p.SetBufferCount(4).IsOK());
    ASSERT_TRUE(p.Start().IsOK());
    rig.Acquire(true);
    ASSERT_TRUE(Eventually([&] { return rig.Counter("PipelineImagesDropped") >= 5; }));
    EXPECT_LE(p.GetOutputQueueSize(), 4u);
    rig.Acquire(false);
    const int64_t dropped = rig.Counter("PipelineImagesDropped");
    Got g = Next(p, 0);
    ASSERT_TRUE(g.call.IsOK());
    EXPECT_GT(g.buffer->GetBlockID(), uint64_t(dropped));   // blocks count from 1; each drop was older
    for (uint64_t previous = g.buffer->GetBlockID(); (g = Next(p, 100)).call.IsOK(); previous = g.buffer->GetBlockID())
        EXPECT_GT(g.buffer->GetBlockID(), previous);
}

TEST_F(Pipeline, BlocksThatOutgrowTheirBuffers) {
    constexpr uint32_t kWide = 2048 * 48;
    // Automatic without and with handling, then a fixed size without and with it.
    for (uint32_t fixed : {0u, 4096u}) {
        for (bool handle : {false, true}) {
            SCOPED_TRACE(std::to_string(fixed) + (handle ? " handled" : " handed out"));
            Rig rig;
            Recorder sink;
            sink.reallocAndReset = fixed != 0;
            TqPipeline p(&rig.stream);
            p.RegisterEventSink(&sink);
            p.SetBufferCount(4);
            p.SetBufferSize(fixed);
            p.SetHandleBufferTooSmall(handle);
            ASSERT_TRUE(p.Start().IsOK());
            ASSERT_EQ(rig.device->WriteRegister(Reg::kWidth, 2048), 0);
            rig.Acquire(true);
            int small = 0;
            Got g;
            for (int i = 0; i < 200 && (g = Next(p)).call.IsOK() && g.operation.GetCode() != TQ_OK; ++i) {
                if (g.operation.GetCode() == TQ_BUFFER_TOO_SMALL) {
                    small++;
                    EXPECT_EQ(g.buffer->GetRequiredSize(), kWide);
                    EXPECT_EQ(g.buffer->GetSize(), fixed ? fixed : 64u * 1024);
                }
                p.ReleaseBuffer(g.buffer);
                if (fixed && !handle && small == 20) break;   // a fixed size stays too small
            }
            ASSERT_TRUE(g.call.IsOK());
            EXPECT_EQ(p.GetBufferSize(), fixed);
            EXPECT_EQ(sink.Calls("small") > 0, handle);
            if (fixed && !handle) {
                EXPECT_GE(rig.Counter("BlocksBufferTooSmall"), 20);
                continue;
            }
            EXPECT_EQ(g.operation.GetCode(), TQ_OK);
            EXPECT_EQ(g.buffer->GetSize(), kWide);   // the blocks' size became the pool's
            if (handle) {
                EXPECT_EQ(small, 0);   // handled blocks never reach the output queue
            } else {
                // Each too-small block went out like any other, unless the output queue gave it
                // up as one of its oldest while this thread fell behind (a loaded machine): they
                // all came before the first block in a buffer of the new size.
                const int64_t tooSmall = rig.Counter("BlocksBufferTooSmall");
                EXPECT_GT(tooSmall, 0);
                EXPECT_GE(small + rig.Counter("PipelineImagesDropped"), tooSmall);
            }
            if (handle) {   // the pipeline thread asks, the announcer tells: one thread each
                ASSERT_TRUE(Eventually([&] { return sink.Calls("ready") > 0; }));
                EXPECT_EQ(sink.Threads("small").size(), 1u);
                EXPECT_EQ(sink.Threads("ready").size(), 1u);
                EXPECT_NE(sink.Threads("small"), sink.Threads("ready"));
                EXPECT_EQ(sink.Threads("small").count(std::this_thread::get_id()), 0u);
            }
            // The sink of the fixed size had the statistics reset after each block it was told of.
            EXPECT_EQ(rig.Counter("BlocksBufferTooSmall") == 0, fixed != 0);
        }
    }
}

TEST_F(Pipeline, StopFromInsideACallbackEndsTheThreadAfterIt) {
    Rig rig;
    Recorder sink;
    std::atomic<bool> stopped{false};
    TqResult inside;
    bool stillStarted = true;
    sink.hook = [&](const std::string& aWhat, TqPipeline* a) {
        if (aWhat != "ready" || stopped) return;
        inside = a->Stop();
        stillStarted = a->IsStarted();
        stopped = true;
    };
    rig.Acquire(true);
    {
        TqPipeline p(&rig.stream);
        p.RegisterEventSink(&sink);
        ASSERT_TRUE(p.Start().IsOK());
        ASSERT_TRUE(Eventually([&] { return stopped.load(); }));
        EXPECT_TRUE(inside.IsOK());
        EXPECT_FALSE(stillStarted);
        EXPECT_EQ(sink.Threads("stop"), sink.Threads("ready"));
        EXPECT_EQ(Next(p, 0).call.GetCode(), TQ_STATE_ERROR);
        EXPECT_EQ(p.Stop().GetCode(), TQ_STATE_ERROR);
        ASSERT_TRUE(p.Start().IsOK());   // once the old thread has ended
        EXPECT_TRUE(Next(p).call.IsOK());
    }   // destroyed running: stopped first
    EXPECT_EQ(sink.Calls("stop"), 2);
    EXPECT_TRUE(sink.live.empty());
    EXPECT_EQ(rig.stream.GetQueuedBufferCount(), 0u);

    stopped = false;   // destroyed right after a stop from inside: the destructor waits for the thread
    auto p = std::make_unique<TqPipeline>(&rig.stream);
    p->RegisterEventSink(&sink);
    ASSERT_TRUE(p->Start().IsOK());
    ASSERT_TRUE(Eventually([&] { return stopped.load(); }));
    p.reset();
    EXPECT_TRUE(sink.live.empty());
}

namespace {
struct Thrower : TqPipelineEventSink {
    void OnBufferCreated(TqPipeline*, TqBuffer*) override { throw std::runtime_error("created"); }
    void OnBufferDeleted(TqPipeline*, TqBuffer*) override { throw 1; }
    void OnStart(TqPipeline*) override { throw std::runtime_error("start"); }
    void OnStop(TqPipeline*) override { throw std::runtime_error("stop"); }
    void OnBufferReady(TqPipeline*) override { throw std::runtime_error("ready"); }
};
}  // namespace

TEST_F(Pipeline, SinksMayUnregisterFromInsideAndThrow) {
    Rig rig;
    Thrower thrower;
    Recorder leaver, counter, blocker;
    TqResult left;
    leaver.hook = [&](const std::string& aWhat, TqPipeline* a) {
        if (aWhat == "ready") left = a->UnregisterEventSink(&leaver);
    };
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, release = false;
    std::atomic<bool> finished{false};
    blocker.hook = [&](const std::string& aWhat, TqPipeline*) {
        std::unique_lock<std::mutex> l(m);
        if (aWhat != "ready" || entered) return;
        entered = true;
        cv.notify_all();
        cv.wait_for(l, 10s, [&] { return release; });
        finished = true;
    };
    TqPipeline p(&rig.stream);
    for (TqPipelineEventSink* s : std::initializer_list<TqPipelineEventSink*>{&thrower, &leaver, &counter})
        ASSERT_TRUE(p.RegisterEventSink(s).IsOK());
    ASSERT_TRUE(p.Start().IsOK());
    rig.Acquire(true);
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(p.ReleaseBuffer(Next(p).buffer).IsOK());
    EXPECT_TRUE(left.IsOK());
    EXPECT_EQ(leaver.Calls("ready"), 1);
    EXPECT_EQ(counter.Calls("start"), 1);
    EXPECT_EQ(counter.Live(), 16u);

    // Unregistering from another thread waits for the sink's callback, which holds no pipeline lock.
    ASSERT_TRUE(p.RegisterEventSink(&blocker).IsOK());
    {
        std::unique_lock<std::mutex> l(m);
        ASSERT_TRUE(cv.wait_for(l, 10s, [&] { return entered; }));
    }
    EXPECT_TRUE(p.IsStarted());
    Got g = Next(p, 0);   // the buffer announced may have been taken already
    EXPECT_TRUE(g.call.IsOK() ? p.ReleaseBuffer(g.buffer).IsOK() : g.call.GetCode() == TQ_TIMEOUT);
    TqResult unregistered;
    bool finishedFirst = false;
    std::thread u([&] {
        unregistered = p.UnregisterEventSink(&blocker);
        finishedFirst = finished;
    });
    std::this_thread::sleep_for(20ms);
    {
        std::lock_guard<std::mutex> l(m);
        release = true;
    }
    cv.notify_all();
    u.join();
    EXPECT_TRUE(unregistered.IsOK());
    EXPECT_TRUE(finishedFirst);
    EXPECT_TRUE(p.Stop().IsOK());
    EXPECT_EQ(counter.Calls("stop"), 1);
}

// The stream destroyed under a running pipeline, from the application's thread, from inside
// OnBufferReady (the announcer) and from inside OnBufferTooSmall (the pipeline thread): the pipeline
// stops first, takes its buffers back and refuses to start again; a held buffer may still be
// released, and the pipeline goes later without touching the stream.
TEST_F(Pipeline, AStreamDestroyedUnderARunningPipelineStopsItFirst) {
    for (const char* where : {"caller", "ready", "small"}) {
        SCOPED_TRACE(where);
        Rig rig;
        rig.stream.Close();   // gives the device back for a stream of the test's own
        auto owned = std::make_unique<TqStreamGEV>();
        ASSERT_TRUE(owned->Open(TqString(FormatAddress(rig.device->Address()).c_str())).IsOK());
        TqStream* stream = owned.release();
        Recorder sink;
        std::atomic<bool> freed{false};
        std::atomic<TqStream*> doomed{stream};
        sink.hook = [&](const std::string& aWhat, TqPipeline* a) {
            if (aWhat != where) return;
            if (TqStream* s = doomed.exchange(nullptr)) {
                delete s;
                EXPECT_FALSE(a->IsStarted());
                EXPECT_EQ(a->Start().GetCode(), TQ_STATE_ERROR);
                freed = true;
            }
        };
        auto p = std::make_unique<TqPipeline>(stream);
        ASSERT_TRUE(p->RegisterEventSink(&sink).IsOK());
        p->SetBufferCount(6);
        p->SetBufferSize(64 * 48);
        p->SetHandleBufferTooSmall(true);
        ASSERT_TRUE(p->Start().IsOK());
        rig.Acquire(true);
        Got held = Next(*p);
        ASSERT_TRUE(held.call.IsOK());
        if (std::string(where) == "small") p->SetBufferSize(512);   // re-queued buffers shrink below the blocks
        if (std::string(where) == "caller") {
            delete doomed.exchange(nullptr);
            freed = true;
        }
        ASSERT_TRUE(Eventually([&] { return freed.load(); }));
        EXPECT_FALSE(p->IsStarted());
        EXPECT_EQ(sink.Calls("stop"), 1);
        EXPECT_EQ(p->Start().GetCode(), TQ_STATE_ERROR);
        EXPECT_EQ(p->Stop().GetCode(), TQ_STATE_ERROR);
        EXPECT_EQ(p->Reset().GetCode(), TQ_STATE_ERROR);
        EXPECT_EQ(Next(*p, 0).call.GetCode(), TQ_STATE_ERROR);
        EXPECT_TRUE(p->ReleaseBuffer(held.buffer).IsOK());
        EXPECT_TRUE(p->SetBufferCount(4).IsOK());   // the spare surplus goes at once
        EXPECT_EQ(sink.Live(), 4u);
        p.reset();
        EXPECT_TRUE(sink.live.empty());
        EXPECT_EQ(sink.Calls("stop"), 1);
    }
}
