// Device serial ports: the engine's UART bridges (blocks, EVENTDATA framing, ports per transport,
// unsupported marking) and TqDeviceSerialPort over software devices on loopback and the simulated
// USB3 Vision device: loopback and injected bytes in order across block and event boundaries, result
// codes, read timeouts, the receive ring's overflow and resizing, write progress seen from another
// thread, echo sinks, 64-bit counters, the link's loss, a closed port during reads and writes.
#include "TqDevice.h"
#include "TqDeviceAdapter.h"
#include "TqDeviceEngine.h"
#include "TqDeviceSerialPort.h"
#include "TqInterface.h"
#include "TqSerialTesting.h"
#include "TqSimulation.h"
#include "balanced.h"

#include <gtest/gtest.h>

#include <future>

using namespace TqEngine;

#define EXPECT_CODE(aCall, aCode) EXPECT_EQ((aCall).GetCode(), uint32_t(aCode)) << #aCall
#define ASSERT_CODE(aCall, aCode) ASSERT_EQ((aCall).GetCode(), uint32_t(aCode)) << #aCall

namespace {

constexpr uint32_t kGuardMs = 10000;   // against deadlocks only
constexpr auto kGuard = std::chrono::milliseconds(kGuardMs);
constexpr const char* kU3V = "4B4956000417";

std::vector<uint8_t> Pattern(size_t aSize, uint8_t aSeed) {
    std::vector<uint8_t> out(aSize);
    for (size_t i = 0; i < aSize; ++i) out[i] = uint8_t(aSeed + i * 7 + (i >> 8));
    return out;
}

// Reads until aSize bytes came or a read fails.
std::vector<uint8_t> ReadAll(TqDeviceSerialPort& aPort, size_t aSize) {
    std::vector<uint8_t> out(aSize);
    size_t got = 0;
    for (uint32_t n = 0; got < aSize && aPort.Read(out.data() + got, uint32_t(aSize - got), n, kGuardMs).IsOK();) got += n;
    out.resize(got);
    return out;
}

// A started software device, a TqDevice connected to it over loopback and an adapter.
struct Rig {
    Rig() {
        engine = std::make_unique<Device>();
        std::string error;
        EXPECT_TRUE(engine->Start(0, &error)) << error;
        device = TqDevice::CreateAndConnect(TqString(FormatAddress(engine->Address()).c_str()), nullptr);
        EXPECT_NE(device, nullptr);
        adapter = std::make_unique<TqDeviceAdapter>(device);
    }
    ~Rig() {
        adapter.reset();
        TqDevice::Free(device);
        engine->Stop();
    }
    // Everything the device sent has been handed to the ports.
    void Settle() { EXPECT_TRUE(engine->WaitEventsDone(kGuardMs) && device->WaitForMessagingChannelIdle(kGuardMs).IsOK()); }
    std::unique_ptr<Device> engine;
    TqDevice* device = nullptr;
    std::unique_ptr<TqDeviceAdapter> adapter;
};

// An echo sink that records what it hears; it may hold its first OnWrite until released, or run an
// action from inside each callback.
struct Recorder : TqDeviceSerialPortEchoSink {
    struct Heard {
        char kind;
        TqDeviceSerial port;
        std::vector<uint8_t> bytes;
        std::thread::id thread = std::this_thread::get_id();
    };
    void Add(char aKind, TqDeviceSerial aPort, const uint8_t* aBuffer, uint32_t aLength) {
        if (action) action();
        std::unique_lock<std::mutex> guard(lock);
        heard.push_back({aKind, aPort, std::vector<uint8_t>(aBuffer, aBuffer + aLength)});
        wake.notify_all();
        if (aKind == 'w' && hold && heard.size() == 1) wake.wait_for(guard, kGuard, [&] { return !hold; });
    }
    void OnWrite(TqDeviceSerial aPort, const uint8_t* aBuffer, uint32_t aLength) override { Add('w', aPort, aBuffer, aLength); }
    void OnRead(TqDeviceSerial aPort, const uint8_t* aBuffer, uint32_t aLength) override { Add('r', aPort, aBuffer, aLength); }
    void OnReadComplete(TqDeviceSerial aPort) override { Add('c', aPort, nullptr, 0); }
    bool HeardSomething() {
        std::unique_lock<std::mutex> guard(lock);
        return wake.wait_for(guard, kGuard, [&] { return !heard.empty(); });
    }
    void Release() {
        std::lock_guard<std::mutex> guard(lock);
        hold = false;
        wake.notify_all();
    }
    std::mutex lock;
    std::condition_variable wake;
    std::vector<Heard> heard;
    bool hold = false;
    std::function<void()> action;
};

// An adapter of another kind, with a bridge of its own: port 0 (event ID 0x1234) keeps each block and
// loops it back through the adapter's event sink, with an event of another ID after it.
struct OtherAdapter : ITqDeviceAdapter {
    TqResult No() { return TqResult(TQ_NOT_FOUND); }
    bool IsGenIntegerInNodeMap(const TqString&) override { return false; }
    bool IsGenEnumInNodeMap(const TqString&) override { return false; }
    bool IsGenBooleanInNodeMap(const TqString&) override { return false; }
    bool IsGenRegisterInNodeMap(const TqString&) override { return false; }
    bool IsGenReadable(const TqString&) override { return false; }
    bool IsGenWritable(const TqString&) override { return false; }
    bool IsGenEnumEntryAvailable(const TqString&, const TqString&) override { return false; }
    TqResult GetGenIntegerValue(const TqString&, int64_t&) override { return No(); }
    TqResult GetGenEnumEntriesAvailable(const TqString&, TqStringList&) override { return No(); }
    TqResult GetGenEnumValue(const TqString&, TqString&) override { return No(); }
    TqResult SetGenEnumValue(const TqString&, const TqString&) override { return No(); }
    TqResult GetGenBooleanValue(const TqString&, bool&) override { return No(); }
    TqResult SetGenBooleanValue(const TqString&, bool) override { return No(); }
    TqResult GetGenStringValue(const TqString&, TqString&) override { return No(); }
    TqResult GetGenRegisterLength(const TqString&, int64_t&) override { return No(); }
    TqResult GetGenRegisterData(const TqString&, uint8_t*, int64_t) override { return No(); }
    TqResult SetGenRegisterData(const TqString&, const uint8_t*, int64_t) override { return No(); }
    TqResult RegisterGenInvalidator(const TqString&) override { return No(); }
    TqResult UnregisterGenInvalidator(const TqString&) override { return No(); }
    TqResult WriteRegister(int64_t, uint32_t) override { return No(); }
    TqResult ReadRegister(int64_t aAddress, uint32_t& aValue) override {
        if (aAddress != Serial::Base(0) + Serial::kStatus && aAddress != Serial::Base(0) + Serial::kEventId) return No();
        aValue = aAddress == Serial::Base(0) ? Serial::kStatusAvailable : 0x1234;
        return TqResult(TQ_OK);
    }
    TqResult WriteMemory(const uint8_t* aBuffer, int64_t aAddress, int64_t aLength) override {
        if (aAddress != Serial::Base(0) + Serial::kTransmit) return No();
        blocks.emplace_back(aBuffer, aBuffer + aLength);
        for (uint16_t id : {0x1234, 0x1235}) sink->OnEvent(this, id, 0xFFFF, 0, 0, aBuffer, uint32_t(aLength));
        return TqResult(TQ_OK);
    }
    TqResult ReadMemory(uint8_t*, int64_t, int64_t) override { return No(); }
    TqResult WaitForMessagingChannelIdle(uint32_t) override { return TqResult(TQ_OK); }
    bool IsConnected() override { return connected; }
    bool IsZelvraPowered() override { return false; }
    bool IsGigEVision() override { return true; }
    bool IsUSB3Vision() override { return false; }
    TqResult RegisterEventSink(ITqDeviceEventSink* aSink) override { sink = aSink; return TqResult(TQ_OK); }
    TqResult UnregisterEventSink(ITqDeviceEventSink* aSink) override { sink = sink == aSink ? nullptr : sink; return TqResult(TQ_OK); }
    TqResult GetUniqueID(TqString&) override { return No(); }
    std::atomic<bool> connected{true};
    ITqDeviceEventSink* sink = nullptr;
    std::vector<std::vector<uint8_t>> blocks;
};

class SerialPorts : public Balanced {
protected:
    SerialPorts() : Balanced({"TqDevice", "TqDeviceAdapter", "TqDeviceSerialPort", "TqGenParameterArray"}) {}
};

}  // namespace

