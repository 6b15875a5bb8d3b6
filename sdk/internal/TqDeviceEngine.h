// The device engine: one software GigE Vision device of the stand-in SDK. A device is a register map (the
// bootstrap registers, its own feature registers, its GenICam description in device memory), a GVCP command
// dispatcher that does not know its transport (a command buffer and the peer's address in, an acknowledge
// buffer out), 0 to 4 stream channels (each with its own image format and largest packet size, its frames the
// test pattern or a frame provider's), a messaging channel for events, the control privilege of one
// controller and a set of counters. The code that embeds a device (a software device) may serve parts of its
// memory itself (register handlers), feed its channels (frame providers), hear what happens to its control
// side (an observer) and change its identity strings while it runs; the engine calls handlers, providers and
// the observer with no lock of its own held. Start() adds the UDP front end: the device then serves GVCP on
// its own 127.x.y.z:3956, takes discovery and FORCEIP also from the loopback broadcast address
// 127.255.255.255:3956 and the limited broadcast address 255.255.255.255:3956 (both ports shared with other
// listeners), streams GVSP to the channel destinations and sends its events to the messaging channel
// destination. Only senders inside 127.0.0.0/8 are answered, always from the device's own address, and
// nothing of the engine ever sends a datagram outside 127.0.0.0/8 (multicast stream destinations go out
// through the loopback interface with a TTL of 0).
//
// Byte order: every register and every protocol field is big-endian; pixel data are little-endian
// (Mono16 sends its low byte first), as the pixel formats define them.
//
// Test patterns: every pixel of a frame is a function of its sensor coordinates (x = column +
// OffsetX, y = row + OffsetY) and of the frame number f, which is the frame's 16-bit block ID
// (1 to 65535; the first frame of a channel is block 1, and block 65535 is followed by block 1; with
// extended IDs the low 16 bits of its 64-bit block ID):
//   Mono8     one byte         (x + y + f) & 0xFF
//   Mono16    two bytes, LE    (256 * y + x + f) & 0xFFFF
//   RGB8      three bytes      R = (x + f) & 0xFF, G = (y + f) & 0xFF, B = (x + y) & 0xFF
//   BayerRG8  one byte         ((x ^ y) + f) & 0xFF   (the colour of a pixel is its position in the
//                                                      RG/GB tile; the value does not depend on it)
//   RGBa16    four 16-bit LE   R = 256 * y + x + f, G = 256 * x + y + f, B = x + y, A = f  (each & 0xFFFF)
// A device offers the first four unless its configuration names others (DeviceConfig::pixelFormats);
// a format it has no pattern of (offered by name, for a provider's frames) makes a pattern of zeros.
#pragma once

#include "TqGvcpCodec.h"
#include "TqGvspCodec.h"
#include "TqPixelLayout.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#define TQ_ENGINE_API __attribute__((visibility("default")))

