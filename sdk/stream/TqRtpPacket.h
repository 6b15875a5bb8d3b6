// RTP on the wire (internal to the stream library): the fixed header of RFC 3550 read without
// trusting any length in it, and the 2-byte length framing of RFC 4571 that carries RTP over TCP.
#pragma once

#include "TqWireBytes.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace TqStreamLib {

using TqWire::Get16;
using TqWire::Get32;

struct RtpPacket {
    bool marker = false;
    uint8_t payloadType = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    const uint8_t* payload = nullptr;   // inside the datagram: after the CSRCs and the extension,
    size_t length = 0;                  // before the padding
};

// Reads one RTP packet. False for anything but version 2, a datagram shorter than its fixed header,
// CSRC list or header extension, and padding that is zero or reaches into the header.
bool ParseRtp(const uint8_t* aData, size_t aSize, RtpPacket& aPacket);

// RTCP sharing the port (packet types 200 to 204 where RTP has its marker and payload type).
bool IsRtcp(const uint8_t* aData, size_t aSize);

// Cuts a TCP byte stream into the packets of RFC 4571: each is preceded by its length (16 bits,
// network order). Empty packets are skipped.
class RtpStreamFramer {
public:
    // Appends what the connection delivered; calls aEach(data, size) for every whole packet.
    template <typename Each>
    void Feed(const uint8_t* aData, size_t aSize, Each&& aEach) {
        mPending.insert(mPending.end(), aData, aData + aSize);
        size_t at = 0;
        while (mPending.size() - at >= 2) {
            const size_t length = Get16(mPending.data() + at);
            if (mPending.size() - at - 2 < length) break;
            if (length) aEach(mPending.data() + at + 2, length);
            at += 2 + length;
        }
        mPending.erase(mPending.begin(), mPending.begin() + static_cast<std::ptrdiff_t>(at));
    }
    size_t Pending() const { return mPending.size(); }

private:
    std::vector<uint8_t> mPending;   // at most one packet and its length: under 64 KiB + 2
};

}  // namespace TqStreamLib
