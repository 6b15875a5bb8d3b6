// The memory blocks behind what the SDK shows to applications, counted by their holders, and the
// bound that sizes from applications and peers are held against (Ceiling).
#include "TqMemoryBlocks.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
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
    uint64_t bytes = 0;   // of the blocks in byStart
};

Blocks& TheBlocks() {
    static auto* blocks = new Blocks;   // views may let go of blocks while the process exits
    return *blocks;
}

// Drops one hold (lock held); the block's memory goes with the last.
Block* Unhold(Block* aBlock) {
    if (--aBlock->holds != 0) return nullptr;
    Blocks& blocks = TheBlocks();
    blocks.byStart.erase(reinterpret_cast<uintptr_t>(aBlock->data));
    blocks.bytes -= aBlock->size;
    return aBlock;
}

void Free(Block* aBlock) {
    if (aBlock == nullptr) return;
    FreeMemory(aBlock->data, aBlock->mapped);
    delete aBlock;
}

// ---- the ceiling ----

uint64_t Room(uint64_t aLimit, uint64_t aUsed) { return aLimit > aUsed ? aLimit - aUsed : 0; }

// This process's address space and its data (private writable memory and stack) in bytes, from
// /proc/self/statm (pages: size resident shared text lib data dirty); false when it cannot be read.
// Reads without allocating: it is asked when memory may be short.
bool Usage(uint64_t& aSpace, uint64_t& aData) {
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[160];
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0) return false;
    text[got] = '\0';
    uint64_t fields[6] = {};
    const char* at = text;
    for (uint64_t& field : fields) {
        char* end = nullptr;
        field = std::strtoull(at, &end, 10);
        if (end == at) return false;
        at = end;
    }
    const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    aSpace = fields[0] * page;
    aData = fields[5] * page;
    return true;
}

// The soft limit of aResource; UINT64_MAX when there is none.
uint64_t Limit(int aResource) {
    rlimit limit{};
    if (::getrlimit(aResource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    return limit.rlim_cur;
}

}  // namespace

uint64_t TqMemoryBlocks::Ceiling() noexcept {
    uint64_t room = UINT64_MAX;
    struct sysinfo machine{};
    if (::sysinfo(&machine) == 0) {
        const uint64_t unit = machine.mem_unit ? machine.mem_unit : 1;
        const uint64_t total = (uint64_t(machine.totalram) + machine.totalswap) * unit;
        Blocks& blocks = TheBlocks();
        std::lock_guard<std::mutex> guard(blocks.lock);
        room = Room(total, blocks.bytes);
    }
    const uint64_t space = Limit(RLIMIT_AS), data = Limit(RLIMIT_DATA);
    if (space == UINT64_MAX && data == UINT64_MAX) return room;
    uint64_t usedSpace = 0, usedData = 0;
    if (!Usage(usedSpace, usedData)) return std::min(room, std::min(space, data));
    return std::min(room, std::min(Room(space, usedSpace), Room(data, usedData)));
}

bool TqMemoryBlocks::Affordable(uint64_t aCount, uint64_t aEach) noexcept {
    uint64_t bytes = 0;
    return !__builtin_mul_overflow(aCount, aEach, &bytes) && bytes <= Ceiling();
}

uint8_t* TqMemoryBlocks::Allocate(uint64_t aSize) noexcept {
    if (aSize == 0) aSize = 1;
    if (aSize > SIZE_MAX / 2) return nullptr;
    if (aSize >= kHugePage && !Affordable(1, aSize)) return nullptr;
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
        blocks.bytes += aSize;
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
