// The engine's inner state, shared by its source files (not installed, not for the embedding code).
//
// Locks: controlMutex (starting and stopping the sender threads and the front end) is taken before
// mutex (registers, privilege, counters, faults); no thread joins another while it holds mutex. The
// embedding code's register handlers, frame providers and observer are called with neither held:
// the dispatcher lets mutex go around a handler's call, senders ask providers before they take it,
// providers are interrupted before controlMutex is taken to stop the senders, and notifications wait
// in Impl::notices until Apply tells them. resendMutex (the resend queue) is taken after mutex; the
// resend thread takes mutex only with resendMutex released.
#pragma once

#include "TqDeviceEngine.h"
#include "TqLoopback.h"
#include "TqWireBytes.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <sys/uio.h>
#include <thread>

namespace TqEngine {

// Register memory is big-endian, as every protocol field.
using TqWire::Get16;
using TqWire::Get32;
using TqWire::Put16;
using TqWire::Put32;

using TqNet::IsLoopback;
using TqNet::IsMulticast;

// The GenICam description of a device (padded with spaces to a multiple of 4 bytes).
std::string BuildXml(const DeviceConfig& aConfig);

// Deferred work of a register write, done after mutex is released.
enum Action : unsigned {
    kActionNone = 0,
    kActionStartStreams = 1u << 0,
    kActionStopStreams = 1u << 1,
    kActionTestPacket = 1u << 2,  // channel in Impl::testChannel
    kActionSerial = 1u << 3,      // bytes in Impl::serialPending
    kActionNotify = 1u << 4,      // notifications in Impl::notices
    kActionReset = 1u << 5,       // a full reset: the senders stop, the channels begin again at block 1
};

// A notification on its way to the observer.
struct Notice {
    enum Kind { kSessionOpened, kSessionClosed, kAddressForced, kReset } kind = kReset;
    Peer peer;
    uint32_t privilege = 0;
    bool heartbeat = false;
    uint32_t address = 0, mask = 0, gateway = 0;
};

// The state of one serial port's bridge (under mutex).
struct SerialBridge {
    bool unsupported = false;
    bool loopback = true;
    uint64_t transmitted = 0, received = 0, dropped = 0;
};

// Memory a channel's sender copies a provider's frame into, or fills with a test pattern: it goes
// into the resend history with the block, and back to the channel's spares when the history lets
// the block go (unless a resend still sends from it), so that no frame pays for fresh pages. Its
// bytes lie in mappings of the engine's own, never in the allocator's heap (TqEnginePayloads.cpp): a
// small payload in a slab of its channel's pool, a large one (or one without a pool) in a mapping of
// its own. What a stopped device lets go of its history thus goes back to the kernel at once.
class PayloadPool;
struct Payload {
    explicit Payload(std::shared_ptr<PayloadPool> aPool = nullptr) : pool(std::move(aPool)) {}
    Payload(const Payload&) = delete;
    Payload& operator=(const Payload&) = delete;
    ~Payload() { Release(); }
    // Room for aSize bytes (what it held is gone when it grows); std::bad_alloc when there is none.
    uint8_t* Reserve(size_t aSize);
    uint8_t* bytes = nullptr;
    size_t capacity = 0;

private:
    void Release();
    std::shared_ptr<PayloadPool> pool;
    void* slab = nullptr;   // the slab of the pool that holds the bytes; null: a mapping of their own
};

// The slabs a channel's small payloads are carved from (thread-safe): a slab's regions that payloads
// gave back are taken again first, by their size, and a slab is unmapped as soon as no payload is
// left in it, so that a pool whose payloads are all gone holds no memory at all.
class PayloadPool {
public:
    PayloadPool() = default;
    PayloadPool(const PayloadPool&) = delete;
    PayloadPool& operator=(const PayloadPool&) = delete;
    ~PayloadPool();
    // Payloads of this size and more have a mapping of their own.
    static constexpr size_t kOwnMapping = size_t(256) << 10;
    static constexpr size_t kSlabBytes = size_t(2) << 20;
    // A region of at least aSize bytes (< kOwnMapping): its start, its capacity and its slab; null
    // when no memory can be mapped.
    uint8_t* Take(size_t aSize, size_t& aCapacity, void*& aSlab);
    // Gives a region back (never throws).
    void Give(uint8_t* aBytes, size_t aCapacity, void* aSlab);
    size_t Slabs() const;

private:
    struct Slab;
    mutable std::mutex mLock;
    std::vector<Slab*> mSlabs;   // the last one is carved from
};

// A block as it goes out: the leader, payload packets 1..count, each behind a header made as it
// leaves (the generic one of 8 bytes or the extended-ID one of 20, which a multi-part block always
// has: its leader's header tells the part count; a multi-part payload packet adds its part, zone and
// offset), and the trailer. A generic payload runs on from the image into the
// chunk area in packets of chunk bytes (the last one shorter); a multi-part payload sends each part
// in packets of its own. Its bytes lie in memory (owned by `owned`, or the caller's while it sends),
// or, for a Mono8 test pattern, are rows of the pattern's ramp.
struct WireBlock {
    uint64_t id = 0;
    bool extended = false;              // the extended-ID header
    std::vector<uint8_t> leader, trailer;
    size_t total = 0, chunk = 0, count = 0;
    const uint8_t* image = nullptr;
    size_t imageSize = 0;
    const uint8_t* chunks = nullptr;
    // A multi-part payload: each part's bytes, where they begin in the block's payload (the parts one
    // after the other) and its first payload packet (in packet order).
    struct Part {
        const uint8_t* data = nullptr;
        size_t size = 0;
        uint64_t at = 0;
        uint32_t firstPacket = 0;
    };
    std::vector<Part> parts;
    bool ramp = false;                  // the payload is the Mono8 pattern of `pattern`, from the ramp
    FrameLayout pattern;
    std::shared_ptr<Payload> owned;
    size_t Packets() const { return count + 2; }
    // The header bytes of each payload packet.
    size_t PayloadHeader() const {
        return Gvsp::HeaderSize(extended) + (parts.empty() ? 0 : Gvsp::MultiPartPayload::kDataAt);
    }
    static constexpr size_t kMaxPayloadHeader = Gvsp::kExtendedHeaderSize + Gvsp::MultiPartPayload::kDataAt;
    // Bytes of all its packets.
    size_t Bytes() const { return leader.size() + trailer.size() + total + count * PayloadHeader(); }
    // Packet aPacket (0 the leader ... count + 1 the trailer): its header into aHeader
    // (kMaxPayloadHeader bytes; for the leader and the trailer their own bytes are pointed at
    // instead), then its pieces; the number of pieces (at most kMaxPieces, the header's among them).
    size_t Gather(uint32_t aPacket, uint8_t* aHeader, iovec* aPieces) const;
    static constexpr size_t kMaxPieces = 34;
    // The bytes of packet aPacket (0 the leader ... count + 1 the trailer).
    size_t PacketBytes(uint32_t aPacket) const;
    // Packet aPacket's bytes, one after the other.
    void CopyPacket(uint32_t aPacket, std::vector<uint8_t>& aOut) const;
    // The part payload packet aPacket belongs to, and its offset there.
    std::pair<size_t, size_t> PartOf(uint32_t aPacket) const;
    // The header of a packet that has no block behind it (a resend the history cannot serve).
    static size_t WriteHeader(uint8_t* aOut, bool aExtended, uint16_t aStatus, uint64_t aBlockId, uint8_t aFormat,
                              uint32_t aPacketId);
};
// The block of aFrame: its payload referenced where it lies (the caller keeps it until it is sent).
WireBlock MakeBlock(const Frame& aFrame, uint64_t aTimestamp, uint32_t aPacketSize, bool aExtended);
struct Channel;
// The block of the test pattern: Mono8 rows from the ramp when few enough fit a packet, else the
// pattern filled into a spare of aSpares (new memory when null), which the block owns.
WireBlock MakePatternBlock(const FrameLayout& aLayout, uint64_t aBlockId, uint64_t aTimestamp, Channel* aSpares,
                           bool aExtended);
// The packets of a block of aFrame's parts, or else of aBytes of payload, at a packet size.
size_t PacketsOf(const Frame& aFrame, size_t aBytes, uint32_t aPacketSize, bool aExtended);
// Each packet of aBlock in bytes of its own.
std::vector<std::vector<uint8_t>> Materialize(const WireBlock& aBlock);

// A block sent on a stream channel, kept for PACKETRESEND (from before its first packet leaves, so
// that a request for a packet lost early in a block finds it).
struct SentBlock {
    uint64_t id = 0;
    uint64_t sentAt = 0;   // Device::Impl::Now() when the block began
    size_t bytes = 0;      // of all its packets
    std::shared_ptr<const WireBlock> block;
};

// The resend history of a channel: the most recent blocks within kHistoryBudget bytes and within
// kHistoryAge milliseconds of the newest (so at most a second of frames at the current rate, and
// at most the budget, whichever is less), and never fewer than kHistoryMinBlocks. The budget is
// what a receiver of ours may hold queued in its socket (64 MiB forced, which the kernel doubles): a
// request for what it lost while it lagged behind still finds the block here, unless the device ran
// further ahead of it than that (answered PACKET_UNAVAILABLE, counted in resendsUnavailable).
constexpr size_t kHistoryBudget = size_t(128) << 20;
constexpr uint64_t kHistoryAge = 1000;
constexpr size_t kHistoryMinBlocks = 4;
constexpr size_t kSpares = 2;   // payload memory a channel keeps for its next blocks

// The socket every GVSP packet of a channel leaves from (frames, resends and their PACKET_UNAVAILABLE
// answers, test packets), so that a receiver may take the channel's packets from its one source port
// alone: bound to the device's address (no other socket may bind beside it), its port what SCSP tells.
// Closed as the last holder lets it go: a sender or the resend thread that took it before the device
// stopped or moved ends its send on it.
struct ChannelSocket {
    int fd = -1;
    uint32_t from = 0;   // the device's address it is bound to
    uint16_t port = 0;
    ChannelSocket() = default;
    ChannelSocket(const ChannelSocket&) = delete;
    ChannelSocket& operator=(const ChannelSocket&) = delete;
    ~ChannelSocket();
};

struct Channel {
    uint32_t index = 0;
    // Under mutex: the channel's socket while the UDP front end runs, the channel open (SCP not 0) or
    // not, else null; whether the channel is open (see Device::Impl::KeepChannelSockets).
    std::shared_ptr<const ChannelSocket> socket;
    bool open = false;
    uint16_t lastPort = 0;   // under mutex: the port of the channel's last socket
    // One more (under mutex) each time the channel opens, closes or its socket changes: packets
    // planned before leave no more (see Batch).
    std::atomic<uint64_t> terms{0};
    uint64_t blockId = 0;  // the last block sent; 0 before the first
    bool stop = false;
    std::thread thread;
    std::condition_variable wake;
    // The resend history (under historyMutex), newest last, and the bytes of its packets.
    std::mutex historyMutex;
    std::deque<SentBlock> history;
    size_t historyBytes = 0;
    // Adds a sent block to the history and lets the blocks go that the rule above no longer keeps;
    // their payload memory that nothing else holds becomes a spare.
    void Keep(SentBlock aBlock);
    // A spare payload (under historyMutex), or a new one.
    std::shared_ptr<Payload> Spare();
    // Lets every sent block go, no sender running; with aSpares the memory kept for the next blocks too.
    void Forget(bool aSpares);
    std::vector<std::shared_ptr<Payload>> spares;
    // Where the memory of its payloads comes from.
    std::shared_ptr<PayloadPool> payloads = std::make_shared<PayloadPool>();
    // The block sink (under mutex): its generation (one more with each SetBlockSink), the generation
    // of the sink the sender is calling (0: none), signalled when that call ends.
    Device::BlockSink sink;
    uint64_t sinkGeneration = 0;
    uint64_t sinkInCall = 0;
    std::condition_variable sinkIdle;
    // The frame provider (under mutex; null: the test pattern), and the one the running sender asks.
    std::shared_ptr<FrameProvider> provider;
    std::shared_ptr<FrameProvider> providerInUse;
};

// Memory the embedding code added (Device::AddMemory).
struct AddedMemory {
    uint32_t begin = 0;
    std::vector<uint8_t> bytes;
    bool readOnly = false;
    uint64_t End() const { return uint64_t(begin) + bytes.size(); }
};

// An address range served by a register handler.
struct HandledRange {
    uint32_t begin = 0;
    uint64_t end = 0;
    uint64_t id = 0;
    std::shared_ptr<RegisterHandler> handler;
    bool local = false;   // the local side's accesses reach the handler too
};

struct Device::Impl {
    explicit Impl(const DeviceConfig& aConfig);

