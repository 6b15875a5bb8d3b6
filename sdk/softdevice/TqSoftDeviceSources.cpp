// What a running software device asks its stream sources (the start sequence asks the rest).
//
// The source owns its image format and chunk settings: a controller's write of Width, Height,
// OffsetX, OffsetY, PixelFormat, ChunkModeActive or ChunkEnable (the feature, or its register) is
// first checked by the engine (its range; while acquiring or TLParamsLocked the busy rule refuses it
// unasked), then handed to the source's setter, and only an OK makes it the register's value; any
// other answer refuses the write and leaves the register as it was. A read asks the source's getter.
// The local side's accesses (the device's own code, a user-set load) take the same way, so whatever
// writes these registers is heard by the source. ChunkSelector picks the chunk ChunkEnable shows.
// A controller's access of one of these registers that has event sinks (ITqRegister::AddEventSink)
// runs them as well: PreRead before the getter and PostRead after it; after the setter's OK PreWrite,
// whose refusal sets the value before back through the setter and refuses the write, then PostWrite.
//
// A stream channel opens (OnOpen with the destination's dotted address and port) once a controller
// has set both its SCDA and SCP registers, and closes (OnClose) when either returns to 0, when the
// controller's session ends and when the device stops; a new destination while open closes and opens
// again. The SCCFG bits of a multi-part source reach SetMultiPartAllowed and
// SetLargeLeaderTrailerEnabled; its SCC register (read-only) shows both as supported.
//
// A source that fails on a device thread (throws, or its director reports a wrong result) is logged
// once per call (logger "TqSoftDeviceGEV") and counts as a refusal; the device goes on.
#include "TqSoftDeviceImpl.h"

#include "TqLogger.h"
#include "TqPixelLayout.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>
#include <vector>

namespace TqSoftDevice {

namespace {

namespace Gvcp = TqEngine::Gvcp;
namespace Reg = TqEngine::Reg;

// Each channel's chunk registers (the mode, the selected chunk, its enable), outside the engine's
// memory beside the payload size registers.
constexpr uint32_t kChunkBase = 0x32000100;
constexpr uint32_t kChunkStride = 16;
constexpr uint32_t kChunkMode = 0, kChunkSelector = 4, kChunkEnable = 8, kChunkSize = 12;

// Bytes a multi-part leader has besides its parts, and bytes per part (with the IP, UDP and extended
// GVSP headers, what one packet of the SCPS size leaves decides how many parts it can describe).
constexpr uint32_t kLeaderFixed =
    TqGvsp::kIpUdpOverhead + TqGvsp::kExtendedHeaderSize + TqGvsp::MultiPartLeader::kPartsAt;
constexpr uint32_t kLeaderPart = TqGvsp::PartEntry::kSize, kPartsWithoutLargeLeader = 10;

using TqWire::Get32;
using TqWire::Put32;

bool GenICamName(const std::string& aName) {
    return !aName.empty() && std::isalpha(static_cast<unsigned char>(aName[0])) &&
           std::all_of(aName.begin(), aName.end(), [](unsigned char c) { return std::isalnum(c) || c == '_'; });
}

TqLogger& Log() {
    static auto* logger = new TqLogger(TqString("TqSoftDeviceGEV"));   // lives as long as the process
    return *logger;
}

// The status a refused setter answers the controller.
uint16_t Refusal(const TqResult& aResult) {
    if (aResult.IsOK()) return Gvcp::kSuccess;
    return aResult.GetCode() == TQ_INVALID_PARAMETER ? Gvcp::kInvalidParameter : Gvcp::kError;
}

}  // namespace

std::string CheckChunkNames(const std::vector<std::pair<uint32_t, std::string>>& aChunks) {
    for (const auto& [id, name] : aChunks) {
        if (GenICamName(name)) continue;
        char text[96];
        std::snprintf(text, sizeof text, " chunk 0x%X has no GenICam name ('", id);
        return text + name + "': a letter, then letters, digits and '_')";
    }
    return {};
}

// The selector's entry of a chunk: its name without the "Chunk" prefix when a name remains.
void DescribeSourceFeatures(TqEngine::Description& aDescription, const SourceFacts& aFacts) {
    aDescription.multiPart = aDescription.multiPart || aFacts.multiPart;
    for (const auto& chunk : aFacts.chunks) {   // no structured binding: clang 14 captures none in a lambda
        const uint32_t id = chunk.first;
        const std::string& name = chunk.second;
        const std::string entry = name.rfind("Chunk", 0) == 0 && GenICamName(name.substr(5)) ? name.substr(5) : name;
        auto& entries = aDescription.chunkEntries;
        if (std::none_of(entries.begin(), entries.end(),
                         [&](const auto& aEntry) { return aEntry.first == id || aEntry.second == entry; }))
            entries.emplace_back(id, entry);
        aDescription.chunkBase = kChunkBase;
    }
}

// The registers the sources own, and what the device keeps of each channel: the chunk the selector
// picks, the SCCFG bits, and where the channel is open to.
class SourceSide final : public TqEngine::RegisterHandler {
public:
    SourceSide(std::shared_ptr<Gate> aGate, std::vector<SourceFacts> aFacts) : mGate(std::move(aGate)) {
        for (SourceFacts& facts : aFacts) {
            Channel channel;
            for (const auto& [id, name] : facts.chunks) channel.chunks.push_back(id);
            channel.selected = channel.chunks.empty() ? 0 : channel.chunks[0];
            channel.multiPart = facts.multiPart;
            mChannels.push_back(std::move(channel));
        }
    }

