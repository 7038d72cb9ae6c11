#include "python/py_track_result.hpp"

#include <charconv>
#include <cmath>
#include <string>

#include <pybind11/numpy.h>

#include "core/reasons.hpp"
#include "hud/hud.hpp"
#include "python/bindings.hpp"
#include "python/frame_intake.hpp"

namespace molvane {

namespace py = pybind11;

namespace {

// A copy of the result's frame with the overlay drawn, as a new array of shape (H, W) for
// one channel and (H, W, C) otherwise. The copy goes straight into the new array's buffer.
py::array_t<std::uint8_t> annotate(const PyTrackResult& self) {
    const FrameView view = viewFrame(self.frame);
    const cv::Mat& src = view.image;
    const int channels = src.channels();
    py::array_t<std::uint8_t> out =
        channels == 1
            ? py::array_t<std::uint8_t>({static_cast<py::ssize_t>(src.rows), static_cast<py::ssize_t>(src.cols)})
            : py::array_t<std::uint8_t>({static_cast<py::ssize_t>(src.rows), static_cast<py::ssize_t>(src.cols),
                                         static_cast<py::ssize_t>(channels)});
    cv::Mat canvas(src.rows, src.cols, src.type(), out.mutable_data());
    src.copyTo(canvas);
    drawHud(canvas, self.record);
    return out;
}

// A float32 the way Python writes a float: the shortest digits that read back as the same
// float32, ".0" on whole numbers, and nan, inf, -inf.
std::string floatText(float v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0.f ? "inf" : "-inf";
    char buf[48];
    const std::to_chars_result end = std::to_chars(buf, buf + sizeof buf, v);
    std::string text(buf, end.ptr);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::string quoted(const std::string& s) { return py::repr(py::str(s)).cast<std::string>(); }

// TrackResult(frame=12, id=1, state='confirmed', center=(101.5, 40.0),
//             box=(95.0, 34.0, 13.0, 12.0), reason='template') on one line.
std::string repr(const PyTrackResult& self) {
    const TrackResult& r = self.record;
    const TrackStep& st = r.step;
    return "TrackResult(frame=" + std::to_string(r.frame) + ", id=" + std::to_string(st.targetId) +
           ", state=" + quoted(stateName(st.state)) + ", center=(" + floatText(st.cx) + ", " + floatText(st.cy) +
           "), box=(" + floatText(st.x) + ", " + floatText(st.y) + ", " + floatText(st.w) + ", " + floatText(st.h) +
           "), reason=" + quoted(reasonText(r.scores.reason)) + ")";
}

}  // namespace

void bindTrackResult(py::module_& m) {
    using R = PyTrackResult;
    refusePickling(
        py::class_<R>(m, "TrackResult", "Result from Tracker.update()")
            .def_property_readonly("frame", [](const R& r) { return r.record.frame; })
            .def_property_readonly(
                "lost", [](const R& r) { return r.record.lost(); }, "True when tracker has lost the target")
            .def_property_readonly("id", [](const R& r) { return r.record.step.targetId; })
            .def_property_readonly(
                "target_id", [](const R& r) { return r.record.step.targetId; }, "Stable selected target id")
            .def_property_readonly(
                "state", [](const R& r) { return stateName(r.record.step.state); },
                "Tracker state: confirmed, tentative, or lost")
            .def_property_readonly("cx", [](const R& r) { return r.record.step.cx; })
            .def_property_readonly("cy", [](const R& r) { return r.record.step.cy; })
            .def_property_readonly("bbox_x", [](const R& r) { return r.record.step.x; })
            .def_property_readonly("bbox_y", [](const R& r) { return r.record.step.y; })
            .def_property_readonly("bbox_w", [](const R& r) { return r.record.step.w; })
            .def_property_readonly("bbox_h", [](const R& r) { return r.record.step.h; })
            .def_property_readonly("hits", [](const R& r) { return r.record.step.hits; })
            .def_property_readonly("misses", [](const R& r) { return r.record.step.misses; })
            .def_property_readonly("target_score", [](const R& r) { return r.record.scores.target_score; })
            .def_property_readonly("target_candidate_score",
                                   [](const R& r) { return r.record.scores.target_candidate_score; })
            .def_property_readonly("confidence", [](const R& r) { return r.record.scores.confidence; })
            .def_property_readonly(
                "speed", [](const R& r) { return r.record.step.speed; }, "Speed in pixels/second")
            .def_property_readonly(
                "reason", [](const R& r) { return reasonText(r.record.scores.reason); },
                "Internal tracking reason string")
            .def_property_readonly(
                "suppressed", [](const R& r) { return r.record.report.suppressed; },
                "True when this target coasted because ownership was ambiguous or another "
                "target owned the observation")
            .def_property_readonly(
                "suppressed_by_id", [](const R& r) { return r.record.report.suppressed_by_id; },
                "Stable target id that owns the observation, or 0 when ownership is ambiguous")
            .def_property_readonly(
                "anchor_appearance", [](const R& r) { return r.record.report.anchor_appearance; },
                "Similarity to this target's immutable anchor template")
            .def_property_readonly(
                "interacting", [](const R& r) { return r.record.report.interacting; },
                "True while this target is spatially interacting with another target")
            .def_property_readonly(
                "model_learning_suppressed", [](const R& r) { return r.record.report.model_learning_suppressed; },
                "True when appearance and correlation learning was frozen for identity safety")
            .def_property_readonly(
                "geometry_update_suppressed", [](const R& r) { return r.record.report.geometry_update_suppressed; },
                "True when bbox width and height were frozen to prevent absorbing a nearby target")
            .def_property_readonly(
                "geometry_ownership_constrained",
                [](const R& r) { return r.record.report.geometry_ownership_constrained; },
                "True when bbox geometry was clipped to this target's ownership cell")
            .def_property_readonly(
                "geometry_confidence", [](const R& r) { return r.record.report.geometry_confidence; },
                "Confidence of the owned geometry measurement, or 0 when none was available")
            .def_property_readonly(
                "prediction_only", [](const R& r) { return r.record.report.prediction_only; },
                "True when bbox and center are motion prediction only, without an accepted "
                "observation")
            .def(
                "bbox",
                [](const R& r) {
                    return py::make_tuple(r.record.step.x, r.record.step.y, r.record.step.w, r.record.step.h);
                },
                "Returns (x, y, w, h) bounding box")
            .def(
                "center", [](const R& r) { return py::make_tuple(r.record.step.cx, r.record.step.cy); },
                "Returns (cx, cy) target center")
            .def("annotate", &annotate, "Returns a copy of the frame with HUD overlay drawn")
            .def("__repr__", &repr));
}

}  // namespace molvane