    // ---- state under mutex ----
    mutable std::mutex mutex;
    DeviceConfig config;
    std::string xml;
    std::vector<uint8_t> boot;       // bootstrap bytes, 0x0000-0x0FFF
    std::vector<uint32_t> features;  // feature registers
    // Each channel's image format registers, at their offsets in the feature block.
    std::vector<std::array<uint32_t, Reg::kFeatureSize / 4>> formats;
    uint32_t sourceSelector = 0;
    std::array<uint8_t, 32> firmware{};
    Clock clock;
    uint64_t timestampOrigin = 0;    // steady nanoseconds at the last timestamp reset

    Peer controller;                 // address 0: none
    uint32_t ccp = 0;
    uint64_t lastSeen = 0;           // clock() of the controller's last command
    Peer lastPeer;
    uint16_t lastRequest = 0;
    uint64_t retryRun = 0;

    Statistics stats;
    Faults faults;
    uint64_t gvcpCounter = 0, gvspCounter = 0;
    bool linkUp = true;
    bool acquiring = false;
    uint32_t testChannel = 0;
    uint32_t pendingMask = 0xFF000000, pendingGateway = 0;
    uint32_t switchoverKey = 0;

    StreamTap streamTap;
    MessageTap messageTap;
    std::vector<HandledRange> handled;   // sorted by address
    uint64_t lastHandlerId = 0;
    std::vector<AddedMemory> added;      // sorted by address
    // The last access command (READREG ... WRITEMEM) that reached a handler, and its acknowledge: a
    // retry is answered with it. handlerCalls counts the calls of handlers.
    uint64_t handlerCalls = 0;
    Peer answeredPeer;
    std::vector<uint8_t> answeredCommand, answeredAck;
    // The observer, the notifications that wait for it, and whether a thread is telling it.
    std::shared_ptr<Observer> observer;
    std::deque<Notice> notices;
    bool delivering = false;

