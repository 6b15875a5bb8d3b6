// The software device's streaming loop: frames from a source's buffers to a GVSP receiver (content,
// sizes, block IDs, timestamps, packet sizes, single frame, chunks), the order of the source's calls
// and the abort path that brings every queued buffer back, the number of buffers the transmitter
// uses, and what a source gets wrong (calls that throw, buffers it never had, buffers too small,
// buffers it never gives back). The ready-made source's own part and a subclass of it streaming the
// engine's test pattern.
#include "TqGvcpClient.h"
#include "TqImage.h"
#include "TqLogger.h"
#include "TqSoftDeviceAccess.h"
#include "TqSoftDeviceGEV.h"
#include "TqStream.h"
#include "engine_helpers.h"
#include "soft_recorders.h"
#include "stream_helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <thread>

using namespace KivoSoftTest;
namespace Reg = TqEngine::Reg;
namespace Gvsp = TqEngine::Gvsp;
using TqEngine::Testing::be16;
using TqEngine::Testing::be32;
using TqEngine::Testing::Capture;

namespace {

constexpr const char* kLoopback = "00:00:00:00:00:00";

// The records the device wrote to the SDK's log since the test began.
std::vector<std::string> Reports() {
    std::vector<std::string> out;
    for (const auto& r : TqLogRecords::Latest())
        if (r.logger == "TqSoftDeviceGEV") out.push_back(r.text1);
    return out;
}

// The calls of a journal as "operation(arguments)", without the source's name, from the first call
// named aFrom on, leaving out those aSkip says.
std::vector<std::string> Calls(const Journal& aJournal, const std::string& aFrom,
                               const std::function<bool(const std::string&)>& aSkip = {}) {
    std::vector<std::string> out;
    bool on = false;
    for (const Call& c : aJournal.Calls()) {
        const std::string op = c.operation.substr(c.operation.find('.') + 1);
        const std::string text = c.arguments.empty() ? op : op + "(" + c.arguments + ")";
        on = on || op == aFrom;
        if (on && !(aSkip && aSkip(text))) out.push_back(text);
    }
    return out;
}

// The calls of the operation named, or of the exact "operation(arguments)".
size_t CountOf(const Journal& aJournal, const std::string& aText) {
    size_t n = 0;
    for (const Call& c : aJournal.Calls()) {
        const std::string op = c.operation.substr(c.operation.find('.') + 1);
        if (op == aText || op + "(" + c.arguments + ")" == aText) ++n;
    }
    return n;
}

// Calls that the controller's changes make (the channel opened and closed), not the loop's.
bool Controllers(const std::string& aCall) { return aCall.rfind("OnOpen", 0) == 0 || aCall == "OnClose"; }

// A software device with one stream from a recording source, its engine device reached directly.
struct Rig {
    explicit Rig(Options aOptions) : source("source", std::move(aOptions)) {
        TqLogRecords::Clear();
        device.AddStream(&source);
        started = device.Start(kLoopback).IsOK();
        engine = TqSoftDevice::EngineOf(&device);
    }
    uint32_t Read(uint32_t aRegister) {
        uint32_t value = 0;
        EXPECT_EQ(engine->ReadRegister(aRegister, value), 0);
        return value;
    }
    void Write(uint32_t aRegister, uint32_t aValue) { ASSERT_EQ(engine->WriteRegister(aRegister, aValue), 0); }
    std::string Ip() const { return TqEngine::FormatAddress(engine->Address()); }
    const Journal& Log() const { return *source.GetJournal(); }

