// TqDevice: connecting over a link (the description read from the device's memory, its node map), the
// communication settings, event routes, and the device's registers and memory through the link.
#include "TqDevice.h"

#include "TqDeviceEngine.h"
#include "TqDeviceEventSink.h"
#include "TqDeviceInfo.h"
#include "TqDeviceLink.h"
#include "TqDeviceRoutes.h"
#include "TqGenXml.h"
#include "TqGvcpClient.h"
#include "TqMadeSet.h"
#include "TqNoMemory.h"
#include "TqPixelLayout.h"
#include "TqResultCodes.h"
#include "TqSimulation.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string_view>

namespace Reg = TqEngine::Reg;
using TqDeviceLib::Link;
using TqDeviceLib::Settings;

namespace {

// The devices CreateAndConnect made, which Free releases.
TqMadeSet<TqDevice>& TheMade() {
    static auto* made = new TqMadeSet<TqDevice>;   // devices may be freed while the process exits
    return *made;
}

// The GigE Vision devices of this process that control a device, by its IP address (host order).
struct Controllers {
    std::mutex lock;
    std::map<uint32_t, TqDeviceGEV*> byIp;
};
Controllers& TheControllers() {
    static Controllers* controllers = new Controllers;
    return *controllers;
}

// The devices alive, by the serial number each got (see TqDeviceCalls.h).
struct Living {
    std::recursive_mutex lock;
    std::map<const TqDevice*, uint64_t> serials;
    uint64_t last = 0;
};
Living& TheLiving() {
    static Living* living = new Living;   // devices may be destroyed while the process exits
    return *living;
}

// The routes of device events to receivers of the SDK, and the link watches by address (see
// TqDeviceRoutes.h). Lock order: the calls' lock before the routes' own.
struct Routes {
    std::mutex lock;
    std::map<std::pair<const TqDevice*, uint16_t>, TqDeviceLib::EventRoute*> byId;
    std::vector<std::pair<uint32_t, TqDeviceLib::LinkWatch*>> watches;
    TqSinkCalls calls;
};
Routes& TheRoutes() {
    static auto* routes = new Routes;   // devices may go while the process exits
    return *routes;
}

void ForgetController(TqDevice* aDevice) {
    Controllers& c = TheControllers();
    std::lock_guard<std::mutex> guard(c.lock);
    for (auto it = c.byIp.begin(); it != c.byIp.end();)
        it = it->second == aDevice ? c.byIp.erase(it) : std::next(it);
}

// The communication settings as registers (4 bytes each, little-endian): answer timeout, command
// retries, heartbeat interval, heartbeat retries, command timeout, description timeout, and
// (read-only) the heartbeat interval in use (0 without a live link). Writing one changes how the
// device talks.
class SettingsPort : public TqGenICamLib::IPort {
public:
    explicit SettingsPort(std::shared_ptr<Settings> aSettings) : mSettings(std::move(aSettings)) {}
    TqResult Read(uint64_t aAddress, void* aData, uint64_t aLength) override {
        uint32_t words[kWords + 1];
        for (int i = 0; i < kWords; ++i) words[i] = Field(i)->load();
        const uint32_t timeout = mSettings->deviceHeartbeat;
        words[kWords] = timeout ? mSettings->HeartbeatInterval(timeout) : 0;
        if (aAddress > sizeof words || aLength > sizeof words - aAddress) return TqResult(TQ_INVALID_PARAMETER);
        std::memcpy(aData, reinterpret_cast<const uint8_t*>(words) + aAddress, aLength);
        return TqResult(TQ_OK);
    }
    TqResult Write(uint64_t aAddress, const void* aData, uint64_t aLength) override {
        if (aAddress % 4 || aLength != 4 || aAddress >= 4 * kWords) return TqResult(TQ_INVALID_PARAMETER);
        uint32_t v;
        std::memcpy(&v, aData, 4);
        Field(static_cast<int>(aAddress / 4))->store(v);
        return TqResult(TQ_OK);
    }

private:
    static constexpr int kWords = 6;   // the writable ones
    std::atomic<uint32_t>* Field(int i) {
        switch (i) {
        case 0: return &mSettings->answerTimeout;
        case 1: return &mSettings->commandRetries;
        case 2: return &mSettings->heartbeatInterval;
        case 3: return &mSettings->heartbeatRetries;
        case 4: return &mSettings->commandTimeout;
        default: return &mSettings->descriptionTimeout;
        }
    }
    std::shared_ptr<Settings> mSettings;
};

// The communication settings as features: each an Integer over its register of the SettingsPort,
// in the port's order; the last one is read-only and never cached.
struct Setting {
    const char* name;
    const char* description;
    bool bounded;
    int64_t min, max;
    bool milliseconds;
};
constexpr Setting kSettings[] = {
    {"AnswerTimeout", "How long a command waits for its acknowledge, in milliseconds.", true, 10, 10000, true},
    {"CommandRetryCount", "How often a command is sent again when no acknowledge comes.", true, 0, 100, false},
    {"HeartbeatInterval",
     "Time between heartbeats in milliseconds; 0, or more than a third of the device's heartbeat timeout, uses a third "
     "of it.",
     true, 0, 60000, true},
    {"HeartbeatMaxRetryCount", "Heartbeats missed in a row before the link counts as lost.", true, 0, 100, false},
    {"CommandTimeout",
     "The longest one command may take in all, in milliseconds: retries and the waits a device asks for with "
     "PENDING_ACK included.",
     true, 10, 600000, true},
    {"DescriptionTimeout",
     "The longest reading the device's description (the first URL and the file it names) may take in all when "
     "connecting, in milliseconds.",
     true, 100, 3600000, true},
    {"HeartbeatIntervalInUse", "The time between heartbeats now, in milliseconds (0 while no link is alive).", false, 0,
     0, true},
};

std::string CommunicationXml() {
    TqGenXml::Description d({"Communication", "Kivo", "The SDK's communication settings", "None",
                             "9c3e0a52-0000-4000-8000-000000000001", "9c3e0a52-0000-4000-8000-000000000002"});
    std::vector<std::string_view> names;
    for (const Setting& s : kSettings) names.push_back(s.name);
    d.Category("Root", "Standard", names);
    for (size_t i = 0; i < std::size(kSettings); ++i) {
        const Setting& s = kSettings[i];
        const std::string reg = std::string(s.name) + "Reg";
        const bool live = i + 1 == std::size(kSettings);
        TqGenXml::Element value = d.Node("Integer", s.name).With("Description", s.description).With("pValue", reg);
        if (s.bounded) value.With("Min", s.min).With("Max", s.max);
        if (s.milliseconds) value.With("Unit", "ms");
        d.Node("IntReg", reg)
            .With(TqGenXml::Place{4 * i, 4, live ? "RO" : "RW", "", live ? "NoCache" : ""})
            .With("Sign", "Unsigned")
            .With("Endianess", "LittleEndian");
    }
    return d.Text();
}

// "Local:<name>;<address>;<length>" (hexadecimal numbers) of the first URL register.
bool ParseLocalUrl(const std::string& aUrl, std::string& aName, uint64_t& aAddress, uint64_t& aLength) {
    std::string lower = aUrl;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.rfind("local:", 0) != 0) return false;
    std::string rest = aUrl.substr(6);
    while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
    size_t a = rest.find(';'), b = a == std::string::npos ? a : rest.find(';', a + 1);
    if (b == std::string::npos) return false;
    aName = rest.substr(0, a);
    try {
        aAddress = std::stoull(rest.substr(a + 1, b - a - 1), nullptr, 16);
        aLength = std::stoull(rest.substr(b + 1), nullptr, 16);
    } catch (...) {
        return false;
    }
    return !aName.empty() && aLength > 0 && aLength <= (64u << 20);
}