    // The ranges local accesses reach too, and those only a controller's do.
    std::vector<TqEngine::AddressRange> OwnRanges() const {
        std::vector<TqEngine::AddressRange> ranges;
        for (uint32_t n = 0; n < mChannels.size(); ++n) {
            ranges.push_back({Reg::Format(n, Reg::kWidth), Reg::kPixelFormat + 4 - Reg::kWidth});
            ranges.push_back({kChunkBase + kChunkStride * n, kChunkSize});
            ranges.push_back({Reg::Scc(n), 8});   // SCC and SCCFG
        }
        return ranges;
    }
    std::vector<TqEngine::AddressRange> DestinationRanges() const {
        std::vector<TqEngine::AddressRange> ranges;
        for (uint32_t n = 0; n < mChannels.size(); ++n) {
            ranges.push_back({Reg::Scp(n), 4});
            ranges.push_back({Reg::Scda(n), 4});
        }
        return ranges;
    }

    uint16_t Read(uint32_t aAddress, uint8_t* aData, size_t aSize, const TqEngine::Peer& aPeer) override {
        return Each(aAddress, aData, aSize, false, aPeer, [&](Core& d, Run& aRun, uint32_t aAt, uint8_t* aWord) {
            uint32_t value = 0;
            const uint16_t status = ReadWord(d, aRun, aAt, value);
            if (status == Gvcp::kSuccess) Put32(aWord, value);
            return status;
        });
    }
    uint16_t Write(uint32_t aAddress, const uint8_t* aData, size_t aSize, const TqEngine::Peer& aPeer) override {
        std::vector<uint8_t> data(aData, aData + aSize);
        return Each(aAddress, data.data(), aSize, true, aPeer, [&](Core& d, Run& aRun, uint32_t aAt, uint8_t* aWord) {
            return WriteWord(d, aRun, aAt, Get32(aWord));
        });
    }

    bool MultiPartAllowed(uint32_t n) {
        std::lock_guard guard(mLock);
        return n < mChannels.size() && (mChannels[n].sccfg & Reg::kSccfgMultiPart);
    }

    // Every open channel closes.
    void CloseAll(Core& d, Run& aRun) {
        for (uint32_t n = 0; n < mChannels.size(); ++n) {
            bool wasOpen;
            {
                std::lock_guard guard(mLock);
                wasOpen = std::exchange(mChannels[n].open, false);
            }
            if (wasOpen) Ask(d, aRun, n, "OnClose", [&](ITqStreamingChannelSource& s) { s.OnClose(); });
        }
    }

private:
    struct Channel {
        std::vector<uint32_t> chunks;   // the IDs the source listed
        uint32_t selected = 0;          // ChunkSelector
        bool multiPart = false;
        uint32_t sccfg = 0;             // the SCCFG bits taken
        bool open = false;              // OnOpen told, OnClose not yet
        uint32_t address = 0;           // where it is open to
        uint16_t port = 0;
    };

