// Block assembly of the GigE Vision receiver (internal to the stream library): GVSP datagrams in,
// filled caller buffers out. It trusts no field of a datagram: every write is checked against the
// block's payload size and the buffer's size, and whatever does not fit is dropped and counted.
//
// Blocks: a datagram of a block ID newer than the last one begun begins a block and takes the next
// queued buffer: 16-bit IDs (1 to 65535, 65535 followed by 1) in the generic header, 64-bit ones in
// the extended-ID header (a change of form begins a new count). A block is handed back when its
// leader, trailer and every payload packet arrived (OK, or BUFFER_TOO_SMALL when the payload did not
// fit), or, incomplete, ImageTimeout after its last packet or when a newer block needs its place
// (MISSING_PACKETS). Up to kMaxBlocks are in progress at once, and a newer block takes the place of
// the oldest; while missing packets are asked for again, up to kMaxResendingBlocks, and a newer block
// takes the place of the oldest one without a buffer before that of the oldest. Geometry, pixel type,
// block ID and timestamp come from the leader; of the trailer the lines are not trusted.
//
// Payload types: an image (its size from its geometry), with extended chunks (its size from the
// trailer's chunk data length: the image's chunk, then the chunks, which the buffer's chunk accessors
// show), chunk data (its size from the trailer; the buffer's TqChunkData shows the chunks), a
// multi-part block (its parts from the leader, each part's data at the next multiple of 8 in the
// buffer, placed by the part and offset its payload packets carry; the buffer's multi-part container
// shows them), and any type whose leader tells its size. A trailer marked DATA_OVERRUN (a device that
// could not put all it should into the block) hands the block back with TQ_DATA_OVERRUN once whole.
// Leaders and trailers are read whatever their length: longer than a 576-byte packet holds, they
// mark the buffer's reception as large leader and trailer.
//
// Offsets: generic payload packet n (from 1) holds the bytes from (n - 1) x chunk, where chunk is the
// payload bytes of a full packet: learnt from packet 1 of a block, kept from block to block, and
// seeded from the device's packet size. Every payload packet but the last carries a full chunk: where
// the block's size is known only from its trailer, a packet taken before is kept once the size is
// known only when its length is the one its place has; the others are missing (asked for again). A
// block whose packets were placed by another chunk than the one in use is placed again.
//
// Missing packets: a block handed back names the packets that never arrived (leader 0, payload
// packets, trailer) in groups of consecutive IDs, the leader in a group of its own; when the trailer
// is among them, the group that reaches it ends at 0xFFFFFF (0xFFFFFFFF with extended IDs). Its
// lost-packet count and the stream's PacketsMissing count each missing packet once, those of a group
// ending there up to the trailer, whose ID the leader tells; a block that lost its leader and its
// trailer counts the packets after the last one it saw as one (the trailer).
//
// Resends (with a requester, while the stream's RequestMissingPackets is on): a gap before a packet
// that arrives, a missing leader, and what a block still lacks once its trailer arrived or a newer
// block began are asked for at once, in the form of the block's IDs; what is still missing is asked
// for again each resend interval (a quarter of ImageTimeout, at most 50 ms) of quiet, up to kMaxAsks
// requests of a packet. A packet that arrives after it was asked for counts as recovered. A block the
// device no longer has (a packet with a resend's error status) is handed back at once.
#pragma once

#include "TqBufferReception.h"
#include "TqGvspCodec.h"
#include "TqLinkFrame.h"
#include "TqStreamState.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace TqStreamLib {

class GvspAssembler {
public:
    using Clock = std::chrono::steady_clock;
    // Asks the device again for packets aFirst to aLast of block aBlock (aLast 0xFFFFFF, 0xFFFFFFFF
    // with extended IDs: to its end), in the form of aExtended.
    using Requester = std::function<void(uint64_t aBlock, uint32_t aFirst, uint32_t aLast, bool aExtended)>;
    static constexpr size_t kMaxBlocks = 4;
    static constexpr size_t kMaxResendingBlocks = 32;
    static constexpr uint8_t kMaxAsks = 3;

    explicit GvspAssembler(State& aState) : mState(aState) {}

