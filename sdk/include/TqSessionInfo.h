// One session announced on the network (a plain record of the SDK's headers).
#pragma once

#include "TqString.h"

#include <cstdint>

struct TqSessionInfo {
    TqString mName;
    TqString mAddress;
    uint16_t mPort = 0;
    TqString mLocalAddress;
};
