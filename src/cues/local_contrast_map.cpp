// Local contrast: how strongly each pixel of a rectangle stands out from a large box-blurred
// copy of its neighbourhood. Subtracting the blur removes the slow sky gradient and leaves
// compact targets.
#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "engine/geometry.hpp"
#include "engine/template_tracker.hpp"

namespace molvane {

namespace {

// Largest box size whose pixel count still fits an int inside the box filter.
constexpr int kMaxBoxSize = 46339;

int backgroundBoxSize(int kernel) { return std::min(std::max(kernel | 1, 15), kMaxBoxSize); }

}  // namespace

void TemplateTracker::localContrastMap(const cv::Mat& colourFrame, const cv::Mat& grey, const cv::Rect& rect,
                                       int kernel, int polarity, cv::Mat& out) {
    const cv::Rect r = clipToFrame(rect.x, rect.y, rect.width, rect.height, grey.cols, grey.rows);
    if (r.empty()) {
        out.release();
        return;
    }
    const cv::Size box(backgroundBoxSize(kernel), backgroundBoxSize(kernel));
    const bool useColour = config_.color_contrast && colourFrame.channels() >= 3 &&
                           colourFrame.size() == grey.size() && colourFrame.depth() == CV_8U;

    // The box filter reads the frame around the rectangle where it exists (the rectangle is a
    // view into the frame) and reflects only at the frame edge. Polarity-free with colour,
    // the grey frame does not contribute at all.
    if (polarity != 0 || !useColour) {
        const cv::Mat roi = grey(r);
        cv::blur(roi, mapBlur_, box);
        if (polarity > 0) {
            cv::subtract(roi, mapBlur_, out);
        } else if (polarity < 0) {
            cv::subtract(mapBlur_, roi, out);
        } else {
            cv::absdiff(roi, mapBlur_, out);
        }
    }
    if (!useColour) return;

    const cv::Mat croi = colourFrame(r);
    cv::blur(croi, mapColourBlur_, box);
    cv::absdiff(croi, mapColourBlur_, mapColourDiff_);
    // Only the first three channels count (a fourth one is alpha).
    if (channelScratch_.size() < 3) channelScratch_.resize(3);
    for (int i = 0; i < 3; ++i) channelScratch_[static_cast<size_t>(i)].create(r.size(), CV_8UC1);
    const int fromTo[] = {0, 0, 1, 1, 2, 2};
    cv::mixChannels(&mapColourDiff_, 1, channelScratch_.data(), 3, fromTo, 3);
    cv::max(channelScratch_[0], channelScratch_[1], channelScratch_[0]);
    if (polarity == 0) {
        cv::max(channelScratch_[0], channelScratch_[2], out);
    } else {
        cv::max(channelScratch_[0], channelScratch_[2], channelScratch_[0]);
        cv::max(out, channelScratch_[0], out);
    }
}

}  // namespace molvane
