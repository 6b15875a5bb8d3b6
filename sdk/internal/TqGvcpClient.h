// The GigE Vision control protocol from the application's side (internal to the stand-in SDK):
// discovery, and a control channel to one device with retries, used by the system and device
// libraries. Addresses are IPv4 in host byte order; only 127.0.0.0/8 is ever addressed.
#pragma once

#include "TqGvcpCodec.h"
#include "TqResult.h"
#include "TqSystemExport.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace TqGvcpClient {

// One DISCOVERY acknowledge.
struct Answer {
    uint32_t from = 0;   // the address the answer came from
    uint16_t versionMajor = 0, versionMinor = 0;
    uint32_t deviceMode = 0;
    std::array<uint8_t, 6> mac{};
    uint32_t ipOptions = 0, ipCurrent = 0;
    uint32_t ip = 0, mask = 0, gateway = 0;
    std::string manufacturer, model, version, manufacturerInfo, serial, userName;
};

std::string MacText(const std::array<uint8_t, 6>& aMac);   // aa:bb:cc:dd:ee:ff
std::string IpText(uint32_t aIp);
bool ParseIp(const std::string& aText, uint32_t& aIp);

// Sends DISCOVERY to each target (broadcast or unicast) and gathers the answers for the timeout, one
// per device (by MAC and address). aStop, when given, ends the wait early once it returns true.
TQ_SYSTEM_API std::vector<Answer> Discover(const std::vector<uint32_t>& aTargets, uint32_t aTimeoutMs,
                                           bool (*aStop)(const Answer&, void*) = nullptr, void* aContext = nullptr);

// Broadcasts FORCEIP for the device with that MAC address; true once a device acknowledged it.
TQ_SYSTEM_API bool ForceIp(const std::array<uint8_t, 6>& aMac, uint32_t aIp, uint32_t aMask, uint32_t aGateway);

// The default discovery targets on loopback: the broadcast address and 127.0.0.1, plus whatever a
// test added (a peer bound to one loopback address hears only unicast).
TQ_SYSTEM_API std::vector<uint32_t> LoopbackTargets();
TQ_SYSTEM_API void AddDiscoveryTarget(uint32_t aIp);
TQ_SYSTEM_API void ClearDiscoveryTargets();

// A control channel: commands to one device, each retried until acknowledged. Thread-safe.
//
// A command waits for its acknowledge the answer timeout per attempt. A device that answers
// PENDING_ACK extends the wait by the time it names, as often as it answers so, but one command
// never waits longer than the channel's maximum wait in all (retries included; kMaxWait unless the
// owner set another): then it ends with kStillPending (or kNoAnswer when no PENDING_ACK came).
class TQ_SYSTEM_API Channel {
public:
    Channel();
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // A device at aDeviceIp, on the control port (or aDevicePort: a device of a test's own).
    bool Open(uint32_t aDeviceIp, uint16_t aDevicePort = TqGvcp::kPort);
    // A device in this process: each command goes to the dispatcher, which returns the acknowledge
    // (empty when the device answers nothing).
    using Dispatcher = std::function<std::vector<uint8_t>(const uint8_t* aCommand, size_t aSize)>;
    bool OpenDirect(Dispatcher aDispatcher);
    void Close();
    bool IsOpen() const { return mSocket >= 0 || mDirect != nullptr; }
    uint32_t DeviceIp() const { return mDevice; }
    uint16_t LocalPort() const;

    void SetTimeout(uint32_t aMs) { mTimeoutMs = aMs; }
    void SetRetries(uint32_t aRetries) { mRetries = aRetries; }
    static constexpr uint32_t kMaxWait = 10000;   // ms
    void SetMaxWait(uint32_t aMs) { mMaxWaitMs = aMs; }
    uint32_t Timeout() const { return mTimeoutMs; }
    uint32_t Retries() const { return mRetries; }
    uint32_t MaxWait() const { return mMaxWaitMs; }

    // Each returns the GigE Vision status of the acknowledge, kNoAnswer when none came, or
    // kStillPending when the device still had the command pending at the maximum wait; a read given
    // a deadline kOutOfTime when the deadline came before all of it was read.
    static constexpr uint16_t kNoAnswer = 0xFFFF;
    static constexpr uint16_t kStillPending = 0xFFFE;
    static constexpr uint16_t kOutOfTime = 0xFFFD;
    using Deadline = std::chrono::steady_clock::time_point;
    static constexpr Deadline kNoDeadline = Deadline::max();
    uint16_t ReadRegister(uint32_t aAddress, uint32_t& aValue);
    uint16_t WriteRegister(uint32_t aAddress, uint32_t aValue);
    // Sends the write without asking for an acknowledge: kSuccess once the command is sent.
    uint16_t WriteRegisterUnacknowledged(uint32_t aAddress, uint32_t aValue);
    // Any length and any address that is a multiple of 4: split into commands of at most 536 bytes.
    // With a deadline no command is sent after it and none waits past it.
    uint16_t ReadMemory(uint32_t aAddress, uint8_t* aData, size_t aLength, Deadline aBy = kNoDeadline);
    uint16_t WriteMemory(uint32_t aAddress, const uint8_t* aData, size_t aLength);

private:
    uint16_t Transact(uint16_t aCommand, const uint8_t* aPayload, size_t aLength, uint16_t aAck,
                      std::vector<uint8_t>& aAnswer, Deadline aBy = kNoDeadline);
    uint16_t NextId();   // the next request ID (mLock held)

    mutable std::mutex mLock;
    int mSocket = -1;
    Dispatcher mDirect;
    uint32_t mDevice = 0;
    uint16_t mNextId = 1;
    std::atomic<uint32_t> mTimeoutMs{200};
    std::atomic<uint32_t> mRetries{3};
    std::atomic<uint32_t> mMaxWaitMs{kMaxWait};
};

// The result of a command's status: TQ_OK for SUCCESS; TQ_TIMEOUT for kNoAnswer, kStillPending and kOutOfTime;
// otherwise the result code that names the status (TQ_ACCESS_DENIED for ACCESS_DENIED, ...;
// TQ_GENERIC_ERROR for ERROR and for a value that is no GigE Vision status), described as
// "<aWhat>: the device answered ACCESS_DENIED (status 0x8006)" (without aWhat: from "the device").
TQ_SYSTEM_API TqResult StatusResult(uint16_t aStatus, const char* aWhat = nullptr);

}  // namespace TqGvcpClient
