#include "TqGvcpClient.h"

#include "TqDeviceEngine.h"
#include "TqLoopback.h"
#include "TqResultCodes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace TqGvcpClient {

namespace Gvcp = TqEngine::Gvcp;
using Clock = std::chrono::steady_clock;

namespace {

using namespace TqNet;

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, static_cast<uint16_t>(v >> 16));
    Put16(p + 2, static_cast<uint16_t>(v));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Get32(const uint8_t* p) { return (static_cast<uint32_t>(Get16(p)) << 16) | Get16(p + 2); }

std::string Text(const uint8_t* p, size_t aMax) {
    size_t n = 0;
    while (n < aMax && p[n]) ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

// A UDP socket on 127.0.0.1 with an ephemeral port.
int OpenSocket(bool aBroadcast) {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    int on = 1;
    if (aBroadcast) ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in local = Endpoint(kLoopback, 0);
    if (::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// Waits up to the deadline for a datagram; its length, or -1 at the deadline.
ssize_t Receive(int aSocket, uint8_t* aBuffer, size_t aSize, Clock::time_point aDeadline, uint32_t* aFrom) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(aDeadline - Clock::now()).count();
        if (left < 0) return -1;
        pollfd p{aSocket, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (r <= 0) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(aSocket, aBuffer, aSize, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        if (aFrom) *aFrom = ntohl(from.sin_addr.s_addr);
        return n;
    }
}

size_t Command(uint8_t* aOut, uint16_t aCommand, uint16_t aId, const uint8_t* aPayload, size_t aLength,
               uint8_t aFlags = Gvcp::kFlagAckRequired) {
    aOut[0] = Gvcp::kKey;
    aOut[1] = aFlags;
    Put16(aOut + 2, aCommand);
    Put16(aOut + 4, static_cast<uint16_t>(aLength));
    Put16(aOut + 6, aId);
    if (aLength) std::memcpy(aOut + Gvcp::kHeaderSize, aPayload, aLength);
    return Gvcp::kHeaderSize + aLength;
}

bool ParseAnswer(const uint8_t* p, size_t n, uint32_t aFrom, Answer& a) {
    if (n < Gvcp::kHeaderSize + Gvcp::kDiscoverySize) return false;
    if (Get16(p) != Gvcp::kSuccess || Get16(p + 2) != Gvcp::kDiscoveryAck) return false;
    const uint8_t* d = p + Gvcp::kHeaderSize;
    a.from = aFrom;
    a.versionMajor = Get16(d);
    a.versionMinor = Get16(d + 2);
    a.deviceMode = Get32(d + 4);
    std::memcpy(a.mac.data(), d + 10, 6);
    a.ipOptions = Get32(d + 16);
    a.ipCurrent = Get32(d + 20);
    a.ip = Get32(d + 36);
    a.mask = Get32(d + 52);
    a.gateway = Get32(d + 68);
    a.manufacturer = Text(d + 72, 32);
    a.model = Text(d + 104, 32);
    a.version = Text(d + 136, 32);
    a.manufacturerInfo = Text(d + 168, 48);
    a.serial = Text(d + 216, 16);
    a.userName = Text(d + 232, 16);
    return true;
}

struct Targets {
    std::mutex lock;
    std::vector<uint32_t> extra;
};
Targets& TheTargets() {
    static Targets* t = new Targets;
    return *t;
}

}  // namespace

std::string MacText(const std::array<uint8_t, 6>& aMac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", aMac[0], aMac[1], aMac[2], aMac[3], aMac[4],
                  aMac[5]);
    return text;
}

std::string IpText(uint32_t aIp) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", aIp >> 24, (aIp >> 16) & 0xFF, (aIp >> 8) & 0xFF, aIp & 0xFF);
    return text;
}