    // The payload bytes of a full packet, when known (from the device's packet size).
    void SetChunkHint(uint32_t aChunk) { mChunk = aChunk; }
    // Where requests for missing packets go (none: nothing is asked for); before the first datagram.
    void SetRequester(Requester aRequester) { mRequester = std::move(aRequester); }
    // One datagram (state lock held).
    void Process(const uint8_t* aData, size_t aSize, Clock::time_point aNow);
    // One datagram whose header (aHeaderSize bytes at aHeader) and the rest (aBody) lie apart (state
    // lock held).
    void Process(const uint8_t* aHeader, size_t aHeaderSize, const uint8_t* aBody, size_t aBodySize,
                 Clock::time_point aNow);

    // Whether a datagram of aSize bytes at aData would begin a block at aNow and find no buffer queued
    // (state lock held).
    bool Starves(const uint8_t* aData, size_t aSize, Clock::time_point aNow) const;

    // A place that the payload of generic payload packet `packet` of block `block` (in the header form
    // of `header` bytes) may be received into directly: `length` bytes at `at`; null: none.
    struct Place {
        uint8_t* at = nullptr;
        uint32_t length = 0;
        uint64_t block = 0;
        uint32_t packet = 0;
        uint8_t header = TqGvsp::kHeaderSize;
    };
    // Places for the next aCount datagrams, taken to be the packets most likely to come next: the rest
    // of the newest block's payload packets, its trailer, the next block's leader, then its payload
    // packets in the buffer queued next (state lock held). A place lies inside a buffer's memory, is
    // that of a packet not received yet, and overlaps no other. Multi-part blocks are not planned.
    void Plan(Place* aPlaces, size_t aCount) const;
    // Whether a datagram of aSize bytes whose header is at aHeader is the payload packet aPlace was
    // planned for, of the place's length.
    static bool Fits(const Place& aPlace, const uint8_t* aHeader, size_t aSize);
    // Told once, before the first payload bytes are copied into a buffer from memory that is not
    // already their place there (the watch is then dropped): a batch moves what it received into
    // places out of them before anything is written over them.
    class CopyWatch {
    public:
        virtual void BeforeCopy() = 0;

    protected:
        ~CopyWatch() = default;
    };
    // The watch of the datagrams processed from now on (none: null); state lock held.
    void Watch(CopyWatch* aWatch) { mWatch = aWatch; }
    // Hands back the blocks whose ImageTimeout ran out and asks again for what the quiet ones miss
    // (state lock held); the time of the next deadline, or Clock::time_point::max() when none is pending.
    Clock::time_point Expire(Clock::time_point aNow);
    // Every block in progress goes back aborted (state lock held).
    void AbortAll();
    State& StateOf() { return mState; }

private:
    using Group = std::pair<uint32_t, uint32_t>;

    struct Block {
        uint64_t id = 0;
        bool extended = false;        // the extended-ID header
        TqBuffer* buffer = nullptr;   // null: dropped (no buffer was queued)
        bool leader = false, trailer = false, overflow = false;
        bool overrun = false;         // the trailer came marked DATA_OVERRUN
        bool largeEnds = false;       // the leader or the trailer was longer than a 576-byte packet holds
        uint16_t payloadType = 0;
        uint64_t timestamp = 0;
        TqGvsp::ImageInfo image;      // an image leader's geometry
        std::vector<TqReceivedPart> parts;   // a multi-part leader's parts, placed in the buffer
        std::vector<std::pair<uint64_t, uint64_t>> placed;   // where its multi-part packets' bytes lie, in order
        uint32_t chunkLayoutId = 0;
        uint64_t payloadSize = 0;     // 0: not known (no leader yet, or a payload type without one)
        bool sized = false;           // the payload size is known (from the leader or the trailer)
        std::optional<uint32_t> toldSize;   // the size a trailer told before the leader, and its type
        uint16_t toldType = 0;
        uint64_t dataBytes = 0;       // the bytes its packets carry (a multi-part block's parts leave gaps)
        uint32_t lastPacket = 0;      // the last payload packet ID (from the trailer), 0 while unknown
        uint32_t highest = 0;         // the highest payload packet ID seen
        std::vector<uint16_t> received;  // by payload packet ID: the payload bytes it brought (0: none)
        uint32_t chunk = 0;           // the chunk its generic payload packets were placed by
        uint64_t bytes = 0;           // payload bytes of the packets received
        uint64_t written = 0;         // the end of the data written into the buffer
        uint32_t ignored = 0, redundant = 0, outOfOrder = 0;
        Clock::time_point first, last;
        // Resends: the requests of each packet (the leader's; the payload packets' beside received;
        // those from tailFrom on, beyond received, together) and the rounds of requests made.
        uint8_t leaderAsks = 0, tailAsks = 0;
        std::vector<uint8_t> asks;
        uint32_t tailFrom = 0;
        uint8_t rounds = 0;
        bool settled = false;         // its whole transmission is over (trailer, a newer block, quiet)
        Clock::time_point askedAt;
        uint32_t recovered = 0, recoveredSingle = 0, groupsRequested = 0, packetsRequested = 0;
    };

