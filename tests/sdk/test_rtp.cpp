// The RTP stream receiver and session discovery on loopback: raw video frames (RFC 4175) by unicast,
// multicast and TCP arrive byte for byte; H.264 access units across FU-A fragments and aggregates;
// line headers outside the frame and malformed packets are dropped and counted, never written;
// incomplete frames, buffers too small, no payload prepared; an independent sender (GStreamer) and the
// Python test sender when installed; sessions announced, replaced and deleted.
#include "TqImage.h"
#include "TqResultCodes.h"
#include "TqSessionInfo.h"
#include "TqStream.h"
#include "TqSystem.h"
#include "stream_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kLoopback = 0x7F000001u;

sockaddr_in Address(uint32_t aIp, uint16_t aPort) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(aIp);
    a.sin_port = htons(aPort);
    return a;
}

void Put16(Bytes& aOut, uint32_t aValue) {
    aOut.push_back(uint8_t(aValue >> 8));
    aOut.push_back(uint8_t(aValue));
}

// Multicast only through 127.0.0.1, with a TTL of 0.
int MulticastSocket() {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr lo{htonl(kLoopback)};
    int ttl = 0;
    ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
    ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    return s;
}

// A tiny RTP sender: UDP to a loopback port or a multicast group, or a TCP server on 127.0.0.1 that
// takes one client and sends each packet after its length. Sequence numbers start close to their
// wrap.
class Sender {
public:
    enum Kind { kUnicast, kMulticast, kTcp };
    Sender(Kind aKind, uint32_t aIp = kLoopback, uint16_t aPort = 0) : mKind(aKind), mTo(Address(aIp, aPort)) {
        if (aKind == kMulticast) {
            mSocket = MulticastSocket();
        } else if (aKind == kUnicast) {
            mSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        } else {
            mServer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in local = Address(kLoopback, 0);
            socklen_t length = sizeof local;
            EXPECT_EQ(::bind(mServer, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
            EXPECT_EQ(::listen(mServer, 1), 0);
            ::getsockname(mServer, reinterpret_cast<sockaddr*>(&local), &length);
            mTo.sin_port = local.sin_port;
        }
    }
    ~Sender() {
        for (int fd : {mSocket, mServer})
            if (fd >= 0) ::close(fd);
    }
    uint16_t ServerPort() const { return ntohs(mTo.sin_port); }
    void Accept() {
        mSocket = ::accept(mServer, nullptr, nullptr);
        int one = 1;
        ::setsockopt(mSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }

    Bytes Rtp(const Bytes& aPayload, bool aMarker) {
        Bytes p = {0x80, uint8_t((aMarker ? 0x80 : 0) | 96)};
        Put16(p, sequence++);
        for (uint32_t word : {timestamp, ssrc})
            for (int shift = 24; shift >= 0; shift -= 8) p.push_back(uint8_t(word >> shift));
        p.insert(p.end(), aPayload.begin(), aPayload.end());
        return p;
    }

    // One raw frame (rows of aLineBytes) in packets of at most aPayload bytes of RTP payload.
    std::vector<Bytes> Raw(const Bytes& aFrame, uint32_t aLineBytes, uint32_t aGroupBytes, uint32_t aGroupPixels,
                           size_t aPayload) {
        const uint32_t height = uint32_t(aFrame.size() / aLineBytes), width = aLineBytes / aGroupBytes * aGroupPixels;
        std::vector<Bytes> packets;
        uint32_t line = 0, offset = 0;
        while (line < height) {
            Bytes headers, data;
            size_t room = aPayload - 2;
            while (line < height && room >= 6 + aGroupBytes) {
                const uint32_t groups = std::min<uint32_t>((width - offset) / aGroupPixels, uint32_t((room - 6) / aGroupBytes));
                const uint32_t length = groups * aGroupBytes, start = line * aLineBytes + offset / aGroupPixels * aGroupBytes;
                if (!headers.empty()) headers[headers.size() - 2] |= 0x80;   // the previous one has a follower
                Put16(headers, length);
                Put16(headers, line);
                Put16(headers, offset);
                data.insert(data.end(), aFrame.begin() + start, aFrame.begin() + start + length);
                room -= 6 + length;
                offset += groups * aGroupPixels;
                if (offset >= width) line++, offset = 0;
            }
            Bytes payload = {0, 0};
            payload.insert(payload.end(), headers.begin(), headers.end());
            payload.insert(payload.end(), data.begin(), data.end());
            packets.push_back(Rtp(payload, line >= height));
        }
        return packets;
    }

    // One access unit: single NAL unit packets, FU-A fragments for NAL units above aPayload bytes.
    std::vector<Bytes> H264(const std::vector<Bytes>& aNals, size_t aPayload) {
        std::vector<Bytes> payloads;
        for (const Bytes& nal : aNals) {
            if (nal.size() <= aPayload) {
                payloads.push_back(nal);
                continue;
            }
            for (size_t at = 1; at < nal.size(); at += aPayload - 2) {
                const size_t end = std::min(nal.size(), at + aPayload - 2);
                Bytes p = {uint8_t((nal[0] & 0xE0) | 28),
                           uint8_t((at == 1 ? 0x80 : 0) | (end == nal.size() ? 0x40 : 0) | (nal[0] & 0x1F))};
                p.insert(p.end(), nal.begin() + at, nal.begin() + end);
                payloads.push_back(p);
            }
        }
        std::vector<Bytes> packets;
        for (size_t i = 0; i < payloads.size(); ++i) packets.push_back(Rtp(payloads[i], i + 1 == payloads.size()));
        return packets;
    }

    void Send(const Bytes& aPacket) {
        if (mKind == kTcp) {
            Bytes framed;
            Put16(framed, uint32_t(aPacket.size()));
            framed.insert(framed.end(), aPacket.begin(), aPacket.end());
            ASSERT_EQ(::send(mSocket, framed.data(), framed.size(), MSG_NOSIGNAL), ssize_t(framed.size()));
        } else {
            ASSERT_EQ(::sendto(mSocket, aPacket.data(), aPacket.size(), 0, reinterpret_cast<const sockaddr*>(&mTo), sizeof mTo),
                      ssize_t(aPacket.size()));
        }
    }
    void Send(const std::vector<Bytes>& aPackets) {
        for (const Bytes& p : aPackets) Send(p);
        timestamp += 3000;
    }

    uint16_t sequence = 65530;
    uint32_t timestamp = 90000, ssrc = 0x5EED0001;

private:
    Kind mKind;
    sockaddr_in mTo;
    int mSocket = -1, mServer = -1;
};

Bytes Random(size_t aSize, uint32_t aSeed) {
    std::mt19937 generator(aSeed);
    Bytes out(aSize);
    for (auto& b : out) b = uint8_t(generator());
    return out;
}

Bytes AnnexB(const std::vector<Bytes>& aNals) {
    Bytes out;
    for (const Bytes& nal : aNals) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

using StreamTesting::Retrieved;

// An RTP receiver is given longer than the others for its next block.
Retrieved Retrieve(TqStream& aStream, uint32_t aTimeout = 10000) { return StreamTesting::Retrieve(aStream, aTimeout); }

int64_t Parameter(TqStream& aStream, const char* aName) {
    int64_t value = -1;
    EXPECT_TRUE(aStream.GetParameters()->GetIntegerValue(TqString(aName), value).IsOK()) << aName;
    return value;
}

// Buffers filled with 0xEE, queued; they must outlive the stream, which may still hold them.
using Buffers = std::vector<std::unique_ptr<TqBuffer>>;
void Queue(TqStream& aStream, Buffers& aInto, size_t aCount, uint32_t aSize) {
    for (size_t i = 0; i < aCount; ++i) {
        aInto.push_back(std::make_unique<TqBuffer>());
        EXPECT_TRUE(aInto.back()->Alloc(aSize).IsOK());
        std::memset(aInto.back()->GetDataPointer(), 0xEE, aSize);
        EXPECT_TRUE(aStream.QueueBuffer(aInto.back().get()).IsOK());
    }
}

// An open unicast stream with its sender.
struct Unicast {
    Unicast() {
        EXPECT_TRUE(stream.Open(TqString("127.0.0.1"), 0).IsOK());
        sender = std::make_unique<Sender>(Sender::kUnicast, kLoopback, stream.GetLocalPort());
    }
    Buffers buffers;
    TqStreamRTP stream;
    std::unique_ptr<Sender> sender;
};

bool Untouched(const TqBuffer& aBuffer, size_t aFrom, uint8_t aFill = 0xEE) {
    return std::all_of(aBuffer.GetDataPointer() + aFrom, aBuffer.GetDataPointer() + aBuffer.GetSize(),
                       [&](uint8_t b) { return b == aFill; });
}

}  // namespace

class RawFrames : public ::testing::TestWithParam<std::tuple<Sender::Kind, TqPixelType>> {};

TEST_P(RawFrames, ArriveAsTheyWereSentWithPaddedLines) {
    const auto [kind, pixel] = GetParam();
    const uint32_t bytes = pixel == TqPixelRGB8 ? 3 : 1, line = 64 * bytes, stride = line + 2;
    Buffers buffers;
    TqStreamRTP stream;
    std::unique_ptr<Sender> sender;
    if (kind == Sender::kUnicast) {
        ASSERT_TRUE(stream.Open(TqString(""), 0).IsOK());
        sender = std::make_unique<Sender>(kind, kLoopback, stream.GetLocalPort());
    } else if (kind == Sender::kMulticast) {
        ASSERT_TRUE(stream.Open(TqString("239.255.71.9"), 0, TqString("127.0.0.1")).IsOK());
        EXPECT_EQ(std::string(stream.GetMulticastIPAddress().GetAscii()), "239.255.71.9");
        sender = std::make_unique<Sender>(kind, 0xEFFF4709u, stream.GetLocalPort());
    } else {
        sender = std::make_unique<Sender>(kind);
        ASSERT_TRUE(stream.OpenTCP(TqString("127.0.0.1"), sender->ServerPort()).IsOK());
        sender->Accept();
        EXPECT_EQ(stream.GetTCPServerPort(), sender->ServerPort());
        EXPECT_EQ(std::string(stream.GetTCPServerIPAddress().GetAscii()), "127.0.0.1");
    }
    ASSERT_TRUE(stream.PrepareFor(64, 48, pixel, 2).IsOK());
    Queue(stream, buffers, 3, stride * 48);
    for (uint32_t i = 0; i < 3; ++i) {
        const Bytes frame = Random(line * 48, i);
        const uint32_t timestamp = sender->timestamp;
        sender->Send(sender->Raw(frame, line, bytes, 1, 500 + 97 * i));   // lines split across packets
        Retrieved r = Retrieve(stream);
        ASSERT_TRUE(r.call.IsOK()) << r.call.GetCode();
        ASSERT_EQ(r.operation.GetCode(), TQ_OK);
        ASSERT_EQ(r.buffer, buffers[i].get());
        const TqImage* image = r.buffer->GetImage();
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->GetWidth(), 64u);
        EXPECT_EQ(image->GetHeight(), 48u);
        EXPECT_EQ(image->GetPixelType(), pixel);
        EXPECT_EQ(image->GetPaddingX(), 2);
        EXPECT_EQ(r.buffer->GetBlockID(), i + 1);
        EXPECT_EQ(r.buffer->GetTimestamp(), timestamp);
        EXPECT_EQ(r.buffer->GetPayloadLength(), stride * 48);
        for (uint32_t y = 0; y < 48; ++y) {
            ASSERT_EQ(std::memcmp(r.buffer->GetDataPointer() + y * stride, frame.data() + y * line, line), 0) << y;
            EXPECT_EQ(r.buffer->GetDataPointer()[y * stride + line], 0xEE);   // padding is not written
        }
    }
    EXPECT_EQ(Parameter(stream, "BlocksReceived"), 3);
    EXPECT_EQ(Parameter(stream, "PacketsBad"), 0);
    EXPECT_EQ(Parameter(stream, "PacketsMissing"), 0);
    EXPECT_TRUE(stream.Close().IsOK());
}

INSTANTIATE_TEST_SUITE_P(Transports, RawFrames,
                         ::testing::Combine(::testing::Values(Sender::kUnicast, Sender::kMulticast, Sender::kTcp),
                                            ::testing::Values(TqPixelMono8, TqPixelRGB8)));

TEST(StreamRTP, H264AccessUnitsAcrossFragmentsAndAggregates) {
    Unicast u;
    ASSERT_TRUE(u.stream.PrepareForH264().IsOK());
    Queue(u.stream, u.buffers, 6, 8192);
    Bytes sps = Random(12, 1), pps = Random(4, 2), idr = Random(3000, 3), slice = Random(700, 4);
    sps[0] = 0x67, pps[0] = 0x68, idr[0] = 0x65, slice[0] = 0x41;
    auto expect = [&](const Bytes& aStream, uint32_t aResult) {
        Retrieved r = Retrieve(u.stream);
        ASSERT_TRUE(r.call.IsOK());
        ASSERT_EQ(r.operation.GetCode(), aResult);
        if (aResult != TQ_OK) return;
        EXPECT_EQ(r.buffer->GetPayloadType(), TqPayloadTypeH264);
        EXPECT_EQ(r.buffer->GetImage(), nullptr);
        ASSERT_NE(r.buffer->GetH264AccessUnit(), nullptr);
        EXPECT_EQ(r.buffer->GetH264AccessUnit()->mLength, aStream.size());
        EXPECT_TRUE(std::equal(aStream.begin(), aStream.end(), r.buffer->GetDataPointer()));
    };
    // Parameter sets as single NAL units, the IDR slice in four FU-A fragments.
    u.sender->Send(u.sender->H264({sps, pps, idr}, 1000));
    expect(AnnexB({sps, pps, idr}), TQ_OK);
    // The parameter sets in one STAP-A, the slice in fragments.
    Bytes stap = {0x78};
    for (const Bytes* nal : {&sps, &pps}) {
        Put16(stap, uint32_t(nal->size()));
        stap.insert(stap.end(), nal->begin(), nal->end());
    }
    std::vector<Bytes> packets = {u.sender->Rtp(stap, false)};
    for (const Bytes& p : u.sender->H264({slice}, 300)) packets.push_back(p);
    u.sender->Send(packets);
    expect(AnnexB({sps, pps, slice}), TQ_OK);
    // A fragmented NAL unit whose end never came, though no packet is missing: before a whole
    // fragmented one, and at the end of the access unit.
    for (bool last : {false, true}) {
        packets = u.sender->H264({idr}, 1000);
        packets.back()[13] &= uint8_t(~0x40);
        if (!last) {
            packets.back()[1] &= 0x7F;
            for (const Bytes& p : u.sender->H264({idr}, 1000)) packets.push_back(p);
        }
        u.sender->Send(packets);
        expect({}, TQ_MISSING_PACKETS);
    }
    // A lost middle fragment; then the first packet of the next access unit.
    packets = u.sender->H264({idr}, 1000);
    packets.erase(packets.begin() + 1);
    u.sender->Send(packets);
    expect({}, TQ_MISSING_PACKETS);
    packets = u.sender->H264({sps, pps, slice}, 1000);
    packets.erase(packets.begin());
    u.sender->Send(packets);
    expect({}, TQ_MISSING_PACKETS);
    EXPECT_EQ(Parameter(u.stream, "BlocksReceived"), 2);
    EXPECT_EQ(Parameter(u.stream, "BlocksIncomplete"), 4);
    EXPECT_EQ(Parameter(u.stream, "PacketsMissing"), 4);   // the lost packets, and the missing ends
}

TEST(StreamRTP, LineHeadersOutsideTheFrameAreDroppedAndCounted) {
    Unicast u;
    ASSERT_TRUE(u.stream.PrepareFor(64, 48, TqPixelMono8).IsOK());
    Queue(u.stream, u.buffers, 2, 64 * 48 + 512);   // room past the frame that must stay untouched
    // Beside a whole frame: a packet whose headers all point outside it (a line past the last, a
    // segment past the line's end, the second field, an offset past the width, a length longer than
    // a line), with data that must not land anywhere.
    Bytes bogus = {0, 0};
    for (auto [length, line, offset] : std::vector<std::tuple<uint32_t, uint32_t, uint32_t>>{
             {64, 48, 0}, {8, 3, 60}, {64, 0x8000 | 5, 0}, {2, 0, 0x7FFF}, {65, 1, 0}})
        Put16(bogus, length), Put16(bogus, line), Put16(bogus, offset | 0x8000);
    bogus[bogus.size() - 2] &= 0x7F;
    bogus.resize(bogus.size() + 64 + 8 + 64 + 2 + 65, 0xAB);
    const Bytes frame = Random(64 * 48, 9);
    auto packets = u.sender->Raw(frame, 64, 1, 1, 700);
    packets.insert(packets.begin() + 1, u.sender->Rtp(bogus, false));
    u.sender->Send(packets);
    Retrieved r = Retrieve(u.stream);
    ASSERT_EQ(r.operation.GetCode(), TQ_OK);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), r.buffer->GetDataPointer()));
    EXPECT_TRUE(Untouched(*r.buffer, frame.size()));
    EXPECT_EQ(Parameter(u.stream, "PacketsBad"), 1);
    // A header moved outside the frame loses its data: the frame is incomplete.
    packets = u.sender->Raw(frame, 64, 1, 1, 700);
    packets[2][12 + 4] = 0x7F;   // the packet's first line number
    u.sender->Send(packets);
    r = Retrieve(u.stream);
    EXPECT_EQ(r.operation.GetCode(), TQ_MISSING_PACKETS);
    EXPECT_TRUE(Untouched(*r.buffer, frame.size()));
    EXPECT_EQ(Parameter(u.stream, "PacketsBad"), 2);
}

