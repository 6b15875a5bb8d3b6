// The UDP front end (GVCP server on loopback), the stream senders, the messaging channel and the
// registry of running devices.
#include "TqEngineImpl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <utility>

namespace TqEngine {

namespace {

constexpr uint32_t kBroadcast = TqNet::kLoopbackBroadcast;
constexpr uint32_t kLimitedBroadcast = 0xFFFFFFFF;  // 255.255.255.255

// Never destroyed: devices that outlive the statics of this library still find them at exit.
std::mutex& gRegistryMutex = *new std::mutex;
std::vector<Device::Impl*>& gRegistry = *new std::vector<Device::Impl*>;

using TqNet::Endpoint;

int UdpSocket() { return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

// A socket bound to aAddress:aPort, or -1. aShared: other sockets (of other devices, or of other
// programs that set either reuse option) may bind the same address and port.
int Bound(uint32_t aAddress, uint16_t aPort, bool aShared) {
    int fd = UdpSocket();
    if (fd < 0) return -1;
    int one = 1;
    if (aShared) {
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    }
    sockaddr_in a = Endpoint(aAddress, aPort);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends only to loopback and (through the loopback interface) multicast destinations.
bool SendTo(int aSocket, const uint8_t* aData, size_t aSize, uint32_t aAddress, uint16_t aPort) {
    if (aSocket < 0 || aPort == 0 || aAddress == kBroadcast || !(IsLoopback(aAddress) || IsMulticast(aAddress)))
        return false;
    sockaddr_in a = Endpoint(aAddress, aPort);
    return sendto(aSocket, aData, aSize, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) == ssize_t(aSize);
}

// Whether a packet socket listens on the loopback interface (a capture, another receiver's packet
// ring): such a socket sees a coalesced run as the one datagram loopback carries, so while one is
// open the senders send their datagrams one at a time. Read from /proc/net/packet (this network
// namespace's) at most every 100 ms, and afresh with aFresh.
bool LoopbackWatched(bool aFresh) {
    static std::atomic<int64_t> checkedAt{INT64_MIN};
    static std::atomic<bool> watched{false};
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now().time_since_epoch()).count();
    const int64_t last = checkedAt.load(std::memory_order_relaxed);
    if (!aFresh && last != INT64_MIN && now - last < 100) return watched.load(std::memory_order_relaxed);
    const unsigned loopback = if_nametoindex("lo");
    bool found = false;
    if (FILE* table = fopen("/proc/net/packet", "re")) {
        char line[256];
        (void)!fgets(line, sizeof line, table);   // the column names
        while (!found && fgets(line, sizeof line, table)) {
            unsigned protocol = 0;
            int interface = -1, running = 0;
            unsigned long inode = 0;
            // sk RefCnt Type Proto Iface R Rmem User Inode: a running socket of every protocol or of
            // IPv4 on loopback or on every interface, but a stream ring of this process (it takes only
            // the datagrams of its own stream, which no sender coalesces toward it).
            if (sscanf(line, "%*s %*s %*s %x %d %d %*s %*s %lu", &protocol, &interface, &running, &inode) == 4 &&
                running && (protocol == ETH_P_ALL || protocol == ETH_P_IP) &&
                (interface == 0 || unsigned(interface) == loopback) && !TqNet::IsOwnRing(inode))
                found = true;
        }
        fclose(table);
    }
    watched.store(found, std::memory_order_relaxed);
    checkedAt.store(now, std::memory_order_relaxed);
    return found;
}

// The MTU of the path to aAddress:aPort (what an IP datagram that must not be fragmented may be at
// most), or 0 when the kernel does not tell it.
int PathMtu(uint32_t aAddress, uint16_t aPort) {
    const int fd = UdpSocket();
    sockaddr_in to = Endpoint(aAddress, aPort);
    int mtu = 0;
    socklen_t length = sizeof mtu;
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
        getsockopt(fd, IPPROTO_IP, IP_MTU, &mtu, &length) != 0)
        mtu = 0;
    if (fd >= 0) close(fd);
    return mtu;
}

// Whether the kernel coalesces datagrams a sender runs together (UDP_SEGMENT is known).
bool CoalescingKnown() {
    static const bool known = [] {
        const int fd = UdpSocket();
        int off = 0;
        const bool yes = fd >= 0 && setsockopt(fd, SOL_UDP, UDP_SEGMENT, &off, sizeof off) == 0;
        if (fd >= 0) close(fd);
        return yes;
    }();
    return known;
}

// The socket inodes of this process's stream rings.
std::mutex gRingsMutex;
std::vector<unsigned long>& OwnRings() {
    static auto* rings = new std::vector<unsigned long>();
    return *rings;
}

// How many receivers of this process take runs at each local address and port (keyed address << 16
// | port), and whether there is any.
struct RunReceiverSet {
    std::mutex lock;
    std::unordered_map<uint64_t, uint64_t> counts;
    std::atomic<bool> any{false};

    static uint64_t Key(uint32_t aAddress, uint16_t aPort) { return uint64_t(aAddress) << 16 | aPort; }
};
RunReceiverSet& RunReceivers() {
    static auto* set = new RunReceiverSet;   // receivers may close while the process exits
    return *set;
}

// Sends packets of blocks to one destination (as SendTo allows) with sendmmsg, many packets a call:
// each packet goes out as its header and the pieces of its payload where they lie. To a unicast
// loopback destination payload packets go out coalesced (see TqNet::RunLength): the packets of a
// block that follow one another, of one size but a shorter last, in runs that begin at packet 1 and
// every RunLength packets after it; leaders and trailers go alone. Not while a packet socket watches
// loopback, nor once the kernel refused a run (that run goes out again one datagram at a time). The
// blocks must live until Flush. What is queued leaves only while the channel's term (Channel::terms)
// is the one it was planned in: nothing more once the channel closed or its socket changed.
class Batch {
public:
    Batch() : mHeaderBytes(new std::array<uint8_t, WireBlock::kMaxPayloadHeader>[kMostPackets]) {}

