// The GigE Vision stream: a user-mode receiver of GVSP on loopback, unicast or multicast.
//
// Unicast: a UDP socket on the local loopback address and port, then the device's stream destination
// set to it: through the TqDeviceGEV of this process that controls the device (it holds the
// privilege, a second controller would be refused), or, when there is none, through a control
// session of the stream's own, kept alive by a heartbeat while the stream is open (the device forgets
// the destination when its controller's session ends). Close resets the destination it set.
// Multicast: the socket joins the group on 127.0.0.1 only and shares the port with other receivers;
// the device's destination is the application's business, the stream only checks that the device
// answers on its control channel.
// Either way the stream watches the links to the device's address: when a link of this process that
// controls the device is lost, or the device drops the stream's own session (its heartbeat answered
// without control, or unanswered for longer than the device's heartbeat timeout), retrieves that wait
// (and those to come, until Close) end with TQ_NOT_CONNECTED and the reason.
// Resends: while RequestMissingPackets is on (the default), the receiver asks the device for missing packets with
// PACKETRESEND commands (no acknowledge) from the stream's own socket, since a device takes them only
// from the stream's destination and its controller, in the form of the block's IDs (the extended one
// for 64-bit IDs); the packets come again on the stream channel.
// Datagrams: the receiver reads them whole up to its packet buffer, at least the device's packet
// size when it opens, up to the largest a UDP datagram carries.
// Sources: the stream takes GVSP from the device alone. A socket filter, attached before the socket
// is bound, lets the kernel queue only datagrams from the device's address; once the device's
// source port of the channel is known (SCSP, where its GVSP capability offers it and it answers
// not 0), from that port alone too, and a unicast socket is connected to it, so that the kernel
// does not even hand it others. Unicast learns the port right after it set the destination; a
// multicast stream when the channel is open as it opens. PACKETRESEND commands still go to the
// device's control port (an address given to sendto overrides a connected socket's).
#include "TqStream.h"

#include "TqDevice.h"
#include "TqDeviceEngine.h"
#include "TqDeviceInfo.h"
#include "TqDeviceRoutes.h"
#include "TqGvcpClient.h"
#include "TqGvspAssembler.h"
#include "TqGvspRing.h"
#include "TqResultCodes.h"
#include "TqStreamNet.h"
#include "TqStreamState.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace Reg = TqEngine::Reg;
namespace Gvcp = TqEngine::Gvcp;
using TqStreamLib::State;

namespace {

constexpr uint32_t kMinPacketBuffer = 17000, kMaxPacketBuffer = 65535 - TqGvsp::kIpUdpOverhead;
constexpr uint32_t kDefaultSocketBuffer = 4u << 20, kForcedSocketBuffer = 64u << 20;
constexpr int kRounds = 8;        // batches read one after another without a poll
constexpr unsigned kRingBlocks = 16;   // a packet ring of 64 MiB, as much as the forced socket buffer holds
// The naps a leader waits in, in the ring, for a buffer to be queued.
constexpr auto kRingNap = std::chrono::microseconds(100);

// How long the socket paths' receiver naps after a batch that came partly filled while datagrams
// keep coming, instead of waiting in poll (where the sender would wake it for every datagram): about
// the time half a batch takes to arrive at the pace they came lately, at least 20 us, at most 2 ms
// and never longer than a quarter of the socket's buffer takes to fill.
class Naps {
public:
    using Clock = std::chrono::steady_clock;

