// The device engine without sockets: the dispatcher's answers (register values and their byte order,
// the description at the first URL, alignment, size and address errors, malformed datagrams), the
// control privilege and its heartbeat on an injected clock, and the GVSP packets of a frame.
#include "TqGenParameterArray.h"
#include "engine_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

using namespace TqEngine;
using namespace TqEngine::Testing;

TEST(EngineRegisters, BootstrapValuesAreBigEndianAndMatchTheIdentity) {
    Device d(Config());
    Ack ack = ReadReg(d, {Reg::kVersion, Reg::kDeviceMode, Reg::kMacHigh, Reg::kMacLow, Reg::kStreamChannels,
                          Reg::kTickFrequencyLow, Reg::kHeartbeatTimeout, Reg::Scps(0)});
    ASSERT_EQ(ack.status, Gvcp::kSuccess);
    ASSERT_EQ(ack.data.size(), 32u);
    EXPECT_EQ(ack.answer, Gvcp::kReadRegAck);
    EXPECT_EQ(ack.id, 7);
    EXPECT_EQ(be32(ack.data, 0), 0x00010002u);
    EXPECT_EQ(be32(ack.data, 4) >> 31, 1u);  // big-endian device
    EXPECT_EQ(be32(ack.data, 8), 0x00000211u);
    EXPECT_EQ(be32(ack.data, 12), 0x22334455u);
    EXPECT_EQ(be32(ack.data, 16), 1u);
    EXPECT_EQ(be32(ack.data, 20), 1000000000u);
    EXPECT_EQ(be32(ack.data, 24), 3000u);
    EXPECT_EQ(be32(ack.data, 28) & 0xFFFF, Reg::kDefaultPacketSize);

    Ack strings = ReadMem(d, Reg::kManufacturerName, 0xF8 - 0x48);
    ASSERT_EQ(strings.status, Gvcp::kSuccess);
    EXPECT_EQ(be32(strings.data, 0), Reg::kManufacturerName);
    auto text = [&](uint32_t aAddress) { return std::string(reinterpret_cast<const char*>(&strings.data[4 + aAddress - 0x48])); };
    EXPECT_EQ(text(Reg::kManufacturerName), "Kivo Sim");
    EXPECT_EQ(text(Reg::kModelName), "Engine Test");
    EXPECT_EQ(text(Reg::kSerialNumber), "SN-42");

    // A long identity string is cut to its register with the terminating NUL kept.
    DeviceConfig c = Config();
    c.identity.serial = std::string(40, 'S');
    Device cut(c);
    char serial[16];
    ASSERT_EQ(cut.ReadMemory(Reg::kSerialNumber, serial, 16), Gvcp::kSuccess);
    EXPECT_EQ(std::string(serial, strnlen(serial, 16)), std::string(15, 'S'));
}

TEST(EngineRegisters, TheDescriptionsRootNamesTheModelAndVendorWhateverTheirLength) {
    // Names past a short string's inline room: the header must not outlive what it names.
    DeviceConfig c = Config();
    c.identity.model = "Model " + std::string(40, 'M');
    c.identity.manufacturer = "Vendor " + std::string(40, 'V');
    Device d(c);
    EXPECT_NE(d.Xml().find("ModelName=\"Model_" + std::string(40, 'M') + "\""), std::string::npos);
    EXPECT_NE(d.Xml().find("VendorName=\"Vendor_" + std::string(40, 'V') + "\""), std::string::npos);
}

TEST(EngineRegisters, DescriptionAtTheFirstUrlEqualsTheServedText) {
    Device d(Config());
    const std::string url = d.FirstUrl();
    unsigned address = 0, size = 0;
    char name[64];
    ASSERT_EQ(std::sscanf(url.c_str(), "Local:%63[^;];%x;%x", name, &address, &size), 3) << url;
    EXPECT_EQ(std::string(name), "kivo_device.xml");
    EXPECT_EQ(size, d.Xml().size());
    EXPECT_EQ(size % 4, 0u);
    EXPECT_TRUE(address < 0x00010000 || address > 0x0FFFFFFF);

    std::string read;
    for (uint32_t offset = 0; offset < size; offset += Gvcp::kMaxMemory) {
        const uint16_t chunk = uint16_t(std::min<uint32_t>(Gvcp::kMaxMemory, size - offset));
        Ack ack = ReadMem(d, address + offset, chunk);
        ASSERT_EQ(ack.status, Gvcp::kSuccess) << offset;
        ASSERT_EQ(ack.data.size(), 4u + chunk);
        read.append(ack.data.begin() + 4, ack.data.end());
    }
    EXPECT_EQ(read, d.Xml());
    EXPECT_NE(read.find("SchemaMinorVersion=\"1\""), std::string::npos);
    EXPECT_NE(read.find("<IntSwissKnife Name=\"PayloadSize\""), std::string::npos);
    // One word past the end of the text is outside device memory.
    EXPECT_EQ(ReadMem(d, address + size, 4).status, Gvcp::kInvalidAddress);
    EXPECT_EQ(ReadMem(d, address + size - 4, 8).status, Gvcp::kInvalidAddress);
}