    void To(int aSocket, uint32_t aAddress, uint16_t aPort, const Channel& aChannel, uint64_t aTerm) {
        mTerms = &aChannel.terms;
        mTerm = aTerm;
        mSocket = aSocket;
        mUsable = aSocket >= 0 && aPort != 0 && aAddress != kBroadcast && (IsLoopback(aAddress) || IsMulticast(aAddress));
        mCoalesce = mUsable && !mRefused && IsLoopback(aAddress) && TqNet::TakesRuns(aAddress, aPort) && CoalescingKnown() &&
                    !LoopbackWatched(false);
        mTo = Endpoint(aAddress, aPort);
    }
    // Queues packet aPacket of aBlock (nothing when the destination is not one to send to).
    void Add(const WireBlock& aBlock, uint32_t aPacket) {
        if (!mUsable) return;
        const size_t bytes = aBlock.PacketBytes(aPacket);
        const bool payload = aPacket >= 1 && aPacket <= aBlock.count;
        if (!Joins(aBlock, aPacket, bytes)) {
            const size_t run = mCoalesce && payload ? TqNet::RunLength(bytes) : 1;
            if (mMessages.size() == kMostMessages || mPackets.size() + run > kMostPackets) Flush();
            mMessages.push_back({mPieces.size(), 0, mPackets.size(), 0, bytes, run, &aBlock, aPacket, !payload});
        }
        Message& m = mMessages.back();
        mPieces.resize(mPieces.size() + WireBlock::kMaxPieces);
        const size_t used = aBlock.Gather(aPacket, mHeaderBytes[mPackets.size()].data(), &mPieces[m.firstPiece + m.pieces]);
        mPieces.resize(m.firstPiece + m.pieces + used);
        mPackets.push_back(uint16_t(used));
        m.pieces += used;
        m.packets++;
        m.last = aPacket;
        if (bytes < m.segment || m.packets == m.run) m.closed = true;   // only the last of a run may be shorter
    }
    // Sends what is queued; the packets that left since the last Sent.
    void Flush() {
        if (mTerms && mTerms->load() != mTerm) mMessages.clear();   // the channel closed or moved meanwhile
        std::vector<mmsghdr>& out = mOut;
        out.assign(mMessages.size(), mmsghdr{});
        mControl.resize(mMessages.size());
        for (size_t k = 0; k < mMessages.size(); ++k) {
            const Message& m = mMessages[k];
            msghdr& h = out[k].msg_hdr;
            h.msg_name = &mTo;
            h.msg_namelen = sizeof mTo;
            h.msg_iov = &mPieces[m.firstPiece];
            h.msg_iovlen = m.pieces;
            if (m.packets > 1) {   // a run: the kernel splits it at each datagram's size
                h.msg_control = mControl[k].bytes;
                h.msg_controllen = sizeof mControl[k].bytes;
                cmsghdr* c = CMSG_FIRSTHDR(&h);
                c->cmsg_level = SOL_UDP;
                c->cmsg_type = UDP_SEGMENT;
                c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
                const uint16_t segment = uint16_t(m.segment);
                std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
            }
        }
        for (size_t next = 0; next < out.size();) {
            const int n = sendmmsg(mSocket, out.data() + next, unsigned(out.size() - next), 0);
            if (n > 0) {
                for (size_t k = next; k < next + size_t(n); ++k) mSent += mMessages[k].packets;
                next += size_t(n);
            } else if (errno != EINTR) {
                if (mMessages[next].packets > 1) {   // the kernel would not take the run: one by one
                    mRefused = true;
                    mCoalesce = false;
                    SendApart(mMessages[next]);
                }
                ++next;   // what failed does not count
            }
        }
        mMessages.clear();
        mPieces.clear();
        mPackets.clear();
    }
    uint64_t Sent() {
        Flush();
        return std::exchange(mSent, 0);
    }

private:
    // A queued send: its pieces and packets in the pools, the size of its first datagram, how many
    // datagrams it may hold, the block and last packet it holds, whether it takes no more.
    struct Message {
        size_t firstPiece, pieces, firstPacket, packets, segment, run;
        const WireBlock* block;
        uint32_t last;
        bool closed;
    };
    static constexpr size_t kMostMessages = 64, kMostPackets = 4096;
    static constexpr size_t kMostPieces = 1024;   // of one send (the kernel's limit of an iovec array)

    // Whether packet aPacket (of aBytes) continues the last queued run.
    bool Joins(const WireBlock& aBlock, uint32_t aPacket, size_t aBytes) const {
        if (!mCoalesce || mMessages.empty()) return false;
        const Message& m = mMessages.back();
        return !m.closed && m.block == &aBlock && aPacket == m.last + 1 && aPacket <= aBlock.count &&
               (aPacket - 1) % m.run != 0 && aBytes <= m.segment && m.pieces + WireBlock::kMaxPieces <= kMostPieces;
    }

    // Sends the datagrams of a run one by one.
    void SendApart(const Message& aMessage) {
        size_t piece = aMessage.firstPiece;
        for (size_t k = 0; k < aMessage.packets; ++k) {
            msghdr h{};
            h.msg_name = &mTo;
            h.msg_namelen = sizeof mTo;
            h.msg_iov = &mPieces[piece];
            h.msg_iovlen = mPackets[aMessage.firstPacket + k];
            piece += h.msg_iovlen;
            if (sendmsg(mSocket, &h, 0) >= 0) ++mSent;
        }
    }

    struct Control {
        alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(uint16_t))];
    };
    const std::atomic<uint64_t>* mTerms = nullptr;
    uint64_t mTerm = 0;
    int mSocket = -1;
    bool mUsable = false, mCoalesce = false, mRefused = false;
    sockaddr_in mTo{};
    uint64_t mSent = 0;
    std::vector<Message> mMessages;
    std::vector<iovec> mPieces;
    std::vector<uint16_t> mPackets;   // each queued packet's pieces
    std::unique_ptr<std::array<uint8_t, WireBlock::kMaxPayloadHeader>[]> mHeaderBytes;
    std::vector<mmsghdr> mOut;
    std::vector<Control> mControl;
};

// Sends packets aFirst to aLast of aBlock (those it has): to the stream tap when there is one (each
// copied out whole), else through aBatch; aDropped(p) answers whether a fault drops packet p. The
// packets that left.
template <class Dropped>
uint64_t SendPackets(const WireBlock& aBlock, uint32_t aFirst, uint32_t aLast, uint32_t aChannel,
                     const Device::StreamTap& aTap, Batch& aBatch, std::vector<uint8_t>& aTapped, Dropped aDropped) {
    uint64_t sent = 0;
    for (uint32_t p = aFirst; p <= aLast && p < aBlock.Packets(); ++p) {
        if (aDropped(p)) continue;
        if (aTap) {
            aBlock.CopyPacket(p, aTapped);
            aTap(aChannel, aTapped.data(), aTapped.size());
            ++sent;
        } else {
            aBatch.Add(aBlock, p);
        }
    }
    return sent + aBatch.Sent();
}

// The time a PENDING_ACK names, or none for another acknowledge.
std::optional<uint16_t> PendingTime(const std::vector<uint8_t>& aAck) {
    const auto ack = Gvcp::AckView::Of(aAck.data(), aAck.size());
    if (!ack || ack->Code() != Gvcp::kPendingAck) return std::nullopt;
    const auto pending = Gvcp::PendingAck::Of(ack->Payload());
    return pending ? std::optional<uint16_t>(pending->TimeToCompletion()) : std::nullopt;
}

}  // namespace

std::vector<DeviceRecord> RunningDevices() {
    std::lock_guard lock(gRegistryMutex);
    std::vector<DeviceRecord> out;
    for (Device::Impl* d : gRegistry) out.push_back({d->config.identity, d->address.load()});
    return out;
}

