// The generic device interface (ITqDeviceAdapter) and its implementation over a TqDevice: node
// queries by parameter name, register and memory access, connection state, protocol and device event
// sinks of the generic kind (ITqDeviceEventSink). The adapter is also a TqDeviceEventSink (it forwards
// the device's events to its own sinks once registered with the device) and a TqGenEventSink (it
// records the parameter updates it hears).
//
// Results: names that match no feature, or a feature of another kind: TQ_NOT_FOUND (the Is* queries
// answer false); a device that is not connected: TQ_NOT_CONNECTED; GenICam refusals (access, range):
// TQ_GENERIC_ERROR or TQ_INVALID_PARAMETER as the node map gives them. The byte-buffer operations
// refuse a null buffer, a negative count, or a count beyond the register's length (GetGenRegisterData,
// SetGenRegisterData) with TQ_INVALID_PARAMETER and copy nothing; ReadMemory/WriteMemory pass the
// device's own answer (a count that is not a multiple of 4, or beyond the device memory, fails).
// RegisterGenInvalidator(name) registers the adapter as the update sink of that feature (repeat:
// TQ_STATE_ERROR); UnregisterGenInvalidator removes it (TQ_NOT_FOUND when not registered).
// RegisterEventSink(null): TQ_INVALID_PARAMETER; twice: TQ_GENERIC_ERROR; Unregister of an unknown sink:
// TQ_NOT_FOUND. GetUniqueID: the device's unique ID, TQ_INVALID_PARAMETER when it has none.
#pragma once

#include "TqDeviceEventSink.h"
#include "TqGenEventSink.h"
#include "TqLiveObjects.h"
#include "TqResult.h"
#include "TqString.h"
#include "TqStringList.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class TqDevice;
class ITqDeviceAdapter;

// A generic receiver of device events (the adapter's own sinks).
class ITqDeviceEventSink {
public:
    virtual ~ITqDeviceEventSink() {}
    virtual void OnEvent(ITqDeviceAdapter* aDevice, uint16_t aEventID, uint16_t aChannel, uint64_t aBlockID,
                         uint64_t aTimestamp, const void* aData, uint32_t aDataLength) = 0;
};

class ITqDeviceAdapter {
public:
    virtual ~ITqDeviceAdapter() {}
    virtual bool IsGenIntegerInNodeMap(const TqString& aParameterName) = 0;
    virtual bool IsGenEnumInNodeMap(const TqString& aParameterName) = 0;
    virtual bool IsGenBooleanInNodeMap(const TqString& aParameterName) = 0;
    virtual bool IsGenRegisterInNodeMap(const TqString& aParameterName) = 0;
    virtual bool IsGenReadable(const TqString& aParameterName) = 0;
    virtual bool IsGenWritable(const TqString& aParameterName) = 0;
    virtual bool IsGenEnumEntryAvailable(const TqString& aParameterName, const TqString& aEnumEntry) = 0;
    virtual TqResult GetGenIntegerValue(const TqString& aParameterName, int64_t& aValue) = 0;
    virtual TqResult GetGenEnumEntriesAvailable(const TqString& aParameterName, TqStringList& aList) = 0;
    virtual TqResult GetGenEnumValue(const TqString& aParameterName, TqString& aEnumEntry) = 0;
    virtual TqResult SetGenEnumValue(const TqString& aParameterName, const TqString& aEnumEntry) = 0;
    virtual TqResult GetGenBooleanValue(const TqString& aParameterName, bool& aValue) = 0;
    virtual TqResult SetGenBooleanValue(const TqString& aParameterName, bool aValue) = 0;
    virtual TqResult GetGenStringValue(const TqString& aParameterName, TqString& aValue) = 0;
    virtual TqResult GetGenRegisterLength(const TqString& aParameterName, int64_t& aLength) = 0;
    virtual TqResult GetGenRegisterData(const TqString& aParameterName, uint8_t* aDataBuffer, int64_t aByteCount) = 0;
    virtual TqResult SetGenRegisterData(const TqString& aParameterName, const uint8_t* aDataBuffer,
                                        int64_t aByteCount) = 0;
    virtual TqResult RegisterGenInvalidator(const TqString& aParameterName) = 0;
    virtual TqResult UnregisterGenInvalidator(const TqString& aParameterName) = 0;
    virtual TqResult WriteRegister(int64_t aAddress, uint32_t aValue) = 0;
    virtual TqResult ReadRegister(int64_t aAddress, uint32_t& aValue) = 0;
    virtual TqResult WriteMemory(const uint8_t* aBuffer, int64_t aAddress, int64_t aLength) = 0;
    virtual TqResult ReadMemory(uint8_t* aBuffer, int64_t aAddress, int64_t aLength) = 0;
    virtual TqResult WaitForMessagingChannelIdle(uint32_t aTimeout) = 0;
    virtual bool IsConnected() = 0;
    virtual bool IsZelvraPowered() = 0;
    virtual bool IsGigEVision() = 0;
    virtual bool IsUSB3Vision() = 0;
    virtual TqResult RegisterEventSink(ITqDeviceEventSink* aEventSink) = 0;
    virtual TqResult UnregisterEventSink(ITqDeviceEventSink* aEventSink) = 0;
    virtual TqResult GetUniqueID(TqString& aID) = 0;
};

