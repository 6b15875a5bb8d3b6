// The logging core's sinks: every registered sink gets each record on the writing thread, a sink
// that throws counts as failed without stopping the others, and removal waits for calls in flight
// on other threads but not for the calling thread's own.
#include "TqLogSink.h"
#include "TqLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

struct Sink : TqLogSink {
    std::function<void(const char*)> onLog;
    std::atomic<int> count{0};
    void Log(TqLogLevelEnum, const char*, uint32_t, const char*, const char* aText1, const char*) override {
        ++count;
        if (onLog) onLog(aText1);
    }
};

TEST(LogSinks, FailingSinkDoesNotStopTheOthers) {
    Sink failing, good;
    failing.onLog = [](const char*) { throw std::runtime_error("sink failed"); };
    TqLogSinks::Add(&failing);
    TqLogSinks::Add(&good);
    TqLogSinks::Add(&good);   // once only
    const uint64_t before = TqLogSinks::Failures();
    TqLogger logger{TqString("t")};
    logger.LogInfo("s", 1, "a", nullptr);
    logger.LogDebug("s", 1, "filtered", nullptr);
    EXPECT_EQ(failing.count, 1);
    EXPECT_EQ(good.count, 1);
    EXPECT_EQ(TqLogSinks::Failures(), before + 1);
    EXPECT_TRUE(TqLogSinks::Remove(&failing));
    EXPECT_FALSE(TqLogSinks::Remove(&failing));
    EXPECT_TRUE(TqLogSinks::Remove(&good));
}

TEST(LogSinks, RemovalWaitsForOtherThreadsOnly) {
    Sink slow;
    std::atomic<bool> entered{false}, removed{false};
    slow.onLog = [&](const char* text) {
        if (std::string(text) == "self") {
            EXPECT_TRUE(TqLogSinks::Remove(&slow));   // its own call is not waited for
            return;
        }
        entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(removed);
    };
    TqLogSinks::Add(&slow);
    TqLogger logger{TqString("t")};
    std::thread writer([&] { logger.LogInfo("s", 1, "wait", nullptr); });
    while (!entered) std::this_thread::yield();
    EXPECT_TRUE(TqLogSinks::Remove(&slow));
    removed = true;
    writer.join();
    TqLogSinks::Add(&slow);
    logger.LogInfo("s", 1, "self", nullptr);
    logger.LogInfo("s", 1, "gone", nullptr);
    EXPECT_EQ(slow.count, 2);
}

TEST(LogSinks, DestroyedSinkIsUnregistered) {
    TqLogger logger{TqString("t")};
    {
        Sink gone;
        TqLogSinks::Add(&gone);
    }
    logger.LogInfo("s", 1, "a", nullptr);   // reaches no destroyed sink
    SUCCEED();
}

}  // namespace
