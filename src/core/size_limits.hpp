// How large a target may grow relative to its seed. Small seeds are allowed to grow much
// more: a distant target seeded at a few pixels may close in to many times that size.
#pragma once

#include "config/tracker_params.hpp"

namespace molvane {

// Largest size factor over the seed: max(max_size_scale, min_size_scale), raised to 12 for
// a seed of at most 150 pixels and to 5 for one of at most 1200.
double maxSizeScale(const TrackerParams& params, double seedArea);

}  // namespace molvane
