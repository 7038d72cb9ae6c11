// How much an image region still looks like the target: normalised correlation of the
// grey patch against a stored template, optionally mixed with a colour comparison.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "engine/geometry.hpp"
#include "engine/template_tracker.hpp"

namespace molvane {

namespace {

double clampUnit(double v) { return std::clamp(v, -1.0, 1.0); }

// The part of `box` that lies inside `image`; callers pass boxes inside the frame, so
// this only guards against a stray box reaching outside.
cv::Rect insideImage(const cv::Rect& box, const cv::Mat& image) {
    return clipToFrame(box.x, box.y, box.width, box.height, image.cols, image.rows);
}

}  // namespace

double TemplateTracker::greySimilarity(const cv::Mat& grey, const cv::Rect& box, const cv::Mat& reference) {
    if (reference.empty()) return 0.0;
    const cv::Rect r = insideImage(box, grey);
    if (r.empty() || grey.type() != reference.type()) return 0.0;

    cv::Mat patch = grey(r);
    if (patch.size() != reference.size()) {
        cv::resize(patch, simPatch_, reference.size(), 0.0, 0.0, cv::INTER_AREA);
        patch = simPatch_;
    }
    cv::matchTemplate(patch, reference, simResult_, cv::TM_CCOEFF_NORMED);
    double s = static_cast<double>(simResult_.at<float>(0, 0));
    if (!std::isfinite(s)) {
        // A flat patch has no correlation; fall back on the mean absolute difference.
        cv::absdiff(patch, reference, simDiff_);
        s = 1.0 - cv::mean(simDiff_)[0] / 255.0;
    }
    return clampUnit(s);
}

double TemplateTracker::colourSimilarity(const cv::Mat& frame, const cv::Rect& box) {
    if (frame.channels() < 3 || colourPatch_.empty() || labPatch_.empty() || labChannels_.size() < 3) return 0.0;
    if (frame.depth() != CV_8U || colourPatch_.channels() < 3) return 0.0;
    const cv::Rect r = insideImage(box, frame);
    if (r.empty()) return 0.0;

    cv::Mat patch = frame(r);
    if (patch.channels() != colourPatch_.channels()) {
        // A four-channel frame against a three-channel model: drop the extra channel.
        if (patch.channels() != 4 || colourPatch_.channels() != 3) return 0.0;
        cv::cvtColor(patch, simColourDiff_, cv::COLOR_BGRA2BGR);
        patch = simColourDiff_;
    }
    if (patch.size() != colourPatch_.size()) {
        cv::resize(patch, simColourPatch_, colourPatch_.size(), 0.0, 0.0, cv::INTER_AREA);
        patch = simColourPatch_;
    }

    cv::matchTemplate(patch, colourPatch_, simResult_, cv::TM_CCOEFF_NORMED);
    double c1 = static_cast<double>(simResult_.at<float>(0, 0));
    if (!std::isfinite(c1)) {
        cv::absdiff(patch, colourPatch_, simDiff_);
        const cv::Scalar m = cv::mean(simDiff_);
        c1 = 1.0 - (m[0] + m[1] + m[2]) / 765.0;
    }

    cv::cvtColor(patch, simLab_, cv::COLOR_BGR2Lab);
    splitChannels(simLab_, simLabChannels_);
    const cv::Mat& aRef = labChannels_[1];
    const cv::Mat& bRef = labChannels_[2];
    if (aRef.size() != patch.size() || bRef.size() != patch.size() || aRef.type() != simLabChannels_[1].type() ||
        bRef.type() != simLabChannels_[2].type()) {
        return 0.0;  // the Lab copy does not belong to this colour patch
    }
    cv::absdiff(simLabChannels_[1], aRef, simDiff_);
    const double da = cv::mean(simDiff_)[0];
    cv::absdiff(simLabChannels_[2], bRef, simDiff_);
    const double db = cv::mean(simDiff_)[0];
    const double c2 = 1.0 - (da + db) * 0.5 / 64.0;

    return clampUnit(0.55 * c1 + 0.45 * clampUnit(c2));
}

double TemplateTracker::appearanceSimilarity(const cv::Mat& frame, const cv::Mat& grey, const cv::Rect& box) {
    const double g = greySimilarity(grey, box, template_);
    // Colour only refines a region that already resembles the target in grey.
    if (g < 0.1 || !config_.color_appearance || frame.channels() < 3 || colourPatch_.empty() || labPatch_.empty()) {
        return g;
    }
    return clampUnit(0.55 * g + 0.45 * colourSimilarity(frame, box));
}

double TemplateTracker::anchorSimilarity(const cv::Mat& grey, const cv::Rect& box) {
    return greySimilarity(grey, box, anchorTemplate_);
}

}  // namespace molvane
