// The device's GenICam description (GenApi schema 1.1): SFNC names over the bootstrap and feature
// registers. Elements stand in the order the schema's sequences give them.
#include "TqEngineImpl.h"
#include "TqGenXml.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <set>
#include <string>

namespace TqEngine {

namespace {

using TqGenXml::Element;
using TqGenXml::Place;

// The root's model and vendor names keep to letters, digits, '_' and '-' (spaces become '_'), so
// that tools may make file names of them.
std::string Identifier(const std::string& aText, const char* aFallback) {
    std::string out;
    for (char c : aText)
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')
            out += c;
        else if (c == ' ')
            out += '_';
    if (out.empty()) out = aFallback;
    return out;
}

// A selector that places a register node: the register lies aOffset bytes further for each step of
// the selector's value (no node: the register has one place).
struct Index {
    const char* node = nullptr;
    uint32_t offset = 0;
};

// The node shapes of the description, on the one GenICam writer.
struct Writer {
    TqGenXml::Description& d;

    // Address, pIndex, Length, AccessMode, pPort and Cachable of a register node.
    static Element& At(Element& aNode, const Place& aPlace, const Index& aIndex) {
        if (!aIndex.node) return aNode.With(aPlace);
        aNode.WithHex("Address", aPlace.address);
        aNode.Add("pIndex", aIndex.node).Attribute("Offset", std::to_string(aIndex.offset));
        Place rest = aPlace;
        aNode.With("Length", rest.length).With("AccessMode", rest.access);
        if (!rest.port.empty()) aNode.With("pPort", rest.port);
        if (!rest.cachable.empty()) aNode.With("Cachable", rest.cachable);
        return aNode;
    }

    static Element& Numbers(Element& aNode) { return aNode.With("Sign", "Unsigned").With("Endianess", "BigEndian"); }
    static Element& Visible(Element& aNode, const char* aVisibility) {
        return aVisibility ? aNode.With("Visibility", aVisibility) : aNode;
    }
    static Element& Locked(Element& aNode, const char* aLocked) { return aLocked ? aNode.With("pIsLocked", aLocked) : aNode; }
    // A feature a user set stores.
    static Element& Streamable(Element& aNode, bool aStreamable) {
        return aStreamable ? aNode.With("Streamable", "Yes") : aNode;
    }

    void Category(const char* aName, std::initializer_list<std::string_view> aFeatures) {
        d.Category(aName, "Standard", aFeatures);
    }

    // IntReg of 4 (or 8) bytes on aPort.
    void IntReg(const std::string& aName, uint32_t aAddress, const char* aAccess, int aLength = 4, bool aStandard = true,
                const char* aVisibility = nullptr, const char* aPort = "Device", const Index& aIndex = {}) {
        Element node = d.Node("IntReg", aName, aStandard ? "Standard" : "Custom");
        Numbers(At(Visible(node, aVisibility), Place{aAddress, aLength, aAccess, aPort, "NoCache"}, aIndex));
    }

    // MaskedIntReg over big-endian bit numbers (bit 0 is the most significant).
    void Masked(const char* aName, uint32_t aAddress, int aMsb, int aLsb, const Index& aIndex = {}) {
        Element node = d.Node("MaskedIntReg", aName);
        At(node.With("Visibility", "Invisible"), Place{aAddress, 4, "RW", "Device", "NoCache"}, aIndex);
        if (aMsb == aLsb)
            node.With("Bit", aLsb);
        else
            node.With("LSB", aLsb).With("MSB", aMsb);
        Numbers(node);
    }

    void StringReg(const char* aName, uint32_t aAddress, int aLength, const char* aAccess) {
        d.Node("StringReg", aName, "Standard").With(Place{aAddress, aLength, aAccess, "Device", "NoCache"});
    }

    // Integer over a register node, with fixed or computed bounds and increment (a number, the name
    // of the node that computes it, or empty for none).
    void Integer(const char* aName, const char* aValue, const std::string& aMin, const std::string& aMax,
                 const char* aLocked = nullptr, const std::string& aInc = "", const char* aUnit = nullptr,
                 const char* aVisibility = nullptr, bool aStreamable = false) {
        Element node = d.Node("Integer", aName, "Standard");
        Streamable(Locked(Visible(node, aVisibility), aLocked), aStreamable).With("pValue", aValue);
        for (const auto& [tag, bound] : {std::pair{"Min", &aMin}, std::pair{"Max", &aMax}, std::pair{"Inc", &aInc}}) {
            if (bound->empty()) continue;
            const bool number = (*bound)[0] >= '0' && (*bound)[0] <= '9';
            node.With(number ? std::string(tag) : std::string("p") + tag, *bound);
        }
        if (aUnit) node.With("Unit", aUnit);
    }

    void Command(const char* aName, const char* aValue) {
        d.Node("Command", aName, "Standard").With("pValue", aValue).With("CommandValue", 1);
    }

    void Boolean(const char* aName, const char* aValue, const char* aLocked = nullptr) {
        Element node = d.Node("Boolean", aName, "Standard");
        Locked(node, aLocked).With("pValue", aValue).With("OnValue", 1).With("OffValue", 0);
    }

