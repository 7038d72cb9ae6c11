#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "sky_scene.hpp"
#include "engine_probe.hpp"
#include "core/reasons.hpp"

namespace {

using molvane::Measurement;
using molvane::TargetEngine;
using molvane::TargetEngineProbe;
using molvane::TrackerParams;

constexpr double kDt = 1.0 / 30.0;

// Sky with a dark textured target centred at `c` (none when `c.x` < 0).
cv::Mat skyWith(cv::Point c) { return molvane::test::skyWithDarkDot(c); }

Measurement observed(cv::Point c, double confidence = 0.9) {
    Measurement m;
    m.box = cv::Rect(c.x - 6, c.y - 6, 13, 13);
    m.center = cv::Point2f(static_cast<float>(c.x), static_cast<float>(c.y));
    m.targetScore = confidence;
    m.confidence = confidence;
    m.reason = molvane::Reason::kContrast;
    m.found = true;
    return m;
}

struct Presence : ::testing::Test {
    TargetEngine engine{TrackerParams()};
    TargetEngineProbe probe{engine};
    cv::Point at{60, 60};

    void SetUp() override {
        const cv::Mat grey = skyWith(at);
        engine.initialize(grey, grey, cv::Rect(at.x - 6, at.y - 6, 13, 13));
    }

    molvane::TrackStep step(const cv::Mat& grey, const Measurement& m) {
        const molvane::TrackStep s = probe.accept(grey, grey, m, kDt);
        grey.copyTo(probe.model().previousFrame);
        return s;
    }
};

TEST_F(Presence, ObservationsOfTheTargetPassUntouched) {
    for (int i = 1; i <= 6; ++i) {
        const cv::Point c = at + cv::Point(2 * i, 0);
        const molvane::TrackStep s = step(skyWith(c), observed(c));
        EXPECT_EQ(s.state, molvane::TrackState::kConfirmed);
        EXPECT_DOUBLE_EQ(engine.confidence(), 0.9);
        EXPECT_EQ(probe.state().presence.unlikeCount, 0);
    }
}

TEST_F(Presence, EmptySkyIsDeclaredLostOnTheThirdLookAndStaysLost) {
    const cv::Mat empty = skyWith({-1, -1});
    const cv::Point sky = at + cv::Point(30, 0);
    for (int i = 0; i < 2; ++i) {
        const molvane::TrackStep s = step(empty, observed(sky));
        EXPECT_EQ(s.state, molvane::TrackState::kConfirmed);
        EXPECT_LT(engine.confidence(), 0.9) << "confidence falls on a region unlike the target";
    }
    molvane::TrackStep s = step(empty, observed(sky));
    EXPECT_EQ(s.state, molvane::TrackState::kLost);
    EXPECT_EQ(engine.reason(), molvane::Reason::kLostLowConfidence);
    EXPECT_TRUE(probe.state().presence.targetAbsent);
    // However confident a cue is about the empty sky, the target stays lost.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(step(empty, observed(sky, 1.0)).state, molvane::TrackState::kLost);

    // A moving target that looks like itself is taken back through a confirmation.
    const cv::Point back1 = at + cv::Point(4, 0), back2 = at + cv::Point(8, 0);
    s = step(skyWith(back1), observed(back1));
    EXPECT_EQ(s.state, molvane::TrackState::kTentative);
    s = step(skyWith(back2), observed(back2));
    EXPECT_EQ(s.state, molvane::TrackState::kConfirmed);
    EXPECT_FALSE(probe.state().presence.targetAbsent);
}

TEST_F(Presence, AStillLookalikeDoesNotBringTheTargetBack) {
    const cv::Mat empty = skyWith({-1, -1});
    for (int i = 0; i < 3; ++i) step(empty, observed(at + cv::Point(30, 0)));
    ASSERT_TRUE(probe.state().presence.targetAbsent);
    // Something target-like standing still where nothing moved: not convincing unless it
    // matches the seed closely, which a darker, plainer blob does not.
    cv::Mat decoy = skyWith({-1, -1});
    const cv::Point d = at + cv::Point(40, 10);
    cv::circle(decoy, d, 6, cv::Scalar(40), -1);
    decoy.copyTo(probe.model().previousFrame);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(step(decoy, observed(d)).state, molvane::TrackState::kLost);
}

TEST_F(Presence, TheCheckCanBeTurnedOff) {
    probe.config().presence_miss_frames = 0;
    const cv::Mat empty = skyWith({-1, -1});
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(step(empty, observed(at + cv::Point(30, 0))).state, molvane::TrackState::kConfirmed);
}

}  // namespace
