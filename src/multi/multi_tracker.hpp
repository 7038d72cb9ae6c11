// Several selected targets, one engine each, with stable ids that never swap: when two
// targets claim one observation, the weaker claimant is reported as suppressed.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "config/tracker_params.hpp"
#include "engine/target_engine.hpp"
#include "core/track_records.hpp"
#include "multi/arbitration.hpp"

namespace molvane {

class MultiTracker {
public:
    explicit MultiTracker(const TrackerParams& params);

    // Seeds one target per box (ids 1..N in order). Throws std::invalid_argument for an
    // empty frame, an empty box list or a box the engine refuses; on failure the tracker
    // keeps the targets it had.
    void lock(const cv::Mat& frame, const cv::Mat& grey, const std::vector<cv::Rect>& boxes);
    // One result per target in id order (`frame` left 0: the caller numbers frames). The
    // list is kept by the tracker and rewritten by the next update; copy what should last.
    const std::vector<TrackResult>& update(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds);

    std::size_t size() const { return targets_.size(); }
    const MultiTargetSettings& settings() const { return settings_; }
    const std::vector<TargetSlot>& targets() const { return targets_; }
    // The grey frames the targets share their previous frame in: a colour frame converted
    // with its `greyOf` is shared without a copy, a grey frame of the caller's is copied
    // once for all targets.
    GreyFrames& greyFrames() { return *frames_; }

private:
    void buildOutcome(std::size_t i);
    void takeStep(std::size_t i, const TrackStep& step);
    void predictMotion(std::size_t i, double dtSeconds);
    void fillCosts(const cv::Mat& grey);
    void markPrediction(std::size_t i, Reason reason, int frameW, int frameH);
    void resolve(std::size_t i, const cv::Mat& frame, const cv::Mat& grey, double dtSeconds);
    void commitOwned(std::size_t i, const cv::Mat& frame, const cv::Mat& grey, double dtSeconds);
    bool clearOfOthers(std::size_t i) const;
    bool ownCandidate(std::size_t i) const;
    std::size_t nearestPrediction(cv::Point2f p) const;
    double findSigma(std::size_t i, double dtSeconds) const;
    bool lookAgain(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds);
    void keepBook(std::size_t i);

    TrackerParams params_;
    MultiTargetSettings settings_;
    std::shared_ptr<GreyFrames> frames_ = std::make_shared<GreyFrames>();
    std::vector<TargetSlot> targets_;

    // Per-update working data, one entry per slot, kept between updates so that a frame
    // allocates nothing once they have grown.
    std::vector<TargetMotion> motion_;
    std::vector<cv::Rect2f> predictedBoxes_;
    std::vector<TargetProposal> proposals_;
    std::vector<TargetOutcome> outcomes_;
    std::vector<OwnershipDecision> decisions_;
    std::vector<unsigned char> interactionMarks_;
    std::vector<cv::Point2f> neighbours_;
    std::vector<int32_t> ids_;
    std::vector<int> candidateOf_, stack_, representative_;
    std::vector<std::vector<double>> cost_, likeness_;
    AssignmentScratch assignment_;
    std::vector<cv::Rect2f> noRegions_;
    std::vector<cv::Rect2f> blocked_;
    std::vector<double> findSigma_;     // per target, this frame's find-sigma floor (findSigma)
    std::vector<TrackResult> results_;  // what update returns
    int candidates_ = 0;
};

}  // namespace molvane