// Whether a description's file name names a zip archive: its file part (the name before a query, less
// the blanks that end it) ends in ".zip", in any case.
bool Zipped(const std::string& aName) {
    std::string_view file = std::string_view(aName).substr(0, aName.find('?'));
    while (!file.empty() && std::isspace(static_cast<unsigned char>(file.back()))) file.remove_suffix(1);
    return file.size() >= 4 && std::equal(file.end() - 4, file.end(), ".zip", [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

// Whether the process can be given what reading and loading a description of aLength bytes takes: it
// is held three times over (as read, as its text, as the parser's copy).
TqResult DescriptionAffordable(uint64_t aLength) {
    char what[96];
    std::snprintf(what, sizeof what, "loading the device's description of %llu bytes",
                  static_cast<unsigned long long>(aLength));
    return TqNoMemory::Check(what, 3, aLength);
}

bool IsGuid(const std::string& aText) {
    return aText.size() == 12 && std::all_of(aText.begin(), aText.end(), [](unsigned char c) { return std::isxdigit(c); });
}

}  // namespace

TqDevice::TqDevice(TqDeviceType aType) : mType(aType), mSettings(std::make_shared<Settings>()) {
    mCommunication = std::make_unique<TqGenParameterArray>();
    static const std::string& xml = *new std::string(CommunicationXml());   // kept while the process exits
    mCommunication->Load(xml.data(), xml.size(), std::make_shared<SettingsPort>(mSettings));
    Living& living = TheLiving();
    std::lock_guard<std::recursive_mutex> guard(living.lock);
    living.serials[this] = ++living.last;
}

TqDevice::~TqDevice() {
    {
        Living& living = TheLiving();
        std::lock_guard<std::recursive_mutex> guard(living.lock);   // waits while another thread uses it
        living.serials.erase(this);
    }
    Disconnect();
    TqDeviceLib::RouteLinkGone(this, true);
    TheMade().Forget(this);   // deleted some other way than by Free
}

// ---- event routes ----

TqResult TqDeviceLib::AddEventRoute(TqDevice* aDevice, uint16_t aEventID, EventRoute* aRoute) {
    if (!aDevice || !aRoute) return TqResult(TQ_INVALID_PARAMETER);
    Routes& routes = TheRoutes();
    std::lock_guard<std::mutex> guard(routes.lock);
    if (!routes.byId.emplace(std::make_pair(aDevice, aEventID), aRoute).second)
        return TqResult(TQ_STATE_ERROR, TqString("the device's events of that ID have a receiver already"));
    return TqResult(TQ_OK);
}

void TqDeviceLib::RemoveEventRoutes(EventRoute* aRoute) {
    Routes& routes = TheRoutes();
    routes.calls.Remove(aRoute, [&] {
        std::lock_guard<std::mutex> guard(routes.lock);
        for (auto it = routes.byId.begin(); it != routes.byId.end();)
            it = it->second == aRoute ? routes.byId.erase(it) : std::next(it);
        return TqResult(TQ_OK);
    });
}

bool TqDeviceLib::RouteEvent(TqDevice* aDevice, uint16_t aEventID, const uint8_t* aData, uint32_t aLength) {
    Routes& routes = TheRoutes();
    const auto key = std::make_pair(static_cast<const TqDevice*>(aDevice), aEventID);
    EventRoute* route;
    {
        std::lock_guard<std::mutex> guard(routes.lock);
        auto it = routes.byId.find(key);
        if (it == routes.byId.end()) return false;
        route = it->second;
    }
    routes.calls.Each(
        std::vector<EventRoute*>{route},
        [&](EventRoute* aRoute) {
            std::lock_guard<std::mutex> guard(routes.lock);
            auto it = routes.byId.find(key);
            return it != routes.byId.end() && it->second == aRoute;
        },
        [&](EventRoute* aRoute) { aRoute->OnRoutedEvent(aEventID, aData, aLength); });
    return true;
}

void TqDeviceLib::RouteLinkGone(TqDevice* aDevice, bool aDestroyed) {
    Routes& routes = TheRoutes();
    auto ofDevice = [&](EventRoute* aOnly) {
        std::vector<EventRoute*> found;
        for (const auto& [key, route] : routes.byId)
            if (key.first == aDevice && (!aOnly || route == aOnly) && std::find(found.begin(), found.end(), route) == found.end())
                found.push_back(route);
        return found;
    };
    std::vector<EventRoute*> receivers;
    {
        std::lock_guard<std::mutex> guard(routes.lock);
        receivers = ofDevice(nullptr);
    }
    routes.calls.Each(
        receivers,
        [&](EventRoute* aRoute) {
            std::lock_guard<std::mutex> guard(routes.lock);
            return !ofDevice(aRoute).empty();
        },
        [&](EventRoute* aRoute) { aRoute->OnRoutedLinkGone(aDestroyed); });
    if (!aDestroyed) return;
    std::lock_guard<std::mutex> guard(routes.lock);
    for (auto it = routes.byId.begin(); it != routes.byId.end();)
        it = it->first.first == aDevice ? routes.byId.erase(it) : std::next(it);
}

void TqDeviceLib::AddLinkWatch(uint32_t aIp, LinkWatch* aWatch) {
    Routes& routes = TheRoutes();
    std::lock_guard<std::mutex> guard(routes.lock);
    routes.watches.emplace_back(aIp, aWatch);
}

void TqDeviceLib::RemoveLinkWatch(LinkWatch* aWatch) {
    Routes& routes = TheRoutes();
    routes.calls.Remove(aWatch, [&] {
        std::lock_guard<std::mutex> guard(routes.lock);
        std::erase_if(routes.watches, [&](const auto& aEntry) { return aEntry.second == aWatch; });
        return TqResult(TQ_OK);
    });
}

void TqDeviceLib::WatchedLinkLost(uint32_t aIp) {
    Routes& routes = TheRoutes();
    std::vector<LinkWatch*> watches;
    {
        std::lock_guard<std::mutex> guard(routes.lock);
        for (const auto& [ip, watch] : routes.watches)
            if (ip == aIp) watches.push_back(watch);
    }
    routes.calls.Each(
        watches,
        [&](LinkWatch* aWatch) {
            std::lock_guard<std::mutex> guard(routes.lock);
            const auto entry = std::make_pair(aIp, aWatch);
            return std::find(routes.watches.begin(), routes.watches.end(), entry) != routes.watches.end();
        },
        [](LinkWatch* aWatch) { aWatch->OnWatchedLinkLost(); });
}

uint64_t TqDeviceLib::DeviceSerial(TqDevice* aDevice) {
    Living& living = TheLiving();
    std::lock_guard<std::recursive_mutex> guard(living.lock);
    auto it = living.serials.find(aDevice);
    return it == living.serials.end() ? 0 : it->second;
}

bool TqDeviceLib::WithLiveDevice(TqDevice* aDevice, uint64_t aSerial, const std::function<void()>& aUse) {
    Living& living = TheLiving();
    std::lock_guard<std::recursive_mutex> guard(living.lock);
    auto it = living.serials.find(aDevice);
    if (it == living.serials.end() || it->second != aSerial || aSerial == 0) return false;
    aUse();
    return true;
}


TqDeviceType TqDevice::GetType() const { return mType; }

TqResult TqDevice::ConnectTo(uint32_t aIp, uint32_t aPrivilege) {
    auto link = std::make_shared<Link>(this, mSettings);
    TqResult result = link->Open(aIp, aPrivilege);
    return result.IsOK() ? Attach(std::move(link)) : result;
}

TqResult TqDevice::ConnectDirect(std::shared_ptr<TqEngine::Device> aDevice, uint32_t aPrivilege) {
    auto link = std::make_shared<Link>(this, mSettings);
    TqResult result = link->OpenDirect(std::move(aDevice), aPrivilege);
    return result.IsOK() ? Attach(std::move(link)) : result;
}

std::shared_ptr<Link> TqDevice::CurrentLink() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mLink;
}

// The rest of a connection over an open link; a failure closes the link again.
TqResult TqDevice::Attach(std::shared_ptr<Link> link) {
    TqResult result(TQ_OK);
    std::shared_ptr<Link> lost;
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (mLink && !mLink->Alive())
            lost = std::move(mLink);   // a lost link gives way (its loss was told already)
        else if (mLink)
            result = TqResult(TQ_STATE_ERROR, TqString("already connected"));
    }
    if (lost) lost->Close();
    if (result.IsFailure()) {
        link->Close();
        return result;
    }
    // The description: where the first URL points in device memory, read within the description
    // timeout however slowly the device answers; a file this SDK cannot load is not read at all.
    const uint32_t allowed = mSettings->descriptionTimeout;
    const auto by = std::chrono::steady_clock::now() + std::chrono::milliseconds(allowed);
    const auto late = [&](TqResult aResult) {
        if (aResult.GetCode() != TQ_TIMEOUT || std::chrono::steady_clock::now() < by) return aResult;
        const std::string why = "the device's description was not read within DescriptionTimeout (" +
                                std::to_string(allowed) + " ms)";
        return TqResult(TQ_TIMEOUT, TqString(why.c_str()));
    };
    char url[513] = {};
    result = late(link->Read(Reg::kFirstUrl, url, 512, by));
    std::string name;
    uint64_t address = 0, length = 0;
    if (result.IsOK() && !ParseLocalUrl(url, name, address, length))
        result = TqResult(TQ_GENICAM_XML_ERROR, TqString("the device's first URL names no description in its memory"));
    if (result.IsOK() && Zipped(name))
        result = TqResult(TQ_NOT_SUPPORTED, TqString("zipped descriptions are not supported"));
    if (result.IsOK()) result = DescriptionAffordable(length);
    std::string xml(result.IsOK() ? length : 0, '\0');
    if (result.IsOK()) result = late(link->Read(address, xml.data(), length, by));
    auto parameters = std::make_unique<TqGenParameterArray>();
    std::map<uint16_t, std::vector<std::string>> eventFeatures;
    if (result.IsOK()) {
        size_t end = xml.find('\0');   // the memory may hold padding after the text
        std::string text(xml, 0, end), routed;
        // Event ports are the link's: their registers move into its event window.
        const std::string& load = TqDeviceLib::RouteEventPorts(text, routed, eventFeatures) ? routed : text;
        result = parameters->Load(load.data(), load.size(), std::make_shared<TqDeviceLib::LinkPort>(link));
    }
    if (result.IsOK() && !eventFeatures.empty()) {
        std::map<uint16_t, std::vector<TqGenParameter*>> features;
        for (const auto& [id, names] : eventFeatures) {
            std::vector<TqGenParameter*>& list = features[id];
            for (const std::string& name : names)
                if (TqGenParameter* parameter = parameters->Get(TqString(name.c_str()))) list.push_back(parameter);
        }
        link->SetEventPorts(std::move(features));
    }
    if (result.IsOK()) result = link->StartMessaging();
    if (result.IsFailure()) {
        link->Close();
        return result;
    }
    const uint32_t ip = link->Ip(), privilege = link->Privilege();
    {
        std::lock_guard<std::mutex> guard(mLock);
        mLink = std::move(link);
        if (mParameters) mRetired.push_back(std::move(mParameters));
        mParameters = std::move(parameters);
        mXml = std::move(xml);
        mXmlName = name;
    }
    auto* gev = dynamic_cast<TqDeviceGEV*>(this);
    if (gev && ip && (privilege & (Reg::kCcpControl | Reg::kCcpExclusive))) {
        Controllers& c = TheControllers();
        std::lock_guard<std::mutex> guard(c.lock);
        c.byIp[ip] = gev;
    }
    return TqResult(TQ_OK);
}

