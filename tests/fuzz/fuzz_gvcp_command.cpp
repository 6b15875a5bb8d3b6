// GVCP commands into the device engine's dispatcher (TqEngine::Device::Dispatch): a whole
// conversation per input, on a fresh device (two stream channels) whose clock the input drives.
//
// Input: records of [flags u8][time u8][length u16][command]. Flags bit 0 sends the command to the
// broadcast address, bits 1-2 pick one of four loopback peers; time advances the device's clock by
// that many tenths of a second first (so heartbeats run out).
// Checked besides the sanitizers: an acknowledge is a GVCP header naming the command and the
// request ID, with at most 540 bytes of data that its length states; a command that asks for no
// acknowledge gets none (DISCOVERY aside); the device still answers a discovery at the end.
#include "TqDeviceEngine.h"
#include "fuzz_input.h"

#include <atomic>

using namespace TqEngine;
using KivoFuzz::Bytes;

namespace {

std::atomic<uint64_t> gNow{0};

const Peer kPeers[4] = {{0x7F000001, 50000}, {0x7F000001, 50001}, {0x7F000002, 50000}, {0x7F0000FE, 3956}};

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void CheckAck(const Bytes& aCommand, const Reply& aReply) {
    const std::vector<uint8_t>& ack = aReply.ack;
    if (ack.empty()) return;
    KIVO_FUZZ_CHECK(aCommand.size() >= Gvcp::kHeaderSize);
    KIVO_FUZZ_CHECK(ack.size() >= Gvcp::kHeaderSize && ack.size() <= Gvcp::kHeaderSize + Gvcp::kMaxPayload);
    KIVO_FUZZ_CHECK(Get16(ack.data() + 4) == ack.size() - Gvcp::kHeaderSize);
    KIVO_FUZZ_CHECK(Get16(ack.data() + 2) == static_cast<uint16_t>(Get16(aCommand.data() + 2) + 1));
    KIVO_FUZZ_CHECK(Get16(ack.data() + 6) == Get16(aCommand.data() + 6));
    KIVO_FUZZ_CHECK((aCommand[1] & Gvcp::kFlagAckRequired) || Get16(aCommand.data() + 2) == Gvcp::kDiscoveryCmd);
}

// ---- seeds: the commands of the engine's tests ----

Bytes Command(uint16_t aCommand, const std::vector<uint32_t>& aWords, uint16_t aRequest, uint8_t aFlags = 1) {
    KivoFuzz::Writer w;
    w.U8(Gvcp::kKey).U8(aFlags).U16(aCommand).U16(static_cast<uint16_t>(aWords.size() * 4)).U16(aRequest);
    for (uint32_t word : aWords) w.U32(word);
    return w.Get();
}

Bytes ReadMem(uint32_t aAddress, uint16_t aCount, uint16_t aRequest) {
    return KivoFuzz::Writer().U8(Gvcp::kKey).U8(1).U16(Gvcp::kReadMemCmd).U16(8).U16(aRequest).U32(aAddress).U16(0).U16(aCount).Get();
}

struct Conversation {
    KivoFuzz::Writer w;
    Conversation& Send(const Bytes& aCommand, uint8_t aFlags = 0, uint8_t aTime = 0) {
        w.U8(aFlags).U8(aTime).Record(aCommand);
        return *this;
    }
};

std::vector<Bytes> Seeds() {
    const uint32_t ccpControl = Reg::kCcpControl, ccpExclusive = Reg::kCcpExclusive;
    std::vector<Bytes> seeds;
    {   // discovery, by broadcast and unicast, and the bootstrap registers
        Conversation c;
        c.Send(Command(Gvcp::kDiscoveryCmd, {}, 1, 0x11), 1).Send(Command(Gvcp::kDiscoveryCmd, {}, 2));
        c.Send(Command(Gvcp::kReadRegCmd, {Reg::kVersion, Reg::kDeviceMode, Reg::kMacHigh, Reg::kMacLow, Reg::kCcp}, 3));
        c.Send(ReadMem(Reg::kFirstUrl, 512, 4)).Send(ReadMem(Reg::kManufacturerName, 32, 5));
        seeds.push_back(c.w.Get());
    }
    {   // control, a stream destination, acquisition, the description and a heartbeat that runs out
        Conversation c;
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kCcp, ccpControl}, 1));
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::Scda(0), 0x7F000001, Reg::Scp(0), 40000, Reg::Scps(0), 1500}, 2));
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kWidth, 64, Reg::kHeight, 48, Reg::kPixelFormat, Pfnc::kMono16}, 3));
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kAcquisitionMode, 1, Reg::kAcquisitionStart, 1}, 4));
        c.Send(ReadMem(Reg::kXmlBase, Gvcp::kMaxMemory, 5)).Send(ReadMem(Reg::kXmlBase + 536, 100, 6));
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kAcquisitionStop, 1}, 7));
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kHeartbeatTimeout, 500}, 8));
        c.Send(Command(Gvcp::kReadRegCmd, {Reg::kCcp}, 9), 2, 10);
        seeds.push_back(c.w.Get());
    }
    {   // exclusive control refused to another peer, a retry, user name by WRITEMEM, resend, action
        Conversation c;
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kCcp, ccpExclusive}, 1));
        c.Send(Command(Gvcp::kReadRegCmd, {Reg::kWidth}, 2), 2);
        c.Send(Command(Gvcp::kReadRegCmd, {Reg::kWidth}, 2), 2);
        c.Send(Command(Gvcp::kWriteMemCmd, {Reg::kUserName, 0x6B69766F, 0}, 3));
        c.Send(Command(Gvcp::kPacketResendCmd, {0x00000001, 1, 3}, 4));
        c.Send(Command(Gvcp::kActionCmd, {0, 1, 1}, 5));
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kMcda, 0x7F000001, Reg::kMcp, 40001, Reg::kEventNotification, 1}, 6));
        seeds.push_back(c.w.Get());
    }
    {   // FORCEIP for the device's MAC address, and a serial port's transmit window
        Conversation c;
        Bytes force = Command(Gvcp::kForceIpCmd, std::vector<uint32_t>(14, 0), 1, 0x11);
        const Identity identity;
        force[8 + 2] = identity.mac[0];
        force[8 + 3] = identity.mac[1];
        for (int i = 0; i < 4; ++i) force[8 + 4 + i] = identity.mac[2 + i];
        force[8 + 20] = 127, force[8 + 23] = 9;
        c.Send(force, 1);
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kCcp, ccpControl}, 2));
        c.Send(Command(Gvcp::kWriteMemCmd, {Serial::Base(0) + Serial::kTransmit, 5, 0x68656C6C, 0x6F000000}, 3));
        c.Send(Command(Gvcp::kReadRegCmd, {Serial::Base(0) + Serial::kTxBytes, Serial::Base(0) + Serial::kStatus}, 4));
        seeds.push_back(c.w.Get());
    }
    {   // malformed: short, another key, a length past the datagram, unaligned, unknown
        Conversation c;
        c.Send({0x42, 0x01, 0x00}).Send(Command(Gvcp::kReadRegCmd, {0}, 1)).Send(Command(Gvcp::kReadRegCmd, {2}, 2));
        Bytes wrongKey = Command(Gvcp::kReadRegCmd, {0}, 3);
        wrongKey[0] = 0x43;
        Bytes tooLong = Command(Gvcp::kReadRegCmd, {0}, 4);
        tooLong[5] = 0x40;
        c.Send(wrongKey).Send(tooLong).Send(Command(0x1234, {1, 2}, 5)).Send(ReadMem(0xFFFFFFFC, 8, 6));
        seeds.push_back(c.w.Get());
    }
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    gNow = 1000000;
    DeviceConfig config;
    config.width = 64;
    config.height = 48;
    config.streamChannels = 2;
    Device device(config);
    device.SetClock([] { return gNow.load(); });
    KivoFuzz::Reader in(aData, aSize);
    while (!in.Empty()) {
        const uint8_t flags = in.U8();
        gNow += 100 * uint64_t{in.U8()};
        const Bytes command = in.Record();
        const Reply reply = device.Dispatch(command.data(), command.size(), kPeers[(flags >> 1) & 3], flags & 1);
        CheckAck(command, reply);
    }
    const Bytes discovery = Command(Gvcp::kDiscoveryCmd, {}, 0xBEEF);
    const Reply answer = device.Dispatch(discovery.data(), discovery.size(), kPeers[0]);
    KIVO_FUZZ_CHECK(answer.ack.size() == Gvcp::kHeaderSize + Gvcp::kDiscoverySize);
    return 0;
}
