// TqBuffer: construction, memory (allocated, or attached from a NumPy array), the view of its bytes,
// and identity.
#include "attached.h"
#include "views.h"

#include "TqBuffer.h"
#include "TqChunkData.h"
#include "TqImage.h"
#include "TqRawData.h"

#include <cstdint>

namespace kivo::module {

using namespace kivo::rt;

namespace {

using PayloadType = WithDefault<TqPayloadType, TqPayloadTypeImage>;

TqBuffer* self_of(CallFrame& f) { return f.self<TqBuffer>(); }

// The buffer's bytes: its whole capacity, never a 2-D image (that comes through its image).
PyObject* data_view(void* storage, CallFrame& f) {
    return byte_view(result_as<void*>(storage), self_of(f)->GetSize(), f.items[0]);
}
constexpr ResultKind kDataView{data_view, nullptr, nullptr, &decl_text<uint8_t*>, array_doc};

PyObject* detach_view(void* storage, CallFrame& f) {
    return detached_view(result_as<void*>(storage), self_of(f), self_of(f)->GetSize());
}
constexpr ResultKind kDetachView{detach_view, nullptr, nullptr, &decl_text<uint8_t*>, array_doc};

// Free and Reset end an attachment only when the buffer says it no longer holds the memory.
void forget_unless_attached(CallFrame& f, bool) {
    if (!self_of(f)->IsAttached()) forget_attached(self_of(f));
}

// The payloads with memory of their own, the multi-part container and the chunk-data payload, are
// made by the buffer on first use and deleted with it: the one handed out is noted as the buffer's
// part, so the arrays attached to it go when the buffer goes (deleted here or by the SDK).
enum PartSlot : unsigned { kContainer, kChunkData };

template <PartSlot Slot, auto Get>
void noted_part(CallFrame& f, bool) {
    note_part(self_of(f), Slot, (self_of(f)->*Get)());
}

// Reset also empties the index of a multi-part container, detaching its parts.
void forget_on_reset(CallFrame& f, bool ok) {
    forget_unless_attached(f, ok);
    if (ok) forget_attached(part_in(self_of(f), kContainer));
}

bool equal(const TqBuffer* self, const TqBuffer* other) { return self == other; }

// A payload interface of the buffer: a new borrowed proxy (None when the payload type is another)
// that keeps the buffer alive, so it can never outlive the object that owns it. The non-const
// form is the one called.
template <Text Name, auto Mutable, auto Const, class Base = Default>
Entry payload() {
    return overloaded<Name>(meth<Mutable, KeepAlive<1, Base>>(), meth<Const, KeepAlive<1, Base>>());
}

// The address's low 32 bits, read as a signed 32-bit value: equal buffers hash equal.
int32_t hash_of(TqBuffer* buffer) {
    return static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<std::uintptr_t>(buffer)));
}

}  // namespace

