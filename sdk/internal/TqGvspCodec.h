// The GigE Vision streaming protocol on the wire, for the device engine's sender, the stream
// receiver, and the tests, fuzz targets and benchmark that make or read its packets.
//
// A packet is a header, then (by its packet format) a leader, payload bytes or a trailer:
// - the header: the generic form (8 bytes: status, 16-bit block ID, format, 24-bit packet ID) or,
//   with the EI flag in the format byte, the extended-ID form (20 bytes: status, flags, format, a
//   64-bit block ID and a 32-bit packet ID);
// - a leader: the payload type and timestamp, then what that type tells (an image's geometry, a
//   payload size, a multi-part block's part entries);
// - a payload packet: bytes of the block (a multi-part payload packet begins with the part and zone
//   the bytes belong to and their offset in the block);
// - a trailer: the payload type, then what that type tells (an image's lines, a chunk data size, the
//   multi-part entries), and with the extended-chunk flag the chunk data length and layout ID after.
// Views read a packet's parts (Of answers none when the bytes are too few for the fixed fields);
// Write puts each field at its place; every field is declared once. Leaders and trailers are read
// whatever their length (a large leader holds more part entries than a 576-byte packet would).
// All numbers are big-endian; the pixels of an image are the pixel format's business.
#pragma once

#include "TqWireBytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace TqGvsp {

using TqWire::Bytes;
using TqWire::Field;

constexpr size_t kIpUdpOverhead = 20 + 8;
constexpr size_t kHeaderSize = 8;           // the generic header
constexpr size_t kExtendedHeaderSize = 20;  // the extended-ID header

// Packet formats (the low 4 bits of the format byte) and the extended-ID flag beside them.
constexpr uint8_t kFormatLeader = 1, kFormatTrailer = 2, kFormatPayload = 3, kFormatAllIn = 4, kFormatH264 = 5,
                  kFormatMultiZone = 6, kFormatMultiPart = 7, kFormatGenDC = 8;
constexpr uint8_t kExtendedIdFlag = 0x80;

// Statuses of a packet's header besides success (GigE Vision status codes): a resend the device
// cannot serve, and a block that lacks data the device should have put in it (on its trailer).
constexpr uint16_t kStatusPacketUnavailable = 0x800C, kStatusDataOverrun = 0x800D;

// Payload types, and the flags beside them.
constexpr uint16_t kPayloadImage = 0x0001, kPayloadRawData = 0x0002, kPayloadFile = 0x0003,
                   kPayloadChunkData = 0x0004, kPayloadJpeg = 0x0006, kPayloadJpeg2000 = 0x0007,
                   kPayloadH264 = 0x0008, kPayloadMultiZone = 0x0009, kPayloadMultiPart = 0x000A,
                   kPayloadGenDC = 0x000B;
constexpr uint16_t kExtendedChunkFlag = 0x4000;    // the payload ends in a chunk area
constexpr uint16_t kDeviceSpecificFlag = 0x8000;
constexpr uint16_t kPayloadImageExtendedChunk = kPayloadImage | kExtendedChunkFlag;
// The payload type without its flags.
constexpr uint16_t BaseType(uint16_t aType) { return aType & 0x3FFF; }
// Whether a leader of that type carries an image's geometry (image, and image with extended chunks).
constexpr bool IsImage(uint16_t aType) { return BaseType(aType) == kPayloadImage; }

// The header's size in the generic form, or with aExtended in the extended-ID form.
constexpr size_t HeaderSize(bool aExtended) { return aExtended ? kExtendedHeaderSize : kHeaderSize; }

// ---- the header ----

class Header : public TqWire::View {
public:
    static constexpr Field<uint16_t> kStatus{0};
    static constexpr Field<uint16_t> kBlockId{2};          // generic
    static constexpr Field<uint16_t> kFlags{2};            // extended
    static constexpr Field<uint8_t> kFormat{4};
    static constexpr Field<uint32_t, 3> kPacketId{5};      // generic
    static constexpr Field<uint16_t> kReserved{5};         // extended
    static constexpr Field<uint8_t> kPartCount{7};         // extended: a multi-part leader's parts
    static constexpr Field<uint64_t> kExtendedBlockId{8};  // extended
    static constexpr Field<uint32_t> kExtendedPacketId{16};
    // Flags of the extended header.
    static constexpr uint16_t kFlagResendRangeError = 0x0004, kFlagPreviousBlockDropped = 0x0002,
                              kFlagPacketResend = 0x0001;

