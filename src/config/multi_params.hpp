// The tuning of a multi-target lock: the settings of the arbitration between targets and
// the fixed shape of the assignment cost. No profile changes any of it.
#pragma once

namespace molvane {

// Fixed arbitration tuning; no profile changes it. One comment each: unit, then meaning.
struct MultiTargetSettings {
    // IoU, <= 0 = test off. Two boxes interact when they overlap at least this much.
    double interaction_min_iou = 0.4;
    // px, <= 0 = test off. Boxes interact when their centres are this close; twice it is the own-prediction radius.
    double interaction_max_distance = 18.0;
    // of the larger side (at least 4 px), <= 0 = test off. Two boxes interact within this centre distance.
    double interaction_size_factor = 1.25;
    // s. A target stays interacting this long after its last real interaction.
    double interaction_hold_seconds = 0.1;
    // IoU, <= 0 = test off. Two proposals are one observation when they overlap at least this much.
    double cluster_min_iou = 0.65;
    // of the smaller side (at least 4 px), <= 0 = off. One observation within max(3, this x side) px.
    double cluster_size_factor = 0.35;
    // cost units. A candidate is ambiguous when a second target that wants it would pay less
    // than this more for it than its owner does.
    double ambiguity_min_cost_margin = 1.0;
    // cost units per unit of likeness. Weight of the appearance distance (1 - anchor likeness)
    // in the assignment cost; one unit of cost is what half a gate sigma squared costs in motion.
    double appearance_weight = 4.0;
    // anchor likeness 0..1. The appearance bar of the weak-reacquisition rule.
    double min_owner_appearance = 0.45;
    // Confirmed targets that do not interact have their box limited to an ownership cell.
    bool ownership_cell_enabled = true;
    // px. Gap kept between an ownership cell and the midline towards a neighbour.
    double ownership_cell_gap = 1.0;
    // fraction. A cell must keep at least this share of the limited width and of the height.
    double ownership_cell_min_fraction = 0.45;
    // factor. The measured aspect ratio stays within this factor of the seed's.
    double max_aspect_change = 1.35;
    // px, <= 0 = test off. Two proposals are one observation when their centres are this close.
    // Off: two objects a few px apart are two candidates, and motion decides who owns which.
    double cluster_max_distance = 0.0;
    // s. A lost target is reported as its prediction, and still claims finds near it, while
    // it has been unseen at most this long.
    double unobserved_prediction_max_seconds = 1.0;
};

// The fixed numbers the arbitration is built from. Unlike the settings above they are not
// switches a caller or a test varies: they give the cost and the geometry their shape.
namespace multi_tuning {

// Assignment cost (pairCost).
// spreads (or sigmas). Beyond this a find is simply far: the motion term stops growing, so
// that every gated pair stays below the cost of taking nothing (checked in arbitration.cpp).
inline constexpr double kFarSpreads = 1000.0;
// cost units. A target's own find outside its gate (a reacquisition the engine made
// elsewhere) costs what a find at the gate's edge would, plus this.
inline constexpr double kOffGatePenalty = 2.0;
// grey levels. A difference of this between two core shades costs a factor e of likeness.
inline constexpr double kShadeScale = 30.0;
// share of the box per side. The core whose shade is compared starts this far in from each
// edge (so it is the middle half in each direction).
inline constexpr float kCoreInset = 0.25f;
// share of the box. Width and height of that core.
inline constexpr float kCoreShare = 0.5f;

// Closeness of two boxes (interacts, and proposals grouped as one observation).
// px. The side a size-scaled reach is taken of is at least this.
inline constexpr double kCloseMinSide = 4.0;
// px. Two proposals within this many px are always one observation when the size test is on.
inline constexpr double kClusterMinReach = 3.0;

// Ownership cell.
// px. A find may pull the cell's centre at least this far from the target's own centre.
inline constexpr double kCellMinOffset = 6.0;
// px. A neighbour closer than this in both directions sits on top of the target: no cell.
inline constexpr double kCoincident = 0.01;
// px. A cell narrower or lower than this is no cell.
inline constexpr double kCellMinSide = 2.0;
// px. A cell smaller than the box by more than this in either direction clips it.
inline constexpr double kClipTolerance = 0.5;

// Finds of targets that pass close (multi_tracker.cpp).
// share of the box per side. Two predicted boxes, each grown by this on every side, that
// overlap may see one common blob.
inline constexpr float kTouchGrowth = 0.25f;
// share of the larger side. A find of such a pair is uncertain by this share of the larger
// side of the two boxes.
inline constexpr double kCommonBlobSigmaShare = 0.5;
// share of the larger side. A find of a target held back as ambiguous corrects its filter
// as a measurement uncertain by at least this share of its predicted box's larger side.
inline constexpr double kHeldFindSigmaShare = 0.5;

}  // namespace multi_tuning

}  // namespace molvane