bool ParseIp(const std::string& aText, uint32_t& aIp) {
    in_addr a{};
    if (::inet_pton(AF_INET, aText.c_str(), &a) != 1) return false;
    aIp = ntohl(a.s_addr);
    return true;
}

std::vector<uint32_t> LoopbackTargets() {
    std::vector<uint32_t> out{kLoopbackBroadcast, kLoopback};
    Targets& t = TheTargets();
    std::lock_guard<std::mutex> guard(t.lock);
    for (uint32_t ip : t.extra)
        if (std::find(out.begin(), out.end(), ip) == out.end()) out.push_back(ip);
    return out;
}

void AddDiscoveryTarget(uint32_t aIp) {
    if (!IsLoopback(aIp)) return;
    Targets& t = TheTargets();
    std::lock_guard<std::mutex> guard(t.lock);
    if (std::find(t.extra.begin(), t.extra.end(), aIp) == t.extra.end()) t.extra.push_back(aIp);
}

void ClearDiscoveryTargets() {
    Targets& t = TheTargets();
    std::lock_guard<std::mutex> guard(t.lock);
    t.extra.clear();
}

std::vector<Answer> Discover(const std::vector<uint32_t>& aTargets, uint32_t aTimeoutMs,
                             bool (*aStop)(const Answer&, void*), void* aContext) {
    std::vector<Answer> answers;
    int s = OpenSocket(true);
    if (s < 0) return answers;
    uint8_t packet[Gvcp::kHeaderSize];
    Command(packet, Gvcp::kDiscoveryCmd, 1, nullptr, 0);
    for (uint32_t ip : aTargets) {
        if (!IsLoopback(ip)) continue;   // nothing leaves the loopback network
        sockaddr_in to = Endpoint(ip, Gvcp::kPort);
        ::sendto(s, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(aTimeoutMs);
    uint8_t buffer[1024];
    for (;;) {
        uint32_t from = 0;
        ssize_t n = Receive(s, buffer, sizeof buffer, deadline, &from);
        if (n < 0) break;
        Answer a;
        if (!ParseAnswer(buffer, static_cast<size_t>(n), from, a)) continue;
        bool seen = std::any_of(answers.begin(), answers.end(),
                                [&](const Answer& o) { return o.mac == a.mac && o.from == a.from; });
        if (seen) continue;
        answers.push_back(a);
        if (aStop && aStop(answers.back(), aContext)) break;
    }
    ::close(s);
    return answers;
}

bool ForceIp(const std::array<uint8_t, 6>& aMac, uint32_t aIp, uint32_t aMask, uint32_t aGateway) {
    int s = OpenSocket(true);
    if (s < 0) return false;
    uint8_t payload[Gvcp::kForceIpSize] = {};
    Put16(payload + 2, static_cast<uint16_t>((aMac[0] << 8) | aMac[1]));
    Put32(payload + 4, (static_cast<uint32_t>(aMac[2]) << 24) | (aMac[3] << 16) | (aMac[4] << 8) | aMac[5]);
    Put32(payload + 20, aIp);
    Put32(payload + 36, aMask);
    Put32(payload + 52, aGateway);
    uint8_t packet[Gvcp::kHeaderSize + Gvcp::kForceIpSize];
    bool done = false;
    for (uint16_t attempt = 1; attempt <= 3 && !done; ++attempt) {
        Command(packet, Gvcp::kForceIpCmd, attempt, payload, sizeof payload);
        sockaddr_in to = Endpoint(kLoopbackBroadcast, Gvcp::kPort);
        ::sendto(s, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        const auto deadline = Clock::now() + std::chrono::milliseconds(300);
        uint8_t buffer[64];
        for (;;) {
            ssize_t n = Receive(s, buffer, sizeof buffer, deadline, nullptr);
            if (n < 0) break;
            if (n < static_cast<ssize_t>(Gvcp::kHeaderSize) || Get16(buffer + 2) != Gvcp::kForceIpAck) continue;
            if (Get16(buffer) != Gvcp::kSuccess) {   // the device refused it (it has a controller)
                ::close(s);
                return false;
            }
            done = true;
            break;
        }
    }
    ::close(s);
    return done;
}

Channel::Channel() = default;
Channel::~Channel() { Close(); }

bool Channel::Open(uint32_t aDeviceIp) {
    std::lock_guard<std::mutex> guard(mLock);
    if (mSocket >= 0 || !IsLoopback(aDeviceIp)) return false;
    mSocket = OpenSocket(false);
    if (mSocket < 0) return false;
    sockaddr_in to = Endpoint(aDeviceIp, Gvcp::kPort);
    if (::connect(mSocket, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
        ::close(mSocket);
        mSocket = -1;
        return false;
    }
    mDevice = aDeviceIp;
    return true;
}

bool Channel::OpenDirect(Dispatcher aDispatcher) {
    std::lock_guard<std::mutex> guard(mLock);
    if (mSocket >= 0 || mDirect || !aDispatcher) return false;
    mDirect = std::move(aDispatcher);
    return true;
}

void Channel::Close() {
    std::lock_guard<std::mutex> guard(mLock);
    if (mSocket >= 0) ::close(mSocket);
    mSocket = -1;
    mDirect = nullptr;
}

uint16_t Channel::LocalPort() const {
    std::lock_guard<std::mutex> guard(mLock);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (mSocket < 0 || ::getsockname(mSocket, reinterpret_cast<sockaddr*>(&local), &len) < 0) return 0;
    return ntohs(local.sin_port);
}

uint16_t Channel::Transact(uint16_t aCommand, const uint8_t* aPayload, size_t aLength, uint16_t aAck,
                           std::vector<uint8_t>& aAnswer) {
    std::lock_guard<std::mutex> guard(mLock);
    if (mSocket < 0 && !mDirect) return kNoAnswer;
    uint16_t id = mNextId++;
    if (mNextId == 0) mNextId = 1;   // 0 is not a valid request ID
    uint8_t packet[Gvcp::kHeaderSize + Gvcp::kMaxPayload];
    size_t size = Command(packet, aCommand, id, aPayload, aLength);
    uint8_t buffer[Gvcp::kHeaderSize + Gvcp::kMaxPayload + 64];
    // Whatever the device answers, the command ends at the limit.
    const auto limit = Clock::now() + std::chrono::milliseconds(mMaxWaitMs.load());
    bool pending = false;
    // An acknowledge (or PENDING_ACK) of this command: its status, with its data in aAnswer.
    auto take = [&](const uint8_t* aAcknowledge, size_t aSize, Clock::time_point& aDeadline) -> int {
        if (aSize < Gvcp::kHeaderSize || Get16(aAcknowledge + 6) != id) return -1;
        const uint16_t ack = Get16(aAcknowledge + 2);
        const size_t length = std::min<size_t>(Get16(aAcknowledge + 4), aSize - Gvcp::kHeaderSize);
        if (ack == Gvcp::kPendingAck && length >= 4) {
            // The device needs longer: wait the time it names, within the limit.
            pending = true;
            aDeadline = std::min(limit, Clock::now() + std::chrono::milliseconds(Get16(aAcknowledge + Gvcp::kHeaderSize + 2)));
            return -1;
        }
        if (ack != aAck) return -1;
        aAnswer.assign(aAcknowledge + Gvcp::kHeaderSize, aAcknowledge + Gvcp::kHeaderSize + length);
        return Get16(aAcknowledge);
    };
    for (uint32_t attempt = 0; attempt <= mRetries && (attempt == 0 || Clock::now() < limit); ++attempt) {
        auto deadline = std::min(limit, Clock::now() + std::chrono::milliseconds(mTimeoutMs.load()));
        if (mDirect) {
            std::vector<uint8_t> ack = mDirect(packet, size);
            const int status = take(ack.data(), ack.size(), deadline);
            if (status >= 0) return static_cast<uint16_t>(status);
            continue;
        }
        if (::send(mSocket, packet, size, 0) < 0) return kNoAnswer;
        for (;;) {
            ssize_t n = Receive(mSocket, buffer, sizeof buffer, deadline, nullptr);
            if (n < 0) break;   // retry
            const int status = take(buffer, static_cast<size_t>(n), deadline);
            if (status >= 0) return static_cast<uint16_t>(status);
        }
    }
    return pending ? kStillPending : kNoAnswer;
}

namespace {

// The GigE Vision statuses and the result codes that name them.
struct StatusName {
    uint16_t status;
    uint32_t code;
    const char* name;
};
constexpr StatusName kStatusNames[] = {
    {0x8001, TQ_NOT_IMPLEMENTED, "NOT_IMPLEMENTED"},
    {0x8002, TQ_INVALID_PARAMETER, "INVALID_PARAMETER"},
    {0x8003, TQ_INVALID_ADDRESS, "INVALID_ADDRESS"},
    {0x8004, TQ_WRITE_PROTECT, "WRITE_PROTECT"},
    {0x8005, TQ_BAD_ALIGNMENT, "BAD_ALIGNMENT"},
    {0x8006, TQ_ACCESS_DENIED, "ACCESS_DENIED"},
    {0x8007, TQ_BUSY, "BUSY"},
    {0x8008, TQ_LOCAL_PROBLEM, "LOCAL_PROBLEM"},
    {0x8009, TQ_MSG_MISMATCH, "MSG_MISMATCH"},
    {0x800A, TQ_INVALID_PROTOCOL, "INVALID_PROTOCOL"},
    {0x800B, TQ_NO_MSG, "NO_MSG"},
    {0x800C, TQ_PACKET_UNAVAILABLE, "PACKET_UNAVAILABLE"},
    {0x800D, TQ_DATA_OVERRUN, "DATA_OVERRUN"},
    {0x800E, TQ_INVALID_HEADER, "INVALID_HEADER"},
    {0x800F, TQ_WRONG_CONFIG, "WRONG_CONFIG"},
    {0x8010, TQ_PACKET_NOT_YET_AVAILABLE, "PACKET_NOT_YET_AVAILABLE"},
    {0x8011, TQ_PACKET_AND_PREV_REMOVED_FROM_MEMORY, "PACKET_AND_PREV_REMOVED_FROM_MEMORY"},
    {0x8012, TQ_PACKET_REMOVED_FROM_MEMORY, "PACKET_REMOVED_FROM_MEMORY"},
    {0x8013, TQ_NO_REF_TIME, "NO_REF_TIME"},
    {0x8014, TQ_PACKET_TEMPORARILY_UNAVAILABLE, "PACKET_TEMPORARILY_UNAVAILABLE"},
    {0x8015, TQ_ERR_OVERFLOW, "OVERFLOW"},
    {0x8016, TQ_ACTION_LATE, "ACTION_LATE"},
    {0x8017, TQ_LEADER_TRAILER_OVERFLOW, "LEADER_TRAILER_OVERFLOW"},
    {0x8FFF, TQ_GENERIC_ERROR, "ERROR"},
};

}  // namespace

TqResult StatusResult(uint16_t aStatus, const char* aWhat) {
    if (aStatus == Gvcp::kSuccess) return TqResult(TQ_OK);
    const std::string what = aWhat && *aWhat ? std::string(aWhat) + ": " : std::string();
    if (aStatus == Channel::kNoAnswer) return TqResult(TQ_TIMEOUT, TqString((what + "the device did not answer").c_str()));
    if (aStatus == Channel::kStillPending)
        return TqResult(TQ_TIMEOUT, TqString((what + "the device kept the command pending longer than a command may wait").c_str()));
    char text[80];
    uint32_t code = TQ_GENERIC_ERROR;
    std::snprintf(text, sizeof text, "the device answered status 0x%04X", aStatus);
    for (const StatusName& s : kStatusNames)
        if (s.status == aStatus) {
            code = s.code;
            std::snprintf(text, sizeof text, "the device answered %s (status 0x%04X)", s.name, aStatus);
        }
    return TqResult(code, TqString((what + text).c_str()));
}

uint16_t Channel::ReadRegister(uint32_t aAddress, uint32_t& aValue) {
    uint8_t payload[4];
    Put32(payload, aAddress);
    std::vector<uint8_t> answer;
    uint16_t status = Transact(Gvcp::kReadRegCmd, payload, sizeof payload, Gvcp::kReadRegAck, answer);
    if (status == Gvcp::kSuccess) {
        if (answer.size() < 4) return Gvcp::kError;
        aValue = Get32(answer.data());
    }
    return status;
}

uint16_t Channel::WriteRegister(uint32_t aAddress, uint32_t aValue) {
    uint8_t payload[8];
    Put32(payload, aAddress);
    Put32(payload + 4, aValue);
    std::vector<uint8_t> answer;
    return Transact(Gvcp::kWriteRegCmd, payload, sizeof payload, Gvcp::kWriteRegAck, answer);
}

uint16_t Channel::WriteRegisterUnacknowledged(uint32_t aAddress, uint32_t aValue) {
    uint8_t payload[8];
    Put32(payload, aAddress);
    Put32(payload + 4, aValue);
    std::lock_guard<std::mutex> guard(mLock);
    uint8_t packet[Gvcp::kHeaderSize + 8];
    uint16_t id = mNextId++;
    if (mNextId == 0) mNextId = 1;
    size_t size = Command(packet, Gvcp::kWriteRegCmd, id, payload, sizeof payload, 0);
    if (mDirect) {
        mDirect(packet, size);
        return Gvcp::kSuccess;
    }
    if (mSocket < 0) return kNoAnswer;
    return ::send(mSocket, packet, size, 0) < 0 ? kNoAnswer : uint16_t(Gvcp::kSuccess);
}

uint16_t Channel::ReadMemory(uint32_t aAddress, uint8_t* aData, size_t aLength) {
    size_t done = 0;
    while (done < aLength) {
        size_t chunk = std::min(aLength - done, Gvcp::kMaxMemory);
        size_t asked = (chunk + 3) & ~size_t(3);   // the device reads whole words
        uint8_t payload[8];
        Put32(payload, aAddress + static_cast<uint32_t>(done));
        Put16(payload + 4, 0);
        Put16(payload + 6, static_cast<uint16_t>(asked));
        std::vector<uint8_t> answer;
        uint16_t status = Transact(Gvcp::kReadMemCmd, payload, sizeof payload, Gvcp::kReadMemAck, answer);
        if (status != Gvcp::kSuccess) return status;
        if (answer.size() < 4 + chunk) return Gvcp::kError;
        std::memcpy(aData + done, answer.data() + 4, chunk);
        done += chunk;
    }
    return Gvcp::kSuccess;
}

uint16_t Channel::WriteMemory(uint32_t aAddress, const uint8_t* aData, size_t aLength) {
    size_t done = 0;
    while (done < aLength) {
        size_t chunk = std::min(aLength - done, Gvcp::kMaxMemory);
        uint8_t payload[4 + Gvcp::kMaxMemory];
        Put32(payload, aAddress + static_cast<uint32_t>(done));
        std::memcpy(payload + 4, aData + done, chunk);
        std::vector<uint8_t> answer;
        uint16_t status = Transact(Gvcp::kWriteMemCmd, payload, 4 + chunk, Gvcp::kWriteMemAck, answer);
        if (status != Gvcp::kSuccess) return status;
        done += chunk;
    }
    return Gvcp::kSuccess;
}

}  // namespace TqGvcpClient
