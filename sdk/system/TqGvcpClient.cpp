#include "TqGvcpClient.h"

#include "TqGvcpCodec.h"
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

namespace Gvcp = TqGvcp;
using Clock = std::chrono::steady_clock;

namespace {

using namespace TqNet;

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

bool ParseAnswer(const uint8_t* aData, size_t aSize, uint32_t aFrom, Answer& a) {
    const auto ack = Gvcp::AckView::Of(aData, aSize);
    if (!ack || ack->Status() != Gvcp::kSuccess || ack->Code() != Gvcp::kDiscoveryAck) return false;
    const auto d = Gvcp::DiscoveryAck::Of(ack->Raw().subspan(Gvcp::kHeaderSize));
    if (!d) return false;
    a.from = aFrom;
    a.versionMajor = d->VersionMajor();
    a.versionMinor = d->VersionMinor();
    a.deviceMode = d->DeviceMode();
    a.mac = d->Mac();
    a.ipOptions = d->IpOptions();
    a.ipCurrent = d->IpCurrent();
    a.ip = d->Ip();
    a.mask = d->Mask();
    a.gateway = d->Gateway();
    a.manufacturer = d->Manufacturer();
    a.model = d->Model();
    a.version = d->Version();
    a.manufacturerInfo = d->ManufacturerInfo();
    a.serial = d->Serial();
    a.userName = d->UserName();
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
    Gvcp::PutCommandHeader(packet, Gvcp::kDiscoveryCmd, 1, 0);
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
    uint8_t packet[Gvcp::kHeaderSize + Gvcp::ForceIpCommand::kSize];
    Gvcp::ForceIpCommand::Write(packet + Gvcp::kHeaderSize, aMac, aIp, aMask, aGateway);
    bool done = false;
    for (uint16_t attempt = 1; attempt <= 3 && !done; ++attempt) {
        Gvcp::PutCommandHeader(packet, Gvcp::kForceIpCmd, attempt, Gvcp::ForceIpCommand::kSize);
        sockaddr_in to = Endpoint(kLoopbackBroadcast, Gvcp::kPort);
        ::sendto(s, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        const auto deadline = Clock::now() + std::chrono::milliseconds(300);
        uint8_t buffer[64];
        for (;;) {
            ssize_t n = Receive(s, buffer, sizeof buffer, deadline, nullptr);
            if (n < 0) break;
            const auto ack = Gvcp::AckView::Of(buffer, size_t(n));
            if (!ack || ack->Code() != Gvcp::kForceIpAck) continue;
            if (ack->Status() != Gvcp::kSuccess) {   // the device refused it (it has a controller)
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

bool Channel::Open(uint32_t aDeviceIp, uint16_t aDevicePort) {
    std::lock_guard<std::mutex> guard(mLock);
    if (mSocket >= 0 || !IsLoopback(aDeviceIp)) return false;
    mSocket = OpenSocket(false);
    if (mSocket < 0) return false;
    sockaddr_in to = Endpoint(aDeviceIp, aDevicePort);
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
                           std::vector<uint8_t>& aAnswer, Deadline aBy) {
    std::lock_guard<std::mutex> guard(mLock);
    if (mSocket < 0 && !mDirect) return kNoAnswer;
    const uint16_t id = NextId();
    uint8_t packet[Gvcp::kHeaderSize + Gvcp::kMaxPayload];
    const size_t size = Gvcp::PutCommandHeader(packet, aCommand, id, aLength);
    if (aLength) std::memcpy(packet + Gvcp::kHeaderSize, aPayload, aLength);
    uint8_t buffer[Gvcp::kHeaderSize + Gvcp::kMaxPayload + 64];
    // Whatever the device answers, the command ends at the limit (at the caller's deadline, when sooner).
    const auto limit = std::min(aBy, Clock::now() + std::chrono::milliseconds(mMaxWaitMs.load()));
    bool pending = false;
    // An acknowledge (or PENDING_ACK) of this command: its status, with its data in aAnswer.
    auto take = [&](const uint8_t* aAcknowledge, size_t aSize, Clock::time_point& aDeadline) -> int {
        const auto ack = Gvcp::AckView::Of(aAcknowledge, aSize);
        if (!ack || ack->AckId() != id) return -1;
        if (ack->Code() == Gvcp::kPendingAck) {
            const auto wait = Gvcp::PendingAck::Of(ack->Payload());
            if (!wait) return -1;
            // The device needs longer: wait the time it names, within the limit.
            pending = true;
            aDeadline = std::min(limit, Clock::now() + std::chrono::milliseconds(wait->TimeToCompletion()));
            return -1;
        }
        if (ack->Code() != aAck) return -1;
        aAnswer.assign(ack->Payload().begin(), ack->Payload().end());
        return ack->Status();
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
    {Gvcp::kNotImplemented, TQ_NOT_IMPLEMENTED, "NOT_IMPLEMENTED"},
    {Gvcp::kInvalidParameter, TQ_INVALID_PARAMETER, "INVALID_PARAMETER"},
    {Gvcp::kInvalidAddress, TQ_INVALID_ADDRESS, "INVALID_ADDRESS"},
    {Gvcp::kWriteProtect, TQ_WRITE_PROTECT, "WRITE_PROTECT"},
    {Gvcp::kBadAlignment, TQ_BAD_ALIGNMENT, "BAD_ALIGNMENT"},
    {Gvcp::kAccessDenied, TQ_ACCESS_DENIED, "ACCESS_DENIED"},
    {Gvcp::kBusy, TQ_BUSY, "BUSY"},
    {Gvcp::kLocalProblem, TQ_LOCAL_PROBLEM, "LOCAL_PROBLEM"},
    {Gvcp::kMsgMismatch, TQ_MSG_MISMATCH, "MSG_MISMATCH"},
    {Gvcp::kInvalidProtocol, TQ_INVALID_PROTOCOL, "INVALID_PROTOCOL"},
    {Gvcp::kNoMsg, TQ_NO_MSG, "NO_MSG"},
    {Gvcp::kPacketUnavailable, TQ_PACKET_UNAVAILABLE, "PACKET_UNAVAILABLE"},
    {Gvcp::kDataOverrun, TQ_DATA_OVERRUN, "DATA_OVERRUN"},
    {Gvcp::kInvalidHeader, TQ_INVALID_HEADER, "INVALID_HEADER"},
    {Gvcp::kWrongConfig, TQ_WRONG_CONFIG, "WRONG_CONFIG"},
    {Gvcp::kPacketNotYetAvailable, TQ_PACKET_NOT_YET_AVAILABLE, "PACKET_NOT_YET_AVAILABLE"},
    {Gvcp::kPacketAndPrevRemovedFromMemory, TQ_PACKET_AND_PREV_REMOVED_FROM_MEMORY, "PACKET_AND_PREV_REMOVED_FROM_MEMORY"},
    {Gvcp::kPacketRemovedFromMemory, TQ_PACKET_REMOVED_FROM_MEMORY, "PACKET_REMOVED_FROM_MEMORY"},
    {Gvcp::kNoRefTime, TQ_NO_REF_TIME, "NO_REF_TIME"},
    {Gvcp::kPacketTemporarilyUnavailable, TQ_PACKET_TEMPORARILY_UNAVAILABLE, "PACKET_TEMPORARILY_UNAVAILABLE"},
    {Gvcp::kOverflow, TQ_ERR_OVERFLOW, "OVERFLOW"},
    {Gvcp::kActionLate, TQ_ACTION_LATE, "ACTION_LATE"},
    {Gvcp::kLeaderTrailerOverflow, TQ_LEADER_TRAILER_OVERFLOW, "LEADER_TRAILER_OVERFLOW"},
    {Gvcp::kError, TQ_GENERIC_ERROR, "ERROR"},
};

}  // namespace

TqResult StatusResult(uint16_t aStatus, const char* aWhat) {
    if (aStatus == Gvcp::kSuccess) return TqResult(TQ_OK);
    const std::string what = aWhat && *aWhat ? std::string(aWhat) + ": " : std::string();
    if (aStatus == Channel::kNoAnswer) return TqResult(TQ_TIMEOUT, TqString((what + "the device did not answer").c_str()));
    if (aStatus == Channel::kStillPending)
        return TqResult(TQ_TIMEOUT, TqString((what + "the device kept the command pending longer than a command may wait").c_str()));
    if (aStatus == Channel::kOutOfTime)
        return TqResult(TQ_TIMEOUT, TqString((what + "the time allowed for it ran out").c_str()));
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
    uint8_t payload[Gvcp::WordList::kStride];
    Gvcp::WordList::Write(payload, 0, aAddress);
    std::vector<uint8_t> answer;
    uint16_t status = Transact(Gvcp::kReadRegCmd, payload, sizeof payload, Gvcp::kReadRegAck, answer);
    if (status == Gvcp::kSuccess) {
        const auto values = Gvcp::WordList::Of(answer);
        if (values->Count() < 1) return Gvcp::kError;
        aValue = values->Word(0);
    }
    return status;
}

uint16_t Channel::WriteRegister(uint32_t aAddress, uint32_t aValue) {
    uint8_t payload[Gvcp::WriteRegCommand::kStride];
    Gvcp::WriteRegCommand::Write(payload, 0, aAddress, aValue);
    std::vector<uint8_t> answer;
    return Transact(Gvcp::kWriteRegCmd, payload, sizeof payload, Gvcp::kWriteRegAck, answer);
}

uint16_t Channel::WriteRegisterUnacknowledged(uint32_t aAddress, uint32_t aValue) {
    std::lock_guard<std::mutex> guard(mLock);
    uint8_t packet[Gvcp::kHeaderSize + Gvcp::WriteRegCommand::kStride];
    const size_t size = Gvcp::PutCommandHeader(packet, Gvcp::kWriteRegCmd, NextId(), Gvcp::WriteRegCommand::kStride, 0);
    Gvcp::WriteRegCommand::Write(packet + Gvcp::kHeaderSize, 0, aAddress, aValue);
    if (mDirect) {
        mDirect(packet, size);
        return Gvcp::kSuccess;
    }
    if (mSocket < 0) return kNoAnswer;
    return ::send(mSocket, packet, size, 0) < 0 ? kNoAnswer : uint16_t(Gvcp::kSuccess);
}

uint16_t Channel::NextId() {
    const uint16_t id = mNextId++;
    if (mNextId == 0) mNextId = 1;   // 0 is not a valid request ID
    return id;
}

uint16_t Channel::ReadMemory(uint32_t aAddress, uint8_t* aData, size_t aLength, Deadline aBy) {
    size_t done = 0;
    while (done < aLength) {
        if (Clock::now() >= aBy) return kOutOfTime;
        size_t chunk = std::min(aLength - done, Gvcp::kMaxMemory);
        size_t asked = (chunk + 3) & ~size_t(3);   // the device reads whole words
        uint8_t payload[Gvcp::ReadMemCommand::kSize];
        Gvcp::ReadMemCommand::Write(payload, aAddress + static_cast<uint32_t>(done), static_cast<uint16_t>(asked));
        std::vector<uint8_t> answer;
        uint16_t status = Transact(Gvcp::kReadMemCmd, payload, sizeof payload, Gvcp::kReadMemAck, answer, aBy);
        if ((status == kNoAnswer || status == kStillPending) && Clock::now() >= aBy) return kOutOfTime;
        if (status != Gvcp::kSuccess) return status;
        const auto read = Gvcp::MemoryData::Of(answer);
        if (!read || read->Data().size() < chunk) return Gvcp::kError;
        std::memcpy(aData + done, read->Data().data(), chunk);
        done += chunk;
    }
    return Gvcp::kSuccess;
}

uint16_t Channel::WriteMemory(uint32_t aAddress, const uint8_t* aData, size_t aLength) {
    size_t done = 0;
    while (done < aLength) {
        size_t chunk = std::min(aLength - done, Gvcp::kMaxMemory);
        uint8_t payload[Gvcp::MemoryData::kDataOffset + Gvcp::kMaxMemory];
        Gvcp::MemoryData::Write(payload, aAddress + static_cast<uint32_t>(done));
        std::memcpy(payload + Gvcp::MemoryData::kDataOffset, aData + done, chunk);
        std::vector<uint8_t> answer;
        uint16_t status = Transact(Gvcp::kWriteMemCmd, payload, Gvcp::MemoryData::kDataOffset + chunk,
                                   Gvcp::kWriteMemAck, answer);
        if (status != Gvcp::kSuccess) return status;
        done += chunk;
    }
    return Gvcp::kSuccess;
}

}  // namespace TqGvcpClient
