// Template matching: normalized cross-correlation of the learned grey template around the
// prediction, refined by the blob or boundary cue, speed-gated and tested for peak sharpness.
#pragma once

#include <opencv2/core.hpp>

#include "cues/boundary_measurement.hpp"
#include "cues/cue_context.hpp"
#include "cues/foreground_measurement.hpp"
#include "cues/template_correlation.hpp"

namespace molvane {

// A template measurement plus the best score found and the reason to report when it failed.
struct TemplateResult : Measurement {
    double score = 0.0;
    Reason failReason = Reason::kNone;
};

class TemplateMatcher {
public:
    TemplateMatcher(ForegroundMeasurement& foreground, BoundaryMeasurement& boundary)
        : foreground_(foreground), boundary_(boundary) {}

    // The model's template matched in `predictedBox` grown by `searchRadius`.
    TemplateResult measure(const CueContext& ctx, const cv::Mat& frame, const cv::Mat& grey,
                           const cv::Rect& predictedBox, int searchRadius, double dtSeconds);

private:
    ForegroundMeasurement& foreground_;
    BoundaryMeasurement& boundary_;
    TemplateCorrelation correlation_;
    // Kept with room to grow (their sizes follow the search window and the template).
    cv::Mat halfWindow_, coarseMap_, fineMap_, fullMap_;
};

}  // namespace molvane
