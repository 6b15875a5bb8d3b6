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
// seeded from the device's packet size.
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
#include "TqStreamState.h"

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
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
    // Whether a datagram is a payload packet (generic or multi-part) without an error status (one
    // that Process may copy).
    static bool IsPayload(const uint8_t* aHeader, size_t aSize);
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
        uint32_t chunkLayoutId = 0;
        uint64_t payloadSize = 0;     // 0: not known (no leader yet, or a payload type without one)
        uint64_t dataBytes = 0;       // the bytes its packets carry (a multi-part block's parts leave gaps)
        uint32_t lastPacket = 0;      // the last payload packet ID (from the trailer), 0 while unknown
        uint32_t highest = 0;         // the highest payload packet ID seen
        std::vector<uint8_t> received;   // by payload packet ID
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
    Block* Begin(uint64_t aId, bool aExtended, Clock::time_point aNow);
    void Leader(Block& aBlock, const uint8_t* aBody, size_t aSize);
    void Trailer(Block& aBlock, const uint8_t* aBody, size_t aSize);
    // The payload's size is known now: the packets that came before are kept where they fit it.
    void Sized(Block& aBlock, uint64_t aSize);
    void Payload(Block& aBlock, uint32_t aPacket, const uint8_t* aData, size_t aSize, Clock::time_point aNow);
    void PartPayload(Block& aBlock, uint32_t aPacket, const uint8_t* aData, size_t aSize, Clock::time_point aNow);
    // Takes note of payload packet aPacket of aLength bytes; false when it came before.
    bool Record(Block& aBlock, uint32_t aPacket, size_t aLength, Clock::time_point aNow);
    // The one copy of a payload's bytes into the buffer at aOffset, never past its end.
    static void Store(Block& aBlock, uint64_t aOffset, const uint8_t* aData, size_t aLength);
    bool Complete(const Block& aBlock) const;
    uint32_t PacketCount(const Block& aBlock) const;   // payload packets of a generic block of known size
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
    std::vector<Block> mBlocks;   // oldest first
    uint32_t mChunk = 0;
    uint64_t mLatest = 0;         // the last block ID begun; 0: none yet
    bool mLatestExtended = false; // its form
    Clock::time_point mLatestAt;
};

// Datagrams received GvspBatch::kSize at a time with one recvmmsg, each payload that is likely to
// come next (as the assembler plans) received straight into its place in its buffer: the header into
// the slot's own memory, the payload into its place, whatever is longer after it in the slot's memory.
// When every datagram of a batch is the payload packet planned for its slot, or where nothing was
// planned no payload packet, the assembler finds the payloads in their places and copies nothing.
// Otherwise each datagram is first gathered whole into its slot's memory and processed from there,
// exactly as without places; the places of that batch then hold bytes of no meaning, all of them where
// no packet was received yet. Datagrams longer than the packet buffer are dropped as malformed.
class GvspBatch {
public:
    static constexpr unsigned kSize = 32;

    explicit GvspBatch(uint32_t aPacketBuffer);
    // Plans the places and sets the messages up for a recvmmsg of kSize (state lock held).
    mmsghdr* Prepare(const GvspAssembler& aAssembler);
    // Processes the aGot datagrams received into the messages (state lock held).
    void Deliver(GvspAssembler& aAssembler, unsigned aGot, GvspAssembler::Clock::time_point aNow);

    // Batches whose payloads were all found in place, and batches gathered.
    uint64_t InPlace() const { return mInPlace; }
    uint64_t Gathered() const { return mGathered; }

private:
    uint8_t* Slot(unsigned aIndex) { return mStorage.data() + size_t(aIndex) * mPacketBuffer; }

    uint32_t mPacketBuffer;
    std::vector<uint8_t> mStorage;
    GvspAssembler::Place mPlaces[kSize];
    mmsghdr mMessages[kSize];
    iovec mVectors[kSize][3];
    uint64_t mInPlace = 0, mGathered = 0;
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
// into its place in its buffer, anything more after them in the read's memory. When every read holds
// exactly the packets planned for it (a batch of payload runs of the block in progress, no leader or
// trailer among them), the assembler finds the payloads in their places; otherwise every read is first gathered whole into its
// own memory and processed from there. A datagram longer than the packet buffer is counted bad, as the plain path
// counts one it had to cut, and so is a read the kernel had to cut.
class GvspCoalescedBatch {
public:
    static constexpr unsigned kReads = 32;        // as many as the plain path's datagrams a call
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

    // Reads that held more than one datagram; batches whose payloads were all found in place, and
    // batches gathered.
    uint64_t Coalesced() const { return mCoalesced; }
    uint64_t InPlace() const { return mInPlace; }
    uint64_t Gathered() const { return mGathered; }

private:
    static constexpr size_t kControlSize = 64;
    static constexpr size_t kPlanned = 1024;   // places planned a call: the reads after them get none

    struct Planned {
        size_t first = 0, count = 0;   // the read's places: mPlaces[first, first + count)
        size_t offsets[kMostInRead];   // where each header lies in the read
    };

    uint8_t* Read(unsigned aIndex) { return mStorage.data() + size_t(aIndex) * kReadSize; }
    // Whether read aIndex of aLength bytes holds exactly the packets planned for it, in their places.
    bool InItsPlaces(unsigned aIndex, size_t aLength, size_t aSegment) const;

    uint32_t mPacketBuffer;
    std::vector<uint8_t> mStorage;
    std::vector<GvspAssembler::Place> mPlaces;
    Planned mPlanned[kReads];
    mmsghdr mMessages[kReads];
    iovec mVectors[kReads][2 * kMostInRead + 1];
    alignas(cmsghdr) uint8_t mControl[kReads][kControlSize];
    uint64_t mCoalesced = 0, mInPlace = 0, mGathered = 0;
};

}  // namespace TqStreamLib
