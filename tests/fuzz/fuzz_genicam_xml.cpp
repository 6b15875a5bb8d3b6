// GenICam descriptions into the node map (TqGenParameterArray::Load over a port of any size), then
// every feature read through its parameter object (value, text form, limits, increment, access,
// presentation, entries, selected features) and every category; then written: integers and floats
// at their limits and at the ends of their types' ranges, every entry, commands executed, and each
// value back in its text form. The device library's scan for event ports
// (TqDeviceLib::RouteEventPorts) reads the description first, and what it makes of it is loaded and
// read too.
//
// Input: the XML text. The port serves a fixed pattern at every address and keeps what is written
// (up to 4 KiB a write).
// Checked besides the sanitizers: the load, reads and writes take no more than a stack of 1 MiB; a
// load that fails says why with TQ_GENICAM_XML_ERROR and leaves the array empty.
#include "TqDeviceEngine.h"
#include "TqDeviceLink.h"
#include "TqGenParameter.h"
#include "TqGenParameterArray.h"
#include "TqResultCodes.h"
#include "fuzz_input.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <sstream>

using KivoFuzz::Bytes;

namespace {

// The stack a load and the reads after it run on: no description may need more.
constexpr size_t kStack = 1 << 20;

// A port of unknown size: byte n reads as n * 37 + n / 251 until written.
class PatternPort : public TqGenICamLib::IPort {
public:
    TqResult Read(uint64_t aAddress, void* aData, uint64_t aLength) override {
        uint8_t* out = static_cast<uint8_t*>(aData);
        for (uint64_t i = 0; i < aLength; ++i) {
            const uint64_t at = aAddress + i;
            auto it = mWritten.find(at);
            out[i] = it != mWritten.end() ? it->second : static_cast<uint8_t>(at * 37 + at / 251);
        }
        return TqResult(TQ_OK);
    }
    TqResult Write(uint64_t aAddress, const void* aData, uint64_t aLength) override {
        const uint8_t* in = static_cast<const uint8_t*>(aData);
        for (uint64_t i = 0; i < aLength && i < 4096; ++i) mWritten[aAddress + i] = in[i];
        return TqResult(TQ_OK);
    }

private:
    std::map<uint64_t, uint8_t> mWritten;
};

void ReadFeature(TqGenParameter* aParameter) {
    bool flag = false;
    TqString text;
    aParameter->IsAvailable(flag);
    aParameter->IsReadable(flag);
    aParameter->IsWritable(flag);
    aParameter->IsImplemented(flag);
    aParameter->IsValueCached(flag);
    aParameter->IsPersistent(flag);
    aParameter->IsSelector(flag);
    aParameter->GetCategory(text);
    aParameter->GetDisplayName(text);
    TqGenParameterList selected;
    aParameter->GetSelectedParameters(selected);
    aParameter->GetSelectingParameters(selected);
    TqGenType type = TqGenTypeUndefined;
    aParameter->GetType(type);
    switch (type) {
    case TqGenTypeInteger: {
        auto* p = static_cast<TqGenInteger*>(aParameter);
        int64_t value = 0, min = 0, max = 0, increment = 0;
        TqGenRepresentation representation;
        p->GetValue(value);
        p->GetMin(min);
        p->GetMax(max);
        p->GetIncrement(increment);
        p->GetRepresentation(representation);
        p->GetUnit(text);
        for (int64_t limit : {min, max, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), value})
            p->SetValue(limit);
        break;
    }
    case TqGenTypeFloat: {
        auto* p = static_cast<TqGenFloat*>(aParameter);
        double value = 0, min = 0, max = 0;
        p->GetValue(value);
        p->GetMin(min);
        p->GetMax(max);
        p->GetUnit(text);
        for (double limit : {min, max, -HUGE_VAL, HUGE_VAL, std::nan(""), 1e300, value}) p->SetValue(limit);
        break;
    }
    case TqGenTypeEnum: {
        auto* p = static_cast<TqGenEnum*>(aParameter);
        int64_t count = 0, value = 0;
        p->GetValue(value);
        p->GetEntriesCount(count);
        for (int64_t i = 0; i < count; ++i) {
            const TqGenEnumEntry* entry = nullptr;
            if (!p->GetEntryByIndex(i, &entry).IsOK() || !entry) continue;
            entry->IsAvailable(flag);
            entry->GetValue(value);
            entry->GetName(text);
            p->SetValue(value);
        }
        break;
    }
    case TqGenTypeCommand:
        static_cast<TqGenCommand*>(aParameter)->Execute();
        static_cast<TqGenCommand*>(aParameter)->IsDone(flag);
        break;
    case TqGenTypeString: {
        int64_t length = 0;
        static_cast<TqGenString*>(aParameter)->GetMaxLength(length);
        break;
    }
    case TqGenTypeRegister: {
        auto* p = static_cast<TqGenRegister*>(aParameter);
        int64_t length = 0;
        if (p->GetLength(length).IsOK() && length > 0 && length <= (1 << 20)) {
            std::vector<uint8_t> bytes(static_cast<size_t>(length));
            p->Get(bytes.data(), length);
            p->Set(bytes.data(), length);
        }
        break;
    }
    default: break;
    }
    if (aParameter->ToString(text).IsOK() && type != TqGenTypeCommand) aParameter->FromString(text);
}

