// The software device's GenApi factory: each kind and attribute as the description writes it, the
// pending feature's reset, categories and entries, the result codes of the Create operations, names
// that clash, the load check of Start, features of several sources merged, and the values a
// controller's node map (ours over a connected TqDevice, and aravis's) reads from them.
#include "TqDevice.h"
#include "TqGenParameter.h"
#include "TqGenParameterArray.h"
#include "TqSoftDeviceAccess.h"
#include "TqSoftDeviceGEV.h"
#include "engine_helpers.h"
#include "soft_recorders.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>

using namespace KivoSoftTest;

namespace {

constexpr const char* kLoopback = "00:00:00:00:00:00";
// Where the test's registers lie (the application's part of the register space).
constexpr uint32_t kBase = 0x00020000;

// A register the test's sink makes through the register factory; once made (each start makes it
// anew), the device's register object.
struct TestRegister {
    TestRegister(const char* aName, uint32_t aAddress, uint32_t aLength, bool aBytes = false, bool aWritable = true)
        : name(aName), address(aAddress), length(aLength), bytes(aBytes), writable(aWritable) {}
    operator ITqRegister*() const { return made; }
    std::string name;
    uint32_t address, length;
    bool bytes, writable;
    ITqRegister* made = nullptr;
};

// The engine device's memory, where the registers' bytes lie (big-endian).
struct Memory {
    void Put(uint32_t aAddress, uint64_t aValue, int aLength) {
        uint8_t bytes[8];
        for (int n = 0; n < aLength; ++n) bytes[n] = uint8_t(aValue >> (8 * (aLength - 1 - n)));
        EXPECT_EQ(engine->WriteMemory(aAddress, bytes, size_t(aLength)), TqEngine::Gvcp::kSuccess);
    }
    uint64_t Get(uint32_t aAddress, int aLength) {
        uint8_t bytes[8] = {};
        EXPECT_EQ(engine->ReadMemory(aAddress, bytes, size_t(aLength)), TqEngine::Gvcp::kSuccess);
        uint64_t value = 0;
        for (int n = 0; n < aLength; ++n) value = (value << 8) | bytes[n];
        return value;
    }
    std::string Text(uint32_t aAddress, size_t aLength) {
        std::string text(aLength, '\0');
        EXPECT_EQ(engine->ReadMemory(aAddress, text.data(), aLength), TqEngine::Gvcp::kSuccess);
        return text.substr(0, text.find('\0'));
    }
    void PutDouble(uint32_t aAddress, double aValue) {
        uint64_t raw;
        std::memcpy(&raw, &aValue, 8);
        Put(aAddress, raw, 8);
    }
    double GetDouble(uint32_t aAddress) {
        const uint64_t raw = Get(aAddress, 8);
        double value;
        std::memcpy(&value, &raw, 8);
        return value;
    }
    std::shared_ptr<TqEngine::Device> engine;
};

using Describe = std::function<void(ITqGenApiFactory*)>;

// An event sink that makes the test's registers and describes the device's features over them.
struct FeatureSink final : ITqSoftDeviceGEVEventSink {
    FeatureSink(Describe aDescribe, std::vector<TestRegister*> aRegisters)
        : describe(std::move(aDescribe)), registers(std::move(aRegisters)) {}
    void OnCreateCustomRegisters(ITqSoftDeviceGEV*, ITqRegisterFactory* aFactory) override {
        for (TestRegister* r : registers) {
            const TqGenAccessMode access = r->writable ? TqGenAccessModeReadWrite : TqGenAccessModeReadOnly;
            const TqString name(r->name.c_str());
            const TqResult made = r->bytes ? aFactory->AddByteArray(name, r->address, r->length, access)
                                           : aFactory->AddRegister(name, r->address, r->length, access);
            EXPECT_TRUE(made.IsOK()) << r->name << ": " << Text(made.GetDescription());
        }
    }
    void OnCreateCustomGenApiFeatures(ITqSoftDeviceGEV* aDevice, ITqGenApiFactory* aFactory) override {
        for (TestRegister* r : registers) r->made = aDevice->GetRegisterMap()->GetRegisterByAddress(r->address);
        factory = aFactory;
        describe(aFactory);
    }
    Describe describe;
    std::vector<TestRegister*> registers;
    ITqGenApiFactory* factory = nullptr;
};

// A device whose sink describes features over the test's registers, and the memory behind them.
struct Rig {
    explicit Rig(Describe aDescribe, std::vector<TestRegister*> aRegisters = {})
        : sink(std::move(aDescribe), std::move(aRegisters)) {
        device.RegisterEventSink(&sink);
    }
    TqResult Start() {
        const TqResult started = device.Start(kLoopback);
        if (started.IsOK()) {
            engine = TqSoftDevice::EngineOf(&device);
            memory->engine = engine;
        }
        return started;
    }
    std::string Xml() const {
        TqString xml;
        EXPECT_TRUE(device.GetGenICamXMLFile(xml).IsOK());
        return Text(xml);
    }
    std::string Address() const { return TqEngine::FormatAddress(engine->Address()); }
    FeatureSink sink;
    std::shared_ptr<Memory> memory = std::make_shared<Memory>();
    std::shared_ptr<TqEngine::Device> engine;
    TqSoftDeviceGEV device;
};

std::string Why(const TqResult& aResult) { return Text(aResult.GetDescription()); }

// A node of the description by name, and the texts of its elements.
struct Parsed {
    explicit Parsed(const std::string& aXml) { EXPECT_TRUE(doc.load_string(aXml.c_str())); }
    pugi::xml_node Node(const char* aName) const {
        return doc.child("RegisterDescription").find_child_by_attribute("Name", aName);
    }
    std::string Of(const char* aName, const char* aTag) const { return Node(aName).child(aTag).text().get(); }
    std::vector<std::string> All(const char* aName, const char* aTag) const {
        std::vector<std::string> out;
        for (pugi::xml_node n : Node(aName).children(aTag)) out.push_back(n.text().get());
        return out;
    }
    pugi::xml_document doc;
};

using Strings = std::vector<std::string>;

}  // namespace

// ---------------------------------------------------------------------------------------------
// The description.

