// The software device's inner parts, shared by the library's sources (not installed).
//
// Threads: the application's thread runs Start, Stop and the destructor (one at a time, under
// Core::life) and the sequence inside Start, which calls the sinks and sources on that thread. Once
// the device runs, the engine's threads (the GVCP server, the stream senders) reach the device
// through its gate: a notification of the engine, a register the device serves, a frame it asks
// for. Every call into the application's code (a sink, a source) runs inside a callback scope of the
// device, so that Start and Stop can tell that they were called from one and refuse instead of
// joining the thread they run on. Nothing holds Core::lock while it calls the application.
#pragma once

#include "TqSoftDeviceGEV.h"
#include "TqSoftDeviceGenApi.h"
#include "TqSoftDeviceRegisters.h"

#include "TqDeviceEngine.h"
#include "TqSinkList.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class TqBuffer;

namespace TqSoftDevice {

struct Core;

enum class State { kCreated, kStarting, kRunning, kStopping, kStopped };

// Marks the calls into the application's code made for a device on the current thread.
class CallbackScope {
public:
    explicit CallbackScope(const void* aDevice);
    ~CallbackScope();
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;
    // Whether the current thread is inside a callback of aDevice.
    static bool Inside(const void* aDevice);
};

// Where the engine's calls into a device go: to the device while the gate is open, nowhere once it
// is closed. Close waits for the calls under way on other threads (not for those of the thread that
// closes it, which are below it on its own stack).
class Gate {
public:
    explicit Gate(Core* aDevice) : mDevice(aDevice) {}
    // Runs aCall with the device inside its callback scope; false (and nothing called) when closed.
    bool Enter(const std::function<void(Core&)>& aCall);
    void Close();

private:
    std::mutex mLock;
    std::condition_variable mIdle;
    Core* mDevice;
    int mCalls = 0;
};

// Runs aCall, the application's code, inside the device's callback scope; what it throws becomes
// the text of the failure ("<what> failed: <reason>"), and false.
bool Guarded(const void* aDevice, const std::string& aWhat, const std::function<void()>& aCall, std::string& aFailure);

// The frames of stream channel aChannel from aSource and the buffers it allocated, one run per
// acquisition (TqSoftDeviceStreaming.cpp): the engine device's frame provider of that channel.
std::shared_ptr<TqEngine::FrameProvider> StreamingLoop(std::shared_ptr<Gate> aGate, uint32_t aChannel,
                                                       ITqStreamingChannelSource* aSource,
                                                       std::vector<TqBuffer*> aBuffers);

// The device's part in the buffers of a ready-made source (TqStreamingChannelSourceDefault.cpp).
struct DefaultSourceBuffers {
    // When an acquisition starts in chunk mode, while the device holds aHeld: each of them that
    // aSource allocated, when aSource is a ready-made source, gets a chunk area of aChunksSize bytes
    // (GetChunksSize then) unless it has one of that size. The number of buffers that could not get
    // theirs (no memory; each keeps the area it had).
    static size_t FitChunkAreas(ITqStreamingChannelSource& aSource, const std::vector<TqBuffer*>& aHeld,
                                uint32_t aChunksSize);
};

// ---- the interfaces the device hands out (each lives as long as the device) ----

// The identity and the XML header: defaults at each start, set by the application from then on;
// pushed to the engine device while one runs.
class Info final : public ITqSoftDeviceGEVInfo {
public:
    explicit Info(Core& aDevice) : mDevice(aDevice) {}

    // The defaults of a device with aMAC (its own address), at the start of each Start.
    void Defaults(const std::array<uint8_t, 6>& aMac);
    // The identity an engine device is made with, and the description's header.
    TqEngine::Identity Identity(const std::array<uint8_t, 6>& aMac) const;
    TqEngine::DescriptionHeader Header() const;
    // The XML file was made (the version and the GUIDs are fixed from then on), or a new start begins.
    void SetXmlMade(bool aMade);

    const TqString& GetManufacturerName() override { return mStrings[kManufacturer]; }
    const TqString& GetModelName() override { return mStrings[kModel]; }
    const TqString& GetDeviceVersion() override { return mStrings[kVersion]; }
    const TqString& GetDeviceFirmwareVersion() override { return mStrings[kFirmware]; }
    const TqString& GetManufacturerInformation() override { return mStrings[kManufacturerInfo]; }
    const TqString& GetSerialNumber() override { return mStrings[kSerial]; }
    TqResult SetManufacturerName(const TqString& aValue) override { return SetIdentity(kManufacturer, aValue); }
    TqResult SetModelName(const TqString& aValue) override { return SetIdentity(kModel, aValue); }
    TqResult SetDeviceVersion(const TqString& aValue) override { return SetIdentity(kVersion, aValue); }
    TqResult SetDeviceFirmwareVersion(const TqString& aValue) override { return SetIdentity(kFirmware, aValue); }
    TqResult SetManufacturerInformation(const TqString& aValue) override { return SetIdentity(kManufacturerInfo, aValue); }
    TqResult SetSerialNumber(const TqString& aValue) override { return SetIdentity(kSerial, aValue); }

