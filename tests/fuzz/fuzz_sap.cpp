// SAP announcements (and the SDP they carry) into session discovery's parser and its session list
// (TqSap::Parse, ParseSdp, Apply), a list per input.
//
// Input: records, each one SAP packet heard on 127.0.0.1. The first record is also read as a bare
// SDP text, with and without the media it must name.
// Checked besides the sanitizers: an announcement that parses names its source, and an announced one
// its address and port's line; the list holds one session per source and message ID hash.
#include "TqSap.h"
#include "fuzz_input.h"

#include <string>

using KivoFuzz::Bytes;

namespace {

// ---- seeds: the announcements of the discovery tests ----

std::string Sdp(const std::string& aName, const std::string& aAddress, int aPort, int aSession) {
    return "v=0\r\no=- " + std::to_string(aSession) + " 1 IN IP4 127.0.0.1\r\ns=" + aName + "\r\nc=IN IP4 " + aAddress +
           "/0\r\nt=0 0\r\nm=video " + std::to_string(aPort) + " RTP/AVP 96\r\na=rtpmap:96 raw/90000\r\n";
}

Bytes Sap(const std::string& aSdp, uint16_t aHash, bool aDeletion, bool aType = true) {
    KivoFuzz::Writer w;
    w.U8(0x20 | (aDeletion ? 0x04 : 0)).U8(0).U16(aHash).U32(0x7F000001);
    if (aType) w.Text("application/sdp").U8(0);
    return w.Text(aSdp).Get();
}

std::vector<Bytes> Seeds() {
    const std::string first = Sdp("kivo-a", "239.1.2.3", 5004, 1), second = Sdp("kivo-b", "127.0.0.1", 6000, 2);
    KivoFuzz::Writer a, b;
    a.Record(Sap(first, 0x1234, false)).Record(Sap(second, 0x2345, false, false)).Record(Sap(first, 0x1234, false));
    a.Record(Sap(Sdp("kivo-a2", "239.1.2.4", 5006, 1), 0x1234, false)).Record(Sap(first, 0x1234, true));
    b.Record(Sap(second, 0x7777, false)).Record(Sap("v=0\r\no=- 2 1 IN IP4 127.0.0.1\r\n", 0x9999, true));
    Bytes ipv6 = Sap(first, 1, false);
    ipv6[0] |= 0x10;
    ipv6.insert(ipv6.begin() + 8, 12, 0);
    b.Record(ipv6).Record({0x21, 0, 0, 1, 127, 0, 0, 1}).Record({0x20, 2, 0, 1, 127, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8});
    return {a.Get(), b.Get()};
}

void CheckUnique(const std::vector<TqSap::Session>& aSessions) {
    for (size_t i = 0; i < aSessions.size(); ++i)
        for (size_t j = i + 1; j < aSessions.size(); ++j)
            KIVO_FUZZ_CHECK(aSessions[i].source != aSessions[j].source || aSessions[i].hash != aSessions[j].hash);
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    KivoFuzz::Reader in(aData, aSize);
    std::vector<TqSap::Session> sessions;
    bool first = true;
    while (!in.Empty()) {
        const Bytes packet = in.Record();
        if (first) {
            const std::string text(packet.begin(), packet.end());
            TqSap::Announcement bare;
            TqSap::ParseSdp(text, bare, false);
            if (TqSap::ParseSdp(text, bare, true)) KIVO_FUZZ_CHECK(!bare.address.empty());
            first = false;
        }
        TqSap::Announcement announcement;
        if (!TqSap::Parse(packet.data(), packet.size(), announcement)) continue;
        KIVO_FUZZ_CHECK(!announcement.source.empty());
        if (!announcement.deletion) KIVO_FUZZ_CHECK(!announcement.address.empty());
        TqSap::Apply(sessions, announcement, "127.0.0.1");
        CheckUnique(sessions);
    }
    return 0;
}
