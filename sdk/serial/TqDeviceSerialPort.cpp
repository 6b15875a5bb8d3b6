// The serial library of the stand-in SDK: a device's serial ports over its adapter.
//
// The device side is the UART bridge of the device engine (its layout in TqDeviceEngine.h, namespace
// TqEngine::Serial): Write sends blocks of at most kChunk bytes to the port's transmit window (a count
// word, the bytes, zero padding to whole words), one memory write each; what the port receives comes
// as EVENTDATA of the ID its EventID register names (a count word, the bytes, padding). A port of a
// TqDeviceAdapter takes those events through a route of the device library, whatever sinks the
// application registered with the device, and learns there of the link's loss; a port over another
// implementation of the interface registers itself as the adapter's event sink and watches the
// adapter's IsConnected while a Read waits.
//
// Locks: the port's lock guards its state and ring, and is never held while an echo sink or the
// adapter's memory access runs (a waiting Read asks the adapter whether it is connected under it).
// One Write runs at a time; Close waits for a Write under way on another thread to stop between two
// blocks.
#include "TqDeviceSerialPort.h"

#include "TqDeviceAdapter.h"
#include "TqDeviceEngine.h"
#include "TqDeviceRoutes.h"
#include "TqNoMemory.h"
#include "TqResultCodes.h"
#include "TqSerialTesting.h"
#include "TqSinkList.h"
#include "TqWireBytes.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Serial = TqEngine::Serial;

namespace TqSerialLib {

// A port's byte counters (kept apart so that the test support reaches them).
struct Counters {
    std::atomic<uint64_t> sent{0}, received{0};
};

}  // namespace TqSerialLib

namespace {

constexpr uint32_t kChunk = 512;              // bytes per transmit block
constexpr uint32_t kDefaultRxSize = 64 * 1024;
constexpr auto kLinkCheck = std::chrono::milliseconds(100);   // a waiting Read asks the adapter this often

static_assert(kChunk <= Serial::kMaxTransmit && kChunk % 4 == 0);

TqResult Failure(uint32_t aCode, const std::string& aWhy) { return TqResult(aCode, TqString(aWhy.c_str())); }

bool IsPort(TqDeviceSerial aPort) { return aPort >= TqDeviceSerial0 && aPort <= TqDeviceSerialBulk7; }
bool IsBulk(TqDeviceSerial aPort) { return aPort >= TqDeviceSerialBulk0 && aPort <= TqDeviceSerialBulk7; }
// The device numbers its ports as the enumeration does: UART 0 and 1, then bulk channels 0 to 7.
uint32_t Address(TqDeviceSerial aPort, uint32_t aOffset) { return Serial::Base(static_cast<uint32_t>(aPort)) + aOffset; }

using TqWire::Get32;
using TqWire::Put32;

// ---- echo sinks: process-wide, called without any port's lock ----

TqSinkList<TqDeviceSerialPortEchoSink>& TheEchoes() {
    static auto* echoes = new TqSinkList<TqDeviceSerialPortEchoSink>;   // ports may go while the process exits
    return *echoes;
}


// ---- the ports alive and their counters, for the test support ----

struct Living {
    std::mutex lock;
    std::map<const TqDeviceSerialPort*, TqSerialLib::Counters*> counters;
};

Living& TheLiving() {
    static auto* living = new Living;
    return *living;
}

}  // namespace

struct TqDeviceSerialPort::Impl : TqDeviceLib::EventRoute, ITqDeviceEventSink {
    std::mutex lock;
    std::condition_variable wake;   // bytes came, the port closed, the link went, a write ended
    bool open = false;
    bool destroyed = false;          // the device went while the port was open
    ITqDeviceAdapter* adapter = nullptr;
    TqDevice* device = nullptr;      // the route's device; null: the port is the adapter's event sink
    TqDeviceSerial port = TqDeviceSerialInvalid;
    std::atomic<uint32_t> eventId{0x10000};   // beyond any ID while closed
    std::deque<uint8_t> ring;
    uint32_t capacity = kDefaultRxSize;
    bool writing = false;            // a Write is under way, on writer
    std::thread::id writer;
    std::mutex life;                 // Open and Close, one at a time

    TqSerialLib::Counters counters;
    std::atomic<uint64_t> progress{0};   // bytes written << 32 | bytes of the write
    std::atomic<bool> wrote{false};

