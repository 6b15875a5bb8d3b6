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
