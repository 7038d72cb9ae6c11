#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "config/tracker_params.hpp"
#include "cue_scenes.hpp"
#include "core/reasons.hpp"

namespace molvane {
namespace {

constexpr double kDt = 1.0 / 30.0;  // speed gate 1400 px/s x dt = 46.7 px per miss root

// A lost engine whose working box is `box`, bright target, no templates.
struct LostEngine : test::CueBench {
    explicit LostEngine(const cv::Rect& box, int misses = 8) : CueBench(box, 1, trackerParamsForProfile("fast-sky")) {
        state.misses = misses;
    }
    Measurement search(const cv::Mat& frame, const cv::Mat& grey) { return cues.sky.search(ctx(), frame, grey, kDt); }
    Measurement search(const cv::Mat& grey) { return search(grey, grey); }
};

cv::Mat darkSky(int W = 640, int H = 480) { return test::flatSky(W, H, 20); }

// A bright w x h block centred on (cx, cy).
void block(cv::Mat& img, int cx, int cy, int w, int h, const cv::Scalar& value = cv::Scalar::all(200)) {
    img(cv::Rect(cx - w / 2, cy - h / 2, w, h)).setTo(value);
}

}  // namespace

// Box 10 x 8 at (320, 240): rings at 20 px, 50 px, 320 px and 640 px around the box. The
// first ring holding an acceptable blob wins, even over a better blob farther out. The
// third ring is wider than 200 px and searched at half resolution.
TEST(SkySearch, RingsAreSearchedFromTheInsideOut) {
    const cv::Rect box(315, 236, 10, 8);
    struct Case {
        bool nearBlob, midBlob, farBlob;
        float expectX;
    };
    // near: an undersized blob inside the 20 px ring; mid: a perfect blob beyond 20 px
    // but inside 50 px; far: a perfect blob 150 px away (inside the 320 px ring).
    for (const Case& c :
         {Case{true, true, true, 338.f}, Case{false, true, true, 358.f}, Case{false, false, true, 470.f}}) {
        cv::Mat grey = darkSky();
        if (c.nearBlob) block(grey, 338, 240, 5, 5);
        if (c.midBlob) block(grey, 358, 240, 10, 8);
        if (c.farBlob) block(grey, 470, 240, 10, 8);
        LostEngine e(box, 16);  // gate 46.7 x 4 = 187 px
        const Measurement m = e.search(grey);
        ASSERT_TRUE(m.found);
        EXPECT_NEAR(m.center.x, c.expectX, 2.0f);
        EXPECT_EQ(m.reason, Reason::kSkyReacquire);
        EXPECT_EQ(m.box.size(), box.size());
        EXPECT_DOUBLE_EQ(m.targetScore, 0.5);  // no colour model
        EXPECT_DOUBLE_EQ(m.confidence, m.candidateScore);
        EXPECT_FALSE(m.hasPeakStats);
    }
}

TEST(SkySearch, SpeedGateWidensWithTheSquareRootOfMisses) {
    cv::Mat grey = darkSky();
    block(grey, 420, 240, 10, 8);  // 100 px from the last centre
    const cv::Rect box(315, 236, 10, 8);
    EXPECT_FALSE(LostEngine(box, 1).search(grey).found);  // gate 46.7
    EXPECT_FALSE(LostEngine(box, 4).search(grey).found);  // gate 93.3
    EXPECT_TRUE(LostEngine(box, 16).search(grey).found);  // gate 186.7
}

// Filled rectangles have contour area (w - 1)(h - 1). Expected area A = 80. A blob the
// inner ring refuses is refused by the next full-resolution ring too, where a decoy of the
// right size is then found instead.
TEST(SkySearch, AreaAndShapeLimits) {
    struct Case {
        int w, h;
        bool found;
    };
    const cv::Rect box(315, 236, 10, 8);
    for (const Case& c : {Case{25, 21, true},    // 480 = 6 A
                          Case{22, 24, false},   // 483 > 6 A
                          Case{3, 3, true},      // 4 = 0.05 A
                          Case{2, 3, false}}) {  // 2 < 0.05 A
        cv::Mat grey = darkSky();
        block(grey, 330, 240, c.w, c.h);
        block(grey, 362, 240, 10, 8);  // decoy, outside the 20 px ring
        const Measurement m = LostEngine(box, 8).search(grey);
        ASSERT_TRUE(m.found);
        EXPECT_EQ(std::fabs(m.center.x - 330.f) < 2.f, c.found) << c.w << "x" << c.h << " at " << m.center.x;
    }
    // Square target: three times as wide as tall passes, six times does not. The blobs lie
    // below the two inner rings, so no ring edge cuts them short.
    const cv::Rect square(315, 235, 10, 10);
    for (const Case& c : {Case{30, 10, true}, Case{60, 10, false}}) {
        cv::Mat grey = darkSky();
        block(grey, 320, 335, c.w, c.h);
        EXPECT_EQ(LostEngine(square, 16).search(grey).found, c.found) << c.w << "x" << c.h;
    }
}

TEST(SkySearch, ReferenceSizeReplacesTheBoxSize) {
    cv::Mat grey = darkSky();
    block(grey, 330, 240, 30, 30);  // far beyond 6 x the 10 x 8 box, fine for 20 x 20
    LostEngine e(cv::Rect(315, 236, 10, 8), 8);
    EXPECT_FALSE(e.search(grey).found);
    e.inputs.referenceSize = cv::Size2f(20.f, 20.f);
    const Measurement m = e.search(grey);
    ASSERT_TRUE(m.found);
    EXPECT_EQ(m.box.size(), cv::Size(30, 30));       // a blob larger than expected keeps its own box
    e.inputs.referenceSize = cv::Size2f(NAN, 20.f);  // unusable: back to the box size
    EXPECT_FALSE(e.search(grey).found);
}

// With a colour model a candidate of the wrong colour and a far-off size scores below 0.2
// and is discarded; the search goes on to the next ring.
TEST(SkySearch, WeakCandidatesAreDiscardedAndTheNextRingIsSearched) {
    const cv::Scalar red(60, 60, 255), blue(255, 60, 60);
    cv::Mat frame(480, 640, CV_8UC3, cv::Scalar(10, 10, 10));
    frame(cv::Rect(325, 230, 20, 20)).setTo(blue);  // inside the 20 px ring, 4.5 x the area
    frame(cv::Rect(455, 236, 10, 8)).setTo(red);    // 140 px away, the target's colour and size
    cv::Mat grey;
    cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);

