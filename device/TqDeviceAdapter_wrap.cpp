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
Entry query() {
    return overloaded<Flat>(meth<M, LenientFrom<1>, Params<Name, Ref>>("aParameterName", "aValue"),
                            meth<M, LenientFrom<1>, Params<Name, Spelled<"", Out>>>("aParameterName", "aValue"));
}

}  // namespace

Entries device_adapter_entries() {
    return {
        constructor_with<"new_TqDeviceAdapter", A, KeepAlive<1>, NotNone<TqDevice*>>("aDevice"),
        delete_entry<"delete_TqDeviceAdapter", A>(),
        method<"TqDeviceAdapter_IsGenIntegerInNodeMap", &A::IsGenIntegerInNodeMap>("aParameterName"),
        method<"TqDeviceAdapter_IsGenEnumInNodeMap", &A::IsGenEnumInNodeMap>("aParameterName"),
        method<"TqDeviceAdapter_IsGenBooleanInNodeMap", &A::IsGenBooleanInNodeMap>("aParameterName"),
        method<"TqDeviceAdapter_IsGenRegisterInNodeMap", &A::IsGenRegisterInNodeMap>("aParameterName"),
        method<"TqDeviceAdapter_IsGenReadable", &A::IsGenReadable>("aParameterName"),
        method<"TqDeviceAdapter_IsGenWritable", &A::IsGenWritable>("aParameterName"),
        method<"TqDeviceAdapter_IsGenEnumEntryAvailable", &A::IsGenEnumEntryAvailable>("aParameterName", "aEnumEntry"),
        query<"TqDeviceAdapter_GetGenIntegerValue", &A::GetGenIntegerValue, Int64Ref, Present<int64_t&>>(),
        query<"TqDeviceAdapter_GetGenEnumEntriesAvailable", &A::GetGenEnumEntriesAvailable, ListRef, EntryList>(),
        method<"TqDeviceAdapter_GetGenEnumValue", &A::GetGenEnumValue, Default,
               Params<Name, ProxyOnly<TqString&>>>("aParameterName", "aEnumEntry"),
        method<"TqDeviceAdapter_SetGenEnumValue", &A::SetGenEnumValue>("aParameterName", "aEnumEntry"),
        query<"TqDeviceAdapter_GetGenBooleanValue", &A::GetGenBooleanValue, BoolRef, Present<bool&>>(),
        method<"TqDeviceAdapter_SetGenBooleanValue", &A::SetGenBooleanValue>("aParameterName", "aValue"),
        method<"TqDeviceAdapter_GetGenStringValue", &A::GetGenStringValue, Default,
               Params<Name, ProxyOnly<TqString&>>>("aParameterName", "aValue"),
        query<"TqDeviceAdapter_GetGenRegisterLength", &A::GetGenRegisterLength, Int64Ref, Present<int64_t&>>(),
        method<"TqDeviceAdapter_GetGenRegisterData", &A::GetGenRegisterData, Default,
               Params<Name, Bytes, int64_t>>("aParameterName", "aDataBuffer", "aByteCount"),
        method<"TqDeviceAdapter_SetGenRegisterData", &A::SetGenRegisterData, Default,
               Params<Name, ConstBytes, int64_t>>("aParameterName", "aDataBuffer", "aByteCount"),
        method<"TqDeviceAdapter_RegisterGenInvalidator", &A::RegisterGenInvalidator>("aParameterName"),
        method<"TqDeviceAdapter_UnregisterGenInvalidator", &A::UnregisterGenInvalidator>("aParameterName"),
        method<"TqDeviceAdapter_WriteRegister", &A::WriteRegister>("aAddress", "aValue"),
        method<"TqDeviceAdapter_ReadRegister", &A::ReadRegister, TupleOutputs<>>("aAddress", "aValue"),
        method<"TqDeviceAdapter_WriteMemory", &A::WriteMemory, Default, Params<ConstBytes, int64_t, int64_t>>(
            "aBuffer", "aAddress", "aLength"),
        method<"TqDeviceAdapter_ReadMemory", &A::ReadMemory, Default, Params<Bytes, int64_t, int64_t>>(
            "aBuffer", "aAddress", "aLength"),
        method<"TqDeviceAdapter_WaitForMessagingChannelIdle", &A::WaitForMessagingChannelIdle>("aTimeout"),
        method<"TqDeviceAdapter_IsConnected", &A::IsConnected>(),
        method<"TqDeviceAdapter_IsZelvraPowered", &A::IsZelvraPowered>(),
        method<"TqDeviceAdapter_IsGigEVision", &A::IsGigEVision>(),
        method<"TqDeviceAdapter_IsUSB3Vision", &A::IsUSB3Vision>(),
        method<"TqDeviceAdapter_RegisterEventSink", &A::RegisterEventSink, Registers<>, Params<GenericSink>>(
            "aEventSink"),
        method<"TqDeviceAdapter_UnregisterEventSink", &A::UnregisterEventSink, Unregisters<>,
               Params<GenericSink>>("aEventSink"),
        method<"TqDeviceAdapter_GetUniqueID", &A::GetUniqueID, TupleOutputs<>>("aID"),
        registration<"TqDeviceAdapter_swigregister", A>(),
        initialisation<"TqDeviceAdapter_swiginit">(),
    };
}

