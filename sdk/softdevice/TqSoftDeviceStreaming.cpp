// The streaming loop of a software device: the frames of a stream channel come from its source's
// buffers. It runs on the channel's sender thread (a frame provider of the engine device), one run
// per acquisition:
//
//   start   GetTxNumBuffersToUse (TQ_OK: that many buffers, 4 up to those allocated; anything else:
//           all), GetChunkModeActive (and in chunk mode GetChunksSize, to which the chunk areas of a
//           ready-made source's buffers are fitted), OnStreamingStart;
//   frames  while the channel acquires: PreQueueBufferProc (false: nothing this round), QueueBuffer
//           for each buffer the device holds (the first refusal keeps it and the rest for later;
//           a buffer goes to the source without a block ID, taking 64-bit ones while the controller
//           has extended IDs on), RetrieveBuffer (no buffer: ask again); a retrieved buffer goes out
//           as one GVSP block of its payload type, stamped with the device's clock as it goes unless
//           stream timestamping is off, and with extended IDs under the block ID the source set on it
//           (else the channel's next): an image (leader from its image, the image's bytes, with chunk
//           mode on the image's chunk trailer and its chunks, the trailer), chunk data (its
//           TqChunkData's chunks) or, while the controller allows it, multi-part (each part of its
//           container); then PostRetrieveBufferProc;
//   stop    AbortQueuedBuffers, RetrieveBuffer until every queued buffer is back (5 s at most),
//           OnStreamingStop.
//
// Each call into the source goes through the device's gate, inside its callback scope, with no lock
// of the device or the engine held (a source may be Python code that takes its interpreter's lock on
// this thread). What the source gets wrong is reported in the SDK's log and never sent: a call that
// throws ends the channel's acquisition at once (the failed RetrieveBuffer is not called again in
// that run; the next AcquisitionStart tries again), a buffer the device did not queue is dropped, a
// buffer smaller than its image goes out with the bytes it has (the trailer tells the lines it holds
// whole), and buffers that do not come back within the bound stay with the source (the device's
// Stop still frees them). In chunk mode a frame that lacks chunks the source counts (its chunk bytes
// fewer than GetChunksSize, or an image too short to take them) goes out with its trailer marked
// DATA_OVERRUN and counted by the engine device (reported once a run); a multi-part buffer while
// multi-part is not allowed is reported and not sent.
#include "TqSoftDeviceImpl.h"

#include "TqBuffer.h"
#include "ITqMultiPart.h"
#include "TqChunkData.h"
#include "TqImage.h"
#include "TqChunkCodec.h"
#include "TqLogger.h"
#include "TqPixelLayout.h"

#include <cstring>

#include <chrono>
#include <deque>
#include <set>
#include <thread>

namespace TqSoftDevice {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kDrainBound = std::chrono::seconds(5);        // the wait for queued buffers at a stop
constexpr auto kIdleStep = std::chrono::milliseconds(10);    // PreQueueBufferProc said no
constexpr auto kQuickAnswer = std::chrono::milliseconds(1);  // a RetrieveBuffer that did not wait
constexpr uint32_t kFewestBuffers = 4;

void Report(uint32_t aChannel, const std::string& aText) {
    static auto* logger = new TqLogger(TqString("TqSoftDeviceGEV"));   // never destroyed: threads may log at exit
    logger->LogError("stream channel", int(aChannel), aText.c_str(), nullptr);
}

template <class T>
bool Holds(const std::vector<T*>& aList, T* aItem) {
    return std::find(aList.begin(), aList.end(), aItem) != aList.end();
}

template <class T>
bool Take(std::vector<T*>& aList, T* aItem) {
    const auto it = std::find(aList.begin(), aList.end(), aItem);
    if (it == aList.end()) return false;
    aList.erase(it);
    return true;
}

class SourceFrames final : public TqEngine::FrameProvider {
    static constexpr uint32_t kImageChunkId = 0;   // the image's own chunk
public:
    SourceFrames(std::shared_ptr<Gate> aGate, uint32_t aChannel, ITqStreamingChannelSource* aSource,
                 std::vector<TqBuffer*> aBuffers)
        : mGate(std::move(aGate)), mChannel(aChannel), mSource(aSource), mBuffers(std::move(aBuffers)),
          mWho("stream source " + std::to_string(aChannel)) {}

