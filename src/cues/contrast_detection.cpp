#include "cues/contrast_detection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "cues/cue_tuning.hpp"
#include "cues/cue_weights.hpp"
#include "core/geometry.hpp"
#include "core/reasons.hpp"

namespace molvane {

namespace {

// A usable expected size from a caller-supplied reference: both components finite and at
// least 2. Values far beyond any frame are capped before rounding so the conversion is
// defined; such sizes cannot fit the frame and are refused later anyway.
bool referenceExpectedSize(const std::optional<cv::Size2f>& ref, long long& w, long long& h) {
    if (!ref) return false;
    const float rw = ref->width;
    const float rh = ref->height;
    if (!std::isfinite(rw) || !std::isfinite(rh) || rw < 2.0f || rh < 2.0f) return false;
    w = std::max(static_cast<long long>(std::lround(std::min(rw, 1e9f))), 2LL);
    h = std::max(static_cast<long long>(std::lround(std::min(rh, 1e9f))), 2LL);
    return true;
}

// How crowded the ring between the inner and the outer box is: the share of its pixels set
// in `binary`, where one set pixel in kCrowdedOneIn already counts as fully crowded.
double ringBusyness(const cv::Mat& binary, const cv::Rect& inner, const cv::Rect& outer) {
    const long long outerArea = static_cast<long long>(outer.width) * outer.height;
    const long long innerArea = static_cast<long long>(inner.width) * inner.height;
    if (outer.empty() || outerArea <= innerArea) return 0.0;
    const cv::Rect hole = intersect(inner, outer);
    const long long ringPixels = outerArea - static_cast<long long>(hole.width) * hole.height;
    long long count = cv::countNonZero(binary(outer));
    if (!hole.empty()) count -= cv::countNonZero(binary(hole));
    return std::min(cue_tuning::contrast::kCrowdedOneIn * static_cast<double>(count) / static_cast<double>(ringPixels),
                    1.0);
}

}  // namespace

ContrastDetection::ContrastDetection(ForegroundMeasurement& foreground, AppearanceScorer& scorer)
    : foreground_(foreground), scorer_(scorer), kernel_(cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3))) {}

