#include <gtest/gtest.h>

#include <tuple>

#include <opencv2/imgproc.hpp>

#include "cues/morphology.hpp"

namespace {

using molvane::Morphology;

// Binary masks (what the cues close) and arbitrary 8-bit values.
cv::Mat randomImage(cv::Size size, bool binary, unsigned seed) {
    cv::Mat m(size, CV_8UC1);
    cv::RNG rng(seed);
    rng.fill(m, cv::RNG::UNIFORM, 0, 256);
    if (binary) cv::threshold(m, m, 170, 255, cv::THRESH_BINARY);
    return m;
}

bool identical(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::countNonZero(a != b) == 0;
}

// element shape, element size: the ellipses the boundary cue builds (odd sides from 3 up,
// 3 being the cross the other cues use), and rectangles, crosses and a flat ellipse.
using ElementCase = std::tuple<int, cv::Size>;

class MorphologyMatchesOpenCv : public ::testing::TestWithParam<ElementCase> {};

TEST_P(MorphologyMatchesOpenCv, OnBinaryAndGreyImagesOfManySizes) {
    const auto [shape, elementSize] = GetParam();
    const cv::Mat element = cv::getStructuringElement(shape, elementSize);
    Morphology morphology;  // one for all sizes: what it keeps from a larger image must not show in a smaller one
    unsigned seed = 7;
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(1, 9), cv::Size(17, 1), cv::Size(2, 3), cv::Size(5, 4),
                                cv::Size(31, 17), cv::Size(64, 48), cv::Size(129, 95), cv::Size(250, 40)}) {
        for (const bool binary : {true, false}) {
            const cv::Mat src = randomImage(size, binary, ++seed);
            cv::Mat expected, got;
            cv::dilate(src, expected, element);
            morphology.dilate(src, got, element);
            EXPECT_TRUE(identical(got, expected)) << "dilate " << size;
            cv::erode(src, expected, element);
            morphology.erode(src, got, element);
            EXPECT_TRUE(identical(got, expected)) << "erode " << size;
            for (const int op : {cv::MORPH_CLOSE, cv::MORPH_OPEN}) {
                cv::morphologyEx(src, expected, op, element);
                cv::Mat inPlace = src.clone();
                if (op == cv::MORPH_CLOSE) {
                    morphology.close(inPlace, element);
                } else {
                    morphology.open(inPlace, element);
                }
                EXPECT_TRUE(identical(inPlace, expected)) << "op " << op << " " << size;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Elements, MorphologyMatchesOpenCv,
    ::testing::Values(ElementCase{cv::MORPH_ELLIPSE, {3, 3}}, ElementCase{cv::MORPH_ELLIPSE, {5, 5}},
                      ElementCase{cv::MORPH_ELLIPSE, {7, 7}}, ElementCase{cv::MORPH_ELLIPSE, {9, 9}},
                      ElementCase{cv::MORPH_ELLIPSE, {11, 11}}, ElementCase{cv::MORPH_ELLIPSE, {15, 15}},
                      ElementCase{cv::MORPH_ELLIPSE, {21, 21}}, ElementCase{cv::MORPH_ELLIPSE, {33, 33}},
                      ElementCase{cv::MORPH_ELLIPSE, {9, 5}}, ElementCase{cv::MORPH_RECT, {5, 5}},
                      ElementCase{cv::MORPH_RECT, {4, 6}}, ElementCase{cv::MORPH_CROSS, {7, 7}}));

TEST(MorphologyElement, AChangedElementIsTakenUp) {
    Morphology morphology;
    const cv::Mat src = randomImage({40, 30}, true, 3);
    for (const int side : {3, 9, 5, 9}) {
        const cv::Mat element = cv::getStructuringElement(cv::MORPH_ELLIPSE, {side, side});
        cv::Mat expected, got = src.clone();
        cv::morphologyEx(src, expected, cv::MORPH_CLOSE, element);
        morphology.close(got, element);
        EXPECT_TRUE(identical(got, expected)) << side;
    }
    // Same size, other shape.
    const cv::Mat rect = cv::getStructuringElement(cv::MORPH_RECT, {9, 9});
    cv::Mat expected, got;
    cv::dilate(src, expected, rect);
    morphology.dilate(src, got, rect);
    EXPECT_TRUE(identical(got, expected));
}

}  // namespace