    explicit Naps(int aSocket) {
        int size = 0;
        socklen_t length = sizeof size;
        if (::getsockopt(aSocket, SOL_SOCKET, SO_RCVBUF, &size, &length) == 0 && size > 0) mBuffer = double(size);
    }
    // A batch of aGot datagrams, aBytes together, read at aNow.
    void Read(unsigned aGot, size_t aBytes, Clock::time_point aNow) {
        if (mLast != Clock::time_point()) {
            const double apart = std::chrono::duration<double>(aNow - mLast).count() / aGot;
            mPerDatagram = mPerDatagram > 0 ? 0.75 * mPerDatagram + 0.25 * apart : apart;
        }
        mBytesPerDatagram = double(aBytes) / aGot;
        mLast = aNow;
    }
    // Waits about as long as aSize / 2 datagrams take to come.
    void Take(unsigned aSize) const {
        double seconds = mPerDatagram * aSize / 2;
        if (mBytesPerDatagram > 0 && mPerDatagram > 0)
            seconds = std::min(seconds, mBuffer / 4 / (mBytesPerDatagram / mPerDatagram));
        std::this_thread::sleep_for(std::chrono::duration<double>(std::clamp(seconds, 20e-6, 2e-3)));
    }

private:
    Clock::time_point mLast;
    double mPerDatagram = 0, mBytesPerDatagram = 0, mBuffer = 212992;
};

using namespace TqNet;
using TqStreamLib::Utf8;

TqResult Failure(uint16_t aStatus, const char* aWhat) {
    if (aStatus == TqGvcpClient::Channel::kNoAnswer) return TqResult(TQ_NOT_FOUND, TqString("no device answers at the address"));
    return TqGvcpClient::StatusResult(aStatus, aWhat);
}

// Lets the kernel queue on aSocket only the datagrams from aAddress, and from its port aPort unless
// that is 0 (both host order); with aOptionsOnly only those whose IP header carries options (a packet
// ring takes the others): a classic socket filter, which sees a UDP datagram from its UDP header on
// and its IP header at SKF_NET_OFF. It keeps what it takes whole (a coalesced run too). False when
// the kernel refused it.
bool TakeOnlyFrom(int aSocket, uint32_t aAddress, uint16_t aPort, bool aOptionsOnly = false) {
    constexpr uint32_t kVersionLength = SKF_NET_OFF, kSourceAddress = SKF_NET_OFF + 12, kSourcePort = 0;
    std::vector<sock_filter> code = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kSourceAddress),
                                     BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, aAddress, 0, 0)};
    if (aPort)
        code.insert(code.end(), {BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kSourcePort),
                                 BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, aPort, 0, 0)});
    if (aOptionsOnly)   // a header longer than 5 words
        code.insert(code.end(), {BPF_STMT(BPF_LD | BPF_B | BPF_ABS, kVersionLength), BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0x0F),
                                 BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, 5, 0, 0)});
    code.insert(code.end(), {BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFu), BPF_STMT(BPF_RET | BPF_K, 0)});
    for (size_t i = 0; i < code.size(); ++i)   // a failed check drops: to the last instruction
        if (BPF_CLASS(code[i].code) == BPF_JMP) code[i].jf = static_cast<uint8_t>(code.size() - i - 2);
    const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    return ::setsockopt(aSocket, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

// The port the device sends the channel's packets from, from its GVSP capability, the channel's SCP
// and SCSP: 0 (unknown) when it does not offer SCSP, the channel is closed or SCSP answers 0.
uint16_t SourcePortOf(uint32_t aCapability, uint32_t aScp, uint32_t aScsp) {
    return (aCapability & Reg::kGvspSourcePorts) && (aScp & 0xFFFF) ? uint16_t(aScsp & 0xFFFF) : 0;
}

// The receiver of one open GigE Vision stream.
class GevReceiver : public TqStreamLib::Receiver, TqDeviceLib::LinkWatch {
public:
    GevReceiver(State& aState, int aSocket, uint32_t aPacketBuffer)
        : mState(aState), mAssembler(aState), mSocket(aSocket), mPacketBuffer(aPacketBuffer) {}
    ~GevReceiver() override {
        Stop();
        Release();
    }

    // The receive path of the datagrams of aDevice to aLocal:aPort (a unicast address, or the multicast
    // group), decided here alone, before the device is pointed at the port: a packet ring where the
    // process may open one, else the socket with UDP receive offload where the kernel grants it, else
    // the plain socket. KIVO_GVSP_RECEIVE asks for one ("ring", "offload" or "plain"; what cannot be
    // had falls back as above), as does KIVO_GVSP_PLAIN_RECEIVE (any value but empty or 0: the plain
    // path). Unless the ring was asked for, a device of this process, whose sender coalesces runs
    // toward a socket that takes them, is received on the socket (the runs are cheaper than any ring).
    // With the ring, the socket takes the device's datagrams with IP options alone, one at a time; it
    // does so before the ring opens, so that no datagram reaches both.
    // False when the socket could not be set up again after the ring failed.
    bool Choose(uint32_t aDevice, uint32_t aLocal, uint16_t aPort) {
        const Path asked = PathAsked();
        const bool offload = asked != Path::kPlain && TakeRuns(true);
        mPath = Path::kPlain;
        if (asked == Path::kRing || (asked == Path::kAny && !(offload && SendsRuns(aDevice)))) {
            mRingEnds = {aDevice, 0, aLocal, aPort};
            if (TakeOnlyFrom(mSocket, aDevice, 0, true) && (!offload || TakeRuns(false)) &&
                mRing.Open(mRingEnds, kRingBlocks)) {
                mPath = Path::kRing;
                return true;
            }
            if (!TakeOnlyFrom(mSocket, aDevice, 0) || (offload && !TakeRuns(true))) return false;
        }
        if (!offload) return true;
        mPath = Path::kOffload;
        // The senders of this process coalesce toward this socket once it is known to take runs.
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::getsockname(mSocket, reinterpret_cast<sockaddr*>(&local), &length) == 0 && local.sin_port) {
            mRunAddress = ntohl(local.sin_addr.s_addr);
            mRunPort = ntohs(local.sin_port);
            TqNet::AddRunReceiver(mRunAddress, mRunPort);
        }
        return true;
    }

    bool Start() {
        OpenRequests();
        return mReceiver.Start([this] { Run(); });
    }

    void Stop() override { mReceiver.Stop(); }

    void AbortBlocks() override { mAssembler.AbortAll(); }

    void Release() override {
        if (mWatching) TqDeviceLib::RemoveLinkWatch(this);
        mWatching = false;
        ResetDestination();
        if (mHeartbeat.joinable()) {
            {
                std::lock_guard<std::mutex> guard(mSessionLock);
                mSessionStop = true;
            }
            mSessionWake.notify_all();
            mHeartbeat.join();
        }
        if (mOwnSession) {
            mControl.WriteRegister(Reg::kCcp, 0);   // gives control back
            mOwnSession = false;
        }
        mControl.Close();
        if (mRunPort) TqNet::RemoveRunReceiver(mRunAddress, std::exchange(mRunPort, 0));
        if (mSocket >= 0) ::close(mSocket);
        mSocket = -1;
        mReceiver.Close();
    }

    // Unicast: points the device's channel at the socket. Reads the packet size on the way.
    TqResult SetDestination(uint32_t aDevice, uint16_t aChannel, uint32_t aLocalIp, uint16_t aPort) {
        Watch(aDevice);
        mChannel = aChannel;
        mLocalIp = aLocalIp;
        mPort = aPort;
        TqResult result(TQ_OK);
        bool controlled = false;
        uint16_t source = 0;
        TqDeviceGEV::WithController(aDevice, [&](TqDeviceGEV& aController) {
            if (!aController.IsConnected()) return;   // its link is lost: as good as none
            controlled = true;
            uint32_t channels = 0;
            result = aController.ReadRegister(Reg::kStreamChannels, channels);
            if (result.IsOK() && aChannel >= channels)
                result = TqResult(TQ_INVALID_PARAMETER, TqString("the device has no such stream channel"));
            if (result.IsOK())
                result = aController.SetStreamDestination(TqString(TqGvcpClient::IpText(aLocalIp).c_str()), aPort, aChannel);
            if (result.IsOK()) {
                auto read = [&](uint32_t aAddress, uint32_t& aValue) { return aController.ReadRegister(aAddress, aValue).IsOK(); };
                Seed(read);
                source = SourcePort(read);
            }
        });
        if (controlled) {
            mViaController = result.IsOK();
            return result.IsOK() ? FromDevicePort(source, true) : result;
        }
        // No controller in this process: a session of the stream's own.
        if (!mControl.Open(aDevice)) return TqResult(TQ_NETWORK_ERROR, TqString("no control channel to the device"));
        uint16_t status = mControl.WriteRegister(Reg::kCcp, Reg::kCcpControl);
        if (status != Gvcp::kSuccess) {
            mControl.Close();
            return status == TqGvcpClient::Channel::kNoAnswer
                       ? Failure(status, "")
                       : Failure(status, "the device refused control (another application controls it)");
        }
        mOwnSession = true;
        uint32_t channels = 0, heartbeat = 3000;
        status = mControl.ReadRegister(Reg::kStreamChannels, channels);
        if (status != Gvcp::kSuccess) return Failure(status, "cannot read the stream channels");
        if (aChannel >= channels) return TqResult(TQ_INVALID_PARAMETER, TqString("the device has no such stream channel"));
        status = mControl.WriteRegister(Reg::Scda(aChannel), aLocalIp);
        if (status == Gvcp::kSuccess) status = mControl.WriteRegister(Reg::Scp(aChannel), aPort);
        if (status != Gvcp::kSuccess) return Failure(status, "the device refused the stream destination");
        mOwnDestination = true;
        Seed(ControlRead{mControl});
        if (mControl.ReadRegister(Reg::kHeartbeatTimeout, heartbeat) != Gvcp::kSuccess || heartbeat < 30) heartbeat = 3000;
        mHeartbeat = std::thread([this, heartbeat] { Heartbeat(heartbeat / 3, heartbeat); });
        return FromDevicePort(SourcePort(ControlRead{mControl}), true);
    }

    // Multicast: the device must answer on its control channel (read only).
    TqResult Check(uint32_t aDevice, uint16_t aChannel) {
        Watch(aDevice);
        mChannel = aChannel;
        if (!mControl.Open(aDevice)) return TqResult(TQ_NETWORK_ERROR, TqString("no control channel to the device"));
        uint32_t version = 0;
        const uint16_t status = mControl.ReadRegister(Reg::kVersion, version);
        if (status == Gvcp::kSuccess) Seed(ControlRead{mControl});
        // A group's receivers share its port: the socket stays unconnected, the filter alone drops strangers.
        const uint16_t source = status == Gvcp::kSuccess ? SourcePort(ControlRead{mControl}) : 0;
        mControl.Close();
        if (status != Gvcp::kSuccess) return Failure(status, "the device refused to be read");
        return FromDevicePort(source, false);
    }

    // Drops the datagrams waiting on the socket (state lock held).
    void Flush() {
        std::vector<uint8_t> scratch(mPacketBuffer);
        while (::recv(mSocket, scratch.data(), scratch.size(), MSG_DONTWAIT) >= 0) {
        }
    }

    int Socket() const { return mSocket; }

private:
    // Reads of the device's registers through the stream's control session, as SourcePort and Seed
    // take them (true: the device answered), like reads through a controller of this process.
    struct ControlRead {
        TqGvcpClient::Channel& control;
        bool operator()(uint32_t aAddress, uint32_t& aValue) const {
            return control.ReadRegister(aAddress, aValue) == Gvcp::kSuccess;
        }
    };

    // The device's source port of the channel (0: unknown).
    template <class Read>
    uint16_t SourcePort(Read aRead) {
        uint32_t capability = 0, scp = 0, scsp = 0;
        if (!aRead(Reg::kGvspCapability, capability) || !aRead(Reg::Scp(mChannel), scp) || !aRead(Reg::Scsp(mChannel), scsp))
            return 0;
        return SourcePortOf(capability, scp, scsp);
    }

    // Takes the device's datagrams from aPort alone once it is known (not 0): the filter says so, and
    // with aConnect the socket is connected to it. The socket took the device's address alone before.
    TqResult FromDevicePort(uint16_t aPort, bool aConnect) {
        if (!aPort) return TqResult(TQ_OK);
        mRingEnds.sourcePort = aPort;
        if (!TakeOnlyFrom(mSocket, mDevice, aPort, mPath == Path::kRing) || (mPath == Path::kRing && !mRing.Filter(mRingEnds)))
            return TqResult(TQ_NETWORK_ERROR, errno, TqString("cannot filter the device's datagrams"));
        mSourcePort = aPort;
        const sockaddr_in device = Endpoint(mDevice, aPort);
        if (aConnect && ::connect(mSocket, reinterpret_cast<const sockaddr*>(&device), sizeof device) != 0)
            return TqResult(TQ_NETWORK_ERROR, errno, TqString("cannot connect to the device's source port"));
        return TqResult(TQ_OK);
    }

    // Watches the links to the device before anything of it is used, so that no loss goes unheard.
    void Watch(uint32_t aDevice) {
        mDevice = aDevice;
        mSourceAddress = aDevice;
        TqDeviceLib::AddLinkWatch(aDevice, this);
        mWatching = true;
    }

    void OnWatchedLinkLost() override { Lost("the link to the device is lost"); }

    // Retrieves end with TQ_NOT_CONNECTED and aWhy from now on.
    void Lost(const std::string& aWhy) {
        std::lock_guard<std::mutex> guard(mState.lock);
        if (!mState.linkLost) mState.linkLostReason = aWhy;
        mState.linkLost = true;
        mState.ready.notify_all();
    }

    // The channel's packet size: the payload of a full packet (with the header the device's GVSP
    // configuration chooses; a device without the register: the generic header), and datagrams of
    // that size read whole.
    template <class Read>
    void Seed(Read aRead) {
        uint32_t scps = 0, configuration = 0;
        if (!aRead(Reg::Scps(mChannel), scps)) return;
        if (!aRead(Reg::kGvspConfiguration, configuration)) configuration = 0;
        const uint32_t size = scps & 0xFFFF;
        const size_t chunk = TqGvsp::PayloadBytes(size, configuration & Reg::kGvspExtendedIds);
        if (chunk) mAssembler.SetChunkHint(static_cast<uint32_t>(chunk));
        if (size > TqGvsp::kIpUdpOverhead)
            mPacketBuffer = std::max(mPacketBuffer, std::min(size - uint32_t(TqGvsp::kIpUdpOverhead), kMaxPacketBuffer));
    }

    // PACKETRESEND commands leave from the stream's socket (the destination the device streams to, or
    // the group's port) to the device's control port; the assembler asks on the receiver thread.
    void OpenRequests() {
        mAssembler.SetRequester([this](uint64_t aBlock, uint32_t aFirst, uint32_t aLast, bool aExtended) {
            Request(aBlock, aFirst, aLast, aExtended);
        });
    }

    void Request(uint64_t aBlock, uint32_t aFirst, uint32_t aLast, bool aExtended) {
        if (++mRequestId == 0) mRequestId = 1;
        // No acknowledge: the packets are the answer.
        uint8_t command[Gvcp::kHeaderSize + Gvcp::PacketResendCommand::kExtendedSize];
        const size_t length = Gvcp::PacketResendCommand::SizeOf(aExtended);
        const size_t size = Gvcp::PutCommandHeader(command, Gvcp::kPacketResendCmd, mRequestId, length,
                                                   aExtended ? Gvcp::kFlagExtendedIds : 0);
        Gvcp::PacketResendCommand::Write(command + Gvcp::kHeaderSize, aExtended, mChannel, aBlock, aFirst, aLast);
        const sockaddr_in device = Endpoint(mDevice, Gvcp::kPort);
        (void)!::sendto(mSocket, command, size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&device), sizeof device);
    }

    // The stream's own session: a read of CCP every aInterval keeps it. The device has dropped it
    // when it answers without control (or refuses the read), or when it has not answered for longer
    // than its heartbeat timeout aTimeout; the heartbeat then ends.
    void Heartbeat(uint32_t aInterval, uint32_t aTimeout) {
        using Clock = std::chrono::steady_clock;
        std::unique_lock<std::mutex> guard(mSessionLock);
        Clock::time_point answered = Clock::now();
        while (!mSessionStop) {
            mSessionWake.wait_for(guard, std::chrono::milliseconds(std::max<uint32_t>(aInterval, 10)));
            if (mSessionStop) break;
            guard.unlock();
            uint32_t ccp = 0;
            const uint16_t status = mControl.ReadRegister(Reg::kCcp, ccp);
            const Clock::time_point now = Clock::now();
            guard.lock();
            if (mSessionStop) break;
            if (status == TqGvcpClient::Channel::kNoAnswer || status == TqGvcpClient::Channel::kStillPending) {
                if (now - answered <= std::chrono::milliseconds(aTimeout)) continue;
                Lost("the device has not answered the stream's heartbeat for longer than its heartbeat timeout (" +
                     std::to_string(aTimeout) + " ms)");
                break;
            }
            if (status == Gvcp::kAccessDenied ||
                (status == Gvcp::kSuccess && !(ccp & (Reg::kCcpControl | Reg::kCcpExclusive)))) {
                Lost("the device ended the stream's control session (its heartbeat was answered without control)");
                break;
            }
            if (status == Gvcp::kSuccess) answered = now;
        }
    }

    // Resets the device's destination when it is still the one this stream set.
    void ResetDestination() {
        if (mViaController) {
            mViaController = false;
            TqDeviceGEV::WithController(mDevice, [&](TqDeviceGEV& aController) {
                uint32_t port = 0, address = 0;
                if (aController.ReadRegister(Reg::Scp(mChannel), port).IsOK() &&
                    aController.ReadRegister(Reg::Scda(mChannel), address).IsOK() && (port & 0xFFFF) == mPort &&
                    address == mLocalIp)
                    aController.ResetStreamDestination(mChannel);
            });
        }
        if (mOwnDestination) {
            mOwnDestination = false;
            mControl.WriteRegister(Reg::Scp(mChannel), 0);
            mControl.WriteRegister(Reg::Scda(mChannel), 0);
        }
    }

    enum class Path { kAny, kRing, kOffload, kPlain };

    static Path PathAsked() {
        const char* plain = std::getenv("KIVO_GVSP_PLAIN_RECEIVE");
        if (plain && *plain && std::strcmp(plain, "0") != 0) return Path::kPlain;
        const char* asked = std::getenv("KIVO_GVSP_RECEIVE");
        if (!asked) return Path::kAny;
        if (std::strcmp(asked, "ring") == 0) return Path::kRing;
        if (std::strcmp(asked, "offload") == 0) return Path::kOffload;
        if (std::strcmp(asked, "plain") == 0) return Path::kPlain;
        return Path::kAny;
    }

    // Whether the socket now takes coalesced reads (aOn), or no longer does.
    bool TakeRuns(bool aOn) {
        int on = aOn;
        return ::setsockopt(mSocket, SOL_UDP, UDP_GRO, &on, sizeof on) == 0;
    }

    // Whether the device is one of this process's own, whose sender coalesces toward a receiver
    // that takes runs.
    static bool SendsRuns(uint32_t aDevice) {
        for (const TqEngine::DeviceRecord& d : TqEngine::RunningDevices())
            if (d.address == aDevice) return true;
        return false;
    }

    void Run() {
        ::pthread_setname_np(::pthread_self(), "kivo-gvsp-rx");
        ::prctl(PR_SET_TIMERSLACK, 1000UL);   // its naps end when asked, not up to 50 us later
        switch (mPath) {
        case Path::kRing: RunRing(); break;
        case Path::kOffload: RunCoalescing(); break;
        default: RunPlain(); break;
        }
    }

    // Blocks of the ring as the kernel fills them, each datagram taken as the batches take theirs
    // (GvspRingBatch), and the socket's datagrams (those with IP options) as the plain path's.
    // The state is locked for one block at a time: after the receiver was kept from running, several
    // blocks wait, and the application retrieves and queues buffers between them. A leader that
    // finds no buffer queued waits in the ring (in naps of kRingNap) while less than half of it is
    // filled (see GvspRingBatch).
    void RunRing() {
        using Clock = TqStreamLib::GvspAssembler::Clock;
        TqStreamLib::GvspRingBatch ring;
        ring.SetSource(mSourceAddress, mSourcePort);
        auto read = [&] {
            for (unsigned blocks = 0; blocks < kRingBlocks; ++blocks) {
                std::unique_lock<std::mutex> guard(mState.lock);
                const Clock::time_point now = Clock::now();
                bool waits = false;
                const unsigned drained = mRing.Drain(
                    1,
                    [&](const TqLinkFrame::Datagram& aDatagram) {
                        return ring.Take(mAssembler, aDatagram, now, [this] { return !mRing.HalfFull(); }) ||
                               !(waits = true);
                    },
                    [&] { TqStreamLib::GvspRingBatch::Cut(mAssembler); });
                if (waits) {
                    guard.unlock();
                    std::this_thread::sleep_for(kRingNap);
                    return true;   // the loop sees to the deadlines and to Stop
                }
                if (!drained) break;
            }
            return true;
        };
        auto batch = std::make_unique<TqStreamLib::GvspBatch>(mPacketBuffer);
        batch->SetSource(mSourceAddress, mSourcePort);
        auto readSocket = [&] {
            std::lock_guard<std::mutex> guard(mState.lock);
            const int got = ::recvmmsg(mSocket, batch->Prepare(mAssembler), TqStreamLib::GvspBatch::kSize, MSG_DONTWAIT, nullptr);
            if (got > 0) batch->Deliver(mAssembler, static_cast<unsigned>(got), Clock::now());
            return true;
        };
        mReceiver.Loop(mState.lock, mRing.Fd(), [this](Clock::time_point aNow) { return mAssembler.Expire(aNow); }, read,
                       mSocket, readSocket);
    }

    // Reads of up to 64 KiB, each split back into the datagrams the kernel coalesced into it.
    void RunCoalescing() {
        auto batch = std::make_unique<TqStreamLib::GvspCoalescedBatch>(mPacketBuffer);
        RunBatches(*batch, TqStreamLib::GvspCoalescedBatch::kReads);
    }

    void RunPlain() {
        auto batch = std::make_unique<TqStreamLib::GvspBatch>(mPacketBuffer);
        RunBatches(*batch, TqStreamLib::GvspBatch::kSize);
    }

    // Batches of aSize messages with one recvmmsg each, under the lock (buffers are written only
    // under it), a few before the timeouts and the wake-up pipe are looked at again, and after a batch
    // that came partly filled a nap (outside the lock; see Naps) instead of a wait in poll.
    template <class Batch>
    void RunBatches(Batch& aBatch, unsigned aSize) {
        using Clock = TqStreamLib::GvspAssembler::Clock;
        aBatch.SetSource(mSourceAddress, mSourcePort);
        Naps naps(mSocket);
        auto read = [&] {
            for (int round = 0; round < kRounds; ++round) {
                int got;
                size_t bytes = 0;
                {
                    std::lock_guard<std::mutex> guard(mState.lock);
                    mmsghdr* messages = aBatch.Prepare(mAssembler);
                    got = ::recvmmsg(mSocket, messages, aSize, MSG_DONTWAIT, nullptr);
                    if (got > 0) {
                        for (int i = 0; i < got; ++i) bytes += messages[i].msg_len;
                        aBatch.Deliver(mAssembler, static_cast<unsigned>(got), Clock::now());
                    }
                }
                if (got <= 0) break;
                naps.Read(static_cast<unsigned>(got), bytes, Clock::now());
                if (static_cast<unsigned>(got) < aSize) naps.Take(aSize);
            }
            return true;
        };
        mReceiver.Loop(mState.lock, mSocket, [this](Clock::time_point aNow) { return mAssembler.Expire(aNow); }, read);
    }

    State& mState;
    TqStreamLib::GvspAssembler mAssembler;
    int mSocket;
    uint16_t mRequestId = 0;
    uint32_t mPacketBuffer;
    Path mPath = Path::kPlain;   // the path taken
    uint32_t mRunAddress = 0;   // its address and port, while the senders of this process coalesce toward it
    uint16_t mRunPort = 0;
    TqStreamLib::GvspRing mRing;   // open: the path
    TqStreamLib::GvspRing::Ends mRingEnds;
    TqStreamLib::ReceiverThread mReceiver;

    TqGvcpClient::Channel mControl;
    bool mOwnSession = false, mOwnDestination = false, mViaController = false, mWatching = false;
    std::mutex mSessionLock;
    std::condition_variable mSessionWake;
    bool mSessionStop = false;
    std::thread mHeartbeat;
    uint32_t mDevice = 0, mLocalIp = 0;
    uint16_t mChannel = 0, mPort = 0;
    // Where the stream's datagrams come from (host order; a port of 0: any of the device's), held in
    // the kernel's filter and checked again by the batches (GvspBatchBase::SetSource).
    uint32_t mSourceAddress = 0;
    uint16_t mSourcePort = 0;
};

