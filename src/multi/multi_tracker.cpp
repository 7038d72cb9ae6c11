#include "multi/multi_tracker.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "config/interval_scaling.hpp"
#include "config/motion_params.hpp"
#include "config/multi_params.hpp"
#include "core/geometry.hpp"
#include "core/reasons.hpp"

namespace molvane {

namespace {

// Updates of `dtSeconds` that last `seconds` (at least one).
int32_t updatesLasting(double seconds, double dtSeconds) {
    const double n = std::ceil(std::max(seconds, 0.0) / effectiveInterval(dtSeconds) - 1e-9);
    return static_cast<int32_t>(std::clamp(n, 1.0, 1.0e6));
}

// The pull of a neighbour on a find does not change from one frame to the next: at a high
// frame rate the same pull is measured more often, and each of those measurements counts
// for as much as one at 30 frames per second only if its uncertainty grows with the square
// root of the number of frames per reference interval.
double persistenceFactor(double dtSeconds) {
    return std::sqrt(std::max(1.0, kReferenceInterval / effectiveInterval(dtSeconds)));
}

// Two boxes, each grown by a quarter of its size, overlap: their blobs may run together.
bool touching(const cv::Rect2f& a, const cv::Rect2f& b) {
    constexpr float kGrowth = multi_tuning::kTouchGrowth;
    constexpr float kGrown = 1.f + 2.f * kGrowth;
    const cv::Rect2f ga(a.x - kGrowth * a.width, a.y - kGrowth * a.height, kGrown * a.width, kGrown * a.height);
    const cv::Rect2f gb(b.x - kGrowth * b.width, b.y - kGrowth * b.height, kGrown * b.width, kGrown * b.height);
    return (ga & gb).area() > 0.f;
}

bool finiteBox(const TargetOutcome& o) {
    return std::isfinite(o.step.x) && std::isfinite(o.step.y) && std::isfinite(o.step.w) && std::isfinite(o.step.h);
}

// Empties the proposals on every exit path: none outlives the update it was made for.
struct ProposalRelease {
    std::vector<TargetProposal>& proposals;
    ~ProposalRelease() {
        for (TargetProposal& p : proposals) p = TargetProposal();
    }
};

}  // namespace

MultiTracker::MultiTracker(const TrackerParams& params) : params_(params) {}

void MultiTracker::lock(const cv::Mat& frame, const cv::Mat& callerGrey, const std::vector<cv::Rect>& boxes) {
    if (frame.empty()) throw std::invalid_argument("frame must not be empty");
    if (callerGrey.empty()) throw std::invalid_argument("gray frame must not be empty");
    if (boxes.empty()) throw std::invalid_argument("MultiTracker requires at least one target bbox");
    // Several targets share one copy of a grey frame of the caller's; a lone target copies
    // it itself, into the buffer of its previous frame.
    const cv::Mat& grey = boxes.size() > 1 ? frames_->keep(callerGrey) : callerGrey;

    // A lone target has no neighbour to keep its box out of, so its size stays frozen.
    TrackerParams engineConfig = params_;
    if (boxes.size() == 1) engineConfig.cue_geometry_update = false;

    // Seed into a fresh vector and swap it in only when every target took: a refused box
    // leaves the tracker with the targets it had.
    std::vector<TargetSlot> seeded;
    seeded.reserve(boxes.size());
    for (std::size_t k = 0; k < boxes.size(); ++k) {
        const cv::Rect& b = boxes[k];
        if (b.width < 1 || b.height < 1) throw std::invalid_argument("target bbox width and height must be positive");
        TargetSlot slot;
        slot.id = static_cast<int32_t>(k + 1);
        slot.engine = std::make_unique<TargetEngine>(engineConfig, frames_);
        slot.engine->initialize(frame, grey, b);

        const float x = static_cast<float>(b.x), y = static_cast<float>(b.y);
        const float w = static_cast<float>(b.width), h = static_cast<float>(b.height);
        const cv::Point2f c(x + 0.5f * w, y + 0.5f * h);
        slot.hasSnapshot = true;
        // The seed box itself, tentative, seen once and at rest.
        slot.snapshot = TrackStep{slot.id, TrackState::kTentative, x, y, w, h, c.x, c.y, 0.f, 0.f, 0.f, 1, 1, 0};
        slot.initialSize = cv::Size(b.width, b.height);
        slot.observedCenter = c;
        slot.motionSize = cv::Point2f(w, h);
        slot.seedShade = coreShade(grey, cv::Rect2f(x, y, w, h));
        slot.phase = TargetPhase::kTentative;
        slot.interactionHold = 0;
        seeded.push_back(std::move(slot));
    }
    targets_.swap(seeded);

    const std::size_t n = targets_.size();
    motion_.reserve(n);
    predictedBoxes_.reserve(n);
    proposals_.reserve(n);
    outcomes_.reserve(n);
    decisions_.reserve(n);
    interactionMarks_.reserve(n);
    neighbours_.reserve(n);
    ids_.reserve(n);
    findSigma_.reserve(n);
    results_.reserve(n);
}

void MultiTracker::buildOutcome(std::size_t i) {
    const TargetProposal& p = proposals_[i];
    const TargetSlot& s = targets_[i];
    TargetOutcome& o = outcomes_[i];
    o = TargetOutcome();
    // The step's counters and velocity, with the box and centre this proposal measured.
    o.step = p.step;
    o.step.targetId = s.id;
    o.step.x = p.box.x;
    o.step.y = p.box.y;
    o.step.w = p.box.width;
    o.step.h = p.box.height;
    o.step.cx = p.center.x;
    o.step.cy = p.center.y;
    o.scores = p.scores;
    o.report.anchor_appearance = static_cast<float>(p.anchorAppearance);
    o.report.geometry_confidence = static_cast<float>(p.learning.geometryConfidence);
}

void MultiTracker::takeStep(std::size_t i, const TrackStep& step) {
    TargetOutcome& o = outcomes_[i];
    o.step = step;
    o.step.targetId = targets_[i].id;
}

void MultiTracker::predictMotion(std::size_t i, double dtSeconds) {
    // The engine's filter advanced to this frame as its proposal will advance it: where the
    // target should be and how far from there a find may lie.
    const TargetSlot& s = targets_[i];
    const EngineMotionState& state = s.engine->state();
    const double interval = effectiveInterval(dtSeconds);
    const cv::Size box = state.box.size();
    MotionFilter filter = state.filter;
    filter.predict(interval, manoeuvreSigma(box, filter));
    const MotionGate gate = motionGate(filter, box, interval);
    TargetMotion& m = motion_[i];
    m.cueSigma = centreSigma(box);
    m.center = filter.started() ? filter.position() : state.center;
    m.radius = gate.active ? gate.radius : 0.0;
    m.sigma = gate.active ? gate.radius / kGateSigmas : m.cueSigma;
    const cv::Point2f v = filter.started() ? filter.velocity() : state.velocity;
    const double travel = std::hypot(static_cast<double>(v.x), static_cast<double>(v.y)) * interval;
    m.spread = std::sqrt(m.cueSigma * m.cueSigma + (std::isfinite(travel) ? travel * travel : 0.0));
    float w = s.motionSize.x, h = s.motionSize.y;
    if (!(w >= 2.f && h >= 2.f)) {
        w = static_cast<float>(s.initialSize.width);
        h = static_cast<float>(s.initialSize.height);
    }
    predictedBoxes_[i] = cv::Rect2f(m.center.x - w / 2.f, m.center.y - h / 2.f, w, h);
}

void MultiTracker::fillCosts(const cv::Mat& grey) {
    // Candidates: the targets' finds, one per object. Each is priced for its finder and for
    // every other target that still has a prediction worth the name (not lost) and whose
    // gate it falls in, with that target's own likeness to it.
    const std::size_t n = targets_.size();
    candidates_ = groupCandidates(outcomes_, settings_, candidateOf_, stack_);
    representative_.assign(static_cast<std::size_t>(candidates_), -1);
    for (std::size_t i = 0; i < n; ++i) {
        const int c = candidateOf_[i];
        if (c >= 0 && representative_[c] < 0) representative_[c] = static_cast<int>(i);
    }
    cost_.resize(n);
    likeness_.resize(n);
    const cv::Rect frameRect(0, 0, grey.cols, grey.rows);
    for (std::size_t i = 0; i < n; ++i) {
        cost_[i].assign(static_cast<std::size_t>(candidates_), std::numeric_limits<double>::infinity());
        likeness_[i].assign(static_cast<std::size_t>(candidates_), 0.0);
        const TargetMotion& m = motion_[i];
        for (int c = 0; c < candidates_; ++c) {
            if (candidateOf_[i] == c) {
                const TargetOutcome& o = outcomes_[i];
                likeness_[i][c] =
                    o.report.anchor_appearance * shadeLikeness(coreShade(grey, o.box()), targets_[i].seedShade);
                cost_[i][c] = pairCost(m, cv::Point2f(o.step.cx, o.step.cy), likeness_[i][c], true,
                                       interacts(predictedBoxes_[i], o.box(), settings_), settings_);
                continue;
            }
            if (targets_[i].phase == TargetPhase::kLost) continue;
            const TargetOutcome& r = outcomes_[representative_[c]];
            const cv::Point2f find(r.step.cx, r.step.cy);
            if (!(m.radius > 0.0) || distance(find, m.center) > m.radius) continue;
            const cv::Rect box =
                cv::Rect(cvRound(r.step.x), cvRound(r.step.y), cvRound(r.step.w), cvRound(r.step.h)) & frameRect;
            if (box.empty()) continue;
            likeness_[i][c] = targets_[i].engine->anchorSimilarity(grey, box) *
                              shadeLikeness(coreShade(grey, r.box()), targets_[i].seedShade);
            cost_[i][c] =
                pairCost(m, find, likeness_[i][c], false, interacts(predictedBoxes_[i], r.box(), settings_), settings_);
        }
    }
}

bool MultiTracker::lookAgain(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds) {
    // A target's candidates, best first: one whose best find went clearly to another target
    // proposes again with the owner's find set aside (mostly that same object), so that the
    // assignment also sees its next candidate (a faint target beside a bolder one it keeps
    // finding instead).
    bool again = false;
    const std::size_t n = targets_.size();
    for (std::size_t i = 0; i < n; ++i) {
        const OwnershipDecision& d = decisions_[i];
        if (d.ambiguous || d.ownerId == 0 || d.ownerId == ids_[i] || !eligibleForOwnership(outcomes_[i])) {
            continue;
        }
        blocked_.clear();
        for (std::size_t j = 0; j < n; ++j) {
            if (ids_[j] == d.ownerId) blocked_.push_back(outcomes_[j].box());
        }
        const TargetSlot& s = targets_[i];
        proposals_[i] = TargetProposal();
        proposals_[i] = s.engine->propose(frame, grey, blocked_, cv::Size2f(s.motionSize.x, s.motionSize.y), dtSeconds,
                                          true, findSigma_[i]);
        buildOutcome(i);
        again = true;
    }
    return again;
}

double MultiTracker::findSigma(std::size_t i, double dtSeconds) const {
    // Where two predicted boxes touch, a find may be the pair's common blob, its centre
    // anywhere on it: it corrects the motion filter as a measurement uncertain by half the
    // pair's larger side, so that two filters keep their own courses through a pass. Birds
    // flying 12 px apart with 8 px boxes are two blobs, and their finds count in full.
    double sigma = 0.0;
    const cv::Rect2f& a = predictedBoxes_[i];
    for (std::size_t j = 0; j < targets_.size(); ++j) {
        const cv::Rect2f& b = predictedBoxes_[j];
        if (j == i || !touching(a, b)) continue;
        sigma = std::max(sigma, multi_tuning::kCommonBlobSigmaShare * std::max({a.width, a.height, b.width, b.height}));
    }
    return sigma * persistenceFactor(dtSeconds);
}

std::size_t MultiTracker::nearestPrediction(cv::Point2f p) const {
    std::size_t best = 0;
    double bestDistance = std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < targets_.size(); ++j) {
        const double d = distance(p, motion_[j].center);
        if (d < bestDistance) {
            bestDistance = d;
            best = j;
        }
    }
    return best;
}

