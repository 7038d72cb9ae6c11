// The (x, y, w, h) pixel box callers pass to `lock`: any sequence of exactly four
// integers that fit in 32 bits. Python ints and integer-like objects (numpy integers) are
// taken; anything that is not an integer - a float of any kind included - does not match,
// rather than being truncated.
#pragma once

#include <climits>
#include <cstdint>

#include <opencv2/core.hpp>
#include <pybind11/pybind11.h>

namespace molvane {

struct BoxArg {
    std::int32_t x = 0, y = 0, w = 0, h = 0;
    cv::Rect rect() const { return cv::Rect(x, y, w, h); }
};

}  // namespace molvane

namespace pybind11::detail {

template <>
struct type_caster<molvane::BoxArg> {
    PYBIND11_TYPE_CASTER(molvane::BoxArg, const_name("tuple[int, int, int, int]"));

    bool load(handle src, bool /*convert*/) {
        if (!src || !PySequence_Check(src.ptr()) || PyUnicode_Check(src.ptr()) || PyBytes_Check(src.ptr()) ||
            PyByteArray_Check(src.ptr())) {
            return false;
        }
        const Py_ssize_t n = PySequence_Size(src.ptr());
        if (n != 4) {
            if (n < 0) PyErr_Clear();
            return false;
        }
        std::int32_t v[4];
        for (Py_ssize_t i = 0; i < 4; ++i) {
            object item = reinterpret_steal<object>(PySequence_GetItem(src.ptr(), i));
            if (!item || !integer(item, v[i])) {
                PyErr_Clear();
                return false;
            }
        }
        value = molvane::BoxArg{v[0], v[1], v[2], v[3]};
        return true;
    }

    static handle cast(const molvane::BoxArg& b, return_value_policy, handle) {
        return make_tuple(b.x, b.y, b.w, b.h).release();
    }

private:
    static bool integer(const object& item, std::int32_t& out) {
        if (PyFloat_Check(item.ptr()) || !PyIndex_Check(item.ptr())) return false;
        object index = reinterpret_steal<object>(PyNumber_Index(item.ptr()));
        if (!index) return false;
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
        if (overflow != 0 || (v == -1 && PyErr_Occurred()) || v < INT32_MIN || v > INT32_MAX) return false;
        out = static_cast<std::int32_t>(v);
        return true;
    }
};

}  // namespace pybind11::detail
