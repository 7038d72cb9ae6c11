// The engine's identity and the small state rules every step shares: the interval a step
// spans, prediction, display smoothing, the endings of a step (hit, miss, lost), and the
// gates a find must pass.
#include "engine/target_engine.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>

#include "config/interval_scaling.hpp"
#include "core/counters.hpp"
#include "core/geometry.hpp"
#include "cues/cue_weights.hpp"
#include "engine/engine_arithmetic.hpp"

namespace molvane {

using namespace engine_detail;

namespace {

std::atomic<std::uint64_t> gNextIdentity{0};

}  // namespace

const TargetProposal::Impl& TargetProposal::impl() const {
    if (!impl_) throw std::logic_error("invalid template tracker proposal");
    return *impl_;
}

TargetEngine::TargetEngine(const TrackerParams& params, std::shared_ptr<GreyFrames> frames)
    : profile_(params),
      config_(params),
      identity_(gNextIdentity.fetch_add(1, std::memory_order_relaxed) + 1),
      frames_(frames ? std::move(frames) : std::make_shared<GreyFrames>()) {
    state_.reason = Reason::kInit;
}
void TargetEngine::keepFrame(const cv::Mat& grey) {
    // Let go first: when nothing else holds the old frame, its buffer takes this one.
    model_.previousFrame.release();
    model_.previousFrame = frames_->keep(grey);
}

double TargetEngine::anchorSimilarity(const cv::Mat& grey, const cv::Rect& box) {
    return cues_.scorer.greySimilarity(grey, box, model_.anchorTemplate);
}

void TargetEngine::predict(double dtSeconds, int frameW, int frameH) {
    const double dtc = effectiveInterval(boundedInterval(dtSeconds));
    if (coastOnFilter_) {
        state_.center = state_.filter.position();
        state_.velocity = state_.filter.velocity();
    } else {
        state_.center.x = narrow(state_.center.x + static_cast<double>(state_.velocity.x) * dtc);
        state_.center.y = narrow(state_.center.y + static_cast<double>(state_.velocity.y) * dtc);
        state_.velocity.x = narrow(state_.velocity.x * config_.velocity_decay);
        state_.velocity.y = narrow(state_.velocity.y * config_.velocity_decay);
    }
    state_.displacement.x = narrow(state_.velocity.x * dtc);
    state_.displacement.y = narrow(state_.velocity.y * dtc);
    state_.box = boxFromCenter(state_.center.x, state_.center.y, state_.box.width, state_.box.height, frameW,
                               frameH);
}

double TargetEngine::beginStep(double dt) {
    config_ = atInterval(profile_, dt);
    const double interval = effectiveInterval(dt);
    stepFrames_ = interval / kReferenceInterval;
    state_.filter.predict(interval, manoeuvreSigma(state_.box.size(), state_.filter));
    return interval;
}

void TargetEngine::smoothDisplay() {
    // A lone target's displayed centre moves on with its motion and smooths only what the
    // motion did not predict: smoothing the whole step left it a sixth of each step behind
    // a fast target (4 px behind a 5 px aircraft at 25 px per frame). In a multi-target
    // lock the display stays behind: near a neighbour, running ahead on a velocity the
    // neighbour may have pulled puts a box on the wrong bird.
    if (!inputs_.multiTarget) state_.displayCenter += state_.displacement;
    const cv::Point2f d = state_.center - state_.displayCenter;
    if (beyondDeadband(d)) state_.displayCenter += kDisplayFollowShare * d;
    const cv::Point2f s =
        cv::Point2f(static_cast<float>(state_.box.width), static_cast<float>(state_.box.height)) -
        state_.displaySize;
    if (beyondDeadband(s)) state_.displaySize += kDisplayFollowShare * s;
    state_.displayTopLeft = state_.displayCenter - 0.5f * state_.displaySize;
}

TrackStep TargetEngine::makeStep(TrackState state) const {
    TrackStep step;
    step.targetId = 1;
    step.state = state;
    step.x = state_.displayTopLeft.x;
    step.y = state_.displayTopLeft.y;
    step.w = state_.displaySize.x;
    step.h = state_.displaySize.y;
    step.cx = state_.displayCenter.x;
    step.cy = state_.displayCenter.y;
    step.vx = state_.velocity.x;
    step.vy = state_.velocity.y;
    step.speed = std::sqrt(step.vx * step.vx + step.vy * step.vy);
    step.hits = state_.hits;
    step.misses = state_.misses;
    step.age = saturatedSum(state_.hits, state_.misses);
    return step;
}

TrackStep TargetEngine::hitStep(TrackState state) {
    state_.misses = 0;
    increment(state_.hits);
    smoothDisplay();
    return makeStep(state);
}

TrackStep TargetEngine::missStep(Reason why, double dtSeconds, int frameW, int frameH) {
    predict(dtSeconds, frameW, frameH);
    increment(state_.misses);
    state_.reason = why;
    smoothDisplay();
    return makeStep(TrackState::kLost);
}

TrackStep TargetEngine::lostStep(Reason why, double dtSeconds, int frameW, int frameH) {
    state_.confirmCount = 0;
    state_.candidateScore = 0.0;
    state_.confidence = 0.0;
    return missStep(why, dtSeconds, frameW, frameH);
}

bool TargetEngine::isBlocked(const Measurement& m) const { return inputs_.blocks(m); }

bool TargetEngine::isAcceptable(const Measurement& m) const {
    if (m.hasPeakStats &&
        !(m.peakPsr >= config_.template_min_psr && m.peakAmbiguity <= config_.template_max_ambiguity)) {
        return false;
    }
    double t = config_.min_confidence;
    const long long area = static_cast<long long>(state_.box.width) * state_.box.height;
    if (m.reason == Reason::kMotion && area <= kTinyTargetArea) {
        // Tiny targets drown in frame-difference noise; ask more of their motion blobs.
        t = std::max(t, weights::kTinyMotionMin);
        if (m.targetScore < weights::kTinyMotionLowLikeness) t = std::max(t, weights::kTinyMotionLowLikenessMin);
        if (m.targetScore < weights::kTinyMotionPoorLikeness) t = std::max(t, weights::kTinyMotionPoorLikenessMin);
        if (state_.confirmCount > 0) t = std::max(t, weights::kTinyMotionConfirmingMin);
    }
    return m.confidence >= t;
}


TrackStep TargetEngine::update(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds) {
    static const std::vector<cv::Rect2f> kNoRegions;
    const TargetProposal proposal =
        proposeStep(frame, grey, kNoRegions, std::nullopt, dtSeconds, false, false);
    return commit(proposal, frame, grey, true, true, OwnedGeometry{}, false);
}

}  // namespace molvane
