// The engine's propose/commit/coast contract: errors, staleness, ownership, the absence of
// side effects of a proposal, counters and the lost search.
#include <climits>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "core/reasons.hpp"
#include "engine_probe.hpp"
#include "test_engine_support.hpp"

namespace molvane {
namespace {

using test::expectSameState;
using test::skyWithBlob;

constexpr int kW = 160;
constexpr int kH = 120;
constexpr double kDt = 1.0 / 30.0;

template <typename Fn>
std::string messageOf(Fn&& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no exception>";
}

class EngineCycle : public ::testing::Test {
protected:
    TrackerParams params;
    cv::Mat frame = skyWithBlob(kW, kH, {80.f, 60.f}, 8);
    std::vector<cv::Rect2f> none;
};

TEST_F(EngineCycle, OperationsBeforeInitializeAreRefusedWithoutLookingAtTheFrame) {
    TargetEngine t(params);
    EXPECT_FALSE(t.initialized());
    // An empty grey frame must not be what the refusal is about.
    EXPECT_EQ(messageOf([&] { t.propose(cv::Mat(), cv::Mat(), none, std::nullopt, kDt, false); }),
              "template tracker proposal requested before initialize");
    EXPECT_EQ(messageOf([&] { t.coast(cv::Mat(), Reason::kCoastOwnedByOther, kDt); }),
              "template tracker coast requested before initialize");
    EXPECT_EQ(messageOf([&] { t.update(frame, frame, kDt); }), "template tracker proposal requested before initialize");
    EXPECT_THROW(t.coast(frame, Reason::kCoastOwnedByOther, kDt), std::logic_error);
    EXPECT_EQ(messageOf([&] { t.commit(TargetProposal(), frame, frame); }), "invalid template tracker proposal");
    EXPECT_EQ(t.generation(), 0);
}

TEST_F(EngineCycle, NonFiniteIntervalsAreRefusedAndLeaveTheEngineUntouched) {
    TargetEngine t(params);
    t.initialize(frame, frame, {76, 56, 8, 8});
    const EngineMotionState before = t.state();
    for (double dt :
         {std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(messageOf([&] { t.propose(frame, frame, none, std::nullopt, dt, false); }),
                  "dtSeconds must be finite");
        EXPECT_EQ(messageOf([&] { t.update(frame, frame, dt); }), "dtSeconds must be finite");
        EXPECT_EQ(messageOf([&] { t.coast(frame, Reason::kCoastOwnedByOther, dt); }), "dtSeconds must be finite");
        EXPECT_THROW(t.propose(frame, frame, none, std::nullopt, dt, false), std::invalid_argument);
    }
    EXPECT_EQ(messageOf([&] { t.coast(cv::Mat(), Reason::kCoastOwnedByOther, kDt); }), "gray frame must not be empty");
    expectSameState(before, t.state());
    EXPECT_EQ(t.generation(), 1);
    TargetEngineProbe probe{t};
    EXPECT_FALSE(probe.learning().present);
    EXPECT_FALSE(probe.inputs().referenceSize.has_value());
    // The engine still works afterwards.
    EXPECT_NO_THROW(t.update(frame, frame, kDt));
}

TEST_F(EngineCycle, BoxesWithoutOverlapAreRefusedAndChangeNothing) {
    const cv::Rect outside[] = {
        {-20, 10, 20, 10},              // touches the left edge with zero overlap
        {kW, 10, 5, 5},                 // starts right of the frame
        {10, kH, 5, 5},                 // below
        {10, 10, 0, 5},                 // zero width
        {10, 10, 5, -3},                // negative height
        {INT_MAX - 2, 10, INT_MAX, 5},  // x + w does not fit an int
        {INT_MIN, INT_MIN, 10, 10},
    };
    TargetEngine fresh(params);
    TargetEngine seeded(params);
    seeded.initialize(frame, frame, {76, 56, 8, 8});
    const EngineMotionState before = seeded.state();
    const cv::Mat templBefore = TargetEngineProbe{seeded}.model().templ.clone();
    for (const cv::Rect& box : outside) {
        SCOPED_TRACE(::testing::PrintToString(box));
        EXPECT_EQ(messageOf([&] { fresh.initialize(frame, frame, box); }), "target bbox is outside the frame");
        EXPECT_THROW(seeded.initialize(frame, frame, box), std::invalid_argument);
        EXPECT_FALSE(fresh.initialized());
        EXPECT_EQ(fresh.generation(), 0);
        EXPECT_EQ(seeded.generation(), 1);
        expectSameState(before, seeded.state());
    }
    EXPECT_EQ(cv::norm(templBefore, TargetEngineProbe{seeded}.model().templ, cv::NORM_INF), 0.0);
}

TEST_F(EngineCycle, BoxesReachingPastTheFrameAreClippedIn64Bits) {
    struct Case {
        cv::Rect box;
        cv::Rect clipped;
    };
    const Case cases[] = {
        {{-5, -5, 20, 20}, {0, 0, 15, 15}},
        {{kW - 3, 10, INT_MAX, 5}, {kW - 3, 10, 3, 5}},
        {{-1000, -1000, INT_MAX, INT_MAX}, {0, 0, kW, kH}},
    };
    params.correlation_enabled = true;  // no refinement: the box is the clipped box
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.box));
        TargetEngine t(params);
        t.initialize(frame, frame, c.box);
        EXPECT_EQ(t.state().box, c.clipped);
        EXPECT_EQ(t.model().seedSize, c.clipped.size());
        EXPECT_STREQ(reasonText(t.reason()), "init");
    }
}