// ---- seeds: the descriptions the GenICam tests load ----

std::string Description(const std::string& aNodes) {
    return "<?xml version=\"1.0\"?>\n<RegisterDescription ModelName=\"T\" VendorName=\"T\">\n" + aNodes +
           "\n<Port Name=\"Device\"/>\n</RegisterDescription>\n";
}

std::vector<Bytes> Seeds() {
    std::vector<std::string> texts;
    std::ifstream fixture(KIVO_FUZZ_SOURCE_DIR "/tests/genicam/camera.xml");
    std::stringstream camera;
    camera << fixture.rdbuf();
    texts.push_back(camera.str());
    texts.push_back(TqEngine::Device().Xml());
    texts.push_back(Description(
        "<Category Name=\"Root\"><pFeature>Width</pFeature><pFeature>PayloadSize</pFeature><pFeature>Rate</pFeature></Category>"
        "<Integer Name=\"Width\"><pValue>WidthReg</pValue><Min>8</Min><pMax>MaxWidth</pMax><Inc>4</Inc><pSelected>Slot</pSelected></Integer>"
        "<IntReg Name=\"WidthReg\"><Address>0x100</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>"
        "<Endianess>BigEndian</Endianess></IntReg><Integer Name=\"MaxWidth\"><Value>4096</Value></Integer>"
        "<Enumeration Name=\"PixelFormat\"><EnumEntry Name=\"Mono8\"><Value>0x01080001</Value></EnumEntry>"
        "<EnumEntry Name=\"RGB8\"><Value>0x02180014</Value><pIsAvailable>Avail</pIsAvailable></EnumEntry><Value>0x01080001</Value></Enumeration>"
        "<Boolean Name=\"Avail\"><Value>true</Value><OnValue>5</OnValue><OffValue>6</OffValue></Boolean>"
        "<IntSwissKnife Name=\"PayloadSize\"><pVariable Name=\"W\">Width</pVariable><pVariable Name=\"PF\">PixelFormat</pVariable>"
        "<Constant Name=\"H\">480</Constant><Expression Name=\"BPP\">(PF&gt;&gt;16)&amp;0xFF</Expression>"
        "<Formula>W*H*BPP/8</Formula></IntSwissKnife>"
        "<Float Name=\"Rate\"><pValue>RateConverter</pValue></Float>"
        "<Converter Name=\"RateConverter\"><FormulaTo>1000000/FROM</FormulaTo><FormulaFrom>1000000/TO</FormulaFrom>"
        "<pValue>Period</pValue><Slope>Decreasing</Slope></Converter>"
        "<Integer Name=\"Period\"><Value>10000</Value><Min>1000</Min><Max>10000000</Max></Integer>"
        "<IntConverter Name=\"Tenths\"><FormulaFrom>ROUND(TO*10, -1)</FormulaFrom><FormulaTo>FROM/10</FormulaTo><pValue>Period</pValue></IntConverter>"
        "<IntReg Name=\"Slot\"><Address>0x200</Address><pIndex Offset=\"8\">Width</pIndex><Length>4</Length><AccessMode>RW</AccessMode></IntReg>"
        "<Command Name=\"Start\"><pValue>WidthReg</pValue><CommandValue>1</CommandValue></Command>"
        "<String Name=\"Label\"><Value>kivo</Value></String>"
        "<StringReg Name=\"Name\"><Address>0x300</Address><Length>16</Length><AccessMode>RW</AccessMode></StringReg>"
        "<Register Name=\"Block\"><Address>0x400</Address><Length>8</Length><AccessMode>RW</AccessMode></Register>"
        "<FloatReg Name=\"Gain\"><Address>0x500</Address><Length>4</Length><AccessMode>RW</AccessMode></FloatReg>"));
    texts.push_back(Description(
        "<StructReg Comment=\"Bits\"><Address>0x40</Address><Length>4</Length><AccessMode>RW</AccessMode><Endianess>BigEndian</Endianess>"
        "<StructEntry Name=\"High\"><LSB>15</LSB><MSB>0</MSB><Sign>Signed</Sign></StructEntry>"
        "<StructEntry Name=\"Flag\"><Bit>16</Bit><AccessMode>RO</AccessMode></StructEntry></StructReg>"
        "<MaskedIntReg Name=\"Nibble\"><Address>0x50</Address><Length>4</Length><LSB>12</LSB><MSB>15</MSB><AccessMode>RW</AccessMode></MaskedIntReg>"
        "<Integer Name=\"Table\"><pIndex>Sel</pIndex><ValueIndexed Index=\"10\">100</ValueIndexed>"
        "<pValueIndexed Index=\"20\">Twenty</pValueIndexed><ValueDefault>600</ValueDefault></Integer>"
        "<Integer Name=\"Sel\"><Value>10</Value><pIsLocked>Lock</pIsLocked></Integer><Integer Name=\"Twenty\"><Value>200</Value></Integer>"
        "<Integer Name=\"Lock\"><Value>0</Value></Integer>"
        "<Float Name=\"FloatTable\"><pIndex>Sel</pIndex><ValueIndexed Index=\"20\">2.5</ValueIndexed><ValueDefault>0.5</ValueDefault></Float>"
        "<Port Name=\"Chunks\"><ChunkID>0xA1</ChunkID></Port><Port Name=\"Events\"><EventID>9001</EventID></Port>"
        "<IntReg Name=\"EventBlock\"><Address>0</Address><Length>8</Length><pPort>Events</pPort></IntReg>"
        "<Integer Name=\"EventBlockValue\"><pValue>EventBlock</pValue></Integer>"
        "<IntReg Name=\"ChunkValue\"><Address>0</Address><Length>4</Length><pPort>Chunks</pPort><AccessMode>RO</AccessMode></IntReg>"));
    texts.push_back(Description(
        "<Register Name=\"Buffer\"><Address>0x100</Address><pLength>Len</pLength><AccessMode>RW</AccessMode></Register>"
        "<IntReg Name=\"Len\"><Address>0x10</Address><Length>1</Length><AccessMode>RW</AccessMode></IntReg>"
        "<StringReg Name=\"Label\"><Address>0x200</Address><pIndex>Len</pIndex><pLength>Len</pLength><AccessMode>RW</AccessMode></StringReg>"
        "<Float Name=\"Gain\"><pValue>Len</pValue><Max>100</Max></Float>"
        "<Integer Name=\"Blanking\"><pValue>Lines</pValue><pMax>Gain</pMax></Integer>"
        "<Converter Name=\"Lines\"><FormulaFrom>(TO+43970)/65-1304.2</FormulaFrom><FormulaTo>(FROM+1304.2)*65-43970</FormulaTo>"
        "<pValue>Len</pValue></Converter><SwissKnife Name=\"Ratio\"><pVariable Name=\"L\">Len</pVariable><Formula>1/L</Formula></SwissKnife>"
        "<Boolean Name=\"Enabled\"><pValue>Mode</pValue></Boolean>"
        "<Enumeration Name=\"Mode\"><EnumEntry Name=\"Off\"><Value>0</Value></EnumEntry><EnumEntry Name=\"On\"><Value>1</Value>"
        "<pIsAvailable>Len</pIsAvailable></EnumEntry><pValue>Len</pValue><pSelected>Group</pSelected></Enumeration>"
        "<Category Name=\"Group\"><pFeature>Height</pFeature><pFeature>OffsetY</pFeature></Category>"
        "<Integer Name=\"Height\"><Value>100</Value><pMax>HeightMax</pMax><pIsImplemented>Present</pIsImplemented><Streamable/></Integer>"
        "<Integer Name=\"OffsetY\"><Value>0</Value><pMax>OffsetYMax</pMax></Integer>"
        "<IntSwissKnife Name=\"HeightMax\"><pVariable Name=\"O\">OffsetY</pVariable><Formula>480-O</Formula></IntSwissKnife>"
        "<IntSwissKnife Name=\"OffsetYMax\"><pVariable Name=\"H\">Height</pVariable><Formula>480-H</Formula></IntSwissKnife>"
        "<IntSwissKnife Name=\"Present\"><pVariable Name=\"A\">Absent</pVariable><Formula>A</Formula></IntSwissKnife>"
        "<Integer Name=\"Absent\"><Value>1</Value><pIsImplemented>Len</pIsImplemented></Integer>"
        "<Port Name=\"Chunks\"><ChunkID>0xA1</ChunkID></Port>"
        "<IntReg Name=\"Tail\"><Address>-4</Address><Length>4</Length><pPort>Chunks</pPort></IntReg>"
        "<IntReg Name=\"Shifted\"><Address>-0x10</Address><pAddress>Len</pAddress><Length>4</Length><AccessMode>RW</AccessMode></IntReg>"));
    std::vector<Bytes> seeds;
    for (const std::string& text : texts) seeds.emplace_back(text.begin(), text.end());
    return seeds;
}