    RecordingSource source;   // outlives the device
    TqSoftDeviceGEV device;
    std::shared_ptr<TqEngine::Device> engine;
    bool started = false;
};

// A GVSP receiver with its own session to the device, and buffers enough for every frame of a test.
struct Receiver {
    Receiver(const std::string& aIp, uint32_t aSize, size_t aBuffers = 16)
        : buffers(StreamTesting::Buffers(aBuffers, aSize)) {
        EXPECT_TRUE(stream.Open(TqString(aIp.c_str())).IsOK());
        for (auto& b : buffers) EXPECT_TRUE(stream.QueueBuffer(b.get()).IsOK());
    }
    ~Receiver() {
        stream.Close();
        StreamTesting::TakeBack(stream);
    }
    // The next block: null when none came in time.
    TqBuffer* Next(TqResult* aOperation = nullptr, uint32_t aTimeout = 20000) {
        TqBuffer* buffer = nullptr;
        TqResult operation;
        if (!stream.RetrieveBuffer(&buffer, &operation, aTimeout).IsOK()) return nullptr;
        if (aOperation) *aOperation = operation;
        return buffer;
    }
    int64_t Parameter(const char* aName) {
        int64_t value = -1;
        stream.GetParameters()->GetIntegerValue(TqString(aName), value);
        return value;
    }

