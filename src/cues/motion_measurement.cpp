#include "cues/motion_measurement.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "cues/resample.hpp"
#include "cues/cue_tuning.hpp"
#include "cues/cue_weights.hpp"
#include "core/geometry.hpp"
#include "core/reasons.hpp"

namespace molvane {

MotionMeasurement::MotionMeasurement(ForegroundMeasurement& foreground, AppearanceScorer& scorer)
    : foreground_(foreground), scorer_(scorer), kernel_(cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3))) {}

Measurement MotionMeasurement::measure(const CueContext& ctx, const cv::Mat& frame, const cv::Mat& grey,
                                       const cv::Rect& predictedBox, cv::Point2f predictedCenter, int searchRadius,
                                       double dtSeconds) {
    using namespace cue_tuning::motion;
    const cv::Mat& previousFrame = ctx.model.previousFrame;
    Measurement none;
    const int frameW = grey.cols;
    const int frameH = grey.rows;
    if (previousFrame.empty() || previousFrame.size() != grey.size() || previousFrame.type() != grey.type()) {
        return none;
    }
    const cv::Rect window = growAndClip(predictedBox, searchRadius, frameW, frameH);
    if (window.empty()) return none;

    // The window follows the target's speed and the frame's edges: its images keep room
    // for the largest so far.
    fitWithCapacity(diff_, window.size(), CV_8UC1);
    fitWithCapacity(mask_, window.size(), CV_8UC1);
    fitWithCapacity(morph_, window.size(), CV_8UC1);
    cv::absdiff(grey(window), previousFrame(window), diff_);
    cv::Scalar mean, stddev;
    cv::meanStdDev(diff_, mean, stddev);
    const double threshold = std::max(mean[0] + ctx.params.motion_threshold_sigma * stddev[0],
                                      static_cast<double>(ctx.params.min_diff_threshold));
    thresholdBinary(diff_, mask_, threshold, 255);
    openOrClose(mask_, cv::MORPH_OPEN, kernel_, morph_);
    openOrClose(mask_, cv::MORPH_CLOSE, kernel_, morph_);
    tracer_.findOuter(mask_, contours_);

    const int w = ctx.state.box.width;
    const int h = ctx.state.box.height;
    const double boxArea = std::max(1.0, static_cast<double>(w) * h);
    double minArea = boxArea * ctx.params.motion_min_area_fraction;
    double upperFloor = 0.0;
    if (minArea > kMinArea) {
        upperFloor = minArea + 1.0;
    } else {
        minArea = kMinArea;
        upperFloor = kMinArea + 1.0;
    }
    const double maxArea = std::max(boxArea * ctx.params.motion_max_area_fraction, upperFloor);
    const double norm = std::max(1.0, static_cast<double>(searchRadius));
    const double gate = speedGateRadius(dtSeconds, ctx.params.max_speed, ctx.params.min_gate_radius);

    candidates_.clear();
    std::size_t winner = 0;
    for (const std::vector<cv::Point>& contour : contours_) {
        const double area = cv::contourArea(contour);
        if (area < minArea || area > maxArea) continue;
        const cv::Moments mo = cv::moments(contour);
        cv::Point2f centroid;
        if (std::fabs(mo.m00) > 1e-6) {
            centroid = {static_cast<float>(mo.m10 / mo.m00), static_cast<float>(mo.m01 / mo.m00)};
        } else {
            centroid = rectCenter(cv::boundingRect(contour));
        }
        centroid.x += static_cast<float>(window.x);
        centroid.y += static_cast<float>(window.y);

        const long long bx = std::lroundf(centroid.x - w * 0.5f);
        const long long by = std::lroundf(centroid.y - h * 0.5f);
        if (bx < 0 || by < 0 || bx + w > frameW || by + h > frameH) continue;  // only whole boxes are compared
        cv::Rect box(static_cast<int>(bx), static_cast<int>(by), w, h);
        cv::Point2f center = centroid;
        double fgConfidence = 0.0;
        const Measurement fg = foreground_.measure(ctx, frame, grey, box, centroid);
        if (fg.found) {
            box = fg.box;
            center = fg.center;
            fgConfidence = fg.confidence;
        }
        if (!ctx.withinGate(center, gate)) continue;

        const double dn = distance(center, predictedCenter) / norm;
        // A found blob already scored its own box.
        const double similarity = fg.found && !ctx.model.templ.empty()
                                      ? fg.targetScore
                                      : scorer_.appearanceSimilarity(ctx.params, ctx.model, frame, grey, box);
        if (!(similarity >= weights::kUnlikeBelow || dn <= weights::kFarBeyond)) continue;
        const double areaShare = std::min(area / std::max(boxArea * kAreaUnitShare, 1.0), 1.0);
        const double cost = weights::kMotionCostDistance * dn + weights::kMotionCostUnlike * (1.0 - similarity) -
                            weights::kMotionCostArea * areaShare +
                            weights::kMotionConsistency * ctx.motionDeviation(center) * ctx.motionDeviation(center);
        const double confidence = std::clamp(
            weights::kMotionForeground * fgConfidence + weights::kMotionAppearance * std::clamp(similarity, 0.0, 1.0) +
                weights::kMotionNearness * (1.0 - std::min(dn, 1.0)) + weights::kMotionArea * areaShare,
            0.0, 1.0);
        candidates_.push_back(foundMeasurement(box, center, similarity, cost, confidence, Reason::kMotion));
        if (cost < candidates_[winner].candidateScore) winner = candidates_.size() - 1;
    }
    if (candidates_.empty()) return none;

    Measurement best = candidates_[winner];
    // A rival blob close to the winner makes the choice between them uncertain.
    if (ctx.params.motion_ambiguity_radius > 0.0 && candidates_.size() >= 2) {
        for (std::size_t i = 0; i < candidates_.size(); ++i) {
            if (i == winner) continue;
            const Measurement& other = candidates_[i];
            if (distance(other.center, best.center) < ctx.params.motion_ambiguity_radius) {
                const double q = best.confidence;
                best.confidence = std::min(q, 0.5 * q * (1.0 + best.targetScore - other.targetScore));
                break;
            }
        }
    }
    return best;
}

}  // namespace molvane
