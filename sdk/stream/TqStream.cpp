// The stream base: the caller's buffers (queue, retrieve, abort), closing, the factory and the
// stream's parameters over its own live state.
#include "TqStream.h"
#include "TqMadeSet.h"

#include "TqDevice.h"
#include "TqDeviceInfo.h"
#include "TqGenXml.h"
#include "TqGvcpClient.h"
#include "TqResultCodes.h"
#include "TqStreamState.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <set>

namespace TqStreamLib {

namespace {

// The parameters' registers (little-endian): 4-byte settings, 8-byte counters, 16-byte texts.
constexpr uint64_t kImageTimeout = 0x00, kWaitForLeader = 0x04, kDataPort = 0x08, kChannel = 0x0C;
constexpr uint64_t kCounters = 0x10;   // 15 counters of 8 bytes, in the order of Counters
constexpr uint64_t kLocalAddress = 0x90, kMulticastAddress = 0xA0, kRequestResends = 0xB0, kPortSize = 0xB4;

class StatePort : public TqGenICamLib::IPort {
public:
    explicit StatePort(State* aState) : mState(aState) {}

    TqResult Read(uint64_t aAddress, void* aData, uint64_t aLength) override {
        if (aAddress > kPortSize || aLength > kPortSize - aAddress) return TqResult(TQ_INVALID_PARAMETER);
        uint8_t bytes[kPortSize] = {};
        auto put32 = [&](uint64_t aAt, uint32_t aValue) { std::memcpy(bytes + aAt, &aValue, 4); };
        auto put64 = [&](uint64_t aAt, uint64_t aValue) { std::memcpy(bytes + aAt, &aValue, 8); };
        put32(kImageTimeout, mState->imageTimeout.load());
        put32(kWaitForLeader, mState->waitForLeader.load() ? 1 : 0);
        put32(kDataPort, mState->dataPort.load());
        put32(kRequestResends, mState->requestResends.load() ? 1 : 0);
        const Counters& c = mState->counters;
        const std::atomic<uint64_t>* all[] = {&c.blocksReceived,   &c.blocksIncomplete, &c.blocksDropped,
                                              &c.blocksTooSmall,   &c.blocksAborted,    &c.packetsReceived,
                                              &c.packetsMissing,   &c.packetsIgnored,   &c.packetsBad,
                                              &c.packetsRedundant, &c.packetsOutOfOrder, &c.pipelineImagesDropped,
                                              &c.packetsRequested, &c.packetsRecovered, &c.packetsForeign};
        static_assert(kCounters + sizeof all / sizeof all[0] * 8 <= kLocalAddress);
        for (size_t i = 0; i < std::size(all); ++i) put64(kCounters + 8 * i, all[i]->load());
        {
            std::lock_guard<std::mutex> guard(mState->lock);
            put32(kChannel, mState->channel);
            std::memcpy(bytes + kLocalAddress, mState->localAddress.c_str(), std::min<size_t>(mState->localAddress.size(), 15));
            std::memcpy(bytes + kMulticastAddress, mState->multicastAddress.c_str(),
                        std::min<size_t>(mState->multicastAddress.size(), 15));
        }
        std::memcpy(aData, bytes + aAddress, aLength);
        return TqResult(TQ_OK);
    }

