#include "cues/contrast_detection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
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

// Largest blob of a local search, as a share of the expected box area. The box is sized by
// the target's extent, so the target's own blob fills most of it (a disc about 0.8); a
// blob much larger than the box is clutter or a neighbour merged with it.
constexpr double kLocalMaxAreaShare = 1.2;

// How crowded the ring between the inner and the outer box is: the share of its pixels set
// in `binary`, where one set pixel in twelve already counts as fully crowded.
double ringBusyness(const cv::Mat& binary, const cv::Rect& inner, const cv::Rect& outer) {
    const long long outerArea = static_cast<long long>(outer.width) * outer.height;
    const long long innerArea = static_cast<long long>(inner.width) * inner.height;
    if (outer.empty() || outerArea <= innerArea) return 0.0;
    const cv::Rect hole = intersect(inner, outer);
    const long long ringPixels = outerArea - static_cast<long long>(hole.width) * hole.height;
    long long count = cv::countNonZero(binary(outer));
    if (!hole.empty()) count -= cv::countNonZero(binary(hole));
    return std::min(12.0 * static_cast<double>(count) / static_cast<double>(ringPixels), 1.0);
}

// How a hypothesis is ranked: its cost (lower is better) and its confidence, each a
// weighted sum of
//   dn        distance from the search centre, as a share of the search reach
//   1 - sim   how unlike the target it looks
//   a         contour area, as a share of 4 % of the expected area (capped at 1)
//   strength  mean local contrast under the contour / 96 (capped at 1)
//   q         nearness, 1 - dn (0 beyond the reach)
// The isolation penalty is added to the cost as it is. With a known polarity strength
// counts for more; a local search weighs distance more than a whole-frame one.
struct HypothesisWeights {
    double costDistance;
    double costUnlike;
    double costArea;      // subtracted
    double costStrength;  // subtracted
    double confidenceStrength;
    double confidenceAppearance;
    double confidenceNearness;
    double confidenceArea;
};
constexpr HypothesisWeights kSignedLocal{0.78, 0.32, 0.12, 0.18, 0.14, 0.3, 0.36, 0.15};
constexpr HypothesisWeights kSignedFullFrame{0.22, 0.12, 0.18, 0.36, 0.3, 0.25, 0.15, 0.15};
constexpr HypothesisWeights kUnsignedLocal{0.7, 0.2, 0.12, 0.0, 0.15, 0.3, 0.35, 0.15};
constexpr HypothesisWeights kUnsignedFullFrame{0.28, 0.2, 0.12, 0.0, 0.15, 0.25, 0.15, 0.15};

}  // namespace

ContrastDetection::ContrastDetection(ForegroundMeasurement& foreground, AppearanceScorer& scorer)
    : foreground_(foreground),
      scorer_(scorer),
      kernel_(cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3))) {}

