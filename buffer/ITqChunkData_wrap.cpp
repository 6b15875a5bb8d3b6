// ITqChunkData (implemented by TqBuffer and TqChunkData) and the chunk-data payload TqChunkData:
// reading chunks (raw bytes as views), writing them, and the memory of a chunk-only payload.
#include "attached.h"
#include "views.h"

#include "TqChunkData.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using ByIndex = ChunkView<ITqChunkData, &ITqChunkData::GetChunkSizeByIndex>;
using ByID = ChunkView<ITqChunkData, &ITqChunkData::GetChunkSizeByID>;

PyObject* detach_view(void* storage, CallFrame& f) {
    auto* self = f.self<TqChunkData>();
    return detached_view(result_as<void*>(storage), self, self->GetChunkDataPayloadLength());
}
constexpr ResultKind kDetachView{detach_view, nullptr, nullptr, &decl_text<void*>, array_doc};

}  // namespace

Entries chunk_data_interface_entries() {
    return {
        delete_entry<"delete_ITqChunkData", ITqChunkData, &forget_attached>(),
        method<"ITqChunkData_ResetChunks", &ITqChunkData::ResetChunks>(),
        method<"ITqChunkData_AddChunk", &ITqChunkData::AddChunk, Default,
               Params<uint32_t, Bytes<const uint8_t*, uint32_t>>>("aID", "aData"),
        method<"ITqChunkData_SetChunkLayoutID", &ITqChunkData::SetChunkLayoutID>("aChunkLayoutID"),
        method<"ITqChunkData_HasChunks", &ITqChunkData::HasChunks>(),
        method<"ITqChunkData_GetChunkCount", &ITqChunkData::GetChunkCount>(),
        method<"ITqChunkData_GetChunkIDByIndex", &ITqChunkData::GetChunkIDByIndex, Default,
               Params<uint32_t, Present<uint32_t&>>>("aIndex", "aID"),
        method<"ITqChunkData_GetChunkSizeByIndex", &ITqChunkData::GetChunkSizeByIndex>("aIndex"),
        method<"ITqChunkData_GetChunkSizeByID", &ITqChunkData::GetChunkSizeByID>("aID"),
        method<"ITqChunkData_GetChunkRawDataByIndex", &ITqChunkData::GetChunkRawDataByIndex, ResultAs<&ByIndex::kind>>(
            "aIndex"),
        method<"ITqChunkData_GetChunkRawDataByID", &ITqChunkData::GetChunkRawDataByID, ResultAs<&ByID::kind>>("aID"),
        method<"ITqChunkData_GetChunkLayoutID", &ITqChunkData::GetChunkLayoutID>(),
        method<"ITqChunkData_GetChunkDataSize", &ITqChunkData::GetChunkDataSize>(),
        method<"ITqChunkData_GetChunkDataCapacity", &ITqChunkData::GetChunkDataCapacity>(),
        registration<"ITqChunkData_swigregister", ITqChunkData>(),
    };
}

Entries chunk_data_entries() {
    return {
        delete_entry<"delete_TqChunkData", TqChunkData, &forget_attached>(),
        method<"TqChunkData_GetChunkDataPayloadLength", &TqChunkData::GetChunkDataPayloadLength>(),
        method<"TqChunkData_Alloc", &TqChunkData::Alloc>("aMaximumChunkLength"),
        method<"TqChunkData_Free", &TqChunkData::Free>(),
        method<"TqChunkData_Attach", &TqChunkData::Attach, KeepsAttached<>, Params<Array<void*, uint32_t>>>(
            "aRawBuffer"),
        method<"TqChunkData_Detach", &TqChunkData::Detach, ResultAs<&kDetachView>>(),
        registration<"TqChunkData_swigregister", TqChunkData>(),
    };
}

}  // namespace kivo::module
