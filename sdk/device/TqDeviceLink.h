// How a device reaches its hardware (internal to the device library): a GigE Vision device over the
// control protocol with its heartbeat and messaging channel. The link outlives nothing it serves:
// the device's parameter array reads and writes through it, and fails once it is closed.
#pragma once

#include "TqDevice.h"
#include "TqDeviceEngine.h"
#include "TqGvcpClient.h"

#include <array>
#include <condition_variable>
#include <deque>
#include <thread>

namespace TqDeviceLib {

// The SDK's own communication settings of a device, which its communication parameters show.
struct Settings {
    std::atomic<uint32_t> answerTimeout{200};    // ms per command
    std::atomic<uint32_t> commandRetries{3};
    std::atomic<uint32_t> heartbeatInterval{0};  // ms; 0: a third of the device's heartbeat timeout
    std::atomic<uint32_t> heartbeatRetries{3};   // heartbeats missed in a row before the link is lost
};

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

    // Device memory at any address and length (whole words travel on the wire).
    TqResult Read(uint64_t aAddress, void* aData, uint64_t aLength);
    TqResult Write(uint64_t aAddress, const void* aData, uint64_t aLength);
    TqResult ReadRegister(uint32_t aAddress, uint32_t& aValue);
    TqResult WriteRegister(uint32_t aAddress, uint32_t aValue, bool aAcknowledge = true);
    uint32_t Privilege() const { return mPrivilege; }

    bool Alive() const { return mAlive; }
    bool WaitIdle(uint32_t aTimeoutMs);
    const std::array<uint8_t, 6>& Mac() const { return mMac; }
    uint32_t Ip() const { return mIp; }

private:
    struct Event {
        uint16_t id = 0, channel = 0;
        uint64_t block = 0, timestamp = 0;
        std::vector<uint8_t> data;
    };
    TqResult TakeControl(uint32_t aPrivilege);
    bool Words(uint64_t aAddress, uint64_t aLength, uint64_t& aStart, uint64_t& aEnd, TqResult& aWhy) const;
    void Heartbeat();
    void ReceiveEvents();
    // Queues the events of one messaging channel command; false when it is none.
    bool QueueEvents(const uint8_t* aCommand, size_t aSize);
    void FireEvents();
    TqResult Result(uint16_t aStatus) const;

    TqDevice* mDevice;
    std::shared_ptr<Settings> mSettings;
    TqGvcpClient::Channel mChannel;
    std::shared_ptr<TqEngine::Device> mDirect;
    uint32_t mIp = 0;
    std::array<uint8_t, 6> mMac{};
    uint32_t mDeviceHeartbeat = 3000;
    uint32_t mPrivilege = 0;
    std::atomic<bool> mAlive{false};
    std::atomic<bool> mStop{false};
    std::mutex mLock;   // the stop signal and the event queue
    std::condition_variable mWake;
    std::thread mHeartbeat, mReceiver, mFirer;
    int mMessageSocket = -1;
    std::deque<Event> mEvents;
    bool mFiring = false;
    bool mLinkLost = false;
};

// A GenICam port over a link.
class LinkPort : public TqGenICamLib::IPort {
public:
    explicit LinkPort(std::shared_ptr<Link> aLink) : mLink(std::move(aLink)) {}
    TqResult Read(uint64_t aAddress, void* aData, uint64_t aLength) override {
        return mLink->Read(aAddress, aData, aLength);
    }
    TqResult Write(uint64_t aAddress, const void* aData, uint64_t aLength) override {
        return mLink->Write(aAddress, aData, aLength);
    }

private:
    std::shared_ptr<Link> mLink;
};

}  // namespace TqDeviceLib
