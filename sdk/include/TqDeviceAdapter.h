// Adapter that exposes a connected device through the generic device-adapter interface and
// forwards the device's and its parameters' events.
#pragma once

#include "TqDeviceEventSink.h"
#include "TqGenEventSink.h"
#include "TqLiveObjects.h"

#include <mutex>
#include <string>
#include <vector>

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
    // Whether the device's integer feature of that name holds that value.
    bool IsGenIntegerValue(const char* aName, int64_t aValue) override;
    // A parameter of the device changed: the adapter records it (the updates a client reads).
    void OnParameterUpdate(TqGenParameter* aParameter) override;

    // The names of the parameters updated so far, oldest first (the stand-in's own).
    std::vector<std::string> GetParameterUpdates() const;

private:
    TqDevice* mDevice;
    mutable std::mutex mLock;
    std::vector<std::string> mUpdates;
    TqLiveObjects::Counter mCounter{"TqDeviceAdapter"};
};
