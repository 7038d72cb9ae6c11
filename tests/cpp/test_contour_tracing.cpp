// The tracer's contours and fills are exactly cv::findContours' (outer, simple chains) and
// cv::fillPoly's, on random binary images of every density, reused from call to call.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "cues/contour_tracing.hpp"

namespace molvane::test {
namespace {

TEST(ContourTracer, MatchesOpenCvOnRandomImages) {
    cv::RNG rng(5);
    ContourTracer tracer;
    ContourList ours, theirs;
    const cv::Mat round = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3));
    for (int trial = 0; trial < 3000; ++trial) {
        const int W = rng.uniform(1, 48), H = rng.uniform(1, 48);
        cv::Mat noise(H, W, CV_32F), binary;
        rng.fill(noise, cv::RNG::UNIFORM, 0.0, 1.0);
        binary = noise < rng.uniform(0.05, 0.9);
        if (trial % 2) cv::morphologyEx(binary, binary, cv::MORPH_CLOSE, round);  // blob-like shapes
        if (trial % 3 == 0) binary.setTo(7, binary);                              // any non-zero value
        tracer.findOuter(binary, ours);
        cv::findContours(binary, theirs, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
        ASSERT_EQ(ours, theirs) << "trial " << trial;

        const cv::Point offset(rng.uniform(-4, 5), rng.uniform(-4, 5));
        cv::Mat filled = cv::Mat::zeros(H + 3, W + 2, CV_8UC1), expected = filled.clone();
        for (const std::vector<cv::Point>& c : ours) {
            const cv::Point* points = c.data();
            const int n = static_cast<int>(c.size());
            cv::fillPoly(expected, &points, &n, 1, cv::Scalar(255), cv::LINE_8, 0, offset);
            tracer.fill(c, filled, 255, offset);
            ASSERT_EQ(cv::countNonZero(filled != expected), 0) << "trial " << trial;
        }
    }
}

}  // namespace
}  // namespace molvane::test
