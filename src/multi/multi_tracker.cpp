#include "multi/multi_tracker.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "engine/geometry.hpp"
#include "engine/reasons.hpp"

namespace molvane {

namespace {

// A course is only started from a good step at most this many updates old.
constexpr int32_t kCourseMaxSnapshotAge = 10;
// ... and only after this many good steps in a row: the velocity of a target just
// reacquired has not settled yet.
constexpr int32_t kCourseMinRun = 6;
// A target re-found after a loss or a pass resumes the velocity of its last settled run only
// when that run ended at most this many updates before.
constexpr int32_t kCourseMaxSettledAge = 30;

bool finiteBox(const TargetOutcome& o) {
    return std::isfinite(o.step.x) && std::isfinite(o.step.y) && std::isfinite(o.step.w) && std::isfinite(o.step.h);
}

// Releases the proposal handles on every exit path, so that no engine state stays shared
// after an update and each engine can reuse its proposal storage on the next frame.
struct ProposalRelease {
    std::vector<TemplateTrackerProposal>& proposals;
    ~ProposalRelease() {
        for (TemplateTrackerProposal& p : proposals) p = TemplateTrackerProposal();
    }
};

}  // namespace

MultiTracker::MultiTracker(const TrackerParams& params) : config_(params) {}

void MultiTracker::lock(const cv::Mat& frame, const cv::Mat& callerGrey, const std::vector<cv::Rect>& boxes) {
    if (frame.empty()) throw std::invalid_argument("frame must not be empty");
    if (callerGrey.empty()) throw std::invalid_argument("gray frame must not be empty");
    if (boxes.empty()) throw std::invalid_argument("MultiTracker requires at least one target bbox");
    // Several targets share one copy of a grey frame of the caller's; a lone target copies
    // it itself, into the buffer of its previous frame.
    const cv::Mat& grey = boxes.size() > 1 ? frames_->keep(callerGrey) : callerGrey;

    // A lone target has no neighbour to keep its box out of, so its size stays frozen.
    TrackerParams engineConfig = config_;
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
        slot.engine = std::make_unique<TemplateTracker>(engineConfig, frames_);
        slot.engine->initialize(frame, grey, b);

        const float x = static_cast<float>(b.x), y = static_cast<float>(b.y);
        const float w = static_cast<float>(b.width), h = static_cast<float>(b.height);
        const cv::Point2f c(x + 0.5f * w, y + 0.5f * h);
        slot.hasSnapshot = true;
        // The seed box itself, tentative, seen once and at rest.
        slot.snapshot = TrackStep{slot.id, kTentative, x, y, w, h, c.x, c.y, 0.f, 0.f, 0.f, 1, 1, 0};
        slot.initialSize = cv::Size(b.width, b.height);
        slot.observedCenter = c;
        slot.motionCenter = c;
        slot.motionVelocity = cv::Point2f(0.f, 0.f);
        slot.motionSize = cv::Point2f(w, h);
        slot.lastState = kTentative;
        slot.interactionHold = 0;
        seeded.push_back(std::move(slot));
    }
    targets_.swap(seeded);

    const std::size_t n = targets_.size();
    predictedCenters_.reserve(n);
    predictedBoxes_.reserve(n);
    proposals_.reserve(n);
    measuredCenters_.reserve(n);
    outcomes_.reserve(n);
    decisions_.reserve(n);
    proximity_.reserve(n);
    interactionMarks_.reserve(n);
    courseStarted_.reserve(n);
    onCourse_.reserve(n);
    neighbours_.reserve(n);
}

void MultiTracker::buildOutcome(std::size_t i) {
    const TemplateTrackerProposal::Impl& p = proposals_[i].impl();
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
    o.scores.target_score = static_cast<float>(p.targetScore);
    o.scores.target_candidate_score = static_cast<float>(p.candidateScore);
    o.scores.confidence = static_cast<float>(p.confidence);
    o.scores.reason = p.reason;
    o.report.anchor_appearance = static_cast<float>(p.anchorAppearance);
    o.report.geometry_confidence = static_cast<float>(p.geometryConfidence);
    measuredCenters_[i] = p.center;
}

