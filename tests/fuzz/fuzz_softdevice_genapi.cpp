// The GenApi factory of a software device: an input is the calls its feature callback makes, on a
// fresh device started through the SDK's public API (fuzz_softdevice.h makes the store's folder).
//
// Input: operations of [op u8][arguments]. A text is a byte: below 0xF0 an entry of a list of names
// (the device's own features among them, and formulas), else a 16-bit length and that many bytes.
// A register is a byte picking one of the application's (4 and 8 bytes, a 12-byte array, read-only,
// write-only) or none. Enumerations are small numbers, their undefined value or any 32-bit value.
// Checked besides the sanitizers: when Start accepts the features, the device's description loads
// in our own node map (TqGenParameterArray over the device's memory) and every feature a Create
// answered TQ_OK for is in it and reads without crashing; the device stops.
#include "TqGenParameter.h"
#include "TqGenParameterArray.h"
#include "fuzz_softdevice.h"

#include <set>

using KivoFuzz::Bytes;
using KivoFuzz::Reader;

namespace {

const char* const kTexts[] = {
    "Gain",        "Gain2",      "Mode",           "Selector",        "Formula",        "Width",
    "PixelFormat", "TuneInt",    "Root",           "Custom\\Sub",     "",               "1bad",
    "A_b",         "Gain * 2",   "FROM / 4",       "TO * 4",          "(Gain > 3) ? 1 : 0", "UserSetLoad",
    "Off",         "On",         "ms",             "Height",          "DeviceReset",    "AcquisitionStart",
    "Gain\\Mode",  "x&<y>\"'",   "GainSelector",   "EventTest",       "ChunkGain",      "SourceSelector",
};
constexpr uint32_t kRegisterBase = 0x30000;

// Reads a text of the input.
TqString Text(Reader& aIn) {
    const uint8_t pick = aIn.U8();
    if (pick < 0xF0) return TqString(kTexts[pick % (sizeof kTexts / sizeof kTexts[0])]);
    const Bytes bytes = aIn.Record();
    return TqString(std::string(bytes.begin(), bytes.end()).c_str());
}

template <class Enum>
Enum Choice(Reader& aIn) {
    const uint8_t pick = aIn.U8();
    if (pick == 0xFF) return static_cast<Enum>(int32_t(aIn.U32()));
    return static_cast<Enum>(pick % 9 == 8 ? 999 : pick % 9);
}

struct Maker final : ITqSoftDeviceGEVEventSink {
    explicit Maker(const uint8_t* aData, size_t aSize) : in(aData, aSize) {}
    Reader in;
    ITqRegisterEventSink sink;
    std::vector<ITqRegister*> registers;
    std::set<std::string> created;   // names a Create answered TQ_OK for

    void OnCreateCustomRegisters(ITqSoftDeviceGEV* aDevice, ITqRegisterFactory* aFactory) override {
        const auto rw = TqGenAccessModeReadWrite;
        aFactory->AddRegister(TqString("IntReg4"), kRegisterBase, 4, rw, &sink, nullptr);
        aFactory->AddRegister(TqString("IntReg8"), kRegisterBase + 0x10, 8, rw, &sink, nullptr);
        aFactory->AddByteArray(TqString("ArrayReg"), kRegisterBase + 0x20, 12, rw, &sink, nullptr);
        aFactory->AddRegister(TqString("ReadOnlyReg"), kRegisterBase + 0x30, 4, TqGenAccessModeReadOnly, &sink, nullptr);
        aFactory->AddRegister(TqString("WriteOnlyReg"), kRegisterBase + 0x40, 4, TqGenAccessModeWriteOnly, nullptr, nullptr);
    }

    ITqRegister* Register(ITqRegisterMap* aMap) {
        const uint8_t pick = in.U8() % 6;
        return pick == 5 ? nullptr : aMap->GetRegisterByAddress(kRegisterBase + 0x10 * pick);
    }

