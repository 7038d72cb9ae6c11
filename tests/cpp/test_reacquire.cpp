#include <gtest/gtest.h>

#include <vector>

#include <opencv2/imgproc.hpp>

#include "config/tracker_params.hpp"
#include "engine/reacquisition.hpp"
#include "core/reasons.hpp"
#include "engine/target_engine.hpp"
#include "engine_probe.hpp"
#include "sky_scene.hpp"

namespace molvane {
namespace {

// Miss numbers 1..40 on which a search of the given kind runs.
std::vector<long long> schedule(long long seedArea, const TrackerParams& p, ReacquireSearch kind) {
    std::vector<long long> out;
    for (long long n = 1; n <= 40; ++n) {
        if (scheduledReacquireSearch(n, seedArea, p) == kind) out.push_back(n);
    }
    return out;
}

using Misses = std::vector<long long>;

}  // namespace

TEST(ReacquireSchedule, DefaultProfileCadences) {
    const TrackerParams p = trackerParamsForProfile("default");
    // Outside the full-search band: the wide search every third miss, forever.
    for (long long area : {1000LL, 1499LL, 4501LL}) {
        EXPECT_EQ(schedule(area, p, ReacquireSearch::Wide), (Misses{3, 6, 9, 12, 15, 18, 21, 24, 27, 30, 33, 36, 39}));
        EXPECT_TRUE(schedule(area, p, ReacquireSearch::Full).empty());
    }
    // Inside it: wide on 3, 6, 9; from the 10th miss on only the full search, every 12th.
    for (long long area : {1500LL, 2000LL, 4500LL}) {
        EXPECT_EQ(schedule(area, p, ReacquireSearch::Wide), (Misses{3, 6, 9}));
        EXPECT_EQ(schedule(area, p, ReacquireSearch::Full), (Misses{10, 22, 34}));
    }
}

TEST(ReacquireSchedule, ZeroSettingsDisableASearch) {
    TrackerParams p = trackerParamsForProfile("default");
    p.full_search_after_misses = 0;  // the wide search then keeps its cadence
    EXPECT_EQ(schedule(2000, p, ReacquireSearch::Wide).size(), 13u);
    EXPECT_TRUE(schedule(2000, p, ReacquireSearch::Full).empty());

    p = trackerParamsForProfile("default");
    p.wide_search_interval = 0;
    EXPECT_TRUE(schedule(1000, p, ReacquireSearch::Wide).empty());
    p.full_search_interval = 0;  // eligible but never on cadence: no search at all
    EXPECT_TRUE(schedule(2000, p, ReacquireSearch::Full).empty());
    EXPECT_TRUE(schedule(2000, p, ReacquireSearch::Wide).empty());

    const TrackerParams base = trackerParamsForProfile("fast-sky");  // no size band, every 2nd from 8
    EXPECT_EQ(schedule(1, base, ReacquireSearch::Full),
              (Misses{8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30, 32, 34, 36, 38, 40}));
    EXPECT_EQ(schedule(1, base, ReacquireSearch::Wide), (Misses{3, 4, 5, 6, 7}));
}

TEST(WideSearchRadius, ShrinksToTheLargestRadiusWithinTheAreaLimit) {
    const int W = 640, H = 480;
    const cv::Rect box(300, 220, 40, 40);
    auto area = [&](int r) {
        const cv::Rect g = cv::Rect(box.x - r, box.y - r, box.width + 2 * r, box.height + 2 * r) & cv::Rect(0, 0, W, H);
        return static_cast<long long>(g.area());
    };
    EXPECT_EQ(wideSearchRadius(box, 360, 0, W, H), 360);       // no limit
    EXPECT_EQ(wideSearchRadius(box, 360, 420000, W, H), 360);  // the whole frame fits
    EXPECT_EQ(wideSearchRadius(box, 0, 100, W, H), 0);
    for (long long limit : {1600LL, 1601LL, 10000LL, 57600LL, 100000LL, 307199LL}) {
        const int r = wideSearchRadius(box, 360, limit, W, H);
        EXPECT_LE(area(r), limit) << limit;
        EXPECT_GT(area(r + 1), limit) << limit;
    }
    // Even the unexpanded box exceeds the limit.
    EXPECT_EQ(wideSearchRadius(box, 360, 1599, W, H), 0);
    EXPECT_EQ(wideSearchRadius(box, 1, 10, W, H), 0);
}

TEST(WideSearchRadius, AreasBeyondThirtyTwoBitsAreExact) {
    const int W = 100000, H = 100000;  // 10^10 pixels
    const cv::Rect box(50000, 50000, 10, 10);
    const int r = wideSearchRadius(box, 60000, 5000000000LL, W, H);
    // (10 + 2r)^2 <= 5e9 while the region is not clipped: r = 35350
    EXPECT_EQ(r, 35350);
    EXPECT_EQ(wideSearchRadius(box, 2147483647, 4000000000LL, W, H), 31617);
}

// ---------------------------------------------------------------------------------------
// Engine-level reacquisition

namespace {

using test::skyWithTarget;

struct LostTarget {
    TargetEngine engine;
    TargetEngineProbe probe{engine};
    cv::Size size;
    cv::Mat seed;

