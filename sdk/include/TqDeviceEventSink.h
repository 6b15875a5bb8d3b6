// Receiver of a device's events and link notifications, called from the device's own threads:
// OnEvent (data in the device's byte order, other values in the host's; channel 0xFFFF and block 0
// when none) and OnEventGenICam (the parameters the event invalidated, when its ID belongs to an event
// port of the device's description) on the interrupt-queue thread, OnLinkDisconnected once when the
// heartbeat gives up (OnLinkReconnected never fires), OnCmdLinkRead/OnCmdLinkWrite after each
// successful access of the node map's port to the device, on the thread that made it (the bytes as on
// the wire). The memory handed to a callback stays the connection's and is reused.
#pragma once

#include <cstdint>

class TqDevice;
class TqGenParameterList;

class TqDeviceEventSink {
public:
    virtual ~TqDeviceEventSink() = default;
    virtual void OnLinkDisconnected(TqDevice* aDevice) {}
    virtual void OnLinkReconnected(TqDevice* aDevice) {}
    virtual void OnEvent(TqDevice* aDevice, uint16_t aEventID, uint16_t aChannel, uint64_t aBlockID,
                         uint64_t aTimestamp, const void* aData, uint32_t aDataLength) {}
    virtual void OnEventGenICam(TqDevice* aDevice, uint16_t aEventID, uint16_t aChannel, uint64_t aBlockID,
                                uint64_t aTimestamp, TqGenParameterList* aData) {}
    virtual void OnCmdLinkRead(const void* aBuffer, int64_t aAddress, int64_t aLength) {}
    virtual void OnCmdLinkWrite(const void* aBuffer, int64_t aAddress, int64_t aLength) {}
};
