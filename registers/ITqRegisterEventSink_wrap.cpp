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
        documented(director_virtual<D, D::V_PreRead>("aRegister")),
        documented(director_virtual<D, D::V_PostRead>("aRegister")),
        documented(director_virtual<D, D::V_PreWrite>("aRegister")),
        documented(director_virtual<D, D::V_PostWrite>("aRegister")),
        documented(director_virtual<D, D::V_Persist>("aRegister", "aStore")),
        registration<"ITqRegisterEventSink_swigregister", Sink>(),
        initialisation<"ITqRegisterEventSink_swiginit">(),
    };
}

// The docstrings' texts of ITqRegisterEventSink's rows.
const DocTable kRegisterEventSinkDocs{
    whole("delete_ITqRegisterEventSink", "Virtual destructor."),
    summary("ITqRegisterEventSink_PreRead",
            "Runs before a register read on the software device, whether the read comes from an internal ITqRegister "
            "read or from a READREG_CMD or READMEM_CMD GVCP request. It is the place to refresh the register's content "
            "with dynamic information (the device itself refreshes its timestamp register this way). An error "
            "returned makes the read fail up to where it was initiated."),
    summary("ITqRegisterEventSink_PostRead", "Runs after a register read."),
    summary("ITqRegisterEventSink_PreWrite",
            "Runs before a register write, from an internal write or a WRITEREG_CMD or WRITEMEM_CMD GVCP request. The "
            "new value can be read through aRegister; an error returned makes the write fail and the register revert "
            "to its previous value. Since another sink may still refuse the write, reactions to a new value belong in "
            "PostWrite, not here."),
    summary("ITqRegisterEventSink_PostWrite",
            "Runs after a register write: the place to react to a changed value (the device itself opens or closes "
            "its streaming channel on SCDA or SCP changes this way)."),
    summary("ITqRegisterEventSink_Persist",
            "Runs when a user set is saved or loaded. Most registers need nothing: setting the Streamable attribute "
            "of their GenApi feature makes them part of user sets. A register with GenApi selectors holds several "
            "values and must be walked through every selector combination: its sink implements Persist and calls "
            "aStore.Persist once per combination.\n\nResults: OK when it handled the register; NOT_IMPLEMENTED when "
            "the register needs no such handling (the default); any other code on failure."),
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
