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
                                                 const std::optional<cv::Size2f>& referenceSize,
                                                 double dtSeconds, bool multiTarget, double findSigmaFloor) {
    return proposeStep(frame, grey, blockedRegions, referenceSize, dtSeconds, multiTarget, true, findSigmaFloor);
}

TargetProposal TargetEngine::proposeStep(const cv::Mat& frame, const cv::Mat& grey,
                                                     const std::vector<cv::Rect2f>& blockedRegions,
                                                     const std::optional<cv::Size2f>& referenceSize,
                                                     double dtSeconds, bool multiTarget, bool scoreAnchor,
                                                     double findSigmaFloor) {
    if (!initialized_) throw std::logic_error("template tracker proposal requested before initialize");
    if (proposalActive_) throw std::logic_error("nested template tracker proposal is not supported");

    const EngineMotionState snapshot = state_;
    learning_.clear();
    inputs_.referenceSize = referenceSize;
    inputs_.multiTarget = multiTarget;
    inputs_.findSigmaFloor = std::isfinite(findSigmaFloor) ? std::max(findSigmaFloor, 0.0) : 0.0;
    proposalActive_ = true;

    std::shared_ptr<TargetProposal::Impl> impl;
    try {
        if (!std::isfinite(dtSeconds)) throw std::invalid_argument("dtSeconds must be finite");
        if (grey.empty()) throw std::invalid_argument("gray frame must not be empty");
        const double dt = boundedInterval(dtSeconds);
        inputs_.blockedRegions.assign(blockedRegions.begin(), blockedRegions.end());
        // Every tracked find is judged against where the target's motion says it is now.
        inputs_.motionGate = motionGate(state_.filter, state_.box.size(), beginStep(dt));

        const bool lostMode =
            config_.sky_search_after_misses > 0 && state_.misses >= config_.sky_search_after_misses;
        const TrackStep step = lostMode ? lostSearch(frame, grey, dt) : trackingPipeline(frame, grey, dt);

        proposalActive_ = false;

        // Reuse the previous handle's state when nobody else holds it any more.
        if (spareProposal_ && spareProposal_.use_count() == 1) {
            impl = spareProposal_;
        } else {
            impl = std::make_shared<TargetProposal::Impl>();
            spareProposal_ = impl;
        }
        TargetProposal::Impl& out = *impl;
        const int W = grey.cols;
        const int H = grey.rows;
        const float dtc = static_cast<float>(effectiveInterval(dt));
        out.step = step;
        out.after = state_;
        out.learning = learning_;
        out.owner = identity_;
        out.generation = generation_;
        out.targetScore = state_.targetScore;
        out.candidateScore = state_.candidateScore;
        out.confidence = state_.confidence;
        out.predictedCenter = {narrow(snapshot.center.x + static_cast<double>(snapshot.velocity.x) * dtc),
                               narrow(snapshot.center.y + static_cast<double>(snapshot.velocity.y) * dtc)};
        out.predictedBox = toRect2f(boxFromCenter(out.predictedCenter.x, out.predictedCenter.y,
                                                  snapshot.box.width, snapshot.box.height, W, H));
        out.center = learning_.present ? learning_.center : state_.center;
        const cv::Rect atCenter =
            boxFromCenter(out.center.x, out.center.y, snapshot.box.width, snapshot.box.height, W, H);
        out.box = toRect2f(atCenter);
        out.anchorAppearance = 0.0;
        if (scoreAnchor && step.state != TrackState::kLost && !atCenter.empty() && !model_.anchorTemplate.empty()) {
            out.anchorAppearance = anchorSimilarity(grey, atCenter);
        }
        out.hasGeometry = learning_.hasGeometry;
        out.geometryBox = learning_.geometryBox;
        out.geometryConfidence = learning_.geometryConfidence;
        out.reason = state_.reason;
    } catch (...) {
        proposalActive_ = false;
        inputs_.referenceSize.reset();
        inputs_.multiTarget = false;
        inputs_.motionGate = MotionGate{};
        state_ = snapshot;
        learning_.clear();
        throw;
    }

    state_ = snapshot;
    learning_.clear();
    inputs_.referenceSize.reset();
    inputs_.multiTarget = false;
    inputs_.findSigmaFloor = 0.0;
    inputs_.motionGate = MotionGate{};
    return TargetProposal(std::move(impl));
}

TrackStep TargetEngine::commit(const TargetProposal& proposal, const cv::Mat& frame,
                                  const cv::Mat& grey, bool learn, bool acceptGeometry,
                                  const OwnedGeometry& ownedGeometry, bool geometryUnclipped) {
    const TargetProposal::Impl& p = proposal.impl();
    if (p.owner != identity_) {
        throw std::invalid_argument("template tracker proposal belongs to another tracker");
    }
    if (p.generation != generation_) throw std::logic_error("template tracker proposal is stale");

    const EngineMotionState before = state_;
    TrackStep step = p.step;
    const LearningRecord& rec = p.learning;

    const bool modeA = !rec.present || (acceptGeometry && !ownedGeometry.valid);
    if (modeA) {
        state_ = p.after;
    } else {
        const bool modeC = acceptGeometry && ownedGeometry.valid;
        int cooldown = p.after.assistCooldown;
        if (modeC && geometryUnclipped && rec.hasGeometry && before.displaySize.x >= 2.f &&
            before.displaySize.y >= 2.f) {
            const double ratio = std::max(rec.geometryBox.width / before.displaySize.x,
                                          rec.geometryBox.height / before.displaySize.y);
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
        state_.box = boxFromCenter(rec.center.x, rec.center.y, before.box.width, before.box.height, grey.cols,
                                   grey.rows);
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

    if (learn) {
        try {
            applyLearning(frame, grey, rec);
        } catch (...) {
            state_ = before;
            throw;
        }
    }
    learning_.clear();
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
    const double dt = boundedInterval(dtSeconds);
    beginStep(dt);
    if (heldFind && state_.filter.started() && std::isfinite(heldFind->x) && std::isfinite(heldFind->y) &&
        std::isfinite(heldFindSigma) && heldFindSigma > 0.0) {
        state_.filter.correct(*heldFind, heldFindSigma);
    }
    coastOnFilter_ = onFilter && state_.filter.started();
    const TrackStep step = lostStep(why, dt, grey.cols, grey.rows);
    coastOnFilter_ = false;
    return step;
}

}  // namespace molvane
