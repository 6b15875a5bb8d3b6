// The software device's GenApi factory: the application's own features in the device's GenICam XML
// file (internal to the library).
//
// One factory lives with its device. It is open only while a feature callback runs inside Start
// (the event sinks' OnCreateCustomGenApiFeatures: features of the whole device; a source's
// CreateGenApiFeatures: features of that source); closed, its setters do nothing and its Create
// operations answer TQ_STATE_ERROR, so a factory kept past its callback reaches nothing freed.
//
// The pending feature: setters replace an attribute (a chunk or event mapping is one attribute: the
// later replaces the earlier), AddSelected, AddInvalidator, AddVariable and AddEnumEntry append; every Create consumes the pending feature and resets it, whether it succeeds
// or not. A Create checks what it can at once (TQ_NOT_INITIALIZED without a name,
// TQ_INVALID_PARAMETER with the reason otherwise); a name created twice in one scope, or with two
// kinds, is recorded and fails the start (Finish) with a description.
//
// A mapped feature reads its value from a port of its chunk or event ID (one port per ID, shared by
// every feature mapped to it): its register node lies on that port, read-only and never cached. An
// event's port shows the event's 16-byte header before its data: MapEvent's adjust adds those 16 bytes
// to the address, without it the header's fields (the timestamp at 8) can be mapped.
//
// The patches (the operations ending in For) change the device's own features: recorded at once,
// checked against the nodes the device makes (kind, entries), and applied to the builder's nodes
// when Start writes the description; a later patch of one kind replaces the earlier, invalidators
// add up.
//
// Finish merges the features of the scopes: with several sources a source's features are available
// while SourceSelector selects a source that made them, and a name several sources made becomes one
// feature whose registers, limits and entries follow SourceSelector through nodes invented for it
// (their names begin with kInventedPrefix, which no application name may have).
#pragma once

#include "ITqGenApiFactory.h"
#include "ITqRegister.h"

#include "TqDeviceEngine.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class TqSoftDeviceGEV;

namespace TqSoftDevice {

inline constexpr const char* kInventedPrefix = "KivoSd_";

// A Streamable feature over registers: what a user set copies raw (one register per stream source
// that made the feature; device-wide: one).
struct StreamableFeature {
    std::string name;
    struct Place {
        int scope;   // GenApiFactory::kDevice or the source's index
        uint32_t address, length;
    };
    std::vector<Place> registers;
};

class GenApiFactory final : public ITqGenApiFactory {
public:
    static constexpr int kDevice = -1;

    explicit GenApiFactory(TqSoftDeviceGEV& aDevice);   // where Feature is complete

    // A start begins with aSources stream sources: no features yet.
    void Begin(uint32_t aSources);

    // The factory is open for the features of aScope (kDevice or a source's index) while the guard lives.
    class Opened {
    public:
        explicit Opened(GenApiFactory& aFactory) : mFactory(aFactory) {}
        ~Opened() { mFactory.Close(); }
        Opened(const Opened&) = delete;
        Opened& operator=(const Opened&) = delete;

    private:
        GenApiFactory& mFactory;
    };
    [[nodiscard]] Opened Open(int aScope);

    // The features of every scope merged into nodes; false with the reasons when they cannot be.
    bool Finish(std::string& aFailure);
    // The merged nodes, the top categories and SourceSelector's selected features into aDescription.
    void Describe(TqEngine::Description& aDescription) const;
    // What the last Finish found Streamable.
    std::vector<StreamableFeature> Streamable() const;

    void SetName(const TqString& aName) override;
    void SetDisplayName(const TqString& aDisplayName) override;
    void SetCategory(const TqString& aCategory, const TqString& aDisplayName) override;
    void SetCategory(const TqString& aCategory) override;
    void SetDescription(const TqString& aDescription) override;
    void SetToolTip(const TqString& aToolTip) override;
    void SetAccessMode(TqGenAccessMode aAccessMode) override;
    void SetRepresentation(TqGenRepresentation aRepresentation) override;
    void SetVisibility(TqGenVisibility aVisibility) override;
    void SetCachable(TqGenCache aCache) override;
    void SetPollingTime(uint32_t aPollingTime) override;
    void SetNameSpace(TqGenNameSpace aNameSpace) override;
    void SetTLLocked(bool aLocked) override;
    void SetStreamable(bool aStreamable) override;
    void SetUnit(const TqString& aUnit) override;
    void SetPValue(const TqString& aFeatureName) override;
    void SetPIsAvailable(const TqString& aFeatureName) override;
    void SetPIsLocked(const TqString& aFeatureName) override;
    void MapChunk(uint32_t aChunkID, uint32_t aAddress, size_t aLength, TqGenEndianness aEndianness) override;
    void MapEvent(uint32_t aEventID, uint32_t aAddress, size_t aLength, TqGenEndianness aEndianness,
                  bool aAdjustAddress) override;
    void AddSelected(const TqString& aFeatureName) override;
    void AddInvalidator(const TqString& aFeatureName) override;
    void AddEnumEntry(const TqString& aName, uint32_t aValue, const TqString& aDisplayName,
                      TqGenNameSpace aNameSpace) override;
    void AddEnumEntry(const TqString& aName, uint32_t aValue) override;
    void AddVariable(const TqString& aFeatureName) override;
    TqResult CreateInteger(ITqRegister* aRegister) override;
    TqResult CreateInteger(ITqRegister* aRegister, int64_t aMin, int64_t aMax, int64_t aInc) override;
    TqResult CreateFloat(ITqRegister* aRegister) override;
    TqResult CreateFloat(ITqRegister* aRegister, double aMin, double aMax) override;
    TqResult CreateString(ITqRegister* aRegister) override;
    TqResult CreateRegister(ITqRegister* aRegister) override;
    TqResult CreateBoolean(ITqRegister* aRegister) override;
    TqResult CreateCommand(ITqRegister* aRegister) override;
    TqResult CreateEnum(ITqRegister* aRegister) override;
    TqResult CreateIntSwissKnife(const TqString& aFormula) override;
    TqResult CreateFloatSwissKnife(const TqString& aFormula) override;
    TqResult CreateIntConverter(const TqString& aValueFeatureName, const TqString& aFromFormula,
                                const TqString& aToFormula) override;
    TqResult CreateFloatConverter(const TqString& aValueFeatureName, const TqString& aFromFormula,
                                  const TqString& aToFormula) override;
    TqResult AddInvalidatorTo(const TqString& aStandardFeatureName, const TqString& aInvalidatorFeatureName) override;
    TqResult SetPIsAvailableFor(const TqString& aStandardFeatureName, const TqString& aFeatureName) override;
    TqResult SetPIsAvailableForEnumEntry(const TqString& aStandardFeatureName, const TqString& aEnumEntryName,
                                         const TqString& aFeatureName) override;
    TqResult SetPIsLockedFor(const TqString& aStandardFeatureName, const TqString& aFeatureName) override;
    TqResult SetPValueFor(const TqString& aStandardFeatureName, const TqString& aFeatureName) override;
    TqResult SetPMinFor(const TqString& aStandardFeatureName, const TqString& aFeatureName) override;
    TqResult SetPMaxFor(const TqString& aStandardFeatureName, const TqString& aFeatureName) override;
    TqResult SetPIncFor(const TqString& aStandardFeatureName, const TqString& aFeatureName) override;
    void SetPMin(const TqString& aFeatureName) override;
    void SetPMax(const TqString& aFeatureName) override;
    void SetPInc(const TqString& aFeatureName) override;

