// The registers of a software device in C++: made by a sink and a source during Start, reached by a
// controller through the engine device (sinks called with no engine lock held, a throwing sink failing
// the access), the device's own registers with sinks, and the user-set offer through the store.
#include "ITqRegister.h"
#include "TqSoftDeviceAccess.h"
#include "TqSoftDeviceGEV.h"
#include "engine_helpers.h"
#include "soft_recorders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <map>
#include <stdexcept>
#include <string>

using namespace KivoSoftTest;
using namespace TqEngine;
using namespace TqEngine::Testing;

namespace {

constexpr const char* kLoopback = "00:00:00:00:00:00";

// A sink that notes its calls, may throw or refuse, and reads the engine device's memory from inside
// its PreWrite: were the engine's lock held there, that read would never return.
struct Noting : ITqRegisterEventSink {
    std::vector<std::string> calls;
    std::shared_ptr<Device> engine;
    bool throwOnWrite = false;
    uint32_t refuse = TQ_OK;
    TqResult PreRead(ITqRegister* aRegister) override {
        calls.push_back("PreRead " + Text(aRegister->GetName()));
        return TqResult(refuse);
    }
    TqResult PreWrite(ITqRegister* aRegister) override {
        uint32_t staged = 0;
        aRegister->ReadInt(staged);
        calls.push_back("PreWrite " + std::to_string(staged));
        if (engine) {
            uint32_t version = 0;
            EXPECT_EQ(engine->ReadRegister(Reg::kVersion, version), Gvcp::kSuccess);
        }
        if (throwOnWrite) throw std::runtime_error("refused by a throw");
        return TqResult(TQ_OK);
    }
    void PostWrite(ITqRegister*) override { calls.push_back("PostWrite"); }
};

// Makes registers from the device's register callback and from a source's.
struct Maker : ITqSoftDeviceGEVEventSink {
    Noting* sink = nullptr;
    int context = 0;
    TqResult made;
    ITqRegisterMap* lockedDuringStart = nullptr;
    TqResult lockDuringStart;
    void OnCreateCustomRegisters(ITqSoftDeviceGEV* aDevice, ITqRegisterFactory* aFactory) override {
        made = aFactory->AddRegister(TqString("Knob"), 0x20000, 4, TqGenAccessModeReadWrite, sink, &context);
        lockedDuringStart = aDevice->GetRegisterMap();
        if (lockedDuringStart) {   // a Start under way counts as running
            lockDuringStart = lockedDuringStart->Lock(100);
            lockedDuringStart->Release();
        }
    }
};


}  // namespace

TEST(SoftDeviceRegisters, ControllersReachTheApplicationsRegistersThroughItsSinks) {
    Noting sink;
    Maker maker;
    maker.sink = &sink;
    TqResult sourceMade;
    ITqRegisterMap* sourceMap = nullptr;
    Options options;
    options.createRegisters = [&](ITqRegisterMap* aMap, ITqRegisterFactory* aFactory) {
        sourceMap = aMap;
        sourceMade = aFactory->AddByteArray(TqString("Table"), 0x20010, 16, TqGenAccessModeWriteOnly);
    };
    RecordingSource source("source", options);
    TqSoftDeviceGEV device;
    ASSERT_TRUE(device.RegisterEventSink(&maker).IsOK());
    ASSERT_TRUE(device.AddStream(&source).IsOK());
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    EXPECT_TRUE(maker.made.IsOK());
    EXPECT_TRUE(sourceMade.IsOK());
    EXPECT_EQ(maker.lockDuringStart.GetCode(), TQ_OK);
    ITqRegisterMap* map = device.GetRegisterMap();
    EXPECT_EQ(sourceMap, map);
    ITqRegister* knob = map->GetRegisterByAddress(0x20000);
    ASSERT_NE(knob, nullptr);
    EXPECT_EQ(knob->GetContext(), &maker.context);
    ITqRegister* table = map->GetRegisterByAddress(0x20010);
    ASSERT_NE(table, nullptr);
    EXPECT_TRUE(table->IsArrayOfBytes() && !table->IsReadable() && table->IsWritable());

    std::shared_ptr<Device> engine = TqSoftDevice::EngineOf(&device);
    ASSERT_NE(engine, nullptr);
    sink.engine = engine;
    ASSERT_EQ(Send(*engine, Command(Gvcp::kWriteRegCmd, {Reg::kCcp, Reg::kCcpControl}, 1)).status, Gvcp::kSuccess);
    EXPECT_EQ(Send(*engine, Command(Gvcp::kWriteRegCmd, {0x20000, 42}, 2)).status, Gvcp::kSuccess);
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"PreRead Knob", "PreWrite 42", "PostWrite"}));
    uint32_t value = 0;
    EXPECT_TRUE(knob->ReadInt(value).IsOK());
    EXPECT_EQ(value, 42u);
    // A sink that throws fails the access (an error status) and the value stays.
    sink.throwOnWrite = true;
    EXPECT_NE(Send(*engine, Command(Gvcp::kWriteRegCmd, {0x20000, 43}, 3)).status, Gvcp::kSuccess);
    EXPECT_EQ(knob->Write(uint32_t(44)).GetCode(), TQ_GENERIC_ERROR);
    EXPECT_TRUE(knob->ReadInt(value).IsOK());
    EXPECT_EQ(value, 42u);
    sink.throwOnWrite = false;
    // A refusing PreRead gives the controller an error; write-only memory cannot be read by it.
    sink.refuse = TQ_INVALID_PARAMETER;
    EXPECT_EQ(ReadReg(*engine, {0x20000}).status, Gvcp::kInvalidParameter);
    sink.refuse = TQ_OK;
    EXPECT_EQ(ReadMem(*engine, 0x20010, 4).status, Gvcp::kAccessDenied);
    // The device's own registers: a sink added later is reached by the controller too.
    ITqRegister* name = map->GetRegisterByAddress(Reg::kUserName);
    ASSERT_NE(name, nullptr);
    Noting own;
    ASSERT_TRUE(name->AddEventSink(&own).IsOK());
    EXPECT_EQ(Send(*engine, Command(Gvcp::kWriteRegCmd, {Reg::kUserName, 0x41424300}, 4)).status, Gvcp::kSuccess);
    EXPECT_EQ(own.calls.size(), 3u);   // the staged value read back, then the write's two calls
    TqString text;
    EXPECT_TRUE(name->ReadString(text).IsOK());
    EXPECT_EQ(Text(text), "ABC");
    EXPECT_TRUE(name->RemoveEventSink(&own).IsOK());
    sink.engine.reset();
    engine.reset();
    EXPECT_TRUE(device.Stop().IsOK());
    EXPECT_TRUE(device.UnregisterEventSink(&maker).IsOK());
}