namespace TqEngine {

// ---- the protocols: their codecs (constants, views and builders) ----
namespace Gvcp = ::TqGvcp;
namespace Gvsp = ::TqGvsp;

// Pixel formats (their values on the wire: PFNC).
namespace Pfnc {
constexpr uint32_t kMono8 = 0x01080001;
constexpr uint32_t kMono16 = 0x01100007;
constexpr uint32_t kRGB8 = 0x02180014;
constexpr uint32_t kBayerRG8 = 0x01080009;
constexpr uint32_t kRGBa16 = 0x02400064;
using TqPixel::BitsPerPixel;
// The formats whose test pattern the engine makes, and their PixelFormat entry names (null for others).
bool TQ_ENGINE_API IsSupported(uint32_t aFormat);
TQ_ENGINE_API const char* Name(uint32_t aFormat);
}  // namespace Pfnc

// ---- register map ----
namespace Reg {
// Bootstrap registers (GigE Vision).
constexpr uint32_t kVersion = 0x0000;
constexpr uint32_t kDeviceMode = 0x0004;
constexpr uint32_t kMacHigh = 0x0008;
constexpr uint32_t kMacLow = 0x000C;
constexpr uint32_t kIpCapability = 0x0010;
constexpr uint32_t kIpConfiguration = 0x0014;
constexpr uint32_t kCurrentIp = 0x0024;
constexpr uint32_t kSubnetMask = 0x0034;
constexpr uint32_t kGateway = 0x0044;
constexpr uint32_t kManufacturerName = 0x0048;  // 32 bytes
constexpr uint32_t kModelName = 0x0068;         // 32 bytes
constexpr uint32_t kDeviceVersion = 0x0088;     // 32 bytes
constexpr uint32_t kManufacturerInfo = 0x00A8;  // 48 bytes
constexpr uint32_t kSerialNumber = 0x00D8;      // 16 bytes
constexpr uint32_t kUserName = 0x00E8;          // 16 bytes, writable
constexpr uint32_t kFirstUrl = 0x0200;          // 512 bytes
constexpr uint32_t kSecondUrl = 0x0400;         // 512 bytes
constexpr uint32_t kNetworkInterfaces = 0x0600;
constexpr uint32_t kPersistentIp = 0x064C;
constexpr uint32_t kPersistentMask = 0x065C;
constexpr uint32_t kPersistentGateway = 0x066C;
constexpr uint32_t kMessageChannels = 0x0900;
constexpr uint32_t kStreamChannels = 0x0904;
constexpr uint32_t kGvspCapability = 0x092C;    // read-only
constexpr uint32_t kGvcpCapability = 0x0934;
constexpr uint32_t kHeartbeatTimeout = 0x0938;  // milliseconds
constexpr uint32_t kTickFrequencyHigh = 0x093C;
constexpr uint32_t kTickFrequencyLow = 0x0940;
constexpr uint32_t kTimestampControl = 0x0944;  // bit 0 reset, bit 1 latch
constexpr uint32_t kTimestampHigh = 0x0948;
constexpr uint32_t kTimestampLow = 0x094C;
constexpr uint32_t kGvspConfiguration = 0x0960;
constexpr uint32_t kCcp = 0x0A00;
constexpr uint32_t kMcp = 0x0B00;
constexpr uint32_t kMcda = 0x0B10;
constexpr uint32_t kMctt = 0x0B14;   // milliseconds
constexpr uint32_t kMcrc = 0x0B18;
constexpr uint32_t Scp(uint32_t aChannel) { return 0x0D00 + 0x40 * aChannel; }
constexpr uint32_t Scps(uint32_t aChannel) { return 0x0D04 + 0x40 * aChannel; }
constexpr uint32_t Scpd(uint32_t aChannel) { return 0x0D08 + 0x40 * aChannel; }
constexpr uint32_t Scda(uint32_t aChannel) { return 0x0D18 + 0x40 * aChannel; }
constexpr uint32_t Scsp(uint32_t aChannel) { return 0x0D1C + 0x40 * aChannel; }
// The stream channel capability (SCC, read-only) and configuration (SCCFG) registers: the engine
// serves neither; a device that streams multi-part serves them itself (a register handler). Their
// bits (the same in both), as the description maps them:
constexpr uint32_t Scc(uint32_t aChannel) { return 0x0D20 + 0x40 * aChannel; }
constexpr uint32_t Sccfg(uint32_t aChannel) { return 0x0D24 + 0x40 * aChannel; }
constexpr uint32_t kSccfgMultiPart = 1u << 6;              // big-endian bit 25: multi-part (supported, allowed)
constexpr uint32_t kSccfgLargeLeaderTrailer = 1u << 5;     // big-endian bit 26: large leader and trailer
// Bits of the GVSP capability and configuration registers.
constexpr uint32_t kGvspSourcePorts = 1u << 31;            // capability: the SCSP registers
constexpr uint32_t kGvspStandardIds = 1u << 30;            // capability: 16-bit block IDs besides 64-bit ones
constexpr uint32_t kGvspExtendedIds = 1u << 30;            // configuration: 64-bit block IDs (big-endian bit 1)
constexpr uint32_t kBootstrapSize = 0x1000;

// Bits of the control channel privilege register (CCP).
constexpr uint32_t kCcpExclusive = 1u << 0;
constexpr uint32_t kCcpControl = 1u << 1;
constexpr uint32_t kCcpSwitchoverEnable = 1u << 2;
// Bits of the stream channel packet size register (SCPS); the packet size is bits 0-15.
constexpr uint32_t kScpsFireTestPacket = 1u << 31;
constexpr uint32_t kScpsDoNotFragment = 1u << 30;
constexpr uint32_t kScpsBigEndian = 1u << 29;
// kMaxPacketSize is a channel's largest packet size unless its configuration gives another, up to
// kPacketSizeLimit (the largest IP datagram).
constexpr uint32_t kMinPacketSize = 576, kMaxPacketSize = 9000, kDefaultPacketSize = 1500;
constexpr uint32_t kPacketSizeLimit = 65535;
constexpr uint32_t kMaxStreamChannels = 4;
// The heartbeat timeout in milliseconds: a controller's write is taken within these bounds (a value
// beyond them becomes the nearer bound), so a controller that vanished frees the device within ten
// minutes at most.
constexpr uint32_t kMinHeartbeatTimeout = 500, kMaxHeartbeatTimeout = 600000;

// The device's own feature registers (4 bytes each, big-endian).
constexpr uint32_t kFeatureBase = 0x30000000;
constexpr uint32_t kWidth = kFeatureBase + 0x00;
constexpr uint32_t kHeight = kFeatureBase + 0x04;
constexpr uint32_t kOffsetX = kFeatureBase + 0x08;
constexpr uint32_t kOffsetY = kFeatureBase + 0x0C;
constexpr uint32_t kPixelFormat = kFeatureBase + 0x10;
constexpr uint32_t kAcquisitionMode = kFeatureBase + 0x14;   // 0 Continuous, 1 SingleFrame
constexpr uint32_t kAcquisitionStart = kFeatureBase + 0x18;  // write 1
constexpr uint32_t kAcquisitionStop = kFeatureBase + 0x1C;   // write 1
constexpr uint32_t kFramePeriod = kFeatureBase + 0x20;       // microseconds, 1000 to 10000000
constexpr uint32_t kExposureTime = kFeatureBase + 0x24;      // microseconds, 10 to 1000000
constexpr uint32_t kTLParamsLocked = kFeatureBase + 0x28;    // 0 or 1
constexpr uint32_t kAcquisitionStatus = kFeatureBase + 0x2C; // read-only: 1 while acquiring
constexpr uint32_t kFrameRateEnable = kFeatureBase + 0x30;   // 0: frames are sent unpaced
constexpr uint32_t kEventNotification = kFeatureBase + 0x34; // 0 Off, 1 On (the FrameEnd event)
constexpr uint32_t kSensorWidth = kFeatureBase + 0x38;       // read-only
constexpr uint32_t kSensorHeight = kFeatureBase + 0x3C;      // read-only
constexpr uint32_t kFeatureSize = 0x40;
// Each stream channel has image format registers of its own: channel n's lie kFormatStride * n above
// channel 0's, which are the feature registers kWidth, kHeight, kOffsetX, kOffsetY, kPixelFormat,
// kSensorWidth and kSensorHeight (the other words of channels 1 to 3 hold nothing). A device without
// stream channels has none of them.
constexpr uint32_t kFormatStride = 0x40;
constexpr uint32_t Format(uint32_t aChannel, uint32_t aRegister) { return aRegister + kFormatStride * aChannel; }
constexpr bool IsFormatRegister(uint32_t aRegister) {
    return aRegister == kWidth || aRegister == kHeight || aRegister == kOffsetX || aRegister == kOffsetY ||
           aRegister == kPixelFormat || aRegister == kSensorWidth || aRegister == kSensorHeight;
}
constexpr uint32_t kSourceSelector = kFeatureBase + 0x100;   // the channel whose format the description shows
constexpr uint32_t kDeviceReset = kFeatureBase + 0x104;      // write 1: a full reset (Device::Reset)
constexpr uint32_t PacketSizeMax(uint32_t aChannel) { return kFeatureBase + 0x110 + 4 * aChannel; }  // read-only
constexpr uint32_t kFeatureSpan = 0x120;   // the feature registers of every kind, from kFeatureBase
// The GenICam description (the first URL points here) and the firmware version string.
constexpr uint32_t kXmlBase = 0x30100000;
constexpr uint32_t kXmlCapacity = 0x00100000;
constexpr uint32_t kFirmwareVersion = 0x3FFF0100;  // 32 bytes
// The engine's own memory never lies in [kReservedBegin, kReservedEnd): that range belongs to the memory the
// embedding code adds (Device::AddMemory), and a handler lies there only over such memory.
constexpr uint32_t kReservedBegin = 0x00010000, kReservedEnd = 0x10000000;
}  // namespace Reg

// ---- serial ports ----
// A UART bridge per serial port: ports 0 and 1 on every device, ports 2 to 9 (the bulk channels 0 to
// 7) on USB3 Vision devices only. Port n's block lies at Base(n); its registers are 4 bytes each,
// big-endian:
//   +0x000 Status     RO  kStatusAvailable: the device has the port and it is not marked unsupported;
//                         kStatusBulk: the port is a bulk channel
//   +0x004 EventID    RO  the ID of the EVENTDATA that carries what the port receives (EventId(n))
//   +0x008 Loopback   RW  1 (the default): the bytes the port transmits come back as received bytes
//   +0x00C TxBytes    RO  bytes transmitted (low 32 bits of the count)
//   +0x010 RxBytes    RO  bytes received and handed to the messaging channel (low 32 bits)
//   +0x014 RxDropped  RO  bytes received while no messaging channel took them (low 32 bits)
//   +0x018 Control    RW from the device's own side only (controllers: kAccessDenied): bit 0 marks
//                         the port unsupported
//   +0x100 Transmit   WO  the transmit window: a write starting here is one block, a count word (the
//                         bytes that follow, at most kMaxTransmit) and the bytes, zero-padded to whole
//                         words (no more than 3 bytes of padding)
//   +0x800 Receive    WO  from the device's own side only: the same layout with at most kMaxInject
//                         bytes, taken as bytes the port's far end sent
// Received bytes reach the controller in order as EVENTDATA of EventId(n) on the messaging channel
// (channel 0xFFFF, block 0); the data of each is a count word and at most kMaxEventBytes bytes,
// zero-padded to whole words. Bytes that arrive while the messaging channel is closed are dropped.
namespace Serial {
constexpr uint32_t kPorts = 10;
constexpr uint32_t kUartPorts = 2;   // ports 0 and 1; the rest are bulk channels
constexpr uint32_t kBase = 0x31000000;
constexpr uint32_t kStride = 0x1000;
constexpr uint32_t Base(uint32_t aPort) { return kBase + kStride * aPort; }
constexpr uint32_t kStatus = 0x000;
constexpr uint32_t kEventId = 0x004;
constexpr uint32_t kLoopback = 0x008;
constexpr uint32_t kTxBytes = 0x00C;
constexpr uint32_t kRxBytes = 0x010;
constexpr uint32_t kRxDropped = 0x014;
constexpr uint32_t kControl = 0x018;
constexpr uint32_t kRegistersSize = 0x01C;
constexpr uint32_t kTransmit = 0x100;
constexpr uint32_t kReceive = 0x800;
constexpr uint32_t kMaxTransmit = Gvcp::kMaxMemory - 4;   // one WRITEMEM: 532 bytes after the count
constexpr uint32_t kMaxInject = 2044;
constexpr uint32_t kStatusAvailable = 1u << 0;
constexpr uint32_t kStatusBulk = 1u << 1;
constexpr uint32_t kControlUnsupported = 1u << 0;
constexpr size_t kMaxEventBytes = Gvcp::kMaxPayload - Gvcp::EventEntry::kSize - 4;   // 520: event data less the count word
constexpr uint16_t kEventIdBase = 0xA000;
constexpr uint16_t EventId(uint32_t aPort) { return uint16_t(kEventIdBase + aPort); }
}  // namespace Serial

// The transport a device serves (which decides its bulk serial channels). kAuto: GigE Vision while
// the UDP front end runs, USB3 Vision while the device is only reached in-process (as the simulated
// USB3 Vision device of the host model is).
enum class Transport { kAuto, kGigEVision, kUSB3Vision };

// The event the device fires at the end of each frame when EventNotification is On. Its data (16
// bytes, big-endian): the block ID (8 bytes), then the frame's timestamp (8 bytes).
constexpr uint16_t kFrameEndEventId = 0x9001;

// ---- device description ----
struct Identity {
    std::string manufacturer = "Kivo Sim";
    std::string model = "Software Device";
    std::string version = "1.0.0";
    std::string manufacturerInfo = "Software GigE Vision device";
    std::string serial = "SIM0001";
    std::string userName;
    std::string firmwareVersion = "1.0";
    std::array<uint8_t, 6> mac{{0x02, 0x4B, 0x49, 0x00, 0x00, 0x01}};
};

// The image of one stream channel: the first values of its format registers, the formats its
// PixelFormat takes and the largest packet size its SCPS register takes.
struct ChannelConfig {
    uint32_t width = 640;
    uint32_t height = 480;
    uint32_t pixelFormat = Pfnc::kMono8;
    // The PixelFormat entries the channel offers, in this order: those the engine makes or the device
    // names (DeviceConfig::pixelFormatNames), and pixelFormat when it is not among them.
    std::vector<uint32_t> pixelFormats = {Pfnc::kMono8, Pfnc::kMono16, Pfnc::kRGB8, Pfnc::kBayerRG8};
    uint32_t sensorWidth = 0;   // 0: max(width, 4096)
    uint32_t sensorHeight = 0;  // 0: max(height, 4096)
    uint32_t packetSizeMax = Reg::kMaxPacketSize;   // kMinPacketSize to kPacketSizeLimit
};

// The identity strings a device may change while it lives, and the longest text of each: its
// register's size less the terminating NUL (UTF-8 bytes).
enum class IdentityString { kManufacturer, kModel, kVersion, kManufacturerInfo, kSerial, kUserName, kFirmwareVersion };
constexpr size_t IdentityCapacity(IdentityString aString) {
    switch (aString) {
    case IdentityString::kManufacturerInfo: return 47;
    case IdentityString::kSerial:
    case IdentityString::kUserName: return 15;
    default: return 31;
    }
}

// The description of a device that the embedding code makes (a software device) in place of the
// test device's: its header, each channel's limits (a channel's largest width and height are its
// sensor's, ChannelConfig::sensorWidth and sensorHeight) and the place of the registers the
// embedding code serves for it. It holds the standard features of a transmitter without those of the
// test pattern: no frame period or rate, exposure, FrameEnd event or serial ports.
struct DescriptionHeader {
    std::string modelName, vendorName, toolTip;
    std::string productGuid, versionGuid;
    uint16_t majorVersion = 1, minorVersion = 0, subMinorVersion = 0;
};
struct ChannelLimits {
    uint32_t widthMin = 1, widthInc = 1, heightMin = 1, heightInc = 1;
};
// One node of the embedding code's: its element (kind) with its Name and NameSpace, then what is
// given of its elements, in the schema's order. Empty texts and lists are left out.
struct FeatureNode {
    std::string kind;   // Integer, Float, String, IntReg, FloatReg, StringReg, Register, Boolean, Command,
                        // Enumeration, IntSwissKnife, SwissKnife, IntConverter, Converter, Category
    std::string name;
    bool standard = false;   // NameSpace Standard, else Custom
    // Every kind.
    std::string toolTip, description, displayName, visibility, isAvailable, isLocked, imposedAccess;
    bool streamable = false;
    std::vector<std::string> selected, invalidators;
    // Category: its features.
    std::vector<std::string> features;
    // Register nodes (IntReg, FloatReg, StringReg, Register) on the device's port: Address, or
    // pAddress when addressNode is given; big-endian numbers, signed when isSigned.
    uint64_t address = 0;
    std::string addressNode;
    int64_t length = 4;
    std::string access = "RW", cachable;
    uint32_t pollingTime = 0;   // 0: not polled
    bool isSigned = false;
    std::string port = "Device";   // the node's pPort
    bool littleEndian = false;     // numbers: LittleEndian, else BigEndian
    // Port: the chunk or event whose data it shows (hexadecimal, the one given).
    std::string chunkId, eventId;
    // Value nodes: pValue, the bounds (a number, or the node that gives it), display.
    std::string value;
    struct Bound {
        std::string text;
        bool node = false;
    };
    Bound min, max, inc;
    std::string representation, unit;
    // Formula nodes: pVariable Name="first">second</pVariable>, the formulas.
    std::vector<std::pair<std::string, std::string>> variables;
    std::string formula, formulaFrom, formulaTo;
    // Enumeration entries (Name is the symbolic name).
    struct Entry {
        std::string name, displayName, isAvailable;
        bool standard = false;
        int64_t value = 0;
    };
    std::vector<Entry> entries;
};
// A change of one of the device's own nodes (aNode; an entry of it when entry is given): the child
// element tag with text value, replacing the children of the tags in replaced, or (append) joining
// the children of its tag.
struct NodePatch {
    std::string node, entry, tag, value;
    std::vector<std::string> replaced;
    bool append = false;
};
struct Description {
    DescriptionHeader header;
    std::vector<ChannelLimits> limits;   // channel n's when n < limits.size(), else the defaults
    // Channel n's PayloadSize: the read-only register at payloadSizeBase + 4 n, which the embedding
    // code serves (a register handler); 0: the image's size, computed by the description itself.
    uint32_t payloadSizeBase = 0;
    // The embedding code's own nodes (a software device's application features and the nodes made
    // for them), written after the device's own in the order given; the names of topCategories join
    // Root's list, those of sourceSelected SourceSelector's (with several channels), and those
    // listed for one of the device's own categories that category's.
    std::vector<FeatureNode> features;
    std::vector<std::string> topCategories, sourceSelected;
    std::vector<std::pair<std::string, std::vector<std::string>>> joinedCategories;
    // Applied to the device's own nodes once they are written (a node or entry the description does
    // not have is left alone: the load check names what is missing).
    std::vector<NodePatch> patches;
    // ChunkDataControl (ChunkModeActive, ChunkSelector offering chunkEntries, ChunkEnable), when
    // chunkBase is not 0 and there are entries: channel n's three registers lie at chunkBase + 16 n
    // (+0 the mode, +4 the selected chunk, +8 its enable), served by the embedding code.
    uint32_t chunkBase = 0;
    std::vector<std::pair<uint32_t, std::string>> chunkEntries;   // (chunk ID, entry name)
    // GevSCCFGMultiPartEnabled and GevSCCFGLargeLeaderTrailerEnabled over the channels' SCCFG
    // registers (Reg::Sccfg), which the embedding code serves.
    bool multiPart = false;
    // The user sets (UserSetControl): their registers, which the embedding code serves, lie from
    // userSetBase (0: none) as UserSetRegister lists them; the sets are Default and UserSet1 to
    // UserSet<userSetCount>, and UserSetFeatureSelector lists the image format features (with stream
    // channels) and then the embedding code's userSetFeatures (Streamable nodes of features).
    uint32_t userSetBase = 0;
    uint32_t userSetCount = 0;
    std::vector<std::string> userSetFeatures;
};
// The words of the user-set registers, from Description::userSetBase (4 bytes each, big-endian):
// the selected set (0 Default, k UserSetk), load and save of it (write 1), the set loaded at start,
// the selected feature (UserSetFeatureValue) and whether a save stores it (0 or 1).
enum class UserSetRegister : uint32_t { kSelector, kLoad, kSave, kDefault, kFeatureSelector, kFeatureEnable, kCount };
constexpr uint32_t UserSetAddress(uint32_t aBase, UserSetRegister aRegister) { return aBase + 4 * uint32_t(aRegister); }
// The features a user set holds, in the order of their selector's entries (every channel's value).
constexpr std::array<const char*, 5> kUserSetFeatures = {"Width", "Height", "OffsetX", "OffsetY", "PixelFormat"};
constexpr std::array<uint32_t, 5> kUserSetRegisters = {Reg::kWidth, Reg::kHeight, Reg::kOffsetX, Reg::kOffsetY,
                                                       Reg::kPixelFormat};
// UserSetFeatureSelector's value of the embedding code's feature n (Description::userSetFeatures):
// those follow the image format's, whether or not the device has stream channels.
constexpr uint32_t UserSetFeatureValue(size_t n) { return uint32_t(kUserSetFeatures.size() + n); }

// A device. The image it inherits is that of every channel that channels does not list.
struct DeviceConfig : ChannelConfig {
    // Strings longer than their registers are cut to fit (SetIdentityString refuses them instead).
    Identity identity;
    uint32_t streamChannels = 1;   // 0 to Reg::kMaxStreamChannels
    // Channel n's own image when n < channels.size() (a device made with more keeps the first ones).
    std::vector<ChannelConfig> channels;
    // The PixelFormat entry names of formats the engine makes no test pattern of; only such a format
    // that has a name here is offered (its frames come from a frame provider).
    std::map<uint32_t, std::string> pixelFormatNames;
    uint32_t maxPacketSize = Reg::kMaxPacketSize;   // larger test packets never arrive (the path's limit)
    uint32_t address = 0;       // host order; where Start(0) binds (0: the first free 127.0.0.x)
    Transport transport = Transport::kAuto;
    // Null: the test device's description (with the test pattern's features).
    std::shared_ptr<const Description> description;
};

// A peer of the control channel (host order).
struct Peer {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const Peer&) const = default;
};