    void Started(uint32_t) override {
        {
            std::lock_guard guard(mLock);
            mInterrupted = false;
        }
        mEnded = mRetrieveFailed = mStreaming = false;
        mQueued.clear();
        mFree.clear();
        for (TqBuffer* buffer : mBuffers)
            if (!mLost.count(buffer)) mFree.push_back(buffer);

        uint32_t wanted = 0;
        TqResult limit;
        if (!Call("GetTxNumBuffersToUse", [&](ITqStreamingChannelSource& s, Core& d) {
                mEngine = d.Engine().get();   // lives while its sender runs
                limit = s.GetTxNumBuffersToUse(wanted);
            }))
            return;
        if (limit.IsOK()) mFree.resize(std::min<size_t>(std::max(wanted, kFewestBuffers), mFree.size()));
        mChunksSize = 0;
        mOverrunTold = mPartsTold = false;
        size_t unfitted = 0;
        if (!Call("GetChunkModeActive", [&](ITqStreamingChannelSource& s, Core&) {
                mChunkMode = s.GetChunkModeActive();
                if (!mChunkMode) return;
                mChunksSize = s.GetChunksSize();
                // The chunks configured now fit every buffer of a ready-made source (all the device's).
                std::vector<TqBuffer*> held;
                for (TqBuffer* buffer : mBuffers)
                    if (!mLost.count(buffer)) held.push_back(buffer);
                unfitted = DefaultSourceBuffers::FitChunkAreas(s, held, mChunksSize);
            }))
            return;
        if (unfitted)
            Report(mChannel, mWho + ": " + std::to_string(unfitted) + " buffers got no chunk area of " +
                                 std::to_string(mChunksSize) + " bytes (no memory); they keep the one they had");
        mStreaming = Call("OnStreamingStart", [](ITqStreamingChannelSource& s, Core&) { s.OnStreamingStart(); });
    }

    bool NextFrame(uint32_t, TqEngine::Frame& aFrame) override {
        if (mEnded || Interrupted()) return false;
        bool going = true;
        if (!Call("PreQueueBufferProc", [&](ITqStreamingChannelSource& s, Core&) { going = s.PreQueueBufferProc(); }))
            return false;
        if (!going) {
            Pause(kIdleStep);
            return false;
        }
        const bool extended = ExtendedIds();
        while (!mFree.empty()) {
            TqBuffer* buffer = mFree.front();
            buffer->SetExtendedID(extended);
            buffer->SetBlockID(0);
            TqResult queued;
            if (!Call("QueueBuffer", [&](ITqStreamingChannelSource& s, Core&) { queued = s.QueueBuffer(buffer); }))
                return false;
            if (!queued.IsOK()) break;   // the source's queue is full
            mFree.pop_front();
            mQueued.push_back(buffer);
        }
        TqBuffer* buffer = nullptr;
        TqResult result;
        if (!Retrieve(buffer, result)) return false;
        if (!result.IsOK()) {
            if (buffer && Take(mQueued, buffer)) mFree.push_back(buffer);   // back without a frame
            return false;
        }
        if (!buffer || !Take(mQueued, buffer)) {
            Report(mChannel, mWho + " RetrieveBuffer answered OK with " +
                                 (buffer ? "a buffer the device did not queue to it" : "no buffer") +
                                 "; nothing was sent");
            Post();
            return false;
        }
        if (!Describe(*buffer, aFrame)) {
            mFree.push_back(buffer);
            Post();
            return false;
        }
        mSending = buffer;
        mStampSending = mStamp;
        return true;
    }

    void FrameDone(uint32_t, const TqEngine::Frame& aFrame, bool) override {
        if (!mSending) return;
        if (mStampSending && aFrame.timestamp) mSending->SetTimestamp(*aFrame.timestamp);   // the leader's
        mFree.push_back(mSending);
        mSending = nullptr;
        Post();
    }

