// The per-target tracking engine. One instance follows one target: `initialize` seeds it,
// `propose` measures a frame without changing it, and `commit` or `coast` advances it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "config/tracker_params.hpp"
#include "cues/correlator.hpp"
#include "cues/cue_context.hpp"
#include "cues/cue_set.hpp"
#include "engine/grey_frames.hpp"
#include "core/motion_state.hpp"
#include "core/target_model.hpp"
#include "core/track_records.hpp"

namespace molvane {

class TargetEngine;

// How much an observation resembles the locked target.
struct PresenceScore {
    double similarity = 1.0;        // best of anchor and learned-template similarity
    double anchorSimilarity = 1.0;  // similarity to the seed alone
    double contrastRatio = 1.0;     // contrast against the surroundings relative to the target's typical
    bool contrastClear = false;     // stands out far beyond the surrounding sky's own noise
    double contrast = -1.0;         // contrast against the surroundings; negative if unknown
    double contrastToNoise = 0.0;   // contrast / the surroundings' standard deviation
    double noiseRatio = 1.0;        // contrastToNoise relative to the target's typical
    double change = -1.0;           // mean grey change since the last frame; negative if unknown
};

// One proposed step, as a value: what the step would report and leave behind, the model
// update it asks for, and the scores the multi-target arbitration reads. It is tied to the
// engine that made it (`owner`) and to that engine's generation, so that a stale or foreign
// proposal is refused on commit. A default-made proposal is empty (`valid()` false).
struct TargetProposal {
    TrackStep step;
    EngineMotionState after;  // the engine state the step leaves behind
    LearningRecord learning;  // the model update it asks for (applied on commit, if allowed)
    std::uint64_t owner = 0;  // identity of the engine that made it; 0 for an empty proposal
    std::int64_t generation = 0;
    StepScores scores;  // the step's scores and reason, as a result reports them
    double anchorAppearance = 0.0;
    cv::Point2f predictedCenter;
    cv::Rect2f predictedBox;
    cv::Point2f center;
    cv::Rect2f box;  // the target's box at `center` (its geometry, if measured, is in `learning`)

    bool valid() const { return owner != 0; }
};

// The box a multi-target update allows a target (its ownership cell).
struct OwnedGeometry {
    cv::Rect2f box;
    bool valid = false;
};

// What a commit may take from its proposal.
struct CommitPolicy {
    bool learn = true;               // apply the model update the proposal asks for
    bool acceptGeometry = true;      // take the proposal's box (else the displayed size is kept)
    OwnedGeometry owned;             // with acceptGeometry: the displayed box eases towards this cell
    bool geometryUnclipped = false;  // the cell did not cut the measured box (a large growth
                                     // then lets the next correlation find re-fit the box)
};

class TargetEngine {
public:
    // `frames`: where the engine keeps the grey frame of its last step, shared by the
    // engines of one multi-target lock (an engine of its own has its own).
    explicit TargetEngine(const TrackerParams& params, std::shared_ptr<GreyFrames> frames = nullptr);
    TargetEngine(const TargetEngine&) = delete;
    TargetEngine& operator=(const TargetEngine&) = delete;

    // --- seeding (seeding.cpp) ---
    void initialize(const cv::Mat& frame, const cv::Mat& grey, const cv::Rect& box);
    // --- the two-phase step (proposal_cycle.cpp) ---
    TargetProposal propose(const cv::Mat& frame, const cv::Mat& grey, const std::vector<cv::Rect2f>& blockedRegions,
                           const std::optional<cv::Size2f>& referenceSize, double dtSeconds, bool multiTarget,
                           double findSigmaFloor = 0.0);
    // Adopts `proposal` (made by this engine at its current generation; throws otherwise)
    // with what `policy` allows, keeps the frame and starts a new generation.
    TrackStep commit(const TargetProposal& proposal, const cv::Mat& frame, const cv::Mat& grey,
                     const CommitPolicy& policy = {});
    // `onFilter`: the motion state flies on at the motion filter's prediction (no velocity
    // decay), so that the next searches are centred where the filter expects the target. A
    // multi-target lock coasts this way: coasting is predicting.
    // `heldFind`: a find the target may well own but was not given (it is contested): it
    // corrects the motion filter as a measurement uncertain by `heldFindSigma` px, so that a
    // target held back beside a look-alike stays where it is seen instead of flying on.
    TrackStep coast(const cv::Mat& grey, Reason reason, double dtSeconds, bool onFilter = false,
                    std::optional<cv::Point2f> heldFind = std::nullopt, double heldFindSigma = 0.0);
    // A propose followed at once by a commit that learns and takes the geometry
    // (target_engine.cpp).
    TrackStep update(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds);

