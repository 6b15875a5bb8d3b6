// The engine's 64-bit block IDs: GevGVSPExtendedIDMode over the GVSP configuration register, the
// channel's blocks with the extended-ID header (a provider's own ID going out whole, and without
// extended IDs its low 16 bits), a resend asked for in the extended form bringing the block's
// packets again, events carrying the whole block ID (and without extended IDs its low 16 bits).
#include "engine_helpers.h"

#include <condition_variable>
#include <deque>
#include <mutex>

using namespace TqEngine;
using namespace TqEngine::Testing;

namespace {

// Every packet the device's channels send, as they leave.
struct Tap {
    void Attach(Device& aDevice) {
        aDevice.SetStreamTap([this](uint32_t, const uint8_t* aData, size_t aSize) {
            std::lock_guard lock(m);
            packets.emplace_back(aData, aData + aSize);
            changed.notify_all();
        });
    }
    // The packets sent so far, once there are at least aCount (at most 20 s).
    std::vector<std::vector<uint8_t>> Take(size_t aCount) {
        std::unique_lock lock(m);
        changed.wait_for(lock, std::chrono::seconds(20), [&] { return packets.size() >= aCount; });
        std::vector<std::vector<uint8_t>> out(packets.begin(), packets.end());
        packets.clear();
        return out;
    }
    std::mutex m;
    std::condition_variable changed;
    std::deque<std::vector<uint8_t>> packets;
};

// One frame of 100 bytes a time, under the block ID the test gives (0: the one the sender proposes).
struct Numbered : FrameProvider {
    bool NextFrame(uint32_t, Frame& aFrame) override {
        std::unique_lock lock(m);
        changed.wait(lock, [&] { return interrupted || !ids.empty(); });
        if (interrupted) return false;
        proposed.push_back(aFrame.blockId);
        if (ids.front()) aFrame.blockId = ids.front();
        ids.pop_front();
        aFrame.image = image.data();
        aFrame.imageSize = image.size();
        aFrame.width = 10;
        aFrame.height = 10;
        return true;
    }
    void FrameDone(uint32_t, const Frame& aFrame, bool) override {
        std::lock_guard lock(m);
        sent.push_back(aFrame.blockId);
    }
    void Interrupt(uint32_t) override {
        std::lock_guard lock(m);
        interrupted = true;
        changed.notify_all();
    }
    void Give(uint64_t aId) {
        std::lock_guard lock(m);
        ids.push_back(aId);
        changed.notify_all();
    }
    std::mutex m;
    std::condition_variable changed;
    std::deque<uint64_t> ids;
    std::vector<uint64_t> proposed, sent;
    std::vector<uint8_t> image = std::vector<uint8_t>(100, 0x5C);
    bool interrupted = false;
};

// A device whose first channel sends what a Numbered provider gives, each packet tapped.
struct Provided {
    Provided() {
        tap.Attach(d);
        EXPECT_TRUE(d.SetFrameProvider(0, source));
    }
    Device d{Config()};
    Tap tap;
    std::shared_ptr<Numbered> source = std::make_shared<Numbered>();
};

std::optional<Gvsp::Header> HeaderOf(const std::vector<uint8_t>& aPacket) {
    return Gvsp::Header::Of(aPacket.data(), aPacket.size());
}

}  // namespace

TEST(EngineExtendedIds, TheGvspConfigurationRegisterSwitchesThemAndTheDescriptionShowsIt) {
    Device d(Config());
    EXPECT_EQ(ReadReg(d, {Reg::kGvspCapability}).data, (std::vector<uint8_t>{0xC0, 0, 0, 0}));
    EXPECT_EQ(WriteReg(d, Reg::kGvspConfiguration, Reg::kGvspExtendedIds), Gvcp::kAccessDenied);   // no control
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);
    EXPECT_EQ(WriteReg(d, Reg::kGvspConfiguration, Reg::kGvspExtendedIds | 1), Gvcp::kInvalidParameter);
    EXPECT_EQ(WriteReg(d, Reg::kGvspCapability, 0), Gvcp::kWriteProtect);
    ASSERT_EQ(WriteReg(d, Reg::kGvspConfiguration, Reg::kGvspExtendedIds), Gvcp::kSuccess);
    EXPECT_EQ(be32(ReadReg(d, {Reg::kGvspConfiguration}).data, 0), Reg::kGvspExtendedIds);
    const std::string& xml = d.Xml();
    EXPECT_NE(xml.find("<Enumeration Name=\"GevGVSPExtendedIDMode\""), std::string::npos);
    EXPECT_NE(xml.find("<pFeature>GevGVSPExtendedIDMode</pFeature>"), std::string::npos);
}

