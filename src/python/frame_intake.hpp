// Turning the caller's numpy frame into the 8-bit image the engines read, without copying.
#pragma once

#include <cstdint>

#include <opencv2/core.hpp>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace molvane {

namespace py = pybind11;

// What the frame-taking methods accept: anything numpy can present as a C-contiguous uint8
// array (an array that already is one arrives as the caller's own object).
using FrameArray = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

inline constexpr const char* kFrameShapeMessage = "frame must be a 2D or 3D uint8 numpy array";

// A frame argument of `lock` and `update`: the caller's object as a FrameArray. Unlike
// pybind11's array caster, conversion does not swallow exceptions the caller's own objects
// raise (see the caster below).
struct FrameArg {
    FrameArray array;
};

// The array (kept alive for as long as the view is used) and an image header over its
// buffer.
struct FrameView {
    FrameArray array;
    cv::Mat image;
};

// Views a 2D array as one channel and an (H, W, C) array as C channels. Throws
// std::invalid_argument with kFrameShapeMessage for any other number of dimensions, and
// for shapes an image header cannot describe faithfully (a channel count outside 1..512,
// or a dimension beyond the int range) rather than reinterpreting the buffer. Needs the
// interpreter lock.
FrameView viewFrame(FrameArray array);

// Presents a stored frame reference through the same conversion (the object may have been
// reshaped in place since it was stored). Needs the interpreter lock.
FrameView viewFrame(const py::object& frame);

}  // namespace molvane

namespace pybind11::detail {

// NumPy presents the object as a C-contiguous uint8 array (an array that already is one
// comes back as itself), converting it when conversion is allowed. When NumPy refuses a
// plain object (a string, None, a list of strings) or an array of a dtype it cannot cast,
// the call does not match, as with pybind11's array caster (TypeError listing the
// signatures). Every other exception - whatever an object's own array protocol raises,
// and anything that is not a TypeError or ValueError (KeyboardInterrupt, MemoryError) -
// reaches the caller unchanged.
template <>
struct type_caster<molvane::FrameArg> {
    PYBIND11_TYPE_CASTER(molvane::FrameArg, handle_type_name<molvane::FrameArray>::name);

    bool load(handle src, bool convert) {
        if (!src || (!convert && !molvane::FrameArray::check_(src))) return false;
        try {
            value.array = molvane::FrameArray(reinterpret_borrow<object>(src));
        } catch (error_already_set& e) {
            if (raisedByCaller(src, e)) throw;
            return false;
        }
        return true;
    }

    static handle cast(const molvane::FrameArg& frame, return_value_policy, handle) { return frame.array.inc_ref(); }

private:
    static bool raisedByCaller(handle src, const error_already_set& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) return true;
        if (array::check_(src)) return false;
        return PyObject_HasAttrString(src.ptr(), "__array__") ||
               PyObject_HasAttrString(src.ptr(), "__array_interface__") ||
               PyObject_HasAttrString(src.ptr(), "__array_struct__");
    }
};

}  // namespace pybind11::detail
