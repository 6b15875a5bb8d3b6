// Integer constants that the module installs: every name in installation order, each value taken
// from the SDK header that defines it.
#include "constants.h"

#include "TqEnums.h"
#include "TqPixelType.h"
#include "TqResultCodes.h"

namespace kivo::module {
namespace {

#define C(n) IntConstant{#n, static_cast<int32_t>(n)}

constexpr IntConstant kResultCodeRows[] = {
    C(TQ_OK),
    C(TQ_NOT_INITIALIZED),
    C(TQ_NOT_FOUND),
    C(TQ_CANNOT_OPEN_FILE),
    C(TQ_NO_MORE_ITEM),
    C(TQ_NOT_CONNECTED),
    C(TQ_STATE_ERROR),
    C(TQ_THREAD_ERROR),
    C(TQ_INVALID_DATA_FORMAT),
    C(TQ_ABORTED),
    C(TQ_NOT_ENOUGH_MEMORY),
    C(TQ_GENERIC_ERROR),
    C(TQ_INVALID_PARAMETER),
    C(TQ_CANCEL),
    C(TQ_PENDING),
    C(TQ_TIMEOUT),
    C(TQ_GENICAM_XML_ERROR),
    C(TQ_CANT_READ_MANIFEST),
    C(TQ_NOT_IMPLEMENTED),
    C(TQ_NOT_SUPPORTED),
    C(TQ_FILE_ERROR),
    C(TQ_ERR_OVERFLOW),
    C(TQ_IMAGE_ERROR),
    C(TQ_MISSING_PACKETS),
    C(TQ_BUFFER_TOO_SMALL),
    C(TQ_TOO_MANY_RESENDS),
    C(TQ_RESENDS_FAILURE),
    C(TQ_TOO_MANY_CONSECUTIVE_RESENDS),
    C(TQ_AUTO_ABORTED),
    C(TQ_BAD_VERSION),
    C(TQ_NO_MORE_ENTRY),
    C(TQ_NO_AVAILABLE_DATA),
    C(TQ_NETWORK_ERROR),
    C(TQ_NETWORK_CONFIG_ERROR),
    C(TQ_RESYNC),
    C(TQ_BUSY),
    C(TQ_CORRUPTED_DATA),
};

constexpr IntConstant kPixelBitFieldRows[] = {
    C(TQPIXELMONO),
    C(TQPIXELRGB),
    C(TQPIXELCOLOR),
    C(TQPIXELCUSTOM),
    C(TQPIXELCOLORMASK),
    C(TQPIXEL1BIT),
    C(TQPIXEL2BIT),
    C(TQPIXEL4BIT),
    C(TQPIXEL8BIT),
    C(TQPIXEL10BIT),
    C(TQPIXEL12BIT),
    C(TQPIXEL14BIT),
    C(TQPIXEL16BIT),
    C(TQPIXEL20BIT),
    C(TQPIXEL24BIT),
    C(TQPIXEL30BIT),
    C(TQPIXEL32BIT),
    C(TQPIXEL36BIT),
    C(TQPIXEL40BIT),
    C(TQPIXEL48BIT),
    C(TQPIXEL64BIT),
    C(TQPIXEL96BIT),
    C(TQBITSPERPIXELMASK),
    C(TQPIXELIDMASK),
};

constexpr IntConstant kPixelTypeRows[] = {
    C(TqPixelUndefined),
    C(TqPixelMono8),
    C(TqPixelMono8s),
    C(TqPixelMono10),
    C(TqPixelMono10Packed),
    C(TqPixelMono12),
    C(TqPixelMono12Packed),
    C(TqPixelMono16),
    C(TqPixelBayerGR8),
    C(TqPixelBayerRG8),
    C(TqPixelBayerGB8),
    C(TqPixelBayerBG8),
    C(TqPixelBayerGR10),
    C(TqPixelBayerRG10),
    C(TqPixelBayerGB10),
    C(TqPixelBayerBG10),
    C(TqPixelBayerGR12),
    C(TqPixelBayerRG12),
    C(TqPixelBayerGB12),
    C(TqPixelBayerBG12),
    C(TqPixelRGB8),
    C(TqPixelBGR8),
    C(TqPixelRGBa8),
    C(TqPixelBGRa8),
    C(TqPixelRGB10),
    C(TqPixelBGR10),
    C(TqPixelRGB12),
    C(TqPixelBGR12),
    C(TqPixelRGB10V1Packed),
    C(TqPixelRGB10p32),
    C(TqPixelYUV411_8_UYYVYY),
    C(TqPixelYUV422_8_UYVY),
    C(TqPixelYUV8_UYV),
    C(TqPixelRGB8_Planar),
    C(TqPixelRGB10_Planar),
    C(TqPixelRGB12_Planar),
    C(TqPixelRGB16_Planar),
    C(TqPixelMono14),
    C(TqPixelBayerGR10Packed),
    C(TqPixelBayerRG10Packed),
    C(TqPixelBayerGB10Packed),
    C(TqPixelBayerBG10Packed),
    C(TqPixelBayerGR12Packed),
    C(TqPixelBayerRG12Packed),
    C(TqPixelBayerGB12Packed),
    C(TqPixelBayerBG12Packed),
    C(TqPixelBayerGR16),
    C(TqPixelBayerRG16),
    C(TqPixelBayerGB16),
    C(TqPixelBayerBG16),
    C(TqPixelYUV422_8),
    C(TqPixelRGB16),
    C(TqPixelRGB12V1Packed),
    C(TqPixelRGB565p),
    C(TqPixelBGR565p),
    C(TqPixelMono1p),
    C(TqPixelMono2p),
    C(TqPixelMono4p),
    C(TqPixelYCbCr8_CbYCr),
    C(TqPixelYCbCr422_8),
    C(TqPixelYCbCr411_8_CbYYCrYY),
    C(TqPixelYCbCr601_8_CbYCr),
    C(TqPixelYCbCr601_422_8),
    C(TqPixelYCbCr601_411_8_CbYYCrYY),
    C(TqPixelYCbCr709_8_CbYCr),
    C(TqPixelYCbCr709_422_8),
    C(TqPixelYCbCr709_411_8_CbYYCrYY),
    C(TqPixelYCbCr422_8_CbYCrY),
    C(TqPixelYCbCr601_422_8_CbYCrY),
    C(TqPixelYCbCr709_422_8_CbYCrY),
    C(TqPixelMono10p),
    C(TqPixelMono12p),
    C(TqPixelBGR10p),
    C(TqPixelBGR12p),
    C(TqPixelBGR14),
    C(TqPixelBGR16),
    C(TqPixelBGRa10),
    C(TqPixelBGRa10p),
    C(TqPixelBGRa12),
    C(TqPixelBGRa12p),
    C(TqPixelBGRa14),
    C(TqPixelBGRa16),
    C(TqPixelRGB10p),
    C(TqPixelBayerBG10p),
    C(TqPixelBayerBG12p),
    C(TqPixelBayerGB10p),
    C(TqPixelBayerGB12p),
    C(TqPixelBayerGR10p),
    C(TqPixelBayerGR12p),
    C(TqPixelBayerRG10p),
    C(TqPixelBayerRG12p),
    C(TqPixelYCbCr411_8),
    C(TqPixelYCbCr8),
    C(TqPixelRGB12p),
    C(TqPixelRGB14),
    C(TqPixelRGBa10),
    C(TqPixelRGBa10p),
    C(TqPixelRGBa12),
    C(TqPixelRGBa12p),
    C(TqPixelRGBa14),
    C(TqPixelRGBa16),
    C(TqPixelYCbCr422_10),
    C(TqPixelYCbCr422_12),
    C(TqPixelSCF1WBWG8),
    C(TqPixelSCF1WBWG10),
    C(TqPixelSCF1WBWG10p),
    C(TqPixelSCF1WBWG12),
    C(TqPixelSCF1WBWG12p),
    C(TqPixelSCF1WBWG14),
    C(TqPixelSCF1WBWG16),
    C(TqPixelSCF1WGWB8),
    C(TqPixelSCF1WGWB10),
    C(TqPixelSCF1WGWB10p),
    C(TqPixelSCF1WGWB12),
    C(TqPixelSCF1WGWB12p),
    C(TqPixelSCF1WGWB14),
    C(TqPixelSCF1WGWB16),
    C(TqPixelSCF1WGWR8),
    C(TqPixelSCF1WGWR10),
    C(TqPixelSCF1WGWR10p),
    C(TqPixelSCF1WGWR12),
    C(TqPixelSCF1WGWR12p),
    C(TqPixelSCF1WGWR14),
    C(TqPixelSCF1WGWR16),
    C(TqPixelSCF1WRWG8),
    C(TqPixelSCF1WRWG10),
    C(TqPixelSCF1WRWG10p),
    C(TqPixelSCF1WRWG12),
    C(TqPixelSCF1WRWG12p),
    C(TqPixelSCF1WRWG14),
    C(TqPixelSCF1WRWG16),
    C(TqPixelYCbCr10_CbYCr),
    C(TqPixelYCbCr10p_CbYCr),
    C(TqPixelYCbCr12_CbYCr),
    C(TqPixelYCbCr12p_CbYCr),
    C(TqPixelYCbCr422_10p),
    C(TqPixelYCbCr422_12p),
    C(TqPixelYCbCr601_10_CbYCr),
    C(TqPixelYCbCr601_10p_CbYCr),
    C(TqPixelYCbCr601_12_CbYCr),
    C(TqPixelYCbCr601_12p_CbYCr),
    C(TqPixelYCbCr601_422_10),
    C(TqPixelYCbCr601_422_10p),
    C(TqPixelYCbCr601_422_12),
    C(TqPixelYCbCr601_422_12p),
    C(TqPixelYCbCr709_10_CbYCr),
    C(TqPixelYCbCr709_10p_CbYCr),
    C(TqPixelYCbCr709_12_CbYCr),
    C(TqPixelYCbCr709_12p_CbYCr),
    C(TqPixelYCbCr709_422_10),
    C(TqPixelYCbCr709_422_10p),
    C(TqPixelYCbCr709_422_12),
    C(TqPixelYCbCr709_422_12p),
    C(TqPixelYCbCr422_10_CbYCrY),
    C(TqPixelYCbCr422_10p_CbYCrY),
    C(TqPixelYCbCr422_12_CbYCrY),
    C(TqPixelYCbCr422_12p_CbYCrY),
    C(TqPixelYCbCr601_422_10_CbYCrY),
    C(TqPixelYCbCr601_422_10p_CbYCrY),
    C(TqPixelYCbCr601_422_12_CbYCrY),
    C(TqPixelYCbCr601_422_12p_CbYCrY),
    C(TqPixelYCbCr709_422_10_CbYCrY),
    C(TqPixelYCbCr709_422_10p_CbYCrY),
    C(TqPixelYCbCr709_422_12_CbYCrY),
    C(TqPixelYCbCr709_422_12p_CbYCrY),
    C(TqPixelBiColorRGBG8),
    C(TqPixelBiColorBGRG8),
    C(TqPixelBiColorRGBG10),
    C(TqPixelBiColorRGBG10p),
    C(TqPixelBiColorBGRG10),
    C(TqPixelBiColorBGRG10p),
    C(TqPixelBiColorRGBG12),
    C(TqPixelBiColorRGBG12p),
    C(TqPixelBiColorBGRG12),
    C(TqPixelBiColorBGRG12p),
    C(TqPixelCoord3D_A8),
    C(TqPixelCoord3D_B8),
    C(TqPixelCoord3D_C8),
    C(TqPixelCoord3D_ABC8),
    C(TqPixelCoord3D_ABC8_Planar),
    C(TqPixelCoord3D_AC8),
    C(TqPixelCoord3D_AC8_Planar),
    C(TqPixelCoord3D_A16),
    C(TqPixelCoord3D_B16),
    C(TqPixelCoord3D_C16),
    C(TqPixelCoord3D_ABC16),
    C(TqPixelCoord3D_ABC16_Planar),
    C(TqPixelCoord3D_AC16),
    C(TqPixelCoord3D_AC16_Planar),
    C(TqPixelCoord3D_A32f),
    C(TqPixelCoord3D_B32f),
    C(TqPixelCoord3D_C32f),
    C(TqPixelCoord3D_ABC32f),
    C(TqPixelCoord3D_ABC32f_Planar),
    C(TqPixelCoord3D_AC32f),
    C(TqPixelCoord3D_AC32f_Planar),
    C(TqPixelConfidence1),
    C(TqPixelConfidence1p),
    C(TqPixelConfidence8),
    C(TqPixelConfidence16),
    C(TqPixelConfidence32f),
    C(TqPixelR8),
    C(TqPixelR10),
    C(TqPixelR12),
    C(TqPixelR16),
    C(TqPixelG8),
    C(TqPixelG10),
    C(TqPixelG12),
    C(TqPixelG16),
    C(TqPixelB8),
    C(TqPixelB10),
    C(TqPixelB12),
    C(TqPixelB16),
    C(TqPixelCoord3D_A10p),
    C(TqPixelCoord3D_B10p),
    C(TqPixelCoord3D_C10p),
    C(TqPixelCoord3D_A12p),
    C(TqPixelCoord3D_B12p),
    C(TqPixelCoord3D_C12p),
    C(TqPixelCoord3D_ABC10p),
    C(TqPixelCoord3D_ABC10p_Planar),
    C(TqPixelCoord3D_ABC12p),
    C(TqPixelCoord3D_ABC12p_Planar),
    C(TqPixelCoord3D_AC10p),
    C(TqPixelCoord3D_AC10p_Planar),
    C(TqPixelCoord3D_AC12p),
    C(TqPixelCoord3D_AC12p_Planar),
    C(TqPixelMono14p),
    C(TqPixelBayerGR14p),
    C(TqPixelBayerRG14p),
    C(TqPixelBayerGB14p),
    C(TqPixelBayerBG14p),
    C(TqPixelBayerGR14),
    C(TqPixelBayerRG14),
    C(TqPixelBayerGB14),
    C(TqPixelBayerBG14),
    C(TqPixelBayerGR4p),
    C(TqPixelBayerRG4p),
    C(TqPixelBayerGB4p),
    C(TqPixelBayerBG4p),
    C(TqPixelMono32),
};

constexpr IntConstant kLogLevelEnumRows[] = {
    C(TqLogLevelUnknown),
    C(TqLogLevelInfo),
    C(TqLogLevelError),
    C(TqLogLevelWarning),
    C(TqLogLevelCritical),
    C(TqLogLevelDebug),
};

constexpr IntConstant kPayloadTypeRows[] = {
    C(TqPayloadTypeUndefined),
    C(TqPayloadTypeNone),
    C(TqPayloadTypeImage),
    C(TqPayloadTypeRawData),
    C(TqPayloadTypeFile),
    C(TqPayloadTypeChunkData),
    C(TqPayloadTypeExtendedChunkData),
    C(TqPayloadTypeJPEG),
    C(TqPayloadTypeJPEG2000),
    C(TqPayloadTypeH264),
    C(TqPayloadTypeMultiZoneImage),
    C(TqPayloadTypeMultiPart),
    C(TqPayloadTypeDeviceSpecificBase),
    C(TqPayloadTypeZelvraCompressed),
};

constexpr IntConstant kMultiPartDataTypeRows[] = {
    C(TqMultiPartInvalid),
    C(TqMultiPart2DImage),
    C(TqMultiPart2DPlaneOfBiPlanar),
    C(TqMultiPart2DPlaneOfTriPlanar),
    C(TqMultiPart2DPlaneOfQuadPlanar),
    C(TqMultiPart3DImage),
    C(TqMultiPart3DPlaneOfBiPlanar),
    C(TqMultiPart3DPlaneOfTriPlanar),
    C(TqMultiPart3DPlaneOfQuadPlanar),
    C(TqMultiPartConfidenceMap),
    C(TqMultiPartChunkData),
    C(TqMultiPartJPEGImage),
    C(TqMultiPartJPEG2000Image),
};

constexpr IntConstant kComponentTypeRows[] = {
    C(TqComponentUndefined),
    C(TqComponentIntensity),
    C(TqComponentInfrared),
    C(TqComponentUltraviolet),
    C(TqComponentRange),
    C(TqComponentReflectance),
    C(TqComponentConfidence),
    C(TqComponentScatter),
    C(TqComponentDisparity),
    C(TqComponentMultispectral),
};

constexpr IntConstant kEncodingEnumRows[] = {
    C(TqEncodingUnknown),
    C(TqEncodingPTC1),
};

constexpr IntConstant kBayerFilterTypeRows[] = {
    C(TqBayerFilterSimple),
    C(TqBayerFilter3X3),
};

constexpr IntConstant kBiColorFilterTypeRows[] = {
    C(TqBiColorFilter1X2),
    C(TqBiColorFilter1X3),
};

constexpr IntConstant kGenVisibilityRows[] = {
    C(TqGenVisibilityBeginner),
    C(TqGenVisibilityExpert),
    C(TqGenVisibilityGuru),
    C(TqGenVisibilityInvisible),
    C(TqGenVisibilityUndefined),
};

constexpr IntConstant kGenTypeRows[] = {
    C(TqGenTypeInteger),
    C(TqGenTypeEnum),
    C(TqGenTypeBoolean),
    C(TqGenTypeString),
    C(TqGenTypeCommand),
    C(TqGenTypeFloat),
    C(TqGenTypeRegister),
    C(TqGenTypeUndefined),
};

constexpr IntConstant kGenRepresentationRows[] = {
    C(TqGenRepresentationLinear),
    C(TqGenRepresentationLogarithmic),
    C(TqGenRepresentationBoolean),
    C(TqGenRepresentationPureNumber),
    C(TqGenRepresentationHexNumber),
    C(TqGenRepresentationIPV4Address),
    C(TqGenRepresentationMACAddress),
    C(TqGenRepresentationUndefined),
};

constexpr IntConstant kGenNameSpaceRows[] = {
    C(TqGenNameSpaceStandard),
    C(TqGenNameSpaceCustom),
    C(TqGenNameSpaceUndefined),
};

constexpr IntConstant kGenAccessModeRows[] = {
    C(TqGenAccessModeReadOnly),
    C(TqGenAccessModeReadWrite),
    C(TqGenAccessModeWriteOnly),
    C(TqGenAccessModeNotImplemented),
    C(TqGenAccessModeNotAvailable),
    C(TqGenAccessModeUndefined),
};

constexpr IntConstant kGenCacheRows[] = {
    C(TqGenCacheWriteThrough),
    C(TqGenCacheWriteAround),
    C(TqGenCacheNone),
    C(TqGenCacheUndefined),
};

constexpr IntConstant kGenRefreshRows[] = {
    C(TqGenRefreshInvalid),
    C(TqGenRefreshPolling),
    C(TqGenRefreshAuto),
    C(TqGenRefreshManual),
};

constexpr IntConstant kGenEndiannessRows[] = {
    C(TqGenEndiannessInvalid),
    C(TqGenEndiannessLittle),
    C(TqGenEndiannessBig),
};

constexpr IntConstant kGenSignRows[] = {
    C(TqGenSignUndefined),
    C(TqGenSignUnsigned),
    C(TqGenSignSigned),
};

constexpr IntConstant kAccessTypeRows[] = {
    C(TqAccessUnknown),
    C(TqAccessOpen),
    C(TqAccessControl),
    C(TqAccessExclusive),
    C(TqAccessReadOnly),
};

constexpr IntConstant kActionAckStatusEnumRows[] = {
    C(TqActionAckStatusOK),
    C(TqActionAckStatusLate),
    C(TqActionAckStatusOverflow),
    C(TqActionAckStatusNoRefTime),
};

constexpr IntConstant kUserSetStateRows[] = {
    C(TqUserSetStateSaveStart),
    C(TqUserSetStateSaveCompleted),
    C(TqUserSetStateLoadStart),
    C(TqUserSetStateLoadCompleted),
};

constexpr IntConstant kScanTypeRows[] = {
    C(TqScanTypeInvalid),
    C(TqScanTypeArea),
    C(TqScanTypeLine),
    C(TqScanTypeArea3D),
    C(TqScanTypeLine3D),
};

constexpr IntConstant kDeviceClassRows[] = {
    C(TqDeviceClassUnknown),
    C(TqDeviceClassTransmitter),
    C(TqDeviceClassReceiver),
    C(TqDeviceClassTransceiver),
    C(TqDeviceClassPeripheral),
};

constexpr IntConstant kUSBStatusRows[] = {
    C(TqUSBStatusNotInitialized),
    C(TqUSBStatusConnected),
    C(TqUSBStatusFailedEnumeration),
    C(TqUSBStatusGeneralFailure),
    C(TqUSBStatusCausedOvercurrent),
    C(TqUSBStatusNotEnoughPower),
    C(TqUSBStatusNotEnoughBandwidth),
    C(TqUSBStatusHubNestedTooDeeply),
    C(TqUSBStatusInLegacyHub),
    C(TqUSBStatusEnumerating),
    C(TqUSBStatusReset),
};

constexpr IntConstant kInterfaceTypeRows[] = {
    C(TqInterfaceTypeUnknown),
    C(TqInterfaceTypeUSBHostController),
    C(TqInterfaceTypeNetworkAdapter),
};

constexpr IntConstant kDeviceInfoTypeRows[] = {
    C(TqDeviceInfoTypeUnknown),
    C(TqDeviceInfoTypeGEV),
    C(TqDeviceInfoTypeZelvraProtocol),
    C(TqDeviceInfoTypeUSB),
    C(TqDeviceInfoTypeU3V),
};

constexpr IntConstant kUSBSpeedRows[] = {
    C(TqUSBSpeedUnsupported),
    C(TqUSBSpeedUnknown),
    C(TqUSBSpeedLow),
    C(TqUSBSpeedFull),
    C(TqUSBSpeedHigh),
    C(TqUSBSpeedSuper),
};

constexpr IntConstant kDeviceTypeRows[] = {
    C(TqDeviceTypeUnknown),
    C(TqDeviceTypeGEV),
    C(TqDeviceTypeU3V),
};

constexpr IntConstant kStreamTypeRows[] = {
    C(TqStreamTypeUnknown),
    C(TqStreamTypeGEV),
    C(TqStreamTypeU3V),
    C(TqStreamTypeRTP),
};

constexpr IntConstant kDataReceiverTypeRows[] = {
    C(TqDataReceiverTypeUnknown),
    C(TqDataReceiverTypeKivoDriver),
    C(TqDataReceiverTypeUserMode),
    C(TqDataReceiverTypeTCP),
};

constexpr IntConstant kDeviceSerialRows[] = {
    C(TqDeviceSerialInvalid),
    C(TqDeviceSerial0),
    C(TqDeviceSerial1),
    C(TqDeviceSerialBulk0),
    C(TqDeviceSerialBulk1),
    C(TqDeviceSerialBulk2),
    C(TqDeviceSerialBulk3),
    C(TqDeviceSerialBulk4),
    C(TqDeviceSerialBulk5),
    C(TqDeviceSerialBulk6),
    C(TqDeviceSerialBulk7),
};

#undef C

constexpr EnumTable kLateEnumRows[] = {
    EnumTable{"TqPayloadType", kPayloadTypeRows},
    EnumTable{"TqMultiPartDataType", kMultiPartDataTypeRows},
    EnumTable{"TqComponentType", kComponentTypeRows},
    EnumTable{"TqEncodingEnum", kEncodingEnumRows},
    EnumTable{"TqBayerFilterType", kBayerFilterTypeRows},
    EnumTable{"TqBiColorFilterType", kBiColorFilterTypeRows},
    EnumTable{"TqGenVisibility", kGenVisibilityRows},
    EnumTable{"TqGenType", kGenTypeRows},
    EnumTable{"TqGenRepresentation", kGenRepresentationRows},
    EnumTable{"TqGenNameSpace", kGenNameSpaceRows},
    EnumTable{"TqGenAccessMode", kGenAccessModeRows},
    EnumTable{"TqGenCache", kGenCacheRows},
    EnumTable{"TqGenRefresh", kGenRefreshRows},
    EnumTable{"TqGenEndianness", kGenEndiannessRows},
    EnumTable{"TqGenSign", kGenSignRows},
    EnumTable{"TqAccessType", kAccessTypeRows},
    EnumTable{"TqActionAckStatusEnum", kActionAckStatusEnumRows},
    EnumTable{"TqUserSetState", kUserSetStateRows},
    EnumTable{"TqScanType", kScanTypeRows},
    EnumTable{"TqDeviceClass", kDeviceClassRows},
    EnumTable{"TqUSBStatus", kUSBStatusRows},
    EnumTable{"TqInterfaceType", kInterfaceTypeRows},
    EnumTable{"TqDeviceInfoType", kDeviceInfoTypeRows},
    EnumTable{"TqUSBSpeed", kUSBSpeedRows},
    EnumTable{"TqDeviceType", kDeviceTypeRows},
    EnumTable{"TqStreamType", kStreamTypeRows},
    EnumTable{"TqDataReceiverType", kDataReceiverTypeRows},
    EnumTable{"TqDeviceSerial", kDeviceSerialRows},
};

}  // namespace

constinit const std::span<const IntConstant> kResultCodes{kResultCodeRows};
constinit const EnumTable kLogLevelEnum{"TqLogLevelEnum", kLogLevelEnumRows};
constinit const std::span<const IntConstant> kPixelBitFields{kPixelBitFieldRows};
constinit const EnumTable kPixelTypeEnum{"TqPixelType", kPixelTypeRows};
constinit const std::span<const EnumTable> kLateEnums{kLateEnumRows};

}  // namespace kivo::module