    Block* Find(uint64_t aId);
    const Block* Find(uint64_t aId) const;
    // Whether aId (of the form aExtended) comes after the last block begun.
    bool Newer(uint64_t aId, bool aExtended) const;
    // Whether a datagram of block aId (of the form aExtended), none of whose blocks is in progress,
    // begins it at aNow: its ID is newer than the last one begun, or the receiver is idle.
    bool Begins(uint64_t aId, bool aExtended, Clock::time_point aNow) const;
    Block* Begin(uint64_t aId, bool aExtended, Clock::time_point aNow);
    void Leader(Block& aBlock, const uint8_t* aBody, size_t aSize);
    // What the trailer aBody of a block of payload type aType tells of its size: for a type whose
    // size only the trailer tells, the size and the chunk layout ID (none: the trailer is malformed);
    // for the others, nothing (no length).
    struct TrailerSize {
        std::optional<uint32_t> length;
        uint32_t layoutId = 0;
    };
    static std::optional<TrailerSize> SizeInTrailer(uint16_t aType, TqGvsp::Bytes aBody);
    // What a trailer (its body aBody) tells of a block: aTold, as the block's type or its own tells.
    void Trailer(Block& aBlock, TqGvsp::Bytes aBody, const TrailerSize& aTold);
    // The payload's size is known now: the packets that came before are kept where they fit it.
    void Sized(Block& aBlock, uint64_t aSize);
    // The trailer told the last payload packet: of a generic block of no size known, the packets
    // after it and those shorter than a chunk before it are not kept.
    void Ended(Block& aBlock);
    void Payload(Block& aBlock, uint32_t aPacket, const uint8_t* aData, size_t aSize, Clock::time_point aNow);
    void PartPayload(Block& aBlock, uint32_t aPacket, const uint8_t* aData, size_t aSize, Clock::time_point aNow);
    // Takes note of payload packet aPacket of aLength bytes; false when it came before.
    bool Record(Block& aBlock, uint32_t aPacket, size_t aLength, Clock::time_point aNow);
    // Forgets the payload packets the block took (they are to be placed again).
    static void Unplace(Block& aBlock);
    // The one copy of a payload's bytes into the buffer at aOffset, never past its end.
    void Store(Block& aBlock, uint64_t aOffset, const uint8_t* aData, size_t aLength);
    bool Complete(const Block& aBlock) const;
    uint32_t PacketCount(const Block& aBlock) const;   // payload packets of a generic block of known size
    uint32_t PacketsOf(uint64_t aSize) const;          // payload packets of a generic payload of aSize bytes
    static uint32_t LastUnknown(const Block& aBlock) { return aBlock.extended ? 0xFFFFFFFFu : 0xFFFFFFu; }
    // What the block's payload holds, told to its buffer (chunks, parts); the result may change.
    void Describe(const Block& aBlock, uint32_t& aResult);
    // The missing packets in groups (as handed back); with aToTheEnd, those after the last one seen
    // too. aCount: how many, counted as the header above says.
    std::vector<Group> Missing(const Block& aBlock, bool aToTheEnd, uint32_t& aCount) const;
    void Hand(size_t aIndex, uint32_t aResult, Clock::time_point aNow);
    static uint32_t Incomplete(const Block& aBlock);   // MISSING_PACKETS, or BUFFER_TOO_SMALL

