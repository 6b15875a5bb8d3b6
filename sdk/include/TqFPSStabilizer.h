// Display-rate stabiliser for live streams (library TqAppUtils64): fed once per incoming frame with the
// wanted display rate, it says whether to display the frame, and reports the rate reached.
#pragma once

#include "TqLiveObjects.h"

#include <chrono>
#include <cstdint>
#include <deque>

class TqFPSStabilizer {
public:
    TqFPSStabilizer();
    ~TqFPSStabilizer();

    bool IsTimeToDisplay(uint32_t aTargetFPS);
    uint32_t GetAverage();
    void Reset();

private:
    using Clock = std::chrono::steady_clock;
    void Forget(Clock::time_point aNow);

    std::deque<Clock::time_point> mDisplayed;   // display times within the last second
    TqLiveObjects::Counter mCounter{"TqFPSStabilizer"};
};
