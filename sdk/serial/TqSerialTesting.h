// Test support of the serial library (the stand-in's own, outside the SDK's interface).
#pragma once

#include <cstdint>

class TqDeviceSerialPort;

namespace TqSerialLib {

// Sets a port's byte counters, as if that many bytes had been sent and received (for counts beyond
// 32 bits); false for null or for a port that does not live.
bool PresetStatistics(TqDeviceSerialPort* aPort, uint64_t aSent, uint64_t aReceived);

}  // namespace TqSerialLib