    LostTarget(const TrackerParams& params, cv::Size targetSize) : engine(params), size(targetSize) {
        const cv::Point at(150, 150);
        seed = skyWithTarget(at, size);
        engine.initialize(seed, seed, cv::Rect(at.x - size.width / 2, at.y - size.height / 2, size.width, size.height));
    }
    TrackStep missNumber(int n, const cv::Mat& grey) {
        probe.state().misses = n - 1;
        return probe.reacquireOrMiss(grey, grey, Reason::kLostLowConfidence, 1.0 / 30.0);
    }
};

}  // namespace

// Seed area 2000 with the default profile: the 10th miss searches the whole frame, the
// 11th to 21st do not search at all.
TEST(Reacquire, FullSearchFindsAFarTargetOnItsCadence) {
    LostTarget t(trackerParamsForProfile("default"), cv::Size(50, 40));
    ASSERT_EQ(t.engine.model().seedSize.area(), 2000);
    const cv::Mat grey = skyWithTarget({520, 380}, t.size);
    const int hitsBefore = t.engine.state().hits;

    for (int n = 11; n <= 21; ++n) {
        const TrackStep s = t.missNumber(n, grey);
        EXPECT_EQ(s.state, TrackState::kLost) << n;
        EXPECT_EQ(t.engine.reason(), Reason::kLostLowConfidence) << n;
    }

    const TrackStep s = t.missNumber(10, grey);
    EXPECT_EQ(s.state, TrackState::kTentative);  // two confirmations needed
    EXPECT_EQ(t.engine.reason(), Reason::kReacquireFull);
    EXPECT_EQ(t.engine.state().misses, 0);
    EXPECT_EQ(t.engine.state().hits, hitsBefore + 1);
    EXPECT_EQ(t.engine.state().confirmCount, 1);
    EXPECT_NEAR(t.engine.state().center.x, 520.f, 3.f);
    EXPECT_NEAR(t.engine.state().center.y, 380.f, 3.f);
    EXPECT_EQ(t.engine.state().velocity, cv::Point2f(0.f, 0.f));
    EXPECT_EQ(s.age, s.hits);
    EXPECT_EQ(cv::norm(t.probe.model().previousFrame, grey, cv::NORM_INF), 0.0);

    // A miss without a search ends the confirmation.
    t.missNumber(11, grey);
    EXPECT_EQ(t.engine.state().confirmCount, 0);
}

TEST(Reacquire, WideSearchAroundThePredictionConfirmsWithOneFrame) {
    TrackerParams p = trackerParamsForProfile("default");
    p.reacquire_confirm_frames = 1;
    LostTarget t(p, cv::Size(40, 25));  // 1000 px: outside the full-search band
    const cv::Mat grey = skyWithTarget({330, 230}, t.size);

    EXPECT_EQ(t.missNumber(2, grey).state, TrackState::kLost);
    t.probe.commits = false;  // a proposal leaves the previous frame to its commit
    const TrackStep s = t.missNumber(3, grey);
    EXPECT_EQ(s.state, TrackState::kConfirmed);
    EXPECT_EQ(t.engine.reason(), Reason::kReacquireWide);
    EXPECT_EQ(t.engine.state().confirmCount, 0);
    EXPECT_NEAR(t.engine.state().center.x, 330.f, 3.f);
    EXPECT_EQ(cv::norm(t.probe.model().previousFrame, t.seed, cv::NORM_INF), 0.0);
}

TEST(Reacquire, RefusedCandidatesEndInTheLostStep) {
    const cv::Mat grey = skyWithTarget({330, 230}, cv::Size(40, 25));
    {
        LostTarget t(trackerParamsForProfile("default"), cv::Size(40, 25));
        t.probe.inputs().blockedRegions = {cv::Rect2f(310.f, 217.f, 40.f, 25.f)};
        const TrackStep s = t.missNumber(3, grey);
        EXPECT_EQ(s.state, TrackState::kLost);
        EXPECT_EQ(t.engine.reason(), Reason::kLostLowConfidence);
        EXPECT_EQ(t.engine.state().misses, 3);
        EXPECT_EQ(t.engine.confidence(), 0.0);
    }
    {
        TrackerParams p = trackerParamsForProfile("default");
        p.reacquire_min_score = 1.01;
        LostTarget t(p, cv::Size(40, 25));
        EXPECT_EQ(t.missNumber(3, grey).state, TrackState::kLost);
        EXPECT_EQ(t.engine.reason(), Reason::kLostLowConfidence);
    }
    {
        TrackerParams p = trackerParamsForProfile("default");
        p.wide_search_interval = 0;
        LostTarget t(p, cv::Size(40, 25));
        EXPECT_EQ(t.missNumber(3, grey).state, TrackState::kLost);
    }
}

}  // namespace molvane
