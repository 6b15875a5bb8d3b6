#include "TqString.h"

#include <cstring>
#include <cstdint>
#include <cwchar>

namespace {

// Decodes UTF-8; a byte that does not start a valid sequence becomes U+DC80 + (byte - 0x80).
std::wstring Decode(const char* aText, std::size_t aSize) {
    std::wstring out;
    const auto* s = reinterpret_cast<const unsigned char*>(aText);
    std::size_t i = 0;
    while (i < aSize) {
        unsigned char c = s[i];
        std::size_t need = 0;
        uint32_t cp = 0, min = 0;
        if (c < 0x80) {
            out.push_back(static_cast<wchar_t>(c));
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            need = 1; cp = c & 0x1F; min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            need = 2; cp = c & 0x0F; min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            need = 3; cp = c & 0x07; min = 0x10000;
        }
        bool ok = need > 0;
        for (std::size_t k = 1; ok && k <= need; ++k) {
            if (i + k >= aSize || (s[i + k] & 0xC0) != 0x80) ok = false;
            else cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (ok) {
            out.push_back(static_cast<wchar_t>(cp));
            i += need + 1;
        } else {
            out.push_back(static_cast<wchar_t>(0xDC00 + c));
            ++i;
        }
    }
    return out;
}

std::string Encode(const std::wstring& aText) {
    std::string out;
    for (wchar_t w : aText) {
        auto cp = static_cast<uint32_t>(w);
        if (cp >= 0xDC80 && cp <= 0xDCFF) {
            out.push_back(static_cast<char>(cp - 0xDC00));   // an escaped raw byte
        } else if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::wstring FromNarrow(const char* aValue) { return aValue ? Decode(aValue, std::strlen(aValue)) : std::wstring(); }

}  // namespace

TqString::TqString() = default;
TqString::TqString(const TqString& aValue) : mWide(aValue.mWide) {}
TqString::TqString(const char* aValue) : mWide(FromNarrow(aValue)) {}
TqString::TqString(const char* aValue, unsigned int aN) {
    // The string holds the first aN bytes of aValue (fewer when it ends before).
    std::size_t size = aValue ? strnlen(aValue, aN) : 0;
    mWide = aValue ? Decode(aValue, size) : std::wstring();
}
TqString::TqString(const wchar_t* aValue) : mWide(aValue ? aValue : L"") {}
TqString::~TqString() = default;

TqString& TqString::operator=(const TqString& aValue) {
    mWide = aValue.mWide;
    return *this;
}

const TqString& TqString::operator+=(const TqString& aValue) {
    mWide += aValue.mWide;
    return *this;
}

bool TqString::operator==(const char* aValue) const { return mWide == FromNarrow(aValue); }
bool TqString::operator==(const wchar_t* aValue) const { return mWide == (aValue ? aValue : L""); }
bool TqString::operator==(const TqString& aValue) const { return mWide == aValue.mWide; }
bool TqString::operator!=(const char* aValue) const { return !(*this == aValue); }
bool TqString::operator!=(const wchar_t* aValue) const { return !(*this == aValue); }
bool TqString::operator!=(const TqString& aValue) const { return !(*this == aValue); }

const char* TqString::GetAscii() const {
    mNarrow = Encode(mWide);
    return mNarrow.c_str();
}

const wchar_t* TqString::GetUnicode() const { return mWide.c_str(); }

unsigned int TqString::GetLength() const { return static_cast<unsigned int>(mWide.size()); }