bool TqDeviceGEV::WithController(uint32_t aIp, const std::function<void(TqDeviceGEV&)>& aUse) {
    Controllers& c = TheControllers();
    std::lock_guard<std::mutex> guard(c.lock);
    auto it = c.byIp.find(aIp);
    if (it == c.byIp.end()) return false;
    aUse(*it->second);
    return true;
}

TqResult TqDevice::Connect(const TqString& aInfo) { return ConnectText(aInfo, Reg::kCcpControl); }

// Under the allocation guard: an allocation that fails on the way answers NOT_ENOUGH_MEMORY.
TqResult TqDevice::ConnectText(const TqString& aInfo, uint32_t aPrivilege) {
    return TqNoMemory::Guard([&]() -> TqResult {
        std::string text = aInfo.GetAscii() ? aInfo.GetAscii() : "";
        if (text.empty()) return TqResult(TQ_INVALID_PARAMETER, TqString("no device named"));
        if (IsGuid(text)) {
            auto simulated = TqSimulation::Device(text);
            return simulated ? ConnectDirect(std::move(simulated), aPrivilege)
                             : TqResult(TQ_NOT_FOUND, TqString("no USB3 Vision device with that GUID"));
        }
        uint32_t ip = 0;
        if (TqGvcpClient::ParseIp(text, ip)) return ConnectTo(ip, aPrivilege);
        // A MAC address or a DeviceUserID: ask who answers to it.
        struct Match {
            static bool Named(const TqGvcpClient::Answer& a, void* aText) {
                std::string wanted = *static_cast<std::string*>(aText), mac = TqGvcpClient::MacText(a.mac);
                std::transform(wanted.begin(), wanted.end(), wanted.begin(), [](unsigned char c) { return std::tolower(c); });
                return wanted == mac || (!a.userName.empty() && *static_cast<std::string*>(aText) == a.userName);
            }
        };
        auto answers = TqGvcpClient::Discover(TqGvcpClient::LoopbackTargets(), 1500, &Match::Named, &text);
        for (const auto& a : answers)
            if (Match::Named(a, &text)) return ConnectTo(a.ip, aPrivilege);
        return TqResult(TQ_NOT_FOUND, TqString("no device answers to that name"));
    });
}

