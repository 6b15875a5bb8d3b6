// The GigE Vision stream receiver against software devices on loopback: frames arrive whole in the
// buffers that were queued (test patterns checked byte for byte), incomplete blocks, blocks larger
// than their buffer (nothing written past it), aborting and closing wake a waiting retrieve, the
// destination set through an in-process controller or a session of the stream's own, reordered and
// wrapping block IDs, malformed datagrams, and the receiver's settings.
#include "TqDevice.h"
#include "TqDeviceEngine.h"
#include "TqImage.h"
#include "TqStream.h"
#include "stream_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <thread>

using namespace TqEngine;
using namespace StreamTesting;

namespace {

// A started software device with small frames sent quickly.
// A stream takes a device's datagrams from the device's source port alone once the device tells it
// (SCSP). Made to offer none before a stream opens, the device lets a Sender at its address stand in
// for it: the stream then takes datagrams from any port of that address.
void FeedByHand(Device& aDevice) {
    uint32_t capability = 0;
    ASSERT_EQ(aDevice.ReadRegister(Reg::kGvspCapability, capability), Gvcp::kSuccess);
    uint8_t stored[4];
    TqWire::Put32(stored, capability & ~Reg::kGvspSourcePorts);
    ASSERT_EQ(aDevice.StoreMemory(Reg::kGvspCapability, stored, sizeof stored), Gvcp::kSuccess);
}

struct Rig {
    explicit Rig(uint32_t aWidth = 64, uint32_t aHeight = 48, uint32_t aFormat = Pfnc::kMono8) {
        DeviceConfig c;
        c.width = aWidth;
        c.height = aHeight;
        c.pixelFormat = aFormat;
        device = std::make_unique<Device>(c);
        std::string error;
        started = device->Start(0, &error);
        EXPECT_TRUE(started) << error;
        device->WriteRegister(Reg::kFramePeriod, 2000);
    }
    ~Rig() {
        device->WriteRegister(Reg::kAcquisitionStop, 1);
        device->Stop();
    }
    std::string Ip() const { return FormatAddress(device->Address()); }
    FrameLayout Layout() {
        FrameLayout l;
        device->ReadRegister(Reg::kWidth, l.width);
        device->ReadRegister(Reg::kHeight, l.height);
        device->ReadRegister(Reg::kPixelFormat, l.pixelFormat);
        return l;
    }
    uint32_t PayloadSize() {
        FrameLayout l = Layout();
        return l.width * l.height * (Pfnc::BitsPerPixel(l.pixelFormat) / 8);
    }
    void FeedByHand() { ::FeedByHand(*device); }
    void Start() { device->WriteRegister(Reg::kAcquisitionStart, 1); }
    void Stop() { device->WriteRegister(Reg::kAcquisitionStop, 1); }

    std::unique_ptr<Device> device;
    bool started = false;
};

bool SamePattern(const FrameLayout& aLayout, uint16_t aBlock, const TqBuffer& aBuffer) {
    std::vector<uint8_t> expected;
    FillPattern(aLayout, aBlock, expected);
    return aBuffer.GetPayloadLength() == expected.size() &&
           std::equal(expected.begin(), expected.end(), aBuffer.GetDataPointer());
}

int64_t Parameter(TqStream& aStream, const char* aName) {
    int64_t value = -1;
    EXPECT_TRUE(aStream.GetParameters()->GetIntegerValue(TqString(aName), value).IsOK()) << aName;
    return value;
}

// Waits (boundedly) until the receiver has read aCount datagrams; their number then.
int64_t WaitForPackets(TqStream& aStream, int64_t aCount) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int64_t got = Parameter(aStream, "PacketsReceived");
    while (got < aCount && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        got = Parameter(aStream, "PacketsReceived");
    }
    return got;
}

// A UDP sender of hand-made GVSP datagrams from aFrom (host order), the address of a device that
// FeedByHand made ready for it.
struct Sender {
    explicit Sender(uint32_t aFrom) {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(aFrom);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    }
    ~Sender() { ::close(fd); }
    void Send(uint16_t aPort, const std::vector<uint8_t>& aData) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(0x7F000001u);
        to.sin_port = htons(aPort);
        ASSERT_EQ(::sendto(fd, aData.data(), aData.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  ssize_t(aData.size()));
    }
    void SendFrame(uint16_t aPort, const FrameLayout& aLayout, uint16_t aBlock) {
        for (const auto& p : BuildFrame(aLayout, aBlock, 1234)) Send(aPort, p);
    }
    int fd;
};

// For a stream fed by a Sender rather than by the rig's device: the device never sent these
// blocks, so the receiver asks it for no packet again.
void AskNothingAgain(TqStreamGEV& aStream) {
    ASSERT_TRUE(aStream.GetParameters()->SetBooleanValue(TqString("RequestMissingPackets"), false).IsOK());
}

FrameLayout SmallLayout() {
    FrameLayout l;
    l.width = 64;
    l.height = 48;
    l.pixelFormat = Pfnc::kMono8;
    l.packetSize = 1500;   // 3 payload packets of 1464 bytes at most
    return l;
}

}  // namespace

