// The wire codecs of the control and streaming protocols (sdk/internal): fields land at the bytes
// GigE Vision puts them (checked against packets written out byte by byte, so that a field at the
// wrong offset cannot hide behind a round trip), the extended-ID forms, the multi-part and chunk
// layouts the receiver does not take yet, and views that refuse bytes too few for them or read no
// further than the bytes they were given; chunk layouts, which count only whole.
#include "TqChunkCodec.h"
#include "TqGvcpCodec.h"
#include "TqGvspCodec.h"
#include "TqWireBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
namespace Gvcp = TqGvcp;
namespace Gvsp = TqGvsp;

TEST(WireBytes, NumbersOfEveryWidthAndBothOrders) {
    uint8_t b[8] = {};
    TqWire::Put32(b, 0x01020304);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{1, 2, 3, 4}));
    TqWire::Put32Le(b, 0x01020304);
    EXPECT_EQ(Bytes(b, b + 4), (Bytes{4, 3, 2, 1}));
    TqWire::Put64(b, 0x0102030405060708ull);
    EXPECT_EQ(TqWire::Get64Le(b), 0x0807060504030201ull);
    EXPECT_EQ(TqWire::Get16(b + 6), 0x0708);

    // A field narrower than its type takes the low bytes and leaves its neighbours alone.
    Bytes packet(12, 0xAA);
    TqWire::Field<uint32_t, 3>{2}.Put(packet.data(), 0xFF123456);
    TqWire::Field<uint64_t, 6>{5}.Put(packet.data(), 0xFFFF0A0B0C0D0E0Full);
    EXPECT_EQ(packet, (Bytes{0xAA, 0xAA, 0x12, 0x34, 0x56, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0xAA}));
    EXPECT_EQ((TqWire::Field<uint32_t, 3>{2}.Get(packet.data())), 0x123456u);
}

TEST(WireBytes, TextFieldsStopAtTheirSizeAndKeepANul) {
    uint8_t b[6];
    const TqWire::TextField text{1, 4};
    std::fill_n(b, 6, 'x');
    text.Put(b, "abcdef");   // cut to leave the NUL
    EXPECT_EQ(Bytes(b, b + 6), (Bytes{'x', 'a', 'b', 'c', 0, 'x'}));
    EXPECT_EQ(text.Get(b), "abc");
    std::fill_n(b, 6, 'y');   // no NUL inside the field: its size ends it
    EXPECT_EQ(text.Get(b), "yyyy");
}

