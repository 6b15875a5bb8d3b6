// The engine as a software device embeds it: 0 to 4 stream channels, each with its own image format
// (chosen by SourceSelector in the description) and largest packet size; register handlers that
// serve parts of device memory to the controllers, called with no engine lock held; the observer of
// sessions, FORCEIP and resets; frame providers in place of the test pattern.
#include "TqGenParameterArray.h"
#include "TqGvcpClient.h"
#include "TqImage.h"
#include "TqStream.h"
#include "engine_helpers.h"
#include "stream_helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

using namespace TqEngine;
using namespace TqEngine::Testing;

namespace {

// The description's node map over the device's own side.
struct LocalPort : TqGenICamLib::IPort {
    explicit LocalPort(Device& aDevice) : device(aDevice) {}
    TqResult Read(uint64_t aAddress, void* aData, uint64_t aSize) override {
        return Result(device.ReadMemory(uint32_t(aAddress), aData, aSize));
    }
    TqResult Write(uint64_t aAddress, const void* aData, uint64_t aSize) override {
        return Result(device.WriteMemory(uint32_t(aAddress), aData, aSize));
    }
    static TqResult Result(uint16_t aStatus) { return TqResult(aStatus ? TQ_GENERIC_ERROR : TQ_OK); }
    Device& device;
};

struct NodeMap {
    explicit NodeMap(Device& aDevice) {
        const std::string& xml = aDevice.Xml();
        loaded = parameters.Load(xml.data(), xml.size(), std::make_shared<LocalPort>(aDevice)).IsOK();
    }
    int64_t Integer(const char* aName) {
        int64_t value = -1;
        EXPECT_TRUE(parameters.GetIntegerValue(TqString(aName), value).IsOK()) << aName;
        return value;
    }
    bool Has(const char* aName) { return parameters.Get(TqString(aName)) != nullptr; }
    TqGenParameterArray parameters;
    bool loaded = false;
};

uint32_t Read(Device& aDevice, uint32_t aAddress) {
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(aDevice.ReadRegister(aAddress, value), Gvcp::kSuccess) << std::hex << aAddress;
    return value;
}

// Waits (boundedly) until aDone holds, checking every millisecond.
template <class Condition>
bool WaitFor(Condition aDone, std::chrono::seconds aLimit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + aLimit;
    while (!aDone()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The bytes of the one frame a single-frame acquisition sends on channel 0, taken whole by a block
// sink (bytes the frame does not fill stay 0xAA).
std::vector<uint8_t> OneFrameThroughASink(Device& aDevice) {
    std::vector<uint8_t> payload;
    EXPECT_TRUE(aDevice.SetBlockSink(0, [&](const Block& aBlock) {
        payload.assign(aBlock.size, 0xAA);
        aBlock.Fill(payload.data());
    }));
    EXPECT_EQ(aDevice.WriteRegister(Reg::kAcquisitionMode, 1), Gvcp::kSuccess);
    EXPECT_EQ(aDevice.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    EXPECT_TRUE(WaitFor([&] { return !aDevice.IsAcquiring(); }));
    aDevice.SetBlockSink(0, nullptr);
    return payload;
}

// Whether another thread gets through the engine's locks (its register, message and control
// mutexes) within a generous time: false while the calling thread holds one of them.
bool EngineFreeElsewhere(Device& aDevice) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([&aDevice, done] {
        aDevice.GetStatistics();
        aDevice.WaitEventsDone(0);
        aDevice.SetBlockSink(0, nullptr);
        done->set_value();
    }).detach();
    return finished.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
}

ChannelConfig Channel(uint32_t aWidth, uint32_t aHeight, uint32_t aFormat, std::vector<uint32_t> aFormats) {
    ChannelConfig c;
    c.width = aWidth;
    c.height = aHeight;
    c.pixelFormat = aFormat;
    c.pixelFormats = std::move(aFormats);
    return c;
}

}  // namespace

TEST(EngineChannels, ADeviceWithoutStreamChannelsHasNoImageNorStreamRegisters) {
    DeviceConfig c = Config();
    c.streamChannels = 0;
    Device d(c);
    EXPECT_EQ(Read(d, Reg::kStreamChannels), 0u);
    uint32_t value = 0;
    EXPECT_EQ(d.ReadRegister(Reg::kWidth, value), Gvcp::kInvalidAddress);
    EXPECT_EQ(d.ReadRegister(Reg::kSensorHeight, value), Gvcp::kInvalidAddress);
    EXPECT_EQ(d.ReadRegister(Reg::PacketSizeMax(0), value), Gvcp::kInvalidAddress);
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    EXPECT_EQ(WriteReg(d, Reg::Scp(0), 5000), Gvcp::kInvalidAddress);
    EXPECT_EQ(WriteReg(d, Reg::Scps(0), 1500), Gvcp::kInvalidAddress);
    EXPECT_EQ(WriteReg(d, Reg::kSourceSelector, 0), Gvcp::kInvalidParameter);
    // Acquisition has nothing to send and ends as asked.
    EXPECT_EQ(WriteReg(d, Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    EXPECT_TRUE(d.IsAcquiring());
    EXPECT_EQ(WriteReg(d, Reg::kAcquisitionStop, 1), Gvcp::kSuccess);
    EXPECT_FALSE(d.SetBlockSink(0, [](const Block&) {}));

    NodeMap map(d);
    ASSERT_TRUE(map.loaded);
    for (const char* absent : {"Width", "PixelFormat", "PayloadSize", "GevSCPSPacketSize", "SourceSelector"})
        EXPECT_FALSE(map.Has(absent)) << absent;
    EXPECT_EQ(map.Integer("GevHeartbeatTimeout"), 3000);
    EXPECT_EQ(d.Xml().find("ImageFormatControl"), std::string::npos);
}

TEST(EngineChannels, EachChannelHasItsOwnImageFormatThatSourceSelectorChooses) {
    DeviceConfig c = Config();
    c.width = 64;
    c.height = 48;
    c.streamChannels = 3;
    c.channels = {ChannelConfig{64, 48}, Channel(32, 16, Pfnc::kMono16, {Pfnc::kMono16}),
                  Channel(8, 4, Pfnc::kRGB8, {Pfnc::kRGB8, Pfnc::kMono8})};
    c.channels[1].sensorWidth = 100;
    c.channels[1].sensorHeight = 50;
    Device d(c);

    EXPECT_EQ(Read(d, Reg::Format(1, Reg::kWidth)), 32u);
    EXPECT_EQ(Read(d, Reg::Format(1, Reg::kSensorWidth)), 100u);
    EXPECT_EQ(Read(d, Reg::Format(2, Reg::kPixelFormat)), Pfnc::kRGB8);
    EXPECT_EQ(Read(d, Reg::kWidth), 64u);
    // Each channel's limits and formats are its own.
    EXPECT_EQ(d.WriteRegister(Reg::Format(1, Reg::kWidth), 101), Gvcp::kInvalidParameter);
    EXPECT_EQ(d.WriteRegister(Reg::Format(1, Reg::kWidth), 100), Gvcp::kSuccess);
    EXPECT_EQ(d.WriteRegister(Reg::Format(1, Reg::kOffsetX), 1), Gvcp::kInvalidParameter);
    EXPECT_EQ(d.WriteRegister(Reg::Format(1, Reg::kPixelFormat), Pfnc::kMono8), Gvcp::kInvalidParameter);
    EXPECT_EQ(d.WriteRegister(Reg::Format(2, Reg::kPixelFormat), Pfnc::kMono8), Gvcp::kSuccess);
    EXPECT_EQ(d.WriteRegister(Reg::Format(1, Reg::kSensorWidth), 200), Gvcp::kWriteProtect);
    EXPECT_EQ(Read(d, Reg::kWidth), 64u);
    // Nothing lies at a channel the device lacks, nor between a channel's format registers.
    uint32_t value = 0;
    EXPECT_EQ(d.ReadRegister(Reg::Format(3, Reg::kWidth), value), Gvcp::kInvalidAddress);
    EXPECT_EQ(d.ReadRegister(Reg::Format(1, Reg::kAcquisitionMode), value), Gvcp::kInvalidAddress);
    EXPECT_EQ(d.WriteRegister(Reg::Format(1, Reg::kFramePeriod), 5000), Gvcp::kInvalidAddress);
    EXPECT_EQ(d.WriteRegister(Reg::kSourceSelector, 3), Gvcp::kInvalidParameter);
    // Acquiring locks every channel's format.
    ASSERT_EQ(d.WriteRegister(Reg::kTLParamsLocked, 1), Gvcp::kSuccess);
    EXPECT_EQ(d.WriteRegister(Reg::Format(2, Reg::kHeight), 2), Gvcp::kBusy);
    ASSERT_EQ(d.WriteRegister(Reg::kTLParamsLocked, 0), Gvcp::kSuccess);

    // The description's features address the channel SourceSelector names.
    NodeMap map(d);
    ASSERT_TRUE(map.loaded);
    EXPECT_EQ(map.Integer("Width"), 64);
    ASSERT_TRUE(map.parameters.SetEnumValue(TqString("SourceSelector"), TqString("Source1")).IsOK());
    EXPECT_EQ(map.Integer("Width"), 100);
    EXPECT_EQ(map.Integer("WidthMax"), 100);
    EXPECT_EQ(map.Integer("PayloadSize"), 100 * 16 * 2);
    ASSERT_TRUE(map.parameters.SetIntegerValue(TqString("Height"), 20).IsOK());
    EXPECT_EQ(Read(d, Reg::Format(1, Reg::kHeight)), 20u);
    EXPECT_FALSE(map.parameters.SetIntegerValue(TqString("Height"), 51).IsOK());
    ASSERT_TRUE(map.parameters.SetEnumValue(TqString("SourceSelector"), TqString("Source2")).IsOK());
    TqString format;
    ASSERT_TRUE(map.parameters.GetEnumValue(TqString("PixelFormat"), format).IsOK());
    EXPECT_STREQ(format.GetAscii(), "Mono8");
    EXPECT_EQ(Read(d, Reg::kHeight), 48u);

    // Each channel's sender sends its own image.
    std::mutex m;
    std::map<uint32_t, std::vector<uint32_t>> leaders;   // channel: pixel format, width, height
    d.SetStreamTap([&](uint32_t aChannel, const uint8_t* aData, size_t aSize) {
        if (aSize < 8 + 36 || aData[4] != Gvsp::kFormatLeader) return;
        std::vector<uint8_t> packet(aData, aData + aSize);
        std::lock_guard lock(m);
        leaders.emplace(aChannel, std::vector<uint32_t>{be32(packet, 20), be32(packet, 24), be32(packet, 28)});
    });
    ASSERT_EQ(d.WriteRegister(Reg::kFramePeriod, 1000), Gvcp::kSuccess);
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    EXPECT_TRUE(WaitFor([&] {
        std::lock_guard lock(m);
        return leaders.size() == 3;
    }));
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStop, 1), Gvcp::kSuccess);
    std::lock_guard lock(m);
    EXPECT_EQ(leaders[0], (std::vector<uint32_t>{Pfnc::kMono8, 64, 48}));
    EXPECT_EQ(leaders[1], (std::vector<uint32_t>{Pfnc::kMono16, 100, 20}));
    EXPECT_EQ(leaders[2], (std::vector<uint32_t>{Pfnc::kMono8, 8, 4}));
}

TEST(EngineChannels, AFormatWithoutPatternIsOfferedWhenTheDeviceNamesIt) {
    constexpr uint32_t kMono12 = 0x01100005, kMono10 = 0x01100003, kMono1p = 0x01010037;
    DeviceConfig c = Config();
    c.width = 8;
    c.height = 2;
    c.pixelFormat = kMono12;
    c.pixelFormats = {Pfnc::kMono8, kMono12, kMono10, kMono1p};   // Mono10 has no name: left out
    c.pixelFormatNames = {{kMono12, "Mono12"}, {kMono1p, "Mono1p"}, {kMono10, ""}};
    Device d(c);
    EXPECT_EQ(Read(d, Reg::kPixelFormat), kMono12);
    EXPECT_EQ(d.WriteRegister(Reg::kPixelFormat, kMono10), Gvcp::kInvalidParameter);
    NodeMap map(d);
    ASSERT_TRUE(map.loaded);
    TqString name;
    ASSERT_TRUE(map.parameters.GetEnumValue(TqString("PixelFormat"), name).IsOK());
    EXPECT_STREQ(name.GetAscii(), "Mono12");
    EXPECT_TRUE(map.parameters.SetEnumValue(TqString("PixelFormat"), TqString("Mono1p")).IsOK());
    EXPECT_FALSE(map.parameters.SetEnumValue(TqString("PixelFormat"), TqString("Mono10")).IsOK());

    // Without a provider such a format's frames are zeros, as many bytes as its lines take.
    for (auto [format, bytes] : {std::pair{kMono12, 8 * 2 * 2}, std::pair{kMono1p, 1 * 2}}) {
        ASSERT_EQ(d.WriteRegister(Reg::kPixelFormat, format), Gvcp::kSuccess);
        EXPECT_EQ(OneFrameThroughASink(d), std::vector<uint8_t>(bytes, 0)) << std::hex << format;
    }
}

TEST(EngineChannels, EachChannelTakesPacketSizesUpToItsOwnMaximum) {
    DeviceConfig c = Config();
    c.streamChannels = 3;
    c.channels.resize(3);
    c.channels[1].packetSizeMax = 16000;
    c.channels[2].packetSizeMax = 70000;   // beyond any datagram: the largest there is
    Device d(c);
    EXPECT_EQ(Read(d, Reg::PacketSizeMax(0)), Reg::kMaxPacketSize);
    EXPECT_EQ(Read(d, Reg::PacketSizeMax(1)), 16000u);
    EXPECT_EQ(Read(d, Reg::PacketSizeMax(2)), Reg::kPacketSizeLimit);
    EXPECT_EQ(d.WriteRegister(Reg::PacketSizeMax(1), 9000), Gvcp::kWriteProtect);
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    EXPECT_EQ(WriteReg(d, Reg::Scps(0), 9004), Gvcp::kInvalidParameter);
    EXPECT_EQ(WriteReg(d, Reg::Scps(0), 9000), Gvcp::kSuccess);
    EXPECT_EQ(WriteReg(d, Reg::Scps(1), 16004), Gvcp::kInvalidParameter);
    EXPECT_EQ(WriteReg(d, Reg::Scps(1), 16000), Gvcp::kSuccess);
    EXPECT_EQ(WriteReg(d, Reg::Scps(2), 65532), Gvcp::kSuccess);
    EXPECT_EQ(Read(d, Reg::Scps(2)) & 0xFFFF, 65532u);

    // The description's packet size is the one GevStreamChannelSelector names, within its maximum.
    NodeMap map(d);
    ASSERT_TRUE(map.loaded);
    int64_t low = 0, high = 0;
    ASSERT_TRUE(map.parameters.SetIntegerValue(TqString("GevStreamChannelSelector"), 1).IsOK());
    ASSERT_TRUE(map.parameters.GetIntegerRange(TqString("GevSCPSPacketSize"), low, high).IsOK());
    EXPECT_EQ(low, Reg::kMinPacketSize);
    EXPECT_EQ(high, 16000);
    ASSERT_TRUE(map.parameters.SetIntegerValue(TqString("GevSCPSPacketSize"), 12000).IsOK());
    EXPECT_EQ(Read(d, Reg::Scps(1)) & 0xFFFF, 12000u);
    EXPECT_EQ(Read(d, Reg::Scps(0)) & 0xFFFF, 9000u);

    // A channel's frames come in packets of its size: 12000 bytes less the IP, UDP and GVSP headers.
    std::mutex m;
    std::vector<size_t> sizes;
    d.SetStreamTap([&](uint32_t aChannel, const uint8_t* aData, size_t aSize) {
        std::lock_guard lock(m);
        if (aChannel == 1 && aData[4] == Gvsp::kFormatPayload) sizes.push_back(aSize);
    });
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    EXPECT_TRUE(WaitFor([&] {
        std::lock_guard lock(m);
        return !sizes.empty();
    }));
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStop, 1), Gvcp::kSuccess);
    std::lock_guard lock(m);
    ASSERT_FALSE(sizes.empty());
    EXPECT_EQ(sizes.front(), 12000u - Gvsp::kIpUdpOverhead);
}

