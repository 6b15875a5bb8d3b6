// Accounting of live SDK objects per class: every class of the SDK holds a counter member, so tests
// can check that what Python made was destroyed again.
#pragma once

#include "TqBaseExport.h"

#include <string>
#include <utility>
#include <vector>

namespace TqLiveObjects {

// A member that counts the objects of one class while they live (copies count too).
class TQ_BASE_API Counter {
public:
    explicit Counter(const char* aClass);
    Counter(const Counter& aOther);
    Counter& operator=(const Counter&) { return *this; }
    ~Counter();

private:
    const char* mClass;
};

// Objects constructed minus objects destroyed, per class name.
TQ_BASE_API long Count(const char* aClass);
TQ_BASE_API std::vector<std::pair<std::string, long>> Snapshot();

}  // namespace TqLiveObjects
