// The kept-buffer resizes give exactly what cv::resize gives, for every kind of size
// change (whole-number and fractional shrinking, enlarging, one side of each), on views
// into larger images, and grow their buffers only when the size outgrows them.
#include <gtest/gtest.h>

#include <tuple>

#include <opencv2/imgproc.hpp>

#include "cues/resample.hpp"

namespace molvane::test {
namespace {

// A random view of random content: noise for every rounding case, or a smooth sky-like
// field.
cv::Mat randomView(cv::RNG& rng, int W, int H, int channels, int trial) {
    cv::Mat frame(H + 6, W + 5, CV_8UC(channels));
    if (trial % 2 == 0) {
        rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
    } else {
        rng.fill(frame, cv::RNG::NORMAL, rng.uniform(0, 256), rng.uniform(1, 40));
    }
    return frame(cv::Rect(rng.uniform(0, 6), rng.uniform(0, 7), W, H));
}

using ResizeCase = std::tuple<int, int>;  // channels, interpolation

class ResizeIntoMatchesOpenCv : public ::testing::TestWithParam<ResizeCase> {};

TEST_P(ResizeIntoMatchesOpenCv, OnRandomSizes) {
    const auto [channels, interpolation] = GetParam();
    cv::RNG rng(99 + channels * 7 + interpolation);
    cv::Mat ours, theirs;
    for (int trial = 0; trial < 600; ++trial) {
        const int W = rng.uniform(1, 130), H = rng.uniform(1, 100);
        const cv::Mat src = randomView(rng, W, H, channels, trial);
        cv::Size size;
        switch (trial % 4) {
            case 0:
                size = {rng.uniform(1, 33), rng.uniform(1, 33)};
                break;  // any
            case 1:
                size = {std::max(1, W / rng.uniform(1, 5)), std::max(1, H / rng.uniform(1, 5))};
                break;
            case 2:
                size = {W * rng.uniform(1, 4) / rng.uniform(1, 4) + 1, H * rng.uniform(1, 3) / 2 + 1};
                break;
            default: {  // the colour patch of a target: 32 pixels on its long side
                const double f = 32.0 / std::max(W, H);
                size = {std::max(1, cvRound(W * f)), std::max(1, cvRound(H * f))};
            }
        }
        resizeInto(src, ours, size, interpolation);
        cv::resize(src, theirs, size, 0, 0, interpolation);
        ASSERT_EQ(ours.size(), theirs.size());
        ASSERT_EQ(ours.type(), theirs.type());
        ASSERT_EQ(cv::norm(ours, theirs, cv::NORM_INF), 0.0)
            << "trial " << trial << ": " << src.size() << " -> " << size << " cn " << channels;
    }
}

INSTANTIATE_TEST_SUITE_P(ChannelsAndInterpolation, ResizeIntoMatchesOpenCv,
                         ::testing::Combine(::testing::Values(1, 3, 4),
                                            ::testing::Values(cv::INTER_AREA, cv::INTER_LINEAR)));

class HalveIntoMatchesOpenCv : public ::testing::TestWithParam<int> {};

TEST_P(HalveIntoMatchesOpenCv, OnRandomSizesWithOddSides) {
    const int channels = GetParam();
    cv::RNG rng(5 + channels);
    cv::Mat ours, theirs;
    for (int trial = 0; trial < 400; ++trial) {
        const cv::Mat src = randomView(rng, rng.uniform(2, 150), rng.uniform(2, 120), channels, trial);
        halveInto(src, ours);
        cv::resize(src, theirs, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
        ASSERT_EQ(ours.size(), theirs.size()) << src.size();
        ASSERT_EQ(cv::norm(ours, theirs, cv::NORM_INF), 0.0) << "trial " << trial << ": " << src.size();
    }
}

INSTANTIATE_TEST_SUITE_P(Channels, HalveIntoMatchesOpenCv, ::testing::Values(1, 3, 4));

// Masks as the sky search halves them, up to widths where OpenCV's column table no longer
// fits on its stack.
TEST(HalveNearestInto, MatchesOpenCvOnRandomSizesWithOddSides) {
    cv::RNG rng(11);
    cv::Mat ours, theirs;
    for (int trial = 0; trial < 300; ++trial) {
        const cv::Mat src = randomView(rng, rng.uniform(2, 900), rng.uniform(2, 260), 1, trial);
        halveNearestInto(src, ours);
        cv::resize(src, theirs, cv::Size(), 0.5, 0.5, cv::INTER_NEAREST);
        ASSERT_EQ(ours.size(), theirs.size()) << src.size();
        ASSERT_EQ(cv::norm(ours, theirs, cv::NORM_INF), 0.0) << "trial " << trial << ": " << src.size();
    }
}

TEST(FitWithCapacity, ReusesItsMemoryUntilOutgrownAndNeverWritesSharedMemory) {
    cv::Mat m;
    fitWithCapacity(m, {20, 10}, CV_8UC1);
    const uchar* first = m.data;
    ASSERT_TRUE(m.isContinuous());
    fitWithCapacity(m, {25, 15}, CV_8UC1);  // 375 bytes fit the 400 kept
    EXPECT_EQ(m.data, first);
    EXPECT_EQ(m.size(), cv::Size(25, 15));
    fitWithCapacity(m, {30, 30}, CV_8UC1);  // outgrown
    EXPECT_NE(m.data, first);
    const cv::Mat shared = m;  // someone else holds the memory now
    const uchar* held = m.data;
    fitWithCapacity(m, {10, 10}, CV_8UC1);
    EXPECT_NE(m.data, held);
    EXPECT_EQ(shared.size(), cv::Size(30, 30));
}

}  // namespace
}  // namespace molvane::test
