// What the network streams share (internal to the stream library): the loopback helpers of all the
// stand-in libraries, the text of a TqString, and the receiver's thread.
#pragma once

#include "TqLoopback.h"
#include "TqString.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace TqStreamLib {

inline std::string Text(const TqString& aText) { return aText.GetAscii() ? aText.GetAscii() : ""; }

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
