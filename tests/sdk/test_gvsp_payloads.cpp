// The payload types a device sends, through the GigE Vision receiver's block assembly: blocks with
// 64-bit block IDs, images with chunks, chunk data and multi-part blocks (standard and large leaders)
// arrive whole in the buffer's accessors; a trailer marked DATA_OVERRUN, a multi-part block of more
// parts than a container holds, and packets that lie outside their part are told, never dropped in
// silence; resends are asked for in the form of the block's IDs. The packets are the engine's, made
// through the streaming codec's builders.
#include "ITqMultiPart.h"
#include "TqChunkData.h"
#include "TqDeviceEngine.h"
#include "TqGvspAssembler.h"
#include "TqImage.h"
#include "TqStreamState.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

using namespace TqEngine;
using TqStreamLib::GvspAssembler;
using Bytes = std::vector<uint8_t>;

namespace {

// A receiver with buffers of the given sizes queued.
struct Receiver {
    explicit Receiver(std::vector<uint32_t> aSizes, uint32_t aChunkHint = 0) : assembler(state) {
        for (uint32_t size : aSizes) {
            buffers.push_back(std::make_unique<TqBuffer>());
            EXPECT_TRUE(buffers.back()->Alloc(size).IsOK());
            state.input.push_back(buffers.back().get());
        }
        assembler.SetChunkHint(aChunkHint);
    }
    void Send(const std::vector<Bytes>& aPackets) {
        for (const Bytes& p : aPackets) assembler.Process(p.data(), p.size(), now);
    }
    // The next block handed back: its buffer and result (null: none).
    std::pair<TqBuffer*, uint32_t> Back() {
        if (state.output.empty()) return {nullptr, 0};
        const TqStreamLib::Done done = state.output.front();
        state.output.pop_front();
        return {done.buffer, done.result};
    }
    std::vector<std::pair<uint32_t, uint32_t>> Missing(TqBuffer& aBuffer) {
        std::vector<std::pair<uint32_t, uint32_t>> groups;
        uint32_t count = 0;
        aBuffer.GetMissingPacketIdsCount(count);
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t low = 0, high = 0;
            aBuffer.GetMissingPacketIds(i, low, high);
            groups.emplace_back(low, high);
        }
        return groups;
    }

    std::vector<std::unique_ptr<TqBuffer>> buffers;   // outlive the state
    TqStreamLib::State state;
    GvspAssembler assembler;
    GvspAssembler::Clock::time_point now = GvspAssembler::Clock::time_point() + std::chrono::hours(1);
};

Bytes Counting(size_t aSize, uint8_t aFrom) {
    Bytes b(aSize);
    for (size_t i = 0; i < aSize; ++i) b[i] = uint8_t(aFrom + i);
    return b;
}

// An image frame of w x h Mono8 pixels, its chunks (laid out as a sender does: the image's chunk
// trailer, then the chunks, each its data and then its ID and length) when given.
struct ImageFrame {
    Bytes image, chunks;
    Frame frame;
    ImageFrame(uint32_t aWidth, uint32_t aHeight, uint64_t aBlock, std::vector<std::pair<uint32_t, Bytes>> aChunks = {}) {
        image = Counting(size_t(aWidth) * aHeight, uint8_t(aBlock));
        frame.blockId = aBlock;
        frame.width = aWidth;
        frame.height = aHeight;
        frame.image = image.data();
        frame.imageSize = image.size();
        if (aChunks.empty()) return;
        chunks.resize(8);
        TqWire::Put32(chunks.data(), 0);
        TqWire::Put32(chunks.data() + 4, uint32_t(image.size()));
        for (auto& [id, data] : aChunks) {
            chunks.insert(chunks.end(), data.begin(), data.end());
            chunks.resize(chunks.size() + 8);
            TqWire::Put32(chunks.data() + chunks.size() - 8, id);
            TqWire::Put32(chunks.data() + chunks.size() - 4, uint32_t(data.size()));
        }
        frame.chunks = chunks.data();
        frame.chunkSize = chunks.size();
        frame.chunkLayoutId = 0x1234;
    }
};