namespace {

// Walks two selector values through the store.
struct PerValue : ITqRegisterEventSink {
    std::atomic<int> offered{0};
    uint32_t answer = TQ_OK;
    TqResult Persist(ITqRegister* aRegister, ITqRegisterStore* aStore) override {
        ++offered;
        if (answer != TQ_OK) return TqResult(answer);
        for (const char* suffix : {"_a", "_b"}) {
            const TqResult stored = aStore->Persist(aRegister, TqString(suffix));
            if (!stored.IsOK()) return stored;
        }
        return TqResult(TQ_OK);
    }
};

struct PersistMaker : ITqSoftDeviceGEVEventSink {
    PerValue* sink = nullptr;
    void OnCreateCustomRegisters(ITqSoftDeviceGEV*, ITqRegisterFactory* aFactory) override {
        aFactory->AddRegister(TqString("Level"), 0x30000, 8, TqGenAccessModeReadWrite, sink);
        aFactory->AddRegister(TqString("Plain"), 0x30008, 4, TqGenAccessModeReadWrite);
    }
};

}  // namespace

TEST(SoftDeviceRegisters, UserSetsOfferRegistersWithSinksToTheirPersist) {
    PerValue sink;
    PersistMaker maker;
    maker.sink = &sink;
    TqSoftDeviceGEV device;
    std::map<std::string, std::vector<uint8_t>> values;
    std::vector<std::string> handled;
    EXPECT_EQ(TqSoftDevice::PersistRegisters(&device, false, values, handled).GetCode(), TQ_STATE_ERROR);
    ASSERT_TRUE(device.RegisterEventSink(&maker).IsOK());
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    ITqRegister* level = device.GetRegisterMap()->GetRegisterByAddress(0x30000);
    ASSERT_NE(level, nullptr);
    ASSERT_TRUE(level->Write(uint32_t(5), 4).IsOK());

    ASSERT_TRUE(TqSoftDevice::PersistRegisters(&device, false, values, handled).IsOK());
    EXPECT_EQ(handled, std::vector<std::string>{"Level"});
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values["Level_a"], (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 5}));

    values["Level_a"][3] = 9;
    values["Level_b"][3] = 7;   // written last
    handled.clear();
    ASSERT_TRUE(TqSoftDevice::PersistRegisters(&device, true, values, handled).IsOK());
    uint32_t first = 0;
    EXPECT_TRUE(level->ReadInt(first).IsOK());
    EXPECT_EQ(first, 7u);
    // Not this register's business, a failure, a value missing on load.
    sink.answer = TQ_NOT_IMPLEMENTED;
    handled.clear();
    EXPECT_TRUE(TqSoftDevice::PersistRegisters(&device, false, values, handled).IsOK());
    EXPECT_TRUE(handled.empty());
    sink.answer = TQ_BUSY;
    EXPECT_EQ(TqSoftDevice::PersistRegisters(&device, false, values, handled).GetCode(), TQ_BUSY);
    sink.answer = TQ_OK;
    values.erase("Level_b");
    EXPECT_EQ(TqSoftDevice::PersistRegisters(&device, true, values, handled).GetCode(), TQ_INVALID_PARAMETER);
    EXPECT_TRUE(device.Stop().IsOK());
    EXPECT_TRUE(device.UnregisterEventSink(&maker).IsOK());
}

