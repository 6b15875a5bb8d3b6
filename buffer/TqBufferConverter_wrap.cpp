// TqBufferConverter and TqBufferConverterRGBFilter: pixel conversion into a destination buffer, the
// filters applied on the way, and the colour correction with its white balance.
#include "classes.h"
#include "converted.h"
#include "sdk_types.h"

#include "TqBuffer.h"
#include "TqBufferConverter.h"
#include "TqBufferConverterRGBFilter.h"
#include "TqImage.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using C = TqBufferConverter;
using F = TqBufferConverterRGBFilter;

// (TqResult, a new proxy of the destination that does not own it, or None unless the conversion
// succeeded into a destination).
PyObject* make_converted(void* storage, CallFrame& f) {
    const bool ok = kResultResult.ok(storage);
    Ref result(kResultResult.make(storage, f));
    if (!result) return nullptr;
    void* destination = f.arg<void*>(3);
    Ref buffer = ok && destination ? Ref(SwigPyObject_NewPointerObject(destination, descriptor_of<TqBuffer>(), 0))
                                   : Ref::borrow(Py_None);
    return tuple_of(std::move(result), std::move(buffer));
}
std::string converted_doc() { return "Tuple(TqResult, TqBuffer)"; }

using Realloc = WithDefault<bool, true>;
using FlipY = WithDefault<bool, false>;
using Converted = ResultAs<&kConverted, NoneSelfCommits<>>;

}  // namespace

const ResultKind kConverted{make_converted, nullptr, nullptr, &decl_text<TqResult>, converted_doc};

Entries buffer_converter_entries() {
    return {
        overloaded<"new_TqBufferConverter">(constructor<C, int32_t>("aMaxNumberOfThreads"), constructor<C>()),
        delete_entry<"delete_TqBufferConverter", C>(),
        static_method<"TqBufferConverter_IsConversionSupported", C, &C::IsConversionSupported>("aSource",
                                                                                              "aDestination"),
        overloaded<"TqBufferConverter_Convert">(
            meth<member<TqResult(const TqBuffer*, TqBuffer*, bool, bool)>(&C::Convert), Converted,
                 Params<const TqBuffer*, TqBuffer*, Realloc, FlipY>>("aSource", "aDestination",
                                                                     "aReallocIfNeeded", "aFlipY"),
            meth<member<TqResult(const ITqImage*, TqBuffer*, bool, bool)>(&C::Convert), Converted,
                 Params<const ITqImage*, TqBuffer*, Realloc, FlipY>>("aSource", "aDestination",
                                                                     "aReallocIfNeeded", "aFlipY")),
        method<"TqBufferConverter_GetBayerFilter", &C::GetBayerFilter>(),
        method<"TqBufferConverter_SetBayerFilter", &C::SetBayerFilter>("aFilter"),
        method<"TqBufferConverter_GetBiColorFilter", &C::GetBiColorFilter>(),
        method<"TqBufferConverter_SetBiColorFilter", &C::SetBiColorFilter>("aFilter"),
        method<"TqBufferConverter_ResetRGBFilter", &C::ResetRGBFilter>(),
        method<"TqBufferConverter_SetRGBFilter", &C::SetRGBFilter>("aFilter"),
        method<"TqBufferConverter_GetConversionThreadsPriority", &C::GetConversionThreadsPriority>(),
        method<"TqBufferConverter_SetConversionThreadsPriority", &C::SetConversionThreadsPriority>("aPriority"),
        registration<"TqBufferConverter_swigregister", C>(),
        initialisation<"TqBufferConverter_swiginit">(),
    };
}

// The docstrings' texts of TqBufferConverter's rows.
const DocTable kBufferConverterDocs{
    whole("new_TqBufferConverter", "Constructor."),
    summary("TqBufferConverter_Convert", "Convert(*args) -> TqResult, TqBuffer"),
};

Entries rgb_filter_entries() {
    return {
        constructor_entry<"new_TqBufferConverterRGBFilter", F>(),
        delete_entry<"delete_TqBufferConverterRGBFilter", F>(),
        method<"TqBufferConverterRGBFilter_GetGainR", &F::GetGainR>(),
        method<"TqBufferConverterRGBFilter_GetGainG", &F::GetGainG>(),
        method<"TqBufferConverterRGBFilter_GetGainB", &F::GetGainB>(),
        method<"TqBufferConverterRGBFilter_SetGainR", &F::SetGainR>("aValue"),
        method<"TqBufferConverterRGBFilter_SetGainG", &F::SetGainG>("aValue"),
        method<"TqBufferConverterRGBFilter_SetGainB", &F::SetGainB>("aValue"),
        method<"TqBufferConverterRGBFilter_GetOffsetR", &F::GetOffsetR>(),
        method<"TqBufferConverterRGBFilter_GetOffsetG", &F::GetOffsetG>(),
        method<"TqBufferConverterRGBFilter_GetOffsetB", &F::GetOffsetB>(),
        method<"TqBufferConverterRGBFilter_SetOffsetR", &F::SetOffsetR>("aValue"),
        method<"TqBufferConverterRGBFilter_SetOffsetG", &F::SetOffsetG>("aValue"),
        method<"TqBufferConverterRGBFilter_SetOffsetB", &F::SetOffsetB>("aValue"),
        method<"TqBufferConverterRGBFilter_WhiteBalance", &F::WhiteBalance>("aBuffer"),
        method<"TqBufferConverterRGBFilter_Reset", &F::Reset>(),
        registration<"TqBufferConverterRGBFilter_swigregister", F>(),
        initialisation<"TqBufferConverterRGBFilter_swiginit">(),
    };
}

// The docstrings' texts of TqBufferConverterRGBFilter's rows.
const DocTable kRgbFilterDocs{
    whole("new_TqBufferConverterRGBFilter", "Constructor."),
};

}  // namespace kivo::module