// A multi-part frame: each part an image of w x h Mono8 pixels (data purpose n), or as given.
struct PartsFrame {
    std::vector<Bytes> data;
    Frame frame;
    PartsFrame(uint64_t aBlock, size_t aParts, uint32_t aWidth = 8, uint32_t aHeight = 4) {
        frame.blockId = aBlock;
        frame.payloadType = Gvsp::kPayloadMultiPart;
        for (size_t n = 0; n < aParts; ++n) {
            data.push_back(Counting(size_t(aWidth) * aHeight, uint8_t(0x10 * n + 1)));
            FramePart part;
            part.entry.dataType = n == 1 ? TqMultiPartConfidenceMap : TqMultiPart2DImage;
            part.entry.dataPurposeId = uint16_t(n);
            part.entry.sourceId = 3;
            part.entry.image = {Pfnc::kMono8, aWidth, aHeight, 2, 1, 0, 0};
            part.sizeY = aHeight;
            frame.parts.push_back(part);
        }
        for (size_t n = 0; n < aParts; ++n) {   // once the bytes no longer move
            frame.parts[n].data = data[n].data();
            frame.parts[n].size = data[n].size();
        }
    }
};

constexpr uint32_t kPacket = 576;

}  // namespace

TEST(GvspPayloads, ExtendedIdsArriveWholeAndNameALostTrailerWithTheirWiderEnd) {
    Receiver r({4096, 4096});
    const uint64_t id = (uint64_t(1) << 40) + 7;
    ImageFrame f(32, 24, id);
    auto packets = BuildPackets(f.frame, 99, kPacket, true);
    for (const Bytes& p : packets) EXPECT_EQ(p[4] & Gvsp::kExtendedIdFlag, Gvsp::kExtendedIdFlag);
    r.Send(packets);
    auto [buffer, result] = r.Back();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(result, TQ_OK);
    EXPECT_EQ(buffer->GetBlockID(), id);
    EXPECT_TRUE(buffer->IsExtendedID());
    EXPECT_EQ(buffer->GetImage()->GetBlockID(), id);
    EXPECT_EQ(0, std::memcmp(buffer->GetDataPointer(), f.image.data(), f.image.size()));

    // The next block without its trailer: the group that reaches it ends at 0xFFFFFFFF.
    ImageFrame next(32, 24, id + 1);
    packets = BuildPackets(next.frame, 99, kPacket, true);
    packets.pop_back();
    packets.erase(packets.begin() + 1);
    r.Send(packets);
    r.assembler.Expire(r.now + std::chrono::seconds(5));
    std::tie(buffer, result) = r.Back();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(result, TQ_MISSING_PACKETS);
    EXPECT_EQ(buffer->GetBlockID(), id + 1);
    const auto missing = r.Missing(*buffer);
    ASSERT_FALSE(missing.empty());
    EXPECT_EQ(missing.front(), std::make_pair(1u, 1u));
    EXPECT_EQ(missing.back().second, 0xFFFFFFFFu);
}

