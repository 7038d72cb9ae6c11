#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "config/tracker_params.hpp"
#include "core/reasons.hpp"
#include "engine/owned_region.hpp"
#include "engine/target_engine.hpp"
#include "cue_scenes.hpp"
#include "engine_probe.hpp"

namespace molvane {
namespace {

// A textured 640 x 480 scene with a distinct target at `box`.
cv::Mat texturedScene(const cv::Rect& box, unsigned seed = 3) {
    cv::RNG rng(seed);
    cv::Mat grey = test::blurredNoiseSky({640, 480}, 110, 10, 1.2, rng);
    cv::Mat t(box.size(), CV_8UC1);
    rng.fill(t, cv::RNG::UNIFORM, 60, 250);
    t.copyTo(grey(box));
    return grey;
}

// An engine set up by hand on `box`, with a uniform template and a trained bank.
struct LearningEngine {
    TargetEngine engine;
    TargetEngineProbe probe{engine};
    cv::Mat grey;

    explicit LearningEngine(const cv::Rect& box, TrackerParams params = trackerParamsForProfile("correlation"))
        : engine(params) {
        grey = texturedScene(box);
        probe.initialized() = true;
        probe.state().box = box;
        probe.state().center = {box.x + 0.5f * box.width, box.y + 0.5f * box.height};
        probe.model().seedSize = box.size();
        probe.model().templ = cv::Mat(box.size(), CV_8UC1, cv::Scalar(100));
        cv::resize(probe.model().templ, probe.model().halfTemplate, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
        probe.correlators().train(grey, box, 0);
    }

    static LearningRecord correlationRecord(double psr) {
        LearningRecord r;
        r.present = true;
        r.confirmed = true;
        r.positionUpdated = true;
        r.peakRatio = psr;
        r.source = Reason::kCorrelation;
        return r;
    }
    const cv::Mat& filter() { return probe.correlators().filter(probe.correlators().selectedIndex()).filter(); }
    void learn(const cv::Mat& frame, const LearningRecord& r) { probe.applyLearning(frame, grey, r); }
    void learn(const LearningRecord& r) { learn(grey, r); }
};

double maxDifference(const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_INF); }

}  // namespace

TEST(Learning, TemplateFollowsTheBoxSizeAndBlends) {
    const cv::Rect box(200, 150, 16, 12);
    LearningEngine e(box);
    e.grey(box).setTo(200);
    LearningRecord r;
    r.present = true;
    r.appearanceAllowed = true;
    e.learn(r);
    // 0.96 x 100 + 0.04 x 200
    EXPECT_EQ(e.probe.model().templ.at<uchar>(5, 5), 104);
    ASSERT_EQ(e.probe.model().halfTemplate.size(), cv::Size(8, 6));
    EXPECT_EQ(e.probe.model().halfTemplate.at<uchar>(2, 2), 104);

    // The box grew since seeding: the template is resampled to the new size, then blends.
    e.probe.state().box = cv::Rect(200, 150, 20, 14);
    e.learn(r);
    EXPECT_EQ(e.probe.model().templ.size(), cv::Size(20, 14));
    EXPECT_EQ(e.probe.model().templ.at<uchar>(5, 5), 108);  // 0.96 x 104 + 0.04 x 200
    EXPECT_EQ(e.probe.model().halfTemplate.size(), cv::Size(10, 7));

    // Not allowed: nothing blends or changes size.
    e.probe.state().box = box;
    r.appearanceAllowed = false;
    e.learn(r);
    EXPECT_EQ(e.probe.model().templ.size(), cv::Size(20, 14));
    EXPECT_EQ(e.probe.model().templ.at<uchar>(5, 5), 108);

    // A one-pixel-wide template blends but has no half-size copy.
    const cv::Rect thin(200, 150, 1, 6);
    e.probe.state().box = thin;
    e.probe.model().templ = cv::Mat(thin.size(), CV_8UC1, cv::Scalar(100));
    r.appearanceAllowed = true;
    ASSERT_NO_THROW(e.learn(r));
    EXPECT_EQ(e.probe.model().templ.at<uchar>(3, 0), 104);
    EXPECT_TRUE(e.probe.model().halfTemplate.empty());
}

TEST(Learning, ColourPatchIsResizedBlendedAndItsLabCopiesRefreshed) {
    const cv::Rect box(200, 150, 40, 40);
    LearningEngine e(box);
    e.probe.model().colourPatch = cv::Mat(32, 32, CV_8UC3, cv::Scalar(0, 0, 100));
    cv::cvtColor(e.probe.model().colourPatch, e.probe.model().labPatch, cv::COLOR_BGR2Lab);
    cv::split(e.probe.model().labPatch, e.probe.model().labChannels);
    const cv::Mat labBefore = e.probe.model().labPatch.clone();

    LearningRecord r;
    r.present = true;
    r.appearanceAllowed = true;

    // A grey-only frame leaves the colour models alone.
    e.learn(e.grey, r);
    EXPECT_EQ(e.probe.model().colourPatch.at<cv::Vec3b>(3, 3), cv::Vec3b(0, 0, 100));

    cv::Mat colour(480, 640, CV_8UC3, cv::Scalar(0, 0, 200));
    e.learn(colour, r);
    EXPECT_EQ(e.probe.model().colourPatch.size(), cv::Size(32, 32));
    EXPECT_EQ(e.probe.model().colourPatch.at<cv::Vec3b>(3, 3), cv::Vec3b(0, 0, 104));
    EXPECT_GT(maxDifference(e.probe.model().labPatch, labBefore), 0.0);
    ASSERT_EQ(e.probe.model().labChannels.size(), 3u);
    EXPECT_EQ(e.probe.model().labChannels[1].at<uchar>(3, 3), e.probe.model().labPatch.at<cv::Vec3b>(3, 3)[1]);
}

TEST(Learning, NothingHappensOutsideTheFrameWithoutARecordOrWithCorrelationOff) {
    const cv::Rect box(200, 150, 16, 16);
    LearningEngine e(box);
    const cv::Mat filterBefore = e.filter().clone();
    LearningRecord r = LearningEngine::correlationRecord(50.0);
    r.appearanceAllowed = true;

    e.probe.state().box = cv::Rect(700, 500, 16, 16);  // wholly outside the 640 x 480 frame
    e.learn(r);
    EXPECT_EQ(maxDifference(e.filter(), filterBefore), 0.0);
    EXPECT_EQ(e.probe.model().templ.at<uchar>(0, 0), 100);

    e.probe.state().box = box;
    r.present = false;
    e.learn(r);
    EXPECT_EQ(maxDifference(e.filter(), filterBefore), 0.0);
    EXPECT_EQ(e.probe.model().templ.at<uchar>(0, 0), 100);

    TrackerParams off = trackerParamsForProfile("correlation");
    off.correlation_enabled = false;
    LearningEngine e2(box, off);
    const cv::Mat before2 = e2.filter().clone();
    r = LearningEngine::correlationRecord(50.0);
    r.reacquired = true;
    e2.learn(r);
    EXPECT_EQ(maxDifference(e2.filter(), before2), 0.0);
}

// The update rate is clamped: above 1 the filter is rebuilt from the current patch alone,
// below 0 its sums stay as they were.
TEST(Learning, CorrelationRateIsClampedToTheUnitInterval) {
    const cv::Rect box(200, 150, 16, 16);
    for (double rate : {1.5, -0.2, 0.08}) {
        TrackerParams params = trackerParamsForProfile("correlation");
        params.correlation_learning_rate = rate;
        LearningEngine e(box, params);
        Correlator& f = e.probe.correlators().filter(0);
        const cv::Mat numBefore = f.numerator().clone();
        e.probe.state().center += cv::Point2f(2.f, 1.f);  // learn at a slightly different place
        e.learn(LearningEngine::correlationRecord(50.0));

        if (rate < 0) {
            EXPECT_EQ(maxDifference(f.numerator(), numBefore), 0.0);
        } else if (rate > 1) {
            Correlator fresh(f.searchSize(), f.targetSize());
            fresh.update(e.probe.correlators().extractPatch(e.grey, e.probe.state().center), 1.f);
            EXPECT_LT(maxDifference(f.numerator(), fresh.numerator()),
                      1e-3 * cv::norm(fresh.numerator(), cv::NORM_INF));
        } else {
            EXPECT_GT(maxDifference(f.numerator(), numBefore), 0.0);
        }
    }
}

TEST(Learning, OnlyTheWinningFilterLearns) {
    const cv::Rect box(200, 150, 8, 8);  // four filters
    LearningEngine e(box);
    CorrelatorBank& bank = e.probe.correlators();
    ASSERT_EQ(bank.size(), 4u);
    bank.detect(e.grey, e.probe.state().center + cv::Point2f(1.f, 0.f));
    const std::size_t winner = bank.selectedIndex();
    std::vector<cv::Mat> before;
    for (std::size_t i = 0; i < bank.size(); ++i) before.push_back(bank.filter(i).filter().clone());
    e.learn(LearningEngine::correlationRecord(50.0));
    for (std::size_t i = 0; i < bank.size(); ++i) {
        EXPECT_EQ(maxDifference(bank.filter(i).filter(), before[i]) > 0.0, i == winner) << i;
    }
}

// Correlation learning needs a correlation source with a strong enough peak whose position
// was taken; otherwise only a confirmed reacquisition re-trains the bank at the new box.
TEST(Learning, WeakOrGuardedPeaksDoNotLearnAndConfirmedReacquisitionsRetrain) {
    const cv::Rect box(200, 150, 16, 16);
    struct Case {
        Reason source;
        double psr;
        bool positionUpdated, reacquired, confirmed;
        bool learns, retrains;
    };
    const Case cases[] = {
        {Reason::kCorrelation, 3.9, true, false, true, false, false},   // below the 4.0 minimum
        {Reason::kCorrelation, 4.0, false, false, true, false, false},  // guarded update
        {Reason::kCorrelation, 4.0, true, false, true, true, false},
        {Reason::kTemplate, 50.0, true, false, true, false, false},
        {Reason::kReacquireWide, 0.0, true, true, false, false, false},  // not yet confirmed
        {Reason::kReacquireWide, 0.0, true, true, true, false, true},
        {Reason::kCorrelation, 3.0, true, true, true, false, true},
    };
    for (const Case& c : cases) {
        LearningEngine e(box);
        const cv::Mat before = e.filter().clone();
        const cv::Rect moved(260, 190, 20, 12);
        e.probe.state().box = moved;
        e.probe.state().center = {270.f, 196.f};
        LearningRecord r;
        r.present = true;
        r.source = c.source;
        r.peakRatio = c.psr;
        r.positionUpdated = c.positionUpdated;
        r.reacquired = c.reacquired;
        r.confirmed = c.confirmed;
        e.learn(r);
        const bool changed = maxDifference(e.filter(), before) > 0.0;
        EXPECT_EQ(changed, c.learns || c.retrains) << reasonText(c.source) << " " << c.psr;
        if (c.retrains) {
            CorrelatorBank expected;
            expected.train(e.grey, moved, 0);
            ASSERT_EQ(e.probe.correlators().size(), expected.size());
            EXPECT_EQ(maxDifference(e.probe.correlators().filter(0).filter(), expected.filter(0).filter()), 0.0);
        }
    }
}

// ---------------------------------------------------------------------------------------
// Foreground box search

namespace {

// A 10 x 10 working box on a bright 36 x 36 blob: the first window lies wholly inside it.
struct BoxSearch : test::CueBench {
    cv::Mat grey;
    cv::Point2f centre{320.f, 240.f};

