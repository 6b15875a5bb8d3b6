// Calls into objects the application registers with an SDK object (event sinks and the like), and
// their unregistration (internal to the stand-in SDK).
//
// TqSinkCalls: each call is made with no lock held, and only while its object is still registered
// when its turn comes; what it throws is dropped (and counted). An unregistration waits until the
// calls into that object under way on other threads have returned, so that the application may
// destroy the object once it returns; a call on the unregistering thread itself (an object that
// unregisters itself, or another, from inside its own callback) is not waited for.
//
// TqSinkList<Sink>: the registered sinks in their order (each at most once, null refused) over one
// TqSinkCalls. The list's state is shared with the calls under way: a sink that destroys the list's
// owner from its callback returns into memory that still lives, and the sinks after it are not
// called (their registrations went with the list).
#pragma once

#include "TqResult.h"
#include "TqResultCodes.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

class TqSinkCalls {
public:
    enum class Outcome { kSkipped, kReturned, kThrew };

    // Calls aCall(), as a call into aObject, when aRegistered() holds; aRegistered runs under the lock
    // that Remove removes registrations under.
    template <class Registered, class Call>
    Outcome Run(const void* aObject, Registered aRegistered, Call aCall) {
        const std::pair<const void*, std::thread::id> mine(aObject, std::this_thread::get_id());
        {
            std::lock_guard<std::mutex> guard(mLock);
            if (!aRegistered()) return Outcome::kSkipped;
            mRunning.push_back(mine);
        }
        Outcome outcome = Outcome::kReturned;
        try {
            aCall();
        } catch (...) {
            outcome = Outcome::kThrew;   // the object's failure is its own
        }
        std::lock_guard<std::mutex> guard(mLock);
        mRunning.erase(std::find(mRunning.begin(), mRunning.end(), mine));
        mDone.notify_all();   // under the lock: a waiter that wakes may destroy this at once
        return outcome;
    }

    // Calls aCall(object) for each of aObjects that aRegistered(object) still confirms when its turn
    // comes. The number of calls that threw.
    template <class Object, class Registered, class Call>
    size_t Each(const std::vector<Object*>& aObjects, Registered aRegistered, Call aCall) {
        size_t threw = 0;
        for (Object* object : aObjects)
            if (Run(object, [&] { return aRegistered(object); }, [&] { aCall(object); }) == Outcome::kThrew) ++threw;
        return threw;
    }

    // Runs aRemove under the lock that registrations are checked under (no call into aObject starts
    // after it), then, when it succeeded, waits for the calls into aObject on other threads.
    template <class Removal>
    TqResult Remove(const void* aObject, Removal aRemove) {
        std::unique_lock<std::mutex> lock(mLock);
        TqResult result = aRemove();
        if (result.IsFailure()) return result;
        WaitLocked(lock, aObject);
        return result;
    }

    // Waits until no call into aObject is under way on another thread.
    void Wait(const void* aObject) {
        std::unique_lock<std::mutex> lock(mLock);
        WaitLocked(lock, aObject);
    }

    // Runs aUse under the lock that registrations are checked under.
    template <class Use>
    auto Locked(Use aUse) {
        std::lock_guard<std::mutex> guard(mLock);
        return aUse();
    }

private:
    void WaitLocked(std::unique_lock<std::mutex>& aLock, const void* aObject) {
        const std::thread::id self = std::this_thread::get_id();
        mDone.wait(aLock, [&] {
            return std::none_of(mRunning.begin(), mRunning.end(),
                                [&](const auto& aCall) { return aCall.first == aObject && aCall.second != self; });
        });
    }

    std::mutex mLock;
    std::condition_variable mDone;
    std::vector<std::pair<const void*, std::thread::id>> mRunning;   // (object, thread) of the calls under way
};

template <class Sink>
class TqSinkList {
public:
    TqSinkList() : mState(std::make_shared<State>()) {}
    // The sinks are registered no more; calls under way are not waited for.
    ~TqSinkList() {
        mState->calls.Locked([&] { mState->sinks.clear(); });
    }
    TqSinkList(const TqSinkList&) = delete;
    TqSinkList& operator=(const TqSinkList&) = delete;

    TqResult Add(Sink* aSink) {
        if (!aSink) return TqResult(TQ_INVALID_PARAMETER);
        return mState->calls.Locked([&] {
            auto& sinks = mState->sinks;
            if (std::find(sinks.begin(), sinks.end(), aSink) != sinks.end())
                return TqResult(TQ_GENERIC_ERROR, TqString("event sink already registered"));
            sinks.push_back(aSink);
            return TqResult(TQ_OK);
        });
    }

    // Once it returns, the sink is called no more and no call into it runs on another thread.
    TqResult Remove(Sink* aSink) {
        if (!aSink) return TqResult(TQ_INVALID_PARAMETER);
        return mState->calls.Remove(aSink, [&] {
            auto& sinks = mState->sinks;
            const auto it = std::find(sinks.begin(), sinks.end(), aSink);
            if (it == sinks.end()) return TqResult(TQ_NOT_FOUND);
            sinks.erase(it);
            return TqResult(TQ_OK);
        });
    }

    // The list holds aSink alone (nothing for null); the sinks it held before are waited for as
    // Remove waits for its sink.
    void Assign(Sink* aSink) {
        std::vector<Sink*> before = mState->calls.Locked([&] {
            std::vector<Sink*> replaced;
            replaced.swap(mState->sinks);
            if (aSink) mState->sinks.push_back(aSink);
            return replaced;
        });
        for (Sink* sink : before)
            if (sink != aSink) mState->calls.Wait(sink);
    }

    std::vector<Sink*> Snapshot() const {
        return mState->calls.Locked([&] { return mState->sinks; });
    }
    bool Empty() const {
        return mState->calls.Locked([&] { return mState->sinks.empty(); });
    }

    // Calls aCall(sink) for each sink of aSinks (by default the sinks registered now) that is still
    // registered when its turn comes; aCall(sink, n) gets n, the sink's place in aSinks, too. A call
    // that answers false (when aCall answers a bool) ends the round. The number of calls that threw.
    template <class Call>
    size_t Each(Call aCall) const {
        return Each(Snapshot(), std::move(aCall));
    }
    template <class Call>
    size_t Each(const std::vector<Sink*>& aSinks, Call aCall) const {
        const std::shared_ptr<State> state = mState;   // lives until the calls have returned
        size_t threw = 0;
        for (size_t n = 0; n < aSinks.size(); ++n) {
            Sink* const sink = aSinks[n];
            bool going = true;
            const auto registered = [&] {
                return std::find(state->sinks.begin(), state->sinks.end(), sink) != state->sinks.end();
            };
            const auto call = [&] {
                if constexpr (std::is_invocable_v<Call&, Sink*, size_t>)
                    Answer(going, [&] { return aCall(sink, n); });
                else
                    Answer(going, [&] { return aCall(sink); });
            };
            if (state->calls.Run(sink, registered, call) == TqSinkCalls::Outcome::kThrew) ++threw;
            if (!going) break;
        }
        return threw;
    }

private:
    struct State {
        TqSinkCalls calls;
        std::vector<Sink*> sinks;   // under the calls' lock
    };

    template <class Call>
    static void Answer(bool& aGoing, Call aCall) {
        if constexpr (std::is_same_v<decltype(aCall()), bool>)
            aGoing = aCall();
        else
            aCall();
    }

    std::shared_ptr<State> mState;
};
