// GenICam features: the base parameter and its kinds, categories, enumeration entries and parameter
// lists (library TqGenICam64). The SDK owns every parameter, category and entry: they live as long
// as their parameter array.
//
// The classes' operations are declared as the devices, streams and software devices use them; the
// stand-in implements them over its node map (TqGenNodeMap.h).
#pragma once

#include "TqEnums.h"
#include "TqGenICamExport.h"
#include "TqLiveObjects.h"
#include "TqResult.h"
#include "TqString.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace TqGenICamLib {
class Node;
}

class TqGenEventSink;
class TqGenParameterList;

namespace TQ_GENAPI_NS {
class INode;   // the node behind a parameter: an opaque handle for callers
}

class TQ_GENICAM_API TqGenParameter {
public:
    explicit TqGenParameter(TqGenICamLib::Node* aNode);
    virtual ~TqGenParameter();
    TqGenParameter(const TqGenParameter&) = delete;
    TqGenParameter& operator=(const TqGenParameter&) = delete;

    // Descriptive attributes (empty text where the description gives none).
    TqResult GetName(TqString& aName) const;
    TqResult GetType(TqGenType& aType) const;
    TqResult GetCategory(TqString& aCategory) const;   // the name of the first category listing it
    TqResult GetToolTip(TqString& aToolTip) const;
    TqResult GetDescription(TqString& aDescription) const;
    TqResult GetDisplayName(TqString& aDisplayName) const;   // the name when the description gives none
    TqResult GetNameSpace(TqGenNameSpace& aNameSpace) const;

    // State now, from the node map (availability, locks and access modes are evaluated).
    TqResult IsValueCached(bool& aCached) const;
    TqResult IsPersistent(bool& aPersistent) const;   // streamable and read-write
    TqResult IsImplemented(bool& aImplemented) const;
    TqResult IsAvailable(bool& aAvailable) const;
    TqResult IsWritable(bool& aWritable) const;
    TqResult IsReadable(bool& aReadable) const;
    TqResult IsStreamable(bool& aStreamable) const;
    TqResult GetVisibility(TqGenVisibility& aVisibility) const;
    // Whether the feature shows at a user level: its visibility is at most aCurrentVisibility.
    TqResult IsVisible(TqGenVisibility aCurrentVisibility, bool& aVisible) const;

    // Selectors: the features this one selects, and the selectors that select it.
    TqResult IsSelector(bool& aSelector) const;
    TqResult GetSelectedParameters(TqGenParameterList& aList) const;
    TqResult GetSelectingParameters(TqGenParameterList& aList) const;

    // Sinks told of changes to the feature; a sink is registered once, and dropped with the feature.
    TqResult RegisterEventSink(TqGenEventSink* aEventSink);
    TqResult UnregisterEventSink(TqGenEventSink* aEventSink);

    // The value as text, in the form of the kind (see TqGenParameter.cpp).
    TqResult ToString(TqString& aValue) const;
    TqResult FromString(const TqString& aValue);

    TQ_GENAPI_NS::INode* GetNode();
    bool GetUpdatesEnabled();
    void SetUpdatesEnabled(bool aEnabled);

    TqGenICamLib::Node* GetEngineNode() const { return mNode; }   // the stand-in's own
    // The sinks now registered, in registration order (the stand-in's own).
    std::vector<TqGenEventSink*> GetEventSinks() const;
    // Tells the registered sinks that the value changed, unless updates are disabled (the stand-in's
    // own: its node map calls it after each write, on the writing thread).
    void NotifyUpdate();

protected:
    TqGenICamLib::Node* mNode;

private:
    mutable std::mutex mSinkLock;
    std::vector<TqGenEventSink*> mSinks;
    std::atomic<bool> mUpdatesEnabled{true};
    TqLiveObjects::Counter mCounter{"TqGenParameter"};
};

class TQ_GENICAM_API TqGenInteger : public TqGenParameter {
public:
    using TqGenParameter::TqGenParameter;
    TqResult SetValue(int64_t aValue);
    TqResult GetValue(int64_t& aValue) const;
    TqResult GetMin(int64_t& aMin) const;
    TqResult GetMax(int64_t& aMax) const;
    TqResult GetIncrement(int64_t& aIncrement) const;
    TqResult GetRepresentation(TqGenRepresentation& aRepresentation) const;
    TqResult GetUnit(TqString& aUnit) const;
};
class TQ_GENICAM_API TqGenFloat : public TqGenParameter {
public:
    using TqGenParameter::TqGenParameter;
    TqResult SetValue(double aValue);
    TqResult GetValue(double& aValue) const;
    TqResult GetMin(double& aMin) const;
    TqResult GetMax(double& aMax) const;
    TqResult GetRepresentation(TqGenRepresentation& aRepresentation) const;
    TqResult GetUnit(TqString& aUnit) const;
};
class TqGenEnumEntry;