TEST(EngineDispatcher, AlignmentSizeAndAddressErrors) {
    Device d(Config());
    EXPECT_EQ(ReadReg(d, {0x0002}).status, Gvcp::kBadAlignment);
    EXPECT_EQ(ReadMem(d, 0x0048, 6).status, Gvcp::kBadAlignment);
    EXPECT_EQ(ReadMem(d, 0x0049, 8).status, Gvcp::kBadAlignment);
    EXPECT_EQ(ReadMem(d, 0x0000, 0).status, Gvcp::kInvalidParameter);
    EXPECT_EQ(ReadMem(d, 0x0000, Gvcp::kMaxMemory + 4).status, Gvcp::kInvalidParameter);
    EXPECT_EQ(ReadMem(d, 0x0000, Gvcp::kMaxMemory).status, Gvcp::kSuccess);
    EXPECT_EQ(ReadMem(d, 0x0FFC, 8).status, Gvcp::kInvalidAddress);  // runs past the bootstrap block
    EXPECT_EQ(ReadMem(d, 0xFFFFFFFC, 8).status, Gvcp::kInvalidAddress);  // wraps around 2^32
    EXPECT_EQ(ReadReg(d, {0x00020000}).status, Gvcp::kInvalidAddress);

    // Several registers in one command: values in order, and the error of the first bad one.
    Ack partial = ReadReg(d, {Reg::kStreamChannels, 0x00020000, Reg::kVersion});
    EXPECT_EQ(partial.status, Gvcp::kInvalidAddress);
    EXPECT_EQ(partial.data.size(), 4u);

    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    EXPECT_EQ(WriteReg(d, Reg::kVersion, 5), Gvcp::kWriteProtect);
    EXPECT_EQ(WriteReg(d, Reg::kWidth + 2, 5), Gvcp::kBadAlignment);
    EXPECT_EQ(WriteReg(d, Reg::kWidth, 0), Gvcp::kInvalidParameter);
    EXPECT_EQ(WriteReg(d, Reg::kPixelFormat, 0x01080002), Gvcp::kInvalidParameter);
    EXPECT_EQ(WriteReg(d, Reg::Scda(0), 0x0A000001), Gvcp::kInvalidParameter);  // never off loopback
    EXPECT_EQ(WriteReg(d, Reg::kMcda, 0xC0A80001), Gvcp::kInvalidParameter);
    EXPECT_EQ(WriteReg(d, Reg::Scda(0), 0xE0000001), Gvcp::kSuccess);  // multicast stays on loopback
    EXPECT_EQ(WriteReg(d, Reg::Scps(0), 100), Gvcp::kInvalidParameter);
    EXPECT_EQ(WriteReg(d, Reg::Scp(1), 5000), Gvcp::kInvalidAddress);  // one stream channel only
    EXPECT_EQ(WriteReg(d, Reg::kXmlBase, 0), Gvcp::kWriteProtect);

    // WRITEREG stops at the first failing pair; the acknowledge counts the pairs written.
    Ack write = Send(d, Command(Gvcp::kWriteRegCmd, {Reg::kWidth, 320, Reg::kHeight, 0, Reg::kOffsetX, 2}));
    EXPECT_EQ(write.status, Gvcp::kInvalidParameter);
    EXPECT_EQ(be16(write.data, 2), 1);
    uint32_t value = 0;
    d.ReadRegister(Reg::kWidth, value);
    EXPECT_EQ(value, 320u);
    d.ReadRegister(Reg::kOffsetX, value);
    EXPECT_EQ(value, 0u);

    // WRITEMEM checks every word before it writes any.
    std::vector<uint8_t> mem = Command(Gvcp::kWriteMemCmd, {Reg::kWidth, 64, 0});
    Ack all = Send(d, mem);
    EXPECT_EQ(all.status, Gvcp::kInvalidParameter);
    d.ReadRegister(Reg::kWidth, value);
    EXPECT_EQ(value, 320u);
    Ack name = Send(d, Command(Gvcp::kWriteMemCmd, {Reg::kUserName, 0x43616D31, 0}));
    EXPECT_EQ(name.status, Gvcp::kSuccess);
    EXPECT_EQ(be16(name.data, 2), 8);
    char user[16] = {};
    d.ReadMemory(Reg::kUserName, user, 16);
    EXPECT_STREQ(user, "Cam1");
}