TEST_F(SerialPorts, TheBridgeFramesBlocksAndEventsAndKnowsItsTransport) {
    Device d;   // never started: reached in-process, so the bulk channels are there
    std::vector<std::vector<uint8_t>> sent;
    d.SetMessageTap([&](const uint8_t* aData, size_t aSize) { sent.emplace_back(aData, aData + aSize); });
    uint32_t value = 0;
    for (uint32_t port : {0u, 1u, 9u}) {
        ASSERT_EQ(d.ReadRegister(Serial::Base(port) + Serial::kStatus, value), Gvcp::kSuccess);
        EXPECT_EQ(value, Serial::kStatusAvailable | (port > 1 ? Serial::kStatusBulk : 0));
        ASSERT_EQ(d.ReadRegister(Serial::Base(port) + Serial::kEventId, value), Gvcp::kSuccess);
        EXPECT_EQ(value, 0xA000u + port);
    }
    EXPECT_EQ(d.ReadRegister(Serial::Base(10), value), Gvcp::kInvalidAddress);
    // A transmitted block comes back as a count word, the bytes and zero padding.
    const std::vector<uint8_t> block{0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o', 0, 0, 0};
    ASSERT_EQ(d.WriteMemory(Serial::Base(1) + Serial::kTransmit, block.data(), block.size()), Gvcp::kSuccess);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0][3], Gvcp::kEventDataCmd);
    EXPECT_TRUE(sent[0][10] == 0xA0 && sent[0][11] == 0x01) << "event ID of port 1";
    EXPECT_EQ(std::vector<uint8_t>(sent[0].begin() + 24, sent[0].end()), block);
    // Malformed blocks change nothing: too long a count, more than 3 bytes of padding, past the window.
    std::vector<uint8_t> tooLong(4 + 536, 0);
    tooLong[2] = 0x02, tooLong[3] = 0x18;   // 536 bytes, 4 more than a block takes
    for (const std::vector<uint8_t>& bad : {std::vector<uint8_t>{0, 0, 0, 9, 1, 2, 3, 4},
                                            std::vector<uint8_t>{0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0}, tooLong})
        EXPECT_EQ(d.WriteMemory(Serial::Base(0) + Serial::kTransmit, bad.data(), bad.size()), Gvcp::kInvalidParameter);
    EXPECT_EQ(d.WriteMemory(Serial::Base(0) + Serial::kTransmit + 4, block.data(), block.size()), Gvcp::kInvalidAddress);
    // Bytes received split into events of at most 520 bytes, in order.
    const std::vector<uint8_t> bytes = Pattern(1300, 3);
    ASSERT_EQ(d.SerialReceive(9, bytes.data(), bytes.size()), Gvcp::kSuccess);
    ASSERT_EQ(sent.size(), 4u);
    std::vector<uint8_t> joined;
    for (size_t i = 1; i < 4; ++i) {
        const uint32_t count = (sent[i][24] << 24) | (sent[i][25] << 16) | (sent[i][26] << 8) | sent[i][27];
        EXPECT_EQ(count, i < 3 ? 520u : 260u);
        joined.insert(joined.end(), sent[i].begin() + 28, sent[i].begin() + 28 + count);
    }
    EXPECT_EQ(joined, bytes);
    EXPECT_EQ(d.SerialReceive(10, bytes.data(), 1), Gvcp::kInvalidAddress);
    ASSERT_EQ(d.ReadRegister(Serial::Base(1) + Serial::kTxBytes, value), Gvcp::kSuccess);
    EXPECT_EQ(value, 5u);
    // Marked unsupported: unavailable, transmits and receives nothing; the mark is the device's own.
    d.SetSerialSupported(0, false);
    EXPECT_FALSE(d.IsSerialAvailable(0));
    EXPECT_EQ(d.WriteMemory(Serial::Base(0) + Serial::kTransmit, block.data(), block.size()), Gvcp::kAccessDenied);
    EXPECT_EQ(d.SerialReceive(0, bytes.data(), 4), Gvcp::kAccessDenied);
    EXPECT_EQ(d.WriteRegister(Serial::Base(0) + Serial::kControl, 0), Gvcp::kSuccess);
    EXPECT_TRUE(d.IsSerialAvailable(0));
    // The transport: explicitly GigE Vision, or started, has no bulk channels; no channel, no delivery.
    DeviceConfig gev;
    gev.transport = Transport::kGigEVision;
    EXPECT_FALSE(Device(gev).IsSerialAvailable(2));
    Device started;
    ASSERT_TRUE(started.Start());
    EXPECT_TRUE(started.IsSerialAvailable(1) && !started.IsSerialAvailable(2));
    ASSERT_EQ(started.SerialReceive(1, bytes.data(), 10), Gvcp::kSuccess);
    ASSERT_EQ(started.ReadRegister(Serial::Base(1) + Serial::kRxDropped, value), Gvcp::kSuccess);
    EXPECT_EQ(value, 10u);
}

