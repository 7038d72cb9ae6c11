// Model learning after an applied measurement, and the foreground box search that gives a
// correlation measurement (which follows texture, not extent) a measured size.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "engine/geometry.hpp"
#include "engine/reasons.hpp"
#include "engine/template_tracker.hpp"

namespace molvane {

namespace {

// Window growth per pass of the foreground box search.
constexpr double kWindowGrowth = 1.8;
// Upper bound on a window side; the window is clipped to the frame anyway.
constexpr double kMaxWindowSide = 1 << 30;

float clampedRate(double rate) {
    if (!std::isfinite(rate)) return 0.f;
    return static_cast<float>(std::clamp(rate, 0.0, 1.0));
}

int windowLimit(int seedSide, double factor) {
    return static_cast<int>(std::min(std::max(std::ceil(seedSide * factor), 2.0), kMaxWindowSide));
}

int grownSide(int side, int limit) {
    const double grown = std::max(std::ceil(kWindowGrowth * side), static_cast<double>(side) + 1.0);
    return static_cast<int>(std::min(grown, static_cast<double>(limit)));
}

}  // namespace

void TemplateTracker::applyLearning(const cv::Mat& colourFrame, const cv::Mat& grey, const LearningRecord& record) {
    if (!record.present || grey.empty()) return;
    const cv::Rect R = intersect(state_.box, cv::Rect(0, 0, grey.cols, grey.rows));
    if (R.empty()) return;

    if (record.appearanceAllowed) {
        const double r = config_.template_learning_rate;
        if (template_.size() == R.size() && template_.type() == grey.type()) {
            cv::addWeighted(template_, 1.0 - r, grey(R), r, 0.0, template_);
            // A one-pixel side has no half-size version (the resize would have no pixels).
            if (template_.cols >= 2 && template_.rows >= 2) {
                cv::resize(template_, halfTemplate_, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
            } else {
                halfTemplate_.release();
            }
        }
        const bool sameFrame = colourFrame.size() == grey.size();
        if (sameFrame && colourFrame.channels() >= 3 && !colourPatch_.empty() &&
            colourFrame.type() == colourPatch_.type()) {
            cv::Mat croi = colourFrame(R);
            if (croi.size() != colourPatch_.size()) {
                cv::resize(croi, learnColourScratch_, colourPatch_.size(), 0, 0, cv::INTER_AREA);
                croi = learnColourScratch_;
            }
            cv::addWeighted(colourPatch_, 1.0 - r, croi, r, 0.0, colourPatch_);
            const cv::Mat* bgr = &colourPatch_;
            if (colourPatch_.channels() == 4) {
                cv::cvtColor(colourPatch_, learnBgr_, cv::COLOR_BGRA2BGR);
                bgr = &learnBgr_;
            }
            if (bgr->channels() == 3) {
                cv::cvtColor(*bgr, labPatch_, cv::COLOR_BGR2Lab);
                splitChannels(labPatch_, labChannels_);
            }
        }
    }

    if (!config_.correlation_enabled) return;
    if (record.source == Reason::kCorrelation && record.peakRatio >= config_.correlation_learn_min_psr &&
        record.positionUpdated) {
        if (!correlators_.empty() && correlators_.selectedIndex() < correlators_.size()) {
            const float eta = clampedRate(config_.correlation_learning_rate);
            const cv::Mat& patch = correlators_.extractPatch(grey, state_.center);
            correlators_.filter(correlators_.selectedIndex()).update(patch, eta);
        }
    } else if (record.reacquired && record.confirmed) {
        correlators_.train(grey, state_.box, config_.correlation_search_size);
    }
}

std::optional<Measurement> TemplateTracker::searchForegroundBox(const cv::Mat& colourFrame, const cv::Mat& grey,
                                                                const Measurement& measurement,
                                                                cv::Point2f predictedCenter, bool multiTarget) {
    if (grey.empty()) return std::nullopt;
    const int W = grey.cols;
    const int H = grey.rows;

    double f = std::max(config_.max_size_scale, config_.min_size_scale);
    const long long seedArea = static_cast<long long>(seedSize_.width) * seedSize_.height;
    if (seedArea <= 150) {
        f = std::max(f, 12.0);
    } else if (seedArea <= 1200) {
        f = std::max(f, 5.0);
    }
    const int maxW = windowLimit(seedSize_.width, f);
    const int maxH = windowLimit(seedSize_.height, f);
    const int passes = multiTarget ? 4 : 1;

    const double boxSide = std::max(state_.box.width, state_.box.height);
    auto gate = [&](double k, int ws, int hs) {
        return std::max(0.5 * k * std::max(ws, hs), std::max(6.0, std::max(k, 0.0) * boxSide));
    };

    std::optional<Measurement> result;
    int ws = state_.box.width;
    int hs = state_.box.height;
    for (int pass = 0; pass < passes; ++pass) {
        // Same placement as a box from centre: clamped size, rounded corner kept inside.
        const cv::Rect window = boxFromCenter(predictedCenter.x, predictedCenter.y, ws, hs, W, H);
        // Only the box, centre and confidence of the blob are used.
        const Measurement fg = foregroundBlob(colourFrame, grey, window, predictedCenter, false);
        bool accepted = false;
        if (fg.found) {
            const double d1 = distance(fg.center, predictedCenter);
            const double d2 = distance(fg.center, measurement.center);
            accepted = !isBlocked(fg) && fg.confidence >= config_.foreground_min_score &&
                       d1 <= gate(config_.correlation_gate_factor, ws, hs) &&
                       d2 <= gate(config_.foreground_gate_factor, ws, hs);
            if (accepted && (!result || static_cast<long long>(fg.box.width) * fg.box.height >
                                            static_cast<long long>(result->box.width) * result->box.height)) {
                result = fg;
            }
        }
        if (accepted && !fg.flag) break;  // the blob lies wholly inside the window
        if (pass + 1 == passes) break;
        const int nextH = grownSide(hs, maxH);
        const int nextW = grownSide(ws, maxW);
        if (nextH == hs && nextW == ws) break;
        hs = nextH;
        ws = nextW;
    }
    return result;
}

}  // namespace molvane
