// Contrast detection: every compact contour of the thresholded local contrast map is a
// hypothesis for the target. Each one is re-measured as a foreground blob in a box of the
// expected size and ranked by distance, appearance, strength, size and isolation.
#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "cues/blob_candidate.hpp"
#include "cues/buffer_ops.hpp"
#include "engine/geometry.hpp"
#include "engine/reasons.hpp"
#include "engine/template_tracker.hpp"

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

}  // namespace

Measurement TemplateTracker::detectContrast(const cv::Mat& colourFrame, const cv::Mat& grey,
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
    const bool hasReference = referenceSize_.has_value();
    if (!referenceExpectedSize(referenceSize_, lw, lh)) {
        lw = state_.box.width;
        lh = state_.box.height;
    }
    // A probe box of the expected size must fit the frame; when it cannot, every
    // hypothesis would be dropped, so there is nothing to search for.
    if (lw < 1 || lh < 1 || lw > frameW || lh > frameH) return none;
    const int w = static_cast<int>(lw);
    const int h = static_cast<int>(lh);

    localContrastMap(colourFrame, grey, region, std::max(w, h), polarity, cdMap_);
    if (cdMap_.empty()) return none;

    const double T = blob::contrastThreshold(cdMap_, polarity, {0.5, 1.05, 0.6, 1.2},
                                             static_cast<double>(config_.min_diff_threshold));
    cv::threshold(cdMap_, cdBinary_, T, 255.0, cv::THRESH_BINARY);
    openOrClose(cdBinary_, cv::MORPH_CLOSE, morphKernel_, cdMorph_);
    cv::findContours(cdBinary_, cdContours_, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);

    const double rawE = static_cast<double>(w) * h;
    const double E = rawE <= 1.0 ? 1.0 : rawE;
    const double minArea = std::max(0.001 * E, 2.0);
    const double upperFloor = 0.001 * E > 2.0 ? minArea + 1.0 : 3.0;
    const double maxArea = std::max(((fullFrame || hasReference) ? 2.5 : 0.5) * E, upperFloor);
    const double shape = fullFrame ? std::max(2.0 * config_.max_size_scale, 2.0) : 2.0;
    const double Dn = fullFrame ? std::max(std::hypot(static_cast<double>(frameW), static_cast<double>(frameH)), 1.0)
                                : (margin > 1 ? static_cast<double>(margin) : 1.0);
    const cv::Point2f Rc(static_cast<float>(searchRect.x + 0.5 * searchRect.width),
                         static_cast<float>(searchRect.y + 0.5 * searchRect.height));
    const double gate = speedGateRadius(dtSeconds, config_.max_speed, config_.min_gate_radius);
    const bool searchInside = searchRect.x > 0 && searchRect.y > 0 &&
                              static_cast<long long>(searchRect.x) + searchRect.width < frameW &&
                              static_cast<long long>(searchRect.y) + searchRect.height < frameH;
    const double areaUnit = 0.04 * E;
    const int expectedMax = std::max(w, h);
    const long long innerGrowth = expectedMax <= 11 ? 2 : expectedMax / 4;
    const long long outerGrowth = std::max(expectedMax, 8);
    const double isolationWeight = config_.contrast_appearance_weight;

    Measurement best = none;
    double bestCost = std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < cdContours_.size(); ++i) {
        const auto& contour = cdContours_[i];
        // Cheap plausibility tests first; the foreground and appearance work comes after.
        const double area = cv::contourArea(contour);
        if (area < minArea || area > maxArea) continue;
        const cv::Rect bounds = cv::boundingRect(contour);
        if (bounds.width > shape * w || bounds.height > shape * h) continue;
        const cv::Moments mo = cv::moments(contour);
        if (std::abs(mo.m00) <= 1e-6) continue;
        const cv::Point2f centroid(static_cast<float>(mo.m10 / mo.m00 + region.x),
                                   static_cast<float>(mo.m01 / mo.m00 + region.y));
        if (speedGate && !(distance(centroid, state_.center) <= gate)) continue;

        const cv::Rect probe = boxFromCenter(centroid.x, centroid.y, w, h, frameW, frameH);
        if (probe.width != w || probe.height != h) continue;

        const Measurement fg = measureForeground(colourFrame, grey, probe, centroid);
        const cv::Rect hypBox = fg.found ? fg.box : probe;
        const cv::Point2f hypCenter = fg.found ? fg.center : centroid;

        if (!fullFrame && speedGate && searchInside) {
            const bool touchesBorder = hypBox.x <= 0 || hypBox.y <= 0 ||
                                       static_cast<long long>(hypBox.x) + hypBox.width >= frameW ||
                                       static_cast<long long>(hypBox.y) + hypBox.height >= frameH;
            if (touchesBorder) continue;
        }
        if (speedGate && !(distance(hypCenter, state_.center) <= gate)) continue;

        const double dn = distance(hypCenter, Rc) / Dn;
        const double q = dn < 1.0 ? 1.0 - dn : 0.0;
        // A found blob already scored its own box.
        const double sim = fg.found && !template_.empty() ? fg.targetScore
                                                          : appearanceSimilarity(colourFrame, grey, hypBox);
        const double t = 1.0 - sim;
        const double sc = std::clamp(sim, 0.0, 1.0);
        const double strength =
            std::min(blob::meanUnderContour(cdMap_, cdContours_, i, bounds, cdFill_) / 96.0, 1.0);
        const double a = areaUnit > 1.0 ? std::min(area / areaUnit, 1.0) : std::min(area, 1.0);

        double Mw = 0.0;
        if (isolationWeight > 0.0) {
            const cv::Rect local = hypBox - region.tl();
            const cv::Rect inner = growAndClip(local, innerGrowth, cdBinary_.cols, cdBinary_.rows);
            const cv::Rect outer = growAndClip(local, outerGrowth, cdBinary_.cols, cdBinary_.rows);
            Mw = isolationWeight * ringBusyness(cdBinary_, inner, outer);
        }
        const double f = fg.found ? 0.1 * fg.confidence : 0.0;

        if (polarity != 0 && !fullFrame && sim < 0.35 && dn > 0.35) continue;

        double u = 0.0;
        double k = 0.0;
        if (polarity != 0 && !fullFrame) {
            u = 0.78 * dn + 0.32 * t + Mw - 0.12 * a - 0.18 * strength;
            k = 0.14 * strength + 0.3 * sc + 0.36 * q + 0.15 * a;
        } else if (polarity != 0) {
            u = 0.22 * dn + 0.12 * t + Mw - 0.18 * a - 0.36 * strength;
            k = 0.3 * strength + 0.25 * sc + 0.15 * q + 0.15 * a;
        } else if (!fullFrame) {
            u = 0.7 * dn + 0.2 * t + Mw - 0.12 * a;
            k = 0.15 * strength + 0.3 * sc + 0.35 * q + 0.15 * a;
        } else {
            u = 0.28 * dn + 0.2 * t + Mw - 0.12 * a;
            k = 0.15 * strength + 0.25 * sc + 0.15 * q + 0.15 * a;
        }
        if (!(u < bestCost)) continue;

        bestCost = u;
        best.box = hypBox;
        best.center = hypCenter;
        best.targetScore = sim;
        best.candidateScore = u;
        best.confidence = std::clamp(k + f - 0.45 * Mw, 0.0, 1.0);
        best.found = true;
    }
    if (!best.found) return none;

    best.reason = Reason::kContrast;
    return best;
}

}  // namespace molvane
