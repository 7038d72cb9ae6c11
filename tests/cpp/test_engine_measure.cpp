// The engine's own measurements: template matching (single scale and coarse to fine, the
// speed gate and its ranked fall-back peaks) and frame-difference motion.
#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "cues/cue_set.hpp"
#include "core/geometry.hpp"
#include "core/reasons.hpp"
#include "engine_probe.hpp"
#include "test_engine_support.hpp"

namespace molvane {
namespace {

using test::skyWithBlob;

cv::Mat texture(int size, std::uint64_t seed) {
    cv::Mat t(size, size, CV_8U);
    cv::RNG rng(seed);
    rng.fill(t, cv::RNG::UNIFORM, 150, 250);
    return t;
}

using test::flatSky;

void paste(cv::Mat& frame, const cv::Mat& patch, cv::Point topLeft) {
    patch.copyTo(frame(cv::Rect(topLeft, patch.size())));
}

cv::Mat noisy(const cv::Mat& patch, double sigma, std::uint64_t seed) {
    cv::Mat noise(patch.size(), CV_16S);
    cv::RNG rng(seed);
    rng.fill(noise, cv::RNG::NORMAL, 0, sigma);
    cv::Mat out;
    patch.convertTo(out, CV_16S);
    out += noise;
    out.convertTo(out, CV_8U);
    return out;
}

// The cues run against the model and state of a seeded engine.
class SeededCues : public ::testing::Test {
protected:
    CueContext ctx() const { return {engine->config(), engine->model(), engine->state(), inputs}; }
    TrackerParams params;
    std::unique_ptr<TargetEngine> engine;
    ProposalInputs inputs;
    CueSet cues;
};

class TemplateMeasure : public SeededCues {
protected:
    void seed(const cv::Mat& frame, cv::Rect box) {
        engine = std::make_unique<TargetEngine>(params);
        engine->initialize(frame, frame, box);
    }
    TemplateResult measure(const cv::Mat& frame, const cv::Rect& predicted, int radius) {
        return cues.templates.measure(ctx(), frame, frame, predicted, radius, 1.0 / 30.0);
    }
};

TEST_F(TemplateMeasure, FindsAShiftedTexturedTargetWithSharpPeakStatistics) {
    const cv::Mat patch = texture(16, 1);
    cv::Mat f0 = flatSky(240, 180);
    paste(f0, patch, {100, 80});
    seed(f0, {100, 80, 16, 16});
    cv::Mat f1 = flatSky(240, 180);
    paste(f1, patch, {104, 83});
    const TemplateResult r = measure(f1, engine->state().box, 60);
    ASSERT_TRUE(r.found) << reasonText(r.failReason);
    EXPECT_STREQ(reasonText(r.reason), "template");
    EXPECT_NEAR(r.center.x, 112.f, 1.5f);
    EXPECT_NEAR(r.center.y, 91.f, 1.5f);
    EXPECT_GT(r.score, 0.99);
    EXPECT_DOUBLE_EQ(r.targetScore, r.score);
    EXPECT_NEAR(r.candidateScore, 1.0 - r.score, 1e-12);
    EXPECT_TRUE(r.hasPeakStats);
    EXPECT_GE(r.peakPsr, params.template_min_psr);
    EXPECT_LE(r.peakAmbiguity, params.template_max_ambiguity);
}

TEST_F(TemplateMeasure, LargeTemplatesAreSearchedCoarseToFine) {
    const cv::Mat patch = texture(64, 2);
    cv::Mat f0 = flatSky(320, 260);
    paste(f0, patch, {120, 90});
    seed(f0, {120, 90, 64, 64});
    cv::Mat f1 = flatSky(320, 260);
    paste(f1, patch, {127, 85});
    const TemplateResult r = measure(f1, engine->state().box, 60);
    ASSERT_TRUE(r.found) << reasonText(r.failReason);
    EXPECT_NEAR(r.center.x, 127.f + 32.f, 2.f);
    EXPECT_NEAR(r.center.y, 85.f + 32.f, 2.f);
    EXPECT_GT(r.score, 0.99);  // refined at full resolution
}

TEST_F(TemplateMeasure, FailuresCarryTheirReasonAndScore) {
    const cv::Mat patch = texture(40, 3);
    cv::Mat f0 = flatSky(200, 200);
    paste(f0, patch, {80, 80});
    seed(f0, {80, 80, 40, 40});

    // A frame smaller than the template leaves no room to search.
    const cv::Mat small = flatSky(30, 30);
    TemplateResult r = measure(small, {0, 0, 30, 30}, 60);
    EXPECT_FALSE(r.found);
    EXPECT_STREQ(reasonText(r.failReason), "lost-search-small");
    EXPECT_EQ(r.score, engine->targetScore());

    // Empty sky matches nothing.
    const cv::Mat empty = flatSky(200, 200);
    r = measure(empty, engine->state().box, 60);
    EXPECT_FALSE(r.found);
    EXPECT_STREQ(reasonText(r.failReason), "lost-low-template");
    EXPECT_LT(r.score, params.template_min_score);
}

TEST_F(TemplateMeasure, AWindowAsLargeAsTheTemplateIsDecidedByScoreAndGateAlone) {
    const cv::Mat patch = texture(20, 4);
    cv::Mat f0 = flatSky(100, 100);
    paste(f0, patch, {0, 0});
    seed(f0, {0, 0, 20, 20});
    const TemplateResult r = measure(f0, engine->state().box, 0);
    ASSERT_TRUE(r.found) << reasonText(r.failReason);
    EXPECT_FALSE(r.hasPeakStats);  // a 1 x 1 map has no sidelobes
    EXPECT_NEAR(r.score, 1.0, 1e-5);
}

// The exact target lies beyond the speed gate; a slightly degraded copy lies inside it.
TEST_F(TemplateMeasure, BeyondTheSpeedGateAWeakerPeakInsideItIsTaken) {
    params.max_speed = 0.0;  // gate = min_gate_radius = 12 px
    const cv::Mat patch = texture(16, 5);
    cv::Mat f0 = flatSky(260, 200);
    paste(f0, patch, {100, 90});
    seed(f0, {100, 90, 16, 16});
    const cv::Point2f c0 = engine->state().center;

    for (bool withNearCopy : {true, false}) {
        SCOPED_TRACE(withNearCopy ? "near copy present" : "only the far copy");
        cv::Mat f1 = flatSky(260, 200);
        paste(f1, patch, {140, 90});  // 40 px away
        if (withNearCopy) paste(f1, noisy(patch, 8.0, 6), {103, 91});
        const TemplateResult r = measure(f1, engine->state().box, 60);
        EXPECT_NEAR(r.score, 1.0, 1e-4);  // the far copy is still the best match
        if (withNearCopy) {
            ASSERT_TRUE(r.found) << reasonText(r.failReason);
            EXPECT_LE(distance(r.center, c0), 12.0);
            EXPECT_NEAR(r.center.x, 111.f, 2.f);
            EXPECT_LT(r.targetScore, 0.99);
            EXPECT_GE(r.targetScore, 0.88);
        } else {
            EXPECT_FALSE(r.found);
            EXPECT_STREQ(reasonText(r.failReason), "lost-speed-gate");
        }
    }
}

// A one-pixel-wide or -high seed has no half-size template; it must still lock, track and
// learn, in grey and in colour (where the colour patch keeps at least one pixel per side).
TEST_F(TemplateMeasure, OnePixelSeedsLockTrackAndLearn) {
    for (cv::Rect box : {cv::Rect(60, 40, 1, 9), cv::Rect(60, 40, 9, 1), cv::Rect(60, 40, 1, 1)}) {
        cv::Mat f0 = flatSky(160, 120);
        f0(box).setTo(240);
        cv::Mat colour;
        cv::cvtColor(f0, colour, cv::COLOR_GRAY2BGR);
        for (const char* profile : {"default", "correlation", "missile"}) {
            SCOPED_TRACE(::testing::PrintToString(box) + " " + profile);
            TargetEngine t(trackerParamsForProfile(profile));
            ASSERT_NO_THROW(t.initialize(colour, f0, box));
            EXPECT_TRUE(TargetEngineProbe{t}.model().halfTemplate.empty());
            EXPECT_EQ(t.model().seedSize, box.size());
            for (int i = 0; i < 3; ++i) {
                TrackStep s;
                ASSERT_NO_THROW(s = t.update(i == 0 ? f0 : colour, f0, 1.0 / 30.0));
                EXPECT_TRUE(test::finiteStep(s));
                EXPECT_TRUE(test::insideFrame(t.state().box, f0.cols, f0.rows));
            }
        }
    }
    cv::Mat colour;
    cv::cvtColor(flatSky(160, 120), colour, cv::COLOR_GRAY2BGR);
    TargetEngine t(params);
    ASSERT_NO_THROW(t.initialize(colour, flatSky(160, 120), {10, 5, 100, 1}));
    EXPECT_EQ(TargetEngineProbe{t}.model().colourPatch.size(), cv::Size(32, 1));
}

class MotionMeasure : public SeededCues {
protected:
    static constexpr int kW = 240;
    static constexpr int kH = 180;
    void seedAt(cv::Point2f c) {
        const cv::Mat f0 = skyWithBlob(kW, kH, c, 8);
        engine = std::make_unique<TargetEngine>(params);
        engine->initialize(f0, f0, test::boxAround(c, 12));
    }
    Measurement measure(const cv::Mat& previous, const cv::Mat& current) {
        TargetEngineProbe{*engine}.model().previousFrame = previous.clone();
        const cv::Rect pb = engine->state().box;
        return cues.motion.measure(ctx(), current, current, pb, rectCenter(pb), 60, 1.0 / 30.0);
    }
};

TEST_F(MotionMeasure, AMovedBlobIsFoundAtItsNewPosition) {
    seedAt({100.f, 90.f});
    const cv::Mat before = skyWithBlob(kW, kH, {100.f, 90.f}, 8);
    const cv::Mat after = skyWithBlob(kW, kH, {112.f, 90.f}, 8);
    const Measurement m = measure(before, after);
    ASSERT_TRUE(m.found);
    EXPECT_STREQ(reasonText(m.reason), "motion");
    EXPECT_NEAR(m.center.x, 112.f, 1.5f);
    EXPECT_NEAR(m.center.y, 90.f, 1.5f);
    EXPECT_GT(m.targetScore, 0.5);  // the blob still looks like the target
    EXPECT_GE(m.confidence, 0.0);
    EXPECT_LE(m.confidence, 1.0);
}

TEST_F(MotionMeasure, NothingToCompareAgainstMeansNothingFound) {
    seedAt({100.f, 90.f});
    const cv::Mat after = skyWithBlob(kW, kH, {112.f, 90.f}, 8);
    EXPECT_FALSE(measure(cv::Mat(), after).found);
    EXPECT_FALSE(measure(skyWithBlob(kW / 2, kH, {50.f, 90.f}, 8), after).found);
    EXPECT_FALSE(measure(after, after).found);  // no change at all
}

TEST_F(MotionMeasure, BlobsWhoseBoxWouldLeaveTheFrameAreIgnored) {
    for (float x : {3.f, 20.f}) {
        SCOPED_TRACE(x);
        seedAt({12.f, 90.f});
        const Measurement m = measure(skyWithBlob(kW, kH, {}, 0), skyWithBlob(kW, kH, {x, 90.f}, 8));
        EXPECT_EQ(m.found, x > 6.f);  // the 12 px box must fit left of the blob centre
    }
}

TEST_F(MotionMeasure, ACloseRivalLowersTheWinnersConfidenceOnlyWithAnAmbiguityRadius) {
    double confidence[2] = {0.0, 0.0};
    for (int i = 0; i < 2; ++i) {
        params.motion_ambiguity_radius = i == 0 ? 0.0 : 80.0;
        seedAt({100.f, 90.f});
        cv::Mat after = skyWithBlob(kW, kH, {108.f, 90.f}, 8);
        cv::circle(after, cv::Point(100, 110), 3, cv::Scalar(235), cv::FILLED);
        const Measurement m = measure(skyWithBlob(kW, kH, {}, 0), after);
        ASSERT_TRUE(m.found);
        confidence[i] = m.confidence;
    }
    EXPECT_LT(confidence[1], confidence[0]);
}

}  // namespace
}  // namespace molvane