    std::vector<std::unique_ptr<TqBuffer>> buffers;   // outlive the stream
    TqStreamGEV stream;
};

bool HoldsFrame(const TqBuffer& aBuffer, uint32_t aFrame, size_t aBytes) {
    if (aBuffer.GetPayloadLength() != aBytes) return false;
    for (size_t n = 0; n < aBytes; ++n)
        if (aBuffer.GetDataPointer()[n] != FrameByte(aFrame, n)) return false;
    return true;
}

Options Streaming(uint32_t aWidth = 64, uint32_t aHeight = 48, TqPixelType aType = TqPixelMono8) {
    Options o;
    o.streams = true;
    o.gated = true;
    o.width = aWidth;
    o.height = aHeight;
    o.pixelType = aType;
    o.pixelTypes = {aType};
    o.widthMin = o.heightMin = o.widthInc = o.heightInc = 1;
    o.widthMax = o.heightMax = 4096;
    o.buffers = 6;
    return o;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Frames end to end.

struct Transfer {
    uint32_t packetSize;
    bool stamping;
};

class StreamingFrames : public ::testing::TestWithParam<Transfer> {};

// Each retrieved buffer arrives whole in the receiver: the source's bytes, its image's geometry,
// block IDs from 1 without a gap, and the timestamp the device stamped on the buffer as it went out
// (or, with stream timestamping off, the source's own).
TEST_P(StreamingFrames, ReachTheReceiverWholeInOrder) {
    const Transfer t = GetParam();
    Rig rig(Streaming(200, 100, TqPixelMono16));
    ASSERT_TRUE(rig.started);
    ASSERT_TRUE(rig.device.SetStreamTimestamping(t.stamping).IsOK());
    rig.Write(Reg::Scps(0), t.packetSize);
    Receiver receiver(rig.Ip(), 200 * 100 * 2);
    rig.Write(Reg::kAcquisitionStart, 1);
    rig.source.Allow(10);
    std::map<uint32_t, uint64_t> stamps;   // by frame
    uint64_t previous = 0;
    for (uint32_t frame = 1; frame <= 10; ++frame) {
        TqResult operation;
        TqBuffer* buffer = receiver.Next(&operation);
        ASSERT_NE(buffer, nullptr) << frame;
        ASSERT_EQ(operation.GetCode(), TQ_OK);
        EXPECT_EQ(buffer->GetBlockID(), frame);
        const TqImage* image = buffer->GetImage();
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->GetWidth(), 200u);
        EXPECT_EQ(image->GetHeight(), 100u);
        EXPECT_EQ(image->GetPixelType(), TqPixelMono16);
        EXPECT_TRUE(HoldsFrame(*buffer, frame, 200 * 100 * 2)) << frame;
        if (t.stamping) {
            EXPECT_NE(buffer->GetTimestamp(), kTimestampBase + frame);
            EXPECT_GE(buffer->GetTimestamp(), previous);
        } else {
            EXPECT_EQ(buffer->GetTimestamp(), kTimestampBase + frame);
        }
        previous = buffer->GetTimestamp();
        stamps[frame] = buffer->GetTimestamp();
    }
    EXPECT_EQ(receiver.Parameter("PacketsBad"), 0);
    ASSERT_TRUE(Eventually([&] { return rig.source.Queued() == 6; }));   // all of them again, and no frame more
    rig.Write(Reg::kAcquisitionStop, 1);
    EXPECT_EQ(rig.engine->GetStatistics().framesSent, 10u);
    const uint64_t packets = (200 * 100 * 2 + Gvsp::PayloadBytes(t.packetSize) - 1) / Gvsp::PayloadBytes(t.packetSize);
    EXPECT_EQ(rig.engine->GetStatistics().gvspPacketsSent, 10 * (packets + 2));

    // A buffer queued again after it went out carries the timestamp its block had.
    std::map<std::string, uint32_t> lastFrameIn;   // buffer place -> frame
    size_t checked = 0;
    for (const std::string& c : Calls(rig.Log(), "OnStreamingStart")) {
        unsigned frame, place;
        unsigned long long stamp;
        if (std::sscanf(c.c_str(), "RetrieveBuffer(frame %u %u)", &frame, &place) == 2) lastFrameIn[std::to_string(place)] = frame;
        if (std::sscanf(c.c_str(), "QueueBuffer(%u %llu)", &place, &stamp) == 2 && lastFrameIn.count(std::to_string(place))) {
            EXPECT_EQ(stamp, stamps[lastFrameIn[std::to_string(place)]]) << c;
            ++checked;
        }
    }
    EXPECT_GE(checked, 10u);
    receiver.stream.Close();   // while the device still answers
    ASSERT_TRUE(rig.device.Stop().IsOK());
    EXPECT_EQ(rig.source.FreedInOrder(), std::vector<int>(6, 1));
    EXPECT_TRUE(Reports().empty());
}

INSTANTIATE_TEST_SUITE_P(PacketSizesAndTimestamps, StreamingFrames,
                         ::testing::Values(Transfer{1500, true}, Transfer{9000, false}));

// SingleFrame: one block per AcquisitionStart, after which the acquisition ends and every queued
// buffer comes back.
TEST(Streaming, SingleFrameSendsOneBlockPerStart) {
    Options o = Streaming();
    o.gated = false;
    Rig rig(o);
    ASSERT_TRUE(rig.started);
    rig.Write(Reg::kAcquisitionMode, 1);
    Receiver receiver(rig.Ip(), 64 * 48);
    for (uint32_t block = 1; block <= 2; ++block) {
        rig.Write(Reg::kAcquisitionStart, 1);
        TqBuffer* buffer = receiver.Next();
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(buffer->GetBlockID(), block);
        EXPECT_TRUE(HoldsFrame(*buffer, block, 64 * 48));
        ASSERT_TRUE(Eventually([&] { return CountOf(rig.Log(), "OnStreamingStop") == block; }));
        EXPECT_EQ(rig.Read(Reg::kAcquisitionStatus), 0u);
        EXPECT_EQ(rig.source.Queued(), 0u);
    }
    EXPECT_EQ(rig.engine->GetStatistics().framesSent, 2u);
    EXPECT_EQ(receiver.Next(nullptr, 100), nullptr);
}

// Chunk mode: the image as the first chunk, then the buffer's chunk area as the chunk store wrote
// it, one payload of the image-with-extended-chunk type; the trailer tells the lines, the whole size and the layout.
TEST(Streaming, ChunkModeSendsTheImageThenTheChunks) {
    Options o = Streaming(32, 8);
    o.chunkMode = true;
    o.chunks = {{kChunkId, "ChunkFrame"}};
    Rig rig(o);
    ASSERT_TRUE(rig.started);
    TqGvcpClient::Channel controller;
    ASSERT_TRUE(controller.Open(rig.engine->Address()));
    uint32_t payload = 0;
    EXPECT_EQ(controller.ReadRegister(0x32000000, payload), 0);
    EXPECT_EQ(payload, 32u * 8 + 8 + 12);   // PayloadSize counts the image's chunk trailer and the chunk data
    Capture capture(*rig.engine);
    rig.Write(Reg::kAcquisitionStart, 1);
    rig.source.Allow(2);
    ASSERT_TRUE(Eventually([&] { return capture.Trailers() == 2; }));
    rig.Write(Reg::kAcquisitionStop, 1);
    for (uint16_t block = 1; block <= 2; ++block) {
        const Capture::Block b = capture.Of(block);
        ASSERT_EQ(b.leader.size(), 8u + 36u);
        EXPECT_EQ(be16(b.leader, 10), Gvsp::kPayloadImageExtendedChunk);
        EXPECT_EQ(be32(b.leader, 24), 32u);
        std::vector<uint8_t> expected;
        for (size_t n = 0; n < 32 * 8; ++n) expected.push_back(FrameByte(block, n));
        // One chunk layout: the image's trailer (ID 0, its length), then the buffer's chunk.
        for (uint32_t word : {0u, 32u * 8, uint32_t(block), kChunkId, 4u})
            for (int shift = 24; shift >= 0; shift -= 8) expected.push_back(uint8_t(word >> shift));
        EXPECT_EQ(b.payload, expected) << block;
        ASSERT_EQ(b.trailer.size(), 8u + 16u);
        EXPECT_EQ(be16(b.trailer, 10), Gvsp::kPayloadImageExtendedChunk);
        EXPECT_EQ(be32(b.trailer, 12), 8u);
        EXPECT_EQ(be32(b.trailer, 16), expected.size());
        EXPECT_EQ(be32(b.trailer, 20), kChunkLayout);
    }
}

// A buffer smaller than its image is read no further than its end: its bytes go out under the
// image's leader, and the trailer tells the lines they hold whole. A buffer whose image tells no
// geometry goes out with the channel's.
TEST(Streaming, ShortAndBareBuffersSendOnlyWhatTheyHold) {
    Options small = Streaming(64, 48);
    small.bufferBytes = 1000;
    Rig rig(small);
    ASSERT_TRUE(rig.started);
    Capture capture(*rig.engine);
    rig.Write(Reg::kAcquisitionStart, 1);
    rig.source.Allow(1);
    ASSERT_TRUE(Eventually([&] { return capture.Trailers() == 1; }));
    rig.Write(Reg::kAcquisitionStop, 1);
    Capture::Block b = capture.Of(1);
    EXPECT_EQ(be32(b.leader, 24), 64u);
    EXPECT_EQ(be32(b.leader, 28), 48u);
    ASSERT_EQ(b.payload.size(), 1000u);
    for (size_t n = 0; n < 1000; ++n) ASSERT_EQ(b.payload[n], FrameByte(1, n)) << n;
    EXPECT_EQ(be32(b.trailer, 12), 1000u / 64);

    Options bare = Streaming(40, 10, TqPixelMono16);
    bare.rawBuffers = true;
    Rig other(bare);
    ASSERT_TRUE(other.started);
    Capture raw(*other.engine);
    other.Write(Reg::kAcquisitionStart, 1);
    other.source.Allow(1);
    ASSERT_TRUE(Eventually([&] { return raw.Trailers() == 1; }));
    other.Write(Reg::kAcquisitionStop, 1);
    b = raw.Of(1);
    EXPECT_EQ(be32(b.leader, 20), uint32_t(TqPixelMono16));
    EXPECT_EQ(be32(b.leader, 24), 40u);
    EXPECT_EQ(b.payload.size(), 40u * 10 * 2);
    EXPECT_EQ(be32(b.trailer, 12), 10u);
}

// ---------------------------------------------------------------------------------------------
// The order of the source's calls, and the way back of its buffers.

// On the channel's own thread: the start calls, then queue what the device holds, retrieve, send, the
// hook after; when the session ends, abort, every queued buffer back, the stop; at the device's Stop
// every buffer freed once.
TEST(Streaming, TheSourceIsCalledInItsOrderAndGivesEveryBufferBack) {
    Rig rig(Streaming());
    ASSERT_TRUE(rig.started);
    {
        Receiver receiver(rig.Ip(), 64 * 48);
        rig.Write(Reg::kAcquisitionStart, 1);
        rig.source.Allow(3);
        for (int n = 0; n < 3; ++n) ASSERT_NE(receiver.Next(), nullptr);
        ASSERT_TRUE(Eventually([&] { return CountOf(rig.Log(), "PostRetrieveBufferProc") == 3 && rig.source.Queued() == 6; }));
    }   // the receiver's session ends: so does the acquisition
    ASSERT_TRUE(Eventually([&] { return CountOf(rig.Log(), "OnStreamingStop") == 1; }));
    EXPECT_EQ(rig.Read(Reg::kAcquisitionStatus), 0u);
    ASSERT_TRUE(rig.device.Stop().IsOK());

    const auto calls = Calls(rig.Log(), "GetTxNumBuffersToUse", [](const std::string& c) {
        return c == "RetrieveBuffer(timeout)" || c == "PreQueueBufferProc" || Controllers(c);
    });
    auto queued = [](int aPlace) { return "QueueBuffer(" + std::to_string(aPlace) + " "; };
    std::vector<std::string> shape;   // the calls with the timestamps left out
    for (const std::string& c : calls) shape.push_back(c.rfind("QueueBuffer(", 0) == 0 ? c.substr(0, c.find(' ') + 1) : c);
    const std::vector<std::string> expected = {
        "GetTxNumBuffersToUse", "GetChunkModeActive", "OnStreamingStart",
        queued(0), queued(1), queued(2), queued(3), queued(4), queued(5),
        "RetrieveBuffer(frame 1 0)", "PostRetrieveBufferProc", queued(0),
        "RetrieveBuffer(frame 2 1)", "PostRetrieveBufferProc", queued(1),
        "RetrieveBuffer(frame 3 2)", "PostRetrieveBufferProc", queued(2),
        "AbortQueuedBuffers",
        "RetrieveBuffer(aborted 3)", "RetrieveBuffer(aborted 4)", "RetrieveBuffer(aborted 5)",
        "RetrieveBuffer(aborted 0)", "RetrieveBuffer(aborted 1)", "RetrieveBuffer(aborted 2)",
        "OnStreamingStop", "FreeBuffer", "FreeBuffer", "FreeBuffer", "FreeBuffer", "FreeBuffer", "FreeBuffer"};
    EXPECT_EQ(shape, expected);
    // PreQueueBufferProc comes before each round of queueing and retrieving.
    const auto all = Calls(rig.Log(), "OnStreamingStart", Controllers);
    for (size_t n = 1; n < all.size(); ++n)
        if (all[n].rfind("RetrieveBuffer(frame", 0) == 0) {
            size_t back = n;
            while (back > 0 && all[back - 1].rfind("QueueBuffer(", 0) == 0) --back;
            EXPECT_EQ(all[back - 1], "PreQueueBufferProc") << n;
        }
    // The streaming calls run on one thread, the device's own.
    std::set<long> threads;
    bool on = false;
    for (const Call& c : rig.Log().Calls()) {
        on = on || c.operation == "source.GetTxNumBuffersToUse";
        const std::string op = c.operation.substr(c.operation.find('.') + 1);
        if (on && op != "FreeBuffer" && !Controllers(op)) threads.insert(c.thread);
    }
    EXPECT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.count(ThreadId()), 0u);
    EXPECT_EQ(rig.source.FreedInOrder(), std::vector<int>(6, 1));
}