TEST(EngineDispatcher, MalformedDatagramsAreAnsweredOrDroppedSafely) {
    Device d(Config());
    std::vector<uint8_t> command = Command(Gvcp::kReadRegCmd, {Reg::kVersion});
    for (size_t size = 0; size < 8; ++size) {
        Reply reply = d.Dispatch(command.data(), size, kApp);
        EXPECT_TRUE(reply.ack.empty()) << size;
    }
    command[0] = 0x43;
    EXPECT_TRUE(Send(d, command).empty);

    // The length field claims more than the datagram holds.
    command = Command(Gvcp::kReadRegCmd, {Reg::kVersion, Reg::kVersion});
    command.resize(12);
    Ack ack = Send(d, command);
    EXPECT_EQ(ack.status, Gvcp::kInvalidHeader);
    EXPECT_EQ(ack.answer, Gvcp::kReadRegAck);

    Ack unknown = Send(d, Command(0x1234, {}, 99));
    EXPECT_EQ(unknown.status, Gvcp::kNotImplemented);
    EXPECT_EQ(unknown.answer, 0x1235);
    EXPECT_EQ(unknown.id, 99);
    EXPECT_EQ(Send(d, Command(Gvcp::kReadMemCmd, {0x48})).status, Gvcp::kInvalidParameter);
    EXPECT_EQ(Send(d, Command(Gvcp::kWriteRegCmd, {0x48})).status, Gvcp::kInvalidParameter);
    // Without the acknowledge flag the command runs and nothing comes back.
    EXPECT_TRUE(Send(d, Command(Gvcp::kReadRegCmd, {Reg::kVersion}, 3, 0)).empty);
    // Discovery answers every time, with the bootstrap block.
    Ack discovery = Send(d, Command(Gvcp::kDiscoveryCmd, {}, 1, 0));
    ASSERT_FALSE(discovery.empty);
    EXPECT_EQ(discovery.data.size(), Gvcp::kDiscoverySize);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&discovery.data[0x48])), "Kivo Sim");

    // Only DISCOVERY and FORCEIP are served on the broadcast address.
    command = Command(Gvcp::kReadRegCmd, {Reg::kVersion});
    EXPECT_TRUE(d.Dispatch(command.data(), command.size(), kApp, true).ack.empty());

    Statistics s = d.GetStatistics();
    EXPECT_EQ(s.discoveriesReceived, 1u);
    EXPECT_EQ(s.unknownCommandsReceived, 1u);
    EXPECT_GE(s.malformedCommandsReceived, 9u);
    EXPECT_EQ(s.readMemsReceived, 1u);
}

TEST(EnginePrivilege, WritesNeedControlAndExclusiveBlocksReads) {
    Device d(Config());
    EXPECT_EQ(WriteReg(d, Reg::kWidth, 320), Gvcp::kAccessDenied);
    EXPECT_EQ(WriteReg(d, Reg::kCcp, 0), Gvcp::kSuccess);  // releasing nothing is harmless
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    EXPECT_EQ(d.Controller(), kApp);
    EXPECT_EQ(WriteReg(d, Reg::kWidth, 320), Gvcp::kSuccess);
    // Same address, other port: another application.
    EXPECT_EQ(WriteReg(d, Reg::kWidth, 200, kOther), Gvcp::kAccessDenied);
    EXPECT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl, kOther), Gvcp::kAccessDenied);
    EXPECT_EQ(ReadReg(d, {Reg::kWidth}, kOther).status, Gvcp::kSuccess);
    Ack memory = Send(d, Command(Gvcp::kWriteMemCmd, {Reg::kWidth, 100}), kOther);
    EXPECT_EQ(memory.status, Gvcp::kAccessDenied);

    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpExclusive), Gvcp::kSuccess);
    EXPECT_EQ(ReadReg(d, {Reg::kWidth}, kOther).status, Gvcp::kAccessDenied);
    EXPECT_EQ(ReadMem(d, 0x48, 32, kOther).status, Gvcp::kAccessDenied);
    Ack ccp = ReadReg(d, {Reg::kCcp});
    EXPECT_EQ(be32(ccp.data, 0), Reg::kCcpExclusive);

    // Switch-over: open only with control (not exclusive), the enable bit and the matching key.
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl | Reg::kCcpSwitchoverEnable | (0xBEEFu << 16)), Gvcp::kSuccess);
    EXPECT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl | (0x1234u << 16), kOther), Gvcp::kAccessDenied);
    EXPECT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl | (0xBEEFu << 16), kOther), Gvcp::kSuccess);
    EXPECT_EQ(d.Controller(), kOther);
    EXPECT_EQ(WriteReg(d, Reg::kWidth, 300), Gvcp::kAccessDenied);

    ASSERT_EQ(WriteReg(d, Reg::kCcp, 0, kOther), Gvcp::kSuccess);
    EXPECT_EQ(d.Controller().address, 0u);
    Statistics s = d.GetStatistics();
    EXPECT_EQ(s.sessionsOpened, 2u);
    EXPECT_EQ(s.sessionsClosed, 2u);
}