    enum class Kind { Integer, Float, String, Register, Boolean, Command, Enumeration, IntSwissKnife, SwissKnife,
                      IntConverter, Converter };
    struct Pending;
    struct Feature;
    struct Request;
    struct PatchRule;

private:
    TqResult Patch(const PatchRule& aRule, const TqString& aStandard, const TqString* aEntry, const TqString& aFeature);
    void Close();
    // Runs aSet on the pending feature while the factory is open.
    template <class Set>
    void Record(Set aSet);
    TqResult Create(Request& aRequest);
    std::string Check(const Pending& aPending, const Request& aRequest) const;
    bool OfDevice(const ITqRegister* aRegister) const;

    TqSoftDeviceGEV& mDevice;
    mutable std::mutex mLock;   // what follows
    bool mOpen = false;
    int mScope = kDevice;
    uint32_t mSources = 0;
    std::set<std::string> mOwnNames, mOwnCategories;   // the device's own nodes, and which are categories
    std::map<std::string, uint8_t> mOwnFeatures;        // the device's own features and their kinds
    std::map<std::string, std::set<std::string>> mOwnEntries;   // the entries of its enumerations
    std::vector<TqEngine::NodePatch> mPatches;
    std::vector<Feature> mFeatures;    // in the order they were created
    std::vector<std::string> mConflicts;
    std::unique_ptr<Pending> mPending;
    // Finish's result.
    std::vector<TqEngine::FeatureNode> mNodes;
    std::vector<std::string> mTopCategories, mSourceSelected;
    std::vector<std::pair<std::string, std::vector<std::string>>> mJoined;
    std::vector<StreamableFeature> mStreamable;
};

// Whether aXml loads in the stand-in's node map; the loader's text in aFailure when it does not.
bool Loads(const std::string& aXml, std::string& aFailure);

// The pending feature and what a Create records of it.
struct GenApiFactory::Pending {
    std::string name, displayName, category, categoryDisplayName, description, toolTip, unit;
    std::string value, isAvailable, isLocked, min, max, inc;   // names of other nodes
    int32_t access = TqGenAccessModeReadWrite, representation = TqGenRepresentationLinear;
    int32_t visibility = TqGenVisibilityBeginner, cache = TqGenCacheWriteThrough, nameSpace = TqGenNameSpaceCustom;
    uint32_t pollingTime = 0;
    bool tlLocked = false, streamable = false;
    std::vector<std::string> selected, invalidators, variables;
    struct Entry {
        std::string name, displayName;
        uint32_t value = 0;
        int32_t nameSpace = TqGenNameSpaceCustom;
    };
    std::vector<Entry> entries;
    // Where the value lies when not in a register: a chunk's data, or an event's (header included).
    struct Mapping {
        bool event = false;
        uint32_t id = 0, address = 0;
        size_t length = 0;
        int32_t endianness = TqGenEndiannessLittle;
        bool adjust = true;
    };
    std::optional<Mapping> mapping;
};

struct GenApiFactory::Request {
    Kind kind = Kind::Integer;
    ITqRegister* reg = nullptr;
    bool limits = false;
    int64_t intMin = 0, intMax = 0, intInc = 1;
    double floatMin = 0, floatMax = 0;
    std::string formula, valueFeature, from, to;
};

struct GenApiFactory::Feature {
    Kind kind = Kind::Integer;
    int scope = kDevice;
    Pending a;
    bool hasRegister = false;
    uint32_t address = 0, length = 0;
    bool readable = true, writable = true;
    Request r;   // its register pointer is not kept
};


}  // namespace TqSoftDevice
