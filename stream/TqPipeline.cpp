// TqPipeline: a pool of buffers kept queued in a stream by the SDK's own thread, handed to Python
// through an output queue; and TqPipelineEventSink, the callbacks Python subclasses, with its
// director. The pipeline's proxy keeps its stream's proxy alive, and each registered sink stays
// alive while registered.
#include "directors.h"
#include "streams.h"

#include "TqPipeline.h"

namespace kivo::module {
namespace {

SwigTypeInfo* bool_pointer_descriptor() { return type(TypeId::Bool); }

// A bool the SDK hands a callback by address: a bare pointer object of `bool *`, None for null.
struct BoolPointer {};

// The pointer forms of RetrieveNextBuffer: named among the prototypes, never chosen (nothing Python
// holds can stand for the SDK's `TqBuffer **`).
struct UnreachableBufferPointer {};
int refuse_always(PyObject*, kivo::rt::Slot&, const kivo::rt::ParamShape&) { return SwigError_Failed; }
constexpr kivo::rt::ParamKind kUnreachableKind{refuse_always, nullptr, nullptr, nullptr, kivo::rt::Rank_Pointer,
                                               false, nullptr};

}  // namespace
}  // namespace kivo::module

template <>
struct kivo::rt::ParamOf<kivo::module::BoolPointer>
    : kivo::rt::InputParam<&kivo::rt::kPointerKind, &kivo::module::bool_pointer_descriptor> {
    static bool* take(Slot& s) { return static_cast<bool*>(s.as<void*>()); }
};
template <>
struct kivo::rt::Decl<kivo::module::BoolPointer> {
    static std::string get() { return "bool *"; }
};
template <>
struct kivo::rt::ParamOf<kivo::module::UnreachableBufferPointer> : kivo::rt::InputParam<&kivo::module::kUnreachableKind> {
    static TqBuffer** take(Slot& s) { return static_cast<TqBuffer**>(s.as<void*>()); }
};
template <>
struct kivo::rt::Decl<kivo::module::UnreachableBufferPointer> {
    static std::string get() { return "TqBuffer **"; }
};

