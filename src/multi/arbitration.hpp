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

#include "config/tracker_params.hpp"
#include "engine/template_tracker.hpp"
#include "engine/track_records.hpp"

namespace molvane {

// Fixed arbitration tuning; no profile changes it. One comment each: unit, then meaning.
struct MultiTargetSettings {
    // IoU, <= 0 = test off. Two boxes interact when they overlap at least this much.
    double interaction_min_iou = 0.4;
    // px, <= 0 = test off. Boxes interact when their centres are this close; twice it is the own-prediction radius.
    double interaction_max_distance = 18.0;
    // of the larger side (at least 4 px), <= 0 = test off. Two boxes interact within this centre distance.
    double interaction_size_factor = 1.25;
    // frames. A target stays interacting this long after its last real interaction.
    int32_t interaction_hold_frames = 3;
    // IoU, <= 0 = test off. Two proposals are one observation when they overlap at least this much.
    double cluster_min_iou = 0.65;
    // of the smaller side (at least 4 px), <= 0 = off. One observation within max(3, this x side) px.
    double cluster_size_factor = 0.35;
    // ownership score. An observation is ambiguous when its best claimant leads by less than this.
    double ambiguity_min_score_margin = 0.12;
    // weight. Share of the anchor appearance in the ownership score.
    double appearance_weight = 0.65;
    // anchor likeness 0..1. A best claimant below this makes an observation ambiguous; weak-reacquisition bar.
    double min_owner_appearance = 0.45;
    // anchor likeness. Ambiguous when the best claimant's likeness leads the others' by less than this.
    double min_appearance_margin = 0.1;
    // Confirmed targets that do not interact have their box limited to an ownership cell.
    bool ownership_cell_enabled = true;
    // px. Gap between an ownership cell and the midline to a neighbour; twice it (>= 3) is the proximity margin.
    double ownership_cell_gap = 1.0;
    // fraction. A cell must keep at least this share of the limited width and of the height.
    double ownership_cell_min_fraction = 0.45;
    // factor. The measured aspect ratio stays within this factor of the seed's.
    double max_aspect_change = 1.35;
    // px, <= 0 = test off. Two proposals are one observation when their centres are this close.
    double cluster_max_distance = 18.0;
    // frames. A lost target is reported as its prediction while its misses are at most this.
    int32_t unobserved_prediction_max_misses = 30;
    // frames. A target hidden by an ambiguous pass flies on at its last course this long.
    int32_t ambiguity_course_frames = 60;
};

// One target of a multi-target lock: its engine and what the arbitration remembers of it.
struct TargetSlot {
    int32_t id = 0;  // stable, 1..N in seeding order
    std::unique_ptr<TemplateTracker> engine;
    bool hasSnapshot = false;
    TrackStep snapshot;          // the last step reported as seen (not suppressed, not lost)
    cv::Size initialSize;        // the seed box size
    cv::Point2f observedCenter;  // centre of the last committed observation
    // The slot's own constant-velocity prediction, independent of the engine.
    cv::Point2f motionCenter;
    cv::Point2f motionVelocity;  // px/s
    cv::Point2f motionSize;      // (w, h)
    int32_t lastState = kTentative;
    int32_t interactionHold = 0;  // frames the target still counts as interacting
    // Frames since `snapshot` was taken (0: taken in the last update), and the number of
    // updates in a row that had taken one up to then.
    int32_t snapshotAge = 0;
    int32_t snapshotRun = 0;
    // Frames left on course after an ambiguous observation hid the target (0: off course),
    // and that course's velocity, px/s.
    struct Course {
        int32_t hold = 0;
        cv::Point2f velocity;
    } course;
    // Centre and velocity (px/s) of the last snapshot that ended a settled run of good steps,
    // and the updates since it was taken (a target just re-found has no settled velocity).
    struct SettledRun {
        cv::Point2f center;
        cv::Point2f velocity;
        int32_t age = -1;  // -1: none yet
    } settled;
    bool runReacquired = false;  // the current run of good steps began with a reacquisition
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
    bool owns = false;       // the target owns the observation it proposed
    bool ambiguous = false;  // contested, and no owner could be chosen with confidence
    int32_t ownerId = 0;     // who holds the observation (0: took part in none)
};

struct MeasurementProximity {
    int32_t nearestOtherId = 0;  // another target whose prediction the measurement is clearly nearer
    bool distanceAmbiguous = false;
    bool nearOwnPrediction = false;
    bool predictionOverlap = false;
};

struct OwnershipCell {
    bool valid = false;
    bool clipped = false;
    cv::Rect2f box;
};

// px. How much nearer one prediction must be than another before a measurement counts as
// clearly nearer it: twice the ownership-cell gap, at least 3 px.
double proximityMargin(const MultiTargetSettings& settings);

// Intersection over union in double; 0 when the union is empty.
double boxIou(const cv::Rect2f& a, const cv::Rect2f& b);
double centerDistance(const cv::Rect2f& a, const cv::Rect2f& b);

// Two boxes close enough to disturb each other's measurements.
bool interacts(const cv::Rect2f& a, const cv::Rect2f& b, const MultiTargetSettings& settings);

// Takes part in the association: not suppressed, not lost, with a non-empty box.
bool eligibleForOwnership(const TargetOutcome& outcome);

// The ranking score of an outcome (appearance, confidence, state, track history and
// continuity with the slot's last good step). A score that is not finite ranks lowest.
double ownershipScore(const TargetOutcome& outcome, const TargetSlot& slot, const MultiTargetSettings& settings);

// Working storage of the association, kept by the caller so a frame allocates nothing
// once the vectors have grown (the assignment solver runs only for contested observations).
struct AssociationScratch {
    std::vector<int> observation;  // per outcome, -1 when not eligible
    std::vector<double> score;
    std::vector<int> stack;
    std::vector<int> best, owner, members;
    std::vector<unsigned char> ambiguous;
    std::vector<std::vector<double>> cost;
};

// One decision per outcome, in slot order. `outcomes` and `slots` run in parallel.
void associate(const std::vector<TargetOutcome>& outcomes, const std::vector<TargetSlot>& slots,
               const MultiTargetSettings& settings, std::vector<OwnershipDecision>& decisions,
               AssociationScratch& scratch);
std::vector<OwnershipDecision> associate(const std::vector<TargetOutcome>& outcomes,
                                         const std::vector<TargetSlot>& slots, const MultiTargetSettings& settings);

// One record per outcome. `measuredCenters` holds the centre of each target's proposal.
void measureProximity(const std::vector<TargetOutcome>& outcomes, const std::vector<cv::Point2f>& measuredCenters,
                      const std::vector<cv::Point2f>& predictedCenters, const std::vector<cv::Rect2f>& predictedBoxes,
                      const std::vector<TargetSlot>& slots, const MultiTargetSettings& settings,
                      std::vector<MeasurementProximity>& proximity);
std::vector<MeasurementProximity> measureProximity(const std::vector<TargetOutcome>& outcomes,
                                                   const std::vector<cv::Point2f>& measuredCenters,
                                                   const std::vector<cv::Point2f>& predictedCenters,
                                                   const std::vector<cv::Rect2f>& predictedBoxes,
                                                   const std::vector<TargetSlot>& slots,
                                                   const MultiTargetSettings& settings);

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
