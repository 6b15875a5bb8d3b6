// The software GigE Vision device.
#include "TqSoftDeviceGEV.h"

struct TqSoftDeviceGEV::Impl {};

TqSoftDeviceGEV::TqSoftDeviceGEV() : mImpl(new Impl) {}
TqSoftDeviceGEV::~TqSoftDeviceGEV() { delete mImpl; }

TqResult TqSoftDeviceGEV::AddStream(ITqStreamingChannelSource*) { return TqResult(TQ_NOT_IMPLEMENTED); }
TqResult TqSoftDeviceGEV::SetUserSetCount(uint32_t) { return TqResult(TQ_NOT_IMPLEMENTED); }
TqResult TqSoftDeviceGEV::SetUserSetNotify(ITqUserSetNotify*) { return TqResult(TQ_NOT_IMPLEMENTED); }
TqResult TqSoftDeviceGEV::SetTCPTransportEnabled(bool) { return TqResult(TQ_NOT_IMPLEMENTED); }
TqResult TqSoftDeviceGEV::SetRTPProtocolEnabled(bool) { return TqResult(TQ_NOT_IMPLEMENTED); }
TqResult TqSoftDeviceGEV::SetActionHandler(TqVirtualDeviceLib::IActionHandler*) { return TqResult(TQ_NOT_IMPLEMENTED); }
TqResult TqSoftDeviceGEV::RegisterEventSink(ITqSoftDeviceGEVEventSink*) { return TqResult(TQ_NOT_IMPLEMENTED); }
TqResult TqSoftDeviceGEV::UnregisterEventSink(ITqSoftDeviceGEVEventSink*) { return TqResult(TQ_NOT_IMPLEMENTED); }
TqResult TqSoftDeviceGEV::Start(const TqString&) { return TqResult(TQ_NOT_IMPLEMENTED); }
TqResult TqSoftDeviceGEV::Stop() { return TqResult(TQ_NOT_IMPLEMENTED); }
ITqSoftDeviceGEVInfo* TqSoftDeviceGEV::GetInfo() { return nullptr; }
ITqRegisterMap* TqSoftDeviceGEV::GetRegisterMap() { return nullptr; }
ITqSoftDeviceGEVStatistics* TqSoftDeviceGEV::GetStatistics() { return nullptr; }
ITqMessageChannel* TqSoftDeviceGEV::GetMessagingChannel() { return nullptr; }
TqResult TqSoftDeviceGEV::GetGenICamXMLFile(TqString&) const { return TqResult(TQ_STATE_ERROR); }
TqResult TqSoftDeviceGEV::SetStreamTimestamping(bool) { return TqResult(TQ_OK); }
