// The per-target tracking engine. One instance follows one target: `initialize` seeds it,
// `propose` measures a frame without changing it, and `commit` or `coast` advances it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "config/tracker_params.hpp"
#include "cues/blob_candidate.hpp"
#include "cues/correlator.hpp"
#include "engine/track_records.hpp"

namespace molvane {

class TemplateTracker;

// What the presence check has learned about this target since the lock.
struct PresenceState {
    int unlikeCount = 0;                 // recent observations that did not resemble the target
    double typicalSimilarity = 0.0;      // running mean of the best similarity while on target
    double typicalAnchorSimilarity = 0.0;  // the same, against the seed alone
    double typicalChange = 0.0;          // running mean of the box's frame-to-frame change
    int typicalSamples = 0;              // observations in those means (saturates)
    bool targetAbsent = false;           // declared gone; waiting for it to look like itself
};

// The engine values a proposal snapshots, restores and (on commit) writes back.
struct EngineMotionState {
    cv::Rect box;
    cv::Point2f center;
    cv::Point2f displacement;
    cv::Point2f velocity;
    cv::Point2f displayCenter;
    cv::Point2f displayTopLeft;
    cv::Point2f displaySize;  // (w, h)
    int hits = 0;
    int misses = 0;
    int confirmCount = 0;
    int assistCooldown = 0;
    double targetScore = 0.0;
    double candidateScore = 0.0;
    double confidence = 0.0;
    Reason reason = Reason::kNone;
    PresenceState presence;
};

// How much an observation resembles the locked target.
struct PresenceScore {
    double similarity = 1.0;        // best of anchor and learned-template similarity
    double anchorSimilarity = 1.0;  // similarity to the seed alone
    double contrastRatio = 1.0;  // contrast against the surroundings relative to the seed's
    double change = -1.0;        // mean grey change since the last frame; negative if unknown
};

// A copyable handle to one proposed step. Copies share the same private state.
class TemplateTrackerProposal {
public:
    struct Impl {
        TrackStep step;
        EngineMotionState after;
        LearningRecord learning;
        std::uint64_t owner = 0;  // identity of the engine that made it
        std::int64_t generation = 0;
        double targetScore = 0.0;
        double candidateScore = 0.0;
        double confidence = 0.0;
        double anchorAppearance = 0.0;
        cv::Point2f predictedCenter;
        cv::Rect2f predictedBox;
        cv::Point2f center;
        cv::Rect2f box;
        bool hasGeometry = false;
        cv::Rect2f geometryBox;
        double geometryConfidence = 0.0;
        Reason reason = Reason::kNone;
    };

    TemplateTrackerProposal() = default;
    bool valid() const { return impl_ != nullptr; }
    // Throws std::logic_error "invalid template tracker proposal" for an empty handle.
    const Impl& impl() const;

private:
    friend class TemplateTracker;
    explicit TemplateTrackerProposal(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    std::shared_ptr<Impl> impl_;
};

// The box a multi-target update allows a target (its ownership cell).
struct OwnedGeometry {
    cv::Rect2f box;
    bool valid = false;
};

// Result of the template matching measurement: a measurement plus the best score found
// and the reason to report when it failed.
struct TemplateResult : Measurement {
    double score = 0.0;
    Reason failReason = Reason::kNone;
};

class TemplateTracker {
public:
    explicit TemplateTracker(const TrackerParams& params);
    TemplateTracker(const TemplateTracker&) = delete;
    TemplateTracker& operator=(const TemplateTracker&) = delete;

    // --- lifecycle (template_tracker.cpp) ---
    void initialize(const cv::Mat& frame, const cv::Mat& grey, const cv::Rect& box);
    TemplateTrackerProposal propose(const cv::Mat& frame, const cv::Mat& grey,
                                    const std::vector<cv::Rect2f>& blockedRegions,
                                    const std::optional<cv::Size2f>& referenceSize, double dtSeconds,
                                    bool multiTarget);
    TrackStep commit(const TemplateTrackerProposal& proposal, const cv::Mat& frame, const cv::Mat& grey,
                     bool learn, bool acceptGeometry, const OwnedGeometry& ownedGeometry,
                     bool geometryUnclipped);
    TrackStep coast(const cv::Mat& grey, Reason reason, double dtSeconds);
    TrackStep update(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds);
    // Puts the motion state on a course given from outside: the next prediction and every
    // search centred on it start from `center` moving at `velocity` (px/s). A multi-target
    // lock uses it to keep a target hidden by a neighbour on its own course.
    void steer(cv::Point2f center, cv::Point2f velocity, int frameW, int frameH);

