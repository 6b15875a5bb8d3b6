// TqLogSink: the receiver of log records that Python subclasses, and its director.
#include "classes.h"
#include "directors.h"

#include "TqLogSink.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

class SwigDirector_TqLogSink : public DirectorOf<TqLogSink, "TqLogSink", "Log"> {
public:
    using DirectorOf::DirectorOf;
    void Log(TqLogLevelEnum aLevel, const char* aLogger, uint32_t aNumber, const char* aSource, const char* aText1,
             const char* aText2) override {
        call<void, 0>(aLevel, aLogger, aNumber, aSource, aText1, aText2);
    }
};

}  // namespace

Entries log_sink_entries() {
    return {
        director_constructor<"new_TqLogSink", SwigDirector_TqLogSink, TqLogSink>(),
        undocumented(delete_entry<"delete_TqLogSink", TqLogSink>()),
        director_method<"TqLogSink_Log", &TqLogSink::Log, "TqLogSink::Log">("aLevel", "aLogger", "aNumber",
                                                                              "aSource", "aText1", "aText2"),
        disown_entry<"disown_TqLogSink", TqLogSink>(),
        registration<"TqLogSink_swigregister", TqLogSink>(),
        initialisation<"TqLogSink_swiginit">(),
    };
}

}  // namespace kivo::module
