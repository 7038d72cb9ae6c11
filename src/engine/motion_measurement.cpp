// Motion measurement: blobs of change between the previous committed frame and this one,
// inside the search window, ranked by distance to the prediction, appearance and size.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "engine/geometry.hpp"
#include "engine/reasons.hpp"
#include "engine/template_tracker.hpp"

namespace molvane {

Measurement TemplateTracker::measureMotion(const cv::Mat& frame, const cv::Mat& grey, const cv::Rect& predictedBox,
                                           cv::Point2f predictedCenter, int searchRadius, double dtSeconds) {
    Measurement none;
    const int W = grey.cols;
    const int H = grey.rows;
    if (previousFrame_.empty() || previousFrame_.size() != grey.size() || previousFrame_.type() != grey.type()) {
        return none;
    }
    const cv::Rect window = growAndClip(predictedBox, searchRadius, W, H);
    if (window.empty()) return none;

    cv::absdiff(grey(window), previousFrame_(window), motionDiff_);
    cv::Scalar mean, stddev;
    cv::meanStdDev(motionDiff_, mean, stddev);
    const double threshold =
        std::max(mean[0] + config_.motion_threshold_sigma * stddev[0], static_cast<double>(config_.min_diff_threshold));
    cv::threshold(motionDiff_, motionMask_, threshold, 255, cv::THRESH_BINARY);
    openOrClose(motionMask_, cv::MORPH_OPEN, morphKernel_, motionMorph_);
    openOrClose(motionMask_, cv::MORPH_CLOSE, morphKernel_, motionMorph_);
    cv::findContours(motionMask_, motionContours_, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);

    const int w = state_.box.width;
    const int h = state_.box.height;
    const double a0 = std::max(1.0, static_cast<double>(w) * h);
    double minA = a0 * config_.motion_min_area_fraction;
    double floorA = 0.0;
    if (minA > 4.0) {
        floorA = minA + 1.0;
    } else {
        minA = 4.0;
        floorA = 5.0;
    }
    const double maxA = std::max(a0 * config_.motion_max_area_fraction, floorA);
    const double norm = std::max(1.0, static_cast<double>(searchRadius));
    const double gate = speedGateRadius(dtSeconds, config_.max_speed, config_.min_gate_radius);

    motionCandidates_.clear();
    std::size_t winner = 0;
    for (const std::vector<cv::Point>& contour : motionContours_) {
        const double area = cv::contourArea(contour);
        if (area < minA || area > maxA) continue;
        const cv::Moments mo = cv::moments(contour);
        cv::Point2f c;
        if (std::fabs(mo.m00) > 1e-6) {
            c = {static_cast<float>(mo.m10 / mo.m00), static_cast<float>(mo.m01 / mo.m00)};
        } else {
            c = rectCenter(cv::boundingRect(contour));
        }
        c.x += static_cast<float>(window.x);
        c.y += static_cast<float>(window.y);

        const long long bx = std::lroundf(c.x - w * 0.5f);
        const long long by = std::lroundf(c.y - h * 0.5f);
        if (bx < 0 || by < 0 || bx + w > W || by + h > H) continue;  // only whole boxes are compared
        cv::Rect box(static_cast<int>(bx), static_cast<int>(by), w, h);
        cv::Point2f center = c;
        double fgConfidence = 0.0;
        const Measurement fg = measureForeground(frame, grey, box, c);
        if (fg.found) {
            box = fg.box;
            center = fg.center;
            fgConfidence = fg.confidence;
        }
        if (distance(center, state_.center) > gate) continue;

        const double dn = distance(center, predictedCenter) / norm;
        // A found blob already scored its own box.
        const double s = fg.found && !template_.empty() ? fg.targetScore : appearanceSimilarity(frame, grey, box);
        if (!(s >= 0.35 || dn <= 0.35)) continue;
        const double ar = std::min(area / std::max(a0 * 0.08, 1.0), 1.0);
        const double cost = 0.45 * dn + 0.65 * (1.0 - s) - 0.1 * ar;
        const double q = std::clamp(0.1 * fgConfidence + 0.35 * std::clamp(s, 0.0, 1.0) +
                                        0.35 * (1.0 - std::min(dn, 1.0)) + 0.2 * ar,
                                    0.0, 1.0);
        Measurement m;
        m.box = box;
        m.center = center;
        m.targetScore = s;
        m.candidateScore = cost;
        m.confidence = q;
        m.reason = Reason::kMotion;
        m.found = true;
        motionCandidates_.push_back(m);
        if (cost < motionCandidates_[winner].candidateScore) winner = motionCandidates_.size() - 1;
    }
    if (motionCandidates_.empty()) return none;

    Measurement best = motionCandidates_[winner];
    // A rival blob close to the winner makes the choice between them uncertain.
    if (config_.motion_ambiguity_radius > 0.0 && motionCandidates_.size() >= 2) {
        for (std::size_t i = 0; i < motionCandidates_.size(); ++i) {
            if (i == winner) continue;
            const Measurement& other = motionCandidates_[i];
            if (distance(other.center, best.center) < config_.motion_ambiguity_radius) {
                const double q = best.confidence;
                best.confidence = std::min(q, 0.5 * q * (1.0 + best.targetScore - other.targetScore));
                break;
            }
        }
    }
    return best;
}

}  // namespace molvane