    // Resends.
    bool Resending() const { return mRequester && mState.requestResends.load(); }
    Clock::duration ResendInterval() const;
    uint8_t Asked(const Block& aBlock, uint32_t aPacket) const;
    void Arrived(Block& aBlock, uint32_t aPacket);   // counts a packet that was asked for as recovered
    // Asks for the missing packets (aToTheEnd as for Missing) that were asked for fewer than aBelow
    // times; AskIds for those among aFirst to aLast (0xFFFFFF: to the block's end), in runs.
    void AskMissing(Block& aBlock, bool aToTheEnd, uint8_t aBelow, Clock::time_point aNow);
    void AskIds(Block& aBlock, uint32_t aFirst, uint32_t aLast, uint8_t aBelow, Clock::time_point aNow);
    void Ask(Block& aBlock, uint32_t aFirst, uint32_t aLast, Clock::time_point aNow);   // one request

    State& mState;
    Requester mRequester;
    CopyWatch* mWatch = nullptr;
    std::vector<Block> mBlocks;   // oldest first
    uint32_t mChunk = 0;
    uint64_t mLatest = 0;         // the last block ID begun; 0: none yet
    bool mLatestExtended = false; // its form
    Clock::time_point mLatestAt;
};

// Whether a datagram from aAddress:aPort (host order) comes from the stream's source: address 0 takes
// any sender, port 0 any port of the address. The one rule of the batches and the packet ring.
inline bool FromSource(uint32_t aSourceAddress, uint16_t aSourcePort, uint32_t aAddress, uint16_t aPort) {
    return aSourceAddress == 0 || (aAddress == aSourceAddress && (aSourcePort == 0 || aPort == aSourcePort));
}

// The sender every way into the assembler takes datagrams from: one from another address, or another
// port where one is given, is dropped before anything of it is looked at, counted in packetsForeign.
class GvspSource {
public:
    // The device's address and port (host order) the datagrams must come from: address 0 takes any
    // sender, port 0 any port of the address. Before the receiver starts.
    void SetSource(uint32_t aAddress, uint16_t aPort) {
        mSourceAddress = aAddress;
        mSourcePort = aPort;
    }

protected:
    ~GvspSource() = default;
    // Whether a datagram from aAddress:aPort (host order) comes from another sender.
    bool Foreign(uint32_t aAddress, uint16_t aPort) const {
        return !FromSource(mSourceAddress, mSourcePort, aAddress, aPort);
    }
    bool AnySender() const { return mSourceAddress == 0; }

private:
    uint32_t mSourceAddress = 0;
    uint16_t mSourcePort = 0;
};

// The datagrams of the packet ring (TqGvspRing.h), each from the source (GvspSource) processed as a
// datagram of the batches. A leader that would begin a block and finds no buffer queued waits in the
// ring (Take answers false, and the datagram is to be taken again) while the ring has room for it,
// at most kBufferWait after the queue ran empty: the application is giving back the buffers of the
// frames before it.
class GvspRingBatch final : public GvspSource {
public:
    static constexpr auto kBufferWait = std::chrono::milliseconds(20);

    // One datagram of the ring at aNow (state lock held); aRoom() tells whether the ring has room for
    // a leader to wait in (asked only then).
    template <class Room>
    bool Take(GvspAssembler& aAssembler, const TqLinkFrame::Datagram& aDatagram, GvspAssembler::Clock::time_point aNow,
              Room&& aRoom) {
        if (Foreign(aDatagram.source, aDatagram.sourcePort)) {
            aAssembler.StateOf().counters.packetsForeign++;
            return true;
        }
        if (!aAssembler.StateOf().input.empty()) {
            mStarved = {};
        } else if (aAssembler.Starves(aDatagram.data, aDatagram.size, aNow)) {
            if (mStarved == GvspAssembler::Clock::time_point()) mStarved = aNow;
            if (aNow - mStarved < kBufferWait && aRoom()) return false;
        }
        aAssembler.Process(aDatagram.data, aDatagram.size, aNow);
        return true;
    }
    // A frame the ring had to cut (state lock held).
    static void Cut(GvspAssembler& aAssembler);

private:
    GvspAssembler::Clock::time_point mStarved;   // since when leaders found no buffer queued (or none)
};