    TqResult Write(uint64_t aAddress, const void* aData, uint64_t aLength) override {
        if (aLength != 4) return TqResult(TQ_INVALID_PARAMETER);
        uint32_t value;
        std::memcpy(&value, aData, 4);
        if (aAddress == kImageTimeout) {
            mState->imageTimeout = value;
        } else if (aAddress == kWaitForLeader) {
            mState->waitForLeader = value != 0;
        } else if (aAddress == kRequestResends) {
            mState->requestResends = value != 0;
        } else {
            return TqResult(TQ_INVALID_PARAMETER);
        }
        return TqResult(TQ_OK);
    }

private:
    State* mState;
};

struct CounterInfo {
    const char* name;
    const char* description;
};
constexpr CounterInfo kCounterInfo[] = {
    {"BlocksReceived", "Blocks handed back complete."},
    {"BlocksIncomplete", "Blocks handed back with packets missing (after ImageTimeout)."},
    {"BlocksDropped", "Blocks that began while no buffer was queued."},
    {"BlocksBufferTooSmall", "Blocks whose payload did not fit the buffer."},
    {"BlocksAborted", "Buffers handed back aborted."},
    {"PacketsReceived", "Datagrams received on the data port."},
    {"PacketsMissing", "Packets (leader, payload, trailer) that never arrived in the blocks handed back."},
    {"PacketsIgnored", "Well-formed packets of no block in progress."},
    {"PacketsBad", "Malformed packets, and packets pointing outside their block."},
    {"PacketsRedundant", "Packets that arrived more than once."},
    {"PacketsOutOfOrder", "Payload packets that arrived after a later packet of their block."},
    {"PipelineImagesDropped", "Buffers a pipeline dropped because the application did not retrieve them in time."},
    {"PacketsRequested", "Packets asked for again from the device (RequestMissingPackets)."},
    {"PacketsRecovered", "Packets that arrived after they were asked for again."},
    {"PacketsForeign", "Datagrams from another sender than the device, dropped."},
};
static_assert(kCounters + 8 * std::size(kCounterInfo) <= kLocalAddress);

// The parameters besides the counters, each over its register of the StatePort: an Integer or a
// Boolean over an IntReg of its own, or a StringReg.
enum class Shape { Integer, Boolean, Text };
struct Parameter {
    const char* name;
    Shape shape;
    uint64_t address;
    bool writable;
    const char* description;
    int64_t min = 0, max = 0;   // both 0: none
    const char* unit = nullptr;
};
const Parameter kParameters[] = {
    {"ImageTimeout", Shape::Integer, kImageTimeout, true,
     "How long a block may wait for its missing packets, in milliseconds, before it is handed back incomplete.", 1,
     600000, "ms"},
    {"StartStreamOnlyOnPacketIdZero", Shape::Boolean, kWaitForLeader, true,
     "A block is received only when its leader (packet 0) arrived."},
    {"RequestMissingPackets", Shape::Boolean, kRequestResends, true,
     "The receiver asks the device again for the packets of a block that did not arrive (GigE Vision streams)."},
    {"DataPort", Shape::Integer, kDataPort, false, "The local UDP port the stream receives on."},
    {"Channel", Shape::Integer, kChannel, false, "The device's stream channel."},
    {"LocalIPAddress", Shape::Text, kLocalAddress, false, "The local address the stream receives on."},
    {"MulticastIPAddress", Shape::Text, kMulticastAddress, false,
     "The multicast group the stream joined; empty for a unicast stream."},
};

// One parameter and, for a number, its register (of aLength bytes, little-endian).
void Declare(TqGenXml::Description& aXml, const Parameter& aParameter, int64_t aLength) {
    const TqGenXml::Place place{aParameter.address, aParameter.shape == Shape::Text ? 16 : aLength,
                                aParameter.writable ? "RW" : "RO", "Stream", "NoCache"};
    if (aParameter.shape == Shape::Text) {
        aXml.Node("StringReg", aParameter.name).With("Description", aParameter.description).With(place);
        return;
    }
    const std::string reg = std::string(aParameter.name) + "Reg";
    TqGenXml::Element node = aXml.Node(aParameter.shape == Shape::Integer ? "Integer" : "Boolean", aParameter.name);
    node.With("Description", aParameter.description).With("pValue", reg);
    if (aParameter.shape == Shape::Boolean) node.With("OnValue", 1).With("OffValue", 0);
    if (aParameter.min || aParameter.max) node.With("Min", aParameter.min).With("Max", aParameter.max);
    if (aParameter.unit) node.With("Unit", aParameter.unit);
    aXml.Node("IntReg", reg)
        .With("Visibility", "Invisible")
        .With(place)
        .With("Sign", "Unsigned")
        .With("Endianess", "LittleEndian");
}

std::string BuildXml() {
    TqGenXml::Description xml({"Stream", "Kivo", "The stream receiver's parameters", "None",
                               "9c3e0a52-0000-4000-8000-000000000011", "9c3e0a52-0000-4000-8000-000000000012"});
    xml.Category("Root", "Standard", {"Configuration", "Connection", "Statistics"});
    xml.Category("Configuration", "Custom", {"ImageTimeout", "StartStreamOnlyOnPacketIdZero", "RequestMissingPackets"});
    xml.Category("Connection", "Custom", {"DataPort", "Channel", "LocalIPAddress", "MulticastIPAddress"});
    std::vector<std::string_view> counters;
    for (const CounterInfo& c : kCounterInfo) counters.push_back(c.name);
    xml.Category("Statistics", "Custom", counters);
    for (const Parameter& p : kParameters) Declare(xml, p, 4);
    for (size_t i = 0; i < std::size(kCounterInfo); ++i)
        Declare(xml, {kCounterInfo[i].name, Shape::Integer, kCounters + 8 * i, false, kCounterInfo[i].description}, 8);
    xml.Node("Port", "Stream");
    return xml.Text();
}

// The streams CreateAndOpen made, which Free releases.
TqMadeSet<TqStream>& TheMade() {
    static auto* made = new TqMadeSet<TqStream>;   // streams may be freed while the process exits
    return *made;
}

}  // namespace

void Counters::Reset() {
    for (auto* c : {&blocksReceived, &blocksIncomplete, &blocksDropped, &blocksTooSmall, &blocksAborted,
                    &packetsReceived, &packetsMissing, &packetsIgnored, &packetsBad, &packetsRedundant,
                    &packetsOutOfOrder, &pipelineImagesDropped, &packetsRequested, &packetsRecovered, &packetsForeign})
        c->store(0);
}

State::State() {
    parameters = std::make_unique<TqGenParameterArray>();
    static const std::string& xml = *new std::string(BuildXml());   // kept while the process exits
    parameters->Load(xml.data(), xml.size(), std::make_shared<StatePort>(this));
}

// Buffers never retrieved are the application's again once the stream is gone.
State::~State() {
    for (TqBuffer* buffer : input) buffer->LeaveStream();
    for (const Done& done : output) done.buffer->LeaveStream();
}

void State::Finish(TqBuffer* aBuffer, uint32_t aResult) {
    output.push_back({aBuffer, aResult});
    ready.notify_all();
}

void State::AbortInput() {
    while (!input.empty()) {
        TqBuffer* buffer = input.front();
        input.pop_front();
        TqBufferReception reception;
        reception.mOperationResult = TQ_ABORTED;
        buffer->SetReception(buffer->GetPayloadType(), reception);
        counters.blocksAborted++;
        Finish(buffer, TQ_ABORTED);
    }
}

namespace {
// Guards every stream's user list and the users' links; never destroyed, as streams may outlive
// static destruction.
std::mutex& UsersLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::condition_variable& UserTold() {
    static auto* told = new std::condition_variable;
    return *told;
}
}  // namespace

void Link(TqStream& aStream, StreamUser& aUser) {
    State& s = StateOf(aStream);
    std::lock_guard<std::mutex> guard(UsersLock());
    s.users.push_back(&aUser);
    aUser.linked = &s;
}

void Unlink(StreamUser& aUser) {
    std::unique_lock<std::mutex> guard(UsersLock());
    if (State* s = aUser.linked) {
        s->users.erase(std::find(s->users.begin(), s->users.end(), &aUser));
        aUser.linked = nullptr;
    }
    UserTold().wait(guard, [&] { return !aUser.leaving; });
}

void ReleaseUsers(State& aState) {
    std::unique_lock<std::mutex> guard(UsersLock());
    while (!aState.users.empty()) {
        StreamUser* user = aState.users.back();
        aState.users.pop_back();
        user->linked = nullptr;
        user->leaving = true;
        guard.unlock();
        user->StreamGoing();
        guard.lock();
        user->leaving = false;
        UserTold().notify_all();
    }
}

uint32_t ExpectedPayloadSize(TqStream& aStream) {
    State& s = StateOf(aStream);
    std::string device;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.open) return 0;
        device = s.deviceAddress;   // a GigE Vision stream's device IP address (a GUID for USB3 Vision)
    }
    uint32_t ip = 0, size = 0;
    if (!TqGvcpClient::ParseIp(device, ip)) return 0;
    TqDeviceGEV::WithController(ip, [&](TqDeviceGEV& aController) {
        if (aController.IsConnected()) size = aController.GetPayloadSize();
    });
    return size;
}

}  // namespace TqStreamLib

