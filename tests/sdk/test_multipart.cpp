// The stand-in SDK's multi-part container: the writer's rules and codes, sizes and memory, the
// interfaces a section hands out for its data type, and what a TqBuffer does with its container.
#include "ITqMultiPart.h"
#include "TqBuffer.h"
#include "balanced.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

#define EXPECT_CODE(aCall, aCode) EXPECT_EQ((aCall).GetCode(), uint32_t{aCode}) << #aCall
#define ASSERT_OK(aCall) ASSERT_EQ((aCall).GetCode(), TQ_OK) << #aCall

using Bytes = std::vector<uint8_t>;
const auto kMono8 = TqPixelMono8;
const auto k2D = TqMultiPart2DImage;
const auto kJPEG = TqMultiPartJPEGImage;

// Whether [aBegin, aBegin + aLength) lies inside [aArea, aArea + aAreaLength).
bool Inside(const void* aBegin, uint64_t aLength, const void* aArea, uint64_t aAreaLength) {
    auto at = reinterpret_cast<uintptr_t>(aBegin), area = reinterpret_cast<uintptr_t>(aArea);
    return at >= area && at + aLength <= area + aAreaLength;
}

class MultipartContainerTest : public Balanced {
protected:
    MultipartContainerTest() : Balanced({"TqMultiPartContainer", "TqChunkData", "TqBuffer"}) {}
};

TEST_F(MultipartContainerTest, AddingSections) {
    TqBuffer buffer(TqPayloadTypeMultiPart);
    ITqMultiPartContainer& c = *buffer.GetMultiPartContainer();
    for (int type : {0, 10, 11, 13}) EXPECT_CODE(c.AddImagePart(TqMultiPartDataType(type), 4, 4, kMono8), TQ_INVALID_PARAMETER);
    for (int type : {1, 10, 13}) EXPECT_CODE(c.AddJPEGPart(TqMultiPartDataType(type), 64, 0, 0, 0), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.AddImagePart(k2D, 0, 4, kMono8), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.AddImagePart(k2D, 4, 0, kMono8), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.AddImagePart(k2D, 4, 4, TqPixelUndefined), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.AddJPEGPart(kJPEG, 0, 0, 0, 0), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.AddChunkPart(0, 1), TQ_INVALID_PARAMETER);
    // 64-bit sizes: 4 GiB - 1 fits, one byte more does not, nor a width x bits that wraps in 32 bits.
    EXPECT_CODE(c.AddImagePart(k2D, 65535, 65537, kMono8, 0, 0, 1), TQ_ERR_OVERFLOW);
    EXPECT_CODE(c.AddImagePart(k2D, 0x20000000, 4, TqPixelMono16), TQ_ERR_OVERFLOW);
    EXPECT_EQ(c.GetPartCount(), 0u);
    EXPECT_EQ(c.GetPart(0), nullptr);
    ASSERT_OK(c.AddImagePart(k2D, 65535, 65537, kMono8));
    ASSERT_OK(c.AddImagePart(TqMultiPart3DImage, 0x20000000, 3, TqPixelMono16));
    EXPECT_EQ(c.GetPart(0)->GetSize() - c.GetPart(1)->GetSize(), 0xFFFFFFFFu - 0xC0000000u);

    // Sizes, and shares that start on multiples of 8; a fresh section has no memory.
    c.Reset();
    ASSERT_OK(c.AddImagePart(TqMultiPartConfidenceMap, 5, 4, TqPixelRGB8, 7, 9, 3));   // (15 + 3) x 4
    ASSERT_OK(c.AddImagePart(TqMultiPart2DPlaneOfBiPlanar, 3, 2, TqPixelMono10p));     // ceil(30 / 8) x 2
    ASSERT_OK(c.AddJPEGPart(TqMultiPartJPEG2000Image, 33, 1, 2, 3));
    ASSERT_OK(c.AddChunkPart(40, 5));
    const uint32_t sizes[] = {72, 8, 33, 40};
    for (uint32_t i = 0; i < 4; ++i) {
        const ITqMultiPartSection* s = static_cast<const ITqMultiPartContainer&>(c).GetPart(i);
        ASSERT_EQ(s, c.GetPart(i));
        EXPECT_EQ(s->GetIndex(), i);
        EXPECT_EQ(s->GetSize(), sizes[i]);
        EXPECT_TRUE(s->GetEffectiveSize() == 0 && s->GetDataPointer() == nullptr && !s->IsAllocated() && !s->IsAttached());
    }
    EXPECT_EQ(c.GetPart(2)->GetDataType(), TqMultiPartJPEG2000Image);
    EXPECT_EQ(c.GetPart(4), nullptr);
    EXPECT_EQ(c.GetTotalSize(), 72u + 8 + 40 + 40);

    // The chunk section is the last; ten sections at most.
    EXPECT_CODE(c.AddImagePart(k2D, 2, 2, kMono8), TQ_STATE_ERROR);
    EXPECT_CODE(c.AddJPEGPart(kJPEG, 8, 0, 0, 0), TQ_STATE_ERROR);
    EXPECT_CODE(c.AddChunkPart(16, 0), TQ_STATE_ERROR);
    EXPECT_EQ(c.GetPartCount(), 4u);
    c.Reset();
    for (uint32_t i = 0; i < TqMultiPartMaxParts; ++i) ASSERT_OK(c.AddImagePart(k2D, 1, 1, kMono8));
    EXPECT_CODE(c.AddImagePart(k2D, 1, 1, kMono8), TQ_ERR_OVERFLOW);
    EXPECT_CODE(c.AddJPEGPart(kJPEG, 8, 0, 0, 0), TQ_ERR_OVERFLOW);
    EXPECT_CODE(c.AddChunkPart(8, 0), TQ_ERR_OVERFLOW);
    EXPECT_EQ(c.GetPartCount(), TqMultiPartMaxParts);
    EXPECT_EQ(c.GetTotalSize(), 8 * (TqMultiPartMaxParts - 1) + 1);
}

