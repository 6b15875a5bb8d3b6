// GenICam features of a device, a stream or another holder: a parameter array over a node map built
// from a GenICam XML description, whose values live in the registers of a port.
#pragma once

#include "TqEnums.h"
#include "TqGenICamExport.h"
#include "TqGenParameter.h"
#include "TqLiveObjects.h"
#include "TqResult.h"
#include "TqString.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace TQ_GENAPI_NS {
class INodeMap;   // the node map behind an array: an opaque handle for callers
class INode;
}  // namespace TQ_GENAPI_NS

namespace TqGenICamLib {
class NodeMap;   // the stand-in's engine (TqGenNodeMap.h)

// Where the node map's registers live: memory for tests and local holders, a device's registers
// over its control channel later.
class IPort {
public:
    virtual ~IPort() {}
    virtual TqResult Read(uint64_t aAddress, void* aData, uint64_t aLength) = 0;
    virtual TqResult Write(uint64_t aAddress, const void* aData, uint64_t aLength) = 0;
};
}  // namespace TqGenICamLib

struct TqGenArrayLife;

class TQ_GENICAM_API TqGenParameterArray {
public:
    TqGenParameterArray();
    virtual ~TqGenParameterArray();
    TqGenParameterArray(const TqGenParameterArray&) = delete;
    TqGenParameterArray& operator=(const TqGenParameterArray&) = delete;

    uint32_t GetCount() const;
    TqGenParameter* Get(uint32_t aIndex);
    TqGenParameter* Get(const TqString& aName);
    TqGenParameter* operator[](uint32_t aIndex);
    TqGenParameter* operator[](const TqString& aName);
    uint32_t GetCategoryCount() const;
    TqGenCategory* GetCategory(uint32_t aIndex);
    TqGenCategory* GetCategory(const TqString& aName);
    TQ_GENAPI_NS::INodeMap* GetNodeMap();
    TqResult InvalidateCache();
    TqResult Poll();
    TqResult AttachDataChunks(uint8_t* aBuffer, uint32_t aBufferLength);
    TqResult DetachDataChunks();
    TqGenAccessMode GetAccessMode() const;

    TqGenInteger* GetInteger(const TqString& aName);
    TqGenFloat* GetFloat(const TqString& aName);
    TqGenEnum* GetEnum(const TqString& aName);
    TqGenBoolean* GetBoolean(const TqString& aName);
    TqGenCommand* GetCommand(const TqString& aName);
    TqGenString* GetString(const TqString& aName);
    TqGenRegister* GetRegister(const TqString& aName);
    TqResult GetIntegerValue(const TqString& aName, int64_t& aValue);
    TqResult SetIntegerValue(const TqString& aName, int64_t aValue);
    TqResult GetFloatValue(const TqString& aName, double& aValue);
    TqResult SetFloatValue(const TqString& aName, double aValue);
    TqResult GetEnumValue(const TqString& aName, TqString& aValue);
    TqResult GetEnumValue(const TqString& aName, int64_t& aValue);
    TqResult SetEnumValue(const TqString& aName, const TqString& aValue);
    TqResult SetEnumValue(const TqString& aName, int64_t aValue);
    TqResult GetBooleanValue(const TqString& aName, bool& aValue);
    TqResult SetBooleanValue(const TqString& aName, bool aValue);
    TqResult GetStringValue(const TqString& aName, TqString& aValue);
    TqResult SetStringValue(const TqString& aName, const TqString& aValue);
    TqResult ExecuteCommand(const TqString& aName);
    TqResult GetIntegerRange(const TqString& aName, int64_t& aMin, int64_t& aMax);
    TqResult GetFloatRange(const TqString& aName, double& aMin, double& aMax);

    // The stand-in's own: builds the array from a GenICam XML description over a port (the array
    // keeps a reference to the port). A description that does not hold together gives
    // TQ_GENICAM_XML_ERROR with a description naming the node, and leaves the array as it was.
    TqResult Load(const char* aXml, size_t aLength, std::shared_ptr<TqGenICamLib::IPort> aPort);
    // A port of zero-filled memory of the given size, for arrays whose registers are local.
    static std::shared_ptr<TqGenICamLib::IPort> MemoryPort(uint64_t aSize);
    // The same for sizes up to 2^64 - 1: zeros until written, memory taken a page at a time by the
    // writes (for descriptions whose registers lie far apart, such as a camera's above 3 GiB).
    static std::shared_ptr<TqGenICamLib::IPort> SparseMemoryPort(uint64_t aSize);

private:
    TqGenParameter* Typed(const TqString& aName, TqGenType aType);

    std::unique_ptr<TqGenICamLib::NodeMap> mMap;
    // The front objects of the map's features, categories and enumeration entries (made at load).
    std::vector<std::unique_ptr<TqGenParameter>> mParameters;
    std::vector<std::unique_ptr<TqGenCategory>> mCategories;
    std::vector<std::unique_ptr<TqGenEnumEntry>> mEntries;
    // Told when the array is destroyed, for the state stacks over it.
    std::shared_ptr<TqGenArrayLife> mLife;
    TqLiveObjects::Counter mCounter{"TqGenParameterArray"};

    friend class TqGenStateStack;
};

// Changes parameters of one array by name; when destroyed, gives back the values it replaced, the
// last change first.
class TQ_GENICAM_API TqGenStateStack {
public:
    explicit TqGenStateStack(TqGenParameterArray* aParameters);
    virtual ~TqGenStateStack();
    TqGenStateStack(const TqGenStateStack&) = delete;
    TqGenStateStack& operator=(const TqGenStateStack&) = delete;

    TqResult SetIntegerValue(const TqString& aName, int64_t aValue);
    TqResult SetFloatValue(const TqString& aName, double aValue);
    TqResult SetEnumValue(const TqString& aName, const TqString& aValue);
    TqResult SetEnumValue(const TqString& aName, int64_t aValue);
    TqResult SetBooleanValue(const TqString& aName, bool aValue);
    TqResult SetStringValue(const TqString& aName, const TqString& aValue);

private:
    struct Change;
    // Runs aUse while the array lives (its destruction waits meanwhile); a failure once it is gone.
    TqResult WhileArrayLives(const std::function<TqResult()>& aUse);
    void Restore();   // gives back the values replaced, the last change first
    // One change: aRead records the value before (false when it cannot be read), aWrite changes it;
    // the record is kept once the change succeeded.
    TqResult Apply(Change aChange, const std::function<bool(Change&)>& aRead, const std::function<TqResult()>& aWrite);

    TqGenParameterArray* mParameters;
    std::shared_ptr<TqGenArrayLife> mLife;
    std::unique_ptr<std::vector<Change>> mChanges;
    TqLiveObjects::Counter mCounter{"TqGenStateStack"};
};
