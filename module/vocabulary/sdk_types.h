// What the runtime needs to know of the SDK's types: the descriptor and name of each wrapped class
// and enumeration, and the conversions of the SDK's value types TqString and TqResult.
#pragma once

#include "kinds.h"
#include "types.h"

#include "TqEnums.h"
#include "TqPixelType.h"
#include "TqResult.h"
#include "TqString.h"

// Binds an SDK class (declared here too) to its descriptor; the class table's rows are checked
// against the classes bound (table_problems).
#define KIVO_BIND_CLASS_AS(Tag, C, Id, Name)                                                        \
    Tag C;                                                                                          \
    template <>                                                                                     \
    struct kivo::rt::TypeOf<C> {                                                                    \
        static SwigTypeInfo* descriptor() { return kivo::module::type(kivo::module::TypeId::Id); } \
        static constexpr const char* name = Name;                                                   \
        static inline const bool bound = kivo::module::note_bound(kivo::module::TypeId::Id);       \
    };
#define KIVO_BIND_CLASS(C) KIVO_BIND_CLASS_AS(class, C, C, #C)
#define KIVO_BIND_STRUCT(C) KIVO_BIND_CLASS_AS(struct, C, C, #C)

#define KIVO_BIND_ENUM(E)                          \
    template <>                                    \
    struct kivo::rt::EnumName<E> {                 \
        static constexpr const char* value = #E;   \
    };

namespace TqSystemLib {
struct IPConfig;
}
namespace TQ_GENAPI_NS {
class INodeMap;
class INode;
}