void MultiTracker::propose(std::size_t i, const cv::Mat& frame, const cv::Mat& grey, double dtSeconds) {
    const TargetSlot& s = targets_[i];
    proposals_[i] = TemplateTrackerProposal();  // a proposal made before is dropped uncommitted
    proposals_[i] = s.engine->propose(frame, grey, blocked_, cv::Size2f(s.motionSize.x, s.motionSize.y), dtSeconds,
                                      targets_.size() > 1);
    buildOutcome(i);
}

void MultiTracker::takeStep(std::size_t i, const TrackStep& step) {
    TargetOutcome& o = outcomes_[i];
    o.step = step;
    o.step.targetId = targets_[i].id;
}

void MultiTracker::arbitrate() {
    associate(outcomes_, targets_, settings_, decisions_, association_);
    measureProximity(outcomes_, measuredCenters_, predictedCenters_, predictedBoxes_, targets_, settings_, proximity_);
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
        const cv::Point2f v = targets_[i].motionVelocity;
        o.step.vx = v.x;
        o.step.vy = v.y;
        o.step.speed = std::sqrt(v.x * v.x + v.y * v.y);
    }
    if (o.step.w < 2.f || o.step.h < 2.f) return;
    // A target its engine has lost is reported lost, with its prediction as the box; only
    // a target held back by the arbitration (and so probably still there) is tentative.
    o.step.state = reason == Reason::kPredictionUnobserved ? kLost : kTentative;
    o.scores.target_score = o.scores.target_candidate_score = o.scores.confidence = 0.f;
    o.report.anchor_appearance = o.report.geometry_confidence = 0.f;
    o.report.geometry_ownership_constrained = false;
    o.scores.reason = reason;
    o.report.prediction_only = o.report.suppressed = true;
    o.report.model_learning_suppressed = o.report.geometry_update_suppressed = true;
}

void MultiTracker::resolve(std::size_t i, const cv::Mat& frame, const cv::Mat& grey, double dtSeconds) {
    const float dtc = static_cast<float>(effectiveInterval(dtSeconds));
    TargetOutcome& o = outcomes_[i];
    TargetSlot& s = targets_[i];
    const OwnershipDecision& d = decisions_[i];
    const MeasurementProximity& p = proximity_[i];
    const bool multi = targets_.size() > 1;
    o.report.interacting = interactionMarks_[i] != 0;

    // A lost target that comes back through a reacquisition search with a weak likeness to
    // its anchor may well have found another target; it is trusted only when its find lies
    // near its own prediction and away from everyone else's, and then either correlation
    // tracking backs it, or the target is on course after an ambiguous pass, holds the find
    // alone and the find looks no more like any other target than like itself.
    const bool clearOfOthers =
        p.nearestOtherId <= 0 && !p.distanceAmbiguous && !p.predictionOverlap && p.nearOwnPrediction;
    const bool weak = multi && s.lastState == kLost && o.step.state != kLost &&
                      namesReacquisition(o.scores.reason) &&
                      o.report.anchor_appearance < settings_.min_owner_appearance;
    const bool supported =
        clearOfOthers && (config_.correlation_enabled ||
                          (weak && s.course.hold > 0 && d.owns && looksMostLikeItself(i, grey)));
    if (weak && !supported) {
        takeStep(i, s.engine->coast(grey, Reason::kCoastWeakReacquire, dtSeconds));
        o.scores.confidence = 0.f;
        o.scores.reason = Reason::kCoastWeakReacquire;
        o.report.suppressed = o.report.model_learning_suppressed = o.report.geometry_update_suppressed = true;
        markPrediction(i, Reason::kPredictionWeakReacquire, grey.cols, grey.rows);
        return;
    }

    // On course, any find that still reaches into another target's predicted box may be
    // that target's object: the observation stays ambiguous until the two have come apart.
    // Nor does any target take a find that has jumped away from its own last observation onto
    // the course of a target hidden by a pass: that is the hidden target's object.
    const bool ambiguous =
        d.ambiguous || (multi && o.step.state != kLost &&
                        ((s.course.hold > 0 && nearAnotherCourse(i)) || strayedOntoAnotherCourse(i)));
    if (o.step.state != kLost && (!d.owns || ambiguous)) {
        // Only ambiguity puts a target on course, and only from a recent good step that ends a
        // settled run, or that resumes one (see resumesSettledRun).
        const bool settled = s.snapshotRun >= kCourseMinRun;
        if (ambiguous && s.course.hold == 0 && s.hasSnapshot && s.snapshotAge <= kCourseMaxSnapshotAge &&
            settings_.ambiguity_course_frames > 0 && (settled || resumesSettledRun(i, dtc))) {
            s.course.hold = settings_.ambiguity_course_frames;
            s.course.velocity = settled ? cv::Point2f(s.snapshot.vx, s.snapshot.vy) : s.settled.velocity;
            courseStarted_[i] = 1;
        }
        const Reason coastReason = ambiguous ? Reason::kCoastAmbiguousOwner : Reason::kCoastOwnedByOther;
        takeStep(i, s.engine->coast(grey, coastReason, dtSeconds));
        o.scores.confidence = 0.f;
        o.scores.reason = coastReason;
        o.report.suppressed = true;
        // Never name the target itself as the one that suppressed it.
        o.report.suppressed_by_id = (ambiguous || d.ownerId == o.id()) ? 0 : d.ownerId;
        o.report.model_learning_suppressed = o.report.geometry_update_suppressed = true;
        if (o.report.interacting) {
            markPrediction(i, ambiguous ? Reason::kPredictionAmbiguousOwner : Reason::kPredictionOwnedByOther,
                           grey.cols, grey.rows);
        }
        return;
    }

    commitOwned(i, frame, grey);
}

