// How much an image region still looks like the target: normalised correlation of the
// grey patch against a stored template, optionally mixed with a colour comparison.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "config/tracker_params.hpp"
#include "core/target_model.hpp"

namespace molvane {

class AppearanceScorer {
public:
    // Similarity in [-1, 1] of `box` in `grey` to `reference` (resized to it); 0 when
    // there is no reference or the box lies outside the frame.
    double greySimilarity(const cv::Mat& grey, const cv::Rect& box, const cv::Mat& reference);
    // Similarity of `box` in a colour frame to the model's colour patch (shape and Lab
    // colour); NaN when the two cannot be compared.
    double colourSimilarity(const TargetModel& model, const cv::Mat& frame, const cv::Rect& box);
    // Grey similarity to the learned template, refined by colour when it is switched on
    // and the region already resembles the target in grey.
    double appearanceSimilarity(const TrackerParams& params, const TargetModel& model, const cv::Mat& frame,
                                const cv::Mat& grey, const cv::Rect& box);

private:
    // Normalised correlation of two patches of the same size; for a (near-)flat one, the
    // mean absolute difference over the first three channels instead.
    double correlateOrCompare(const cv::Mat& patch, const cv::Mat& reference);

    cv::Mat patch_, result_, diff_, lab_;
    std::vector<unsigned char> patchStore_;  // pixels of patch_, only ever grown
    std::vector<cv::Mat> labChannels_;
    cv::Mat colourPatch_, colourDiff_;
};

}  // namespace molvane