Measurement ContrastDetection::detect(const CueContext& ctx, const cv::Mat& colourFrame, const cv::Mat& grey,
                                      const cv::Rect& searchRect, int margin, double dtSeconds, int polarity,
                                      bool speedGate, bool fullFrame) {
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

    const double T = blob::contrastThreshold(map_, polarity, {0.5, 1.05, 0.6, 1.2},
                                             static_cast<double>(ctx.params.min_diff_threshold));
    fitScratch(binary_, binaryStore_, map_.size(), CV_8UC1);
    fitScratch(morph_, morphStore_, map_.size(), CV_8UC1);
    cv::threshold(map_, binary_, T, 255.0, cv::THRESH_BINARY);
    openOrClose(binary_, cv::MORPH_CLOSE, kernel_, morph_);
    tracer_.findOuter(binary_, contours_);

    const double rawE = static_cast<double>(w) * h;
    const double E = rawE <= 1.0 ? 1.0 : rawE;
    const double minArea = std::max(0.001 * E, 2.0);
    const double upperFloor = 0.001 * E > 2.0 ? minArea + 1.0 : 3.0;
    const double maxArea = std::max(((fullFrame || hasReference) ? 2.5 : kLocalMaxAreaShare) * E, upperFloor);
    const double shape = fullFrame ? std::max(2.0 * ctx.params.max_size_scale, 2.0) : 2.0;
    const double Dn = fullFrame ? std::max(std::hypot(static_cast<double>(frameW), static_cast<double>(frameH)), 1.0)
                                : (margin > 1 ? static_cast<double>(margin) : 1.0);
    const cv::Point2f Rc(static_cast<float>(searchRect.x + 0.5 * searchRect.width),
                         static_cast<float>(searchRect.y + 0.5 * searchRect.height));
    const double gate = speedGateRadius(dtSeconds, ctx.params.max_speed, ctx.params.min_gate_radius);
    const bool searchInside = searchRect.x > 0 && searchRect.y > 0 &&
                              static_cast<long long>(searchRect.x) + searchRect.width < frameW &&
                              static_cast<long long>(searchRect.y) + searchRect.height < frameH;
    const double areaUnit = 0.04 * E;
    const int expectedMax = std::max(w, h);
    const long long innerGrowth = expectedMax <= 11 ? 2 : expectedMax / 4;
    const long long outerGrowth = std::max(expectedMax, 8);
    const double isolationWeight = ctx.params.contrast_appearance_weight;

    Measurement best = none;
    double bestCost = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < contours_.size(); ++i) {
        const auto& contour = contours_[i];
        // Cheap plausibility tests first; the foreground and appearance work comes after.
        const double area = cv::contourArea(contour);
        if (area < minArea || area > maxArea) continue;
        const cv::Rect bounds = cv::boundingRect(contour);
        if (bounds.width > shape * w || bounds.height > shape * h) continue;
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

        const double dn = distance(hypCenter, Rc) / Dn;
        const double q = dn < 1.0 ? 1.0 - dn : 0.0;
        // A found blob already scored its own box.
        const double sim = fg.found && !ctx.model.templ.empty()
                               ? fg.targetScore
                               : scorer_.appearanceSimilarity(ctx.params, ctx.model, colourFrame, grey, hypBox);
        const double t = 1.0 - sim;
        const double sc = std::clamp(sim, 0.0, 1.0);
        const double strength =
            std::min(blob::meanUnderContour(map_, tracer_, contours_[i], bounds, fill_) / 96.0, 1.0);
        const double a = areaUnit > 1.0 ? std::min(area / areaUnit, 1.0) : std::min(area, 1.0);

        double Mw = 0.0;
        if (isolationWeight > 0.0) {
            const cv::Rect local = hypBox - region.tl();
            const cv::Rect inner = growAndClip(local, innerGrowth, binary_.cols, binary_.rows);
            const cv::Rect outer = growAndClip(local, outerGrowth, binary_.cols, binary_.rows);
            Mw = isolationWeight * ringBusyness(binary_, inner, outer);
        }
        const double f = fg.found ? weights::kContrastForegroundShare * fg.confidence : 0.0;

        if (polarity != 0 && !fullFrame && sim < weights::kUnlikeBelow && dn > weights::kFarBeyond) continue;

        const HypothesisWeights& wt = polarity != 0 ? (fullFrame ? kSignedFullFrame : kSignedLocal)
                                                    : (fullFrame ? kUnsignedFullFrame : kUnsignedLocal);
        const double md = speedGate && !fullFrame ? ctx.motionDeviation(hypCenter) : 0.0;
        const double u = wt.costDistance * dn + wt.costUnlike * t + Mw - wt.costArea * a - wt.costStrength * strength +
                         weights::kMotionConsistency * md * md;
        const double k = wt.confidenceStrength * strength + wt.confidenceAppearance * sc +
                         wt.confidenceNearness * q + wt.confidenceArea * a;
        if (!(u < bestCost)) continue;

        bestCost = u;
        best.box = hypBox;
        best.center = hypCenter;
        best.targetScore = sim;
        best.candidateScore = u;
        best.confidence = std::clamp(k + f - weights::kContrastIsolationShare * Mw, 0.0, 1.0);
        best.found = true;
    }
    if (!best.found) return none;

    best.reason = Reason::kContrast;
    return best;
}

}  // namespace molvane
