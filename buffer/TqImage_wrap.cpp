// TqImage: the image payload of a buffer. Its memory (allocated, or attached from a NumPy array),
// offsets, status bits, owning buffer and the pixel-type statics.
#include "attached.h"
#include "views.h"

#include "TqImage.h"

#include <stdexcept>
#include <string>

namespace kivo::module {

using namespace kivo::rt;

namespace {

template <class T>
using Zero = WithDefault<T, T{}>;

// The array must hold what the SDK will use for this geometry: never let the image reach past it.
TqResult attach(TqImage* self, ImageMemory memory, TqPixelType type, uint16_t padding_x, uint16_t padding_y,
                uint32_t chunk_length) {
    uint64_t needed = TqImage::RequiredMemory(memory.width, memory.height, type, padding_x, padding_y, chunk_length);
    if (needed > memory.bytes)
        throw std::invalid_argument("the array holds " + std::to_string(memory.bytes) + " bytes; an image of " +
                                    std::to_string(memory.width) + " x " + std::to_string(memory.height) +
                                    " pixels of this pixel type, paddings and chunk length needs " +
                                    std::to_string(needed));
    return self->Attach(memory.data, memory.width, memory.height, type, padding_x, padding_y, chunk_length);
}

PyObject* detach_view(void* storage, CallFrame& f) {
    auto* self = f.self<TqImage>();
    // The buffer's memory is what was attached: the array is kept under the buffer.
    return detached_image_view(result_as<void*>(storage), *self, self->GetBuffer());
}
constexpr ResultKind kDetachView{detach_view, nullptr, nullptr, &decl_text<uint8_t*>, array_doc};

void forget_unless_attached(CallFrame& f, bool) {
    auto* self = f.self<TqImage>();
    if (!self->IsAttached()) forget_attached(self->GetBuffer());
}

}  // namespace

Entries image_entries() {
    using Alloc = Params<uint32_t, uint32_t, TqPixelType, Zero<uint16_t>, Zero<uint16_t>, Zero<uint32_t>>;
    using Attach = Params<ImageMemory, TqPixelType, Zero<uint16_t>, Zero<uint16_t>, Zero<uint32_t>>;
    return {
        method<"TqImage_GetMaximumChunkLength", &TqImage::GetMaximumChunkLength>(),
        static_method<"TqImage_GetPixelSize", TqImage, &TqImage::GetPixelSize>("aPixelType"),
        static_method<"TqImage_IsPixelColor", TqImage, &TqImage::IsPixelColor>("aPixelType"),
        static_method<"TqImage_IsPixelHighRes", TqImage, &TqImage::IsPixelHighRes>("aPixelType"),
        static_method<"TqImage_GetBitsPerComponent", TqImage, &TqImage::GetBitsPerComponent>("aPixelType"),
        static_method<"TqImage_PixelTypeToString", TqImage, &TqImage::PixelTypeToString>("aPixelType"),
        method<"TqImage_GetRequiredSize", &TqImage::GetRequiredSize>(),
        method<"TqImage_GetEffectiveImageSize", &TqImage::GetEffectiveImageSize>(),
        method<"TqImage_SetOffsetX", &TqImage::SetOffsetX>("aValue"),
        method<"TqImage_SetOffsetY", &TqImage::SetOffsetY>("aValue"),
        method<"TqImage_IsAllocated", &TqImage::IsAllocated>(),
        method<"TqImage_IsAttached", &TqImage::IsAttached>(),
        overloaded<"TqImage_Alloc">(meth<&TqImage::Alloc, Default, Alloc>(
            "aSizeX", "aSizeY", "aPixelType", "aPaddingX", "aPaddingY", "aMaximumChunkLength")),
        method<"TqImage_Free", &TqImage::Free, After<forget_unless_attached>>(),
        overloaded<"TqImage_Attach">(meth<&attach, After<keep_under_buffer<TqImage>>, Attach>(
            "aRawBuffer", "aPixelType", "aPaddingX", "aPaddingY", "aMaximumChunkLength")),
        method<"TqImage_Detach", &TqImage::Detach, ResultAs<&kDetachView>>(),
        method<"TqImage_IsPartialLineMissing", &TqImage::IsPartialLineMissing>(),
        method<"TqImage_IsFullLineMissing", &TqImage::IsFullLineMissing>(),
        method<"TqImage_SetFullLineMissing", &TqImage::SetFullLineMissing>("aValue", "aLine"),
        overloaded<"TqImage_SetEOFByLineCount">(
            meth<&TqImage::SetEOFByLineCount, Default, Params<WithDefault<bool, true>>>("aValue")),
        method<"TqImage_ClearEOFStatus", &TqImage::ClearEOFStatus>(),
        method<"TqImage_IsEOFByLineCount", &TqImage::IsEOFByLineCount>(),
        method<"TqImage_IsInterlacedEven", &TqImage::IsInterlacedEven>(),
        method<"TqImage_IsInterlacedOdd", &TqImage::IsInterlacedOdd>(),
        method<"TqImage_IsImageDropped", &TqImage::IsImageDropped>(),
        method<"TqImage_IsDataOverrun", &TqImage::IsDataOverrun>(),
        method<"TqImage_GetBuffer", &TqImage::GetBuffer>(),
        delete_entry<"delete_TqImage", TqImage>(),
        registration<"TqImage_swigregister", TqImage>(),
    };
}

}  // namespace kivo::module
