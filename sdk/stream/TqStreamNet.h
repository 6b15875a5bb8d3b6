// What the network streams share (internal to the stream library): the loopback helpers of all the
// stand-in libraries, the text of a TqString, and the receiver's thread with its loop.
#pragma once

#include "TqLoopback.h"
#include "TqText.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace TqStreamLib {

using TqText::Utf8;

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

    // The loop of a receiver's thread, until Stop: aExpire(now) under aLock hands back what timed
    // out and answers the next deadline (time_point::max(): none); then the loop waits for aSocket
    // until that deadline (100 ms at the most), and calls aRead when the socket has something, hung
    // up or failed. aRead answers false once the socket will give no more (a closed connection):
    // from then on the loop waits for the deadlines and Stop alone.
    template <class Expire, class Read>
    void Loop(std::mutex& aLock, int aSocket, Expire aExpire, Read aRead) const {
        Loop(aLock, aSocket, aExpire, aRead, -1, [] { return true; });
    }
    // The same, waiting for aOther (not -1) too, which aReadOther reads likewise.
    template <class Expire, class Read, class ReadOther>
    void Loop(std::mutex& aLock, int aSocket, Expire aExpire, Read aRead, int aOther, ReadOther aReadOther) const {
        using Clock = std::chrono::steady_clock;
        bool open = true, otherOpen = aOther >= 0;
        for (;;) {
            Clock::time_point next;
            {
                std::lock_guard<std::mutex> guard(aLock);
                next = aExpire(Clock::now());
            }
            int wait = 100;
            if (next != Clock::time_point::max()) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count() + 1;
                wait = static_cast<int>(std::clamp<long long>(left, 1, 100));
            }
            pollfd fds[3] = {{mWake[0], POLLIN, 0}, {open ? aSocket : -1, POLLIN, 0}, {otherOpen ? aOther : -1, POLLIN, 0}};
            const int ready = ::poll(fds, 3, wait);
            if (ready < 0 && errno != EINTR) break;
            if (fds[0].revents) break;
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) open = aRead();
            if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) otherOpen = aReadOther();
        }
    }

private:
    int mWake[2] = {-1, -1};
    std::thread mThread;
};

}  // namespace TqStreamLib