    // Each word of an access (aData: read into, or written), inside the device's gate (closed:
    // kError); a controller's (the local side has address 0) with the sinks of its registers.
    template <class Word>
    uint16_t Each(uint32_t aAddress, uint8_t* aData, size_t aSize, bool aWrite, const TqEngine::Peer& aPeer, Word aWord) {
        uint16_t status = Gvcp::kError;
        mGate->Enter([&](Core& d) {
            std::shared_ptr<Run> run;
            {
                std::lock_guard guard(d.lock);
                run = d.run;
            }
            if (!run) return;
            for (size_t at = 0; at < aSize; at += 4) {
                const uint32_t address = uint32_t(aAddress + at);
                const auto serve = [&](uint8_t* aBytes) { return aWord(d, *run, address, aBytes); };
                status = aPeer.address && run->registers ? run->registers->AroundSinks(address, aData + at, aWrite, serve)
                                                         : serve(aData + at);
                if (status != Gvcp::kSuccess) return;
            }
        });
        return status;
    }

    // A call of channel n's source; a failure is logged once and answers false.
    template <class Call>
    static bool Ask(Core& d, Run& aRun, uint32_t n, const char* aOperation, Call aCall) {
        const std::string what = "stream source " + std::to_string(n) + " " + aOperation;
        std::string failure;
        if (Guarded(&d, what, [&] { aCall(*aRun.sources[n]); }, failure)) return true;
        Log().LogError("TqSoftDeviceGEV", int(n), failure.c_str(), nullptr);
        return false;
    }
    // A setter's answer as the status of the write.
    template <class Call>
    static uint16_t Setter(Core& d, Run& aRun, uint32_t n, const char* aOperation, Call aCall) {
        TqResult result;
        if (!Ask(d, aRun, n, aOperation, [&](ITqStreamingChannelSource& s) { result = aCall(s); })) return Gvcp::kError;
        return Refusal(result);
    }

    static bool Locked(Run& aRun) {
        uint32_t locked = 0, acquiring = 0;
        aRun.device->ReadRegister(Reg::kTLParamsLocked, locked);
        aRun.device->ReadRegister(Reg::kAcquisitionStatus, acquiring);
        return locked || acquiring;
    }

    // Which kind of register aAddress is, and its channel.
    enum class Kind { kNone, kFormat, kChunk, kScc, kSccfg, kPort, kDestination };
    Kind KindOf(uint32_t aAddress, uint32_t& aChannel, uint32_t& aRegister) const {
        for (uint32_t n = 0; n < mChannels.size(); ++n) {
            aChannel = n;
            aRegister = aAddress - Reg::kFormatStride * n;
            if (aAddress >= Reg::Format(n, Reg::kWidth) && aAddress <= Reg::Format(n, Reg::kPixelFormat))
                return Kind::kFormat;
            aRegister = aAddress - (kChunkBase + kChunkStride * n);
            if (aAddress >= kChunkBase + kChunkStride * n && aRegister < kChunkSize) return Kind::kChunk;
            if (aAddress == Reg::Scc(n)) return Kind::kScc;
            if (aAddress == Reg::Sccfg(n)) return Kind::kSccfg;
            if (aAddress == Reg::Scp(n)) return Kind::kPort;
            if (aAddress == Reg::Scda(n)) return Kind::kDestination;
        }
        return Kind::kNone;
    }

    uint16_t ReadWord(Core& d, Run& aRun, uint32_t aAddress, uint32_t& aValue) {
        uint32_t n, reg;
        const Kind kind = KindOf(aAddress, n, reg);
        auto ask = [&](const char* aOperation, auto aGetter) {
            return Ask(d, aRun, n, aOperation, [&](ITqStreamingChannelSource& s) { aValue = uint32_t(aGetter(s)); })
                       ? uint16_t(Gvcp::kSuccess)
                       : uint16_t(Gvcp::kError);
        };
        switch (kind) {
        case Kind::kFormat:
            switch (reg) {
            case Reg::kWidth: return ask("GetWidth", [](auto& s) { return s.GetWidth(); });
            case Reg::kHeight: return ask("GetHeight", [](auto& s) { return s.GetHeight(); });
            case Reg::kOffsetX: return ask("GetOffsetX", [](auto& s) { return s.GetOffsetX(); });
            case Reg::kOffsetY: return ask("GetOffsetY", [](auto& s) { return s.GetOffsetY(); });
            default: return ask("GetPixelType", [](auto& s) { return TqPixel::ToWire(s.GetPixelType()); });
            }
        case Kind::kChunk:
            if (reg == kChunkMode) return ask("GetChunkModeActive", [](auto& s) { return s.GetChunkModeActive(); });
            if (reg == kChunkSelector) {
                std::lock_guard guard(mLock);
                aValue = mChannels[n].selected;
                return Gvcp::kSuccess;
            }
            return ask("GetChunkEnable", [&](auto& s) { return s.GetChunkEnable(Selected(n)); });
        case Kind::kScc: {   // what a multi-part source can do
            std::lock_guard guard(mLock);
            aValue = mChannels[n].multiPart ? Reg::kSccfgMultiPart | Reg::kSccfgLargeLeaderTrailer : 0;
            return Gvcp::kSuccess;
        }
        case Kind::kSccfg: {
            std::lock_guard guard(mLock);
            aValue = mChannels[n].sccfg;
            return Gvcp::kSuccess;
        }
        case Kind::kPort:
        case Kind::kDestination: return aRun.device->ReadRegister(aAddress, aValue);
        default: return Gvcp::kInvalidAddress;
        }
    }

