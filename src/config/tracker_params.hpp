// The flat tuning record of the tracking engine and the profile builder that fills it.
#pragma once

#include <string>

namespace molvane {

// Every tuning value of one engine, one comment each: unit, then what it controls. A
// default-constructed record holds the base values (the "fast-sky" profile); the other
// profiles change some of them. Pixel values are frame pixels; frame counts and per-update
// rates (factors and fractions "per frame" or "per update") are given for 30 fps and are
// converted to each step's frame interval (config/interval_scaling.hpp).
struct TrackerParams {
    // px. Cap of the per-frame search radius (60 + 2.5 x the expected travel); floor of the wide search radius.
    int max_search_radius = 220;
    // grey levels. Floor of every difference threshold: motion, foreground, boundary, contrast, sky search.
    int min_diff_threshold = 18;
    // normalised correlation. A weaker template peak fails ("lost-low-template"); bounds the ranked-peak floor.
    double template_min_score = 0.22;
    // ratio. Least peak-to-sidelobe ratio of a template peak; re-checked on accepting any peak measurement.
    double template_min_psr = 2.5;
    // ratio. Greatest sidelobe-to-peak ratio of a template peak.
    double template_max_ambiguity = 0.95;
    // Correlation mode: the engine trains and uses the correlation filter bank.
    bool correlation_enabled = false;
    // px. Correlation window side: 0 = automatic (128 up to 80 px boxes, else 256), else a power of two >= 32.
    int correlation_search_size = 0;
    // ratio. A correlation result with a smaller peak-to-sidelobe ratio is refused.
    double correlation_min_psr = 3.0;
    // ratio. The correlation filter learns only from frames whose peak-to-sidelobe ratio reaches this.
    double correlation_learn_min_psr = 4.0;
    // ratio. A correlation result whose sidelobe ratio exceeds this is refused.
    double correlation_max_peak_ratio = 1.0;
    // fraction per frame, clamped to [0, 1]. Update rate of the correlation filter.
    double correlation_learning_rate = 0.08;
    // px/s. Speed gate: a find beyond max(interval x this, min_gate_radius) is refused ("lost-speed-gate").
    double max_speed = 1400.0;
    // px. Lower bound of the speed-gate radius.
    double min_gate_radius = 12.0;
    // fraction, clamped to [0, 1]. Weight of the newly observed velocity when a measurement is applied.
    double velocity_gain = 0.3;
    // factor per frame. Velocity factor on every unobserved frame, in the engine and the multi-target prediction.
    double velocity_decay = 0.9;
    // standard deviations. Motion threshold = max(mean + this x std of the frame difference, min_diff_threshold).
    double motion_threshold_sigma = 2.0;
    // of target area. Smallest motion blob.
    double motion_min_area_fraction = 0.005;
    // of target area. Largest motion blob.
    double motion_max_area_fraction = 2.5;
    // px^2. A seed of at least this area is an extended target (boundary cue); smaller ones use the foreground cue.
    double extended_target_min_area = 5000.0;
    // of the larger box side. Margin of the boundary search region: max(4, lround(side x this)).
    double boundary_margin_fraction = 0.08;
    // of the larger blob side. The foreground box is the blob box grown by max(2, lround(side x this)).
    double foreground_margin_fraction = 0.04;
    // Adaptive box mode: correlation jumps are distance-gated and correlation boxes re-fitted from a foreground box.
    bool adaptive_box = false;
    // Lets motion, foreground, boundary, contrast and template finds set the box size (at geometry_min_confidence).
    bool cue_geometry_update = false;
    // frames (negative counts as 0). Frames between two correlation-plus-foreground box re-fits.
    int foreground_box_interval = 4;
    // score 0..1. Least confidence of a foreground box in the re-fit.
    double foreground_min_score = 0.48;
    // of box size. Distance gate of a re-fitted foreground box; also bounds the ownership-cell offset.
    double foreground_gate_factor = 0.75;
    // of box size. Distance gate of a correlation jump in adaptive mode: max(6, larger side x this).
    double correlation_gate_factor = 0.65;
    // ratio. Correlation peak-to-sidelobe ratio needed before a foreground re-fit is tried.
    double foreground_box_min_psr = 4.0;
    // ratio per update. Largest growth or shrink of the box size in one update.
    double max_size_step = 1.1;
    // of seed size (at least 0.05). The box never shrinks below this.
    double min_size_scale = 0.25;
    // of seed size. The box never grows beyond this; raised to 12 for seeds up to 150 px^2 and 5 up to 1200 px^2.
    double max_size_scale = 4.0;
    // 0..1. A measurement is accepted only with at least this confidence (raised for motion finds of tiny targets).
    double min_confidence = 0.2;
    // 0..1. Appearance learning needs a confirmed state and at least this confidence.
    double learn_min_confidence = 0.5;
    // 0..1. Below this confidence the box keeps its size and only moves.
    double geometry_min_confidence = 0.35;
    // frames. The wide reacquire search starts at this many consecutive misses.
    int wide_search_after_misses = 3;
    // frames. The wide search runs every this many frames; 0 or less switches it off.
    int wide_search_interval = 1;
    // frames (at least 1; 2 on the sky path). Consecutive matches that confirm a reacquired target.
    int reacquire_confirm_frames = 2;
    // px. Wide search radius = max(max_search_radius, this).
    int wide_search_radius = 480;
    // frames. The full-frame search starts at this many consecutive misses; 0 or less switches it off.
    int full_search_after_misses = 8;
    // frames. In the full-frame phase a search runs every this many frames.
    int full_search_interval = 2;
    // px^2, 0 = no bound. The full-frame search applies only to seeds at least this large.
    int full_search_min_area = 0;
    // px^2, 0 = no bound. The full-frame search applies only to seeds at most this large.
    int full_search_max_area = 0;
    // 0..1. Least confidence of a wide reacquisition; full-frame needs max(0.6, this) and a target score >= 0.35.
    double reacquire_min_score = 0.55;
    // px^2, 0 = no limit. The wide search region is shrunk until its area is at most this.
    int wide_search_max_area = 0;
    // The local contrast map also uses the colour channels of a colour frame.
    bool color_contrast = true;
    // Appearance similarity mixes in the colour score when colour templates exist.
    bool color_appearance = true;
    // weight, 0 = off. Appearance bonus in the contrast detection score.
    double contrast_appearance_weight = 0.0;
    // px, 0 = off. With two or more motion candidates, a rival this close lowers the best one's confidence.
    double motion_ambiguity_radius = 0.0;
    // fraction per update. template = (1 - rate) x template + rate x patch; also for the colour patch.
    double template_learning_rate = 0.04;
    // frames, 0 or less = never. Consecutive misses after which the engine switches to the lost-mode sky search.
    int sky_search_after_misses = 8;
    // 0..1. Least confidence of a sky reacquisition candidate.
    double sky_reacquire_min_score = 0.4;
    // Presence check: is what the tracker holds still the locked target? After the
    // target is declared gone only observations passing the presence_reacquire_* bars
    // bring it back.
    // frames, 0 = check off. Unlike observations (leaky count) that declare the target gone ("lost-low-confidence").
    int presence_miss_frames = 3;
    // normalised correlation. Absolute floor of the likeness below which an observation is unlike the target.
    double presence_min_similarity = 0.2;
    // of the seed's ring contrast. Below this an observation of a known-polarity target is unlike it.
    double presence_min_contrast_ratio = 0.5;
    // normalised correlation. Absolute floor of the likeness a gone target needs to come back.
    double presence_reacquire_similarity = 0.35;
    // of the seed's ring contrast. Contrast a gone target needs to come back.
    double presence_reacquire_contrast_ratio = 0.6;

    bool operator==(const TrackerParams& other) const;
    bool operator!=(const TrackerParams& other) const { return !(*this == other); }
};

// Builds the record for a profile name (ASCII case-insensitive). Throws
// std::invalid_argument "unknown profile: <name as given>" for an unknown name.
TrackerParams trackerParamsForProfile(const std::string& name);

}  // namespace molvane
