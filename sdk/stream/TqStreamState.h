// The inner state of a stream (internal to the stream library): the caller's buffers on their way
// through the receiver, the counters and settings that the stream's parameters show, and the kind's
// receiver behind a small interface so that the base class can close any kind.
//
// Buffers: QueueBuffer appends to `input`; the receiver takes one from there for each block it starts
// and gives it back, filled, to `output`; RetrieveBuffer takes from `output`. `queued` counts what
// was queued and not yet retrieved (input, blocks in progress and output together). Everything under
// `lock`; `ready` is signalled whenever `output` grows, an abort happens, the device's link is lost or
// the stream closes.
#pragma once

#include "TqBuffer.h"
#include "TqGenParameterArray.h"
#include "TqResult.h"
#include "TqResultCodes.h"
#include "TqStream.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TqStreamEventSink;

namespace TqStreamLib {

struct State;

// A helper that works beside a stream (the pipeline) and must let go of it before the stream goes.
// Linked to one stream at a time; the stream's destructor tells each linked user, one after the
// other, after the stream closed and while its queue can still be emptied.
class StreamUser {
public:
    // Called from the stream's destructor with no stream lock held: the user stops using the stream
    // (taking its buffers back) and forgets it before returning.
    virtual void StreamGoing() = 0;

    // Under the library's user lock: the stream linked, and whether its destructor is telling this
    // user right now.
    State* linked = nullptr;
    bool leaving = false;

protected:
    ~StreamUser() = default;
};

// Links a user to a stream (it has none yet).
void Link(TqStream& aStream, StreamUser& aUser);
// Unlinks a user before it goes; while the stream's destructor is telling it, waits until it is done.
void Unlink(StreamUser& aUser);
// The stream's destructor: tells every linked user (see StreamUser::StreamGoing) and unlinks it.
void ReleaseUsers(State& aState);
// The size of the blocks the stream expects, in bytes, when it can tell (the device's PayloadSize,
// read through the GigE Vision device of this process that controls the stream's device); 0 when
// it cannot.
uint32_t ExpectedPayloadSize(TqStream& aStream);

// What the stream's parameters show, readable without the lock. On cache lines of their own: the
// receiver counts each datagram, while other threads take buffers in and out of the state beside.
struct alignas(64) Counters {
    std::atomic<uint64_t> blocksReceived{0};     // handed back complete (OK)
    std::atomic<uint64_t> blocksIncomplete{0};   // handed back with packets missing
    std::atomic<uint64_t> blocksDropped{0};      // no buffer was queued when they began
    std::atomic<uint64_t> blocksTooSmall{0};     // did not fit their buffer
    std::atomic<uint64_t> blocksAborted{0};      // buffers handed back aborted
    std::atomic<uint64_t> packetsReceived{0};    // datagrams of the device read from the socket
    std::atomic<uint64_t> packetsMissing{0};     // packets (leader, payload, trailer) never seen in handed-back blocks
    std::atomic<uint64_t> packetsIgnored{0};     // well-formed, but of no block in progress
    std::atomic<uint64_t> packetsBad{0};         // malformed or pointing outside their block
    std::atomic<uint64_t> packetsRedundant{0};   // seen before (duplicate leaders, trailers, payload)
    std::atomic<uint64_t> packetsOutOfOrder{0};
    std::atomic<uint64_t> pipelineImagesDropped{0};
    std::atomic<uint64_t> packetsRequested{0};   // packet IDs asked for again (PACKETRESEND)
    std::atomic<uint64_t> packetsRecovered{0};   // packets that arrived after they were asked for
    std::atomic<uint64_t> packetsForeign{0};     // datagrams from another sender than the device, dropped

