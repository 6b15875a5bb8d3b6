// ITqRegisterEventSink, which Python subclasses (its director calls PreRead, PostRead, PreWrite,
// PostWrite and Persist on the thread that reaches the register), and ITqRegisterStore, the user-set
// store a sink's Persist gets. None makes a plain sink: it accepts every access and persists nothing.
#include "classes.h"
#include "directors.h"

#include "ITqRegister.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using Sink = ITqRegisterEventSink;
using Reg = ITqRegister*;

class SwigDirector_ITqRegisterEventSink : public DirectorOf<Sink, "ITqRegisterEventSink"> {
public:
    KIVO_DIRECTOR(SwigDirector_ITqRegisterEventSink)
    KIVO_VIRTUAL(TqResult, PreRead, Reg)
    KIVO_VIRTUAL(void, PostRead, Reg)
    KIVO_VIRTUAL(TqResult, PreWrite, Reg)
    KIVO_VIRTUAL(void, PostWrite, Reg)
    KIVO_VIRTUAL(TqResult, Persist, Reg, ITqRegisterStore*)
};

}  // namespace

Entries register_event_sink_entries() {
    using D = SwigDirector_ITqRegisterEventSink;
    return {
        undocumented(director_constructor<"new_ITqRegisterEventSink", D, Sink, true>()),
        disown_entry<"disown_ITqRegisterEventSink", Sink>(),
        delete_entry<"delete_ITqRegisterEventSink", Sink>(),
        director_virtual<D, D::V_PreRead>("aRegister"),
        director_virtual<D, D::V_PostRead>("aRegister"),
        director_virtual<D, D::V_PreWrite>("aRegister"),
        director_virtual<D, D::V_PostWrite>("aRegister"),
        director_virtual<D, D::V_Persist>("aRegister", "aStore"),
        registration<"ITqRegisterEventSink_swigregister", Sink>(),
        initialisation<"ITqRegisterEventSink_swiginit">(),
    };
}

// The docstrings' texts of ITqRegisterEventSink's rows.
const DocTable kRegisterEventSinkDocs{
    whole("delete_ITqRegisterEventSink", "Virtual destructor."),
};

Entries register_store_entries() {
    using S = ITqRegisterStore;
    return {
        undocumented(delete_entry<"delete_ITqRegisterStore", S>()),
        method<"ITqRegisterStore_Persist", &S::Persist>("aRegister", "aNameSuffix"),
        registration<"ITqRegisterStore_swigregister", S>(),
    };
}

// The docstrings' texts of ITqRegisterStore's rows.
const DocTable kRegisterStoreDocs{
    summary("ITqRegisterStore_Persist",
            "Saves the register's bytes into the user set being saved, or loads them from the user set being loaded, "
            "under the register's name followed by aNameSuffix (one suffix per selector combination).\n\nResults: OK "
            "on success."),
};

}  // namespace kivo::module
