// How a device reaches its hardware (internal to the device library): a GigE Vision device over the
// control protocol with its heartbeat and messaging channel. The link outlives nothing it serves:
// the device's parameter array reads and writes through it, and fails once it is closed.
//
// Callbacks: the link tells the device's sinks of its events (OnEvent, then OnEventGenICam when the
// event's ID is one of an event port, on the thread that fires the queued events), of the loss of
// the device (OnLinkDisconnected, on the same thread) and of each successful access of the node map's
// port to the device (OnCmdLinkRead / OnCmdLinkWrite, on the accessing thread), never under a lock of
// the device or the link.
//
// Heartbeat: while the link lives it reads the device's CCP register at the heartbeat interval (the
// interval asked for, at most a third of the device's heartbeat timeout, which the link reads when
// it connects and again after each write through it that covers the register). The link is lost,
// for good, as soon as the device shows that a controlling link's privilege is gone (CCP read back
// without control, a read of it denied, or an ACCESS_DENIED to a command that the CCP read then
// confirms), or when the heartbeat has failed for longer than the device's heartbeat timeout (or
// more times in a row than the heartbeat retries). Then every access answers TQ_NOT_CONNECTED with
// the reason, and the event thread tells the device (its link watches, routes and sinks, once).
//
// Event ports: a description's Port with an EventID (and no ChunkID) is served by the link. The
// description is loaded with the registers on such a port moved into an event window above the
// device's 32-bit address space (an Address term added; never cached, read-only); the link keeps the
// data of the last event of each such ID and answers reads in the window from it.
#pragma once

#include "TqDevice.h"
#include "TqDeviceCalls.h"
#include "TqDeviceEngine.h"
#include "TqGvcpClient.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <string>
#include <thread>

namespace TqDeviceLib {

// What a device shares with its links for its whole life: the SDK's own communication settings,
// which its communication parameters show, and the memory the calls into its event sinks are
// handed (reused, freed with the device).
struct Settings {
    std::atomic<uint32_t> answerTimeout{200};    // ms per command
    std::atomic<uint32_t> commandRetries{3};
    std::atomic<uint32_t> heartbeatInterval{0};  // ms; 0: a third of the device's heartbeat timeout
    std::atomic<uint32_t> heartbeatRetries{3};   // heartbeats missed in a row before the link is lost
    std::atomic<uint32_t> commandTimeout{TqGvcpClient::Channel::kMaxWait};   // ms one command may take in all
    // ms reading the device's description (its first URL and the file it names) may take in all
    static constexpr uint32_t kDescriptionTimeout = 30000;
    std::atomic<uint32_t> descriptionTimeout{kDescriptionTimeout};
    std::atomic<uint32_t> deviceHeartbeat{0};    // ms; the heartbeat timeout of the device the live link serves

    // The time between heartbeats to a device of that heartbeat timeout: the interval asked for, at
    // most a third of the timeout (so that a heartbeat may fail twice before the device gives up).
    uint32_t HeartbeatInterval(uint32_t aDeviceTimeout) const {
        const uint32_t most = std::max<uint32_t>(aDeviceTimeout / 3, 10), asked = heartbeatInterval;
        return asked && asked < most ? asked : most;
    }

    Reused<TqGenParameterList> lists;     // the parameters an event invalidated
};

// The start of the event window in the node map's port: the registers of event ID n lie at
// kEventWindow + n * 2^32 + their address in the event as GigE Vision carries it: its header
// (kEventHeaderBytes: reserved, event ID, stream channel, block ID, timestamp) and then its data.
constexpr uint64_t kEventWindow = uint64_t{1} << 40;
constexpr size_t kEventHeaderBytes = TqGvcp::EventEntry::kSize;

// The description to load when aXml has event ports (false, aRouted untouched, when it has none),
// and for each event ID the names of the features that its data changes: the registers on its
// ports and the features whose values read them, in document order.
bool RouteEventPorts(const std::string& aXml, std::string& aRouted, std::map<uint16_t, std::vector<std::string>>& aFeatures);

class Link {
public:
    Link(TqDevice* aDevice, std::shared_ptr<Settings> aSettings);
    ~Link();

    // Takes the privilege (the CCP value to write; 0 only reads) of the device at aIp and starts the
    // heartbeat.
    TqResult Open(uint32_t aIp, uint32_t aPrivilege);
    // The same with a device of this process, reached without the network (simulated kinds).
    TqResult OpenDirect(std::shared_ptr<TqEngine::Device> aDevice, uint32_t aPrivilege);
    // Binds the messaging channel when the device has one and starts its threads.
    TqResult StartMessaging();
    void Close();

