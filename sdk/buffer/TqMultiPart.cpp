#include "TqMultiPart.h"

#include "TqChunkData.h"
#include "TqMemoryBlocks.h"
#include "TqNoMemory.h"
#include "TqPixelLayout.h"

#include <algorithm>
#include <new>

// Choices of this implementation where ITqMultiPart.h leaves room:
// - Every Add checks the container first (a buffer that is not multi-part, then a chunk section
//   already there, then a full index), then its arguments; an image whose maximum size passes
//   32 bits gives TQ_ERR_OVERFLOW. Nothing changes when an Add fails.
// - Index out of range: TQ_NOT_FOUND for AttachPart, as the header says; TQ_INVALID_PARAMETER for
//   AllocPart and the setters (SetPartIDs, SetPartZoneInfo, SetPartFinalLength,
//   SetPartFinalImageHeight).
// - SetPartFinalLength works on JPEG and chunk sections, SetPartFinalImageHeight on image sections;
//   the other kind gives TQ_INVALID_PARAMETER. A final length may be anything up to the maximum
//   length, 0 included; a final height must be 1 to the maximum height.
// - Zones and IDs are kept as given.
// - Sizes: a section's maximum size is its image at the maximum height (no padding Y) or its
//   maximum length. The block of AllocAllParts puts each share at the next multiple of 8 after the
//   one before; GetTotalSize is where the last share ends (no padding after it), 0 when that passes
//   32 bits (AllocAllParts then gives TQ_ERR_OVERFLOW). Memory the container allocates is zeroed.
// - Memory: AllocPart and AttachPart give up the section's earlier memory (own memory freed, attached
//   memory detached); the block stays until AllocAllParts, Reset or the buffer's end, even when no
//   section uses it any more. Attached memory longer than the maximum size is used up to the
//   maximum size only.
// - The chunk section's ITqChunkData is a TqChunkData over the section's memory, with the maximum
//   length as its capacity. It starts empty whenever the section's memory changes (AddChunk writes
//   it) and keeps the layout ID of AddChunkPart unless changed through it; the final length is set
//   apart from it (a writer states GetChunkDataSize there once the chunks are in).
// - The image, JPEG and chunk interfaces stay with their section for the container's whole life:
//   one handed out before a Reset reads the section as it is now (no memory: a null data pointer
//   and sizes of 0).

namespace {

constexpr uint64_t kMaxSize = 0xFFFFFFFFull;   // sizes are 32-bit

bool IsImageType(TqMultiPartDataType aType) {
    return aType >= TqMultiPart2DImage && aType <= TqMultiPartConfidenceMap;
}

bool IsJPEGType(TqMultiPartDataType aType) {
    return aType == TqMultiPartJPEGImage || aType == TqMultiPartJPEG2000Image;
}

}  // namespace

// ---- the image and JPEG interfaces of a section ----

uint8_t* TqMultiPartImageView::GetDataPointer() { return mSection.mData; }
const uint8_t* TqMultiPartImageView::GetDataPointer() const { return mSection.mData; }
// At the current height; never more than the maximum size, which the memory holds.
uint32_t TqMultiPartImageView::GetImageSize() const { return mSection.mLineBytes * mSection.mHeight; }
uint32_t TqMultiPartImageView::GetWidth() const { return mSection.mWidth; }
uint32_t TqMultiPartImageView::GetHeight() const { return mSection.mHeight; }
TqPixelType TqMultiPartImageView::GetPixelType() const { return mSection.mPixelType; }
uint32_t TqMultiPartImageView::GetBitsPerPixel() const { return TqGetPixelBitCount(mSection.mPixelType); }
uint32_t TqMultiPartImageView::GetOffsetX() const { return mSection.mOffsetX; }
uint32_t TqMultiPartImageView::GetOffsetY() const { return mSection.mOffsetY; }
uint16_t TqMultiPartImageView::GetPaddingX() const { return mSection.mPaddingX; }

uint64_t TqMultiPartImageView::GetBlockID() const { return mSection.mContainer->GetReception().mBlockID; }

uint64_t TqMultiPartImageView::GetTimestamp() const { return mSection.mContainer->GetReception().mTimestamp; }

uint64_t TqMultiPartImageView::GetReceptionTime() const { return mSection.mContainer->GetReception().mReceptionTime; }

