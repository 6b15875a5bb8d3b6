#include "TqGvspAssembler.h"

#include "TqChunkCodec.h"
#include "TqImage.h"
#include "TqLoopback.h"
#include "TqPixelLayout.h"
#include "TqResultCodes.h"
#include "TqWireBytes.h"

#include <netinet/in.h>
#include <netinet/udp.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace TqStreamLib {

namespace Gvsp = TqGvsp;

namespace {

constexpr uint64_t kLargest = 0xFFFFFFFFull;  // no block is larger than a buffer can be
constexpr size_t kMostPayload = 0xFFFF;        // the payload bytes of one datagram, at most
// A leader or trailer longer than this needs the large leader and trailer (a 576-byte packet's room).
constexpr size_t kSmallEnds = 576 - Gvsp::kIpUdpOverhead;
constexpr uint64_t kPartAlignment = 8;         // where each part of a multi-part block begins
// The fewest bytes a multi-part payload packet carries (but the last of each part): a 576-byte packet
// with the extended-ID header.
constexpr uint64_t kMinPartPacket = Gvsp::PayloadBytes(576, true, true);

TqPayloadType PayloadTypeOf(uint16_t aType) {
    if (aType & Gvsp::kDeviceSpecificFlag) return TqPayloadTypeDeviceSpecificBase;
    const uint16_t base = Gvsp::BaseType(aType);
    if (base >= 1 && base <= 10) return static_cast<TqPayloadType>(base);
    return TqPayloadTypeUndefined;
}

bool IsMultiPart(uint16_t aType) { return Gvsp::BaseType(aType) == Gvsp::kPayloadMultiPart; }
bool IsChunkData(uint16_t aType) { return Gvsp::BaseType(aType) == Gvsp::kPayloadChunkData; }
bool HasChunks(uint16_t aType) { return Gvsp::IsImage(aType) && (aType & Gvsp::kExtendedChunkFlag); }
// Whether only the trailer tells a block's payload size (an image with chunks, chunk data).
bool SizedByTrailer(uint16_t aType) { return HasChunks(aType) || IsChunkData(aType); }

// aBody: the leader after the header.
bool LeaderWellFormed(Gvsp::Bytes aBody) {
    const auto leader = Gvsp::Leader::Of(aBody);
    if (!leader) return false;
    return !Gvsp::IsImage(leader->PayloadType()) || Gvsp::ImageLeader::Of(aBody);
}

// Whether aId comes after aLatest among 16-bit block IDs (1 to 65535, 65535 followed by 1): within
// half the range ahead; among 64-bit ones likewise.
bool NewerStandard(uint16_t aId, uint16_t aLatest) {
    const uint32_t ahead = (uint32_t(aId) + 65535u - aLatest) % 65535u;
    return ahead >= 1 && ahead <= 32767;
}
bool NewerExtended(uint64_t aId, uint64_t aLatest) {
    const uint64_t ahead = aId - aLatest;
    return ahead >= 1 && ahead < (uint64_t(1) << 63);
}

uint64_t NextId(uint64_t aId, bool aExtended) {
    if (aExtended) return aId == ~uint64_t(0) ? 1 : aId + 1;
    return aId >= 65535 ? 1 : aId + 1;
}

}  // namespace

bool GvspAssembler::Newer(uint64_t aId, bool aExtended) const {
    if (aExtended != mLatestExtended) return true;   // the device changed the form of its IDs
    return aExtended ? NewerExtended(aId, mLatest) : NewerStandard(uint16_t(aId), uint16_t(mLatest));
}

bool GvspAssembler::Begins(uint64_t aId, bool aExtended, Clock::time_point aNow) const {
    const bool idle = mBlocks.empty() && aNow - mLatestAt > std::chrono::milliseconds(mState.imageTimeout.load());
    return mLatest == 0 || idle || Newer(aId, aExtended);
}

bool GvspAssembler::Starves(const uint8_t* aData, size_t aSize, Clock::time_point aNow) const {
    if (!mState.input.empty()) return false;
    const auto header = Gvsp::Header::Of(aData, aSize);
    return header && header->Format() == Gvsp::kFormatLeader && header->Status() == 0 && header->BlockId() != 0 &&
           !Find(header->BlockId()) && Begins(header->BlockId(), header->ExtendedIds(), aNow);
}

GvspAssembler::Block* GvspAssembler::Find(uint64_t aId) {
    for (Block& b : mBlocks)
        if (b.id == aId) return &b;
    return nullptr;
}

const GvspAssembler::Block* GvspAssembler::Find(uint64_t aId) const {
    for (const Block& b : mBlocks)
        if (b.id == aId) return &b;
    return nullptr;
}

