// The multi-target Python tracker: the target slots plus the frame clock of its front end.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "config/tracker_config.hpp"
#include "config/tracker_params.hpp"
#include "multi/multi_tracker.hpp"
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

constexpr const char* kMultiTrackerDoc =
    "Native selected-target multi-tracker.\n"
    "\n"
    "One stable target id is assigned to each initial bbox. If two targets claim the same object in a frame, "
    "the lower-quality duplicate is returned as lost with suppressed=True instead of reporting an ID switch.\n";

class PyMultiTracker {
public:
    explicit PyMultiTracker(const std::string& profile) : targets_(trackerParamsForProfile(profile)) {}

    void lock(FrameArg frame, const std::vector<BoxArg>& bboxes) {
        const FrameView view = viewFrame(std::move(frame.array));
        std::vector<cv::Rect> boxes;
        boxes.reserve(bboxes.size());
        for (const BoxArg& b : bboxes) {
            if (b.w <= 0 || b.h <= 0) throw std::invalid_argument("bbox width and height must be positive");
            boxes.push_back(b.rect());
        }
        runExclusive(mutex_, [&] {
            const cv::Mat& grey = targets_.greyFrames().greyOf(view.image);
            if (view.image.empty()) throw std::invalid_argument("frame must not be empty");
            if (grey.empty()) throw std::invalid_argument("gray frame must not be empty");
            if (boxes.empty()) throw std::invalid_argument("MultiTracker requires at least one target bbox");
            targets_.lock(view.image, grey, boxes);
            clock_.restart(steadyNowNs());
            locked_.store(true, std::memory_order_release);
        });
    }

    std::vector<PyTrackResult> update(FrameArg frame, double dt) {
        // Checked before the frame is looked at. Once set the flag stays set, so a thread
        // that sees it clear is simply ordered before the first lock.
        if (!locked_.load(std::memory_order_acquire)) throw std::runtime_error("call lock() before update()");
        FrameView view = viewFrame(std::move(frame.array));
        std::vector<TrackResult> records = runExclusive(mutex_, [&] {
            const double dtSeconds = clock_.interval(dt);
            const cv::Mat& grey = targets_.greyFrames().greyOf(view.image);
            std::vector<TrackResult> out = targets_.update(view.image, grey, dtSeconds);
            const std::int32_t frameNumber = clock_.takeFrameNumber();
            for (TrackResult& record : out) record.frame = frameNumber;
            return out;
        });
        std::vector<PyTrackResult> results;
        results.reserve(records.size());
        for (TrackResult& record : records) results.push_back(PyTrackResult{std::move(record), view.array});
        return results;
    }

    std::size_t size() {
        return runExclusive(mutex_, [&] { return targets_.size(); });
    }

private:
    // Everything below the mutex is touched only while it is held (runExclusive).
    std::mutex mutex_;
    std::atomic<bool> locked_{false};
    MultiTracker targets_;
    FrameClock clock_;
};

}  // namespace

}  // namespace molvane

MOLVANE_REFUSE_UNINITIALIZED(molvane::PyMultiTracker)

namespace molvane {

void bindMultiTracker(py::module_& m) {
    refusePickling(
        py::class_<PyMultiTracker>(m, "MultiTracker", kMultiTrackerDoc)
            .def(py::init<const std::string&>(), py::arg("profile") = "default")
            .def(py::init([](const TrackerConfig& config) { return std::make_unique<PyMultiTracker>(config.profile); }),
                 py::arg("config"))
            .def("lock", &PyMultiTracker::lock, py::arg("frame"), py::arg("bboxes"),
                 "Seed multiple selected targets. bboxes=[(x, y, w, h), ...].")
            .def("initialize", &PyMultiTracker::lock, py::arg("frame"), py::arg("bboxes"), "Alias for lock().")
            .def("update", &PyMultiTracker::update, py::arg("frame"), py::arg("dt") = -1.0,
                 "Process the next frame. Returns a list of TrackResult objects.")
            .def("size", &PyMultiTracker::size, "Number of selected target slots."));
}

}  // namespace molvane
