// The memory of sent blocks' payloads: slabs of a pool whose regions are taken again by size and
// which are unmapped as soon as no payload is left in them, large payloads in mappings of their own,
// and nothing of a device's resend history left mapped once it stopped.
#include "TqEngineImpl.h"
#include "engine_helpers.h"

#include <chrono>
#include <cstring>
#include <thread>

using namespace TqEngine;
using namespace TqEngine::Testing;

namespace {

constexpr size_t kSmall = 77000;   // a 320 x 240 Mono8 frame and a chunk: 77056 bytes of a slab
constexpr size_t kCarved = 77056;

bool Filled(const Payload& aPayload, size_t aSize, uint8_t aByte) {
    return std::all_of(aPayload.bytes, aPayload.bytes + aSize, [&](uint8_t b) { return b == aByte; });
}

// Waits (generously) for aCondition.
template <class Condition>
bool Eventually(Condition aCondition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!aCondition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

TEST(EnginePayloads, SmallOnesShareSlabsThatGoWithTheirLastPayload) {
    const uint64_t before = PayloadMemoryMapped();
    auto pool = std::make_shared<PayloadPool>();
    {
        std::vector<std::unique_ptr<Payload>> payloads;
        for (uint8_t n = 0; n < 40; ++n) {
            payloads.push_back(std::make_unique<Payload>(pool));
            std::memset(payloads.back()->Reserve(kSmall), n, kSmall);
            EXPECT_EQ(payloads.back()->capacity, kCarved);
        }
        const size_t perSlab = PayloadPool::kSlabBytes / kCarved;
        ASSERT_EQ(pool->Slabs(), (40 + perSlab - 1) / perSlab);
        EXPECT_EQ(PayloadMemoryMapped() - before, pool->Slabs() * PayloadPool::kSlabBytes);
        // A region given back is what the next payload of its size gets: no slab more, and the
        // others' bytes are as they were.
        const uint8_t* freed = payloads[3]->bytes;
        payloads[3] = std::make_unique<Payload>(pool);
        EXPECT_EQ(payloads[3]->Reserve(kSmall), freed);
        std::memset(payloads[3]->bytes, 0xEE, kSmall);
        EXPECT_EQ(pool->Slabs(), (40 + perSlab - 1) / perSlab);
        for (uint8_t n = 0; n < 40; ++n) {
            if (n != 3) EXPECT_TRUE(Filled(*payloads[n], kSmall, n)) << int(n);
        }
        // The first slab's payloads gone, the slab goes; the second stays for the payloads in it.
        for (size_t n = 0; n < perSlab; ++n) payloads[n].reset();
        EXPECT_EQ(pool->Slabs(), 1u);
        EXPECT_EQ(PayloadMemoryMapped() - before, PayloadPool::kSlabBytes);
        EXPECT_TRUE(Filled(*payloads[39], kSmall, 39));
        // Growing past its capacity a payload gives its region back and takes room of the new size.
        const uint8_t* small = payloads[39]->bytes;
        EXPECT_EQ(payloads[39]->Reserve(kSmall - 100), small);
        EXPECT_NE(payloads[39]->Reserve(2 * kSmall), small);
        EXPECT_EQ(payloads[39]->capacity, 154048u);   // a multiple of 64
    }
    EXPECT_EQ(pool->Slabs(), 0u);
    EXPECT_EQ(PayloadMemoryMapped(), before);
}

TEST(EnginePayloads, LargeOnesAndOnesWithoutAPoolHaveMappingsOfTheirOwn) {
    const uint64_t before = PayloadMemoryMapped();
    auto pool = std::make_shared<PayloadPool>();
    {
        Payload large(pool), lone;
        std::memset(large.Reserve(PayloadPool::kOwnMapping), 1, PayloadPool::kOwnMapping);
        EXPECT_EQ(pool->Slabs(), 0u);
        EXPECT_EQ(PayloadMemoryMapped() - before, PayloadPool::kOwnMapping);
        std::memset(large.Reserve(3000001), 2, 3000001);   // rounded to whole pages
        EXPECT_EQ(large.capacity, 3002368u);
        EXPECT_EQ(PayloadMemoryMapped() - before, 3002368u);
        std::memset(lone.Reserve(100), 3, 100);
        EXPECT_EQ(lone.capacity, 4096u);
        EXPECT_EQ(PayloadMemoryMapped() - before, 3002368u + 4096u);
        EXPECT_EQ(lone.Reserve(0), lone.bytes);
    }
    EXPECT_EQ(PayloadMemoryMapped(), before);
    Payload empty(pool);
    EXPECT_EQ(empty.Reserve(0), nullptr);   // no bytes, no memory
    EXPECT_EQ(PayloadMemoryMapped(), before);
}

// A device streaming its test pattern of 320 x 240 RGB8 (a slab's payloads) or 1024 x 768 RGB8 (each
// in a mapping of its own): its history keeps what it sent through AcquisitionStop, for the resends
// that come late, and nothing of it is mapped once the device stopped.
class EnginePayloadsOfADevice : public ::testing::TestWithParam<std::pair<uint32_t, uint32_t>> {};

TEST_P(EnginePayloadsOfADevice, AreUnmappedWhenItStops) {
    const uint64_t before = PayloadMemoryMapped();
    DeviceConfig config = Config();
    config.width = GetParam().first;
    config.height = GetParam().second;
    config.pixelFormat = Pfnc::kRGB8;
    Device d(config);
    std::string error;
    ASSERT_TRUE(d.Start(0, &error)) << error;
    Capture capture(d);
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    ASSERT_TRUE(Eventually([&] { return capture.Trailers() >= 40; }));
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStop, 1), Gvcp::kSuccess);
    const size_t frame = size_t(config.width) * config.height * 3;
    EXPECT_GE(PayloadMemoryMapped() - before, 4 * frame);   // at least the four newest blocks
    d.Stop();
    EXPECT_EQ(PayloadMemoryMapped(), before);
}

INSTANTIATE_TEST_SUITE_P(SlabsAndOwnMappings, EnginePayloadsOfADevice,
                         ::testing::Values(std::make_pair(320u, 240u), std::make_pair(1024u, 768u)));
