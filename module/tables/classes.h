// The class list, and the rows each wrapper defines for its class: what the wrappers and the class
// table (module/assembly/class_table.h) are built from.
#pragma once

#include "kinds.h"
#include "types.h"

#include <vector>

namespace kivo::module {

using Entries = std::vector<kivo::rt::Entry>;

// Every class the module knows, in the order of the method table: its Python name, its type, the
// function giving its rows (unwrapped: known for its casts only, not wrapped yet), whether Python may
// subclass it, and its direct bases in declaration order. A new class is a line here, a row in the
// type table and its binding (KIVO_BIND_CLASS); table_problems checks the three against each other.
#define KIVO_CLASSES(X) \
    /* Base types. */ \
    X("TqResult", TqResult, result_entries, false) \
    X("TqString", TqString, string_entries, false) \
    X("TqLogger", TqLogger, logger_entries, false) \
    X("TqLogSink", TqLogSink, log_sink_entries, true) \
    /* Buffers and images. */ \
    X("ITqChunkData", ITqChunkData, chunk_data_interface_entries, false) \
    X("TqBuffer", TqBuffer, buffer_entries, false, same(T::ITqChunkData)) \
    X("TqChunkData", TqChunkData, chunk_data_entries, false, same(T::ITqChunkData)) \
    X("ITqImage", ITqImage, image_interface_entries, false) \
    X("TqImage", TqImage, image_entries, false, same(T::ITqImage)) \
    X("TqRawData", TqRawData, raw_data_entries, false) \
    X("TqFPSStabilizer", TqFPSStabilizer, fps_stabilizer_entries, false) \
    X("TqBufferConverter", TqBufferConverter, buffer_converter_entries, false) \
    X("TqBufferConverterRGBFilter", TqBufferConverterRGBFilter, rgb_filter_entries, false) \
    X("TqCompressionFilter", TqCompressionFilter, compression_filter_entries, false) \
    X("TqDecompressionFilter", TqDecompressionFilter, decompression_filter_entries, false) \
    X("ITqMultiPartContainerReader", ITqMultiPartContainerReader, multipart_reader_entries, false) \
    X("ITqMultiPartContainerWriter", ITqMultiPartContainerWriter, multipart_writer_entries, false, same(T::ITqMultiPartContainerReader)) \
    X("ITqMultiPartContainer", ITqMultiPartContainer, multipart_container_entries, false, same(T::ITqMultiPartContainerWriter)) \
    X("ITqMultiPartSection", ITqMultiPartSection, multipart_section_entries, false) \
    X("ITqImageJPEG", ITqImageJPEG, image_jpeg_entries, false) \
    X("ITqH264AccessUnit", ITqH264AccessUnit, unwrapped, false) \
    X("TqZelvraCompressed", TqZelvraCompressed, unwrapped, false) \
    /* GenICam parameters. */ \
    X("TqGenParameterArray", TqGenParameterArray, parameter_array_entries, false) \
    X("TqGenStateStack", TqGenStateStack, state_stack_entries, false) \
    X("TqGenParameter", TqGenParameter, parameter_entries, false) \
    X("TqGenInteger", TqGenInteger, integer_entries, false, same(T::TqGenParameter)) \
    X("TqGenFloat", TqGenFloat, float_entries, false, same(T::TqGenParameter)) \
    X("TqGenEnum", TqGenEnum, enum_entries, false, same(T::TqGenParameter)) \
    X("TqGenBoolean", TqGenBoolean, boolean_entries, false, same(T::TqGenParameter)) \
    X("TqGenCommand", TqGenCommand, command_entries, false, same(T::TqGenParameter)) \
    X("TqGenString", TqGenString, string_parameter_entries, false, same(T::TqGenParameter)) \
    X("TqGenRegister", TqGenRegister, register_entries, false, same(T::TqGenParameter)) \
    X("TqGenEnumEntry", TqGenEnumEntry, enum_entry_entries, false) \
    X("TqGenCategory", TqGenCategory, category_entries, false) \
    X("TqGenParameterList", TqGenParameterList, parameter_list_entries, false) \
    X("TqGenEventSink", TqGenEventSink, event_sink_entries, false) \
    /* Devices. */ \
    X("TqSystem", TqSystem, system_entries, false) \
    X("TqSystemEventSink", TqSystemEventSink, unwrapped, false) \
    X("TqInterface", TqInterface, interface_entries, false) \
    X("TqNetworkAdapter", TqNetworkAdapter, network_adapter_entries, false, same(T::TqInterface)) \
    X("TqUSBHostController", TqUSBHostController, usb_host_controller_entries, false, same(T::TqInterface)) \
    X("TqDeviceInfo", TqDeviceInfo, device_info_entries, false) \
    X("TqDeviceInfoGEV", TqDeviceInfoGEV, device_info_gev_entries, false, same(T::TqDeviceInfo)) \
    X("TqDeviceInfoZelvraProtocol", TqDeviceInfoZelvraProtocol, device_info_zelvra_entries, false, same(T::TqDeviceInfo)) \
    X("TqDeviceInfoUSB", TqDeviceInfoUSB, device_info_usb_entries, false, same(T::TqDeviceInfo)) \
    X("TqDeviceInfoU3V", TqDeviceInfoU3V, device_info_u3v_entries, false, same(T::TqDeviceInfoUSB)) \
    X("IPConfig", TqSystemLib__IPConfig, ip_config_entries, false) \
    X("TqDevice", TqDevice, device_entries, false) \
    X("TqDeviceGEV", TqDeviceGEV, device_gev_entries, false, same(T::TqDevice)) \
    X("TqDeviceU3V", TqDeviceU3V, device_u3v_entries, false, same(T::TqDevice)) \
    X("TqDeviceZelvraProtocol", TqDeviceZelvraProtocol, device_zelvra_entries, false) \
    X("TqDeviceEventSink", TqDeviceEventSink, device_event_sink_entries, true) \
    X("ITqDeviceEventSink", ITqDeviceEventSink, unwrapped, false) \
    X("ITqDeviceAdapter", ITqDeviceAdapter, unwrapped, false) \
    X("TqDeviceSerialPort", TqDeviceSerialPort, serial_port_entries, false) \
    X("TqDeviceSerialPortEchoSink", TqDeviceSerialPortEchoSink, unwrapped, false) \
    X("TqDeviceAdapter", TqDeviceAdapter, device_adapter_entries, false, same(T::ITqDeviceAdapter), {T::TqDeviceEventSink, upcast<TqDeviceAdapter, TqDeviceEventSink>}, {T::TqGenEventSink, upcast<TqDeviceAdapter, TqGenEventSink>}) \
    /* Streams. */ \
    X("TqStream", TqStream, stream_entries, false) \
    X("TqStreamGEV", TqStreamGEV, stream_gev_entries, false, same(T::TqStream)) \
    X("TqStreamU3V", TqStreamU3V, stream_u3v_entries, false, same(T::TqStream)) \
    X("TqStreamRTP", TqStreamRTP, stream_rtp_entries, false, same(T::TqStream)) \
    X("TqStreamEventSink", TqStreamEventSink, unwrapped, false) \
    X("TqSessionInfo", TqSessionInfo, session_info_entries, false) \
    X("TqSessionInfoSDP", TqSessionInfoSDP, unwrapped, false) \
    X("TqPipeline", TqPipeline, pipeline_entries, false) \
    X("TqPipelineEventSink", TqPipelineEventSink, pipeline_event_sink_entries, true) \
    /* Software device and registers. */ \
    X("ITqSoftDeviceGEV", ITqSoftDeviceGEV, soft_device_interface_entries, false) \
    X("TqSoftDeviceGEV", TqSoftDeviceGEV, soft_device_entries, false, same(T::ITqSoftDeviceGEV)) \
    X("ITqSoftDeviceGEVEventSink", ITqSoftDeviceGEVEventSink, soft_device_event_sink_entries, true) \
    X("ITqUserSetNotify", ITqUserSetNotify, user_set_notify_entries, true) \
    X("ITqSoftDeviceGEVInfo", ITqSoftDeviceGEVInfo, soft_device_info_entries, false) \
    X("ITqSoftDeviceGEVStatistics", ITqSoftDeviceGEVStatistics, soft_device_statistics_entries, false) \
    X("ITqMessageChannel", ITqMessageChannel, message_channel_entries, false) \
    X("ITqStreamingChannelSource", ITqStreamingChannelSource, streaming_source_entries, true) \
    X("TqStreamingChannelSourceDefault", TqStreamingChannelSourceDefault, streaming_source_default_entries, true, same(T::ITqStreamingChannelSource)) \
    X("ITqRegisterInfo", ITqRegisterInfo, register_info_entries, false) \
    X("ITqRegister", ITqRegister, device_register_entries, false, same(T::ITqRegisterInfo)) \
    X("ITqRegisterMap", ITqRegisterMap, register_map_entries, false) \
    X("ITqRegisterEventSink", ITqRegisterEventSink, register_event_sink_entries, true) \
    X("ITqRegisterStore", ITqRegisterStore, register_store_entries, false) \
    X("ITqRegisterFactory", ITqRegisterFactory, register_factory_entries, false) \
    X("ITqGenApiFactory", ITqGenApiFactory, genapi_factory_entries, false)

#define KIVO_DECLARE_ROWS(name, type, entries, director, ...) Entries entries();
KIVO_CLASSES(KIVO_DECLARE_ROWS)
#undef KIVO_DECLARE_ROWS

// The SDK's free functions, after every class's rows.
Entries free_function_entries();

}  // namespace kivo::module
