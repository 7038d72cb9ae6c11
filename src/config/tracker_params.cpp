#include "config/tracker_params.hpp"

#include <stdexcept>
#include <tuple>

namespace molvane {

namespace {

auto fields(const TrackerParams& p) {
    return std::tie(
        p.max_search_radius, p.min_diff_threshold, p.template_min_score, p.template_min_psr, p.template_max_ambiguity,
        p.correlation_enabled, p.correlation_search_size, p.correlation_min_psr, p.correlation_learn_min_psr,
        p.correlation_max_peak_ratio, p.correlation_learning_rate, p.max_speed, p.min_gate_radius, p.velocity_gain,
        p.velocity_decay, p.motion_threshold_sigma, p.motion_min_area_fraction, p.motion_max_area_fraction,
        p.extended_target_min_area, p.boundary_margin_fraction, p.foreground_margin_fraction, p.adaptive_box,
        p.cue_geometry_update, p.foreground_box_interval, p.foreground_min_score, p.foreground_gate_factor,
        p.correlation_gate_factor, p.foreground_box_min_psr, p.max_size_step, p.min_size_scale, p.max_size_scale,
        p.min_confidence, p.learn_min_confidence, p.geometry_min_confidence, p.wide_search_after_misses,
        p.wide_search_interval, p.reacquire_confirm_frames, p.wide_search_radius, p.full_search_after_misses,
        p.full_search_interval, p.full_search_min_area, p.full_search_max_area, p.reacquire_min_score,
        p.wide_search_max_area, p.color_contrast, p.color_appearance, p.contrast_appearance_weight,
        p.motion_ambiguity_radius, p.template_learning_rate, p.sky_search_after_misses, p.sky_reacquire_min_score,
        p.presence_miss_frames, p.presence_min_similarity, p.presence_min_contrast_ratio,
        p.presence_reacquire_similarity, p.presence_reacquire_contrast_ratio);
}

// Lower-cases ASCII letters only: independent of the C locale, and bytes above 127 are
// left alone (they never match an accepted name).
std::string asciiLower(const std::string& name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

void applyDefault(TrackerParams& p) {
    p.cue_geometry_update = true;
    p.learn_min_confidence = 0.75;
    p.wide_search_interval = 3;
    p.wide_search_radius = 360;
    p.full_search_after_misses = 10;
    p.full_search_interval = 12;
    p.full_search_min_area = 1500;
    p.full_search_max_area = 4500;
    p.wide_search_max_area = 420000;
    p.color_contrast = false;
    p.color_appearance = false;
    p.contrast_appearance_weight = 0.25;
}

void applyCorrelation(TrackerParams& p) { p.correlation_enabled = true; }

void applyAdaptive(TrackerParams& p) {
    p.correlation_enabled = true;
    p.adaptive_box = true;
    p.foreground_gate_factor = 0.6;
    p.correlation_gate_factor = 0.55;
    p.max_size_step = 1.25;
    p.learn_min_confidence = 0.7;
    p.geometry_min_confidence = 0.3;
    p.contrast_appearance_weight = 0.25;
}

void applyFastSky(TrackerParams&) {}

void applyBirds(TrackerParams& p) {
    p.learn_min_confidence = 0.72;
    p.contrast_appearance_weight = 0.4;
    p.motion_ambiguity_radius = 80.0;
}

void applyMissile(TrackerParams& p) {
    p.max_search_radius = 260;
    p.template_min_score = 0.18;
    p.max_speed = 2200.0;
    p.min_gate_radius = 14.0;
    p.max_size_step = 1.25;
    p.min_size_scale = 0.2;
    p.max_size_scale = 6.0;
    p.learn_min_confidence = 0.38;
    p.geometry_min_confidence = 0.22;
    p.template_learning_rate = 0.1;
}

struct ProfileName {
    const char* name;
    void (*apply)(TrackerParams&);
};

constexpr ProfileName kProfileNames[] = {
    {"default", applyDefault},         {"pi4-target", applyDefault},
    {"raspi4-target", applyDefault},   {"pi-target", applyDefault},
    {"correlation", applyCorrelation}, {"mosse", applyCorrelation},
    {"adaptive", applyAdaptive},       {"adaptive-target", applyAdaptive},
    {"hybrid-target", applyAdaptive},  {"correlation-pi4", applyAdaptive},
    {"sota-target", applyAdaptive},    {"fast-sky", applyFastSky},
    {"sky-fast", applyFastSky},        {"birds", applyBirds},
    {"close-pass", applyBirds},        {"missile", applyMissile},
    {"scale-target", applyMissile},
};

}  // namespace

bool TrackerParams::operator==(const TrackerParams& other) const { return fields(*this) == fields(other); }

TrackerParams trackerParamsForProfile(const std::string& name) {
    const std::string lowered = asciiLower(name);
    for (const ProfileName& entry : kProfileNames) {
        if (lowered == entry.name) {
            TrackerParams params;
            entry.apply(params);
            return params;
        }
    }
    throw std::invalid_argument("unknown profile: " + name);
}

}  // namespace molvane