TEST_F(MultipartContainerTest, IDsAndZones) {
    TqBuffer buffer(TqPayloadTypeMultiPart);
    ITqMultiPartContainer& c = *buffer.GetMultiPartContainer();
    ASSERT_OK(c.AddJPEGPart(kJPEG, 8, 0, 0, 0));
    ASSERT_OK(c.AddChunkPart(8, 0));
    ASSERT_OK(c.SetPartIDs(0, 7, 8, 0xFFFFFFFF));
    ASSERT_OK(c.SetPartZoneInfo(0, 255, 0x80000001));
    const ITqMultiPartSection* s = c.GetPart(0);
    EXPECT_EQ(std::vector<uint32_t>({s->GetSourceID(), s->GetDataPurposeID(), s->GetRegionID(), s->GetAdditionalZones(),
                                     s->GetZoneDirectionMask()}),
              std::vector<uint32_t>({7, 8, 0xFFFFFFFF, 255, 0x80000001}));
    EXPECT_CODE(c.SetPartIDs(1, 1, 1, 1), TQ_INVALID_DATA_FORMAT);   // the chunk section
    EXPECT_CODE(c.SetPartZoneInfo(1, 1, 1), TQ_INVALID_DATA_FORMAT);
    EXPECT_CODE(c.SetPartIDs(2, 1, 1, 1), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.SetPartZoneInfo(TqMultiPartMaxParts, 1, 1), TQ_INVALID_PARAMETER);
    EXPECT_EQ(c.GetPart(1)->GetSourceID() + c.GetPart(1)->GetAdditionalZones(), 0u);
    c.Reset();
    ASSERT_OK(c.AddJPEGPart(kJPEG, 8, 0, 0, 0));
    EXPECT_EQ(s->GetSourceID() + s->GetZoneDirectionMask(), 0u) << "a new section starts clean";
}

