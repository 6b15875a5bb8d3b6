// The control channel's waits: a device on a socket of the test's own (on a port the system gives it,
// so that tests running side by side never meet) that answers PENDING_ACK before its acknowledge, one
// that answers PENDING_ACK for ever (to the maximum wait, or to a read's deadline), one that answers
// nothing; and the result codes that the statuses of the device's answers become.
#include "TqDeviceEngine.h"
#include "TqGvcpClient.h"
#include "TqResultCodes.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace TqEngine;
using TqGvcpClient::Channel;

namespace {

constexpr uint32_t kAddress = 0x7F00004D;   // 127.0.0.77

// A device that answers each command with what aAnswer says: PENDING_ACKs of pendingMs, one every
// repeatMs, pendingCount of them (-1: for ever), then the acknowledge (unless silent).
struct FakeDevice {
    uint16_t pendingMs = 0;
    int pendingCount = 0;
    int repeatMs = 50;
    bool silent = false;
    std::atomic<bool> stop{false};
    std::atomic<int> pendingSent{0};
    int socket = -1;
    uint16_t port = 0;   // the system's choice
    std::thread thread;

    bool Start() {
        socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(kAddress);
        at.sin_port = 0;
        socklen_t length = sizeof at;
        if (socket < 0 || ::bind(socket, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
            ::getsockname(socket, reinterpret_cast<sockaddr*>(&at), &length) != 0)
            return false;
        port = ntohs(at.sin_port);
        thread = std::thread([this] { Run(); });
        return true;
    }
    ~FakeDevice() {
        stop = true;
        if (thread.joinable()) thread.join();
        if (socket >= 0) ::close(socket);
    }

    // The latest command is the one answered: PENDING_ACKs first, then the acknowledge.
    void Run() {
        uint8_t command[600];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        bool answering = false;
        int sent = 0;
        while (!stop) {
            pollfd p{socket, POLLIN, 0};
            if (::poll(&p, 1, answering ? repeatMs : 20) > 0) {
                length = sizeof from;
                if (::recvfrom(socket, command, sizeof command, 0, reinterpret_cast<sockaddr*>(&from), &length) < 8) continue;
                answering = true;
                sent = 0;
            }
            if (!answering) continue;
            auto send = [&](uint16_t aAck, std::vector<uint8_t> aData) {
                std::vector<uint8_t> out{0, 0, uint8_t(aAck >> 8), uint8_t(aAck), 0, uint8_t(aData.size()), command[6], command[7]};
                out.insert(out.end(), aData.begin(), aData.end());
                ::sendto(socket, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
            };
            if (pendingCount < 0 || sent < pendingCount) {
                send(Gvcp::kPendingAck, {0, 0, uint8_t(pendingMs >> 8), uint8_t(pendingMs)});
                ++sent;
                pendingSent++;
                continue;
            }
            if (!silent) send(uint16_t(((command[2] << 8) | command[3]) + 1), {0x12, 0x34, 0x56, 0x78});
            answering = false;
        }
    }
};

Channel& Opened(Channel& aChannel, const FakeDevice& aDevice) {
    EXPECT_TRUE(aChannel.Open(kAddress, aDevice.port));
    aChannel.SetTimeout(50);
    aChannel.SetRetries(1);
    return aChannel;
}

}  // namespace

TEST(GvcpClient, APendingAckExtendsTheWaitBeyondTheAnswerTimeout) {
    FakeDevice device;
    device.pendingMs = 1000;
    device.pendingCount = 3;   // 150 ms of PENDING_ACKs, three times the answer timeout
    ASSERT_TRUE(device.Start());
    Channel channel;
    uint32_t value = 0;
    EXPECT_EQ(Opened(channel, device).ReadRegister(0x30000000, value), Gvcp::kSuccess);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_EQ(device.pendingSent.load(), 3);
}

TEST(GvcpClient, PendingAcksForEverEndAtTheMaximumWaitOrAReadsDeadline) {
    FakeDevice device;
    device.pendingMs = 5000;
    device.pendingCount = -1;
    ASSERT_TRUE(device.Start());
    Channel channel;
    EXPECT_EQ(channel.MaxWait(), Channel::kMaxWait);
    Opened(channel, device).SetMaxWait(300);
    uint32_t value = 0;
    EXPECT_EQ(channel.ReadRegister(0x30000000, value), Channel::kStillPending);
    EXPECT_EQ(channel.WriteRegister(0x30000000, 1), Channel::kStillPending);
    TqResult result = TqGvcpClient::StatusResult(Channel::kStillPending, "reading Width");
    EXPECT_EQ(result.GetCode(), TQ_TIMEOUT);
    EXPECT_EQ(std::string(result.GetDescription().GetAscii()),
              "reading Width: the device kept the command pending longer than a command may wait");
    // A read given a deadline ends there, though each of its eight commands may wait 10 s.
    channel.SetMaxWait(Channel::kMaxWait);
    std::vector<uint8_t> data(8 * 536);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(channel.ReadMemory(0x10000, data.data(), data.size(), start + std::chrono::milliseconds(200)),
              Channel::kOutOfTime);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // A deadline that passed already ends the read before its first command.
    EXPECT_EQ(channel.ReadMemory(0x10000, data.data(), 4, std::chrono::steady_clock::now()), Channel::kOutOfTime);
    result = TqGvcpClient::StatusResult(Channel::kOutOfTime, "reading the description");
    EXPECT_EQ(result.GetCode(), TQ_TIMEOUT);
    EXPECT_EQ(std::string(result.GetDescription().GetAscii()), "reading the description: the time allowed for it ran out");
}

TEST(GvcpClient, ASilentDeviceIsNoAnswerAndStatusesBecomeTheirResultCodes) {
    FakeDevice device;
    device.silent = true;
    ASSERT_TRUE(device.Start());
    Channel channel;
    uint32_t value = 0;
    EXPECT_EQ(Opened(channel, device).ReadRegister(0x30000000, value), Channel::kNoAnswer);
    const std::pair<uint16_t, uint32_t> named[] = {
        {Gvcp::kSuccess, TQ_OK},        {Gvcp::kNotImplemented, TQ_NOT_IMPLEMENTED}, {Gvcp::kInvalidAddress, TQ_INVALID_ADDRESS},
        {Gvcp::kBusy, TQ_BUSY},         {Gvcp::kAccessDenied, TQ_ACCESS_DENIED},     {0x8015, TQ_ERR_OVERFLOW},
        {Gvcp::kError, TQ_GENERIC_ERROR}, {0x8123, TQ_GENERIC_ERROR},                {Channel::kNoAnswer, TQ_TIMEOUT},
    };
    for (auto [status, code] : named) EXPECT_EQ(TqGvcpClient::StatusResult(status).GetCode(), code) << status;
    EXPECT_EQ(std::string(TqGvcpClient::StatusResult(Gvcp::kWriteProtect).GetDescription().GetAscii()),
              "the device answered WRITE_PROTECT (status 0x8004)");
    EXPECT_EQ(std::string(TqGvcpClient::StatusResult(0x8123).GetDescription().GetAscii()),
              "the device answered status 0x8123");
    EXPECT_EQ(std::string(TqResult(TQ_ACCESS_DENIED).GetCodeString().GetAscii()), "ACCESS_DENIED");
}
