#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/reasons.hpp"
#include "multi/arbitration.hpp"
#include "multi/multi_tracker.hpp"

using namespace molvane;

namespace {

// Ownership score of a hand-made outcome without snapshot: 0.65 a + confidence + state bonus
// (0.2 confirmed, 0.05 tentative) + 0.005 min(hits, 10) - 0.05 misses.
TargetOutcome outcome(int32_t id, float x, float y, float w, float h, int32_t state, float confidence,
                      float anchor, int32_t hits = 0, int32_t misses = 0, Reason why = Reason::kTemplate) {
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
        s[i].lastState = kConfirmed;
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

TEST(ArbitrationAssociate, IouPairIsOneObservationOwnedByTheStrongerClaimant) {
    // 20 x 20 boxes shifted by 20 * (1 - 1.4 / 1.7) px overlap with IoU 0.7.
    const float shift = 20.f * (1.f - 1.4f / 1.7f);
    std::vector<TargetOutcome> o{outcome(1, 100, 100, 20, 20, kConfirmed, 0.18f, 0.8f),
                                 outcome(2, 100 + shift, 100, 20, 20, kTentative, 0.125f, 0.5f)};
    auto sl = slots(2);
    ASSERT_NEAR(boxIou(o[0].box(), o[1].box()), 0.7, 1e-5);
    EXPECT_NEAR(ownershipScore(o[0], sl[0], kSettings), 0.9, 1e-6);
    EXPECT_NEAR(ownershipScore(o[1], sl[1], kSettings), 0.5, 1e-6);

    // Clustering by IoU alone, with the distance criteria switched off.
    MultiTargetSettings iouOnly = kSettings;
    iouOnly.cluster_max_distance = 0;
    iouOnly.cluster_size_factor = 0;
    for (const MultiTargetSettings& s : {kSettings, iouOnly}) {
        const auto d = associate(o, sl, s);
        ASSERT_EQ(d.size(), 2u);
        EXPECT_TRUE(d[0].owns);
        EXPECT_FALSE(d[0].ambiguous);
        EXPECT_EQ(d[0].ownerId, 1);
        EXPECT_FALSE(d[1].owns);
        EXPECT_FALSE(d[1].ambiguous);
        EXPECT_EQ(d[1].ownerId, 1);
    }
    // Below the IoU bar the two are separate observations and both own.
    iouOnly.cluster_min_iou = 0.75;
    const auto apart = associate(o, sl, iouOnly);
    EXPECT_TRUE(apart[0].owns && apart[1].owns);
    EXPECT_EQ(apart[1].ownerId, 2);
}

struct AmbiguityCase {
    const char* name;
    float conf1, anchor1;  // the better-ranked claimant (slot 2)
    float conf2, anchor2;  // the weaker one (slot 1)
};

class ArbitrationAmbiguity : public ::testing::TestWithParam<AmbiguityCase> {};

TEST_P(ArbitrationAmbiguity, NobodyOwnsAndBothNameTheBetterOne) {
    const AmbiguityCase& c = GetParam();
    // The better claimant sits in the second slot, so the owner id is not just slot order.
    std::vector<TargetOutcome> o{outcome(1, 50, 50, 20, 20, kConfirmed, c.conf2, c.anchor2),
                                 outcome(2, 52, 50, 20, 20, kConfirmed, c.conf1, c.anchor1)};
    auto sl = slots(2);
    ASSERT_GT(ownershipScore(o[1], sl[1], kSettings), ownershipScore(o[0], sl[0], kSettings));
    const auto d = associate(o, sl, kSettings);
    for (const OwnershipDecision& x : d) {
        EXPECT_FALSE(x.owns);
        EXPECT_TRUE(x.ambiguous);
        EXPECT_EQ(x.ownerId, 2);
    }
}

INSTANTIATE_TEST_SUITE_P(
    ArbitrationSuite, ArbitrationAmbiguity,
    ::testing::Values(
        // scores 0.80 vs 0.75 (margin 0.05 < 0.12), appearances well apart
        AmbiguityCase{"score_margin", 0.08f, 0.8f, 0.225f, 0.5f},
        // best appearance 0.4 below 0.45, scores well apart
        AmbiguityCase{"weak_best_appearance", 0.9f, 0.4f, 0.1f, 0.1f},
        // appearances 0.8 vs 0.75 (margin 0.05 < 0.1), scores well apart
        AmbiguityCase{"appearance_margin", 0.9f, 0.8f, 0.1f, 0.75f}),
    [](const ::testing::TestParamInfo<AmbiguityCase>& info) { return std::string(info.param.name); });

TEST(ArbitrationAssociate, ChainOfCloseNeighboursIsOneObservation) {
    // A-B and B-C 15 px apart (within 18), A-C 30 px apart.
    std::vector<TargetOutcome> o{outcome(1, 0, 0, 10, 10, kConfirmed, 0.3f, 0.3f),
                                 outcome(2, 15, 0, 10, 10, kConfirmed, 0.9f, 0.9f),
                                 outcome(3, 30, 0, 10, 10, kConfirmed, 0.3f, 0.3f)};
    auto sl = slots(3);
    const auto d = associate(o, sl, kSettings);
    EXPECT_FALSE(d[0].owns);
    EXPECT_TRUE(d[1].owns);
    EXPECT_FALSE(d[2].owns);
    for (const auto& x : d) {
        EXPECT_FALSE(x.ambiguous);
        EXPECT_EQ(x.ownerId, 2);
    }
    // Without B the ends are separate observations, each owned by its own target.
    o[1].step.state = kLost;
    const auto split = associate(o, sl, kSettings);
    EXPECT_TRUE(split[0].owns);
    EXPECT_EQ(split[0].ownerId, 1);
    EXPECT_TRUE(split[2].owns);
    EXPECT_EQ(split[2].ownerId, 3);
}

TEST(ArbitrationAssociate, IneligibleOutcomesTakeNoPart) {
    // A lost, a suppressed and an empty-box outcome on top of a confirmed one.
    std::vector<TargetOutcome> o{outcome(1, 40, 40, 12, 12, kLost, 0.9f, 0.9f),
                                 outcome(2, 40, 40, 12, 12, kConfirmed, 0.1f, 0.5f),
                                 outcome(3, 40, 40, 12, 12, kConfirmed, 0.9f, 0.9f),
                                 outcome(4, 40, 40, 0, 12, kConfirmed, 0.9f, 0.9f)};
    o[2].report.suppressed = true;
    auto sl = slots(4);
    const auto d = associate(o, sl, kSettings);
    for (int i : {0, 2, 3}) {
        EXPECT_FALSE(d[i].owns);
        EXPECT_FALSE(d[i].ambiguous);
        EXPECT_EQ(d[i].ownerId, 0);
    }
    EXPECT_TRUE(d[1].owns);  // alone in its observation, however weak
    EXPECT_EQ(d[1].ownerId, 2);
}

TEST(ArbitrationAssociate, LoneTargetsOwnAlongsideAContest) {
    std::vector<TargetOutcome> o{outcome(1, 0, 0, 10, 10, kLost, 0, 0, 0, 40),
                                 outcome(2, 100, 100, 10, 10, kConfirmed, 0.2f, 0.9f),
                                 outcome(3, 300, 300, 10, 10, kTentative, 0.0f, 0.0f, 0, 30),
                                 outcome(4, 102, 100, 10, 10, kConfirmed, 0.9f, 0.9f)};
    o[1].report.anchor_appearance = 0.5f;
    auto sl = slots(4);
    const auto d = associate(o, sl, kSettings);
    EXPECT_FALSE(d[0].owns);
    EXPECT_FALSE(d[1].owns);
    EXPECT_EQ(d[1].ownerId, 4);
    EXPECT_TRUE(d[2].owns);  // a very negative score still owns a lone observation
    EXPECT_TRUE(d[3].owns);
}

TEST(ArbitrationAssociate, CostFloorTieNeverNamesANonOwnerAsItsOwnOwner) {
    // Both scores fall to the 0.001 cost floor, so the solver may give the observation to
    // either claimant while the ranking still prefers the first.
    std::vector<TargetOutcome> o{outcome(1, 60, 60, 10, 10, kTentative, 0.0f, 0.8f, 0, 12),
                                 outcome(2, 62, 60, 10, 10, kTentative, 0.0f, 0.5f, 0, 12)};
    auto sl = slots(2);
    const double s1 = ownershipScore(o[0], sl[0], kSettings), s2 = ownershipScore(o[1], sl[1], kSettings);
    ASSERT_LE(s1, 0.001);
    ASSERT_GE(s1 - s2, kSettings.ambiguity_min_score_margin);
    const auto d = associate(o, sl, kSettings);
    ASSERT_NE(d[0].owns, d[1].owns) << "exactly one claimant owns";
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_FALSE(d[i].ambiguous);
        if (!d[i].owns) {
            EXPECT_NE(d[i].ownerId, o[i].id());
        }
        const std::size_t owner = d[0].owns ? 0 : 1;
        EXPECT_EQ(d[i].ownerId, o[owner].id());
    }
}

TEST(ArbitrationAssociate, NonFiniteScoresRankLast) {
    std::vector<TargetOutcome> o{outcome(1, 60, 60, 10, 10, kConfirmed, std::nanf(""), 0.2f),
                                 outcome(2, 61, 60, 10, 10, kConfirmed, 0.8f, 0.9f)};
    auto sl = slots(2);
    std::vector<OwnershipDecision> d;
    ASSERT_NO_THROW(d = associate(o, sl, kSettings));
    EXPECT_FALSE(d[0].owns);
    EXPECT_TRUE(d[1].owns);
    EXPECT_EQ(d[0].ownerId, 2);
}

TEST(ArbitrationScore, ContinuityReacquireAndHistoryTerms) {
    auto sl = slots(1);
    sl[0].hasSnapshot = true;
    sl[0].snapshot.x = 0;
    sl[0].snapshot.y = 0;
    sl[0].snapshot.w = 10;
    sl[0].snapshot.h = 10;  // n = 12, snapshot centre (5, 5)
    const TargetOutcome base = outcome(1, 0, 0, 10, 10, kTentative, 0.5f, 0.0f);
    const double atSnapshot = ownershipScore(base, sl[0], kSettings);
    EXPECT_NEAR(atSnapshot, 0.5 + 0.05 + 0.25, 1e-6);

    TargetOutcome edge = base;  // exactly 1.25 n = 15 px away: still continuous
    edge.step.x = 15;
    EXPECT_NEAR(ownershipScore(edge, sl[0], kSettings), atSnapshot, 1e-6);
    edge.step.x = 15.01f;  // just beyond: loses 0.12 * d / n instead
    EXPECT_NEAR(ownershipScore(edge, sl[0], kSettings), 0.55 - 0.12 * 15.01 / 12.0, 1e-5);
    edge.step.x = 500;  // far away: the loss is capped at 0.6
    EXPECT_NEAR(ownershipScore(edge, sl[0], kSettings), 0.55 - 0.6, 1e-6);

    TargetOutcome reacq = base;
    reacq.scores.reason = Reason::kReacquireWide;
    reacq.step.hits = 25;  // counts as 10
    reacq.step.misses = 2;
    EXPECT_NEAR(ownershipScore(reacq, sl[0], kSettings), atSnapshot - 0.1 + 0.05 - 0.1, 1e-6);
}

// ---------------------------------------------------------------- measurement proximity

TEST(ArbitrationProximity, NearestOtherAmbiguousAndOwnPrediction) {
    auto sl = slots(2);
    const std::vector<cv::Point2f> predicted{{100, 100}, {120, 100}};
    const std::vector<cv::Rect2f> predictedBoxes{{90, 90, 20, 20}, {110, 90, 20, 20}};
    auto run = [&](float mx) {
        std::vector<TargetOutcome> o{outcome(1, mx - 10, 90, 20, 20, kConfirmed, 0.9f, 0.9f),
                                     outcome(2, 300, 300, 20, 20, kConfirmed, 0.9f, 0.9f)};
        const std::vector<cv::Point2f> measured{{mx, 100}, {310, 310}};
        return measureProximity(o, measured, predicted, predictedBoxes, sl, kSettings);
    };
    const auto onOther = run(119.f);  // d_own 19 > d_other 1 + 3
    EXPECT_EQ(onOther[0].nearestOtherId, 2);
    EXPECT_FALSE(onOther[0].distanceAmbiguous);
    EXPECT_TRUE(onOther[0].predictionOverlap);
    EXPECT_TRUE(onOther[0].nearOwnPrediction);  // radius max(6, 36, 15) = 36

    const auto between = run(110.f);  // 10 vs 10
    EXPECT_EQ(between[0].nearestOtherId, 0);
    EXPECT_TRUE(between[0].distanceAmbiguous);

    const auto onOwn = run(101.f);  // 1 vs 19
    EXPECT_EQ(onOwn[0].nearestOtherId, 0);
    EXPECT_FALSE(onOwn[0].distanceAmbiguous);

    // A neighbour that is lost now and was lost before is ignored altogether.
    sl[1].lastState = kLost;
    std::vector<TargetOutcome> o{outcome(1, 109, 90, 20, 20, kConfirmed, 0.9f, 0.9f),
                                 outcome(2, 300, 300, 20, 20, kLost, 0, 0)};
    const auto ignored =
        measureProximity(o, {{119, 100}, {310, 310}}, predicted, predictedBoxes, sl, kSettings);
    EXPECT_EQ(ignored[0].nearestOtherId, 0);
    EXPECT_FALSE(ignored[0].predictionOverlap);
    EXPECT_FALSE(ignored[1].nearOwnPrediction);  // not eligible: left all-zero
}

// ---------------------------------------------------------------- size limits and cells

TEST(ArbitrationSize, AspectStepAndScaleLimits) {
    TrackerParams params;  // step 1.1, scale 0.4 .. 1.8
    auto sl = slots(1);
    TargetSlot& s = sl[0];
    s.initialSize = cv::Size(20, 10);  // aspect 2, area 200 (scale cap raised to 5)
    s.snapshot.w = s.snapshot.h = 0;   // no per-frame step
    cv::Size2f r = limitMeasuredSize(40, 10, s, kSettings, params);
    EXPECT_NEAR(r.width, 10 * 1.35 * 2.0, 1e-4);  // too wide: width follows the height
    EXPECT_NEAR(r.height, 10, 1e-6);
    r = limitMeasuredSize(10, 20, s, kSettings, params);
    EXPECT_NEAR(r.width, 10, 1e-6);
    EXPECT_NEAR(r.height, 10 / (2.0 / 1.35), 1e-4);  // too tall: height follows the width
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

    s.initialSize = cv::Size(50, 50);  // area above 1200: cap max_size_scale (4)
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

cv::Mat skyWithBlobs(const std::vector<cv::Point>& centres) {
    cv::Mat img(120, 160, CV_8UC1);
    cv::randu(img, cv::Scalar(170), cv::Scalar(180));
    for (const cv::Point& c : centres) img(cv::Rect(c.x - 5, c.y - 5, 10, 10)).setTo(cv::Scalar(40));
    return img;
}

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
        EXPECT_EQ(s.lastState, kTentative);
        ASSERT_TRUE(s.engine && s.engine->initialized());
        EXPECT_TRUE(s.engine->config().cue_geometry_update);  // the profile's value with several boxes
    }
    EXPECT_FLOAT_EQ(mt.targets()[1].motionCenter.x, 120.f);
    EXPECT_FLOAT_EQ(mt.targets()[1].motionCenter.y, 80.f);

