// What the software device library (TqVirtualDevice64) shows the stand-in's tests and test module
// of its devices: the engine device under one.
#pragma once

#include "TqVirtualDeviceExport.h"

#include <memory>

class TqSoftDeviceGEV;
class ITqRegister;
namespace TqEngine {
class Device;
}

namespace TqSoftDevice {

// The engine device of the software device at aDevice while it starts or runs: null when it does
// not, or when no software device lives at that address. The engine device lives as long as one
// holds it; once the software device stopped it no longer reaches the software device.
TQ_VIRTUALDEVICE_API std::shared_ptr<TqEngine::Device> EngineOf(const void* aDevice);

// The GenApi factory of aDevice takes aRegister as one of the device's from now on, though the
// device's register map does not hold it: features described over registers a test makes itself.
TQ_VIRTUALDEVICE_API void AdmitRegister(TqSoftDeviceGEV& aDevice, const ITqRegister* aRegister);

}  // namespace TqSoftDevice