TEST(EnginePrivilege, HeartbeatExpiryEndsTheSessionAndClosesTheChannels) {
    Device d(Config());
    ManualClock clock;
    d.SetClock(clock.get());
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    ASSERT_EQ(WriteReg(d, Reg::kHeartbeatTimeout, 100), Gvcp::kSuccess);  // raised to the 500 ms minimum
    ASSERT_EQ(WriteReg(d, Reg::kMcda, 0x7F000001), Gvcp::kSuccess);
    ASSERT_EQ(WriteReg(d, Reg::kMcp, 4000), Gvcp::kSuccess);
    EXPECT_TRUE(d.IsMessageChannelOpen());

    // Each command of the controller restarts the heartbeat; nobody else's does.
    for (int i = 0; i < 5; ++i) {
        clock.advance(400);
        ASSERT_EQ(ReadReg(d, {Reg::kCcp}).status, Gvcp::kSuccess);
    }
    clock.advance(400);
    ReadReg(d, {Reg::kVersion}, kOther);
    EXPECT_EQ(d.Controller(), kApp);
    clock.advance(200);
    d.Poll();
    EXPECT_EQ(d.Controller().address, 0u);
    EXPECT_FALSE(d.IsMessageChannelOpen());
    EXPECT_EQ(WriteReg(d, Reg::kWidth, 320), Gvcp::kAccessDenied);
    Statistics s = d.GetStatistics();
    EXPECT_EQ(s.heartbeatFailures, 1u);
    EXPECT_EQ(s.sessionsClosed, 1u);
    // Another application may take over now.
    EXPECT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl, kOther), Gvcp::kSuccess);
    EXPECT_EQ(d.Controller(), kOther);
}

TEST(EngineDispatcher, ForceIpMatchesTheMacAndStaysOnLoopback) {
    Device d(Config());
    auto forceIp = [&](uint32_t aMacHigh, uint32_t aMacLow, uint32_t aIp) {
        std::vector<uint32_t> words(14, 0);
        words[0] = aMacHigh;
        words[1] = aMacLow;
        words[5] = aIp;
        words[9] = 0xFF000000;
        std::vector<uint8_t> command = Command(Gvcp::kForceIpCmd, words);
        return d.Dispatch(command.data(), command.size(), kApp, true);
    };
    EXPECT_TRUE(forceIp(0x0211, 0x22334456, 0x7F000005).ack.empty());  // another device's MAC
    Reply bad = forceIp(0x0211, 0x22334455, 0xC0A80005);
    ASSERT_FALSE(bad.ack.empty());
    EXPECT_EQ(be16(bad.ack, 0), Gvcp::kInvalidParameter);
    EXPECT_EQ(bad.moveTo, 0u);
    Reply good = forceIp(0x0211, 0x22334455, 0x7F000005);
    EXPECT_EQ(be16(good.ack, 0), Gvcp::kSuccess);
    EXPECT_EQ(be16(good.ack, 2), Gvcp::kForceIpAck);
    EXPECT_EQ(good.moveTo, 0x7F000005u);
    uint32_t ip = 0;
    d.ReadRegister(Reg::kCurrentIp, ip);  // no front end: the address changes at once
    EXPECT_EQ(ip, 0x7F000005u);
}

TEST(EngineDispatcher, RetriesFaultsAndDroppedCommandsAreCounted) {
    Device d(Config());
    std::vector<uint8_t> command = Command(Gvcp::kReadRegCmd, {Reg::kVersion}, 42);
    for (int i = 0; i < 3; ++i) Send(d, command);
    Statistics s = d.GetStatistics();
    EXPECT_EQ(s.readRegsReceived, 3u);
    EXPECT_EQ(s.retriesReceived, 2u);
    EXPECT_EQ(s.retriesReceivedMax, 2u);

    Faults faults;
    faults.readStatus = Gvcp::kBusy;
    faults.begin = Reg::kFeatureBase;
    faults.end = Reg::kFeatureBase + Reg::kFeatureSize;
    d.SetFaults(faults);
    EXPECT_EQ(ReadReg(d, {Reg::kWidth}).status, Gvcp::kBusy);
    EXPECT_EQ(ReadReg(d, {Reg::kVersion}).status, Gvcp::kSuccess);
    uint32_t value = 0;
    EXPECT_EQ(d.ReadRegister(Reg::kWidth, value), Gvcp::kSuccess);  // the local side is not affected

    faults = Faults();
    faults.dropGvcpEvery = 2;
    d.SetFaults(faults);
    int answered = 0;
    for (int i = 0; i < 6; ++i) answered += !ReadReg(d, {Reg::kVersion}).empty;
    EXPECT_EQ(answered, 3);
    EXPECT_EQ(d.GetStatistics().gvcpCommandsDropped, 3u);

    d.SetLinkUp(false);
    d.SetFaults(Faults());
    EXPECT_TRUE(ReadReg(d, {Reg::kVersion}).empty);
    d.SetLinkUp(true);
    EXPECT_FALSE(ReadReg(d, {Reg::kVersion}).empty);
}

