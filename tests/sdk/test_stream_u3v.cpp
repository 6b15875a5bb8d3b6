// The USB3 Vision stream against the simulated device of the USB host controller: frames arrive whole
// in the queued buffers (test patterns checked byte for byte), one stream per device and channel, the
// refused opens, the arguments each open notes, payloads copied or filled in place around the small
// image threshold, buffers too small, abort and close, CreateAndOpen; and the engine's block sink.
#include "TqDevice.h"
#include "TqDeviceEngine.h"
#include "TqDeviceInfo.h"
#include "TqImage.h"
#include "TqInterface.h"
#include "TqSimulation.h"
#include "TqStream.h"
#include "balanced.h"
#include "stream_helpers.h"

#include "../../sdk/stream/TqStreamState.h"   // the receiver's transfer counters

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

using namespace TqEngine;
using namespace StreamTesting;

namespace {

const TqString kGuid("4B4956000417");
constexpr uint32_t kWidth = 64, kHeight = 48, kPayload = kWidth * kHeight;   // Mono8

class StreamU3V : public Balanced {
protected:
    StreamU3V() : Balanced({"TqStream", "TqBuffer", "TqDevice"}) {}
    void SetUp() override {
        Balanced::SetUp();
        TqSimulation::AddHardware();
        for (TqInterface* i : TqSimulation::Interfaces())
            if (i->GetName() == "USB3 host controller (simulated)") {
                record = i->GetDeviceInfo(0);
                plainUsb = i->GetDeviceInfo(1);
            }
        gev = TqSimulation::Loopback()->GetDeviceInfo(0);
        engine = TqSimulation::Device("4B4956000417");
        ASSERT_TRUE(record && plainUsb && gev && engine);
        engine->WriteRegister(Reg::kWidth, kWidth);
        engine->WriteRegister(Reg::kHeight, kHeight);
        engine->WriteRegister(Reg::kFramePeriod, 2000);
    }
    void TearDown() override {
        engine->WriteRegister(Reg::kAcquisitionStop, 1);
        engine.reset();
        TqSimulation::RemoveHardware();
        Balanced::TearDown();
    }
    // One frame (single frame mode), once the frame before has ended the last acquisition.
    void OneFrame() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (engine->IsAcquiring() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        engine->WriteRegister(Reg::kAcquisitionMode, 1);
        engine->WriteRegister(Reg::kAcquisitionStart, 1);
    }

    const TqDeviceInfo *record = nullptr, *plainUsb = nullptr, *gev = nullptr;
    std::shared_ptr<Device> engine;
};

bool SamePattern(const TqBuffer& aBuffer) {
    FrameLayout layout;
    layout.width = kWidth;
    layout.height = kHeight;
    std::vector<uint8_t> expected;
    FillPattern(layout, uint16_t(aBuffer.GetBlockID()), expected);
    return aBuffer.GetPayloadLength() == expected.size() &&
           std::equal(expected.begin(), expected.end(), aBuffer.GetDataPointer());
}

std::string Noted() {
    std::string arguments;
    EXPECT_TRUE(TqCallLog::Last("TqStreamU3V::Open", arguments));
    return arguments;
}

TqStreamLib::Transfers& TransfersOf(TqStream& aStream) { return TqStreamLib::StateOf(aStream).transfers; }

// Every buffer still held comes back exactly once; then the closed stream answers at once.
std::set<TqBuffer*> Drain(TqStream& aStream) {
    std::set<TqBuffer*> back;
    for (Retrieved r = Retrieve(aStream, 0); r.buffer; r = Retrieve(aStream, 0)) {
        EXPECT_TRUE(r.operation.GetCode() == TQ_ABORTED || r.operation.GetCode() == TQ_OK);
        EXPECT_TRUE(back.insert(r.buffer).second);
    }
    return back;
}

}  // namespace

