// ITqImage: geometry, pixel type, block identity and timing of an image, and its pixels as a view
// shaped by that geometry.
#include "views.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

// The image's pixels: 2-D for 8- and 16-bit mono, 3-D for colour, the bytes otherwise; the geometry
// is read after the data call, the image (self) is the view's base.
PyObject* pixels(void* storage, CallFrame& f) {
    const auto* image = f.self<const ITqImage>();
    return image_view(result_as<void*>(storage), geometry_of(*image), f.items[0]);
}

}  // namespace

const ResultKind kImagePixels{pixels, nullptr, nullptr, &decl_text<uint8_t*>, array_doc};

Entries image_interface_entries() {
    return {
        overloaded<"ITqImage_GetDataPointer">(
            meth<member<const uint8_t*() const>(&ITqImage::GetDataPointer), ResultAs<&kImagePixels>>(),
            meth<member<uint8_t*()>(&ITqImage::GetDataPointer), ResultAs<&kImagePixels>>()),
        method<"ITqImage_GetImageSize", &ITqImage::GetImageSize>(),
        method<"ITqImage_GetWidth", &ITqImage::GetWidth>(),
        method<"ITqImage_GetHeight", &ITqImage::GetHeight>(),
        method<"ITqImage_GetPixelType", &ITqImage::GetPixelType>(),
        method<"ITqImage_GetBitsPerPixel", &ITqImage::GetBitsPerPixel>(),
        method<"ITqImage_GetOffsetX", &ITqImage::GetOffsetX>(),
        method<"ITqImage_GetOffsetY", &ITqImage::GetOffsetY>(),
        method<"ITqImage_GetPaddingX", &ITqImage::GetPaddingX>(),
        method<"ITqImage_GetPaddingY", &ITqImage::GetPaddingY>(),
        method<"ITqImage_GetBlockID", &ITqImage::GetBlockID>(),
        method<"ITqImage_GetTimestamp", &ITqImage::GetTimestamp>(),
        method<"ITqImage_GetReceptionTime", &ITqImage::GetReceptionTime>(),
        delete_entry<"delete_ITqImage", ITqImage>(),
        registration<"ITqImage_swigregister", ITqImage>(),
    };
}

// The docstrings' texts of ITqImage's rows.
const DocTable kImageInterfaceDocs{
    summary("ITqImage_GetDataPointer",
            "GetDataPointer(self) -> ndarray\n\nThe image's pixels as an array over its memory: (rows, columns) for "
            "8- and 16-bit mono, (rows, columns, channels) for colour, the bytes otherwise."),
    summary("ITqImage_GetImageSize", "The size of the image in bytes, paddings included."),
    summary("ITqImage_GetWidth", "The width in pixels."),
    summary("ITqImage_GetHeight", "The height in pixels."),
    summary("ITqImage_GetPixelType", "The pixel type, a signed 32-bit value (TqPixelType)."),
    summary("ITqImage_GetBitsPerPixel", "The bits one pixel of the pixel type occupies."),
    summary("ITqImage_GetOffsetX", "The horizontal offset in pixels."),
    summary("ITqImage_GetOffsetY", "The vertical offset in pixels."),
    summary("ITqImage_GetPaddingX", "The bytes at the end of each line that hold no image data."),
    summary("ITqImage_GetPaddingY", "The extra bytes at the end of the image."),
    summary("ITqImage_GetBlockID", "The transmitter's block counter, one more for each new image."),
    summary("ITqImage_GetTimestamp", "The device's timestamp in its tick unit (microseconds for software timestamps)."),
    summary("ITqImage_GetReceptionTime", "The host's time of reception in microseconds (not an absolute time)."),
};

}  // namespace kivo::module