TEST(GvspPayloads, AnImagesChunksAreTheBuffersChunksAfterTheImagesOwn) {
    Receiver r({4096});
    const Bytes counter = {1, 2, 3, 4, 5, 6, 7, 8}, name = {'a', 'b', 'c', 'd'};
    ImageFrame f(16, 16, 3, {{0x4001, counter}, {0x4002, name}});
    r.Send(BuildPackets(f.frame, 5, kPacket));
    auto [buffer, result] = r.Back();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(result, TQ_OK);
    EXPECT_EQ(buffer->GetPayloadType(), TqPayloadTypeImage);
    EXPECT_EQ(buffer->GetPayloadSize(), f.image.size() + f.chunks.size());   // the whole chunk layout
    EXPECT_EQ(buffer->GetPayloadLength(), f.image.size());
    EXPECT_EQ(buffer->GetImage()->GetImageSize(), f.image.size());
    EXPECT_TRUE(buffer->HasChunks());
    ASSERT_EQ(buffer->GetChunkCount(), 2u);
    uint32_t first = 0;
    EXPECT_TRUE(buffer->GetChunkIDByIndex(0, first).IsOK());
    EXPECT_EQ(first, 0x4001u);
    ASSERT_EQ(buffer->GetChunkSizeByID(0x4002), name.size());
    EXPECT_EQ(0, std::memcmp(buffer->GetChunkRawDataByID(0x4001), counter.data(), counter.size()));
    EXPECT_EQ(0, std::memcmp(buffer->GetChunkRawDataByID(0x4002), name.data(), name.size()));
    EXPECT_EQ(buffer->GetChunkLayoutID(), 0x1234u);
    EXPECT_EQ(buffer->GetChunkDataSize(), f.chunks.size());   // the image's chunk header counted too

    // The buffer again, for an image without chunks: none are left.
    r.state.input.push_back(buffer);
    ImageFrame plain(16, 16, 4);
    r.Send(BuildPackets(plain.frame, 5, kPacket));
    std::tie(buffer, result) = r.Back();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(result, TQ_OK);
    EXPECT_FALSE(buffer->HasChunks());
    EXPECT_EQ(buffer->GetChunkLayoutID(), 0u);
}

TEST(GvspPayloads, ChunksThatDoNotLeadBackToTheImageShowNoneAndKeepThePayload) {
    Receiver r({4096});
    ImageFrame f(16, 16, 3, {{0x4001, Bytes(8, 1)}});
    TqWire::Put32(f.chunks.data() + 4, 7);   // the image's chunk claims another length
    r.Send(BuildPackets(f.frame, 5, kPacket));
    auto [buffer, result] = r.Back();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(result, TQ_OK);
    EXPECT_FALSE(buffer->HasChunks());
    EXPECT_EQ(buffer->GetPayloadSize(), f.image.size() + f.chunks.size());
    EXPECT_EQ(0, std::memcmp(buffer->GetDataPointer() + f.image.size(), f.chunks.data(), f.chunks.size()));
}

TEST(GvspPayloads, ChunkDataIsTheBuffersChunkDataPayload) {
    Receiver r({1024});
    ImageFrame source(1, 1, 9, {{7, {9, 9, 9, 9}}, {8, {}}});
    Frame frame;
    frame.blockId = 9;
    frame.payloadType = Gvsp::kPayloadChunkData;
    frame.chunks = source.chunks.data() + 8;   // without the image's chunk
    frame.chunkSize = source.chunks.size() - 8;
    frame.chunkLayoutId = 77;
    r.Send(BuildPackets(frame, 5, kPacket));
    auto [buffer, result] = r.Back();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(result, TQ_OK);
    ASSERT_EQ(buffer->GetPayloadType(), TqPayloadTypeChunkData);
    TqChunkData* chunks = buffer->GetChunkData();
    ASSERT_NE(chunks, nullptr);
    EXPECT_EQ(chunks->GetChunkCount(), 2u);
    EXPECT_EQ(chunks->GetChunkDataPayloadLength(), frame.chunkSize);
    EXPECT_EQ(chunks->GetChunkLayoutID(), 77u);
    EXPECT_EQ(chunks->GetChunkSizeByID(7), 4u);
    EXPECT_EQ(chunks->Detach(), nullptr);   // the buffer's memory, not attached to it
    EXPECT_EQ(buffer->GetChunkCount(), 2u);
    EXPECT_EQ(buffer->GetChunkDataSize(), frame.chunkSize);
}

