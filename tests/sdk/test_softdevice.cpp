// The software device (library TqVirtualDevice64) over the device engine: its states and refusals,
// the start sequence with recording sinks and sources (order, thread, buffers, failures undone), its
// GenICam description, its interfaces, and Stop or destruction from its own callbacks.
#include "TqGenParameter.h"
#include "TqGenParameterArray.h"
#include "TqGvcpClient.h"
#include "TqImage.h"
#include "TqSoftDeviceAccess.h"
#include "TqSoftDeviceGEV.h"
#include "engine_helpers.h"
#include "soft_recorders.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <chrono>
#include <thread>

using namespace KivoSoftTest;
namespace Reg = TqEngine::Reg;

namespace {

constexpr const char* kLoopback = "00:00:00:00:00:00";
constexpr uint32_t kPayloadSizeRegister = 0x32000000;

std::string Why(const TqResult& aResult) { return Text(aResult.GetDescription()); }

std::string Xml(const TqSoftDeviceGEV& aDevice) {
    TqString xml;
    EXPECT_TRUE(aDevice.GetGenICamXMLFile(xml).IsOK());
    return Text(xml);
}

// The operations of a journal, with the ones named dropped.
std::vector<std::string> Operations(const Journal& aJournal, const std::vector<std::string>& aDropped = {}) {
    std::vector<std::string> out;
    for (const Call& c : aJournal.Calls()) {
        const std::string op = c.operation.substr(c.operation.find('.') + 1);
        if (std::find(aDropped.begin(), aDropped.end(), op) == aDropped.end())
            out.push_back(c.operation + (c.arguments.empty() ? "" : "(" + c.arguments + ")"));
    }
    return out;
}

bool Listed(uint32_t aAddress) {
    for (const TqEngine::DeviceRecord& r : TqEngine::RunningDevices())
        if (r.address == aAddress) return true;
    return false;
}

// Device memory through the control protocol, as a controller sees it.
struct GvcpPort : TqGenICamLib::IPort {
    // A controller: it holds the control privilege.
    explicit GvcpPort(uint32_t aAddress) {
        EXPECT_TRUE(channel.Open(aAddress));
        EXPECT_EQ(channel.WriteRegister(Reg::kCcp, Reg::kCcpControl), 0);
    }
    TqResult Read(uint64_t aAddress, void* aData, uint64_t aSize) override {
        return Result(channel.ReadMemory(uint32_t(aAddress), static_cast<uint8_t*>(aData), aSize));
    }
    TqResult Write(uint64_t aAddress, const void* aData, uint64_t aSize) override {
        return Result(channel.WriteMemory(uint32_t(aAddress), static_cast<const uint8_t*>(aData), aSize));
    }
    static TqResult Result(uint16_t aStatus) { return TqResult(aStatus ? TQ_GENERIC_ERROR : TQ_OK); }
    TqGvcpClient::Channel channel;
};

// A sink that runs a step of the test inside one of its notifications.
struct ActingSink : ITqSoftDeviceGEVEventSink {
    std::function<void(ITqSoftDeviceGEV*)> onRegisters, onConnect, onDisconnect;
    void OnCreateCustomRegisters(ITqSoftDeviceGEV* aDevice, ITqRegisterFactory*) override {
        if (onRegisters) onRegisters(aDevice);
    }
    void OnApplicationConnect(ITqSoftDeviceGEV* aDevice, const TqString&, uint16_t, TqAccessType) override {
        if (onConnect) onConnect(aDevice);
    }
    void OnApplicationDisconnect(ITqSoftDeviceGEV* aDevice) override {
        if (onDisconnect) onDisconnect(aDevice);
    }
};

// ---------------------------------------------------------------------------------------------
// States and refusals.

TEST(SoftDevice, StatesAndRefusalsFollowTheDevicesLife) {
    TqSoftDeviceGEV device;
    TqString xml;
    // Created: no interfaces, no XML, nothing to stop.
    EXPECT_EQ(device.GetInfo(), nullptr);
    EXPECT_EQ(device.GetRegisterMap(), nullptr);
    EXPECT_EQ(device.GetStatistics(), nullptr);
    EXPECT_EQ(device.GetMessagingChannel(), nullptr);
    EXPECT_EQ(device.GetGenICamXMLFile(xml).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(device.Stop().GetCode(), TQ_STATE_ERROR);

    // Streams: null refused, at most four.
    EXPECT_EQ(device.AddStream(nullptr).GetCode(), TQ_INVALID_PARAMETER);
    RecordingSource sources[5];
    for (int n = 0; n < 4; ++n) EXPECT_TRUE(device.AddStream(&sources[n]).IsOK());
    const TqResult fifth = device.AddStream(&sources[4]);
    EXPECT_EQ(fifth.GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_FALSE(Why(fifth).empty());

    EXPECT_EQ(device.SetUserSetCount(257).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(device.SetUserSetCount(256).IsOK());
    EXPECT_TRUE(device.SetTCPTransportEnabled(true).IsOK());
    EXPECT_TRUE(device.SetRTPProtocolEnabled(true).IsOK());
    EXPECT_TRUE(device.SetStreamTimestamping(false).IsOK());
    EXPECT_TRUE(device.SetUserSetNotify(nullptr).IsOK());
    EXPECT_TRUE(device.SetActionHandler(nullptr).IsOK());

    // Sinks: each once, null refused, only registered ones removed.
    RecordingSink sink, stranger;
    EXPECT_EQ(device.RegisterEventSink(nullptr).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(device.RegisterEventSink(&sink).IsOK());
    EXPECT_EQ(device.RegisterEventSink(&sink).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(device.UnregisterEventSink(nullptr).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(device.UnregisterEventSink(&stranger).GetCode(), TQ_INVALID_PARAMETER);

    // Running: interfaces and XML; what belongs before the start is refused.
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    EXPECT_NE(device.GetInfo(), nullptr);
    EXPECT_NE(device.GetRegisterMap(), nullptr);
    EXPECT_NE(device.GetStatistics(), nullptr);
    EXPECT_NE(device.GetMessagingChannel(), nullptr);
    EXPECT_TRUE(device.GetGenICamXMLFile(xml).IsOK());
    EXPECT_EQ(device.Start(kLoopback).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(device.AddStream(&sources[4]).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(device.SetUserSetCount(1).GetCode(), TQ_STATE_ERROR);
    // The map's lock is recursive: its holder locks it again, another thread times out.
    ITqRegisterMap* held = device.GetRegisterMap();
    EXPECT_TRUE(held->Lock(10).IsOK());
    EXPECT_TRUE(held->Lock(10).IsOK());
    std::thread([&] { EXPECT_EQ(held->Lock(10).GetCode(), TQ_TIMEOUT); }).join();
    held->Release();
    held->Release();

    // Stopped: as created, but the XML stays; a sink may go.
    ITqRegisterMap* map = device.GetRegisterMap();
    ASSERT_TRUE(device.Stop().IsOK());
    EXPECT_EQ(device.GetInfo(), nullptr);
    EXPECT_EQ(device.GetStatistics(), nullptr);
    EXPECT_EQ(map->Lock().GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(device.Stop().GetCode(), TQ_STATE_ERROR);
    EXPECT_TRUE(device.GetGenICamXMLFile(xml).IsOK());
    EXPECT_EQ(Text(xml), Xml(device));
    EXPECT_TRUE(device.UnregisterEventSink(&sink).IsOK());
}

TEST(SoftDevice, StartNamesTheLoopbackInterfaceByItsMacAddressInAnyForm) {
    for (const char* mac : {"00:00:00:00:00:00", "00-00-00-00-00-00", "00.00.00.00.00.00"}) {
        TqSoftDeviceGEV device;
        EXPECT_TRUE(device.Start(mac).IsOK()) << mac;
        EXPECT_TRUE(device.Stop().IsOK());
    }
    for (const char* mac : {"", "00:00:00:00:00", "00:00:00:00:00:00:00", "00:00-00:00:00:00", "0g:00:00:00:00:00",
                            "02:4b:49:00:00:01", "lo", "000000000000"}) {
        TqSoftDeviceGEV device;
        const TqResult started = device.Start(mac);
        EXPECT_EQ(started.GetCode(), TQ_INVALID_PARAMETER) << mac;
        EXPECT_NE(Why(started).find(mac), std::string::npos) << Why(started);
        // A failed start leaves the description of the device without its streams.
        TqString xml;
        EXPECT_TRUE(device.GetGenICamXMLFile(xml).IsOK()) << "after the start of " << mac;
        EXPECT_NE(std::string(xml.GetAscii()).find("<Category Name=\"DeviceControl\""), std::string::npos);
    }
    TqSoftDeviceGEV never;
    TqString none;
    EXPECT_EQ(never.GetGenICamXMLFile(none).GetCode(), TQ_STATE_ERROR);   // until a start
}

TEST(SoftDevice, EachDeviceHasItsOwnLocallyAdministeredMacAddress) {
    TqSoftDeviceGEV one, two;
    ASSERT_TRUE(one.Start(kLoopback).IsOK());
    ASSERT_TRUE(two.Start(kLoopback).IsOK());
    uint32_t high[2], low[2];
    for (int n = 0; n < 2; ++n) {
        auto engine = TqSoftDevice::EngineOf(n ? &two : &one);
        ASSERT_TRUE(engine);
        engine->ReadRegister(Reg::kMacHigh, high[n]);
        engine->ReadRegister(Reg::kMacLow, low[n]);
        EXPECT_EQ((high[n] >> 8) & 0x03, 0x02u) << "locally administered, unicast";
    }
    EXPECT_NE(std::make_pair(high[0], low[0]), std::make_pair(high[1], low[1]));
    EXPECT_NE(TqSoftDevice::EngineOf(&one)->Address(), TqSoftDevice::EngineOf(&two)->Address());
}

// A restart runs the sequence again on a fresh engine device: same MAC address, identity from its
// defaults, the callbacks asked again.
TEST(SoftDevice, ARestartRunsTheSequenceAgainOnAFreshEngineDevice) {
    TqSoftDeviceGEV device;
    RecordingSink sink;
    RecordingSource source;
    device.RegisterEventSink(&sink);
    device.AddStream(&source);
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    const auto first = TqSoftDevice::EngineOf(&device);
    uint32_t mac = 0;
    first->ReadRegister(Reg::kMacLow, mac);
    ASSERT_TRUE(device.GetInfo()->SetModelName("Changed").IsOK());
    ASSERT_TRUE(device.Stop().IsOK());
    EXPECT_FALSE(first->IsRunning());
    EXPECT_EQ(TqSoftDevice::EngineOf(&device), nullptr);

    ASSERT_TRUE(device.Start("00-00-00-00-00-00").IsOK());
    const auto second = TqSoftDevice::EngineOf(&device);
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    uint32_t again = 0;
    second->ReadRegister(Reg::kMacLow, again);
    EXPECT_EQ(again, mac);
    EXPECT_EQ(Text(device.GetInfo()->GetModelName()), "SoftDeviceGEV");
    EXPECT_EQ(sink.GetJournal()->Count("sink.OnCreateCustomRegisters"), 2u);
    EXPECT_EQ(sink.GetJournal()->Count("sink.OnControlChannelStart"), 2u);
    EXPECT_EQ(source.GetJournal()->Count("source.AllocBuffer"), 2 * (source.GetOptions().buffers + 1));
    ASSERT_TRUE(device.Stop().IsOK());
    EXPECT_EQ(source.Freed().size(), 2 * source.GetOptions().buffers);
    for (const auto& [buffer, times] : source.Freed()) EXPECT_EQ(times, 1);
}

// ---------------------------------------------------------------------------------------------
// The start sequence.

TEST(SoftDevice, TheSequenceRunsInItsOrderOnTheCallingThread) {
    auto journal = std::make_shared<Journal>();
    Options custom;
    custom.pixelTypes = {TqPixelMono8, TqPixelBayerRG8};
    custom.chunks = {{7, "ChunkGain"}};
    RecordingSink sink0("sink0", {}, journal), sink1("sink1", {}, journal);
    RecordingSource source0("source0", custom, journal), source1("source1", {}, journal);
    TqSoftDeviceGEV device;
    device.RegisterEventSink(&sink0);
    device.RegisterEventSink(&sink1);
    device.AddStream(&source0);
    device.AddStream(&source1);
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    const std::string address = TqEngine::FormatAddress(TqSoftDevice::EngineOf(&device)->Address());

    const auto queries = [](const std::string& s, int aTypes, int aChunks) {
        std::vector<std::string> out;
        for (int n = 0; n <= aTypes; ++n) out.push_back(s + ".GetSupportedPixelType(" + std::to_string(n) + ")");
        for (int n = 0; n <= aChunks; ++n) out.push_back(s + ".GetSupportedChunk(" + std::to_string(n) + ")");
        out.insert(out.end(), {s + ".GetGevSCPSPacketSizeInfo", s + ".GetWidthInfo", s + ".GetHeightInfo",
                               s + ".IsPayloadTypeSupported(10)", s + ".GetWidth", s + ".GetHeight", s + ".GetOffsetX",
                               s + ".GetOffsetY", s + ".GetPixelType"});
        return out;
    };
    std::vector<std::string> expected = {
        "sink0.OnCreateCustomRegisters(factory)",       "sink1.OnCreateCustomRegisters(factory)",
        "source0.CreateRegisters(map factory)",         "source1.CreateRegisters(map factory)",
        "sink0.OnCreateCustomGenApiFeatures(factory)",  "sink1.OnCreateCustomGenApiFeatures(factory)",
        "source0.CreateGenApiFeatures(map factory)",    "source1.CreateGenApiFeatures(map factory)"};
    for (const auto& q : queries("source0", 2, 1)) expected.push_back(q);
    for (const auto& q : queries("source1", 2, 0)) expected.push_back(q);
    for (const char* s : {"source0", "source1"})
        for (int n = 0; n < 4; ++n) expected.push_back(std::string(s) + ".AllocBuffer");
    // The user sets take the start's image format from the sources (the factory set, then as started).
    for (int round = 0; round < 2; ++round)
        for (const char* s : {"source0", "source1"})
            for (const char* get : {".GetWidth", ".GetHeight", ".GetOffsetX", ".GetOffsetY", ".GetPixelType"})
                expected.push_back(std::string(s) + get);
    for (const char* s : {"sink0", "sink1"})
        expected.push_back(std::string(s) + ".OnControlChannelStart(00.00.00.00.00.00 " + address +
                           " 255.0.0.0 0.0.0.0 3956)");
    EXPECT_EQ(Operations(*journal), expected);
    for (const Call& c : journal->Calls()) EXPECT_EQ(c.thread, ThreadId()) << c.operation;

    // Stop: each sink told, each buffer back once, on the calling thread.
    const uint32_t bound = TqSoftDevice::EngineOf(&device)->Address();
    journal->Clear();
    ASSERT_TRUE(device.Stop().IsOK());
    EXPECT_EQ(Operations(*journal, {"FreeBuffer"}),
              (std::vector<std::string>{"sink0.OnControlChannelStop", "sink1.OnControlChannelStop"}));
    EXPECT_EQ(journal->Count("source0.FreeBuffer") + journal->Count("source1.FreeBuffer"), 6u);
    for (const RecordingSource* s : {&source0, &source1}) {
        EXPECT_EQ(s->Freed().size(), s->Made());
        for (const auto& [buffer, times] : s->Freed()) EXPECT_EQ(times, 1);
    }
    EXPECT_FALSE(Listed(bound)) << "nothing left bound";
}

TEST(SoftDevice, ASourceGivesAtMost64Buffers) {
    Options endless;
    endless.endlessBuffers = true;
    RecordingSource source("source", endless);
    TqSoftDeviceGEV device;
    device.AddStream(&source);
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    EXPECT_EQ(source.GetJournal()->Count("source.AllocBuffer"), 64u);
    ASSERT_TRUE(device.Stop().IsOK());
    const auto freed = source.Freed();
    EXPECT_EQ(freed.size(), 64u);
    for (const auto& [buffer, times] : freed) EXPECT_EQ(times, 1);
}

TEST(SoftDevice, EndlessListsFailTheStartWithoutAHang) {
    for (const bool chunks : {false, true}) {
        Options endless;
        (chunks ? endless.endlessChunks : endless.endlessPixelTypes) = true;
        RecordingSource source("source", endless);
        TqSoftDeviceGEV device;
        device.AddStream(&source);
        const TqResult started = device.Start(kLoopback);
        EXPECT_EQ(started.GetCode(), TQ_INVALID_PARAMETER);
        EXPECT_NE(Why(started).find(chunks ? "more than 256 chunks" : "more than 256 pixel types"), std::string::npos)
            << Why(started);
        EXPECT_EQ(source.GetJournal()->Count(chunks ? "source.GetSupportedChunk" : "source.GetSupportedPixelType"), 257u);
        EXPECT_EQ(device.GetInfo(), nullptr);
    }
}

// A start that fails at any step undoes what it did: the buffers go back once each, nothing stays
// bound, the device is as before; the XML is the whole one once the description was made, else
// the device's without its streams.
TEST(SoftDevice, AFailingStepUndoesTheStart) {
    struct Step {
        const char* failAt;
        bool inSink;
        bool described;
        size_t buffersBack;
    };
    const Step steps[] = {
        {"OnCreateCustomRegisters", true, false, 0}, {"CreateRegisters", false, false, 0},
        {"OnCreateCustomGenApiFeatures", true, false, 0}, {"CreateGenApiFeatures", false, false, 0},
        {"GetSupportedPixelType", false, false, 0},  {"GetWidthInfo", false, false, 0},
        {"AllocBuffer", false, true, 0},             {"OnControlChannelStart", true, true, 3},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.failAt);
        Options failing;
        failing.failAt = step.failAt;
        auto journal = std::make_shared<Journal>();
        RecordingSink good("good", {}, journal), sink("sink", step.inSink ? failing : Options{}, journal);
        RecordingSource source("source", step.inSink ? Options{} : failing, journal);
        TqSoftDeviceGEV device;
        device.RegisterEventSink(&good);
        device.RegisterEventSink(&sink);
        device.AddStream(&source);
        const TqResult started = device.Start(kLoopback);
        EXPECT_EQ(started.GetCode(), TQ_GENERIC_ERROR);
        EXPECT_NE(Why(started).find(std::string(step.failAt)), std::string::npos) << Why(started);
        EXPECT_NE(Why(started).find("fails as asked"), std::string::npos) << Why(started);
        EXPECT_EQ(device.GetInfo(), nullptr);
        EXPECT_EQ(TqSoftDevice::EngineOf(&device), nullptr);
        EXPECT_EQ(device.Stop().GetCode(), TQ_STATE_ERROR);
        EXPECT_EQ(source.Freed().size(), step.buffersBack);
        for (const auto& [buffer, times] : source.Freed()) EXPECT_EQ(times, 1);
        // The sink told of the start before the failure is told of the stop.
        EXPECT_EQ(journal->Count("good.OnControlChannelStop"), journal->Count("good.OnControlChannelStart"));
        const std::string xml = Xml(device);
        EXPECT_EQ(xml.find("PixelFormat") != std::string::npos, step.described);
        TqGenParameterArray parameters;   // loads, over memory of zeros
        EXPECT_TRUE(parameters.Load(xml.data(), xml.size(), TqGenParameterArray::SparseMemoryPort(uint64_t(1) << 32)).IsOK());
        EXPECT_NE(parameters.Get("DeviceModelName"), nullptr);
    }
}

TEST(SoftDevice, AnswersOutOfRuleFailTheStart) {
    struct Case {
        const char* what;
        std::function<void(Options&)> set;
    };
    const Case cases[] = {
        {"the same buffer twice", [](Options& o) { o.repeatBuffer = true; }},
        {"packet size maximum 70000", [](Options& o) { o.packetSizeMax = 70000; }},
        {"width limits", [](Options& o) { o.widthInc = 0; }},
        {"height limits", [](Options& o) { o.heightMin = 800; }},
        {"width 1020 at offset 8", [](Options& o) { o.width = 1020, o.offsetX = 8; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Options options;
        c.set(options);
        RecordingSource source("source", options);
        TqSoftDeviceGEV device;
        device.AddStream(&source);
        const TqResult started = device.Start(kLoopback);
        EXPECT_EQ(started.GetCode(), TQ_INVALID_PARAMETER);
        EXPECT_NE(Why(started).find(c.what), std::string::npos) << Why(started);
        for (const auto& [buffer, times] : source.Freed()) EXPECT_EQ(times, 1);
        EXPECT_EQ(source.Freed().size(), source.Made());
    }
}

// ---------------------------------------------------------------------------------------------
// The description.

TEST(SoftDevice, TheDescriptionHasTheHeaderAndTheStreamsTheSourcesTell) {
    Options first;
    first.pixelTypes = {TqPixelMono8, TqPixelRGB8, TqPixelRGBa16, static_cast<TqPixelType>(0x81080123)};
    first.packetSizeMax = 16000;
    Options second;
    second.widthMin = 32, second.widthInc = 8, second.width = 640;
    RecordingSource source0("source0", first), source1("source1", second);
    ActingSink sink;
    sink.onRegisters = [](ITqSoftDeviceGEV* aDevice) {
        ITqSoftDeviceGEVInfo* info = aDevice->GetInfo();
        ASSERT_NE(info, nullptr);
        EXPECT_TRUE(info->SetModelName("Model <&> One").IsOK());
        EXPECT_TRUE(info->SetGenICamXMLVersion(2, 3, 4).IsOK());
        EXPECT_TRUE(info->SetGenICamXMLGUIDs("0123abcd-0000-1111-2222-333344445555", "FEDCBA98-7654-3210-0000-0000000000AA").IsOK());
        EXPECT_TRUE(info->SetGenICamXMLRegDescVendorName("Vendor & Co").IsOK());
    };
    TqSoftDeviceGEV device;
    device.RegisterEventSink(&sink);
    device.AddStream(&source0);
    device.AddStream(&source1);
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    ITqSoftDeviceGEVInfo* info = device.GetInfo();
    EXPECT_EQ(info->SetGenICamXMLVersion(1, 0, 0).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(info->SetGenICamXMLGUIDs("0123abcd-0000-1111-2222-333344445555", "0123abcd-0000-1111-2222-333344445555").GetCode(),
              TQ_STATE_ERROR);

    const std::string xml = Xml(device);
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(xml.c_str()));
    const pugi::xml_node root = document.child("RegisterDescription");
    EXPECT_EQ(std::string(root.attribute("ModelName").value()), Text(info->GetGenICamXMLRegDescModelName()));
    EXPECT_EQ(std::string(root.attribute("ModelName").value()), "Model <&> One");
    EXPECT_EQ(std::string(root.attribute("VendorName").value()), Text(info->GetGenICamXMLRegDescVendorName()));
    EXPECT_EQ(std::string(root.attribute("ProductGuid").value()), Text(info->GetGenICamXMLProductGUID()));
    EXPECT_EQ(std::string(root.attribute("VersionGuid").value()), Text(info->GetGenICamXMLVersionGUID()));
    EXPECT_EQ(root.attribute("MajorVersion").as_int(), info->GetGenICamXMLVersionMajor());
    EXPECT_EQ(root.attribute("MinorVersion").as_int(), info->GetGenICamXMLVersionMinor());
    EXPECT_EQ(root.attribute("SubMinorVersion").as_int(), info->GetGenICamXMLVersionSubMinor());
    EXPECT_EQ(info->GetGenICamXMLVersionSubMinor(), 4);

    // No feature of the test pattern.
    for (const char* absent : {"AcquisitionFrameRate", "ExposureTime", "EventFrameEnd", "EventControl", "Serial0Status",
                               "SerialPortControl", "AcquisitionFramePeriod"})
        EXPECT_FALSE(root.find_child_by_attribute("Name", absent)) << absent;

    // The node map of a controller over the control protocol.
    const uint32_t address = TqSoftDevice::EngineOf(&device)->Address();
    TqGenParameterArray parameters;
    ASSERT_TRUE(parameters.Load(xml.data(), xml.size(), std::make_shared<GvcpPort>(address)).IsOK());
    TqString text;
    ASSERT_TRUE(parameters.GetStringValue("DeviceModelName", text).IsOK());
    EXPECT_EQ(Text(text), "Model <&> One");
    int64_t value = 0;
    TqGenEnum* pixelFormat = parameters.GetEnum("PixelFormat");
    ASSERT_NE(pixelFormat, nullptr);
    for (TqPixelType type : first.pixelTypes) {
        const TqGenEnumEntry* entry = nullptr;
        const std::string name = TqPixel::IsCustom(type) ? "PixelFormat_81080123" : Text(TqImage::PixelTypeToString(type));
        ASSERT_TRUE(pixelFormat->GetEntryByName(name.c_str(), &entry).IsOK()) << name;
        ASSERT_TRUE(pixelFormat->GetEntryByValue(int64_t(TqPixel::ToWire(type)), &entry).IsOK()) << name;
    }
    // Each source's own limits, as SourceSelector picks them.
    TqGenInteger* width = parameters.GetInteger("Width");
    ASSERT_NE(width, nullptr);
    int64_t min = 0, max = 0, inc = 0;
    for (int source = 0; source < 2; ++source) {
        SCOPED_TRACE(source);
        ASSERT_TRUE(parameters.SetEnumValue("SourceSelector", int64_t(source)).IsOK());
        const Options& o = source ? second : first;
        width->GetMin(min), width->GetMax(max), width->GetIncrement(inc);
        EXPECT_EQ(min, o.widthMin);
        EXPECT_EQ(inc, o.widthInc);
        EXPECT_EQ(max, o.widthMax);
        ASSERT_TRUE(parameters.GetIntegerValue("Width", value).IsOK());
        EXPECT_EQ(value, o.width);
        ASSERT_TRUE(parameters.GetIntegerValue("PayloadSize", value).IsOK());
        EXPECT_EQ(value, int64_t(o.width) * o.height);
        ASSERT_TRUE(parameters.SetIntegerValue("GevStreamChannelSelector", source).IsOK());
        ASSERT_TRUE(parameters.GetInteger("GevSCPSPacketSize")->GetMax(max).IsOK());
        EXPECT_EQ(max, source ? 9000 : 16000);
    }
    for (const char* feature : {"AcquisitionMode", "AcquisitionStart", "AcquisitionStop", "TLParamsLocked", "OffsetX",
                                "OffsetY", "Height"})
        EXPECT_NE(parameters.Get(feature), nullptr) << feature;
}

TEST(SoftDevice, PayloadSizeIsTheSourcesOwnWhenItTellsOne) {
    Options fixed;
    fixed.payloadSize = 123456;
    RecordingSource source("source", fixed);
    TqSoftDeviceGEV device;
    device.AddStream(&source);
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    GvcpPort controller(TqSoftDevice::EngineOf(&device)->Address());
    TqGvcpClient::Channel& channel = controller.channel;
    uint32_t value = 0;
    ASSERT_EQ(channel.ReadRegister(kPayloadSizeRegister, value), 0);
    EXPECT_EQ(value, 123456u);
    EXPECT_EQ(channel.WriteRegister(kPayloadSizeRegister, 1), TqEngine::Gvcp::kWriteProtect);
    const Call last = source.GetJournal()->Calls().back();
    EXPECT_EQ(last.operation, "source.GetPayloadSize");
    EXPECT_NE(last.thread, ThreadId()) << "asked on the device's own thread";
}

// The ready-made source: its image, its pixel type and Mono8, its count of buffers of a whole image
// each, given back when the device stops.
TEST(SoftDevice, TheReadyMadeSourceStreamsItsImageWithItsBuffers) {
    struct Source : TqStreamingChannelSourceDefault {
        using TqStreamingChannelSourceDefault::TqStreamingChannelSourceDefault;
        TqResult QueueBuffer(TqBuffer*) override { return TqResult(TQ_OK); }
        TqResult RetrieveBuffer(TqBuffer** aBuffer) override {
            *aBuffer = nullptr;
            return TqResult(TQ_TIMEOUT);
        }
    } source(320, 240, TqPixelMono16, 5);
    TqPixelType type = TqPixelMono8;
    EXPECT_TRUE(source.GetSupportedPixelType(0, type).IsOK());
    EXPECT_EQ(type, TqPixelMono16);
    EXPECT_TRUE(source.GetSupportedPixelType(1, type).IsOK());
    EXPECT_EQ(type, TqPixelMono8);
    EXPECT_FALSE(source.GetSupportedPixelType(2, type).IsOK());
    EXPECT_EQ(source.SetWidth(321).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(source.SetWidth(300).IsOK());
    EXPECT_TRUE(source.SetOffsetX(20).IsOK());
    EXPECT_EQ(source.SetOffsetX(21).GetCode(), TQ_INVALID_PARAMETER);

    const long before = TqLiveObjects::Count("TqBuffer");
    TqSoftDeviceGEV device;
    device.AddStream(&source);
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    EXPECT_EQ(TqLiveObjects::Count("TqBuffer"), before + 5);
    GvcpPort controller(TqSoftDevice::EngineOf(&device)->Address());
    uint32_t value = 0;
    ASSERT_EQ(controller.channel.ReadRegister(kPayloadSizeRegister, value), 0);
    EXPECT_EQ(value, 300u * 240 * 2);
    ASSERT_EQ(controller.channel.ReadRegister(Reg::kOffsetX, value), 0);
    EXPECT_EQ(value, 20u);
    EXPECT_NE(Xml(device).find("\"Mono16\""), std::string::npos);
    EXPECT_NE(Xml(device).find("\"Mono8\""), std::string::npos);
    EXPECT_EQ(Xml(device).find("\"RGB8\""), std::string::npos);
    ASSERT_TRUE(device.Stop().IsOK());
    EXPECT_EQ(TqLiveObjects::Count("TqBuffer"), before);
}

// ---------------------------------------------------------------------------------------------
// The interfaces.

TEST(SoftDevice, IdentityStringsReachTheirRegistersWithinTheirLengths) {
    TqSoftDeviceGEV device;
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    ITqSoftDeviceGEVInfo* info = device.GetInfo();
    const auto engine = TqSoftDevice::EngineOf(&device);
    struct Field {
        TqResult (ITqSoftDeviceGEVInfo::*set)(const TqString&);
        const TqString& (ITqSoftDeviceGEVInfo::*get)();
        uint32_t address;
        size_t longest;
    };
    const Field fields[] = {
        {&ITqSoftDeviceGEVInfo::SetManufacturerName, &ITqSoftDeviceGEVInfo::GetManufacturerName, Reg::kManufacturerName, 31},
        {&ITqSoftDeviceGEVInfo::SetModelName, &ITqSoftDeviceGEVInfo::GetModelName, Reg::kModelName, 31},
        {&ITqSoftDeviceGEVInfo::SetDeviceVersion, &ITqSoftDeviceGEVInfo::GetDeviceVersion, Reg::kDeviceVersion, 31},
        {&ITqSoftDeviceGEVInfo::SetDeviceFirmwareVersion, &ITqSoftDeviceGEVInfo::GetDeviceFirmwareVersion,
         Reg::kFirmwareVersion, 31},
        {&ITqSoftDeviceGEVInfo::SetManufacturerInformation, &ITqSoftDeviceGEVInfo::GetManufacturerInformation,
         Reg::kManufacturerInfo, 47},
        {&ITqSoftDeviceGEVInfo::SetSerialNumber, &ITqSoftDeviceGEVInfo::GetSerialNumber, Reg::kSerialNumber, 15},
    };
    for (const Field& f : fields) {
        SCOPED_TRACE(f.address);
        const std::string fits(f.longest, 'x'), longer(f.longest + 1, 'y');
        EXPECT_TRUE((info->*f.set)(fits.c_str()).IsOK());
        EXPECT_EQ(Text((info->*f.get)()), fits);
        std::string memory(f.longest + 1, '\0');   // the whole register
        ASSERT_EQ(engine->ReadMemory(f.address, memory.data(), memory.size()), 0);
        EXPECT_EQ(memory.c_str(), fits);
        EXPECT_EQ((info->*f.set)(longer.c_str()).GetCode(), TQ_INVALID_PARAMETER);
        EXPECT_EQ(Text((info->*f.get)()), fits);
    }
    EXPECT_EQ(info->SetGenICamXMLRegDescModelName(std::string(32, 'm').c_str()).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(info->SetGenICamXMLGUIDs("not-a-guid", "0123abcd-0000-1111-2222-333344445555").GetCode(),
              TQ_INVALID_PARAMETER);
    // The names of the RegisterDescription follow the identity until they are set.
    EXPECT_EQ(Text(info->GetGenICamXMLRegDescModelName()), Text(info->GetModelName()));
}

TEST(SoftDevice, StatisticsAndTheMessagingChannelAreTheEngineDevicesOwn) {
    TqSoftDeviceGEV device;
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    const auto engine = TqSoftDevice::EngineOf(&device);
    ITqSoftDeviceGEVStatistics* statistics = device.GetStatistics();
    statistics->Reset();
    TqGvcpClient::Channel channel;
    ASSERT_TRUE(channel.Open(engine->Address()));
    uint32_t value;
    ASSERT_EQ(channel.ReadRegister(Reg::kVersion, value), 0);
    ASSERT_EQ(channel.ReadRegister(Reg::kVersion, value), 0);
    EXPECT_EQ(statistics->GetReadRegsReceived(), 2u);
    statistics->Reset();
    EXPECT_EQ(statistics->GetReadRegsReceived(), 0u);

    ITqMessageChannel* messages = device.GetMessagingChannel();
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_FALSE(messages->IsOpened());
    EXPECT_EQ(messages->FireEvent(0x9000).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(messages->FireEvent(0x9000, data, 3).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(messages->FireEvent(0x9000, nullptr, 8).GetCode(), TQ_INVALID_PARAMETER);
    std::vector<std::vector<uint8_t>> sent;
    std::mutex lock;
    engine->SetMessageTap([&](const uint8_t* aData, size_t aSize) {
        std::lock_guard guard(lock);
        sent.emplace_back(aData, aData + aSize);
    });
    EXPECT_TRUE(messages->FireEvent(0x9001, data, 8, 5, 1).IsOK());
    EXPECT_TRUE(messages->FireEvent(0x9002).IsOK());
    std::lock_guard guard(lock);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(TqEngine::Testing::be16(sent[0], 2), TqEngine::Gvcp::kEventDataCmd);
    EXPECT_EQ(TqEngine::Testing::be16(sent[0], 10), 0x9001);
    EXPECT_EQ(TqEngine::Testing::be16(sent[0], 12), 1);   // the channel
    EXPECT_EQ(TqEngine::Testing::be16(sent[0], 14), 5);   // the block
    EXPECT_EQ(TqEngine::Testing::be16(sent[1], 2), TqEngine::Gvcp::kEventCmd);
    EXPECT_EQ(TqEngine::Testing::be16(sent[1], 12), 0xFFFF);
}

TEST(SoftDevice, TheFactoriesReachTheCallbacksAndTheMapHasTheDevicesRegisters) {
    ITqRegisterFactory* registers = nullptr;
    ITqGenApiFactory* features = nullptr;
    struct Grab : ITqSoftDeviceGEVEventSink {
        ITqRegisterFactory** r;
        ITqGenApiFactory** f;
        TqResult added, created;
        void OnCreateCustomRegisters(ITqSoftDeviceGEV*, ITqRegisterFactory* aFactory) override {
            *r = aFactory;
            added = aFactory->AddRegister("Mine", 0x40000000, 4, TqGenAccessModeReadWrite);
        }
        void OnCreateCustomGenApiFeatures(ITqSoftDeviceGEV*, ITqGenApiFactory* aFactory) override {
            *f = aFactory;
            aFactory->SetName("Mine");
            created = aFactory->CreateInteger();
        }
    } sink;
    sink.r = &registers, sink.f = &features;
    TqSoftDeviceGEV device;
    device.RegisterEventSink(&sink);
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    EXPECT_NE(registers, nullptr);
    EXPECT_NE(features, nullptr);
    EXPECT_EQ(sink.added.GetCode(), TQ_INVALID_PARAMETER);   // outside the application's addresses
    EXPECT_EQ(sink.created.GetCode(), TQ_INVALID_PARAMETER);   // neither a register nor a pValue
    ITqRegisterMap* map = device.GetRegisterMap();
    ASSERT_GT(map->GetRegisterCount(), 0u);
    EXPECT_EQ(map->GetRegisterByIndex(map->GetRegisterCount()), nullptr);
    ASSERT_NE(map->GetRegisterByAddress(Reg::kVersion), nullptr);
    EXPECT_EQ(Text(map->GetRegisterByAddress(Reg::kVersion)->GetName()), "Version");
    EXPECT_EQ(map->GetRegisterByAddress(0x40000000), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Calls from the device's own threads.

// Stop from a notification on the device's own thread answers TQ_STATE_ERROR at once; from another
// thread it stops the device.
TEST(SoftDevice, StopFromTheDevicesOwnCallbackIsRefusedWithoutAHang) {
    Options stopping;
    stopping.stopIn = "OnApplicationConnect";
    RecordingSink sink("sink", stopping);
    TqSoftDeviceGEV device;
    device.RegisterEventSink(&sink);
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    const uint32_t address = TqSoftDevice::EngineOf(&device)->Address();
    TqGvcpClient::Channel channel;
    ASSERT_TRUE(channel.Open(address));
    ASSERT_EQ(channel.WriteRegister(Reg::kCcp, Reg::kCcpControl), 0);
    ASSERT_TRUE(Eventually([&] { return sink.StopResult() != -1; }));
    EXPECT_EQ(sink.StopResult(), long(TQ_STATE_ERROR));
    const auto calls = sink.GetJournal()->Calls();
    const auto connect = std::find_if(calls.begin(), calls.end(),
                                      [](const Call& c) { return c.operation == "sink.OnApplicationConnect"; });
    ASSERT_NE(connect, calls.end());
    EXPECT_NE(connect->thread, ThreadId());
    EXPECT_EQ(connect->arguments.substr(0, 10), "127.0.0.1 ");
    EXPECT_EQ(connect->arguments.substr(connect->arguments.size() - 2), " " + std::to_string(TqAccessControl));
    EXPECT_TRUE(Listed(address)) << "still running";
    EXPECT_TRUE(device.Stop().IsOK());
    EXPECT_FALSE(Listed(address));
}

// A device destroyed by its own notification stops without waiting for that thread: its engine
// device stops once the notification returned, and its buffers go back once each.
TEST(SoftDevice, DestroyedInItsOwnCallbackItStopsAfterTheCallbackReturns) {
    RecordingSource source;
    auto* device = new TqSoftDeviceGEV;
    ActingSink sink;
    std::atomic<bool> destroyed{false};
    sink.onDisconnect = [&](ITqSoftDeviceGEV*) {
        delete device;
        destroyed = true;
    };
    device->RegisterEventSink(&sink);
    device->AddStream(&source);
    ASSERT_TRUE(device->Start(kLoopback).IsOK());
    const uint32_t address = TqSoftDevice::EngineOf(device)->Address();
    {
        TqGvcpClient::Channel channel;
        ASSERT_TRUE(channel.Open(address));
        ASSERT_EQ(channel.WriteRegister(Reg::kCcp, Reg::kCcpControl), 0);
        ASSERT_EQ(channel.WriteRegister(Reg::kCcp, 0), 0);
    }
    ASSERT_TRUE(Eventually([&] { return destroyed.load(); }));
    EXPECT_TRUE(Eventually([&] { return !Listed(address); }));
    EXPECT_TRUE(Eventually([&] { return source.Freed().size() == source.Made(); }));
    for (const auto& [buffer, times] : source.Freed()) EXPECT_EQ(times, 1);
}

}  // namespace
