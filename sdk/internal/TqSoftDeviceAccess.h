// What the software device library (TqVirtualDevice64) shows the stand-in's tests and test module
// of its devices: the engine device under one.
#pragma once

#include "TqResult.h"
#include "TqVirtualDeviceExport.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

class TqSoftDeviceGEV;
namespace TqEngine {
class Device;
}

namespace TqSoftDevice {

// The engine device of the software device at aDevice while it starts or runs: null when it does
// not, or when no software device lives at that address. The engine device lives as long as one
// holds it; once the software device stopped it no longer reaches the software device.
TQ_VIRTUALDEVICE_API std::shared_ptr<TqEngine::Device> EngineOf(const void* aDevice);

// What a user set's save (aLoad false) or load does with the registers of the software device at
// aDevice that have event sinks: each is offered to its sinks' Persist, whose store saves bytes into
// aValues (under the register's name and the suffix the sink gave) or writes them from it. aHandled
// receives the names of the registers a sink persisted. The caller keeps the device alive.
// TQ_STATE_ERROR before the device's first start, TQ_INVALID_PARAMETER for no device.
TQ_VIRTUALDEVICE_API TqResult PersistRegisters(const void* aDevice, bool aLoad,
                                               std::map<std::string, std::vector<uint8_t>>& aValues,
                                               std::vector<std::string>& aHandled);

// A fault for tests: the next Stop of the software device at aDevice throws std::runtime_error(aWhat)
// before it does anything, as any call into an SDK may throw. False when no software device lives there.
TQ_VIRTUALDEVICE_API bool FailNextStop(const void* aDevice, const std::string& aWhat);

}  // namespace TqSoftDevice