TqResult TqDevice::Connect(const TqDeviceInfo* aDeviceInfo) { return ConnectRecord(aDeviceInfo, Reg::kCcpControl); }

// Under the allocation guard, as ConnectText.
TqResult TqDevice::ConnectRecord(const TqDeviceInfo* aDeviceInfo, uint32_t aPrivilege) {
    return TqNoMemory::Guard([&]() -> TqResult {
        if (!aDeviceInfo) return TqResult(TQ_INVALID_PARAMETER, TqString("no device information"));
        if (auto* gev = dynamic_cast<const TqDeviceInfoGEV*>(aDeviceInfo)) {
            uint32_t ip = 0;
            if (!TqGvcpClient::ParseIp(gev->GetIPAddress().GetAscii(), ip)) return TqResult(TQ_INVALID_PARAMETER);
            return ConnectTo(ip, aPrivilege);
        }
        if (dynamic_cast<const TqDeviceInfoUSB*>(aDeviceInfo) && !dynamic_cast<const TqDeviceInfoU3V*>(aDeviceInfo))
            return TqResult(TQ_NOT_SUPPORTED, TqString("a plain USB device cannot be connected"));
        auto simulated = TqSimulation::Device(aDeviceInfo->GetConnectionID().GetAscii());
        return simulated ? ConnectDirect(std::move(simulated), aPrivilege) : TqResult(TQ_NOT_FOUND, TqString("the device does not answer"));
    });
}

