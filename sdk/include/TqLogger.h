// The SDK's logging (library TqBase64): loggers write records at five levels; a logger's priority
// decides which of its records go on. Where records go is the logging core's business: the stand-in
// keeps the latest ones (TqLogRecords) for whoever reads the log.
#pragma once

#include "TqBaseExport.h"
#include "TqEnums.h"
#include "TqLiveObjects.h"
#include "TqString.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class TQ_BASE_API TqLogger {
public:
    explicit TqLogger(const TqString& aName);
    virtual ~TqLogger();
    TqLogger(const TqLogger&) = delete;
    TqLogger& operator=(const TqLogger&) = delete;

    // Each record: where it comes from (a text), a number (a line, a code), and two texts.
    void LogInfo(const char* aSource, int aNumber, const char* aText1, const char* aText2);
    void LogError(const char* aSource, int aNumber, const char* aText1, const char* aText2);
    void LogWarning(const char* aSource, int aNumber, const char* aText1, const char* aText2);
    void LogCritical(const char* aSource, int aNumber, const char* aText1, const char* aText2);
    void LogDebug(const char* aSource, int aNumber, const char* aText1, const char* aText2);

    // The least severe level that still goes on, in the order Critical, Error, Warning, Info, Debug
    // (TqLogLevelInfo by default). TqLogLevelUnknown, or any other value, lets everything through.
    void SetLogPriority(int aPriority);
    int GetLogPriority();

private:
    void Log(TqLogLevelEnum aLevel, const char* aSource, int aNumber, const char* aText1, const char* aText2);

    std::string mName;
    std::atomic<int> mPriority{TqLogLevelInfo};
    TqLiveObjects::Counter mCounter{"TqLogger"};
};

// The stand-in's own view of the log: the latest records, oldest first.
namespace TqLogRecords {
struct Record {
    TqLogLevelEnum level;
    std::string logger;
    bool has[3];   // whether each text was given (a null pointer is none)
    std::string source;
    int32_t number;
    std::string text1, text2;
};
constexpr size_t kKept = 1000;
TQ_BASE_API std::vector<Record> Latest();
TQ_BASE_API void Clear();
}  // namespace TqLogRecords