// A feature with every attribute over its register node; a Create resets them all; entries and
// formulas as written; categories.
TEST(SoftDeviceGenApi, AttributesEntriesAndFormulasInTheDescription) {
    TestRegister gain("Gain", kBase, 4), level("Level", kBase + 8, 8), mode("Mode", kBase + 0x2C, 4, false, false);
    std::vector<TqResult> results;
    Rig rig(
        [&](ITqGenApiFactory* f) {
            f->SetName("Gain");
            f->SetDisplayName("The <Gain> & more");
            f->SetCategory("Custom\\Analog", "Analog Things");
            f->SetDescription("How much \"gain\"");
            f->SetToolTip("Gain's tip");
            f->SetAccessMode(TqGenAccessModeReadOnly);
            f->SetRepresentation(TqGenRepresentationHexNumber);
            f->SetVisibility(TqGenVisibilityExpert);
            f->SetCachable(TqGenCacheNone);
            f->SetPollingTime(500);
            f->SetNameSpace(TqGenNameSpaceStandard);
            f->SetTLLocked(true);
            f->SetStreamable(true);
            f->SetUnit("dB");
            f->SetPIsAvailable("Mode");
            f->AddInvalidator("Level");
            results.push_back(f->CreateInteger(gain, -10, 100, 5));
            // Nothing of the first reaches the second.
            f->SetName("Level");
            f->SetPMin("Sum");
            results.push_back(f->CreateFloat(level, -1.5, 2.25));
            f->SetName("Mode");
            f->AddEnumEntry("Off", 0);
            f->AddEnumEntry("HighSpeed", 7, "", TqGenNameSpaceStandard);
            f->AddEnumEntry("On", 1, "Switched on");
            results.push_back(f->CreateEnum(mode));
            f->SetName("Sum");
            f->AddVariable("Gain");
            f->AddVariable("Mode");
            results.push_back(f->CreateIntSwissKnife("(Gain << 16) | (Mode >> 16)"));
        },
        {&gain, &level, &mode});
    const TqResult started = rig.Start();
    ASSERT_TRUE(started.IsOK()) << Why(started);
    for (const TqResult& r : results) EXPECT_TRUE(r.IsOK()) << Why(r);
    const std::string xml = rig.Xml();
    const Parsed p(xml);

    // The feature's own elements, and those of the register node beneath it.
    EXPECT_STREQ(p.Node("Gain").attribute("NameSpace").value(), "Standard");
    const std::vector<std::pair<const char*, const char*>> gainElements = {
        {"DisplayName", "The <Gain> & more"}, {"Description", "How much \"gain\""}, {"ToolTip", "Gain's tip"},
        {"ImposedAccessMode", "RO"}, {"Representation", "HexNumber"}, {"Visibility", "Expert"},
        {"Streamable", "Yes"}, {"Unit", "dB"}, {"pIsAvailable", "Mode"}, {"pIsLocked", "TLParamsLocked"},
        {"Min", "-10"}, {"Max", "100"}, {"Inc", "5"}};
    for (const auto& [tag, text] : gainElements) EXPECT_EQ(p.Of("Gain", tag), text) << tag;
    const std::string gainReg = p.Of("Gain", "pValue");
    ASSERT_EQ(gainReg.rfind("KivoSd_", 0), 0u) << gainReg;
    EXPECT_STREQ(p.Node(gainReg.c_str()).name(), "IntReg");
    const std::vector<std::pair<const char*, const char*>> regElements = {
        {"Address", "0x20000"}, {"Length", "4"},        {"AccessMode", "RW"},
        {"pPort", "Device"},       {"Cachable", "NoCache"}, {"PollingTime", "500"},
        {"pInvalidator", "Level"}, {"Sign", "Signed"},      {"Endianess", "BigEndian"}};
    for (const auto& [tag, text] : regElements) EXPECT_EQ(p.Of(gainReg.c_str(), tag), text) << tag;
    EXPECT_EQ(p.Of(p.Of("Mode", "pValue").c_str(), "AccessMode"), "RO");   // the register's access

    // The float: pMin rather than its constant, the defaults back.
    EXPECT_STREQ(p.Node("Level").attribute("NameSpace").value(), "Custom");
    EXPECT_EQ(p.All("Level", "pMin"), Strings{"Sum"});
    EXPECT_TRUE(p.All("Level", "Min").empty());
    EXPECT_EQ(p.Of("Level", "Max"), "2.25");
    EXPECT_EQ(p.Of("Level", "Visibility"), "Beginner");
    EXPECT_EQ(p.Of("Level", "DisplayName"), "Level");
    for (const char* absent : {"ToolTip", "Description", "ImposedAccessMode", "Streamable", "Unit", "pIsAvailable",
                               "pIsLocked"})
        EXPECT_FALSE(p.Node("Level").child(absent)) << absent;
    EXPECT_EQ(p.Of(p.Of("Level", "pValue").c_str(), "Length"), "8");
    EXPECT_EQ(p.Of(p.Of("Level", "pValue").c_str(), "Cachable"), "WriteThrough");

    // Entries by their symbolic names, display names given or made, namespaces.
    Strings entries;
    for (pugi::xml_node e : p.Node("Mode").children("EnumEntry"))
        entries.push_back(std::string(e.attribute("Name").value()) + "/" + e.child("DisplayName").text().get() + "/" +
                          e.attribute("NameSpace").value() + "/" + e.child("Value").text().get());
    EXPECT_EQ(entries, (Strings{"Off/Off/Custom/0", "HighSpeed/High Speed/Standard/7", "On/Switched on/Custom/1"}));

    // Formulas reach the description intact (escaped in the text, as they read once parsed).
    EXPECT_EQ(p.Of("Sum", "Formula"), "(Gain << 16) | (Mode >> 16)");
    EXPECT_NE(xml.find("(Gain &lt;&lt; 16) | (Mode &gt;&gt; 16)"), std::string::npos);
    Strings variables;
    for (pugi::xml_node v : p.Node("Sum").children("pVariable"))
        variables.push_back(std::string(v.attribute("Name").value()) + "=" + v.text().get());
    EXPECT_EQ(variables, (Strings{"Gain=Gain", "Mode=Mode"}));

    // Categories: each level a node, the top one in Root, the last with its display name.
    EXPECT_EQ(p.All("Root", "pFeature").back(), "Custom");
    EXPECT_EQ(p.All("Custom", "pFeature"), Strings{"Analog"});
    EXPECT_EQ(p.All("Analog", "pFeature"), Strings{"Gain"});
    EXPECT_EQ(p.Of("Analog", "DisplayName"), "Analog Things");
    EXPECT_STREQ(p.Node("Analog").name(), "Category");
}

