// The search of one frame: the tracking pipeline, which tries the cues in order and takes
// the first usable find, and the sky search of a target lost for a while.
#include <algorithm>
#include <climits>
#include <cmath>

#include "config/interval_scaling.hpp"
#include "core/counters.hpp"
#include "core/geometry.hpp"
#include "cues/cue_weights.hpp"
#include "engine/engine_arithmetic.hpp"
#include "engine/target_engine.hpp"

namespace molvane {

using namespace engine_detail;

TrackStep TargetEngine::lostSearch(const cv::Mat& frame, const cv::Mat& grey, double dt) {
    const int W = grey.cols;
    const int H = grey.rows;
    // A refused candidate (a cloud rim that stands still, a blob unlike the target) is
    // set aside and the search looks again, so that it cannot hide the target beyond it.
    constexpr int kSkyLooks = 3;
    const std::size_t ownBlocks = inputs_.blockedRegions.size();
    Measurement m;
    bool taken = false;
    for (int look = 0; look < kSkyLooks && !taken; ++look) {
        m = cues_.sky.search(cueContext(), frame, grey, dt);
        if (!m.found) break;
        taken = !isBlocked(m) && inputs_.motionGate.passes(m.center) &&
                m.confidence >= config_.sky_reacquire_min_score && candidateResembles(grey, m);
        if (!taken) inputs_.blockedRegions.emplace_back(m.box);
    }
    inputs_.blockedRegions.resize(ownBlocks);
    if (taken) {
        increment(draft_.confirmCount);
        // A single sky find is never trusted on its own.
        if (draft_.confirmCount >= std::max(2, config_.reacquire_confirm_frames)) {
            draft_.confirmCount = 0;
            clearAbsence();
            applyMeasurement(frame, grey, m, true, true, dt);
            return hitStep(TrackState::kConfirmed);
        }
        return missStep(Reason::kLostConfirming, dt, W, H);
    }
    return lostStep(Reason::kLostSkySearch, dt, W, H);
}

TrackStep TargetEngine::trackingPipeline(const cv::Mat& frame, const cv::Mat& grey, double dt) {
    const int W = grey.cols;
    const int H = grey.rows;
    const int w = draft_.box.width;
    const int h = draft_.box.height;
    const double dtc = effectiveInterval(dt);
    const double speed = std::hypot(static_cast<double>(draft_.velocity.x), static_cast<double>(draft_.velocity.y));
    const double grow = std::min(speed * dtc * 2.5, 1.0e9);
    const long long searchRadius64 =
        std::min<long long>(config_.max_search_radius, std::max<long long>(60, std::llround(grow) + 40));
    const int searchRadius = static_cast<int>(std::max<long long>(searchRadius64, INT_MIN));

    const float pcx = narrow(draft_.center.x + static_cast<double>(draft_.velocity.x) * dtc);
    const float pcy = narrow(draft_.center.y + static_cast<double>(draft_.velocity.y) * dtc);
    const cv::Rect predictedBox = boxFromCenter(pcx, pcy, w, h, W, H);
    const cv::Point2f pc = rectCenter(predictedBox);
    const double gate = speedGateRadius(dt, config_.max_speed, config_.min_gate_radius);
    auto usable = [&](const Measurement& m) { return m.found && !isBlocked(m) && isAcceptable(m); };
    const CueContext ctx = cueContext();

    // 1. Correlation filter.
    if (config_.correlation_enabled) {
        const CorrelationResult r = correlators_.detect(grey, pc);
        if (r.found && r.psr >= config_.correlation_min_psr && r.sidelobeRatio <= config_.correlation_max_peak_ratio &&
            cueContext().withinGate(r.center, gate)) {
            const double c = std::clamp(r.psr / weights::kCorrelationFullPsr, 0.0, 1.0);
            Measurement m = foundMeasurement(boxFromCenter(r.center.x, r.center.y, w, h, W, H), r.center, c, 1.0 - c, c,
                                             Reason::kCorrelation);
            m.correlationPsr = r.psr;
            const bool tooFar =
                config_.adaptive_box &&
                distance(r.center, pc) > std::max(6.0, std::max(w, h) * std::max(config_.correlation_gate_factor, 0.0));
            if (!isBlocked(m) && isAcceptable(m) && !tooFar) return accept(frame, grey, m, dt);
        }
    }

    TemplateResult templ;
    bool templateDone = false;
    if (model_.extendedTarget) {
        // 2. Boundary, for targets large enough to show an outline.
        const cv::Rect window = growAndClip(predictedBox, searchRadius, W, H);
        if (!window.empty()) {
            const double radius = std::max(1.5 * std::max(w, h), static_cast<double>(searchRadius));
            const Measurement m =
                cues_.boundary.measure(ctx, frame, grey, window, cv::Size(w, h), radius, dt, pc, true);
            if (usable(m)) return accept(frame, grey, m, dt);
        }
    } else {
        // 3. Contrast with the known polarity (either sign when that finds nothing).
        const int polarity = model_.polarity;
        if (polarity != 0) {
            Measurement m =
                cues_.contrast.detect(ctx, frame, grey, predictedBox, searchRadius, dt, polarity, true, false);
            if (!m.found) m = cues_.contrast.detect(ctx, frame, grey, predictedBox, searchRadius, dt, 0, true, false);
            if (usable(m)) return accept(frame, grey, m, dt);
        }
        // 4. Very small targets try the template before frame differencing.
        if (static_cast<long long>(w) * h <= kTinyTargetArea) {
            templ = cues_.templates.measure(ctx, frame, grey, predictedBox, searchRadius, dt);
            templateDone = true;
            if (usable(templ)) return accept(frame, grey, templ, dt);
        }
        // 5. Frame differencing.
        if (!model_.previousFrame.empty() && model_.previousFrame.size() == grey.size()) {
            const Measurement m = cues_.motion.measure(ctx, frame, grey, predictedBox, pc, searchRadius, dt);
            if (usable(m)) return accept(frame, grey, m, dt);
        }
        // 6. Contrast of either sign when the polarity is unknown.
        if (polarity == 0) {
            const Measurement m =
                cues_.contrast.detect(ctx, frame, grey, predictedBox, searchRadius, dt, 0, true, false);
            if (usable(m)) return accept(frame, grey, m, dt);
        }
    }

    // 7. Template.
    if (!templateDone) templ = cues_.templates.measure(ctx, frame, grey, predictedBox, searchRadius, dt);
    draft_.targetScore = templ.score;
    if (templ.found) {
        if (isBlocked(templ)) return reacquireOrMiss(frame, grey, Reason::kLostOwnedRegion, dt);
        if (!isAcceptable(templ)) return reacquireOrMiss(frame, grey, Reason::kLostLowConfidence, dt);
        return accept(frame, grey, templ, dt);
    }
    return reacquireOrMiss(frame, grey, templ.failReason, dt);
}

}  // namespace molvane
