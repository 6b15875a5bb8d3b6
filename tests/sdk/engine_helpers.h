// Helpers of the engine tests: GVCP commands into the dispatcher and their acknowledges, a device
// configuration and a clock the test moves.
#pragma once

#include "TqDeviceEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

namespace TqEngine::Testing {

inline const Peer kApp{0x7F000001, 50000};
inline const Peer kOther{0x7F000001, 50001};

inline uint16_t be16(const std::vector<uint8_t>& v, size_t at) { return uint16_t((v.at(at) << 8) | v.at(at + 1)); }
inline uint32_t be32(const std::vector<uint8_t>& v, size_t at) {
    return (uint32_t(be16(v, at)) << 16) | be16(v, at + 2);
}
inline void put16(std::vector<uint8_t>& v, uint16_t x) { v.push_back(uint8_t(x >> 8)); v.push_back(uint8_t(x)); }
inline void put32(std::vector<uint8_t>& v, uint32_t x) { put16(v, uint16_t(x >> 16)); put16(v, uint16_t(x)); }

inline std::vector<uint8_t> Command(uint16_t aCommand, const std::vector<uint32_t>& aWords, uint16_t aRequest = 7,
                                    uint8_t aFlags = Gvcp::kFlagAckRequired) {
    std::vector<uint8_t> out{Gvcp::kKey, aFlags};
    put16(out, aCommand);
    put16(out, uint16_t(aWords.size() * 4));
    put16(out, aRequest);
    for (uint32_t w : aWords) put32(out, w);
    return out;
}

struct Ack {
    uint16_t status = 0xFFFF, answer = 0, length = 0, id = 0;
    std::vector<uint8_t> data;
    bool empty = true;
};

inline Ack Send(Device& aDevice, const std::vector<uint8_t>& aCommand, const Peer& aPeer = kApp) {
    Reply reply = aDevice.Dispatch(aCommand.data(), aCommand.size(), aPeer);
    Ack ack;
    if (reply.ack.empty()) return ack;
    ack.empty = false;
    ack.status = be16(reply.ack, 0);
    ack.answer = be16(reply.ack, 2);
    ack.length = be16(reply.ack, 4);
    ack.id = be16(reply.ack, 6);
    ack.data.assign(reply.ack.begin() + 8, reply.ack.end());
    EXPECT_EQ(ack.length, ack.data.size());
    return ack;
}

inline Ack ReadReg(Device& d, std::vector<uint32_t> aAddresses, const Peer& p = kApp) {
    return Send(d, Command(Gvcp::kReadRegCmd, aAddresses), p);
}
inline uint16_t WriteReg(Device& d, uint32_t aAddress, uint32_t aValue, const Peer& p = kApp) {
    return Send(d, Command(Gvcp::kWriteRegCmd, {aAddress, aValue}), p).status;
}
inline Ack ReadMem(Device& d, uint32_t aAddress, uint16_t aSize, const Peer& p = kApp) {
    return Send(d, Command(Gvcp::kReadMemCmd, {aAddress, aSize}), p);
}

inline DeviceConfig Config() {
    DeviceConfig c;
    c.identity.manufacturer = "Kivo Sim";
    c.identity.model = "Engine Test";
    c.identity.serial = "SN-42";
    c.identity.mac = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    return c;
}

// A clock the test moves by hand.
struct ManualClock {
    std::shared_ptr<std::atomic<uint64_t>> now = std::make_shared<std::atomic<uint64_t>>(1000);
    Device::Clock get() const {
        auto n = now;
        return [n] { return n->load(); };
    }
    void advance(uint64_t aMs) { *now += aMs; }
};

}  // namespace TqEngine::Testing
