// Block assembly of the GigE Vision receiver (internal to the stream library): GVSP datagrams in,
// filled caller buffers out. It trusts no field of a datagram: every write is checked against the
// block's payload size and the buffer's size, and whatever does not fit is dropped and counted.
//
// Blocks: a datagram of a block ID newer than the last one begun (16-bit IDs, 1 to 65535, 65535
// followed by 1) begins a block and takes the next queued buffer; up to kMaxBlocks are in progress
// at once (packets of one block may still arrive after the next began). A block is handed back when
// its leader, trailer and every payload packet arrived (OK, or BUFFER_TOO_SMALL when the payload did
// not fit), or, incomplete, ImageTimeout after its last packet or when a newer block needs its place
// (MISSING_PACKETS). Geometry, pixel type, block ID and timestamp come from the leader; of the
// trailer only its arrival counts (its line count is not trusted).
//
// Offsets: payload packet n (from 1) holds the bytes from (n - 1) x chunk, where chunk is the payload
// bytes of a full packet: learnt from packet 1 of a block, kept from block to block, and seeded from
// the device's packet size.
#pragma once

#include "TqStreamState.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace TqStreamLib {

class GvspAssembler {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kMaxBlocks = 4;

    explicit GvspAssembler(State& aState) : mState(aState) {}

    // The payload bytes of a full packet, when known (from the device's packet size).
    void SetChunkHint(uint32_t aChunk) { mChunk = aChunk; }
    // One datagram (state lock held).
    void Process(const uint8_t* aData, size_t aSize, Clock::time_point aNow);
    // Hands back the blocks whose ImageTimeout ran out (state lock held); the time of the next
    // deadline, or Clock::time_point::max() when none is pending.
    Clock::time_point Expire(Clock::time_point aNow);
    // Every block in progress goes back aborted (state lock held).
    void AbortAll();

private:
    struct Block {
        uint16_t id = 0;
        TqBuffer* buffer = nullptr;   // null: dropped (no buffer was queued)
        bool leader = false, trailer = false, overflow = false;
        uint16_t payloadType = 0;
        uint64_t timestamp = 0;
        uint32_t pixelFormat = 0, width = 0, height = 0, offsetX = 0, offsetY = 0;
        uint16_t paddingX = 0, paddingY = 0;
        uint64_t payloadSize = 0;     // 0: not known (no leader yet, or a payload type without one)
        uint32_t lastPacket = 0;      // the last payload packet ID (from the trailer), 0 while unknown
        uint32_t highest = 0;         // the highest payload packet ID seen
        std::vector<uint8_t> received;   // by payload packet ID
        uint64_t bytes = 0;           // payload bytes of the packets received
        uint64_t written = 0;         // the end of the data written into the buffer
        uint32_t ignored = 0, redundant = 0, outOfOrder = 0;
        Clock::time_point first, last;
    };

    Block* Find(uint16_t aId);
    Block* Begin(uint16_t aId, bool aLeader, Clock::time_point aNow);
    void Leader(Block& aBlock, const uint8_t* aData, size_t aSize);
    void Payload(Block& aBlock, uint32_t aPacket, const uint8_t* aData, size_t aSize);
    bool Complete(const Block& aBlock) const;
    uint32_t PacketCount(const Block& aBlock) const;   // payload packets of a block of known size
    void Hand(size_t aIndex, uint32_t aResult, Clock::time_point aNow);

    State& mState;
    std::vector<Block> mBlocks;   // oldest first
    uint32_t mChunk = 0;
    uint16_t mLatest = 0;         // the last block ID begun; 0: none yet
    Clock::time_point mLatestAt;
};

}  // namespace TqStreamLib
