#include "engine/owned_region.hpp"

#include <algorithm>

#include "core/geometry.hpp"

namespace molvane {

namespace {

// A find overlapping an owned region by this IoU is the owner's.
constexpr double kOwnedOverlap = 0.2;
// A find whose centre lies this close to an owned region's centre is the owner's: at least
// kOwnedReachMin px, or this share of the region's short side.
constexpr double kOwnedReachMin = 10.0;
constexpr double kOwnedReachShare = 0.75;

}  // namespace

bool findInOwnedRegion(const cv::Rect2f& r, const cv::Rect& box, cv::Point2f center) {
    if (!(r.width > 0.f) || !(r.height > 0.f)) return false;
    if (boxIou(r, cv::Rect2f(box)) >= kOwnedOverlap) return true;
    const double limit = std::max(kOwnedReachMin, kOwnedReachShare * std::min(r.width, r.height));
    return distance(center, rectCenter(r)) <= limit;
}

}  // namespace molvane
