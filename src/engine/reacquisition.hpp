// Scheduling rules of the wide and full reacquisition searches that run on a missed frame
// (the search itself is TargetEngine::reacquireOrMiss, in reacquisition.cpp).
#pragma once

#include <opencv2/core.hpp>

#include "config/tracker_params.hpp"

namespace molvane {

enum class ReacquireSearch { None, Wide, Full };

// Which search (if any) runs on the frame that would become miss number `missCount`, for
// a target whose seed box had `seedArea` pixels. A target inside the full-search size band
// never gets the wide search once it is eligible for the full one, even on frames where the
// full search's cadence skips.
ReacquireSearch scheduledReacquireSearch(long long missCount, long long seedArea, const TrackerParams& params);

// The wide search margin around `predictedBox`: `radius`, or when the grown region
// (clipped to the frame) is larger than `maxArea`, the largest margin in [0, radius] whose
// region fits. `maxArea` <= 0 means no limit. Areas are 64-bit.
int wideSearchRadius(const cv::Rect& predictedBox, int radius, long long maxArea, int frameW, int frameH);

}  // namespace molvane