KIVO_BIND_CLASS(TqResult)
KIVO_BIND_CLASS(TqString)
// Values: their destructors never block, so a proxy that dies destroys its object with the GIL held, and
// their memory comes from a free list (objects.h).
template <> struct kivo::rt::ObjectPolicy<TqResult> : kivo::rt::Value {};
template <> struct kivo::rt::ObjectPolicy<TqString> : kivo::rt::Value {};
KIVO_BIND_CLASS(ITqChunkData)
KIVO_BIND_CLASS(TqBuffer)
KIVO_BIND_CLASS(TqChunkData)
KIVO_BIND_CLASS(ITqImage)
KIVO_BIND_CLASS(TqImage)
KIVO_BIND_CLASS(TqRawData)
KIVO_BIND_CLASS(ITqMultiPartContainer)
KIVO_BIND_CLASS(ITqMultiPartContainerReader)
KIVO_BIND_CLASS(ITqMultiPartContainerWriter)
KIVO_BIND_CLASS(ITqMultiPartSection)
KIVO_BIND_CLASS(ITqImageJPEG)
KIVO_BIND_CLASS(ITqH264AccessUnit)
KIVO_BIND_CLASS(TqZelvraCompressed)
KIVO_BIND_CLASS(TqFPSStabilizer)
KIVO_BIND_CLASS(TqBufferConverter)
KIVO_BIND_CLASS(TqBufferConverterRGBFilter)
KIVO_BIND_CLASS(TqCompressionFilter)
KIVO_BIND_CLASS(TqDecompressionFilter)
KIVO_BIND_CLASS(TqGenParameterArray)
KIVO_BIND_CLASS(TqGenStateStack)
KIVO_BIND_CLASS(TqGenParameter)
KIVO_BIND_CLASS(TqGenInteger)
KIVO_BIND_CLASS(TqGenFloat)
KIVO_BIND_CLASS(TqGenEnum)
KIVO_BIND_CLASS(TqGenBoolean)
KIVO_BIND_CLASS(TqGenCommand)
KIVO_BIND_CLASS(TqGenString)
KIVO_BIND_CLASS(TqGenRegister)
KIVO_BIND_CLASS(TqGenCategory)
KIVO_BIND_CLASS(TqGenEnumEntry)
KIVO_BIND_CLASS(TqGenParameterList)
KIVO_BIND_CLASS(TqGenEventSink)
KIVO_BIND_CLASS(TqLogger)
KIVO_BIND_CLASS(TqLogSink)
KIVO_BIND_CLASS(TqDevice)
KIVO_BIND_CLASS(TqDeviceAdapter)
KIVO_BIND_CLASS(TqDeviceInfo)
KIVO_BIND_CLASS(TqDeviceInfoGEV)
KIVO_BIND_CLASS(TqDeviceInfoZelvraProtocol)
KIVO_BIND_CLASS(TqDeviceInfoUSB)
KIVO_BIND_CLASS(TqDeviceInfoU3V)
KIVO_BIND_CLASS(TqInterface)
KIVO_BIND_CLASS(TqNetworkAdapter)
KIVO_BIND_CLASS(TqUSBHostController)
KIVO_BIND_STRUCT(TqSessionInfo)
KIVO_BIND_CLASS(TqSystem)
KIVO_BIND_CLASS(TqDeviceGEV)
KIVO_BIND_CLASS(TqDeviceU3V)
KIVO_BIND_CLASS(TqDeviceZelvraProtocol)
KIVO_BIND_CLASS(TqDeviceEventSink)
KIVO_BIND_CLASS(TqStream)
KIVO_BIND_CLASS(TqStreamGEV)
KIVO_BIND_CLASS(TqStreamEventSink)
KIVO_BIND_CLASS(ITqDeviceEventSink)
KIVO_BIND_CLASS(ITqDeviceAdapter)
KIVO_BIND_CLASS(TqDeviceSerialPort)
KIVO_BIND_CLASS(TqDeviceSerialPortEchoSink)
KIVO_BIND_CLASS(TqStreamU3V)
KIVO_BIND_CLASS(TqStreamRTP)
KIVO_BIND_CLASS(TqSessionInfoSDP)
KIVO_BIND_CLASS(TqPipeline)
KIVO_BIND_CLASS(TqPipelineEventSink)
KIVO_BIND_CLASS(TqSystemEventSink)
KIVO_BIND_CLASS(ITqSoftDeviceGEV)
KIVO_BIND_CLASS(TqSoftDeviceGEV)
KIVO_BIND_CLASS(ITqStreamingChannelSource)
KIVO_BIND_CLASS(TqStreamingChannelSourceDefault)
KIVO_BIND_CLASS(ITqSoftDeviceGEVEventSink)
KIVO_BIND_CLASS(ITqUserSetNotify)
KIVO_BIND_CLASS(ITqSoftDeviceGEVInfo)
KIVO_BIND_CLASS(ITqSoftDeviceGEVStatistics)
KIVO_BIND_CLASS(ITqMessageChannel)
KIVO_BIND_CLASS(ITqRegisterInfo)
KIVO_BIND_CLASS(ITqRegister)
KIVO_BIND_CLASS(ITqRegisterMap)
KIVO_BIND_CLASS(ITqRegisterFactory)
KIVO_BIND_CLASS(ITqRegisterEventSink)
KIVO_BIND_CLASS(ITqRegisterStore)
KIVO_BIND_CLASS(ITqGenApiFactory)
template <>
struct kivo::rt::TypeOf<TqSystemLib::IPConfig> {
    static SwigTypeInfo* descriptor() { return kivo::module::type(kivo::module::TypeId::TqSystemLib__IPConfig); }
    static constexpr const char* name = "TqSystemLib::IPConfig";
    static inline const bool bound = kivo::module::note_bound(kivo::module::TypeId::TqSystemLib__IPConfig);
};
namespace TqVirtualDeviceLib {
class IActionHandler;
}
// An opaque handler type: a descriptor, no class.
template <>
struct kivo::rt::TypeOf<TqVirtualDeviceLib::IActionHandler> {
    static SwigTypeInfo* descriptor() {
        return kivo::module::type(kivo::module::TypeId::TqVirtualDeviceLib__IActionHandler);
    }
    static constexpr const char* name = "TqVirtualDeviceLib::IActionHandler";
};
template <>
struct kivo::rt::TypeOf<TQ_GENAPI_NS::INodeMap> {
    static SwigTypeInfo* descriptor() { return kivo::module::type(kivo::module::TypeId::TQ_GENAPI_NS__INodeMap); }
    static constexpr const char* name = "TQ_GENAPI_NS::INodeMap";
};
template <>
struct kivo::rt::TypeOf<TQ_GENAPI_NS::INode> {
    static SwigTypeInfo* descriptor() { return kivo::module::type(kivo::module::TypeId::TQ_GENAPI_NS__INode); }
    static constexpr const char* name = "TQ_GENAPI_NS::INode";
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

// A TqString argument: a TqString proxy; else a str (as wide characters) or a wrapped wide or
// narrow character pointer, held in a local string for the call. Anything else, None included:
// "Argument N: failed to create TqString from Python string". A short str (a feature's name) is
// kept as a TqString between calls and lent to the next call given an equal str: no conversion,
// no memory. A kept name is lent to one call at a time; the kept names are let go at each garbage
// collection.
extern const kivo::rt::ParamKind kTextKind;
// A TqString the SDK fills: returned as its text; as its 8-bit text (UTF-8, None without one),
// whatever the call's result.
extern const kivo::rt::ParamKind kOutTextKind, kOutNarrowTextKind;
// A TqString argument that also comes back, as its text, among the outputs when the call succeeded.
extern const kivo::rt::ParamKind kEchoTextKind;
// A returned TqString reference given back as its text.
extern const kivo::rt::ResultKind kTextResult;
// A TqResult returned by value: an owned copy; success-dependent outputs are filled only when it is OK.
extern const kivo::rt::ResultKind kResultResult;

struct TextSlot {
    TqString* text;
    union {
        alignas(TqString) unsigned char local[sizeof(TqString)];   // a string made for the call
        void* lent;   // the kept name lent to the call (see kTextKind)
    };
};

// A TqString argument the SDK may change (a non-const reference): always a string of its own.
extern const kivo::rt::ParamKind kOwnTextKind;
// Lets go of the names kept for reuse (start-up registers it to run at each garbage collection).
void drop_kept_names();

// A returned TqString reference becomes its text (str), not a proxy.
template <class Base = kivo::rt::Default>
struct AsText : Base {
    static constexpr bool has_result = true;
    static constexpr const kivo::rt::ResultKind* result = &kTextResult;
};

}  // namespace kivo::module

