// The GigE Vision control protocol on the wire, for both of its ends (the device engine's server and
// messaging channel; the application's control channel, discovery, resend requests and event
// receiver) and for the tests, fuzz targets and benchmarks that make or read its datagrams.
//
// Reading: a view is made from bytes with Of, which answers none when they are too few for what the
// view reads; its accessors then read within them. A command's or acknowledge's view reads the 8-byte
// header; its Payload() is what the header's length states, cut to what the datagram holds (Whole()
// tells whether it held it all). The view of each command's payload checks the payload's length once.
// Building: NewCommand/NewAck (a vector) or PutCommandHeader/PutAckHeader (the caller's memory) make
// the header, then each payload layout's Write puts its fields at their places after it. Every field
// is declared once below, and views and builders both go through it. All numbers are big-endian.
#pragma once

#include "TqWireBytes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace TqGvcp {

using TqWire::Bytes;
using TqWire::Field;

constexpr uint16_t kPort = 3956;
constexpr uint8_t kKey = 0x42;
// Flags of a command header.
constexpr uint8_t kFlagAckRequired = 0x01;
constexpr uint8_t kFlagBroadcastAck = 0x10;   // DISCOVERY: the answer may be broadcast
constexpr uint8_t kFlagExtendedIds = 0x10;    // PACKETRESEND, EVENT, EVENTDATA: 64-bit block IDs, 32-bit packet IDs
constexpr uint8_t kFlagScheduled = 0x80;      // ACTION: an action time follows the group mask
constexpr size_t kHeaderSize = 8;
constexpr size_t kMaxPayload = 540;           // command or acknowledge data after the header
constexpr size_t kMaxMemory = 536;            // READMEM/WRITEMEM data bytes

enum Command : uint16_t {
    kDiscoveryCmd = 0x0002, kDiscoveryAck = 0x0003,
    kForceIpCmd = 0x0004, kForceIpAck = 0x0005,
    kPacketResendCmd = 0x0040, kPacketResendAck = 0x0041,
    kReadRegCmd = 0x0080, kReadRegAck = 0x0081,
    kWriteRegCmd = 0x0082, kWriteRegAck = 0x0083,
    kReadMemCmd = 0x0084, kReadMemAck = 0x0085,
    kWriteMemCmd = 0x0086, kWriteMemAck = 0x0087,
    kPendingAck = 0x0089,
    kEventCmd = 0x00C0, kEventAck = 0x00C1,
    kEventDataCmd = 0x00C2, kEventDataAck = 0x00C3,
    kActionCmd = 0x0100, kActionAck = 0x0101,
};
// The acknowledge of a command.
constexpr uint16_t AckOf(uint16_t aCommand) { return uint16_t(aCommand + 1); }

enum Status : uint16_t {
    kSuccess = 0x0000,
    kNotImplemented = 0x8001,
    kInvalidParameter = 0x8002,
    kInvalidAddress = 0x8003,
    kWriteProtect = 0x8004,
    kBadAlignment = 0x8005,
    kAccessDenied = 0x8006,
    kBusy = 0x8007,
    kLocalProblem = 0x8008,
    kMsgMismatch = 0x8009,
    kInvalidProtocol = 0x800A,
    kNoMsg = 0x800B,
    kPacketUnavailable = 0x800C,
    kDataOverrun = 0x800D,
    kInvalidHeader = 0x800E,
    kWrongConfig = 0x800F,
    kPacketNotYetAvailable = 0x8010,
    kPacketAndPrevRemovedFromMemory = 0x8011,
    kPacketRemovedFromMemory = 0x8012,
    kNoRefTime = 0x8013,
    kPacketTemporarilyUnavailable = 0x8014,
    kOverflow = 0x8015,
    kActionLate = 0x8016,
    kLeaderTrailerOverflow = 0x8017,
    kError = 0x8FFF,
};

// ---- headers ----

// A datagram of the protocol: its 8-byte header and the payload after it.
class Datagram : public TqWire::View {
public:
    // The payload: the bytes the header's length states, or those the datagram holds when fewer.
    Bytes Payload() const { return From(kHeaderSize).first(std::min<size_t>(Length(), mSize - kHeaderSize)); }
    // Whether the datagram holds the whole payload its length states.
    bool Whole() const { return Length() <= mSize - kHeaderSize; }
    uint16_t Length() const { return kLength.Get(mData); }

