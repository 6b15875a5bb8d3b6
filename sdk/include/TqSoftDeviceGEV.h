// The software GigE Vision device (library TqVirtualDevice64): a device that lives in the
// application's process, answers GVCP on one network interface and sends its streams (GVSP, or RTP
// where enabled), with registers, a GenICam XML file and stream contents the application supplies.
//
// The road of a device: construct it; add its streams (ITqStreamingChannelSource), set its user-set
// count and notification, transports and timestamping; register its event sinks; Start it with the
// MAC address of the interface to bind to. Inside Start, before it returns and on the calling
// thread, the device asks the event sinks and the sources for their registers (a register factory)
// and then for their features (a GenApi factory), builds its GenICam XML file, and from then on
// serves GVCP and GVSP from threads of its own until Stop or destruction.
//
// States: created (everything may be set; the interface getters give null); running, after a
// successful Start (the getters give the device's interfaces; AddStream, SetUserSetCount and Start
// answer TQ_STATE_ERROR); stopped, after Stop. The device holds bare pointers to the sources, sinks,
// notification and action handler it was given: they must outlive their use by the device. The
// interfaces it hands out are its own and go with it.
#pragma once

#include "ITqGenApiFactory.h"
#include "ITqRegister.h"
#include "ITqStreamingChannelSource.h"
#include "TqEnums.h"
#include "TqLiveObjects.h"
#include "TqResult.h"
#include "TqString.h"
#include "TqVirtualDeviceExport.h"

#include <cstdint>

class ITqSoftDeviceGEV;

namespace TqVirtualDeviceLib {
// The handler of the action commands a device receives.
class IActionHandler;
}  // namespace TqVirtualDeviceLib

// Told when a user-set save or load of the device starts and completes.
class ITqUserSetNotify {
public:
    virtual ~ITqUserSetNotify() {}

    // aUserSetIndex: 0 for the default user set, 1 and up for the others.
    virtual TqResult UserSetStateNotify(TqUserSetState aUserSetState, uint32_t aUserSetIndex) = 0;
};

// Notifications of a device to the application. The defaults do nothing.
class TQ_VIRTUALDEVICE_API ITqSoftDeviceGEVEventSink {
public:
    ITqSoftDeviceGEVEventSink();
    virtual ~ITqSoftDeviceGEVEventSink();

    // A controller took the control channel, from aIPAddress (dotted text) and aPort, with
    // aAccessType.
    virtual void OnApplicationConnect(ITqSoftDeviceGEV* aDevice, const TqString& aIPAddress, uint16_t aPort,
                                      TqAccessType aAccessType);
    // The control channel (the GVCP server) started on the interface with aMACAddress, bound to
    // aIPAddress with aMask and aGateway, listening on aPort (3956).
    virtual void OnControlChannelStart(ITqSoftDeviceGEV* aDevice, const TqString& aMACAddress,
                                       const TqString& aIPAddress, const TqString& aMask, const TqString& aGateway,
                                       uint16_t aPort);
    // The controller released the control channel, or the device did after a failed heartbeat.
    virtual void OnApplicationDisconnect(ITqSoftDeviceGEV* aDevice);
    virtual void OnControlChannelStop(ITqSoftDeviceGEV* aDevice);
    // A full reset (like a power cycle), and a reset of the network stack (after FORCEIP).
    virtual void OnDeviceResetFull(ITqSoftDeviceGEV* aDevice);
    virtual void OnDeviceResetNetwork(ITqSoftDeviceGEV* aDevice);
    // Inside Start: the device-wide registers now, then the device-wide features.
    virtual void OnCreateCustomRegisters(ITqSoftDeviceGEV* aDevice, ITqRegisterFactory* aFactory);
    virtual void OnCreateCustomGenApiFeatures(ITqSoftDeviceGEV* aDevice, ITqGenApiFactory* aFactory);

private:
    TqLiveObjects::Counter mCounter{"ITqSoftDeviceGEVEventSink"};
};

// The device's identity: the strings of its read-only bootstrap registers and the header of its
// GenICam XML file. A string longer than its register (less the terminating NUL) is refused with
// TQ_INVALID_PARAMETER.
class ITqSoftDeviceGEVInfo {
public:
    virtual ~ITqSoftDeviceGEVInfo() {}