    // --- read-only view ---
    bool initialized() const { return initialized_; }
    const TrackerParams& config() const { return config_; }
    double targetScore() const { return state_.targetScore; }
    double candidateScore() const { return state_.candidateScore; }
    double confidence() const { return state_.confidence; }
    Reason reason() const { return state_.reason; }
    const EngineMotionState& state() const { return state_; }
    std::int64_t generation() const { return generation_; }
    int polarity() const { return polarity_; }
    bool extendedTarget() const { return extendedTarget_; }
    cv::Size seedSize() const { return seedSize_; }

    // --- appearance similarity (appearance_similarity.cpp) ---
    double greySimilarity(const cv::Mat& grey, const cv::Rect& box, const cv::Mat& reference);
    double colourSimilarity(const cv::Mat& frame, const cv::Rect& box);
    double appearanceSimilarity(const cv::Mat& frame, const cv::Mat& grey, const cv::Rect& box);
    double anchorSimilarity(const cv::Mat& grey, const cv::Rect& box);

    // --- image measurement cues (src/cues/) ---
    // Writes the local contrast map of `rect` (already clipped) into `out`.
    void localContrastMap(const cv::Mat& colourFrame, const cv::Mat& grey, const cv::Rect& rect, int kernel,
                          int polarity, cv::Mat& out);
    Measurement measureForeground(const cv::Mat& colourFrame, const cv::Mat& grey, const cv::Rect& searchRect,
                                  cv::Point2f expectedCenter);
    Measurement measureBoundary(const cv::Mat& colourFrame, const cv::Mat& grey, const cv::Rect& searchRect,
                                cv::Size expectedSize, double gateRadius, double dtSeconds,
                                cv::Point2f expectedCenter, bool speedGate);
    Measurement detectContrast(const cv::Mat& colourFrame, const cv::Mat& grey, const cv::Rect& searchRect,
                               int margin, double dtSeconds, int polarity, bool speedGate, bool fullFrame);
    Measurement searchSky(const cv::Mat& colourFrame, const cv::Mat& grey, double dtSeconds);

    // --- engine measurements (src/engine/) ---
    TemplateResult measureTemplate(const cv::Mat& frame, const cv::Mat& grey, const cv::Rect& predictedBox,
                                   int searchRadius, double dtSeconds);
    Measurement measureMotion(const cv::Mat& frame, const cv::Mat& grey, const cv::Rect& predictedBox,
                              cv::Point2f predictedCenter, int searchRadius, double dtSeconds);

private:
    friend struct TemplateTrackerProbe;  // white-box access for the C++ unit tests

    // --- pipeline internals (template_tracker.cpp) ---
    // propose; `scoreAnchor` false leaves the proposal's anchor appearance at 0 (a
    // single-target update never reads it).
    TemplateTrackerProposal proposeStep(const cv::Mat& frame, const cv::Mat& grey,
                                        const std::vector<cv::Rect2f>& blockedRegions,
                                        const std::optional<cv::Size2f>& referenceSize, double dtSeconds,
                                        bool multiTarget, bool scoreAnchor);
    TrackStep accept(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m, double dtSeconds);
    void applyMeasurement(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m, bool reacquired,
                          bool confirmed, double dtSeconds);
    bool isBlocked(const Measurement& m) const;
    bool isAcceptable(const Measurement& m) const;
    void predict(double dtSeconds, int frameW, int frameH);
    void smoothDisplay();
    TrackStep makeStep(int32_t state) const;
    TrackStep lostStep(Reason reason, double dtSeconds, int frameW, int frameH);
    TrackStep lostSearch(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds);
    TrackStep trackingPipeline(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds);

    // --- presence check (target_presence.cpp) ---
    // Contrast of `box` against a ring around it in the direction of `polarity`; negative
    // when it cannot be measured.
    double boxContrast(const cv::Mat& grey, const cv::Rect& box, int polarity) const;
    PresenceScore presenceAt(const cv::Mat& grey, cv::Point2f center);
    bool presenceCheckOn() const;
    bool resemblesTarget(const PresenceScore& s, bool strict) const;
    double similarityFloor(bool strict) const;
    // Whether an observation is convincing enough to bring back a target declared gone.
    bool returnConvinces(const PresenceScore& s) const;
    double closeMatchSimilarity() const;
    bool parkedOnScenery(const PresenceScore& s) const;
    // A reacquisition candidate may be taken (strict while the target is absent).
    bool candidateResembles(const cv::Mat& grey, const Measurement& m);
    void clearAbsence();
    // Applies `m` as a reacquisition: tentative until `needed` looks in a row, then confirmed.
    TrackStep reacquisitionStep(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m, int needed,
                                double dtSeconds);
    // Judges an accepted measurement: a step when it decides the frame (target declared
    // gone, or a return being confirmed), nothing when the ordinary accept goes ahead
    // (with `m.confidence` capped when the observation looks unlike the target).
    std::optional<TrackStep> presenceVerdict(const cv::Mat& frame, const cv::Mat& grey, Measurement& m,
                                             double dtSeconds);