TEST_F(SerialPorts, LoopbackCarriesEveryByteInOrderOnEachPort) {
    Rig rig;
    TqDeviceSerialPort zero, one;
    ASSERT_CODE(zero.Open(rig.adapter.get(), TqDeviceSerial0), TQ_OK);
    ASSERT_CODE(one.Open(rig.adapter.get(), TqDeviceSerial1), TQ_OK);
    uint64_t total = 0;
    for (size_t size : {1, 3, 4, 5, 511, 512, 513, 1031, 5000}) {
        const std::vector<uint8_t> a = Pattern(size, uint8_t(size)), b = Pattern(size + 1, uint8_t(size + 100));
        uint32_t written = 0;
        ASSERT_CODE(zero.Write(a.data(), uint32_t(a.size()), written), TQ_OK);
        EXPECT_EQ(written, size);
        ASSERT_CODE(one.Write(b.data(), uint32_t(b.size()), written), TQ_OK);
        EXPECT_EQ(ReadAll(zero, size), a) << size;
        EXPECT_EQ(ReadAll(one, size + 1), b) << size;
        total += size;
    }
    uint32_t ready = 1, value = 0;
    EXPECT_CODE(zero.GetRxBytesReady(ready), TQ_OK);
    EXPECT_EQ(ready, 0u);
    EXPECT_TRUE(zero.GetBytesSent() == total && zero.GetBytesReceived() == total);
    ASSERT_CODE(rig.adapter->ReadRegister(Serial::Base(0) + Serial::kTxBytes, value), TQ_OK);
    EXPECT_EQ(value, total);
    // Injected bytes follow what the port looped back before; the counters go beyond 32 bits.
    EXPECT_FALSE(TqSerialLib::PresetStatistics(nullptr, 1, 1));
    ASSERT_TRUE(TqSerialLib::PresetStatistics(&zero, (uint64_t{1} << 32) + 5, (uint64_t{1} << 40) - 1));
    uint32_t written = 0;
    ASSERT_CODE(zero.Write(reinterpret_cast<const uint8_t*>("ab"), 2, written), TQ_OK);
    ASSERT_EQ(rig.engine->SerialReceive(0, reinterpret_cast<const uint8_t*>("cd"), 2), Gvcp::kSuccess);
    const std::vector<uint8_t> abcd = ReadAll(zero, 4);
    EXPECT_EQ(std::string(abcd.begin(), abcd.end()), "abcd");
    EXPECT_TRUE(zero.GetBytesSent() == (uint64_t{1} << 32) + 7 && zero.GetBytesReceived() == (uint64_t{1} << 40) + 3);
    zero.ResetStatistics();
    EXPECT_TRUE(zero.GetBytesSent() == 0 && zero.GetBytesReceived() == 0 && one.GetBytesSent() != 0);
    auto* gone = new TqDeviceSerialPort;
    delete gone;
    EXPECT_FALSE(TqSerialLib::PresetStatistics(gone, 1, 1));
}

