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

#include <cstdint>
#include <vector>

namespace TqGenICamLib {
class Node;
}

class TqGenEventSink;
class TqGenParameterList;

class TQ_GENICAM_API TqGenParameter {
public:
    explicit TqGenParameter(TqGenICamLib::Node* aNode);
    virtual ~TqGenParameter();
    TqGenParameter(const TqGenParameter&) = delete;
    TqGenParameter& operator=(const TqGenParameter&) = delete;

    TqGenICamLib::Node* GetEngineNode() const { return mNode; }   // the stand-in's own

protected:
    TqGenICamLib::Node* mNode;

private:
    TqLiveObjects::Counter mCounter{"TqGenParameter"};
};

class TQ_GENICAM_API TqGenInteger : public TqGenParameter {
public:
    using TqGenParameter::TqGenParameter;
};
class TQ_GENICAM_API TqGenFloat : public TqGenParameter {
public:
    using TqGenParameter::TqGenParameter;
};
class TQ_GENICAM_API TqGenEnum : public TqGenParameter {
public:
    using TqGenParameter::TqGenParameter;
};
class TQ_GENICAM_API TqGenBoolean : public TqGenParameter {
public:
    using TqGenParameter::TqGenParameter;
};
class TQ_GENICAM_API TqGenCommand : public TqGenParameter {
public:
    using TqGenParameter::TqGenParameter;
};
class TQ_GENICAM_API TqGenString : public TqGenParameter {
public:
    using TqGenParameter::TqGenParameter;
};
class TQ_GENICAM_API TqGenRegister : public TqGenParameter {
public:
    using TqGenParameter::TqGenParameter;
};

class TQ_GENICAM_API TqGenEnumEntry {
public:
    explicit TqGenEnumEntry(TqGenICamLib::Node* aNode) : mNode(aNode) {}
    virtual ~TqGenEnumEntry() {}

protected:
    TqGenICamLib::Node* mNode;

private:
    TqLiveObjects::Counter mCounter{"TqGenEnumEntry"};
};

class TQ_GENICAM_API TqGenCategory {
public:
    explicit TqGenCategory(TqGenICamLib::Node* aNode) : mNode(aNode) {}
    virtual ~TqGenCategory() {}
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

protected:
    std::vector<TqGenParameter*> mItems;
    size_t mCursor = 0;

private:
    TqLiveObjects::Counter mCounter{"TqGenParameterList"};
};
