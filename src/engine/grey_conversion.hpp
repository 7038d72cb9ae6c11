// Blue-green-red (or blue-green-red-alpha) to grey with OpenCV's own conversion, a band of
// rows at a time. OpenCV splits a conversion into stripes of about 2^16 pixels and hands
// them to its thread pool, whose task records are heap-allocated when its workers are busy
// elsewhere; a band no larger than one stripe runs on the calling thread, with the same
// vectorised code and the same pixels, and without waking the pool for a few hundred
// microseconds of work.
#pragma once

#include <opencv2/core.hpp>

namespace molvane {

// Writes the grey image of `bgr` (CV_8UC3 or CV_8UC4, any row step) into `grey`, which must
// already be CV_8UC1 of the same size.
void bgrToGrey(const cv::Mat& bgr, cv::Mat& grey);

}  // namespace molvane