    // An enumeration's pIsLocked and entries (the first aStandard of them in the Standard namespace,
    // the others Custom); the caller adds its value (pValue, or Value and pSelected).
    Element Enumeration(const char* aName, const std::vector<std::pair<const char*, uint32_t>>& aEntries,
                        const char* aLocked = nullptr, bool aStreamable = false, size_t aStandard = SIZE_MAX) {
        Element node = d.Node("Enumeration", aName, "Standard");
        Streamable(Locked(node, aLocked), aStreamable);
        for (size_t n = 0; n < aEntries.size(); ++n)
            node.Add("EnumEntry")
                .Attribute("Name", aEntries[n].first)
                .Attribute("NameSpace", n < aStandard ? "Standard" : "Custom")
                .With("Value", aEntries[n].second);
        return node;
    }

    void SwissKnife(const char* aName, std::initializer_list<std::pair<const char*, const char*>> aVariables,
                    const char* aFormula, bool aStandard) {
        Element node = d.Node("IntSwissKnife", aName, aStandard ? "Standard" : "Custom");
        if (!aStandard) node.With("Visibility", "Invisible");
        for (const auto& [variable, target] : aVariables) node.Add("pVariable", target).Attribute("Name", variable);
        node.With("Formula", aFormula);
    }

    void Converter(const char* aName, const char* aTo, const char* aFrom, const char* aValue, const char* aUnit,
                   const char* aSlope) {
        Element node = d.Node("Converter", aName, "Standard");
        node.With("FormulaTo", aTo).With("FormulaFrom", aFrom).With("pValue", aValue);
        if (aUnit) node.With("Unit", aUnit);
        node.With("Slope", aSlope);
    }

