// The device: its register map, the GVCP dispatcher and the control privilege.
#include "TqEngineImpl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>

namespace TqEngine {

namespace {

uint64_t SteadyNanoseconds() {
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

uint64_t SteadyMilliseconds() { return SteadyNanoseconds() / 1000000; }

void PutString(std::vector<uint8_t>& aBoot, uint32_t aAddress, size_t aSize, const std::string& aText) {
    TqWire::TextField{aAddress, aSize}.Put(aBoot.data(), aText);
}

constexpr uint32_t kGvcpCapabilities = (1u << 31)    // user-defined name register
                                       | (1u << 30)  // serial number register
                                       | (1u << 21)  // primary application switch-over
                                       | (1u << 4)   // EVENTDATA
                                       | (1u << 3)   // EVENT
                                       | (1u << 2)   // PACKETRESEND
                                       | (1u << 1)   // WRITEMEM
                                       | (1u << 0);  // several operations in one READREG/WRITEREG

// The engine's own memory lies outside the reserved range.
static_assert(Reg::kBootstrapSize <= Reg::kReservedBegin && Reg::kFeatureBase >= Reg::kReservedEnd &&
              Reg::kXmlBase >= Reg::kReservedEnd && Serial::kBase >= Reg::kReservedEnd &&
              Reg::kFirmwareVersion >= Reg::kReservedEnd);


bool InRange(uint32_t aAddress, uint64_t aSize, uint32_t aBase, uint64_t aLength) {
    return aAddress >= aBase && uint64_t(aAddress) + aSize <= uint64_t(aBase) + aLength;
}

}  // namespace

const char* Pfnc::Name(uint32_t aFormat) {
    switch (aFormat) {
    case kMono8: return "Mono8";
    case kMono16: return "Mono16";
    case kRGB8: return "RGB8";
    case kBayerRG8: return "BayerRG8";
    case kRGBa16: return "RGBa16";
    default: return nullptr;
    }
}

bool Pfnc::IsSupported(uint32_t aFormat) { return Name(aFormat) != nullptr; }

std::string FormatAddress(uint32_t aAddress) {
    char text[20];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", aAddress >> 24, (aAddress >> 16) & 0xFF, (aAddress >> 8) & 0xFF,
                  aAddress & 0xFF);
    return text;
}

bool ParseAddress(const std::string& aText, uint32_t& aAddress) {
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(aText.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255)
        return false;
    aAddress = (a << 24) | (b << 16) | (c << 8) | d;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Construction: the channels' images made whole, then the registers.

namespace {

// A channel's image within the engine's limits: its formats those the engine makes or the device
// names, its current format among them, a sensor that holds the image and a packet size maximum
// in the range SCPS allows.
ChannelConfig Settled(ChannelConfig c, const std::map<uint32_t, std::string>& aNames) {
    auto offered = [&](uint32_t aFormat) { return Pfnc::IsSupported(aFormat) || aNames.count(aFormat) != 0; };
    if (!offered(c.pixelFormat)) c.pixelFormat = Pfnc::kMono8;
    std::erase_if(c.pixelFormats, [&](uint32_t aFormat) { return !offered(aFormat); });
    if (std::find(c.pixelFormats.begin(), c.pixelFormats.end(), c.pixelFormat) == c.pixelFormats.end())
        c.pixelFormats.push_back(c.pixelFormat);
    c.width = std::clamp<uint32_t>(c.width, 1, 16384);
    c.height = std::clamp<uint32_t>(c.height, 1, 16384);
    if (c.sensorWidth == 0) c.sensorWidth = std::max<uint32_t>(c.width, 4096);
    if (c.sensorHeight == 0) c.sensorHeight = std::max<uint32_t>(c.height, 4096);
    c.sensorWidth = std::max(c.sensorWidth, c.width);
    c.sensorHeight = std::max(c.sensorHeight, c.height);
    c.packetSizeMax = std::clamp(c.packetSizeMax, Reg::kMinPacketSize, Reg::kPacketSizeLimit);
    return c;
}

}  // namespace

Device::Impl::Impl(const DeviceConfig& aConfig) : config(aConfig) {
    DeviceConfig& c = config;
    std::erase_if(c.pixelFormatNames, [](const auto& aEntry) { return aEntry.second.empty(); });
    const ChannelConfig common = c;
    c.streamChannels = std::min(c.streamChannels, Reg::kMaxStreamChannels);
    c.channels.resize(c.streamChannels, common);   // from here on the channels' images are the ones that count
    for (ChannelConfig& channel : c.channels) channel = Settled(channel, c.pixelFormatNames);

    xml = BuildXml(c);
    clock = SteadyMilliseconds;
    timestampOrigin = SteadyNanoseconds();
    InitRegisters();

    for (uint32_t n = 0; n < c.streamChannels; ++n) {
        channels.push_back(std::make_unique<Channel>());
        channels.back()->index = n;
    }
    active.assign(c.streamChannels, false);
    // A peer that cannot guess the IDs of the device's commands cannot acknowledge them.
    messageRequestId = uint16_t(std::random_device()());
}

void Device::Impl::InitRegisters() {
    const DeviceConfig& c = config;
    boot.assign(Reg::kBootstrapSize, 0);
    const uint64_t mac = Gvcp::MacNumber(c.identity.mac);
    SetBoot32(Reg::kVersion, 0x00010002);  // GigE Vision 1.2
    SetBoot32(Reg::kDeviceMode, 0x80000001);  // big-endian registers, UTF-8 strings, transmitter
    SetBoot32(Reg::kMacHigh, uint32_t(mac >> 32));
    SetBoot32(Reg::kMacLow, uint32_t(mac));
    SetBoot32(Reg::kIpCapability, 0x7);     // persistent IP, DHCP, link-local
    SetBoot32(Reg::kIpConfiguration, 0x5);  // persistent IP, link-local
    SetBoot32(Reg::kCurrentIp, c.address);
    SetBoot32(Reg::kSubnetMask, 0xFF000000);
    PutString(boot, Reg::kManufacturerName, 32, c.identity.manufacturer);
    PutString(boot, Reg::kModelName, 32, c.identity.model);
    PutString(boot, Reg::kDeviceVersion, 32, c.identity.version);
    PutString(boot, Reg::kManufacturerInfo, 48, c.identity.manufacturerInfo);
    PutString(boot, Reg::kSerialNumber, 16, c.identity.serial);
    PutString(boot, Reg::kUserName, 16, c.identity.userName);
    char url[96];
    std::snprintf(url, sizeof url, "Local:kivo_device.xml;%X;%X", unsigned(Reg::kXmlBase), unsigned(xml.size()));
    PutString(boot, Reg::kFirstUrl, 512, url);
    SetBoot32(Reg::kNetworkInterfaces, 1);
    SetBoot32(Reg::kMessageChannels, 1);
    SetBoot32(Reg::kStreamChannels, c.streamChannels);
    SetBoot32(Reg::kGvcpCapability, kGvcpCapabilities);
    SetBoot32(Reg::kGvspCapability, Reg::kGvspSourcePorts | Reg::kGvspStandardIds);
    SetBoot32(Reg::kHeartbeatTimeout, 3000);
    SetBoot32(Reg::kTickFrequencyHigh, 0);
    SetBoot32(Reg::kTickFrequencyLow, 1000000000);  // timestamps count nanoseconds
    SetBoot32(Reg::kMctt, 300);
    SetBoot32(Reg::kMcrc, 3);
    for (uint32_t n = 0; n < c.streamChannels; ++n) SetBoot32(Reg::Scps(n), Reg::kDefaultPacketSize);

    features.assign(Reg::kFeatureSize / 4, 0);
    Feature(Reg::kFramePeriod) = 33333;
    Feature(Reg::kExposureTime) = 10000;
    Feature(Reg::kFrameRateEnable) = 1;
    formats.assign(c.streamChannels, {});
    for (uint32_t n = 0; n < c.streamChannels; ++n) {
        const ChannelConfig& channel = c.channels[n];
        Format(n, Reg::kWidth) = channel.width;
        Format(n, Reg::kHeight) = channel.height;
        Format(n, Reg::kPixelFormat) = channel.pixelFormat;
        Format(n, Reg::kSensorWidth) = channel.sensorWidth;
        Format(n, Reg::kSensorHeight) = channel.sensorHeight;
    }
    sourceSelector = 0;
    firmware.fill(0);
    std::memcpy(firmware.data(), c.identity.firmwareVersion.data(),
                std::min(c.identity.firmwareVersion.size(), firmware.size() - 1));
}

bool Device::Impl::FormatRegisterOf(uint32_t aAddress, uint32_t& aChannel, uint32_t& aRegister) const {
    if (aAddress < Reg::kFeatureBase || aAddress - Reg::kFeatureBase >= Reg::kFormatStride * ChannelCount()) return false;
    aChannel = (aAddress - Reg::kFeatureBase) / Reg::kFormatStride;
    aRegister = aAddress - Reg::kFormatStride * aChannel;
    return Reg::IsFormatRegister(aRegister);
}

uint64_t Device::Impl::Timestamp() const { return SteadyNanoseconds() - timestampOrigin; }

std::chrono::nanoseconds Device::Impl::PacketDelay(uint32_t aChannel) const {
    const uint64_t ticks = Boot32(Reg::Scpd(aChannel));
    uint64_t frequency = uint64_t(Boot32(Reg::kTickFrequencyHigh)) << 32 | Boot32(Reg::kTickFrequencyLow);
    if (frequency == 0) frequency = 1000000000;
    return std::chrono::nanoseconds(uint64_t((unsigned __int128)ticks * 1000000000u / frequency));
}

void Device::Impl::SetCurrentIp(uint32_t aAddress, uint32_t aMask, uint32_t aGateway) {
    SetBoot32(Reg::kCurrentIp, aAddress);
    SetBoot32(Reg::kSubnetMask, aMask);
    SetBoot32(Reg::kGateway, aGateway);
}

// ---------------------------------------------------------------------------------------------
// Register access (mutex held; addresses and sizes are multiples of 4).

uint16_t Device::Impl::ReadWord(uint32_t aAddress, uint32_t& aValue) const {
    if (aAddress < Reg::kBootstrapSize) {
        aValue = aAddress == Reg::kCcp ? (controller.address ? ccp : 0) : Boot32(aAddress);
        return Gvcp::kSuccess;
    }
    if (InRange(aAddress, 4, Reg::kFeatureBase, Reg::kFeatureSpan)) {
        uint32_t channel, reg;
        if (FormatRegisterOf(aAddress, channel, reg)) {
            aValue = Format(channel, reg);
        } else if (InRange(aAddress, 4, Reg::kFeatureBase, Reg::kFeatureSize) && !Reg::IsFormatRegister(aAddress)) {
            aValue = aAddress == Reg::kAcquisitionStatus ? uint32_t(acquiring) : Feature(aAddress);
            if (aAddress == Reg::kAcquisitionStart || aAddress == Reg::kAcquisitionStop) aValue = 0;
        } else if (aAddress == Reg::kSourceSelector) {
            aValue = sourceSelector;
        } else if (aAddress == Reg::kDeviceReset) {
            aValue = 0;
        } else if (aAddress >= Reg::PacketSizeMax(0) && aAddress < Reg::PacketSizeMax(ChannelCount())) {
            aValue = config.channels[(aAddress - Reg::PacketSizeMax(0)) / 4].packetSizeMax;
        } else {
            return Gvcp::kInvalidAddress;
        }
        return Gvcp::kSuccess;
    }
    uint8_t bytes[4];
    uint16_t status = ReadBytes(aAddress, bytes, 4);
    if (status == Gvcp::kSuccess) aValue = Get32(bytes);
    return status;
}

uint16_t Device::Impl::ReadBytes(uint32_t aAddress, uint8_t* aData, size_t aSize) const {
    if (InRange(aAddress, aSize, 0, Reg::kBootstrapSize) ||
        InRange(aAddress, aSize, Reg::kFeatureBase, Reg::kFeatureSpan)) {
        for (size_t i = 0; i < aSize; i += 4) {
            uint32_t value = 0;
            if (uint16_t status = ReadWord(uint32_t(aAddress + i), value)) return status;
            Put32(aData + i, value);
        }
        return Gvcp::kSuccess;
    }
    uint32_t port, offset;
    if (SerialPortOf(aAddress, port, offset) && uint64_t(offset) + aSize <= Serial::kRegistersSize) {
        for (size_t i = 0; i < aSize; i += 4) Put32(aData + i, SerialWord(port, uint32_t(offset + i)));
        return Gvcp::kSuccess;
    }
    const uint64_t xmlSize = xml.size();
    if (InRange(aAddress, aSize, Reg::kXmlBase, xmlSize)) {
        std::memcpy(aData, xml.data() + (aAddress - Reg::kXmlBase), aSize);
        return Gvcp::kSuccess;
    }
    if (InRange(aAddress, aSize, Reg::kFirmwareVersion, firmware.size())) {
        std::memcpy(aData, firmware.data() + (aAddress - Reg::kFirmwareVersion), aSize);
        return Gvcp::kSuccess;
    }
    if (aAddress >= Reg::kReservedBegin && aAddress < Reg::kReservedEnd) {   // added memory, block by block
        for (size_t i = 0; i < aSize;) {
            const AddedMemory* block = AddedAt(uint32_t(aAddress + i), 4);
            if (!block) return Gvcp::kInvalidAddress;
            const size_t n = std::min<uint64_t>(aSize - i, block->End() - (aAddress + i));
            std::memcpy(aData + i, &block->bytes[aAddress + i - block->begin], n);
            i += n;
        }
        return Gvcp::kSuccess;
    }
    return Gvcp::kInvalidAddress;
}

AddedMemory* Device::Impl::AddedAt(uint32_t aAddress, uint64_t aSize) {
    return const_cast<AddedMemory*>(static_cast<const Impl*>(this)->AddedAt(aAddress, aSize));
}

const AddedMemory* Device::Impl::AddedAt(uint32_t aAddress, uint64_t aSize) const {
    for (const AddedMemory& block : added)
        if (InRange(aAddress, aSize, block.begin, block.bytes.size())) return &block;
    return nullptr;
}

bool Device::Impl::StoreRaw(uint32_t aAddress, const uint8_t* aData, size_t aSize, bool aApply) {
    auto copy = [&](void* aInto) {
        if (aApply) std::memcpy(aInto, aData, aSize);
        return true;
    };
    if (InRange(aAddress, aSize, 0, Reg::kBootstrapSize)) return copy(&boot[aAddress]);
    if (InRange(aAddress, aSize, Reg::kXmlBase, xml.size())) return copy(xml.data() + (aAddress - Reg::kXmlBase));
    if (InRange(aAddress, aSize, Reg::kFirmwareVersion, firmware.size()))
        return copy(firmware.data() + (aAddress - Reg::kFirmwareVersion));
    for (size_t i = 0; i < aSize; i += 4) {   // word by word: feature registers and added memory
        const uint32_t at = uint32_t(aAddress + i);
        uint32_t channel, reg, *word = nullptr;
        if (FormatRegisterOf(at, channel, reg))
            word = &Format(channel, reg);
        else if (InRange(at, 4, Reg::kFeatureBase, Reg::kFeatureSize) && !Reg::IsFormatRegister(at))
            word = &Feature(at);
        AddedMemory* block = word ? nullptr : AddedAt(at, 4);
        if (!word && !block) return false;
        if (!aApply) continue;
        if (word)
            *word = Get32(aData + i);
        else
            std::memcpy(&block->bytes[at - block->begin], aData + i, 4);
    }
    return true;
}

namespace {

// One write of a register word being validated (actions null) or applied. peer null: the local side.
struct WordWrite {
    Device::Impl& d;
    uint32_t address, value;
    const Peer* peer;
    unsigned* actions;
    bool Applying() const { return actions != nullptr; }
    // Keeps aStored in the bootstrap register written (when applied).
    uint16_t Store(uint32_t aStored) const {
        if (Applying()) d.SetBoot32(address, aStored);
        return Gvcp::kSuccess;
    }
    // Keeps the value in aStored when aValid (when applied).
    uint16_t Checked(bool aValid, uint32_t& aStored) const {
        if (!aValid) return Gvcp::kInvalidParameter;
        if (Applying()) aStored = value;
        return Gvcp::kSuccess;
    }
    bool Within(uint32_t aLow, uint32_t aHigh) const { return value >= aLow && value <= aHigh; }
};

// Memory the embedding code added.
uint16_t AddedMemoryWrite(const WordWrite& w) {
    AddedMemory* block = w.d.AddedAt(w.address, 4);
    if (!block) return Gvcp::kInvalidAddress;
    if (block->readOnly) return Gvcp::kWriteProtect;
    if (w.Applying()) Put32(&block->bytes[w.address - block->begin], w.value);
    return Gvcp::kSuccess;
}

// CCP: taking, changing and releasing control, and the switch-over.
uint16_t ControlPrivilegeWrite(const WordWrite& w) {
    Device::Impl& d = w.d;
    const bool apply = w.Applying();
    const bool wants = w.value & (Reg::kCcpExclusive | Reg::kCcpControl);
    const uint32_t bits = w.value & 0x7;
    if (!w.peer) {  // the device itself can only end the session
        if (w.value != 0) return Gvcp::kInvalidParameter;
        if (apply && d.controller.address) *w.actions |= d.CloseSession(false);
        return Gvcp::kSuccess;
    }
    if (d.controller.address == 0) {
        if (apply && wants) {
            d.controller = *w.peer;
            d.ccp = bits;
            d.switchoverKey = w.value >> 16;
            d.lastSeen = d.Now();
            d.stats.sessionsOpened++;
            *w.actions |= d.Notify({Notice::kSessionOpened, *w.peer, bits});
        }
        return Gvcp::kSuccess;
    }
    if (d.controller == *w.peer) {
        if (apply) {
            if (!wants) {
                *w.actions |= d.CloseSession(false);
            } else {
                d.ccp = bits;
                d.switchoverKey = w.value >> 16;
            }
        }
        return Gvcp::kSuccess;
    }
    // Switch-over: the primary holds control (not exclusive) with switch-over enabled, and the
    // requester presents the key that the primary wrote in bits 16-31.
    const bool open = (d.ccp & Reg::kCcpControl) && !(d.ccp & Reg::kCcpExclusive) &&
                      (d.ccp & Reg::kCcpSwitchoverEnable);
    if (!open || !wants || (w.value >> 16) != d.switchoverKey) return Gvcp::kAccessDenied;
    if (apply) {
        d.stats.sessionsClosed++;
        d.stats.sessionsOpened++;
        d.Notify({Notice::kSessionClosed, d.controller});
        *w.actions |= d.Notify({Notice::kSessionOpened, *w.peer, bits});
        d.controller = *w.peer;
        d.ccp = bits;
        d.lastSeen = d.Now();
    }
    return Gvcp::kSuccess;
}

// A stream channel's registers: SCP, SCPS (and its test packet), SCPD, SCDA, SCSP.
uint16_t StreamChannelWrite(const WordWrite& w) {
    Device::Impl& d = w.d;
    const uint32_t channel = (w.address - Reg::Scp(0)) / 0x40;
    const uint32_t base = Reg::Scp(channel);
    if (w.address == base) {
        if (w.value & 0x000F0000) return Gvcp::kInvalidParameter;
        w.Store(w.value & 0xFFFF);
        if (w.Applying()) d.KeepChannelSockets();   // the channel opens or closes; its port stays
        return Gvcp::kSuccess;
    }
    if (w.address == Reg::Scps(channel)) {
        const uint32_t size = w.value & 0xFFFF;
        if (size < Reg::kMinPacketSize || size > d.config.channels[channel].packetSizeMax || size % 4 ||
            (w.value & Reg::kScpsBigEndian))
            return Gvcp::kInvalidParameter;
        if (w.Applying() && (w.value & Reg::kScpsFireTestPacket)) {
            *w.actions |= kActionTestPacket;
            d.testChannel = channel;
        }
        return w.Store(w.value & (Reg::kScpsDoNotFragment | 0xFFFF));
    }
    if (w.address == Reg::Scpd(channel)) return w.Store(w.value);
    if (w.address == Reg::Scda(channel))
        return (w.value != 0 && !IsLoopback(w.value) && !IsMulticast(w.value)) ? uint16_t(Gvcp::kInvalidParameter)
                                                                               : w.Store(w.value);
    if (w.address == Reg::Scsp(channel)) return Gvcp::kWriteProtect;
    return Gvcp::kInvalidAddress;
}

// The bootstrap registers.
uint16_t BootstrapWrite(const WordWrite& w) {
    Device::Impl& d = w.d;
    const uint32_t aAddress = w.address, aValue = w.value;
    if (aAddress >= Reg::kUserName && aAddress < Reg::kUserName + 16) return w.Store(aValue);
    switch (aAddress) {
    case Reg::kIpConfiguration:
        return (aValue & ~0x7u) ? uint16_t(Gvcp::kInvalidParameter) : w.Store(aValue);
    case Reg::kPersistentIp:
    case Reg::kPersistentMask:
    case Reg::kPersistentGateway:
    case Reg::kMctt:
    case Reg::kMcrc:
        return w.Store(aValue);
    case Reg::kHeartbeatTimeout:
        return w.Store(std::clamp(aValue, Reg::kMinHeartbeatTimeout, Reg::kMaxHeartbeatTimeout));
    case Reg::kTimestampControl:
        if (w.Applying() && (aValue & 1)) d.timestampOrigin = SteadyNanoseconds();
        if (w.Applying() && (aValue & 2)) {
            uint64_t now = d.Timestamp();
            d.SetBoot32(Reg::kTimestampHigh, uint32_t(now >> 32));
            d.SetBoot32(Reg::kTimestampLow, uint32_t(now));
        }
        return Gvcp::kSuccess;
    case Reg::kCcp:
        return ControlPrivilegeWrite(w);
    case Reg::kMcp:
        return (aValue & 0xFFFF0000) ? uint16_t(Gvcp::kInvalidParameter) : w.Store(aValue);
    case Reg::kMcda:
        return (aValue != 0 && !IsLoopback(aValue)) ? uint16_t(Gvcp::kInvalidParameter) : w.Store(aValue);
    case Reg::kGvspConfiguration:
        return (aValue & ~Reg::kGvspExtendedIds) ? uint16_t(Gvcp::kInvalidParameter) : w.Store(aValue);
    default:
        break;
    }
    if (aAddress >= Reg::Scp(0) && aAddress < Reg::Scp(d.config.streamChannels)) return StreamChannelWrite(w);
    if (aAddress >= Reg::Scp(0)) return Gvcp::kInvalidAddress;
    return Gvcp::kWriteProtect;
}

// A channel's image format register (named by channel 0's address): within the sensor, a format
// the channel offers, and busy while the parameters are locked.
uint16_t ImageFormatWrite(const WordWrite& w, uint32_t channel, uint32_t reg) {
    Device::Impl& d = w.d;
    if (reg == Reg::kSensorWidth || reg == Reg::kSensorHeight) return Gvcp::kWriteProtect;
    const bool locked = d.acquiring || d.Feature(Reg::kTLParamsLocked) != 0;
    if (locked) return Gvcp::kBusy;
    auto format = [&](uint32_t aRegister) -> uint32_t& { return d.Format(channel, aRegister); };
    const uint32_t sw = format(Reg::kSensorWidth), sh = format(Reg::kSensorHeight);
    const auto& offered = d.config.channels[channel].pixelFormats;
    switch (reg) {
    case Reg::kWidth: return w.Checked(w.Within(1, sw - format(Reg::kOffsetX)), format(reg));
    case Reg::kHeight: return w.Checked(w.Within(1, sh - format(Reg::kOffsetY)), format(reg));
    case Reg::kOffsetX: return w.Checked(w.Within(0, sw - format(Reg::kWidth)), format(reg));
    case Reg::kOffsetY: return w.Checked(w.Within(0, sh - format(Reg::kHeight)), format(reg));
    default: return w.Checked(std::find(offered.begin(), offered.end(), w.value) != offered.end(), format(reg));
    }
}

// The feature registers: image formats, source selector, reset, acquisition and the test pattern.
uint16_t FeatureWrite(const WordWrite& w) {
    Device::Impl& d = w.d;
    const uint32_t aAddress = w.address, aValue = w.value;
    const bool apply = w.Applying();
    if (uint32_t channel, reg; d.FormatRegisterOf(aAddress, channel, reg)) return ImageFormatWrite(w, channel, reg);
    if (aAddress == Reg::kSourceSelector) return w.Checked(aValue < d.ChannelCount(), d.sourceSelector);
    if (aAddress == Reg::kDeviceReset) {
        if (apply && aValue == 1) *w.actions |= d.ResetDevice();
        return Gvcp::kSuccess;
    }
    if (aAddress >= Reg::PacketSizeMax(0) && aAddress < Reg::PacketSizeMax(d.ChannelCount()))
        return Gvcp::kWriteProtect;
    if (!InRange(aAddress, 4, Reg::kFeatureBase, Reg::kFeatureSize) || Reg::IsFormatRegister(aAddress))
        return Gvcp::kInvalidAddress;
    uint32_t& stored = d.Feature(aAddress);
    switch (aAddress) {
    case Reg::kAcquisitionMode:
        return w.Checked(w.Within(0, 1), stored);
    case Reg::kAcquisitionStart:
        // While the device acquires, the senders that do not run (a provider ended theirs) start again.
        if (apply && aValue == 1) {
            d.acquiring = true;
            *w.actions |= kActionStartStreams;
        }
        return Gvcp::kSuccess;
    case Reg::kAcquisitionStop:
        if (apply && aValue == 1 && d.acquiring) {
            d.acquiring = false;
            *w.actions |= kActionStopStreams;
        }
        return Gvcp::kSuccess;
    case Reg::kFramePeriod:
        return w.Checked(w.Within(1000, 10000000), stored);
    case Reg::kExposureTime:
        return w.Checked(w.Within(10, 1000000), stored);
    case Reg::kTLParamsLocked:
    case Reg::kFrameRateEnable:
    case Reg::kEventNotification:
        return w.Checked(w.Within(0, 1), stored);
    default:
        return Gvcp::kWriteProtect;
    }
}

// Validates a write of aValue (aActions null) or applies it. aPeer null: the local side.
uint16_t ValidateOrApply(Device::Impl& d, uint32_t aAddress, uint32_t aValue, const Peer* aPeer, unsigned* aActions) {
    const WordWrite w{d, aAddress, aValue, aPeer, aActions};
    if (aAddress >= Reg::kReservedBegin && aAddress < Reg::kReservedEnd) return AddedMemoryWrite(w);
    if (aAddress < Reg::kBootstrapSize) return BootstrapWrite(w);
    if (InRange(aAddress, 4, Reg::kFeatureBase, Reg::kFeatureSpan)) return FeatureWrite(w);
    if (uint32_t port, offset; Device::Impl::SerialPortOf(aAddress, port, offset))
        return d.SerialWrite(port, offset, aValue, aPeer, aActions != nullptr);
    if (InRange(aAddress, 4, Reg::kXmlBase, d.xml.size()) || InRange(aAddress, 4, Reg::kFirmwareVersion, 32))
        return Gvcp::kWriteProtect;
    return Gvcp::kInvalidAddress;
}

}  // namespace

uint16_t Device::Impl::CheckWrite(uint32_t aAddress, uint32_t aValue, const Peer* aPeer) const {
    return ValidateOrApply(const_cast<Impl&>(*this), aAddress, aValue, aPeer, nullptr);
}

unsigned Device::Impl::WriteWord(uint32_t aAddress, uint32_t aValue, const Peer* aPeer) {
    unsigned actions = kActionNone;
    ValidateOrApply(*this, aAddress, aValue, aPeer, &actions);
    return actions;
}

uint16_t Device::Impl::WriteBytes(uint32_t aAddress, const uint8_t* aData, size_t aSize, const Peer* aPeer,
                                  unsigned& aActions) {
    // A serial window takes the whole write as one block.
    if (uint32_t port, offset; SerialPortOf(aAddress, port, offset) && (offset == Serial::kTransmit || offset == Serial::kReceive))
        return SerialBlock(port, offset, aData, aSize, aPeer, aActions);
    for (size_t i = 0; i < aSize; i += 4) {
        uint16_t status = CheckWrite(uint32_t(aAddress + i), Get32(aData + i), aPeer);
        if (status != Gvcp::kSuccess) return status;
    }
    for (size_t i = 0; i < aSize; i += 4) aActions |= WriteWord(uint32_t(aAddress + i), Get32(aData + i), aPeer);
    return Gvcp::kSuccess;
}

// ---------------------------------------------------------------------------------------------
// Privilege.

unsigned Device::Impl::CloseSession(bool aHeartbeat) {
    stats.sessionsClosed++;
    if (aHeartbeat) stats.heartbeatFailures++;
    unsigned actions = Notify({Notice::kSessionClosed, controller, 0, aHeartbeat});
    controller = Peer();
    ccp = 0;
    switchoverKey = 0;
    // Without a controller the channels close: no destination for streams or events any more.
    SetBoot32(Reg::kMcp, 0);
    SetBoot32(Reg::kMcda, 0);
    for (uint32_t n = 0; n < config.streamChannels; ++n) {
        SetBoot32(Reg::Scp(n), 0);
        SetBoot32(Reg::Scda(n), 0);
    }
    Feature(Reg::kTLParamsLocked) = 0;
    KeepChannelSockets();
    if (!acquiring) return actions;
    acquiring = false;
    return actions | kActionStopStreams;
}

unsigned Device::Impl::ResetDevice() {
    unsigned actions = kActionReset;
    if (controller.address) actions |= CloseSession(false);
    if (acquiring) {
        acquiring = false;
        actions |= kActionStopStreams;
    }
    // What a real device keeps through a reset: where it is, its persistent IP settings, its user name.
    std::vector<std::pair<uint32_t, uint32_t>> kept;
    for (uint32_t address : {Reg::kIpConfiguration, Reg::kCurrentIp, Reg::kSubnetMask, Reg::kGateway,
                             Reg::kPersistentIp, Reg::kPersistentMask, Reg::kPersistentGateway})
        kept.emplace_back(address, Boot32(address));
    for (uint32_t address = Reg::kUserName; address < Reg::kUserName + 16; address += 4)
        kept.emplace_back(address, Boot32(address));
    InitRegisters();
    for (const auto& [address, value] : kept) SetBoot32(address, value);
    KeepChannelSockets();   // the channels are closed again
    for (SerialBridge& bridge : serial) bridge = SerialBridge{bridge.unsupported};
    serialPending.clear();
    {
        std::lock_guard resends(resendMutex);
        resendQueue.clear();
    }
    timestampOrigin = SteadyNanoseconds();
    Notice reset;
    reset.kind = Notice::kReset;
    return actions | Notify(reset);
}

unsigned Device::Impl::ExpireHeartbeat() {
    if (controller.address == 0) return kActionNone;
    if (Now() - lastSeen <= Boot32(Reg::kHeartbeatTimeout)) return kActionNone;
    return CloseSession(true);
}

// ---------------------------------------------------------------------------------------------
// Register handlers.

namespace {
// The handlers this thread is serving an access for, innermost last. (Aligned as the runtime's
// thread-locals are, for the leak checker: see runtime/director.cpp.)
alignas(32) thread_local std::vector<const RegisterHandler*> tServing;
}  // namespace

const HandledRange* Device::Impl::HandledAt(uint32_t aAddress, uint64_t aSize, bool aLocal) const {
    const uint64_t end = uint64_t(aAddress) + aSize;
    for (const HandledRange& range : handled) {
        if (range.begin >= end) break;
        if (range.end <= aAddress) continue;
        if (aLocal && (!range.local || std::find(tServing.begin(), tServing.end(), range.handler.get()) != tServing.end()))
            continue;
        return &range;
    }
    return nullptr;
}

uint16_t Device::Impl::CallHandler(std::unique_lock<std::mutex>& aLock, const HandledRange& aRange, uint32_t aAddress,
                                   uint8_t* aRead, const uint8_t* aWrite, size_t aSize, const Peer& aPeer) {
    ++handlerCalls;
    const std::shared_ptr<RegisterHandler> handler = aRange.handler;
    aLock.unlock();
    uint16_t status;
    tServing.push_back(handler.get());
    try {
        status = aRead ? handler->Read(aAddress, aRead, aSize, aPeer) : handler->Write(aAddress, aWrite, aSize, aPeer);
    } catch (...) {
        status = Gvcp::kError;
    }
    tServing.pop_back();
    aLock.lock();
    return status;
}

// The part of [aAt, aEnd) that one call serves: up to the next handled range (the engine's memory),
// or within the handled range aRange that begins at aAt or before.
static uint64_t PartEnd(const HandledRange* aRange, uint64_t aAt, uint64_t aEnd) {
    if (!aRange) return aEnd;
    return aRange->begin > aAt ? aRange->begin : std::min(aRange->end, aEnd);
}

uint16_t Device::Impl::AccessRead(std::unique_lock<std::mutex>& aLock, uint32_t aAddress, uint8_t* aData, size_t aSize,
                                  const Peer* aPeer) {
    static const Peer kLocal;
    const uint64_t end = uint64_t(aAddress) + aSize;
    for (uint64_t at = aAddress; at < end;) {
        const HandledRange* range = HandledAt(uint32_t(at), end - at, !aPeer);
        const uint64_t until = PartEnd(range, at, end);
        uint8_t* into = aData + (at - aAddress);
        const uint16_t status =
            range && range->begin <= at
                ? CallHandler(aLock, *range, uint32_t(at), into, nullptr, size_t(until - at), aPeer ? *aPeer : kLocal)
                : ReadBytes(uint32_t(at), into, size_t(until - at));
        if (status != Gvcp::kSuccess) return status;
        at = until;
    }
    return Gvcp::kSuccess;
}

uint16_t Device::Impl::AccessWrite(std::unique_lock<std::mutex>& aLock, uint32_t aAddress, const uint8_t* aData,
                                   size_t aSize, const Peer* aPeer, unsigned& aActions) {
    static const Peer kLocal;
    const uint64_t end = uint64_t(aAddress) + aSize;
    for (uint64_t at = aAddress; at < end;) {
        const HandledRange* range = HandledAt(uint32_t(at), end - at, !aPeer);
        const uint64_t until = PartEnd(range, at, end);
        const uint8_t* from = aData + (at - aAddress);
        const uint16_t status =
            range && range->begin <= at
                ? CallHandler(aLock, *range, uint32_t(at), nullptr, from, size_t(until - at), aPeer ? *aPeer : kLocal)
                : WriteBytes(uint32_t(at), from, size_t(until - at), aPeer, aActions);
        if (status != Gvcp::kSuccess) return status;
        at = until;
    }
    return Gvcp::kSuccess;
}

uint64_t Device::AddRegisterHandler(const std::vector<AddressRange>& aRanges, std::shared_ptr<RegisterHandler> aHandler,
                                    bool aLocal) {
    Impl& d = *mImpl;
    if (!aHandler || aRanges.empty()) return 0;
    std::lock_guard lock(d.mutex);
    std::vector<HandledRange> ranges = d.handled;
    const uint64_t id = d.lastHandlerId + 1;
    for (const AddressRange& r : aRanges) {
        const uint64_t end = uint64_t(r.address) + r.size;
        if (r.size == 0 || r.address % 4 || r.size % 4 || end > (uint64_t(1) << 32)) return 0;
        if (r.address < Reg::kReservedEnd && end > Reg::kReservedBegin) {   // only over added memory
            for (uint64_t at = r.address; at < end;) {
                const AddedMemory* block = d.AddedAt(uint32_t(at), 4);
                if (!block) return 0;
                at = block->End();
            }
        }
        for (const HandledRange& other : ranges)
            if (other.begin < end && other.end > r.address) return 0;
        ranges.push_back({r.address, end, id, aHandler, aLocal});
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const HandledRange& a, const HandledRange& b) { return a.begin < b.begin; });
    d.handled = std::move(ranges);
    d.lastHandlerId = id;
    return id;
}

bool Device::AddMemory(const std::vector<AddressRange>& aRanges, bool aReadOnly) {
    std::lock_guard lock(mImpl->mutex);
    std::vector<AddedMemory> blocks = mImpl->added;
    for (const AddressRange& r : aRanges) {
        const uint64_t end = uint64_t(r.address) + r.size;
        if (r.size == 0 || r.address % 4 || r.size % 4 || r.address < Reg::kReservedBegin || end > Reg::kReservedEnd)
            return false;
        for (const AddedMemory& other : blocks)
            if (other.begin < end && other.End() > r.address) return false;
        blocks.push_back({r.address, std::vector<uint8_t>(r.size, 0), aReadOnly});
    }
    std::sort(blocks.begin(), blocks.end(), [](const AddedMemory& a, const AddedMemory& b) { return a.begin < b.begin; });
    mImpl->added = std::move(blocks);
    return true;
}

bool Device::RemoveRegisterHandler(uint64_t aId) {
    std::vector<HandledRange> removed;   // the handler may go after the lock
    std::lock_guard lock(mImpl->mutex);
    auto& handled = mImpl->handled;
    auto kept = std::stable_partition(handled.begin(), handled.end(), [&](const HandledRange& r) { return r.id != aId; });
    removed.assign(std::make_move_iterator(kept), std::make_move_iterator(handled.end()));
    handled.erase(kept, handled.end());
    return !removed.empty();
}

// ---------------------------------------------------------------------------------------------
// The dispatcher.

namespace {

// What the dispatcher knows of each command it serves: the counter of its arrivals (none: not
// counted), the function that serves it and whether it is a controller's register or memory access
// (which faults may hold pending, and whose retry a handler serves once). A command not listed is
// Unknown.
struct Served {
    uint16_t code;
    uint64_t Statistics::*received;
    Reply (Device::Impl::*serve)(Device::Impl::Request&);
    bool access;
};
constexpr Served kServed[] = {
    {Gvcp::kDiscoveryCmd, &Statistics::discoveriesReceived, &Device::Impl::Discovery, false},
    {Gvcp::kForceIpCmd, &Statistics::forceIpsReceived, &Device::Impl::ForceIp, false},
    {Gvcp::kReadRegCmd, &Statistics::readRegsReceived, &Device::Impl::ReadReg, true},
    {Gvcp::kWriteRegCmd, &Statistics::writeRegsReceived, &Device::Impl::WriteReg, true},
    {Gvcp::kReadMemCmd, &Statistics::readMemsReceived, &Device::Impl::ReadMem, true},
    {Gvcp::kWriteMemCmd, &Statistics::writeMemsReceived, &Device::Impl::WriteMem, true},
    {Gvcp::kPacketResendCmd, &Statistics::packetResendRequestsReceived, &Device::Impl::PacketResend, false},
    {Gvcp::kActionCmd, &Statistics::actionCommandsReceived, &Device::Impl::NotImplemented, false},
    // Acknowledges belong to the messaging channel's socket.
    {Gvcp::kEventAck, nullptr, &Device::Impl::Ignored, false},
    {Gvcp::kEventDataAck, nullptr, &Device::Impl::Ignored, false},
};

const Served* ServedOf(uint16_t aCode) {
    for (const Served& s : kServed)
        if (s.code == aCode) return &s;
    return nullptr;
}

bool IsAccess(uint16_t aCode) {
    const Served* served = ServedOf(aCode);
    return served && served->access;
}

}  // namespace

Reply Device::Impl::Handle(std::unique_lock<std::mutex>& aLock, const uint8_t* aData, size_t aSize, const Peer& aPeer,
                           bool aBroadcast, unsigned& aActions) {
    const auto command = Gvcp::CommandView::Of(aData, aSize);
    if (!command || command->Key() != Gvcp::kKey) {
        stats.malformedCommandsReceived++;
        return {};
    }
    if (faults.dropGvcpEvery && ++gvcpCounter % faults.dropGvcpEvery == 0) {
        stats.gvcpCommandsDropped++;
        return {};
    }
    const uint16_t code = command->Code();
    if (aBroadcast && code != Gvcp::kDiscoveryCmd && code != Gvcp::kForceIpCmd) return {};
    Received(*command, aPeer);
    aActions |= ExpireHeartbeat();
    if (HasPrivilege(aPeer)) lastSeen = Now();
    if (!answeredCommand.empty() && aPeer == answeredPeer && answeredCommand.size() == aSize &&
        std::memcmp(answeredCommand.data(), aData, aSize) == 0)
        return {answeredAck};   // a retry: the access was done

    Request request{aLock, *command, aPeer, aActions};
    const uint16_t length = command->Length();
    if (!command->Whole() || length % 4 != 0 || length > Gvcp::kMaxPayload) {
        stats.malformedCommandsReceived++;
        return Answer(request, Gvcp::kInvalidHeader);
    }
    if (std::optional<Reply> pending = Pending(request)) return *pending;
    const Served* served = ServedOf(code);
    return served ? (this->*served->serve)(request) : Unknown(request);
}

void Device::Impl::Received(const Gvcp::CommandView& aCommand, const Peer& aPeer) {
    const uint16_t code = aCommand.Code(), id = aCommand.RequestId();
    const Served* served = ServedOf(code);
    if (served && served->received) (stats.*served->received)++;
    if (code != Gvcp::kDiscoveryCmd && id != 0 && aPeer == lastPeer && id == lastRequest) {
        stats.retriesReceived++;
        stats.retriesReceivedMax = std::max(stats.retriesReceivedMax, ++retryRun);
    } else {
        retryRun = 0;
    }
    lastPeer = aPeer;
    lastRequest = id;
}

Reply Device::Impl::Answer(const Request& aRequest, uint16_t aStatus, Gvcp::Bytes aPayload,
                           uint16_t aAcknowledge) const {
    const Gvcp::CommandView& command = aRequest.command;
    if (!command.AckRequired() && command.Code() != Gvcp::kDiscoveryCmd) return {};
    const uint16_t code = aAcknowledge ? aAcknowledge : Gvcp::AckOf(command.Code());
    return {Gvcp::NewAck(aStatus, code, command.RequestId(), aPayload)};
}

std::optional<Reply> Device::Impl::Pending(const Request& aRequest) {
    const auto start = Gvcp::MemoryData::Of(aRequest.Payload());   // every access begins with its address
    if (!IsAccess(aRequest.command.Code()) || !faults.pendingMs || !start || start->Address() < faults.begin ||
        start->Address() >= faults.end)
        return std::nullopt;
    stats.pendingAcksIssued++;
    uint8_t time[Gvcp::PendingAck::kSize];
    Gvcp::PendingAck::Write(time, faults.pendingMs);
    return Answer(aRequest, Gvcp::kSuccess, time, Gvcp::kPendingAck);
}

// The bootstrap registers' first bytes are what DISCOVERY_ACK carries, at the same offsets.
static_assert(Gvcp::DiscoveryAck::kMac.at == Reg::kMacHigh + 2 && Gvcp::DiscoveryAck::kIp.at == Reg::kCurrentIp &&
              Gvcp::DiscoveryAck::kManufacturer.at == Reg::kManufacturerName &&
              Gvcp::DiscoveryAck::kUserName.at == Reg::kUserName &&
              Gvcp::DiscoveryAck::kSize == Reg::kUserName + 16);

Reply Device::Impl::Discovery(Request& aRequest) {
    return Answer(aRequest, Gvcp::kSuccess, Gvcp::Bytes(boot.data(), Gvcp::DiscoveryAck::kSize));
}

Reply Device::Impl::ForceIp(Request& aRequest) {
    const auto force = Gvcp::ForceIpCommand::Of(aRequest.Payload());
    if (!force) return Answer(aRequest, Gvcp::kInvalidParameter);
    if (force->Mac() != ((uint64_t(Boot32(Reg::kMacHigh)) << 32) | Boot32(Reg::kMacLow))) return {};   // not ours
    if (controller.address != 0 && !(controller == aRequest.peer)) return Answer(aRequest, Gvcp::kAccessDenied);
    const uint32_t ip = force->Ip();
    if (!IsLoopback(ip) || (ip & 0x00FFFFFF) == 0 || (ip & 0x00FFFFFF) == 0x00FFFFFF)
        return Answer(aRequest, Gvcp::kInvalidParameter);
    pendingMask = force->Mask() ? force->Mask() : 0xFF000000;
    pendingGateway = force->Gateway();
    if (!running) {   // no front end to move: the device is there at once
        SetCurrentIp(ip, pendingMask, pendingGateway);
        aRequest.actions |= Notify({Notice::kAddressForced, {}, 0, false, ip, pendingMask, pendingGateway});
    }
    if (acquiring) {
        acquiring = false;
        aRequest.actions |= kActionStopStreams;
    }
    Reply reply = Answer(aRequest, Gvcp::kSuccess);
    reply.moveTo = ip;
    return reply;
}

Reply Device::Impl::ReadReg(Request& aRequest) {
    const Gvcp::WordList addresses = *Gvcp::WordList::Of(aRequest.Payload());
    if (addresses.Count() == 0) return Answer(aRequest, Gvcp::kInvalidParameter);
    if (!MayRead(aRequest.peer)) return Answer(aRequest, Gvcp::kAccessDenied);
    std::vector<uint8_t> values(addresses.Count() * Gvcp::WordList::kStride);
    for (size_t i = 0; i < addresses.Count(); ++i) {
        const uint32_t address = addresses.Word(i);
        uint32_t value = 0;
        uint16_t status;
        if (address % 4) {
            status = Gvcp::kBadAlignment;
        } else if (Faulty(faults.readStatus, address)) {
            status = faults.readStatus;
        } else if (HandledAt(address, 4)) {
            uint8_t bytes[4] = {};
            status = AccessRead(aRequest.lock, address, bytes, 4, &aRequest.peer);
            value = Get32(bytes);
        } else {
            status = ReadWord(address, value);
        }
        if (status != Gvcp::kSuccess)
            return Answer(aRequest, status, Gvcp::Bytes(values).first(i * Gvcp::WordList::kStride));
        Gvcp::WordList::Write(values.data(), i, value);
    }
    return Answer(aRequest, Gvcp::kSuccess, values);
}

Reply Device::Impl::WriteReg(Request& aRequest) {
    const Gvcp::WriteRegCommand pairs = *Gvcp::WriteRegCommand::Of(aRequest.Payload());
    if (pairs.Count() == 0 || aRequest.Payload().size() % Gvcp::WriteRegCommand::kStride)
        return Answer(aRequest, Gvcp::kInvalidParameter);
    uint16_t written = 0;
    uint16_t status = Gvcp::kSuccess;
    for (size_t i = 0; i < pairs.Count() && status == Gvcp::kSuccess; ++i) {
        const uint32_t address = pairs.Address(i), value = pairs.Value(i);
        if (address % 4) status = Gvcp::kBadAlignment;
        else if (address != Reg::kCcp && !HasPrivilege(aRequest.peer)) status = Gvcp::kAccessDenied;
        else if (Faulty(faults.writeStatus, address)) status = faults.writeStatus;
        else if (HandledAt(address, 4)) {
            status = AccessWrite(aRequest.lock, address, pairs.ValueBytes(i), 4, &aRequest.peer, aRequest.actions);
            written += status == Gvcp::kSuccess;
        } else if ((status = CheckWrite(address, value, &aRequest.peer)) == Gvcp::kSuccess) {
            aRequest.actions |= WriteWord(address, value, &aRequest.peer);
            ++written;
        }
    }
    uint8_t done[Gvcp::WriteAck::kSize];
    Gvcp::WriteAck::Write(done, written);
    return Answer(aRequest, status, done);
}

Reply Device::Impl::ReadMem(Request& aRequest) {
    const auto read = Gvcp::ReadMemCommand::Of(aRequest.Payload());
    if (!read || aRequest.Payload().size() != Gvcp::ReadMemCommand::kSize)
        return Answer(aRequest, Gvcp::kInvalidParameter);
    const uint32_t address = read->Address();
    const uint16_t count = read->Count();
    std::vector<uint8_t> payload(Gvcp::MemoryData::kDataOffset);
    Gvcp::MemoryData::Write(payload.data(), address);
    if (address % 4 || count % 4) return Answer(aRequest, Gvcp::kBadAlignment, payload);
    if (count == 0 || count > Gvcp::kMaxMemory) return Answer(aRequest, Gvcp::kInvalidParameter, payload);
    if (!MayRead(aRequest.peer)) return Answer(aRequest, Gvcp::kAccessDenied, payload);
    if (Faulty(faults.readStatus, address)) return Answer(aRequest, faults.readStatus, payload);
    payload.resize(Gvcp::MemoryData::kDataOffset + count);
    const uint16_t status =
        AccessRead(aRequest.lock, address, payload.data() + Gvcp::MemoryData::kDataOffset, count, &aRequest.peer);
    if (status != Gvcp::kSuccess) payload.resize(Gvcp::MemoryData::kDataOffset);
    return Answer(aRequest, status, payload);
}

Reply Device::Impl::WriteMem(Request& aRequest) {
    uint8_t done[Gvcp::WriteAck::kSize];
    auto answer = [&](uint16_t aStatus, uint16_t aCount) {
        Gvcp::WriteAck::Write(done, aCount);
        return Answer(aRequest, aStatus, done);
    };
    const auto write = Gvcp::MemoryData::Of(aRequest.Payload());
    if (!write || write->Data().size() < 4 || write->Data().size() > Gvcp::kMaxMemory)
        return answer(Gvcp::kInvalidParameter, 0);
    const uint32_t address = write->Address();
    if (address % 4) return answer(Gvcp::kBadAlignment, 0);
    if (!HasPrivilege(aRequest.peer)) return answer(Gvcp::kAccessDenied, 0);
    if (Faulty(faults.writeStatus, address)) return answer(faults.writeStatus, 0);
    const uint16_t count = uint16_t(write->Data().size());
    const uint16_t status =
        AccessWrite(aRequest.lock, address, write->Data().data(), count, &aRequest.peer, aRequest.actions);
    return answer(status, status == Gvcp::kSuccess ? count : 0);
}

bool Device::Impl::MayAskResends(const Peer& aPeer, uint32_t aChannel) const {
    if (HasPrivilege(aPeer)) return true;
    const uint32_t destination = Boot32(Reg::Scda(aChannel)), port = Boot32(Reg::Scp(aChannel)) & 0xFFFF;
    if (destination == 0 || port == 0 || aPeer.port != port) return false;
    // A group's receivers share its port; each asks from its own loopback address.
    return IsMulticast(destination) ? IsLoopback(aPeer.address) : aPeer.address == destination;
}

Reply Device::Impl::PacketResend(Request& aRequest) {
    // No acknowledge: the packets come again on the stream channel, sent by the resend thread, in the
    // form they were asked for (a 64-bit block ID with the extended-ID flag, else a 16-bit one).
    const auto resend = Gvcp::PacketResendCommand::Of(aRequest.Payload(), aRequest.command.ExtendedIds());
    if (!resend) return {};
    const uint32_t channel = resend->Channel();
    if (channel >= config.streamChannels || !MayAskResends(aRequest.peer, channel)) {
        stats.resendRequestsRefused++;
        return {};
    }
    const uint32_t first = resend->FirstPacket();
    const uint32_t last = std::min(resend->LastPacket(), first + (kResendMaxPackets - 1));
    std::lock_guard resends(resendMutex);
    if (resendQueue.size() >= kResendQueue) {
        stats.resendRequestsRefused++;
        return {};
    }
    resendQueue.push_back({channel, resend->BlockId(), first, last, resend->Extended()});
    if (!resender.joinable()) resender = std::thread([this] { ResenderLoop(); });
    resendWake.notify_all();
    return {};
}

Reply Device::Impl::NotImplemented(Request& aRequest) { return Answer(aRequest, Gvcp::kNotImplemented); }

Reply Device::Impl::Unknown(Request& aRequest) {
    stats.unknownCommandsReceived++;
    return NotImplemented(aRequest);
}

// ---------------------------------------------------------------------------------------------
// Public operations.

Device::Device(const DeviceConfig& aConfig) : mImpl(std::make_unique<Impl>(aConfig)) {}

Device::~Device() {
    Stop();
    mImpl->StopResender();
    {
        std::lock_guard lock(mImpl->mutex);
        mImpl->acquiring = false;
    }
    mImpl->HaltSenders();
    std::lock_guard control(mImpl->controlMutex);
    mImpl->StopStreams();
}

bool Device::Impl::Foreign(const Peer& aPeer) {
    if (IsLoopback(aPeer.address)) return false;
    std::lock_guard lock(mutex);
    stats.foreignCommandsIgnored++;
    return true;
}

Reply Device::Impl::Serve(const uint8_t* aData, size_t aSize, const Peer& aPeer, bool aBroadcast) {
    unsigned actions = kActionNone;
    Reply reply;
    if (Foreign(aPeer)) return reply;
    {
        std::unique_lock lock(mutex);
        if (!linkUp) return reply;
        const uint64_t handlersBefore = handlerCalls;
        reply = Handle(lock, aData, aSize, aPeer, aBroadcast, actions);
        // The acknowledge of an access that reached a handler, for its retry.
        const auto command = Gvcp::CommandView::Of(aData, aSize);
        if (command && IsAccess(command->Code()) && handlerCalls != handlersBefore && !reply.ack.empty() &&
            command->RequestId() != 0) {
            answeredPeer = aPeer;
            answeredCommand.assign(aData, aData + aSize);
            answeredAck = reply.ack;
        } else {
            answeredCommand.clear();
        }
    }
    Apply(actions);
    return reply;
}

Reply Device::Dispatch(const uint8_t* aData, size_t aSize, const Peer& aPeer, bool aBroadcast) {
    if (!aData) aSize = 0;
    return mImpl->Serve(aData, aSize, aPeer, aBroadcast);
}

void Device::Impl::PollHeartbeat() {
    unsigned actions;
    {
        std::lock_guard lock(mutex);
        actions = ExpireHeartbeat();
    }
    Apply(actions);
}

void Device::Poll() { mImpl->PollHeartbeat(); }

uint16_t Device::ReadRegister(uint32_t aAddress, uint32_t& aValue) {
    if (aAddress % 4) return Gvcp::kBadAlignment;
    std::unique_lock lock(mImpl->mutex);
    if (!mImpl->HandledAt(aAddress, 4, true)) return mImpl->ReadWord(aAddress, aValue);
    uint8_t bytes[4] = {};
    const uint16_t status = mImpl->AccessRead(lock, aAddress, bytes, 4, nullptr);
    if (status == Gvcp::kSuccess) aValue = Get32(bytes);
    return status;
}

uint16_t Device::WriteRegister(uint32_t aAddress, uint32_t aValue) {
    if (aAddress % 4) return Gvcp::kBadAlignment;
    unsigned actions = kActionNone;
    uint16_t status;
    {
        std::unique_lock lock(mImpl->mutex);
        if (mImpl->HandledAt(aAddress, 4, true)) {
            uint8_t bytes[4];
            Put32(bytes, aValue);
            status = mImpl->AccessWrite(lock, aAddress, bytes, 4, nullptr, actions);
        } else {
            status = mImpl->CheckWrite(aAddress, aValue, nullptr);
            if (status == Gvcp::kSuccess) actions = mImpl->WriteWord(aAddress, aValue, nullptr);
        }
    }
    mImpl->Apply(actions);
    return status;
}

uint16_t Device::CheckRegister(uint32_t aAddress, uint32_t aValue) {
    if (aAddress % 4) return Gvcp::kBadAlignment;
    std::lock_guard lock(mImpl->mutex);
    return mImpl->CheckWrite(aAddress, aValue, nullptr);
}

uint16_t Device::ReadMemory(uint32_t aAddress, void* aData, size_t aSize) {
    if (aAddress % 4 || aSize % 4) return Gvcp::kBadAlignment;
    if (aSize == 0 || !aData) return Gvcp::kInvalidParameter;
    std::unique_lock lock(mImpl->mutex);
    return mImpl->AccessRead(lock, aAddress, static_cast<uint8_t*>(aData), aSize, nullptr);
}

uint16_t Device::WriteMemory(uint32_t aAddress, const void* aData, size_t aSize) {
    if (aAddress % 4 || aSize % 4) return Gvcp::kBadAlignment;
    if (aSize == 0 || !aData) return Gvcp::kInvalidParameter;
    unsigned actions = kActionNone;
    uint16_t status;
    {
        std::unique_lock lock(mImpl->mutex);
        status = mImpl->AccessWrite(lock, aAddress, static_cast<const uint8_t*>(aData), aSize, nullptr, actions);
    }
    mImpl->Apply(actions);
    return status;
}

uint16_t Device::WriteMemoryAs(const Peer& aPeer, uint32_t aAddress, const void* aData, size_t aSize) {
    if (aAddress % 4 || aSize % 4) return Gvcp::kBadAlignment;
    if (aSize == 0 || !aData) return Gvcp::kInvalidParameter;
    unsigned actions = kActionNone;
    uint16_t status;
    {
        std::lock_guard lock(mImpl->mutex);
        status = mImpl->WriteBytes(aAddress, static_cast<const uint8_t*>(aData), aSize, &aPeer, actions);
    }
    mImpl->Apply(actions);
    return status;
}

uint16_t Device::StoreMemory(uint32_t aAddress, const void* aData, size_t aSize) {
    if (aAddress % 4 || aSize % 4) return Gvcp::kBadAlignment;
    if (aSize == 0 || !aData) return Gvcp::kInvalidParameter;
    const auto* data = static_cast<const uint8_t*>(aData);
    unsigned actions = kActionNone;
    {
        std::lock_guard lock(mImpl->mutex);
        Impl& d = *mImpl;
        // Every word is checked before any is written: a protected one must be memory the device has.
        std::vector<bool> raw(aSize / 4);
        for (size_t i = 0; i < aSize; i += 4) {
            const uint16_t status = d.CheckWrite(uint32_t(aAddress + i), Get32(data + i), nullptr);
            if (status == Gvcp::kWriteProtect) {
                if (!d.StoreRaw(uint32_t(aAddress + i), data + i, 4, false)) return Gvcp::kInvalidAddress;
                raw[i / 4] = true;
            } else if (status != Gvcp::kSuccess) {
                return status;
            }
        }
        for (size_t i = 0; i < aSize; i += 4) {
            if (!raw[i / 4])
                actions |= d.WriteWord(uint32_t(aAddress + i), Get32(data + i), nullptr);
            else
                d.StoreRaw(uint32_t(aAddress + i), data + i, 4, true);
        }
    }
    mImpl->Apply(actions);
    return Gvcp::kSuccess;
}

uint16_t Device::Impl::FireEvent(uint16_t aEventId, const uint8_t* aData, size_t aSize, uint64_t aBlockId,
                                 uint16_t aChannel) {
    uint64_t timestamp;
    bool extended;
    {
        std::lock_guard lock(mutex);
        timestamp = Timestamp();
        extended = ExtendedIds();
    }
    // With extended IDs the event carries the whole block ID (and its header takes 8 bytes more of the
    // command), else the ID's low 16 bits.
    const size_t entry = Gvcp::EventEntry::SizeOf(extended);
    if (aSize % 4 || aSize > Gvcp::kMaxPayload - entry || (aSize && !aData)) return Gvcp::kInvalidParameter;
    // The request ID is given when the command goes out.
    const uint8_t flags = Gvcp::kFlagAckRequired | (extended ? Gvcp::kFlagExtendedIds : 0);
    std::vector<uint8_t> command = Gvcp::NewCommand(aSize ? Gvcp::kEventDataCmd : Gvcp::kEventCmd, 0, entry + aSize, flags);
    uint8_t* event = Gvcp::PayloadOf(command);
    const size_t header = Gvcp::EventEntry::Write(event, extended, aEventId, aChannel, aBlockId, timestamp, aSize);
    if (aSize) std::memcpy(event + header, aData, aSize);
    return QueueEvent(std::move(command));
}

uint16_t Device::FireEvent(uint16_t aEventId, const uint8_t* aData, size_t aSize, uint64_t aBlockId, uint16_t aChannel) {
    return mImpl->FireEvent(aEventId, aData, aSize, aBlockId, aChannel);
}

bool Device::WaitEventsDone(uint32_t aTimeoutMs) {
    std::unique_lock lock(mImpl->messageMutex);
    return mImpl->messageWake.wait_for(lock, std::chrono::milliseconds(aTimeoutMs), [&] {
        return mImpl->messageQueue.empty() && mImpl->messagesInFlight == 0;
    });
}

bool Device::WaitResendsDone(uint32_t aTimeoutMs) {
    std::unique_lock lock(mImpl->resendMutex);
    return mImpl->resendWake.wait_for(lock, std::chrono::milliseconds(aTimeoutMs), [&] {
        return mImpl->resendQueue.empty() && mImpl->resendsInFlight == 0;
    });
}

bool Device::IsMessageChannelOpen() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->MessageChannelOpen();
}

