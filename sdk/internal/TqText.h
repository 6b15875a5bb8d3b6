// The text of a TqString as the stand-in libraries keep texts: UTF-8 in a std::string (empty for
// none). One helper for every library, since the SDK's own TqString hands its text out as a C string
// it may replace on the next call.
#pragma once

#include "TqString.h"

#include <string>

namespace TqText {

inline std::string Utf8(const TqString& aText) {
    const char* text = aText.GetAscii();
    return text ? text : "";
}

}  // namespace TqText