uint8_t* TqMultiPartJPEGView::GetDataPointer() { return mSection.mData; }
const uint8_t* TqMultiPartJPEGView::GetDataPointer() const { return mSection.mData; }
uint8_t TqMultiPartJPEGView::GetFlag() const { return mSection.mJPEGFlag; }
uint64_t TqMultiPartJPEGView::GetTimestampTickFrequency() const { return mSection.mTickFrequency; }
uint32_t TqMultiPartJPEGView::GetDataFormat() const { return mSection.mJPEGDataFormat; }
uint64_t TqMultiPartJPEGView::GetDataSize() const { return mSection.IsJPEG() ? mSection.GetEffectiveSize() : 0; }

// ---- sections ----

TqMultiPartSectionImpl::TqMultiPartSectionImpl() = default;

TqMultiPartSectionImpl::~TqMultiPartSectionImpl() { SetMemory(Memory::None, nullptr, 0); }

bool TqMultiPartSectionImpl::IsImage() const { return IsImageType(mDataType); }
bool TqMultiPartSectionImpl::IsJPEG() const { return IsJPEGType(mDataType); }

uint32_t TqMultiPartSectionImpl::CurrentLength() const {
    return IsImage() ? mLineBytes * mHeight : mFinalLength;
}

uint32_t TqMultiPartSectionImpl::GetEffectiveSize() const {
    if (mData == nullptr) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(CurrentLength(), mMemoryLength));
}

ITqImage* TqMultiPartSectionImpl::GetImage() { return IsImage() ? &mImage : nullptr; }
ITqImageJPEG* TqMultiPartSectionImpl::GetJPEG() { return IsJPEG() ? &mJPEG : nullptr; }

ITqChunkData* TqMultiPartSectionImpl::GetChunkData() {
    if (mDataType != TqMultiPartChunkData) return nullptr;
    if (!mChunks) {
        mChunks = std::make_unique<TqChunkData>();
        mChunks->SetChunkLayoutID(mChunkLayoutID);
        ShowChunks();
    }
    return mChunks.get();
}

void TqMultiPartSectionImpl::ShowChunks() {
    mChunks->Detach();
    if (mMemory == Memory::Received) {   // the chunks that came
        mChunks->Show(mData, GetEffectiveSize(), mChunkLayoutID);
        return;
    }
    mChunks->Show(nullptr, 0, mChunks->GetChunkLayoutID());
    if (mData != nullptr) mChunks->Attach(mData, mMaxSize);   // never more than the memory holds
    mChunks->ResetChunks();
}

void TqMultiPartSectionImpl::SetMemory(Memory aKind, uint8_t* aData, uint64_t aLength) {
    uint8_t* own = mMemory == Memory::Own ? mData : nullptr;
    mMemory = aData != nullptr ? aKind : Memory::None;
    mData = aData;
    mMemoryLength = aData != nullptr ? aLength : 0;
    if (mChunks) ShowChunks();
    TqMemoryBlocks::Release(own);   // after the chunk set has let go of it
}

void TqMultiPartSectionImpl::Clear() {
    SetMemory(Memory::None, nullptr, 0);
    mDataType = TqMultiPartInvalid;
    mMaxSize = 0;
    mWidth = mMaxHeight = mHeight = 0;
    mPixelType = TqPixelUndefined;
    mOffsetX = mOffsetY = 0;
    mPaddingX = 0;
    mLineBytes = 0;
    mFinalLength = 0;
    mJPEGFlag = 0;
    mTickFrequency = 0;
    mJPEGDataFormat = 0;
    mChunkLayoutID = 0;
    mSourceID = mDataPurposeID = mRegionID = 0;
    mAdditionalZones = mZoneDirectionMask = 0;
    if (mChunks) mChunks->SetChunkLayoutID(0);
}

// ---- the container ----

TqMultiPartContainerImpl::TqMultiPartContainerImpl(const TqPayloadType& aPayloadType,
                                                   const TqBufferReception& aReception)
    : mPayloadType(aPayloadType), mReception(aReception) {
    for (uint32_t i = 0; i < TqMultiPartMaxParts; ++i) {
        mSections[i].mContainer = this;
        mSections[i].mIndex = i;
    }
}

TqMultiPartContainerImpl::~TqMultiPartContainerImpl() { Reset(); }

