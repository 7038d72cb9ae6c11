// The weights the cues rank their candidates and rate their finds by, in one table so they
// can be read and tuned side by side (the other fixed numbers of the cues are in
// cue_tuning.hpp). A cost is lower for a better candidate; a confidence
// lies in [0, 1]. Every term a weight multiplies is normalised (capped at 1) by its cue.
#pragma once

namespace molvane::weights {

// A local candidate that is both unlike the target and far from the prediction is dropped
// (contrast detection with a known polarity, and motion).
inline constexpr double kUnlikeBelow = 0.35;  // appearance similarity below which it is unlike
inline constexpr double kFarBeyond = 0.35;    // distance beyond which it is far, as a share of the reach

// Motion consistency: cost per unit of the squared deviation from the motion filter's
// prediction, as a share of its gate (contrast detection and motion, tracked searches).
inline constexpr double kMotionConsistency = 0.5;

// Appearance: a mixed score weighs correlation against Lab colour agreement.
inline constexpr double kAppearanceShape = 0.55;   // correlation (grey, or the colour patch's shape)
inline constexpr double kAppearanceColour = 0.45;  // Lab a/b agreement
inline constexpr double kLabScale = 64.0;          // mean a/b difference (levels) at which agreement is 0

// Foreground blob.
inline constexpr double kForegroundCostDistance = 0.35;  // per share of the gate from the expected centre
inline constexpr double kForegroundCostArea = 0.15;      // subtracted, per share of the reference area
inline constexpr double kForegroundCostStrength = 0.5;   // subtracted, per unit of mean difference / scale
inline constexpr double kForegroundStrength = 0.5;       // confidence per unit of mean difference / scale
inline constexpr double kForegroundArea = 0.25;          // confidence per share of the reference area merged
inline constexpr double kForegroundFit = 0.25;           // confidence per unit of 1 - |winner's cost|
// grey levels. A mean difference of this counts fully: in the cost, and in the confidence.
inline constexpr double kForegroundCostStrengthScale = 64.0;
inline constexpr double kForegroundStrengthScale = 96.0;

// Boundary.
inline constexpr double kBoundaryCostDistance = 0.35;  // per share of the gate from the expected centre
inline constexpr double kBoundaryCostArea = 0.25;      // subtracted, per share of 12 % of the expected area
inline constexpr double kBoundaryCostStrength = 0.4;   // subtracted, per unit of mean contrast / scale
inline constexpr double kBoundaryArea = 0.25;          // confidence per share of 12 % of the expected area merged
inline constexpr double kBoundaryStrength = 0.55;      // confidence per unit of the best fragment's contrast / scale
inline constexpr double kBoundaryAppearance = 0.2;     // confidence per unit of appearance similarity
// grey levels. A mean contrast of this counts fully: in the cost, and (the best fragment's) in the confidence.
inline constexpr double kBoundaryCostStrengthScale = 80.0;
inline constexpr double kBoundaryStrengthScale = 96.0;

// Contrast detection. A hypothesis is ranked by its cost (lower is better) and rated by its
// confidence, each a weighted sum of
//   dn        distance from the search centre, as a share of the search reach
//   1 - sim   how unlike the target it looks
//   a         contour area, as a share of 4 % of the expected area (capped at 1)
//   strength  mean local contrast under the contour / kContrastStrengthScale (capped at 1)
//   q         nearness, 1 - dn (0 beyond the reach)
// The isolation penalty is added to the cost as it is. With a known polarity strength
// counts for more; a local search weighs distance more than a whole-frame one.
struct HypothesisWeights {
    double costDistance;
    double costUnlike;
    double costArea;      // subtracted
    double costStrength;  // subtracted
    double confidenceStrength;
    double confidenceAppearance;
    double confidenceNearness;
    double confidenceArea;
};
inline constexpr HypothesisWeights kSignedLocal{0.78, 0.32, 0.12, 0.18, 0.14, 0.3, 0.36, 0.15};
inline constexpr HypothesisWeights kSignedFullFrame{0.22, 0.12, 0.18, 0.36, 0.3, 0.25, 0.15, 0.15};
inline constexpr HypothesisWeights kUnsignedLocal{0.7, 0.2, 0.12, 0.0, 0.15, 0.3, 0.35, 0.15};
inline constexpr HypothesisWeights kUnsignedFullFrame{0.28, 0.2, 0.12, 0.0, 0.15, 0.25, 0.15, 0.15};
inline constexpr double kContrastStrengthScale = 96.0;   // grey levels of mean local contrast that count fully
inline constexpr double kContrastForegroundShare = 0.1;  // confidence per unit of the found blob's own
inline constexpr double kContrastIsolationShare = 0.45;  // confidence lost per unit of isolation penalty

// Motion.
inline constexpr double kMotionCostDistance = 0.45;  // per share of the search radius from the prediction
inline constexpr double kMotionCostUnlike = 0.65;    // per unit of dissimilarity, 1 - appearance
inline constexpr double kMotionCostArea = 0.1;       // subtracted, per share of 8 % of the box area
inline constexpr double kMotionForeground = 0.1;     // confidence per unit of the foreground blob's
inline constexpr double kMotionAppearance = 0.35;    // confidence per unit of appearance similarity
inline constexpr double kMotionNearness = 0.35;      // confidence per unit of 1 - distance share
inline constexpr double kMotionArea = 0.2;           // confidence per share of 8 % of the box area

// Template matching: when the best match lies beyond the speed gate, peaks inside it are
// ranked by score less a distance penalty.
inline constexpr double kTemplateFallbackBelowBest = 0.12;  // how far below the best score a peak may be
inline constexpr double kTemplateFallbackFloor = 0.78;      // least score of such a peak
inline constexpr double kTemplateFallbackDistance = 0.3;    // penalty per share of the gate from the prediction

// Correlation: a peak of this peak-to-sidelobe ratio counts as fully confident.
inline constexpr double kCorrelationFullPsr = 10.0;

// Motion blobs of a tiny target (see the engine's acceptance) need more confidence: at
// least the first value, more when they resemble the target less than the likeness
// bounds, and more again while a reacquisition is being confirmed.
inline constexpr double kTinyMotionMin = 0.68;              // least confidence of any such blob
inline constexpr double kTinyMotionLowLikeness = 0.5;       // appearance below which more is asked
inline constexpr double kTinyMotionLowLikenessMin = 0.70;   // least confidence then
inline constexpr double kTinyMotionPoorLikeness = 0.4;      // appearance below which more still is asked
inline constexpr double kTinyMotionPoorLikenessMin = 0.75;  // least confidence then
inline constexpr double kTinyMotionConfirmingMin = 0.76;    // least confidence while confirming

// Sky search: a candidate's score is its size term plus its colour term.
inline constexpr double kSkySize = 0.35;             // score per unit of size agreement
inline constexpr double kSkyColour = 0.65;           // score per unit of Lab colour agreement
inline constexpr double kSkyNeutralColour = 0.325;   // colour term without a colour model
inline constexpr double kSkyNeutralAgreement = 0.5;  // colour agreement reported without a colour model
inline constexpr double kSkyMinScore = 0.2;          // least score of a ring's winner
inline constexpr double kSkyMinSimilarity = 0.25;    // least template similarity of a ring's winner
inline constexpr double kSkyTemplateShare = 0.5;     // confidence share of template similarity and of score

}  // namespace molvane::weights