    // Serial ports: the bridges, and the bytes they received that wait for the messaging channel
    // (in order of arrival).
    std::array<SerialBridge, Serial::kPorts> serial{};
    std::deque<std::pair<uint32_t, std::vector<uint8_t>>> serialPending;

    // ---- sender threads (started and stopped under controlMutex) ----
    std::mutex controlMutex;
    std::vector<std::unique_ptr<Channel>> channels;
    std::vector<bool> active;  // per channel, under mutex: its sender thread still runs

    // ---- UDP front end (started and stopped under lifeMutex) ----
    std::mutex lifeMutex;
    std::atomic<bool> running{false};
    std::atomic<uint32_t> address{0};
    int gvcpSocket = -1;
    // Where discovery and FORCEIP also arrive: 127.255.255.255:3956 and 255.255.255.255:3956 (both
    // shared with other devices and programs; -1 when the bind failed). Only the device's own socket
    // answers, and only senders in 127.0.0.0/8.
    std::array<int, 2> broadcastSockets{{-1, -1}};
    int wakePipe[2] = {-1, -1};
    std::thread server;

    // ---- serial delivery: one thread at a time hands pending bytes to the messaging channel, so
    // that they leave in order (taken before mutex, never under it) ----
    std::mutex serialMutex;

    // ---- messaging channel ----
    std::mutex messageMutex;
    std::condition_variable messageWake;
    std::deque<std::vector<uint8_t>> messageQueue;
    size_t messagesInFlight = 0;
    std::atomic<bool> messageStop{false};
    std::thread messenger;
    uint16_t messageRequestId = 0;   // the last one used; the first one is unpredictable