TEST_F(MultipartContainerTest, MemoryOfTheSections) {
    Bytes caller(64, 0x5A);
    TqBuffer buffer(TqPayloadTypeMultiPart);
    ITqMultiPartContainer& c = *buffer.GetMultiPartContainer();
    EXPECT_CODE(c.AllocAllParts(), TQ_STATE_ERROR);
    EXPECT_CODE(c.Validate(), TQ_STATE_ERROR);
    ASSERT_OK(c.AddJPEGPart(kJPEG, 3, 0, 0, 0));
    ASSERT_OK(c.AddImagePart(k2D, 5, 1, kMono8));
    ASSERT_OK(c.AddChunkPart(20, 0));
    for (uint32_t index : {3u, TqMultiPartMaxParts, 0xFFFFFFFFu}) {
        EXPECT_CODE(c.AllocPart(index), TQ_INVALID_PARAMETER);
        EXPECT_CODE(c.AttachPart(index, caller.data(), caller.size()), TQ_NOT_FOUND);
    }
    EXPECT_CODE(c.AttachPart(2, nullptr, 64), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.AttachPart(2, caller.data(), 19), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.Validate(), TQ_INVALID_PARAMETER);
    ASSERT_OK(c.AttachPart(0, caller.data(), caller.size()));
    ASSERT_OK(c.AllocPart(1));
    EXPECT_TRUE(c.GetPart(0)->IsAttached() && !c.GetPart(0)->IsAllocated() && c.GetPart(1)->IsAllocated());
    EXPECT_EQ(c.GetPart(0)->GetDataPointer(), caller.data());
    EXPECT_EQ(c.GetPart(0)->GetEffectiveSize(), 3u) << "longer memory is used up to the maximum size";
    EXPECT_FALSE(c.IsValid()) << "the chunk section has none";
    ASSERT_OK(c.AttachPart(2, caller.data() + 1, 20));
    EXPECT_CODE(c.Validate(), TQ_OK);
    EXPECT_TRUE(c.IsValid());

    // One zeroed block, shares 8 bytes apart; earlier memory freed (a leak report otherwise) or detached.
    for (int round = 0; round < 2; ++round) {
        ASSERT_OK(c.AllocAllParts());
        const uint8_t* base = c.GetPart(0)->GetDataPointer();
        for (uint32_t i = 0; i < 3; ++i) {
            ITqMultiPartSection* s = c.GetPart(i);
            EXPECT_TRUE(s->IsAllocated() && !s->IsAttached());
            EXPECT_EQ(s->GetDataPointer(), base + 8 * i);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(s->GetDataPointer()) % 8, 0u);
            EXPECT_EQ(s->GetEffectiveSize(), s->GetSize());
            EXPECT_EQ(Bytes(s->GetDataPointer(), s->GetDataPointer() + s->GetSize()), Bytes(s->GetSize()));
            std::memset(s->GetDataPointer(), 0xFF, s->GetSize());
        }
    }
    const uint8_t* share1 = c.GetPart(1)->GetDataPointer();
    ASSERT_OK(c.AllocPart(2));
    EXPECT_FALSE(Inside(c.GetPart(2)->GetDataPointer(), 1, share1 - 8, c.GetTotalSize())) << "memory of its own";
    EXPECT_EQ(c.GetPart(1)->GetDataPointer(), share1);
    ASSERT_OK(c.AttachPart(2, caller.data(), 20));   // frees the section's own memory
    ASSERT_OK(c.AllocPart(2));
    EXPECT_TRUE(c.GetPart(2)->IsAllocated() && !c.GetPart(2)->IsAttached());
    EXPECT_EQ(caller, Bytes(64, 0x5A));
    ASSERT_OK(buffer.Reset(TqPayloadTypeMultiPart));
    EXPECT_CODE(c.Validate(), TQ_STATE_ERROR);

    // The block's size counts the padding between shares.
    ASSERT_OK(c.AddJPEGPart(kJPEG, 0xFFFFFFF0, 0, 0, 0));
    ASSERT_OK(c.AddJPEGPart(kJPEG, 0xF, 0, 0, 0));
    EXPECT_EQ(c.GetTotalSize(), 0xFFFFFFFFu);
    c.Reset();
    ASSERT_OK(c.AddJPEGPart(kJPEG, 0xFFFFFFF9, 0, 0, 0));
    ASSERT_OK(c.AddChunkPart(1, 0));   // 0xFFFFFFFA bytes unpadded, but the second share starts at 4 GiB
    EXPECT_EQ(c.GetTotalSize(), 0u);
    EXPECT_CODE(c.AllocAllParts(), TQ_ERR_OVERFLOW);
    EXPECT_EQ(c.GetPart(0)->GetDataPointer(), nullptr);
}

