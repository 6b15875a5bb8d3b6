// Interfaces (library TqSystem64): the host's network adapters and USB host controllers, and the
// records of the devices found through each.
#pragma once

#include "TqEnums.h"
#include "TqLiveObjects.h"
#include "TqString.h"
#include "TqSystemExport.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TqDeviceInfo;
class TqSimulation;
class TqSystem;

class TQ_SYSTEM_API TqInterface {
public:
    virtual ~TqInterface();

    // A new interface of the same kind with the same values and copies of its records; the caller
    // deletes it.
    TqInterface* Copy() const;

    TqInterfaceType GetType() const;
    TqString GetName() const;
    TqString GetDisplayID() const;
    TqString GetUniqueID() const;
    TqString GetCompareID() const;
    uint32_t GetDeviceCount() const;
    const TqDeviceInfo* GetDeviceInfo(uint32_t aIndex) const;   // null out of range
    // True when a1 sorts before a2 by their compare IDs.
    static bool Compare(const TqInterface* a1, const TqInterface* a2);
    TqString GetZelvraDriverVersion() const;   // empty without the maker's driver

protected:
    explicit TqInterface(TqInterfaceType aType);
    TqInterface(const TqInterface& aOther);
    TqInterface& operator=(const TqInterface&) = delete;

private:
    friend class TqSimulation;
    friend class TqSystem;

    TqInterfaceType mType;
    std::string mName, mDisplayID, mUniqueID, mCompareID, mDriverVersion;
    std::vector<std::unique_ptr<TqDeviceInfo>> mDevices;
    TqLiveObjects::Counter mCounter{"TqInterface"};
};

class TQ_SYSTEM_API TqNetworkAdapter : public TqInterface {
public:
    TqNetworkAdapter();
    ~TqNetworkAdapter() override;

    TqString GetMACAddress() const;   // ##.##.##.##.##.##
    TqString GetDescription() const;
    uint32_t GetIPAddressCount() const;
    // Addresses and masks are enumerated together; empty out of range.
    TqString GetIPAddress(uint32_t aIndex) const;
    TqString GetSubnetMask(uint32_t aIndex) const;
    TqString GetDefaultGateway() const;
    bool IsZelvraDriverInstalled() const;

private:
    friend class TqSimulation;

    std::string mMAC, mDescription, mGateway;
    std::vector<std::pair<std::string, std::string>> mAddresses;   // address, mask
    bool mDriverInstalled = false;
};

class TQ_SYSTEM_API TqUSBHostController : public TqInterface {
public:
    TqUSBHostController();
    ~TqUSBHostController() override;

    uint32_t GetVendorID() const;
    uint32_t GetDeviceID() const;
    uint32_t GetSubsystemID() const;
    uint32_t GetRevision() const;
    TqUSBSpeed GetSpeed() const;

private:
    friend class TqSimulation;

    uint32_t mVendorID = 0, mDeviceID = 0, mSubsystemID = 0, mRevision = 0;
    TqUSBSpeed mSpeed = TqUSBSpeedUnknown;
};
