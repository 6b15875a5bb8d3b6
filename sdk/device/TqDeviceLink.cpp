#include "TqDeviceLink.h"

#include "TqDeviceEngine.h"
#include "TqDeviceEventSink.h"
#include "TqDeviceRoutes.h"
#include "TqMemoryBlocks.h"
#include "TqResultCodes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <optional>

namespace TqDeviceLib {

namespace Gvcp = TqEngine::Gvcp;
namespace Reg = TqEngine::Reg;

namespace {

constexpr uint64_t kAddressSpace = 1ull << 32;

constexpr uint32_t kControlBits = Reg::kCcpControl | Reg::kCcpExclusive;

// A read of the CCP register that shows the privilege gone: denied, or without control.
bool ShowsNoControl(uint16_t aStatus, uint32_t aCcp) {
    return aStatus == Gvcp::kAccessDenied || (aStatus == Gvcp::kSuccess && !(aCcp & kControlBits));
}

// Why a link is lost.
constexpr const char* kPrivilegeGone = "the device no longer grants this application control";
constexpr const char* kHeartbeatTimedOut = "the device did not answer for longer than its heartbeat timeout";
constexpr const char* kHeartbeatsMissed = "the device missed more heartbeats in a row than the heartbeat retries allow";

}  // namespace

Link::Link(TqDevice* aDevice, std::shared_ptr<Settings> aSettings) : mDevice(aDevice), mSettings(std::move(aSettings)) {}

Link::~Link() { Close(); }

bool Link::Controls() const { return (mPrivilege & kControlBits) != 0; }

void Link::Tune() {
    mChannel.SetTimeout(mSettings->answerTimeout);
    if (!mDirect) mChannel.SetRetries(mSettings->commandRetries);   // a device of this process answers at once
    mChannel.SetMaxWait(mSettings->commandTimeout);
}

void Link::Lose(const char* aWhy) {
    if (!mAlive) return;
    mLoss = aWhy;
    if (!mAlive.exchange(false)) return;   // closed or lost meanwhile
    mSettings->deviceHeartbeat = 0;
    {
        std::lock_guard<std::mutex> guard(mLock);
        mLinkLost = true;
    }
    mWake.notify_all();
}

TqResult Link::Gone() const {
    const char* why = mLoss;
    if (!why) return TqResult(TQ_NOT_CONNECTED, TqString("the device is disconnected"));
    return TqResult(TQ_NOT_CONNECTED, TqString((std::string("the link to the device is lost: ") + why).c_str()));
}

bool Link::StillControls() {
    uint32_t ccp = 0;
    const uint16_t status = mChannel.ReadRegister(Reg::kCcp, ccp);
    if (ShowsNoControl(status, ccp)) {
        Lose(kPrivilegeGone);
        return false;
    }
    return true;
}

TqResult Link::Answer(uint16_t aStatus) {
    if (aStatus == Gvcp::kAccessDenied && Controls() && !StillControls()) return Gone();
    return TqGvcpClient::StatusResult(aStatus);
}

TqResult Link::Open(uint32_t aIp, uint32_t aPrivilege) {
    Tune();
    if (!mChannel.Open(aIp)) return TqResult(TQ_NETWORK_ERROR, TqString("no control channel to the address"));
    mIp = aIp;
    return TakeControl(aPrivilege);
}

TqResult Link::OpenDirect(std::shared_ptr<TqEngine::Device> aDevice, uint32_t aPrivilege) {
    static std::atomic<uint16_t> nextPort{40000};
    const TqEngine::Peer peer{0x7F000001u, nextPort++};
    mDirect = aDevice;
    mChannel.SetRetries(0);
    Tune();
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
        return TqGvcpClient::StatusResult(status, status == Gvcp::kAccessDenied
                                                      ? "the device refused control (another application controls it)"
                                                      : "the device refused control");
    }
    uint32_t high = 0, low = 0, timeout = 0;
    if (mChannel.ReadRegister(Reg::kMacHigh, high) == Gvcp::kSuccess &&
        mChannel.ReadRegister(Reg::kMacLow, low) == Gvcp::kSuccess) {
        mMac = {static_cast<uint8_t>(high >> 8), static_cast<uint8_t>(high), static_cast<uint8_t>(low >> 24),
                static_cast<uint8_t>(low >> 16),  static_cast<uint8_t>(low >> 8), static_cast<uint8_t>(low)};
    }
    if (mChannel.ReadRegister(Reg::kHeartbeatTimeout, timeout) == Gvcp::kSuccess && timeout >= 30)
        mDeviceHeartbeat = timeout;
    mSettings->deviceHeartbeat = mDeviceHeartbeat.load();
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
        return Answer(status);
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
    if (status != Gvcp::kSuccess) return Answer(status);
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
    if (wasAlive) mSettings->deviceHeartbeat = 0;
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
        aWhy = Gone();
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

TqResult Link::Read(uint64_t aAddress, void* aData, uint64_t aLength, TqGvcpClient::Channel::Deadline aBy) {
    uint64_t start, end;
    TqResult why;
    if (!Words(aAddress, aLength, start, end, why)) return why;
    Tune();
    std::vector<uint8_t> words(end - start);
    uint16_t status = mChannel.ReadMemory(static_cast<uint32_t>(start), words.data(), words.size(), aBy);
    if (status != Gvcp::kSuccess) return Answer(status);
    std::memcpy(aData, words.data() + (aAddress - start), aLength);
    return TqResult(TQ_OK);
}

TqResult Link::Write(uint64_t aAddress, const void* aData, uint64_t aLength) {
    uint64_t start, end;
    TqResult why;
    if (!Words(aAddress, aLength, start, end, why)) return why;
    Tune();
    std::vector<uint8_t> words(end - start);
    if (start != aAddress || end != aAddress + aLength) {
        // Part of a word: the rest of it keeps what the device holds.
        uint16_t status = mChannel.ReadMemory(static_cast<uint32_t>(start), words.data(), words.size());
        if (status != Gvcp::kSuccess) return Answer(status);
    }
    std::memcpy(words.data() + (aAddress - start), aData, aLength);
    const uint16_t status = words.size() == 4   // one register: the register command, which every device serves
                                ? mChannel.WriteRegister(static_cast<uint32_t>(start), TqWire::Get32(words.data()))
                                : mChannel.WriteMemory(static_cast<uint32_t>(start), words.data(), words.size());
    if (status == Gvcp::kSuccess) Wrote(start, end);
    return Answer(status);
}

TqResult Link::ReadRegister(uint32_t aAddress, uint32_t& aValue) {
    if (!mAlive) return Gone();
    Tune();
    return Answer(mChannel.ReadRegister(aAddress, aValue));
}

TqResult Link::WriteRegister(uint32_t aAddress, uint32_t aValue, bool aAcknowledge) {
    if (!mAlive) return Gone();
    Tune();
    const uint16_t status = aAcknowledge ? mChannel.WriteRegister(aAddress, aValue)
                                         : mChannel.WriteRegisterUnacknowledged(aAddress, aValue);
    if (status == Gvcp::kSuccess) Wrote(aAddress, uint64_t{aAddress} + 4);
    return Answer(status);
}

void Link::Wrote(uint64_t aStart, uint64_t aEnd) {
    uint32_t timeout = 0;
    if (aStart > Reg::kHeartbeatTimeout || aEnd <= Reg::kHeartbeatTimeout) return;
    // The device may have adjusted the value: what it holds now counts.
    if (mChannel.ReadRegister(Reg::kHeartbeatTimeout, timeout) != Gvcp::kSuccess || timeout < 30) return;
    mDeviceHeartbeat = timeout;
    mSettings->deviceHeartbeat = timeout;
    {
        std::lock_guard<std::mutex> guard(mLock);
        mRetimed = true;
    }
    mWake.notify_all();
}

// Reads the CCP register at the heartbeat interval; a heartbeat that fails is tried again at the
// interval, and judged no later than the device's heartbeat timeout after the last answer.
void Link::Heartbeat() {
    using Clock = std::chrono::steady_clock;
    auto lastAnswer = Clock::now(), lastBeat = lastAnswer;
    uint32_t missed = 0;
    std::unique_lock<std::mutex> lock(mLock);
    while (!mStop && mAlive) {
        const auto timeout = std::chrono::milliseconds(mDeviceHeartbeat.load());
        auto due = lastBeat + std::chrono::milliseconds(mSettings->HeartbeatInterval(mDeviceHeartbeat));
        if (missed) due = std::min(due, lastAnswer + timeout);
        if (mWake.wait_until(lock, due, [this] { return mStop || mRetimed; })) {
            if (mStop) break;
            mRetimed = false;   // plan again with the new timeout
            continue;
        }
        lock.unlock();
        lastBeat = Clock::now();
        Tune();
        uint32_t ccp = 0;
        const uint16_t status = mChannel.ReadRegister(Reg::kCcp, ccp);
        const auto now = Clock::now();
        if (status == TqGvcpClient::Channel::kNoAnswer || status == TqGvcpClient::Channel::kStillPending) {
            ++missed;
            if (now - lastAnswer > timeout) Lose(kHeartbeatTimedOut);
            else if (missed > mSettings->heartbeatRetries) Lose(kHeartbeatsMissed);
        } else if (Controls() && ShowsNoControl(status, ccp)) {
            Lose(kPrivilegeGone);
        } else {
            missed = 0;   // the device answered: it heard the heartbeat
            lastAnswer = now;
        }
        lock.lock();
    }
}

bool Link::QueueEvents(const uint8_t* aCommand, size_t aSize) {
    const auto command = Gvcp::CommandView::Of(aCommand, aSize);
    if (!command || command->Key() != Gvcp::kKey) return false;
    if (command->Code() != Gvcp::kEventCmd && command->Code() != Gvcp::kEventDataCmd) return false;
    std::vector<Event> events;
    auto event = [](const Gvcp::EventEntry& aEntry) {
        return Event{aEntry.EventId(), aEntry.Channel(), aEntry.BlockId(), aEntry.Timestamp(), {}};
    };
    // With the extended-ID flag each event carries a 64-bit block ID.
    const bool extended = command->ExtendedIds();
    if (command->Code() == Gvcp::kEventCmd) {
        const Gvcp::EventList list = *Gvcp::EventList::Of(command->Payload(), extended);
        for (size_t i = 0; i < list.Count(); ++i) events.push_back(event(list.Entry(i)));
    } else if (const auto entry = Gvcp::EventEntry::Of(command->Payload(), extended)) {
        events.push_back(event(*entry));
        events.back().data.assign(entry->Data().begin(), entry->Data().end());
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
        const Gvcp::CommandView command = *Gvcp::CommandView::Of(buffer, static_cast<size_t>(n));
        if (command.AckRequired()) {
            uint8_t ack[Gvcp::kHeaderSize];
            Gvcp::PutAckHeader(ack, Gvcp::kSuccess, Gvcp::AckOf(command.Code()), command.RequestId(), 0);
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
            mDevice->LinkLost(Controls() ? mIp : 0);
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
        Deliver(e);
        lock.lock();
        mFiring = false;
        mWake.notify_all();
    }
}

// One event: its data goes to its event port (when it has one) first, so that the event's features
// read its values in both callbacks; then OnEvent, then the port's features are told and
// OnEventGenICam hands them over.
void Link::Deliver(const Event& aEvent) {
    // A receiver of the SDK's own takes the event first; the sinks hear it all the same.
    RouteEvent(mDevice, aEvent.id, aEvent.data.data(), static_cast<uint32_t>(aEvent.data.size()));
    std::vector<TqGenParameter*> features;
    bool onPort = false;
    {
        std::lock_guard<std::mutex> guard(mPortLock);
        auto port = mEventPorts.find(aEvent.id);
        if (port != mEventPorts.end()) {
            onPort = true;
            // The port shows the event as GigE Vision carries it: the 16-byte header (reserved, ID,
            // channel, block ID, timestamp; big-endian) and then the data.
            std::vector<uint8_t>& shown = port->second.data;
            shown.assign(kEventHeaderBytes, 0);
            Gvcp::EventEntry::Write(shown.data(), false, aEvent.id, aEvent.channel, aEvent.block, aEvent.timestamp);
            shown.insert(shown.end(), aEvent.data.begin(), aEvent.data.end());
            port->second.attached = true;
            features = port->second.features;
        }
    }
    Settings& shared = *mSettings;
    {
        // A block of its own: a view the sinks keep holds the event's data after the callbacks.
        std::optional<TqMemoryBlocks::Owned> data;
        if (!aEvent.data.empty()) {
            data.emplace(aEvent.data.size());
            if (data->data()) std::memcpy(data->data(), aEvent.data.data(), aEvent.data.size());
        }
        const void* bytes = data ? static_cast<const void*>(data->data()) : nullptr;
        const uint32_t length = static_cast<uint32_t>(aEvent.data.size());
        CallSinks(mDevice, [&](TqDeviceEventSink* aSink) {
            aSink->OnEvent(mDevice, aEvent.id, aEvent.channel, aEvent.block, aEvent.timestamp, bytes, length);
        });
    }
    if (!onPort) return;
    auto list = shared.lists.Take(0, [](size_t) { return std::make_unique<TqGenParameterList>(); });
    list->Clear();
    for (TqGenParameter* feature : features) {
        feature->NotifyUpdate();
        list->Add(feature);
    }
    CallSinks(mDevice, [&](TqDeviceEventSink* aSink) {
        aSink->OnEventGenICam(mDevice, aEvent.id, aEvent.channel, aEvent.block, aEvent.timestamp, &*list);
    });
}

void Link::SetEventPorts(std::map<uint16_t, std::vector<TqGenParameter*>> aFeatures) {
    std::lock_guard<std::mutex> guard(mPortLock);
    mEventPorts.clear();
    for (auto& [id, features] : aFeatures) mEventPorts[id].features = std::move(features);
}

TqResult Link::ReadEventPort(uint64_t aAddress, void* aData, uint64_t aLength) {
    const uint64_t relative = aAddress - kEventWindow, id = relative >> 32, offset = relative & 0xFFFFFFFFu;
    std::lock_guard<std::mutex> guard(mPortLock);
    auto port = id <= 0xFFFF ? mEventPorts.find(static_cast<uint16_t>(id)) : mEventPorts.end();
    char text[96];
    if (port == mEventPorts.end() || !port->second.attached) {
        std::snprintf(text, sizeof text, "no event of ID 0x%04llX has arrived", static_cast<unsigned long long>(id));
        return TqResult(TQ_STATE_ERROR, TqString(text));
    }
    const std::vector<uint8_t>& data = port->second.data;
    if (offset > data.size() || aLength > data.size() - offset) {
        std::snprintf(text, sizeof text, "bytes %llu + %llu lie beyond the event's %zu bytes",
                      static_cast<unsigned long long>(offset), static_cast<unsigned long long>(aLength), data.size());
        return TqResult(TQ_ERR_OVERFLOW, TqString(text));
    }
    if (aLength) std::memcpy(aData, data.data() + offset, aLength);
    return TqResult(TQ_OK);
}

TqResult Link::PortRead(uint64_t aAddress, void* aData, uint64_t aLength) {
    if (aAddress >= kEventWindow) return ReadEventPort(aAddress, aData, aLength);
    TqResult result = Read(aAddress, aData, aLength);
    if (result.IsOK()) CommandLink(false, aData, aAddress, aLength);
    return result;
}

TqResult Link::PortWrite(uint64_t aAddress, const void* aData, uint64_t aLength) {
    if (aAddress >= kEventWindow) return TqResult(TQ_STATE_ERROR, TqString("event data is read-only"));
    TqResult result = Write(aAddress, aData, aLength);
    if (result.IsOK()) CommandLink(true, aData, aAddress, aLength);
    return result;
}

// The bytes are the node map's, as they travel (a register's value in the device's byte order); the
// sinks get a copy in the device's reused memory.
void Link::CommandLink(bool aWrite, const void* aData, uint64_t aAddress, uint64_t aLength) {
    if (mDevice->mSinks.Empty()) return;
    TqMemoryBlocks::Owned bytes(aLength);
    if (!bytes.data()) return;
    if (aLength) std::memcpy(bytes.data(), aData, aLength);
    const void* buffer = bytes.data();
    const int64_t address = static_cast<int64_t>(aAddress), length = static_cast<int64_t>(aLength);
    CallSinks(mDevice, [&](TqDeviceEventSink* aSink) {
        if (aWrite)
            aSink->OnCmdLinkWrite(buffer, address, length);
        else
            aSink->OnCmdLinkRead(buffer, address, length);
    });
}

bool Link::WaitIdle(uint32_t aTimeoutMs) {
    std::unique_lock<std::mutex> lock(mLock);
    return mWake.wait_for(lock, std::chrono::milliseconds(aTimeoutMs), [this] { return mEvents.empty() && !mFiring; });
}

// ---- event ports in the description ----

namespace {

// An element of a description as the routing needs it: where its parts lie in the text.
struct Element {
    std::string tag;    // as written (with a prefix, if any)
    std::string local;  // without the prefix
    std::string name;   // its Name attribute
    size_t contentBegin = 0, contentEnd = 0;   // between the tags; an empty element: both at its "/>"
    bool empty = false;
    int parent = -1;
    std::vector<int> children;
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trimmed(const std::string& aText, size_t aBegin, size_t aEnd) {
    while (aBegin < aEnd && IsSpace(aText[aBegin])) ++aBegin;
    while (aEnd > aBegin && IsSpace(aText[aEnd - 1])) --aEnd;
    return aText.substr(aBegin, aEnd - aBegin);
}

// The elements of aXml in document order; false when the markup does not hold together (the loader
// then says what is wrong with it).
bool Elements(const std::string& aXml, std::vector<Element>& aOut) {
    std::vector<int> open;
    size_t i = 0;
    auto at = [&](size_t p, const char* s) { return aXml.compare(p, std::strlen(s), s) == 0; };
    while ((i = aXml.find('<', i)) != std::string::npos) {
        size_t end;
        if (at(i, "<!--")) {
            end = aXml.find("-->", i + 4);
            if (end == std::string::npos) return false;
            i = end + 3;
        } else if (at(i, "<![CDATA[")) {
            end = aXml.find("]]>", i + 9);
            if (end == std::string::npos) return false;
            i = end + 3;
        } else if (at(i, "<?")) {
            end = aXml.find("?>", i + 2);
            if (end == std::string::npos) return false;
            i = end + 2;
        } else if (at(i, "<!")) {   // a document type, perhaps with an internal subset in brackets
            int depth = 0;
            for (end = i + 2; end < aXml.size() && (aXml[end] != '>' || depth > 0); ++end)
                depth += aXml[end] == '[' ? 1 : aXml[end] == ']' ? -1 : 0;
            if (end >= aXml.size()) return false;
            i = end + 1;
        } else if (at(i, "</")) {
            end = aXml.find('>', i);
            if (end == std::string::npos || open.empty()) return false;
            Element& e = aOut[open.back()];
            if (Trimmed(aXml, i + 2, end) != e.tag) return false;
            e.contentEnd = i;
            open.pop_back();
            i = end + 1;
        } else {
            char quote = 0;
            for (end = i + 1; end < aXml.size(); ++end) {
                char c = aXml[end];
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
            }
            if (end >= aXml.size()) return false;
            Element e;
            e.empty = aXml[end - 1] == '/';
            size_t p = i + 1;
            while (p < end && !IsSpace(aXml[p]) && aXml[p] != '/') ++p;
            e.tag = aXml.substr(i + 1, p - i - 1);
            if (e.tag.empty()) return false;
            size_t colon = e.tag.rfind(':');
            e.local = colon == std::string::npos ? e.tag : e.tag.substr(colon + 1);
            // The Name attribute.
            const size_t attributesEnd = e.empty ? end - 1 : end;
            while (p < attributesEnd) {
                while (p < attributesEnd && IsSpace(aXml[p])) ++p;
                size_t nameBegin = p;
                while (p < attributesEnd && aXml[p] != '=' && !IsSpace(aXml[p])) ++p;
                std::string attribute = aXml.substr(nameBegin, p - nameBegin);
                while (p < attributesEnd && (IsSpace(aXml[p]) || aXml[p] == '=')) ++p;
                if (p >= attributesEnd || (aXml[p] != '"' && aXml[p] != '\'')) break;
                size_t close = aXml.find(aXml[p], p + 1);
                if (close == std::string::npos || close >= attributesEnd) return false;
                if (attribute == "Name") e.name = Trimmed(aXml, p + 1, close);
                p = close + 1;
            }
            e.parent = open.empty() ? -1 : open.back();
            e.contentBegin = e.contentEnd = e.empty ? end - 1 : end + 1;
            const int index = static_cast<int>(aOut.size());
            if (e.parent >= 0) aOut[e.parent].children.push_back(index);
            aOut.push_back(std::move(e));
            if (!aOut.back().empty) open.push_back(index);
            i = end + 1;
        }
    }
    return open.empty();
}

// The text of the first child of that (local) name; false when there is none.
bool ChildText(const std::string& aXml, const std::vector<Element>& aElements, const Element& aParent, const char* aLocal,
               std::string& aText) {
    for (int c : aParent.children) {
        const Element& child = aElements[c];
        if (child.local != aLocal) continue;
        aText = Trimmed(aXml, child.contentBegin, child.contentEnd);
        return true;
    }
    return false;
}

bool HexId(std::string aText, uint16_t& aId) {
    if (aText.size() > 2 && aText[0] == '0' && (aText[1] == 'x' || aText[1] == 'X')) aText.erase(0, 2);
    if (aText.empty() || aText.size() > 4) return false;
    unsigned value = 0;
    for (char c : aText) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10));
    }
    aId = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

bool RouteEventPorts(const std::string& aXml, std::string& aRouted, std::map<uint16_t, std::vector<std::string>>& aFeatures) {
    if (aXml.find("EventID") == std::string::npos) return false;   // the common case: nothing to do
    std::vector<Element> elements;
    if (!Elements(aXml, elements)) return false;
    std::map<std::string, uint16_t> ports;   // event ports by name
    for (const Element& e : elements) {
        std::string text;
        uint16_t id = 0;
        if (e.local == "Port" && !e.name.empty() && ChildText(aXml, elements, e, "EventID", text) && HexId(text, id) &&
            !ChildText(aXml, elements, e, "ChunkID", text))
            ports[e.name] = id;
    }
    if (ports.empty()) return false;

    // The registers on them: each gets the event window's address term, and is read-only and never
    // cached (the elements come last, so they win over the register's own).
    struct Edit {
        size_t at, erase;
        std::string text;
    };
    std::vector<Edit> edits;
    std::map<uint16_t, std::vector<int>> features;
    static const char* const kRegisters[] = {"IntReg", "MaskedIntReg", "FloatReg", "StringReg", "Register", "StructEntry"};
    for (size_t i = 0; i < elements.size(); ++i) {
        const Element& e = elements[i];
        if (e.name.empty() || std::none_of(std::begin(kRegisters), std::end(kRegisters), [&](const char* k) { return e.local == k; }))
            continue;
        std::string port;
        if (!ChildText(aXml, elements, e, "pPort", port) && e.local == "StructEntry" && e.parent >= 0)
            ChildText(aXml, elements, elements[e.parent], "pPort", port);   // the StructReg's
        auto found = ports.find(port);
        if (found == ports.end()) continue;
        char address[40];
        std::snprintf(address, sizeof address, "0x%llX",
                      static_cast<unsigned long long>(kEventWindow + (uint64_t{found->second} << 32)));
        std::string added = std::string("<Address>") + address + "</Address><Cachable>NoCache</Cachable><AccessMode>RO</AccessMode>";
        if (e.empty)
            edits.push_back({e.contentBegin, 2, ">" + added + "</" + e.tag + ">"});
        else
            edits.push_back({e.contentEnd, 0, added});
        features[found->second].push_back(static_cast<int>(i));
    }

    // The features whose values read them, through any number of value references.
    std::map<std::string, std::vector<int>> readers;
    static const char* const kValueReferences[] = {"pValue", "pVariable", "pValueIndexed", "pValueDefault"};
    for (size_t i = 0; i < elements.size(); ++i) {
        const Element& e = elements[i];
        if (e.parent < 0 || elements[e.parent].name.empty()) continue;
        if (std::any_of(std::begin(kValueReferences), std::end(kValueReferences), [&](const char* k) { return e.local == k; }))
            readers[Trimmed(aXml, e.contentBegin, e.contentEnd)].push_back(e.parent);
    }
    aFeatures.clear();
    for (auto& [id, nodes] : features) {
        std::vector<bool> seen(elements.size(), false);
        for (int n : nodes) seen[n] = true;
        for (size_t k = 0; k < nodes.size(); ++k) {
            auto r = readers.find(elements[nodes[k]].name);
            if (r == readers.end()) continue;
            for (int reader : r->second)
                if (!seen[reader]) {
                    seen[reader] = true;
                    nodes.push_back(reader);
                }
        }
        std::vector<std::string>& names = aFeatures[id];
        for (size_t n = 0; n < elements.size(); ++n)
            if (seen[n]) names.push_back(elements[n].name);
    }

    std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.at < b.at; });
    std::string routed;
    routed.reserve(aXml.size() + edits.size() * 128);
    size_t from = 0;
    for (const Edit& edit : edits) {
        routed.append(aXml, from, edit.at - from);
        routed += edit.text;
        from = edit.at + edit.erase;
    }
    routed.append(aXml, from, std::string::npos);
    aRouted = std::move(routed);
    return true;
}

}  // namespace TqDeviceLib
