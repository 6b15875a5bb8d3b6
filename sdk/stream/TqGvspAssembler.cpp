#include "TqGvspAssembler.h"

#include "TqImage.h"
#include "TqResultCodes.h"

#include <algorithm>
#include <cstring>

namespace TqStreamLib {

namespace {

constexpr size_t kHeader = 8;                 // status, block ID, format and packet ID
constexpr size_t kLeaderCommon = 12;          // reserved, payload type, timestamp
constexpr size_t kImageLeader = 36;           // ... pixel format, size, offset, padding
constexpr size_t kSizedLeader = 20;           // ... payload size (raw data and the like)
constexpr uint8_t kLeader = 1, kTrailer = 2, kPayload = 3;
constexpr uint8_t kExtendedId = 0x80;
constexpr uint32_t kLastUnknown = 0xFFFFFF;   // a missing group that reaches the block's end
constexpr uint64_t kLargest = 0xFFFFFFFFull;  // no block is larger than a buffer can be

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Get32(const uint8_t* p) { return (static_cast<uint32_t>(Get16(p)) << 16) | Get16(p + 2); }
uint64_t Get64(const uint8_t* p) { return (static_cast<uint64_t>(Get32(p)) << 32) | Get32(p + 4); }

// Payload types whose leader carries an image's geometry (image, and image with extended chunks).
bool IsImage(uint16_t aType) { return (aType & 0x3FFF) == 0x0001; }

TqPayloadType PayloadTypeOf(uint16_t aType) {
    if (aType & 0x8000) return TqPayloadTypeDeviceSpecificBase;
    const uint16_t base = aType & 0x3FFF;
    if (base >= 1 && base <= 10) return static_cast<TqPayloadType>(base);
    return TqPayloadTypeUndefined;
}

bool LeaderWellFormed(const uint8_t* aData, size_t aSize) {
    if (aSize < kHeader + kLeaderCommon) return false;
    const uint16_t type = Get16(aData + kHeader + 2);
    if (IsImage(type)) return aSize >= kHeader + kImageLeader;
    return true;
}

// Whether aId comes after aLatest among 16-bit block IDs (1 to 65535, 65535 followed by 1): within
// half the range ahead.
bool Newer(uint16_t aId, uint16_t aLatest) {
    const uint32_t ahead = (uint32_t(aId) + 65535u - aLatest) % 65535u;
    return ahead >= 1 && ahead <= 32767;
}

}  // namespace

GvspAssembler::Block* GvspAssembler::Find(uint16_t aId) {
    for (Block& b : mBlocks)
        if (b.id == aId) return &b;
    return nullptr;
}

GvspAssembler::Block* GvspAssembler::Begin(uint16_t aId, bool aLeader, Clock::time_point aNow) {
    if (mBlocks.size() >= kMaxBlocks) Hand(0, TQ_MISSING_PACKETS, aNow);   // the oldest makes room
    Block b;
    b.id = aId;
    b.first = b.last = aNow;
    if (!mState.input.empty()) {
        b.buffer = mState.input.front();
        mState.input.pop_front();
    } else {
        mState.counters.blocksDropped++;
    }
    mLatest = aId;
    mLatestAt = aNow;
    mBlocks.push_back(std::move(b));
    return &mBlocks.back();
}

void GvspAssembler::Process(const uint8_t* aData, size_t aSize, Clock::time_point aNow) {
    Counters& c = mState.counters;
    c.packetsReceived++;
    if (aSize < kHeader) {
        c.packetsBad++;
        return;
    }
    const uint16_t status = Get16(aData);
    const uint16_t id = Get16(aData + 2);
    const uint8_t format = aData[4];
    const uint32_t packet = (uint32_t(aData[5]) << 16) | (uint32_t(aData[6]) << 8) | aData[7];
    if ((format & kExtendedId) || id == 0 || ((format & 0x0F) < kLeader || (format & 0x0F) > kPayload)) {
        c.packetsBad++;   // extended IDs are not used by these devices; 0 is no block ID
        return;
    }
    const uint8_t kind = format & 0x0F;
    if (status != 0) {   // an error status (a packet the device could not resend): nothing to place
        c.packetsIgnored++;
        return;
    }
    if (kind == kLeader && (packet != 0 || !LeaderWellFormed(aData, aSize))) {
        c.packetsBad++;
        return;
    }
    if (kind != kLeader && packet == 0) {
        c.packetsBad++;
        return;
    }

    Block* b = Find(id);
    if (!b) {
        const uint32_t timeout = mState.imageTimeout.load();
        const bool idle = mBlocks.empty() && aNow - mLatestAt > std::chrono::milliseconds(timeout);
        if (mLatest != 0 && !idle && !Newer(id, mLatest)) {
            c.packetsIgnored++;   // a block handed back already, or far behind
            return;
        }
        if (mState.waitForLeader.load() && kind != kLeader) {
            c.packetsIgnored++;   // its leader was missed: the block is not received
            return;
        }
        b = Begin(id, kind == kLeader, aNow);
    }
    b->last = aNow;
    mLatestAt = aNow;
    if (!b->buffer) {
        c.packetsIgnored++;
        return;
    }

    switch (kind) {
    case kLeader:
        if (b->leader) {
            b->redundant++;
            c.packetsRedundant++;
            return;
        }
        Leader(*b, aData, aSize);
        break;
    case kTrailer: {
        if (b->trailer) {
            b->redundant++;
            c.packetsRedundant++;
            return;
        }
        const uint32_t count = PacketCount(*b);
        if (b->leader && b->payloadSize && mChunk && packet - 1 != count) {
            c.packetsBad++;   // its packet ID does not close this block
            return;
        }
        b->trailer = true;
        b->lastPacket = packet - 1;
        break;
    }
    default:
        Payload(*b, packet, aData + kHeader, aSize - kHeader);
        break;
    }
    if (Complete(*b)) Hand(static_cast<size_t>(b - mBlocks.data()), b->overflow ? TQ_BUFFER_TOO_SMALL : TQ_OK, aNow);
}

void GvspAssembler::Leader(Block& aBlock, const uint8_t* aData, size_t aSize) {
    const uint8_t* d = aData + kHeader;
    aBlock.leader = true;
    aBlock.payloadType = Get16(d + 2);
    aBlock.timestamp = Get64(d + 4);
    uint64_t size = 0;
    if (IsImage(aBlock.payloadType)) {
        aBlock.pixelFormat = Get32(d + 12);
        aBlock.width = Get32(d + 16);
        aBlock.height = Get32(d + 20);
        aBlock.offsetX = Get32(d + 24);
        aBlock.offsetY = Get32(d + 28);
        aBlock.paddingX = Get16(d + 32);
        aBlock.paddingY = Get16(d + 34);
        const uint64_t bits = (aBlock.pixelFormat >> 16) & 0xFF;
        if (bits) {
            const uint64_t line = (uint64_t(aBlock.width) * bits + 7) / 8 + aBlock.paddingX;   // < 2^38
            size = aBlock.height && line > kLargest / aBlock.height ? kLargest + 1 : line * aBlock.height + aBlock.paddingY;
        }
    } else if (aSize >= kHeader + kSizedLeader) {
        size = Get64(d + 12);
    }
    if (size > kLargest) {
        aBlock.overflow = true;   // larger than any buffer: received, never written beyond the buffer
        size = 0;
    }
    aBlock.payloadSize = size;
    if (size > aBlock.buffer->GetSize()) aBlock.overflow = true;
    if (!size || !mChunk) return;
    // Payload packets that came before the leader: keep those that fit the block it describes.
    const uint32_t count = PacketCount(aBlock);
    aBlock.bytes = 0;
    for (uint32_t p = 1; p < aBlock.received.size(); ++p) {
        if (!aBlock.received[p]) continue;
        const uint64_t offset = uint64_t(p - 1) * mChunk;
        if (p > count) {
            aBlock.received[p] = 0;
            continue;
        }
        aBlock.bytes += p == count ? size - offset : mChunk;
    }
    if (aBlock.received.size() > count + 1) aBlock.received.resize(count + 1);
}

uint32_t GvspAssembler::PacketCount(const Block& aBlock) const {
    if (!aBlock.payloadSize || !mChunk) return 0;
    return static_cast<uint32_t>((aBlock.payloadSize + mChunk - 1) / mChunk);
}

void GvspAssembler::Payload(Block& aBlock, uint32_t aPacket, const uint8_t* aData, size_t aLength) {
    Counters& c = mState.counters;
    if (aLength == 0) {
        c.packetsBad++;
        return;
    }
    if (aPacket == 1 && aLength != mChunk && !(aBlock.payloadSize && aLength == aBlock.payloadSize)) {
        // The first packet tells the packet size; packets placed by another size are placed again.
        mChunk = static_cast<uint32_t>(aLength);
        std::fill(aBlock.received.begin(), aBlock.received.end(), 0);
        aBlock.bytes = 0;
        aBlock.highest = 0;
    }
    if (mChunk == 0 || aLength > mChunk) {
        c.packetsBad++;
        return;
    }
    const uint64_t offset = uint64_t(aPacket - 1) * mChunk;
    const uint64_t capacity = aBlock.buffer->GetSize();
    if (aBlock.payloadSize) {
        const uint32_t count = PacketCount(aBlock);
        const uint64_t expected = aPacket == count ? aBlock.payloadSize - offset : mChunk;
        if (aPacket > count || aLength != expected) {
            c.packetsBad++;   // outside the block the leader describes, or of the wrong length
            return;
        }
    } else if (offset >= capacity + mChunk) {
        // The block's size is unknown and the packet lies beyond the buffer: not recorded either.
        aBlock.overflow = true;
        c.packetsBad++;
        return;
    }
    if (aBlock.received.size() <= aPacket) aBlock.received.resize(aPacket + 1, 0);
    if (aBlock.received[aPacket]) {
        aBlock.redundant++;
        c.packetsRedundant++;
        return;
    }
    if (aPacket < aBlock.highest) {
        aBlock.outOfOrder++;
        c.packetsOutOfOrder++;
    }
    aBlock.highest = std::max(aBlock.highest, aPacket);
    aBlock.received[aPacket] = 1;
    aBlock.bytes += aLength;
    // The one copy: from the datagram to its place in the caller's buffer, never past its end.
    uint8_t* memory = aBlock.buffer->GetDataPointer();
    const uint64_t fits = offset < capacity ? std::min<uint64_t>(aLength, capacity - offset) : 0;
    if (fits && memory) {
        std::memcpy(memory + offset, aData, fits);
        aBlock.written = std::max(aBlock.written, offset + fits);
    }
    if (fits < aLength || !memory) aBlock.overflow = true;
}

bool GvspAssembler::Complete(const Block& aBlock) const {
    if (!aBlock.leader || !aBlock.trailer) return false;
    if (aBlock.payloadSize && mChunk) return aBlock.bytes == aBlock.payloadSize;
    if (aBlock.payloadSize == 0 && !aBlock.overflow && aBlock.lastPacket == 0) return true;   // an empty block
    if (aBlock.lastPacket == 0 || aBlock.received.size() <= aBlock.lastPacket) return false;
    for (uint32_t p = 1; p <= aBlock.lastPacket; ++p)
        if (!aBlock.received[p]) return false;
    return true;
}

void GvspAssembler::Hand(size_t aIndex, uint32_t aResult, Clock::time_point aNow) {
    Block b = std::move(mBlocks[aIndex]);
    mBlocks.erase(mBlocks.begin() + static_cast<std::ptrdiff_t>(aIndex));
    if (!b.buffer) return;
    Counters& c = mState.counters;

    // Missing payload packets, in groups of consecutive IDs.
    uint32_t last = PacketCount(b);
    if (!last) last = std::max(b.lastPacket, b.highest);
    last = std::min(last, kLastUnknown - 1);   // packet IDs have 24 bits
    TqBufferReception r;
    uint32_t missing = 0;
    if (!b.leader) r.mMissingPacketGroups.emplace_back(0, 0);
    // IDs beyond those ever received are missing as one group.
    const uint32_t seen = static_cast<uint32_t>(std::min<size_t>(b.received.size(), size_t(last) + 1));
    for (uint32_t p = 1; p < seen; ++p) {
        if (b.received[p]) continue;
        ++missing;
        if (!r.mMissingPacketGroups.empty() && r.mMissingPacketGroups.back().second == p - 1 &&
            r.mMissingPacketGroups.back().second != 0)
            r.mMissingPacketGroups.back().second = p;
        else
            r.mMissingPacketGroups.emplace_back(p, p);
    }
    if (last >= std::max<uint32_t>(seen, 1)) {
        const uint32_t from = std::max<uint32_t>(seen, 1);
        missing += last - from + 1;
        if (!r.mMissingPacketGroups.empty() && r.mMissingPacketGroups.back().second == from - 1 &&
            r.mMissingPacketGroups.back().second != 0)
            r.mMissingPacketGroups.back().second = last;
        else
            r.mMissingPacketGroups.emplace_back(from, last);
    }
    if (!b.trailer && aResult != TQ_ABORTED) r.mMissingPacketGroups.emplace_back(last + 1, kLastUnknown);

    const uint32_t size = b.buffer->GetSize();
    const uint32_t acquired = static_cast<uint32_t>(std::min<uint64_t>(b.written, size));
    r.mBlockID = b.id;
    r.mTimestamp = b.timestamp;
    r.mReceptionTime = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(aNow.time_since_epoch()).count());
    r.mDuration = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(b.last - b.first).count());
    r.mOperationResult = aResult;
    r.mAcquiredSize = acquired;
    r.mRequiredSize = static_cast<uint32_t>(std::min<uint64_t>(b.payloadSize, kLargest));
    r.mPayloadSize = b.payloadSize ? r.mRequiredSize : acquired;
    r.mHeaderValid = b.leader;
    r.mTrailerValid = b.trailer;
    r.mLostPackets = missing;
    r.mIgnoredPackets = b.ignored;
    r.mRedundantPackets = b.redundant;
    r.mPacketsOutOfOrder = b.outOfOrder;

    const TqPayloadType type = b.leader ? PayloadTypeOf(b.payloadType) : b.buffer->GetPayloadType();
    b.buffer->SetReception(type, r);
    b.buffer->SetPayloadLength(aResult == TQ_OK ? static_cast<uint32_t>(b.payloadSize ? b.payloadSize : acquired) : acquired);
    if (type == TqPayloadTypeImage && b.leader) {
        TqImage* image = b.buffer->GetImage();
        image->SetGeometry(b.width, b.height, static_cast<TqPixelType>(b.pixelFormat), b.paddingX, b.paddingY);
        image->SetOffsetX(b.offsetX);
        image->SetOffsetY(b.offsetY);
        image->SetBlockInfo(b.id, b.timestamp, r.mReceptionTime);
        image->SetStatus(missing > 0, false, false, false, b.overflow);
    }

    switch (aResult) {
    case TQ_OK: c.blocksReceived++; break;
    case TQ_BUFFER_TOO_SMALL: c.blocksTooSmall++; break;
    case TQ_ABORTED: c.blocksAborted++; break;
    default:
        c.blocksIncomplete++;
        c.packetsMissing += missing;
        break;
    }
    mState.Finish(b.buffer, aResult);
}

GvspAssembler::Clock::time_point GvspAssembler::Expire(Clock::time_point aNow) {
    const auto timeout = std::chrono::milliseconds(mState.imageTimeout.load());
    Clock::time_point next = Clock::time_point::max();
    for (size_t i = 0; i < mBlocks.size();) {
        if (aNow - mBlocks[i].last >= timeout) {
            Hand(i, mBlocks[i].overflow && mBlocks[i].leader && mBlocks[i].trailer ? TQ_BUFFER_TOO_SMALL : TQ_MISSING_PACKETS,
                 aNow);
            continue;
        }
        next = std::min(next, mBlocks[i].last + timeout);
        ++i;
    }
    return next;
}

void GvspAssembler::AbortAll() {
    const auto now = Clock::now();
    while (!mBlocks.empty()) Hand(0, TQ_ABORTED, now);
}

}  // namespace TqStreamLib
