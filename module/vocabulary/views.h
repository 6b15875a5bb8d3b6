// NumPy views of SDK memory handed out by the buffer wrappers, as result kinds: a view lies over the
// SDK's memory (no copy), never reaches past it, and has the Python object it came from as its
// base, so that object outlives the view. A view of detached memory keeps the array that memory
// belongs to alive instead.
#pragma once

#include "classes.h"
#include "sdk_types.h"

#include "attached.h"

#include "ITqChunkData.h"
#include "ITqImage.h"

namespace kivo::module {

// Docstrings name a view's type.
std::string array_doc();

// A one-dimensional uint8 view of n bytes at p (zero-filled and owning its memory when p is null).
PyObject* byte_view(const void* p, uint64_t n, PyObject* base);

// What the view of an image's memory is built from, asked of the image in this order: bits per
// pixel, padding Y, height, padding X, width, pixel type; and its size in bytes.
struct ImageGeometry {
    uint32_t bits_per_pixel;
    uint16_t padding_y;
    uint32_t height;
    uint16_t padding_x;
    uint32_t width;
    int32_t pixel_type;
    uint32_t image_size;
};

// An image's memory: mono 8 and 16 bits as (rows, columns), colour as (rows, columns, channels),
// packed and other formats as the bytes of the image. A shape that would reach past the image's
// size, and mono formats of other widths (24, 32 bits), fall back to the bytes of the image.
PyObject* image_view(void* p, const ImageGeometry& g, PyObject* base);

// The geometry of an image, asked in the order the view's rule reads it.
ImageGeometry geometry_of(const ITqImage& image);

// The view of memory an object gave up by Detach: over the array that was attached (its length,
// and the array as base), or over n bytes with no base when Python did not attach it.
PyObject* detached_view(void* p, const void* object, uint64_t n);

// GetChunkRawDataByIndex / ByID: the chunk's bytes, the size asked with the same argument.
template <class Self, uint32_t (Self::*Size)(uint32_t)>
struct ChunkView {
    static PyObject* make(void* storage, kivo::rt::CallFrame& f) {
        auto* self = f.self<Self>();
        uint32_t n = (self->*Size)(f.arg<uint32_t>(2));
        return byte_view(kivo::rt::result_as<void*>(storage), n, f.items[0]);
    }
    static constexpr kivo::rt::ResultKind kind{make, nullptr, nullptr, &kivo::rt::decl_text<const uint8_t*>,
                                               array_doc};
};

// The memory an image gave up by Detach, shaped by its geometry: over the array that was attached
// (its base), or with no base when Python did not attach it.
PyObject* detached_image_view(void* p, const ITqImage& image, const void* object);


// A payload's memory is its buffer's: what is attached through it is kept under the buffer, and
// let go when the buffer's memory is no longer attached (or the buffer is gone).
template <class Payload>
TqBuffer* buffer_of(kivo::rt::CallFrame& f) {
    return f.self<Payload>()->GetBuffer();
}
template <class Payload>
void keep_under_buffer(kivo::rt::CallFrame& f, bool ok) {
    if (ok) keep_attached(buffer_of<Payload>(f), f.arg<kivo::rt::ArraySlot>(2).array);
}

// Arrays the wrappers make for the SDK to fill, sized by a count from Python, are held against what
// the SDK's memory blocks say the process can still be given (TqMemoryBlocks::Ceiling).
void bound_new_arrays();

}  // namespace kivo::module
