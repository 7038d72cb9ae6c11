#include "cues/boundary_measurement.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "cues/cue_weights.hpp"
#include "core/geometry.hpp"
#include "core/reasons.hpp"

namespace molvane {

Measurement BoundaryMeasurement::fitOutline(const CueContext& ctx, const cv::Mat& colourFrame, const cv::Mat& grey,
                                            const cv::Rect& box, cv::Point2f center) {
    const int s = std::max(box.width, box.height);
    const long long margin = std::max(12L, std::lround(s * 0.35));
    const cv::Rect window = growAndClip(box, margin, grey.cols, grey.rows);
    const double radius = s < 13 ? 12.0 : static_cast<double>(s);
    return measure(ctx, colourFrame, grey, window, box.size(), radius, 0.0, center, false);
}

Measurement BoundaryMeasurement::measure(const CueContext& ctx, const cv::Mat& colourFrame, const cv::Mat& grey,
                                         const cv::Rect& searchRect, cv::Size expectedSize, double gateRadius,
                                         double dtSeconds, cv::Point2f expectedCenter, bool speedGate) {
    Measurement none;
    if (searchRect.width < 1 || searchRect.height < 1) return none;
    const cv::Rect R = clipToFrame(searchRect.x, searchRect.y, searchRect.width, searchRect.height, grey.cols,
                                   grey.rows);
    if (R.empty()) return none;

    const int ew = expectedSize.width;
    const int eh = expectedSize.height;
    const int c = std::max(ew, eh);
    const int polarity = ctx.model.polarity;
    contrastMap_.compute(ctx.params.color_contrast, colourFrame, grey, R, c, polarity, map_);
    if (map_.empty()) return none;

    const double T = blob::contrastThreshold(map_, polarity, {0.3, 0.8, 0.55, 0.95},
                                             static_cast<double>(ctx.params.min_diff_threshold));
    cv::threshold(map_, binary_, T, 255.0, cv::THRESH_BINARY);

    // The closing element grows with the target; it is rebuilt only when its size changes.
    const int e = std::max(2 * (c / 30) + 3, 3);
    if (element_.empty() || elementSize_ != e) {
        element_ = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(e, e));
        elementSize_ = e;
    }
    openOrClose(binary_, cv::MORPH_CLOSE, element_, morph_);
    tracer_.findOuter(binary_, contours_);
    if (contours_.empty()) return none;

    const double E = static_cast<double>(ew) * eh;
    double minArea = 4.0;
    double maxArea = 5.0;
    if (E > 1.0) {
        minArea = std::max(0.0015 * E, 4.0);
        const double upperFloor = 0.0015 * E > 4.0 ? minArea + 1.0 : 5.0;
        maxArea = std::max(2.5 * E, upperFloor);
    }
    const double G = gateRadius > 8.0 ? gateRadius : 8.0;  // NaN counts as the floor
    const double areaUnit = 0.12 * E;
    const cv::Point2f expectedLocal(expectedCenter.x - static_cast<float>(R.x),
                                    expectedCenter.y - static_cast<float>(R.y));

    candidates_.clear();
    for (size_t i = 0; i < contours_.size(); ++i) {
        const auto& contour = contours_[i];
        const double area = cv::contourArea(contour);
        if (area < minArea || area > maxArea) continue;
        const cv::Rect bounds = cv::boundingRect(contour);
        if (bounds.width > 3.0 * ew || bounds.height > 3.0 * eh) continue;
        cv::Point2f centroid;
        if (!blob::contourCentroid(contour, centroid)) continue;
        const double d = distance(centroid, expectedLocal);
        if (!(d <= G)) continue;
        const double meanDifference = blob::meanUnderContour(map_, tracer_, contours_[i], bounds, fill_);
        const double v = areaUnit > 1.0 ? area / areaUnit : area;
        const double cost = weights::kBoundaryCostDistance * d / G - weights::kBoundaryCostArea * std::min(v, 1.0) -
                            weights::kBoundaryCostStrength * std::min(meanDifference / 80.0, 1.0);
        candidates_.push_back({i, area, bounds, centroid, meanDifference, cost});
    }
    if (candidates_.empty()) return none;

    const blob::MergedBlob merged = blob::mergeAroundCheapest(candidates_, tracer_, contours_, std::max(c, 10),
                                                              std::max(1.35 * c, 16.0), map_.size(), merged_);
    const BlobCandidate* best = merged.best;
    const cv::Rect bb = merged.box;
    if (bb.width < 1 || bb.height < 1) return none;

    const double bbArea = static_cast<double>(bb.width) * bb.height;
    if (bbArea < 0.01 * E || (bb.width < 0.2 * ew && bb.height < 0.2 * eh)) return none;

    const cv::Rect finalBox = blob::padBox(bb + R.tl(), ctx.params.boundary_margin_fraction, 4, grey.cols, grey.rows);
    if (finalBox.empty()) return none;
    const cv::Point2f center = rectCenter(finalBox);

    const TrackerParams& p = ctx.params;
    if (speedGate && !ctx.withinGate(center, speedGateRadius(dtSeconds, p.max_speed, p.min_gate_radius))) {
        return none;
    }

    const double H = ctx.model.templ.empty()
                         ? 1.0
                         : scorer_.appearanceSimilarity(ctx.params, ctx.model, colourFrame, grey, finalBox);
    const double I = areaUnit > 1.0 ? bbArea / areaUnit : bbArea;
    const double confidence = weights::kBoundaryArea * std::min(I, 1.0) +
                              weights::kBoundaryStrength * std::min(best->meanDifference / 96.0, 1.0) +
                              weights::kBoundaryAppearance * std::clamp(H, 0.0, 1.0);

    return foundMeasurement(finalBox, center, H, best->cost, std::clamp(confidence, 0.0, 1.0), Reason::kBoundary);
}

}  // namespace molvane
