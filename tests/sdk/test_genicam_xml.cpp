// The GenICam writer (TqGenXml.h): what it writes loads through the node map and reads back as it
// was given, however many markup characters the names, texts, attribute values and formulas hold.
#include "TqGenParameterArray.h"
#include "TqGenXml.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <string>
#include <vector>

namespace {

// Names and texts that are markup if written unescaped.
const std::string kGain = "Gain<&\"'>1";
const std::string kGainReg = "Gain&amp;Reg";   // an entity's text as a name: must stay these eight characters
const std::string kText = "a < b && c > d, \"quoted\" and 'single', ]]> and &lt; as written";
const std::string kTip = "<![CDATA[ not a section ]]>";
const std::string kUnit = "\xC2\xB5s<>";   // µs<>
// A formula with comparison, shift and logical operators over a variable named by an awkward node.
const std::string kFormula = "(G < L) && (L > 2) ? (G << 2) + (L >> 1) : G - L";

std::string Text(const TqString& aText) { return aText.GetAscii() ? aText.GetAscii() : ""; }

std::string Awkward() {
    TqGenXml::Description d({"Model \"<&>\"", "Vendor & Co", "tip 'with' <markup>", "None", "guid-1", "guid-2"});
    d.Category("Root", "Standard", std::vector<std::string>{kGain, "Check", "Mode", "Ratio"});
    d.Node("Integer", kGain)
        .With("ToolTip", kTip)
        .With("Description", kText)
        .With("DisplayName", kGain + " & more")
        .With("pValue", kGainReg)
        .With("Min", -5)
        .With("Max", 1000)
        .With("Unit", kUnit);
    d.Node("IntReg", kGainReg)
        .With(TqGenXml::Place{0x10, 4, "RW", "Device", "NoCache"})
        .With("Sign", "Signed")
        .With("Endianess", "LittleEndian");
    d.Node("Integer", "Limit").With("Value", 7);
    TqGenXml::Element check = d.Node("IntSwissKnife", "Check");
    check.Add("pVariable", kGain).Attribute("Name", "G");
    check.Add("pVariable", "Limit").Attribute("Name", "L");
    check.With("Formula", kFormula);
    TqGenXml::Element mode = d.Node("Enumeration", "Mode");
    mode.Add("EnumEntry").Attribute("Name", "A&B").With("Description", "entry <one>").With("Value", 3);
    mode.With("Value", 3);
    d.Node("Converter", "Ratio")
        .With("FormulaTo", "FROM < 0 ? 0 : FROM * 2")
        .With("FormulaFrom", "TO > 100 && TO < 200 ? 100 : TO / 2")
        .With("pValue", kGainReg)
        .With("Slope", "Increasing");
    d.Node("Port", "Device");
    return d.Text();
}

}  // namespace

TEST(GenICamWriter, AwkwardNamesTextsAndFormulasReadBackAsGiven) {
    const std::string xml = Awkward();
    TqGenParameterArray parameters;
    TqResult loaded = parameters.Load(xml.data(), xml.size(), TqGenParameterArray::MemoryPort(0x100));
    ASSERT_TRUE(loaded.IsOK()) << Text(loaded.GetDescription()) << "\n" << xml;

    TqGenInteger* gain = parameters.GetInteger(TqString(kGain.c_str()));
    ASSERT_NE(gain, nullptr);
    TqString text;
    EXPECT_TRUE(gain->GetDescription(text).IsOK() && Text(text) == kText) << Text(text);
    EXPECT_TRUE(gain->GetToolTip(text).IsOK() && Text(text) == kTip) << Text(text);
    EXPECT_TRUE(gain->GetDisplayName(text).IsOK() && Text(text) == kGain + " & more") << Text(text);
    EXPECT_TRUE(gain->GetUnit(text).IsOK() && Text(text) == kUnit) << Text(text);
    int64_t low = 0, high = 0;
    EXPECT_TRUE(gain->GetMin(low).IsOK() && gain->GetMax(high).IsOK());
    EXPECT_EQ(low, -5);
    EXPECT_EQ(high, 1000);
    ASSERT_NE(parameters.Get(TqString(kGainReg.c_str())), nullptr);
    EXPECT_EQ(parameters.Get(TqString("Gain&Reg")), nullptr);

    // The formula reads the same as written: both branches, through the awkward node's register.
    TqGenInteger* check = parameters.GetInteger(TqString("Check"));
    ASSERT_NE(check, nullptr);
    int64_t value = 0;
    ASSERT_TRUE(gain->SetValue(3).IsOK());
    EXPECT_TRUE(check->GetValue(value).IsOK());
    EXPECT_EQ(value, (3 << 2) + (7 >> 1));   // 3 < 7 and 7 > 2
    ASSERT_TRUE(gain->SetValue(9).IsOK());
    EXPECT_TRUE(check->GetValue(value).IsOK());
    EXPECT_EQ(value, 9 - 7);

    // The converter's formulas, both ways (to the register: twice the value; back: half of it, but
    // 100 for anything between 100 and 200).
    TqGenFloat* ratio = parameters.GetFloat(TqString("Ratio"));
    ASSERT_NE(ratio, nullptr);
    double real = 0;
    EXPECT_TRUE(ratio->SetValue(150.0).IsOK());
    EXPECT_TRUE(gain->GetValue(value).IsOK());
    EXPECT_EQ(value, 300);
    EXPECT_TRUE(ratio->GetValue(real).IsOK());
    EXPECT_DOUBLE_EQ(real, 150.0);
    EXPECT_TRUE(ratio->SetValue(60.0).IsOK());
    EXPECT_TRUE(ratio->GetValue(real).IsOK());
    EXPECT_DOUBLE_EQ(real, 100.0);

    TqGenEnum* mode = parameters.GetEnum(TqString("Mode"));
    ASSERT_NE(mode, nullptr);
    const TqGenEnumEntry* entry = nullptr;
    ASSERT_TRUE(mode->GetEntryByName(TqString("A&B"), &entry).IsOK());
    EXPECT_TRUE(entry->GetValue(value).IsOK() && value == 3);
    EXPECT_TRUE(entry->GetDescription(text).IsOK() && Text(text) == "entry <one>");

    EXPECT_NE(parameters.GetCategory(TqString("Root")), nullptr);
    EXPECT_TRUE(gain->GetCategory(text).IsOK() && Text(text) == "Root") << Text(text);
}

