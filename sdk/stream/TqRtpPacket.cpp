#include "TqRtpPacket.h"

namespace TqStreamLib {

namespace {
constexpr size_t kFixedHeader = 12;
}

bool ParseRtp(const uint8_t* aData, size_t aSize, RtpPacket& aPacket) {
    if (aSize < kFixedHeader || (aData[0] >> 6) != 2) return false;
    const bool padding = (aData[0] & 0x20) != 0;
    const bool extension = (aData[0] & 0x10) != 0;
    const size_t csrcs = aData[0] & 0x0F;
    size_t start = kFixedHeader + 4 * csrcs;
    if (start > aSize) return false;
    if (extension) {
        if (aSize - start < 4) return false;
        const size_t words = Get16(aData + start + 2);
        if (aSize - start - 4 < 4 * words) return false;
        start += 4 + 4 * words;
    }
    size_t end = aSize;
    if (padding) {
        if (end == start) return false;   // no room for the padding count
        const size_t pad = aData[aSize - 1];
        if (pad == 0 || pad > end - start) return false;
        end -= pad;
    }
    aPacket.marker = (aData[1] & 0x80) != 0;
    aPacket.payloadType = aData[1] & 0x7F;
    aPacket.sequence = Get16(aData + 2);
    aPacket.timestamp = Get32(aData + 4);
    aPacket.ssrc = Get32(aData + 8);
    aPacket.payload = aData + start;
    aPacket.length = end - start;
    return true;
}

bool IsRtcp(const uint8_t* aData, size_t aSize) {
    return aSize >= 8 && (aData[0] >> 6) == 2 && aData[1] >= 200 && aData[1] <= 204;
}

}  // namespace TqStreamLib
