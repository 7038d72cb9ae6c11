// The head-up-display overlay a TrackResult draws on a copy of its frame.
#pragma once

#include <opencv2/core.hpp>

#include "core/track_records.hpp"

namespace molvane {

// Draws the overlay for `result` onto `image` (1, 3 or 4 channels) in place. A lost
// result draws nothing.
void drawHud(cv::Mat& image, const TrackResult& result);

}  // namespace molvane
