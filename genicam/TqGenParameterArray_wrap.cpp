// TqGenParameterArray: lookup by position or name (parameters typed by their most derived kind),
// categories, the node-map handle, chunk data, typed access by name; TqGenStateStack.
#include "attached.h"
#include "parameters.h"
#include "views.h"

#include "TqGenParameterArray.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using Parameters = TqGenParameterArray;
using Name = const TqString&;

PyObject* make_most_derived(void* storage, CallFrame& f) {
    return most_derived_parameter(static_cast<TqGenParameter*>(result_as<void*>(storage)), f);
}

std::string parameter_doc() { return ":py:class:`TqGenParameter`"; }

// A key is a position when it is an int that fits 32 unsigned bits; anything else is a name, and
// fails as one when it is no string.
template <Text FlatName, auto ByIndex, auto ByName, class Policy = Default>
Entry lookup(const char* member) {
    return prototyped_as(overloaded<FlatName>(meth<ByIndex, NoneSelfCommits<Policy>>("aIndex"),
                                              meth<ByName, NoneSelfCommits<LenientFrom<2, Policy>>>("aName")),
                         member);
}

// Attached chunk data stays alive until it is detached or the array is gone.
void release_chunks(CallFrame& f, bool) { forget_attached(f.self<void>()); }

}  // namespace

const ResultKind kMostDerivedParameter{make_most_derived, nullptr, nullptr, &decl_text<TqGenParameter*>,
                                       parameter_doc};

namespace {
// The first kind in the list that the node is an instance of names its proxy's type.
template <class... Kinds>
SwigTypeInfo* most_derived_type(TqGenParameter* p) {
    SwigTypeInfo* ty = TypeOf<TqGenParameter>::descriptor();
    ((dynamic_cast<Kinds*>(p) ? (ty = TypeOf<Kinds>::descriptor(), true) : false) || ...);
    return ty;
}
}  // namespace

PyObject* most_derived_parameter(TqGenParameter* p, CallFrame& f) {
    SwigTypeInfo* ty = most_derived_type<TqGenInteger, TqGenFloat, TqGenEnum, TqGenBoolean, TqGenCommand,
                                         TqGenString, TqGenRegister>(p);
    return new_result_proxy(p, ty, 0, f);
}