// Display names derived from a feature's name and its category; the device's own categories take
// features; a selector lists what it selects; a feature locked both while streaming and by another.
TEST(SoftDeviceGenApi, DerivedNamesOwnCategoriesSelectorsAndLocks) {
    TestRegister a("A", kBase, 4), b("B", kBase + 4, 4), c("C", kBase + 8, 4);
    Rig rig(
        [&](ITqGenApiFactory* f) {
            for (auto [name, category] : {std::pair{"DeviceType", "DeviceControl"},
                                          std::pair{"WidthMax", "ImageFormatControl"},
                                          std::pair{"EventTestTimestamp", "EventControl\\EventTestData"},
                                          std::pair{"GevSCPSPacket_size", "TransportLayerControl\\Packets"}}) {
                f->SetName(name);
                f->SetCategory(category);
                f->SetPValue("TLParamsLocked");
                EXPECT_TRUE(f->CreateInteger().IsOK()) << name;
            }
            f->SetName("A");
            f->AddSelected("B");
            f->AddSelected("C");
            f->SetTLLocked(true);
            f->SetPIsLocked("C");
            EXPECT_TRUE(f->CreateInteger(a).IsOK());
            f->SetName("B");
            EXPECT_TRUE(f->CreateInteger(b).IsOK());
            f->SetName("C");
            EXPECT_TRUE(f->CreateInteger(c).IsOK());
        },
        {&a, &b, &c});
    const TqResult started = rig.Start();
    ASSERT_TRUE(started.IsOK()) << Why(started);
    const Parsed p(rig.Xml());
    EXPECT_EQ(p.Of("DeviceType", "DisplayName"), "Type");
    EXPECT_EQ(p.Of("WidthMax", "DisplayName"), "Width Max");
    EXPECT_EQ(p.Of("EventTestTimestamp", "DisplayName"), "Test Timestamp");
    EXPECT_EQ(p.Of("GevSCPSPacket_size", "DisplayName"), "Gev SCPS Packet size");
    EXPECT_EQ(p.Of("EventTestData", "DisplayName"), "Event Test Data");
    // The device's own categories list them after their own features, and stay where they were.
    EXPECT_EQ(p.All("DeviceControl", "pFeature").back(), "DeviceType");
    EXPECT_EQ(p.All("TransportLayerControl", "pFeature").back(), "Packets");
    EXPECT_EQ(p.All("Packets", "pFeature"), Strings{"GevSCPSPacket_size"});
    const Strings root = p.All("Root", "pFeature");
    EXPECT_EQ(std::count(root.begin(), root.end(), "DeviceControl"), 1);
    EXPECT_EQ(std::count(root.begin(), root.end(), "TransportLayerControl"), 1);
    EXPECT_EQ(std::count(root.begin(), root.end(), "ImageFormatControl"), 1);   // the application's, no stream
    EXPECT_EQ(std::count(root.begin(), root.end(), "EventControl"), 1);
    // The selector names what it selects, created after it.
    EXPECT_EQ(p.All("A", "pSelected"), (Strings{"B", "C"}));
    EXPECT_TRUE(p.All("B", "pSelected").empty());
    // Locked while streaming or while C says so: one node made for both.
    const std::string locked = p.Of("A", "pIsLocked");
    ASSERT_EQ(locked.rfind("KivoSd_", 0), 0u) << locked;
    EXPECT_STREQ(p.Node(locked.c_str()).name(), "IntSwissKnife");
    Strings variables;
    for (pugi::xml_node v : p.Node(locked.c_str()).children("pVariable")) variables.push_back(v.text().get());
    EXPECT_EQ(variables, (Strings{"TLParamsLocked", "C"}));
}

// ---------------------------------------------------------------------------------------------
// Result codes.

