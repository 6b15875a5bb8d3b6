// GVCP datagrams into a software device's dispatcher (fuzz_softdevice.h: one device per process),
// from the peers a datagram may come from: the controller, another application, the stream's
// destination, a host outside loopback, and to the broadcast address.
//
// Input: records of [flags u8][length u16][datagram]. Flags bits 0-1 pick the peer, bit 2 sends to
// the broadcast address. Before each input the device is reset and the controller takes control;
// after it the device is reset again, so that no acquisition an input started still runs when the
// process ends (regressions/softdevice_gvcp/acquisition-left-running: the leak check at the end of a
// run met a sender thread in the middle of a frame, now and then).
// Checked besides the sanitizers: an acknowledge names the command and its request ID, and its
// length states its data; after each input the device answers a READREG over UDP.
#include "fuzz_softdevice.h"

using KivoFuzz::Bytes;
using KivoFuzz::SoftDevice;
using namespace TqEngine;

namespace {

// The controller, another application, the stream's destination (the seeds set SCDA and SCP to
// it) and a host outside 127.0.0.0/8.
const Peer kPeers[4] = {SoftDevice::kController, {0x7F000001, 50001}, {0x7F000001, 40000}, {0x0A000001, 50000}};

void CheckAck(const Bytes& aCommand, const Reply& aReply) {
    if (aReply.ack.empty()) return;
    const auto command = Gvcp::CommandView::Of(aCommand.data(), aCommand.size());
    const auto answer = Gvcp::AckView::Of(aReply.ack.data(), aReply.ack.size());
    KIVO_FUZZ_CHECK(command && answer);
    KIVO_FUZZ_CHECK(answer->Length() == aReply.ack.size() - Gvcp::kHeaderSize);
    KIVO_FUZZ_CHECK(answer->AckId() == command->RequestId());
    KIVO_FUZZ_CHECK(answer->Code() == Gvcp::AckOf(command->Code()) || answer->Code() == Gvcp::kPendingAck);
}

// ---- seeds ----

Bytes Command(uint16_t aCommand, const std::vector<uint32_t>& aWords, uint16_t aRequest, uint8_t aFlags = 1) {
    return Gvcp::NewWordCommand(aCommand, aRequest, aWords, aFlags);
}

Bytes Resend(uint16_t aBlock, uint32_t aFirst, uint32_t aLast, uint16_t aRequest) {
    Bytes out = Gvcp::NewCommand(Gvcp::kPacketResendCmd, aRequest, Gvcp::PacketResendCommand::kSize, 0);
    Gvcp::PacketResendCommand::Write(Gvcp::PayloadOf(out), false, 0, aBlock, aFirst, aLast);
    return out;
}

struct Conversation {
    KivoFuzz::Writer w;
    Conversation& Send(const Bytes& aCommand, uint8_t aFlags = 0) {
        w.U8(aFlags).Record(aCommand);
        return *this;
    }
};

std::vector<Bytes> Seeds() {
    using S = SoftDevice;
    std::vector<Bytes> seeds;
    {   // discovery, identity, the description and the application's registers
        Conversation c;
        c.Send(Command(Gvcp::kDiscoveryCmd, {}, 1, 0x11), 4).Send(Command(Gvcp::kDiscoveryCmd, {}, 2), 1);
        c.Send(Command(Gvcp::kReadRegCmd, {Reg::kVersion, Reg::kCcp, S::kTune, S::kWide, S::kFixed}, 3));
        c.Send(Command(Gvcp::kReadMemCmd, {Reg::kFirstUrl, 512}, 4)).Send(Command(Gvcp::kReadMemCmd, {S::kLut, 12}, 5));
        seeds.push_back(c.w.Get());
    }
    {   // a stream to its destination, resends from the destination and from another peer
        Conversation c;
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::Scda(0), 0x7F000001, Reg::Scp(0), 40000, Reg::Scps(0), 576}, 1));
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kAcquisitionMode, 1, Reg::kAcquisitionStart, 1}, 2));
        c.Send(Resend(1, 0, 0xFFFFFF, 3), 2).Send(Resend(1, 2, 3, 4), 1).Send(Resend(1, 1, 1, 5));
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kAcquisitionStop, 1}, 6));
        seeds.push_back(c.w.Get());
    }
    {   // user sets saved and loaded, the application's registers written, a heartbeat timeout
        Conversation c;
        c.Send(Command(Gvcp::kWriteRegCmd, {S::kTune, 7, S::kWide, 1, S::kWide + 4, 2, S::kFixed, 3}, 1));
        c.Send(Command(Gvcp::kWriteMemCmd, {S::kLut, 0x01020304, 0x05060708, 0x090A0B0C}, 2));
        c.Send(Command(Gvcp::kWriteRegCmd, {S::kSelector, 2, S::kSave, 1, S::kLoad, 1}, 3));
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kHeartbeatTimeout, 0xFFFFFFFF}, 4));
        c.Send(Command(Gvcp::kReadRegCmd, {Reg::kHeartbeatTimeout}, 5));
        seeds.push_back(c.w.Get());
    }
    {   // exclusive control by another peer, a messaging channel, a reset, malformed commands
        Conversation c;
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kCcp, 0}, 1));
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kCcp, Reg::kCcpExclusive}, 2), 1);
        c.Send(Command(Gvcp::kReadRegCmd, {Reg::kCcp}, 3));
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kMcda, 0x7F000001, Reg::kMcp, 40001}, 4), 1);
        c.Send(Command(Gvcp::kWriteRegCmd, {Reg::kDeviceReset, 1}, 5), 1);
        Bytes cut = Command(Gvcp::kReadRegCmd, {}, 6);
        cut.resize(3);
        c.Send(cut).Send(Command(0x1234, {1, 2}, 7), 3).Send(Command(Gvcp::kReadMemCmd, {0xFFFFFFFC, 8}, 8));
        seeds.push_back(c.w.Get());
    }
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    SoftDevice& device = SoftDevice::Get();
    device.Reset();
    KivoFuzz::Reader in(aData, aSize);
    while (!in.Empty()) {
        const uint8_t flags = in.U8();
        const Bytes datagram = in.Record();
        const Reply reply = device.Engine().Dispatch(datagram.data(), datagram.size(), kPeers[flags & 3], flags & 4);
        CheckAck(datagram, reply);
    }
    KIVO_FUZZ_CHECK(device.AnswersOverUdp());
    device.Reset();   // at rest: no sender thread runs on into the leak check at the process's end
    return 0;
}
