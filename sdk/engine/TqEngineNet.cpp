// The UDP front end (GVCP server on loopback), the stream senders, the messaging channel and the
// registry of running devices.
#include "TqEngineImpl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <type_traits>
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

// Sends packets of blocks to one destination (as SendTo allows) with sendmmsg, many packets a call:
// each packet goes out as its header and the pieces of its payload where they lie. The blocks must
// live until Flush.
class Batch {
public:
    void To(int aSocket, uint32_t aAddress, uint16_t aPort) {
        mSocket = aSocket;
        mUsable = aSocket >= 0 && aPort != 0 && aAddress != kBroadcast && (IsLoopback(aAddress) || IsMulticast(aAddress));
        mTo = Endpoint(aAddress, aPort);
    }
    // Queues packet aPacket of aBlock (nothing when the destination is not one to send to).
    void Add(const WireBlock& aBlock, uint32_t aPacket) {
        if (!mUsable) return;
        if (mCount == kBatch) Flush();
        mmsghdr& m = mMessages[mCount];
        m = {};
        m.msg_hdr.msg_name = &mTo;
        m.msg_hdr.msg_namelen = sizeof mTo;
        m.msg_hdr.msg_iov = &mPieces[mCount * WireBlock::kMaxPieces];
        m.msg_hdr.msg_iovlen = aBlock.Gather(aPacket, mHeaderBytes[mCount].data(), m.msg_hdr.msg_iov);
        ++mCount;
    }
    // Sends what is queued; the packets that left since the last Sent.
    void Flush() {
        for (size_t next = 0; next < mCount;) {
            const int n = sendmmsg(mSocket, mMessages.data() + next, unsigned(mCount - next), 0);
            if (n > 0) {
                next += size_t(n);
                mSent += uint64_t(n);
            } else if (errno != EINTR) {
                ++next;   // this packet failed: it does not count
            }
        }
        mCount = 0;
    }
    uint64_t Sent() {
        Flush();
        return std::exchange(mSent, 0);
    }

private:
    static constexpr size_t kBatch = 64;
    int mSocket = -1;
    bool mUsable = false;
    sockaddr_in mTo{};
    size_t mCount = 0;
    uint64_t mSent = 0;
    std::vector<mmsghdr> mMessages = std::vector<mmsghdr>(kBatch);
    std::vector<iovec> mPieces = std::vector<iovec>(kBatch * WireBlock::kMaxPieces);
    std::vector<std::array<uint8_t, WireBlock::kMaxPayloadHeader>> mHeaderBytes =
        std::vector<std::array<uint8_t, WireBlock::kMaxPayloadHeader>>(kBatch);
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
    std::vector<ResendRequest> resends;
    {
        std::lock_guard lock(mutex);
        resends.swap(pendingResends);
    }
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
    for (const ResendRequest& r : resends) Resend(r.channel, r.block, r.first, r.last, r.extended);
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
    if (spares.empty()) return std::make_shared<Payload>();
    std::shared_ptr<Payload> spare = std::move(spares.back());
    spares.pop_back();
    return spare;
}