    // --- read-only view ---
    bool initialized() const { return initialized_; }
    const TrackerParams& config() const { return profile_; }
    double targetScore() const { return state_.targetScore; }
    double candidateScore() const { return state_.candidateScore; }
    double confidence() const { return state_.confidence; }
    Reason reason() const { return state_.reason; }
    // The scores and reason of the last step, as a result reports them.
    StepScores scores() const { return stepScores(state_); }
    const EngineMotionState& state() const { return state_; }
    std::int64_t generation() const { return generation_; }
    const TargetModel& model() const { return model_; }
    // The grey frames this engine keeps its previous frame in: a colour frame converted
    // with its `greyOf` is kept without a copy.
    GreyFrames& greyFrames() { return *frames_; }
    // Similarity in [-1, 1] of `box` in `grey` to the seed's look (the anchor template); 0
    // before the lock. Uses the engine's appearance scratch, so it is not const.
    double anchorSimilarity(const cv::Mat& grey, const cv::Rect& box);

private:
    friend struct TargetEngineProbe;  // white-box access for the C++ unit tests

    // --- the step (proposal_cycle.cpp) ---
    // propose; `scoreAnchor` false leaves the proposal's anchor appearance at 0 (a
    // single-target update never reads it).
    TargetProposal proposeStep(const cv::Mat& frame, const cv::Mat& grey, const std::vector<cv::Rect2f>& blockedRegions,
                               const std::optional<cv::Size2f>& referenceSize, double dtSeconds, bool multiTarget,
                               bool scoreAnchor, double findSigmaFloor = 0.0);
    // Lets go of what a finished (or failed) proposal left in the draft, keeping its storage.
    void releaseDraft();

    // --- applying a find (measurement_update.cpp) ---
    // Places and sizes a small target's find by its extent (cues/extent_measurement);
    // false when it leaves the find as it was. A tracked find may grow by a size step at
    // most; `anySize` sizes a reacquisition candidate around its own box.
    bool refineByExtent(const cv::Mat& grey, Measurement& m, bool anySize);
    TrackStep accept(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m, double dtSeconds);
    void applyMeasurement(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m, bool reacquired,
                          bool confirmed, double dtSeconds);
    // The steps of applyMeasurement, in order.
    struct MotionUpdate {
        bool guarded = false;         // the correlation guard kept the position at the prediction
        bool positionUpdated = true;  // the find placed the target (and corrects the filter)
    };
    // A correlation find's box re-fitted to the foreground blob under it, when one is due.
    std::optional<Measurement> foregroundAssist(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m,
                                                cv::Point2f predicted);
    // Centre, velocity and displacement from the find (or the prediction, when guarded).
    MotionUpdate updateMotion(const Measurement& m, const std::optional<Measurement>& assisted, bool reacquired,
                              const EngineMotionState& old, cv::Point2f predicted, double dtc);
    void correctFilter(const EngineMotionState& old, bool reacquired);
    // The box the find suggests, before the size limits.
    cv::Rect measuredCandidate(const Measurement& m, const std::optional<Measurement>& assisted, bool guarded,
                               const EngineMotionState& old, cv::Size frame) const;
    // `candidate`'s size limited relative to the seed and to one size step, at the new centre.
    cv::Rect limitedBox(const cv::Rect& candidate, const EngineMotionState& old, bool reacquired, cv::Size frame) const;
    void takeScores(const Measurement& m, const std::optional<Measurement>& assisted, bool guarded);
    // The model update the find asks for, applied when the step is committed.
    void recordLearning(const Measurement& m, const std::optional<Measurement>& assisted, const MotionUpdate& motion,
                        bool reacquired, bool confirmed, cv::Point2f predicted);

