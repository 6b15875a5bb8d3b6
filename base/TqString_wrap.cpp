// TqString: construction from Python text, comparison, appending and conversion back to str.
#include "classes.h"
#include "sdk_types.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

const wchar_t* text_of(TqString* self) { return self->GetUnicode(); }

// __eq__ and __ne__ of one operator: multibyte, wide and TqString operands, in declaration order.
template <Text Name, bool (TqString::*Narrow)(const char*) const, bool (TqString::*Wide)(const wchar_t*) const,
          bool (TqString::*Whole)(const TqString&) const>
Entry comparison() {
    return overloaded<Name>(meth<Narrow, Comparison<>>("aValue"), meth<Wide, Comparison<>>("aValue"),
                            meth<Whole, Comparison<>>("aValue"));
}

}  // namespace

Entries string_entries() {
    return {
        overloaded<"new_TqString">(
            constructor<TqString>(),
            constructor<TqString, const TqString&>("aValue"),
            constructor<TqString, const char*>("aValue"),
            constructor<TqString, const char*, Spelled<"unsigned int", uint32_t>>("aValue", "aN"),
            constructor<TqString, const wchar_t*>("aValue")),
        delete_entry<"delete_TqString", TqString>(),
        method<"TqString___iadd__", &TqString::operator+=, AsText<>>("aValue"),
        comparison<"TqString___eq__", member<bool(const char*) const>(&TqString::operator==),
                   member<bool(const wchar_t*) const>(&TqString::operator==),
                   member<bool(const TqString&) const>(&TqString::operator==)>(),
        comparison<"TqString___ne__", member<bool(const char*) const>(&TqString::operator!=),
                   member<bool(const wchar_t*) const>(&TqString::operator!=),
                   member<bool(const TqString&) const>(&TqString::operator!=)>(),
        method<"TqString_GetAscii", &TqString::GetAscii>(),
        method<"TqString_GetUnicode", &TqString::GetUnicode>(),
        method<"TqString_GetLength", &TqString::GetLength>(),
        undocumented(method<"TqString___str__", &text_of>()),
        registration<"TqString_swigregister", TqString>(),
        initialisation<"TqString_swiginit">(),
    };
}

}  // namespace kivo::module
