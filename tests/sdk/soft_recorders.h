// Event sinks and stream sources of a software device that record every call (the operation, its
// arguments as text, the thread) and answer as their options say: a chosen operation throws, lists
// and buffers may never end, a buffer may come twice, an operation may stop the device it was given,
// and a source may stream frames of a known pattern from the buffers queued to it. The C++ tests and
// the test module use them.
#pragma once

#include "TqBuffer.h"
#include "TqImage.h"
#include "TqSoftDeviceGEV.h"
#include "TqWireBytes.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/syscall.h>
#include <unistd.h>

namespace KivoSoftTest {

inline long ThreadId() { return long(syscall(SYS_gettid)); }

// Whether aCondition came true within a generous deadline (a loaded machine may be slow).
template <class Condition>
bool Eventually(Condition aCondition) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20); std::chrono::steady_clock::now() < end;) {
        if (aCondition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return aCondition();
}

struct Call {
    std::string operation;
    std::string arguments;
    long thread = 0;
};

struct Options {
    std::string failAt;   // the operation that throws (every time)
    std::string stopIn;   // the operation (of a sink) that calls Stop on its device and keeps the result
    // Sources.
    std::vector<TqPixelType> pixelTypes = {TqPixelMono8, TqPixelMono16};
    std::vector<std::pair<uint32_t, std::string>> chunks;
    bool endlessPixelTypes = false, endlessChunks = false;
    size_t buffers = 3;          // AllocBuffer gives new ones while fewer are out, then null
    bool endlessBuffers = false;
    bool repeatBuffer = false;   // the second AllocBuffer gives the first buffer again
    uint32_t width = 640, height = 480, offsetX = 0, offsetY = 0;
    uint32_t widthMin = 16, widthMax = 1024, widthInc = 4, heightMin = 8, heightMax = 768, heightInc = 2;
    TqPixelType pixelType = TqPixelMono8;
    int64_t packetSizeMax = -1;   // -1: not implemented
    uint32_t payloadSize = 0;
    // Streaming sources. QueueBuffer keeps the buffers it takes (at most queueCapacity at a time, 0:
    // no limit; more are refused) and RetrieveBuffer gives the oldest back as the next frame (numbered
    // from 1): its image bytes FrameByte(frame, n), its timestamp kTimestampBase + frame, in chunk mode
    // one chunk (kChunkId: the frame number, 4 bytes big-endian; layout kChunkLayout). After
    // AbortQueuedBuffers the queued buffers come back with TQ_ABORTED, unless keepBuffers. Gated, a
    // frame is given only as the test allows (Allow). With nothing to give, RetrieveBuffer waits 10 ms
    // and answers TQ_TIMEOUT (a source that does not stream too).
    bool streams = false, gated = false, keepBuffers = false, chunkMode = false;
    size_t queueCapacity = 0;
    int64_t txBuffers = -1;       // GetTxNumBuffersToUse: TQ_OK with this count; -1: TQ_NOT_IMPLEMENTED
    uint32_t bufferBytes = 0;     // a streaming source's buffer memory; 0: its image's (with chunk room)
    bool rawBuffers = false;      // a streaming source's buffers have no image geometry
    // Odd answers of the first RetrieveBuffer calls, in turn: "null" (TQ_OK, no buffer), "foreign"
    // (TQ_OK with a buffer the device never had).
    std::vector<std::string> oddAnswers;
    std::function<void(ITqGenApiFactory*)> features;   // what a source's CreateGenApiFeatures describes
    std::function<void(ITqRegisterMap*, ITqRegisterFactory*)> createRegisters;   // run by CreateRegisters
};

constexpr uint64_t kTimestampBase = 0x123400000000ull;
constexpr uint32_t kChunkId = 0x4001, kChunkLayout = 0x77;
inline uint8_t FrameByte(uint32_t aFrame, size_t aOffset) { return uint8_t(aFrame * 31 + aOffset * 7 + (aOffset >> 8)); }

// The calls of one object, and of every recorder that shares it (so that an order across objects shows).
class Journal {
public:
    void Add(const std::string& aOperation, const std::string& aArguments) {
        std::lock_guard guard(mLock);
        mCalls.push_back({aOperation, aArguments, ThreadId()});
    }
    std::vector<Call> Calls() const {
        std::lock_guard guard(mLock);
        return mCalls;
    }
    size_t Count(const std::string& aOperation) const {
        std::lock_guard guard(mLock);
        return size_t(std::count_if(mCalls.begin(), mCalls.end(), [&](const Call& c) { return c.operation == aOperation; }));
    }
    void Clear() {
        std::lock_guard guard(mLock);
        mCalls.clear();
    }

private:
    mutable std::mutex mLock;
    std::vector<Call> mCalls;
};

// The common part: the name in the journal, the options, the failure.
class Recorder {
public:
    Recorder(std::string aName, Options aOptions, std::shared_ptr<Journal> aJournal)
        : mName(std::move(aName)), mOptions(std::move(aOptions)),
          mJournal(aJournal ? std::move(aJournal) : std::make_shared<Journal>()) {}
    const std::shared_ptr<Journal>& GetJournal() const { return mJournal; }
    const Options& GetOptions() const { return mOptions; }
    // The result of the Stop that stopIn made (-1: none).
    long StopResult() const { return mStopResult; }

protected:
    void Note(const std::string& aOperation, const std::string& aArguments = "") const {
        mJournal->Add(mName + "." + aOperation, aArguments);
        if (aOperation == mOptions.failAt) throw std::runtime_error(mName + "." + aOperation + " fails as asked");
    }
    void StopIfAsked(const std::string& aOperation, ITqSoftDeviceGEV* aDevice) {
        if (aOperation == mOptions.stopIn && aDevice) mStopResult = long(aDevice->Stop().GetCode());
    }
    std::string mName;
    Options mOptions;
    std::shared_ptr<Journal> mJournal;
    long mStopResult = -1;
};

inline std::string Text(const TqString& aText) { return aText.GetAscii() ? aText.GetAscii() : ""; }

class RecordingSink final : public ITqSoftDeviceGEVEventSink, public Recorder {
public:
    explicit RecordingSink(std::string aName = "sink", Options aOptions = {}, std::shared_ptr<Journal> aJournal = {})
        : Recorder(std::move(aName), std::move(aOptions), std::move(aJournal)) {}

    void OnApplicationConnect(ITqSoftDeviceGEV* aDevice, const TqString& aIPAddress, uint16_t aPort,
                              TqAccessType aAccessType) override {
        Observe("OnApplicationConnect", aDevice,
                Text(aIPAddress) + " " + std::to_string(aPort) + " " + std::to_string(int(aAccessType)));
    }
    void OnControlChannelStart(ITqSoftDeviceGEV* aDevice, const TqString& aMACAddress, const TqString& aIPAddress,
                               const TqString& aMask, const TqString& aGateway, uint16_t aPort) override {
        Observe("OnControlChannelStart", aDevice,
                Text(aMACAddress) + " " + Text(aIPAddress) + " " + Text(aMask) + " " + Text(aGateway) + " " +
                    std::to_string(aPort));
    }
    void OnApplicationDisconnect(ITqSoftDeviceGEV* aDevice) override { Observe("OnApplicationDisconnect", aDevice); }
    void OnControlChannelStop(ITqSoftDeviceGEV* aDevice) override { Observe("OnControlChannelStop", aDevice); }
    void OnDeviceResetFull(ITqSoftDeviceGEV* aDevice) override { Observe("OnDeviceResetFull", aDevice); }
    void OnDeviceResetNetwork(ITqSoftDeviceGEV* aDevice) override { Observe("OnDeviceResetNetwork", aDevice); }
    void OnCreateCustomRegisters(ITqSoftDeviceGEV* aDevice, ITqRegisterFactory* aFactory) override {
        Observe("OnCreateCustomRegisters", aDevice, aFactory ? "factory" : "null");
    }
    void OnCreateCustomGenApiFeatures(ITqSoftDeviceGEV* aDevice, ITqGenApiFactory* aFactory) override {
        Observe("OnCreateCustomGenApiFeatures", aDevice, aFactory ? "factory" : "null");
    }

private:
    void Observe(const char* aOperation, ITqSoftDeviceGEV* aDevice, const std::string& aArguments = "") {
        Note(aOperation, aArguments);
        StopIfAsked(aOperation, aDevice);
    }
};

class RecordingSource final : public ITqStreamingChannelSource, public Recorder {
public:
    explicit RecordingSource(std::string aName = "source", Options aOptions = {}, std::shared_ptr<Journal> aJournal = {})
        : Recorder(std::move(aName), std::move(aOptions), std::move(aJournal)) {}
    ~RecordingSource() override {
        for (TqBuffer* buffer : mMade) delete buffer;
        delete mForeign;
    }

    // A gated source gives aCount more frames.
    void Allow(int aCount) {
        {
            std::lock_guard guard(mLock);
            mPermits += aCount;
        }
        mWake.notify_all();
    }
    // The buffers queued to it now.
    size_t Queued() const {
        std::lock_guard guard(mLock);
        return mQueued.size();
    }

    // How often each buffer it made was given back.
    std::map<TqBuffer*, int> Freed() const {
        std::lock_guard guard(mLock);
        return mFreed;
    }
    size_t Made() const {
        std::lock_guard guard(mLock);
        return mMade.size();
    }
    // How often each buffer was given back, in the order the buffers were made.
    std::vector<int> FreedInOrder() const {
        std::lock_guard guard(mLock);
        std::vector<int> out;
        for (TqBuffer* buffer : mMade) {
            const auto it = mFreed.find(buffer);
            out.push_back(it == mFreed.end() ? 0 : it->second);
        }
        return out;
    }

    uint32_t GetWidth() const override { return Value("GetWidth", Held(mOptions.width)); }
    uint32_t GetHeight() const override { return Value("GetHeight", Held(mOptions.height)); }
    uint32_t GetOffsetX() const override { return Value("GetOffsetX", Held(mOptions.offsetX)); }
    uint32_t GetOffsetY() const override { return Value("GetOffsetY", Held(mOptions.offsetY)); }
    TqPixelType GetPixelType() const override { return Value("GetPixelType", Held(mOptions.pixelType)); }
    void GetWidthInfo(uint32_t& aMin, uint32_t& aMax, uint32_t& aInc) const override {
        Note("GetWidthInfo");
        aMin = mOptions.widthMin, aMax = mOptions.widthMax, aInc = mOptions.widthInc;
    }
    void GetHeightInfo(uint32_t& aMin, uint32_t& aMax, uint32_t& aInc) const override {
        Note("GetHeightInfo");
        aMin = mOptions.heightMin, aMax = mOptions.heightMax, aInc = mOptions.heightInc;
    }
    uint32_t GetChunksSize() const override { return Value("GetChunksSize", mOptions.chunkMode ? 12u : 0u); }
    uint32_t GetPayloadSize() const override { return Value("GetPayloadSize", mOptions.payloadSize); }
    TqScanType GetScanType() const override { return Value("GetScanType", TqScanTypeArea); }
    bool GetChunkModeActive() const override { return Value("GetChunkModeActive", mOptions.chunkMode); }
    bool GetChunkEnable(uint32_t aChunkID) const override {
        Note("GetChunkEnable", std::to_string(aChunkID));
        return false;
    }
    TqResult GetSupportedPixelType(int aIndex, TqPixelType& aPixelType) const override {
        Note("GetSupportedPixelType", std::to_string(aIndex));
        if (mOptions.endlessPixelTypes) {
            aPixelType = TqPixelMono8;
            return TqResult(TQ_OK);
        }
        if (aIndex < 0 || size_t(aIndex) >= mOptions.pixelTypes.size()) return TqResult(TQ_INVALID_PARAMETER);
        aPixelType = mOptions.pixelTypes[size_t(aIndex)];
        return TqResult(TQ_OK);
    }
    TqResult GetSupportedChunk(int aIndex, uint32_t& aChunkID, TqString& aChunkName) const override {
        Note("GetSupportedChunk", std::to_string(aIndex));
        if (mOptions.endlessChunks) {
            aChunkID = uint32_t(aIndex);
            aChunkName = "ChunkEndless";
            return TqResult(TQ_OK);
        }
        if (aIndex < 0 || size_t(aIndex) >= mOptions.chunks.size()) return TqResult(TQ_INVALID_PARAMETER);
        aChunkID = mOptions.chunks[size_t(aIndex)].first;
        aChunkName = mOptions.chunks[size_t(aIndex)].second.c_str();
        return TqResult(TQ_OK);
    }
    TqResult GetGevSCPSPacketSizeInfo(uint32_t& aMax) const override {
        Note("GetGevSCPSPacketSizeInfo");
        if (mOptions.packetSizeMax < 0) return TqResult(TQ_NOT_IMPLEMENTED);
        aMax = uint32_t(mOptions.packetSizeMax);
        return TqResult(TQ_OK);
    }
    TqResult SetWidth(uint32_t aValue) override { return Keep("SetWidth", mOptions.width, aValue); }
    TqResult SetHeight(uint32_t aValue) override { return Keep("SetHeight", mOptions.height, aValue); }
    TqResult SetOffsetX(uint32_t aValue) override { return Keep("SetOffsetX", mOptions.offsetX, aValue); }
    TqResult SetOffsetY(uint32_t aValue) override { return Keep("SetOffsetY", mOptions.offsetY, aValue); }
    TqResult SetPixelType(TqPixelType aValue) override { return Keep("SetPixelType", mOptions.pixelType, aValue); }
    TqResult SetChunkModeActive(bool aValue) override { return Accept("SetChunkModeActive", std::to_string(aValue)); }
    TqResult SetChunkEnable(uint32_t aChunkID, bool aValue) override {
        return Accept("SetChunkEnable", std::to_string(aChunkID) + " " + std::to_string(aValue));
    }
    void OnOpen(const TqString& aDestIP, uint16_t aDestPort) override {
        Note("OnOpen", Text(aDestIP) + " " + std::to_string(aDestPort));
    }
    void OnClose() override { Note("OnClose"); }
    void OnStreamingStart() override {
        Note("OnStreamingStart");
        std::lock_guard guard(mLock);
        mAbortedAll = false;
    }
    void OnStreamingStop() override { Note("OnStreamingStop"); }
    TqBuffer* AllocBuffer() override {
        Note("AllocBuffer");
        std::lock_guard guard(mLock);
        if (mOptions.repeatBuffer && mMade.size() == 1 && !mRepeated) {
            mRepeated = true;
            return mMade[0];
        }
        if (!mOptions.endlessBuffers && mMade.size() - mFreedCount >= mOptions.buffers) return nullptr;
        TqBuffer* buffer = mOptions.streams ? MakeStreamBuffer() : new TqBuffer();
        if (!mOptions.streams) buffer->Alloc(64);
        mMade.push_back(buffer);
        return buffer;
    }
    void FreeBuffer(TqBuffer* aBuffer) override {
        {
            std::lock_guard guard(mLock);
            mFreed[aBuffer]++;
            mFreedCount++;
        }
        Note("FreeBuffer");
    }
    TqResult GetTxNumBuffersToUse(uint32_t& aNumBuffer) override {
        if (mOptions.txBuffers < 0) return Accept("GetTxNumBuffersToUse", "", TQ_NOT_IMPLEMENTED);
        aNumBuffer = uint32_t(mOptions.txBuffers);
        return Accept("GetTxNumBuffersToUse");
    }
    // Arguments: the buffer's place among those made (-1: another) and its timestamp.
    TqResult QueueBuffer(TqBuffer* aBuffer) override {
        std::string which;
        bool full;
        {
            std::lock_guard guard(mLock);
            which = std::to_string(IndexOf(aBuffer)) + " " + std::to_string(aBuffer ? aBuffer->GetTimestamp() : 0);
            full = mOptions.queueCapacity && mQueued.size() >= mOptions.queueCapacity;
        }
        const TqResult result = Accept("QueueBuffer", which, full ? TQ_GENERIC_ERROR : TQ_OK);   // may throw
        if (mOptions.streams && !full) {
            {
                std::lock_guard guard(mLock);
                mQueued.push_back(aBuffer);
            }
            mWake.notify_all();
        }
        return result;
    }
    bool PreQueueBufferProc() override { return Value("PreQueueBufferProc", true); }
    void PostRetrieveBufferProc() override { Note("PostRetrieveBufferProc"); }
    // Arguments: "timeout", "frame <n> <place>", "aborted <place>", or the odd answer.
    TqResult RetrieveBuffer(TqBuffer** aBuffer) override {
        *aBuffer = nullptr;
        if (mOptions.failAt == "RetrieveBuffer") Note("RetrieveBuffer");   // throws
        std::unique_lock guard(mLock);
        auto answer = [&](uint32_t aCode, TqBuffer* aGiven, const std::string& aArguments) {
            guard.unlock();
            Note("RetrieveBuffer", aArguments);
            *aBuffer = aGiven;
            return TqResult(aCode);
        };
        if (!mAborted.empty()) {
            TqBuffer* back = mAborted.front();
            mAborted.pop_front();
            return answer(TQ_ABORTED, back, "aborted " + std::to_string(IndexOf(back)));
        }
        if (mOdd < mOptions.oddAnswers.size()) {
            const std::string odd = mOptions.oddAnswers[mOdd++];
            if (odd == "foreign" && !mForeign) mForeign = MakeStreamBuffer();
            return answer(TQ_OK, odd == "foreign" ? mForeign : nullptr, odd);
        }
        const bool ready = mOptions.streams && mWake.wait_for(guard, std::chrono::milliseconds(10), [&] {
            return !mAbortedAll && !mQueued.empty() && (!mOptions.gated || mPermits > 0);
        });
        if (!ready) {
            if (!mOptions.streams) {
                guard.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                guard.lock();
            }
            return answer(TQ_TIMEOUT, nullptr, "timeout");
        }
        TqBuffer* buffer = mQueued.front();
        mQueued.pop_front();
        --mPermits;
        Fill(*buffer, ++mFrames);
        return answer(TQ_OK, buffer, "frame " + std::to_string(mFrames) + " " + std::to_string(IndexOf(buffer)));
    }
    void AbortQueuedBuffers() override {
        Note("AbortQueuedBuffers");
        {
            std::lock_guard guard(mLock);
            mAbortedAll = true;
            if (!mOptions.keepBuffers) mAborted.insert(mAborted.end(), mQueued.begin(), mQueued.end());
            if (!mOptions.keepBuffers) mQueued.clear();
        }
        mWake.notify_all();
    }
    void CreateRegisters(ITqRegisterMap* aRegisterMap, ITqRegisterFactory* aFactory) override {
        Note("CreateRegisters", std::string(aRegisterMap ? "map" : "null") + " " + (aFactory ? "factory" : "null"));
        if (mOptions.createRegisters) mOptions.createRegisters(aRegisterMap, aFactory);
    }
    void CreateGenApiFeatures(ITqRegisterMap* aRegisterMap, ITqGenApiFactory* aFactory) override {
        Note("CreateGenApiFeatures", std::string(aRegisterMap ? "map" : "null") + " " + (aFactory ? "factory" : "null"));
        if (mOptions.features) mOptions.features(aFactory);
    }
    bool IsPayloadTypeSupported(TqPayloadType aPayloadType) override {
        Note("IsPayloadTypeSupported", std::to_string(int(aPayloadType)));
        return false;
    }
    void SetMultiPartAllowed(bool aAllowed) override { Note("SetMultiPartAllowed", std::to_string(aAllowed)); }
    void SetLargeLeaderTrailerEnabled(bool aEnabled, uint32_t aCount) override {
        Note("SetLargeLeaderTrailerEnabled", std::to_string(aEnabled) + " " + std::to_string(aCount));
    }
    TqResult SetTestPayloadFormatMode(TqPayloadType aPayloadType) override {
        return Accept("SetTestPayloadFormatMode", std::to_string(int(aPayloadType)), TQ_NOT_SUPPORTED);
    }

private:
    template <class T>
    T Value(const char* aOperation, T aValue) const {
        Note(aOperation);
        return aValue;
    }
    TqResult Accept(const char* aOperation, const std::string& aArguments = "", uint32_t aCode = TQ_OK) {
        Note(aOperation, aArguments);
        return TqResult(aCode);
    }
    // An accepted image-format setting is what the getter answers from then on, as a source keeps it.
    template <class T>
    TqResult Keep(const char* aOperation, T& aSetting, T aValue) {
        Note(aOperation, std::to_string(int64_t(aValue)));
        std::lock_guard guard(mLock);
        aSetting = aValue;
        return TqResult(TQ_OK);
    }
    template <class T>
    T Held(const T& aSetting) const {
        std::lock_guard guard(mLock);
        return aSetting;
    }

    // The place of aBuffer among those made (-1: another); mLock held.
    int IndexOf(const TqBuffer* aBuffer) const {
        const auto it = std::find(mMade.begin(), mMade.end(), aBuffer);
        return it == mMade.end() ? -1 : int(it - mMade.begin());
    }
    TqBuffer* MakeStreamBuffer() const {
        auto* buffer = new TqBuffer();
        if (mOptions.rawBuffers) {
            const uint64_t bytes = TqImage::RequiredMemory(mOptions.width, mOptions.height, mOptions.pixelType, 0, 0, 0);
            buffer->Alloc(mOptions.bufferBytes ? mOptions.bufferBytes : uint32_t(bytes));
        } else {
            buffer->GetImage()->Alloc(mOptions.width, mOptions.height, mOptions.pixelType, 0, 0, 64);
            buffer->GetImage()->SetOffsetX(mOptions.offsetX);
            buffer->GetImage()->SetOffsetY(mOptions.offsetY);
            if (mOptions.bufferBytes) buffer->Alloc(mOptions.bufferBytes);   // the geometry stays
        }
        return buffer;
    }
    // Frame aFrame into aBuffer: every byte of its memory up to its image's end, its timestamp and chunk.
    void Fill(TqBuffer& aBuffer, uint32_t aFrame) const {
        const TqImage* image = aBuffer.GetImage();
        const size_t bytes = mOptions.rawBuffers ? aBuffer.GetSize() : std::min(image->GetImageSize(), aBuffer.GetSize());
        for (size_t n = 0; n < bytes; ++n) aBuffer.GetDataPointer()[n] = FrameByte(aFrame, n);
        aBuffer.SetTimestamp(kTimestampBase + aFrame);
        aBuffer.ResetChunks();
        if (mOptions.chunkMode) {
            uint8_t data[4];
            TqWire::Put32(data, aFrame);
            aBuffer.AddChunk(kChunkId, data, 4);
            aBuffer.SetChunkLayoutID(kChunkLayout);
        }
    }

    mutable std::mutex mLock;
    std::condition_variable mWake;
    std::vector<TqBuffer*> mMade;
    std::map<TqBuffer*, int> mFreed;
    size_t mFreedCount = 0;
    bool mRepeated = false;
    std::deque<TqBuffer*> mQueued, mAborted;
    bool mAbortedAll = false;
    int mPermits = 0;
    uint32_t mFrames = 0;
    size_t mOdd = 0;
    TqBuffer* mForeign = nullptr;
};

}  // namespace KivoSoftTest
