// The receiver's packet ring: the packet socket, its filter and its shared memory (see TqGvspRing.h).
#include "TqGvspRing.h"

#include "TqLoopback.h"

#include <linux/filter.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace TqStreamLib {

namespace {

using namespace TqLinkFrame;

// The filter, over a frame from its Ethernet header: an unfragmented IPv4 UDP datagram without IP
// options between the ends, for this host (a frame for another host's link address, or of a VLAN
// no device of this host takes, the kernel marks so), taken whole; anything else, nothing.
std::vector<sock_filter> Program(const GvspRing::Ends& aEnds) {
    constexpr uint32_t kIp = kEthernetSize, kUdp = kIp + kIpMinSize;
    constexpr uint32_t kWhole = 0x40000;   // more than any frame: the frame whole
    std::vector<sock_filter> p;
    // Each check jumps to the end (drop) when it fails; the offsets are filled in once the end is
    // known. A drop on a jump's true branch (an equal value, set bits) or on its false one.
    std::vector<std::pair<size_t, bool>> drops;
    auto load = [&](uint16_t aSize, uint32_t aAt) { p.push_back(BPF_STMT(BPF_LD | aSize | BPF_ABS, aAt)); };
    auto jump = [&](uint16_t aTest, uint32_t aValue, bool aDropWhen) {
        drops.emplace_back(p.size(), aDropWhen);
        p.push_back(BPF_JUMP(BPF_JMP | aTest | BPF_K, aValue, 0, 0));
    };
    auto equals = [&](uint32_t aValue) { jump(BPF_JEQ, aValue, false); };
    load(BPF_B, uint32_t(SKF_AD_OFF + SKF_AD_PKTTYPE));
    jump(BPF_JEQ, PACKET_OTHERHOST, true);
    load(BPF_H, uint32_t(Ethernet::kType.at));
    equals(kEtherTypeIpv4);
    load(BPF_B, kIp + uint32_t(Ipv4::kVersionLength.at));
    equals(kVersionLengthPlain);
    load(BPF_B, kIp + uint32_t(Ipv4::kProtocol.at));
    equals(kProtocolUdp);
    load(BPF_H, kIp + uint32_t(Ipv4::kFragment.at));
    jump(BPF_JSET, Ipv4::kMoreFragments | Ipv4::kOffsetMask, true);   // a fragment
    load(BPF_W, kIp + uint32_t(Ipv4::kSource.at));
    equals(aEnds.source);
    load(BPF_W, kIp + uint32_t(Ipv4::kDestination.at));
    equals(aEnds.destination);
    load(BPF_H, kUdp + uint32_t(Udp::kDestinationPort.at));
    equals(aEnds.destinationPort);
    if (aEnds.sourcePort) {
        load(BPF_H, kUdp + uint32_t(Udp::kSourcePort.at));
        equals(aEnds.sourcePort);
    }
    p.push_back(BPF_STMT(BPF_RET | BPF_K, kWhole));
    const size_t end = p.size();
    p.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
    for (const auto& [at, when] : drops) (when ? p[at].jt : p[at].jf) = static_cast<uint8_t>(end - at - 1);
    return p;
}

bool Attach(int aSocket, const GvspRing::Ends& aEnds) {
    std::vector<sock_filter> program = Program(aEnds);
    sock_fprog fprog{static_cast<unsigned short>(program.size()), program.data()};
    return ::setsockopt(aSocket, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog) == 0;
}

// Whether the kernel tells the segments of a segmented UDP send in the virtio-net header (6.2 on);
// asked once.
bool KernelTellsSegments() {
    static const bool tells = [] {
        utsname name{};
        unsigned major = 0, minor = 0;
        return ::uname(&name) == 0 && std::sscanf(name.release, "%u.%u", &major, &minor) == 2 &&
               (major > 6 || (major == 6 && minor >= 2));
    }();
    return tells;
}

}  // namespace

