// Once warmed up, an update allocates nothing on the heap: a Tracker's (grey conversion
// and engine, as the binding runs them) and a MultiTracker's apart from the result list it
// returns. Counted by the interposer of bench/alloc_count, which CTest preloads; run on its
// own, the test is skipped.
#include <gtest/gtest.h>

#include <cmath>

#include <dlfcn.h>

#include <opencv2/imgproc.hpp>

#include "cue_scenes.hpp"
#include "engine/target_engine.hpp"
#include "multi/multi_tracker.hpp"

namespace molvane::test {
namespace {

using CountFn = unsigned long long (*)();

// Dark dots drifting on a noisy sky gradient, one per target.
cv::Mat frameAt(int i, int targets, bool colour) {
    cv::Mat grey = skyGradient(480, 240);
    cv::Mat noise(grey.size(), CV_8UC1);
    cv::RNG rng(static_cast<std::uint64_t>(i) + 1);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 6);
    grey += noise;
    for (int k = 0; k < targets; ++k) {
        const double t = i / 25.0 + k;
        const cv::Point c(80 + 150 * k + static_cast<int>(std::lround(15 * std::sin(t))),
                          90 + 40 * (k % 2) + static_cast<int>(std::lround(20 * std::sin(0.7 * t))));
        cv::circle(grey, c, 5, cv::Scalar(40), cv::FILLED);
    }
    if (!colour) return grey;
    cv::Mat bgr;
    cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
    return bgr;
}

cv::Rect boxAt(int k) { return {75 + 150 * k, 85 + 40 * (k % 2), 11, 11}; }

class UpdateAllocations : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        count_ = reinterpret_cast<CountFn>(dlsym(RTLD_DEFAULT, "alloc_count_total"));
        if (!count_) GTEST_SKIP() << "needs the allocation counter preloaded (run through ctest)";
    }
    CountFn count_ = nullptr;
    static constexpr int kWarmup = 40;
    static constexpr int kCounted = 60;
};

TEST_P(UpdateAllocations, TrackerAllocatesNothing) {
    const bool colour = GetParam();
    TargetEngine engine(trackerParamsForProfile("default"));
    cv::Mat frame = frameAt(0, 1, colour);
    engine.initialize(frame, engine.greyFrames().greyOf(frame), boxAt(0));
    unsigned long long counted = 0;
    for (int i = 1; i <= kWarmup + kCounted; ++i) {
        frame = frameAt(i, 1, colour);
        const unsigned long long before = count_();
        engine.update(frame, engine.greyFrames().greyOf(frame), 1.0 / 30.0);
        if (i > kWarmup) counted += count_() - before;
    }
    EXPECT_EQ(engine.state().misses, 0);
    EXPECT_EQ(counted, 0u);
}

TEST_P(UpdateAllocations, MultiTrackerAllocatesOnlyItsResultList) {
    const bool colour = GetParam();
    MultiTracker multi(trackerParamsForProfile("default"));
    cv::Mat frame = frameAt(0, 3, colour);
    multi.lock(frame, multi.greyFrames().greyOf(frame), {boxAt(0), boxAt(1), boxAt(2)});
    unsigned long long counted = 0;
    for (int i = 1; i <= kWarmup + kCounted; ++i) {
        frame = frameAt(i, 3, colour);
        const unsigned long long before = count_();
        const std::vector<TrackResult> results = multi.update(frame, multi.greyFrames().greyOf(frame), 1.0 / 30.0);
        if (i > kWarmup) counted += count_() - before;
    }
    EXPECT_EQ(counted, static_cast<unsigned long long>(kCounted));
}

INSTANTIATE_TEST_SUITE_P(GreyAndColour, UpdateAllocations, ::testing::Bool());

}  // namespace
}  // namespace molvane::test