TEST_F(SerialPorts, AnAdapterOfAnotherKindCarriesTheBytesThroughItsOwnSink) {
    OtherAdapter other;
    TqDeviceSerialPort port;
    ASSERT_CODE(port.Open(&other, TqDeviceSerial0), TQ_OK);
    ASSERT_NE(other.sink, nullptr);
    const std::vector<uint8_t> bytes = Pattern(1030, 2);
    uint32_t n = 0;
    ASSERT_CODE(port.Write(bytes.data(), uint32_t(bytes.size()), n), TQ_OK);
    // Blocks of 512 bytes and the rest, each a count word, the bytes and zero padding to whole words.
    ASSERT_EQ(other.blocks.size(), 3u);
    EXPECT_TRUE(other.blocks[0].size() == 516 && other.blocks[1].size() == 516 && other.blocks[2].size() == 12);
    EXPECT_EQ(other.blocks[2], (std::vector<uint8_t>{0, 0, 0, 6, bytes[1024], bytes[1025], bytes[1026], bytes[1027],
                                                     bytes[1028], bytes[1029], 0, 0}));
    EXPECT_EQ(ReadAll(port, bytes.size()), bytes);   // once: the other ID is not the port's
    const uint8_t wrong[8] = {0, 0, 0, 5, 1, 2, 3, 4};   // more bytes than it holds: nothing of it counts
    other.sink->OnEvent(&other, 0x1234, 0xFFFF, 0, 0, wrong, 8);
    EXPECT_CODE(port.GetRxBytesReady(n), TQ_OK);
    EXPECT_EQ(n, 0u);
    // The adapter's word decides whether the device is there.
    auto reading = std::async(std::launch::async, [&] {
        uint8_t byte;
        uint32_t got = 0;
        return port.Read(&byte, 1, got, 60000).GetCode();
    });
    other.connected = false;
    ASSERT_EQ(reading.wait_for(kGuard), std::future_status::ready);
    EXPECT_EQ(reading.get(), uint32_t(TQ_NOT_CONNECTED));
    EXPECT_CODE(port.Close(), TQ_OK);
    EXPECT_EQ(other.sink, nullptr);
}