bool GvspRing::Open(const Ends& aEnds, unsigned aBlocks) {
    Close();
    if (!KernelTellsSegments()) {
        errno = ENOTSUP;
        return false;
    }
    // No protocol until bound: nothing arrives before the filter is in place.
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    void* map = MAP_FAILED;
    auto fail = [&] {
        const int error = errno;
        if (map != MAP_FAILED) ::munmap(map, kBlockSize * aBlocks);
        ::close(fd);
        errno = error;
        return false;
    };
    const unsigned loopback = ::if_nametoindex("lo");
    int version = TPACKET_V3, one = 1;
    if (!loopback || ::setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0 || !Attach(fd, aEnds))
        return fail();
    // Loopback shows each frame twice, leaving and arriving: the ring takes it arriving. Each frame
    // comes after a virtio-net header, which tells the segments of a segmented send.
    if (::setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one) != 0 ||
        ::setsockopt(fd, SOL_PACKET, PACKET_VNET_HDR, &one, sizeof one) != 0 ||
        ::setsockopt(fd, SOL_PACKET, PACKET_RESERVE, &kReserve, sizeof kReserve) != 0)
        return fail();
    tpacket_req3 request{};
    request.tp_block_size = kBlockSize;
    request.tp_block_nr = aBlocks;
    request.tp_frame_size = TPACKET_ALIGNMENT << 7;   // not used by blocks, but checked
    request.tp_frame_nr = static_cast<unsigned>(kBlockSize / request.tp_frame_size * aBlocks);
    request.tp_retire_blk_tov = kBlockTimeoutMs;
    if (::setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &request, sizeof request) != 0) return fail();
    map = ::mmap(nullptr, kBlockSize * aBlocks, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (map == MAP_FAILED) return fail();
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_IP);
    link.sll_ifindex = static_cast<int>(loopback);
    // Bound, the socket joins a fanout group of its own, whose kernel side reassembles fragments
    // before the filter sees them.
    const int fanout = (PACKET_FANOUT_CPU | PACKET_FANOUT_FLAG_DEFRAG | PACKET_FANOUT_FLAG_UNIQUEID) << 16;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&link), sizeof link) != 0 ||
        ::setsockopt(fd, SOL_PACKET, PACKET_FANOUT, &fanout, sizeof fanout) != 0)
        return fail();
    struct stat status{};
    if (::fstat(fd, &status) == 0) TqNet::AddOwnRing(mInode = status.st_ino);
    mFd = fd;
    mMap = static_cast<uint8_t*>(map);
    mBlocks = aBlocks;
    mNext = 0;
    return true;
}

bool GvspRing::Filter(const Ends& aEnds) { return mFd >= 0 && Attach(mFd, aEnds); }

void GvspRing::Close() {
    if (mMap) ::munmap(mMap, kBlockSize * mBlocks);
    if (mInode) TqNet::RemoveOwnRing(mInode);
    if (mFd >= 0) ::close(mFd);
    mInode = 0;
    mMap = nullptr;
    mFd = -1;
    mBlocks = mNext = 0;
}

void GvspRing::Lay(std::vector<uint8_t>& aBlock, const uint8_t* aFrame, size_t aSize, uint32_t aStatus,
                   uint16_t aSegment) {
    constexpr size_t kFirst = TPACKET_ALIGN(sizeof(tpacket_block_desc));
    if (aBlock.empty()) {
        aBlock.assign(kFirst, 0);
        auto* desc = reinterpret_cast<tpacket_block_desc*>(aBlock.data());
        desc->version = TPACKET_V3;
        desc->hdr.bh1.offset_to_first_pkt = kFirst;
        desc->hdr.bh1.block_status = TP_STATUS_USER;
    }
    const size_t at = aBlock.size(), whole = TPACKET_ALIGN(kFrameAt + aSize);
    aBlock.resize(at + whole, 0);
    tpacket3_hdr packet{};
    packet.tp_next_offset = static_cast<uint32_t>(whole);
    packet.tp_status = aStatus | TP_STATUS_USER;
    packet.tp_snaplen = packet.tp_len = static_cast<uint32_t>(aSize);
    packet.tp_mac = static_cast<uint16_t>(kFrameAt);
    packet.tp_net = static_cast<uint16_t>(kFrameAt + kEthernetSize);
    std::memcpy(aBlock.data() + at, &packet, sizeof packet);
    Offload offload;
    if (aSegment) {
        offload.segments = Offload::kUdp;
        offload.segmentSize = aSegment;
    }
    std::memcpy(aBlock.data() + at + kFrameAt - sizeof offload, &offload, sizeof offload);
    if (aSize) std::memcpy(aBlock.data() + at + kFrameAt, aFrame, aSize);
    auto* desc = reinterpret_cast<tpacket_block_desc*>(aBlock.data());
    desc->hdr.bh1.num_pkts++;
    desc->hdr.bh1.blk_len = static_cast<uint32_t>(aBlock.size());
}

}  // namespace TqStreamLib
