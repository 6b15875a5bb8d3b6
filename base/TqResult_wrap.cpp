// TqResult: construction, comparison, combination and inspection of SDK results.
#include "classes.h"
#include "directors.h"
#include "sdk_types.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {
// A result's description is taken from a TqString proxy only.
using Description = ProxyOnly<const TqString&>;
}  // namespace

Entries result_entries() {
    return {
        overloaded<"new_TqResult">(
            constructor<TqResult>(),
            constructor<TqResult, uint32_t>("aCode"),
            constructor<TqResult, uint32_t, uint32_t>("aCode", "aOSCode"),
            constructor<TqResult, uint32_t, Description>("aCode", "aDescription"),
            constructor<TqResult, uint32_t, uint32_t, Description>("aCode", "aOSCode", "aDescription"),
            constructor<TqResult, const TqResult&>("aResult")),
        delete_entry<"delete_TqResult", TqResult>(),
        overloaded<"TqResult___eq__">(
            meth<member<bool(const TqResult&) const>(&TqResult::operator==), Comparison<>>("aB"),
            meth<member<bool(uint32_t) const>(&TqResult::operator==), Comparison<>>("aCode")),
        overloaded<"TqResult___ne__">(
            meth<member<bool(const TqResult&) const>(&TqResult::operator!=), Comparison<>>("aB"),
            meth<member<bool(uint32_t) const>(&TqResult::operator!=), Comparison<>>("aCode")),
        method<"TqResult___ior__", &TqResult::operator|=, TakeOwnership<>>("aB"),
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
        registration<"TqResult_swigregister", TqResult>(),
        initialisation<"TqResult_swiginit">(),
    };
}

}  // namespace kivo::module

TqResult kivo::rt::CallbackResult<TqResult>::from(PyObject* o, const char* method) {
    TqResult result;
    int32_t code = 0;
    if (PyLong_Check(o)) {
        if (SwigAs_Int32(o, &code) >= 0) {
            result.SetCode(static_cast<uint32_t>(code));
            return result;
        }
        if (PyErr_Occurred()) PyErr_Clear();
    } else {
        void* p = nullptr;
        if (SwigPyObject_ConvertPtr(o, &p, descriptor_of<TqResult>(), 0, nullptr) >= 0 && p)
            return *static_cast<TqResult*>(p);
        if (PyErr_Occurred()) PyErr_Clear();
    }
    Swig::DirectorTypeMismatchException::raise_TypeError(std::string("in method ") + method +
                                                         " with output value of type 'TqResult'");
}
