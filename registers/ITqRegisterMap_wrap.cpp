// ITqRegisterMap: the software device's register map, borrowed from the device while it runs:
// registers by index and by address (new borrowed proxies, None where there is none) and the map's
// lock, which Lock waits for with the GIL released.
#include "classes.h"
#include "sdk_types.h"

#include "ITqRegister.h"

namespace kivo::module {

using namespace kivo::rt;

Entries register_map_entries() {
    using M = ITqRegisterMap;
    return {
        delete_entry<"delete_ITqRegisterMap", M>(),
        method<"ITqRegisterMap_GetRegisterCount", &M::GetRegisterCount>(),
        method<"ITqRegisterMap_GetRegisterByIndex", &M::GetRegisterByIndex, Default,
               Params<Spelled<"size_t", size_t>>>("aIndex"),
        method<"ITqRegisterMap_GetRegisterByAddress", &M::GetRegisterByAddress>("aAddress"),
        overloaded<"ITqRegisterMap_Lock">(meth<member<TqResult()>(&M::Lock), NoneSelfCommits<>>(),
                                          meth<member<TqResult(uint32_t)>(&M::Lock), NoneSelfCommits<>>(
                                              "aTimeout")),
        method<"ITqRegisterMap_Release", &M::Release>(),
        registration<"ITqRegisterMap_swigregister", M>(),
    };
}

// The docstrings' texts of ITqRegisterMap's rows.
const DocTable kRegisterMapDocs{
    whole("delete_ITqRegisterMap", "Virtual destructor."),
    summary("ITqRegisterMap_GetRegisterByIndex",
            "aIndex from 0 to GetRegisterCount() - 1; None when there is no such register. Lock the map while the "
            "register is in use: a device reset may remove it otherwise."),
    summary("ITqRegisterMap_GetRegisterByAddress", "None when no register starts at aAddress."),
    summary("ITqRegisterMap_Lock",
            "Keeps registers from being added or removed (not from being read or written) until Release. Every "
            "successful Lock needs its Release.\n\nResults: OK; STATE_ERROR: the device is not running; TIMEOUT: the "
            "lock was not acquired within aTimeout milliseconds."),
};

}  // namespace kivo::module
