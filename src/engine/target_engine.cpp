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
#include "engine/owned_region.hpp"

namespace molvane {

using namespace engine_detail;

namespace {

std::atomic<std::uint64_t> gNextIdentity{0};

}  // namespace

TargetEngine::TargetEngine(const TrackerParams& params, std::shared_ptr<GreyFrames> frames)
    : profile_(params),
      config_(params),
      identity_(gNextIdentity.fetch_add(1, std::memory_order_relaxed) + 1),
      frames_(frames ? std::move(frames) : std::make_shared<GreyFrames>()) {
    state_.reason = Reason::kInit;
    inputs_.ownedRegionRule = &findInOwnedRegion;
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
        draft_.center = draft_.filter.position();
        draft_.velocity = draft_.filter.velocity();
    } else {
        draft_.center.x = narrow(draft_.center.x + static_cast<double>(draft_.velocity.x) * dtc);
        draft_.center.y = narrow(draft_.center.y + static_cast<double>(draft_.velocity.y) * dtc);
        draft_.velocity.x = narrow(draft_.velocity.x * config_.velocity_decay);
        draft_.velocity.y = narrow(draft_.velocity.y * config_.velocity_decay);
    }
    draft_.displacement.x = narrow(draft_.velocity.x * dtc);
    draft_.displacement.y = narrow(draft_.velocity.y * dtc);
    draft_.box = boxFromCenter(draft_.center.x, draft_.center.y, draft_.box.width, draft_.box.height, frameW, frameH);
}

double TargetEngine::beginStep(double dt) {
    config_ = atInterval(profile_, dt);
    const double interval = effectiveInterval(dt);
    stepFrames_ = interval / kReferenceInterval;
    draft_.filter.predict(interval, manoeuvreSigma(draft_.box.size(), draft_.filter));
    return interval;
}

void TargetEngine::smoothDisplay() {
    // A lone target's displayed centre moves on with its motion and smooths only what the
    // motion did not predict: smoothing the whole step left it a sixth of each step behind
    // a fast target (4 px behind a 5 px aircraft at 25 px per frame). In a multi-target
    // lock the display stays behind: near a neighbour, running ahead on a velocity the
    // neighbour may have pulled puts a box on the wrong bird.
    if (!inputs_.multiTarget) draft_.displayCenter += draft_.displacement;
    const cv::Point2f d = draft_.center - draft_.displayCenter;
    if (beyondDeadband(d)) draft_.displayCenter += kDisplayFollowShare * d;
    const cv::Point2f s =
        cv::Point2f(static_cast<float>(draft_.box.width), static_cast<float>(draft_.box.height)) - draft_.displaySize;
    if (beyondDeadband(s)) draft_.displaySize += kDisplayFollowShare * s;
    draft_.displayTopLeft = draft_.displayCenter - 0.5f * draft_.displaySize;
}

TrackStep TargetEngine::makeStep(TrackState state) const {
    TrackStep step;
    step.targetId = 1;
    step.state = state;
    step.x = draft_.displayTopLeft.x;
    step.y = draft_.displayTopLeft.y;
    step.w = draft_.displaySize.x;
    step.h = draft_.displaySize.y;
    step.cx = draft_.displayCenter.x;
    step.cy = draft_.displayCenter.y;
    step.vx = draft_.velocity.x;
    step.vy = draft_.velocity.y;
    step.speed = std::sqrt(step.vx * step.vx + step.vy * step.vy);
    step.hits = draft_.hits;
    step.misses = draft_.misses;
    step.age = saturatedSum(draft_.hits, draft_.misses);
    return step;
}

TrackStep TargetEngine::hitStep(TrackState state) {
    draft_.misses = 0;
    increment(draft_.hits);
    smoothDisplay();
    return makeStep(state);
}

TrackStep TargetEngine::missStep(Reason why, double dtSeconds, int frameW, int frameH) {
    predict(dtSeconds, frameW, frameH);
    increment(draft_.misses);
    draft_.reason = why;
    smoothDisplay();
    return makeStep(TrackState::kLost);
}

TrackStep TargetEngine::lostStep(Reason why, double dtSeconds, int frameW, int frameH) {
    draft_.confirmCount = 0;
    draft_.candidateScore = 0.0;
    draft_.confidence = 0.0;
    return missStep(why, dtSeconds, frameW, frameH);
}

bool TargetEngine::isBlocked(const Measurement& m) const { return inputs_.blocks(m); }

bool TargetEngine::isAcceptable(const Measurement& m) const {
    if (m.hasPeakStats &&
        !(m.peakPsr >= config_.template_min_psr && m.peakAmbiguity <= config_.template_max_ambiguity)) {
        return false;
    }
    double t = config_.min_confidence;
    const long long area = static_cast<long long>(draft_.box.width) * draft_.box.height;
    if (m.reason == Reason::kMotion && area <= kTinyTargetArea) {
        // Tiny targets drown in frame-difference noise; ask more of their motion blobs.
        t = std::max(t, weights::kTinyMotionMin);
        if (m.targetScore < weights::kTinyMotionLowLikeness) t = std::max(t, weights::kTinyMotionLowLikenessMin);
        if (m.targetScore < weights::kTinyMotionPoorLikeness) t = std::max(t, weights::kTinyMotionPoorLikenessMin);
        if (draft_.confirmCount > 0) t = std::max(t, weights::kTinyMotionConfirmingMin);
    }
    return m.confidence >= t;
}

TrackStep TargetEngine::update(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds) {
    static const std::vector<cv::Rect2f> kNoRegions;
    const TargetProposal proposal = proposeStep(frame, grey, kNoRegions, std::nullopt, dtSeconds, false, false);
    return commit(proposal, frame, grey, CommitPolicy{});
}

}  // namespace molvane
