// The fixed numbers the cues search with besides their ranking weights (those are in
// cue_weights.hpp): how far around a box they look, which blobs they keep, how they
// threshold. One block per cue, one comment each: unit, then meaning. "Side" is the larger
// side of the box a cue works for, "area" its area; shares and factors are of those. The
// tuning a profile changes is in TrackerParams (config/tracker_params.hpp); none of this is.
#pragma once

#include "cues/blob_candidate.hpp"

namespace molvane::cue_tuning {

// Foreground blob (ForegroundMeasurement).
namespace foreground {
// share of the side. The sky ring around the search rectangle is this wide ...
inline constexpr double kContextMarginShare = 0.45;
// px. ... and at least this wide.
inline constexpr long long kMinContextMargin = 8;
// px^2. A context of at most this area needs kSmallContextRingPixels of ring; a larger one
// needs 1 / kRingShareDivisor of its area.
inline constexpr long long kSmallContextArea = 135;
inline constexpr long long kRingShareDivisor = 8;
inline constexpr long long kSmallContextRingPixels = 16;
// Threshold with a known polarity: the largest of these multiples of the ring's standard
// deviation, of the smallest difference threshold and of the strongest difference.
inline constexpr double kSignedSigmas = 1.2;
inline constexpr double kSignedFloorShare = 0.6;
inline constexpr double kSignedPeakShare = 0.5;
// standard deviations. Threshold without a polarity (at least the smallest difference threshold).
inline constexpr double kUnsignedSigmas = 2.0;
// share of the area, and px^2. A blob smaller than both is noise.
inline constexpr double kMinAreaShare = 0.003;
inline constexpr double kMinArea = 3.0;
// share of the area. The largest blob, with a known polarity and without one.
inline constexpr double kMaxAreaShareSigned = 1.4;
inline constexpr double kMaxAreaShareUnsigned = 2.2;
// share of the area. The blob area that counts fully in cost and confidence (a small
// target's blob fills little of its search rectangle).
inline constexpr double kReferenceAreaShareSigned = 0.035;
inline constexpr double kReferenceAreaShareUnsigned = 0.08;
// share of the side, and px. A blob further from the expected centre than both is not the target.
inline constexpr double kReachShare = 1.25;
inline constexpr double kMinReach = 8.0;
// px. Fragments merge with the best blob when their boxes touch its box grown by
// kSmallMergeGrowth (sides up to kSmallSide) or by half the side (larger ones) ...
inline constexpr int kSmallSide = 13;
inline constexpr int kSmallMergeGrowth = 6;
// share of the side, and px. ... or when their centroids lie within this of its centroid.
inline constexpr double kMergeRadiusShare = 0.85;
inline constexpr double kMinMergeRadius = 8.0;
// share of the area. A merged blob smaller than this is no find ...
inline constexpr double kMinMergedAreaShare = 0.002;
// share of the width and of the height. ... nor is one narrower and lower than this.
inline constexpr double kMinMergedSideShare = 0.1;
// px. The found box is padded by at least this (see foreground_margin_fraction).
inline constexpr long long kMinPad = 2;
}  // namespace foreground

// Boundary of an extended target (BoundaryMeasurement).
namespace boundary {
// share of the side, and px. Margin of the window an outline is fitted in.
inline constexpr double kOutlineMarginShare = 0.35;
inline constexpr long kMinOutlineMargin = 12;
// px. An outline's centroid may lie this far from the box centre, or the side if larger.
inline constexpr int kMinOutlineReach = 12;
// Threshold factors of the contrast map (see blob::ContrastThreshold).
inline constexpr blob::ContrastThreshold kThreshold{0.3, 0.8, 0.55, 0.95};
// px. The closing element grows by 2 px per this much side ...
inline constexpr int kElementStep = 30;
// px. ... from this size.
inline constexpr int kMinElement = 3;
// share of the expected area, and px^2. A blob smaller than both is noise.
inline constexpr double kMinAreaShare = 0.0015;
inline constexpr double kMinArea = 4.0;
// share of the expected area. The largest blob.
inline constexpr double kMaxAreaShare = 2.5;
// of the expected width and height. A blob wider or higher than this is not the target.
inline constexpr double kMaxSideFactor = 3.0;
// px. Least distance gate around the expected centre.
inline constexpr double kMinGate = 8.0;
// share of the expected area. The blob area that counts fully in cost and confidence.
inline constexpr double kAreaUnitShare = 0.12;
// px. Fragments merge with the best blob when their boxes touch its box grown by the side
// (at least this) ...
inline constexpr int kMinMergeGrowth = 10;
// share of the side, and px. ... or when their centroids lie within this of its centroid.
inline constexpr double kMergeRadiusShare = 1.35;
inline constexpr double kMinMergeRadius = 16.0;
// share of the expected area. A merged blob smaller than this is no find ...
inline constexpr double kMinMergedAreaShare = 0.01;
// share of the expected width and height. ... nor is one narrower and lower than this.
inline constexpr double kMinMergedSideShare = 0.2;
// px. The found box is padded by at least this (see boundary_margin_fraction).
inline constexpr long long kMinPad = 4;
}  // namespace boundary

// Contrast detection (ContrastDetection).
namespace contrast {
// Threshold factors of the contrast map (see blob::ContrastThreshold).
inline constexpr blob::ContrastThreshold kThreshold{0.5, 1.05, 0.6, 1.2};
// share of the expected area, and px^2. A blob smaller than both is noise.
inline constexpr double kMinAreaShare = 0.001;
inline constexpr double kMinArea = 2.0;
// Largest blob of a local search, as a share of the expected box area. The box is sized by
// the target's extent, so the target's own blob fills most of it (a disc about 0.8); a
// blob much larger than the box is clutter or a neighbour merged with it.
inline constexpr double kLocalMaxAreaShare = 1.2;
// share of the expected area. Largest blob of a full-frame search or one at a reference size.
inline constexpr double kWideMaxAreaShare = 2.5;
// of the expected width and height. A blob wider or higher than this is not the target (in
// a full-frame search this times max_size_scale, if larger).
inline constexpr double kMaxSideFactor = 2.0;
// share of the expected area. The blob area that counts fully in cost and confidence.
inline constexpr double kAreaUnitShare = 0.04;
// Isolation ring (contrast_appearance_weight): from the box grown by kSmallInnerGrowth px
// (sides up to kSmallSide) or a quarter of the side (kInnerGrowthDivisor) ...
inline constexpr int kSmallSide = 11;
inline constexpr long long kSmallInnerGrowth = 2;
inline constexpr int kInnerGrowthDivisor = 4;
// px. ... out to the box grown by the side, at least this.
inline constexpr int kMinOuterGrowth = 8;
// One set pixel in this many of the ring already counts as fully crowded.
inline constexpr double kCrowdedOneIn = 12.0;
}  // namespace contrast

// Motion blobs of the frame difference (MotionMeasurement).
namespace motion {
// px^2. The smallest motion blob is at least this (see motion_min_area_fraction).
inline constexpr double kMinArea = 4.0;
// share of the box area. The blob area that counts fully in cost and confidence.
inline constexpr double kAreaUnitShare = 0.08;
}  // namespace motion

// Lost-mode sky search (SkySearch).
namespace sky {
// px. Regions larger than this in either direction are searched at half resolution.
inline constexpr int kHalfResolutionSide = 200;
// A pixel stands out when its local contrast exceeds this multiple of the region's upper
// quartile of local contrast (and the engine's smallest difference threshold).
inline constexpr double kNoiseMultiple = 4.0;
// The neighbourhood a pixel is compared with: this many sides across, between the two
// bounds (px).
inline constexpr long long kBackgroundSides = 4;
inline constexpr long long kMinBackground = 15;
inline constexpr long long kMaxBackground = 255;
// sides. The first two rings searched reach this far around the last box; the last two
// are half the frame and the whole frame.
inline constexpr long long kNearRingSides = 2;
inline constexpr long long kFarRingSides = 5;
// share of the expected area. The smallest and the largest blob.
inline constexpr double kMinAreaShare = 0.05;
inline constexpr double kMaxAreaShare = 6.0;
// factor. A blob whose aspect ratio differs more than this from the box's is not the target.
inline constexpr double kMaxAspectChange = 5.0;
// Area ratio at which the size agreement reaches 0: a 4x change of side.
inline constexpr double kAreaRatioAtZero = 16.0;
}  // namespace sky

// Extent of the target where it was found (ExtentMeasurement).
namespace extent {
// The peak must reach this many standard deviations of the sky ring (plus one grey level),
// and half the engine's smallest difference threshold.
inline constexpr double kPeakSigmas = 4.0;
// A pixel belongs to the target when it stands out by this share of the peak, and by this
// many standard deviations of the sky.
inline constexpr double kShareOfPeak = 0.3;
inline constexpr double kMemberSigmas = 2.5;
// px. Region growing bridges gaps of one pixel (thin drone arms, a wing drawn faint).
inline constexpr int kReach = 2;
// px. The window is the box grown by its side, at least this.
inline constexpr int kMinWindowGrowth = 6;
// The sky band along the window's edge is 1 / kBandDivisor of its shorter side, at least
// kMinBand px.
inline constexpr int kBandDivisor = 8;
inline constexpr int kMinBand = 2;
}  // namespace extent

// Re-fit of a correlation box from a foreground blob (ForegroundBoxSearch).
namespace foreground_box {
// Window growth per pass of the search.
inline constexpr double kWindowGrowth = 1.8;
// px. The window never grows below this side.
inline constexpr double kMinWindowSide = 2.0;
// Passes in a multi-target lock (the window grows between them); one otherwise.
inline constexpr int kMultiTargetPasses = 4;
// px. Least distance gate of a re-fitted box (see correlation_gate_factor).
inline constexpr double kMinGate = 6.0;
}  // namespace foreground_box

// Local contrast map (LocalContrastMap).
namespace local_contrast {
// px. The background box is at least this wide.
inline constexpr int kMinBackgroundBox = 15;
}  // namespace local_contrast

// Correlation filter bank (CorrelatorBank, Correlator).
namespace correlation {
// Training samples: the centred patch and this many less one jittered ones.
inline constexpr int kTrainingSamples = 9;
// Filter target sizes, as factors of the trained target size (one filter each that fits).
inline constexpr double kScales[] = {0.5, 1.0, 2.0, 4.0};
// cells. Half-width of the square around the peak left out of the peak-to-sidelobe ratio
// (11 x 11 cells) and of the sidelobe search (29 x 29 cells).
inline constexpr int kPsrExclusion = 5;
inline constexpr int kSidelobeExclusion = 14;
// share of the filter's target size. Standard deviation of the Gaussian target response.
inline constexpr float kResponseSigmaShare = 0.1f;
// px. Automatic window: kLargeWindow for boxes larger than kLargeBox, else kSmallWindow.
inline constexpr int kLargeBox = 80;
inline constexpr int kLargeWindow = 256;
inline constexpr int kSmallWindow = 128;
// px. A filter's target size is at least this (boxes smaller than it train at it).
inline constexpr int kMinTargetSize = 8;
// px. Training samples are jittered by up to kSmallJitter for boxes below kMinTargetSize,
// else by 1 / kJitterDivisor of the target size.
inline constexpr int kSmallJitter = 2;
inline constexpr int kJitterDivisor = 4;
}  // namespace correlation

}  // namespace molvane::cue_tuning