TEST(StreamGEV, FramesArriveWholeInTheQueuedBuffersThroughItsOwnSession) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    auto buffers = Buffers(4, rig.PayloadSize());   // outlives the stream, which may hold them
    TqStreamGEV stream;
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str())).IsOK());
    EXPECT_TRUE(stream.IsOpen());
    EXPECT_EQ(stream.GetType(), TqStreamTypeGEV);
    EXPECT_EQ(stream.GetDataReceiverType(), TqDataReceiverTypeUserMode);
    EXPECT_EQ(stream.GetQueuedBufferMaximum(), 64u);
    EXPECT_NE(stream.GetLocalPort(), 0);
    EXPECT_EQ(stream.GetSpecificLocalPort(), 0);
    EXPECT_EQ(std::string(stream.GetDeviceIPAddress().GetAscii()), rig.Ip());
    // The device streams to the stream's port, under the stream's own control session.
    uint32_t port = 0, address = 0;
    rig.device->ReadRegister(Reg::Scp(0), port);
    rig.device->ReadRegister(Reg::Scda(0), address);
    EXPECT_EQ(port, stream.GetLocalPort());
    EXPECT_EQ(address, 0x7F000001u);
    EXPECT_NE(rig.device->Controller().address, 0u);

    std::set<TqBuffer*> ours;
    for (auto& b : buffers) {
        ASSERT_TRUE(stream.QueueBuffer(b.get()).IsOK());
        ours.insert(b.get());
    }
    EXPECT_EQ(stream.GetQueuedBufferCount(), 4u);
    rig.Start();
    const FrameLayout layout = rig.Layout();
    uint16_t previous = 0;
    for (int i = 0; i < 10; ++i) {
        Retrieved r = Retrieve(stream);
        ASSERT_TRUE(r.call.IsOK()) << r.call.GetCode();
        ASSERT_TRUE(ours.count(r.buffer));
        EXPECT_EQ(r.operation.GetCode(), TQ_OK);
        const TqImage* image = r.buffer->GetImage();
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->GetWidth(), layout.width);
        EXPECT_EQ(image->GetHeight(), layout.height);
        EXPECT_EQ(image->GetPixelType(), TqPixelMono8);
        const uint16_t block = uint16_t(r.buffer->GetBlockID());
        EXPECT_EQ(image->GetBlockID(), block);
        if (previous) {   // later blocks (one that found no buffer queued is skipped)
            EXPECT_GT(block, previous);
        }
        previous = block;
        EXPECT_TRUE(SamePattern(layout, block, *r.buffer)) << "block " << block;
        EXPECT_TRUE(stream.QueueBuffer(r.buffer).IsOK());
    }
    rig.Stop();
    EXPECT_GE(Parameter(stream, "BlocksReceived"), 10);
    EXPECT_EQ(Parameter(stream, "BlocksIncomplete"), 0);
    EXPECT_EQ(Parameter(stream, "PacketsBad"), 0);
    EXPECT_EQ(Parameter(stream, "DataPort"), stream.GetLocalPort());

    ASSERT_TRUE(stream.Close().IsOK());
    // Every buffer comes back once (aborted, unless a last frame filled it before the close); then
    // the closed stream answers at once.
    std::set<TqBuffer*> back;
    for (;;) {
        Retrieved r = Retrieve(stream, 0);
        if (!r.buffer) {
            EXPECT_EQ(r.call.GetCode(), TQ_NOT_CONNECTED);
            break;
        }
        EXPECT_TRUE(r.operation.GetCode() == TQ_ABORTED || r.operation.GetCode() == TQ_OK);
        EXPECT_TRUE(back.insert(r.buffer).second);
    }
    EXPECT_EQ(back, ours);
    EXPECT_EQ(stream.GetQueuedBufferCount(), 0u);
    // The stream's session ended, and with it the destination.
    rig.device->ReadRegister(Reg::Scp(0), port);
    EXPECT_EQ(port, 0u);
    EXPECT_EQ(rig.device->Controller().address, 0u);
}

class StreamFormats : public ::testing::TestWithParam<uint32_t> {};

TEST_P(StreamFormats, GeometryAndPixelTypeComeFromTheLeader) {
    Rig rig(40, 30, GetParam());
    ASSERT_TRUE(rig.started);
    auto buffers = Buffers(3, rig.PayloadSize());   // outlives the stream, which may hold them
    TqStreamGEV stream;
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str()), 0, 0, TqString("127.0.0.1"), 8).IsOK());
    for (auto& b : buffers) ASSERT_TRUE(stream.QueueBuffer(b.get()).IsOK());
    rig.Start();
    const FrameLayout layout = rig.Layout();
    for (int i = 0; i < 3; ++i) {
        Retrieved r = Retrieve(stream);
        ASSERT_TRUE(r.call.IsOK());
        ASSERT_EQ(r.operation.GetCode(), TQ_OK);
        const TqImage* image = r.buffer->GetImage();
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->GetWidth(), 40u);
        EXPECT_EQ(image->GetHeight(), 30u);
        EXPECT_EQ(uint32_t(image->GetPixelType()), GetParam());
        EXPECT_EQ(image->GetImageSize(), rig.PayloadSize());
        EXPECT_TRUE(SamePattern(layout, uint16_t(r.buffer->GetBlockID()), *r.buffer));
        stream.QueueBuffer(r.buffer);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, StreamFormats, ::testing::Values(Pfnc::kMono8, Pfnc::kMono16, Pfnc::kRGB8));

// RGBa16 is one of the formats the SDK numbers one below the wire (its SDK value is the wire's
// RGBa14): the leader's value becomes the SDK's TqPixelRGBa16, with its 64 bits per pixel.
TEST(StreamGEV, ARenumberedFormatArrivesAsTheSdkPixelTypeOfTheLeadersFormat) {
    Rig rig(40, 30, Pfnc::kRGBa16);
    ASSERT_TRUE(rig.started);
    ASSERT_EQ(rig.PayloadSize(), 40u * 30u * 8u);
    auto buffers = Buffers(2, rig.PayloadSize());
    TqStreamGEV stream;
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str()), 0, 0, TqString("127.0.0.1"), 8).IsOK());
    for (auto& b : buffers) ASSERT_TRUE(stream.QueueBuffer(b.get()).IsOK());
    rig.Start();
    Retrieved r = Retrieve(stream);
    ASSERT_TRUE(r.call.IsOK());
    ASSERT_EQ(r.operation.GetCode(), TQ_OK);
    const TqImage* image = r.buffer->GetImage();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->GetPixelType(), TqPixelRGBa16);
    EXPECT_EQ(image->GetBitsPerPixel(), 64u);
    EXPECT_TRUE(TqImage::IsPixelColor(image->GetPixelType()));
    EXPECT_EQ(image->GetImageSize(), 40u * 30u * 8u);
    EXPECT_TRUE(SamePattern(rig.Layout(), uint16_t(r.buffer->GetBlockID()), *r.buffer));
}

TEST(StreamGEV, TheDestinationGoesThroughTheDeviceThatControlsIt) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    TqDeviceGEV controller;
    ASSERT_TRUE(controller.Connect(TqString(rig.Ip().c_str())).IsOK());
    const uint64_t sessions = rig.device->GetStatistics().sessionsOpened;
    {
        auto buffers = Buffers(2, rig.PayloadSize());
        TqStreamGEV stream;
        ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str()), 0).IsOK());
        EXPECT_EQ(rig.device->GetStatistics().sessionsOpened, sessions);   // no second controller
        uint32_t port = 0;
        rig.device->ReadRegister(Reg::Scp(0), port);
        EXPECT_EQ(port, stream.GetLocalPort());
        for (auto& b : buffers) stream.QueueBuffer(b.get());
        ASSERT_TRUE(controller.WriteRegister(Reg::kAcquisitionStart, 1).IsOK());
        Retrieved r = Retrieve(stream);
        ASSERT_TRUE(r.call.IsOK());
        EXPECT_EQ(r.operation.GetCode(), TQ_OK);
        EXPECT_TRUE(SamePattern(rig.Layout(), uint16_t(r.buffer->GetBlockID()), *r.buffer));
        controller.WriteRegister(Reg::kAcquisitionStop, 1);
        ASSERT_TRUE(stream.Close().IsOK());
        rig.device->ReadRegister(Reg::Scp(0), port);
        EXPECT_EQ(port, 0u);   // reset through the controller, which keeps its session
        EXPECT_TRUE(controller.IsConnected());
        while (Retrieve(stream, 0).buffer) {
        }
    }
    // Once the controller is gone, a stream opens a session of its own again.
    controller.Disconnect();
    TqStreamGEV stream;
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str())).IsOK());
    EXPECT_EQ(rig.device->GetStatistics().sessionsOpened, sessions + 1);
}

