#include "TqLiveObjects.h"

#include <map>
#include <mutex>

namespace TqLiveObjects {
namespace {

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, long>& Table() {
    static auto* table = new std::map<std::string, long>();   // outlives every static object
    return *table;
}

void Add(const char* aClass, long aDelta) {
    std::lock_guard<std::mutex> guard(Lock());
    Table()[aClass] += aDelta;
}

}  // namespace

Counter::Counter(const char* aClass) : mClass(aClass) { Add(mClass, 1); }
Counter::Counter(const Counter& aOther) : mClass(aOther.mClass) { Add(mClass, 1); }
Counter::~Counter() { Add(mClass, -1); }

long Count(const char* aClass) {
    std::lock_guard<std::mutex> guard(Lock());
    auto it = Table().find(aClass);
    return it == Table().end() ? 0 : it->second;
}

std::vector<std::pair<std::string, long>> Snapshot() {
    std::lock_guard<std::mutex> guard(Lock());
    return {Table().begin(), Table().end()};
}

}  // namespace TqLiveObjects