class TQ_GENICAM_API TqGenEnum : public TqGenParameter {
public:
    using TqGenParameter::TqGenParameter;
    TqResult SetValue(int64_t aValue);             // the entry of that value
    TqResult SetValue(const TqString& aValue);     // the entry of that name
    TqResult GetValue(TqString& aValue) const;     // the current entry's name
    TqResult GetValue(int64_t& aValue) const;      // the current entry's value
    TqResult GetEntriesCount(int64_t& aCount) const;
    // Entries in document order, by name, by position or by value; available or not.
    TqResult GetEntryByName(const TqString& aEntryName, const TqGenEnumEntry** aEntry) const;
    TqResult GetEntryByIndex(int64_t aIndex, const TqGenEnumEntry** aEntry) const;
    TqResult GetEntryByValue(int64_t aValue, const TqGenEnumEntry** aEntry) const;
};
class TQ_GENICAM_API TqGenBoolean : public TqGenParameter {
public:
    using TqGenParameter::TqGenParameter;
    TqResult SetValue(bool aValue);
    TqResult GetValue(bool& aValue) const;
};
class TQ_GENICAM_API TqGenCommand : public TqGenParameter {
public:
    using TqGenParameter::TqGenParameter;
    TqResult Execute();
    TqResult IsDone(bool& aDone);
};
class TQ_GENICAM_API TqGenString : public TqGenParameter {
public:
    using TqGenParameter::TqGenParameter;
    TqResult SetValue(const TqString& aValue);
    TqResult GetValue(TqString& aValue) const;
    TqResult GetMaxLength(int64_t& aMaxLength) const;
};
class TQ_GENICAM_API TqGenRegister : public TqGenParameter {
public:
    using TqGenParameter::TqGenParameter;
    // Whole or partial transfers from the register's first byte: aLength from 0 to GetLength.
    TqResult Set(const uint8_t* aBuffer, int64_t aLength);
    TqResult Get(uint8_t* aBuffer, int64_t aLength) const;
    TqResult GetLength(int64_t& aLength) const;
};

class TQ_GENICAM_API TqGenEnumEntry {
public:
    explicit TqGenEnumEntry(TqGenICamLib::Node* aNode) : mNode(aNode) {}
    virtual ~TqGenEnumEntry() {}

    TqResult GetValue(int64_t& aValue) const;
    TqResult GetName(TqString& aName) const;
    TqResult GetToolTip(TqString& aToolTip) const;
    TqResult GetDescription(TqString& aDescription) const;
    TqResult GetVisibility(TqGenVisibility& aVisibility) const;
    TqResult GetDisplayName(TqString& aDisplayName) const;
    TqResult GetNameSpace(TqGenNameSpace& aNameSpace) const;
    TqResult IsVisible(TqGenVisibility aVisibility, bool& aVisible) const;
    TqResult IsAvailable(bool& aAvailable) const;

protected:
    TqGenICamLib::Node* mNode;

private:
    TqLiveObjects::Counter mCounter{"TqGenEnumEntry"};
};

class TQ_GENICAM_API TqGenCategory {
public:
    explicit TqGenCategory(TqGenICamLib::Node* aNode) : mNode(aNode) {}
    virtual ~TqGenCategory() {}

    TqResult GetName(TqString& aName) const;
    TqResult GetToolTip(TqString& aToolTip) const;
    TqResult GetDescription(TqString& aDescription) const;
    TqResult GetDisplayName(TqString& aDisplayName) const;
    TqResult GetNameSpace(TqGenNameSpace& aNameSpace) const;
    TqResult GetVisibility(TqGenVisibility& aVisibility) const;
    TqResult IsVisible(TqGenVisibility aCurrentVisibility, bool& aVisible) const;
    TqResult IsImplemented(bool& aImplemented) const;
    TQ_GENAPI_NS::INode* GetNode();
    TqGenICamLib::Node* GetEngineNode() const { return mNode; }

protected:
    TqGenICamLib::Node* mNode;

private:
    TqLiveObjects::Counter mCounter{"TqGenCategory"};
};

class TQ_GENICAM_API TqGenParameterList {
public:
    TqGenParameterList();
    virtual ~TqGenParameterList();

    void Clear();
    void Add(TqGenParameter* aParameter);   // also moves the cursor back to the start
    uint32_t GetSize() const;
    TqGenParameter* GetItem(uint32_t aIndex);   // null past the end
    TqGenParameter* operator[](uint32_t aIndex) { return GetItem(aIndex); }
    // The cursor: GetFirst gives the first item; GetNext the next one (the first when GetFirst was
    // not called since the last Add or Clear), null after the last.
    TqGenParameter* GetFirst();
    TqGenParameter* GetNext();

protected:
    std::vector<TqGenParameter*> mItems;
    size_t mCursor = 0;

private:
    TqLiveObjects::Counter mCounter{"TqGenParameterList"};
};
