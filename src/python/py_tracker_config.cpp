#include "config/tracker_config.hpp"
#include "python/bindings.hpp"

#include <pybind11/stl.h>

namespace molvane {

namespace py = pybind11;

void bindTrackerConfig(py::module_& m) {
    refusePickling(
        py::class_<TrackerConfig>(m, "TrackerConfig")
            .def(py::init<>())
            .def_readwrite("profile", &TrackerConfig::profile, "Tracking profile: default, correlation, or adaptive"));
}

}  // namespace molvane
