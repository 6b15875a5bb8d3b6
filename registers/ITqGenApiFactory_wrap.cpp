// ITqGenApiFactory: describes a software device's own GenICam features, handed to Python only inside
// the feature callbacks of TqSoftDeviceGEV.Start (OnCreateCustomGenApiFeatures of an event sink,
// CreateGenApiFeatures of a stream source). Setters record the pending feature; a Create adds it to the
// device's description and starts the next one from the defaults. The device owns the factory: a
// proxy kept past its callback reaches it still, and it answers STATE_ERROR there.
#include "classes.h"
#include "sdk_types.h"

#include "ITqGenApiFactory.h"
#include "ITqRegister.h"

namespace kivo::module {

using namespace kivo::rt;

namespace {

using F = ITqGenApiFactory;
using Str = const TqString&;
// None as self reaches the candidate (which refuses it); a text argument that is no text reaches it too,
// so that its own "Argument N" message is raised rather than the overload text.
using Policy = NoneSelfCommits<RefusalCommitsFrom<2>>;
using RegisterOrNull = WithDefault<ITqRegister*, static_cast<ITqRegister*>(nullptr)>;

// What every Create answers.
#define KIVO_CREATED                                                                                                 \
    "\n\nResults: OK; NOT_INITIALIZED: no name was set; INVALID_PARAMETER: the name is no GenICam name or is "   \
    "taken by the device, the register is not one of this device's or has the wrong shape, or an attribute is "    \
    "out of rule; STATE_ERROR: the feature callback has returned. Whatever the result, the next feature starts "  \
    "from the defaults."

// A Create of a kind over a register, a pValue or nothing: the register may be left out (null).
template <Text Name, auto Create>
Entry create() {
    return overloaded<Name>(meth<Create, NoneSelfCommits<>, Params<RegisterOrNull>>("aRegister"));
}

// A change of one of the device's own features by name (the second text names the application's).
template <Text Name, auto Link>
Entry link() {
    return method<Name, Link>("aStandardFeatureName", "aFeatureName");
}

#define KIVO_LINKED                                                                                                  \
    " Applied when Start writes the device's GenICam XML file. For ADVANCED GenApi support use cases.\n\n"          \
    "Results: OK; INVALID_PARAMETER: the device makes no such feature, or it is of a kind the link does not "        \
    "suit, or the second name is no GenICam name; STATE_ERROR: the feature callback has returned. A feature named "  \
    "but never created makes Start fail."

template <Text Name, auto Create>
Entry formula() {
    return method<Name, Create>("aFormula");
}

template <Text Name, auto Create>
Entry converter() {
    return method<Name, Create>("aValueFeatureName", "aFromFormula", "aToFormula");
}

}  // namespace

Entries genapi_factory_entries() {
    using Int = Params<ITqRegister*, int64_t, int64_t, WithDefault<int64_t, int64_t(1)>>;
    using Float = Params<ITqRegister*, double, double>;
    return {
        delete_entry<"delete_ITqGenApiFactory", F>(),
        method<"ITqGenApiFactory_SetName", &F::SetName>("aName"),
        method<"ITqGenApiFactory_SetDisplayName", &F::SetDisplayName>("aDisplayName"),
        overloaded<"ITqGenApiFactory_SetCategory">(
            meth<member<void(Str)>(&F::SetCategory), Policy>("aCategory"),
            meth<member<void(Str, Str)>(&F::SetCategory), Policy>("aCategory", "aDisplayName")),
        method<"ITqGenApiFactory_SetDescription", &F::SetDescription>("aDescription"),
        method<"ITqGenApiFactory_SetToolTip", &F::SetToolTip>("aToolTip"),
        method<"ITqGenApiFactory_SetAccessMode", &F::SetAccessMode>("aAccessMode"),
        method<"ITqGenApiFactory_SetRepresentation", &F::SetRepresentation>("aRepresentation"),
        method<"ITqGenApiFactory_SetVisibility", &F::SetVisibility>("aVisibility"),
        method<"ITqGenApiFactory_SetCachable", &F::SetCachable>("aCache"),
        method<"ITqGenApiFactory_SetPollingTime", &F::SetPollingTime>("aPollingTime"),
        method<"ITqGenApiFactory_SetNameSpace", &F::SetNameSpace>("aNameSpace"),
        method<"ITqGenApiFactory_SetTLLocked", &F::SetTLLocked>("aLocked"),
        method<"ITqGenApiFactory_SetStreamable", &F::SetStreamable>("aStreamable"),
        method<"ITqGenApiFactory_SetUnit", &F::SetUnit>("aUnit"),
        method<"ITqGenApiFactory_SetPValue", &F::SetPValue>("aFeatureName"),
        method<"ITqGenApiFactory_SetPIsAvailable", &F::SetPIsAvailable>("aFeatureName"),
        undocumented(method<"ITqGenApiFactory_SetPIsLocked", &F::SetPIsLocked>("aFeatureName")),
        overloaded<"ITqGenApiFactory_MapChunk">(
            meth<&F::MapChunk, NoneSelfCommits<>,
                 Params<uint32_t, uint32_t, Spelled<"size_t", size_t>, WithDefault<TqGenEndianness, TqGenEndiannessLittle>>>(
                "aChunkID", "aAddress", "aLength", "aEndianness")),
        overloaded<"ITqGenApiFactory_MapEvent">(
            meth<&F::MapEvent, NoneSelfCommits<>,
                 Params<uint32_t, uint32_t, Spelled<"size_t", size_t>, WithDefault<TqGenEndianness, TqGenEndiannessLittle>,
                        WithDefault<bool, true>>>("aEventID", "aAddress", "aLength", "aEndianness", "aAdjustAddress")),
        method<"ITqGenApiFactory_AddSelected", &F::AddSelected>("aFeatureName"),
        method<"ITqGenApiFactory_AddInvalidator", &F::AddInvalidator>("aFeatureName"),
        overloaded<"ITqGenApiFactory_AddEnumEntry">(
            meth<member<void(Str, uint32_t)>(&F::AddEnumEntry), Policy>("aName", "aValue"),
            meth<member<void(Str, uint32_t, Str, TqGenNameSpace)>(&F::AddEnumEntry), Policy,
                 Params<Str, uint32_t, Str, WithDefault<TqGenNameSpace, TqGenNameSpaceCustom>>>(
                "aName", "aValue", "aDisplayName", "aNameSpace")),
        method<"ITqGenApiFactory_AddVariable", &F::AddVariable>("aFeatureName"),
        overloaded<"ITqGenApiFactory_CreateInteger">(
            meth<member<TqResult(ITqRegister*, int64_t, int64_t, int64_t)>(&F::CreateInteger),
                 NoneSelfCommits<>, Int>("aRegister", "aMin", "aMax", "aInc"),
            meth<member<TqResult(ITqRegister*)>(&F::CreateInteger), NoneSelfCommits<>,
                 Params<RegisterOrNull>>("aRegister")),
        overloaded<"ITqGenApiFactory_CreateFloat">(
            meth<member<TqResult(ITqRegister*, double, double)>(&F::CreateFloat), NoneSelfCommits<>,
                 Float>("aRegister", "aMin", "aMax"),
            meth<member<TqResult(ITqRegister*)>(&F::CreateFloat), NoneSelfCommits<>,
                 Params<RegisterOrNull>>("aRegister")),
        create<"ITqGenApiFactory_CreateString", &F::CreateString>(),
        undocumented(overloaded<"ITqGenApiFactory_CreateRegister">(
            meth<&F::CreateRegister, NoneSelfCommits<>, Params<RegisterOrNull>>("aRegister"))),
        create<"ITqGenApiFactory_CreateBoolean", &F::CreateBoolean>(),
        create<"ITqGenApiFactory_CreateCommand", &F::CreateCommand>(),
        create<"ITqGenApiFactory_CreateEnum", &F::CreateEnum>(),
        formula<"ITqGenApiFactory_CreateIntSwissKnife", &F::CreateIntSwissKnife>(),
        formula<"ITqGenApiFactory_CreateFloatSwissKnife", &F::CreateFloatSwissKnife>(),
        converter<"ITqGenApiFactory_CreateIntConverter", &F::CreateIntConverter>(),
        converter<"ITqGenApiFactory_CreateFloatConverter", &F::CreateFloatConverter>(),
        method<"ITqGenApiFactory_SetPMin", &F::SetPMin>("aFeatureName"),
        method<"ITqGenApiFactory_SetPMax", &F::SetPMax>("aFeatureName"),
        method<"ITqGenApiFactory_SetPInc", &F::SetPInc>("aFeatureName"),
        link<"ITqGenApiFactory_AddInvalidatorTo", &F::AddInvalidatorTo>(),
        link<"ITqGenApiFactory_SetPIsAvailableFor", &F::SetPIsAvailableFor>(),
        method<"ITqGenApiFactory_SetPIsAvailableForEnumEntry", &F::SetPIsAvailableForEnumEntry>(
            "aStandardFeatureName", "aEnumEntryName", "aFeatureName"),
        undocumented(method<"ITqGenApiFactory_SetPIsLockedFor", &F::SetPIsLockedFor>("aStandardFeatureName",
                                                                                    "aFeatureName")),
        link<"ITqGenApiFactory_SetPValueFor", &F::SetPValueFor>(),
        link<"ITqGenApiFactory_SetPMinFor", &F::SetPMinFor>(),
        link<"ITqGenApiFactory_SetPMaxFor", &F::SetPMaxFor>(),
        link<"ITqGenApiFactory_SetPIncFor", &F::SetPIncFor>(),
        registration<"ITqGenApiFactory_swigregister", F>(),
    };
}

// The docstrings' texts of ITqGenApiFactory's rows.
const DocTable kGenapiFactoryDocs{
    whole("delete_ITqGenApiFactory", "Virtual destructor."),
    summary("ITqGenApiFactory_SetName",
            "The next feature's name (required): letters, digits and underscores, beginning with a letter."),
    summary("ITqGenApiFactory_SetDisplayName",
            "The name browsers show; need not be unique. Without one it is made from the name (spaces between words, "
            "the category's prefix left out)."),
    summary("ITqGenApiFactory_SetCategory",
            "The next feature's category, levels separated by a backslash (Level1\\Level2); the second text is the "
            "display name of the last level. Without a category the feature is in no browser's tree."),
    summary("ITqGenApiFactory_SetDescription", "Free text."),
    summary("ITqGenApiFactory_SetToolTip", "Free text."),
    summary("ITqGenApiFactory_SetAccessMode", "The feature's access, which may be narrower than its register's."),
    summary("ITqGenApiFactory_SetRepresentation", "The numeric representation."),
    summary("ITqGenApiFactory_SetVisibility", "The feature's visibility."),
    summary("ITqGenApiFactory_SetCachable",
            "WriteThrough: a write updates the cached value; WriteAround: a write invalidates it; None: never "
            "cached, refreshed every polling time."),
    summary("ITqGenApiFactory_SetPollingTime",
            "How often (milliseconds) browsers refresh a feature that is not cached."),
    summary("ITqGenApiFactory_SetNameSpace",
            "Standard for features the standard names, Custom (the default) for the others."),
    summary("ITqGenApiFactory_SetTLLocked", "True: the feature is read-only while the device streams."),
    summary("ITqGenApiFactory_SetStreamable",
            "True: the feature belongs in persistence files, and so in the user sets."),
    summary("ITqGenApiFactory_SetUnit", "Display text for numbers, formulas and converters."),
    summary("ITqGenApiFactory_SetPValue", "Another feature supplies the value: the Create then takes no register."),
    summary("ITqGenApiFactory_SetPIsAvailable", "The feature is available while the named feature is non-zero."),
    summary("ITqGenApiFactory_MapChunk",
            "Maps the next feature to be added to the GenICam XML file to a chunk, identified by its ID: aAddress is "
            "the data offset of the feature in the chunk, in bytes, aLength its data length in the chunk, in bytes, "
            "aEndianness the data endianness (optional, little-endian by default). By default every feature maps to "
            "a register given in its Create call, unless MapChunk or MapEvent is called while its attributes are "
            "defined; the Create then takes no register."),
    summary("ITqGenApiFactory_MapEvent",
            "Maps the next feature to be added to the GenICam XML file to the data of a messaging-channel event, "
            "identified by its ID: aAddress is the offset of the feature in the event data, in bytes, aLength its "
            "length in bytes, aEndianness the data endianness (optional, little-endian by default). aAdjustAddress "
            "(optional, True by default) applies an offset on the provided address: controllers see an event as its "
            "16-byte header (reserved, event ID, stream channel, block ID, timestamp) followed by its data, and True "
            "adds those 16 bytes, so that aAddress counts in the data; with False aAddress counts from the header, "
            "whose fields (the timestamp at 8, 8 bytes, big-endian) can so be mapped. The Create then takes no "
            "register."),
    summary("ITqGenApiFactory_AddSelected", "The next feature selects the named one (one call per selected feature)."),
    summary("ITqGenApiFactory_AddInvalidator",
            "A write to the named feature invalidates the next feature's cached value."),
    summary("ITqGenApiFactory_AddEnumEntry",
            "An entry of the next enumeration (one call per entry): its symbolic name, its value, a display name "
            "(empty: made from the name) and its namespace (Custom by default)."),
    summary("ITqGenApiFactory_AddVariable",
            "A feature the next SwissKnife's or Converter's formulas name, by its exact name."),
    summary("ITqGenApiFactory_CreateInteger",
            "An integer over a register of 4 or 8 bytes (or a pValue), with its limits and increment (1 by default)."
            KIVO_CREATED),
    summary("ITqGenApiFactory_CreateFloat",
            "A float over a register of 4 or 8 bytes (or a pValue), with its limits." KIVO_CREATED),
    summary("ITqGenApiFactory_CreateString", "A string over a byte-array register." KIVO_CREATED),
    summary("ITqGenApiFactory_CreateBoolean", "A Boolean over a register of 4 or 8 bytes." KIVO_CREATED),
    summary("ITqGenApiFactory_CreateCommand",
            "A command over a register of 4 or 8 bytes, or over a pValue." KIVO_CREATED),
    summary("ITqGenApiFactory_CreateEnum",
            "An enumeration of the entries added with AddEnumEntry, over a register of 4 or 8 bytes." KIVO_CREATED),
    summary("ITqGenApiFactory_CreateIntSwissKnife",
            "A read-only integer computed by a formula over the features named with AddVariable, e.g. \"ValueA + (10 "
            "* ValueB)\"." KIVO_CREATED),
    summary("ITqGenApiFactory_CreateFloatSwissKnife",
            "A read-only float computed by a formula over the features named with AddVariable, e.g. \"SQRT(ValueA)\"."
            KIVO_CREATED),
    summary("ITqGenApiFactory_CreateIntConverter",
            "An integer that reads the named feature through aFromFormula (TO: the feature's value) and writes it "
            "through aToFormula (FROM: the value written)." KIVO_CREATED),
    summary("ITqGenApiFactory_CreateFloatConverter",
            "A float that reads the named feature through aFromFormula (TO: the feature's value) and writes it "
            "through aToFormula (FROM: the value written)." KIVO_CREATED),
    summary("ITqGenApiFactory_SetPMin",
            "The named feature gives the next integer's or float's minimum, over any constant."),
    summary("ITqGenApiFactory_SetPMax",
            "The named feature gives the next integer's or float's maximum, over any constant."),
    summary("ITqGenApiFactory_SetPInc", "The named feature gives the next integer's increment, over any constant."),
    summary("ITqGenApiFactory_AddInvalidatorTo",
            "Adds a custom invalidator to a feature managed by TqSoftDeviceGEV: a change of the feature named "
            "aFeatureName invalidates clients' cached value of aStandardFeatureName (e.g. a ComponentSelector "
            "invalidating PixelFormat)." KIVO_LINKED),
    summary("ITqGenApiFactory_SetPIsAvailableFor",
            "Forces a pIsAvailable reference on a managed feature: it is available only while the feature named "
            "aFeatureName is non-zero (typically an integer SwissKnife made in OnCreateCustomGenApiFeatures)."
            KIVO_LINKED),
    summary("ITqGenApiFactory_SetPIsAvailableForEnumEntry",
            "Forces a pIsAvailable reference on the entry aEnumEntryName of a managed enumeration: the entry is "
            "available only while the feature named aFeatureName is non-zero." KIVO_LINKED),
    summary("ITqGenApiFactory_SetPValueFor",
            "Forces a pValue reference on a managed feature: it reads and writes its value through the feature named "
            "aFeatureName." KIVO_LINKED),
    summary("ITqGenApiFactory_SetPMinFor",
            "Forces pMin on a managed integer or float: the feature named aFeatureName gives its minimum." KIVO_LINKED),
    summary("ITqGenApiFactory_SetPMaxFor",
            "Forces pMax on a managed integer or float: the feature named aFeatureName gives its maximum." KIVO_LINKED),
    summary("ITqGenApiFactory_SetPIncFor",
            "Forces pInc on a managed integer: the feature named aFeatureName gives its increment." KIVO_LINKED),
};

#undef KIVO_CREATED
#undef KIVO_LINKED

}  // namespace kivo::module
