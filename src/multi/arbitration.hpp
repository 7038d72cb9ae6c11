// Ownership arbitration between the targets of a multi-target lock: which proposals are
// one observation and who owns it, which targets disturb each other, whether a
// measurement sits nearer another target's prediction than its own, and how far a
// confirmed target's box may reach before it enters a neighbour's space. Plain geometry
// and scores only; no image is touched here.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "config/multi_params.hpp"
#include "config/tracker_params.hpp"
#include "core/geometry.hpp"
#include "core/track_records.hpp"
#include "engine/target_engine.hpp"
#include "multi/hungarian.hpp"

namespace molvane {

// Where a target stands in a multi-target lock. Everything reported about it follows from
// this: a coasting target is suppressed or a prediction, and it counts as lost when it is
// found again (it must then pass the weak-reacquisition rule).
enum class TargetPhase : int32_t {
    kTentative,  // committed its own find, not yet confirmed by the engine
    kConfirmed,  // committed its own find, confirmed
    kCoasting,   // held back (another owns or shares its find) or unobserved: flies on its filter
    kLost,       // its engine has lost it beyond the unobserved window
};

// One target of a multi-target lock: its engine and what the arbitration remembers of it.
// Its motion is the engine's own motion filter: advanced every frame, corrected by the finds
// it commits, and only predicted while it coasts.
struct TargetSlot {
    int32_t id = 0;  // stable, 1..N in seeding order
    std::unique_ptr<TargetEngine> engine;
    bool hasSnapshot = false;
    TrackStep snapshot;          // the last step reported as seen (not suppressed, not lost)
    cv::Size initialSize;        // the seed box size
    cv::Point2f observedCenter;  // centre of the last committed observation
    cv::Point2f motionSize;      // (w, h) of the last observed box
    float seedShade = 0.f;       // mean grey of the seed box's core
    TargetPhase phase = TargetPhase::kTentative;
    int32_t interactionHold = 0;  // frames the target still counts as interacting
    bool seen() const { return phase == TargetPhase::kTentative || phase == TargetPhase::kConfirmed; }
};

// One target's working result for the current frame: the engine's step (its targetId is
// the slot's id), the engine's scores and what the arbitration decided about it. Reasons
// are enum values, so building and copying an outcome never allocates.
struct TargetOutcome {
    TrackStep step;
    StepScores scores;
    ArbitrationReport report;

    int32_t id() const { return step.targetId; }
    cv::Rect2f box() const { return {step.x, step.y, step.w, step.h}; }
};

struct OwnershipDecision {
    bool owns = false;       // the target owns the candidate it proposed
    bool ambiguous = false;  // its candidate is contested, and no owner could be chosen with confidence
    int32_t ownerId = 0;     // who was given its candidate (0: nobody, or it proposed none)
};

// A target's motion filter advanced to the current frame, as the assignment sees it.
struct TargetMotion {
    cv::Point2f center;     // predicted centre
    double sigma = 1.0;     // px: the filter's uncertainty of the prediction (with the cue's)
    double radius = 0.0;    // px: the gate; a find further away is not this target's
    double cueSigma = 1.0;  // px: the cue's own spread for this target's size
    double spread = 1.0;    // px: how far a find strays from a prediction that holds (the cue's
                            // spread and one interval of travel)
};

// Cost of a find at `find` for a target, in negative log-likelihood units: the squared
// distance from the prediction, the log of the filter's uncertainty (an unsure target pays
// for it, so it does not outbid a sure one), and the appearance distance. Where targets pass
// close (`interacting`: the find lies within interaction reach of the prediction), they pull
// each other's finds and so their filters, and the distance is measured in the filter's own
// sigmas: a coasting target may well own a find there. Further out, a target's claim rests on
// its prediction holding, and the distance is measured in spreads: priced in the sigmas of a
// coasting filter, whose gate soon spans the whole neighbourhood, every find in it would look
// equally near, and two look-alikes just apart again would be told apart by noise in their
// likeness only. Infinite outside the gate unless `ownFind` (a target's own find is judged by
// its engine): then it costs what a find at the gate's edge would, plus a penalty.
double pairCost(const TargetMotion& motion, cv::Point2f find, double likeness, bool ownFind, bool interacting,
                const MultiTargetSettings& settings);

struct OwnershipCell {
    bool valid = false;
    bool clipped = false;
    cv::Rect2f box;
};

// Distance between the centres of two boxes (boxIou, the overlap, is in core/geometry.hpp).
double centerDistance(const cv::Rect2f& a, const cv::Rect2f& b);

// Two boxes close enough to disturb each other's measurements.
bool interacts(const cv::Rect2f& a, const cv::Rect2f& b, const MultiTargetSettings& settings);

// Takes part in the association: not suppressed, not lost, with a non-empty box.
bool eligibleForOwnership(const TargetOutcome& outcome);

// Groups the eligible outcomes into candidates (connected groups of proposals of one
// object), numbered in slot order of their first member; -1 for the others. Returns the count.
int groupCandidates(const std::vector<TargetOutcome>& outcomes, const MultiTargetSettings& settings,
                    std::vector<int>& candidateOf, std::vector<int>& stack);

// Working storage of the assignment, kept by the caller so a frame allocates nothing once
// the vectors have grown.
struct AssignmentScratch {
    std::vector<std::vector<double>> cost;  // solver matrix: targets x (candidates + targets)
    std::vector<int> column;                // per target, the column it was given
    std::vector<int> holder;                // per candidate, the target given it (-1 none)
    std::vector<unsigned char> ambiguous;   // per candidate
    std::vector<int> assignment;            // solver answer: per target, its column
    HungarianScratch solver;
};

// Mean grey of the core (the middle half in each direction) of `box` in `grey`; 0 when empty.
float coreShade(const cv::Mat& grey, const cv::Rect2f& box);
// Likeness 0..1 of two shades: the anchor likeness compares shapes and not how dark a
// target is, so two silhouettes of the same outline but clearly different shades are told
// apart by this factor.
double shadeLikeness(float a, float b);

// Gated assignment. `cost[i][c]`: target i's cost for candidate c (infinite: forbidden),
// appearance included; `candidateOf[i]`: the candidate i proposed, -1 none. Every target
// takes at most one candidate, a target takes its own whenever nobody has a better claim,
// and a candidate a second target wants nearly as much (within `ambiguity_min_cost_margin`)
// is ambiguous. One decision per target, in slot order.
void assignCandidates(const std::vector<std::vector<double>>& cost, const std::vector<int>& candidateOf, int candidates,
                      const std::vector<int32_t>& ids, const MultiTargetSettings& settings,
                      std::vector<OwnershipDecision>& decisions, AssignmentScratch& scratch);

// The measured size held to the seed's aspect ratio, the per-frame size step and the
// overall scale cap.
cv::Size2f limitMeasuredSize(float w, float h, const TargetSlot& slot, const MultiTargetSettings& settings,
                             const TrackerParams& params);

// The box a confirmed target may occupy: the limited size `size` centred near its own
// centre `own` (pulled towards the measured centre), stopping short of the midline
// towards every neighbour and inside the frame.
OwnershipCell ownershipCell(cv::Size2f size, cv::Point2f measured, cv::Point2f own,
                            const std::vector<cv::Point2f>& neighbours, int frameW, int frameH, cv::Size initialSize,
                            const MultiTargetSettings& settings, const TrackerParams& params);

}  // namespace molvane
