// TqDeviceAdapter: the generic device interface over a device (node queries by name, registers and
// memory, connection and protocol, generic event sinks), which is also the device event sink and
// the parameter update sink Python can register. The adapter's proxy keeps its device's proxy alive.
//
// The SDK's plain out-references (int64_t &, bool &, TqStringList &) are reached, as declared, only
// through pointer objects; each such query also has a form without that argument that returns
// [TqResult, value].
#include "arg_kinds.h"
#include "attached.h"
#include "classes.h"
#include "sdk_types.h"

#include "TqDevice.h"
#include "TqDeviceAdapter.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

// The entries of a list the SDK fills: a list of str, present whatever the result.
void prepare_list(kivo::rt::Slot& s) {
    s.as<TqStringList*>() = new TqStringList;
    s.cleanup = [](kivo::rt::Slot& slot) { delete slot.as<TqStringList*>(); };
}
PyObject* out_list(kivo::rt::Slot& s, const kivo::rt::ParamShape&, kivo::rt::CallFrame&) {
    const TqStringList& list = *s.as<TqStringList*>();
    PyObject* out = PyList_New(list.GetSize());
    for (uint32_t i = 0; out && i < list.GetSize(); ++i) {
        PyObject* item = SwigFrom_WCharPtr(list.GetItem(i).GetUnicode());
        if (!item) {
            Py_CLEAR(out);
            break;
        }
        PyList_SetItem(out, i, item);
    }
    return out;
}
std::string list_doc(const kivo::rt::ParamShape&) { return "list"; }
constexpr kivo::rt::ParamKind kEntryListKind{nullptr, nullptr, prepare_list, out_list, 0, false, list_doc};
TqStringList& the_list(Slot& s) { return *s.as<TqStringList*>(); }
using EntryList = OutputKind<"TqStringList &", &kEntryListKind, &the_list, Param_Present>;


using A = TqDeviceAdapter;
using Name = const TqString&;
using Int64Ref = ByReference<int64_t, TypeId::long_long, "int64_t &">;
using BoolRef = BoolReference;
using ListRef = ByReference<TqStringList, TypeId::TqStringList, "TqStringList &">;
using Bytes = BytePointer;
using ConstBytes = ConstBytePointer;
using GenericSink = ITqDeviceEventSink*;
constexpr const char* kSee = "See ITqDeviceAdapter for description.";

// A query whose out-reference only a pointer object reaches: the documented form, then the form
// given only the name, which returns [TqResult, value].
template <Text Flat, auto M, class Ref, class Out>
Entry query(const char* doc) {
    return described(overloaded<Flat>(meth<M, LenientFrom<1>, Params<Name, Ref>>("aParameterName", "aValue"),
                                      meth<M, LenientFrom<1>, Params<Name, Spelled<"", Out>>>("aParameterName",
                                                                                               "aValue")),
                     doc);
}

}  // namespace

