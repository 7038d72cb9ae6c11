#include "core/track_records.hpp"

namespace molvane {

const char* stateName(TrackState state) {
    switch (state) {
        case TrackState::kConfirmed: return "confirmed";
        case TrackState::kLost: return "lost";
        case TrackState::kTentative: return "tentative";
        default: return "unknown";
    }
}

TrackResult makeTrackResult(const TrackStep& step, const StepScores& scores, const ArbitrationReport& report) {
    TrackResult r;
    r.step = step;
    r.scores = scores;
    r.report = report;
    return r;
}

}  // namespace molvane
