// A hostile device or description: lengths a device gives past the maximum size nothing and reach
// no port, counts a description gives past theirs fail the load, chunk layouts of too many chunks
// are refused, the copies of long registers stay within the map's budget, and polling times and
// addresses at the ends of their ranges compute without overflow.
#include "TqGenNodeMap.h"
#include "TqGenParameter.h"
#include "TqGenParameterArray.h"
#include "genicam_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using KivoGenTest::Bytes;
using KivoGenTest::Description;
using KivoGenTest::Map;
using KivoGenTest::Reg;
using KivoGenTest::Why;
using TqGenICamLib::IPort;
using TqGenICamLib::Node;
using TqGenICamLib::NodeMap;

namespace {

// Memory as a port that keeps the longest transfer it was asked for.
class RecordingPort : public IPort {
public:
    explicit RecordingPort(uint64_t aSize) : mInner(TqGenParameterArray::MemoryPort(aSize)) {}
    TqResult Read(uint64_t aAddress, void* aData, uint64_t aLength) override {
        longest = std::max(longest, aLength);
        return mInner->Read(aAddress, aData, aLength);
    }
    TqResult Write(uint64_t aAddress, const void* aData, uint64_t aLength) override {
        longest = std::max(longest, aLength);
        return mInner->Write(aAddress, aData, aLength);
    }
    uint64_t longest = 0;

private:
    std::shared_ptr<IPort> mInner;
};

// Eight bytes of memory at the top of the 64-bit address space, as a port.
class TopPort : public IPort {
public:
    TqResult Read(uint64_t aAddress, void* aData, uint64_t aLength) override {
        std::memcpy(aData, bytes + (aAddress - kBase), aLength);
        return TqResult(TQ_OK);
    }
    TqResult Write(uint64_t aAddress, const void* aData, uint64_t aLength) override {
        std::memcpy(bytes + (aAddress - kBase), aData, aLength);
        return TqResult(TQ_OK);
    }
    static constexpr uint64_t kBase = ~uint64_t{0} - 7;
    uint8_t bytes[8] = {};
};

Bytes LittleEndian64(uint64_t aValue) {
    Bytes out;
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(aValue >> (8 * i)));
    return out;
}

TqResult Load(TqGenParameterArray& aArray, const std::string& aXml, std::shared_ptr<IPort> aPort) {
    return aArray.Load(aXml.data(), aXml.size(), std::move(aPort));
}

std::string Repeated(int aCount, const std::function<std::string(int)>& aOne) {
    std::string out;
    for (int i = 0; i < aCount; ++i) out += aOne(i);
    return out;
}

}  // namespace