Entries device_adapter_entries() {
    return {
        documented_as(constructor_with<"new_TqDeviceAdapter", A, KeepAlive<1>, NotNone<TqDevice*>>("aDevice"),
                      "Constructor.\n\n:param aDevice: A device."),
        documented_as(delete_entry<"delete_TqDeviceAdapter", A>(), "Destructor."),
        described(method<"TqDeviceAdapter_IsGenIntegerInNodeMap", &A::IsGenIntegerInNodeMap>("aParameterName"),
                  "See ITqDeviceAdapter for description.\n\nTrue if the parameter is present, false if not."),
        described(method<"TqDeviceAdapter_IsGenEnumInNodeMap", &A::IsGenEnumInNodeMap>("aParameterName"),
                  "See ITqDeviceAdapter for description.\n\nTrue if the parameter is present, false if not."),
        described(method<"TqDeviceAdapter_IsGenBooleanInNodeMap", &A::IsGenBooleanInNodeMap>("aParameterName"),
                  "See ITqDeviceAdapter for description.\n\nTrue if the parameter is present, false if not."),
        described(method<"TqDeviceAdapter_IsGenRegisterInNodeMap", &A::IsGenRegisterInNodeMap>("aParameterName"),
                  "See ITqDeviceAdapter for description.\n\nTrue if the parameter is present, false if not."),
        described(method<"TqDeviceAdapter_IsGenReadable", &A::IsGenReadable>("aParameterName"),
                  "See ITqDeviceAdapter for description.\n\nTrue if the parameter is present and readable, false if "
                  "either condition fails."),
        described(method<"TqDeviceAdapter_IsGenWritable", &A::IsGenWritable>("aParameterName"),
                  "See ITqDeviceAdapter for description.\n\nTrue if the parameter is present and writable, false if "
                  "either condition fails."),
        described(method<"TqDeviceAdapter_IsGenEnumEntryAvailable", &A::IsGenEnumEntryAvailable>("aParameterName",
                                                                                                "aEnumEntry"),
                  "See ITqDeviceAdapter for description.\n\nTrue if the parameter is present and contains the "
                  "specific enum entry, false if either condition fails."),
        query<"TqDeviceAdapter_GetGenIntegerValue", &A::GetGenIntegerValue, Int64Ref, Present<int64_t&>>(kSee),
        query<"TqDeviceAdapter_GetGenEnumEntriesAvailable", &A::GetGenEnumEntriesAvailable, ListRef, EntryList>(
            "See ITqDeviceAdapter for description.\n\naList: A list containing the string representation of all "
            "available enum entries."),
        described(method<"TqDeviceAdapter_GetGenEnumValue", &A::GetGenEnumValue, Default,
                         Params<Name, ProxyOnly<TqString&>>>("aParameterName", "aEnumEntry"),
                  kSee),
        described(method<"TqDeviceAdapter_SetGenEnumValue", &A::SetGenEnumValue>("aParameterName", "aEnumEntry"),
                  kSee),
        query<"TqDeviceAdapter_GetGenBooleanValue", &A::GetGenBooleanValue, BoolRef, Present<bool&>>(kSee),
        described(method<"TqDeviceAdapter_SetGenBooleanValue", &A::SetGenBooleanValue>("aParameterName", "aValue"),
                  kSee),
        described(method<"TqDeviceAdapter_GetGenStringValue", &A::GetGenStringValue, Default,
                         Params<Name, ProxyOnly<TqString&>>>("aParameterName", "aValue"),
                  "Returns the string value of string parameter identified by its name."),
        query<"TqDeviceAdapter_GetGenRegisterLength", &A::GetGenRegisterLength, Int64Ref, Present<int64_t&>>(
            "See ITqDeviceAdapter for description.\n\naLength: Length (in bytes) of the register."),
        described(method<"TqDeviceAdapter_GetGenRegisterData", &A::GetGenRegisterData, Default,
                         Params<Name, Bytes, int64_t>>("aParameterName", "aDataBuffer", "aByteCount"),
                  "See ITqDeviceAdapter for description.\n\naByteCount: How many bytes to copy to aDataBuffer."),
        described(method<"TqDeviceAdapter_SetGenRegisterData", &A::SetGenRegisterData, Default,
                         Params<Name, ConstBytes, int64_t>>("aParameterName", "aDataBuffer", "aByteCount"),
                  "See ITqDeviceAdapter for description.\n\naByteCount: How many bytes to copy from aDataBuffer to "
                  "the register."),
        described(method<"TqDeviceAdapter_RegisterGenInvalidator", &A::RegisterGenInvalidator>("aParameterName"),
                  kSee),
        described(method<"TqDeviceAdapter_UnregisterGenInvalidator", &A::UnregisterGenInvalidator>("aParameterName"),
                  kSee),
        described(method<"TqDeviceAdapter_WriteRegister", &A::WriteRegister>("aAddress", "aValue"), kSee),
        described(method<"TqDeviceAdapter_ReadRegister", &A::ReadRegister, TupleOutputs<>>("aAddress", "aValue"),
                  kSee),
        described(method<"TqDeviceAdapter_WriteMemory", &A::WriteMemory, Default, Params<ConstBytes, int64_t, int64_t>>(
                      "aBuffer", "aAddress", "aLength"),
                  "See ITqDeviceAdapter for description.\n\naLength: Length of the data to write, in bytes."),
        described(method<"TqDeviceAdapter_ReadMemory", &A::ReadMemory, Default, Params<Bytes, int64_t, int64_t>>(
                      "aBuffer", "aAddress", "aLength"),
                  "See ITqDeviceAdapter for description.\n\naLength: Length of the data to read, in bytes."),
        described(method<"TqDeviceAdapter_WaitForMessagingChannelIdle", &A::WaitForMessagingChannelIdle>("aTimeout"),
                  "See ITqDeviceAdapter for description.\n\nOK if the messaging channel is idle. TIMEOUT if the "
                  "timeout elapsed before it becomes idle."),
        described(method<"TqDeviceAdapter_IsConnected", &A::IsConnected>(),
                  "See ITqDeviceAdapter for description.\n\nTrue if the device is connected, false if not."),
        described(method<"TqDeviceAdapter_IsZelvraPowered", &A::IsZelvraPowered>(),
                  "See ITqDeviceAdapter for description.\n\nTrue if the device runs on a Zelvra design, false if "
                  "not."),
        described(method<"TqDeviceAdapter_IsGigEVision", &A::IsGigEVision>(),
                  "See ITqDeviceAdapter for description.\n\nTrue if using the GigE Vision protocol, false if not."),
        described(method<"TqDeviceAdapter_IsUSB3Vision", &A::IsUSB3Vision>(),
                  "See ITqDeviceAdapter for description.\n\nTrue if using the USB3 Vision protocol, false if not."),
        described(method<"TqDeviceAdapter_RegisterEventSink", &A::RegisterEventSink, Registers<>, Params<GenericSink>>(
                      "aEventSink"),
                  "See ITqDeviceAdapter for description.\n\naEventSink: Pointer to an object implementing the "
                  "ITqDeviceEventSink interface."),
        described(method<"TqDeviceAdapter_UnregisterEventSink", &A::UnregisterEventSink, Unregisters<>,
                         Params<GenericSink>>("aEventSink"),
                  "See ITqDeviceAdapter for description.\n\naEventSink: Pointer to an object implementing the "
                  "ITqDeviceEventSink interface."),
        described(method<"TqDeviceAdapter_GetUniqueID", &A::GetUniqueID, TupleOutputs<>>("aID"),
                  "Returns a unique string identifier for the device.\n\nResults: #TqResult::Code::OK, "
                  "#TqResult::Code::INVALID_PARAMETER"),
        registration<"TqDeviceAdapter_swigregister", A>(),
        initialisation<"TqDeviceAdapter_swiginit">(),
    };
}

}  // namespace kivo::module
