// Motion measurement: blobs of change between the previous committed frame and this one,
// inside the search window, ranked by distance to the prediction, appearance and size.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "cues/appearance_scorer.hpp"
#include "cues/contour_tracing.hpp"
#include "cues/cue_context.hpp"
#include "cues/foreground_measurement.hpp"

namespace molvane {

class MotionMeasurement {
public:
    MotionMeasurement(ForegroundMeasurement& foreground, AppearanceScorer& scorer);

    // The best blob of change in `predictedBox` grown by `searchRadius`, against the
    // model's previous frame (nothing without one of the same size and type).
    Measurement measure(const CueContext& ctx, const cv::Mat& frame, const cv::Mat& grey, const cv::Rect& predictedBox,
                        cv::Point2f predictedCenter, int searchRadius, double dtSeconds);

private:
    ForegroundMeasurement& foreground_;
    AppearanceScorer& scorer_;
    cv::Mat kernel_;  // 3 x 3 elliptic opening and closing element
    cv::Mat diff_, mask_, morph_;
    std::vector<std::vector<cv::Point>> contours_;
    ContourTracer tracer_;  // finds and fills contours_
    std::vector<Measurement> candidates_;
};

}  // namespace molvane