bool TqMultiPartContainerImpl::IsMultiPartBuffer() const {
    return mPayloadType == TqPayloadTypeMultiPart;
}

ITqMultiPartSection* TqMultiPartContainerImpl::GetPart(uint32_t aIndex) {
    return aIndex < mCount ? &mSections[aIndex] : nullptr;
}

const ITqMultiPartSection* TqMultiPartContainerImpl::GetPart(uint32_t aIndex) const {
    return aIndex < mCount ? &mSections[aIndex] : nullptr;
}

void TqMultiPartContainerImpl::Reset() {
    for (TqMultiPartSectionImpl& section : mSections) section.Clear();
    TqMemoryBlocks::Release(mBlock);   // no section points into it any more
    mBlock = nullptr;
    mCount = 0;
}

uint64_t TqMultiPartContainerImpl::Layout(uint64_t* aOffsets) const {
    uint64_t end = 0;   // at most 10 sections of less than 4 GiB each: no 64-bit overflow
    for (uint32_t i = 0; i < mCount; ++i) {
        uint64_t at = (end + 7) & ~uint64_t{7};
        if (aOffsets != nullptr) aOffsets[i] = at;
        end = at + mSections[i].mMaxSize;
    }
    return end;
}

uint32_t TqMultiPartContainerImpl::GetTotalSize() const {
    uint64_t total = Layout(nullptr);
    return total > kMaxSize ? 0 : static_cast<uint32_t>(total);
}

TqResult TqMultiPartContainerImpl::CanAdd() const {
    if (!IsMultiPartBuffer()) return TqResult(TQ_NOT_SUPPORTED);
    if (mCount > 0 && mSections[mCount - 1].mDataType == TqMultiPartChunkData) return TqResult(TQ_STATE_ERROR);
    if (mCount >= TqMultiPartMaxParts) return TqResult(TQ_ERR_OVERFLOW);
    return TqResult(TQ_OK);
}

TqResult TqMultiPartContainerImpl::AddImagePart(TqMultiPartDataType aDataType, uint32_t aWidth, uint32_t aMaxHeight,
                                                TqPixelType aPixelType, uint32_t aOffsetX, uint32_t aOffsetY,
                                                uint16_t aPaddingX) {
    TqResult result = CanAdd();
    if (!result.IsOK()) return result;
    uint32_t bpp = TqGetPixelBitCount(aPixelType);
    if (!IsImageType(aDataType) || aWidth == 0 || aMaxHeight == 0 || bpp == 0) return TqResult(TQ_INVALID_PARAMETER);
    uint64_t line = TqPixel::LineBytes(aWidth, bpp) + aPaddingX;   // < 2^38
    if (line > kMaxSize / aMaxHeight) return TqResult(TQ_ERR_OVERFLOW);

    TqMultiPartSectionImpl& section = mSections[mCount];
    section.Clear();
    section.mDataType = aDataType;
    section.mWidth = aWidth;
    section.mMaxHeight = aMaxHeight;
    section.mHeight = aMaxHeight;
    section.mPixelType = aPixelType;
    section.mOffsetX = aOffsetX;
    section.mOffsetY = aOffsetY;
    section.mPaddingX = aPaddingX;
    section.mLineBytes = static_cast<uint32_t>(line);
    section.mMaxSize = static_cast<uint32_t>(line * aMaxHeight);
    ++mCount;
    return TqResult(TQ_OK);
}

TqResult TqMultiPartContainerImpl::AddJPEGPart(TqMultiPartDataType aDataType, uint32_t aMaxLength, uint8_t aFlag,
                                               uint64_t aTimestampTickFrequency, uint32_t aDataFormat) {
    TqResult result = CanAdd();
    if (!result.IsOK()) return result;
    if (!IsJPEGType(aDataType) || aMaxLength == 0) return TqResult(TQ_INVALID_PARAMETER);

    TqMultiPartSectionImpl& section = mSections[mCount];
    section.Clear();
    section.mDataType = aDataType;
    section.mMaxSize = aMaxLength;
    section.mFinalLength = aMaxLength;
    section.mJPEGFlag = aFlag;
    section.mTickFrequency = aTimestampTickFrequency;
    section.mJPEGDataFormat = aDataFormat;
    ++mCount;
    return TqResult(TQ_OK);
}