TEST_F(MultipartContainerTest, FinalSizesBoundEveryView) {
    TqBuffer buffer(TqPayloadTypeMultiPart);
    ITqMultiPartContainer& c = *buffer.GetMultiPartContainer();
    ASSERT_OK(c.AddImagePart(k2D, 4, 3, kMono8, 0, 0, 2));
    ASSERT_OK(c.AddJPEGPart(kJPEG, 100, 0, 0, 0));
    ASSERT_OK(c.AddChunkPart(16, 0));
    ITqImage* image = c.GetPart(0)->GetImage();
    ITqImageJPEG* jpeg = c.GetPart(1)->GetJPEG();
    EXPECT_EQ(image->GetImageSize(), 18u);
    EXPECT_EQ(jpeg->GetDataSize(), 0u) << "no memory, no data";
    EXPECT_CODE(c.SetPartFinalImageHeight(0, 0), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.SetPartFinalImageHeight(0, 4), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.SetPartFinalImageHeight(1, 1), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.SetPartFinalImageHeight(3, 1), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.SetPartFinalLength(0, 1), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.SetPartFinalLength(1, 101), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.SetPartFinalLength(2, 17), TQ_INVALID_PARAMETER);
    EXPECT_CODE(c.SetPartFinalLength(3, 0), TQ_INVALID_PARAMETER);
    ASSERT_OK(c.SetPartFinalImageHeight(0, 2));
    ASSERT_OK(c.SetPartFinalLength(1, 40));
    ASSERT_OK(c.SetPartFinalLength(2, 0));
    EXPECT_EQ(c.GetPart(1)->GetEffectiveSize(), 0u);

    // Memory of exactly the maximum size: the views are written over their whole length.
    std::vector<Bytes> memory;
    for (uint32_t i = 0; i < 3; ++i) {
        memory.emplace_back(c.GetPart(i)->GetSize());
        ASSERT_OK(c.AttachPart(i, memory.back().data(), memory.back().size()));
    }
    EXPECT_EQ(image->GetHeight() * 100 + image->GetImageSize(), 212u) << "lines with padding, at the final height";
    EXPECT_EQ(c.GetPart(0)->GetEffectiveSize(), 12u);
    EXPECT_EQ(jpeg->GetDataSize(), 40u);
    EXPECT_EQ(c.GetPart(1)->GetEffectiveSize(), 40u);
    EXPECT_EQ(c.GetPart(2)->GetEffectiveSize(), 0u);
    std::memset(image->GetDataPointer(), 1, image->GetImageSize());
    std::memset(jpeg->GetDataPointer(), 1, jpeg->GetDataSize());
    for (uint32_t i = 0; i < 3; ++i) {
        ITqMultiPartSection* s = c.GetPart(i);
        EXPECT_TRUE(Inside(s->GetDataPointer(), s->GetEffectiveSize(), memory[i].data(), memory[i].size()));
    }
    EXPECT_EQ(memory[0][11] * 10 + memory[0][12], 10);
}

