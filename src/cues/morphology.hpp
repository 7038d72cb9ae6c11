// Dilation and erosion of 8-bit masks by any structuring element, pixel for pixel what
// cv::dilate and cv::erode give with one iteration, the centre anchor and the default
// border (pixels outside the image never take part), without the filter engine OpenCV
// builds and allocates on every call. The boundary cue closes its masks with an elliptic
// element that grows with the target; this is what it runs.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace molvane {

class Morphology {
public:
    // cv::dilate(src, dst, element) and cv::erode(src, dst, element) for a whole (not a
    // view into a larger image) 8-bit one-channel `src` and an 8-bit one-channel element
    // with at least one non-zero pixel; anything else goes through OpenCV. `dst` may be
    // `src`.
    void dilate(const cv::Mat& src, cv::Mat& dst, const cv::Mat& element);
    void erode(const cv::Mat& src, cv::Mat& dst, const cv::Mat& element);
    // cv::morphologyEx(image, image, MORPH_CLOSE or MORPH_OPEN, element), in place.
    void close(cv::Mat& image, const cv::Mat& element);
    void open(cv::Mat& image, const cv::Mat& element);

private:
    // A horizontal run of the element's pixels: its row and first column relative to the
    // anchor, its length and where its length is among lengths_.
    struct Run {
        int dy, dx, length, lengthIndex;
    };
    bool prepare(const cv::Mat& src, const cv::Mat& element);
    template <class Op>
    void apply(const cv::Mat& src, cv::Mat& dst);

    cv::Mat element_;            // the element runs_ were made from
    std::vector<Run> runs_;      // every run of the element
    std::vector<int> lengths_;   // the distinct run lengths, ascending
    int above_ = 0, below_ = 0;  // rows of runs above and below the anchor
    int pad_ = 0;                // neutral pixels on each side of a padded row
    std::vector<unsigned char> padded_, extremes_;
    std::vector<unsigned char> rows_;  // per element row (a ring of source rows): each length's extremes
};

}  // namespace molvane
