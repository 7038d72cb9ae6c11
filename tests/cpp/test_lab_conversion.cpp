// The engine's own Lab conversion gives exactly what OpenCV's gives, for every 8-bit colour.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "cues/lab_conversion.hpp"

namespace molvane::test {
namespace {

TEST(LabConversion, MatchesOpenCvForEveryColour) {
    cv::Mat all(4096, 4096, CV_8UC3);
    for (int i = 0; i < (1 << 24); ++i) {
        unsigned char* p = all.ptr<unsigned char>(0) + 3 * i;
        p[0] = static_cast<unsigned char>(i);
        p[1] = static_cast<unsigned char>(i >> 8);
        p[2] = static_cast<unsigned char>(i >> 16);
    }
    cv::Mat ours, theirs;
    bgrToLab(all, ours);
    cv::cvtColor(all, theirs, cv::COLOR_BGR2Lab);
    EXPECT_EQ(cv::norm(ours, theirs, cv::NORM_INF), 0.0);
}

TEST(LabConversion, FourChannelViewIgnoresAlpha) {
    cv::Mat frame(40, 50, CV_8UC4);
    cv::randu(frame, 0, 256);
    const cv::Mat view = frame(cv::Rect(7, 5, 21, 13));
    cv::Mat ours, theirs;
    bgrToLab(view, ours);
    cv::cvtColor(view, theirs, cv::COLOR_BGR2Lab);
    ASSERT_EQ(ours.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(ours, theirs, cv::NORM_INF), 0.0);
}

}  // namespace
}  // namespace molvane::test