    virtual const TqString& GetManufacturerName() = 0;          // 0x0048, 31 characters
    virtual const TqString& GetModelName() = 0;                 // 0x0068, 31 characters
    virtual const TqString& GetDeviceVersion() = 0;             // 0x0088, 31 characters
    virtual const TqString& GetDeviceFirmwareVersion() = 0;     // 0x3FFF0100, 31 characters
    virtual const TqString& GetManufacturerInformation() = 0;   // 0x00A8, 47 characters
    virtual const TqString& GetSerialNumber() = 0;              // 0x00D8, 15 characters
    virtual TqResult SetManufacturerName(const TqString& aValue) = 0;
    virtual TqResult SetModelName(const TqString& aValue) = 0;
    virtual TqResult SetDeviceVersion(const TqString& aValue) = 0;
    virtual TqResult SetDeviceFirmwareVersion(const TqString& aValue) = 0;
    virtual TqResult SetManufacturerInformation(const TqString& aValue) = 0;
    virtual TqResult SetSerialNumber(const TqString& aValue) = 0;

    // The GenICam XML file's version, GUIDs (32 hexadecimal digits grouped 8-4-4-4-12) and the
    // model and vendor names of its RegisterDescription (31 characters; until set, the model name
    // and the manufacturer name).
    virtual uint16_t GetGenICamXMLVersionMajor() const = 0;
    virtual uint16_t GetGenICamXMLVersionMinor() const = 0;
    virtual uint16_t GetGenICamXMLVersionSubMinor() const = 0;
    virtual const TqString& GetGenICamXMLProductGUID() = 0;
    virtual const TqString& GetGenICamXMLVersionGUID() = 0;
    virtual const TqString& GetGenICamXMLRegDescModelName() = 0;
    virtual const TqString& GetGenICamXMLRegDescVendorName() = 0;
    // TQ_STATE_ERROR once the XML file was created.
    virtual TqResult SetGenICamXMLVersion(uint16_t aMajor, uint16_t aMinor, uint16_t aSubMinor) = 0;
    // TQ_INVALID_PARAMETER for a malformed GUID; TQ_STATE_ERROR once the XML file was created.
    virtual TqResult SetGenICamXMLGUIDs(const TqString& aProduct, const TqString& aVersion) = 0;
    virtual TqResult SetGenICamXMLRegDescModelName(const TqString& aModelName) = 0;
    virtual TqResult SetGenICamXMLRegDescVendorName(const TqString& aVendorName) = 0;
};

// The device's protocol counters. All are running totals except the two maxima, which count the
// retries of a single command.
class ITqSoftDeviceGEVStatistics {
public:
    virtual ~ITqSoftDeviceGEVStatistics() {}

    // Every counter, maxima included, back to zero.
    virtual void Reset() = 0;
    virtual uint64_t GetReadMemsReceived() const = 0;               // READMEM_CMD
    virtual uint64_t GetWriteMemsReceived() const = 0;              // WRITEMEM_CMD
    virtual uint64_t GetReadRegsReceived() const = 0;               // READREG_CMD
    virtual uint64_t GetWriteRegsReceived() const = 0;              // WRITEREG_CMD
    virtual uint64_t GetDiscoveriesReceived() const = 0;            // DISCOVERY_CMD
    virtual uint64_t GetActionCommandsReceived() const = 0;         // ACTION_CMD
    virtual uint64_t GetForceIpsReceived() const = 0;               // FORCEIP_CMD
    virtual uint64_t GetPacketResendRequestsReceived() const = 0;   // PACKETRESEND_CMD
    virtual uint64_t GetPendingAcksIssued() const = 0;              // PENDING_ACK
    virtual uint64_t GetRetriesReceived() const = 0;                // commands received again
    virtual uint64_t GetRetriesReceivedMax() const = 0;             // most retries of one command
    virtual uint64_t GetEventsIssued() const = 0;                   // EVENT_CMD
    virtual uint64_t GetEventDatasIssued() const = 0;               // EVENTDATA_CMD
    virtual uint64_t GetEventRetriesIssued() const = 0;             // events sent again, unacknowledged
    virtual uint64_t GetEventRetriesIssuedMax() const = 0;          // most retries of one event
    virtual uint64_t GetSessionsOpened() const = 0;                 // controller sessions
    virtual uint64_t GetSessionsClosed() const = 0;
    virtual uint64_t GetHeartbeatFailedCount() const = 0;           // sessions closed by the heartbeat
    virtual uint64_t GetGVSPTestPacketsIssued() const = 0;
};

// The device's messaging channel. It is open once a controller is connected and has written the
// destination (MCDA 0x0B10, MCP 0x0B00). aEventID is a standard event code or 0x9000..0xFFFF for
// the device's own; aBlockID and aChannelIndex relate the event to a block of a stream channel (0
// and 0xFFFF when none). Results: TQ_OK; TQ_STATE_ERROR while the channel is closed;
// TQ_INVALID_PARAMETER for data missing, too short or too long, or not a multiple of 4 bytes.
class ITqMessageChannel {
public:
    virtual ~ITqMessageChannel() {}

