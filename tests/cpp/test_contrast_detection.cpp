#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cue_scenes.hpp"
#include "core/reasons.hpp"

namespace {

using molvane::Measurement;
using molvane::test::CueBench;
using molvane::test::paint;
using molvane::test::skyGradient;

constexpr double kFrameDt = 1.0 / 30.0;

// A small bright target (6 x 6 blob inside a 10 x 10 tracking box) on a sky gradient.
struct TargetScene {
    cv::Mat grey = skyGradient(320, 240);
    cv::Rect blob{150, 110, 6, 6};
    cv::Rect box{148, 108, 10, 10};

    TargetScene() { paint(grey, blob, 235); }

    // An engine tracking the target, with the target's look as its template.
    void track(CueBench& e) const {
        e.place(box);
        e.model.templ = grey(box).clone();
    }
};

TEST(ContrastDetection, FindsTheTargetAroundThePrediction) {
    TargetScene s;
    for (int polarity : {+1, 0}) {
        CueBench e(s.box, polarity);
        s.track(e);
        const cv::Rect predicted = s.box + cv::Point(8, 5);
        const Measurement m =
            e.cues.contrast.detect(e.ctx(), s.grey, s.grey, predicted, 60, kFrameDt, polarity, true, false);
        ASSERT_TRUE(m.found) << "polarity " << polarity;
        EXPECT_EQ(m.reason, molvane::Reason::kContrast);
        EXPECT_NEAR(m.center.x, 153.0f, 1.0f);
        EXPECT_NEAR(m.center.y, 113.0f, 1.0f);
        EXPECT_GT(m.targetScore, 0.9);
        EXPECT_GT(m.confidence, 0.5);
    }
}

TEST(ContrastDetection, WholeFrameSearchReachesWhatTheLocalOneCannot) {
    TargetScene s;
    CueBench e(s.box, +1);
    s.track(e);
    const cv::Rect elsewhere(20, 20, 10, 10);
    EXPECT_FALSE(e.cues.contrast.detect(e.ctx(), s.grey, s.grey, elsewhere, 40, kFrameDt, +1, false, false).found);
    const Measurement m = e.cues.contrast.detect(e.ctx(), s.grey, s.grey, elsewhere, 320, kFrameDt, +1, false, true);
    ASSERT_TRUE(m.found);
    EXPECT_NEAR(m.center.x, 153.0f, 1.0f);
    EXPECT_NEAR(m.center.y, 113.0f, 1.0f);
}

TEST(ContrastDetection, ExpectedSizeThatCannotFitTheFrameFindsNothing) {
    // A 30 px high strip of sky: a 40 px high probe box cannot be placed in it.
    cv::Mat grey = skyGradient(200, 30);
    paint(grey, {100, 12, 6, 6}, 235);
    const cv::Rect predicted(98, 10, 10, 10);
    struct Case {
        cv::Size2f reference;
        bool found;
    };
    for (const Case c : {Case{{12, 40}, false}, Case{{12, 12}, true}, Case{{1e30f, 12}, false}}) {
        CueBench e(predicted, +1);
        e.model.templ = grey(predicted).clone();
        e.inputs.referenceSize = c.reference;
        EXPECT_EQ(e.cues.contrast.detect(e.ctx(), grey, grey, predicted, 60, kFrameDt, +1, false, false).found, c.found)
            << c.reference;
    }
}

TEST(ContrastDetection, CrowdedSurroundingsCostTheIsolationPenalty) {
    for (bool crowded : {false, true}) {
        TargetScene s;
        if (crowded) {
            // 2 x 2 specks (too small to be hypotheses) on a square 11 px around the target:
            // 64 lit pixels in a 704-pixel ring, more than one in twelve.
            for (int x = 142; x <= 162; x += 5) {
                paint(s.grey, {x, 102, 2, 2}, 235);
                paint(s.grey, {x, 122, 2, 2}, 235);
            }
            for (int y = 107; y <= 117; y += 5) {
                paint(s.grey, {142, y, 2, 2}, 235);
                paint(s.grey, {162, y, 2, 2}, 235);
            }
        }
        Measurement results[2];
        const double weights[2] = {0.0, 0.6};
        for (int i = 0; i < 2; ++i) {
            CueBench e(s.box, +1);
            s.track(e);
            e.params.contrast_appearance_weight = weights[i];
            results[i] = e.cues.contrast.detect(e.ctx(), s.grey, s.grey, s.box, 60, kFrameDt, +1, true, false);
            ASSERT_TRUE(results[i].found) << "crowded " << crowded << " weight " << weights[i];
        }
        EXPECT_EQ(results[0].box, results[1].box);
        const double penalty = results[1].candidateScore - results[0].candidateScore;
        const double confidenceLoss = results[0].confidence - results[1].confidence;
        if (crowded) {
            EXPECT_NEAR(penalty, 0.6, 1e-9);
            EXPECT_NEAR(confidenceLoss, 0.45 * 0.6, 1e-9);
        } else {
            EXPECT_NEAR(penalty, 0.0, 1e-12);
            EXPECT_NEAR(confidenceLoss, 0.0, 1e-12);
        }
    }
}

TEST(ContrastDetection, GatesDropImplausibleHypotheses) {
    struct Case {
        const char* name;
        cv::Rect blob;
        cv::Rect predicted;
        cv::Point2f engineCentre;
        int polarity;
        bool speedGate;
        bool found;
    };
    // No template: every hypothesis looks unlike the target (appearance 0).
    const cv::Rect inside(150, 110, 6, 6);
    const cv::Rect atEdge(0, 110, 6, 6);
    const Case cases[] = {
        {"within the speed gate", inside, {148, 108, 10, 10}, {153, 113}, 0, true, true},
        {"beyond the speed gate", inside, {148, 108, 10, 10}, {103, 113}, 0, true, false},
        {"at the frame edge, prediction inside", atEdge, {4, 108, 10, 10}, {3, 113}, 0, true, false},
        {"at the frame edge, prediction at the edge", atEdge, {0, 108, 10, 10}, {3, 113}, 0, true, true},
        {"unlike the target and far, signed", inside, {118, 108, 10, 10}, {153, 113}, +1, false, false},
        {"unlike the target but near, signed", inside, {143, 108, 10, 10}, {153, 113}, +1, false, true},
    };
    for (const Case& c : cases) {
        cv::Mat grey = skyGradient(320, 240);
        paint(grey, c.blob, 235);
        CueBench e({148, 108, 10, 10}, c.polarity);
        e.state.center = c.engineCentre;
        const Measurement m =
            e.cues.contrast.detect(e.ctx(), grey, grey, c.predicted, 60, 0.0, c.polarity, c.speedGate, false);
        EXPECT_EQ(m.found, c.found) << c.name;
    }
}

}  // namespace
