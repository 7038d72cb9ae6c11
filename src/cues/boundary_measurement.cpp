#include "cues/boundary_measurement.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "cues/cue_tuning.hpp"
#include "cues/cue_weights.hpp"
#include "cues/resample.hpp"
#include "core/geometry.hpp"
#include "core/reasons.hpp"

namespace molvane {

Measurement BoundaryMeasurement::fitOutline(const CueContext& ctx, const cv::Mat& colourFrame, const cv::Mat& grey,
                                            const cv::Rect& box, cv::Point2f center) {
    using namespace cue_tuning::boundary;
    const int side = std::max(box.width, box.height);
    const long long margin = std::max(kMinOutlineMargin, std::lround(side * kOutlineMarginShare));
    const cv::Rect window = growAndClip(box, margin, grey.cols, grey.rows);
    const double radius = static_cast<double>(std::max(side, kMinOutlineReach));
    return measure(ctx, colourFrame, grey, window, box.size(), radius, 0.0, center, false);
}

Measurement BoundaryMeasurement::measure(const CueContext& ctx, const cv::Mat& colourFrame, const cv::Mat& grey,
                                         const cv::Rect& searchRect, cv::Size expectedSize, double gateRadius,
                                         double dtSeconds, cv::Point2f expectedCenter, bool speedGate) {
    using namespace cue_tuning::boundary;
    Measurement none;
    if (searchRect.width < 1 || searchRect.height < 1) return none;
    const cv::Rect region =
        clipToFrame(searchRect.x, searchRect.y, searchRect.width, searchRect.height, grey.cols, grey.rows);
    if (region.empty()) return none;

    const int expectedW = expectedSize.width;
    const int expectedH = expectedSize.height;
    const int side = std::max(expectedW, expectedH);
    const int polarity = ctx.model.polarity;
    const TrackerParams& params = ctx.params;
    contrastMap_.compute(params.color_contrast, colourFrame, grey, region, side, polarity, map_);
    if (map_.empty()) return none;

    const double threshold =
        blob::contrastThreshold(map_, polarity, kThreshold, static_cast<double>(params.min_diff_threshold));
    fitWithCapacity(binary_, map_.size(), CV_8UC1);
    thresholdBinary(map_, binary_, threshold, 255.0);

    // The closing element grows with the target. Each size is built once and kept: a target
    // whose size wavers across a step would otherwise rebuild it back and forth.
    const int elementSide = std::max(2 * (side / kElementStep) + kMinElement, kMinElement);
    if (elements_.size() <= static_cast<std::size_t>(elementSide))
        elements_.resize(static_cast<std::size_t>(elementSide) + 1);
    cv::Mat& element = elements_[static_cast<std::size_t>(elementSide)];
    if (element.empty()) element = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(elementSide, elementSide));
    elementSize_ = elementSide;
    morphology_.close(binary_, element);
    tracer_.findOuter(binary_, contours_);
    if (contours_.empty()) return none;

    const double expectedArea = static_cast<double>(expectedW) * expectedH;
    double minArea = kMinArea;
    double maxArea = kMinArea + 1.0;
    if (expectedArea > 1.0) {
        minArea = std::max(kMinAreaShare * expectedArea, kMinArea);
        const double upperFloor = kMinAreaShare * expectedArea > kMinArea ? minArea + 1.0 : kMinArea + 1.0;
        maxArea = std::max(kMaxAreaShare * expectedArea, upperFloor);
    }
    const double gate = gateRadius > kMinGate ? gateRadius : kMinGate;  // NaN counts as the floor
    const double areaUnit = kAreaUnitShare * expectedArea;
    const cv::Point2f expectedLocal(expectedCenter.x - static_cast<float>(region.x),
                                    expectedCenter.y - static_cast<float>(region.y));

    candidates_.clear();
    for (size_t i = 0; i < contours_.size(); ++i) {
        const auto& contour = contours_[i];
        const double area = cv::contourArea(contour);
        if (area < minArea || area > maxArea) continue;
        const cv::Rect bounds = cv::boundingRect(contour);
        if (bounds.width > kMaxSideFactor * expectedW || bounds.height > kMaxSideFactor * expectedH) continue;
        cv::Point2f centroid;
        if (!blob::contourCentroid(contour, centroid)) continue;
        const double offset = distance(centroid, expectedLocal);
        if (!(offset <= gate)) continue;
        const double meanDifference = blob::meanUnderContour(map_, tracer_, contours_[i], bounds, fill_);
        const double areaShare = areaUnit > 1.0 ? area / areaUnit : area;
        const double cost =
            weights::kBoundaryCostDistance * offset / gate - weights::kBoundaryCostArea * std::min(areaShare, 1.0) -
            weights::kBoundaryCostStrength * std::min(meanDifference / weights::kBoundaryCostStrengthScale, 1.0);
        candidates_.push_back({i, area, bounds, centroid, meanDifference, cost});
    }
    if (candidates_.empty()) return none;

    fitWithCapacity(merged_, map_.size(), CV_8UC1);
    const blob::MergedBlob merged =
        blob::mergeAroundCheapest(candidates_, tracer_, contours_, std::max(side, kMinMergeGrowth),
                                  std::max(kMergeRadiusShare * side, kMinMergeRadius), map_.size(), merged_);
    const BlobCandidate* best = merged.best;
    const cv::Rect mergedBox = merged.box;
    if (!blob::substantial(mergedBox, expectedW, expectedH, expectedArea, kMinMergedAreaShare, kMinMergedSideShare)) {
        return none;
    }
    const double mergedArea = static_cast<double>(mergedBox.width) * mergedBox.height;

    const cv::Rect finalBox =
        blob::padBox(mergedBox + region.tl(), params.boundary_margin_fraction, kMinPad, grey.cols, grey.rows);
    if (finalBox.empty()) return none;
    const cv::Point2f center = rectCenter(finalBox);

    if (speedGate && !ctx.withinGate(center, speedGateRadius(dtSeconds, params.max_speed, params.min_gate_radius))) {
        return none;
    }

    const double similarity =
        ctx.model.templ.empty() ? 1.0 : scorer_.appearanceSimilarity(params, ctx.model, colourFrame, grey, finalBox);
    const double mergedShare = areaUnit > 1.0 ? mergedArea / areaUnit : mergedArea;
    const double confidence =
        weights::kBoundaryArea * std::min(mergedShare, 1.0) +
        weights::kBoundaryStrength * std::min(best->meanDifference / weights::kBoundaryStrengthScale, 1.0) +
        weights::kBoundaryAppearance * std::clamp(similarity, 0.0, 1.0);

    return foundMeasurement(finalBox, center, similarity, best->cost, std::clamp(confidence, 0.0, 1.0),
                            Reason::kBoundary);
}

}  // namespace molvane