bool MultiTracker::ownCandidate(std::size_t i) const {
    // The target's find is an object no other target found.
    const int c = candidateOf_[i];
    if (c < 0) return false;
    for (std::size_t j = 0; j < targets_.size(); ++j) {
        if (j != i && candidateOf_[j] == c) return false;
    }
    return true;
}

bool MultiTracker::clearOfOthers(std::size_t i) const {
    // The find lies in the target's own gate and in no other target's.
    const int c = candidateOf_[i];
    if (c < 0) return false;
    const TargetOutcome& o = outcomes_[i];
    const TargetMotion& m = motion_[i];
    if (!(m.radius > 0.0) || distance(cv::Point2f(o.step.cx, o.step.cy), m.center) > m.radius) return false;
    for (std::size_t j = 0; j < targets_.size(); ++j) {
        if (j != i && (candidateOf_[j] == c || std::isfinite(cost_[j][c]))) return false;
    }
    return true;
}

void MultiTracker::markPrediction(std::size_t i, Reason reason, int frameW, int frameH) {
    TargetOutcome& o = outcomes_[i];
    if (!finiteBox(o) || o.step.w < 2.f || o.step.h < 2.f) {
        // Report the slot's own prediction, clipped to the frame.
        const cv::Rect2f& pb = predictedBoxes_[i];
        const float x0 = std::max(pb.x, 0.f), y0 = std::max(pb.y, 0.f);
        const float x1 = std::min(static_cast<float>(frameW), pb.x + pb.width);
        const float y1 = std::min(static_cast<float>(frameH), pb.y + pb.height);
        const float w = x1 - x0, h = y1 - y0;
        if (!(w > 0.f) || !(h > 0.f)) {  // also a prediction that is not finite
            o.step.x = o.step.y = o.step.w = o.step.h = 0.f;
            o.step.cx = o.step.cy = 0.f;
        } else {
            o.step.x = x0;
            o.step.y = y0;
            o.step.w = w;
            o.step.h = h;
            o.step.cx = x0 + w * 0.5f;
            o.step.cy = y0 + h * 0.5f;
        }
        const cv::Point2f v = targets_[i].engine->state().filter.velocity();
        o.step.vx = v.x;
        o.step.vy = v.y;
        o.step.speed = std::sqrt(v.x * v.x + v.y * v.y);
    }
    if (o.step.w < 2.f || o.step.h < 2.f) return;
    // A target its engine has lost is reported lost, with its prediction as the box; only
    // a target held back by the arbitration (and so probably still there) is tentative.
    o.step.state = reason == Reason::kPredictionUnobserved ? TrackState::kLost : TrackState::kTentative;
    o.scores.target_score = o.scores.target_candidate_score = o.scores.confidence = 0.f;
    o.report.anchor_appearance = o.report.geometry_confidence = 0.f;
    o.report.geometry_ownership_constrained = false;
    o.scores.reason = reason;
    o.report.prediction_only = o.report.suppressed = true;
    o.report.model_learning_suppressed = o.report.geometry_update_suppressed = true;
}

