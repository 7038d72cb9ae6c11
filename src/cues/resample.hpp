// Resizing of small 8-bit images into kept buffers, pixel for pixel what cv::resize gives,
// without the heap memory cv::resize takes for its tables once an image is a few dozen
// pixels wide: the colour patch of a larger target, the template resampled to a new box
// size, and the half-size template and search window of the coarse template search.
#pragma once

#include <cstddef>

#include <opencv2/core.hpp>

namespace molvane {

// cv::resize(src, dst, size, 0, 0, interpolation) for an 8-bit image of one to four
// channels and interpolation cv::INTER_AREA or cv::INTER_LINEAR: the same pixels. `dst` is
// recreated only when it lacks that size and type (a view of the right size is written in
// place), and nothing else is allocated. `src` and `dst` must not overlap.
void resizeInto(const cv::Mat& src, cv::Mat& dst, cv::Size size, int interpolation);

// cv::resize(src, dst, cv::Size(), 0.5, 0.5, cv::INTER_AREA) for an 8-bit image of one to
// four channels at least two pixels on each side, including the way an odd side is
// rounded and its last row or column averaged; same conditions as resizeInto.
void halveInto(const cv::Mat& src, cv::Mat& dst);

// cv::resize(src, dst, cv::Size(), 0.5, 0.5, cv::INTER_NEAREST) for an 8-bit one-channel
// image at least two pixels on each side: every other pixel of every other row, starting
// with the first. Same conditions as resizeInto; unlike cv::resize, nothing is allocated
// for a wide image's column table.
void halveNearestInto(const cv::Mat& src, cv::Mat& dst);

// The size halveInto and halveNearestInto give for an image of `size`: each side halved,
// rounded to even.
cv::Size halvedSize(cv::Size size);

// Makes `m` a continuous `size` x `type` image, reusing the memory `m` already owns (alone)
// when that is large enough, else allocating twice the bytes needed, so that an image
// whose size follows a target's box stops allocating once it has grown. The pixels are
// left undefined when the size changes.
void fitWithCapacity(cv::Mat& m, cv::Size size, int type);

}  // namespace molvane