void Device::SetLinkUp(bool aUp) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->linkUp = aUp;
}

bool Device::IsLinkUp() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->linkUp;
}

void Device::SetFaults(const Faults& aFaults) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->faults = aFaults;
    mImpl->gvcpCounter = mImpl->gvspCounter = 0;
}

Statistics Device::GetStatistics() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->stats;
}

void Device::ResetStatistics() { PresetStatistics(Statistics()); }

void Device::PresetStatistics(const Statistics& aValues) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->stats = aValues;
}

Identity Device::GetIdentity() const {
    std::lock_guard lock(mImpl->mutex);
    Identity identity = mImpl->config.identity;
    const char* name = reinterpret_cast<const char*>(&mImpl->boot[Reg::kUserName]);
    identity.userName.assign(name, strnlen(name, 16));
    return identity;
}

const std::string& Device::Xml() const { return mImpl->xml; }

void Device::ReplaceXml(const std::string& aXml) {
    std::lock_guard lock(mImpl->mutex);
    std::string xml = aXml;
    xml.resize(std::min<size_t>((xml.size() + 3) & ~size_t(3), Reg::kXmlCapacity), '\0');
    mImpl->xml = std::move(xml);
    char url[96];
    std::snprintf(url, sizeof url, "Local:kivo_device.xml;%X;%X", unsigned(Reg::kXmlBase), unsigned(mImpl->xml.size()));
    PutString(mImpl->boot, Reg::kFirstUrl, 512, url);
}

