// The SDK's read-only image interface: geometry, pixel type, block identity and timing of one image,
// and a pointer to its pixels.
//
// Units: width, height and offsets in pixels; padding X is the bytes at the end of each line that
// hold no image data, padding Y the extra bytes at the end of the image; the image size is in bytes.
#pragma once

#include "TqPixelType.h"

#include <cstdint>

class ITqImage {
public:
    virtual ~ITqImage() {}
    virtual uint8_t* GetDataPointer() = 0;
    virtual const uint8_t* GetDataPointer() const = 0;
    virtual uint32_t GetImageSize() const = 0;
    virtual uint32_t GetWidth() const = 0;
    virtual uint32_t GetHeight() const = 0;
    virtual TqPixelType GetPixelType() const = 0;
    virtual uint32_t GetBitsPerPixel() const = 0;
    virtual uint32_t GetOffsetX() const = 0;
    virtual uint32_t GetOffsetY() const = 0;
    virtual uint16_t GetPaddingX() const = 0;
    virtual uint16_t GetPaddingY() const = 0;
    virtual uint64_t GetBlockID() const = 0;
    virtual uint64_t GetTimestamp() const = 0;
    virtual uint64_t GetReceptionTime() const = 0;
};
