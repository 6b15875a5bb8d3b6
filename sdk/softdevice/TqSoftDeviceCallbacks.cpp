// The defaults of the callback classes a software device calls: its event sink, the stream source
// interface and the register event sink. Each default does nothing, accepts, or declines.
#include "TqSoftDeviceGEV.h"

// ---- event sink ----

ITqSoftDeviceGEVEventSink::ITqSoftDeviceGEVEventSink() = default;
ITqSoftDeviceGEVEventSink::~ITqSoftDeviceGEVEventSink() = default;

void ITqSoftDeviceGEVEventSink::OnApplicationConnect(ITqSoftDeviceGEV*, const TqString&, uint16_t, TqAccessType) {}
void ITqSoftDeviceGEVEventSink::OnControlChannelStart(ITqSoftDeviceGEV*, const TqString&, const TqString&,
                                                      const TqString&, const TqString&, uint16_t) {}
void ITqSoftDeviceGEVEventSink::OnApplicationDisconnect(ITqSoftDeviceGEV*) {}
void ITqSoftDeviceGEVEventSink::OnControlChannelStop(ITqSoftDeviceGEV*) {}
void ITqSoftDeviceGEVEventSink::OnDeviceResetFull(ITqSoftDeviceGEV*) {}
void ITqSoftDeviceGEVEventSink::OnDeviceResetNetwork(ITqSoftDeviceGEV*) {}
void ITqSoftDeviceGEVEventSink::OnCreateCustomRegisters(ITqSoftDeviceGEV*, ITqRegisterFactory*) {}
void ITqSoftDeviceGEVEventSink::OnCreateCustomGenApiFeatures(ITqSoftDeviceGEV*, ITqGenApiFactory*) {}

// ---- stream source ----

ITqStreamingChannelSource::ITqStreamingChannelSource() = default;
ITqStreamingChannelSource::~ITqStreamingChannelSource() = default;

// ---- register event sink ----

ITqRegisterEventSink::ITqRegisterEventSink() = default;
ITqRegisterEventSink::~ITqRegisterEventSink() = default;

TqResult ITqRegisterEventSink::PreRead(ITqRegister*) { return TqResult(TQ_OK); }
void ITqRegisterEventSink::PostRead(ITqRegister*) {}
TqResult ITqRegisterEventSink::PreWrite(ITqRegister*) { return TqResult(TQ_OK); }
void ITqRegisterEventSink::PostWrite(ITqRegister*) {}
TqResult ITqRegisterEventSink::Persist(ITqRegister*, ITqRegisterStore*) { return TqResult(TQ_NOT_IMPLEMENTED); }
