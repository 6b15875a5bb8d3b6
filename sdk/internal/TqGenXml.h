// The one writer of GenICam descriptions (GenApi schema 1.1) in the stand-in: a description is
// built as pugixml's document model (elements, attributes, texts) and serialised by it, so every
// name, attribute value, text and formula is escaped as it is written: a formula such as
// "(A < B) && (C > 0)" or a description with quotes and ampersands is given as it reads. Elements
// stand in the order they are added, which is the order the schema's sequences want.
//
// Built into the libraries that generate descriptions (the device engine, the device and stream
// libraries); the document model is the process's one pugixml.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pugi {
class xml_document;
struct xml_node_struct;
}  // namespace pugi

namespace TqGenXml {

// Where a register node's bytes lie: its Address, Length and AccessMode, and its pPort and
// Cachable elements when they are given.
struct Place {
    uint64_t address = 0;
    int64_t length = 4;
    std::string_view access = "RO";
    std::string_view port;       // empty: no pPort (the description's only port)
    std::string_view cachable;   // empty: no Cachable element
};

// An element of a description being written. A handle: copies name the same element, which lives
// as long as its description.
class Element {
public:
    // A new last child element, with aText as its content when given.
    Element Add(std::string_view aTag);
    Element Add(std::string_view aTag, std::string_view aText);
    // The same, giving back this element, so that the children of a node read as one chain.
    Element& With(std::string_view aTag, std::string_view aText);
    Element& With(std::string_view aTag, const char* aText) { return With(aTag, std::string_view(aText)); }
    Element& With(std::string_view aTag, const std::string& aText) { return With(aTag, std::string_view(aText)); }
    template <std::integral Integer>
    Element& With(std::string_view aTag, Integer aValue) {   // decimal
        return WithDecimal(aTag, static_cast<int64_t>(aValue));
    }
    Element& WithHex(std::string_view aTag, uint64_t aValue);   // 0x and upper-case digits
    // Address, Length, AccessMode, pPort, Cachable of a register node.
    Element& With(const Place& aPlace);
    // Sets (or replaces) an attribute.
    Element& Attribute(std::string_view aName, std::string_view aValue);

    // Edits of a node already written. The tag of the child element (aTag) and its value.
    // Put: the children named any of aReplaced go, and one aTag child with aText stands where the
    // schema's order of a node's elements places it. Insert: aText joins the aTag children, after
    // the last of them (or where the order places the first).
    Element& Put(std::string_view aTag, std::string_view aText, const std::vector<std::string>& aReplaced);
    Element& Insert(std::string_view aTag, std::string_view aText);
    // The kind of the element (its tag) and its child aTag whose aAttribute is aValue, if any.
    std::string Kind() const;
    std::optional<Element> Child(std::string_view aTag, std::string_view aAttribute, std::string_view aValue) const;

private:
    friend class Description;
    void Position(pugi::xml_node_struct* aChild);
    Element& WithDecimal(std::string_view aTag, int64_t aValue);
    explicit Element(pugi::xml_node_struct* aNode) : mNode(aNode) {}
    pugi::xml_node_struct* mNode;
};

// The attributes of the root element besides the fixed ones (schema 1.1 and the GenApi namespaces);
// the description's own version is 1.0.0 unless given.
struct Header {
    std::string_view modelName;
    std::string_view vendorName;
    std::string_view toolTip;
    std::string_view standardNameSpace = "None";
    std::string_view productGuid;
    std::string_view versionGuid;
    uint16_t majorVersion = 1, minorVersion = 0, subMinorVersion = 0;
};

class Description {
public:
    explicit Description(const Header& aHeader);
    ~Description();
    Description(const Description&) = delete;
    Description& operator=(const Description&) = delete;

    Element Root();
    // A node at the end of the root: an element of aKind with its Name and NameSpace.
    Element Node(std::string_view aKind, std::string_view aName, std::string_view aNameSpace = "Custom");
    // The node of the root named aName, if there is one.
    std::optional<Element> Find(std::string_view aName);
    // A Category listing the features of aNames (a range of strings) in their order.
    template <class Names>
    Element Category(std::string_view aName, std::string_view aNameSpace, const Names& aNames) {
        Element category = Node("Category", aName, aNameSpace);
        for (const auto& name : aNames) category.With("pFeature", std::string_view(name));
        return category;
    }
    Element Category(std::string_view aName, std::string_view aNameSpace, std::initializer_list<std::string_view> aNames) {
        return Category<std::initializer_list<std::string_view>>(aName, aNameSpace, aNames);
    }
    // The document as UTF-8 text: the XML declaration, then the elements indented by two spaces.
    std::string Text() const;

private:
    std::unique_ptr<pugi::xml_document> mDocument;
};

}  // namespace TqGenXml