    const TemplateTracker* before[3] = {mt.targets()[0].engine.get(), mt.targets()[1].engine.get(),
                                        mt.targets()[2].engine.get()};
    // Refused after the first box was seeded (by the engine) and before anything (empty list).
    EXPECT_THROW(mt.lock(frame, frame, {cv::Rect(33, 33, 14, 14), cv::Rect(500, 500, 10, 10)}),
                 std::invalid_argument);
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

// Two identical drones fly head-on at 3 px per frame, meet, and are then gone from view.
// The ambiguous meeting puts both on course: each prediction flies on at its own speed,
// without decay, for exactly `ambiguity_course_frames` updates, then decays as before.
TEST(MultiTrackerCourse, AmbiguousPassKeepsEachCourseForABoundedNumberOfFrames) {
    MultiTracker mt{trackerParamsForProfile("close-pass")};
    const double dt = 1.0 / 30.0;
    auto centres = [](int t) { return std::vector<cv::Point>{{35 + 3 * t, 60}, {125 - 3 * t, 60}}; };
    const cv::Mat first = skyWithBlobs(centres(0));
    mt.lock(first, first, {cv::Rect(28, 53, 14, 14), cv::Rect(118, 53, 14, 14)});
    int started = -1;
    for (int t = 1; t < 120 && started < 0; ++t) {
        const cv::Mat frame = skyWithBlobs(t <= 15 ? centres(t) : std::vector<cv::Point>{});
        mt.update(frame, frame, dt);
        if (mt.targets()[0].course.hold > 0 && mt.targets()[1].course.hold > 0) started = t;
    }
    ASSERT_GT(started, 0) << "the meeting never became ambiguous";
    const int hold = mt.settings().ambiguity_course_frames;
    const cv::Mat empty = skyWithBlobs({});
    cv::Point2f centre[2] = {mt.targets()[0].motionCenter, mt.targets()[1].motionCenter};
    for (int k = 1; k < hold; ++k) {
        mt.update(empty, empty, dt);
        for (std::size_t i = 0; i < 2; ++i) {
            const TargetSlot& s = mt.targets()[i];
            EXPECT_EQ(s.course.hold, hold - 1 - k) << k;
            EXPECT_EQ(s.motionVelocity, s.course.velocity);
            EXPECT_NEAR(std::fabs(s.course.velocity.x), 90.f, 20.f);  // 3 px per frame
            EXPECT_NEAR(s.motionCenter.x - centre[i].x, s.course.velocity.x * dt, 1e-3) << k;
            centre[i] = s.motionCenter;
        }
    }
    // Heading apart: the first drone came from the left, the second from the right.
    EXPECT_GT(mt.targets()[0].course.velocity.x, 0.f);
    EXPECT_LT(mt.targets()[1].course.velocity.x, 0.f);
    const float v0 = mt.targets()[0].motionVelocity.x;
    mt.update(empty, empty, dt);
    EXPECT_EQ(mt.targets()[0].course.hold, 0);
    EXPECT_NEAR(mt.targets()[0].motionVelocity.x, 0.9f * v0, 1e-3);
}

}  // namespace
