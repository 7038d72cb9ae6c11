#include "cues/sky_search.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "cues/cue_tuning.hpp"
#include "cues/cue_weights.hpp"
#include "cues/lab_conversion.hpp"
#include "core/geometry.hpp"
#include "core/reasons.hpp"

namespace molvane {

namespace {

// Caps a caller-supplied expected size so that the rounding below stays defined; no
// frame is this large.
constexpr float kMaxExpectedSide = 1 << 20;

// Upper quartile of an 8-bit image, by its histogram.
double upperQuartile(const cv::Mat& map) {
    std::array<long long, 256> histogram{};
    for (int y = 0; y < map.rows; ++y) {
        const uchar* row = map.ptr<uchar>(y);
        for (int x = 0; x < map.cols; ++x) ++histogram[row[x]];
    }
    const long long rank = static_cast<long long>(map.total()) * 3 / 4;
    long long seen = 0;
    for (int v = 0; v < 256; ++v) {
        seen += histogram[static_cast<std::size_t>(v)];
        if (seen > rank) return v;
    }
    return 255.0;
}

int expectedSide(float v) { return std::max(static_cast<int>(std::lround(std::min(v, kMaxExpectedSide))), 2); }

}  // namespace

SkySearch::SkySearch(AppearanceScorer& scorer)
    : scorer_(scorer), kernel_(cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3))) {}

