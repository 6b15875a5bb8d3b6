// Sizes held against what the process can be given: the ceiling of the memory blocks (the machine's
// memory less the live blocks, the room under an address-space limit), the refusals that name what
// asked for how much, the guard of exported calls, and the callers sized by applications or peers
// (buffers, serial rings, the pipeline's pool and the block sizes it follows). The limits are set in
// a child process of the test, so that nothing here asks the machine for more than a few megabytes.
#include "TqBuffer.h"
#include "TqBufferConverter.h"
#include "TqChunkData.h"
#include "TqDeviceEngine.h"
#include "TqDeviceSerialPort.h"
#include "TqImage.h"
#include "TqLiveObjects.h"
#include "TqMemoryBlocks.h"
#include "TqNoMemory.h"
#include "TqPipeline.h"
#include "TqStream.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t kMiB = uint64_t(1) << 20;

uint64_t AddressSpace() {
    unsigned long pages = 0;
    FILE* f = std::fopen("/proc/self/statm", "re");
    if (!f) return 0;
    if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
    std::fclose(f);
    return uint64_t(pages) * uint64_t(::sysconf(_SC_PAGESIZE));
}

// Runs aCheck in a child process whose address space may grow by aRoom bytes at most; what it
// answers (empty: passed) comes back through a pipe.
std::string InChildWithRoom(uint64_t aRoom, const std::function<std::string()>& aCheck) {
    int fds[2];
    if (::pipe(fds) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        rlimit limit{};
        ::getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = AddressSpace() + aRoom;
        std::string answer = ::setrlimit(RLIMIT_AS, &limit) == 0 ? aCheck() : "setrlimit failed";
        if (::write(fds[1], answer.data(), answer.size()) < 0) ::_exit(2);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string answer;
    char chunk[512];
    for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;) answer.append(chunk, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "the child ended with status " + std::to_string(status) + " " + answer;
    return answer;
}

std::string Text(const TqResult& aResult) {
    const TqString description = aResult.GetDescription();
    const char* text = description.GetAscii();
    return std::to_string(aResult.GetCode()) + " " + (text ? text : "");
}

bool Refused(const TqResult& aResult, const std::string& aWhat) {
    const std::string text = Text(aResult);
    return aResult.GetCode() == TQ_NOT_ENOUGH_MEMORY && text.find(aWhat) != std::string::npos &&
           text.find("bytes this process can be given") != std::string::npos;
}

}  // namespace

TEST(MemoryCeiling, TheMachinesMemoryLessTheLiveBlocks) {
    struct sysinfo machine{};
    ASSERT_EQ(::sysinfo(&machine), 0);
    const uint64_t total = (uint64_t(machine.totalram) + machine.totalswap) * machine.mem_unit;
    const uint64_t before = TqMemoryBlocks::Ceiling();
    EXPECT_GT(before, 64 * kMiB);
    EXPECT_LE(before, total);
    {
        TqMemoryBlocks::Owned block(8 * kMiB);
        ASSERT_NE(block.data(), nullptr);
        EXPECT_GE(before - TqMemoryBlocks::Ceiling(), 8 * kMiB);
    }
    EXPECT_GE(TqMemoryBlocks::Ceiling() + 4 * kMiB, before);   // given back with the block
    // Products past 2^64 are never affordable, whatever the machine.
    EXPECT_FALSE(TqMemoryBlocks::Affordable(uint64_t(1) << 33, uint64_t(1) << 33));
    EXPECT_FALSE(TqMemoryBlocks::Affordable(UINT64_MAX, 2));
    EXPECT_TRUE(TqMemoryBlocks::Affordable(0, UINT64_MAX));
    EXPECT_TRUE(TqMemoryBlocks::Affordable(16, kMiB));
}

TEST(MemoryCeiling, ABlockBeyondItIsRefusedBeforeAnythingIsMapped) {
    const uint64_t live = TqMemoryBlocks::LiveBlocks();
    EXPECT_EQ(TqMemoryBlocks::Allocate(TqMemoryBlocks::Ceiling() + 4 * kMiB), nullptr);
    EXPECT_EQ(TqMemoryBlocks::LiveBlocks(), live);
}

