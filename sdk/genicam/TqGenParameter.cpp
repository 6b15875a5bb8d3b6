#include "TqGenParameter.h"

#include "TqGenEventSink.h"
#include "TqGenNodeMap.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

// The parameter shells: each holds the engine node it stands for (TqGenNodeMap.h); the parameter
// array makes them at load and owns them. Every operation is one call into the node map.

using TqGenICamLib::Kind;
using TqGenICamLib::Node;
using TqGenICamLib::NodeMap;

namespace {

TqString Text(const std::string& aText) { return TqString(aText.c_str(), static_cast<unsigned int>(aText.size())); }

NodeMap& MapOf(const Node* aNode) { return *aNode->map; }

// An attribute fixed by the description: always there.
TqResult Describe(TqString& aOut, const std::string& aText) {
    aOut = Text(aText);
    return TqResult(TQ_OK);
}
template <class T>
TqResult Give(T& aOut, T aValue) {
    aOut = aValue;
    return TqResult(TQ_OK);
}
const std::string& DisplayName(const Node* aNode) {
    return aNode->displayName.empty() ? aNode->name : aNode->displayName;
}

// Writes a text out-value only when the read succeeds.
template <class Read>
TqResult ReadText(TqString& aOut, Read aRead) {
    std::string text;
    TqResult result = aRead(text);
    if (result.IsOK()) aOut = Text(text);
    return result;
}

TqResult Refused(const Node* aNode, const std::string& aWhy) {
    return TqResult(TQ_INVALID_PARAMETER, Text(aNode->name + ": " + aWhy));
}

// Whether a node of that visibility shows at a user level.
TqResult Visible(TqGenVisibility aNodeVisibility, TqGenVisibility aLevel, bool& aVisible) {
    if (aLevel < TqGenVisibilityBeginner || aLevel > TqGenVisibilityInvisible)
        return TqResult(TQ_INVALID_PARAMETER, TqString("not a visibility level"));
    aVisible = aNodeVisibility <= aLevel;
    return TqResult(TQ_OK);
}

bool ParseInteger(const std::string& aText, int64_t& aValue) {
    if (aText.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(aText.c_str(), &end, 0);   // decimal, 0x hexadecimal
    if (errno == ERANGE || end != aText.c_str() + aText.size()) return false;
    aValue = value;
    return true;
}

int HexDigit(char aDigit) {
    if (aDigit >= '0' && aDigit <= '9') return aDigit - '0';
    if (aDigit >= 'a' && aDigit <= 'f') return aDigit - 'a' + 10;
    if (aDigit >= 'A' && aDigit <= 'F') return aDigit - 'A' + 10;
    return -1;
}

}   // namespace

TqGenParameter::TqGenParameter(Node* aNode) : mNode(aNode) {}
TqGenParameter::~TqGenParameter() = default;

TqResult TqGenParameter::GetName(TqString& aName) const { return Describe(aName, mNode->name); }

TqResult TqGenParameter::GetType(TqGenType& aType) const {
    return Give(aType, TqGenICamLib::ParameterType(mNode->kind));
}

TqResult TqGenParameter::GetCategory(TqString& aCategory) const {
    if (!mNode->parentCategory) return TqResult(TQ_NOT_FOUND, Text(mNode->name + ": listed by no category"));
    aCategory = Text(mNode->parentCategory->name);
    return TqResult(TQ_OK);
}

TqResult TqGenParameter::GetToolTip(TqString& aToolTip) const { return Describe(aToolTip, mNode->toolTip); }

TqResult TqGenParameter::GetDescription(TqString& aDescription) const {
    return Describe(aDescription, mNode->description);
}

TqResult TqGenParameter::GetDisplayName(TqString& aDisplayName) const {
    return Describe(aDisplayName, DisplayName(mNode));
}

TqResult TqGenParameter::GetNameSpace(TqGenNameSpace& aNameSpace) const { return Give(aNameSpace, mNode->nameSpace); }

TqResult TqGenParameter::IsValueCached(bool& aCached) const { return Give(aCached, MapOf(mNode).IsValueCached(mNode)); }

TqResult TqGenParameter::IsPersistent(bool& aPersistent) const {
    return Give(aPersistent, mNode->streamable && MapOf(mNode).GetAccessMode(mNode) == TqGenAccessModeReadWrite);
}

TqResult TqGenParameter::IsImplemented(bool& aImplemented) const {
    return Give(aImplemented, MapOf(mNode).IsImplemented(mNode));
}

TqResult TqGenParameter::IsAvailable(bool& aAvailable) const {
    return Give(aAvailable, MapOf(mNode).IsAvailable(mNode));
}

TqResult TqGenParameter::IsWritable(bool& aWritable) const { return Give(aWritable, MapOf(mNode).IsWritable(mNode)); }

TqResult TqGenParameter::IsReadable(bool& aReadable) const { return Give(aReadable, MapOf(mNode).IsReadable(mNode)); }

TqResult TqGenParameter::IsStreamable(bool& aStreamable) const { return Give(aStreamable, mNode->streamable); }

TqResult TqGenParameter::GetVisibility(TqGenVisibility& aVisibility) const {
    return Give(aVisibility, mNode->visibility);
}

TqResult TqGenParameter::IsVisible(TqGenVisibility aCurrentVisibility, bool& aVisible) const {
    return Visible(mNode->visibility, aCurrentVisibility, aVisible);
}

TqResult TqGenParameter::IsSelector(bool& aSelector) const { return Give(aSelector, !mNode->selected.empty()); }

namespace {
TqResult FillList(const std::vector<Node*>& aNodes, TqGenParameterList& aList) {
    aList.Clear();
    for (Node* node : aNodes)
        if (node->parameter) aList.Add(node->parameter);
    return TqResult(TQ_OK);
}
}   // namespace

TqResult TqGenParameter::GetSelectedParameters(TqGenParameterList& aList) const {
    return FillList(mNode->selected, aList);
}

TqResult TqGenParameter::GetSelectingParameters(TqGenParameterList& aList) const {
    return FillList(mNode->selecting, aList);
}

TqResult TqGenParameter::RegisterEventSink(TqGenEventSink* aEventSink) {
    if (!aEventSink) return TqResult(TQ_INVALID_PARAMETER, TqString("no event sink"));
    std::lock_guard<std::mutex> lock(mSinkLock);
    if (std::find(mSinks.begin(), mSinks.end(), aEventSink) != mSinks.end())
        return TqResult(TQ_STATE_ERROR, TqString("the event sink is registered already"));
    mSinks.push_back(aEventSink);
    return TqResult(TQ_OK);
}

TqResult TqGenParameter::UnregisterEventSink(TqGenEventSink* aEventSink) {
    std::lock_guard<std::mutex> lock(mSinkLock);
    auto it = std::find(mSinks.begin(), mSinks.end(), aEventSink);
    if (!aEventSink || it == mSinks.end()) return TqResult(TQ_NOT_FOUND, TqString("the event sink is not registered"));
    mSinks.erase(it);
    return TqResult(TQ_OK);
}

std::vector<TqGenEventSink*> TqGenParameter::GetEventSinks() const {
    std::lock_guard<std::mutex> lock(mSinkLock);
    return mSinks;
}

// The sinks are called without the sink lock, so a sink may unregister itself. A sink that throws
// counts as failed; the others are still told.
void TqGenParameter::NotifyUpdate() {
    if (!mUpdatesEnabled) return;
    for (TqGenEventSink* sink : GetEventSinks()) {
        try {
            sink->OnParameterUpdate(this);
        } catch (...) {
        }
    }
}

// Text forms: integers in decimal (hexadecimal with a 0x prefix for a HexNumber representation),
// floats with the shortest text that reads back the same value, enumerations as the entry's name,
// booleans as "true"/"false" (also taken: "1"/"0"), strings as they are, registers as two
// hexadecimal digits per byte. Commands have no value.
TqResult TqGenParameter::ToString(TqString& aValue) const {
    NodeMap& map = MapOf(mNode);
    switch (TqGenICamLib::ParameterType(mNode->kind)) {
        case TqGenTypeInteger: {
            int64_t value = 0;
            TqResult result = map.GetInteger(mNode, value);
            if (!result.IsOK()) return result;
            char text[32];
            if (map.GetRepresentation(mNode) == TqGenRepresentationHexNumber)
                std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
            else
                std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
            aValue = TqString(text);
            return result;
        }
        case TqGenTypeFloat: {
            double value = 0;
            TqResult result = map.GetFloat(mNode, value);
            if (!result.IsOK()) return result;
            char text[40];
            for (int digits = 6; digits <= 17; ++digits) {
                std::snprintf(text, sizeof text, "%.*g", digits, value);
                if (std::strtod(text, nullptr) == value) break;
            }
            aValue = TqString(text);
            return result;
        }
        case TqGenTypeEnum: {
            Node* entry = nullptr;
            TqResult result = map.GetEnumEntry(mNode, entry);
            if (result.IsOK()) aValue = Text(entry->name);
            return result;
        }
        case TqGenTypeBoolean: {
            bool value = false;
            TqResult result = map.GetBoolean(mNode, value);
            if (result.IsOK()) aValue = TqString(value ? "true" : "false");
            return result;
        }
        case TqGenTypeString:
            return ReadText(aValue, [&](std::string& text) { return map.GetString(mNode, text); });
        case TqGenTypeRegister: {
            int64_t length = 0;
            TqResult result = map.GetRegisterLength(mNode, length);
            if (!result.IsOK()) return result;   // a length the map refused sizes nothing
            std::vector<uint8_t> bytes(static_cast<size_t>(length));
            result = map.GetRegister(mNode, bytes.data(), length);
            if (!result.IsOK()) return result;
            static const char digits[] = "0123456789ABCDEF";
            std::string text;
            text.reserve(bytes.size() * 2);
            for (uint8_t b : bytes) {
                text += digits[b >> 4];
                text += digits[b & 15];
            }
            aValue = Text(text);
            return result;
        }
        default:
            return TqResult(TQ_NOT_SUPPORTED,
                            Text(mNode->name + ": a " + TqGenICamLib::KindName(mNode->kind) + " has no value as text"));
    }
}

TqResult TqGenParameter::FromString(const TqString& aValue) {
    NodeMap& map = MapOf(mNode);
    const std::string text = aValue.GetAscii();
    switch (TqGenICamLib::ParameterType(mNode->kind)) {
        case TqGenTypeInteger: {
            int64_t value = 0;
            if (!ParseInteger(text, value)) return Refused(mNode, "\"" + text + "\" is not an integer");
            return map.SetInteger(mNode, value);
        }
        case TqGenTypeFloat: {
            char* end = nullptr;
            double value = std::strtod(text.c_str(), &end);
            if (text.empty() || end != text.c_str() + text.size() || std::isnan(value))
                return Refused(mNode, "\"" + text + "\" is not a number");
            return map.SetFloat(mNode, value);
        }
        case TqGenTypeEnum:
            return map.SetEnumName(mNode, text);
        case TqGenTypeBoolean:
            if (text == "true" || text == "True" || text == "1") return map.SetBoolean(mNode, true);
            if (text == "false" || text == "False" || text == "0") return map.SetBoolean(mNode, false);
            return Refused(mNode, "\"" + text + "\" is not true or false");
        case TqGenTypeString:
            return map.SetString(mNode, text);
        case TqGenTypeRegister: {
            if (text.size() % 2) return Refused(mNode, "hexadecimal text needs two digits per byte");
            std::vector<uint8_t> bytes(text.size() / 2);
            for (size_t i = 0; i < bytes.size(); ++i) {
                const int high = HexDigit(text[2 * i]), low = HexDigit(text[2 * i + 1]);
                if (high < 0 || low < 0) return Refused(mNode, "\"" + text + "\" is not hexadecimal");
                bytes[i] = static_cast<uint8_t>(high << 4 | low);
            }
            return map.SetRegister(mNode, bytes.data(), static_cast<int64_t>(bytes.size()));
        }
        default:
            return TqResult(TQ_NOT_SUPPORTED, Text(mNode->name + ": a " + TqGenICamLib::KindName(mNode->kind) +
                                                   " takes no value as text"));
    }
}

TQ_GENAPI_NS::INode* TqGenParameter::GetNode() { return reinterpret_cast<TQ_GENAPI_NS::INode*>(mNode); }
bool TqGenParameter::GetUpdatesEnabled() { return mUpdatesEnabled; }
void TqGenParameter::SetUpdatesEnabled(bool aEnabled) { mUpdatesEnabled = aEnabled; }

// ---- the kinds ----

TqResult TqGenInteger::SetValue(int64_t aValue) { return MapOf(mNode).SetInteger(mNode, aValue); }
TqResult TqGenInteger::GetValue(int64_t& aValue) const { return MapOf(mNode).GetInteger(mNode, aValue); }
TqResult TqGenInteger::GetMin(int64_t& aMin) const { return MapOf(mNode).GetIntegerMin(mNode, aMin); }
TqResult TqGenInteger::GetMax(int64_t& aMax) const { return MapOf(mNode).GetIntegerMax(mNode, aMax); }
TqResult TqGenInteger::GetIncrement(int64_t& aIncrement) const { return MapOf(mNode).GetIntegerInc(mNode, aIncrement); }
TqResult TqGenInteger::GetRepresentation(TqGenRepresentation& aRepresentation) const {
    return Give(aRepresentation, MapOf(mNode).GetRepresentation(mNode));
}
TqResult TqGenInteger::GetUnit(TqString& aUnit) const { return Describe(aUnit, MapOf(mNode).GetUnit(mNode)); }

TqResult TqGenFloat::SetValue(double aValue) { return MapOf(mNode).SetFloat(mNode, aValue); }
TqResult TqGenFloat::GetValue(double& aValue) const { return MapOf(mNode).GetFloat(mNode, aValue); }
TqResult TqGenFloat::GetMin(double& aMin) const { return MapOf(mNode).GetFloatMin(mNode, aMin); }
TqResult TqGenFloat::GetMax(double& aMax) const { return MapOf(mNode).GetFloatMax(mNode, aMax); }
TqResult TqGenFloat::GetRepresentation(TqGenRepresentation& aRepresentation) const {
    return Give(aRepresentation, MapOf(mNode).GetRepresentation(mNode));
}
TqResult TqGenFloat::GetUnit(TqString& aUnit) const { return Describe(aUnit, MapOf(mNode).GetUnit(mNode)); }

TqResult TqGenBoolean::SetValue(bool aValue) { return MapOf(mNode).SetBoolean(mNode, aValue); }
TqResult TqGenBoolean::GetValue(bool& aValue) const { return MapOf(mNode).GetBoolean(mNode, aValue); }

TqResult TqGenCommand::Execute() { return MapOf(mNode).Execute(mNode); }
TqResult TqGenCommand::IsDone(bool& aDone) { return MapOf(mNode).IsDone(mNode, aDone); }

TqResult TqGenString::SetValue(const TqString& aValue) { return MapOf(mNode).SetString(mNode, aValue.GetAscii()); }
TqResult TqGenString::GetValue(TqString& aValue) const {
    return ReadText(aValue, [&](std::string& text) { return MapOf(mNode).GetString(mNode, text); });
}
TqResult TqGenString::GetMaxLength(int64_t& aMaxLength) const {
    return MapOf(mNode).GetStringMaxLength(mNode, aMaxLength);
}

TqResult TqGenRegister::Set(const uint8_t* aBuffer, int64_t aLength) {
    return MapOf(mNode).SetRegister(mNode, aBuffer, aLength);
}
TqResult TqGenRegister::Get(uint8_t* aBuffer, int64_t aLength) const {
    return MapOf(mNode).GetRegister(mNode, aBuffer, aLength);
}
TqResult TqGenRegister::GetLength(int64_t& aLength) const { return MapOf(mNode).GetRegisterLength(mNode, aLength); }

TqResult TqGenEnum::SetValue(int64_t aValue) { return MapOf(mNode).SetEnumInt(mNode, aValue); }
TqResult TqGenEnum::SetValue(const TqString& aValue) { return MapOf(mNode).SetEnumName(mNode, aValue.GetAscii()); }
TqResult TqGenEnum::GetValue(TqString& aValue) const {
    Node* entry = nullptr;
    TqResult result = MapOf(mNode).GetEnumEntry(mNode, entry);
    if (result.IsOK()) aValue = Text(entry->name);
    return result;
}
TqResult TqGenEnum::GetValue(int64_t& aValue) const { return MapOf(mNode).GetEnumInt(mNode, aValue); }
TqResult TqGenEnum::GetEntriesCount(int64_t& aCount) const {
    return Give(aCount, static_cast<int64_t>(mNode->entries.size()));
}

namespace {
TqResult FoundEntry(const Node* aEnumeration, const Node* aEntry, const TqGenEnumEntry** aOut,
                    const std::string& aKey) {
    if (!aOut) return TqResult(TQ_INVALID_PARAMETER, TqString("no place for the entry"));
    if (!aEntry) return TqResult(TQ_NOT_FOUND, Text(aEnumeration->name + ": no entry " + aKey));
    *aOut = aEntry->entryObject;
    return TqResult(TQ_OK);
}
}   // namespace

TqResult TqGenEnum::GetEntryByName(const TqString& aEntryName, const TqGenEnumEntry** aEntry) const {
    const std::string name = aEntryName.GetAscii();
    return FoundEntry(mNode, MapOf(mNode).FindEntry(mNode, name), aEntry, "named " + name);
}
TqResult TqGenEnum::GetEntryByIndex(int64_t aIndex, const TqGenEnumEntry** aEntry) const {
    const Node* entry = aIndex >= 0 && static_cast<uint64_t>(aIndex) < mNode->entries.size()
                            ? mNode->entries[static_cast<size_t>(aIndex)].get()
                            : nullptr;
    return FoundEntry(mNode, entry, aEntry, "at " + std::to_string(aIndex));
}
TqResult TqGenEnum::GetEntryByValue(int64_t aValue, const TqGenEnumEntry** aEntry) const {
    return FoundEntry(mNode, MapOf(mNode).FindEntry(mNode, aValue), aEntry, "of value " + std::to_string(aValue));
}

// ---- entries and categories: descriptive nodes of their own ----

TqResult TqGenEnumEntry::GetValue(int64_t& aValue) const { return Give(aValue, mNode->intValue); }
TqResult TqGenEnumEntry::GetName(TqString& aName) const { return Describe(aName, mNode->name); }
TqResult TqGenEnumEntry::GetToolTip(TqString& aToolTip) const { return Describe(aToolTip, mNode->toolTip); }
TqResult TqGenEnumEntry::GetDescription(TqString& aDescription) const {
    return Describe(aDescription, mNode->description);
}
TqResult TqGenEnumEntry::GetVisibility(TqGenVisibility& aVisibility) const {
    return Give(aVisibility, mNode->visibility);
}
TqResult TqGenEnumEntry::GetDisplayName(TqString& aDisplayName) const {
    return Describe(aDisplayName, DisplayName(mNode));
}
TqResult TqGenEnumEntry::GetNameSpace(TqGenNameSpace& aNameSpace) const { return Give(aNameSpace, mNode->nameSpace); }
TqResult TqGenEnumEntry::IsVisible(TqGenVisibility aVisibility, bool& aVisible) const {
    return Visible(mNode->visibility, aVisibility, aVisible);
}
TqResult TqGenEnumEntry::IsAvailable(bool& aAvailable) const {
    return Give(aAvailable, MapOf(mNode).IsEntryAvailable(mNode));
}

TqResult TqGenCategory::GetName(TqString& aName) const { return Describe(aName, mNode->name); }
TqResult TqGenCategory::GetToolTip(TqString& aToolTip) const { return Describe(aToolTip, mNode->toolTip); }
TqResult TqGenCategory::GetDescription(TqString& aDescription) const {
    return Describe(aDescription, mNode->description);
}
TqResult TqGenCategory::GetDisplayName(TqString& aDisplayName) const {
    return Describe(aDisplayName, DisplayName(mNode));
}
TqResult TqGenCategory::GetNameSpace(TqGenNameSpace& aNameSpace) const { return Give(aNameSpace, mNode->nameSpace); }
TqResult TqGenCategory::GetVisibility(TqGenVisibility& aVisibility) const {
    return Give(aVisibility, mNode->visibility);
}
TqResult TqGenCategory::IsVisible(TqGenVisibility aCurrentVisibility, bool& aVisible) const {
    return Visible(mNode->visibility, aCurrentVisibility, aVisible);
}
TqResult TqGenCategory::IsImplemented(bool& aImplemented) const {
    return Give(aImplemented, MapOf(mNode).IsImplemented(mNode));
}
TQ_GENAPI_NS::INode* TqGenCategory::GetNode() { return reinterpret_cast<TQ_GENAPI_NS::INode*>(mNode); }

// ---- lists ----

TqGenParameterList::TqGenParameterList() = default;
TqGenParameterList::~TqGenParameterList() = default;
void TqGenParameterList::Clear() {
    mItems.clear();
    mCursor = 0;
}
void TqGenParameterList::Add(TqGenParameter* aParameter) {
    mItems.push_back(aParameter);
    mCursor = 0;
}
uint32_t TqGenParameterList::GetSize() const { return static_cast<uint32_t>(mItems.size()); }
TqGenParameter* TqGenParameterList::GetItem(uint32_t aIndex) {
    return aIndex < mItems.size() ? mItems[aIndex] : nullptr;
}
TqGenParameter* TqGenParameterList::GetFirst() {
    mCursor = 0;
    return GetNext();
}
TqGenParameter* TqGenParameterList::GetNext() {
    if (mCursor >= mItems.size()) return nullptr;
    return mItems[mCursor++];
}