TEST(EngineFrames, PacketCountSizesAndLayoutOfAFrame) {
    FrameLayout layout;
    layout.width = 640;
    layout.height = 480;
    layout.packetSize = 1500;
    auto packets = BuildFrame(layout, 0x1234, 0x0102030405060708ull);
    const size_t chunk = 1500 - 20 - 8 - 8;
    ASSERT_EQ(chunk, Gvsp::PayloadBytes(1500));
    const size_t payloads = (640 * 480 + chunk - 1) / chunk;
    ASSERT_EQ(packets.size(), payloads + 2);

    const auto& leader = packets.front();
    ASSERT_EQ(leader.size(), 8u + 36u);
    EXPECT_EQ(be16(leader, 0), 0);
    EXPECT_EQ(be16(leader, 2), 0x1234);
    EXPECT_EQ(be32(leader, 4), 0x01000000u);
    EXPECT_EQ(be16(leader, 10), Gvsp::kPayloadImage);
    EXPECT_EQ(be32(leader, 12), 0x01020304u);
    EXPECT_EQ(be32(leader, 16), 0x05060708u);
    EXPECT_EQ(be32(leader, 20), Pfnc::kMono8);
    EXPECT_EQ(be32(leader, 24), 640u);
    EXPECT_EQ(be32(leader, 28), 480u);

    std::vector<uint8_t> image;
    for (size_t n = 1; n <= payloads; ++n) {
        const auto& p = packets[n];
        EXPECT_EQ(be32(p, 4), (3u << 24) | uint32_t(n));
        EXPECT_EQ(p.size() - 8, n < payloads ? chunk : 640 * 480 - (payloads - 1) * chunk);
        image.insert(image.end(), p.begin() + 8, p.end());
    }
    const auto& trailer = packets.back();
    ASSERT_EQ(trailer.size(), 16u);
    EXPECT_EQ(be32(trailer, 4), (2u << 24) | uint32_t(payloads + 1));
    EXPECT_EQ(be32(trailer, 12), 480u);

    ASSERT_EQ(image.size(), 640u * 480u);
    EXPECT_EQ(image[0], uint8_t(0x1234 & 0xFF));
    EXPECT_EQ(image[479 * 640 + 639], uint8_t(639 + 479 + 0x1234));

    // Every format's stated function, with the offsets in the coordinates.
    layout = FrameLayout();
    layout.width = 4;
    layout.height = 3;
    layout.offsetX = 10;
    layout.offsetY = 20;
    layout.pixelFormat = Pfnc::kMono16;
    FillPattern(layout, 5, image);
    ASSERT_EQ(image.size(), 24u);
    const uint32_t mono16 = 256 * 22 + 13 + 5;  // pixel (3, 2)
    EXPECT_EQ(image[22], uint8_t(mono16));       // low byte first
    EXPECT_EQ(image[23], uint8_t(mono16 >> 8));
    layout.pixelFormat = Pfnc::kRGB8;
    FillPattern(layout, 5, image);
    ASSERT_EQ(image.size(), 36u);
    EXPECT_EQ(image[33], uint8_t(13 + 5));
    EXPECT_EQ(image[34], uint8_t(22 + 5));
    EXPECT_EQ(image[35], uint8_t(13 + 22));
    layout.pixelFormat = Pfnc::kBayerRG8;
    FillPattern(layout, 5, image);
    EXPECT_EQ(image[11], uint8_t((13 ^ 22) + 5));
    layout.pixelFormat = Pfnc::kRGBa16;
    FillPattern(layout, 5, image);
    ASSERT_EQ(image.size(), 96u);
    const uint8_t* last = &image[88];   // pixel (3, 2): R, G, B, A, each low byte first
    EXPECT_EQ(last[0] | last[1] << 8, 256 * 22 + 13 + 5);
    EXPECT_EQ(last[2] | last[3] << 8, 256 * 13 + 22 + 5);
    EXPECT_EQ(last[4] | last[5] << 8, 13 + 22);
    EXPECT_EQ(last[6] | last[7] << 8, 5);
}