namespace {
TqDevice* Connected(TqDevice* aDevice, TqResult aResult, TqResult* aOut) {
    return TheMade().Keep(aDevice, aResult, aOut);
}
}  // namespace

TqDevice* TqDevice::CreateAndConnect(const TqDeviceInfo* aDeviceInfo, TqResult* aResult) {
    if (!aDeviceInfo) {
        if (aResult) *aResult = TqResult(TQ_INVALID_PARAMETER, TqString("no device information"));
        return nullptr;
    }
    TqDevice* device;
    if (dynamic_cast<const TqDeviceInfoGEV*>(aDeviceInfo))
        device = new TqDeviceGEV;
    else if (dynamic_cast<const TqDeviceInfoU3V*>(aDeviceInfo))
        device = new TqDeviceU3V;
    else if (dynamic_cast<const TqDeviceInfoZelvraProtocol*>(aDeviceInfo))
        device = new TqDeviceZelvraProtocol;
    else if (dynamic_cast<const TqDeviceInfoUSB*>(aDeviceInfo)) {
        if (aResult) *aResult = TqResult(TQ_NOT_SUPPORTED, TqString("a plain USB device cannot be connected"));
        return nullptr;
    } else
        device = new TqDevice;
    return Connected(device, device->Connect(aDeviceInfo), aResult);
}

