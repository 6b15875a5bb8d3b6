// The stand-in SDK's buffers and chunks: the chunk layout in memory, lookups, room, corrupt layouts,
// buffer and chunk-data memory states, where a buffer's chunks live; the memory blocks under them.
#include "TqBuffer.h"
#include "TqChunkData.h"
#include "TqChunkStore.h"
#include "TqLiveObjects.h"
#include "TqMemoryBlocks.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes BigEndian(uint32_t aValue) {
    return {static_cast<uint8_t>(aValue >> 24), static_cast<uint8_t>(aValue >> 16), static_cast<uint8_t>(aValue >> 8),
            static_cast<uint8_t>(aValue)};
}

// One chunk as it lies in memory, written by hand: data, ID, length.
Bytes Chunk(uint32_t aID, const std::string& aData, uint32_t aStatedLength) {
    Bytes out(aData.begin(), aData.end());
    for (uint8_t b : BigEndian(aID)) out.push_back(b);
    for (uint8_t b : BigEndian(aStatedLength)) out.push_back(b);
    return out;
}
Bytes Chunk(uint32_t aID, const std::string& aData) {
    return Chunk(aID, aData, static_cast<uint32_t>(aData.size()));
}

Bytes Concat(std::initializer_list<Bytes> aParts) {
    Bytes out;
    for (const Bytes& part : aParts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

const uint8_t* U8(const char* aText) { return reinterpret_cast<const uint8_t*>(aText); }

std::string Text(const uint8_t* aData, uint32_t aLength) {
    return std::string(reinterpret_cast<const char*>(aData), aLength);
}

// Exactly-sized heap copy, so that the sanitizer build catches any read past the end.
std::unique_ptr<uint8_t[]> HeapCopy(const Bytes& aBytes) {
    std::unique_ptr<uint8_t[]> out(new uint8_t[aBytes.size() ? aBytes.size() : 1]);
    if (!aBytes.empty()) std::memcpy(out.get(), aBytes.data(), aBytes.size());
    return out;
}

// Every chunk the store reports lies inside [area, area + used); reading each byte lets the
// sanitizer see the access. A layout counts only whole: the chunks found, if any, follow one another
// from the area's start to the end of the used part.
template <class Source>
void ExpectChunksInside(Source& aSource, const uint8_t* aArea, uint32_t aUsed) {
    uint32_t count = aSource.GetCount();
    uint32_t end = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* data = aSource.GetDataByIndex(i);
        uint32_t size = aSource.GetSizeByIndex(i);
        ASSERT_NE(data, nullptr);
        ASSERT_EQ(data, aArea + end) << "chunk " << i << " does not start where the one before ends";
        ASSERT_LE(data + size + 8, aArea + aUsed) << "chunk " << i << " reaches past the used part";
        volatile uint32_t sum = 0;
        for (uint32_t k = 0; k < size; ++k) sum = sum + data[k];
        end = static_cast<uint32_t>(data - aArea) + size + 8;
    }
    if (count) EXPECT_EQ(end, aUsed) << "the chunks found do not reach the end of the used part";
    EXPECT_EQ(aSource.GetDataByIndex(count), nullptr);
}

// A layout of a few chunks, written by hand; in most rounds damaged afterwards: bytes overwritten
// (stated lengths above all), the start or the end cut off.
struct Layout {
    Bytes bytes;
    std::vector<uint32_t> ids;   // in the order written
    bool damaged = false;
};

Layout RandomLayout(std::mt19937& aRandom) {
    Layout layout;
    uint32_t count = aRandom() % 6;
    std::vector<uint32_t> trailers;   // where each trailer starts
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t id = aRandom() % 4;   // repeated IDs
        std::string data(aRandom() % 11, 'a' + static_cast<char>(i));
        trailers.push_back(static_cast<uint32_t>(layout.bytes.size() + data.size()));
        layout.bytes = Concat({layout.bytes, Chunk(id, data)});
        layout.ids.push_back(id);
    }
    switch (aRandom() % 5) {
    case 0:
        break;
    case 1:   // a stated length changed to anything
        if (!trailers.empty()) {
            uint32_t at = trailers[aRandom() % trailers.size()] + 4;
            for (uint32_t k = 0; k < 4; ++k) layout.bytes[at + k] = static_cast<uint8_t>(aRandom());
            layout.damaged = true;
        }
        break;
    case 2:   // a stated length a little off
        if (!trailers.empty()) {
            uint32_t at = trailers[aRandom() % trailers.size()] + 7;
            layout.bytes[at] = static_cast<uint8_t>(layout.bytes[at] + 1 + aRandom() % 16);
            layout.damaged = true;
        }
        break;
    case 3:   // the start cut off
        if (!layout.bytes.empty()) {
            layout.bytes.erase(layout.bytes.begin(), layout.bytes.begin() + 1 + aRandom() % layout.bytes.size());
            layout.damaged = true;
        }
        break;
    case 4:   // the end cut off
        if (!layout.bytes.empty()) {
            layout.bytes.resize(aRandom() % layout.bytes.size());
            layout.damaged = true;
        }
        break;
    }
    return layout;
}

// The chunk lookups of a buffer or chunk-data payload under the store's names.
struct Lookups {
    ITqChunkData& source;
    uint32_t GetCount() { return source.GetChunkCount(); }
    const uint8_t* GetDataByIndex(uint32_t aIndex) { return source.GetChunkRawDataByIndex(aIndex); }
    uint32_t GetSizeByIndex(uint32_t aIndex) { return source.GetChunkSizeByIndex(aIndex); }
};

}  // namespace

// ---- chunk store ----

TEST(TqChunkStoreTest, AddWritesDataThenBigEndianTrailer) {
    uint8_t area[32] = {};
    TqChunkStore store;
    store.SetArea(area, sizeof area, 0);
    ASSERT_TRUE(store.Add(0x11223344, U8("abc"), 3, 0).IsOK());
    ASSERT_TRUE(store.Add(0xA0B0C0D0, U8("xy"), 2, 0).IsOK());
    Bytes expected = Concat({Chunk(0x11223344, "abc"), Chunk(0xA0B0C0D0, "xy")});
    EXPECT_EQ(store.GetUsed(), expected.size());
    EXPECT_EQ(Bytes(area, area + expected.size()), expected);
    EXPECT_EQ(area[expected.size()], 0) << "nothing written past the last trailer";
}

