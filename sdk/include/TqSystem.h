// Discovery (library TqSystem64): the host's interfaces and the devices reachable through them.
#pragma once

#include "TqEnums.h"
#include "TqLiveObjects.h"
#include "TqSinkList.h"
#include "TqResult.h"
#include "TqString.h"
#include "TqSystemExport.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TqDeviceInfo;
class TqInterface;
struct TqSessionInfo;

// Told of every device that a find operation finds, on the thread that runs it.
class TQ_SYSTEM_API TqSystemEventSink {
public:
    virtual ~TqSystemEventSink();
    virtual void OnDeviceFound(const TqInterface* aInterface, const TqDeviceInfo* aDeviceInfo) = 0;
};

class TQ_SYSTEM_API TqSystem {
public:
    TqSystem();
    virtual ~TqSystem();
    TqSystem(const TqSystem&) = delete;
    TqSystem& operator=(const TqSystem&) = delete;

    // Blocks for the detection timeout while GigE Vision devices answer.
    TqResult Find();
    // Finds until a device matches by MAC address (any case), IP address or DeviceUserID, or the
    // detection timeout ends. The record found is written through aDeviceInfo when it is not null.
    TqResult FindDevice(const TqString& aDeviceToFind, const TqDeviceInfo** aDeviceInfo);

    void SetDetectionTimeout(uint32_t aTimeout);   // clamped to 100..60000 ms
    uint32_t GetDetectionTimeout() const;
    void SetSubnetBroadcastEnabled(bool aValue);
    bool GetSubnetBroadcastEnabled() const;
    uint32_t GetGEVSupportedVersion() const;
    uint32_t GetU3VSupportedVersion() const;

    TqResult RegisterEventSink(TqSystemEventSink* aEventSink);
    TqResult UnregisterEventSink(TqSystemEventSink* aEventSink);

    uint32_t GetInterfaceCount() const;
    const TqInterface* GetInterface(uint32_t aIndex) const;
    // Listens for SAP announcements (224.2.127.254:9875, joined on 127.0.0.1) for the detection
    // timeout and returns how many sessions are known (the latest announcement of each; a deletion
    // removes it). GetSessionInfo fills the record of one (TQ_NOT_FOUND out of range, record untouched).
    // A session is known by its announcement's originating source and message ID hash, in the order
    // first heard, for the system's lifetime; malformed, encrypted and compressed announcements are
    // ignored. The record: the SDP's s= name, c= address (without /ttl), first m= port and the local
    // address the announcement arrived on.
    uint32_t DiscoverSessions();
    TqResult GetSessionInfo(uint32_t aIndex, TqSessionInfo& aInfo) const;

    uint32_t GetDeviceCount() const;
    const TqDeviceInfo* GetDeviceInfo(uint32_t aIndex) const;

private:
    // One find: the host's interfaces with the devices that answered; aWanted ends the wait early
    // once it answers, and its record is written to aMatch.
    void Discover(const std::string* aWanted, const TqDeviceInfo** aMatch);

    mutable std::mutex mLock;
    std::vector<std::unique_ptr<TqInterface>> mInterfaces;
    // Earlier finds' interfaces: records handed out before stay valid while the system lives.
    std::vector<std::unique_ptr<TqInterface>> mRetired;
    TqSinkList<TqSystemEventSink> mSinks;
    uint32_t mTimeout = 1500;
    bool mSubnetBroadcast = false;
    TqLiveObjects::Counter mCounter{"TqSystem"};
};
