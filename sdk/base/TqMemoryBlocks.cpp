#include "TqMemoryBlocks.h"

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
};

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
    std::free(aBlock->data);
    delete aBlock;
}

}  // namespace

uint8_t* TqMemoryBlocks::Allocate(uint64_t aSize) noexcept {
    if (aSize == 0) aSize = 1;
    if (aSize > SIZE_MAX / 2) return nullptr;
    auto* data = static_cast<uint8_t*>(std::calloc(1, static_cast<size_t>(aSize)));   // 16-byte aligned
    if (data == nullptr) return nullptr;
    Block* block = new (std::nothrow) Block{data, aSize, 1};
    if (block == nullptr) {
        std::free(data);
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
