// TqDeviceAdapter: the generic adapter over a connected device, which is also the parameter update
// sink that Python can register. The adapter's proxy keeps its device's proxy alive.
#include "classes.h"
#include "sdk_types.h"

#include "TqDevice.h"
#include "TqDeviceAdapter.h"

namespace kivo::module {

using namespace kivo::rt;

Entries device_adapter_entries() {
    return {
        constructor_with<"new_TqDeviceAdapter", TqDeviceAdapter, KeepAlive<1>, NotNone<TqDevice*>>("aDevice"),
        delete_entry<"delete_TqDeviceAdapter", TqDeviceAdapter>(),
        registration<"TqDeviceAdapter_swigregister", TqDeviceAdapter>(),
        initialisation<"TqDeviceAdapter_swiginit">(),
    };
}

}  // namespace kivo::module
