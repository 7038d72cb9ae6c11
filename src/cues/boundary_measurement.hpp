// Boundary measurement: the extent of a large or structured target from its local contrast
// outline. Gaps in the outline are closed with an element scaled to the target, and the
// fragments of the best contour are merged into one box.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "cues/appearance_scorer.hpp"
#include "cues/blob_candidate.hpp"
#include "cues/contour_tracing.hpp"
#include "cues/cue_context.hpp"
#include "cues/local_contrast_map.hpp"
#include "cues/morphology.hpp"

namespace molvane {

class BoundaryMeasurement {
public:
    explicit BoundaryMeasurement(AppearanceScorer& scorer) : scorer_(scorer) {}

    // The outline inside `searchRect` of a target of about `expectedSize` whose centre lies
    // within `gateRadius` (at least 8) of `expectedCenter`. With `speedGate` the result must
    // also lie within the speed gate of the engine's centre.
    Measurement measure(const CueContext& ctx, const cv::Mat& colourFrame, const cv::Mat& grey,
                        const cv::Rect& searchRect, cv::Size expectedSize, double gateRadius, double dtSeconds,
                        cv::Point2f expectedCenter, bool speedGate);
    // The outline of the target that `box` (inside the frame, not empty) roughly covers:
    // searched in a window grown by max(12, 0.35 x its long side), gated by that side.
    Measurement fitOutline(const CueContext& ctx, const cv::Mat& colourFrame, const cv::Mat& grey, const cv::Rect& box,
                           cv::Point2f center);

    // Side of the closing element last used, and that element (each size built once).
    int elementSize() const { return elementSize_; }
    const cv::Mat& element() const { return elements_[static_cast<std::size_t>(elementSize_)]; }

private:
    AppearanceScorer& scorer_;
    LocalContrastMap contrastMap_;
    std::vector<cv::Mat> elements_{1};  // by side
    int elementSize_ = 0;
    Morphology morphology_;  // closes binary_ with the element
    cv::Mat map_, binary_, fill_, merged_;
    ContourList contours_;
    ContourTracer tracer_;  // finds and fills contours_
    std::vector<BlobCandidate> candidates_;
};

}  // namespace molvane