TEST(GvspPayloads, MultiPartBlocksFillTheContainerWithEachPartsGeometryAndData) {
    Receiver r({4096});
    PartsFrame f(21, 2, 10, 3);
    f.frame.parts[1].sizeY = 2;   // the trailer tells two lines of the second
    const auto packets = BuildPackets(f.frame, 5, kPacket);   // the extended header whatever the mode
    EXPECT_EQ(packets.front()[4], Gvsp::kExtendedIdFlag | Gvsp::kFormatLeader);
    EXPECT_EQ(packets.front()[7], 2);   // the leader's part count
    r.Send(packets);
    auto [buffer, result] = r.Back();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(result, TQ_OK);
    ASSERT_EQ(buffer->GetPayloadType(), TqPayloadTypeMultiPart);
    EXPECT_FALSE(buffer->IsLargeLeaderTrailerEnabled());
    ITqMultiPartContainer* container = buffer->GetMultiPartContainer();
    ASSERT_EQ(container->GetPartCount(), 2u);
    for (uint32_t n = 0; n < 2; ++n) {
        ITqMultiPartSection* part = container->GetPart(n);
        EXPECT_EQ(part->GetDataType(), n ? TqMultiPartConfidenceMap : TqMultiPart2DImage);
        EXPECT_EQ(part->GetDataPurposeID(), n);
        EXPECT_EQ(part->GetSourceID(), 3u);
        EXPECT_FALSE(part->IsAllocated() || part->IsAttached());
        const ITqImage* image = part->GetImage();
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->GetWidth(), 10u);
        EXPECT_EQ(image->GetHeight(), n ? 2u : 3u);
        EXPECT_EQ(image->GetOffsetX(), 2u);
        EXPECT_EQ(image->GetPixelType(), TqPixelMono8);
        EXPECT_EQ(image->GetBlockID(), 21u);
        EXPECT_EQ(part->GetEffectiveSize(), n ? 20u : 30u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(part->GetDataPointer()) % 8, 0u);
        EXPECT_EQ(0, std::memcmp(part->GetDataPointer(), f.data[n].data(), part->GetEffectiveSize())) << n;
    }
    // New memory: the parts that lay in the old are gone.
    EXPECT_TRUE(buffer->Alloc(64).IsOK());
    EXPECT_EQ(container->GetPartCount(), 0u);
}

TEST(GvspPayloads, ALargeLeaderIsTakenAndMorePartsThanAContainerHoldsAreTold) {
    Receiver r({8192});
    PartsFrame f(5, TqMultiPartMaxParts + 2);
    const auto packets = BuildPackets(f.frame, 5, 1500);
    EXPECT_GT(packets.front().size(), kPacket - Gvsp::kIpUdpOverhead);   // only a large leader holds it
    r.Send(packets);
    auto [buffer, result] = r.Back();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(result, TQ_ERR_OVERFLOW);
    EXPECT_TRUE(buffer->IsLargeLeaderTrailerEnabled());
    ITqMultiPartContainer* container = buffer->GetMultiPartContainer();
    ASSERT_EQ(container->GetPartCount(), TqMultiPartMaxParts);
    ITqMultiPartSection* last = container->GetPart(TqMultiPartMaxParts - 1);
    EXPECT_EQ(0, std::memcmp(last->GetDataPointer(), f.data[TqMultiPartMaxParts - 1].data(), 32));
    // All the bytes arrived: the payload holds the last parts too, after the others.
    EXPECT_EQ(buffer->GetAcquiredSize(), 32u * (TqMultiPartMaxParts + 2));
}

TEST(GvspPayloads, MultiPartPacketsOutsideTheirPartOrBeforeTheLeaderAreNotPlaced) {
    Receiver r({4096});
    PartsFrame f(6, 2, 16, 40);   // 640 bytes a part: two packets each
    auto packets = BuildPackets(f.frame, 5, kPacket);
    ASSERT_EQ(packets.size(), 6u);
    // Before its leader a multi-part packet has no place: not received (named missing).
    r.Send({packets[1]});
    EXPECT_EQ(r.state.counters.packetsIgnored.load(), 1u);
    // A packet whose offset lies in the part before its own is bad.
    Bytes stray = packets[3];
    Gvsp::MultiPartPayload::kOffset.Put(stray.data() + Gvsp::kExtendedHeaderSize, 0);
    r.Send({packets[0], stray, packets[2], packets[3], packets[4], packets[5]});
    EXPECT_EQ(r.state.counters.packetsBad.load(), 1u);
    r.assembler.Expire(r.now + std::chrono::seconds(5));
    auto [buffer, result] = r.Back();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(result, TQ_MISSING_PACKETS);
    EXPECT_EQ(r.Missing(*buffer), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 1}}));
}