    static constexpr Field<uint16_t> kLength{4};

protected:
    friend class TqWire::View;
    Datagram(const uint8_t* aData, size_t aSize) : View(aData, aSize) {}
};

class CommandView : public Datagram {
public:
    static constexpr Field<uint8_t> kKeyCode{0};
    static constexpr Field<uint8_t> kFlags{1};
    static constexpr Field<uint16_t> kCommand{2};
    static constexpr Field<uint16_t> kRequestId{6};

    static std::optional<CommandView> Of(const uint8_t* aData, size_t aSize) {
        return Checked<CommandView>(Bytes(aData, aData ? aSize : 0), kHeaderSize);
    }
    uint8_t Key() const { return kKeyCode.Get(mData); }
    uint8_t Flags() const { return kFlags.Get(mData); }
    bool AckRequired() const { return Flags() & kFlagAckRequired; }
    bool ExtendedIds() const { return Flags() & kFlagExtendedIds; }
    uint16_t Code() const { return kCommand.Get(mData); }
    uint16_t RequestId() const { return kRequestId.Get(mData); }

private:
    using Datagram::Datagram;
};

class AckView : public Datagram {
public:
    static constexpr Field<uint16_t> kStatus{0};
    static constexpr Field<uint16_t> kAcknowledge{2};
    static constexpr Field<uint16_t> kAckId{6};

    static std::optional<AckView> Of(const uint8_t* aData, size_t aSize) {
        return Checked<AckView>(Bytes(aData, aData ? aSize : 0), kHeaderSize);
    }
    uint16_t Status() const { return kStatus.Get(mData); }
    uint16_t Code() const { return kAcknowledge.Get(mData); }
    uint16_t AckId() const { return kAckId.Get(mData); }

private:
    using Datagram::Datagram;
};

static_assert(CommandView::kRequestId.End() == kHeaderSize && AckView::kAckId.End() == kHeaderSize);

// Writes a command's header at aOut for aLength payload bytes (the caller's, after it); the
// datagram's size.
inline size_t PutCommandHeader(uint8_t* aOut, uint16_t aCommand, uint16_t aRequest, size_t aLength,
                               uint8_t aFlags = kFlagAckRequired) {
    CommandView::kKeyCode.Put(aOut, kKey);
    CommandView::kFlags.Put(aOut, aFlags);
    CommandView::kCommand.Put(aOut, aCommand);
    Datagram::kLength.Put(aOut, uint16_t(aLength));
    CommandView::kRequestId.Put(aOut, aRequest);
    return kHeaderSize + aLength;
}

inline size_t PutAckHeader(uint8_t* aOut, uint16_t aStatus, uint16_t aAcknowledge, uint16_t aAckId, size_t aLength) {
    AckView::kStatus.Put(aOut, aStatus);
    AckView::kAcknowledge.Put(aOut, aAcknowledge);
    Datagram::kLength.Put(aOut, uint16_t(aLength));
    AckView::kAckId.Put(aOut, aAckId);
    return kHeaderSize + aLength;
}

// A datagram with its header and aLength zero bytes of payload, or with aPayload.
inline std::vector<uint8_t> NewCommand(uint16_t aCommand, uint16_t aRequest, size_t aLength,
                                       uint8_t aFlags = kFlagAckRequired) {
    std::vector<uint8_t> out(kHeaderSize + aLength, 0);
    PutCommandHeader(out.data(), aCommand, aRequest, aLength, aFlags);
    return out;
}
inline std::vector<uint8_t> NewAck(uint16_t aStatus, uint16_t aAcknowledge, uint16_t aAckId, Bytes aPayload = {}) {
    std::vector<uint8_t> out(kHeaderSize + aPayload.size());
    PutAckHeader(out.data(), aStatus, aAcknowledge, aAckId, aPayload.size());
    if (!aPayload.empty()) std::memcpy(out.data() + kHeaderSize, aPayload.data(), aPayload.size());
    return out;
}
// A command whose payload is a list of 32-bit words (READREG's addresses, WRITEREG's pairs, ...).
inline std::vector<uint8_t> NewWordCommand(uint16_t aCommand, uint16_t aRequest, std::span<const uint32_t> aWords,
                                           uint8_t aFlags = kFlagAckRequired);
// Where the payload of a datagram made above begins.
inline uint8_t* PayloadOf(std::vector<uint8_t>& aDatagram) { return aDatagram.data() + kHeaderSize; }