// Counters of the device (running totals, except the two maxima).
struct Statistics {
    uint64_t discoveriesReceived = 0;
    uint64_t forceIpsReceived = 0;
    uint64_t readRegsReceived = 0;
    uint64_t writeRegsReceived = 0;
    uint64_t readMemsReceived = 0;
    uint64_t writeMemsReceived = 0;
    uint64_t packetResendRequestsReceived = 0;
    uint64_t actionCommandsReceived = 0;
    uint64_t unknownCommandsReceived = 0;
    uint64_t malformedCommandsReceived = 0;
    uint64_t foreignCommandsIgnored = 0;   // from outside 127.0.0.0/8: neither served nor answered
    uint64_t pendingAcksIssued = 0;
    uint64_t retriesReceived = 0;
    uint64_t retriesReceivedMax = 0;
    uint64_t eventsIssued = 0;
    uint64_t eventDatasIssued = 0;
    uint64_t eventRetriesIssued = 0;
    uint64_t eventRetriesIssuedMax = 0;
    uint64_t eventsAcknowledged = 0;
    uint64_t sessionsOpened = 0;
    uint64_t sessionsClosed = 0;
    uint64_t heartbeatFailures = 0;
    uint64_t testPacketsIssued = 0;
    uint64_t framesSent = 0;
    uint64_t gvspPacketsSent = 0;
    uint64_t gvspPacketsDropped = 0;
    uint64_t gvcpCommandsDropped = 0;
    uint64_t packetsResent = 0;
    uint64_t framesOverrun = 0;   // sent with their trailer marked DATA_OVERRUN (Frame::overrun)
    // PACKETRESEND commands not taken: from a peer neither the controller nor the channel's
    // destination, for a channel the device does not have, or while kResendQueue requests wait.
    uint64_t resendRequestsRefused = 0;
    // Resend requests answered PACKET_UNAVAILABLE: the block had left the resend history.
    uint64_t resendsUnavailable = 0;
};