void GvspAssembler::Plan(Place* aPlaces, size_t aCount) const {
    std::fill(aPlaces, aPlaces + aCount, Place{});
    if (mChunk == 0 || mLatest == 0) return;
    size_t slot = 0;
    const uint8_t header = uint8_t(Gvsp::HeaderSize(mLatestExtended));
    const Block* newest = Find(mLatest);
    if (newest) {
        // The rest of its payload packets, as far as its buffer holds them.
        if (!newest->buffer || !newest->buffer->GetDataPointer() || IsMultiPart(newest->payloadType)) return;
        uint8_t* memory = newest->buffer->GetDataPointer();
        const uint64_t capacity = newest->buffer->GetSize();
        const uint32_t count = PacketCount(*newest);
        for (uint32_t p = newest->highest + 1; slot < aCount && (count ? p <= count : p < LastUnknown(*newest) - 1);
             ++p, ++slot) {
            const uint64_t offset = uint64_t(p - 1) * mChunk;
            const uint64_t length = count && p == count ? newest->payloadSize - offset : mChunk;
            if (offset + length > capacity) return;
            aPlaces[slot] = {memory + offset, static_cast<uint32_t>(length), mLatest, p, header};
        }
        if (!count) return;   // where it ends is not known
        if (!newest->trailer) ++slot;
    }
    // The blocks after it, one in each buffer queued, in turn: a leader, the payload packets that fill
    // the buffer (a buffer as large as the payload is the usual case; a larger one only means that the
    // last packet does not come as planned), a trailer. A buffer whose memory is also that of a block in
    // progress or of a buffer planned before is planned no further.
    uint64_t id = mLatest;
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
        id = NextId(id, mLatestExtended);
        uint64_t offset = 0;
        for (uint32_t p = 1; slot < aCount && offset < capacity; ++p, ++slot, offset += mChunk)
            aPlaces[slot] = {memory + offset, static_cast<uint32_t>(std::min<uint64_t>(mChunk, capacity - offset)), id, p,
                             header};
        ++slot;   // the trailer
    }
}

bool GvspAssembler::Fits(const Place& aPlace, const uint8_t* aHeader, size_t aSize) {
    if (!aPlace.at || aSize != size_t(aPlace.header) + aPlace.length) return false;
    const auto header = Gvsp::Header::Of(aHeader, aPlace.header);
    return header && header->Size() == aPlace.header && header->Status() == 0 &&
           header->Format() == Gvsp::kFormatPayload && header->BlockId() == aPlace.block &&
           header->PacketId() == aPlace.packet;
}

GvspAssembler::Block* GvspAssembler::Begin(uint64_t aId, bool aExtended, Clock::time_point aNow) {
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
    b.extended = aExtended;
    b.first = b.last = aNow;
    if (!mState.input.empty()) {
        b.buffer = mState.input.front();
        mState.input.pop_front();
    } else {
        mState.counters.blocksDropped++;
    }
    mLatest = aId;
    mLatestExtended = aExtended;
    mLatestAt = aNow;
    mBlocks.push_back(std::move(b));
    return &mBlocks.back();
}

void GvspAssembler::Process(const uint8_t* aData, size_t aSize, Clock::time_point aNow) {
    const auto header = Gvsp::Header::Of(aData, aSize);
    if (!header) {
        mState.counters.packetsReceived++;
        mState.counters.packetsBad++;
        return;
    }
    Process(aData, header->Size(), aData + header->Size(), aSize - header->Size(), aNow);
}