TEST_F(StreamU3V, TenFramesOfAConnectedDeviceArriveWholeInTheQueuedBuffers) {
    TqDeviceU3V device;
    ASSERT_TRUE(device.Connect(record).IsOK());
    auto buffers = Buffers(4, kPayload);   // outlives the stream, which may hold them
    TqStreamU3V stream;
    EXPECT_EQ(stream.GetType(), TqStreamTypeU3V);
    EXPECT_STREQ(stream.GetGUID().GetAscii(), "");
    ASSERT_TRUE(stream.Open(record).IsOK());
    EXPECT_STREQ(stream.GetGUID().GetAscii(), "4B4956000417");
    EXPECT_EQ(stream.GetQueuedBufferMaximum(), 64u);
    EXPECT_EQ(stream.GetChannel(), 0);
    std::set<TqBuffer*> ours;
    for (auto& b : buffers) {
        ASSERT_TRUE(stream.QueueBuffer(b.get()).IsOK());
        ours.insert(b.get());
    }
    ASSERT_TRUE(device.StreamEnable().IsOK());
    ASSERT_TRUE(device.GetParameters()->ExecuteCommand(TqString("AcquisitionStart")).IsOK());
    uint64_t previous = 0;
    for (int i = 0; i < 10; ++i) {
        Retrieved r = Retrieve(stream);
        ASSERT_TRUE(r.call.IsOK());
        ASSERT_TRUE(ours.count(r.buffer));
        EXPECT_EQ(r.operation.GetCode(), TQ_OK);
        const TqImage* image = r.buffer->GetImage();
        ASSERT_TRUE(image && image->GetWidth() == kWidth && image->GetHeight() == kHeight);
        EXPECT_TRUE(image->GetPixelType() == TqPixelMono8 && image->GetBlockID() == r.buffer->GetBlockID());
        EXPECT_GT(r.buffer->GetBlockID(), previous);   // a frame that found no buffer is skipped
        previous = r.buffer->GetBlockID();
        EXPECT_TRUE(SamePattern(*r.buffer)) << "block " << previous;
        ASSERT_TRUE(stream.QueueBuffer(r.buffer).IsOK());
    }
    device.GetParameters()->ExecuteCommand(TqString("AcquisitionStop"));
    ASSERT_TRUE(stream.Close().IsOK());
    EXPECT_EQ(Drain(stream), ours);
    int64_t received = 0;
    ASSERT_TRUE(stream.GetParameters()->GetIntegerValue(TqString("BlocksReceived"), received).IsOK());
    EXPECT_GE(received, 10);
    EXPECT_EQ(TransfersOf(stream).inPlace.load(), uint64_t(received));   // 3072 bytes: not below 512
    EXPECT_EQ(TransfersOf(stream).copied.load(), 0u);
    EXPECT_TRUE(TransfersOf(stream).mostInFlight >= 1 && TransfersOf(stream).mostInFlight <= 64);
    EXPECT_EQ(Retrieve(stream).call.GetCode(), TQ_NOT_CONNECTED);
    EXPECT_STREQ(stream.GetGUID().GetAscii(), "4B4956000417");
}

