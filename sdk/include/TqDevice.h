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
#include <functional>
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
    // Connecting with a control privilege (the value of the device's CCP register; 0 only reads).
    TqResult ConnectText(const TqString& aInfo, uint32_t aPrivilege);
    TqResult ConnectRecord(const TqDeviceInfo* aDeviceInfo, uint32_t aPrivilege);
    TqResult ConnectTo(uint32_t aIp, uint32_t aPrivilege);
    TqResult ConnectDirect(std::shared_ptr<TqEngine::Device> aDevice, uint32_t aPrivilege);
    std::shared_ptr<TqDeviceLib::Link> CurrentLink() const;

private:
    friend class TqDeviceLib::Link;
    // The link was lost (on its event thread); aControlledIp: the address of the device when the link
    // controlled it, else 0.
    void LinkLost(uint32_t aControlledIp);
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

    // The one-argument forms connect with TqAccessControl.
    TqResult Connect(const TqString& aInfo) override;
    TqResult Connect(const TqDeviceInfo* aDeviceInfo) override;
    TqResult Connect(const TqDeviceInfo* aDeviceInfo, TqAccessType aAccessType);
    TqResult Connect(const TqString& aInfo, TqAccessType aAccessType);

    TqResult SetStreamDestination(const TqString& aIPAddress, uint16_t aDataPort, uint32_t aChannel = 0);
    TqResult ResetStreamDestination(uint32_t aChannel = 0);
    TqResult SetPacketSize(uint32_t aPacketSize, uint32_t aChannel = 0);
    // The largest packet size from { 9000, 8000, 4000, 2000, 1500, 1000, 600 } (less 24 bytes,
    // rounded down to the packet size's increment) whose test packet arrives; resets the channel's
    // destination. None arriving: aDefaultPacketSize, or the device's own setting when it is 0.
    TqResult NegotiatePacketSize(uint32_t aChannel = 0, uint32_t aDefaultPacketSize = 0);
    TqResult ReadRegister(int64_t aAddress, uint32_t& aValue);
    TqResult WriteRegister(int64_t aAddress, uint32_t aValue, bool aAcknowledge = true);
    TqDeviceClass GetClass() const;
    TqString GetIPAddress() const;
    TqString GetMACAddress() const;
    TqAccessType GetAccessType() const;
    // The access type of the device at that IP address, read without connecting to it.
    static TqResult GetAccessType(const TqString& aDeviceIPAddress, TqAccessType& aAccessType);
    // Forces the IP configuration of the device with that MAC address (loopback addresses only).
    static TqResult SetIPConfiguration(const TqString& aMACAddress, const TqString& aIP,
                                       const TqString& aSubnetMask = TqString("255.255.255.0"),
                                       const TqString& aGateway = TqString("0.0.0.0"));
    // The stand-in's own: runs aUse with the device of this process that controls the device at aIp
    // (host order), under a lock that keeps it connected and alive meanwhile; false when none does.
    static bool WithController(uint32_t aIp, const std::function<void(TqDeviceGEV&)>& aUse);

private:
    TqResult ChannelRegister(uint32_t aChannel, uint32_t& aCount) const;
    TqAccessType mAccess = TqAccessUnknown;
};

class TqDeviceU3V : public TqDevice {
public:
    TqDeviceU3V();
    ~TqDeviceU3V() override;

    // A USB3 Vision record, or the device's 12 hex digit GUID.
    TqResult Connect(const TqString& aInfo) override;
    TqResult Connect(const TqDeviceInfo* aDeviceInfo) override;
    TqString GetGUID() const;

private:
    std::string mGUID;
};

// A device of the maker's own protocol (in the stand-in a kind of TqDevice).
class TqDeviceZelvraProtocol : public TqDevice {
public:
    TqDeviceZelvraProtocol();
    ~TqDeviceZelvraProtocol() override;

    // Configures the device with that MAC address.
    static TqResult SetIPConfiguration(const TqString& aMACAddress, const TqString& aIP, const TqString& aSubnetMask,
                                       const TqString& aGateway);
};
