#include "cues/cue_context.hpp"

#include <algorithm>

#include "core/geometry.hpp"

namespace molvane {

bool ProposalInputs::blocks(const cv::Rect& box, cv::Point2f center) const {
    const double bx = box.x, by = box.y, bw = box.width, bh = box.height;
    for (const cv::Rect2f& r : blockedRegions) {
        if (!(r.width > 0.f) || !(r.height > 0.f)) continue;
        const double ix0 = std::max<double>(bx, r.x);
        const double iy0 = std::max<double>(by, r.y);
        const double ix1 = std::min<double>(bx + bw, static_cast<double>(r.x) + r.width);
        const double iy1 = std::min<double>(by + bh, static_cast<double>(r.y) + r.height);
        const double inter = (ix1 > ix0 && iy1 > iy0) ? (ix1 - ix0) * (iy1 - iy0) : 0.0;
        const double uni = static_cast<double>(r.width) * r.height + bw * bh - inter;
        if (uni > 0.0 && inter / uni >= 0.2) return true;
        const double limit = std::max(10.0, 0.75 * std::min(r.width, r.height));
        if (distance(center, rectCenter(r)) <= limit) return true;
    }
    return false;
}

}  // namespace molvane

namespace molvane {

bool CueContext::withinGate(cv::Point2f p, double speedGate) const {
    return distance(p, state.center) <= speedGate && inputs.motionGate.passes(p);
}

double CueContext::motionDeviation(cv::Point2f p) const {
    const MotionGate& g = inputs.motionGate;
    if (!g.active || !(g.radius > 0.0)) return 0.0;
    return distance(p, g.center) / g.radius;
}

}  // namespace molvane
