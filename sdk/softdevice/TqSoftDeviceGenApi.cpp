// The software device's GenApi factory (see TqSoftDeviceGenApi.h): the pending feature, the checks
// of the Create operations, and the merge of the scopes' features into nodes of the description.
#include "TqSoftDeviceGenApi.h"

#include "TqSoftDeviceGEV.h"

#include "TqGenNodeMap.h"
#include "TqText.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cmath>
#include <map>

namespace TqSoftDevice {

namespace {

using TqEngine::FeatureNode;

using TqText::Utf8;

TqResult Failed(uint32_t aCode, const std::string& aWhy) { return TqResult(aCode, TqString(aWhy.c_str())); }

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A GenICam name: a letter, then letters, digits and underscores.
bool IsName(const std::string& aText) {
    return !aText.empty() && IsLetter(aText[0]) &&
           std::all_of(aText.begin(), aText.end(), [](char c) { return IsLetter(c) || IsDigit(c) || c == '_'; });
}

bool Invented(const std::string& aName) { return aName.rfind(kInventedPrefix, 0) == 0; }

std::vector<std::string> Levels(const std::string& aPath) {
    std::vector<std::string> levels(1);
    for (char c : aPath)
        if (c == '\\') levels.emplace_back();
        else levels.back() += c;
    return levels;
}

// The enumerations' spellings in the description, by value.
const char* const kAccess[] = {"RO", "RW", "WO", "NI", "NA"};
const char* const kVisibility[] = {"Beginner", "Expert", "Guru", "Invisible"};
const char* const kRepresentation[] = {"Linear",    "Logarithmic", "Boolean",   "PureNumber",
                                       "HexNumber", "IPV4Address", "MACAddress"};
const char* const kCache[] = {"WriteThrough", "WriteAround", "NoCache"};

template <size_t N>
bool Within(int32_t aValue, const char* const (&)[N]) {
    return aValue >= 0 && size_t(aValue) < N;
}

// Words of a name for people: "WidthMax" "Width Max", "GevSCPSPacketSize" "Gev SCPS Packet Size".
std::string Spaced(const std::string& aName) {
    std::string out;
    for (size_t i = 0; i < aName.size(); ++i) {
        const char c = aName[i];
        if (c == '_') {
            if (!out.empty() && out.back() != ' ') out += ' ';
            continue;
        }
        const bool upper = c >= 'A' && c <= 'Z';
        if (upper && i > 0 && !out.empty() && out.back() != ' ') {
            const char before = aName[i - 1];
            const bool afterLower = (before >= 'a' && before <= 'z') || IsDigit(before);
            const bool acronymEnds = before >= 'A' && before <= 'Z' && i + 1 < aName.size() && aName[i + 1] >= 'a' &&
                                     aName[i + 1] <= 'z';
            if (afterLower || acronymEnds) out += ' ';
        }
        out += c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// A feature's display name from its name: the prefix of the innermost "...Control" category of its
// path taken off ("Type" for DeviceType in DeviceControl), then words.
std::string DerivedDisplayName(const std::string& aName, const std::string& aCategory) {
    std::string name = aName;
    const std::vector<std::string> levels = Levels(aCategory);
    for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
        static const std::string kControl = "Control";
        if (level->size() <= kControl.size() || level->compare(level->size() - kControl.size(), kControl.size(), kControl))
            continue;
        const std::string prefix = level->substr(0, level->size() - kControl.size());
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            !(name[prefix.size()] >= 'a' && name[prefix.size()] <= 'z'))
            name.erase(0, prefix.size());
        break;
    }
    return Spaced(name);
}

std::string Number(double aValue) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, aValue);
    return error == std::errc() ? std::string(text, end) : std::to_string(aValue);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The pending feature and what a Create records of it.

namespace {

bool IsRegisterBound(GenApiFactory::Kind aKind) { return aKind <= GenApiFactory::Kind::Enumeration; }
bool IsFloat(GenApiFactory::Kind aKind) {
    return aKind == GenApiFactory::Kind::Float || aKind == GenApiFactory::Kind::SwissKnife ||
           aKind == GenApiFactory::Kind::Converter;
}
bool IsNumber(GenApiFactory::Kind aKind) {
    using K = GenApiFactory::Kind;
    return aKind == K::Integer || aKind == K::Float || aKind >= K::IntSwissKnife;
}

const char* KindName(GenApiFactory::Kind aKind) {
    static const char* const kNames[] = {"an Integer", "a Float", "a String", "a Register", "a Boolean", "a Command",
                                         "an Enumeration", "an IntSwissKnife", "a SwissKnife", "an IntConverter",
                                         "a Converter"};
    return kNames[int(aKind)];
}

std::string ScopeName(int aScope) {
    return aScope == GenApiFactory::kDevice ? "the event sinks" : "stream source " + std::to_string(aScope);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Opening, closing, setters.

GenApiFactory::GenApiFactory(TqSoftDeviceGEV& aDevice) : mDevice(aDevice) {}

namespace {

// The nodes of the device's own description with aSources channels; aEverything: with every part a
// start may add (chunks, user sets, multi-part), else with none of them.
std::unique_ptr<TqGenICamLib::NodeMap> OwnNodes(uint32_t aSources, bool aEverything) {
    TqEngine::DeviceConfig config;
    config.streamChannels = aSources;
    auto description = std::make_shared<TqEngine::Description>();
    if (aEverything) {
        description->chunkBase = TqEngine::Reg::kReservedBegin;
        description->chunkEntries = {{1, "Chunk"}};
        description->userSetBase = TqEngine::Reg::kReservedBegin + 0x100;
        description->userSetCount = 1;
        description->multiPart = true;
    }
    config.description = std::move(description);
    const std::string xml = TqEngine::Device(config).Xml();
    std::unique_ptr<TqGenICamLib::NodeMap> map;
    TqGenICamLib::NodeMap::Load(xml.data(), xml.size(), nullptr, map);
    return map;
}

}  // namespace

void GenApiFactory::Begin(uint32_t aSources) {
    // The names of the device's own nodes with this many channels, and the categories a start may
    // give it (a feature joins those as they are).
    std::set<std::string> own, categories;
    std::map<std::string, uint8_t> features;
    std::map<std::string, std::set<std::string>> entries;
    using TqGenICamLib::Kind;
    if (const auto map = OwnNodes(aSources, false))
        for (const auto& node : map->Nodes()) {
            if (node->kind != Kind::EnumEntry) own.insert(node->name);
            if (node->kind != Kind::Category && node->kind != Kind::Port && node->kind != Kind::EnumEntry)
                features[node->name] = uint8_t(node->kind);
            for (const auto& entry : node->entries) entries[node->name].insert(entry->name);
        }
    if (const auto map = OwnNodes(aSources, true))
        for (const auto& node : map->Nodes())
            if (node->kind == Kind::Category) categories.insert(node->name);
    own.insert(categories.begin(), categories.end());
    std::lock_guard guard(mLock);
    mSources = aSources;
    mOwnNames = std::move(own);
    mOwnCategories = std::move(categories);
    mOwnFeatures = std::move(features);
    mOwnEntries = std::move(entries);
    mPatches.clear();
    mJoined.clear();
    mFeatures.clear();
    mConflicts.clear();
    mNodes.clear();
    mTopCategories.clear();
    mSourceSelected.clear();
    mStreamable.clear();
}

GenApiFactory::Opened GenApiFactory::Open(int aScope) {
    std::lock_guard guard(mLock);
    mOpen = true;
    mScope = aScope;
    mPending = std::make_unique<Pending>();
    return Opened(*this);
}

void GenApiFactory::Close() {
    std::lock_guard guard(mLock);
    mOpen = false;
    mPending.reset();
}


template <class Set>
void GenApiFactory::Record(Set aSet) {
    std::lock_guard guard(mLock);
    if (mOpen) aSet(*mPending);
}

void GenApiFactory::SetName(const TqString& aName) {
    Record([&](Pending& p) { p.name = Utf8(aName); });
}
void GenApiFactory::SetDisplayName(const TqString& aDisplayName) {
    Record([&](Pending& p) { p.displayName = Utf8(aDisplayName); });
}
void GenApiFactory::SetCategory(const TqString& aCategory, const TqString& aDisplayName) {
    Record([&](Pending& p) {
        p.category = Utf8(aCategory);
        p.categoryDisplayName = Utf8(aDisplayName);
    });
}
void GenApiFactory::SetCategory(const TqString& aCategory) {
    Record([&](Pending& p) {
        p.category = Utf8(aCategory);
        p.categoryDisplayName.clear();
    });
}
void GenApiFactory::SetDescription(const TqString& aDescription) {
    Record([&](Pending& p) { p.description = Utf8(aDescription); });
}
void GenApiFactory::SetToolTip(const TqString& aToolTip) {
    Record([&](Pending& p) { p.toolTip = Utf8(aToolTip); });
}
void GenApiFactory::SetAccessMode(TqGenAccessMode aAccessMode) {
    Record([&](Pending& p) { p.access = aAccessMode; });
}
void GenApiFactory::SetRepresentation(TqGenRepresentation aRepresentation) {
    Record([&](Pending& p) { p.representation = aRepresentation; });
}
void GenApiFactory::SetVisibility(TqGenVisibility aVisibility) {
    Record([&](Pending& p) { p.visibility = aVisibility; });
}
void GenApiFactory::SetCachable(TqGenCache aCache) {
    Record([&](Pending& p) { p.cache = aCache; });
}
void GenApiFactory::SetPollingTime(uint32_t aPollingTime) {
    Record([&](Pending& p) { p.pollingTime = aPollingTime; });
}
void GenApiFactory::SetNameSpace(TqGenNameSpace aNameSpace) {
    Record([&](Pending& p) { p.nameSpace = aNameSpace; });
}
void GenApiFactory::SetTLLocked(bool aLocked) {
    Record([&](Pending& p) { p.tlLocked = aLocked; });
}
void GenApiFactory::SetStreamable(bool aStreamable) {
    Record([&](Pending& p) { p.streamable = aStreamable; });
}
void GenApiFactory::SetUnit(const TqString& aUnit) {
    Record([&](Pending& p) { p.unit = Utf8(aUnit); });
}
void GenApiFactory::SetPValue(const TqString& aFeatureName) {
    Record([&](Pending& p) { p.value = Utf8(aFeatureName); });
}
void GenApiFactory::SetPIsAvailable(const TqString& aFeatureName) {
    Record([&](Pending& p) { p.isAvailable = Utf8(aFeatureName); });
}
void GenApiFactory::SetPIsLocked(const TqString& aFeatureName) {
    Record([&](Pending& p) { p.isLocked = Utf8(aFeatureName); });
}
void GenApiFactory::SetPMin(const TqString& aFeatureName) {
    Record([&](Pending& p) { p.min = Utf8(aFeatureName); });
}
void GenApiFactory::SetPMax(const TqString& aFeatureName) {
    Record([&](Pending& p) { p.max = Utf8(aFeatureName); });
}
void GenApiFactory::SetPInc(const TqString& aFeatureName) {
    Record([&](Pending& p) { p.inc = Utf8(aFeatureName); });
}
void GenApiFactory::MapChunk(uint32_t aChunkID, uint32_t aAddress, size_t aLength, TqGenEndianness aEndianness) {
    Record([&](Pending& p) { p.mapping = Pending::Mapping{false, aChunkID, aAddress, aLength, aEndianness, false}; });
}
void GenApiFactory::MapEvent(uint32_t aEventID, uint32_t aAddress, size_t aLength, TqGenEndianness aEndianness,
                             bool aAdjustAddress) {
    Record([&](Pending& p) {
        p.mapping = Pending::Mapping{true, aEventID, aAddress, aLength, aEndianness, aAdjustAddress};
    });
}
void GenApiFactory::AddSelected(const TqString& aFeatureName) {
    Record([&](Pending& p) { p.selected.push_back(Utf8(aFeatureName)); });
}
void GenApiFactory::AddInvalidator(const TqString& aFeatureName) {
    Record([&](Pending& p) { p.invalidators.push_back(Utf8(aFeatureName)); });
}
void GenApiFactory::AddVariable(const TqString& aFeatureName) {
    Record([&](Pending& p) { p.variables.push_back(Utf8(aFeatureName)); });
}
void GenApiFactory::AddEnumEntry(const TqString& aName, uint32_t aValue, const TqString& aDisplayName,
                                 TqGenNameSpace aNameSpace) {
    Record([&](Pending& p) { p.entries.push_back({Utf8(aName), Utf8(aDisplayName), aValue, aNameSpace}); });
}
void GenApiFactory::AddEnumEntry(const TqString& aName, uint32_t aValue) {
    Record([&](Pending& p) { p.entries.push_back({Utf8(aName), "", aValue, TqGenNameSpaceCustom}); });
}

// ---------------------------------------------------------------------------------------------
// Creation.

namespace {

GenApiFactory::Request For(GenApiFactory::Kind aKind, ITqRegister* aRegister) {
    GenApiFactory::Request r;
    r.kind = aKind;
    r.reg = aRegister;
    return r;
}

}  // namespace

TqResult GenApiFactory::CreateInteger(ITqRegister* aRegister) {
    Request r = For(Kind::Integer, aRegister);
    return Create(r);
}
TqResult GenApiFactory::CreateInteger(ITqRegister* aRegister, int64_t aMin, int64_t aMax, int64_t aInc) {
    Request r = For(Kind::Integer, aRegister);
    r.limits = true;
    r.intMin = aMin;
    r.intMax = aMax;
    r.intInc = aInc;
    return Create(r);
}
TqResult GenApiFactory::CreateFloat(ITqRegister* aRegister) {
    Request r = For(Kind::Float, aRegister);
    return Create(r);
}
TqResult GenApiFactory::CreateFloat(ITqRegister* aRegister, double aMin, double aMax) {
    Request r = For(Kind::Float, aRegister);
    r.limits = true;
    r.floatMin = aMin;
    r.floatMax = aMax;
    return Create(r);
}
TqResult GenApiFactory::CreateString(ITqRegister* aRegister) {
    Request r = For(Kind::String, aRegister);
    return Create(r);
}
TqResult GenApiFactory::CreateRegister(ITqRegister* aRegister) {
    Request r = For(Kind::Register, aRegister);
    return Create(r);
}
TqResult GenApiFactory::CreateBoolean(ITqRegister* aRegister) {
    Request r = For(Kind::Boolean, aRegister);
    return Create(r);
}
TqResult GenApiFactory::CreateCommand(ITqRegister* aRegister) {
    Request r = For(Kind::Command, aRegister);
    return Create(r);
}
TqResult GenApiFactory::CreateEnum(ITqRegister* aRegister) {
    Request r = For(Kind::Enumeration, aRegister);
    return Create(r);
}
TqResult GenApiFactory::CreateIntSwissKnife(const TqString& aFormula) {
    Request r = For(Kind::IntSwissKnife, nullptr);
    r.formula = Utf8(aFormula);
    return Create(r);
}
TqResult GenApiFactory::CreateFloatSwissKnife(const TqString& aFormula) {
    Request r = For(Kind::SwissKnife, nullptr);
    r.formula = Utf8(aFormula);
    return Create(r);
}
TqResult GenApiFactory::CreateIntConverter(const TqString& aValueFeatureName, const TqString& aFromFormula,
                                           const TqString& aToFormula) {
    Request r = For(Kind::IntConverter, nullptr);
    r.valueFeature = Utf8(aValueFeatureName);
    r.from = Utf8(aFromFormula);
    r.to = Utf8(aToFormula);
    return Create(r);
}
TqResult GenApiFactory::CreateFloatConverter(const TqString& aValueFeatureName, const TqString& aFromFormula,
                                             const TqString& aToFormula) {
    Request r = For(Kind::Converter, nullptr);
    r.valueFeature = Utf8(aValueFeatureName);
    r.from = Utf8(aFromFormula);
    r.to = Utf8(aToFormula);
    return Create(r);
}

// The register map of the device's current start holds it (or a test admitted it).
// Whether aRegister is one of this start's register map (compared as a pointer: nothing of a register
// from elsewhere is called).
bool GenApiFactory::OfDevice(const ITqRegister* aRegister) const {
    ITqRegisterMap* map = mDevice.GetRegisterMap();
    if (!map) return false;
    const size_t count = map->GetRegisterCount();
    for (size_t n = 0; n < count; ++n)
        if (map->GetRegisterByIndex(n) == aRegister) return true;
    return false;
}

// The first reason the pending feature cannot be created as aRequest asks, or nothing.
std::string GenApiFactory::Check(const Pending& a, const Request& aRequest) const {
    const std::string& name = a.name;
    if (!IsName(name)) return "'" + name + "' is not a GenICam name (a letter, then letters, digits and underscores)";
    if (Invented(name)) return "names beginning with " + std::string(kInventedPrefix) + " are the device's own";
    if (mOwnNames.count(name)) return "'" + name + "' is a node of the device's own";
    if (!Within(a.access, kAccess)) return "access mode " + std::to_string(a.access) + " is no TqGenAccessMode";
    if (!Within(a.visibility, kVisibility)) return "visibility " + std::to_string(a.visibility) + " is no TqGenVisibility";
    if (!Within(a.cache, kCache)) return "cache mode " + std::to_string(a.cache) + " is no TqGenCache";
    if (a.nameSpace != TqGenNameSpaceStandard && a.nameSpace != TqGenNameSpaceCustom)
        return "namespace " + std::to_string(a.nameSpace) + " is neither Standard nor Custom";
    const bool floatKind = IsFloat(aRequest.kind);
    if (!Within(a.representation, kRepresentation) ||
        (floatKind && a.representation != TqGenRepresentationLinear &&
         a.representation != TqGenRepresentationLogarithmic && a.representation != TqGenRepresentationPureNumber))
        return "representation " + std::to_string(a.representation) + " is none of " + KindName(aRequest.kind) +
               " feature";
    if (!a.category.empty())
        for (const std::string& level : Levels(a.category))
            if (!IsName(level) || Invented(level) || (mOwnNames.count(level) && !mOwnCategories.count(level)))
                return "category '" + a.category + "' is no path of categories (Level1\\Level2)";

    const Kind kind = aRequest.kind;
    if (a.mapping) {
        const Pending::Mapping& m = *a.mapping;
        const char* what = m.event ? "an event" : "a chunk";
        if (!IsRegisterBound(kind) || kind == Kind::Command)
            return std::string(KindName(kind)) + " feature cannot be mapped to " + what;
        if (aRequest.reg) return "it is mapped to " + std::string(what) + " and has a register as well";
        if (!a.value.empty()) return "it is mapped to " + std::string(what) + " and has a pValue as well";
        if (m.event && m.id > 0xFFFF) return "event IDs have 16 bits, not " + std::to_string(m.id);
        if (m.endianness != TqGenEndiannessLittle && m.endianness != TqGenEndiannessBig)
            return "endianness " + std::to_string(m.endianness) + " is neither Little nor Big";
        const bool integral = kind == Kind::Integer || kind == Kind::Boolean || kind == Kind::Enumeration;
        const bool fits = integral ? m.length >= 1 && m.length <= 8
                          : kind == Kind::Float ? m.length == 4 || m.length == 8
                                                : m.length >= 1 && m.length <= UINT32_MAX;
        if (!fits)
            return "a length of " + std::to_string(m.length) + " bytes does not suit " + KindName(kind) + " feature" +
                   (integral ? " (1 to 8)" : kind == Kind::Float ? " (4 or 8)" : " (at least 1)");
        if (uint64_t(m.address) + (m.event && m.adjust ? 16 : 0) + m.length > UINT32_MAX)
            return "the mapped bytes lie beyond 4 GiB";
    }
    if (IsRegisterBound(kind) && !a.mapping) {
        const ITqRegister* reg = aRequest.reg;
        if (reg && !a.value.empty()) return "it has both a register and a pValue";
        if (!reg && kind == Kind::Register) return "a Register feature needs a register or a mapping";
        if (!reg && a.value.empty()) return "it has neither a register, a mapping nor a pValue";
        if (reg) {
            if (!OfDevice(reg)) return "the register is not one of this device's";
            const size_t length = reg->GetLength();
            if (kind == Kind::String || kind == Kind::Register) {
                if (!reg->IsArrayOfBytes() || length == 0)
                    return std::string(KindName(kind)) + " feature needs a register made as an array of bytes";
            } else if (length != 4 && length != 8) {
                return std::string(KindName(kind)) + " feature needs a register of 4 or 8 bytes, not " +
                       std::to_string(length);
            }
        }
    }
    if (aRequest.limits && kind == Kind::Integer) {
        if (aRequest.intMin > aRequest.intMax)
            return "the minimum " + std::to_string(aRequest.intMin) + " is above the maximum " +
                   std::to_string(aRequest.intMax);
        if (aRequest.intInc < 1) return "the increment " + std::to_string(aRequest.intInc) + " is not positive";
    }
    if (aRequest.limits && kind == Kind::Float) {
        if (!std::isfinite(aRequest.floatMin) || !std::isfinite(aRequest.floatMax))
            return "the limits are not finite numbers";
        if (aRequest.floatMin > aRequest.floatMax)
            return "the minimum " + Number(aRequest.floatMin) + " is above the maximum " + Number(aRequest.floatMax);
    }
    if (kind == Kind::Enumeration) {
        if (a.entries.empty()) return "an Enumeration needs entries (AddEnumEntry)";
        for (size_t n = 0; n < a.entries.size(); ++n) {
            const Pending::Entry& e = a.entries[n];
            if (!IsName(e.name)) return "entry '" + e.name + "' is not a GenICam name";
            if (e.nameSpace != TqGenNameSpaceStandard && e.nameSpace != TqGenNameSpaceCustom)
                return "entry " + e.name + ": namespace " + std::to_string(e.nameSpace) + " is neither Standard nor Custom";
            for (size_t m = 0; m < n; ++m) {
                if (a.entries[m].name == e.name) return "two entries named " + e.name;
                if (a.entries[m].value == e.value)
                    return "entries " + a.entries[m].name + " and " + e.name + " have one value, " + std::to_string(e.value);
            }
        }
    }
    if ((kind == Kind::IntSwissKnife || kind == Kind::SwissKnife) && aRequest.formula.empty())
        return "the formula is empty";
    if (kind == Kind::IntConverter || kind == Kind::Converter) {
        if (aRequest.valueFeature.empty()) return "the value feature's name is empty";
        if (aRequest.from.empty() || aRequest.to.empty()) return "a formula is empty";
    }
    return {};
}

TqResult GenApiFactory::Create(Request& aRequest) {
    std::lock_guard guard(mLock);
    if (!mOpen)
        return Failed(TQ_STATE_ERROR, "features are created only inside OnCreateCustomGenApiFeatures and "
                                      "CreateGenApiFeatures, while the device starts");
    // The pending feature is consumed, whatever comes of it.
    Pending a = std::move(*mPending);
    *mPending = Pending();
    if (a.name.empty()) return Failed(TQ_NOT_INITIALIZED, "the feature has no name (SetName)");
    const std::string why = Check(a, aRequest);
    if (!why.empty()) return Failed(TQ_INVALID_PARAMETER, a.name + ": " + why);

    Feature f;
    f.kind = aRequest.kind;
    f.scope = mScope;
    f.a = std::move(a);
    if (aRequest.reg) {
        f.hasRegister = true;
        f.address = aRequest.reg->GetAddress();
        f.length = uint32_t(aRequest.reg->GetLength());
        f.readable = aRequest.reg->IsReadable();
        f.writable = aRequest.reg->IsWritable();
    }
    f.r = aRequest;
    f.r.reg = nullptr;
    // A name twice in a scope, in the device's scope and a source's, or with two kinds: the start fails.
    for (const Feature& other : mFeatures) {
        if (other.a.name != f.a.name) continue;
        if (other.kind != f.kind)
            mConflicts.push_back("'" + f.a.name + "' is " + KindName(other.kind) + " feature of " +
                                 ScopeName(other.scope) + " and " + KindName(f.kind) + " feature of " + ScopeName(f.scope));
        else if (other.scope == f.scope)
            mConflicts.push_back("'" + f.a.name + "' is created twice by " + ScopeName(f.scope));
        else if (other.scope == kDevice || f.scope == kDevice)
            mConflicts.push_back("'" + f.a.name + "' is created by the event sinks and by " +
                                 ScopeName(std::max(other.scope, f.scope)));
        else
            continue;
        return TqResult(TQ_OK);
    }
    mFeatures.push_back(std::move(f));
    return TqResult(TQ_OK);
}

// ---------------------------------------------------------------------------------------------
// Patches of the device's own features.

// What a patch operation changes, and on which kinds of node it may.
struct GenApiFactory::PatchRule {
    const char* operation;
    const char* tag;
    std::vector<std::string> replaced;   // none: the tag is appended
    bool (*suits)(TqGenICamLib::Kind);
    const char* kinds;                   // for the refusal
};

namespace {

using NodeKind = TqGenICamLib::Kind;
bool AnyKind(NodeKind) { return true; }
bool HasLimits(NodeKind k) { return k == NodeKind::Integer || k == NodeKind::Float; }
bool IsIntegerNode(NodeKind k) { return k == NodeKind::Integer; }
bool HasValue(NodeKind k) {
    return k == NodeKind::Integer || k == NodeKind::Float || k == NodeKind::Boolean || k == NodeKind::Command ||
           k == NodeKind::Enumeration || k == NodeKind::String || k == NodeKind::IntConverter ||
           k == NodeKind::Converter;
}

const GenApiFactory::PatchRule kInvalidator{"AddInvalidatorTo", "pInvalidator", {}, AnyKind, ""};
const GenApiFactory::PatchRule kAvailable{"SetPIsAvailableFor", "pIsAvailable", {"pIsAvailable"}, AnyKind, ""};
const GenApiFactory::PatchRule kLocked{"SetPIsLockedFor", "pIsLocked", {"pIsLocked"}, AnyKind, ""};
const GenApiFactory::PatchRule kValue{"SetPValueFor", "pValue", {"pValue", "Value"}, HasValue,
                                      "a feature with a value (Integer, Float, Boolean, Command, Enumeration, "
                                      "String, Converter)"};
const GenApiFactory::PatchRule kMin{"SetPMinFor", "pMin", {"Min", "pMin"}, HasLimits, "an Integer or a Float"};
const GenApiFactory::PatchRule kMax{"SetPMaxFor", "pMax", {"Max", "pMax"}, HasLimits, "an Integer or a Float"};
const GenApiFactory::PatchRule kInc{"SetPIncFor", "pInc", {"Inc", "pInc"}, IsIntegerNode, "an Integer"};

}  // namespace

TqResult GenApiFactory::Patch(const PatchRule& aRule, const TqString& aStandard, const TqString* aEntry,
                              const TqString& aFeature) {
    const std::string standard = Utf8(aStandard), entry = aEntry ? Utf8(*aEntry) : "", feature = Utf8(aFeature);
    const std::string who = std::string(aRule.operation) + "(" + standard + "): ";
    std::lock_guard guard(mLock);
    if (!mOpen)
        return Failed(TQ_STATE_ERROR, who + "the device's features are linked only inside the feature callbacks, "
                                            "while the device starts");
    const auto own = mOwnFeatures.find(standard);
    if (own == mOwnFeatures.end()) return Failed(TQ_INVALID_PARAMETER, who + "the device makes no such feature");
    if (aEntry) {
        const auto entries = mOwnEntries.find(standard);
        if (entries == mOwnEntries.end() || !entries->second.count(entry))
            return Failed(TQ_INVALID_PARAMETER, who + "the device's " + standard + " has no entry '" + entry + "'");
    } else if (!aRule.suits(NodeKind(own->second))) {
        return Failed(TQ_INVALID_PARAMETER, who + "it is " + TqGenICamLib::KindName(NodeKind(own->second)) +
                                                ", not " + aRule.kinds);
    }
    if (!IsName(feature)) return Failed(TQ_INVALID_PARAMETER, who + "'" + feature + "' is not a GenICam name");
    TqEngine::NodePatch patch{standard, entry, aRule.tag, feature, aRule.replaced, aRule.replaced.empty()};
    const auto same = std::find_if(mPatches.begin(), mPatches.end(), [&](const TqEngine::NodePatch& p) {
        return !patch.append && p.node == patch.node && p.entry == patch.entry && p.tag == patch.tag;
    });
    if (same != mPatches.end()) *same = std::move(patch);
    else mPatches.push_back(std::move(patch));
    return TqResult(TQ_OK);
}

TqResult GenApiFactory::AddInvalidatorTo(const TqString& aStandardFeatureName, const TqString& aInvalidatorFeatureName) {
    return Patch(kInvalidator, aStandardFeatureName, nullptr, aInvalidatorFeatureName);
}
TqResult GenApiFactory::SetPIsAvailableFor(const TqString& aStandardFeatureName, const TqString& aFeatureName) {
    return Patch(kAvailable, aStandardFeatureName, nullptr, aFeatureName);
}
TqResult GenApiFactory::SetPIsAvailableForEnumEntry(const TqString& aStandardFeatureName,
                                                    const TqString& aEnumEntryName, const TqString& aFeatureName) {
    return Patch(kAvailable, aStandardFeatureName, &aEnumEntryName, aFeatureName);
}
TqResult GenApiFactory::SetPIsLockedFor(const TqString& aStandardFeatureName, const TqString& aFeatureName) {
    return Patch(kLocked, aStandardFeatureName, nullptr, aFeatureName);
}
TqResult GenApiFactory::SetPValueFor(const TqString& aStandardFeatureName, const TqString& aFeatureName) {
    return Patch(kValue, aStandardFeatureName, nullptr, aFeatureName);
}
TqResult GenApiFactory::SetPMinFor(const TqString& aStandardFeatureName, const TqString& aFeatureName) {
    return Patch(kMin, aStandardFeatureName, nullptr, aFeatureName);
}
TqResult GenApiFactory::SetPMaxFor(const TqString& aStandardFeatureName, const TqString& aFeatureName) {
    return Patch(kMax, aStandardFeatureName, nullptr, aFeatureName);
}
TqResult GenApiFactory::SetPIncFor(const TqString& aStandardFeatureName, const TqString& aFeatureName) {
    return Patch(kInc, aStandardFeatureName, nullptr, aFeatureName);
}

// ---------------------------------------------------------------------------------------------
// The merge: features into nodes.

namespace {

constexpr uint32_t kEventHeader = 16;   // the bytes an event's port shows before its data

// The port of a chunk's or an event's ID: its name and its ID as the description writes it.
std::string PortId(const GenApiFactory::Pending::Mapping& aMapping) {
    char id[16];
    std::snprintf(id, sizeof id, aMapping.event ? "%04X" : "%08X", unsigned(aMapping.id));
    return id;
}
std::string PortName(const GenApiFactory::Pending::Mapping& aMapping) {
    return kInventedPrefix + std::string(aMapping.event ? "Event" : "Chunk") + PortId(aMapping) + "Port";
}
std::string MappingText(const std::optional<GenApiFactory::Pending::Mapping>& aMapping) {
    if (!aMapping) return {};
    const auto& m = *aMapping;
    return PortName(m) + ' ' + std::to_string(m.address) + ' ' + std::to_string(m.length) + ' ' +
           std::to_string(m.endianness) + (m.event && m.adjust ? "+" : "");
}

// The features of one name: the first one's attributes, and the one of each source that made it.
struct Merged {
    const GenApiFactory::Feature* first = nullptr;
    std::vector<const GenApiFactory::Feature*> bySource;   // sources.size() entries; null: not made there
    bool scoped = false;                                   // made by sources of a device with several
};

class Merger {
public:
    Merger(uint32_t aSources, std::vector<FeatureNode>& aNodes, std::vector<std::string>& aConflicts)
        : mSources(aSources), mNodes(aNodes), mConflicts(aConflicts) {}

    // One value per source: aTexts[n] for source n (sources without one take the first's), as a
    // constant when they agree, else as a node that picks the value of the source SourceSelector names.
    std::string PerSource(const std::string& aName, const std::vector<std::string>& aTexts, bool aFloat) {
        std::string first;
        bool same = true;
        for (const std::string& t : aTexts) {
            if (t.empty()) continue;
            if (first.empty()) first = t;
            same = same && t == first;
        }
        if (same) return first;
        std::string formula = "0";
        for (size_t n = aTexts.size(); n-- > 0;)
            formula = "(S = " + std::to_string(n) + ") ? " + (aTexts[n].empty() ? first : aTexts[n]) + " : (" +
                      formula + ")";
        FeatureNode node;
        node.kind = aFloat ? "SwissKnife" : "IntSwissKnife";
        node.name = aName;
        node.visibility = "Invisible";
        node.variables = {{"S", "SourceSelectorReg"}};
        node.formula = formula;
        mNodes.push_back(std::move(node));
        return aName;
    }

    // Whether the feature is available: its pIsAvailable, and with several sources whether
    // SourceSelector names one that made it.
    std::string Availability(const Merged& m) {
        if (!m.scoped || std::all_of(m.bySource.begin(), m.bySource.end(),
                                     [](const auto* x) { return x && x->a.isAvailable.empty(); }))
            return m.first->a.isAvailable;
        FeatureNode node;
        node.kind = "IntSwissKnife";
        node.name = kInventedPrefix + m.first->a.name + "_Available";
        node.visibility = "Invisible";
        node.variables = {{"S", "SourceSelectorReg"}};
        std::string formula = "0";
        for (size_t n = m.bySource.size(); n-- > 0;) {
            std::string term = m.bySource[n] ? "1" : "0";
            if (m.bySource[n] && !m.bySource[n]->a.isAvailable.empty()) {
                const std::string variable = "A" + std::to_string(n);
                node.variables.emplace_back(variable, m.bySource[n]->a.isAvailable);
                term = "(" + variable + " <> 0)";
            }
            formula = "(S = " + std::to_string(n) + ") ? " + term + " : (" + formula + ")";
        }
        node.formula = formula;
        mNodes.push_back(std::move(node));
        return mNodes.back().name;
    }

    // Texts of the sources that made the feature (one per source, empty where none).
    template <class Get>
    std::vector<std::string> Each(const Merged& m, Get aGet) {
        std::vector<std::string> texts;
        if (!m.scoped) return {aGet(*m.first)};
        for (const auto* f : m.bySource) texts.push_back(f ? aGet(*f) : std::string());
        return texts;
    }

    // The sources that made the feature must agree on aWhat.
    template <class Get>
    bool Agree(const Merged& m, const char* aWhat, Get aGet) {
        for (const auto* f : m.bySource)
            if (f && aGet(*f) != aGet(*m.first)) {
                mConflicts.push_back("'" + m.first->a.name + "': stream sources " + std::to_string(m.first->scope) +
                                     " and " + std::to_string(f->scope) + " give it different " + aWhat);
                return false;
            }
        return true;
    }

    // The nodes of one feature, made of what its sources gave.
    void Emit(const Merged& m);

private:
    bool SourcesAgree(const Merged& m);
    FeatureNode OwnNode(const Merged& m);
    void ValueOf(const Merged& m, FeatureNode& node);
    void DeviceRegister(const Merged& m, FeatureNode& reg);
    void MappedRegister(const Merged& m, FeatureNode& reg);
    void Bounds(const Merged& m, FeatureNode& node);
    bool Entries(const Merged& m, FeatureNode& node);

    uint32_t mSources;
    std::vector<FeatureNode>& mNodes;
    std::vector<std::string>& mConflicts;
};

// What the sources that made the feature must share; false (a conflict noted) when they do not.
bool Merger::SourcesAgree(const Merged& m) {
    const GenApiFactory::Pending& a = m.first->a;
    if (!Agree(m, "pValues", [](const auto& x) { return x.a.value; }) ||
        !Agree(m, "mappings", [](const auto& x) { return MappingText(x.a.mapping); }) ||
        !Agree(m, "register lengths", [](const auto& x) { return x.length; }) ||
        !Agree(m, "formulas", [](const auto& x) { return x.r.formula + '\n' + x.r.from + '\n' + x.r.to + '\n' + x.r.valueFeature; }) ||
        !Agree(m, "variables", [](const auto& x) { return x.a.variables; }) ||
        !Agree(m, "limits", [](const auto& x) { return std::tuple(x.r.limits, x.a.min, x.a.max, x.a.inc); }))
        return false;
    if (!a.selected.empty() && !Agree(m, "registers (a selector of several sources has one register)",
                                      [](const auto& x) { return x.address; }))
        return false;
    return true;
}

// The feature's own node, with what every kind has (texts, availability, lock, access).
FeatureNode Merger::OwnNode(const Merged& m) {
    const GenApiFactory::Pending& a = m.first->a;
    const GenApiFactory::Kind kind = m.first->kind;
    const std::string invented = kInventedPrefix + a.name;
    FeatureNode node;
    node.name = a.name;
    node.standard = a.nameSpace == TqGenNameSpaceStandard;
    node.toolTip = a.toolTip;
    node.description = a.description;
    node.displayName = a.displayName.empty() ? DerivedDisplayName(a.name, a.category) : a.displayName;
    node.visibility = kVisibility[a.visibility];
    node.isAvailable = Availability(m);
    if (a.tlLocked && !a.isLocked.empty()) {
        FeatureNode locked;
        locked.kind = "IntSwissKnife";
        locked.name = invented + "_Locked";
        locked.visibility = "Invisible";
        locked.variables = {{"T", "TLParamsLocked"}, {"L", a.isLocked}};
        locked.formula = "(T <> 0) || (L <> 0)";
        mNodes.push_back(std::move(locked));
        node.isLocked = invented + "_Locked";
    } else {
        node.isLocked = a.tlLocked ? "TLParamsLocked" : a.isLocked;
    }
    if (a.access != TqGenAccessModeReadWrite) node.imposedAccess = kAccess[a.access];
    node.streamable = a.streamable;
    node.selected = a.selected;
    if (IsNumber(kind)) {
        node.representation = kRepresentation[a.representation];
        node.unit = a.unit;
    }

    static const char* const kKinds[] = {"Integer", "Float",         "String",     "Register",     "Boolean",  "Command",
                                         "Enumeration", "IntSwissKnife", "SwissKnife", "IntConverter", "Converter"};
    node.kind = kKinds[int(kind)];
    return node;
}

// Where its value lies: a register node of the device's (the feature itself for strings and registers,
// else one beneath it), one on the port of its chunk or event, or another feature's value.
void Merger::ValueOf(const Merged& m, FeatureNode& node) {
    using K = GenApiFactory::Kind;
    const GenApiFactory::Feature& f = *m.first;
    const GenApiFactory::Pending& a = f.a;
    const K kind = f.kind;
    if (!f.hasRegister && !a.mapping) {
        node.invalidators = a.invalidators;
        if (IsRegisterBound(kind)) node.value = a.value;
        return;
    }
    FeatureNode own;
    FeatureNode& reg = (kind == K::String || kind == K::Register) ? node : own;
    if (&reg == &node) {
        node.kind = kind == K::String ? "StringReg" : "Register";
    } else {
        reg.kind = kind == K::Float ? "FloatReg" : "IntReg";
        reg.name = kInventedPrefix + a.name + "_Reg";
        reg.visibility = "Invisible";
        node.value = reg.name;
    }
    reg.invalidators = a.invalidators;
    reg.isSigned = kind == K::Integer && f.r.limits && f.r.intMin < 0;
    if (f.hasRegister) DeviceRegister(m, reg);
    else MappedRegister(m, reg);
    if (&reg != &node) mNodes.push_back(std::move(own));
}

// A register of the device's, at each source's address.
void Merger::DeviceRegister(const Merged& m, FeatureNode& reg) {
    const GenApiFactory::Feature& f = *m.first;
    const std::vector<std::string> addresses = Each(m, [](const auto& x) { return std::to_string(x.address); });
    const std::string address = PerSource(kInventedPrefix + f.a.name + "_Address", addresses, false);
    if (address == addresses[0] || address == std::to_string(f.address)) reg.address = f.address;
    else {
        reg.addressNode = address;
        reg.cachable = "NoCache";   // the register changes with SourceSelector
    }
    reg.length = f.length;
    reg.access = f.readable && f.writable ? "RW" : f.readable ? "RO" : "WO";
    if (reg.cachable.empty()) reg.cachable = kCache[f.a.cache];
    reg.pollingTime = f.a.pollingTime;
    for (const auto* x : m.bySource) reg.isSigned = reg.isSigned || (x && x->r.limits && x->r.intMin < 0);
}

// A register on the port of its chunk or event.
void Merger::MappedRegister(const Merged& m, FeatureNode& reg) {
    const GenApiFactory::Pending::Mapping& map = *m.first->a.mapping;
    reg.port = PortName(map);
    reg.address = uint64_t(map.address) + (map.event && map.adjust ? kEventHeader : 0);
    reg.length = int64_t(map.length);
    reg.access = "RO";
    reg.cachable = "NoCache";
    reg.littleEndian = map.endianness == TqGenEndiannessLittle;
}

// An Integer's or Float's bounds: the node that gives one, else the sources' constants.
void Merger::Bounds(const Merged& m, FeatureNode& node) {
    const GenApiFactory::Feature& f = *m.first;
    const GenApiFactory::Pending& a = f.a;
    const std::string invented = kInventedPrefix + a.name;
    const bool real = f.kind == GenApiFactory::Kind::Float;
    struct Side {
        FeatureNode::Bound* bound;
        std::string GenApiFactory::Pending::*node;
        const char* suffix;
    };
    for (const Side& side : {Side{&node.min, &GenApiFactory::Pending::min, "_Min"},
                             Side{&node.max, &GenApiFactory::Pending::max, "_Max"},
                             Side{&node.inc, &GenApiFactory::Pending::inc, "_Inc"}}) {
        if (real && side.bound == &node.inc) continue;
        if (!(a.*side.node).empty()) {
            *side.bound = {a.*side.node, true};
            continue;
        }
        if (!f.r.limits) continue;
        const auto constant = [&](const GenApiFactory::Feature& x) {
            if (side.bound == &node.min) return real ? Number(x.r.floatMin) : std::to_string(x.r.intMin);
            if (side.bound == &node.max) return real ? Number(x.r.floatMax) : std::to_string(x.r.intMax);
            return std::to_string(x.r.intInc);
        };
        const std::vector<std::string> texts = Each(m, constant);
        const std::string chosen = PerSource(invented + side.suffix, texts, real);
        *side.bound = {chosen, chosen == invented + side.suffix};
    }
}

// An Enumeration's entries: every source's, each available while SourceSelector names a source that
// has it; false (a conflict noted) when two sources give one entry two values.
bool Merger::Entries(const Merged& m, FeatureNode& node) {
    const GenApiFactory::Feature& f = *m.first;
    const GenApiFactory::Pending& a = f.a;
    const std::string invented = kInventedPrefix + a.name;
    std::vector<const GenApiFactory::Feature*> makers;
    if (m.scoped) {
        for (const auto* x : m.bySource) makers.push_back(x);
    } else {
        makers.push_back(&f);
    }
    std::vector<std::pair<GenApiFactory::Pending::Entry, std::vector<bool>>> entries;
    for (size_t n = 0; n < makers.size(); ++n) {
        if (!makers[n]) continue;
        for (const auto& e : makers[n]->a.entries) {
            auto it = std::find_if(entries.begin(), entries.end(), [&](const auto& x) { return x.first.name == e.name; });
            if (it == entries.end()) {
                entries.push_back({e, std::vector<bool>(makers.size())});
                it = entries.end() - 1;
            } else if (it->first.value != e.value) {
                mConflicts.push_back("'" + a.name + "': entry " + e.name + " has two values, " +
                                     std::to_string(it->first.value) + " and " + std::to_string(e.value));
                return false;
            }
            it->second[n] = true;
        }
    }
    for (const auto& [e, offered] : entries) {
        FeatureNode::Entry entry{e.name, e.displayName.empty() ? Spaced(e.name) : e.displayName, "",
                                 e.nameSpace == TqGenNameSpaceStandard, e.value};
        const bool everywhere = std::count(offered.begin(), offered.end(), true) ==
                                std::count_if(makers.begin(), makers.end(), [](const auto* x) { return x; });
        if (m.scoped && !everywhere) {
            std::vector<std::string> terms;
            for (bool o : offered) terms.push_back(o ? "1" : "0");
            entry.isAvailable = PerSource(invented + "_" + e.name + "_Available", terms, false);
        }
        node.entries.push_back(std::move(entry));
    }
    return true;
}

void Merger::Emit(const Merged& m) {
    using K = GenApiFactory::Kind;
    const K kind = m.first->kind;
    if (!SourcesAgree(m)) return;
    FeatureNode node = OwnNode(m);
    ValueOf(m, node);
    if (kind == K::Integer || kind == K::Float) Bounds(m, node);
    if (kind == K::Enumeration && !Entries(m, node)) return;
    if (kind >= K::IntSwissKnife) {   // formulas
        const GenApiFactory::Feature& f = *m.first;
        for (const std::string& variable : f.a.variables) node.variables.emplace_back(variable, variable);
        node.formula = f.r.formula;
        node.formulaFrom = f.r.from;
        node.formulaTo = f.r.to;
        node.value = f.r.valueFeature;
    }
    mNodes.push_back(std::move(node));
}

}  // namespace

bool GenApiFactory::Finish(std::string& aFailure) {
    std::lock_guard guard(mLock);
    std::vector<std::string> conflicts = mConflicts;
    std::vector<FeatureNode> nodes;
    std::vector<std::string> top, selected;
    std::vector<StreamableFeature> streamable;

    // The features of each name, in the order of their first creation.
    const bool several = mSources > 1;
    std::vector<Merged> merged;
    std::map<std::string, size_t> index;
    for (const Feature& f : mFeatures) {
        auto [it, added] = index.emplace(f.a.name, merged.size());
        if (added) {
            Merged m;
            m.first = &f;
            m.scoped = several && f.scope != kDevice;
            if (m.scoped) m.bySource.assign(mSources, nullptr);
            merged.push_back(std::move(m));
        }
        Merged& m = merged[it->second];
        if (m.scoped) m.bySource[size_t(f.scope)] = &f;
    }
    Merger merger(mSources, nodes, conflicts);
    std::set<std::string> ports;
    for (const Merged& m : merged) {
        merger.Emit(m);
        if (const auto& map = m.first->a.mapping; map && ports.insert(PortName(*map)).second) {
            FeatureNode port;
            port.kind = "Port";
            port.name = PortName(*map);
            (map->event ? port.eventId : port.chunkId) = PortId(*map);
            nodes.push_back(std::move(port));
        }
        if (m.scoped) selected.push_back(m.first->a.name);
        if (m.first->a.streamable && m.first->hasRegister) {
            StreamableFeature s{m.first->a.name, {}};
            if (!m.scoped) s.registers.push_back({m.first->scope, m.first->address, m.first->length});
            for (const Feature* f : m.bySource)
                if (f) s.registers.push_back({f->scope, f->address, f->length});
            streamable.push_back(std::move(s));
        }
    }

    // The categories of the features' paths: each level lists the next, the last the feature.
    // The device's own categories take the features as they are.
    std::vector<FeatureNode> categories;
    std::vector<std::pair<std::string, std::vector<std::string>>> joined;
    const auto category = [&](const std::string& aName) -> std::pair<FeatureNode*, std::vector<std::string>*> {
        if (mOwnCategories.count(aName)) {
            for (auto& [name, features] : joined)
                if (name == aName) return {nullptr, &features};
            joined.emplace_back(aName, std::vector<std::string>());
            return {nullptr, &joined.back().second};
        }
        for (FeatureNode& c : categories)
            if (c.name == aName) return {&c, &c.features};
        FeatureNode c;
        c.kind = "Category";
        c.name = aName;
        c.displayName = Spaced(aName);
        categories.push_back(std::move(c));
        return {&categories.back(), &categories.back().features};
    };
    const auto list = [](std::vector<std::string>& aList, const std::string& aName) {
        if (std::find(aList.begin(), aList.end(), aName) == aList.end()) aList.push_back(aName);
    };
    for (const Merged& m : merged) {
        const Pending& a = m.first->a;
        if (a.category.empty()) continue;
        const std::vector<std::string> levels = Levels(a.category);
        if (!mOwnCategories.count(levels[0])) list(top, levels[0]);
        for (size_t n = 0; n < levels.size(); ++n) {
            const auto [node, features] = category(levels[n]);
            list(*features, n + 1 < levels.size() ? levels[n + 1] : a.name);
            if (node && n + 1 == levels.size() && !a.categoryDisplayName.empty())
                node->displayName = a.categoryDisplayName;
        }
    }
    for (const FeatureNode& c : categories)
        if (index.count(c.name)) conflicts.push_back("'" + c.name + "' is both a category and a feature");

    if (!conflicts.empty()) {
        aFailure = "the application's GenICam features do not fit together: ";
        for (size_t n = 0; n < conflicts.size(); ++n) aFailure += (n ? "; " : "") + conflicts[n];
        return false;
    }
    mNodes = std::move(categories);
    mNodes.insert(mNodes.end(), std::make_move_iterator(nodes.begin()), std::make_move_iterator(nodes.end()));
    mTopCategories = std::move(top);
    mJoined = std::move(joined);
    mSourceSelected = std::move(selected);
    mStreamable = std::move(streamable);
    return true;
}

void GenApiFactory::Describe(TqEngine::Description& aDescription) const {
    std::lock_guard guard(mLock);
    aDescription.features = mNodes;
    aDescription.topCategories = mTopCategories;
    aDescription.sourceSelected = mSourceSelected;
    aDescription.joinedCategories = mJoined;
    aDescription.patches = mPatches;
}

std::vector<StreamableFeature> GenApiFactory::Streamable() const {
    std::lock_guard guard(mLock);
    return mStreamable;
}

bool Loads(const std::string& aXml, std::string& aFailure) {
    std::unique_ptr<TqGenICamLib::NodeMap> map;
    const TqResult loaded = TqGenICamLib::NodeMap::Load(aXml.data(), aXml.size(), nullptr, map);
    if (loaded.IsOK()) return true;
    aFailure = Utf8(loaded.GetDescription());
    return false;
}

}  // namespace TqSoftDevice
