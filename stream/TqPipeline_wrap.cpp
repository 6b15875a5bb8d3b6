// TqPipeline: a pool of buffers kept queued in a stream by the SDK's own thread, handed to Python
// through an output queue; and TqPipelineEventSink, the callbacks Python subclasses, with its
// director. The pipeline's proxy keeps its stream's proxy alive, and each registered sink stays
// alive while registered.
#include "arg_kinds.h"
#include "directors.h"
#include "streams.h"

#include "TqPipeline.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

// The pointer forms of RetrieveNextBuffer: named among the prototypes, never chosen (nothing Python
// holds can stand for the SDK's `TqBuffer **`).
int refuse_always(PyObject*, Slot&, const ParamShape&) { return SwigError_Failed; }
constexpr ParamKind kUnreachableKind{refuse_always, nullptr, nullptr, nullptr, Rank_Pointer, false, nullptr};
using UnreachableBufferPointer = PointerKind<"TqBuffer **", &kUnreachableKind, nullptr, TqBuffer**>;

using P = TqPipeline;
using Sink = TqPipelineEventSink;

TqResult retrieve(P* self, TqBuffer** buffer, uint32_t timeout, TqResult& operation) {
    return self->RetrieveNextBuffer(buffer, timeout, &operation);
}
TqResult retrieve_waiting(P* self, TqBuffer** buffer, uint32_t timeout) {
    return self->RetrieveNextBuffer(buffer, timeout);
}
TqResult retrieve_forever(P* self, TqBuffer** buffer) { return self->RetrieveNextBuffer(buffer); }

using OperationResult = Spelled<"TqResult *", Made<TqResult&>>;

class SwigDirector_TqPipelineEventSink : public DirectorOf<Sink, "TqPipelineEventSink"> {
public:
    KIVO_DIRECTOR(SwigDirector_TqPipelineEventSink)
    KIVO_VIRTUAL(void, OnBufferCreated, P*, TqBuffer*)
    KIVO_VIRTUAL(void, OnBufferDeleted, P*, TqBuffer*)
    KIVO_VIRTUAL(void, OnStart, P*)
    KIVO_VIRTUAL(void, OnStop, P*)
    KIVO_VIRTUAL(void, OnReset, P*)
    KIVO_VIRTUAL(void, OnBufferTooSmall, P*, bool*, bool*)
    KIVO_VIRTUAL(void, OnBufferReady, P*)
};

}  // namespace

Entries pipeline_entries() {
    return {
        constructor_with<"new_TqPipeline", P, KeepAlive<1>, TqStream*>("aStream"),
        delete_entry<"delete_TqPipeline", P, &forget_registered>(),
        method<"TqPipeline_Start", &P::Start>(),
        method<"TqPipeline_Stop", &P::Stop>(),
        method<"TqPipeline_Reset", &P::Reset>(),
        method<"TqPipeline_IsStarted", &P::IsStarted>(),
        overloaded<"TqPipeline_RetrieveNextBuffer">(
            meth<&retrieve, TupleOutputs<>, Params<TqBuffer**, uint32_t, OperationResult>>(
                "aBuffer", "aTimeout", "aOperationResult"),
            meth<&retrieve_waiting, Default, Params<UnreachableBufferPointer, uint32_t>>("aBuffer", "aTimeout"),
            meth<&retrieve_forever, Default, Params<UnreachableBufferPointer>>("aBuffer")),
        method<"TqPipeline_ReleaseBuffer", &P::ReleaseBuffer, GivesBack<2>>("aBuffer"),
        method<"TqPipeline_GetBufferSize", &P::GetBufferSize>(),
        method<"TqPipeline_SetBufferSize", &P::SetBufferSize>("aSize"),
        method<"TqPipeline_GetBufferCount", &P::GetBufferCount>(),
        method<"TqPipeline_SetBufferCount", &P::SetBufferCount>("aBufferCount"),
        method<"TqPipeline_GetOutputQueueSize", &P::GetOutputQueueSize>(),
        method<"TqPipeline_GetHandleBufferTooSmall", &P::GetHandleBufferTooSmall>(),
        method<"TqPipeline_SetHandleBufferTooSmall", &P::SetHandleBufferTooSmall>("aValue"),
        method<"TqPipeline_GetBufferHandlingThreadPriority", &P::GetBufferHandlingThreadPriority>(),
        method<"TqPipeline_SetBufferHandlingThreadPriority", &P::SetBufferHandlingThreadPriority>("aPriority"),
        method<"TqPipeline_RegisterEventSink", &P::RegisterEventSink, Registers<>>("aEventSink"),
        method<"TqPipeline_UnregisterEventSink", &P::UnregisterEventSink, Unregisters<>>("aEventSink"),
        registration<"TqPipeline_swigregister", P>(),
        initialisation<"TqPipeline_swiginit">(),
    };
}

