// The engine as a software device embeds it: 0 to 4 stream channels, each with its own image format
// (chosen by SourceSelector in the description) and largest packet size.
#include "TqGenParameterArray.h"
#include "engine_helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
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