TEST(StreamRTP, ABufferTooSmallIsNeverWrittenPast) {
    Bytes memory(4000, 0xEE);
    TqBuffer small;
    Unicast u;
    ASSERT_TRUE(u.stream.PrepareFor(64, 48, TqPixelRGB8).IsOK());
    ASSERT_TRUE(small.Attach(memory.data(), 2000).IsOK());
    ASSERT_TRUE(u.stream.QueueBuffer(&small).IsOK());
    u.sender->Send(u.sender->Raw(Random(192 * 48, 5), 192, 3, 1, 1000));
    Retrieved r = Retrieve(u.stream);
    EXPECT_EQ(r.operation.GetCode(), TQ_BUFFER_TOO_SMALL);
    EXPECT_EQ(r.buffer->GetRequiredSize(), 192u * 48);
    EXPECT_TRUE(std::all_of(memory.begin() + 2000, memory.end(), [](uint8_t b) { return b == 0xEE; }));
    EXPECT_EQ(Parameter(u.stream, "BlocksBufferTooSmall"), 1);
}

TEST(StreamRTP, FramesWithMissingPacketsComeBackIncomplete) {
    Unicast u;
    ASSERT_TRUE(u.stream.PrepareFor(64, 48, TqPixelMono8).IsOK());
    ASSERT_TRUE(u.stream.GetParameters()->SetIntegerValue(TqString("ImageTimeout"), 50).IsOK());
    Queue(u.stream, u.buffers, 6, 64 * 48);
    const Bytes frame = Random(64 * 48, 11);
    auto expect = [&](uint64_t aBlock, uint32_t aResult) {
        Retrieved r = Retrieve(u.stream);
        ASSERT_TRUE(r.call.IsOK()) << aBlock;
        EXPECT_EQ(r.buffer->GetBlockID(), aBlock);
        EXPECT_EQ(r.operation.GetCode(), aResult) << aBlock;
    };
    auto packets = u.sender->Raw(frame, 64, 1, 1, 600);
    packets.erase(packets.begin() + 2);   // a middle packet
    u.sender->Send(packets);
    expect(1, TQ_MISSING_PACKETS);
    packets = u.sender->Raw(frame, 64, 1, 1, 600);
    packets.pop_back();   // the marker: the frame ends when the next one begins
    u.sender->Send(packets);
    packets = u.sender->Raw(frame, 64, 1, 1, 600);
    packets.erase(packets.begin());   // the first packet
    u.sender->Send(packets);
    expect(2, TQ_MISSING_PACKETS);
    expect(3, TQ_MISSING_PACKETS);
    packets = u.sender->Raw(frame, 64, 1, 1, 600);
    u.sender->Send(packets);
    expect(4, TQ_OK);
    u.sender->Send(packets[0]);   // late: its frame was handed back
    packets = u.sender->Raw(frame, 64, 1, 1, 600);
    packets.pop_back();   // nothing follows: ImageTimeout ends it
    u.sender->Send(packets);
    expect(5, TQ_MISSING_PACKETS);
    EXPECT_EQ(Parameter(u.stream, "BlocksIncomplete"), 4);
    EXPECT_EQ(Parameter(u.stream, "PacketsIgnored"), 1);
    EXPECT_EQ(Parameter(u.stream, "BlocksReceived"), 1);
    EXPECT_EQ(Parameter(u.stream, "PacketsMissing"), 4);   // one each: where a frame ends is not known
}

