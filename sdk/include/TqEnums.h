// Enumerations of the SDK (pixel formats live in TqPixelType.h).
#pragma once

#include <cstdint>  // every enumeration is a signed 32-bit value

enum TqLogLevelEnum : int32_t {
    TqLogLevelUnknown  = 0,
    TqLogLevelInfo     = 1,
    TqLogLevelError    = 2,
    TqLogLevelWarning  = 3,
    TqLogLevelCritical = 4,
    TqLogLevelDebug    = 5,
};

// Kind of data a block carries.
enum TqPayloadType : int32_t {
    TqPayloadTypeUndefined          = -1,
    TqPayloadTypeNone               = 0,
    TqPayloadTypeImage              = 1,
    TqPayloadTypeRawData            = 2,
    TqPayloadTypeFile               = 3,
    TqPayloadTypeChunkData          = 4,
    TqPayloadTypeExtendedChunkData  = 5,
    TqPayloadTypeJPEG               = 6,
    TqPayloadTypeJPEG2000           = 7,
    TqPayloadTypeH264               = 8,
    TqPayloadTypeMultiZoneImage     = 9,
    TqPayloadTypeMultiPart          = 10,
    TqPayloadTypeDeviceSpecificBase = 32768,
    TqPayloadTypeZelvraCompressed   = 32999,
};

// Data type of one part of a multi-part block.
enum TqMultiPartDataType : int32_t {
    TqMultiPartInvalid              = 0,
    TqMultiPart2DImage              = 1,
    TqMultiPart2DPlaneOfBiPlanar    = 2,
    TqMultiPart2DPlaneOfTriPlanar   = 3,
    TqMultiPart2DPlaneOfQuadPlanar  = 4,
    TqMultiPart3DImage              = 5,
    TqMultiPart3DPlaneOfBiPlanar    = 6,
    TqMultiPart3DPlaneOfTriPlanar   = 7,
    TqMultiPart3DPlaneOfQuadPlanar  = 8,
    TqMultiPartConfidenceMap        = 9,
    TqMultiPartChunkData            = 10,
    TqMultiPartJPEGImage            = 11,
    TqMultiPartJPEG2000Image        = 12,
};

// What a component of multi-component data measures.
enum TqComponentType : int32_t {
    TqComponentUndefined     = 0,
    TqComponentIntensity     = 1,
    TqComponentInfrared      = 2,
    TqComponentUltraviolet   = 3,
    TqComponentRange         = 4,
    TqComponentReflectance   = 5,
    TqComponentConfidence    = 6,
    TqComponentScatter       = 7,
    TqComponentDisparity     = 8,
    TqComponentMultispectral = 9,
};

enum TqEncodingEnum : int32_t {
    TqEncodingUnknown = -1,
    TqEncodingPTC1    = 0,
};

enum TqBayerFilterType : int32_t {
    TqBayerFilterSimple = 1,
    TqBayerFilter3X3    = 2,
};

enum TqBiColorFilterType : int32_t {
    TqBiColorFilter1X2 = 1,
    TqBiColorFilter1X3 = 2,
};

// GenICam node attributes.
enum TqGenVisibility : int32_t {
    TqGenVisibilityBeginner  = 0,
    TqGenVisibilityExpert    = 1,
    TqGenVisibilityGuru      = 2,
    TqGenVisibilityInvisible = 3,
    TqGenVisibilityUndefined = 999,
};

enum TqGenType : int32_t {
    TqGenTypeInteger   = 0,
    TqGenTypeEnum      = 1,
    TqGenTypeBoolean   = 2,
    TqGenTypeString    = 3,
    TqGenTypeCommand   = 4,
    TqGenTypeFloat     = 5,
    TqGenTypeRegister  = 6,
    TqGenTypeUndefined = 999,
};

enum TqGenRepresentation : int32_t {
    TqGenRepresentationLinear      = 0,
    TqGenRepresentationLogarithmic = 1,
    TqGenRepresentationBoolean     = 2,
    TqGenRepresentationPureNumber  = 3,
    TqGenRepresentationHexNumber   = 4,
    TqGenRepresentationIPV4Address = 5,
    TqGenRepresentationMACAddress  = 6,
    TqGenRepresentationUndefined   = 999,
};

enum TqGenNameSpace : int32_t {
    TqGenNameSpaceStandard  = 0,
    TqGenNameSpaceCustom    = 1,
    TqGenNameSpaceUndefined = 999,
};

enum TqGenAccessMode : int32_t {
    TqGenAccessModeReadOnly       = 0,
    TqGenAccessModeReadWrite      = 1,
    TqGenAccessModeWriteOnly      = 2,
    TqGenAccessModeNotImplemented = 3,
    TqGenAccessModeNotAvailable   = 4,
    TqGenAccessModeUndefined      = 999,
};

