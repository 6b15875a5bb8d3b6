// Part indexes, sizes and memory into the multi-part container of a buffer (TqMultiPartContainerImpl
// through ITqMultiPartContainer): a run of writer operations with the input's arguments, each followed
// by a reading of every part as a consumer reads it (memory, image, JPEG and chunk views).
//
// Input: [payload type u8] then operations of 12 bytes: [operation u8][index u8][a u32][b u32][c u16].
// The payload type's bit 0 clear makes the buffer multi-part (else an image buffer). Allocations the
// harness asks for stay under 256 KiB (the container's own checks, not the machine, are under test).
// Checked besides the sanitizers: every part below the count is there and none above it; a part's
// effective size, image size and JPEG size stay within its size, and its memory holds the effective
// size; the chunks of a chunk part lie inside its memory.
#include "ITqMultiPart.h"
#include "TqBuffer.h"
#include "fuzz_input.h"

#include <algorithm>
#include <list>

using KivoFuzz::Bytes;

namespace {

constexpr uint32_t kMaxAllocation = 256u << 10;
const TqPixelType kPixelTypes[] = {TqPixelMono8, TqPixelMono16, TqPixelRGB8, TqPixelMono12Packed, TqPixelMono10p,
                                   TqPixelYUV411_8_UYYVYY, TqPixelUndefined, static_cast<TqPixelType>(0x01010001)};

enum Operation : uint8_t {
    kAddImage, kAddJPEG, kAddChunk, kIDs, kZones, kAllocAll, kAlloc, kAttach, kFinalLength, kFinalHeight, kValidate,
    kReset, kAddChunkData, kBufferReset, kOperations
};

void ReadAll(ITqMultiPartContainer& aContainer) {
    const uint32_t count = aContainer.GetPartCount();
    KIVO_FUZZ_CHECK(count <= TqMultiPartMaxParts);
    for (uint32_t i = 0; i < count + 2; ++i) {
        ITqMultiPartSection* part = aContainer.GetPart(i);
        KIVO_FUZZ_CHECK((part != nullptr) == (i < count));
        if (!part) continue;
        KIVO_FUZZ_CHECK(part->GetIndex() == i);
        const uint32_t size = part->GetSize(), effective = part->GetEffectiveSize();
        KIVO_FUZZ_CHECK(effective <= size);
        KivoFuzz::Touch(part->GetDataPointer(), effective);
        if (ITqImage* image = part->GetImage()) KIVO_FUZZ_CHECK(image->GetImageSize() <= size);
        if (ITqImageJPEG* jpeg = part->GetJPEG()) KIVO_FUZZ_CHECK(jpeg->GetDataSize() <= size);
        if (ITqChunkData* chunks = part->GetChunkData()) {
            const uint8_t* begin = part->GetDataPointer();
            for (uint32_t c = 0, n = chunks->GetChunkCount(); c < n; ++c) {
                const uint8_t* data = chunks->GetChunkRawDataByIndex(c);
                const uint32_t length = chunks->GetChunkSizeByIndex(c);
                KIVO_FUZZ_CHECK(begin && data >= begin && data + length <= begin + size);
                KivoFuzz::Touch(data, length);
            }
        }
    }
}

// ---- seeds: the writer sequences of the multi-part tests ----

struct Script {
    KivoFuzz::Writer w;
    explicit Script(uint8_t aType = 0) { w.U8(aType); }
    Script& Do(Operation aOperation, uint8_t aIndex = 0, uint32_t aA = 0, uint32_t aB = 0, uint16_t aC = 0) {
        w.U8(aOperation).U8(aIndex).U32(aA).U32(aB).U16(aC);
        return *this;
    }
};

std::vector<Bytes> Seeds() {
    std::vector<Bytes> seeds;
    Script a;   // an image, a JPEG and chunks in one block; final sizes; chunks written
    a.Do(kAddImage, TqMultiPart2DImage, 64, 48, 0).Do(kAddImage, TqMultiPart3DImage, 7, 5, 2).Do(kAddJPEG, TqMultiPartJPEGImage, 1000, 90000, 1);
    a.Do(kAddChunk, 0, 256, 0x1234).Do(kIDs, 1, 2, 3, 4).Do(kZones, 0, 5, 0, 3).Do(kAllocAll).Do(kFinalHeight, 0, 20);
    a.Do(kFinalLength, 2, 500).Do(kAddChunkData, 3, 0xA1, 16).Do(kAddChunkData, 3, 0xA2, 300).Do(kValidate);
    seeds.push_back(a.w.Get());
    Script b;   // memory of each part's own, attached memory, a part added after the chunk part, too many parts
    b.Do(kAddImage, TqMultiPartConfidenceMap, 16, 16, 1).Do(kAlloc, 0).Do(kAddJPEG, TqMultiPartJPEG2000Image, 64).Do(kAttach, 1, 64);
    b.Do(kAttach, 1, 10).Do(kAddChunk, 0, 32).Do(kAddImage, TqMultiPart2DImage, 4, 4).Do(kValidate).Do(kAlloc, 2).Do(kValidate);
    b.Do(kReset);
    for (int i = 0; i < 11; ++i) b.Do(kAddJPEG, TqMultiPartJPEGImage, 8);
    b.Do(kAllocAll).Do(kBufferReset);
    seeds.push_back(b.w.Get());
    Script c;   // sizes past 32 bits, wrong kinds and indexes
    c.Do(kAddImage, TqMultiPart2DImage, 0xFFFFFFFF, 0xFFFFFFFF, 0).Do(kAddImage, TqMultiPart2DImage, 65536, 65536, 2);
    c.Do(kAddImage, TqMultiPartJPEGImage, 8, 8).Do(kAddJPEG, TqMultiPartChunkData, 8).Do(kAddChunk, 0, 0).Do(kAllocAll);
    c.Do(kFinalLength, 0, 5).Do(kFinalHeight, 9, 1).Do(kIDs, 9).Do(kAttach, 7, 100);
    seeds.push_back(c.w.Get());
    seeds.push_back(Script(1).Do(kAddImage, TqMultiPart2DImage, 8, 8).Do(kAllocAll).w.Get());   // not a multi-part buffer
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    KivoFuzz::Reader in(aData, aSize);
    std::list<Bytes> attached;   // outlives the buffer that uses it
    TqBuffer buffer((in.U8() & 1) ? TqPayloadTypeImage : TqPayloadTypeMultiPart);
    ITqMultiPartContainer* container = buffer.GetMultiPartContainer();
    if (!container) return 0;
    while (!in.Empty()) {
        const uint8_t operation = in.U8() % kOperations, index = in.U8();
        const uint32_t a = in.U32(), b = in.U32();
        const uint16_t c = in.U16();
        ITqMultiPartSection* part = container->GetPart(index);
        switch (operation) {
        case kAddImage:
            container->AddImagePart(static_cast<TqMultiPartDataType>(index % 14), a, b,
                                    kPixelTypes[c % (sizeof kPixelTypes / sizeof kPixelTypes[0])], a >> 3, b >> 3, c);
            break;
        case kAddJPEG: container->AddJPEGPart(static_cast<TqMultiPartDataType>(index % 14), a, static_cast<uint8_t>(c), b, c); break;
        case kAddChunk: container->AddChunkPart(a, b); break;
        case kIDs: container->SetPartIDs(index, a, b, c); break;
        case kZones: container->SetPartZoneInfo(index, static_cast<uint8_t>(c), a); break;
        case kAllocAll:
            if (container->GetTotalSize() <= kMaxAllocation) container->AllocAllParts();
            break;
        case kAlloc:
            if (!part || part->GetSize() <= kMaxAllocation) container->AllocPart(index);
            break;
        case kAttach: {
            Bytes& memory = attached.emplace_back(std::min(a, kMaxAllocation), 0x5A);
            container->AttachPart(index, memory.data(), memory.size());
            break;
        }
        case kFinalLength: container->SetPartFinalLength(index, a); break;
        case kFinalHeight: container->SetPartFinalImageHeight(index, a); break;
        case kValidate: KIVO_FUZZ_CHECK(container->Validate().IsOK() == container->IsValid()); break;
        case kReset: container->Reset(); break;
        case kAddChunkData:
            if (ITqChunkData* chunks = part ? part->GetChunkData() : nullptr) {
                const Bytes data(b % 512, static_cast<uint8_t>(c));
                chunks->AddChunk(a, data.data(), static_cast<uint32_t>(data.size()));
            }
            break;
        default: buffer.Reset(TqPayloadTypeMultiPart); break;
        }
        ReadAll(*container);
    }
    return 0;
}