    // --- state rules shared by every step (target_engine.cpp) ---
    // Keeps `grey` as the previous frame for the next step.
    void keepFrame(const cv::Mat& grey);
    bool isBlocked(const Measurement& m) const;
    bool isAcceptable(const Measurement& m) const;
    void predict(double dtSeconds, int frameW, int frameH);
    // Starts a step of `dt` seconds (already bounded): the tuning as it applies to this
    // interval, and the motion filter advanced to the frame. Returns the effective interval.
    double beginStep(double dt);
    void smoothDisplay();
    TrackStep makeStep(TrackState state) const;
    // The endings of a step: an accepted observation (misses cleared, a hit counted), a
    // miss (the prediction moves on, the miss is counted) and a lost step (a miss that
    // also ends any confirmation and zeroes the scores).
    TrackStep hitStep(TrackState state);
    TrackStep missStep(Reason reason, double dtSeconds, int frameW, int frameH);
    TrackStep lostStep(Reason reason, double dtSeconds, int frameW, int frameH);
    // What the cues read during a step: the draft's state and inputs.
    CueContext cueContext() const { return {config_, model_, draft_, inputs_}; }

    // --- the search of a frame (tracking_pipeline.cpp) ---
    TrackStep lostSearch(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds);
    TrackStep trackingPipeline(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds);

    // --- presence check (target_presence.cpp) ---
    // Contrast of `box` against a ring around it in the direction of `polarity`; negative
    // when it cannot be measured.
    double boxContrast(const cv::Mat& grey, const cv::Rect& box, int polarity) const;
    // Judged at `size`: the size the target would be tracked at with this find.
    PresenceScore presenceAt(const cv::Mat& grey, cv::Point2f center, cv::Size size);
    bool presenceCheckOn() const;
    bool resemblesTarget(const PresenceScore& s, bool strict) const;
    double similarityFloor(bool strict) const;
    // Whether an observation is convincing enough to bring back a target declared gone.
    bool returnConvinces(const PresenceScore& s) const;
    double closeMatchSimilarity() const;
    bool parkedOnScenery(const PresenceScore& s) const;
    // The box holds something that does not change from frame to frame, while this target
    // typically does (it was seen moving).
    bool standsStill(const PresenceScore& s) const;
    // A reacquisition candidate may be taken (strict while the target is absent).
    // Sizes the candidate by its extent first, and judges it at that size.
    bool candidateResembles(const cv::Mat& grey, Measurement& m);
    void clearAbsence();
    // Applies `m` as a reacquisition: tentative until `needed` looks in a row, then confirmed.
    TrackStep reacquisitionStep(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m, int needed,
                                double dtSeconds);
    // Judges an accepted measurement: a step when it decides the frame (target declared
    // gone, or a return being confirmed), nothing when the ordinary accept goes ahead
    // (with `m.confidence` capped when the observation looks unlike the target).
    std::optional<TrackStep> presenceVerdict(const cv::Mat& frame, const cv::Mat& grey, Measurement& m, cv::Size size,
                                             double dtSeconds);

    // --- reacquisition (reacquisition.cpp) ---
    TrackStep reacquireOrMiss(const cv::Mat& colourFrame, const cv::Mat& grey, Reason reason, double dtSeconds);

    // --- learning (learning.cpp) ---
    void applyLearning(const cv::Mat& colourFrame, const cv::Mat& grey, const LearningRecord& record);

    // Configuration and identity: the profile as given, and as it applies to the current
    // step's frame interval (frame counts and per-update rates converted).
    TrackerParams profile_;
    TrackerParams config_;
    double stepFrames_ = 1.0;  // 30 fps frames the current step's interval spans
    std::uint64_t identity_;

    // Lifecycle
    bool initialized_ = false;
    std::int64_t generation_ = 0;
    bool coastOnFilter_ = false;  // predict() follows the motion filter (a coast on it)

    // The committed state: geometry, counters, scores, reason. Only seeding, commit and
    // coast write it.
    EngineMotionState state_;

    // The step being drafted. `draft_` is a copy of the committed state taken when the step
    // starts, advanced by the pipeline, and handed over in the proposal (or adopted by a
    // coast); `learning_` is the model update it asks for, `inputs_` the inputs of its
    // proposal. The pipeline and the cues work on these only; their storage is reused.
    EngineMotionState draft_;
    LearningRecord learning_;
    ProposalInputs inputs_;

    // The target's appearance model (its previous frame lives in frames_) and the
    // correlation filters
    std::shared_ptr<GreyFrames> frames_;
    TargetModel model_;
    CorrelatorBank correlators_;

    // The cues, each with its own scratch
    CueSet cues_;

    // Scratch of the engine's own work, reused between calls
    std::vector<int> presenceColumns_;  // presence check: sampling columns of the current box
    cv::Mat learnColourScratch_, learnBgr_, learnTemplateScratch_;  // learning
};

}  // namespace molvane
