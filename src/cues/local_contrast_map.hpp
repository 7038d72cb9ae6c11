// Local contrast: how strongly each pixel of a rectangle stands out from a large box-blurred
// copy of its neighbourhood. Subtracting the blur removes the slow sky gradient and leaves
// compact targets.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "cues/box_blur.hpp"

namespace molvane {

class LocalContrastMap {
public:
    // Writes the map of `rect` (clipped to the frame; `out` is released when nothing is
    // left) into `out`, whose memory is kept for later calls once it has grown (a map of a
    // smaller rectangle reuses it). `kernel` sets the background box (odd, at least 15);
    // `polarity` +1 keeps what is brighter, -1 what is darker, 0 both. With `useColour` and a 3- or 4-channel 8-bit
    // frame the colour difference is added (polarity 0: it replaces grey).
    void compute(bool useColour, const cv::Mat& colourFrame, const cv::Mat& grey, const cv::Rect& rect, int kernel,
                 int polarity, cv::Mat& out);

private:
    BoxBlur boxBlur_;
    std::vector<unsigned char> blurStore_;  // pixels of blur_, only ever grown
    cv::Mat blur_, colourBlur_, colourDiff_;
    std::vector<cv::Mat> channels_{3};
};

}  // namespace molvane
