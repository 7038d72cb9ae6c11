// How much an image region still looks like the target: normalised correlation of the
// grey patch against a stored template, optionally mixed with a colour comparison.
#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "engine/geometry.hpp"
#include "engine/template_tracker.hpp"

namespace molvane {

namespace {

double clampUnit(double v) { return std::clamp(v, -1.0, 1.0); }

// Normalised correlation means nothing against a (near-)flat image: against a constant
// reference it scores every patch 1, and a constant patch scores 0 against anything. Below
// this standard deviation (grey levels, in every channel) the mean absolute difference
// decides instead.
constexpr double kFlatStdDev = 0.5;

// Per-channel variance by hand: a plain pass over small 8-bit patches, with nothing to
// allocate.
bool nearlyFlat(const cv::Mat& image) {
    const int cn = image.channels();
    if (image.depth() != CV_8U || cn > 4 || image.empty()) return false;
    double sum[4] = {0, 0, 0, 0}, sq[4] = {0, 0, 0, 0};
    for (int y = 0; y < image.rows; ++y) {
        const uchar* row = image.ptr<uchar>(y);
        for (int x = 0; x < image.cols; ++x) {
            for (int c = 0; c < cn; ++c) {
                const double v = row[x * cn + c];
                sum[c] += v;
                sq[c] += v * v;
            }
        }
    }
    const double n = static_cast<double>(image.rows) * image.cols;
    for (int c = 0; c < cn; ++c) {
        const double mean = sum[c] / n;
        if (sq[c] / n - mean * mean >= kFlatStdDev * kFlatStdDev) return false;
    }
    return true;
}

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
    double s = 0.0;
    const bool flat = nearlyFlat(patch) || nearlyFlat(reference);
    if (!flat) {
        cv::matchTemplate(patch, reference, simResult_, cv::TM_CCOEFF_NORMED);
        s = static_cast<double>(simResult_.at<float>(0, 0));
    }
    if (flat || !std::isfinite(s)) {
        cv::absdiff(patch, reference, simDiff_);
        s = 1.0 - cv::mean(simDiff_)[0] / 255.0;
    }
    return clampUnit(s);
}

double TemplateTracker::colourSimilarity(const cv::Mat& frame, const cv::Rect& box) {
    constexpr double kIncomparable = std::numeric_limits<double>::quiet_NaN();
    if (frame.channels() < 3 || colourPatch_.empty() || labPatch_.empty() || labChannels_.size() < 3) {
        return kIncomparable;
    }
    if (frame.depth() != CV_8U || colourPatch_.channels() < 3) return kIncomparable;
    const cv::Rect r = insideImage(box, frame);
    if (r.empty()) return kIncomparable;

    cv::Mat patch = frame(r);
    if (patch.channels() != colourPatch_.channels()) {
        // A four-channel frame against a three-channel model: drop the extra channel.
        if (patch.channels() != 4 || colourPatch_.channels() != 3) return kIncomparable;
        cv::cvtColor(patch, simColourDiff_, cv::COLOR_BGRA2BGR);
        patch = simColourDiff_;
    }
    if (patch.size() != colourPatch_.size()) {
        cv::resize(patch, simColourPatch_, colourPatch_.size(), 0.0, 0.0, cv::INTER_AREA);
        patch = simColourPatch_;
    }

    double c1 = 0.0;
    const bool flat = nearlyFlat(patch) || nearlyFlat(colourPatch_);
    if (!flat) {
        cv::matchTemplate(patch, colourPatch_, simResult_, cv::TM_CCOEFF_NORMED);
        c1 = static_cast<double>(simResult_.at<float>(0, 0));
    }
    if (flat || !std::isfinite(c1)) {
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
        return kIncomparable;  // the Lab copy does not belong to this colour patch
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
    const double c = colourSimilarity(frame, box);
    // Colour that cannot be compared (the frame changed its channel count since the lock)
    // says nothing, so grey alone decides.
    if (!std::isfinite(c)) return g;
    return clampUnit(0.55 * g + 0.45 * c);
}

double TemplateTracker::anchorSimilarity(const cv::Mat& grey, const cv::Rect& box) {
    return greySimilarity(grey, box, anchorTemplate_);
}

}  // namespace molvane
