// The generic device adapter over a TqDevice: every query goes to the device's current parameter
// array (the device's node map) or to the device itself; the adapter keeps only its own event sinks,
// the features it registered with as an invalidator, and the parameter updates it heard.
//
// An adapter should go before its device. When it goes, it drops the registrations its device still
// holds of it (as the device's event sink, as a feature's update sink), provided the device lives.
#include "TqDeviceAdapter.h"

#include "TqDevice.h"
#include "TqDeviceCalls.h"
#include "TqDeviceRoutes.h"
#include "TqGenParameter.h"
#include "TqResultCodes.h"
#include "TqSinkList.h"
#include "TqText.h"
#include "TqWireBytes.h"

#include <algorithm>
#include <map>
#include <string>

struct TqDeviceAdapter::Impl {
    uint64_t deviceSerial = 0;   // to tell whether the device still lives
    TqSinkList<ITqDeviceEventSink> sinks;
    std::mutex lock;   // the invalidators
    std::vector<TqGenParameter*> invalidators;   // the features RegisterGenInvalidator registered with
};

namespace {

TqResult Failure(uint32_t aCode, const std::string& aWhy) { return TqResult(aCode, TqString(aWhy.c_str())); }

using TqText::Utf8;

// The device's parameter array, or TQ_NOT_CONNECTED when it has none (never connected, or
// disconnected since).
TqResult Parameters(TqDevice* aDevice, TqGenParameterArray*& aArray) {
    aArray = aDevice ? aDevice->GetParameters() : nullptr;
    return aArray ? TqResult(TQ_OK) : Failure(TQ_NOT_CONNECTED, "the device is not connected");
}

// Runs aUse on the feature of that name and kind (aGet is the array's typed lookup).
template <class Kind, class Use>
TqResult WithFeature(TqDevice* aDevice, Kind* (TqGenParameterArray::*aGet)(const TqString&), const TqString& aName,
                     const char* aKind, Use aUse) {
    TqGenParameterArray* array = nullptr;
    TqResult result = Parameters(aDevice, array);
    if (result.IsFailure()) return result;
    Kind* feature = (array->*aGet)(aName);
    if (!feature) return Failure(TQ_NOT_FOUND, "no " + std::string(aKind) + "feature named '" + Utf8(aName) + "'");
    return aUse(*feature);
}

// The feature of that name and kind, or null (for the queries that answer true or false).
template <class Kind>
Kind* Find(TqDevice* aDevice, Kind* (TqGenParameterArray::*aGet)(const TqString&), const TqString& aName) {
    TqGenParameterArray* array = aDevice ? aDevice->GetParameters() : nullptr;
    return array ? (array->*aGet)(aName) : nullptr;
}

TqResult RefusedBuffer(const void* aBuffer, int64_t aCount) {
    if (!aBuffer) return Failure(TQ_INVALID_PARAMETER, "no buffer");
    if (aCount < 0) return Failure(TQ_INVALID_PARAMETER, "a negative byte count");
    return TqResult(TQ_OK);
}

// The adapters alive and their devices, for the libraries that reach a device through its adapter.
struct Adapters {
    std::mutex lock;
    std::map<const ITqDeviceAdapter*, TqDevice*> devices;
};
Adapters& TheAdapters() {
    static auto* adapters = new Adapters;   // adapters may go while the process exits
    return *adapters;
}

}  // namespace

TqDevice* TqDeviceLib::AdapterDevice(ITqDeviceAdapter* aAdapter) {
    Adapters& adapters = TheAdapters();
    std::lock_guard<std::mutex> guard(adapters.lock);
    auto it = adapters.devices.find(aAdapter);
    return it == adapters.devices.end() ? nullptr : it->second;
}

TqDeviceAdapter::TqDeviceAdapter(TqDevice* aDevice) : mDevice(aDevice), mImpl(new Impl) {
    mImpl->deviceSerial = TqDeviceLib::DeviceSerial(aDevice);
    Adapters& adapters = TheAdapters();
    std::lock_guard<std::mutex> guard(adapters.lock);
    adapters.devices[static_cast<ITqDeviceAdapter*>(this)] = aDevice;
}

