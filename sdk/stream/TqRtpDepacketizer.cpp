#include "TqRtpDepacketizer.h"

#include "TqImage.h"
#include "TqResultCodes.h"

#include <algorithm>
#include <cstring>

namespace TqStreamLib {

namespace {

constexpr size_t kExtendedSequence = 2, kLineHeader = 6;
constexpr int32_t kMaxMisorder = 512;            // further back: the sender started over
constexpr uint32_t kMaxLines = 32768;            // 15-bit line numbers and offsets
constexpr uint64_t kLargest = 0xFFFFFFFFull;
constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
constexpr uint8_t kStapA = 24, kFuA = 28;

// Serial number order of extended sequence numbers.
bool After(uint32_t aA, uint32_t aB) { return static_cast<int32_t>(aA - aB) > 0; }

uint64_t Nanoseconds(RtpDepacketizer::Clock::time_point aTime) {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(aTime.time_since_epoch()).count());
}

}  // namespace

uint32_t RtpFormat::Raw(uint32_t aWidth, uint32_t aHeight, TqPixelType aPixelType, uint16_t aPaddingX,
                        RtpFormat& aFormat) {
    const uint32_t bits = TqImage::GetPixelSize(aPixelType);
    const bool colour = TqImage::IsPixelColor(aPixelType);
    RtpFormat f;
    f.kind = Kind::Raw;
    if (colour && bits == 12) {   // 4:1:1, 8 bits: U Y Y V Y Y
        f.groupBytes = 6;
        f.groupPixels = 4;
    } else if (colour && bits == 16 && aPixelType != TqPixelRGB565p && aPixelType != TqPixelBGR565p) {
        f.groupBytes = 4;         // 4:2:2, 8 bits: two pixels share their chroma
        f.groupPixels = 2;
    } else if (bits && bits % 8 == 0) {
        f.groupBytes = bits / 8;  // mono, Bayer, RGB, BGR, RGBa, 4:4:4 and wider samples: a pixel
        f.groupPixels = 1;
    } else {
        return TQ_NOT_SUPPORTED;  // packed bits: no pgroup that this receiver places
    }
    if (!aWidth || !aHeight || aWidth > kMaxLines || aHeight > kMaxLines || aWidth % f.groupPixels)
        return TQ_INVALID_PARAMETER;
    f.width = aWidth;
    f.height = aHeight;
    f.pixelType = aPixelType;
    f.paddingX = aPaddingX;
    if (f.FrameBytes() > kLargest) return TQ_INVALID_PARAMETER;
    aFormat = f;
    return TQ_OK;
}

uint32_t RtpDepacketizer::Extend(uint16_t aSequence) const {
    if (!mHaveSequence) return aSequence;
    const int16_t delta = static_cast<int16_t>(static_cast<uint16_t>(aSequence - static_cast<uint16_t>(mHighest)));
    return mHighest + static_cast<uint32_t>(static_cast<int32_t>(delta));
}

void RtpDepacketizer::Restart() {
    mHaveSequence = false;
    mHaveEnd = false;
}

