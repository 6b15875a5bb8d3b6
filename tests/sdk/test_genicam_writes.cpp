// What a write drops and reports: the copies of the bytes it wrote, in registers at a fixed place
// and in registers a selector moves, and the nodes that read what it changed; nothing else, however
// large the map.
#include "TqGenNodeMap.h"
#include "genicam_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

using KivoGenTest::Bytes;
using KivoGenTest::Description;
using KivoGenTest::Map;
using KivoGenTest::Reg;
using KivoGenTest::Why;
using TqGenICamLib::Node;

namespace {

struct Placed {
    std::string name;
    uint64_t address;
    uint64_t length;
    bool moving;   // its address follows the selector Sel (16 bytes a step)
};

std::set<std::string> Heard(const std::vector<std::string>& aNames) { return {aNames.begin(), aNames.end()}; }

}  // namespace

// Registers of 1 to 8 bytes at random places, a few of up to 112 bytes over many of them, some
// moved by a selector, all read (so all hold a copy) before each write. After the write the
// observer has heard of exactly the written register and those sharing a written byte, exactly
// those have lost their copy, and every register reads what the port holds.
TEST(TqGenWritesTest, AWriteDropsExactlyTheCopiesOfTheBytesItWrote) {
    std::mt19937 random(11);
    std::vector<Placed> regs;
    std::string nodes = "<Integer Name=\"Sel\"><Value>0</Value><Min>0</Min><Max>3</Max></Integer>";
    for (int i = 0; i < 240; ++i) {
        Placed r{"R" + std::to_string(i), random() % 480, i % 20 == 0 ? 17 + random() % 96 : 1 + random() % 8, i % 10 == 5};
        nodes += "<Register Name=\"" + r.name + "\"><Address>" + std::to_string(r.address) + "</Address>" +
                 (r.moving ? "<pIndex Offset=\"16\">Sel</pIndex>" : "") + "<Length>" + std::to_string(r.length) +
                 "</Length><AccessMode>RW</AccessMode></Register>";
        regs.push_back(r);
    }
    Map m(Description(nodes), 1024);
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    Bytes memory(1024, 0);
    uint64_t sel = 0;
    auto where = [&](const Placed& r) { return r.address + (r.moving ? 16 * sel : 0); };
    std::vector<std::string> heard;
    m.map->SetWriteObserver([&](Node* aNode) { heard.push_back(aNode->name); });

    for (int round = 0; round < 300; ++round) {
        if (round % 50 == 49) {
            sel = (sel + 1) % 4;
            ASSERT_TRUE(m.map->SetInteger(m.N("Sel"), static_cast<int64_t>(sel)).IsOK());
        }
        for (const Placed& r : regs) {
            Bytes got(r.length);
            ASSERT_TRUE(m.map->GetRegister(m.N(r.name.c_str()), got.data(), static_cast<int64_t>(r.length)).IsOK()) << r.name;
            ASSERT_EQ(got, Bytes(memory.begin() + where(r), memory.begin() + where(r) + r.length))
                << r.name << " in round " << round << ": a copy outlived a write of its bytes";
        }
        const Placed& w = regs[random() % regs.size()];
        Bytes bytes(w.length);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
        heard.clear();
        ASSERT_TRUE(m.map->SetRegister(m.N(w.name.c_str()), bytes.data(), static_cast<int64_t>(w.length)).IsOK());
        std::copy(bytes.begin(), bytes.end(), memory.begin() + where(w));

        std::set<std::string> sharing{w.name};
        for (const Placed& r : regs)
            if (where(r) < where(w) + w.length && where(w) < where(r) + r.length) sharing.insert(r.name);
        ASSERT_EQ(Heard(heard), sharing) << "round " << round << ", " << w.name << " written";
        for (const Placed& r : regs)
            EXPECT_EQ(m.map->IsValueCached(m.N(r.name.c_str())), &r == &w || !sharing.count(r.name)) << r.name << " in round " << round;
    }
    m.map->SetWriteObserver(nullptr);
}

// A map of 4,000 registers, each under an Integer: a write reports the written feature, its
// register, the nodes that read them (a formula, an enumeration's entry state, a selector's
// features) and the StructReg entries sharing its register, and none of the thousands of others.
TEST(TqGenWritesTest, AWriteInALargeMapReportsOnlyWhatDependsOnIt) {
    std::string nodes;
    for (int i = 0; i < 4000; ++i) {
        const std::string n = std::to_string(i);
        nodes += "<Integer Name=\"F" + n + "\"><pValue>F" + n + "Reg</pValue></Integer>" + Reg("F" + n + "Reg", std::to_string(8 * i));
    }
    nodes += R"(
  <IntSwissKnife Name="Twice"><pVariable Name="X">F7</pVariable><Formula>2*X</Formula></IntSwissKnife>
  <Enumeration Name="Mode"><EnumEntry Name="A"><Value>0</Value></EnumEntry><EnumEntry Name="B"><Value>1</Value><pIsAvailable>F9</pIsAvailable></EnumEntry><Value>0</Value></Enumeration>
  <Integer Name="Picker"><Value>0</Value><pSelected>F11</pSelected></Integer>
  <StructReg Comment="Flags"><Address>0x10000</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>
    <StructEntry Name="Low"><Bit>0</Bit></StructEntry><StructEntry Name="High"><Bit>31</Bit></StructEntry>
    <StructEntry Name="Middle"><LSB>8</LSB><MSB>15</MSB><Cachable>NoCache</Cachable></StructEntry></StructReg>)";
    Map m(Description(nodes), 0x10004);
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    for (int i = 0; i < 4000; i += 7) m.Int(("F" + std::to_string(i)).c_str());   // copies all over the map
    for (const char* name : {"Low", "High", "Middle"}) m.Int(name);
    std::vector<std::string> heard;
    m.map->SetWriteObserver([&](Node* aNode) { heard.push_back(aNode->name); });
    auto write = [&](const char* aName, int64_t aValue) {
        heard.clear();
        TqResult r = m.map->SetInteger(m.N(aName), aValue);
        EXPECT_TRUE(r.IsOK()) << aName << ": " << Why(r);
        return Heard(heard);
    };
    EXPECT_EQ(write("F3000", 5), (std::set<std::string>{"F3000", "F3000Reg"}));
    EXPECT_EQ(write("F7", 5), (std::set<std::string>{"F7", "F7Reg", "Twice"}));
    EXPECT_EQ(m.Int("Twice"), 10);
    EXPECT_EQ(write("F9", 1), (std::set<std::string>{"F9", "F9Reg", "Mode"}));
    EXPECT_EQ(write("Picker", 1), (std::set<std::string>{"Picker", "F11"}));
    // Entries of one register: the one holding a copy drops it; the uncached one keeps none to drop.
    EXPECT_EQ(write("Low", 1), (std::set<std::string>{"Low", "High"}));
    EXPECT_EQ(m.Int("High"), 0);
    EXPECT_EQ(write("High", 1), (std::set<std::string>{"High", "Low"}));
    EXPECT_EQ(m.Int("Low"), 1) << "the other bits stay";
    m.Put(0x10000, {0x00, 0x5A});   // the device itself changes the register
    EXPECT_EQ(m.Int("Middle"), 0x5A) << "NoCache reads the device";
    m.map->SetWriteObserver(nullptr);
}
