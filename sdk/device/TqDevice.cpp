#include "TqDevice.h"

TqDevice::~TqDevice() = default;

TqGenParameterArray* TqDevice::GetParameters() { return mParameters.get(); }

TqDevice* TqDevice::CreateSimulated(std::unique_ptr<TqGenParameterArray> aParameters) {
    auto* device = new TqDevice;
    device->mParameters = std::move(aParameters);
    return device;
}