void RtpDepacketizer::Process(const uint8_t* aData, size_t aSize, Clock::time_point aNow) {
    Counters& c = mState.counters;
    c.packetsReceived++;
    if (IsRtcp(aData, aSize)) {
        c.packetsIgnored++;
        return;
    }
    RtpPacket p;
    if (!ParseRtp(aData, aSize, p)) {
        c.packetsBad++;
        return;
    }
    const auto timeout = std::chrono::milliseconds(mState.imageTimeout.load());
    if (!mHaveSource || (p.ssrc != mSsrc && aNow - mSourceLast >= timeout)) {
        if (mFrame.active) Hand(TQ_MISSING_PACKETS, aNow);   // its source went silent
        mHaveSource = true;
        mSsrc = p.ssrc;
        Restart();
    }
    if (p.ssrc != mSsrc) {
        c.packetsIgnored++;   // another sender while the first one is live
        return;
    }
    mSourceLast = aNow;
    uint32_t sequence = Extend(p.sequence);
    if (mHaveSequence && static_cast<int32_t>(sequence - mHighest) < -kMaxMisorder) {
        if (mFrame.active) Hand(TQ_MISSING_PACKETS, aNow);
        Restart();
        sequence = p.sequence;
    }
    if (mHaveEnd && !After(sequence, mLastEnd)) {
        c.packetsIgnored++;   // of a frame handed back already
        return;
    }
    const bool belongs = mFrame.active && p.timestamp == mFrame.timestamp;
    if (mFrame.active && !belongs && !After(sequence, mFrame.lowest)) {
        c.packetsIgnored++;   // a late packet of an earlier frame
        return;
    }

    const RtpFormat::Kind kind = belongs ? mFrame.format.kind : mFormat.kind;
    Check check = Check::Good;
    if (kind == RtpFormat::Kind::Raw) check = CheckRaw(p.payload, p.length);
    if (kind == RtpFormat::Kind::H264) check = CheckH264(p.payload, p.length);
    if (check == Check::Bad) {
        c.packetsBad++;   // dropped whole: its place in the frame stays missing
        return;
    }
    if (!mHaveSequence || After(sequence, mHighest)) mHighest = sequence;
    mHaveSequence = true;

    if (mFrame.active && !belongs) Hand(TQ_MISSING_PACKETS, aNow);   // its marker never came
    if (!mFrame.active) Begin(p.timestamp, sequence, aNow);
    Frame& f = mFrame;
    f.last = aNow;
    if (!f.seen.insert(sequence).second) {
        f.redundant++;
        c.packetsRedundant++;
        return;
    }
    if (After(f.highest, sequence)) {
        f.outOfOrder++;
        c.packetsOutOfOrder++;
    }
    if (After(sequence, f.highest)) f.highest = sequence;
    if (After(f.lowest, sequence)) f.lowest = sequence;

    if (check == Check::Unsupported) {
        f.damaged = true;
        f.ignored++;
        c.packetsIgnored++;
    } else if (!f.buffer || f.format.kind == RtpFormat::Kind::None) {
        f.ignored++;
        c.packetsIgnored++;
    } else if (f.format.kind == RtpFormat::Kind::Raw) {
        PlaceRaw(p.payload, p.length);
    } else {
        KeepH264(sequence, p.payload, p.length);
    }
    if (p.marker) {
        f.marker = true;
        Hand(0, aNow);
    }
}

void RtpDepacketizer::Begin(uint32_t aTimestamp, uint32_t aSequence, Clock::time_point aNow) {
    Frame f;
    f.active = true;
    f.format = mFormat;
    f.timestamp = aTimestamp;
    f.blockId = ++mBlockId;
    f.lowest = f.highest = aSequence;
    f.firstKnown = mHaveEnd && mEndKnown && After(aSequence, mLastEnd);
    f.expectedFirst = mLastEnd + 1;
    f.first = f.last = aNow;
    if (!mState.input.empty()) {
        f.buffer = mState.input.front();
        mState.input.pop_front();
        // A raw frame that cannot fit is received all the same, never written past the buffer.
        if (f.format.kind == RtpFormat::Kind::Raw && f.format.FrameBytes() > f.buffer->GetSize()) f.overflow = true;
    } else {
        mState.counters.blocksDropped++;
    }
    mFrame = std::move(f);
}

RtpDepacketizer::Check RtpDepacketizer::CheckRaw(const uint8_t* aPayload, size_t aLength) const {
    if (aLength < kExtendedSequence + kLineHeader) return Check::Bad;
    size_t at = kExtendedSequence;
    uint64_t data = 0;
    for (;;) {
        if (aLength - at < kLineHeader) return Check::Bad;   // the continuation bit points past the packet
        data += Get16(aPayload + at);
        const bool more = (aPayload[at + 4] & 0x80) != 0;
        at += kLineHeader;
        if (!more) break;
    }
    return data <= aLength - at ? Check::Good : Check::Bad;
}

void RtpDepacketizer::PlaceRaw(const uint8_t* aPayload, size_t aLength) {
    Frame& f = mFrame;
    const RtpFormat& g = f.format;
    size_t data = kExtendedSequence;
    while (aPayload[data + 4] & 0x80) data += kLineHeader;   // CheckRaw found the last header
    data += kLineHeader;
    uint8_t* memory = f.buffer->GetDataPointer();
    const uint64_t capacity = f.buffer->GetSize();
    bool bad = false;
    for (size_t at = kExtendedSequence;; at += kLineHeader) {
        const uint16_t length = Get16(aPayload + at);
        const uint16_t line = Get16(aPayload + at + 2);
        const uint16_t offset = Get16(aPayload + at + 4);
        const uint8_t* segment = aPayload + data;
        data += length;
        const uint32_t row = line & 0x7FFF, column = offset & 0x7FFF;
        if ((line & 0x8000) || row >= g.height || column % g.groupPixels || length % g.groupBytes ||
            column > g.width || uint64_t(length) / g.groupBytes * g.groupPixels > g.width - column) {
            bad = true;   // outside the frame (or of the second field): not written
        } else if (length) {
            const uint64_t place = uint64_t(row) * g.Stride() + uint64_t(column) / g.groupPixels * g.groupBytes;
            f.placed += length;
            if (memory && place + length <= capacity) {
                std::memcpy(memory + place, segment, length);
                f.written = std::max(f.written, place + length);
            } else {
                f.overflow = true;
            }
        }
        if (!(offset & 0x8000)) break;
    }
    if (bad) mState.counters.packetsBad++;
}