    // The header at the start of a packet of aSize bytes: none when they are fewer than its form has.
    static std::optional<Header> Of(const uint8_t* aData, size_t aSize) {
        if (!aData || aSize < kHeaderSize) return std::nullopt;
        return Checked<Header>(Bytes(aData, aSize), HeaderSize(Extended(aData)));
    }
    bool ExtendedIds() const { return Extended(mData); }
    size_t Size() const { return HeaderSize(ExtendedIds()); }
    uint16_t Status() const { return kStatus.Get(mData); }
    uint8_t Format() const { return kFormat.Get(mData) & 0x0F; }
    uint64_t BlockId() const { return ExtendedIds() ? kExtendedBlockId.Get(mData) : kBlockId.Get(mData); }
    uint32_t PacketId() const { return ExtendedIds() ? kExtendedPacketId.Get(mData) : kPacketId.Get(mData); }
    uint16_t Flags() const { return ExtendedIds() ? kFlags.Get(mData) : 0; }
    uint8_t PartCount() const { return ExtendedIds() ? kPartCount.Get(mData) : 0; }
    // The bytes after the header.
    Bytes Body() const { return From(Size()); }

    // The generic header at aOut (kHeaderSize bytes).
    static size_t Write(uint8_t* aOut, uint16_t aStatus, uint16_t aBlockId, uint8_t aFormat, uint32_t aPacketId) {
        kStatus.Put(aOut, aStatus);
        kBlockId.Put(aOut, aBlockId);
        kFormat.Put(aOut, aFormat);
        kPacketId.Put(aOut, aPacketId);
        return kHeaderSize;
    }
    // The extended-ID header at aOut (kExtendedHeaderSize bytes); aPartCount for a multi-part leader.
    static size_t WriteExtended(uint8_t* aOut, uint16_t aStatus, uint16_t aFlags, uint8_t aFormat, uint64_t aBlockId,
                                uint32_t aPacketId, uint8_t aPartCount = 0) {
        kStatus.Put(aOut, aStatus);
        kFlags.Put(aOut, aFlags);
        kFormat.Put(aOut, uint8_t(kExtendedIdFlag | aFormat));
        kReserved.Put(aOut, 0);
        kPartCount.Put(aOut, aPartCount);
        kExtendedBlockId.Put(aOut, aBlockId);
        kExtendedPacketId.Put(aOut, aPacketId);
        return kExtendedHeaderSize;
    }

private:
    using View::View;
    static bool Extended(const uint8_t* aData) { return kFormat.Get(aData) & kExtendedIdFlag; }
};

// ---- leaders ----

// What every leader begins with.
class Leader : public TqWire::View {
public:
    static constexpr Field<uint16_t> kReserved{0};
    static constexpr Field<uint16_t> kPayloadType{2};
    static constexpr Field<uint64_t> kTimestamp{4};
    static constexpr size_t kSize = 12;

    static std::optional<Leader> Of(Bytes aBody) { return Checked<Leader>(aBody, kSize); }
    uint16_t PayloadType() const { return kPayloadType.Get(mData); }
    uint64_t Timestamp() const { return kTimestamp.Get(mData); }
    // kSize bytes at aOut: a chunk data leader whole, the start of the others.
    static size_t Write(uint8_t* aOut, uint16_t aPayloadType, uint64_t aTimestamp) {
        kReserved.Put(aOut, 0);
        kPayloadType.Put(aOut, aPayloadType);
        kTimestamp.Put(aOut, aTimestamp);
        return kSize;
    }

protected:
    friend class TqWire::View;
    Leader(const uint8_t* aData, size_t aSize) : View(aData, aSize) {}
};

// An image's geometry, as image leaders and multi-part image parts carry it.
struct ImageInfo {
    uint32_t pixelFormat = 0, width = 0, height = 0, offsetX = 0, offsetY = 0;
    uint16_t paddingX = 0, paddingY = 0;
    bool operator==(const ImageInfo&) const = default;
};