    uint16_t WriteWord(Core& d, Run& aRun, uint32_t aAddress, uint32_t aValue) {
        uint32_t n, reg;
        switch (KindOf(aAddress, n, reg)) {
        case Kind::kFormat: return WriteFormat(d, aRun, n, reg, aAddress, aValue);
        case Kind::kChunk: return WriteChunk(d, aRun, n, reg, aValue);
        case Kind::kScc: return Gvcp::kWriteProtect;
        case Kind::kSccfg: return WriteSccfg(d, aRun, n, aValue);
        case Kind::kPort:
        case Kind::kDestination: {
            // The engine keeps the destination (this thread's own writes reach its memory).
            const uint16_t status = aRun.device->WriteRegister(aAddress, aValue);
            if (status == Gvcp::kSuccess) Reconcile(d, aRun, n);
            return status;
        }
        default: return Gvcp::kInvalidAddress;
        }
    }

    uint16_t WriteFormat(Core& d, Run& aRun, uint32_t n, uint32_t aRegister, uint32_t aAddress, uint32_t aValue) {
        if (const uint16_t checked = aRun.device->CheckRegister(aAddress, aValue); checked != Gvcp::kSuccess)
            return checked;
        uint16_t status;
        switch (aRegister) {
        case Reg::kWidth: status = Setter(d, aRun, n, "SetWidth", [&](auto& s) { return s.SetWidth(aValue); }); break;
        case Reg::kHeight: status = Setter(d, aRun, n, "SetHeight", [&](auto& s) { return s.SetHeight(aValue); }); break;
        case Reg::kOffsetX:
            status = Setter(d, aRun, n, "SetOffsetX", [&](auto& s) { return s.SetOffsetX(aValue); });
            break;
        case Reg::kOffsetY:
            status = Setter(d, aRun, n, "SetOffsetY", [&](auto& s) { return s.SetOffsetY(aValue); });
            break;
        default:
            status = Setter(d, aRun, n, "SetPixelType",
                            [&](auto& s) { return s.SetPixelType(TqPixel::FromWire(aValue)); });
        }
        return status == Gvcp::kSuccess ? aRun.device->WriteRegister(aAddress, aValue) : status;
    }

    uint16_t WriteChunk(Core& d, Run& aRun, uint32_t n, uint32_t aRegister, uint32_t aValue) {
        if (aRegister == kChunkSelector) {
            std::lock_guard guard(mLock);
            Channel& channel = mChannels[n];
            if (std::find(channel.chunks.begin(), channel.chunks.end(), aValue) == channel.chunks.end())
                return Gvcp::kInvalidParameter;
            channel.selected = aValue;
            return Gvcp::kSuccess;
        }
        if (aValue > 1) return Gvcp::kInvalidParameter;
        if (Locked(aRun)) return Gvcp::kBusy;
        if (aRegister == kChunkMode)
            return Setter(d, aRun, n, "SetChunkModeActive", [&](auto& s) { return s.SetChunkModeActive(aValue != 0); });
        return Setter(d, aRun, n, "SetChunkEnable", [&](auto& s) { return s.SetChunkEnable(Selected(n), aValue != 0); });
    }