    bool Ended(uint32_t) override { return mEnded; }

    void Interrupt(uint32_t) override {
        {
            std::lock_guard guard(mLock);
            mInterrupted = true;
        }
        mWake.notify_all();
    }

    void Stopped(uint32_t) override {
        if (mStreaming && !mClosed) {
            Call("AbortQueuedBuffers", [](ITqStreamingChannelSource& s, Core&) { s.AbortQueuedBuffers(); });
            const auto bound = Clock::now() + kDrainBound;
            while (!mQueued.empty() && !mRetrieveFailed && !mClosed && Clock::now() < bound) {
                TqBuffer* buffer = nullptr;
                TqResult result;
                if (!Retrieve(buffer, result)) break;
                if (buffer && !Take(mQueued, buffer) && result.IsOK())
                    Report(mChannel, mWho + " RetrieveBuffer gave back a buffer the device did not queue to it");
            }
        }
        if (!mQueued.empty()) {   // after a failed RetrieveBuffer its report tells why
            if (!mRetrieveFailed && !mClosed)
                Report(mChannel, mWho + ": " + std::to_string(mQueued.size()) +
                                     " queued buffers did not come back; they stay with the source until the device stops");
            mLost.insert(mQueued.begin(), mQueued.end());
            mQueued.clear();
        }
        if (mStreaming && !mClosed) Call("OnStreamingStop", [](ITqStreamingChannelSource& s, Core&) { s.OnStreamingStop(); });
        mEngine = nullptr;
    }

private:
    // Calls the source inside the device's gate: false when the call failed (reported; the run ends)
    // or the device is gone.
    bool Call(const char* aOperation, const std::function<void(ITqStreamingChannelSource&, Core&)>& aCall) {
        bool done = false;
        std::string failure;
        if (!mGate->Enter([&](Core& d) {
                done = Guarded(&d, std::string(aOperation) + " of " + mWho, [&] { aCall(*mSource, d); }, failure);
            })) {
            mClosed = mEnded = true;
            return false;
        }
        if (!done) {
            Report(mChannel, failure + "; the channel's acquisition ends");
            mEnded = true;
        }
        return done;
    }

    // RetrieveBuffer, with the stream timestamping the device has at the time. A buffer that came
    // back after an earlier run gave it up is the device's again, and is neither sent nor counted.
    bool Retrieve(TqBuffer*& aBuffer, TqResult& aResult) {
        const auto asked = Clock::now();
        if (!Call("RetrieveBuffer", [&](ITqStreamingChannelSource& s, Core& d) {
                aResult = s.RetrieveBuffer(&aBuffer);
                std::lock_guard guard(d.lock);
                mStamp = d.timestamping;
            })) {
            mRetrieveFailed = true;
            aBuffer = nullptr;
            return false;
        }
        if (aBuffer && mLost.erase(aBuffer)) {
            mFree.push_back(aBuffer);
            aBuffer = nullptr;
            aResult = TqResult(TQ_ABORTED);
        }
        if (!aBuffer && Clock::now() - asked < kQuickAnswer) std::this_thread::sleep_for(kQuickAnswer);   // no busy loop
        return true;
    }

    void Post() { Call("PostRetrieveBufferProc", [](ITqStreamingChannelSource& s, Core&) { s.PostRetrieveBufferProc(); }); }

    // Whether the controller has extended IDs on (the engine's register).
    bool ExtendedIds() const {
        uint32_t configuration = 0;
        return mEngine &&
               mEngine->ReadRegister(TqEngine::Reg::kGvspConfiguration, configuration) == TqEngine::Gvcp::kSuccess &&
               (configuration & TqEngine::Reg::kGvspExtendedIds);
    }

