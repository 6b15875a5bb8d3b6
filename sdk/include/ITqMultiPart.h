// Multi-part payloads (payload type TqPayloadTypeMultiPart): a block of several parts (2-D and 3-D
// images and planes, confidence maps, JPEG and JPEG 2000 images, at most one chunk-data part, always
// the last). A TqBuffer of that payload type hands out its container; the container, its sections
// and the interfaces the sections hand out belong to the buffer and live as long as it.
//
// Writer rules:
// - Parts are added in order: AddImagePart (data types TqMultiPart2DImage to TqMultiPartConfidenceMap,
//   width and maximum height not 0, a pixel type with a pixel size), AddJPEGPart (TqMultiPartJPEGImage
//   or TqMultiPartJPEG2000Image, maximum length not 0) and AddChunkPart (maximum length not 0); any
//   other data type or a zero size gives TQ_INVALID_PARAMETER. Adding after the chunk part:
//   TQ_STATE_ERROR. More than TqMultiPartMaxParts parts: TQ_ERR_OVERFLOW. A buffer that is not
//   multi-part: TQ_NOT_SUPPORTED.
// - An image part's size is ceil(width x bits per pixel / 8) + padding X bytes per line, times its
//   height; its height starts as the maximum height and SetPartFinalImageHeight may lower it (not 0,
//   not above the maximum). A JPEG part's length starts as its maximum length and SetPartFinalLength
//   may lower it; the chunk part's likewise (its data is the chunks).
// - SetPartIDs, SetPartZoneInfo: TQ_INVALID_PARAMETER for an index out of range, TQ_INVALID_DATA_FORMAT
//   for the chunk part or a buffer that is not multi-part.
// - AllocAllParts: one contiguous block for all parts, each part's share aligned to 8 bytes; memory
//   of earlier allocations is freed and attached memory detached first. TQ_STATE_ERROR without parts,
//   TQ_ERR_OVERFLOW above 4 GiB, TQ_NOT_ENOUGH_MEMORY when it cannot be had (nothing changes then).
// - AllocPart(i): memory of the part's own (its share of a contiguous block stays reserved, unused);
//   AttachPart(i, p, n): the part uses the caller's n bytes (TQ_NOT_FOUND for an index out of range,
//   TQ_INVALID_PARAMETER for a null pointer or fewer bytes than the part's maximum size).
// - Validate: TQ_STATE_ERROR without parts; TQ_INVALID_PARAMETER when a part has no memory or less
//   than its maximum size; else TQ_OK.
// - Reset: no parts, all part memory freed or detached.
// Sections: the data pointer is the part's memory (null without); GetSize is the part's maximum size,
// GetEffectiveSize its current length (the image size at the current height, the JPEG's or chunk
// part's final length), 0 without memory.
#pragma once

#include "ITqChunkData.h"
#include "ITqImage.h"
#include "TqEnums.h"
#include "TqPixelType.h"
#include "TqResult.h"

#include <cstdint>

// The most parts a GigE Vision multi-part block may carry.
constexpr uint32_t TqMultiPartMaxParts = 10;

class ITqImageJPEG {
public:
    virtual ~ITqImageJPEG() {}
    virtual uint8_t* GetDataPointer() = 0;
    virtual const uint8_t* GetDataPointer() const = 0;
    virtual uint8_t GetFlag() const = 0;
    virtual uint64_t GetTimestampTickFrequency() const = 0;
    virtual uint32_t GetDataFormat() const = 0;
    virtual uint64_t GetDataSize() const = 0;
};

class ITqMultiPartSection {
public:
    virtual ~ITqMultiPartSection() {}
    virtual uint8_t* GetDataPointer() = 0;
    virtual const uint8_t* GetDataPointer() const = 0;
    virtual uint32_t GetSize() const = 0;
    virtual uint32_t GetEffectiveSize() const = 0;
    virtual TqMultiPartDataType GetDataType() const = 0;
    virtual bool IsAllocated() const = 0;
    virtual bool IsAttached() const = 0;
    virtual uint32_t GetIndex() const = 0;
    virtual ITqImage* GetImage() = 0;
    virtual ITqImageJPEG* GetJPEG() = 0;
    virtual ITqChunkData* GetChunkData() = 0;
    virtual uint32_t GetSourceID() const = 0;
    virtual uint32_t GetDataPurposeID() const = 0;
    virtual uint32_t GetRegionID() const = 0;
    virtual uint32_t GetAdditionalZones() const = 0;
    virtual uint32_t GetZoneDirectionMask() const = 0;
};

class ITqMultiPartContainerReader {
public:
    virtual ~ITqMultiPartContainerReader() {}
    virtual uint32_t GetPartCount() = 0;
    virtual ITqMultiPartSection* GetPart(uint32_t aIndex) = 0;
    virtual const ITqMultiPartSection* GetPart(uint32_t aIndex) const = 0;
};

class ITqMultiPartContainerWriter : public ITqMultiPartContainerReader {
public:
    virtual bool IsValid() const = 0;
    virtual uint32_t GetTotalSize() const = 0;
    virtual void Reset() = 0;
    virtual TqResult AddImagePart(TqMultiPartDataType aDataType, uint32_t aWidth, uint32_t aMaxHeight,
                                  TqPixelType aPixelType, uint32_t aOffsetX = 0, uint32_t aOffsetY = 0,
                                  uint16_t aPaddingX = 0) = 0;
    virtual TqResult AddJPEGPart(TqMultiPartDataType aDataType, uint32_t aMaxLength, uint8_t aFlag,
                                 uint64_t aTimestampTickFrequency, uint32_t aDataFormat) = 0;
    virtual TqResult AddChunkPart(uint32_t aMaxLength, uint32_t aChunkLayoutID) = 0;
    virtual TqResult SetPartIDs(uint32_t aIndex, uint32_t aSourceID, uint32_t aDataPurposeID, uint32_t aRegionID) = 0;
    virtual TqResult SetPartZoneInfo(uint32_t aIndex, uint8_t aAdditionalZones, uint32_t aZoneDirectionMask) = 0;
    virtual TqResult AllocAllParts() = 0;
    virtual TqResult AllocPart(uint32_t aIndex) = 0;
    virtual TqResult AttachPart(uint32_t aIndex, uint8_t* aBuffer, uint64_t aLength) = 0;
    virtual TqResult SetPartFinalLength(uint32_t aIndex, uint32_t aLength) = 0;
    virtual TqResult SetPartFinalImageHeight(uint32_t aIndex, uint32_t aHeight) = 0;
    virtual TqResult Validate() = 0;
};

class ITqMultiPartContainer : public ITqMultiPartContainerWriter {};
