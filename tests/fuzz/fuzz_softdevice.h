// What the fuzz targets of a software device's server side share: one device per process, made and
// started through the SDK's public C++ API at the first call and kept for every input, a controller
// that reaches it through the engine's dispatcher (TqEngine::Device::Dispatch, the path a datagram
// takes) without a socket, and one that asks over UDP whether the device still answers.
//
// The device: one stream channel from the ready-made source (its frames queued and retrieved here),
// registers of the application with event sinks (Tune, whose sink saves it in user sets through the
// store under two suffixes; Lut, a 12-byte array; Wide, 8 bytes; Fixed, read-only), Streamable
// features over Tune and Lut, ordinary ones over Wide, Fixed and a register without sinks (Kept),
// and two user sets. Its store lies in a fresh folder of its own
// ($XDG_DATA_HOME), so that runs never meet a user's sets or each other's.
#pragma once

#include "ITqGenApiFactory.h"
#include "ITqRegister.h"
#include "ITqStreamingChannelSource.h"
#include "TqDeviceEngine.h"
#include "TqSoftDeviceAccess.h"
#include "TqSoftDeviceGEV.h"
#include "fuzz_input.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ftw.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace KivoFuzz {

class SoftDevice {
public:
    static constexpr uint32_t kUserSets = 0x32001000;   // UserSetSelector, UserSetLoad, UserSetSave, ...
    static constexpr uint32_t kSelector = kUserSets, kLoad = kUserSets + 4, kSave = kUserSets + 8;
    static constexpr uint32_t kTune = 0x20000, kLut = 0x20010, kKept = 0x20020, kWide = 0x20030, kFixed = 0x20040;

    // The device, started at the first call (a failure to start ends the process).
    static SoftDevice& Get() {
        static SoftDevice* device = new SoftDevice;   // never destroyed: its threads run to the end
        return *device;
    }

    TqSoftDeviceGEV& Device() { return mDevice; }
    TqEngine::Device& Engine() { return *mEngine; }
    ITqRegister* Register(uint32_t aAddress) { return mDevice.GetRegisterMap()->GetRegisterByAddress(aAddress); }

    // A GVCP command of the controller (aCommand, aWords as its payload) and the acknowledge's status
    // (0xFFFF when none came).
    uint16_t Command(uint16_t aCommand, const std::vector<uint32_t>& aWords) {
        Writer w;
        w.U8(TqEngine::Gvcp::kKey).U8(TqEngine::Gvcp::kFlagAckRequired).U16(aCommand);
        w.U16(static_cast<uint16_t>(aWords.size() * 4)).U16(++mRequest ? mRequest : ++mRequest);
        for (uint32_t word : aWords) w.U32(word);
        return Status(mEngine->Dispatch(w.Get().data(), w.Get().size(), kController));
    }
    uint16_t WriteReg(uint32_t aAddress, uint32_t aValue) { return Command(TqEngine::Gvcp::kWriteRegCmd, {aAddress, aValue}); }
    // The controller takes control again (a pause longer than the heartbeat timeout lets it go).
    void Control() { KIVO_FUZZ_CHECK(WriteReg(TqEngine::Reg::kCcp, TqEngine::Reg::kCcpControl) == 0); }
    // A full reset (the session ends, the registers and the image format are as the start left them,
    // waiting resends go), then the controller takes control: every input meets the same device.
    void Reset() {
        mEngine->Reset();
        Control();
    }

