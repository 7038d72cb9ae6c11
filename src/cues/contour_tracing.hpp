// The outer contours of a binary image, exactly as cv::findContours gives them with
// RETR_EXTERNAL and CHAIN_APPROX_SIMPLE (same points, same starting points, same order),
// and the filled shape of one. Unlike OpenCV, the tracer keeps its scratch and the
// contours' storage from call to call, so the per-frame path allocates nothing.
#pragma once

#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>

namespace molvane {

using ContourList = std::vector<std::vector<cv::Point>>;

class ContourTracer {
public:
    // Contours of the non-zero pixels of `binary` (8-bit, one channel) into `out`. The
    // point lists of `out` are reused; lists no longer needed are kept for later calls.
    void findOuter(const cv::Mat& binary, ContourList& out);
    // Sets to `value` the pixels of `image` that cv::fillPoly sets when it fills `contour`
    // (8-connected, no shift) at `offset`: the traced shape with its holes. `contour` is
    // one of the last call's.
    void fill(const std::vector<cv::Point>& contour, cv::Mat& image, unsigned char value, cv::Point offset);

private:
    void trace(signed char* start, cv::Point origin, std::vector<cv::Point>& points);

    std::vector<signed char> image_;  // the binary image with a one-pixel empty border
    int step_ = 0;
    std::vector<unsigned char> shape_;  // fill: the shape's box with an empty border
    std::vector<int> stack_;            // fill: pixels still to visit
    ContourList spare_;                 // point lists of earlier calls, kept for their storage
};

}  // namespace molvane