// Resends. A PACKETRESEND is taken from the controller and from the channel's destination (the
// address and port of SCDA and SCP; for a multicast group, any loopback peer sending from the group's
// port, as the group's receivers share it), and waits for the device's resend thread, which sends
// at most kResendBytesPerSecond of packets a second (bursts of kResendBurstBytes), so that neither
// the control channel nor the streams wait for resends. One request brings at most
// kResendMaxPackets packets (a longer range: its first ones); at most kResendQueue requests wait.
// Resends never change a channel's pace: whoever asks, only the controller's packet delay (SCPD)
// spaces its packets.
constexpr uint32_t kResendMaxPackets = 256;
constexpr uint64_t kResendBytesPerSecond = uint64_t(64) << 20;
constexpr uint64_t kResendBurstBytes = uint64_t(8) << 20;
constexpr size_t kResendQueue = 1024;

// Fault injection. A status other than 0 makes the controller's reads (READREG, READMEM) or writes
// (WRITEREG, WRITEMEM) of addresses in [begin, end) answer with it; the local side is not affected.
// A non-zero pendingMs answers those reads and writes with a PENDING_ACK of that many milliseconds
// instead, and never carries them out; the UDP front end says it again every half of that time
// until another command arrives. A non-zero dropEvery drops every n-th GVSP packet, or every n-th
// GVCP command received.
struct Faults {
    uint16_t readStatus = 0;
    uint16_t writeStatus = 0;
    uint16_t pendingMs = 0;
    uint32_t begin = 0;
    uint32_t end = 0xFFFFFFFF;
    uint32_t dropGvspEvery = 0;
    uint32_t dropGvcpEvery = 0;
};

