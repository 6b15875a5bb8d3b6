// READREG, WRITEREG, READMEM and WRITEMEM at any address and length on a software device
// (fuzz_softdevice.h: one device per process), by its controller and by another application, and
// the engine's local reads, writes and stores of the same memory, as the device's own side makes them.
//
// Input: operations of [op u8][address: u8 base, u32 offset][length u16][data]. The base picks a
// region (the bootstrap registers, the description, the feature and user-set registers, the
// application's registers, the serial ports, the ends of the address space) or none (the offset is
// the address); the length is READMEM's count, the words of READREG, the bytes of WRITEMEM or of a
// local access. Before each input the device is reset and the controller takes control, and after
// it the device is reset again (no acquisition runs on to the process's end).
// Checked besides the sanitizers: every command of the controller is answered with its own request
// ID and code; a READMEM or READREG that succeeded carries what it asked for; a local read that
// succeeded filled its buffer; after each input the device answers a READREG over UDP.
#include "fuzz_softdevice.h"

using KivoFuzz::Bytes;
using KivoFuzz::SoftDevice;
using namespace TqEngine;

namespace {

const uint32_t kBases[] = {0,
                           Reg::kBootstrapSize - 0x100,
                           Reg::kXmlBase,
                           Reg::kFeatureBase,
                           SoftDevice::kUserSets,
                           SoftDevice::kTune,
                           SoftDevice::kLut,
                           SoftDevice::kWide,
                           Serial::kBase,
                           Reg::kReservedBegin,
                           Reg::kReservedEnd - 8,
                           0xFFFFFFF0};
const Peer kStranger{0x7F000001, 50001};

uint16_t gRequest = 0;

uint32_t Address(KivoFuzz::Reader& aIn) {
    const uint8_t base = aIn.U8();
    const uint32_t offset = aIn.U32();
    if (base >= sizeof kBases / sizeof kBases[0]) return offset;
    return kBases[base] + (offset & 0xFFFF);
}

// A command of aPeer and its acknowledge's data (status in aStatus; 0xFFFF when none came, which
// fails: every command here asks for one).
Bytes Ask(SoftDevice& aDevice, const Peer& aPeer, uint16_t aCode, const Bytes& aPayload, uint16_t& aStatus) {
    const uint16_t id = ++gRequest ? gRequest : ++gRequest;
    Bytes command = Gvcp::NewCommand(aCode, id, aPayload.size());
    std::copy(aPayload.begin(), aPayload.end(), Gvcp::PayloadOf(command));
    const Reply reply = aDevice.Engine().Dispatch(command.data(), command.size(), aPeer);
    const auto ack = Gvcp::AckView::Of(reply.ack.data(), reply.ack.size());
    KIVO_FUZZ_CHECK(ack && ack->AckId() == id && ack->Code() == Gvcp::AckOf(aCode));
    aStatus = ack->Status();
    return Bytes(reply.ack.begin() + Gvcp::kHeaderSize, reply.ack.end());
}

std::vector<Bytes> Seeds() {
    std::vector<Bytes> seeds;
    KivoFuzz::Writer w;
    // READMEM of the description's start, READREG of the application's registers, WRITEREG of
    // Tune and of the user sets, WRITEMEM of the array, local reads across the feature registers.
    w.U8(0).U8(2).U32(0).U16(536);
    w.U8(1).U8(5).U32(0).U16(3);
    w.U8(2).U8(5).U32(0).U16(1).U32(42);
    w.U8(2).U8(4).U32(0).U16(1).U32(1).U8(2).U8(4).U32(8).U16(1).U32(1);
    w.U8(3).U8(6).U32(0).U16(12).U32(0x01020304).U32(0x05060708).U32(0x090A0B0C);
    w.U8(4).U8(3).U32(0).U16(256);
    seeds.push_back(w.Get());
    KivoFuzz::Writer edges;
    // Across the end of the address space, unaligned, too long, the serial window, a local store
    // of a read-only register, another application's write.
    edges.U8(0).U8(11).U32(8).U16(16).U8(0).U8(0xFF).U32(3).U16(4).U8(0).U8(0).U32(0).U16(540);
    edges.U8(3).U8(8).U32(0x100).U16(8).U32(0x68690000).U32(0);
    edges.U8(6).U8(0).U32(0x0D1C).U16(4).U32(1234).U8(7).U8(5).U32(0).U16(4).U32(5);
    edges.U8(5).U8(10).U32(0).U16(16).U32(1).U32(2).U32(3).U32(4);
    seeds.push_back(edges.Get());
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    SoftDevice& device = SoftDevice::Get();
    device.Reset();
    Device& engine = device.Engine();
    KivoFuzz::Reader in(aData, aSize);
    for (int operations = 0; !in.Empty() && operations < 64; ++operations) {
        const uint8_t op = in.U8() % 8;
        const uint32_t address = Address(in);
        const uint16_t length = in.U16();
        uint16_t status = 0;
        switch (op) {
        case 0: {   // READMEM
            Bytes payload(Gvcp::ReadMemCommand::kSize);
            Gvcp::ReadMemCommand::Write(payload.data(), address, length);
            const Bytes data = Ask(device, SoftDevice::kController, Gvcp::kReadMemCmd, payload, status);
            KIVO_FUZZ_CHECK(data.size() >= 4 && TqWire::Get32(data.data()) == address);
            if (status == Gvcp::kSuccess) KIVO_FUZZ_CHECK(data.size() == 4u + length);
            break;
        }
        case 1: {   // READREG of `length` words from the address on (at most 135)
            const size_t count = std::min<size_t>(length % 136, 135) + 1;
            Bytes payload;
            for (size_t i = 0; i < count; ++i) {
                payload.resize(payload.size() + 4);
                TqWire::Put32(payload.data() + payload.size() - 4, uint32_t(address + 4 * i));
            }
            const Bytes data = Ask(device, SoftDevice::kController, Gvcp::kReadRegCmd, payload, status);
            if (status == Gvcp::kSuccess) KIVO_FUZZ_CHECK(data.size() == 4 * count);
            break;
        }
        case 2:     // WRITEREG of `length` words (at most 67) from the input
        case 7: {   // the same by another application
            const size_t count = std::min<size_t>(length % 68, 67) + 1;
            Bytes payload;
            for (size_t i = 0; i < count; ++i) {
                payload.resize(payload.size() + 8);
                TqWire::Put32(payload.data() + payload.size() - 8, uint32_t(address + 4 * i));
                TqWire::Put32(payload.data() + payload.size() - 4, in.U32());
            }
            Ask(device, op == 2 ? SoftDevice::kController : kStranger, Gvcp::kWriteRegCmd, payload, status);
            break;
        }
        case 3: {   // WRITEMEM of `length` bytes (at most 540, the rest of the input)
            Bytes payload(4);
            TqWire::Put32(payload.data(), address);
            const Bytes data = in.Take(std::min<size_t>(length, 540));
            payload.insert(payload.end(), data.begin(), data.end());
            payload.resize((payload.size() + 3) / 4 * 4);
            Ask(device, SoftDevice::kController, Gvcp::kWriteMemCmd, payload, status);
            break;
        }
        case 4: {   // a local read of any length
            Bytes data(length, 0xA5);
            if (engine.ReadMemory(address, data.data(), data.size()) == Gvcp::kSuccess) KivoFuzz::Touch(data.data(), data.size());
            break;
        }
        case 5:     // a local write, or a local store, of any length
        case 6: {
            Bytes data = in.Take(length);
            data.resize(length);
            if (op == 5) engine.WriteMemory(address, data.data(), data.size());
            else engine.StoreMemory(address, data.data(), data.size());
            break;
        }
        }
    }
    KIVO_FUZZ_CHECK(device.AnswersOverUdp());
    device.Reset();   // at rest: no sender thread runs on into the leak check at the process's end
    return 0;
}
