// TqLogger: a logger made from a name, its five levels and its priority.
#include "classes.h"
#include "sdk_types.h"

#include "TqLogger.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using Record = Params<const char*, Spelled<"int", int>, const char*, const char*>;

template <Text Name, auto Log>
Entry log_row() {
    return undocumented(method<Name, Log, Default, Record>("aSource", "aNumber", "aText1", "aText2"));
}

}  // namespace

Entries logger_entries() {
    using L = TqLogger;
    return {
        undocumented(constructor_entry<"new_TqLogger", L, const TqString&>("aName")),
        undocumented(delete_entry<"delete_TqLogger", L>()),
        log_row<"TqLogger_LogInfo", &L::LogInfo>(),
        log_row<"TqLogger_LogError", &L::LogError>(),
        log_row<"TqLogger_LogWarning", &L::LogWarning>(),
        log_row<"TqLogger_LogCritical", &L::LogCritical>(),
        log_row<"TqLogger_LogDebug", &L::LogDebug>(),
        undocumented(method<"TqLogger_SetLogPriority", &L::SetLogPriority>("aPriority")),
        undocumented(method<"TqLogger_GetLogPriority", &L::GetLogPriority>()),
        registration<"TqLogger_swigregister", L>(),
        initialisation<"TqLogger_swiginit">(),
    };
}

}  // namespace kivo::module
