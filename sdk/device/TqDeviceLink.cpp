#include "TqDeviceLink.h"

#include "TqDeviceEngine.h"
#include "TqDeviceEventSink.h"
#include "TqResultCodes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace TqDeviceLib {

namespace Gvcp = TqEngine::Gvcp;
namespace Reg = TqEngine::Reg;

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t Get32(const uint8_t* p) { return (static_cast<uint32_t>(Get16(p)) << 16) | Get16(p + 2); }

constexpr uint64_t kAddressSpace = 1ull << 32;

}  // namespace

Link::Link(TqDevice* aDevice, std::shared_ptr<Settings> aSettings) : mDevice(aDevice), mSettings(std::move(aSettings)) {}

Link::~Link() { Close(); }

TqResult Link::Result(uint16_t aStatus) const {
    if (aStatus == Gvcp::kSuccess) return TqResult(TQ_OK);
    if (aStatus == TqGvcpClient::Channel::kNoAnswer) return TqResult(TQ_TIMEOUT, TqString("the device did not answer"));
    char text[64];
    std::snprintf(text, sizeof text, "the device answered with status 0x%04X", aStatus);
    uint32_t code = aStatus == Gvcp::kInvalidAddress || aStatus == Gvcp::kBadAlignment || aStatus == Gvcp::kInvalidParameter
                        ? TQ_INVALID_PARAMETER
                        : TQ_GENERIC_ERROR;
    return TqResult(code, TqString(text));
}

TqResult Link::Open(uint32_t aIp, uint32_t aPrivilege) {
    mChannel.SetTimeout(mSettings->answerTimeout);
    mChannel.SetRetries(mSettings->commandRetries);
    if (!mChannel.Open(aIp)) return TqResult(TQ_NETWORK_ERROR, TqString("no control channel to the address"));
    mIp = aIp;
    return TakeControl(aPrivilege);
}

TqResult Link::OpenDirect(std::shared_ptr<TqEngine::Device> aDevice, uint32_t aPrivilege) {
    static std::atomic<uint16_t> nextPort{40000};
    const TqEngine::Peer peer{0x7F000001u, nextPort++};
    mDirect = aDevice;
    mChannel.SetRetries(0);
    mChannel.OpenDirect([aDevice, peer](const uint8_t* aCommand, size_t aSize) {
        return aDevice->Dispatch(aCommand, aSize, peer).ack;
    });
    return TakeControl(aPrivilege);
}

TqResult Link::TakeControl(uint32_t aPrivilege) {
    // Without a privilege the device is only read: a read tells whether it answers.
    uint32_t ignored = 0;
    uint16_t status = aPrivilege ? mChannel.WriteRegister(Reg::kCcp, aPrivilege)
                                 : mChannel.ReadRegister(Reg::kVersion, ignored);
    if (status == TqGvcpClient::Channel::kNoAnswer) {
        mChannel.Close();
        return TqResult(TQ_NOT_FOUND, TqString("no device answers at the address"));
    }
    if (status != Gvcp::kSuccess) {
        mChannel.Close();
        return TqResult(TQ_GENERIC_ERROR, TqString("the device refused control (another application controls it)"));
    }
    uint32_t high = 0, low = 0, timeout = 0;
    if (mChannel.ReadRegister(Reg::kMacHigh, high) == Gvcp::kSuccess &&
        mChannel.ReadRegister(Reg::kMacLow, low) == Gvcp::kSuccess) {
        mMac = {static_cast<uint8_t>(high >> 8), static_cast<uint8_t>(high), static_cast<uint8_t>(low >> 24),
                static_cast<uint8_t>(low >> 16),  static_cast<uint8_t>(low >> 8), static_cast<uint8_t>(low)};
    }
    if (mChannel.ReadRegister(Reg::kHeartbeatTimeout, timeout) == Gvcp::kSuccess && timeout >= 30)
        mDeviceHeartbeat = timeout;
    mPrivilege = aPrivilege;
    mAlive = true;
    mHeartbeat = std::thread([this] { Heartbeat(); });
    mFirer = std::thread([this] { FireEvents(); });
    return TqResult(TQ_OK);
}

