// Adapter that exposes a connected device through the generic device-adapter interface and
// forwards the device's and its parameters' events.
#pragma once

#include "TqDeviceEventSink.h"
#include "TqGenEventSink.h"

class TqDevice;

class ITqDeviceAdapter {
public:
    virtual ~ITqDeviceAdapter() = default;
    virtual bool IsGenIntegerValue(const char* aName, int64_t aValue) = 0;
};

class TqDeviceAdapter : public ITqDeviceAdapter, public TqDeviceEventSink, public TqGenEventSink {
public:
    explicit TqDeviceAdapter(TqDevice* aDevice);
    ~TqDeviceAdapter() override;
    bool IsGenIntegerValue(const char* aName, int64_t aValue) override;
    void OnParameterUpdate(TqGenParameter* aParameter) override;

private:
    TqDevice* mDevice;
};
