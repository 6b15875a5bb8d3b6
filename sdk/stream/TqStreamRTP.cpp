// The RTP stream: a user-mode receiver of RTP on loopback, by UDP (unicast on a local address, or a
// multicast group joined on 127.0.0.1) or as a TCP client (RFC 4571 framing). One receiver thread per
// open stream reads the socket and hands every packet to the frame assembly (TqRtpDepacketizer.h)
// under the state lock, as the GigE Vision receiver does; queue, retrieve, abort and close are the
// base class's.
//
// What only this kind has (the payload prepared, the TCP server's address) lives beside the stream's
// state, one record per stream, for as long as the stream.
#include "TqStream.h"

#include "TqGvcpClient.h"
#include "TqResultCodes.h"
#include "TqRtpDepacketizer.h"
#include "TqStreamNet.h"
#include "TqStreamState.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

using TqStreamLib::RtpDepacketizer;
using TqStreamLib::RtpFormat;
using TqStreamLib::State;

namespace {

constexpr uint32_t kCapacity = 64;                // buffers an RTP stream holds
constexpr uint32_t kDefaultSocketBuffer = 4u << 20;
constexpr size_t kDatagram = 65536;               // the largest UDP payload, read whole
constexpr unsigned kBatch = 16;                   // datagrams per recvmmsg
constexpr int kConnectTimeoutMs = 5000;

using namespace TqNet;
using TqStreamLib::Utf8;

// What an RTP stream keeps besides the state: the payload (read and written under the state lock)
// and the TCP server of the last OpenTCP.
struct RtpSettings {
    RtpFormat format;
    std::string tcpServer;
    uint16_t tcpPort = 0;
};

std::mutex& SettingsLock() {
    static std::mutex lock;
    return lock;
}
std::map<const State*, std::unique_ptr<RtpSettings>>& AllSettings() {
    static auto* all = new std::map<const State*, std::unique_ptr<RtpSettings>>;   // streams may outlive exit
    return *all;
}

RtpSettings& SettingsOf(const State& aState) {
    std::lock_guard<std::mutex> guard(SettingsLock());
    auto& slot = AllSettings()[&aState];
    if (!slot) slot = std::make_unique<RtpSettings>();
    return *slot;
}

void ForgetSettings(const State& aState) {
    std::lock_guard<std::mutex> guard(SettingsLock());
    AllSettings().erase(&aState);
}

// The receiver of one open RTP stream: a datagram socket or a connected TCP socket.
class RtpReceiver : public TqStreamLib::Receiver {
public:
    RtpReceiver(State& aState, const RtpFormat& aFormat, int aSocket, bool aTcp)
        : mState(aState), mDepacketizer(aState, aFormat), mSocket(aSocket), mTcp(aTcp) {}
    ~RtpReceiver() override {
        Stop();
        Release();
    }

    bool Start() { return mReceiver.Start([this] { Run(); }); }

    void Stop() override { mReceiver.Stop(); }

    void AbortBlocks() override { mDepacketizer.AbortAll(); }

    void Release() override {
        if (mSocket >= 0) ::close(mSocket);
        mSocket = -1;
        mReceiver.Close();
    }

private:
    using Clock = RtpDepacketizer::Clock;

    void Run() {
        std::vector<uint8_t> storage(mTcp ? kDatagram : size_t(kBatch) * kDatagram);
        // TCP: until the server closes the connection.
        mReceiver.Loop(mState.lock, mSocket, [this](Clock::time_point aNow) { return mDepacketizer.Expire(aNow); },
                       [&] { return mTcp ? ReadStream(storage) : (ReadDatagrams(storage), true); });
    }