int Device::Impl::OpenSender(uint32_t aDestination) const {
    const uint32_t from = address.load();
    int fd = from ? Bound(from, 0, false) : UdpSocket();
    if (fd < 0) return -1;
    if (IsMulticast(aDestination)) {
        in_addr loopback{};
        loopback.s_addr = htonl(TqNet::kLoopback);
        unsigned char ttl = 0;
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    }
    return fd;
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

void Device::Impl::SenderLoop(Channel* aChannel) {
    const uint32_t n = aChannel->index;
    int socket = -1;
    uint32_t socketFor = 0;
    auto deadline = std::chrono::steady_clock::now();
    std::vector<uint8_t> eventData(16);
    std::vector<uint8_t> tapped;   // a packet for the stream tap
    auto batch = std::make_unique<Batch>();
    std::shared_ptr<FrameProvider> provider;   // this run's, taken as it starts
    {
        std::lock_guard lock(mutex);
        provider = aChannel->providerInUse = aChannel->provider;
    }
    if (provider) Guarded([&] { provider->Started(n); });

    for (;;) {
        // A provider's frame first, waited for without the mutex.
        Frame frame;
        if (provider) {
            {
                std::lock_guard lock(mutex);
                if (aChannel->stop || !acquiring) break;
                frame.blockId = NextIdOf(*aChannel, ExtendedIds());
            }
            if (!Guarded([&] { return provider->NextFrame(n, frame); })) {
                if (!Guarded([&] { return provider->Ended(n); })) continue;
                // This channel's run is over; the device acquires on while another channel sends.
                std::lock_guard lock(mutex);
                if (std::none_of(channels.begin(), channels.end(),
                                 [&](const auto& aOther) { return aOther->index != n && active[aOther->index]; }))
                    acquiring = false;
                break;
            }
            if (!Whole(frame)) {
                Guarded([&] { provider->FrameDone(n, frame, false); });
                continue;
            }
        }
        bool taken = false;   // the frame left (to the destination, the tap or the sink)
        auto done = [&] {
            if (provider) Guarded([&] { provider->FrameDone(n, frame, taken); });
        };

        FrameLayout layout;
        uint32_t destination, port, dropEvery;
        uint64_t counter, timestamp, sentAt, block;
        bool link, paced, single, notify, extended;
        uint32_t period;
        StreamTap tap;
        BlockSink sink;
        size_t packetCount = 0, bytes;
        {
            std::unique_lock lock(mutex);
            if (aChannel->stop || !acquiring) {
                lock.unlock();
                done();
                break;
            }
            if (provider) {
                layout = {frame.width, frame.height, frame.offsetX, frame.offsetY, frame.pixelFormat};
                bytes = frame.imageSize + frame.chunkSize;
                for (const FramePart& part : frame.parts) bytes += part.size;
            } else {
                layout.width = Format(n, Reg::kWidth);
                layout.height = Format(n, Reg::kHeight);
                layout.offsetX = Format(n, Reg::kOffsetX);
                layout.offsetY = Format(n, Reg::kOffsetY);
                layout.pixelFormat = Format(n, Reg::kPixelFormat);
                bytes = ImageBytes(layout);
            }
            layout.packetSize = Boot32(Reg::Scps(n)) & 0xFFFF;
            destination = Boot32(Reg::Scda(n));
            port = Boot32(Reg::Scp(n)) & 0xFFFF;
            link = linkUp;
            paced = !provider && Feature(Reg::kFrameRateEnable) != 0;   // a provider keeps its own pace
            period = Feature(Reg::kFramePeriod);
            single = Feature(Reg::kAcquisitionMode) == 1;
            notify = Feature(Reg::kEventNotification) != 0;
            tap = streamTap;
            dropEvery = faults.dropGvspEvery;
            extended = ExtendedIds();
            // With extended IDs a provider's own block ID goes out; otherwise the channel's count.
            block = NextIdOf(*aChannel, extended);
            if (provider && extended && frame.blockId) block = frame.blockId;
            aChannel->blockId = block;
            timestamp = provider && frame.timestamp ? *frame.timestamp : Timestamp();
            sentAt = Now();
            if (link && aChannel->sink) {
                sink = aChannel->sink;
                aChannel->sinkInCall = aChannel->sinkGeneration;
            } else {
                packetCount = PacketsOf(frame, bytes, layout.packetSize, extended);
            }
            counter = gvspCounter;
            gvspCounter += packetCount;
        }
        frame.blockId = block;
        frame.timestamp = timestamp;   // as the leader tells it, for the provider

        auto frameEnd = [&] {
            if (!notify) return;
            TqWire::Put64(eventData.data(), block);
            TqWire::Put64(eventData.data() + 8, timestamp);
            FireEvent(kFrameEndEventId, eventData.data(), eventData.size(), block, uint16_t(n));
        };
        const bool toSocket = !sink && !tap && port && destination && running.load();
        const bool nowhere = !sink && !(link && (tap || toSocket));
        if (sink) {
            // The whole frame to the consumer in this process.
            Block whole;
            whole.channel = n;
            whole.blockId = block;
            whole.timestamp = timestamp;
            whole.layout = layout;
            whole.size = bytes;
            whole.frame = provider ? &frame : nullptr;
            sink(whole);
            sink = nullptr;   // what it holds is let go outside the mutex
            {
                std::lock_guard lock(mutex);
                aChannel->sinkInCall = 0;
                stats.framesSent++;
            }
            aChannel->sinkIdle.notify_all();
            taken = true;
            done();
            frameEnd();
        } else if (link && (tap || toSocket)) {
            if (toSocket && (socket < 0 || socketFor != address.load())) {
                if (socket >= 0) close(socket);
                socket = OpenSender(destination);
                socketFor = address.load();
                sockaddr_in local{};
                socklen_t length = sizeof local;
                if (socket >= 0 && getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
                    std::lock_guard lock(mutex);
                    SetBoot32(Reg::Scsp(n), ntohs(local.sin_port));
                }
            }
            // The history holds a copy of a provider's frame: its memory is free again once it is made.
            std::shared_ptr<const WireBlock> wire;
            if (provider) {
                WireBlock made = MakeBlock(frame, timestamp, layout.packetSize, extended);
                if (made.total) Own(made, *aChannel);
                wire = std::make_shared<const WireBlock>(std::move(made));
            } else {
                wire = std::make_shared<const WireBlock>(MakePatternBlock(layout, block, timestamp, aChannel, extended));
            }
            aChannel->Keep({block, sentAt, 0, wire});
            uint64_t dropped = 0;
            batch->To(socket, destination, uint16_t(port));
            auto drop = [&](uint32_t) {
                const bool dropping = dropEvery && ++counter % dropEvery == 0;
                dropped += dropping;
                return dropping;
            };
            const uint64_t sent = SendPackets(*wire, 0, uint32_t(wire->Packets() - 1), n, tap, *batch, tapped, drop);
            {
                std::lock_guard lock(mutex);
                stats.framesSent++;
                stats.framesOverrun += frame.overrun;
                stats.gvspPacketsSent += sent;
                stats.gvspPacketsDropped += dropped;
            }
            taken = true;
            done();
            frameEnd();
        } else {
            done();
        }

        std::unique_lock lock(mutex);
        if (single) {
            acquiring = false;
            break;
        }
        if (paced) {
            deadline += std::chrono::microseconds(period);
            const auto now = std::chrono::steady_clock::now();
            if (deadline < now - std::chrono::microseconds(period)) deadline = now;  // do not catch up a backlog
            aChannel->wake.wait_until(lock, deadline, [&] { return aChannel->stop || !acquiring; });
        } else if (!link || nowhere) {   // no spinning while nothing takes the frames
            aChannel->wake.wait_for(lock, std::chrono::milliseconds(10), [&] { return aChannel->stop || !acquiring; });
        }
    }
    if (socket >= 0) close(socket);
    if (provider) Guarded([&] { provider->Stopped(n); });
    std::lock_guard lock(mutex);
    aChannel->providerInUse = nullptr;
    active[n] = false;
}

void Device::Impl::SendTestPacket(uint32_t aChannel) {
    uint32_t destination, port, size;
    bool link;
    StreamTap tap;
    {
        std::lock_guard lock(mutex);
        destination = Boot32(Reg::Scda(aChannel));
        port = Boot32(Reg::Scp(aChannel)) & 0xFFFF;
        size = Boot32(Reg::Scps(aChannel)) & 0xFFFF;
        link = linkUp && size <= config.maxPacketSize;   // beyond the path's limit it is lost
        tap = streamTap;
    }
    if (!link || (!tap && (!port || !destination || !running.load()))) return;
    // The test packet fills the whole packet size: a GVSP header of zeros, then bytes counting up.
    std::vector<uint8_t> packet(size - Gvsp::kIpUdpOverhead, 0);
    for (size_t i = Gvsp::kHeaderSize; i < packet.size(); ++i) packet[i] = uint8_t(i);
    bool sent = false;
    if (tap) {
        tap(aChannel, packet.data(), packet.size());
        sent = true;
    } else {
        int fd = OpenSender(destination);
        if (fd >= 0) {
            int mode = IP_PMTUDISC_DO;  // do not fragment
            setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &mode, sizeof mode);
            sent = SendTo(fd, packet.data(), packet.size(), destination, uint16_t(port));
            close(fd);
        }
    }
    if (sent) {
        std::lock_guard lock(mutex);
        stats.testPacketsIssued++;
    }
}

