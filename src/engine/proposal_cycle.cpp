// The two-phase step: `propose` measures a frame without changing the engine, `commit`
// adopts a proposal (with the learning and geometry its caller allows), and `coast` moves
// the target on without an observation.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "config/interval_scaling.hpp"
#include "core/geometry.hpp"
#include "core/reasons.hpp"
#include "engine/engine_arithmetic.hpp"
#include "engine/target_engine.hpp"

namespace molvane {

using namespace engine_detail;

TargetProposal TargetEngine::propose(const cv::Mat& frame, const cv::Mat& grey,
                                     const std::vector<cv::Rect2f>& blockedRegions,
                                     const std::optional<cv::Size2f>& referenceSize, double dtSeconds, bool multiTarget,
                                     double findSigmaFloor) {
    return proposeStep(frame, grey, blockedRegions, referenceSize, dtSeconds, multiTarget, true, findSigmaFloor);
}

TargetProposal TargetEngine::proposeStep(const cv::Mat& frame, const cv::Mat& grey,
                                         const std::vector<cv::Rect2f>& blockedRegions,
                                         const std::optional<cv::Size2f>& referenceSize, double dtSeconds,
                                         bool multiTarget, bool scoreAnchor, double findSigmaFloor) {
    if (!initialized_) throw std::logic_error("template tracker proposal requested before initialize");
    if (!std::isfinite(dtSeconds)) throw std::invalid_argument("dtSeconds must be finite");
    if (grey.empty()) throw std::invalid_argument("gray frame must not be empty");

    // The step works on a draft of the committed state; the engine itself stays as it is.
    draft_ = state_;
    learning_.clear();
    ProposalInputs& in = inputs_;
    in.referenceSize = referenceSize;
    in.multiTarget = multiTarget;
    in.findSigmaFloor = std::isfinite(findSigmaFloor) ? std::max(findSigmaFloor, 0.0) : 0.0;
    in.blockedRegions.assign(blockedRegions.begin(), blockedRegions.end());

    TargetProposal out;
    try {
        const double dt = boundedInterval(dtSeconds);
        // Every tracked find is judged against where the target's motion says it is now.
        in.motionGate = motionGate(draft_.filter, draft_.box.size(), beginStep(dt));

        const bool lostMode = config_.sky_search_after_misses > 0 && draft_.misses >= config_.sky_search_after_misses;
        out.step = lostMode ? lostSearch(frame, grey, dt) : trackingPipeline(frame, grey, dt);

        const EngineMotionState& before = state_;
        const EngineMotionState& after = draft_;
        const LearningRecord& learning = learning_;
        const int W = grey.cols;
        const int H = grey.rows;
        const float dtc = static_cast<float>(effectiveInterval(dt));
        out.after = after;
        out.learning = learning;
        out.owner = identity_;
        out.generation = generation_;
        out.scores = stepScores(after);
        out.predictedCenter = {narrow(before.center.x + static_cast<double>(before.velocity.x) * dtc),
                               narrow(before.center.y + static_cast<double>(before.velocity.y) * dtc)};
        out.predictedBox = toRect2f(
            boxFromCenter(out.predictedCenter.x, out.predictedCenter.y, before.box.width, before.box.height, W, H));
        out.center = learning.present ? learning.center : after.center;
        const cv::Rect atCenter = boxFromCenter(out.center.x, out.center.y, before.box.width, before.box.height, W, H);
        out.box = toRect2f(atCenter);
        out.anchorAppearance = 0.0;
        if (scoreAnchor && out.step.state != TrackState::kLost && !atCenter.empty() && !model_.anchorTemplate.empty()) {
            out.anchorAppearance = anchorSimilarity(grey, atCenter);
        }
    } catch (...) {
        releaseDraft();
        throw;
    }
    releaseDraft();
    return out;
}

void TargetEngine::releaseDraft() {
    // Everything of the step now lives in its proposal; the draft keeps only its storage.
    learning_.clear();
    inputs_.referenceSize.reset();
    inputs_.multiTarget = false;
    inputs_.findSigmaFloor = 0.0;
    inputs_.motionGate = MotionGate{};
}

TrackStep TargetEngine::commit(const TargetProposal& p, const cv::Mat& frame, const cv::Mat& grey,
                               const CommitPolicy& policy) {
    if (!p.valid()) throw std::logic_error("invalid template tracker proposal");
    if (p.owner != identity_) {
        throw std::invalid_argument("template tracker proposal belongs to another tracker");
    }
    if (p.generation != generation_) throw std::logic_error("template tracker proposal is stale");

    const EngineMotionState before = state_;
    TrackStep step = p.step;
    const LearningRecord& rec = p.learning;

    const bool acceptGeometry = policy.acceptGeometry;
    const OwnedGeometry& ownedGeometry = policy.owned;
    const bool modeA = !rec.present || (acceptGeometry && !ownedGeometry.valid);
    if (modeA) {
        state_ = p.after;
    } else {
        const bool modeC = acceptGeometry && ownedGeometry.valid;
        int cooldown = p.after.assistCooldown;
        if (modeC && policy.geometryUnclipped && rec.hasGeometry && before.displaySize.x >= 2.f &&
            before.displaySize.y >= 2.f) {
            const double ratio =
                std::max(rec.geometryBox.width / before.displaySize.x, rec.geometryBox.height / before.displaySize.y);
            if (ratio >= 1.12) cooldown = 1;  // the next correlation measurement may re-fit the box
        }
        const cv::Point2f target =
            modeC ? cv::Point2f(ownedGeometry.box.width, ownedGeometry.box.height) : before.displaySize;
        auto follow = [](float current, float wanted) {
            const float e = wanted - current;
            if (std::fabs(e) <= kDisplayDeadband) return current;
            return e < 0.f ? wanted : current + kDisplayFollowShare * e;  // shrink at once, grow smoothly
        };
        const cv::Point2f size(follow(before.displaySize.x, target.x), follow(before.displaySize.y, target.y));
        cv::Point2f dc = before.displayCenter + (rec.center - before.center);
        if (modeC) {
            const cv::Point2f oc = rectCenter(ownedGeometry.box);
            if (beyondDeadband(oc - dc)) dc += kDisplayFollowShare * (oc - dc);
        }
        state_ = p.after;
        state_.assistCooldown = cooldown;
        state_.center = rec.center;
        state_.displacement = rec.displacement;
        state_.velocity = rec.velocity;
        state_.box =
            boxFromCenter(rec.center.x, rec.center.y, before.box.width, before.box.height, grey.cols, grey.rows);
        state_.displaySize = size;
        state_.displayCenter = dc;
        state_.displayTopLeft = dc - 0.5f * size;
        step.x = state_.displayTopLeft.x;
        step.y = state_.displayTopLeft.y;
        step.w = size.x;
        step.h = size.y;
        step.cx = dc.x;
        step.cy = dc.y;
        step.vx = rec.velocity.x;
        step.vy = rec.velocity.y;
        step.speed = std::sqrt(step.vx * step.vx + step.vy * step.vy);
    }

    if (policy.learn) {
        try {
            applyLearning(frame, grey, rec);
        } catch (...) {
            state_ = before;
            throw;
        }
    }
    keepFrame(grey);
    ++generation_;
    return step;
}

TrackStep TargetEngine::coast(const cv::Mat& grey, Reason why, double dtSeconds, bool onFilter,
                              std::optional<cv::Point2f> heldFind, double heldFindSigma) {
    if (!initialized_) throw std::logic_error("template tracker coast requested before initialize");
    if (grey.empty()) throw std::invalid_argument("gray frame must not be empty");
    if (!std::isfinite(dtSeconds)) throw std::invalid_argument("dtSeconds must be finite");
    if (*reasonText(why) == '\0') throw std::invalid_argument("unknown coast reason");

    keepFrame(grey);
    ++generation_;
    // A coast is a step of its own with nothing to propose: it drafts, moves on and adopts.
    // Its display moves on with the prediction, as a lone target's does.
    draft_ = state_;
    inputs_.multiTarget = false;
    const double dt = boundedInterval(dtSeconds);
    beginStep(dt);
    if (heldFind && draft_.filter.started() && std::isfinite(heldFind->x) && std::isfinite(heldFind->y) &&
        std::isfinite(heldFindSigma) && heldFindSigma > 0.0) {
        draft_.filter.correct(*heldFind, heldFindSigma);
    }
    coastOnFilter_ = onFilter && draft_.filter.started();
    const TrackStep step = lostStep(why, dt, grey.cols, grey.rows);
    coastOnFilter_ = false;
    state_ = draft_;
    return step;
}

}  // namespace molvane