// What the two batches share. The sender (GvspSource): every datagram of another sender (every read)
// is dropped and counted. Places: payloads the assembler expects next are received straight into their
// places in the caller's buffers, their headers beside in the batch's own memory; a datagram is
// processed from its place while it is the packet planned there and nothing was copied into a buffer
// yet in this batch (so the place still holds what the kernel put there). At the first datagram that
// is not, or before the first copy into a buffer, the rest of the batch is gathered: the parts in
// places move in beside their headers, and from there on every datagram is processed whole from the
// batch's memory, exactly as without places. What the kernel put into a place whose packet did not
// come there lies where no packet was received yet, and holds no meaning.
class GvspBatchBase : public GvspSource, protected GvspAssembler::CopyWatch {
public:
    static constexpr unsigned kMessages = 32;   // datagrams (reads) a recvmmsg

    // Batches processed wholly from where the kernel put them, and batches gathered from some point on.
    uint64_t InPlace() const { return mInPlace; }
    uint64_t Gathered() const { return mGathered; }

    // What the kernel does with aSize bytes received into a prepared message (the tests' and fuzz
    // targets' kernel): fills its vectors in turn and cuts the rest (MSG_TRUNC), and names the
    // sender, aAddress and aPort (host order).
    static void Received(mmsghdr& aMessage, const uint8_t* aData, size_t aSize, uint32_t aAddress, uint16_t aPort);

protected:
    GvspBatchBase() = default;
    ~GvspBatchBase() = default;
    // Message aIndex takes its sender's address into the batch's memory.
    void NameSender(msghdr& aMessage, unsigned aIndex);
    // Whether a received message came from another sender than the source.
    bool Foreign(const msghdr& aMessage) const;
    // A batch of aGot messages (at most aMost) begins: the assembler's copies are watched; its counters.
    Counters& Begin(GvspAssembler& aAssembler, unsigned aGot, unsigned aMost);
    // The batch ends: counted in place, or gathered.
    void End(GvspAssembler& aAssembler);

    unsigned mGot = 0;         // of the batch being delivered: its messages
    bool mGathering = false;   // it was gathered from some datagram on

private:
    sockaddr_in mSenders[kMessages];
    uint64_t mInPlace = 0, mGathered = 0;
};

// Datagrams received kSize at a time with one recvmmsg, each payload packet the assembler expects
// next (its plan) received straight into its place in its buffer: the header into the slot's own
// memory, the payload into its place, whatever is longer after it in the slot's memory. A datagram
// planned for no place (a leader, a trailer) is whole in its slot. Datagrams longer than the packet
// buffer are dropped as malformed.
class GvspBatch final : public GvspBatchBase {
public:
    static constexpr unsigned kSize = kMessages;

    explicit GvspBatch(uint32_t aPacketBuffer);
    // Plans the places and sets the messages up for a recvmmsg of kSize (state lock held).
    mmsghdr* Prepare(const GvspAssembler& aAssembler);
    // Processes the aGot datagrams received into the messages (state lock held).
    void Deliver(GvspAssembler& aAssembler, unsigned aGot, GvspAssembler::Clock::time_point aNow);

private:
    uint8_t* Slot(unsigned aIndex) { return mStorage.data() + size_t(aIndex) * mPacketBuffer; }
    void BeforeCopy() override { Gather(mNext); }
    // Datagrams aFrom on move whole into their slots (once a batch).
    void Gather(unsigned aFrom);

    uint32_t mPacketBuffer;
    std::vector<uint8_t> mStorage;
    GvspAssembler::Place mPlaces[kSize];
    mmsghdr mMessages[kSize];
    iovec mVectors[kSize][3];
    unsigned mNext = 0;   // the datagram after the one being processed
};

// One datagram of a coalesced read: aSize bytes from aData.
struct DatagramView {
    const uint8_t* data;
    size_t size;
};

