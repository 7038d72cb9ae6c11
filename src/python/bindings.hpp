// Registration of the four Python classes; module.cpp calls these in the order the
// module presents them.
#pragma once

#include <string>

#include <pybind11/pybind11.h>

#include "config/tracker_config.hpp"
#include "python/initialized_caster.hpp"

namespace molvane {

void bindTrackerConfig(pybind11::module_& m);
void bindTrackResult(pybind11::module_& m);
void bindTracker(pybind11::module_& m);
void bindMultiTracker(pybind11::module_& m);

// No class can be pickled. Protocols 2 and up say so by themselves; protocols 0 and 1 would
// instead rebuild the object through the binding layer's own base class, whose allocation
// aborts the process. Every class refuses all protocols alike, with the same TypeError.
template <class Class>
Class& refusePickling(Class& cls) {
    return cls.def("__reduce_ex__", [](pybind11::handle self, pybind11::handle) -> pybind11::object {
        throw pybind11::type_error("cannot pickle '" + std::string(Py_TYPE(self.ptr())->tp_name) + "' object");
    });
}

}  // namespace molvane

MOLVANE_REFUSE_UNINITIALIZED(molvane::TrackerConfig)
