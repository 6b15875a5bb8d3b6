// The GigE Vision receiver's packet ring: only the datagrams between the stream's ends reach it,
// whole and in order, from the first one on; a block the kernel wrote with lengths that do not hold
// together is read no further than the block; of each frame the walk hands what the kernel's IP and
// UDP layers would deliver, each datagram once. Where the process may not open a packet socket the ring
// tests are skipped (the walk over hand-made blocks runs everywhere).
#include "TqGvspRing.h"
#include "TqLinkFrame.h"
#include "TqLoopback.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

using TqStreamLib::GvspRing;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kDevice = 0x7F000002, kStranger = 0x7F000042, kLocal = 0x7F000001;

// A UDP socket bound to aAddress (any port); its port in aPort.
int Bound(uint32_t aAddress, uint16_t& aPort) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = TqNet::Endpoint(aAddress, 0);
    socklen_t length = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        return -1;
    aPort = ntohs(a.sin_port);
    return fd;
}

void Send(int aFrom, uint16_t aPort, const Bytes& aBytes) {
    const sockaddr_in to = TqNet::Endpoint(kLocal, aPort);
    ASSERT_EQ(::sendto(aFrom, aBytes.data(), aBytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
              ssize_t(aBytes.size()));
}

Bytes Numbered(uint8_t aMark, size_t aSize) {
    Bytes b(aSize);
    for (size_t i = 0; i < aSize; ++i) b[i] = uint8_t(aMark + i);
    return b;
}

// What the ring hands within aWait, until aCount datagrams came.
std::vector<TqLinkFrame::Datagram> Collect(GvspRing& aRing, size_t aCount, std::vector<Bytes>& aKept,
                                           std::chrono::milliseconds aWait = std::chrono::seconds(5)) {
    std::vector<TqLinkFrame::Datagram> got;
    const auto until = std::chrono::steady_clock::now() + aWait;
    while (got.size() < aCount && std::chrono::steady_clock::now() < until) {
        aRing.Drain(
            64,
            [&](const TqLinkFrame::Datagram& aDatagram) {
                aKept.emplace_back(aDatagram.data, aDatagram.data + aDatagram.size);
                got.push_back(aDatagram);
            },
            [] { ADD_FAILURE() << "a frame that is no datagram"; });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return got;
}

struct Ring : ::testing::Test {
    void SetUp() override {
        receiver = Bound(kLocal, port);
        device = Bound(kDevice, devicePort);
        stranger = Bound(kStranger, strangerPort);
        ASSERT_GE(receiver, 0);
        ASSERT_GE(device, 0);
        ASSERT_GE(stranger, 0);
        if (!ring.Open({kDevice, 0, kLocal, port}, 4)) GTEST_SKIP() << "no packet ring here: " << std::strerror(errno);
    }
    void TearDown() override {
        for (int fd : {receiver, device, stranger})
            if (fd >= 0) ::close(fd);
    }
    GvspRing ring;
    int receiver = -1, device = -1, stranger = -1;
    uint16_t port = 0, devicePort = 0, strangerPort = 0;
};

}  // namespace

TEST_F(Ring, OnlyTheDevicesDatagramsToTheStreamsPortArriveWholeAndInOrder) {
    uint16_t otherPort = 0;
    const int other = Bound(kLocal, otherPort);   // another local port: the device's datagrams to it stay out
    std::vector<Bytes> sent;
    for (int i = 0; i < 40; ++i) {
        sent.push_back(Numbered(uint8_t(i), 100 + 211 * size_t(i)));
        Send(stranger, port, Numbered(0xEE, 300));
        Send(device, otherPort, Numbered(0xDD, 300));
        Send(device, port, sent.back());
    }
    std::vector<Bytes> kept;
    const auto got = Collect(ring, sent.size(), kept);
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(kept[i], sent[i]) << i;
        EXPECT_EQ(got[i].source, kDevice);
        EXPECT_EQ(got[i].sourcePort, devicePort);
        EXPECT_EQ(got[i].destinationPort, port);
    }
    EXPECT_EQ(Collect(ring, 1, kept, std::chrono::milliseconds(50)).size(), 0u);   // the strangers' stayed out
    ::close(other);
}