namespace {

// A handler that keeps the words written to it, answers reads with them (or with a word made of the
// address), and records its calls.
struct Recorder : RegisterHandler {
    uint16_t Read(uint32_t aAddress, uint8_t* aData, size_t aSize, const Peer& aPeer) override {
        const uint16_t answer = Called('R', aAddress, aSize, aPeer);
        std::lock_guard lock(m);
        for (size_t i = 0; i < aSize; i += 4) {
            const uint32_t at = uint32_t(aAddress + i);
            const uint32_t value = words.count(at) ? words[at] : (0xA5000000u | (at & 0xFFFF));
            for (int b = 0; b < 4; ++b) aData[i + b] = uint8_t(value >> (24 - 8 * b));
        }
        return answer;
    }
    uint16_t Write(uint32_t aAddress, const uint8_t* aData, size_t aSize, const Peer& aPeer) override {
        const uint16_t answer = Called('W', aAddress, aSize, aPeer);
        std::lock_guard lock(m);
        if (answer == Gvcp::kSuccess)
            for (size_t i = 0; i < aSize; i += 4)
                words[uint32_t(aAddress + i)] = (uint32_t(aData[i]) << 24) | (uint32_t(aData[i + 1]) << 16) |
                                                (uint32_t(aData[i + 2]) << 8) | aData[i + 3];
        return answer;
    }
    uint16_t Called(char aKind, uint32_t aAddress, size_t aSize, const Peer& aPeer) {
        std::function<void()> hook;
        uint16_t answer;
        {
            std::lock_guard lock(m);
            calls.push_back(std::string(1, aKind) + " " + std::to_string(aAddress - base) + " " + std::to_string(aSize));
            peer = aPeer;
            thread = std::this_thread::get_id();
            hook = during;
            answer = status;
        }
        if (hook) hook();
        if (answer == 0xEEEE) throw std::runtime_error("the handler failed");
        return answer;
    }
    std::vector<std::string> Calls() {
        std::lock_guard lock(m);
        return std::exchange(calls, {});
    }