TEST_F(EngineCycle, ProposingHasNoVisibleEffect) {
    for (const char* profile : {"default", "correlation", "adaptive", "birds"}) {
        SCOPED_TRACE(profile);
        TargetEngine t(trackerParamsForProfile(profile));
        t.initialize(frame, frame, {76, 56, 8, 8});
        t.update(skyWithBlob(kW, kH, {83.f, 60.f}, 8), skyWithBlob(kW, kH, {83.f, 60.f}, 8), kDt);
        TargetEngineProbe probe{t};
        const EngineMotionState before = t.state();
        const std::int64_t generation = t.generation();
        const cv::Mat previous = probe.model().previousFrame.clone();
        const cv::Mat templ = probe.model().templ.clone();

        const cv::Mat next = skyWithBlob(kW, kH, {86.f, 61.f}, 8);
        const std::vector<cv::Rect2f> blocked{{10.f, 10.f, 8.f, 8.f}};
        const TargetProposal p = t.propose(next, next, blocked, cv::Size2f(8.f, 8.f), kDt, true);
        ASSERT_TRUE(p.valid());
        expectSameState(before, t.state());
        EXPECT_EQ(t.generation(), generation);
        EXPECT_EQ(cv::norm(previous, probe.model().previousFrame, cv::NORM_INF), 0.0);
        EXPECT_EQ(cv::norm(templ, probe.model().templ, cv::NORM_INF), 0.0);
        EXPECT_FALSE(probe.learning().present);
        EXPECT_FALSE(probe.inputs().referenceSize.has_value());
        EXPECT_FALSE(probe.inputs().multiTarget);
        EXPECT_FALSE(probe.inputs().motionGate.active);
        // The proposal itself carries the step.
        EXPECT_EQ(p.generation, generation);
        EXPECT_EQ(p.after.hits + p.after.misses, p.step.age);
        ASSERT_NE(p.step.state, TrackState::kLost);
        EXPECT_GT(p.anchorAppearance, 0.4);  // still looks like the seed
        EXPECT_EQ(p.center, p.learning.center);
        EXPECT_EQ(p.box.size(), cv::Size2f(before.box.size()));
        EXPECT_NEAR(p.box.x + p.box.width * 0.5f, p.center.x, 0.51f);
        const cv::Point2f predicted = before.center + before.velocity * static_cast<float>(kDt);
        EXPECT_NEAR(p.predictedCenter.x, predicted.x, 1e-3);
        EXPECT_NEAR(p.predictedCenter.y, predicted.y, 1e-3);
    }
}

TEST_F(EngineCycle, ProposalsAreStaleAfterAnyStateChange) {
    TargetEngine t(params);
    t.initialize(frame, frame, {76, 56, 8, 8});
    const TargetProposal first = t.propose(frame, frame, none, std::nullopt, kDt, false);
    const TargetProposal second = t.propose(frame, frame, none, std::nullopt, kDt, false);
    t.commit(second, frame, frame);
    EXPECT_EQ(messageOf([&] { t.commit(second, frame, frame); }), "template tracker proposal is stale");
    EXPECT_THROW(t.commit(first, frame, frame), std::logic_error);

    const TargetProposal third = t.propose(frame, frame, none, std::nullopt, kDt, false);
    t.coast(frame, Reason::kCoastOwnedByOther, kDt);
    EXPECT_EQ(messageOf([&] { t.commit(third, frame, frame); }), "template tracker proposal is stale");
    const TargetProposal fourth = t.propose(frame, frame, none, std::nullopt, kDt, false);
    t.initialize(frame, frame, {76, 56, 8, 8});
    const EngineMotionState reseeded = t.state();
    EXPECT_THROW(t.commit(fourth, frame, frame), std::logic_error);
    expectSameState(reseeded, t.state());
    EXPECT_EQ(t.state().hits, 1);
}