void MultiTracker::commitOwned(std::size_t i, const cv::Mat& frame, const cv::Mat& grey) {
    TargetOutcome& o = outcomes_[i];
    TargetSlot& s = targets_[i];
    const TemplateTrackerProposal& proposal = proposals_[i];
    if (!proposal.valid()) throw std::invalid_argument("cannot commit an invalid template tracker proposal");
    const TemplateTrackerProposal::Impl& p = proposal.impl();
    const std::size_t n = targets_.size();

    const bool learn = !o.report.interacting;
    bool acceptGeometry = true;
    OwnedGeometry owned;
    bool unclipped = false;
    if (n > 1) {
        acceptGeometry = false;
        if (p.hasGeometry) {
            if (o.step.state == kConfirmed && settings_.ownership_cell_enabled && !o.report.interacting) {
                const cv::Size2f limited =
                    limitMeasuredSize(p.geometryBox.width, p.geometryBox.height, s, settings_, config_);
                neighbours_.clear();
                for (std::size_t j = 0; j < n; ++j) {
                    if (j == i) continue;
                    if (decisions_[j].owns && outcomes_[j].step.state != kLost) {
                        neighbours_.push_back(proposals_[j].impl().center);
                    } else if (targets_[j].hasSnapshot) {
                        neighbours_.push_back(targets_[j].observedCenter);
                    }
                }
                const OwnershipCell cell = ownershipCell(limited, rectCenter(p.geometryBox), p.center, neighbours_,
                                                         grey.cols, grey.rows, s.initialSize, settings_, config_);
                if (cell.valid) {
                    acceptGeometry = true;
                    owned.box = cell.box;
                    owned.valid = true;
                    unclipped = !cell.clipped;
                    o.report.geometry_ownership_constrained = cell.clipped;
                } else {
                    o.report.geometry_update_suppressed = true;
                }
            } else {
                o.report.geometry_update_suppressed = true;
            }
        }
    }

    const TrackStep step = s.engine->commit(proposal, frame, grey, learn, acceptGeometry, owned, unclipped);
    takeStep(i, step);
    if (step.state == kLost) {
        if (n > 1 && s.hasSnapshot && step.misses <= settings_.unobserved_prediction_max_misses) {
            markPrediction(i, Reason::kPredictionUnobserved, grey.cols, grey.rows);
        }
    } else {
        s.observedCenter = p.center;
    }
    if (!o.report.prediction_only) {
        o.report.model_learning_suppressed = o.report.interacting && o.step.state != kLost;
        o.report.geometry_update_suppressed = o.report.geometry_update_suppressed && o.step.state != kLost;
    }
}

