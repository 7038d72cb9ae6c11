#include <gtest/gtest.h>

#include <cstring>
#include <string>

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

TEST(Foreground, FindsASmallBrightTarget) {
    cv::Mat grey = skyGradient(160, 120);
    const cv::Rect target(74, 54, 8, 6);
    paint(grey, target, 235);
    const cv::Rect search(68, 47, 20, 20);
    for (int polarity : {+1, 0}) {
        CueBench e(search, polarity);
        const Measurement m = e.cues.foreground.measure(e.ctx(), grey, grey, search, centreOf(search));
        ASSERT_TRUE(m.found) << "polarity " << polarity;
        EXPECT_EQ(m.reason, molvane::Reason::kForeground);
        EXPECT_TRUE(contains(m.box, target));
        EXPECT_LE(m.box.width, target.width + 6);  // padded by a couple of pixels only
        EXPECT_NEAR(m.center.x, 78.0f, 1.0f);
        EXPECT_FALSE(m.touchesSearchEdge);
        EXPECT_DOUBLE_EQ(m.targetScore, 1.0);  // no template yet
        EXPECT_GT(m.confidence, 0.6);
        EXPECT_LE(m.confidence, 1.0);
    }
}

TEST(Foreground, FailsWithoutAUsableBlob) {
    cv::Mat grey = skyGradient(160, 120);
    paint(grey, {74, 54, 8, 6}, 235);
    const cv::Rect search(68, 47, 20, 20);
    struct Case {
        const char* name;
        cv::Rect rect;
        int polarity;
        cv::Mat frame;
    };
    const Case cases[] = {
        {"rectangle outside the frame", {200, 10, 20, 20}, +1, grey},
        {"rectangle far past the int range", {2147483000, 2147483000, 600, 600}, +1, grey},
        {"whole frame leaves no ring", {0, 0, 160, 120}, +1, grey},
        {"bright target looked for as dark", search, -1, grey},
        {"plain sky", search, 0, skyGradient(160, 120)},
        {"empty frame", search, 0, cv::Mat()},
    };
    for (const Case& c : cases) {
        CueBench e(search, c.polarity);
        EXPECT_FALSE(e.cues.foreground.measure(e.ctx(), c.frame, c.frame, c.rect, centreOf(c.rect)).found) << c.name;
    }
}

TEST(Foreground, FragmentsCloseToTheBestBlobAreMerged) {
    const cv::Rect search(60, 40, 20, 20);
    const cv::Rect first(64, 48, 4, 4);
    struct Case {
        cv::Rect second;
        bool merged;
    };
    // 5 px gap: merged. Opposite corner of the allowed region: kept apart.
    for (const Case c : {Case{{73, 48, 4, 4}, true}, Case{{80, 60, 3, 3}, false}}) {
        cv::Mat grey = skyGradient(160, 120);
        paint(grey, first, 230);
        paint(grey, c.second, 230);
        CueBench e(search, +1);
        const Measurement m = e.cues.foreground.measure(e.ctx(), grey, grey, search, centreOf(first));
        ASSERT_TRUE(m.found);
        EXPECT_TRUE(contains(m.box, first));
        EXPECT_EQ(contains(m.box, c.second), c.merged) << "second fragment at " << c.second;
    }
}

TEST(Foreground, BorderContactFlag) {
    struct Case {
        const char* name;
        cv::Rect search;
        cv::Rect blob;
        bool touchesEdge;
    };
    const Case cases[] = {
        {"blob in the middle", {60, 40, 20, 20}, {66, 46, 8, 8}, false},
        // The allowed region starts 4 px left of the 20 px search rectangle, at x = 56.
        {"blob reaching the allowed edge", {60, 40, 20, 20}, {56, 46, 8, 8}, true},
        {"blob one pixel inside the edge", {60, 40, 20, 20}, {57, 46, 8, 8}, true},
        {"blob two pixels inside the edge", {60, 40, 20, 20}, {58, 46, 8, 8}, false},
        {"blob cut by the frame edge", {0, 40, 20, 20}, {0, 46, 6, 8}, true},
    };
    for (const Case& c : cases) {
        cv::Mat grey = skyGradient(160, 120);
        paint(grey, c.blob, 235);
        CueBench e(c.search, +1);
        const Measurement m = e.cues.foreground.measure(e.ctx(), grey, grey, c.search, centreOf(c.blob));
        ASSERT_TRUE(m.found) << c.name;
        EXPECT_EQ(m.touchesSearchEdge, c.touchesEdge) << c.name;
    }
}

TEST(Foreground, AreaLimitsAreInclusive) {
    // A 4 x 4 search rectangle accepts blobs of contour area 3 and up; a 10 x 10 one
    // (bright polarity) accepts up to 140.
    struct Case {
        cv::Rect search;
        cv::Size blob;
        bool found;
    };
    const Case cases[] = {
        {{70, 50, 4, 4}, {2, 4}, true},       // area 3
        {{70, 50, 4, 4}, {2, 3}, false},      // area 2
        {{70, 50, 10, 10}, {15, 11}, true},   // area 140
        {{70, 50, 10, 10}, {16, 11}, false},  // area 150
    };
    for (const Case& c : cases) {
        cv::Mat grey(120, 160, CV_8UC1, cv::Scalar(120));
        const cv::Point2f mid = centreOf(c.search);
        const cv::Rect blob(static_cast<int>(mid.x) - c.blob.width / 2, static_cast<int>(mid.y) - c.blob.height / 2,
                            c.blob.width, c.blob.height);
        paint(grey, blob, 250);
        CueBench e(c.search, +1);
        EXPECT_EQ(e.cues.foreground.measure(e.ctx(), grey, grey, c.search, mid).found, c.found)
            << c.blob << " in " << c.search;
    }
}

}  // namespace
