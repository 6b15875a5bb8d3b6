// What real cameras' descriptions rely on, node by node: lengths read from other nodes, values that
// read nodes of another interface (integers and floats each other, booleans enumerations), selectors
// of categories, limits that read each other's values, chunk addresses counted from the chunk's end,
// state references decided by the node they name, access modes that follow what a node reads, an
// increment of zero read from a register, and the sparse memory port that such descriptions load over.
#include "TqGenNodeMap.h"
#include "TqGenParameterArray.h"
#include "genicam_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using KivoGenTest::Bytes;
using KivoGenTest::Description;
using KivoGenTest::Map;
using KivoGenTest::Reg;
using KivoGenTest::Why;
using TqGenICamLib::IPort;
using TqGenICamLib::IPortInfo;
using TqGenICamLib::Node;
using TqGenICamLib::NodeMap;

namespace {

std::vector<std::string> Names(const std::vector<Node*>& aNodes) {
    std::vector<std::string> names;
    for (const Node* node : aNodes) names.push_back(node->name);
    return names;
}

Bytes BigEndian32(uint32_t aValue) {
    return {static_cast<uint8_t>(aValue >> 24), static_cast<uint8_t>(aValue >> 16), static_cast<uint8_t>(aValue >> 8),
            static_cast<uint8_t>(aValue)};
}

}  // namespace