TqDeviceAdapter::~TqDeviceAdapter() {
    {
        Adapters& adapters = TheAdapters();
        std::lock_guard<std::mutex> guard(adapters.lock);
        adapters.devices.erase(static_cast<ITqDeviceAdapter*>(this));
    }
    TqDeviceLib::WithLiveDevice(mDevice, mImpl->deviceSerial, [this] {
        mDevice->UnregisterEventSink(this);
        TqGenEventSink* self = this;
        for (TqGenParameter* feature : mImpl->invalidators) feature->UnregisterEventSink(self);
        // Registrations made on the features directly.
        if (TqGenParameterArray* array = mDevice->GetParameters()) {
            for (uint32_t i = 0; i < array->GetCount(); ++i) {
                TqGenParameter* feature = array->Get(i);
                std::vector<TqGenEventSink*> sinks = feature ? feature->GetEventSinks() : std::vector<TqGenEventSink*>();
                if (std::find(sinks.begin(), sinks.end(), self) != sinks.end()) feature->UnregisterEventSink(self);
            }
        }
    });
    delete mImpl;
}

// ---- node queries ----

bool TqDeviceAdapter::IsGenIntegerInNodeMap(const TqString& aParameterName) {
    return Find(mDevice, &TqGenParameterArray::GetInteger, aParameterName) != nullptr;
}

bool TqDeviceAdapter::IsGenEnumInNodeMap(const TqString& aParameterName) {
    return Find(mDevice, &TqGenParameterArray::GetEnum, aParameterName) != nullptr;
}

bool TqDeviceAdapter::IsGenBooleanInNodeMap(const TqString& aParameterName) {
    return Find(mDevice, &TqGenParameterArray::GetBoolean, aParameterName) != nullptr;
}

bool TqDeviceAdapter::IsGenRegisterInNodeMap(const TqString& aParameterName) {
    return Find(mDevice, &TqGenParameterArray::GetRegister, aParameterName) != nullptr;
}

bool TqDeviceAdapter::IsGenReadable(const TqString& aParameterName) {
    TqGenParameter* feature = Find<TqGenParameter>(mDevice, &TqGenParameterArray::Get, aParameterName);
    bool readable = false;
    return feature && feature->IsReadable(readable).IsOK() && readable;
}

bool TqDeviceAdapter::IsGenWritable(const TqString& aParameterName) {
    TqGenParameter* feature = Find<TqGenParameter>(mDevice, &TqGenParameterArray::Get, aParameterName);
    bool writable = false;
    return feature && feature->IsWritable(writable).IsOK() && writable;
}

bool TqDeviceAdapter::IsGenEnumEntryAvailable(const TqString& aParameterName, const TqString& aEnumEntry) {
    TqGenEnum* enumeration = Find(mDevice, &TqGenParameterArray::GetEnum, aParameterName);
    const TqGenEnumEntry* entry = nullptr;
    bool available = false;
    return enumeration && enumeration->GetEntryByName(aEnumEntry, &entry).IsOK() && entry &&
           entry->IsAvailable(available).IsOK() && available;
}

// ---- values ----

TqResult TqDeviceAdapter::GetGenIntegerValue(const TqString& aParameterName, int64_t& aValue) {
    return WithFeature(mDevice, &TqGenParameterArray::GetInteger, aParameterName, "integer ",
                       [&](TqGenInteger& aFeature) { return aFeature.GetValue(aValue); });
}

TqResult TqDeviceAdapter::GetGenEnumEntriesAvailable(const TqString& aParameterName, TqStringList& aList) {
    return WithFeature(mDevice, &TqGenParameterArray::GetEnum, aParameterName, "enumeration ", [&](TqGenEnum& aFeature) {
        int64_t count = 0;
        TqResult result = aFeature.GetEntriesCount(count);
        TqStringList available;
        for (int64_t i = 0; result.IsOK() && i < count; ++i) {
            const TqGenEnumEntry* entry = nullptr;
            bool isAvailable = false;
            TqString name;
            result = aFeature.GetEntryByIndex(i, &entry);
            if (result.IsOK() && entry && entry->IsAvailable(isAvailable).IsOK() && isAvailable &&
                entry->GetName(name).IsOK())
                available.Add(name);
        }
        if (result.IsOK()) aList = available;
        return result;
    });
}

TqResult TqDeviceAdapter::GetGenEnumValue(const TqString& aParameterName, TqString& aEnumEntry) {
    return WithFeature(mDevice, &TqGenParameterArray::GetEnum, aParameterName, "enumeration ",
                       [&](TqGenEnum& aFeature) { return aFeature.GetValue(aEnumEntry); });
}

