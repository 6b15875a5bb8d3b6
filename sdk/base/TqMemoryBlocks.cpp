#include "TqMemoryBlocks.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>

namespace {

struct Block {
    uint8_t* data;
    uint64_t size;
    uint64_t holds;
    size_t mapped;   // the bytes of its own mapping; 0: from the heap
};

// Large blocks (frames, mostly) get a mapping of their own, starting at a huge page's boundary and
// asked for transparent huge pages before anything touches it: a conversion or a receiver then
// streams through the frame with a TLB miss every 2 MiB rather than every 4 KiB. Its pages are
// faulted in (zero) here, up to kMostPrefaulted: a stream receiver writing packets into a fresh
// buffer would otherwise take a fault each page while the socket's queue overflows (frames came
// back incomplete at 5 and 20 MP for that).
constexpr size_t kHugePage = size_t(2) << 20;
constexpr size_t kMostPrefaulted = size_t(1) << 30;
constexpr size_t kPage = 4096;

uint8_t* MapLarge(size_t aSize, size_t& aMapped) {
    aMapped = (aSize + kPage - 1) & ~(kPage - 1);
    const size_t span = aMapped + kHugePage;   // room to move the start to a boundary
    void* at = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<uintptr_t>(at);
    const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
    if (aligned > start) ::munmap(at, aligned - start);
    const uintptr_t end = aligned + aMapped;
    if (start + span > end) ::munmap(reinterpret_cast<void*>(end), start + span - end);
    ::madvise(reinterpret_cast<void*>(aligned), aMapped, MADV_HUGEPAGE);   // a hint: refused is fine
    if (aMapped <= kMostPrefaulted)   // refused (no memory now, an older kernel): faulted as it is touched
        ::madvise(reinterpret_cast<void*>(aligned), aMapped, MADV_POPULATE_WRITE);
    return reinterpret_cast<uint8_t*>(aligned);
}

void FreeMemory(uint8_t* aData, size_t aMapped) {
    if (aMapped)
        ::munmap(aData, aMapped);
    else
        std::free(aData);
}

// Blocks by start address. Looked up once per view an application makes and once per allocation
// and release, under one lock.
struct Blocks {
    std::mutex lock;
    std::map<uintptr_t, Block*> byStart;
};

Blocks& TheBlocks() {
    static auto* blocks = new Blocks;   // views may let go of blocks while the process exits
    return *blocks;
}

// Drops one hold (lock held); the block's memory goes with the last.
Block* Unhold(Block* aBlock) {
    if (--aBlock->holds != 0) return nullptr;
    TheBlocks().byStart.erase(reinterpret_cast<uintptr_t>(aBlock->data));
    return aBlock;
}

void Free(Block* aBlock) {
    if (aBlock == nullptr) return;
    FreeMemory(aBlock->data, aBlock->mapped);
    delete aBlock;
}

}  // namespace

uint8_t* TqMemoryBlocks::Allocate(uint64_t aSize) noexcept {
    if (aSize == 0) aSize = 1;
    if (aSize > SIZE_MAX / 2) return nullptr;
    size_t mapped = 0;
    auto* data = aSize >= kHugePage ? MapLarge(static_cast<size_t>(aSize), mapped)
                                    : static_cast<uint8_t*>(std::calloc(1, static_cast<size_t>(aSize)));   // 16-byte aligned
    if (data == nullptr) return nullptr;
    Block* block = new (std::nothrow) Block{data, aSize, 1, mapped};
    if (block == nullptr) {
        FreeMemory(data, mapped);
        return nullptr;
    }
    Blocks& blocks = TheBlocks();
    try {
        std::lock_guard<std::mutex> guard(blocks.lock);
        blocks.byStart.emplace(reinterpret_cast<uintptr_t>(data), block);
    } catch (...) {
        Free(block);
        return nullptr;
    }
    return data;
}

void TqMemoryBlocks::Release(uint8_t* aBlock) noexcept {
    if (aBlock == nullptr) return;
    Blocks& blocks = TheBlocks();
    Block* gone = nullptr;
    {
        std::lock_guard<std::mutex> guard(blocks.lock);
        auto it = blocks.byStart.find(reinterpret_cast<uintptr_t>(aBlock));
        if (it == blocks.byStart.end()) return;
        gone = Unhold(it->second);
    }
    Free(gone);
}

const void* TqMemoryBlocks::Hold(const void* aAddress, uint64_t& aAvailable) noexcept {
    aAvailable = 0;
    if (aAddress == nullptr) return nullptr;
    const auto at = reinterpret_cast<uintptr_t>(aAddress);
    Blocks& blocks = TheBlocks();
    std::lock_guard<std::mutex> guard(blocks.lock);
    auto it = blocks.byStart.upper_bound(at);
    if (it == blocks.byStart.begin()) return nullptr;
    Block* block = std::prev(it)->second;
    const uint64_t offset = at - reinterpret_cast<uintptr_t>(block->data);
    if (offset >= block->size) return nullptr;
    ++block->holds;
    aAvailable = block->size - offset;
    return block;
}

void TqMemoryBlocks::Drop(const void* aHold) noexcept {
    if (aHold == nullptr) return;
    Block* gone = nullptr;
    {
        std::lock_guard<std::mutex> guard(TheBlocks().lock);
        gone = Unhold(static_cast<Block*>(const_cast<void*>(aHold)));
    }
    Free(gone);
}

uint64_t TqMemoryBlocks::LiveBlocks() noexcept {
    Blocks& blocks = TheBlocks();
    std::lock_guard<std::mutex> guard(blocks.lock);
    return blocks.byStart.size();
}
