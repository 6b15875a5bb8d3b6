// Receiver of a device's events and link notifications.
#pragma once

#include <cstdint>

class TqDevice;
class TqGenParameterArray;

class TqDeviceEventSink {
public:
    virtual ~TqDeviceEventSink() = default;
    virtual void OnLinkDisconnected(TqDevice* aDevice) {}
    virtual void OnLinkReconnected(TqDevice* aDevice) {}
    virtual void OnEvent(TqDevice* aDevice, uint16_t aEventID, uint16_t aChannel, uint64_t aBlockID,
                         uint64_t aTimestamp, const void* aData, uint32_t aDataLength) {}
    virtual void OnEventGenICam(TqDevice* aDevice, uint16_t aEventID, uint16_t aChannel, uint64_t aBlockID,
                                uint64_t aTimestamp, TqGenParameterArray* aData) {}
    virtual void OnCmdLinkRead(const void* aBuffer, int64_t aAddress, int64_t aLength) {}
    virtual void OnCmdLinkWrite(const void* aBuffer, int64_t aAddress, int64_t aLength) {}
};
