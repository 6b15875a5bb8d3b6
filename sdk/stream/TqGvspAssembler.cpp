#include "TqGvspAssembler.h"

#include "TqImage.h"
#include "TqPixelLayout.h"
#include "TqResultCodes.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace TqStreamLib {

namespace Gvsp = TqGvsp;

namespace {

constexpr uint32_t kLastUnknown = 0xFFFFFF;   // a missing group that reaches the block's end
constexpr uint64_t kLargest = 0xFFFFFFFFull;  // no block is larger than a buffer can be
constexpr size_t kHeader = Gvsp::kHeaderSize; // the receiver takes the generic header only

TqPayloadType PayloadTypeOf(uint16_t aType) {
    if (aType & Gvsp::kDeviceSpecificFlag) return TqPayloadTypeDeviceSpecificBase;
    const uint16_t base = Gvsp::BaseType(aType);
    if (base >= 1 && base <= 10) return static_cast<TqPayloadType>(base);
    return TqPayloadTypeUndefined;
}

// aBody: the leader after the header.
bool LeaderWellFormed(Gvsp::Bytes aBody) {
    const auto leader = Gvsp::Leader::Of(aBody);
    if (!leader) return false;
    return !Gvsp::IsImage(leader->PayloadType()) || Gvsp::ImageLeader::Of(aBody);
}

// The generic header of a datagram (its first kHeader bytes); none for the extended-ID form.
std::optional<Gvsp::Header> HeaderOf(const uint8_t* aHeader) { return Gvsp::Header::Of(aHeader, kHeader); }

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

const GvspAssembler::Block* GvspAssembler::Find(uint16_t aId) const {
    for (const Block& b : mBlocks)
        if (b.id == aId) return &b;
    return nullptr;
}

void GvspAssembler::Plan(Place* aPlaces, size_t aCount) const {
    std::fill(aPlaces, aPlaces + aCount, Place{});
    if (mChunk == 0 || mLatest == 0) return;
    size_t slot = 0;
    const Block* newest = Find(mLatest);
    if (newest) {
        // The rest of its payload packets, as far as its buffer holds them.
        if (!newest->buffer || !newest->buffer->GetDataPointer()) return;
        uint8_t* memory = newest->buffer->GetDataPointer();
        const uint64_t capacity = newest->buffer->GetSize();
        const uint32_t count = PacketCount(*newest);
        for (uint32_t p = newest->highest + 1; slot < aCount && (count ? p <= count : p < kLastUnknown - 1); ++p, ++slot) {
            const uint64_t offset = uint64_t(p - 1) * mChunk;
            const uint64_t length = count && p == count ? newest->payloadSize - offset : mChunk;
            if (offset + length > capacity) return;
            aPlaces[slot] = {memory + offset, static_cast<uint32_t>(length), mLatest, p};
        }
        if (!count) return;   // where it ends is not known
        if (!newest->trailer) ++slot;
    }
    // The blocks after it, one in each buffer queued, in turn: a leader, the payload packets that fill
    // the buffer (a buffer as large as the payload is the usual case; a larger one only means that the
    // last packet does not come as planned), a trailer. A buffer whose memory is also that of a block in
    // progress or of a buffer planned before is planned no further.
    uint16_t id = mLatest;
    struct Span {
        const uint8_t* at;
        uint64_t size;
    } used[kMaxResendingBlocks + 32];
    size_t spans = 0;
    for (const Block& b : mBlocks)
        if (b.buffer && b.buffer->GetDataPointer() && spans < std::size(used))
            used[spans++] = {b.buffer->GetDataPointer(), b.buffer->GetSize()};
    for (TqBuffer* next : mState.input) {
        ++slot;   // the leader
        if (slot >= aCount || spans == std::size(used)) return;
        uint8_t* memory = next ? next->GetDataPointer() : nullptr;
        const uint64_t capacity = memory ? next->GetSize() : 0;
        if (!capacity) return;
        for (size_t i = 0; i < spans; ++i)
            if (used[i].at < memory + capacity && memory < used[i].at + used[i].size) return;
        used[spans++] = {memory, capacity};
        id = id == 65535 ? 1 : static_cast<uint16_t>(id + 1);
        uint64_t offset = 0;
        for (uint32_t p = 1; slot < aCount && offset < capacity; ++p, ++slot, offset += mChunk)
            aPlaces[slot] = {memory + offset, static_cast<uint32_t>(std::min<uint64_t>(mChunk, capacity - offset)), id, p};
        ++slot;   // the trailer
    }
}

bool GvspAssembler::IsPayload(const uint8_t* aHeader, size_t aSize) {
    if (aSize < kHeader) return false;
    const auto header = HeaderOf(aHeader);
    return header && header->Status() == 0 && header->Format() == Gvsp::kFormatPayload;
}

bool GvspAssembler::Fits(const Place& aPlace, const uint8_t* aHeader, size_t aSize) {
    if (!aPlace.at || aSize != kHeader + aPlace.length || !IsPayload(aHeader, aSize)) return false;
    const Gvsp::Header header = *HeaderOf(aHeader);
    return header.BlockId() == aPlace.block && header.PacketId() == aPlace.packet;
}

GvspAssembler::Block* GvspAssembler::Begin(uint16_t aId, Clock::time_point aNow) {
    const bool resending = Resending();
    if (resending) {
        // The blocks before it were sent whole: what they still lack is asked for now.
        for (Block& older : mBlocks)
            if (older.buffer && !older.settled) AskMissing(older, true, 1, aNow);
    }
    if (mBlocks.size() >= (resending ? kMaxResendingBlocks : kMaxBlocks)) {
        // The oldest makes room; while its missing packets may still come, the oldest without a buffer.
        auto unfilled = resending ? std::find_if(mBlocks.begin(), mBlocks.end(), [](const Block& b) { return !b.buffer; })
                                  : mBlocks.end();
        if (unfilled != mBlocks.end())
            mBlocks.erase(unfilled);
        else
            Hand(0, TQ_MISSING_PACKETS, aNow);
    }
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
    if (aSize < kHeader) {
        mState.counters.packetsReceived++;
        mState.counters.packetsBad++;
        return;
    }
    Process(aData, aData + kHeader, aSize - kHeader, aNow);
}

void GvspAssembler::Process(const uint8_t* aData, const uint8_t* aBody, size_t aBodySize, Clock::time_point aNow) {
    Counters& c = mState.counters;
    c.packetsReceived++;
    const auto header = HeaderOf(aData);   // extended IDs are not used by these devices
    const uint8_t kind = header ? header->Format() : 0;
    if (!header || header->BlockId() == 0 || kind < Gvsp::kFormatLeader || kind > Gvsp::kFormatPayload) {
        c.packetsBad++;   // 0 is no block ID
        return;
    }
    const uint16_t status = header->Status();
    const uint16_t id = static_cast<uint16_t>(header->BlockId());
    const uint32_t packet = header->PacketId();
    if (status != 0) {   // an error status (a packet the device could not resend): nothing to place
        c.packetsIgnored++;
        Block* gone = Find(id);
        if (gone && gone->buffer && Resending())   // the device no longer has the block: nothing more comes
            Hand(static_cast<size_t>(gone - mBlocks.data()), Incomplete(*gone), aNow);
        return;
    }
    if (kind == Gvsp::kFormatLeader && (packet != 0 || !LeaderWellFormed(Gvsp::Bytes(aBody, aBodySize)))) {
        c.packetsBad++;
        return;
    }
    if (kind != Gvsp::kFormatLeader && packet == 0) {
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
        if (mState.waitForLeader.load() && kind != Gvsp::kFormatLeader) {
            c.packetsIgnored++;   // its leader was missed: the block is not received
            return;
        }
        b = Begin(id, aNow);
    }
    b->last = aNow;
    mLatestAt = aNow;
    if (!b->buffer) {
        c.packetsIgnored++;
        return;
    }
    if (kind != Gvsp::kFormatLeader && !b->leader && b->leaderAsks == 0 && Resending()) AskIds(*b, 0, 0, 1, aNow);

    switch (kind) {
    case Gvsp::kFormatLeader:
        if (b->leader) {
            b->redundant++;
            c.packetsRedundant++;
            return;
        }
        Arrived(*b, 0);
        Leader(*b, aBody, aBodySize);
        break;
    case Gvsp::kFormatTrailer: {
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
        Arrived(*b, packet);
        b->trailer = true;
        b->lastPacket = packet - 1;
        if (Resending()) AskMissing(*b, true, 1, aNow);   // the block was sent whole
        break;
    }
    default:
        Payload(*b, packet, aBody, aBodySize, aNow);
        break;
    }
    if (Complete(*b)) Hand(static_cast<size_t>(b - mBlocks.data()), b->overflow ? TQ_BUFFER_TOO_SMALL : TQ_OK, aNow);
}

void GvspAssembler::Leader(Block& aBlock, const uint8_t* aBody, size_t aSize) {
    const Gvsp::Bytes body(aBody, aSize);
    const Gvsp::Leader leader = *Gvsp::Leader::Of(body);   // well formed: Process looked
    aBlock.leader = true;
    aBlock.payloadType = leader.PayloadType();
    aBlock.timestamp = leader.Timestamp();
    uint64_t size = 0;
    if (Gvsp::IsImage(aBlock.payloadType)) {
        const Gvsp::ImageInfo& image = aBlock.image = Gvsp::ImageLeader::Of(body)->Image();
        const uint32_t bits = TqPixel::BitsPerPixel(image.pixelFormat);
        // With extended chunks the payload runs on past the image: its size is the trailer's to tell.
        if (bits && !(aBlock.payloadType & Gvsp::kExtendedChunkFlag)) {
            const uint64_t line = TqPixel::LineBytes(image.width, bits) + image.paddingX;   // < 2^38
            size = image.height && line > kLargest / image.height ? kLargest + 1 : line * image.height + image.paddingY;
        }
    } else if (const auto sized = Gvsp::SizedLeader::Of(body)) {
        size = sized->PayloadSize();
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
    if (aBlock.asks.size() > aBlock.received.size()) aBlock.asks.resize(aBlock.received.size());
}

uint32_t GvspAssembler::PacketCount(const Block& aBlock) const {
    if (!aBlock.payloadSize || !mChunk) return 0;
    return static_cast<uint32_t>((aBlock.payloadSize + mChunk - 1) / mChunk);
}

void GvspAssembler::Payload(Block& aBlock, uint32_t aPacket, const uint8_t* aData, size_t aLength,
                            Clock::time_point aNow) {
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
    if (aBlock.received.size() <= aPacket) {
        aBlock.received.resize(aPacket + 1, 0);
        // Packets beyond those seen so far were asked for together, from tailFrom on.
        for (uint32_t p = static_cast<uint32_t>(aBlock.asks.size()); p <= aPacket; ++p)
            aBlock.asks.push_back(aBlock.tailAsks && p >= aBlock.tailFrom ? aBlock.tailAsks : 0);
    }
    if (aBlock.received[aPacket]) {
        aBlock.redundant++;
        c.packetsRedundant++;
        return;
    }
    if (aPacket < aBlock.highest) {
        aBlock.outOfOrder++;
        c.packetsOutOfOrder++;
    }
    Arrived(aBlock, aPacket);
    const uint32_t before = aBlock.highest;
    aBlock.highest = std::max(aBlock.highest, aPacket);
    if (aPacket > before + 1 && Resending()) AskIds(aBlock, before + 1, aPacket - 1, 1, aNow);   // a gap before it
    aBlock.received[aPacket] = 1;
    aBlock.bytes += aLength;
    // The one copy: from the datagram to its place in the caller's buffer, never past its end; none
    // when the datagram was received into that place already.
    uint8_t* memory = aBlock.buffer->GetDataPointer();
    const uint64_t fits = offset < capacity ? std::min<uint64_t>(aLength, capacity - offset) : 0;
    if (fits && memory) {
        if (memory + offset != aData) std::memcpy(memory + offset, aData, fits);
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

uint32_t GvspAssembler::Incomplete(const Block& aBlock) {
    return aBlock.overflow && aBlock.leader && aBlock.trailer ? TQ_BUFFER_TOO_SMALL : TQ_MISSING_PACKETS;
}

std::vector<GvspAssembler::Group> GvspAssembler::Missing(const Block& aBlock, bool aToTheEnd, uint32_t& aCount) const {
    std::vector<Group> groups;
    aCount = 0;
    // Consecutive IDs join a group; the leader's stays alone.
    auto add = [&](uint32_t aFirst, uint32_t aLast) {
        if (!groups.empty() && groups.back().second != 0 && groups.back().second + 1 == aFirst)
            groups.back().second = aLast;
        else
            groups.emplace_back(aFirst, aLast);
    };
    if (!aBlock.leader) {
        groups.emplace_back(0, 0);
        aCount++;
    }
    // The last payload packet: from the leader, else from the trailer, else the highest seen.
    const uint32_t count = PacketCount(aBlock);
    uint32_t last = count ? count : aBlock.trailer ? aBlock.lastPacket : aBlock.highest;
    last = std::min(last, kLastUnknown - 2);   // packet IDs have 24 bits, and the trailer follows
    const uint32_t seen = static_cast<uint32_t>(std::min<size_t>(aBlock.received.size(), size_t(last) + 1));
    for (uint32_t p = 1; p < seen; ++p) {
        if (aBlock.received[p]) continue;
        add(p, p);
        aCount++;
    }
    const uint32_t from = std::max<uint32_t>(seen, 1);   // IDs beyond those ever received
    if (last >= from) {
        add(from, last);
        aCount += last - from + 1;
    }
    if (aToTheEnd && !aBlock.trailer) {
        add(last + 1, kLastUnknown);
        aCount++;   // the trailer (the payload packets before it are counted above when the leader told them)
    }
    return groups;
}

GvspAssembler::Clock::duration GvspAssembler::ResendInterval() const {
    const uint32_t quarter = mState.imageTimeout.load() / 4;
    return std::chrono::milliseconds(std::clamp<uint32_t>(quarter, 1, 50));
}

uint8_t GvspAssembler::Asked(const Block& aBlock, uint32_t aPacket) const {
    if (aPacket == 0) return aBlock.leaderAsks;
    if (aPacket < aBlock.asks.size()) return aBlock.asks[aPacket];
    return aBlock.tailAsks && aPacket >= aBlock.tailFrom ? aBlock.tailAsks : 0;
}

void GvspAssembler::Arrived(Block& aBlock, uint32_t aPacket) {
    const uint8_t asked = Asked(aBlock, aPacket);
    if (!asked) return;
    aBlock.recovered++;
    if (asked == 1) aBlock.recoveredSingle++;
    mState.counters.packetsRecovered++;
}

void GvspAssembler::AskMissing(Block& aBlock, bool aToTheEnd, uint8_t aBelow, Clock::time_point aNow) {
    if (aToTheEnd) aBlock.settled = true;
    uint32_t count = 0;
    for (const Group& g : Missing(aBlock, aToTheEnd, count)) AskIds(aBlock, g.first, g.second, aBelow, aNow);
}

void GvspAssembler::AskIds(Block& aBlock, uint32_t aFirst, uint32_t aLast, uint8_t aBelow, Clock::time_point aNow) {
    if (aFirst == 0) {
        if (aBlock.leaderAsks < aBelow) {
            Ask(aBlock, 0, 0, aNow);
            aBlock.leaderAsks++;
        }
        if (aLast == 0) return;
        aFirst = 1;
    }
    // Where the trailer's ID is known, a group that reaches it ends there.
    const uint32_t count = PacketCount(aBlock);
    const uint32_t trailer = count ? count + 1 : aBlock.trailer ? aBlock.lastPacket + 1 : 0;
    if (aLast == kLastUnknown && trailer) aLast = trailer;
    // Packets among those seen so far: runs of the ones asked for fewer than aBelow times.
    const uint32_t inside = static_cast<uint32_t>(std::min<uint64_t>(aBlock.asks.size(), uint64_t(aLast) + 1));
    uint32_t run = 0;   // the first ID of the current run; 0: none
    for (uint32_t p = aFirst; p < inside; ++p) {
        if (!aBlock.received[p] && aBlock.asks[p] < aBelow) {
            if (!run) run = p;
            aBlock.asks[p]++;
            continue;
        }
        if (run) Ask(aBlock, run, p - 1, aNow);
        run = 0;
    }
    // The packets beyond: asked for together (with the run that reaches them).
    const uint32_t beyond = std::max(aFirst, inside);
    if (aLast >= beyond && (aBlock.tailAsks < aBelow || beyond < aBlock.tailFrom)) {
        if (!run) run = beyond;
        if (!aBlock.tailAsks || beyond < aBlock.tailFrom) {
            aBlock.tailFrom = beyond;
            aBlock.tailAsks = 1;
        } else {
            aBlock.tailAsks++;
        }
        Ask(aBlock, run, aLast, aNow);
        return;
    }
    if (run) Ask(aBlock, run, std::min(aLast, inside - 1), aNow);
}

void GvspAssembler::Ask(Block& aBlock, uint32_t aFirst, uint32_t aLast, Clock::time_point aNow) {
    const uint32_t packets = aLast == kLastUnknown ? 1 : aLast - aFirst + 1;   // the trailer at least
    aBlock.groupsRequested++;
    aBlock.packetsRequested += packets;
    aBlock.askedAt = aNow;
    mState.counters.packetsRequested += packets;
    mRequester(aBlock.id, aFirst, aLast);
}

void GvspAssembler::Hand(size_t aIndex, uint32_t aResult, Clock::time_point aNow) {
    Block b = std::move(mBlocks[aIndex]);
    mBlocks.erase(mBlocks.begin() + static_cast<std::ptrdiff_t>(aIndex));
    if (!b.buffer) return;
    Counters& c = mState.counters;

    TqBufferReception r;
    uint32_t missing = 0;
    r.mMissingPacketGroups = Missing(b, aResult != TQ_ABORTED, missing);   // packets may still come to an aborted one

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
    r.mPacketsRecovered = b.recovered;
    r.mPacketsRecoveredSingleResend = b.recoveredSingle;
    r.mResendGroupsRequested = b.groupsRequested;
    r.mResendPacketsRequested = b.packetsRequested;
    r.mIgnoredPackets = b.ignored;
    r.mRedundantPackets = b.redundant;
    r.mPacketsOutOfOrder = b.outOfOrder;

    const TqPayloadType type = b.leader ? PayloadTypeOf(b.payloadType) : b.buffer->GetPayloadType();
    b.buffer->SetReception(type, r);
    b.buffer->SetPayloadLength(aResult == TQ_OK ? static_cast<uint32_t>(b.payloadSize ? b.payloadSize : acquired) : acquired);
    if (type == TqPayloadTypeImage && b.leader) {
        TqImage* image = b.buffer->GetImage();
        image->SetGeometry(b.image.width, b.image.height, TqPixel::FromWire(b.image.pixelFormat), b.image.paddingX,
                           b.image.paddingY);
        image->SetOffsetX(b.image.offsetX);
        image->SetOffsetY(b.image.offsetY);
        image->SetBlockInfo(b.id, b.timestamp, r.mReceptionTime);
        image->SetStatus(missing > 0, false, false, false, b.overflow);
    }

    switch (aResult) {
    case TQ_OK: c.blocksReceived++; break;
    case TQ_BUFFER_TOO_SMALL: c.blocksTooSmall++; break;
    case TQ_ABORTED: c.blocksAborted++; break;
    default: c.blocksIncomplete++; break;
    }
    if (aResult != TQ_ABORTED) c.packetsMissing += missing;
    mState.Finish(b.buffer, aResult);
}

GvspAssembler::Clock::time_point GvspAssembler::Expire(Clock::time_point aNow) {
    const auto timeout = std::chrono::milliseconds(mState.imageTimeout.load());
    const bool resending = Resending();
    const Clock::duration interval = ResendInterval();
    Clock::time_point next = Clock::time_point::max();
    for (size_t i = 0; i < mBlocks.size();) {
        Block& b = mBlocks[i];
        if (aNow - b.last >= timeout) {
            Hand(i, Incomplete(b), aNow);
            continue;
        }
        next = std::min(next, b.last + timeout);
        if (resending && b.buffer && b.rounds + 1 < kMaxAsks) {
            const Clock::time_point due = std::max(b.last, b.askedAt) + interval;
            if (aNow >= due) {   // quiet: what it still lacks is asked for (again)
                b.settled = true;
                b.rounds++;
                b.askedAt = aNow;
                AskMissing(b, true, static_cast<uint8_t>(b.rounds + 1), aNow);
                if (b.rounds + 1 < kMaxAsks) next = std::min(next, aNow + interval);
            } else {
                next = std::min(next, due);
            }
        }
        ++i;
    }
    return next;
}

void GvspAssembler::AbortAll() {
    const auto now = Clock::now();
    while (!mBlocks.empty()) Hand(0, TQ_ABORTED, now);
}

// ---- batches ----

GvspBatch::GvspBatch(uint32_t aPacketBuffer)
    : mPacketBuffer(std::max<uint32_t>(aPacketBuffer, kHeader)), mStorage(size_t(kSize) * mPacketBuffer) {}

mmsghdr* GvspBatch::Prepare(const GvspAssembler& aAssembler) {
    aAssembler.Plan(mPlaces, kSize);
    for (unsigned i = 0; i < kSize; ++i) {
        GvspAssembler::Place& place = mPlaces[i];
        if (place.at && place.length > mPacketBuffer - kHeader) place = {};   // never longer than a datagram read whole
        iovec* v = mVectors[i];
        std::memset(&mMessages[i], 0, sizeof mMessages[i]);
        mMessages[i].msg_hdr.msg_iov = v;
        if (place.at) {
            v[0] = {Slot(i), kHeader};
            v[1] = {place.at, place.length};
            v[2] = {Slot(i) + kHeader + place.length, mPacketBuffer - kHeader - place.length};
            mMessages[i].msg_hdr.msg_iovlen = 3;
        } else {
            v[0] = {Slot(i), mPacketBuffer};
            mMessages[i].msg_hdr.msg_iovlen = 1;
        }
    }
    return mMessages;
}

void GvspBatch::Deliver(GvspAssembler& aAssembler, unsigned aGot, GvspAssembler::Clock::time_point aNow) {
    aGot = std::min(aGot, kSize);
    bool inPlace = true;
    for (unsigned i = 0; i < aGot && inPlace; ++i) {
        const bool truncated = mMessages[i].msg_hdr.msg_flags & MSG_TRUNC;
        const size_t size = mMessages[i].msg_len;
        inPlace = mPlaces[i].at ? !truncated && GvspAssembler::Fits(mPlaces[i], Slot(i), size)
                                : truncated || !GvspAssembler::IsPayload(Slot(i), size);
    }
    if (inPlace) {
        mInPlace++;
    } else {
        // Each datagram whole in its slot: the part received into a place moves in before the rest.
        mGathered++;
        for (unsigned i = 0; i < aGot; ++i) {
            const size_t size = mMessages[i].msg_len;
            if (!mPlaces[i].at || size <= kHeader) continue;
            std::memcpy(Slot(i) + kHeader, mPlaces[i].at, std::min<size_t>(size - kHeader, mPlaces[i].length));
        }
    }
    State& state = aAssembler.StateOf();
    for (unsigned i = 0; i < aGot; ++i) {
        const size_t size = mMessages[i].msg_len;
        if (mMessages[i].msg_hdr.msg_flags & MSG_TRUNC) {   // longer than the packet buffer
            state.counters.packetsReceived++;
            state.counters.packetsBad++;
        } else if (inPlace && mPlaces[i].at) {
            aAssembler.Process(Slot(i), mPlaces[i].at, size - kHeader, aNow);
        } else {
            aAssembler.Process(Slot(i), size, aNow);
        }
    }
}

}  // namespace TqStreamLib
