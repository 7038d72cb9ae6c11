#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "config/interval_scaling.hpp"
#include "cues/extent_measurement.hpp"
#include "sky_scene.hpp"

namespace molvane {
namespace {

cv::Mat sky() { return test::noisySky(320, 240, 170, 5, 3); }

// A dark target is sized by what stands out around the find, whatever size it was tracked
// at; a target merged with something larger than its window is not sized at all.
TEST(ExtentMeasurement, SizesTheTargetWhereItWasFound) {
    ExtentMeasurement e;
    cv::Mat grey = sky();
    cv::rectangle(grey, cv::Rect(100, 80, 13, 9), cv::Scalar(60), cv::FILLED);
    for (cv::Size tracked : {cv::Size(40, 40), cv::Size(13, 9), cv::Size(8, 8)}) {
        const Extent x = e.measure(grey, {106.f, 84.f}, tracked, -1, 18.0);
        ASSERT_TRUE(x.found) << tracked;
        EXPECT_EQ(x.box, cv::Rect(100, 80, 13, 9)) << tracked;
    }
    EXPECT_FALSE(e.measure(grey, {106.f, 84.f}, {13, 9}, +1, 18.0).found);   // nothing bright there
    EXPECT_FALSE(e.measure(sky(), {106.f, 84.f}, {13, 9}, -1, 18.0).found);  // only noise

    cv::rectangle(grey, cv::Rect(100, 60, 120, 80), cv::Scalar(60), cv::FILLED);  // a cloud's shadow
    EXPECT_FALSE(e.measure(grey, {106.f, 84.f}, {13, 9}, -1, 18.0).found);
    // A drone come close, found by the tip of one arm: followed out to four times its box,
    // it is whole; without following, it is not sized.
    cv::Mat drone = sky();
    cv::rectangle(drone, cv::Rect(150, 120, 44, 4), cv::Scalar(60), cv::FILLED);
    cv::rectangle(drone, cv::Rect(170, 100, 4, 44), cv::Scalar(60), cv::FILLED);
    EXPECT_FALSE(e.measure(drone, {190.f, 122.f}, {10, 10}, -1, 18.0).found);
    const Extent whole = e.measure(drone, {190.f, 122.f}, {10, 10}, -1, 18.0, 2);
    ASSERT_TRUE(whole.found);
    EXPECT_EQ(whole.box, cv::Rect(150, 100, 44, 44));
}

// Frame counts and per-frame rates are given for 30 fps and keep their meaning in seconds.
TEST(IntervalScaling, FrameCountsAndRatesHoldInSeconds) {
    const TrackerParams base = trackerParamsForProfile("default");
    EXPECT_EQ(atInterval(base, 1.0 / 30.0), base);
    const TrackerParams fast = atInterval(base, 1.0 / 120.0);
    EXPECT_EQ(fast.presence_miss_frames, 4 * base.presence_miss_frames);
    EXPECT_EQ(fast.sky_search_after_misses, 4 * base.sky_search_after_misses);
    EXPECT_NEAR(std::pow(fast.velocity_decay, 4), base.velocity_decay, 1e-12);
    EXPECT_NEAR(1.0 - std::pow(1.0 - fast.template_learning_rate, 4), base.template_learning_rate, 1e-12);
    const TrackerParams slow = atInterval(base, 1.0 / 10.0);
    EXPECT_EQ(slow.presence_miss_frames, 1);
    EXPECT_EQ(slow.reacquire_confirm_frames, base.reacquire_confirm_frames);  // never fewer looks
    EXPECT_NEAR(slow.max_size_step, std::pow(base.max_size_step, 3), 1e-12);
    EXPECT_EQ(atInterval(base, NAN), base);
}

}  // namespace
}  // namespace molvane