Entries buffer_entries() {
    return {
        overloaded<"new_TqBuffer">(constructor<TqBuffer, PayloadType>("aPayloadType")),
        delete_entry<"delete_TqBuffer", TqBuffer, &forget_with_parts>(),
        overloaded<"TqBuffer_Reset">(meth<&TqBuffer::Reset, After<forget_on_reset>, Params<PayloadType>>(
            "aPayloadType")),
        method<"TqBuffer_Alloc", &TqBuffer::Alloc>("aSize"),
        method<"TqBuffer_AllocChunk", &TqBuffer::AllocChunk>("aSize"),
        method<"TqBuffer_Free", &TqBuffer::Free, After<forget_unless_attached>>(),
        method<"TqBuffer_FreeChunk", &TqBuffer::FreeChunk>(),
        method<"TqBuffer_Attach", &TqBuffer::Attach, KeepsAttached<>, Params<Array<void*, uint32_t>>>(
            "aBuffer"),
        method<"TqBuffer_Detach", &TqBuffer::Detach, ResultAs<&kDetachView>>(),
        overloaded<"TqBuffer_GetDataPointer">(
            meth<member<const uint8_t*() const>(&TqBuffer::GetDataPointer), ResultAs<&kDataView>>(),
            meth<member<uint8_t*()>(&TqBuffer::GetDataPointer), ResultAs<&kDataView>>()),
        method<"TqBuffer_IsAttached", &TqBuffer::IsAttached>(),
        method<"TqBuffer_IsAllocated", &TqBuffer::IsAllocated>(),
        method<"TqBuffer_GetSize", &TqBuffer::GetSize>(),
        method<"TqBuffer___eq__", &equal, Comparison<>>("aOther"),
        function<"TqBuffer___hash__", &hash_of>("aBuffer"),
        method<"TqBuffer_GetPayloadType", &TqBuffer::GetPayloadType>(),
        payload<"TqBuffer_GetImage", member<TqImage*()>(&TqBuffer::GetImage),
                member<const TqImage*() const>(&TqBuffer::GetImage)>(),
        payload<"TqBuffer_GetRawData", member<TqRawData*()>(&TqBuffer::GetRawData),
                member<const TqRawData*() const>(&TqBuffer::GetRawData)>(),
        payload<"TqBuffer_GetChunkData", member<TqChunkData*()>(&TqBuffer::GetChunkData),
                member<const TqChunkData*() const>(&TqBuffer::GetChunkData),
                After<noted_part<kChunkData, member<TqChunkData*()>(&TqBuffer::GetChunkData)>>>(),
        payload<"TqBuffer_GetMultiPartContainer", member<ITqMultiPartContainer*()>(&TqBuffer::GetMultiPartContainer),
                member<const ITqMultiPartContainer*() const>(&TqBuffer::GetMultiPartContainer),
                After<noted_part<kContainer, member<ITqMultiPartContainer*()>(&TqBuffer::GetMultiPartContainer)>>>(),
        payload<"TqBuffer_GetH264AccessUnit", member<ITqH264AccessUnit*()>(&TqBuffer::GetH264AccessUnit),
                member<const ITqH264AccessUnit*() const>(&TqBuffer::GetH264AccessUnit)>(),
        payload<"TqBuffer_GetZelvraCompressed", member<TqZelvraCompressed*()>(&TqBuffer::GetZelvraCompressed),
                member<const TqZelvraCompressed*() const>(&TqBuffer::GetZelvraCompressed)>(),
        method<"TqBuffer_GetID", &TqBuffer::GetID>(),
        method<"TqBuffer_SetID", &TqBuffer::SetID>("aID"),
        method<"TqBuffer_IsExtendedID", &TqBuffer::IsExtendedID>(),
        method<"TqBuffer_GetBlockID", &TqBuffer::GetBlockID>(),
        method<"TqBuffer_SetBlockID", &TqBuffer::SetBlockID>("aBlockID"),
        method<"TqBuffer_GetTimestamp", &TqBuffer::GetTimestamp>(),
        method<"TqBuffer_SetTimestamp", &TqBuffer::SetTimestamp>("aTimestamp"),
        method<"TqBuffer_GetReceptionTime", &TqBuffer::GetReceptionTime>(),
        method<"TqBuffer_SetReceptionTime", &TqBuffer::SetReceptionTime>("aReceptionTime"),
        method<"TqBuffer_GetDuration", &TqBuffer::GetDuration>(),
        method<"TqBuffer_SetDuration", &TqBuffer::SetDuration>("aDuration"),
        method<"TqBuffer_GetOperationResult", &TqBuffer::GetOperationResult>(),
        method<"TqBuffer_GetAcquiredSize", &TqBuffer::GetAcquiredSize>(),
        method<"TqBuffer_GetRequiredSize", &TqBuffer::GetRequiredSize>(),
        method<"TqBuffer_GetPayloadSize", &TqBuffer::GetPayloadSize>(),
        method<"TqBuffer_IsHeaderValid", &TqBuffer::IsHeaderValid>(),
        method<"TqBuffer_IsTrailerValid", &TqBuffer::IsTrailerValid>(),
        method<"TqBuffer_IsLargeLeaderTrailerEnabled", &TqBuffer::IsLargeLeaderTrailerEnabled>(),
        method<"TqBuffer_GetPacketsRecoveredCount", &TqBuffer::GetPacketsRecoveredCount>(),
        method<"TqBuffer_GetPacketsRecoveredSingleResendCount", &TqBuffer::GetPacketsRecoveredSingleResendCount>(),
        method<"TqBuffer_GetResendGroupRequestedCount", &TqBuffer::GetResendGroupRequestedCount>(),
        method<"TqBuffer_GetResendPacketRequestedCount", &TqBuffer::GetResendPacketRequestedCount>(),
        method<"TqBuffer_GetLostPacketCount", &TqBuffer::GetLostPacketCount>(),
        method<"TqBuffer_GetIgnoredPacketCount", &TqBuffer::GetIgnoredPacketCount>(),
        method<"TqBuffer_GetRedundantPacketCount", &TqBuffer::GetRedundantPacketCount>(),
        method<"TqBuffer_GetPacketOutOfOrderCount", &TqBuffer::GetPacketOutOfOrderCount>(),
        method<"TqBuffer_GetMissingPacketIdsCount", &TqBuffer::GetMissingPacketIdsCount, Default,
               Params<Present<uint32_t&>>>("aCount"),
        method<"TqBuffer_GetMissingPacketIds", &TqBuffer::GetMissingPacketIds, Default,
               Params<uint32_t, Present<uint32_t&>, Present<uint32_t&>>>("aIndex", "aLow", "aHigh"),
        method<"TqBuffer_ResetChunks", &TqBuffer::ResetChunks>(),
        method<"TqBuffer_AddChunk", &TqBuffer::AddChunk, Default, Params<uint32_t, Bytes<const uint8_t*, uint32_t>>>(
            "aID", "aData"),
        method<"TqBuffer_SetChunkLayoutID", &TqBuffer::SetChunkLayoutID>("aChunkLayoutID"),
        method<"TqBuffer_HasChunks", &TqBuffer::HasChunks>(),
        method<"TqBuffer_GetChunkCount", &TqBuffer::GetChunkCount>(),
        method<"TqBuffer_GetChunkIDByIndex", &TqBuffer::GetChunkIDByIndex, Default,
               Params<uint32_t, Present<uint32_t&>>>("aIndex", "aID"),
        method<"TqBuffer_GetChunkSizeByIndex", &TqBuffer::GetChunkSizeByIndex>("aIndex"),
        method<"TqBuffer_GetChunkSizeByID", &TqBuffer::GetChunkSizeByID>("aID"),
        method<"TqBuffer_GetChunkRawDataByIndex", &TqBuffer::GetChunkRawDataByIndex,
               ResultAs<&ChunkView<TqBuffer, &TqBuffer::GetChunkSizeByIndex>::kind>>("aIndex"),
        method<"TqBuffer_GetChunkRawDataByID", &TqBuffer::GetChunkRawDataByID,
               ResultAs<&ChunkView<TqBuffer, &TqBuffer::GetChunkSizeByID>::kind>>("aID"),
        method<"TqBuffer_GetChunkLayoutID", &TqBuffer::GetChunkLayoutID>(),
        method<"TqBuffer_GetChunkDataSize", &TqBuffer::GetChunkDataSize>(),
        method<"TqBuffer_GetChunkDataCapacity", &TqBuffer::GetChunkDataCapacity>(),
        registration<"TqBuffer_swigregister", TqBuffer>(),
        initialisation<"TqBuffer_swiginit">(),
    };
}

}  // namespace kivo::module
