// The grey frames engines keep between updates. An engine needs the grey image of its last
// committed step (frame differencing, the stands-still check); rather than copying every
// frame into each engine, the frames live in two buffers that take turns: this frame's grey
// image is written into the buffer no engine holds any more, and engines keep a reference
// to it. A colour frame's grey conversion thus costs no copy at all, and the engines of a
// multi-target lock share one copy of a grey frame the caller owns.
#pragma once

#include <opencv2/core.hpp>

namespace molvane {

class GreyFrames {
public:
    // The grey image of `frame`: the frame itself when it has one channel, else its
    // blue-green-red to grey conversion written into a free buffer (a fourth channel is
    // ignored; other channel counts and empty colour frames make OpenCV's conversion throw).
    const cv::Mat& greyOf(const cv::Mat& frame);
    // `grey` as an image that may be kept across updates: itself when it is one of these
    // buffers, else a copy of it in a free buffer. The buffer is never written again while
    // anything else holds a reference to it.
    const cv::Mat& keep(const cv::Mat& grey);

private:
    // A buffer of this size and type that nothing outside holds (allocated when needed).
    cv::Mat& freeBuffer(cv::Size size, int type);

    cv::Mat buffers_[2];
    int next_ = 0;  // the buffer given up when both are held
};

}  // namespace molvane