    // ---- resends: requests the dispatcher took wait in resendQueue for the resend thread (started
    // with the first request; resendMutex is taken after mutex, never before it) ----
    struct ResendRequest {
        uint32_t channel = 0;
        uint64_t block = 0;   // in the form asked for: 16 bits, or 64 with the extended-ID flag
        uint32_t first = 0, last = 0;
        bool extended = false;
    };
    std::mutex resendMutex;
    std::condition_variable resendWake;
    std::deque<ResendRequest> resendQueue;
    size_t resendsInFlight = 0;
    bool resendStop = false;
    std::thread resender;

    // ---- registers (mutex held) ----
    // The registers as the device starts: the bootstrap registers from the identity and the
    // description, the feature registers and the channels' formats from the configuration.
    void InitRegisters();
    uint64_t Now() const { return clock(); }
    uint64_t Timestamp() const;
    // The delay channel aChannel's sender keeps between its packets: SCPD, in timestamp ticks.
    std::chrono::nanoseconds PacketDelay(uint32_t aChannel) const;
    uint16_t ReadWord(uint32_t aAddress, uint32_t& aValue) const;
    uint16_t ReadBytes(uint32_t aAddress, uint8_t* aData, size_t aSize) const;
    uint16_t CheckWrite(uint32_t aAddress, uint32_t aValue, const Peer* aPeer) const;
    unsigned WriteWord(uint32_t aAddress, uint32_t aValue, const Peer* aPeer);
    uint16_t WriteBytes(uint32_t aAddress, const uint8_t* aData, size_t aSize, const Peer* aPeer, unsigned& aActions);
    // Stores bytes as the registers hold them, without a write's checks and effects (StoreMemory of a
    // protected register); false for memory the device does not have. aApply false: the test alone.
    bool StoreRaw(uint32_t aAddress, const uint8_t* aData, size_t aSize, bool aApply);
    // The added memory that holds [aAddress, aAddress + aSize) whole, or null.
    AddedMemory* AddedAt(uint32_t aAddress, uint64_t aSize);
    const AddedMemory* AddedAt(uint32_t aAddress, uint64_t aSize) const;
    uint32_t Boot32(uint32_t aAddress) const { return Get32(&boot[aAddress]); }
    void SetBoot32(uint32_t aAddress, uint32_t aValue) { Put32(&boot[aAddress], aValue); }
    uint32_t& Feature(uint32_t aAddress) { return features[(aAddress - Reg::kFeatureBase) / 4]; }
    uint32_t Feature(uint32_t aAddress) const { return features[(aAddress - Reg::kFeatureBase) / 4]; }
    // A channel's format register, named by channel 0's address (Reg::kWidth ...).
    uint32_t& Format(uint32_t aChannel, uint32_t aRegister) {
        return formats[aChannel][(aRegister - Reg::kFeatureBase) / 4];
    }
    uint32_t Format(uint32_t aChannel, uint32_t aRegister) const {
        return formats[aChannel][(aRegister - Reg::kFeatureBase) / 4];
    }
    // Whether aAddress is a format register of a channel the device has: which, and channel 0's address of it.
    bool FormatRegisterOf(uint32_t aAddress, uint32_t& aChannel, uint32_t& aRegister) const;
    uint32_t ChannelCount() const { return config.streamChannels; }
    void SetCurrentIp(uint32_t aAddress, uint32_t aMask, uint32_t aGateway);
    // Serial ports (mutex held). SerialPortOf: the port whose block holds aAddress (false: none).
    bool UsbTransport() const;
    bool SerialPresent(uint32_t aPort) const { return aPort < Serial::kUartPorts || (aPort < Serial::kPorts && UsbTransport()); }
    bool SerialAvailable(uint32_t aPort) const { return SerialPresent(aPort) && !serial[aPort].unsupported; }
    static bool SerialPortOf(uint32_t aAddress, uint32_t& aPort, uint32_t& aOffset);
    uint32_t SerialWord(uint32_t aPort, uint32_t aOffset) const;
    uint16_t SerialWrite(uint32_t aPort, uint32_t aOffset, uint32_t aValue, const Peer* aPeer, bool aApply);
    uint16_t SerialBlock(uint32_t aPort, uint32_t aOffset, const uint8_t* aData, size_t aSize, const Peer* aPeer,
                         unsigned& aActions);
    bool MessageChannelOpen() const { return (Boot32(Reg::kMcp) & 0xFFFF) != 0 && Boot32(Reg::kMcda) != 0; }
    // Whether the controller switched 64-bit block IDs on (streams and events).
    bool ExtendedIds() const { return Boot32(Reg::kGvspConfiguration) & Reg::kGvspExtendedIds; }

