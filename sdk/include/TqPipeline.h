// The buffer pipeline (library TqStream64): a helper of a TqStream that owns a pool of buffers, keeps
// the stream's queue full from one thread of its own, and offers the filled buffers in an output
// queue (RetrieveNextBuffer, ReleaseBuffer). Its events go to registered TqPipelineEventSink objects.
//
// - Pool: GetBufferCount buffers (default 16, never fewer than 4: SetBufferCount below 4 gives
//   TQ_INVALID_PARAMETER; a count whose pool at the current buffer size needs more memory than the
//   process can be given, TQ_NOT_ENOUGH_MEMORY, the count unchanged). Start makes what is missing,
//   after the same check of the count at the size it starts with (TQ_NOT_ENOUGH_MEMORY, nothing
//   made, when it fails); the pool outlives Stop and goes with the
//   pipeline. SetBufferCount on a running pipeline pauses it while buffers are added or removed
//   (stopped: the surplus spare buffers go at once, the missing ones come with Start). Only free
//   buffers are removed; one the application holds goes when it is released, ready and queued ones
//   when they come back. Buffers the application holds are not counted as free until released.
// - Buffer size: GetBufferSize bytes (0, the default, means automatic: at each Start the stream's
//   expected block size when it can tell, that is a GigE Vision stream whose device this process
//   controls (its PayloadSize); else 64 KiB at first; either way the pool follows the blocks that
//   arrive). A buffer below the required size is re-allocated when queued; one more than four times
//   the required size is shrunk. Buffers are allocated when queued, not when made.
// - Too-small blocks: with HandleBufferTooSmall (default false), a block that came back
//   TQ_BUFFER_TOO_SMALL makes the pipeline ask the sinks (OnBufferTooSmall), re-allocate the buffer
//   to the required size and queue it again; without it the buffer goes to the output queue like any
//   other. Either way the required size becomes the pool's size when it was automatic; a fixed size
//   grows to it only when the pipeline handles the block. A required size that the pool at its count
//   cannot take within the process's memory is ignored: the block goes to the output queue as it is.
//   A sink that sets aReallocAll has the stream give back every buffer it holds (aborted) to be
//   re-allocated at once rather than one block at a time; aResetStats zeroes the stream's statistics.
// - Output queue: the stream keeps at least half the pool (GetBufferCount / 2) queued. When the
//   application does not keep up, the oldest ready buffers go back to the stream to keep it so, and
//   the stream parameter PipelineImagesDropped counts them: the output queue holds the newest blocks,
//   at most half the pool (less what the application holds). The newest ready buffer goes only when
//   the stream would otherwise hold none. Buffers that come back aborted are queued again, never
//   output.
// - Start: TQ_OK, or TQ_STATE_ERROR when already started, the stream is null, closed or was
//   destroyed, or from inside a callback on a thread of a pipeline stopped there (the thread has yet
//   to end). Stop: TQ_OK (TQ_STATE_ERROR when not started); it aborts the stream's queue, joins the
//   pipeline's threads after the callback in progress (from inside a callback on one of them it joins
//   neither; they end after the callback) and takes every buffer back (ready ones included; those the
//   application holds stay valid and may still be released). Reset: only while running (else, or during another reset,
//   TQ_STATE_ERROR): aborts the stream, waits for every buffer it held, empties the output queue,
//   calls OnReset and queues a fresh set.
// - RetrieveNextBuffer waits up to aTimeout ms for a ready buffer: TQ_OK with the buffer and its
//   operation result; TQ_TIMEOUT (TQ_STATE_ERROR at once when not started, and when Stop ends the
//   wait; TQ_INVALID_PARAMETER for a null aBuffer). ReleaseBuffer: a buffer the pipeline handed out
//   goes back to the pool (TQ_INVALID_PARAMETER for null or another buffer).
// - Thread priority 0..99 (0 the normal policy, 1..99 SCHED_FIFO when the process may; refused:
//   TQ_THREAD_ERROR with the value kept); above 99 TQ_INVALID_PARAMETER. Applied to the running
//   thread at once, else tried on a passing thread, and applied again whenever the thread starts.
//   It is the pipeline thread's; the thread that calls OnBufferReady keeps the normal policy.
// - A null stream: every operation that needs it fails (TQ_STATE_ERROR or TQ_INVALID_PARAMETER).
// - Sinks: RegisterEventSink (null: TQ_INVALID_PARAMETER, twice: TQ_GENERIC_ERROR), UnregisterEventSink
//   (not registered: TQ_NOT_FOUND; waits for the sink's running callback unless called from inside
//   it). Sinks are called with no pipeline lock held; an exception out of a sink is caught and counts
//   as a failed callback. Who calls back: OnBufferCreated right after a buffer is made (before its
//   memory is allocated) and OnBufferDeleted right before it is deleted, on the thread doing it;
//   OnStart, OnStop, OnReset on the caller's thread; OnBufferTooSmall on the pipeline thread (which
//   keeps the stream's queue full); OnBufferReady on a second thread of the pipeline, once for each
//   buffer that became ready, so that a slow OnBufferReady never holds up the stream (the calls owed
//   for buffers dropped meanwhile are skipped).
// - Destroying a running pipeline stops it first (not from inside one of its own callbacks).
// - Destroying the stream (TqStream::Free, or delete) stops a running pipeline first, even from inside
//   one of its callbacks; the pipeline then forgets the stream: IsStarted is false, Start and Reset
//   give TQ_STATE_ERROR, held buffers may still be released, and the pipeline may be destroyed later.
//   Closing the stream under a running pipeline leaves it running with nothing to receive.
#pragma once

