#include "TqGenXml.h"

#include <pugixml.hpp>

#include <cstdio>
#include <iterator>
#include <string>

namespace TqGenXml {

namespace {

pugi::xml_node NodeOf(pugi::xml_node_struct* aNode) { return pugi::xml_node(aNode); }

// Collects what pugixml serialises.
struct StringWriter : pugi::xml_writer {
    std::string text;
    void write(const void* aData, size_t aSize) override { text.append(static_cast<const char*>(aData), aSize); }
};

}  // namespace

Element Element::Add(std::string_view aTag) {
    return Element(NodeOf(mNode).append_child(std::string(aTag).c_str()).internal_object());
}

Element Element::Add(std::string_view aTag, std::string_view aText) {
    Element child = Add(aTag);
    NodeOf(child.mNode).text().set(aText.data(), aText.size());
    return child;
}

Element& Element::With(std::string_view aTag, std::string_view aText) {
    Add(aTag, aText);
    return *this;
}

Element& Element::WithDecimal(std::string_view aTag, int64_t aValue) { return With(aTag, std::to_string(aValue)); }

Element& Element::WithHex(std::string_view aTag, uint64_t aValue) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(aValue));
    return With(aTag, std::string_view(text));
}

Element& Element::With(const Place& aPlace) {
    WithHex("Address", aPlace.address).With("Length", aPlace.length).With("AccessMode", aPlace.access);
    if (!aPlace.port.empty()) With("pPort", aPlace.port);
    if (!aPlace.cachable.empty()) With("Cachable", aPlace.cachable);
    return *this;
}

Element& Element::Attribute(std::string_view aName, std::string_view aValue) {
    pugi::xml_node node = NodeOf(mNode);
    const std::string name(aName);
    pugi::xml_attribute attribute = node.attribute(name.c_str());
    if (!attribute) attribute = node.append_attribute(name.c_str());
    attribute.set_value(aValue.data(), aValue.size());
    return *this;
}

namespace {

// Where an element stands among the children of a node: the schema's sequences, merged (elements
// not named here stand after those that are, in the order they were written).
int Rank(std::string_view aTag) {
    static constexpr std::string_view kOrder[] = {
        "ToolTip",     "Description",  "DisplayName",  "Visibility", "EventID",     "pIsImplemented",
        "pIsAvailable", "pIsLocked",   "pBlockPolling", "ImposedAccessMode", "pError", "pAlias",
        "pCastAlias",  "pInvalidator", "Streamable",   "pFeature",   "EnumEntry",   "pVariable",
        "FormulaTo",   "FormulaFrom",  "Formula",      "pValue",     "Value",       "pValueCopy",
        "Min",         "pMin",         "Max",          "pMax",       "Inc",         "pInc"};
    for (size_t n = 0; n < std::size(kOrder); ++n) {
        if (kOrder[n] != aTag) continue;
        // Alternatives share a place: Min and pMin, pValue and Value, ...
        if (aTag == "Value" || aTag == "pMin" || aTag == "pMax" || aTag == "pInc") return int(n) - 1;
        return int(n);
    }
    return int(std::size(kOrder));
}

bool IsRegisterNode(const pugi::xml_node& aNode) { return aNode.child("Address") || aNode.child("pAddress"); }

}  // namespace

void Element::Position(pugi::xml_node_struct* aChild) {
    pugi::xml_node node = NodeOf(mNode), child(aChild);
    const std::string tag = child.name();
    pugi::xml_node after;
    if (tag == "pInvalidator" && IsRegisterNode(node)) {
        // A register's invalidators follow its port and caching.
        for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) {
            const std::string_view name = c.name();
            if (c != child && (name == "pInvalidator" || name == "pPort" || name == "Cachable" || name == "PollingTime" ||
                               name == "AccessMode" || name == "Length"))
                after = c;
        }
    } else {
        const int rank = Rank(tag);
        for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling())
            if (c != child && c.type() == pugi::node_element && Rank(c.name()) <= rank) after = c;
    }
    if (after) node.insert_move_after(child, after);
    else node.prepend_move(child);
}

Element& Element::Put(std::string_view aTag, std::string_view aText, const std::vector<std::string>& aReplaced) {
    pugi::xml_node node = NodeOf(mNode);
    for (const std::string& replaced : aReplaced)
        while (pugi::xml_node old = node.child(replaced.c_str())) node.remove_child(old);
    Position(Add(aTag, aText).mNode);
    return *this;
}

Element& Element::Insert(std::string_view aTag, std::string_view aText) {
    Position(Add(aTag, aText).mNode);
    return *this;
}

std::string Element::Kind() const { return NodeOf(mNode).name(); }

std::optional<Element> Element::Child(std::string_view aTag, std::string_view aAttribute, std::string_view aValue) const {
    const std::string tag(aTag), attribute(aAttribute), value(aValue);
    for (pugi::xml_node c = NodeOf(mNode).child(tag.c_str()); c; c = c.next_sibling(tag.c_str()))
        if (value == c.attribute(attribute.c_str()).value()) return Element(c.internal_object());
    return std::nullopt;
}

Description::Description(const Header& aHeader) : mDocument(std::make_unique<pugi::xml_document>()) {
    pugi::xml_node declaration = mDocument->append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "utf-8";
    Root()
        .Attribute("ModelName", aHeader.modelName)
        .Attribute("VendorName", aHeader.vendorName)
        .Attribute("ToolTip", aHeader.toolTip)
        .Attribute("StandardNameSpace", aHeader.standardNameSpace)
        .Attribute("SchemaMajorVersion", "1")
        .Attribute("SchemaMinorVersion", "1")
        .Attribute("SchemaSubMinorVersion", "0")
        .Attribute("MajorVersion", std::to_string(aHeader.majorVersion))
        .Attribute("MinorVersion", std::to_string(aHeader.minorVersion))
        .Attribute("SubMinorVersion", std::to_string(aHeader.subMinorVersion))
        .Attribute("ProductGuid", aHeader.productGuid)
        .Attribute("VersionGuid", aHeader.versionGuid)
        .Attribute("xmlns", "http://www.genicam.org/GenApi/Version_1_1")
        .Attribute("xmlns:xsi", "http://www.w3.org/2001/XMLSchema-instance");
}

Description::~Description() = default;

Element Description::Root() {
    pugi::xml_node root = mDocument->child("RegisterDescription");
    if (!root) root = mDocument->append_child("RegisterDescription");
    return Element(root.internal_object());
}

Element Description::Node(std::string_view aKind, std::string_view aName, std::string_view aNameSpace) {
    return Root().Add(aKind).Attribute("Name", aName).Attribute("NameSpace", aNameSpace);
}

std::optional<Element> Description::Find(std::string_view aName) {
    const std::string name(aName);
    pugi::xml_node node = NodeOf(Root().mNode).find_child_by_attribute("Name", name.c_str());
    if (!node) return std::nullopt;
    return Element(node.internal_object());
}

std::string Description::Text() const {
    StringWriter out;
    mDocument->save(out, "  ", pugi::format_indent, pugi::encoding_utf8);
    return std::move(out.text);
}

}  // namespace TqGenXml