    // The block of a retrieved buffer, by its payload type; false when it is not to be sent.
    bool Describe(TqBuffer& aBuffer, TqEngine::Frame& aFrame) {
        switch (aBuffer.GetPayloadType()) {
        case TqPayloadTypeMultiPart:
            if (!DescribeParts(aBuffer, aFrame)) return false;
            break;
        case TqPayloadTypeChunkData: DescribeChunkData(aBuffer, aFrame); break;
        default: DescribeImage(aBuffer, aFrame); break;
        }
        if (!mStamp) aFrame.timestamp = aBuffer.GetTimestamp();   // else the device's clock as it goes
        if (aBuffer.GetBlockID()) aFrame.blockId = aBuffer.GetBlockID();   // whole, or its low 16 bits
        return true;
    }

    // An image: the geometry its image tells (or, when it tells none, the channel's as the controller
    // sees it), and as much of the image as the buffer holds; in chunk mode its chunks.
    void DescribeImage(TqBuffer& aBuffer, TqEngine::Frame& aFrame) {
        using namespace TqEngine;
        const TqImage* image = aBuffer.GetImage();
        size_t wanted = 0;
        if (image && image->GetBitsPerPixel()) {
            aFrame.width = image->GetWidth();
            aFrame.height = image->GetHeight();
            aFrame.offsetX = image->GetOffsetX();
            aFrame.offsetY = image->GetOffsetY();
            aFrame.pixelFormat = TqPixel::ToWire(image->GetPixelType());
            aFrame.paddingX = image->GetPaddingX();
            aFrame.paddingY = image->GetPaddingY();
            wanted = image->GetImageSize();
        } else if (mEngine) {
            uint32_t* fields[] = {&aFrame.width, &aFrame.height, &aFrame.offsetX, &aFrame.offsetY, &aFrame.pixelFormat};
            const uint32_t registers[] = {Reg::kWidth, Reg::kHeight, Reg::kOffsetX, Reg::kOffsetY, Reg::kPixelFormat};
            for (size_t n = 0; n < std::size(fields); ++n) mEngine->ReadRegister(Reg::Format(mChannel, registers[n]), *fields[n]);
            wanted = ImageBytes({aFrame.width, aFrame.height, 0, 0, aFrame.pixelFormat});
        }
        aFrame.image = aBuffer.GetDataPointer();
        aFrame.imageSize = aFrame.image ? std::min<size_t>(wanted, aBuffer.GetSize()) : 0;
        if (!mChunkMode) return;
        const uint32_t used = aFrame.imageSize == wanted ? aBuffer.GetChunkBytesUsed() : 0;
        if (used) {
            // The block is one chunk layout, read from its end: the image is the first chunk, its
            // trailer (ID, length) between it and the buffer's chunks.
            mChunkBlock.resize(TqChunk::kTrailerSize + used);
            TqChunk::Trailer::Write(mChunkBlock.data(), kImageChunkId, uint32_t(aFrame.imageSize));
            std::memcpy(mChunkBlock.data() + TqChunk::kTrailerSize, aBuffer.GetChunkBytes(), used);
            aFrame.chunks = mChunkBlock.data();
            aFrame.chunkSize = mChunkBlock.size();
            aFrame.chunkLayoutId = aBuffer.GetChunkLayoutID();
        }
        if (used < mChunksSize) {   // chunks the controller counts on did not fit
            aFrame.overrun = true;
            if (!std::exchange(mOverrunTold, true))
                Report(mChannel, mWho + " gave a frame with " + std::to_string(used) + " bytes of chunks where " +
                                     std::to_string(mChunksSize) + " were expected (GetChunksSize); such frames go "
                                     "out marked DATA_OVERRUN");
        }
    }

    // Chunk data: the chunks of the buffer's TqChunkData.
    void DescribeChunkData(TqBuffer& aBuffer, TqEngine::Frame& aFrame) {
        TqChunkData* chunks = aBuffer.GetChunkData();
        aFrame.payloadType = TqEngine::Gvsp::kPayloadChunkData;
        aFrame.chunks = chunks->GetChunkBytes();
        aFrame.chunkSize = aFrame.chunks ? chunks->GetChunkDataSize() : 0;
        aFrame.chunkLayoutId = chunks->GetChunkLayoutID();
    }

