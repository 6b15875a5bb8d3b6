// Multi-part payloads: the container's reader and writer sides, its sections with their views and
// sub-interfaces, and JPEG image parts. Everything here belongs to the buffer that holds the
// container: each proxy handed out keeps the proxy it came from alive (a section its container, a
// sub-interface its section, the container its buffer), so none outlives the buffer. Arrays attached
// to parts are kept alive while attached, and go with the buffer.
#include "attached.h"
#include "views.h"

#include "ITqMultiPart.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using Reader = ITqMultiPartContainerReader;
using Writer = ITqMultiPartContainerWriter;
using Section = ITqMultiPartSection;

// ---- arrays attached to parts ----
// The arrays of one container are kept as a dict {part index: array} under the container's address.
// The container is a part of its buffer (TqBuffer_wrap.cpp): a buffer that goes away, or is reset
// (which empties the part index), lets its parts' arrays go.

Writer* writer_of(CallFrame& f) { return f.self<Writer>(); }

void part_array(const void* container, uint32_t index, PyObject* array) {
    PyObject* arrays = take_attached(container);
    if (!arrays) arrays = PyDict_New();
    if (!arrays) {
        PyErr_Clear();
        return;
    }
    PyObject* key = PyLong_FromUnsignedLong(index);
    if (key) {
        if (array ? PyDict_SetItem(arrays, key, array) : PyDict_DelItem(arrays, key)) PyErr_Clear();
        Py_DECREF(key);
    } else {
        PyErr_Clear();
    }
    if (PyDict_Size(arrays) > 0) keep_attached(container, arrays);
    Py_DECREF(arrays);
}

void attached_part(CallFrame& f, bool ok) {
    if (ok) part_array(writer_of(f), f.arg<uint32_t>(2), f.arg<ArraySlot>(3).array);
}
void allocated_part(CallFrame& f, bool ok) {
    if (ok) part_array(writer_of(f), f.arg<uint32_t>(2), nullptr);
}
void released_parts(CallFrame& f, bool ok) {
    if (ok) forget_attached(writer_of(f));
}
void released_parts_always(CallFrame& f, bool) { forget_attached(writer_of(f)); }

// ---- views ----

template <class Self, auto Length>
PyObject* data_view(void* storage, CallFrame& f) {
    const auto* self = f.self<const Self>();
    return byte_view(result_as<void*>(storage), (self->*Length)(), f.items[0]);
}
constexpr ResultKind kSectionView{data_view<Section, &Section::GetEffectiveSize>, nullptr, nullptr,
                                  &decl_text<uint8_t*>, array_doc};
constexpr ResultKind kJPEGView{data_view<ITqImageJPEG, &ITqImageJPEG::GetDataSize>, nullptr, nullptr,
                               &decl_text<uint8_t*>, array_doc};

// The non-const and const forms test the same, so the first listed always runs.
template <Text Name, class C, const ResultKind* View>
Entry data_pointer() {
    return overloaded<Name>(meth<member<const uint8_t*() const>(&C::GetDataPointer), ResultAs<View>>(),
                            meth<member<uint8_t*()>(&C::GetDataPointer), ResultAs<View>>());
}

using Offset = WithDefault<uint32_t, 0u>;
using Padding = WithDefault<uint16_t, uint16_t{0}>;

}  // namespace

Entries multipart_reader_entries() {
    return {
        delete_entry<"delete_ITqMultiPartContainerReader", Reader>(),
        method<"ITqMultiPartContainerReader_GetPartCount", &Reader::GetPartCount>(),
        overloaded<"ITqMultiPartContainerReader_GetPart">(
            meth<member<const Section*(uint32_t) const>(&Reader::GetPart), KeepAlive<1>>("aIndex"),
            meth<member<Section*(uint32_t)>(&Reader::GetPart), KeepAlive<1>>("aIndex")),
        registration<"ITqMultiPartContainerReader_swigregister", Reader>(),
    };
}

