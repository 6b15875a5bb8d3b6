#include "TqSystem.h"

#include "TqDeviceInfo.h"
#include "TqGvcpClient.h"
#include "TqInterface.h"
#include "TqResultCodes.h"
#include "TqSap.h"
#include "TqSessionInfo.h"
#include "TqSimulation.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace {

std::string Lower(std::string aText) {
    std::transform(aText.begin(), aText.end(), aText.begin(), [](unsigned char c) { return std::tolower(c); });
    return aText;
}

// Whether a text names the device: its MAC address (any case), IP address or DeviceUserID.
bool Names(const std::string& aWanted, const std::string& aMac, const std::string& aIp, const std::string& aUser) {
    return Lower(aWanted) == Lower(aMac) || aWanted == aIp || (!aUser.empty() && aWanted == aUser);
}

bool Matches(const TqDeviceInfo* aInfo, const std::string& aWanted) {
    std::string mac, ip;
    if (auto* gev = dynamic_cast<const TqDeviceInfoGEV*>(aInfo)) {
        mac = gev->GetMACAddress().GetAscii();
        ip = gev->GetIPAddress().GetAscii();
    } else if (auto* zp = dynamic_cast<const TqDeviceInfoZelvraProtocol*>(aInfo)) {
        mac = zp->GetMACAddress().GetAscii();
        ip = zp->GetIPAddress().GetAscii();
    }
    return Names(aWanted, mac, ip, aInfo->GetUserDefinedName().GetAscii());
}

// The sessions each system heard announced (DiscoverSessions), kept beside it for its lifetime.
std::mutex& SessionsLock() {
    static std::mutex lock;
    return lock;
}
std::map<const TqSystem*, std::vector<TqSap::Session>>& AllSessions() {
    static auto* all = new std::map<const TqSystem*, std::vector<TqSap::Session>>;   // systems may outlive exit
    return *all;
}

}  // namespace

TqSystemEventSink::~TqSystemEventSink() = default;

TqSystem::TqSystem() = default;
TqSystem::~TqSystem() {
    std::lock_guard<std::mutex> guard(SessionsLock());
    AllSessions().erase(this);
}

void TqSystem::Discover(const std::string* aWanted, const TqDeviceInfo** aMatch) {
    uint32_t timeout;
    {
        std::lock_guard<std::mutex> guard(mLock);
        timeout = mTimeout;
    }
    // The host's interfaces as they are now, each with its own copies of its records.
    std::vector<std::unique_ptr<TqInterface>> interfaces;
    for (TqInterface* i : TqSimulation::Interfaces()) interfaces.emplace_back(i->Copy());

    // GigE Vision devices answer on loopback; a wanted device ends the wait as soon as it answers.
    struct Stop {
        static bool Match(const TqGvcpClient::Answer& a, void* aContext) {
            auto* wanted = static_cast<const std::string*>(aContext);
            return Names(*wanted, TqGvcpClient::MacText(a.mac), TqGvcpClient::IpText(a.ip), a.userName);
        }
    };
    auto answers = TqGvcpClient::Discover(TqGvcpClient::LoopbackTargets(), timeout,
                                          aWanted ? &Stop::Match : nullptr, const_cast<std::string*>(aWanted));
    TqInterface* lo = interfaces.front().get();
    for (const auto& a : answers) {
        auto record = std::make_unique<TqDeviceInfoGEV>();
        std::string mac = TqGvcpClient::MacText(a.mac), ip = TqGvcpClient::IpText(a.ip);
        record->mVendor = a.manufacturer;
        record->mModel = a.model;
        record->mVersion = a.version;
        record->mManufacturerInfo = a.manufacturerInfo;
        record->mSerial = a.serial;
        record->mUserName = a.userName;
        record->mDisplayID = a.manufacturer + " " + a.model + " (" + ip + ")";
        record->mUniqueID = "gev:" + mac;
        record->mConnectionID = ip;
        record->mConfigurationValid = (a.ip >> 24) == 127;
        // The device class (bits 30-28 of the device mode) counts from transmitter = 0.
        record->mClass = static_cast<TqDeviceClass>(std::min<uint32_t>(((a.deviceMode >> 28) & 0x7) + 1, 4));
        record->mMAC = mac;
        record->mIP = ip;
        record->mMask = TqGvcpClient::IpText(a.mask);
        record->mGateway = TqGvcpClient::IpText(a.gateway);
        record->mGEVVersion = (static_cast<uint32_t>(a.versionMajor) << 16) | a.versionMinor;
        // Options: bit 31 PR, 30 PG, 2 LLA, 1 DHCP, 0 persistent.
        const uint32_t bits[5] = {1u << 2, 1u << 1, 1u << 0, 1u << 31, 1u << 30};
        for (int k = 0; k < 5; ++k) {
            record->mAvailable[k] = (a.ipOptions & bits[k]) != 0;
            record->mEnabled[k] = (a.ipCurrent & bits[k]) != 0;
        }
        record->mInterface = lo;
        lo->mDevices.push_back(std::move(record));
    }

    std::vector<TqSystemEventSink*> sinks;
    const TqDeviceInfo* match = nullptr;
    for (auto& i : interfaces)
        for (auto& d : i->mDevices)
            if (aWanted && !match && Matches(d.get(), *aWanted)) match = d.get();
    {
        std::lock_guard<std::mutex> guard(mLock);
        for (auto& i : mInterfaces) mRetired.push_back(std::move(i));
        mInterfaces = std::move(interfaces);
    }
    sinks = mSinks.Snapshot();
    for (auto& i : mInterfaces)
        for (auto& d : i->mDevices)
            for (TqSystemEventSink* sink : sinks) {
                try {
                    sink->OnDeviceFound(i.get(), d.get());
                } catch (...) {
                }
            }
    if (aMatch) *aMatch = match;
}

