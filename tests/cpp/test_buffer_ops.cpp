#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"

namespace {

using molvane::fillContour;
using molvane::isCross3;
using molvane::openOrClose;
using molvane::splitChannels;

// Binary masks (what the cues close) and arbitrary 8-bit values, at sizes that exercise
// the vector loop, its scalar tail and the one-pixel edge cases.
cv::Mat randomImage(int rows, int cols, bool binary, unsigned seed) {
    cv::Mat m(rows, cols, CV_8UC1);
    cv::RNG rng(seed);
    rng.fill(m, cv::RNG::UNIFORM, 0, 256);
    if (binary) cv::threshold(m, m, 170, 255, cv::THRESH_BINARY);
    return m;
}

struct MorphCase {
    int rows;
    int cols;
};

class OpenOrClose : public ::testing::TestWithParam<MorphCase> {};

TEST_P(OpenOrClose, MatchesOpenCvForTheCrossAndOtherElements) {
    const MorphCase c = GetParam();
    const cv::Mat cross = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3));
    const cv::Mat ellipse5 = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5));
    cv::Mat scratch;
    unsigned seed = 1;
    for (const cv::Mat* kernel : {&cross, &ellipse5}) {
        for (int op : {cv::MORPH_OPEN, cv::MORPH_CLOSE}) {
            for (bool binary : {true, false}) {
                const cv::Mat src = randomImage(c.rows, c.cols, binary, seed++);
                cv::Mat expected;
                cv::morphologyEx(src, expected, op, *kernel);
                cv::Mat got = src.clone();
                openOrClose(got, op, *kernel, scratch);
                ASSERT_EQ(got.size(), expected.size());
                EXPECT_EQ(cv::norm(got, expected, cv::NORM_INF), 0.0)
                    << c.rows << "x" << c.cols << " op " << op << " binary " << binary << " kernel " << kernel->cols;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, OpenOrClose,
                         ::testing::Values(MorphCase{1, 1}, MorphCase{1, 2}, MorphCase{1, 37}, MorphCase{29, 1},
                                           MorphCase{2, 2}, MorphCase{3, 17}, MorphCase{16, 16}, MorphCase{33, 65},
                                           MorphCase{130, 131}));

TEST(OpenOrCloseView, WorksInPlaceOnAViewAndLeavesTheRestAlone) {
    const cv::Mat cross = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3));
    cv::Mat big = randomImage(60, 70, true, 99);
    const cv::Mat before = big.clone();
    const cv::Rect roi(5, 7, 41, 33);
    cv::Mat expected;
    cv::morphologyEx(big(roi).clone(), expected, cv::MORPH_CLOSE, cross);
    cv::Mat view = big(roi);
    cv::Mat scratch;
    openOrClose(view, cv::MORPH_CLOSE, cross, scratch);
    EXPECT_EQ(view.data, big.data + 7 * big.step + 5);  // still the same pixels
    EXPECT_EQ(cv::norm(view, expected, cv::NORM_INF), 0.0);
    cv::Mat outside = before.clone();
    expected.copyTo(outside(roi));
    EXPECT_EQ(cv::norm(big, outside, cv::NORM_INF), 0.0);
}

TEST(OpenOrCloseKernel, OnlyThePlusShapedThreeByThreeCountsAsTheCross) {
    EXPECT_TRUE(isCross3(cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3))));
    EXPECT_TRUE(isCross3(cv::getStructuringElement(cv::MORPH_CROSS, cv::Size(3, 3))));
    EXPECT_FALSE(isCross3(cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3))));
    EXPECT_FALSE(isCross3(cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(5, 5))));
    EXPECT_FALSE(isCross3(cv::Mat()));
}