TqResult TqDeviceAdapter::SetGenEnumValue(const TqString& aParameterName, const TqString& aEnumEntry) {
    return WithFeature(mDevice, &TqGenParameterArray::GetEnum, aParameterName, "enumeration ",
                       [&](TqGenEnum& aFeature) { return aFeature.SetValue(aEnumEntry); });
}

TqResult TqDeviceAdapter::GetGenBooleanValue(const TqString& aParameterName, bool& aValue) {
    return WithFeature(mDevice, &TqGenParameterArray::GetBoolean, aParameterName, "boolean ",
                       [&](TqGenBoolean& aFeature) { return aFeature.GetValue(aValue); });
}

TqResult TqDeviceAdapter::SetGenBooleanValue(const TqString& aParameterName, bool aValue) {
    return WithFeature(mDevice, &TqGenParameterArray::GetBoolean, aParameterName, "boolean ",
                       [&](TqGenBoolean& aFeature) { return aFeature.SetValue(aValue); });
}

TqResult TqDeviceAdapter::GetGenStringValue(const TqString& aParameterName, TqString& aValue) {
    return WithFeature(mDevice, &TqGenParameterArray::GetString, aParameterName, "string ",
                       [&](TqGenString& aFeature) { return aFeature.GetValue(aValue); });
}

TqResult TqDeviceAdapter::GetGenRegisterLength(const TqString& aParameterName, int64_t& aLength) {
    return WithFeature(mDevice, &TqGenParameterArray::GetRegister, aParameterName, "register ",
                       [&](TqGenRegister& aFeature) { return aFeature.GetLength(aLength); });
}

// The buffer and the count are checked before anything else: a refused transfer touches nothing.
TqResult TqDeviceAdapter::GetGenRegisterData(const TqString& aParameterName, uint8_t* aDataBuffer, int64_t aByteCount) {
    TqResult refused = RefusedBuffer(aDataBuffer, aByteCount);
    if (refused.IsFailure()) return refused;
    return WithFeature(mDevice, &TqGenParameterArray::GetRegister, aParameterName, "register ", [&](TqGenRegister& aFeature) {
        int64_t length = 0;
        TqResult result = aFeature.GetLength(length);
        if (result.IsFailure()) return result;
        if (aByteCount > length)
            return Failure(TQ_INVALID_PARAMETER, "the register holds " + std::to_string(length) + " bytes");
        return aFeature.Get(aDataBuffer, aByteCount);
    });
}

TqResult TqDeviceAdapter::SetGenRegisterData(const TqString& aParameterName, const uint8_t* aDataBuffer,
                                             int64_t aByteCount) {
    TqResult refused = RefusedBuffer(aDataBuffer, aByteCount);
    if (refused.IsFailure()) return refused;
    return WithFeature(mDevice, &TqGenParameterArray::GetRegister, aParameterName, "register ", [&](TqGenRegister& aFeature) {
        int64_t length = 0;
        TqResult result = aFeature.GetLength(length);
        if (result.IsFailure()) return result;
        if (aByteCount > length)
            return Failure(TQ_INVALID_PARAMETER, "the register holds " + std::to_string(length) + " bytes");
        return aFeature.Set(aDataBuffer, aByteCount);
    });
}

// ---- invalidators ----

TqResult TqDeviceAdapter::RegisterGenInvalidator(const TqString& aParameterName) {
    return WithFeature(mDevice, &TqGenParameterArray::Get, aParameterName, "", [&](TqGenParameter& aFeature) {
        TqResult result = aFeature.RegisterEventSink(static_cast<TqGenEventSink*>(this));
        if (result.IsOK()) {
            std::lock_guard<std::mutex> guard(mImpl->lock);
            mImpl->invalidators.push_back(&aFeature);
        }
        return result;
    });
}

TqResult TqDeviceAdapter::UnregisterGenInvalidator(const TqString& aParameterName) {
    return WithFeature(mDevice, &TqGenParameterArray::Get, aParameterName, "", [&](TqGenParameter& aFeature) {
        TqResult result = aFeature.UnregisterEventSink(static_cast<TqGenEventSink*>(this));
        std::lock_guard<std::mutex> guard(mImpl->lock);
        auto& list = mImpl->invalidators;
        list.erase(std::remove(list.begin(), list.end(), &aFeature), list.end());
        return result;
    });
}