void GvspAssembler::Process(const uint8_t* aData, size_t aHeaderSize, const uint8_t* aBody, size_t aBodySize,
                            Clock::time_point aNow) {
    Counters& c = mState.counters;
    Bump(c.packetsReceived);
    const auto header = Gvsp::Header::Of(aData, aHeaderSize);
    const uint8_t kind = header ? header->Format() : 0;
    if (!header || header->Size() != aHeaderSize || header->BlockId() == 0 ||
        (kind != Gvsp::kFormatLeader && kind != Gvsp::kFormatTrailer && kind != Gvsp::kFormatPayload &&
         kind != Gvsp::kFormatMultiPart)) {
        c.packetsBad++;   // 0 is no block ID
        return;
    }
    const uint16_t status = header->Status();
    const bool extended = header->ExtendedIds();
    const uint64_t id = header->BlockId();
    const uint32_t packet = header->PacketId();
    // A trailer marked DATA_OVERRUN closes its block as any trailer does.
    const bool overrun = status == Gvsp::kStatusDataOverrun && kind == Gvsp::kFormatTrailer;
    if (status != 0 && !overrun) {   // an error status (a packet the device could not resend): nothing to place
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
        if (!Begins(id, extended, aNow)) {
            c.packetsIgnored++;   // a block handed back already, or far behind
            return;
        }
        if (mState.waitForLeader.load() && kind != Gvsp::kFormatLeader) {
            c.packetsIgnored++;   // its leader was missed: the block is not received
            return;
        }
        b = Begin(id, extended, aNow);
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
        b->largeEnds = b->largeEnds || aHeaderSize + aBodySize > kSmallEnds;
        Leader(*b, aBody, aBodySize);
        break;
    case Gvsp::kFormatTrailer: {
        if (b->trailer) {
            b->redundant++;
            c.packetsRedundant++;
            return;
        }
        // Of a type whose size only the trailer tells, a trailer must tell it (the leader's type, else
        // its own), and its packet ID close the block of that size.
        const Gvsp::Bytes body(aBody, aBodySize);
        const auto own = Gvsp::Trailer::Of(body);
        const auto told = SizeInTrailer(b->leader ? b->payloadType : own ? own->PayloadType() : 0, body);
        const uint32_t count = told && told->length && b->leader && !b->sized ? PacketsOf(*told->length) : PacketCount(*b);
        if (!told || (b->leader && count && packet - 1 != count)) {
            c.packetsBad++;   // it does not tell the size, or its packet ID does not close this block
            return;
        }
        Arrived(*b, packet);
        b->trailer = true;
        b->overrun = overrun;
        b->largeEnds = b->largeEnds || aHeaderSize + aBodySize > kSmallEnds;
        b->lastPacket = packet - 1;
        Trailer(*b, body, *told);
        Ended(*b);
        if (Resending()) AskMissing(*b, true, 1, aNow);   // the block was sent whole
        break;
    }
    case Gvsp::kFormatMultiPart:
        PartPayload(*b, packet, aBody, aBodySize, aNow);
        break;
    default:
        if (IsMultiPart(b->payloadType)) {
            c.packetsBad++;   // a multi-part block's bytes come in multi-part packets
            return;
        }
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
    std::optional<uint64_t> size;   // none: the leader does not tell it
    if (Gvsp::IsImage(aBlock.payloadType)) {
        const Gvsp::ImageInfo& image = aBlock.image = Gvsp::ImageLeader::Of(body)->Image();
        const uint32_t bits = TqPixel::BitsPerPixel(image.pixelFormat);
        // With extended chunks the payload runs on past the image: its size is the trailer's to tell.
        if (bits && !HasChunks(aBlock.payloadType)) {
            const uint64_t line = TqPixel::LineBytes(image.width, bits) + image.paddingX;   // < 2^38
            size = image.height && line > kLargest / image.height ? kLargest + 1 : line * image.height + image.paddingY;
        }
    } else if (IsMultiPart(aBlock.payloadType)) {
        // Each part at the next multiple of 8 after the one before; the parts' end is the size.
        const Gvsp::MultiPartLeader parts = *Gvsp::MultiPartLeader::Of(body);
        aBlock.parts.clear();
        uint64_t end = 0;
        for (size_t i = 0; i < parts.PartCount() && end <= kLargest; ++i) {
            const Gvsp::PartEntry entry = parts.Part(i);
            const Gvsp::ImageInfo image = entry.Image();
            TqReceivedPart part;
            part.dataType = entry.DataType();
            part.offset = (end + kPartAlignment - 1) / kPartAlignment * kPartAlignment;
            part.length = entry.PartLength();
            part.pixelType = uint32_t(TqPixel::FromWire(image.pixelFormat));
            if (part.dataType == TqMultiPartJPEGImage || part.dataType == TqMultiPartJPEG2000Image)
                part.pixelType = image.pixelFormat;   // a JPEG part's data format, as it came
            part.width = image.width;
            part.height = image.height;
            part.offsetX = image.offsetX;
            part.offsetY = image.offsetY;
            part.paddingX = image.paddingX;
            part.sourceId = entry.SourceId();
            part.dataPurposeId = entry.DataPurposeId();
            part.regionId = entry.RegionId();
            part.additionalZones = entry.AdditionalZones();
            part.zoneDirections = entry.ZoneDirections();
            end = part.offset + part.length;   // < 2^49: no overflow
            aBlock.parts.push_back(part);
        }
        size = end;
    } else if (!IsChunkData(aBlock.payloadType)) {
        if (const auto sized = Gvsp::SizedLeader::Of(body)) size = sized->PayloadSize();
    }
    if (size)
        Sized(aBlock, *size);
    else if (SizedByTrailer(aBlock.payloadType) && aBlock.toldSize && aBlock.toldType == aBlock.payloadType)
        Sized(aBlock, *aBlock.toldSize);   // the trailer came first and told it
}

std::optional<GvspAssembler::TrailerSize> GvspAssembler::SizeInTrailer(uint16_t aType, Gvsp::Bytes aBody) {
    TrailerSize told;
    if (HasChunks(aType)) {
        const auto image = Gvsp::ImageTrailer::Of(aBody);
        if (!image || !image->ChunkDataLength()) return std::nullopt;
        told.length = image->ChunkDataLength();
        told.layoutId = image->ChunkLayoutId().value_or(0);
    } else if (IsChunkData(aType)) {
        const auto chunks = Gvsp::ChunkDataTrailer::Of(aBody);
        if (!chunks) return std::nullopt;
        told.length = chunks->ChunkDataLength();
        told.layoutId = chunks->ChunkLayoutId().value_or(0);
    }
    return told;
}

void GvspAssembler::Trailer(Block& aBlock, Gvsp::Bytes aBody, const TrailerSize& aTold) {
    if (aTold.length) aBlock.chunkLayoutId = aTold.layoutId;
    if (IsMultiPart(aBlock.payloadType)) {
        if (const auto parts = Gvsp::MultiPartTrailer::Of(aBody))
            for (size_t i = 0; i < std::min(parts->PartCount(), aBlock.parts.size()); ++i)
                aBlock.parts[i].sizeY = parts->Part(i).SizeY();
    }
    // The size the leader could not tell; before the leader, kept for it with the trailer's type.
    if (aBlock.leader) {
        if (aTold.length && !aBlock.sized) Sized(aBlock, *aTold.length);
    } else if (aTold.length) {
        aBlock.toldSize = aTold.length;
        aBlock.toldType = Gvsp::Trailer::Of(aBody)->PayloadType();   // it told a size: it has a type
    }
}

void GvspAssembler::Sized(Block& aBlock, uint64_t aSize) {
    if (aSize > kLargest) {
        aBlock.overflow = true;   // larger than any buffer: received, never written beyond the buffer
        aSize = 0;
    }
    aBlock.sized = true;
    aBlock.payloadSize = aSize;
    aBlock.dataBytes = aSize;
    if (IsMultiPart(aBlock.payloadType)) {
        aBlock.dataBytes = 0;
        for (const TqReceivedPart& part : aBlock.parts) aBlock.dataBytes += part.length;
    }
    if (aSize > aBlock.buffer->GetSize()) aBlock.overflow = true;
    const uint32_t count = PacketCount(aBlock);
    if (!count) return;
    // Payload packets that came before: kept where they are of the block it describes, placed by the
    // chunk in use and of their place's length (a shorter one was never the last).
    aBlock.bytes = 0;
    const bool placed = aBlock.chunk == mChunk;
    for (uint32_t p = 1; p < aBlock.received.size(); ++p) {
        if (!aBlock.received[p]) continue;
        const uint64_t length = p < count ? mChunk : aSize - uint64_t(p - 1) * mChunk;
        if (!placed || p > count || aBlock.received[p] != length) {
            aBlock.received[p] = 0;
            continue;
        }
        aBlock.bytes += length;
    }
    if (aBlock.received.size() > count + 1) aBlock.received.resize(count + 1);
    if (aBlock.asks.size() > aBlock.received.size()) aBlock.asks.resize(aBlock.received.size());
}

void GvspAssembler::Ended(Block& aBlock) {
    if (aBlock.payloadSize || IsMultiPart(aBlock.payloadType)) return;
    for (uint32_t p = 1; p < aBlock.received.size(); ++p) {
        const uint16_t length = aBlock.received[p];
        if (length && (p > aBlock.lastPacket || (p < aBlock.lastPacket && length != mChunk))) {
            aBlock.received[p] = 0;
            aBlock.bytes -= length;
        }
    }
}

uint32_t GvspAssembler::PacketCount(const Block& aBlock) const {
    return IsMultiPart(aBlock.payloadType) ? 0 : PacketsOf(aBlock.payloadSize);
}

uint32_t GvspAssembler::PacketsOf(uint64_t aSize) const {
    if (!aSize || !mChunk) return 0;
    return static_cast<uint32_t>((aSize + mChunk - 1) / mChunk);
}

bool GvspAssembler::Record(Block& aBlock, uint32_t aPacket, size_t aLength, Clock::time_point aNow) {
    Counters& c = mState.counters;
    if (aBlock.received.size() <= aPacket) {
        aBlock.received.resize(size_t(aPacket) + 1, 0);
        // Packets beyond those seen so far were asked for together, from tailFrom on.
        for (uint32_t p = static_cast<uint32_t>(aBlock.asks.size()); p <= aPacket; ++p)
            aBlock.asks.push_back(aBlock.tailAsks && p >= aBlock.tailFrom ? aBlock.tailAsks : 0);
    }
    if (aBlock.received[aPacket]) {
        aBlock.redundant++;
        c.packetsRedundant++;
        return false;
    }
    if (aPacket < aBlock.highest) {
        aBlock.outOfOrder++;
        c.packetsOutOfOrder++;
    }
    Arrived(aBlock, aPacket);
    const uint32_t before = aBlock.highest;
    aBlock.highest = std::max(aBlock.highest, aPacket);
    if (aPacket > before + 1 && Resending()) AskIds(aBlock, before + 1, aPacket - 1, 1, aNow);   // a gap before it
    aBlock.received[aPacket] = static_cast<uint16_t>(aLength);   // a datagram's payload: below 64 KiB
    aBlock.bytes += aLength;
    return true;
}

void GvspAssembler::Unplace(Block& aBlock) {
    std::fill(aBlock.received.begin(), aBlock.received.end(), 0);
    aBlock.bytes = 0;
    aBlock.highest = 0;
    aBlock.written = 0;   // what the buffer holds is placed anew
}

void GvspAssembler::Store(Block& aBlock, uint64_t aOffset, const uint8_t* aData, size_t aLength) {
    // The one copy: from the datagram to its place in the caller's buffer, never past its end; none
    // when the datagram was received into that place already.
    uint8_t* memory = aBlock.buffer->GetDataPointer();
    const uint64_t capacity = aBlock.buffer->GetSize();
    const uint64_t fits = aOffset < capacity ? std::min<uint64_t>(aLength, capacity - aOffset) : 0;
    if (fits && memory) {
        if (memory + aOffset != aData) {
            if (mWatch) std::exchange(mWatch, nullptr)->BeforeCopy();
            std::memmove(memory + aOffset, aData, fits);   // from a place in a buffer, it may overlap
        }
        aBlock.written = std::max(aBlock.written, aOffset + fits);
    }
    if (fits < aLength || !memory) aBlock.overflow = true;
}

void GvspAssembler::Payload(Block& aBlock, uint32_t aPacket, const uint8_t* aData, size_t aLength,
                            Clock::time_point aNow) {
    Counters& c = mState.counters;
    if (aLength == 0 || aLength > kMostPayload || aPacket >= LastUnknown(aBlock) - 1) {
        c.packetsBad++;
        return;
    }
    if (aPacket == 1 && aLength != mChunk && (!mChunk || !(aBlock.payloadSize && aLength == aBlock.payloadSize))) {
        // The first packet tells the packet size (a block of one packet, when no other told it).
        mChunk = static_cast<uint32_t>(aLength);
    }
    if (mChunk == 0 || aLength > mChunk) {
        c.packetsBad++;
        return;
    }
    if (aBlock.chunk != mChunk) {
        // Packets placed by another size are placed again.
        Unplace(aBlock);
        aBlock.chunk = mChunk;
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
    } else if (aBlock.lastPacket && (aPacket > aBlock.lastPacket || (aPacket < aBlock.lastPacket && aLength != mChunk))) {
        c.packetsBad++;   // after the trailer's last payload packet, or shorter than a chunk before it
        return;
    } else if (offset >= capacity + mChunk) {
        // The block's size is unknown and the packet lies beyond the buffer: not recorded either.
        aBlock.overflow = true;
        c.packetsBad++;
        return;
    }
    if (Record(aBlock, aPacket, aLength, aNow)) Store(aBlock, offset, aData, aLength);
}

void GvspAssembler::PartPayload(Block& aBlock, uint32_t aPacket, const uint8_t* aData, size_t aSize,
                                Clock::time_point aNow) {
    Counters& c = mState.counters;
    const auto payload = Gvsp::MultiPartPayload::Of(Gvsp::Bytes(aData, aSize));
    if (!aBlock.leader) {
        c.packetsIgnored++;   // where its part lies, the leader tells: it comes again when asked for
        return;
    }
    const Gvsp::Bytes data = payload ? payload->Data() : Gvsp::Bytes();
    if (!payload || !IsMultiPart(aBlock.payloadType) || payload->PartId() >= aBlock.parts.size() || data.empty() ||
        data.size() > kMostPayload || aPacket >= LastUnknown(aBlock) - 1) {
        c.packetsBad++;
        return;
    }
    // Where its part begins in the block's payload: after the parts before it, one after the other.
    const size_t index = payload->PartId();
    uint64_t start = 0;
    for (size_t i = 0; i < index; ++i) start += aBlock.parts[i].length;
    const TqReceivedPart& part = aBlock.parts[index];
    // A sender's packets carry kMinPartPacket bytes at least (but each part's last): more packets
    // than that allows for the buffer and a little beyond are none of this block's.
    const uint64_t within = std::min<uint64_t>(aBlock.dataBytes, uint64_t(aBlock.buffer->GetSize()) + 65536);
    const uint64_t offset = payload->Offset() - start;
    if (payload->Offset() < start || offset > part.length || data.size() > part.length - offset ||
        aPacket > aBlock.parts.size() + within / kMinPartPacket + 1) {
        c.packetsBad++;   // outside its part
        return;
    }
    // Each byte of the payload is placed by one packet: one that overlaps another's bytes is not its
    // sender's (or the bytes counted would not tell a whole block).
    const uint64_t at = part.offset + offset, end = at + data.size();
    const bool again = aPacket < aBlock.received.size() && aBlock.received[aPacket];
    auto& placed = aBlock.placed;   // in order: packets in order append
    const auto next = std::upper_bound(placed.begin(), placed.end(), at,
                                       [](uint64_t aAt, const std::pair<uint64_t, uint64_t>& aSpan) { return aAt < aSpan.first; });
    if (!again && ((next != placed.end() && next->first < end) || (next != placed.begin() && std::prev(next)->second > at))) {
        c.packetsBad++;
        return;
    }
    if (Record(aBlock, aPacket, data.size(), aNow)) {
        placed.emplace(next, at, end);
        Store(aBlock, at, data.data(), data.size());
    }
}

bool GvspAssembler::Complete(const Block& aBlock) const {
    if (!aBlock.leader || !aBlock.trailer) return false;
    const bool generic = !IsMultiPart(aBlock.payloadType);
    // A generic block's packets count only while they are placed by the chunk in use; a block whose
    // size only its trailer tells is whole only of the size it told.
    if (generic && aBlock.chunk != 0 && aBlock.chunk != mChunk) return false;
    if (SizedByTrailer(aBlock.payloadType) && !aBlock.sized) return false;
    // Of a known size: every packet kept has its place's length, so the bytes tell.
    if (aBlock.dataBytes && (mChunk || !generic)) return aBlock.bytes == aBlock.dataBytes;
    if (aBlock.payloadSize == 0 && !aBlock.overflow && aBlock.lastPacket == 0) return true;   // an empty block
    // Of no size known: each payload packet up to the trailer's, each but the last a full chunk.
    if (aBlock.lastPacket == 0 || aBlock.received.size() <= aBlock.lastPacket) return false;
    for (uint32_t p = 1; p <= aBlock.lastPacket; ++p)
        if (!aBlock.received[p] || (generic && p < aBlock.lastPacket && aBlock.received[p] != mChunk)) return false;
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
    last = std::min(last, LastUnknown(aBlock) - 2);   // packet IDs have 24 (32) bits, and the trailer follows
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
        add(last + 1, LastUnknown(aBlock));
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
    if (aLast == LastUnknown(aBlock) && trailer) aLast = trailer;
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
    const uint32_t packets = aLast == LastUnknown(aBlock) ? 1 : aLast - aFirst + 1;   // the trailer at least
    aBlock.groupsRequested++;
    aBlock.packetsRequested += packets;
    aBlock.askedAt = aNow;
    mState.counters.packetsRequested += packets;
    mRequester(aBlock.id, aFirst, aLast, aBlock.extended);
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
    // What was written, within the buffer and, where the size is known, within the payload.
    uint64_t end = std::min<uint64_t>(b.written, size);
    if (b.sized && (b.payloadSize || !b.overflow)) end = std::min(end, b.payloadSize);
    const uint32_t acquired = static_cast<uint32_t>(end);
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
    r.mExtendedID = b.extended;
    r.mLargeLeaderTrailer = b.largeEnds;

    const TqPayloadType type = b.leader ? PayloadTypeOf(b.payloadType) : b.buffer->GetPayloadType();
    b.buffer->SetReception(type, r);
    b.buffer->SetPayloadLength(aResult == TQ_OK ? static_cast<uint32_t>(b.payloadSize ? b.payloadSize : acquired) : acquired);
    const uint32_t received = aResult;
    Describe(b, aResult);
    if (aResult != received) {   // the payload is whole, but not all the device meant to send
        r.mOperationResult = aResult;
        b.buffer->SetReception(type, r);
    }
    if (type == TqPayloadTypeImage && b.leader) {
        TqImage* image = b.buffer->GetImage();
        image->SetGeometry(b.image.width, b.image.height, TqPixel::FromWire(b.image.pixelFormat), b.image.paddingX,
                           b.image.paddingY);
        image->SetOffsetX(b.image.offsetX);
        image->SetOffsetY(b.image.offsetY);
        image->SetBlockInfo(b.id, b.timestamp, r.mReceptionTime);
        image->SetStatus(missing > 0, false, false, false, b.overflow || b.overrun);
    }

    switch (received) {
    case TQ_OK: c.blocksReceived++; break;
    case TQ_BUFFER_TOO_SMALL: c.blocksTooSmall++; break;
    case TQ_ABORTED: c.blocksAborted++; break;
    default: c.blocksIncomplete++; break;
    }
    if (aResult != TQ_ABORTED) c.packetsMissing += missing;
    mState.Finish(b.buffer, aResult);
}

void GvspAssembler::Describe(const Block& aBlock, uint32_t& aResult) {
    TqBuffer& buffer = *aBlock.buffer;
    const bool whole = aResult == TQ_OK;
    if (whole && aBlock.overrun) aResult = TQ_DATA_OVERRUN;
    if (!aBlock.leader) {
        buffer.SetReceivedChunks(buffer.GetPayloadLength(), 0, 0, 0);
        return;
    }
    const uint16_t type = aBlock.payloadType;
    if (whole && HasChunks(type)) {
        // The image's chunk begins the layout; the chunks after its trailer are the buffer's.
        const auto image = TqChunk::First({buffer.GetDataPointer(), size_t(aBlock.payloadSize)});
        const uint32_t length = uint32_t(aBlock.payloadSize);
        if (image) {
            const uint32_t at = uint32_t(image->End());
            buffer.SetReceivedChunks(image->length, at, length - at, aBlock.chunkLayoutId);
        } else {
            buffer.SetReceivedChunks(length, 0, 0, aBlock.chunkLayoutId);   // no layout that holds together
        }
    } else if (IsChunkData(type)) {
        buffer.SetReceivedChunks(0, 0, whole ? uint32_t(aBlock.payloadSize) : 0, aBlock.chunkLayoutId);
    } else {
        buffer.SetReceivedChunks(buffer.GetPayloadLength(), 0, 0, 0);
    }
    if (IsMultiPart(type)) {
        const TqResult parts = buffer.SetReceivedParts(aBlock.parts);
        if (whole && !parts.IsOK()) aResult = parts.GetCode();
    }
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

void GvspRingBatch::Cut(GvspAssembler& aAssembler) {
    Counters& c = aAssembler.StateOf().counters;
    c.packetsReceived++;
    c.packetsBad++;
}

void GvspBatchBase::NameSender(msghdr& aMessage, unsigned aIndex) {
    aMessage.msg_name = &mSenders[aIndex];
    aMessage.msg_namelen = sizeof mSenders[aIndex];
}

void GvspBatchBase::Received(mmsghdr& aMessage, const uint8_t* aData, size_t aSize, uint32_t aAddress, uint16_t aPort) {
    size_t at = 0;
    for (size_t v = 0; v < aMessage.msg_hdr.msg_iovlen && at < aSize; ++v) {
        const iovec& iov = aMessage.msg_hdr.msg_iov[v];
        const size_t n = std::min(iov.iov_len, aSize - at);
        std::memcpy(iov.iov_base, aData + at, n);
        at += n;
    }
    aMessage.msg_len = static_cast<unsigned>(at);
    aMessage.msg_hdr.msg_flags = at < aSize ? MSG_TRUNC : 0;
    if (aMessage.msg_hdr.msg_name && aMessage.msg_hdr.msg_namelen >= sizeof(sockaddr_in)) {
        const sockaddr_in from = TqNet::Endpoint(aAddress, aPort);
        std::memcpy(aMessage.msg_hdr.msg_name, &from, sizeof from);
        aMessage.msg_hdr.msg_namelen = sizeof from;
    }
}

Counters& GvspBatchBase::Begin(GvspAssembler& aAssembler, unsigned aGot, unsigned aMost) {
    mGot = std::min(aGot, aMost);
    mGathering = false;
    aAssembler.Watch(this);
    return aAssembler.StateOf().counters;
}

void GvspBatchBase::End(GvspAssembler& aAssembler) {
    aAssembler.Watch(nullptr);
    ++(mGathering ? mGathered : mInPlace);
}

bool GvspBatchBase::Foreign(const msghdr& aMessage) const {
    if (AnySender()) return false;
    const auto* sender = static_cast<const sockaddr_in*>(aMessage.msg_name);
    return !sender || aMessage.msg_namelen < sizeof(sockaddr_in) || sender->sin_family != AF_INET ||
           GvspSource::Foreign(ntohl(sender->sin_addr.s_addr), ntohs(sender->sin_port));
}

GvspBatch::GvspBatch(uint32_t aPacketBuffer)
    : mPacketBuffer(std::max<uint32_t>(aPacketBuffer, Gvsp::kExtendedHeaderSize)),
      mStorage(size_t(kSize) * mPacketBuffer) {}

mmsghdr* GvspBatch::Prepare(const GvspAssembler& aAssembler) {
    aAssembler.Plan(mPlaces, kSize);
    for (unsigned i = 0; i < kSize; ++i) {
        GvspAssembler::Place& place = mPlaces[i];
        if (place.at && place.length > mPacketBuffer - place.header) place = {};   // never longer than a datagram read whole
        iovec* v = mVectors[i];
        std::memset(&mMessages[i], 0, sizeof mMessages[i]);
        mMessages[i].msg_hdr.msg_iov = v;
        NameSender(mMessages[i].msg_hdr, i);
        if (place.at) {
            v[0] = {Slot(i), place.header};
            v[1] = {place.at, place.length};
            v[2] = {Slot(i) + place.header + place.length, mPacketBuffer - place.header - place.length};
            mMessages[i].msg_hdr.msg_iovlen = 3;
        } else {
            v[0] = {Slot(i), mPacketBuffer};
            mMessages[i].msg_hdr.msg_iovlen = 1;
        }
    }
    return mMessages;
}

void GvspBatch::Gather(unsigned aFrom) {
    if (std::exchange(mGathering, true)) return;   // the rest lies in the slots already
    for (unsigned i = aFrom; i < mGot; ++i) {
        const size_t size = mMessages[i].msg_len, header = mPlaces[i].header;
        if (!mPlaces[i].at || size <= header || (mMessages[i].msg_hdr.msg_flags & MSG_TRUNC)) continue;
        std::memcpy(Slot(i) + header, mPlaces[i].at, std::min<size_t>(size - header, mPlaces[i].length));
    }
}

void GvspBatch::Deliver(GvspAssembler& aAssembler, unsigned aGot, GvspAssembler::Clock::time_point aNow) {
    Counters& counters = Begin(aAssembler, aGot, kSize);
    for (unsigned i = 0; i < mGot; ++i) {
        const msghdr& message = mMessages[i].msg_hdr;
        const size_t size = mMessages[i].msg_len;
        const GvspAssembler::Place& place = mPlaces[i];
        mNext = i + 1;
        if (Foreign(message)) {
            counters.packetsForeign++;
        } else if (message.msg_flags & MSG_TRUNC) {   // longer than the packet buffer
            counters.packetsReceived++;
            counters.packetsBad++;
        } else if (!mGathering && GvspAssembler::Fits(place, Slot(i), size)) {
            aAssembler.Process(Slot(i), place.header, place.at, size - place.header, aNow);
        } else {
            if (place.at && size > place.header) Gather(i);   // part of it went into a place
            aAssembler.Process(Slot(i), size, aNow);
        }
    }
    End(aAssembler);
}

// ---- coalesced reads ----

GvspCoalescedBatch::GvspCoalescedBatch(uint32_t aPacketBuffer)
    : mPacketBuffer(aPacketBuffer), mStorage(size_t(kReads) * kReadSize), mPlaces(kPlanned) {}

mmsghdr* GvspCoalescedBatch::Prepare(const GvspAssembler& aAssembler) {
    aAssembler.Plan(mPlaces.data(), kPlanned);
    size_t cursor = 0;
    for (unsigned i = 0; i < kReads; ++i) {
        Planned& planned = mPlanned[i];
        planned.first = cursor;
        planned.count = 0;
        iovec* v = mVectors[i];
        size_t vectors = 0, used = 0;
        const GvspAssembler::Place* first = cursor < kPlanned ? &mPlaces[cursor] : nullptr;
        if (first && first->at && first->length && first->length <= mPacketBuffer - std::min<uint32_t>(mPacketBuffer, first->header)) {
            // The run a coalescing sender sends from this packet on: to the next run's first packet;
            // one packet while the sender sends one datagram at a time.
            const size_t segment = size_t(first->header) + first->length, run = TqNet::RunLength(segment);
            const size_t most = mSingles ? 1 : std::min(kMostInRead, run - (first->packet - 1) % run);
            for (size_t k = cursor; k < kPlanned && planned.count < most; ++k) {
                const GvspAssembler::Place& p = mPlaces[k];
                const bool follows = k == cursor || (p.block == first->block && p.packet == mPlaces[k - 1].packet + 1);
                if (!p.at || !follows || p.header != first->header || p.length > first->length ||
                    used + p.header + p.length > kReadSize)
                    break;
                planned.offsets[planned.count++] = used;
                v[vectors++] = {Read(i) + used, p.header};
                v[vectors++] = {p.at, p.length};
                used += size_t(p.header) + p.length;
                if (p.length < first->length) break;   // only the last of a run is shorter
            }
        }
        cursor += std::max<size_t>(planned.count, 1);
        if (used < kReadSize) v[vectors++] = {Read(i) + used, kReadSize - used};
        std::memset(&mMessages[i], 0, sizeof mMessages[i]);
        mMessages[i].msg_hdr.msg_iov = v;
        mMessages[i].msg_hdr.msg_iovlen = vectors;
        mMessages[i].msg_hdr.msg_control = mControl[i];
        mMessages[i].msg_hdr.msg_controllen = kControlSize;
        NameSender(mMessages[i].msg_hdr, i);
    }
    return mMessages;
}

size_t GvspCoalescedBatch::SegmentSize(const msghdr& aMessage) {
    if (!aMessage.msg_control || aMessage.msg_controllen < sizeof(cmsghdr)) return 0;
    for (const cmsghdr* c = CMSG_FIRSTHDR(&aMessage); c;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&aMessage), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level != SOL_UDP || c->cmsg_type != UDP_GRO || c->cmsg_len < CMSG_LEN(sizeof(int))) continue;
        int size = 0;
        std::memcpy(&size, CMSG_DATA(c), sizeof size);
        return size > 0 ? size_t(size) : 0;
    }
    return 0;
}