using TqStreamLib::State;

TqStream::TqStream() : mState(std::make_unique<State>()) {}

TqStream::~TqStream() {
    Close();
    TqStreamLib::ReleaseUsers(*mState);   // a pipeline over the stream stops and forgets it
    TqStreamLib::TheMade().Forget(this);   // deleted some other way than by Free
}

namespace {
TqStream* Opened(TqStream* aStream, TqResult aResult, TqResult* aOut) {
    return TqStreamLib::TheMade().Keep(aStream, aResult, aOut);
}
}  // namespace

TqStream* TqStream::CreateAndOpen(const TqDeviceInfo* aDeviceInfo, TqResult* aResult) {
    if (!aDeviceInfo) {
        if (aResult) *aResult = TqResult(TQ_INVALID_PARAMETER, TqString("no device information"));
        return nullptr;
    }
    if (dynamic_cast<const TqDeviceInfoU3V*>(aDeviceInfo)) {
        auto* stream = new TqStreamU3V;
        return Opened(stream, stream->Open(aDeviceInfo), aResult);
    }
    if (!dynamic_cast<const TqDeviceInfoGEV*>(aDeviceInfo)) {
        if (aResult) *aResult = TqResult(TQ_NOT_SUPPORTED, TqString("streams of this kind of device are not supported"));
        return nullptr;
    }
    auto* stream = new TqStreamGEV;
    return Opened(stream, stream->Open(aDeviceInfo), aResult);
}