    // ---- privilege (mutex held) ----
    bool HasPrivilege(const Peer& aPeer) const { return controller.address != 0 && controller == aPeer; }
    bool MayRead(const Peer& aPeer) const {
        return controller.address == 0 || controller == aPeer || !(ccp & Reg::kCcpExclusive);
    }
    // Ends the controller's session; returns the actions that closing the channels needs.
    unsigned CloseSession(bool aHeartbeat);
    unsigned ExpireHeartbeat();
    // Queues a notification; returns kActionNotify.
    unsigned Notify(const Notice& aNotice) {
        notices.push_back(aNotice);
        return kActionNotify;
    }
    // The register side of a full reset; returns the actions that complete it.
    unsigned ResetDevice();

    // ---- the dispatcher (mutex held through the request's lock; released while a handler runs) ----
    // One command being served: its datagram (the header whole, the payload its length states) and
    // what serving it needs.
    struct Request {
        std::unique_lock<std::mutex>& lock;
        const Gvcp::CommandView& command;
        const Peer& peer;
        unsigned& actions;
        Gvcp::Bytes Payload() const { return command.Payload(); }
    };
    // The header's checks, the counters, retries and faults, then the command's own function.
    Reply Handle(std::unique_lock<std::mutex>& aLock, const uint8_t* aData, size_t aSize, const Peer& aPeer,
                 bool aBroadcast, unsigned& aActions);
    // Counts a command as received; a retry when it repeats the peer's last request ID.
    void Received(const Gvcp::CommandView& aCommand, const Peer& aPeer);
    // The acknowledge of aRequest's command (aAcknowledge: its code; the command's own by default),
    // or none when the command asked for none (DISCOVERY is always answered).
    Reply Answer(const Request& aRequest, uint16_t aStatus, Gvcp::Bytes aPayload = {}, uint16_t aAcknowledge = 0) const;
    // Whether an access to aAddress answers with the injected fault aStatus.
    bool Faulty(uint16_t aStatus, uint32_t aAddress) const {
        return aStatus != 0 && aAddress >= faults.begin && aAddress < faults.end;
    }
    // A PENDING_ACK in place of a controller's register or memory access, when the faults ask for it.
    std::optional<Reply> Pending(const Request& aRequest);
    // The commands.
    Reply Discovery(Request& aRequest);
    Reply ForceIp(Request& aRequest);
    Reply ReadReg(Request& aRequest);
    Reply WriteReg(Request& aRequest);
    Reply ReadMem(Request& aRequest);
    Reply WriteMem(Request& aRequest);
    Reply PacketResend(Request& aRequest);
    // Whether aPeer may ask channel aChannel for resends: the controller, or the channel's destination.
    bool MayAskResends(const Peer& aPeer, uint32_t aChannel) const;
    Reply NotImplemented(Request& aRequest);
    Reply Unknown(Request& aRequest);
    Reply Ignored(Request& aRequest) { return {}; }
    // The first handled range that [aAddress, aAddress + aSize) reaches into, or null. For the local
    // side (aLocal) only the ranges whose handler takes local accesses count, and not those of a
    // handler this thread is serving (its own local accesses reach the memory beneath it).
    const HandledRange* HandledAt(uint32_t aAddress, uint64_t aSize, bool aLocal = false) const;
    // Calls the handler of aRange for aSize bytes at aAddress (within it), with mutex released.
    uint16_t CallHandler(std::unique_lock<std::mutex>& aLock, const HandledRange& aRange, uint32_t aAddress,
                                uint8_t* aRead, const uint8_t* aWrite, size_t aSize, const Peer& aPeer);
    // An access to memory, handled parts and the engine's parts in address order: a controller's, or
    // the local side's (aPeer null).
    uint16_t AccessRead(std::unique_lock<std::mutex>& aLock, uint32_t aAddress, uint8_t* aData, size_t aSize,
                        const Peer* aPeer);
    uint16_t AccessWrite(std::unique_lock<std::mutex>& aLock, uint32_t aAddress, const uint8_t* aData, size_t aSize,
                         const Peer* aPeer, unsigned& aActions);