// Each refusal of a Create, with the attribute or argument that causes it; after each the pending
// feature starts again from its defaults, failed or not.
TEST(SoftDeviceGenApi, CreateAnswersEachFaultWithItsCode) {
    TestRegister word("Word", kBase, 4), wide("Wide", kBase + 0x10, 12, true), bytes("Bytes", kBase + 8, 8, true),
        stranger("Word", kBase, 4);
    // The same register made by another running device.
    Rig other([](ITqGenApiFactory*) {}, {&stranger});
    ASSERT_TRUE(other.Start().IsOK());
    ASSERT_NE(stranger.made, nullptr);
    using Case = std::function<TqResult(ITqGenApiFactory*)>;
    const auto named = [](const char* aName, Case aCase) {
        return [=](ITqGenApiFactory* f) {
            f->SetName(aName);
            return aCase(f);
        };
    };
    const std::vector<std::tuple<std::string, uint32_t, Case>> cases = {
        {"no name", TQ_NOT_INITIALIZED, [&](auto* f) { return f->CreateInteger(word, 5, 1); }},
        {"no name after a failure", TQ_NOT_INITIALIZED, [&](auto* f) { return f->CreateIntSwissKnife("1"); }},
        {"empty name", TQ_NOT_INITIALIZED, [&](auto* f) { f->SetName(""); return f->CreateInteger(word); }},
        {"not a GenICam name", TQ_INVALID_PARAMETER, named("2Fast", [&](auto* f) { return f->CreateInteger(word); })},
        {"a space in the name", TQ_INVALID_PARAMETER, named("A B", [&](auto* f) { return f->CreateInteger(word); })},
        {"the device's own node", TQ_INVALID_PARAMETER,
         named("DeviceVendorName", [&](auto* f) { return f->CreateInteger(word); })},
        {"the invented nodes' prefix", TQ_INVALID_PARAMETER,
         named("KivoSd_Mine", [&](auto* f) { return f->CreateInteger(word); })},
        {"neither register nor pValue", TQ_INVALID_PARAMETER, named("N1", [&](auto* f) { return f->CreateFloat(); })},
        {"a command without pValue", TQ_INVALID_PARAMETER, named("N2", [&](auto* f) { return f->CreateCommand(); })},
        {"a register and a pValue", TQ_INVALID_PARAMETER,
         named("N3", [&](auto* f) { f->SetPValue("Word"); return f->CreateBoolean(word); })},
        {"a register kind without register", TQ_INVALID_PARAMETER,
         named("N4", [&](auto* f) { f->SetPValue("Word"); return f->CreateRegister(); })},
        {"another device's register", TQ_INVALID_PARAMETER,
         named("N5", [&](auto* f) { return f->CreateInteger(stranger); })},
        {"an integer over 12 bytes", TQ_INVALID_PARAMETER, named("N6", [&](auto* f) { return f->CreateInteger(wide); })},
        {"a string over a word", TQ_INVALID_PARAMETER, named("N7", [&](auto* f) { return f->CreateString(word); })},
        {"a register over a word", TQ_INVALID_PARAMETER, named("N8", [&](auto* f) { return f->CreateRegister(word); })},
        {"an integer over a byte array of 8", TQ_OK, named("N9", [&](auto* f) { return f->CreateInteger(bytes); })},
        {"min above max", TQ_INVALID_PARAMETER, named("N10", [&](auto* f) { return f->CreateInteger(word, 5, 1); })},
        {"increment 0", TQ_INVALID_PARAMETER, named("N11", [&](auto* f) { return f->CreateInteger(word, 1, 5, 0); })},
        {"min equal to max", TQ_OK, named("N12", [&](auto* f) { return f->CreateInteger(word, 5, 5); })},
        {"float min above max", TQ_INVALID_PARAMETER,
         named("N13", [&](auto* f) { return f->CreateFloat(word, 2.5, -2.5); })},
        {"float NaN", TQ_INVALID_PARAMETER, named("N14", [&](auto* f) { return f->CreateFloat(word, NAN, 1); })},
        {"an enumeration without entries", TQ_INVALID_PARAMETER,
         named("N15", [&](auto* f) { return f->CreateEnum(word); })},
        {"two entries of one name", TQ_INVALID_PARAMETER, named("N16", [&](auto* f) {
             f->AddEnumEntry("On", 1);
             f->AddEnumEntry("On", 2);
             return f->CreateEnum(word);
         })},
        {"an entry's namespace 999", TQ_INVALID_PARAMETER, named("N17", [&](auto* f) {
             f->AddEnumEntry("On", 1, "", TqGenNameSpaceUndefined);
             return f->CreateEnum(word);
         })},
        {"access 999", TQ_INVALID_PARAMETER,
         named("N18", [&](auto* f) { f->SetAccessMode(TqGenAccessModeUndefined); return f->CreateInteger(word); })},
        {"visibility 999", TQ_INVALID_PARAMETER,
         named("N19", [&](auto* f) { f->SetVisibility(TqGenVisibilityUndefined); return f->CreateInteger(word); })},
        {"cache 999", TQ_INVALID_PARAMETER,
         named("N20", [&](auto* f) { f->SetCachable(TqGenCacheUndefined); return f->CreateInteger(word); })},
        {"namespace 999", TQ_INVALID_PARAMETER,
         named("N21", [&](auto* f) { f->SetNameSpace(TqGenNameSpaceUndefined); return f->CreateInteger(word); })},
        {"a float shown in hexadecimal", TQ_INVALID_PARAMETER, named("N22", [&](auto* f) {
             f->SetRepresentation(TqGenRepresentationHexNumber);
             return f->CreateFloat(word);
         })},
        {"a category with an empty level", TQ_INVALID_PARAMETER,
         named("N23", [&](auto* f) { f->SetCategory("A\\\\B"); return f->CreateInteger(word); })},
        {"a category ending in a backslash", TQ_INVALID_PARAMETER,
         named("N24", [&](auto* f) { f->SetCategory("A\\"); return f->CreateInteger(word); })},
        {"a category through a feature of the device's", TQ_INVALID_PARAMETER,
         named("N25", [&](auto* f) { f->SetCategory("DeviceVendorName\\A"); return f->CreateInteger(word); })},
        {"an empty formula", TQ_INVALID_PARAMETER, named("N26", [&](auto* f) { return f->CreateFloatSwissKnife(""); })},
        {"a converter without value feature", TQ_INVALID_PARAMETER,
         named("N27", [&](auto* f) { return f->CreateIntConverter("", "TO", "FROM"); })},
        {"a converter without a formula", TQ_INVALID_PARAMETER,
         named("N28", [&](auto* f) { return f->CreateFloatConverter("Word", "TO", ""); })},
        {"the pending feature was reset by the failures", TQ_OK,
         named("N29", [&](auto* f) { return f->CreateInteger(word); })},
    };
    std::vector<TqResult> results;
    Rig rig(
        [&](ITqGenApiFactory* f) {
            for (const auto& [what, code, run] : cases) results.push_back(run(f));
        },
        {&word, &wide, &bytes});
    const TqResult started = rig.Start();
    ASSERT_TRUE(started.IsOK()) << Why(started);
    ASSERT_EQ(results.size(), cases.size());
    for (size_t n = 0; n < cases.size(); ++n) {
        EXPECT_EQ(results[n].GetCode(), std::get<1>(cases[n])) << std::get<0>(cases[n]) << ": " << Why(results[n]);
        if (!results[n].IsOK()) {
            EXPECT_FALSE(Why(results[n]).empty()) << std::get<0>(cases[n]);
        }
    }
    // The features that failed are nowhere; the reset one has no attribute of the ones before.
    const Parsed p(rig.Xml());
    EXPECT_FALSE(p.Node("N1"));
    EXPECT_FALSE(p.Node("N18"));
    EXPECT_TRUE(p.Node("N29"));
    EXPECT_EQ(p.Of("N29", "Visibility"), "Beginner");
    EXPECT_FALSE(p.Node("N29").child("Representation").empty());
    EXPECT_EQ(p.Of("N29", "Representation"), "Linear");

    // Kept past its callback, the factory answers TQ_STATE_ERROR and its setters do nothing.
    ITqGenApiFactory* kept = rig.sink.factory;
    ASSERT_NE(kept, nullptr);
    kept->SetName("Late");
    kept->AddEnumEntry("On", 1);
    EXPECT_EQ(kept->CreateInteger(word).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(kept->CreateIntSwissKnife("1").GetCode(), TQ_STATE_ERROR);
    ASSERT_TRUE(rig.device.Stop().IsOK());
    EXPECT_EQ(kept->CreateInteger(word).GetCode(), TQ_STATE_ERROR);
}

// What cannot be served fails the start with its reason, and nothing is served: a name twice in
// one scope, of two kinds, or both a category and a feature (each Create answered TQ_OK), and a
// description that does not load (the loader's text).
TEST(SoftDeviceGenApi, StartFailsNamingWhatDoesNotFit) {
    TestRegister word("Word", kBase, 4);
    const auto create = [&](ITqGenApiFactory* f, const char* aName, bool aBoolean = false) {
        f->SetName(aName);
        EXPECT_TRUE((aBoolean ? f->CreateBoolean(word) : f->CreateInteger(word)).IsOK()) << aName;
    };
    struct Unfit {
        uint32_t code;
        const char* expected;
        Describe describe;
    };
    const std::vector<Unfit> cases = {
        {TQ_INVALID_PARAMETER, "'Twice' is created twice by the event sinks",
         [&](ITqGenApiFactory* f) { create(f, "Twice"), create(f, "Twice"); }},
        {TQ_INVALID_PARAMETER, "'Kinds' is an Integer feature of the event sinks and a Boolean feature of the event sinks",
         [&](ITqGenApiFactory* f) { create(f, "Kinds"), create(f, "Kinds", true); }},
        {TQ_INVALID_PARAMETER, "'Both' is both a category and a feature",
         [&](ITqGenApiFactory* f) {
             create(f, "Both");
             f->SetCategory("Top\\Both");
             create(f, "Other");
         }},
        {TQ_GENICAM_XML_ERROR, "Nowhere",
         [](ITqGenApiFactory* f) {
             f->SetName("Dangling");
             f->SetPValue("Nowhere");
             EXPECT_TRUE(f->CreateInteger().IsOK());
         }},
        {TQ_GENICAM_XML_ERROR, "Unknown",
         [](ITqGenApiFactory* f) {
             f->SetName("Sum");
             f->AddVariable("TLParamsLocked");
             EXPECT_TRUE(f->CreateIntSwissKnife("TLParamsLocked + Unknown").IsOK());
         }},
        {TQ_GENICAM_XML_ERROR, "1 +",
         [](ITqGenApiFactory* f) {
             f->SetName("Bad");
             EXPECT_TRUE(f->CreateIntSwissKnife("1 +").IsOK());
         }},
    };
    for (const Unfit& c : cases) {
        SCOPED_TRACE(c.expected);
        Rig rig(c.describe, {&word});
        const TqResult started = rig.Start();
        EXPECT_EQ(started.GetCode(), c.code);
        EXPECT_NE(Why(started).find(c.expected), std::string::npos) << Why(started);
        if (c.code == TQ_GENICAM_XML_ERROR) {
            EXPECT_NE(Why(started).find("does not load"), std::string::npos);
        }
        EXPECT_EQ(TqSoftDevice::EngineOf(&rig.device), nullptr);
        // Without the fault the device starts.
        rig.sink.describe = [](ITqGenApiFactory*) {};
        EXPECT_TRUE(rig.Start().IsOK());
    }
}

// ---------------------------------------------------------------------------------------------
// Values as controllers read them.

namespace {

// A feature of each kind, all in the category Custom, over the test's registers: a float in inches
// and its converter to centimetres, two integers and their sum, and the other kinds.
struct ValueRig {
    TestRegister inches{"MyInches", kBase, 8}, a{"A", kBase + 8, 4}, b{"B", kBase + 12, 4},
        text{"Text", kBase + 0x10, 16, true}, raw{"Raw", kBase + 0x20, 8, true}, flag{"Flag", kBase + 0x28, 4},
        fire{"Fire", kBase + 0x2C, 4}, mode{"Mode", kBase + 0x30, 4};
    std::vector<TqResult> results;
    Rig rig{[this](ITqGenApiFactory* f) { Describe(f); }, {&inches, &a, &b, &text, &raw, &flag, &fire, &mode}};

    void Describe(ITqGenApiFactory* f) {
        const auto in = [&](const char* aName) {
            f->SetName(aName);
            f->SetCategory("Custom", "Custom features");
        };
        in("MyInchesFeature");
        f->SetUnit("in");
        results.push_back(f->CreateFloat(inches, 0, 1000));
        in("Inches");
        f->SetUnit("cm");
        results.push_back(f->CreateFloatConverter("MyInchesFeature", "TO * 2.54", "FROM * 0.3937"));
        in("ValueA");
        results.push_back(f->CreateInteger(a, 0, 1000));
        in("ValueB");
        results.push_back(f->CreateInteger(b));
        in("Sum");
        f->AddVariable("ValueA");
        f->AddVariable("ValueB");
        results.push_back(f->CreateIntSwissKnife("ValueA + ValueB"));
        in("Label");
        results.push_back(f->CreateString(text));
        in("Blob");
        results.push_back(f->CreateRegister(raw));
        in("Enabled");
        results.push_back(f->CreateBoolean(flag));
        in("Go");
        results.push_back(f->CreateCommand(fire));
        in("Speed");
        f->AddEnumEntry("Slow", 0);
        f->AddEnumEntry("Fast", 1);
        results.push_back(f->CreateEnum(mode));
        in("Half");
        f->AddVariable("Inches");
        results.push_back(f->CreateFloatSwissKnife("Inches / 2"));
        in("Doubled");
        results.push_back(f->CreateIntConverter("ValueA", "TO * 2", "FROM / 2"));
    }
};

const char* const kCustomFeatures[] = {"MyInchesFeature", "Inches", "ValueA", "ValueB", "Sum", "Label",
                                       "Blob", "Enabled", "Go", "Speed", "Half", "Doubled"};

// aravis's command-line tool on the device (uninstrumented: without the sanitizer's environment);
// its exit status and what it printed.
std::pair<int, std::string> ArvTool(const std::string& aArguments) {
    const std::string command = "env -u LD_PRELOAD -u ASAN_OPTIONS -u LSAN_OPTIONS -u UBSAN_OPTIONS timeout 60 "
                                "arv-tool-0.8 " + aArguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return {-1, ""};
    std::string out;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

bool HasArvTool() { return ArvTool("--help").first == 0; }

}  // namespace

// Our node map over a connected device: the converter reads and writes its feature through its
// formulas, the SwissKnife sums its variables.
TEST(SoftDeviceGenApi, ConvertersAndSwissKnivesReadTheirValuesInAConnectedDevice) {
    ValueRig v;
    const TqResult started = v.rig.Start();
    ASSERT_TRUE(started.IsOK()) << Why(started);
    for (const TqResult& r : v.results) EXPECT_TRUE(r.IsOK()) << Why(r);
    // Each kind as its node: strings and registers are their register nodes.
    const Parsed p(v.rig.Xml());
    const char* const kinds[] = {"Float",     "Converter", "Integer", "Integer",     "IntSwissKnife", "StringReg",
                                 "Register",  "Boolean",   "Command", "Enumeration", "SwissKnife",    "IntConverter"};
    for (size_t n = 0; n < std::size(kinds); ++n) EXPECT_STREQ(p.Node(kCustomFeatures[n]).name(), kinds[n]);
    EXPECT_EQ(p.Of("Go", "CommandValue"), "1");
    EXPECT_EQ(p.Of("Enabled", "OnValue"), "1");
    EXPECT_EQ(p.Of("Doubled", "pValue"), "ValueA");
    EXPECT_EQ(p.Of("Doubled", "FormulaFrom"), "TO * 2");
    EXPECT_EQ(p.Of("Doubled", "FormulaTo"), "FROM / 2");
    EXPECT_EQ(p.Of("Label", "Length"), "16");
    TqResult connected;
    TqDevice* device = TqDevice::CreateAndConnect(TqString(v.rig.Address().c_str()), &connected);
    ASSERT_NE(device, nullptr) << Why(connected);
    TqGenParameterArray* parameters = device->GetParameters();
    ASSERT_NE(parameters, nullptr);

    v.rig.memory->PutDouble(kBase, 4.0);
    double cm = 0;
    ASSERT_TRUE(parameters->GetFloatValue("Inches", cm).IsOK());
    EXPECT_NEAR(cm, 10.16, 1e-9);
    ASSERT_TRUE(parameters->SetFloatValue("Inches", 2.0).IsOK());
    EXPECT_NEAR(v.rig.memory->GetDouble(kBase), 0.7874, 1e-9);
    double inches = 0;
    ASSERT_TRUE(parameters->GetFloatValue("MyInchesFeature", inches).IsOK());
    EXPECT_NEAR(inches, 0.7874, 1e-9);
    TqString unit;
    ASSERT_NE(parameters->GetFloat("Inches"), nullptr);
    ASSERT_TRUE(parameters->GetFloat("Inches")->GetUnit(unit).IsOK());
    EXPECT_EQ(Text(unit), "cm");

    ASSERT_TRUE(parameters->SetIntegerValue("ValueA", 4).IsOK());
    ASSERT_TRUE(parameters->SetIntegerValue("ValueB", 3).IsOK());
    EXPECT_EQ(v.rig.memory->Get(kBase + 8, 4), 4u);   // big-endian in the register
    int64_t sum = 0;
    ASSERT_TRUE(parameters->GetIntegerValue("Sum", sum).IsOK());
    EXPECT_EQ(sum, 7);
    EXPECT_EQ(parameters->SetIntegerValue("ValueA", 1001).GetCode(), TQ_INVALID_PARAMETER);   // its maximum
    ASSERT_TRUE(parameters->SetEnumValue("Speed", "Fast").IsOK());
    EXPECT_EQ(v.rig.memory->Get(kBase + 0x30, 4), 1u);
    ASSERT_TRUE(parameters->SetStringValue("Label", "hello").IsOK());
    EXPECT_EQ(v.rig.memory->Text(kBase + 0x10, 16), "hello");
    TqDevice::Free(device);
}

// aravis reads the same description: every feature under its category, none unavailable, the
// converter and the SwissKnife with their values.
TEST(SoftDeviceGenApi, AravisReadsTheApplicationsFeatures) {
    if (!HasArvTool()) GTEST_SKIP() << "arv-tool-0.8 is not installed";
    ValueRig v;
    const TqResult started = v.rig.Start();
    ASSERT_TRUE(started.IsOK()) << Why(started);
    v.rig.memory->PutDouble(kBase, 4.0);
    v.rig.memory->Put(kBase + 8, 4, 4);
    v.rig.memory->Put(kBase + 12, 3, 4);
    const std::string at = "-a " + v.rig.Address() + " ";
    const auto [status, features] = ArvTool(at + "features");
    ASSERT_EQ(status, 0) << features;
    const size_t category = features.find("Category    : 'Custom'");
    ASSERT_NE(category, std::string::npos) << features;
    for (const char* name : kCustomFeatures) {
        const size_t found = features.find(std::string("'") + name + "'");
        EXPECT_NE(found, std::string::npos) << name << "\n" << features;
        EXPECT_GT(found, category) << name;
    }
    EXPECT_EQ(features.find("Not available"), std::string::npos) << features;
    const auto [inchesStatus, inches] = ArvTool(at + "control Inches");
    EXPECT_EQ(inchesStatus, 0) << inches;
    EXPECT_NE(("\n" + inches).find("\nInches = 10.16 cm"), std::string::npos) << inches;
    const auto [sumStatus, sum] = ArvTool(at + "control Sum");
    EXPECT_EQ(sumStatus, 0) << sum;
    EXPECT_NE(("\n" + sum).find("\nSum = 7"), std::string::npos) << sum;
}

// ---------------------------------------------------------------------------------------------
// Features of several sources.

namespace {

// Two sources whose features a test describes, and the event sink's.
struct SourcesRig {
    SourcesRig(Describe aFirst, Describe aSecond, std::vector<TestRegister*> aRegisters, Describe aDevice = {})
        : rig(aDevice ? std::move(aDevice) : Describe([](ITqGenApiFactory*) {}), std::move(aRegisters)) {
        Options first, second;
        first.features = std::move(aFirst);
        second.features = std::move(aSecond);
        sources.push_back(std::make_unique<RecordingSource>("first", first));
        sources.push_back(std::make_unique<RecordingSource>("second", second));
        for (auto& s : sources) EXPECT_TRUE(rig.device.AddStream(s.get()).IsOK());
    }
    std::vector<std::unique_ptr<RecordingSource>> sources;   // outlive the device
    Rig rig;
};

bool Available(const TqGenEnum* aEnum, const char* aEntry) {
    const TqGenEnumEntry* entry = nullptr;
    bool available = false;
    EXPECT_TRUE(aEnum->GetEntryByName(aEntry, &entry).IsOK()) << aEntry;
    return entry && entry->IsAvailable(available).IsOK() && available;
}

}  // namespace

// A name two sources make is one feature that follows SourceSelector: each source's register,
// limits and entries; a feature of one source only is available while SourceSelector names it.
TEST(SoftDeviceGenApi, FeaturesOfSeveralSourcesFollowSourceSelector) {
    TestRegister gain0("Gain0", kBase + 0x40, 4), gain1("Gain1", kBase + 0x44, 4), only("Only", kBase + 0x48, 4),
        mode0("Mode0", kBase + 0x50, 4), mode1("Mode1", kBase + 0x54, 4), same("Same", kBase + 0x58, 4);
    const auto common = [](ITqGenApiFactory* f, TestRegister& aGain, int64_t aMax, int64_t aInc, TestRegister& aMode,
                           const char* aEntry, uint32_t aValue, TestRegister& aSame) {
        f->SetName("Gain");
        f->SetCategory("Analog");
        EXPECT_TRUE(f->CreateInteger(aGain, 0, aMax, aInc).IsOK());
        f->SetName("Mode");
        f->AddEnumEntry("Off", 0);
        f->AddEnumEntry(aEntry, aValue);
        EXPECT_TRUE(f->CreateEnum(aMode).IsOK());
        f->SetName("Same");
        EXPECT_TRUE(f->CreateInteger(aSame, 0, 9).IsOK());
    };
    SourcesRig s(
        [&](ITqGenApiFactory* f) {
            common(f, gain0, 100, 1, mode0, "On", 1, same);
            f->SetName("OnlyFirst");
            EXPECT_TRUE(f->CreateInteger(only).IsOK());
        },
        [&](ITqGenApiFactory* f) { common(f, gain1, 200, 2, mode1, "Turbo", 2, same); },
        {&gain0, &gain1, &only, &mode0, &mode1, &same});
    const TqResult started = s.rig.Start();
    ASSERT_TRUE(started.IsOK()) << Why(started);
    const Parsed p(s.rig.Xml());
    const Strings selected = p.All("SourceSelector", "pSelected");
    for (const char* name : {"Gain", "Mode", "OnlyFirst", "Same"})
        EXPECT_NE(std::find(selected.begin(), selected.end(), name), selected.end()) << name;
    EXPECT_EQ(p.All("Analog", "pFeature"), Strings{"Gain"});   // once
    // One register both sources share needs no choosing.
    EXPECT_EQ(p.Node(p.Of("Same", "pValue").c_str()).child("Address").text().get(), std::string("0x20058"));
    EXPECT_EQ(p.Of("Same", "Max"), "9");

    TqResult connected;
    TqDevice* device = TqDevice::CreateAndConnect(TqString(s.rig.Address().c_str()), &connected);
    ASSERT_NE(device, nullptr) << Why(connected);
    TqGenParameterArray* parameters = device->GetParameters();
    TqGenInteger* gain = parameters->GetInteger("Gain");
    TqGenEnum* mode = parameters->GetEnum("Mode");
    ASSERT_NE(gain, nullptr);
    ASSERT_NE(mode, nullptr);
    for (int source : {0, 1, 0}) {
        SCOPED_TRACE(source);
        ASSERT_TRUE(parameters->SetEnumValue("SourceSelector", int64_t(source)).IsOK());
        int64_t max = 0, inc = 0;
        ASSERT_TRUE(gain->GetMax(max).IsOK());
        ASSERT_TRUE(gain->GetIncrement(inc).IsOK());
        EXPECT_EQ(max, source ? 200 : 100);
        EXPECT_EQ(inc, source ? 2 : 1);
        ASSERT_TRUE(parameters->SetIntegerValue("Gain", source ? 60 : 50).IsOK());
        int64_t value = 0;
        ASSERT_TRUE(parameters->GetIntegerValue("Gain", value).IsOK());
        EXPECT_EQ(value, source ? 60 : 50);
        bool available = false;
        ASSERT_TRUE(parameters->Get("OnlyFirst")->IsAvailable(available).IsOK());
        EXPECT_EQ(available, source == 0);
        EXPECT_TRUE(Available(mode, "Off"));
        EXPECT_EQ(Available(mode, "On"), source == 0);
        EXPECT_EQ(Available(mode, "Turbo"), source == 1);
    }
    // Each source's own register.
    EXPECT_EQ(s.rig.memory->Get(kBase + 0x40, 4), 50u);
    EXPECT_EQ(s.rig.memory->Get(kBase + 0x44, 4), 60u);
    ASSERT_TRUE(parameters->SetEnumValue("Mode", "On").IsOK());
    EXPECT_EQ(s.rig.memory->Get(kBase + 0x50, 4), 1u);
    TqDevice::Free(device);
}

// What the sources cannot share fails the start, naming the feature.
TEST(SoftDeviceGenApi, SourcesThatDisagreeFailTheStart) {
    TestRegister r0("R0", kBase, 4), r1("R1", kBase + 4, 4), wide("Wide", kBase + 8, 8);
    struct Disagreement {
        const char* expected;
        Describe first, second, device;
    };
    const auto integer = [&](TestRegister& aRegister) {
        return [r = &aRegister](ITqGenApiFactory* f) {
            f->SetName("X");
            EXPECT_TRUE(f->CreateInteger(*r).IsOK());
        };
    };
    const std::vector<Disagreement> cases = {
        {"'X' is an Integer feature of stream source 0 and a Boolean feature of stream source 1", integer(r0),
         [&](ITqGenApiFactory* f) {
             f->SetName("X");
             EXPECT_TRUE(f->CreateBoolean(r1).IsOK());
         },
         {}},
        {"'X' is created by the event sinks and by stream source 0", integer(r0), {}, integer(r1)},
        {"'X': stream sources 0 and 1 give it different register lengths", integer(r0), integer(wide), {}},
        {"'X': entry On has two values, 1 and 2",
         [&](ITqGenApiFactory* f) {
             f->SetName("X");
             f->AddEnumEntry("On", 1);
             EXPECT_TRUE(f->CreateEnum(r0).IsOK());
         },
         [&](ITqGenApiFactory* f) {
             f->SetName("X");
             f->AddEnumEntry("On", 2);
             EXPECT_TRUE(f->CreateEnum(r1).IsOK());
         },
         {}},
        {"'X': stream sources 0 and 1 give it different registers (a selector",
         [&](ITqGenApiFactory* f) {
             f->SetName("X");
             f->AddSelected("Y");
             EXPECT_TRUE(f->CreateInteger(r0).IsOK());
         },
         [&](ITqGenApiFactory* f) {
             f->SetName("X");
             f->AddSelected("Y");
             EXPECT_TRUE(f->CreateInteger(r1).IsOK());
         },
         {}},
    };
    for (const Disagreement& c : cases) {
        SCOPED_TRACE(c.expected);
        SourcesRig s(c.first, c.second ? c.second : Describe([](ITqGenApiFactory*) {}), {&r0, &r1, &wide}, c.device);
        const TqResult started = s.rig.Start();
        EXPECT_EQ(started.GetCode(), TQ_INVALID_PARAMETER);
        EXPECT_NE(Why(started).find(c.expected), std::string::npos) << Why(started);
    }
}

// ---------------------------------------------------------------------------------------------
// Streamable features in the user sets.

namespace {

// XDG_DATA_HOME at a folder of the test's own in the temporary folder (TMPDIR) while it lives (the
// user sets' store).
struct StoreFolder {
    StoreFolder() {
        const char* temporary = std::getenv("TMPDIR");
        path = std::string(temporary && *temporary ? temporary : "/tmp") + "/kivo-usersets-XXXXXX";
        EXPECT_NE(mkdtemp(path.data()), nullptr);
        if (const char* old = std::getenv("XDG_DATA_HOME")) before = old;
        setenv("XDG_DATA_HOME", path.c_str(), 1);
    }
    ~StoreFolder() {
        if (before)
            setenv("XDG_DATA_HOME", before->c_str(), 1);
        else
            unsetenv("XDG_DATA_HOME");
        std::filesystem::remove_all(path);
    }
    // The lines of a set file of the device of aSerial.
    Strings Lines(const std::string& aSerial, int aSet) const {
        std::ifstream in(path + "/kivo/usersets/" + aSerial + "/UserSet" + std::to_string(aSet) + ".txt");
        Strings lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    std::string path;
    std::optional<std::string> before;
};

bool Has(const Strings& aLines, const std::string& aLine) {
    return std::find(aLines.begin(), aLines.end(), aLine) != aLines.end();
}

}  // namespace

// A feature both sources make keeps each source's register in a set; the device's own follows;
// UserSetFeatureSelector lists them after the image format as Custom entries, and UserSetLoad
// invalidates their register nodes.
TEST(SoftDeviceGenApi, StreamableFeaturesOfSeveralSourcesTravelWithTheUserSets) {
    StoreFolder store;
    TestRegister level0("Level0", kBase + 0x60, 4), level1("Level1", kBase + 0x64, 4), solo("Solo", kBase + 0x68, 4);
    const auto streamable = [](ITqGenApiFactory* f, const char* aName, TestRegister& aRegister) {
        f->SetName(aName);
        f->SetStreamable(true);
        EXPECT_TRUE(f->CreateInteger(aRegister, 0, 1000, 1).IsOK());
    };
    SourcesRig s([&](ITqGenApiFactory* f) { streamable(f, "Level", level0); },
                 [&](ITqGenApiFactory* f) { streamable(f, "Level", level1); }, {&level0, &level1, &solo},
                 [&](ITqGenApiFactory* f) { streamable(f, "Solo", solo); });
    ASSERT_TRUE(s.rig.device.SetUserSetCount(1).IsOK());
    const TqResult started = s.rig.Start();
    ASSERT_TRUE(started.IsOK()) << Why(started);
    const Parsed p(s.rig.Xml());
    Strings entries;
    for (pugi::xml_node e : p.Node("UserSetFeatureSelector").children("EnumEntry"))
        entries.push_back(std::string(e.attribute("Name").value()) + ":" + e.attribute("NameSpace").value() + ":" +
                          e.child("Value").text().get());
    EXPECT_EQ(entries, (Strings{"Width:Standard:0", "Height:Standard:1", "OffsetX:Standard:2", "OffsetY:Standard:3",
                                "PixelFormat:Standard:4", "Solo:Custom:5", "Level:Custom:6"}));
    EXPECT_EQ(p.Of(p.Of("Solo", "pValue").c_str(), "pInvalidator"), "UserSetLoadReg");

    s.rig.memory->Put(kBase + 0x60, 10, 4);
    s.rig.memory->Put(kBase + 0x64, 11, 4);
    TqResult connected;
    TqDevice* device = TqDevice::CreateAndConnect(TqString(s.rig.Address().c_str()), &connected);
    ASSERT_NE(device, nullptr) << Why(connected);
    TqGenParameterArray* parameters = device->GetParameters();
    ASSERT_TRUE(parameters->SetIntegerValue("Solo", 12).IsOK());
    ASSERT_TRUE(parameters->SetEnumValue("UserSetSelector", int64_t(1)).IsOK());
    ASSERT_TRUE(parameters->ExecuteCommand("UserSetSave").IsOK());
    const Strings lines = store.Lines(Text(s.rig.device.GetInfo()->GetSerialNumber()), 1);
    for (const char* line : {"custom Solo device 0000000c", "custom Level 0 0000000a", "custom Level 1 0000000b"})
        EXPECT_TRUE(Has(lines, line)) << line;
    // Changed, then loaded: each source's register takes its own value back.
    s.rig.memory->Put(kBase + 0x60, 20, 4);
    s.rig.memory->Put(kBase + 0x64, 21, 4);
    ASSERT_TRUE(parameters->ExecuteCommand("UserSetLoad").IsOK());
    EXPECT_EQ(s.rig.memory->Get(kBase + 0x60, 4), 10u);
    EXPECT_EQ(s.rig.memory->Get(kBase + 0x64, 4), 11u);
    TqDevice::Free(device);
}
