#include "core/size_limits.hpp"

#include <algorithm>

namespace molvane {

namespace {

// Seeds of at most `maxArea` pixels may grow to at least `scale` times their size.
struct SeedBand {
    double maxArea;
    double scale;
};
constexpr SeedBand kSeedBands[] = {{150.0, 12.0}, {1200.0, 5.0}};

}  // namespace

double maxSizeScale(const TrackerParams& params, double seedArea) {
    const double scale = std::max(params.max_size_scale, params.min_size_scale);
    for (const SeedBand& band : kSeedBands) {
        if (seedArea <= band.maxArea) return std::max(scale, band.scale);
    }
    return scale;
}

}  // namespace molvane