TEST(StreamGEV, ADroppedPacketGivesMissingPacketsAfterTheImageTimeout) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    auto buffers = Buffers(2, rig.PayloadSize());   // outlives the stream, which may hold them
    TqStreamGEV stream;
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str())).IsOK());
    ASSERT_TRUE(stream.GetParameters()->SetIntegerValue(TqString("ImageTimeout"), 30).IsOK());
    ASSERT_TRUE(stream.GetParameters()->SetBooleanValue(TqString("RequestMissingPackets"), false).IsOK());
    Faults faults;
    faults.dropGvspEvery = 4;   // a frame is 5 packets: every frame loses at least one
    rig.device->SetFaults(faults);
    for (auto& b : buffers) stream.QueueBuffer(b.get());
    rig.Start();
    for (int i = 0; i < 3; ++i) {
        Retrieved r = Retrieve(stream);
        ASSERT_TRUE(r.call.IsOK());
        EXPECT_EQ(r.operation.GetCode(), TQ_MISSING_PACKETS);
        EXPECT_EQ(r.buffer->GetOperationResult().GetCode(), TQ_MISSING_PACKETS);
        uint32_t groups = 0;
        r.buffer->GetMissingPacketIdsCount(groups);
        EXPECT_GE(groups, 1u);
        stream.QueueBuffer(r.buffer);
    }
    rig.Stop();
    EXPECT_GE(Parameter(stream, "BlocksIncomplete"), 3);
    EXPECT_GE(Parameter(stream, "PacketsMissing"), 1);
}

TEST(StreamGEV, ATooSmallBufferIsNeverWrittenPastItsSize) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    const uint32_t size = rig.PayloadSize() - 100;
    std::vector<uint8_t> memory(rig.PayloadSize() + 64, 0xA5);
    TqBuffer small;
    TqStreamGEV stream;
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str())).IsOK());
    ASSERT_TRUE(small.Attach(memory.data(), size).IsOK());
    ASSERT_TRUE(stream.QueueBuffer(&small).IsOK());
    rig.Start();
    Retrieved r = Retrieve(stream);
    ASSERT_TRUE(r.call.IsOK());
    EXPECT_EQ(r.buffer, &small);
    EXPECT_EQ(r.operation.GetCode(), TQ_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.GetRequiredSize(), rig.PayloadSize());
    EXPECT_TRUE(std::all_of(memory.begin() + size, memory.end(), [](uint8_t v) { return v == 0xA5; }));
    rig.Stop();
    EXPECT_GE(Parameter(stream, "BlocksBufferTooSmall"), 1);
    stream.Close();
    small.Detach();
}

TEST(StreamGEV, AbortAndCloseWakeAWaitingRetrieve) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    auto buffers = Buffers(2, rig.PayloadSize());   // outlives the stream, which may hold them
    TqStreamGEV stream;
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str())).IsOK());
    for (auto& b : buffers) stream.QueueBuffer(b.get());

    Retrieved woken;
    std::thread waiter([&] { woken = Retrieve(stream, 0xFFFFFFFF); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(stream.AbortQueuedBuffers().IsOK());
    waiter.join();
    EXPECT_TRUE(woken.call.IsOK());
    EXPECT_EQ(woken.operation.GetCode(), TQ_ABORTED);
    Retrieved second = Retrieve(stream, 0);
    EXPECT_EQ(second.operation.GetCode(), TQ_ABORTED);
    EXPECT_NE(second.buffer, woken.buffer);
    Retrieved none = Retrieve(stream, 10);
    EXPECT_EQ(none.call.GetCode(), TQ_TIMEOUT);
    EXPECT_EQ(none.buffer, nullptr);

    // Nothing queued: Close still ends the wait, and the closed stream answers at once.
    std::thread closer([&] { woken = Retrieve(stream, 0xFFFFFFFF); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(stream.Close().IsOK());
    closer.join();
    EXPECT_FALSE(woken.call.IsOK());
    EXPECT_EQ(woken.buffer, nullptr);
    EXPECT_EQ(Retrieve(stream, 0xFFFFFFFF).call.GetCode(), TQ_NOT_CONNECTED);
}

TEST(StreamGEV, TheQueueIsBoundedByTheCapacity) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    TqBuffer b1, b2, b3;
    TqStreamGEV stream;
    EXPECT_EQ(stream.QueueBuffer(&b1).GetCode(), TQ_NOT_CONNECTED);
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str()), 0, 0, TqString(), 2).IsOK());
    EXPECT_EQ(stream.Open(TqString(rig.Ip().c_str())).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(stream.QueueBuffer(nullptr).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(stream.QueueBuffer(&b1).IsOK());
    EXPECT_TRUE(stream.QueueBuffer(&b2).IsOK());
    EXPECT_TRUE(stream.QueueBuffer(&b3).IsFailure());
    EXPECT_EQ(stream.GetQueuedBufferCount(), 2u);
    EXPECT_EQ(stream.GetQueuedBufferMaximum(), 2u);
}

TEST(StreamGEV, ReorderedPacketsAndWrappingBlockIdsMakeWholeBlocks) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    rig.FeedByHand();
    auto buffers = Buffers(3, SmallLayout().width * SmallLayout().height);   // outlives the stream, which may hold them
    TqStreamGEV stream;
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str())).IsOK());
    AskNothingAgain(stream);
    const FrameLayout layout = SmallLayout();
    for (auto& b : buffers) stream.QueueBuffer(b.get());
    Sender sender(rig.device->Address());
    const uint16_t port = stream.GetLocalPort();

    // Trailer first, payload backwards, leader last.
    auto packets = BuildFrame(layout, 0xFFFF, 99);
    std::reverse(packets.begin(), packets.end());
    for (const auto& p : packets) sender.Send(port, p);
    sender.SendFrame(port, layout, 1);   // 0xFFFF is followed by 1
    Retrieved a = Retrieve(stream), b = Retrieve(stream);
    ASSERT_TRUE(a.call.IsOK());
    ASSERT_TRUE(b.call.IsOK());
    EXPECT_EQ(a.operation.GetCode(), TQ_OK);
    EXPECT_EQ(a.buffer->GetBlockID(), 0xFFFFu);
    EXPECT_EQ(a.buffer->GetTimestamp(), 99u);
    EXPECT_TRUE(SamePattern(layout, 0xFFFF, *a.buffer));
    EXPECT_GE(a.buffer->GetPacketOutOfOrderCount(), 1u);
    EXPECT_EQ(b.operation.GetCode(), TQ_OK);
    EXPECT_EQ(b.buffer->GetBlockID(), 1u);
    EXPECT_TRUE(SamePattern(layout, 1, *b.buffer));
    // A late packet of a block handed back, and duplicates, are dropped and counted.
    const uint64_t ignored = Parameter(stream, "PacketsIgnored");
    stream.QueueBuffer(a.buffer);
    sender.Send(port, BuildFrame(layout, 0xFFFF, 99)[1]);
    sender.SendFrame(port, layout, 2);
    auto frame = BuildFrame(layout, 3, 5);
    frame.insert(frame.begin() + 2, frame[1]);
    frame.push_back(frame.back());
    for (const auto& p : frame) sender.Send(port, p);
    Retrieved c = Retrieve(stream);
    ASSERT_TRUE(c.call.IsOK());
    EXPECT_EQ(c.buffer->GetBlockID(), 2u);
    EXPECT_EQ(WaitForPackets(stream, 23), 23);
    Retrieved d = Retrieve(stream);
    ASSERT_TRUE(d.call.IsOK());
    EXPECT_EQ(d.buffer->GetBlockID(), 3u);
    EXPECT_EQ(d.operation.GetCode(), TQ_OK);
    EXPECT_TRUE(SamePattern(layout, 3, *d.buffer));
    // The late packet and the second trailer (its block was handed back) are of no block in progress.
    EXPECT_EQ(Parameter(stream, "PacketsIgnored"), int64_t(ignored + 2));
    EXPECT_GE(Parameter(stream, "PacketsRedundant"), 1);
}

