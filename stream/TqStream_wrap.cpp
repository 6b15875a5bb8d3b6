// TqStream: the factory typed by kind and its Free, opening, buffers queued and handed back (the
// stream keeps each queued buffer's proxy alive until the buffer comes back), the parameters.
#include "streams.h"

namespace kivo::module {

using namespace kivo::rt;

PyObject* out_returned_buffer(Slot& s, const ParamShape&, CallFrame& f) {
    void* buffer = s.as<void*>();
    if (!buffer) Py_RETURN_NONE;
    PyObject* queued = take_registered(f.self<void>(), buffer);
    PyObject* proxy = SwigPyObject_NewPointerObject(buffer, descriptor_of<TqBuffer>(), 0, queued);
    Py_XDECREF(queued);
    return proxy;
}

namespace {
void zero_pointer(Slot& s) { s.as<void*>() = nullptr; }
}  // namespace

const ParamKind kReturnedBufferKind{nullptr, nullptr, zero_pointer, out_returned_buffer, 0, true, nullptr};

namespace {

using S = TqStream;
using MadeResult = Spelled<"TqResult *", Made<TqResult&>>;
using Created = ResultAs<&StreamKinds::kind, OutputsFirst<>>;

TqStream* create_by_info(const TqDeviceInfo* info, TqResult& result) { return S::CreateAndOpen(info, &result); }
TqStream* create_by_text(const TqString& info, TqResult& result) { return S::CreateAndOpen(info, &result); }
TqResult open_info(S* self, const TqDeviceInfo* info) { return self->Open(info); }
TqResult open_text(S* self, const TqString& info) { return self->Open(info); }
TqResult retrieve(S* self, TqBuffer** buffer, TqResult& operation, uint32_t timeout) {
    return self->RetrieveBuffer(buffer, &operation, timeout);
}


}  // namespace

Entries stream_entries() {
    return {
        as_role(overloaded<"TqStream_CreateAndOpen">(
                    static_func<S, &create_by_info, Created, Params<const TqDeviceInfo*, MadeResult>>(
                        "aDeviceInfo", "aResult"),
                    static_func<S, &create_by_text, Created, Params<const TqString&, MadeResult>>(
                        "aInfo", "aResult")),
                Role::Static),
        static_method<"TqStream_Free", S, &S::Free, Frees<1, &forget_registered>>("aStream"),
        undocumented(overloaded<"TqStream_Open">(meth<&open_info, NoneSelfCommits<>>("aDeviceInfo"),
                                                 meth<&open_text, NoneSelfCommits<>>("aInfo"))),
        method<"TqStream_Close", &S::Close>(),
        method<"TqStream_IsOpen", &S::IsOpen>(),
        method<"TqStream_GetType", &S::GetType>(),
        method<"TqStream_GetChannel", &S::GetChannel>(),
        method<"TqStream_GetQueuedBufferCount", &S::GetQueuedBufferCount>(),
        method<"TqStream_GetQueuedBufferMaximum", &S::GetQueuedBufferMaximum>(),
        method<"TqStream_QueueBuffer", &S::QueueBuffer, Registers<>>("aBuffer"),
        overloaded<"TqStream_RetrieveBuffer">(
            meth<&retrieve, NoneSelfCommits<>,
                 Params<ReturnedBuffer, MadeResult, WithDefault<uint32_t, 0xFFFFFFFFu>>>(
                "aBuffer", "aOperationResult", "aTimeout")),
        method<"TqStream_AbortQueuedBuffers", &S::AbortQueuedBuffers>(),
        method<"TqStream_RegisterEventSink", &S::RegisterEventSink>("aEventSink"),
        method<"TqStream_UnregisterEventSink", &S::UnregisterEventSink>("aEventSink"),
        method<"TqStream_GetParameters", &S::GetParameters, KeepAlive<1>>(),
        delete_entry<"delete_TqStream", S, &forget_registered>(),
        registration<"TqStream_swigregister", S>(),
    };
}

// The docstrings' texts of TqStream's rows.
const DocTable kStreamDocs{
    summary("TqStream_CreateAndOpen",
            "This static method takes a string or TqDeviceInfo, creates the right type of TqStream and opens "
            "it.\nThe string is a GigE Vision device's IP address or a USB3 Vision GUID.\n\nObjects allocated with "
            "CreateAndOpen should be freed with TqStream.Free.\n\n:return: Tuple composed of (result, tqstream)"),
    summary("TqStream_Free",
            "It is a good practice to use this method to free a TqStream allocated with CreateAndOpen."),
    summary("TqStream_GetQueuedBufferCount",
            "Every call to #QueueBuffer increases the count by one; every call to #RetrieveBuffer reduces the count "
            "by one."),
    summary("TqStream_QueueBuffer",
            "For each buffer you remove (using #RetrieveBuffer), you should queue another (using "
            "#QueueBuffer).\n\n**The maximum number of buffers that can be queued at a given time can be obtained by "
            "calling #GetQueuedBufferMaximum.**"),
    summary("TqStream_RetrieveBuffer",
            "The #RetrieveBuffer method blocks until one of the following occurs: a buffer is filled with a block; "
            "The retrieve buffer operation times out: it exceeds aTimeout.; The acquisition fails (by being aborted, "
            "data receiver timeout as defined by ImageTimeout property, etc.)\nThe result may be OK even if the "
            "operation was aborted by AbortQueuedBuffers or Close. In this case, operation_result would be "
            "TQ_ABORTED.\naTimeout: The default value is 0xFFFFFFFF milliseconds (wait forever)\n\n:return: The "
            "acquired TqBuffer frame or None if result is not OK."),
    summary("TqStream_AbortQueuedBuffers",
            "Once you've aborted pending block requests, they still need to be de-queued. Use #RetrieveBuffer."),
};

}  // namespace kivo::module
