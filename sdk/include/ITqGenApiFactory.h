// The builder of a software device's own GenICam features (library TqVirtualDevice64), handed out
// only inside the feature callbacks that run within TqSoftDeviceGEV::Start, after the registers were
// made (ITqSoftDeviceGEVEventSink::OnCreateCustomGenApiFeatures for device-wide features,
// ITqStreamingChannelSource::CreateGenApiFeatures for the features of one source).
//
// The factory holds one pending feature. The setters, mappings and entries record attributes of the
// next feature; a Create operation adds that feature to the device's GenICam XML file from the
// attributes recorded and resets them all to their defaults (no category, a derived display name,
// the value in the register given to Create). A Create without a name answers TQ_NOT_INITIALIZED.
// The operations ending in For change features the device makes itself (its standard features).
#pragma once

#include "TqEnums.h"
#include "TqResult.h"
#include "TqString.h"

#include <cstddef>
#include <cstdint>

class ITqRegister;

class ITqGenApiFactory {
public:
    virtual ~ITqGenApiFactory() {}

    // --- Attributes of the next feature ---
    // Required; letters, digits and underscores, beginning with a letter.
    virtual void SetName(const TqString& aName) = 0;
    // What GenApi browsers show; need not be unique. Without it one is derived from the name
    // (spaces added, the last sub-category's prefix removed).
    virtual void SetDisplayName(const TqString& aDisplayName) = 0;
    // Levels separated by one backslash (Level1\Level2). A feature without a category is not shown
    // in a browser. The two-string form takes a further string after the category.
    virtual void SetCategory(const TqString& aCategory, const TqString&) = 0;
    virtual void SetCategory(const TqString& aCategory) = 0;
    virtual void SetDescription(const TqString& aDescription) = 0;
    virtual void SetToolTip(const TqString& aToolTip) = 0;
    // May differ from the access of the register behind the feature.
    virtual void SetAccessMode(TqGenAccessMode aAccessMode) = 0;
    virtual void SetRepresentation(TqGenRepresentation aRepresentation) = 0;
    virtual void SetVisibility(TqGenVisibility aVisibility) = 0;
    // WriteThrough: a write updates the cached value; WriteAround: a write invalidates it;
    // None: not cached, refreshed every polling time.
    virtual void SetCachable(TqGenCache aCache) = 0;
    // Milliseconds: how often a browser refreshes a feature that is not cached.
    virtual void SetPollingTime(uint32_t aPollingTime) = 0;
    // Standard for features of the GenICam SFNC, Custom for others.
    virtual void SetNameSpace(TqGenNameSpace aNameSpace) = 0;
    // True: read-only while the device streams (TLParamsLocked).
    virtual void SetTLLocked(bool aLocked) = 0;
    // True: part of the device's persistence file, and so of its user sets.
    virtual void SetStreamable(bool aStreamable) = 0;
    // Display text only (integers, floats, SwissKnifes, Converters).
    virtual void SetUnit(const TqString& aUnit) = 0;
    // Another feature holds the value; Create then gets no register.
    virtual void SetPValue(const TqString& aFeatureName) = 0;
    // Another feature decides availability: while it evaluates false the feature is neither
    // readable nor writable.
    virtual void SetPIsAvailable(const TqString& aFeatureName) = 0;
    // Another feature locks this one: while it is non-zero the feature cannot be written.
    virtual void SetPIsLocked(const TqString& aFeatureName) = 0;
    // Maps the next feature to a chunk: aAddress is the value's byte offset in the chunk's data,
    // aLength its length in bytes. Create then gets no register.
    virtual void MapChunk(uint32_t aChunkID, uint32_t aAddress, size_t aLength,
                          TqGenEndianness aEndianness = TqGenEndiannessLittle) = 0;
    // Maps the next feature to the data of a messaging-channel event: aAddress is the value's byte
    // offset in the event's data, aLength its length in bytes. Create then gets no register.
    virtual void MapEvent(uint32_t aEventID, uint32_t aAddress, size_t aLength,
                          TqGenEndianness aEndianness = TqGenEndiannessLittle, bool aAdjustAddress = true) = 0;
    // One feature of the next feature's selector relations per call.
    virtual void AddSelected(const TqString& aFeatureName) = 0;
    // One feature per call whose writes invalidate the next feature's cached value.
    virtual void AddInvalidator(const TqString& aFeatureName) = 0;
    // One entry of the next enumeration per call (CreateEnum only). An empty aDisplayName lets the
    // device derive one.
    virtual void AddEnumEntry(const TqString& aName, uint32_t aValue, const TqString& aDisplayName,
                              TqGenNameSpace aNameSpace = TqGenNameSpaceCustom) = 0;
    virtual void AddEnumEntry(const TqString& aName, uint32_t aValue) = 0;
    // One feature per call that the next SwissKnife's or Converter's formulas name (exact name).
    virtual void AddVariable(const TqString& aFeatureName) = 0;