Entries parameter_array_entries() {
    using Value = Echo<const TqString&>;
    return {
        constructor_entry<"new_TqGenParameterArray", Parameters>(),
        delete_entry<"delete_TqGenParameterArray", Parameters, &forget_attached>(),
        method<"TqGenParameterArray_GetCount", &Parameters::GetCount>(),
        lookup<"TqGenParameterArray_Get", member<TqGenParameter*(uint32_t)>(&Parameters::Get),
               member<TqGenParameter*(Name)>(&Parameters::Get), MostDerived<>>("Get"),
        lookup<"TqGenParameterArray___getitem__", member<TqGenParameter*(uint32_t)>(&Parameters::operator[]),
               member<TqGenParameter*(Name)>(&Parameters::operator[]), MostDerived<>>("operator []"),
        method<"TqGenParameterArray_GetCategoryCount", &Parameters::GetCategoryCount>(),
        lookup<"TqGenParameterArray_GetCategory", member<TqGenCategory*(uint32_t)>(&Parameters::GetCategory),
               member<TqGenCategory*(Name)>(&Parameters::GetCategory)>("GetCategory"),
        method<"TqGenParameterArray_GetNodeMap", &Parameters::GetNodeMap>(),
        method<"TqGenParameterArray_InvalidateCache", &Parameters::InvalidateCache>(),
        method<"TqGenParameterArray_Poll", &Parameters::Poll>(),
        method<"TqGenParameterArray_AttachDataChunks", &Parameters::AttachDataChunks, KeepsAttached<>,
               Params<Array<uint8_t*, uint32_t>>>("aBuffer"),
        method<"TqGenParameterArray_DetachDataChunks", &Parameters::DetachDataChunks, After<release_chunks>>(),
        method<"TqGenParameterArray_GetAccessMode", &Parameters::GetAccessMode>(),
        method<"TqGenParameterArray_GetInteger", &Parameters::GetInteger>("aName"),
        method<"TqGenParameterArray_GetFloat", &Parameters::GetFloat>("aName"),
        method<"TqGenParameterArray_GetEnum", &Parameters::GetEnum>("aName"),
        method<"TqGenParameterArray_GetBoolean", &Parameters::GetBoolean>("aName"),
        method<"TqGenParameterArray_GetCommand", &Parameters::GetCommand>("aName"),
        method<"TqGenParameterArray_GetString", &Parameters::GetString>("aName"),
        method<"TqGenParameterArray_GetRegister", &Parameters::GetRegister>("aName"),
        method<"TqGenParameterArray_GetIntegerValue", &Parameters::GetIntegerValue>("aName", "aValue"),
        method<"TqGenParameterArray_SetIntegerValue", &Parameters::SetIntegerValue>("aName", "aValue"),
        method<"TqGenParameterArray_GetFloatValue", &Parameters::GetFloatValue>("aName", "aValue"),
        method<"TqGenParameterArray_SetFloatValue", &Parameters::SetFloatValue>("aName", "aValue"),
        method<"TqGenParameterArray_GetEnumValueString", member<TqResult(Name, TqString&)>(&Parameters::GetEnumValue)>(
            "aName", "aValue"),
        method<"TqGenParameterArray_GetEnumValueInt", member<TqResult(Name, int64_t&)>(&Parameters::GetEnumValue)>(
            "aName", "aValue"),
        overloaded<"TqGenParameterArray_SetEnumValue">(
            meth<member<TqResult(Name, Name)>(&Parameters::SetEnumValue), NoneSelfCommits<LenientFrom<2>>,
                 Params<Name, Value>>("aName", "aValue"),
            meth<member<TqResult(Name, int64_t)>(&Parameters::SetEnumValue), NoneSelfCommits<>>("aName", "aValue")),
        method<"TqGenParameterArray_GetBooleanValue", &Parameters::GetBooleanValue>("aName", "aValue"),
        method<"TqGenParameterArray_SetBooleanValue", &Parameters::SetBooleanValue>("aName", "aValue"),
        method<"TqGenParameterArray_GetStringValue", &Parameters::GetStringValue>("aName", "aValue"),
        method<"TqGenParameterArray_SetStringValue", &Parameters::SetStringValue, Default, Params<Name, Value>>("aName",
                                                                                                         "aValue"),
        method<"TqGenParameterArray_ExecuteCommand", &Parameters::ExecuteCommand>("aName"),
        method<"TqGenParameterArray_GetIntegerRange", &Parameters::GetIntegerRange, TupleOutputs<>>("aName", "aMin",
                                                                                                "aMax"),
        method<"TqGenParameterArray_GetFloatRange", &Parameters::GetFloatRange, TupleOutputs<>>("aName", "aMin", "aMax"),
        registration<"TqGenParameterArray_swigregister", Parameters>(),
        initialisation<"TqGenParameterArray_swiginit">(),
    };
}

Entries state_stack_entries() {
    using Stack = TqGenStateStack;
    using Value = Echo<const TqString&>;
    return {
        // The stack's proxy keeps its array alive; a stack on no array is refused.
        constructor_with<"new_TqGenStateStack", Stack, KeepAlive<1>, NotNone<TqGenParameterArray*>>("aParameters"),
        delete_entry<"delete_TqGenStateStack", Stack>(),
        method<"TqGenStateStack_SetIntegerValue", &Stack::SetIntegerValue>("aName", "aValue"),
        method<"TqGenStateStack_SetFloatValue", &Stack::SetFloatValue>("aName", "aValue"),
        overloaded<"TqGenStateStack_SetEnumValue">(
            meth<member<TqResult(Name, Name)>(&Stack::SetEnumValue), NoneSelfCommits<LenientFrom<2>>,
                 Params<Name, Value>>("aName", "aValue"),
            meth<member<TqResult(Name, int64_t)>(&Stack::SetEnumValue), NoneSelfCommits<>>("aName", "aValue")),
        method<"TqGenStateStack_SetBooleanValue", &Stack::SetBooleanValue>("aName", "aValue"),
        method<"TqGenStateStack_SetStringValue", &Stack::SetStringValue, Default, Params<Name, Value>>("aName",
                                                                                                     "aValue"),
        registration<"TqGenStateStack_swigregister", Stack>(),
        initialisation<"TqGenStateStack_swiginit">(),
    };
}

}  // namespace kivo::module