// The answer of the dispatcher: the acknowledge to send back (empty: none), and for an accepted
// FORCEIP the address (host order) the transport must move to before it sends the acknowledge.
struct Reply {
    std::vector<uint8_t> ack;
    uint32_t moveTo = 0;
};

// An entry of the registry of running devices.
struct DeviceRecord {
    Identity identity;
    uint32_t address = 0;  // host order
};

// ---- frame building (shared by the sender and the tests) ----
struct FrameLayout {
    uint32_t width = 0, height = 0, offsetX = 0, offsetY = 0, pixelFormat = Pfnc::kMono8;
    uint32_t packetSize = Reg::kDefaultPacketSize;
};
// The bytes of one frame's image: height lines of width pixels.
TQ_ENGINE_API size_t ImageBytes(const FrameLayout& aLayout);
// Fills aImage with the test pattern of one frame (ImageBytes; zeros for a format the engine makes no
// pattern of).
TQ_ENGINE_API void FillPattern(const FrameLayout& aLayout, uint16_t aFrame, std::vector<uint8_t>& aImage);
// The same into memory that has room for the frame.
TQ_ENGINE_API void FillPattern(const FrameLayout& aLayout, uint16_t aFrame, uint8_t* aImage);

// One part of a multi-part frame: its entry in the leader (data type, IDs, zones and, for images,
// the geometry; partLength is set from size), its bytes, and the lines of an image part that its
// trailer tells.
struct FramePart {
    Gvsp::PartEntry::Fields entry;
    const uint8_t* data = nullptr;
    size_t size = 0;
    uint32_t sizeY = 0;
};