    LostEngine e(cv::Rect(315, 236, 10, 8), 16);
    cv::Mat patch(8, 10, CV_8UC3, red);
    cv::cvtColor(patch, e.model.labPatch, cv::COLOR_BGR2Lab);
    cv::split(e.model.labPatch, e.model.labChannels);

    const Measurement m = e.search(frame, grey);
    ASSERT_TRUE(m.found);
    EXPECT_NEAR(m.center.x, 459.5f, 1.0f);
    EXPECT_GT(m.targetScore, 0.8);  // colour agreement c
    EXPECT_GT(m.confidence, 0.8);

    // A grey frame gives every candidate the neutral colour term, so the blue blob wins.
    const Measurement g = e.search(grey, grey);
    ASSERT_TRUE(g.found);
    EXPECT_LT(g.center.x, 360.f);
    EXPECT_DOUBLE_EQ(g.targetScore, 0.5);
}

// The winner of a ring must also resemble the learned or the anchor template.
TEST(SkySearch, TemplateCheckMixesSimilarityIntoTheConfidence) {
    cv::Mat grey = darkSky();
    block(grey, 340, 240, 10, 8);
    grey.at<uchar>(238, 337) = 120;  // some inner structure for the comparison
    LostEngine e(cv::Rect(313, 234, 14, 12), 8);
    const Measurement plain = e.search(grey);
    ASSERT_TRUE(plain.found);

    const cv::Mat same = grey(plain.box).clone();
    cv::Mat inverted;
    cv::bitwise_not(same, inverted);

    e.model.templ = same;
    Measurement m = e.search(grey);
    ASSERT_TRUE(m.found);
    EXPECT_NEAR(m.confidence, 0.5 * 1.0 + 0.5 * plain.confidence, 1e-5);
    EXPECT_DOUBLE_EQ(m.candidateScore, plain.candidateScore);

    e.model.templ = inverted;  // similarity -1 in every ring
    EXPECT_FALSE(e.search(grey).found);

    e.model.anchorTemplate = same;  // the anchor still recognises it
    m = e.search(grey);
    ASSERT_TRUE(m.found);
    EXPECT_NEAR(m.confidence, 0.5 * 1.0 + 0.5 * plain.confidence, 1e-5);
}

}  // namespace molvane