    std::mutex m;
    uint32_t base = 0x20000000;   // calls are recorded relative to it
    std::map<uint32_t, uint32_t> words;
    uint16_t status = Gvcp::kSuccess;   // what every call answers (0xEEEE: it throws)
    std::function<void()> during;       // runs inside every call
    std::vector<std::string> calls;
    Peer peer;
    std::thread::id thread;
};

constexpr uint32_t kCustom = 0x20000000;

}  // namespace

TEST(EngineHandlers, ControllersReachTheHandlerAndGetItsStatus) {
    Device d(Config());
    auto h = std::make_shared<Recorder>();
    h->base = kCustom;
    const uint64_t id = d.AddRegisterHandler({{kCustom, 16}, {Reg::kWidth, 4}}, h);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);

    // Reads: the handler's words where it serves, the engine's elsewhere, in one command.
    Ack read = ReadReg(d, {kCustom + 4, Reg::kWidth, Reg::kHeight});
    ASSERT_EQ(read.status, Gvcp::kSuccess);
    EXPECT_EQ(be32(read.data, 0), 0xA5000004u);
    EXPECT_EQ(be32(read.data, 4), 0xA5000000u);
    EXPECT_EQ(be32(read.data, 8), 480u);
    EXPECT_EQ(h->Calls(), (std::vector<std::string>{"R 4 4", "R " + std::to_string(Reg::kWidth - kCustom) + " 4"}));
    EXPECT_EQ(Read(d, Reg::kWidth), 640u);   // the engine's own register lies beneath
    Ack memory = ReadMem(d, Reg::kWidth, 8);
    ASSERT_EQ(memory.status, Gvcp::kSuccess);
    EXPECT_EQ(be32(memory.data, 4), 0xA5000000u);
    EXPECT_EQ(be32(memory.data, 8), 480u);
    h->Calls();

    // Writes: the handler gets the bytes and the controller; the engine's register stays.
    EXPECT_EQ(WriteReg(d, kCustom + 8, 0x11223344), Gvcp::kSuccess);
    EXPECT_EQ(h->words[kCustom + 8], 0x11223344u);
    EXPECT_EQ(h->peer, kApp);
    EXPECT_EQ(WriteReg(d, Reg::kWidth, 320), Gvcp::kSuccess);
    EXPECT_EQ(Read(d, Reg::kWidth), 640u);
    EXPECT_EQ(ReadReg(d, {Reg::kWidth}).data, (std::vector<uint8_t>{0, 0, 1, 64}));
    // A block across the handler's end and unmapped memory: its part, then the engine's answer.
    Ack across = Send(d, Command(Gvcp::kWriteMemCmd, {kCustom + 12, 7, 8}));
    EXPECT_EQ(across.status, Gvcp::kInvalidAddress);
    EXPECT_EQ(h->words[kCustom + 12], 7u);
    h->Calls();

    // The handler's status is the acknowledge's; WRITEREG counts the pairs written before it.
    h->status = Gvcp::kBusy;
    EXPECT_EQ(ReadReg(d, {kCustom}).status, Gvcp::kBusy);
    EXPECT_EQ(ReadMem(d, kCustom, 16).status, Gvcp::kBusy);
    Ack pairs = Send(d, Command(Gvcp::kWriteRegCmd, {Reg::kHeight, 100, kCustom, 5, Reg::kOffsetY, 4}));
    EXPECT_EQ(pairs.status, Gvcp::kBusy);
    EXPECT_EQ(be16(pairs.data, 2), 1);
    EXPECT_EQ(Read(d, Reg::kHeight), 100u);
    EXPECT_EQ(Read(d, Reg::kOffsetY), 0u);
    h->status = 0x8123;
    EXPECT_EQ(Send(d, Command(Gvcp::kWriteMemCmd, {kCustom, 1})).status, 0x8123);
    h->status = 0xEEEE;   // an exception is an error, never a crash
    EXPECT_EQ(ReadReg(d, {kCustom}).status, Gvcp::kError);
    h->status = Gvcp::kSuccess;
    h->Calls();

    // Privilege and faults come first: the handler is not asked.
    EXPECT_EQ(WriteReg(d, kCustom, 9, kOther), Gvcp::kAccessDenied);
    Faults faults;
    faults.readStatus = Gvcp::kWriteProtect;
    faults.begin = kCustom;
    faults.end = kCustom + 4;
    d.SetFaults(faults);
    EXPECT_EQ(ReadReg(d, {kCustom}).status, Gvcp::kWriteProtect);
    d.SetFaults(Faults());
    EXPECT_TRUE(h->Calls().empty());

    // Removed, the engine's memory is back.
    EXPECT_TRUE(d.RemoveRegisterHandler(id));
    EXPECT_FALSE(d.RemoveRegisterHandler(id));
    EXPECT_EQ(ReadReg(d, {kCustom}).status, Gvcp::kInvalidAddress);
    EXPECT_EQ(be32(ReadReg(d, {Reg::kWidth}).data, 0), 640u);
    EXPECT_TRUE(h->Calls().empty());
}