// TQ_OK from GetTxNumBuffersToUse: that many buffers, 4 at least and those allocated at most; any
// other answer: all of them.
struct TxCase {
    int64_t answer;
    size_t allocated, used;
};

class StreamingTxBuffers : public ::testing::TestWithParam<TxCase> {};

TEST_P(StreamingTxBuffers, LimitTheBuffersQueued) {
    const TxCase t = GetParam();
    Options o = Streaming();
    o.txBuffers = t.answer;
    o.buffers = t.allocated;
    Rig rig(o);
    ASSERT_TRUE(rig.started);
    Capture capture(*rig.engine);
    rig.Write(Reg::kAcquisitionStart, 1);
    rig.source.Allow(int(t.allocated) * 2);   // every buffer round twice, if it were used
    ASSERT_TRUE(Eventually([&] { return capture.Trailers() >= 2 * t.allocated && rig.source.Queued() == t.used; }));
    rig.Write(Reg::kAcquisitionStop, 1);
    std::set<int> places;
    for (const std::string& c : Calls(rig.Log(), "OnStreamingStart")) {
        int place;
        if (std::sscanf(c.c_str(), "QueueBuffer(%d", &place) == 1) places.insert(place);
    }
    EXPECT_EQ(places.size(), t.used);
    EXPECT_EQ(*places.rbegin(), int(t.used) - 1);   // the first ones
    size_t aborted = 0;
    for (const std::string& c : Calls(rig.Log(), "AbortQueuedBuffers")) aborted += c.rfind("RetrieveBuffer(aborted", 0) == 0;
    EXPECT_EQ(aborted, t.used);
}