bool MultiTracker::nearAnotherCourse(std::size_t i) const {
    const cv::Rect2f box = outcomes_[i].box();
    for (std::size_t j = 0; j < targets_.size(); ++j) {
        if (j == i) continue;
        const bool tracked = onCourse_[j] || targets_[j].lastState != kLost ||
                             proposals_[j].impl().step.state != kLost;
        if (tracked && interacts(box, predictedBoxes_[j], settings_)) return true;
    }
    return false;
}

void MultiTracker::blockLiveTargets(std::size_t i, float dtc) {
    // Each target that committed its own find in the last update is blocked at its predicted
    // box. A target that stays interacting has a decaying prediction that falls behind its
    // object; when that stale box lies clearly nearer this target's course than the object
    // it stands for, it would hide this target's own object and leave it nothing but the
    // neighbour's: such a target is blocked where it was last seen, moved on at its velocity.
    const double margin = proximityMargin(settings_);
    for (std::size_t j = 0; j < targets_.size(); ++j) {
        const TargetSlot& t = targets_[j];
        if (j == i || t.lastState == kLost) continue;
        const cv::Rect2f& pb = predictedBoxes_[j];
        const cv::Point2f seen = t.observedCenter + cv::Point2f(t.snapshot.vx, t.snapshot.vy) * dtc;
        const cv::Point2f pc = predictedCenters_[j];
        if (cv::norm(pc - predictedCenters_[i]) + margin < cv::norm(pc - seen)) {
            blocked_.emplace_back(seen.x - pb.width / 2.f, seen.y - pb.height / 2.f, pb.width, pb.height);
        } else {
            blocked_.push_back(pb);
        }
    }
}

bool MultiTracker::yieldsToAnotherCourse(std::size_t i) const {
    // Both searches found one object: it is the other target's when it lies on that target's
    // course and clearly further from this one's. Two courses that both miss the object (two
    // objects flying merged, off both courses) decide nothing.
    if (outcomes_[i].step.state == kLost || !decisions_[i].ambiguous) return false;
    const int c = association_.observation[i];
    if (c < 0) return false;
    const cv::Point2f m = measuredCenters_[i];
    const double own = cv::norm(m - predictedCenters_[i]);
    const double margin = proximityMargin(settings_);
    for (std::size_t j = 0; j < targets_.size(); ++j) {
        if (j == i || targets_[j].course.hold <= 0 || association_.observation[j] != c) continue;
        const double other = cv::norm(m - predictedCenters_[j]);
        const cv::Rect2f& pj = predictedBoxes_[j];
        if (other <= 0.5 * std::max(pj.width, pj.height) && own > other + margin) return true;
    }
    return false;
}

bool MultiTracker::strayedOntoAnotherCourse(std::size_t i) const {
    // Measured from the last observation, not from the slot's prediction: a target that has
    // been interacting or suppressed has a decayed prediction that lags its object. A find
    // counts as having left that observation once it is outside half its own box: a target
    // just re-found after a pass can jump a whole interaction reach (18 px) in one frame onto
    // its hidden neighbour's object, and within that reach nothing else stops it.
    const cv::Rect2f box = outcomes_[i].box();
    const cv::Point2f last = targets_[i].observedCenter;
    const cv::Point2f m = measuredCenters_[i];
    const double own = cv::norm(m - last);
    if (own <= 0.5 * std::max(box.width, box.height)) return false;
    const double margin = proximityMargin(settings_);
    for (std::size_t j = 0; j < targets_.size(); ++j) {
        if (j == i || !onCourse_[j]) continue;
        if (interacts(box, predictedBoxes_[j], settings_) && own > cv::norm(m - predictedCenters_[j]) + margin) {
            return true;
        }
    }
    return false;
}