// Every open notes its arguments, refused or not: "virtual" for the one-argument forms.
TEST_F(StreamU3V, OneStreamPerDeviceAndChannelTheRefusedOpensAndTheNotedArguments) {
    TqStreamU3V first, second;
    ASSERT_TRUE(first.Open(kGuid).IsOK());
    EXPECT_EQ(Noted(), "virtual");
    EXPECT_EQ(first.Open(kGuid, 2, 16, 4096, 1).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(Noted(), "2,16,4096,1");
    EXPECT_EQ(second.Open(record).GetCode(), TQ_BUSY);
    EXPECT_EQ(second.Open(TqString("4b4956000417"), 0, 8).GetCode(), TQ_BUSY);   // any case
    EXPECT_EQ(Noted(), "0,8,512,64");
    EXPECT_FALSE(second.IsOpen());
    ASSERT_TRUE(first.Close().IsOK());
    ASSERT_TRUE(second.Open(record, 0, 8, 100, 3).IsOK());
    EXPECT_EQ(Noted(), "0,8,100,3");
    EXPECT_EQ(second.GetQueuedBufferMaximum(), 8u);
    second.Close();

    TqStreamU3V refused;
    EXPECT_EQ(refused.Open(TqString("00000000BEEF")).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(refused.Open(static_cast<const TqDeviceInfo*>(nullptr)).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(Noted(), "virtual");
    EXPECT_EQ(refused.Open(gev).GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_EQ(refused.Open(plainUsb, 0).GetCode(), TQ_NOT_SUPPORTED);
    EXPECT_EQ(refused.Open(TqString("127.0.0.1")).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(refused.Open(record, 1).GetCode(), TQ_INVALID_PARAMETER);   // one channel only
    EXPECT_EQ(Noted(), "1,64,512,64");
    EXPECT_EQ(refused.Open(kGuid, 0, 0).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(refused.Open(kGuid, 0, 64, 512, 0).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_FALSE(refused.IsOpen());
    EXPECT_STREQ(refused.GetGUID().GetAscii(), "");
    EXPECT_TRUE(refused.Open(kGuid, 0).IsOK());   // no refused open kept the channel
    EXPECT_EQ(Noted(), "0,64,512,64");
}

TEST_F(StreamU3V, PayloadsBelowTheThresholdAreCopiedTheOthersFilledInPlace) {
    for (uint32_t threshold : {kPayload + 1, kPayload, 0u}) {
        SCOPED_TRACE(threshold);
        std::vector<uint8_t> memory(kPayload, 0xA5);
        TqBuffer buffer;
        ASSERT_TRUE(buffer.Attach(memory.data(), kPayload).IsOK());
        {
            TqStreamU3V stream;
            ASSERT_TRUE(stream.Open(kGuid, 0, 4, threshold, 2).IsOK());
            ASSERT_TRUE(stream.QueueBuffer(&buffer).IsOK());
            OneFrame();
            Retrieved r = Retrieve(stream);
            ASSERT_TRUE(r.call.IsOK());
            EXPECT_EQ(r.operation.GetCode(), TQ_OK);
            EXPECT_EQ(r.buffer, &buffer);
            EXPECT_TRUE(SamePattern(buffer));
            const bool copied = kPayload < threshold;
            EXPECT_EQ(TransfersOf(stream).copied.load(), copied ? 1u : 0u);
            EXPECT_EQ(TransfersOf(stream).inPlace.load(), copied ? 0u : 1u);
            EXPECT_EQ(TransfersOf(stream).mostInFlight.load(), 1u);
        }
        buffer.Detach();
    }
}

TEST_F(StreamU3V, APayloadLargerThanItsBufferWritesNothing) {
    std::vector<uint8_t> memory(kPayload, 0xA5);
    TqBuffer small;
    ASSERT_TRUE(small.Attach(memory.data(), kPayload - 1).IsOK());
    TqStreamU3V stream;
    ASSERT_TRUE(stream.Open(kGuid, 0, 4, 0).IsOK());   // every payload filled in place
    ASSERT_TRUE(stream.QueueBuffer(&small).IsOK());
    OneFrame();
    Retrieved r = Retrieve(stream);
    ASSERT_TRUE(r.call.IsOK());
    EXPECT_EQ(r.operation.GetCode(), TQ_BUFFER_TOO_SMALL);
    EXPECT_TRUE(small.GetRequiredSize() == kPayload && small.GetPayloadLength() == 0);
    EXPECT_TRUE(std::all_of(memory.begin(), memory.end(), [](uint8_t v) { return v == 0xA5; }));
    int64_t tooSmall = 0;
    stream.GetParameters()->GetIntegerValue(TqString("BlocksBufferTooSmall"), tooSmall);
    EXPECT_EQ(tooSmall, 1);
    EXPECT_EQ(TransfersOf(stream).inPlace.load(), 0u);
    stream.Close();
    small.Detach();
}

TEST_F(StreamU3V, AbortAndCloseGiveEveryBufferBackOnce) {
    auto buffers = Buffers(6, kPayload);
    std::set<TqBuffer*> ours;
    for (auto& b : buffers) ours.insert(b.get());
    TqStreamU3V stream;
    ASSERT_TRUE(stream.Open(kGuid, 0, 6, 512, 1).IsOK());
    for (TqBuffer* b : ours) stream.QueueBuffer(b);
    ASSERT_TRUE(stream.AbortQueuedBuffers().IsOK());   // nothing acquired yet: all come back aborted
    for (size_t i = 0; i < ours.size(); ++i) EXPECT_EQ(Retrieve(stream, 0).operation.GetCode(), TQ_ABORTED);
    EXPECT_EQ(Retrieve(stream, 0).call.GetCode(), TQ_TIMEOUT);

    // While frames arrive (unpaced): whatever was filled or in flight comes back once.
    engine->WriteRegister(Reg::kFrameRateEnable, 0);
    engine->WriteRegister(Reg::kAcquisitionStart, 1);
    for (TqBuffer* b : ours) stream.QueueBuffer(b);
    ASSERT_TRUE(stream.AbortQueuedBuffers().IsOK());
    EXPECT_EQ(Drain(stream), ours);
    EXPECT_EQ(stream.GetQueuedBufferCount(), 0u);
    for (TqBuffer* b : ours) stream.QueueBuffer(b);
    Retrieved woken;
    std::set<TqBuffer*> back;
    std::thread waiter([&] {
        while ((woken = Retrieve(stream, 0xFFFFFFFF)).call.IsOK()) EXPECT_TRUE(back.insert(woken.buffer).second);
    });
    ASSERT_TRUE(stream.Close().IsOK());   // ends the wait of a retrieve that got no buffer
    waiter.join();
    EXPECT_EQ(woken.buffer, nullptr);
    for (TqBuffer* b : Drain(stream)) EXPECT_TRUE(back.insert(b).second);   // those aborted after it woke
    EXPECT_EQ(back, ours);
    EXPECT_EQ(Retrieve(stream, 0).call.GetCode(), TQ_NOT_CONNECTED);
    EXPECT_EQ(stream.GetQueuedBufferCount(), 0u);
    EXPECT_LE(TransfersOf(stream).mostInFlight.load(), 1u);
}

TEST_F(StreamU3V, CreateAndOpenMakesAUsb3VisionStreamOfARecordOrAGuid) {
    TqResult result;
    TqStream* stream = TqStream::CreateAndOpen(record, &result);
    ASSERT_TRUE(result.IsOK());
    ASSERT_NE(dynamic_cast<TqStreamU3V*>(stream), nullptr);
    EXPECT_EQ(stream->GetType(), TqStreamTypeU3V);
    EXPECT_EQ(Noted(), "virtual");
    auto buffers = Buffers(1, kPayload);
    stream->QueueBuffer(buffers[0].get());
    OneFrame();
    Retrieved r = Retrieve(*stream);
    ASSERT_TRUE(r.call.IsOK() && r.operation.IsOK());
    EXPECT_TRUE(SamePattern(*r.buffer));
    EXPECT_EQ(TqStream::CreateAndOpen(kGuid, &result), nullptr);
    EXPECT_EQ(result.GetCode(), TQ_BUSY);
    TqStream::Free(stream);
    stream = TqStream::CreateAndOpen(TqString("4b4956000417"), &result);
    ASSERT_TRUE(result.IsOK() && stream && stream->GetType() == TqStreamTypeU3V);
    TqStream::Free(stream);
    EXPECT_EQ(TqStream::CreateAndOpen(TqString("00000000BEEF"), &result), nullptr);
    EXPECT_EQ(result.GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(TqStream::CreateAndOpen(plainUsb, &result), nullptr);
    EXPECT_EQ(result.GetCode(), TQ_NOT_SUPPORTED);
}

TEST(EngineBlockSink, TheSinkTakesTheFramesFromTheTapAndAReplacedSinkIsNeverCalledAgain) {
    Device d;
    EXPECT_FALSE(d.SetBlockSink(1, [](const Block&) {}));   // one channel
    std::atomic<int> tapped{0}, firstCalls{0}, secondCalls{0};
    std::atomic<bool> inFirst{false};
    d.SetStreamTap([&](uint32_t, const uint8_t*, size_t) { tapped++; });
    d.WriteRegister(Reg::kFramePeriod, 1000);
    ASSERT_EQ(d.WriteRegister(Reg::kAcquisitionStart, 1), Gvcp::kSuccess);
    ASSERT_TRUE(d.SetBlockSink(0, [&](const Block& aBlock) {
        inFirst = true;
        EXPECT_EQ(aBlock.size, 640u * 480);
        firstCalls++;
        inFirst = false;
    }));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (firstCalls < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_TRUE(d.SetBlockSink(0, [&](const Block&) { secondCalls++; }));
    EXPECT_FALSE(inFirst);
    const int first = firstCalls, tappedBefore = tapped;
    while (secondCalls < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    d.WriteRegister(Reg::kAcquisitionStop, 1);
    EXPECT_EQ(firstCalls, first);
    EXPECT_EQ(tapped, tappedBefore);   // while a sink takes them, the frames pass the tap by
    EXPECT_GE(secondCalls, 2);
}
