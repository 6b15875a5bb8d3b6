// The multi-part container of a TqBuffer (internal to the buffer library). The buffer makes it on
// first use and deletes it with itself; everything the container hands out (its sections and the
// image, JPEG and chunk interfaces of each) is owned by it and made at most once, so every pointer
// stays valid for as long as the buffer lives, whatever parts come and go.
#pragma once

#include "ITqMultiPart.h"
#include "TqBufferReception.h"
#include "TqEnums.h"
#include "TqLiveObjects.h"

#include <cstdint>
#include <memory>
#include <vector>

class TqChunkData;
class TqMultiPartContainerImpl;
class TqMultiPartSectionImpl;

// The ITqImage of an image section: the section's geometry over the section's memory.
class TqMultiPartImageView : public ITqImage {
public:
    explicit TqMultiPartImageView(const TqMultiPartSectionImpl& aSection) : mSection(aSection) {}

    uint8_t* GetDataPointer() override;
    const uint8_t* GetDataPointer() const override;
    uint32_t GetImageSize() const override;
    uint32_t GetWidth() const override;
    uint32_t GetHeight() const override;
    TqPixelType GetPixelType() const override;
    uint32_t GetBitsPerPixel() const override;
    uint32_t GetOffsetX() const override;
    uint32_t GetOffsetY() const override;
    uint16_t GetPaddingX() const override;
    uint16_t GetPaddingY() const override { return 0; }
    uint64_t GetBlockID() const override;
    uint64_t GetTimestamp() const override;
    uint64_t GetReceptionTime() const override;

private:
    const TqMultiPartSectionImpl& mSection;
};

// The ITqImageJPEG of a JPEG or JPEG 2000 section.
class TqMultiPartJPEGView : public ITqImageJPEG {
public:
    explicit TqMultiPartJPEGView(const TqMultiPartSectionImpl& aSection) : mSection(aSection) {}

    uint8_t* GetDataPointer() override;
    const uint8_t* GetDataPointer() const override;
    uint8_t GetFlag() const override;
    uint64_t GetTimestampTickFrequency() const override;
    uint32_t GetDataFormat() const override;
    uint64_t GetDataSize() const override;

private:
    const TqMultiPartSectionImpl& mSection;
};

class TqMultiPartSectionImpl : public ITqMultiPartSection {
public:
    TqMultiPartSectionImpl();
    ~TqMultiPartSectionImpl() override;
    TqMultiPartSectionImpl(const TqMultiPartSectionImpl&) = delete;   // handed out by address
    TqMultiPartSectionImpl& operator=(const TqMultiPartSectionImpl&) = delete;

    // ITqMultiPartSection
    uint8_t* GetDataPointer() override { return mData; }
    const uint8_t* GetDataPointer() const override { return mData; }
    uint32_t GetSize() const override { return mMaxSize; }
    uint32_t GetEffectiveSize() const override;
    TqMultiPartDataType GetDataType() const override { return mDataType; }
    bool IsAllocated() const override { return mMemory == Memory::Share || mMemory == Memory::Own; }
    bool IsAttached() const override { return mMemory == Memory::Attached; }
    uint32_t GetIndex() const override { return mIndex; }
    ITqImage* GetImage() override;
    ITqImageJPEG* GetJPEG() override;
    ITqChunkData* GetChunkData() override;
    uint32_t GetSourceID() const override { return mSourceID; }
    uint32_t GetDataPurposeID() const override { return mDataPurposeID; }
    uint32_t GetRegionID() const override { return mRegionID; }
    uint32_t GetAdditionalZones() const override { return mAdditionalZones; }
    uint32_t GetZoneDirectionMask() const override { return mZoneDirectionMask; }

private:
    friend class TqMultiPartContainerImpl;
    friend class TqMultiPartImageView;
    friend class TqMultiPartJPEGView;

    // Where the memory comes from: a share of the container's block, memory of the section's own
    // (freed by the section), the caller's, or the buffer's, where a receiver put the part (its
    // chunk set then shows the chunks received).
    enum class Memory { None, Share, Own, Attached, Received };

    bool IsImage() const;
    bool IsJPEG() const;
    uint32_t CurrentLength() const;   // the image at its current height, or the final length

    // The chunk set over the section's memory: empty for a writer, the chunks that came when received.
    void ShowChunks();
    // Back to an unused section: memory given up, every attribute cleared.
    void Clear();
    // Takes the memory (null with Memory::None) and gives up the previous one.
    void SetMemory(Memory aKind, uint8_t* aData, uint64_t aLength);

    const TqMultiPartContainerImpl* mContainer = nullptr;
    uint32_t mIndex = 0;
    TqMultiPartDataType mDataType = TqMultiPartInvalid;
    uint32_t mMaxSize = 0;