// ---- DISCOVERY ----

// DISCOVERY_ACK: what the device's bootstrap registers 0x0000 to 0x00F7 hold, at the same offsets.
class DiscoveryAck : public TqWire::View {
public:
    static constexpr Field<uint16_t> kVersionMajor{0}, kVersionMinor{2};
    static constexpr Field<uint32_t> kDeviceMode{4};
    static constexpr Field<uint64_t, 6> kMac{10};
    static constexpr Field<uint32_t> kIpOptions{16}, kIpCurrent{20}, kIp{36}, kMask{52}, kGateway{68};
    static constexpr TqWire::TextField kManufacturer{72, 32}, kModel{104, 32}, kVersion{136, 32},
        kManufacturerInfo{168, 48}, kSerial{216, 16}, kUserName{232, 16};
    static constexpr size_t kSize = 248;

    static std::optional<DiscoveryAck> Of(Bytes aPayload) { return Checked<DiscoveryAck>(aPayload, kSize); }
    uint16_t VersionMajor() const { return kVersionMajor.Get(mData); }
    uint16_t VersionMinor() const { return kVersionMinor.Get(mData); }
    uint32_t DeviceMode() const { return kDeviceMode.Get(mData); }
    std::array<uint8_t, 6> Mac() const;
    uint32_t IpOptions() const { return kIpOptions.Get(mData); }
    uint32_t IpCurrent() const { return kIpCurrent.Get(mData); }
    uint32_t Ip() const { return kIp.Get(mData); }
    uint32_t Mask() const { return kMask.Get(mData); }
    uint32_t Gateway() const { return kGateway.Get(mData); }
    std::string Manufacturer() const { return kManufacturer.Get(mData); }
    std::string Model() const { return kModel.Get(mData); }
    std::string Version() const { return kVersion.Get(mData); }
    std::string ManufacturerInfo() const { return kManufacturerInfo.Get(mData); }
    std::string Serial() const { return kSerial.Get(mData); }
    std::string UserName() const { return kUserName.Get(mData); }

private:
    using View::View;
};

// A MAC address as the 48-bit number the protocol carries, and back.
inline uint64_t MacNumber(const std::array<uint8_t, 6>& aMac) {
    uint64_t n = 0;
    for (uint8_t byte : aMac) n = (n << 8) | byte;
    return n;
}
inline std::array<uint8_t, 6> MacBytes(uint64_t aNumber) {
    std::array<uint8_t, 6> mac{};
    for (size_t i = mac.size(); i-- > 0; aNumber >>= 8) mac[i] = uint8_t(aNumber);
    return mac;
}
inline std::array<uint8_t, 6> DiscoveryAck::Mac() const { return MacBytes(kMac.Get(mData)); }

// ---- FORCEIP ----

class ForceIpCommand : public TqWire::View {
public:
    static constexpr Field<uint64_t, 6> kMac{2};
    static constexpr Field<uint32_t> kIp{20}, kMask{36}, kGateway{52};
    static constexpr size_t kSize = 56;

    static std::optional<ForceIpCommand> Of(Bytes aPayload) { return Checked<ForceIpCommand>(aPayload, kSize); }
    uint64_t Mac() const { return kMac.Get(mData); }
    uint32_t Ip() const { return kIp.Get(mData); }
    uint32_t Mask() const { return kMask.Get(mData); }
    uint32_t Gateway() const { return kGateway.Get(mData); }
    // kSize bytes at aPayload (the reserved ones zero).
    static void Write(uint8_t* aPayload, const std::array<uint8_t, 6>& aMac, uint32_t aIp, uint32_t aMask,
                      uint32_t aGateway) {
        std::fill_n(aPayload, kSize, 0);
        kMac.Put(aPayload, MacNumber(aMac));
        kIp.Put(aPayload, aIp);
        kMask.Put(aPayload, aMask);
        kGateway.Put(aPayload, aGateway);
    }

private:
    using View::View;
};

// ---- READREG, WRITEREG, READMEM, WRITEMEM ----

// A list of 32-bit words: READREG's addresses, READREG_ACK's values.
class WordList : public TqWire::View {
public:
    static constexpr Field<uint32_t> kWord{0};
    static constexpr size_t kStride = 4;

