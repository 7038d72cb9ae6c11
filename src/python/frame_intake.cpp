#include "python/frame_intake.hpp"

#include <climits>
#include <stdexcept>

namespace molvane {

FrameView viewFrame(FrameArray array) {
    const py::ssize_t ndim = array.ndim();
    if (ndim != 2 && ndim != 3) throw std::invalid_argument(kFrameShapeMessage);
    const py::ssize_t rows = array.shape(0);
    const py::ssize_t cols = array.shape(1);
    const py::ssize_t channels = ndim == 3 ? array.shape(2) : 1;
    // An image header holds int sizes and at most CV_CN_MAX channels; anything beyond
    // would silently wrap into a different shape over the same buffer.
    if (rows > INT_MAX || cols > INT_MAX || channels < 1 || channels > CV_CN_MAX) {
        throw std::invalid_argument(kFrameShapeMessage);
    }
    // The engines only read frames, so a read-only array is as good as a writeable one.
    auto* data = const_cast<std::uint8_t*>(array.data());
    cv::Mat image(static_cast<int>(rows), static_cast<int>(cols), CV_8UC(static_cast<int>(channels)), data);
    return FrameView{std::move(array), image};
}

FrameView viewFrame(const py::object& frame) {
    // The converting constructor keeps NumPy's error, where ensure() would clear it.
    return viewFrame(FrameArray(frame));
}

}  // namespace molvane