TEST_F(Ring, AKnownSourcePortKeepsTheDevicesOtherPortsOut) {
    uint16_t otherPort = 0;
    const int sameAddress = Bound(kDevice, otherPort);
    ASSERT_TRUE(ring.Filter({kDevice, devicePort, kLocal, port}));
    Send(sameAddress, port, Numbered(1, 64));
    Send(device, port, Numbered(2, 64));
    std::vector<Bytes> kept;
    const auto got = Collect(ring, 2, kept, std::chrono::milliseconds(200));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(kept[0], Numbered(2, 64));
    ::close(sameAddress);
}

TEST_F(Ring, AWalkStoppedAtADatagramResumesThereAndTheBlockStaysTheReceiversUntilWalked) {
    std::vector<Bytes> sent;
    for (int i = 0; i < 6; ++i) {
        sent.push_back(Numbered(uint8_t(10 * i), 200 + size_t(i)));
        Send(device, port, sent.back());
    }
    // Stops at the third datagram twice (it is handed again, nothing before it is), then takes the rest.
    std::vector<Bytes> got;
    int refusals = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < sent.size() && std::chrono::steady_clock::now() < until) {
        const unsigned blocks = ring.Drain(
            4,
            [&](const TqLinkFrame::Datagram& aDatagram) {
                if (got.size() == 2 && refusals < 2) {
                    ++refusals;
                    return false;
                }
                got.emplace_back(aDatagram.data, aDatagram.data + aDatagram.size);
                return true;
            },
            [] { ADD_FAILURE() << "a frame that is no datagram"; });
        if (refusals && got.size() == 2) {
            EXPECT_EQ(blocks, 0u);   // stopped within its block: the block was not given back
            EXPECT_TRUE(ring.Ready());
        }
        if (got.size() < sent.size()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(refusals, 2);
    EXPECT_EQ(got, sent);
}

TEST(RingWalk, ABlockWhoseLengthsDoNotHoldTogetherIsReadNoFurtherThanItself) {
    // One block of three frames: whole, cut short by the kernel (snaplen below len), and one whose
    // offset points past the block; the walk hands the first, counts the second bad and stops there.
    const size_t size = 4096;
    Bytes block(size, 0);
    auto* desc = reinterpret_cast<tpacket_block_desc*>(block.data());
    desc->hdr.bh1.num_pkts = 3;
    desc->hdr.bh1.offset_to_first_pkt = sizeof(tpacket_block_desc);
    size_t at = sizeof(tpacket_block_desc);
    const Bytes payload = Numbered(9, 50);
    const Bytes frame = TqLinkFrame::Write(kDevice, 1000, kLocal, 2000, payload.data(), payload.size());
    for (int i = 0; i < 2; ++i) {
        tpacket3_hdr h{};
        h.tp_mac = sizeof(tpacket3_hdr) + sizeof(TqLinkFrame::Offload);   // the virtio-net header before the frame
        h.tp_snaplen = static_cast<uint32_t>(frame.size()) - (i == 1 ? 10 : 0);
        h.tp_len = static_cast<uint32_t>(frame.size());
        h.tp_next_offset = i == 0 ? 512 : 100000;
        std::memcpy(block.data() + at, &h, sizeof h);
        std::memcpy(block.data() + at + h.tp_mac, frame.data(), h.tp_snaplen);
        at += 512;
    }
    std::vector<Bytes> got;
    int bad = 0;
    GvspRing::Walk(
        block.data(), size, [&](const TqLinkFrame::Datagram& aDatagram) { got.emplace_back(aDatagram.data, aDatagram.data + aDatagram.size); },
        [&] { ++bad; });
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], payload);
    EXPECT_EQ(bad, 1);
}

