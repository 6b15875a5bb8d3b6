// The USB3 Vision stream: a simulated device of this process hands the frames of its channel whole
// to the stream (the device engine's block sink), as a device's bulk transfers would arrive on the
// bus. One thread stands in for the host's transfer queue.
//
// Transfers: a frame that arrives takes the next queued buffer (with none queued it is dropped) and
// stays in flight until the transfer thread hands the buffer back; while aMaximumNumberOfPendingURB
// transfers are in flight the device waits, as it cannot send without a request pending. A payload
// below the small image threshold lands in a staging area of its transfer and is copied into the
// buffer when the transfer completes; a larger one is written straight into the buffer. A payload
// larger than its buffer writes nothing and comes back BUFFER_TOO_SMALL. Buffers are written only
// under the state lock, so aborting and closing never race a transfer.
//
// One stream per device and channel: the claim is held from Open to Close.
#include "TqStream.h"

#include "TqDeviceEngine.h"
#include "TqDeviceInfo.h"
#include "TqImage.h"
#include "TqPixelLayout.h"
#include "TqResultCodes.h"
#include "TqSimulation.h"
#include "TqStreamState.h"
#include "TqText.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

namespace Reg = TqEngine::Reg;
using TqStreamLib::State;

namespace {

constexpr uint32_t kDefaultCapacity = 64, kDefaultThreshold = 512, kDefaultPendingURB = 64;
constexpr const char* kMember = "TqStreamU3V::Open";

using TqText::Utf8;

bool IsGuid(const std::string& aText) {
    return aText.size() == 12 && std::all_of(aText.begin(), aText.end(), [](unsigned char c) { return std::isxdigit(c); });
}

std::string Upper(std::string aText) {
    std::transform(aText.begin(), aText.end(), aText.begin(), [](unsigned char c) { return std::toupper(c); });
    return aText;
}

// The device channels that a stream of this process has open, by GUID and channel.
struct Claims {
    std::mutex lock;
    std::set<std::pair<std::string, uint16_t>> taken;
};
Claims& TheClaims() {
    static auto* claims = new Claims;   // streams may close while the process exits
    return *claims;
}

// The receiver of one open USB3 Vision stream.
class U3vReceiver : public TqStreamLib::Receiver {
public:
    U3vReceiver(State& aState, std::shared_ptr<TqEngine::Device> aDevice, std::string aGuid, uint16_t aChannel,
                uint32_t aThreshold, uint32_t aPendingURB)
        : mState(aState), mDevice(std::move(aDevice)), mGuid(std::move(aGuid)), mChannel(aChannel),
          mThreshold(aThreshold), mPendingURB(aPendingURB) {}
    ~U3vReceiver() override {
        Stop();
        Release();
    }

    // Takes the device's channel for this stream; false when another stream has it.
    bool Claim() {
        Claims& c = TheClaims();
        std::lock_guard<std::mutex> guard(c.lock);
        mClaimed = c.taken.emplace(mGuid, mChannel).second;
        return mClaimed;
    }

    // Starts the transfer thread and hooks the receiver to the device's channel.
    bool Start() {
        mThread = std::thread([this] { Run(); });
        mHooked = mDevice->SetBlockSink(mChannel, [this](const TqEngine::Block& aBlock) { Arrive(aBlock); });
        return mHooked;
    }

    void Stop() override {
        {
            std::lock_guard<std::mutex> guard(mState.lock);
            mStopping = true;
        }
        mSpace.notify_all();
        mWork.notify_all();
        if (mHooked) mDevice->SetBlockSink(mChannel, nullptr);   // returns once no frame is arriving
        mHooked = false;
        if (mThread.joinable()) mThread.join();
    }

    void AbortBlocks() override {
        for (Transfer& t : mInFlight) {
            TqBufferReception reception;
            reception.mOperationResult = TQ_ABORTED;
            t.buffer->SetReception(t.buffer->GetPayloadType(), reception);
            mState.counters.blocksAborted++;
            mState.Finish(t.buffer, TQ_ABORTED);
        }
        mInFlight.clear();
        mSpace.notify_all();
    }

    void Release() override {
        if (mClaimed) {
            Claims& c = TheClaims();
            std::lock_guard<std::mutex> guard(c.lock);
            c.taken.erase({mGuid, mChannel});
            mClaimed = false;
        }
        mDevice.reset();
    }

private:
    struct Transfer {
        TqBuffer* buffer = nullptr;
        uint32_t result = TQ_OK;
        uint64_t blockId = 0;
        uint64_t timestamp = 0;
        TqEngine::FrameLayout layout;
        size_t size = 0;
        bool staged = false;            // the payload waits in `staging`
        std::vector<uint8_t> staging;
    };

