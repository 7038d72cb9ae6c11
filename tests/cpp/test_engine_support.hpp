// Small comparison helpers shared by the engine tests; their frames come from sky_scene.hpp.
#pragma once

#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "engine/target_engine.hpp"
#include "sky_scene.hpp"

namespace molvane::test {

// A box of size `size` centred on `center`.
inline cv::Rect boxAround(cv::Point2f center, int size) {
    return {static_cast<int>(std::lround(center.x - size * 0.5f)),
            static_cast<int>(std::lround(center.y - size * 0.5f)), size, size};
}

inline void expectSameState(const EngineMotionState& a, const EngineMotionState& b) {
    EXPECT_EQ(a.box, b.box);
    EXPECT_EQ(a.center, b.center);
    EXPECT_EQ(a.displacement, b.displacement);
    EXPECT_EQ(a.velocity, b.velocity);
    EXPECT_EQ(a.displayCenter, b.displayCenter);
    EXPECT_EQ(a.displayTopLeft, b.displayTopLeft);
    EXPECT_EQ(a.displaySize, b.displaySize);
    EXPECT_EQ(a.hits, b.hits);
    EXPECT_EQ(a.misses, b.misses);
    EXPECT_EQ(a.confirmCount, b.confirmCount);
    EXPECT_EQ(a.assistCooldown, b.assistCooldown);
    EXPECT_EQ(a.targetScore, b.targetScore);
    EXPECT_EQ(a.candidateScore, b.candidateScore);
    EXPECT_EQ(a.confidence, b.confidence);
    EXPECT_EQ(a.reason, b.reason);
}

inline bool finiteStep(const TrackStep& s) {
    for (float v : {s.x, s.y, s.w, s.h, s.cx, s.cy, s.vx, s.vy, s.speed}) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

inline bool insideFrame(const cv::Rect& r, int W, int H) {
    return r.width >= 1 && r.height >= 1 && r.x >= 0 && r.y >= 0 && r.x + r.width <= W && r.y + r.height <= H;
}

}  // namespace molvane::test
