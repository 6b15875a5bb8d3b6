// The list of registered sinks: a removal returns only once no other thread is inside the removed
// sink (but never waits for a call of its own thread), replacing the one sink waits likewise, sinks
// removed before their turn are skipped, failures are counted, and the calls under way survive the
// list's owner going from inside a callback.
#include "TqSinkList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace {

struct Sink {
    int calls = 0;
};

// A gate a callback waits at until the test opens it.
class Latch {
public:
    void Open() {
        std::lock_guard guard(mLock);
        mOpen = true;
        mWake.notify_all();
    }
    void Wait() {
        std::unique_lock guard(mLock);
        mWake.wait(guard, [&] { return mOpen; });
    }

private:
    std::mutex mLock;
    std::condition_variable mWake;
    bool mOpen = false;
};

constexpr auto kLong = std::chrono::seconds(30);   // a deadline, never a pace
constexpr auto kSettle = std::chrono::milliseconds(100);

TEST(SinkList, RemoveWaitsForACallOnAnotherThread) {
    TqSinkList<Sink> list;
    Sink sink;
    ASSERT_TRUE(list.Add(&sink).IsOK());
    Latch inside, release;
    std::atomic<bool> returned{false};
    std::thread caller([&] {
        list.Each([&](Sink* aSink) {
            inside.Open();
            release.Wait();
            ++aSink->calls;
            returned = true;
        });
    });
    inside.Wait();
    auto removal = std::async(std::launch::async, [&] { return list.Remove(&sink).GetCode(); });
    // The removal is still waiting while the call runs.
    EXPECT_EQ(removal.wait_for(kSettle), std::future_status::timeout);
    EXPECT_FALSE(returned);
    release.Open();
    ASSERT_EQ(removal.wait_for(kLong), std::future_status::ready);
    EXPECT_EQ(removal.get(), uint32_t(TQ_OK));
    EXPECT_TRUE(returned);   // the call had returned before Remove did
    caller.join();
    EXPECT_EQ(sink.calls, 1);
    // Removed, it is called no more; a second removal finds nothing.
    EXPECT_EQ(list.Each([](Sink* aSink) { ++aSink->calls; }), 0u);
    EXPECT_EQ(sink.calls, 1);
    EXPECT_EQ(list.Remove(&sink).GetCode(), uint32_t(TQ_NOT_FOUND));
    EXPECT_EQ(list.Remove(nullptr).GetCode(), uint32_t(TQ_INVALID_PARAMETER));
}

TEST(SinkList, ASinkRemovesItselfAndTheNextFromItsOwnCall) {
    TqSinkList<Sink> list;
    Sink first, second;
    ASSERT_TRUE(list.Add(&first).IsOK());
    ASSERT_TRUE(list.Add(&second).IsOK());
    EXPECT_EQ(list.Add(&first).GetCode(), uint32_t(TQ_GENERIC_ERROR));
    EXPECT_EQ(list.Add(nullptr).GetCode(), uint32_t(TQ_INVALID_PARAMETER));
    std::vector<size_t> places;
    list.Each([&](Sink* aSink, size_t n) {
        places.push_back(n);
        ++aSink->calls;
        // Both removals return at once: the one call under way is this thread's.
        EXPECT_TRUE(list.Remove(&first).IsOK());
        EXPECT_TRUE(list.Remove(&second).IsOK());
    });
    EXPECT_EQ(places, std::vector<size_t>{0});   // the second was removed before its turn
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 0);
    EXPECT_TRUE(list.Empty());
}

TEST(SinkList, AssignWaitsForTheSinkItReplaces) {
    TqSinkList<Sink> list;
    Sink old, fresh;
    list.Assign(&old);
    EXPECT_EQ(list.Snapshot(), std::vector<Sink*>{&old});
    Latch inside, release;
    std::thread caller([&] {
        list.Each([&](Sink*) {
            inside.Open();
            release.Wait();
        });
    });
    inside.Wait();
    auto replacing = std::async(std::launch::async, [&] { list.Assign(&fresh); });
    EXPECT_EQ(replacing.wait_for(kSettle), std::future_status::timeout);
    EXPECT_EQ(list.Snapshot(), std::vector<Sink*>{&fresh});   // already in place, the old one waited for
    release.Open();
    EXPECT_EQ(replacing.wait_for(kLong), std::future_status::ready);
    caller.join();
    list.Assign(nullptr);
    EXPECT_TRUE(list.Empty());
}

TEST(SinkList, FailuresAreCountedAndAFalseAnswerEndsTheRound) {
    TqSinkList<Sink> list;
    Sink a, b, c;
    for (Sink* s : {&a, &b, &c}) ASSERT_TRUE(list.Add(s).IsOK());
    EXPECT_EQ(list.Each([&](Sink* aSink) {
                  ++aSink->calls;
                  if (aSink != &b) throw std::runtime_error("fails");
              }),
              2u);
    EXPECT_EQ(a.calls + b.calls + c.calls, 3);
    list.Each([&](Sink* aSink) { return ++aSink->calls, aSink != &b; });
    EXPECT_EQ(c.calls, 1);   // b answered false
}

// The owner of the list goes from inside a callback: the call returns into live memory and the
// sinks after it are not called.
TEST(SinkList, TheOwnerGoesFromInsideACallback) {
    struct Owner {
        TqSinkList<Sink> sinks;
    };
    auto* owner = new Owner;
    Sink first, second;
    ASSERT_TRUE(owner->sinks.Add(&first).IsOK());
    ASSERT_TRUE(owner->sinks.Add(&second).IsOK());
    owner->sinks.Each([&](Sink* aSink) {
        ++aSink->calls;
        delete owner;
    });
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 0);
}

// The calls of the bare tracker: a removal done under its lock, then the wait, for objects that are
// not in a list.
TEST(SinkCalls, RemovalUnderTheLockThenTheWait) {
    TqSinkCalls calls;
    bool registered = true;
    int object = 0;
    Latch inside, release;
    std::thread caller([&] {
        calls.Run(&object, [&] { return registered; }, [&] {
            inside.Open();
            release.Wait();
        });
    });
    inside.Wait();
    auto removal = std::async(std::launch::async, [&] {
        return calls.Remove(&object, [&] {
            registered = false;
            return TqResult(TQ_OK);
        });
    });
    EXPECT_EQ(removal.wait_for(kSettle), std::future_status::timeout);
    release.Open();
    EXPECT_EQ(removal.wait_for(kLong), std::future_status::ready);
    caller.join();
    EXPECT_EQ(calls.Run(&object, [&] { return registered; }, [] {}), TqSinkCalls::Outcome::kSkipped);
    // A failed removal does not wait.
    EXPECT_EQ(calls.Remove(&object, [] { return TqResult(TQ_NOT_FOUND); }).GetCode(), uint32_t(TQ_NOT_FOUND));
}

}  // namespace
