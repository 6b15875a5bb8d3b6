// The generic device adapter and the device's callbacks against software devices on loopback: the
// adapter's operations and result codes, byte transfers refused without touching a byte, invalidators,
// the device kinds; events with their data and event-port features (the engine's FrameEnd and a
// description of our own), command-link callbacks for port accesses only, sinks that throw or leave
// from inside a callback, unregistration waiting for a callback elsewhere, the link's loss once, and
// nothing left alive afterwards.
#include "TqDevice.h"
#include "TqDeviceAdapter.h"
#include "TqDeviceEngine.h"
#include "TqDeviceEventSink.h"
#include "TqMemoryBlocks.h"
#include "TqInterface.h"
#include "TqSimulation.h"
#include "balanced.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <thread>

using namespace TqEngine;

#define EXPECT_CODE(aCall, aCode) EXPECT_EQ((aCall).GetCode(), uint32_t(aCode)) << #aCall
#define ASSERT_CODE(aCall, aCode) ASSERT_EQ((aCall).GetCode(), uint32_t(aCode)) << #aCall

namespace {

constexpr auto kGuard = std::chrono::seconds(10);   // against deadlocks only

// Event ports: a register, an Integer and a SwissKnife that read it, a StructReg; a register at the
// same address 0 on the device's own port; an entry that is not available. The comment must not count.
// Event ports show the 16-byte event header before the data: the values lie from 0x10.
const char kEventXml[] = R"(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="EventPorts" VendorName="Kivo" StandardNameSpace="GEV" SchemaMajorVersion="1"
    SchemaMinorVersion="1" SchemaSubMinorVersion="0" MajorVersion="1" MinorVersion="0" SubMinorVersion="0"
    ProductGuid="4B49564F-0000-4000-8000-0000000000E1" VersionGuid="4B49564F-0000-4000-8000-0000000000E2"
    xmlns="http://www.genicam.org/GenApi/Version_1_1">
  <Register Name="UserBytes"><Address>0xE8</Address><Length>16</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></Register>
  <Register Name="VersionBytes"><Address>0x0</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></Register>
  <!-- <IntReg Name="Commented"><pPort>LinePort</pPort></IntReg> -->
  <IntReg Name="LineValue"><Address>0x10</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>LinePort</pPort>
    <Cachable>WriteThrough</Cachable><Endianess>BigEndian</Endianess></IntReg>
  <Integer Name="LineCount"><pValue>LineValue</pValue></Integer>
  <IntSwissKnife Name="LineDoubled"><pVariable Name="V">LineValue</pVariable><Formula>V * 2</Formula></IntSwissKnife>
  <StructReg Comment="LineBits"><Address>0x14</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>LinePort</pPort>
    <StructEntry Name="LineLow"><LSB>0</LSB><MSB>7</MSB></StructEntry><StructEntry Name="LineHigh"><LSB>8</LSB><MSB>15</MSB></StructEntry>
  </StructReg>
  <IntReg Name="OtherValue"><Address>0x0</Address><Length>4</Length><pPort>OtherPort</pPort></IntReg>
  <Integer Name="PulseAvailable"><Value>0</Value></Integer>
  <Enumeration Name="LineMode"><EnumEntry Name="Off"><Value>0</Value></EnumEntry><EnumEntry Name="On"><Value>1</Value></EnumEntry>
    <EnumEntry Name="Pulse"><pIsAvailable>PulseAvailable</pIsAvailable><Value>2</Value></EnumEntry><Value>0</Value></Enumeration>
  <Port Name="Device" NameSpace="Standard"/>
  <Port Name="LinePort"><EventID>A001</EventID></Port>
  <Port Name="OtherPort"><EventID>0xA002</EventID></Port>
</RegisterDescription>
)";

std::vector<uint8_t> Be64(uint64_t a, uint64_t b) {
    std::vector<uint8_t> out;
    for (uint64_t v : {a, b})
        for (int i = 7; i >= 0; --i) out.push_back(uint8_t(v >> (8 * i)));
    return out;
}