TEST(RingWalk, HandsWhatTheKernelWouldDeliverEachDatagramOnce) {
    // Each row: a frame of 340 bytes as the kernel lays it (its status, the datagrams' size of a
    // segmented send), twice, and the sizes of the datagrams the walk hands of each, in turn.
    const Bytes payload = Numbered(1, 340);
    auto frame = [&](bool aSum) { return TqLinkFrame::Write(kDevice, 1, kLocal, 2, payload.data(), payload.size(), !aSum); };
    Bytes badUdp = frame(true), badIp = frame(true);
    badUdp[TqLinkFrame::kEthernetSize + TqLinkFrame::kIpMinSize + TqLinkFrame::Udp::kChecksum.at] ^= 0x10;
    TqLinkFrame::Ipv4::kTimeToLive.Put(badIp.data() + TqLinkFrame::kEthernetSize, 1);
    const struct {
        Bytes frame;
        uint32_t status;
        uint16_t segment;
        std::vector<size_t> sizes;
    } rows[] = {{badUdp, TP_STATUS_CSUMNOTREADY, 0, {340}},   // summed by the sender's kernel
                {badUdp, TP_STATUS_CSUM_VALID, 0, {340}},     // checked by the kernel
                {frame(true), 0, 0, {340}},
                {frame(false), 0, 0, {340}},                  // no checksum
                {badUdp, 0, 0, {}},
                {badIp, TP_STATUS_CSUMNOTREADY, 0, {}},
                {frame(false), TP_STATUS_CSUMNOTREADY, 100, {100, 100, 100, 40}},
                {frame(true), 0, 100, {}},                    // segmented, not summed by the kernel
                {frame(false), TP_STATUS_CSUMNOTREADY, 340, {}}};   // "segmented" into one
    for (const auto& row : rows) {
        Bytes block;
        for (int twice = 0; twice < 2; ++twice) GvspRing::Lay(block, row.frame.data(), row.frame.size(), row.status, row.segment);
        // The walk stops once at each datagram and resumes there.
        std::vector<size_t> got;
        GvspRing::Cursor cursor;
        bool stop = true;
        auto each = [&](const TqLinkFrame::Datagram& aDatagram) {
            if ((stop = !stop)) return false;
            const long at = 100 * long(got.size() % std::max<size_t>(row.sizes.size(), 1));   // segments of 100 bytes
            EXPECT_TRUE(std::equal(aDatagram.data, aDatagram.data + aDatagram.size, payload.begin() + at));
            got.push_back(aDatagram.size);
            return true;
        };
        while (!GvspRing::Walk(block.data(), block.size(), each, [] { ADD_FAILURE() << "no frame is cut"; }, cursor)) {
        }
        std::vector<size_t> expected = row.sizes;
        expected.insert(expected.end(), row.sizes.begin(), row.sizes.end());
        EXPECT_EQ(got, expected) << &row - rows;
    }
}

TEST(LinkFrame, ReadsWhatWriteMadeAndNoFrameThatDoesNotHoldTogether) {
    const Bytes payload = Numbered(3, 20);
    Bytes frame = TqLinkFrame::Write(kDevice, 1234, kLocal, 4321, payload.data(), payload.size());
    const auto d = TqLinkFrame::Read(frame.data(), frame.size());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->source, kDevice);
    EXPECT_EQ(d->sourcePort, 1234);
    EXPECT_EQ(d->destination, kLocal);
    EXPECT_EQ(d->destinationPort, 4321);
    EXPECT_EQ(Bytes(d->data, d->data + d->size), payload);
    // Cut, a fragment, another protocol, a UDP length past the IP datagram: none.
    EXPECT_FALSE(TqLinkFrame::Read(frame.data(), frame.size() - 1));
    Bytes fragment = frame;
    TqLinkFrame::Ipv4::kFragment.Put(fragment.data() + TqLinkFrame::kEthernetSize, TqLinkFrame::Ipv4::kMoreFragments);
    EXPECT_FALSE(TqLinkFrame::Read(fragment.data(), fragment.size()));
    Bytes tcp = frame;
    TqLinkFrame::Ipv4::kProtocol.Put(tcp.data() + TqLinkFrame::kEthernetSize, 6);
    EXPECT_FALSE(TqLinkFrame::Read(tcp.data(), tcp.size()));
    Bytes longer = frame;
    TqLinkFrame::Udp::kLength.Put(longer.data() + TqLinkFrame::kEthernetSize + TqLinkFrame::kIpMinSize, 200);
    EXPECT_FALSE(TqLinkFrame::Read(longer.data(), longer.size()));
    EXPECT_TRUE(TqLinkFrame::Write(kDevice, 1, kLocal, 2, payload.data(), 70000).empty());
}