    // Bytes from the device: a count word, the bytes, padding. The oldest go when the ring is full;
    // bytes the ring finds no memory for are dropped (an insert at its end changes nothing then).
    void Arrived(const uint8_t* aData, uint32_t aLength) {
        if (!aData || aLength < 4) return;
        const uint32_t count = Get32(aData);
        if (count > aLength - 4) return;   // not what the bridge sends: nothing of it is trusted
        std::lock_guard<std::mutex> guard(lock);
        if (!open || count == 0) return;
        if (!TqNoMemory::Survived([&] { ring.insert(ring.end(), aData + 4, aData + 4 + count); })) return;
        if (ring.size() > capacity) ring.erase(ring.begin(), ring.begin() + static_cast<std::ptrdiff_t>(ring.size() - capacity));
        counters.received += count;
        wake.notify_all();
    }

    void OnRoutedEvent(uint16_t, const uint8_t* aData, uint32_t aLength) override { Arrived(aData, aLength); }

    void OnRoutedLinkGone(bool aDestroyed) override {
        std::lock_guard<std::mutex> guard(lock);
        if (aDestroyed) destroyed = true;
        wake.notify_all();
    }

    void OnEvent(ITqDeviceAdapter*, uint16_t aEventID, uint16_t, uint64_t, uint64_t, const void* aData,
                 uint32_t aDataLength) override {
        if (aEventID == eventId.load()) Arrived(static_cast<const uint8_t*>(aData), aDataLength);
    }

    // Under lock: whether the device of an open port is gone (a destroyed device is not asked).
    bool Gone() { return destroyed || !adapter->IsConnected(); }
};

TqDeviceSerialPort::TqDeviceSerialPort() : mImpl(new Impl) {
    Living& living = TheLiving();
    std::lock_guard<std::mutex> guard(living.lock);
    living.counters[this] = &mImpl->counters;
}

TqDeviceSerialPort::~TqDeviceSerialPort() {
    Close();
    {
        Living& living = TheLiving();
        std::lock_guard<std::mutex> guard(living.lock);
        living.counters.erase(this);
    }
    delete mImpl;
}

bool TqSerialLib::PresetStatistics(TqDeviceSerialPort* aPort, uint64_t aSent, uint64_t aReceived) {
    Living& living = TheLiving();
    std::lock_guard<std::mutex> guard(living.lock);
    auto it = living.counters.find(aPort);
    if (it == living.counters.end()) return false;
    it->second->sent = aSent;
    it->second->received = aReceived;
    return true;
}

// ---- opening and closing ----

bool TqDeviceSerialPort::IsSupported(ITqDeviceAdapter* aDevice, TqDeviceSerial aPort) {
    if (!aDevice || !IsPort(aPort) || !aDevice->IsConnected()) return false;
    if (IsBulk(aPort) && !aDevice->IsUSB3Vision()) return false;
    uint32_t status = 0;
    return aDevice->ReadRegister(Address(aPort, Serial::kStatus), status).IsOK() && (status & Serial::kStatusAvailable);
}

TqResult TqDeviceSerialPort::Open(ITqDeviceAdapter* aDevice, TqDeviceSerial aPort) {
    if (!aDevice) return Failure(TQ_INVALID_PARAMETER, "no device");
    Impl& p = *mImpl;
    std::lock_guard<std::mutex> life(p.life);
    {
        std::lock_guard<std::mutex> guard(p.lock);
        if (p.open) return Failure(TQ_STATE_ERROR, "the port is open already");
    }
    if (!aDevice->IsConnected()) return Failure(TQ_NOT_CONNECTED, "the device is not connected");
    if (!IsSupported(aDevice, aPort)) return Failure(TQ_NOT_SUPPORTED, "the device has no such serial port");
    uint32_t id = 0;
    TqResult result = aDevice->ReadRegister(Address(aPort, Serial::kEventId), id);
    if (result.IsFailure()) return result;
    if (id > 0xFFFF) return Failure(TQ_NOT_SUPPORTED, "the port names no event ID");
    TqDevice* device = TqDeviceLib::AdapterDevice(aDevice);
    {
        std::lock_guard<std::mutex> guard(p.lock);
        p.open = true;
        p.destroyed = false;
        p.adapter = aDevice;
        p.device = device;
        p.port = aPort;
        p.ring.clear();
    }
    p.eventId = id;
    result = device ? TqDeviceLib::AddEventRoute(device, static_cast<uint16_t>(id), &p)
                    : aDevice->RegisterEventSink(static_cast<ITqDeviceEventSink*>(&p));
    if (result.IsFailure()) {
        p.eventId = 0x10000;
        std::lock_guard<std::mutex> guard(p.lock);
        p.open = false;
        p.adapter = nullptr;
        p.device = nullptr;
        if (result.GetCode() == TQ_STATE_ERROR)
            return Failure(TQ_STATE_ERROR, "the device's port is open on another port object");
    }
    return result;
}