RtpDepacketizer::Check RtpDepacketizer::CheckH264(const uint8_t* aPayload, size_t aLength) const {
    if (aLength < 1 || (aPayload[0] & 0x80)) return Check::Bad;
    const uint8_t type = aPayload[0] & 0x1F;
    if (type >= 1 && type <= 23) return Check::Good;
    if (type == kStapA) {
        size_t at = 1;
        if (aLength == at) return Check::Bad;
        while (at < aLength) {
            if (aLength - at < 2) return Check::Bad;
            const size_t size = Get16(aPayload + at);
            at += 2;
            if (size == 0 || size > aLength - at) return Check::Bad;
            const uint8_t inner = aPayload[at] & 0x1F;
            if ((aPayload[at] & 0x80) || inner == 0 || inner > 23) return Check::Bad;
            at += size;
        }
        return Check::Good;
    }
    if (type == kFuA) {
        if (aLength < 3) return Check::Bad;
        const uint8_t header = aPayload[1];
        const uint8_t inner = header & 0x1F;
        if ((header & 0x80) && (header & 0x40)) return Check::Bad;   // start and end in one fragment
        return inner >= 1 && inner <= 23 ? Check::Good : Check::Bad;
    }
    if (type == 25 || type == 26 || type == 27 || type == 29) return Check::Unsupported;   // interleaved mode
    return Check::Bad;
}

void RtpDepacketizer::KeepH264(uint32_t aSequence, const uint8_t* aPayload, size_t aLength) {
    Frame& f = mFrame;
    // Never more than the buffer could take (a NAL unit shrinks by at most 2 bytes per fragment).
    if (f.kept + aLength > 2 * uint64_t(f.buffer->GetSize()) + 65536) {
        f.overflow = true;
        return;
    }
    f.units.emplace(aSequence, std::vector<uint8_t>(aPayload, aPayload + aLength));
    f.kept += aLength;
}

uint64_t RtpDepacketizer::WriteH264(Frame& aFrame, uint64_t& aRequired) {
    uint8_t* memory = aFrame.buffer->GetDataPointer();
    const uint64_t capacity = aFrame.buffer->GetSize();
    uint64_t at = 0;
    bool full = false;   // once a piece did not fit, nothing more is written: a clean prefix stays
    aRequired = 0;
    auto put = [&](const uint8_t* aData, size_t aSize) {
        aRequired += aSize;
        if (full || !memory || at + aSize > capacity) {
            full = true;
            aFrame.overflow = true;
            return;
        }
        std::memcpy(memory + at, aData, aSize);
        at += aSize;
    };
    // Units left out for the buffer's size are no loss of the sender's: they do not damage the frame.
    const bool allKept = !aFrame.overflow;
    bool inFragment = false;
    uint32_t next = 0;
    for (const auto& [sequence, unit] : aFrame.units) {
        const uint8_t type = unit[0] & 0x1F;
        if (inFragment && (type != kFuA || sequence != next || (unit[1] & 0x80))) {
            if (allKept) aFrame.damaged = true;   // the fragmented NAL unit lost its end
            inFragment = false;
        }
        if (type == kStapA) {
            for (size_t i = 1; i < unit.size();) {
                const size_t size = Get16(unit.data() + i);
                put(kStartCode, sizeof kStartCode);
                put(unit.data() + i + 2, size);
                i += 2 + size;
            }
        } else if (type == kFuA) {
            const uint8_t header = unit[1];
            if (header & 0x80) {
                const uint8_t nal = static_cast<uint8_t>((unit[0] & 0xE0) | (header & 0x1F));
                put(kStartCode, sizeof kStartCode);
                put(&nal, 1);
                put(unit.data() + 2, unit.size() - 2);
                inFragment = !(header & 0x40);
            } else if (inFragment) {
                put(unit.data() + 2, unit.size() - 2);
                if (header & 0x40) inFragment = false;
            } else if (allKept) {
                aFrame.damaged = true;   // its start was lost
            }
            next = sequence + 1;
        } else {
            put(kStartCode, sizeof kStartCode);
            put(unit.data(), unit.size());
        }
    }
    if (inFragment && allKept) aFrame.damaged = true;
    return at;
}

