// The serial ports' UART bridges: the port registers, the transmit and receive windows, the loopback,
// and the delivery of received bytes as EVENTDATA on the messaging channel.
#include "TqEngineImpl.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace TqEngine {

namespace {

constexpr size_t kMessageQueueLimit = 256;   // as QueueEvent keeps it
constexpr int kBusyRetries = 100;            // waits for room in the queue before bytes are dropped

// The words that a block of aCount bytes fills after its count word.
constexpr size_t Padded(size_t aCount) { return (aCount + 3) & ~size_t(3); }

}  // namespace

bool Device::Impl::UsbTransport() const {
    return config.transport == Transport::kUSB3Vision || (config.transport == Transport::kAuto && !running.load());
}

bool Device::Impl::SerialPortOf(uint32_t aAddress, uint32_t& aPort, uint32_t& aOffset) {
    if (aAddress < Serial::kBase) return false;
    const uint32_t relative = aAddress - Serial::kBase;
    if (relative / Serial::kStride >= Serial::kPorts) return false;
    aPort = relative / Serial::kStride;
    aOffset = relative % Serial::kStride;
    return true;
}

uint32_t Device::Impl::SerialWord(uint32_t aPort, uint32_t aOffset) const {
    const SerialBridge& b = serial[aPort];
    switch (aOffset) {
    case Serial::kStatus:
        return (SerialAvailable(aPort) ? Serial::kStatusAvailable : 0) |
               (aPort >= Serial::kUartPorts ? Serial::kStatusBulk : 0);
    case Serial::kEventId: return Serial::EventId(aPort);
    case Serial::kLoopback: return b.loopback ? 1 : 0;
    case Serial::kTxBytes: return uint32_t(b.transmitted);
    case Serial::kRxBytes: return uint32_t(b.received);
    case Serial::kRxDropped: return uint32_t(b.dropped);
    case Serial::kControl: return b.unsupported ? Serial::kControlUnsupported : 0;
    default: return 0;
    }
}

// One word written to a port's block: its registers, or a window's count word alone (an empty block).
uint16_t Device::Impl::SerialWrite(uint32_t aPort, uint32_t aOffset, uint32_t aValue, const Peer* aPeer, bool aApply) {
    SerialBridge& b = serial[aPort];
    switch (aOffset) {
    case Serial::kLoopback:
        if (aValue > 1) return Gvcp::kInvalidParameter;
        if (aApply) b.loopback = aValue != 0;
        return Gvcp::kSuccess;
    case Serial::kControl:
        if (aPeer) return Gvcp::kAccessDenied;
        if (aValue & ~Serial::kControlUnsupported) return Gvcp::kInvalidParameter;
        if (aApply) b.unsupported = (aValue & Serial::kControlUnsupported) != 0;
        return Gvcp::kSuccess;
    case Serial::kTransmit:
    case Serial::kReceive:
        if (aOffset == Serial::kReceive && aPeer) return Gvcp::kAccessDenied;
        if (!SerialAvailable(aPort)) return Gvcp::kAccessDenied;
        return aValue == 0 ? uint16_t(Gvcp::kSuccess) : uint16_t(Gvcp::kInvalidParameter);
    default:
        return aOffset < Serial::kRegistersSize ? uint16_t(Gvcp::kWriteProtect) : uint16_t(Gvcp::kInvalidAddress);
    }
}

// A block written to a window: a count word, then the bytes padded to whole words.
uint16_t Device::Impl::SerialBlock(uint32_t aPort, uint32_t aOffset, const uint8_t* aData, size_t aSize,
                                   const Peer* aPeer, unsigned& aActions) {
    const bool transmit = aOffset == Serial::kTransmit;
    if (!transmit && aPeer) return Gvcp::kAccessDenied;
    if (!SerialAvailable(aPort)) return Gvcp::kAccessDenied;
    if (aSize < 4) return Gvcp::kInvalidParameter;
    const uint32_t count = Get32(aData);
    const size_t limit = transmit ? Serial::kMaxTransmit : Serial::kMaxInject;
    if (count > limit || Padded(count) != aSize - 4) return Gvcp::kInvalidParameter;
    if (count == 0) return Gvcp::kSuccess;
    SerialBridge& b = serial[aPort];
    if (transmit) b.transmitted += count;
    if (transmit && !b.loopback) return Gvcp::kSuccess;   // the bytes left for the far end
    serialPending.emplace_back(aPort, std::vector<uint8_t>(aData + 4, aData + 4 + count));
    aActions |= kActionSerial;
    return Gvcp::kSuccess;
}

void Device::Impl::DeliverSerial() {
    std::lock_guard order(serialMutex);
    for (;;) {
        std::pair<uint32_t, std::vector<uint8_t>> next;
        {
            std::lock_guard lock(mutex);
            if (serialPending.empty()) return;
            next = std::move(serialPending.front());
            serialPending.pop_front();
        }
        SendSerial(next.first, next.second);
    }
}

// The bytes as EVENTDATA, as many as they need; a full queue is waited for (its sender drains it),
// a closed channel drops them.
void Device::Impl::SendSerial(uint32_t aPort, const std::vector<uint8_t>& aBytes) {
    std::vector<uint8_t> data;
    for (size_t done = 0; done < aBytes.size();) {
        const size_t n = std::min(aBytes.size() - done, Serial::kMaxEventBytes);
        data.assign(4 + Padded(n), 0);
        Put32(data.data(), uint32_t(n));
        std::memcpy(data.data() + 4, aBytes.data() + done, n);
        uint16_t status = FireEvent(Serial::EventId(aPort), data.data(), data.size(), 0, 0xFFFF);
        for (int attempt = 0; status == Gvcp::kBusy && attempt < kBusyRetries; ++attempt) {
            {
                std::unique_lock wait(messageMutex);
                messageWake.wait_for(wait, std::chrono::milliseconds(50),
                                     [&] { return messageStop.load() || messageQueue.size() < kMessageQueueLimit; });
            }
            status = FireEvent(Serial::EventId(aPort), data.data(), data.size(), 0, 0xFFFF);
        }
        {
            std::lock_guard lock(mutex);
            (status == Gvcp::kSuccess ? serial[aPort].received : serial[aPort].dropped) += n;
        }
        done += n;
    }
}

uint16_t Device::SerialReceive(uint32_t aPort, const uint8_t* aData, size_t aSize) {
    if (aPort >= Serial::kPorts) return Gvcp::kInvalidAddress;
    if (aSize && !aData) return Gvcp::kInvalidParameter;
    {
        std::lock_guard lock(mImpl->mutex);
        if (!mImpl->SerialAvailable(aPort)) return Gvcp::kAccessDenied;
        if (aSize == 0) return Gvcp::kSuccess;
        mImpl->serialPending.emplace_back(aPort, std::vector<uint8_t>(aData, aData + aSize));
    }
    mImpl->DeliverSerial();
    return Gvcp::kSuccess;
}

void Device::SetSerialSupported(uint32_t aPort, bool aSupported) {
    std::lock_guard lock(mImpl->mutex);
    if (aPort < Serial::kPorts) mImpl->serial[aPort].unsupported = !aSupported;
}

bool Device::IsSerialAvailable(uint32_t aPort) const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->SerialAvailable(aPort);
}

}  // namespace TqEngine
