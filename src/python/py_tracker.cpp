// The single-target Python tracker: one engine plus the frame clock of its front end.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "config/tracker_config.hpp"
#include "config/tracker_params.hpp"
#include "engine/target_engine.hpp"
#include "python/bindings.hpp"
#include "python/box_arg.hpp"
#include "python/frame_clock.hpp"
#include "python/frame_intake.hpp"
#include "python/initialized_caster.hpp"
#include "python/native_call.hpp"
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

    void lock(FrameArg frame, const BoxArg& bbox) {
        const FrameView view = viewFrame(std::move(frame.array));
        const cv::Rect box = bbox.rect();
        runExclusive(mutex_, [&] {
            engine_.initialize(view.image, engine_.greyFrames().greyOf(view.image), box);
            clock_.restart(steadyNowNs());
            locked_.store(true, std::memory_order_release);
        });
    }

    PyTrackResult update(FrameArg frame, double dt) {
        // Checked before the frame is looked at. Once set the flag stays set, so a thread
        // that sees it clear is simply ordered before the first lock.
        if (!locked_.load(std::memory_order_acquire)) throw std::runtime_error("call lock() before update()");
        FrameView view = viewFrame(std::move(frame.array));
        TrackResult record = runExclusive(mutex_, [&] {
            const double dtSeconds = clock_.interval(dt);
            const TrackStep step = engine_.update(view.image, engine_.greyFrames().greyOf(view.image), dtSeconds);
            // Every multi-target field left clear.
            TrackResult r = makeTrackResult(step, engine_.scores());
            r.frame = clock_.takeFrameNumber();
            return r;
        });
        return PyTrackResult{std::move(record), std::move(view.array)};
    }

private:
    // Everything below the mutex is touched only while it is held (runExclusive).
    std::mutex mutex_;
    std::atomic<bool> locked_{false};
    TargetEngine engine_;
    FrameClock clock_;
};

}  // namespace

}  // namespace molvane

MOLVANE_REFUSE_UNINITIALIZED(molvane::PyTracker)

namespace molvane {

void bindTracker(py::module_& m) {
    refusePickling(
        py::class_<PyTracker>(m, "Tracker", kTrackerDoc)
            .def(py::init<const std::string&>(), py::arg("profile") = "default")
            .def(py::init([](const TrackerConfig& config) { return std::make_unique<PyTracker>(config.profile); }),
                 py::arg("config"))
            .def("lock", &PyTracker::lock, py::arg("frame"), py::arg("bbox"),
                 "Seed the tracker. bbox=(x, y, w, h) in pixels.")
            .def("initialize", &PyTracker::lock, py::arg("frame"), py::arg("bbox"), "Alias for lock().")
            .def("update", &PyTracker::update, py::arg("frame"), py::arg("dt") = -1.0,
                 "Process the next frame. Returns TrackResult. Pass dt in seconds for deterministic video "
                 "processing; otherwise dt is measured automatically via wall clock."));
}

}  // namespace molvane