    virtual TqResult FireEvent(uint16_t aEventID, uint8_t* aData, uint32_t aDataLength, uint64_t aBlockID = 0,
                               uint16_t aChannelIndex = 0xFFFF) = 0;
    virtual TqResult FireEvent(uint16_t aEventID, uint64_t aBlockID = 0, uint16_t aChannelIndex = 0xFFFF) = 0;
    virtual bool IsOpened() = 0;
};

// The device, as the SDK hands it to event sinks.
class ITqSoftDeviceGEV {
public:
    virtual ~ITqSoftDeviceGEV() {}

    // Before Start only: TQ_OK; TQ_INVALID_PARAMETER for null; TQ_STATE_ERROR while running;
    // TQ_NOT_SUPPORTED once the device has as many streams as it can take.
    virtual TqResult AddStream(ITqStreamingChannelSource* aSource) = 0;
    // The user sets besides the default one, at most 256 (TQ_INVALID_PARAMETER above); before
    // Start only (TQ_STATE_ERROR while running).
    virtual TqResult SetUserSetCount(uint32_t aCount) = 0;
    virtual TqResult SetUserSetNotify(ITqUserSetNotify* aUserSetNotify) = 0;
    // TCP for control, messages and streams besides UDP (only this SDK's own clients use it; not
    // GigE Vision compliant).
    virtual TqResult SetTCPTransportEnabled(bool aEnabled) = 0;
    // RTP selectable as a stream channel's protocol, announced by SAP.
    virtual TqResult SetRTPProtocolEnabled(bool aEnabled) = 0;
    virtual TqResult SetActionHandler(TqVirtualDeviceLib::IActionHandler* aActionHandler) = 0;
    // TQ_OK; TQ_INVALID_PARAMETER for null or a sink already registered.
    virtual TqResult RegisterEventSink(ITqSoftDeviceGEVEventSink* aEventSink) = 0;
    // TQ_OK; TQ_INVALID_PARAMETER for null.
    virtual TqResult UnregisterEventSink(ITqSoftDeviceGEVEventSink* aEventSink) = 0;
    // TQ_OK; TQ_STATE_ERROR while running; TQ_INVALID_PARAMETER for an address that is no
    // interface's.
    virtual TqResult Start(const TqString& aMACAddress) = 0;
    // TQ_OK, or TQ_STATE_ERROR when not running.
    virtual TqResult Stop() = 0;
    // The device's interfaces while it runs; null otherwise.
    virtual ITqSoftDeviceGEVInfo* GetInfo() = 0;
    virtual ITqRegisterMap* GetRegisterMap() = 0;
    virtual ITqSoftDeviceGEVStatistics* GetStatistics() = 0;
    virtual ITqMessageChannel* GetMessagingChannel() = 0;
    // The GenICam XML file, once Start was called (whether or not it succeeded); TQ_STATE_ERROR
    // before.
    virtual TqResult GetGenICamXMLFile(TqString& aXMLFile) const = 0;
};

class TQ_VIRTUALDEVICE_API TqSoftDeviceGEV : public ITqSoftDeviceGEV {
public:
    TqSoftDeviceGEV();
    // A running device stops first.
    virtual ~TqSoftDeviceGEV();
    TqSoftDeviceGEV(const TqSoftDeviceGEV&) = delete;
    TqSoftDeviceGEV& operator=(const TqSoftDeviceGEV&) = delete;

    TqResult AddStream(ITqStreamingChannelSource* aSource) override;
    TqResult SetUserSetCount(uint32_t aCount) override;
    TqResult SetUserSetNotify(ITqUserSetNotify* aUserSetNotify) override;
    TqResult SetTCPTransportEnabled(bool aEnabled) override;
    TqResult SetRTPProtocolEnabled(bool aEnabled) override;
    TqResult SetActionHandler(TqVirtualDeviceLib::IActionHandler* aActionHandler) override;
    TqResult RegisterEventSink(ITqSoftDeviceGEVEventSink* aEventSink) override;
    TqResult UnregisterEventSink(ITqSoftDeviceGEVEventSink* aEventSink) override;
    TqResult Start(const TqString& aMACAddress) override;
    TqResult Stop() override;
    ITqSoftDeviceGEVInfo* GetInfo() override;
    ITqRegisterMap* GetRegisterMap() override;
    ITqSoftDeviceGEVStatistics* GetStatistics() override;
    ITqMessageChannel* GetMessagingChannel() override;
    TqResult GetGenICamXMLFile(TqString& aXMLFile) const override;

    // Timestamps each buffer as it is queued on every source (the default). Off, a buffer goes out
    // with the timestamp it carries. Register and message timestamps are not affected.
    TqResult SetStreamTimestamping(bool aEnabled);

private:
    struct Impl;
    Impl* mImpl;
    TqLiveObjects::Counter mCounter{"TqSoftDeviceGEV"};
};
