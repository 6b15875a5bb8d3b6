// The image payload of a TqBuffer. Its memory is the buffer's: Alloc allocates the buffer's memory
// for the image and its chunks, Attach attaches external memory to the buffer, Detach gives it back.
//
// Sizes: a line holds ceil(width x bits per pixel / 8) bytes of pixels plus padding X bytes; the
// image size is height lines plus padding Y bytes; the memory an image needs is its image size plus
// the maximum chunk length (RequiredMemory).
#pragma once

#include "ITqImage.h"
#include "TqBufferExport.h"
#include "TqLiveObjects.h"
#include "TqResult.h"
#include "TqString.h"

class TqBuffer;

class TQ_BUFFER_API TqImage : public ITqImage {
public:
    explicit TqImage(TqBuffer* aBuffer);
    virtual ~TqImage();

    // ITqImage
    uint8_t* GetDataPointer() override;
    const uint8_t* GetDataPointer() const override;
    uint32_t GetImageSize() const override;
    uint32_t GetWidth() const override { return mWidth; }
    uint32_t GetHeight() const override { return mHeight; }
    TqPixelType GetPixelType() const override { return mPixelType; }
    uint32_t GetBitsPerPixel() const override;
    uint32_t GetOffsetX() const override { return mOffsetX; }
    uint32_t GetOffsetY() const override { return mOffsetY; }
    uint16_t GetPaddingX() const override { return mPaddingX; }
    uint16_t GetPaddingY() const override { return mPaddingY; }
    uint64_t GetBlockID() const override { return mBlockID; }
    uint64_t GetTimestamp() const override { return mTimestamp; }
    uint64_t GetReceptionTime() const override { return mReceptionTime; }

    virtual uint32_t GetMaximumChunkLength() const;
    virtual uint32_t GetRequiredSize() const;
    virtual uint32_t GetEffectiveImageSize() const;
    virtual void SetOffsetX(uint32_t aValue) { mOffsetX = aValue; }
    virtual void SetOffsetY(uint32_t aValue) { mOffsetY = aValue; }
    virtual bool IsAllocated() const;
    virtual bool IsAttached() const;
    virtual TqResult Alloc(uint32_t aSizeX, uint32_t aSizeY, TqPixelType aPixelType, uint16_t aPaddingX = 0,
                           uint16_t aPaddingY = 0, uint32_t aMaximumChunkLength = 0);
    virtual void Free();
    virtual TqResult Attach(void* aRawBuffer, uint32_t aSizeX, uint32_t aSizeY, TqPixelType aPixelType,
                            uint16_t aPaddingX = 0, uint16_t aPaddingY = 0, uint32_t aMaximumChunkLength = 0);
    virtual uint8_t* Detach();
    virtual bool IsPartialLineMissing() const { return mPartialLineMissing; }
    virtual bool IsFullLineMissing() const { return mFullLineMissing; }
    virtual void SetFullLineMissing(bool aValue, uint32_t aLine);
    virtual void SetEOFByLineCount(bool aValue = true) { mEOFByLineCount = aValue; }
    virtual void ClearEOFStatus();
    virtual bool IsEOFByLineCount() const { return mEOFByLineCount; }
    virtual bool IsInterlacedEven() const { return mInterlacedEven; }
    virtual bool IsInterlacedOdd() const { return mInterlacedOdd; }
    virtual bool IsImageDropped() const { return mImageDropped; }
    virtual bool IsDataOverrun() const { return mDataOverrun; }
    virtual TqBuffer* GetBuffer() { return mBuffer; }

    static uint32_t GetPixelSize(TqPixelType aPixelType);
    static bool IsPixelColor(TqPixelType aPixelType);
    static bool IsPixelHighRes(TqPixelType aPixelType);
    static uint32_t GetBitsPerComponent(TqPixelType aPixelType);
    static TqString PixelTypeToString(TqPixelType aPixelType);

    // The bytes an image of these attributes needs (image size plus chunk room); 0 when the
    // attributes cannot describe one (no pixel size, or more than 4 GiB).
    static uint64_t RequiredMemory(uint32_t aSizeX, uint32_t aSizeY, TqPixelType aPixelType, uint16_t aPaddingX,
                                   uint16_t aPaddingY, uint32_t aMaximumChunkLength);

    // What a receiver sets from a block (not wrapped: streams fill it).
    void SetBlockInfo(uint64_t aBlockID, uint64_t aTimestamp, uint64_t aReceptionTime);
    void SetStatus(bool aPartialLineMissing, bool aInterlacedEven, bool aInterlacedOdd, bool aImageDropped,
                   bool aDataOverrun);
    // Sets the geometry without touching memory (a receiver's leader).
    void SetGeometry(uint32_t aSizeX, uint32_t aSizeY, TqPixelType aPixelType, uint16_t aPaddingX, uint16_t aPaddingY);

private:
    TqBuffer* mBuffer;
    uint32_t mWidth = 0;
    uint32_t mHeight = 0;
    TqPixelType mPixelType = TqPixelUndefined;
    uint32_t mOffsetX = 0;
    uint32_t mOffsetY = 0;
    uint16_t mPaddingX = 0;
    uint16_t mPaddingY = 0;
    uint32_t mMaximumChunkLength = 0;
    uint64_t mBlockID = 0;
    uint64_t mTimestamp = 0;
    uint64_t mReceptionTime = 0;
    bool mPartialLineMissing = false;
    bool mFullLineMissing = false;
    uint32_t mMissingLine = 0;
    bool mEOFByLineCount = false;
    bool mInterlacedEven = false;
    bool mInterlacedOdd = false;
    bool mImageDropped = false;
    bool mDataOverrun = false;
    TqLiveObjects::Counter mCounter{"TqImage"};
};