// The PixelFormat register takes the formats the device offers: the four by default, and a format
// the configuration names besides them, which its description lists as one more entry.
TEST(EngineRegisters, PixelFormatTakesTheOfferedFormatsOnly) {
    Device plain(Config());
    EXPECT_EQ(plain.WriteRegister(Reg::kPixelFormat, Pfnc::kRGBa16), Gvcp::kInvalidParameter);
    EXPECT_EQ(plain.WriteRegister(Reg::kPixelFormat, Pfnc::kBayerRG8), Gvcp::kSuccess);
    EXPECT_EQ(plain.Xml().find("RGBa16"), std::string::npos);

    DeviceConfig c = Config();
    c.pixelFormat = Pfnc::kRGBa16;
    c.pixelFormats = {Pfnc::kMono8, 0x01100005 /* Mono12: no pattern, left out */};
    Device wide(c);
    uint32_t format = 0;
    wide.ReadRegister(Reg::kPixelFormat, format);
    EXPECT_EQ(format, Pfnc::kRGBa16);
    EXPECT_EQ(wide.WriteRegister(Reg::kPixelFormat, Pfnc::kMono8), Gvcp::kSuccess);
    EXPECT_EQ(wide.WriteRegister(Reg::kPixelFormat, Pfnc::kMono16), Gvcp::kInvalidParameter);
    EXPECT_EQ(wide.WriteRegister(Reg::kPixelFormat, 0x01100005), Gvcp::kInvalidParameter);
    EXPECT_EQ(wide.WriteRegister(Reg::kPixelFormat, Pfnc::kRGBa16), Gvcp::kSuccess);

    // The description over a port that is never read: the entries are constants.
    struct Unread : TqGenICamLib::IPort {
        TqResult Read(uint64_t, void*, uint64_t) override { return TqResult(TQ_NOT_SUPPORTED); }
        TqResult Write(uint64_t, const void*, uint64_t) override { return TqResult(TQ_NOT_SUPPORTED); }
    };
    TqGenParameterArray parameters;
    const std::string& xml = wide.Xml();
    ASSERT_TRUE(parameters.Load(xml.data(), xml.size(), std::make_shared<Unread>()).IsOK());
    TqGenEnum* pixelFormat = parameters.GetEnum(TqString("PixelFormat"));
    ASSERT_NE(pixelFormat, nullptr);
    int64_t count = 0;
    const TqGenEnumEntry* entry = nullptr;
    EXPECT_TRUE(pixelFormat->GetEntriesCount(count).IsOK() && count == 2);
    ASSERT_TRUE(pixelFormat->GetEntryByName(TqString("RGBa16"), &entry).IsOK());
    int64_t value = 0;
    EXPECT_TRUE(entry->GetValue(value).IsOK() && value == Pfnc::kRGBa16);
}

