#include "engine/grey_conversion.hpp"

#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"

namespace molvane {

void bgrToGrey(const cv::Mat& bgr, cv::Mat& grey) {
    if (bgr.empty() || bgr.depth() != CV_8U || (bgr.channels() != 3 && bgr.channels() != 4)) {
        throw std::invalid_argument("grey conversion needs a non-empty 8-bit frame of 3 or 4 channels");
    }
    if (grey.type() != CV_8UC1 || grey.size() != bgr.size()) {
        throw std::invalid_argument("grey conversion needs an 8-bit one-channel output of the frame's size");
    }
    const int code = bgr.channels() == 3 ? cv::COLOR_BGR2GRAY : cv::COLOR_BGRA2GRAY;
    // OpenCV gives a conversion of n pixels round(n / 2^16) stripes.
    inCallingThreadBands(bgr.rows, bgr.cols, [&](const cv::Range& rows) {
        cv::Mat band = grey.rowRange(rows);  // a view: the conversion writes in place
        cv::cvtColor(bgr.rowRange(rows), band, code);
    });
}

}  // namespace molvane
