// TqGenParameter and its scalar kinds: attributes, state flags, value text, selectors, event sinks
// and the node handle shared by every kind; the values of integers, floats, booleans, commands,
// strings and registers. Parameter lists made for the selector queries.
#include "parameters.h"

#include "TqGenEventSink.h"
#include "TqGenParameter.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

// Register memory: a wrapped uint8_t pointer object. None is refused, so the SDK never gets a null
// buffer; what the pointer points at is the caller's to size.
template <class P>
struct RegisterMemory {};

SwigTypeInfo* byte_pointer_type() { return type(TypeId::unsigned_char); }

}  // namespace
}  // namespace kivo::module

template <class P>
struct kivo::rt::ParamOf<kivo::module::RegisterMemory<P>>
    : kivo::rt::InputParam<&kivo::rt::kNotNonePointerKind, &kivo::module::byte_pointer_type> {
    static P take(Slot& s) { return static_cast<P>(s.as<void*>()); }
};
template <class P>
struct kivo::rt::Decl<kivo::module::RegisterMemory<P>> : kivo::rt::Decl<P> {};

namespace kivo::module {

Entries parameter_entries() {
    using P = TqGenParameter;
    using List = Made<TqGenParameterList&>;
    return {
        method<"TqGenParameter_GetName", &P::GetName>("aName"),
        method<"TqGenParameter_GetType", &P::GetType>("aType"),
        method<"TqGenParameter_GetCategory", &P::GetCategory>("aCategory"),
        method<"TqGenParameter_GetToolTip", &P::GetToolTip>("aToolTip"),
        method<"TqGenParameter_GetDescription", &P::GetDescription>("aDescription"),
        method<"TqGenParameter_GetDisplayName", &P::GetDisplayName>("aDisplayName"),
        method<"TqGenParameter_GetNameSpace", &P::GetNameSpace>("aNameSpace"),
        method<"TqGenParameter_IsValueCached", &P::IsValueCached>("aCached"),
        method<"TqGenParameter_IsPersistent", &P::IsPersistent>("aPersistent"),
        method<"TqGenParameter_IsImplemented", &P::IsImplemented>("aImplemented"),
        method<"TqGenParameter_IsAvailable", &P::IsAvailable>("aAvailable"),
        method<"TqGenParameter_IsWritable", &P::IsWritable>("aWritable"),
        method<"TqGenParameter_IsReadable", &P::IsReadable>("aReadable"),
        method<"TqGenParameter_IsStreamable", &P::IsStreamable>("aStreamable"),
        method<"TqGenParameter_GetVisibility", &P::GetVisibility>("aVisibility"),
        method<"TqGenParameter_IsVisible", &P::IsVisible>("aCurrentVisibility", "aVisible"),
        method<"TqGenParameter_IsSelector", &P::IsSelector>("aSelector"),
        method<"TqGenParameter_GetSelectedParameters", &P::GetSelectedParameters, Default, Params<List>>("aList"),
        method<"TqGenParameter_GetSelectingParameters", &P::GetSelectingParameters, Default, Params<List>>("aList"),
        method<"TqGenParameter_RegisterEventSink", &P::RegisterEventSink>("aEventSink"),
        method<"TqGenParameter_UnregisterEventSink", &P::UnregisterEventSink>("aEventSink"),
        method<"TqGenParameter_ToString", &P::ToString>("aValue"),
        method<"TqGenParameter_FromString", &P::FromString>("aValue"),
        method<"TqGenParameter_GetNode", &P::GetNode>(),
        method<"TqGenParameter_GetUpdatesEnabled", &P::GetUpdatesEnabled>(),
        method<"TqGenParameter_SetUpdatesEnabled", &P::SetUpdatesEnabled>("aEnabled"),
        registration<"TqGenParameter_swigregister", P>(),
    };
}

Entries integer_entries() {
    using I = TqGenInteger;
    return {
        method<"TqGenInteger_SetValue", &I::SetValue>("aValue"),
        method<"TqGenInteger_GetValue", &I::GetValue>("aValue"),
        method<"TqGenInteger_GetMin", &I::GetMin>("aMin"),
        method<"TqGenInteger_GetMax", &I::GetMax>("aMax"),
        method<"TqGenInteger_GetIncrement", &I::GetIncrement>("aIncrement"),
        method<"TqGenInteger_GetRepresentation", &I::GetRepresentation>("aRepresentation"),
        method<"TqGenInteger_GetUnit", &I::GetUnit>("aUnit"),
        registration<"TqGenInteger_swigregister", I>(),
    };
}

Entries float_entries() {
    using F = TqGenFloat;
    return {
        method<"TqGenFloat_SetValue", &F::SetValue>("aValue"),
        method<"TqGenFloat_GetValue", &F::GetValue>("aValue"),
        method<"TqGenFloat_GetMin", &F::GetMin>("aMin"),
        method<"TqGenFloat_GetMax", &F::GetMax>("aMax"),
        method<"TqGenFloat_GetRepresentation", &F::GetRepresentation>("aRepresentation"),
        method<"TqGenFloat_GetUnit", &F::GetUnit>("aUnit"),
        registration<"TqGenFloat_swigregister", F>(),
    };
}

Entries boolean_entries() {
    return {
        method<"TqGenBoolean_SetValue", &TqGenBoolean::SetValue>("aValue"),
        method<"TqGenBoolean_GetValue", &TqGenBoolean::GetValue>("aValue"),
        registration<"TqGenBoolean_swigregister", TqGenBoolean>(),
    };
}

Entries command_entries() {
    return {
        method<"TqGenCommand_Execute", &TqGenCommand::Execute>(),
        method<"TqGenCommand_IsDone", &TqGenCommand::IsDone>("aDone"),
        registration<"TqGenCommand_swigregister", TqGenCommand>(),
    };
}

Entries string_parameter_entries() {
    return {
        method<"TqGenString_SetValue", &TqGenString::SetValue>("aValue"),
        method<"TqGenString_GetValue", &TqGenString::GetValue>("aValue"),
        method<"TqGenString_GetMaxLength", &TqGenString::GetMaxLength>("aMaxLength"),
        registration<"TqGenString_swigregister", TqGenString>(),
    };
}

Entries register_entries() {
    using R = TqGenRegister;
    return {
        method<"TqGenRegister_Set", &R::Set, Default, Params<RegisterMemory<const uint8_t*>, int64_t>>("aBuffer",
                                                                                                       "aLength"),
        method<"TqGenRegister_Get", &R::Get, Default, Params<RegisterMemory<uint8_t*>, int64_t>>("aBuffer", "aLength"),
        method<"TqGenRegister_GetLength", &R::GetLength>("aLength"),
        registration<"TqGenRegister_swigregister", R>(),
    };
}

// Lists are made here for the selector queries and owned by their proxies; their items are the
// array's parameters.
Entries parameter_list_entries() {
    return {
        constructor_entry<"new_TqGenParameterList", TqGenParameterList>(),
        delete_entry<"delete_TqGenParameterList", TqGenParameterList>(),
        registration<"TqGenParameterList_swigregister", TqGenParameterList>(),
        initialisation<"TqGenParameterList_swiginit">(),
    };
}

}  // namespace kivo::module