uint16_t Device::SetIdentityString(IdentityString aString, const std::string& aText) {
    if (aText.size() > IdentityCapacity(aString) || aText.find('\0') != std::string::npos)
        return Gvcp::kInvalidParameter;
    Impl& d = *mImpl;
    std::lock_guard lock(d.mutex);
    std::lock_guard registry(gRegistryMutex);   // the registry tells the identity
    Identity& id = d.config.identity;
    auto place = [&](std::string& aKept, uint32_t aRegister) {
        aKept = aText;
        std::fill_n(&d.boot[aRegister], IdentityCapacity(aString) + 1, 0);
        std::copy(aText.begin(), aText.end(), &d.boot[aRegister]);
    };
    switch (aString) {
    case IdentityString::kManufacturer: place(id.manufacturer, Reg::kManufacturerName); break;
    case IdentityString::kModel: place(id.model, Reg::kModelName); break;
    case IdentityString::kVersion: place(id.version, Reg::kDeviceVersion); break;
    case IdentityString::kManufacturerInfo: place(id.manufacturerInfo, Reg::kManufacturerInfo); break;
    case IdentityString::kSerial: place(id.serial, Reg::kSerialNumber); break;
    case IdentityString::kUserName: place(id.userName, Reg::kUserName); break;
    case IdentityString::kFirmwareVersion:
        id.firmwareVersion = aText;
        d.firmware.fill(0);
        std::copy(aText.begin(), aText.end(), d.firmware.begin());
        break;
    }
    return Gvcp::kSuccess;
}

// ---------------------------------------------------------------------------------------------
// Deferred actions and stream senders.

void Device::Impl::Apply(unsigned aActions) {
    if (aActions & (kActionStopStreams | kActionStartStreams | kActionReset)) {
        if (aActions & (kActionStopStreams | kActionReset)) HaltSenders();
        std::lock_guard control(controlMutex);
        if (aActions & (kActionStopStreams | kActionReset)) StopStreams();
        if (aActions & kActionReset) {   // no sender runs now
            for (auto& ch : channels) {
                {
                    std::lock_guard lock(mutex);
                    ch->blockId = 0;
                }
                ch->Forget(false);
            }
        }
        if (aActions & kActionStartStreams) StartStreams();
    }
    if (aActions & kActionTestPacket) {
        uint32_t channel;
        {
            std::lock_guard lock(mutex);
            channel = testChannel;
        }
        SendTestPacket(channel);
    }
    if (aActions & kActionSerial) DeliverSerial();
    if (aActions & kActionNotify) DeliverNotices();
}

void Channel::Keep(SentBlock aBlock) {
    aBlock.bytes = aBlock.block->Bytes();
    std::deque<SentBlock> released;   // freed after the lock, so that a resend does not wait for it
    {
        std::lock_guard lock(historyMutex);
        historyBytes += aBlock.bytes;
        const uint64_t newest = aBlock.sentAt;
        history.push_back(std::move(aBlock));
        while (history.size() > kHistoryMinBlocks &&
               (historyBytes > kHistoryBudget || newest > history.front().sentAt + kHistoryAge)) {
            historyBytes -= history.front().bytes;
            released.push_back(std::move(history.front()));
            history.pop_front();
        }
        // Out of the history nothing finds a block again: memory that no resend holds is free.
        for (const SentBlock& gone : released) {
            if (spares.size() >= kSpares || gone.block.use_count() != 1 || !gone.block->owned ||
                gone.block->owned.use_count() != 1)
                continue;
            std::atomic_thread_fence(std::memory_order_acquire);   // after the last resend's reads
            spares.push_back(gone.block->owned);
        }
    }
}

void Channel::Forget(bool aSpares) {
    std::deque<SentBlock> released;   // freed after the lock
    std::vector<std::shared_ptr<Payload>> unused;
    std::lock_guard lock(historyMutex);
    released.swap(history);
    historyBytes = 0;
    if (aSpares) unused.swap(spares);
}

std::shared_ptr<Payload> Channel::Spare() {
    std::lock_guard lock(historyMutex);
    if (spares.empty()) return std::make_shared<Payload>(payloads);
    std::shared_ptr<Payload> spare = std::move(spares.back());
    spares.pop_back();
    return spare;
}

ChannelSocket::~ChannelSocket() {
    if (fd >= 0) close(fd);
}