    void OnCreateCustomGenApiFeatures(ITqSoftDeviceGEV* aDevice, ITqGenApiFactory* f) override {
        ITqRegisterMap* map = aDevice->GetRegisterMap();
        std::string name;   // of the pending feature
        auto create = [&](const TqResult& aResult) {
            if (aResult.IsOK()) created.insert(name);
            name.clear();
        };
        for (int operations = 0; !in.Empty() && operations < 200; ++operations) {
            switch (in.U8() % 44) {
            case 0: {
                const TqString text = Text(in);
                name = text.GetAscii();
                f->SetName(text);
                break;
            }
            case 1: f->SetDisplayName(Text(in)); break;
            case 2: f->SetCategory(Text(in)); break;
            case 3: f->SetCategory(Text(in), Text(in)); break;
            case 4: f->SetDescription(Text(in)); break;
            case 5: f->SetToolTip(Text(in)); break;
            case 6: f->SetAccessMode(Choice<TqGenAccessMode>(in)); break;
            case 7: f->SetRepresentation(Choice<TqGenRepresentation>(in)); break;
            case 8: f->SetVisibility(Choice<TqGenVisibility>(in)); break;
            case 9: f->SetCachable(Choice<TqGenCache>(in)); break;
            case 10: f->SetPollingTime(in.U32()); break;
            case 11: f->SetNameSpace(Choice<TqGenNameSpace>(in)); break;
            case 12: f->SetTLLocked(in.U8() & 1); break;
            case 13: f->SetStreamable(in.U8() & 1); break;
            case 14: f->SetUnit(Text(in)); break;
            case 15: f->SetPValue(Text(in)); break;
            case 16: f->SetPIsAvailable(Text(in)); break;
            case 17: f->SetPIsLocked(Text(in)); break;
            case 18: {
                const uint32_t id = in.U32(), address = in.U32();
                f->MapChunk(id, address, in.U32(), Choice<TqGenEndianness>(in));
                break;
            }
            case 19: {
                const uint32_t id = in.U32(), address = in.U32();
                const size_t length = in.U32();
                f->MapEvent(id, address, length, Choice<TqGenEndianness>(in), in.U8() & 1);
                break;
            }
            case 20: f->AddSelected(Text(in)); break;
            case 21: f->AddInvalidator(Text(in)); break;
            case 22: {
                const TqString entry = Text(in);
                f->AddEnumEntry(entry, in.U32());
                break;
            }
            case 23: {
                const TqString entry = Text(in);
                const uint32_t value = in.U32();
                const TqString display = Text(in);
                f->AddEnumEntry(entry, value, display, Choice<TqGenNameSpace>(in));
                break;
            }
            case 24: f->AddVariable(Text(in)); break;
            case 25: create(f->CreateInteger(Register(map))); break;
            case 26: {
                ITqRegister* reg = Register(map);
                const int64_t min = int64_t(in.U64()), max = int64_t(in.U64());
                create(f->CreateInteger(reg, min, max, int64_t(in.U64())));
                break;
            }
            case 27: create(f->CreateFloat(Register(map))); break;
            case 28: {
                ITqRegister* reg = Register(map);
                const double min = double(int32_t(in.U32())) / 16, max = double(int32_t(in.U32())) / 16;
                create(f->CreateFloat(reg, min, max));
                break;
            }
            case 29: create(f->CreateString(Register(map))); break;
            case 30: create(f->CreateRegister(Register(map))); break;
            case 31: create(f->CreateBoolean(Register(map))); break;
            case 32: create(f->CreateCommand(Register(map))); break;
            case 33: create(f->CreateEnum(Register(map))); break;
            case 34: create(f->CreateIntSwissKnife(Text(in))); break;
            case 35: create(f->CreateFloatSwissKnife(Text(in))); break;
            case 36: {
                const TqString value = Text(in), from = Text(in);
                create(f->CreateIntConverter(value, from, Text(in)));
                break;
            }
            case 37: {
                const TqString value = Text(in), from = Text(in);
                create(f->CreateFloatConverter(value, from, Text(in)));
                break;
            }
            case 38: {
                const TqString feature = Text(in);
                f->AddInvalidatorTo(feature, Text(in));
                break;
            }
            case 39: {
                const TqString feature = Text(in);
                f->SetPIsAvailableFor(feature, Text(in));
                break;
            }
            case 40: {
                const TqString feature = Text(in), entry = Text(in);
                f->SetPIsAvailableForEnumEntry(feature, entry, Text(in));
                break;
            }
            case 41: {
                const TqString feature = Text(in);
                switch (in.U8() % 4) {
                case 0: f->SetPIsLockedFor(feature, Text(in)); break;
                case 1: f->SetPValueFor(feature, Text(in)); break;
                case 2: f->SetPMinFor(feature, Text(in)); break;
                default: f->SetPMaxFor(feature, Text(in)); break;
                }
                break;
            }
            case 42: {
                const TqString feature = Text(in);
                f->SetPIncFor(feature, Text(in));
                break;
            }
            default:
                switch (in.U8() % 3) {
                case 0: f->SetPMin(Text(in)); break;
                case 1: f->SetPMax(Text(in)); break;
                default: f->SetPInc(Text(in)); break;
                }
                break;
            }
        }
    }
};

// The device's memory, as a controller reads and writes it.
class DevicePort : public TqGenICamLib::IPort {
public:
    explicit DevicePort(std::shared_ptr<TqEngine::Device> aDevice) : mDevice(std::move(aDevice)) {}
    TqResult Read(uint64_t aAddress, void* aData, uint64_t aLength) override {
        if (aAddress > UINT32_MAX || aLength > 65536) return TqResult(TQ_INVALID_PARAMETER);
        return TqResult(mDevice->ReadMemory(uint32_t(aAddress), aData, size_t(aLength)) == 0 ? TQ_OK : TQ_GENERIC_ERROR);
    }
    TqResult Write(uint64_t aAddress, const void* aData, uint64_t aLength) override {
        if (aAddress > UINT32_MAX || aLength > 65536) return TqResult(TQ_INVALID_PARAMETER);
        return TqResult(mDevice->WriteMemory(uint32_t(aAddress), aData, size_t(aLength)) == 0 ? TQ_OK : TQ_GENERIC_ERROR);
    }

private:
    std::shared_ptr<TqEngine::Device> mDevice;
};

// Reads a feature's value through its kind's interface.
void ReadValue(TqGenParameter* aParameter) {
    TqGenType type = TqGenTypeUndefined;
    aParameter->GetType(type);
    TqString text;
    switch (type) {
    case TqGenTypeInteger: {
        int64_t value = 0;
        static_cast<TqGenInteger*>(aParameter)->GetValue(value);
        break;
    }
    case TqGenTypeFloat: {
        double value = 0;
        static_cast<TqGenFloat*>(aParameter)->GetValue(value);
        break;
    }
    case TqGenTypeBoolean: {
        bool value = false;
        static_cast<TqGenBoolean*>(aParameter)->GetValue(value);
        break;
    }
    case TqGenTypeEnum: static_cast<TqGenEnum*>(aParameter)->GetValue(text); break;
    case TqGenTypeString: static_cast<TqGenString*>(aParameter)->GetValue(text); break;
    default: break;
    }
    aParameter->ToString(text);
}

std::vector<Bytes> Seeds() {
    std::vector<Bytes> seeds;
    KivoFuzz::Writer w;
    // Gain: an integer in Custom over IntReg4, 0 to 100, Streamable, in a category.
    w.U8(0).U8(0).U8(2).U8(9).U8(13).U8(1).U8(26).U8(0).U64(0).U64(100).U64(1);
    // Mode: an enumeration of Off and On over IntReg8, selecting Gain.
    w.U8(0).U8(2).U8(22).U8(18).U32(0).U8(22).U8(19).U32(1).U8(20).U8(0).U8(33).U8(1);
    // Formula: a SwissKnife over Gain, and a converter.
    w.U8(0).U8(4).U8(24).U8(0).U8(34).U8(13);
    w.U8(0).U8(12).U8(37).U8(0).U8(14).U8(15);
    seeds.push_back(w.Get());
    KivoFuzz::Writer standard;
    // The device's own features changed: an invalidator, availability, a locked value.
    standard.U8(0).U8(7).U8(32).U8(0).U8(38).U8(5).U8(7).U8(39).U8(6).U8(7).U8(41).U8(0).U8(5).U8(7);
    // A string over the array, a register of the array, a float over the 8-byte register.
    standard.U8(0).U8(12).U8(29).U8(2).U8(0).U8(26).U8(30).U8(2).U8(0).U8(3).U8(28).U8(1).U32(0).U32(1600);
    seeds.push_back(standard.Get());
    KivoFuzz::Writer odd;
    // Names of raw bytes, an enumeration value out of range, a chunk and an event mapped.
    odd.U8(0).U8(0xF0).Record(Bytes{'Z', 0xC3, 0xA9}).U8(6).U8(0xFF).U32(77).U8(25).U8(3);
    odd.U8(0).U8(28).U8(18).U32(0x1234).U32(0).U32(4).U8(1).U8(31).U8(5);
    odd.U8(0).U8(27).U8(19).U32(0x9001).U32(16).U32(8).U8(0).U8(1).U8(25).U8(5);
    seeds.push_back(odd.Get());
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    KivoFuzz::SoftDevice::Get();   // the store's folder and the environment, made once
    Maker maker(aData, aSize);
    TqSoftDeviceGEV device;
    KIVO_FUZZ_CHECK(device.RegisterEventSink(&maker).IsOK());
    if (!device.Start(TqString("00:00:00:00:00:00")).IsOK()) return 0;
    TqString xml;
    KIVO_FUZZ_CHECK(device.GetGenICamXMLFile(xml).IsOK());
    const std::string text = xml.GetAscii();
    TqGenParameterArray array;
    const TqResult loaded =
        array.Load(text.data(), text.size(), std::make_shared<DevicePort>(TqSoftDevice::EngineOf(&device)));
    if (!loaded.IsOK()) std::fprintf(stderr, "%s\n", loaded.GetDescription().GetAscii());
    KIVO_FUZZ_CHECK(loaded.IsOK());
    for (const std::string& name : maker.created) KIVO_FUZZ_CHECK(array.Get(TqString(name.c_str())) != nullptr);
    for (uint32_t i = 0; i < array.GetCount(); ++i) ReadValue(array.Get(i));
    KIVO_FUZZ_CHECK(device.Stop().IsOK());
    return 0;
}