TqResult TqDeviceSerialPort::Close() {
    Impl& p = *mImpl;
    std::lock_guard<std::mutex> life(p.life);
    ITqDeviceAdapter* adapter;
    TqDevice* device;
    {
        std::unique_lock<std::mutex> guard(p.lock);
        if (!p.open) return Failure(TQ_NOT_CONNECTED, "the port is not open");
        p.open = false;
        p.wake.notify_all();
        // A write on another thread stops between two blocks; one on this thread (an echo sink closing
        // the port) stops once its callback returns.
        const std::thread::id self = std::this_thread::get_id();
        p.wake.wait(guard, [&] { return !p.writing || p.writer == self; });
        adapter = p.adapter;
        device = p.device;
        p.ring.clear();
    }
    p.eventId = 0x10000;
    if (device)
        TqDeviceLib::RemoveEventRoutes(&p);
    else
        adapter->UnregisterEventSink(static_cast<ITqDeviceEventSink*>(&p));
    std::lock_guard<std::mutex> guard(p.lock);
    if (!p.open) p.adapter = nullptr, p.device = nullptr;
    return TqResult(TQ_OK);
}

bool TqDeviceSerialPort::IsOpened() {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    return mImpl->open;
}

// ---- writing ----

TqResult TqDeviceSerialPort::Write(const uint8_t* aBuffer, uint32_t aSize, uint32_t& aBytesWritten) {
    aBytesWritten = 0;
    Impl& p = *mImpl;
    const std::thread::id self = std::this_thread::get_id();
    ITqDeviceAdapter* adapter;
    TqDeviceSerial port;
    {
        std::unique_lock<std::mutex> guard(p.lock);
        if (!p.open) return Failure(TQ_NOT_CONNECTED, "the port is not open");
        if (aSize == 0) return TqResult(TQ_OK);
        if (!aBuffer) return Failure(TQ_INVALID_PARAMETER, "no buffer");
        if (p.writing && p.writer == self) return Failure(TQ_STATE_ERROR, "a write of this thread is under way");
        p.wake.wait(guard, [&] { return !p.open || !p.writing; });   // the write before this one
        if (!p.open) return Failure(TQ_NOT_CONNECTED, "the port was closed");
        if (p.Gone()) return Failure(TQ_NOT_CONNECTED, "the device is not connected");
        p.writing = true;
        p.writer = self;
        adapter = p.adapter;
        port = p.port;
    }
    p.progress = aSize;   // 0 of aSize
    p.wrote = true;
    std::vector<uint8_t> block(4 + kChunk);
    const uint32_t address = Address(port, Serial::kTransmit);
    TqResult result(TQ_OK);
    uint32_t done = 0;
    while (done < aSize) {
        {
            std::lock_guard<std::mutex> guard(p.lock);
            if (!p.open) {
                result = Failure(TQ_NOT_CONNECTED, "the port was closed during the write");
                break;
            }
        }
        const uint32_t n = std::min(kChunk, aSize - done);
        const uint32_t padded = (n + 3) & ~3u;
        Put32(block.data(), n);
        std::memcpy(block.data() + 4, aBuffer + done, n);
        std::memset(block.data() + 4 + n, 0, padded - n);
        TqResult sent = adapter->WriteMemory(block.data(), address, 4 + padded);
        if (sent.IsFailure()) {
            const bool gone = sent.GetCode() == TQ_NOT_CONNECTED || !adapter->IsConnected();
            std::string why = std::to_string(done) + " of " + std::to_string(aSize) + " bytes were written";
            const TqString description = sent.GetDescription();
            if (description.GetAscii() && *description.GetAscii()) why += std::string(": ") + description.GetAscii();
            result = gone ? Failure(TQ_NOT_CONNECTED, "the device is not connected; " + why) : Failure(TQ_GENERIC_ERROR, why);
            break;
        }
        done += n;
        aBytesWritten = done;
        p.progress = (uint64_t(done) << 32) | aSize;
        p.counters.sent += n;
        const uint8_t* bytes = aBuffer + done - n;
        TheEchoes().Each([&](TqDeviceSerialPortEchoSink* aSink) { aSink->OnWrite(port, bytes, n); });
    }
    {
        std::lock_guard<std::mutex> guard(p.lock);
        p.writing = false;
        p.wake.notify_all();
    }
    return result;
}

TqResult TqDeviceSerialPort::GetWriteProgress(uint32_t& aWritten, uint32_t& aTotal) {
    if (!mImpl->wrote) return Failure(TQ_STATE_ERROR, "nothing was written yet");
    const uint64_t progress = mImpl->progress;
    aWritten = static_cast<uint32_t>(progress >> 32);
    aTotal = static_cast<uint32_t>(progress);
    return TqResult(TQ_OK);
}

