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
        described(overloaded<"ITqImage_GetDataPointer">(
                      meth<member<const uint8_t*() const>(&ITqImage::GetDataPointer), ResultAs<&kImagePixels>>(),
                      meth<member<uint8_t*()>(&ITqImage::GetDataPointer), ResultAs<&kImagePixels>>()),
                  "GetDataPointer(self) -> ndarray\n\nThe image's pixels as an array over its memory: (rows, columns) "
                  "for 8- and 16-bit mono, (rows, columns, channels) for colour, the bytes otherwise."),
        described(method<"ITqImage_GetImageSize", &ITqImage::GetImageSize>(),
                  "The size of the image in bytes, paddings included."),
        described(method<"ITqImage_GetWidth", &ITqImage::GetWidth>(), "The width in pixels."),
        described(method<"ITqImage_GetHeight", &ITqImage::GetHeight>(), "The height in pixels."),
        described(method<"ITqImage_GetPixelType", &ITqImage::GetPixelType>(),
                  "The pixel type, a signed 32-bit value (TqPixelType)."),
        described(method<"ITqImage_GetBitsPerPixel", &ITqImage::GetBitsPerPixel>(),
                  "The bits one pixel of the pixel type occupies."),
        described(method<"ITqImage_GetOffsetX", &ITqImage::GetOffsetX>(), "The horizontal offset in pixels."),
        described(method<"ITqImage_GetOffsetY", &ITqImage::GetOffsetY>(), "The vertical offset in pixels."),
        described(method<"ITqImage_GetPaddingX", &ITqImage::GetPaddingX>(),
                  "The bytes at the end of each line that hold no image data."),
        described(method<"ITqImage_GetPaddingY", &ITqImage::GetPaddingY>(),
                  "The extra bytes at the end of the image."),
        described(method<"ITqImage_GetBlockID", &ITqImage::GetBlockID>(),
                  "The transmitter's block counter, one more for each new image."),
        described(method<"ITqImage_GetTimestamp", &ITqImage::GetTimestamp>(),
                  "The device's timestamp in its tick unit (microseconds for software timestamps)."),
        described(method<"ITqImage_GetReceptionTime", &ITqImage::GetReceptionTime>(),
                  "The host's time of reception in microseconds (not an absolute time)."),
        delete_entry<"delete_ITqImage", ITqImage>(),
        registration<"ITqImage_swigregister", ITqImage>(),
    };
}

}  // namespace kivo::module
