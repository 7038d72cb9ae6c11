#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "cue_scenes.hpp"
#include "core/reasons.hpp"

namespace {

using molvane::Measurement;
using molvane::test::contains;
using molvane::test::CueBench;
using molvane::test::paint;
using molvane::test::skyGradient;

cv::Point2f centreOf(const cv::Rect& r) { return {r.x + r.width * 0.5f, r.y + r.height * 0.5f}; }

// An extended bright target (an airframe seen from below) on a sky gradient.
struct AirframeScene {
    cv::Mat grey = skyGradient(320, 240);
    cv::Rect target{140, 110, 40, 20};
    cv::Rect search{100, 80, 120, 80};

    AirframeScene() {
        paint(grey, target, 235);
        paint(grey, {150, 116, 20, 8}, 205);
    }
    Measurement measure(CueBench& e, cv::Point2f expected, bool speedGate = false) const {
        return e.cues.boundary.measure(e.ctx(), grey, grey, search, target.size(), 60.0, 0.0, expected, speedGate);
    }
};

TEST(Boundary, MeasuresTheExtentOfAnExtendedTarget) {
    AirframeScene s;
    for (int polarity : {+1, 0}) {
        CueBench e(s.target, polarity);
        const Measurement m = s.measure(e, centreOf(s.target));
        ASSERT_TRUE(m.found) << "polarity " << polarity;
        EXPECT_EQ(m.reason, molvane::Reason::kBoundary);
        EXPECT_TRUE(contains(m.box, s.target)) << m.box;
        if (polarity != 0) {
            // Without a polarity the dark halo the bright target leaves in the blurred
            // background also stands out, so only the signed map gives a tight box.
            EXPECT_LE(m.box.width, s.target.width + 10);
            EXPECT_LE(m.box.height, s.target.height + 10);
        }
        EXPECT_NEAR(m.center.x, 160.0f, 1.0f);
        EXPECT_NEAR(m.center.y, 120.0f, 1.0f);
        EXPECT_GT(m.confidence, 0.5);
        EXPECT_LE(m.confidence, 1.0);
    }
    const cv::Mat uniform(240, 320, CV_8UC1, cv::Scalar(150));
    CueBench e(s.target, 0);
    EXPECT_FALSE(
        e.cues.boundary.measure(e.ctx(), uniform, uniform, s.search, {40, 20}, 60.0, 0.0, {160, 120}, false).found);
}

TEST(Boundary, AppearanceCountsForAFifthOfTheConfidence) {
    AirframeScene s;
    CueBench e(s.target, +1);
    const Measurement withoutTemplate = s.measure(e, centreOf(s.target));
    ASSERT_TRUE(withoutTemplate.found);
    ASSERT_LT(withoutTemplate.confidence, 1.0);

    // A template that is the photographic negative of the target scores -1, worth nothing.
    cv::bitwise_not(s.grey(withoutTemplate.box), e.model.templ);
    const Measurement opposite = s.measure(e, centreOf(s.target));
    ASSERT_TRUE(opposite.found);
    EXPECT_NEAR(opposite.targetScore, -1.0, 1e-5);
    EXPECT_NEAR(withoutTemplate.confidence - opposite.confidence, 0.2, 1e-9);
    EXPECT_EQ(opposite.box, withoutTemplate.box);
}

struct ElementCase {
    cv::Size expected;
    int element;
};

class BoundaryElement : public ::testing::TestWithParam<ElementCase> {};

TEST_P(BoundaryElement, ClosingElementGrowsEveryThirtyPixels) {
    const ElementCase c = GetParam();
    AirframeScene s;
    CueBench e(s.target, +1);
    e.cues.boundary.measure(e.ctx(), s.grey, s.grey, s.search, c.expected, 60.0, 0.0, centreOf(s.target), false);
    EXPECT_EQ(e.cues.boundary.elementSize(), c.element);
    EXPECT_EQ(e.cues.boundary.element().size(), cv::Size(c.element, c.element));

    // Same size again: the cached element is reused, not rebuilt.
    const uchar* cached = e.cues.boundary.element().data;
    e.cues.boundary.measure(e.ctx(), s.grey, s.grey, s.search, c.expected, 60.0, 0.0, centreOf(s.target), false);
    EXPECT_EQ(e.cues.boundary.element().data, cached);
}

INSTANTIATE_TEST_SUITE_P(ExpectedSizes, BoundaryElement,
                         ::testing::Values(ElementCase{{20, 10}, 3}, ElementCase{{29, 29}, 3}, ElementCase{{30, 5}, 5},
                                           ElementCase{{100, 60}, 9}));

TEST(Boundary, ContourMoreThanThreeTimesTheExpectedWidthIsSkipped) {
    const cv::Size expected(20, 10);
    for (int width : {60, 61}) {
        cv::Mat grey = skyGradient(320, 240);
        const cv::Rect bar(130, 118, width, 4);
        paint(grey, bar, 240);
        CueBench e(bar, +1);
        const cv::Rect search(100, 90, 130, 60);
        const Measurement m =
            e.cues.boundary.measure(e.ctx(), grey, grey, search, expected, 100.0, 0.0, centreOf(bar), false);
        EXPECT_EQ(m.found, width == 60) << "bar width " << width;
    }
}

TEST(Boundary, SpeedGateRefusesATargetThatMovedTooFar) {
    AirframeScene s;
    struct Case {
        float engineOffset;
        bool speedGate;
        bool found;
    };
    // With dt = 0 the gate radius is the 12 px floor (1400 px/s over 1/240 s is less).
    for (const Case c : {Case{5, true, true}, Case{30, true, false}, Case{30, false, true}}) {
        CueBench e(s.target, +1);
        e.state.center = centreOf(s.target) + cv::Point2f(c.engineOffset, 0.0f);
        EXPECT_EQ(s.measure(e, centreOf(s.target), c.speedGate).found, c.found)
            << "offset " << c.engineOffset << " gate " << c.speedGate;
    }
}

}  // namespace