TEST(EngineHandlers, AHandlerRunsWithoutEngineLocksAndMayCallTheDeviceBack) {
    Device d(Config());
    std::vector<std::vector<uint8_t>> events;
    d.SetMessageTap([&](const uint8_t* aData, size_t aSize) { events.emplace_back(aData, aData + aSize); });
    auto h = std::make_shared<Recorder>();
    ASSERT_NE(d.AddRegisterHandler({{kCustom, 4}}, h), 0u);
    bool free = false;
    uint32_t height = 0;
    h->during = [&] {
        free = EngineFreeElsewhere(d);
        EXPECT_EQ(d.WriteRegister(Reg::kFramePeriod, 5000), Gvcp::kSuccess);
        EXPECT_EQ(d.ReadRegister(Reg::kHeight, height), Gvcp::kSuccess);
        EXPECT_EQ(d.FireEvent(0x9005), Gvcp::kSuccess);
    };

    // In-process: on the caller's thread.
    EXPECT_EQ(ReadReg(d, {kCustom}).status, Gvcp::kSuccess);
    EXPECT_TRUE(free);
    EXPECT_EQ(h->thread, std::this_thread::get_id());
    EXPECT_EQ(height, 480u);
    EXPECT_EQ(Read(d, Reg::kFramePeriod), 5000u);
    EXPECT_EQ(events.size(), 1u);

    // Over the network: on the device's GVCP server thread.
    std::string error;
    ASSERT_TRUE(d.Start(0, &error)) << error;
    free = false;
    TqGvcpClient::Channel controller;
    ASSERT_TRUE(controller.Open(d.Address()));
    controller.SetTimeout(5000);
    controller.SetRetries(0);
    ASSERT_EQ(controller.WriteRegister(Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    ASSERT_EQ(controller.WriteRegister(kCustom, 0x01020304), Gvcp::kSuccess);
    uint32_t value = 0;
    ASSERT_EQ(controller.ReadRegister(kCustom, value), Gvcp::kSuccess);
    EXPECT_EQ(value, 0x01020304u);
    EXPECT_TRUE(free);
    EXPECT_NE(h->thread, std::this_thread::get_id());
    EXPECT_EQ(h->peer.port, controller.LocalPort());
    EXPECT_EQ(events.size(), 3u);
    controller.Close();
    d.Stop();
}

TEST(EngineHandlers, RangesAreCheckedWhenInstalled) {
    Device d(Config());
    auto h = std::make_shared<Recorder>();
    EXPECT_EQ(d.AddRegisterHandler({}, h), 0u);
    EXPECT_EQ(d.AddRegisterHandler({{kCustom, 4}}, nullptr), 0u);
    for (AddressRange bad : std::vector<AddressRange>{{kCustom + 2, 4},
                                                      {kCustom, 6},
                                                      {kCustom, 0},
                                                      {0xFFFFFFFC, 8},
                                                      {Reg::kReservedBegin - 4, 8},
                                                      {Reg::kReservedEnd - 4, 4}})
        EXPECT_EQ(d.AddRegisterHandler({{kCustom + 0x100, 4}, bad}, h), 0u) << std::hex << bad.address;
    EXPECT_EQ(d.AddRegisterHandler({{kCustom, 8}, {kCustom + 4, 4}}, h), 0u);   // overlapping itself
    const uint64_t first = d.AddRegisterHandler({{kCustom, 8}, {Reg::kReservedEnd, 4}}, h);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(d.AddRegisterHandler({{kCustom + 4, 8}}, h), 0u);   // overlapping another
    const uint64_t second = d.AddRegisterHandler({{kCustom + 8, 8}, {kCustom + 0x100, 4}}, h);
    EXPECT_NE(second, 0u);
    EXPECT_NE(second, first);
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    // A refused installation left nothing behind; both handlers serve one block.
    EXPECT_EQ(ReadMem(d, kCustom, 16).status, Gvcp::kSuccess);
    EXPECT_EQ(ReadReg(d, {kCustom + 0x100}).status, Gvcp::kSuccess);
    EXPECT_EQ(ReadReg(d, {kCustom + 0x104}).status, Gvcp::kInvalidAddress);
    EXPECT_TRUE(d.RemoveRegisterHandler(first));
    EXPECT_EQ(ReadMem(d, kCustom, 16).status, Gvcp::kInvalidAddress);
    EXPECT_EQ(ReadMem(d, kCustom + 8, 8).status, Gvcp::kSuccess);
}

// Memory the embedding code adds lies in the reserved range alone; both sides reach it, a reset keeps
// it, read-only memory refuses writes but StoreMemory's, and handlers may lie over it (only over it).
TEST(EngineMemory, AddedMemoryIsTheEmbeddingCodesOwn) {
    Device d(Config());
    constexpr uint32_t kMine = Reg::kReservedBegin + 0x100;
    for (AddressRange bad : std::vector<AddressRange>{{kMine + 2, 4},
                                                      {kMine, 6},
                                                      {kMine, 0},
                                                      {Reg::kReservedBegin - 4, 8},
                                                      {Reg::kReservedEnd - 4, 8},
                                                      {kCustom, 4}})
        EXPECT_FALSE(d.AddMemory({{kMine + 0x1000, 4}, bad})) << std::hex << bad.address;
    EXPECT_FALSE(d.AddMemory({{kMine, 8}, {kMine + 4, 4}}));   // overlapping itself
    ASSERT_TRUE(d.AddMemory({{kMine, 8}}));
    ASSERT_TRUE(d.AddMemory({{kMine + 8, 4}}, true));
    EXPECT_FALSE(d.AddMemory({{kMine + 4, 8}}));   // overlapping memory added before
    EXPECT_EQ(Read(d, kMine + 0x1000 - 0x1000 + 4), 0u);
    uint32_t value = 0;
    EXPECT_EQ(d.ReadRegister(kMine + 0x1000, value), Gvcp::kInvalidAddress);   // a refused call added nothing

    // The local side and the controller; one block across two pieces of memory.
    EXPECT_EQ(d.WriteRegister(kMine, 0x01020304), Gvcp::kSuccess);
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    EXPECT_EQ(WriteReg(d, kMine + 4, 5), Gvcp::kSuccess);
    Ack both = ReadMem(d, kMine, 12);
    ASSERT_EQ(both.status, Gvcp::kSuccess);
    EXPECT_EQ(be32(both.data, 4), 0x01020304u);
    EXPECT_EQ(be32(both.data, 8), 5u);
    EXPECT_EQ(be32(both.data, 12), 0u);

    // Read-only: refused to both sides, stored by StoreMemory; a refused word leaves the block unwritten.
    const uint8_t seven[] = {0, 0, 0, 7}, pair[] = {0, 0, 0, 9, 0, 0, 0, 9};
    EXPECT_EQ(d.WriteMemory(kMine + 8, seven, 4), Gvcp::kWriteProtect);
    EXPECT_EQ(WriteReg(d, kMine + 8, 7), Gvcp::kWriteProtect);
    EXPECT_EQ(d.StoreMemory(kMine + 8, seven, 4), Gvcp::kSuccess);
    EXPECT_EQ(Read(d, kMine + 8), 7u);
    EXPECT_EQ(d.WriteMemory(kMine + 4, pair, 8), Gvcp::kWriteProtect);
    EXPECT_EQ(Read(d, kMine + 4), 5u);

    // A reset brings the engine's registers back and keeps this memory.
    d.Reset();
    EXPECT_EQ(Read(d, kMine), 0x01020304u);
    EXPECT_EQ(Read(d, kMine + 8), 7u);

    // Handlers: over added memory (across its pieces), never over the rest of the reserved range.
    auto h = std::make_shared<Recorder>();
    h->base = kMine;
    EXPECT_EQ(d.AddRegisterHandler({{kMine + 8, 8}}, h), 0u);
    ASSERT_NE(d.AddRegisterHandler({{kMine, 12}}, h), 0u);
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    EXPECT_EQ(ReadMem(d, kMine, 12).status, Gvcp::kSuccess);
    EXPECT_EQ(h->Calls(), std::vector<std::string>{"R 0 12"});
}

// StoreMemory: the device's own side stores what a controller may not write, and writes the rest as
// WriteMemory does (its checks and effects); WriteMemoryAs writes as a controller (its privilege).
TEST(EngineMemory, TheOwnSideStoresProtectedRegistersAndWritesAsAController) {
    Device d(Config());
    const uint8_t version[] = {0, 2, 0, 0};
    EXPECT_EQ(d.WriteMemory(Reg::kVersion, version, 4), Gvcp::kWriteProtect);
    EXPECT_EQ(d.StoreMemory(Reg::kVersion, version, 4), Gvcp::kSuccess);
    EXPECT_EQ(Read(d, Reg::kVersion), 0x00020000u);
    const uint8_t shortBeat[] = {0, 0, 0, 10};
    EXPECT_EQ(d.StoreMemory(Reg::kHeartbeatTimeout, shortBeat, 4), Gvcp::kSuccess);
    EXPECT_EQ(Read(d, Reg::kHeartbeatTimeout), 500u);   // a writable register keeps its rule
    std::vector<uint8_t> text(32, 'x');
    EXPECT_EQ(d.StoreMemory(Reg::kXmlBase, text.data(), text.size()), Gvcp::kSuccess);
    EXPECT_EQ(d.Xml().substr(0, 4), "xxxx");
    const uint8_t formats[] = {0, 0, 0, 0, 0, 0, 0, 100};   // Width 0 is refused: Height stays
    EXPECT_EQ(d.StoreMemory(Reg::kWidth, formats, 8), Gvcp::kInvalidParameter);
    EXPECT_EQ(Read(d, Reg::kHeight), 480u);
    EXPECT_EQ(d.StoreMemory(Reg::PacketSizeMax(0), version, 4), Gvcp::kInvalidAddress);

    // As a controller: the CCP write takes the privilege for that peer.
    const uint8_t control[] = {0, 0, 0, 2};
    EXPECT_EQ(d.StoreMemory(Reg::kCcp, control, 4), Gvcp::kInvalidParameter);
    EXPECT_EQ(d.WriteMemoryAs(kOther, Reg::kCcp, control, 4), Gvcp::kSuccess);
    EXPECT_EQ(d.Controller(), kOther);
    EXPECT_EQ(d.WriteMemoryAs(kApp, Reg::kCcp, control, 4), Gvcp::kAccessDenied);
}

// A retry of an access that reached a handler gets the first acknowledge: the handler serves it once.
TEST(EngineHandlers, ARetryOfAHandledAccessIsAnsweredWithoutTheHandler) {
    Device d(Config());
    auto h = std::make_shared<Recorder>();
    h->base = kCustom;
    ASSERT_NE(d.AddRegisterHandler({{kCustom, 8}}, h), 0u);
    ASSERT_EQ(Send(d, Command(Gvcp::kWriteRegCmd, {Reg::kCcp, Reg::kCcpControl}, 1)).status, Gvcp::kSuccess);
    const std::vector<uint8_t> write = Command(Gvcp::kWriteRegCmd, {kCustom, 0x11}, 2);
    const Ack first = Send(d, write);
    h->status = Gvcp::kBusy;   // a second call would answer otherwise
    const Ack again = Send(d, write);
    EXPECT_EQ(again.status, Gvcp::kSuccess);
    EXPECT_EQ(again.data, first.data);
    EXPECT_EQ(h->Calls(), std::vector<std::string>{"W 0 4"});
    EXPECT_EQ(d.GetStatistics().retriesReceived, 1u);
    // Another request ID, another peer, or another command between: served again.
    EXPECT_EQ(Send(d, Command(Gvcp::kWriteRegCmd, {kCustom, 0x11}, 3)).status, Gvcp::kBusy);
    EXPECT_EQ(Send(d, Command(Gvcp::kReadRegCmd, {Reg::kVersion}, 4)).status, Gvcp::kSuccess);
    EXPECT_EQ(Send(d, Command(Gvcp::kWriteRegCmd, {kCustom, 0x11}, 3)).status, Gvcp::kBusy);
    EXPECT_EQ(h->Calls().size(), 2u);
}

namespace {

// An observer that writes down what it hears, as text, and whether the engine's locks were free then.
struct Watcher : Observer {
    explicit Watcher(Device& aDevice) : device(aDevice) {}
    void SessionOpened(const Peer& aController, uint32_t aPrivilege) override {
        uint32_t ccp = 0;
        device.ReadRegister(Reg::kCcp, ccp);   // the engine has done it: the register tells already
        Note("opened " + std::to_string(aController.port) + " " + std::to_string(aPrivilege) + " ccp " +
             std::to_string(ccp));
    }
    void SessionClosed(const Peer& aController, bool aHeartbeat) override {
        Note("closed " + std::to_string(aController.port) + (aHeartbeat ? " heartbeat" : ""));
    }
    void AddressForced(uint32_t aAddress, uint32_t aMask, uint32_t) override {
        Note("forced " + FormatAddress(aAddress) + " " + FormatAddress(aMask) + " at " + FormatAddress(device.Address()));
    }
    void DeviceReset() override {
        Note("reset");
        if (failing) throw std::runtime_error("the observer failed");
    }
    void Note(const std::string& aText) {
        const bool free = EngineFreeElsewhere(device);
        std::lock_guard lock(m);
        heard.push_back(aText);
        allFree = allFree && free;
    }
    std::vector<std::string> Heard() {
        std::lock_guard lock(m);
        return std::exchange(heard, {});
    }
    Device& device;
    std::mutex m;
    std::vector<std::string> heard;
    bool allFree = true;
    bool failing = false;
};

using Texts = std::vector<std::string>;

}  // namespace

TEST(EngineNotifications, SessionsAreToldWhenTheyOpenAndClose) {
    Device d(Config());
    ManualClock clock;
    d.SetClock(clock.get());
    auto w = std::make_shared<Watcher>(d);
    d.SetObserver(w);

    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpExclusive), Gvcp::kSuccess);
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);   // the same session
    ASSERT_EQ(WriteReg(d, Reg::kCcp, 0), Gvcp::kSuccess);
    EXPECT_EQ(w->Heard(), (Texts{"opened 50000 1 ccp 1", "closed 50000"}));

    // Switch-over: one session ends as the other begins.
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl | Reg::kCcpSwitchoverEnable | (0x77u << 16)), Gvcp::kSuccess);
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl | (0x77u << 16), kOther), Gvcp::kSuccess);
    EXPECT_EQ(w->Heard(), (Texts{"opened 50000 6 ccp 6", "closed 50000", "opened 50001 2 ccp 2"}));

    // The heartbeat runs out; the device ends a session on its own side.
    clock.advance(3001);
    d.Poll();
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    ASSERT_EQ(d.WriteRegister(Reg::kCcp, 0), Gvcp::kSuccess);
    EXPECT_EQ(w->Heard(), (Texts{"closed 50001 heartbeat", "opened 50000 2 ccp 2", "closed 50000"}));
    EXPECT_TRUE(w->allFree);

    // Removed, the observer hears nothing more.
    d.SetObserver(nullptr);
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    EXPECT_TRUE(w->Heard().empty());
}

