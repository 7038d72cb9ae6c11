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
    work_.inputs.ownedRegionRule = &findInOwnedRegion;
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
        work_.state.center = work_.state.filter.position();
        work_.state.velocity = work_.state.filter.velocity();
    } else {
        work_.state.center.x = narrow(work_.state.center.x + static_cast<double>(work_.state.velocity.x) * dtc);
        work_.state.center.y = narrow(work_.state.center.y + static_cast<double>(work_.state.velocity.y) * dtc);
        work_.state.velocity.x = narrow(work_.state.velocity.x * config_.velocity_decay);
        work_.state.velocity.y = narrow(work_.state.velocity.y * config_.velocity_decay);
    }
    work_.state.displacement.x = narrow(work_.state.velocity.x * dtc);
    work_.state.displacement.y = narrow(work_.state.velocity.y * dtc);
    work_.state.box = boxFromCenter(work_.state.center.x, work_.state.center.y, work_.state.box.width, work_.state.box.height, frameW,
                               frameH);
}

double TargetEngine::beginStep(double dt) {
    config_ = atInterval(profile_, dt);
    const double interval = effectiveInterval(dt);
    stepFrames_ = interval / kReferenceInterval;
    work_.state.filter.predict(interval, manoeuvreSigma(work_.state.box.size(), work_.state.filter));
    return interval;
}

void TargetEngine::smoothDisplay() {
    // A lone target's displayed centre moves on with its motion and smooths only what the
    // motion did not predict: smoothing the whole step left it a sixth of each step behind
    // a fast target (4 px behind a 5 px aircraft at 25 px per frame). In a multi-target
    // lock the display stays behind: near a neighbour, running ahead on a velocity the
    // neighbour may have pulled puts a box on the wrong bird.
    if (!work_.inputs.multiTarget) work_.state.displayCenter += work_.state.displacement;
    const cv::Point2f d = work_.state.center - work_.state.displayCenter;
    if (beyondDeadband(d)) work_.state.displayCenter += kDisplayFollowShare * d;
    const cv::Point2f s =
        cv::Point2f(static_cast<float>(work_.state.box.width), static_cast<float>(work_.state.box.height)) -
        work_.state.displaySize;
    if (beyondDeadband(s)) work_.state.displaySize += kDisplayFollowShare * s;
    work_.state.displayTopLeft = work_.state.displayCenter - 0.5f * work_.state.displaySize;
}

TrackStep TargetEngine::makeStep(TrackState state) const {
    TrackStep step;
    step.targetId = 1;
    step.state = state;
    step.x = work_.state.displayTopLeft.x;
    step.y = work_.state.displayTopLeft.y;
    step.w = work_.state.displaySize.x;
    step.h = work_.state.displaySize.y;
    step.cx = work_.state.displayCenter.x;
    step.cy = work_.state.displayCenter.y;
    step.vx = work_.state.velocity.x;
    step.vy = work_.state.velocity.y;
    step.speed = std::sqrt(step.vx * step.vx + step.vy * step.vy);
    step.hits = work_.state.hits;
    step.misses = work_.state.misses;
    step.age = saturatedSum(work_.state.hits, work_.state.misses);
    return step;
}

TrackStep TargetEngine::hitStep(TrackState state) {
    work_.state.misses = 0;
    increment(work_.state.hits);
    smoothDisplay();
    return makeStep(state);
}

TrackStep TargetEngine::missStep(Reason why, double dtSeconds, int frameW, int frameH) {
    predict(dtSeconds, frameW, frameH);
    increment(work_.state.misses);
    work_.state.reason = why;
    smoothDisplay();
    return makeStep(TrackState::kLost);
}

TrackStep TargetEngine::lostStep(Reason why, double dtSeconds, int frameW, int frameH) {
    work_.state.confirmCount = 0;
    work_.state.candidateScore = 0.0;
    work_.state.confidence = 0.0;
    return missStep(why, dtSeconds, frameW, frameH);
}

bool TargetEngine::isBlocked(const Measurement& m) const { return work_.inputs.blocks(m); }

bool TargetEngine::isAcceptable(const Measurement& m) const {
    if (m.hasPeakStats &&
        !(m.peakPsr >= config_.template_min_psr && m.peakAmbiguity <= config_.template_max_ambiguity)) {
        return false;
    }
    double t = config_.min_confidence;
    const long long area = static_cast<long long>(work_.state.box.width) * work_.state.box.height;
    if (m.reason == Reason::kMotion && area <= kTinyTargetArea) {
        // Tiny targets drown in frame-difference noise; ask more of their motion blobs.
        t = std::max(t, weights::kTinyMotionMin);
        if (m.targetScore < weights::kTinyMotionLowLikeness) t = std::max(t, weights::kTinyMotionLowLikenessMin);
        if (m.targetScore < weights::kTinyMotionPoorLikeness) t = std::max(t, weights::kTinyMotionPoorLikenessMin);
        if (work_.state.confirmCount > 0) t = std::max(t, weights::kTinyMotionConfirmingMin);
    }
    return m.confidence >= t;
}


TrackStep TargetEngine::update(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds) {
    static const std::vector<cv::Rect2f> kNoRegions;
    const TargetProposal proposal =
        proposeStep(frame, grey, kNoRegions, std::nullopt, dtSeconds, false, false);
    return commit(proposal, frame, grey, CommitPolicy{});
}

}  // namespace molvane