TEST_F(EngineCycle, AProposalReportsTheScoresItsCommitLeaves) {
    TargetEngine t(params);
    t.initialize(frame, frame, {76, 56, 8, 8});
    const cv::Mat next = skyWithBlob(kW, kH, {82.f, 60.f}, 8);
    const TargetProposal p = t.propose(next, next, none, std::nullopt, kDt, false);
    t.commit(p, next, next);
    const StepScores after = t.scores();
    EXPECT_EQ(p.scores.target_score, after.target_score);
    EXPECT_EQ(p.scores.target_candidate_score, after.target_candidate_score);
    EXPECT_EQ(p.scores.confidence, after.confidence);
    EXPECT_EQ(p.scores.reason, after.reason);
    EXPECT_EQ(after.confidence, static_cast<float>(t.confidence()));
    EXPECT_EQ(after.reason, t.reason());
}

TEST_F(EngineCycle, AForeignProposalIsRefusedEvenWithAMatchingGeneration) {
    TargetEngine a(params);
    TargetEngine b(params);
    a.initialize(frame, frame, {76, 56, 8, 8});
    b.initialize(frame, frame, {76, 56, 8, 8});
    ASSERT_EQ(a.generation(), b.generation());
    const TargetProposal p = a.propose(frame, frame, none, std::nullopt, kDt, false);
    const EngineMotionState before = b.state();
    EXPECT_EQ(messageOf([&] { b.commit(p, frame, frame); }), "template tracker proposal belongs to another tracker");
    EXPECT_THROW(b.commit(p, frame, frame), std::invalid_argument);
    expectSameState(before, b.state());
    EXPECT_EQ(b.generation(), 1);
    EXPECT_NO_THROW(a.commit(p, frame, frame));
}

TEST_F(EngineCycle, HeldProposalsAreNeverOverwrittenByLaterOnes) {
    TargetEngine t(params);
    t.initialize(frame, frame, {76, 56, 8, 8});
    const TargetProposal held = t.propose(frame, frame, none, std::nullopt, kDt, false);
    const TrackStep heldStep = held.step;
    const cv::Mat moved = skyWithBlob(kW, kH, {30.f, 30.f}, 8);
    const TargetProposal other = t.propose(moved, moved, none, std::nullopt, 0.5, false);
    EXPECT_EQ(held.step.cx, heldStep.cx);
    EXPECT_EQ(held.step.hits, heldStep.hits);
    // Both are of the same generation: either may still be committed.
    EXPECT_EQ(held.generation, other.generation);
    EXPECT_NO_THROW(t.commit(held, frame, frame));
}

TEST_F(EngineCycle, CountersFollowObservationsAndCoasts) {
    TargetEngine t(params);
    t.initialize(frame, frame, {76, 56, 8, 8});
    EXPECT_EQ(t.state().hits, 1);
    EXPECT_EQ(t.state().misses, 0);
    EXPECT_STREQ(reasonText(t.reason()), "init");
    EXPECT_EQ(t.targetScore(), 1.0);
    EXPECT_EQ(t.confidence(), 1.0);

    const TrackStep s1 = t.update(frame, frame, kDt);
    EXPECT_EQ(s1.state, TrackState::kConfirmed);
    EXPECT_EQ(s1.hits, 2);
    EXPECT_EQ(s1.misses, 0);
    EXPECT_EQ(s1.age, 2);

    const TrackStep s2 = t.coast(frame, Reason::kCoastOwnedByOther, kDt);
    EXPECT_EQ(s2.state, TrackState::kLost);
    EXPECT_EQ(s2.hits, 2);
    EXPECT_EQ(s2.misses, 1);
    EXPECT_EQ(s2.age, 3);
    EXPECT_EQ(s2.targetId, 1);
    EXPECT_EQ(t.reason(), Reason::kCoastOwnedByOther);
    EXPECT_EQ(t.confidence(), 0.0);
    EXPECT_EQ(t.candidateScore(), 0.0);

    // Found again after a gap: tentative first, confirmed on the second look.
    const TrackStep s3 = t.update(frame, frame, kDt);
    EXPECT_EQ(s3.state, TrackState::kTentative);
    EXPECT_EQ(s3.hits, 3);
    EXPECT_EQ(s3.misses, 0);
    EXPECT_EQ(s3.age, 3);
    EXPECT_EQ(t.update(frame, frame, kDt).state, TrackState::kConfirmed);
}