TEST(StreamRTP, MalformedPacketsAreDroppedAndCounted) {
    Unicast u;
    ASSERT_TRUE(u.stream.PrepareFor(64, 48, TqPixelMono8).IsOK());
    Queue(u.stream, u.buffers, 1, 64 * 48);
    const Bytes line = {0, 0, 0, 64, 0, 0, 0, 0};   // one header: 64 bytes of line 0
    std::vector<Bytes> bad;
    auto packet = [&](Bytes aPayload) { return u.sender->Rtp(aPayload, true); };
    bad.push_back(packet(line)), bad.back()[0] = 0x40;                          // version 1
    bad.push_back(Bytes(11, 0x80));                                             // shorter than the header
    bad.push_back(packet({})), bad.back()[0] |= 0x0F;                           // CSRCs past the end
    bad.push_back(packet({0, 0, 0xFF, 0xFF})), bad.back()[0] |= 0x10;           // extension past the end
    bad.push_back(packet({1, 2, 3, 0xF0})), bad.back()[0] |= 0x20;              // padding past the payload
    bad.push_back(packet({1, 2, 3, 0})), bad.back()[0] |= 0x20;                 // padding of zero
    bad.push_back(packet({0, 0, 0, 64, 0, 0, 0x80, 0}));                        // continuation past the end
    bad.push_back(packet(line));                                                // data past the end
    bad.push_back(packet({0, 0, 0, 0}));                                        // no line header
    for (const Bytes& b : bad) u.sender->Send(b);
    const Bytes frame = Random(64 * 48, 3);
    u.sender->Send(u.sender->Raw(frame, 64, 1, 1, 1400));
    Retrieved r = Retrieve(u.stream);
    ASSERT_EQ(r.operation.GetCode(), TQ_OK);
    EXPECT_EQ(r.buffer->GetBlockID(), 1u);   // none of them began a frame
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), r.buffer->GetDataPointer()));
    EXPECT_EQ(Parameter(u.stream, "PacketsBad"), int64_t(bad.size()));
}

