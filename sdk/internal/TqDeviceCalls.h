// Calls into event sinks and the memory they are handed (internal to the device library and the
// libraries built on it).
//
// SinkCalls: calls sinks without any lock held, drops what they throw, and lets an unregistration
// wait until the calls of that sink in progress on other threads have returned (a sink may
// unregister itself, or another, from inside its own callback: that call is not waited for).
//
// Reused: objects handed to callbacks (byte blocks, parameter lists). A lease holds one for the
// callback; afterwards it goes back and serves a later callback. Nothing is freed before the pool
// goes (with its device), so what a callback kept past its return reads stale values, never
// freed memory.
#pragma once

#include "TqResult.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

class TqDevice;

namespace TqDeviceLib {

class SinkCalls {
public:
    // Calls aCall(sink) for each of aSinks that aRegistered(sink) still confirms when its turn comes.
    template <class Sink, class Registered, class Call>
    void Each(const std::vector<Sink*>& aSinks, Registered aRegistered, Call aCall) {
        const std::thread::id self = std::this_thread::get_id();
        for (Sink* sink : aSinks) {
            {
                std::lock_guard<std::mutex> guard(mLock);
                if (!aRegistered(sink)) continue;
                mRunning.emplace_back(static_cast<const void*>(sink), self);
            }
            try {
                aCall(sink);
            } catch (...) {
                // a sink that throws counts as told; the others still are
            }
            {
                std::lock_guard<std::mutex> guard(mLock);
                auto it = std::find(mRunning.begin(), mRunning.end(), std::make_pair(static_cast<const void*>(sink), self));
                if (it != mRunning.end()) mRunning.erase(it);
            }
            mDone.notify_all();
        }
    }

    // Runs aRemove under the lock that Each checks registrations under (no call of the sink starts
    // after it), then, when it succeeded, waits for the sink's calls on other threads.
    template <class Removal>
    TqResult Remove(const void* aSink, Removal aRemove) {
        std::unique_lock<std::mutex> lock(mLock);
        TqResult result = aRemove();
        if (result.IsFailure()) return result;
        const std::thread::id self = std::this_thread::get_id();
        mDone.wait(lock, [&] {
            return std::none_of(mRunning.begin(), mRunning.end(),
                                [&](const auto& r) { return r.first == aSink && r.second != self; });
        });
        return result;
    }

private:
    std::mutex mLock;
    std::condition_variable mDone;
    std::vector<std::pair<const void*, std::thread::id>> mRunning;   // (sink, thread) of calls under way
};

template <class Item>
class Reused {
    struct Slot {
        std::unique_ptr<Item> item;
        size_t size = 0;
        bool busy = false;
    };

public:
    class Lease {
    public:
        Lease(Reused* aPool, Slot* aSlot) : mPool(aPool), mSlot(aSlot) {}
        Lease(Lease&& aOther) noexcept : mPool(aOther.mPool), mSlot(std::exchange(aOther.mSlot, nullptr)) {}
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() {
            if (!mSlot) return;
            std::lock_guard<std::mutex> guard(mPool->mLock);
            mSlot->busy = false;
        }
        Item& operator*() const { return *mSlot->item; }
        Item* operator->() const { return mSlot->item.get(); }

    private:
        Reused* mPool;
        Slot* mSlot;
    };

    // A free item of at least aSize (the smallest there is), or a new one from aMake(size).
    template <class Make>
    Lease Take(size_t aSize, Make aMake) {
        std::lock_guard<std::mutex> guard(mLock);
        Slot* best = nullptr;
        for (auto& slot : mSlots)
            if (!slot->busy && slot->size >= aSize && (!best || slot->size < best->size)) best = slot.get();
        if (!best) {
            size_t size = 64;
            while (size < aSize) size *= 2;
            auto slot = std::make_unique<Slot>();
            slot->item = aMake(size);
            slot->size = size;
            best = slot.get();
            mSlots.push_back(std::move(slot));
        }
        best->busy = true;
        return Lease(this, best);
    }

private:
    std::mutex mLock;
    std::vector<std::unique_ptr<Slot>> mSlots;
};

// Devices alive in the process, each with a number of its own (never reused): an object that holds
// a device pointer can tell whether its device still lives before touching it.
uint64_t DeviceSerial(TqDevice* aDevice);   // 0 when the device is not alive
// Runs aUse while the device of that serial number lives (it cannot go meanwhile); false when it
// does not.
bool WithLiveDevice(TqDevice* aDevice, uint64_t aSerial, const std::function<void()>& aUse);

}  // namespace TqDeviceLib