INSTANTIATE_TEST_SUITE_P(Answers, StreamingTxBuffers,
                         ::testing::Values(TxCase{-1, 8, 8}, TxCase{2, 8, 4}, TxCase{6, 8, 6}, TxCase{100, 8, 8},
                                           TxCase{2, 3, 3}));

// ---------------------------------------------------------------------------------------------
// What a source gets wrong.

// A QueueBuffer or RetrieveBuffer that throws ends the channel's acquisition at once with one report
// (the failed call is not made again in that run); the device still serves its controller, the next
// AcquisitionStart tries again, and Stop frees every buffer once.
class StreamingFailure : public ::testing::TestWithParam<const char*> {};

TEST_P(StreamingFailure, EndsTheAcquisitionWithOneReport) {
    const std::string failing = GetParam();
    Options o = Streaming();
    o.failAt = failing;
    Rig rig(o);
    ASSERT_TRUE(rig.started);
    Capture capture(*rig.engine);
    for (size_t round = 1; round <= 2; ++round) {
        rig.Write(Reg::kAcquisitionStart, 1);
        ASSERT_TRUE(Eventually([&] { return CountOf(rig.Log(), "OnStreamingStop") == round; }));
        ASSERT_TRUE(Eventually([&] { return rig.Read(Reg::kAcquisitionStatus) == 0; }));
        EXPECT_EQ(CountOf(rig.Log(), failing), round);
        EXPECT_EQ(CountOf(rig.Log(), "AbortQueuedBuffers"), round);
        ASSERT_EQ(Reports().size(), round);
        EXPECT_NE(Reports().back().find(failing + " of stream source 0 failed"), std::string::npos) << Reports().back();
        EXPECT_NE(Reports().back().find("fails as asked"), std::string::npos);
    }
    if (failing == "QueueBuffer") {
        EXPECT_EQ(CountOf(rig.Log(), "RetrieveBuffer"), 0u);
    }
    TqGvcpClient::Channel controller;
    ASSERT_TRUE(controller.Open(rig.engine->Address()));
    uint32_t value = 0;
    EXPECT_EQ(controller.ReadRegister(Reg::kWidth, value), 0);
    EXPECT_EQ(value, 64u);
    EXPECT_EQ(capture.Trailers(), 0u);
    ASSERT_TRUE(rig.device.Stop().IsOK());
    EXPECT_EQ(rig.source.FreedInOrder(), std::vector<int>(6, 1));
}