    static std::optional<WordList> Of(Bytes aPayload) { return Checked<WordList>(aPayload, 0); }
    size_t Count() const { return mSize / kStride; }
    uint32_t Word(size_t aIndex) const { return kWord.Get(mData + aIndex * kStride); }
    static void Write(uint8_t* aPayload, size_t aIndex, uint32_t aWord) {
        kWord.Put(aPayload + aIndex * kStride, aWord);
    }

private:
    using View::View;
};

// WRITEREG: pairs of an address and the value to write there.
class WriteRegCommand : public TqWire::View {
public:
    static constexpr Field<uint32_t> kAddress{0}, kValue{4};
    static constexpr size_t kStride = 8;

    static std::optional<WriteRegCommand> Of(Bytes aPayload) { return Checked<WriteRegCommand>(aPayload, 0); }
    size_t Count() const { return mSize / kStride; }
    uint32_t Address(size_t aIndex) const { return kAddress.Get(mData + aIndex * kStride); }
    uint32_t Value(size_t aIndex) const { return kValue.Get(mData + aIndex * kStride); }
    // Where pair aIndex's value lies.
    const uint8_t* ValueBytes(size_t aIndex) const { return mData + aIndex * kStride + kValue.at; }
    static void Write(uint8_t* aPayload, size_t aIndex, uint32_t aAddress, uint32_t aValue) {
        kAddress.Put(aPayload + aIndex * kStride, aAddress);
        kValue.Put(aPayload + aIndex * kStride, aValue);
    }

private:
    using View::View;
};

// WRITEREG_ACK and WRITEMEM_ACK: how many registers (or bytes) were written.
class WriteAck : public TqWire::View {
public:
    static constexpr Field<uint16_t> kIndex{2};
    static constexpr size_t kSize = 4;

    static std::optional<WriteAck> Of(Bytes aPayload) { return Checked<WriteAck>(aPayload, kSize); }
    uint16_t Index() const { return kIndex.Get(mData); }
    static void Write(uint8_t* aPayload, uint16_t aIndex) {
        std::fill_n(aPayload, kSize, 0);
        kIndex.Put(aPayload, aIndex);
    }

private:
    using View::View;
};

class ReadMemCommand : public TqWire::View {
public:
    static constexpr Field<uint32_t> kAddress{0};
    static constexpr Field<uint16_t> kCount{6};
    static constexpr size_t kSize = 8;

    static std::optional<ReadMemCommand> Of(Bytes aPayload) { return Checked<ReadMemCommand>(aPayload, kSize); }
    uint32_t Address() const { return kAddress.Get(mData); }
    uint16_t Count() const { return kCount.Get(mData); }
    static void Write(uint8_t* aPayload, uint32_t aAddress, uint16_t aCount) {
        std::fill_n(aPayload, kSize, 0);
        kAddress.Put(aPayload, aAddress);
        kCount.Put(aPayload, aCount);
    }

private:
    using View::View;
};

// WRITEMEM, and READMEM_ACK: an address and the bytes from there.
class MemoryData : public TqWire::View {
public:
    static constexpr Field<uint32_t> kAddress{0};
    static constexpr size_t kDataOffset = 4;

    static std::optional<MemoryData> Of(Bytes aPayload) { return Checked<MemoryData>(aPayload, kDataOffset); }
    uint32_t Address() const { return kAddress.Get(mData); }
    Bytes Data() const { return From(kDataOffset); }
    // The address at aPayload; the data goes at aPayload + kDataOffset.
    static void Write(uint8_t* aPayload, uint32_t aAddress) { kAddress.Put(aPayload, aAddress); }

private:
    using View::View;
};

// A payload of two forms (without or with extended IDs; without or with an action time), which
// the command's flags tell: the view knows which it reads.
class TwoForms : public TqWire::View {
protected:
    friend class TqWire::View;
    TwoForms(const uint8_t* aData, size_t aSize) : View(aData, aSize) {}
    // A view of type V over aBytes when they hold the aSizes[form] bytes of their form.
    template <class V>
    static std::optional<V> CheckedForm(Bytes aBytes, bool aSecond, const size_t (&aSizes)[2]) {
        auto view = Checked<V>(aBytes, aSizes[aSecond]);
        if (view) view->mSecond = aSecond;
        return view;
    }
    bool mSecond = false;
};

// ---- PACKETRESEND ----