TEST_F(SerialPorts, OpenCloseAndTheResultCodes) {
    Rig rig;
    TqDeviceSerialPort port, other;
    uint8_t byte = 0;
    uint32_t n = 0, total = 0;
    TqDeviceAdapter unconnected(nullptr);
    EXPECT_CODE(port.Open(nullptr, TqDeviceSerial0), TQ_INVALID_PARAMETER);
    EXPECT_CODE(port.Open(&unconnected, TqDeviceSerial0), TQ_NOT_CONNECTED);
    for (TqDeviceSerial bad : {TqDeviceSerialInvalid, TqDeviceSerialBulk0, TqDeviceSerialBulk7, TqDeviceSerial(10)}) {
        EXPECT_CODE(port.Open(rig.adapter.get(), bad), TQ_NOT_SUPPORTED) << bad;
        EXPECT_FALSE(TqDeviceSerialPort::IsSupported(rig.adapter.get(), bad)) << bad;
    }
    EXPECT_TRUE(TqDeviceSerialPort::IsSupported(rig.adapter.get(), TqDeviceSerial1));
    EXPECT_FALSE(TqDeviceSerialPort::IsSupported(nullptr, TqDeviceSerial0) || TqDeviceSerialPort::IsSupported(&unconnected, TqDeviceSerial0));
    EXPECT_CODE(port.Write(&byte, 1, n), TQ_NOT_CONNECTED);
    EXPECT_CODE(port.Read(&byte, 1, n), TQ_NOT_CONNECTED);
    EXPECT_CODE(port.NotifyReadComplete(), TQ_NOT_CONNECTED);
    EXPECT_CODE(port.Close(), TQ_NOT_CONNECTED);
    EXPECT_CODE(port.GetWriteProgress(n, total), TQ_STATE_ERROR);
    ASSERT_CODE(port.Open(rig.adapter.get(), TqDeviceSerial0), TQ_OK);
    EXPECT_TRUE(port.IsOpened());
    EXPECT_CODE(port.Open(rig.adapter.get(), TqDeviceSerial1), TQ_STATE_ERROR);
    EXPECT_CODE(other.Open(rig.adapter.get(), TqDeviceSerial0), TQ_STATE_ERROR);   // the device's port is taken
    EXPECT_CODE(port.Write(&byte, 0, n), TQ_OK);
    EXPECT_CODE(port.GetWriteProgress(n, total), TQ_STATE_ERROR);   // nothing was written
    EXPECT_CODE(port.Write(nullptr, 1, n), TQ_INVALID_PARAMETER);
    EXPECT_CODE(port.Read(nullptr, 1, n), TQ_INVALID_PARAMETER);
    EXPECT_CODE(port.NotifyReadComplete(), TQ_OK);
    // Reads: nothing there (at once, or after waiting), then some of what came, the rest later.
    EXPECT_CODE(port.Read(&byte, 1, n), TQ_TIMEOUT);
    EXPECT_CODE(port.Read(&byte, 1, n, 30), TQ_TIMEOUT);
    EXPECT_EQ(n, 0u);
    const std::vector<uint8_t> bytes = Pattern(10, 1);
    ASSERT_CODE(port.Write(bytes.data(), 10, n), TQ_OK);
    rig.Settle();
    uint8_t head[4];
    ASSERT_CODE(port.Read(head, 4, n), TQ_OK);
    EXPECT_TRUE(n == 4 && std::equal(head, head + 4, bytes.begin()));
    EXPECT_CODE(port.GetRxBytesReady(n), TQ_OK);
    EXPECT_EQ(n, 6u);
    EXPECT_CODE(port.Close(), TQ_OK);
    EXPECT_CODE(port.Close(), TQ_NOT_CONNECTED);
    EXPECT_FALSE(port.IsOpened());
    // Closing flushed the ring and freed the device's port; it opens again.
    EXPECT_CODE(port.GetRxBytesReady(n), TQ_OK);
    EXPECT_EQ(n, 0u);
    ASSERT_CODE(other.Open(rig.adapter.get(), TqDeviceSerial0), TQ_OK);
    EXPECT_CODE(other.Write(bytes.data(), 3, n), TQ_OK);
    EXPECT_EQ(ReadAll(other, 3), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 3));
}

TEST_F(SerialPorts, TheRingDropsTheOldestBytesAndResizingFlushesIt) {
    Rig rig;
    TqDeviceSerialPort port;
    uint32_t size = 0, ready = 0, n = 0;
    EXPECT_CODE(port.GetRxBufferSize(size), TQ_OK);
    EXPECT_EQ(size, 65536u);
    EXPECT_CODE(port.SetRxBufferSize(0), TQ_INVALID_PARAMETER);
    ASSERT_CODE(port.SetRxBufferSize(100), TQ_OK);
    ASSERT_CODE(port.Open(rig.adapter.get(), TqDeviceSerial1), TQ_OK);
    const std::vector<uint8_t> bytes = Pattern(1250, 9);   // three events
    ASSERT_EQ(rig.engine->SerialReceive(1, bytes.data(), bytes.size()), Gvcp::kSuccess);
    rig.Settle();
    EXPECT_CODE(port.GetRxBytesReady(ready), TQ_OK);
    EXPECT_EQ(ready, 100u);
    EXPECT_EQ(ReadAll(port, 100), std::vector<uint8_t>(bytes.end() - 100, bytes.end()));
    EXPECT_EQ(port.GetBytesReceived(), 1250u);   // every byte that came counts
    // Resizing flushes what is there.
    ASSERT_EQ(rig.engine->SerialReceive(1, bytes.data(), 30), Gvcp::kSuccess);
    rig.Settle();
    ASSERT_CODE(port.SetRxBufferSize(5), TQ_OK);
    EXPECT_CODE(port.GetRxBytesReady(ready), TQ_OK);
    EXPECT_EQ(ready, 0u);
    ASSERT_EQ(rig.engine->SerialReceive(1, bytes.data(), 8), Gvcp::kSuccess);
    rig.Settle();
    EXPECT_EQ(ReadAll(port, 5), std::vector<uint8_t>(bytes.begin() + 3, bytes.begin() + 8));
    ASSERT_EQ(rig.engine->SerialReceive(1, bytes.data(), 4), Gvcp::kSuccess);
    rig.Settle();
    EXPECT_CODE(port.FlushRxBuffer(), TQ_OK);
    uint8_t byte = 0;
    EXPECT_CODE(port.Read(&byte, 1, n), TQ_TIMEOUT);
}