TEST_F(MultipartContainerTest, EachDataTypeHandsOutItsInterface) {
    TqBuffer buffer(TqPayloadTypeMultiPart);
    ASSERT_OK(buffer.SetBlockID(0x1234));
    ASSERT_OK(buffer.SetTimestamp(55));
    ASSERT_OK(buffer.SetReceptionTime(66));
    ITqMultiPartContainer& c = *buffer.GetMultiPartContainer();
    for (int type = TqMultiPart2DImage; type <= TqMultiPartConfidenceMap; ++type) {
        c.Reset();
        ASSERT_OK(c.AddImagePart(TqMultiPartDataType(type), 5, 2, TqPixelRGB8, 3, 4, 1));
        ITqMultiPartSection* s = c.GetPart(0);
        ITqImage* image = s->GetImage();
        ASSERT_NE(image, nullptr) << type;
        EXPECT_TRUE(s->GetJPEG() == nullptr && s->GetChunkData() == nullptr);
        EXPECT_EQ(image->GetPixelType(), TqPixelRGB8);
        EXPECT_EQ(std::vector<uint64_t>({image->GetWidth(), image->GetHeight(), image->GetBitsPerPixel(),
                                         image->GetOffsetX(), image->GetOffsetY(), image->GetPaddingX(),
                                         image->GetPaddingY(), image->GetBlockID(), image->GetTimestamp(),
                                         image->GetReceptionTime()}),
                  std::vector<uint64_t>({5, 2, 24, 3, 4, 1, 0, 0x1234, 55, 66}));
        EXPECT_EQ(image->GetDataPointer(), nullptr);
        ASSERT_OK(c.AllocAllParts());
        EXPECT_EQ(image->GetDataPointer(), s->GetDataPointer());
        EXPECT_EQ(s->GetImage(), image) << "one object for the section's life";
    }
    for (TqMultiPartDataType type : {TqMultiPartJPEGImage, TqMultiPartJPEG2000Image}) {
        c.Reset();
        ASSERT_OK(c.AddJPEGPart(type, 16, 3, 90000, 0x22));
        ITqMultiPartSection* s = c.GetPart(0);
        ITqImageJPEG* jpeg = s->GetJPEG();
        ASSERT_NE(jpeg, nullptr) << type;
        EXPECT_TRUE(s->GetImage() == nullptr && s->GetChunkData() == nullptr);
        EXPECT_EQ(std::vector<uint64_t>({jpeg->GetFlag(), jpeg->GetTimestampTickFrequency(), jpeg->GetDataFormat()}),
                  std::vector<uint64_t>({3, 90000, 0x22}));
        ASSERT_OK(c.AllocPart(0));
        EXPECT_EQ(jpeg->GetDataPointer(), s->GetDataPointer());
        EXPECT_EQ(jpeg->GetDataSize(), 16u);
    }
    c.Reset();
    ASSERT_OK(c.AddChunkPart(16, 0));
    EXPECT_TRUE(c.GetPart(0)->GetImage() == nullptr && c.GetPart(0)->GetJPEG() == nullptr);
    EXPECT_NE(c.GetPart(0)->GetChunkData(), nullptr);
}