// The standard form (12 bytes: a 16-bit block ID, 24-bit packet IDs) or, with the command's
// kFlagExtendedIds, the extended one (20 bytes: 32-bit packet IDs and a 64-bit block ID).
class PacketResendCommand : public TwoForms {
public:
    static constexpr Field<uint16_t> kChannel{0};
    static constexpr Field<uint16_t> kBlockId{2};
    static constexpr Field<uint32_t> kFirstPacket{4}, kLastPacket{8};
    static constexpr Field<uint64_t> kExtendedBlockId{12};
    static constexpr uint32_t kPacketIdMask = 0x00FFFFFF;   // packet IDs of the standard form
    static constexpr size_t kSize = 12, kExtendedSize = 20;
    static constexpr size_t SizeOf(bool aExtended) { return aExtended ? kExtendedSize : kSize; }

    static std::optional<PacketResendCommand> Of(Bytes aPayload, bool aExtended) {
        return CheckedForm<PacketResendCommand>(aPayload, aExtended, {kSize, kExtendedSize});
    }
    bool Extended() const { return mSecond; }
    uint16_t Channel() const { return kChannel.Get(mData); }
    uint64_t BlockId() const { return mSecond ? kExtendedBlockId.Get(mData) : kBlockId.Get(mData); }
    uint32_t FirstPacket() const { return Packet(kFirstPacket); }
    uint32_t LastPacket() const { return Packet(kLastPacket); }
    // SizeOf(aExtended) bytes at aPayload; the packet IDs as the form holds them.
    static size_t Write(uint8_t* aPayload, bool aExtended, uint16_t aChannel, uint64_t aBlockId, uint32_t aFirst,
                        uint32_t aLast) {
        const uint32_t mask = aExtended ? 0xFFFFFFFF : kPacketIdMask;
        std::fill_n(aPayload, SizeOf(aExtended), 0);
        kChannel.Put(aPayload, aChannel);
        if (aExtended) kExtendedBlockId.Put(aPayload, aBlockId);
        else kBlockId.Put(aPayload, uint16_t(aBlockId));
        kFirstPacket.Put(aPayload, aFirst & mask);
        kLastPacket.Put(aPayload, aLast & mask);
        return SizeOf(aExtended);
    }

private:
    using TwoForms::TwoForms;
    uint32_t Packet(const Field<uint32_t>& aField) const {
        return aField.Get(mData) & (mSecond ? 0xFFFFFFFF : kPacketIdMask);
    }
};

// ---- PENDING_ACK ----

class PendingAck : public TqWire::View {
public:
    static constexpr Field<uint16_t> kTimeToCompletion{2};   // milliseconds
    static constexpr size_t kSize = 4;

    static std::optional<PendingAck> Of(Bytes aPayload) { return Checked<PendingAck>(aPayload, kSize); }
    uint16_t TimeToCompletion() const { return kTimeToCompletion.Get(mData); }
    static void Write(uint8_t* aPayload, uint16_t aMilliseconds) {
        std::fill_n(aPayload, kSize, 0);
        kTimeToCompletion.Put(aPayload, aMilliseconds);
    }

private:
    using View::View;
};

// ---- EVENT, EVENTDATA ----

// One event's header: 16 bytes with a 16-bit block ID, or 24 with the command's kFlagExtendedIds
// (a 64-bit block ID; in EVENTDATA the first field then gives the event's size, data included).
// EVENT carries a list of them; EVENTDATA one, followed by its data.
class EventEntry : public TwoForms {
public:
    static constexpr Field<uint16_t> kEventSize{0};
    static constexpr Field<uint16_t> kEventId{2};
    static constexpr Field<uint16_t> kChannel{4};
    static constexpr Field<uint16_t> kBlockId{6};
    static constexpr Field<uint64_t> kTimestamp{8};
    static constexpr Field<uint64_t> kExtendedBlockId{8};
    static constexpr Field<uint64_t> kExtendedTimestamp{16};
    static constexpr size_t kSize = 16, kExtendedSize = 24;
    static constexpr size_t SizeOf(bool aExtended) { return aExtended ? kExtendedSize : kSize; }