    uint16_t GetGenICamXMLVersionMajor() const override;
    uint16_t GetGenICamXMLVersionMinor() const override;
    uint16_t GetGenICamXMLVersionSubMinor() const override;
    const TqString& GetGenICamXMLProductGUID() override { return mProductGuid; }
    const TqString& GetGenICamXMLVersionGUID() override { return mVersionGuid; }
    const TqString& GetGenICamXMLRegDescModelName() override;
    const TqString& GetGenICamXMLRegDescVendorName() override;
    TqResult SetGenICamXMLVersion(uint16_t aMajor, uint16_t aMinor, uint16_t aSubMinor) override;
    TqResult SetGenICamXMLGUIDs(const TqString& aProduct, const TqString& aVersion) override;
    TqResult SetGenICamXMLRegDescModelName(const TqString& aModelName) override;
    TqResult SetGenICamXMLRegDescVendorName(const TqString& aVendorName) override;

private:
    enum Field { kManufacturer, kModel, kVersion, kFirmware, kManufacturerInfo, kSerial, kFields };
    TqResult SetIdentity(Field aField, const TqString& aValue);
    // What the field's register holds: the UTF-8 text cut at a character so that its NUL fits (mLock held).
    std::string Registered(Field aField) const;

    Core& mDevice;
    mutable std::mutex mLock;
    std::array<TqString, kFields> mStrings;
    TqString mProductGuid, mVersionGuid;
    std::optional<TqString> mRegDescModel, mRegDescVendor;   // until set: the model and manufacturer names
    uint16_t mMajor = 1, mMinor = 0, mSubMinor = 0;
    bool mXmlMade = false;
};

// The engine device's counters.
class Statistics final : public ITqSoftDeviceGEVStatistics {
public:
    explicit Statistics(Core& aDevice) : mDevice(aDevice) {}
    void Reset() override;
    uint64_t GetReadMemsReceived() const override { return Get().readMemsReceived; }
    uint64_t GetWriteMemsReceived() const override { return Get().writeMemsReceived; }
    uint64_t GetReadRegsReceived() const override { return Get().readRegsReceived; }
    uint64_t GetWriteRegsReceived() const override { return Get().writeRegsReceived; }
    uint64_t GetDiscoveriesReceived() const override { return Get().discoveriesReceived; }
    uint64_t GetActionCommandsReceived() const override { return Get().actionCommandsReceived; }
    uint64_t GetForceIpsReceived() const override { return Get().forceIpsReceived; }
    uint64_t GetPacketResendRequestsReceived() const override { return Get().packetResendRequestsReceived; }
    uint64_t GetPendingAcksIssued() const override { return Get().pendingAcksIssued; }
    uint64_t GetRetriesReceived() const override { return Get().retriesReceived; }
    uint64_t GetRetriesReceivedMax() const override { return Get().retriesReceivedMax; }
    uint64_t GetEventsIssued() const override { return Get().eventsIssued; }
    uint64_t GetEventDatasIssued() const override { return Get().eventDatasIssued; }
    uint64_t GetEventRetriesIssued() const override { return Get().eventRetriesIssued; }
    uint64_t GetEventRetriesIssuedMax() const override { return Get().eventRetriesIssuedMax; }
    uint64_t GetSessionsOpened() const override { return Get().sessionsOpened; }
    uint64_t GetSessionsClosed() const override { return Get().sessionsClosed; }
    uint64_t GetHeartbeatFailedCount() const override { return Get().heartbeatFailures; }
    uint64_t GetGVSPTestPacketsIssued() const override { return Get().testPacketsIssued; }

private:
    TqEngine::Statistics Get() const;
    Core& mDevice;
};

// The engine device's messaging channel.
class Messaging final : public ITqMessageChannel {
public:
    explicit Messaging(Core& aDevice) : mDevice(aDevice) {}
    TqResult FireEvent(uint16_t aEventID, uint8_t* aData, uint32_t aDataLength, uint64_t aBlockID,
                       uint16_t aChannelIndex) override;
    TqResult FireEvent(uint16_t aEventID, uint64_t aBlockID, uint16_t aChannelIndex) override;
    bool IsOpened() override;

private:
    Core& mDevice;
};


// ---- what the device asks its sources while it runs (TqSoftDeviceSources.cpp) ----

class SourceSide;

// What the start learned of a source's chunks and payload types.
struct SourceFacts {
    std::vector<std::pair<uint32_t, std::string>> chunks;   // (chunk ID, name)
    bool multiPart = false;   // IsPayloadTypeSupported(TqPayloadTypeMultiPart)
};

// Why a source's chunk list cannot be described (a name that is empty or no GenICam name, naming the
// chunk ID), or empty.
std::string CheckChunkNames(const std::vector<std::pair<uint32_t, std::string>>& aChunks);
// Adds a source's chunks (ChunkDataControl) and multi-part features to the description.
void DescribeSourceFeatures(TqEngine::Description& aDescription, const SourceFacts& aFacts);

// ---- one start of the device ----

struct Run;
struct UserSetRun;   // one start's user sets (TqSoftDeviceUserSets.cpp)
// Where the user-set registers lie in the engine device's memory (served by the device).
constexpr uint32_t kUserSetBase = 0x32001000;
// The largest set file a load takes (a larger one fails it unread): parsed well within a heartbeat.
constexpr size_t kMaxSetFile = size_t(16) << 20;
// At a start, once the engine device is described: set 0 taken from its fresh registers, the set
// UserSetDefault names loaded (the notification told), the image format as the start leaves it kept.
void StartUserSets(Core& d, Run& aRun);
// The handler of the user-set registers (the controller's side).
std::shared_ptr<TqEngine::RegisterHandler> UserSetRegisters(std::shared_ptr<Gate> aGate);
// After a full reset of the engine device: the image format as the start left it, the selectors at
// their first values, every feature stored.
void ResetUserSets(Run& aRun);

// What a start made, undone by Stop (or by the start itself when it fails): the engine device, the
// buffers of each source, and the sinks told that the control channel started.
struct Run {
    std::shared_ptr<TqEngine::Device> device;
    std::shared_ptr<Gate> gate;
    std::vector<ITqStreamingChannelSource*> sources;
    std::vector<std::vector<TqBuffer*>> buffers;   // per source, in the order they came
    std::vector<ITqSoftDeviceGEVEventSink*> told;  // OnControlChannelStart returned
    std::shared_ptr<SourceSide> sourceSide;        // once the registers of the sources are served
    std::shared_ptr<Space> registers;              // this start's registers
    std::shared_ptr<UserSetRun> userSets;
};

// Serves the registers the sources own on aRun's engine device: the image format, chunk and SCCFG
// registers (a controller's or the local side's write calls the source's setter first, a read asks its
// getter) and the stream channels' destinations (OnOpen and OnClose). False when the engine refuses.
bool InstallSourceSide(Core& aDevice, Run& aRun, std::vector<SourceFacts> aFacts);
// Whether the controller allowed channel aChannel to send multi-part blocks (its SCCFG bit).
bool MultiPartAllowed(const Run& aRun, uint32_t aChannel);
// The controller's session ended (inside the device's gate): the open channels close.
void SourcesSessionEnded(Core& aDevice);
// The device stops (before its gate closes): the open channels close.
void CloseSources(Core& aDevice, Run& aRun);

// The device's state (TqSoftDeviceGEV::Impl is this, under the name the class declares).
struct Core {
    Core(TqSoftDeviceGEV& aSelf, const std::array<uint8_t, 6>& aMac) : self(aSelf), mac(aMac) {}