TEST(StreamGEV, MalformedDatagramsAreDroppedAndTheNextFrameArrivesWhole) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    rig.FeedByHand();
    const FrameLayout layout = SmallLayout();
    const uint32_t size = layout.width * layout.height;
    // Buffers over guarded memory: whatever the datagrams say, nothing lands past a buffer's end.
    constexpr size_t kGuard = 4096;
    std::vector<std::vector<uint8_t>> memory(4, std::vector<uint8_t>(size + kGuard, 0x5A));
    std::vector<std::unique_ptr<TqBuffer>> buffers;
    TqStreamGEV stream;
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str())).IsOK());
    ASSERT_TRUE(stream.GetParameters()->SetIntegerValue(TqString("ImageTimeout"), 20).IsOK());
    AskNothingAgain(stream);
    for (auto& m : memory) {
        buffers.push_back(std::make_unique<TqBuffer>());
        buffers.back()->Attach(m.data(), size);
        stream.QueueBuffer(buffers.back().get());
    }
    Sender sender(rig.device->Address());
    const uint16_t port = stream.GetLocalPort();
    std::mt19937 random(20261207);
    auto good = BuildFrame(layout, 500, 1);
    for (int i = 0; i < 1500; ++i) {
        if (i % 100 == 0) WaitForPackets(stream, i);   // never more in flight than the socket holds
        std::vector<uint8_t> d;
        switch (random() % 5) {
        case 0:   // noise of any length
            d.resize(random() % 64);
            for (auto& v : d) v = uint8_t(random());
            break;
        case 1:   // a real packet with a few bytes changed
            d = good[random() % good.size()];
            for (int k = 0; k < 3; ++k) d[random() % d.size()] = uint8_t(random());
            break;
        case 2:   // a real packet cut short
            d = good[random() % good.size()];
            d.resize(random() % d.size());
            break;
        case 3: {   // a payload packet pointing far away
            d = good[1];
            d[5] = uint8_t(random());
            d[6] = uint8_t(random());
            d[7] = uint8_t(random());
            break;
        }
        default: {   // a leader of a huge image or another block
            d = good[0];
            d[3] = uint8_t(random());
            for (int k = 24; k < 36; ++k) d[k] = uint8_t(random());
            break;
        }
        }
        sender.Send(port, d);
    }
    // Whatever came back, or comes back now, has its guard intact.
    EXPECT_EQ(WaitForPackets(stream, 1500), 1500);
    stream.AbortQueuedBuffers();
    std::vector<TqBuffer*> back;
    for (Retrieved r = Retrieve(stream, 0); r.buffer; r = Retrieve(stream, 0)) back.push_back(r.buffer);
    EXPECT_EQ(back.size(), 4u);
    for (auto& m : memory)
        EXPECT_TRUE(std::all_of(m.begin() + size, m.end(), [](uint8_t v) { return v == 0x5A; }));
    EXPECT_GT(Parameter(stream, "PacketsBad"), 0);

    // The receiver is idle again after the image timeout: the next frame, whatever its ID, is whole.
    for (TqBuffer* b : back) stream.QueueBuffer(b);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sender.SendFrame(port, layout, 77);
    Retrieved r = Retrieve(stream);
    ASSERT_TRUE(r.call.IsOK());
    EXPECT_EQ(r.operation.GetCode(), TQ_OK);
    EXPECT_EQ(r.buffer->GetBlockID(), 77u);
    EXPECT_TRUE(SamePattern(layout, 77, *r.buffer));
    stream.Close();
    for (auto& b : buffers) b->Detach();
}

