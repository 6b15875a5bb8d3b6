// The memory of sent blocks' payloads (Payload, PayloadPool): mappings of the engine's own, which
// touch nothing else. A payload of PayloadPool::kOwnMapping bytes or more, or one without a pool, has
// a mapping of its own; a smaller one lies in a slab of its channel's pool. Spares keep their memory
// from block to block, regions given back are taken again by size, and a slab goes when its last
// payload goes: once a device stopped (its histories and spares let go), nothing of them stays mapped.
#include "TqEngineImpl.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KIVO_POISON(at, size) ASAN_POISON_MEMORY_REGION(at, size)
#define KIVO_UNPOISON(at, size) ASAN_UNPOISON_MEMORY_REGION(at, size)
#else
#define KIVO_POISON(at, size) ((void)(at), (void)(size))
#define KIVO_UNPOISON(at, size) ((void)(at), (void)(size))
#endif

namespace TqEngine {

namespace {

constexpr size_t kPage = 4096;
constexpr size_t kAlignment = 64;
static_assert(PayloadPool::kOwnMapping < PayloadPool::kSlabBytes, "whatever a slab holds fits a fresh one");

std::atomic<uint64_t> gMapped{0};

uint8_t* Map(size_t aBytes) {
    void* at = ::mmap(nullptr, aBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) return nullptr;
    gMapped += aBytes;
    return static_cast<uint8_t*>(at);
}

void Unmap(uint8_t* aAt, size_t aBytes) {
    ::munmap(aAt, aBytes);
    gMapped -= aBytes;
}

}  // namespace

uint64_t PayloadMemoryMapped() { return gMapped.load(); }

// kSlabBytes mapped, carved from the start; the regions given back, by capacity.
struct PayloadPool::Slab {
    uint8_t* base = nullptr;
    size_t used = 0;
    size_t live = 0;   // regions payloads hold
    std::vector<std::pair<size_t, std::vector<uint8_t*>>> free;
};

PayloadPool::~PayloadPool() {
    // Every payload holds its pool: none is left here.
    for (Slab* slab : mSlabs) {
        KIVO_UNPOISON(slab->base, kSlabBytes);
        Unmap(slab->base, kSlabBytes);
        delete slab;
    }
}

uint8_t* PayloadPool::Take(size_t aSize, size_t& aCapacity, void*& aSlab) {
    const size_t size = (aSize + kAlignment - 1) & ~(kAlignment - 1);
    std::lock_guard guard(mLock);
    uint8_t* region = nullptr;
    Slab* holder = nullptr;
    for (auto slab = mSlabs.rbegin(); slab != mSlabs.rend() && !region; ++slab) {
        for (auto& [capacity, regions] : (*slab)->free) {
            if (capacity != size || regions.empty()) continue;
            region = regions.back();
            regions.pop_back();
            holder = *slab;
            break;
        }
    }
    if (!region) {
        if (mSlabs.empty() || mSlabs.back()->used + size > kSlabBytes) {
            // A full slab lives on while payloads of it do; it goes with the last of them.
            uint8_t* base = Map(kSlabBytes);
            Slab* fresh = base ? new (std::nothrow) Slab : nullptr;
            try {
                if (fresh) fresh->base = base;
                if (fresh) mSlabs.push_back(fresh);
            } catch (const std::bad_alloc&) {
                delete fresh;
                fresh = nullptr;
            }
            if (!fresh) {
                if (base) Unmap(base, kSlabBytes);
                return nullptr;
            }
            KIVO_POISON(base, kSlabBytes);
        }
        holder = mSlabs.back();
        region = holder->base + holder->used;
        holder->used += size;
    }
    ++holder->live;
    aCapacity = size;
    aSlab = holder;
    KIVO_UNPOISON(region, size);
    return region;
}

void PayloadPool::Give(uint8_t* aBytes, size_t aCapacity, void* aSlab) {
    auto* slab = static_cast<Slab*>(aSlab);
    {
        std::lock_guard guard(mLock);
        KIVO_POISON(aBytes, aCapacity);
        if (--slab->live != 0) {
            try {
                auto bucket = std::find_if(slab->free.begin(), slab->free.end(),
                                           [&](const auto& aBucket) { return aBucket.first == aCapacity; });
                if (bucket == slab->free.end()) bucket = slab->free.insert(slab->free.end(), {aCapacity, {}});
                bucket->second.push_back(aBytes);
            } catch (const std::bad_alloc&) {
                // Not taken again: the region goes with its slab.
            }
            return;
        }
        mSlabs.erase(std::find(mSlabs.begin(), mSlabs.end(), slab));
    }
    KIVO_UNPOISON(slab->base, kSlabBytes);   // whatever is mapped there next starts clean
    Unmap(slab->base, kSlabBytes);
    delete slab;
}

size_t PayloadPool::Slabs() const {
    std::lock_guard guard(mLock);
    return mSlabs.size();
}

uint8_t* Payload::Reserve(size_t aSize) {
    if (aSize <= capacity) return bytes;
    Release();
    if (pool && aSize < PayloadPool::kOwnMapping) {
        bytes = pool->Take(aSize, capacity, slab);
    } else {
        const size_t size = (aSize + kPage - 1) & ~(kPage - 1);
        bytes = size >= aSize ? Map(size) : nullptr;
        capacity = bytes ? size : 0;
    }
    if (!bytes) throw std::bad_alloc();
    return bytes;
}

void Payload::Release() {
    if (!bytes) return;
    if (slab)
        pool->Give(bytes, capacity, slab);
    else
        Unmap(bytes, capacity);
    bytes = nullptr;
    capacity = 0;
    slab = nullptr;
}

}  // namespace TqEngine