TqResult Link::StartMessaging() {
    if (!mPrivilege) return TqResult(TQ_OK);   // the messaging channel belongs to the controller
    uint32_t channels = 0;
    if (mChannel.ReadRegister(Reg::kMessageChannels, channels) != Gvcp::kSuccess || channels == 0)
        return TqResult(TQ_OK);   // a device without a messaging channel
    if (mDirect) {
        // Events of a device of this process come straight to the queue.
        mDirect->SetMessageTap([this](const uint8_t* aData, size_t aSize) { QueueEvents(aData, aSize); });
        uint16_t status = mChannel.WriteRegister(Reg::kMcda, 0x7F000001u);
        if (status == Gvcp::kSuccess) status = mChannel.WriteRegister(Reg::kMcp, 1);
        return Result(status);
    }
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return TqResult(TQ_NETWORK_ERROR, TqString("no socket for the messaging channel"));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0x7F000001u);
    socklen_t length = sizeof local;
    if (::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) < 0) {
        ::close(s);
        return TqResult(TQ_NETWORK_ERROR, TqString("cannot bind the messaging channel"));
    }
    mMessageSocket = s;
    uint16_t status = mChannel.WriteRegister(Reg::kMcda, 0x7F000001u);
    if (status == Gvcp::kSuccess) status = mChannel.WriteRegister(Reg::kMcp, ntohs(local.sin_port));
    if (status != Gvcp::kSuccess) return Result(status);
    mReceiver = std::thread([this] { ReceiveEvents(); });
    return TqResult(TQ_OK);
}

void Link::Close() {
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (mStop) return;
        mStop = true;
    }
    mWake.notify_all();
    if (mDirect) mDirect->SetMessageTap(nullptr);
    bool wasAlive = mAlive.exchange(false);
    if (mHeartbeat.joinable()) mHeartbeat.join();
    if (mReceiver.joinable()) mReceiver.join();
    if (mFirer.joinable()) mFirer.join();
    if (wasAlive && mChannel.IsOpen() && mPrivilege) {
        if (mMessageSocket >= 0 || mDirect) mChannel.WriteRegister(Reg::kMcp, 0);
        mChannel.WriteRegister(Reg::kCcp, 0);   // give control back
    }
    mChannel.Close();
    if (mMessageSocket >= 0) ::close(mMessageSocket);
    mMessageSocket = -1;
}

// The whole words that hold [aAddress, aAddress + aLength): false with the reason when the range
// cannot be accessed.
bool Link::Words(uint64_t aAddress, uint64_t aLength, uint64_t& aStart, uint64_t& aEnd, TqResult& aWhy) const {
    if (!mAlive) {
        aWhy = TqResult(TQ_NOT_CONNECTED);
        return false;
    }
    if (aAddress >= kAddressSpace || aLength > kAddressSpace - aAddress) {
        aWhy = TqResult(TQ_INVALID_PARAMETER, TqString("outside the device's address space"));
        return false;
    }
    aStart = aAddress & ~uint64_t(3);
    aEnd = (aAddress + aLength + 3) & ~uint64_t(3);
    aWhy = TqResult(TQ_OK);
    return aLength > 0;
}

TqResult Link::Read(uint64_t aAddress, void* aData, uint64_t aLength) {
    uint64_t start, end;
    TqResult why;
    if (!Words(aAddress, aLength, start, end, why)) return why;
    std::vector<uint8_t> words(end - start);
    uint16_t status = mChannel.ReadMemory(static_cast<uint32_t>(start), words.data(), words.size());
    if (status != Gvcp::kSuccess) return Result(status);
    std::memcpy(aData, words.data() + (aAddress - start), aLength);
    return TqResult(TQ_OK);
}

TqResult Link::Write(uint64_t aAddress, const void* aData, uint64_t aLength) {
    uint64_t start, end;
    TqResult why;
    if (!Words(aAddress, aLength, start, end, why)) return why;
    std::vector<uint8_t> words(end - start);
    if (start != aAddress || end != aAddress + aLength) {
        // Part of a word: the rest of it keeps what the device holds.
        uint16_t status = mChannel.ReadMemory(static_cast<uint32_t>(start), words.data(), words.size());
        if (status != Gvcp::kSuccess) return Result(status);
    }
    std::memcpy(words.data() + (aAddress - start), aData, aLength);
    if (words.size() == 4)   // one register: the register command, which every device serves
        return Result(mChannel.WriteRegister(static_cast<uint32_t>(start), Get32(words.data())));
    return Result(mChannel.WriteMemory(static_cast<uint32_t>(start), words.data(), words.size()));
}

TqResult Link::ReadRegister(uint32_t aAddress, uint32_t& aValue) {
    if (!mAlive) return TqResult(TQ_NOT_CONNECTED);
    return Result(mChannel.ReadRegister(aAddress, aValue));
}

TqResult Link::WriteRegister(uint32_t aAddress, uint32_t aValue, bool aAcknowledge) {
    if (!mAlive) return TqResult(TQ_NOT_CONNECTED);
    return Result(aAcknowledge ? mChannel.WriteRegister(aAddress, aValue)
                               : mChannel.WriteRegisterUnacknowledged(aAddress, aValue));
}

