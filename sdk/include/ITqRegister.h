// The registers of a software GigE Vision device (library TqVirtualDevice64): one register as a
// description (ITqRegisterInfo) and with typed access (ITqRegister), the device's register map, the
// callbacks a register makes to its event sinks, the user-set store handed to those callbacks, and
// the factory through which an application adds its own registers while the device starts.
//
// The device owns every register, map, store and factory; the application only borrows them. It
// keeps the sinks and contexts it hands over alive itself: a register stores bare pointers.
#pragma once

#include "TqEnums.h"
#include "TqLiveObjects.h"
#include "TqResult.h"
#include "TqString.h"
#include "TqVirtualDeviceExport.h"

#include <cstddef>
#include <cstdint>

class ITqRegister;
class ITqRegisterEventSink;

// One register of the device, read-only. Every register has a name (for logs and user interfaces;
// GigE Vision itself does not need one).
class ITqRegisterInfo {
public:
    virtual ~ITqRegisterInfo() {}

    virtual const TqString& GetName() = 0;
    virtual uint32_t GetAddress() const = 0;
    // The length in bytes.
    virtual size_t GetLength() const = 0;
    // The context pointer given when the register was made (null when none was given).
    virtual void* GetContext() = 0;
    virtual const void* GetContext() const = 0;
    // Access as a controller sees it: writability is enforced for GigE Vision access only, so a
    // read-only register can still be written through ITqRegister.
    virtual bool IsWritable() const = 0;
    virtual bool IsReadable() const = 0;
    // True for a register made by ITqRegisterFactory::AddByteArray.
    virtual bool IsArrayOfBytes() const = 0;
};

// One register of the device, with reads, writes and event sinks. Reads and writes are safe from
// any thread, concurrently with the device's own access; aOffset counts bytes from the register's
// start. Every read and write runs the register's event sinks (PreRead/PostRead, PreWrite/PostWrite).
class ITqRegister : public ITqRegisterInfo {
public:
    // The content as a string.
    virtual TqResult ReadString(TqString& aValue) = 0;
    // A 4-byte unsigned integer at aOffset.
    virtual TqResult ReadInt(uint32_t& aValue, uint32_t aOffset = 0) = 0;
    // aDataLength bytes from aOffset into aData.
    virtual TqResult ReadBytes(uint8_t* aData, uint32_t aDataLength, uint32_t aOffset = 0) = 0;
    // Writes: TQ_OK on success.
    virtual TqResult Write(const TqString& aValue) = 0;
    virtual TqResult Write(uint32_t aValue, uint32_t aOffset = 0) = 0;
    virtual TqResult Write(const uint8_t* aData, uint32_t aDataLength, uint32_t aOffset = 0) = 0;
    // A 4-byte float.
    virtual TqResult ReadFloat(float& aValue) = 0;
    virtual TqResult WriteFloat(float aValue) = 0;
    // An 8-byte double.
    virtual TqResult ReadDouble(double& aValue) = 0;
    virtual TqResult WriteDouble(double aValue) = 0;
    // TQ_OK, or TQ_INVALID_PARAMETER for a null sink or one already added.
    virtual TqResult AddEventSink(ITqRegisterEventSink* aEventSink) = 0;
    // TQ_OK, or TQ_INVALID_PARAMETER for a null sink or one not added.
    virtual TqResult RemoveEventSink(ITqRegisterEventSink* aEventSink) = 0;
};

// The device's register map: the standard registers and the application's own. Lock the map
// before reaching registers through it and release it as soon as possible: the lock keeps registers
// from being added or removed (as a device reset does), not from being read or written. Every
// successful Lock needs its Release; a lock never released deadlocks the device's reset or stop.
class ITqRegisterMap {
public:
    virtual ~ITqRegisterMap() {}