#include "TqBuffer.h"
#include "TqLiveObjects.h"
#include "TqResult.h"

#include <cstdint>

class TqStream;
class TqPipeline;

class TqPipelineEventSink {
public:
    TqPipelineEventSink();
    virtual ~TqPipelineEventSink();
    virtual void OnBufferCreated(TqPipeline* aPipeline, TqBuffer* aBuffer);
    virtual void OnBufferDeleted(TqPipeline* aPipeline, TqBuffer* aBuffer);
    virtual void OnStart(TqPipeline* aPipeline);
    virtual void OnStop(TqPipeline* aPipeline);
    virtual void OnReset(TqPipeline* aPipeline);
    // The default sets neither flag; it never writes through a null pointer.
    virtual void OnBufferTooSmall(TqPipeline* aPipeline, bool* aReallocAll, bool* aResetStats);
    virtual void OnBufferReady(TqPipeline* aPipeline);

private:
    TqLiveObjects::Counter mCounter{"TqPipelineEventSink"};
};

class TqPipeline {
public:
    explicit TqPipeline(TqStream* aStream);
    virtual ~TqPipeline();
    TqPipeline(const TqPipeline&) = delete;
    TqPipeline& operator=(const TqPipeline&) = delete;

    TqResult Start();
    TqResult Stop();
    TqResult Reset();
    bool IsStarted();

    TqResult RetrieveNextBuffer(TqBuffer** aBuffer, uint32_t aTimeout = 0xFFFFFFFF, TqResult* aOperationResult = nullptr);
    TqResult ReleaseBuffer(TqBuffer* aBuffer);

    uint32_t GetBufferSize() const;
    void SetBufferSize(uint32_t aSize);
    uint32_t GetBufferCount() const;
    TqResult SetBufferCount(uint32_t aBufferCount);
    uint32_t GetOutputQueueSize() const;
    bool GetHandleBufferTooSmall() const;
    void SetHandleBufferTooSmall(bool aValue);
    uint32_t GetBufferHandlingThreadPriority() const;
    TqResult SetBufferHandlingThreadPriority(uint32_t aPriority);

    TqResult RegisterEventSink(TqPipelineEventSink* aEventSink);
    TqResult UnregisterEventSink(TqPipelineEventSink* aEventSink);

private:
    struct Impl;
    Impl* mImpl;
    TqLiveObjects::Counter mCounter{"TqPipeline"};
};