bool MultiTracker::resumesSettledRun(std::size_t i, float dtc) const {
    // A target re-found only a few steps before has no settled velocity of its own (a
    // reacquisition restarts it at rest, a pass leaves it one or two steps), so a pass that
    // hides it again would stop its prediction where it was re-found while its object flies
    // on. It goes on course at the velocity of its last settled run when that run ended
    // shortly before and the re-found object lies where that run would have taken it: within
    // half its box after a reacquisition (the object was out of sight for a while), within
    // the proximity margin when its own tracking brought it back. Looser, birds of a flock
    // that turn while they pass went on stale courses.
    const TargetSlot& s = targets_[i];
    if (s.settled.age < 0 || s.settled.age > kCourseMaxSettledAge) return false;
    const float frames = static_cast<float>(s.settled.age - s.snapshotAge);
    const cv::Point2f expected = s.settled.center + s.settled.velocity * (dtc * frames);
    const cv::Point2f seen(s.snapshot.cx, s.snapshot.cy);
    const double margin = proximityMargin(settings_);
    const double tolerance = s.runReacquired ? 0.5 * std::max(s.snapshot.w, s.snapshot.h) : margin;
    return cv::norm(seen - expected) <= tolerance;
}

bool MultiTracker::looksMostLikeItself(std::size_t i, const cv::Mat& grey) {
    const TargetOutcome& o = outcomes_[i];
    const cv::Rect box = cv::Rect(cvRound(o.step.x), cvRound(o.step.y), cvRound(o.step.w), cvRound(o.step.h)) &
                         cv::Rect(0, 0, grey.cols, grey.rows);
    if (box.empty()) return false;
    const double own = o.report.anchor_appearance;
    for (std::size_t j = 0; j < targets_.size(); ++j) {
        if (j == i) continue;
        const double other = targets_[j].engine->anchorSimilarity(grey, box);
        if (other > own + settings_.min_appearance_margin) return false;
    }
    return true;
}

void MultiTracker::keepBook(std::size_t i, int frameW, int frameH, float dtc) {
    const TargetOutcome& o = outcomes_[i];
    TargetSlot& s = targets_[i];
    const bool back = !(o.report.suppressed || o.step.state == kLost || o.report.prediction_only);
    if (back) s.course.hold = 0;
    if (s.course.hold > 0) {
        // On course: the prediction moves on at the course velocity, and the engine's
        // searches are centred on it.
        s.motionCenter = courseStarted_[i]
                             ? cv::Point2f(s.snapshot.cx, s.snapshot.cy) +
                                   s.course.velocity * (dtc * static_cast<float>(s.snapshotAge + 1))
                             : predictedCenters_[i];
        s.motionVelocity = s.course.velocity;
        --s.course.hold;
        s.engine->steer(s.motionCenter, s.course.velocity, frameW, frameH);
    } else if (o.report.suppressed || o.step.state == kLost || o.report.prediction_only || o.report.interacting) {
        s.motionCenter = predictedCenters_[i];
        s.motionVelocity *= static_cast<float>(config_.velocity_decay);
    } else {
        s.motionCenter = measuredCenters_[i];
        s.motionVelocity = cv::Point2f(o.step.vx, o.step.vy);
        if (o.step.w >= 2.f && o.step.h >= 2.f) s.motionSize = cv::Point2f(o.step.w, o.step.h);
    }
    ++s.snapshotAge;
    if (s.settled.age >= 0) ++s.settled.age;
    if (o.report.suppressed || o.report.prediction_only) {
        s.lastState = kLost;
        return;
    }
    s.lastState = o.step.state;
    if (o.step.state != kLost) {
        s.snapshotRun = s.snapshotAge == 1 ? s.snapshotRun + 1 : 1;
        if (s.snapshotRun == 1) s.runReacquired = namesReacquisition(o.scores.reason);
        s.snapshotAge = 0;
        s.snapshot = o.step;
        s.hasSnapshot = true;
        if (s.snapshotRun >= kCourseMinRun) {
            s.settled.center = cv::Point2f(o.step.cx, o.step.cy);
            s.settled.velocity = cv::Point2f(o.step.vx, o.step.vy);
            s.settled.age = 0;
        }
    }
}

