// The registers of a software device (internal to the library): the register objects over the engine
// device's memory, the map of one start, the factory of the application's registers, the store a user
// set hands to the registers' sinks, and the device's registers over its starts.
//
// Each start has its own registers (a Space): the device's own (bootstrap, image format of each
// channel, firmware version, the GenICam description as a byte array) and the application's, made by
// the factory inside the register callbacks at 0x00010000 to 0x0FFFFFFF. Their bytes are the engine
// device's memory, where every controller reads and writes them; the application's live in memory the
// engine adds for them (kept in the register until the engine device is made, early in Start). A stop
// keeps them, each with the bytes its engine device held (the engine device itself goes); the next
// start retires them: kept for the proxies that still point at them, they answer TQ_STATE_ERROR from
// then on, and their bytes go.
//
// Sinks run on the thread that reads or writes, with no lock held: an ITqRegister call's thread, or
// the engine's GVCP server thread for a controller (through a register handler, which serves every
// application register and each of the device's own that has sinks, but for those the stream sources
// own, whose handler runs their sinks through AroundSinks; the handlers enter the device's gate, so a
// sink runs inside the device's callback scope).
#pragma once

#include "TqSoftDeviceGEV.h"

#include "TqDeviceCalls.h"
#include "TqDeviceEngine.h"
#include "TqSinkList.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TqSoftDevice {

struct Core;
class Gate;
class Space;

// What a user set keeps of the registers whose sinks persist them: the bytes of each value, under the
// register's name followed by the suffix its sink gave.
using StoredValues = std::map<std::string, std::vector<uint8_t>>;

// One register.
class Register final : public ITqRegister {
public:
    Register(Space& aSpace, const std::string& aName, uint32_t aAddress, uint32_t aLength, TqGenAccessMode aAccess,
             bool aBytes, bool aOwn, void* aContext);

    const TqString& GetName() override { return mName; }
    uint32_t GetAddress() const override { return mAddress; }
    size_t GetLength() const override { return mLength; }
    void* GetContext() override { return mContext; }
    const void* GetContext() const override { return mContext; }
    bool IsWritable() const override { return mAccess != TqGenAccessModeReadOnly; }
    bool IsReadable() const override { return mAccess != TqGenAccessModeWriteOnly; }
    bool IsArrayOfBytes() const override { return mBytes; }

    TqResult ReadString(TqString& aValue) override;
    TqResult ReadInt(uint32_t& aValue, uint32_t aOffset = 0) override;
    TqResult ReadBytes(uint8_t* aData, uint32_t aDataLength, uint32_t aOffset = 0) override;
    TqResult Write(const TqString& aValue) override;
    TqResult Write(uint32_t aValue, uint32_t aOffset = 0) override;
    TqResult Write(const uint8_t* aData, uint32_t aDataLength, uint32_t aOffset = 0) override;
    TqResult ReadFloat(float& aValue) override;
    TqResult WriteFloat(float aValue) override;
    TqResult ReadDouble(double& aValue) override;
    TqResult WriteDouble(double aValue) override;
    TqResult AddEventSink(ITqRegisterEventSink* aEventSink) override;
    TqResult RemoveEventSink(ITqRegisterEventSink* aEventSink) override;

    // The device's side.
    const std::string& Name() const { return mText; }
    uint64_t End() const { return uint64_t(mAddress) + mLength; }
    bool Own() const { return mOwn; }
    TqGenAccessMode Access() const { return mAccess; }
    bool HasSinks() const { return !mSinks.Snapshot().empty(); }
    // aSize bytes from aOffset (within the register) with the sinks: PreRead of each in turn (the first
    // failure fails the read), the copy, then PostRead of each.
    TqResult ReadAt(uint8_t* aData, uint32_t aOffset, uint32_t aSize);
    // aSize bytes at aOffset through the write path (ITqRegister's: a protected register takes them).
    TqResult WriteAt(const uint8_t* aData, uint32_t aOffset, uint32_t aSize);
    // PreRead or PreWrite of each sink in turn until one fails (its result; a sink that throws fails
    // with TQ_GENERIC_ERROR); PostRead or PostWrite of each (what they throw is dropped).
    TqResult Before(bool aWrite);
    void After(bool aWrite);
    // Offers the register to its sinks for a user set with aStore: TQ_OK with aHandled when a sink
    // persisted it, TQ_OK without when every sink answered TQ_NOT_IMPLEMENTED, else the failure.
    TqResult Offer(ITqRegisterStore* aStore, bool& aHandled);
    // The bytes while no engine device holds them: the application's registers' early in Start, every
    // register's once the device stopped, with the engine's answer to the read that took them there.
    std::vector<uint8_t>& Kept() { return mKept; }
    uint16_t& KeptStatus() { return mKeptStatus; }
    bool Served() const { return mServed; }
    void SetServed() { mServed = true; }

private:
    TqResult Check(uint64_t aOffset, uint64_t aSize) const;
    // aAsk(sink) for each sink still added, in the order they came (with aUntilFailure, until one
    // answers a failure, which is the result); what a call throws is a TQ_GENERIC_ERROR answer.
    template <class Ask>
    TqResult EachSink(const char* aOperation, bool aUntilFailure, Ask aAsk);