void RtpDepacketizer::Hand(uint32_t aResult, Clock::time_point aNow) {
    Frame f = std::move(mFrame);
    mFrame = Frame{};
    if (!mHaveEnd || After(f.highest, mLastEnd)) mLastEnd = f.highest;
    mHaveEnd = true;
    mEndKnown = f.marker;   // without it, packets of this frame may still be missing at its end
    if (!f.buffer) return;
    Counters& c = mState.counters;

    uint64_t missing = uint64_t(f.highest - f.lowest) + 1 - f.seen.size();
    const bool startLost = f.firstKnown && After(f.lowest, f.expectedFirst);
    if (startLost) missing += std::min<uint32_t>(f.lowest - f.expectedFirst, 1u << 20);
    const RtpFormat::Kind kind = f.format.kind;
    uint64_t required = 0, written = 0;
    if (kind == RtpFormat::Kind::Raw) {
        required = f.format.FrameBytes();
        written = f.written;
    }
    if (kind == RtpFormat::Kind::H264 && aResult != TQ_ABORTED) written = WriteH264(f, required);
    if (aResult == 0) {
        if (kind == RtpFormat::Kind::None) {
            aResult = TQ_NOT_SUPPORTED;
        } else {
            const bool complete = f.marker && missing == 0 && !f.damaged &&
                                  (kind != RtpFormat::Kind::Raw || f.placed >= f.format.PixelBytes());
            aResult = !complete ? TQ_MISSING_PACKETS : f.overflow ? TQ_BUFFER_TOO_SMALL : TQ_OK;
        }
    }
    // Incomplete with no sequence number missing in between: the marker, or the first packets when
    // the previous frame's end is not known, never came. At least one packet is lost.
    if (aResult == TQ_MISSING_PACKETS && missing == 0) missing = 1;

    const uint32_t size = f.buffer->GetSize();
    TqBufferReception r;
    r.mBlockID = f.blockId;
    r.mTimestamp = f.timestamp;
    r.mReceptionTime = Nanoseconds(aNow);
    r.mDuration = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(f.last - f.first).count());
    r.mOperationResult = aResult;
    r.mAcquiredSize = static_cast<uint32_t>(std::min<uint64_t>(written, size));
    r.mRequiredSize = static_cast<uint32_t>(std::min(required, kLargest));
    r.mPayloadSize = aResult == TQ_OK ? r.mRequiredSize : r.mAcquiredSize;
    r.mHeaderValid = !startLost;
    r.mTrailerValid = f.marker;
    r.mLostPackets = static_cast<uint32_t>(std::min(missing, kLargest));
    r.mIgnoredPackets = f.ignored;
    r.mRedundantPackets = f.redundant;
    r.mPacketsOutOfOrder = f.outOfOrder;

    TqPayloadType type = f.buffer->GetPayloadType();
    if (kind == RtpFormat::Kind::Raw) type = TqPayloadTypeImage;
    if (kind == RtpFormat::Kind::H264) type = TqPayloadTypeH264;
    f.buffer->SetReception(type, r);
    f.buffer->SetPayloadLength(std::min(r.mPayloadSize, size));
    if (kind == RtpFormat::Kind::Raw) {
        TqImage* image = f.buffer->GetImage();
        image->SetGeometry(f.format.width, f.format.height, f.format.pixelType, f.format.paddingX, 0);
        image->SetOffsetX(0);
        image->SetOffsetY(0);
        image->SetBlockInfo(f.blockId, f.timestamp, r.mReceptionTime);
        image->SetStatus(aResult == TQ_MISSING_PACKETS, false, false, false, f.overflow);
    }

    switch (aResult) {
    case TQ_OK: c.blocksReceived++; break;
    case TQ_BUFFER_TOO_SMALL: c.blocksTooSmall++; break;
    case TQ_ABORTED: c.blocksAborted++; break;
    case TQ_MISSING_PACKETS:
        c.blocksIncomplete++;
        c.packetsMissing += missing;
        break;
    default: break;   // no payload prepared: the block is no one's statistics
    }
    mState.Finish(f.buffer, aResult);
}

RtpDepacketizer::Clock::time_point RtpDepacketizer::Expire(Clock::time_point aNow) {
    if (!mFrame.active) return Clock::time_point::max();
    const auto timeout = std::chrono::milliseconds(mState.imageTimeout.load());
    if (aNow - mFrame.last >= timeout) {
        Hand(TQ_MISSING_PACKETS, aNow);
        return Clock::time_point::max();
    }
    return mFrame.last + timeout;
}

void RtpDepacketizer::AbortAll() {
    if (mFrame.active) Hand(TQ_ABORTED, Clock::now());
}

}  // namespace TqStreamLib
