#include "TqDeviceInfo.h"

TqDeviceInfo::TqDeviceInfo(TqDeviceInfoType aType) : mType(aType) {}
TqDeviceInfo::~TqDeviceInfo() = default;

TqDeviceInfo* TqDeviceInfo::Copy() const {
    if (auto* p = dynamic_cast<const TqDeviceInfoGEV*>(this)) return new TqDeviceInfoGEV(*p);
    if (auto* p = dynamic_cast<const TqDeviceInfoZelvraProtocol*>(this)) return new TqDeviceInfoZelvraProtocol(*p);
    if (auto* p = dynamic_cast<const TqDeviceInfoU3V*>(this)) return new TqDeviceInfoU3V(*p);
    if (auto* p = dynamic_cast<const TqDeviceInfoUSB*>(this)) return new TqDeviceInfoUSB(*p);
    return new TqDeviceInfo(*this);
}

TqDeviceInfoType TqDeviceInfo::GetType() const { return mType; }
TqString TqDeviceInfo::GetVendorName() const { return TqString(mVendor.c_str()); }
TqString TqDeviceInfo::GetModelName() const { return TqString(mModel.c_str()); }
TqString TqDeviceInfo::GetVersion() const { return TqString(mVersion.c_str()); }
TqString TqDeviceInfo::GetManufacturerInfo() const { return TqString(mManufacturerInfo.c_str()); }
TqString TqDeviceInfo::GetSerialNumber() const { return TqString(mSerial.c_str()); }
TqString TqDeviceInfo::GetUserDefinedName() const { return TqString(mUserName.c_str()); }
TqString TqDeviceInfo::GetDisplayID() const { return TqString(mDisplayID.c_str()); }
TqString TqDeviceInfo::GetUniqueID() const { return TqString(mUniqueID.c_str()); }
TqString TqDeviceInfo::GetConnectionID() const { return TqString(mConnectionID.c_str()); }
const TqInterface* TqDeviceInfo::GetInterface() const { return mInterface; }
bool TqDeviceInfo::IsConfigurationValid() const { return mConfigurationValid; }
TqDeviceClass TqDeviceInfo::GetClass() const { return mClass; }

TqDeviceInfoGEV::TqDeviceInfoGEV() : TqDeviceInfo(TqDeviceInfoTypeGEV) {}
TqDeviceInfoGEV::~TqDeviceInfoGEV() = default;
TqString TqDeviceInfoGEV::GetMACAddress() const { return TqString(mMAC.c_str()); }
TqString TqDeviceInfoGEV::GetIPAddress() const { return TqString(mIP.c_str()); }
TqString TqDeviceInfoGEV::GetDefaultGateway() const { return TqString(mGateway.c_str()); }
TqString TqDeviceInfoGEV::GetSubnetMask() const { return TqString(mMask.c_str()); }
uint32_t TqDeviceInfoGEV::GetGEVVersion() const { return mGEVVersion; }

namespace {
// The IP configuration options as text, in the order LLA, DHCP, persistent, PR, PG.
std::string OptionsText(const bool (&aFlags)[5]) {
    static const char* const kNames[] = {"LLA", "DHCP", "Persistent", "PR", "PG"};
    std::string text;
    for (int i = 0; i < 5; ++i)
        if (aFlags[i]) text += (text.empty() ? "" : ", ") + std::string(kNames[i]);
    return text;
}
}  // namespace

TqString TqDeviceInfoGEV::GetIPConfigOptionsString() const { return TqString(OptionsText(mAvailable).c_str()); }
TqString TqDeviceInfoGEV::GetIPConfigCurrentString() const { return TqString(OptionsText(mEnabled).c_str()); }
bool TqDeviceInfoGEV::IsLLAAvailable() const { return mAvailable[0]; }
bool TqDeviceInfoGEV::IsDHCPAvailable() const { return mAvailable[1]; }
bool TqDeviceInfoGEV::IsPersistentAvailable() const { return mAvailable[2]; }
bool TqDeviceInfoGEV::IsPRAvailable() const { return mAvailable[3]; }
bool TqDeviceInfoGEV::IsPGAvailable() const { return mAvailable[4]; }
bool TqDeviceInfoGEV::IsLLAEnabled() const { return mEnabled[0]; }
bool TqDeviceInfoGEV::IsDHCPEnabled() const { return mEnabled[1]; }
bool TqDeviceInfoGEV::IsPersistentEnabled() const { return mEnabled[2]; }
bool TqDeviceInfoGEV::IsPREnabled() const { return mEnabled[3]; }
bool TqDeviceInfoGEV::IsPGEnabled() const { return mEnabled[4]; }