    Space& mSpace;
    const TqString mName;
    const std::string mText;   // the name in UTF-8
    const uint32_t mAddress, mLength;
    const TqGenAccessMode mAccess;
    const bool mBytes, mOwn;
    void* const mContext;
    TqSinkList<ITqRegisterEventSink> mSinks;
    std::vector<uint8_t> mKept;
    uint16_t mKeptStatus = TqEngine::Gvcp::kSuccess;
    std::atomic<bool> mServed{false};   // a handler serves it to controllers
};

// The register map of one start.
class RegisterMap final : public ITqRegisterMap {
public:
    explicit RegisterMap(Space& aSpace) : mSpace(aSpace) {}
    size_t GetRegisterCount() override;
    ITqRegister* GetRegisterByIndex(size_t aIndex) override;
    ITqRegister* GetRegisterByAddress(uint32_t aAddress) override;
    TqResult Lock(uint32_t aTimeout) override;
    TqResult Lock() override;
    void Release() override;

private:
    Space& mSpace;
};

// The factory the register callbacks get: open while they run (a start's register callbacks), else
// every call answers TQ_STATE_ERROR. It lives as long as its device.
class RegisterFactory final : public ITqRegisterFactory {
public:
    TqResult AddRegister(const TqString& aName, uint32_t aAddress, uint32_t aLength, TqGenAccessMode aAccessMode,
                         ITqRegisterEventSink* aRegisterEventSink, void* aContext) override;
    TqResult AddByteArray(const TqString& aName, uint32_t aAddress, uint32_t aLength, TqGenAccessMode aAccessMode,
                          ITqRegisterEventSink* aRegisterEventSink, void* aContext) override;
    void Open(std::shared_ptr<Space> aSpace);
    void Close();

private:
    TqResult Add(const TqString& aName, uint32_t aAddress, uint32_t aLength, TqGenAccessMode aAccessMode,
                 ITqRegisterEventSink* aSink, void* aContext, bool aBytes);
    std::mutex mLock;
    std::shared_ptr<Space> mOpen;
};

// The store a save or load of a user set hands to the registers' sinks: Persist saves a register's
// bytes (read through its sinks) under its name and the suffix, or writes them back through its
// sinks. It answers only on the thread of the operation that opened it, while that runs (else
// TQ_STATE_ERROR); kept as long as the device, and opened again by later operations, so that however
// many there are the device keeps no more stores than ever ran at once.
class RegisterStore final : public ITqRegisterStore {
public:
    TqResult Persist(ITqRegister* aRegister, const TqString& aNameSuffix) override;
    // For a save (aLoad false: aValues receives) or a load (from aValues) on the calling thread.
    void Open(bool aLoad, StoredValues& aValues);
    void Close();

private:
    // The operation's values, when the calling thread's operation holds the store open (mLock held).
    StoredValues* Values() const;
    std::mutex mLock;
    bool mLoad = false;
    StoredValues* mValues = nullptr;   // null while closed
    std::thread::id mThread;
};

// The registers of one start.
class Space : public std::enable_shared_from_this<Space> {
public:
    // The device's own registers of a device with aChannels stream channels (the description's comes
    // with the engine device).
    Space(Core& aDevice, uint32_t aChannels);
    ~Space();

    ITqRegisterMap* Map() { return &mMap; }
    size_t Count();
    Register* At(size_t aIndex);
    Register* Find(uint32_t aAddress);
    std::vector<Register*> All();
    // An application register (the factory's rules); aSink is added to it.
    TqResult Add(const TqString& aName, uint32_t aAddress, uint32_t aLength, TqGenAccessMode aAccess, bool aBytes,
                 ITqRegisterEventSink* aSink, void* aContext);
    // The engine device is made: the application's registers move into memory it adds for them, and
    // the description's register comes. False with aFailure.
    bool Attach(const std::shared_ptr<TqEngine::Device>& aEngine, std::string& aFailure);
    // The engine device is about to serve controllers: a handler for the application's registers and
    // for the device's own that have sinks, its calls through aGate. False with aFailure.
    bool Serve(const std::shared_ptr<Gate>& aGate, std::string& aFailure);
    // The engine device stopped: each register keeps the bytes it holds there (a register whose read
    // fails keeps the failure), and the space lets the engine device go.
    void Park();
    // A sink was added to aRegister: controllers reach the device's own registers with sinks through
    // the handler from now on.
    void SinkAdded(Register& aRegister);
    // The factory may add registers (while the register callbacks run).
    void Adding(bool aOpen);
    // A new start made new registers: these refuse every access from now on, and their bytes go.
    void Retire();
    bool Retired() const { return mRetired; }