TqDevice* TqDevice::CreateAndConnect(const TqString& aInfo, TqResult* aResult) {
    std::string text = aInfo.GetAscii() ? aInfo.GetAscii() : "";
    TqDevice* device = IsGuid(text) ? static_cast<TqDevice*>(new TqDeviceU3V) : new TqDeviceGEV;
    return Connected(device, device->Connect(aInfo), aResult);
}

void TqDevice::Free(TqDevice* aDevice) { TheMade().Free(aDevice); }

TqResult TqDevice::Disconnect() {
    ForgetController(this);   // waits while a stream uses the device
    std::shared_ptr<Link> link;
    {
        std::lock_guard<std::mutex> guard(mLock);
        link = std::move(mLink);
        if (mParameters) mRetired.push_back(std::move(mParameters));   // proxies of it may live on
    }
    if (!link) return TqResult(TQ_NOT_CONNECTED);
    link->Close();
    TqDeviceLib::RouteLinkGone(this, false);
    return TqResult(TQ_OK);
}

bool TqDevice::IsConnected() const {
    std::lock_guard<std::mutex> guard(mLock);
    return mLink && mLink->Alive();
}

bool TqDevice::IsZelvraPowered() const { return false; }

void TqDevice::LinkLost(uint32_t aControlledIp) {
    if (aControlledIp) TqDeviceLib::WatchedLinkLost(aControlledIp);   // streams first: retrieves end at once
    TqDeviceLib::RouteLinkGone(this, false);
    Link::CallSinks(this, [this](TqDeviceEventSink* aSink) { aSink->OnLinkDisconnected(this); });
}

