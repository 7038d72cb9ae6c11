// Several selected targets, one engine each, with stable ids that never swap: when two
// targets claim one observation, the weaker claimant is reported as suppressed.
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
};

class MultiTracker {
public:
    explicit MultiTracker(const TrackerParams& params);

    // Seeds one target per box (ids 1..N in order). Throws std::invalid_argument for an
    // empty frame, an empty box list or a box the engine refuses; on failure the tracker
    // keeps the targets it had.
    void lock(const cv::Mat& frame, const cv::Mat& grey, const std::vector<cv::Rect>& boxes);
    // One result per target in id order (`frame` left 0: the caller numbers frames).
    std::vector<TrackResult> update(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds);

    std::size_t size() const { return targets_.size(); }
    const MultiTargetSettings& settings() const { return settings_; }
    const std::vector<TargetSlot>& targets() const { return targets_; }

private:
    TrackerParams config_;
    MultiTargetSettings settings_;
    std::vector<TargetSlot> targets_;
};

}  // namespace molvane
