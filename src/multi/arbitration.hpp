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

// Fixed arbitration tuning; no profile changes it.
struct MultiTargetSettings {
    double interaction_min_iou = 0.4;
    double interaction_max_distance = 18.0;
    double interaction_size_factor = 1.25;
    int32_t interaction_hold_frames = 3;
    double cluster_min_iou = 0.65;
    double cluster_size_factor = 0.35;
    double ambiguity_min_score_margin = 0.12;
    double appearance_weight = 0.65;
    double min_owner_appearance = 0.45;
    double min_appearance_margin = 0.1;
    bool ownership_cell_enabled = true;
    double ownership_cell_gap = 1.0;
    double ownership_cell_min_fraction = 0.45;
    double max_aspect_change = 1.35;
    double cluster_max_distance = 18.0;
    int32_t unobserved_prediction_max_misses = 30;
    int32_t ambiguity_course_frames = 60;  // frames a target hidden by an ambiguous pass flies on at its last course
};

struct TargetSlot {
    int32_t id = 0;
    std::unique_ptr<TemplateTracker> engine;
    bool hasSnapshot = false;
    TrackStep snapshot;
    cv::Size initialSize;
    cv::Point2f observedCenter;
    cv::Point2f motionCenter;
    cv::Point2f motionVelocity;
    cv::Point2f motionSize;  // (w, h)
    int32_t lastState = kTentative;
    int32_t interactionHold = 0;
    // Frames since `snapshot` was taken (0: taken in the last update), and the number of
    // updates in a row that had taken one up to then.
    int32_t snapshotAge = 0;
    int32_t snapshotRun = 0;
    // Frames left on course after an ambiguous observation hid the target (0: off course),
    // and that course's velocity, px/s.
    int32_t courseHold = 0;
    cv::Point2f courseVelocity;
};

// One target's working result for the current frame. Reasons are the static strings of
// reasons.hpp, so building and copying an outcome never allocates.
struct TargetOutcome {
    int32_t id = 0;
    int32_t target_id = 0;
    int32_t state = kLost;
    float cx = 0.f, cy = 0.f;
    float bbox_x = 0.f, bbox_y = 0.f, bbox_w = 0.f, bbox_h = 0.f;
    int32_t hits = 0;
    int32_t misses = 0;
    float target_score = 0.f;
    float target_candidate_score = 0.f;
    float confidence = 0.f;
    float speed = 0.f;
    const char* reason = "";
    bool suppressed = false;
    int32_t suppressed_by_id = 0;
    float anchor_appearance = 0.f;
    bool interacting = false;
    bool model_learning_suppressed = false;
    bool geometry_update_suppressed = false;
    bool geometry_ownership_constrained = false;
    float geometry_confidence = 0.f;
    bool prediction_only = false;
    float vx = 0.f, vy = 0.f;
    int32_t age = 0;

    cv::Rect2f box() const { return {bbox_x, bbox_y, bbox_w, bbox_h}; }
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