TqStream* TqStream::CreateAndOpen(const TqString& aInfo, TqResult* aResult) {
    const std::string text = aInfo.GetAscii() ? aInfo.GetAscii() : "";
    if (text.size() == 12 && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c); })) {
        auto* stream = new TqStreamU3V;   // a USB3 Vision device's GUID
        return Opened(stream, stream->Open(aInfo), aResult);
    }
    uint32_t ip = 0;
    if (!TqGvcpClient::ParseIp(text, ip)) {
        if (aResult)
            *aResult = TqResult(TQ_NOT_SUPPORTED,
                                TqString("only GigE Vision (an IP address) and USB3 Vision (a GUID) streams are supported"));
        return nullptr;
    }
    auto* stream = new TqStreamGEV;
    return Opened(stream, stream->Open(aInfo), aResult);
}

void TqStream::Free(TqStream* aStream) { TqStreamLib::TheMade().Free(aStream); }

TqResult TqStream::Close() {
    State& s = *mState;
    std::unique_ptr<TqStreamLib::Receiver> receiver;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.open) return TqResult(TQ_NOT_CONNECTED);
        s.open = false;
        s.linkLost = false;
        s.linkLostReason.clear();
        receiver = std::move(s.receiver);
    }
    if (receiver) receiver->Stop();   // the thread is gone: no buffer is written any more
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (receiver) receiver->AbortBlocks();
        s.AbortInput();
        s.aborts++;
        s.ready.notify_all();
    }
    if (receiver) receiver->Release();
    return TqResult(TQ_OK);
}

bool TqStream::IsOpen() const {
    std::lock_guard<std::mutex> guard(mState->lock);
    return mState->open;
}

