#include "engine/track_records.hpp"

namespace molvane {

const char* stateName(int32_t state) {
    switch (state) {
        case kConfirmed: return "confirmed";
        case kLost: return "lost";
        case kTentative: return "tentative";
        default: return "unknown";
    }
}

TrackResult makeTrackResult(const TrackStep& step, const StepScores& scores, const ArbitrationReport& report) {
    TrackResult r;
    r.lost = step.state == kLost;
    r.id = step.targetId;
    r.state = stateName(step.state);
    r.cx = step.cx;
    r.cy = step.cy;
    r.bbox_x = step.x;
    r.bbox_y = step.y;
    r.bbox_w = step.w;
    r.bbox_h = step.h;
    r.hits = step.hits;
    r.misses = step.misses;
    r.target_score = scores.target_score;
    r.target_candidate_score = scores.target_candidate_score;
    r.confidence = scores.confidence;
    r.speed = step.speed;
    r.reason = reasonText(scores.reason);
    r.suppressed = report.suppressed;
    r.suppressed_by_id = report.suppressed_by_id;
    r.anchor_appearance = report.anchor_appearance;
    r.interacting = report.interacting;
    r.model_learning_suppressed = report.model_learning_suppressed;
    r.geometry_update_suppressed = report.geometry_update_suppressed;
    r.geometry_ownership_constrained = report.geometry_ownership_constrained;
    r.geometry_confidence = report.geometry_confidence;
    r.prediction_only = report.prediction_only;
    return r;
}

}  // namespace molvane