TEST(SplitChannels, MatchesSplitAndKeepsThePlaneBuffers) {
    std::vector<cv::Mat> planes;
    for (int type : {CV_8UC1, CV_8UC3, CV_8UC4, CV_32FC2}) {
        cv::Mat src(7, 13, type);
        cv::randu(src, 0, 200);
        std::vector<cv::Mat> expected;
        cv::split(src, expected);
        splitChannels(src, planes);
        ASSERT_EQ(planes.size(), expected.size());
        for (std::size_t i = 0; i < planes.size(); ++i) {
            EXPECT_EQ(planes[i].type(), expected[i].type());
            EXPECT_EQ(cv::norm(planes[i], expected[i], cv::NORM_INF), 0.0) << "type " << type << " plane " << i;
        }
    }
    // A second split of the same shape writes into the same buffers.
    cv::Mat src(9, 5, CV_8UC3, cv::Scalar(1, 2, 3));
    splitChannels(src, planes);
    const uchar* first = planes[0].data;
    src.setTo(cv::Scalar(4, 5, 6));
    splitChannels(src, planes);
    EXPECT_EQ(planes[0].data, first);
    EXPECT_EQ(planes[2].at<uchar>(8, 4), 6);
    // An empty source leaves no planes, like cv::split.
    splitChannels(cv::Mat(), planes);
    EXPECT_TRUE(planes.empty());
}

TEST(FillContour, DrawsWhatDrawContoursDrawsForEveryContourAndOffset) {
    // Contours of random blobs: single pixels, lines, concave and holed shapes.
    for (unsigned seed = 1; seed <= 6; ++seed) {
        cv::Mat noise = randomImage(48, 64, false, seed);
        cv::Mat binary;
        cv::GaussianBlur(noise, noise, cv::Size(5, 5), seed % 2 ? 0.8 : 2.0);
        cv::threshold(noise, binary, seed % 3 ? 140 : 120, 255, cv::THRESH_BINARY);
        for (int mode : {cv::RETR_EXTERNAL, cv::RETR_LIST}) {
            std::vector<std::vector<cv::Point>> contours;
            cv::findContours(binary, contours, mode, cv::CHAIN_APPROX_SIMPLE);
            ASSERT_FALSE(contours.empty());
            for (std::size_t i = 0; i < contours.size(); ++i) {
                for (const cv::Point offset : {cv::Point(0, 0), cv::Point(-3, 5), cv::Point(7, -2)}) {
                    cv::Mat expected = cv::Mat::zeros(binary.size(), CV_8UC1);
                    cv::Mat got = expected.clone();
                    cv::drawContours(expected, contours, static_cast<int>(i), cv::Scalar(255), cv::FILLED, cv::LINE_8,
                                     cv::noArray(), INT_MAX, offset);
                    fillContour(got, contours[i], cv::Scalar(255), offset);
                    ASSERT_EQ(cv::norm(got, expected, cv::NORM_INF), 0.0)
                        << "seed " << seed << " contour " << i << " of " << contours.size() << " offset " << offset;
                }
            }
        }
    }
}

// Banded, the threshold gives what one whole call gives: images of one band and of many,
// rows wider than a band, fractional thresholds and thresholds outside the grey range.
TEST(ThresholdBinary, EqualsOneWholeCall) {
    cv::RNG rng(9);
    for (const cv::Size size : {cv::Size(40, 30), cv::Size(1280, 720), cv::Size(70000, 2), cv::Size(333, 999)}) {
        cv::Mat src(size, CV_8UC1);
        rng.fill(src, cv::RNG::UNIFORM, 0, 256);
        for (const double threshold : {-3.0, 0.0, 17.5, 128.0, 254.9, 255.0, 300.0}) {
            cv::Mat expected, got;
            cv::threshold(src, expected, threshold, 255.0, cv::THRESH_BINARY);
            molvane::thresholdBinary(src, got, threshold, 255.0);
            EXPECT_EQ(cv::norm(expected, got, cv::NORM_INF), 0.0) << size << " at " << threshold;
        }
    }
}

}  // namespace
