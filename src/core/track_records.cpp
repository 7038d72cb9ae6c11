#include "core/track_records.hpp"

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
    r.step = step;
    r.scores = scores;
    r.report = report;
    return r;
}

}  // namespace molvane
