// The registers of a software device: see TqSoftDeviceRegisters.h.
#include "TqSoftDeviceRegisters.h"

#include "TqSoftDeviceImpl.h"

#include "TqGvcpClient.h"
#include "TqLiveObjects.h"
#include "TqNoMemory.h"
#include "TqText.h"
#include "TqWireBytes.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace TqSoftDevice {

namespace {

using TqEngine::Gvcp::kSuccess;
namespace Reg = TqEngine::Reg;

using TqText::Utf8;

TqResult Invalid(const std::string& aWhy) { return TqResult(TQ_INVALID_PARAMETER, TqString(aWhy.c_str())); }

TqResult StateError(const char* aWhy) { return TqResult(TQ_STATE_ERROR, TqString(aWhy)); }

TqResult NotMadeYet() {
    return StateError("the device's own registers take their values once Start has made the device's memory");
}

TqResult RetiredRegister() {
    return StateError("the register belongs to an earlier start of the device: a new start made new registers");
}

// The engine's answer to an access of a register as a result.
TqResult FromStatus(uint16_t aStatus, const std::string& aWhat) {
    return TqGvcpClient::StatusResult(aStatus, aWhat.c_str());
}

// The GigE Vision status a controller gets for a result: the status the code names, else ERROR.
uint16_t StatusOf(const TqResult& aResult) {
    const uint32_t code = aResult.GetCode();
    if (code == TQ_OK) return kSuccess;
    if (code > TqEngine::Gvcp::kNotImplemented && code <= TqEngine::Gvcp::kError) return uint16_t(code);
    switch (code) {
    case TQ_NOT_IMPLEMENTED: return TqEngine::Gvcp::kNotImplemented;
    case TQ_INVALID_PARAMETER: return TqEngine::Gvcp::kInvalidParameter;
    case TQ_BUSY: return TqEngine::Gvcp::kBusy;
    case TQ_ERR_OVERFLOW: return 0x8015;
    default: return TqEngine::Gvcp::kError;
    }
}

// A GenICam name: a letter, then letters, digits and underscores.
bool IsGenICamName(const std::string& aName) {
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (aName.empty() || !letter(aName[0])) return false;
    return std::all_of(aName.begin(), aName.end(),
                       [&](char c) { return letter(c) || (c >= '0' && c <= '9') || c == '_'; });
}

using TqWire::Get32;
using TqWire::Put32;

// What a sink's call threw, as the result of the access it fails.
TqResult Threw(const char* aOperation, const char* aWhat) {
    return TqResult(TQ_GENERIC_ERROR,
                    TqString((std::string("the event sink's ") + aOperation + " failed: " + aWhat).c_str()));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// One register.

Register::Register(Space& aSpace, const std::string& aName, uint32_t aAddress, uint32_t aLength,
                   TqGenAccessMode aAccess, bool aBytes, bool aOwn, void* aContext)
    : mSpace(aSpace), mName(aName.c_str()), mText(aName), mAddress(aAddress), mLength(aLength), mAccess(aAccess),
      mBytes(aBytes), mOwn(aOwn), mContext(aContext) {}

TqResult Register::Check(uint64_t aOffset, uint64_t aSize) const {
    if (mSpace.Retired()) return RetiredRegister();
    if (aOffset + aSize > mLength)
        return Invalid(std::to_string(aSize) + " bytes at offset " + std::to_string(aOffset) + " reach past the end of "
                       "register " + mText + " (" + std::to_string(mLength) + " bytes)");
    return TqResult(TQ_OK);
}

template <class Ask>
TqResult Register::EachSink(const char* aOperation, bool aUntilFailure, Ask aAsk) {
    TqResult result(TQ_OK);
    // A sink removed meanwhile is skipped; with aUntilFailure the first failure ends the round.
    mSinks.Each([&](ITqRegisterEventSink* aSink) {
        try {
            result = aAsk(aSink);
        } catch (const std::exception& e) {
            result = Threw(aOperation, e.what());
        } catch (...) {
            result = Threw(aOperation, "an exception");
        }
        return !aUntilFailure || result.IsOK();
    });
    return result;
}

TqResult Register::Before(bool aWrite) {
    return EachSink(aWrite ? "PreWrite" : "PreRead", true, [&](ITqRegisterEventSink* aSink) {
        return aWrite ? aSink->PreWrite(this) : aSink->PreRead(this);
    });
}

void Register::After(bool aWrite) {
    // What a sink throws here is dropped: the access was done.
    EachSink(aWrite ? "PostWrite" : "PostRead", false, [&](ITqRegisterEventSink* aSink) {
        if (aWrite)
            aSink->PostWrite(this);
        else
            aSink->PostRead(this);
        return TqResult(TQ_OK);
    });
}

TqResult Register::Offer(ITqRegisterStore* aStore, bool& aHandled) {
    aHandled = false;
    return EachSink("Persist", true, [&](ITqRegisterEventSink* aSink) {
        const TqResult answer = aSink->Persist(this, aStore);
        aHandled = aHandled || answer.IsOK();
        return answer.GetCode() == TQ_NOT_IMPLEMENTED ? TqResult(TQ_OK) : answer;
    });
}

TqResult Register::ReadAt(uint8_t* aData, uint32_t aOffset, uint32_t aSize) {
    TqResult result = mSpace.Reachable(*this);
    if (result.IsOK()) result = Before(false);
    if (result.IsOK()) result = mSpace.Load(*this, aOffset, aData, aSize);
    if (result.IsOK()) After(false);
    return result;
}

TqResult Register::WriteAt(const uint8_t* aData, uint32_t aOffset, uint32_t aSize) {
    std::vector<Space::Piece> pieces{{this, aOffset, std::vector<uint8_t>(aData, aData + aSize), {}}};
    return mSpace.WriteAll(pieces, nullptr);
}

TqResult Register::ReadBytes(uint8_t* aData, uint32_t aDataLength, uint32_t aOffset) {
    TqResult checked = Check(aOffset, aDataLength);
    if (!checked.IsOK()) return checked;
    if (!aData && aDataLength) return Invalid("no memory to read into");
    return ReadAt(aData, aOffset, aDataLength);
}

TqResult Register::ReadInt(uint32_t& aValue, uint32_t aOffset) {
    uint8_t bytes[4];
    TqResult result = Check(aOffset, 4);
    if (result.IsOK()) result = ReadAt(bytes, aOffset, 4);
    if (result.IsOK()) aValue = Get32(bytes);
    return result;
}

TqResult Register::ReadFloat(float& aValue) {
    uint32_t bits = 0;
    TqResult result = ReadInt(bits, 0);
    if (result.IsOK()) std::memcpy(&aValue, &bits, 4);
    return result;
}

TqResult Register::ReadDouble(double& aValue) {
    uint8_t bytes[8];
    TqResult result = Check(0, 8);
    if (result.IsOK()) result = ReadAt(bytes, 0, 8);
    if (result.IsOK()) {
        const uint64_t bits = (uint64_t(Get32(bytes)) << 32) | Get32(bytes + 4);
        std::memcpy(&aValue, &bits, 8);
    }
    return result;
}

TqResult Register::ReadString(TqString& aValue) {
    TqResult result = Check(0, 0);
    std::vector<uint8_t> bytes(mLength);
    if (result.IsOK()) result = ReadAt(bytes.data(), 0, mLength);
    if (result.IsOK()) {
        const auto* text = reinterpret_cast<const char*>(bytes.data());
        aValue = TqString(std::string(text, strnlen(text, bytes.size())).c_str());
    }
    return result;
}

TqResult Register::Write(const TqString& aValue) {
    const std::string text = Utf8(aValue);
    TqResult result = Check(0, text.size());
    if (!result.IsOK()) return result;
    std::vector<uint8_t> bytes(mLength, 0);   // the text, zero-filled
    std::memcpy(bytes.data(), text.data(), text.size());
    return WriteAt(bytes.data(), 0, mLength);
}

TqResult Register::Write(uint32_t aValue, uint32_t aOffset) {
    uint8_t bytes[4];
    Put32(bytes, aValue);
    TqResult result = Check(aOffset, 4);
    return result.IsOK() ? WriteAt(bytes, aOffset, 4) : result;
}

TqResult Register::Write(const uint8_t* aData, uint32_t aDataLength, uint32_t aOffset) {
    TqResult result = Check(aOffset, aDataLength);
    if (!result.IsOK()) return result;
    if (!aData && aDataLength) return Invalid("no bytes to write");
    return WriteAt(aData, aOffset, aDataLength);
}

TqResult Register::WriteFloat(float aValue) {
    uint32_t bits;
    std::memcpy(&bits, &aValue, 4);
    return Write(bits, 0);
}

TqResult Register::WriteDouble(double aValue) {
    uint64_t bits;
    std::memcpy(&bits, &aValue, 8);
    uint8_t bytes[8];
    Put32(bytes, uint32_t(bits >> 32));
    Put32(bytes + 4, uint32_t(bits));
    return Write(bytes, 8, 0);
}

TqResult Register::AddEventSink(ITqRegisterEventSink* aEventSink) {
    if (mSpace.Retired()) return RetiredRegister();
    if (!aEventSink) return Invalid("the event sink is null");
    if (!mSinks.Add(aEventSink).IsOK()) return Invalid("the event sink was added to the register already");
    mSpace.SinkAdded(*this);
    return TqResult(TQ_OK);
}

TqResult Register::RemoveEventSink(ITqRegisterEventSink* aEventSink) {
    if (mSpace.Retired()) return RetiredRegister();
    if (!aEventSink) return Invalid("the event sink is null");
    // A call of the sink under way on another thread is waited for; one on this thread is not.
    const TqResult removed = mSinks.Remove(aEventSink);
    return removed.IsOK() ? removed : Invalid("the event sink was not added to the register");
}

// ---------------------------------------------------------------------------------------------
// The map of one start.

size_t RegisterMap::GetRegisterCount() { return mSpace.Retired() ? 0 : mSpace.Count(); }

ITqRegister* RegisterMap::GetRegisterByIndex(size_t aIndex) { return mSpace.Retired() ? nullptr : mSpace.At(aIndex); }

ITqRegister* RegisterMap::GetRegisterByAddress(uint32_t aAddress) {
    return mSpace.Retired() ? nullptr : mSpace.Find(aAddress);
}

TqResult RegisterMap::Lock(uint32_t aTimeout) { return mSpace.Lock(&aTimeout); }

TqResult RegisterMap::Lock() { return mSpace.Lock(nullptr); }

void RegisterMap::Release() { mSpace.Release(); }

// ---------------------------------------------------------------------------------------------
// The factory and the store.

void RegisterFactory::Open(std::shared_ptr<Space> aSpace) {
    aSpace->Adding(true);
    std::lock_guard guard(mLock);
    mOpen = std::move(aSpace);
}

void RegisterFactory::Close() {
    std::shared_ptr<Space> closed;
    {
        std::lock_guard guard(mLock);
        closed = std::move(mOpen);
    }
    if (closed) closed->Adding(false);
}

TqResult RegisterFactory::Add(const TqString& aName, uint32_t aAddress, uint32_t aLength, TqGenAccessMode aAccessMode,
                              ITqRegisterEventSink* aSink, void* aContext, bool aBytes) {
    std::shared_ptr<Space> space;
    {
        std::lock_guard guard(mLock);
        space = mOpen;
    }
    if (!space)
        return StateError("registers are added inside OnCreateCustomRegisters and CreateRegisters, while the device "
                          "starts");
    return space->Add(aName, aAddress, aLength, aAccessMode, aBytes, aSink, aContext);
}

TqResult RegisterFactory::AddRegister(const TqString& aName, uint32_t aAddress, uint32_t aLength,
                                      TqGenAccessMode aAccessMode, ITqRegisterEventSink* aRegisterEventSink,
                                      void* aContext) {
    return Add(aName, aAddress, aLength, aAccessMode, aRegisterEventSink, aContext, false);
}

TqResult RegisterFactory::AddByteArray(const TqString& aName, uint32_t aAddress, uint32_t aLength,
                                       TqGenAccessMode aAccessMode, ITqRegisterEventSink* aRegisterEventSink,
                                       void* aContext) {
    return Add(aName, aAddress, aLength, aAccessMode, aRegisterEventSink, aContext, true);
}

TqResult RegisterStore::Persist(ITqRegister* aRegister, const TqString& aNameSuffix) {
    auto* reg = dynamic_cast<Register*>(aRegister);
    if (!reg) return Invalid(aRegister ? "not a register of a software device" : "the register is null");
    const std::string key = reg->Name() + Utf8(aNameSuffix);
    const TqResult closed = StateError("the store belongs to a user set's save or load that has ended");
    std::vector<uint8_t> bytes(reg->GetLength());
    bool load;
    {
        std::lock_guard guard(mLock);
        if (!Values()) return closed;
        load = mLoad;
    }
    if (!load) {   // the register's bytes through its read path
        TqResult read = reg->ReadAt(bytes.data(), 0, uint32_t(bytes.size()));
        if (!read.IsOK()) return read;
        std::lock_guard guard(mLock);
        if (!Values()) return closed;
        (*mValues)[key] = std::move(bytes);
        return TqResult(TQ_OK);
    }
    {
        std::lock_guard guard(mLock);
        if (!Values()) return closed;
        const auto found = mValues->find(key);
        if (found == mValues->end()) return Invalid("the user set holds no value named " + key);
        if (found->second.size() != bytes.size())
            return Invalid("the user set's value " + key + " has " + std::to_string(found->second.size()) +
                           " bytes; the register holds " + std::to_string(bytes.size()));
        bytes = found->second;
    }
    return reg->WriteAt(bytes.data(), 0, uint32_t(bytes.size()));
}

StoredValues* RegisterStore::Values() const {
    return mThread == std::this_thread::get_id() ? mValues : nullptr;
}

void RegisterStore::Open(bool aLoad, StoredValues& aValues) {
    std::lock_guard guard(mLock);
    mLoad = aLoad;
    mValues = &aValues;
    mThread = std::this_thread::get_id();
}

void RegisterStore::Close() {
    std::lock_guard guard(mLock);
    mValues = nullptr;
    mThread = std::thread::id();
}

// ---------------------------------------------------------------------------------------------
// The registers of one start.

// Serves a start's registers to the controllers of its engine device, through the device's gate.
class Space::Handler final : public TqEngine::RegisterHandler {
public:
    Handler(std::weak_ptr<Space> aSpace, std::shared_ptr<Gate> aGate) : mSpace(std::move(aSpace)), mGate(std::move(aGate)) {}

    uint16_t Read(uint32_t aAddress, uint8_t* aData, size_t aSize, const TqEngine::Peer&) override {
        uint16_t status = TqEngine::Gvcp::kError;
        mGate->Enter([&](Core&) {
            if (const auto space = mSpace.lock()) status = space->ControllerRead(aAddress, aData, aSize);
        });
        return status;
    }
    uint16_t Write(uint32_t aAddress, const uint8_t* aData, size_t aSize, const TqEngine::Peer& aPeer) override {
        uint16_t status = TqEngine::Gvcp::kError;
        mGate->Enter([&](Core&) {
            if (const auto space = mSpace.lock()) status = space->ControllerWrite(aAddress, aData, aSize, aPeer);
        });
        return status;
    }

private:
    std::weak_ptr<Space> mSpace;
    std::shared_ptr<Gate> mGate;
};

Space::Space(Core& aDevice, uint32_t aChannels) : mDevice(aDevice) {
    const auto RO = TqGenAccessModeReadOnly, RW = TqGenAccessModeReadWrite, WO = TqGenAccessModeWriteOnly;
    // The bootstrap registers, as GigE Vision places them.
    Own("Version", Reg::kVersion, 4, RO);
    Own("DeviceMode", Reg::kDeviceMode, 4, RO);
    Own("DeviceMACAddressHigh", Reg::kMacHigh, 4, RO);
    Own("DeviceMACAddressLow", Reg::kMacLow, 4, RO);
    Own("NetworkInterfaceCapability", Reg::kIpCapability, 4, RO);
    Own("NetworkInterfaceConfiguration", Reg::kIpConfiguration, 4, RW);
    Own("CurrentIPAddress", Reg::kCurrentIp, 4, RO);
    Own("CurrentSubnetMask", Reg::kSubnetMask, 4, RO);
    Own("CurrentDefaultGateway", Reg::kGateway, 4, RO);
    Own("ManufacturerName", Reg::kManufacturerName, 32, RO, true);
    Own("ModelName", Reg::kModelName, 32, RO, true);
    Own("DeviceVersion", Reg::kDeviceVersion, 32, RO, true);
    Own("ManufacturerInfo", Reg::kManufacturerInfo, 48, RO, true);
    Own("SerialNumber", Reg::kSerialNumber, 16, RO, true);
    Own("UserDefinedName", Reg::kUserName, 16, RW, true);
    Own("FirstURL", Reg::kFirstUrl, 512, RO, true);
    Own("SecondURL", Reg::kSecondUrl, 512, RO, true);
    Own("NumberOfNetworkInterfaces", Reg::kNetworkInterfaces, 4, RO);
    Own("PersistentIPAddress", Reg::kPersistentIp, 4, RW);
    Own("PersistentSubnetMask", Reg::kPersistentMask, 4, RW);
    Own("PersistentDefaultGateway", Reg::kPersistentGateway, 4, RW);
    Own("NumberOfMessageChannels", Reg::kMessageChannels, 4, RO);
    Own("NumberOfStreamChannels", Reg::kStreamChannels, 4, RO);
    Own("GVCPCapability", Reg::kGvcpCapability, 4, RO);
    Own("HeartbeatTimeout", Reg::kHeartbeatTimeout, 4, RW);
    Own("TimestampTickFrequencyHigh", Reg::kTickFrequencyHigh, 4, RO);
    Own("TimestampTickFrequencyLow", Reg::kTickFrequencyLow, 4, RO);
    Own("TimestampControl", Reg::kTimestampControl, 4, WO);
    Own("TimestampValueHigh", Reg::kTimestampHigh, 4, RO);
    Own("TimestampValueLow", Reg::kTimestampLow, 4, RO);
    Own("ControlChannelPrivilege", Reg::kCcp, 4, RW);
    Own("MessageChannelPort", Reg::kMcp, 4, RW);
    Own("MessageChannelDestination", Reg::kMcda, 4, RW);
    Own("MessageChannelTransmissionTimeout", Reg::kMctt, 4, RW);
    Own("MessageChannelRetryCount", Reg::kMcrc, 4, RW);
    for (uint32_t n = 0; n < aChannels; ++n) {
        const std::string c = std::to_string(n);
        Own(("StreamChannelPort" + c).c_str(), Reg::Scp(n), 4, RW);
        Own(("StreamChannelPacketSize" + c).c_str(), Reg::Scps(n), 4, RW);
        Own(("StreamChannelPacketDelay" + c).c_str(), Reg::Scpd(n), 4, RW);
        Own(("StreamChannelDestination" + c).c_str(), Reg::Scda(n), 4, RW);
    }
    // Each channel's image format.
    for (uint32_t n = 0; n < aChannels; ++n) {
        const std::string c = std::to_string(n);
        Own(("Width" + c).c_str(), Reg::Format(n, Reg::kWidth), 4, RW);
        Own(("Height" + c).c_str(), Reg::Format(n, Reg::kHeight), 4, RW);
        Own(("OffsetX" + c).c_str(), Reg::Format(n, Reg::kOffsetX), 4, RW);
        Own(("OffsetY" + c).c_str(), Reg::Format(n, Reg::kOffsetY), 4, RW);
        Own(("PixelFormat" + c).c_str(), Reg::Format(n, Reg::kPixelFormat), 4, RW);
        Own(("SensorWidth" + c).c_str(), Reg::Format(n, Reg::kSensorWidth), 4, RO);
        Own(("SensorHeight" + c).c_str(), Reg::Format(n, Reg::kSensorHeight), 4, RO);
    }
    Own("DeviceFirmwareVersion", Reg::kFirmwareVersion, 32, RO, true);
}

// What the start handed out goes with it: its registers and its map.
Space::~Space() {
    std::vector<const void*> gone{&mMap};
    for (const auto& reg : mRegisters) gone.push_back(static_cast<ITqRegister*>(reg.get()));
    TqObjectsGone::Tell(TqObjectsGone::News::kDeleted, gone.data(), gone.size());
}

void Space::Own(const char* aName, uint32_t aAddress, uint32_t aLength, TqGenAccessMode aAccess, bool aBytes) {
    mRegisters.push_back(std::make_unique<Register>(*this, aName, aAddress, aLength, aAccess, aBytes, true, nullptr));
}

size_t Space::Count() {
    std::lock_guard guard(mLock);
    return mRegisters.size();
}

Register* Space::At(size_t aIndex) {
    std::lock_guard guard(mLock);
    return aIndex < mRegisters.size() ? mRegisters[aIndex].get() : nullptr;
}

Register* Space::Find(uint32_t aAddress) {
    std::lock_guard guard(mLock);
    for (const auto& reg : mRegisters)
        if (reg->GetAddress() == aAddress) return reg.get();
    return nullptr;
}

std::vector<Register*> Space::All() {
    std::lock_guard guard(mLock);
    std::vector<Register*> all;
    for (const auto& reg : mRegisters) all.push_back(reg.get());
    return all;
}

void Space::Adding(bool aOpen) {
    std::lock_guard guard(mLock);
    mAdding = aOpen;
}

TqResult Space::Add(const TqString& aName, uint32_t aAddress, uint32_t aLength, TqGenAccessMode aAccess, bool aBytes,
                    ITqRegisterEventSink* aSink, void* aContext) {
    const std::string name = Utf8(aName);
    if (aBytes ? aLength == 0 || aLength % 4 : aLength != 4 && aLength != 8)
        return Invalid(std::string("the length of ") + (aBytes ? "a byte array is a positive multiple of 4" :
                                                                  "a register is 4 or 8") + ", not " +
                       std::to_string(aLength));
    if (aAddress % 4 || aAddress < Reg::kReservedBegin || uint64_t(aAddress) + aLength > Reg::kReservedEnd)
        return Invalid("the application's registers lie at multiples of 4 from 0x00010000 to 0x0FFFFFFF: " +
                       std::to_string(aLength) + " bytes at " + std::to_string(aAddress) + " do not");
    if (aAccess != TqGenAccessModeReadOnly && aAccess != TqGenAccessModeReadWrite && aAccess != TqGenAccessModeWriteOnly)
        return Invalid("the access mode is read-only, read-write or write-only (0 to 2), not " +
                       std::to_string(int(aAccess)));
    if (!IsGenICamName(name))
        return Invalid("'" + name + "' is no GenICam name (a letter, then letters, digits and underscores)");
    // Whoever holds the map's lock sees the map unchanged.
    Acquire(nullptr);
    std::unique_ptr<Register> made;
    TqResult result(TQ_OK);
    {
        std::lock_guard guard(mLock);
        for (const auto& reg : mRegisters) {
            if (reg->Name() == name) result = Invalid("the map has a register named " + name + " already");
            else if (aAddress < reg->End() && aAddress + uint64_t(aLength) > reg->GetAddress())
                result = Invalid("the register would overlap register " + reg->Name());
            if (!result.IsOK()) break;
        }
        if (!mAdding || mRetired) result = StateError("the device's register callbacks have returned");
        // A register the process finds no memory for is not added (the map's lock is let go below).
        if (result.IsOK() && !TqNoMemory::Survived([&] {
                made = std::make_unique<Register>(*this, name, aAddress, aLength, aAccess, aBytes, false, aContext);
                made->Kept().assign(aLength, 0);
                mRegisters.reserve(mRegisters.size() + 1);
                if (aSink) made->AddEventSink(aSink);
                mRegisters.push_back(std::move(made));
            }))
            result = TqNoMemory::Failed("a register's bytes");
    }
    Release();
    return result;
}

bool Space::Attach(const std::shared_ptr<TqEngine::Device>& aEngine, std::string& aFailure) {
    std::lock_guard guard(mLock);
    std::vector<TqEngine::AddressRange> writable, readOnly;
    for (const auto& reg : mRegisters)
        if (!reg->Own())
            (reg->Access() == TqGenAccessModeReadOnly ? readOnly : writable)
                .push_back({reg->GetAddress(), uint32_t(reg->GetLength())});
    if ((!writable.empty() && !aEngine->AddMemory(writable)) || (!readOnly.empty() && !aEngine->AddMemory(readOnly, true))) {
        aFailure = "the application's registers could not be placed in the device's memory";
        return false;
    }
    for (const auto& reg : mRegisters) {
        if (reg->Own()) continue;
        if (aEngine->StoreMemory(reg->GetAddress(), reg->Kept().data(), reg->Kept().size()) != kSuccess) {
            aFailure = "register " + reg->Name() + " could not take its value in the device's memory";
            return false;
        }
        std::vector<uint8_t>().swap(reg->Kept());
    }
    mRegisters.push_back(std::make_unique<Register>(*this, "GenICamXML", Reg::kXmlBase, uint32_t(aEngine->Xml().size()),
                                                    TqGenAccessModeReadOnly, true, true, nullptr));
    mEngine = aEngine;
    return true;
}

bool Space::Serve(const std::shared_ptr<Gate>& aGate, std::string& aFailure) {
    std::lock_guard guard(mLock);
    mHandler = std::make_shared<Handler>(weak_from_this(), aGate);
    // The application's registers: one range for each run of adjacent ones, so that a controller's
    // access across several reaches the handler whole.
    std::vector<Register*> mine;
    for (const auto& reg : mRegisters)
        if (!reg->Own()) mine.push_back(reg.get());
    std::sort(mine.begin(), mine.end(), [](Register* a, Register* b) { return a->GetAddress() < b->GetAddress(); });
    std::vector<TqEngine::AddressRange> ranges;
    for (Register* reg : mine) {
        if (!ranges.empty() && uint64_t(ranges.back().address) + ranges.back().size == reg->GetAddress())
            ranges.back().size += uint32_t(reg->GetLength());
        else
            ranges.push_back({reg->GetAddress(), uint32_t(reg->GetLength())});
        reg->SetServed();
    }
    if (!ranges.empty() && !mEngine->AddRegisterHandler(ranges, mHandler)) {
        aFailure = "the application's registers could not be served";
        return false;
    }
    for (const auto& reg : mRegisters)
        if (reg->Own() && reg->HasSinks() && mEngine->AddRegisterHandler({{reg->GetAddress(), uint32_t(reg->GetLength())}}, mHandler))
            reg->SetServed();
    return true;
}

void Space::SinkAdded(Register& aRegister) {
    if (!aRegister.Own() || aRegister.Served()) return;
    std::lock_guard guard(mLock);
    if (!mHandler || aRegister.Served()) return;   // Serve installs it
    if (mEngine->AddRegisterHandler({{aRegister.GetAddress(), uint32_t(aRegister.GetLength())}}, mHandler))
        aRegister.SetServed();
}

void Space::Park() {
    std::shared_ptr<TqEngine::Device> engine;   // let go once the lock is
    std::lock_guard guard(mLock);
    if (!mEngine) return;
    for (const auto& reg : mRegisters) {
        reg->Kept().assign(reg->GetLength(), 0);
        reg->KeptStatus() = mEngine->ReadMemory(reg->GetAddress(), reg->Kept().data(), reg->Kept().size());
    }
    engine = std::move(mEngine);
    mHandler.reset();
    mParked = true;
}

// A retired register calls no sink any more: it lets go of them, and of the bytes it kept past a stop.
void Space::Retire() {
    if (mRetired.exchange(true)) return;
    std::vector<const void*> held;
    {
        std::lock_guard guard(mLock);
        for (const auto& reg : mRegisters) {
            std::vector<uint8_t>().swap(reg->Kept());
            if (reg->HasSinks()) held.push_back(static_cast<ITqRegister*>(reg.get()));
        }
    }
    TqObjectsGone::Tell(TqObjectsGone::News::kLetGo, held.data(), held.size());
}

TqResult Space::Reachable(const Register& aRegister) {
    if (mRetired) return RetiredRegister();
    std::lock_guard guard(mLock);
    return aRegister.Own() && !mEngine && !mParked ? NotMadeYet() : TqResult(TQ_OK);
}

// The bytes a register keeps while no engine device holds them (mLock held): null with aFailure when
// it cannot be reached.
uint8_t* Space::KeptBytes(const Register& aRegister, const char* aAccess, TqResult& aFailure) {
    auto& reg = const_cast<Register&>(aRegister);
    if (mRetired) aFailure = RetiredRegister();
    else if (aRegister.Own() && !mParked) aFailure = NotMadeYet();
    else if (reg.KeptStatus() != kSuccess) aFailure = FromStatus(reg.KeptStatus(), aAccess + reg.Name());
    else return reg.Kept().data();
    return nullptr;
}

TqResult Space::Load(const Register& aRegister, uint32_t aOffset, uint8_t* aData, uint32_t aSize) {
    std::shared_ptr<TqEngine::Device> engine;
    {
        std::lock_guard guard(mLock);
        engine = mEngine;
        if (!engine) {
            TqResult failure;
            const uint8_t* kept = KeptBytes(aRegister, "reading register ", failure);
            if (!kept) return failure;
            std::memcpy(aData, kept + aOffset, aSize);
            return TqResult(TQ_OK);
        }
    }
    if (aSize == 0) return TqResult(TQ_OK);
    // Whole words around the bytes.
    const uint32_t first = (aRegister.GetAddress() + aOffset) & ~3u;
    const uint64_t end = (uint64_t(aRegister.GetAddress()) + aOffset + aSize + 3) & ~uint64_t(3);
    std::vector<uint8_t> words(end - first);
    const uint16_t status = engine->ReadMemory(first, words.data(), words.size());
    if (status != kSuccess) return FromStatus(status, "reading register " + aRegister.Name());
    std::memcpy(aData, words.data() + (aRegister.GetAddress() + aOffset - first), aSize);
    return TqResult(TQ_OK);
}

TqResult Space::Store(const Register& aRegister, uint32_t aOffset, const uint8_t* aData, uint32_t aSize,
                      const TqEngine::Peer* aController) {
    std::shared_ptr<TqEngine::Device> engine;
    {
        std::lock_guard guard(mLock);
        engine = mEngine;
        if (!engine) {
            TqResult failure;
            uint8_t* kept = KeptBytes(aRegister, "writing register ", failure);
            if (!kept) return failure;
            std::memcpy(kept + aOffset, aData, aSize);
            return TqResult(TQ_OK);
        }
    }
    if (aSize == 0) return TqResult(TQ_OK);
    // The device's own side writes as the engine's local side does (the handlers that take local
    // writes, such as the sources' setters of the image format, see them, as their getters serve the
    // reads); what the local side may not write (a read-only register) is stored as it stands.
    auto write = [&](uint32_t aAddress, const uint8_t* aBytes, size_t aCount) {
        if (aController) return engine->WriteMemoryAs(*aController, aAddress, aBytes, aCount);
        const uint16_t status = engine->WriteMemory(aAddress, aBytes, aCount);
        return status == TqEngine::Gvcp::kWriteProtect ? engine->StoreMemory(aAddress, aBytes, aCount) : status;
    };
    const uint32_t address = aRegister.GetAddress() + aOffset;
    uint16_t status;
    if (address % 4 == 0 && aSize % 4 == 0) {
        status = write(address, aData, aSize);
    } else {   // part of a word: the words around it are read, patched and written whole
        std::lock_guard patch(mPatch);
        const uint32_t first = address & ~3u;
        const uint64_t end = (uint64_t(address) + aSize + 3) & ~uint64_t(3);
        std::vector<uint8_t> words(end - first);
        status = engine->ReadMemory(first, words.data(), words.size());
        if (status == kSuccess) {
            std::memcpy(words.data() + (address - first), aData, aSize);
            status = write(first, words.data(), words.size());
        }
    }
    return status == kSuccess ? TqResult(TQ_OK) : FromStatus(status, "writing register " + aRegister.Name());
}

void Space::Revert(std::vector<Piece>& aPieces, size_t aCount) {
    // Each register takes its bytes back unless another write changed them meanwhile.
    for (size_t n = aCount; n-- > 0;) {
        Piece& p = aPieces[n];
        std::vector<uint8_t> now(p.bytes.size());
        if (Load(*p.reg, p.offset, now.data(), uint32_t(now.size())).IsOK() && now == p.bytes)
            Store(*p.reg, p.offset, p.before.data(), uint32_t(p.before.size()), nullptr);
    }
}

TqResult Space::WriteAll(std::vector<Piece>& aPieces, const TqEngine::Peer* aController) {
    for (Piece& p : aPieces) {
        if (mRetired) return RetiredRegister();
        p.before.resize(p.bytes.size());
        const TqResult loaded = Load(*p.reg, p.offset, p.before.data(), uint32_t(p.before.size()));
        if (!loaded.IsOK()) return loaded;
    }
    for (size_t n = 0; n < aPieces.size(); ++n) {   // staged: readable through the register
        Piece& p = aPieces[n];
        const TqResult stored = Store(*p.reg, p.offset, p.bytes.data(), uint32_t(p.bytes.size()), aController);
        if (!stored.IsOK()) {
            Revert(aPieces, n);
            return stored;
        }
    }
    for (Piece& p : aPieces) {
        const TqResult accepted = p.reg->Before(true);
        if (!accepted.IsOK()) {
            Revert(aPieces, aPieces.size());
            return accepted;
        }
    }
    for (Piece& p : aPieces) p.reg->After(true);
    return TqResult(TQ_OK);
}

bool Space::Pieces(uint32_t aAddress, size_t aSize, std::vector<std::pair<Register*, uint32_t>>& aPieces) {
    std::lock_guard guard(mLock);
    const uint64_t end = uint64_t(aAddress) + aSize;
    for (uint64_t at = aAddress; at < end;) {
        const auto found = std::find_if(mRegisters.begin(), mRegisters.end(), [&](const auto& reg) {
            return reg->GetAddress() <= at && at < reg->End();
        });
        if (found == mRegisters.end()) return false;
        aPieces.emplace_back(found->get(), uint32_t(at - (*found)->GetAddress()));
        at = (*found)->End();
    }
    return true;
}

uint16_t Space::ControllerRead(uint32_t aAddress, uint8_t* aData, size_t aSize) {
    std::vector<std::pair<Register*, uint32_t>> pieces;
    if (mRetired || !Pieces(aAddress, aSize, pieces)) return TqEngine::Gvcp::kInvalidAddress;
    size_t done = 0;
    for (const auto& [reg, offset] : pieces) {
        if (!reg->Own() && !reg->IsReadable()) return TqEngine::Gvcp::kAccessDenied;
        const uint32_t size = uint32_t(std::min<uint64_t>(aSize - done, reg->GetLength() - offset));
        const TqResult read = reg->ReadAt(aData + done, offset, size);
        if (!read.IsOK()) return StatusOf(read);
        done += size;
    }
    return kSuccess;
}

uint16_t Space::ControllerWrite(uint32_t aAddress, const uint8_t* aData, size_t aSize, const TqEngine::Peer& aPeer) {
    std::vector<std::pair<Register*, uint32_t>> pieces;
    if (mRetired || !Pieces(aAddress, aSize, pieces)) return TqEngine::Gvcp::kInvalidAddress;
    std::vector<Piece> writes;
    size_t done = 0;
    for (const auto& [reg, offset] : pieces) {
        if (!reg->Own() && !reg->IsWritable()) return TqEngine::Gvcp::kWriteProtect;
        const uint32_t size = uint32_t(std::min<uint64_t>(aSize - done, reg->GetLength() - offset));
        writes.push_back({reg, offset, std::vector<uint8_t>(aData + done, aData + done + size), {}});
        done += size;
    }
    return StatusOf(WriteAll(writes, &aPeer));
}

uint16_t Space::AroundSinks(uint32_t aAddress, uint8_t* aWord, bool aWrite,
                            const std::function<uint16_t(uint8_t*)>& aServe) {
    Register* reg = mRetired ? nullptr : Find(aAddress);
    if (!reg || !reg->Own() || reg->GetLength() != 4 || !reg->HasSinks()) return aServe(aWord);
    if (!aWrite) {
        const TqResult accepted = reg->Before(false);
        if (!accepted.IsOK()) return StatusOf(accepted);
    }
    // What the word held, for a write that PreWrite refuses (the serving handler's thread reads the
    // memory beneath it).
    uint8_t before[4] = {};
    if (aWrite && !Load(*reg, 0, before, 4).IsOK()) return TqEngine::Gvcp::kError;
    const uint16_t status = aServe(aWord);
    if (status != kSuccess) return status;
    if (aWrite) {
        const TqResult accepted = reg->Before(true);
        if (!accepted.IsOK()) {
            aServe(before);
            return StatusOf(accepted);
        }
    }
    reg->After(aWrite);
    return kSuccess;
}

TqResult Space::Lock(const uint32_t* aTimeout) {
    if (mRetired) return StateError("the register map belongs to an earlier start of the device");
    const State state = mDevice.Current();
    if (state != State::kStarting && state != State::kRunning) return StateError("the device is not running");
    return Acquire(aTimeout);
}

TqResult Space::Acquire(const uint32_t* aTimeout) {
    std::unique_lock guard(mHold);
    const std::thread::id self = std::this_thread::get_id();
    auto free = [&] { return mDepth == 0 || mHolder == self; };
    if (!aTimeout)
        mFree.wait(guard, free);
    else if (!mFree.wait_for(guard, std::chrono::milliseconds(*aTimeout), free))
        return TqResult(TQ_TIMEOUT, TqString("another thread held the register map's lock"));
    mHolder = self;
    ++mDepth;
    return TqResult(TQ_OK);
}

void Space::Release() {
    {
        std::lock_guard guard(mHold);
        if (mDepth == 0 || mHolder != std::this_thread::get_id()) return;   // no lock of this thread's
        if (--mDepth > 0) return;
        mHolder = std::thread::id();
    }
    mFree.notify_all();
}

// ---------------------------------------------------------------------------------------------
// The device's registers over its starts.

std::shared_ptr<Space> DeviceRegisters::Begin(uint32_t aChannels) {
    auto space = std::make_shared<Space>(mDevice, aChannels);
    std::lock_guard guard(mLock);
    if (!mSpaces.empty()) mSpaces.back()->Retire();
    mSpaces.push_back(space);
    return space;
}

ITqRegisterMap* DeviceRegisters::Map() {
    std::lock_guard guard(mLock);
    return mSpaces.empty() ? nullptr : mSpaces.back()->Map();
}

TqResult DeviceRegisters::Persist(bool aLoad, StoredValues& aValues, std::vector<std::string>& aHandled) {
    std::shared_ptr<Space> space;
    RegisterStore* store;
    {
        std::lock_guard guard(mLock);
        if (!mSpaces.empty()) space = mSpaces.back();
        if (!space || space->Retired()) return StateError("the device has no registers before its first start");
        if (mClosed.empty()) {
            mStores.push_back(std::make_unique<RegisterStore>());
            mClosed.push_back(mStores.back().get());
        }
        store = mClosed.back();
        mClosed.pop_back();
    }
    store->Open(aLoad, aValues);
    TqResult result(TQ_OK);
    for (Register* reg : space->All()) {
        if (!reg->HasSinks()) continue;
        bool handled = false;
        result = reg->Offer(store, handled);
        if (!result.IsOK()) break;
        if (handled) aHandled.push_back(reg->Name());
    }
    store->Close();
    std::lock_guard guard(mLock);
    mClosed.push_back(store);
    return result;
}

}  // namespace TqSoftDevice