// The docstrings' texts of TqPipeline's rows.
const DocTable kPipelineDocs{
    summary("new_TqPipeline",
            "The TqPipeline is just a helper of a TqStream class. The caller remains the owner of the stream; the "
            "pipeline's proxy keeps the stream's proxy alive."),
    summary("TqPipeline_Start",
            "The pipeline must be running for buffers to reach RetrieveNextBuffer. Start starts a thread that "
            "continually ensures that buffers are allocated and ready in the #TqStream so that incoming data is "
            "captured."),
    summary("TqPipeline_Reset",
            "Synchronously aborts the stream, waits for all buffers to be removed from the stream and queues in a "
            "fresh set of buffers. Called only while the pipeline runs.\n\nResults: STATE_ERROR If already waiting "
            "for another reset to complete or if not running."),
    summary("TqPipeline_RetrieveNextBuffer",
            "aTimeout: The default value is 0xFFFFFFFF milliseconds (wait forever); the timeout is required from "
            "Python.\n\n:return: The acquired TqBuffer frame or None if result is not OK."),
    summary("TqPipeline_ReleaseBuffer",
            "All buffers retrieved through RetrieveNextBuffer must be released back to the pipeline; a minimum of 4 "
            "buffers must be available to the pipeline at all times.\n\nResults: NOT_ENOUGH_MEMORY May occur if the "
            "buffer size needs to be increased but not enough memory is available."),
    summary("TqPipeline_SetBufferSize",
            "A buffer is re-allocated when queued if its size is below the required size (BUFFER_TOO_SMALL). If the "
            "buffer size is more than four times the required buffer size, it is re-allocated in order to save "
            "memory. The pipeline automatically adjusts the buffer size based on incoming buffers."),
    summary("TqPipeline_SetBufferCount",
            "Buffers are added or removed as necessary until the actual buffer count matches the desired buffer "
            "count being set. During this time, the pipeline is paused temporarily."),
    summary("TqPipeline_GetOutputQueueSize",
            "If the calling application cannot retrieve buffers at the rate that data is arriving, buffers are "
            "silently dropped (the stream parameter PipelineImagesDropped counts them)."),
    summary("TqPipeline_SetHandleBufferTooSmall",
            "When set, buffers whose operation result is BUFFER_TOO_SMALL are re-allocated and re-queued for "
            "acquisition automatically, and OnBufferTooSmall is asked how to handle the condition; when not set, "
            "such buffers go to the output queue like any other."),
    summary("TqPipeline_SetBufferHandlingThreadPriority",
            "On Linux 0 to 99 under SCHED_FIFO, 99 the highest (0: the normal policy).\n\nResults: "
            "INVALID_PARAMETER, THREAD_ERROR."),
};

Entries pipeline_event_sink_entries() {
    using D = SwigDirector_TqPipelineEventSink;
    return {
        director_constructor<"new_TqPipelineEventSink", D, Sink, true>(),
        delete_entry<"delete_TqPipelineEventSink", Sink>(),
        disown_entry<"disown_TqPipelineEventSink", Sink>(),
        documented(director_virtual<D, D::V_OnBufferCreated>("aPipeline", "aBuffer")),
        documented(director_virtual<D, D::V_OnBufferDeleted>("aPipeline", "aBuffer")),
        documented(director_virtual<D, D::V_OnStart>("aPipeline")),
        documented(director_virtual<D, D::V_OnStop>("aPipeline")),
        documented(director_virtual<D, D::V_OnReset>("aPipeline")),
        documented(director_virtual<D, D::V_OnBufferTooSmall, Params<DirectorSelf<Sink>, P*, BoolPointer, BoolPointer>>(
            "aPipeline", "aReallocAll", "aResetStats")),
        documented(director_virtual<D, D::V_OnBufferReady>("aPipeline")),
        registration<"TqPipelineEventSink_swigregister", Sink>(),
        initialisation<"TqPipelineEventSink_swiginit">(),
    };
}

// The docstrings' texts of TqPipelineEventSink's rows.
const DocTable kPipelineEventSinkDocs{
    whole("new_TqPipelineEventSink", "Constructor."),
    whole("delete_TqPipelineEventSink", "Destructor."),
    summary("TqPipelineEventSink_OnBufferCreated",
            "This callback is invoked right after the TqBuffer has been created but before its payload has been "
            "allocated."),
    summary("TqPipelineEventSink_OnBufferDeleted", "This callback is invoked right before the TqBuffer is deleted."),
    summary("TqPipelineEventSink_OnStart",
            "This callback is invoked from the same thread that called #TqPipeline::Start."),
    summary("TqPipelineEventSink_OnStop", "This callback is invoked from the same thread that called #TqPipeline::Stop."),
    summary("TqPipelineEventSink_OnReset",
            "This callback is invoked from the same thread that called #TqPipeline::Reset."),
    summary("TqPipelineEventSink_OnBufferTooSmall",
            "This callback is invoked from the pipeline thread.\n\naReallocAll: If set to true by at least one of the "
            "sinks, synchronous buffer re-allocation will be performed.\naResetStats: If set to true by at least one "
            "of the sinks, stream statistics are reset. The aResetStats parameter is only considered if aReallocAll "
            "is set to true."),
    summary("TqPipelineEventSink_OnBufferReady",
            "Invoked after a buffer has been retrieved from stream and is ready for retrieve"),
};

}  // namespace kivo::module