TEST(EngineFrames, BlockIdsStartAtOneAndWrapToOne) {
    EXPECT_EQ(NextBlockId(0), 1);
    EXPECT_EQ(NextBlockId(1), 2);
    EXPECT_EQ(NextBlockId(0xFFFE), 0xFFFF);
    EXPECT_EQ(NextBlockId(0xFFFF), 1);

    // Through the sender: single frames to a tap, numbered from 1.
    DeviceConfig c = Config();
    c.width = 8;
    c.height = 2;
    Device d(c);
    std::mutex m;
    std::vector<std::pair<uint16_t, size_t>> seen;  // block ID, packet size
    d.SetStreamTap([&](uint32_t, const uint8_t* aData, size_t aSize) {
        std::lock_guard lock(m);
        seen.emplace_back(uint16_t((aData[2] << 8) | aData[3]), aSize);
    });
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionMode, 1), Gvcp::kSuccess);
    for (int frame = 0; frame < 2; ++frame) {
        ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
        for (int i = 0; i < 500 && d.IsAcquiring(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_FALSE(d.IsAcquiring());
    }
    std::lock_guard lock(m);
    ASSERT_EQ(seen.size(), 6u);  // leader, one payload, trailer per frame
    EXPECT_EQ(seen[0].first, 1);
    EXPECT_EQ(seen[3].first, 2);
    EXPECT_EQ(seen[1].second, 8u + 16u);
    EXPECT_EQ(d.GetStatistics().framesSent, 2u);
}

TEST(EngineEvents, EventCommandsCarryIdChannelBlockAndData) {
    Device d(Config());
    EXPECT_EQ(d.FireEvent(0x9000), Gvcp::kError);  // no channel, no tap
    std::vector<std::vector<uint8_t>> sent;
    d.SetMessageTap([&](const uint8_t* aData, size_t aSize) { sent.emplace_back(aData, aData + aSize); });
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(d.FireEvent(0x9001, data, 6), Gvcp::kInvalidParameter);
    std::vector<uint8_t> big(528);
    EXPECT_EQ(d.FireEvent(0x9001, big.data(), big.size()), Gvcp::kInvalidParameter);
    ASSERT_EQ(d.FireEvent(0x9001, data, 8, 0x10002, 3), Gvcp::kSuccess);
    ASSERT_EQ(d.FireEvent(0x9002), Gvcp::kSuccess);
    ASSERT_EQ(sent.size(), 2u);
    const auto& withData = sent[0];
    ASSERT_EQ(withData.size(), 8u + 16u + 8u);
    EXPECT_EQ(withData[0], 0x42);
    EXPECT_EQ(withData[1] & Gvcp::kFlagAckRequired, Gvcp::kFlagAckRequired);
    EXPECT_EQ(be16(withData, 2), Gvcp::kEventDataCmd);
    EXPECT_EQ(be16(withData, 4), 24);
    EXPECT_NE(be16(withData, 6), 0);
    EXPECT_EQ(be16(withData, 10), 0x9001);
    EXPECT_EQ(be16(withData, 12), 3);
    EXPECT_EQ(be16(withData, 14), 0x0002);
    EXPECT_EQ(withData[24], 1);
    EXPECT_EQ(be16(sent[1], 2), Gvcp::kEventCmd);
    EXPECT_EQ(be16(sent[1], 4), 16);
    EXPECT_NE(be16(sent[1], 6), be16(withData, 6));
    Statistics s = d.GetStatistics();
    EXPECT_EQ(s.eventDatasIssued, 1u);
    EXPECT_EQ(s.eventsIssued, 1u);
}

TEST(EngineFrames, EveryNthStreamPacketIsDropped) {
    DeviceConfig c = Config();
    c.width = 1464 * 4;  // four payload packets at the default packet size
    c.height = 1;
    Device d(c);
    std::mutex m;
    std::vector<uint32_t> ids;
    d.SetStreamTap([&](uint32_t, const uint8_t* aData, size_t) {
        std::lock_guard lock(m);
        ids.push_back((uint32_t(aData[5]) << 16) | (uint32_t(aData[6]) << 8) | aData[7]);
    });
    Faults faults;
    faults.dropGvspEvery = 3;
    d.SetFaults(faults);
    d.WriteRegister(Reg::kAcquisitionMode, 1);
    d.WriteRegister(Reg::kAcquisitionStart, 1);
    for (int i = 0; i < 500 && d.IsAcquiring(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::lock_guard lock(m);
    EXPECT_EQ(ids, (std::vector<uint32_t>{0, 1, 3, 4}));  // packets 2 and 5 (the trailer) are lost
    Statistics s = d.GetStatistics();
    EXPECT_EQ(s.gvspPacketsSent, 4u);
    EXPECT_EQ(s.gvspPacketsDropped, 2u);
}

namespace {

// A device whose frames go to a tap, sent one at a time, and resend requests answered through the tap.
struct ResendRig {
    explicit ResendRig(uint32_t aWidth, uint32_t aHeight, uint32_t aFormat = Pfnc::kMono8)
        : device(Sized(aWidth, aHeight, aFormat)) {
        device.SetClock(clock.get());
        device.SetStreamTap([this](uint32_t, const uint8_t* aData, size_t) {
            std::unique_lock lock(m);
            const uint16_t block = uint16_t((aData[2] << 8) | aData[3]);
            const uint32_t id = (uint32_t(aData[5]) << 16) | (uint32_t(aData[6]) << 8) | aData[7];
            statuses.emplace_back(uint16_t((aData[0] << 8) | aData[1]), id);
            auto hook = std::exchange(onPacket, nullptr);
            lock.unlock();
            if (hook) hook(block, id);
        });
        device.WriteRegister(Reg::kAcquisitionMode, 1);
        EXPECT_EQ(WriteReg(device, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);   // the controller asks
    }
    static DeviceConfig Sized(uint32_t aWidth, uint32_t aHeight, uint32_t aFormat) {
        DeviceConfig c = Config();
        c.width = aWidth;
        c.height = aHeight;
        c.pixelFormat = aFormat;
        return c;
    }
    void SendFrames(int aCount) {
        for (int frame = 0; frame < aCount; ++frame) {
            ASSERT_EQ(device.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
            for (int i = 0; i < 5000 && device.IsAcquiring(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ASSERT_FALSE(device.IsAcquiring());
        }
    }
    // The statuses of the packets a request for aFirst to aLast of aBlock brought through the tap.
    std::vector<uint16_t> Resend(uint16_t aBlock, uint32_t aFirst = 1, uint32_t aLast = 1) {
        {
            std::lock_guard lock(m);
            statuses.clear();
        }
        EXPECT_TRUE(Send(device, Command(Gvcp::kPacketResendCmd, {aBlock, aFirst, aLast}, 9, 0)).empty);
        EXPECT_TRUE(device.WaitResendsDone(10000));
        std::lock_guard lock(m);
        std::vector<uint16_t> out;
        for (const auto& s : statuses) out.push_back(s.first);
        return out;
    }
    // The blocks of 1..aLast that a request still finds.
    std::vector<uint16_t> Kept(uint16_t aLast) {
        std::vector<uint16_t> kept;
        for (uint16_t block = 1; block <= aLast; ++block)
            if (Resend(block) == std::vector<uint16_t>{0}) kept.push_back(block);
        return kept;
    }

    ManualClock clock;
    Device device;
    std::mutex m;
    std::vector<std::pair<uint16_t, uint32_t>> statuses;   // status and packet ID of each packet
    std::function<void(uint16_t, uint32_t)> onPacket;      // called once, for the next packet
};

std::vector<uint16_t> Range(uint16_t aFirst, uint16_t aLast) {
    std::vector<uint16_t> out;
    for (uint16_t b = aFirst; b <= aLast; ++b) out.push_back(b);
    return out;
}

}  // namespace

TEST(EngineResends, TheHistoryKeepsASecondOfBlocksAndNeverFewerThanFour) {
    ResendRig rig(64, 48);
    rig.SendFrames(10);   // all within the same millisecond of the device's clock
    EXPECT_EQ(rig.Kept(10), Range(1, 10));
    EXPECT_EQ(rig.device.GetStatistics().packetsResent, 10u);
    // The packets come again as they were sent; a range past the block's end brings its packets to the end.
    EXPECT_EQ(rig.Resend(10, 0, 0xFFFFFF), std::vector<uint16_t>(5, 0));   // leader, 3 payload packets, trailer

    rig.clock.advance(1001);
    rig.SendFrames(1);    // block 11, more than a second after the others: only the last four stay
    EXPECT_EQ(rig.Kept(11), Range(8, 11));
    // A block the device no longer has is answered with one packet of the error status, and counted.
    const uint64_t unavailable = rig.device.GetStatistics().resendsUnavailable;
    EXPECT_EQ(rig.Resend(7), std::vector<uint16_t>{Gvcp::kPacketUnavailable});
    {
        std::lock_guard lock(rig.m);
        EXPECT_EQ(rig.statuses.front().second, 1u);
    }
    EXPECT_EQ(rig.device.GetStatistics().resendsUnavailable, unavailable + 1);

    rig.clock.advance(500);
    rig.SendFrames(5);    // blocks 12 to 16: block 11 is still within a second of them
    EXPECT_EQ(rig.Kept(16), Range(11, 16));
}

TEST(EngineResends, TheHistoryStaysWithinItsMemoryBudget) {
    // 8 MiB frames: the 128 MiB budget holds as many as fit whole.
    ResendRig rig(2048, 2048, Pfnc::kMono16);
    FrameLayout layout;
    layout.width = 2048;
    layout.height = 2048;
    layout.pixelFormat = Pfnc::kMono16;
    size_t bytes = 0;
    for (const auto& packet : BuildFrame(layout, 1, 0)) bytes += packet.size();
    const uint16_t fit = uint16_t((size_t(128) << 20) / bytes);
    ASSERT_GE(fit, 10);
    rig.SendFrames(fit + 3);
    EXPECT_EQ(rig.Kept(fit + 3), Range(4, fit + 3));
}

TEST(EngineResends, ABlockIsFoundWhileItIsStillBeingSent) {
    ResendRig rig(64, 48);
    // When packet 3 of block 1 leaves, the receiver asks for packet 1 again: the resend thread finds
    // the block, and sends the packet beside the rest of the block.
    std::function<void(uint16_t, uint32_t)> askAtThree = [&](uint16_t aBlock, uint32_t aId) {
        if (aId != 3) {
            std::lock_guard lock(rig.m);
            rig.onPacket = askAtThree;
            return;
        }
        EXPECT_TRUE(Send(rig.device, Command(Gvcp::kPacketResendCmd, {aBlock, 1, 1}, 9, 0)).empty);
    };
    rig.onPacket = askAtThree;
    rig.SendFrames(1);
    ASSERT_TRUE(rig.device.WaitResendsDone(10000));
    std::lock_guard lock(rig.m);
    ASSERT_EQ(rig.statuses.size(), 6u);
    const std::vector<std::pair<uint16_t, uint32_t>> sent{{0, 0}, {0, 1}, {0, 2}, {0, 3}};
    EXPECT_EQ(std::vector(rig.statuses.begin(), rig.statuses.begin() + 4), sent);
    std::vector<std::pair<uint16_t, uint32_t>> after(rig.statuses.begin() + 4, rig.statuses.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, (std::vector<std::pair<uint16_t, uint32_t>>{{0, 1}, {0, 4}}));
}