Entries multipart_writer_entries() {
    return {
        delete_entry<"delete_ITqMultiPartContainerWriter", Writer>(),
        method<"ITqMultiPartContainerWriter_Reset", &Writer::Reset, After<released_parts_always>>(),
        overloaded<"ITqMultiPartContainerWriter_AddImagePart">(
            meth<&Writer::AddImagePart, Default, Params<TqMultiPartDataType, uint32_t, uint32_t, TqPixelType, Offset,
                                                        Offset, Padding>>(
                "aDataType", "aWidth", "aMaxHeight", "aPixelType", "aOffsetX", "aOffsetY", "aPaddingX")),
        method<"ITqMultiPartContainerWriter_AddJPEGPart", &Writer::AddJPEGPart>(
            "aDataType", "aMaxLength", "aFlag", "aTimestampTickFrequency", "aDataFormat"),
        method<"ITqMultiPartContainerWriter_AddChunkPart", &Writer::AddChunkPart>("aMaxLength", "aChunkLayoutID"),
        method<"ITqMultiPartContainerWriter_SetPartIDs", &Writer::SetPartIDs>("aIndex", "aSourceID",
                                                                              "aDataPurposeID", "aRegionID"),
        method<"ITqMultiPartContainerWriter_SetPartZoneInfo", &Writer::SetPartZoneInfo>(
            "aIndex", "aAdditionalZones", "aZoneDirectionMask"),
        method<"ITqMultiPartContainerWriter_AllocAllParts", &Writer::AllocAllParts, After<released_parts>>(),
        method<"ITqMultiPartContainerWriter_AllocPart", &Writer::AllocPart, After<allocated_part>>("aIndex"),
        method<"ITqMultiPartContainerWriter_AttachPart", &Writer::AttachPart, After<attached_part>,
               Params<uint32_t, Array<uint8_t*, uint64_t>>>("aIndex", "aBuffer"),
        method<"ITqMultiPartContainerWriter_SetPartFinalLength", &Writer::SetPartFinalLength>("aIndex", "aLength"),
        method<"ITqMultiPartContainerWriter_SetPartFinalImageHeight", &Writer::SetPartFinalImageHeight>("aIndex",
                                                                                                        "aHeight"),
        method<"ITqMultiPartContainerWriter_Validate", &Writer::Validate>(),
        registration<"ITqMultiPartContainerWriter_swigregister", Writer>(),
    };
}

Entries multipart_container_entries() {
    return {
        delete_entry<"delete_ITqMultiPartContainer", ITqMultiPartContainer>(),
        registration<"ITqMultiPartContainer_swigregister", ITqMultiPartContainer>(),
    };
}

Entries multipart_section_entries() {
    return {
        delete_entry<"delete_ITqMultiPartSection", Section>(),
        data_pointer<"ITqMultiPartSection_GetDataPointer", Section, &kSectionView>(),
        method<"ITqMultiPartSection_GetSize", &Section::GetSize>(),
        method<"ITqMultiPartSection_GetEffectiveSize", &Section::GetEffectiveSize>(),
        method<"ITqMultiPartSection_GetDataType", &Section::GetDataType>(),
        method<"ITqMultiPartSection_GetImage", &Section::GetImage, KeepAlive<1>>(),
        method<"ITqMultiPartSection_GetJPEG", &Section::GetJPEG, KeepAlive<1>>(),
        method<"ITqMultiPartSection_GetChunkData", &Section::GetChunkData, KeepAlive<1>>(),
        method<"ITqMultiPartSection_GetSourceID", &Section::GetSourceID>(),
        method<"ITqMultiPartSection_GetDataPurposeID", &Section::GetDataPurposeID>(),
        method<"ITqMultiPartSection_GetRegionID", &Section::GetRegionID>(),
        method<"ITqMultiPartSection_GetAdditionalZones", &Section::GetAdditionalZones>(),
        method<"ITqMultiPartSection_GetZoneDirectionMask", &Section::GetZoneDirectionMask>(),
        registration<"ITqMultiPartSection_swigregister", Section>(),
    };
}

Entries image_jpeg_entries() {
    return {
        delete_entry<"delete_ITqImageJPEG", ITqImageJPEG>(),
        data_pointer<"ITqImageJPEG_GetDataPointer", ITqImageJPEG, &kJPEGView>(),
        method<"ITqImageJPEG_GetFlag", &ITqImageJPEG::GetFlag>(),
        method<"ITqImageJPEG_GetTimestampTickFrequency", &ITqImageJPEG::GetTimestampTickFrequency>(),
        method<"ITqImageJPEG_GetDataFormat", &ITqImageJPEG::GetDataFormat>(),
        method<"ITqImageJPEG_GetDataSize", &ITqImageJPEG::GetDataSize>(),
        registration<"ITqImageJPEG_swigregister", ITqImageJPEG>(),
    };
}

}  // namespace kivo::module
