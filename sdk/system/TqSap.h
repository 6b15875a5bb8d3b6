// Session announcements (internal to the system library): SAP (RFC 2974) packets carrying SDP
// (RFC 4566), heard on 224.2.127.254:9875, joined on 127.0.0.1 only.
//
// A session is known by its originating source and message ID hash: a later announcement of the
// same pair replaces it in place, a deletion (T bit) removes it, as does a deletion from the same
// source that names the session's o= line. Nothing of a packet is trusted: a packet too short for its
// header, source or authentication data, of another version, encrypted or compressed, of another
// payload type than application/sdp, or whose SDP lacks s=, c=IN IP4 <address> or an m= port, is
// ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace TqSap {

constexpr uint32_t kGroup = 0xE0027FFEu;   // 224.2.127.254
constexpr uint16_t kPort = 9875;

struct Announcement {
    bool deletion = false;
    std::string source;   // the originating source, as text
    uint16_t hash = 0;
    std::string origin;   // the o= line's value, empty when there is none
    std::string name, address;
    uint16_t port = 0;
};

struct Session {
    std::string source;
    uint16_t hash = 0;
    std::string origin, name, address, local;
    uint16_t port = 0;
};

// One SAP packet; false when it is to be ignored.
bool Parse(const uint8_t* aData, size_t aSize, Announcement& aAnnouncement);
// The fields of an SDP text (s=, the first c= without its /ttl, the first m= port, o=); false when
// one of the first three is missing or malformed (aRequireMedia false: only o= is read).
bool ParseSdp(const std::string& aText, Announcement& aAnnouncement, bool aRequireMedia = true);
// Applies an announcement heard on the local address aLocal to the sessions known.
void Apply(std::vector<Session>& aSessions, const Announcement& aAnnouncement, const std::string& aLocal);
// Listens for aTimeoutMs; each valid announcement goes to aEach with the local address it arrived
// on. False when the group could not be joined.
bool Listen(uint32_t aTimeoutMs, const std::function<void(const Announcement&, const std::string&)>& aEach);

}  // namespace TqSap
