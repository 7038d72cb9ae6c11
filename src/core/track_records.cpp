#include "core/track_records.hpp"

namespace molvane {

const char* stateName(TrackState state) {
    switch (state) {
        case TrackState::kConfirmed:
            return "confirmed";
        case TrackState::kLost:
            return "lost";
        case TrackState::kTentative:
            return "tentative";
        default:
            return "unknown";
    }
}

StepScores stepScores(const EngineMotionState& after) {
    StepScores s;
    s.target_score = static_cast<float>(after.targetScore);
    s.target_candidate_score = static_cast<float>(after.candidateScore);
    s.confidence = static_cast<float>(after.confidence);
    s.reason = after.reason;
    return s;
}

TrackResult makeTrackResult(const TrackStep& step, const StepScores& scores, const ArbitrationReport& report) {
    TrackResult r;
    r.step = step;
    r.scores = scores;
    r.report = report;
    return r;
}

}  // namespace molvane