// One frame of a stream channel: its payload's bytes and what its leader tells of them. A frame
// provider fills it; the test pattern's frames are made the same way.
struct Frame {
    // Set by the sender before it asks the provider: the block ID the frame will carry (and again,
    // as it went out, before FrameProvider::FrameDone). A provider may give another one, any but 0:
    // with extended IDs on (Reg::kGvspConfiguration) it goes out whole, otherwise as its low 16 bits
    // (the sender's own count when those are 0).
    uint64_t blockId = 0;
    // The payload: the image's bytes, then (chunk mode) a chunk area, which makes the payload type
    // Gvsp::kPayloadImageExtendedChunk. The memory is the provider's: the sender reads it until it
    // calls FrameProvider::FrameDone, and keeps copies for resends. An image shorter than its
    // geometry (the lines with their padding) goes out as it is, and the trailer tells the lines it
    // holds whole.
    const uint8_t* image = nullptr;
    size_t imageSize = 0;
    const uint8_t* chunks = nullptr;
    size_t chunkSize = 0;
    uint32_t chunkLayoutId = 0;
    uint32_t width = 0, height = 0, offsetX = 0, offsetY = 0, pixelFormat = Pfnc::kMono8;
    uint16_t paddingX = 0, paddingY = 0;
    // Other payload types: the chunks alone (Gvsp::kPayloadChunkData: `chunks`, `chunkSize` and
    // `chunkLayoutId`, no image), or the parts of a multi-part block (Gvsp::kPayloadMultiPart:
    // `parts`, each in payload packets of its own). 0: the image above.
    uint16_t payloadType = 0;
    std::vector<FramePart> parts;
    // The frame lacks data it should have (chunks that did not fit): its trailer goes out with the
    // DATA_OVERRUN status.
    bool overrun = false;
    // Device ticks; none: the device's clock as the sender takes it. Before FrameDone the sender
    // sets it to the timestamp the leader carried.
    std::optional<uint64_t> timestamp;
    void* tag = nullptr;                 // the provider's own, handed back with the frame
};
// The lines of aFrame's image its bytes hold whole (its height when they hold the whole image, or
// when its pixel format tells no size).
TQ_ENGINE_API uint32_t WholeLines(const Frame& aFrame);
// The GVSP packets of one frame at a packet size: leader (packet 0), payload packets 1..n, trailer
// (n + 1), with the extended-ID header when aExtendedIds. The packets hold copies of the frame's bytes.
TQ_ENGINE_API std::vector<std::vector<uint8_t>> BuildPackets(const Frame& aFrame, uint64_t aTimestamp,
                                                             uint32_t aPacketSize, bool aExtendedIds = false);
// The GVSP packets of one frame of the test pattern.
TQ_ENGINE_API std::vector<std::vector<uint8_t>> BuildFrame(const FrameLayout& aLayout, uint16_t aBlockId,
                                                           uint64_t aTimestamp);

// Where a stream channel's frames come from instead of the test pattern. Each of its operations is
// called with no engine lock held and may call the device back, except to start or stop
// acquisition, to change sinks or providers, or to stop or destroy the device.
class FrameProvider {
public:
    virtual ~FrameProvider() = default;
    // The channel's sender starts (acquisition started) and has ended (acquisition stopped); on the
    // sender's thread, around all the calls below of that run.
    virtual void Started(uint32_t aChannel) {}
    virtual void Stopped(uint32_t aChannel) {}
    // The next frame, on the sender's thread: the provider waits for it as long as it likes (its pace
    // is the channel's) and answers true with aFrame filled in, or false for no frame this time (the
    // sender then sees whether the channel stops, and asks again).
    virtual bool NextFrame(uint32_t aChannel, Frame& aFrame) = 0;
    // Once for each frame NextFrame gave, on the sender's thread: the sender no longer reads its bytes,
    // so the provider may take its memory back. aSent: the frame left (to the destination, the stream
    // tap or the block sink); false when nothing took it (no link, no destination, the channel stopped).
    virtual void FrameDone(uint32_t aChannel, const Frame& aFrame, bool aSent) = 0;
    // Asked, on the sender's thread, when NextFrame answered false: true when the provider can give
    // no more frames in this run (it failed). The channel's sender then ends as a stopped one does
    // (Stopped follows); the device's acquisition ends with the last sender that runs, and an
    // AcquisitionStart starts the senders that do not run again.
    virtual bool Ended(uint32_t aChannel) { return false; }
    // The channel stops: a NextFrame under way, and any that comes before the next Started, should
    // answer false soon. From the thread that stops the channel, before it waits for the sender.
    virtual void Interrupt(uint32_t aChannel) {}
};
// The block ID that follows aBlockId (0xFFFF is followed by 1; 0 is never used), and the same among
// 64-bit block IDs.
constexpr uint16_t NextBlockId(uint16_t aBlockId) { return aBlockId == 0xFFFF ? 1 : uint16_t(aBlockId + 1); }
constexpr uint64_t NextExtendedBlockId(uint64_t aBlockId) { return aBlockId == ~uint64_t(0) ? 1 : aBlockId + 1; }

// A frame as the device hands it whole to a block sink (the in-process USB3 Vision path instead of
// GVSP): what its leader tells, and its payload, written where the consumer wants it.
struct TQ_ENGINE_API Block {
    uint32_t channel = 0;
    uint64_t blockId = 0;
    uint64_t timestamp = 0;   // device ticks (nanoseconds)
    FrameLayout layout;       // geometry and pixel format; the packet size plays no part
    size_t size = 0;          // payload bytes: width * height * bytes per pixel, or the provider's frame's
    const Frame* frame = nullptr;   // the provider's frame (during the sink's call), or null: the test pattern
    // Writes the payload (size bytes) to aDestination, which must have room for them.
    void Fill(uint8_t* aDestination) const;
};

