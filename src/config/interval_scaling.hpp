// The tuning values that count frames or act once per update are given for 30 frames per
// second. At another frame rate they are converted so that the same motion per second
// behaves the same: a per-frame factor is raised to the number of 30 fps frames one
// interval spans, a per-update rate compounds the same way, and a frame count becomes the
// number of frames that last as long (never fewer than one; confirmations never fewer than
// given, so that a find is still never confirmed on the frame it was first seen).
#pragma once

#include "config/tracker_params.hpp"

namespace molvane {

// Frame interval (s) the frame-counted values are given for.
inline constexpr double kReferenceInterval = 1.0 / 30.0;

// `base` as it applies to one step of `dtSeconds` (at least 1/240 s, at most 10 s). At
// 1/30 s the record is returned unchanged.
TrackerParams atInterval(const TrackerParams& base, double dtSeconds);

}  // namespace molvane
