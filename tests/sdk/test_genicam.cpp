// The stand-in GenICam engine behind TqGenParameterArray: the camera fixture over a memory port
// (kinds, validation, access modes, selectors, bit fields, chunk data, caches), the state stack,
// descriptions that do not hold together, a bounded mutation fuzz, and a large generated
// description.
#include "TqGenNodeMap.h"
#include "TqGenParameterArray.h"
#include "TqLiveObjects.h"
#include "genicam_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

using TqGenICamLib::IPort;
using TqGenICamLib::Kind;
using TqGenICamLib::Node;
using TqGenICamLib::NodeMap;

namespace {

using Bytes = std::vector<uint8_t>;

std::string ReadFile(const std::string& aPath) {
    std::ifstream in(aPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const std::string& CameraXml() {
    static const std::string xml = ReadFile(std::string(KIVO_GENICAM_FIXTURE_DIR) + "/camera.xml");
    return xml;
}

TqResult Load(TqGenParameterArray& aArray, const std::string& aXml, std::shared_ptr<IPort> aPort) {
    return aArray.Load(aXml.data(), aXml.size(), std::move(aPort));
}

std::string Text(const TqString& aText) { return aText.GetAscii(); }
std::string Why(const TqResult& aResult) { return Text(aResult.GetDescription()); }

// A description of a few nodes over the device port.
std::string Description(const std::string& aNodes) {
    return "<?xml version=\"1.0\"?>\n<RegisterDescription ModelName=\"T\" VendorName=\"T\">\n" + aNodes +
           "\n<Port Name=\"Device\"/>\n</RegisterDescription>\n";
}

Bytes BigEndian32(uint32_t aValue) {
    return {static_cast<uint8_t>(aValue >> 24), static_cast<uint8_t>(aValue >> 16), static_cast<uint8_t>(aValue >> 8),
            static_cast<uint8_t>(aValue)};
}

Bytes BigEndianDouble(double aValue) {
    uint64_t raw;
    std::memcpy(&raw, &aValue, sizeof raw);
    Bytes out;
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(raw >> shift));
    return out;
}

// One chunk as it lies in memory: data, then ID and length, big-endian.
Bytes Chunk(uint32_t aID, const Bytes& aData) {
    Bytes out = aData;
    for (uint8_t b : BigEndian32(aID)) out.push_back(b);
    for (uint8_t b : BigEndian32(static_cast<uint32_t>(aData.size()))) out.push_back(b);
    return out;
}

Bytes Concat(std::initializer_list<Bytes> aParts) {
    Bytes out;
    for (const Bytes& part : aParts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A port over memory that counts its transfers and knows no size (so addresses are checked at
// run time only).
class CountingPort : public IPort {
public:
    explicit CountingPort(uint64_t aSize) : mInner(TqGenParameterArray::MemoryPort(aSize)) {}
    TqResult Read(uint64_t aAddress, void* aData, uint64_t aLength) override {
        ++reads;
        return mInner->Read(aAddress, aData, aLength);
    }
    TqResult Write(uint64_t aAddress, const void* aData, uint64_t aLength) override {
        ++writes;
        return mInner->Write(aAddress, aData, aLength);
    }
    int reads = 0;
    int writes = 0;

private:
    std::shared_ptr<IPort> mInner;
};

Bytes PortBytes(IPort& aPort, uint64_t aAddress, uint64_t aLength) {
    Bytes out(aLength);
    EXPECT_TRUE(aPort.Read(aAddress, out.data(), aLength).IsOK());
    return out;
}

struct Counts {
    long arrays, parameters, categories, entries, maps, stacks;
    static Counts Now() {
        return {TqLiveObjects::Count("TqGenParameterArray"), TqLiveObjects::Count("TqGenParameter"),
                TqLiveObjects::Count("TqGenCategory"),       TqLiveObjects::Count("TqGenEnumEntry"),
                TqLiveObjects::Count("TqGenNodeMap"),        TqLiveObjects::Count("TqGenStateStack")};
    }
    bool operator==(const Counts& o) const {
        return arrays == o.arrays && parameters == o.parameters && categories == o.categories && entries == o.entries &&
               maps == o.maps && stacks == o.stacks;
    }
};

class CameraTest : public ::testing::Test {
protected:
    void SetUp() override {
        port = TqGenParameterArray::MemoryPort(4096);
        ASSERT_NE(port, nullptr);
        TqResult r = Load(array, CameraXml(), port);
        ASSERT_TRUE(r.IsOK()) << Why(r);
        map = reinterpret_cast<NodeMap*>(array.GetNodeMap());
        ASSERT_NE(map, nullptr);
    }

    Node* N(const char* aName) { return KivoGenTest::Named(*map, aName); }

    int64_t Int(const char* aName) {
        int64_t value = -12345;
        TqResult r = array.GetIntegerValue(aName, value);
        EXPECT_TRUE(r.IsOK()) << aName << ": " << Why(r);
        return value;
    }

    std::shared_ptr<IPort> port;
    TqGenParameterArray array;
    NodeMap* map = nullptr;
};

}  // namespace

// ---- lookup, kinds, categories ----

TEST_F(CameraTest, FeaturesInDocumentOrderByPositionAndName) {
    std::vector<std::string> names;
    for (const auto& node : map->Nodes())
        if (TqGenICamLib::ParameterType(node->kind) != TqGenTypeUndefined) names.push_back(node->name);
    ASSERT_EQ(array.GetCount(), names.size());
    EXPECT_EQ(names.front(), "DeviceVendorName");
    EXPECT_EQ(names.back(), "TLParamsLocked");
    for (uint32_t i = 0; i < names.size(); ++i) {
        TqGenParameter* p = array.Get(i);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->GetEngineNode()->name, names[i]);
        EXPECT_EQ(array.Get(TqString(names[i].c_str())), p) << "one object per node";
        EXPECT_EQ(array[i], p);
        EXPECT_EQ(array[TqString(names[i].c_str())], p);
    }
    EXPECT_EQ(array.Get(array.GetCount()), nullptr);
    EXPECT_EQ(array[0xFFFFFFFFu], nullptr);
    EXPECT_EQ(array.Get("NoSuchFeature"), nullptr);
    EXPECT_EQ(array.Get(""), nullptr);
    EXPECT_EQ(array.Get("Root"), nullptr) << "a category is no parameter";
    EXPECT_EQ(array.Get("Device"), nullptr) << "a port is no parameter";
    EXPECT_EQ(array.Get("Mono8"), nullptr) << "an entry is no parameter";
    EXPECT_EQ(array.GetAccessMode(), TqGenAccessModeReadWrite);
}

TEST_F(CameraTest, MostDerivedClassFollowsTheNodeKind) {
    struct Expect {
        const char* name;
        const std::type_info& type;
    } expected[] = {
        {"Width", typeid(TqGenInteger)},        {"WidthReg", typeid(TqGenInteger)},
        {"ReverseXReg", typeid(TqGenInteger)},  {"TemperatureOffset", typeid(TqGenInteger)},
        {"ExposureTime", typeid(TqGenFloat)},   {"ExposureTimeReg", typeid(TqGenFloat)},
        {"PixelFormat", typeid(TqGenEnum)},     {"ReverseX", typeid(TqGenBoolean)},
        {"AcquisitionStart", typeid(TqGenCommand)}, {"DeviceVendorName", typeid(TqGenString)},
        {"DeviceUserID", typeid(TqGenString)},  {"LUTValueAll", typeid(TqGenRegister)},
    };
    for (const Expect& e : expected) {
        TqGenParameter* p = array.Get(e.name);
        ASSERT_NE(p, nullptr) << e.name;
        EXPECT_EQ(typeid(*p), e.type) << e.name;
    }
    // Every feature: the class of its kind, and the typed getter of that kind (only) gives it.
    for (uint32_t i = 0; i < array.GetCount(); ++i) {
        TqGenParameter* p = array.Get(i);
        TqString name(p->GetEngineNode()->name.c_str());
        TqGenType type = TqGenICamLib::ParameterType(p->GetEngineNode()->kind);
        EXPECT_EQ(array.GetInteger(name) != nullptr, type == TqGenTypeInteger) << name.GetAscii();
        EXPECT_EQ(array.GetFloat(name) != nullptr, type == TqGenTypeFloat) << name.GetAscii();
        EXPECT_EQ(array.GetEnum(name) != nullptr, type == TqGenTypeEnum) << name.GetAscii();
        EXPECT_EQ(array.GetBoolean(name) != nullptr, type == TqGenTypeBoolean) << name.GetAscii();
        EXPECT_EQ(array.GetCommand(name) != nullptr, type == TqGenTypeCommand) << name.GetAscii();
        EXPECT_EQ(array.GetString(name) != nullptr, type == TqGenTypeString) << name.GetAscii();
        EXPECT_EQ(array.GetRegister(name) != nullptr, type == TqGenTypeRegister) << name.GetAscii();
        EXPECT_EQ(dynamic_cast<TqGenInteger*>(p) != nullptr, type == TqGenTypeInteger);
        EXPECT_EQ(dynamic_cast<TqGenRegister*>(p) != nullptr, type == TqGenTypeRegister);
    }
    EXPECT_EQ(static_cast<TqGenParameter*>(array.GetFloat("ExposureTime")), array.Get("ExposureTime"));
}

TEST_F(CameraTest, CategoriesAndTheirFeatures) {
    ASSERT_EQ(array.GetCategoryCount(), 8u);
    EXPECT_EQ(array.GetCategory(0)->GetEngineNode()->name, "Root");
    EXPECT_EQ(array.GetCategory(8), nullptr);
    TqGenCategory* image = array.GetCategory("ImageFormatControl");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->GetEngineNode()->displayName, "Image Format Control");
    EXPECT_EQ(array.GetCategory("Width"), nullptr) << "a feature is no category";
    EXPECT_EQ(array.GetCategory("Nothing"), nullptr);
    std::vector<std::string> children;
    for (Node* child : image->GetEngineNode()->features) children.push_back(child->name);
    EXPECT_EQ(children, (std::vector<std::string>{"SensorWidth", "SensorHeight", "Width", "Height", "OffsetX", "OffsetY",
                                                  "BinningHorizontal", "PixelFormat", "ReverseX", "ReverseY"}));
    EXPECT_EQ(N("Width")->parentCategory, image->GetEngineNode());
    EXPECT_EQ(N("ImageFormatControl")->parentCategory, N("Root"));
    EXPECT_EQ(N("WidthReg")->parentCategory, nullptr);
}

TEST_F(CameraTest, DescriptiveAttributes) {
    Node* width = N("Width");
    EXPECT_EQ(width->nameSpace, TqGenNameSpaceStandard);
    EXPECT_EQ(N("WidthReg")->nameSpace, TqGenNameSpaceCustom);
    EXPECT_EQ(width->toolTip, "Width of the image provided by the device (in pixels).");
    EXPECT_EQ(width->visibility, TqGenVisibilityBeginner);
    EXPECT_EQ(N("LUTValueAll")->visibility, TqGenVisibilityGuru);
    EXPECT_EQ(N("TLParamsLocked")->visibility, TqGenVisibilityInvisible);
    EXPECT_TRUE(width->streamable);
    EXPECT_FALSE(N("TLParamsLocked")->streamable);
    EXPECT_EQ(map->GetRepresentation(width), TqGenRepresentationLinear);
    EXPECT_EQ(map->GetRepresentation(N("ExposureTime")), TqGenRepresentationLogarithmic);
    EXPECT_EQ(map->GetRepresentation(N("OffsetX")), TqGenRepresentationPureNumber);
    EXPECT_EQ(map->GetUnit(N("ExposureTime")), "us");
    EXPECT_EQ(map->GetUnit(N("Gain")), "dB");
    EXPECT_EQ(map->GetUnit(width), "");
    EXPECT_EQ(map->GetDisplayPrecision(N("ExposureTime")), 1);
    EXPECT_EQ(map->GetDisplayPrecision(N("Gain")), 6);
    Node* pixel = N("PixelFormat");
    ASSERT_EQ(pixel->entries.size(), 4u);
    EXPECT_EQ(pixel->entries[1]->name, "Mono16");
    EXPECT_EQ(pixel->entries[1]->displayName, "Mono 16");
    EXPECT_EQ(pixel->entries[1]->enumeration, pixel);
    EXPECT_NE(pixel->entries[1]->entryObject, nullptr);
    EXPECT_EQ(map->FindEntry(pixel, 0x02180014)->name, "RGB8");
    EXPECT_EQ(map->FindEntry(pixel, "Mono8")->intValue, 0x01080001);
}

// ---- values and their validation ----

TEST_F(CameraTest, IntegerWritesAreValidatedAndLandBigEndian) {
    ASSERT_TRUE(array.SetIntegerValue("Width", 640).IsOK());
    EXPECT_EQ(Int("Width"), 640);
    EXPECT_EQ(Int("WidthReg"), 640);
    EXPECT_EQ(PortBytes(*port, 0x100, 4), (Bytes{0, 0, 0x02, 0x80}));
    int64_t min = 0, max = 0;
    ASSERT_TRUE(array.GetIntegerRange("Width", min, max).IsOK());
    EXPECT_EQ(min, 16);
    EXPECT_EQ(max, 2048) << "pMax follows SensorWidth";
    int64_t inc = 0;
    ASSERT_TRUE(map->GetIntegerInc(N("Width"), inc).IsOK());
    EXPECT_EQ(inc, 4);

    struct Refused {
        int64_t value;
        const char* why;
    } refused[] = {{12, "below the minimum 16"}, {2052, "above the maximum 2048"}, {642, "increment 4"},
                   {-4, "below"}, {std::numeric_limits<int64_t>::min(), "below"},
                   {std::numeric_limits<int64_t>::max(), "above"}};
    for (const Refused& r : refused) {
        TqResult result = array.SetIntegerValue("Width", r.value);
        EXPECT_EQ(result.GetCode(), TQ_INVALID_PARAMETER) << r.value;
        EXPECT_NE(Why(result).find("Width"), std::string::npos) << Why(result);
        EXPECT_NE(Why(result).find(r.why), std::string::npos) << Why(result);
        EXPECT_EQ(Int("Width"), 640) << "a refused write changes nothing";
    }
    EXPECT_TRUE(array.SetIntegerValue("Width", 2048).IsOK()) << "the maximum itself";
    EXPECT_TRUE(array.SetIntegerValue("Width", 16).IsOK()) << "the minimum itself";
    EXPECT_TRUE(array.SetIntegerValue("Height", 18).IsOK()) << "Height steps by 2";
    EXPECT_EQ(array.SetIntegerValue("Height", 20 + 1).GetCode(), TQ_INVALID_PARAMETER);
    // The register itself is limited by its size only.
    EXPECT_TRUE(array.SetIntegerValue("WidthReg", 0xFFFFFFFFll).IsOK());
    EXPECT_EQ(array.SetIntegerValue("WidthReg", 0x100000000ll).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(array.SetIntegerValue("WidthReg", -1).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(Int("Width"), 0xFFFFFFFFll) << "reads are not clipped to the limits";
}

TEST_F(CameraTest, SignedLittleEndianRegister) {
    ASSERT_TRUE(array.SetIntegerValue("TemperatureOffset", -2).IsOK());
    EXPECT_EQ(PortBytes(*port, 0x134, 2), (Bytes{0xFE, 0xFF}));
    EXPECT_EQ(PortBytes(*port, 0x136, 1), (Bytes{0})) << "nothing past the register's two bytes";
    EXPECT_EQ(Int("TemperatureOffset"), -2);
    int64_t min = 0, max = 0;
    ASSERT_TRUE(array.GetIntegerRange("TemperatureOffset", min, max).IsOK());
    EXPECT_EQ(min, -32768);
    EXPECT_EQ(max, 32767);
    EXPECT_EQ(array.SetIntegerValue("TemperatureOffset", 32768).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(array.SetIntegerValue("TemperatureOffset", -32768).IsOK());
    EXPECT_EQ(PortBytes(*port, 0x134, 2), (Bytes{0x00, 0x80}));
}

TEST_F(CameraTest, AccessModesRefuseWhatTheyForbid) {
    EXPECT_EQ(Int("SensorWidth"), 2048);
    TqResult r = array.SetIntegerValue("SensorWidth", 1024);
    EXPECT_EQ(r.GetCode(), TQ_STATE_ERROR);
    EXPECT_NE(Why(r).find("read-only"), std::string::npos) << Why(r);
    EXPECT_EQ(Int("SensorWidth"), 2048);
    EXPECT_EQ(map->GetAccessMode(N("SensorWidth")), TqGenAccessModeReadOnly);
    EXPECT_EQ(map->GetAccessMode(N("Width")), TqGenAccessModeReadWrite);

    // Locked while the transport layer streams.
    ASSERT_TRUE(array.SetIntegerValue("Width", 320).IsOK());
    ASSERT_TRUE(array.SetIntegerValue("TLParamsLocked", 1).IsOK());
    EXPECT_TRUE(map->IsLocked(N("Width")));
    EXPECT_EQ(map->GetAccessMode(N("Width")), TqGenAccessModeReadOnly);
    r = array.SetIntegerValue("Width", 640);
    EXPECT_EQ(r.GetCode(), TQ_STATE_ERROR);
    EXPECT_NE(Why(r).find("locked by TLParamsLocked"), std::string::npos) << Why(r);
    EXPECT_EQ(array.SetEnumValue("PixelFormat", "Mono16").GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(array.SetBooleanValue("ChunkModeActive", true).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(Int("Width"), 320) << "still readable";
    EXPECT_TRUE(array.SetIntegerValue("OffsetX", 8).IsOK()) << "not every feature is locked";
    ASSERT_TRUE(array.SetIntegerValue("TLParamsLocked", 0).IsOK());
    EXPECT_TRUE(array.SetIntegerValue("Width", 640).IsOK());

    // Not implemented on this model.
    Node* binning = N("BinningHorizontal");
    EXPECT_EQ(map->GetAccessMode(binning), TqGenAccessModeNotImplemented);
    EXPECT_FALSE(map->IsImplemented(binning));
    int64_t value = 0;
    r = array.GetIntegerValue("BinningHorizontal", value);
    EXPECT_EQ(r.GetCode(), TQ_STATE_ERROR);
    EXPECT_NE(Why(r).find("not implemented"), std::string::npos) << Why(r);
    EXPECT_EQ(array.SetIntegerValue("BinningHorizontal", 2).GetCode(), TQ_STATE_ERROR);

    // Available only once the sensor says so; read-only then.
    double temperature = 0;
    EXPECT_EQ(map->GetAccessMode(N("SensorTemperature")), TqGenAccessModeNotAvailable);
    r = array.GetFloatValue("SensorTemperature", temperature);
    EXPECT_EQ(r.GetCode(), TQ_STATE_ERROR);
    EXPECT_NE(Why(r).find("not available"), std::string::npos) << Why(r);
    ASSERT_TRUE(array.SetIntegerValue("TemperatureSensorPresent", 1).IsOK());
    ASSERT_TRUE(array.GetFloatValue("SensorTemperature", temperature).IsOK());
    EXPECT_EQ(temperature, 45.5);
    EXPECT_EQ(array.SetFloatValue("SensorTemperature", 20).GetCode(), TQ_STATE_ERROR);

    // Write-only command register.
    EXPECT_EQ(map->GetAccessMode(N("AcquisitionCommandReg")), TqGenAccessModeWriteOnly);
    r = array.GetIntegerValue("AcquisitionCommandReg", value);
    EXPECT_EQ(r.GetCode(), TQ_STATE_ERROR);
    EXPECT_NE(Why(r).find("write-only"), std::string::npos) << Why(r);
    ASSERT_TRUE(array.ExecuteCommand("AcquisitionStart").IsOK());
    EXPECT_EQ(PortBytes(*port, 0x124, 4), (Bytes{0, 0, 0, 1}));
    ASSERT_TRUE(array.ExecuteCommand("AcquisitionStop").IsOK());
    EXPECT_EQ(PortBytes(*port, 0x124, 4), (Bytes{0, 0, 0, 2}));
    bool done = false;
    ASSERT_TRUE(map->IsDone(N("AcquisitionStart"), done).IsOK());
    EXPECT_TRUE(done) << "a write-only register cannot say otherwise";
}

TEST_F(CameraTest, EnumerationsAcceptTheirEntriesOnly) {
    ASSERT_TRUE(array.SetEnumValue("PixelFormat", "Mono16").IsOK());
    int64_t value = 0;
    TqString name;
    ASSERT_TRUE(array.GetEnumValue("PixelFormat", value).IsOK());
    EXPECT_EQ(value, 0x01100007);
    ASSERT_TRUE(array.GetEnumValue("PixelFormat", name).IsOK());
    EXPECT_EQ(Text(name), "Mono16");
    EXPECT_EQ(PortBytes(*port, 0x110, 4), (Bytes{0x01, 0x10, 0x00, 0x07}));
    ASSERT_TRUE(array.SetEnumValue("PixelFormat", int64_t{0x02180014}).IsOK());
    ASSERT_TRUE(array.GetEnumValue("PixelFormat", name).IsOK());
    EXPECT_EQ(Text(name), "RGB8");

    TqResult r = array.SetEnumValue("PixelFormat", "Mono12");
    EXPECT_EQ(r.GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_NE(Why(r).find("Mono12"), std::string::npos) << Why(r);
    EXPECT_EQ(array.SetEnumValue("PixelFormat", int64_t{5}).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(array.SetEnumValue("PixelFormat", "mono8").GetCode(), TQ_INVALID_PARAMETER) << "names are exact";
    r = array.SetEnumValue("PixelFormat", "BayerRG8");
    EXPECT_EQ(r.GetCode(), TQ_INVALID_PARAMETER) << "an entry that is not available";
    EXPECT_NE(Why(r).find("not available"), std::string::npos) << Why(r);
    EXPECT_FALSE(map->IsEntryAvailable(map->FindEntry(N("PixelFormat"), "BayerRG8")));
    EXPECT_TRUE(map->IsEntryAvailable(map->FindEntry(N("PixelFormat"), "Mono8")));
    ASSERT_TRUE(array.GetEnumValue("PixelFormat", name).IsOK());
    EXPECT_EQ(Text(name), "RGB8") << "refused writes change nothing";

    // A register value that no entry has: readable as a number, not as a name.
    ASSERT_TRUE(array.SetIntegerValue("PixelFormatReg", 7).IsOK());
    ASSERT_TRUE(array.GetEnumValue("PixelFormat", value).IsOK());
    EXPECT_EQ(value, 7);
    EXPECT_EQ(array.GetEnumValue("PixelFormat", name).GetCode(), TQ_INVALID_DATA_FORMAT);
}

TEST_F(CameraTest, BooleansOnBitsOfOneRegister) {
    ASSERT_TRUE(array.SetBooleanValue("ReverseX", true).IsOK());
    EXPECT_EQ(PortBytes(*port, 0x130, 4), (Bytes{0, 0, 0, 1})) << "bit 31 counted from the most significant";
    ASSERT_TRUE(array.SetBooleanValue("ReverseY", true).IsOK());
    EXPECT_EQ(PortBytes(*port, 0x130, 4), (Bytes{0, 0, 0, 3}));
    ASSERT_TRUE(array.SetBooleanValue("ReverseX", false).IsOK());
    EXPECT_EQ(PortBytes(*port, 0x130, 4), (Bytes{0, 0, 0, 2})) << "the other bit stays";
    bool x = true, y = false;
    ASSERT_TRUE(array.GetBooleanValue("ReverseX", x).IsOK());
    ASSERT_TRUE(array.GetBooleanValue("ReverseY", y).IsOK());
    EXPECT_FALSE(x);
    EXPECT_TRUE(y);
    // Bits written behind the map's back show after the cache is dropped.
    uint8_t all[4] = {0xFF, 0xFF, 0xFF, 0xFD};
    ASSERT_TRUE(port->Write(0x130, all, 4).IsOK());
    ASSERT_TRUE(array.GetBooleanValue("ReverseX", x).IsOK());
    EXPECT_FALSE(x) << "cached";
    ASSERT_TRUE(array.InvalidateCache().IsOK());
    ASSERT_TRUE(array.GetBooleanValue("ReverseX", x).IsOK());
    ASSERT_TRUE(array.GetBooleanValue("ReverseY", y).IsOK());
    EXPECT_TRUE(x);
    EXPECT_FALSE(y);
    int64_t field = 0;
    ASSERT_TRUE(array.GetIntegerRange("ReverseXReg", field, field).IsOK());
    EXPECT_EQ(field, 1) << "a one-bit field holds 0 or 1";
    EXPECT_EQ(array.SetIntegerValue("ReverseXReg", 2).GetCode(), TQ_INVALID_PARAMETER);
}

TEST_F(CameraTest, FloatsAndTheirLimits) {
    ASSERT_TRUE(array.SetFloatValue("ExposureTime", 5000.5).IsOK());
    double value = 0;
    ASSERT_TRUE(array.GetFloatValue("ExposureTime", value).IsOK());
    EXPECT_EQ(value, 5000.5);
    EXPECT_EQ(PortBytes(*port, 0x118, 8), BigEndianDouble(5000.5));
    double min = 0, max = 0;
    ASSERT_TRUE(array.GetFloatRange("ExposureTime", min, max).IsOK());
    EXPECT_EQ(min, 10.0);
    EXPECT_EQ(max, 1000000.0);
    EXPECT_EQ(array.SetFloatValue("ExposureTime", 9.99).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(array.SetFloatValue("ExposureTime", 1e6 + 1).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(array.SetFloatValue("ExposureTime", std::nan("")).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(array.SetFloatValue("ExposureTime", INFINITY).GetCode(), TQ_INVALID_PARAMETER);
    ASSERT_TRUE(array.GetFloatValue("ExposureTime", value).IsOK());
    EXPECT_EQ(value, 5000.5);
    // The register alone spans the doubles.
    ASSERT_TRUE(array.GetFloatRange("ExposureTimeReg", min, max).IsOK());
    EXPECT_EQ(max, std::numeric_limits<double>::max());
}

TEST_F(CameraTest, GainFollowsItsSelector) {
    Node* selector = N("GainSelector");
    Node* gain = N("Gain");
    ASSERT_EQ(selector->selected.size(), 1u);
    EXPECT_EQ(selector->selected[0], gain);
    ASSERT_EQ(gain->selecting.size(), 1u);
    EXPECT_EQ(gain->selecting[0], selector);
    EXPECT_TRUE(N("Width")->selected.empty());

    ASSERT_TRUE(array.SetFloatValue("Gain", 6.0).IsOK());
    ASSERT_TRUE(array.SetEnumValue("GainSelector", "Red").IsOK());
    uint64_t address = 0;
    ASSERT_TRUE(map->GetAddress(N("GainReg"), address).IsOK());
    EXPECT_EQ(address, 0x148u);
    double value = -1;
    ASSERT_TRUE(array.GetFloatValue("Gain", value).IsOK());
    EXPECT_EQ(value, 0.0) << "Red's gain was never set";
    ASSERT_TRUE(array.SetFloatValue("Gain", 12.0).IsOK());
    ASSERT_TRUE(array.SetEnumValue("GainSelector", "Blue").IsOK());
    ASSERT_TRUE(array.SetFloatValue("Gain", 24.0).IsOK());
    EXPECT_EQ(array.SetFloatValue("Gain", 24.5).GetCode(), TQ_INVALID_PARAMETER);
    ASSERT_TRUE(array.SetEnumValue("GainSelector", "All").IsOK());
    ASSERT_TRUE(array.GetFloatValue("Gain", value).IsOK());
    EXPECT_EQ(value, 6.0);
    ASSERT_TRUE(array.SetEnumValue("GainSelector", "Red").IsOK());
    ASSERT_TRUE(array.GetFloatValue("Gain", value).IsOK());
    EXPECT_EQ(value, 12.0);
    EXPECT_EQ(PortBytes(*port, 0x140, 8), BigEndianDouble(6.0));
    EXPECT_EQ(PortBytes(*port, 0x148, 8), BigEndianDouble(12.0));
    EXPECT_EQ(PortBytes(*port, 0x150, 8), BigEndianDouble(0.0));
    EXPECT_EQ(PortBytes(*port, 0x158, 8), BigEndianDouble(24.0));
}

TEST_F(CameraTest, StringsUpToTheirLength) {
    TqString value;
    ASSERT_TRUE(array.GetStringValue("DeviceVendorName", value).IsOK());
    EXPECT_EQ(Text(value), "Kivo");
    EXPECT_EQ(array.SetStringValue("DeviceVendorName", "Other").GetCode(), TQ_STATE_ERROR);

    ASSERT_TRUE(array.GetStringValue("DeviceUserID", value).IsOK());
    EXPECT_EQ(Text(value), "") << "zero-filled memory";
    ASSERT_TRUE(array.SetStringValue("DeviceUserID", "cam-left").IsOK());
    ASSERT_TRUE(array.GetStringValue("DeviceUserID", value).IsOK());
    EXPECT_EQ(Text(value), "cam-left");
    int64_t max = 0;
    ASSERT_TRUE(map->GetStringMaxLength(N("DeviceUserID"), max).IsOK());
    EXPECT_EQ(max, 16);
    TqResult r = array.SetStringValue("DeviceUserID", "seventeen-chars!!");
    EXPECT_EQ(r.GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_NE(Why(r).find("maximum 16"), std::string::npos) << Why(r);
    ASSERT_TRUE(array.GetStringValue("DeviceUserID", value).IsOK());
    EXPECT_EQ(Text(value), "cam-left");
    ASSERT_TRUE(array.SetStringValue("DeviceUserID", "sixteen-chars-ok").IsOK());
    ASSERT_TRUE(array.GetStringValue("DeviceUserID", value).IsOK());
    EXPECT_EQ(Text(value), "sixteen-chars-ok") << "a full register needs no terminator";
    EXPECT_EQ(PortBytes(*port, 0x30, 1), (Bytes{0})) << "nothing past the register";
    ASSERT_TRUE(array.SetStringValue("DeviceUserID", "ab").IsOK());
    EXPECT_EQ(PortBytes(*port, 0x20, 4), (Bytes{'a', 'b', 0, 0})) << "a shorter string clears the rest";
    ASSERT_TRUE(array.SetStringValue("DeviceUserID", L"\u00e9t\u00e9").IsOK());
    ASSERT_TRUE(array.GetStringValue("DeviceUserID", value).IsOK());
    EXPECT_EQ(std::wstring(value.GetUnicode()), L"\u00e9t\u00e9") << "kept as UTF-8";
}

TEST_F(CameraTest, RegisterBlocks) {
    Node* lut = N("LUTValueAll");
    int64_t length = 0;
    ASSERT_TRUE(map->GetRegisterLength(lut, length).IsOK());
    EXPECT_EQ(length, 16);
    uint8_t data[16];
    for (int i = 0; i < 16; ++i) data[i] = static_cast<uint8_t>(i * 3);
    ASSERT_TRUE(map->SetRegister(lut, data, 16).IsOK());
    EXPECT_EQ(PortBytes(*port, 0x200, 16), Bytes(data, data + 16));
    uint8_t back[16] = {};
    ASSERT_TRUE(map->GetRegister(lut, back, 16).IsOK());
    EXPECT_EQ(std::memcmp(back, data, 16), 0);
    uint8_t part[4] = {};
    ASSERT_TRUE(map->GetRegister(lut, part, 4).IsOK()) << "a partial read";
    EXPECT_EQ(std::memcmp(part, data, 4), 0);
    EXPECT_EQ(map->GetRegister(lut, back, 17).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(map->GetRegister(lut, back, -1).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(map->GetRegister(lut, nullptr, 4).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(map->SetRegister(lut, nullptr, 4).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(map->SetRegister(lut, nullptr, 0).IsOK());
    EXPECT_EQ(map->GetRegister(N("Width"), back, 4).GetCode(), TQ_NOT_FOUND);
}

TEST_F(CameraTest, AbsentFeaturesAndOtherKindsAreNotFound) {
    int64_t i = 0;
    double f = 0;
    bool b = false;
    TqString s;
    EXPECT_EQ(array.GetIntegerValue("NoSuch", i).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.SetIntegerValue("NoSuch", 1).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.GetIntegerValue("ExposureTime", i).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.GetIntegerValue("PixelFormat", i).GetCode(), TQ_NOT_FOUND) << "an enumeration is no integer";
    EXPECT_EQ(array.GetFloatValue("Width", f).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.SetFloatValue("Width", 1).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.GetEnumValue("Width", s).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.GetEnumValue("Width", i).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.SetEnumValue("Width", "x").GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.SetEnumValue("Width", int64_t{1}).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.GetBooleanValue("Width", b).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.SetBooleanValue("Width", true).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.GetStringValue("Width", s).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.SetStringValue("Width", "x").GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.ExecuteCommand("Width").GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.ExecuteCommand("Root").GetCode(), TQ_NOT_FOUND);
    int64_t lo = 0, hi = 0;
    EXPECT_EQ(array.GetIntegerRange("PixelFormat", lo, hi).GetCode(), TQ_NOT_FOUND);
    double flo = 0, fhi = 0;
    EXPECT_EQ(array.GetFloatRange("Width", flo, fhi).GetCode(), TQ_NOT_FOUND);
    TqResult r = array.GetIntegerValue("NoSuch", i);
    EXPECT_NE(Why(r).find("NoSuch"), std::string::npos);
}

TEST(TqGenParameterArrayTest, AnEmptyArrayHasNothing) {
    TqGenParameterArray array;
    EXPECT_EQ(array.GetCount(), 0u);
    EXPECT_EQ(array.GetCategoryCount(), 0u);
    EXPECT_EQ(array.Get(0u), nullptr);
    EXPECT_EQ(array.Get("Width"), nullptr);
    EXPECT_EQ(array.GetCategory(0u), nullptr);
    EXPECT_EQ(array.GetNodeMap(), nullptr);
    EXPECT_EQ(array.GetAccessMode(), TqGenAccessModeNotAvailable);
    EXPECT_EQ(array.GetInteger("Width"), nullptr);
    int64_t i = 0;
    EXPECT_EQ(array.GetIntegerValue("Width", i).GetCode(), TQ_NOT_FOUND);
    EXPECT_EQ(array.ExecuteCommand("Start").GetCode(), TQ_NOT_FOUND);
    EXPECT_TRUE(array.InvalidateCache().IsOK());
    EXPECT_TRUE(array.Poll().IsOK());
    EXPECT_TRUE(array.DetachDataChunks().IsOK());
    uint8_t data[8] = {};
    EXPECT_EQ(array.AttachDataChunks(data, 0).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(array.AttachDataChunks(nullptr, 8).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(array.AttachDataChunks(data, 8).IsOK()) << "one empty chunk of ID 0";
    EXPECT_EQ(array.AttachDataChunks(data, 7).GetCode(), TQ_INVALID_DATA_FORMAT);
}

TEST(TqGenParameterArrayTest, MemoryPortBounds) {
    auto port = TqGenParameterArray::MemoryPort(16);
    uint8_t bytes[17] = {};
    EXPECT_TRUE(port->Read(0, bytes, 16).IsOK());
    EXPECT_TRUE(port->Read(16, bytes, 0).IsOK());
    EXPECT_EQ(port->Read(1, bytes, 16).GetCode(), TQ_ERR_OVERFLOW);
    EXPECT_EQ(port->Read(17, bytes, 0).GetCode(), TQ_ERR_OVERFLOW);
    EXPECT_EQ(port->Write(0xFFFFFFFFFFFFFFFFull, bytes, 2).GetCode(), TQ_ERR_OVERFLOW) << "no wrap-around";
    EXPECT_EQ(port->Read(0, nullptr, 1).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(TqGenParameterArray::MemoryPort(uint64_t{1} << 40), nullptr) << "refused, not attempted";
    auto empty = TqGenParameterArray::MemoryPort(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->Read(0, bytes, 1).GetCode(), TQ_ERR_OVERFLOW);
}

// ---- chunk data ----

TEST_F(CameraTest, ChunkFeaturesReadTheAttachedChunk) {
    double value = 0;
    TqResult r = array.GetFloatValue("ChunkExposureTime", value);
    EXPECT_EQ(r.GetCode(), TQ_STATE_ERROR);
    EXPECT_NE(Why(r).find("no chunk data attached"), std::string::npos) << Why(r);

    Bytes layout = Concat({Chunk(1, Bytes(64, 0xAA)), Chunk(0x1001, BigEndianDouble(1234.5)), Chunk(7, {1, 2, 3, 4})});
    ASSERT_TRUE(array.AttachDataChunks(layout.data(), static_cast<uint32_t>(layout.size())).IsOK());
    ASSERT_TRUE(array.GetFloatValue("ChunkExposureTime", value).IsOK());
    EXPECT_EQ(value, 1234.5);
    EXPECT_EQ(map->GetAccessMode(N("ChunkExposureTime")), TqGenAccessModeReadOnly);
    EXPECT_EQ(array.SetFloatValue("ChunkExposureTime", 1.0).GetCode(), TQ_STATE_ERROR);
    // Read in place: a change of the memory shows at once.
    Bytes changed = BigEndianDouble(99.25);
    std::copy(changed.begin(), changed.end(), layout.begin() + 72);
    ASSERT_TRUE(array.GetFloatValue("ChunkExposureTime", value).IsOK());
    EXPECT_EQ(value, 99.25);

    ASSERT_TRUE(array.DetachDataChunks().IsOK());
    EXPECT_EQ(array.GetFloatValue("ChunkExposureTime", value).GetCode(), TQ_STATE_ERROR);

    Bytes without = Chunk(5, BigEndianDouble(1.0));
    ASSERT_TRUE(array.AttachDataChunks(without.data(), static_cast<uint32_t>(without.size())).IsOK());
    r = array.GetFloatValue("ChunkExposureTime", value);
    EXPECT_EQ(r.GetCode(), TQ_STATE_ERROR);
    EXPECT_NE(Why(r).find("no chunk 0x1001"), std::string::npos) << Why(r);

    // A chunk shorter than the feature's register: refused, never read past.
    Bytes shortChunk = Chunk(0x1001, {1, 2, 3, 4});
    std::unique_ptr<uint8_t[]> exact(new uint8_t[shortChunk.size()]);
    std::memcpy(exact.get(), shortChunk.data(), shortChunk.size());
    ASSERT_TRUE(array.AttachDataChunks(exact.get(), static_cast<uint32_t>(shortChunk.size())).IsOK());
    EXPECT_EQ(array.GetFloatValue("ChunkExposureTime", value).GetCode(), TQ_ERR_OVERFLOW);
    array.DetachDataChunks();
}

TEST_F(CameraTest, ChunkLayoutsThatDoNotHoldTogether) {
    Bytes good = Chunk(0x1001, BigEndianDouble(3.0));
    ASSERT_TRUE(array.AttachDataChunks(good.data(), static_cast<uint32_t>(good.size())).IsOK());
    std::vector<Bytes> bad = {
        Bytes(7, 0),                                           // shorter than a trailer
        Concat({Bytes{9}, good}),                              // a stray byte before the first chunk
        Concat({BigEndian32(0x1001), BigEndian32(9)}),         // length past the start
        Concat({Bytes(4, 0), BigEndian32(0x1001), BigEndian32(0xFFFFFFFF)}),
        Concat({good, Bytes{0, 0, 0}}),                        // a cut trailer at the end
    };
    for (const Bytes& layout : bad) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[layout.size()]);
        std::memcpy(exact.get(), layout.data(), layout.size());
        EXPECT_EQ(array.AttachDataChunks(exact.get(), static_cast<uint32_t>(layout.size())).GetCode(), TQ_INVALID_DATA_FORMAT);
    }
    double value = 0;
    ASSERT_TRUE(array.GetFloatValue("ChunkExposureTime", value).IsOK()) << "a refused layout keeps the one attached";
    EXPECT_EQ(value, 3.0);

    // Random layouts, damaged or not, read only inside the memory given (the sanitizer build checks).
    std::mt19937 random(7);
    for (int round = 0; round < 400; ++round) {
        Bytes layout;
        for (uint32_t n = random() % 4; n > 0; --n) {
            Bytes data(random() % 12, static_cast<uint8_t>(random()));
            layout = Concat({layout, Chunk(random() % 2 ? 0x1001 : random() % 3, data)});
        }
        if (!layout.empty() && random() % 2) layout[random() % layout.size()] = static_cast<uint8_t>(random());
        if (layout.empty()) continue;
        std::unique_ptr<uint8_t[]> exact(new uint8_t[layout.size()]);
        std::memcpy(exact.get(), layout.data(), layout.size());
        TqResult r = array.AttachDataChunks(exact.get(), static_cast<uint32_t>(layout.size()));
        ASSERT_TRUE(r.IsOK() || r.GetCode() == TQ_INVALID_DATA_FORMAT);
        array.GetFloatValue("ChunkExposureTime", value);
        array.DetachDataChunks();
    }
}

// ---- caches, polling, write notifications ----

TEST(TqGenNodeMapTest, CachesFollowCachableAndPolling) {
    std::string xml = Description(R"(
  <IntReg Name="Polled"><Address>0</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><PollingTime>40</PollingTime></IntReg>
  <IntReg Name="Kept"><Address>4</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
  <IntReg Name="Uncached"><Address>8</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Cachable>NoCache</Cachable></IntReg>
  <IntReg Name="Around"><Address>12</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Cachable>WriteAround</Cachable></IntReg>
  <IntReg Name="Wide"><Address>0</Address><Length>8</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>)");
    auto port = std::make_shared<CountingPort>(64);
    TqGenParameterArray array;
    ASSERT_TRUE(Load(array, xml, port).IsOK());
    NodeMap* map = reinterpret_cast<NodeMap*>(array.GetNodeMap());
    int64_t v = 0;
    auto reads = [&](const char* aName) {
        int before = port->reads;
        EXPECT_TRUE(array.GetIntegerValue(aName, v).IsOK()) << aName;
        return port->reads - before;
    };
    EXPECT_EQ(reads("Polled"), 1);
    EXPECT_EQ(reads("Polled"), 0);
    EXPECT_EQ(reads("Kept"), 1);
    EXPECT_EQ(reads("Kept"), 0);
    EXPECT_TRUE(map->IsValueCached(map->Find("Kept")));
    EXPECT_EQ(reads("Uncached"), 1);
    EXPECT_EQ(reads("Uncached"), 1);
    EXPECT_FALSE(map->IsValueCached(map->Find("Uncached")));
    array.Poll();
    EXPECT_EQ(reads("Polled"), 0) << "its polling time has not run out";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    array.Poll();
    EXPECT_EQ(reads("Polled"), 1);
    EXPECT_EQ(reads("Kept"), 0) << "no polling time: kept";
    array.InvalidateCache();
    EXPECT_EQ(reads("Kept"), 1);

    // Writes: through the cache, around it, and the overlapping register drops its copy.
    EXPECT_EQ(reads("Wide"), 1);
    ASSERT_TRUE(array.SetIntegerValue("Kept", 5).IsOK());
    EXPECT_EQ(reads("Kept"), 0) << "written through";
    EXPECT_EQ(reads("Wide"), 1) << "overlaps the written bytes";
    EXPECT_EQ(v, 5ll << 32) << "little-endian: Kept is the upper half";
    ASSERT_TRUE(array.SetIntegerValue("Around", 9).IsOK());
    EXPECT_EQ(reads("Around"), 1) << "written around";
    EXPECT_EQ(v, 9);
}

TEST_F(CameraTest, WritesTellTheObserverWhatChanged) {
    std::vector<std::string> heard;
    map->SetWriteObserver([&](Node* aNode) { heard.push_back(aNode->name); });
    auto heardOf = [&](const char* aName) { return std::find(heard.begin(), heard.end(), aName) != heard.end(); };
    ASSERT_TRUE(array.SetIntegerValue("Width", 64).IsOK());
    EXPECT_TRUE(heardOf("WidthReg"));
    EXPECT_TRUE(heardOf("Width"));
    EXPECT_FALSE(heardOf("Height"));
    heard.clear();
    ASSERT_TRUE(array.SetEnumValue("GainSelector", "Green").IsOK());
    EXPECT_TRUE(heardOf("GainSelector"));
    EXPECT_TRUE(heardOf("Gain")) << "selected by it";
    EXPECT_TRUE(heardOf("GainReg")) << "its address reads the selector";
    heard.clear();
    ASSERT_TRUE(array.SetIntegerValue("TLParamsLocked", 1).IsOK());
    EXPECT_TRUE(heardOf("Width")) << "its access mode reads the lock";
    heard.clear();
    EXPECT_FALSE(array.SetIntegerValue("Width", 64).IsOK());
    EXPECT_TRUE(heard.empty()) << "a refused write changes nothing";
    map->SetWriteObserver(nullptr);
}

// ---- state stack ----

TEST_F(CameraTest, StateStackGivesBackTheLastChangeFirst) {
    ASSERT_TRUE(array.SetIntegerValue("Width", 320).IsOK());
    ASSERT_TRUE(array.SetEnumValue("PixelFormat", "Mono8").IsOK());
    ASSERT_TRUE(array.SetFloatValue("ExposureTime", 100.0).IsOK());
    ASSERT_TRUE(array.SetStringValue("DeviceUserID", "before").IsOK());
    long stacks = TqLiveObjects::Count("TqGenStateStack");
    {
        TqGenStateStack stack(&array);
        EXPECT_EQ(TqLiveObjects::Count("TqGenStateStack"), stacks + 1);
        EXPECT_TRUE(stack.SetIntegerValue("Width", 640).IsOK());
        EXPECT_TRUE(stack.SetIntegerValue("Width", 800).IsOK());
        EXPECT_TRUE(stack.SetEnumValue("PixelFormat", "Mono16").IsOK());
        EXPECT_TRUE(stack.SetEnumValue("PixelFormat", int64_t{0x02180014}).IsOK());
        EXPECT_TRUE(stack.SetFloatValue("ExposureTime", 2500.0).IsOK());
        EXPECT_TRUE(stack.SetBooleanValue("ReverseX", true).IsOK());
        EXPECT_TRUE(stack.SetStringValue("DeviceUserID", "during").IsOK());
        // The lock comes last, so it must be given back first for Width and PixelFormat to be
        // restored at all.
        EXPECT_TRUE(stack.SetIntegerValue("TLParamsLocked", 1).IsOK());

        TqResult r = stack.SetIntegerValue("Width", 15);
        EXPECT_EQ(r.GetCode(), TQ_GENERIC_ERROR);
        EXPECT_NE(Why(r).find("STATE_ERROR"), std::string::npos) << Why(r);
        r = stack.SetIntegerValue("NoSuch", 1);
        EXPECT_EQ(r.GetCode(), TQ_NOT_FOUND);
        r = stack.SetFloatValue("ExposureTime", 1.0);
        EXPECT_EQ(r.GetCode(), TQ_GENERIC_ERROR);
        EXPECT_NE(Why(r).find("INVALID_PARAMETER"), std::string::npos) << Why(r);
        EXPECT_EQ(stack.SetEnumValue("Width", "Mono8").GetCode(), TQ_NOT_FOUND);
        EXPECT_EQ(Int("Width"), 800);
    }
    EXPECT_EQ(TqLiveObjects::Count("TqGenStateStack"), stacks);
    EXPECT_EQ(Int("TLParamsLocked"), 0);
    EXPECT_EQ(Int("Width"), 320);
    TqString name;
    ASSERT_TRUE(array.GetEnumValue("PixelFormat", name).IsOK());
    EXPECT_EQ(Text(name), "Mono8");
    double exposure = 0;
    ASSERT_TRUE(array.GetFloatValue("ExposureTime", exposure).IsOK());
    EXPECT_EQ(exposure, 100.0);
    bool reverse = true;
    ASSERT_TRUE(array.GetBooleanValue("ReverseX", reverse).IsOK());
    EXPECT_FALSE(reverse);
    ASSERT_TRUE(array.GetStringValue("DeviceUserID", name).IsOK());
    EXPECT_EQ(Text(name), "before");
}

TEST(TqGenStateStackTest, WithoutAnArray) {
    TqGenStateStack stack(nullptr);
    EXPECT_EQ(stack.SetIntegerValue("Width", 1).GetCode(), TQ_GENERIC_ERROR);
    EXPECT_EQ(stack.SetStringValue("Name", "x").GetCode(), TQ_GENERIC_ERROR);
}

// ---- lifetime ----

TEST(TqGenParameterArrayTest, FrontObjectsLiveAsLongAsTheirArray) {
    Counts before = Counts::Now();
    {
        TqGenParameterArray array;
        ASSERT_TRUE(Load(array, CameraXml(), TqGenParameterArray::MemoryPort(4096)).IsOK());
        Counts loaded = Counts::Now();
        EXPECT_EQ(loaded.parameters - before.parameters, array.GetCount());
        EXPECT_EQ(loaded.categories - before.categories, 8);
        EXPECT_EQ(loaded.entries - before.entries, 4 + 3 + 4) << "PixelFormat, AcquisitionMode, GainSelector";
        EXPECT_EQ(loaded.maps - before.maps, 1);

        // A failed load leaves the array as it was; a good one replaces everything.
        TqGenParameter* width = array.Get("Width");
        ASSERT_TRUE(array.SetIntegerValue("TLParamsLocked", 1).IsOK());
        std::string broken = Description("<Integer Name=\"A\"><pValue>Missing</pValue></Integer>");
        EXPECT_EQ(Load(array, broken, TqGenParameterArray::MemoryPort(16)).GetCode(), TQ_GENICAM_XML_ERROR);
        EXPECT_TRUE(Counts::Now() == loaded);
        EXPECT_EQ(array.Get("Width"), width);
        int64_t locked = 0;
        ASSERT_TRUE(array.GetIntegerValue("TLParamsLocked", locked).IsOK());
        EXPECT_EQ(locked, 1);
        ASSERT_TRUE(Load(array, CameraXml(), TqGenParameterArray::MemoryPort(4096)).IsOK());
        EXPECT_TRUE(Counts::Now() == loaded);
        ASSERT_TRUE(array.GetIntegerValue("TLParamsLocked", locked).IsOK());
        EXPECT_EQ(locked, 0) << "a new map";
    }
    EXPECT_TRUE(Counts::Now() == before);
}

// ---- descriptions that do not hold together ----

namespace {

struct Broken {
    const char* label;
    std::string xml;
    const char* expected;   // part of the description
};

std::string Chain(int aLength) {
    std::string nodes;
    for (int i = 0; i < aLength; ++i)
        nodes += "<Integer Name=\"C" + std::to_string(i) + "\"><pValue>C" + std::to_string(i + 1) + "</pValue></Integer>\n";
    nodes += "<Integer Name=\"C" + std::to_string(aLength) + "\"><Value>7</Value></Integer>\n";
    return nodes;
}

std::string NestedGroups(int aDepth) {
    std::string open, close;
    for (int i = 0; i < aDepth; ++i) {
        open += "<Group Comment=\"g\">";
        close += "</Group>";
    }
    return open + "<Integer Name=\"Deep\"><Value>1</Value></Integer>" + close;
}

std::vector<Broken> BrokenCorpus() {
    const std::string reg = "<Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>";
    return {
        {"empty", "", "not well-formed"},
        {"unclosed", "<RegisterDescription><Integer Name=\"A\"><Value>1</Value>", "not well-formed"},
        {"garbage", "\x01\x02\xff\xfe<<<>>>", "not well-formed"},
        {"other root", "<Description><Integer Name=\"A\"><Value>1</Value></Integer></Description>", "root element"},
        {"unknown kind", Description("<IntKey Name=\"Key\"><Value>1</Value></IntKey>"), "IntKey 'Key': node kind not supported"},
        {"unknown kind inside", Description("<IntReg Name=\"R\"><Address>0</Address><ConfRom Name=\"Rom\"/>" + reg + "</IntReg>"),
         "ConfRom 'Rom'"},
        {"converter", Description("<Converter Name=\"Conv\"><FormulaTo>FROM</FormulaTo></Converter>"), "Converter 'Conv': no pValue"},
        {"dangling pValue", Description("<Integer Name=\"A\"><pValue>Missing</pValue></Integer>"),
         "Integer 'A': pValue 'Missing' names no node"},
        {"dangling pFeature", Description("<Category Name=\"Root\"><pFeature>Gone</pFeature></Category>"),
         "Category 'Root': pFeature 'Gone' names no node"},
        {"dangling pPort", Description("<IntReg Name=\"R\"><Address>0</Address><Length>4</Length><pPort>Elsewhere</pPort></IntReg>"),
         "IntReg 'R': pPort 'Elsewhere'"},
        {"dangling entry state", Description("<Enumeration Name=\"E\"><EnumEntry Name=\"On\"><pIsAvailable>Nope</pIsAvailable><Value>1</Value></EnumEntry><Value>1</Value></Enumeration>"),
         "EnumEntry 'E::On': pIsAvailable 'Nope'"},
        {"pValue of the wrong kind", Description("<Integer Name=\"A\"><pValue>S</pValue></Integer><String Name=\"S\"><Value>1</Value></String>"),
         "Integer 'A': pValue names String node 'S', not an integer or float node"},
        {"boolean over a string", Description("<Boolean Name=\"B\"><pValue>S</pValue></Boolean><String Name=\"S\"><Value>1</Value></String>"),
         "Boolean 'B': pValue names String node 'S', not a node with an integer value"},
        {"pPort to a feature", Description("<IntReg Name=\"R\"><Address>0</Address><Length>4</Length><pPort>A</pPort></IntReg><Integer Name=\"A\"><Value>1</Value></Integer>"),
         "IntReg 'R': pPort names Integer node 'A', not a Port"},
        {"self reference", Description("<Integer Name=\"A\"><pIsAvailable>A</pIsAvailable><Value>1</Value></Integer>"),
         "circular reference: A -> A"},
        {"pValue loop", Description("<Integer Name=\"A\"><pValue>B</pValue></Integer><Integer Name=\"B\"><pValue>C</pValue></Integer><Integer Name=\"C\"><pValue>A</pValue></Integer>"),
         "circular reference"},
        {"loop below a limit", Description("<Integer Name=\"A\"><Value>1</Value><pMax>B</pMax></Integer><Integer Name=\"B\"><pValue>C</pValue></Integer>"
                                           "<IntSwissKnife Name=\"C\"><pVariable Name=\"X\">B</pVariable><Formula>X</Formula></IntSwissKnife>"),
         "circular reference: B -> C -> B"},
        {"loop through a length", Description("<StringReg Name=\"S\"><Address>0</Address><pLength>L</pLength></StringReg>"
                                              "<IntSwissKnife Name=\"L\"><pVariable Name=\"X\">S2</pVariable><Formula>X</Formula></IntSwissKnife>"
                                              "<Integer Name=\"S2\"><pValue>R</pValue></Integer><IntReg Name=\"R\"><pAddress>L</pAddress><Length>4</Length></IntReg>"),
         "circular reference"},
        {"pLength of an IntReg", Description("<IntReg Name=\"R\"><Address>0</Address><pLength>L</pLength></IntReg><Integer Name=\"L\"><Value>4</Value></Integer>"),
         "IntReg 'R': pLength, but the length of an IntReg is a constant Length"},
        {"dangling pLength", Description("<Register Name=\"R\"><Address>0</Address><pLength>Nowhere</pLength></Register>"),
         "Register 'R': pLength 'Nowhere' names no node"},
        {"pLength of a string", Description("<Register Name=\"R\"><Address>0</Address><pLength>S</pLength></Register><String Name=\"S\"><Value>4</Value></String>"),
         "Register 'R': pLength names String node 'S', not a node with an integer value"},
        {"address below the port", Description("<IntReg Name=\"Low\"><Address>0x10</Address><Address>-0x20</Address>" + reg + "</IntReg>"),
         "IntReg 'Low': Address -16 lies below the port's first byte"},
        {"address not a number", Description("<IntReg Name=\"R\"><Address>-</Address>" + reg + "</IntReg>"), "IntReg 'R': Address '-' is not a 64-bit address"},
        {"address sum below -2^64", Description("<IntReg Name=\"R\"><Address>-0xFFFFFFFFFFFFFFFF</Address><Address>-2</Address><pAddress>A</pAddress>" + reg +
                                               "</IntReg><Integer Name=\"A\"><Value>1</Value></Integer>"),
         "add up below -2^64"},
        {"selecting a port", Description("<Integer Name=\"A\"><Value>1</Value><pSelected>Device</pSelected></Integer>"),
         "Integer 'A': pSelected names Port node 'Device', not a feature or category"},
        {"loop through an address", Description("<IntReg Name=\"R\"><pAddress>I</pAddress>" + reg + "</IntReg><Integer Name=\"I\"><pValue>R</pValue></Integer>"),
         "circular reference"},
        {"loop through an entry", Description("<Enumeration Name=\"E\"><EnumEntry Name=\"X\"><pIsAvailable>E</pIsAvailable><Value>1</Value></EnumEntry><Value>1</Value></Enumeration>"),
         "circular reference: E -> E"},
        {"category inside itself", Description("<Category Name=\"A\"><pFeature>B</pFeature></Category><Category Name=\"B\"><pFeature>A</pFeature></Category>"),
         "category inside itself"},
        {"chain too long", Description(Chain(NodeMap::kMaxReferenceChain + 1)), "chain of references longer than"},
        {"absurd length", Description("<Register Name=\"Big\"><Address>0</Address><Length>1099511627776</Length><AccessMode>RW</AccessMode></Register>"),
         "Register 'Big': Length 1099511627776 is outside"},
        {"negative length", Description("<StringReg Name=\"S\"><Address>0</Address><Length>-4</Length></StringReg>"), "Length -4"},
        {"IntReg of 9 bytes", Description("<IntReg Name=\"R\"><Address>0</Address><Length>9</Length></IntReg>"), "outside 1 to 8"},
        {"FloatReg of 2 bytes", Description("<FloatReg Name=\"F\"><Address>0</Address><Length>2</Length></FloatReg>"), "neither 4 nor 8"},
        {"beyond the port", Description("<IntReg Name=\"Far\"><Address>0x10000</Address>" + reg + "</IntReg>"),
         "IntReg 'Far': bytes 0x10000 + 4 lie beyond the port's 4096 bytes"},
        {"reaching past the port", Description("<Register Name=\"Edge\"><Address>4090</Address><Length>8</Length></Register>"), "beyond the port"},
        {"address sum past 2^64", Description("<IntReg Name=\"R\"><Address>0xFFFFFFFFFFFFFFFF</Address><Address>2</Address>" + reg + "</IntReg>"),
         "add up past 2^64"},
        {"no length", Description("<IntReg Name=\"R\"><Address>0</Address></IntReg>"), "IntReg 'R': no Length"},
        {"no address", Description("<IntReg Name=\"R\"><Length>4</Length></IntReg>"), "no Address"},
        {"bits outside", Description("<MaskedIntReg Name=\"M\"><Address>0</Address><Length>2</Length><LSB>16</LSB><MSB>3</MSB></MaskedIntReg>"),
         "do not lie in a register of 2 bytes"},
        {"no bits", Description("<MaskedIntReg Name=\"M\"><Address>0</Address><Length>2</Length></MaskedIntReg>"), "neither LSB/MSB nor Bit"},
        {"no value", Description("<Integer Name=\"A\"><Min>0</Min></Integer>"), "Integer 'A': neither Value nor pValue"},
        {"no command value", Description("<Command Name=\"Go\"><Value>0</Value></Command>"), "neither CommandValue"},
        {"not a number", Description("<Integer Name=\"A\"><Value>12abc</Value></Integer>"), "Value '12abc' is not a 64-bit integer"},
        {"too big a number", Description("<Integer Name=\"A\"><Value>99999999999999999999</Value></Integer>"), "not a 64-bit integer"},
        {"not a float", Description("<Float Name=\"F\"><Value>nan</Value></Float>"), "Float 'F': Value 'nan' is not a number"},
        {"unknown access mode", Description("<IntReg Name=\"R\"><Address>0</Address><Length>4</Length><AccessMode>XX</AccessMode></IntReg>"),
         "AccessMode 'XX'"},
        {"unknown visibility", Description("<Integer Name=\"A\"><Visibility>Wizard</Visibility><Value>1</Value></Integer>"), "Visibility 'Wizard'"},
        {"duplicate name", Description("<Integer Name=\"A\"><Value>1</Value></Integer><Float Name=\"A\"><Value>1</Value></Float>"),
         "Float 'A': a second node of that name"},
        {"nameless", Description("<Integer><Value>1</Value></Integer>"), "Integer without a Name"},
        {"no entries", Description("<Enumeration Name=\"E\"><Value>0</Value></Enumeration>"), "Enumeration 'E': no EnumEntry"},
        {"entry without value", Description("<Enumeration Name=\"E\"><EnumEntry Name=\"X\"/><Value>0</Value></Enumeration>"), "EnumEntry 'E::X': no Value"},
        {"two entries of a name", Description("<Enumeration Name=\"E\"><EnumEntry Name=\"X\"><Value>1</Value></EnumEntry><EnumEntry Name=\"X\"><Value>2</Value></EnumEntry><Value>1</Value></Enumeration>"),
         "two entries named 'X'"},
        {"chunk id", Description("<Port Name=\"C\"><ChunkID>xyz</ChunkID></Port>"), "ChunkID 'xyz'"},
        {"min above max", Description("<Integer Name=\"A\"><Value>1</Value><Min>5</Min><Max>4</Max></Integer>"), "Min 5 is above Max 4"},
        {"zero increment", Description("<Integer Name=\"A\"><Value>1</Value><Inc>0</Inc></Integer>"), "Inc 0 is not positive"},
        {"values per index", Description("<Integer Name=\"T\"><pIndex>S</pIndex><ValueIndexed Index=\"1\">5</ValueIndexed></Integer><Integer Name=\"S\"><Value>1</Value></Integer>"),
         "Integer 'T': pIndex without ValueDefault"},
        {"groups too deep", Description(NestedGroups(40)), "Groups nested deeper"},
    };
}

}  // namespace

TEST(TqGenNodeMapTest, BrokenDescriptionsFailCleanlyNamingTheNode) {
    TqGenParameterArray array;
    ASSERT_TRUE(Load(array, CameraXml(), TqGenParameterArray::MemoryPort(4096)).IsOK());
    uint32_t count = array.GetCount();
    Counts before = Counts::Now();
    for (const Broken& broken : BrokenCorpus()) {
        TqResult r = Load(array, broken.xml, TqGenParameterArray::MemoryPort(4096));
        EXPECT_EQ(r.GetCode(), TQ_GENICAM_XML_ERROR) << broken.label;
        EXPECT_NE(Why(r).find(broken.expected), std::string::npos) << broken.label << ": " << Why(r);
        EXPECT_EQ(array.GetCount(), count) << broken.label;
    }
    EXPECT_TRUE(Counts::Now() == before);
    EXPECT_EQ(array.Load(nullptr, 10, TqGenParameterArray::MemoryPort(16)).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_EQ(array.Load(nullptr, 0, TqGenParameterArray::MemoryPort(16)).GetCode(), TQ_GENICAM_XML_ERROR);
}

TEST(TqGenNodeMapTest, TheLongestAllowedChainsEvaluate) {
    // Chains of each reference kind at the load's limit stay inside the evaluation depth.
    const int n = NodeMap::kMaxReferenceChain - 2;
    std::string values = Chain(n);
    std::string states, limits, addresses;
    for (int i = 0; i < n; ++i) {
        std::string me = std::to_string(i), next = std::to_string(i + 1);
        states += "<Integer Name=\"S" + me + "\"><pIsAvailable>S" + next + "</pIsAvailable><Value>1</Value></Integer>\n";
        limits += "<Integer Name=\"L" + me + "\"><pValue>L" + next + "</pValue></Integer>\n";
        addresses += "<IntReg Name=\"A" + me + "\"><pAddress>A" + next + "</pAddress><Length>1</Length><AccessMode>RO</AccessMode></IntReg>\n";
    }
    states += "<Integer Name=\"S" + std::to_string(n) + "\"><Value>1</Value></Integer>\n";
    limits += "<Integer Name=\"L" + std::to_string(n) + "\"><Value>1</Value><Max>5</Max></Integer>\n";
    addresses += "<IntReg Name=\"A" + std::to_string(n) + "\"><Address>0</Address><Length>1</Length><AccessMode>RO</AccessMode></IntReg>\n";
    TqGenParameterArray array;
    TqResult r = Load(array, Description(values + states + limits + addresses), TqGenParameterArray::MemoryPort(16));
    ASSERT_TRUE(r.IsOK()) << Why(r);
    int64_t value = 0;
    r = array.GetIntegerValue("C0", value);
    EXPECT_TRUE(r.IsOK()) << Why(r);
    EXPECT_EQ(value, 7);
    r = array.GetIntegerValue("S0", value);
    EXPECT_TRUE(r.IsOK()) << Why(r);
    r = array.SetIntegerValue("L0", 5);
    EXPECT_TRUE(r.IsOK()) << Why(r);
    EXPECT_EQ(array.SetIntegerValue("L0", 6).GetCode(), TQ_INVALID_PARAMETER);
    r = array.GetIntegerValue("A0", value);
    EXPECT_TRUE(r.IsOK()) << Why(r);
    ASSERT_TRUE(array.SetIntegerValue(TqString(("S" + std::to_string(n)).c_str()), 0).IsOK());
    EXPECT_EQ(array.GetIntegerValue("S0", value).GetCode(), TQ_STATE_ERROR) << "unavailable through the whole chain";
}

TEST(TqGenNodeMapTest, NodesReferencedTwicePerStepAreEvaluatedOnce) {
    // Each node reads the next one twice (as state and as value, or as two address terms): evaluated
    // path by path, a chain of 90 would take 2^90 steps.
    const int n = 90;
    std::string nodes;
    for (int i = 0; i < n; ++i) {
        std::string me = std::to_string(i), next = std::to_string(i + 1);
        nodes += "<Integer Name=\"D" + me + "\"><pIsAvailable>D" + next + "</pIsAvailable><pValue>D" + next + "</pValue></Integer>\n";
        nodes += "<IntReg Name=\"R" + me + "\"><pAddress>R" + next + "</pAddress><pAddress>R" + next +
                 "</pAddress><Length>1</Length><AccessMode>RW</AccessMode><Cachable>NoCache</Cachable></IntReg>\n";
    }
    nodes += "<Integer Name=\"D" + std::to_string(n) + "\"><Value>1</Value></Integer>\n";
    nodes += "<IntReg Name=\"R" + std::to_string(n) + "\"><Address>0</Address><Length>1</Length><AccessMode>RW</AccessMode><Cachable>NoCache</Cachable></IntReg>\n";
    auto port = std::make_shared<CountingPort>(16);
    TqGenParameterArray array;
    TqResult r = Load(array, Description(nodes), port);
    ASSERT_TRUE(r.IsOK()) << Why(r);
    auto start = std::chrono::steady_clock::now();
    int64_t value = 0;
    r = array.GetIntegerValue("D0", value);
    ASSERT_TRUE(r.IsOK()) << Why(r);
    EXPECT_EQ(value, 1);
    ASSERT_TRUE(array.SetIntegerValue(TqString(("D" + std::to_string(n)).c_str()), 0).IsOK());
    r = array.GetIntegerValue("D0", value);
    EXPECT_EQ(r.GetCode(), TQ_STATE_ERROR);
    EXPECT_NE(Why(r).find("not available (by D1)"), std::string::npos) << Why(r);
    r = array.GetIntegerValue("R0", value);
    ASSERT_TRUE(r.IsOK()) << Why(r);
    EXPECT_EQ(port->reads, n + 1) << "each register read once, though none is cached";
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
}

TEST(TqGenNodeMapTest, GroupsAndAMapWithoutAPort) {
    std::string xml = Description(R"(
  <Group Comment="values"><Integer Name="Held"><Value>3</Value></Integer>
    <Group Comment="inner"><IntReg Name="Reg"><Address>0</Address><Length>4</Length><AccessMode>RW</AccessMode></IntReg></Group></Group>)");
    TqGenParameterArray array;
    TqResult r = Load(array, xml, nullptr);
    ASSERT_TRUE(r.IsOK()) << Why(r);
    EXPECT_EQ(array.GetCount(), 2u);
    EXPECT_EQ(array.GetAccessMode(), TqGenAccessModeNotAvailable);
    int64_t value = 0;
    ASSERT_TRUE(array.GetIntegerValue("Held", value).IsOK()) << "held in the node, no port needed";
    EXPECT_EQ(value, 3);
    r = array.GetIntegerValue("Reg", value);
    EXPECT_EQ(r.GetCode(), TQ_STATE_ERROR);
    EXPECT_NE(Why(r).find("no port"), std::string::npos) << Why(r);
    EXPECT_EQ(array.SetIntegerValue("Reg", 1).GetCode(), TQ_STATE_ERROR);
}

TEST(TqGenNodeMapTest, AddressesKnownOnlyAtRunTimeAreChecked) {
    std::string xml = Description(R"(
  <Integer Name="Base"><Value>0</Value></Integer>
  <Integer Name="Index"><Value>0</Value></Integer>
  <IntReg Name="Moving"><Address>8</Address><pAddress>Base</pAddress><pIndex Offset="4">Index</pIndex><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
  <Register Name="Block"><Address>0</Address><pIndex>Index</pIndex><Length>8</Length><AccessMode>RW</AccessMode></Register>)");
    TqGenParameterArray array;
    ASSERT_TRUE(Load(array, xml, TqGenParameterArray::MemoryPort(64)).IsOK());
    NodeMap* map = reinterpret_cast<NodeMap*>(array.GetNodeMap());
    ASSERT_TRUE(array.SetIntegerValue("Moving", 42).IsOK());
    struct Case {
        int64_t base, index;
        uint32_t code;
    } cases[] = {
        {0, 1, TQ_OK},
        {52, 0, TQ_OK},          // 60 + 4 == 64: the last four bytes
        {53, 0, TQ_ERR_OVERFLOW},
        {0, 14, TQ_ERR_OVERFLOW},
        {-8, 0, TQ_OK},          // back to 0
        {-9, 0, TQ_ERR_OVERFLOW},   // below 0
        {std::numeric_limits<int64_t>::max(), 0, TQ_ERR_OVERFLOW},
        {std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max(), TQ_ERR_OVERFLOW},
        {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::min(), TQ_ERR_OVERFLOW},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(array.SetIntegerValue("Base", c.base).IsOK());
        ASSERT_TRUE(array.SetIntegerValue("Index", c.index).IsOK());
        int64_t value = 0;
        EXPECT_EQ(array.GetIntegerValue("Moving", value).GetCode(), c.code) << c.base << " " << c.index;
        EXPECT_EQ(array.SetIntegerValue("Moving", 1).GetCode(), c.code) << c.base << " " << c.index;
    }
    // Offset defaults to the register's Length.
    ASSERT_TRUE(array.SetIntegerValue("Index", 3).IsOK());
    uint64_t address = 0;
    ASSERT_TRUE(map->GetAddress(map->Find("Block"), address).IsOK());
    EXPECT_EQ(address, 24u);
    ASSERT_TRUE(array.SetIntegerValue("Index", 7).IsOK());
    uint8_t bytes[8];
    EXPECT_TRUE(map->GetRegister(map->Find("Block"), bytes, 8).IsOK()) << "56 + 8 == 64: the last eight bytes";
    ASSERT_TRUE(array.SetIntegerValue("Index", 8).IsOK());
    EXPECT_EQ(map->GetRegister(map->Find("Block"), bytes, 8).GetCode(), TQ_ERR_OVERFLOW);
}

// The sample descriptions of the shared folder load and evaluate: see test_genicam_formula.cpp.

// ---- mutation fuzz ----

namespace {

// Exercises every feature of a map that loaded: reads, limits, writes of its limits, enumeration
// entries, commands, strings, registers, chunk data. Results do not matter, only that nothing
// crashes, hangs or reads out of bounds.
void Exercise(TqGenParameterArray& aArray, std::mt19937& aRandom) {
    NodeMap* map = reinterpret_cast<NodeMap*>(aArray.GetNodeMap());
    Bytes chunks = Concat({Chunk(0x1001, BigEndianDouble(5.0)), Chunk(aRandom() % 8, Bytes(aRandom() % 9, 1))});
    aArray.AttachDataChunks(chunks.data(), static_cast<uint32_t>(chunks.size()));
    for (uint32_t i = 0; i < aArray.GetCount(); ++i) {
        Node* node = aArray.Get(i)->GetEngineNode();
        TqString name(node->name.c_str());
        map->GetAccessMode(node);
        map->IsValueCached(node);
        int64_t a = 0, b = 0;
        double x = 0, y = 0;
        bool flag = false;
        TqString text;
        switch (TqGenICamLib::ParameterType(node->kind)) {
        case TqGenTypeInteger:
            aArray.GetIntegerValue(name, a);
            if (aArray.GetIntegerRange(name, a, b).IsOK()) {
                aArray.SetIntegerValue(name, a);
                aArray.SetIntegerValue(name, b);
            }
            aArray.SetIntegerValue(name, static_cast<int64_t>(aRandom()) - 1000);
            break;
        case TqGenTypeFloat:
            aArray.GetFloatValue(name, x);
            if (aArray.GetFloatRange(name, x, y).IsOK()) aArray.SetFloatValue(name, (x + y) / 2);
            break;
        case TqGenTypeEnum:
            aArray.GetEnumValue(name, text);
            for (const auto& entry : node->entries) aArray.SetEnumValue(name, TqString(entry->name.c_str()));
            aArray.SetEnumValue(name, static_cast<int64_t>(aRandom() % 4));
            break;
        case TqGenTypeBoolean:
            aArray.GetBooleanValue(name, flag);
            aArray.SetBooleanValue(name, !flag);
            break;
        case TqGenTypeCommand: {
            aArray.ExecuteCommand(name);
            bool done = false;
            map->IsDone(node, done);
            break;
        }
        case TqGenTypeString:
            aArray.GetStringValue(name, text);
            aArray.SetStringValue(name, "fuzz");
            break;
        case TqGenTypeRegister: {
            int64_t length = 0;
            map->GetRegisterLength(node, length);
            Bytes bytes(static_cast<size_t>(std::min<int64_t>(length, 4096)));
            map->GetRegister(node, bytes.data(), static_cast<int64_t>(bytes.size()));
            map->SetRegister(node, bytes.data(), static_cast<int64_t>(bytes.size()));
            break;
        }
        default: break;
        }
    }
    aArray.Poll();
    aArray.InvalidateCache();
    aArray.DetachDataChunks();
}

std::string Mutate(const std::string& aXml, std::mt19937& aRandom) {
    std::string xml = aXml;
    switch (aRandom() % 6) {
    case 0:   // byte flips
        for (uint32_t n = 1 + aRandom() % 4; n > 0; --n) xml[aRandom() % xml.size()] ^= static_cast<char>(1 << (aRandom() % 8));
        break;
    case 1:   // truncation
        xml.resize(aRandom() % xml.size());
        break;
    case 2: {   // an element deleted, from its start tag to the end of its first closing tag
        size_t start = xml.find('<', aRandom() % xml.size());
        if (start == std::string::npos) break;
        size_t end = xml.find("</", start);
        end = end == std::string::npos ? std::string::npos : xml.find('>', end);
        if (end != std::string::npos) xml.erase(start, end - start + 1);
        break;
    }
    case 3: {   // a reference swapped for another node's name
        static const char* names[] = {"Width", "WidthReg", "GainSelectorValue", "TLParamsLocked", "Device",
                                      "ChunkExposurePort", "Root", "PixelFormat", "Gain", "GainReg", "ExposureTime",
                                      "LUTValueAll", "ReverseXReg", "SensorWidth", "Nowhere"};
        size_t at = xml.find("<p", aRandom() % xml.size());
        if (at == std::string::npos) break;
        size_t open = xml.find('>', at), close = xml.find('<', open);
        if (open == std::string::npos || close == std::string::npos) break;
        xml.replace(open + 1, close - open - 1, names[aRandom() % (sizeof names / sizeof *names)]);
        break;
    }
    case 4: {   // a number replaced by an extreme one
        static const char* numbers[] = {"0", "-1", "0xFFFFFFFFFFFFFFFF", "9223372036854775807", "1099511627776", "3", "4096", "63"};
        size_t at = xml.find_first_of("0123456789", aRandom() % xml.size());
        if (at == std::string::npos) break;
        size_t end = xml.find_first_not_of("0123456789abcdefxABCDEF.", at);
        xml.replace(at, end - at, numbers[aRandom() % (sizeof numbers / sizeof *numbers)]);
        break;
    }
    default: {   // a slice of the document repeated somewhere else
        size_t from = aRandom() % xml.size(), length = aRandom() % 400;
        xml.insert(aRandom() % xml.size(), xml.substr(from, length));
        break;
    }
    }
    return xml;
}

}  // namespace

TEST(TqGenNodeMapTest, MutatedDescriptionsNeverCrash) {
    Counts before = Counts::Now();
    std::mt19937 random(20240611);
    int loaded = 0, refused = 0;
    auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 600; ++round) {
        std::string xml = Mutate(CameraXml(), random);
        if (random() % 4 == 0) xml = Mutate(xml, random);
        TqGenParameterArray array;
        TqResult r = Load(array, xml, TqGenParameterArray::MemoryPort(4096));
        if (r.IsOK()) {
            ++loaded;
            Exercise(array, random);
        } else {
            ++refused;
            EXPECT_EQ(r.GetCode(), TQ_GENICAM_XML_ERROR);
            EXPECT_TRUE(r.HasDescription());
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    RecordProperty("loaded", loaded);
    RecordProperty("refused", refused);
    std::cout << "[ fuzz     ] " << loaded << " loaded, " << refused << " refused in " << seconds << " s\n";
    EXPECT_GT(loaded, 50) << "most single mutations leave a loadable description";
    EXPECT_GT(refused, 50);
    EXPECT_TRUE(Counts::Now() == before);
}

// ---- a large description ----

namespace {

std::string Generated(int aFeatures) {
    std::string xml = "<?xml version=\"1.0\"?>\n<RegisterDescription ModelName=\"Big\" VendorName=\"Kivo\">\n";
    xml += "<Category Name=\"Root\">";
    for (int c = 0; c < 20; ++c) xml += "<pFeature>Group" + std::to_string(c) + "</pFeature>";
    xml += "</Category>\n";
    for (int c = 0; c < 20; ++c) {
        xml += "<Category Name=\"Group" + std::to_string(c) + "\">";
        for (int i = c; i < aFeatures; i += 20) xml += "<pFeature>Feature" + std::to_string(i) + "</pFeature>";
        xml += "</Category>\n";
    }
    for (int i = 0; i < aFeatures; ++i) {
        std::string name = "Feature" + std::to_string(i);
        std::string address = std::to_string(i * 8);
        switch (i % 4) {
        case 0:
            xml += "<Integer Name=\"" + name + "\"><ToolTip>Generated.</ToolTip><pValue>Feature" + std::to_string(i + 1) + "</pValue><Min>0</Min><Max>1000</Max><Inc>2</Inc></Integer>\n";
            xml += "<IntReg Name=\"Feature" + std::to_string(i + 1) + "\"><Address>" + address + "</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Endianess>BigEndian</Endianess></IntReg>\n";
            ++i;
            break;
        case 1:
            xml += "<Float Name=\"" + name + "\"><Value>1.5</Value><Min>0</Min><Max>10</Max></Float>\n";
            break;
        case 2:
            xml += "<Enumeration Name=\"" + name + "\"><EnumEntry Name=\"Off\"><Value>0</Value></EnumEntry><EnumEntry Name=\"On\"><Value>1</Value></EnumEntry><Value>0</Value></Enumeration>\n";
            break;
        default:
            xml += "<Boolean Name=\"" + name + "\"><Value>0</Value></Boolean>\n";
            break;
        }
    }
    xml += "<Port Name=\"Device\"/>\n</RegisterDescription>\n";
    return xml;
}

}  // namespace

TEST(TqGenNodeMapTest, TwoThousandFeaturesLoadAndLookUpByHash) {
    const int features = 2000;
    std::string xml = Generated(features);
    TqGenParameterArray array;
    auto start = std::chrono::steady_clock::now();
    TqResult r = Load(array, xml, TqGenParameterArray::MemoryPort(features * 8));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(r.IsOK()) << Why(r);
    std::cout << "[ load     ] " << array.GetCount() << " features (" << xml.size() / 1024 << " KiB) in "
              << seconds * 1000 << " ms\n";
    EXPECT_EQ(array.GetCount(), static_cast<uint32_t>(features));
    EXPECT_LT(seconds, 2.0);
    EXPECT_EQ(array.GetCategoryCount(), 21u);

    // The first and the last name cost the same; a scan would make the last a thousand times dearer.
    TqString first("Feature0"), last(("Feature" + std::to_string(features - 1)).c_str());
    ASSERT_NE(array.Get(first), nullptr);
    ASSERT_NE(array.Get(last), nullptr);
    EXPECT_EQ(array.Get(array.GetCount() - 1), array.Get(last));
    TqGenParameter* volatile sink = nullptr;
    auto time = [&](const TqString& aName) {
        double best = 1e9;
        for (int attempt = 0; attempt < 5; ++attempt) {
            auto t0 = std::chrono::steady_clock::now();
            for (int k = 0; k < 2000; ++k) sink = array.Get(aName);
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        }
        return best;
    };
    double firstTime = time(first), lastTime = time(last);
    std::cout << "[ lookup   ] first " << firstTime / 2000 * 1e9 << " ns, last " << lastTime / 2000 * 1e9 << " ns\n";
    EXPECT_LT(lastTime, firstTime * 8 + 1e-4);
    int64_t value = 0;
    ASSERT_TRUE(array.SetIntegerValue(TqString(("Feature" + std::to_string(features - 4)).c_str()), 998).IsOK());
    ASSERT_TRUE(array.GetIntegerValue(TqString(("Feature" + std::to_string(features - 4)).c_str()), value).IsOK());
    EXPECT_EQ(value, 998);
}
