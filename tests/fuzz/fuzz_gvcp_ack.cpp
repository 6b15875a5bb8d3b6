// GVCP acknowledges into the control channel of the system library (TqGvcpClient::Channel), reached
// in its in-process form (OpenDirect): every command the channel sends is answered with the next
// record of the input, while a round of register and memory operations runs until the records are
// used up. (The socket path and the DISCOVERY acknowledge's parser sit behind UDP sockets and are
// not reached here.)
//
// Input: [plan: 4 bytes] then records, each one acknowledge. Each plan byte picks an operation
// (bits 0-2) and its size (bits 3-7, from a table); the plan repeats.
// Checked besides the sanitizers: a read that succeeds filled exactly what was asked.
#include "TqDeviceEngine.h"
#include "TqGvcpClient.h"
#include "fuzz_input.h"

#include <cstring>

using KivoFuzz::Bytes;
namespace Gvcp = TqGvcp;

namespace {

const size_t kSizes[8] = {4, 8, 12, 536, 540, 1072, 1100, 2000};

enum Operation { kReadRegister, kWriteRegister, kReadMemory, kWriteMemory, kUnacknowledged };

// Runs the plan over the channel while aMore says there are acknowledges left.
template <class More>
void Run(TqGvcpClient::Channel& aChannel, const uint8_t (&aPlan)[4], More&& aMore) {
    std::vector<uint8_t> memory(2048, 0xA5), written(2048, 0x5A);
    for (unsigned step = 0; aMore(); ++step) {
        const uint8_t choice = aPlan[step % 4];
        const size_t size = kSizes[(choice >> 3) % 8];
        const uint32_t address = 0x30100000u + 4 * (choice >> 3);
        switch ((choice & 7) % 5) {
        case kReadRegister: {
            uint32_t value = 0;
            aChannel.ReadRegister(address, value);
            break;
        }
        case kWriteRegister: aChannel.WriteRegister(address, 0x01020304); break;
        case kReadMemory: {
            std::vector<uint8_t> data(size, 0xCC);
            if (aChannel.ReadMemory(address, data.data(), size) == Gvcp::kSuccess) KivoFuzz::Touch(data.data(), size);
            break;
        }
        case kWriteMemory: aChannel.WriteMemory(address, written.data(), size); break;
        default: aChannel.WriteRegisterUnacknowledged(address, 1); break;
        }
    }
}

// ---- seeds: the acknowledges of the device engine to the channel's own commands ----

std::vector<Bytes> Seeds() {
    std::vector<Bytes> seeds;
    const uint8_t plans[][4] = {{0, 1, 2, 3}, {2 | 3 << 3, 2 | 5 << 3, 3 | 6 << 3, 4}, {2 | 7 << 3, 0, 1, 2 | 4 << 3}};
    for (const auto& plan : plans) {
        TqEngine::Device device;
        const TqEngine::Peer peer{0x7F000001, 50000};
        KivoFuzz::Writer w;
        bool recording = false;
        for (uint8_t choice : plan) w.U8(choice);
        TqGvcpClient::Channel channel;
        channel.OpenDirect([&](const uint8_t* aCommand, size_t aSize) {
            std::vector<uint8_t> ack = device.Dispatch(aCommand, aSize, peer).ack;
            if (recording && !ack.empty()) w.Record(ack);
            return ack;
        });
        channel.WriteRegister(TqEngine::Reg::kCcp, TqEngine::Reg::kCcpControl);   // the plan's writes need control
        recording = true;
        int rounds = 0;
        Run(channel, plan, [&] { return rounds++ < 8; });
        seeds.push_back(w.Get());
    }
    // Acknowledges that do not fit their commands: short, of another command, pending, cut short.
    KivoFuzz::Writer odd;
    odd.U8(0).U8(2).U8(3).U8(1);
    Bytes cut = Gvcp::NewAck(Gvcp::kSuccess, Gvcp::kReadRegAck, 0);
    cut.resize(4);
    uint8_t written[Gvcp::WriteAck::kSize], pending[Gvcp::PendingAck::kSize], read[6], none[Gvcp::WriteAck::kSize];
    Gvcp::WriteAck::Write(written, 1);
    Gvcp::PendingAck::Write(pending, 256);
    Gvcp::MemoryData::Write(read, 0x30100000);
    read[4] = 1, read[5] = 2;
    Gvcp::WriteAck::Write(none, 0);
    Bytes shortRead = Gvcp::NewAck(Gvcp::kSuccess, Gvcp::kReadMemAck, 3, read);
    Gvcp::AckView::kLength.Put(shortRead.data(), Gvcp::kMaxPayload);   // more than the datagram holds
    odd.Record(cut);
    odd.Record(Gvcp::NewAck(Gvcp::kSuccess, Gvcp::kWriteRegAck, 1, written));
    odd.Record(Gvcp::NewAck(Gvcp::kSuccess, Gvcp::kPendingAck, 2, pending));
    odd.Record(shortRead);
    odd.Record(Gvcp::NewAck(Gvcp::kAccessDenied, Gvcp::kWriteMemAck, 4, none));
    seeds.push_back(odd.Get());
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    KivoFuzz::Reader in(aData, aSize);
    uint8_t plan[4];
    for (uint8_t& choice : plan) choice = in.U8();
    TqGvcpClient::Channel channel;
    channel.SetRetries(1);
    channel.OpenDirect([&in](const uint8_t* aCommand, size_t aSize) {
        KIVO_FUZZ_CHECK(aSize >= Gvcp::kHeaderSize && aSize <= Gvcp::kHeaderSize + Gvcp::kMaxPayload);
        return in.Record();
    });
    Run(channel, plan, [&in] { return !in.Empty(); });
    return 0;
}