    // A multi-part block: each part of the buffer's container, while the controller allows it.
    bool DescribeParts(TqBuffer& aBuffer, TqEngine::Frame& aFrame) {
        bool allowed = false;
        mGate->Enter([&](Core& d) {
            if (const std::shared_ptr<Run> run = d.CurrentRun()) allowed = MultiPartAllowed(*run, mChannel);
        });
        if (!allowed) {
            if (!std::exchange(mPartsTold, true))
                Report(mChannel, mWho + " gave a multi-part buffer while the controller does not allow multi-part "
                                        "(GevSCCFGMultiPartEnabled); such buffers are not sent");
            return false;
        }
        ITqMultiPartContainer* container = aBuffer.GetMultiPartContainer();
        aFrame.payloadType = TqEngine::Gvsp::kPayloadMultiPart;
        for (uint32_t i = 0; container && i < container->GetPartCount(); ++i) {
            ITqMultiPartSection* section = container->GetPart(i);
            TqEngine::FramePart part;
            part.entry.dataType = uint16_t(section->GetDataType());
            part.entry.sourceId = uint8_t(section->GetSourceID());
            part.entry.additionalZones = uint8_t(section->GetAdditionalZones());
            part.entry.zoneDirections = section->GetZoneDirectionMask();
            part.entry.dataPurposeId = uint16_t(section->GetDataPurposeID());
            part.entry.regionId = uint16_t(section->GetRegionID());
            if (const ITqImage* image = section->GetImage()) {
                part.entry.image = {TqPixel::ToWire(image->GetPixelType()), image->GetWidth(), image->GetHeight(),
                                    image->GetOffsetX(), image->GetOffsetY(), image->GetPaddingX(), 0};
                part.sizeY = image->GetHeight();
            } else if (const ITqImageJPEG* jpeg = section->GetJPEG()) {
                part.entry.image.pixelFormat = jpeg->GetDataFormat();
            }
            part.data = section->GetDataPointer();
            part.size = part.data ? section->GetEffectiveSize() : 0;
            aFrame.parts.push_back(part);
        }
        return true;
    }

    bool Interrupted() {
        std::lock_guard guard(mLock);
        return mInterrupted;
    }
    void Pause(Clock::duration aStep) {
        std::unique_lock guard(mLock);
        mWake.wait_for(guard, aStep, [&] { return mInterrupted; });
    }

    const std::shared_ptr<Gate> mGate;
    const uint32_t mChannel;
    ITqStreamingChannelSource* const mSource;
    const std::vector<TqBuffer*> mBuffers;   // as allocated, for the device's whole run
    const std::string mWho;

    // The sender's thread alone touches these.
    TqEngine::Device* mEngine = nullptr;          // during a run
    std::deque<TqBuffer*> mFree;                 // the device holds them
    std::vector<TqBuffer*> mQueued;              // the source holds them
    TqBuffer* mSending = nullptr;                // given to the sender
    std::set<TqBuffer*> mLost;                   // never came back after a stop
    bool mChunkMode = false, mStamp = true, mStampSending = true;
    uint32_t mChunksSize = 0;                    // in chunk mode, what the source's chunks take
    bool mOverrunTold = false, mPartsTold = false;   // reported in this run
    std::vector<uint8_t> mChunkBlock;   // the frame's chunks behind the image's trailer (one frame at a time)
    bool mStreaming = false;   // OnStreamingStart returned: the stop steps follow
    bool mEnded = false, mRetrieveFailed = false, mClosed = false;

    std::mutex mLock;   // what Interrupt touches
    std::condition_variable mWake;
    bool mInterrupted = false;
};

}  // namespace

std::shared_ptr<TqEngine::FrameProvider> StreamingLoop(std::shared_ptr<Gate> aGate, uint32_t aChannel,
                                                       ITqStreamingChannelSource* aSource,
                                                       std::vector<TqBuffer*> aBuffers) {
    return std::make_shared<SourceFrames>(std::move(aGate), aChannel, aSource, std::move(aBuffers));
}

}  // namespace TqSoftDevice
