// The memory that calls into event sinks are handed, and the devices alive (internal to the device
// library and the libraries built on it). The calls themselves go through TqSinkList.h.
//
// Reused: objects handed to callbacks (byte blocks, parameter lists). A lease holds one for the
// callback; afterwards it goes back and serves a later callback. Nothing is freed before the pool
// goes (with its device), so what a callback kept past its return reads stale values, never
// freed memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

class TqDevice;

namespace TqDeviceLib {

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