// The geometry fields from aAt of a layout.
struct ImageFields {
    Field<uint32_t> pixelFormat, width, height, offsetX, offsetY;
    Field<uint16_t> paddingX, paddingY;
    static constexpr ImageFields From(size_t aAt, size_t aWidthAt) {
        return {{aAt}, {aWidthAt}, {aWidthAt + 4}, {aWidthAt + 8}, {aWidthAt + 12}, {aWidthAt + 16}, {aWidthAt + 18}};
    }
    ImageInfo Get(const uint8_t* aBase) const {
        return {pixelFormat.Get(aBase), width.Get(aBase),    height.Get(aBase),  offsetX.Get(aBase),
                offsetY.Get(aBase),     paddingX.Get(aBase), paddingY.Get(aBase)};
    }
    void Put(uint8_t* aBase, const ImageInfo& aInfo) const {
        pixelFormat.Put(aBase, aInfo.pixelFormat);
        width.Put(aBase, aInfo.width);
        height.Put(aBase, aInfo.height);
        offsetX.Put(aBase, aInfo.offsetX);
        offsetY.Put(aBase, aInfo.offsetY);
        paddingX.Put(aBase, aInfo.paddingX);
        paddingY.Put(aBase, aInfo.paddingY);
    }
};

// The leader of an image (with extended chunks too).
class ImageLeader : public Leader {
public:
    static constexpr ImageFields kImage = ImageFields::From(12, 16);
    static constexpr size_t kSize = 36;

    static std::optional<ImageLeader> Of(Bytes aBody) { return Checked<ImageLeader>(aBody, kSize); }
    ImageInfo Image() const { return kImage.Get(mData); }
    static size_t Write(uint8_t* aOut, uint16_t aPayloadType, uint64_t aTimestamp, const ImageInfo& aImage) {
        Leader::Write(aOut, aPayloadType, aTimestamp);
        kImage.Put(aOut, aImage);
        return kSize;
    }

private:
    using Leader::Leader;
};

// The leader of a payload type that tells its size (raw data, file, JPEG).
class SizedLeader : public Leader {
public:
    static constexpr Field<uint64_t> kPayloadSize{12};
    static constexpr size_t kSize = 20;

    static std::optional<SizedLeader> Of(Bytes aBody) { return Checked<SizedLeader>(aBody, kSize); }
    uint64_t PayloadSize() const { return kPayloadSize.Get(mData); }
    static size_t Write(uint8_t* aOut, uint16_t aPayloadType, uint64_t aTimestamp, uint64_t aPayloadSize) {
        Leader::Write(aOut, aPayloadType, aTimestamp);
        kPayloadSize.Put(aOut, aPayloadSize);
        return kSize;
    }

private:
    using Leader::Leader;
};

// One part of a multi-part block, as its leader describes it.
class PartEntry : public TqWire::View {
public:
    static constexpr Field<uint16_t> kDataType{0};
    static constexpr Field<uint64_t, 6> kPartLength{2};
    static constexpr Field<uint8_t> kSourceId{14}, kAdditionalZones{15};
    static constexpr Field<uint32_t> kZoneDirections{16};
    static constexpr Field<uint16_t> kDataPurposeId{20}, kRegionId{22};
    // The pixel format (the data format of a JPEG part) and, for images, the geometry.
    static constexpr ImageFields kImage = ImageFields::From(8, 24);
    static constexpr size_t kSize = 48;

    static std::optional<PartEntry> Of(Bytes aBytes) { return Checked<PartEntry>(aBytes, kSize); }
    uint16_t DataType() const { return kDataType.Get(mData); }
    uint64_t PartLength() const { return kPartLength.Get(mData); }
    uint8_t SourceId() const { return kSourceId.Get(mData); }
    uint8_t AdditionalZones() const { return kAdditionalZones.Get(mData); }
    uint32_t ZoneDirections() const { return kZoneDirections.Get(mData); }
    uint16_t DataPurposeId() const { return kDataPurposeId.Get(mData); }
    uint16_t RegionId() const { return kRegionId.Get(mData); }
    ImageInfo Image() const { return kImage.Get(mData); }

    struct Fields {
        uint16_t dataType = 0;
        uint64_t partLength = 0;
        uint8_t sourceId = 0, additionalZones = 0;
        uint32_t zoneDirections = 0;
        uint16_t dataPurposeId = 0, regionId = 0;
        ImageInfo image;
    };
    static size_t Write(uint8_t* aOut, const Fields& aPart) {
        std::fill_n(aOut, kSize, 0);
        kDataType.Put(aOut, aPart.dataType);
        kPartLength.Put(aOut, aPart.partLength);
        kSourceId.Put(aOut, aPart.sourceId);
        kAdditionalZones.Put(aOut, aPart.additionalZones);
        kZoneDirections.Put(aOut, aPart.zoneDirections);
        kDataPurposeId.Put(aOut, aPart.dataPurposeId);
        kRegionId.Put(aOut, aPart.regionId);
        kImage.Put(aOut, aPart.image);
        return kSize;
    }

private:
    using View::View;
};