    void ReadDatagrams(std::vector<uint8_t>& aStorage) {
        mmsghdr messages[kBatch];
        iovec vectors[kBatch];
        for (unsigned i = 0; i < kBatch; ++i) {
            vectors[i] = {aStorage.data() + size_t(i) * kDatagram, kDatagram};
            std::memset(&messages[i], 0, sizeof messages[i]);
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = ::recvmmsg(mSocket, messages, kBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0) return;
        const auto now = Clock::now();
        std::lock_guard<std::mutex> guard(mState.lock);   // buffers are written only under the lock
        for (int i = 0; i < got; ++i) {
            if (messages[i].msg_hdr.msg_flags & MSG_TRUNC) {
                mState.counters.packetsReceived++;
                mState.counters.packetsBad++;
                continue;
            }
            mDepacketizer.Process(static_cast<const uint8_t*>(vectors[i].iov_base), messages[i].msg_len, now);
        }
    }

    // False once the connection is over (closed by the server, or failed).
    bool ReadStream(std::vector<uint8_t>& aStorage) {
        const ssize_t got = ::recv(mSocket, aStorage.data(), aStorage.size(), MSG_DONTWAIT);
        if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (got == 0) return false;
        const auto now = Clock::now();
        std::lock_guard<std::mutex> guard(mState.lock);
        mFramer.Feed(aStorage.data(), size_t(got),
                     [&](const uint8_t* aPacket, size_t aSize) { mDepacketizer.Process(aPacket, aSize, now); });
        return true;
    }

    State& mState;
    RtpDepacketizer mDepacketizer;
    TqStreamLib::RtpStreamFramer mFramer;
    int mSocket;
    bool mTcp;
    TqStreamLib::ReceiverThread mReceiver;
};

TqResult NotOpenYet(State& aState) {
    std::lock_guard<std::mutex> guard(aState.lock);
    if (aState.open) return TqResult(TQ_STATE_ERROR, TqString("the stream is open already"));
    return TqResult(TQ_OK);
}

// The local loopback address of an Open (empty: 127.0.0.1); false when it is none.
bool LocalAddress(const TqString& aText, uint32_t& aIp) {
    const std::string text = Utf8(aText);
    aIp = kLoopback;
    return text.empty() || (TqGvcpClient::ParseIp(text, aIp) && IsLoopback(aIp));
}

int DatagramSocket(TqResult& aWhy) {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        aWhy = TqResult(TQ_NETWORK_ERROR, errno, TqString("no socket"));
        return -1;
    }
    const int size = static_cast<int>(std::min(kDefaultSocketBuffer, ReceiveBufferMax()));
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return s;
}

uint16_t LocalPortOf(int aSocket) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(aSocket, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return ntohs(local.sin_port);
}

// Starts the receiver around a ready socket and makes the stream open.
// aServer: the TCP server's address and port, 0 for a UDP stream.
TqResult Start(State& aState, int aSocket, bool aTcp, uint32_t aLocal, uint32_t aGroup, uint16_t aPort,
               uint32_t aServer = 0, uint16_t aServerPort = 0) {
    RtpSettings& settings = SettingsOf(aState);
    auto receiver = std::make_unique<RtpReceiver>(aState, settings.format, aSocket, aTcp);
    if (!receiver->Start()) return TqResult(TQ_THREAD_ERROR, TqString("no receiver thread"));   // closes the socket
    std::lock_guard<std::mutex> guard(aState.lock);
    if (aState.open) return TqResult(TQ_STATE_ERROR, TqString("the stream is open already"));   // a racing Open
    aState.counters.Reset();
    aState.receiver = std::move(receiver);
    aState.open = true;
    aState.capacity = kCapacity;
    aState.channel = 0;
    aState.dataPort = aPort;
    aState.specificPort = 0;
    aState.deviceAddress.clear();
    aState.localAddress = TqGvcpClient::IpText(aLocal);
    aState.multicastAddress = aGroup ? TqGvcpClient::IpText(aGroup) : std::string();
    settings.tcpServer = aServer ? TqGvcpClient::IpText(aServer) : std::string();
    settings.tcpPort = aServerPort;
    return TqResult(TQ_OK);
}

}  // namespace

TqStreamRTP::TqStreamRTP() { SettingsOf(*mState); }

TqStreamRTP::~TqStreamRTP() {
    Close();   // the receiver, which reads the settings, is gone after it
    ForgetSettings(*mState);
}

TqStreamType TqStreamRTP::GetType() const { return TqStreamTypeRTP; }

TqResult TqStreamRTP::Open(const TqString& aInfo) {
    return TqResult(TQ_NOT_SUPPORTED, TqString("an RTP stream opens on a local address and port"));
}

TqResult TqStreamRTP::Open(const TqDeviceInfo* aDeviceInfo) {
    return TqResult(TQ_NOT_SUPPORTED, TqString("an RTP stream opens on a local address and port"));
}

TqResult TqStreamRTP::Open(const TqSessionInfoSDP* aSession, const TqString& aLocalIpAddress, uint16_t aLocalPort) {
    return TqResult(TQ_NOT_SUPPORTED, TqString("session descriptions are not supported"));
}

TqResult TqStreamRTP::Open(const TqString& aLocalIpAddress, uint16_t aLocalPort) {
    State& s = *mState;
    TqResult result = NotOpenYet(s);
    if (result.IsFailure()) return result;
    uint32_t local = 0;
    if (!LocalAddress(aLocalIpAddress, local))
        return TqResult(TQ_INVALID_PARAMETER, TqString("not a local loopback address"));
    int socket = DatagramSocket(result);
    if (socket < 0) return result;
    sockaddr_in address = Endpoint(local, aLocalPort);
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(socket);
        return TqResult(TQ_NETWORK_ERROR, error, TqString("cannot bind the local port"));
    }
    return Start(s, socket, false, local, 0, LocalPortOf(socket));
}