// A started software device and a TqDevice connected to it over loopback.
struct Rig {
    explicit Rig(const char* aXml = nullptr) {
        DeviceConfig config;
        config.width = 64;
        config.height = 48;
        engine = std::make_unique<Device>(config);
        if (aXml) engine->ReplaceXml(aXml);
        std::string error;
        EXPECT_TRUE(engine->Start(0, &error)) << error;
        device = TqDevice::CreateAndConnect(TqString(FormatAddress(engine->Address()).c_str()), nullptr);
        EXPECT_NE(device, nullptr);
        parameters = device ? device->GetParameters() : nullptr;
    }
    ~Rig() {
        TqDevice::Free(device);
        engine->Stop();
    }
    void Fire(uint16_t aId, const std::vector<uint8_t>& aData = {}, uint64_t aBlock = 0, uint16_t aChannel = 0xFFFF) {
        EXPECT_EQ(engine->FireEvent(aId, aData.data(), aData.size(), aBlock, aChannel), Gvcp::kSuccess);
    }
    std::unique_ptr<Device> engine;
    TqDevice* device = nullptr;
    TqGenParameterArray* parameters = nullptr;
};

// A device sink that records what it hears and on which thread; it may throw from every callback,
// leave (or make another sink leave) from inside OnEvent, or hold OnEvent until released.
struct Recorder : TqDeviceEventSink {
    struct Heard {
        Heard(const char* aWhat) : what(aWhat) {}
        std::string what;
        std::thread::id thread = std::this_thread::get_id();
        uint16_t id = 0, channel = 0;
        uint64_t block = 0;
        const void* pointer = nullptr;
        std::shared_ptr<const void> held;         // event data: a hold on its memory block, as a view takes
        std::vector<uint8_t> bytes;               // event data, command-link bytes
        int64_t address = -1;
        std::map<std::string, int64_t> values;    // OnEventGenICam: its features, read in the callback
    };
    void Add(Heard aHeard) {
        {
            std::lock_guard<std::mutex> guard(lock);
            heard.push_back(aHeard);
            wake.notify_all();
        }
        if (toss) throw std::runtime_error("a failing sink");
    }
    void OnLinkDisconnected(TqDevice*) override { Add({"disconnected"}); }
    void OnLinkReconnected(TqDevice*) override { Add({"reconnected"}); }
    void OnEvent(TqDevice* aDevice, uint16_t aId, uint16_t aChannel, uint64_t aBlock, uint64_t, const void* aData,
                 uint32_t aLength) override {
        if (leave) left = aDevice->UnregisterEventSink(this).GetCode();
        if (evict) aDevice->UnregisterEventSink(evict);
        std::unique_lock<std::mutex> guarded(lock);
        wake.wait_for(guarded, kGuard, [&] { return !hold; });
        guarded.unlock();
        Heard h{"event"};
        h.id = aId, h.channel = aChannel, h.block = aBlock, h.pointer = aData;
        uint64_t available = 0;
        if (const void* block = TqMemoryBlocks::Hold(aData, available))
            h.held = std::shared_ptr<const void>(block, [](const void* b) { TqMemoryBlocks::Drop(b); });
        if (aData) h.bytes.assign(static_cast<const uint8_t*>(aData), static_cast<const uint8_t*>(aData) + aLength);
        Add(std::move(h));
    }
    void OnEventGenICam(TqDevice*, uint16_t aId, uint16_t aChannel, uint64_t aBlock, uint64_t, TqGenParameterList* aList) override {
        Heard h{"genicam"};
        h.id = aId, h.channel = aChannel, h.block = aBlock;
        for (TqGenParameter* p = aList->GetFirst(); p; p = aList->GetNext()) {
            TqString name;
            int64_t value = -1;
            p->GetName(name);
            if (auto* integer = dynamic_cast<TqGenInteger*>(p); integer && integer->GetValue(value).IsFailure()) value = -2;
            h.values[name.GetAscii()] = value;
        }
        Add(std::move(h));
    }
    void OnCmdLinkRead(const void* aBuffer, int64_t aAddress, int64_t aLength) override { Link("read", aBuffer, aAddress, aLength); }
    void OnCmdLinkWrite(const void* aBuffer, int64_t aAddress, int64_t aLength) override { Link("write", aBuffer, aAddress, aLength); }
    void Link(const char* aWhat, const void* aBuffer, int64_t aAddress, int64_t aLength) {
        Heard h{aWhat};
        h.address = aAddress;
        h.bytes.assign(static_cast<const uint8_t*>(aBuffer), static_cast<const uint8_t*>(aBuffer) + aLength);
        Add(std::move(h));
    }
    std::vector<Heard> Of(const std::string& aWhat, int64_t aAddress = -1) {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<Heard> out;
        for (const Heard& h : heard)
            if (h.what == aWhat && (aAddress < 0 || h.address == aAddress)) out.push_back(h);
        return out;
    }
    bool Until(const std::string& aWhat, size_t aCount) {
        auto enough = [&] { return size_t(std::count_if(heard.begin(), heard.end(), [&](auto& h) { return h.what == aWhat; })) >= aCount; };
        std::unique_lock<std::mutex> guarded(lock);
        return wake.wait_for(guarded, kGuard, enough);
    }
    void Release() {
        std::lock_guard<std::mutex> guard(lock);
        hold = false;
        wake.notify_all();
    }
    std::mutex lock;
    std::condition_variable wake;
    std::vector<Heard> heard;
    bool toss = false, leave = false, hold = false;
    Recorder* evict = nullptr;   // another sink that OnEvent unregisters
    uint32_t left = 0xFFFF;
};