void MultiTracker::resolve(std::size_t i, const cv::Mat& frame, const cv::Mat& grey, double dtSeconds) {
    TargetOutcome& o = outcomes_[i];
    const TargetSlot& s = targets_[i];
    const OwnershipDecision& d = decisions_[i];
    o.report.interacting = interactionMarks_[i] != 0;

    // A target that was not seen in the last update and comes back through a reacquisition
    // search with a weak likeness to its anchor may well have found another target: it is
    // trusted only when it owns a find that lies in its own gate and in nobody else's.
    const bool weak = targets_.size() > 1 && !s.seen() && o.step.state != TrackState::kLost &&
                      namesReacquisition(o.scores.reason) &&
                      o.report.anchor_appearance < settings_.min_owner_appearance;
    if (weak && !(d.owns && clearOfOthers(i))) {
        takeStep(i, s.engine->coast(grey, Reason::kCoastWeakReacquire, dtSeconds, true));
        o.scores.confidence = 0.f;
        o.scores.reason = Reason::kCoastWeakReacquire;
        o.report.suppressed = o.report.model_learning_suppressed = o.report.geometry_update_suppressed = true;
        markPrediction(i, Reason::kPredictionWeakReacquire, grey.cols, grey.rows);
        return;
    }

    if (o.step.state != TrackState::kLost && !d.owns) {
        // Held back: it coasts on its filter's prediction, so that its next searches are
        // where its own object should be.
        const Reason coastReason = d.ambiguous ? Reason::kCoastAmbiguousOwner : Reason::kCoastOwnedByOther;
        // A target held back only because the assignment is unsure, whose tracked find is an
        // object no other target found and lies nearer its own prediction than any other
        // target's, has probably found its own object: the find still
        // corrects its motion filter, as a measurement as unsure as the assignment (half its
        // size at least), so that a target flying beside a look-alike stays beside it
        // instead of flying on along the course it approached on.
        std::optional<cv::Point2f> held;
        const cv::Point2f find(o.step.cx, o.step.cy);
        if (d.ambiguous && ownCandidate(i) && !namesReacquisition(o.scores.reason) && nearestPrediction(find) == i) {
            held = find;
        }
        const double heldSigma =
            std::max(findSigma_[i], multi_tuning::kHeldFindSigmaShare *
                                        std::max(predictedBoxes_[i].width, predictedBoxes_[i].height) *
                                        persistenceFactor(dtSeconds));
        takeStep(i, s.engine->coast(grey, coastReason, dtSeconds, true, held, heldSigma));
        o.scores.confidence = 0.f;
        o.scores.reason = coastReason;
        o.report.suppressed = true;
        // Never name the target itself as the one that suppressed it.
        o.report.suppressed_by_id = (d.ambiguous || d.ownerId == o.id()) ? 0 : d.ownerId;
        o.report.model_learning_suppressed = o.report.geometry_update_suppressed = true;
        if (o.report.interacting) {
            markPrediction(i, d.ambiguous ? Reason::kPredictionAmbiguousOwner : Reason::kPredictionOwnedByOther,
                           grey.cols, grey.rows);
        }
        return;
    }

    commitOwned(i, frame, grey, dtSeconds);
}

