// A connected device (library TqDevice64). Its parameters are a GenICam node map over the device's
// registers. The connection, discovery and control channel come with the device engine; for now the
// stand-in makes devices over a description and memory registers (CreateSimulated).
#pragma once

#include "TqGenParameterArray.h"
#include "TqLiveObjects.h"

#include <memory>

class TqDevice {
public:
    virtual ~TqDevice();
    TqDevice(const TqDevice&) = delete;
    TqDevice& operator=(const TqDevice&) = delete;

    TqGenParameterArray* GetParameters();

    // The stand-in's own: a device whose features are those of the loaded array.
    static TqDevice* CreateSimulated(std::unique_ptr<TqGenParameterArray> aParameters);

protected:
    TqDevice() = default;

private:
    std::unique_ptr<TqGenParameterArray> mParameters;
    TqLiveObjects::Counter mCounter{"TqDevice"};
};
