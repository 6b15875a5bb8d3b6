// Building a node map from a GenICam XML description.
//
// Three passes: the elements become nodes (references kept as names), the names are resolved and
// checked against the kinds each reference may name, and the reference graph is checked (no cycle
// among the references that evaluation follows, each kind of evaluation on its own, no chain
// longer than NodeMap::kMaxReferenceChain, no category inside itself, constant register ranges
// inside a port of known size and none below its address 0); then the registers are indexed by
// their place for the writes. The first problem ends the load with a message that names the node.
//
// Elements of a known node that the engine does not use (Extension, pError, DocuURL, ...) are
// skipped; a node of a kind the engine does not know is an error. Formulas are compiled once the
// node's elements are all read (their order does not matter), so a syntax error fails the load
// naming the node; a StructReg becomes one StructEntry node per entry.
#include "TqGenNodeMap.h"

#include <pugixml.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace TqGenICamLib {

namespace {

constexpr int kMaxGroupNesting = 16;

std::string_view Trim(std::string_view aText) {
    const char* space = " \t\r\n";
    size_t first = aText.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    size_t last = aText.find_last_not_of(space);
    return aText.substr(first, last - first + 1);
}

std::string_view LocalName(const pugi::xml_node& aElement) {
    std::string_view name = aElement.name();
    size_t colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string_view Text(const pugi::xml_node& aElement) { return Trim(aElement.child_value()); }

// A 64-bit unsigned number: decimal, or hexadecimal with 0x.
bool ParseUnsigned(std::string_view aText, uint64_t& aValue) {
    int base = 10;
    if (aText.size() > 2 && aText[0] == '0' && (aText[1] == 'x' || aText[1] == 'X')) {
        base = 16;
        aText.remove_prefix(2);
    }
    if (aText.empty() || aText[0] == '+' || aText[0] == '-') return false;
    auto [end, error] = std::from_chars(aText.data(), aText.data() + aText.size(), aValue, base);
    return error == std::errc() && end == aText.data() + aText.size();
}

// A 64-bit signed number: decimal with an optional sign, or hexadecimal (0x..., the 64 bits as
// written, so 0xFFFFFFFFFFFFFFFF is -1) with an optional minus.
bool ParseInteger(std::string_view aText, int64_t& aValue) {
    aText = Trim(aText);
    bool negative = false;
    if (!aText.empty() && (aText[0] == '-' || aText[0] == '+')) {
        negative = aText[0] == '-';
        aText.remove_prefix(1);
    }
    bool hex = aText.size() > 2 && aText[0] == '0' && (aText[1] == 'x' || aText[1] == 'X');
    uint64_t magnitude = 0;
    if (!ParseUnsigned(aText, magnitude)) return false;
    if (hex) {
        aValue = static_cast<int64_t>(negative ? uint64_t{0} - magnitude : magnitude);
        return true;
    }
    uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    if (magnitude > limit) return false;
    aValue = negative ? static_cast<int64_t>(uint64_t{0} - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

bool ParseDouble(std::string_view aText, double& aValue) {
    aText = Trim(aText);
    if (!aText.empty() && aText[0] == '+') aText.remove_prefix(1);
    if (aText.empty()) return false;
    auto [end, error] = std::from_chars(aText.data(), aText.data() + aText.size(), aValue);
    return error == std::errc() && end == aText.data() + aText.size() && !std::isnan(aValue);
}

struct NamedValue {
    const char* name;
    int value;
};

template <size_t N>
bool Lookup(const NamedValue (&aTable)[N], std::string_view aText, int& aValue) {
    for (const NamedValue& entry : aTable)
        if (aText == entry.name) {
            aValue = entry.value;
            return true;
        }
    return false;
}

const NamedValue kAccessModes[] = {
    {"RO", TqGenAccessModeReadOnly}, {"RW", TqGenAccessModeReadWrite}, {"WO", TqGenAccessModeWriteOnly},
    {"NA", TqGenAccessModeNotAvailable}, {"NI", TqGenAccessModeNotImplemented},
    {"R", TqGenAccessModeReadOnly}, {"W", TqGenAccessModeWriteOnly},   // seen in the wild
};
const NamedValue kVisibilities[] = {
    {"Beginner", TqGenVisibilityBeginner}, {"Expert", TqGenVisibilityExpert},
    {"Guru", TqGenVisibilityGuru}, {"Invisible", TqGenVisibilityInvisible},
};
const NamedValue kRepresentations[] = {
    {"Linear", TqGenRepresentationLinear}, {"Logarithmic", TqGenRepresentationLogarithmic},
    {"Boolean", TqGenRepresentationBoolean}, {"PureNumber", TqGenRepresentationPureNumber},
    {"HexNumber", TqGenRepresentationHexNumber}, {"IPV4Address", TqGenRepresentationIPV4Address},
    {"MACAddress", TqGenRepresentationMACAddress},
};
const NamedValue kEndianness[] = {{"LittleEndian", TqGenEndiannessLittle}, {"BigEndian", TqGenEndiannessBig}};
const NamedValue kSigns[] = {{"Unsigned", TqGenSignUnsigned}, {"Signed", TqGenSignSigned}};
const NamedValue kCacheModes[] = {
    {"WriteThrough", static_cast<int>(CacheMode::WriteThrough)},
    {"WriteAround", static_cast<int>(CacheMode::WriteAround)},
    {"NoCache", static_cast<int>(CacheMode::NoCache)},
};
const NamedValue kNameSpaces[] = {{"Standard", TqGenNameSpaceStandard}, {"Custom", TqGenNameSpaceCustom}};
const NamedValue kYesNo[] = {{"Yes", 1}, {"No", 0}};

const NamedValue kKinds[] = {
    {"Integer", static_cast<int>(Kind::Integer)},   {"IntReg", static_cast<int>(Kind::IntReg)},
    {"MaskedIntReg", static_cast<int>(Kind::MaskedIntReg)}, {"Float", static_cast<int>(Kind::Float)},
    {"FloatReg", static_cast<int>(Kind::FloatReg)}, {"Enumeration", static_cast<int>(Kind::Enumeration)},
    {"Boolean", static_cast<int>(Kind::Boolean)},   {"Command", static_cast<int>(Kind::Command)},
    {"String", static_cast<int>(Kind::String)},     {"StringReg", static_cast<int>(Kind::StringReg)},
    {"Register", static_cast<int>(Kind::Register)}, {"Category", static_cast<int>(Kind::Category)},
    {"Port", static_cast<int>(Kind::Port)},
    {"IntSwissKnife", static_cast<int>(Kind::IntSwissKnife)}, {"SwissKnife", static_cast<int>(Kind::SwissKnife)},
    {"IntConverter", static_cast<int>(Kind::IntConverter)}, {"Converter", static_cast<int>(Kind::Converter)},
};
const NamedValue kSlopes[] = {
    {"Automatic", static_cast<int>(Slope::Automatic)}, {"Increasing", static_cast<int>(Slope::Increasing)},
    {"Decreasing", static_cast<int>(Slope::Decreasing)}, {"Varying", static_cast<int>(Slope::Varying)},
};

// Elements that are nodes of kinds the engine does not evaluate; met inside a node, they fail the
// load like a top-level node of that kind. (An IntSwissKnife inside a register is an address term.)
const char* const kNodeKindsElsewhere[] = {"IntSwissKnife", "SwissKnife", "Converter", "IntConverter", "StructReg",
                                           "StructEntry", "ConfRom", "TextDesc", "IntKey", "AdvFeatureLock",
                                           "SmartFeature", "Node"};

bool IsValueHolding(Kind aKind) {
    return aKind == Kind::Integer || aKind == Kind::Float || aKind == Kind::Enumeration || aKind == Kind::Boolean ||
           aKind == Kind::Command || aKind == Kind::String;
}

// Nodes that give an integer value when read (state references, addresses, indices).
bool GivesInteger(Kind aKind) { return IsIntegerKind(aKind) || aKind == Kind::Enumeration || aKind == Kind::Boolean; }

// Nodes that give a number: the integer ones and the float kinds (formula variables, converters' pValue).
bool GivesNumber(Kind aKind) { return GivesInteger(aKind) || IsFloatKind(aKind); }

}  // namespace

class Loader {
public:
    explicit Loader(NodeMap& aMap) : m(aMap) {}

    bool Run(const char* aXml, size_t aLength) {
        pugi::xml_document document;
        pugi::xml_parse_result parsed = document.load_buffer(aXml, aLength, pugi::parse_default, pugi::encoding_auto);
        if (!parsed) {
            mError = std::string("not well-formed XML: ") + parsed.description() + " at byte " + std::to_string(parsed.offset);
            return false;
        }
        pugi::xml_node root = document.document_element();
        if (!root || LocalName(root) != "RegisterDescription") {
            mError = "the document's root element is not RegisterDescription";
            return false;
        }
        if (!(Walk(root, 0) && Resolve() && CheckGraph() && CheckPortRanges())) return false;
        IndexRegisters();
        return true;
    }

    const std::string& Error() const { return mError; }

private:
    enum class Role { Value, Min, Max, Inc, Address, Index, Offset, Length, IsAvailable, IsImplemented, IsLocked,
                      CommandValue, Port, Feature, Selected, Invalidator, Variable, ValueIndex, IndexedValue, DefaultValue };

    struct Pending {
        Node* owner;
        Role role;
        size_t index;
        std::string target;
        const char* element;
    };

    static std::string Who(const Node* aNode) {
        if (aNode->kind == Kind::EnumEntry && aNode->enumeration)
            return std::string("EnumEntry '") + aNode->enumeration->name + "::" + aNode->name + "'";
        return std::string(KindName(aNode->kind)) + " '" + aNode->name + "'";
    }

    bool Fail(const Node* aNode, const std::string& aWhy) {
        mError = Who(aNode) + ": " + aWhy;
        return false;
    }

    bool Walk(const pugi::xml_node& aParent, int aNesting) {
        for (pugi::xml_node element = aParent.first_child(); element; element = element.next_sibling()) {
            if (element.type() != pugi::node_element) continue;
            std::string_view tag = LocalName(element);
            if (tag == "Group") {
                if (aNesting >= kMaxGroupNesting) {
                    mError = "Groups nested deeper than " + std::to_string(kMaxGroupNesting);
                    return false;
                }
                if (!Walk(element, aNesting + 1)) return false;
                continue;
            }
            if (tag == "StructReg") {
                if (!ParseStructReg(element)) return false;
                continue;
            }
            int kind = 0;
            if (!Lookup(kKinds, tag, kind)) return Unsupported(element);
            if (!ParseNode(element, static_cast<Kind>(kind))) return false;
        }
        return true;
    }

    bool Unsupported(const pugi::xml_node& aElement, const char* aWhy = "node kind not supported") {
        std::string name = aElement.attribute("Name").value();
        if (name.empty()) name = aElement.attribute("Comment").value();
        mError = std::string(LocalName(aElement)) + " '" + name + "': " + aWhy;
        return false;
    }

    void Refer(Node* aOwner, Role aRole, size_t aIndex, std::string_view aTarget, const char* aElement) {
        mPending.push_back({aOwner, aRole, aIndex, std::string(aTarget), aElement});
    }

    template <size_t N, class T>
    bool Named(Node* aNode, const char* aElement, const NamedValue (&aTable)[N], std::string_view aText, T& aOut) {
        int value = 0;
        if (!Lookup(aTable, aText, value)) return Fail(aNode, std::string(aElement) + " '" + std::string(aText) + "' is not a known value");
        aOut = static_cast<T>(value);
        return true;
    }

    bool Integer(Node* aNode, const char* aElement, std::string_view aText, int64_t& aOut) {
        if (!ParseInteger(aText, aOut)) return Fail(aNode, std::string(aElement) + " '" + std::string(aText) + "' is not a 64-bit integer");
        return true;
    }

    bool Float(Node* aNode, const char* aElement, std::string_view aText, double& aOut) {
        if (!ParseDouble(aText, aOut)) return Fail(aNode, std::string(aElement) + " '" + std::string(aText) + "' is not a number");
        return true;
    }

    // Min, Max, Inc and their p-forms, integer or float by the node's kind.
    bool Limit(Node* aNode, std::string_view aTag, std::string_view aText, bool& aHandled) {
        struct Slot {
            const char* constant;
            const char* reference;
            Role role;
            Operand<int64_t> Node::*integer;
            Operand<double> Node::*real;
        };
        static const Slot kSlots[] = {
            {"Min", "pMin", Role::Min, &Node::intMin, &Node::floatMin},
            {"Max", "pMax", Role::Max, &Node::intMax, &Node::floatMax},
            {"Inc", "pInc", Role::Inc, &Node::intInc, &Node::floatInc},
        };
        aHandled = false;
        if (aNode->kind != Kind::Integer && aNode->kind != Kind::Float && aNode->kind != Kind::IntConverter &&
            aNode->kind != Kind::Converter)
            return true;
        bool integer = aNode->kind == Kind::Integer || aNode->kind == Kind::IntConverter;
        for (const Slot& slot : kSlots) {
            bool reference = aTag == slot.reference;
            if (!reference && aTag != slot.constant) continue;
            aHandled = true;
            if (integer) {
                Operand<int64_t>& operand = aNode->*slot.integer;
                operand = Operand<int64_t>{};
                operand.given = true;
                operand.named = reference;
                if (reference) Refer(aNode, slot.role, 0, aText, slot.reference);
                else if (!Integer(aNode, slot.constant, aText, operand.value)) return false;
            } else {
                Operand<double>& operand = aNode->*slot.real;
                operand = Operand<double>{};
                operand.given = true;
                operand.named = reference;
                if (reference) Refer(aNode, slot.role, 0, aText, slot.reference);
                else if (!Float(aNode, slot.constant, aText, operand.value)) return false;
            }
            return true;
        }
        return true;
    }

    // What the elements of one node said, for the checks and compilations after them.
    struct Parsed {
        bool hasValue = false, hasCommandValue = false, hasLength = false, hasAddress = false;
        int booleanWord = 0;   // a Boolean's Value true (1) or false (2), made OnValue/OffValue after
        bool hasIndex = false, hasDefault = false, hasOwnValue = false;   // pIndex, ValueDefault, Value or pValue
        std::vector<std::pair<std::string, std::string>> constants, expressions;   // name, text
        const char* formulaTags[3] = {"Formula", "FormulaFrom", "FormulaTo"};
        bool hasFormula[3] = {false, false, false};
        std::string formulas[3];
        std::unordered_set<std::string> entryNames;   // an enumeration's entries so far
        std::unordered_set<int64_t> indices;          // the Index of each value per index so far
    };

    // A node of aKind from aElement; a StructEntry takes the elements of its StructReg (aShared)
    // first, so that its own override them.
    bool ParseNode(const pugi::xml_node& aElement, Kind aKind, const pugi::xml_node& aShared = pugi::xml_node()) {
        auto owned = std::make_unique<Node>();
        Node* node = owned.get();
        node->kind = aKind;
        node->map = &m;
        node->name = aElement.attribute("Name").value();
        if (node->name.empty()) {
            mError = std::string(KindName(aKind)) + " without a Name";
            return false;
        }
        if (m.mByName.count(node->name)) return Fail(node, "a second node of that name");
        if (!CommonAttributes(node, aElement)) return false;

        Parsed parsed;
        for (const pugi::xml_node& parent : {aShared, aElement}) {
            for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
                if (child.type() != pugi::node_element) continue;
                if (parent == aShared && LocalName(child) == "StructEntry") continue;
                if (!Element(node, child, parsed)) return false;
            }
        }
        if (parsed.booleanWord) node->intValue = parsed.booleanWord == 1 ? node->onValue : node->offValue;
        if (!CompileFormulas(node, parsed) || !Finish(node, parsed)) return false;

        m.mByName.emplace(node->name, node);
        if (ParameterType(aKind) != TqGenTypeUndefined) m.mFeatures.push_back(node);
        if (aKind == Kind::Category) m.mCategories.push_back(node);
        if (IsRegisterKind(aKind)) m.mRegisters.push_back(node);
        m.mNodes.push_back(std::move(owned));
        return true;
    }

    // A StructReg: no node of its own (its Comment is no name), one StructEntry node per entry.
    bool ParseStructReg(const pugi::xml_node& aElement) {
        mSharedParsed.clear();
        int entries = 0;
        for (pugi::xml_node child = aElement.first_child(); child; child = child.next_sibling()) {
            if (child.type() != pugi::node_element || LocalName(child) != "StructEntry") continue;
            ++entries;
            if (!ParseNode(child, Kind::StructEntry, aElement)) return false;
        }
        mSharedParsed.clear();
        if (entries == 0) return Unsupported(aElement, "no StructEntry");
        return true;
    }

    static bool IsConverter(Kind aKind) { return aKind == Kind::Converter || aKind == Kind::IntConverter; }
    static bool IsSwissKnife(Kind aKind) { return aKind == Kind::SwissKnife || aKind == Kind::IntSwissKnife; }
    static bool HasFormulas(Kind aKind) { return IsConverter(aKind) || IsSwissKnife(aKind); }

    bool Element(Node* aNode, const pugi::xml_node& aChild, Parsed& aParsed) {
        Kind kind = aNode->kind;
        std::string_view tag = LocalName(aChild);
        std::string_view text = Text(aChild);
        bool handled = false;
        if (!Common(aNode, tag, text, handled)) return false;
        if (handled) return true;
        if (!Limit(aNode, tag, text, handled)) return false;
        if (handled) return true;
        if (IsRegisterKind(kind) && tag == "IntSwissKnife") return InlineAddress(aNode, aChild, aParsed);
        for (const char* other : kNodeKindsElsewhere)
            if (tag == other) return Unsupported(aChild);

        if ((IsValueHolding(kind) || IsConverter(kind)) && tag == "pValue") {
            aParsed.hasValue = aParsed.hasOwnValue = true;
            aNode->hasValue = false;
            Refer(aNode, Role::Value, 0, text, "pValue");
        } else if (IsValueHolding(kind) && tag == "Value") {
            aParsed.hasValue = aParsed.hasOwnValue = true;
            aNode->hasValue = true;
            if (kind == Kind::Boolean && (text == "true" || text == "True" || text == "false" || text == "False")) {
                aParsed.booleanWord = text[0] == 't' || text[0] == 'T' ? 1 : 2;
                return true;
            }
            aParsed.booleanWord = 0;
            if (!ValueText(aNode, text)) return false;
        } else if ((kind == Kind::Integer || kind == Kind::Float) &&
                   (tag == "pIndex" || tag == "ValueIndexed" || tag == "pValueIndexed" || tag == "ValueDefault" ||
                    tag == "pValueDefault")) {
            return IndexedElement(aNode, aChild, tag, text, aParsed);
        } else if (HasFormulas(kind) && tag == "pVariable") {
            std::string name(Trim(aChild.attribute("Name").value()));
            if (name.empty()) return Fail(aNode, "a pVariable without a Name");
            aNode->variables.push_back({name, nullptr});
            Refer(aNode, Role::Variable, aNode->variables.size() - 1, text, "pVariable");
        } else if (HasFormulas(kind) && (tag == "Constant" || tag == "Expression")) {
            std::string name(Trim(aChild.attribute("Name").value()));
            if (name.empty()) return Fail(aNode, "a " + std::string(tag) + " without a Name");
            (tag == "Constant" ? aParsed.constants : aParsed.expressions).emplace_back(name, std::string(text));
        } else if (HasFormulas(kind) && (tag == "Formula" || tag == "FormulaFrom" || tag == "FormulaTo")) {
            int which = tag == "Formula" ? 0 : tag == "FormulaFrom" ? 1 : 2;
            if ((which == 0) != IsSwissKnife(kind)) return true;   // not this kind's: ignored like other elements
            aParsed.hasFormula[which] = true;
            aParsed.formulas[which] = std::string(text);
        } else if (IsConverter(kind) && tag == "Slope") {
            return Named(aNode, "Slope", kSlopes, text, aNode->slope);
        } else if (tag == "Representation" && kind != Kind::Command && kind != Kind::String) {
            if (!Named(aNode, "Representation", kRepresentations, text, aNode->representation)) return false;
        } else if (tag == "Unit") {
            aNode->hasUnit = true;
            aNode->unit = std::string(text);
        } else if (tag == "DisplayPrecision") {
            if (!Integer(aNode, "DisplayPrecision", text, aNode->displayPrecision)) return false;
            if (aNode->displayPrecision < 0 || aNode->displayPrecision > 64) return Fail(aNode, "DisplayPrecision outside 0 to 64");
        } else if (kind == Kind::Command && (tag == "CommandValue" || tag == "pCommandValue")) {
            aParsed.hasCommandValue = true;
            aNode->commandValue = Operand<int64_t>{};
            aNode->commandValue.given = true;
            aNode->commandValue.named = tag == "pCommandValue";
            if (tag == "pCommandValue") Refer(aNode, Role::CommandValue, 0, text, "pCommandValue");
            else if (!Integer(aNode, "CommandValue", text, aNode->commandValue.value)) return false;
        } else if (kind == Kind::Boolean && tag == "OnValue") {
            if (!Integer(aNode, "OnValue", text, aNode->onValue)) return false;
        } else if (kind == Kind::Boolean && tag == "OffValue") {
            if (!Integer(aNode, "OffValue", text, aNode->offValue)) return false;
        } else if (kind == Kind::Enumeration && tag == "EnumEntry") {
            if (!ParseEntry(aNode, aChild, aParsed)) return false;
        } else if (kind == Kind::Category && tag == "pFeature") {
            aNode->features.push_back(nullptr);
            Refer(aNode, Role::Feature, aNode->features.size() - 1, text, "pFeature");
        } else if (kind == Kind::Port && tag == "ChunkID") {
            uint64_t id = 0;
            std::string hex(text);
            if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.erase(0, 2);
            if (!ParseUnsigned("0x" + hex, id) || id > 0xFFFFFFFFu) return Fail(aNode, "ChunkID '" + std::string(text) + "' is not a 32-bit hexadecimal number");
            aNode->hasChunkId = true;
            aNode->chunkId = static_cast<uint32_t>(id);
        } else if (IsRegisterKind(kind)) {
            if (!RegisterElement(aNode, aChild, tag, text, aParsed.hasLength, aParsed.hasAddress)) return false;
        }
        return true;
    }

    // An IntSwissKnife inside a register: a node of its own whose value is one more address term.
    // Inside a StructReg it is made once and shared by the entries.
    bool InlineAddress(Node* aNode, const pugi::xml_node& aChild, Parsed& aParsed) {
        std::string name = aChild.attribute("Name").value();
        size_t key = aChild.hash_value();
        if (!mSharedParsed.count(key)) {
            if (!ParseNode(aChild, Kind::IntSwissKnife)) return false;
            if (aNode->kind == Kind::StructEntry) mSharedParsed.insert(key);
        }
        aNode->pAddress.push_back(nullptr);
        Refer(aNode, Role::Address, aNode->pAddress.size() - 1, name, "IntSwissKnife");
        aParsed.hasAddress = true;
        return true;
    }

    bool IndexedElement(Node* aNode, const pugi::xml_node& aChild, std::string_view aTag, std::string_view aText, Parsed& aParsed) {
        bool real = aNode->kind == Kind::Float;
        if (aTag == "pIndex") {
            aParsed.hasValue = true;
            aParsed.hasIndex = true;
            Refer(aNode, Role::ValueIndex, 0, aText, "pIndex");
            return true;
        }
        IndexedValue value;
        bool isDefault = aTag == "ValueDefault" || aTag == "pValueDefault";
        bool named = aTag[0] == 'p';
        if (!isDefault) {
            if (aNode->indexedValues.size() == NodeMap::kMaxIndexedValues)
                return Fail(aNode, "more than " + std::to_string(NodeMap::kMaxIndexedValues) + " values per index");
            pugi::xml_attribute index = aChild.attribute("Index");
            if (!index) return Fail(aNode, std::string(aTag) + " without an Index");
            if (!Integer(aNode, (std::string(aTag) + " Index").c_str(), index.value(), value.index)) return false;
            if (!aParsed.indices.insert(value.index).second) return Fail(aNode, "two values for index " + std::to_string(value.index));
        }
        if (!named) {
            if (real ? !Float(aNode, std::string(aTag).c_str(), aText, value.floatValue)
                     : !Integer(aNode, std::string(aTag).c_str(), aText, value.intValue))
                return false;
        }
        if (isDefault) {
            aParsed.hasDefault = true;
            aNode->defaultValue = value;
            if (named) Refer(aNode, Role::DefaultValue, 0, aText, "pValueDefault");
        } else {
            aNode->indexedValues.push_back(value);
            if (named) Refer(aNode, Role::IndexedValue, aNode->indexedValues.size() - 1, aText, "pValueIndexed");
        }
        return true;
    }

    // The formulas of a SwissKnife or converter, over its variables (slots 0 to n-1), TO (n) and
    // FROM (n + 1), its constants and its expressions (each may use those before it).
    bool CompileFormulas(Node* aNode, const Parsed& aParsed) {
        if (!HasFormulas(aNode->kind)) return true;
        FormulaScope scope;
        size_t slots = aNode->variables.size();
        for (size_t i = 0; i < slots; ++i)
            if (!scope.AddVariable(aNode->variables[i].name, i)) return Fail(aNode, "two pVariables named '" + aNode->variables[i].name + "'");
        if (IsConverter(aNode->kind)) {
            if (!scope.AddVariable("TO", slots) || !scope.AddVariable("FROM", slots + 1))
                return Fail(aNode, "a pVariable named TO or FROM");
        }
        std::string why;
        for (const auto& [name, text] : aParsed.constants) {
            std::shared_ptr<const Formula> constant = Formula::Compile(text, FormulaScope(), why);
            Number value;
            struct None : FormulaReader {
                bool Read(size_t, Number&) override { return false; }
            } none;
            if (!constant || constant->Evaluate(true, none, value, why) != Formula::Outcome::Ok)
                return Fail(aNode, "Constant " + name + " '" + text + "': " + why);
            if (!scope.AddConstant(name, value)) return Fail(aNode, "a second name '" + name + "'");
        }
        for (const auto& [name, text] : aParsed.expressions) {
            std::shared_ptr<const Formula> expression = Formula::Compile(text, scope, why);
            if (!expression) return Fail(aNode, "Expression " + name + " '" + text + "': " + why);
            if (!scope.AddExpression(name, expression)) return Fail(aNode, "a second name '" + name + "'");
        }
        std::shared_ptr<const Formula>* targets[3] = {&aNode->formula, &aNode->formulaFrom, &aNode->formulaTo};
        for (int which = 0; which < 3; ++which) {
            if (!aParsed.hasFormula[which]) continue;
            *targets[which] = Formula::Compile(aParsed.formulas[which], scope, why);
            if (!*targets[which]) return Fail(aNode, std::string(aParsed.formulaTags[which]) + " '" + aParsed.formulas[which] + "': " + why);
        }
        if (aNode->formulaFrom && aNode->formulaFrom->UsesSlot(slots + 1)) return Fail(aNode, "FormulaFrom reads FROM, the value it gives");
        if (aNode->formulaTo && aNode->formulaTo->UsesSlot(slots)) return Fail(aNode, "FormulaTo reads TO, the value it gives");
        return true;
    }

    bool CommonAttributes(Node* aNode, const pugi::xml_node& aElement) {
        pugi::xml_attribute nameSpace = aElement.attribute("NameSpace");
        if (nameSpace && !Named(aNode, "NameSpace", kNameSpaces, Trim(nameSpace.value()), aNode->nameSpace)) return false;
        return true;
    }

    // Elements every node (and entry) may have.
    bool Common(Node* aNode, std::string_view aTag, std::string_view aText, bool& aHandled) {
        aHandled = true;
        if (aTag == "ToolTip") aNode->toolTip = std::string(aText);
        else if (aTag == "Description") aNode->description = std::string(aText);
        else if (aTag == "DisplayName") aNode->displayName = std::string(aText);
        else if (aTag == "Visibility") return Named(aNode, "Visibility", kVisibilities, aText, aNode->visibility);
        else if (aTag == "Streamable") {
            if (aText.empty()) return true;   // <Streamable/>: says nothing
            int yes = 0;
            if (!Named(aNode, "Streamable", kYesNo, aText, yes)) return false;
            aNode->streamable = yes != 0;
        } else if (aTag == "ImposedAccessMode") return Named(aNode, "ImposedAccessMode", kAccessModes, aText, aNode->imposedAccess);
        else if (aTag == "pIsAvailable") Refer(aNode, Role::IsAvailable, 0, aText, "pIsAvailable");
        else if (aTag == "pIsImplemented") Refer(aNode, Role::IsImplemented, 0, aText, "pIsImplemented");
        else if (aTag == "pIsLocked") Refer(aNode, Role::IsLocked, 0, aText, "pIsLocked");
        else if (aTag == "pSelected" && aNode->kind != Kind::EnumEntry) {
            aNode->selected.push_back(nullptr);
            Refer(aNode, Role::Selected, aNode->selected.size() - 1, aText, "pSelected");
        } else if (aTag == "pInvalidator" && aNode->kind != Kind::EnumEntry) {
            aNode->invalidators.push_back(nullptr);
            Refer(aNode, Role::Invalidator, aNode->invalidators.size() - 1, aText, "pInvalidator");
        } else aHandled = false;
        return true;
    }

    bool ValueText(Node* aNode, std::string_view aText) {
        switch (aNode->kind) {
        case Kind::Float: return Float(aNode, "Value", aText, aNode->floatValue);
        case Kind::String:
            if (aText.size() > static_cast<size_t>(NodeMap::kMaxStringValueLength))
                return Fail(aNode, "a Value of " + std::to_string(aText.size()) + " bytes is longer than the maximum " +
                                       std::to_string(NodeMap::kMaxStringValueLength));
            aNode->stringValue = std::string(aText);
            return true;
        case Kind::Boolean:
            if (aText == "true" || aText == "True") return (aNode->intValue = 1), true;
            if (aText == "false" || aText == "False") return (aNode->intValue = 0), true;
            return Integer(aNode, "Value", aText, aNode->intValue);
        default: return Integer(aNode, "Value", aText, aNode->intValue);
        }
    }

    bool RegisterElement(Node* aNode, const pugi::xml_node& aChild, std::string_view aTag, std::string_view aText,
                         bool& aHasLength, bool& aHasAddress) {
        if (aTag == "Address") {
            // Unsigned, or below zero with a minus: an offset back from the end of a chunk, or one
            // that other terms of the address make up for.
            bool negative = !aText.empty() && aText[0] == '-';
            uint64_t magnitude = 0;
            if (!ParseUnsigned(negative ? aText.substr(1) : aText, magnitude))
                return Fail(aNode, "Address '" + std::string(aText) + "' is not a 64-bit address");
            aNode->address += negative ? -static_cast<__int128>(magnitude) : static_cast<__int128>(magnitude);
            if (aNode->address > static_cast<__int128>(std::numeric_limits<uint64_t>::max()))
                return Fail(aNode, "the Address elements add up past 2^64");
            if (aNode->address < -static_cast<__int128>(std::numeric_limits<uint64_t>::max()))
                return Fail(aNode, "the Address elements add up below -2^64");
            aHasAddress = true;
        } else if (aTag == "pAddress") {
            aNode->pAddress.push_back(nullptr);
            Refer(aNode, Role::Address, aNode->pAddress.size() - 1, aText, "pAddress");
            aHasAddress = true;
        } else if (aTag == "pIndex") {
            IndexTerm term;
            size_t at = aNode->indices.size();
            if (pugi::xml_attribute offset = aChild.attribute("Offset")) {
                term.hasOffset = true;
                if (!Integer(aNode, "pIndex Offset", offset.value(), term.offset)) return false;
            }
            aNode->indices.push_back(term);
            if (pugi::xml_attribute offset = aChild.attribute("pOffset")) Refer(aNode, Role::Offset, at, Trim(offset.value()), "pIndex pOffset");
            Refer(aNode, Role::Index, at, aText, "pIndex");
            aHasAddress = true;
        } else if (aTag == "Length") {
            if (!Integer(aNode, "Length", aText, aNode->length)) return false;
            aHasLength = true;
        } else if (aTag == "pLength") {
            if (aNode->kind != Kind::Register && aNode->kind != Kind::StringReg)
                return Fail(aNode, "pLength, but the length of an " + std::string(KindName(aNode->kind)) + " is a constant Length");
            Refer(aNode, Role::Length, 0, aText, "pLength");
            mLengthRead.insert(aNode);
            aHasLength = true;
        } else if (aTag == "AccessMode") {
            return Named(aNode, "AccessMode", kAccessModes, aText, aNode->accessMode);
        } else if (aTag == "pPort") {
            Refer(aNode, Role::Port, 0, aText, "pPort");
        } else if (aTag == "Cachable") {
            return Named(aNode, "Cachable", kCacheModes, aText, aNode->cache);
        } else if (aTag == "PollingTime") {
            if (!Integer(aNode, "PollingTime", aText, aNode->pollingTime)) return false;
            if (aNode->pollingTime < 0) return Fail(aNode, "PollingTime is negative");
        } else if (aTag == "Endianess") {
            return Named(aNode, "Endianess", kEndianness, aText, aNode->endianness);
        } else if (aTag == "Sign" && (aNode->kind == Kind::IntReg || aNode->kind == Kind::MaskedIntReg ||
                                      aNode->kind == Kind::StructEntry)) {
            return Named(aNode, "Sign", kSigns, aText, aNode->sign);
        } else if ((aNode->kind == Kind::MaskedIntReg || aNode->kind == Kind::StructEntry) &&
                   (aTag == "LSB" || aTag == "MSB" || aTag == "Bit")) {
            int64_t bit = 0;
            if (!Integer(aNode, std::string(aTag).c_str(), aText, bit)) return false;
            if (bit < 0 || bit > 63) return Fail(aNode, std::string(aTag) + " " + std::to_string(bit) + " is outside 0 to 63");
            if (aTag != "MSB") aNode->lsb = static_cast<uint32_t>(bit);
            if (aTag != "LSB") aNode->msb = static_cast<uint32_t>(bit);
            aNode->hasBits = true;
        }
        return true;
    }

    bool ParseEntry(Node* aEnumeration, const pugi::xml_node& aElement, Parsed& aParsed) {
        if (aEnumeration->entries.size() == NodeMap::kMaxEnumEntries)
            return Fail(aEnumeration, "more than " + std::to_string(NodeMap::kMaxEnumEntries) + " entries");
        auto entry = std::make_unique<Node>();
        entry->kind = Kind::EnumEntry;
        entry->map = &m;
        entry->enumeration = aEnumeration;
        entry->name = aElement.attribute("Name").value();
        if (entry->name.empty()) return Fail(aEnumeration, "an EnumEntry without a Name");
        if (!aParsed.entryNames.insert(entry->name).second) return Fail(aEnumeration, "two entries named '" + entry->name + "'");
        if (!CommonAttributes(entry.get(), aElement)) return false;
        bool hasValue = false;
        for (pugi::xml_node child = aElement.first_child(); child; child = child.next_sibling()) {
            if (child.type() != pugi::node_element) continue;
            std::string_view tag = LocalName(child);
            bool handled = false;
            if (!Common(entry.get(), tag, Text(child), handled)) return false;
            if (!handled && tag == "Value") {
                if (!Integer(entry.get(), "Value", Text(child), entry->intValue)) return false;
                hasValue = true;
            }
        }
        if (!hasValue) return Fail(entry.get(), "no Value");
        aEnumeration->entries.push_back(std::move(entry));
        return true;
    }

    // What a node of its kind must have, and limits that do not hold together.
    bool Finish(Node* aNode, const Parsed& aParsed) {
        Kind kind = aNode->kind;
        if (IsValueHolding(kind) && !aParsed.hasValue) return Fail(aNode, "neither Value nor pValue");
        if (!aParsed.hasIndex && (aParsed.hasDefault || !aNode->indexedValues.empty())) return Fail(aNode, "values per index without pIndex");
        if (aParsed.hasIndex) {
            if (!aParsed.hasDefault) return Fail(aNode, "pIndex without ValueDefault or pValueDefault");
            if (aParsed.hasOwnValue) return Fail(aNode, "both values per index and Value or pValue");
        }
        if (IsSwissKnife(kind) && !aNode->formula) return Fail(aNode, "no Formula");
        if (IsConverter(kind)) {
            if (!aParsed.hasValue) return Fail(aNode, "no pValue");
            if (!aNode->formulaFrom) return Fail(aNode, "no FormulaFrom");
            if (!aNode->formulaTo) return Fail(aNode, "no FormulaTo");
        }
        if (kind == Kind::Command && !aParsed.hasCommandValue) return Fail(aNode, "neither CommandValue nor pCommandValue");
        if (kind == Kind::Enumeration && aNode->entries.empty()) return Fail(aNode, "no EnumEntry");
        if (kind == Kind::Integer) {
            const auto& min = aNode->intMin;
            const auto& max = aNode->intMax;
            if (min.given && max.given && !min.named && !max.named && min.value > max.value)
                return Fail(aNode, "Min " + std::to_string(min.value) + " is above Max " + std::to_string(max.value));
            if (aNode->intInc.given && !aNode->intInc.named && aNode->intInc.value <= 0)
                return Fail(aNode, "Inc " + std::to_string(aNode->intInc.value) + " is not positive");
        }
        if (kind == Kind::Float) {
            const auto& min = aNode->floatMin;
            const auto& max = aNode->floatMax;
            if (min.given && max.given && !min.named && !max.named && min.value > max.value) return Fail(aNode, "Min is above Max");
            if (aNode->floatInc.given && !aNode->floatInc.named && !(aNode->floatInc.value > 0)) return Fail(aNode, "Inc is not positive");
        }
        if (!IsRegisterKind(kind)) return true;
        if (!aParsed.hasLength) return Fail(aNode, "no Length");
        if (!aParsed.hasAddress) return Fail(aNode, "no Address, pAddress or pIndex");
        if (mLengthRead.count(aNode)) return true;   // pLength: checked when it is read
        int64_t length = aNode->length;
        switch (kind) {
        case Kind::IntReg:
        case Kind::MaskedIntReg:
        case Kind::StructEntry:
            if (length < 1 || length > 8) return Fail(aNode, "Length " + std::to_string(length) + " is outside 1 to 8");
            break;
        case Kind::FloatReg:
            if (length != 4 && length != 8) return Fail(aNode, "Length " + std::to_string(length) + " is neither 4 nor 8");
            break;
        default:
            if (length < 1 || length > NodeMap::kMaxRegisterLength)
                return Fail(aNode, "Length " + std::to_string(length) + " is outside 1 to " + std::to_string(NodeMap::kMaxRegisterLength));
            break;
        }
        if (kind == Kind::MaskedIntReg || kind == Kind::StructEntry) {
            if (!aNode->hasBits) return Fail(aNode, "neither LSB/MSB nor Bit");
            if (aNode->lsb >= length * 8 || aNode->msb >= length * 8)
                return Fail(aNode, "bits " + std::to_string(aNode->lsb) + " and " + std::to_string(aNode->msb) +
                                       " do not lie in a register of " + std::to_string(length) + " bytes");
        }
        return true;
    }

    // ---- references ----

    Node*& Slot(const Pending& aPending) {
        Node* o = aPending.owner;
        bool real = o->kind == Kind::Float || o->kind == Kind::Converter;
        switch (aPending.role) {
        case Role::Value: return o->pValue;
        case Role::Min: return real ? o->floatMin.ref : o->intMin.ref;
        case Role::Max: return real ? o->floatMax.ref : o->intMax.ref;
        case Role::Inc: return real ? o->floatInc.ref : o->intInc.ref;
        case Role::Address: return o->pAddress[aPending.index];
        case Role::Index: return o->indices[aPending.index].index;
        case Role::Offset: return o->indices[aPending.index].pOffset;
        case Role::Length: return o->pLength;
        case Role::IsAvailable: return o->isAvailable;
        case Role::IsImplemented: return o->isImplemented;
        case Role::IsLocked: return o->isLocked;
        case Role::CommandValue: return o->commandValue.ref;
        case Role::Port: return o->port;
        case Role::Feature: return o->features[aPending.index];
        case Role::Selected: return o->selected[aPending.index];
        case Role::Invalidator: return o->invalidators[aPending.index];
        case Role::Variable: return o->variables[aPending.index].node;
        case Role::ValueIndex: return o->valueIndex;
        case Role::IndexedValue: return o->indexedValues[aPending.index].ref;
        case Role::DefaultValue: return o->defaultValue.ref;
        }
        return o->pValue;
    }

    // Whether a reference of this role from this owner may name a node of kind aTarget, and what it
    // must be otherwise.
    static bool Fits(const Node* aOwner, Role aRole, Kind aTarget, const char*& aWanted) {
        switch (aRole) {
        case Role::Variable:
        case Role::IsAvailable:
        case Role::IsImplemented:
        case Role::IsLocked: return (aWanted = "a node with a number value"), GivesNumber(aTarget);
        case Role::Value:
        case Role::IndexedValue:
        case Role::DefaultValue:
            // A value reads any node of a compatible interface: integers and floats each other's
            // (converted), a boolean an enumeration's integer.
            switch (aOwner->kind) {
            case Kind::Converter:
            case Kind::IntConverter: return (aWanted = "a node with a number value"), GivesNumber(aTarget);
            case Kind::Integer:
            case Kind::Float: return (aWanted = "an integer or float node"), IsIntegerKind(aTarget) || IsFloatKind(aTarget);
            case Kind::Boolean: return (aWanted = "a node with an integer value"), GivesInteger(aTarget);
            case Kind::String: return (aWanted = "a String or StringReg"), IsStringKind(aTarget);
            default: return (aWanted = "an Integer, IntReg or MaskedIntReg"), IsIntegerKind(aTarget);
            }
        case Role::Min:
        case Role::Max:
        case Role::Inc: return (aWanted = "an integer or float node"), IsIntegerKind(aTarget) || IsFloatKind(aTarget);
        case Role::Port: return (aWanted = "a Port"), aTarget == Kind::Port;
        case Role::Selected: return (aWanted = "a feature or category"), ParameterType(aTarget) != TqGenTypeUndefined || aTarget == Kind::Category;
        case Role::Feature:
        case Role::Invalidator: return (aWanted = "a node"), true;
        default: return (aWanted = "a node with an integer value"), GivesInteger(aTarget);
        }
    }

    bool Resolve() {
        for (const Pending& pending : mPending) {
            auto it = m.mByName.find(pending.target);
            if (it == m.mByName.end())
                return Fail(pending.owner, std::string(pending.element) + " '" + pending.target + "' names no node");
            Node* target = it->second;
            const char* wanted = "";
            if (!Fits(pending.owner, pending.role, target->kind, wanted))
                return Fail(pending.owner, std::string(pending.element) + " names " + KindName(target->kind) + " node '" +
                                               pending.target + "', not " + wanted);
            Slot(pending) = target;
        }
        if (!ExpandSelectors()) return false;
        Derive();
        return true;
    }

    // A selector that selects a category selects the features in it, and in the categories in it.
    // The links walked to find them (each selector's references and the members of the categories
    // it reaches) count against NodeMap::kMaxSelectedLinks for the whole map, so that selectors of
    // large categories cannot make the load's time or memory grow with their product.
    bool ExpandSelectors() {
        size_t links = 0;
        for (const auto& owned : m.mNodes) {
            Node* node = owned.get();
            links += node->selected.size();
            if (links > NodeMap::kMaxSelectedLinks) return TooManySelected(node);
            if (std::none_of(node->selected.begin(), node->selected.end(), [](Node* n) { return n->kind == Kind::Category; }))
                continue;
            std::vector<Node*> features, pending(node->selected.rbegin(), node->selected.rend());
            std::unordered_set<Node*> seen;
            while (!pending.empty()) {
                Node* next = pending.back();
                pending.pop_back();
                if (!seen.insert(next).second) continue;
                if (next->kind == Kind::Category) {
                    links += next->features.size();
                    if (links > NodeMap::kMaxSelectedLinks) return TooManySelected(node);
                    pending.insert(pending.end(), next->features.rbegin(), next->features.rend());
                } else if (ParameterType(next->kind) != TqGenTypeUndefined) {
                    features.push_back(next);
                }
            }
            node->selected = std::move(features);
        }
        return true;
    }

    bool TooManySelected(const Node* aSelector) {
        return Fail(aSelector, "the selectors' pSelected reach more than " + std::to_string(NodeMap::kMaxSelectedLinks) +
                                   " features and category members in all");
    }

    // Relations derived from the references: categories of features, selectors of features, the
    // nodes each node's evaluation reads.
    void Derive() {
        for (const auto& owned : m.mNodes) {
            Node* node = owned.get();
            for (Node* feature : node->features)
                if (!feature->parentCategory) feature->parentCategory = node;
            for (Node* selected : node->selected) selected->selecting.push_back(node);
            for (Node* invalidator : node->invalidators) {
                invalidator->invalidates.push_back(node);
                invalidator->dependents.push_back(node);
            }
            ForEachEvaluated(node, [&](Node* target) { target->dependents.push_back(node); });
        }
    }

    // Every node the node names for its value, state, limits, address or length (its entries' state
    // references included): the nodes a change of which may change it.
    template <class F>
    static void ForEachEvaluated(Node* aNode, F&& aVisit) {
        for (Aspect aspect : {Aspect::Value, Aspect::Limits})
            ForEachStep(aNode, aspect, [&](Node* aTarget, Aspect aTargetAspect) {
                if (aTargetAspect == Aspect::Value) aVisit(aTarget);
            });
    }

    // ---- the reference graph ----
    //
    // What an evaluation walks, as a graph of (node, aspect): reading a node's value (with its access
    // mode) reads the values of the nodes it names for them; asking for its limits reads the values
    // its limits name and the limits of its pValue; writing it asks for its own value, state and
    // limits and writes its pValue (or the value its index chooses). A value never reads a limit, so
    // limits that read each other's values (Height's maximum reads OffsetY, OffsetY's reads Height)
    // make no cycle.
    enum class Aspect : uint8_t { Value, Limits, Write };
    static constexpr int kAspects = 3;

    template <class F>
    static void ForEachStep(Node* aNode, Aspect aAspect, F&& aVisit) {
        auto value = [&](Node* target) {
            if (target) aVisit(target, Aspect::Value);
        };
        switch (aAspect) {
        case Aspect::Value:
            value(aNode->pValue);
            value(aNode->commandValue.ref);
            value(aNode->isAvailable);
            value(aNode->isImplemented);
            value(aNode->isLocked);
            for (Node* target : aNode->pAddress) value(target);
            for (const IndexTerm& term : aNode->indices) {
                value(term.index);
                value(term.pOffset);
            }
            value(aNode->pLength);
            for (const auto& entry : aNode->entries) {
                value(entry->isAvailable);
                value(entry->isImplemented);
            }
            for (const Variable& variable : aNode->variables) value(variable.node);
            value(aNode->valueIndex);
            for (const IndexedValue& indexed : aNode->indexedValues) value(indexed.ref);
            value(aNode->defaultValue.ref);
            break;
        case Aspect::Limits:
            for (Node* target : {aNode->intMin.ref, aNode->intMax.ref, aNode->intInc.ref, aNode->floatMin.ref,
                                 aNode->floatMax.ref, aNode->floatInc.ref})
                value(target);
            if (aNode->kind == Kind::Converter || aNode->kind == Kind::IntConverter)   // FormulaFrom at the pValue's limits
                for (const Variable& variable : aNode->variables) value(variable.node);
            if (aNode->pValue) aVisit(aNode->pValue, Aspect::Limits);
            value(aNode->valueIndex);   // the limits of the value the index chooses
            for (const IndexedValue& indexed : aNode->indexedValues)
                if (indexed.ref) aVisit(indexed.ref, Aspect::Limits);
            if (aNode->defaultValue.ref) aVisit(aNode->defaultValue.ref, Aspect::Limits);
            break;
        case Aspect::Write:
            aVisit(aNode, Aspect::Value);
            aVisit(aNode, Aspect::Limits);
            if (aNode->pValue) aVisit(aNode->pValue, Aspect::Write);
            for (const IndexedValue& indexed : aNode->indexedValues)
                if (indexed.ref) aVisit(indexed.ref, Aspect::Write);
            if (aNode->defaultValue.ref) aVisit(aNode->defaultValue.ref, Aspect::Write);
            break;
        }
    }

    // Depth-first over the graph without recursion: a step back into the path is a cycle; the
    // longest chain below each (node, aspect) is counted on the way back. Values first, so that a
    // cycle is named by the references that make it.
    bool CheckGraph() {
        const size_t count = m.mNodes.size();
        std::unordered_map<const Node*, uint32_t> number;
        number.reserve(count);
        for (size_t i = 0; i < count; ++i) number.emplace(m.mNodes[i].get(), static_cast<uint32_t>(i));
        auto key = [&](Node* aNode, Aspect aAspect) { return number[aNode] * kAspects + static_cast<uint32_t>(aAspect); };
        std::vector<int> chain(count * kAspects, 0);   // finished: the longest chain from it; 0 not yet
        std::vector<bool> onPath(count * kAspects, false);
        struct Frame {
            Node* node;
            Aspect aspect;
            uint32_t key;
            std::vector<std::pair<Node*, Aspect>> next;
            size_t at;
        };
        std::vector<Frame> path;
        auto push = [&](Node* aNode, Aspect aAspect, uint32_t aKey) {
            Frame frame{aNode, aAspect, aKey, {}, 0};
            ForEachStep(aNode, aAspect, [&](Node* target, Aspect aspect) { frame.next.emplace_back(target, aspect); });
            onPath[aKey] = true;
            path.push_back(std::move(frame));
        };
        for (Aspect aspect : {Aspect::Value, Aspect::Limits, Aspect::Write}) {
            for (size_t i = 0; i < count; ++i) {
                Node* start = m.mNodes[i].get();
                uint32_t startKey = key(start, aspect);
                if (chain[startKey]) continue;
                push(start, aspect, startKey);
                while (!path.empty()) {
                    Frame& top = path.back();
                    if (top.at < top.next.size()) {
                        auto [next, nextAspect] = top.next[top.at++];
                        uint32_t nextKey = key(next, nextAspect);
                        if (onPath[nextKey]) return Cycle(path, next, nextAspect, "circular reference");
                        if (!chain[nextKey]) push(next, nextAspect, nextKey);
                        continue;
                    }
                    int longest = 0;
                    for (const auto& [next, nextAspect] : top.next) longest = std::max(longest, chain[key(next, nextAspect)]);
                    if (longest + 1 > NodeMap::kMaxReferenceChain)
                        return Fail(top.node, "a chain of references longer than " + std::to_string(NodeMap::kMaxReferenceChain) + " nodes");
                    chain[top.key] = longest + 1;
                    onPath[top.key] = false;
                    path.pop_back();
                }
            }
        }
        return CheckCategories();
    }

    // The cycle from aBack's place in the path back to it, each node named once where aspects of it
    // follow each other.
    template <class Frames>
    bool Cycle(const Frames& aPath, Node* aBack, Aspect aAspect, const char* aWhat) {
        std::string loop;
        bool inLoop = false;
        const Node* last = nullptr;
        for (const auto& frame : aPath) {
            if (frame.node == aBack && frame.aspect == aAspect) inLoop = true;
            if (inLoop && frame.node != last) loop += frame.node->name + " -> ";
            if (inLoop) last = frame.node;
        }
        return Fail(aBack, std::string(aWhat) + ": " + loop + aBack->name);
    }

    template <class Frames>
    bool CategoryCycle(const Frames& aPath, Node* aBack) {
        std::string loop;
        bool inLoop = false;
        for (const auto& frame : aPath) {
            if (frame.node == aBack) inLoop = true;
            if (inLoop) loop += frame.node->name + " -> ";
        }
        return Fail(aBack, "category inside itself: " + loop + aBack->name);
    }

    bool CheckCategories() {
        std::unordered_map<Node*, int> state;   // 1 on the path, 2 done
        struct Frame {
            Node* node;
            size_t at;
        };
        for (Node* start : m.mCategories) {
            if (state[start]) continue;
            std::vector<Frame> path{{start, 0}};
            state[start] = 1;
            while (!path.empty()) {
                Frame& top = path.back();
                if (top.at < top.node->features.size()) {
                    Node* next = top.node->features[top.at++];
                    if (next->kind != Kind::Category) continue;
                    if (state[next] == 1) return CategoryCycle(path, next);
                    if (state[next] == 0) {
                        state[next] = 1;
                        path.push_back({next, 0});
                    }
                    continue;
                }
                state[top.node] = 2;
                path.pop_back();
            }
        }
        return true;
    }

    // Registers of the map's port at constant addresses must lie inside it when its size is known,
    // and none may lie below address 0 (only a chunk's registers count back from its end).
    bool CheckPortRanges() {
        uint64_t size = 0;
        bool sized = m.mPortInfo && m.mPortInfo->GetPortSize(size);
        for (Node* node : m.mRegisters) {
            if ((node->port && node->port->hasChunkId) || !node->pAddress.empty() || !node->indices.empty()) continue;
            if (node->address < 0) return Fail(node, "Address " + ToText(node->address) + " lies below the port's first byte");
            if (!sized || node->pLength) continue;
            uint64_t address = static_cast<uint64_t>(node->address);
            uint64_t length = static_cast<uint64_t>(node->length);
            if (address > size || length > size - address)
                return Fail(node, "bytes 0x" + ToHex(address) + " + " + std::to_string(length) +
                                      " lie beyond the port's " + std::to_string(size) + " bytes");
        }
        return true;
    }

    // What a write looks at to drop overlapping caches: the registers of the map's port at a fixed
    // place (CheckPortRanges made sure none lies below address 0), and the others.
    void IndexRegisters() {
        std::vector<Node*> fixed;
        for (Node* node : m.mRegisters) {
            if (node->port && node->port->hasChunkId) continue;   // never cached
            if (node->pAddress.empty() && node->indices.empty() && !node->pLength) fixed.push_back(node);
            else m.mMovingRegisters.push_back(node);
        }
        m.mFixedRegisters.Build(std::move(fixed));
    }

    static std::string ToText(__int128 aValue) {
        unsigned __int128 magnitude = aValue < 0 ? -static_cast<unsigned __int128>(aValue) : static_cast<unsigned __int128>(aValue);
        std::string digits;
        do {
            digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
            magnitude /= 10;
        } while (magnitude);
        return aValue < 0 ? "-" + digits : digits;
    }

    static std::string ToHex(uint64_t aValue) {
        char text[24];
        std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(aValue));
        return text;
    }

    NodeMap& m;
    std::vector<Pending> mPending;
    std::string mError;
    std::unordered_set<size_t> mSharedParsed;   // the inline address nodes of the StructReg being read
    std::unordered_set<const Node*> mLengthRead;  // registers whose length pLength gives
};

TqResult NodeMap::Load(const char* aXml, size_t aLength, std::shared_ptr<IPort> aPort, std::unique_ptr<NodeMap>& aOut) {
    if (aXml == nullptr && aLength > 0) return TqResult(TQ_INVALID_PARAMETER, TqString("no description"));
    std::unique_ptr<NodeMap> map(new NodeMap);
    map->mPort = std::move(aPort);
    map->mPortInfo = dynamic_cast<IPortInfo*>(map->mPort.get());
    Loader loader(*map);
    if (!loader.Run(aXml ? aXml : "", aLength)) return TqResult(TQ_GENICAM_XML_ERROR, TqString(loader.Error().c_str()));
    aOut = std::move(map);
    return TqResult(TQ_OK);
}

}  // namespace TqGenICamLib
