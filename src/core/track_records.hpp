// The small records every engine step produces or consumes: the candidate of an image
// measurement, the pending model update, the step result and the per-target result.
#pragma once

#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

#include "core/motion_state.hpp"
#include "core/reasons.hpp"

namespace molvane {

// Where a target stands after a step. The values are those Python has always seen.
enum class TrackState : int32_t { kTentative = 0, kConfirmed = 1, kLost = 2 };

// What every image measurement returns. A measurement that finds nothing leaves `found`
// false; its other fields are then meaningless.
struct Measurement {
    cv::Rect box;
    cv::Point2f center;
    double targetScore = 0.0;
    double candidateScore = 0.0;
    double confidence = 0.0;
    Reason reason = Reason::kNone;
    double peakPsr = 0.0;
    double peakAmbiguity = 1.0;
    bool hasPeakStats = false;
    double correlationPsr = 0.0;
    bool touchesSearchEdge = false;  // the find reaches the edge of the window searched (it may go on)
    bool found = false;
};

// A measurement that found something, with the fields every cue sets.
inline Measurement foundMeasurement(const cv::Rect& box, cv::Point2f center, double targetScore, double candidateScore,
                                    double confidence, Reason reason) {
    Measurement m;
    m.box = box;
    m.center = center;
    m.targetScore = targetScore;
    m.candidateScore = candidateScore;
    m.confidence = confidence;
    m.reason = reason;
    m.found = true;
    return m;
}

// The model update an applied measurement asks for; it runs when the step is committed.
struct LearningRecord {
    bool present = false;
    bool appearanceAllowed = false;
    bool reacquired = false;
    bool confirmed = false;
    bool positionUpdated = false;
    double confidence = 0.0;
    double peakRatio = 0.0;
    cv::Point2f center;
    cv::Point2f displacement;
    cv::Point2f velocity;
    bool hasGeometry = false;
    cv::Rect2f geometryBox;
    double geometryConfidence = 0.0;
    Reason source = Reason::kNone;

    void clear() { *this = LearningRecord(); }
};

struct TrackStep {
    int32_t targetId = 1;
    TrackState state = TrackState::kLost;
    float x = 0.f, y = 0.f, w = 0.f, h = 0.f;
    float cx = 0.f, cy = 0.f;
    float vx = 0.f, vy = 0.f;
    float speed = 0.f;
    int32_t age = 0;
    int32_t hits = 0;
    int32_t misses = 0;
};

// The engine's judgement of a step, reported beside its geometry.
struct StepScores {
    float target_score = 0.f;
    float target_candidate_score = 0.f;
    float confidence = 0.f;
    Reason reason = Reason::kNone;
};

// What the multi-target arbitration reports about a target's step; a single-target
// tracker leaves all of it clear.
struct ArbitrationReport {
    bool suppressed = false;
    int32_t suppressed_by_id = 0;
    float anchor_appearance = 0.f;
    bool interacting = false;
    bool model_learning_suppressed = false;
    bool geometry_update_suppressed = false;
    bool geometry_ownership_constrained = false;
    float geometry_confidence = 0.f;
    bool prediction_only = false;
};

// One target's result for one frame, as Python sees it: the step, the engine's scores and
// the arbitration's report (the frame array is kept by the binding next to this record).
// Python's `state`, `lost` and `reason` are read from the step and the scores.
struct TrackResult {
    int32_t frame = 0;
    TrackStep step;
    StepScores scores;
    ArbitrationReport report;

    bool lost() const { return step.state == TrackState::kLost; }
};

// The one place a step's scores are made: the engine's scores and reason in `after`, the
// state a step left behind (a committed engine's state, or a proposal's state after).
StepScores stepScores(const EngineMotionState& after);

// The one place a result record is made, for single and multi-target tracking alike, from
// a step, its scores (stepScores) and, for a multi-target lock, the arbitration's report.
// `frame` is left 0: the caller numbers frames.
TrackResult makeTrackResult(const TrackStep& step, const StepScores& scores, const ArbitrationReport& report = {});

// "confirmed", "lost", "tentative", or "unknown" for any other value.
const char* stateName(TrackState state);

}  // namespace molvane