// A UDP socket with the stream's receive buffer that takes datagrams from aDevice alone (not bound
// yet, so none from another was ever queued); -1 with the reason in aWhy.
int NewSocket(State& aState, uint32_t aDevice, TqResult& aWhy) {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        aWhy = TqResult(TQ_NETWORK_ERROR, errno, TqString("no socket"));
        return -1;
    }
    if (!TakeOnlyFrom(s, aDevice, 0)) {
        aWhy = TqResult(TQ_NETWORK_ERROR, errno, TqString("cannot filter the device's datagrams"));
        ::close(s);
        return -1;
    }
    uint32_t asked;
    {
        std::lock_guard<std::mutex> guard(aState.lock);
        asked = aState.socketBufferSize;
    }
    // The default: a larger buffer where the process may go beyond rmem_max (it rides out the moments
    // a busy machine keeps the receiver from running), else as much as rmem_max allows up to 4 MiB.
    // The forced size stays well within the resend history of our own device (TqEngineImpl.h): what
    // a receiver that far behind lost can still be sent again.
    int size = static_cast<int>(kForcedSocketBuffer);
    if (asked || ::setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        size = static_cast<int>(asked ? asked : std::min(kDefaultSocketBuffer, ReceiveBufferMax()));
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    return s;
}

struct Opening {
    uint32_t device = 0, local = kLoopback, group = 0;
    TqResult result{TQ_OK};
};

