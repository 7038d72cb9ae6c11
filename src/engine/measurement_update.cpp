// Applying an accepted find: placing it by its extent, the confirmation count, and the
// update of motion, box, scores and the pending model update it asks for.
#include <algorithm>
#include <cmath>
#include <optional>

#include "config/interval_scaling.hpp"
#include "core/counters.hpp"
#include "core/geometry.hpp"
#include "core/size_limits.hpp"
#include "engine/engine_arithmetic.hpp"
#include "engine/target_engine.hpp"

namespace molvane {

using namespace engine_detail;

bool TargetEngine::refineByExtent(const cv::Mat& grey, Measurement& m, bool anySize) {
    // A small target is placed and sized by what stands out around the find, whichever cue
    // made it: a cue's own box is often the size it searched with, and its centre the
    // centroid of a thresholded piece. A region whose centre lies more than half a box
    // from the find is something else beside it.
    if (model_.extendedTarget || !m.found || m.confidence < config_.geometry_min_confidence) return false;
    // A reacquisition candidate may be a piece of a target come much closer (a rotor of a
    // drone): its region may be followed out to four times its box.
    constexpr int kCandidateRegrowth = 2;
    const cv::Size around = anySize ? m.box.size() : draft_.box.size();
    const Extent e = cues_.extent.measure(grey, m.center, around, model_.polarity, config_.min_diff_threshold,
                                          anySize ? kCandidateRegrowth : 0);
    if (!e.found) return false;
    // A tracked target grown by more than a size step in one frame has merged with a
    // neighbour passing by.
    const double step = std::max(config_.max_size_step, 1.0);
    if (!anySize &&
        (e.box.width > std::ceil(around.width * step) + 1 || e.box.height > std::ceil(around.height * step) + 1)) {
        return false;
    }
    const cv::Point2f c = rectCenter(e.box);
    const int reach = anySize ? std::max(e.box.width, e.box.height) : std::max(around.width, around.height);
    if (distance(c, m.center) > 0.5 * reach) return false;
    m.center = c;
    m.box = e.box;
    return true;
}

TrackStep TargetEngine::accept(const cv::Mat& frame, const cv::Mat& grey, const Measurement& observed,
                               double dtSeconds) {
    Measurement m = observed;
    const bool sized = refineByExtent(grey, m, false);
    if (std::optional<TrackStep> decided =
            presenceVerdict(frame, grey, m, sized ? m.box.size() : draft_.box.size(), dtSeconds)) {
        return *decided;
    }
    if (draft_.confirmCount < 1) {
        applyMeasurement(frame, grey, m, false, true, dtSeconds);
        return hitStep(TrackState::kConfirmed);
    }
    increment(draft_.confirmCount);
    const bool done =
        config_.reacquire_confirm_frames > 1 ? draft_.confirmCount >= config_.reacquire_confirm_frames : true;
    applyMeasurement(frame, grey, m, true, done, dtSeconds);
    if (done) draft_.confirmCount = 0;
    return hitStep(done ? TrackState::kConfirmed : TrackState::kTentative);
}

// Applying a measurement, in the order the steps depend on each other: the foreground
// assist may replace the correlation find; the motion update (with the correlation guard)
// places the centre; the box is sized within the limits; then scores, reason and the
// pending model update are recorded.
void TargetEngine::applyMeasurement(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m, bool reacquired,
                                    bool confirmed, double dtSeconds) {
    const double dtc = effectiveInterval(boundedInterval(dtSeconds));
    const EngineMotionState old = draft_;
    const cv::Point2f predicted(narrow(old.center.x + static_cast<double>(old.velocity.x) * dtc),
                                narrow(old.center.y + static_cast<double>(old.velocity.y) * dtc));

    const std::optional<Measurement> assisted = foregroundAssist(frame, grey, m, predicted);
    const MotionUpdate motion = updateMotion(m, assisted, reacquired, old, predicted, dtc);
    if (motion.guarded) confirmed = false;
    if (motion.positionUpdated) correctFilter(old, reacquired);

    draft_.box =
        limitedBox(measuredCandidate(m, assisted, motion.guarded, old, grey.size()), old, reacquired, grey.size());
    if (reacquired) {
        // A target found again is shown where it was found, not eased towards.
        draft_.displaySize = {static_cast<float>(draft_.box.width), static_cast<float>(draft_.box.height)};
        draft_.displayCenter = draft_.center;
        draft_.displayTopLeft = {static_cast<float>(draft_.box.x), static_cast<float>(draft_.box.y)};
    }
    takeScores(m, assisted, motion.guarded);
    recordLearning(m, assisted, motion, reacquired, confirmed, predicted);
}

std::optional<Measurement> TargetEngine::foregroundAssist(const cv::Mat& frame, const cv::Mat& grey,
                                                          const Measurement& m, cv::Point2f predicted) {
    // A strong correlation find may have its box re-fitted to the foreground blob under it,
    // every `foreground_box_interval` steps at most.
    bool eligible = true;
    if (draft_.assistCooldown >= 1) {
        --draft_.assistCooldown;
        eligible = draft_.assistCooldown == 0;
    }
    if (config_.adaptive_box && eligible && m.reason == Reason::kCorrelation &&
        m.correlationPsr >= config_.foreground_box_min_psr && m.confidence >= config_.min_confidence) {
        draft_.assistCooldown = std::max(0, config_.foreground_box_interval);
        return cues_.boxSearch.search(cueContext(), frame, grey, m, predicted);
    }
    return std::nullopt;
}

TargetEngine::MotionUpdate TargetEngine::updateMotion(const Measurement& m, const std::optional<Measurement>& assisted,
                                                      bool reacquired, const EngineMotionState& old,
                                                      cv::Point2f predicted, double dtc) {
    // The correlation guard: with an adaptive box, a correlation find (not re-fitted by the
    // assist) further from the prediction than the gate is not trusted with the position,
    // and the target flies on at its prediction.
    const bool guardActive = config_.adaptive_box && m.reason == Reason::kCorrelation && !reacquired;
    const double a = std::clamp(config_.velocity_gain, 0.0, 1.0);
    const double gate =
        std::max(6.0, std::max(old.box.width, old.box.height) * std::max(config_.correlation_gate_factor, 0.0));
    const double d = distance(m.center, predicted);

    MotionUpdate out;
    const cv::Point2f& p = predicted;
    if (guardActive && d > gate && !assisted) {
        out.guarded = true;
        out.positionUpdated = false;
        draft_.center = p;
        draft_.velocity.x = narrow((1.0 - a) * old.velocity.x + a * (p.x - old.center.x) / dtc);
        draft_.velocity.y = narrow((1.0 - a) * old.velocity.y + a * (p.y - old.center.y) / dtc);
    } else if (reacquired) {
        // A reacquired target starts again at rest.
        draft_.center = assisted ? assisted->center : m.center;
        draft_.velocity = {0.f, 0.f};
    } else {
        // The velocity blends the observed motion in with the gain.
        const cv::Point2f q = assisted ? assisted->center : m.center;
        draft_.center = q;
        draft_.velocity.x = narrow((1.0 - a) * old.velocity.x + a * (static_cast<double>(q.x) - old.center.x) / dtc);
        draft_.velocity.y = narrow((1.0 - a) * old.velocity.y + a * (static_cast<double>(q.y) - old.center.y) / dtc);
    }
    draft_.displacement.x = narrow(draft_.velocity.x * dtc);
    draft_.displacement.y = narrow(draft_.velocity.y * dtc);
    return out;
}

void TargetEngine::correctFilter(const EngineMotionState& old, bool reacquired) {
    // A find far off the motion's course (a reacquisition elsewhere) starts the filter
    // anew; any other corrects it.
    if (reacquired && !inputs_.motionGate.passes(draft_.center)) {
        draft_.filter.reset(draft_.center, {0.f, 0.f}, centreSigma(old.box.size()),
                            seedVelocitySigma(config_.max_speed));
    } else {
        draft_.filter.correct(draft_.center, std::max(centreSigma(old.box.size()), inputs_.findSigmaFloor));
    }
}

cv::Rect TargetEngine::measuredCandidate(const Measurement& m, const std::optional<Measurement>& assisted, bool guarded,
                                         const EngineMotionState& old, cv::Size frame) const {
    // The assist's box; else the find's own box when it is confident enough to size the
    // target; else the old size at the new centre.
    if (assisted) return assisted->box;
    if (m.confidence < config_.geometry_min_confidence || guarded) {
        return boxFromCenter(draft_.center.x, draft_.center.y, old.box.width, old.box.height, frame.width,
                             frame.height);
    }
    return m.box;
}

cv::Rect TargetEngine::limitedBox(const cv::Rect& candidate, const EngineMotionState& old, bool reacquired,
                                  cv::Size frame) const {
    const int W = frame.width;
    const int H = frame.height;
    // Size limits: relative to the seed, and at most one size step per update.
    const cv::Rect measured = clipToFrame(candidate.x, candidate.y, candidate.width, candidate.height, W, H);
    cv::Size measuredSize = measured.size();
    if (measured.empty()) {
        measuredSize = (old.box.width > 0 && old.box.height > 0) ? old.box.size() : model_.seedSize;
    }
    const cv::Size seedSize = model_.seedSize;
    const double minScale = std::max(config_.min_size_scale, 0.05);
    const long long seedArea = static_cast<long long>(seedSize.width) * seedSize.height;
    const double maxScale = std::max(maxSizeScale(config_, static_cast<double>(seedArea)), minScale);
    const double step = std::max(config_.max_size_step, 1.0);
    // A target found again after it was lost for a while may be any size by now.
    const bool freeStep =
        reacquired && (inputs_.referenceSize.has_value() ||
                       (config_.sky_search_after_misses > 0 && old.misses >= config_.sky_search_after_misses));
    auto limitAxis = [&](int seed, int oldSize, int measuredValue, int frameSize) {
        const double s = std::max(seed, 1);
        double lo = std::max(1.0, std::floor(s * minScale));
        double hi = std::max(lo, std::ceil(s * maxScale));
        if (!freeStep && oldSize > 0 && step > 1.0) {
            lo = std::max(lo, std::floor(oldSize / step));
            hi = std::min(hi, std::ceil(oldSize * step));
        }
        hi = std::min(hi, static_cast<double>(frameSize));
        hi = std::max(hi, lo);
        const double v = std::clamp(static_cast<double>(std::max(measuredValue, 1)), lo, hi);
        // The box never exceeds the frame, so clamping here keeps the int conversion defined.
        return static_cast<int>(std::clamp(v, 1.0, static_cast<double>(std::max(frameSize, 1))));
    };
    const int newW = limitAxis(seedSize.width, old.box.width, measuredSize.width, W);
    const int newH = limitAxis(seedSize.height, old.box.height, measuredSize.height, H);
    return boxFromCenter(draft_.center.x, draft_.center.y, newW, newH, W, H);
}

void TargetEngine::takeScores(const Measurement& m, const std::optional<Measurement>& assisted, bool guarded) {
    draft_.targetScore = m.targetScore;
    draft_.candidateScore = m.candidateScore;
    draft_.confidence = m.confidence;
    if (assisted) {
        draft_.reason = Reason::kCorrelationForegroundBox;
    } else if (guarded) {
        draft_.reason = Reason::kCorrelationGuarded;
    } else {
        draft_.reason = m.reason;
    }
}

void TargetEngine::recordLearning(const Measurement& m, const std::optional<Measurement>& assisted,
                                  const MotionUpdate& motion, bool reacquired, bool confirmed, cv::Point2f predicted) {
    LearningRecord& rec = learning_;
    rec.clear();
    rec.present = true;
    rec.appearanceAllowed = confirmed && m.confidence >= config_.learn_min_confidence;
    rec.reacquired = reacquired;
    rec.confirmed = confirmed;
    rec.positionUpdated = motion.positionUpdated;
    rec.confidence = m.confidence;
    rec.peakRatio = m.correlationPsr;
    rec.center = motion.guarded ? predicted : m.center;
    rec.displacement = draft_.displacement;
    rec.velocity = draft_.velocity;
    // Cues that outline the target may resize it; the assist's blob always may.
    const bool cueGeometry = m.reason == Reason::kMotion || m.reason == Reason::kForeground ||
                             m.reason == Reason::kBoundary || m.reason == Reason::kContrast ||
                             m.reason == Reason::kTemplate;
    if (cueGeometry && config_.cue_geometry_update && m.confidence >= config_.geometry_min_confidence &&
        !motion.guarded) {
        rec.hasGeometry = true;
        rec.geometryBox = assisted ? toRect2f(assisted->box) : toRect2f(m.box);
        rec.geometryConfidence = assisted ? assisted->confidence : m.confidence;
    } else if (assisted) {
        rec.hasGeometry = true;
        rec.geometryBox = toRect2f(assisted->box);
        rec.geometryConfidence = assisted->confidence;
    }
    rec.source = m.reason;
}

}  // namespace molvane
