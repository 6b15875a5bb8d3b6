#include "classes.h"

#include "TqDeviceAdapter.h"

namespace kivo::module {

void* same_pointer(void* p, int*) { return p; }

namespace {

// Base part of a class whose layout the SDK headers declare.
template <class Derived, class Base>
void* upcast(void* p, int*) {
    return p ? static_cast<void*>(static_cast<Base*>(static_cast<Derived*>(p))) : nullptr;
}

using T = TypeId;

BaseRow same(TypeId base) { return {base, same_pointer}; }

}  // namespace

const std::vector<ClassRow>& class_table() {
    static const std::vector<ClassRow> rows = {
        // Base types.
        {"TqResult", T::TqResult, {}, result_entries, false},
        {"TqString", T::TqString, {}, string_entries, false},
        {"TqLogger", T::TqLogger, {}, logger_entries, false},
        {"TqLogSink", T::TqLogSink, {}, log_sink_entries, true},
        // Buffers and images.
        {"ITqChunkData", T::ITqChunkData, {}, chunk_data_interface_entries, false},
        {"TqBuffer", T::TqBuffer, {same(T::ITqChunkData)}, buffer_entries, false},
        {"TqChunkData", T::TqChunkData, {same(T::ITqChunkData)}, chunk_data_entries, false},
        {"ITqImage", T::ITqImage, {}, image_interface_entries, false},
        {"TqImage", T::TqImage, {same(T::ITqImage)}, image_entries, false},
        {"TqRawData", T::TqRawData, {}, raw_data_entries, false},
        {"TqFPSStabilizer", T::TqFPSStabilizer, {}, fps_stabilizer_entries, false},
        {"TqBufferConverter", T::TqBufferConverter, {}, buffer_converter_entries, false},
        {"TqBufferConverterRGBFilter", T::TqBufferConverterRGBFilter, {}, rgb_filter_entries, false},
        {"TqCompressionFilter", T::TqCompressionFilter, {}, compression_filter_entries, false},
        {"TqDecompressionFilter", T::TqDecompressionFilter, {}, decompression_filter_entries, false},
        {"ITqMultiPartContainerReader", T::ITqMultiPartContainerReader, {}, multipart_reader_entries, false},
        {"ITqMultiPartContainerWriter", T::ITqMultiPartContainerWriter, {same(T::ITqMultiPartContainerReader)},
         multipart_writer_entries, false},
        {"ITqMultiPartContainer", T::ITqMultiPartContainer, {same(T::ITqMultiPartContainerWriter)},
         multipart_container_entries, false},
        {"ITqMultiPartSection", T::ITqMultiPartSection, {}, multipart_section_entries, false},
        {"ITqImageJPEG", T::ITqImageJPEG, {}, image_jpeg_entries, false},
        // GenICam parameters.
        {"TqGenParameterArray", T::TqGenParameterArray, {}, parameter_array_entries, false},
        {"TqGenStateStack", T::TqGenStateStack, {}, state_stack_entries, false},
        {"TqGenParameter", T::TqGenParameter, {}, parameter_entries, false},
        {"TqGenInteger", T::TqGenInteger, {same(T::TqGenParameter)}, integer_entries, false},
        {"TqGenFloat", T::TqGenFloat, {same(T::TqGenParameter)}, float_entries, false},
        {"TqGenEnum", T::TqGenEnum, {same(T::TqGenParameter)}, enum_entries, false},
        {"TqGenBoolean", T::TqGenBoolean, {same(T::TqGenParameter)}, boolean_entries, false},
        {"TqGenCommand", T::TqGenCommand, {same(T::TqGenParameter)}, command_entries, false},
        {"TqGenString", T::TqGenString, {same(T::TqGenParameter)}, string_parameter_entries, false},
        {"TqGenRegister", T::TqGenRegister, {same(T::TqGenParameter)}, register_entries, false},
        {"TqGenEnumEntry", T::TqGenEnumEntry, {}, enum_entry_entries, false},
        {"TqGenCategory", T::TqGenCategory, {}, category_entries, false},
        {"TqGenParameterList", T::TqGenParameterList, {}, parameter_list_entries, false},
        {"TqGenEventSink", T::TqGenEventSink, {}, event_sink_entries, false},
        // Devices.
        {"TqSystem", T::TqSystem, {}, system_entries, false},
        {"TqInterface", T::TqInterface, {}, interface_entries, false},
        {"TqNetworkAdapter", T::TqNetworkAdapter, {same(T::TqInterface)}, network_adapter_entries, false},
        {"TqUSBHostController", T::TqUSBHostController, {same(T::TqInterface)}, usb_host_controller_entries,
         false},
        {"TqDeviceInfo", T::TqDeviceInfo, {}, device_info_entries, false},
        {"TqDeviceInfoGEV", T::TqDeviceInfoGEV, {same(T::TqDeviceInfo)}, device_info_gev_entries, false},
        {"TqDeviceInfoZelvraProtocol", T::TqDeviceInfoZelvraProtocol, {same(T::TqDeviceInfo)}, device_info_zelvra_entries,
         false},
        {"TqDeviceInfoUSB", T::TqDeviceInfoUSB, {same(T::TqDeviceInfo)}, device_info_usb_entries, false},
        {"TqDeviceInfoU3V", T::TqDeviceInfoU3V, {same(T::TqDeviceInfoUSB)}, device_info_u3v_entries, false},
        {"IPConfig", T::TqSystemLib__IPConfig, {}, ip_config_entries, false},
        {"TqDevice", T::TqDevice, {}, device_entries, false},
        {"TqDeviceGEV", T::TqDeviceGEV, {same(T::TqDevice)}, device_gev_entries, false},
        {"TqDeviceU3V", T::TqDeviceU3V, {same(T::TqDevice)}, device_u3v_entries, false},
        {"TqDeviceZelvraProtocol", T::TqDeviceZelvraProtocol, {}, device_zelvra_entries, false},
        {"TqDeviceEventSink", T::TqDeviceEventSink, {}, device_event_sink_entries, true},
        {"ITqDeviceAdapter", T::ITqDeviceAdapter, {}, nullptr, false},
        {"TqDeviceSerialPort", T::TqDeviceSerialPort, {}, serial_port_entries, false},
        {"TqDeviceAdapter", T::TqDeviceAdapter,
         {same(T::ITqDeviceAdapter), {T::TqDeviceEventSink, upcast<TqDeviceAdapter, TqDeviceEventSink>},
          {T::TqGenEventSink, upcast<TqDeviceAdapter, TqGenEventSink>}},
         device_adapter_entries, false},
        // Streams.
        {"TqStream", T::TqStream, {}, stream_entries, false},
        {"TqStreamGEV", T::TqStreamGEV, {same(T::TqStream)}, stream_gev_entries, false},
        {"TqStreamU3V", T::TqStreamU3V, {same(T::TqStream)}, stream_u3v_entries, false},
        {"TqStreamRTP", T::TqStreamRTP, {same(T::TqStream)}, stream_rtp_entries, false},
        {"TqSessionInfo", T::TqSessionInfo, {}, session_info_entries, false},
        {"TqPipeline", T::TqPipeline, {}, pipeline_entries, false},
        {"TqPipelineEventSink", T::TqPipelineEventSink, {}, pipeline_event_sink_entries, true},
        // Software device and registers.
        {"ITqSoftDeviceGEV", T::ITqSoftDeviceGEV, {}, nullptr, false},
        {"TqSoftDeviceGEV", T::TqSoftDeviceGEV, {same(T::ITqSoftDeviceGEV)}, nullptr, false},
        {"ITqStreamingChannelSource", T::ITqStreamingChannelSource, {}, nullptr, true},
        {"TqStreamingChannelSourceDefault", T::TqStreamingChannelSourceDefault, {same(T::ITqStreamingChannelSource)},
         nullptr, true},
        {"ITqRegisterInfo", T::ITqRegisterInfo, {}, nullptr, false},
        {"ITqRegister", T::ITqRegister, {same(T::ITqRegisterInfo)}, nullptr, false},
    };
    return rows;
}

const std::vector<PointerCastRow>& pointer_casts() {
    static const std::vector<PointerCastRow> rows = {
        {T::p_TqDeviceInfo, T::p_TqDeviceInfoGEV},
        {T::p_TqDeviceInfo, T::p_TqDeviceInfoZelvraProtocol},
        {T::p_TqDeviceInfo, T::p_TqDeviceInfoU3V},
        {T::p_TqDeviceInfo, T::p_TqDeviceInfoUSB},
    };
    return rows;
}

}  // namespace kivo::module