    TqSoftDeviceGEV& self;
    std::mutex life;              // Start, Stop and the destructor, one at a time
    mutable std::mutex lock;      // what follows
    State state = State::kCreated;
    std::vector<ITqStreamingChannelSource*> sources;
    uint32_t userSetCount = 0;
    TqVirtualDeviceLib::IActionHandler* actionHandler = nullptr;
    bool tcp = false, rtp = false, timestamping = true;
    std::optional<std::string> xml;           // once a Start reached the sequence
    std::shared_ptr<Run> run;   // while starting and running
    const std::array<uint8_t, 6> mac;   // the device's own, locally administered
    std::optional<std::string> failStop;   // what the next Stop throws (FailNextStop)

    // The event sinks, and the user-set notification (a list of one at most). Their calls go
    // through the lists, whose state the calls share: a sink that destroys the device from its
    // callback returns into memory that still lives. An unregistered sink, or a replaced
    // notification, is called no more once UnregisterEventSink (SetUserSetNotify) returns, and no
    // call into it still runs on another thread.
    TqSinkList<ITqSoftDeviceGEVEventSink> sinks;
    TqSinkList<ITqUserSetNotify> userSetNotify;

    // Calls aCall(sink, n) for each sink of aSinks (n its place there) that is still registered when its
    // turn comes, until aCall returns false; false then.
    template <class Call>
    bool EachSink(const std::vector<ITqSoftDeviceGEVEventSink*>& aSinks, Call aCall) {
        bool going = true;
        sinks.Each(aSinks, [&](ITqSoftDeviceGEVEventSink* aSink, size_t n) { return going = aCall(aSink, n); });
        return going;
    }
    Info info{*this};
    Statistics statistics{*this};
    Messaging messaging{*this};
    DeviceRegisters registers{*this};
    GenApiFactory genApiFactory{self};

    State Current() const {
        std::lock_guard guard(lock);
        return state;
    }
    // The start under way or running, else null.
    std::shared_ptr<Run> CurrentRun() const {
        std::lock_guard guard(lock);
        return run;
    }
    // The engine device while the device starts or runs, else null.
    std::shared_ptr<TqEngine::Device> Engine() const {
        std::lock_guard guard(lock);
        return run ? run->device : nullptr;
    }
};

}  // namespace TqSoftDevice

struct TqSoftDeviceGEV::Impl : TqSoftDevice::Core {
    using Core::Core;
};
