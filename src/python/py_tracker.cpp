// The single-target Python tracker: one engine plus the frame clock of its front end.
#include <cstdint>
#include <memory>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "config/tracker_config.hpp"
#include "config/tracker_params.hpp"
#include "engine/template_tracker.hpp"
#include "python/bindings.hpp"
#include "python/box_arg.hpp"
#include "python/frame_clock.hpp"
#include "python/frame_intake.hpp"
#include "python/py_track_result.hpp"

namespace molvane {

namespace py = pybind11;

namespace {

constexpr const char* kTrackerDoc =
    "Single-target lock-and-track.\n"
    "\n"
    "Profiles: 'default', 'correlation', 'adaptive'\n"
    "\n"
    "Example::\n"
    "\n"
    "    tracker = mv.Tracker('default')\n"
    "    tracker.lock(frame, bbox=(x, y, w, h))\n"
    "    result = tracker.update(frame)\n"
    "    cv2.imshow('out', result.annotate())\n";

class PyTracker {
public:
    explicit PyTracker(const std::string& profile) : engine_(trackerParamsForProfile(profile)) {}

    void lock(FrameArray frame, const BoxArg& bbox) {
        const FrameView view = viewFrame(std::move(frame));
        const cv::Rect box = bbox.rect();
        py::gil_scoped_release release;
        engine_.initialize(view.image, greyOf(view.image, grey_), box);
        clock_.restart(steadyNowNs());
    }

    PyTrackResult update(FrameArray frame, double dt) {
        if (!clock_.locked) throw std::runtime_error("call lock() before update()");
        FrameView view = viewFrame(std::move(frame));
        const double dtSeconds = clock_.interval(dt);
        TrackResult record;
        {
            py::gil_scoped_release release;
            const TrackStep step = engine_.update(view.image, greyOf(view.image, grey_), dtSeconds);
            record = singleTargetResult(step, engine_);
        }
        record.frame = clock_.takeFrameNumber();
        return PyTrackResult{std::move(record), std::move(view.array)};
    }

private:
    TemplateTracker engine_;
    FrameClock clock_;
    cv::Mat grey_;  // conversion buffer for colour frames, reused from frame to frame
};

}  // namespace

void bindTracker(py::module_& m) {
    py::class_<PyTracker>(m, "Tracker", kTrackerDoc)
        .def(py::init<const std::string&>(), py::arg("profile") = "default")
        .def(py::init([](const TrackerConfig& config) { return std::make_unique<PyTracker>(config.profile); }),
             py::arg("config"))
        .def("lock", &PyTracker::lock, py::arg("frame"), py::arg("bbox"),
             "Seed the tracker. bbox=(x, y, w, h) in pixels.")
        .def("initialize", &PyTracker::lock, py::arg("frame"), py::arg("bbox"), "Alias for lock().")
        .def("update", &PyTracker::update, py::arg("frame"), py::arg("dt") = -1.0,
             "Process the next frame. Returns TrackResult. Pass dt in seconds for deterministic video "
             "processing; otherwise dt is measured automatically via wall clock.");
}

}  // namespace molvane