TEST(StreamGEV, JumboFramesSentBackToBackArriveWholeInBuffersOfAnySize) {
    // Frames of 35 payload packets at 9000 bytes, three at a time, block IDs wrapping, into buffers of
    // the payload's size and one larger: each arrives whole and in its turn.
    Rig rig;
    ASSERT_TRUE(rig.started);
    rig.FeedByHand();
    FrameLayout layout;
    layout.width = 640;
    layout.height = 480;
    layout.pixelFormat = Pfnc::kMono8;
    layout.packetSize = 9000;
    const uint32_t size = layout.width * layout.height;
    std::vector<std::unique_ptr<TqBuffer>> buffers;
    for (uint32_t extra : {0u, 0u, 4096u, 0u}) {
        buffers.push_back(std::make_unique<TqBuffer>());
        ASSERT_TRUE(buffers.back()->Alloc(size + extra).IsOK());
    }
    TqStreamGEV stream;
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str())).IsOK());
    AskNothingAgain(stream);
    for (auto& b : buffers) ASSERT_TRUE(stream.QueueBuffer(b.get()).IsOK());
    Sender sender(rig.device->Address());
    uint16_t block = 65533;
    for (int round = 0; round < 8; ++round) {
        std::vector<uint16_t> sent;
        for (int f = 0; f < 3; ++f) {
            sender.SendFrame(stream.GetLocalPort(), layout, block);
            sent.push_back(block);
            block = block == 65535 ? 1 : uint16_t(block + 1);
        }
        for (uint16_t id : sent) {
            Retrieved r = Retrieve(stream);
            ASSERT_TRUE(r.call.IsOK()) << "round " << round;
            EXPECT_EQ(r.operation.GetCode(), TQ_OK) << "block " << id;
            EXPECT_EQ(r.buffer->GetBlockID(), id);
            EXPECT_TRUE(SamePattern(layout, id, *r.buffer)) << "block " << id;
            ASSERT_TRUE(stream.QueueBuffer(r.buffer).IsOK());
        }
    }
    EXPECT_EQ(Parameter(stream, "BlocksReceived"), 24);
    EXPECT_EQ(Parameter(stream, "PacketsBad"), 0);
    EXPECT_EQ(Parameter(stream, "PacketsMissing"), 0);
}

TEST(StreamGEV, SocketSizesAreSetBeforeOpenOnly) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    uint32_t most = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> most;
    ASSERT_GT(most, 0u);
    TqStreamGEV stream;
    uint32_t size = 0;
    EXPECT_EQ(stream.GetUserModeSocketRxBufferSize(size).GetCode(), TQ_NOT_CONNECTED);
    EXPECT_EQ(stream.SetUserModeSocketRxBufferSize(most + 1).GetCode(), TQ_INVALID_PARAMETER);
    const uint32_t asked = std::min<uint32_t>(most, 128 * 1024);
    EXPECT_TRUE(stream.SetUserModeSocketRxBufferSize(asked).IsOK());
    EXPECT_TRUE(stream.SetUserModeRxPacketBufferSize(100).IsOK());   // raised to the minimum
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str())).IsOK());
    ASSERT_TRUE(stream.GetUserModeSocketRxBufferSize(size).IsOK());
    EXPECT_EQ(size, 2 * asked);   // the kernel doubles it for its bookkeeping
    EXPECT_EQ(stream.SetUserModeSocketRxBufferSize(asked).GetCode(), TQ_NETWORK_CONFIG_ERROR);
    EXPECT_EQ(stream.SetUserModeRxPacketBufferSize(20000).GetCode(), TQ_NETWORK_CONFIG_ERROR);
    EXPECT_TRUE(stream.FlushPacketQueue().IsOK());
    EXPECT_EQ(stream.SetUserModeDataReceiverThreadPriority(100).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(stream.SetUserModeDataReceiverThreadPriority(7).IsOK());
    EXPECT_EQ(stream.GetUserModeDataReceiverThreadPriority(), 7u);
}

TEST(StreamGEV, ParametersShowTheReceiverLive) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    rig.FeedByHand();
    TqStreamGEV stream;
    TqGenParameterArray* p = stream.GetParameters();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Parameter(stream, "ImageTimeout"), 1000);
    ASSERT_TRUE(p->SetBooleanValue(TqString("StartStreamOnlyOnPacketIdZero"), true).IsOK());
    EXPECT_TRUE(stream.GetWaitForFirstPacketOfBlockToStart());
    stream.SetWaitForFirstPacketOfBlockToStart(false);
    bool wait = true;
    ASSERT_TRUE(p->GetBooleanValue(TqString("StartStreamOnlyOnPacketIdZero"), wait).IsOK());
    EXPECT_FALSE(wait);
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str()), 0, 0, TqString("127.0.0.1"), 4).IsOK());
    AskNothingAgain(stream);
    TqString local;
    ASSERT_TRUE(p->GetStringValue(TqString("LocalIPAddress"), local).IsOK());
    EXPECT_EQ(std::string(local.GetAscii()), "127.0.0.1");
    EXPECT_EQ(Parameter(stream, "DataPort"), stream.GetLocalPort());
    EXPECT_EQ(Parameter(stream, "PacketsReceived"), 0);
    Sender sender(rig.device->Address());
    sender.SendFrame(stream.GetLocalPort(), SmallLayout(), 9);   // no buffer queued: dropped
    for (int i = 0; i < 500 && Parameter(stream, "PacketsReceived") < 5; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(Parameter(stream, "PacketsReceived"), 5);
    EXPECT_EQ(Parameter(stream, "BlocksDropped"), 1);
}

TEST(StreamGEV, WithWaitForTheLeaderABlockWhoseLeaderWasMissedIsIgnored) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    rig.FeedByHand();
    auto buffers = Buffers(1, 64 * 48);   // outlives the stream, which may hold them
    TqStreamGEV stream;
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str())).IsOK());
    AskNothingAgain(stream);
    stream.SetWaitForFirstPacketOfBlockToStart(true);
    stream.QueueBuffer(buffers[0].get());
    Sender sender(rig.device->Address());
    auto headless = BuildFrame(SmallLayout(), 10, 0);
    for (size_t i = 1; i < headless.size(); ++i) sender.Send(stream.GetLocalPort(), headless[i]);
    sender.SendFrame(stream.GetLocalPort(), SmallLayout(), 11);
    Retrieved r = Retrieve(stream);
    ASSERT_TRUE(r.call.IsOK());
    EXPECT_EQ(r.operation.GetCode(), TQ_OK);
    EXPECT_EQ(r.buffer->GetBlockID(), 11u);
}