// The register's length is what the device holds in Len: 2^40, -1 or one past the maximum is
// refused by every operation that would be sized from it (out-values left as they were), and the
// port is never asked for more than Len's own 8 bytes; a length within the bound works.
TEST(TqGenBoundsTest, ALengthTheDeviceGivesPastTheMaximumSizesNothing) {
    const std::string xml = Description(
        "<Register Name=\"Buffer\"><Address>0x100</Address><pLength>Len</pLength><AccessMode>RW</AccessMode></Register>"
        "<IntReg Name=\"Len\"><Address>0x10</Address><Length>8</Length><AccessMode>RW</AccessMode></IntReg>"
        "<StringReg Name=\"Label\"><Address>0x200</Address><pLength>Len</pLength><AccessMode>RW</AccessMode></StringReg>"
        "<Register Name=\"Row\"><Address>0x300</Address><pIndex>Line</pIndex><pLength>Len</pLength><AccessMode>RO</AccessMode></Register>"
        "<Integer Name=\"Line\"><Value>1</Value></Integer>");
    auto port = std::make_shared<RecordingPort>(4096);
    TqGenParameterArray array;
    ASSERT_TRUE(Load(array, xml, port).IsOK());
    NodeMap* map = reinterpret_cast<NodeMap*>(array.GetNodeMap());
    TqGenRegister* buffer = array.GetRegister("Buffer");
    TqGenString* label = array.GetString("Label");
    ASSERT_TRUE(buffer && label);

    for (uint64_t bad : {uint64_t{1} << 40, ~uint64_t{0}, static_cast<uint64_t>(NodeMap::kMaxRegisterLength) + 1}) {
        SCOPED_TRACE(bad);
        ASSERT_TRUE(port->Write(0x10, LittleEndian64(bad).data(), 8).IsOK());
        map->InvalidateAll();
        port->longest = 0;
        int64_t length = -7;
        EXPECT_EQ(buffer->GetLength(length).GetCode(), TQ_INVALID_DATA_FORMAT);
        EXPECT_EQ(length, -7) << "a refused length is no out-value";
        TqString text("kept");
        TqResult r = buffer->ToString(text);
        EXPECT_EQ(r.GetCode(), TQ_INVALID_DATA_FORMAT);
        EXPECT_NE(Why(r).find("Buffer: length "), std::string::npos) << Why(r);
        EXPECT_EQ(text.GetAscii(), std::string("kept"));
        uint8_t bytes[8] = {};
        EXPECT_EQ(buffer->Get(bytes, 8).GetCode(), TQ_INVALID_DATA_FORMAT);
        EXPECT_EQ(buffer->FromString(TqString("00")).GetCode(), TQ_INVALID_DATA_FORMAT);
        EXPECT_EQ(label->GetValue(text).GetCode(), TQ_INVALID_DATA_FORMAT);
        EXPECT_EQ(label->GetMaxLength(length).GetCode(), TQ_INVALID_DATA_FORMAT);
        EXPECT_EQ(length, -7);
        EXPECT_EQ(label->SetValue(TqString("x")).GetCode(), TQ_INVALID_DATA_FORMAT);
        uint64_t address = 0;
        EXPECT_EQ(map->GetAddress(map->Find("Row"), address).GetCode(), TQ_INVALID_DATA_FORMAT) << "its index steps by the length";
        EXPECT_EQ(port->longest, 8u) << "only Len itself is read";
    }

    ASSERT_TRUE(port->Write(0x10, LittleEndian64(3).data(), 8).IsOK());
    ASSERT_TRUE(port->Write(0x100, Bytes{0xAB, 0x01, 0xFF}.data(), 3).IsOK());
    map->InvalidateAll();
    TqString text;
    ASSERT_TRUE(buffer->ToString(text).IsOK());
    EXPECT_EQ(text.GetAscii(), std::string("AB01FF"));
    ASSERT_TRUE(buffer->FromString(TqString("c0ffee")).IsOK());
    ASSERT_TRUE(buffer->ToString(text).IsOK());
    EXPECT_EQ(text.GetAscii(), std::string("C0FFEE"));
    EXPECT_EQ(buffer->FromString(TqString("c0ffeg")).GetCode(), TQ_INVALID_PARAMETER);
}

