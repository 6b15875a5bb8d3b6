// TqResult: construction, comparison, combination and inspection of SDK results.
#include "bindings.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {
// A result's description is taken from a TqString proxy only.
using Description = ProxyOnly<const TqString&>;

template <Text Name, bool (TqResult::*Op)(const TqResult&) const, bool (TqResult::*OpCode)(uint32_t) const>
Entry comparison(const char* names) {
    return overloaded<Name, Method<Name, Op, Comparison>, Method<Name, OpCode, Comparison>>(names);
}
}  // namespace

Entries result_entries() {
    return {
        overloaded_ordered<"new_TqResult", std::index_sequence<0, 2, 4, 3, 5, 1>,
                   Ctor<"new_TqResult", TqResult>,
                   Ctor<"new_TqResult", TqResult, const TqResult&>,
                   Ctor<"new_TqResult", TqResult, uint32_t>,
                   Ctor<"new_TqResult", TqResult, uint32_t, Description>,
                   Ctor<"new_TqResult", TqResult, uint32_t, uint32_t>,
                   Ctor<"new_TqResult", TqResult, uint32_t, uint32_t, Description>>(
            ";aCode;aCode,aOSCode;aCode,aDescription;aCode,aOSCode,aDescription;aResult"),
        destructor<"delete_TqResult", TqResult>(),
        comparison<"TqResult___eq__", member<bool(const TqResult&) const>(&TqResult::operator==),
                   member<bool(uint32_t) const>(&TqResult::operator==)>("aB;aCode"),
        comparison<"TqResult___ne__", member<bool(const TqResult&) const>(&TqResult::operator!=),
                   member<bool(uint32_t) const>(&TqResult::operator!=)>("aB;aCode"),
        method<"TqResult___ior__", &TqResult::operator|=, TakeOwnership>("aB"),
        method<"TqResult_SetCode", &TqResult::SetCode>("aIn"),
        method<"TqResult_GetCode", &TqResult::GetCode>(),
        method<"TqResult_GetCodeString", &TqResult::GetCodeString>(),
        method<"TqResult_GetDescription", &TqResult::GetDescription>(),
        method<"TqResult_SetDescription", &TqResult::SetDescription, Default, Params<Description>>("aDescription"),
        method<"TqResult_HasDescription", &TqResult::HasDescription>(),
        method<"TqResult_IsFailure", &TqResult::IsFailure>(),
        method<"TqResult_IsOK", &TqResult::IsOK>(),
        method<"TqResult_IsPending", &TqResult::IsPending>(),
        method<"TqResult_IsSuccess", &TqResult::IsSuccess>(),
        method<"TqResult_GetInternalCode", &TqResult::GetInternalCode>(),
        method<"TqResult_GetOSCode", &TqResult::GetOSCode>(),
        registration<TqResult>("TqResult_swigregister"),
        initialisation("TqResult_swiginit"),
    };
}

}  // namespace kivo::module
