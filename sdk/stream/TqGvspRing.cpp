// The receiver's packet ring: the packet socket, its filter and its shared memory (see TqGvspRing.h).
#include "TqGvspRing.h"

#include "TqLoopback.h"

#include <linux/filter.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cerrno>
#include <vector>

namespace TqStreamLib {

namespace {

using namespace TqLinkFrame;

// The filter, over a frame from its Ethernet header: an unfragmented IPv4 UDP datagram between the
// ends, taken whole; anything else, nothing.
std::vector<sock_filter> Program(const GvspRing::Ends& aEnds) {
    constexpr uint32_t kIp = kEthernetSize;
    constexpr uint32_t kWhole = 0x40000;   // more than any frame: the frame whole
    std::vector<sock_filter> p;
    // Each check jumps to the end (drop) when it fails; the offsets are filled in once the end is known.
    std::vector<size_t> drops;
    auto load = [&](uint16_t aSize, uint32_t aAt) { p.push_back(BPF_STMT(BPF_LD | aSize | BPF_ABS, aAt)); };
    auto equals = [&](uint32_t aValue) {
        drops.push_back(p.size());
        p.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, aValue, 0, 0));
    };
    load(BPF_H, uint32_t(Ethernet::kType.at));
    equals(kEtherTypeIpv4);
    load(BPF_B, kIp + uint32_t(Ipv4::kProtocol.at));
    equals(kProtocolUdp);
    load(BPF_H, kIp + uint32_t(Ipv4::kFragment.at));
    drops.push_back(p.size());   // a fragment: jump to the end when any of the bits is set
    p.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, Ipv4::kMoreFragments | Ipv4::kOffsetMask, 0, 0));
    load(BPF_W, kIp + uint32_t(Ipv4::kSource.at));
    equals(aEnds.source);
    load(BPF_W, kIp + uint32_t(Ipv4::kDestination.at));
    equals(aEnds.destination);
    p.push_back(BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, kIp));   // X: the IPv4 header's length
    p.push_back(BPF_STMT(BPF_LD | BPF_H | BPF_IND, kIp + uint32_t(Udp::kDestinationPort.at)));
    equals(aEnds.destinationPort);
    if (aEnds.sourcePort) {
        p.push_back(BPF_STMT(BPF_LD | BPF_H | BPF_IND, kIp + uint32_t(Udp::kSourcePort.at)));
        equals(aEnds.sourcePort);
    }
    p.push_back(BPF_STMT(BPF_RET | BPF_K, kWhole));
    const size_t end = p.size();
    p.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
    for (size_t at : drops) {
        const auto skip = static_cast<uint8_t>(end - at - 1);
        if (BPF_OP(p[at].code) == BPF_JSET) p[at].jt = skip;   // set bits: dropped
        else p[at].jf = skip;                                  // not equal: dropped
    }
    return p;
}

bool Attach(int aSocket, const GvspRing::Ends& aEnds) {
    std::vector<sock_filter> program = Program(aEnds);
    sock_fprog fprog{static_cast<unsigned short>(program.size()), program.data()};
    return ::setsockopt(aSocket, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog) == 0;
}

}  // namespace

bool GvspRing::Open(const Ends& aEnds, unsigned aBlocks) {
    Close();
    // No protocol until bound: nothing arrives before the filter is in place.
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    auto fail = [&] {
        const int error = errno;
        ::close(fd);
        errno = error;
        return false;
    };
    const unsigned loopback = ::if_nametoindex("lo");
    int version = TPACKET_V3, one = 1;
    if (!loopback || ::setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0 || !Attach(fd, aEnds))
        return fail();
    // Loopback shows each frame twice, leaving and arriving: the ring takes it arriving.
    if (::setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one) != 0) return fail();
    tpacket_req3 request{};
    request.tp_block_size = kBlockSize;
    request.tp_block_nr = aBlocks;
    request.tp_frame_size = TPACKET_ALIGNMENT << 7;   // not used by blocks, but checked
    request.tp_frame_nr = static_cast<unsigned>(kBlockSize / request.tp_frame_size * aBlocks);
    request.tp_retire_blk_tov = kBlockTimeoutMs;
    if (::setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &request, sizeof request) != 0) return fail();
    void* map = ::mmap(nullptr, kBlockSize * aBlocks, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (map == MAP_FAILED) return fail();
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_IP);
    link.sll_ifindex = static_cast<int>(loopback);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&link), sizeof link) != 0) {
        ::munmap(map, kBlockSize * aBlocks);
        return fail();
    }
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

}  // namespace TqStreamLib
