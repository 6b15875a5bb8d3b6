#include "TqLogger.h"
#include "TqLogSink.h"

#include "TqSinkList.h"

#include <atomic>
#include <deque>
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

struct Core {
    std::mutex lock;
    std::deque<TqLogRecords::Record> records;

    TqSinkList<TqLogSink> sinks;   // called with no lock held
    std::atomic<uint64_t> failures{0};
};

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
    if (core.sinks.Empty()) return;
    core.failures += core.sinks.Each(
        [&](TqLogSink* aSink) { aSink->Log(aLevel, aLogger, aNumber, aSource, aText1, aText2); });
}

}  // namespace

TqLogSink::TqLogSink() = default;
TqLogSink::~TqLogSink() { TqLogSinks::Remove(this); }

void TqLogSinks::Add(TqLogSink* aSink) { TheCore().sinks.Add(aSink); }

// Calls on this thread (a sink removed from inside a record's dispatch) are not waited for.
bool TqLogSinks::Remove(TqLogSink* aSink) { return TheCore().sinks.Remove(aSink).IsOK(); }

uint64_t TqLogSinks::Failures() { return TheCore().failures; }

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
