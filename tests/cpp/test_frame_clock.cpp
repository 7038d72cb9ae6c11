// The frame interval handed to the engine and the frame numbering of a tracker.
#include <cmath>
#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "python/frame_clock.hpp"

namespace molvane {
namespace {

// A clock that tells the time it was set to and counts how often it was read.
struct FakeClock {
    std::int64_t now = 0;
    int reads = 0;
    auto reader() {
        return [this] {
            ++reads;
            return now;
        };
    }
};

TEST(FrameClock, MeasuredIntervalRunsFromTheLockOrTheLastMeasuredUpdate) {
    FakeClock t;
    FrameClock clock;
    t.now = 5'000'000'000;
    clock.restart(t.now);
    t.now += 250'000'000;
    EXPECT_DOUBLE_EQ(clock.interval(-1.0, t.reader()), 0.25);
    EXPECT_EQ(clock.lastTime, t.now);
    // Explicit intervals neither read nor move the clock...
    t.now += 1'000'000'000;
    EXPECT_DOUBLE_EQ(clock.interval(0.04, t.reader()), 0.04);
    EXPECT_EQ(t.reads, 1);
    // ...so the next measured interval spans them.
    t.now += 500'000'000;
    EXPECT_DOUBLE_EQ(clock.interval(0.0, t.reader()), 1.5);
    EXPECT_EQ(t.reads, 2);
}

TEST(FrameClock, ZeroNegativeAndMinusInfinityAllMeasure) {
    for (double dt : {0.0, -1.0, -5.0, -std::numeric_limits<double>::infinity()}) {
        FakeClock t;
        FrameClock clock;
        clock.restart(100);
        t.now = 100 + 40'000'000;
        EXPECT_DOUBLE_EQ(clock.interval(dt, t.reader()), 0.04) << dt;
        EXPECT_EQ(t.reads, 1) << dt;
    }
}

TEST(FrameClock, FloorCatchesTinyButLetsNanAndInfinityThrough) {
    struct Case {
        double dt, expected;
    };
    const Case cases[] = {{0.00001, 0.0001}, {0.0001, 0.0001}, {0.00011, 0.00011}, {3.0, 3.0}};
    for (const Case& c : cases) {
        FakeClock t;
        FrameClock clock;
        EXPECT_DOUBLE_EQ(clock.interval(c.dt, t.reader()), c.expected) << c.dt;
        EXPECT_EQ(t.reads, 0);
    }
    FakeClock t;
    FrameClock clock;
    clock.restart(7);
    EXPECT_TRUE(std::isnan(clock.interval(std::numeric_limits<double>::quiet_NaN(), t.reader())));
    EXPECT_TRUE(std::isinf(clock.interval(std::numeric_limits<double>::infinity(), t.reader())));
    EXPECT_EQ(t.reads, 0) << "NaN and +inf are caller intervals: the clock is not read";
    EXPECT_EQ(clock.lastTime, 7);
}

TEST(FrameClock, TwoMeasuredUpdatesInTheSameNanosecondGetTheFloor) {
    FakeClock t;
    FrameClock clock;
    clock.restart(0);
    t.now = 20'000'000;
    EXPECT_DOUBLE_EQ(clock.interval(-1.0, t.reader()), 0.02);
    EXPECT_DOUBLE_EQ(clock.interval(-1.0, t.reader()), 0.0001);
}

TEST(FrameClock, FrameNumbersCountFromZeroAfterEveryLock) {
    FrameClock clock;
    EXPECT_FALSE(clock.locked);
    clock.restart(1);
    EXPECT_TRUE(clock.locked);
    EXPECT_EQ(clock.takeFrameNumber(), 0);
    EXPECT_EQ(clock.takeFrameNumber(), 1);
    EXPECT_EQ(clock.takeFrameNumber(), 2);
    clock.restart(2);
    EXPECT_EQ(clock.takeFrameNumber(), 0);
    // Far in the future the count wraps instead of overflowing.
    clock.frameCount = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(clock.takeFrameNumber(), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(clock.frameCount, std::numeric_limits<std::int32_t>::min());
}

TEST(FrameClock, SteadyClockIsMonotonicNanoseconds) {
    const std::int64_t a = steadyNowNs();
    const std::int64_t b = steadyNowNs();
    EXPECT_GE(b, a);
    EXPECT_GT(a, 0);
}

}  // namespace
}  // namespace molvane
