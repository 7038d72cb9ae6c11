// The cues one engine runs, each wired to the cues it builds on. Every unit owns its own
// scratch buffers, so their sizes stay stable from frame to frame and nothing is
// reallocated once they have grown.
#pragma once

#include "cues/appearance_scorer.hpp"
#include "cues/boundary_measurement.hpp"
#include "cues/contrast_detection.hpp"
#include "cues/extent_measurement.hpp"
#include "cues/foreground_box_search.hpp"
#include "cues/foreground_measurement.hpp"
#include "cues/motion_measurement.hpp"
#include "cues/sky_search.hpp"
#include "cues/template_matcher.hpp"

namespace molvane {

struct CueSet {
    AppearanceScorer scorer;
    ForegroundMeasurement foreground{scorer};
    BoundaryMeasurement boundary{scorer};
    ContrastDetection contrast{foreground, scorer};
    MotionMeasurement motion{foreground, scorer};
    SkySearch sky{scorer};
    TemplateMatcher templates{foreground, boundary};
    ForegroundBoxSearch boxSearch{foreground};
    ExtentMeasurement extent;

    CueSet() = default;
    CueSet(const CueSet&) = delete;
    CueSet& operator=(const CueSet&) = delete;
};

}  // namespace molvane
