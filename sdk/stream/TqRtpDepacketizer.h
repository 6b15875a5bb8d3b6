// Frame assembly of the RTP receiver (internal to the stream library): RTP packets in, filled caller
// buffers out. Like the GigE Vision assembler it trusts no field of a packet: every write is checked
// against the frame's geometry and the buffer's size.
//
// Frames: the packets of one source (the first SSRC heard; another is taken up only once the current
// one was silent for ImageTimeout) with one RTP timestamp make a frame; the marker bit ends it. A
// packet with another timestamp ends the frame in progress without its marker (incomplete), and so
// does ImageTimeout after its last packet. A frame takes the next queued buffer when its first packet
// arrives (none queued: dropped, BlocksDropped); block IDs count frames from 1, dropped ones included,
// and the buffer's timestamp is the RTP timestamp. Sequence numbers are extended to 32 bits by the
// receiver itself; a frame is complete when its marker arrived and no sequence number is missing
// between the end of the previous frame (when that ended with its marker) and it (and, for raw video, every pixel byte of the frame
// was placed). Packets older than the last frame handed back are ignored; a jump of more than 512
// back restarts the tracking (a sender that started over).
//
// Raw video (RFC 4175): the payload is the extended sequence number (not used: the receiver extends
// the 16-bit one), then line headers (length, F + line, C + offset, 16 bits each; C: another header
// follows), then the data of each header in turn. Offsets count pixels; a pgroup is the smallest
// whole number of bytes that holds whole pixels (RtpFormat). A header whose line, offset, length or
// F bit does not fit the frame is skipped (its data is not written) and its packet counted in
// PacketsBad; a payload whose headers or data run past the packet is dropped whole (PacketsBad).
//
// H.264 (RFC 6184, non-interleaved mode): single NAL unit packets (types 1 to 23), STAP-A (24) and
// FU-A (28). The packets of an access unit are kept until its marker and then written in sequence
// order, each NAL unit after a 00 00 00 01 start code. STAP-B, MTAP and FU-B are not supported
// (PacketsIgnored, the access unit is incomplete); types 0, 30 and 31, a set forbidden bit and
// malformed aggregates or fragments are PacketsBad. A fragment whose start was lost, or a fragmented
// NAL unit without its end, makes the access unit incomplete.
//
// Results: OK; MISSING_PACKETS for an incomplete frame; BUFFER_TOO_SMALL when a complete frame did
// not fit (nothing is written past the buffer's size, nothing is reallocated); NOT_SUPPORTED when no
// payload was prepared (nothing written); ABORTED.
#pragma once

#include "TqPixelType.h"
#include "TqRtpPacket.h"
#include "TqStreamState.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <unordered_set>
#include <vector>

namespace TqStreamLib {

// What the receiver makes of the payload (PrepareFor, PrepareForH264).
struct RtpFormat {
    enum class Kind { None, Raw, H264 };
    Kind kind = Kind::None;
    uint32_t width = 0, height = 0;
    TqPixelType pixelType = TqPixelUndefined;
    uint16_t paddingX = 0;
    uint32_t groupBytes = 0, groupPixels = 0;   // one pgroup

    uint64_t LineBytes() const { return uint64_t(width) / groupPixels * groupBytes; }
    uint64_t Stride() const { return LineBytes() + paddingX; }
    uint64_t FrameBytes() const { return Stride() * height; }
    uint64_t PixelBytes() const { return LineBytes() * height; }   // what the packets carry

    // A raw video format (TQ_OK), or why not: NOT_SUPPORTED for a pixel type of no whole pgroup,
    // INVALID_PARAMETER for a geometry the line headers cannot address (0, above 32768 lines or
    // pixels, a width of no whole pgroups, more than 4 GiB).
    static uint32_t Raw(uint32_t aWidth, uint32_t aHeight, TqPixelType aPixelType, uint16_t aPaddingX,
                        RtpFormat& aFormat);
};

class RtpDepacketizer {
public:
    using Clock = std::chrono::steady_clock;

    // aFormat is read under the state lock: a change applies from the next frame on.
    RtpDepacketizer(State& aState, const RtpFormat& aFormat) : mState(aState), mFormat(aFormat) {}

    // One datagram or TCP-framed packet (state lock held).
    void Process(const uint8_t* aData, size_t aSize, Clock::time_point aNow);
    // Hands back a frame whose ImageTimeout ran out (state lock held); the next deadline, or
    // Clock::time_point::max() with no frame in progress.
    Clock::time_point Expire(Clock::time_point aNow);
    // The frame in progress goes back aborted (state lock held).
    void AbortAll();

private:
    struct Frame {
        bool active = false;
        TqBuffer* buffer = nullptr;   // null: dropped (no buffer was queued)
        RtpFormat format;
        uint32_t timestamp = 0;
        uint64_t blockId = 0;
        uint32_t lowest = 0, highest = 0;   // extended sequence numbers seen
        bool firstKnown = false;            // the previous frame's end tells where this one begins
        uint32_t expectedFirst = 0;
        std::unordered_set<uint32_t> seen;
        bool marker = false;
        bool damaged = false;     // data known to be lost besides missing packets
        bool overflow = false;    // something did not fit the buffer
        uint64_t placed = 0;      // raw: pixel bytes placed (written, or not fitting the buffer)
        uint64_t written = 0;     // the end of what was written
        std::map<uint32_t, std::vector<uint8_t>> units;   // H.264: payloads by sequence number
        uint64_t kept = 0;
        uint32_t redundant = 0, outOfOrder = 0, ignored = 0;
        Clock::time_point first, last;
    };
    enum class Check { Good, Bad, Unsupported };

    uint32_t Extend(uint16_t aSequence) const;
    void Begin(uint32_t aTimestamp, uint32_t aSequence, Clock::time_point aNow);
    Check CheckRaw(const uint8_t* aPayload, size_t aLength) const;
    Check CheckH264(const uint8_t* aPayload, size_t aLength) const;
    void PlaceRaw(const uint8_t* aPayload, size_t aLength);
    void KeepH264(uint32_t aSequence, const uint8_t* aPayload, size_t aLength);
    uint64_t WriteH264(Frame& aFrame, uint64_t& aRequired);   // the bytes written
    void Hand(uint32_t aResult, Clock::time_point aNow);        // 0: judged from the frame
    void Restart();

    State& mState;
    const RtpFormat& mFormat;
    Frame mFrame;
    bool mHaveSource = false;
    uint32_t mSsrc = 0;
    Clock::time_point mSourceLast;
    bool mHaveSequence = false;
    uint32_t mHighest = 0;   // the highest extended sequence number of the source
    bool mHaveEnd = false;
    uint32_t mLastEnd = 0;   // the last sequence number of the frame handed back last
    bool mEndKnown = false;  // ... and it was its marker: the next frame begins right after it
    uint64_t mBlockId = 0;
};

}  // namespace TqStreamLib
