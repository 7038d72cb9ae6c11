// White-box access to a TemplateTracker's private state, for unit tests that set up an
// engine by hand before calling one of its measurements.
#pragma once

#include "engine/template_tracker.hpp"

namespace molvane {

struct TemplateTrackerProbe {
    TemplateTracker& t;

    TrackerParams& config() { return t.config_; }
    EngineMotionState& state() { return t.state_; }
    bool& initialized() { return t.initialized_; }
    int& polarity() { return t.polarity_; }
    bool& extendedTarget() { return t.extendedTarget_; }
    cv::Size& seedSize() { return t.seedSize_; }
    std::vector<cv::Rect2f>& blockedRegions() { return t.blockedRegions_; }
    std::optional<cv::Size2f>& referenceSize() { return t.referenceSize_; }
    bool& multiTarget() { return t.multiTarget_; }
    bool& proposalActive() { return t.proposalActive_; }
    LearningRecord& learning() { return t.learning_; }
    cv::Mat& templ() { return t.template_; }
    cv::Mat& halfTemplate() { return t.halfTemplate_; }
    cv::Mat& anchorTemplate() { return t.anchorTemplate_; }
    cv::Mat& colourPatch() { return t.colourPatch_; }
    cv::Mat& labPatch() { return t.labPatch_; }
    std::vector<cv::Mat>& labChannels() { return t.labChannels_; }
    cv::Mat& previousFrame() { return t.previousFrame_; }
    CorrelatorBank& correlators() { return t.correlators_; }
    cv::Mat& morphKernel() { return t.morphKernel_; }
    cv::Mat& boundaryKernel() { return t.boundaryKernel_; }
    int& boundaryKernelSize() { return t.boundaryKernelSize_; }

    TrackStep reacquireOrMiss(const cv::Mat& frame, const cv::Mat& grey, Reason reason, double dt) {
        return t.reacquireOrMiss(frame, grey, reason, dt);
    }
    void applyLearning(const cv::Mat& frame, const cv::Mat& grey, const LearningRecord& record) {
        t.applyLearning(frame, grey, record);
    }
    std::optional<Measurement> searchForegroundBox(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m,
                                                   cv::Point2f predicted, bool multiTarget) {
        return t.searchForegroundBox(frame, grey, m, predicted, multiTarget);
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
