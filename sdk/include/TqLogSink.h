// A receiver of log records (library TqBase64). The logging core calls every registered sink with
// each record that passes its logger's priority, on the thread that wrote the record.
#pragma once

#include "TqBaseExport.h"
#include "TqEnums.h"
#include "TqLiveObjects.h"

#include <cstdint>

class TQ_BASE_API TqLogSink {
public:
    TqLogSink();
    // A sink still registered is unregistered first.
    virtual ~TqLogSink();
    TqLogSink(const TqLogSink&) = delete;
    TqLogSink& operator=(const TqLogSink&) = delete;

    // One record: its level, the logger's name, the record's number, where it comes from and its two
    // texts. A text the writer left out is a null pointer.
    virtual void Log(TqLogLevelEnum aLevel, const char* aLogger, uint32_t aNumber, const char* aSource,
                     const char* aText1, const char* aText2) = 0;

private:
    TqLiveObjects::Counter mCounter{"TqLogSink"};
};

// The logging core's sinks.
namespace TqLogSinks {
TQ_BASE_API void Add(TqLogSink* aSink);
// Unregisters a sink and returns once no other thread is still calling it. False if it was not
// registered.
TQ_BASE_API bool Remove(TqLogSink* aSink);
// Sink calls that ended in an exception; the core goes on with the next sink.
TQ_BASE_API uint64_t Failures();
}  // namespace TqLogSinks