TEST_F(EngineCycle, CoastRefusesReasonsOutsideTheVocabulary) {
    TargetEngine t(params);
    t.initialize(frame, frame, {76, 56, 8, 8});
    const EngineMotionState before = t.state();
    EXPECT_THROW(t.coast(frame, Reason::kNone, kDt), std::invalid_argument);
    EXPECT_THROW(t.coast(frame, static_cast<Reason>(200), kDt), std::invalid_argument);
    expectSameState(before, t.state());
}

TEST_F(EngineCycle, CoastPredictsDecaysAndKeepsTheBoxInsideTheFrame) {
    TargetEngine t(params);
    t.initialize(frame, frame, {76, 56, 8, 8});
    TargetEngineProbe probe{t};
    probe.state().velocity = {300.f, 0.f};
    const float cx = t.state().center.x;
    t.coast(frame, Reason::kCoastAmbiguousOwner, 0.1);
    EXPECT_FLOAT_EQ(t.state().center.x, cx + 30.f);
    // 0.1 s spans three 30 fps frames of the per-frame decay.
    EXPECT_NEAR(t.state().velocity.x, 300.f * 0.9f * 0.9f * 0.9f, 1e-3);
    EXPECT_NEAR(t.state().displacement.x, 21.87f, 1e-3);
    for (int i = 0; i < 20; ++i) t.coast(frame, Reason::kCoastAmbiguousOwner, 0.1);
    EXPECT_GT(t.state().center.x, kW);  // the centre may leave, the box may not
    EXPECT_TRUE(test::insideFrame(t.state().box, kW, kH));
    EXPECT_EQ(t.state().box.x, kW - 8);
    EXPECT_EQ(t.state().misses, 21);
}

TEST_F(EngineCycle, HugeFiniteIntervalsKeepEverythingFinite) {
    for (const char* profile : {"default", "correlation", "missile"}) {
        SCOPED_TRACE(profile);
        TargetEngine t(trackerParamsForProfile(profile));
        t.initialize(frame, frame, {76, 56, 8, 8});
        TargetEngineProbe probe{t};
        probe.state().velocity = {1.0e6f, -1.0e6f};
        for (double dt : {1.0e30, 1.0e300, std::numeric_limits<double>::max(), -1.0e300}) {
            const TrackStep c = t.coast(frame, Reason::kCoastOwnedByOther, dt);
            EXPECT_TRUE(test::finiteStep(c));
            const TrackStep u = t.update(frame, frame, dt);
            EXPECT_TRUE(test::finiteStep(u));
            EXPECT_TRUE(std::isfinite(t.state().center.x) && std::isfinite(t.state().center.y));
            EXPECT_TRUE(test::insideFrame(t.state().box, kW, kH));
        }
    }
}

TEST_F(EngineCycle, ZeroAndNegativeIntervalsCountAsTheMinimumInterval) {
    TargetEngine a(params);
    TargetEngine b(params);
    for (TargetEngine* t : {&a, &b}) {
        t->initialize(frame, frame, {76, 56, 8, 8});
        TargetEngineProbe{*t}.state().velocity = {240.f, 0.f};
    }
    const float cx = a.state().center.x;
    const TrackStep sa = a.coast(frame, Reason::kCoastOwnedByOther, -5.0);
    const TrackStep sb = b.coast(frame, Reason::kCoastOwnedByOther, 1.0 / 240.0);
    EXPECT_EQ(sa.cx, sb.cx);
    EXPECT_FLOAT_EQ(a.state().center.x, cx + 1.f);
}