    // A frame from the device (on the engine's sender thread).
    void Arrive(const TqEngine::Block& aBlock) {
        const bool staged = aBlock.size < mThreshold;
        std::vector<uint8_t> staging;
        if (staged) {
            staging.resize(aBlock.size);
            aBlock.Fill(staging.data());
        }
        std::unique_lock<std::mutex> guard(mState.lock);
        mSpace.wait(guard, [&] { return mStopping || mInFlight.size() < mPendingURB; });
        if (mStopping) return;
        if (mState.input.empty()) {
            mState.counters.blocksDropped++;
            return;
        }
        Transfer t;
        t.buffer = mState.input.front();
        mState.input.pop_front();
        t.blockId = aBlock.blockId;
        t.timestamp = aBlock.timestamp;
        t.layout = aBlock.layout;
        t.size = aBlock.size;
        if (aBlock.size > t.buffer->GetSize()) {
            t.result = TQ_BUFFER_TOO_SMALL;   // nothing is written
        } else if (staged) {
            t.staged = true;
            t.staging = std::move(staging);
        } else {
            aBlock.Fill(t.buffer->GetDataPointer());
        }
        mInFlight.push_back(std::move(t));
        uint64_t most = mState.transfers.mostInFlight.load();
        if (mInFlight.size() > most) mState.transfers.mostInFlight = mInFlight.size();
        mWork.notify_one();
    }

    // The host side: completes the transfers in the order they arrived.
    void Run() {
        std::unique_lock<std::mutex> guard(mState.lock);
        for (;;) {
            mWork.wait(guard, [&] { return mStopping || !mInFlight.empty(); });
            if (mStopping) return;   // what is still in flight comes back aborted
            Transfer t = std::move(mInFlight.front());
            mInFlight.pop_front();
            Complete(t);
            mSpace.notify_all();
        }
    }

    // Hands a transfer's buffer back (state lock held).
    void Complete(Transfer& aTransfer) {
        TqBuffer* buffer = aTransfer.buffer;
        const bool ok = aTransfer.result == TQ_OK;
        const uint32_t size = static_cast<uint32_t>(aTransfer.size);
        if (ok && aTransfer.staged) std::memcpy(buffer->GetDataPointer(), aTransfer.staging.data(), size);
        TqBufferReception r;
        r.mBlockID = aTransfer.blockId;
        r.mTimestamp = aTransfer.timestamp;
        r.mReceptionTime = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                     std::chrono::steady_clock::now().time_since_epoch())
                                                     .count());
        r.mOperationResult = aTransfer.result;
        r.mAcquiredSize = ok ? size : 0;
        r.mRequiredSize = size;
        r.mPayloadSize = size;
        r.mHeaderValid = true;
        r.mTrailerValid = true;
        buffer->SetReception(TqPayloadTypeImage, r);
        buffer->SetPayloadLength(ok ? size : 0);
        TqImage* image = buffer->GetImage();
        const TqEngine::FrameLayout& l = aTransfer.layout;
        image->SetGeometry(l.width, l.height, TqPixel::FromWire(l.pixelFormat), 0, 0);
        image->SetOffsetX(l.offsetX);
        image->SetOffsetY(l.offsetY);
        image->SetBlockInfo(aTransfer.blockId, aTransfer.timestamp, r.mReceptionTime);
        image->SetStatus(false, false, false, false, !ok);
        if (ok) {
            mState.counters.blocksReceived++;
            (aTransfer.staged ? mState.transfers.copied : mState.transfers.inPlace)++;
        } else {
            mState.counters.blocksTooSmall++;
        }
        mState.Finish(buffer, aTransfer.result);
    }

    State& mState;
    std::shared_ptr<TqEngine::Device> mDevice;
    std::string mGuid;
    uint16_t mChannel;
    uint32_t mThreshold, mPendingURB;
    bool mClaimed = false, mHooked = false;
    // Under the state lock.
    bool mStopping = false;
    std::deque<Transfer> mInFlight;
    std::condition_variable mSpace;   // a transfer completed or was aborted, or the receiver stops
    std::condition_variable mWork;    // a transfer arrived, or the receiver stops
    std::thread mThread;
};

