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
    const double bx = box.x, by = box.y, bw = box.width, bh = box.height;
    const double ix0 = std::max<double>(bx, r.x);
    const double iy0 = std::max<double>(by, r.y);
    const double ix1 = std::min<double>(bx + bw, static_cast<double>(r.x) + r.width);
    const double iy1 = std::min<double>(by + bh, static_cast<double>(r.y) + r.height);
    const double inter = (ix1 > ix0 && iy1 > iy0) ? (ix1 - ix0) * (iy1 - iy0) : 0.0;
    const double uni = static_cast<double>(r.width) * r.height + bw * bh - inter;
    if (uni > 0.0 && inter / uni >= kOwnedOverlap) return true;
    const double limit = std::max(kOwnedReachMin, kOwnedReachShare * std::min(r.width, r.height));
    return distance(center, rectCenter(r)) <= limit;
}

}  // namespace molvane