namespace kivo::module {

using namespace kivo::rt;

namespace {

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

class SwigDirector_TqPipelineEventSink
    : public DirectorOf<Sink, "TqPipelineEventSink", "OnBufferCreated", "OnBufferDeleted", "OnStart", "OnStop",
                        "OnReset", "OnBufferTooSmall", "OnBufferReady"> {
public:
    using DirectorOf::DirectorOf;
    void OnBufferCreated(P* aPipeline, TqBuffer* aBuffer) override { call<void, 0>(aPipeline, aBuffer); }
    void OnBufferDeleted(P* aPipeline, TqBuffer* aBuffer) override { call<void, 1>(aPipeline, aBuffer); }
    void OnStart(P* aPipeline) override { call<void, 2>(aPipeline); }
    void OnStop(P* aPipeline) override { call<void, 3>(aPipeline); }
    void OnReset(P* aPipeline) override { call<void, 4>(aPipeline); }
    void OnBufferTooSmall(P* aPipeline, bool* aReallocAll, bool* aResetStats) override {
        using Flag = PointerArgument<&bool_pointer_descriptor>;
        call<void, 5>(aPipeline, Flag{aReallocAll}, Flag{aResetStats});
    }
    void OnBufferReady(P* aPipeline) override { call<void, 6>(aPipeline); }
};

// The SDK's own members, called without the virtual dispatch: a subclass's up-call to its base.
void created(Sink* s, P* p, TqBuffer* b) { s->Sink::OnBufferCreated(p, b); }
void deleted(Sink* s, P* p, TqBuffer* b) { s->Sink::OnBufferDeleted(p, b); }
void started(Sink* s, P* p) { s->Sink::OnStart(p); }
void stopped(Sink* s, P* p) { s->Sink::OnStop(p); }
void reset(Sink* s, P* p) { s->Sink::OnReset(p); }
void too_small(Sink* s, P* p, bool* realloc_all, bool* reset_stats) { s->Sink::OnBufferTooSmall(p, realloc_all, reset_stats); }
void ready(Sink* s, P* p) { s->Sink::OnBufferReady(p); }

}  // namespace

Entries pipeline_entries() {
    return {
        described(constructor_with<"new_TqPipeline", P, KeepAlive<1>, TqStream*>("aStream"),
                  "The TqPipeline is just a helper of a TqStream class. The caller remains the owner of the stream; "
                  "the pipeline's proxy keeps the stream's proxy alive."),
        delete_entry<"delete_TqPipeline", P, &forget_registered>(),
        described(method<"TqPipeline_Start", &P::Start>(),
                  "The pipeline must be running for buffers to reach RetrieveNextBuffer. Start starts a thread that "
                  "continually ensures that buffers are allocated and ready in the #TqStream so that incoming data "
                  "is captured."),
        method<"TqPipeline_Stop", &P::Stop>(),
        described(method<"TqPipeline_Reset", &P::Reset>(),
                  "Synchronously aborts the stream, waits for all buffers to be removed from the stream and queues "
                  "in a fresh set of buffers. Called only while the pipeline runs.\n\nResults: STATE_ERROR If "
                  "already waiting for another reset to complete or if not running."),
        method<"TqPipeline_IsStarted", &P::IsStarted>(),
        described(overloaded<"TqPipeline_RetrieveNextBuffer">(
                      meth<&retrieve, TupleOutputs<>, Params<TqBuffer**, uint32_t, OperationResult>>(
                          "aBuffer", "aTimeout", "aOperationResult"),
                      meth<&retrieve_waiting, Default, Params<UnreachableBufferPointer, uint32_t>>("aBuffer",
                                                                                                  "aTimeout"),
                      meth<&retrieve_forever, Default, Params<UnreachableBufferPointer>>("aBuffer")),
                  "aTimeout: The default value is 0xFFFFFFFF milliseconds (wait forever); the timeout is required "
                  "from Python.\n\n:return: The acquired TqBuffer frame or None if result is not OK."),
        described(method<"TqPipeline_ReleaseBuffer", &P::ReleaseBuffer, GivesBack<2>>("aBuffer"),
                  "All buffers retrieved through RetrieveNextBuffer must be released back to the pipeline; a "
                  "minimum of 4 buffers must be available to the pipeline at all times.\n\nResults: "
                  "NOT_ENOUGH_MEMORY May occur if the buffer size needs to be increased but not enough memory is "
                  "available."),
        method<"TqPipeline_GetBufferSize", &P::GetBufferSize>(),
        described(method<"TqPipeline_SetBufferSize", &P::SetBufferSize>("aSize"),
                  "A buffer is re-allocated when queued if its size is below the required size (BUFFER_TOO_SMALL). "
                  "If the buffer size is more than four times the required buffer size, it is re-allocated in order "
                  "to save memory. The pipeline automatically adjusts the buffer size based on incoming buffers."),
        method<"TqPipeline_GetBufferCount", &P::GetBufferCount>(),
        described(method<"TqPipeline_SetBufferCount", &P::SetBufferCount>("aBufferCount"),
                  "Buffers are added or removed as necessary until the actual buffer count matches the desired "
                  "buffer count being set. During this time, the pipeline is paused temporarily."),
        described(method<"TqPipeline_GetOutputQueueSize", &P::GetOutputQueueSize>(),
                  "If the calling application cannot retrieve buffers at the rate that data is arriving, buffers "
                  "are silently dropped (the stream parameter PipelineImagesDropped counts them)."),
        method<"TqPipeline_GetHandleBufferTooSmall", &P::GetHandleBufferTooSmall>(),
        described(method<"TqPipeline_SetHandleBufferTooSmall", &P::SetHandleBufferTooSmall>("aValue"),
                  "When set, buffers whose operation result is BUFFER_TOO_SMALL are re-allocated and re-queued for "
                  "acquisition automatically, and OnBufferTooSmall is asked how to handle the condition; when not "
                  "set, such buffers go to the output queue like any other."),
        method<"TqPipeline_GetBufferHandlingThreadPriority", &P::GetBufferHandlingThreadPriority>(),
        described(method<"TqPipeline_SetBufferHandlingThreadPriority", &P::SetBufferHandlingThreadPriority>(
                      "aPriority"),
                  "On Linux 0 to 99 under SCHED_FIFO, 99 the highest (0: the normal policy).\n\nResults: "
                  "INVALID_PARAMETER, THREAD_ERROR."),
        method<"TqPipeline_RegisterEventSink", &P::RegisterEventSink, After<kept_registered>>("aEventSink"),
        method<"TqPipeline_UnregisterEventSink", &P::UnregisterEventSink, After<dropped_registered>>("aEventSink"),
        registration<"TqPipeline_swigregister", P>(),
        initialisation<"TqPipeline_swiginit">(),
    };
}

Entries pipeline_event_sink_entries() {
    using D = SwigDirector_TqPipelineEventSink;
    return {
        director_constructor<"new_TqPipelineEventSink", D, Sink, true>(),
        undocumented(delete_entry<"delete_TqPipelineEventSink", Sink>()),
        disown_entry<"disown_TqPipelineEventSink", Sink>(),
        director_default_method<"TqPipelineEventSink_OnBufferCreated", &Sink::OnBufferCreated, &created>("aPipeline",
                                                                                                    "aBuffer"),
        director_default_method<"TqPipelineEventSink_OnBufferDeleted", &Sink::OnBufferDeleted, &deleted>("aPipeline",
                                                                                                    "aBuffer"),
        director_default_method<"TqPipelineEventSink_OnStart", &Sink::OnStart, &started>("aPipeline"),
        director_default_method<"TqPipelineEventSink_OnStop", &Sink::OnStop, &stopped>("aPipeline"),
        director_default_method<"TqPipelineEventSink_OnReset", &Sink::OnReset, &reset>("aPipeline"),
        director_default_method<"TqPipelineEventSink_OnBufferTooSmall", &Sink::OnBufferTooSmall, &too_small,
                                Params<DirectorSelf<Sink>, P*, BoolPointer, BoolPointer>>(
            "aPipeline", "aReallocAll", "aResetStats"),
        director_default_method<"TqPipelineEventSink_OnBufferReady", &Sink::OnBufferReady, &ready>("aPipeline"),
        registration<"TqPipelineEventSink_swigregister", Sink>(),
        initialisation<"TqPipelineEventSink_swiginit">(),
    };
}

}  // namespace kivo::module
