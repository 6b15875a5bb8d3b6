#include "TqSap.h"

#include "TqLoopback.h"
#include "TqWireBytes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace TqSap {

namespace {

using TqNet::kLoopback;
constexpr size_t kLargest = 65536;

std::string Trim(const std::string& aText) {
    size_t begin = 0, end = aText.size();
    while (begin < end && (aText[begin] == ' ' || aText[begin] == '\t')) ++begin;
    while (end > begin && (aText[end - 1] == ' ' || aText[end - 1] == '\t' || aText[end - 1] == '\r')) --end;
    return aText.substr(begin, end - begin);
}

std::vector<std::string> Words(const std::string& aText) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < aText.size()) {
        while (at < aText.size() && aText[at] == ' ') ++at;
        size_t end = at;
        while (end < aText.size() && aText[end] != ' ') ++end;
        if (end > at) words.push_back(aText.substr(at, end - at));
        at = end;
    }
    return words;
}

bool Port(const std::string& aText, uint16_t& aPort) {
    const std::string digits = aText.substr(0, aText.find('/'));   // a port count may follow
    if (digits.empty() || digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    const unsigned long value = std::stoul(digits);
    if (value > 65535) return false;
    aPort = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

bool ParseSdp(const std::string& aText, Announcement& aAnnouncement, bool aRequireMedia) {
    bool name = false, connection = false, media = false;
    size_t at = 0;
    while (at < aText.size()) {
        size_t end = aText.find('\n', at);
        if (end == std::string::npos) end = aText.size();
        const std::string line = Trim(aText.substr(at, end - at));
        at = end + 1;
        if (line.size() < 2 || line[1] != '=') continue;
        const std::string value = line.substr(2);
        switch (line[0]) {
        case 'o':
            if (aAnnouncement.origin.empty()) aAnnouncement.origin = value;
            break;
        case 's':
            if (!name) aAnnouncement.name = value;
            name = true;
            break;
        case 'c': {
            if (connection) break;
            const auto words = Words(value);
            if (words.size() != 3 || words[0] != "IN" || words[1] != "IP4") return false;
            const std::string address = words[2].substr(0, words[2].find('/'));   // the TTL (and count) go
            in_addr parsed{};
            if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
            aAnnouncement.address = address;
            connection = true;
            break;
        }
        case 'm': {
            if (media) break;
            const auto words = Words(value);
            if (words.size() < 3 || !Port(words[1], aAnnouncement.port)) return false;
            media = true;
            break;
        }
        default: break;
        }
    }
    return !aRequireMedia || (name && connection && media);
}

bool Parse(const uint8_t* aData, size_t aSize, Announcement& aAnnouncement) {
    if (aSize < 4) return false;
    const uint8_t flags = aData[0];
    if ((flags >> 5) != 1) return false;        // version 1 only
    if (flags & 0x03) return false;             // encrypted or compressed
    const bool ipv6 = (flags & 0x10) != 0;
    const size_t sourceSize = ipv6 ? 16 : 4;
    const size_t authentication = size_t(aData[1]) * 4;
    size_t at = 4;
    if (aSize - at < sourceSize + authentication) return false;
    char text[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(ipv6 ? AF_INET6 : AF_INET, aData + at, text, sizeof text)) return false;
    Announcement a;
    a.deletion = (flags & 0x04) != 0;
    a.hash = TqWire::Get16(aData + 2);
    a.source = text;
    at += sourceSize + authentication;
    const char* rest = reinterpret_cast<const char*>(aData + at);
    size_t left = aSize - at;
    if (!(left >= 3 && std::memcmp(rest, "v=0", 3) == 0)) {   // else a payload type comes first
        const void* nul = std::memchr(rest, '\0', left);
        if (!nul) return false;
        const size_t typeSize = static_cast<size_t>(static_cast<const char*>(nul) - rest);
        if (std::string(rest, typeSize) != "application/sdp") return false;
        rest += typeSize + 1;
        left -= typeSize + 1;
    }
    const std::string sdp(rest, strnlen(rest, left));
    if (sdp.compare(0, 3, "v=0") != 0) return false;
    if (!ParseSdp(sdp, a, !a.deletion)) return false;
    aAnnouncement = std::move(a);
    return true;
}

void Apply(std::vector<Session>& aSessions, const Announcement& aAnnouncement, const std::string& aLocal) {
    const Announcement& a = aAnnouncement;
    auto same = [&](const Session& s) { return s.source == a.source && s.hash == a.hash; };
    if (a.deletion) {
        aSessions.erase(std::remove_if(aSessions.begin(), aSessions.end(),
                                       [&](const Session& s) {
                                           return same(s) || (s.source == a.source && !a.origin.empty() &&
                                                              s.origin == a.origin);
                                       }),
                        aSessions.end());
        return;
    }
    Session session{a.source, a.hash, a.origin, a.name, a.address, aLocal, a.port};
    auto it = std::find_if(aSessions.begin(), aSessions.end(), same);
    if (it != aSessions.end()) {
        *it = std::move(session);
    } else {
        aSessions.push_back(std::move(session));
    }
}

bool Listen(uint32_t aTimeoutMs, const std::function<void(const Announcement&, const std::string&)>& aEach) {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);   // other listeners on this host
    ::setsockopt(s, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(kGroup);
    address.sin_port = htons(kPort);
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = htonl(kGroup);
    membership.imr_interface.s_addr = htonl(kLoopback);   // never joined on another interface
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        ::close(s);
        return false;
    }
    std::vector<uint8_t> packet(kLargest);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(aTimeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd fd{s, POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        iovec vector{packet.data(), packet.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(s, &message, MSG_DONTWAIT);
        if (got <= 0 || (message.msg_flags & MSG_TRUNC)) continue;
        std::string local = "127.0.0.1";
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            char text[INET_ADDRSTRLEN];
            if (info.ipi_spec_dst.s_addr && inet_ntop(AF_INET, &info.ipi_spec_dst, text, sizeof text)) local = text;
        }
        Announcement a;
        if (Parse(packet.data(), static_cast<size_t>(got), a)) aEach(a, local);
    }
    ::close(s);
    return true;
}

}  // namespace TqSap