// ---- registers and memory ----

// GigE Vision devices have register commands of their own; other kinds take registers as 4 bytes of
// memory, in the device's (big-endian) byte order.
TqResult TqDeviceAdapter::WriteRegister(int64_t aAddress, uint32_t aValue) {
    if (!mDevice) return Failure(TQ_NOT_CONNECTED, "no device");
    if (auto* gev = dynamic_cast<TqDeviceGEV*>(mDevice)) return gev->WriteRegister(aAddress, aValue);
    const uint8_t bytes[4] = {static_cast<uint8_t>(aValue >> 24), static_cast<uint8_t>(aValue >> 16),
                              static_cast<uint8_t>(aValue >> 8), static_cast<uint8_t>(aValue)};
    return mDevice->WriteMemory(aAddress, bytes, 4);
}

TqResult TqDeviceAdapter::ReadRegister(int64_t aAddress, uint32_t& aValue) {
    if (!mDevice) return Failure(TQ_NOT_CONNECTED, "no device");
    if (auto* gev = dynamic_cast<TqDeviceGEV*>(mDevice)) return gev->ReadRegister(aAddress, aValue);
    uint8_t bytes[4];
    TqResult result = mDevice->ReadMemory(aAddress, bytes, 4);
    if (result.IsOK())
        aValue = TqWire::Get32(bytes);
    return result;
}

TqResult TqDeviceAdapter::WriteMemory(const uint8_t* aBuffer, int64_t aAddress, int64_t aLength) {
    TqResult refused = RefusedBuffer(aBuffer, aLength);
    if (refused.IsFailure()) return refused;
    return mDevice ? mDevice->WriteMemory(aAddress, aBuffer, aLength) : Failure(TQ_NOT_CONNECTED, "no device");
}

TqResult TqDeviceAdapter::ReadMemory(uint8_t* aBuffer, int64_t aAddress, int64_t aLength) {
    TqResult refused = RefusedBuffer(aBuffer, aLength);
    if (refused.IsFailure()) return refused;
    return mDevice ? mDevice->ReadMemory(aAddress, aBuffer, aLength) : Failure(TQ_NOT_CONNECTED, "no device");
}

TqResult TqDeviceAdapter::WaitForMessagingChannelIdle(uint32_t aTimeout) {
    return mDevice ? mDevice->WaitForMessagingChannelIdle(aTimeout) : Failure(TQ_NOT_CONNECTED, "no device");
}

// ---- the device ----

bool TqDeviceAdapter::IsConnected() { return mDevice && mDevice->IsConnected(); }

bool TqDeviceAdapter::IsZelvraPowered() { return dynamic_cast<TqDeviceZelvraProtocol*>(mDevice) != nullptr; }

bool TqDeviceAdapter::IsGigEVision() { return mDevice && mDevice->GetType() == TqDeviceTypeGEV; }

bool TqDeviceAdapter::IsUSB3Vision() { return mDevice && mDevice->GetType() == TqDeviceTypeU3V; }

TqResult TqDeviceAdapter::GetUniqueID(TqString& aID) {
    TqString id;
    TqResult result = mDevice ? mDevice->GetUniqueID(id) : TqResult(TQ_NOT_CONNECTED);
    if (result.IsFailure() || Utf8(id).empty()) return Failure(TQ_INVALID_PARAMETER, "the device has no unique ID");
    aID = id;
    return TqResult(TQ_OK);
}

// ---- the adapter's own event sinks ----

TqResult TqDeviceAdapter::RegisterEventSink(ITqDeviceEventSink* aEventSink) { return mImpl->sinks.Add(aEventSink); }

// As the device's: a call under way on another thread is waited for, one on this thread is not.
TqResult TqDeviceAdapter::UnregisterEventSink(ITqDeviceEventSink* aEventSink) {
    return mImpl->sinks.Remove(aEventSink);
}

void TqDeviceAdapter::OnEvent(TqDevice* aDevice, uint16_t aEventID, uint16_t aChannel, uint64_t aBlockID,
                              uint64_t aTimestamp, const void* aData, uint32_t aDataLength) {
    ITqDeviceAdapter* self = this;
    mImpl->sinks.Each(
        [&](ITqDeviceEventSink* aSink) { aSink->OnEvent(self, aEventID, aChannel, aBlockID, aTimestamp, aData, aDataLength); });
}

// ---- parameter updates ----

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