    // Whether a READREG of CCP over UDP, from a socket of its own to the device's address, is
    // answered (tried three times, two seconds each).
    bool AnswersOverUdp() {
        if (mSocket < 0) {
            mSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            timeval wait{0, 100000};
            setsockopt(mSocket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        }
        const uint16_t id = ++mRequest ? mRequest : ++mRequest;
        Writer w;
        w.U8(TqEngine::Gvcp::kKey).U8(TqEngine::Gvcp::kFlagAckRequired).U16(TqEngine::Gvcp::kReadRegCmd);
        w.U16(4).U16(id).U32(TqEngine::Reg::kCcp);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(mEngine->Address());
        to.sin_port = htons(TqEngine::Gvcp::kPort);
        for (int attempt = 0; attempt < 3; ++attempt) {
            sendto(mSocket, w.Get().data(), w.Get().size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            for (int wait = 0; wait < 20; ++wait) {
                uint8_t ack[64];
                const ssize_t n = recv(mSocket, ack, sizeof ack, 0);
                if (n >= 8 && ack[2] == 0x00 && ack[3] == 0x81 && ((ack[6] << 8) | ack[7]) == id) return true;
            }
        }
        return false;
    }

    // The folder holding the device's sets.
    const std::string& Store() const { return mStore; }

    static constexpr TqEngine::Peer kController{0x7F000001, 50000};

private:
    // Frames are the source's buffers, handed back as they come.
    struct Source final : TqStreamingChannelSourceDefault {
        Source() : TqStreamingChannelSourceDefault(64, 48, TqPixelMono8, 4) {}
        TqResult QueueBuffer(TqBuffer* aBuffer) override {
            std::lock_guard guard(lock);
            queued.push_back(aBuffer);
            return TqResult(TQ_OK);
        }
        TqResult RetrieveBuffer(TqBuffer** aBuffer) override {
            {
                std::lock_guard guard(lock);
                if (!queued.empty()) {
                    *aBuffer = queued.front();
                    queued.pop_front();
                    return TqResult(TQ_OK);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return TqResult(TQ_TIMEOUT);
        }
        void AbortQueuedBuffers() override {}
        std::mutex lock;
        std::deque<TqBuffer*> queued;
    };

    // Tune's sink saves its bytes under two suffixes and loads them back from the first.
    struct Persisting final : ITqRegisterEventSink {
        TqResult Persist(ITqRegister* aRegister, ITqRegisterStore* aStore) override {
            const TqResult first = aStore->Persist(aRegister, TqString("_A"));
            return first.IsOK() ? aStore->Persist(aRegister, TqString("_B")) : first;
        }
    };

    struct Maker final : ITqSoftDeviceGEVEventSink {
        Persisting persisting;
        ITqRegisterEventSink plain;
        void OnCreateCustomRegisters(ITqSoftDeviceGEV*, ITqRegisterFactory* aFactory) override {
            const auto rw = TqGenAccessModeReadWrite;
            KIVO_FUZZ_CHECK(aFactory->AddRegister(TqString("TuneReg"), kTune, 4, rw, &persisting, nullptr).IsOK());
            KIVO_FUZZ_CHECK(aFactory->AddByteArray(TqString("LutReg"), kLut, 12, rw, &plain, nullptr).IsOK());
            KIVO_FUZZ_CHECK(aFactory->AddRegister(TqString("KeptReg"), kKept, 4, rw, nullptr, nullptr).IsOK());
            KIVO_FUZZ_CHECK(aFactory->AddRegister(TqString("WideReg"), kWide, 8, rw, &plain, nullptr).IsOK());
            KIVO_FUZZ_CHECK(
                aFactory->AddRegister(TqString("FixedReg"), kFixed, 4, TqGenAccessModeReadOnly, &plain, nullptr).IsOK());
        }
        void OnCreateCustomGenApiFeatures(ITqSoftDeviceGEV* aDevice, ITqGenApiFactory* aFactory) override {
            ITqRegisterMap* map = aDevice->GetRegisterMap();
            for (const auto& [name, address, streamable] :
                 {std::tuple{"Tune", kTune, true}, std::tuple{"Lut", kLut, true}, std::tuple{"Kept", kKept, false}}) {
                aFactory->SetName(TqString(name));
                aFactory->SetStreamable(streamable);
                ITqRegister* reg = map->GetRegisterByAddress(address);
                KIVO_FUZZ_CHECK((address == kLut ? aFactory->CreateRegister(reg) : aFactory->CreateInteger(reg)).IsOK());
            }
            aFactory->SetName(TqString("Wide"));
            KIVO_FUZZ_CHECK(aFactory->CreateFloat(map->GetRegisterByAddress(kWide)).IsOK());
            aFactory->SetName(TqString("Fixed"));
            KIVO_FUZZ_CHECK(aFactory->CreateInteger(map->GetRegisterByAddress(kFixed)).IsOK());
        }
    };

    SoftDevice() {
        const char* temporary = std::getenv("TMPDIR");
        static std::string folder = std::string(temporary && *temporary ? temporary : "/tmp") + "/kivo-fuzz-XXXXXX";
        KIVO_FUZZ_CHECK(mkdtemp(folder.data()) != nullptr);
        std::atexit([] { nftw(folder.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS); });   // the store goes with the run
        setenv("XDG_DATA_HOME", folder.c_str(), 1);
        KIVO_FUZZ_CHECK(mDevice.RegisterEventSink(&mMaker).IsOK() && mDevice.AddStream(&mSource).IsOK());
        KIVO_FUZZ_CHECK(mDevice.SetUserSetCount(2).IsOK());
        const TqResult started = mDevice.Start(TqString("00:00:00:00:00:00"));
        if (!started.IsOK()) {
            std::fprintf(stderr, "the software device did not start: %s\n", started.GetDescription().GetAscii());
            std::abort();
        }
        mEngine = TqSoftDevice::EngineOf(&mDevice);
        KIVO_FUZZ_CHECK(mEngine != nullptr);
        Control();
        // A save makes the store's folder: the only one below usersets.
        KIVO_FUZZ_CHECK(WriteReg(kSelector, 1) == 0 && WriteReg(kSave, 1) == 0);
        const std::string sets = folder + "/kivo/usersets";
        DIR* listing = opendir(sets.c_str());
        KIVO_FUZZ_CHECK(listing != nullptr);
        while (const dirent* entry = readdir(listing))
            if (entry->d_name[0] != '.') mStore = sets + "/" + entry->d_name;
        closedir(listing);
        KIVO_FUZZ_CHECK(!mStore.empty());
    }

    static int Remove(const char* aPath, const struct stat*, int, struct FTW*) { return remove(aPath); }

    static uint16_t Status(const TqEngine::Reply& aReply) {
        if (aReply.ack.size() < 2) return 0xFFFF;
        return static_cast<uint16_t>((aReply.ack[0] << 8) | aReply.ack[1]);
    }

    Source mSource;
    Maker mMaker;
    TqSoftDeviceGEV mDevice;
    std::shared_ptr<TqEngine::Device> mEngine;
    std::string mStore;
    uint16_t mRequest = 0;
    int mSocket = -1;
};

}  // namespace KivoFuzz
