// The width of the motion gate, shared by the motion filter that draws the gate and the
// multi-target assignment that reads the filter's uncertainty back out of it.
#pragma once

namespace molvane {

// standard deviations. The motion gate's radius is this many sigmas of the predicted centre
// (plus a turn's reach at the current speed).
inline constexpr double kGateSigmas = 3.0;

}  // namespace molvane
