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

template <Text Name, auto Set>
Entry setter(const char* argument, const char* doc) {
    return described(method<Name, Set>(argument), doc);
}

// What every Create answers.
#define KIVO_CREATED                                                                                                 \
    "\n\nResults: OK; NOT_INITIALIZED: no name was set; INVALID_PARAMETER: the name is no GenICam name or is "   \
    "taken by the device, the register is not one of this device's or has the wrong shape, or an attribute is "    \
    "out of rule; STATE_ERROR: the feature callback has returned. Whatever the result, the next feature starts "  \
    "from the defaults."

// A Create of a kind over a register, a pValue or nothing: the register may be left out (null).
template <Text Name, auto Create>
Entry create(const char* doc) {
    return described(overloaded<Name>(meth<Create, NoneSelfCommits<>, Params<RegisterOrNull>>("aRegister")), doc);
}

// A change of one of the device's own features by name (the second text names the application's).
template <Text Name, auto Link>
Entry link(const char* doc) {
    return described(method<Name, Link>("aStandardFeatureName", "aFeatureName"), doc);
}

#define KIVO_LINKED                                                                                                  \
    " Applied when Start writes the device's GenICam XML file. For ADVANCED GenApi support use cases.\n\n"          \
    "Results: OK; INVALID_PARAMETER: the device makes no such feature, or it is of a kind the link does not "        \
    "suit, or the second name is no GenICam name; STATE_ERROR: the feature callback has returned. A feature named "  \
    "but never created makes Start fail."

template <Text Name, auto Create>
Entry formula(const char* doc) {
    return described(method<Name, Create>("aFormula"), doc);
}

template <Text Name, auto Create>
Entry converter(const char* doc) {
    return described(method<Name, Create>("aValueFeatureName", "aFromFormula", "aToFormula"), doc);
}

}  // namespace

