// What a receiver records about the block it put into a buffer (the stand-in's own interface,
// used by streams and by tests). The buffer keeps it; the multi-part container reads the block's
// identity from it.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

struct TqBufferReception {
    uint64_t mBlockID = 0;
    uint64_t mTimestamp = 0;
    uint64_t mReceptionTime = 0;
    uint64_t mDuration = 0;
    bool mExtendedID = false;
    uint32_t mOperationResult = 0;   // a TQ_* code
    uint32_t mAcquiredSize = 0;
    uint32_t mRequiredSize = 0;
    uint32_t mPayloadSize = 0;
    bool mHeaderValid = false;
    bool mTrailerValid = false;
    bool mLargeLeaderTrailer = false;
    uint32_t mPacketsRecovered = 0;
    uint32_t mPacketsRecoveredSingleResend = 0;
    uint32_t mResendGroupsRequested = 0;
    uint32_t mResendPacketsRequested = 0;
    uint32_t mLostPackets = 0;
    uint32_t mIgnoredPackets = 0;
    uint32_t mRedundantPackets = 0;
    uint32_t mPacketsOutOfOrder = 0;
    std::vector<std::pair<uint32_t, uint32_t>> mMissingPacketGroups;   // first and last ID of each
};

// One part of a multi-part block as a receiver found it (the stand-in's own interface): what the
// leader tells of it and where its data lies in the buffer's memory.
struct TqReceivedPart {
    uint32_t dataType = 0;              // a TqMultiPartDataType
    uint64_t offset = 0, length = 0;    // its data in the buffer's memory
    uint32_t pixelType = 0;             // a TqPixelType (image parts); a JPEG part's data format
    uint32_t width = 0, height = 0, offsetX = 0, offsetY = 0;
    uint16_t paddingX = 0;
    uint32_t sizeY = 0;                 // the lines its trailer tells (image parts; 0: height)
    uint32_t sourceId = 0, dataPurposeId = 0, regionId = 0, additionalZones = 0, zoneDirections = 0;
};