// The device's and local addresses of an Open; a failure in result.
Opening Addresses(State& aState, const TqString& aDevice, const TqString& aLocal, uint32_t aCapacity) {
    Opening o;
    {
        std::lock_guard<std::mutex> guard(aState.lock);
        if (aState.open) {
            o.result = TqResult(TQ_STATE_ERROR, TqString("the stream is open already"));
            return o;
        }
    }
    if (!TqGvcpClient::ParseIp(Utf8(aDevice), o.device) || !IsLoopback(o.device))
        o.result = TqResult(TQ_INVALID_PARAMETER, TqString("not the loopback IP address of a device"));
    else if (!Utf8(aLocal).empty() && (!TqGvcpClient::ParseIp(Utf8(aLocal), o.local) || !IsLoopback(o.local)))
        o.result = TqResult(TQ_INVALID_PARAMETER, TqString("not a local loopback address"));
    else if (aCapacity == 0)
        o.result = TqResult(TQ_INVALID_PARAMETER, TqString("the stream must hold at least one buffer"));
    return o;
}

// Makes the stream open around a started receiver.
void Opened(State& aState, std::unique_ptr<GevReceiver> aReceiver, uint32_t aDevice, uint32_t aLocal, uint32_t aGroup,
            uint16_t aPort, uint16_t aSpecific, uint16_t aChannel, uint32_t aCapacity) {
    std::lock_guard<std::mutex> guard(aState.lock);
    aState.counters.Reset();
    aState.receiver = std::move(aReceiver);
    aState.open = true;
    aState.capacity = aCapacity;
    aState.channel = aChannel;
    aState.dataPort = aPort;
    aState.specificPort = aSpecific;
    aState.deviceAddress = TqGvcpClient::IpText(aDevice);
    aState.localAddress = TqGvcpClient::IpText(aLocal);
    aState.multicastAddress = aGroup ? TqGvcpClient::IpText(aGroup) : std::string();
}