std::vector<TrackResult> MultiTracker::update(const cv::Mat& frame, const cv::Mat& callerGrey, double dtSeconds) {
    if (targets_.empty()) throw std::runtime_error("call initialize() before update()");
    // One copy of a grey frame of the caller's, which every target keeps as its previous one
    // (a lone target copies it itself, into the buffer of its previous frame).
    const cv::Mat& grey = targets_.size() > 1 ? frames_->keep(callerGrey) : callerGrey;
    const std::size_t n = targets_.size();
    const bool multi = n > 1;

    predictedCenters_.resize(n);
    predictedBoxes_.resize(n);
    proposals_.resize(n);
    measuredCenters_.resize(n);
    outcomes_.resize(n);
    interactionMarks_.assign(n, 0);
    courseStarted_.assign(n, 0);
    onCourse_.assign(n, 0);
    ProposalRelease release{proposals_};

    // Each slot's own motion prediction, independent of its engine.
    const float dtc = static_cast<float>(effectiveInterval(dtSeconds));
    for (std::size_t i = 0; i < n; ++i) {
        const TargetSlot& s = targets_[i];
        const cv::Point2f c = s.motionCenter + s.motionVelocity * dtc;
        float w = s.motionSize.x, h = s.motionSize.y;
        if (!(w >= 2.f && h >= 2.f)) {
            w = static_cast<float>(s.initialSize.width);
            h = static_cast<float>(s.initialSize.height);
        }
        predictedCenters_[i] = c;
        predictedBoxes_[i] = cv::Rect2f(c.x - w / 2.f, c.y - h / 2.f, w, h);
    }

    for (std::size_t i = 0; i < n; ++i) {
        const TargetSlot& s = targets_[i];
        // A target hidden by an ambiguous pass searches around every target that still holds
        // its own object: an object a live target holds is not one it may come back on.
        blocked_.clear();
        if (multi && s.lastState == kLost && s.course.hold > 0) blockLiveTargets(i, dtc);
        propose(i, frame, grey, dtSeconds);
    }
    arbitrate();

    // A target that lost its observation to another looks once more with the owner's box
    // blocked, in case its own object is nearby.
    bool proposedAgain = false;
    for (std::size_t i = 0; i < n; ++i) {
        const OwnershipDecision& d = decisions_[i];
        if (outcomes_[i].step.state == kLost || d.owns || d.ambiguous || d.ownerId < 1) continue;
        std::size_t k = n;
        for (std::size_t j = 0; j < n; ++j) {
            if (outcomes_[j].id() == d.ownerId) {
                k = j;
                break;
            }
        }
        if (k == n || k == i || outcomes_[k].step.state == kLost) continue;
        blocked_.assign(1, outcomes_[k].box());
        propose(i, frame, grey, dtSeconds);
        proposedAgain = true;
    }
    // Two targets on course whose searches came back on one and the same object: the object
    // is the one whose course it lies on, and the other looks once more with it blocked.
    for (std::size_t i = 0; i < n; ++i) {
        if (targets_[i].course.hold <= 0 || !yieldsToAnotherCourse(i)) continue;
        blocked_.assign(1, outcomes_[i].box());
        blockLiveTargets(i, dtc);
        propose(i, frame, grey, dtSeconds);
        proposedAgain = true;
    }
    if (proposedAgain) arbitrate();

    for (std::size_t i = 0; i < n; ++i) {
        const TargetOutcome& a = outcomes_[i];
        if (a.step.state == kLost || !(a.step.w > 0.f) || !(a.step.h > 0.f)) continue;
        for (std::size_t j = i + 1; j < n; ++j) {
            const TargetOutcome& b = outcomes_[j];
            if (b.step.state == kLost || !(b.step.w > 0.f) || !(b.step.h > 0.f)) continue;
            if (interacts(a.box(), b.box(), settings_)) interactionMarks_[i] = interactionMarks_[j] = 1;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        TargetSlot& s = targets_[i];
        if (interactionMarks_[i]) {
            s.interactionHold = settings_.interaction_hold_frames;
        } else if (s.interactionHold > 0) {
            interactionMarks_[i] = 1;
            --s.interactionHold;
        }
    }

    // Who is on course is read as it stood before this frame, whatever the slot order.
    for (std::size_t i = 0; i < n; ++i) onCourse_[i] = targets_[i].course.hold > 0;
    for (std::size_t i = 0; i < n; ++i) resolve(i, frame, grey, dtSeconds);
    for (std::size_t i = 0; i < n; ++i) keepBook(i, grey.cols, grey.rows, dtc);

    std::vector<TrackResult> results;
    results.reserve(n);
    for (const TargetOutcome& o : outcomes_) results.push_back(makeTrackResult(o.step, o.scores, o.report));
    return results;
}

}  // namespace molvane