TEST_F(SerialPorts, WriteProgressShowsFromAnotherThreadDuringAWrite) {
    Rig rig;
    ASSERT_EQ(rig.engine->WriteRegister(Serial::Base(0) + Serial::kLoopback, 0), Gvcp::kSuccess);   // nothing comes back
    TqDeviceSerialPort port;
    ASSERT_CODE(port.Open(rig.adapter.get(), TqDeviceSerial0), TQ_OK);
    Recorder echo;
    echo.hold = true;   // the first block's OnWrite waits until the progress was seen
    ASSERT_CODE(TqDeviceSerialPort::RegisterEchoSink(&echo), TQ_OK);
    const std::vector<uint8_t> bytes = Pattern(64 * 1024 + 3, 5);
    std::atomic<bool> done{false}, steady{true};
    std::thread watcher([&] {   // what a watcher sees only grows, and the total stays
        uint32_t last = 0, written = 0, total = 0;
        while (!done)
            if (port.GetWriteProgress(written, total).IsOK()) {
                if (written < last || written > total || total != bytes.size()) steady = false;
                last = written;
            }
    });
    auto writing = std::async(std::launch::async, [&] {
        uint32_t written = 0;
        TqResult result = port.Write(bytes.data(), uint32_t(bytes.size()), written);
        return std::make_pair(result.GetCode(), written);
    });
    ASSERT_TRUE(echo.HeardSomething());
    uint32_t written = 0, total = 0;
    EXPECT_CODE(port.GetWriteProgress(written, total), TQ_OK);
    EXPECT_TRUE(written == 512 && total == bytes.size()) << written << " of " << total;
    echo.Release();
    ASSERT_EQ(writing.wait_for(kGuard), std::future_status::ready);
    EXPECT_EQ(writing.get(), std::make_pair(uint32_t(TQ_OK), uint32_t(bytes.size())));
    done = true;
    watcher.join();
    EXPECT_TRUE(steady);
    EXPECT_CODE(port.GetWriteProgress(written, total), TQ_OK);   // stays until the next write
    EXPECT_TRUE(written == total && total == bytes.size());
    EXPECT_CODE(TqDeviceSerialPort::UnregisterEchoSink(&echo), TQ_OK);
    // The blocks reached the device in order, and every byte counts.
    std::vector<uint8_t> echoed;
    for (const Recorder::Heard& h : echo.heard) echoed.insert(echoed.end(), h.bytes.begin(), h.bytes.end());
    EXPECT_EQ(echoed, bytes);
    uint32_t transmitted = 0;
    ASSERT_CODE(rig.adapter->ReadRegister(Serial::Base(0) + Serial::kTxBytes, transmitted), TQ_OK);
    EXPECT_TRUE(transmitted == bytes.size() && port.GetBytesSent() == bytes.size() && port.GetBytesReceived() == 0);
}

TEST_F(SerialPorts, BulkChannelsOnlyOnTheSimulatedUsb3VisionDevice) {
    TqSimulation::AddHardware();
    TqDevice* u3v = TqDevice::CreateAndConnect(TqString(kU3V), nullptr);
    ASSERT_NE(u3v, nullptr);
    {
        TqDeviceAdapter adapter(u3v);
        for (int p = TqDeviceSerial0; p <= TqDeviceSerialBulk7; ++p)
            EXPECT_TRUE(TqDeviceSerialPort::IsSupported(&adapter, TqDeviceSerial(p))) << p;
        TqDeviceSerialPort bulk, uart;
        ASSERT_CODE(bulk.Open(&adapter, TqDeviceSerialBulk5), TQ_OK);
        ASSERT_CODE(uart.Open(&adapter, TqDeviceSerial0), TQ_OK);
        const std::vector<uint8_t> a = Pattern(3000, 1), b = Pattern(700, 2);
        uint32_t n = 0;
        ASSERT_CODE(bulk.Write(a.data(), uint32_t(a.size()), n), TQ_OK);
        ASSERT_CODE(uart.Write(b.data(), uint32_t(b.size()), n), TQ_OK);
        ASSERT_EQ(TqSimulation::Device(kU3V)->SerialReceive(7, a.data(), 10), Gvcp::kSuccess);   // bulk 5 is port 7
        std::vector<uint8_t> expected = a;
        expected.insert(expected.end(), a.begin(), a.begin() + 10);
        EXPECT_EQ(ReadAll(bulk, expected.size()), expected);
        EXPECT_EQ(ReadAll(uart, b.size()), b);
    }
    TqDevice::Free(u3v);
    // Elsewhere: neither on a device of the maker's protocol nor on GigE Vision.
    const TqDeviceInfo* zelvra = nullptr;
    for (TqInterface* i : TqSimulation::Interfaces())
        if (i->GetName() == "zel0") zelvra = i->GetDeviceInfo(0);
    TqDevice* other = TqDevice::CreateAndConnect(zelvra, nullptr);
    ASSERT_NE(other, nullptr);
    {
        TqDeviceAdapter adapter(other);
        TqDeviceSerialPort port;
        EXPECT_CODE(port.Open(&adapter, TqDeviceSerialBulk0), TQ_NOT_SUPPORTED);
        EXPECT_CODE(port.Open(&adapter, TqDeviceSerial1), TQ_OK);
    }
    TqDevice::Free(other);
    TqSimulation::RemoveHardware();
}