Measurement SkySearch::search(const CueContext& ctx, const cv::Mat& colourFrame, const cv::Mat& grey,
                              double dtSeconds) {
    using namespace cue_tuning::sky;
    const EngineMotionState& state = ctx.state;
    const TargetModel& model = ctx.model;
    const std::optional<cv::Size2f>& referenceSize = ctx.inputs.referenceSize;
    Measurement none;
    if (grey.empty()) return none;
    const int W = grey.cols;
    const int H = grey.rows;

    int w = state.box.width;
    int h = state.box.height;
    if (referenceSize && std::isfinite(referenceSize->width) && std::isfinite(referenceSize->height) &&
        referenceSize->width >= 2.f && referenceSize->height >= 2.f) {
        w = expectedSide(referenceSize->width);
        h = expectedSide(referenceSize->height);
    }
    if (w < 1 || h < 1) return none;

    const double A = static_cast<double>(w) * h;
    const double aspect = static_cast<double>(w) / h;
    const long long m = std::max(w, h);
    const long long dMax = std::max(W, H);
    const cv::Rect base = boxFromCenter(state.center.x, state.center.y, w, h, W, H);

    const cv::Point2f p(std::clamp(state.center.x, 0.f, static_cast<float>(W - 1)),
                        std::clamp(state.center.y, 0.f, static_cast<float>(H - 1)));
    const double gate = speedGateRadius(dtSeconds, ctx.params.max_speed, ctx.params.min_gate_radius) *
                        std::sqrt(static_cast<double>(std::max(state.misses, 1)));

    const bool colourModel = colourFrame.channels() > 1 && !model.labPatch.empty() && model.labChannels.size() >= 3;
    const cv::Mat& kernel = kernel_;

    // The neighbourhood a pixel is compared with: a few target sizes across (odd).
    const long long backgroundSide = std::min<long long>(std::max<long long>(kMinBackground, kBackgroundSides * m),
                                                         kMaxBackground);
    const int backgroundKernel = static_cast<int>(backgroundSide) | 1;
    for (long long R : {kNearRingSides * m, kFarRingSides * m, dMax / 2, dMax}) {
        const cv::Rect region = growAndClip(base, R, W, H);
        if (region.empty()) continue;
        // What stands out from its own neighbourhood: against the mean of the whole region,
        // the blue gaps between bright clouds would stand out as much as the target.
        contrastMap_.compute(false, colourFrame, grey, region, backgroundKernel, model.polarity, diff_);
        if (diff_.empty()) continue;
        // The sky's own level of local contrast, from the bulk of the region: a target
        // filling a good part of a small ring must not raise its own bar.
        const double threshold =
            std::max(kNoiseMultiple * upperQuartile(diff_), static_cast<double>(ctx.params.min_diff_threshold));
        cv::threshold(diff_, binary_, threshold, 255, cv::THRESH_BINARY);

        int k = 1;
        double s = 1.0;
        cv::Mat* binary = &binary_;
        if (region.width > kHalfResolutionSide || region.height > kHalfResolutionSide) {
            if (binary_.cols >= 2 && binary_.rows >= 2) {
                cv::resize(binary_, half_, cv::Size(), 0.5, 0.5, cv::INTER_NEAREST);
            } else {
                // A one-pixel side would shrink to nothing; keep it one pixel.
                cv::resize(binary_, half_, cv::Size(std::max(1, cvRound(binary_.cols * 0.5)),
                                                          std::max(1, cvRound(binary_.rows * 0.5))),
                           0, 0, cv::INTER_NEAREST);
            }
            binary = &half_;
            k = 2;
            s = 0.25;
        }
        openOrClose(*binary, cv::MORPH_CLOSE, kernel, morph_);
        tracer_.findOuter(*binary, contours_);

        double bestE = -1.0;
        double bestConfidence = -1.0;
        cv::Rect bestBox;
        cv::Point2f bestCentroid;
        double bestC = 0.0;
        const double areaLo = kMinAreaShare * A * s;
        const double areaHi = kMaxAreaShare * A * s;
        for (const auto& contour : contours_) {
            const double a = cv::contourArea(contour);
            if (a < areaLo || a > areaHi) continue;
            const cv::Rect br = cv::boundingRect(contour);
            if (br.width <= 0 || br.height <= 0) continue;
            const double r = static_cast<double>(br.width) / br.height;
            if (r / aspect > kMaxAspectChange || aspect / r > kMaxAspectChange) continue;
            const cv::Moments mo = cv::moments(contour);
            if (std::fabs(mo.m00) <= 1e-6) continue;
            const cv::Point2f centroid(static_cast<float>(mo.m10 / mo.m00 * k + region.x),
                                       static_cast<float>(mo.m01 / mo.m00 * k + region.y));
            if (distance(centroid, p) > gate) continue;
            // A target found again may have grown meanwhile (it came closer): its candidate
            // box then holds the whole blob.
            const int bw = std::max(w, static_cast<int>(std::min<long long>(static_cast<long long>(br.width) * k, W)));
            const int bh = std::max(h, static_cast<int>(std::min<long long>(static_cast<long long>(br.height) * k, H)));
            const cv::Rect candidate = boxFromCenter(centroid.x, centroid.y, bw, bh, W, H);
            // A blob another target owns is no candidate: two lost targets searching the
            // same stretch of sky would otherwise both settle on the nearer twin.
            if (ctx.inputs.blocks(candidate, centroid)) continue;
            // A target that moves is not what stands still (a cloud's edge it flew behind).
            const cv::Rect inside = intersect(candidate, cv::Rect(0, 0, W, H));
            if (!inside.empty() && ctx.model.previousFrame.size() == grey.size() &&
                ctx.model.previousFrame.type() == grey.type() &&
                ctx.state.presence.stillFor(meanAbsoluteChange(grey, ctx.model.previousFrame, inside))) {
                continue;
            }

            double c = weights::kSkyNeutralAgreement;
            double colourTerm = weights::kSkyNeutralColour;
            if (colourModel) {
                const cv::Rect crop = intersect(candidate, cv::Rect(0, 0, W, H));
                if (crop.empty()) {
                    c = 0.0;
                    colourTerm = 0.0;
                } else {
                    cv::Mat patch = colourFrame(crop);
                    if (patch.size() != model.labPatch.size()) {
                        cv::resize(patch, patch_, model.labPatch.size(), 0, 0, cv::INTER_AREA);
                        patch = patch_;
                    }
                    if (patch.channels() == 4) {
                        cv::cvtColor(patch, bgr_, cv::COLOR_BGRA2BGR);
                        patch = bgr_;
                    }
                    if (patch.channels() == 3) {
                        bgrToLab(patch, lab_);
                        splitChannels(lab_, labChannels_);
                        const double n = static_cast<double>(lab_.total());
                        const double d1 = cv::norm(labChannels_[1], model.labChannels[1], cv::NORM_L1) / n;
                        const double d2 = cv::norm(labChannels_[2], model.labChannels[2], cv::NORM_L1) / n;
                        c = std::clamp(1.0 - (d1 + d2) * 0.5 / weights::kLabScale, 0.0, 1.0);
                        colourTerm = weights::kSkyColour * c;
                    }
                }
            }

            const double as = A * s;
            const double t = as > 1.0 ? a / as : a;
            // Agreement of the areas on a log scale: the target may have come closer or gone
            // further since it was lost; a 4x change of side (16x of area) counts nothing.
            const double q = t > 0.0 ? 1.0 - std::fabs(std::log(t)) / std::log(kAreaRatioAtZero) : 0.0;
            const double sizeTerm = std::clamp(weights::kSkySize * q, 0.0, weights::kSkySize);
            const double e = sizeTerm + colourTerm;
            if (e < weights::kSkyMinScore) continue;
            // Every blob that could be the target is compared with it: the best-sized blob
            // of a ring is often a piece of cloud or a wire, and the target another.
            double confidence = e;
            if (!model.templ.empty()) {
                double d = scorer_.greySimilarity(grey, candidate, model.templ);
                if (!model.anchorTemplate.empty()) {
                    d = std::max(d, scorer_.greySimilarity(grey, candidate, model.anchorTemplate));
                }
                if (d < weights::kSkyMinSimilarity) continue;
                confidence = weights::kSkyTemplateShare * d + weights::kSkyTemplateShare * e;
            }
            if (confidence > bestConfidence) {
                bestConfidence = confidence;
                bestE = e;
                bestBox = candidate;
                bestCentroid = centroid;
                bestC = c;
            }
        }

        if (bestConfidence < 0.0) continue;  // no candidate in this ring
        return foundMeasurement(bestBox, bestCentroid, bestC, bestE, bestConfidence, Reason::kSkyReacquire);
    }
    return none;
}

}  // namespace molvane
