#include "config/interval_scaling.hpp"

#include <algorithm>
#include <cmath>

namespace molvane {

namespace {

constexpr double kShortestInterval = 1.0 / 240.0;
constexpr double kLongestInterval = 10.0;

double factorOver(double perFrame, double frames) { return std::pow(std::max(perFrame, 0.0), frames); }

double rateOver(double perFrame, double frames) { return 1.0 - std::pow(1.0 - std::clamp(perFrame, 0.0, 1.0), frames); }

// Frames of this interval that last as long as `count` reference frames; counts of 0 or
// less (switched off) stay as they are.
int framesFor(int count, double frames) {
    if (count <= 0) return count;
    const double n = std::ceil(static_cast<double>(count) / frames - 1e-9);
    return static_cast<int>(std::clamp(n, 1.0, 1.0e9));
}

}  // namespace

TrackerParams atInterval(const TrackerParams& base, double dtSeconds) {
    if (!std::isfinite(dtSeconds)) return base;
    const double frames = std::clamp(dtSeconds, kShortestInterval, kLongestInterval) / kReferenceInterval;
    if (std::fabs(frames - 1.0) < 1e-9) return base;
    TrackerParams p = base;
    p.velocity_gain = rateOver(base.velocity_gain, frames);
    p.velocity_decay = factorOver(base.velocity_decay, frames);
    p.max_size_step = factorOver(std::max(base.max_size_step, 1.0), frames);
    p.template_learning_rate = rateOver(base.template_learning_rate, frames);
    p.correlation_learning_rate = rateOver(base.correlation_learning_rate, frames);
    p.presence_miss_frames = framesFor(base.presence_miss_frames, frames);
    p.reacquire_confirm_frames =
        std::max(base.reacquire_confirm_frames, framesFor(base.reacquire_confirm_frames, frames));
    p.wide_search_after_misses = framesFor(base.wide_search_after_misses, frames);
    p.wide_search_interval = framesFor(base.wide_search_interval, frames);
    p.full_search_after_misses = framesFor(base.full_search_after_misses, frames);
    p.full_search_interval = framesFor(base.full_search_interval, frames);
    p.sky_search_after_misses = framesFor(base.sky_search_after_misses, frames);
    p.foreground_box_interval = framesFor(base.foreground_box_interval, frames);
    return p;
}

}  // namespace molvane
