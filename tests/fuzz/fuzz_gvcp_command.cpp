// GVCP commands into the device engine's dispatcher (TqEngine::Device::Dispatch): a whole
// conversation per input, on a fresh device (two stream channels) whose clock the input drives.
//
// Input: records of [flags u8][time u8][length u16][command]. Flags bit 0 sends the command to the
// broadcast address, bits 1-2 pick one of four loopback peers; time advances the device's clock by
// that many tenths of a second first (so heartbeats run out).
// Checked besides the sanitizers: an acknowledge is a GVCP header naming the command and the
// request ID, with at most 540 bytes of data that its length states; a command that asks for no
// acknowledge gets none (DISCOVERY aside); the device still answers a discovery at the end; each
// command read through every payload view of the codec (events, resends, actions in both forms)
// finds its fields within the datagram.
#include "TqDeviceEngine.h"
#include "fuzz_input.h"

#include <atomic>

using namespace TqEngine;
using KivoFuzz::Bytes;

namespace {

std::atomic<uint64_t> gNow{0};

const Peer kPeers[4] = {{0x7F000001, 50000}, {0x7F000001, 50001}, {0x7F000002, 50000}, {0x7F0000FE, 3956}};

void CheckAck(const Bytes& aCommand, const Reply& aReply) {
    const std::vector<uint8_t>& ack = aReply.ack;
    if (ack.empty()) return;
    const auto command = Gvcp::CommandView::Of(aCommand.data(), aCommand.size());
    const auto answer = Gvcp::AckView::Of(ack.data(), ack.size());
    KIVO_FUZZ_CHECK(command);
    KIVO_FUZZ_CHECK(answer && ack.size() <= Gvcp::kHeaderSize + Gvcp::kMaxPayload);
    KIVO_FUZZ_CHECK(answer->Length() == ack.size() - Gvcp::kHeaderSize);
    KIVO_FUZZ_CHECK(answer->Code() == Gvcp::AckOf(command->Code()));
    KIVO_FUZZ_CHECK(answer->AckId() == command->RequestId());
    KIVO_FUZZ_CHECK(command->AckRequired() || command->Code() == Gvcp::kDiscoveryCmd);
}

// Reads a command through every payload view of the control codec in both of their forms, as the
// device link reads events: none may read outside the datagram, and what they find lies within it.
void ReadThroughViews(const Bytes& aCommand) {
    const auto command = Gvcp::CommandView::Of(aCommand.data(), aCommand.size());
    if (!command) return;
    const Gvcp::Bytes payload = command->Payload();
    KIVO_FUZZ_CHECK(payload.data() + payload.size() <= aCommand.data() + aCommand.size());
    uint64_t sum = 0;
    for (bool second : {false, true}) {
        if (const auto events = Gvcp::EventList::Of(payload, second))
            for (size_t i = 0; i < events->Count(); ++i) sum += events->Entry(i).BlockId() + events->Entry(i).Timestamp();
        if (const auto event = Gvcp::EventEntry::Of(payload, second)) {
            KIVO_FUZZ_CHECK(event->Data().data() + event->Data().size() <= payload.data() + payload.size());
            sum += event->Data().size();
        }
        if (const auto resend = Gvcp::PacketResendCommand::Of(payload, second)) sum += resend->BlockId() + resend->LastPacket();
        if (const auto action = Gvcp::ActionCommand::Of(payload, second)) sum += action->ActionTime().value_or(0);
    }
    if (const auto force = Gvcp::ForceIpCommand::Of(payload)) sum += force->Mac() + force->Gateway();
    KivoFuzz::Touch(&sum, sizeof sum);
}

// ---- seeds: the commands of the engine's tests ----

Bytes Command(uint16_t aCommand, const std::vector<uint32_t>& aWords, uint16_t aRequest, uint8_t aFlags = 1) {
    return Gvcp::NewWordCommand(aCommand, aRequest, aWords, aFlags);
}

Bytes ReadMem(uint32_t aAddress, uint16_t aCount, uint16_t aRequest) {
    Bytes out = Gvcp::NewCommand(Gvcp::kReadMemCmd, aRequest, Gvcp::ReadMemCommand::kSize);
    Gvcp::ReadMemCommand::Write(Gvcp::PayloadOf(out), aAddress, aCount);
    return out;
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
    {   // exclusive control refused to another peer, a retry, user name by WRITEMEM, resend, action,
        // an event with extended IDs (a device does not take events)
        Conversation c;
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kCcp, ccpExclusive}, 1));
        c.Send(Command(Gvcp::kReadRegCmd, {Reg::kWidth}, 2), 2);
        c.Send(Command(Gvcp::kReadRegCmd, {Reg::kWidth}, 2), 2);
        c.Send(Command(Gvcp::kWriteMemCmd, {Reg::kUserName, 0x6B69766F, 0}, 3));
        Bytes resend = Gvcp::NewCommand(Gvcp::kPacketResendCmd, 4, Gvcp::PacketResendCommand::kSize);
        Gvcp::PacketResendCommand::Write(Gvcp::PayloadOf(resend), false, 0, 1, 1, 3);
        Bytes action = Gvcp::NewCommand(Gvcp::kActionCmd, 5, Gvcp::ActionCommand::kSize);
        Gvcp::ActionCommand::Write(Gvcp::PayloadOf(action), 0, 1, 1);
        Bytes event = Gvcp::NewCommand(Gvcp::kEventDataCmd, 7, Gvcp::EventEntry::kExtendedSize + 4,
                                       Gvcp::kFlagAckRequired | Gvcp::kFlagExtendedIds);
        Gvcp::EventEntry::Write(Gvcp::PayloadOf(event), true, 0x9001, 0, uint64_t{1} << 40, 12345, 4);
        c.Send(resend).Send(action).Send(event);
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kMcda, 0x7F000001, Reg::kMcp, 40001, Reg::kEventNotification, 1}, 6));
        seeds.push_back(c.w.Get());
    }
    {   // FORCEIP for the device's MAC address, and a serial port's transmit window
        Conversation c;
        Bytes force = Gvcp::NewCommand(Gvcp::kForceIpCmd, 1, Gvcp::ForceIpCommand::kSize, 0x11);
        Gvcp::ForceIpCommand::Write(Gvcp::PayloadOf(force), Identity().mac, 0x7F000009, 0, 0);
        c.Send(force, 1);
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kCcp, ccpControl}, 2));
        c.Send(Command(Gvcp::kWriteMemCmd, {Serial::Base(0) + Serial::kTransmit, 5, 0x68656C6C, 0x6F000000}, 3));
        c.Send(Command(Gvcp::kReadRegCmd, {Serial::Base(0) + Serial::kTxBytes, Serial::Base(0) + Serial::kStatus}, 4));
        seeds.push_back(c.w.Get());
    }
    {   // malformed: short, another key, a length past the datagram, unaligned, unknown
        Conversation c;
        Bytes cut = Command(Gvcp::kReadRegCmd, {}, 0);
        cut.resize(3);   // shorter than a header
        c.Send(cut).Send(Command(Gvcp::kReadRegCmd, {0}, 1)).Send(Command(Gvcp::kReadRegCmd, {2}, 2));
        Bytes wrongKey = Command(Gvcp::kReadRegCmd, {0}, 3);
        Gvcp::CommandView::kKeyCode.Put(wrongKey.data(), 0x43);
        Bytes tooLong = Command(Gvcp::kReadRegCmd, {0}, 4);
        Gvcp::CommandView::kLength.Put(tooLong.data(), 0x40);
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
        ReadThroughViews(command);
        const Reply reply = device.Dispatch(command.data(), command.size(), kPeers[(flags >> 1) & 3], flags & 1);
        CheckAck(command, reply);
    }
    const Bytes discovery = Command(Gvcp::kDiscoveryCmd, {}, 0xBEEF);
    const Reply answer = device.Dispatch(discovery.data(), discovery.size(), kPeers[0]);
    KIVO_FUZZ_CHECK(answer.ack.size() == Gvcp::kHeaderSize + Gvcp::kDiscoverySize);
    return 0;
}
