// Everything a cue reads besides the frame: the tuning, the target's model, the engine
// state it measures against, and the inputs of the proposal it works for. Cues take it by
// const reference and keep nothing of it; each owns only its own scratch buffers.
#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "config/tracker_params.hpp"
#include "core/motion_state.hpp"
#include "core/target_model.hpp"
#include "core/track_records.hpp"

namespace molvane {

// Whether a find with `box` and centre `center` lies in `region`, a region another target
// owns. The rule belongs where ownership is decided, which hands it in with the regions.
using OwnedRegionRule = bool (*)(const cv::Rect2f& region, const cv::Rect& box, cv::Point2f center);

// What one proposal adds to a frame.
struct ProposalInputs {
    std::vector<cv::Rect2f> blockedRegions;     // regions other targets own; a cue's find there is refused
    OwnedRegionRule ownedRegionRule = nullptr;  // when a find lies in one of them (none: never)
    std::optional<cv::Size2f> referenceSize;    // expected target size, when another tracker vouches for one
    bool multiTarget = false;                   // the engine is one of several in a multi-target update
    MotionGate motionGate;                      // where the target's motion lets a tracked find lie
    double findSigmaFloor = 0.0;                // px: a find's centre is uncertain by at least this (a
                                                // neighbour touching the target pulls it), so it
                                                // corrects the motion filter less

    // Whether a find falls into any blocked region, by the rule handed in.
    bool blocks(const cv::Rect& box, cv::Point2f center) const;
    bool blocks(const Measurement& m) const { return blocks(m.box, m.center); }
};

struct CueContext {
    const TrackerParams& params;
    const TargetModel& model;
    const EngineMotionState& state;
    const ProposalInputs& inputs;

    // Whether a tracked find at `p` is consistent with the target's motion: within the
    // speed gate `speedGate` (px) of the last centre and inside the motion gate.
    bool withinGate(cv::Point2f p, double speedGate) const;
    // How far `p` lies off the motion's prediction, as a share of the motion gate's radius
    // (0 without a gate): the ranking cost of a tracked find grows with its square, so
    // that among look-alikes the one the motion predicts wins.
    double motionDeviation(cv::Point2f p) const;
};

}  // namespace molvane
