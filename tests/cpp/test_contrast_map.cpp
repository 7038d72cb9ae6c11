#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "sky_scene.hpp"
#include "cues/local_contrast_map.hpp"

namespace {

using molvane::LocalContrastMap;

struct KernelCase {
    int requested;
    int box;
};

class ContrastMapKernel : public ::testing::TestWithParam<KernelCase> {};

// The map must equal the grey rectangle minus its blur with the documented box size.
TEST_P(ContrastMapKernel, BackgroundBoxIsOddAndAtLeastFifteen) {
    const KernelCase c = GetParam();
    const cv::Mat grey = molvane::test::texture(120, 90, 11);
    const cv::Rect rect(20, 15, 60, 50);
    cv::Mat map;
    LocalContrastMap().compute(false, cv::Mat(), grey, rect, c.requested, +1, map);

    cv::Mat blurred, expected;
    cv::blur(grey(rect), blurred, cv::Size(c.box, c.box));
    cv::subtract(grey(rect), blurred, expected);
    ASSERT_EQ(map.size(), rect.size());
    ASSERT_EQ(map.type(), CV_8UC1);
    EXPECT_EQ(cv::countNonZero(map != expected), 0) << "requested " << c.requested;
}

INSTANTIATE_TEST_SUITE_P(Requested, ContrastMapKernel,
                         ::testing::Values(KernelCase{4, 15}, KernelCase{14, 15}, KernelCase{16, 17},
                                           KernelCase{20, 21}, KernelCase{31, 31}, KernelCase{-5, 15}));

TEST(ContrastMap, UniformRegionGivesZeroForEveryPolarityAndSource) {
    const cv::Mat grey(80, 100, CV_8UC1, cv::Scalar(130));
    const cv::Mat colour(80, 100, CV_8UC3, cv::Scalar(200, 120, 60));
    for (int polarity : {-1, 0, 1}) {
        for (bool colourOn : {false, true}) {
            cv::Mat map;
            LocalContrastMap().compute(colourOn, colour, grey, {10, 10, 50, 40}, 20, polarity, map);
            ASSERT_EQ(map.size(), cv::Size(50, 40));
            EXPECT_EQ(cv::countNonZero(map), 0) << "polarity " << polarity << " colour " << colourOn;
        }
    }
}

TEST(ContrastMap, PolaritySelectsWhichSpotsShow) {
    cv::Mat grey(80, 80, CV_8UC1, cv::Scalar(200));
    const cv::Rect dark(38, 38, 4, 4);
    molvane::test::paint(grey, dark, 60);
    const cv::Rect rect(10, 10, 60, 60);
    const cv::Point spot = cv::Point(39, 39) - rect.tl();

    struct Case {
        int polarity;
        bool spotShows;
    };
    for (const Case c : {Case{+1, false}, Case{0, true}, Case{-1, true}}) {
        cv::Mat map;
        LocalContrastMap().compute(false, cv::Mat(), grey, rect, 15, c.polarity, map);
        if (c.spotShows) {
            EXPECT_GT(map.at<uchar>(spot), 100) << "polarity " << c.polarity;
        } else {
            EXPECT_EQ(cv::countNonZero(map(cv::Rect(dark.tl() - rect.tl(), dark.size()))), 0);
        }
    }
}

TEST(ContrastMap, HueOnlyTargetShowsOnlyThroughColour) {
    // The grey frame has a bright spot the colour frame lacks; the colour frame has a
    // target that differs from the sky in hue only.
    cv::Mat grey(80, 80, CV_8UC1, cv::Scalar(120));
    const cv::Rect greySpot(20, 20, 4, 4);
    molvane::test::paint(grey, greySpot, 240);
    cv::Mat colour(80, 80, CV_8UC3, cv::Scalar(120, 120, 120));
    const cv::Rect hueSpot(50, 50, 4, 4);
    colour(hueSpot).setTo(cv::Scalar(160, 120, 80));
    const cv::Rect all(0, 0, 80, 80);

    // One map reused throughout, as a cue reuses its own.
    LocalContrastMap cm;
    cv::Mat map;
    cm.compute(true, colour, grey, all, 15, 0, map);
    EXPECT_GT(map.at<uchar>(51, 51), 20);
    EXPECT_EQ(map.at<uchar>(21, 21), 0);

    // With a polarity the grey part stays and the colour difference is added.
    cm.compute(true, colour, grey, all, 15, +1, map);
    EXPECT_GT(map.at<uchar>(51, 51), 20);
    EXPECT_GT(map.at<uchar>(21, 21), 100);

    // One- and two-channel "colour" frames, or the switch off, mean grey only.
    cv::Mat twoChannel(80, 80, CV_8UC2, cv::Scalar(10, 250));
    twoChannel(hueSpot).setTo(cv::Scalar(250, 10));
    cv::Mat greyOnly;
    cm.compute(false, cv::Mat(), grey, all, 15, 0, greyOnly);
    for (const cv::Mat& frame : {grey, twoChannel}) {
        cm.compute(true, frame, grey, all, 15, 0, map);
        EXPECT_EQ(cv::countNonZero(map != greyOnly), 0);
    }
    cm.compute(false, colour, grey, all, 15, 0, map);
    EXPECT_EQ(cv::countNonZero(map != greyOnly), 0);
    EXPECT_EQ(map.at<uchar>(51, 51), 0);
}

}  // namespace
