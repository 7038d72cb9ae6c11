// Registration of the four Python classes; module.cpp calls these in the order the
// module presents them.
#pragma once

#include <pybind11/pybind11.h>

#include "config/tracker_config.hpp"
#include "python/initialized_caster.hpp"

namespace molvane {

void bindTrackerConfig(pybind11::module_& m);
void bindTrackResult(pybind11::module_& m);
void bindTracker(pybind11::module_& m);
void bindMultiTracker(pybind11::module_& m);

}  // namespace molvane

MOLVANE_REFUSE_UNINITIALIZED(molvane::TrackerConfig)