TEST_F(SerialPorts, EchoSinksHearEveryWriteReadAndCompletionWithoutALock) {
    Rig rig;
    Recorder first, second;
    EXPECT_CODE(TqDeviceSerialPort::RegisterEchoSink(nullptr), TQ_INVALID_PARAMETER);
    EXPECT_CODE(TqDeviceSerialPort::RegisterEchoSink(&first), TQ_OK);
    EXPECT_CODE(TqDeviceSerialPort::RegisterEchoSink(&first), TQ_NOT_SUPPORTED);
    EXPECT_CODE(TqDeviceSerialPort::RegisterEchoSink(&second), TQ_OK);
    EXPECT_CODE(TqDeviceSerialPort::UnregisterEchoSink(nullptr), TQ_INVALID_PARAMETER);
    TqDeviceSerialPort port;
    ASSERT_CODE(port.Open(rig.adapter.get(), TqDeviceSerial1), TQ_OK);
    uint32_t ready = 0;
    first.action = [&] { port.GetRxBytesReady(ready); port.IsOpened(); };   // the port's lock is free
    const std::vector<uint8_t> bytes = Pattern(600, 4);
    uint32_t n = 0;
    ASSERT_CODE(port.Write(bytes.data(), uint32_t(bytes.size()), n), TQ_OK);
    EXPECT_EQ(ReadAll(port, bytes.size()), bytes);
    EXPECT_CODE(port.NotifyReadComplete(), TQ_OK);
    EXPECT_CODE(TqDeviceSerialPort::UnregisterEchoSink(&second), TQ_OK);
    EXPECT_CODE(TqDeviceSerialPort::UnregisterEchoSink(&second), TQ_NOT_FOUND);
    ASSERT_CODE(port.Write(bytes.data(), 1, n), TQ_OK);
    EXPECT_CODE(TqDeviceSerialPort::UnregisterEchoSink(&first), TQ_OK);
    ASSERT_CODE(port.Write(bytes.data(), 1, n), TQ_OK);
    // Two blocks written, the reads, the completion; then only the first sink, for one more block.
    std::vector<uint8_t> written, read;
    for (const Recorder::Heard& h : second.heard) {
        EXPECT_TRUE(h.port == TqDeviceSerial1 && h.thread == std::this_thread::get_id());
        (h.kind == 'w' ? written : read).insert((h.kind == 'w' ? written : read).end(), h.bytes.begin(), h.bytes.end());
    }
    EXPECT_TRUE(second.heard.size() >= 4 && second.heard.back().kind == 'c' && second.heard[0].kind == 'w');
    EXPECT_TRUE(written == bytes && read == bytes);
    EXPECT_EQ(first.heard.size(), second.heard.size() + 1);
    EXPECT_EQ(first.heard.back().bytes, std::vector<uint8_t>(1, bytes[0]));
}

TEST_F(SerialPorts, UnsupportedPortsAndTheDevicesOwnControls) {
    Rig rig;
    TqDeviceSerialPort port;
    ASSERT_CODE(port.Open(rig.adapter.get(), TqDeviceSerial1), TQ_OK);
    rig.engine->SetSerialSupported(1, false);
    EXPECT_FALSE(TqDeviceSerialPort::IsSupported(rig.adapter.get(), TqDeviceSerial1));
    uint32_t n = 7;
    const std::vector<uint8_t> bytes = Pattern(1000, 6);
    EXPECT_CODE(port.Write(bytes.data(), uint32_t(bytes.size()), n), TQ_GENERIC_ERROR);   // the device refuses
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(rig.engine->SerialReceive(1, bytes.data(), 4), Gvcp::kAccessDenied);
    EXPECT_CODE(port.Close(), TQ_OK);
    EXPECT_CODE(port.Open(rig.adapter.get(), TqDeviceSerial1), TQ_NOT_SUPPORTED);
    // Only the device's own side marks ports or makes them receive.
    EXPECT_CODE(rig.adapter->WriteRegister(Serial::Base(1) + Serial::kControl, 0), TQ_ACCESS_DENIED);
    const uint8_t inject[8] = {0, 0, 0, 1, 'x', 0, 0, 0};
    EXPECT_CODE(rig.adapter->WriteMemory(inject, Serial::Base(0) + Serial::kReceive, 8), TQ_ACCESS_DENIED);
    ASSERT_EQ(rig.engine->WriteRegister(Serial::Base(1) + Serial::kControl, 0), Gvcp::kSuccess);
    ASSERT_CODE(port.Open(rig.adapter.get(), TqDeviceSerial1), TQ_OK);
    ASSERT_EQ(rig.engine->WriteMemory(Serial::Base(1) + Serial::kReceive, inject, 8), Gvcp::kSuccess);
    EXPECT_EQ(ReadAll(port, 1), std::vector<uint8_t>(1, 'x'));
    // A write the device stops halfway tells how far it came.
    Faults faults;
    faults.writeStatus = Gvcp::kBusy;
    faults.begin = Serial::Base(1);
    faults.end = Serial::Base(2);
    std::atomic<int> blocks{0};
    Recorder stopper;
    stopper.action = [&] { if (++blocks == 1) rig.engine->SetFaults(faults); };
    ASSERT_CODE(TqDeviceSerialPort::RegisterEchoSink(&stopper), TQ_OK);
    EXPECT_CODE(port.Write(bytes.data(), uint32_t(bytes.size()), n), TQ_GENERIC_ERROR);
    EXPECT_CODE(TqDeviceSerialPort::UnregisterEchoSink(&stopper), TQ_OK);
    uint32_t written = 0, total = 0;
    EXPECT_CODE(port.GetWriteProgress(written, total), TQ_OK);
    EXPECT_TRUE(n == 512 && written == 512 && total == 1000 && port.GetBytesSent() == 512);
}

