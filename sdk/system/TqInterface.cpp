#include "TqInterface.h"

#include "TqDeviceInfo.h"

TqInterface::TqInterface(TqInterfaceType aType) : mType(aType) {}

TqInterface::TqInterface(const TqInterface& aOther)
    : mType(aOther.mType),
      mName(aOther.mName),
      mDisplayID(aOther.mDisplayID),
      mUniqueID(aOther.mUniqueID),
      mCompareID(aOther.mCompareID),
      mDriverVersion(aOther.mDriverVersion),
      mCounter(aOther.mCounter) {
    for (const auto& device : aOther.mDevices) {
        mDevices.emplace_back(device->Copy());
        mDevices.back()->mInterface = this;
    }
}

TqInterface::~TqInterface() = default;

TqInterface* TqInterface::Copy() const {
    if (auto* p = dynamic_cast<const TqNetworkAdapter*>(this)) return new TqNetworkAdapter(*p);
    if (auto* p = dynamic_cast<const TqUSBHostController*>(this)) return new TqUSBHostController(*p);
    return new TqInterface(*this);
}

TqInterfaceType TqInterface::GetType() const { return mType; }
TqString TqInterface::GetName() const { return TqString(mName.c_str()); }
TqString TqInterface::GetDisplayID() const { return TqString(mDisplayID.c_str()); }
TqString TqInterface::GetUniqueID() const { return TqString(mUniqueID.c_str()); }
TqString TqInterface::GetCompareID() const { return TqString(mCompareID.c_str()); }
uint32_t TqInterface::GetDeviceCount() const { return static_cast<uint32_t>(mDevices.size()); }

const TqDeviceInfo* TqInterface::GetDeviceInfo(uint32_t aIndex) const {
    TqCallLog::Note("TqInterface::GetDeviceInfo", std::to_string(aIndex));
    return aIndex < mDevices.size() ? mDevices[aIndex].get() : nullptr;
}

bool TqInterface::Compare(const TqInterface* a1, const TqInterface* a2) {
    if (!a1 || !a2) return a1 == nullptr && a2 != nullptr;
    return a1->mCompareID < a2->mCompareID;
}

TqString TqInterface::GetZelvraDriverVersion() const { return TqString(mDriverVersion.c_str()); }

TqNetworkAdapter::TqNetworkAdapter() : TqInterface(TqInterfaceTypeNetworkAdapter) {}
TqNetworkAdapter::~TqNetworkAdapter() = default;
TqString TqNetworkAdapter::GetMACAddress() const { return TqString(mMAC.c_str()); }
TqString TqNetworkAdapter::GetDescription() const { return TqString(mDescription.c_str()); }
uint32_t TqNetworkAdapter::GetIPAddressCount() const { return static_cast<uint32_t>(mAddresses.size()); }
TqString TqNetworkAdapter::GetIPAddress(uint32_t aIndex) const {
    TqCallLog::Note("TqNetworkAdapter::GetIPAddress", std::to_string(aIndex));
    return TqString(aIndex < mAddresses.size() ? mAddresses[aIndex].first.c_str() : "");
}
TqString TqNetworkAdapter::GetSubnetMask(uint32_t aIndex) const {
    TqCallLog::Note("TqNetworkAdapter::GetSubnetMask", std::to_string(aIndex));
    return TqString(aIndex < mAddresses.size() ? mAddresses[aIndex].second.c_str() : "");
}
TqString TqNetworkAdapter::GetDefaultGateway() const { return TqString(mGateway.c_str()); }
bool TqNetworkAdapter::IsZelvraDriverInstalled() const { return mDriverInstalled; }

TqUSBHostController::TqUSBHostController() : TqInterface(TqInterfaceTypeUSBHostController) {}
TqUSBHostController::~TqUSBHostController() = default;
uint32_t TqUSBHostController::GetVendorID() const { return mVendorID; }
uint32_t TqUSBHostController::GetDeviceID() const { return mDeviceID; }
uint32_t TqUSBHostController::GetSubsystemID() const { return mSubsystemID; }
uint32_t TqUSBHostController::GetRevision() const { return mRevision; }
TqUSBSpeed TqUSBHostController::GetSpeed() const { return mSpeed; }
