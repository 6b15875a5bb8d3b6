// TqRawData: the raw-data payload of a buffer, its memory (allocated, or attached from a NumPy
// array) and its payload length.
#include "attached.h"
#include "views.h"

#include "TqBuffer.h"
#include "TqRawData.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

PyObject* detach_view(void* storage, CallFrame& f) {
    auto* self = f.self<TqRawData>();
    return detached_view(result_as<void*>(storage), self->GetBuffer(), self->GetPayloadLength());
}
constexpr ResultKind kDetachView{detach_view, nullptr, nullptr, &decl_text<uint8_t*>, array_doc};

}  // namespace

Entries raw_data_entries() {
    return {
        method<"TqRawData_GetPayloadLength", &TqRawData::GetPayloadLength>(),
        overloaded<"TqRawData_Alloc">(meth<&TqRawData::Alloc, Default, Params<uint64_t, WithDefault<uint32_t, 0u>>>(
            "aPayloadLength", "aMaximumChunkLength")),
        method<"TqRawData_Free", &TqRawData::Free>(),
        overloaded<"TqRawData_Attach">(meth<&TqRawData::Attach, After<keep_under_buffer<TqRawData>>,
                                            Params<Array<void*, uint64_t>, WithDefault<uint32_t, 0u>>>(
            "aRawBuffer", "aMaximumChunkLength")),
        method<"TqRawData_Detach", &TqRawData::Detach, ResultAs<&kDetachView>>(),
        delete_entry<"delete_TqRawData", TqRawData>(),
        registration<"TqRawData_swigregister", TqRawData>(),
    };
}

}  // namespace kivo::module