TqResult OpenDevice(State& aState, const std::string& aGuid, uint16_t aChannel, uint32_t aCapacity,
                    uint32_t aThreshold, uint32_t aPendingURB) {
    {
        std::lock_guard<std::mutex> guard(aState.lock);
        if (aState.open) return TqResult(TQ_STATE_ERROR, TqString("the stream is open already"));
    }
    if (!IsGuid(aGuid)) return TqResult(TQ_INVALID_PARAMETER, TqString("a GUID has 12 hexadecimal digits"));
    if (aCapacity == 0) return TqResult(TQ_INVALID_PARAMETER, TqString("the stream must hold at least one buffer"));
    if (aPendingURB == 0)
        return TqResult(TQ_INVALID_PARAMETER, TqString("at least one transfer must be allowed in flight"));
    const std::string guid = Upper(aGuid);
    std::shared_ptr<TqEngine::Device> device = TqSimulation::Device(guid);
    if (!device) return TqResult(TQ_NOT_FOUND, TqString("no USB3 Vision device with that GUID"));
    uint32_t channels = 0;
    device->ReadRegister(Reg::kStreamChannels, channels);
    if (aChannel >= channels) return TqResult(TQ_INVALID_PARAMETER, TqString("the device has no such stream channel"));
    auto receiver = std::make_unique<U3vReceiver>(aState, device, guid, aChannel, aThreshold, aPendingURB);
    if (!receiver->Claim())
        return TqResult(TQ_BUSY, TqString("another stream receives that channel of the device"));
    if (!receiver->Start()) return TqResult(TQ_GENERIC_ERROR, TqString("the device refused the stream"));
    std::lock_guard<std::mutex> guard(aState.lock);
    aState.counters.Reset();   // what arrived before: dropped, no buffer could be queued
    aState.transfers.Reset();
    aState.open = true;
    aState.capacity = aCapacity;
    aState.channel = aChannel;
    aState.dataPort = 0;
    aState.deviceAddress = guid;
    aState.localAddress.clear();
    aState.multicastAddress.clear();
    aState.receiver = std::move(receiver);
    return TqResult(TQ_OK);
}

std::string Arguments(uint16_t aChannel, uint32_t aCapacity, uint32_t aThreshold, uint32_t aPendingURB) {
    return std::to_string(aChannel) + "," + std::to_string(aCapacity) + "," + std::to_string(aThreshold) + "," +
           std::to_string(aPendingURB);
}

// The GUID of a device record; a failure for a record that is none or of another kind.
TqResult GuidOf(const TqDeviceInfo* aDeviceInfo, std::string& aGuid) {
    if (!aDeviceInfo) return TqResult(TQ_INVALID_PARAMETER, TqString("no device information"));
    auto* u3v = dynamic_cast<const TqDeviceInfoU3V*>(aDeviceInfo);
    if (!u3v) return TqResult(TQ_NOT_SUPPORTED, TqString("not a USB3 Vision device"));
    aGuid = Utf8(u3v->GetDeviceGUID());
    if (aGuid.empty()) aGuid = Utf8(u3v->GetConnectionID());
    return TqResult(TQ_OK);
}

}  // namespace

TqStreamU3V::TqStreamU3V() = default;
TqStreamU3V::~TqStreamU3V() { Close(); }

TqStreamType TqStreamU3V::GetType() const { return TqStreamTypeU3V; }

TqResult TqStreamU3V::Open(const TqString& aInfo) {
    TqCallLog::Note(kMember, "virtual");
    return OpenDevice(*mState, Utf8(aInfo), 0, kDefaultCapacity, kDefaultThreshold, kDefaultPendingURB);
}

TqResult TqStreamU3V::Open(const TqDeviceInfo* aDeviceInfo) {
    TqCallLog::Note(kMember, "virtual");
    std::string guid;
    TqResult result = GuidOf(aDeviceInfo, guid);
    if (result.IsFailure()) return result;
    return OpenDevice(*mState, guid, 0, kDefaultCapacity, kDefaultThreshold, kDefaultPendingURB);
}

TqResult TqStreamU3V::Open(const TqDeviceInfo* aDeviceInfo, uint16_t aChannel, uint32_t aBuffersCapacity,
                           uint32_t aSmallImageThreshold, uint32_t aMaximumNumberOfPendingURB) {
    TqCallLog::Note(kMember, Arguments(aChannel, aBuffersCapacity, aSmallImageThreshold, aMaximumNumberOfPendingURB));
    std::string guid;
    TqResult result = GuidOf(aDeviceInfo, guid);
    if (result.IsFailure()) return result;
    return OpenDevice(*mState, guid, aChannel, aBuffersCapacity, aSmallImageThreshold, aMaximumNumberOfPendingURB);
}

TqResult TqStreamU3V::Open(const TqString& aInfo, uint16_t aChannel, uint32_t aBuffersCapacity,
                           uint32_t aSmallImageThreshold, uint32_t aMaximumNumberOfPendingURB) {
    TqCallLog::Note(kMember, Arguments(aChannel, aBuffersCapacity, aSmallImageThreshold, aMaximumNumberOfPendingURB));
    return OpenDevice(*mState, Utf8(aInfo), aChannel, aBuffersCapacity, aSmallImageThreshold,
                      aMaximumNumberOfPendingURB);
}

TqString TqStreamU3V::GetGUID() {
    std::lock_guard<std::mutex> guard(mState->lock);
    return TqString(mState->deviceAddress.c_str());
}