// Counts a description gives: entries of an enumeration, values per index, the links of
// selectors to the features they select, and a String's own Value; each loads at its maximum and
// fails the load one past it, naming the node.
TEST(TqGenBoundsTest, DescriptionCountsPastTheirMaximumFailTheLoad) {
    auto loads = [](const std::string& aNodes) {
        Map m(Description(aNodes));
        return m.loaded.IsOK() ? std::string() : Why(m.loaded);
    };
    struct Count {
        size_t most;
        std::function<std::string(int)> nodes;
        std::string refused;
    } counts[] = {
        {NodeMap::kMaxEnumEntries,
         [](int aEntries) {
             return "<Enumeration Name=\"E\">" +
                    Repeated(aEntries, [](int i) { return "<EnumEntry Name=\"N" + std::to_string(i) + "\"><Value>" + std::to_string(i) + "</Value></EnumEntry>"; }) +
                    "<Value>0</Value></Enumeration>";
         },
         "Enumeration 'E': more than 4096 entries"},
        {NodeMap::kMaxIndexedValues,
         [](int aValues) {
             return "<Integer Name=\"Sel\"><Value>0</Value></Integer><Integer Name=\"T\"><pIndex>Sel</pIndex>" +
                    Repeated(aValues, [](int i) { return "<ValueIndexed Index=\"" + std::to_string(i) + "\">" + std::to_string(i) + "</ValueIndexed>"; }) +
                    "<ValueDefault>0</ValueDefault></Integer>";
         },
         "Integer 'T': more than 4096 values per index"},
    };
    for (const Count& count : counts) {
        EXPECT_EQ(loads(count.nodes(static_cast<int>(count.most))), "");
        EXPECT_EQ(loads(count.nodes(static_cast<int>(count.most) + 1)), count.refused);
    }

    const std::string longest(static_cast<size_t>(NodeMap::kMaxStringValueLength), 'x');
    Map text(Description("<String Name=\"S\"><Value>" + longest + "</Value></String>"));
    ASSERT_TRUE(text.loaded.IsOK()) << Why(text.loaded);
    std::string value;
    ASSERT_TRUE(text.map->GetString(text.N("S"), value).IsOK());
    EXPECT_EQ(value, longest);
    EXPECT_EQ(loads("<String Name=\"S\"><Value>" + longest + "y</Value></String>"),
              "String 'S': a Value of " + std::to_string(longest.size() + 1) + " bytes is longer than the maximum " +
                  std::to_string(longest.size()));

    // Selectors of one category of 1,024 features, each link and each member reached counted: 1,000
    // selectors stay within the maximum of 2^20, 1,024 do not.
    auto selectors = [](int aSelectors) {
        return "<Category Name=\"All\">" + Repeated(1024, [](int i) { return "<pFeature>F" + std::to_string(i) + "</pFeature>"; }) +
               "</Category>" + Repeated(1024, [](int i) { return "<Integer Name=\"F" + std::to_string(i) + "\"><Value>0</Value></Integer>"; }) +
               Repeated(aSelectors, [](int i) { return "<Integer Name=\"S" + std::to_string(i) + "\"><Value>0</Value><pSelected>All</pSelected></Integer>"; });
    };
    Map fine(Description(selectors(1000)));
    ASSERT_TRUE(fine.loaded.IsOK()) << Why(fine.loaded);
    EXPECT_EQ(fine.N("S999")->selected.size(), 1024u);
    EXPECT_EQ(fine.N("F5")->selecting.size(), 1000u);
    EXPECT_NE(loads(selectors(1024)).find("the selectors' pSelected reach more than 1048576 features and category members in all"),
              std::string::npos);
}

// A layout of empty chunks is 8 bytes a chunk: kMaxChunks of them attach, one more is refused like
// a broken layout and keeps what was attached.
TEST(TqGenBoundsTest, ChunkLayoutsOfMoreThanTheMaximumChunksAreRefused) {
    Map m(Description("<Port Name=\"Chunks\"><ChunkID>0</ChunkID></Port>"
                      "<IntReg Name=\"Count\"><Address>-4</Address><Length>4</Length><pPort>Chunks</pPort><Endianess>BigEndian</Endianess></IntReg>"));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    auto layout = [](size_t aChunks) {
        Bytes out{0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 4};   // chunk 0 holding 7, then empty chunks of ID 1
        for (size_t i = 1; i < aChunks; ++i) out.insert(out.end(), {0, 0, 0, 1, 0, 0, 0, 0});
        return out;
    };
    Bytes most = layout(NodeMap::kMaxChunks), past = layout(NodeMap::kMaxChunks + 1);
    std::vector<NodeMap::Chunk> chunks;
    EXPECT_TRUE(NodeMap::ParseChunks(most.data(), static_cast<uint32_t>(most.size()), chunks));
    EXPECT_EQ(chunks.size(), NodeMap::kMaxChunks);
    EXPECT_FALSE(NodeMap::ParseChunks(past.data(), static_cast<uint32_t>(past.size()), chunks));
    EXPECT_LE(chunks.size(), NodeMap::kMaxChunks);
    ASSERT_TRUE(m.map->AttachChunks(most.data(), static_cast<uint32_t>(most.size())).IsOK());
    EXPECT_EQ(m.Int("Count"), 7);
    EXPECT_EQ(m.map->AttachChunks(past.data(), static_cast<uint32_t>(past.size())).GetCode(), TQ_INVALID_DATA_FORMAT);
    EXPECT_EQ(m.Int("Count"), 7) << "the refused layout keeps the one attached";
}