TEST(EngineNotifications, ForceIpIsToldOnceTheDeviceMoved) {
    DeviceConfig c = Config();
    c.identity.mac = {0x02, 0x4B, 0x49, 0x40, 0x00, 0x07};
    Device d(c);
    auto w = std::make_shared<Watcher>(d);
    d.SetObserver(w);
    // Without the front end the address changes in the dispatcher.
    std::vector<uint32_t> words(14, 0);
    words[0] = 0x024B;
    words[1] = 0x49400007;
    words[5] = 0x7F000042;
    words[9] = 0xFFFF0000;
    Ack ack = Send(d, Command(Gvcp::kForceIpCmd, words));
    ASSERT_EQ(ack.status, Gvcp::kSuccess);
    EXPECT_EQ(w->Heard(), (Texts{"forced 127.0.0.66 255.255.0.0 at 0.0.0.0"}));

    // With it, once the front end serves at the new address.
    std::string error;
    ASSERT_TRUE(d.Start(0, &error)) << error;
    ASSERT_TRUE(TqGvcpClient::ForceIp(c.identity.mac, 0x7F000043, 0xFF000000, 0));
    EXPECT_TRUE(WaitFor([&] {
        std::lock_guard lock(w->m);
        return !w->heard.empty();
    }));
    EXPECT_EQ(w->Heard(), (Texts{"forced 127.0.0.67 255.0.0.0 at 127.0.0.67"}));
    EXPECT_TRUE(w->allFree);
    d.Stop();
}

