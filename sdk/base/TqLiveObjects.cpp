#include "TqLiveObjects.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

namespace TqLiveObjects {
namespace {

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}

// Keyed by the class name's address (a literal of the class): counting costs no string work. Two
// literals of one name are added up when the counts are read.
std::unordered_map<const char*, long>& Table() {
    static auto* table = new std::unordered_map<const char*, long>();   // outlives every static object
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

std::vector<std::pair<std::string, long>> Snapshot() {
    std::map<std::string, long> byName;
    {
        std::lock_guard<std::mutex> guard(Lock());
        for (const auto& [name, count] : Table()) byName[name] += count;
    }
    return {byName.begin(), byName.end()};
}

long Count(const char* aClass) {
    for (const auto& [name, count] : Snapshot())
        if (name == aClass) return count;
    return 0;
}

}  // namespace TqLiveObjects

namespace TqObjectsGone {
namespace {
constexpr size_t kMaxListeners = 8;
std::atomic<Listener> gListeners[kMaxListeners];
std::atomic<size_t> gListening{0};
std::mutex gJoining;
}  // namespace

void Listen(Listener aListener) {
    std::lock_guard<std::mutex> guard(gJoining);
    const size_t n = gListening.load();
    for (size_t i = 0; i < n; ++i)
        if (gListeners[i].load() == aListener) return;
    if (!aListener || n == kMaxListeners) return;
    gListeners[n].store(aListener);
    gListening.store(n + 1);
}

void Tell(News aNews, const void* const* aObjects, size_t aCount) {
    if (!aCount) return;
    const size_t n = gListening.load(std::memory_order_acquire);
    for (size_t i = 0; i < n; ++i)
        if (Listener listener = gListeners[i].load()) listener(aNews, aObjects, aCount);
}
}  // namespace TqObjectsGone

namespace TqCallLog {
namespace {
struct Log {
    std::mutex lock;
    std::map<std::string, std::string> last;
};
Log& TheLog() {
    static Log* log = new Log;   // members may be called while the process exits
    return *log;
}
}  // namespace

void Note(const char* aMember, const std::string& aArguments) {
    Log& log = TheLog();
    std::lock_guard<std::mutex> guard(log.lock);
    log.last[aMember] = aArguments;
}

bool Last(const char* aMember, std::string& aArguments) {
    Log& log = TheLog();
    std::lock_guard<std::mutex> guard(log.lock);
    auto it = log.last.find(aMember);
    if (it == log.last.end()) return false;
    aArguments = it->second;
    return true;
}
}  // namespace TqCallLog