TEST(StreamFactory, CreateAndOpenMakesGigEVisionStreamsOnly) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    TqResult result;
    TqStream* stream = TqStream::CreateAndOpen(TqString(rig.Ip().c_str()), &result);
    ASSERT_TRUE(result.IsOK());
    ASSERT_NE(dynamic_cast<TqStreamGEV*>(stream), nullptr);
    EXPECT_TRUE(stream->IsOpen());
    TqStream::Free(stream);
    // A GUID makes a USB3 Vision stream, which needs a device with that GUID; other text none.
    EXPECT_EQ(TqStream::CreateAndOpen(TqString("0123456789AB"), &result), nullptr);
    EXPECT_EQ(result.GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(TqStream::CreateAndOpen(TqString("nowhere"), &result), nullptr);
    EXPECT_EQ(result.GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_EQ(TqStream::CreateAndOpen(static_cast<const TqDeviceInfo*>(nullptr), &result), nullptr);
    EXPECT_TRUE(result.IsFailure());
    TqStreamGEV mine;
    TqStream::Free(&mine);   // not made by CreateAndOpen: left alone
    TqStream::Free(nullptr);

    TqString address("127.0.0.1");
    bool installed = true;
    EXPECT_TRUE(TqStreamGEV::IsDriverInstalled(address, installed).IsOK());
    EXPECT_FALSE(installed);
    TqString bad("nowhere");
    EXPECT_EQ(TqStreamGEV::IsDriverInstalled(bad, installed).GetCode(), TQ_INVALID_PARAMETER);
}

TEST(StreamGEV, TwoMulticastReceiversShareAGroupOnLoopback) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    auto first = Buffers(2, rig.PayloadSize());
    auto second = Buffers(2, rig.PayloadSize());
    TqStreamGEV a, b;
    const TqString device(rig.Ip().c_str()), group("239.255.42.7");
    ASSERT_TRUE(a.Open(device, group, 0).IsOK());
    const uint16_t port = a.GetLocalPort();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(b.Open(device, group, port).IsOK());
    EXPECT_EQ(std::string(a.GetMulticastIPAddress().GetAscii()), "239.255.42.7");
    EXPECT_EQ(rig.device->Controller().address, 0u);   // the streams only checked that it answers
    EXPECT_EQ(a.Open(device, TqString("127.0.0.9"), port).GetCode(), TQ_STATE_ERROR);
    TqStreamGEV c;
    EXPECT_EQ(c.Open(device, TqString("127.0.0.9"), port).GetCode(), TQ_INVALID_PARAMETER);   // no group
    for (auto& x : first) a.QueueBuffer(x.get());
    for (auto& x : second) b.QueueBuffer(x.get());
    // The application points the device at the group.
    TqDeviceGEV controller;
    ASSERT_TRUE(controller.Connect(device).IsOK());
    ASSERT_TRUE(controller.SetStreamDestination(group, port).IsOK());
    ASSERT_TRUE(controller.WriteRegister(Reg::kAcquisitionStart, 1).IsOK());
    const FrameLayout layout = rig.Layout();
    for (TqStreamGEV* s : {&a, &b}) {
        Retrieved r = Retrieve(*s);
        ASSERT_TRUE(r.call.IsOK());
        EXPECT_EQ(r.operation.GetCode(), TQ_OK);
        EXPECT_TRUE(SamePattern(layout, uint16_t(r.buffer->GetBlockID()), *r.buffer));
    }
    controller.WriteRegister(Reg::kAcquisitionStop, 1);
    a.Close();
    b.Close();
}

TEST(StreamGEV, NoDeviceAnsweringMeansNotFound) {
    TqStreamGEV stream;
    // Nothing serves GVCP at this address (the devices of the tests take the lowest free ones).
    EXPECT_EQ(stream.Open(TqString("127.0.0.250")).GetCode(), TQ_NOT_FOUND);
    EXPECT_FALSE(stream.IsOpen());
    EXPECT_EQ(stream.Open(TqString("10.0.0.1")).GetCode(), TQ_INVALID_PARAMETER);   // never off loopback
    EXPECT_EQ(stream.Open(TqString("127.0.0.1"), 0, 0, TqString(), 0).GetCode(), TQ_INVALID_PARAMETER);
}

TEST(StreamGEV, RawDataBlocksBecomeRawDataOfTheirStatedSize) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    rig.FeedByHand();
    auto buffers = Buffers(1, 5000);
    TqStreamGEV stream;
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str())).IsOK());
    AskNothingAgain(stream);
    stream.QueueBuffer(buffers[0].get());
    // A raw leader states the payload size; 3000 bytes in packets of 1464 (the device's packet size).
    auto header = [](std::vector<uint8_t>& p, uint16_t aBlock, uint8_t aFormat, uint32_t aPacket) {
        p = {0, 0, uint8_t(aBlock >> 8), uint8_t(aBlock), aFormat, uint8_t(aPacket >> 16), uint8_t(aPacket >> 8),
             uint8_t(aPacket)};
    };
    std::vector<uint8_t> payload(3000);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i * 7);
    std::vector<uint8_t> leader;
    header(leader, 40, Gvsp::kFormatLeader, 0);
    const uint8_t fields[] = {0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0x0B, 0xB8};
    leader.insert(leader.end(), std::begin(fields), std::end(fields));
    Sender sender(rig.device->Address());
    const uint16_t port = stream.GetLocalPort();
    sender.Send(port, leader);
    const size_t chunk = Gvsp::PayloadBytes(Reg::kDefaultPacketSize);
    uint32_t id = 1;
    for (size_t at = 0; at < payload.size(); at += chunk, ++id) {
        std::vector<uint8_t> p;
        header(p, 40, Gvsp::kFormatPayload, id);
        p.insert(p.end(), payload.begin() + at, payload.begin() + std::min(payload.size(), at + chunk));
        sender.Send(port, p);
    }
    std::vector<uint8_t> trailer;
    header(trailer, 40, Gvsp::kFormatTrailer, id);
    trailer.insert(trailer.end(), {0, 0, 0, 2});
    sender.Send(port, trailer);
    Retrieved r = Retrieve(stream);
    ASSERT_TRUE(r.call.IsOK());
    EXPECT_EQ(r.operation.GetCode(), TQ_OK);
    EXPECT_EQ(r.buffer->GetPayloadType(), TqPayloadTypeRawData);
    EXPECT_NE(r.buffer->GetRawData(), nullptr);
    EXPECT_EQ(r.buffer->GetPayloadSize(), 3000u);
    EXPECT_EQ(r.buffer->GetPayloadLength(), 3000u);
    EXPECT_EQ(r.buffer->GetTimestamp(), 5u);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), r.buffer->GetDataPointer()));
}