    // Device memory at any address and length (whole words travel on the wire); with a deadline all of
    // it by then, else TQ_TIMEOUT.
    TqResult Read(uint64_t aAddress, void* aData, uint64_t aLength,
                  TqGvcpClient::Channel::Deadline aBy = TqGvcpClient::Channel::kNoDeadline);
    TqResult Write(uint64_t aAddress, const void* aData, uint64_t aLength);
    // The node map's port: the event window, or device memory with the command-link callbacks.
    TqResult PortRead(uint64_t aAddress, void* aData, uint64_t aLength);
    TqResult PortWrite(uint64_t aAddress, const void* aData, uint64_t aLength);
    // The features each event port's data changes (before the messaging channel starts).
    void SetEventPorts(std::map<uint16_t, std::vector<TqGenParameter*>> aFeatures);
    TqResult ReadRegister(uint32_t aAddress, uint32_t& aValue);
    TqResult WriteRegister(uint32_t aAddress, uint32_t aValue, bool aAcknowledge = true);
    uint32_t Privilege() const { return mPrivilege; }
    // The link holds control of the device (not only reads it).
    bool Controls() const;

    bool Alive() const { return mAlive; }
    bool WaitIdle(uint32_t aTimeoutMs);
    const std::array<uint8_t, 6>& Mac() const { return mMac; }
    uint32_t Ip() const { return mIp; }

    // Calls aCall(sink) for each event sink of the device (see TqSinkList).
    template <class Call>
    static void CallSinks(TqDevice* aDevice, Call aCall) {
        aDevice->mSinks.Each(aCall);
    }

private:
    struct Event {
        uint16_t id = 0, channel = 0;
        uint64_t block = 0, timestamp = 0;
        std::vector<uint8_t> data;
    };
    TqResult TakeControl(uint32_t aPrivilege);
    bool Words(uint64_t aAddress, uint64_t aLength, uint64_t& aStart, uint64_t& aEnd, TqResult& aWhy) const;
    // Hands the communication settings to the channel before a command.
    void Tune();
    void Heartbeat();
    // Declares the link lost for that reason (once; the event thread then tells the device).
    void Lose(const char* aWhy);
    // TQ_NOT_CONNECTED with the reason the link is lost or closed.
    TqResult Gone() const;
    // Reads the privilege back: false (and the link lost) when the device no longer grants it.
    bool StillControls();
    // The result of a command's status; an ACCESS_DENIED to a controlling link checks its privilege.
    TqResult Answer(uint16_t aStatus);
    // After a successful write of the words in [aStart, aEnd): follows a new heartbeat timeout.
    void Wrote(uint64_t aStart, uint64_t aEnd);
    void ReceiveEvents();
    // Queues the events of one messaging channel command; false when it is none.
    bool QueueEvents(const uint8_t* aCommand, size_t aSize);
    void FireEvents();
    void Deliver(const Event& aEvent);
    // Tells the sinks of a successful port access to the device.
    void CommandLink(bool aWrite, const void* aData, uint64_t aAddress, uint64_t aLength);
    TqResult ReadEventPort(uint64_t aAddress, void* aData, uint64_t aLength);

    TqDevice* mDevice;
    std::shared_ptr<Settings> mSettings;
    TqGvcpClient::Channel mChannel;
    std::shared_ptr<TqEngine::Device> mDirect;
    uint32_t mIp = 0;
    std::array<uint8_t, 6> mMac{};
    std::atomic<uint32_t> mDeviceHeartbeat{3000};   // ms, as the device holds it
    uint32_t mPrivilege = 0;
    std::atomic<bool> mAlive{false};
    std::atomic<bool> mStop{false};
    std::atomic<const char*> mLoss{nullptr};   // why the link was lost; null while it was not
    std::mutex mLock;   // the stop signal, the event queue, the heartbeat's wake-up
    std::condition_variable mWake;
    bool mRetimed = false;   // the heartbeat timeout changed: the heartbeat plans anew
    std::thread mHeartbeat, mReceiver, mFirer;
    int mMessageSocket = -1;
    std::deque<Event> mEvents;
    bool mFiring = false;
    bool mLinkLost = false;

    // The event ports: the data of the last event of each ID, and the features it changes.
    struct EventPort {
        bool attached = false;
        std::vector<uint8_t> data;
        std::vector<TqGenParameter*> features;
    };
    std::mutex mPortLock;
    std::map<uint16_t, EventPort> mEventPorts;
};

// A GenICam port over a link.
class LinkPort : public TqGenICamLib::IPort {
public:
    explicit LinkPort(std::shared_ptr<Link> aLink) : mLink(std::move(aLink)) {}
    TqResult Read(uint64_t aAddress, void* aData, uint64_t aLength) override {
        return mLink->PortRead(aAddress, aData, aLength);
    }
    TqResult Write(uint64_t aAddress, const void* aData, uint64_t aLength) override {
        return mLink->PortWrite(aAddress, aData, aLength);
    }

private:
    std::shared_ptr<Link> mLink;
};

}  // namespace TqDeviceLib
