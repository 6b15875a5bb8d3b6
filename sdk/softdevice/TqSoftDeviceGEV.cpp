// The software GigE Vision device: the SDK's face on an engine device (TqDeviceEngine.h).
//
// Start runs the sequence below on the calling thread; a start makes a fresh engine device, so a
// stopped device starts again as a new one (its identity and XML header from their defaults, its
// own MAC address kept). The engine device serves the bootstrap and image format registers, the
// GenICam description, discovery, the control privilege and the messaging channel; the device
// serves the payload size of its streams (a register handler), feeds its channels from their sources
// (frame providers, TqSoftDeviceStreaming.cpp) and tells its sinks what the engine reports (an observer).
#include "TqSoftDeviceImpl.h"

#include "TqSoftDeviceAccess.h"

#include "TqBuffer.h"
#include "TqChunkCodec.h"
#include "TqImage.h"
#include "TqInterface.h"
#include "TqNoMemory.h"
#include "TqSimulation.h"
#include "TqText.h"
#include "TqWireBytes.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include <unistd.h>

using TqSoftDevice::Core;
using TqSoftDevice::Run;
using TqSoftDevice::State;

namespace TqSoftDevice {

// ---------------------------------------------------------------------------------------------
// Callback scopes and the gate.

namespace {

// (Aligned as the runtime's thread-locals are, for the leak checker: see runtime/director.cpp.)
alignas(32) thread_local std::vector<const void*> tScopes;   // the devices whose callbacks this thread is inside
thread_local std::vector<const Gate*> tGates;    // the gates this thread entered

}  // namespace

CallbackScope::CallbackScope(const void* aDevice) { tScopes.push_back(aDevice); }

CallbackScope::~CallbackScope() { tScopes.pop_back(); }

bool CallbackScope::Inside(const void* aDevice) {
    return std::find(tScopes.begin(), tScopes.end(), aDevice) != tScopes.end();
}

bool Gate::Enter(const std::function<void(Core&)>& aCall) {
    Core* device;
    {
        std::lock_guard guard(mLock);
        if (!mDevice) return false;
        device = mDevice;
        ++mCalls;
    }
    tGates.push_back(this);
    {
        CallbackScope scope(device);
        try {
            aCall(*device);   // the device may be gone once it returns (destroyed by the callback)
        } catch (...) {
        }
    }
    tGates.pop_back();
    {
        std::lock_guard guard(mLock);
        --mCalls;
    }
    mIdle.notify_all();
    return true;
}

void Gate::Close() {
    const int mine = int(std::count(tGates.begin(), tGates.end(), this));
    std::unique_lock guard(mLock);
    mDevice = nullptr;
    mIdle.wait(guard, [&] { return mCalls <= mine; });
}

bool Guarded(const void* aDevice, const std::string& aWhat, const std::function<void()>& aCall,
             std::string& aFailure) {
    CallbackScope scope(aDevice);
    try {
        aCall();
        return true;
    } catch (const std::exception& e) {
        aFailure = aWhat + " failed: " + e.what();
    } catch (...) {
        aFailure = aWhat + " failed with an exception";
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// The devices of the process (for EngineOf), and the work left when a device goes inside one of its
// own callbacks.

namespace {

std::mutex& RegistryLock() {
    static auto* lock = new std::mutex;   // never destroyed: devices may go while the process exits
    return *lock;
}

std::map<const void*, Core*>& Registry() {
    static auto* devices = new std::map<const void*, Core*>;
    return *devices;
}

// Runs jobs on a thread of its own: the stop of an engine device whose own thread destroyed its
// software device (a thread cannot join itself). The reaper is never destroyed, so neither is its
// thread, whatever the process's exit finds it doing.
class Reaper {
public:
    static void Later(std::function<void()> aJob) {
        static auto* reaper = new Reaper;
        reaper->Add(std::move(aJob));
    }

private:
    void Add(std::function<void()> aJob) {
        std::lock_guard guard(mLock);
        mJobs.push_back(std::move(aJob));
        if (!mThread.joinable()) mThread = std::thread([this] { Work(); });
        mWake.notify_one();
    }
    void Work() {
        std::unique_lock guard(mLock);
        for (;;) {
            mWake.wait(guard, [&] { return !mJobs.empty(); });
            std::function<void()> job = std::move(mJobs.front());
            mJobs.pop_front();
            guard.unlock();
            job();
            guard.lock();
        }
    }
    std::mutex mLock;
    std::condition_variable mWake;
    std::deque<std::function<void()>> mJobs;
    std::thread mThread;
};

}  // namespace

std::shared_ptr<TqEngine::Device> EngineOf(const void* aDevice) {
    std::lock_guard guard(RegistryLock());
    const auto it = Registry().find(aDevice);
    return it == Registry().end() ? nullptr : it->second->Engine();
}

bool FailNextStop(const void* aDevice, const std::string& aWhat) {
    std::lock_guard guard(RegistryLock());
    const auto it = Registry().find(aDevice);
    if (it == Registry().end()) return false;
    std::lock_guard device(it->second->lock);
    it->second->failStop = aWhat;
    return true;
}

TqResult PersistRegisters(const void* aDevice, bool aLoad, StoredValues& aValues, std::vector<std::string>& aHandled) {
    Core* device = nullptr;
    {
        std::lock_guard guard(RegistryLock());
        const auto it = Registry().find(aDevice);
        if (it != Registry().end()) device = it->second;
    }
    if (!device) return TqResult(TQ_INVALID_PARAMETER, TqString("no software device lives there"));
    return device->registers.Persist(aLoad, aValues, aHandled);   // the sinks run with no lock held
}

namespace {

// ---------------------------------------------------------------------------------------------
// Texts and checks.

using TqText::Utf8;

TqResult Failed(uint32_t aCode, const std::string& aWhy) { return TqResult(aCode, TqString(aWhy.c_str())); }

// The device's own MAC address: locally administered, one per device of the process.
std::array<uint8_t, 6> NewMac() {
    static std::atomic<uint32_t> next{1};
    const uint32_t n = next++;
    return {0x02, 0x4B, 0x53, uint8_t(getpid()), uint8_t(n >> 8), uint8_t(n)};
}

// Six pairs of hexadecimal digits (any case) joined by ':', '-' or '.', the same throughout.
bool ParseMac(const std::string& aText, std::array<uint8_t, 6>& aMac) {
    if (aText.size() != 17) return false;
    const char separator = aText[2];
    if (separator != ':' && separator != '-' && separator != '.') return false;
    for (size_t n = 0; n < 6; ++n) {
        const char high = aText[3 * n], low = aText[3 * n + 1];
        if (!std::isxdigit(static_cast<unsigned char>(high)) || !std::isxdigit(static_cast<unsigned char>(low)))
            return false;
        if (n < 5 && aText[3 * n + 2] != separator) return false;
        aMac[n] = uint8_t(std::stoul(std::string{high, low}, nullptr, 16));
    }
    return true;
}

// The interface a device is started on, as the host model shows it.
struct Adapter {
    std::string mac, mask, gateway;
};

TqResult FindAdapter(const std::string& aText, Adapter& aAdapter) {
    std::array<uint8_t, 6> wanted{}, mac{};
    if (!ParseMac(aText, wanted))
        return Failed(TQ_INVALID_PARAMETER, "not a MAC address (xx:xx:xx:xx:xx:xx, xx-xx-xx-xx-xx-xx or "
                                             "xx.xx.xx.xx.xx.xx): '" + aText + "'");
    for (TqInterface* interface : TqSimulation::Interfaces()) {
        const auto* adapter = dynamic_cast<const TqNetworkAdapter*>(interface);
        if (!adapter || !ParseMac(Utf8(adapter->GetMACAddress()), mac) || mac != wanted) continue;
        const std::string name = Utf8(adapter->GetName());
        if (name != "lo")
            return Failed(TQ_INVALID_PARAMETER, "a software device is served on the loopback interface 'lo' only, not "
                                                "on '" + name + "' (" + aText + ")");
        aAdapter = {Utf8(adapter->GetMACAddress()), Utf8(adapter->GetSubnetMask(0)),
                    Utf8(adapter->GetDefaultGateway())};
        return TqResult(TQ_OK);
    }
    return Failed(TQ_INVALID_PARAMETER, "no network interface has the MAC address " + aText);
}

// A PixelFormat entry's name: the pixel type's own when it is a valid GenICam name, else one made
// of its value.
std::string EntryName(TqPixelType aType) {
    const std::string name = Utf8(TqImage::PixelTypeToString(aType));
    const bool valid = !name.empty() && std::isalpha(static_cast<unsigned char>(name[0])) &&
                       std::all_of(name.begin(), name.end(),
                                   [](unsigned char c) { return std::isalnum(c) || c == '_'; });
    if (valid) return name;
    char made[24];
    std::snprintf(made, sizeof made, "PixelFormat_%08X", static_cast<uint32_t>(aType));
    return made;
}

std::string Numbered(const char* aWhat, size_t aIndex) { return std::string(aWhat) + " " + std::to_string(aIndex); }

constexpr int kMaxListed = 256;        // pixel types and chunks a source may list
constexpr size_t kMaxBuffers = 64;     // buffers a source may give
constexpr uint32_t kMaxImageSide = 16384;
constexpr uint16_t kGvcpPort = TqEngine::Gvcp::kPort;
// The payload size registers the device serves (one per channel), outside the engine's memory.
constexpr uint32_t kPayloadSizeBase = 0x32000000;

// ---------------------------------------------------------------------------------------------
// The engine's side: what it calls while the device runs, each through the device's gate.

// Tells the sinks what the engine reports, one sink at a time while the device lives.
class Notifications final : public TqEngine::Observer {
public:
    explicit Notifications(std::shared_ptr<TqSoftDevice::Gate> aGate) : mGate(std::move(aGate)) {}

    void SessionOpened(const TqEngine::Peer& aController, uint32_t aPrivilege) override {
        const TqString address(TqEngine::FormatAddress(aController.address).c_str());
        const TqAccessType access = (aPrivilege & TqEngine::Reg::kCcpExclusive) ? TqAccessExclusive : TqAccessControl;
        Tell([&](ITqSoftDeviceGEVEventSink& aSink, ITqSoftDeviceGEV* aDevice) {
            aSink.OnApplicationConnect(aDevice, address, aController.port, access);
        });
    }
    void SessionClosed(const TqEngine::Peer&, bool) override {
        mGate->Enter([](Core& d) { SourcesSessionEnded(d); });
        Tell([](ITqSoftDeviceGEVEventSink& aSink, ITqSoftDeviceGEV* aDevice) { aSink.OnApplicationDisconnect(aDevice); });
    }
    void AddressForced(uint32_t, uint32_t, uint32_t) override {
        Tell([](ITqSoftDeviceGEVEventSink& aSink, ITqSoftDeviceGEV* aDevice) { aSink.OnDeviceResetNetwork(aDevice); });
    }
    void DeviceReset() override {
        mGate->Enter([](Core& d) {
            if (const std::shared_ptr<Run> run = d.CurrentRun()) ResetUserSets(*run);
        });
        Tell([](ITqSoftDeviceGEVEventSink& aSink, ITqSoftDeviceGEV* aDevice) { aSink.OnDeviceResetFull(aDevice); });
    }

private:
    void Tell(const std::function<void(ITqSoftDeviceGEVEventSink&, ITqSoftDeviceGEV*)>& aNotify) {
        std::vector<ITqSoftDeviceGEVEventSink*> sinks;
        if (!mGate->Enter([&](Core& d) { sinks = d.sinks.Snapshot(); })) return;
        for (ITqSoftDeviceGEVEventSink* sink : sinks)   // a sink may destroy the device: the gate closes
            if (!mGate->Enter([&](Core& d) {
                    d.EachSink({sink}, [&](ITqSoftDeviceGEVEventSink* aSink, size_t) {
                        aNotify(*aSink, &d.self);
                        return true;
                    });
                }))
                return;
    }
    std::shared_ptr<TqSoftDevice::Gate> mGate;
};

// The PayloadSize register of each channel: the source's payload size, or its image's size with its
// chunk data.
class PayloadSizes final : public TqEngine::RegisterHandler {
public:
    explicit PayloadSizes(std::shared_ptr<TqSoftDevice::Gate> aGate) : mGate(std::move(aGate)) {}

    uint16_t Read(uint32_t aAddress, uint8_t* aData, size_t aSize, const TqEngine::Peer&) override {
        uint16_t status = TqEngine::Gvcp::kError;
        mGate->Enter([&](Core& d) {
            const std::shared_ptr<Run> run = d.CurrentRun();
            if (!run) return;
            for (size_t at = 0; at < aSize; at += 4) {
                const uint32_t channel = (aAddress + uint32_t(at) - kPayloadSizeBase) / 4;
                uint32_t value = 0;
                if (channel >= run->sources.size() || !PayloadSize(d, *run, channel, value)) return;
                TqWire::Put32(aData + at, value);
            }
            status = TqEngine::Gvcp::kSuccess;
        });
        return status;
    }
    uint16_t Write(uint32_t, const uint8_t*, size_t, const TqEngine::Peer&) override {
        return TqEngine::Gvcp::kWriteProtect;
    }

private:
    static bool PayloadSize(const Core& d, const Run& aRun, uint32_t aChannel, uint32_t& aValue) {
        ITqStreamingChannelSource* source = aRun.sources[aChannel];
        uint32_t fixed = 0, chunks = 0;
        std::string failure;
        if (!Guarded(&d, "", [&] {
                fixed = source->GetPayloadSize();
                // In chunk mode a block is one chunk layout: the image, its chunk trailer, then the
                // source's chunks.
                if (!fixed && source->GetChunkModeActive())
                    chunks = source->GetChunksSize() + uint32_t(TqChunk::kTrailerSize);
            }, failure))
            return false;
        if (fixed) {
            aValue = fixed;
            return true;
        }
        using namespace TqEngine;
        FrameLayout layout;
        for (auto [reg, field] : {std::pair{Reg::kWidth, &layout.width}, std::pair{Reg::kHeight, &layout.height},
                                  std::pair{Reg::kPixelFormat, &layout.pixelFormat}})
            if (aRun.device->ReadRegister(Reg::Format(aChannel, reg), *field) != Gvcp::kSuccess) return false;
        aValue = uint32_t(std::min<uint64_t>(ImageBytes(layout) + chunks, UINT32_MAX));
        return true;
    }
    std::shared_ptr<TqSoftDevice::Gate> mGate;
};

// ---------------------------------------------------------------------------------------------
// The end of a start: what Stop undoes, and what a failed Start undoes of what it made.

// Gives every buffer back to its source, once each.
void FreeBuffers(const void* aDevice, Run& aRun) {
    for (size_t n = 0; n < aRun.buffers.size(); ++n) {
        for (TqBuffer* buffer : aRun.buffers[n]) {
            std::string ignored;
            Guarded(aDevice, "", [&] { aRun.sources[n]->FreeBuffer(buffer); }, ignored);
        }
        aRun.buffers[n].clear();
    }
}

// The engine device stops (its threads joined), nothing of it reaches the device any more, the
// registers keep their bytes without it, the sinks told of the start are told of the stop, and the
// buffers go back.
void Finish(Core& d, Run& aRun) {
    if (aRun.device) {
        aRun.device->Stop();
        aRun.device->SetObserver(nullptr);
        for (uint32_t n = 0; n < aRun.sources.size(); ++n) aRun.device->SetFrameProvider(n, nullptr);
    }
    CloseSources(d, aRun);
    aRun.gate->Close();
    if (aRun.registers) aRun.registers->Park();
    d.EachSink(aRun.told, [&](ITqSoftDeviceGEVEventSink* aSink, size_t) {
        std::string ignored;
        Guarded(&d, "", [&] { aSink->OnControlChannelStop(&d.self); }, ignored);
        return true;
    });
    aRun.told.clear();
    FreeBuffers(&d, aRun);
}

// ---------------------------------------------------------------------------------------------
// The start sequence.

// What the device learned of one source.
struct SourceImage {
    TqEngine::ChannelConfig channel;
    TqEngine::ChannelLimits limits;
    uint32_t offsetX = 0, offsetY = 0;
    std::vector<std::pair<TqPixelType, std::string>> pixelTypes;   // with their entry names
    std::vector<std::pair<uint32_t, std::string>> chunks;
    bool multiPart = false;
};

// The engine device's configuration: the identity, and the image of each source; with aFeatures the
// application's features too.
TqEngine::DeviceConfig Config(const Core& d, const std::vector<SourceImage>& aImages, bool aFeatures = true) {
    TqEngine::DeviceConfig config;
    config.identity = d.info.Identity(d.mac);
    config.transport = TqEngine::Transport::kGigEVision;
    config.maxPacketSize = TqEngine::Reg::kPacketSizeLimit;
    config.streamChannels = uint32_t(aImages.size());
    auto description = std::make_shared<TqEngine::Description>();
    description->header = d.info.Header();
    description->payloadSizeBase = kPayloadSizeBase;
    if (aFeatures) {
        d.genApiFactory.Describe(*description);
        for (const StreamableFeature& feature : d.genApiFactory.Streamable())
            description->userSetFeatures.push_back(feature.name);
    }
    description->userSetBase = kUserSetBase;
    {
        std::lock_guard guard(d.lock);
        description->userSetCount = d.userSetCount;
    }
    for (const SourceImage& image : aImages) {
        config.channels.push_back(image.channel);
        description->limits.push_back(image.limits);
        for (const auto& [type, name] : image.pixelTypes) config.pixelFormatNames[TqPixel::ToWire(type)] = name;
        DescribeSourceFeatures(*description, {image.chunks, image.multiPart});
    }
    config.description = std::move(description);
    return config;
}

// The description a start that failed before it described the device leaves: the standard part,
// the device without its streams.
void DescribeStandardPart(Core& d) {
    const std::string xml = TqEngine::Device(Config(d, {}, false)).Xml();
    std::lock_guard guard(d.lock);
    d.xml = xml;
}

class Sequence {
public:
    Sequence(Core& aDevice, Adapter aAdapter) : d(aDevice), mAdapter(std::move(aAdapter)) {}

    TqResult Run() {
        mRun = std::make_shared<TqSoftDevice::Run>();
        mRun->gate = std::make_shared<TqSoftDevice::Gate>(&d);
        State before;
        {
            std::lock_guard guard(d.lock);
            before = d.state;
            d.state = State::kStarting;
            mRun->sources = d.sources;
            mRun->registers = d.registers.Begin(uint32_t(mRun->sources.size()));   // the last start's retire
            d.run = mRun;
        }
        mRun->buffers.resize(mRun->sources.size());
        CallbackScope scope(&d);   // Start and Stop called back from here answer TQ_STATE_ERROR
        d.info.Defaults(d.mac);
        bool done = false;
        // A step whose allocation fails ends the sequence like any failure: the start is undone.
        if (!TqNoMemory::Survived([&] {
                done = Callbacks() && Features() && Queries() && Describe() && Loads() && Buffers() && Bind() &&
                       Announce();
            }))
            Broken("the system gave no more memory", TQ_NOT_ENOUGH_MEMORY);
        if (done) {
            std::lock_guard guard(d.lock);
            d.state = State::kRunning;
            return TqResult(TQ_OK);
        }
        Finish(d, *mRun);
        mRun->registers->Retire();
        if (!mDescribed) DescribeStandardPart(d);
        std::lock_guard guard(d.lock);
        d.state = before;
        d.run.reset();
        return Failed(mCode, "the device did not start: " + mFailure);
    }

private:
    // A call of the application's code; its failure ends the sequence.
    bool Call(const std::string& aWhat, const std::function<void()>& aCall) {
        if (Guarded(&d, aWhat, aCall, mFailure)) return true;
        mCode = TQ_GENERIC_ERROR;
        return false;
    }
    // An answer the device cannot take.
    bool Broken(const std::string& aWhy, uint32_t aCode = TQ_INVALID_PARAMETER) {
        mFailure = aWhy;
        mCode = aCode;
        return false;
    }

    // The register callbacks of the sinks (in the order they were registered) and the sources (in
    // the order they were added), then their feature callbacks.
    bool Callbacks() {
        ITqRegisterMap* map = mRun->registers->Map();
        RegisterFactory& factory = d.registers.Factory();
        factory.Open(mRun->registers);   // only while the register callbacks run
        bool made = d.EachSink(d.sinks.Snapshot(), [&](ITqSoftDeviceGEVEventSink* aSink, size_t n) {
            return Call("OnCreateCustomRegisters of " + Numbered("event sink", n),
                        [&] { aSink->OnCreateCustomRegisters(&d.self, &factory); });
        });
        for (size_t n = 0; made && n < mRun->sources.size(); ++n)
            made = Call("CreateRegisters of " + Numbered("stream source", n),
                        [&] { mRun->sources[n]->CreateRegisters(map, &factory); });
        factory.Close();
        if (!made) return false;
        d.genApiFactory.Begin(uint32_t(mRun->sources.size()));
        if (!d.EachSink(d.sinks.Snapshot(), [&](ITqSoftDeviceGEVEventSink* aSink, size_t n) {
                return Call("OnCreateCustomGenApiFeatures of " + Numbered("event sink", n),
                            [&] {
                                const auto open = d.genApiFactory.Open(GenApiFactory::kDevice);
                                aSink->OnCreateCustomGenApiFeatures(&d.self, &d.genApiFactory);
                            });
            }))
            return false;
        for (size_t n = 0; n < mRun->sources.size(); ++n)
            if (!Call("CreateGenApiFeatures of " + Numbered("stream source", n),
                      [&] {
                          const auto open = d.genApiFactory.Open(int(n));
                          mRun->sources[n]->CreateGenApiFeatures(map, &d.genApiFactory);
                      }))
                return false;
        return true;
    }

    // The application's features, merged; then the finished description loads as a controller would.
    bool Features() {
        std::string why;
        return d.genApiFactory.Finish(why) || Broken(why);
    }
    bool Loads() {
        std::string why;
        return TqSoftDevice::Loads(mRun->device->Xml(), why) ||
               Broken("its GenICam XML file does not load: " + why, TQ_GENICAM_XML_ERROR);
    }

    bool Queries() {
        for (size_t n = 0; n < mRun->sources.size(); ++n) {
            mImages.emplace_back();
            if (!Query(Numbered("stream source", n), *mRun->sources[n], mImages.back())) return false;
        }
        return true;
    }

    // Smallest, largest and step of a side, and its current extent from its offset.
    bool Side(const std::string& aWho, const char* aSide, uint32_t aMin, uint32_t aMax, uint32_t aInc,
              uint32_t aValue, uint32_t aOffset) {
        const std::string who = aWho + " " + aSide;
        if (aMin == 0 || aMin > aMax || aMax > kMaxImageSide || aInc == 0)
            return Broken(who + " limits are out of rule: minimum " + std::to_string(aMin) + ", maximum " +
                          std::to_string(aMax) + ", increment " + std::to_string(aInc) + " (1 <= minimum <= maximum <= " +
                          std::to_string(kMaxImageSide) + ", increment >= 1)");
        if (aValue < aMin || uint64_t(aValue) + aOffset > aMax)
            return Broken(who + " " + std::to_string(aValue) + " at offset " + std::to_string(aOffset) +
                          " does not fit within " + std::to_string(aMin) + " to " + std::to_string(aMax));
        return true;
    }

    bool Query(const std::string& aWho, ITqStreamingChannelSource& aSource, SourceImage& aImage) {
        // The lists, from index 0 until the answer is not OK.
        for (int index = 0;; ++index) {
            TqPixelType type = TqPixelMono8;
            TqResult listed;
            if (!Call(aWho + " GetSupportedPixelType(" + std::to_string(index) + ")",
                      [&] { listed = aSource.GetSupportedPixelType(index, type); }))
                return false;
            if (!listed.IsOK()) break;
            if (index == kMaxListed) return Broken(aWho + " lists more than 256 pixel types");
            if (std::none_of(aImage.pixelTypes.begin(), aImage.pixelTypes.end(),
                             [&](const auto& aEntry) { return aEntry.first == type; }))
                aImage.pixelTypes.emplace_back(type, EntryName(type));
        }
        for (int index = 0;; ++index) {
            uint32_t id = 0;
            TqString name;
            TqResult listed;
            if (!Call(aWho + " GetSupportedChunk(" + std::to_string(index) + ")",
                      [&] { listed = aSource.GetSupportedChunk(index, id, name); }))
                return false;
            if (!listed.IsOK()) break;
            if (index == kMaxListed) return Broken(aWho + " lists more than 256 chunks");
            aImage.chunks.emplace_back(id, Utf8(name));
        }
        if (const std::string why = CheckChunkNames(aImage.chunks); !why.empty()) return Broken(aWho + why);
        uint32_t packetMax = 0;
        TqResult packet;
        if (!Call(aWho + " GetGevSCPSPacketSizeInfo", [&] { packet = aSource.GetGevSCPSPacketSizeInfo(packetMax); }))
            return false;
        if (!packet.IsOK()) {
            packetMax = TqEngine::Reg::kMaxPacketSize;
        } else if (packetMax < TqEngine::Reg::kMinPacketSize || packetMax > TqEngine::Reg::kPacketSizeLimit) {
            return Broken(aWho + " packet size maximum " + std::to_string(packetMax) + " is out of 576 to 65535");
        }
        uint32_t widthMin = 0, widthMax = 0, widthInc = 0, heightMin = 0, heightMax = 0, heightInc = 0;
        if (!Call(aWho + " GetWidthInfo", [&] { aSource.GetWidthInfo(widthMin, widthMax, widthInc); }) ||
            !Call(aWho + " GetHeightInfo", [&] { aSource.GetHeightInfo(heightMin, heightMax, heightInc); }) ||
            !Call(aWho + " IsPayloadTypeSupported",
                  [&] { aImage.multiPart = aSource.IsPayloadTypeSupported(TqPayloadTypeMultiPart); }))
            return false;
        // The image as it is now.
        uint32_t width = 0, height = 0;
        TqPixelType pixelType = TqPixelMono8;
        if (!Call(aWho + " geometry", [&] {
                width = aSource.GetWidth();
                height = aSource.GetHeight();
                aImage.offsetX = aSource.GetOffsetX();
                aImage.offsetY = aSource.GetOffsetY();
                pixelType = aSource.GetPixelType();
            }))
            return false;
        if (!Side(aWho, "width", widthMin, widthMax, widthInc, width, aImage.offsetX) ||
            !Side(aWho, "height", heightMin, heightMax, heightInc, height, aImage.offsetY))
            return false;
        if (std::none_of(aImage.pixelTypes.begin(), aImage.pixelTypes.end(),
                         [&](const auto& aEntry) { return aEntry.first == pixelType; }))
            aImage.pixelTypes.emplace_back(pixelType, EntryName(pixelType));

        TqEngine::ChannelConfig& c = aImage.channel;
        c.width = width;
        c.height = height;
        c.pixelFormat = TqPixel::ToWire(pixelType);
        c.pixelFormats.clear();
        for (const auto& [type, name] : aImage.pixelTypes) c.pixelFormats.push_back(TqPixel::ToWire(type));
        c.sensorWidth = widthMax;
        c.sensorHeight = heightMax;
        c.packetSizeMax = packetMax;
        aImage.limits = {widthMin, widthInc, heightMin, heightInc};
        return true;
    }

    // The engine device with its description, the sources' offsets in its registers.
    bool Describe() {
        mRun->device = std::make_shared<TqEngine::Device>(Config(d, mImages));
        mDescribed = true;
        {
            std::lock_guard guard(d.lock);
            d.xml = mRun->device->Xml();
        }
        d.info.SetXmlMade(true);
        if (!mRun->registers->Attach(mRun->device, mFailure)) return Broken(mFailure, TQ_GENERIC_ERROR);
        using namespace TqEngine;
        for (uint32_t n = 0; n < mImages.size(); ++n)
            if (mRun->device->WriteRegister(Reg::Format(n, Reg::kOffsetX), mImages[n].offsetX) != Gvcp::kSuccess ||
                mRun->device->WriteRegister(Reg::Format(n, Reg::kOffsetY), mImages[n].offsetY) != Gvcp::kSuccess)
                return Broken(Numbered("stream source", n) + " offsets do not fit its image");
        return true;
    }

    // Each source's buffers, until it gives none or gave kMaxBuffers; each buffer once.
    bool Buffers() {
        std::set<TqBuffer*> seen;
        for (size_t n = 0; n < mRun->sources.size(); ++n) {
            const std::string who = Numbered("stream source", n);
            while (mRun->buffers[n].size() < kMaxBuffers) {
                TqBuffer* buffer = nullptr;
                if (!Call(who + " AllocBuffer", [&] { buffer = mRun->sources[n]->AllocBuffer(); })) return false;
                if (!buffer) break;
                if (!seen.insert(buffer).second) return Broken(who + " gave the same buffer twice");
                mRun->buffers[n].push_back(buffer);
            }
        }
        return true;
    }

    // The device's own parts in the engine device, then its front end on the loopback interface.
    bool Bind() {
        TqEngine::Device& device = *mRun->device;
        const uint32_t channels = uint32_t(mRun->sources.size());
        if (channels > 0 &&
            !device.AddRegisterHandler({{kPayloadSizeBase, 4 * channels}}, std::make_shared<PayloadSizes>(mRun->gate)))
            return Broken("the payload size registers could not be placed", TQ_GENERIC_ERROR);
        std::vector<SourceFacts> facts;
        for (const SourceImage& image : mImages) facts.push_back({image.chunks, image.multiPart});
        if (channels > 0 && !InstallSourceSide(d, *mRun, std::move(facts)))
            return Broken("the registers of the sources could not be placed", TQ_GENERIC_ERROR);
        if (!device.AddRegisterHandler({{kUserSetBase, 4 * uint32_t(TqEngine::UserSetRegister::kCount)}},
                                       UserSetRegisters(mRun->gate)))
            return Broken("the user-set registers could not be placed", TQ_GENERIC_ERROR);
        for (uint32_t n = 0; n < channels; ++n)
            device.SetFrameProvider(n, StreamingLoop(mRun->gate, n, mRun->sources[n], mRun->buffers[n]));
        device.SetObserver(std::make_shared<Notifications>(mRun->gate));
        std::string error;
        if (!mRun->registers->Serve(mRun->gate, error)) return Broken(error, TQ_GENERIC_ERROR);
        // The stored default set is loaded through the same paths a controller's write takes (the
        // sources' setters among them), before any controller can reach the device.
        StartUserSets(d, *mRun);
        if (!device.Start(0, &error)) return Broken("the control channel could not be bound: " + error, TQ_NETWORK_ERROR);
        return true;
    }

    // The sinks learn where the control channel listens.
    bool Announce() {
        const TqString mac(mAdapter.mac.c_str()), mask(mAdapter.mask.c_str()), gateway(mAdapter.gateway.c_str());
        const TqString address(TqEngine::FormatAddress(mRun->device->Address()).c_str());
        return d.EachSink(d.sinks.Snapshot(), [&](ITqSoftDeviceGEVEventSink* aSink, size_t n) {
            if (!Call("OnControlChannelStart of " + Numbered("event sink", n),
                      [&] { aSink->OnControlChannelStart(&d.self, mac, address, mask, gateway, kGvcpPort); }))
                return false;
            mRun->told.push_back(aSink);
            return true;
        });
    }

    Core& d;
    const Adapter mAdapter;
    std::shared_ptr<TqSoftDevice::Run> mRun;
    std::vector<SourceImage> mImages;
    bool mDescribed = false;
    std::string mFailure;
    uint32_t mCode = TQ_GENERIC_ERROR;
};

TqResult NotFromCallback(const char* aOperation) {
    return Failed(TQ_STATE_ERROR, std::string(aOperation) +
                                      " was called from a callback of the device, on a thread the device would have "
                                      "to wait for; call it from another thread");
}

}  // namespace

}  // namespace TqSoftDevice

// ---------------------------------------------------------------------------------------------
// The device's operations.

using TqSoftDevice::Failed;

TqSoftDeviceGEV::TqSoftDeviceGEV() : mImpl(new Impl(*this, TqSoftDevice::NewMac())) {
    std::lock_guard guard(TqSoftDevice::RegistryLock());
    TqSoftDevice::Registry()[this] = mImpl;
}

// A running device stops. Inside one of its own callbacks it cannot wait for the thread it runs
// on: the sinks are not told, and its engine device stops, and the buffers go back, on another
// thread once that callback returned.
TqSoftDeviceGEV::~TqSoftDeviceGEV() {
    Core& d = *mImpl;
    {
        std::lock_guard guard(TqSoftDevice::RegistryLock());
        TqSoftDevice::Registry().erase(this);
    }
    if (TqSoftDevice::CallbackScope::Inside(&d)) {
        std::shared_ptr<Run> run;
        {
            std::lock_guard guard(d.lock);
            run = std::move(d.run);
            d.state = State::kStopped;
        }
        if (run) {
            run->gate->Close();
            TqSoftDevice::Reaper::Later([run] {
                if (run->device) run->device->Stop();
                TqSoftDevice::FreeBuffers(nullptr, *run);
            });
        }
    } else {
        Stop();
    }
    delete mImpl;
}

TqResult TqSoftDeviceGEV::AddStream(ITqStreamingChannelSource* aSource) {
    if (!aSource) return Failed(TQ_INVALID_PARAMETER, "the source is null");
    Core& d = *mImpl;
    std::lock_guard guard(d.lock);
    if (d.state == State::kStarting || d.state == State::kRunning)
        return Failed(TQ_STATE_ERROR, "streams are added before the device starts");
    if (d.sources.size() >= TqEngine::Reg::kMaxStreamChannels)
        return Failed(TQ_NOT_SUPPORTED, "the device has as many streams as it can take (4)");
    d.sources.push_back(aSource);
    return TqResult(TQ_OK);
}

TqResult TqSoftDeviceGEV::SetUserSetCount(uint32_t aCount) {
    Core& d = *mImpl;
    std::lock_guard guard(d.lock);
    if (d.state == State::kStarting || d.state == State::kRunning)
        return Failed(TQ_STATE_ERROR, "the user set count is set before the device starts");
    if (aCount > 256) return Failed(TQ_INVALID_PARAMETER, "at most 256 user sets besides the default one");
    d.userSetCount = aCount;
    return TqResult(TQ_OK);
}

// A notification under way on another thread is waited for before the new one takes its place.
TqResult TqSoftDeviceGEV::SetUserSetNotify(ITqUserSetNotify* aUserSetNotify) {
    mImpl->userSetNotify.Assign(aUserSetNotify);
    return TqResult(TQ_OK);
}

// TCP and RTP are recorded: the device serves UDP alone.
TqResult TqSoftDeviceGEV::SetTCPTransportEnabled(bool aEnabled) {
    std::lock_guard guard(mImpl->lock);
    mImpl->tcp = aEnabled;
    return TqResult(TQ_OK);
}

TqResult TqSoftDeviceGEV::SetRTPProtocolEnabled(bool aEnabled) {
    std::lock_guard guard(mImpl->lock);
    mImpl->rtp = aEnabled;
    return TqResult(TQ_OK);
}

TqResult TqSoftDeviceGEV::SetActionHandler(TqVirtualDeviceLib::IActionHandler* aActionHandler) {
    std::lock_guard guard(mImpl->lock);
    mImpl->actionHandler = aActionHandler;
    return TqResult(TQ_OK);
}

TqResult TqSoftDeviceGEV::RegisterEventSink(ITqSoftDeviceGEVEventSink* aEventSink) {
    if (!aEventSink) return Failed(TQ_INVALID_PARAMETER, "the event sink is null");
    const TqResult added = mImpl->sinks.Add(aEventSink);
    return added.IsOK() ? added : Failed(TQ_INVALID_PARAMETER, "the event sink is already registered");
}

TqResult TqSoftDeviceGEV::UnregisterEventSink(ITqSoftDeviceGEVEventSink* aEventSink) {
    if (!aEventSink) return Failed(TQ_INVALID_PARAMETER, "the event sink is null");
    // A call of the sink under way on another thread is waited for; one on this thread is not.
    const TqResult removed = mImpl->sinks.Remove(aEventSink);
    return removed.IsOK() ? removed : Failed(TQ_INVALID_PARAMETER, "the event sink is not registered");
}

TqResult TqSoftDeviceGEV::Start(const TqString& aMACAddress) {
    Core& d = *mImpl;
    if (TqSoftDevice::CallbackScope::Inside(&d)) return TqSoftDevice::NotFromCallback("Start");
    std::lock_guard life(d.life);
    if (d.Current() == State::kRunning) return Failed(TQ_STATE_ERROR, "the device is already running");
    TqSoftDevice::Adapter adapter;
    const TqResult found = TqSoftDevice::FindAdapter(TqSoftDevice::Utf8(aMACAddress), adapter);
    if (!found.IsOK()) {   // a start that failed, as any other: the description is there
        d.info.Defaults(d.mac);
        TqSoftDevice::DescribeStandardPart(d);
        return found;
    }
    return TqSoftDevice::Sequence(d, adapter).Run();
}

TqResult TqSoftDeviceGEV::Stop() {
    Core& d = *mImpl;
    if (TqSoftDevice::CallbackScope::Inside(&d)) return TqSoftDevice::NotFromCallback("Stop");
    {
        std::lock_guard guard(d.lock);
        if (d.failStop) throw std::runtime_error(*std::exchange(d.failStop, std::nullopt));
    }
    std::lock_guard life(d.life);
    std::shared_ptr<Run> run;
    {
        std::lock_guard guard(d.lock);
        if (d.state != State::kRunning) return Failed(TQ_STATE_ERROR, "the device is not running");
        d.state = State::kStopping;
        run = d.run;
    }
    TqSoftDevice::Finish(d, *run);
    std::lock_guard guard(d.lock);
    d.run.reset();
    d.state = State::kStopped;
    return TqResult(TQ_OK);
}

// The identity and the register map from the start of Start on (the XML header is set inside it);
// the counters and the messaging channel while the device runs.
ITqSoftDeviceGEVInfo* TqSoftDeviceGEV::GetInfo() {
    const State state = mImpl->Current();
    return state == State::kStarting || state == State::kRunning ? &mImpl->info : nullptr;
}

ITqRegisterMap* TqSoftDeviceGEV::GetRegisterMap() {
    const State state = mImpl->Current();
    return state == State::kStarting || state == State::kRunning ? mImpl->registers.Map() : nullptr;
}

ITqSoftDeviceGEVStatistics* TqSoftDeviceGEV::GetStatistics() {
    return mImpl->Current() == State::kRunning ? &mImpl->statistics : nullptr;
}

ITqMessageChannel* TqSoftDeviceGEV::GetMessagingChannel() {
    return mImpl->Current() == State::kRunning ? &mImpl->messaging : nullptr;
}

TqResult TqSoftDeviceGEV::GetGenICamXMLFile(TqString& aXMLFile) const {
    std::lock_guard guard(mImpl->lock);
    if (!mImpl->xml) return Failed(TQ_STATE_ERROR, "the GenICam XML file is made when the device starts");
    aXMLFile = TqString(mImpl->xml->c_str());
    return TqResult(TQ_OK);
}

TqResult TqSoftDeviceGEV::SetStreamTimestamping(bool aEnabled) {
    std::lock_guard guard(mImpl->lock);
    mImpl->timestamping = aEnabled;
    return TqResult(TQ_OK);
}
