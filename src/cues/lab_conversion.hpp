// Blue-green-red to CIE Lab for 8-bit images, giving exactly what
// cv::cvtColor(..., COLOR_BGR2Lab) gives. OpenCV builds every one of its colour-space
// tables (interpolation grids for other conversions included) on the first Lab
// conversion of the process, over a billion instructions; the engine only converts small
// colour patches, so this builds just the two small tables the 8-bit conversion reads.
#pragma once

#include <opencv2/core.hpp>

namespace molvane {

// `bgr`: 8-bit, three channels (or four, the fourth ignored). `lab` becomes 8-bit, three
// channels, L scaled to 0..255 and a, b offset by 128, as OpenCV gives them.
void bgrToLab(const cv::Mat& bgr, cv::Mat& lab);

}  // namespace molvane
