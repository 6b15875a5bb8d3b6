// TqCompressionFilter and TqDecompressionFilter: the SDK's compressed payload made from an image
// buffer and read back, with the filters' thread settings and the static header queries.
#include "arg_kinds.h"
#include "classes.h"
#include "converted.h"
#include "sdk_types.h"

#include "TqBuffer.h"
#include "TqCompressionFilter.h"
#include "TqDecompressionFilter.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

// The SDK writes the priority through a reference that only a pointer object of an unsigned int
// reaches; None or a null pointer object is an invalid null reference.
using PriorityReference = ByReference<uint32_t, TypeId::unsigned_int, "uint32_t &">;

// The pixel type read from a header: the enumeration's 32 bits, never negative in Python.
using PixelTypeOut = OutputKind<"TqPixelType &", &kOutUInt32Kind, &stored_as<TqPixelType, uint32_t>>;

constexpr const char* kExecuteDoc = "Convert(self, aIn, aOut) -> TqResult, TqBuffer";
constexpr const char* kPriorityDoc = "Given only self, returns [TqResult, priority].";

// The members both filters have through the filter interface.
template <Text Execute, Text SetCount, Text GetCount, Text GetPriority, Text SetPriority, class C>
Entries filter_entries() {
    using Priority = Spelled<"", Present<uint32_t&>>;
    return {
        method<Execute, &C::Execute, ResultAs<&kConverted>>("aIn", "aOut"),
        method<SetCount, &C::SetThreadCount>("aCount"),
        method<GetCount, &C::GetThreadCount>(),
        overloaded<GetPriority>(meth<&C::GetThreadsPriority, LenientFrom<1>, Params<PriorityReference>>("aPriority"),
                                meth<&C::GetThreadsPriority, LenientFrom<1>, Params<Priority>>("aPriority")),
        method<SetPriority, &C::SetThreadsPriority>("aPriority"),
    };
}

Entries joined(Entries a, Entries b) {
    for (auto& e : b) a.push_back(std::move(e));
    return a;
}

}  // namespace

Entries compression_filter_entries() {
    using C = TqCompressionFilter;
    return joined(
        {constructor_entry<"new_TqCompressionFilter", C>(), delete_entry<"delete_TqCompressionFilter", C>()},
        joined(filter_entries<"TqCompressionFilter_Execute", "TqCompressionFilter_SetThreadCount",
                              "TqCompressionFilter_GetThreadCount", "TqCompressionFilter_GetThreadsPriority",
                              "TqCompressionFilter_SetThreadsPriority", C>(),
               {method<"TqCompressionFilter_SetEncoding", &C::SetEncoding>("aValue"),
                method<"TqCompressionFilter_GetEncoding", &C::GetEncoding>(),
                registration<"TqCompressionFilter_swigregister", C>(),
                initialisation<"TqCompressionFilter_swiginit">()}));
}

// The docstrings' texts of TqCompressionFilter's rows.
const DocTable kCompressionFilterDocs{
    whole("new_TqCompressionFilter", "Constructor."),
    summary("TqCompressionFilter_Execute", kExecuteDoc),
    summary("TqCompressionFilter_GetThreadsPriority", kPriorityDoc),
};

Entries decompression_filter_entries() {
    using D = TqDecompressionFilter;
    return joined(
        {constructor_entry<"new_TqDecompressionFilter", D>(), delete_entry<"delete_TqDecompressionFilter", D>()},
        joined(filter_entries<"TqDecompressionFilter_Execute", "TqDecompressionFilter_SetThreadCount",
                              "TqDecompressionFilter_GetThreadCount", "TqDecompressionFilter_GetThreadsPriority",
                              "TqDecompressionFilter_SetThreadsPriority", D>(),
               {static_method<"TqDecompressionFilter_IsCompressed", D, &D::IsCompressed>("aIn"),
                static_method<"TqDecompressionFilter_GetOutputFormatFor", D, &D::GetOutputFormatFor,
                              TupleOutputs<>,
                              Params<const TqBuffer*, Present<PixelTypeOut>, Present<uint32_t&>,
                                     Present<uint32_t&>>>("aIn", "aPixelType", "aWidth", "aHeight"),
                registration<"TqDecompressionFilter_swigregister", D>(),
                initialisation<"TqDecompressionFilter_swiginit">()}));
}

// The docstrings' texts of TqDecompressionFilter's rows.
const DocTable kDecompressionFilterDocs{
    whole("new_TqDecompressionFilter", "Constructor."),
    summary("TqDecompressionFilter_Execute", kExecuteDoc),
    summary("TqDecompressionFilter_GetThreadsPriority", kPriorityDoc),
    summary("TqDecompressionFilter_GetOutputFormatFor", "Convert(self, aIn) -> TqResult, TqPixelType, int, int"),
};

}  // namespace kivo::module
