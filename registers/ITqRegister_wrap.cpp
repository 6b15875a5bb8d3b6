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
        documented_as(delete_entry<"delete_ITqRegisterInfo", Info>(), "Virtual destructor."),
        described(method<"ITqRegisterInfo_GetName", &Info::GetName, AsText<>>(),
                  "Every register of the software device is named: GigE Vision does not need the name, it describes "
                  "the register in logs and user interfaces."),
        method<"ITqRegisterInfo_GetAddress", &Info::GetAddress>(),
        described(method<"ITqRegisterInfo_GetLength", &Info::GetLength>(), "The register's length in bytes."),
        described(overloaded<"ITqRegisterInfo_GetContext">(
                      meth<member<const void*() const>(&Info::GetContext), Context>(),
                      meth<member<void*()>(&Info::GetContext), Context>()),
                  "The context pointer given when the register was made (None when none was given)."),
        described(method<"ITqRegisterInfo_IsWritable", &Info::IsWritable>(),
                  "Writability binds the GigE Vision controller only: through ITqRegister a read-only register can "
                  "still be written."),
        method<"ITqRegisterInfo_IsReadable", &Info::IsReadable>(),
        described(method<"ITqRegisterInfo_IsArrayOfBytes", &Info::IsArrayOfBytes>(),
                  "True for a register made by ITqRegisterFactory.AddByteArray."),
        registration<"ITqRegisterInfo_swigregister", Info>(),
    };
}

Entries device_register_entries() {
    return {
        documented_as(delete_entry<"delete_ITqRegister", R>(), "Virtual destructor."),
        described(method<"ITqRegister_ReadString", &R::ReadString, TupleOutputs<>>("aValue"), kReadForm),
        described(overloaded<"ITqRegister_ReadInt">(
                      meth<&R::ReadInt, TupleOutputs<NoneSelfCommits<>>, Params<uint32_t&, Offset>>("aValue",
                                                                                                   "aOffset")),
                  "A 4-byte unsigned integer at aOffset (bytes). Works the same as the byte-array read, converting "
                  "the value."),
        described(overloaded<"ITqRegister_ReadBytes">(
                      meth<&R::ReadBytes, NoneSelfCommits<>, Params<NewArray<uint8_t*, uint32_t>, Offset>>(
                          "aDataLength", "aOffset")),
                  "aDataLength bytes from aOffset (bytes) into a new uint8 array, returned with the result whatever "
                  "the result is."),
        described(overloaded<"ITqRegister_Write">(
                      meth<&write_bytes, NoneSelfCommits<>, Params<Bytes<const uint8_t*, uint32_t>, Offset>>(
                          "aData", "aOffset"),
                      meth<member<TqResult(uint32_t, uint32_t)>(&R::Write), NoneSelfCommits<>,
                           Params<uint32_t, Offset>>("aValue", "aOffset"),
                      meth<member<TqResult(const TqString&)>(&R::Write), NoneSelfCommits<LenientFrom<2>>>("aValue")),
                  "Writes bytes, an unsigned 32-bit value (at aOffset, in bytes) or a text.\n\nResults: OK on "
                  "success."),
        described(method<"ITqRegister_ReadFloat", &R::ReadFloat, TupleOutputs<>>("aValue"),
                  "A 4-byte float. Works the same as the byte-array read, converting the value."),
        method<"ITqRegister_WriteFloat", &R::WriteFloat>("aValue"),
        described(method<"ITqRegister_ReadDouble", &R::ReadDouble, TupleOutputs<>>("aValue"),
                  "A double. Works the same as the byte-array read, converting the value."),
        method<"ITqRegister_WriteDouble", &R::WriteDouble>("aValue"),
        described(method<"ITqRegister_AddEventSink", &R::AddEventSink, Registers<>>("aEventSink"),
                  "Results: OK; INVALID_PARAMETER: the sink is null or was added already. The sink's Python "
                  "object stays alive while the register keeps it: until it is removed, or the register retires "
                  "at the device's next start or goes with its device."),
        described(method<"ITqRegister_RemoveEventSink", &R::RemoveEventSink, Unregisters<>>("aEventSink"),
                  "Results: OK; INVALID_PARAMETER: the sink is null or was not added."),
        registration<"ITqRegister_swigregister", R>(),
    };
}

}  // namespace kivo::module
