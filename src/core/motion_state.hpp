// The engine's per-target motion state: what a step drafts from, a proposal carries and a
// commit adopts, and what the cues measure against.
#pragma once

#include <opencv2/core.hpp>

#include "core/motion_filter.hpp"
#include "core/reasons.hpp"

namespace molvane {

// What the presence check has learned about this target since the lock.
struct PresenceState {
    int unlikeCount = 0;                   // recent observations that did not resemble the target
    double typicalSimilarity = 0.0;        // running mean of the best similarity while on target
    double typicalAnchorSimilarity = 0.0;  // the same, against the seed alone
    double typicalChange = 0.0;            // running mean of the box's frame-to-frame change
    double typicalContrast = 0.0;          // running mean of the contrast against the surroundings
    double typicalContrastToNoise = 0.0;   // the same, as a multiple of the surroundings' noise
    int typicalSamples = 0;                // observations in those means (saturates)
    bool targetAbsent = false;             // declared gone; waiting for it to look like itself

    // The typical values are trusted after this many observations.
    static constexpr int kTypicalWarmup = 5;
    // A box whose mean grey change since the last frame is below this share of the
    // target's typical change stands still.
    static constexpr double kStillShareOfChange = 0.3;
    // Whether a box changing by `change` (mean absolute grey change since the last frame;
    // negative if unknown) stands still while this target typically moves.
    bool stillFor(double change) const {
        return typicalSamples >= kTypicalWarmup && change >= 0.0 && change < kStillShareOfChange * typicalChange;
    }
};

// The engine values a step drafts from, a proposal carries and (on commit) the engine adopts.
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
    MotionFilter filter;  // where the target should be, and how sure that is
};

}  // namespace molvane
