// The Python-side result object: the engine's per-target record plus the frame array it
// was computed from, which `annotate` draws on.
#pragma once

#include <pybind11/pybind11.h>

#include "engine/target_engine.hpp"
#include "core/track_records.hpp"
#include "python/initialized_caster.hpp"

namespace molvane {

struct PyTrackResult {
    TrackResult record;
    pybind11::object frame;
};

// The single-target record of one engine step: the step's geometry and counters, the
// engine's scores and reason after it, and every multi-target field left clear. `frame`
// is numbered by the caller.
TrackResult singleTargetResult(const TrackStep& step, const TargetEngine& engine);

}  // namespace molvane

MOLVANE_REFUSE_UNINITIALIZED(molvane::PyTrackResult)