uint32_t PacketBuffer(State& aState) {
    std::lock_guard<std::mutex> guard(aState.lock);
    return aState.packetBufferSize;
}

GevReceiver* ReceiverOf(State& aState) { return static_cast<GevReceiver*>(aState.receiver.get()); }

std::string DeviceAddress(const TqDeviceInfo* aDeviceInfo, TqResult& aWhy) {
    if (!aDeviceInfo) {
        aWhy = TqResult(TQ_INVALID_PARAMETER, TqString("no device information"));
        return {};
    }
    auto* gev = dynamic_cast<const TqDeviceInfoGEV*>(aDeviceInfo);
    if (!gev) {
        aWhy = TqResult(TQ_NOT_SUPPORTED, TqString("not a GigE Vision device"));
        return {};
    }
    return Utf8(gev->GetIPAddress());
}

}  // namespace

TqStreamGEV::TqStreamGEV() { mState->requestResends = true; }   // as GigE Vision receivers do
TqStreamGEV::~TqStreamGEV() { Close(); }

TqStreamType TqStreamGEV::GetType() const { return TqStreamTypeGEV; }
TqDataReceiverType TqStreamGEV::GetDataReceiverType() const { return TqDataReceiverTypeUserMode; }

TqResult TqStreamGEV::Open(const TqString& aInfo) { return Open(aInfo, 0, 0, TqString(), 64); }
TqResult TqStreamGEV::Open(const TqDeviceInfo* aDeviceInfo) { return Open(aDeviceInfo, 0, 0, TqString(), 64); }

