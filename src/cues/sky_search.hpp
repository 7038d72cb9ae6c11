// Lost-target search against sky: compact blobs brighter or darker than the local sky,
// looked for in rings of growing size around the last position.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "cues/appearance_scorer.hpp"
#include "cues/contour_tracing.hpp"
#include "cues/local_contrast_map.hpp"
#include "cues/cue_context.hpp"

namespace molvane {

class SkySearch {
public:
    explicit SkySearch(AppearanceScorer& scorer);

    // The best blob of the first ring that holds an acceptable one, for a target of the
    // proposal's reference size (else the engine's box size), within a speed gate that
    // widens with the square root of the misses. Blobs in blocked regions are no candidates.
    Measurement search(const CueContext& ctx, const cv::Mat& colourFrame, const cv::Mat& grey, double dtSeconds);

private:
    AppearanceScorer& scorer_;
    cv::Mat kernel_;  // 3 x 3 elliptic closing element
    LocalContrastMap contrastMap_;
    cv::Mat diff_, binary_, half_, patch_, bgr_, lab_, morph_;
    std::vector<cv::Mat> labChannels_{3};
    std::vector<std::vector<cv::Point>> contours_;
    ContourTracer tracer_;  // finds and fills contours_
};

}  // namespace molvane
