// The mean of an 8-bit image over a square box around each pixel, exactly as cv::blur
// computes it (with its default reflect-101 border), but with scratch buffers of its own so
// that the per-frame path allocates nothing, and with the vertical sums done first so that
// only one pass of running sums per output row is sequential.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace molvane {

class BoxBlur {
public:
    // Writes the blur of `src` (8-bit, any channel count, usually a view into a larger
    // frame) into `out`. As with cv::blur, a box reaching beyond `src` reads the frame
    // around it where the frame exists and is reflected only at the frame's edge. `ksize`
    // is odd.
    void apply(const cv::Mat& src, int ksize, cv::Mat& out);

private:
    std::vector<int> columnSums_;             // per extended column and channel: sum over the box's rows
    std::vector<int> boxSums_;                // per output column and channel: sum over the box
    std::vector<int> columnSource_;           // per extended column: the frame column it reads
    std::vector<const unsigned char*> rows_;  // per extended row: the frame row it reads
};

}  // namespace molvane