TqResult TqStreamGEV::Open(const TqDeviceInfo* aDeviceInfo, uint16_t aLocalPort, uint16_t aChannel,
                           const TqString& aLocalIPAddress, uint32_t aBuffersCapacity) {
    TqResult why(TQ_OK);
    std::string address = DeviceAddress(aDeviceInfo, why);
    if (why.IsFailure()) return why;
    // The local address of a record's form is not used: the receiver picks its own.
    return Open(TqString(address.c_str()), aLocalPort, aChannel, TqString(), aBuffersCapacity);
}

TqResult TqStreamGEV::Open(const TqString& aInfo, uint16_t aLocalPort, uint16_t aChannel,
                           const TqString& aLocalIPAddress, uint32_t aBuffersCapacity) {
    State& s = *mState;
    Opening o = Addresses(s, aInfo, aLocalIPAddress, aBuffersCapacity);
    if (o.result.IsFailure()) return o.result;
    TqResult why(TQ_OK);
    int socket = NewSocket(s, o.device, why);
    if (socket < 0) return why;
    sockaddr_in local = Endpoint(o.local, aLocalPort);
    socklen_t length = sizeof local;
    if (::bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        const int error = errno;
        ::close(socket);
        return TqResult(TQ_NETWORK_ERROR, error, TqString("cannot bind the local port"));
    }
    const uint16_t port = ntohs(local.sin_port);
    auto receiver = std::make_unique<GevReceiver>(s, socket, PacketBuffer(s));
    if (!receiver->Choose(o.device, o.local, port))
        return TqResult(TQ_NETWORK_ERROR, errno, TqString("cannot filter the device's datagrams"));
    TqResult result = receiver->SetDestination(o.device, aChannel, o.local, port);
    if (result.IsOK() && !receiver->Start()) result = TqResult(TQ_THREAD_ERROR, TqString("no receiver thread"));
    if (result.IsFailure()) return result;   // the receiver releases what it took
    Opened(s, std::move(receiver), o.device, o.local, 0, port, aLocalPort, aChannel, aBuffersCapacity);
    return TqResult(TQ_OK);
}

