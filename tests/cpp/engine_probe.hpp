// White-box access to a TargetEngine's state machine, for unit tests that set up an
// engine by hand before driving one of its steps.
#pragma once

#include "engine/target_engine.hpp"

namespace molvane {

struct TargetEngineProbe {
    TargetEngine& t;
    // Whether a piece of the pipeline driven through the probe ends like `update`: the
    // model update it asks for is applied and, on a find, the frame kept. When false it
    // ends like a proposal, which leaves both to its commit.
    bool commits = true;

    TrackerParams& config() { return t.config_; }
    // The committed state. The probe's steps start from it and leave their result in it.
    EngineMotionState& state() { return t.state_; }
    TargetModel& model() { return t.model_; }
    CorrelatorBank& correlators() { return t.correlators_; }
    // The inputs and the model update of the step being drafted.
    ProposalInputs& inputs() { return t.inputs_; }
    LearningRecord& learning() { return t.learning_; }
    bool& initialized() { return t.initialized_; }

    TrackStep reacquireOrMiss(const cv::Mat& frame, const cv::Mat& grey, Reason reason, double dt) {
        return asStep(frame, grey, [&] { return t.reacquireOrMiss(frame, grey, reason, dt); });
    }
    void applyLearning(const cv::Mat& frame, const cv::Mat& grey, const LearningRecord& record) {
        t.applyLearning(frame, grey, record);
    }
    bool isBlocked(const Measurement& m) { return t.isBlocked(m); }
    bool isAcceptable(const Measurement& m) {
        t.draft_ = t.state_;
        return t.isAcceptable(m);
    }
    TrackStep accept(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m, double dt) {
        return asStep(frame, grey, [&] { return t.accept(frame, grey, m, dt); });
    }
    void applyMeasurement(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m, bool reacquired,
                          bool confirmed, double dt) {
        asStep(frame, grey, [&] {
            t.applyMeasurement(frame, grey, m, reacquired, confirmed, dt);
            return TrackStep();
        });
    }

private:
    // Runs `piece` on a draft of the committed state and adopts the draft.
    template <class Piece>
    TrackStep asStep(const cv::Mat& frame, const cv::Mat& grey, Piece piece) {
        t.draft_ = t.state_;
        t.learning_.clear();
        const TrackStep step = piece();
        t.state_ = t.draft_;
        if (commits && t.learning_.present) {
            t.applyLearning(frame, grey, t.learning_);
            t.keepFrame(grey);
        }
        return step;
    }
};

}  // namespace molvane
