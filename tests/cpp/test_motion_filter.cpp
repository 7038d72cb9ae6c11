#include <gtest/gtest.h>

#include <cmath>

#include "core/motion_filter.hpp"

namespace molvane {
namespace {

// A target moving steadily: the filter learns its velocity, its uncertainty settles, and
// the gate is small around where the target will be.
TEST(MotionFilter, LearnsASteadyVelocityAndNarrowsItsGate) {
    MotionFilter f;
    f.reset({100.f, 100.f}, {0.f, 0.f}, 2.0, 400.0);
    const double dt = 1.0 / 30.0;
    f.predict(dt, 50.0);
    const MotionGate first = motionGate(f, {10, 10}, dt);  // velocity still unknown
    f.correct({100.f, 100.f}, 2.0);
    for (int i = 2; i <= 60; ++i) {
        f.predict(dt, 50.0);
        f.correct({100.f + 3.f * i, 100.f}, 2.0);
    }
    EXPECT_NEAR(f.velocity().x, 90.f, 3.f);
    EXPECT_NEAR(f.velocity().y, 0.f, 3.f);
    f.predict(dt, 50.0);
    const MotionGate g = motionGate(f, {10, 10}, dt);
    EXPECT_NEAR(g.center.x, 283.f, 1.f);
    EXPECT_LT(g.radius, 0.5 * first.radius);
    EXPECT_TRUE(g.passes({285.f, 101.f}));
    EXPECT_FALSE(g.passes({283.f, 130.f}));  // a look-alike 30 px off the course
}

// Coasting is predicting: without corrections the uncertainty, and with it the gate,
// grows with time; a longer interval spans more of it.
TEST(MotionFilter, TheGateGrowsWhileCoasting) {
    MotionFilter f;
    f.reset({50.f, 50.f}, {60.f, 0.f}, 1.0, 5.0);
    double last = motionGate(f, {16, 16}, 1.0 / 30.0).radius;
    for (int i = 0; i < 10; ++i) {
        f.predict(1.0 / 30.0, 160.0);
        const double r = motionGate(f, {16, 16}, 1.0 / 30.0).radius;
        EXPECT_GT(r, last);
        last = r;
    }
    MotionFilter once;
    once.reset({50.f, 50.f}, {60.f, 0.f}, 1.0, 5.0);
    once.predict(10.0 / 30.0, 160.0);
    EXPECT_NEAR(once.position().x, f.position().x, 1e-3);
    EXPECT_NEAR(once.positionSigma(), f.positionSigma(), 0.05 * f.positionSigma());
}

TEST(MotionFilter, UnstartedOrNonFiniteInputsChangeNothing) {
    MotionFilter f;
    EXPECT_FALSE(motionGate(f, {10, 10}, 0.03).active);
    EXPECT_TRUE(motionGate(f, {10, 10}, 0.03).passes({1e9f, 1e9f}));
    f.reset({10.f, 10.f}, {1.f, 1.f}, 1.0, 1.0);
    f.correct({NAN, 3.f}, 1.0);
    f.predict(NAN, 10.0);
    EXPECT_EQ(f.position(), cv::Point2f(10.f, 10.f));
    f.predict(1e12, 1e6);  // an absurd pause is bounded, and stays finite
    EXPECT_TRUE(std::isfinite(f.positionSigma()));
}

}  // namespace
}  // namespace molvane