TEST(TqGenInterfacesTest, LengthsReadFromAnotherNode) {
    Map m(Description(
        "<Register Name=\"Buffer\"><Address>0x100</Address><pLength>Len</pLength><AccessMode>RW</AccessMode></Register>"
        "<Integer Name=\"Len\"><Value>8</Value></Integer>"
        "<StringReg Name=\"Label\"><Address>0x200</Address><pLength>LabelLen</pLength><AccessMode>RW</AccessMode></StringReg>" +
        Reg("LabelLen", "0x10", "<Endianess>BigEndian</Endianess>") +
        "<Register Name=\"Row\"><Address>0x400</Address><pIndex>Line</pIndex><pLength>Len</pLength><AccessMode>RO</AccessMode></Register>"
        "<Integer Name=\"Line\"><Value>3</Value></Integer>"));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    Node* buffer = m.N("Buffer");
    int64_t length = 0;
    ASSERT_TRUE(m.map->GetRegisterLength(buffer, length).IsOK());
    EXPECT_EQ(length, 8);
    m.Put(0x100, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    Bytes got(16, 0xEE);
    ASSERT_TRUE(m.map->GetRegister(buffer, got.data(), 8).IsOK());
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    TqResult r = m.map->GetRegister(buffer, got.data(), 9);
    EXPECT_EQ(r.GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_NE(Why(r).find("Buffer: a transfer of 9 bytes does not fit the register's 8"), std::string::npos) << Why(r);
    // A new length reads the register anew, not the 8 bytes kept of it.
    ASSERT_TRUE(m.map->SetInteger(m.N("Len"), 16).IsOK());
    ASSERT_TRUE(m.map->GetRegister(buffer, got.data(), 16).IsOK());
    EXPECT_EQ(got, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    const Bytes written(16, 0x5A);
    ASSERT_TRUE(m.map->SetRegister(buffer, written.data(), 16).IsOK());
    EXPECT_EQ(m.At(0x100, 16), written);
    // A row of a table follows its index by the length of the moment.
    uint64_t address = 0;
    ASSERT_TRUE(m.map->GetAddress(m.N("Row"), address).IsOK());
    EXPECT_EQ(address, 0x400u + 3 * 16);
    // Nothing to read: an empty register. A length no register has: the read is refused, naming it.
    ASSERT_TRUE(m.map->SetInteger(m.N("Len"), 0).IsOK());
    ASSERT_TRUE(m.map->GetRegisterLength(buffer, length).IsOK());
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(m.map->GetRegister(buffer, got.data(), 0).IsOK());
    for (int64_t bad : {int64_t{-1}, NodeMap::kMaxRegisterLength + 1}) {
        ASSERT_TRUE(m.map->SetInteger(m.N("Len"), bad).IsOK());
        r = m.map->GetRegisterLength(buffer, length);
        EXPECT_EQ(r.GetCode(), TQ_INVALID_DATA_FORMAT) << bad;
        EXPECT_NE(Why(r).find("Buffer: length " + std::to_string(bad) + " (read from Len) is outside 0 to 16777216"),
                  std::string::npos) << Why(r);
        EXPECT_EQ(m.map->GetRegister(buffer, got.data(), 0).GetCode(), TQ_INVALID_DATA_FORMAT);
    }
    // A string as long as a register says: none while it reads 0.
    std::string text = "x";
    ASSERT_TRUE(m.map->GetString(m.N("Label"), text).IsOK());
    EXPECT_EQ(text, "");
    EXPECT_EQ(m.map->SetString(m.N("Label"), "a").GetCode(), TQ_INVALID_PARAMETER);
    ASSERT_TRUE(m.map->SetInteger(m.N("LabelLen"), 5).IsOK());
    int64_t max = 0;
    ASSERT_TRUE(m.map->GetStringMaxLength(m.N("Label"), max).IsOK());
    EXPECT_EQ(max, 5);
    ASSERT_TRUE(m.map->SetString(m.N("Label"), "hello").IsOK());
    EXPECT_EQ(m.At(0x200, 6), (Bytes{'h', 'e', 'l', 'l', 'o', 0}));
    EXPECT_EQ(m.map->SetString(m.N("Label"), "hello!").GetCode(), TQ_INVALID_PARAMETER);
    ASSERT_TRUE(m.map->GetString(m.N("Label"), text).IsOK());
    EXPECT_EQ(text, "hello");
}

TEST(TqGenInterfacesTest, ValuesReadNodesOfACompatibleInterface) {
    Map m(Description(
        "<Float Name=\"Gain\"><pValue>GainReg</pValue><Max>1000</Max></Float>" +
        Reg("GainReg", "0x20", "<Endianess>BigEndian</Endianess>") +
        "<Integer Name=\"Blanking\"><pValue>Lines</pValue></Integer>"
        "<Converter Name=\"Lines\"><FormulaFrom>(TO+43970)/65-1304.2</FormulaFrom><FormulaTo>(FROM+1304.2)*65-43970</FormulaTo>"
        "<pValue>Raw</pValue><Min>-1000.5</Min><Max>70000.7</Max></Converter>" +
        Reg("Raw", "0x30", "<Sign>Signed</Sign><Endianess>BigEndian</Endianess>") +
        "<Boolean Name=\"Enabled\"><pValue>Mode</pValue></Boolean>"
        "<Enumeration Name=\"Mode\"><EnumEntry Name=\"Off\"><Value>0</Value></EnumEntry><EnumEntry Name=\"On\"><Value>1</Value></EnumEntry>"
        "<pValue>ModeReg</pValue></Enumeration>" +
        Reg("ModeReg", "0x40", "<Endianess>BigEndian</Endianess>") +
        "<Integer Name=\"Capped\"><Value>3</Value><pMin>Floor</pMin><pMax>Ceiling</pMax></Integer>"
        "<Float Name=\"Floor\"><Value>-2.5</Value></Float><Float Name=\"Ceiling\"><Value>7.9</Value></Float>"));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    // A Float over an integer register: written rounded, read whole, bounded by both.
    ASSERT_TRUE(m.map->SetFloat(m.N("Gain"), 12.6).IsOK());
    EXPECT_EQ(m.At(0x20, 4), BigEndian32(13));
    EXPECT_EQ(m.Real("Gain"), 13.0);
    double low = 1, high = 0;
    ASSERT_TRUE(m.map->GetFloatMin(m.N("Gain"), low).IsOK());
    ASSERT_TRUE(m.map->GetFloatMax(m.N("Gain"), high).IsOK());
    EXPECT_EQ(low, 0.0);
    EXPECT_EQ(high, 1000.0);
    EXPECT_EQ(m.map->SetFloat(m.N("Gain"), -1.0).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(m.map->SetFloat(m.N("Gain"), 1000.5).GetCode(), TQ_INVALID_PARAMETER);
    // An Integer over a float converter: the integer part towards zero, except what floating-point
    // error leaves a hair below an integer; bounded by the integers inside the float's limits.
    EXPECT_EQ(m.Int("Blanking"), -627);   // -627.74
    ASSERT_TRUE(m.map->SetInteger(m.N("Blanking"), 744).IsOK());
    EXPECT_EQ(m.Int("Raw"), 89163);
    EXPECT_EQ(m.Int("Blanking"), 744);    // 743.9999999999998 through the formula
    m.Put(0x30, BigEndian32(89160));
    m.map->InvalidateAll();
    EXPECT_EQ(m.Int("Blanking"), 743);    // 743.95
    int64_t min = 0, max = 0;
    ASSERT_TRUE(m.map->GetIntegerMin(m.N("Blanking"), min).IsOK());
    ASSERT_TRUE(m.map->GetIntegerMax(m.N("Blanking"), max).IsOK());
    EXPECT_EQ(min, -1000);
    EXPECT_EQ(max, 70000);
    EXPECT_EQ(m.map->SetInteger(m.N("Blanking"), 70001).GetCode(), TQ_INVALID_PARAMETER);
    // A Boolean over an enumeration: its entries' values, and a value neither on nor off refused by name.
    bool on = true;
    ASSERT_TRUE(m.map->GetBoolean(m.N("Enabled"), on).IsOK());
    EXPECT_FALSE(on);
    ASSERT_TRUE(m.map->SetBoolean(m.N("Enabled"), true).IsOK());
    EXPECT_EQ(m.At(0x40, 4), BigEndian32(1));
    Node* entry = nullptr;
    ASSERT_TRUE(m.map->GetEnumEntry(m.N("Mode"), entry).IsOK());
    EXPECT_EQ(entry->name, "On");
    m.Put(0x40, BigEndian32(2));
    m.map->InvalidateAll();
    TqResult r = m.map->GetBoolean(m.N("Enabled"), on);
    EXPECT_EQ(r.GetCode(), TQ_INVALID_DATA_FORMAT);
    EXPECT_NE(Why(r).find("Enabled: holds 2, neither the on value 1 nor the off value 0"), std::string::npos) << Why(r);
    // Limits read from float nodes.
    ASSERT_TRUE(m.map->GetIntegerMin(m.N("Capped"), min).IsOK());
    ASSERT_TRUE(m.map->GetIntegerMax(m.N("Capped"), max).IsOK());
    EXPECT_EQ(min, -2);
    EXPECT_EQ(max, 7);
    EXPECT_EQ(m.map->SetInteger(m.N("Capped"), 8).GetCode(), TQ_INVALID_PARAMETER);
}

TEST(TqGenInterfacesTest, ASelectorOfACategorySelectsTheFeaturesInIt) {
    Map m(Description(
        "<Enumeration Name=\"Sel\"><EnumEntry Name=\"A\"><Value>0</Value></EnumEntry><EnumEntry Name=\"B\"><Value>1</Value></EnumEntry>"
        "<Value>0</Value><pSelected>Group</pSelected><pSelected>Direct</pSelected></Enumeration>"
        "<Category Name=\"Group\"><pFeature>One</pFeature><pFeature>Inner</pFeature><pFeature>Direct</pFeature></Category>"
        "<Category Name=\"Inner\"><pFeature>Two</pFeature><pFeature>Group</pFeature></Category>"
        "<Integer Name=\"One\"><Value>1</Value></Integer><Integer Name=\"Two\"><Value>2</Value></Integer>"
        "<Integer Name=\"Direct\"><Value>3</Value></Integer>"));
    ASSERT_FALSE(m.loaded.IsOK()) << "Group inside Inner inside Group";
    EXPECT_NE(Why(m.loaded).find("category inside itself"), std::string::npos) << Why(m.loaded);
    Map n(Description(
        "<Enumeration Name=\"Sel\"><EnumEntry Name=\"A\"><Value>0</Value></EnumEntry><EnumEntry Name=\"B\"><Value>1</Value></EnumEntry>"
        "<Value>0</Value><pSelected>Group</pSelected><pSelected>Direct</pSelected></Enumeration>"
        "<Category Name=\"Group\"><pFeature>One</pFeature><pFeature>Inner</pFeature><pFeature>Direct</pFeature></Category>"
        "<Category Name=\"Inner\"><pFeature>Two</pFeature></Category>"
        "<Integer Name=\"One\"><Value>1</Value></Integer><Integer Name=\"Two\"><Value>2</Value></Integer>"
        "<Integer Name=\"Direct\"><Value>3</Value></Integer><Integer Name=\"Other\"><Value>4</Value></Integer>"));
    ASSERT_TRUE(n.loaded.IsOK()) << Why(n.loaded);
    EXPECT_EQ(Names(n.N("Sel")->selected), (std::vector<std::string>{"One", "Two", "Direct"}));
    EXPECT_EQ(Names(n.N("Two")->selecting), (std::vector<std::string>{"Sel"}));
    EXPECT_EQ(Names(n.N("Direct")->selecting), (std::vector<std::string>{"Sel"}));
    EXPECT_TRUE(n.N("Other")->selecting.empty());
    std::vector<std::string> told;
    n.map->SetWriteObserver([&](Node* aNode) { told.push_back(aNode->name); });
    ASSERT_TRUE(n.map->SetEnumName(n.N("Sel"), "B").IsOK());
    std::sort(told.begin(), told.end());
    EXPECT_EQ(told, (std::vector<std::string>{"Direct", "One", "Sel", "Two"}));
}

TEST(TqGenInterfacesTest, LimitsThatReadEachOthersValues) {
    // Height's maximum reads OffsetY and OffsetY's reads Height: no value reads a limit, so nothing loops.
    Map m(Description(
        "<Integer Name=\"Height\"><pValue>HeightReg</pValue><Min>1</Min><pMax>HeightMax</pMax></Integer>" + Reg("HeightReg", "0x0") +
        "<Integer Name=\"OffsetY\"><pValue>OffsetYReg</pValue><Min>0</Min><pMax>OffsetYMax</pMax></Integer>" + Reg("OffsetYReg", "0x4") +
        "<IntSwissKnife Name=\"HeightMax\"><pVariable Name=\"O\">OffsetY</pVariable><Formula>480-O</Formula></IntSwissKnife>"
        "<IntSwissKnife Name=\"OffsetYMax\"><pVariable Name=\"H\">Height</pVariable><Formula>480-H</Formula></IntSwissKnife>"));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    ASSERT_TRUE(m.map->SetInteger(m.N("Height"), 400).IsOK());
    int64_t max = 0;
    ASSERT_TRUE(m.map->GetIntegerMax(m.N("OffsetY"), max).IsOK());
    EXPECT_EQ(max, 80);
    EXPECT_EQ(m.map->SetInteger(m.N("OffsetY"), 81).GetCode(), TQ_INVALID_PARAMETER);
    ASSERT_TRUE(m.map->SetInteger(m.N("OffsetY"), 80).IsOK());
    ASSERT_TRUE(m.map->GetIntegerMax(m.N("Height"), max).IsOK());
    EXPECT_EQ(max, 400);
    EXPECT_EQ(m.map->SetInteger(m.N("Height"), 401).GetCode(), TQ_INVALID_PARAMETER);
    ASSERT_TRUE(m.map->SetInteger(m.N("OffsetY"), 0).IsOK());
    ASSERT_TRUE(m.map->SetInteger(m.N("Height"), 480).IsOK());
}

TEST(TqGenInterfacesTest, ChunkAddressesCountBackFromTheChunksEnd) {
    Map m(Description(
        "<Port Name=\"ChunkPort\"><ChunkID>0xAB</ChunkID></Port>"
        "<IntReg Name=\"First\"><Address>0</Address><Length>4</Length><pPort>ChunkPort</pPort><Endianess>BigEndian</Endianess></IntReg>"
        "<IntReg Name=\"Last\"><Address>-4</Address><Length>4</Length><pPort>ChunkPort</pPort><Endianess>BigEndian</Endianess></IntReg>"
        "<IntReg Name=\"Before\"><Address>-12</Address><Length>4</Length><pPort>ChunkPort</pPort></IntReg>"
        "<IntReg Name=\"Shifted\"><Address>-0x10</Address><pAddress>Base</pAddress><Length>4</Length><AccessMode>RW</AccessMode></IntReg>"
        "<Integer Name=\"Base\"><Value>0x30</Value></Integer>"
        "<Integer Name=\"Plain\"><Value>1</Value><Streamable/></Integer>"));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    Bytes chunk = {0, 0, 0, 1, 0, 0, 0, 2};
    for (uint32_t word : {0xABu, 8u})
        for (uint8_t b : BigEndian32(word)) chunk.push_back(b);
    ASSERT_TRUE(m.map->AttachChunks(chunk.data(), static_cast<uint32_t>(chunk.size())).IsOK());
    EXPECT_EQ(m.Int("First"), 1);
    EXPECT_EQ(m.Int("Last"), 2);
    int64_t value = 0;
    TqResult r = m.map->GetInteger(m.N("Before"), value);
    EXPECT_EQ(r.GetCode(), TQ_ERR_OVERFLOW);
    EXPECT_NE(Why(r).find("Before: bytes -0xc + 4 lie beyond the chunk's 8 bytes"), std::string::npos) << Why(r);
    m.map->DetachChunks();
    // On the device's port a negative Address is one term of the sum; the sum itself is an address.
    uint64_t address = 0;
    ASSERT_TRUE(m.map->GetAddress(m.N("Shifted"), address).IsOK());
    EXPECT_EQ(address, 0x20u);
    ASSERT_TRUE(m.map->SetInteger(m.N("Base"), 8).IsOK());
    r = m.map->GetInteger(m.N("Shifted"), value);
    EXPECT_EQ(r.GetCode(), TQ_ERR_OVERFLOW);
    EXPECT_NE(Why(r).find("Shifted: address outside 0 to 2^64-1"), std::string::npos) << Why(r);
    // An empty <Streamable/> says nothing.
    EXPECT_FALSE(m.N("Plain")->streamable);
    Map bad(Description("<Integer Name=\"Plain\"><Value>1</Value><Streamable>Maybe</Streamable></Integer>"));
    EXPECT_EQ(bad.loaded.GetCode(), TQ_GENICAM_XML_ERROR);
    EXPECT_NE(Why(bad.loaded).find("Integer 'Plain': Streamable 'Maybe' is not a known value"), std::string::npos) << Why(bad.loaded);
}

TEST(TqGenInterfacesTest, StateReferencesAreDecidedByTheNodeTheyName) {
    // Selector is implemented when the formula Implemented says so, and the formula reads Absent's value
    // although Absent itself is not implemented; Gated names Absent itself, so Absent's own state decides.
    Map m(Description(
        "<Integer Name=\"Selector\"><Value>0</Value><pIsImplemented>Implemented</pIsImplemented></Integer>"
        "<IntSwissKnife Name=\"Implemented\"><pVariable Name=\"A\">Absent</pVariable><Formula>A=5</Formula></IntSwissKnife>"
        "<Integer Name=\"Absent\"><Value>5</Value><pIsImplemented>Switch</pIsImplemented></Integer>"
        "<Integer Name=\"Switch\"><Value>0</Value></Integer>"
        "<Integer Name=\"Gated\"><Value>1</Value><pIsAvailable>Absent</pIsAvailable></Integer>"));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    EXPECT_EQ(m.map->GetAccessMode(m.N("Absent")), TqGenAccessModeNotImplemented);
    int64_t value = 0;
    TqResult r = m.map->GetInteger(m.N("Implemented"), value);
    EXPECT_EQ(r.GetCode(), TQ_STATE_ERROR) << "read as a feature, the formula needs its variables";
    EXPECT_NE(Why(r).find("Implemented: not implemented (by Switch)"), std::string::npos) << Why(r);
    EXPECT_EQ(m.map->GetAccessMode(m.N("Selector")), TqGenAccessModeReadWrite);
    EXPECT_EQ(m.Int("Selector"), 0);
    r = m.map->GetInteger(m.N("Gated"), value);
    EXPECT_EQ(r.GetCode(), TQ_STATE_ERROR);
    EXPECT_NE(Why(r).find("Gated: not available (by Absent)"), std::string::npos) << Why(r);
    ASSERT_TRUE(m.map->SetInteger(m.N("Switch"), 1).IsOK());
    EXPECT_EQ(m.Int("Implemented"), 1);
    EXPECT_EQ(m.Int("Gated"), 1);
    ASSERT_TRUE(m.map->SetInteger(m.N("Absent"), 4).IsOK());
    EXPECT_EQ(m.map->GetAccessMode(m.N("Selector")), TqGenAccessModeNotImplemented);
    r = m.map->GetInteger(m.N("Selector"), value);
    EXPECT_NE(Why(r).find("Selector: not implemented (by Implemented)"), std::string::npos) << Why(r);
}

TEST(TqGenInterfacesTest, AccessFollowsWhatANodeReads) {
    Map m(Description(
        "<Port Name=\"Chunks\"><ChunkID>0x1</ChunkID></Port>"
        "<IntReg Name=\"Stamp\"><Address>0</Address><Length>4</Length><pPort>Chunks</pPort><Endianess>BigEndian</Endianess></IntReg>"
        "<IntSwissKnife Name=\"StampTwice\"><pVariable Name=\"S\">Stamp</pVariable><Formula>S*2</Formula></IntSwissKnife>"
        "<Integer Name=\"Pick\"><pIndex>Which</pIndex><pValueIndexed Index=\"1\">Sink</pValueIndexed><ValueDefault>7</ValueDefault></Integer>"
        "<Integer Name=\"Which\"><Value>0</Value></Integer>"
        "<IntReg Name=\"Sink\"><Address>0x10</Address><Length>4</Length><AccessMode>WO</AccessMode><Endianess>BigEndian</Endianess></IntReg>"
        "<IntReg Name=\"Moving\"><pAddress>Where</pAddress><Length>4</Length><AccessMode>RW</AccessMode></IntReg>"
        "<IntSwissKnife Name=\"Where\"><pVariable Name=\"G\">Gone</pVariable><Formula>G</Formula></IntSwissKnife>"
        "<Integer Name=\"Gone\"><Value>0x20</Value><pIsImplemented>No</pIsImplemented></Integer><Integer Name=\"No\"><Value>0</Value></Integer>"));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    // A formula over chunk data: not available until a chunk is attached.
    EXPECT_FALSE(m.map->IsReadable(m.N("StampTwice")));
    int64_t value = 0;
    TqResult r = m.map->GetInteger(m.N("StampTwice"), value);
    EXPECT_EQ(r.GetCode(), TQ_STATE_ERROR);
    EXPECT_NE(Why(r).find("StampTwice: not available (no chunk data attached)"), std::string::npos) << Why(r);
    Bytes chunk = BigEndian32(21);
    for (uint32_t word : {1u, 4u})
        for (uint8_t b : BigEndian32(word)) chunk.push_back(b);
    ASSERT_TRUE(m.map->AttachChunks(chunk.data(), static_cast<uint32_t>(chunk.size())).IsOK());
    EXPECT_EQ(m.Int("StampTwice"), 42);
    m.map->DetachChunks();
    // A value per index: the access mode of the node its index chooses.
    EXPECT_EQ(m.map->GetAccessMode(m.N("Pick")), TqGenAccessModeReadWrite);
    EXPECT_EQ(m.Int("Pick"), 7);
    ASSERT_TRUE(m.map->SetInteger(m.N("Which"), 1).IsOK());
    EXPECT_EQ(m.map->GetAccessMode(m.N("Pick")), TqGenAccessModeWriteOnly);
    EXPECT_EQ(m.map->GetInteger(m.N("Pick"), value).GetCode(), TQ_STATE_ERROR);
    ASSERT_TRUE(m.map->SetInteger(m.N("Pick"), 9).IsOK());
    EXPECT_EQ(m.At(0x10, 4), BigEndian32(9));
    // A register whose address cannot be worked out.
    EXPECT_EQ(m.map->GetAccessMode(m.N("Moving")), TqGenAccessModeNotImplemented);
    r = m.map->GetInteger(m.N("Moving"), value);
    EXPECT_NE(Why(r).find("Moving: not implemented (by No)"), std::string::npos) << Why(r);
    ASSERT_TRUE(m.map->SetInteger(m.N("No"), 1).IsOK());
    ASSERT_TRUE(m.map->SetInteger(m.N("Moving"), 5).IsOK());
    EXPECT_EQ(m.At(0x20, 4), (Bytes{5, 0, 0, 0}));
}

TEST(TqGenInterfacesTest, AnIncrementOfZeroIsRefusedAloneNotTheLimits) {
    Map m(Description("<Integer Name=\"Stepped\"><pValue>V</pValue><pInc>Step</pInc><Min>0</Min><Max>100</Max></Integer>" +
                      Reg("V", "0x0") + Reg("Step", "0x4")));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    int64_t value = 0;
    ASSERT_TRUE(m.map->GetIntegerMin(m.N("Stepped"), value).IsOK());
    EXPECT_EQ(value, 0);
    ASSERT_TRUE(m.map->GetIntegerMax(m.N("Stepped"), value).IsOK());
    EXPECT_EQ(value, 100);
    TqResult r = m.map->GetIntegerInc(m.N("Stepped"), value);
    EXPECT_EQ(r.GetCode(), TQ_INVALID_DATA_FORMAT);
    EXPECT_NE(Why(r).find("Stepped: increment 0 is not positive"), std::string::npos) << Why(r);
    EXPECT_EQ(m.map->SetInteger(m.N("Stepped"), 4).GetCode(), TQ_INVALID_DATA_FORMAT);
    m.Put(0x4, {2, 0, 0, 0});
    m.map->InvalidateAll();
    ASSERT_TRUE(m.map->SetInteger(m.N("Stepped"), 4).IsOK());
    EXPECT_EQ(m.map->SetInteger(m.N("Stepped"), 5).GetCode(), TQ_INVALID_PARAMETER);
}

TEST(TqGenInterfacesTest, SparseMemoryPortReadsZerosAndKeepsWrites) {
    const uint64_t top = std::numeric_limits<uint64_t>::max();
    auto port = TqGenParameterArray::SparseMemoryPort(top);
    auto* info = dynamic_cast<IPortInfo*>(port.get());
    ASSERT_NE(info, nullptr);
    uint64_t size = 0;
    ASSERT_TRUE(info->GetPortSize(size));
    EXPECT_EQ(size, top);
    EXPECT_EQ(info->GetPortAccessMode(), TqGenAccessModeReadWrite);
    Bytes out(8, 0xAA);
    ASSERT_TRUE(port->Read(0xFFFFFFF0, out.data(), 8).IsOK());
    EXPECT_EQ(out, Bytes(8, 0));
    // A write across a page boundary, and zeros on either side of it.
    const Bytes written = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(port->Write(4092, written.data(), written.size()).IsOK());
    Bytes around(16, 0xAA);
    ASSERT_TRUE(port->Read(4088, around.data(), around.size()).IsOK());
    EXPECT_EQ(around, (Bytes{0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0}));
    ASSERT_TRUE(port->Write(top - 4, written.data(), 4).IsOK());
    ASSERT_TRUE(port->Read(top - 4, out.data(), 4).IsOK());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{1, 2, 3, 4}));
    // A large read of pages never written.
    Bytes large(1 << 20, 0xAA);
    ASSERT_TRUE(port->Read(uint64_t{1} << 40, large.data(), large.size()).IsOK());
    EXPECT_TRUE(std::all_of(large.begin(), large.end(), [](uint8_t b) { return b == 0; }));
    // The ends: nothing past the size, nothing without memory.
    EXPECT_EQ(port->Read(top - 3, out.data(), 4).GetCode(), TQ_ERR_OVERFLOW);
    EXPECT_EQ(port->Write(top, written.data(), 1).GetCode(), TQ_ERR_OVERFLOW);
    EXPECT_EQ(port->Read(0, nullptr, 4).GetCode(), TQ_INVALID_PARAMETER);
    auto small = TqGenParameterArray::SparseMemoryPort(16);
    EXPECT_EQ(small->Write(12, written.data(), 8).GetCode(), TQ_ERR_OVERFLOW);
    auto none = TqGenParameterArray::SparseMemoryPort(0);
    EXPECT_TRUE(none->Read(0, out.data(), 0).IsOK());
    EXPECT_EQ(none->Read(0, out.data(), 1).GetCode(), TQ_ERR_OVERFLOW);
    // A description with a register just below 4 GiB loads over it and reads and writes there.
    Map m(Description(Reg("High", "0xFFFFFF70", "<Endianess>BigEndian</Endianess>")), TqGenParameterArray::SparseMemoryPort(uint64_t{1} << 32));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    EXPECT_EQ(m.Int("High"), 0);
    ASSERT_TRUE(m.map->SetInteger(m.N("High"), 0x01020304).IsOK());
    EXPECT_EQ(m.At(0xFFFFFF70, 4), (Bytes{1, 2, 3, 4}));
    Map beyond(Description(Reg("High", "0xFFFFFFFE")), TqGenParameterArray::SparseMemoryPort(uint64_t{1} << 32));
    EXPECT_EQ(beyond.loaded.GetCode(), TQ_GENICAM_XML_ERROR);
    EXPECT_NE(Why(beyond.loaded).find("IntReg 'High': bytes 0xfffffffe + 4 lie beyond the port's 4294967296 bytes"),
              std::string::npos) << Why(beyond.loaded);
}

TEST(TqGenInterfacesTest, ChainsAcrossInterfacesAtTheLoadsLimitEvaluate) {
    // Integers over float converters over integers, as long as a description may chain them: every
    // step converts, and reads, limits and writes stay inside the evaluation's depth.
    const int pairs = (NodeMap::kMaxReferenceChain - 4) / 2;
    std::string nodes;
    for (int i = 0; i < pairs; ++i) {
        std::string me = std::to_string(i), next = std::to_string(i + 1);
        nodes += "<Integer Name=\"I" + me + "\"><pValue>C" + me + "</pValue></Integer>"
                 "<Converter Name=\"C" + me + "\"><FormulaFrom>TO+1</FormulaFrom><FormulaTo>FROM-1</FormulaTo><pValue>I" + next +
                 "</pValue></Converter>\n";
    }
    nodes += "<Integer Name=\"I" + std::to_string(pairs) + "\"><Value>0</Value><Min>-5</Min><Max>1000</Max></Integer>";
    Map m(Description(nodes));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    EXPECT_EQ(m.Int("I0"), pairs);
    int64_t max = 0;
    ASSERT_TRUE(m.map->GetIntegerMax(m.N("I0"), max).IsOK());
    EXPECT_EQ(max, 1000 + pairs);
    TqResult r = m.map->SetInteger(m.N("I0"), pairs + 7);
    ASSERT_TRUE(r.IsOK()) << Why(r);
    EXPECT_EQ(m.Int(("I" + std::to_string(pairs)).c_str()), 7);
    EXPECT_EQ(m.map->SetInteger(m.N("I0"), pairs - 6).GetCode(), TQ_INVALID_PARAMETER);   // -6 at the end of the chain
    // One pair more than the load allows is refused, naming where the chain starts.
    Map longer(Description("<Integer Name=\"Head\"><pValue>Tail</pValue></Integer><Converter Name=\"Tail\"><FormulaFrom>TO</FormulaFrom>"
                           "<FormulaTo>FROM</FormulaTo><pValue>I0</pValue></Converter>" + nodes +
                           "<Integer Name=\"Top\"><pValue>Head</pValue></Integer><Integer Name=\"Over\"><pValue>Top</pValue></Integer>"
                           "<Integer Name=\"Past\"><pValue>Over</pValue></Integer>"));
    EXPECT_EQ(longer.loaded.GetCode(), TQ_GENICAM_XML_ERROR);
    EXPECT_NE(Why(longer.loaded).find("a chain of references longer than 100 nodes"), std::string::npos) << Why(longer.loaded);
}