Measurement ContrastDetection::detect(const CueContext& ctx, const cv::Mat& colourFrame, const cv::Mat& grey,
                                      const cv::Rect& searchRect, int margin, double dtSeconds, int polarity,
                                      bool speedGate, bool fullFrame) {
    using namespace cue_tuning::contrast;
    Measurement none;
    const int frameW = grey.cols;
    const int frameH = grey.rows;
    const cv::Rect region =
        fullFrame ? clipToFrame(0, 0, frameW, frameH, frameW, frameH) : growAndClip(searchRect, margin, frameW, frameH);
    if (region.empty()) return none;

    long long lw = 0;
    long long lh = 0;
    const bool hasReference = ctx.inputs.referenceSize.has_value();
    if (!referenceExpectedSize(ctx.inputs.referenceSize, lw, lh)) {
        lw = ctx.state.box.width;
        lh = ctx.state.box.height;
    }
    // A probe box of the expected size must fit the frame; when it cannot, every
    // hypothesis would be dropped, so there is nothing to search for.
    if (lw < 1 || lh < 1 || lw > frameW || lh > frameH) return none;
    const int w = static_cast<int>(lw);
    const int h = static_cast<int>(lh);

    const cv::Rect mapRect = clipToFrame(region.x, region.y, region.width, region.height, grey.cols, grey.rows);
    fitScratch(map_, mapStore_, mapRect.size(), CV_8UC1);
    contrastMap_.compute(ctx.params.color_contrast, colourFrame, grey, region, std::max(w, h), polarity, map_);
    if (map_.empty()) return none;

    const double threshold =
        blob::contrastThreshold(map_, polarity, kThreshold, static_cast<double>(ctx.params.min_diff_threshold));
    fitScratch(binary_, binaryStore_, map_.size(), CV_8UC1);
    fitScratch(morph_, morphStore_, map_.size(), CV_8UC1);
    thresholdBinary(map_, binary_, threshold, 255.0);
    openOrClose(binary_, cv::MORPH_CLOSE, kernel_, morph_);
    tracer_.findOuter(binary_, contours_);

    const double rawArea = static_cast<double>(w) * h;
    const double expectedArea = rawArea <= 1.0 ? 1.0 : rawArea;
    const double minArea = std::max(kMinAreaShare * expectedArea, kMinArea);
    const double upperFloor = kMinAreaShare * expectedArea > kMinArea ? minArea + 1.0 : kMinArea + 1.0;
    const double maxArea =
        std::max(((fullFrame || hasReference) ? kWideMaxAreaShare : kLocalMaxAreaShare) * expectedArea, upperFloor);
    const double sideFactor =
        fullFrame ? std::max(kMaxSideFactor * ctx.params.max_size_scale, kMaxSideFactor) : kMaxSideFactor;
    const double reach = fullFrame ? std::max(std::hypot(static_cast<double>(frameW), static_cast<double>(frameH)), 1.0)
                                   : (margin > 1 ? static_cast<double>(margin) : 1.0);
    const cv::Point2f searchCenter(static_cast<float>(searchRect.x + 0.5 * searchRect.width),
                                   static_cast<float>(searchRect.y + 0.5 * searchRect.height));
    const double gate = speedGateRadius(dtSeconds, ctx.params.max_speed, ctx.params.min_gate_radius);
    const bool searchInside = searchRect.x > 0 && searchRect.y > 0 &&
                              static_cast<long long>(searchRect.x) + searchRect.width < frameW &&
                              static_cast<long long>(searchRect.y) + searchRect.height < frameH;
    const double areaUnit = kAreaUnitShare * expectedArea;
    const int expectedMax = std::max(w, h);
    const long long innerGrowth = expectedMax <= kSmallSide ? kSmallInnerGrowth : expectedMax / kInnerGrowthDivisor;
    const long long outerGrowth = std::max(expectedMax, kMinOuterGrowth);
    const double isolationWeight = ctx.params.contrast_appearance_weight;

    Measurement best = none;
    double bestCost = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < contours_.size(); ++i) {
        const auto& contour = contours_[i];
        // Cheap plausibility tests first; the foreground and appearance work comes after.
        const double area = cv::contourArea(contour);
        if (area < minArea || area > maxArea) continue;
        const cv::Rect bounds = cv::boundingRect(contour);
        if (bounds.width > sideFactor * w || bounds.height > sideFactor * h) continue;
        const cv::Moments mo = cv::moments(contour);
        if (std::abs(mo.m00) <= 1e-6) continue;
        const cv::Point2f centroid(static_cast<float>(mo.m10 / mo.m00 + region.x),
                                   static_cast<float>(mo.m01 / mo.m00 + region.y));
        if (speedGate && !ctx.withinGate(centroid, gate)) continue;

        const cv::Rect probe = boxFromCenter(centroid.x, centroid.y, w, h, frameW, frameH);
        if (probe.width != w || probe.height != h) continue;

        const Measurement fg = foreground_.measure(ctx, colourFrame, grey, probe, centroid);
        const cv::Rect hypBox = fg.found ? fg.box : probe;
        const cv::Point2f hypCenter = fg.found ? fg.center : centroid;

        if (!fullFrame && speedGate && searchInside) {
            const bool touchesBorder = hypBox.x <= 0 || hypBox.y <= 0 ||
                                       static_cast<long long>(hypBox.x) + hypBox.width >= frameW ||
                                       static_cast<long long>(hypBox.y) + hypBox.height >= frameH;
            if (touchesBorder) continue;
        }
        if (speedGate && !ctx.withinGate(hypCenter, gate)) continue;
        // A blob set aside (another target's) leaves the next best blob its chance.
        if (ctx.inputs.blocks(hypBox, hypCenter)) continue;

        const double dn = distance(hypCenter, searchCenter) / reach;
        const double nearness = dn < 1.0 ? 1.0 - dn : 0.0;
        // A found blob already scored its own box.
        const double sim = fg.found && !ctx.model.templ.empty()
                               ? fg.targetScore
                               : scorer_.appearanceSimilarity(ctx.params, ctx.model, colourFrame, grey, hypBox);
        const double unlike = 1.0 - sim;
        const double likeness = std::clamp(sim, 0.0, 1.0);
        const double strength = std::min(
            blob::meanUnderContour(map_, tracer_, contours_[i], bounds, fill_) / weights::kContrastStrengthScale, 1.0);
        const double areaShare = areaUnit > 1.0 ? std::min(area / areaUnit, 1.0) : std::min(area, 1.0);

        double isolation = 0.0;
        if (isolationWeight > 0.0) {
            const cv::Rect local = hypBox - region.tl();
            const cv::Rect inner = growAndClip(local, innerGrowth, binary_.cols, binary_.rows);
            const cv::Rect outer = growAndClip(local, outerGrowth, binary_.cols, binary_.rows);
            isolation = isolationWeight * ringBusyness(binary_, inner, outer);
        }
        const double foregroundShare = fg.found ? weights::kContrastForegroundShare * fg.confidence : 0.0;

        if (polarity != 0 && !fullFrame && sim < weights::kUnlikeBelow && dn > weights::kFarBeyond) continue;

        const weights::HypothesisWeights& wt =
            polarity != 0 ? (fullFrame ? weights::kSignedFullFrame : weights::kSignedLocal)
                          : (fullFrame ? weights::kUnsignedFullFrame : weights::kUnsignedLocal);
        const double md = speedGate && !fullFrame ? ctx.motionDeviation(hypCenter) : 0.0;
        const double cost = wt.costDistance * dn + wt.costUnlike * unlike + isolation - wt.costArea * areaShare -
                            wt.costStrength * strength + weights::kMotionConsistency * md * md;
        const double confidence = wt.confidenceStrength * strength + wt.confidenceAppearance * likeness +
                                  wt.confidenceNearness * nearness + wt.confidenceArea * areaShare;
        if (!(cost < bestCost)) continue;

        bestCost = cost;
        best.box = hypBox;
        best.center = hypCenter;
        best.targetScore = sim;
        best.candidateScore = cost;
        best.confidence =
            std::clamp(confidence + foregroundShare - weights::kContrastIsolationShare * isolation, 0.0, 1.0);
        best.found = true;
    }
    if (!best.found) return none;

    best.reason = Reason::kContrast;
    return best;
}

}  // namespace molvane