TEST(GenICamWriter, TheRootsAttributesAndTheDeclarationComeBackWhole) {
    const std::string xml = Awkward();
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<RegisterDescription ", 0), 0u) << xml;
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(xml.c_str()));
    pugi::xml_node root = document.document_element();
    EXPECT_STREQ(root.attribute("ModelName").value(), "Model \"<&>\"");
    EXPECT_STREQ(root.attribute("VendorName").value(), "Vendor & Co");
    EXPECT_STREQ(root.attribute("ToolTip").value(), "tip 'with' <markup>");
    EXPECT_STREQ(root.attribute("xmlns").value(), "http://www.genicam.org/GenApi/Version_1_1");
    // An attribute set twice keeps one value, the last.
    TqGenXml::Description d({"M", "V", "", "None", "", ""});
    d.Node("Port", "Device").Attribute("Name", "Other");
    document.load_string(d.Text().c_str());
    pugi::xml_node port = document.document_element().child("Port");
    EXPECT_STREQ(port.attribute("Name").value(), "Other");
    EXPECT_FALSE(port.attribute("Name").next_attribute().name() == std::string("Name"));
}

// Edits of written nodes: Put replaces the tags it names and stands where the schema's order wants
// it; Insert adds after the same tags (a register's invalidators after its port and caching); an
// entry is found by its name.
TEST(GenICamWriter, EditsKeepTheSchemasOrder) {
    TqGenXml::Description d({"M", "V", "", "None", "", ""});
    d.Node("Integer", "Height")
        .With("DisplayName", "Height")
        .With("pIsLocked", "TLParamsLocked")
        .With("pValue", "HeightReg")
        .With("Min", 1)
        .With("Max", 100)
        .With("Inc", 1)
        .With("Unit", "px");
    d.Node("IntReg", "HeightReg").With(TqGenXml::Place{0x10, 4, "RW", "Device", "NoCache"}).With("Sign", "Unsigned");
    TqGenXml::Element mode = d.Node("Enumeration", "Mode");
    mode.Add("EnumEntry").Attribute("Name", "A").With("DisplayName", "A").With("Value", 1);
    mode.With("pValue", "HeightReg");

    auto height = d.Find("Height");
    ASSERT_TRUE(height.has_value());
    EXPECT_EQ(height->Kind(), "Integer");
    height->Put("pMax", "Limit", {"Max", "pMax"}).Put("pMax", "Other", {"Max", "pMax"});
    height->Put("pIsAvailable", "On", {"pIsAvailable"}).Insert("pInvalidator", "X").Insert("pInvalidator", "Y");
    d.Find("HeightReg")->Insert("pInvalidator", "Z");
    auto entry = d.Find("Mode")->Child("EnumEntry", "Name", "A");
    ASSERT_TRUE(entry.has_value());
    entry->Put("pIsAvailable", "On", {"pIsAvailable"});
    EXPECT_FALSE(d.Find("Mode")->Child("EnumEntry", "Name", "B").has_value());

    pugi::xml_document doc;
    const std::string text = d.Text();
    ASSERT_TRUE(doc.load_string(text.c_str()));
    const auto tags = [&](const char* aName) {
        std::vector<std::string> out;
        for (pugi::xml_node c : doc.child("RegisterDescription").find_child_by_attribute("Name", aName).children())
            out.push_back(std::string(c.name()) + (std::string(c.child_value()).empty() ? "" : "=" + std::string(c.child_value())));
        return out;
    };
    EXPECT_EQ(tags("Height"), (std::vector<std::string>{"DisplayName=Height", "pIsAvailable=On", "pIsLocked=TLParamsLocked",
                                                        "pInvalidator=X", "pInvalidator=Y", "pValue=HeightReg", "Min=1",
                                                        "pMax=Other", "Inc=1", "Unit=px"}));
    EXPECT_EQ(tags("HeightReg"), (std::vector<std::string>{"Address=0x10", "Length=4", "AccessMode=RW", "pPort=Device",
                                                           "Cachable=NoCache", "pInvalidator=Z", "Sign=Unsigned"}));
    pugi::xml_node a = doc.child("RegisterDescription").find_child_by_attribute("Name", "Mode").child("EnumEntry");
    EXPECT_EQ(std::string(a.first_child().next_sibling().name()), "pIsAvailable");
}