// ---- register handlers ----
// Device memory that the embedding code serves instead of the engine. A controller's READREG,
// WRITEREG, READMEM and WRITEMEM of its addresses (through the UDP front end or Dispatch) reach the
// handler on the thread that serves the command, with no engine lock held, so that the handler may
// call the device back (read and write its registers, fire events); the status it answers is the
// acknowledge's, and an exception it throws answers kError. The controller's privilege is checked
// before, and the faults of SetFaults apply before, as for the engine's own memory. The local side
// (ReadRegister ... WriteMemory) never reaches a handler: there the engine's own memory lies beneath
// it, unless the handler was installed to take local accesses as well: then the local side's accesses
// of its ranges reach it too (with a peer of address 0), except those it makes itself while it serves
// an access (on that thread), which reach the engine's memory beneath. An access that spans handlers
// and the engine's memory is served part by part in address order and ends at the first part that
// fails.
class RegisterHandler {
public:
    virtual ~RegisterHandler() = default;
    // aSize bytes at aAddress (both multiples of 4), all within one range of the handler. Read fills
    // aData when it answers kSuccess.
    virtual uint16_t Read(uint32_t aAddress, uint8_t* aData, size_t aSize, const Peer& aPeer) = 0;
    virtual uint16_t Write(uint32_t aAddress, const uint8_t* aData, size_t aSize, const Peer& aPeer) = 0;
};

struct AddressRange {
    uint32_t address = 0;
    uint32_t size = 0;
};

// ---- notifications ----
// What happens to the device's control side, told to the embedding code once the engine has done it,
// with no engine lock held (the observer may call the device back, except to stop or destroy it),
// one at a time and in the order it happened: on the thread that made it happen (the GVCP server,
// a Dispatch or local caller), or on one that is telling others at the time.
class Observer {
public:
    virtual ~Observer() = default;
    // A controller took the control privilege; aPrivilege holds its CCP bits (Reg::kCcpExclusive,
    // kCcpControl, kCcpSwitchoverEnable).
    virtual void SessionOpened(const Peer& aController, uint32_t aPrivilege) {}
    // The controller's session ended: it gave the privilege up, another took it over, the device
    // ended it (CCP written to 0 on its own side, a reset), or its heartbeat ran out (aHeartbeat).
    virtual void SessionClosed(const Peer& aController, bool aHeartbeat) {}
    // FORCEIP moved the device to aAddress (host order), before the acknowledge leaves.
    virtual void AddressForced(uint32_t aAddress, uint32_t aMask, uint32_t aGateway) {}
    // A full reset was done (see Device::Reset).
    virtual void DeviceReset() {}
};

// ---- the device ----
class TQ_ENGINE_API Device {
public:
    // Milliseconds of a monotonic clock; the heartbeat and the age of the resend history are measured
    // on it.
    using Clock = std::function<uint64_t()>;
    // Receives every GVSP packet of a channel instead of the socket (devices without the UDP front end).
    using StreamTap = std::function<void(uint32_t aChannel, const uint8_t* aData, size_t aSize)>;
    // Receives every messaging channel command instead of the socket; the command counts as acknowledged.
    using MessageTap = std::function<void(const uint8_t* aData, size_t aSize)>;
    // Receives the frames of one channel whole, on the channel's sender thread.
    using BlockSink = std::function<void(const Block& aBlock)>;

    explicit Device(const DeviceConfig& aConfig = DeviceConfig());
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // The dispatcher: one GVCP command datagram from aPeer (aBroadcast: it came to a broadcast
    // address, where only DISCOVERY and FORCEIP are served). Never reads outside the buffer. A peer
    // outside 127.0.0.0/8 gets no answer and changes nothing (foreignCommandsIgnored counts it).
    // A retry of a READREG, WRITEREG, READMEM or WRITEMEM that reached a register handler (the same
    // datagram from the same peer, its request ID included, right after the first) is counted and
    // answered with the first one's acknowledge: the handler serves it once per request.
    Reply Dispatch(const uint8_t* aData, size_t aSize, const Peer& aPeer, bool aBroadcast = false);
    // Expires the control privilege when its heartbeat has run out (the dispatcher and the UDP front
    // end call it as well).
    void Poll();

    // The UDP front end. aAddress (host order) 0 means the configured address, and when that is 0 too
    // the first free 127.0.0.x from 127.0.0.1 up; otherwise the device binds that 127.x address or
    // fails. False with aError on failure. A stopped device may start again.
    bool Start(uint32_t aAddress = 0, std::string* aError = nullptr);
    void Stop();
    bool IsRunning() const;
    uint32_t Address() const;  // host order; 0 when not running
    // A duplicate of the socket stream channel aChannel sends from (its port SCSP tells), for a
    // sender of the caller's that must appear as the channel; -1 while the channel is closed. The
    // caller closes it.
    int DuplicateChannelSocket(uint32_t aChannel) const;

    // The local side: register and memory access without privilege checks (write side effects such
    // as AcquisitionStart apply). Results are GigE Vision status codes.
    uint16_t ReadRegister(uint32_t aAddress, uint32_t& aValue);
    uint16_t WriteRegister(uint32_t aAddress, uint32_t aValue);
    // The status a local write of aValue to the engine's own register would answer (its range, the
    // busy rule of the image format while acquiring or TLParamsLocked), changing nothing.
    uint16_t CheckRegister(uint32_t aAddress, uint32_t aValue);
    uint16_t ReadMemory(uint32_t aAddress, void* aData, size_t aSize);
    uint16_t WriteMemory(uint32_t aAddress, const void* aData, size_t aSize);
    // The write of the controller aPeer to the memory beneath the handlers, with the checks and effects
    // its WRITEMEM has there (a CCP write takes or gives up aPeer's privilege): what a handler serving
    // that controller's write passes on. The privilege was checked before the handler was asked.
    uint16_t WriteMemoryAs(const Peer& aPeer, uint32_t aAddress, const void* aData, size_t aSize);
    // The device's own side storing its registers: as WriteMemory, except that a register no
    // controller may write (WriteMemory answers kWriteProtect: a read-only bootstrap register, the
    // description, read-only added memory) takes the bytes as they are. Nothing is written when a
    // word is refused otherwise.
    uint16_t StoreMemory(uint32_t aAddress, const void* aData, size_t aSize);