TqDeviceInfoZelvraProtocol::TqDeviceInfoZelvraProtocol() : TqDeviceInfo(TqDeviceInfoTypeZelvraProtocol) {}
TqDeviceInfoZelvraProtocol::~TqDeviceInfoZelvraProtocol() = default;
TqString TqDeviceInfoZelvraProtocol::GetMACAddress() const { return TqString(mMAC.c_str()); }
TqString TqDeviceInfoZelvraProtocol::GetIPAddress() const { return TqString(mIP.c_str()); }
TqString TqDeviceInfoZelvraProtocol::GetSubnetMask() const { return TqString(mMask.c_str()); }
TqString TqDeviceInfoZelvraProtocol::GetDefaultGateway() const { return TqString(mGateway.c_str()); }
uint8_t TqDeviceInfoZelvraProtocol::GetDeviceID() const { return mDeviceID; }
uint8_t TqDeviceInfoZelvraProtocol::GetModuleID() const { return mModuleID; }
uint8_t TqDeviceInfoZelvraProtocol::GetSubID() const { return mSubID; }
uint8_t TqDeviceInfoZelvraProtocol::GetVendorID() const { return mVendorID; }
uint8_t TqDeviceInfoZelvraProtocol::GetSoftwareMajor() const { return mSoftwareMajor; }
uint8_t TqDeviceInfoZelvraProtocol::GetSoftwareMinor() const { return mSoftwareMinor; }

TqDeviceInfoUSB::TqDeviceInfoUSB() : TqDeviceInfo(TqDeviceInfoTypeUSB) {}
TqDeviceInfoUSB::TqDeviceInfoUSB(TqDeviceInfoType aType) : TqDeviceInfo(aType) {}
TqDeviceInfoUSB::~TqDeviceInfoUSB() = default;
TqUSBStatus TqDeviceInfoUSB::GetStatus() const { return mStatus; }

TqDeviceInfoU3V::TqDeviceInfoU3V() : TqDeviceInfoUSB(TqDeviceInfoTypeU3V) {}
TqDeviceInfoU3V::~TqDeviceInfoU3V() = default;
uint32_t TqDeviceInfoU3V::GetGenCPVersion() const { return mGenCPVersion; }
uint32_t TqDeviceInfoU3V::GetU3VVersion() const { return mU3VVersion; }
TqString TqDeviceInfoU3V::GetDeviceGUID() const { return TqString(mGUID.c_str()); }
TqString TqDeviceInfoU3V::GetFamilyName() const { return TqString(mFamily.c_str()); }
TqString TqDeviceInfoU3V::GetU3VSerialNumber() const { return TqString(mU3VSerial.c_str()); }
TqString TqDeviceInfoU3V::GetDevicePath() const { return TqString(mPath.c_str()); }
TqString TqDeviceInfoU3V::GetDeviceKey() const { return TqString(mKey.c_str()); }
TqString TqDeviceInfoU3V::GetSpeedMessage() const { return TqString(mSpeedMessage.c_str()); }
TqString TqDeviceInfoU3V::GetPowerMessage() const { return TqString(mPowerMessage.c_str()); }
bool TqDeviceInfoU3V::IsLowSpeedSupported() const { return mSpeeds[0]; }
bool TqDeviceInfoU3V::IsFullSpeedSupported() const { return mSpeeds[1]; }
bool TqDeviceInfoU3V::IsHighSpeedSupported() const { return mSpeeds[2]; }
bool TqDeviceInfoU3V::IsSuperSpeedSupported() const { return mSpeeds[3]; }
bool TqDeviceInfoU3V::IsCurrentSpeedSupported() const { return mCurrentSpeedSupported; }
TqUSBSpeed TqDeviceInfoU3V::GetSpeed() const { return mSpeed; }
uint32_t TqDeviceInfoU3V::GetMaxPower() const { return mMaxPower; }
uint32_t TqDeviceInfoU3V::GetMaxPacketSize() const { return mMaxPacketSize; }
bool TqDeviceInfoU3V::IsZelvraDriverInstalled() const { return mDriverInstalled; }
bool TqDeviceInfoU3V::IsInitializedCapabilities() const { return mInitializedCapabilities; }
