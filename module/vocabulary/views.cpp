#include "views.h"

#include "attached.h"
#include "numpy_input.h"
#include "ref.h"

#include "TqMemoryBlocks.h"

#include <algorithm>

namespace kivo::module {

using namespace kivo::rt;

std::string array_doc() { return ":py:class:`numpy.ndarray`"; }

namespace {

void drop_block(const void* block) { TqMemoryBlocks::Drop(block); }
void drop_array(const void* array) { Py_DECREF(static_cast<PyObject*>(const_cast<void*>(array))); }

// The one place that decides what a view shows. The memory at p is an array Python attached or a
// block of the SDK's; the view never reaches past the bytes that exist from p on, and holds that
// memory for as long as it lives, whatever the object it came from releases meanwhile. A shape
// (nd, dims, type, spanning `extent` bytes) that does not fit shows the first `bytes` bytes that
// exist instead, one-dimensional. Memory of neither kind is shown as the object describes it.
PyObject* shown(void* p, int nd, int64_t* dims, int type, uint64_t extent, uint64_t bytes, PyObject* base) {
    if (!p) return memory_view(nullptr, nd, dims, type, base);
    uint64_t available = 0;
    PyObject* array = attached_memory_at(p, available);
    const void* block = array ? nullptr : TqMemoryBlocks::Hold(p, available);
    if (array || block) {
        if (extent > available) {
            nd = 1;
            dims[0] = static_cast<int64_t>(std::min(bytes, available));
            type = kNpyUByte;
        }
    }
    PyObject* view = memory_view(p, nd, dims, type, base);
    if (!view) {
        if (array) drop_array(array);
        if (block) drop_block(block);
        return nullptr;
    }
    int tied = 0;
    if (array && array == base)
        Py_DECREF(array);   // the base keeps it
    else if (array)
        tied = tie(view, drop_array, array);
    else if (block)
        tied = tie(view, drop_block, block);
    if (tied < 0) Py_CLEAR(view);
    return view;
}

}  // namespace

PyObject* byte_view(const void* p, uint64_t n, PyObject* base) {
    int64_t dims[1] = {static_cast<int64_t>(n)};
    return shown(const_cast<void*>(p), 1, dims, kNpyUByte, n, n, base);
}

PyObject* image_view(void* p, const ImageGeometry& g, PyObject* base) {
    uint32_t bpp = g.bits_per_pixel;
    if (bpp % 8 != 0 || bpp == 0) return byte_view(p, g.image_size, base);
    uint32_t rows = g.height + g.padding_y;   // 32-bit unsigned sums, as the SDK's sizes are
    uint32_t cols = g.width + g.padding_x;
    uint32_t bytes_per_pixel = bpp / 8;
    int64_t dims[3] = {rows, cols, 0};
    int nd = 2;
    int type = kNpyUByte;
    if (g.pixel_type & TQPIXELMONO) {
        if (bpp == 8) {
            type = kNpyUByte;
        } else if (bpp == 16) {
            type = kNpyUShort;
        } else {
            return byte_view(p, g.image_size, base);
        }
    } else if (g.pixel_type & TQPIXELCOLOR) {
        nd = 3;
        if (bpp == 48 || bpp == 64) {
            dims[2] = bpp / 16;
            type = kNpyUShort;
        } else {
            dims[2] = bytes_per_pixel;
        }
    } else {
        return byte_view(p, g.image_size, base);
    }
    // Never past the image's memory: a geometry that does not fit shows the image's bytes instead.
    uint64_t extent = uint64_t(rows) * cols * bytes_per_pixel;
    if (extent > g.image_size) return byte_view(p, g.image_size, base);
    return shown(p, nd, dims, type, extent, g.image_size, base);
}

ImageGeometry geometry_of(const ITqImage& image) {
    ImageGeometry g{};
    g.bits_per_pixel = image.GetBitsPerPixel();
    g.padding_y = image.GetPaddingY();
    g.height = image.GetHeight();
    g.padding_x = image.GetPaddingX();
    g.width = image.GetWidth();
    g.pixel_type = image.GetPixelType();
    g.image_size = image.GetImageSize();
    return g;
}

PyObject* detached_image_view(void* p, const ITqImage& image, const void* object) {
    Ref array(take_attached(object));
    ImageGeometry g = geometry_of(image);
    // Never more than the attached array holds.
    if (array && array_data(array.get()) == p && static_cast<uint64_t>(array_nbytes(array.get())) < g.image_size)
        g.image_size = static_cast<uint32_t>(array_nbytes(array.get()));
    return image_view(p, g, array.get());
}

PyObject* detached_view(void* p, const void* object, uint64_t n) {
    Ref array(take_attached(object));
    if (array && array_data(array.get()) == p) n = static_cast<uint64_t>(array_nbytes(array.get()));
    return byte_view(p, n, array.get());
}

void bound_new_arrays() {
    kivo::rt::set_memory_ceiling([]() -> uint64_t { return TqMemoryBlocks::Ceiling(); });
}

}  // namespace kivo::module