enum TqGenCache : int32_t {
    TqGenCacheWriteThrough = 0,
    TqGenCacheWriteAround  = 1,
    TqGenCacheNone         = 2,
    TqGenCacheUndefined    = 999,
};

enum TqGenRefresh : int32_t {
    TqGenRefreshInvalid = -1,
    TqGenRefreshPolling = 0,
    TqGenRefreshAuto    = 1,
    TqGenRefreshManual  = 2,
};

enum TqGenEndianness : int32_t {
    TqGenEndiannessInvalid = -1,
    TqGenEndiannessLittle  = 0,
    TqGenEndiannessBig     = 1,
};

enum TqGenSign : int32_t {
    TqGenSignUndefined = -1,
    TqGenSignUnsigned  = 0,
    TqGenSignSigned    = 1,
};

// Devices and their control channel.
enum TqAccessType : int32_t {
    TqAccessUnknown   = 0,
    TqAccessOpen      = 1,
    TqAccessControl   = 2,
    TqAccessExclusive = 3,
    TqAccessReadOnly  = 4,
};

enum TqActionAckStatusEnum : int32_t {
    TqActionAckStatusOK        = 0,
    TqActionAckStatusLate      = 1,
    TqActionAckStatusOverflow  = 2,
    TqActionAckStatusNoRefTime = 3,
};

enum TqUserSetState : int32_t {
    TqUserSetStateSaveStart     = 0,
    TqUserSetStateSaveCompleted = 1,
    TqUserSetStateLoadStart     = 2,
    TqUserSetStateLoadCompleted = 3,
};

enum TqScanType : int32_t {
    TqScanTypeInvalid = -1,
    TqScanTypeArea    = 0,
    TqScanTypeLine    = 1,
    TqScanTypeArea3D  = 2,
    TqScanTypeLine3D  = 3,
};

enum TqDeviceClass : int32_t {
    TqDeviceClassUnknown     = 0,
    TqDeviceClassTransmitter = 1,
    TqDeviceClassReceiver    = 2,
    TqDeviceClassTransceiver = 3,
    TqDeviceClassPeripheral  = 4,
};

enum TqUSBStatus : int32_t {
    TqUSBStatusNotInitialized      = -1,
    TqUSBStatusConnected           = 0,
    TqUSBStatusFailedEnumeration   = 1,
    TqUSBStatusGeneralFailure      = 2,
    TqUSBStatusCausedOvercurrent   = 3,
    TqUSBStatusNotEnoughPower      = 4,
    TqUSBStatusNotEnoughBandwidth  = 5,
    TqUSBStatusHubNestedTooDeeply  = 6,
    TqUSBStatusInLegacyHub         = 7,
    TqUSBStatusEnumerating         = 8,
    TqUSBStatusReset               = 9,
};

// Discovery.
enum TqInterfaceType : int32_t {
    TqInterfaceTypeUnknown           = -1,
    TqInterfaceTypeUSBHostController = 0,
    TqInterfaceTypeNetworkAdapter    = 1,
};

enum TqDeviceInfoType : int32_t {
    TqDeviceInfoTypeUnknown        = -1,
    TqDeviceInfoTypeGEV            = 0,
    TqDeviceInfoTypeZelvraProtocol = 1,
    TqDeviceInfoTypeUSB            = 2,
    TqDeviceInfoTypeU3V            = 3,
};

enum TqUSBSpeed : int32_t {
    TqUSBSpeedUnsupported = -1,
    TqUSBSpeedUnknown     = 0,
    TqUSBSpeedLow         = 1,
    TqUSBSpeedFull        = 2,
    TqUSBSpeedHigh        = 3,
    TqUSBSpeedSuper       = 4,
};

enum TqDeviceType : int32_t {
    TqDeviceTypeUnknown = -1,
    TqDeviceTypeGEV     = 0,
    TqDeviceTypeU3V     = 1,
};

// Streaming.
enum TqStreamType : int32_t {
    TqStreamTypeUnknown = -1,
    TqStreamTypeGEV     = 0,
    TqStreamTypeU3V     = 1,
    TqStreamTypeRTP     = 2,
};

enum TqDataReceiverType : int32_t {
    TqDataReceiverTypeUnknown     = -1,
    TqDataReceiverTypeKivoDriver  = 0,
    TqDataReceiverTypeUserMode    = 1,
    TqDataReceiverTypeTCP         = 2,
};

enum TqDeviceSerial : int32_t {
    TqDeviceSerialInvalid = -1,
    TqDeviceSerial0       = 0,
    TqDeviceSerial1       = 1,
    TqDeviceSerialBulk0   = 2,
    TqDeviceSerialBulk1   = 3,
    TqDeviceSerialBulk2   = 4,
    TqDeviceSerialBulk3   = 5,
    TqDeviceSerialBulk4   = 6,
    TqDeviceSerialBulk5   = 7,
    TqDeviceSerialBulk6   = 8,
    TqDeviceSerialBulk7   = 9,
};