TEST_F(MultipartContainerTest, ImageSectionsReportTheBlockTheBufferHoldsNow) {
    TqBuffer buffer(TqPayloadTypeMultiPart);
    ITqMultiPartContainer& c = *buffer.GetMultiPartContainer();
    ASSERT_OK(c.AddImagePart(k2D, 4, 2, kMono8));
    const ITqImage* image = c.GetPart(0)->GetImage();
    ASSERT_NE(image, nullptr);
    auto identity = [&] {
        return std::vector<uint64_t>({image->GetBlockID(), image->GetTimestamp(), image->GetReceptionTime()});
    };
    EXPECT_EQ(identity(), std::vector<uint64_t>({0, 0, 0}));
    ASSERT_OK(buffer.SetBlockID(7));
    ASSERT_OK(buffer.SetTimestamp(8));
    ASSERT_OK(buffer.SetReceptionTime(9));
    EXPECT_EQ(identity(), std::vector<uint64_t>({7, 8, 9})) << "set after the container was made";
    TqBufferReception next;   // a receiver's next block into the same buffer
    next.mExtendedID = true;
    next.mBlockID = uint64_t{1} << 40;
    next.mTimestamp = 20;
    next.mReceptionTime = 21;
    buffer.SetReception(TqPayloadTypeMultiPart, next);
    EXPECT_EQ(identity(), std::vector<uint64_t>({uint64_t{1} << 40, 20, 21}));
    ASSERT_OK(buffer.Reset(TqPayloadTypeMultiPart));
    EXPECT_EQ(identity(), std::vector<uint64_t>({0, 0, 0})) << "a reset buffer holds no block";
}

TEST_F(MultipartContainerTest, ChunkSectionChunksLiveInItsMemory) {
    const long chunkSets = TqLiveObjects::Count("TqChunkData");
    TqBuffer buffer(TqPayloadTypeMultiPart);
    ITqMultiPartContainer& c = *buffer.GetMultiPartContainer();
    ASSERT_OK(c.AddImagePart(k2D, 8, 1, kMono8));
    ASSERT_OK(c.AddChunkPart(32, 0xABCD));
    ITqMultiPartSection* s = c.GetPart(1);
    ITqChunkData* chunks = s->GetChunkData();
    ASSERT_NE(chunks, nullptr);
    EXPECT_EQ(chunks->GetChunkLayoutID(), 0xABCDu);
    EXPECT_CODE(chunks->AddChunk(1, nullptr, 0), TQ_BUFFER_TOO_SMALL) << "no memory";
    Bytes caller(64);   // longer than the section: the chunks still keep to its 32 bytes
    ASSERT_OK(c.AttachPart(1, caller.data(), caller.size()));
    EXPECT_FALSE(chunks->HasChunks());
    EXPECT_EQ(chunks->GetChunkDataCapacity(), 32u);
    EXPECT_CODE(chunks->AddChunk(2, caller.data(), 25), TQ_BUFFER_TOO_SMALL);

    ASSERT_OK(c.AllocAllParts());
    EXPECT_EQ(s->GetChunkData(), chunks) << "the same object over the new memory";
    ASSERT_OK(chunks->AddChunk(7, reinterpret_cast<const uint8_t*>("abc"), 3));
    ASSERT_OK(chunks->AddChunk(9, nullptr, 0));
    EXPECT_EQ(chunks->GetChunkCount(), 2u);
    const uint8_t* data = chunks->GetChunkRawDataByID(7);
    ASSERT_TRUE(Inside(data, 3, s->GetDataPointer(), s->GetSize()));
    EXPECT_EQ(std::memcmp(data, "abc", 3), 0);
    ASSERT_OK(c.SetPartFinalLength(1, chunks->GetChunkDataSize()));
    EXPECT_EQ(s->GetEffectiveSize(), 19u);
    EXPECT_EQ(chunks->GetChunkCount(), 2u);
    ASSERT_OK(c.AllocPart(1));
    EXPECT_EQ(chunks->GetChunkCount(), 0u) << "new memory, no chunks";
    EXPECT_EQ(TqLiveObjects::Count("TqChunkData"), chunkSets + 1);
    buffer.Reset(TqPayloadTypeMultiPart);
    EXPECT_EQ(chunks->GetChunkDataCapacity(), 0u) << "let go of the freed memory";
    EXPECT_EQ(chunks->GetChunkRawDataByIndex(0), nullptr);
}

