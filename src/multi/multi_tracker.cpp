#include "multi/multi_tracker.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
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

bool finiteBox(const TargetOutcome& o) {
    return std::isfinite(o.bbox_x) && std::isfinite(o.bbox_y) && std::isfinite(o.bbox_w) && std::isfinite(o.bbox_h);
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

void MultiTracker::lock(const cv::Mat& frame, const cv::Mat& grey, const std::vector<cv::Rect>& boxes) {
    if (frame.empty()) throw std::invalid_argument("frame must not be empty");
    if (grey.empty()) throw std::invalid_argument("gray frame must not be empty");
    if (boxes.empty()) throw std::invalid_argument("MultiTracker requires at least one target bbox");

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
        slot.engine = std::make_unique<TemplateTracker>(engineConfig);
        slot.engine->initialize(frame, grey, b);

        const float x = static_cast<float>(b.x), y = static_cast<float>(b.y);
        const float w = static_cast<float>(b.width), h = static_cast<float>(b.height);
        const cv::Point2f c(x + 0.5f * w, y + 0.5f * h);
        slot.hasSnapshot = true;
        TrackStep& sn = slot.snapshot;
        sn.targetId = slot.id;
        sn.state = kTentative;
        sn.x = x;
        sn.y = y;
        sn.w = w;
        sn.h = h;
        sn.cx = c.x;
        sn.cy = c.y;
        sn.vx = sn.vy = sn.speed = 0.f;
        sn.age = 1;
        sn.hits = 1;
        sn.misses = 0;
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
    o.id = o.target_id = s.id;
    o.state = p.step.state;
    o.vx = p.step.vx;
    o.vy = p.step.vy;
    o.speed = p.step.speed;
    o.age = p.step.age;
    o.hits = p.step.hits;
    o.misses = p.step.misses;
    o.bbox_x = p.box.x;
    o.bbox_y = p.box.y;
    o.bbox_w = p.box.width;
    o.bbox_h = p.box.height;
    o.cx = p.center.x;
    o.cy = p.center.y;
    o.target_score = static_cast<float>(p.targetScore);
    o.target_candidate_score = static_cast<float>(p.candidateScore);
    o.confidence = static_cast<float>(p.confidence);
    o.anchor_appearance = static_cast<float>(p.anchorAppearance);
    o.reason = p.reason;
    o.geometry_confidence = static_cast<float>(p.geometryConfidence);
    measuredCenters_[i] = p.center;
}

void MultiTracker::takeStep(std::size_t i, const TrackStep& step) {
    TargetOutcome& o = outcomes_[i];
    o.target_id = targets_[i].id;
    o.state = step.state;
    o.bbox_x = step.x;
    o.bbox_y = step.y;
    o.bbox_w = step.w;
    o.bbox_h = step.h;
    o.cx = step.cx;
    o.cy = step.cy;
    o.vx = step.vx;
    o.vy = step.vy;
    o.speed = step.speed;
    o.age = step.age;
    o.hits = step.hits;
    o.misses = step.misses;
}

void MultiTracker::arbitrate() {
    associate(outcomes_, targets_, settings_, decisions_, association_);
    measureProximity(outcomes_, measuredCenters_, predictedCenters_, predictedBoxes_, targets_, settings_, proximity_);
}

void MultiTracker::markPrediction(std::size_t i, const char* reason, int frameW, int frameH) {
    TargetOutcome& o = outcomes_[i];
    if (!finiteBox(o) || o.bbox_w < 2.f || o.bbox_h < 2.f) {
        // Report the slot's own prediction, clipped to the frame.
        const cv::Rect2f& pb = predictedBoxes_[i];
        const float x0 = std::max(pb.x, 0.f), y0 = std::max(pb.y, 0.f);
        const float x1 = std::min(static_cast<float>(frameW), pb.x + pb.width);
        const float y1 = std::min(static_cast<float>(frameH), pb.y + pb.height);
        const float w = x1 - x0, h = y1 - y0;
        if (!(w > 0.f) || !(h > 0.f)) {  // also a prediction that is not finite
            o.bbox_x = o.bbox_y = o.bbox_w = o.bbox_h = 0.f;
            o.cx = o.cy = 0.f;
        } else {
            o.bbox_x = x0;
            o.bbox_y = y0;
            o.bbox_w = w;
            o.bbox_h = h;
            o.cx = x0 + w * 0.5f;
            o.cy = y0 + h * 0.5f;
        }
        const cv::Point2f v = targets_[i].motionVelocity;
        o.vx = v.x;
        o.vy = v.y;
        o.speed = std::sqrt(v.x * v.x + v.y * v.y);
    }
    if (o.bbox_w < 2.f || o.bbox_h < 2.f) return;
    // A target its engine has lost is reported lost, with its prediction as the box; only
    // a target held back by the arbitration (and so probably still there) is tentative.
    o.state = reason::same(reason, reason::kPredictionUnobserved) ? kLost : kTentative;
    o.target_score = o.target_candidate_score = o.confidence = 0.f;
    o.anchor_appearance = o.geometry_confidence = 0.f;
    o.geometry_ownership_constrained = false;
    o.reason = reason;
    o.prediction_only = o.suppressed = o.model_learning_suppressed = o.geometry_update_suppressed = true;
}

void MultiTracker::resolve(std::size_t i, const cv::Mat& frame, const cv::Mat& grey, double dtSeconds) {
    TargetOutcome& o = outcomes_[i];
    TargetSlot& s = targets_[i];
    const OwnershipDecision& d = decisions_[i];
    const MeasurementProximity& p = proximity_[i];
    const bool multi = targets_.size() > 1;
    o.interacting = interactionMarks_[i] != 0;

    // A lost target that comes back through a reacquisition search with a weak likeness to
    // its anchor may well have found another target; it is trusted only when its find lies
    // near its own prediction and away from everyone else's, and then either correlation
    // tracking backs it, or the target is on course after an ambiguous pass, holds the find
    // alone and the find looks no more like any other target than like itself.
    const bool clearOfOthers =
        p.nearestOtherId <= 0 && !p.distanceAmbiguous && !p.predictionOverlap && p.nearOwnPrediction;
    const bool weak = multi && s.lastState == kLost && o.state != kLost && o.reason != nullptr &&
                      std::strstr(o.reason, "reacquire") != nullptr &&
                      o.anchor_appearance < settings_.min_owner_appearance;
    const bool supported =
        clearOfOthers && (config_.correlation_enabled ||
                          (weak && s.courseHold > 0 && d.owns && looksMostLikeItself(i, grey)));
    if (weak && !supported) {
        takeStep(i, s.engine->coast(grey, reason::kCoastWeakReacquire, dtSeconds));
        o.confidence = 0.f;
        o.reason = reason::kCoastWeakReacquire;
        o.suppressed = o.model_learning_suppressed = o.geometry_update_suppressed = true;
        markPrediction(i, reason::kPredictionWeakReacquire, grey.cols, grey.rows);
        return;
    }

    // On course, any find that still reaches into another target's predicted box may be
    // that target's object: the observation stays ambiguous until the two have come apart.
    const bool ambiguous = d.ambiguous || (multi && o.state != kLost && s.courseHold > 0 && nearAnotherCourse(i));
    if (o.state != kLost && (!d.owns || ambiguous)) {
        // Only ambiguity puts a target on course, and only from a recent good step.
        if (ambiguous && s.courseHold == 0 && s.hasSnapshot && s.snapshotAge <= kCourseMaxSnapshotAge &&
            s.snapshotRun >= kCourseMinRun && settings_.ambiguity_course_frames > 0) {
            s.courseHold = settings_.ambiguity_course_frames;
            s.courseVelocity = cv::Point2f(s.snapshot.vx, s.snapshot.vy);
            courseStarted_[i] = 1;
        }
        const char* coastReason = ambiguous ? reason::kCoastAmbiguousOwner : reason::kCoastOwnedByOther;
        takeStep(i, s.engine->coast(grey, coastReason, dtSeconds));
        o.confidence = 0.f;
        o.reason = coastReason;
        o.suppressed = true;
        // Never name the target itself as the one that suppressed it.
        o.suppressed_by_id = (ambiguous || d.ownerId == o.id) ? 0 : d.ownerId;
        o.model_learning_suppressed = o.geometry_update_suppressed = true;
        if (o.interacting) {
            markPrediction(i, ambiguous ? reason::kPredictionAmbiguousOwner : reason::kPredictionOwnedByOther,
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

    const bool learn = !o.interacting;
    bool acceptGeometry = true;
    OwnedGeometry owned;
    bool unclipped = false;
    if (n > 1) {
        acceptGeometry = false;
        if (p.hasGeometry) {
            if (o.state == kConfirmed && settings_.ownership_cell_enabled && !o.interacting) {
                const cv::Size2f limited =
                    limitMeasuredSize(p.geometryBox.width, p.geometryBox.height, s, settings_, config_);
                neighbours_.clear();
                for (std::size_t j = 0; j < n; ++j) {
                    if (j == i) continue;
                    if (decisions_[j].owns && outcomes_[j].state != kLost) {
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
                    o.geometry_ownership_constrained = cell.clipped;
                } else {
                    o.geometry_update_suppressed = true;
                }
            } else {
                o.geometry_update_suppressed = true;
            }
        }
    }

    const TrackStep step = s.engine->commit(proposal, frame, grey, learn, acceptGeometry, owned, unclipped);
    takeStep(i, step);
    if (step.state == kLost) {
        if (n > 1 && s.hasSnapshot && step.misses <= settings_.unobserved_prediction_max_misses) {
            markPrediction(i, reason::kPredictionUnobserved, grey.cols, grey.rows);
        }
    } else {
        s.observedCenter = p.center;
    }
    if (!o.prediction_only) {
        o.model_learning_suppressed = o.interacting && o.state != kLost;
        o.geometry_update_suppressed = o.geometry_update_suppressed && o.state != kLost;
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

bool MultiTracker::looksMostLikeItself(std::size_t i, const cv::Mat& grey) {
    const TargetOutcome& o = outcomes_[i];
    const cv::Rect box = cv::Rect(cvRound(o.bbox_x), cvRound(o.bbox_y), cvRound(o.bbox_w), cvRound(o.bbox_h)) &
                         cv::Rect(0, 0, grey.cols, grey.rows);
    if (box.empty()) return false;
    const double own = o.anchor_appearance;
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
    const bool back = !(o.suppressed || o.state == kLost || o.prediction_only);
    if (back) s.courseHold = 0;
    if (s.courseHold > 0) {
        // On course: the prediction moves on at the course velocity, and the engine's
        // searches are centred on it.
        s.motionCenter = courseStarted_[i]
                             ? cv::Point2f(s.snapshot.cx, s.snapshot.cy) +
                                   s.courseVelocity * (dtc * static_cast<float>(s.snapshotAge + 1))
                             : predictedCenters_[i];
        s.motionVelocity = s.courseVelocity;
        --s.courseHold;
        s.engine->steer(s.motionCenter, s.courseVelocity, frameW, frameH);
    } else if (o.suppressed || o.state == kLost || o.prediction_only || o.interacting) {
        s.motionCenter = predictedCenters_[i];
        s.motionVelocity *= static_cast<float>(config_.velocity_decay);
    } else {
        s.motionCenter = measuredCenters_[i];
        s.motionVelocity = cv::Point2f(o.vx, o.vy);
        if (o.bbox_w >= 2.f && o.bbox_h >= 2.f) s.motionSize = cv::Point2f(o.bbox_w, o.bbox_h);
    }
    ++s.snapshotAge;
    if (o.suppressed || o.prediction_only) {
        s.lastState = kLost;
        return;
    }
    s.lastState = o.state;
    if (o.state != kLost) {
        s.snapshotRun = s.snapshotAge == 1 ? s.snapshotRun + 1 : 1;
        s.snapshotAge = 0;
        TrackStep& sn = s.snapshot;
        sn.targetId = o.target_id;
        sn.state = o.state;
        sn.x = o.bbox_x;
        sn.y = o.bbox_y;
        sn.w = o.bbox_w;
        sn.h = o.bbox_h;
        sn.cx = o.cx;
        sn.cy = o.cy;
        sn.vx = o.vx;
        sn.vy = o.vy;
        sn.speed = o.speed;
        sn.age = o.age;
        sn.hits = o.hits;
        sn.misses = o.misses;
        s.hasSnapshot = true;
    }
}

TrackResult MultiTracker::toResult(std::size_t i) const {
    const TargetOutcome& o = outcomes_[i];
    TrackResult r;
    r.frame = 0;
    r.lost = o.state == kLost;
    r.id = o.id;
    r.state = stateName(o.state);
    r.cx = o.cx;
    r.cy = o.cy;
    r.bbox_x = o.bbox_x;
    r.bbox_y = o.bbox_y;
    r.bbox_w = o.bbox_w;
    r.bbox_h = o.bbox_h;
    r.hits = o.hits;
    r.misses = o.misses;
    r.target_score = o.target_score;
    r.target_candidate_score = o.target_candidate_score;
    r.confidence = o.confidence;
    r.speed = o.speed;
    r.reason = o.reason != nullptr ? o.reason : "";
    r.suppressed = o.suppressed;
    r.suppressed_by_id = o.suppressed_by_id;
    r.anchor_appearance = o.anchor_appearance;
    r.interacting = o.interacting;
    r.model_learning_suppressed = o.model_learning_suppressed;
    r.geometry_update_suppressed = o.geometry_update_suppressed;
    r.geometry_ownership_constrained = o.geometry_ownership_constrained;
    r.geometry_confidence = o.geometry_confidence;
    r.prediction_only = o.prediction_only;
    return r;
}

std::vector<TrackResult> MultiTracker::update(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds) {
    if (targets_.empty()) throw std::runtime_error("call initialize() before update()");
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
        if (multi && s.lastState == kLost && s.courseHold > 0) {
            for (std::size_t j = 0; j < n; ++j) {
                if (j != i && targets_[j].lastState != kLost) blocked_.push_back(predictedBoxes_[j]);
            }
        }
        proposals_[i] = s.engine->propose(frame, grey, blocked_, cv::Size2f(s.motionSize.x, s.motionSize.y),
                                          dtSeconds, multi);
        buildOutcome(i);
    }
    arbitrate();

    // A target that lost its observation to another looks once more with the owner's box
    // blocked, in case its own object is nearby.
    bool proposedAgain = false;
    for (std::size_t i = 0; i < n; ++i) {
        const OwnershipDecision& d = decisions_[i];
        if (outcomes_[i].state == kLost || d.owns || d.ambiguous || d.ownerId < 1) continue;
        std::size_t k = n;
        for (std::size_t j = 0; j < n; ++j) {
            if (outcomes_[j].id == d.ownerId) {
                k = j;
                break;
            }
        }
        if (k == n || k == i || outcomes_[k].state == kLost) continue;
        blocked_.assign(1, outcomes_[k].box());
        const TargetSlot& s = targets_[i];
        proposals_[i] = TemplateTrackerProposal();  // drop the first proposal uncommitted
        proposals_[i] = s.engine->propose(frame, grey, blocked_, cv::Size2f(s.motionSize.x, s.motionSize.y),
                                          dtSeconds, multi);
        buildOutcome(i);
        proposedAgain = true;
    }
    if (proposedAgain) arbitrate();

    for (std::size_t i = 0; i < n; ++i) {
        const TargetOutcome& a = outcomes_[i];
        if (a.state == kLost || !(a.bbox_w > 0.f) || !(a.bbox_h > 0.f)) continue;
        for (std::size_t j = i + 1; j < n; ++j) {
            const TargetOutcome& b = outcomes_[j];
            if (b.state == kLost || !(b.bbox_w > 0.f) || !(b.bbox_h > 0.f)) continue;
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
    for (std::size_t i = 0; i < n; ++i) onCourse_[i] = targets_[i].courseHold > 0;
    for (std::size_t i = 0; i < n; ++i) resolve(i, frame, grey, dtSeconds);
    for (std::size_t i = 0; i < n; ++i) keepBook(i, grey.cols, grey.rows, dtc);

    std::vector<TrackResult> results;
    results.reserve(n);
    for (std::size_t i = 0; i < n; ++i) results.push_back(toResult(i));
    return results;
}

}  // namespace molvane
