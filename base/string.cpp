// TqString: construction from Python text, comparison, appending and conversion back to str.
#include "bindings.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

const wchar_t* text_of(TqString* self) { return self->GetUnicode(); }

template <Text Name, bool (TqString::*Wide)(const wchar_t*) const, bool (TqString::*Narrow)(const char*) const,
          bool (TqString::*Whole)(const TqString&) const>
Entry comparison(const char* names) {
    return overloaded_ordered<Name, std::index_sequence<1, 0, 2>, Method<Name, Wide, Comparison>,
                      Method<Name, Narrow, Comparison>, Method<Name, Whole, Comparison>>(names);
}

}  // namespace

Entries string_entries() {
    return {
        overloaded_ordered<"new_TqString", std::index_sequence<0, 3, 2, 4, 1>,
                   Ctor<"new_TqString", TqString>,
                   Ctor<"new_TqString", TqString, const wchar_t*>,
                   Ctor<"new_TqString", TqString, const char*>,
                   Ctor<"new_TqString", TqString, const TqString&>,
                   Ctor<"new_TqString", TqString, const char*, Spelled<"unsigned int", uint32_t>>>(
            ";aValue;aValue;aValue,aN;aValue"),
        destructor<"delete_TqString", TqString>(),
        method<"TqString___iadd__", &TqString::operator+=, AsText>("aValue"),
        comparison<"TqString___eq__", member<bool(const wchar_t*) const>(&TqString::operator==),
                   member<bool(const char*) const>(&TqString::operator==),
                   member<bool(const TqString&) const>(&TqString::operator==)>("aValue;aValue;aValue"),
        comparison<"TqString___ne__", member<bool(const wchar_t*) const>(&TqString::operator!=),
                   member<bool(const char*) const>(&TqString::operator!=),
                   member<bool(const TqString&) const>(&TqString::operator!=)>("aValue;aValue;aValue"),
        method<"TqString_GetAscii", &TqString::GetAscii>(),
        method<"TqString_GetUnicode", &TqString::GetUnicode>(),
        method<"TqString_GetLength", &TqString::GetLength>(),
        entry_of<Method<"TqString___str__", &text_of>>("TqString___str__", "", false),
        registration<TqString>("TqString_swigregister"),
        initialisation("TqString_swiginit"),
    };
}

}  // namespace kivo::module
