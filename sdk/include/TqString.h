// The SDK's string: wide-character storage with a multibyte (UTF-8) form on request.
#pragma once

#include "TqBaseExport.h"
#include "TqLiveObjects.h"

#include <string>

class TQ_BASE_API TqString {
public:
    TqString();
    TqString(const TqString& aValue);
    TqString(const char* aValue);
    TqString(const char* aValue, unsigned int aN);
    TqString(const wchar_t* aValue);
    virtual ~TqString();

    TqString& operator=(const TqString& aValue);
    const TqString& operator+=(const TqString& aValue);

    bool operator==(const char* aValue) const;
    bool operator==(const wchar_t* aValue) const;
    bool operator==(const TqString& aValue) const;
    bool operator!=(const char* aValue) const;
    bool operator!=(const wchar_t* aValue) const;
    bool operator!=(const TqString& aValue) const;

    // Multibyte form: UTF-8, where lone surrogates U+DC80..U+DCFF stand for the raw bytes 0x80..0xFF.
    const char* GetAscii() const;
    const wchar_t* GetUnicode() const;
    unsigned int GetLength() const;

private:
    std::wstring mWide;
    mutable std::string mNarrow;
    TqLiveObjects::Counter mCounter{"TqString"};
};
