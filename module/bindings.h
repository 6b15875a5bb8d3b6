// Which descriptor and declared name each wrapped SDK class and enumeration has.
#pragma once

#include "types.h"
#include "wrap.h"

#include "TqEnums.h"
#include "TqPixelType.h"
#include "TqResult.h"
#include "TqString.h"

#define KIVO_BIND_CLASS(C)                                                                          \
    template <>                                                                                     \
    struct kivo::rt::TypeOf<C> {                                                                    \
        static SwigTypeInfo* descriptor() { return kivo::module::type(kivo::module::TypeId::C); } \
        static constexpr const char* name = #C;                                                     \
    };

#define KIVO_BIND_ENUM(E)                          \
    template <>                                    \
    struct kivo::rt::EnumName<E> {                 \
        static constexpr const char* value = #E;   \
    };

KIVO_BIND_ENUM(TqPixelType)
KIVO_BIND_ENUM(TqLogLevelEnum)
KIVO_BIND_ENUM(TqPayloadType)
KIVO_BIND_ENUM(TqMultiPartDataType)
KIVO_BIND_ENUM(TqComponentType)
KIVO_BIND_ENUM(TqEncodingEnum)
KIVO_BIND_ENUM(TqBayerFilterType)
KIVO_BIND_ENUM(TqBiColorFilterType)
KIVO_BIND_ENUM(TqGenVisibility)
KIVO_BIND_ENUM(TqGenType)
KIVO_BIND_ENUM(TqGenRepresentation)
KIVO_BIND_ENUM(TqGenNameSpace)
KIVO_BIND_ENUM(TqGenAccessMode)
KIVO_BIND_ENUM(TqGenCache)
KIVO_BIND_ENUM(TqGenRefresh)
KIVO_BIND_ENUM(TqGenEndianness)
KIVO_BIND_ENUM(TqGenSign)
KIVO_BIND_ENUM(TqAccessType)
KIVO_BIND_ENUM(TqActionAckStatusEnum)
KIVO_BIND_ENUM(TqUserSetState)
KIVO_BIND_ENUM(TqScanType)
KIVO_BIND_ENUM(TqDeviceClass)
KIVO_BIND_ENUM(TqUSBStatus)
KIVO_BIND_ENUM(TqInterfaceType)
KIVO_BIND_ENUM(TqDeviceInfoType)
KIVO_BIND_ENUM(TqUSBSpeed)
KIVO_BIND_ENUM(TqDeviceType)
KIVO_BIND_ENUM(TqStreamType)
KIVO_BIND_ENUM(TqDataReceiverType)
KIVO_BIND_ENUM(TqDeviceSerial)

namespace kivo::module {

// The entries that each class contributes to the method table.
using Entries = std::vector<kivo::rt::Entry>;
Entries result_entries();
Entries string_entries();

}  // namespace kivo::module
