#include "TqDeviceAdapter.h"

#include "TqDevice.h"
#include "TqGenParameter.h"

TqDeviceAdapter::TqDeviceAdapter(TqDevice* aDevice) : mDevice(aDevice) {}
TqDeviceAdapter::~TqDeviceAdapter() = default;

bool TqDeviceAdapter::IsGenIntegerValue(const char* aName, int64_t aValue) {
    TqGenParameterArray* parameters = mDevice ? mDevice->GetParameters() : nullptr;
    int64_t value = 0;
    return parameters && aName && parameters->GetIntegerValue(TqString(aName), value).IsOK() && value == aValue;
}

void TqDeviceAdapter::OnParameterUpdate(TqGenParameter* aParameter) {
    TqString name;
    if (aParameter) aParameter->GetName(name);
    std::lock_guard<std::mutex> lock(mLock);
    mUpdates.emplace_back(aParameter ? name.GetAscii() : "");
}

std::vector<std::string> TqDeviceAdapter::GetParameterUpdates() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mUpdates;
}