// The docstrings' texts of TqDeviceAdapter's rows.
const DocTable kDeviceAdapterDocs{
    whole("new_TqDeviceAdapter", "Constructor.\n\n:param aDevice: A device."),
    whole("delete_TqDeviceAdapter", "Destructor."),
    summary("TqDeviceAdapter_IsGenIntegerInNodeMap",
            "See ITqDeviceAdapter for description.\n\nTrue if the parameter is present, false if not."),
    summary("TqDeviceAdapter_IsGenEnumInNodeMap",
            "See ITqDeviceAdapter for description.\n\nTrue if the parameter is present, false if not."),
    summary("TqDeviceAdapter_IsGenBooleanInNodeMap",
            "See ITqDeviceAdapter for description.\n\nTrue if the parameter is present, false if not."),
    summary("TqDeviceAdapter_IsGenRegisterInNodeMap",
            "See ITqDeviceAdapter for description.\n\nTrue if the parameter is present, false if not."),
    summary("TqDeviceAdapter_IsGenReadable",
            "See ITqDeviceAdapter for description.\n\nTrue if the parameter is present and readable, false if either "
            "condition fails."),
    summary("TqDeviceAdapter_IsGenWritable",
            "See ITqDeviceAdapter for description.\n\nTrue if the parameter is present and writable, false if either "
            "condition fails."),
    summary("TqDeviceAdapter_IsGenEnumEntryAvailable",
            "See ITqDeviceAdapter for description.\n\nTrue if the parameter is present and contains the specific "
            "enum entry, false if either condition fails."),
    summary("TqDeviceAdapter_GetGenIntegerValue", kSee),
    summary("TqDeviceAdapter_GetGenEnumEntriesAvailable",
            "See ITqDeviceAdapter for description.\n\naList: A list containing the string representation of all "
            "available enum entries."),
    summary("TqDeviceAdapter_GetGenEnumValue", kSee),
    summary("TqDeviceAdapter_SetGenEnumValue", kSee),
    summary("TqDeviceAdapter_GetGenBooleanValue", kSee),
    summary("TqDeviceAdapter_SetGenBooleanValue", kSee),
    summary("TqDeviceAdapter_GetGenStringValue",
            "Returns the string value of string parameter identified by its name."),
    summary("TqDeviceAdapter_GetGenRegisterLength",
            "See ITqDeviceAdapter for description.\n\naLength: Length (in bytes) of the register."),
    summary("TqDeviceAdapter_GetGenRegisterData",
            "See ITqDeviceAdapter for description.\n\naByteCount: How many bytes to copy to aDataBuffer."),
    summary("TqDeviceAdapter_SetGenRegisterData",
            "See ITqDeviceAdapter for description.\n\naByteCount: How many bytes to copy from aDataBuffer to the "
            "register."),
    summary("TqDeviceAdapter_RegisterGenInvalidator", kSee),
    summary("TqDeviceAdapter_UnregisterGenInvalidator", kSee),
    summary("TqDeviceAdapter_WriteRegister", kSee),
    summary("TqDeviceAdapter_ReadRegister", kSee),
    summary("TqDeviceAdapter_WriteMemory",
            "See ITqDeviceAdapter for description.\n\naLength: Length of the data to write, in bytes."),
    summary("TqDeviceAdapter_ReadMemory",
            "See ITqDeviceAdapter for description.\n\naLength: Length of the data to read, in bytes."),
    summary("TqDeviceAdapter_WaitForMessagingChannelIdle",
            "See ITqDeviceAdapter for description.\n\nOK if the messaging channel is idle. TIMEOUT if the timeout "
            "elapsed before it becomes idle."),
    summary("TqDeviceAdapter_IsConnected",
            "See ITqDeviceAdapter for description.\n\nTrue if the device is connected, false if not."),
    summary("TqDeviceAdapter_IsZelvraPowered",
            "See ITqDeviceAdapter for description.\n\nTrue if the device runs on a Zelvra design, false if not."),
    summary("TqDeviceAdapter_IsGigEVision",
            "See ITqDeviceAdapter for description.\n\nTrue if using the GigE Vision protocol, false if not."),
    summary("TqDeviceAdapter_IsUSB3Vision",
            "See ITqDeviceAdapter for description.\n\nTrue if using the USB3 Vision protocol, false if not."),
    summary("TqDeviceAdapter_RegisterEventSink",
            "See ITqDeviceAdapter for description.\n\naEventSink: Pointer to an object implementing the "
            "ITqDeviceEventSink interface."),
    summary("TqDeviceAdapter_UnregisterEventSink",
            "See ITqDeviceAdapter for description.\n\naEventSink: Pointer to an object implementing the "
            "ITqDeviceEventSink interface."),
    summary("TqDeviceAdapter_GetUniqueID",
            "Returns a unique string identifier for the device.\n\nResults: #TqResult::Code::OK, "
            "#TqResult::Code::INVALID_PARAMETER"),
};

}  // namespace kivo::module
