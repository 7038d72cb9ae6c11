// Contrast detection: every compact contour of the thresholded local contrast map is a
// hypothesis for the target. Each one is re-measured as a foreground blob in a box of the
// expected size and ranked by distance, appearance, strength, size and isolation.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "cues/appearance_scorer.hpp"
#include "cues/blob_candidate.hpp"
#include "cues/contour_tracing.hpp"
#include "cues/cue_context.hpp"
#include "cues/foreground_measurement.hpp"
#include "cues/local_contrast_map.hpp"

namespace molvane {

class ContrastDetection {
public:
    ContrastDetection(ForegroundMeasurement& foreground, AppearanceScorer& scorer);

    // The best hypothesis in `searchRect` grown by `margin` (the whole frame with
    // `fullFrame`), for a target of the proposal's reference size (else the engine's box
    // size). `polarity` selects the contrast sign (0: either); `speedGate` drops hypotheses
    // beyond the speed gate of the engine's centre.
    Measurement detect(const CueContext& ctx, const cv::Mat& colourFrame, const cv::Mat& grey,
                       const cv::Rect& searchRect, int margin, double dtSeconds, int polarity, bool speedGate,
                       bool fullFrame);

private:
    ForegroundMeasurement& foreground_;
    AppearanceScorer& scorer_;
    LocalContrastMap contrastMap_;
    cv::Mat kernel_;  // 3 x 3 elliptic closing element
    cv::Mat map_, binary_, fill_, morph_;
    std::vector<unsigned char> mapStore_, binaryStore_, morphStore_;  // pixels of map_, binary_, morph_; only grown
    ContourList contours_;
    ContourTracer tracer_;  // finds and fills contours_
};

}  // namespace molvane