    void Reset();
};
static_assert(sizeof(Counters) % 64 == 0);

// One more of a count that only holders of the state lock write (the GigE Vision receiver's count of
// each datagram): a load and a store, where a locked increment would wait, on every datagram, for
// the copy of the one before to reach memory.
inline void Bump(std::atomic<uint64_t>& aCount) {
    aCount.store(aCount.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// What the USB3 Vision receiver did with the payloads it handed back whole: copied in from the
// staging area of their transfer (payloads below the small image threshold) or filled in place; and
// the most transfers that were in flight at once. Zero for the other kinds.
struct Transfers {
    std::atomic<uint64_t> copied{0};
    std::atomic<uint64_t> inPlace{0};
    std::atomic<uint64_t> mostInFlight{0};

    void Reset() {
        copied = 0;
        inPlace = 0;
        mostInFlight = 0;
    }
};

// The kind-specific part of an open stream (the GigE Vision or the USB3 Vision receiver).
class Receiver {
public:
    virtual ~Receiver() {}
    // Stops the receiver thread; called without the state lock. After it, no buffer is touched.
    virtual void Stop() = 0;
    // Gives back whatever the receiver still fills (state lock held): each to `output`, aborted.
    virtual void AbortBlocks() = 0;
    // Releases the network side (sockets, control session, the device's destination).
    virtual void Release() = 0;
};

struct Done {
    TqBuffer* buffer = nullptr;
    uint32_t result = 0;
};

struct State {
    State();
    ~State();

    std::mutex lock;
    std::condition_variable ready;
    bool open = false;
    uint32_t capacity = 0;
    uint32_t queued = 0;
    uint64_t aborts = 0;   // generation of AbortQueuedBuffers and Close: wakes a waiting retrieve
    bool linkLost = false; // the device's controlling link was lost: retrieves end (until Close)
    std::string linkLostReason;   // why, as retrieves tell it
    uint16_t channel = 0;
    std::deque<TqBuffer*> input;
    std::deque<Done> output;
    std::vector<TqStreamEventSink*> sinks;
    std::unique_ptr<Receiver> receiver;

    // Settings (the parameters read and write them).
    std::atomic<uint32_t> imageTimeout{1000};   // ms
    std::atomic<bool> waitForLeader{false};     // StartStreamOnlyOnPacketIdZero
    std::atomic<bool> requestResends{false};    // RequestMissingPackets (GigE Vision: on from TqStreamGEV)
    std::atomic<uint32_t> dataPort{0};
    std::string localAddress, multicastAddress;   // under lock
    Counters counters;
    Transfers transfers;

    // The GigE Vision receiver's settings, made before Open (under lock).
    uint32_t socketBufferSize = 0;      // SO_RCVBUF asked for; 0: the receiver's default
    uint32_t packetBufferSize = 17000;  // the largest datagram read whole
    uint32_t priority = 0;
    uint16_t specificPort = 0;          // the local port asked for at Open
    std::string deviceAddress;          // a USB3 Vision stream's: the device's GUID

    std::unique_ptr<TqGenParameterArray> parameters;
    std::vector<StreamUser*> users;   // under the library's user lock

    // Hands a buffer back (lock held) and wakes a waiting retrieve.
    void Finish(TqBuffer* aBuffer, uint32_t aResult);
    // Every buffer not yet filled goes back aborted (lock held).
    void AbortInput();
};

// The state behind a stream, for the helpers of this library that work beside a stream (the
// pipeline). TqStream keeps it protected; a member pointer formed in a derived class reaches it.
inline State& StateOf(TqStream& aStream) {
    struct Reach : TqStream {
        static std::unique_ptr<State> TqStream::*Member() { return &Reach::mState; }
    };
    return *(aStream.*Reach::Member());
}

// Buffers a pipeline took back from its output queue to keep the stream fed (PipelineImagesDropped).
inline void CountPipelineDrops(TqStream& aStream, uint64_t aCount) {
    StateOf(aStream).counters.pipelineImagesDropped += aCount;
}

// Whether the stream's link to its device is lost (retrieves answer TQ_NOT_CONNECTED with the reason).
inline bool LinkLost(TqStream& aStream) {
    State& state = StateOf(aStream);
    std::lock_guard<std::mutex> guard(state.lock);
    return state.linkLost;
}

// Zeroes the counters the stream's parameters show.
inline void ResetStatistics(TqStream& aStream) {
    State& state = StateOf(aStream);
    std::lock_guard<std::mutex> guard(state.lock);   // the receiver bumps its counts under it
    state.counters.Reset();
}


// The addresses every network stream reports: its local port (0 when closed), its local and multicast
// addresses.
inline uint16_t LocalPortOf(State& aState) {
    std::lock_guard<std::mutex> guard(aState.lock);
    return aState.open ? static_cast<uint16_t>(aState.dataPort.load()) : 0;
}
inline TqString LocalAddressOf(State& aState) {
    std::lock_guard<std::mutex> guard(aState.lock);
    return TqString(aState.localAddress.c_str());
}
inline TqString MulticastAddressOf(State& aState) {
    std::lock_guard<std::mutex> guard(aState.lock);
    return TqString(aState.multicastAddress.c_str());
}

// The priority of a network stream's receiver thread (0 to 99).
inline uint32_t PriorityOf(State& aState) {
    std::lock_guard<std::mutex> guard(aState.lock);
    return aState.priority;
}
inline TqResult SetPriority(State& aState, uint32_t aPriority) {
    if (aPriority > 99) return TqResult(TQ_INVALID_PARAMETER, TqString("priorities go from 0 to 99"));
    std::lock_guard<std::mutex> guard(aState.lock);
    aState.priority = aPriority;
    return TqResult(TQ_OK);
}

}  // namespace TqStreamLib
