#include "TqFPSStabilizer.h"

TqFPSStabilizer::TqFPSStabilizer() = default;
TqFPSStabilizer::~TqFPSStabilizer() = default;

void TqFPSStabilizer::Forget(Clock::time_point aNow) {
    while (!mDisplayed.empty() && aNow - mDisplayed.front() >= std::chrono::seconds(1)) mDisplayed.pop_front();
}

bool TqFPSStabilizer::IsTimeToDisplay(uint32_t aTargetFPS) {
    Clock::time_point now = Clock::now();
    Forget(now);
    // Display while the frames shown in the last second stay below the target.
    if (mDisplayed.size() >= aTargetFPS) return false;
    mDisplayed.push_back(now);
    return true;
}

uint32_t TqFPSStabilizer::GetAverage() {
    Forget(Clock::now());
    return static_cast<uint32_t>(mDisplayed.size());
}

void TqFPSStabilizer::Reset() { mDisplayed.clear(); }