TEST(TqChunkStoreTest, ChunksReadBackInTheOrderAdded) {
    uint8_t area[64] = {};
    TqChunkStore store;
    store.SetArea(area, sizeof area, 0);
    ASSERT_TRUE(store.Add(7, U8("first"), 5, 0).IsOK());
    ASSERT_TRUE(store.Add(9, nullptr, 0, 0).IsOK());
    ASSERT_TRUE(store.Add(3, U8("third!"), 6, 0).IsOK());
    ASSERT_EQ(store.GetCount(), 3u);
    uint32_t ids[3] = {};
    for (uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(store.GetIDByIndex(i, ids[i]).IsOK());
    EXPECT_EQ(ids[0], 7u);
    EXPECT_EQ(ids[1], 9u);
    EXPECT_EQ(ids[2], 3u);
    EXPECT_EQ(store.GetSizeByIndex(0), 5u);
    EXPECT_EQ(store.GetSizeByIndex(1), 0u);
    EXPECT_EQ(store.GetSizeByIndex(2), 6u);
    EXPECT_EQ(store.GetDataByIndex(0), area);
    EXPECT_EQ(Text(store.GetDataByIndex(0), 5), "first");
    EXPECT_EQ(store.GetDataByIndex(1), area + 13) << "an empty chunk points at its place in the area";
    EXPECT_EQ(Text(store.GetDataByIndex(2), 6), "third!");
    EXPECT_EQ(store.GetSizeByID(3), 6u);
    EXPECT_EQ(store.GetDataByID(9), area + 13);
}

TEST(TqChunkStoreTest, LookupByIdFindsTheFirstAdded) {
    uint8_t area[64] = {};
    TqChunkStore store;
    store.SetArea(area, sizeof area, 0);
    ASSERT_TRUE(store.Add(5, U8("aa"), 2, 0).IsOK());
    ASSERT_TRUE(store.Add(6, U8("bbb"), 3, 0).IsOK());
    ASSERT_TRUE(store.Add(5, U8("cccc"), 4, 0).IsOK());
    EXPECT_EQ(store.GetSizeByID(5), 2u);
    EXPECT_EQ(Text(store.GetDataByID(5), 2), "aa");
    EXPECT_EQ(store.GetSizeByID(6), 3u);
}

TEST(TqChunkStoreTest, NotFoundValues) {
    uint8_t area[32] = {};
    TqChunkStore store;
    uint32_t id = 1234;
    EXPECT_EQ(store.GetIDByIndex(0, id).GetCode(), TQ_NOT_FOUND) << "no area at all";
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(store.GetCount(), 0u);
    EXPECT_EQ(store.GetDataByIndex(0), nullptr);

    store.SetArea(area, sizeof area, 0);
    ASSERT_TRUE(store.Add(1, U8("z"), 1, 0).IsOK());
    id = 1234;
    EXPECT_EQ(store.GetIDByIndex(1, id).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(store.GetIDByIndex(0xFFFFFFFFu, id).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(store.GetSizeByIndex(1), 0u);
    EXPECT_EQ(store.GetDataByIndex(1), nullptr);
    EXPECT_EQ(store.GetSizeByID(2), 0u);
    EXPECT_EQ(store.GetDataByID(2), nullptr);
}

TEST(TqChunkStoreTest, RoomIsDataPlusTrailer) {
    uint8_t area[21] = {};
    TqChunkStore store;
    store.SetArea(area, 20, 0);
    EXPECT_EQ(store.Add(1, U8("0123456789abc"), 13, 0).GetCode(), TQ_BUFFER_TOO_SMALL) << "13 + 8 > 20";
    EXPECT_EQ(store.GetUsed(), 0u);
    EXPECT_EQ(area[0], 0) << "a refused chunk writes nothing";
    ASSERT_TRUE(store.Add(1, U8("0123456789ab"), 12, 0).IsOK()) << "12 + 8 fills the area exactly";
    EXPECT_EQ(store.GetUsed(), 20u);
    EXPECT_EQ(store.Add(2, nullptr, 0, 0).GetCode(), TQ_BUFFER_TOO_SMALL) << "even an empty chunk needs 8";
    EXPECT_EQ(area[20], 0) << "nothing past the capacity";
    EXPECT_EQ(store.GetCount(), 1u);
}

TEST(TqChunkStoreTest, ReservedBytesStayOutOfTheRoom) {
    uint8_t area[32] = {};
    TqChunkStore store;
    store.SetArea(area, sizeof area, 0);
    EXPECT_EQ(store.Add(1, U8("0123456789abcdefg"), 17, 8).GetCode(), TQ_BUFFER_TOO_SMALL) << "17 + 8 + 8 > 32";
    ASSERT_TRUE(store.Add(1, U8("abcd"), 4, 8).IsOK());
    EXPECT_EQ(store.GetDataByIndex(0), area) << "the reserve is not written: the first chunk starts the area";
    EXPECT_EQ(store.GetUsed(), 12u);
    EXPECT_EQ(store.Add(2, U8("abcde"), 5, 8).GetCode(), TQ_BUFFER_TOO_SMALL) << "12 + 8 + 5 + 8 > 32";
    ASSERT_TRUE(store.Add(2, U8("abcd"), 4, 8).IsOK()) << "12 + 8 + 4 + 8 == 32";
    EXPECT_EQ(store.GetCount(), 2u);
}

TEST(TqChunkStoreTest, BadArgumentsAndNoArea) {
    uint8_t area[32] = {};
    TqChunkStore store;
    EXPECT_EQ(store.Add(1, U8("a"), 1, 0).GetCode(), TQ_BUFFER_TOO_SMALL);
    EXPECT_EQ(store.Add(1, nullptr, 0, 0).GetCode(), TQ_BUFFER_TOO_SMALL);
    store.SetArea(area, sizeof area, 0);
    EXPECT_EQ(store.Add(1, nullptr, 4, 0).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(store.GetUsed(), 0u);
    EXPECT_TRUE(store.Add(1, nullptr, 0, 0).IsOK());
    // A length whose room wraps around 32 bits must not pass the check (the data is never read).
    EXPECT_EQ(store.Add(2, U8("x"), 0xFFFFFFFFu, 0).GetCode(), TQ_BUFFER_TOO_SMALL);
    EXPECT_EQ(store.Add(2, U8("x"), 0xFFFFFFF8u, 0).GetCode(), TQ_BUFFER_TOO_SMALL);
    EXPECT_EQ(store.Add(2, U8("x"), 1, 0xFFFFFFFFu).GetCode(), TQ_BUFFER_TOO_SMALL);
    EXPECT_EQ(store.GetCount(), 1u);
}

TEST(TqChunkStoreTest, SetAreaKeepsTheUsedPartInside) {
    Bytes bytes = Chunk(4, "abcd");
    auto heap = HeapCopy(bytes);
    TqChunkStore store;
    store.SetArea(heap.get(), static_cast<uint32_t>(bytes.size()), 1000);
    EXPECT_EQ(store.GetUsed(), bytes.size());
    EXPECT_EQ(store.GetCount(), 1u);
    store.SetArea(nullptr, 100, 50);
    EXPECT_EQ(store.GetCapacity(), 0u);
    EXPECT_EQ(store.GetUsed(), 0u);
    EXPECT_EQ(store.GetCount(), 0u);
}

TEST(TqChunkStoreTest, ResetEmptiesButKeepsAreaAndLayout) {
    uint8_t area[32] = {};
    TqChunkStore store;
    store.SetArea(area, sizeof area, 0);
    store.mLayoutID = 77;
    ASSERT_TRUE(store.Add(1, U8("abc"), 3, 0).IsOK());
    store.Reset();
    EXPECT_FALSE(store.HasChunks());
    EXPECT_EQ(store.GetCount(), 0u);
    EXPECT_EQ(store.mLayoutID, 77u);
    ASSERT_TRUE(store.Add(2, U8("q"), 1, 0).IsOK());
    EXPECT_EQ(store.GetDataByIndex(0), area);
}

TEST(TqChunkStoreTest, AddCopiesDataFromTheAreaItself) {
    uint8_t area[64] = {};
    TqChunkStore store;
    store.SetArea(area, sizeof area, 0);
    ASSERT_TRUE(store.Add(1, U8("0123456789"), 10, 0).IsOK());
    // From the first chunk's tail through its trailer into the free part: overlaps where it goes.
    Bytes before(area + 8, area + 24);
    ASSERT_TRUE(store.Add(2, area + 8, 16, 0).IsOK());
    ASSERT_EQ(store.GetSizeByIndex(1), 16u);
    EXPECT_EQ(Bytes(store.GetDataByIndex(1), store.GetDataByIndex(1) + 16), before);
    EXPECT_EQ(Text(store.GetDataByIndex(0), 10), "0123456789");
}

// ---- corrupt layouts ----

TEST(TqChunkStoreCorruptTest, LastTrailerTooLongEndsEverything) {
    Bytes bytes = Concat({Chunk(1, "good"), Chunk(2, "abc", 1000)});
    auto heap = HeapCopy(bytes);
    TqChunkStore store;
    store.SetArea(heap.get(), static_cast<uint32_t>(bytes.size()), static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(store.GetCount(), 0u);
    uint32_t id = 5;
    EXPECT_EQ(store.GetIDByIndex(0, id).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(store.GetDataByID(1), nullptr);
    EXPECT_EQ(store.GetDataByID(2), nullptr);
}

TEST(TqChunkStoreCorruptTest, MiddleTrailerTooLongMakesNoLayout) {
    // The walk from the end stops at the second trailer: what lies after it is no layout either.
    Bytes bytes = Concat({Chunk(1, "aaaa"), Chunk(2, "bb", 0xFFFFFFF0u), Chunk(3, "ccc")});
    auto heap = HeapCopy(bytes);
    TqChunkStore store;
    store.SetArea(heap.get(), static_cast<uint32_t>(bytes.size()), static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(store.GetCount(), 0u);
    uint32_t id = 7;
    EXPECT_EQ(store.GetIDByIndex(0, id).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(store.GetDataByID(3), nullptr);
    EXPECT_EQ(store.GetSizeByID(3), 0u);
    EXPECT_EQ(store.GetDataByID(1), nullptr);
    // Mended, the same bytes read as three chunks again.
    std::memcpy(heap.get() + 12 + 2 + 4, BigEndian(2).data(), 4);
    ASSERT_EQ(store.GetCount(), 3u);
    EXPECT_EQ(Text(store.GetDataByID(3), 3), "ccc");
    ExpectChunksInside(store, heap.get(), static_cast<uint32_t>(bytes.size()));
}

TEST(TqChunkStoreCorruptTest, LengthReachingExactlyTheStartIsValid) {
    // One trailer stating every byte before it: a single chunk of the whole rest.
    Bytes bytes = Concat({Chunk(1, "aaaa"), Chunk(2, "bb")});
    Bytes whole = Concat({bytes, BigEndian(9), BigEndian(static_cast<uint32_t>(bytes.size()))});
    auto heap = HeapCopy(whole);
    TqChunkStore store;
    store.SetArea(heap.get(), static_cast<uint32_t>(whole.size()), static_cast<uint32_t>(whole.size()));
    ASSERT_EQ(store.GetCount(), 1u);
    EXPECT_EQ(store.GetDataByIndex(0), heap.get());
    EXPECT_EQ(store.GetSizeByID(9), bytes.size());
    // One byte more reaches before the start.
    uint32_t over = static_cast<uint32_t>(bytes.size()) + 1;
    Bytes longer = BigEndian(over);
    std::memcpy(heap.get() + whole.size() - 4, longer.data(), 4);
    EXPECT_EQ(store.GetCount(), 0u);
}

TEST(TqChunkStoreCorruptTest, LeftoverBytesAtTheStartMakeNoLayout) {
    // Three stray bytes before the first chunk: too few for a trailer, so the walk does not come back
    // to the start.
    Bytes bytes = Concat({Bytes{0xFF, 0xFF, 0xFF}, Chunk(1, "aa"), Chunk(2, "b")});
    auto heap = HeapCopy(bytes);
    TqChunkStore store;
    store.SetArea(heap.get(), static_cast<uint32_t>(bytes.size()), static_cast<uint32_t>(bytes.size()));
    EXPECT_EQ(store.GetCount(), 0u);
    EXPECT_EQ(store.GetDataByID(2), nullptr);
    // The same chunks from the area's start are a layout.
    store.SetArea(heap.get() + 3, static_cast<uint32_t>(bytes.size() - 3), static_cast<uint32_t>(bytes.size() - 3));
    ASSERT_EQ(store.GetCount(), 2u);
    EXPECT_EQ(store.GetDataByIndex(0), heap.get() + 3);
    ExpectChunksInside(store, heap.get() + 3, static_cast<uint32_t>(bytes.size() - 3));
}

TEST(TqChunkStoreCorruptTest, TruncatedAreas) {
    Bytes bytes = Concat({Chunk(1, "aaaa"), Chunk(2, "bbbbbb")});
    TqChunkStore store;
    for (uint32_t used = 0; used <= bytes.size(); ++used) {
        Bytes cut(bytes.begin(), bytes.begin() + used);
        auto heap = HeapCopy(cut);
        store.SetArea(heap.get(), used, used);
        ExpectChunksInside(store, heap.get(), used);
        uint32_t count = store.GetCount();
        if (used == bytes.size()) {
            EXPECT_EQ(count, 2u);
        } else if (used == 12) {
            EXPECT_EQ(count, 1u) << "cut after the first chunk";
        } else if (used < 8) {
            EXPECT_EQ(count, 0u) << used;
        }
    }
}

TEST(TqChunkStoreCorruptTest, DamagedLayoutsNeverLeadOutside) {
    std::mt19937 random(12345);
    TqChunkStore store;
    int walkedSeveral = 0;
    for (int round = 0; round < 8000; ++round) {   // damaged layouts mostly hold no chunks
        Layout layout = RandomLayout(random);
        uint32_t used = static_cast<uint32_t>(layout.bytes.size());
        auto heap = HeapCopy(layout.bytes);
        store.SetArea(heap.get(), used, used);
        ExpectChunksInside(store, heap.get(), used);
        if (::testing::Test::HasFatalFailure()) return;
        uint32_t count = store.GetCount();
        walkedSeveral += count > 1;
        if (!layout.damaged) {
            ASSERT_EQ(count, layout.ids.size()) << "round " << round;
            for (uint32_t i = 0; i < count; ++i) {
                uint32_t id = 0;
                ASSERT_TRUE(store.GetIDByIndex(i, id).IsOK());
                ASSERT_EQ(id, layout.ids[i]);
            }
        }
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t id = 0;
            ASSERT_TRUE(store.GetIDByIndex(i, id).IsOK());
            const uint8_t* data = store.GetDataByID(id);
            ASSERT_NE(data, nullptr);
            ASSERT_LE(data, store.GetDataByIndex(i)) << "lookup by ID finds the first chunk of that ID";
        }
    }
    EXPECT_GT(walkedSeveral, 1000) << "the layouts exercise walks over several chunks";
}

TEST(TqChunkStoreCorruptTest, MemoryChangedAfterReadingIsReadAgain) {
    uint8_t area[64] = {};
    TqChunkStore store;
    store.SetArea(area, sizeof area, 0);
    ASSERT_TRUE(store.Add(1, U8("aaaa"), 4, 0).IsOK());
    ASSERT_TRUE(store.Add(2, U8("bb"), 2, 0).IsOK());
    ASSERT_EQ(store.GetCount(), 2u);
    // Someone rewrites the last ID in place.
    area[12 + 2 + 3] = 8;
    uint32_t id = 0;
    ASSERT_TRUE(store.GetIDByIndex(1, id).IsOK());
    EXPECT_EQ(id, 8u);
    EXPECT_EQ(store.GetDataByID(2), nullptr);
    // ... and then the last length, to more than there is.
    area[12 + 2 + 4] = 0x7F;
    EXPECT_EQ(store.GetCount(), 0u);
    EXPECT_EQ(store.GetDataByIndex(0), nullptr);
    EXPECT_EQ(store.GetSizeByID(1), 0u);
    // ... and to a length that swallows the first chunk.
    area[12 + 2 + 4] = 0;
    area[12 + 2 + 7] = 14;
    ASSERT_EQ(store.GetCount(), 1u);
    EXPECT_EQ(store.GetSizeByIndex(0), 14u);
    EXPECT_EQ(store.GetDataByIndex(0), area);
}

// ---- buffer memory ----

TEST(TqBufferTest, StartsEmpty) {
    TqBuffer buffer;
    EXPECT_EQ(buffer.GetPayloadType(), TqPayloadTypeImage);
    EXPECT_FALSE(buffer.IsAllocated());
    EXPECT_FALSE(buffer.IsAttached());
    EXPECT_EQ(buffer.GetSize(), 0u);
    EXPECT_EQ(buffer.GetDataPointer(), nullptr);
    EXPECT_EQ(buffer.GetPayloadLength(), 0u);
    EXPECT_FALSE(buffer.HasChunks());
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 0u);
    EXPECT_EQ(buffer.AddChunk(1, U8("a"), 1).GetCode(), TQ_BUFFER_TOO_SMALL);
    EXPECT_EQ(TqBuffer(TqPayloadTypeRawData).GetPayloadType(), TqPayloadTypeRawData);
}

TEST(TqBufferTest, AllocGivesZeroFilledMemory) {
    TqBuffer buffer;
    ASSERT_TRUE(buffer.Alloc(64).IsOK());
    EXPECT_TRUE(buffer.IsAllocated());
    EXPECT_FALSE(buffer.IsAttached());
    EXPECT_EQ(buffer.GetSize(), 64u);
    ASSERT_NE(buffer.GetDataPointer(), nullptr);
    for (uint32_t i = 0; i < 64; ++i) ASSERT_EQ(buffer.GetDataPointer()[i], 0) << i;
    std::memset(buffer.GetDataPointer(), 0xAB, 64);
    ASSERT_TRUE(buffer.Alloc(128).IsOK());
    EXPECT_EQ(buffer.GetSize(), 128u);
    for (uint32_t i = 0; i < 128; ++i) ASSERT_EQ(buffer.GetDataPointer()[i], 0) << i;
    ASSERT_TRUE(buffer.Alloc(0).IsOK());
    EXPECT_FALSE(buffer.IsAllocated());
    EXPECT_EQ(buffer.GetSize(), 0u);
    EXPECT_EQ(buffer.GetDataPointer(), nullptr);
}

TEST(TqBufferTest, AttachUsesTheMemoryInPlace) {
    uint8_t memory[32] = {};
    uint8_t other[16] = {};
    TqBuffer buffer;
    EXPECT_EQ(buffer.Attach(nullptr, 32).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_FALSE(buffer.IsAttached());
    ASSERT_TRUE(buffer.Attach(memory, sizeof memory).IsOK());
    EXPECT_TRUE(buffer.IsAttached());
    EXPECT_FALSE(buffer.IsAllocated());
    EXPECT_EQ(buffer.GetDataPointer(), memory);
    EXPECT_EQ(buffer.GetSize(), 32u);
    ASSERT_TRUE(buffer.Attach(other, sizeof other).IsOK()) << "attaching again replaces the attachment";
    EXPECT_EQ(buffer.GetDataPointer(), other);
    EXPECT_EQ(buffer.GetSize(), 16u);
    EXPECT_EQ(buffer.Detach(), other);
    EXPECT_FALSE(buffer.IsAttached());
    EXPECT_EQ(buffer.GetSize(), 0u);
    EXPECT_EQ(buffer.GetDataPointer(), nullptr);
    EXPECT_EQ(buffer.Detach(), nullptr) << "nothing attached any more";
}

TEST(TqBufferTest, AllocatedAndAttachedExcludeEachOther) {
    uint8_t memory[32] = {};
    TqBuffer buffer;
    ASSERT_TRUE(buffer.Attach(memory, sizeof memory).IsOK());
    EXPECT_EQ(buffer.Alloc(16).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(buffer.Alloc(0).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(buffer.GetDataPointer(), memory) << "a refused Alloc keeps the attachment";
    buffer.Free();
    EXPECT_TRUE(buffer.IsAttached()) << "Free leaves attached memory alone";
    EXPECT_EQ(buffer.GetDataPointer(), memory);
    EXPECT_EQ(buffer.Detach(), memory);

    ASSERT_TRUE(buffer.Alloc(16).IsOK());
    uint8_t* own = buffer.GetDataPointer();
    EXPECT_EQ(buffer.Attach(memory, sizeof memory).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(buffer.Attach(nullptr, 4).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(buffer.GetDataPointer(), own);
    EXPECT_EQ(buffer.Detach(), nullptr) << "allocated memory is not handed out";
    EXPECT_TRUE(buffer.IsAllocated());
    EXPECT_EQ(buffer.GetSize(), 16u);
    buffer.Free();
    EXPECT_FALSE(buffer.IsAllocated());
    EXPECT_EQ(buffer.GetSize(), 0u);
    buffer.Free();   // nothing to free
    ASSERT_TRUE(buffer.Attach(memory, sizeof memory).IsOK()) << "after Free the buffer can attach";
    buffer.Detach();
}

TEST(TqBufferTest, DestructorFreesOnlyItsOwnMemory) {
    long buffers = TqLiveObjects::Count("TqBuffer");
    auto* memory = new uint8_t[32]();
    {
        TqBuffer attached;
        ASSERT_TRUE(attached.Attach(memory, 32).IsOK());
        ASSERT_TRUE(attached.AllocChunk(16).IsOK());
        TqBuffer allocated;
        ASSERT_TRUE(allocated.Alloc(32).IsOK());
        ASSERT_TRUE(allocated.AllocChunk(16).IsOK());
        EXPECT_EQ(TqLiveObjects::Count("TqBuffer"), buffers + 2);
    }
    EXPECT_EQ(TqLiveObjects::Count("TqBuffer"), buffers);
    memory[31] = 1;   // still ours (the sanitizer build sees a use after free otherwise)
    delete[] memory;

    std::unique_ptr<ITqChunkData> through(new TqBuffer(TqPayloadTypeChunkData));
    EXPECT_EQ(TqLiveObjects::Count("TqBuffer"), buffers + 1);
    through.reset();
    EXPECT_EQ(TqLiveObjects::Count("TqBuffer"), buffers) << "destroyed through the interface";
}

TEST(TqBufferTest, PayloadLengthStaysWithinTheMemory) {
    TqBuffer buffer;
    EXPECT_EQ(buffer.SetPayloadLength(1).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(buffer.SetPayloadLength(0).IsOK());
    ASSERT_TRUE(buffer.Alloc(40).IsOK());
    EXPECT_TRUE(buffer.SetPayloadLength(40).IsOK());
    EXPECT_EQ(buffer.GetPayloadLength(), 40u);
    EXPECT_EQ(buffer.SetPayloadLength(41).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(buffer.GetPayloadLength(), 40u);
    ASSERT_TRUE(buffer.Alloc(20).IsOK());
    EXPECT_EQ(buffer.GetPayloadLength(), 0u) << "new memory holds no payload";
    ASSERT_TRUE(buffer.SetPayloadLength(20).IsOK());
    buffer.Free();
    EXPECT_EQ(buffer.GetPayloadLength(), 0u);
}

TEST(TqBufferTest, ResetKeepsMemoryAndDropsTheRest) {
    TqBuffer buffer(TqPayloadTypeRawData);
    ASSERT_TRUE(buffer.Alloc(64).IsOK());
    uint8_t* memory = buffer.GetDataPointer();
    ASSERT_TRUE(buffer.SetPayloadLength(10).IsOK());
    buffer.SetChunkLayoutID(42);
    ASSERT_TRUE(buffer.AddChunk(1, U8("abc"), 3).IsOK());
    ASSERT_TRUE(buffer.Reset(TqPayloadTypeImage).IsOK());
    EXPECT_EQ(buffer.GetPayloadType(), TqPayloadTypeImage);
    EXPECT_EQ(buffer.GetDataPointer(), memory);
    EXPECT_EQ(buffer.GetSize(), 64u);
    EXPECT_TRUE(buffer.IsAllocated());
    EXPECT_EQ(buffer.GetPayloadLength(), 0u);
    EXPECT_EQ(buffer.GetChunkLayoutID(), 0u);
    EXPECT_FALSE(buffer.HasChunks());
    EXPECT_EQ(buffer.GetChunkCount(), 0u);
    EXPECT_EQ(buffer.GetChunkDataSize(), 0u);
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 64u - 8u);
    ASSERT_TRUE(buffer.AddChunk(2, U8("de"), 2).IsOK());
    ASSERT_TRUE(buffer.Reset().IsOK());
    EXPECT_EQ(buffer.GetChunkCount(), 0u) << "dropped even where the chunks' place stays the same";
    EXPECT_EQ(buffer.GetChunkDataSize(), 0u);

    uint8_t attached[16] = {};
    TqBuffer other;
    ASSERT_TRUE(other.Attach(attached, sizeof attached).IsOK());
    ASSERT_TRUE(other.Reset(TqPayloadTypeFile).IsOK());
    EXPECT_TRUE(other.IsAttached()) << "Reset keeps an attachment too";
    EXPECT_EQ(other.Detach(), attached);
}

// ---- where a buffer's chunks live ----

TEST(TqBufferChunksTest, AfterThePayloadInTheBufferMemory) {
    std::vector<uint8_t> memory(64, 0xEE);
    TqBuffer buffer(TqPayloadTypeRawData);
    ASSERT_TRUE(buffer.Attach(memory.data(), 48).IsOK());
    ASSERT_TRUE(buffer.SetPayloadLength(16).IsOK());
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 32u);
    ASSERT_TRUE(buffer.AddChunk(0x01020304, U8("hello"), 5).IsOK());
    Bytes expected = Chunk(0x01020304, "hello");
    EXPECT_EQ(Bytes(memory.begin() + 16, memory.begin() + 16 + expected.size()), expected);
    EXPECT_EQ(memory[15], 0xEE) << "the payload is not touched";
    EXPECT_EQ(buffer.GetChunkRawDataByIndex(0), memory.data() + 16);
    EXPECT_EQ(buffer.GetChunkDataSize(), 13u) << "no main chunk outside image buffers";
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 32u - 13u);
    EXPECT_EQ(buffer.AddChunk(2, U8("0123456789ab"), 12).GetCode(), TQ_BUFFER_TOO_SMALL) << "12 + 8 > 19";
    ASSERT_TRUE(buffer.AddChunk(2, U8("0123456789a"), 11).IsOK());
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 0u);
    EXPECT_EQ(memory[48], 0xEE) << "nothing past the attached size";
    EXPECT_EQ(buffer.GetChunkCount(), 2u);
    buffer.Detach();
}

TEST(TqBufferChunksTest, ImageBufferKeepsRoomForTheMainChunk) {
    TqBuffer buffer;   // image
    ASSERT_TRUE(buffer.Alloc(40).IsOK());
    ASSERT_TRUE(buffer.SetPayloadLength(8).IsOK());
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 32u - 8u);
    EXPECT_EQ(buffer.GetChunkDataSize(), 0u);
    EXPECT_EQ(buffer.AddChunk(1, U8("0123456789abcdefg"), 17).GetCode(), TQ_BUFFER_TOO_SMALL) << "17 + 8 + 8 > 32";
    ASSERT_TRUE(buffer.AddChunk(1, U8("abcd"), 4).IsOK());
    EXPECT_EQ(buffer.GetChunkRawDataByIndex(0), buffer.GetDataPointer() + 8);
    EXPECT_EQ(buffer.GetChunkDataSize(), 12u + 8u);
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 32u - 20u);
    EXPECT_EQ(buffer.AddChunk(2, U8("abcde"), 5).GetCode(), TQ_BUFFER_TOO_SMALL);
    ASSERT_TRUE(buffer.AddChunk(2, U8("abcd"), 4).IsOK());
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 0u);
    EXPECT_EQ(buffer.GetChunkDataSize(), 32u);

    TqBuffer tiny;
    ASSERT_TRUE(tiny.Alloc(12).IsOK());
    EXPECT_EQ(tiny.GetChunkDataCapacity(), 4u);
    EXPECT_EQ(tiny.AddChunk(1, nullptr, 0).GetCode(), TQ_BUFFER_TOO_SMALL) << "8 + 8 > 12";
    ASSERT_TRUE(tiny.Alloc(4).IsOK());
    EXPECT_EQ(tiny.GetChunkDataCapacity(), 0u) << "less room than the reserve is no room, not a wrap-around";
}

TEST(TqBufferChunksTest, ChunkAreaOfItsOwn) {
    std::vector<uint8_t> memory(32, 0xEE);
    TqBuffer buffer;   // image: no reserve once the chunks have an area of their own
    ASSERT_TRUE(buffer.Attach(memory.data(), 32).IsOK());
    ASSERT_TRUE(buffer.AllocChunk(24).IsOK());
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 24u);
    ASSERT_TRUE(buffer.AddChunk(5, U8("0123456789abcdef"), 16).IsOK()) << "16 + 8 fills the chunk area";
    EXPECT_EQ(buffer.GetChunkDataSize(), 24u);
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 0u);
    EXPECT_EQ(std::count(memory.begin(), memory.end(), 0xEE), 32) << "the buffer memory is not touched";
    const uint8_t* chunk = buffer.GetChunkRawDataByID(5);
    ASSERT_NE(chunk, nullptr);
    EXPECT_TRUE(chunk < memory.data() || chunk >= memory.data() + memory.size());

    // The chunk area does not move with the buffer memory or the payload length.
    ASSERT_TRUE(buffer.SetPayloadLength(20).IsOK());
    ASSERT_EQ(buffer.GetChunkCount(), 1u);
    EXPECT_EQ(buffer.GetChunkRawDataByID(5), chunk);
    EXPECT_EQ(buffer.Detach(), memory.data());
    ASSERT_TRUE(buffer.Alloc(8).IsOK());
    EXPECT_EQ(buffer.GetChunkCount(), 1u);
    buffer.Free();
    EXPECT_EQ(buffer.GetChunkCount(), 1u);

    // A new chunk area starts empty and zero-filled.
    ASSERT_TRUE(buffer.AllocChunk(16).IsOK());
    EXPECT_FALSE(buffer.HasChunks());
    EXPECT_EQ(buffer.GetChunkCount(), 0u);
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 16u);

    // Without the chunk area the chunks go back after the payload, and the image reserve returns.
    ASSERT_TRUE(buffer.AddChunk(6, U8("x"), 1).IsOK());
    ASSERT_TRUE(buffer.Alloc(40).IsOK());
    buffer.FreeChunk();
    EXPECT_EQ(buffer.GetChunkCount(), 0u);
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 40u - 8u);
    ASSERT_TRUE(buffer.AddChunk(7, U8("y"), 1).IsOK());
    EXPECT_EQ(buffer.GetChunkRawDataByIndex(0), buffer.GetDataPointer());
    buffer.FreeChunk();   // none to free: the chunks stay where they are
    EXPECT_EQ(buffer.GetChunkCount(), 1u);
    ASSERT_TRUE(buffer.AllocChunk(0).IsOK()) << "a zero-sized chunk area is none";
    EXPECT_EQ(buffer.GetChunkCount(), 1u);
}

TEST(TqBufferChunksTest, ChunksGoWithTheirPlace) {
    uint8_t first[32] = {};
    uint8_t second[32] = {};
    TqBuffer buffer(TqPayloadTypeRawData);
    ASSERT_TRUE(buffer.Attach(first, sizeof first).IsOK());
    ASSERT_TRUE(buffer.AddChunk(1, U8("abc"), 3).IsOK());
    ASSERT_TRUE(buffer.SetPayloadLength(0).IsOK());
    EXPECT_EQ(buffer.GetChunkCount(), 1u) << "the same payload length keeps the chunks";
    ASSERT_TRUE(buffer.SetPayloadLength(4).IsOK());
    EXPECT_EQ(buffer.GetChunkCount(), 0u) << "a new payload length moves the chunks' place";
    EXPECT_EQ(buffer.GetChunkDataSize(), 0u);
    ASSERT_TRUE(buffer.AddChunk(2, U8("de"), 2).IsOK());
    ASSERT_TRUE(buffer.Attach(second, sizeof second).IsOK());
    EXPECT_FALSE(buffer.HasChunks()) << "other memory, no chunks";
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 32u);
    ASSERT_TRUE(buffer.AddChunk(3, U8("f"), 1).IsOK());
    buffer.Detach();
    EXPECT_FALSE(buffer.HasChunks());
    EXPECT_EQ(buffer.GetChunkRawDataByIndex(0), nullptr);
    EXPECT_EQ(buffer.AddChunk(4, U8("g"), 1).GetCode(), TQ_BUFFER_TOO_SMALL);
}

TEST(TqBufferChunksTest, ResetChunksKeepsTheLayoutID) {
    TqBuffer buffer(TqPayloadTypeRawData);
    ASSERT_TRUE(buffer.Alloc(32).IsOK());
    buffer.SetChunkLayoutID(0xC0FFEE);
    ASSERT_TRUE(buffer.AddChunk(1, U8("abc"), 3).IsOK());
    buffer.ResetChunks();
    EXPECT_FALSE(buffer.HasChunks());
    EXPECT_EQ(buffer.GetChunkLayoutID(), 0xC0FFEEu);
    EXPECT_EQ(buffer.GetChunkDataCapacity(), 32u);
    ASSERT_TRUE(buffer.AddChunk(2, U8("z"), 1).IsOK());
    EXPECT_EQ(buffer.GetChunkRawDataByIndex(0), buffer.GetDataPointer());
}

// ---- chunk-data payload ----

TEST(TqChunkDataTest, AttachReadsChunksAlreadyInTheMemory) {
    Bytes bytes = Concat({Chunk(0x10, "timestamp"), Chunk(0x20, ""), Chunk(0x10, "xy")});
    auto heap = HeapCopy(bytes);
    TqChunkData data;
    ASSERT_TRUE(data.Attach(heap.get(), static_cast<uint32_t>(bytes.size())).IsOK());
    EXPECT_TRUE(data.HasChunks());
    EXPECT_EQ(data.GetChunkDataPayloadLength(), bytes.size());
    EXPECT_EQ(data.GetChunkDataSize(), bytes.size());
    EXPECT_EQ(data.GetChunkDataCapacity(), 0u);
    ASSERT_EQ(data.GetChunkCount(), 3u);
    uint32_t id = 0;
    ASSERT_TRUE(data.GetChunkIDByIndex(1, id).IsOK());
    EXPECT_EQ(id, 0x20u);
    EXPECT_EQ(data.GetChunkRawDataByIndex(0), heap.get());
    EXPECT_EQ(Text(data.GetChunkRawDataByID(0x10), 9), "timestamp");
    EXPECT_EQ(data.GetChunkSizeByID(0x20), 0u);
    EXPECT_EQ(data.GetChunkRawDataByID(0x20), heap.get() + 17);
    EXPECT_EQ(Text(data.GetChunkRawDataByIndex(2), 2), "xy");
    EXPECT_EQ(data.AddChunk(1, nullptr, 0).GetCode(), TQ_BUFFER_TOO_SMALL) << "attached memory is full";
    EXPECT_EQ(data.Detach(), heap.get());
}

TEST(TqChunkDataTest, DamagedAttachedMemoryStaysInside) {
    std::mt19937 random(777);
    TqChunkData data;
    for (int round = 0; round < 1000; ++round) {
        Layout layout = RandomLayout(random);
        uint32_t length = static_cast<uint32_t>(layout.bytes.size());
        auto heap = HeapCopy(layout.bytes);
        ASSERT_TRUE(data.Attach(heap.get(), length).IsOK());
        Lookups lookups{data};
        ExpectChunksInside(lookups, heap.get(), length);
        if (::testing::Test::HasFatalFailure()) return;
        if (!layout.damaged) {
            ASSERT_EQ(data.GetChunkCount(), layout.ids.size());
        }
        EXPECT_EQ(data.GetChunkDataPayloadLength(), length);
        ASSERT_EQ(data.Detach(), heap.get());
    }
}

TEST(TqChunkDataTest, ChunksWrittenByAnotherReadBack) {
    // A buffer writes chunks after its payload; the same bytes attached as chunk data read back alike.
    std::vector<uint8_t> memory(64);
    TqBuffer buffer(TqPayloadTypeRawData);
    ASSERT_TRUE(buffer.Attach(memory.data(), 64).IsOK());
    ASSERT_TRUE(buffer.SetPayloadLength(6).IsOK());
    ASSERT_TRUE(buffer.AddChunk(11, U8("one"), 3).IsOK());
    ASSERT_TRUE(buffer.AddChunk(22, U8("two!"), 4).IsOK());
    TqChunkData data;
    ASSERT_TRUE(data.Attach(memory.data() + 6, buffer.GetChunkDataSize()).IsOK());
    ASSERT_EQ(data.GetChunkCount(), 2u);
    EXPECT_EQ(data.GetChunkRawDataByID(22), buffer.GetChunkRawDataByID(22));
    EXPECT_EQ(data.GetChunkSizeByIndex(1), 4u);
    data.Detach();
    buffer.Detach();
}

TEST(TqChunkDataTest, AllocatedMemoryStartsEmpty) {
    TqChunkData data;
    EXPECT_EQ(data.AddChunk(1, U8("a"), 1).GetCode(), TQ_BUFFER_TOO_SMALL) << "no memory";
    EXPECT_EQ(data.GetChunkDataCapacity(), 0u);
    ASSERT_TRUE(data.Alloc(24).IsOK());
    EXPECT_FALSE(data.HasChunks());
    EXPECT_EQ(data.GetChunkDataPayloadLength(), 0u);
    EXPECT_EQ(data.GetChunkDataCapacity(), 24u) << "no main chunk in a chunk-data payload";
    ASSERT_TRUE(data.AddChunk(1, U8("abcd"), 4).IsOK());
    EXPECT_EQ(data.GetChunkDataPayloadLength(), 12u);
    EXPECT_EQ(data.GetChunkDataSize(), 12u);
    EXPECT_EQ(data.GetChunkDataCapacity(), 12u);
    EXPECT_EQ(data.AddChunk(2, U8("abcde"), 5).GetCode(), TQ_BUFFER_TOO_SMALL);
    ASSERT_TRUE(data.AddChunk(2, U8("wxyz"), 4).IsOK());
    EXPECT_EQ(data.GetChunkDataCapacity(), 0u);
    ASSERT_EQ(data.GetChunkCount(), 2u);
    EXPECT_EQ(Text(data.GetChunkRawDataByID(2), 4), "wxyz");

    ASSERT_TRUE(data.Alloc(16).IsOK()) << "allocating again starts over";
    EXPECT_EQ(data.GetChunkCount(), 0u);
    EXPECT_EQ(data.GetChunkDataCapacity(), 16u);
    EXPECT_EQ(data.Detach(), nullptr) << "allocated memory is not handed out";
    EXPECT_EQ(data.GetChunkDataCapacity(), 16u);
    data.Free();
    EXPECT_EQ(data.GetChunkDataCapacity(), 0u);
    EXPECT_EQ(data.GetChunkDataPayloadLength(), 0u);
    ASSERT_TRUE(data.Alloc(8).IsOK());
    ASSERT_TRUE(data.Alloc(0).IsOK());
    EXPECT_EQ(data.GetChunkDataCapacity(), 0u);
}

TEST(TqChunkDataTest, StateErrors) {
    uint8_t memory[16] = {};
    TqChunkData data;
    EXPECT_EQ(data.Attach(nullptr, 16).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(data.Detach(), nullptr);
    ASSERT_TRUE(data.Attach(memory, sizeof memory).IsOK());
    EXPECT_EQ(data.Alloc(8).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(data.Alloc(0).GetCode(), TQ_STATE_ERROR);
    data.Free();
    EXPECT_EQ(data.GetChunkDataPayloadLength(), 16u) << "Free leaves attached memory alone";
    EXPECT_EQ(data.Detach(), memory);
    EXPECT_EQ(data.GetChunkDataPayloadLength(), 0u);
    EXPECT_EQ(data.GetChunkCount(), 0u);
    EXPECT_EQ(data.AddChunk(1, nullptr, 0).GetCode(), TQ_BUFFER_TOO_SMALL);

    ASSERT_TRUE(data.Alloc(8).IsOK());
    EXPECT_EQ(data.Attach(memory, sizeof memory).GetCode(), TQ_STATE_ERROR);
    ASSERT_TRUE(data.AddChunk(1, nullptr, 0).IsOK()) << "still the allocated memory";
    data.Free();
    ASSERT_TRUE(data.Attach(memory, sizeof memory).IsOK());
    ASSERT_TRUE(data.Attach(memory + 8, 8).IsOK()) << "attaching again replaces the attachment";
    EXPECT_EQ(data.GetChunkDataPayloadLength(), 8u);
    EXPECT_EQ(data.Detach(), memory + 8);
}

TEST(TqChunkDataTest, ResetChunksReusesAttachedMemory) {
    uint8_t memory[32];
    std::memset(memory, 0xEE, sizeof memory);
    TqChunkData data;
    ASSERT_TRUE(data.Attach(memory, sizeof memory).IsOK());
    data.SetChunkLayoutID(3);
    data.ResetChunks();
    EXPECT_FALSE(data.HasChunks());
    EXPECT_EQ(data.GetChunkLayoutID(), 3u);
    EXPECT_EQ(data.GetChunkDataCapacity(), 32u);
    ASSERT_TRUE(data.AddChunk(0xAABBCCDD, U8("hi"), 2).IsOK());
    Bytes expected = Chunk(0xAABBCCDD, "hi");
    EXPECT_EQ(Bytes(memory, memory + expected.size()), expected);
    EXPECT_EQ(memory[expected.size()], 0xEE);
    EXPECT_EQ(data.GetChunkDataPayloadLength(), expected.size());
    EXPECT_EQ(data.Detach(), memory);
}

TEST(TqChunkDataTest, CountedAndFreedOnDestruction) {
    long before = TqLiveObjects::Count("TqChunkData");
    auto* memory = new uint8_t[16]();
    {
        TqChunkData allocated;
        ASSERT_TRUE(allocated.Alloc(64).IsOK());
        TqChunkData attached;
        ASSERT_TRUE(attached.Attach(memory, 16).IsOK());
        std::unique_ptr<ITqChunkData> through(new TqChunkData());
        EXPECT_EQ(TqLiveObjects::Count("TqChunkData"), before + 3);
    }
    EXPECT_EQ(TqLiveObjects::Count("TqChunkData"), before);
    memory[15] = 1;   // attached memory outlives the object that used it
    delete[] memory;
}

// ---- the block's payload interfaces and reception record ----

TEST(BufferReception, PayloadInterfacesFollowThePayloadType) {
    TqBuffer buffer(TqPayloadTypeImage);
    EXPECT_NE(buffer.GetImage(), nullptr);
    EXPECT_EQ(buffer.GetRawData(), nullptr);
    EXPECT_EQ(buffer.GetChunkData(), nullptr);
    EXPECT_EQ(buffer.GetMultiPartContainer(), nullptr);
    EXPECT_EQ(buffer.GetImage(), buffer.GetImage());   // one object, owned by the buffer
    buffer.Reset(TqPayloadTypeH264);
    EXPECT_EQ(buffer.GetImage(), nullptr);
    EXPECT_NE(buffer.GetH264AccessUnit(), nullptr);
    buffer.Reset(TqPayloadTypeZelvraCompressed);
    EXPECT_NE(buffer.GetZelvraCompressed(), nullptr);
    buffer.Reset(TqPayloadTypeChunkData);
    const TqBuffer& view = buffer;
    EXPECT_EQ(view.GetChunkData(), buffer.GetChunkData());
}

TEST(BufferReception, MissingPacketGroupsAndReset) {
    TqBuffer buffer;
    TqBufferReception r;
    r.mExtendedID = true;
    r.mLostPackets = 7;
    r.mMissingPacketGroups = {{3, 5}, {9, 0xFFFFFFFF}};
    buffer.SetReception(TqPayloadTypeRawData, r);
    uint32_t count = 99, low = 99, high = 99;
    EXPECT_TRUE(buffer.GetMissingPacketIdsCount(count).IsOK());
    EXPECT_EQ(count, 2u);
    EXPECT_TRUE(buffer.GetMissingPacketIds(1, low, high).IsOK());
    EXPECT_EQ(low, 9u);
    EXPECT_EQ(high, 0xFFFFFFFFu);
    EXPECT_EQ(buffer.GetMissingPacketIds(2, low, high).GetCode(), static_cast<uint32_t>(TQ_NOT_FOUND));
    EXPECT_EQ(buffer.GetPayloadType(), TqPayloadTypeRawData);
    EXPECT_TRUE(buffer.SetBlockID(1ull << 40).IsOK());
    buffer.Reset();
    EXPECT_EQ(buffer.GetLostPacketCount(), 0u);
    EXPECT_FALSE(buffer.IsExtendedID());
    // Any buffer takes any 64-bit block ID, extended IDs or not.
    for (uint64_t id : {uint64_t(0x10000), uint64_t(1) << 40, ~uint64_t(0), uint64_t(0)}) {
        EXPECT_TRUE(buffer.SetBlockID(id).IsOK());
        EXPECT_EQ(buffer.GetBlockID(), id);
    }
    EXPECT_TRUE(buffer.GetMissingPacketIdsCount(count).IsOK());
    EXPECT_EQ(count, 0u);
}

// The memory blocks behind buffers: small ones from the heap, large ones (2 MiB and more) mapped on
// their own at a huge page's boundary and asked for huge pages. Either kind is zero-filled over its
// whole size, a view's hold keeps it until the last let go, and the block counted live goes with it.
namespace {

// The VmFlags of the mapping that contains aAddress, from /proc/self/smaps ("" if none does).
std::string MappingFlags(const void* aAddress) {
    FILE* smaps = std::fopen("/proc/self/smaps", "re");
    if (smaps == nullptr) return "";
    const auto at = reinterpret_cast<uintptr_t>(aAddress);
    bool inside = false;
    std::string flags;
    char line[512];
    while (flags.empty() && std::fgets(line, sizeof line, smaps)) {
        unsigned long long from = 0, to = 0;
        if (std::sscanf(line, "%llx-%llx ", &from, &to) == 2)   // a mapping's first line
            inside = at >= from && at < to;
        else if (inside && std::strncmp(line, "VmFlags:", 8) == 0)
            flags = line + 8;
    }
    std::fclose(smaps);
    return flags;
}

}  // namespace

TEST(TqMemoryBlocksTest, BlocksOfEverySizeAreZeroHeldAndFreed) {
    constexpr uint64_t kHuge = uint64_t(2) << 20;
    const uint64_t live = TqMemoryBlocks::LiveBlocks();
    for (uint64_t size : {uint64_t(1), kHuge - 1, kHuge, kHuge + 1, uint64_t(2448) * 2048 * 3 + 5}) {
        SCOPED_TRACE(size);
        uint8_t* data = TqMemoryBlocks::Allocate(size);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % (size >= kHuge ? kHuge : 16), 0u);
        EXPECT_EQ(TqMemoryBlocks::LiveBlocks(), live + 1);
        for (uint64_t i : {uint64_t(0), size / 2, size - 1}) ASSERT_EQ(data[i], 0) << i;
        EXPECT_EQ(std::count(data, data + size, 0), std::ptrdiff_t(size));
        std::memset(data, 0x5C, size);
        // A view of the last byte holds the block past the SDK's release; one past the end is no block.
        uint64_t available = 0;
        const void* hold = TqMemoryBlocks::Hold(data + size - 1, available);
        ASSERT_NE(hold, nullptr);
        EXPECT_EQ(available, 1u);
        EXPECT_EQ(TqMemoryBlocks::Hold(data + size, available), nullptr);
        EXPECT_EQ(available, 0u);
        TqMemoryBlocks::Release(data);
        EXPECT_EQ(TqMemoryBlocks::LiveBlocks(), live + 1);
        EXPECT_EQ(data[size - 1], 0x5C);   // still there for the view
        TqMemoryBlocks::Drop(hold);
        EXPECT_EQ(TqMemoryBlocks::LiveBlocks(), live);
    }
}

TEST(TqMemoryBlocksTest, AFrameSizedBlockIsAskedForHugePages) {
    if (FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "re"))
        std::fclose(f);
    else
        GTEST_SKIP() << "no transparent huge pages in this kernel";
    TqMemoryBlocks::Owned frame(uint64_t(5472) * 3648);
    ASSERT_NE(frame.data(), nullptr);
    // "hg": advised for huge pages (the advice precedes any touch, so the first fault may take one).
    EXPECT_NE(MappingFlags(frame.data()).find(" hg"), std::string::npos) << MappingFlags(frame.data());
    TqMemoryBlocks::Owned small(4096);
    EXPECT_EQ(MappingFlags(small.data()).find(" hg"), std::string::npos);
}

TEST(TqMemoryBlocksTest, AFrameSizedBlockIsInMemoryBeforeItsFirstTouch) {
    // A receiver's first packets into a fresh buffer find its pages there, not a fault each page.
    constexpr size_t kSize = size_t(2448) * 2048;
    TqMemoryBlocks::Owned frame(kSize);
    ASSERT_NE(frame.data(), nullptr);
    std::vector<unsigned char> resident((kSize + 4095) / 4096);
    ASSERT_EQ(::mincore(frame.data(), kSize, resident.data()), 0) << std::strerror(errno);
    EXPECT_EQ(std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; }),
              std::ptrdiff_t(resident.size()));
}
