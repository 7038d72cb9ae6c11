// The flat tuning record of the tracking engine and the profile builder that fills it.
#pragma once

#include <string>

namespace molvane {

struct TrackerParams {
    int max_search_radius = 220;
    int min_diff_threshold = 18;
    double template_min_score = 0.22;
    double template_min_psr = 2.5;
    double template_max_ambiguity = 0.95;
    bool correlation_enabled = false;
    int correlation_search_size = 0;
    double correlation_min_psr = 3.0;
    double correlation_learn_min_psr = 4.0;
    double correlation_max_peak_ratio = 1.0;
    double correlation_learning_rate = 0.08;
    double max_speed = 1400.0;
    double min_gate_radius = 12.0;
    double velocity_gain = 0.3;
    double velocity_decay = 0.9;
    double motion_threshold_sigma = 2.0;
    double motion_min_area_fraction = 0.005;
    double motion_max_area_fraction = 2.5;
    double extended_target_min_area = 5000.0;
    double boundary_margin_fraction = 0.08;
    double foreground_margin_fraction = 0.04;
    bool adaptive_box = false;
    bool cue_geometry_update = false;
    int foreground_box_interval = 4;
    double foreground_min_score = 0.48;
    double foreground_gate_factor = 0.75;
    double correlation_gate_factor = 0.65;
    double foreground_box_min_psr = 4.0;
    double max_size_step = 1.1;
    double min_size_scale = 0.4;
    double max_size_scale = 1.8;
    double min_confidence = 0.2;
    double learn_min_confidence = 0.5;
    double geometry_min_confidence = 0.35;
    int wide_search_after_misses = 3;
    int wide_search_interval = 1;
    int reacquire_confirm_frames = 2;
    int wide_search_radius = 480;
    int full_search_after_misses = 8;
    int full_search_interval = 2;
    int full_search_min_area = 0;
    int full_search_max_area = 0;
    double reacquire_min_score = 0.55;
    int wide_search_max_area = 0;
    bool color_contrast = true;
    bool color_appearance = true;
    double contrast_appearance_weight = 0.0;
    double motion_ambiguity_radius = 0.0;
    double template_learning_rate = 0.04;
    int sky_search_after_misses = 8;
    double sky_reacquire_min_score = 0.4;
    // Presence check: is what the tracker holds still the locked target? An observation
    // "unlike" the target has anchor similarity below presence_min_similarity, or (for a
    // target with a known contrast polarity) a contrast against its surroundings below
    // presence_min_contrast_ratio times the seed's. presence_miss_frames unlike
    // observations in a row declare the target gone (0 turns the check off); after that
    // only observations passing the reacquire thresholds may bring it back.
    int presence_miss_frames = 3;
    double presence_min_similarity = 0.2;
    double presence_min_contrast_ratio = 0.5;
    double presence_reacquire_similarity = 0.35;
    double presence_reacquire_contrast_ratio = 0.6;

    bool operator==(const TrackerParams& other) const;
    bool operator!=(const TrackerParams& other) const { return !(*this == other); }
};

// Builds the record for a profile name (ASCII case-insensitive). Throws
// std::invalid_argument "unknown profile: <name as given>" for an unknown name.
TrackerParams trackerParamsForProfile(const std::string& name);

}  // namespace molvane