TEST(EngineExtendedIds, BlocksGoOutWithTheWideHeaderAndAProvidersIdWhole) {
    Provided rig;
    Device& d = rig.d;
    Tap& tap = rig.tap;
    Numbered* source = rig.source.get();
    ASSERT_EQ(d.WriteRegister(Reg::kGvspConfiguration, Reg::kGvspExtendedIds), Gvcp::kSuccess);
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    const uint64_t own = (uint64_t(1) << 40) + 5;
    source->Give(0);
    source->Give(own);
    source->Give(0);
    const auto packets = tap.Take(9);   // three blocks of one payload packet
    ASSERT_EQ(packets.size(), 9u);
    std::vector<uint64_t> ids;
    for (const auto& p : packets) {
        const auto header = HeaderOf(p);
        ASSERT_TRUE(header && header->ExtendedIds());
        if (header->Format() == Gvsp::kFormatLeader) ids.push_back(header->BlockId());
    }
    // The channel counts on from the provider's ID.
    EXPECT_EQ(ids, (std::vector<uint64_t>{1, own, own + 1}));

    // A resend asked for in the extended form brings the packet again; asked for in the standard
    // form, the block (sent in the other form) is none the device has.
    ASSERT_EQ(WriteReg(d, Reg::kCcp, Reg::kCcpControl), Gvcp::kSuccess);   // the controller asks
    std::vector<uint8_t> command(Gvcp::kHeaderSize + Gvcp::PacketResendCommand::kExtendedSize);
    Gvcp::PutCommandHeader(command.data(), Gvcp::kPacketResendCmd, 9, Gvcp::PacketResendCommand::kExtendedSize,
                           Gvcp::kFlagExtendedIds);
    Gvcp::PacketResendCommand::Write(command.data() + Gvcp::kHeaderSize, true, 0, own, 1, 1);
    EXPECT_TRUE(Send(d, command).empty);
    auto resent = tap.Take(1);
    ASSERT_EQ(resent.size(), 1u);
    EXPECT_EQ(resent[0], packets[4]);
    EXPECT_TRUE(Send(d, Command(Gvcp::kPacketResendCmd, {1, 1, 1}, 9, 0)).empty);
    resent = tap.Take(1);
    ASSERT_EQ(resent.size(), 1u);
    const auto gone = HeaderOf(resent[0]);
    ASSERT_TRUE(gone);
    EXPECT_FALSE(gone->ExtendedIds());
    EXPECT_EQ(gone->Status(), Gvsp::kStatusPacketUnavailable);
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStop, 1), Gvcp::kSuccess);
    EXPECT_EQ(d.GetStatistics().packetsResent, 1u);
}

// Without extended IDs a provider's own 64-bit ID goes out as its low 16 bits, as an event's does;
// where those are 0 (no block ID on the wire) the channel counts on from the last block instead.
TEST(EngineExtendedIds, WithoutThemAProvidersIdGoesOutAsItsLow16Bits) {
    Provided rig;
    Device& d = rig.d;
    Tap& tap = rig.tap;
    Numbered* source = rig.source.get();
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    for (uint64_t id : {uint64_t(0), (uint64_t(7) << 40) + 0x1234, uint64_t(0x30000), uint64_t(0xFFFF), uint64_t(0)})
        source->Give(id);
    const auto packets = tap.Take(15);   // five blocks of one payload packet
    ASSERT_EQ(packets.size(), 15u);
    std::vector<uint64_t> ids;
    for (const auto& p : packets) {
        const auto header = HeaderOf(p);
        ASSERT_TRUE(header && !header->ExtendedIds());
        if (header->Format() == Gvsp::kFormatLeader) ids.push_back(header->BlockId());
    }
    EXPECT_EQ(ids, (std::vector<uint64_t>{1, 0x1234, 0x1235, 0xFFFF, 1}));
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStop, 1), Gvcp::kSuccess);
    std::lock_guard lock(source->m);
    EXPECT_EQ(source->sent, ids);   // what went out is what the provider is told
}

TEST(EngineExtendedIds, EventsCarryTheWholeBlockIdOrItsLow16Bits) {
    Device d(Config());
    std::vector<std::vector<uint8_t>> sent;
    d.SetMessageTap([&](const uint8_t* aData, size_t aSize) { sent.emplace_back(aData, aData + aSize); });
    const uint8_t data[4] = {1, 2, 3, 4};
    const uint64_t block = 0x123456789ABCull;
    ASSERT_EQ(d.FireEvent(0x9001, data, 4, block, 2), Gvcp::kSuccess);
    ASSERT_EQ(d.WriteRegister(Reg::kGvspConfiguration, Reg::kGvspExtendedIds), Gvcp::kSuccess);
    ASSERT_EQ(d.FireEvent(0x9002, data, 4, block, 2), Gvcp::kSuccess);
    ASSERT_EQ(d.FireEvent(0x9003, nullptr, 0, block), Gvcp::kSuccess);
    std::vector<uint8_t> largest(Gvcp::kMaxPayload - Gvcp::EventEntry::kSize);   // fits the standard form only
    EXPECT_EQ(d.FireEvent(0x9004, largest.data(), largest.size()), Gvcp::kInvalidParameter);
    ASSERT_EQ(sent.size(), 3u);
    const auto standard = Gvcp::CommandView::Of(sent[0].data(), sent[0].size());
    ASSERT_TRUE(standard && !standard->ExtendedIds());
    EXPECT_EQ(Gvcp::EventEntry::Of(standard->Payload(), false)->BlockId(), 0x9ABCu);
    for (size_t n : {1, 2}) {
        const auto command = Gvcp::CommandView::Of(sent[n].data(), sent[n].size());
        ASSERT_TRUE(command && command->ExtendedIds());
        const auto entry = Gvcp::EventEntry::Of(command->Payload(), true);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->BlockId(), block);
        EXPECT_EQ(entry->EventId(), n == 1 ? 0x9002 : 0x9003);
    }
    const auto withData = Gvcp::EventEntry::Of(Gvcp::CommandView::Of(sent[1].data(), sent[1].size())->Payload(), true);
    EXPECT_EQ(std::vector<uint8_t>(withData->Data().begin(), withData->Data().end()),
              (std::vector<uint8_t>{1, 2, 3, 4}));
}