TEST(StreamRTP, WithoutAPreparedPayloadBlocksComeBackUnwritten) {
    Unicast u;
    Queue(u.stream, u.buffers, 3, 64 * 48);
    const Bytes frame = Random(64 * 48, 4);
    const uint32_t results[] = {TQ_NOT_SUPPORTED, TQ_OK, TQ_NOT_SUPPORTED};
    for (int i = 0; i < 3; ++i) {
        if (i == 1) {
            ASSERT_TRUE(u.stream.PrepareFor(64, 48, TqPixelMono8).IsOK());
        }
        if (i == 2) {
            ASSERT_TRUE(u.stream.ResetPayloadType().IsOK());
        }
        u.sender->Send(u.sender->Raw(frame, 64, 1, 1, 1000));
        Retrieved r = Retrieve(u.stream);
        ASSERT_EQ(r.operation.GetCode(), results[i]) << i;
        EXPECT_EQ(r.buffer->GetBlockID(), uint64_t(i + 1));
        if (results[i] == TQ_OK) continue;
        EXPECT_EQ(r.buffer->GetPayloadLength(), 0u);
        EXPECT_TRUE(Untouched(*r.buffer, 0));
    }
}

TEST(StreamRTP, OpensOnLoopbackOnlyAndOnce) {
    Buffers buffers;
    TqStreamRTP stream;
    EXPECT_EQ(stream.GetType(), TqStreamTypeRTP);
    EXPECT_EQ(stream.Open(TqString("127.0.0.1")).GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_EQ(stream.Open(static_cast<const TqDeviceInfo*>(nullptr)).GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_EQ(stream.Open(static_cast<const TqSessionInfoSDP*>(nullptr), TqString("127.0.0.1")).GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_EQ(stream.Open(TqString("192.0.2.7"), 0).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(stream.Open(TqString("127.0.0.1"), 5004, TqString("")).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(stream.Open(TqString("239.1.2.3"), 5004, TqString("192.0.2.7")).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(stream.OpenTCP(TqString("192.0.2.7"), 554).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(stream.OpenTCP(TqString("127.0.0.1"), 0).GetCode(), TQ_INVALID_PARAMETER);
    {
        int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);   // a port that nobody listens on
        sockaddr_in local = Address(kLoopback, 0);
        socklen_t length = sizeof local;
        ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length);
        ::close(probe);
        EXPECT_EQ(stream.OpenTCP(TqString("127.0.0.1"), ntohs(local.sin_port)).GetCode(), TQ_NETWORK_ERROR);
    }
    EXPECT_FALSE(stream.IsOpen());
    EXPECT_EQ(stream.PrepareFor(64, 48, TqPixelMono10p).GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_EQ(stream.PrepareFor(0, 48, TqPixelMono8).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(stream.PrepareFor(63, 48, TqPixelYUV422_8_UYVY).GetCode(), TQ_INVALID_PARAMETER);   // half a pgroup
    EXPECT_TRUE(stream.PrepareFor(64, 48, TqPixelYUV411_8_UYYVYY).IsOK());
    EXPECT_TRUE(stream.SetThreadPriority(99).IsOK());
    EXPECT_EQ(stream.SetThreadPriority(100).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(stream.GetThreadPriority(), 99u);

    ASSERT_TRUE(stream.Open(TqString("127.0.0.2"), 0).IsOK());
    EXPECT_EQ(std::string(stream.GetLocalIPAddress().GetAscii()), "127.0.0.2");
    EXPECT_EQ(Parameter(stream, "DataPort"), stream.GetLocalPort());
    EXPECT_EQ(stream.GetQueuedBufferMaximum(), 64u);
    EXPECT_EQ(stream.Open(TqString("127.0.0.1"), 0).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(stream.OpenTCP(TqString("127.0.0.1"), 1).GetCode(), TQ_STATE_ERROR);
    // A frame in progress and the queued buffers come back aborted at Close.
    Queue(stream, buffers, 2, 64 * 48 * 3 / 2);
    Sender sender(Sender::kUnicast, 0x7F000002u, stream.GetLocalPort());
    auto packets = sender.Raw(Random(96 * 48, 1), 96, 6, 4, 1000);
    packets.pop_back();
    sender.Send(packets);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Parameter(stream, "PacketsReceived") < int64_t(packets.size()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(stream.Close().IsOK());
    for (int i = 0; i < 2; ++i) EXPECT_EQ(Retrieve(stream, 0).operation.GetCode(), TQ_ABORTED);
    EXPECT_EQ(stream.GetLocalPort(), 0);
    EXPECT_EQ(Parameter(stream, "BlocksAborted"), 2);
}

// An independent sender: GStreamer's raw video payloader, in pgroups of one pixel (RGB), two
// (UYVY, 4:2:2) and four (Y41B, 4:1:1), a solid colour in each frame.
TEST(StreamRTP, AnIndependentSenderIsReceived) {
    if (std::system("command -v gst-launch-1.0 >/dev/null 2>&1") != 0) GTEST_SKIP() << "no gst-launch-1.0";
    const std::tuple<const char*, TqPixelType, uint32_t> formats[] = {
        {"RGB", TqPixelRGB8, 3}, {"UYVY", TqPixelYUV422_8_UYVY, 4}, {"Y41B", TqPixelYUV411_8_UYYVYY, 6}};
    for (const auto& [format, pixel, group] : formats) {
        Buffers buffers;
        TqStreamRTP stream;
        ASSERT_TRUE(stream.Open(TqString("127.0.0.1"), 0).IsOK());
        ASSERT_TRUE(stream.PrepareFor(64, 48, pixel).IsOK());
        Queue(stream, buffers, 8, 64 * 48 * 3);
        const std::string command = std::string("timeout 60 gst-launch-1.0 -q videotestsrc num-buffers=5 pattern=solid-color "
                                                "foreground-color=0xff336699 ! video/x-raw,format=") +
                                    format + ",width=64,height=48 ! rtpvrawpay ! udpsink host=127.0.0.1 port=" +
                                    std::to_string(stream.GetLocalPort()) + " >/dev/null 2>&1";
        std::thread sender([&] { EXPECT_EQ(std::system(command.c_str()), 0) << format; });
        for (uint64_t i = 1; i <= 5; ++i) {
            Retrieved r = Retrieve(stream, 60000);
            ASSERT_TRUE(r.call.IsOK()) << format;
            ASSERT_EQ(r.operation.GetCode(), TQ_OK) << format;
            EXPECT_EQ(r.buffer->GetBlockID(), i);
            const uint8_t* data = r.buffer->GetDataPointer();
            const uint32_t size = r.buffer->GetImage()->GetImageSize();
            if (pixel == TqPixelRGB8) {
                EXPECT_EQ(Bytes(data, data + 3), (Bytes{0x33, 0x66, 0x99}));
            }
            for (uint32_t at = group; at < size; at += group)
                ASSERT_EQ(std::memcmp(data, data + at, group), 0) << format << " at " << at;
        }
        sender.join();
        EXPECT_EQ(Parameter(stream, "PacketsBad"), 0) << format;
    }
}

namespace {

std::string PythonTool() { return std::string(KIVO_GENICAM_FIXTURE_DIR) + "/../rtp_tools.py"; }
bool HavePython() { return std::system("/usr/bin/python3 -c 'import numpy' >/dev/null 2>&1") == 0; }

}  // namespace

TEST(StreamRTP, ThePythonTestSenderIsReceived) {
    if (!HavePython()) GTEST_SKIP() << "no python3 with numpy";
    Unicast u;
    ASSERT_TRUE(u.stream.PrepareFor(64, 48, TqPixelRGB8).IsOK());
    Queue(u.stream, u.buffers, 3, 192 * 48);
    const std::string command = "/usr/bin/python3 " + PythonTool() + " raw --port " + std::to_string(u.stream.GetLocalPort()) +
                                " --width 64 --height 48 --channels 3 --frames 3 --packet-size 500";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (uint32_t k = 0; k < 3; ++k) {
        Retrieved r = Retrieve(u.stream);
        ASSERT_EQ(r.operation.GetCode(), TQ_OK);
        for (uint32_t i = 0; i < 192 * 48; ++i) ASSERT_EQ(r.buffer->GetDataPointer()[i], uint8_t(7 * i + k)) << i;
    }
}

namespace {

// SAP packets from 127.0.0.1 to 224.2.127.254:9875.
struct Announcer {
    Announcer() : socket(MulticastSocket()) {}
    ~Announcer() { ::close(socket); }
    static Bytes Sap(uint8_t aFlags, uint16_t aHash, const std::string& aSdp) {
        Bytes p = {aFlags, 0, uint8_t(aHash >> 8), uint8_t(aHash), 127, 0, 0, 1};
        const std::string type = "application/sdp";
        p.insert(p.end(), type.begin(), type.end() + 1);
        p.insert(p.end(), aSdp.begin(), aSdp.end());
        return p;
    }
    static std::string Sdp(const std::string& aName, const std::string& aConnection, int aPort) {
        return "v=0\r\no=- " + aName + " 1 IN IP4 127.0.0.1\r\ns=" + aName + "\r\nc=IN IP4 " + aConnection +
               "\r\nt=0 0\r\nm=video " + std::to_string(aPort) + " RTP/AVP 96\r\n";
    }
    // Sends the packets every 20 ms while aWork runs.
    template <typename Work>
    auto During(const std::vector<Bytes>& aPackets, Work aWork) {
        std::atomic<bool> stop{false};
        std::thread t([&] {
            const sockaddr_in to = Address(0xE0027FFEu, 9875);
            while (!stop) {
                for (const Bytes& p : aPackets) ::sendto(socket, p.data(), p.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        auto result = aWork();
        stop = true;
        t.join();
        return result;
    }
    int socket;
};

// The index of the session of that name among the known ones, or -1.
int Find(const TqSystem& aSystem, uint32_t aCount, const std::string& aName, TqSessionInfo* aInfo = nullptr) {
    for (uint32_t i = 0; i < aCount; ++i) {
        TqSessionInfo info;
        if (aSystem.GetSessionInfo(i, info).IsOK() && aName == info.mName.GetAscii()) {
            if (aInfo) *aInfo = info;
            return int(i);
        }
    }
    return -1;
}

}  // namespace

TEST(SystemSessions, AnnouncedSessionsAreDiscoveredReplacedAndDeleted) {
    const std::string tag = "rtp-test-" + std::to_string(::getpid()) + "-";
    const std::string a = tag + "a", b = tag + "b", bad = tag + "bad", python = tag + "py";
    const uint16_t h = uint16_t(::getpid() * 8 + 1);   // message ID hashes of this run: h to h + 6
    TqSystem system;
    system.SetDetectionTimeout(2500);
    Announcer announcer;
    std::vector<Bytes> packets = {
        Announcer::Sap(0x20, h, Announcer::Sdp(a, "239.255.1.1/16", 5004)),
        Announcer::Sap(0x20, uint16_t(h + 1), Announcer::Sdp(b, "239.255.1.2", 5006)),
        Announcer::Sap(0x40, uint16_t(h + 2), Announcer::Sdp(bad, "239.255.1.3", 5008)),   // version 2
        Announcer::Sap(0x22, uint16_t(h + 3), Announcer::Sdp(bad, "239.255.1.3", 5008)),   // encrypted
        Announcer::Sap(0x20, uint16_t(h + 4), "v=0\r\ns=" + bad + "\r\nm=video 5008 RTP/AVP 96\r\n"),   // no c=
        Announcer::Sap(0x20, uint16_t(h + 5), Announcer::Sdp(bad, "239.255.1.3", 5008)),
    };
    packets.back().resize(6);   // cut inside the originating source
    std::thread pythonAnnouncer;
    if (HavePython())
        pythonAnnouncer = std::thread([&] {
            const std::string command = "/usr/bin/python3 " + PythonTool() + " sap announce --name " + python +
                                        " --address 239.255.1.4 --ttl 1 --port 5010 --hash " + std::to_string(uint16_t(h + 6)) + " --repeat 70 --interval 0.03";
            EXPECT_EQ(std::system(command.c_str()), 0);
        });
    const uint32_t count = announcer.During(packets, [&] { return system.DiscoverSessions(); });
    if (pythonAnnouncer.joinable()) pythonAnnouncer.join();
    ASSERT_GE(count, 2u);
    TqSessionInfo info;
    ASSERT_GE(Find(system, count, a, &info), 0);
    EXPECT_EQ(std::string(info.mAddress.GetAscii()), "239.255.1.1");
    EXPECT_EQ(info.mPort, 5004);
    EXPECT_EQ(std::string(info.mLocalAddress.GetAscii()), "127.0.0.1");
    ASSERT_GE(Find(system, count, b, &info), 0);
    EXPECT_EQ(info.mPort, 5006);
    EXPECT_EQ(Find(system, count, bad), -1);
    if (HavePython()) {
        ASSERT_GE(Find(system, count, python, &info), 0);
        EXPECT_EQ(std::string(info.mAddress.GetAscii()), "239.255.1.4");
        EXPECT_EQ(info.mPort, 5010);
    }

    TqSessionInfo untouched;
    untouched.mName = TqString("untouched");
    untouched.mPort = 77;
    EXPECT_EQ(system.GetSessionInfo(count, untouched).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(std::string(untouched.mName.GetAscii()), "untouched");
    EXPECT_EQ(untouched.mPort, 77);
    TqSystem other;   // knows nothing it did not hear itself
    EXPECT_EQ(other.GetSessionInfo(0, untouched).GetCode(), TQ_NOT_FOUND);

    // a is deleted; b is announced again, moved to another port.
    const uint32_t after = announcer.During({Announcer::Sap(0x24, h, Announcer::Sdp(a, "239.255.1.1/16", 5004)),
                                             Announcer::Sap(0x20, uint16_t(h + 1), Announcer::Sdp(b, "239.255.1.2", 5016))},
                                            [&] { return system.DiscoverSessions(); });
    EXPECT_GE(after, 1u);
    EXPECT_EQ(Find(system, after, a), -1);
    ASSERT_GE(Find(system, after, b, &info), 0);
    EXPECT_EQ(info.mPort, 5016);
}
