// Lost-target search against sky: compact blobs brighter or darker than the local sky,
// looked for in rings of growing size around the last position.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "engine/geometry.hpp"
#include "engine/reasons.hpp"
#include "engine/template_tracker.hpp"

namespace molvane {

namespace {

// Regions larger than this in either direction are searched at half resolution.
constexpr int kHalfResolutionSide = 200;
// Caps a caller-supplied expected size so that the rounding below stays defined; no
// frame is this large.
constexpr float kMaxExpectedSide = 1 << 20;

int expectedSide(float v) { return std::max(static_cast<int>(std::lround(std::min(v, kMaxExpectedSide))), 2); }

}  // namespace

Measurement TemplateTracker::searchSky(const cv::Mat& colourFrame, const cv::Mat& grey, double dtSeconds) {
    Measurement none;
    if (grey.empty()) return none;
    const int W = grey.cols;
    const int H = grey.rows;

    int w = state_.box.width;
    int h = state_.box.height;
    if (referenceSize_ && std::isfinite(referenceSize_->width) && std::isfinite(referenceSize_->height) &&
        referenceSize_->width >= 2.f && referenceSize_->height >= 2.f) {
        w = expectedSide(referenceSize_->width);
        h = expectedSide(referenceSize_->height);
    }
    if (w < 1 || h < 1) return none;

    const double A = static_cast<double>(w) * h;
    const double aspect = static_cast<double>(w) / h;
    const long long m = std::max(w, h);
    const long long dMax = std::max(W, H);
    const cv::Rect base = boxFromCenter(state_.center.x, state_.center.y, w, h, W, H);

    const cv::Point2f p(std::clamp(state_.center.x, 0.f, static_cast<float>(W - 1)),
                        std::clamp(state_.center.y, 0.f, static_cast<float>(H - 1)));
    const double gate = speedGateRadius(dtSeconds, config_.max_speed, config_.min_gate_radius) *
                        std::sqrt(static_cast<double>(std::max(state_.misses, 1)));

    const bool colourModel = colourFrame.channels() > 1 && !labPatch_.empty() && labChannels_.size() >= 3;
    const cv::Mat& kernel = morphKernel_;

    for (long long R : {2 * m, 5 * m, dMax / 2, dMax}) {
        const cv::Rect region = growAndClip(base, R, W, H);
        if (region.empty()) continue;
        const cv::Mat roi = grey(region);

        cv::Scalar mu, sigma;
        cv::meanStdDev(roi, mu, sigma);
        const cv::Scalar level(cv::saturate_cast<uchar>(mu[0]));  // the mean as an 8-bit image value
        if (polarity_ > 0) {
            cv::subtract(roi, level, skyDiff_);
        } else if (polarity_ < 0) {
            cv::subtract(level, roi, skyDiff_);
        } else {
            cv::absdiff(roi, level, skyDiff_);
        }
        const double threshold = std::max(0.8 * sigma[0], static_cast<double>(config_.min_diff_threshold));
        cv::threshold(skyDiff_, skyBinary_, threshold, 255, cv::THRESH_BINARY);

        int k = 1;
        double s = 1.0;
        cv::Mat* binary = &skyBinary_;
        if (region.width > kHalfResolutionSide || region.height > kHalfResolutionSide) {
            if (skyBinary_.cols >= 2 && skyBinary_.rows >= 2) {
                cv::resize(skyBinary_, skyHalf_, cv::Size(), 0.5, 0.5, cv::INTER_NEAREST);
            } else {
                // A one-pixel side would shrink to nothing; keep it one pixel.
                cv::resize(skyBinary_, skyHalf_, cv::Size(std::max(1, cvRound(skyBinary_.cols * 0.5)),
                                                          std::max(1, cvRound(skyBinary_.rows * 0.5))),
                           0, 0, cv::INTER_NEAREST);
            }
            binary = &skyHalf_;
            k = 2;
            s = 0.25;
        }
        openOrClose(*binary, cv::MORPH_CLOSE, kernel, skyMorph_);
        cv::findContours(*binary, skyContours_, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);

        double bestE = -1.0;
        cv::Rect bestBox;
        cv::Point2f bestCentroid;
        double bestC = 0.0;
        const double areaLo = 0.05 * A * s;
        const double areaHi = 6.0 * A * s;
        for (const auto& contour : skyContours_) {
            const double a = cv::contourArea(contour);
            if (a < areaLo || a > areaHi) continue;
            const cv::Rect br = cv::boundingRect(contour);
            if (br.width <= 0 || br.height <= 0) continue;
            const double r = static_cast<double>(br.width) / br.height;
            if (r / aspect > 5.0 || aspect / r > 5.0) continue;
            const cv::Moments mo = cv::moments(contour);
            if (std::fabs(mo.m00) <= 1e-6) continue;
            const cv::Point2f centroid(static_cast<float>(mo.m10 / mo.m00 * k + region.x),
                                       static_cast<float>(mo.m01 / mo.m00 * k + region.y));
            if (distance(centroid, p) > gate) continue;
            const cv::Rect candidate = boxFromCenter(centroid.x, centroid.y, w, h, W, H);
            // A blob another target owns is no candidate: two lost targets searching the
            // same stretch of sky would otherwise both settle on the nearer twin.
            Measurement owned;
            owned.box = candidate;
            owned.center = centroid;
            if (isBlocked(owned)) continue;

            double c = 0.5;
            double colourTerm = 0.325;
            if (colourModel) {
                const cv::Rect crop = intersect(candidate, cv::Rect(0, 0, W, H));
                if (crop.empty()) {
                    c = 0.0;
                    colourTerm = 0.0;
                } else {
                    cv::Mat patch = colourFrame(crop);
                    if (patch.size() != labPatch_.size()) {
                        cv::resize(patch, skyPatch_, labPatch_.size(), 0, 0, cv::INTER_AREA);
                        patch = skyPatch_;
                    }
                    if (patch.channels() == 4) {
                        cv::cvtColor(patch, skyBgr_, cv::COLOR_BGRA2BGR);
                        patch = skyBgr_;
                    }
                    if (patch.channels() == 3) {
                        cv::cvtColor(patch, skyLab_, cv::COLOR_BGR2Lab);
                        splitChannels(skyLab_, skyLabChannels_);
                        const double n = static_cast<double>(skyLab_.total());
                        const double d1 = cv::norm(skyLabChannels_[1], labChannels_[1], cv::NORM_L1) / n;
                        const double d2 = cv::norm(skyLabChannels_[2], labChannels_[2], cv::NORM_L1) / n;
                        c = std::clamp(1.0 - (d1 + d2) * 0.5 / 64.0, 0.0, 1.0);
                        colourTerm = 0.65 * c;
                    }
                }
            }

            const double as = A * s;
            const double t = as > 1.0 ? a / as : a;
            const double q = 1.0 - 0.5 * std::fabs(1.0 - t);
            const double sizeTerm = std::clamp(0.35 * q, 0.0, 0.35);
            const double e = sizeTerm + colourTerm;
            if (e > bestE) {
                bestE = e;
                bestBox = candidate;
                bestCentroid = centroid;
                bestC = c;
            }
        }

        if (bestE < 0.2) continue;  // also when there was no candidate at all
        double confidence = bestE;
        if (!template_.empty()) {
            double d = greySimilarity(grey, bestBox, template_);
            if (!anchorTemplate_.empty()) d = std::max(d, greySimilarity(grey, bestBox, anchorTemplate_));
            if (d < 0.25) continue;
            confidence = 0.5 * d + 0.5 * bestE;
        }

        Measurement found;
        found.box = bestBox;
        found.center = bestCentroid;
        found.targetScore = bestC;
        found.candidateScore = bestE;
        found.confidence = confidence;
        found.reason = Reason::kSkyReacquire;
        found.found = true;
        return found;
    }
    return none;
}

}  // namespace molvane
