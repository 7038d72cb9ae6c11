// Blue-green-red (or blue-green-red-alpha) to grey, pixel for pixel what cv::cvtColor gives
// for 8-bit frames: the Rec. 601 weights in 15-bit fixed point, rounded. Done here rather
// than by OpenCV because OpenCV hands the rows to its thread pool, whose task records are
// allocated on the heap when its workers are busy elsewhere, and because one pass over a
// frame is cheaper than waking the pool for it.
#pragma once

#include <opencv2/core.hpp>

namespace molvane {

// Writes the grey image of `bgr` (CV_8UC3 or CV_8UC4, any row step) into `grey`, which must
// already be CV_8UC1 of the same size.
void bgrToGrey(const cv::Mat& bgr, cv::Mat& grey);

}  // namespace molvane
