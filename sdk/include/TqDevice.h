// A connected device (library TqDevice64): the control side of a camera. A device connects to what
// a device information record or a text names, reads and writes the device's memory, and hands out
// its GenICam parameters (a node map over the device's registers) and the SDK's own communication
// settings. GigE Vision devices are reached over the control protocol on loopback.
#pragma once

#include "TqEnums.h"
#include "TqGenParameterArray.h"
#include "TqLiveObjects.h"
#include "TqSinkList.h"
#include "TqResult.h"
#include "TqString.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TqDeviceEventSink;
class TqDeviceInfo;

namespace TqDeviceLib {
class Link;
struct Settings;
}
namespace TqEngine {
class Device;
}

class TqDevice {
public:
    virtual ~TqDevice();
    TqDevice(const TqDevice&) = delete;
    TqDevice& operator=(const TqDevice&) = delete;

    // A MAC address (00:11:22:33:44:5F), an IP address, a DeviceUserID or a USB3 Vision GUID.
    virtual TqResult Connect(const TqString& aInfo);
    // Only one device can be connected to at a time.
    virtual TqResult Connect(const TqDeviceInfo* aDeviceInfo);
    // A new device of the kind the record or text names, connected; release it with Free.
    static TqDevice* CreateAndConnect(const TqDeviceInfo* aDeviceInfo, TqResult* aResult);
    static TqDevice* CreateAndConnect(const TqString& aInfo, TqResult* aResult);
    // Releases a device that CreateAndConnect made; any other pointer is left alone.
    static void Free(TqDevice* aDevice);

    TqDeviceType GetType() const;
    TqResult Disconnect();
    TqResult StreamEnable(uint32_t aChannel = 0);
    TqResult StreamDisable(uint32_t aChannel = 0);
    bool IsConnected() const;
    bool IsZelvraPowered() const;
    TqResult DumpGenICamXML(const TqString& aFilename);
    TqResult GetDefaultGenICamXMLFilename(TqString& aFilename);
    TqGenParameterArray* GetParameters();
    TqGenParameterArray* GetCommunicationParameters();
    TqResult ReadMemory(int64_t aAddress, uint8_t* aDestination, int64_t aByteCount);
    TqResult WriteMemory(int64_t aAddress, const uint8_t* aSource, int64_t aByteCount);
    TqResult WaitForMessagingChannelIdle(uint32_t aTimeout);
    TqResult RegisterEventSink(TqDeviceEventSink* aEventSink);
    TqResult UnregisterEventSink(TqDeviceEventSink* aEventSink);
    uint32_t GetHeartbeatThreadPriority() const;
    TqResult SetHeartbeatThreadPriority(uint32_t aPriority);
    uint32_t GetInterruptLinkThreadPriority() const;
    TqResult SetInterruptLinkThreadPriority(uint32_t aPriority);
    uint32_t GetInterruptQueueThreadPriority() const;
    TqResult SetInterruptQueueThreadPriority(uint32_t aPriority);
    uint32_t GetPayloadSize();
    TqResult GetUniqueID(TqString& aID);

    // The stand-in's own: a device whose features are those of the loaded array.
    static TqDevice* CreateSimulated(std::unique_ptr<TqGenParameterArray> aParameters);

protected:
    explicit TqDevice(TqDeviceType aType = TqDeviceTypeUnknown);
    TqResult ConnectTo(uint32_t aIp);
    TqResult ConnectDirect(std::shared_ptr<TqEngine::Device> aDevice);

private:
    friend class TqDeviceLib::Link;
    void LinkLost();
    std::vector<TqDeviceEventSink*> Sinks() const;
    TqResult LockStreamParameters(uint32_t aChannel, int64_t aLocked);
    TqResult Attach(std::shared_ptr<TqDeviceLib::Link> aLink);

    const TqDeviceType mType;
    mutable std::mutex mLock;
    std::shared_ptr<TqDeviceLib::Link> mLink;
    std::shared_ptr<TqDeviceLib::Settings> mSettings;
    std::unique_ptr<TqGenParameterArray> mParameters;
    // Arrays of earlier connections: proxies handed out before stay valid while the device lives.
    std::vector<std::unique_ptr<TqGenParameterArray>> mRetired;
    std::unique_ptr<TqGenParameterArray> mCommunication;
    std::string mXml, mXmlName;
    TqSinkList<TqDeviceEventSink> mSinks;
    std::atomic<uint32_t> mPriorities[3] = {};
    TqLiveObjects::Counter mCounter{"TqDevice"};
};

class TqDeviceGEV : public TqDevice {
public:
    TqDeviceGEV();
    ~TqDeviceGEV() override;
};

class TqDeviceU3V : public TqDevice {
public:
    TqDeviceU3V();
    ~TqDeviceU3V() override;
};

// A device of the maker's own protocol (in the stand-in a kind of TqDevice).
class TqDeviceZelvraProtocol : public TqDevice {
public:
    TqDeviceZelvraProtocol();
    ~TqDeviceZelvraProtocol() override;
};
