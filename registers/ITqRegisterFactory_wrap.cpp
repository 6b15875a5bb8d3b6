// ITqRegisterFactory: adds the application's registers to a software device, handed to Python only
// inside the register callbacks of TqSoftDeviceGEV.Start. The sink given stays alive while the new
// register keeps it (as with ITqRegister.AddEventSink); the context is kept as a bare pointer.
#include "attached.h"
#include "classes.h"
#include "sdk_types.h"

#include "ITqRegister.h"
#include "TqSoftDeviceGEV.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using F = ITqRegisterFactory;
using SinkOrNull = WithDefault<ITqRegisterEventSink*, static_cast<ITqRegisterEventSink*>(nullptr)>;
using ContextOrNull = WithDefault<void*, static_cast<void*>(nullptr)>;
using Shape = Params<const TqString&, uint32_t, uint32_t, TqGenAccessMode, SinkOrNull, ContextOrNull>;
// The register the call made, which keeps the sink: found at its address in the map of the start the
// factory serves, which the factory's proxy belongs to (the callback's device, or its map). A factory
// reached otherwise keeps the sink itself, for as long as the process.
const void* made_register(CallFrame& f) {
    SwigPyObject* factory = SwigPyObject_Match(f.item_at(1), descriptor_of<F>());
    SwigPyObject* from = factory ? factory->parent : nullptr;
    ITqRegisterMap* map = nullptr;
    if (from && from->ptr && from->ty == descriptor_of<ITqRegisterMap>())
        map = static_cast<ITqRegisterMap*>(from->ptr);
    else if (from && from->ptr && from->ty == descriptor_of<ITqSoftDeviceGEV>())
        map = static_cast<ITqSoftDeviceGEV*>(from->ptr)->GetRegisterMap();
    ITqRegister* made = map ? map->GetRegisterByAddress(f.arg<uint32_t>(3)) : nullptr;
    return made ? static_cast<const void*>(made) : f.self<void>();
}

using Policy = RegistersWith<&made_register, 6, NoneSelfCommits<RefusalCommitsFrom<2>>>;

template <Text Name, auto Add>
Entry adder() {
    return overloaded<Name>(meth<Add, Policy, Shape>("aName", "aAddress", "aLength", "aAccessMode",
                                                    "aRegisterEventSink", "aContext"));
}

}  // namespace

Entries register_factory_entries() {
    return {
        adder<"ITqRegisterFactory_AddRegister", &F::AddRegister>(),
        adder<"ITqRegisterFactory_AddByteArray", &F::AddByteArray>(),
        delete_entry<"delete_ITqRegisterFactory", F>(),
        registration<"ITqRegisterFactory_swigregister", F>(),
    };
}

// The docstrings' texts of ITqRegisterFactory's rows.
const DocTable kRegisterFactoryDocs{
    summary("ITqRegisterFactory_AddRegister",
            "A plain register, for Integer and Float features: aLength 4 or 8. aAddress (a multiple of 4 from "
            "0x00010000 to 0x0FFFFFFF) must not overlap a register made before; aName is a unique GenICam name; "
            "aAccessMode read-only, read-write or write-only. aRegisterEventSink is added to the new register; "
            "aContext comes back from its GetContext.\n\nResults: OK; INVALID_PARAMETER: a rule is broken; "
            "STATE_ERROR: the register callbacks have returned."),
    summary("ITqRegisterFactory_AddByteArray",
            "An array of bytes, for String and Register features: aLength a positive multiple of 4. The other "
            "arguments as for AddRegister."),
    whole("delete_ITqRegisterFactory", "Virtual destructor."),
};

}  // namespace kivo::module
