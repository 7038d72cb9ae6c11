// The multi-target ownership rule for finds: when a find counts as lying in a region
// another target owns. The engine hands it to its cues with the regions (ProposalInputs).
#pragma once

#include <opencv2/core.hpp>

namespace molvane {

// Whether a find with `box` and centre `center` lies in `region`: they overlap with an IoU
// of at least 0.2, or the find's centre is within max(10, 0.75 x the region's short side)
// of the region's centre. An empty region holds nothing.
bool findInOwnedRegion(const cv::Rect2f& region, const cv::Rect& box, cv::Point2f center);

}  // namespace molvane