TqResult TqStreamGEV::Open(const TqDeviceInfo* aDeviceInfo, const TqString& aMulticastAddr, uint16_t aDataPort,
                           uint16_t aChannel, const TqString& aLocalIPAddress, uint32_t aBuffersCapacity) {
    TqResult why(TQ_OK);
    std::string address = DeviceAddress(aDeviceInfo, why);
    if (why.IsFailure()) return why;
    return Open(TqString(address.c_str()), aMulticastAddr, aDataPort, aChannel, TqString(), aBuffersCapacity);
}

TqResult TqStreamGEV::Open(const TqString& aInfo, const TqString& aMulticastAddr, uint16_t aDataPort, uint16_t aChannel,
                           const TqString& aLocalIPAddress, uint32_t aBuffersCapacity) {
    State& s = *mState;
    Opening o = Addresses(s, aInfo, aLocalIPAddress, aBuffersCapacity);
    if (o.result.IsFailure()) return o.result;
    if (!TqGvcpClient::ParseIp(Utf8(aMulticastAddr), o.group) || !IsMulticast(o.group))
        return TqResult(TQ_INVALID_PARAMETER, TqString("not a multicast address"));
    TqResult why(TQ_OK);
    int socket = NewSocket(s, o.device, why);
    if (socket < 0) return why;
    int one = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);   // other receivers of the group
    sockaddr_in local = Endpoint(o.group, aDataPort);
    socklen_t length = sizeof local;
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = htonl(o.group);
    membership.imr_interface.s_addr = htonl(kLoopback);   // never joined on another interface
    if (::bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        ::setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        const int error = errno;
        ::close(socket);
        return TqResult(TQ_NETWORK_ERROR, error, TqString("cannot join the multicast group on loopback"));
    }
    const uint16_t port = ntohs(local.sin_port);
    auto receiver = std::make_unique<GevReceiver>(s, socket, PacketBuffer(s));
    if (!receiver->Choose(o.device, o.group, port))
        return TqResult(TQ_NETWORK_ERROR, errno, TqString("cannot filter the device's datagrams"));
    TqResult result = receiver->Check(o.device, aChannel);
    if (result.IsOK() && !receiver->Start()) result = TqResult(TQ_THREAD_ERROR, TqString("no receiver thread"));
    if (result.IsFailure()) return result;
    Opened(s, std::move(receiver), o.device, kLoopback, o.group, port, 0, aChannel, aBuffersCapacity);
    return TqResult(TQ_OK);
}

