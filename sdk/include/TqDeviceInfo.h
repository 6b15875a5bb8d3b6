// Device information records (library TqSystem64): what discovery found about one device. A record
// found by discovery belongs to the interface that found it; a record made by an application, or
// returned by Copy, belongs to whoever made it.
#pragma once

#include "TqEnums.h"
#include "TqLiveObjects.h"
#include "TqString.h"
#include "TqSystemExport.h"

#include <cstdint>
#include <string>

class TqInterface;
class TqSimulation;
class TqSystem;

class TQ_SYSTEM_API TqDeviceInfo {
public:
    virtual ~TqDeviceInfo();

    // A new record of the same kind with the same values, detached from discovery; the caller
    // deletes it.
    TqDeviceInfo* Copy() const;

    TqDeviceInfoType GetType() const;
    TqString GetVendorName() const;
    TqString GetModelName() const;
    TqString GetVersion() const;
    TqString GetManufacturerInfo() const;
    TqString GetSerialNumber() const;
    TqString GetUserDefinedName() const;
    TqString GetDisplayID() const;
    TqString GetUniqueID() const;
    TqString GetConnectionID() const;
    const TqInterface* GetInterface() const;
    bool IsConfigurationValid() const;
    TqDeviceClass GetClass() const;

protected:
    explicit TqDeviceInfo(TqDeviceInfoType aType);
    TqDeviceInfo(const TqDeviceInfo&) = default;
    TqDeviceInfo& operator=(const TqDeviceInfo&) = delete;

private:
    friend class TqSimulation;
    friend class TqSystem;
    friend class TqInterface;

    TqDeviceInfoType mType;
    std::string mVendor, mModel, mVersion, mManufacturerInfo, mSerial, mUserName, mDisplayID, mUniqueID,
        mConnectionID;
    const TqInterface* mInterface = nullptr;
    bool mConfigurationValid = false;
    TqDeviceClass mClass = TqDeviceClassUnknown;
    TqLiveObjects::Counter mCounter{"TqDeviceInfo"};
};

class TQ_SYSTEM_API TqDeviceInfoGEV : public TqDeviceInfo {
public:
    TqDeviceInfoGEV();
    ~TqDeviceInfoGEV() override;

    TqString GetMACAddress() const;   // aa:bb:cc:dd:ee:ff
    TqString GetIPAddress() const;
    TqString GetDefaultGateway() const;
    TqString GetSubnetMask() const;
    uint32_t GetGEVVersion() const;   // major in the high 16 bits, minor in the low 16
    TqString GetIPConfigOptionsString() const;
    TqString GetIPConfigCurrentString() const;
    bool IsLLAAvailable() const;
    bool IsDHCPAvailable() const;
    bool IsPersistentAvailable() const;
    bool IsPRAvailable() const;
    bool IsPGAvailable() const;
    bool IsLLAEnabled() const;
    bool IsDHCPEnabled() const;
    bool IsPersistentEnabled() const;
    bool IsPREnabled() const;
    bool IsPGEnabled() const;

private:
    friend class TqSimulation;
    friend class TqSystem;

    std::string mMAC, mIP, mGateway, mMask;
    uint32_t mGEVVersion = 0;
    // LLA, DHCP, persistent, PAUSE reception, PAUSE generation.
    bool mAvailable[5] = {};
    bool mEnabled[5] = {};
};

class TQ_SYSTEM_API TqDeviceInfoZelvraProtocol : public TqDeviceInfo {
public:
    TqDeviceInfoZelvraProtocol();
    ~TqDeviceInfoZelvraProtocol() override;

    TqString GetMACAddress() const;
    TqString GetIPAddress() const;
    TqString GetSubnetMask() const;
    TqString GetDefaultGateway() const;
    uint8_t GetDeviceID() const;
    uint8_t GetModuleID() const;
    uint8_t GetSubID() const;
    uint8_t GetVendorID() const;
    uint8_t GetSoftwareMajor() const;
    uint8_t GetSoftwareMinor() const;

private:
    friend class TqSimulation;

    std::string mMAC, mIP, mMask, mGateway;
    uint8_t mDeviceID = 0, mModuleID = 0, mSubID = 0, mVendorID = 0, mSoftwareMajor = 0, mSoftwareMinor = 0;
};

class TQ_SYSTEM_API TqDeviceInfoUSB : public TqDeviceInfo {
public:
    TqDeviceInfoUSB();
    ~TqDeviceInfoUSB() override;

    TqUSBStatus GetStatus() const;

protected:
    explicit TqDeviceInfoUSB(TqDeviceInfoType aType);

private:
    friend class TqSimulation;

    TqUSBStatus mStatus = TqUSBStatusNotInitialized;
};

class TQ_SYSTEM_API TqDeviceInfoU3V : public TqDeviceInfoUSB {
public:
    TqDeviceInfoU3V();
    ~TqDeviceInfoU3V() override;

    uint32_t GetGenCPVersion() const;   // major in the high 16 bits, minor in the low 16
    uint32_t GetU3VVersion() const;
    TqString GetDeviceGUID() const;
    TqString GetFamilyName() const;
    TqString GetU3VSerialNumber() const;
    TqString GetDevicePath() const;
    TqString GetDeviceKey() const;
    TqString GetSpeedMessage() const;
    TqString GetPowerMessage() const;
    bool IsLowSpeedSupported() const;
    bool IsFullSpeedSupported() const;
    bool IsHighSpeedSupported() const;
    bool IsSuperSpeedSupported() const;
    bool IsCurrentSpeedSupported() const;
    TqUSBSpeed GetSpeed() const;
    uint32_t GetMaxPower() const;        // milliamperes
    uint32_t GetMaxPacketSize() const;   // bytes
    bool IsZelvraDriverInstalled() const;
    bool IsInitializedCapabilities() const;

private:
    friend class TqSimulation;

    uint32_t mGenCPVersion = 0, mU3VVersion = 0;
    std::string mGUID, mFamily, mU3VSerial, mPath, mKey, mSpeedMessage, mPowerMessage;
    // Low, full, high, super speed.
    bool mSpeeds[4] = {};
    bool mCurrentSpeedSupported = false;
    TqUSBSpeed mSpeed = TqUSBSpeedUnknown;
    uint32_t mMaxPower = 0, mMaxPacketSize = 0;
    bool mDriverInstalled = false, mInitializedCapabilities = false;
};
