// ITqRegisterFactory: adds the application's registers to a software device, handed to Python only
// inside the register callbacks of TqSoftDeviceGEV.Start. The sink and the context are kept by the
// device as bare pointers: the caller keeps both alive while the register exists.
#include "classes.h"
#include "sdk_types.h"

#include "ITqRegister.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using F = ITqRegisterFactory;
using SinkOrNull = WithDefault<ITqRegisterEventSink*, static_cast<ITqRegisterEventSink*>(nullptr)>;
using ContextOrNull = WithDefault<void*, static_cast<void*>(nullptr)>;
using Shape = Params<const TqString&, uint32_t, uint32_t, TqGenAccessMode, SinkOrNull, ContextOrNull>;
using Policy = NoneSelfCommits<RefusalCommitsFrom<2>>;

template <Text Name, auto Add>
Entry adder(const char* doc) {
    return described(overloaded<Name>(meth<Add, Policy, Shape>("aName", "aAddress", "aLength", "aAccessMode",
                                                              "aRegisterEventSink", "aContext")),
                     doc);
}

}  // namespace

Entries register_factory_entries() {
    return {
        adder<"ITqRegisterFactory_AddRegister", &F::AddRegister>(
            "A plain register, for Integer and Float features: aLength 4 or 8. aAddress (a multiple of 4 from "
            "0x00010000 to 0x0FFFFFFF) must not overlap a register made before; aName is a unique GenICam name; "
            "aAccessMode read-only, read-write or write-only. aRegisterEventSink is added to the new register; "
            "aContext comes back from its GetContext.\n\nResults: OK; INVALID_PARAMETER: a rule is broken; "
            "STATE_ERROR: the register callbacks have returned."),
        adder<"ITqRegisterFactory_AddByteArray", &F::AddByteArray>(
            "An array of bytes, for String and Register features: aLength a positive multiple of 4. The other "
            "arguments as for AddRegister."),
        documented_as(delete_entry<"delete_ITqRegisterFactory", F>(), "Virtual destructor."),
        registration<"ITqRegisterFactory_swigregister", F>(),
    };
}

}  // namespace kivo::module