// A sink of the adapter's own; it may throw, or leave from inside its callback.
struct Generic : ITqDeviceEventSink {
    void OnEvent(ITqDeviceAdapter* aDevice, uint16_t aId, uint16_t, uint64_t, uint64_t, const void*, uint32_t aLength) override {
        from = aDevice, id = aId, length = aLength, ++calls;
        if (leave) left = aDevice->UnregisterEventSink(this).GetCode();
        if (toss) throw 42;
    }
    ITqDeviceAdapter* from = nullptr;
    uint16_t id = 0;
    uint32_t length = 0, left = 0xFFFF;
    std::atomic<int> calls{0};
    bool leave = false, toss = false;
};

class DeviceAdapter : public Balanced {
protected:
    DeviceAdapter() : Balanced({"TqDevice", "TqDeviceAdapter", "TqGenParameterArray", "TqGenParameter", "TqGenParameterList"}) {}
};

}  // namespace

TEST_F(DeviceAdapter, NodeQueriesAndValuesGiveTheNodeMapsAnswers) {
    Rig rig;
    TqDeviceAdapter a(rig.device);
    EXPECT_TRUE(a.IsGenIntegerInNodeMap("Width") && a.IsGenEnumInNodeMap("PixelFormat") &&
                a.IsGenBooleanInNodeMap("AcquisitionFrameRateEnable"));
    EXPECT_FALSE(a.IsGenIntegerInNodeMap("PixelFormat") || a.IsGenEnumInNodeMap("Nothing") || a.IsGenRegisterInNodeMap("Width"));
    EXPECT_TRUE(!a.IsGenReadable("AcquisitionStopReg") && a.IsGenWritable("AcquisitionStopReg"));
    EXPECT_TRUE(a.IsGenEnumEntryAvailable("PixelFormat", "RGB8") && !a.IsGenEnumEntryAvailable("PixelFormat", "Mono12"));
    int64_t width = 0;
    EXPECT_CODE(a.GetGenIntegerValue("Width", width), TQ_OK);
    EXPECT_EQ(width, 64);
    EXPECT_CODE(a.GetGenIntegerValue("PixelFormat", width), TQ_NOT_FOUND);
    EXPECT_CODE(a.GetGenIntegerValue("AcquisitionStopReg", width), TQ_STATE_ERROR);   // write-only
    TqStringList entries;
    EXPECT_CODE(a.GetGenEnumEntriesAvailable("PixelFormat", entries), TQ_OK);
    EXPECT_TRUE(entries.GetSize() == 4 && entries.GetItem(0) == "Mono8" && entries.GetItem(3) == "BayerRG8");
    TqString entry, vendor;
    uint32_t format = 0;
    EXPECT_CODE(a.SetGenEnumValue("PixelFormat", "Mono16"), TQ_OK);
    EXPECT_CODE(a.GetGenEnumValue("PixelFormat", entry), TQ_OK);
    rig.engine->ReadRegister(Reg::kPixelFormat, format);
    EXPECT_TRUE(entry == "Mono16" && format == Pfnc::kMono16);
    EXPECT_CODE(a.SetGenEnumValue("PixelFormat", "Mono12"), TQ_INVALID_PARAMETER);
    bool on = false;
    EXPECT_CODE(a.SetGenBooleanValue("AcquisitionFrameRateEnable", true), TQ_OK);
    EXPECT_CODE(a.GetGenBooleanValue("AcquisitionFrameRateEnable", on), TQ_OK);
    EXPECT_TRUE(on);
    EXPECT_CODE(a.SetGenBooleanValue("Width", true), TQ_NOT_FOUND);
    EXPECT_CODE(a.GetGenStringValue("DeviceVendorName", vendor), TQ_OK);
    EXPECT_TRUE(vendor == "Kivo Sim");
    EXPECT_CODE(a.GetGenStringValue("Width", vendor), TQ_NOT_FOUND);
}