    // Multi-part allowed (slot SetMultiPartAllowed), and large leader and trailer (only with it).
    uint16_t WriteSccfg(Core& d, Run& aRun, uint32_t n, uint32_t aValue) {
        constexpr uint32_t kBits = Reg::kSccfgMultiPart | Reg::kSccfgLargeLeaderTrailer;
        uint32_t before;
        {
            std::lock_guard guard(mLock);
            if (!mChannels[n].multiPart && aValue) return Gvcp::kInvalidParameter;
            before = mChannels[n].sccfg;
        }
        if ((aValue & ~kBits) || ((aValue & Reg::kSccfgLargeLeaderTrailer) && !(aValue & Reg::kSccfgMultiPart)))
            return Gvcp::kInvalidParameter;
        if (aValue == before) return Gvcp::kSuccess;
        if (Locked(aRun)) return Gvcp::kBusy;
        const bool multiPart = aValue & Reg::kSccfgMultiPart, large = aValue & Reg::kSccfgLargeLeaderTrailer;
        if (multiPart != bool(before & Reg::kSccfgMultiPart) &&
            !Ask(d, aRun, n, "SetMultiPartAllowed", [&](auto& s) { s.SetMultiPartAllowed(multiPart); }))
            return Gvcp::kError;
        if (large != bool(before & Reg::kSccfgLargeLeaderTrailer)) {
            uint32_t packet = 0;
            aRun.device->ReadRegister(Reg::Scps(n), packet);
            packet &= 0xFFFF;
            const uint32_t parts =
                std::max(kPartsWithoutLargeLeader, packet > kLeaderFixed ? (packet - kLeaderFixed) / kLeaderPart : 0);
            if (!Ask(d, aRun, n, "SetLargeLeaderTrailerEnabled",
                     [&](auto& s) { s.SetLargeLeaderTrailerEnabled(large, parts); }))
                return Gvcp::kError;
        }
        std::lock_guard guard(mLock);
        mChannels[n].sccfg = aValue;
        return Gvcp::kSuccess;
    }

    // The channel's destination after a write of SCDA or SCP: open once both are set.
    void Reconcile(Core& d, Run& aRun, uint32_t n) {
        uint32_t port = 0, address = 0;
        aRun.device->ReadRegister(Reg::Scp(n), port);
        aRun.device->ReadRegister(Reg::Scda(n), address);
        port &= 0xFFFF;
        bool close, open;
        {
            std::lock_guard guard(mLock);
            Channel& channel = mChannels[n];
            const bool wanted = port && address;
            const bool moved = wanted && (channel.address != address || channel.port != port);
            close = channel.open && (!wanted || moved);
            open = wanted && (!channel.open || moved);
            channel.open = wanted;
            channel.address = address;
            channel.port = uint16_t(port);
        }
        if (close) Ask(d, aRun, n, "OnClose", [](auto& s) { s.OnClose(); });
        if (open) {
            const TqString destination(TqEngine::FormatAddress(address).c_str());
            Ask(d, aRun, n, "OnOpen", [&](auto& s) { s.OnOpen(destination, uint16_t(port)); });
        }
    }

    uint32_t Selected(uint32_t n) {
        std::lock_guard guard(mLock);
        return mChannels[n].selected;
    }

    std::shared_ptr<Gate> mGate;
    std::mutex mLock;   // the channels' state, never held while a source is called
    std::vector<Channel> mChannels;
};

bool InstallSourceSide(Core& aDevice, Run& aRun, std::vector<SourceFacts> aFacts) {
    (void)aDevice;
    auto side = std::make_shared<SourceSide>(aRun.gate, std::move(aFacts));
    if (!aRun.device->AddRegisterHandler(side->OwnRanges(), side, true) ||
        !aRun.device->AddRegisterHandler(side->DestinationRanges(), side))
        return false;
    aRun.sourceSide = std::move(side);
    return true;
}

bool MultiPartAllowed(const Run& aRun, uint32_t aChannel) {
    return aRun.sourceSide && aRun.sourceSide->MultiPartAllowed(aChannel);
}

void SourcesSessionEnded(Core& aDevice) {
    std::shared_ptr<Run> run;
    {
        std::lock_guard guard(aDevice.lock);
        run = aDevice.run;
    }
    if (run && run->sourceSide) run->sourceSide->CloseAll(aDevice, *run);
}

void CloseSources(Core& aDevice, Run& aRun) {
    if (aRun.sourceSide) aRun.sourceSide->CloseAll(aDevice, aRun);
}

}  // namespace TqSoftDevice