void LoadAndReadAll(const char* aXml, size_t aSize) {
    TqGenParameterArray array;
    const TqResult loaded = array.Load(aXml, aSize, std::make_shared<PatternPort>());
    if (!loaded.IsOK()) {
        KIVO_FUZZ_CHECK(loaded.GetCode() == TQ_GENICAM_XML_ERROR);
        KIVO_FUZZ_CHECK(array.GetCount() == 0 && array.GetCategoryCount() == 0);
        KIVO_FUZZ_CHECK(loaded.GetDescription().GetLength() > 0);
        return;
    }
    for (uint32_t i = 0; i < array.GetCount(); ++i) ReadFeature(array.Get(i));
    for (uint32_t i = 0; i < array.GetCategoryCount(); ++i) {
        TqString name;
        bool implemented = false;
        array.GetCategory(i)->GetName(name);
        array.GetCategory(i)->IsImplemented(implemented);
    }
    array.Poll();
    array.InvalidateCache();
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    KivoFuzz::OnStackOf(kStack, [&] {
        const std::string xml(reinterpret_cast<const char*>(aData), aSize);
        std::string routed;
        std::map<uint16_t, std::vector<std::string>> features;
        if (TqDeviceLib::RouteEventPorts(xml, routed, features)) LoadAndReadAll(routed.data(), routed.size());
        LoadAndReadAll(xml.data(), xml.size());
    });
    return 0;
}
