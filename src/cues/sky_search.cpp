#include "cues/sky_search.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "cues/cue_tuning.hpp"
#include "cues/cue_weights.hpp"
#include "cues/lab_conversion.hpp"
#include "cues/resample.hpp"
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
    const int frameW = grey.cols;
    const int frameH = grey.rows;

    int w = state.box.width;
    int h = state.box.height;
    if (referenceSize && std::isfinite(referenceSize->width) && std::isfinite(referenceSize->height) &&
        referenceSize->width >= 2.f && referenceSize->height >= 2.f) {
        w = expectedSide(referenceSize->width);
        h = expectedSide(referenceSize->height);
    }
    if (w < 1 || h < 1) return none;

    const double expectedArea = static_cast<double>(w) * h;
    const double aspect = static_cast<double>(w) / h;
    const long long side = std::max(w, h);
    const long long dMax = std::max(frameW, frameH);
    const cv::Rect base = boxFromCenter(state.center.x, state.center.y, w, h, frameW, frameH);

    const cv::Point2f lastCenter(std::clamp(state.center.x, 0.f, static_cast<float>(frameW - 1)),
                                 std::clamp(state.center.y, 0.f, static_cast<float>(frameH - 1)));
    const double gate = speedGateRadius(dtSeconds, ctx.params.max_speed, ctx.params.min_gate_radius) *
                        std::sqrt(static_cast<double>(std::max(state.misses, 1)));

    const bool colourModel = colourFrame.channels() > 1 && !model.labPatch.empty() && model.labChannels.size() >= 3;
    const cv::Mat& kernel = kernel_;

    // The neighbourhood a pixel is compared with: a few target sizes across (odd).
    const long long backgroundSide =
        std::min<long long>(std::max<long long>(kMinBackground, kBackgroundSides * side), kMaxBackground);
    const int backgroundKernel = static_cast<int>(backgroundSide) | 1;
    for (long long ringRadius : {kNearRingSides * side, kFarRingSides * side, dMax / 2, dMax}) {
        const cv::Rect region = growAndClip(base, ringRadius, frameW, frameH);
        if (region.empty()) continue;
        // What stands out from its own neighbourhood: against the mean of the whole region,
        // the blue gaps between bright clouds would stand out as much as the target.
        contrastMap_.compute(false, colourFrame, grey, region, backgroundKernel, model.polarity, diff_);
        if (diff_.empty()) continue;
        // The sky's own level of local contrast, from the bulk of the region: a target
        // filling a good part of a small ring must not raise its own bar.
        const double threshold =
            std::max(kNoiseMultiple * upperQuartile(diff_), static_cast<double>(ctx.params.min_diff_threshold));
        // The rings differ in size: each image keeps room for the largest ring so far.
        fitWithCapacity(binary_, diff_.size(), CV_8UC1);
        thresholdBinary(diff_, binary_, threshold, 255);

        int pixelScale = 1;
        double areaScale = 1.0;
        cv::Mat* binary = &binary_;
        if (region.width > kHalfResolutionSide || region.height > kHalfResolutionSide) {
            const cv::Size halved = halvedSize(binary_.size());
            if (binary_.cols >= 2 && binary_.rows >= 2) {
                fitWithCapacity(half_, halved, CV_8UC1);
                halveNearestInto(binary_, half_);
            } else {
                // A one-pixel side would shrink to nothing; keep it one pixel.
                const cv::Size kept(std::max(1, halved.width), std::max(1, halved.height));
                fitWithCapacity(half_, kept, CV_8UC1);
                cv::resize(binary_, half_, kept, 0, 0, cv::INTER_NEAREST);
            }
            binary = &half_;
            pixelScale = 2;
            areaScale = 0.25;
        }
        fitWithCapacity(morph_, binary->size(), CV_8UC1);
        openOrClose(*binary, cv::MORPH_CLOSE, kernel, morph_);
        tracer_.findOuter(*binary, contours_);

        double bestScore = -1.0;
        double bestConfidence = -1.0;
        cv::Rect bestBox;
        cv::Point2f bestCentroid;
        double bestColourAgreement = 0.0;
        const double areaLo = kMinAreaShare * expectedArea * areaScale;
        const double areaHi = kMaxAreaShare * expectedArea * areaScale;
        for (const auto& contour : contours_) {
            const double area = cv::contourArea(contour);
            if (area < areaLo || area > areaHi) continue;
            const cv::Rect bounds = cv::boundingRect(contour);
            if (bounds.width <= 0 || bounds.height <= 0) continue;
            const double blobAspect = static_cast<double>(bounds.width) / bounds.height;
            if (blobAspect / aspect > kMaxAspectChange || aspect / blobAspect > kMaxAspectChange) continue;
            const cv::Moments mo = cv::moments(contour);
            if (std::fabs(mo.m00) <= 1e-6) continue;
            const cv::Point2f centroid(static_cast<float>(mo.m10 / mo.m00 * pixelScale + region.x),
                                       static_cast<float>(mo.m01 / mo.m00 * pixelScale + region.y));
            if (distance(centroid, lastCenter) > gate) continue;
            // A target found again may have grown meanwhile (it came closer): its candidate
            // box then holds the whole blob.
            const long long blobW = static_cast<long long>(bounds.width) * pixelScale;
            const long long blobH = static_cast<long long>(bounds.height) * pixelScale;
            const int bw = std::max(w, static_cast<int>(std::min<long long>(blobW, frameW)));
            const int bh = std::max(h, static_cast<int>(std::min<long long>(blobH, frameH)));
            const cv::Rect candidate = boxFromCenter(centroid.x, centroid.y, bw, bh, frameW, frameH);
            // A blob another target owns is no candidate: two lost targets searching the
            // same stretch of sky would otherwise both settle on the nearer twin.
            if (ctx.inputs.blocks(candidate, centroid)) continue;
            // A target that moves is not what stands still (a cloud's edge it flew behind).
            const cv::Rect inside = intersect(candidate, cv::Rect(0, 0, frameW, frameH));
            if (!inside.empty() && ctx.model.previousFrame.size() == grey.size() &&
                ctx.model.previousFrame.type() == grey.type() &&
                ctx.state.presence.stillFor(meanAbsoluteChange(grey, ctx.model.previousFrame, inside))) {
                continue;
            }

            double colourAgreement = weights::kSkyNeutralAgreement;
            double colourTerm = weights::kSkyNeutralColour;
            if (colourModel) {
                const cv::Rect crop = intersect(candidate, cv::Rect(0, 0, frameW, frameH));
                if (crop.empty()) {
                    colourAgreement = 0.0;
                    colourTerm = 0.0;
                } else {
                    cv::Mat patch = colourFrame(crop);
                    if (patch.size() != model.labPatch.size()) {
                        // Candidates of every size: our resize keeps its tables, cv::resize
                        // would allocate them per blob.
                        if (patch.depth() == CV_8U && patch.channels() <= 4) {
                            resizeInto(patch, patch_, model.labPatch.size(), cv::INTER_AREA);
                        } else {
                            cv::resize(patch, patch_, model.labPatch.size(), 0, 0, cv::INTER_AREA);
                        }
                        patch = patch_;
                    }
                    if (patch.channels() == 4) {
                        cv::cvtColor(patch, bgr_, cv::COLOR_BGRA2BGR);
                        patch = bgr_;
                    }
                    if (patch.channels() == 3) {
                        bgrToLab(patch, lab_);
                        splitChannels(lab_, labChannels_);
                        const double pixels = static_cast<double>(lab_.total());
                        const double d1 = cv::norm(labChannels_[1], model.labChannels[1], cv::NORM_L1) / pixels;
                        const double d2 = cv::norm(labChannels_[2], model.labChannels[2], cv::NORM_L1) / pixels;
                        colourAgreement = std::clamp(1.0 - (d1 + d2) * 0.5 / weights::kLabScale, 0.0, 1.0);
                        colourTerm = weights::kSkyColour * colourAgreement;
                    }
                }
            }

            const double scaledArea = expectedArea * areaScale;
            const double areaRatio = scaledArea > 1.0 ? area / scaledArea : area;
            // Agreement of the areas on a log scale: the target may have come closer or gone
            // further since it was lost; a 4x change of side (16x of area) counts nothing.
            const double sizeAgreement =
                areaRatio > 0.0 ? 1.0 - std::fabs(std::log(areaRatio)) / std::log(kAreaRatioAtZero) : 0.0;
            const double sizeTerm = std::clamp(weights::kSkySize * sizeAgreement, 0.0, weights::kSkySize);
            const double score = sizeTerm + colourTerm;
            if (score < weights::kSkyMinScore) continue;
            // Every blob that could be the target is compared with it: the best-sized blob
            // of a ring is often a piece of cloud or a wire, and the target another.
            double confidence = score;
            if (!model.templ.empty()) {
                double similarity = scorer_.greySimilarity(grey, candidate, model.templ);
                if (!model.anchorTemplate.empty()) {
                    similarity = std::max(similarity, scorer_.greySimilarity(grey, candidate, model.anchorTemplate));
                }
                if (similarity < weights::kSkyMinSimilarity) continue;
                confidence = weights::kSkyTemplateShare * similarity + weights::kSkyTemplateShare * score;
            }
            if (confidence > bestConfidence) {
                bestConfidence = confidence;
                bestScore = score;
                bestBox = candidate;
                bestCentroid = centroid;
                bestColourAgreement = colourAgreement;
            }
        }

        if (bestConfidence < 0.0) continue;  // no candidate in this ring
        return foundMeasurement(bestBox, bestCentroid, bestColourAgreement, bestScore, bestConfidence,
                                Reason::kSkyReacquire);
    }
    return none;
}

}  // namespace molvane