void Device::Impl::Resend(uint32_t aChannel, uint64_t aBlockId, uint32_t aFirst, uint32_t aLast, bool aExtended) {
    uint32_t destination, port;
    StreamTap tap;
    {
        std::lock_guard lock(mutex);
        if (!linkUp) return;
        destination = Boot32(Reg::Scda(aChannel));
        port = Boot32(Reg::Scp(aChannel)) & 0xFFFF;
        tap = streamTap;
    }
    // The newest block of that ID, asked for in the form it went out.
    std::shared_ptr<const WireBlock> frame;
    {
        Channel* ch = channels[aChannel].get();
        std::lock_guard history(ch->historyMutex);
        for (auto it = ch->history.rbegin(); it != ch->history.rend() && !frame; ++it)
            if (it->id == aBlockId && it->block->extended == aExtended) frame = it->block;
    }
    const bool found = frame && aFirst <= aLast && aFirst < frame->Packets();
    int fd = tap ? -1 : OpenSender(destination);
    uint64_t sent = 0;
    if (!found) {
        // The block is gone: one packet with the error status tells the receiver to stop asking.
        uint8_t unavailable[Gvsp::kExtendedHeaderSize];
        const size_t size =
            WireBlock::WriteHeader(unavailable, aExtended, Gvcp::kPacketUnavailable, aBlockId, Gvsp::kFormatPayload, aFirst);
        if (tap) tap(aChannel, unavailable, size);
        else SendTo(fd, unavailable, size, destination, uint16_t(port));
    } else {
        auto batch = std::make_unique<Batch>();
        batch->To(fd, destination, uint16_t(port));
        std::vector<uint8_t> tapped;
        sent = SendPackets(*frame, aFirst, aLast, aChannel, tap, *batch, tapped, [](uint32_t) { return false; });
    }
    if (fd >= 0) close(fd);
    std::lock_guard lock(mutex);
    if (found) stats.packetsResent += sent;
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
            const ssize_t got = recv(aSocket, buffer, sizeof buffer, 0);
            const auto ack = Gvcp::AckView::Of(buffer, got > 0 ? size_t(got) : 0);
            if (ack && link && ack->Code() == expected && ack->AckId() == request) {
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
    {
        std::lock_guard lock(d.mutex);
        d.SetCurrentIp(taken, 0xFF000000, 0);
    }
    d.address.store(taken);
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
}

bool Device::IsRunning() const { return mImpl->running.load(); }

uint32_t Device::Address() const { return mImpl->address.load(); }

}  // namespace TqEngine