void MultiTracker::commitOwned(std::size_t i, const cv::Mat& frame, const cv::Mat& grey, double dtSeconds) {
    TargetOutcome& o = outcomes_[i];
    TargetSlot& s = targets_[i];
    const TargetProposal& p = proposals_[i];
    if (!p.valid()) throw std::invalid_argument("cannot commit an invalid template tracker proposal");
    const std::size_t n = targets_.size();

    CommitPolicy policy;
    policy.learn = !o.report.interacting;
    if (n > 1) {
        policy.acceptGeometry = false;
        if (p.learning.hasGeometry) {
            if (o.step.state == TrackState::kConfirmed && settings_.ownership_cell_enabled && !o.report.interacting) {
                const cv::Size2f limited = limitMeasuredSize(p.learning.geometryBox.width,
                                                             p.learning.geometryBox.height, s, settings_, params_);
                neighbours_.clear();
                for (std::size_t j = 0; j < n; ++j) {
                    if (j == i) continue;
                    if (decisions_[j].owns && outcomes_[j].step.state != TrackState::kLost) {
                        neighbours_.push_back(proposals_[j].center);
                    } else if (targets_[j].hasSnapshot) {
                        neighbours_.push_back(targets_[j].observedCenter);
                    }
                }
                const OwnershipCell cell =
                    ownershipCell(limited, rectCenter(p.learning.geometryBox), p.center, neighbours_, grey.cols,
                                  grey.rows, s.initialSize, settings_, params_);
                if (cell.valid) {
                    policy.acceptGeometry = true;
                    policy.owned.box = cell.box;
                    policy.owned.valid = true;
                    policy.geometryUnclipped = !cell.clipped;
                    o.report.geometry_ownership_constrained = cell.clipped;
                } else {
                    o.report.geometry_update_suppressed = true;
                }
            } else {
                o.report.geometry_update_suppressed = true;
            }
        }
    }

    const TrackStep step = s.engine->commit(p, frame, grey, policy);
    takeStep(i, step);
    if (step.state == TrackState::kLost) {
        if (n > 1 && s.hasSnapshot &&
            step.misses <= updatesLasting(settings_.unobserved_prediction_max_seconds, dtSeconds)) {
            markPrediction(i, Reason::kPredictionUnobserved, grey.cols, grey.rows);
        }
    } else {
        s.observedCenter = p.center;
    }
    if (!o.report.prediction_only) {
        o.report.model_learning_suppressed = o.report.interacting && o.step.state != TrackState::kLost;
        o.report.geometry_update_suppressed = o.report.geometry_update_suppressed && o.step.state != TrackState::kLost;
    }
}