TqResult TqSystem::Find() {
    Discover(nullptr, nullptr);
    return TqResult(TQ_OK);
}

TqResult TqSystem::FindDevice(const TqString& aDeviceToFind, const TqDeviceInfo** aDeviceInfo) {
    std::string wanted = aDeviceToFind.GetAscii() ? aDeviceToFind.GetAscii() : "";
    if (wanted.empty()) return TqResult(TQ_INVALID_PARAMETER, TqString("no device named"));
    const TqDeviceInfo* match = nullptr;
    Discover(&wanted, &match);
    if (aDeviceInfo) *aDeviceInfo = match;   // a null pointer: the record stays in the lists only
    return match ? TqResult(TQ_OK) : TqResult(TQ_NOT_FOUND, TqString("no such device answered"));
}

void TqSystem::SetDetectionTimeout(uint32_t aTimeout) {
    TqCallLog::Note("TqSystem::SetDetectionTimeout", std::to_string(aTimeout));
    std::lock_guard<std::mutex> guard(mLock);
    mTimeout = std::clamp<uint32_t>(aTimeout, 100, 60000);
}
uint32_t TqSystem::GetDetectionTimeout() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mTimeout;
}
void TqSystem::SetSubnetBroadcastEnabled(bool aValue) {
    std::lock_guard<std::mutex> guard(mLock);
    mSubnetBroadcast = aValue;   // on loopback both settings use the same broadcast address
}
bool TqSystem::GetSubnetBroadcastEnabled() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mSubnetBroadcast;
}
uint32_t TqSystem::GetGEVSupportedVersion() const { return (2u << 16) | 2u; }
uint32_t TqSystem::GetU3VSupportedVersion() const { return (1u << 16) | 2u; }

TqResult TqSystem::RegisterEventSink(TqSystemEventSink* aEventSink) { return mSinks.Add(aEventSink); }
TqResult TqSystem::UnregisterEventSink(TqSystemEventSink* aEventSink) { return mSinks.Remove(aEventSink); }

uint32_t TqSystem::GetInterfaceCount() const {
    std::lock_guard<std::mutex> guard(mLock);
    return static_cast<uint32_t>(mInterfaces.size());
}

const TqInterface* TqSystem::GetInterface(uint32_t aIndex) const {
    std::lock_guard<std::mutex> guard(mLock);
    return aIndex < mInterfaces.size() ? mInterfaces[aIndex].get() : nullptr;
}

uint32_t TqSystem::GetDeviceCount() const {
    std::lock_guard<std::mutex> guard(mLock);
    size_t n = 0;
    for (auto& i : mInterfaces) n += i->mDevices.size();
    return static_cast<uint32_t>(n);
}

const TqDeviceInfo* TqSystem::GetDeviceInfo(uint32_t aIndex) const {
    TqCallLog::Note("TqSystem::GetDeviceInfo", std::to_string(aIndex));
    std::lock_guard<std::mutex> guard(mLock);
    for (auto& i : mInterfaces) {
        if (aIndex < i->mDevices.size()) return i->mDevices[aIndex].get();
        aIndex -= static_cast<uint32_t>(i->mDevices.size());
    }
    return nullptr;
}

uint32_t TqSystem::DiscoverSessions() {
    TqSap::Listen(GetDetectionTimeout(), [this](const TqSap::Announcement& aAnnouncement, const std::string& aLocal) {
        std::lock_guard<std::mutex> guard(SessionsLock());
        TqSap::Apply(AllSessions()[this], aAnnouncement, aLocal);
    });
    std::lock_guard<std::mutex> guard(SessionsLock());
    auto it = AllSessions().find(this);
    return it == AllSessions().end() ? 0 : static_cast<uint32_t>(it->second.size());
}

TqResult TqSystem::GetSessionInfo(uint32_t aIndex, TqSessionInfo& aInfo) const {
    std::lock_guard<std::mutex> guard(SessionsLock());
    auto it = AllSessions().find(this);
    if (it == AllSessions().end() || aIndex >= it->second.size())
        return TqResult(TQ_NOT_FOUND, TqString("no such session"));
    const TqSap::Session& s = it->second[aIndex];
    aInfo.mName = TqString(s.name.c_str());
    aInfo.mAddress = TqString(s.address.c_str());
    aInfo.mPort = s.port;
    aInfo.mLocalAddress = TqString(s.local.c_str());
    return TqResult(TQ_OK);
}