TEST_F(DeviceAdapter, ByteTransfersAreRefusedWithoutTouchingAByte) {
    Rig rig(kEventXml);
    TqDeviceAdapter a(rig.device);
    int64_t length = 0;
    EXPECT_CODE(a.GetGenRegisterLength("UserBytes", length), TQ_OK);
    EXPECT_EQ(length, 16);
    const uint8_t name[17] = "renamed-camera!!";
    uint8_t buffer[24], held[16];
    EXPECT_CODE(a.SetGenRegisterData("UserBytes", name, 16), TQ_OK);
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_CODE(a.GetGenRegisterData("UserBytes", buffer, 8), TQ_OK);   // the first 8 bytes only
    EXPECT_EQ(std::memcmp(buffer, name, 8), 0);
    std::memset(buffer, 0xEE, 8);
    for (int64_t bad : {int64_t(17), int64_t(-1)}) {
        EXPECT_CODE(a.GetGenRegisterData("UserBytes", buffer, bad), TQ_INVALID_PARAMETER);
        EXPECT_CODE(a.SetGenRegisterData("UserBytes", buffer, bad), TQ_INVALID_PARAMETER);
        EXPECT_CODE(a.ReadMemory(buffer, Reg::kUserName, bad), TQ_INVALID_PARAMETER);
        EXPECT_CODE(a.WriteMemory(buffer, Reg::kUserName, bad), TQ_INVALID_PARAMETER);
    }
    EXPECT_CODE(a.GetGenRegisterData("UserBytes", nullptr, 4), TQ_INVALID_PARAMETER);
    EXPECT_CODE(a.SetGenRegisterData("UserBytes", nullptr, 4), TQ_INVALID_PARAMETER);
    EXPECT_CODE(a.ReadMemory(nullptr, Reg::kUserName, 4), TQ_INVALID_PARAMETER);
    EXPECT_CODE(a.WriteMemory(nullptr, Reg::kUserName, 4), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(std::all_of(buffer, buffer + 24, [](uint8_t b) { return b == 0xEE; }));
    rig.engine->ReadMemory(Reg::kUserName, held, 16);
    EXPECT_EQ(std::memcmp(held, name, 16), 0);   // no refused write reached the device
    EXPECT_CODE(a.SetGenRegisterData("VersionBytes", buffer, 4), TQ_STATE_ERROR);   // read-only
    EXPECT_CODE(a.GetGenRegisterLength("LineMode", length), TQ_NOT_FOUND);
    TqStringList modes;   // an entry that is not available is neither listed nor taken
    EXPECT_CODE(a.GetGenEnumEntriesAvailable("LineMode", modes), TQ_OK);
    EXPECT_TRUE(modes.GetSize() == 2 && !a.IsGenEnumEntryAvailable("LineMode", "Pulse"));
    EXPECT_CODE(a.SetGenEnumValue("LineMode", "Pulse"), TQ_INVALID_PARAMETER);
}

TEST_F(DeviceAdapter, RegistersMemoryKindsAndADisconnectedDevice) {
    Rig rig;
    TqDeviceAdapter a(rig.device);
    uint32_t value = 0;
    uint8_t bytes[16] = {};
    EXPECT_CODE(a.WriteRegister(Reg::kUserName, 0x41424344), TQ_OK);
    EXPECT_CODE(a.ReadMemory(bytes, Reg::kUserName, 16), TQ_OK);
    EXPECT_EQ(std::memcmp(bytes, "ABCD", 4), 0);   // big-endian on the device
    EXPECT_CODE(a.ReadRegister(Reg::kWidth + 2, value), TQ_INVALID_PARAMETER);
    EXPECT_CODE(a.ReadMemory(bytes, Reg::kUserName, 6), TQ_INVALID_PARAMETER);
    EXPECT_CODE(a.ReadMemory(bytes, 0x20000000, 16), TQ_INVALID_ADDRESS);   // no memory there
    EXPECT_CODE(a.WaitForMessagingChannelIdle(1000), TQ_OK);
    TqString id;
    EXPECT_CODE(a.GetUniqueID(id), TQ_OK);
    EXPECT_TRUE(id == "gev:02:4b:49:00:00:01");
    EXPECT_TRUE(a.IsConnected() && a.IsGigEVision() && !a.IsUSB3Vision() && !a.IsZelvraPowered());
    EXPECT_CODE(rig.device->Disconnect(), TQ_OK);
    int64_t width = 0;
    EXPECT_FALSE(a.IsConnected() || a.IsGenIntegerInNodeMap("Width"));
    EXPECT_CODE(a.GetGenIntegerValue("Width", width), TQ_NOT_CONNECTED);
    EXPECT_CODE(a.RegisterGenInvalidator("Width"), TQ_NOT_CONNECTED);
    EXPECT_CODE(a.ReadRegister(Reg::kWidth, value), TQ_NOT_CONNECTED);
    EXPECT_CODE(a.WaitForMessagingChannelIdle(10), TQ_NOT_CONNECTED);
    EXPECT_CODE(a.GetUniqueID(id), TQ_INVALID_PARAMETER);
    EXPECT_CODE(TqDeviceAdapter(nullptr).WriteRegister(0, 0), TQ_NOT_CONNECTED);

    // The other kinds: registers as big-endian memory words, since they have no register commands.
    TqSimulation::AddHardware();
    const TqDeviceInfo* zelvra = nullptr;
    for (TqInterface* i : TqSimulation::Interfaces())
        if (i->GetName() == "zel0") zelvra = i->GetDeviceInfo(0);
    TqDevice* kinds[2] = {TqDevice::CreateAndConnect(zelvra, nullptr), TqDevice::CreateAndConnect("4B4956000417", nullptr)};
    for (int i = 0; i < 2; ++i) {
        ASSERT_NE(kinds[i], nullptr);
        TqDeviceAdapter k(kinds[i]);
        EXPECT_TRUE(k.IsZelvraPowered() == (i == 0) && k.IsUSB3Vision() == (i == 1) && !k.IsGigEVision());
        EXPECT_CODE(k.WriteRegister(Reg::kWidth, 320), TQ_OK);
        EXPECT_CODE(k.ReadRegister(Reg::kWidth, value), TQ_OK);
        EXPECT_CODE(k.GetGenIntegerValue("Width", width), TQ_OK);
        EXPECT_TRUE(value == 320 && width == 320);
    }
    for (TqDevice* d : kinds) TqDevice::Free(d);
    TqSimulation::RemoveHardware();
}

TEST_F(DeviceAdapter, InvalidatorsHearWritesAndEventsAndGoWithTheAdapter) {
    Rig rig;
    Recorder recorder;
    rig.device->RegisterEventSink(&recorder);
    auto a = std::make_unique<TqDeviceAdapter>(rig.device);
    EXPECT_CODE(a->RegisterGenInvalidator("Width"), TQ_OK);
    EXPECT_CODE(a->RegisterGenInvalidator("Width"), TQ_STATE_ERROR);
    EXPECT_CODE(a->RegisterGenInvalidator("Nothing"), TQ_NOT_FOUND);
    EXPECT_CODE(a->RegisterGenInvalidator("EventFrameEndFrameID"), TQ_OK);
    rig.parameters->SetIntegerValue("Width", 32);
    rig.Fire(kFrameEndEventId, Be64(7, 8));
    ASSERT_TRUE(recorder.Until("genicam", 1));
    EXPECT_EQ(a->GetParameterUpdates(), (std::vector<std::string>{"Width", "EventFrameEndFrameID"}));
    EXPECT_CODE(a->UnregisterGenInvalidator("Width"), TQ_OK);
    EXPECT_CODE(a->UnregisterGenInvalidator("Width"), TQ_NOT_FOUND);
    rig.parameters->SetIntegerValue("Width", 48);
    EXPECT_EQ(a->GetParameterUpdates().size(), 2u);
    // Gone while registered with the device and a feature: nothing dangles behind it.
    ASSERT_CODE(rig.device->RegisterEventSink(static_cast<TqDeviceEventSink*>(a.get())), TQ_OK);
    a.reset();
    EXPECT_TRUE(rig.parameters->Get("EventFrameEndFrameID")->GetEventSinks().empty());
    rig.Fire(kFrameEndEventId, Be64(9, 10));
    EXPECT_TRUE(recorder.Until("genicam", 2));
    rig.device->UnregisterEventSink(&recorder);
}

TEST_F(DeviceAdapter, EventsCarryTheirDataAndTheirPortsFeaturesReadIt) {
    Rig rig;
    Recorder recorder;
    ASSERT_CODE(rig.device->RegisterEventSink(&recorder), TQ_OK);
    int64_t value = 0;
    EXPECT_CODE(rig.parameters->GetIntegerValue("EventFrameEndFrameID", value), TQ_STATE_ERROR);   // none yet
    rig.Fire(kFrameEndEventId, Be64(0x1122334455667788, 0x0102030405060708));
    rig.Fire(0x1234, {}, 77, 2);   // no data, no event port
    ASSERT_TRUE(recorder.Until("event", 2));
    ASSERT_CODE(rig.device->WaitForMessagingChannelIdle(10000), TQ_OK);
    auto events = recorder.Of("event");
    auto genicam = recorder.Of("genicam");
    ASSERT_EQ(genicam.size(), 1u);
    EXPECT_TRUE(events[0].id == kFrameEndEventId && events[0].channel == 0xFFFF && events[0].block == 0);
    EXPECT_EQ(events[0].bytes, Be64(0x1122334455667788, 0x0102030405060708));   // as the device sent them
    EXPECT_TRUE(events[1].id == 0x1234 && events[1].channel == 2 && events[1].block == 77 && !events[1].pointer);
    EXPECT_TRUE(events[0].thread != std::this_thread::get_id() && genicam[0].thread == events[0].thread);
    EXPECT_EQ(genicam[0].values, (std::map<std::string, int64_t>{{"EventFrameEndFrameID", 0x1122334455667788},
                                                                   {"EventFrameEndTimestamp", 0x0102030405060708}}));
    EXPECT_CODE(rig.parameters->GetIntegerValue("EventFrameEndTimestamp", value), TQ_OK);   // after the callback
    EXPECT_EQ(value, 0x0102030405060708);
    // Each event's data is a block of its own: held past the callback (as a view holds it), it keeps
    // that event's bytes whatever arrives later.
    ASSERT_TRUE(events[0].held);
    rig.Fire(kFrameEndEventId, Be64(1, 2));
    ASSERT_TRUE(recorder.Until("genicam", 2));
    rig.device->WaitForMessagingChannelIdle(10000);
    const auto* kept = static_cast<const uint8_t*>(events[0].pointer);
    EXPECT_EQ(std::vector<uint8_t>(kept, kept + 16), events[0].bytes);
    rig.device->UnregisterEventSink(&recorder);
}

TEST_F(DeviceAdapter, EventPortsOfADescriptionOfOurOwn) {
    Rig rig(kEventXml);
    Recorder recorder;
    rig.device->RegisterEventSink(&recorder);
    TqDeviceAdapter a(rig.device);
    EXPECT_TRUE(a.IsGenReadable("LineValue") && !a.IsGenWritable("LineValue"));
    rig.Fire(0xA001, {0x01, 0x02, 0x03, 0x04, 0xCD, 0xAB, 0x00, 0x00}, 5, 1);
    ASSERT_TRUE(recorder.Until("genicam", 1));
    auto genicam = recorder.Of("genicam");
    EXPECT_TRUE(genicam[0].id == 0xA001 && genicam[0].channel == 1 && genicam[0].block == 5);
    EXPECT_EQ(genicam[0].values, (std::map<std::string, int64_t>{{"LineValue", 0x01020304}, {"LineCount", 0x01020304},
                                                                   {"LineDoubled", 0x02040608}, {"LineLow", 0xCD}, {"LineHigh", 0xAB}}));
    rig.Fire(0xA001, {0, 0, 0, 9, 0, 0, 0, 0});   // read again, not from a cache
    ASSERT_TRUE(recorder.Until("genicam", 2));
    int64_t value = 0;
    EXPECT_CODE(a.GetGenIntegerValue("LineCount", value), TQ_OK);
    EXPECT_EQ(value, 9);
    EXPECT_CODE(rig.parameters->SetIntegerValue("LineValue", 1), TQ_STATE_ERROR);
    EXPECT_CODE(rig.parameters->GetIntegerValue("OtherValue", value), TQ_STATE_ERROR);   // its ID never came
    uint8_t version[4], read[4];
    rig.engine->ReadMemory(Reg::kVersion, version, 4);
    EXPECT_CODE(a.GetGenRegisterData("VersionBytes", read, 4), TQ_OK);   // address 0 of the device itself
    EXPECT_EQ(std::memcmp(read, version, 4), 0);
    // The description the device keeps is the one it was served.
    const std::string path = ::testing::TempDir() + "event_ports.xml";
    ASSERT_CODE(rig.device->DumpGenICamXML(path.c_str()), TQ_OK);
    std::stringstream dumped;
    dumped << std::ifstream(path).rdbuf();
    EXPECT_EQ(dumped.str(), rig.engine->Xml());
    std::remove(path.c_str());
    rig.device->UnregisterEventSink(&recorder);
}

TEST_F(DeviceAdapter, CommandLinkCallbacksFollowSuccessfulPortAccessesOnly) {
    Rig rig;
    Recorder recorder;
    TqDeviceAdapter a(rig.device);
    rig.device->RegisterEventSink(&recorder);
    rig.parameters->InvalidateCache();
    int64_t width = 0;
    EXPECT_CODE(a.GetGenIntegerValue("Width", width), TQ_OK);
    EXPECT_CODE(rig.parameters->SetIntegerValue("Width", 320), TQ_OK);
    std::thread([&] { rig.parameters->GetIntegerValue("Height", width); }).join();
    const auto reads = recorder.Of("read"), writes = recorder.Of("write");
    ASSERT_EQ(recorder.Of("read", Reg::kWidth).size(), 1u);
    ASSERT_EQ(recorder.Of("write", Reg::kWidth).size(), 1u);
    ASSERT_EQ(recorder.Of("read", Reg::kHeight).size(), 1u);
    EXPECT_EQ(recorder.Of("read", Reg::kWidth)[0].bytes, (std::vector<uint8_t>{0, 0, 0, 64}));   // as on the wire
    EXPECT_EQ(recorder.Of("read", Reg::kWidth)[0].thread, std::this_thread::get_id());
    EXPECT_EQ(recorder.Of("write", Reg::kWidth)[0].bytes, (std::vector<uint8_t>{0, 0, 1, 0x40}));
    EXPECT_NE(recorder.Of("read", Reg::kHeight)[0].thread, std::this_thread::get_id());   // the reading thread
    // Direct accesses, and a port access the device refuses, call nothing.
    uint8_t bytes[4] = {};
    uint32_t value = 0;
    rig.device->ReadMemory(Reg::kWidth, bytes, 4);
    rig.device->WriteMemory(Reg::kUserName, bytes, 4);
    a.ReadRegister(Reg::kWidth, value);
    a.WriteRegister(Reg::kUserName, 5);
    Faults faults;
    faults.readStatus = Gvcp::kAccessDenied;
    faults.begin = Reg::kWidth;
    faults.end = Reg::kWidth + 4;
    rig.engine->SetFaults(faults);
    rig.parameters->InvalidateCache();
    EXPECT_TRUE(a.GetGenIntegerValue("Width", width).IsFailure());
    rig.engine->SetFaults(Faults());
    EXPECT_EQ(recorder.Of("read", Reg::kWidth).size(), 1u);
    EXPECT_EQ(recorder.Of("write").size(), writes.size());
    rig.device->UnregisterEventSink(&recorder);
}

TEST_F(DeviceAdapter, TheAdapterForwardsDeviceEventsToItsOwnSinks) {
    Rig rig;
    TqDeviceAdapter a(rig.device);
    Generic first, second, stranger;
    Recorder recorder;
    EXPECT_CODE(a.RegisterEventSink(nullptr), TQ_INVALID_PARAMETER);
    EXPECT_CODE(a.RegisterEventSink(&first), TQ_OK);
    EXPECT_CODE(a.RegisterEventSink(&first), TQ_GENERIC_ERROR);
    EXPECT_CODE(a.RegisterEventSink(&second), TQ_OK);
    EXPECT_CODE(a.UnregisterEventSink(&stranger), TQ_NOT_FOUND);
    first.toss = true;    // a throwing sink keeps nobody else from hearing
    second.leave = true;  // a sink may leave from inside its callback
    ASSERT_CODE(rig.device->RegisterEventSink(static_cast<TqDeviceEventSink*>(&a)), TQ_OK);
    rig.device->RegisterEventSink(&recorder);
    rig.Fire(0x4321, {1, 2, 3, 4});
    rig.Fire(0x4322);
    ASSERT_TRUE(recorder.Until("event", 2));
    EXPECT_TRUE(first.calls == 2 && first.id == 0x4322 && second.calls == 1 && second.left == TQ_OK);
    EXPECT_TRUE(second.from == static_cast<ITqDeviceAdapter*>(&a) && second.id == 0x4321 && second.length == 4);
    EXPECT_CODE(a.UnregisterEventSink(&first), TQ_OK);
    rig.device->UnregisterEventSink(&recorder);
    rig.device->UnregisterEventSink(static_cast<TqDeviceEventSink*>(&a));
}

TEST_F(DeviceAdapter, SinksThatThrowLeaveOrHoldTheirCallbacks) {
    Rig rig;
    Recorder thrower, recorder, leaver, evicted, holder;
    thrower.toss = leaver.leave = holder.hold = true;
    leaver.evict = &evicted;
    EXPECT_CODE(rig.device->RegisterEventSink(nullptr), TQ_INVALID_PARAMETER);
    rig.device->RegisterEventSink(&thrower);
    EXPECT_CODE(rig.device->RegisterEventSink(&thrower), TQ_GENERIC_ERROR);
    rig.device->RegisterEventSink(&recorder);
    rig.Fire(kFrameEndEventId, Be64(1, 2));
    ASSERT_TRUE(recorder.Until("genicam", 1));
    rig.parameters->InvalidateCache();
    int64_t width = 0;
    EXPECT_CODE(rig.parameters->GetIntegerValue("Width", width), TQ_OK);   // the access stands
    EXPECT_FALSE(recorder.Of("read").empty());
    EXPECT_CODE(rig.device->UnregisterEventSink(&thrower), TQ_OK);
    EXPECT_CODE(rig.device->UnregisterEventSink(&thrower), TQ_NOT_FOUND);
    EXPECT_TRUE(thrower.Of("event").size() == 1 && thrower.Of("genicam").size() == 1);

    // Leaving from inside a callback returns at once, and a sink made to leave there is not called
    // after it; leaving from elsewhere waits for the callback under way.
    rig.device->RegisterEventSink(&leaver);
    rig.device->RegisterEventSink(&evicted);
    rig.device->RegisterEventSink(&holder);
    rig.Fire(0x0101);
    ASSERT_TRUE(leaver.Until("event", 1));
    EXPECT_CODE(rig.device->WaitForMessagingChannelIdle(1), TQ_TIMEOUT);   // the holder holds
    auto leaving = std::async(std::launch::async, [&] {
        uint32_t code = rig.device->UnregisterEventSink(&holder).GetCode();
        return std::make_pair(code, holder.Of("event").size());
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));   // lets a wrong unregistration return early
    holder.Release();
    EXPECT_EQ(leaving.get(), std::make_pair(uint32_t(TQ_OK), size_t(1)));
    EXPECT_TRUE(leaver.left == TQ_OK && evicted.heard.empty());
    rig.Fire(0x0102);   // the device carries on, without those that left
    ASSERT_TRUE(recorder.Until("event", 3));
    EXPECT_EQ(leaver.Of("event").size(), 1u);
    rig.device->UnregisterEventSink(&recorder);
}

TEST_F(DeviceAdapter, TheLinkIsLostOnceAndNeverRegained) {
    Rig rig;
    Recorder recorder;
    rig.device->RegisterEventSink(&recorder);
    TqGenParameterArray* settings = rig.device->GetCommunicationParameters();
    for (auto [name, value] : {std::pair{"AnswerTimeout", 20}, {"CommandRetryCount", 0}, {"HeartbeatInterval", 20},
                               {"HeartbeatMaxRetryCount", 1}})
        ASSERT_CODE(settings->SetIntegerValue(name, value), TQ_OK);
    rig.engine->SetLinkUp(false);
    ASSERT_TRUE(recorder.Until("disconnected", 1));
    EXPECT_NE(recorder.Of("disconnected")[0].thread, std::this_thread::get_id());
    rig.engine->SetLinkUp(true);
    EXPECT_CODE(rig.device->Disconnect(), TQ_OK);   // its threads are gone: nothing more can come
    EXPECT_EQ(recorder.Of("disconnected").size(), 1u);
    EXPECT_TRUE(recorder.Of("reconnected").empty());
}