TEST(GvspPayloads, ATrailerMarkedDataOverrunHandsTheWholeBlockBackAsDataOverrun) {
    Receiver r({4096});
    ImageFrame f(16, 16, 12);
    f.frame.overrun = true;
    const auto packets = BuildPackets(f.frame, 5, kPacket);
    EXPECT_EQ(TqWire::Get16(packets.back().data()), Gvsp::kStatusDataOverrun);
    r.Send(packets);
    auto [buffer, result] = r.Back();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(result, TQ_DATA_OVERRUN);
    EXPECT_EQ(buffer->GetOperationResult().GetCode(), TQ_DATA_OVERRUN);
    EXPECT_TRUE(buffer->GetImage()->IsDataOverrun());
    EXPECT_EQ(0, std::memcmp(buffer->GetDataPointer(), f.image.data(), f.image.size()));
    EXPECT_EQ(r.state.counters.blocksReceived.load(), 1u);   // all its packets came
}

TEST(GvspPayloads, ResendsAreAskedForInTheFormOfTheBlocksIds) {
    for (bool extended : {false, true}) {
        Receiver r({4096}, Gvsp::PayloadBytes(kPacket, extended));
        std::vector<std::tuple<uint64_t, uint32_t, uint32_t, bool>> asked;
        r.assembler.SetRequester([&](uint64_t aBlock, uint32_t aFirst, uint32_t aLast, bool aExtended) {
            asked.emplace_back(aBlock, aFirst, aLast, aExtended);
        });
        r.state.requestResends = true;
        const uint64_t id = extended ? (uint64_t(1) << 33) : 300;
        ImageFrame f(32, 32, id);
        auto packets = BuildPackets(f.frame, 5, kPacket, extended);
        packets.erase(packets.begin() + 1);   // payload packet 1
        r.Send(packets);
        ASSERT_FALSE(asked.empty()) << extended;
        EXPECT_EQ(asked.front(), std::make_tuple(id, 1u, 1u, extended));
    }
}

TEST(GvspPayloads, AMultiPartPacketOverlappingAnothersBytesIsNotPlaced) {
    // Two parts of 640 bytes, packets of 520 and 120 bytes each. Packet 4 first comes with the offset
    // of packet 3's bytes: it is bad (its bytes counted would make the block whole with part 1's end
    // never written); the block is whole only once the real packet 4 comes, with its sender's bytes.
    for (bool real : {true, false}) {
        Receiver r({4096});
        PartsFrame f(6, 2, 16, 40);
        auto packets = BuildPackets(f.frame, 5, kPacket);
        ASSERT_EQ(packets.size(), 6u);
        Bytes forged = packets[4];
        Gvsp::MultiPartPayload::kOffset.Put(forged.data() + Gvsp::kExtendedHeaderSize, 640);
        r.Send({packets[0], packets[1], packets[2], packets[3], forged, packets[3]});
        EXPECT_EQ(r.state.counters.packetsBad.load(), 1u);
        EXPECT_EQ(r.state.counters.packetsRedundant.load(), 1u);   // packet 3 again is only that
        if (real) r.Send({packets[4]});
        r.Send({packets[5]});
        if (!real) r.assembler.Expire(r.now + std::chrono::seconds(5));
        auto [buffer, result] = r.Back();
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(result, real ? TQ_OK : TQ_MISSING_PACKETS) << real;
        if (!real) {
            EXPECT_EQ(r.Missing(*buffer), (std::vector<std::pair<uint32_t, uint32_t>>{{4, 4}}));
            continue;
        }
        ITqMultiPartContainer* container = buffer->GetMultiPartContainer();
        ASSERT_EQ(container->GetPartCount(), 2u);
        for (uint32_t n = 0; n < 2; ++n) {
            ITqMultiPartSection* part = container->GetPart(n);
            EXPECT_EQ(0, std::memcmp(part->GetDataPointer(), f.data[n].data(), f.data[n].size())) << n;
        }
    }
}
