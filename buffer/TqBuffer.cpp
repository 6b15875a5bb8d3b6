// TqBuffer: construction, memory (allocated, or attached from a NumPy array), the view of its bytes,
// and identity.
#include "attached.h"
#include "views.h"

#include "TqBuffer.h"

#include <cstdint>

namespace kivo::module {

using namespace kivo::rt;

namespace {

using PayloadType = WithDefault<TqPayloadType, TqPayloadTypeImage>;

TqBuffer* self_of(CallFrame& f) { return static_cast<TqBuffer*>(f.slots[0].as<void*>()); }

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

bool equal(const TqBuffer* self, const TqBuffer* other) { return self == other; }

// The address's low 32 bits, read as a signed 32-bit value: equal buffers hash equal.
int32_t hash_of(TqBuffer* buffer) {
    return static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<std::uintptr_t>(buffer)));
}

}  // namespace

Entries buffer_entries() {
    return {
        overloaded<"new_TqBuffer">(constructor<TqBuffer, PayloadType>("aPayloadType")),
        delete_entry<"delete_TqBuffer", TqBuffer, &forget_attached>(),
        overloaded<"TqBuffer_Reset">(meth<&TqBuffer::Reset, After<forget_unless_attached>, Params<PayloadType>>(
            "aPayloadType")),
        method<"TqBuffer_Alloc", &TqBuffer::Alloc>("aSize"),
        method<"TqBuffer_AllocChunk", &TqBuffer::AllocChunk>("aSize"),
        method<"TqBuffer_Free", &TqBuffer::Free, After<forget_unless_attached>>(),
        method<"TqBuffer_FreeChunk", &TqBuffer::FreeChunk>(),
        method<"TqBuffer_Attach", &TqBuffer::Attach, After<keep_attached_array>, Params<Array<void*, uint32_t>>>(
            "aBuffer"),
        method<"TqBuffer_Detach", &TqBuffer::Detach, Returns<&kDetachView>>(),
        overloaded<"TqBuffer_GetDataPointer">(
            meth<member<const uint8_t*() const>(&TqBuffer::GetDataPointer), Returns<&kDataView>>(),
            meth<member<uint8_t*()>(&TqBuffer::GetDataPointer), Returns<&kDataView>>()),
        method<"TqBuffer_IsAttached", &TqBuffer::IsAttached>(),
        method<"TqBuffer_IsAllocated", &TqBuffer::IsAllocated>(),
        method<"TqBuffer_GetSize", &TqBuffer::GetSize>(),
        method<"TqBuffer___eq__", &equal, Comparison<>>("aOther"),
        function<"TqBuffer___hash__", &hash_of>("aBuffer"),
        registration<"TqBuffer_swigregister", TqBuffer>(),
        initialisation<"TqBuffer_swiginit">(),
    };
}

}  // namespace kivo::module