TqResult TqMultiPartContainerImpl::AddChunkPart(uint32_t aMaxLength, uint32_t aChunkLayoutID) {
    TqResult result = CanAdd();
    if (!result.IsOK()) return result;
    if (aMaxLength == 0) return TqResult(TQ_INVALID_PARAMETER);

    TqMultiPartSectionImpl& section = mSections[mCount];
    section.Clear();
    section.mDataType = TqMultiPartChunkData;
    section.mMaxSize = aMaxLength;
    section.mFinalLength = aMaxLength;
    section.mChunkLayoutID = aChunkLayoutID;
    if (section.mChunks) section.mChunks->SetChunkLayoutID(aChunkLayoutID);
    ++mCount;
    return TqResult(TQ_OK);
}

TqMultiPartSectionImpl* TqMultiPartContainerImpl::DescribedSection(uint32_t aIndex, TqResult& aResult) {
    if (!IsMultiPartBuffer()) {
        aResult = TqResult(TQ_INVALID_DATA_FORMAT);
        return nullptr;
    }
    if (aIndex >= mCount) {
        aResult = TqResult(TQ_INVALID_PARAMETER);
        return nullptr;
    }
    if (mSections[aIndex].mDataType == TqMultiPartChunkData) {
        aResult = TqResult(TQ_INVALID_DATA_FORMAT);
        return nullptr;
    }
    aResult = TqResult(TQ_OK);
    return &mSections[aIndex];
}

TqResult TqMultiPartContainerImpl::SetPartIDs(uint32_t aIndex, uint32_t aSourceID, uint32_t aDataPurposeID,
                                              uint32_t aRegionID) {
    TqResult result;
    TqMultiPartSectionImpl* section = DescribedSection(aIndex, result);
    if (section == nullptr) return result;
    section->mSourceID = aSourceID;
    section->mDataPurposeID = aDataPurposeID;
    section->mRegionID = aRegionID;
    return result;
}

TqResult TqMultiPartContainerImpl::SetPartZoneInfo(uint32_t aIndex, uint8_t aAdditionalZones,
                                                   uint32_t aZoneDirectionMask) {
    TqResult result;
    TqMultiPartSectionImpl* section = DescribedSection(aIndex, result);
    if (section == nullptr) return result;
    section->mAdditionalZones = aAdditionalZones;
    section->mZoneDirectionMask = aZoneDirectionMask;
    return result;
}

TqResult TqMultiPartContainerImpl::AllocAllParts() {
    if (mCount == 0) return TqResult(TQ_STATE_ERROR);
    uint64_t offsets[TqMultiPartMaxParts];
    uint64_t total = Layout(offsets);
    if (total > kMaxSize) return TqResult(TQ_ERR_OVERFLOW);
    uint8_t* block = TqMemoryBlocks::Allocate(total);   // aligned to more than 8 bytes
    if (block == nullptr) return TqNoMemory::NoBlock("the parts of a multi-part buffer", total);
    for (uint32_t i = 0; i < mCount; ++i)
        mSections[i].SetMemory(TqMultiPartSectionImpl::Memory::Share, block + offsets[i], mSections[i].mMaxSize);
    TqMemoryBlocks::Release(mBlock);
    mBlock = block;
    return TqResult(TQ_OK);
}

TqResult TqMultiPartContainerImpl::AllocPart(uint32_t aIndex) {
    if (aIndex >= mCount) return TqResult(TQ_INVALID_PARAMETER);
    TqMultiPartSectionImpl& section = mSections[aIndex];
    uint8_t* data = TqMemoryBlocks::Allocate(section.mMaxSize);
    if (data == nullptr) return TqNoMemory::NoBlock("a part of a multi-part buffer", section.mMaxSize);
    section.SetMemory(TqMultiPartSectionImpl::Memory::Own, data, section.mMaxSize);
    return TqResult(TQ_OK);
}

TqResult TqMultiPartContainerImpl::AttachPart(uint32_t aIndex, uint8_t* aBuffer, uint64_t aLength) {
    if (aIndex >= mCount) return TqResult(TQ_NOT_FOUND);
    TqMultiPartSectionImpl& section = mSections[aIndex];
    if (aBuffer == nullptr || aLength < section.mMaxSize) return TqResult(TQ_INVALID_PARAMETER);
    section.SetMemory(TqMultiPartSectionImpl::Memory::Attached, aBuffer, aLength);
    return TqResult(TQ_OK);
}

