#include <gtest/gtest.h>

#include "config/tracker_params.hpp"
#include "core/size_limits.hpp"

namespace molvane {
namespace {

// Small seeds may grow far beyond the tuning's own factor; the bands end inclusively at
// 150 and 1200 pixels, and a factor below the minimum scale is raised to it.
TEST(SizeLimits, SeedAreaBandsRaiseTheGrowthFactor) {
    struct Case {
        double minScale, maxScale, seedArea, expected;
    };
    const Case cases[] = {
        {0.5, 3.0, 1.0, 12.0},   {0.5, 3.0, 150.0, 12.0},  {0.5, 3.0, 150.5, 5.0},  {0.5, 3.0, 1200.0, 5.0},
        {0.5, 3.0, 1201.0, 3.0}, {0.5, 20.0, 100.0, 20.0}, {0.5, 8.0, 1000.0, 8.0}, {4.0, 2.0, 5000.0, 4.0},
    };
    for (const Case& c : cases) {
        TrackerParams p;
        p.min_size_scale = c.minScale;
        p.max_size_scale = c.maxScale;
        EXPECT_DOUBLE_EQ(maxSizeScale(p, c.seedArea), c.expected)
            << c.minScale << " " << c.maxScale << " " << c.seedArea;
    }
}

}  // namespace
}  // namespace molvane