TEST(EngineNotifications, AResetEndsTheSessionAndBringsTheRegistersBack) {
    DeviceConfig c = Config();
    c.width = 16;
    c.height = 8;
    Device d(c);
    auto w = std::make_shared<Watcher>(d);
    d.SetObserver(w);
    std::mutex m;
    std::vector<uint16_t> blocks;
    d.SetStreamTap([&](uint32_t, const uint8_t* aData, size_t) {
        std::lock_guard lock(m);
        if (aData[4] == Gvsp::kFormatLeader) blocks.push_back(uint16_t((aData[2] << 8) | aData[3]));
    });
    auto framesSeen = [&] {
        std::lock_guard lock(m);
        return blocks.size();
    };

    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    for (auto [address, value] : std::vector<std::pair<uint32_t, uint32_t>>{{Reg::kWidth, 12},
                                                                          {Reg::kPersistentIp, 0x7F000009},
                                                                          {Reg::kUserName, 0x43616D00},
                                                                          {Reg::kHeartbeatTimeout, 9000},
                                                                          {Reg::kMcda, 0x7F000001},
                                                                          {Serial::Base(0) + Serial::kLoopback, 0},
                                                                          {Reg::kFramePeriod, 1000},
                                                                          {Reg::kAcquisitionStart, 1}})
        ASSERT_EQ(WriteReg(d, address, value), Gvcp::kSuccess) << std::hex << address;
    ASSERT_TRUE(WaitFor([&] { return framesSeen() >= 3; }));
    EXPECT_EQ(w->Heard(), (Texts{"opened 50000 2 ccp 2"}));
    w->failing = true;   // what the observer throws stays its own
    EXPECT_EQ(WriteReg(d, Reg::kDeviceReset, 1), Gvcp::kSuccess);
    EXPECT_EQ(w->Heard(), (Texts{"closed 50000", "reset"}));
    EXPECT_TRUE(w->allFree);
    EXPECT_FALSE(d.IsAcquiring());
    EXPECT_EQ(d.Controller().address, 0u);
    EXPECT_EQ(Read(d, Reg::kWidth), 16u);
    EXPECT_EQ(Read(d, Reg::kHeartbeatTimeout), 3000u);
    EXPECT_EQ(Read(d, Reg::kMcda), 0u);
    EXPECT_EQ(Read(d, Reg::kFramePeriod), 33333u);
    EXPECT_EQ(Read(d, Serial::Base(0) + Serial::kLoopback), 1u);
    EXPECT_EQ(Read(d, Reg::kPersistentIp), 0x7F000009u);   // kept, as a real device keeps it
    EXPECT_EQ(Read(d, Reg::kUserName), 0x43616D00u);
    EXPECT_EQ(Read(d, Reg::kDeviceReset), 0u);

    // The next acquisition begins at block 1 again.
    {
        std::lock_guard lock(m);
        blocks.clear();
    }
    w->failing = false;
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionMode, 1), Gvcp::kSuccess);
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    ASSERT_TRUE(WaitFor([&] { return framesSeen() >= 1 && !d.IsAcquiring(); }));
    std::lock_guard lock(m);
    EXPECT_EQ(blocks, std::vector<uint16_t>{1});
    // The local side resets the same way.
    d.Reset();
    EXPECT_EQ(w->Heard(), (Texts{"reset"}));
}

namespace {

// A frame provider that hands out the images it was given, one at a time as the test lets it, all
// through the one buffer it reuses (overwritten as soon as a frame is done), and writes down what
// the sender asked and told.
struct Source : FrameProvider {
    void Started(uint32_t) override {
        std::lock_guard lock(m);
        interrupted = false;
        ++started;
    }
    void Stopped(uint32_t) override {
        std::lock_guard lock(m);
        ++stopped;
    }
    bool NextFrame(uint32_t, Frame& aFrame) override {
        std::unique_lock lock(m);
        waiting = true;
        changed.notify_all();
        changed.wait(lock, [&] { return interrupted || (!images.empty() && allowed > 0); });
        waiting = false;
        if (interrupted) return false;
        --allowed;
        buffer = std::move(images.front());
        images.pop_front();
        asked.push_back(aFrame.blockId);
        aFrame.image = buffer.data();
        aFrame.imageSize = buffer.size();
        aFrame.chunks = chunks.empty() ? nullptr : chunks.data();
        aFrame.chunkSize = chunks.size();
        aFrame.chunkLayoutId = 0x51;
        aFrame.width = width;
        aFrame.height = height;
        aFrame.pixelFormat = format;
        aFrame.offsetX = 3;
        aFrame.timestamp = timestamp;
        aFrame.tag = this;
        return true;
    }
    void FrameDone(uint32_t, const Frame& aFrame, bool aSent) override {
        std::lock_guard lock(m);
        done.emplace_back(aFrame.blockId, aSent && aFrame.tag == this);
        std::fill(buffer.begin(), buffer.end(), 0xEE);   // the memory is the provider's again
        changed.notify_all();
    }
    void Interrupt(uint32_t) override {
        std::lock_guard lock(m);
        interrupted = true;
        ++interrupts;
        changed.notify_all();
    }
    // One more image to give, with aChunks as the chunk area from then on.
    void Give(std::vector<uint8_t> aImage, std::vector<uint8_t> aChunks = {}) {
        std::lock_guard lock(m);
        images.push_back(std::move(aImage));
        chunks = std::move(aChunks);
        changed.notify_all();
    }
    // Lets aCount more frames go.
    void Allow(int aCount) {
        std::lock_guard lock(m);
        allowed += aCount;
        changed.notify_all();
    }
    template <class Condition>
    bool Await(Condition aDone) {
        std::unique_lock lock(m);
        return changed.wait_for(lock, std::chrono::seconds(20), aDone);
    }

    std::mutex m;
    std::condition_variable changed;
    std::deque<std::vector<uint8_t>> images;
    std::vector<uint8_t> chunks;
    std::vector<uint8_t> buffer;
    uint32_t width = 8, height = 4, format = Pfnc::kMono8;
    std::optional<uint64_t> timestamp;
    int allowed = 1 << 30;
    bool interrupted = false, waiting = false;
    int started = 0, stopped = 0, interrupts = 0;
    std::vector<uint16_t> asked;
    std::vector<std::pair<uint16_t, bool>> done;   // block ID, sent
};

std::vector<uint8_t> Bytes(size_t aSize, uint32_t aSeed) {
    std::vector<uint8_t> out(aSize);
    for (size_t i = 0; i < aSize; ++i) out[i] = uint8_t((i * 7 + aSeed * 13 + (i >> 8)) & 0xFF);
    return out;
}


}  // namespace

TEST(EngineProviders, FramesOfGivenBytesReachAGvspReceiverWhole) {
    DeviceConfig c = Config();
    c.channels = {ChannelConfig{}};
    c.channels[0].packetSizeMax = 16000;
    Device d(c);
    auto source = std::make_shared<Source>();
    source->width = 200;
    source->height = 100;
    source->format = Pfnc::kMono16;
    for (uint32_t n = 0; n < 4; ++n) source->images.push_back(Bytes(200 * 100 * 2, n));
    const std::deque<std::vector<uint8_t>> given = source->images;
    source->allowed = 0;
    ASSERT_TRUE(d.SetFrameProvider(0, source));
    EXPECT_FALSE(d.SetFrameProvider(1, source));
    std::string error;
    ASSERT_TRUE(d.Start(0, &error)) << error;

    std::vector<std::unique_ptr<TqBuffer>> buffers;   // outlive the stream, which may hold them
    for (int i = 0; i < 2; ++i) {
        buffers.push_back(std::make_unique<TqBuffer>());
        ASSERT_TRUE(buffers.back()->Alloc(200 * 100 * 2).IsOK());
    }
    {
        TqStreamGEV stream;
        ASSERT_TRUE(stream.Open(TqString(FormatAddress(d.Address()).c_str())).IsOK());
        ASSERT_EQ(d.WriteRegister(Reg::Scps(0), 16000), Gvcp::kSuccess);   // packets beyond the usual largest
        for (auto& b : buffers) ASSERT_TRUE(stream.QueueBuffer(b.get()).IsOK());
        ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
        for (uint16_t n = 0; n < 4; ++n) {
            source->Allow(1);   // the provider's pace: one frame at a time
            TqBuffer* buffer = nullptr;
            TqResult operation;
            ASSERT_TRUE(stream.RetrieveBuffer(&buffer, &operation, 20000).IsOK());
            ASSERT_EQ(operation.GetCode(), TQ_OK);
            EXPECT_EQ(buffer->GetBlockID(), n + 1u);
            ASSERT_EQ(buffer->GetPayloadLength(), given[n].size());
            EXPECT_TRUE(std::equal(given[n].begin(), given[n].end(), buffer->GetDataPointer())) << n;
            const TqImage* image = buffer->GetImage();
            ASSERT_NE(image, nullptr);
            EXPECT_EQ(image->GetWidth(), 200u);
            EXPECT_EQ(image->GetHeight(), 100u);
            EXPECT_EQ(image->GetOffsetX(), 3u);
            EXPECT_EQ(image->GetPixelType(), TqPixelMono16);
            ASSERT_TRUE(stream.QueueBuffer(buffer).IsOK());
        }
        int64_t bad = -1;
        EXPECT_TRUE(stream.GetParameters()->GetIntegerValue(TqString("PacketsBad"), bad).IsOK() && bad == 0);
        ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStop, 1), Gvcp::kSuccess);
        stream.Close();
        StreamTesting::TakeBack(stream);
    }
    d.Stop();
    std::lock_guard lock(source->m);
    EXPECT_EQ(source->asked, (std::vector<uint16_t>{1, 2, 3, 4}));
    EXPECT_EQ(source->done, (std::vector<std::pair<uint16_t, bool>>{{1, true}, {2, true}, {3, true}, {4, true}}));
    EXPECT_EQ(source->started, 1);
    EXPECT_EQ(source->stopped, 1);
    EXPECT_EQ(d.GetStatistics().framesSent, 4u);
}