// A stop lets the engine device go: the registers keep the bytes it held (the application's and the
// device's own), take writes, and a register whose value only its source knows answers an error as it
// did; the next start retires them.
TEST(SoftDeviceRegisters, AStoppedDeviceKeepsItsRegistersBytesButNotItsEngineDevice) {
    Maker maker;
    RecordingSource source;
    TqSoftDeviceGEV device;
    ASSERT_TRUE(device.RegisterEventSink(&maker).IsOK());
    ASSERT_TRUE(device.AddStream(&source).IsOK());
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    ITqRegisterMap* map = device.GetRegisterMap();
    ITqRegister* knob = map->GetRegisterByAddress(0x20000);
    ITqRegister* name = map->GetRegisterByAddress(Reg::kUserName);
    ITqRegister* address = map->GetRegisterByAddress(Reg::kCurrentIp);
    ITqRegister* width = map->GetRegisterByAddress(Reg::Format(0, Reg::kWidth));
    ASSERT_TRUE(knob && name && address && width);
    ASSERT_TRUE(knob->Write(uint32_t(42)).IsOK());
    ASSERT_TRUE(name->Write(TqString("ABC")).IsOK());
    std::weak_ptr<Device> engine = TqSoftDevice::EngineOf(&device);
    const uint32_t bound = engine.lock()->Address();

    ASSERT_TRUE(device.Stop().IsOK());
    EXPECT_TRUE(engine.expired());
    uint32_t value = 0;
    EXPECT_TRUE(knob->ReadInt(value).IsOK());
    EXPECT_EQ(value, 42u);
    TqString text;
    EXPECT_TRUE(name->ReadString(text).IsOK());
    EXPECT_EQ(Text(text), "ABC");
    EXPECT_TRUE(address->ReadInt(value).IsOK());
    EXPECT_EQ(value, bound);
    EXPECT_FALSE(width->ReadInt(value).IsOK());
    EXPECT_FALSE(width->Write(uint32_t(8)).IsOK());
    EXPECT_TRUE(knob->Write(uint32_t(7)).IsOK());
    EXPECT_TRUE(knob->ReadInt(value).IsOK());
    EXPECT_EQ(value, 7u);

    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    EXPECT_EQ(knob->ReadInt(value).GetCode(), TQ_STATE_ERROR);
    EXPECT_EQ(name->ReadString(text).GetCode(), TQ_STATE_ERROR);
    ASSERT_TRUE(device.GetRegisterMap()->GetRegisterByAddress(0x20000)->ReadInt(value).IsOK());
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(device.Stop().IsOK());
    EXPECT_TRUE(device.UnregisterEventSink(&maker).IsOK());
}

namespace {

// Notes each store it is handed, and tries it from another thread during the operation.
struct Keeping : ITqRegisterEventSink {
    std::vector<ITqRegisterStore*> stores;
    uint32_t elsewhere = TQ_OK;
    TqResult Persist(ITqRegister* aRegister, ITqRegisterStore* aStore) override {
        stores.push_back(aStore);
        std::thread([&] { elsewhere = aStore->Persist(aRegister, TqString("_x")).GetCode(); }).join();
        return aStore->Persist(aRegister, TqString(""));
    }
};

struct KeepingMaker : ITqSoftDeviceGEVEventSink {
    Keeping* sink = nullptr;
    void OnCreateCustomRegisters(ITqSoftDeviceGEV*, ITqRegisterFactory* aFactory) override {
        aFactory->AddRegister(TqString("Level"), 0x30000, 4, TqGenAccessModeReadWrite, sink);
    }
};

}  // namespace

// However many saves and loads run one after another, they hand out one store: it answers the thread
// of the operation under way only, and nothing once that ended.
TEST(SoftDeviceRegisters, SavesAndLoadsOneAfterAnotherShareOneStore) {
    Keeping sink;
    KeepingMaker maker;
    maker.sink = &sink;
    TqSoftDeviceGEV device;
    ASSERT_TRUE(device.RegisterEventSink(&maker).IsOK());
    ASSERT_TRUE(device.Start(kLoopback).IsOK());
    ITqRegister* level = device.GetRegisterMap()->GetRegisterByAddress(0x30000);
    std::map<std::string, std::vector<uint8_t>> values;
    std::vector<std::string> handled;
    for (int n = 0; n < 50; ++n) ASSERT_TRUE(TqSoftDevice::PersistRegisters(&device, n % 2, values, handled).IsOK());
    ASSERT_EQ(sink.stores.size(), 50u);
    EXPECT_TRUE(std::all_of(sink.stores.begin(), sink.stores.end(), [&](auto* s) { return s == sink.stores[0]; }));
    EXPECT_EQ(sink.elsewhere, uint32_t(TQ_STATE_ERROR));
    EXPECT_EQ(sink.stores[0]->Persist(level, TqString("")).GetCode(), TQ_STATE_ERROR);
    EXPECT_TRUE(device.Stop().IsOK());
    EXPECT_TRUE(device.UnregisterEventSink(&maker).IsOK());
}