TEST(GvcpCodec, CommandAndAcknowledgeHeaders) {
    const Bytes read = Gvcp::NewWordCommand(Gvcp::kReadRegCmd, 0x1234, std::vector<uint32_t>{0x0A00, 0x0938});
    EXPECT_EQ(read, (Bytes{0x42, 0x01, 0x00, 0x80, 0x00, 0x08, 0x12, 0x34, 0, 0, 0x0A, 0, 0, 0, 0x09, 0x38}));
    const auto command = Gvcp::CommandView::Of(read.data(), read.size());
    ASSERT_TRUE(command);
    EXPECT_TRUE(command->AckRequired() && command->Whole());
    EXPECT_EQ(Gvcp::WordList::Of(command->Payload())->Word(1), 0x0938u);

    const uint8_t values[] = {0xDE, 0xAD, 0xBE, 0xEF};
    const Bytes ack = Gvcp::NewAck(Gvcp::kAccessDenied, Gvcp::AckOf(Gvcp::kReadRegCmd), 0x1234, values);
    EXPECT_EQ(ack, (Bytes{0x80, 0x06, 0x00, 0x81, 0x00, 0x04, 0x12, 0x34, 0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST(GvcpCodec, ViewsRefuseShortBytesAndReadOnlyWhatTheDatagramHolds) {
    Bytes ack = Gvcp::NewAck(Gvcp::kSuccess, Gvcp::kReadMemAck, 1, Bytes{0, 0, 0, 0, 1, 2});
    EXPECT_FALSE(Gvcp::AckView::Of(ack.data(), 7));
    EXPECT_FALSE(Gvcp::AckView::Of(nullptr, 100));
    Gvcp::AckView::kLength.Put(ack.data(), Gvcp::kMaxPayload);   // the length claims more than came
    const auto view = Gvcp::AckView::Of(ack.data(), ack.size());
    ASSERT_TRUE(view);
    EXPECT_FALSE(view->Whole());
    EXPECT_EQ(view->Payload().size(), 6u);
    EXPECT_EQ(Gvcp::MemoryData::Of(view->Payload())->Data().size(), 2u);
    EXPECT_FALSE(Gvcp::ReadMemCommand::Of(view->Payload().first(7)));
    EXPECT_FALSE(Gvcp::PendingAck::Of(view->Payload().first(3)));
    EXPECT_FALSE(Gvcp::DiscoveryAck::Of(Bytes(247, 0)));
}

TEST(GvcpCodec, DiscoveryAndForceIpFields) {
    Bytes payload(Gvcp::DiscoveryAck::kSize, 0);
    payload[11] = 0x4B, payload[15] = 0x07;                     // MAC 00:4b:00:00:00:07
    payload[36] = 127, payload[39] = 5;                         // the current IP
    std::copy_n("Kivo", 4, payload.begin() + 72);
    std::copy_n("SN-0000000000001", 16, payload.begin() + 216);   // fills the field: no NUL
    const auto d = Gvcp::DiscoveryAck::Of(payload);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->Mac(), (std::array<uint8_t, 6>{0x00, 0x4B, 0, 0, 0, 0x07}));
    EXPECT_EQ(d->Ip(), 0x7F000005u);
    EXPECT_EQ(d->Manufacturer(), "Kivo");
    EXPECT_EQ(d->Serial(), "SN-0000000000001");
    EXPECT_EQ(d->UserName(), "");

    Bytes force(Gvcp::ForceIpCommand::kSize, 0xFF);
    Gvcp::ForceIpCommand::Write(force.data(), {2, 0x4B, 0x49, 0, 0, 1}, 0x7F000009, 0xFF000000, 0x7F000001);
    EXPECT_EQ(Bytes(force.begin(), force.begin() + 8), (Bytes{0, 0, 2, 0x4B, 0x49, 0, 0, 1}));
    EXPECT_EQ(Bytes(force.begin() + 20, force.begin() + 24), (Bytes{127, 0, 0, 9}));
    EXPECT_EQ(Bytes(force.begin() + 52, force.end()), (Bytes{127, 0, 0, 1}));
    EXPECT_EQ(std::count(force.begin(), force.end(), 0xFF), 1);   // reserved bytes zero; the mask's first
    EXPECT_EQ(Gvcp::ForceIpCommand::Of(force)->Mask(), 0xFF000000u);
}

TEST(GvcpCodec, PacketResendInBothForms) {
    Bytes standard(Gvcp::PacketResendCommand::kSize);
    Gvcp::PacketResendCommand::Write(standard.data(), false, 1, 0x12345, 0x01ABCDEF, 0xFFFFFF);
    EXPECT_EQ(standard, (Bytes{0, 1, 0x23, 0x45, 0, 0xAB, 0xCD, 0xEF, 0, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Gvcp::PacketResendCommand::Of(standard, false)->BlockId(), 0x2345u);
    EXPECT_FALSE(Gvcp::PacketResendCommand::Of(standard, true));   // 12 bytes: not the extended form

    Bytes extended(Gvcp::PacketResendCommand::kExtendedSize);
    Gvcp::PacketResendCommand::Write(extended.data(), true, 2, 0x0102030405060708ull, 0x01000000, 0x01000005);
    EXPECT_EQ(extended, (Bytes{0, 2, 0, 0, 1, 0, 0, 0, 1, 0, 0, 5, 1, 2, 3, 4, 5, 6, 7, 8}));
    const auto view = Gvcp::PacketResendCommand::Of(extended, true);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->BlockId(), 0x0102030405060708ull);
    EXPECT_EQ(view->FirstPacket(), 0x01000000u);   // 32-bit packet IDs
    EXPECT_EQ(Gvcp::PacketResendCommand::Of(extended, false)->FirstPacket(), 0u);   // 24 bits of the same word
}

TEST(GvcpCodec, EventsInBothForms) {
    Bytes standard(Gvcp::EventEntry::kSize + 4);
    Gvcp::EventEntry::Write(standard.data(), false, 0x9001, 3, 0x10002, 0x0102030405060708ull, 4);
    std::copy_n("data", 4, standard.begin() + 16);
    EXPECT_EQ(Bytes(standard.begin(), standard.begin() + 16),
              (Bytes{0, 0, 0x90, 0x01, 0, 3, 0, 2, 1, 2, 3, 4, 5, 6, 7, 8}));   // the block ID's low 16 bits
    EXPECT_EQ(Gvcp::EventEntry::Of(standard, false)->Data().size(), 4u);

    Bytes extended(Gvcp::EventEntry::kExtendedSize + 8, 0xEE);
    Gvcp::EventEntry::Write(extended.data(), true, 0x9001, 3, 0x1122334455667788ull, 9, 4);
    EXPECT_EQ(Bytes(extended.begin(), extended.begin() + 8), (Bytes{0, 28, 0x90, 0x01, 0, 3, 0, 0}));
    const auto event = Gvcp::EventEntry::Of(extended, true);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->BlockId(), 0x1122334455667788ull);   // whole in the extended form
    EXPECT_EQ(event->Timestamp(), 9u);
    EXPECT_EQ(event->Data().size(), 4u);   // as the event's size says, not the 8 bytes that follow
    Gvcp::EventEntry::kEventSize.Put(extended.data(), 200);
    EXPECT_EQ(Gvcp::EventEntry::Of(extended, true)->Data().size(), 8u);   // never past the bytes given

    Bytes list(2 * Gvcp::EventEntry::kSize + 3);   // two events and a piece of a third
    Gvcp::EventEntry::Write(list.data() + Gvcp::EventEntry::kSize, false, 7, 0xFFFF, 5, 6);
    const auto events = Gvcp::EventList::Of(list, false);
    ASSERT_EQ(events->Count(), 2u);
    EXPECT_EQ(events->Entry(1).EventId(), 7);
    EXPECT_EQ(Gvcp::EventList::Of(list, true)->Count(), 1u);
}

TEST(GvcpCodec, ActionWithAndWithoutItsTime) {
    Bytes payload(Gvcp::ActionCommand::kScheduledSize);
    EXPECT_EQ(Gvcp::ActionCommand::Write(payload.data(), 1, 2, 3, 0x0A0B), Gvcp::ActionCommand::kScheduledSize);
    EXPECT_EQ(Bytes(payload.begin() + 8, payload.end()), (Bytes{0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0x0A, 0x0B}));
    EXPECT_EQ(Gvcp::ActionCommand::Of(payload, true)->ActionTime(), 0x0A0Bu);
    EXPECT_FALSE(Gvcp::ActionCommand::Of(payload, false)->ActionTime());
    EXPECT_FALSE(Gvcp::ActionCommand::Of(Bytes(12), true));
}

TEST(GvspCodec, GenericAndExtendedHeaders) {
    uint8_t generic[Gvsp::kHeaderSize];
    Gvsp::Header::Write(generic, Gvcp::kPacketUnavailable, 0xBEEF, Gvsp::kFormatPayload, 0x12345678);
    EXPECT_EQ(Bytes(generic, generic + 8), (Bytes{0x80, 0x0C, 0xBE, 0xEF, 0x03, 0x34, 0x56, 0x78}));

    Bytes packet(Gvsp::kExtendedHeaderSize + 2, 0xEE);
    Gvsp::Header::WriteExtended(packet.data(), 0, Gvsp::Header::kFlagPacketResend, Gvsp::kFormatLeader,
                                0x0102030405060708ull, 0xA0B0C0D0, 3);
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 20),
              (Bytes{0, 0, 0, 1, 0x81, 0, 0, 3, 1, 2, 3, 4, 5, 6, 7, 8, 0xA0, 0xB0, 0xC0, 0xD0}));
    const auto header = Gvsp::Header::Of(packet.data(), packet.size());
    ASSERT_TRUE(header);
    EXPECT_TRUE(header->ExtendedIds());
    EXPECT_EQ(header->Format(), Gvsp::kFormatLeader);
    EXPECT_EQ(header->BlockId(), 0x0102030405060708ull);
    EXPECT_EQ(header->PacketId(), 0xA0B0C0D0u);
    EXPECT_EQ(header->PartCount(), 3);
    EXPECT_EQ(header->Body().size(), 2u);
    // The EI flag asks for 20 bytes: a generic header's 8 do not make it.
    EXPECT_FALSE(Gvsp::Header::Of(packet.data(), 19));
    EXPECT_EQ(Gvsp::Header::Of(generic, 8)->BlockId(), 0xBEEFu);
}

TEST(GvspCodec, ImageLeaderAndTrailerWithExtendedChunks) {
    Bytes leader(Gvsp::ImageLeader::kSize);
    const Gvsp::ImageInfo image{0x01080001, 640, 480, 8, 16, 2, 4};
    Gvsp::ImageLeader::Write(leader.data(), Gvsp::kPayloadImageExtendedChunk, 0x0102030405060708ull, image);
    EXPECT_EQ(Bytes(leader.begin(), leader.begin() + 16),
              (Bytes{0, 0, 0x40, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 1, 8, 0, 1}));
    EXPECT_EQ(Bytes(leader.begin() + 28, leader.end()), (Bytes{0, 0, 0, 16, 0, 2, 0, 4}));
    EXPECT_EQ(Gvsp::ImageLeader::Of(leader)->Image(), image);
    EXPECT_FALSE(Gvsp::ImageLeader::Of(Gvsp::Bytes(leader).first(35)));

    Bytes trailer(Gvsp::ImageTrailer::kSize + Gvsp::Trailer::kChunkInfoSize);
    Gvsp::ImageTrailer::WriteWithChunks(trailer.data(), Gvsp::kPayloadImageExtendedChunk, 480, 307216, 0x51);
    EXPECT_EQ(trailer, (Bytes{0, 0, 0x40, 0x01, 0, 0, 0x01, 0xE0, 0, 0x04, 0xB0, 0x10, 0, 0, 0, 0x51}));
    const auto view = Gvsp::ImageTrailer::Of(trailer);
    EXPECT_EQ(view->ChunkDataLength(), 307216u);
    EXPECT_EQ(view->ChunkLayoutId(), 0x51u);
    EXPECT_FALSE(Gvsp::ImageTrailer::Of(Gvsp::Bytes(trailer).first(8))->ChunkDataLength());
}

TEST(GvspCodec, ChunkDataAndSizedLeaders) {
    Bytes leader(Gvsp::SizedLeader::kSize);
    Gvsp::SizedLeader::Write(leader.data(), Gvsp::kPayloadRawData, 1, 0x100000000ull);
    EXPECT_EQ(Bytes(leader.begin() + 12, leader.end()), (Bytes{0, 0, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(Gvsp::SizedLeader::Of(leader)->PayloadSize(), 0x100000000ull);
    Gvsp::Leader::Write(leader.data(), Gvsp::kPayloadChunkData, 7);   // a chunk data leader: the common part
    EXPECT_EQ(Gvsp::Leader::Of(Gvsp::Bytes(leader).first(Gvsp::Leader::kSize))->PayloadType(), Gvsp::kPayloadChunkData);

    Bytes trailer(12);
    EXPECT_EQ(Gvsp::ChunkDataTrailer::Write(trailer.data(), 1000, 0x77), 12u);
    EXPECT_EQ(trailer, (Bytes{0, 0, 0, 4, 0, 0, 0x03, 0xE8, 0, 0, 0, 0x77}));
    EXPECT_EQ(Gvsp::ChunkDataTrailer::Of(trailer)->ChunkLayoutId(), 0x77u);
    EXPECT_FALSE(Gvsp::ChunkDataTrailer::Of(Gvsp::Bytes(trailer).first(8))->ChunkLayoutId());
}

TEST(GvspCodec, MultiPartLeaderPayloadAndTrailer) {
    // A large leader: more parts than a 576-byte packet holds.
    constexpr size_t kParts = 12;
    Bytes leader(Gvsp::MultiPartLeader::SizeFor(kParts) + 20, 0);   // and the start of one more
    Gvsp::Leader::Write(leader.data(), Gvsp::kPayloadMultiPart, 5);
    for (size_t i = 0; i < kParts; ++i) {
        Gvsp::PartEntry::Fields part;
        part.dataType = uint16_t(i + 1);
        part.partLength = 0x010000000000ull + i;
        part.sourceId = 9, part.additionalZones = 2, part.zoneDirections = 0x80000000;
        part.dataPurposeId = 4, part.regionId = 5;
        part.image = {0x01080001, 64, 48, 1, 2, 3, 4};
        Gvsp::PartEntry::Write(Gvsp::MultiPartLeader::PartAt(leader.data(), i), part);
    }
    const uint8_t* first = Gvsp::MultiPartLeader::PartAt(leader.data(), 0);
    EXPECT_EQ(Bytes(first, first + 24), (Bytes{0, 1, 1, 0, 0, 0, 0, 0, 1, 8, 0, 1, 0, 0, 9, 2,
                                               0x80, 0, 0, 0, 0, 4, 0, 5}));
    EXPECT_EQ(Bytes(first + 24, first + 48), (Bytes{0, 0, 0, 64, 0, 0, 0, 48, 0, 0, 0, 1, 0, 0, 0, 2,
                                                    0, 3, 0, 4, 0, 0, 0, 0}));
    const auto view = Gvsp::MultiPartLeader::Of(leader);
    ASSERT_TRUE(view);
    ASSERT_EQ(view->PartCount(), kParts);   // the piece of a thirteenth is no part
    EXPECT_EQ(view->Part(11).DataType(), 12);
    EXPECT_EQ(view->Part(11).PartLength(), 0x01000000000Bull);
    EXPECT_EQ(view->Part(11).Image().paddingY, 4);

    Bytes payload(Gvsp::MultiPartPayload::kDataAt + 3);
    Gvsp::MultiPartPayload::Write(payload.data(), 2, 0x81, 0xFFFF00FF00000001ull);   // 48 bits of it
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 8), (Bytes{2, 0x81, 0, 0xFF, 0, 0, 0, 1}));
    EXPECT_EQ(Gvsp::MultiPartPayload::Of(payload)->Offset(), 0xFF00000001ull);
    EXPECT_EQ(Gvsp::MultiPartPayload::Of(payload)->Data().size(), 3u);

    Bytes trailer(Gvsp::MultiPartTrailer::SizeFor(2));
    Gvsp::Trailer::Write(trailer.data(), Gvsp::kPayloadMultiPart);
    Gvsp::PartTrailer::Write(Gvsp::MultiPartTrailer::PartAt(trailer.data(), 1), 1, 3072, 48);
    EXPECT_EQ(Bytes(trailer.begin() + 20, trailer.end()), (Bytes{0, 1, 0, 0, 0, 0, 0x0C, 0, 0, 0, 0, 48, 0, 0, 0, 0}));
    const auto end = Gvsp::MultiPartTrailer::Of(trailer);
    ASSERT_EQ(end->PartCount(), 2u);
    EXPECT_EQ(end->Part(1).SizeY(), 48u);
    EXPECT_EQ(end->Part(0).PartLength(), 0u);
}

// ---- chunk layouts ----

TEST(ChunkCodec, WriterPutsDataThenIdAndLengthAndTheWalkReadsThemBack) {
    Bytes layout;
    TqChunk::Append(layout, 0x11223344, Bytes{'a', 'b', 'c'});
    TqChunk::Append(layout, 0xA0B0C0D0, Bytes{});
    TqChunk::Append(layout, 7, Bytes{'x', 'y'});
    EXPECT_EQ(layout, (Bytes{'a', 'b', 'c', 0x11, 0x22, 0x33, 0x44, 0, 0, 0, 3,      // data, ID, length
                             0xA0, 0xB0, 0xC0, 0xD0, 0, 0, 0, 0,                     // an empty chunk
                             'x', 'y', 0, 0, 0, 7, 0, 0, 0, 2}));
    const auto chunks = TqChunk::Chunks(layout);
    ASSERT_TRUE(chunks);
    EXPECT_EQ(*chunks, (std::vector<TqChunk::Chunk>{{0x11223344, 0, 3}, {0xA0B0C0D0, 11, 0}, {7, 19, 2}}));
    EXPECT_EQ(chunks->back().End(), layout.size());
    EXPECT_EQ(TqChunk::First(layout), (TqChunk::Chunk{0x11223344, 0, 3}));

    // The walk goes from the end; once at the start it stays there.
    TqChunk::Walk walk(layout);
    EXPECT_EQ(walk.Next()->id, 7u);
    EXPECT_EQ(walk.Next()->id, 0xA0B0C0D0u);
    EXPECT_EQ(walk.Next()->id, 0x11223344u);
    EXPECT_FALSE(walk.Next());
    EXPECT_FALSE(walk.Next());
    EXPECT_TRUE(walk.AtStart());

    EXPECT_EQ(TqChunk::Chunks({}), std::vector<TqChunk::Chunk>{}) << "nothing is a layout of no chunks";
    EXPECT_FALSE(TqChunk::First({})) << "and has no first chunk";
    EXPECT_EQ(TqChunk::Chunks(layout, 3)->size(), 3u);
    EXPECT_FALSE(TqChunk::Chunks(layout, 2)) << "more chunks than allowed";
}

TEST(ChunkCodec, WriterKeepsToItsRoomAndTakesDataFromItsOwnArea) {
    uint8_t area[24];
    std::fill_n(area, sizeof area, 0xEE);
    TqChunk::Writer writer(area, sizeof area, 0);
    ASSERT_TRUE(writer.Append(1, reinterpret_cast<const uint8_t*>("abcd"), 4));
    EXPECT_EQ(writer.Used(), 12u);
    EXPECT_FALSE(writer.Append(2, area, 5)) << "13 bytes in the 12 left";
    EXPECT_FALSE(writer.Append(2, area, 0, 5)) << "an empty chunk with 5 reserved in the 12 left";
    EXPECT_EQ(writer.Used(), 12u);
    EXPECT_EQ(area[12], 0xEE) << "a refused chunk writes nothing";
    ASSERT_TRUE(writer.Append(2, area + 1, 4, 0)) << "exactly the room left; the data from the area itself";
    EXPECT_EQ(Bytes(area + 12, area + 24), (Bytes{'b', 'c', 'd', 0, 0, 0, 0, 2, 0, 0, 0, 4}));
    EXPECT_EQ(TqChunk::Chunks({area, writer.Used()})->size(), 2u);
    EXPECT_FALSE(TqChunk::Writer(nullptr, 100, 0).Append(1, nullptr, 0)) << "no area";
    EXPECT_FALSE(TqChunk::Writer(area, 8, 12).Append(1, nullptr, 0)) << "used past the capacity";
}

TEST(ChunkCodec, ALayoutThatDoesNotLeadBackToItsStartIsNoLayout) {
    Bytes good;
    TqChunk::Append(good, 1, Bytes{1, 2, 3, 4});
    TqChunk::Append(good, 2, Bytes{5, 6});
    std::vector<Bytes> broken = {
        Bytes(7, 0),                                                    // shorter than a trailer
        [&] { Bytes b{9}; b.insert(b.end(), good.begin(), good.end()); return b; }(),   // a stray byte first
        [&] { Bytes b = good; b.back() = 3; return b; }(),               // the last length one too many
        [&] { Bytes b = good; b[4 + 4 + 3] = 0xFF; return b; }(),        // the first length past the start
        [&] { Bytes b = good; b.insert(b.end(), {0, 0, 0}); return b; }(),   // a cut trailer at the end
    };
    for (const Bytes& layout : broken) {
        EXPECT_FALSE(TqChunk::Chunks(layout)) << layout.size();
        EXPECT_FALSE(TqChunk::First(layout)) << layout.size();
        TqChunk::Walk walk(layout);
        while (walk.Next()) {
        }
        EXPECT_FALSE(walk.AtStart());
    }
    // A length reaching exactly the start makes a single chunk of all the bytes before its trailer.
    Bytes whole = good;
    whole.insert(whole.end(), {0, 0, 0, 9, 0, 0, 0, uint8_t(good.size())});
    EXPECT_EQ(TqChunk::Chunks(whole), (std::vector<TqChunk::Chunk>{{9, 0, uint32_t(good.size())}}));
    // The largest length reads nothing before the start, however large the offset arithmetic.
    Bytes huge = {0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(TqChunk::Walk(huge).Next());
}

}  // namespace