TqResult TqMultiPartContainerImpl::SetPartFinalLength(uint32_t aIndex, uint32_t aLength) {
    if (aIndex >= mCount) return TqResult(TQ_INVALID_PARAMETER);
    TqMultiPartSectionImpl& section = mSections[aIndex];
    if (section.IsImage()) return TqResult(TQ_INVALID_PARAMETER);
    if (aLength > section.mMaxSize) return TqResult(TQ_INVALID_PARAMETER);
    section.mFinalLength = aLength;
    return TqResult(TQ_OK);
}

TqResult TqMultiPartContainerImpl::SetPartFinalImageHeight(uint32_t aIndex, uint32_t aHeight) {
    if (aIndex >= mCount) return TqResult(TQ_INVALID_PARAMETER);
    TqMultiPartSectionImpl& section = mSections[aIndex];
    if (!section.IsImage()) return TqResult(TQ_INVALID_PARAMETER);
    if (aHeight == 0 || aHeight > section.mMaxHeight) return TqResult(TQ_INVALID_PARAMETER);
    section.mHeight = aHeight;
    return TqResult(TQ_OK);
}

TqResult TqMultiPartContainerImpl::Check() const {
    if (mCount == 0) return TqResult(TQ_STATE_ERROR);
    for (uint32_t i = 0; i < mCount; ++i) {
        const TqMultiPartSectionImpl& section = mSections[i];
        if (section.mData == nullptr || section.mMemoryLength < section.mMaxSize) return TqResult(TQ_INVALID_PARAMETER);
    }
    return TqResult(TQ_OK);
}

TqResult TqMultiPartContainerImpl::Validate() { return Check(); }

TqResult TqMultiPartContainerImpl::ReceivePart(const TqReceivedPart& aPart) {
    const auto type = static_cast<TqMultiPartDataType>(aPart.dataType);
    const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(aPart.length, kMaxSize));
    TqResult added(TQ_INVALID_DATA_FORMAT);
    if (IsImageType(type)) {
        added = AddImagePart(type, aPart.width, aPart.height, static_cast<TqPixelType>(aPart.pixelType), aPart.offsetX,
                             aPart.offsetY, aPart.paddingX);
        if (added.IsOK() && aPart.sizeY && aPart.sizeY < aPart.height) mSections[mCount - 1].mHeight = aPart.sizeY;
    } else if (IsJPEGType(type) && length) {
        added = AddJPEGPart(type, length, 0, 0, aPart.pixelType);
    } else if (type == TqMultiPartChunkData && length) {
        added = AddChunkPart(length, 0);
    }
    if (!added.IsOK()) return added.GetCode() == TQ_ERR_OVERFLOW ? added : TqResult(TQ_INVALID_DATA_FORMAT);
    if (type != TqMultiPartChunkData) {   // a chunk part has neither (as a writer gives it)
        SetPartIDs(mCount - 1, aPart.sourceId, aPart.dataPurposeId, aPart.regionId);
        SetPartZoneInfo(mCount - 1, uint8_t(aPart.additionalZones), aPart.zoneDirections);
    }
    return added;
}

TqResult TqMultiPartContainerImpl::Receive(const std::vector<TqReceivedPart>& aParts, uint8_t* aMemory, uint64_t aSize) {
    Reset();
    for (const TqReceivedPart& part : aParts) {
        if (mCount == TqMultiPartMaxParts) return TqResult(TQ_ERR_OVERFLOW);
        const TqResult added = ReceivePart(part);
        if (!added.IsOK()) return added;
        // The bytes that arrived, within the memory; an image part's maximum size is what it holds.
        TqMultiPartSectionImpl& section = mSections[mCount - 1];
        const uint64_t at = std::min(part.offset, aSize);
        const uint64_t held = std::min(part.length, aSize - at);
        if (!section.IsImage()) section.mFinalLength = static_cast<uint32_t>(std::min<uint64_t>(held, section.mMaxSize));
        section.SetMemory(TqMultiPartSectionImpl::Memory::Received, aMemory ? aMemory + at : nullptr, held);
    }
    return TqResult(TQ_OK);
}
bool TqMultiPartContainerImpl::IsValid() const { return Check().IsOK(); }