// ---- reading ----

TqResult TqDeviceSerialPort::Read(uint8_t* aBuffer, uint32_t aBufferSize, uint32_t& aBytesRead, uint32_t aTimeout) {
    aBytesRead = 0;
    Impl& p = *mImpl;
    std::unique_lock<std::mutex> guard(p.lock);
    if (!p.open) return Failure(TQ_NOT_CONNECTED, "the port is not open");
    if (!aBuffer || aBufferSize == 0) return Failure(TQ_INVALID_PARAMETER, "no buffer");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeout);
    while (p.ring.empty()) {
        if (!p.open) return Failure(TQ_NOT_CONNECTED, "the port was closed");
        if (p.Gone()) return Failure(TQ_NOT_CONNECTED, "the device is not connected");
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return Failure(TQ_TIMEOUT, "no bytes came");
        p.wake.wait_until(guard, std::min(deadline, now + kLinkCheck));
    }
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(p.ring.size(), aBufferSize));
    std::copy(p.ring.begin(), p.ring.begin() + n, aBuffer);
    p.ring.erase(p.ring.begin(), p.ring.begin() + n);
    const TqDeviceSerial port = p.port;
    guard.unlock();
    aBytesRead = n;
    TheEchoes().Each([&](TqDeviceSerialPortEchoSink* aSink) { aSink->OnRead(port, aBuffer, n); });
    return TqResult(TQ_OK);
}

TqResult TqDeviceSerialPort::NotifyReadComplete() {
    TqDeviceSerial port;
    {
        std::lock_guard<std::mutex> guard(mImpl->lock);
        if (!mImpl->open) return Failure(TQ_NOT_CONNECTED, "the port is not open");
        port = mImpl->port;
    }
    TheEchoes().Each([&](TqDeviceSerialPortEchoSink* aSink) { aSink->OnReadComplete(port); });
    return TqResult(TQ_OK);
}

// ---- the receive ring ----

TqResult TqDeviceSerialPort::FlushRxBuffer() {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    mImpl->ring.clear();
    return TqResult(TQ_OK);
}

TqResult TqDeviceSerialPort::GetRxBytesReady(uint32_t& aBytes) {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    aBytes = static_cast<uint32_t>(mImpl->ring.size());
    return TqResult(TQ_OK);
}

TqResult TqDeviceSerialPort::GetRxBufferSize(uint32_t& aSize) {
    std::lock_guard<std::mutex> guard(mImpl->lock);
    aSize = mImpl->capacity;
    return TqResult(TQ_OK);
}

TqResult TqDeviceSerialPort::SetRxBufferSize(uint32_t aSize) {
    if (aSize == 0) return Failure(TQ_INVALID_PARAMETER, "a receive buffer holds at least one byte");
    // The device may fill it whole: it is held against what the process can be given.
    const TqResult affordable = TqNoMemory::Check("a receive buffer", 1, aSize);
    if (!affordable.IsOK()) return affordable;
    std::lock_guard<std::mutex> guard(mImpl->lock);
    mImpl->capacity = aSize;
    mImpl->ring.clear();
    mImpl->ring.shrink_to_fit();
    return TqResult(TQ_OK);
}

// ---- echo sinks ----

TqResult TqDeviceSerialPort::RegisterEchoSink(TqDeviceSerialPortEchoSink* aSink) {
    if (!aSink) return Failure(TQ_INVALID_PARAMETER, "no echo sink");
    if (TheEchoes().Add(aSink).IsFailure()) return Failure(TQ_NOT_SUPPORTED, "the echo sink is registered already");
    return TqResult(TQ_OK);
}

// A call of the sink under way on another thread is waited for; one on this thread is not.
TqResult TqDeviceSerialPort::UnregisterEchoSink(TqDeviceSerialPortEchoSink* aSink) {
    if (!aSink) return Failure(TQ_INVALID_PARAMETER, "no echo sink");
    if (TheEchoes().Remove(aSink).IsFailure()) return Failure(TQ_NOT_FOUND, "the echo sink is not registered");
    return TqResult(TQ_OK);
}

// ---- statistics ----

uint64_t TqDeviceSerialPort::GetBytesSent() const { return mImpl->counters.sent; }
uint64_t TqDeviceSerialPort::GetBytesReceived() const { return mImpl->counters.received; }

void TqDeviceSerialPort::ResetStatistics() {
    mImpl->counters.sent = 0;
    mImpl->counters.received = 0;
}