    // Memory: aSize bytes at aOffset of a register, with no sinks. The write path is the controller's
    // (aController) or the device's own side's (null: the engine's local write, which the handlers of
    // local accesses see as they serve the reads; a protected register takes the bytes).
    TqResult Load(const Register& aRegister, uint32_t aOffset, uint8_t* aData, uint32_t aSize);
    TqResult Store(const Register& aRegister, uint32_t aOffset, const uint8_t* aData, uint32_t aSize,
                   const TqEngine::Peer* aController);
    // Writes of several registers as one: each staged, then every PreWrite (the first failure puts every
    // register back and is the result), then every PostWrite.
    struct Piece {
        Register* reg;
        uint32_t offset;
        std::vector<uint8_t> bytes, before;
    };
    TqResult WriteAll(std::vector<Piece>& aPieces, const TqEngine::Peer* aController);

    // A controller's access of [aAddress, aAddress + aSize), register by register (the handler's).
    uint16_t ControllerRead(uint32_t aAddress, uint8_t* aData, size_t aSize);
    uint16_t ControllerWrite(uint32_t aAddress, const uint8_t* aData, size_t aSize, const TqEngine::Peer& aPeer);
    // A controller's access of the word aWord at aAddress, which another handler serves (aServe, given
    // the word to read into or write; the sources' registers): when one of the device's own registers
    // lies there with sinks, they run around it as around the accesses this space serves. A read:
    // PreRead (a failure answers), aServe, PostRead. A write: aServe, then PreWrite, whose refusal
    // is the answer once aServe wrote back the word the memory held before, then PostWrite.
    uint16_t AroundSinks(uint32_t aAddress, uint8_t* aWord, bool aWrite, const std::function<uint16_t(uint8_t*)>& aServe);

    // The map's lock: recursive, timed; TQ_STATE_ERROR unless this is the start of a device that starts
    // or runs. Release by another thread than the holder, or without a lock, does nothing.
    TqResult Lock(const uint32_t* aTimeout);
    void Release();

private:
    friend class Register;
    bool Pieces(uint32_t aAddress, size_t aSize, std::vector<std::pair<Register*, uint32_t>>& aPieces);
    // Whether a register's bytes can be reached now: TQ_STATE_ERROR when retired, or for the device's
    // own before the engine device is made.
    TqResult Reachable(const Register& aRegister);
    uint8_t* KeptBytes(const Register& aRegister, const char* aAccess, TqResult& aFailure);
    void Revert(std::vector<Piece>& aPieces, size_t aCount);
    TqResult Acquire(const uint32_t* aTimeout);   // the map's lock, whatever the device's state
    void Own(const char* aName, uint32_t aAddress, uint32_t aLength, TqGenAccessMode aAccess, bool aBytes = false);
    class Handler;

    Core& mDevice;
    RegisterMap mMap{*this};
    std::mutex mLock;   // what follows
    std::vector<std::unique_ptr<Register>> mRegisters;   // in the order they came
    std::shared_ptr<TqEngine::Device> mEngine;   // from Attach until Park
    std::shared_ptr<Handler> mHandler;
    bool mAdding = false;
    bool mParked = false;
    std::atomic<bool> mRetired{false};
    std::recursive_mutex mPatch;   // a write of part of a word reads, patches and writes it whole

    std::mutex mHold;   // the map's lock
    std::condition_variable mFree;
    std::thread::id mHolder;
    int mDepth = 0;
};

// The device's registers over its starts, its factory and its user-set stores.
class DeviceRegisters {
public:
    explicit DeviceRegisters(Core& aDevice) : mDevice(aDevice) {}

    // A start begins: its registers; the previous start's retire.
    std::shared_ptr<Space> Begin(uint32_t aChannels);
    // The map of the last start, or null before the first.
    ITqRegisterMap* Map();
    RegisterFactory& Factory() { return mFactory; }
    // A user set's save (aLoad false: aValues receives what the sinks store) or load (the sinks write
    // from aValues): every register of the current start with sinks is offered to them; the names of
    // those a sink persisted go to aHandled (no raw copy of them belongs in the set). TQ_STATE_ERROR
    // without a start; a sink's failure is the result.
    TqResult Persist(bool aLoad, StoredValues& aValues, std::vector<std::string>& aHandled);

private:
    Core& mDevice;
    std::mutex mLock;
    std::vector<std::shared_ptr<Space>> mSpaces;   // every start's, the current one last
    std::vector<std::unique_ptr<RegisterStore>> mStores;   // every store made
    std::vector<RegisterStore*> mClosed;                   // those no operation holds
    RegisterFactory mFactory;
};

}  // namespace TqSoftDevice
