#include "engine/grey_frames.hpp"

#include <opencv2/imgproc.hpp>

#include "engine/grey_conversion.hpp"

namespace molvane {

namespace {

bool heldElsewhere(const cv::Mat& m) { return m.u != nullptr && m.u->refcount > 1; }

}  // namespace

cv::Mat& GreyFrames::freeBuffer(cv::Size size, int type) {
    cv::Mat* pick = nullptr;
    for (cv::Mat& b : buffers_) {
        if (heldElsewhere(b)) continue;
        // Prefer a buffer that already has the size, so that nothing is allocated.
        if (!pick || (b.size() == size && b.type() == type)) pick = &b;
    }
    if (!pick) {
        // Both are held (an update that failed half way leaves engines on different
        // frames): let go of one, its holders keep it alive.
        pick = &buffers_[next_];
        pick->release();
        next_ ^= 1;
    }
    pick->create(size, type);
    return *pick;
}

const cv::Mat& GreyFrames::greyOf(const cv::Mat& frame) {
    if (frame.channels() == 1) return frame;
    if (frame.empty() || (frame.channels() != 3 && frame.channels() != 4)) {
        // No grey image exists for these: OpenCV's conversion refuses them with its own
        // message, which is what the caller is told.
        cv::Mat refused;
        cv::cvtColor(frame, refused, cv::COLOR_BGR2GRAY);
    }
    cv::Mat& out = freeBuffer(frame.size(), CV_8UC1);
    bgrToGrey(frame, out);
    return out;
}

const cv::Mat& GreyFrames::keep(const cv::Mat& grey) {
    for (const cv::Mat& b : buffers_) {
        if (!b.empty() && b.data == grey.data && b.size() == grey.size() && b.type() == grey.type()) return b;
    }
    cv::Mat& out = freeBuffer(grey.size(), grey.type());
    grey.copyTo(out);
    return out;
}

}  // namespace molvane
