// Serial ports of a device (library TqSerial64): UART-style ports TqDeviceSerial0/1 on GigE Vision and
// USB3 Vision devices, bulk channels TqDeviceSerialBulk0..7 on USB3 Vision devices only. A port is
// opened over the device's ITqDeviceAdapter; the device carries a UART bridge per port, reached through
// its memory (bytes written go to the bridge's transmit FIFO) and answering with the bytes it receives
// as event data on the messaging channel.
//
// - Open: TQ_INVALID_PARAMETER for a null adapter, TQ_NOT_CONNECTED when the device is not connected,
//   TQ_NOT_SUPPORTED when the device has no such port (or it is marked unsupported); TQ_STATE_ERROR
//   when already open. Close: TQ_NOT_CONNECTED when already closed.
// - Receive ring of GetRxBufferSize bytes (64 KiB to start): on overflow the oldest bytes go first;
//   SetRxBufferSize (0: TQ_INVALID_PARAMETER; more than the process can be given: TQ_NOT_ENOUGH_MEMORY,
//   the size unchanged) flushes it.
// - Read waits until at least one byte is there or aTimeout ms have passed, then takes what is there
//   up to aSize: TQ_OK with the count; TQ_TIMEOUT with 0 when nothing came; TQ_NOT_CONNECTED when the
//   port is not open or the device is gone. Write sends in chunks and returns when all bytes are
//   written (TQ_GENERIC_ERROR if not all were; TQ_NOT_CONNECTED as for Read); a count of 0 is TQ_OK.
//   GetWriteProgress may be called from another thread during a Write; after a write it shows
//   written == total until the next one begins; before any write TQ_STATE_ERROR.
// - Statistics: bytes sent and received (64-bit); ResetStatistics zeroes them.
// - Echo sinks are process-wide: told of every write and read (the bytes and the port) and of
//   NotifyReadComplete, on the thread of the call, with no port lock held. RegisterEchoSink: null
//   TQ_INVALID_PARAMETER, twice TQ_NOT_SUPPORTED; UnregisterEchoSink: unknown TQ_NOT_FOUND.
// - IsSupported(null, port) is false.
//
// The stand-in's choices where the above leaves room:
// - The device's side is its UART bridge (TqDeviceEngine.h, TqEngine::Serial): port n's registers at
//   0x31000000 + 0x1000 * n (n as TqDeviceSerial counts: UART 0 and 1, then bulk channels 0 to 7).
//   Write sends blocks of at most 512 bytes to the port's transmit window, each a count word and the
//   bytes padded to whole words; the device sends what the port receives as EVENTDATA of the ID that
//   the port's EventID register names (0xA000 + n), each with a count word and at most 520 bytes.
// - A device's port is open on one TqDeviceSerialPort at a time: Open on another gives TQ_STATE_ERROR.
// - Write and Read with a null buffer, and Read with aBufferSize 0: TQ_INVALID_PARAMETER. A Write of 0
//   bytes starts no write (GetWriteProgress still shows the last one). GetWriteProgress counts whole
//   blocks; a failed Write shows how far it came, as aBytesWritten does.
// - Echo sinks hear OnWrite once per block written, OnRead once per Read that took bytes.
// - The receive ring's operations (flush, bytes ready, sizes) work whether the port is open or not;
//   Open and Close flush it. Bytes received before the device went stay readable; once the ring is
//   empty Read gives TQ_NOT_CONNECTED. GetBytesReceived counts every byte that came, also those the
//   ring dropped.
#pragma once

#include "TqEnums.h"
#include "TqLiveObjects.h"
#include "TqResult.h"

#include <cstdint>

class ITqDeviceAdapter;

// A receiver of all serial traffic of the process (native only; Python never makes one).
class TqDeviceSerialPortEchoSink {
public:
    virtual ~TqDeviceSerialPortEchoSink() {}
    virtual void OnWrite(TqDeviceSerial aPort, const uint8_t* aBuffer, uint32_t aLength) = 0;
    virtual void OnRead(TqDeviceSerial aPort, const uint8_t* aBuffer, uint32_t aLength) = 0;
    virtual void OnReadComplete(TqDeviceSerial aPort) = 0;
};

class TqDeviceSerialPort {
public:
    TqDeviceSerialPort();
    virtual ~TqDeviceSerialPort();
    TqDeviceSerialPort(const TqDeviceSerialPort&) = delete;
    TqDeviceSerialPort& operator=(const TqDeviceSerialPort&) = delete;

    TqResult Open(ITqDeviceAdapter* aDevice, TqDeviceSerial aPort);
    TqResult Close();
    bool IsOpened();

    TqResult Write(const uint8_t* aBuffer, uint32_t aSize, uint32_t& aBytesWritten);
    TqResult GetWriteProgress(uint32_t& aWritten, uint32_t& aTotal);
    TqResult Read(uint8_t* aBuffer, uint32_t aBufferSize, uint32_t& aBytesRead, uint32_t aTimeout = 0);
    TqResult NotifyReadComplete();
    TqResult FlushRxBuffer();
    TqResult GetRxBytesReady(uint32_t& aBytes);
    TqResult GetRxBufferSize(uint32_t& aSize);
    TqResult SetRxBufferSize(uint32_t aSize);

    static bool IsSupported(ITqDeviceAdapter* aDevice, TqDeviceSerial aPort);
    static TqResult RegisterEchoSink(TqDeviceSerialPortEchoSink* aSink);
    static TqResult UnregisterEchoSink(TqDeviceSerialPortEchoSink* aSink);

    uint64_t GetBytesSent() const;
    uint64_t GetBytesReceived() const;
    void ResetStatistics();

private:
    struct Impl;
    Impl* mImpl;
    TqLiveObjects::Counter mCounter{"TqDeviceSerialPort"};
};