TEST(MemoryCeiling, FollowsTheAddressSpaceLimit) {
    EXPECT_EQ(InChildWithRoom(64 * kMiB, [] {
        const uint64_t ceiling = TqMemoryBlocks::Ceiling();
        if (ceiling > 64 * kMiB) return "ceiling " + std::to_string(ceiling) + " under a room of 64 MiB";
        if (TqMemoryBlocks::Allocate(256 * kMiB) != nullptr) return std::string("256 MiB were given");
        TqMemoryBlocks::Owned small(4 * kMiB);
        if (small.data() == nullptr) return std::string("4 MiB were refused");
        return std::string();
    }), "");
}

TEST(MemoryCeiling, RefusalsNameWhatAskedForHowMuch) {
    EXPECT_TRUE(TqNoMemory::Check("a thing", 16, kMiB).IsOK());
    const TqResult refused = TqNoMemory::Check("a pool of 2^32 things", uint64_t(1) << 32, uint64_t(1) << 40);
    EXPECT_EQ(refused.GetCode(), TQ_NOT_ENOUGH_MEMORY);
    // The product is written whole, past 64 bits.
    EXPECT_NE(Text(refused).find("a pool of 2^32 things needs 4722366482869645213696 bytes, more than the "),
              std::string::npos)
        << Text(refused);
    EXPECT_TRUE(Refused(refused, "a pool"));
}