    // --- reacquisition (src/cues/reacquire_search.cpp) ---
    TrackStep reacquireOrMiss(const cv::Mat& colourFrame, const cv::Mat& grey, Reason reason,
                              double dtSeconds);

    // --- foreground blob (src/cues/foreground_measurement.cpp) ---
    // measureForeground without the appearance score when the caller has no use for it
    // (the result's targetScore is then left at 0).
    Measurement foregroundBlob(const cv::Mat& colourFrame, const cv::Mat& grey, const cv::Rect& searchRect,
                               cv::Point2f expectedCenter, bool scoreAppearance);

    // --- learning and correlation assist (src/cues/correlation_assist.cpp) ---
    void applyLearning(const cv::Mat& colourFrame, const cv::Mat& grey, const LearningRecord& record);
    std::optional<Measurement> searchForegroundBox(const cv::Mat& colourFrame, const cv::Mat& grey,
                                                   const Measurement& measurement, cv::Point2f predictedCenter,
                                                   bool multiTarget);

    // Configuration and identity
    TrackerParams config_;
    std::uint64_t identity_;

    // Lifecycle
    bool initialized_ = false;
    std::int64_t generation_ = 0;
    bool proposalActive_ = false;

    // Geometry, counters, scores, reason
    EngineMotionState state_;
    cv::Size seedSize_;
    double seedContrast_ = 0.0;  // seed contrast in the polarity's direction; 0 when unknown
    int polarity_ = 0;
    bool extendedTarget_ = false;

    // Per-proposal inputs
    std::vector<cv::Rect2f> blockedRegions_;
    std::optional<cv::Size2f> referenceSize_;
    bool multiTarget_ = false;

    // Pending model update
    LearningRecord learning_;

    // Image models
    cv::Mat template_;
    cv::Mat halfTemplate_;
    cv::Mat anchorTemplate_;
    cv::Mat colourPatch_;
    cv::Mat anchorColourPatch_;
    cv::Mat labPatch_;
    std::vector<cv::Mat> labChannels_;
    cv::Mat previousFrame_;
    cv::Mat morphKernel_;
    CorrelatorBank correlators_;

    // Reused proposal state (avoids an allocation per frame once the handle is released)
    std::shared_ptr<TemplateTrackerProposal::Impl> spareProposal_;

    // Scratch images reused between calls; each cue owns the ones in its section.
    // appearance similarity
    cv::Mat simPatch_, simResult_, simDiff_, simLab_;
    std::vector<cv::Mat> simLabChannels_;
    cv::Mat simColourPatch_, simColourDiff_;
    // local contrast map, foreground, boundary, contrast detection, sky search
    std::vector<cv::Mat> channelScratch_{3};
    cv::Mat boundaryKernel_;
    int boundaryKernelSize_ = 0;
    cv::Mat mapBlur_, mapColourBlur_, mapColourDiff_;
    cv::Mat fgRing_, fgDiff_, fgColourDiff_, fgBinary_, fgFill_, fgMerged_;
    ContourList fgContours_;
    std::vector<BlobCandidate> fgCandidates_;
    cv::Mat bdMap_, bdBinary_, bdFill_, bdMerged_;
    ContourList bdContours_;
    std::vector<BlobCandidate> bdCandidates_;
    cv::Mat cdMap_, cdBinary_, cdFill_;
    ContourList cdContours_;
    // Each cue keeps its own intermediates: shared ones would change size from call to
    // call and so be reallocated every time.
    cv::Mat fgMorph_, bdMorph_, cdMorph_;
    std::vector<cv::Mat> fgChannels_{3};
    // presence check: sampling columns of the current box
    std::vector<int> presenceColumns_;
    // template matching
    cv::Mat halfWindow_, coarseMap_, fineMap_, fullMap_;
    // motion measurement
    cv::Mat motionDiff_, motionMask_, motionMorph_;
    std::vector<std::vector<cv::Point>> motionContours_;
    std::vector<Measurement> motionCandidates_;
    // learning
    cv::Mat learnColourScratch_;
    cv::Mat learnBgr_;
    // sky search
    cv::Mat skyDiff_, skyBinary_, skyHalf_, skyPatch_, skyBgr_, skyLab_, skyMorph_;
    std::vector<cv::Mat> skyLabChannels_{3};
    std::vector<std::vector<cv::Point>> skyContours_;
};

}  // namespace molvane