// A leader or trailer (aBase) whose common fields are followed by an entry (aEntry) for each part.
template <class aBase, class aEntry>
class PartList : public aBase {
public:
    static constexpr size_t kPartsAt = aBase::kSize;
    // The entries it holds whole (a multi-part leader's header tells the sender's count).
    size_t PartCount() const { return (this->mSize - kPartsAt) / aEntry::kSize; }
    aEntry Part(size_t aIndex) const { return *aEntry::Of(this->From(kPartsAt + aIndex * aEntry::kSize)); }
    // Where part aIndex's entry goes (aEntry::Write) after the common fields.
    static uint8_t* PartAt(uint8_t* aStart, size_t aIndex) { return aStart + kPartsAt + aIndex * aEntry::kSize; }
    static constexpr size_t SizeFor(size_t aParts) { return kPartsAt + aParts * aEntry::kSize; }

protected:
    friend class TqWire::View;
    PartList(const uint8_t* aData, size_t aSize) : aBase(aData, aSize) {}
};

// The leader of a multi-part block.
class MultiPartLeader : public PartList<Leader, PartEntry> {
public:
    static std::optional<MultiPartLeader> Of(Bytes aBody) { return Checked<MultiPartLeader>(aBody, kPartsAt); }

private:
    using PartList::PartList;
};

// ---- payload packets ----

// The start of a multi-part payload packet's body: the part and zone its bytes belong to, and their
// offset in the block's payload (its parts one after the other, in the leader's order).
class MultiPartPayload : public TqWire::View {
public:
    static constexpr Field<uint8_t> kPartId{0}, kZoneInfo{1};
    static constexpr Field<uint64_t, 6> kOffset{2};
    static constexpr size_t kDataAt = 8;

    static std::optional<MultiPartPayload> Of(Bytes aBody) { return Checked<MultiPartPayload>(aBody, kDataAt); }
    uint8_t PartId() const { return kPartId.Get(mData); }
    uint8_t ZoneInfo() const { return kZoneInfo.Get(mData); }
    uint64_t Offset() const { return kOffset.Get(mData); }
    Bytes Data() const { return From(kDataAt); }
    static size_t Write(uint8_t* aOut, uint8_t aPartId, uint8_t aZoneInfo, uint64_t aOffset) {
        kPartId.Put(aOut, aPartId);
        kZoneInfo.Put(aOut, aZoneInfo);
        kOffset.Put(aOut, aOffset);
        return kDataAt;
    }

private:
    using View::View;
};

// Bytes of block data in one payload packet of a stream channel packet size (IP, UDP and GVSP
// headers included), with the header of aExtended; with aMultiPart after the part fields of a
// multi-part payload packet. 0 for a packet size that holds no more than the headers.
constexpr size_t PayloadBytes(uint32_t aPacketSize, bool aExtended = false, bool aMultiPart = false) {
    const size_t headers = kIpUdpOverhead + HeaderSize(aExtended) + (aMultiPart ? MultiPartPayload::kDataAt : 0);
    return aPacketSize > headers ? aPacketSize - headers : 0;
}

// ---- trailers ----

// What every trailer begins with; the chunk data length and layout ID that follow a type's own
// fields when the payload type has the extended-chunk flag.
class Trailer : public TqWire::View {
public:
    static constexpr Field<uint16_t> kReserved{0};
    static constexpr Field<uint16_t> kPayloadType{2};
    static constexpr size_t kSize = 4;
    static constexpr size_t kChunkInfoSize = 8;

    static std::optional<Trailer> Of(Bytes aBody) { return Checked<Trailer>(aBody, kSize); }
    uint16_t PayloadType() const { return kPayloadType.Get(mData); }
    static size_t Write(uint8_t* aOut, uint16_t aPayloadType) {
        kReserved.Put(aOut, 0);
        kPayloadType.Put(aOut, aPayloadType);
        return kSize;
    }

protected:
    friend class TqWire::View;
    Trailer(const uint8_t* aData, size_t aSize) : View(aData, aSize) {}
    // The extended chunk fields at aAt: none when the trailer ends before them.
    std::optional<uint32_t> ChunkField(size_t aAt) const {
        return aAt + 4 <= mSize ? std::optional<uint32_t>(Field<uint32_t>{aAt}.Get(mData)) : std::nullopt;
    }
    static size_t WriteChunkInfo(uint8_t* aOut, size_t aAt, uint32_t aLength, uint32_t aLayoutId) {
        Field<uint32_t>{aAt}.Put(aOut, aLength);
        Field<uint32_t>{aAt + 4}.Put(aOut, aLayoutId);
        return aAt + kChunkInfoSize;
    }
};

