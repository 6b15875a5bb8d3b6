#include "TqLogger.h"
#include "TqLogSink.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace {

// Severity rank: 0 is the most severe; levels outside the five have none.
int Rank(int aLevel) {
    switch (aLevel) {
    case TqLogLevelCritical: return 0;
    case TqLogLevelError: return 1;
    case TqLogLevelWarning: return 2;
    case TqLogLevelInfo: return 3;
    case TqLogLevelDebug: return 4;
    default: return -1;
    }
}

// A registered sink and the calls of it in flight.
struct SinkEntry {
    TqLogSink* sink;
    int inFlight = 0;
    bool removed = false;
};

struct Core {
    std::mutex lock;
    std::deque<TqLogRecords::Record> records;

    std::mutex sinkLock;   // never held while a sink runs
    std::condition_variable sinkIdle;
    std::vector<std::shared_ptr<SinkEntry>> sinks;
    uint64_t failures = 0;
};

// The sinks this thread is calling, innermost last.
thread_local std::vector<SinkEntry*> tCalling;

// Never destroyed: loggers may write while the process exits.
Core& TheCore() {
    static Core* core = new Core;
    return *core;
}

std::string Copy(const char* aText) { return aText ? aText : ""; }

// Calls every sink registered when the record arrives, except those removed meanwhile. A sink that
// throws counts as failed; the others still get the record.
void Dispatch(Core& core, TqLogLevelEnum aLevel, const char* aLogger, uint32_t aNumber, const char* aSource,
              const char* aText1, const char* aText2) {
    std::vector<std::shared_ptr<SinkEntry>> sinks;
    {
        std::lock_guard<std::mutex> guard(core.sinkLock);
        if (core.sinks.empty()) return;
        sinks = core.sinks;
    }
    for (auto& e : sinks) {
        {
            std::lock_guard<std::mutex> guard(core.sinkLock);
            if (e->removed) continue;
            ++e->inFlight;
        }
        bool failed = false;
        tCalling.push_back(e.get());
        try {
            e->sink->Log(aLevel, aLogger, aNumber, aSource, aText1, aText2);
        } catch (...) {
            failed = true;
        }
        tCalling.pop_back();
        std::lock_guard<std::mutex> guard(core.sinkLock);
        --e->inFlight;
        if (failed) ++core.failures;
        core.sinkIdle.notify_all();
    }
}

}  // namespace

TqLogSink::TqLogSink() = default;
TqLogSink::~TqLogSink() { TqLogSinks::Remove(this); }

void TqLogSinks::Add(TqLogSink* aSink) {
    if (!aSink) return;
    Core& core = TheCore();
    std::lock_guard<std::mutex> guard(core.sinkLock);
    for (auto& e : core.sinks)
        if (e->sink == aSink) return;
    core.sinks.push_back(std::make_shared<SinkEntry>(SinkEntry{aSink}));
}

bool TqLogSinks::Remove(TqLogSink* aSink) {
    Core& core = TheCore();
    std::unique_lock<std::mutex> guard(core.sinkLock);
    auto it = std::find_if(core.sinks.begin(), core.sinks.end(), [&](auto& e) { return e->sink == aSink; });
    if (it == core.sinks.end()) return false;
    std::shared_ptr<SinkEntry> entry = *it;
    core.sinks.erase(it);
    entry->removed = true;
    // Calls on this thread (a sink removed from inside a record's dispatch) cannot be waited for.
    const int mine = static_cast<int>(std::count(tCalling.begin(), tCalling.end(), entry.get()));
    core.sinkIdle.wait(guard, [&] { return entry->inFlight <= mine; });
    return true;
}

uint64_t TqLogSinks::Failures() {
    Core& core = TheCore();
    std::lock_guard<std::mutex> guard(core.sinkLock);
    return core.failures;
}

TqLogger::TqLogger(const TqString& aName) : mName(aName.GetAscii()) {}
TqLogger::~TqLogger() = default;

void TqLogger::LogInfo(const char* aSource, int aNumber, const char* aText1, const char* aText2) {
    Log(TqLogLevelInfo, aSource, aNumber, aText1, aText2);
}
void TqLogger::LogError(const char* aSource, int aNumber, const char* aText1, const char* aText2) {
    Log(TqLogLevelError, aSource, aNumber, aText1, aText2);
}
void TqLogger::LogWarning(const char* aSource, int aNumber, const char* aText1, const char* aText2) {
    Log(TqLogLevelWarning, aSource, aNumber, aText1, aText2);
}
void TqLogger::LogCritical(const char* aSource, int aNumber, const char* aText1, const char* aText2) {
    Log(TqLogLevelCritical, aSource, aNumber, aText1, aText2);
}
void TqLogger::LogDebug(const char* aSource, int aNumber, const char* aText1, const char* aText2) {
    Log(TqLogLevelDebug, aSource, aNumber, aText1, aText2);
}

void TqLogger::SetLogPriority(int aPriority) { mPriority = aPriority; }
int TqLogger::GetLogPriority() { return mPriority; }

void TqLogger::Log(TqLogLevelEnum aLevel, const char* aSource, int aNumber, const char* aText1, const char* aText2) {
    const int limit = Rank(mPriority);
    if (limit >= 0 && Rank(aLevel) > limit) return;
    TqLogRecords::Record record{aLevel,
                                mName,
                                {aSource != nullptr, aText1 != nullptr, aText2 != nullptr},
                                Copy(aSource),
                                aNumber,
                                Copy(aText1),
                                Copy(aText2)};
    Core& core = TheCore();
    {
        std::lock_guard<std::mutex> guard(core.lock);
        core.records.push_back(std::move(record));
        if (core.records.size() > TqLogRecords::kKept) core.records.pop_front();
    }
    Dispatch(core, aLevel, mName.c_str(), static_cast<uint32_t>(aNumber), aSource, aText1, aText2);
}

std::vector<TqLogRecords::Record> TqLogRecords::Latest() {
    Core& core = TheCore();
    std::lock_guard<std::mutex> guard(core.lock);
    return {core.records.begin(), core.records.end()};
}

void TqLogRecords::Clear() {
    Core& core = TheCore();
    std::lock_guard<std::mutex> guard(core.lock);
    core.records.clear();
}