    // The event at aBytes' start.
    static std::optional<EventEntry> Of(Bytes aBytes, bool aExtended) {
        return CheckedForm<EventEntry>(aBytes, aExtended, {kSize, kExtendedSize});
    }
    uint16_t EventId() const { return kEventId.Get(mData); }
    uint16_t Channel() const { return kChannel.Get(mData); }
    uint64_t BlockId() const { return mSecond ? kExtendedBlockId.Get(mData) : kBlockId.Get(mData); }
    uint64_t Timestamp() const { return (mSecond ? kExtendedTimestamp : kTimestamp).Get(mData); }
    // EVENTDATA: the bytes after the header (with extended IDs, as many as the event's size tells).
    Bytes Data() const {
        const Bytes after = From(SizeOf(mSecond));
        if (!mSecond) return after;
        const size_t size = kEventSize.Get(mData);
        return after.first(size > kExtendedSize ? std::min(size - kExtendedSize, after.size()) : 0);
    }
    // SizeOf(aExtended) bytes at aOut; aDataSize: the EVENTDATA data that follows (its size is
    // written in the extended form).
    static size_t Write(uint8_t* aOut, bool aExtended, uint16_t aEventId, uint16_t aChannel, uint64_t aBlockId,
                        uint64_t aTimestamp, size_t aDataSize = 0) {
        std::fill_n(aOut, SizeOf(aExtended), 0);
        kEventId.Put(aOut, aEventId);
        kChannel.Put(aOut, aChannel);
        if (aExtended) {
            kEventSize.Put(aOut, uint16_t(kExtendedSize + aDataSize));
            kExtendedBlockId.Put(aOut, aBlockId);
            kExtendedTimestamp.Put(aOut, aTimestamp);
        } else {
            kBlockId.Put(aOut, uint16_t(aBlockId));
            kTimestamp.Put(aOut, aTimestamp);
        }
        return SizeOf(aExtended);
    }

private:
    using TwoForms::TwoForms;
};

// The events of an EVENT command's payload.
class EventList : public TwoForms {
public:
    static std::optional<EventList> Of(Bytes aPayload, bool aExtended) {
        return CheckedForm<EventList>(aPayload, aExtended, {0, 0});
    }
    size_t Count() const { return mSize / EventEntry::SizeOf(mSecond); }
    EventEntry Entry(size_t aIndex) const {
        const size_t stride = EventEntry::SizeOf(mSecond);
        return *EventEntry::Of(Bytes(mData + aIndex * stride, stride), mSecond);
    }

private:
    using TwoForms::TwoForms;
};

// ---- ACTION ----

class ActionCommand : public TwoForms {
public:
    static constexpr Field<uint32_t> kDeviceKey{0}, kGroupKey{4}, kGroupMask{8};
    static constexpr Field<uint64_t> kActionTime{12};   // with the command's kFlagScheduled
    static constexpr size_t kSize = 12, kScheduledSize = 20;

    static std::optional<ActionCommand> Of(Bytes aPayload, bool aScheduled) {
        return CheckedForm<ActionCommand>(aPayload, aScheduled, {kSize, kScheduledSize});
    }
    uint32_t DeviceKey() const { return kDeviceKey.Get(mData); }
    uint32_t GroupKey() const { return kGroupKey.Get(mData); }
    uint32_t GroupMask() const { return kGroupMask.Get(mData); }
    std::optional<uint64_t> ActionTime() const {
        return mSecond ? std::optional<uint64_t>(kActionTime.Get(mData)) : std::nullopt;
    }
    // kSize bytes at aPayload, kScheduledSize with an action time.
    static size_t Write(uint8_t* aPayload, uint32_t aDeviceKey, uint32_t aGroupKey, uint32_t aGroupMask,
                        std::optional<uint64_t> aActionTime = std::nullopt) {
        kDeviceKey.Put(aPayload, aDeviceKey);
        kGroupKey.Put(aPayload, aGroupKey);
        kGroupMask.Put(aPayload, aGroupMask);
        if (!aActionTime) return kSize;
        kActionTime.Put(aPayload, *aActionTime);
        return kScheduledSize;
    }

private:
    using TwoForms::TwoForms;
};

inline std::vector<uint8_t> NewWordCommand(uint16_t aCommand, uint16_t aRequest, std::span<const uint32_t> aWords,
                                           uint8_t aFlags) {
    std::vector<uint8_t> out = NewCommand(aCommand, aRequest, aWords.size() * WordList::kStride, aFlags);
    for (size_t i = 0; i < aWords.size(); ++i) WordList::Write(out.data() + kHeaderSize, i, aWords[i]);
    return out;
}

constexpr size_t kDiscoverySize = DiscoveryAck::kSize;
constexpr size_t kForceIpSize = ForceIpCommand::kSize;

}  // namespace TqGvcp