void GvspCoalescedBatch::SetSegmentSize(msghdr& aMessage, size_t aSegment) {
    if (!aSegment) {
        aMessage.msg_controllen = 0;
        return;
    }
    aMessage.msg_controllen = CMSG_SPACE(sizeof(int));
    cmsghdr* c = CMSG_FIRSTHDR(&aMessage);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_GRO;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    const int segment = static_cast<int>(aSegment);
    std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
}

void GvspCoalescedBatch::Gather(Position aFrom) {
    if (std::exchange(mGathering, true)) return;   // the rest lies in the reads' memory already
    for (unsigned i = aFrom.read; i < mGot; ++i) {
        if (mMessages[i].msg_hdr.msg_flags & MSG_TRUNC) continue;
        const Planned& planned = mPlanned[i];
        const size_t length = Length(i);
        for (size_t j = i == aFrom.read ? aFrom.datagram : 0; j < planned.count; ++j) {
            const GvspAssembler::Place& p = mPlaces[planned.first + j];
            const size_t at = planned.offsets[j] + p.header;
            if (at >= length) break;
            std::memcpy(Read(i) + at, p.at, std::min<size_t>(length - at, p.length));
        }
    }
}

void GvspCoalescedBatch::DeliverRead(GvspAssembler& aAssembler, unsigned aIndex, GvspAssembler::Clock::time_point aNow) {
    Counters& counters = aAssembler.StateOf().counters;
    const Planned& planned = mPlanned[aIndex];
    uint8_t* read = Read(aIndex);
    size_t j = 0;
    const size_t count = SplitCoalesced(read, Length(aIndex), SegmentSize(mMessages[aIndex].msg_hdr), [&](DatagramView aDatagram) {
        mNext = {aIndex, j + 1};
        // The datagrams before it in the read were those planned (or it was gathered): it begins at
        // its planned offset, and reaches into places only where it has one.
        const GvspAssembler::Place* place = j < planned.count ? &mPlaces[planned.first + j] : nullptr;
        if (!mGathering && place && planned.offsets[j] == size_t(aDatagram.data - read) &&
            GvspAssembler::Fits(*place, aDatagram.data, aDatagram.size)) {
            aAssembler.Process(aDatagram.data, place->header, place->at, aDatagram.size - place->header, aNow);
        } else {
            if (place) Gather({aIndex, j});
            if (aDatagram.size > mPacketBuffer) {
                counters.packetsReceived++;
                counters.packetsBad++;
            } else {
                aAssembler.Process(aDatagram.data, aDatagram.size, aNow);
            }
        }
        ++j;
    });
    if (count > 1) mCoalesced++;
}

void GvspCoalescedBatch::Deliver(GvspAssembler& aAssembler, unsigned aGot, GvspAssembler::Clock::time_point aNow) {
    Counters& counters = Begin(aAssembler, aGot, kReads);
    const uint64_t coalesced = mCoalesced;
    for (unsigned i = 0; i < mGot; ++i) {
        const msghdr& message = mMessages[i].msg_hdr;
        if (Foreign(message)) {   // each datagram it holds
            const bool cut = message.msg_flags & MSG_TRUNC;
            counters.packetsForeign += cut ? 1 : SplitCoalesced(Read(i), Length(i), SegmentSize(message), [](DatagramView) {});
        } else if (message.msg_flags & MSG_TRUNC) {   // longer than any datagram: nothing of it is trusted
            counters.packetsReceived++;
            counters.packetsBad++;
        } else {
            DeliverRead(aAssembler, i, aNow);
        }
    }
    // How the next batch is planned: a read a datagram while several reads in a row held one each
    // (a sender of one datagram a packet, as a camera is), runs again once a read held more.
    if (mCoalesced != coalesced) mSingles = false;
    else if (mGot >= 4) mSingles = true;
    End(aAssembler);
}

}  // namespace TqStreamLib