    // Image sections.
    uint32_t mWidth = 0;
    uint32_t mMaxHeight = 0;
    uint32_t mHeight = 0;
    TqPixelType mPixelType = TqPixelUndefined;
    uint32_t mOffsetX = 0;
    uint32_t mOffsetY = 0;
    uint16_t mPaddingX = 0;
    uint32_t mLineBytes = 0;

    // JPEG and chunk sections.
    uint32_t mFinalLength = 0;
    uint8_t mJPEGFlag = 0;
    uint64_t mTickFrequency = 0;
    uint32_t mJPEGDataFormat = 0;
    uint32_t mChunkLayoutID = 0;

    uint32_t mSourceID = 0;
    uint32_t mDataPurposeID = 0;
    uint32_t mRegionID = 0;
    uint32_t mAdditionalZones = 0;
    uint32_t mZoneDirectionMask = 0;

    Memory mMemory = Memory::None;
    uint8_t* mData = nullptr;
    uint64_t mMemoryLength = 0;

    TqMultiPartImageView mImage{*this};
    TqMultiPartJPEGView mJPEG{*this};
    std::unique_ptr<TqChunkData> mChunks;   // made when a chunk section is first asked for it
};

class TqMultiPartContainerImpl : public ITqMultiPartContainer {
public:
    // The payload type and the reception of the buffer that holds the container, read whenever the
    // container needs them (the buffer outlives it).
    TqMultiPartContainerImpl(const TqPayloadType& aPayloadType, const TqBufferReception& aReception);
    ~TqMultiPartContainerImpl() override;
    TqMultiPartContainerImpl(const TqMultiPartContainerImpl&) = delete;   // owns the sections' memory
    TqMultiPartContainerImpl& operator=(const TqMultiPartContainerImpl&) = delete;

    // The block the buffer holds now: its image sections report its identity.
    const TqBufferReception& GetReception() const { return mReception; }

    // ITqMultiPartContainerReader
    uint32_t GetPartCount() override { return mCount; }
    ITqMultiPartSection* GetPart(uint32_t aIndex) override;
    const ITqMultiPartSection* GetPart(uint32_t aIndex) const override;

    // ITqMultiPartContainerWriter
    bool IsValid() const override;
    uint32_t GetTotalSize() const override;
    void Reset() override;
    TqResult AddImagePart(TqMultiPartDataType aDataType, uint32_t aWidth, uint32_t aMaxHeight,
                          TqPixelType aPixelType, uint32_t aOffsetX = 0, uint32_t aOffsetY = 0,
                          uint16_t aPaddingX = 0) override;
    TqResult AddJPEGPart(TqMultiPartDataType aDataType, uint32_t aMaxLength, uint8_t aFlag,
                         uint64_t aTimestampTickFrequency, uint32_t aDataFormat) override;
    TqResult AddChunkPart(uint32_t aMaxLength, uint32_t aChunkLayoutID) override;
    TqResult SetPartIDs(uint32_t aIndex, uint32_t aSourceID, uint32_t aDataPurposeID, uint32_t aRegionID) override;
    TqResult SetPartZoneInfo(uint32_t aIndex, uint8_t aAdditionalZones, uint32_t aZoneDirectionMask) override;
    TqResult AllocAllParts() override;
    TqResult AllocPart(uint32_t aIndex) override;
    TqResult AttachPart(uint32_t aIndex, uint8_t* aBuffer, uint64_t aLength) override;
    TqResult SetPartFinalLength(uint32_t aIndex, uint32_t aLength) override;
    TqResult SetPartFinalImageHeight(uint32_t aIndex, uint32_t aHeight) override;
    TqResult Validate() override;

    // The parts of a block received into aMemory (aSize bytes), in place of those before (see
    // TqBuffer::SetReceivedParts).
    TqResult Receive(const std::vector<TqReceivedPart>& aParts, uint8_t* aMemory, uint64_t aSize);

private:
    TqResult ReceivePart(const TqReceivedPart& aPart);
    bool IsMultiPartBuffer() const;
    // The first check of every Add: the buffer's type, then room for one more section.
    TqResult CanAdd() const;
    // The sections' offsets in one contiguous block (each aligned to 8 bytes) and the block's size.
    uint64_t Layout(uint64_t* aOffsets) const;
    TqResult Check() const;
    // The section a metadata setter works on: null for an index out of range or the chunk section.
    TqMultiPartSectionImpl* DescribedSection(uint32_t aIndex, TqResult& aResult);

    const TqPayloadType& mPayloadType;
    const TqBufferReception& mReception;
    TqMultiPartSectionImpl mSections[TqMultiPartMaxParts];
    uint32_t mCount = 0;
    uint8_t* mBlock = nullptr;   // the memory of AllocAllParts, shared out to the sections
    TqLiveObjects::Counter mCounter{"TqMultiPartContainer"};
};
