#include "engine/size_limits.hpp"

#include <algorithm>

namespace molvane {

namespace {

constexpr double kSmallSeedArea = 150.0;
constexpr double kSmallSeedScale = 12.0;
constexpr double kMediumSeedArea = 1200.0;
constexpr double kMediumSeedScale = 5.0;

}  // namespace

double maxSizeScale(const TrackerParams& params, double seedArea) {
    double scale = std::max(params.max_size_scale, params.min_size_scale);
    if (seedArea <= kSmallSeedArea) {
        scale = std::max(scale, kSmallSeedScale);
    } else if (seedArea <= kMediumSeedArea) {
        scale = std::max(scale, kMediumSeedScale);
    }
    return scale;
}

}  // namespace molvane