TqResult TqStreamRTP::Open(const TqString& aMulticastAddress, uint16_t aDataPort, const TqString& aLocalIpAddress) {
    State& s = *mState;
    TqResult result = NotOpenYet(s);
    if (result.IsFailure()) return result;
    uint32_t group = 0, local = 0;
    if (!TqGvcpClient::ParseIp(Utf8(aMulticastAddress), group) || !IsMulticast(group))
        return TqResult(TQ_INVALID_PARAMETER, TqString("not a multicast address"));
    if (!LocalAddress(aLocalIpAddress, local))
        return TqResult(TQ_INVALID_PARAMETER, TqString("not a local loopback address"));
    int socket = DatagramSocket(result);
    if (socket < 0) return result;
    int one = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);   // other receivers of the group
    sockaddr_in address = Endpoint(group, aDataPort);
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = htonl(group);
    membership.imr_interface.s_addr = htonl(kLoopback);   // never joined on another interface
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::setsockopt(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        const int error = errno;
        ::close(socket);
        return TqResult(TQ_NETWORK_ERROR, error, TqString("cannot join the multicast group on loopback"));
    }
    return Start(s, socket, false, kLoopback, group, LocalPortOf(socket));
}

TqResult TqStreamRTP::OpenTCP(const TqString& aServerIPAddress, uint16_t aServerPort) {
    State& s = *mState;
    TqResult result = NotOpenYet(s);
    if (result.IsFailure()) return result;
    uint32_t server = 0;
    if (!TqGvcpClient::ParseIp(Utf8(aServerIPAddress), server) || !IsLoopback(server))
        return TqResult(TQ_INVALID_PARAMETER, TqString("not a loopback address"));
    if (aServerPort == 0) return TqResult(TQ_INVALID_PARAMETER, TqString("no server port"));
    int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket < 0) return TqResult(TQ_NETWORK_ERROR, errno, TqString("no socket"));
    sockaddr_in address = Endpoint(server, aServerPort);
    int error = 0;
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd fd{socket, POLLOUT, 0};
            int ready;
            do {
                ready = ::poll(&fd, 1, kConnectTimeoutMs);
            } while (ready < 0 && errno == EINTR);
            socklen_t length = sizeof error;
            if (ready <= 0) {
                error = ETIMEDOUT;
            } else if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                error = errno;
            }
        }
    }
    if (error != 0) {
        ::close(socket);
        return TqResult(TQ_NETWORK_ERROR, error, TqString("cannot connect to the server"));
    }
    return Start(s, socket, true, kLoopback, 0, LocalPortOf(socket), server, aServerPort);
}

TqResult TqStreamRTP::PrepareFor(uint32_t aWidth, uint32_t aHeight, TqPixelType aPixelType, uint16_t aPaddingX) {
    RtpFormat format;
    const uint32_t code = RtpFormat::Raw(aWidth, aHeight, aPixelType, aPaddingX, format);
    if (code == TQ_NOT_SUPPORTED) return TqResult(code, TqString("no pgroup for this pixel type"));
    if (code != TQ_OK) return TqResult(code, TqString("a geometry that line headers cannot address"));
    RtpSettings& settings = SettingsOf(*mState);
    std::lock_guard<std::mutex> guard(mState->lock);
    settings.format = format;
    return TqResult(TQ_OK);
}

TqResult TqStreamRTP::PrepareForH264() {
    RtpSettings& settings = SettingsOf(*mState);
    std::lock_guard<std::mutex> guard(mState->lock);
    settings.format = RtpFormat{};
    settings.format.kind = RtpFormat::Kind::H264;
    return TqResult(TQ_OK);
}

TqResult TqStreamRTP::ResetPayloadType() {
    RtpSettings& settings = SettingsOf(*mState);
    std::lock_guard<std::mutex> guard(mState->lock);
    settings.format = RtpFormat{};
    return TqResult(TQ_OK);
}

uint16_t TqStreamRTP::GetLocalPort() const { return TqStreamLib::LocalPortOf(*mState); }

TqString TqStreamRTP::GetLocalIPAddress() const { return TqStreamLib::LocalAddressOf(*mState); }

TqString TqStreamRTP::GetMulticastIPAddress() const { return TqStreamLib::MulticastAddressOf(*mState); }

TqString TqStreamRTP::GetTCPServerIPAddress() const {
    RtpSettings& settings = SettingsOf(*mState);
    std::lock_guard<std::mutex> guard(mState->lock);
    return TqString(settings.tcpServer.c_str());
}

uint16_t TqStreamRTP::GetTCPServerPort() const {
    RtpSettings& settings = SettingsOf(*mState);
    std::lock_guard<std::mutex> guard(mState->lock);
    return settings.tcpPort;
}

uint32_t TqStreamRTP::GetThreadPriority() const { return TqStreamLib::PriorityOf(*mState); }

TqResult TqStreamRTP::SetThreadPriority(uint32_t aPriority) {
    return TqStreamLib::SetPriority(*mState, aPriority);
}