// Five registers of the longest length: four copies fill the budget, the fifth register reads
// the port each time (and sees the device's changes); number registers keep their copies.
TEST(TqGenBoundsTest, CopiesOfLongRegistersStayWithinTheMapsBudget) {
    const int64_t longest = NodeMap::kMaxRegisterLength;
    ASSERT_EQ(static_cast<uint64_t>(4 * longest), NodeMap::kMaxCachedBytes);
    std::string nodes = Reg("Small", "0");
    for (int i = 0; i < 5; ++i)
        nodes += "<Register Name=\"Big" + std::to_string(i) + "\"><Address>" + std::to_string((i + 1) * longest) +
                 "</Address><Length>" + std::to_string(longest) + "</Length><AccessMode>RW</AccessMode></Register>";
    Map m(Description(nodes), TqGenParameterArray::SparseMemoryPort(6 * static_cast<uint64_t>(longest)));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    Bytes bytes(static_cast<size_t>(longest));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(m.map->GetRegister(m.N(("Big" + std::to_string(i)).c_str()), bytes.data(), longest).IsOK());
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(m.map->IsValueCached(m.N(("Big" + std::to_string(i)).c_str()))) << i;
    EXPECT_FALSE(m.map->IsValueCached(m.N("Big4")));
    m.Put(5 * static_cast<uint64_t>(longest), {0x42});
    ASSERT_TRUE(m.map->GetRegister(m.N("Big4"), bytes.data(), 1).IsOK());
    EXPECT_EQ(bytes[0], 0x42) << "no copy: the device's byte";
    m.Int("Small");
    EXPECT_TRUE(m.map->IsValueCached(m.N("Small")));
    m.map->InvalidateAll();
    ASSERT_TRUE(m.map->GetRegister(m.N("Big0"), bytes.data(), 1).IsOK());
    EXPECT_TRUE(m.map->IsValueCached(m.N("Big0"))) << "its copy's room is its own again";
}

// PollingTime up to the 64-bit maximum compares with a copy's age without overflow; 0 drops the
// copy at every poll.
TEST(TqGenBoundsTest, PollingTimesOfAnyLengthCompareWithoutOverflow) {
    Map m(Description(Reg("Forever", "0", "<PollingTime>9223372036854775807</PollingTime>") +
                      Reg("Always", "4", "<PollingTime>0</PollingTime>")));
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    m.Int("Forever");
    m.Int("Always");
    m.map->Poll();
    EXPECT_TRUE(m.map->IsValueCached(m.N("Forever")));
    EXPECT_FALSE(m.map->IsValueCached(m.N("Always")));
}

// Registers at the top of the 64-bit address space: a write's span ends at 2^64 exactly, and
// still drops the copy of the register it overlaps.
TEST(TqGenBoundsTest, SpansEndingAtTheTopOfTheAddressSpaceOverlap) {
    Map m(Description("<IntReg Name=\"Whole\"><Address>0xFFFFFFFFFFFFFFF8</Address><Length>8</Length><AccessMode>RO</AccessMode></IntReg>" +
                      Reg("Top", "0xFFFFFFFFFFFFFFFC")),
          std::make_shared<TopPort>());
    ASSERT_TRUE(m.loaded.IsOK()) << Why(m.loaded);
    EXPECT_EQ(m.Int("Whole"), 0);
    ASSERT_TRUE(m.map->SetInteger(m.N("Top"), 0x01020304).IsOK());
    EXPECT_EQ(m.Int("Whole"), int64_t{0x01020304} << 32) << "the copy of the bytes written was dropped";
}