// The trailer of an image: the lines sent; with extended chunks, the chunk data length (the whole
// payload) and the chunk layout ID after them.
class ImageTrailer : public Trailer {
public:
    static constexpr Field<uint32_t> kSizeY{4};
    static constexpr size_t kSize = 8;

    static std::optional<ImageTrailer> Of(Bytes aBody) { return Checked<ImageTrailer>(aBody, kSize); }
    uint32_t SizeY() const { return kSizeY.Get(mData); }
    std::optional<uint32_t> ChunkDataLength() const { return ChunkField(kSize); }
    std::optional<uint32_t> ChunkLayoutId() const { return ChunkField(kSize + 4); }
    static size_t Write(uint8_t* aOut, uint16_t aPayloadType, uint32_t aSizeY) {
        Trailer::Write(aOut, aPayloadType);
        kSizeY.Put(aOut, aSizeY);
        return kSize;
    }
    // Write's fields, then the chunk data length and layout ID.
    static size_t WriteWithChunks(uint8_t* aOut, uint16_t aPayloadType, uint32_t aSizeY, uint32_t aChunkLength,
                                  uint32_t aLayoutId) {
        return WriteChunkInfo(aOut, Write(aOut, aPayloadType, aSizeY), aChunkLength, aLayoutId);
    }

private:
    using Trailer::Trailer;
};

// The trailer of chunk data: the length of the chunk data and (when the trailer holds it) the
// chunk layout ID.
class ChunkDataTrailer : public Trailer {
public:
    static constexpr Field<uint32_t> kChunkDataLength{4};
    static constexpr Field<uint32_t> kChunkLayoutId{8};   // when the trailer holds it
    static constexpr size_t kSize = 8;

    static std::optional<ChunkDataTrailer> Of(Bytes aBody) { return Checked<ChunkDataTrailer>(aBody, kSize); }
    uint32_t ChunkDataLength() const { return kChunkDataLength.Get(mData); }
    std::optional<uint32_t> ChunkLayoutId() const { return ChunkField(kChunkLayoutId.at); }
    static size_t Write(uint8_t* aOut, uint32_t aChunkDataLength, uint32_t aLayoutId) {
        Trailer::Write(aOut, kPayloadChunkData);
        kChunkDataLength.Put(aOut, aChunkDataLength);
        kChunkLayoutId.Put(aOut, aLayoutId);
        return kChunkLayoutId.End();
    }

private:
    using Trailer::Trailer;
};

// One part of a multi-part block, as its trailer tells it.
class PartTrailer : public TqWire::View {
public:
    static constexpr Field<uint16_t> kDataType{0};
    static constexpr Field<uint64_t, 6> kPartLength{2};
    static constexpr Field<uint32_t> kSizeY{8};   // an image part's lines
    static constexpr size_t kSize = 16;

    static std::optional<PartTrailer> Of(Bytes aBytes) { return Checked<PartTrailer>(aBytes, kSize); }
    uint16_t DataType() const { return kDataType.Get(mData); }
    uint64_t PartLength() const { return kPartLength.Get(mData); }
    uint32_t SizeY() const { return kSizeY.Get(mData); }
    static size_t Write(uint8_t* aOut, uint16_t aDataType, uint64_t aPartLength, uint32_t aSizeY) {
        std::fill_n(aOut, kSize, 0);
        kDataType.Put(aOut, aDataType);
        kPartLength.Put(aOut, aPartLength);
        kSizeY.Put(aOut, aSizeY);
        return kSize;
    }

private:
    using View::View;
};

// The trailer of a multi-part block.
class MultiPartTrailer : public PartList<Trailer, PartTrailer> {
public:
    static std::optional<MultiPartTrailer> Of(Bytes aBody) { return Checked<MultiPartTrailer>(aBody, kPartsAt); }

private:
    using PartList::PartList;
};

// The image leader's and image trailer's bytes after the generic header.
constexpr size_t kLeaderSize = ImageLeader::kSize;
constexpr size_t kTrailerSize = ImageTrailer::kSize;

}  // namespace TqGvsp