template <>
struct kivo::rt::ParamOf<const TqString&> : kivo::rt::InputParam<&kivo::module::kTextKind> {
    using Stored = kivo::module::TextSlot;
    static const TqString& take(Slot& s) { return *s.as<kivo::module::TextSlot>().text; }
};
namespace kivo::module {
template <class T>
struct Echo {};
}
template <>
struct kivo::rt::ParamOf<kivo::module::Echo<const TqString&>> : kivo::rt::ParamOf<const TqString&> {
    static constexpr const ParamKind* kind() { return &kivo::module::kEchoTextKind; }
    static constexpr uint8_t flags = Param_Input | Param_Output | Param_Documented;
};
template <>
struct kivo::rt::Decl<kivo::module::Echo<const TqString&>> : kivo::rt::Decl<const TqString&> {};

template <>
struct kivo::rt::ParamOf<kivo::rt::In<TqString&>> : kivo::rt::ParamOf<const TqString&> {
    static constexpr const ParamKind* kind() { return &kivo::module::kOwnTextKind; }
    static TqString& take(Slot& s) { return *s.as<kivo::module::TextSlot>().text; }
};
template <>
struct kivo::rt::ParamOf<TqString&> {
    static constexpr const ParamKind* kind() { return &kivo::module::kOutTextKind; }
    static constexpr uint8_t flags = Param_Output | Param_Documented;
    static constexpr int width = 1;
    static constexpr SwigTypeInfo* (*descriptor)() = nullptr;
    static TqString& take(Slot& s) { return *s.as<kivo::module::TextSlot>().text; }
};
template <>
struct kivo::rt::ResultOf<TqResult> {
    static constexpr const ResultKind* kind() { return &kivo::module::kResultResult; }
    template <class Fn>
    static void store(void* storage, Fn&& fn) {
        result_as<TqResult*>(storage) = new_object_from<TqResult>(std::forward<Fn>(fn));
    }
};