TqResult TqStreamGEV::FlushPacketQueue() {
    State& s = *mState;
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.open || !s.receiver) return TqResult(TQ_NOT_CONNECTED);
    ReceiverOf(s)->Flush();
    return TqResult(TQ_OK);
}

bool TqStreamGEV::GetWaitForFirstPacketOfBlockToStart() const { return mState->waitForLeader.load(); }

TqResult TqStreamGEV::SetWaitForFirstPacketOfBlockToStart(bool aWait) {
    mState->waitForLeader = aWait;
    return TqResult(TQ_OK);
}

uint16_t TqStreamGEV::GetLocalPort() const { return TqStreamLib::LocalPortOf(*mState); }

TqString TqStreamGEV::GetLocalIPAddress() const { return TqStreamLib::LocalAddressOf(*mState); }

TqString TqStreamGEV::GetMulticastIPAddress() const { return TqStreamLib::MulticastAddressOf(*mState); }

TqString TqStreamGEV::GetDeviceIPAddress() const {
    std::lock_guard<std::mutex> guard(mState->lock);
    return TqString(mState->deviceAddress.c_str());
}

uint16_t TqStreamGEV::GetSpecificLocalPort() const {
    std::lock_guard<std::mutex> guard(mState->lock);
    return mState->open ? mState->specificPort : 0;
}

uint32_t TqStreamGEV::GetUserModeDataReceiverThreadPriority() const { return TqStreamLib::PriorityOf(*mState); }

TqResult TqStreamGEV::SetUserModeDataReceiverThreadPriority(uint32_t aPriority) {
    return TqStreamLib::SetPriority(*mState, aPriority);
}

TqResult TqStreamGEV::GetUserModeSocketRxBufferSize(uint32_t& aSize) {
    State& s = *mState;
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.open || !s.receiver) return TqResult(TQ_NOT_CONNECTED);
    int size = 0;
    socklen_t length = sizeof size;
    if (::getsockopt(ReceiverOf(s)->Socket(), SOL_SOCKET, SO_RCVBUF, &size, &length) != 0)
        return TqResult(TQ_NETWORK_ERROR, errno);
    aSize = static_cast<uint32_t>(size);   // as the kernel keeps it (twice what was asked, for its bookkeeping)
    return TqResult(TQ_OK);
}

TqResult TqStreamGEV::SetUserModeSocketRxBufferSize(uint32_t aSize) {
    State& s = *mState;
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.open) return TqResult(TQ_NETWORK_CONFIG_ERROR, TqString("set before Open"));
    const uint32_t most = ReceiveBufferMax();
    s.socketBufferSize = std::min(aSize, most);
    if (aSize > most) return TqResult(TQ_INVALID_PARAMETER, TqString("above rmem_max: rmem_max is used"));
    return TqResult(TQ_OK);
}

TqResult TqStreamGEV::SetUserModeRxPacketBufferSize(uint32_t aSize) {
    State& s = *mState;
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.open) return TqResult(TQ_NETWORK_CONFIG_ERROR, TqString("set before Open"));
    s.packetBufferSize = std::clamp(aSize, kMinPacketBuffer, kMaxPacketBuffer);
    return TqResult(TQ_OK);
}

TqResult TqStreamGEV::IsDriverInstalled(TqString& aIPAddress, bool& aInstalled, const TqString& aLocalIPAddress) {
    aInstalled = false;   // this system has no receiver driver: streams receive in user mode
    uint32_t ip = 0;
    if (!TqGvcpClient::ParseIp(Utf8(aIPAddress), ip)) return TqResult(TQ_INVALID_PARAMETER, TqString("not an IP address"));
    return TqResult(TQ_OK);
}
