// ITqRegisterInfo and ITqRegister: a software device's registers as Python borrows them (the device
// owns each one). Reads come back as (result, value) tuples (value None unless the result is OK), a
// byte read as [result, array] with the array whatever the result; writes take an unsigned 32-bit
// value, bytes or text; offsets count bytes.
#include "attached.h"
#include "classes.h"
#include "sdk_types.h"

#include "ITqRegister.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using Info = ITqRegisterInfo;
using R = ITqRegister;
using Offset = WithDefault<uint32_t, 0u>;

// The context pointer: a bare `void *` pointer object that owns nothing, None for null.
PyObject* make_context(void* storage, CallFrame&) {
    void* context = result_as<void*>(storage);
    if (!context) Py_RETURN_NONE;
    return SwigPyObject_NewPointerObject(context, type(TypeId::Void), 0);
}
constexpr ResultKind kContextResult{make_context, nullptr, nullptr, &decl_text<void*>, nullptr};
using Context = ResultAs<&kContextResult, NoneSelfCommits<>>;

TqResult write_bytes(R* r, const uint8_t* data, uint32_t length, uint32_t offset) {
    return r->Write(data, length, offset);
}

const char* const kReadForm = "Works the same as the byte-array read, converting the value.\n\n";

}  // namespace

Entries register_info_entries() {
    return {
        delete_entry<"delete_ITqRegisterInfo", Info>(),
        method<"ITqRegisterInfo_GetName", &Info::GetName, AsText<>>(),
        method<"ITqRegisterInfo_GetAddress", &Info::GetAddress>(),
        method<"ITqRegisterInfo_GetLength", &Info::GetLength>(),
        overloaded<"ITqRegisterInfo_GetContext">(
            meth<member<const void*() const>(&Info::GetContext), Context>(),
            meth<member<void*()>(&Info::GetContext), Context>()),
        method<"ITqRegisterInfo_IsWritable", &Info::IsWritable>(),
        method<"ITqRegisterInfo_IsReadable", &Info::IsReadable>(),
        method<"ITqRegisterInfo_IsArrayOfBytes", &Info::IsArrayOfBytes>(),
        registration<"ITqRegisterInfo_swigregister", Info>(),
    };
}

// The docstrings' texts of ITqRegisterInfo's rows.
const DocTable kRegisterInfoDocs{
    whole("delete_ITqRegisterInfo", "Virtual destructor."),
    summary("ITqRegisterInfo_GetName",
            "Every register of the software device is named: GigE Vision does not need the name, it describes the "
            "register in logs and user interfaces."),
    summary("ITqRegisterInfo_GetLength", "The register's length in bytes."),
    summary("ITqRegisterInfo_GetContext",
            "The context pointer given when the register was made (None when none was given)."),
    summary("ITqRegisterInfo_IsWritable",
            "Writability binds the GigE Vision controller only: through ITqRegister a read-only register can still "
            "be written."),
    summary("ITqRegisterInfo_IsArrayOfBytes", "True for a register made by ITqRegisterFactory.AddByteArray."),
};

Entries device_register_entries() {
    return {
        delete_entry<"delete_ITqRegister", R>(),
        method<"ITqRegister_ReadString", &R::ReadString, TupleOutputs<>>("aValue"),
        overloaded<"ITqRegister_ReadInt">(
            meth<&R::ReadInt, TupleOutputs<NoneSelfCommits<>>, Params<uint32_t&, Offset>>("aValue", "aOffset")),
        overloaded<"ITqRegister_ReadBytes">(
            meth<&R::ReadBytes, NoneSelfCommits<>, Params<NewArray<uint8_t*, uint32_t>, Offset>>(
                "aDataLength", "aOffset")),
        overloaded<"ITqRegister_Write">(
            meth<&write_bytes, NoneSelfCommits<>, Params<Bytes<const uint8_t*, uint32_t>, Offset>>(
                "aData", "aOffset"),
            meth<member<TqResult(uint32_t, uint32_t)>(&R::Write), NoneSelfCommits<>,
                 Params<uint32_t, Offset>>("aValue", "aOffset"),
            meth<member<TqResult(const TqString&)>(&R::Write), NoneSelfCommits<LenientFrom<2>>>("aValue")),
        method<"ITqRegister_ReadFloat", &R::ReadFloat, TupleOutputs<>>("aValue"),
        method<"ITqRegister_WriteFloat", &R::WriteFloat>("aValue"),
        method<"ITqRegister_ReadDouble", &R::ReadDouble, TupleOutputs<>>("aValue"),
        method<"ITqRegister_WriteDouble", &R::WriteDouble>("aValue"),
        method<"ITqRegister_AddEventSink", &R::AddEventSink, Registers<>>("aEventSink"),
        method<"ITqRegister_RemoveEventSink", &R::RemoveEventSink, Unregisters<>>("aEventSink"),
        registration<"ITqRegister_swigregister", R>(),
    };
}

// The docstrings' texts of ITqRegister's rows.
const DocTable kDeviceRegisterDocs{
    whole("delete_ITqRegister", "Virtual destructor."),
    summary("ITqRegister_ReadString", kReadForm),
    summary("ITqRegister_ReadInt",
            "A 4-byte unsigned integer at aOffset (bytes). Works the same as the byte-array read, converting the "
            "value."),
    summary("ITqRegister_ReadBytes",
            "aDataLength bytes from aOffset (bytes) into a new uint8 array, returned with the result whatever the "
            "result is."),
    summary("ITqRegister_Write",
            "Writes bytes, an unsigned 32-bit value (at aOffset, in bytes) or a text.\n\nResults: OK on success."),
    summary("ITqRegister_ReadFloat", "A 4-byte float. Works the same as the byte-array read, converting the value."),
    summary("ITqRegister_ReadDouble", "A double. Works the same as the byte-array read, converting the value."),
    summary("ITqRegister_AddEventSink",
            "Results: OK; INVALID_PARAMETER: the sink is null or was added already. The sink's Python object stays "
            "alive while the register keeps it: until it is removed, or the register retires at the device's next "
            "start or goes with its device."),
    summary("ITqRegister_RemoveEventSink", "Results: OK; INVALID_PARAMETER: the sink is null or was not added."),
};

}  // namespace kivo::module