std::string Device::FirstUrl() const {
    std::lock_guard lock(mImpl->mutex);
    const char* text = reinterpret_cast<const char*>(&mImpl->boot[Reg::kFirstUrl]);
    return std::string(text, strnlen(text, 512));
}

bool Device::IsAcquiring() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->acquiring;
}

Peer Device::Controller() const {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->controller;
}

void Device::SetClock(Clock aClock) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->clock = aClock ? std::move(aClock) : Clock(SteadyMilliseconds);
    mImpl->lastSeen = mImpl->clock();
}

void Device::SetStreamTap(StreamTap aTap) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->streamTap = std::move(aTap);
}

bool Device::SetBlockSink(uint32_t aChannel, BlockSink aSink) {
    Impl& d = *mImpl;
    if (aChannel >= d.channels.size()) return false;   // the channels are made with the device
    Channel& ch = *d.channels[aChannel];
    const bool added = bool(aSink);
    BlockSink replaced;
    {
        std::unique_lock lock(d.mutex);
        const uint64_t generation = ch.sinkGeneration++;
        replaced = std::exchange(ch.sink, std::move(aSink));
        ch.sinkIdle.wait(lock, [&] { return ch.sinkInCall == 0 || ch.sinkInCall > generation; });
    }
    if (added) {
        std::lock_guard control(d.controlMutex);
        d.StartStreams();   // a channel with nowhere to send may now send
    }
    return true;
}