    virtual size_t GetRegisterCount() = 0;
    // aIndex from 0 to GetRegisterCount() - 1; null when there is no such register.
    virtual ITqRegister* GetRegisterByIndex(size_t aIndex) = 0;
    // Null when no register starts at aAddress.
    virtual ITqRegister* GetRegisterByAddress(uint32_t aAddress) = 0;
    // TQ_OK; TQ_STATE_ERROR when the device is not running; TQ_TIMEOUT when the lock was not
    // acquired within aTimeout milliseconds.
    virtual TqResult Lock(uint32_t aTimeout) = 0;
    // TQ_OK, or TQ_STATE_ERROR when the device is not running.
    virtual TqResult Lock() = 0;
    virtual void Release() = 0;
};

// The user-set store, handed to ITqRegisterEventSink::Persist while a user set is saved or loaded.
class ITqRegisterStore {
public:
    virtual ~ITqRegisterStore() {}

    // Saves the register's content into the user set being saved, or loads it from the user set
    // being loaded, under aNameSuffix (one suffix per selector combination). TQ_OK on success.
    virtual TqResult Persist(ITqRegister* aRegister, const TqString& aNameSuffix) = 0;
};

// Callbacks of a register, on the thread that reads or writes it (a thread of the device for a
// controller's READREG/READMEM/WRITEREG/WRITEMEM, the caller's thread for an ITqRegister access).
// The defaults accept every access and persist nothing.
class TQ_VIRTUALDEVICE_API ITqRegisterEventSink {
public:
    ITqRegisterEventSink();
    virtual ~ITqRegisterEventSink();

    // Before a read: the place to refresh the register's content. A failure fails the read.
    // Default: TQ_OK.
    virtual TqResult PreRead(ITqRegister* aRegister);
    // After a read. Default: nothing.
    virtual void PostRead(ITqRegister* aRegister);
    // Before a write, with the new value already readable through aRegister. A failure fails the
    // write and restores the previous value; react to the new value in PostWrite, since another
    // sink may still refuse it. Default: TQ_OK.
    virtual TqResult PreWrite(ITqRegister* aRegister);
    // After a write: the place to react to the new value. Default: nothing.
    virtual void PostWrite(ITqRegister* aRegister);
    // While a user set is saved or loaded. A register whose feature is Streamable is persisted as
    // it is without this; a register holding one value per selector combination walks the
    // combinations and calls aStore->Persist once for each, then answers TQ_OK. TQ_NOT_IMPLEMENTED
    // (the default) means the register needs no such handling; any other code is a failure.
    virtual TqResult Persist(ITqRegister* aRegister, ITqRegisterStore* aStore);

private:
    TqLiveObjects::Counter mCounter{"ITqRegisterEventSink"};
};

// Adds the application's registers to the device's map; handed out only inside the register
// callbacks that run within TqSoftDeviceGEV::Start (ITqSoftDeviceGEVEventSink::OnCreateCustomRegisters,
// ITqStreamingChannelSource::CreateRegisters). aAddress must be unique and must not overlap a register
// made before; aAccessMode is TqGenAccessModeReadOnly, ...ReadWrite or ...WriteOnly. aRegisterEventSink
// is added to the new register at once; aContext is kept with it (ITqRegisterInfo::GetContext).
class ITqRegisterFactory {
public:
    virtual ~ITqRegisterFactory() {}

    // A plain register, for Integer and Float features: aLength 4 or 8.
    virtual TqResult AddRegister(const TqString& aName, uint32_t aAddress, uint32_t aLength,
                                 TqGenAccessMode aAccessMode, ITqRegisterEventSink* aRegisterEventSink = nullptr,
                                 void* aContext = nullptr) = 0;
    // An array of bytes, for String and Register features: aLength divisible by 4.
    virtual TqResult AddByteArray(const TqString& aName, uint32_t aAddress, uint32_t aLength,
                                  TqGenAccessMode aAccessMode, ITqRegisterEventSink* aRegisterEventSink = nullptr,
                                  void* aContext = nullptr) = 0;
};