TEST_F(MultipartContainerTest, TheBufferAndItsContainer) {
    const long containers = TqLiveObjects::Count("TqMultiPartContainer");
    for (TqPayloadType type : {TqPayloadTypeImage, TqPayloadTypeRawData, TqPayloadTypeChunkData, TqPayloadTypeH264,
                               TqPayloadTypeMultiZoneImage, TqPayloadTypeZelvraCompressed}) {
        TqBuffer other(type);
        EXPECT_EQ(other.GetMultiPartContainer(), nullptr) << type;
        EXPECT_EQ(static_cast<const TqBuffer&>(other).GetMultiPartContainer(), nullptr);
    }
    EXPECT_EQ(TqLiveObjects::Count("TqMultiPartContainer"), containers) << "nothing made for another type";

    Bytes caller(16, 3);   // outlives the buffer it is attached to
    TqBuffer buffer(TqPayloadTypeMultiPart);
    ITqMultiPartContainer* c = buffer.GetMultiPartContainer();
    EXPECT_EQ(static_cast<const TqBuffer&>(buffer).GetMultiPartContainer(), c);
    EXPECT_EQ(TqLiveObjects::Count("TqMultiPartContainer"), containers + 1);
    ASSERT_OK(c->AddImagePart(k2D, 4, 4, kMono8));
    ASSERT_OK(c->AttachPart(0, caller.data(), caller.size()));
    ITqMultiPartSection* section = c->GetPart(0);
    ITqImage* image = section->GetImage();

    // A reception of another type keeps the sections, but the container takes no more.
    buffer.SetReception(TqPayloadTypeImage, TqBufferReception{});
    EXPECT_EQ(buffer.GetMultiPartContainer(), nullptr);
    EXPECT_CODE(c->AddImagePart(k2D, 4, 4, kMono8), TQ_NOT_SUPPORTED);
    EXPECT_CODE(c->AddJPEGPart(kJPEG, 8, 0, 0, 0), TQ_NOT_SUPPORTED);
    EXPECT_CODE(c->AddChunkPart(8, 0), TQ_NOT_SUPPORTED);
    EXPECT_CODE(c->SetPartIDs(0, 1, 1, 1), TQ_INVALID_DATA_FORMAT);
    EXPECT_CODE(c->SetPartZoneInfo(0, 1, 1), TQ_INVALID_DATA_FORMAT);
    EXPECT_EQ(c->GetPartCount(), 1u);
    buffer.SetReception(TqPayloadTypeMultiPart, TqBufferReception{});
    EXPECT_EQ(buffer.GetMultiPartContainer(), c);

    // Reset to any type empties it; what it handed out stays readable, with no memory.
    ASSERT_OK(buffer.Reset(TqPayloadTypeRawData));
    EXPECT_EQ(c->GetPartCount(), 0u);
    EXPECT_EQ(c->GetPart(0), nullptr);
    EXPECT_TRUE(section->GetDataPointer() == nullptr && section->GetEffectiveSize() == 0);
    EXPECT_TRUE(image->GetDataPointer() == nullptr && image->GetImageSize() == 0);
    EXPECT_EQ(caller, Bytes(16, 3));
    ASSERT_OK(buffer.Reset(TqPayloadTypeMultiPart));
    EXPECT_EQ(buffer.GetMultiPartContainer(), c);

    // Destroyed with every kind of memory and a chunk set: the fixture counts, the sanitizer build
    // reports memory left behind.
    ASSERT_OK(c->AddImagePart(k2D, 2, 2, kMono8));
    ASSERT_OK(c->AddJPEGPart(kJPEG, 8, 0, 0, 0));
    ASSERT_OK(c->AddChunkPart(16, 0));
    ASSERT_OK(c->AllocAllParts());
    ASSERT_OK(c->AllocPart(0));
    ASSERT_OK(c->AttachPart(1, caller.data(), caller.size()));
    ASSERT_NE(c->GetPart(2)->GetChunkData(), nullptr);
}

}  // namespace