Entries genapi_factory_entries() {
    using Int = Params<ITqRegister*, int64_t, int64_t, WithDefault<int64_t, int64_t(1)>>;
    using Float = Params<ITqRegister*, double, double>;
    return {
        documented_as(delete_entry<"delete_ITqGenApiFactory", F>(), "Virtual destructor."),
        setter<"ITqGenApiFactory_SetName", &F::SetName>(
            "aName", "The next feature's name (required): letters, digits and underscores, beginning with a letter."),
        setter<"ITqGenApiFactory_SetDisplayName", &F::SetDisplayName>(
            "aDisplayName",
            "The name browsers show; need not be unique. Without one it is made from the name (spaces between "
            "words, the category's prefix left out)."),
        described(overloaded<"ITqGenApiFactory_SetCategory">(
                      meth<member<void(Str)>(&F::SetCategory), Policy>("aCategory"),
                      meth<member<void(Str, Str)>(&F::SetCategory), Policy>("aCategory", "aDisplayName")),
                  "The next feature's category, levels separated by a backslash (Level1\\Level2); the second text "
                  "is the display name of the last level. Without a category the feature is in no browser's tree."),
        setter<"ITqGenApiFactory_SetDescription", &F::SetDescription>("aDescription", "Free text."),
        setter<"ITqGenApiFactory_SetToolTip", &F::SetToolTip>("aToolTip", "Free text."),
        setter<"ITqGenApiFactory_SetAccessMode", &F::SetAccessMode>(
            "aAccessMode", "The feature's access, which may be narrower than its register's."),
        setter<"ITqGenApiFactory_SetRepresentation", &F::SetRepresentation>("aRepresentation",
                                                                             "The numeric representation."),
        setter<"ITqGenApiFactory_SetVisibility", &F::SetVisibility>("aVisibility", "The feature's visibility."),
        setter<"ITqGenApiFactory_SetCachable", &F::SetCachable>(
            "aCache",
            "WriteThrough: a write updates the cached value; WriteAround: a write invalidates it; None: never "
            "cached, refreshed every polling time."),
        setter<"ITqGenApiFactory_SetPollingTime", &F::SetPollingTime>(
            "aPollingTime", "How often (milliseconds) browsers refresh a feature that is not cached."),
        setter<"ITqGenApiFactory_SetNameSpace", &F::SetNameSpace>(
            "aNameSpace", "Standard for features the standard names, Custom (the default) for the others."),
        setter<"ITqGenApiFactory_SetTLLocked", &F::SetTLLocked>(
            "aLocked", "True: the feature is read-only while the device streams."),
        setter<"ITqGenApiFactory_SetStreamable", &F::SetStreamable>(
            "aStreamable", "True: the feature belongs in persistence files, and so in the user sets."),
        setter<"ITqGenApiFactory_SetUnit", &F::SetUnit>("aUnit", "Display text for numbers, formulas and converters."),
        setter<"ITqGenApiFactory_SetPValue", &F::SetPValue>(
            "aFeatureName", "Another feature supplies the value: the Create then takes no register."),
        setter<"ITqGenApiFactory_SetPIsAvailable", &F::SetPIsAvailable>(
            "aFeatureName", "The feature is available while the named feature is non-zero."),
        undocumented(method<"ITqGenApiFactory_SetPIsLocked", &F::SetPIsLocked>("aFeatureName")),
        described(overloaded<"ITqGenApiFactory_MapChunk">(
                      meth<&F::MapChunk, NoneSelfCommits<>,
                           Params<uint32_t, uint32_t, Spelled<"size_t", size_t>, WithDefault<TqGenEndianness, TqGenEndiannessLittle>>>(
                          "aChunkID", "aAddress", "aLength", "aEndianness")),
                  "Maps the next feature to be added to the GenICam XML file to a chunk, identified by its ID: "
                  "aAddress is the data offset of the feature in the chunk, in bytes, aLength its data length in "
                  "the chunk, in bytes, aEndianness the data endianness (optional, little-endian by default). By "
                  "default every feature maps to a register given in its Create call, unless MapChunk or MapEvent "
                  "is called while its attributes are defined; the Create then takes no register."),
        described(overloaded<"ITqGenApiFactory_MapEvent">(
                      meth<&F::MapEvent, NoneSelfCommits<>,
                           Params<uint32_t, uint32_t, Spelled<"size_t", size_t>, WithDefault<TqGenEndianness, TqGenEndiannessLittle>,
                                  WithDefault<bool, true>>>("aEventID", "aAddress", "aLength", "aEndianness",
                                                            "aAdjustAddress")),
                  "Maps the next feature to be added to the GenICam XML file to the data of a messaging-channel "
                  "event, identified by its ID: aAddress is the offset of the feature in the event data, in bytes, "
                  "aLength its length in bytes, aEndianness the data endianness (optional, little-endian by "
                  "default). aAdjustAddress (optional, True by default) applies an offset on the provided address: "
                  "controllers see an event as its 16-byte header (reserved, event ID, stream channel, block ID, "
                  "timestamp) followed by its data, and True adds those 16 bytes, so that aAddress counts in the "
                  "data; with False aAddress counts from the header, whose fields (the timestamp at 8, 8 bytes, "
                  "big-endian) can so be mapped. The Create then takes no register."),
        setter<"ITqGenApiFactory_AddSelected", &F::AddSelected>(
            "aFeatureName", "The next feature selects the named one (one call per selected feature)."),
        setter<"ITqGenApiFactory_AddInvalidator", &F::AddInvalidator>(
            "aFeatureName", "A write to the named feature invalidates the next feature's cached value."),
        described(overloaded<"ITqGenApiFactory_AddEnumEntry">(
                      meth<member<void(Str, uint32_t)>(&F::AddEnumEntry), Policy>("aName", "aValue"),
                      meth<member<void(Str, uint32_t, Str, TqGenNameSpace)>(&F::AddEnumEntry), Policy,
                           Params<Str, uint32_t, Str, WithDefault<TqGenNameSpace, TqGenNameSpaceCustom>>>(
                          "aName", "aValue", "aDisplayName", "aNameSpace")),
                  "An entry of the next enumeration (one call per entry): its symbolic name, its value, a display "
                  "name (empty: made from the name) and its namespace (Custom by default)."),
        setter<"ITqGenApiFactory_AddVariable", &F::AddVariable>(
            "aFeatureName", "A feature the next SwissKnife's or Converter's formulas name, by its exact name."),
        described(overloaded<"ITqGenApiFactory_CreateInteger">(
                      meth<member<TqResult(ITqRegister*, int64_t, int64_t, int64_t)>(&F::CreateInteger),
                           NoneSelfCommits<>, Int>("aRegister", "aMin", "aMax", "aInc"),
                      meth<member<TqResult(ITqRegister*)>(&F::CreateInteger), NoneSelfCommits<>,
                           Params<RegisterOrNull>>("aRegister")),
                  "An integer over a register of 4 or 8 bytes (or a pValue), with its limits and increment (1 by "
                  "default)." KIVO_CREATED),
        described(overloaded<"ITqGenApiFactory_CreateFloat">(
                      meth<member<TqResult(ITqRegister*, double, double)>(&F::CreateFloat), NoneSelfCommits<>,
                           Float>("aRegister", "aMin", "aMax"),
                      meth<member<TqResult(ITqRegister*)>(&F::CreateFloat), NoneSelfCommits<>,
                           Params<RegisterOrNull>>("aRegister")),
                  "A float over a register of 4 or 8 bytes (or a pValue), with its limits." KIVO_CREATED),
        create<"ITqGenApiFactory_CreateString", &F::CreateString>("A string over a byte-array register." KIVO_CREATED),
        undocumented(overloaded<"ITqGenApiFactory_CreateRegister">(
            meth<&F::CreateRegister, NoneSelfCommits<>, Params<RegisterOrNull>>("aRegister"))),
        create<"ITqGenApiFactory_CreateBoolean", &F::CreateBoolean>("A Boolean over a register of 4 or 8 bytes." KIVO_CREATED),
        create<"ITqGenApiFactory_CreateCommand", &F::CreateCommand>(
            "A command over a register of 4 or 8 bytes, or over a pValue." KIVO_CREATED),
        create<"ITqGenApiFactory_CreateEnum", &F::CreateEnum>(
            "An enumeration of the entries added with AddEnumEntry, over a register of 4 or 8 bytes." KIVO_CREATED),
        formula<"ITqGenApiFactory_CreateIntSwissKnife", &F::CreateIntSwissKnife>(
            "A read-only integer computed by a formula over the features named with AddVariable, e.g. "
            "\"ValueA + (10 * ValueB)\"." KIVO_CREATED),
        formula<"ITqGenApiFactory_CreateFloatSwissKnife", &F::CreateFloatSwissKnife>(
            "A read-only float computed by a formula over the features named with AddVariable, e.g. "
            "\"SQRT(ValueA)\"." KIVO_CREATED),
        converter<"ITqGenApiFactory_CreateIntConverter", &F::CreateIntConverter>(
            "An integer that reads the named feature through aFromFormula (TO: the feature's value) and writes it "
            "through aToFormula (FROM: the value written)." KIVO_CREATED),
        converter<"ITqGenApiFactory_CreateFloatConverter", &F::CreateFloatConverter>(
            "A float that reads the named feature through aFromFormula (TO: the feature's value) and writes it "
            "through aToFormula (FROM: the value written)." KIVO_CREATED),
        setter<"ITqGenApiFactory_SetPMin", &F::SetPMin>(
            "aFeatureName", "The named feature gives the next integer's or float's minimum, over any constant."),
        setter<"ITqGenApiFactory_SetPMax", &F::SetPMax>(
            "aFeatureName", "The named feature gives the next integer's or float's maximum, over any constant."),
        setter<"ITqGenApiFactory_SetPInc", &F::SetPInc>(
            "aFeatureName", "The named feature gives the next integer's increment, over any constant."),
        link<"ITqGenApiFactory_AddInvalidatorTo", &F::AddInvalidatorTo>(
            "Adds a custom invalidator to a feature managed by TqSoftDeviceGEV: a change of the feature named "
            "aFeatureName invalidates clients' cached value of aStandardFeatureName (e.g. a ComponentSelector "
            "invalidating PixelFormat)." KIVO_LINKED),
        link<"ITqGenApiFactory_SetPIsAvailableFor", &F::SetPIsAvailableFor>(
            "Forces a pIsAvailable reference on a managed feature: it is available only while the feature named "
            "aFeatureName is non-zero (typically an integer SwissKnife made in OnCreateCustomGenApiFeatures)." KIVO_LINKED),
        described(method<"ITqGenApiFactory_SetPIsAvailableForEnumEntry", &F::SetPIsAvailableForEnumEntry>(
                      "aStandardFeatureName", "aEnumEntryName", "aFeatureName"),
                  "Forces a pIsAvailable reference on the entry aEnumEntryName of a managed enumeration: the entry "
                  "is available only while the feature named aFeatureName is non-zero." KIVO_LINKED),
        undocumented(method<"ITqGenApiFactory_SetPIsLockedFor", &F::SetPIsLockedFor>("aStandardFeatureName",
                                                                                    "aFeatureName")),
        link<"ITqGenApiFactory_SetPValueFor", &F::SetPValueFor>(
            "Forces a pValue reference on a managed feature: it reads and writes its value through the feature "
            "named aFeatureName." KIVO_LINKED),
        link<"ITqGenApiFactory_SetPMinFor", &F::SetPMinFor>(
            "Forces pMin on a managed integer or float: the feature named aFeatureName gives its minimum." KIVO_LINKED),
        link<"ITqGenApiFactory_SetPMaxFor", &F::SetPMaxFor>(
            "Forces pMax on a managed integer or float: the feature named aFeatureName gives its maximum." KIVO_LINKED),
        link<"ITqGenApiFactory_SetPIncFor", &F::SetPIncFor>(
            "Forces pInc on a managed integer: the feature named aFeatureName gives its increment." KIVO_LINKED),
        registration<"ITqGenApiFactory_swigregister", F>(),
    };
}

#undef KIVO_CREATED
#undef KIVO_LINKED

}  // namespace kivo::module