class TqDeviceAdapter : public ITqDeviceAdapter, public TqDeviceEventSink, public TqGenEventSink {
public:
    explicit TqDeviceAdapter(TqDevice* aDevice);
    ~TqDeviceAdapter() override;

    bool IsGenIntegerInNodeMap(const TqString& aParameterName) override;
    bool IsGenEnumInNodeMap(const TqString& aParameterName) override;
    bool IsGenBooleanInNodeMap(const TqString& aParameterName) override;
    bool IsGenRegisterInNodeMap(const TqString& aParameterName) override;
    bool IsGenReadable(const TqString& aParameterName) override;
    bool IsGenWritable(const TqString& aParameterName) override;
    bool IsGenEnumEntryAvailable(const TqString& aParameterName, const TqString& aEnumEntry) override;
    TqResult GetGenIntegerValue(const TqString& aParameterName, int64_t& aValue) override;
    TqResult GetGenEnumEntriesAvailable(const TqString& aParameterName, TqStringList& aList) override;
    TqResult GetGenEnumValue(const TqString& aParameterName, TqString& aEnumEntry) override;
    TqResult SetGenEnumValue(const TqString& aParameterName, const TqString& aEnumEntry) override;
    TqResult GetGenBooleanValue(const TqString& aParameterName, bool& aValue) override;
    TqResult SetGenBooleanValue(const TqString& aParameterName, bool aValue) override;
    TqResult GetGenStringValue(const TqString& aParameterName, TqString& aValue) override;
    TqResult GetGenRegisterLength(const TqString& aParameterName, int64_t& aLength) override;
    TqResult GetGenRegisterData(const TqString& aParameterName, uint8_t* aDataBuffer, int64_t aByteCount) override;
    TqResult SetGenRegisterData(const TqString& aParameterName, const uint8_t* aDataBuffer,
                                int64_t aByteCount) override;
    TqResult RegisterGenInvalidator(const TqString& aParameterName) override;
    TqResult UnregisterGenInvalidator(const TqString& aParameterName) override;
    TqResult WriteRegister(int64_t aAddress, uint32_t aValue) override;
    TqResult ReadRegister(int64_t aAddress, uint32_t& aValue) override;
    TqResult WriteMemory(const uint8_t* aBuffer, int64_t aAddress, int64_t aLength) override;
    TqResult ReadMemory(uint8_t* aBuffer, int64_t aAddress, int64_t aLength) override;
    TqResult WaitForMessagingChannelIdle(uint32_t aTimeout) override;
    bool IsConnected() override;
    bool IsZelvraPowered() override;
    bool IsGigEVision() override;
    bool IsUSB3Vision() override;
    TqResult RegisterEventSink(ITqDeviceEventSink* aEventSink) override;
    TqResult UnregisterEventSink(ITqDeviceEventSink* aEventSink) override;
    TqResult GetUniqueID(TqString& aID) override;

    // A parameter of the device changed: the adapter records it (the updates a client reads).
    void OnParameterUpdate(TqGenParameter* aParameter) override;
    // The names of the parameters updated so far, oldest first (the stand-in's own).
    std::vector<std::string> GetParameterUpdates() const;

protected:
    // The device's events, forwarded to the adapter's own sinks.
    void OnEvent(TqDevice* aDevice, uint16_t aEventID, uint16_t aChannel, uint64_t aBlockID, uint64_t aTimestamp,
                 const void* aData, uint32_t aDataLength) override;

private:
    struct Impl;
    TqDevice* mDevice;
    Impl* mImpl;
    mutable std::mutex mLock;
    std::vector<std::string> mUpdates;
    TqLiveObjects::Counter mCounter{"TqDeviceAdapter"};
};