INSTANTIATE_TEST_SUITE_P(Operations, StreamingFailure, ::testing::Values("QueueBuffer", "RetrieveBuffer"));

// RetrieveBuffer answering TQ_OK with no buffer, or with one the device never queued: nothing is
// sent for it, and the frames after it go out in order.
TEST(Streaming, BuffersTheDeviceDidNotQueueAreNotSent) {
    Options o = Streaming();
    o.oddAnswers = {"null", "foreign"};
    Rig rig(o);
    ASSERT_TRUE(rig.started);
    Receiver receiver(rig.Ip(), 64 * 48);
    rig.Write(Reg::kAcquisitionStart, 1);
    rig.source.Allow(2);
    for (uint32_t frame = 1; frame <= 2; ++frame) {
        TqBuffer* buffer = receiver.Next();
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(buffer->GetBlockID(), frame);
        EXPECT_TRUE(HoldsFrame(*buffer, frame, 64 * 48));
    }
    rig.Write(Reg::kAcquisitionStop, 1);
    EXPECT_EQ(rig.engine->GetStatistics().framesSent, 2u);
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[0].find("answered OK with no buffer"), std::string::npos) << reports[0];
    EXPECT_NE(reports[1].find("a buffer the device did not queue"), std::string::npos) << reports[1];
    EXPECT_EQ(CountOf(rig.Log(), "PostRetrieveBufferProc"), 4u);
}

