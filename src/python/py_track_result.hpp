// The Python-side result object: the engine's per-target record plus the frame array it
// was computed from, which `annotate` draws on.
#pragma once

#include <pybind11/pybind11.h>

#include "core/track_records.hpp"
#include "python/initialized_caster.hpp"

namespace molvane {

struct PyTrackResult {
    TrackResult record;
    pybind11::object frame;
};

}  // namespace molvane

MOLVANE_REFUSE_UNINITIALIZED(molvane::PyTrackResult)