TEST_F(SerialPorts, LinkLossDisconnectionAndClosingEndWaitingReads) {
    auto waitingRead = [](TqDeviceSerialPort& aPort) {
        return std::async(std::launch::async, [&aPort] {
            uint8_t buffer[4];
            uint32_t n = 0;
            return aPort.Read(buffer, 4, n, 60000).GetCode();   // far beyond the guard: only the loss ends it
        });
    };
    {   // The link is lost.
        Rig rig;
        TqGenParameterArray* settings = rig.device->GetCommunicationParameters();
        for (auto [name, value] : {std::pair{"AnswerTimeout", 20}, {"CommandRetryCount", 0}, {"HeartbeatInterval", 20},
                                   {"HeartbeatMaxRetryCount", 1}})
            ASSERT_CODE(settings->SetIntegerValue(name, value), TQ_OK);
        TqDeviceSerialPort port;
        ASSERT_CODE(port.Open(rig.adapter.get(), TqDeviceSerial0), TQ_OK);
        auto reading = waitingRead(port);
        rig.engine->SetLinkUp(false);
        ASSERT_EQ(reading.wait_for(kGuard), std::future_status::ready);
        EXPECT_EQ(reading.get(), uint32_t(TQ_NOT_CONNECTED));
        uint32_t n = 0;
        EXPECT_CODE(port.Write(Pattern(4, 0).data(), 4, n), TQ_NOT_CONNECTED);
        EXPECT_CODE(port.Close(), TQ_OK);
    }
    {   // The device is disconnected, then destroyed under an open port.
        Rig rig;
        TqDeviceSerialPort port;
        ASSERT_CODE(port.Open(rig.adapter.get(), TqDeviceSerial1), TQ_OK);
        auto reading = waitingRead(port);
        EXPECT_CODE(rig.device->Disconnect(), TQ_OK);
        ASSERT_EQ(reading.wait_for(kGuard), std::future_status::ready);
        EXPECT_EQ(reading.get(), uint32_t(TQ_NOT_CONNECTED));
        TqDevice::Free(rig.device);
        rig.device = nullptr;
        uint8_t byte;
        uint32_t n = 0;
        EXPECT_CODE(port.Read(&byte, 1, n, 10), TQ_NOT_CONNECTED);
        EXPECT_CODE(port.Close(), TQ_OK);
    }
    {   // The port is closed: from another thread during a read, from an echo sink during a write.
        Rig rig;
        TqDeviceSerialPort port;
        ASSERT_CODE(port.Open(rig.adapter.get(), TqDeviceSerial0), TQ_OK);
        auto reading = waitingRead(port);
        EXPECT_CODE(port.Close(), TQ_OK);
        ASSERT_EQ(reading.wait_for(kGuard), std::future_status::ready);
        EXPECT_EQ(reading.get(), uint32_t(TQ_NOT_CONNECTED));
        ASSERT_CODE(port.Open(rig.adapter.get(), TqDeviceSerial0), TQ_OK);
        Recorder closer;
        closer.action = [&] { port.Close(); };
        ASSERT_CODE(TqDeviceSerialPort::RegisterEchoSink(&closer), TQ_OK);
        const std::vector<uint8_t> bytes = Pattern(2000, 8);
        uint32_t n = 0;
        EXPECT_CODE(port.Write(bytes.data(), uint32_t(bytes.size()), n), TQ_NOT_CONNECTED);
        EXPECT_TRUE(n == 512 && !port.IsOpened());
        // From another thread: the write ends between two blocks, or is done.
        closer.action = nullptr;
        ASSERT_CODE(port.Open(rig.adapter.get(), TqDeviceSerial0), TQ_OK);
        auto writing = std::async(std::launch::async, [&] { return port.Write(bytes.data(), uint32_t(bytes.size()), n).GetCode(); });
        EXPECT_CODE(port.Close(), TQ_OK);
        ASSERT_EQ(writing.wait_for(kGuard), std::future_status::ready);
        const uint32_t code = writing.get();
        EXPECT_TRUE((code == TQ_OK && n == bytes.size()) || (code == TQ_NOT_CONNECTED && n % 512 == 0)) << code << " " << n;
        EXPECT_CODE(TqDeviceSerialPort::UnregisterEchoSink(&closer), TQ_OK);
    }
}
