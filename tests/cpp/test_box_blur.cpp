// The contrast map's box blur gives exactly what cv::blur gives, on views into a frame (the
// box reads beyond the view) and at the frame's edges.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "cues/box_blur.hpp"

namespace molvane::test {
namespace {

class BoxBlurMatchesOpenCv : public ::testing::TestWithParam<int> {};

TEST_P(BoxBlurMatchesOpenCv, OnRandomViews) {
    const int channels = GetParam();
    cv::RNG rng(1234 + channels);
    BoxBlur blur;
    cv::Mat ours, theirs;
    for (int trial = 0; trial < 300; ++trial) {
        const int W = rng.uniform(1, 200), H = rng.uniform(1, 160);
        cv::Mat frame(H, W, CV_8UC(channels));
        if (trial % 3 == 0) {
            rng.fill(frame, cv::RNG::UNIFORM, 0, 256);  // noise: every rounding case
        } else {
            rng.fill(frame, cv::RNG::NORMAL, rng.uniform(0, 256), rng.uniform(1, 40));  // sky-like
        }
        const int x = rng.uniform(0, W), y = rng.uniform(0, H);
        const cv::Rect r(x, y, rng.uniform(1, W - x + 1), rng.uniform(1, H - y + 1));
        const int k = 15 + 2 * rng.uniform(0, 24);  // 15 .. 61
        blur.apply(frame(r), k, ours);
        cv::blur(frame(r), theirs, cv::Size(k, k));
        ASSERT_EQ(ours.size(), theirs.size());
        ASSERT_EQ(ours.type(), theirs.type());
        ASSERT_EQ(cv::norm(ours, theirs, cv::NORM_INF), 0.0)
            << "trial " << trial << " frame " << W << "x" << H << " rect " << r << " k " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Channels, BoxBlurMatchesOpenCv, ::testing::Values(1, 3, 4));

}  // namespace
}  // namespace molvane::test