TEST(EngineProviders, ChunkModeSendsTheImageThenTheChunkAreaAsOnePayload) {
    Device d(Config());
    Capture capture;
    capture.Attach(d);
    auto source = std::make_shared<Source>();
    source->images = {Bytes(32, 1), Bytes(2000, 2)};
    source->chunks = Bytes(24, 9);
    source->timestamp = 0x0102030405060708ull;
    ASSERT_TRUE(d.SetFrameProvider(0, source));
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    ASSERT_TRUE(source->Await([&] { return source->done.size() == 2 && source->waiting; }));
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStop, 1), Gvcp::kSuccess);

    const auto packets = capture.Take();
    for (uint16_t block : {1, 2}) {
        const Capture::Block a = Capture::Assemble(packets, block);
        const std::vector<uint8_t> image = Bytes(block == 1 ? 32 : 2000, block);
        ASSERT_EQ(a.leader.size(), 8u + 36u);
        EXPECT_EQ(be16(a.leader, 10), Gvsp::kPayloadImageExtendedChunk);
        EXPECT_EQ(be32(a.leader, 12), 0x01020304u);
        EXPECT_EQ(be32(a.leader, 16), 0x05060708u);
        std::vector<uint8_t> expected = image;
        expected.insert(expected.end(), source->chunks.begin(), source->chunks.end());
        EXPECT_EQ(a.payload, expected) << block;
        ASSERT_EQ(a.trailer.size(), 8u + 16u);
        EXPECT_EQ(be16(a.trailer, 10), Gvsp::kPayloadImageExtendedChunk);
        EXPECT_EQ(be32(a.trailer, 12), 4u);                     // the lines
        EXPECT_EQ(be32(a.trailer, 16), expected.size());        // the whole payload
        EXPECT_EQ(be32(a.trailer, 20), 0x51u);                  // the chunk layout
    }
    // Without a chunk area the payload is an image, as the test pattern's.
    source->Give(Bytes(32, 3));
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    ASSERT_TRUE(source->Await([&] { return source->done.size() == 3 && source->waiting; }));
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStop, 1), Gvcp::kSuccess);
    const Capture::Block plain = Capture::Assemble(capture.Take(), 3);
    EXPECT_EQ(be16(plain.leader, 10), Gvsp::kPayloadImage);
    EXPECT_EQ(plain.trailer.size(), 8u + 8u);
    EXPECT_EQ(plain.payload, Bytes(32, 3));
}

TEST(EngineProviders, EachFrameIsDoneOnceAndResendsSendWhatWasSent) {
    Device d(Config());
    Capture capture;
    capture.Attach(d);
    auto source = std::make_shared<Source>();
    for (uint32_t n = 0; n < 3; ++n) source->images.push_back(Bytes(32, n + 10));
    ASSERT_TRUE(d.SetFrameProvider(0, source));
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    ASSERT_TRUE(source->Await([&] { return source->done.size() == 3 && source->waiting; }));
    capture.Take();
    // The provider's buffer was overwritten after each frame: a resend still has the frame's bytes.
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);   // the controller asks
    EXPECT_TRUE(Send(d, Command(Gvcp::kPacketResendCmd, {2, 1, 1}, 9, 0)).empty);   // channel 0, block 2
    ASSERT_TRUE(d.WaitResendsDone(10000));
    const auto resent = capture.Take();
    ASSERT_EQ(resent.size(), 1u);
    EXPECT_EQ(std::vector<uint8_t>(resent[0].begin() + 8, resent[0].end()), Bytes(32, 11));

    // Unplugged, frames are still taken from the provider and given back unsent.
    d.SetLinkUp(false);
    source->Give(Bytes(32, 20));
    ASSERT_TRUE(source->Await([&] { return source->done.size() == 4 && source->waiting; }));
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStop, 1), Gvcp::kSuccess);
    d.SetLinkUp(true);
    std::lock_guard lock(source->m);
    EXPECT_EQ(source->done,
              (std::vector<std::pair<uint16_t, bool>>{{1, true}, {2, true}, {3, true}, {4, false}}));
    EXPECT_TRUE(capture.Take().empty());
    EXPECT_EQ(source->started, 1);
    EXPECT_EQ(source->stopped, 1);
    EXPECT_EQ(source->interrupts, 1);
}

TEST(EngineProviders, AProviderFeedsABlockSinkAndSingleFrameEndsAfterOne) {
    Device d(Config());
    auto source = std::make_shared<Source>();
    source->images = {Bytes(32, 5), Bytes(32, 6)};
    source->chunks = Bytes(8, 7);
    ASSERT_TRUE(d.SetFrameProvider(0, source));
    const std::vector<uint8_t> filled = OneFrameThroughASink(d);
    std::vector<uint8_t> expected = Bytes(32, 5);
    expected.insert(expected.end(), source->chunks.begin(), source->chunks.end());
    EXPECT_EQ(filled.size(), 40u);
    EXPECT_EQ(filled, expected);
    std::lock_guard lock(source->m);
    EXPECT_EQ(source->done, (std::vector<std::pair<uint16_t, bool>>{{1, true}}));
    EXPECT_EQ(source->images.size(), 1u);
}

TEST(EngineProviders, StoppingInterruptsAProviderThatNeverDelivers) {
    auto source = std::make_shared<Source>();   // no images: it waits until interrupted
    {
        Device d(Config());
        Capture capture;
        capture.Attach(d);
        ASSERT_TRUE(d.SetFrameProvider(0, source));
        for (int run = 1; run <= 2; ++run) {
            ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
            ASSERT_TRUE(source->Await([&] { return source->waiting && source->started == run; }));
            auto stopping = std::async(std::launch::async, [&] { return d.WriteRegister(Reg::kAcquisitionStop, 1); });
            ASSERT_EQ(stopping.wait_for(std::chrono::seconds(20)), std::future_status::ready);
            EXPECT_EQ(stopping.get(), Gvcp::kSuccess);
            std::lock_guard lock(source->m);
            EXPECT_EQ(source->interrupts, run);
            EXPECT_EQ(source->stopped, run);
        }
        // The device going away while it acquires interrupts the provider as well.
        ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
        ASSERT_TRUE(source->Await([&] { return source->waiting && source->started == 3; }));
    }
    std::lock_guard lock(source->m);
    EXPECT_EQ(source->interrupts, 3);
    EXPECT_EQ(source->stopped, 3);
    EXPECT_TRUE(source->done.empty());
}