TEST(StreamGEV, AnIncompleteBlockNamesItsMissingPacketsAndKeepsTheOthersInPlace) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    rig.FeedByHand();
    const FrameLayout layout = SmallLayout();
    auto buffers = Buffers(1, layout.width * layout.height);
    TqStreamGEV stream;
    ASSERT_TRUE(stream.Open(TqString(rig.Ip().c_str())).IsOK());
    AskNothingAgain(stream);
    ASSERT_TRUE(stream.GetParameters()->SetIntegerValue(TqString("ImageTimeout"), 20).IsOK());
    stream.QueueBuffer(buffers[0].get());
    auto frame = BuildFrame(layout, 6, 0);
    frame.erase(frame.begin() + 2);   // payload packet 2
    Sender sender(rig.device->Address());
    for (const auto& p : frame) sender.Send(stream.GetLocalPort(), p);
    Retrieved r = Retrieve(stream);
    ASSERT_TRUE(r.call.IsOK());
    EXPECT_EQ(r.operation.GetCode(), TQ_MISSING_PACKETS);
    EXPECT_EQ(r.buffer->GetLostPacketCount(), 1u);
    uint32_t groups = 0, low = 0, high = 0;
    r.buffer->GetMissingPacketIdsCount(groups);
    ASSERT_EQ(groups, 1u);
    ASSERT_TRUE(r.buffer->GetMissingPacketIds(0, low, high).IsOK());
    EXPECT_EQ(low, 2u);
    EXPECT_EQ(high, 2u);
    // Packets 1 and 3 sit at their offsets: 0 and 2 x 1464 bytes.
    std::vector<uint8_t> expected;
    FillPattern(layout, 6, expected);
    const size_t chunk = Gvsp::PayloadBytes(layout.packetSize);
    const uint8_t* data = r.buffer->GetDataPointer();
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + chunk, data));
    EXPECT_TRUE(std::equal(expected.begin() + 2 * chunk, expected.end(), data + 2 * chunk));
}

namespace {

using Groups = std::vector<std::pair<uint32_t, uint32_t>>;

Groups MissingGroups(TqBuffer& aBuffer) {
    uint32_t count = 0;
    aBuffer.GetMissingPacketIdsCount(count);
    Groups out(count);
    for (uint32_t i = 0; i < count; ++i) aBuffer.GetMissingPacketIds(i, out[i].first, out[i].second);
    return out;
}

// Opens aStream on the rig's device with an ImageTimeout and resends on or off.
bool OpenLossy(TqStreamGEV& aStream, Rig& aRig, int64_t aImageTimeout, bool aResends) {
    TqGenParameterArray* p = aStream.GetParameters();
    return aStream.Open(TqString(aRig.Ip().c_str())).IsOK() &&
           p->SetIntegerValue(TqString("ImageTimeout"), aImageTimeout).IsOK() &&
           p->SetBooleanValue(TqString("RequestMissingPackets"), aResends).IsOK();
}

}  // namespace

TEST(StreamGEV, MissingLeadersAndTrailersAreNamedAndCountedOnce) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    rig.FeedByHand();
    const FrameLayout layout = SmallLayout();   // leader 0, payload packets 1 to 3, trailer 4
    auto buffers = Buffers(1, layout.width * layout.height);
    TqStreamGEV stream;
    ASSERT_TRUE(OpenLossy(stream, rig, 20, false));
    struct Case {
        std::vector<size_t> lost;   // packet IDs left out
        Groups groups;
        uint32_t count;
    };
    const Case cases[] = {
        {{0}, {{0, 0}}, 1},
        {{4}, {{4, 0xFFFFFF}}, 1},                 // the trailer: the group reaches the block's end
        {{3, 4}, {{3, 0xFFFFFF}}, 2},
        {{0, 2}, {{0, 0}, {2, 2}}, 2},             // the leader keeps a group of its own
        {{0, 1}, {{0, 0}, {1, 1}}, 2},
        {{0, 3, 4}, {{0, 0}, {3, 0xFFFFFF}}, 2},   // neither leader nor trailer: what follows counts as one
    };
    Sender sender(rig.device->Address());
    uint16_t block = 20;
    uint64_t total = 0;
    for (const Case& c : cases) {
        stream.QueueBuffer(buffers[0].get());
        auto frame = BuildFrame(layout, ++block, 0);
        for (size_t id = 0; id < frame.size(); ++id)
            if (std::find(c.lost.begin(), c.lost.end(), id) == c.lost.end()) sender.Send(stream.GetLocalPort(), frame[id]);
        Retrieved r = Retrieve(stream);
        ASSERT_TRUE(r.call.IsOK());
        EXPECT_EQ(r.operation.GetCode(), TQ_MISSING_PACKETS) << "block " << block;
        EXPECT_EQ(MissingGroups(*r.buffer), c.groups) << "block " << block;
        EXPECT_EQ(r.buffer->GetLostPacketCount(), c.count) << "block " << block;
        EXPECT_EQ(r.buffer->GetResendGroupRequestedCount(), 0u);
        total += c.count;
    }
    EXPECT_EQ(Parameter(stream, "PacketsMissing"), int64_t(total));
    EXPECT_EQ(Parameter(stream, "PacketsRequested"), 0);
    EXPECT_EQ(rig.device->GetStatistics().packetResendRequestsReceived, 0u);
}