// A source that keeps its queued buffers after the abort: the device waits for them a bounded time,
// reports them, and its Stop still frees each buffer once.
TEST(Streaming, BuffersNeverGivenBackDoNotHoldTheStop) {
    Options o = Streaming();
    o.keepBuffers = true;
    Rig rig(o);
    ASSERT_TRUE(rig.started);
    Capture capture(*rig.engine);
    rig.Write(Reg::kAcquisitionStart, 1);
    rig.source.Allow(1);
    ASSERT_TRUE(Eventually([&] { return capture.Trailers() == 1 && rig.source.Queued() == 6; }));
    ASSERT_TRUE(rig.device.Stop().IsOK());
    EXPECT_EQ(CountOf(rig.Log(), "OnStreamingStop"), 1u);
    EXPECT_EQ(rig.source.FreedInOrder(), std::vector<int>(6, 1));
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("6 queued buffers did not come back"), std::string::npos) << reports[0];
}

// ---------------------------------------------------------------------------------------------
// The ready-made source.

TEST(StreamingDefaultSource, ItsImageLimitsPixelTypesAndBuffers) {
    struct Source : TqStreamingChannelSourceDefault {
        using TqStreamingChannelSourceDefault::TqStreamingChannelSourceDefault;
        TqResult QueueBuffer(TqBuffer*) override { return TqResult(TQ_OK); }
        TqResult RetrieveBuffer(TqBuffer**) override { return TqResult(TQ_TIMEOUT); }
    } source(100, 50, TqPixelRGB8, 3);
    TqStreamingChannelSourceDefault* made = &source;   // its own operations, through the SDK's class
    uint32_t low = 0, high = 0, step = 0;
    made->GetWidthInfo(low, high, step);
    EXPECT_EQ(std::vector<uint32_t>({low, high, step}), std::vector<uint32_t>({1, 100, 1}));
    made->GetHeightInfo(low, high, step);
    EXPECT_EQ(std::vector<uint32_t>({low, high, step}), std::vector<uint32_t>({1, 50, 1}));
    // Setters keep what fits and refuse the rest, changing nothing.
    EXPECT_EQ(made->SetWidth(0).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(made->SetWidth(101).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(made->SetWidth(60).IsOK());
    EXPECT_TRUE(made->SetOffsetX(40).IsOK());
    EXPECT_EQ(made->SetOffsetX(41).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(made->SetWidth(61).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(made->GetWidth(), 60u);
    EXPECT_EQ(made->GetOffsetX(), 40u);
    EXPECT_TRUE(made->SetHeight(50).IsOK());
    EXPECT_EQ(made->SetOffsetY(1).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(made->GetOffsetY(), 0u);
    TqPixelType type = TqPixelUndefined;
    EXPECT_TRUE(made->GetSupportedPixelType(0, type).IsOK());
    EXPECT_EQ(type, TqPixelRGB8);
    EXPECT_TRUE(made->GetSupportedPixelType(1, type).IsOK());
    EXPECT_EQ(type, TqPixelMono8);
    EXPECT_EQ(made->GetSupportedPixelType(2, type).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(made->GetSupportedPixelType(-1, type).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(made->SetPixelType(TqPixelMono16).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(made->SetPixelType(TqPixelMono8).IsOK());
    EXPECT_EQ(made->GetPixelType(), TqPixelMono8);
    // No chunks, the payload size left to the device, all buffers for the transmitter.
    uint32_t id = 0;
    TqString name;
    EXPECT_EQ(made->GetSupportedChunk(0, id, name).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(made->SetChunkModeActive(true).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(made->SetChunkModeActive(false).IsOK());
    EXPECT_FALSE(made->GetChunkModeActive());
    EXPECT_EQ(made->GetChunksSize(), 0u);
    EXPECT_EQ(made->GetPayloadSize(), 0u);
    uint32_t count = 7;
    EXPECT_EQ(made->GetTxNumBuffersToUse(count).GetCode(), TQ_NOT_IMPLEMENTED);
    // Its buffers: a whole image of the larger type each, showing the image as it is; then none. It
    // frees its own and leaves others alone.
    std::vector<TqBuffer*> buffers;
    for (TqBuffer* b; (b = made->AllocBuffer());) buffers.push_back(b);
    ASSERT_EQ(buffers.size(), 3u);
    EXPECT_GE(buffers[0]->GetSize(), 100u * 50 * 3);
    EXPECT_EQ(buffers[0]->GetImage()->GetWidth(), 60u);
    EXPECT_EQ(buffers[0]->GetImage()->GetOffsetX(), 40u);
    EXPECT_EQ(buffers[0]->GetImage()->GetPixelType(), TqPixelMono8);
    EXPECT_EQ(buffers[0]->GetPayloadLength(), 60u * 50);
    TqBuffer stranger;
    const long before = TqLiveObjects::Count("TqBuffer");
    made->FreeBuffer(&stranger);
    made->FreeBuffer(buffers[0]);
    EXPECT_EQ(TqLiveObjects::Count("TqBuffer"), before - 1);
    EXPECT_NE(made->AllocBuffer(), nullptr);   // room for one again; the destructor frees the rest
}

// A subclass that fills the ready-made source's buffers with the engine's test pattern: the receiver
// gets ten frames of it with consecutive block IDs, and after Stop every buffer is gone.
TEST(StreamingDefaultSource, ASubclassStreamsTheTestPattern) {
    struct Pattern : TqStreamingChannelSourceDefault {
        using TqStreamingChannelSourceDefault::TqStreamingChannelSourceDefault;
        TqResult QueueBuffer(TqBuffer* aBuffer) override {
            {
                std::lock_guard guard(lock);
                queued.push_back(aBuffer);
            }
            wake.notify_all();
            return TqResult(TQ_OK);
        }
        TqResult RetrieveBuffer(TqBuffer** aBuffer) override {
            std::unique_lock guard(lock);
            if (!aborted.empty()) {
                *aBuffer = aborted.front();
                aborted.pop_front();
                return TqResult(TQ_ABORTED);
            }
            if (!wake.wait_for(guard, std::chrono::milliseconds(10), [&] { return !queued.empty(); }))
                return TqResult(TQ_TIMEOUT);
            *aBuffer = queued.front();
            queued.pop_front();
            TqEngine::FrameLayout layout;
            layout.width = GetWidth();
            layout.height = GetHeight();
            frame = TqEngine::NextBlockId(frame);
            TqEngine::FillPattern(layout, frame, (*aBuffer)->GetDataPointer());
            return TqResult(TQ_OK);
        }
        void AbortQueuedBuffers() override {
            std::lock_guard guard(lock);
            aborted.insert(aborted.end(), queued.begin(), queued.end());
            queued.clear();
        }
        std::mutex lock;
        std::condition_variable wake;
        std::deque<TqBuffer*> queued, aborted;
        uint16_t frame = 0;
    };
    const long before = TqLiveObjects::Count("TqBuffer");
    Pattern source(64, 48, TqPixelMono8, 4);
    TqSoftDeviceGEV device;
    device.AddStream(&source);
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    auto engine = TqSoftDevice::EngineOf(&device);
    EXPECT_EQ(TqLiveObjects::Count("TqBuffer"), before + 4);
    {
        Receiver receiver(TqEngine::FormatAddress(engine->Address()), 64 * 48, 32);
        ASSERT_EQ(engine->WriteRegister(Reg::kAcquisitionStart, 1), 0);
        TqEngine::FrameLayout layout;
        layout.width = 64;
        layout.height = 48;
        std::vector<uint8_t> expected;
        for (uint16_t block = 1; block <= 10; ++block) {
            TqBuffer* buffer = receiver.Next();
            ASSERT_NE(buffer, nullptr);
            EXPECT_EQ(buffer->GetBlockID(), block);
            TqEngine::FillPattern(layout, block, expected);
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer->GetDataPointer())) << block;
        }
        ASSERT_EQ(engine->WriteRegister(Reg::kAcquisitionStop, 1), 0);
    }
    ASSERT_TRUE(device.Stop().IsOK());
    EXPECT_EQ(TqLiveObjects::Count("TqBuffer"), before);
}
