// A list of texts the SDK fills (for example the available entries of an enumeration).
#pragma once

#include "TqBaseExport.h"
#include "TqString.h"

#include <cstdint>
#include <vector>

class TqStringList {
public:
    uint32_t GetSize() const { return static_cast<uint32_t>(mItems.size()); }
    const TqString& GetItem(uint32_t aIndex) const { return mItems.at(aIndex); }
    void Add(const TqString& aItem) { mItems.push_back(aItem); }
    void Clear() { mItems.clear(); }

private:
    std::vector<TqString> mItems;
};