namespace {

// With resends on, every packet the device dropped is asked for and comes again; with extended IDs
// the receiver asks in the extended form and the device serves it.
void ResendsRecoverEveryDroppedPacket(bool aExtended) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    rig.device->WriteRegister(Reg::kFramePeriod, 5000);
    if (aExtended) ASSERT_EQ(rig.device->WriteRegister(Reg::kGvspConfiguration, Reg::kGvspExtendedIds), Gvcp::kSuccess);
    auto buffers = Buffers(16, rig.PayloadSize());   // outlives the stream, which may hold them
    TqStreamGEV stream;
    bool on = false;
    ASSERT_TRUE(stream.GetParameters()->GetBooleanValue(TqString("RequestMissingPackets"), on).IsOK());
    EXPECT_TRUE(on);   // on from the start, as GigE Vision receivers have it
    ASSERT_TRUE(OpenLossy(stream, rig, 1000, false));
    ASSERT_TRUE(stream.GetParameters()->GetBooleanValue(TqString("RequestMissingPackets"), on).IsOK());
    EXPECT_FALSE(on);
    ASSERT_TRUE(stream.GetParameters()->SetBooleanValue(TqString("RequestMissingPackets"), true).IsOK());
    ASSERT_TRUE(stream.GetParameters()->GetBooleanValue(TqString("RequestMissingPackets"), on).IsOK());
    EXPECT_TRUE(on);
    Faults faults;
    faults.dropGvspEvery = 7;   // five packets a frame: leaders, payload packets and trailers are lost in turn
    rig.device->SetFaults(faults);
    for (auto& b : buffers) stream.QueueBuffer(b.get());
    rig.Start();
    const FrameLayout layout = rig.Layout();
    uint64_t recovered = 0, requested = 0;
    auto check = [&](const Retrieved& r) {
        EXPECT_EQ(r.operation.GetCode(), TQ_OK);
        EXPECT_EQ(r.buffer->IsExtendedID(), aExtended);
        EXPECT_TRUE(SamePattern(layout, uint16_t(r.buffer->GetBlockID()), *r.buffer));
        EXPECT_EQ(r.buffer->GetLostPacketCount(), 0u);
        EXPECT_LE(r.buffer->GetPacketsRecoveredSingleResendCount(), r.buffer->GetPacketsRecoveredCount());
        EXPECT_GE(r.buffer->GetResendPacketRequestedCount(), r.buffer->GetPacketsRecoveredCount());
        recovered += r.buffer->GetPacketsRecoveredCount();
        requested += r.buffer->GetResendPacketRequestedCount();
    };
    for (int i = 0; i < 60; ++i) {
        Retrieved r = Retrieve(stream);
        ASSERT_TRUE(r.call.IsOK());
        check(r);
        stream.QueueBuffer(r.buffer);
    }
    rig.Stop();
    for (Retrieved r = Retrieve(stream, 1000); r.buffer; r = Retrieve(stream, 1000)) check(r);   // the last frames
    const Statistics s = rig.device->GetStatistics();
    EXPECT_GE(s.gvspPacketsDropped, 60u * 5 / 7);
    EXPECT_EQ(Parameter(stream, "BlocksDropped"), 0);
    EXPECT_EQ(Parameter(stream, "BlocksIncomplete"), 0);
    EXPECT_EQ(Parameter(stream, "PacketsMissing"), 0);
    // Every packet the device dropped was asked for and came again, once asked.
    EXPECT_EQ(uint64_t(Parameter(stream, "PacketsRecovered")), s.gvspPacketsDropped);
    EXPECT_EQ(recovered, s.gvspPacketsDropped);
    EXPECT_EQ(uint64_t(Parameter(stream, "PacketsRequested")), requested);
    EXPECT_GE(s.packetsResent, s.gvspPacketsDropped);
}

}  // namespace

TEST(StreamGEV, ResendsRecoverEveryPacketTheDeviceDropped) { ResendsRecoverEveryDroppedPacket(false); }

TEST(StreamGEV, ResendsRecoverEveryPacketTheDeviceDroppedWithExtendedIds) { ResendsRecoverEveryDroppedPacket(true); }

TEST(StreamGEV, ABlockTheDeviceNoLongerHasComesBackWithoutWaitingForTheImageTimeout) {
    Rig rig;
    ASSERT_TRUE(rig.started);
    rig.FeedByHand();
    const FrameLayout layout = SmallLayout();
    auto buffers = Buffers(1, layout.width * layout.height);
    TqStreamGEV stream;
    ASSERT_TRUE(OpenLossy(stream, rig, 600000, true));
    stream.QueueBuffer(buffers[0].get());
    // A block the device never sent, without its last payload packet (so the gap shows only when the
    // trailer, the last packet sent, arrives): the request for it is answered with the error status,
    // and the block comes back then.
    auto frame = BuildFrame(layout, 6, 0);
    const uint32_t last = uint32_t(frame.size() - 2);
    ASSERT_GE(last, 2u);
    frame.erase(frame.begin() + last);
    Sender sender(rig.device->Address());
    for (const auto& p : frame) sender.Send(stream.GetLocalPort(), p);
    Retrieved r = Retrieve(stream, 60000);
    ASSERT_TRUE(r.call.IsOK());
    EXPECT_EQ(r.operation.GetCode(), TQ_MISSING_PACKETS);
    EXPECT_EQ(MissingGroups(*r.buffer), (Groups{{last, last}}));
    EXPECT_EQ(r.buffer->GetResendGroupRequestedCount(), 1u);
    EXPECT_EQ(r.buffer->GetResendPacketRequestedCount(), 1u);
    EXPECT_EQ(r.buffer->GetPacketsRecoveredCount(), 0u);
    EXPECT_EQ(rig.device->GetStatistics().packetResendRequestsReceived, 1u);
    EXPECT_EQ(Parameter(stream, "PacketsIgnored"), 1);   // the error packet itself
}

// Datagrams up to the largest UDP carries (65507 bytes) arrive whole: the receiver reads as much as
// the device's packet size needs when it opens, or as its packet buffer is set (up to that size).
TEST(StreamGEV, PacketsUpToTheLargestUdpDatagramArriveWhole) {
    DeviceConfig c;
    c.width = 640;
    c.height = 480;
    c.packetSizeMax = Reg::kPacketSizeLimit;
    Device device(c);
    std::string error;
    ASSERT_TRUE(device.Start(0, &error)) << error;
    FeedByHand(device);
    const TqString ip(FormatAddress(device.Address()).c_str());
    FrameLayout layout;
    layout.width = 640;
    layout.height = 480;
    layout.packetSize = Reg::kPacketSizeLimit;
    ASSERT_EQ(BuildFrame(layout, 1, 0)[1].size(), 65535u - 28u);
    for (bool fromDevice : {true, false}) {
        ASSERT_EQ(device.WriteRegister(Reg::Scps(0), fromDevice ? 65532 : 1500), Gvcp::kSuccess);
        auto buffers = Buffers(1, layout.width * layout.height);
        TqStreamGEV stream;
        if (!fromDevice) EXPECT_TRUE(stream.SetUserModeRxPacketBufferSize(70000).IsOK());   // as much as there is
        ASSERT_TRUE(stream.Open(ip).IsOK());
        AskNothingAgain(stream);
        ASSERT_TRUE(stream.QueueBuffer(buffers[0].get()).IsOK());
        layout.packetSize = fromDevice ? 65532 : Reg::kPacketSizeLimit;   // datagrams of 65504 and 65507 bytes
        Sender sender(device.Address());
        sender.SendFrame(stream.GetLocalPort(), layout, 7);
        Retrieved r = Retrieve(stream);
        ASSERT_TRUE(r.call.IsOK()) << fromDevice;
        EXPECT_EQ(r.operation.GetCode(), TQ_OK) << fromDevice;
        EXPECT_TRUE(SamePattern(layout, 7, *r.buffer));
        EXPECT_EQ(Parameter(stream, "PacketsBad"), 0);
        ASSERT_TRUE(stream.Close().IsOK());
    }
    device.Stop();
}