    // --- Creation of the next feature: TQ_OK, TQ_NOT_INITIALIZED without a name ---
    // aRegister is the register the feature maps to, or null for a feature mapped to a chunk or an
    // event or given a pValue (else TQ_INVALID_PARAMETER).
    virtual TqResult CreateInteger(ITqRegister* aRegister = nullptr) = 0;
    virtual TqResult CreateInteger(ITqRegister* aRegister, int64_t aMin, int64_t aMax, int64_t aInc = 1) = 0;
    virtual TqResult CreateFloat(ITqRegister* aRegister = nullptr) = 0;
    virtual TqResult CreateFloat(ITqRegister* aRegister, double aMin, double aMax) = 0;
    virtual TqResult CreateString(ITqRegister* aRegister = nullptr) = 0;
    virtual TqResult CreateRegister(ITqRegister* aRegister = nullptr) = 0;
    virtual TqResult CreateBoolean(ITqRegister* aRegister = nullptr) = 0;
    virtual TqResult CreateCommand(ITqRegister* aRegister = nullptr) = 0;
    // From the entries added (TQ_INVALID_PARAMETER without any).
    virtual TqResult CreateEnum(ITqRegister* aRegister = nullptr) = 0;
    // Formulas over the variables added.
    virtual TqResult CreateIntSwissKnife(const TqString& aFormula) = 0;
    virtual TqResult CreateFloatSwissKnife(const TqString& aFormula) = 0;
    virtual TqResult CreateIntConverter(const TqString& aValueFeatureName, const TqString& aFromFormula,
                                        const TqString& aToFormula) = 0;
    virtual TqResult CreateFloatConverter(const TqString& aValueFeatureName, const TqString& aFromFormula,
                                          const TqString& aToFormula) = 0;

    // --- Links from the device's standard features to the application's ---
    virtual TqResult AddInvalidatorTo(const TqString& aStandardFeatureName,
                                      const TqString& aInvalidatorFeatureName) = 0;
    virtual TqResult SetPIsAvailableFor(const TqString& aStandardFeatureName,
                                        const TqString& aPIsAvailableFeatureName) = 0;
    virtual TqResult SetPIsAvailableForEnumEntry(const TqString& aStandardFeatureName, const TqString& aEnumEntryName,
                                                 const TqString& aPIsAvailableFeatureName) = 0;
    virtual TqResult SetPIsLockedFor(const TqString& aStandardFeatureName, const TqString& aPIsLockedFeatureName) = 0;
    virtual TqResult SetPValueFor(const TqString& aStandardFeatureName, const TqString& aPValueFeatureName) = 0;
    virtual TqResult SetPMinFor(const TqString& aStandardFeatureName, const TqString& aPMinFeatureName) = 0;
    virtual TqResult SetPMaxFor(const TqString& aStandardFeatureName, const TqString& aPMaxFeatureName) = 0;
    virtual TqResult SetPIncFor(const TqString& aStandardFeatureName, const TqString& aPIncFeatureName) = 0;

    // --- Further attributes of the next feature ---
    // Nodes that give an integer's or float's minimum and maximum, and an integer's increment; they
    // take precedence over the constants given to CreateInteger and CreateFloat.
    virtual void SetPMin(const TqString& aFeatureName) = 0;
    virtual void SetPMax(const TqString& aFeatureName) = 0;
    virtual void SetPInc(const TqString& aFeatureName) = 0;
};
