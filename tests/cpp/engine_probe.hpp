// White-box access to a TargetEngine's state machine, for unit tests that set up an
// engine by hand before driving one of its steps.
#pragma once

#include "engine/target_engine.hpp"

namespace molvane {

struct TargetEngineProbe {
    TargetEngine& t;

    TrackerParams& config() { return t.config_; }
    EngineMotionState& state() { return t.state_; }
    TargetModel& model() { return t.model_; }
    CorrelatorBank& correlators() { return t.correlators_; }
    ProposalInputs& inputs() { return t.inputs_; }
    LearningRecord& learning() { return t.learning_; }
    bool& initialized() { return t.initialized_; }
    bool& proposalActive() { return t.proposalActive_; }

    TrackStep reacquireOrMiss(const cv::Mat& frame, const cv::Mat& grey, Reason reason, double dt) {
        return t.reacquireOrMiss(frame, grey, reason, dt);
    }
    void applyLearning(const cv::Mat& frame, const cv::Mat& grey, const LearningRecord& record) {
        t.applyLearning(frame, grey, record);
    }
    bool isBlocked(const Measurement& m) { return t.isBlocked(m); }
    bool isAcceptable(const Measurement& m) { return t.isAcceptable(m); }
    TrackStep accept(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m, double dt) {
        return t.accept(frame, grey, m, dt);
    }
    void applyMeasurement(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m, bool reacquired,
                          bool confirmed, double dt) {
        t.applyMeasurement(frame, grey, m, reacquired, confirmed, dt);
    }
};

}  // namespace molvane
