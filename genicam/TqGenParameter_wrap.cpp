// TqGenParameter and its scalar kinds: attributes, state flags, value text, selectors, event sinks
// and the node handle shared by every kind; the values of integers, floats, booleans, commands,
// strings and registers. Parameter lists made for the selector queries.
#include "arg_kinds.h"
#include "attached.h"
#include "parameters.h"

#include "TqGenEventSink.h"
#include "TqGenParameter.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

// The enumeration's current value, read through a self that is not const.
TqResult enum_value_text(TqGenEnum* e, TqString& aValue) { return e->GetValue(aValue); }
TqResult enum_value_int(TqGenEnum* e, int64_t& aValue) { return e->GetValue(aValue); }

}  // namespace

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
        method<"TqGenParameter_RegisterEventSink", &P::RegisterEventSink, Registers<>>("aEventSink"),
        method<"TqGenParameter_UnregisterEventSink", &P::UnregisterEventSink, Unregisters<>>("aEventSink"),
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

Entries enum_entries() {
    using E = TqGenEnum;
    using Entry = Present<const TqGenEnumEntry**>;
    return {
        // An int picks the integer form; text, or None (refused by it), the string form.
        overloaded<"TqGenEnum_SetValue">(
            meth<member<TqResult(int64_t)>(&E::SetValue), NoneSelfCommits<>>("aValue"),
            meth<member<TqResult(const TqString&)>(&E::SetValue), NoneSelfCommits<NoneCommitsFrom<2>>>("aValue")),
        method<"TqGenEnum_GetEntriesCount", &E::GetEntriesCount>("aCount"),
        method<"TqGenEnum_GetEntryByName", &E::GetEntryByName, Default, Params<const TqString&, Entry>>("aEntryName",
                                                                                                       "aEntry"),
        method<"TqGenEnum_GetEntryByIndex", &E::GetEntryByIndex, Default, Params<int64_t, Entry>>("aIndex", "aEntry"),
        method<"TqGenEnum_GetEntryByValue", &E::GetEntryByValue, Default, Params<int64_t, Entry>>("aValue", "aEntry"),
        method<"TqGenEnum_GetValueString", &enum_value_text>("aValue"),
        method<"TqGenEnum_GetValueInt", &enum_value_int>("aValue"),
        registration<"TqGenEnum_swigregister", E>(),
    };
}

Entries enum_entry_entries() {
    using N = TqGenEnumEntry;
    return {
        method<"TqGenEnumEntry_GetValue", &N::GetValue>("aValue"),
        method<"TqGenEnumEntry_GetName", &N::GetName>("aName"),
        method<"TqGenEnumEntry_GetToolTip", &N::GetToolTip>("aToolTip"),
        method<"TqGenEnumEntry_GetDescription", &N::GetDescription>("aDescription"),
        method<"TqGenEnumEntry_GetVisibility", &N::GetVisibility>("aVisibility"),
        method<"TqGenEnumEntry_GetDisplayName", &N::GetDisplayName>("aDisplayName"),
        method<"TqGenEnumEntry_GetNameSpace", &N::GetNameSpace>("aNameSpace"),
        method<"TqGenEnumEntry_IsVisible", &N::IsVisible>("aVisibility", "aVisible"),
        method<"TqGenEnumEntry_IsAvailable", &N::IsAvailable>("aAvailable"),
        registration<"TqGenEnumEntry_swigregister", N>(),
    };
}

Entries category_entries() {
    using C = TqGenCategory;
    return {
        method<"TqGenCategory_GetName", &C::GetName>("aName"),
        method<"TqGenCategory_GetToolTip", &C::GetToolTip>("aToolTip"),
        method<"TqGenCategory_GetDescription", &C::GetDescription>("aDescription"),
        method<"TqGenCategory_GetDisplayName", &C::GetDisplayName>("aDisplayName"),
        method<"TqGenCategory_GetNameSpace", &C::GetNameSpace>("aNameSpace"),
        method<"TqGenCategory_GetVisibility", &C::GetVisibility>("aVisibility"),
        method<"TqGenCategory_IsVisible", &C::IsVisible>("aCurrentVisibility", "aVisible"),
        method<"TqGenCategory_IsImplemented", &C::IsImplemented>("aImplemented"),
        method<"TqGenCategory_GetNode", &C::GetNode>(),
        registration<"TqGenCategory_swigregister", C>(),
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
        method<"TqGenRegister_Set", &R::Set, Default, Params<ConstBytePointer, int64_t>>("aBuffer", "aLength"),
        method<"TqGenRegister_Get", &R::Get, Default, Params<BytePointer, int64_t>>("aBuffer", "aLength"),
        method<"TqGenRegister_GetLength", &R::GetLength>("aLength"),
        registration<"TqGenRegister_swigregister", R>(),
    };
}

// Sinks: Python holds only native ones (device adapters), never makes one. Deleting one through
// this class runs its virtual destructor, so an adapter given here is destroyed whole; a proxy that
// does not own its object is refused.
Entries event_sink_entries() {
    using S = TqGenEventSink;
    return {
        method<"TqGenEventSink_OnParameterUpdate", &S::OnParameterUpdate>("aParameter"),
        undocumented(delete_entry<"delete_TqGenEventSink", S>()),
        registration<"TqGenEventSink_swigregister", S>(),
    };
}

// Lists hold the array's parameters, not their proxies: an item lives as long as its array. Items
// come back typed by their most derived kind.
Entries parameter_list_entries() {
    using L = TqGenParameterList;
    return {
        constructor_entry<"new_TqGenParameterList", L>(),
        delete_entry<"delete_TqGenParameterList", L>(),
        method<"TqGenParameterList_Clear", &L::Clear>(),
        method<"TqGenParameterList_Add", &L::Add>("aParameter"),
        method<"TqGenParameterList_GetSize", &L::GetSize>(),
        method<"TqGenParameterList_GetItem", &L::GetItem, MostDerived<>>("aIndex"),
        prototyped_as(method<"TqGenParameterList___getitem__", &L::operator[], MostDerived<>>("aIndex"), "operator []"),
        method<"TqGenParameterList_GetFirst", &L::GetFirst, MostDerived<>>(),
        method<"TqGenParameterList_GetNext", &L::GetNext, MostDerived<>>(),
        registration<"TqGenParameterList_swigregister", L>(),
        initialisation<"TqGenParameterList_swiginit">(),
    };
}

// The docstrings' texts of TqGenParameterList's rows.
const DocTable kParameterListDocs{
    whole("new_TqGenParameterList", "Constructor"),
    whole("delete_TqGenParameterList", "Destructor"),
    whole("TqGenParameterList_Clear", "Clears the parameter list"),
};

}  // namespace kivo::module