    explicit BoxSearch(int blob = 36) : CueBench({315, 235, 10, 10}, 1, trackerParamsForProfile("adaptive")) {
        grey = cv::Mat(480, 640, CV_8UC1, cv::Scalar(40));
        cv::RNG rng(11);
        cv::Mat noise(grey.size(), CV_8UC1);
        rng.fill(noise, cv::RNG::UNIFORM, 0, 6);
        grey += noise;
        grey(cv::Rect(320 - blob / 2, 240 - blob / 2, blob, blob)).setTo(220);
    }
    std::optional<Measurement> run(bool multi, cv::Point2f peak) {
        inputs.multiTarget = multi;
        Measurement m;
        m.center = peak;
        m.reason = Reason::kCorrelation;
        m.found = true;
        return cues.boxSearch.search(ctx(), grey, grey, m, centre);
    }
    std::optional<Measurement> run(bool multi) { return run(multi, centre); }
};

}  // namespace

TEST(ForegroundBoxSearch, WindowGrowsUntilTheBlobFitsOnlyWithSeveralTargets) {
    BoxSearch s;
    const auto single = s.run(false);  // one pass: the 10 x 10 window sees no edge
    EXPECT_FALSE(single.has_value());

    const auto multi = s.run(true);  // windows 10, 18, 33: the blob fits the third
    ASSERT_TRUE(multi.has_value());
    EXPECT_GE(multi->box.width, 36);
    EXPECT_LE(multi->box.width, 44);
    EXPECT_NEAR(multi->center.x, 320.f, 1.5f);
    EXPECT_EQ(multi->reason, Reason::kForeground);
}

TEST(ForegroundBoxSearch, BlockedOrDistantBlobsAreRefused) {
    BoxSearch s;
    s.inputs.blockedRegions = {cv::Rect2f(300.f, 220.f, 40.f, 40.f)};
    // The regions block by the rule handed in with them: without one, nothing is blocked.
    EXPECT_TRUE(s.run(true).has_value());
    s.inputs.ownedRegionRule = &findInOwnedRegion;
    EXPECT_FALSE(s.run(true).has_value());

    // The correlation peak lies far from the blob: the second distance gate refuses it.
    EXPECT_FALSE(BoxSearch().run(true, {420.f, 240.f}).has_value());
}

}  // namespace molvane
