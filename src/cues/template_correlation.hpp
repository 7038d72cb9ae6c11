// The normalised correlation of a grey template at every position of a grey image, the
// template cue's search: what cv::matchTemplate with TM_CCOEFF_NORMED computes, but summed
// directly in integers (window sums from running column sums) into kept buffers, instead
// of through its transform path with its few dozen allocations per call.
#pragma once

#include <vector>

#include <cstdint>

#include <opencv2/core.hpp>

namespace molvane {

class TemplateCorrelation {
public:
    // `result` becomes the (image.rows - templ.rows + 1) x (image.cols - templ.cols + 1)
    // CV_32F map of correlation coefficients in [-1, 1], both images 8-bit one-channel and
    // the template no larger than the image. As cv::matchTemplate has it: a flat template
    // scores 1 everywhere, a flat window 0. The coefficients are exact up to the final
    // rounding to float (the transform path's agree with them to about 1e-5). `result`
    // keeps its memory, with room to grow, from call to call; so do the sums.
    void compute(const cv::Mat& image, const cv::Mat& templ, cv::Mat& result);

private:
    std::vector<int> columnSum_, columnSquares_, rowProducts_;
    std::vector<long long> products_;
    std::vector<std::int32_t> pairs_;  // the template's pixels in pairs, four copies of each
    std::vector<short> wide_;          // the image in 16 bits, rows padded
};

}  // namespace molvane
