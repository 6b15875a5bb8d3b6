// TqLogSink: the receiver of log records that Python subclasses, and its director.
#include "classes.h"
#include "directors.h"

#include "TqLogSink.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

class SwigDirector_TqLogSink : public DirectorOf<TqLogSink, "TqLogSink"> {
public:
    KIVO_DIRECTOR(SwigDirector_TqLogSink)
    KIVO_PURE_VIRTUAL(void, Log, TqLogLevelEnum, const char*, uint32_t, const char*, const char*, const char*)
};

}  // namespace

Entries log_sink_entries() {
    return {
        director_constructor<"new_TqLogSink", SwigDirector_TqLogSink, TqLogSink>(),
        undocumented(delete_entry<"delete_TqLogSink", TqLogSink>()),
        director_virtual<SwigDirector_TqLogSink, SwigDirector_TqLogSink::V_Log>("aLevel", "aLogger", "aNumber",
                                                                                 "aSource", "aText1", "aText2"),
        disown_entry<"disown_TqLogSink", TqLogSink>(),
        registration<"TqLogSink_swigregister", TqLogSink>(),
        initialisation<"TqLogSink_swiginit">(),
    };
}

}  // namespace kivo::module