uint16_t TqStream::GetChannel() {
    std::lock_guard<std::mutex> guard(mState->lock);
    return mState->channel;
}

uint32_t TqStream::GetQueuedBufferCount() const {
    std::lock_guard<std::mutex> guard(mState->lock);
    return mState->queued;
}

uint32_t TqStream::GetQueuedBufferMaximum() const {
    std::lock_guard<std::mutex> guard(mState->lock);
    return mState->capacity;
}

TqResult TqStream::QueueBuffer(TqBuffer* aBuffer) {
    if (!aBuffer) return TqResult(TQ_INVALID_PARAMETER, TqString("no buffer"));
    State& s = *mState;
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.open) return TqResult(TQ_NOT_CONNECTED);
    if (s.queued >= s.capacity) return TqResult(TQ_BUSY, TqString("the stream holds as many buffers as it can"));
    if (!aBuffer->EnterStream()) return TqResult(TQ_INVALID_PARAMETER, TqString("the buffer is queued already"));
    s.input.push_back(aBuffer);
    s.queued++;
    return TqResult(TQ_OK);
}

TqResult TqStream::RetrieveBuffer(TqBuffer** aBuffer, TqResult* aOperationResult, uint32_t aTimeout) {
    if (aBuffer) *aBuffer = nullptr;
    if (!aBuffer) return TqResult(TQ_INVALID_PARAMETER, TqString("no place for the buffer"));
    State& s = *mState;
    std::unique_lock<std::mutex> guard(s.lock);
    const uint64_t generation = s.aborts;
    auto ready = [&] { return !s.output.empty() || !s.open || s.linkLost || s.aborts != generation; };
    if (!ready()) {
        if (aTimeout == 0xFFFFFFFF) {
            s.ready.wait(guard, ready);
        } else {
            s.ready.wait_for(guard, std::chrono::milliseconds(aTimeout), ready);
        }
    }
    if (s.output.empty()) {
        if (!s.open && s.aborts == generation) return TqResult(TQ_NOT_CONNECTED);
        if (s.linkLost) return TqResult(TQ_NOT_CONNECTED, TqString(s.linkLostReason.c_str()));
        if (s.aborts != generation) return TqResult(TQ_ABORTED, TqString("the wait was aborted"));
        return TqResult(TQ_TIMEOUT);
    }
    TqStreamLib::Done done = s.output.front();
    s.output.pop_front();
    s.queued--;
    done.buffer->LeaveStream();
    *aBuffer = done.buffer;
    if (aOperationResult) *aOperationResult = TqResult(done.result);
    return TqResult(TQ_OK);
}

TqResult TqStream::AbortQueuedBuffers() {
    State& s = *mState;
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.open) return TqResult(TQ_NOT_CONNECTED);
    if (s.receiver) s.receiver->AbortBlocks();
    s.AbortInput();
    s.aborts++;
    s.ready.notify_all();
    return TqResult(TQ_OK);
}

TqResult TqStream::RegisterEventSink(TqStreamEventSink* aEventSink) {
    if (!aEventSink) return TqResult(TQ_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(mState->lock);
    auto& sinks = mState->sinks;
    if (std::find(sinks.begin(), sinks.end(), aEventSink) != sinks.end())
        return TqResult(TQ_INVALID_PARAMETER, TqString("the sink is registered already"));
    sinks.push_back(aEventSink);
    return TqResult(TQ_OK);
}

TqResult TqStream::UnregisterEventSink(TqStreamEventSink* aEventSink) {
    if (!aEventSink) return TqResult(TQ_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(mState->lock);
    auto& sinks = mState->sinks;
    auto it = std::find(sinks.begin(), sinks.end(), aEventSink);
    if (it == sinks.end()) return TqResult(TQ_NOT_FOUND);
    sinks.erase(it);
    return TqResult(TQ_OK);
}

TqGenParameterArray* TqStream::GetParameters() { return mState->parameters.get(); }