void Device::SetObserver(std::shared_ptr<Observer> aObserver) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->observer.swap(aObserver);
}   // the replaced observer goes after the lock

void Device::Reset() {
    unsigned actions;
    {
        std::lock_guard lock(mImpl->mutex);
        actions = mImpl->ResetDevice();
    }
    mImpl->Apply(actions);
}

void Device::Impl::DeliverNotices() {
    std::unique_lock lock(mutex);
    if (delivering) return;   // that thread tells these too, after what it is telling now
    delivering = true;
    while (!notices.empty()) {
        const Notice n = notices.front();
        notices.pop_front();
        std::shared_ptr<Observer> target = observer;
        lock.unlock();
        if (target) {
            try {
                switch (n.kind) {
                case Notice::kSessionOpened: target->SessionOpened(n.peer, n.privilege); break;
                case Notice::kSessionClosed: target->SessionClosed(n.peer, n.heartbeat); break;
                case Notice::kAddressForced: target->AddressForced(n.address, n.mask, n.gateway); break;
                case Notice::kReset: target->DeviceReset(); break;
                }
            } catch (...) {
                // the observer's failure is its own; the device goes on
            }
            target.reset();
        }
        lock.lock();
    }
    delivering = false;
}

bool Device::SetFrameProvider(uint32_t aChannel, std::shared_ptr<FrameProvider> aProvider) {
    if (aChannel >= mImpl->channels.size()) return false;
    std::lock_guard lock(mImpl->mutex);
    mImpl->channels[aChannel]->provider.swap(aProvider);
    return true;
}   // the replaced provider goes after the lock (unless its sender still runs)

void Device::SetMessageTap(MessageTap aTap) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->messageTap = std::move(aTap);
}

}  // namespace TqEngine
