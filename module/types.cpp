#include "types.h"

#include "TqDeviceAdapter.h"

#include <vector>

namespace kivo::module {
namespace {

// Base-part conversions of a device adapter: the offsets come from the SDK's class layout.
template <class Base>
void* adapter_to(void* p, int*) {
    return p ? static_cast<void*>(static_cast<Base*>(static_cast<TqDeviceAdapter*>(p))) : nullptr;
}

void* same_pointer(void* p, int*) { return p; }

struct CastRow {
    TypeId wanted;
    TypeId derived;
    SwigConverterFunc convert;
};

// Which derived types may stand where a type is wanted.
const CastRow kCasts[] = {
    {TypeId::ITqChunkData, TypeId::TqBuffer, same_pointer},
    {TypeId::ITqChunkData, TypeId::TqChunkData, same_pointer},
    {TypeId::ITqDeviceAdapter, TypeId::TqDeviceAdapter, same_pointer},
    {TypeId::ITqImage, TypeId::TqImage, same_pointer},
    {TypeId::ITqMultiPartContainerReader, TypeId::ITqMultiPartContainer, same_pointer},
    {TypeId::ITqMultiPartContainerReader, TypeId::ITqMultiPartContainerWriter, same_pointer},
    {TypeId::ITqMultiPartContainerWriter, TypeId::ITqMultiPartContainer, same_pointer},
    {TypeId::ITqRegisterInfo, TypeId::ITqRegister, same_pointer},
    {TypeId::ITqSoftDeviceGEV, TypeId::TqSoftDeviceGEV, same_pointer},
    {TypeId::ITqStreamingChannelSource, TypeId::TqStreamingChannelSourceDefault, same_pointer},
    {TypeId::TqDevice, TypeId::TqDeviceGEV, same_pointer},
    {TypeId::TqDevice, TypeId::TqDeviceU3V, same_pointer},
    {TypeId::TqDeviceEventSink, TypeId::TqDeviceAdapter, adapter_to<TqDeviceEventSink>},
    {TypeId::TqDeviceInfo, TypeId::TqDeviceInfoGEV, same_pointer},
    {TypeId::TqDeviceInfo, TypeId::TqDeviceInfoZelvraProtocol, same_pointer},
    {TypeId::TqDeviceInfo, TypeId::TqDeviceInfoU3V, same_pointer},
    {TypeId::TqDeviceInfo, TypeId::TqDeviceInfoUSB, same_pointer},
    {TypeId::TqDeviceInfoUSB, TypeId::TqDeviceInfoU3V, same_pointer},
    {TypeId::TqGenEventSink, TypeId::TqDeviceAdapter, adapter_to<TqGenEventSink>},
    {TypeId::TqGenParameter, TypeId::TqGenBoolean, same_pointer},
    {TypeId::TqGenParameter, TypeId::TqGenCommand, same_pointer},
    {TypeId::TqGenParameter, TypeId::TqGenEnum, same_pointer},
    {TypeId::TqGenParameter, TypeId::TqGenFloat, same_pointer},
    {TypeId::TqGenParameter, TypeId::TqGenInteger, same_pointer},
    {TypeId::TqGenParameter, TypeId::TqGenRegister, same_pointer},
    {TypeId::TqGenParameter, TypeId::TqGenString, same_pointer},
    {TypeId::TqInterface, TypeId::TqNetworkAdapter, same_pointer},
    {TypeId::TqInterface, TypeId::TqUSBHostController, same_pointer},
    {TypeId::TqStream, TypeId::TqStreamGEV, same_pointer},
    {TypeId::TqStream, TypeId::TqStreamRTP, same_pointer},
    {TypeId::TqStream, TypeId::TqStreamU3V, same_pointer},
    {TypeId::p_TqDeviceInfo, TypeId::p_TqDeviceInfoGEV, same_pointer},
    {TypeId::p_TqDeviceInfo, TypeId::p_TqDeviceInfoZelvraProtocol, same_pointer},
    {TypeId::p_TqDeviceInfo, TypeId::p_TqDeviceInfoU3V, same_pointer},
    {TypeId::p_TqDeviceInfo, TypeId::p_TqDeviceInfoUSB, same_pointer},
};

constexpr int kCount = static_cast<int>(TypeId::Count);

struct Block {
    SwigTypeInfo types[kCount] = {
#define KIVO_TYPE_ROW(id, name, decl) {"_p_" #name, decl, nullptr, nullptr, nullptr, 0},
        KIVO_TYPE_TABLE(KIVO_TYPE_ROW)
#undef KIVO_TYPE_ROW
    };
    SwigTypeInfo* initial[kCount + 1] = {};
    SwigTypeInfo* merged[kCount + 1] = {};
    std::vector<SwigCastInfo> casts[kCount];   // each: own entry, derived entries, terminator
    SwigCastInfo* cast_initial[kCount] = {};
    SwigModuleInfo info{};

    Block() {
        for (int i = 0; i < kCount; ++i) {
            initial[i] = &types[i];
            casts[i].push_back({&types[i], nullptr, nullptr, nullptr});
        }
        for (const CastRow& row : kCasts)
            casts[static_cast<int>(row.wanted)].push_back({&types[static_cast<int>(row.derived)], row.convert,
                                                           nullptr, nullptr});
        for (int i = 0; i < kCount; ++i) {
            casts[i].push_back({nullptr, nullptr, nullptr, nullptr});
            cast_initial[i] = casts[i].data();
        }
        info = {merged, static_cast<std::size_t>(kCount), nullptr, initial, cast_initial, nullptr, nullptr};
    }
};

// Built when the module's library is loaded, before its initialisation function runs.
Block g_block;

}  // namespace

SwigModuleInfo& module_block() { return g_block.info; }

}  // namespace kivo::module