    // ---- work outside mutex ----
    // True (and counted) for a peer outside 127.0.0.0/8, which is neither served nor answered.
    bool Foreign(const Peer& aPeer);
    Reply Serve(const uint8_t* aData, size_t aSize, const Peer& aPeer, bool aBroadcast);
    void PollHeartbeat();
    uint16_t FireEvent(uint16_t aEventId, const uint8_t* aData, size_t aSize, uint64_t aBlockId, uint16_t aChannel);
    void Apply(unsigned aActions);
    // Tells the observer what notices holds (mutex not held).
    void DeliverNotices();
    void StartStreams();
    // Tells every sender to stop and interrupts the providers they ask (controlMutex not needed);
    // StopStreams then waits for them (controlMutex held).
    void HaltSenders();
    void StopStreams();
    void SenderLoop(Channel* aChannel);
    void SendTestPacket(uint32_t aChannel);
    // The resend thread: serves the queued requests within the resend budget; ends at resendStop.
    void ResenderLoop();
    // Ends the resend thread, dropping the requests that wait (mutex not held).
    void StopResender();
    // Sends the packets of one request again; the bytes that left.
    uint64_t Resend(const ResendRequest& aRequest);
    uint16_t QueueEvent(std::vector<uint8_t> aCommand);
    // Hands the pending serial bytes to the messaging channel (mutex not held).
    void DeliverSerial();
    void SendSerial(uint32_t aPort, const std::vector<uint8_t>& aBytes);
    void MessengerLoop();
    void ServerLoop();
    // Opens each channel's socket as its channel opens (SCP written not 0) while the front end runs,
    // makes it again when the device moved to another address, lets it go as the channel closes or
    // the device stops, and sets SCSP to its port (0 without one). Mutex held; called wherever SCP or
    // the device's address changes.
    void KeepChannelSockets();
    void SendEvent(std::vector<uint8_t>& aCommand, int& aSocket, uint32_t& aBoundTo);
    bool Rebind(uint32_t aAddress);
};

}  // namespace TqEngine
