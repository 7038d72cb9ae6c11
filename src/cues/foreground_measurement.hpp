// Foreground blob measurement: model the sky from a ring of pixels around the search
// rectangle, threshold what differs from it, and return the box of the best blob together
// with the fragments that belong to it.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "cues/appearance_scorer.hpp"
#include "cues/blob_candidate.hpp"
#include "cues/contour_tracing.hpp"
#include "cues/cue_context.hpp"

namespace molvane {

class ForegroundMeasurement {
public:
    explicit ForegroundMeasurement(AppearanceScorer& scorer);

    // The blob around `expectedCenter` inside `searchRect`; `flag` is set when it touches
    // the edge of the region blobs may reach. Without `scoreAppearance` the result's
    // targetScore is left at 0 (for callers that only want its box).
    Measurement measure(const CueContext& ctx, const cv::Mat& colourFrame, const cv::Mat& grey,
                        const cv::Rect& searchRect, cv::Point2f expectedCenter, bool scoreAppearance = true);

private:
    AppearanceScorer& scorer_;
    cv::Mat kernel_;  // 3 x 3 elliptic element of the opening and closing
    cv::Mat ring_, diff_, colourDiff_, binary_, fill_, merged_, morph_;
    // Pixels of ring_, diff_, binary_, morph_ and merged_, only ever grown.
    std::vector<unsigned char> ringStore_, diffStore_, binaryStore_, morphStore_, mergedStore_;
    std::vector<cv::Mat> channels_{3};
    ContourList contours_;
    ContourTracer tracer_;  // finds and fills contours_
    std::vector<BlobCandidate> candidates_;
};

}  // namespace molvane