// Streaming locks the transport layer parameters of the channel's device (TLParamsLocked).
TqResult TqDevice::LockStreamParameters(uint32_t aChannel, int64_t aLocked) {
    TqGenParameterArray* parameters = GetParameters();
    std::shared_ptr<Link> link;
    {
        std::lock_guard<std::mutex> guard(mLock);
        link = mLink;
    }
    if (!link || !parameters) return TqResult(TQ_NOT_CONNECTED);
    uint32_t channels = 0;
    TqResult result = link->ReadRegister(Reg::kStreamChannels, channels);
    if (result.IsFailure()) return result;
    if (aChannel >= channels) return TqResult(TQ_INVALID_PARAMETER, TqString("the device has no such stream channel"));
    if (!parameters->GetInteger(TqString("TLParamsLocked"))) return TqResult(TQ_OK);
    return parameters->SetIntegerValue(TqString("TLParamsLocked"), aLocked);
}

TqResult TqDevice::StreamEnable(uint32_t aChannel) { return LockStreamParameters(aChannel, 1); }
TqResult TqDevice::StreamDisable(uint32_t aChannel) { return LockStreamParameters(aChannel, 0); }

TqResult TqDevice::DumpGenICamXML(const TqString& aFilename) {
    std::string xml;
    {
        std::lock_guard<std::mutex> guard(mLock);
        if (mXmlName.empty()) return TqResult(TQ_NOT_CONNECTED);
        xml = mXml;
    }
    const char* path = aFilename.GetAscii();
    std::ofstream out(path ? path : "", std::ios::binary);
    if (!out) return TqResult(TQ_CANNOT_OPEN_FILE, TqString("cannot write the file"));
    out.write(xml.data(), static_cast<std::streamsize>(xml.size()));
    return out ? TqResult(TQ_OK) : TqResult(TQ_FILE_ERROR);
}

TqResult TqDevice::GetDefaultGenICamXMLFilename(TqString& aFilename) {
    std::lock_guard<std::mutex> guard(mLock);
    if (mXmlName.empty()) return TqResult(TQ_NOT_CONNECTED);
    aFilename = TqString(mXmlName.c_str());
    return TqResult(TQ_OK);
}

TqGenParameterArray* TqDevice::GetParameters() {
    std::lock_guard<std::mutex> guard(mLock);
    return mParameters.get();
}

TqGenParameterArray* TqDevice::GetCommunicationParameters() { return mCommunication.get(); }

TqResult TqDevice::ReadMemory(int64_t aAddress, uint8_t* aDestination, int64_t aByteCount) {
    std::shared_ptr<Link> link;
    {
        std::lock_guard<std::mutex> guard(mLock);
        link = mLink;
    }
    if (!link) return TqResult(TQ_NOT_CONNECTED);
    if (aAddress < 0 || aByteCount <= 0 || aAddress % 4 || aByteCount % 4 || !aDestination)
        return TqResult(TQ_INVALID_PARAMETER, TqString("address and count are multiples of 4, the count not 0"));
    return link->Read(static_cast<uint64_t>(aAddress), aDestination, static_cast<uint64_t>(aByteCount));
}

