// How one accepted observation changes the engine: velocity, size limits, reacquisition,
// the correlation guard, and the gates that decide whether a candidate is accepted at all.
#include <climits>
#include <cmath>
#include <functional>

#include <gtest/gtest.h>

#include "core/geometry.hpp"
#include "core/reasons.hpp"
#include "engine_probe.hpp"
#include "test_engine_support.hpp"

namespace molvane {
namespace {

using test::skyWithBlob;

constexpr int kW = 400;
constexpr int kH = 300;

Measurement observation(cv::Point2f center, cv::Size size, double confidence, Reason why = Reason::kTemplate) {
    Measurement m;
    m.box = {static_cast<int>(std::lround(center.x - size.width * 0.5f)),
             static_cast<int>(std::lround(center.y - size.height * 0.5f)), size.width, size.height};
    m.center = center;
    m.targetScore = confidence;
    m.candidateScore = 1.0 - confidence;
    m.confidence = confidence;
    m.reason = why;
    m.found = true;
    return m;
}

class EngineApply : public ::testing::Test {
protected:
    void seed(cv::Rect box) {
        params.correlation_enabled = true;  // keeps the seed box exactly as given
        engine = std::make_unique<TargetEngine>(params);
        frame = skyWithBlob(kW, kH, rectCenter(box), std::min(box.width, box.height));
        engine->initialize(frame, frame, box);
        probe = std::make_unique<TargetEngineProbe>(TargetEngineProbe{*engine});
        probe->commits = false;  // leave learning to a commit, as a proposal does
    }
    TrackerParams params;
    cv::Mat frame;
    std::unique_ptr<TargetEngine> engine;
    std::unique_ptr<TargetEngineProbe> probe;
};

TEST_F(EngineApply, VelocityBlendsTheObservedMotionWithTheGain) {
    seed({100, 100, 10, 10});
    const cv::Point2f c0 = engine->state().center;
    probe->applyMeasurement(frame, frame, observation(c0 + cv::Point2f(10.f, 0.f), {10, 10}, 0.9), false, true,
                            1.0 / 30.0);
    EXPECT_NEAR(engine->state().velocity.x, 90.f, 1e-3);
    EXPECT_NEAR(engine->state().velocity.y, 0.f, 1e-6);
    EXPECT_NEAR(engine->state().displacement.x, 3.f, 1e-4);
    EXPECT_EQ(engine->state().center, c0 + cv::Point2f(10.f, 0.f));

    // A second identical step measured against the prediction keeps blending.
    const cv::Point2f c1 = engine->state().center;
    probe->applyMeasurement(frame, frame, observation(c1 + cv::Point2f(10.f, 0.f), {10, 10}, 0.9), false, true,
                            1.0 / 30.0);
    EXPECT_NEAR(engine->state().velocity.x, 0.7f * 90.f + 0.3f * 300.f, 1e-2);
}

TEST_F(EngineApply, ASmallSeedMayGrowTwelveFoldButOnlyOneStepPerUpdate) {
    seed({150, 100, 10, 10});
    int previous = engine->state().box.width;
    for (int i = 0; i < 60; ++i) {
        const cv::Point2f c = engine->state().center;
        probe->applyMeasurement(frame, frame, observation(c, {250, 250}, 0.9), false, true, 1.0 / 30.0);
        const int w = engine->state().box.width;
        EXPECT_LE(w, static_cast<int>(std::ceil(previous * 1.1)));
        EXPECT_GE(w, previous);
        previous = w;
    }
    EXPECT_EQ(engine->state().box.width, 120);
    EXPECT_EQ(engine->state().box.height, 120);

    // Shrinking is limited the same way, and never below a quarter of the seed.
    for (int i = 0; i < 60; ++i) {
        const int before = engine->state().box.width;
        probe->applyMeasurement(frame, frame, observation(engine->state().center, {1, 1}, 0.9), false, true,
                                1.0 / 30.0);
        EXPECT_GE(engine->state().box.width, static_cast<int>(std::floor(before / 1.1)));
    }
    EXPECT_EQ(engine->state().box.width, 2);
}

TEST_F(EngineApply, SizeCapsDependOnTheSeedArea) {
    struct Case {
        cv::Rect seed;
        int cap;  // width reachable by repeated growth
    };
    // Seeds up to 150 px^2 may grow 12-fold, up to 1200 px^2 5-fold, larger ones max_size_scale.
    for (const Case& c :
         {Case{{150, 100, 15, 10}, 180}, Case{{150, 100, 30, 30}, 150}, Case{{150, 100, 40, 40}, 160}}) {
        SCOPED_TRACE(::testing::PrintToString(c.seed));
        seed(c.seed);
        for (int i = 0; i < 80; ++i) {
            probe->applyMeasurement(frame, frame, observation(engine->state().center, {390, 290}, 0.9), false, true,
                                    1.0 / 30.0);
        }
        EXPECT_EQ(engine->state().box.width, std::min(c.cap, kW));
    }
}

TEST_F(EngineApply, LowConfidenceKeepsTheOldSize) {
    seed({150, 100, 20, 20});
    probe->applyMeasurement(frame, frame, observation({165.f, 112.f}, {30, 30}, 0.3), false, true, 1.0 / 30.0);
    EXPECT_EQ(engine->state().box.size(), cv::Size(20, 20));
    EXPECT_EQ(engine->state().center, cv::Point2f(165.f, 112.f));
    EXPECT_FALSE(probe->learning().hasGeometry);
    EXPECT_FALSE(probe->learning().appearanceAllowed);
}

TEST_F(EngineApply, AReacquisitionStopsTheTargetAndSnapsTheDisplay) {
    seed({100, 100, 12, 12});
    probe->state().velocity = {200.f, -50.f};
    const cv::Point2f far(260.f, 180.f);
    probe->applyMeasurement(frame, frame, observation(far, {12, 12}, 0.8, Reason::kReacquireWide), true, false,
                            1.0 / 30.0);
    const EngineMotionState& s = engine->state();
    EXPECT_EQ(s.velocity, cv::Point2f(0.f, 0.f));
    EXPECT_EQ(s.center, far);
    EXPECT_EQ(s.displayCenter, far);
    EXPECT_EQ(s.displaySize, cv::Point2f(12.f, 12.f));
    EXPECT_EQ(s.displayTopLeft, cv::Point2f(static_cast<float>(s.box.x), static_cast<float>(s.box.y)));
    EXPECT_STREQ(reasonText(s.reason), "reacquire-wide");
    EXPECT_TRUE(probe->learning().reacquired);
    EXPECT_FALSE(probe->learning().confirmed);
    EXPECT_FALSE(probe->learning().appearanceAllowed);
}

TEST_F(EngineApply, AFarCorrelationPeakIsHeldAtThePredictionInAdaptiveMode) {
    params.adaptive_box = true;
    params.foreground_box_min_psr = 1e9;  // keep the box assist out of this test
    seed({100, 100, 12, 12});
    probe->state().velocity = {30.f, 0.f};
    const cv::Point2f c0 = engine->state().center;
    Measurement m = observation(c0 + cv::Point2f(40.f, 0.f), {12, 12}, 0.9, Reason::kCorrelation);
    m.correlationPsr = 9.0;
    probe->applyMeasurement(frame, frame, m, false, true, 0.1);
    const cv::Point2f predicted = c0 + cv::Point2f(3.f, 0.f);
    EXPECT_NEAR(engine->state().center.x, predicted.x, 1e-4);
    EXPECT_NEAR(engine->state().velocity.x, 30.f, 1e-3);  // the prediction agrees with the old velocity
    EXPECT_STREQ(reasonText(engine->reason()), "correlation-guarded");
    EXPECT_FALSE(probe->learning().positionUpdated);
    EXPECT_FALSE(probe->learning().appearanceAllowed);
    EXPECT_NEAR(probe->learning().center.x, predicted.x, 1e-4);

    // Inside the gate (max(6, 12 x 0.65) = 7.8 px) the peak is taken.
    const cv::Point2f c1 = engine->state().center;
    m = observation(c1 + cv::Point2f(5.f, 0.f), {12, 12}, 0.9, Reason::kCorrelation);
    probe->applyMeasurement(frame, frame, m, false, true, 0.1);
    EXPECT_STREQ(reasonText(engine->reason()), "correlation");
    EXPECT_TRUE(probe->learning().positionUpdated);
}

TEST_F(EngineApply, CueGeometryIsRecordedOnlyForBlobCuesWhenEnabled) {
    struct Case {
        Reason why;
        bool cueGeometry;
        bool expected;
    };
    for (const Case& c : {Case{Reason::kMotion, true, true}, Case{Reason::kTemplate, true, true},
                          Case{Reason::kCorrelation, true, false}, Case{Reason::kMotion, false, false}}) {
        SCOPED_TRACE(reasonText(c.why));
        params.cue_geometry_update = c.cueGeometry;
        seed({100, 100, 12, 12});
        const Measurement m = observation(engine->state().center, {14, 12}, 0.9, c.why);
        probe->applyMeasurement(frame, frame, m, false, true, 1.0 / 30.0);
        EXPECT_EQ(probe->learning().hasGeometry, c.expected);
        if (c.expected) {
            EXPECT_EQ(probe->learning().geometryBox, cv::Rect2f(m.box));
            EXPECT_DOUBLE_EQ(probe->learning().geometryConfidence, 0.9);
        }
        EXPECT_EQ(probe->learning().source, c.why);
    }
}

TEST_F(EngineApply, ReacquisitionConfirmationCountsConsecutiveAcceptedFrames) {
    params.reacquire_confirm_frames = 3;
    seed({100, 100, 12, 12});
    probe->state().confirmCount = 1;  // a wide search found it once
    const TrackStep t1 = probe->accept(frame, frame, observation(engine->state().center, {12, 12}, 0.9), 1 / 30.0);
    EXPECT_EQ(t1.state, TrackState::kTentative);
    EXPECT_EQ(engine->state().confirmCount, 2);
    const TrackStep t2 = probe->accept(frame, frame, observation(engine->state().center, {12, 12}, 0.9), 1 / 30.0);
    EXPECT_EQ(t2.state, TrackState::kConfirmed);
    EXPECT_EQ(engine->state().confirmCount, 0);
    EXPECT_EQ(t2.hits, 3);
    EXPECT_EQ(t2.age, t2.hits);
    const TrackStep t3 = probe->accept(frame, frame, observation(engine->state().center, {12, 12}, 0.9), 1 / 30.0);
    EXPECT_EQ(t3.state, TrackState::kConfirmed);
}

// Every ending of a step counts with saturating counters: an accepted observation, a
// reacquisition step, a lost step inside the pipeline and a coast, each at the limit.
TEST_F(EngineApply, StepEndingsSaturateTheirCounters) {
    seed({100, 100, 12, 12});
    const cv::Point2f c = engine->state().center;
    struct Case {
        const char* name;
        int confirmCount;
        std::function<TrackStep()> step;
    };
    const Case cases[] = {
        {"accept", 0, [&] { return probe->accept(frame, frame, observation(c, {12, 12}, 0.9), 1 / 30.0); }},
        {"reacquisition", 1, [&] { return probe->accept(frame, frame, observation(c, {12, 12}, 0.9), 1 / 30.0); }},
        {"lost", 0, [&] { return probe->reacquireOrMiss(frame, frame, Reason::kLostLowConfidence, 1 / 30.0); }},
        {"coast", 0, [&] { return engine->coast(frame, Reason::kCoastOwnedByOther, 1 / 30.0); }},
    };
    for (const Case& k : cases) {
        probe->state().hits = INT_MAX;
        probe->state().misses = INT_MAX;
        probe->state().confirmCount = k.confirmCount;
        const TrackStep s = k.step();
        EXPECT_EQ(s.hits, INT_MAX) << k.name;
        EXPECT_EQ(s.misses, s.state == TrackState::kLost ? INT_MAX : 0) << k.name;
        EXPECT_EQ(s.age, INT_MAX) << k.name;
    }
}

TEST_F(EngineApply, BlockedRegionsRefuseOverlappingOrNearbyCandidates) {
    seed({100, 100, 12, 12});
    struct Case {
        cv::Rect2f region;
        cv::Point2f center;
        bool blocked;
    };
    const Case cases[] = {
        {{200.f, 200.f, 8.f, 8.f}, {213.f, 204.f}, true},    // 9 px from an 8 x 8 region: limit 10
        {{200.f, 200.f, 8.f, 8.f}, {215.f, 204.f}, false},   // 11 px
        {{200.f, 200.f, 40.f, 40.f}, {249.f, 220.f}, true},  // limit 0.75 x 40 = 30 px (29 px away)
        {{200.f, 200.f, 40.f, 40.f}, {252.f, 220.f}, false},
        {{200.f, 200.f, 0.f, 40.f}, {200.f, 220.f}, false},  // degenerate regions are ignored
    };
    for (const Case& c : cases) {
        probe->inputs().blockedRegions = {c.region};
        EXPECT_EQ(probe->isBlocked(observation(c.center, {4, 4}, 0.9)), c.blocked)
            << ::testing::PrintToString(c.region) << " " << c.center;
    }
    // Overlap alone blocks once intersection over union reaches 0.2, however far the centres.
    probe->inputs().blockedRegions = {{0.f, 0.f, 200.f, 20.f}};
    Measurement big = observation({160.f, 10.f}, {200, 20}, 0.9);  // IoU 2800 / 5200
    EXPECT_TRUE(probe->isBlocked(big));
    EXPECT_FALSE(probe->isBlocked(observation({270.f, 10.f}, {200, 20}, 0.9)));  // IoU 600 / 7400
    probe->inputs().blockedRegions.clear();
    EXPECT_FALSE(probe->isBlocked(big));
}

TEST_F(EngineApply, TinyTargetMotionNeedsMoreConfidence) {
    struct Case {
        cv::Rect seed;
        Reason why;
        double targetScore;
        int confirmCount;
        double threshold;  // smallest accepted confidence
    };
    const Case cases[] = {
        {{100, 100, 10, 10}, Reason::kMotion, 0.9, 0, 0.68},   {{100, 100, 10, 10}, Reason::kMotion, 0.45, 0, 0.70},
        {{100, 100, 10, 10}, Reason::kMotion, 0.35, 0, 0.75},  {{100, 100, 10, 10}, Reason::kMotion, 0.9, 1, 0.76},
        {{100, 100, 11, 10}, Reason::kMotion, 0.35, 0, 0.2},  // area 110: ordinary threshold
        {{100, 100, 10, 10}, Reason::kTemplate, 0.35, 1, 0.2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.seed) + " " + reasonText(c.why));
        seed(c.seed);
        probe->state().confirmCount = c.confirmCount;
        Measurement m = observation(engine->state().center, c.seed.size(), c.threshold, c.why);
        m.targetScore = c.targetScore;
        EXPECT_TRUE(probe->isAcceptable(m));
        m.confidence = c.threshold - 0.005;
        EXPECT_FALSE(probe->isAcceptable(m));
    }
}

TEST_F(EngineApply, SharpnessStatisticsGateTemplateMatches) {
    seed({100, 100, 12, 12});
    Measurement m = observation({106.f, 106.f}, {12, 12}, 0.9);
    m.hasPeakStats = true;
    m.peakPsr = params.template_min_psr;
    m.peakAmbiguity = params.template_max_ambiguity;
    EXPECT_TRUE(probe->isAcceptable(m));
    m.peakPsr = params.template_min_psr - 0.01;
    EXPECT_FALSE(probe->isAcceptable(m));
    m.peakPsr = 50.0;
    m.peakAmbiguity = 0.96;
    EXPECT_FALSE(probe->isAcceptable(m));
    m.hasPeakStats = false;
    EXPECT_TRUE(probe->isAcceptable(m));
}

}  // namespace
}  // namespace molvane
