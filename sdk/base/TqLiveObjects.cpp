#include "TqLiveObjects.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
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

struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    std::atomic<bool> armed{false};
    bool waiting = false;
    bool open = false;
    bool opened = false;
    unsigned timeoutMs = 0;
};

Gate& TheGate() {
    static Gate gate;
    return gate;
}

void PassGate() {
    Gate& g = TheGate();
    if (!g.armed.exchange(false)) return;
    std::unique_lock<std::mutex> guard(g.lock);
    g.waiting = true;
    g.opened = g.changed.wait_for(guard, std::chrono::milliseconds(g.timeoutMs), [&] { return g.open; });
    g.waiting = false;
}

void Add(const char* aClass, long aDelta) {
    PassGate();
    std::lock_guard<std::mutex> guard(Lock());
    Table()[aClass] += aDelta;
}

}  // namespace

Counter::Counter(const char* aClass) : mClass(aClass) { Add(mClass, 1); }
Counter::Counter(const Counter& aOther) : mClass(aOther.mClass) { Add(mClass, 1); }
Counter::~Counter() { Add(mClass, -1); }

void ArmGate(unsigned aTimeoutMs) {
    Gate& g = TheGate();
    std::lock_guard<std::mutex> guard(g.lock);
    g.open = false;
    g.opened = false;
    g.timeoutMs = aTimeoutMs;
    g.armed = true;
}

void OpenGate() {
    Gate& g = TheGate();
    {
        std::lock_guard<std::mutex> guard(g.lock);
        if (g.waiting) g.open = true;   // only a thread that runs while the gate waits opens it
    }
    g.changed.notify_all();
}

bool GateOpened() {
    Gate& g = TheGate();
    std::lock_guard<std::mutex> guard(g.lock);
    return g.opened;
}

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
