// How strongly a box stands out from a ring of surroundings: the brightest and darkest
// pixel of the box against the ring's mean. Used to find a seed's contrast polarity and to
// tell whether a tracked box still stands out like the seed did.
#pragma once

#include <opencv2/core.hpp>

namespace molvane {

struct RingContrast {
    double bright = 0.0;       // box maximum minus ring mean
    double dark = 0.0;         // ring mean minus box minimum
    long long ringPixels = 0;  // pixels of the window outside the box
    long long windowArea = 0;  // pixels of the whole window (box included)
    double ringMean = 0.0;     // mean grey level of the ring
    double ringSd = 0.0;       // standard deviation of the ring's grey levels
};

// `box` must lie inside the 8-bit single-channel `grey`. The ring is the box grown by
// max(8, 0.45 x its longer side), clipped to the frame. Computed by hand, so nothing is
// allocated; without ring pixels bright and dark are 0.
RingContrast ringContrast(const cv::Mat& grey, const cv::Rect& box);

}  // namespace molvane