    // Adds zero-filled memory of the embedding code (its own registers): aRanges within
    // [Reg::kReservedBegin, Reg::kReservedEnd), each a non-empty multiple of 4 bytes at a multiple of 4,
    // outside the memory added before. Read-only memory refuses writes (kWriteProtect) except
    // StoreMemory's. Reached like the engine's own memory by both sides, and kept through a reset.
    // False, and nothing added, when a range is refused.
    bool AddMemory(const std::vector<AddressRange>& aRanges, bool aReadOnly = false);

    // Installs the observer of the device's notifications (null: none). A notification under way may
    // still reach the one it replaced, which the engine holds until then.
    void SetObserver(std::shared_ptr<Observer> aObserver);
    // A full reset, as a controller's write of 1 to Reg::kDeviceReset does: acquisition stops, the
    // session ends (the channels close), every register takes its first value again except the
    // current and the persistent IP settings and the user name (which a real device keeps), the serial
    // ports' bridges start afresh, the timestamp starts at 0 and the next block of each channel is
    // block 1. The identity, the description, the counters, faults, handlers, taps, sinks and the
    // observer stay. The observer hears of the session's end, then of the reset.
    void Reset();

    // Installs aHandler for aRanges, each a non-empty multiple of 4 bytes at a multiple of 4, below
    // 2^32, outside [Reg::kReservedBegin, Reg::kReservedEnd) unless added memory lies under all of it
    // (AddMemory), and outside the ranges of the other handlers (the engine's own registers may lie
    // under it). The handler's ID, or 0 when refused.
    // aLocal: the local side's accesses of the ranges reach the handler too (see RegisterHandler).
    uint64_t AddRegisterHandler(const std::vector<AddressRange>& aRanges, std::shared_ptr<RegisterHandler> aHandler,
                                bool aLocal = false);
    // Removes a handler: no command reaches it once this returns, though a call already under way may
    // still end after (the engine holds the handler until then). False for an unknown ID.
    bool RemoveRegisterHandler(uint64_t aId);

    // Fires an event on the messaging channel: EVENT without data, EVENTDATA with it (at most 524
    // bytes, a multiple of 4). kError when the channel is not open, kInvalidParameter for bad data.
    // The commands the device sends number their requests on from an unpredictable first ID, and only
    // an acknowledge from the channel's destination (MCDA and MCP, address and port) ends the retries.
    uint16_t FireEvent(uint16_t aEventId, const uint8_t* aData = nullptr, size_t aSize = 0,
                       uint64_t aBlockId = 0, uint16_t aChannel = 0xFFFF);
    bool IsMessageChannelOpen() const;
    // Blocks until the queued events were sent and acknowledged or given up (at most aTimeoutMs).
    bool WaitEventsDone(uint32_t aTimeoutMs);
    // Blocks until the resend requests taken so far were served (at most aTimeoutMs).
    bool WaitResendsDone(uint32_t aTimeoutMs);

    // The far end of a serial port: bytes it sends to the device, handed to the messaging channel in
    // order after what the port looped back before (kInvalidAddress: no such port; kAccessDenied: the
    // device does not have it or it is marked unsupported). SetSerialSupported(false) marks a port
    // unsupported: its status shows it unavailable, and it neither transmits nor receives.
    uint16_t SerialReceive(uint32_t aPort, const uint8_t* aData, size_t aSize);
    void SetSerialSupported(uint32_t aPort, bool aSupported);
    bool IsSerialAvailable(uint32_t aPort) const;

    // Unplugs (false) or plugs (true) the device: while unplugged it answers nothing and streams nothing.
    void SetLinkUp(bool aUp);
    bool IsLinkUp() const;
    void SetFaults(const Faults& aFaults);

    Statistics GetStatistics() const;
    void ResetStatistics();
    // The counters go on from aValues (tests start them near their limits).
    void PresetStatistics(const Statistics& aValues);

    // The identity as the device tells it now (the user name as its register holds it).
    Identity GetIdentity() const;
    // Changes an identity string: its register (the bootstrap register, or the firmware version's
    // block at Reg::kFirmwareVersion), what GetIdentity and the registry of running devices tell, and
    // what a reset brings back. kInvalidParameter, and nothing changes, for a text longer than
    // IdentityCapacity or holding a NUL. The description's header keeps the names it was made with.
    uint16_t SetIdentityString(IdentityString aString, const std::string& aText);
    const std::string& Xml() const;
    // Serves another description (padded to whole words) at the same place; the first URL follows.
    void ReplaceXml(const std::string& aXml);
    std::string FirstUrl() const;
    bool IsAcquiring() const;
    Peer Controller() const;  // address 0 when no application holds the privilege

    void SetClock(Clock aClock);  // before Start; the default is the steady clock
    void SetStreamTap(StreamTap aTap);
    void SetMessageTap(MessageTap aTap);
    // While a channel has a block sink its frames go to the sink alone: not to its destination nor
    // to the stream tap, and none is kept for resends. Setting a sink while the device acquires
    // starts the channel's sender. Null removes the sink. When the call returns, the sink it replaced
    // is neither running nor called again (so a sink must not call it). False for a channel the
    // device lacks.
    bool SetBlockSink(uint32_t aChannel, BlockSink aSink);
    // The frames of a channel come from aProvider (null: the test pattern) from the next start of its
    // sender on (the next acquisition). False for a channel the device lacks.
    bool SetFrameProvider(uint32_t aChannel, std::shared_ptr<FrameProvider> aProvider);

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

// The devices whose UDP front end runs in this process.
TQ_ENGINE_API std::vector<DeviceRecord> RunningDevices();

// The bytes mapped for the payloads of sent blocks (the bulk of the resend histories), of every device
// of this process together: what a device holds of them is unmapped once it stopped.
TQ_ENGINE_API uint64_t PayloadMemoryMapped();

// Text helpers.
TQ_ENGINE_API std::string FormatAddress(uint32_t aAddress);  // host order to dotted quad
TQ_ENGINE_API bool ParseAddress(const std::string& aText, uint32_t& aAddress);

}  // namespace TqEngine