TEST(MemoryCeiling, TheGuardAnswersFailedAllocations) {
    const TqResult badAlloc = TqNoMemory::Guard([]() -> TqResult { throw std::bad_alloc(); });
    EXPECT_EQ(badAlloc.GetCode(), TQ_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(Text(badAlloc), std::to_string(TQ_NOT_ENOUGH_MEMORY) + " the system gave no more memory");
    const TqResult tooLong = TqNoMemory::Guard([] {
        std::vector<uint64_t> v;
        v.reserve(SIZE_MAX / 4);   // past max_size: length_error
        return TqResult(TQ_OK);
    });
    EXPECT_EQ(tooLong.GetCode(), TQ_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(TqNoMemory::Guard([] { return TqResult(TQ_TIMEOUT); }).GetCode(), TQ_TIMEOUT);
    EXPECT_THROW(TqNoMemory::Guard([]() -> TqResult { throw std::runtime_error("not memory"); }), std::runtime_error);
    EXPECT_FALSE(TqNoMemory::Survived([] { throw std::bad_alloc(); }));
    EXPECT_TRUE(TqNoMemory::Survived([] {}));
}

TEST(MemoryCeiling, BuffersChunksAndRingsBeyondItAreRefusedWithTheirSizes) {
    EXPECT_EQ(InChildWithRoom(64 * kMiB, [] {
        std::string failed;
        const uint64_t live = TqMemoryBlocks::LiveBlocks();
        TqBuffer buffer;
        if (!Refused(buffer.Alloc(UINT32_MAX), "a buffer needs 4294967295 bytes")) failed += " Alloc";
        if (!Refused(buffer.AllocChunk(UINT32_MAX), "a chunk area needs 4294967295 bytes")) failed += " AllocChunk";
        if (!Refused(buffer.GetImage()->Alloc(16384, 16384, TqPixelMono8), "a buffer needs 268435456 bytes"))
            failed += " image";
        TqChunkData chunks;
        if (!Refused(chunks.Alloc(1u << 30), "chunk data needs 1073741824 bytes")) failed += " chunks";
        if (TqMemoryBlocks::LiveBlocks() != live) failed += " blocks were made";
        if (buffer.GetSize() != 0 || buffer.GetDataPointer() != nullptr) failed += " the buffer changed";
        if (!buffer.Alloc(kMiB).IsOK()) failed += " 1 MiB refused";
        TqDeviceSerialPort port;
        if (!Refused(port.SetRxBufferSize(UINT32_MAX), "a receive buffer needs 4294967295 bytes")) failed += " ring";
        uint32_t size = 0;
        if (!port.GetRxBufferSize(size).IsOK() || size != 65536) failed += " the ring's size changed";
        if (!port.SetRxBufferSize(1 << 20).IsOK()) failed += " a ring of 1 MiB refused";
        return failed;
    }), "");
}

TEST(MemoryCeiling, AConversionsRowsAreHeldAgainstItBeforeAnyIsMade) {
    EXPECT_EQ(InChildWithRoom(96 * kMiB, [] {
        std::string failed;
        TqBuffer source, destination;
        // A row of 8 M pixels: the threads' rows of 16-bit levels and more (11 bytes a pixel each).
        if (!source.GetImage()->Alloc(8u << 20, 1, TqPixelMono12Packed).IsOK()) return std::string("no source");
        if (!destination.GetImage()->Alloc(1, 1, TqPixelMono16).IsOK()) return std::string("no destination");
        TqBufferConverter converter(2);
        const TqResult refused = converter.Convert(&source, &destination);
        if (!Refused(refused, "a conversion's rows needs 184549376 bytes")) failed += " " + Text(refused);
        if (destination.GetSize() != 2) failed += " the destination was allocated";
        // A narrower image converts.
        if (!source.GetImage()->Alloc(4096, 16, TqPixelMono12Packed).IsOK() ||
            !converter.Convert(&source, &destination).IsOK())
            failed += " a narrow image did not convert";
        return failed;
    }), "");
}

TEST(MemoryCeiling, APipelinesPoolIsHeldAgainstItBeforeABufferIsMade) {
    TqPipeline pipeline(nullptr);
    const long buffers = TqLiveObjects::Count("TqBuffer");
    const TqResult refused = pipeline.SetBufferCount(UINT32_MAX);
    EXPECT_TRUE(Refused(refused, "a pipeline of 4294967295 buffers of 65536 bytes needs ")) << Text(refused);
    EXPECT_EQ(pipeline.GetBufferCount(), 16u);
    EXPECT_EQ(TqLiveObjects::Count("TqBuffer"), buffers);
    pipeline.SetBufferSize(UINT32_MAX);
    EXPECT_EQ(pipeline.SetBufferCount(1u << 20).GetCode(), TQ_NOT_ENOUGH_MEMORY);
    pipeline.SetBufferSize(0);
    EXPECT_TRUE(pipeline.SetBufferCount(32).IsOK());
    EXPECT_EQ(pipeline.GetBufferCount(), 32u);
}

// A peer's blocks larger than the pool's buffers: the pool follows them only while the pool at its
// count stays within what the process can be given; else they come out too small.
TEST(MemoryCeiling, APipelineFollowsLargerBlocksOnlyWithinIt) {
    EXPECT_EQ(InChildWithRoom(160 * kMiB, [] {
        TqEngine::DeviceConfig config;
        config.width = 512;
        config.height = 512;   // blocks of 256 KiB
        TqEngine::Device device(config);
        if (!device.Start()) return std::string("no device");
        device.WriteRegister(TqEngine::Reg::kFramePeriod, 50000);
        std::string failed;
        {
            TqStreamGEV stream;
            if (!stream.Open(TqString(TqEngine::FormatAddress(device.Address()).c_str())).IsOK()) failed += " open";
            TqPipeline pipeline(&stream);
            pipeline.SetBufferSize(1024);
            pipeline.SetHandleBufferTooSmall(true);
            // 1024 buffers of 1 KiB fit; of 256 KiB (256 MiB) they do not.
            if (!pipeline.SetBufferCount(1024).IsOK()) failed += " count";
            if (!pipeline.Start().IsOK()) failed += " start";
            device.WriteRegister(TqEngine::Reg::kAcquisitionStart, 1);
            int tooSmall = 0;
            for (int i = 0; i < 3 && failed.empty(); ++i) {
                TqBuffer* buffer = nullptr;
                TqResult operation;
                const TqResult got = pipeline.RetrieveNextBuffer(&buffer, 10000, &operation);
                if (!got.IsOK()) {
                    failed += " retrieve " + Text(got);
                    break;
                }
                if (operation.GetCode() == TQ_BUFFER_TOO_SMALL && buffer->GetSize() == 1024) tooSmall++;
                pipeline.ReleaseBuffer(buffer);
            }
            if (failed.empty() && tooSmall != 3) failed += " blocks too small: " + std::to_string(tooSmall);
            device.WriteRegister(TqEngine::Reg::kAcquisitionStop, 1);
            pipeline.Stop();
            stream.Close();
        }
        device.Stop();
        return failed;
    }), "");
}
