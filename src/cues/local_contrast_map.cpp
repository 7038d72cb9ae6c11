#include "cues/local_contrast_map.hpp"

#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "cues/resample.hpp"
#include "cues/cue_tuning.hpp"
#include "core/geometry.hpp"

namespace molvane {

namespace {

// Largest box size whose pixel count still fits an int inside the box filter.
constexpr int kMaxBoxSize = 46339;

int backgroundBoxSize(int kernel) {
    return std::min(std::max(kernel | 1, cue_tuning::local_contrast::kMinBackgroundBox), kMaxBoxSize);
}

}  // namespace

void LocalContrastMap::compute(bool useColourContrast, const cv::Mat& colourFrame, const cv::Mat& grey,
                               const cv::Rect& rect, int kernel, int polarity, cv::Mat& out) {
    const cv::Rect r = clipToFrame(rect.x, rect.y, rect.width, rect.height, grey.cols, grey.rows);
    if (r.empty()) {
        out.release();
        return;
    }
    const int box = backgroundBoxSize(kernel);
    const bool useColour = useColourContrast && colourFrame.channels() >= 3 && colourFrame.size() == grey.size() &&
                           colourFrame.depth() == CV_8U;

    // The box filter reads the frame around the rectangle where it exists (the rectangle is a
    // view into the frame) and reflects only at the frame edge. Polarity-free with colour,
    // the grey frame does not contribute at all.
    if (polarity != 0 || !useColour) {
        const cv::Mat roi = grey(r);
        fitScratch(blur_, blurStore_, r.size(), roi.type());
        boxBlur_.apply(roi, box, blur_);
        // The rings of a sky search and the windows of the boundary cue change size from
        // call to call: the map keeps room for the largest so far.
        fitWithCapacity(out, r.size(), CV_8UC1);
        signedDifference(roi, blur_, polarity, out);
    }
    if (!useColour) return;

    const cv::Mat croi = colourFrame(r);
    fitWithCapacity(colourBlur_, r.size(), croi.type());
    boxBlur_.apply(croi, box, colourBlur_);
    fitWithCapacity(colourDiff_, r.size(), croi.type());
    cv::absdiff(croi, colourBlur_, colourDiff_);
    // Only the first three channels count (a fourth one is alpha).
    if (channels_.size() < 3) channels_.resize(3);
    for (int i = 0; i < 3; ++i) fitWithCapacity(channels_[static_cast<size_t>(i)], r.size(), CV_8UC1);
    const int fromTo[] = {0, 0, 1, 1, 2, 2};
    cv::mixChannels(&colourDiff_, 1, channels_.data(), 3, fromTo, 3);
    cv::max(channels_[0], channels_[1], channels_[0]);
    if (polarity == 0) {
        fitWithCapacity(out, r.size(), CV_8UC1);
        cv::max(channels_[0], channels_[2], out);
    } else {
        cv::max(channels_[0], channels_[2], channels_[0]);
        cv::max(out, channels_[0], out);
    }
}

}  // namespace molvane