void MultiTracker::keepBook(std::size_t i) {
    const TargetOutcome& o = outcomes_[i];
    TargetSlot& s = targets_[i];
    if (o.report.suppressed || o.report.prediction_only) {
        s.phase = TargetPhase::kCoasting;
        return;
    }
    if (o.step.state == TrackState::kLost) {
        s.phase = TargetPhase::kLost;
        return;
    }
    s.phase = o.step.state == TrackState::kConfirmed ? TargetPhase::kConfirmed : TargetPhase::kTentative;
    s.snapshot = o.step;
    s.hasSnapshot = true;
    if (!o.report.interacting && o.step.w >= 2.f && o.step.h >= 2.f) s.motionSize = cv::Point2f(o.step.w, o.step.h);
}

const std::vector<TrackResult>& MultiTracker::update(const cv::Mat& frame, const cv::Mat& callerGrey,
                                                     double dtSeconds) {
    if (targets_.empty()) throw std::runtime_error("call initialize() before update()");
    // One copy of a grey frame of the caller's, which every target keeps as its previous one
    // (a lone target copies it itself, into the buffer of its previous frame).
    const cv::Mat& grey = targets_.size() > 1 ? frames_->keep(callerGrey) : callerGrey;
    const std::size_t n = targets_.size();
    const bool multi = n > 1;

    motion_.resize(n);
    predictedBoxes_.resize(n);
    proposals_.resize(n);
    outcomes_.resize(n);
    interactionMarks_.assign(n, 0);
    ids_.resize(n);
    findSigma_.resize(n);
    ProposalRelease release{proposals_};

    // Every target proposes once, with its prediction taken first.
    for (std::size_t i = 0; i < n; ++i) {
        ids_[i] = targets_[i].id;
        predictMotion(i, dtSeconds);
    }
    for (std::size_t i = 0; i < n; ++i) findSigma_[i] = findSigma(i, dtSeconds);
    for (std::size_t i = 0; i < n; ++i) {
        const TargetSlot& s = targets_[i];
        proposals_[i] = s.engine->propose(frame, grey, noRegions_, cv::Size2f(s.motionSize.x, s.motionSize.y),
                                          dtSeconds, multi, findSigma_[i]);
        buildOutcome(i);
    }

    // Gated assignment of the candidates. A lone target owns whatever it found.
    if (multi) {
        fillCosts(grey);
        assignCandidates(cost_, candidateOf_, candidates_, ids_, settings_, decisions_, assignment_);
        if (lookAgain(frame, grey, dtSeconds)) {
            fillCosts(grey);
            assignCandidates(cost_, candidateOf_, candidates_, ids_, settings_, decisions_, assignment_);
        }
    } else {
        decisions_.assign(1, OwnershipDecision{});
        if (eligibleForOwnership(outcomes_[0])) decisions_[0] = OwnershipDecision{true, false, ids_[0]};
    }

    for (std::size_t i = 0; i < n; ++i) {
        const TargetOutcome& a = outcomes_[i];
        if (a.step.state == TrackState::kLost || !(a.step.w > 0.f) || !(a.step.h > 0.f)) continue;
        for (std::size_t j = i + 1; j < n; ++j) {
            const TargetOutcome& b = outcomes_[j];
            if (b.step.state == TrackState::kLost || !(b.step.w > 0.f) || !(b.step.h > 0.f)) continue;
            if (interacts(a.box(), b.box(), settings_)) interactionMarks_[i] = interactionMarks_[j] = 1;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        TargetSlot& s = targets_[i];
        if (interactionMarks_[i]) {
            s.interactionHold = updatesLasting(settings_.interaction_hold_seconds, dtSeconds);
        } else if (s.interactionHold > 0) {
            interactionMarks_[i] = 1;
            --s.interactionHold;
        }
    }

    for (std::size_t i = 0; i < n; ++i) resolve(i, frame, grey, dtSeconds);
    for (std::size_t i = 0; i < n; ++i) keepBook(i);

    results_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        results_[i] = makeTrackResult(outcomes_[i].step, outcomes_[i].scores, outcomes_[i].report);
    }
    return results_;
}

}  // namespace molvane