namespace {

// A channel's socket bound to aFrom, at aPort again where it is free (else any port), or null.
// Packets to a group leave through loopback alone.
std::shared_ptr<const ChannelSocket> OpenChannelSocket(uint32_t aFrom, uint16_t aPort) {
    auto made = std::make_shared<ChannelSocket>();
    made->fd = aPort ? Bound(aFrom, aPort, false) : -1;
    if (made->fd < 0) made->fd = Bound(aFrom, 0, false);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (made->fd < 0 || getsockname(made->fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return nullptr;
    in_addr loopback{};
    loopback.s_addr = htonl(TqNet::kLoopback);
    unsigned char ttl = 0;
    setsockopt(made->fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
    setsockopt(made->fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    made->from = aFrom;
    made->port = ntohs(local.sin_port);
    return made;
}

}  // namespace

void Device::Impl::KeepChannelSockets() {
    const uint32_t from = address.load();
    for (auto& ch : channels) {
        const std::shared_ptr<const ChannelSocket> before = ch->socket;
        if (from == 0) {
            ch->socket = nullptr;   // a stopped device lets its ports go
        } else if (!before || before->from != from) {
            // The channel's port is its own from the device's start to its stop, open or closed, as a
            // camera's is: a receiver that learnt it goes on receiving, and nobody else sends from it.
            // At the device's new address it keeps its number where it can.
            ch->socket = OpenChannelSocket(from, before ? before->port : ch->lastPort);
            if (ch->socket) ch->lastPort = ch->socket->port;
        }
        const bool open = ch->socket && (Boot32(Reg::Scp(ch->index)) & 0xFFFF) != 0;
        if (open != ch->open || ch->socket != before) ch->terms.fetch_add(1);
        ch->open = open;
        SetBoot32(Reg::Scsp(ch->index), open ? ch->socket->port : 0);
    }
}

void Device::Impl::StartStreams() {
    std::lock_guard lock(mutex);
    if (!acquiring) return;
    for (auto& owned : channels) {
        Channel* ch = owned.get();
        if (active[ch->index]) continue;
        if (ch->thread.joinable()) {
            // A finished sender (single frame): it no longer takes the mutex.
            std::thread finished = std::move(ch->thread);
            mutex.unlock();
            finished.join();
            mutex.lock();
            if (!acquiring) return;
        }
        const bool destination = (Boot32(Reg::Scp(ch->index)) & 0xFFFF) && Boot32(Reg::Scda(ch->index));
        if (!destination && !streamTap && !ch->sink) continue;
        ch->stop = false;
        active[ch->index] = true;
        ch->thread = std::thread([this, ch] { SenderLoop(ch); });
    }
}

namespace {

// Calls into a frame provider: its answer (true for an operation without one), false when it throws.
template <class Call>
bool Guarded(Call aCall) {
    try {
        if constexpr (std::is_void_v<decltype(aCall())>) {
            aCall();
            return true;
        } else {
            return aCall();
        }
    } catch (...) {
        return false;
    }
}

// Whether a provider's frame names the memory of the sizes it gives.
bool Whole(const Frame& aFrame) {
    return (aFrame.image || !aFrame.imageSize) && (aFrame.chunks || !aFrame.chunkSize) &&
           std::all_of(aFrame.parts.begin(), aFrame.parts.end(), [](const FramePart& aPart) {
               return aPart.data || !aPart.size;
           }) && aFrame.parts.size() <= 255;
}

// The block ID after the channel's last one, in the form the channel sends.
uint64_t NextIdOf(const Channel& aChannel, bool aExtended) {
    return aExtended ? NextExtendedBlockId(aChannel.blockId) : NextBlockId(uint16_t(aChannel.blockId));
}

// Copies a provider's block into memory of the channel's (a spare), which the block then owns: the
// provider's memory is free again, and the history keeps the copy.
void Own(WireBlock& aBlock, Channel& aChannel) {
    aBlock.owned = aChannel.Spare();
    uint8_t* bytes = aBlock.owned->Reserve(aBlock.total);
    for (WireBlock::Part& part : aBlock.parts) {
        if (part.size) std::memcpy(bytes, part.data, part.size);
        part.data = bytes;
        bytes += part.size;
    }
    if (aBlock.parts.empty()) {
        const size_t chunkBytes = aBlock.total - aBlock.imageSize;
        if (aBlock.imageSize) std::memcpy(bytes, aBlock.image, aBlock.imageSize);
        if (chunkBytes) std::memcpy(bytes + aBlock.imageSize, aBlock.chunks, chunkBytes);
        aBlock.image = bytes;
        aBlock.chunks = bytes + aBlock.imageSize;
    }
}

}  // namespace

void Device::Impl::HaltSenders() {
    std::vector<std::pair<uint32_t, std::shared_ptr<FrameProvider>>> asked;
    {
        std::lock_guard lock(mutex);
        for (auto& ch : channels) {
            ch->stop = true;
            if (ch->providerInUse) asked.emplace_back(ch->index, ch->providerInUse);
        }
    }
    for (auto& ch : channels) ch->wake.notify_all();
    for (const auto& running : asked) Guarded([&] { running.second->Interrupt(running.first); });
}

void Device::Impl::StopStreams() {
    {
        std::lock_guard lock(mutex);
        for (auto& ch : channels) ch->stop = true;
    }
    for (auto& ch : channels) {
        ch->wake.notify_all();
        if (ch->thread.joinable()) ch->thread.join();
    }
}

namespace {

// The pace of a channel's packets when the controller asks for a delay between them (SCPD): packet k
// of a frame leaves no earlier than the frame's start + k x delay, and a frame starts no earlier than
// one delay after the last packet of the one before. What is due leaves together and the sender
// sleeps until the next packet is due, so a short delay costs no wake-up a packet; a sender that
// woke late sends what it owes at once, but at most kCatchUp of it (after a longer stall, on a busy
// machine, the schedule moves on instead of bursting).
class PacketPace {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::microseconds kCatchUp{200};

    // A frame begins, its packets aDelay apart (0: unpaced).
    void Begin(std::chrono::nanoseconds aDelay) {
        delay = aDelay;
        next = std::max(next, Clock::now());
    }
    bool Paced() const { return delay.count() > 0; }
    // When the next packet is due.
    Clock::time_point Next() const { return next; }
    // How many of aLeft packets are due at aNow (0: none yet); they count as sent.
    uint32_t Take(Clock::time_point aNow, uint32_t aLeft) {
        if (aNow < next) return 0;
        if (aNow - next > kCatchUp) next = aNow - kCatchUp;
        const uint32_t due = uint32_t(std::min<uint64_t>(aLeft, 1 + uint64_t((aNow - next) / delay)));
        next += due * delay;
        return due;
    }

private:
    std::chrono::nanoseconds delay{0};
    Clock::time_point next{};
};

// One stream channel's sender thread: what it keeps from frame to frame (its socket, its batch, the
// provider of its run, the frames' and the packets' pace) and the steps of one frame.
class Sender {
public:
    Sender(Device::Impl& aDevice, Channel* aChannel) : d(aDevice), ch(aChannel), n(aChannel->index) {}

    void Run() {
        {
            std::lock_guard lock(d.mutex);
            provider = ch->providerInUse = ch->provider;
        }
        if (provider) Guarded([&] { provider->Started(n); });
        LoopbackWatched(true);   // a receiver's packet ring opened just before the acquisition counts
        for (;;) {
            Frame frame;
            if (provider) {
                const Next next = TakeProviderFrame(frame);
                if (next == Next::kEnd) break;
                if (next == Next::kSkip) continue;
            }
            Plan plan;
            if (!PlanFrame(frame, plan)) {
                Done(frame, false);
                break;
            }
            frame.blockId = plan.block;
            frame.timestamp = plan.timestamp;   // as the leader tells it, for the provider
            const bool toSocket = !plan.sink && !plan.tap && plan.port && plan.destination && plan.socket;
            const bool nowhere = !plan.sink && !(plan.link && (plan.tap || toSocket));
            if (plan.sink) {
                ToSink(frame, plan);
            } else if (!nowhere) {
                ToWire(frame, plan, toSocket);
            } else {
                Done(frame, false);
            }
            if (!Pace(plan, nowhere)) break;
        }
        if (provider) Guarded([&] { provider->Stopped(n); });
        std::lock_guard lock(d.mutex);
        ch->providerInUse = nullptr;
        d.active[n] = false;
    }

private:
    // What sending one frame takes from the registers and the channel, read at once under the mutex.
    struct Plan {
        FrameLayout layout;
        uint32_t destination = 0, port = 0, dropEvery = 0, period = 0;
        std::chrono::nanoseconds delay{0};   // between packets
        uint64_t counter = 0, timestamp = 0, sentAt = 0, block = 0;
        bool link = false, paced = false, single = false, notify = false, extended = false;
        Device::StreamTap tap;
        Device::BlockSink sink;
        std::shared_ptr<const ChannelSocket> socket;   // the channel's, held while the frame leaves
        uint64_t term = 0;                              // the channel's, as the frame was planned
        size_t bytes = 0;
    };
    enum class Next { kFrame, kSkip, kEnd };

    // A provider's frame, waited for without the mutex: kSkip when there is none this time (or it
    // names no memory), kEnd when the channel stops or the provider's run is over.
    Next TakeProviderFrame(Frame& aFrame) {
        {
            std::lock_guard lock(d.mutex);
            if (ch->stop || !d.acquiring) return Next::kEnd;
            aFrame.blockId = NextIdOf(*ch, d.ExtendedIds());
        }
        if (!Guarded([&] { return provider->NextFrame(n, aFrame); })) {
            if (!Guarded([&] { return provider->Ended(n); })) return Next::kSkip;
            // This channel's run is over; the device acquires on while another channel sends.
            std::lock_guard lock(d.mutex);
            if (std::none_of(d.channels.begin(), d.channels.end(),
                             [&](const auto& aOther) { return aOther->index != n && d.active[aOther->index]; }))
                d.acquiring = false;
            return Next::kEnd;
        }
        if (!Whole(aFrame)) {
            Guarded([&] { provider->FrameDone(n, aFrame, false); });
            return Next::kSkip;
        }
        return Next::kFrame;
    }

    // Reads the frame's layout, destination and settings and takes its block ID and packet counts;
    // false when the channel stops.
    bool PlanFrame(const Frame& aFrame, Plan& p) {
        std::lock_guard lock(d.mutex);
        if (ch->stop || !d.acquiring) return false;
        if (provider) {
            p.layout = {aFrame.width, aFrame.height, aFrame.offsetX, aFrame.offsetY, aFrame.pixelFormat};
            p.bytes = aFrame.imageSize + aFrame.chunkSize;
            for (const FramePart& part : aFrame.parts) p.bytes += part.size;
        } else {
            p.layout.width = d.Format(n, Reg::kWidth);
            p.layout.height = d.Format(n, Reg::kHeight);
            p.layout.offsetX = d.Format(n, Reg::kOffsetX);
            p.layout.offsetY = d.Format(n, Reg::kOffsetY);
            p.layout.pixelFormat = d.Format(n, Reg::kPixelFormat);
            p.bytes = ImageBytes(p.layout);
        }
        p.layout.packetSize = d.Boot32(Reg::Scps(n)) & 0xFFFF;
        p.destination = d.Boot32(Reg::Scda(n));
        p.port = d.Boot32(Reg::Scp(n)) & 0xFFFF;
        p.link = d.linkUp;
        p.paced = !provider && d.Feature(Reg::kFrameRateEnable) != 0;   // a provider keeps its own pace
        p.period = d.Feature(Reg::kFramePeriod);
        p.delay = d.PacketDelay(n);
        p.single = d.Feature(Reg::kAcquisitionMode) == 1;
        p.notify = d.Feature(Reg::kEventNotification) != 0;
        p.tap = d.streamTap;
        p.socket = ch->socket;
        p.term = ch->terms.load();
        p.dropEvery = d.faults.dropGvspEvery;
        p.extended = d.ExtendedIds();
        // A provider's own block ID goes out whole with extended IDs, else as its low 16 bits (the way
        // a standard block ID wraps); the channel's count where it names none, or its low bits are 0,
        // which is no block ID on the wire.
        p.block = NextIdOf(*ch, p.extended);
        if (provider && aFrame.blockId) {
            const uint64_t own = p.extended ? aFrame.blockId : uint16_t(aFrame.blockId);
            if (own) p.block = own;
        }
        ch->blockId = p.block;
        p.timestamp = provider && aFrame.timestamp ? *aFrame.timestamp : d.Timestamp();
        p.sentAt = d.Now();
        size_t packetCount = 0;
        if (p.link && ch->sink) {
            p.sink = ch->sink;
            ch->sinkInCall = ch->sinkGeneration;
        } else {
            packetCount = PacketsOf(aFrame, p.bytes, p.layout.packetSize, p.extended);
        }
        p.counter = d.gvspCounter;
        d.gvspCounter += packetCount;
        return true;
    }

    // Gives a provider's frame back: whether it left (to the destination, the tap or the sink).
    void Done(Frame& aFrame, bool aTaken) {
        if (provider) Guarded([&] { provider->FrameDone(n, aFrame, aTaken); });
    }

    // The FrameEnd event of a frame that left, when events are on.
    void FrameEnd(const Plan& p) {
        if (!p.notify) return;
        TqWire::Put64(eventData.data(), p.block);
        TqWire::Put64(eventData.data() + 8, p.timestamp);
        d.FireEvent(kFrameEndEventId, eventData.data(), eventData.size(), p.block, uint16_t(n));
    }

    // The whole frame to the consumer in this process.
    void ToSink(Frame& aFrame, Plan& p) {
        Block whole;
        whole.channel = n;
        whole.blockId = p.block;
        whole.timestamp = p.timestamp;
        whole.layout = p.layout;
        whole.size = p.bytes;
        whole.frame = provider ? &aFrame : nullptr;
        p.sink(whole);
        p.sink = nullptr;   // what it holds is let go outside the mutex
        {
            std::lock_guard lock(d.mutex);
            ch->sinkInCall = 0;
            d.stats.framesSent++;
        }
        ch->sinkIdle.notify_all();
        Done(aFrame, true);
        FrameEnd(p);
    }

    // The frame's block: the history holds a copy of a provider's frame, whose memory is free again
    // once it is made.
    std::shared_ptr<const WireBlock> MakeWire(const Frame& aFrame, const Plan& p) {
        if (!provider)
            return std::make_shared<const WireBlock>(MakePatternBlock(p.layout, p.block, p.timestamp, ch, p.extended));
        WireBlock made = MakeBlock(aFrame, p.timestamp, p.layout.packetSize, p.extended);
        if (made.total) Own(made, *ch);
        return std::make_shared<const WireBlock>(std::move(made));
    }

    // The frame's packets to the destination or the tap, each one the drop fault spares, the block
    // kept for resends.
    void ToWire(Frame& aFrame, Plan& p, bool aToSocket) {
        std::shared_ptr<const WireBlock> wire = MakeWire(aFrame, p);
        ch->Keep({p.block, p.sentAt, 0, wire});
        uint64_t dropped = 0;
        batch->To(aToSocket ? p.socket->fd : -1, p.destination, uint16_t(p.port), *ch, p.term);
        auto drop = [&](uint32_t) {
            const bool dropping = p.dropEvery && ++p.counter % p.dropEvery == 0;
            dropped += dropping;
            return dropping;
        };
        pace.Begin(p.delay);
        bool whole = false;
        const uint64_t sent = SendPaced(*wire, p, drop, whole);
        {
            std::lock_guard lock(d.mutex);
            d.stats.framesSent += whole;
            d.stats.framesOverrun += aFrame.overrun;
            d.stats.gvspPacketsSent += sent;
            d.stats.gvspPacketsDropped += dropped;
        }
        Done(aFrame, true);
        if (whole) FrameEnd(p);
    }

    // Sends the packets of aWire as the pace lets them leave (at once when unpaced): the packets that
    // left, and in aWhole whether the channel sent them all (it did not stop halfway).
    template <class Dropped>
    uint64_t SendPaced(const WireBlock& aWire, const Plan& p, Dropped aDropped, bool& aWhole) {
        const uint32_t packets = uint32_t(aWire.Packets());
        uint64_t sent = 0;
        uint32_t next = 0;
        while (next < packets) {
            const uint32_t due = pace.Paced() ? Due(packets - next) : packets - next;
            if (due == 0) break;
            sent += SendPackets(aWire, next, next + due - 1, n, p.tap, *batch, tapped, aDropped);
            next += due;
        }
        aWhole = next == packets;
        return sent;
    }

    // Waits until the pace lets a packet leave: how many of aLeft may leave now, 0 when the channel
    // stops first.
    uint32_t Due(uint32_t aLeft) {
        for (;;) {
            if (const uint32_t due = pace.Take(PacketPace::Clock::now(), aLeft)) return due;
            std::unique_lock lock(d.mutex);
            if (ch->wake.wait_until(lock, pace.Next(), [&] { return ch->stop || !d.acquiring; })) return 0;
        }
    }

    // Waits for the next frame's time (at the frame rate, or a while when nothing takes the frames);
    // false when the run is over (a single frame).
    bool Pace(const Plan& p, bool aNowhere) {
        std::unique_lock lock(d.mutex);
        if (p.single) {
            d.acquiring = false;
            return false;
        }
        const auto stopped = [&] { return ch->stop || !d.acquiring; };
        if (p.paced) {
            deadline += std::chrono::microseconds(p.period);
            const auto now = std::chrono::steady_clock::now();
            if (deadline < now - std::chrono::microseconds(p.period)) deadline = now;  // do not catch up a backlog
            ch->wake.wait_until(lock, deadline, stopped);
        } else if (!p.link || aNowhere) {   // no spinning while nothing takes the frames
            ch->wake.wait_for(lock, std::chrono::milliseconds(10), stopped);
        }
        return true;
    }

    Device::Impl& d;
    Channel* const ch;
    const uint32_t n;
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::now();
    PacketPace pace;
    std::vector<uint8_t> eventData = std::vector<uint8_t>(16);
    std::vector<uint8_t> tapped;   // a packet for the stream tap
    std::unique_ptr<Batch> batch = std::make_unique<Batch>();
    std::shared_ptr<FrameProvider> provider;   // this run's, taken as it starts
};

}  // namespace

void Device::Impl::SenderLoop(Channel* aChannel) { Sender(*this, aChannel).Run(); }

void Device::Impl::SendTestPacket(uint32_t aChannel) {
    uint32_t destination, port, size;
    bool link;
    StreamTap tap;
    std::shared_ptr<const ChannelSocket> socket;
    {
        std::lock_guard lock(mutex);
        destination = Boot32(Reg::Scda(aChannel));
        port = Boot32(Reg::Scp(aChannel)) & 0xFFFF;
        size = Boot32(Reg::Scps(aChannel)) & 0xFFFF;
        link = linkUp && size <= config.maxPacketSize;   // beyond the path's limit it is lost
        tap = streamTap;
        socket = channels[aChannel]->socket;
    }
    if (!link || (!tap && (!port || !destination || !socket))) return;
    // The test packet fills the whole packet size: a GVSP header of zeros, then bytes counting up.
    std::vector<uint8_t> packet(size - Gvsp::kIpUdpOverhead, 0);
    for (size_t i = Gvsp::kHeaderSize; i < packet.size(); ++i) packet[i] = uint8_t(i);
    bool sent = false;
    if (tap) {
        tap(aChannel, packet.data(), packet.size());
        sent = true;
    } else {
        // It must not be fragmented: beyond the path's MTU it is lost (the channel's socket lets
        // frames fragment, so the path is asked on a socket of its own).
        const int mtu = PathMtu(destination, uint16_t(port));
        sent = (mtu <= 0 || packet.size() + Gvsp::kIpUdpOverhead <= size_t(mtu)) &&
               SendTo(socket->fd, packet.data(), packet.size(), destination, uint16_t(port));
    }
    if (sent) {
        std::lock_guard lock(mutex);
        stats.testPacketsIssued++;
    }
}

uint64_t Device::Impl::Resend(const ResendRequest& aRequest) {
    const uint32_t channel = aRequest.channel, first = aRequest.first, last = aRequest.last;
    uint32_t destination, port;
    StreamTap tap;
    std::shared_ptr<const ChannelSocket> socket;   // the channel's: resends leave from its port too
    uint64_t term;
    {
        std::lock_guard lock(mutex);
        if (!linkUp) return 0;
        destination = Boot32(Reg::Scda(channel));
        port = Boot32(Reg::Scp(channel)) & 0xFFFF;
        tap = streamTap;
        socket = channels[channel]->socket;
        term = channels[channel]->terms.load();
    }
    const int fd = socket ? socket->fd : -1;
    // The newest block of that ID, asked for in the form it went out.
    Channel* ch = channels[channel].get();
    std::shared_ptr<const WireBlock> frame;
    {
        std::lock_guard history(ch->historyMutex);
        for (auto it = ch->history.rbegin(); it != ch->history.rend() && !frame; ++it)
            if (it->id == aRequest.block && it->block->extended == aRequest.extended) frame = it->block;
    }
    const bool found = frame && first <= last && first < frame->Packets();
    if (!found) {
        // The block is gone: one packet with the error status tells the receiver to stop asking.
        uint8_t unavailable[Gvsp::kExtendedHeaderSize];
        const size_t size = WireBlock::WriteHeader(unavailable, aRequest.extended, Gvcp::kPacketUnavailable, aRequest.block,
                                                   Gvsp::kFormatPayload, first);
        if (tap) tap(channel, unavailable, size);
        else SendTo(fd, unavailable, size, destination, uint16_t(port));
        std::lock_guard lock(mutex);
        stats.resendsUnavailable++;
        return size;
    }
    auto batch = std::make_unique<Batch>();
    batch->To(fd, destination, uint16_t(port), *ch, term);
    std::vector<uint8_t> tapped;
    const uint64_t sent = SendPackets(*frame, first, last, channel, tap, *batch, tapped, [](uint32_t) { return false; });
    std::lock_guard lock(mutex);
    stats.packetsResent += sent;
    return sent * (frame->PayloadHeader() + frame->chunk);
}

void Device::Impl::ResenderLoop() {
    // The budget: bytes that may leave now, refilled at kResendBytesPerSecond up to a burst's worth;
    // a request is served while it is not spent, and may overdraw it by its own bytes.
    double budget = double(kResendBurstBytes);
    auto refilled = std::chrono::steady_clock::now();
    const auto refill = [&] {
        const auto now = std::chrono::steady_clock::now();
        budget = std::min(double(kResendBurstBytes),
                          budget + std::chrono::duration<double>(now - refilled).count() * double(kResendBytesPerSecond));
        refilled = now;
    };
    std::unique_lock lock(resendMutex);
    for (;;) {
        resendWake.wait(lock, [&] { return resendStop || !resendQueue.empty(); });
        for (refill(); budget < 0 && !resendStop; refill()) {
            const auto owed = std::chrono::duration<double>(-budget / double(kResendBytesPerSecond));
            resendWake.wait_for(lock, std::chrono::duration_cast<std::chrono::microseconds>(owed) +
                                          std::chrono::microseconds(100));
        }
        if (resendStop) break;
        if (resendQueue.empty()) continue;   // a reset dropped them meanwhile
        const ResendRequest request = resendQueue.front();
        resendQueue.pop_front();
        resendsInFlight = 1;
        lock.unlock();
        const uint64_t bytes = Resend(request);
        lock.lock();
        budget -= double(bytes);
        resendsInFlight = 0;
        resendWake.notify_all();
    }
    resendQueue.clear();
    resendsInFlight = 0;
    resendWake.notify_all();
}

void Device::Impl::StopResender() {
    {
        std::lock_guard lock(resendMutex);
        resendStop = true;
    }
    resendWake.notify_all();
    if (resender.joinable()) resender.join();
    std::lock_guard lock(resendMutex);
    resendStop = false;   // the next request starts a new one
}

// ---------------------------------------------------------------------------------------------
// Messaging channel.

uint16_t Device::Impl::QueueEvent(std::vector<uint8_t> aCommand) {
    const bool withData = Gvcp::CommandView::kCommand.Get(aCommand.data()) == Gvcp::kEventDataCmd;
    MessageTap tap;
    {
        std::lock_guard lock(mutex);
        tap = messageTap;
        if (tap) {
            if (++messageRequestId == 0) messageRequestId = 1;
            Gvcp::CommandView::kRequestId.Put(aCommand.data(), messageRequestId);
            (withData ? stats.eventDatasIssued : stats.eventsIssued)++;
            stats.eventsAcknowledged++;
        } else if (!MessageChannelOpen() || !running.load()) {
            return Gvcp::kError;
        }
    }
    if (tap) {
        tap(aCommand.data(), aCommand.size());
        return Gvcp::kSuccess;
    }
    {
        std::lock_guard lock(messageMutex);
        if (messageQueue.size() >= 256) return Gvcp::kBusy;
        messageQueue.push_back(std::move(aCommand));
    }
    messageWake.notify_all();
    return Gvcp::kSuccess;
}

void Device::Impl::SendEvent(std::vector<uint8_t>& aCommand, int& aSocket, uint32_t& aBoundTo) {
    uint32_t destination, port, timeout, retries;
    uint16_t request;
    {
        std::lock_guard lock(mutex);
        if (!MessageChannelOpen()) return;
        destination = Boot32(Reg::kMcda);
        port = Boot32(Reg::kMcp) & 0xFFFF;
        timeout = std::clamp<uint32_t>(Boot32(Reg::kMctt), 10, 10000);
        retries = std::min<uint32_t>(Boot32(Reg::kMcrc), 100);
        if (++messageRequestId == 0) messageRequestId = 1;
        request = messageRequestId;
        (Gvcp::CommandView::kCommand.Get(aCommand.data()) == Gvcp::kEventDataCmd ? stats.eventDatasIssued
                                                                                 : stats.eventsIssued)++;
    }
    Gvcp::CommandView::kRequestId.Put(aCommand.data(), request);
    if (aSocket < 0 || aBoundTo != address.load()) {
        if (aSocket >= 0) close(aSocket);
        aBoundTo = address.load();
        aSocket = Bound(aBoundTo, 0, false);
        if (aSocket < 0) return;
    }
    const uint16_t expected = Gvcp::AckOf(Gvcp::CommandView::kCommand.Get(aCommand.data()));
    uint8_t buffer[64];
    for (uint32_t attempt = 0; attempt <= retries && !messageStop.load(); ++attempt) {
        bool link;
        {
            std::lock_guard lock(mutex);
            link = linkUp;
            if (attempt > 0) {
                stats.eventRetriesIssued++;
                stats.eventRetriesIssuedMax = std::max<uint64_t>(stats.eventRetriesIssuedMax, attempt);
            }
        }
        if (link) SendTo(aSocket, aCommand.data(), aCommand.size(), destination, uint16_t(port));
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
        while (!messageStop.load()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd fd{aSocket, POLLIN, 0};
            if (poll(&fd, 1, int(std::min<int64_t>(left.count(), 50))) <= 0) continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t got = recvfrom(aSocket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            const auto ack = Gvcp::AckView::Of(buffer, got > 0 ? size_t(got) : 0);
            // Only the channel's destination acknowledges: another peer's answer is no answer.
            const bool fromDestination = ntohl(from.sin_addr.s_addr) == destination && ntohs(from.sin_port) == port;
            if (ack && link && fromDestination && ack->Code() == expected && ack->AckId() == request) {
                std::lock_guard lock(mutex);
                stats.eventsAcknowledged++;
                return;
            }
        }
    }
}

void Device::Impl::MessengerLoop() {
    int socket = -1;
    uint32_t boundTo = 0;
    std::unique_lock lock(messageMutex);
    for (;;) {
        messageWake.wait(lock, [&] { return messageStop.load() || !messageQueue.empty(); });
        if (messageStop.load()) break;
        std::vector<uint8_t> command = std::move(messageQueue.front());
        messageQueue.pop_front();
        messagesInFlight = 1;
        lock.unlock();
        SendEvent(command, socket, boundTo);
        lock.lock();
        messagesInFlight = 0;
        messageWake.notify_all();
    }
    messageQueue.clear();
    messageWake.notify_all();
    if (socket >= 0) close(socket);
}

// ---------------------------------------------------------------------------------------------
// GVCP server.

bool Device::Impl::Rebind(uint32_t aAddress) {
    if (aAddress == address.load()) return true;
    int fd = Bound(aAddress, Gvcp::kPort, false);
    if (fd < 0) return false;
    close(gvcpSocket);
    gvcpSocket = fd;
    std::lock_guard registry(gRegistryMutex);
    address.store(aAddress);
    return true;
}

void Device::Impl::ServerLoop() {
    std::vector<uint8_t> buffer(2048);
    // The last PENDING_ACK sent, said again at half its time while no other command comes.
    std::vector<uint8_t> pending;
    Peer pendingTo;
    auto pendingDue = std::chrono::steady_clock::time_point();
    for (;;) {
        pollfd fds[4] = {{gvcpSocket, POLLIN, 0},
                         {broadcastSockets[0], POLLIN, 0},
                         {broadcastSockets[1], POLLIN, 0},
                         {wakePipe[0], POLLIN, 0}};
        int ready = poll(fds, 4, 50);
        if (ready < 0 && errno != EINTR) break;
        if (fds[3].revents) break;
        PollHeartbeat();
        const auto now = std::chrono::steady_clock::now();
        if (!pending.empty() && now >= pendingDue) {
            const uint16_t ms = PendingTime(pending).value_or(0);
            bool still;
            {
                std::lock_guard lock(mutex);
                still = faults.pendingMs != 0 && linkUp;
                if (still) stats.pendingAcksIssued++;
            }
            if (still) SendTo(gvcpSocket, pending.data(), pending.size(), pendingTo.address, pendingTo.port);
            else pending.clear();
            pendingDue = now + std::chrono::milliseconds(ms / 2);
        }
        for (int i = 0; i < 3; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t got = recvfrom(fds[i].fd, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &length);
            if (got < 0) continue;
            const Peer peer{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
            if (Foreign(peer)) continue;
            if (size_t(got) > buffer.size()) {  // oversized: no GVCP command is this long
                std::lock_guard lock(mutex);
                stats.malformedCommandsReceived++;
                continue;
            }
            pending.clear();
            Reply reply = Serve(buffer.data(), size_t(got), peer, i > 0);
            if (reply.moveTo) {
                if (Rebind(reply.moveTo)) {
                    unsigned actions;
                    {
                        std::lock_guard lock(mutex);
                        SetCurrentIp(reply.moveTo, pendingMask, pendingGateway);
                        KeepChannelSockets();   // the open channels send from the new address
                        actions = Notify(
                            {Notice::kAddressForced, {}, 0, false, reply.moveTo, pendingMask, pendingGateway});
                    }
                    Apply(actions);
                } else if (reply.ack.size() >= Gvcp::kHeaderSize) {
                    Gvcp::AckView::kStatus.Put(reply.ack.data(), Gvcp::kError);
                }
            }
            if (!reply.ack.empty()) SendTo(gvcpSocket, reply.ack.data(), reply.ack.size(), peer.address, peer.port);
            if (const std::optional<uint16_t> ms = PendingTime(reply.ack)) {
                pending = reply.ack;
                pendingTo = peer;
                pendingDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(*ms / 2);
            }
        }
    }
}

bool Device::Start(uint32_t aAddress, std::string* aError) {
    Impl& d = *mImpl;
    std::lock_guard life(d.lifeMutex);
    auto fail = [&](const std::string& aText) {
        if (aError) *aError = aText;
        return false;
    };
    if (d.running.load()) return fail("the device is already running");
    if (aAddress == 0) aAddress = d.config.address;
    if (aAddress != 0 && (!IsLoopback(aAddress) || aAddress == kBroadcast || (aAddress & 0x00FFFFFF) == 0))
        return fail("not a loopback address: " + FormatAddress(aAddress));

    int fd = -1;
    uint32_t taken = 0;
    if (aAddress) {
        fd = Bound(aAddress, Gvcp::kPort, false);
        if (fd < 0) return fail(FormatAddress(aAddress) + ":3956 is not free: " + std::strerror(errno));
        taken = aAddress;
    } else {
        for (uint32_t host = 1; host < 255 && fd < 0; ++host) {
            fd = Bound(0x7F000000 | host, Gvcp::kPort, false);
            if (fd >= 0) taken = 0x7F000000 | host;
        }
        if (fd < 0) return fail("no free address from 127.0.0.1 to 127.0.0.254 on port 3956");
    }
    if (pipe2(d.wakePipe, O_CLOEXEC) != 0) {
        close(fd);
        return fail(std::string("pipe: ") + std::strerror(errno));
    }
    d.gvcpSocket = fd;
    // -1 when a bind fails: no discovery that way, poll skips it.
    d.broadcastSockets = {{Bound(kBroadcast, Gvcp::kPort, true), Bound(kLimitedBroadcast, Gvcp::kPort, true)}};
    d.address.store(taken);
    {
        std::lock_guard lock(d.mutex);
        d.SetCurrentIp(taken, 0xFF000000, 0);
        d.KeepChannelSockets();   // a channel opened while the device was stopped
    }
    {
        std::lock_guard lock(d.messageMutex);
        d.messageQueue.clear();  // events queued while the device was stopping never went out
        d.messageStop.store(false);
    }
    d.running.store(true);
    d.server = std::thread([&d] { d.ServerLoop(); });
    d.messenger = std::thread([&d] { d.MessengerLoop(); });
    std::lock_guard registry(gRegistryMutex);
    gRegistry.push_back(&d);
    return true;
}

void Device::Stop() {
    Impl& d = *mImpl;
    std::lock_guard life(d.lifeMutex);
    if (!d.running.load()) return;
    {
        std::lock_guard registry(gRegistryMutex);
        gRegistry.erase(std::remove(gRegistry.begin(), gRegistry.end(), &d), gRegistry.end());
    }
    const char byte = 1;
    (void)!write(d.wakePipe[1], &byte, 1);
    d.server.join();
    {
        std::lock_guard lock(d.messageMutex);
        d.messageStop.store(true);
    }
    d.messageWake.notify_all();
    d.messenger.join();
    d.StopResender();   // no request arrives through the front end any more
    {
        std::lock_guard lock(d.mutex);
        d.acquiring = false;
    }
    d.HaltSenders();
    {
        std::lock_guard control(d.controlMutex);
        d.StopStreams();
        // Nothing of the run's frames stays: its resend history and the memory kept for its blocks.
        for (auto& ch : d.channels) ch->Forget(true);
    }
    d.running.store(false);
    close(d.gvcpSocket);
    for (int& fd : d.broadcastSockets) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    close(d.wakePipe[0]);
    close(d.wakePipe[1]);
    d.gvcpSocket = d.wakePipe[0] = d.wakePipe[1] = -1;
    d.address.store(0);
    std::lock_guard lock(d.mutex);
    d.KeepChannelSockets();   // no channel sends from a stopped device
}

bool Device::IsRunning() const { return mImpl->running.load(); }

uint32_t Device::Address() const { return mImpl->address.load(); }

int Device::DuplicateChannelSocket(uint32_t aChannel) const {
    Impl& d = *mImpl;
    std::lock_guard lock(d.mutex);
    if (aChannel >= d.channels.size() || !d.channels[aChannel]->open) return -1;
    return fcntl(d.channels[aChannel]->socket->fd, F_DUPFD_CLOEXEC, 0);
}

}  // namespace TqEngine

void TqNet::AddRunReceiver(uint32_t aAddress, uint16_t aPort) {
    if (!aPort) return;
    TqEngine::RunReceiverSet& set = TqEngine::RunReceivers();
    std::lock_guard<std::mutex> guard(set.lock);
    set.counts[set.Key(aAddress, aPort)]++;
    set.any.store(true, std::memory_order_relaxed);
}

void TqNet::RemoveRunReceiver(uint32_t aAddress, uint16_t aPort) {
    TqEngine::RunReceiverSet& set = TqEngine::RunReceivers();
    std::lock_guard<std::mutex> guard(set.lock);
    const auto found = set.counts.find(set.Key(aAddress, aPort));
    if (found == set.counts.end()) return;   // never added
    if (--found->second == 0) set.counts.erase(found);
    set.any.store(!set.counts.empty(), std::memory_order_relaxed);
}

bool TqNet::TakesRuns(uint32_t aAddress, uint16_t aPort) {
    TqEngine::RunReceiverSet& set = TqEngine::RunReceivers();
    if (!aPort || !set.any.load(std::memory_order_relaxed)) return false;
    std::lock_guard<std::mutex> guard(set.lock);
    return set.counts.count(set.Key(aAddress, aPort)) || set.counts.count(set.Key(0, aPort));
}

void TqNet::AddOwnRing(unsigned long aInode) {
    std::lock_guard lock(TqEngine::gRingsMutex);
    TqEngine::OwnRings().push_back(aInode);
}

void TqNet::RemoveOwnRing(unsigned long aInode) {
    std::lock_guard lock(TqEngine::gRingsMutex);
    auto& rings = TqEngine::OwnRings();
    if (const auto it = std::find(rings.begin(), rings.end(), aInode); it != rings.end()) rings.erase(it);
}

bool TqNet::IsOwnRing(unsigned long aInode) {
    std::lock_guard lock(TqEngine::gRingsMutex);
    const auto& rings = TqEngine::OwnRings();
    return std::find(rings.begin(), rings.end(), aInode) != rings.end();
}
