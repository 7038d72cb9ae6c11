#include "cues/cue_context.hpp"

#include "core/geometry.hpp"

namespace molvane {

bool ProposalInputs::blocks(const cv::Rect& box, cv::Point2f center) const {
    if (ownedRegionRule == nullptr) return false;
    for (const cv::Rect2f& r : blockedRegions) {
        if (ownedRegionRule(r, box, center)) return true;
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
