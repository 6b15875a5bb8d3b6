// The native pointer types that cross into Python, sorted by mangled name ("_p_" + the name below):
// the registry's lookup by mangled name is a binary search over this order. Each row gives the
// type's id in code, its name and its declared spellings, separated by '|'.
#pragma once

#define KIVO_TYPE_TABLE(X) \
    X(ITqChunkData, ITqChunkData, "ITqChunkData *") \
    X(ITqDeviceAdapter, ITqDeviceAdapter, "ITqDeviceAdapter *") \
    X(ITqDeviceEventSink, ITqDeviceEventSink, "ITqDeviceEventSink *") \
    X(ITqGenApiFactory, ITqGenApiFactory, "ITqGenApiFactory *") \
    X(ITqH264AccessUnit, ITqH264AccessUnit, "ITqH264AccessUnit *") \
    X(ITqImage, ITqImage, "ITqImage *") \
    X(ITqImageJPEG, ITqImageJPEG, "ITqImageJPEG *") \
    X(ITqMessageChannel, ITqMessageChannel, "ITqMessageChannel *") \
    X(ITqMultiPartContainer, ITqMultiPartContainer, "ITqMultiPartContainer *") \
    X(ITqMultiPartContainerReader, ITqMultiPartContainerReader, "ITqMultiPartContainerReader *") \
    X(ITqMultiPartContainerWriter, ITqMultiPartContainerWriter, "ITqMultiPartContainerWriter *") \
    X(ITqMultiPartSection, ITqMultiPartSection, "ITqMultiPartSection *") \
    X(ITqRegister, ITqRegister, "ITqRegister *") \
    X(ITqRegisterEventSink, ITqRegisterEventSink, "ITqRegisterEventSink *") \
    X(ITqRegisterFactory, ITqRegisterFactory, "ITqRegisterFactory *") \
    X(ITqRegisterInfo, ITqRegisterInfo, "ITqRegisterInfo *") \
    X(ITqRegisterMap, ITqRegisterMap, "ITqRegisterMap *") \
    X(ITqRegisterStore, ITqRegisterStore, "ITqRegisterStore *") \
    X(ITqSoftDeviceGEV, ITqSoftDeviceGEV, "ITqSoftDeviceGEV *") \
    X(ITqSoftDeviceGEVEventSink, ITqSoftDeviceGEVEventSink, "ITqSoftDeviceGEVEventSink *") \
    X(ITqSoftDeviceGEVInfo, ITqSoftDeviceGEVInfo, "ITqSoftDeviceGEVInfo *") \
    X(ITqSoftDeviceGEVStatistics, ITqSoftDeviceGEVStatistics, "ITqSoftDeviceGEVStatistics *") \
    X(ITqStreamingChannelSource, ITqStreamingChannelSource, "ITqStreamingChannelSource *") \
    X(ITqUserSetNotify, ITqUserSetNotify, "ITqUserSetNotify *") \
    X(TQ_GENAPI_NS__INode, TQ_GENAPI_NS__INode, "TQ_GENAPI_NS::INode *") \
    X(TQ_GENAPI_NS__INodeMap, TQ_GENAPI_NS__INodeMap, "TQ_GENAPI_NS::INodeMap *") \
    X(TqAccessType, TqAccessType, "TqAccessType *|enum TqAccessType *") \
    X(TqActionAckStatusEnum, TqActionAckStatusEnum, "TqActionAckStatusEnum *|enum TqActionAckStatusEnum *") \
    X(TqBayerFilterType, TqBayerFilterType, "TqBayerFilterType *|enum TqBayerFilterType *") \
    X(TqBiColorFilterType, TqBiColorFilterType, "TqBiColorFilterType *|enum TqBiColorFilterType *") \
    X(TqBuffer, TqBuffer, "TqBuffer *") \
    X(TqBufferConverter, TqBufferConverter, "TqBufferConverter *") \
    X(TqBufferConverterRGBFilter, TqBufferConverterRGBFilter, "TqBufferConverterRGBFilter *") \
    X(TqChunkData, TqChunkData, "TqChunkData *") \
    X(TqComponentType, TqComponentType, "TqComponentType *|enum TqComponentType *") \
    X(TqCompressionFilter, TqCompressionFilter, "TqCompressionFilter *") \
    X(TqDataReceiverType, TqDataReceiverType, "TqDataReceiverType *|enum TqDataReceiverType *") \
    X(TqDecompressionFilter, TqDecompressionFilter, "TqDecompressionFilter *") \
    X(TqDevice, TqDevice, "TqDevice *") \
    X(TqDeviceAdapter, TqDeviceAdapter, "TqDeviceAdapter *") \
    X(TqDeviceClass, TqDeviceClass, "TqDeviceClass *|enum TqDeviceClass *") \
    X(TqDeviceEventSink, TqDeviceEventSink, "TqDeviceEventSink *") \
    X(TqDeviceGEV, TqDeviceGEV, "TqDeviceGEV *") \
    X(TqDeviceInfo, TqDeviceInfo, "TqDeviceInfo *") \
    X(TqDeviceInfoGEV, TqDeviceInfoGEV, "TqDeviceInfoGEV *") \
    X(TqDeviceInfoType, TqDeviceInfoType, "TqDeviceInfoType *|enum TqDeviceInfoType *") \
    X(TqDeviceInfoU3V, TqDeviceInfoU3V, "TqDeviceInfoU3V *") \
    X(TqDeviceInfoUSB, TqDeviceInfoUSB, "TqDeviceInfoUSB *") \
    X(TqDeviceInfoZelvraProtocol, TqDeviceInfoZelvraProtocol, "TqDeviceInfoZelvraProtocol *") \
    X(TqDeviceSerial, TqDeviceSerial, "TqDeviceSerial *|enum TqDeviceSerial *") \
    X(TqDeviceSerialPort, TqDeviceSerialPort, "TqDeviceSerialPort *") \
    X(TqDeviceSerialPortEchoSink, TqDeviceSerialPortEchoSink, "TqDeviceSerialPortEchoSink *") \
    X(TqDeviceType, TqDeviceType, "TqDeviceType *|enum TqDeviceType *") \
    X(TqDeviceU3V, TqDeviceU3V, "TqDeviceU3V *") \
    X(TqDeviceZelvraProtocol, TqDeviceZelvraProtocol, "TqDeviceZelvraProtocol *") \
    X(TqEncodingEnum, TqEncodingEnum, "TqEncodingEnum *|enum TqEncodingEnum *") \
    X(TqFPSStabilizer, TqFPSStabilizer, "TqFPSStabilizer *") \
    X(TqGenAccessMode, TqGenAccessMode, "TqGenAccessMode *|enum TqGenAccessMode *") \
    X(TqGenBoolean, TqGenBoolean, "TqGenBoolean *") \
    X(TqGenCache, TqGenCache, "TqGenCache *|enum TqGenCache *") \
    X(TqGenCategory, TqGenCategory, "TqGenCategory *") \
    X(TqGenCommand, TqGenCommand, "TqGenCommand *") \
    X(TqGenEndianness, TqGenEndianness, "TqGenEndianness *|enum TqGenEndianness *") \
    X(TqGenEnum, TqGenEnum, "TqGenEnum *") \
    X(TqGenEnumEntry, TqGenEnumEntry, "TqGenEnumEntry *") \
    X(TqGenEventSink, TqGenEventSink, "TqGenEventSink *") \
    X(TqGenFloat, TqGenFloat, "TqGenFloat *") \
    X(TqGenInteger, TqGenInteger, "TqGenInteger *") \
    X(TqGenNameSpace, TqGenNameSpace, "TqGenNameSpace *|enum TqGenNameSpace *") \
    X(TqGenParameter, TqGenParameter, "TqGenParameter *") \
    X(TqGenParameterArray, TqGenParameterArray, "TqGenParameterArray *") \
    X(TqGenParameterList, TqGenParameterList, "TqGenParameterList *") \
    X(TqGenRefresh, TqGenRefresh, "TqGenRefresh *|enum TqGenRefresh *") \
    X(TqGenRegister, TqGenRegister, "TqGenRegister *") \
    X(TqGenRepresentation, TqGenRepresentation, "TqGenRepresentation *|enum TqGenRepresentation *") \
    X(TqGenSign, TqGenSign, "TqGenSign *|enum TqGenSign *") \
    X(TqGenStateStack, TqGenStateStack, "TqGenStateStack *") \
    X(TqGenString, TqGenString, "TqGenString *") \
    X(TqGenType, TqGenType, "TqGenType *|enum TqGenType *") \
    X(TqGenVisibility, TqGenVisibility, "TqGenVisibility *|enum TqGenVisibility *") \
    X(TqImage, TqImage, "TqImage *") \
    X(TqInterface, TqInterface, "TqInterface *") \
    X(TqInterfaceType, TqInterfaceType, "TqInterfaceType *|enum TqInterfaceType *") \
    X(TqLogLevelEnum, TqLogLevelEnum, "TqLogLevelEnum *|enum TqLogLevelEnum *") \
    X(TqLogSink, TqLogSink, "TqLogSink *") \
    X(TqLogger, TqLogger, "TqLogger *") \
    X(TqMultiPartDataType, TqMultiPartDataType, "TqMultiPartDataType *|enum TqMultiPartDataType *") \
    X(TqNetworkAdapter, TqNetworkAdapter, "TqNetworkAdapter *") \
    X(TqPayloadType, TqPayloadType, "TqPayloadType *|enum TqPayloadType *") \
    X(TqPipeline, TqPipeline, "TqPipeline *") \
    X(TqPipelineEventSink, TqPipelineEventSink, "TqPipelineEventSink *") \
    X(TqPixelType, TqPixelType, "TqPixelType *|enum TqPixelType *") \
    X(TqRawData, TqRawData, "TqRawData *") \
    X(TqResult, TqResult, "TqResult *") \
    X(TqScanType, TqScanType, "TqScanType *|enum TqScanType *") \
    X(TqSessionInfo, TqSessionInfo, "TqSessionInfo *") \
    X(TqSessionInfoSDP, TqSessionInfoSDP, "TqSessionInfoSDP *") \
    X(TqSoftDeviceGEV, TqSoftDeviceGEV, "TqSoftDeviceGEV *") \
    X(TqStream, TqStream, "TqStream *") \
    X(TqStreamEventSink, TqStreamEventSink, "TqStreamEventSink *") \
    X(TqStreamGEV, TqStreamGEV, "TqStreamGEV *") \
    X(TqStreamRTP, TqStreamRTP, "TqStreamRTP *") \
    X(TqStreamType, TqStreamType, "TqStreamType *|enum TqStreamType *") \
    X(TqStreamU3V, TqStreamU3V, "TqStreamU3V *") \
    X(TqStreamingChannelSourceDefault, TqStreamingChannelSourceDefault, "TqStreamingChannelSourceDefault *") \
    X(TqString, TqString, "TqString *") \
    X(TqStringList, TqStringList, "TqStringList *") \
    X(TqSystem, TqSystem, "TqSystem *") \
    X(TqSystemEventSink, TqSystemEventSink, "TqSystemEventSink *") \
    X(TqSystemLib__IPConfig, TqSystemLib__IPConfig, "TqSystemLib::IPConfig *") \
    X(TqUSBHostController, TqUSBHostController, "TqUSBHostController *") \
    X(TqUSBSpeed, TqUSBSpeed, "TqUSBSpeed *|enum TqUSBSpeed *") \
    X(TqUSBStatus, TqUSBStatus, "TqUSBStatus *|enum TqUSBStatus *") \
    X(TqUserSetState, TqUserSetState, "TqUserSetState *|enum TqUserSetState *") \
    X(TqVirtualDeviceLib__IActionHandler, TqVirtualDeviceLib__IActionHandler, "TqVirtualDeviceLib::IActionHandler *") \
    X(TqZelvraCompressed, TqZelvraCompressed, "TqZelvraCompressed *") \
    X(Bool, bool, "bool *") \
    X(Char, char, "char *") \
    X(Double, double, "double *") \
    X(Float, float, "float *") \
    X(Int, int, "int32_t *|int_least32_t *|int *") \
    X(lTqDeviceInfoZelvraProtocol, lTqDeviceInfoZelvraProtocol, "lTqDeviceInfoZelvraProtocol *") \
    X(long_long, long_long, "int64_t *|int_fast64_t *|int_least64_t *|intmax_t *|long long *") \
    X(p_TqBuffer, p_TqBuffer, "TqBuffer **") \
    X(p_TqDeviceInfo, p_TqDeviceInfo, "TqDeviceInfo **") \
    X(p_TqDeviceInfoGEV, p_TqDeviceInfoGEV, "TqDeviceInfoGEV **") \
    X(p_TqDeviceInfoU3V, p_TqDeviceInfoU3V, "TqDeviceInfoU3V **") \
    X(p_TqDeviceInfoUSB, p_TqDeviceInfoUSB, "TqDeviceInfoUSB **") \
    X(p_TqDeviceInfoZelvraProtocol, p_TqDeviceInfoZelvraProtocol, "TqDeviceInfoZelvraProtocol **") \
    X(p_TqGenEnumEntry, p_TqGenEnumEntry, "TqGenEnumEntry **") \
    X(Short, short, "int16_t *|int_least16_t *|short *") \
    X(signed_char, signed_char, "int8_t *|int_fast8_t *|int_least8_t *|signed char *") \
    X(std__vectorT_TqSystemLib__IPConfig_t, std__vectorT_TqSystemLib__IPConfig_t, "TqSystemLib::IPConfigVector *|std::vector< TqSystemLib::IPConfig > *") \
    X(std__vectorT_std__string_t, std__vectorT_std__string_t, "TqSystemLib::GatewayVector *|std::vector< std::string > *") \
    X(unsigned_char, unsigned_char, "uint8_t *|uint_fast8_t *|uint_least8_t *|unsigned char *") \
    X(unsigned_int, unsigned_int, "uint32_t *|uint_fast16_t *|uint_fast32_t *|uint_least32_t *|uintptr_t *|unsigned int *") \
    X(unsigned_long_long, unsigned_long_long, "uint64_t *|uint_fast64_t *|uint_least64_t *|uintmax_t *|unsigned long long *") \
    X(unsigned_short, unsigned_short, "uint16_t *|uint_least16_t *|unsigned short *") \
    X(Void, void, "void *") \
    X(WChar, wchar_t, "wchar_t *")