TqResult TqDevice::WriteMemory(int64_t aAddress, const uint8_t* aSource, int64_t aByteCount) {
    std::shared_ptr<Link> link;
    {
        std::lock_guard<std::mutex> guard(mLock);
        link = mLink;
    }
    if (!link) return TqResult(TQ_NOT_CONNECTED);
    if (aAddress < 0 || aByteCount <= 0 || aAddress % 4 || aByteCount % 4 || !aSource)
        return TqResult(TQ_INVALID_PARAMETER, TqString("address and count are multiples of 4, the count not 0"));
    return link->Write(static_cast<uint64_t>(aAddress), aSource, static_cast<uint64_t>(aByteCount));
}

TqResult TqDevice::WaitForMessagingChannelIdle(uint32_t aTimeout) {
    std::shared_ptr<Link> link;
    {
        std::lock_guard<std::mutex> guard(mLock);
        link = mLink;
    }
    if (!link) return TqResult(TQ_NOT_CONNECTED);
    return link->WaitIdle(aTimeout) ? TqResult(TQ_OK) : TqResult(TQ_TIMEOUT);
}

TqResult TqDevice::RegisterEventSink(TqDeviceEventSink* aEventSink) { return mSinks.Add(aEventSink); }
// A call of the sink under way on another thread is waited for; one on this thread (the sink
// unregistering from inside its callback) is not.
TqResult TqDevice::UnregisterEventSink(TqDeviceEventSink* aEventSink) {
    return mSinks.Remove(aEventSink);
}

namespace {
TqResult SetPriority(std::atomic<uint32_t>& aField, uint32_t aPriority) {
    if (aPriority > 99) return TqResult(TQ_INVALID_PARAMETER, TqString("priorities go from 0 to 99"));
    aField = aPriority;
    return TqResult(TQ_OK);
}
}  // namespace

uint32_t TqDevice::GetHeartbeatThreadPriority() const { return mPriorities[0]; }
TqResult TqDevice::SetHeartbeatThreadPriority(uint32_t aPriority) { return SetPriority(mPriorities[0], aPriority); }
uint32_t TqDevice::GetInterruptLinkThreadPriority() const { return mPriorities[1]; }
TqResult TqDevice::SetInterruptLinkThreadPriority(uint32_t aPriority) { return SetPriority(mPriorities[1], aPriority); }
uint32_t TqDevice::GetInterruptQueueThreadPriority() const { return mPriorities[2]; }
TqResult TqDevice::SetInterruptQueueThreadPriority(uint32_t aPriority) { return SetPriority(mPriorities[2], aPriority); }

uint32_t TqDevice::GetPayloadSize() {
    TqGenParameterArray* parameters = IsConnected() ? GetParameters() : nullptr;
    if (!parameters) return 0;
    int64_t size = 0;
    if (parameters->GetIntegerValue(TqString("PayloadSize"), size).IsOK() && size > 0)
        return static_cast<uint32_t>(size);
    // From the image format when the device has no readable PayloadSize.
    int64_t width = 0, height = 0, format = 0;
    parameters->GetIntegerValue(TqString("Width"), width);
    parameters->GetIntegerValue(TqString("Height"), height);
    parameters->GetEnumValue(TqString("PixelFormat"), format);
    const int64_t bits = TqPixel::BitsPerPixel(static_cast<uint32_t>(format));
    return static_cast<uint32_t>(std::max<int64_t>(width * height * (bits ? bits : 8) / 8, 0));
}

TqResult TqDevice::GetUniqueID(TqString& aID) {
    std::lock_guard<std::mutex> guard(mLock);
    if (!mLink) return TqResult(TQ_NOT_CONNECTED);
    const char* scheme = mType == TqDeviceTypeGEV ? "gev:" : mType == TqDeviceTypeU3V ? "u3v:" : "dev:";
    aID = TqString((scheme + TqGvcpClient::MacText(mLink->Mac())).c_str());
    return TqResult(TQ_OK);
}

TqDevice* TqDevice::CreateSimulated(std::unique_ptr<TqGenParameterArray> aParameters) {
    auto* device = new TqDevice;
    device->mParameters = std::move(aParameters);
    return device;
}
