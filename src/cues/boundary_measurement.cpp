// Boundary measurement: the extent of a large or structured target from its local contrast
// outline. Gaps in the outline are closed with an element scaled to the target, and the
// fragments of the best contour are merged into one box.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cues/blob_candidate.hpp"
#include "cues/buffer_ops.hpp"
#include "engine/geometry.hpp"
#include "engine/reasons.hpp"
#include "engine/template_tracker.hpp"

namespace molvane {

Measurement TemplateTracker::measureBoundary(const cv::Mat& colourFrame, const cv::Mat& grey,
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
    localContrastMap(colourFrame, grey, R, c, polarity_, bdMap_);
    if (bdMap_.empty()) return none;

    const double T = blob::contrastThreshold(bdMap_, polarity_, {0.3, 0.8, 0.55, 0.95},
                                             static_cast<double>(config_.min_diff_threshold));
    cv::threshold(bdMap_, bdBinary_, T, 255.0, cv::THRESH_BINARY);

    // The closing element grows with the target; it is rebuilt only when its size changes.
    const int e = std::max(2 * (c / 30) + 3, 3);
    if (boundaryKernel_.empty() || boundaryKernelSize_ != e) {
        boundaryKernel_ = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(e, e));
        boundaryKernelSize_ = e;
    }
    openOrClose(bdBinary_, cv::MORPH_CLOSE, boundaryKernel_, bdMorph_);
    cv::findContours(bdBinary_, bdContours_, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    if (bdContours_.empty()) return none;

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

    bdCandidates_.clear();
    for (size_t i = 0; i < bdContours_.size(); ++i) {
        const auto& contour = bdContours_[i];
        const double area = cv::contourArea(contour);
        if (area < minArea || area > maxArea) continue;
        const cv::Rect bounds = cv::boundingRect(contour);
        if (bounds.width > 3.0 * ew || bounds.height > 3.0 * eh) continue;
        const cv::Moments mo = cv::moments(contour);
        if (std::abs(mo.m00) <= 1e-6) continue;
        const cv::Point2f centroid(static_cast<float>(mo.m10 / mo.m00), static_cast<float>(mo.m01 / mo.m00));
        const double d = distance(centroid, expectedLocal);
        if (!(d <= G)) continue;
        const double meanDifference = blob::meanUnderContour(bdMap_, bdContours_, i, bounds, bdFill_);
        const double v = areaUnit > 1.0 ? area / areaUnit : area;
        const double cost =
            0.35 * d / G - 0.25 * std::min(v, 1.0) - 0.4 * std::min(meanDifference / 80.0, 1.0);
        bdCandidates_.push_back({i, area, bounds, centroid, meanDifference, cost});
    }
    if (bdCandidates_.empty()) return none;

    const BlobCandidate* best = &bdCandidates_.front();
    for (const BlobCandidate& cand : bdCandidates_) {
        if (cand.cost < best->cost) best = &cand;
    }

    const cv::Rect mergeBox = growAndClip(best->box, std::max(c, 10), bdMap_.cols, bdMap_.rows);
    const double mergeRadius = std::max(1.35 * c, 16.0);
    bdMerged_.create(bdMap_.size(), CV_8UC1);
    bdMerged_.setTo(cv::Scalar(0));
    for (const BlobCandidate& cand : bdCandidates_) {
        if (blob::overlaps(cand.box, mergeBox) || distance(cand.centroid, best->centroid) <= mergeRadius) {
            fillContour(bdMerged_, bdContours_[cand.index], cv::Scalar(255));
        }
    }
    const cv::Rect bb = cv::boundingRect(bdMerged_);
    if (bb.width < 1 || bb.height < 1) return none;

    const double bbArea = static_cast<double>(bb.width) * bb.height;
    if (bbArea < 0.01 * E || (bb.width < 0.2 * ew && bb.height < 0.2 * eh)) return none;

    const long long pad =
        std::max(blob::roundSize(std::max(bb.width, bb.height) * config_.boundary_margin_fraction), 4LL);
    const cv::Rect finalBox = growAndClip(bb + R.tl(), pad, grey.cols, grey.rows);
    if (finalBox.empty()) return none;
    const cv::Point2f center = rectCenter(finalBox);

    if (speedGate &&
        !(distance(center, state_.center) <= speedGateRadius(dtSeconds, config_.max_speed, config_.min_gate_radius))) {
        return none;
    }

    const double H = template_.empty() ? 1.0 : appearanceSimilarity(colourFrame, grey, finalBox);
    const double I = areaUnit > 1.0 ? bbArea / areaUnit : bbArea;
    const double confidence = 0.25 * std::min(I, 1.0) + 0.55 * std::min(best->meanDifference / 96.0, 1.0) +
                              0.2 * std::clamp(H, 0.0, 1.0);

    Measurement out;
    out.box = finalBox;
    out.center = center;
    out.targetScore = H;
    out.candidateScore = best->cost;
    out.confidence = std::clamp(confidence, 0.0, 1.0);
    out.reason = Reason::kBoundary;
    out.found = true;
    return out;
}

}  // namespace molvane
