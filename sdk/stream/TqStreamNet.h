// What the network streams share (internal to the stream library): loopback and multicast tests of
// IPv4 addresses in host order, endpoints, the text of a TqString, and the kernel's receive buffer cap.
#pragma once

#include "TqString.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

namespace TqStreamLib {

inline bool IsLoopback(uint32_t aIp) { return (aIp >> 24) == 127; }
inline bool IsMulticast(uint32_t aIp) { return (aIp >> 28) == 0xE; }
inline std::string Text(const TqString& aText) { return aText.GetAscii() ? aText.GetAscii() : ""; }

inline sockaddr_in Endpoint(uint32_t aIp, uint16_t aPort) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(aIp);
    a.sin_port = htons(aPort);
    return a;
}

// net.core.rmem_max, the most SO_RCVBUF may ask for.
inline uint32_t RmemMax() {
    std::ifstream in("/proc/sys/net/core/rmem_max");
    uint64_t value = 0;
    if (!(in >> value) || value == 0) return 212992;
    return static_cast<uint32_t>(std::min<uint64_t>(value, 0x7FFFFFFF));
}

// A receiver's thread and the pipe that wakes it from its poll: Start runs aBody on a new thread,
// Stop writes to the pipe and joins, Close releases the pipe. WakeFd is the end to poll.
class ReceiverThread {
public:
    ~ReceiverThread() { Close(); }
    template <class Body>
    bool Start(Body aBody) {
        if (::pipe2(mWake, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        try {
            mThread = std::thread(std::move(aBody));
        } catch (...) {
            return false;
        }
        return true;
    }
    void Stop() {
        if (!mThread.joinable()) return;
        const char byte = 1;
        (void)!::write(mWake[1], &byte, 1);
        mThread.join();
    }
    void Close() {
        for (int& fd : mWake) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
    }
    int WakeFd() const { return mWake[0]; }

private:
    int mWake[2] = {-1, -1};
    std::thread mThread;
};

}  // namespace TqStreamLib