// Hands the datagrams of a read of aLength bytes, which the kernel coalesced from datagrams of
// aSegment bytes each (the last may be shorter), one by one in order to aEach(DatagramView). A
// segment size of 0 (none given) or not shorter than the read: the read is one datagram. No view
// reaches past aLength. Returns how many datagrams it handed.
template <class Each>
size_t SplitCoalesced(const uint8_t* aData, size_t aLength, size_t aSegment, Each&& aEach) {
    if (aSegment == 0 || aSegment >= aLength) {
        aEach(DatagramView{aData, aLength});
        return 1;
    }
    size_t count = 0;
    for (size_t at = 0;; at += aSegment) {
        const size_t left = aLength - at;
        aEach(DatagramView{aData + at, left < aSegment ? left : aSegment});
        ++count;
        if (left <= aSegment) return count;
    }
}

// Reads with UDP receive offload, up to kReads with one recvmmsg: each read of up to kReadSize bytes
// may hold several datagrams of one size that the kernel coalesced (the size comes in the read's
// UDP_GRO control message), and is split back into its datagrams, each processed exactly as a
// datagram of the plain path. As in GvspBatch, the payloads likely to come next are received straight
// into their places: a read is planned to hold the run of payload packets a coalescing sender sends
// together (at most TqNet::RunLength of one size from a block's first payload packet, the last
// shorter at most), each header into the read's own memory at its place in the read, each payload
// into its place in its buffer, anything more after them in the read's memory; a read planned for
// no place (a leader's, a trailer's) is whole in its memory. A datagram longer than the packet buffer
// is counted bad, as the plain path counts one it had to cut, and so is a read the kernel had to cut.
class GvspCoalescedBatch final : public GvspBatchBase {
public:
    static constexpr unsigned kReads = kMessages;   // as many as the plain path's datagrams a call
    static constexpr size_t kReadSize = 65535;
    static constexpr size_t kMostInRead = 64;   // payload packets planned into one read

    explicit GvspCoalescedBatch(uint32_t aPacketBuffer);
    // Plans the places and sets the messages up for a recvmmsg of kReads (state lock held).
    mmsghdr* Prepare(const GvspAssembler& aAssembler);
    // Processes the aGot reads received into the messages (state lock held).
    void Deliver(GvspAssembler& aAssembler, unsigned aGot, GvspAssembler::Clock::time_point aNow);
    // The segment size a received message's UDP_GRO control message gives; 0 without one.
    static size_t SegmentSize(const msghdr& aMessage);
    // What the kernel puts beside a coalesced read (the tests' and fuzz targets' kernel): the control
    // message with aSegment, none for 0. The message's control memory holds CMSG_SPACE(sizeof(int)).
    static void SetSegmentSize(msghdr& aMessage, size_t aSegment);

    // Reads that held more than one datagram.
    uint64_t Coalesced() const { return mCoalesced; }

private:
    static constexpr size_t kControlSize = 64;
    static constexpr size_t kPlanned = 1024;   // places planned a call: the reads after them get none

    struct Planned {
        size_t first = 0, count = 0;   // the read's places: mPlaces[first, first + count)
        size_t offsets[kMostInRead];   // where each header lies in the read
    };
    // A datagram of a read: the read and its index there.
    struct Position {
        unsigned read = 0;
        size_t datagram = 0;
    };

    uint8_t* Read(unsigned aIndex) { return mStorage.data() + size_t(aIndex) * kReadSize; }
    size_t Length(unsigned aIndex) const { return std::min<size_t>(mMessages[aIndex].msg_len, kReadSize); }
    void BeforeCopy() override { Gather(mNext); }
    // The datagrams from aFrom on move whole into their reads' memory (once a batch).
    void Gather(Position aFrom);
    // Processes the datagrams of read aIndex (not cut, from the source).
    void DeliverRead(GvspAssembler& aAssembler, unsigned aIndex, GvspAssembler::Clock::time_point aNow);

    uint32_t mPacketBuffer;
    std::vector<uint8_t> mStorage;
    std::vector<GvspAssembler::Place> mPlaces;
    Planned mPlanned[kReads];
    mmsghdr mMessages[kReads];
    iovec mVectors[kReads][2 * kMostInRead + 1];
    alignas(cmsghdr) uint8_t mControl[kReads][kControlSize];
    uint64_t mCoalesced = 0;
    bool mSingles = false;   // the reads are planned a datagram each (see Deliver)
    Position mNext;   // the datagram after the one being processed
};

}  // namespace TqStreamLib