namespace {

std::string Text(Device& aDevice, uint32_t aAddress, size_t aSize) {
    std::vector<char> bytes(aSize, 'x');
    EXPECT_EQ(aDevice.ReadMemory(aAddress, bytes.data(), aSize), Gvcp::kSuccess);
    EXPECT_EQ(bytes.back(), '\0');   // always terminated
    return std::string(bytes.data(), strnlen(bytes.data(), aSize));
}

// The model the registry of running devices tells for aAddress ("" when it lists none there).
std::string Registered(uint32_t aAddress) {
    for (const DeviceRecord& r : RunningDevices())
        if (r.address == aAddress) return r.identity.model + (r.identity.serial == "Short" ? " (Short)" : "");
    return "";
}

// A register of the device at aDevice, read by a controller over the network (0xFFFFFFFF: no answer).
uint32_t ReadOverNetwork(uint32_t aDevice, uint32_t aRegister) {
    TqGvcpClient::Channel controller;
    uint32_t value = 0xFFFFFFFF;
    controller.SetTimeout(5000);
    if (!controller.Open(aDevice) || controller.ReadRegister(aRegister, value) != Gvcp::kSuccess) return 0xFFFFFFFF;
    return value;
}

}  // namespace

TEST(EngineIdentity, StringsChangeWhileTheDeviceRunsWithinTheirRegisters) {
    Device d(Config());
    std::string error;
    ASSERT_TRUE(d.Start(0, &error)) << error;
    const uint32_t at = d.Address();
    const struct {
        IdentityString string;
        uint32_t address;
        size_t size;
    } strings[] = {{IdentityString::kManufacturer, Reg::kManufacturerName, 32},
                   {IdentityString::kModel, Reg::kModelName, 32},
                   {IdentityString::kVersion, Reg::kDeviceVersion, 32},
                   {IdentityString::kManufacturerInfo, Reg::kManufacturerInfo, 48},
                   {IdentityString::kSerial, Reg::kSerialNumber, 16},
                   {IdentityString::kUserName, Reg::kUserName, 16},
                   {IdentityString::kFirmwareVersion, Reg::kFirmwareVersion, 32}};
    for (const auto& s : strings) {
        const std::string before = Text(d, s.address, s.size);
        const std::string longest(s.size - 1, 'L');
        EXPECT_EQ(IdentityCapacity(s.string), s.size - 1);
        // Too long, or with a NUL inside: refused, nothing changes.
        EXPECT_EQ(d.SetIdentityString(s.string, longest + "L"), Gvcp::kInvalidParameter);
        EXPECT_EQ(d.SetIdentityString(s.string, std::string("a\0b", 3)), Gvcp::kInvalidParameter);
        EXPECT_EQ(Text(d, s.address, s.size), before);
        ASSERT_EQ(d.SetIdentityString(s.string, longest), Gvcp::kSuccess);
        EXPECT_EQ(Text(d, s.address, s.size), longest);
        ASSERT_EQ(d.SetIdentityString(s.string, "Short"), Gvcp::kSuccess);   // nothing of the longer one stays
        EXPECT_EQ(Text(d, s.address, s.size), "Short");
    }
    // What the device tells: its identity, the registry, discovery, and again after a reset.
    const Identity id = d.GetIdentity();
    EXPECT_EQ(id.model, "Short");
    EXPECT_EQ(id.firmwareVersion, "Short");
    EXPECT_EQ(id.userName, "Short");
    ASSERT_EQ(d.SetIdentityString(IdentityString::kModel, "Renamed Model"), Gvcp::kSuccess);
    EXPECT_EQ(Registered(at), "Renamed Model (Short)");
    Ack discovery = Send(d, Command(Gvcp::kDiscoveryCmd, {}, 1));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&discovery.data[Reg::kModelName])), "Renamed Model");
    d.Reset();
    EXPECT_EQ(Text(d, Reg::kModelName, 32), "Renamed Model");
    EXPECT_EQ(Text(d, Reg::kFirmwareVersion, 32), "Short");
    // A controller's user name is the identity's too.
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    ASSERT_EQ(Send(d, Command(Gvcp::kWriteMemCmd, {Reg::kUserName, 0x43616D31, 0, 0, 0})).status, Gvcp::kSuccess);
    EXPECT_EQ(d.GetIdentity().userName, "Cam1");
    d.Stop();
    EXPECT_EQ(Registered(at), "");
}

TEST(EngineLife, ADeviceStopsAndStartsAgainAndAFreshOneTakesItsPlace) {
    Device first(Config());
    std::string error;
    ASSERT_TRUE(first.Start(0, &error)) << error;
    const uint32_t at = first.Address();
    EXPECT_FALSE(first.Start(at, &error));   // already running
    EXPECT_EQ(Registered(at), "Engine Test");
    first.Stop();
    first.Stop();
    EXPECT_FALSE(first.IsRunning());
    EXPECT_EQ(Registered(at), "");

    // A fresh device with the same identity at the same address, while the first one lives on.
    {
        DeviceConfig c = Config();
        c.identity.model = "Second";
        Device second(c);
        ASSERT_TRUE(second.Start(at, &error)) << error;
        EXPECT_EQ(Registered(at), "Second");
        EXPECT_EQ(ReadOverNetwork(at, Reg::kStreamChannels), 1u);
        EXPECT_FALSE(first.Start(at, &error));   // the address is taken
    }
    // Gone again: the first one takes its address back and serves as before.
    ASSERT_TRUE(first.Start(at, &error)) << error;
    size_t listed = 0;
    for (const DeviceRecord& r : RunningDevices()) listed += r.address == at;
    EXPECT_EQ(listed, 1u);
    EXPECT_EQ(Registered(at), "Engine Test");
    EXPECT_EQ(ReadOverNetwork(at, Reg::kVersion), 0x00010002u);
    first.Stop();
}

TEST(EngineHandlers, AHandlerTakingLocalAccessesServesTheLocalSideButNotItself) {
    Device d(Config());
    auto local = std::make_shared<Recorder>();
    local->base = Reg::kWidth;
    auto remote = std::make_shared<Recorder>();
    remote->base = kCustom;
    ASSERT_NE(d.AddRegisterHandler({{Reg::kWidth, 4}}, local, true), 0u);
    ASSERT_NE(d.AddRegisterHandler({{kCustom, 4}}, remote), 0u);
    // Inside its own call the handler reaches the engine's register beneath it.
    uint32_t beneath = 0;
    local->during = [&] { EXPECT_EQ(d.ReadRegister(Reg::kWidth, beneath), Gvcp::kSuccess); };
    uint32_t value = 0;
    EXPECT_EQ(d.ReadRegister(Reg::kWidth, value), Gvcp::kSuccess);
    EXPECT_EQ(value, 0xA5000000u);
    EXPECT_EQ(beneath, 640u);
    local->during = [&] { EXPECT_EQ(d.WriteRegister(Reg::kWidth, 320), Gvcp::kSuccess); };
    EXPECT_EQ(d.WriteRegister(Reg::kWidth, 100), Gvcp::kSuccess);
    local->during = nullptr;
    EXPECT_EQ(local->words[Reg::kWidth], 100u);
    // Memory accesses across it: its part, then the engine's.
    uint8_t bytes[8] = {};
    EXPECT_EQ(d.ReadMemory(Reg::kWidth, bytes, 8), Gvcp::kSuccess);
    EXPECT_EQ(be32(std::vector<uint8_t>(bytes, bytes + 8), 0), 100u);
    EXPECT_EQ(be32(std::vector<uint8_t>(bytes, bytes + 8), 4), 480u);
    EXPECT_EQ(local->Calls(), (std::vector<std::string>{"R 0 4", "W 0 4", "R 0 4"}));
    local->status = Gvcp::kInvalidParameter;   // a refusal is the local side's status too
    EXPECT_EQ(d.WriteRegister(Reg::kWidth, 8), Gvcp::kInvalidParameter);
    // A handler installed for controllers only leaves the local side on the engine's memory.
    EXPECT_EQ(d.ReadRegister(kCustom, value), Gvcp::kInvalidAddress);
    EXPECT_TRUE(remote->Calls().empty());
    // The check of a write changes nothing and answers as the write would.
    EXPECT_EQ(d.CheckRegister(Reg::kHeight, 0), Gvcp::kInvalidParameter);
    EXPECT_EQ(d.CheckRegister(Reg::kHeight, 240), Gvcp::kSuccess);
    EXPECT_EQ(Read(d, Reg::kHeight), 480u);
}
