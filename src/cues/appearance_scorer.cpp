#include "cues/appearance_scorer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "cues/cue_weights.hpp"
#include "cues/lab_conversion.hpp"
#include "cues/resample.hpp"
#include "core/geometry.hpp"

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

// The normalised correlation coefficient of two same-size 8-bit patches of up to four
// channels, each channel's own mean removed and the channels pooled: what
// cv::matchTemplate's TM_CCOEFF_NORMED gives at its one position, from integer sums
// without its transform path and its allocations. NaN when either patch has no spread.
double sameSizeCorrelation(const cv::Mat& a, const cv::Mat& b) {
    const int cn = a.channels();
    long long sa[4] = {0, 0, 0, 0}, sb[4] = {0, 0, 0, 0};
    long long saa = 0, sbb = 0, sab = 0;
    for (int y = 0; y < a.rows; ++y) {
        const uchar* pa = a.ptr<uchar>(y);
        const uchar* pb = b.ptr<uchar>(y);
        for (int x = 0; x < a.cols; ++x) {
            for (int c = 0; c < cn; ++c) {
                const int va = pa[x * cn + c], vb = pb[x * cn + c];
                sa[c] += va;
                sb[c] += vb;
                saa += va * va;
                sbb += vb * vb;
                sab += va * vb;
            }
        }
    }
    const double n = static_cast<double>(a.rows) * a.cols;
    double num = static_cast<double>(sab), da = static_cast<double>(saa), db = static_cast<double>(sbb);
    for (int c = 0; c < cn; ++c) {
        num -= static_cast<double>(sa[c]) * static_cast<double>(sb[c]) / n;
        da -= static_cast<double>(sa[c]) * static_cast<double>(sa[c]) / n;
        db -= static_cast<double>(sb[c]) * static_cast<double>(sb[c]) / n;
    }
    const double den = std::sqrt(std::max(da, 0.0) * std::max(db, 0.0));
    return den > 0.0 ? num / den : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

double AppearanceScorer::correlateOrCompare(const cv::Mat& patch, const cv::Mat& reference) {
    double s = 0.0;
    const bool flat = nearlyFlat(patch) || nearlyFlat(reference);
    if (!flat) {
        if (patch.size() == reference.size() && patch.type() == reference.type() && patch.depth() == CV_8U &&
            patch.channels() <= 4) {
            s = sameSizeCorrelation(patch, reference);
        } else {
            cv::matchTemplate(patch, reference, result_, cv::TM_CCOEFF_NORMED);
            s = static_cast<double>(result_.at<float>(0, 0));
        }
    }
    if (flat || !std::isfinite(s)) {
        cv::absdiff(patch, reference, diff_);
        const cv::Scalar m = cv::mean(diff_);
        s = patch.channels() == 1 ? 1.0 - m[0] / 255.0 : 1.0 - (m[0] + m[1] + m[2]) / 765.0;
    }
    return s;
}

double AppearanceScorer::greySimilarity(const cv::Mat& grey, const cv::Rect& box, const cv::Mat& reference) {
    if (reference.empty()) return 0.0;
    const cv::Rect r = insideImage(box, grey);
    if (r.empty() || grey.type() != reference.type()) return 0.0;

    cv::Mat patch = grey(r);
    if (patch.size() != reference.size()) {
        fitScratch(patch_, patchStore_, reference.size(), patch.type());
        resizeInto(patch, patch_, reference.size(), cv::INTER_AREA);
        patch = patch_;
    }
    return clampUnit(correlateOrCompare(patch, reference));
}

double AppearanceScorer::colourSimilarity(const TargetModel& model, const cv::Mat& frame, const cv::Rect& box) {
    constexpr double kIncomparable = std::numeric_limits<double>::quiet_NaN();
    if (frame.channels() < 3 || model.colourPatch.empty() || model.labPatch.empty() || model.labChannels.size() < 3) {
        return kIncomparable;
    }
    if (frame.depth() != CV_8U || model.colourPatch.channels() < 3) return kIncomparable;
    const cv::Rect r = insideImage(box, frame);
    if (r.empty()) return kIncomparable;

    cv::Mat patch = frame(r);
    if (patch.channels() != model.colourPatch.channels()) {
        // A four-channel frame against a three-channel model: drop the extra channel.
        if (patch.channels() != 4 || model.colourPatch.channels() != 3) return kIncomparable;
        cv::cvtColor(patch, colourDiff_, cv::COLOR_BGRA2BGR);
        patch = colourDiff_;
    }
    if (patch.size() != model.colourPatch.size()) {
        resizeInto(patch, colourPatch_, model.colourPatch.size(), cv::INTER_AREA);
        patch = colourPatch_;
    }

    const double c1 = correlateOrCompare(patch, model.colourPatch);

    bgrToLab(patch, lab_);
    splitChannels(lab_, labChannels_);
    const cv::Mat& aRef = model.labChannels[1];
    const cv::Mat& bRef = model.labChannels[2];
    if (aRef.size() != patch.size() || bRef.size() != patch.size() || aRef.type() != labChannels_[1].type() ||
        bRef.type() != labChannels_[2].type()) {
        return kIncomparable;  // the Lab copy does not belong to this colour patch
    }
    cv::absdiff(labChannels_[1], aRef, diff_);
    const double da = cv::mean(diff_)[0];
    cv::absdiff(labChannels_[2], bRef, diff_);
    const double db = cv::mean(diff_)[0];
    const double c2 = 1.0 - (da + db) * 0.5 / weights::kLabScale;

    return clampUnit(weights::kAppearanceShape * c1 + weights::kAppearanceColour * clampUnit(c2));
}

double AppearanceScorer::appearanceSimilarity(const TrackerParams& params, const TargetModel& model,
                                              const cv::Mat& frame, const cv::Mat& grey, const cv::Rect& box) {
    const double g = greySimilarity(grey, box, model.templ);
    // Colour only refines a region that already resembles the target in grey.
    if (g < 0.1 || !params.color_appearance || frame.channels() < 3 || model.colourPatch.empty() ||
        model.labPatch.empty()) {
        return g;
    }
    const double c = colourSimilarity(model, frame, box);
    // Colour that cannot be compared (the frame changed its channel count since the lock)
    // says nothing, so grey alone decides.
    if (!std::isfinite(c)) return g;
    return clampUnit(weights::kAppearanceShape * g + weights::kAppearanceColour * c);
}

}  // namespace molvane