void Link::Heartbeat() {
    uint32_t missed = 0;
    std::unique_lock<std::mutex> lock(mLock);
    while (!mStop) {
        uint32_t interval = mSettings->heartbeatInterval;
        if (interval == 0) interval = std::max<uint32_t>(mDeviceHeartbeat / 3, 10);
        mWake.wait_for(lock, std::chrono::milliseconds(interval), [this] { return mStop.load(); });
        if (mStop) break;
        lock.unlock();
        mChannel.SetTimeout(mSettings->answerTimeout);
        mChannel.SetRetries(mSettings->commandRetries);
        uint32_t ccp = 0;
        bool answered = mChannel.ReadRegister(Reg::kCcp, ccp) == Gvcp::kSuccess;
        lock.lock();
        missed = answered ? 0 : missed + 1;
        if (missed > mSettings->heartbeatRetries && mAlive) {
            // The device is gone: the link is lost for good; the application connects again.
            mAlive = false;
            mLinkLost = true;
            mWake.notify_all();
        }
    }
}

bool Link::QueueEvents(const uint8_t* aCommand, size_t aSize) {
    if (aSize < Gvcp::kHeaderSize || aCommand[0] != Gvcp::kKey) return false;
    const uint16_t command = Get16(aCommand + 2);
    const size_t size = std::min<size_t>(Get16(aCommand + 4), aSize - Gvcp::kHeaderSize);
    if (command != Gvcp::kEventCmd && command != Gvcp::kEventDataCmd) return false;
    std::vector<Event> events;
    const uint8_t* d = aCommand + Gvcp::kHeaderSize;
    auto header = [&](size_t at) {
        Event e;
        e.id = Get16(d + at + 2);
        e.channel = Get16(d + at + 4);
        e.block = Get16(d + at + 6);
        e.timestamp = (static_cast<uint64_t>(Get32(d + at + 8)) << 32) | Get32(d + at + 12);
        return e;
    };
    if (command == Gvcp::kEventCmd) {
        for (size_t at = 0; at + 16 <= size; at += 16) events.push_back(header(at));
    } else if (size >= 16) {
        Event e = header(0);
        e.data.assign(d + 16, d + size);
        events.push_back(std::move(e));
    }
    std::lock_guard<std::mutex> guard(mLock);
    for (Event& e : events) mEvents.push_back(std::move(e));
    mWake.notify_all();
    return true;
}

void Link::ReceiveEvents() {
    uint8_t buffer[Gvcp::kHeaderSize + Gvcp::kMaxPayload + 64];
    while (!mStop) {
        pollfd p{mMessageSocket, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t n = ::recvfrom(mMessageSocket, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < static_cast<ssize_t>(Gvcp::kHeaderSize)) continue;
        if (!QueueEvents(buffer, static_cast<size_t>(n))) continue;
        if (buffer[1] & Gvcp::kFlagAckRequired) {
            const uint16_t answer = Get16(buffer + 2) + 1;
            const uint8_t ack[Gvcp::kHeaderSize] = {0, 0, static_cast<uint8_t>(answer >> 8), static_cast<uint8_t>(answer),
                                                    0, 0, buffer[6], buffer[7]};
            ::sendto(mMessageSocket, ack, sizeof ack, 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }
}

void Link::FireEvents() {
    std::unique_lock<std::mutex> lock(mLock);
    for (;;) {
        mWake.wait(lock, [this] { return mStop || !mEvents.empty() || mLinkLost; });
        if (mLinkLost) {
            mLinkLost = false;
            lock.unlock();
            mDevice->LinkLost();
            lock.lock();
            continue;
        }
        if (mEvents.empty()) {
            if (mStop) return;
            continue;
        }
        Event e = std::move(mEvents.front());
        mEvents.pop_front();
        mFiring = true;
        lock.unlock();
        for (TqDeviceEventSink* sink : mDevice->Sinks()) {
            try {
                sink->OnEvent(mDevice, e.id, e.channel, e.block, e.timestamp, e.data.empty() ? nullptr : e.data.data(),
                              static_cast<uint32_t>(e.data.size()));
            } catch (...) {
                // a failed callback counts as handled
            }
        }
        lock.lock();
        mFiring = false;
        mWake.notify_all();
    }
}

bool Link::WaitIdle(uint32_t aTimeoutMs) {
    std::unique_lock<std::mutex> lock(mLock);
    return mWake.wait_for(lock, std::chrono::milliseconds(aTimeoutMs), [this] { return mEvents.empty() && !mFiring; });
}

}  // namespace TqDeviceLib
