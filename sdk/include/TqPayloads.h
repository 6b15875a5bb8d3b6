// Payloads of a buffer that the module passes on as bare handles: an H.264 access unit and a
// compressed frame. The stand-in keeps the received bytes' length only.
#pragma once

#include <cstdint>

class ITqH264AccessUnit {
public:
    virtual ~ITqH264AccessUnit() {}
    uint64_t mLength = 0;
};

class TqZelvraCompressed {
public:
    virtual ~TqZelvraCompressed() {}
    uint64_t mLength = 0;
};

class ITqMultiPartContainer;