    // A node of the embedding code's, of any kind, through this one writer: the elements every node
    // may have, then those of its kind, each only when given.
    void Feature(const FeatureNode& f) {
        Element node = d.Node(f.kind, f.name, f.standard ? "Standard" : "Custom");
        const auto text = [&](const char* aTag, const std::string& aText) {
            if (!aText.empty()) node.With(aTag, aText);
        };
        const auto each = [&](const char* aTag, const std::vector<std::string>& aTexts) {
            for (const std::string& t : aTexts) node.With(aTag, t);
        };
        const auto bound = [&](const char* aTag, const FeatureNode::Bound& aBound) {
            if (!aBound.text.empty()) node.With(aBound.node ? std::string("p") + aTag : std::string(aTag), aBound.text);
        };
        const bool intReg = f.kind == "IntReg", floatReg = f.kind == "FloatReg";
        const bool reg = intReg || floatReg || f.kind == "StringReg" || f.kind == "Register";
        text("ToolTip", f.toolTip);
        text("Description", f.description);
        text("DisplayName", f.displayName);
        text("Visibility", f.visibility);
        text("EventID", f.eventId);
        text("pIsAvailable", f.isAvailable);
        text("pIsLocked", f.isLocked);
        text("ImposedAccessMode", f.imposedAccess);
        if (!reg) each("pInvalidator", f.invalidators);
        if (f.streamable) node.With("Streamable", "Yes");
        each("pFeature", f.features);
        if (reg) {
            node.WithHex("Address", f.addressNode.empty() ? f.address : 0);
            text("pAddress", f.addressNode);
            node.With("Length", f.length).With("AccessMode", f.access).With("pPort", f.port);
            text("Cachable", f.cachable);
            if (f.pollingTime) node.With("PollingTime", f.pollingTime);
            each("pInvalidator", f.invalidators);
            if (intReg) node.With("Sign", f.isSigned ? "Signed" : "Unsigned");
            if (intReg || floatReg) node.With("Endianess", f.littleEndian ? "LittleEndian" : "BigEndian");
        }
        text("ChunkID", f.chunkId);
        for (const auto& [variable, target] : f.variables) node.Add("pVariable", target).Attribute("Name", variable);
        text("FormulaTo", f.formulaTo);
        text("FormulaFrom", f.formulaFrom);
        text("Formula", f.formula);
        for (const FeatureNode::Entry& e : f.entries) {
            Element entry = node.Add("EnumEntry").Attribute("Name", e.name).Attribute("NameSpace",
                                                                                    e.standard ? "Standard" : "Custom");
            if (!e.displayName.empty()) entry.With("DisplayName", e.displayName);
            if (!e.isAvailable.empty()) entry.With("pIsAvailable", e.isAvailable);
            entry.With("Value", e.value);
        }
        text("pValue", f.value);
        bound("Min", f.min);
        bound("Max", f.max);
        bound("Inc", f.inc);
        if (f.kind == "Boolean") node.With("OnValue", 1).With("OffValue", 0);
        if (f.kind == "Command") node.With("CommandValue", 1);
        text("Unit", f.unit);
        text("Representation", f.representation);
        each("pSelected", f.selected);
    }
};

}  // namespace

// One change of a node the description holds (or of one of its enumeration entries).
void Patch(TqGenXml::Description& description, const NodePatch& aPatch) {
    std::optional<Element> node = description.Find(aPatch.node);
    if (node && !aPatch.entry.empty()) node = node->Child("EnumEntry", "Name", aPatch.entry);
    if (!node) return;
    if (aPatch.append) {
        node->Insert(aPatch.tag, aPatch.value);
        return;
    }
    node->Put(aPatch.tag, aPatch.value, aPatch.replaced);
}

// The features of the test pattern's frames: their rate and exposure, and the FrameEnd event.
void TestPatternFeatures(TqGenXml::Description& description, Writer& w) {
    w.Boolean("AcquisitionFrameRateEnable", "AcquisitionFrameRateEnableReg");
    w.IntReg("AcquisitionFrameRateEnableReg", Reg::kFrameRateEnable, "RW", 4, false, "Invisible");
    // The frame rate in Hz over the frame period in microseconds.
    w.Converter("AcquisitionFrameRate", "1000000 / FROM", "1000000 / TO", "AcquisitionFramePeriod", "Hz", "Decreasing");
    w.Integer("AcquisitionFramePeriod", "AcquisitionFramePeriodReg", "1000", "10000000", nullptr, "", "us", "Invisible");
    w.IntReg("AcquisitionFramePeriodReg", Reg::kFramePeriod, "RW", 4, false, "Invisible");
    w.Converter("ExposureTime", "FROM", "TO", "ExposureTimeRaw", "us", "Increasing");
    w.Integer("ExposureTimeRaw", "ExposureTimeReg", "10", "1000000", nullptr, "", "us", "Invisible");
    w.IntReg("ExposureTimeReg", Reg::kExposureTime, "RW", 4, false, "Invisible");

    // ---- events: FrameEnd, with the block ID and the timestamp as data ----
    w.Category("EventControl", {"EventSelector", "EventNotification", "EventFrameEnd", "EventFrameEndFrameID",
                                "EventFrameEndTimestamp"});
    w.Enumeration("EventSelector", {{"FrameEnd", kFrameEndEventId}})
        .With("Value", kFrameEndEventId)
        .With("pSelected", "EventNotification");
    w.Enumeration("EventNotification", {{"Off", 0}, {"On", 1}}).With("pValue", "EventNotificationReg");
    w.IntReg("EventNotificationReg", Reg::kEventNotification, "RW", 4, false, "Invisible");
    description.Node("Integer", "EventFrameEnd", "Standard").With("Value", kFrameEndEventId);
    // The port shows the event's header (16 bytes) before its data.
    w.IntReg("EventFrameEndFrameID", 16, "RO", 8, true, nullptr, "EventFrameEndPort");
    w.IntReg("EventFrameEndTimestamp", 24, "RO", 8, true, nullptr, "EventFrameEndPort");
    char eventId[8];
    std::snprintf(eventId, sizeof eventId, "%04X", unsigned(kFrameEndEventId));
    description.Node("Port", "EventFrameEndPort").With("EventID", eventId);
}

// The serial ports: each port's status, event ID and loopback (the windows are no features).
void SerialPortFeatures(TqGenXml::Description& description, Writer& w) {
    static const char* const kSerialNames[Serial::kPorts] = {"Serial0",     "Serial1",     "SerialBulk0", "SerialBulk1",
                                                             "SerialBulk2", "SerialBulk3", "SerialBulk4", "SerialBulk5",
                                                             "SerialBulk6", "SerialBulk7"};
    std::vector<std::string> serialFeatures;
    for (const char* port : kSerialNames)
        for (const char* what : {"Status", "EventID", "Loopback"}) serialFeatures.push_back(std::string(port) + what);
    description.Category("SerialPortControl", "Custom", serialFeatures);
    for (uint32_t n = 0; n < Serial::kPorts; ++n) {
        const std::string port = kSerialNames[n];
        w.IntReg(port + "Status", Serial::Base(n) + Serial::kStatus, "RO", 4, false, "Expert");
        w.IntReg(port + "EventID", Serial::Base(n) + Serial::kEventId, "RO", 4, false, "Expert");
        w.IntReg(port + "Loopback", Serial::Base(n) + Serial::kLoopback, "RW", 4, false, "Expert");
    }
}

// The chunk features of a software device: ChunkSelector picks the chunk whose ChunkEnable shows;
// with several channels, of the one SourceSelector names. The registers are the embedding code's.
void ChunkFeatures(TqGenXml::Description& description, Writer& w, const Description& aSoft, uint32_t aChannels) {
    const Index source = aChannels > 1 ? Index{"SourceSelectorReg", 16} : Index{};
    description.Category("ChunkDataControl", "Standard", {"ChunkModeActive", "ChunkSelector", "ChunkEnable"});
    w.Boolean("ChunkModeActive", "ChunkModeActiveReg", "TLParamsLocked");
    w.IntReg("ChunkModeActiveReg", aSoft.chunkBase, "RW", 4, false, "Invisible", "Device", source);
    std::vector<std::pair<const char*, uint32_t>> entries;
    for (const auto& [id, name] : aSoft.chunkEntries) entries.emplace_back(name.c_str(), id);
    w.Enumeration("ChunkSelector", entries).With("pValue", "ChunkSelectorReg").With("pSelected", "ChunkEnable");
    w.IntReg("ChunkSelectorReg", aSoft.chunkBase + 4, "RW", 4, false, "Invisible", "Device", source);
    w.Boolean("ChunkEnable", "ChunkEnableReg", "TLParamsLocked");
    w.IntReg("ChunkEnableReg", aSoft.chunkBase + 8, "RW", 4, false, "Invisible", "Device", source);
}

// One value of each channel, as a constant when the channels agree, else as an invisible node that
// picks the value of the channel SourceSelector names: its name, or the number.
std::string PerChannel(Writer& aWriter, const char* aName, const std::vector<uint32_t>& aValues) {
    if (std::adjacent_find(aValues.begin(), aValues.end(), std::not_equal_to<>()) == aValues.end())
        return std::to_string(aValues.empty() ? 1 : aValues[0]);
    std::string formula = std::to_string(aValues.back());
    for (size_t n = aValues.size() - 1; n-- > 0;)
        formula = "(S = " + std::to_string(n) + ") ? " + std::to_string(aValues[n]) + " : (" + formula + ")";
    Element node = aWriter.d.Node("IntSwissKnife", aName);
    node.With("Visibility", "Invisible");
    node.Add("pVariable", "SourceSelectorReg").Attribute("Name", "S");
    node.With("Formula", formula);
    return aName;
}

// The user sets: the selected set's load and save, the set loaded at start, and which features a
// save stores (those of the image format, when the device has stream channels, then the embedding
// code's Streamable features).
void UserSetFeatures(TqGenXml::Description& description, Writer& w, const Description& aSoft, uint32_t aChannels) {
    const uint32_t base = aSoft.userSetBase;
    const auto at = [&](UserSetRegister aRegister) { return UserSetAddress(base, aRegister); };
    std::vector<std::string_view> features = {"UserSetSelector", "UserSetLoad", "UserSetSave", "UserSetDefault"};
    const bool selectable = aChannels > 0 || !aSoft.userSetFeatures.empty();
    if (selectable) features.insert(features.end(), {"UserSetFeatureSelector", "UserSetFeatureEnable"});
    description.Category("UserSetControl", "Standard", features);
    std::vector<std::string> names = {"Default"};
    for (uint32_t k = 1; k <= aSoft.userSetCount; ++k) names.push_back("UserSet" + std::to_string(k));
    std::vector<std::pair<const char*, uint32_t>> sets;
    for (uint32_t k = 0; k < names.size(); ++k) sets.emplace_back(names[k].c_str(), k);
    Element selector = w.Enumeration("UserSetSelector", sets);
    selector.With("pValue", "UserSetSelectorReg").With("pSelected", "UserSetLoad").With("pSelected", "UserSetSave");
    w.IntReg("UserSetSelectorReg", at(UserSetRegister::kSelector), "RW", 4, false, "Invisible");
    w.Command("UserSetLoad", "UserSetLoadReg");
    w.IntReg("UserSetLoadReg", at(UserSetRegister::kLoad), "WO", 4, false, "Invisible");
    w.Command("UserSetSave", "UserSetSaveReg");
    w.IntReg("UserSetSaveReg", at(UserSetRegister::kSave), "WO", 4, false, "Invisible");
    w.Enumeration("UserSetDefault", sets).With("pValue", "UserSetDefaultReg");
    w.IntReg("UserSetDefaultReg", at(UserSetRegister::kDefault), "RW", 4, false, "Invisible");
    if (!selectable) return;
    std::vector<std::pair<const char*, uint32_t>> streamable;
    if (aChannels > 0)
        for (uint32_t n = 0; n < kUserSetFeatures.size(); ++n) streamable.emplace_back(kUserSetFeatures[n], n);
    for (size_t n = 0; n < aSoft.userSetFeatures.size(); ++n)
        streamable.emplace_back(aSoft.userSetFeatures[n].c_str(), UserSetFeatureValue(n));
    const size_t standard = streamable.size() - aSoft.userSetFeatures.size();
    w.Enumeration("UserSetFeatureSelector", streamable, nullptr, false, standard)
        .With("pValue", "UserSetFeatureSelectorReg")
        .With("pSelected", "UserSetFeatureEnable");
    w.IntReg("UserSetFeatureSelectorReg", at(UserSetRegister::kFeatureSelector), "RW", 4, false, "Invisible");
    w.Boolean("UserSetFeatureEnable", "UserSetFeatureEnableReg");
    w.IntReg("UserSetFeatureEnableReg", at(UserSetRegister::kFeatureEnable), "RW", 4, false, "Invisible");
}

// The register nodes behind the embedding code's Streamable features (each feature's own, or the
// first its pValue chain reaches): a user-set load writes them behind a controller's back, so
// UserSetLoad's register is their pInvalidator.
std::set<std::string> ReloadedRegisters(const Description& aSoft) {
    const auto find = [&](const std::string& aName) -> const FeatureNode* {
        for (const FeatureNode& f : aSoft.features)
            if (f.name == aName) return &f;
        return nullptr;
    };
    std::set<std::string> registers;
    for (const std::string& name : aSoft.userSetFeatures) {
        const FeatureNode* node = find(name);
        for (int hops = 0; node && hops < 8; ++hops, node = find(node->value))
            if (node->kind == "IntReg" || node->kind == "FloatReg" || node->kind == "StringReg" || node->kind == "Register") {
                registers.insert(node->name);
                break;
            }
    }
    return registers;
}

// The root's header: the test device's own (over aModel and aVendor, which the header views), or the
// one a software device's description gives.
TqGenXml::Header RootHeader(const DeviceConfig& aConfig, const std::string& aModel, const std::string& aVendor) {
    TqGenXml::Header header{aModel, aVendor, "Software GigE Vision device", "GEV",
                            "4B49564F-0000-4000-8000-000000000001", "4B49564F-0000-4000-8000-000000010000"};
    if (const Description* soft = aConfig.description.get()) {
        const DescriptionHeader& h = soft->header;
        header = {h.modelName,   h.vendorName,     h.toolTip,        "GEV",
                  h.productGuid, h.versionGuid,    h.majorVersion,   h.minorVersion,
                  h.subMinorVersion};
    }
    return header;
}

// The categories under Root, in the order a browser shows them.
void RootCategory(TqGenXml::Description& description, const Description* soft, uint32_t channels, bool chunks) {
    std::vector<std::string_view> root = {"DeviceControl", "ImageFormatControl", "AcquisitionControl", "EventControl",
                                          "TransportLayerControl", "SerialPortControl"};
    if (channels == 0) std::erase(root, "ImageFormatControl");
    if (soft) {
        std::erase(root, "EventControl");
        std::erase(root, "SerialPortControl");
        if (chunks) root.insert(root.begin() + 3, "ChunkDataControl");
        if (soft->userSetBase) root.insert(root.begin() + 1, "UserSetControl");
        root.insert(root.end(), soft->topCategories.begin(), soft->topCategories.end());
    }
    description.Category("Root", "Standard", root);
}

// The device's names, versions, user name and reset.
void DeviceControlFeatures(Writer& w) {
    w.Category("DeviceControl", {"DeviceVendorName", "DeviceModelName", "DeviceVersion", "DeviceManufacturerInfo",
                                 "DeviceID", "DeviceSerialNumber", "DeviceUserID", "DeviceFirmwareVersion",
                                 "DeviceReset"});
    w.StringReg("DeviceVendorName", Reg::kManufacturerName, 32, "RO");
    w.StringReg("DeviceModelName", Reg::kModelName, 32, "RO");
    w.StringReg("DeviceVersion", Reg::kDeviceVersion, 32, "RO");
    w.StringReg("DeviceManufacturerInfo", Reg::kManufacturerInfo, 48, "RO");
    w.StringReg("DeviceID", Reg::kSerialNumber, 16, "RO");
    w.StringReg("DeviceSerialNumber", Reg::kSerialNumber, 16, "RO");
    w.StringReg("DeviceUserID", Reg::kUserName, 16, "RW");
    w.StringReg("DeviceFirmwareVersion", Reg::kFirmwareVersion, 32, "RO");
    w.Command("DeviceReset", "DeviceResetReg");
    w.IntReg("DeviceResetReg", Reg::kDeviceReset, "WO", 4, false, "Invisible");
}

// SourceSelector: which channel's image format the format features show.
void SourceSelector(Writer& w, const Description* soft, uint32_t channels, bool chunks) {
    std::vector<std::string> names;
    for (uint32_t n = 0; n < channels; ++n) names.push_back("Source" + std::to_string(n));
    std::vector<std::pair<const char*, uint32_t>> sources;
    for (uint32_t n = 0; n < channels; ++n) sources.emplace_back(names[n].c_str(), n);
    Element selector = w.Enumeration("SourceSelector", sources);
    selector.With("pValue", "SourceSelectorReg");
    for (const char* selected : {"SensorWidth", "SensorHeight", "WidthMax", "HeightMax", "Width", "Height",
                                 "OffsetX", "OffsetY", "PixelFormat", "PayloadSize"})
        selector.With("pSelected", selected);
    if (chunks)
        for (const char* selected : {"ChunkModeActive", "ChunkSelector", "ChunkEnable"})
            selector.With("pSelected", selected);
    if (soft)
        for (const std::string& selected : soft->sourceSelected) selector.With("pSelected", selected);
    w.IntReg("SourceSelectorReg", Reg::kSourceSelector, "RW", 4, false, "Invisible");
}

// The formats of every channel, each once, in the order the channels list them.
std::vector<std::pair<const char*, uint32_t>> PixelFormatEntries(const DeviceConfig& aConfig) {
    std::vector<std::pair<const char*, uint32_t>> formats;
    for (const ChannelConfig& channel : aConfig.channels)
        for (uint32_t format : channel.pixelFormats) {
            if (std::find_if(formats.begin(), formats.end(), [&](const auto& f) { return f.second == format; }) !=
                formats.end())
                continue;
            const auto named = aConfig.pixelFormatNames.find(format);
            formats.emplace_back(named != aConfig.pixelFormatNames.end() ? named->second.c_str() : Pfnc::Name(format),
                                 format);
        }
    return formats;
}

// The image format: with several channels, of the one SourceSelector names.
void ImageFormatFeatures(TqGenXml::Description& description, Writer& w, const DeviceConfig& aConfig,
                         const Description* soft, uint32_t channels, bool chunks) {
    const bool several = channels > 1;
    const Index source = several ? Index{"SourceSelectorReg", Reg::kFormatStride} : Index{};
    std::vector<std::string_view> imageFeatures = {"SensorWidth", "SensorHeight", "WidthMax", "HeightMax", "Width",
                                                   "Height",      "OffsetX",      "OffsetY",  "PixelFormat"};
    if (several) imageFeatures.insert(imageFeatures.begin(), "SourceSelector");
    description.Category("ImageFormatControl", "Standard", imageFeatures);
    if (several) SourceSelector(w, soft, channels, chunks);
    w.IntReg("SensorWidth", Reg::kSensorWidth, "RO", 4, true, nullptr, "Device", source);
    w.IntReg("SensorHeight", Reg::kSensorHeight, "RO", 4, true, nullptr, "Device", source);
    w.SwissKnife("WidthMax", {{"SW", "SensorWidth"}, {"OX", "OffsetXReg"}}, "SW - OX", true);
    w.SwissKnife("HeightMax", {{"SH", "SensorHeight"}, {"OY", "OffsetYReg"}}, "SH - OY", true);
    w.SwissKnife("OffsetXMax", {{"SW", "SensorWidth"}, {"W", "WidthReg"}}, "SW - W", false);
    w.SwissKnife("OffsetYMax", {{"SH", "SensorHeight"}, {"H", "HeightReg"}}, "SH - H", false);
    // The smallest width and height and their steps: the test device's are 1.
    std::vector<uint32_t> widthMin, widthInc, heightMin, heightInc;
    for (uint32_t n = 0; n < channels; ++n) {
        const ChannelLimits limits = soft && n < soft->limits.size() ? soft->limits[n] : ChannelLimits();
        widthMin.push_back(limits.widthMin);
        widthInc.push_back(limits.widthInc);
        heightMin.push_back(limits.heightMin);
        heightInc.push_back(limits.heightInc);
    }
    const std::string minWidth = PerChannel(w, "WidthMinimum", widthMin);
    const std::string stepWidth = PerChannel(w, "WidthIncrement", widthInc);
    const std::string minHeight = PerChannel(w, "HeightMinimum", heightMin);
    const std::string stepHeight = PerChannel(w, "HeightIncrement", heightInc);
    // What a user set stores is marked Streamable (a software device's description with user sets).
    const bool streamable = soft && soft->userSetBase;
    w.Integer("Width", "WidthReg", minWidth, "WidthMax", "TLParamsLocked", stepWidth, nullptr, nullptr, streamable);
    w.IntReg("WidthReg", Reg::kWidth, "RW", 4, false, "Invisible", "Device", source);
    w.Integer("Height", "HeightReg", minHeight, "HeightMax", "TLParamsLocked", stepHeight, nullptr, nullptr,
              streamable);
    w.IntReg("HeightReg", Reg::kHeight, "RW", 4, false, "Invisible", "Device", source);
    w.Integer("OffsetX", "OffsetXReg", "0", "OffsetXMax", "TLParamsLocked", "1", nullptr, nullptr, streamable);
    w.IntReg("OffsetXReg", Reg::kOffsetX, "RW", 4, false, "Invisible", "Device", source);
    w.Integer("OffsetY", "OffsetYReg", "0", "OffsetYMax", "TLParamsLocked", "1", nullptr, nullptr, streamable);
    w.IntReg("OffsetYReg", Reg::kOffsetY, "RW", 4, false, "Invisible", "Device", source);
    w.Enumeration("PixelFormat", PixelFormatEntries(aConfig), "TLParamsLocked", streamable)
        .With("pValue", "PixelFormatReg");
    w.IntReg("PixelFormatReg", Reg::kPixelFormat, "RW", 4, false, "Invisible", "Device", source);
}

// Acquisition mode, start and stop (and the test pattern's rate, exposure and event).
void AcquisitionFeatures(TqGenXml::Description& description, Writer& w, bool soft) {
    std::vector<std::string_view> acquisition = {"AcquisitionMode", "AcquisitionStart", "AcquisitionStop"};
    if (!soft) acquisition.insert(acquisition.end(), {"AcquisitionFrameRateEnable", "AcquisitionFrameRate", "ExposureTime"});
    description.Category("AcquisitionControl", "Standard", acquisition);
    w.Enumeration("AcquisitionMode", {{"Continuous", 0}, {"SingleFrame", 1}}).With("pValue", "AcquisitionModeReg");
    w.IntReg("AcquisitionModeReg", Reg::kAcquisitionMode, "RW", 4, false, "Invisible");
    w.Command("AcquisitionStart", "AcquisitionStartReg");
    w.IntReg("AcquisitionStartReg", Reg::kAcquisitionStart, "WO", 4, false, "Invisible");
    w.Command("AcquisitionStop", "AcquisitionStopReg");
    w.IntReg("AcquisitionStopReg", Reg::kAcquisitionStop, "WO", 4, false, "Invisible");
    if (!soft) TestPatternFeatures(description, w);
}

// A stream channel's features: with several channels, of the one GevStreamChannelSelector names.
void StreamChannelFeatures(TqGenXml::Description& description, Writer& w, const DeviceConfig& aConfig,
                           const std::vector<std::string_view>& channelFeatures, bool multiPart) {
    const uint32_t channels = aConfig.streamChannels;
    const Index channel = channels > 1 ? Index{"GevStreamChannelSelector", Reg::Scp(1) - Reg::Scp(0)} : Index{};
    if (channels > 1) {
        Element selector = description.Node("Integer", "GevStreamChannelSelector", "Standard");
        selector.With("Value", 0).With("Min", 0).With("Max", channels - 1);
        for (std::string_view selected : channelFeatures) selector.With("pSelected", selected);
    }
    w.Integer("GevSCPHostPort", "GevSCPHostPortReg", "0", "65535", "TLParamsLocked");
    w.Masked("GevSCPHostPortReg", Reg::Scp(0), 16, 31, channel);
    // The largest packet size: the channel's own, a constant while there is one channel.
    const std::string packetMax =
        channels > 1 ? "GevSCPSPacketSizeMax" : std::to_string(aConfig.channels[0].packetSizeMax);
    w.Integer("GevSCPSPacketSize", "GevSCPSPacketSizeReg", std::to_string(Reg::kMinPacketSize), packetMax,
              "TLParamsLocked", "4", "B");
    if (channels > 1)
        w.IntReg("GevSCPSPacketSizeMax", Reg::PacketSizeMax(0), "RO", 4, false, "Invisible", "Device",
                 Index{"GevStreamChannelSelector", 4});
    w.Masked("GevSCPSPacketSizeReg", Reg::Scps(0), 16, 31, channel);
    w.Boolean("GevSCPSDoNotFragment", "GevSCPSDoNotFragmentReg", "TLParamsLocked");
    w.Masked("GevSCPSDoNotFragmentReg", Reg::Scps(0), 1, 1, channel);
    w.Command("GevSCPSFireTestPacket", "GevSCPSFireTestPacketReg");
    w.Masked("GevSCPSFireTestPacketReg", Reg::Scps(0), 0, 0, channel);
    w.IntReg("GevSCPD", Reg::Scpd(0), "RW", 4, true, nullptr, "Device", channel);
    w.IntReg("GevSCDA", Reg::Scda(0), "RW", 4, true, nullptr, "Device", channel);
    w.IntReg("GevSCSP", Reg::Scsp(0), "RO", 4, true, nullptr, "Device", channel);
    if (multiPart) {
        // Large leader and trailer only while multi-part is allowed.
        w.Boolean("GevSCCFGMultiPartEnabled", "GevSCCFGMultiPartEnabledReg", "TLParamsLocked");
        w.Masked("GevSCCFGMultiPartEnabledReg", Reg::Sccfg(0), 25, 25, channel);
        description.Node("Boolean", "GevSCCFGLargeLeaderTrailerEnabled", "Standard")
            .With("pIsAvailable", "GevSCCFGMultiPartEnabled")
            .With("pIsLocked", "TLParamsLocked")
            .With("pValue", "GevSCCFGLargeLeaderTrailerEnabledReg")
            .With("OnValue", 1)
            .With("OffValue", 0);
        w.Masked("GevSCCFGLargeLeaderTrailerEnabledReg", Reg::Sccfg(0), 26, 26, channel);
    }
}

// The transport layer: payload size, lock, addresses, heartbeat, control and message channels, and
// the stream channels.
void TransportLayerFeatures(TqGenXml::Description& description, Writer& w, const DeviceConfig& aConfig,
                            const Description* soft) {
    const uint32_t channels = aConfig.streamChannels;
    std::vector<std::string_view> transport = {"PayloadSize", "TLParamsLocked", "GevCurrentIPAddress",
                                               "GevCurrentSubnetMask", "GevMACAddress", "GevHeartbeatTimeout",
                                               "GevTimestampTickFrequency", "GevCCP", "GevMCPHostPort", "GevMCDA",
                                               "GevMCTT", "GevMCRC", "GevGVSPExtendedIDMode"};
    std::vector<std::string_view> channelFeatures = {"GevSCPHostPort", "GevSCPSPacketSize", "GevSCPSDoNotFragment",
                                                     "GevSCPSFireTestPacket", "GevSCPD", "GevSCDA", "GevSCSP"};
    const bool multiPart = channels > 0 && soft && soft->multiPart;
    if (multiPart) channelFeatures.insert(channelFeatures.end(), {"GevSCCFGMultiPartEnabled", "GevSCCFGLargeLeaderTrailerEnabled"});
    if (channels > 1) transport.push_back("GevStreamChannelSelector");
    if (channels > 0) transport.insert(transport.end(), channelFeatures.begin(), channelFeatures.end());
    else transport.erase(transport.begin());   // no PayloadSize
    description.Category("TransportLayerControl", "Standard", transport);
    if (channels > 0 && soft && soft->payloadSizeBase)
        w.IntReg("PayloadSize", soft->payloadSizeBase, "RO", 4, true, nullptr, "Device",
                 channels > 1 ? Index{"SourceSelectorReg", 4} : Index{});
    else if (channels > 0)
        w.SwissKnife("PayloadSize", {{"W", "WidthReg"}, {"H", "HeightReg"}, {"PF", "PixelFormatReg"}},
                     "W * H * ((PF >> 16) & 255) / 8", true);
    w.Integer("TLParamsLocked", "TLParamsLockedReg", "0", "1", nullptr, "", nullptr, "Invisible");
    w.IntReg("TLParamsLockedReg", Reg::kTLParamsLocked, "RW", 4, false, "Invisible");
    w.IntReg("GevCurrentIPAddress", Reg::kCurrentIp, "RO");
    w.IntReg("GevCurrentSubnetMask", Reg::kSubnetMask, "RO");
    w.IntReg("GevMACAddress", Reg::kMacHigh, "RO", 8);
    w.Integer("GevHeartbeatTimeout", "GevHeartbeatTimeoutReg", std::to_string(Reg::kMinHeartbeatTimeout),
              std::to_string(Reg::kMaxHeartbeatTimeout), nullptr, "", "ms");
    w.IntReg("GevHeartbeatTimeoutReg", Reg::kHeartbeatTimeout, "RW", 4, false, "Invisible");
    w.IntReg("GevTimestampTickFrequency", Reg::kTickFrequencyHigh, "RO", 8);
    w.IntReg("GevCCP", Reg::kCcp, "RW", 4, true, "Guru");
    w.Integer("GevMCPHostPort", "GevMCPHostPortReg", "0", "65535");
    w.Masked("GevMCPHostPortReg", Reg::kMcp, 16, 31);
    w.IntReg("GevMCDA", Reg::kMcda, "RW");
    w.IntReg("GevMCTT", Reg::kMctt, "RW");
    w.IntReg("GevMCRC", Reg::kMcrc, "RW");
    // 64-bit block IDs (streams, events and resend requests).
    w.Enumeration("GevGVSPExtendedIDMode", {{"Off", 0}, {"On", 1}}, "TLParamsLocked")
        .With("pValue", "GevGVSPExtendedIDModeReg");
    w.Masked("GevGVSPExtendedIDModeReg", Reg::kGvspConfiguration, 1, 1);
    if (channels > 0) StreamChannelFeatures(description, w, aConfig, channelFeatures, multiPart);
}

// What a software device's description adds: its features (those a user-set load rewrites
// invalidated by UserSetLoad's register), the categories it joins and its patches.
void SoftwareDeviceFeatures(TqGenXml::Description& description, Writer& w, const Description& soft) {
    // A standard category this device has not (ChunkDataControl without chunks) is made for the
    // features that join it.
    for (const auto& [category, features] : soft.joinedCategories) {
        std::optional<Element> node = description.Find(category);
        if (!node) {
            node = description.Category(category, "Standard", std::vector<std::string>());
            description.Find("Root")->With("pFeature", category);
        }
        for (const std::string& feature : features) node->With("pFeature", feature);
    }
    const std::set<std::string> reloaded = soft.userSetBase ? ReloadedRegisters(soft) : std::set<std::string>();
    for (const FeatureNode& feature : soft.features) {
        if (!reloaded.count(feature.name)) {
            w.Feature(feature);
            continue;
        }
        FeatureNode invalidated = feature;
        invalidated.invalidators.push_back("UserSetLoadReg");
        w.Feature(invalidated);
    }
    for (const NodePatch& patch : soft.patches) Patch(description, patch);
}

std::string BuildXml(const DeviceConfig& aConfig) {
    // A software device's description (given) has no test-pattern features and takes its header as given.
    const Description* const soft = aConfig.description.get();
    const std::string model = Identifier(aConfig.identity.model, "SoftwareDevice");
    const std::string vendor = Identifier(aConfig.identity.manufacturer, "Kivo");
    TqGenXml::Description description(RootHeader(aConfig, model, vendor));
    description.Root().Attribute("xsi:schemaLocation", "http://www.genicam.org/GenApi/Version_1_1 "
                                                       "http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd");
    Writer w{description};

    const uint32_t channels = aConfig.streamChannels;
    const bool chunks = channels > 0 && soft && soft->chunkBase && !soft->chunkEntries.empty();
    RootCategory(description, soft, channels, chunks);
    DeviceControlFeatures(w);
    if (channels > 0) ImageFormatFeatures(description, w, aConfig, soft, channels, chunks);
    AcquisitionFeatures(description, w, soft != nullptr);
    if (chunks) ChunkFeatures(description, w, *soft, channels);
    TransportLayerFeatures(description, w, aConfig, soft);
    if (!soft) SerialPortFeatures(description, w);
    if (soft && soft->userSetBase) UserSetFeatures(description, w, *soft, channels);
    if (soft) SoftwareDeviceFeatures(description, w, *soft);

    description.Node("Port", "Device", "Standard");
    std::string text = description.Text();
    while (text.size() % 4) text.insert(text.size() - 1, " ");
    return text;
}

}  // namespace TqEngine