TEST_F(EngineCycle, LostModeSearchesTheSkyAndCountsMisses) {
    params.sky_search_after_misses = 3;
    TargetEngine t(params);
    t.initialize(frame, frame, {76, 56, 8, 8});
    TargetEngineProbe probe{t};
    probe.state().misses = 3;
    const cv::Mat empty = skyWithBlob(kW, kH, {0.f, 0.f}, 0);
    const EngineMotionState before = t.state();
    const TargetProposal p = t.propose(empty, empty, none, std::nullopt, kDt, false);
    expectSameState(before, t.state());
    EXPECT_STREQ(reasonText(p.scores.reason), "lost-sky-search");
    EXPECT_EQ(p.step.state, TrackState::kLost);
    EXPECT_EQ(p.anchorAppearance, 0.0);
    const TrackStep s = t.commit(p, empty, empty);
    EXPECT_EQ(s.misses, 4);
    EXPECT_EQ(t.confidence(), 0.0);
    EXPECT_EQ(t.state().confirmCount, 0);
}

TEST_F(EngineCycle, ASkyFindMustBeConfirmedOnASecondFrameEvenWhenOneWouldDo) {
    for (int confirmFrames : {1, 2}) {
        SCOPED_TRACE(confirmFrames);
        params.sky_search_after_misses = 3;
        params.reacquire_confirm_frames = confirmFrames;
        TargetEngine t(params);
        t.initialize(frame, frame, {76, 56, 8, 8});
        TargetEngineProbe probe{t};
        probe.state().misses = 3;
        probe.state().velocity = {60.f, 0.f};
        // Long lost, the target must be seen moving (or match closely) to come back.
        const cv::Mat moved = skyWithBlob(kW, kH, {83.f, 60.f}, 8);
        const cv::Mat movedOn = skyWithBlob(kW, kH, {86.f, 60.f}, 8);
        const TrackStep first = t.update(moved, moved, kDt);
        EXPECT_EQ(first.state, TrackState::kLost);
        EXPECT_STREQ(reasonText(t.reason()), "lost-confirming");
        EXPECT_EQ(first.misses, 4);
        EXPECT_EQ(t.state().confirmCount, 1);

        const TrackStep second = t.update(movedOn, movedOn, kDt);
        EXPECT_EQ(second.state, TrackState::kConfirmed);
        EXPECT_STREQ(reasonText(t.reason()), "sky-reacquire");
        EXPECT_EQ(second.misses, 0);
        EXPECT_EQ(second.hits, 2);
        EXPECT_EQ(second.age, second.hits);
        EXPECT_EQ(t.state().confirmCount, 0);
        EXPECT_EQ(t.state().velocity, cv::Point2f(0.f, 0.f));
        EXPECT_NEAR(second.cx, 86.f, 1.5f);  // snapped onto the blob, not smoothed towards it
        EXPECT_EQ(t.state().displayCenter, t.state().center);
    }
}

// Mode B freezes the size; mode C follows the ownership cell (shrinking at once, growing
// smoothly); both move the display with the measured centre.
TEST_F(EngineCycle, CommitGeometryModes) {
    const cv::Mat moved = skyWithBlob(kW, kH, {84.f, 60.f}, 8);
    struct Case {
        bool acceptGeometry;
        OwnedGeometry owned;
        float expectW;
    };
    const Case cases[] = {
        {false, {}, 8.f},                                      // B: size frozen
        {true, {{70.f, 50.f, 5.f, 12.f}, true}, 5.f},          // C: narrower cell, width at once
        {true, {{70.f, 50.f, 18.f, 12.f}, true}, 8.f + 8.5f},  // C: wider cell, 85 % of the gap
    };
    for (const Case& c : cases) {
        TargetEngine t(params);
        t.initialize(frame, frame, {76, 56, 8, 8});
        const EngineMotionState before = t.state();
        const TargetProposal p = t.propose(moved, moved, none, std::nullopt, kDt, false);
        ASSERT_TRUE(p.learning.present) << "the moved blob should have been observed";
        const TrackStep s = t.commit(p, moved, moved, CommitPolicy{false, c.acceptGeometry, c.owned, false});
        EXPECT_FLOAT_EQ(s.w, c.expectW);
        EXPECT_FLOAT_EQ(t.state().displaySize.x, c.expectW);
        EXPECT_EQ(t.state().box.size(), before.box.size());
        EXPECT_EQ(t.state().center, p.learning.center);
        EXPECT_EQ(s.hits, 2);
        if (!c.owned.valid) {
            EXPECT_FLOAT_EQ(s.cx, before.displayCenter.x + (p.learning.center.x - before.center.x));
        }
        EXPECT_FLOAT_EQ(s.x, t.state().displayCenter.x - 0.5f * s.w);
    }
}

}  // namespace
}  // namespace molvane
