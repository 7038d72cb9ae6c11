#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/reasons.hpp"
#include "multi/arbitration.hpp"
#include "multi/multi_tracker.hpp"
#include "sky_scene.hpp"

using namespace molvane;

namespace {

// Ownership score of a hand-made outcome without snapshot: 0.65 a + confidence + state bonus
// (0.2 confirmed, 0.05 tentative) + 0.005 min(hits, 10) - 0.05 misses.
TargetOutcome outcome(int32_t id, float x, float y, float w, float h, TrackState state, float confidence, float anchor,
                      int32_t hits = 0, int32_t misses = 0, Reason why = Reason::kTemplate) {
    TargetOutcome o;
    o.step = TrackStep{id, state, x, y, w, h, x + w / 2.f, y + h / 2.f, 0.f, 0.f, 0.f, 0, hits, misses};
    o.scores.confidence = confidence;
    o.scores.reason = why;
    o.report.anchor_appearance = anchor;
    return o;
}

std::vector<TargetSlot> slots(int n) {
    std::vector<TargetSlot> s(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        s[i].id = i + 1;
        s[i].phase = TargetPhase::kConfirmed;
        s[i].initialSize = cv::Size(20, 20);
    }
    return s;
}

const MultiTargetSettings kSettings;

// ---------------------------------------------------------------- interaction test

TEST(ArbitrationInteracts, EachCriterionFiresAndCanBeSwitchedOff) {
    // Large overlapping boxes: IoU 0.6 but centres 25 px apart (beyond 18).
    const cv::Rect2f a(0, 0, 100, 100), b(25, 0, 100, 100);
    EXPECT_NEAR(boxIou(a, b), 75.0 / 125.0, 1e-12);
    MultiTargetSettings iouOnly;
    iouOnly.interaction_max_distance = 0;
    iouOnly.interaction_size_factor = 0;
    EXPECT_TRUE(interacts(a, b, iouOnly));
    iouOnly.interaction_min_iou = 0.61;
    EXPECT_FALSE(interacts(a, b, iouOnly));

    // Small boxes 18 px apart: only the distance criterion (size term 1.25 * 4... = 5 px).
    const cv::Rect2f s1(0, 0, 4, 4), s2(18, 0, 4, 4), s3(18.5f, 0, 4, 4);
    EXPECT_TRUE(interacts(s1, s2, kSettings));
    EXPECT_FALSE(interacts(s1, s3, kSettings));
    MultiTargetSettings noDistance = kSettings;
    noDistance.interaction_max_distance = 0;
    EXPECT_FALSE(interacts(s1, s2, noDistance));

    // 40 px boxes: the size term allows 1.25 * 40 = 50 px between centres.
    const cv::Rect2f l1(0, 0, 40, 40), l2(50, 0, 40, 40), l3(51, 0, 40, 40);
    EXPECT_TRUE(interacts(l1, l2, kSettings));
    EXPECT_FALSE(interacts(l1, l3, kSettings));
    MultiTargetSettings noSize = kSettings;
    noSize.interaction_size_factor = 0;
    EXPECT_FALSE(interacts(l1, l2, noSize));
}

TEST(ArbitrationInteracts, EmptyAndDegenerateBoxesHaveZeroIou) {
    EXPECT_EQ(boxIou(cv::Rect2f(0, 0, 0, 0), cv::Rect2f(0, 0, 0, 0)), 0.0);
    EXPECT_EQ(boxIou(cv::Rect2f(0, 0, 10, 10), cv::Rect2f(20, 20, 5, 5)), 0.0);
    EXPECT_EQ(boxIou(cv::Rect2f(0, 0, -5, 10), cv::Rect2f(0, 0, 10, 10)), 0.0);
}

// ---------------------------------------------------------------- association

// ---------------------------------------------------------------- gated assignment

const double kInf = std::numeric_limits<double>::infinity();

TEST(ArbitrationCost, MotionUncertaintyGateAndAppearance) {
    TargetMotion sure{{100.f, 100.f}, 2.0, 9.0, 2.0, 2.0}, unsure{{100.f, 100.f}, 20.0, 60.0, 2.0, 2.0};
    // On the prediction: only the appearance distance (4 per unit) and the uncertainty's log.
    EXPECT_NEAR(pairCost(sure, {100.f, 100.f}, 1.0, false, true, kSettings), 0.0, 1e-9);
    EXPECT_NEAR(pairCost(sure, {104.f, 100.f}, 0.75, false, true, kSettings), 0.5 * 4.0 + 1.0, 1e-6);
    EXPECT_NEAR(pairCost(unsure, {100.f, 100.f}, 1.0, false, true, kSettings), std::log(10.0), 1e-6);
    // Outside the gate: forbidden, unless it is the target's own find (gate edge + penalty).
    EXPECT_EQ(pairCost(sure, {110.f, 100.f}, 1.0, false, true, kSettings), kInf);
    EXPECT_NEAR(pairCost(sure, {110.f, 100.f}, 1.0, true, true, kSettings), 0.5 * 4.5 * 4.5 + 2.0, 1e-6);
    // A sure target outbids an unsure one for a find near both predictions.
    EXPECT_LT(pairCost(sure, {103.f, 100.f}, 0.8, false, true, kSettings),
              pairCost(unsure, {103.f, 100.f}, 0.8, false, true, kSettings));
    // Where the targets interact, 10 px cost a coasting target half a sigma; away from them
    // its claim rests on its prediction, and 10 px are five spreads.
    EXPECT_NEAR(pairCost(unsure, {110.f, 100.f}, 1.0, false, true, kSettings), 0.125 + std::log(10.0), 1e-6);
    EXPECT_NEAR(pairCost(unsure, {110.f, 100.f}, 1.0, false, false, kSettings), 12.5 + std::log(10.0), 1e-6);
    EXPECT_NEAR(shadeLikeness(45.f, 45.f), 1.0, 1e-12);
    EXPECT_LT(shadeLikeness(45.f, 128.f), 0.1);
}

struct AssignCase {
    const char* name;
    std::vector<std::vector<double>> cost;
    std::vector<int> candidateOf;
    int candidates;
    std::vector<OwnershipDecision> expected;
};

class ArbitrationAssign : public ::testing::TestWithParam<AssignCase> {};

TEST_P(ArbitrationAssign, DecisionsPerTarget) {
    const AssignCase& c = GetParam();
    std::vector<int32_t> ids;
    for (std::size_t i = 0; i < c.candidateOf.size(); ++i) ids.push_back(static_cast<int32_t>(i + 1));
    std::vector<OwnershipDecision> d;
    AssignmentScratch scratch;
    assignCandidates(c.cost, c.candidateOf, c.candidates, ids, kSettings, d, scratch);
    ASSERT_EQ(d.size(), c.expected.size());
    for (std::size_t i = 0; i < d.size(); ++i) {
        EXPECT_EQ(d[i].owns, c.expected[i].owns) << c.name << " target " << i + 1;
        EXPECT_EQ(d[i].ambiguous, c.expected[i].ambiguous) << c.name << " target " << i + 1;
        EXPECT_EQ(d[i].ownerId, c.expected[i].ownerId) << c.name << " target " << i + 1;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArbitrationAssign,
    ::testing::Values(
        // Two targets each on its own find, the swap far dearer: both own.
        AssignCase{"apart", {{0.5, 6.0}, {7.0, 0.4}}, {0, 1}, 2, {{true, false, 1}, {true, false, 2}}},
        // One shared find, clearly cheaper for target 2: it owns, target 1 is held by it.
        AssignCase{"shared-clear", {{3.0}, {0.5}}, {0, 0}, 1, {{false, false, 2}, {true, false, 2}}},
        // One shared find, nearly as cheap for both: ambiguous, nobody owns.
        AssignCase{"shared-close", {{0.9}, {0.5}}, {0, 0}, 1, {{false, true, 2}, {false, true, 2}}},
        // Two finds whose swap costs little more: both ambiguous.
        AssignCase{"swap-close", {{0.5, 0.8}, {0.9, 0.6}}, {0, 1}, 2, {{false, true, 1}, {false, true, 2}}},
        // Target 2 lost its find, target 1's lies in 2's gate but costs 2 far more: 1 owns.
        AssignCase{"lost-neighbour", {{0.5}, {4.0}}, {0, -1}, 1, {{true, false, 1}, {false, false, 0}}},
        // A rival that would pay a little more than the margin does not make the find
        // ambiguous (how much the owner looks like itself is already in its cost).
        AssignCase{"rival-beyond-margin", {{0.5}, {2.0}}, {0, -1}, 1, {{true, false, 1}, {false, false, 0}}},
        // Alone in nobody else's gate: owns even at a high cost.
        AssignCase{"alone", {{30.0}, {kInf}}, {0, -1}, 1, {{true, false, 1}, {false, false, 0}}}),
    [](const ::testing::TestParamInfo<AssignCase>& info) {
        std::string n = info.param.name;
        for (char& ch : n)
            if (ch == '-') ch = '_';
        return n;
    });

TEST(ArbitrationAssign, CandidatesGroupProposalsOfOneObjectOnly) {
    // 1 and 2 on one object (IoU 0.8); 3 a separate object 12 px away; 4 lost.
    std::vector<TargetOutcome> o = {outcome(1, 0, 0, 10, 10, TrackState::kConfirmed, 0.9f, 0.9f),
                                    outcome(2, 1, 0, 10, 10, TrackState::kConfirmed, 0.9f, 0.9f),
                                    outcome(3, 12, 0, 10, 10, TrackState::kConfirmed, 0.9f, 0.9f),
                                    outcome(4, 0, 0, 10, 10, TrackState::kLost, 0.9f, 0.9f)};
    std::vector<int> of, stack;
    EXPECT_EQ(groupCandidates(o, kSettings, of, stack), 2);
    EXPECT_EQ(of, (std::vector<int>{0, 0, 1, -1}));
}

TEST(ArbitrationSize, AspectStepAndScaleLimits) {
    TrackerParams params;  // step 1.1, scale 0.25 .. 4
    auto sl = slots(1);
    TargetSlot& s = sl[0];
    s.initialSize = cv::Size(20, 10);  // aspect 2, area 200 (scale cap raised to 5)
    s.snapshot.w = s.snapshot.h = 0;   // no per-frame step
    cv::Size2f r = limitMeasuredSize(40, 10, s, kSettings, params);
    EXPECT_NEAR(r.width, 10 * 1.35 * 2.0, 1e-4);  // too wide: width follows the height
    EXPECT_NEAR(r.height, 10, 1e-6);
    r = limitMeasuredSize(10, 20, s, kSettings, params);
    EXPECT_NEAR(r.width, 10, 1e-6);
    EXPECT_NEAR(r.height, 10 / (2.0 / 1.35), 1e-4);       // too tall: height follows the width
    r = limitMeasuredSize(24, 11, s, kSettings, params);  // within the aspect band: untouched
    EXPECT_NEAR(r.width, 24, 1e-6);
    EXPECT_NEAR(r.height, 11, 1e-6);

    s.snapshot.w = 20;
    s.snapshot.h = 10;
    r = limitMeasuredSize(26, 14, s, kSettings, params);  // at most 10 % per frame
    EXPECT_NEAR(r.width, 22, 1e-4);
    EXPECT_NEAR(r.height, 11, 1e-4);
    r = limitMeasuredSize(14, 7, s, kSettings, params);
    EXPECT_NEAR(r.width, 20 / 1.1, 1e-4);
    EXPECT_NEAR(r.height, 10 / 1.1, 1e-4);

    s.initialSize = cv::Size(50, 50);  // area above 1200: the profile's cap, 4
    s.snapshot.w = s.snapshot.h = 0;
    r = limitMeasuredSize(300, 300, s, kSettings, params);
    EXPECT_NEAR(r.width, 200, 1e-4);
    EXPECT_NEAR(r.height, 200, 1e-4);
}

OwnershipCell cell(cv::Point2f own, std::vector<cv::Point2f> neighbours, cv::Size2f size = {20, 20},
                   cv::Point2f measured = {-1, -1}, int fw = 640, int fh = 480) {
    if (measured.x < 0) measured = own;
    return ownershipCell(size, measured, own, neighbours, fw, fh, cv::Size(20, 20), kSettings, TrackerParams());
}

TEST(ArbitrationCell, NeighbourToTheRightClipsTheWidth) {
    const OwnershipCell c = cell({100, 100}, {{116, 100}});
    ASSERT_TRUE(c.valid);
    EXPECT_TRUE(c.clipped);
    EXPECT_NEAR(c.box.width, 14, 1e-5);
    EXPECT_NEAR(c.box.height, 20, 1e-5);
    EXPECT_NEAR(c.box.x, 93, 1e-5);
    EXPECT_NEAR(c.box.y, 90, 1e-5);
    // Mirrored: a neighbour to the left clips the other side.
    const OwnershipCell left = cell({100, 100}, {{84, 100}});
    ASSERT_TRUE(left.valid);
    EXPECT_NEAR(left.box.x, 93, 1e-5);
    EXPECT_NEAR(left.box.width, 14, 1e-5);
}

TEST(ArbitrationCell, MostlyVerticalNeighbourLimitsOnlyTheHeight) {
    const OwnershipCell c = cell({100, 100}, {{105, 116}});
    ASSERT_TRUE(c.valid);
    EXPECT_NEAR(c.box.width, 20, 1e-5);
    EXPECT_NEAR(c.box.height, 2 * (108 - 1 - 100), 1e-5);
    EXPECT_TRUE(c.clipped);
    // A far neighbour and the frame leave the full size: valid and not clipped.
    const OwnershipCell free = cell({100, 100}, {{400, 100}, {std::nanf(""), 100}});
    ASSERT_TRUE(free.valid);
    EXPECT_FALSE(free.clipped);
    EXPECT_NEAR(free.box.width, 20, 1e-5);
}

TEST(ArbitrationCell, NoCellWhenThereIsNoOwnSpace) {
    EXPECT_FALSE(cell({100, 100}, {{100.005f, 99.995f}}).valid);  // coincident neighbour
    EXPECT_FALSE(cell({100, 100}, {{108, 100}}).valid);           // 2 * 3 = 6 px < 0.45 * 20
    EXPECT_FALSE(cell({100, 100}, {{103, 100}}).valid);           // under 2 px wide
    EXPECT_FALSE(cell({100, 100}, {}, {std::nanf(""), 20}).valid);
    EXPECT_FALSE(cell({100, 100}, {}, {0, 20}).valid);
    EXPECT_FALSE(cell({100, 100}, {}, {20, 20}, {std::numeric_limits<float>::infinity(), 100}).valid);
    EXPECT_FALSE(cell({100, 100}, {}, {20, 20}, {100, 100}, 0, 480).valid);
}

TEST(ArbitrationCell, CentreFollowsTheMeasurementWithinLimitsAndFrame) {
    // Measured 30 px right of the own centre: the offset is capped at max(20 * 0.75, 6) = 15,
    // then at half the width less the gap (9).
    const OwnershipCell c = cell({100, 100}, {}, {20, 20}, {130, 100});
    ASSERT_TRUE(c.valid);
    EXPECT_NEAR(c.box.x + c.box.width / 2, 109, 1e-4);
    EXPECT_NEAR(c.box.y + c.box.height / 2, 100, 1e-4);
    // Near the frame's left edge the cell is held inside the frame.
    const OwnershipCell edge = cell({6, 100}, {});
    ASSERT_TRUE(edge.valid);
    EXPECT_NEAR(edge.box.x, 0, 1e-5);
    EXPECT_NEAR(edge.box.width, 12, 1e-5);
}

// ---------------------------------------------------------------- tracker checks that need no engine

TEST(MultiTrackerChecks, RefusesEmptyInputsAndUpdateBeforeTargets) {
    MultiTracker mt{TrackerParams()};
    const cv::Mat frame(48, 64, CV_8UC1, cv::Scalar(0));
    auto message = [](auto&& fn) {
        try {
            fn();
        } catch (const std::invalid_argument& e) {
            return std::string("invalid:") + e.what();
        } catch (const std::runtime_error& e) {
            return std::string("runtime:") + e.what();
        }
        return std::string("no error");
    };
    EXPECT_EQ(message([&] { mt.update(frame, frame, 0.04); }), "runtime:call initialize() before update()");
    EXPECT_EQ(message([&] { mt.lock(cv::Mat(), frame, {cv::Rect(1, 1, 4, 4)}); }), "invalid:frame must not be empty");
    EXPECT_EQ(message([&] { mt.lock(frame, cv::Mat(), {cv::Rect(1, 1, 4, 4)}); }),
              "invalid:gray frame must not be empty");
    EXPECT_EQ(message([&] { mt.lock(frame, frame, {}); }), "invalid:MultiTracker requires at least one target bbox");
    EXPECT_EQ(message([&] { mt.lock(frame, frame, {cv::Rect(1, 1, 0, 4)}); }),
              "invalid:target bbox width and height must be positive");
    EXPECT_EQ(mt.size(), 0u);
}

using test::skyWithBlobs;

TEST(MultiTrackerChecks, LockSeedsSlotsAndAFailedRelockKeepsThem) {
    MultiTracker mt{trackerParamsForProfile("default")};
    const cv::Mat frame = skyWithBlobs({{40, 40}, {120, 80}, {80, 100}});
    mt.lock(frame, frame, {cv::Rect(33, 33, 14, 14), cv::Rect(113, 73, 14, 14), cv::Rect(73, 93, 14, 14)});
    ASSERT_EQ(mt.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        const TargetSlot& s = mt.targets()[k];
        EXPECT_EQ(s.id, static_cast<int32_t>(k + 1));
        EXPECT_TRUE(s.hasSnapshot);
        EXPECT_EQ(s.snapshot.targetId, s.id);
        EXPECT_EQ(s.initialSize, cv::Size(14, 14));
        EXPECT_EQ(s.phase, TargetPhase::kTentative);
        ASSERT_TRUE(s.engine && s.engine->initialized());
        EXPECT_TRUE(s.engine->config().cue_geometry_update);  // the profile's value with several boxes
    }
    EXPECT_EQ(mt.targets()[1].observedCenter, cv::Point2f(120.f, 80.f));
    EXPECT_NEAR(mt.targets()[2].seedShade, 40.f, 1e-3);  // the blob's core

    const TargetEngine* before[3] = {mt.targets()[0].engine.get(), mt.targets()[1].engine.get(),
                                     mt.targets()[2].engine.get()};
    // Refused after the first box was seeded (by the engine) and before anything (empty list).
    EXPECT_THROW(mt.lock(frame, frame, {cv::Rect(33, 33, 14, 14), cv::Rect(500, 500, 10, 10)}), std::invalid_argument);
    EXPECT_THROW(mt.lock(frame, frame, {cv::Rect(33, 33, 14, 14), cv::Rect(5, 5, 8, 0)}), std::invalid_argument);
    EXPECT_THROW(mt.lock(frame, frame, {}), std::invalid_argument);
    ASSERT_EQ(mt.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(mt.targets()[k].engine.get(), before[k]);
    const auto results = mt.update(frame, frame, 0.04);
    ASSERT_EQ(results.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(results[k].step.targetId, static_cast<int32_t>(k + 1));

    // A lone target keeps its box size: its engine runs without geometry updates.
    mt.lock(frame, frame, {cv::Rect(113, 73, 14, 14)});
    ASSERT_EQ(mt.size(), 1u);
    EXPECT_EQ(mt.targets()[0].id, 1);
    EXPECT_FALSE(mt.targets()[0].engine->config().cue_geometry_update);
}

}  // namespace
