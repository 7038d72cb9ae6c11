// Image operations that write into caller-owned buffers, so that the per-frame cues allocate
// nothing once their buffers have grown: opening and closing, signed differences, channel
// splitting and filled contour drawing, each giving exactly what the plain OpenCV call gives.
#pragma once

#include <algorithm>
#include <vector>

#include <opencv2/core.hpp>

namespace molvane {

// True when `kernel` is the 3 x 3 cross (what a 3 x 3 MORPH_ELLIPSE element is).
bool isCross3(const cv::Mat& kernel);

// Makes `m` a continuous `size` image of `type` over `storage`, which only ever grows, so
// that scratch images whose size follows a search window stop reallocating (OpenCV
// functions writing into `m` at that size and type reuse it). `m` does not own its pixels:
// it is valid while `storage` is, until the next call with the same storage.
void fitScratch(cv::Mat& m, std::vector<unsigned char>& storage, cv::Size size, int type);

// Sets every pixel of an 8-bit one-channel image (or of a view into one: the header is
// taken by value, the pixels are shared) to `value`. Unlike cv::Mat::setTo, which stages
// its value in a heap buffer for images of about a thousand pixels or more, it never
// allocates.
void fillBytes(cv::Mat image, unsigned char value);

// In-place cv::morphologyEx(image, image, op, kernel) for op MORPH_OPEN or MORPH_CLOSE
// with one iteration, the centre anchor and the default constant border (pixels outside
// the image never take part): the same result, with `scratch` holding the intermediate.
// The cues close their masks with the 3 x 3 elliptic element (a plus-shaped cross); that
// case runs here, any other element goes through OpenCV with `scratch` as its intermediate
// (Morphology, in cues/morphology.hpp, takes any element and allocates nothing once warm).
void openOrClose(cv::Mat& image, int op, const cv::Mat& kernel, cv::Mat& scratch);

// Calls `work(rows)` for consecutive bands of an image's `rows`, each of at most one
// stripe of OpenCV's row-parallel operations (2^16 values, or one row when a row is
// longer). OpenCV hands the stripes of a larger image to its thread pool, whose task
// records are allocated when its workers are busy elsewhere; one stripe runs on the
// calling thread, with the same code and the same pixels.
template <typename Work>
void inCallingThreadBands(int rows, int valuesPerRow, Work&& work) {
    constexpr int kStripeValues = 1 << 16;
    const int rowsPerBand = std::max(1, kStripeValues / std::max(1, valuesPerRow));
    for (int y = 0; y < rows; y += rowsPerBand) work(cv::Range(y, std::min(rows, y + rowsPerBand)));
}

// cv::threshold(src, dst, threshold, maxValue, cv::THRESH_BINARY), in bands that run on the
// calling thread (inCallingThreadBands).
void thresholdBinary(const cv::Mat& src, cv::Mat& dst, double threshold, double maxValue);

// `image` minus `level` for polarity +1, the reverse for -1, the absolute difference for 0
// (saturated, as cv::subtract and cv::absdiff do). `level` is an image of the same size or
// a scalar.
void signedDifference(cv::InputArray image, cv::InputArray level, int polarity, cv::OutputArray out);

// cv::split(src, planes), reusing the planes' buffers when they already have the size.
void splitChannels(const cv::Mat& src, std::vector<cv::Mat>& planes);

// cv::drawContours(image, {contour}, 0, color, cv::FILLED, cv::LINE_8, noArray(), INT_MAX,
// offset): one polygon fill, without the per-call contour bookkeeping of drawContours.
void fillContour(cv::Mat& image, const std::vector<cv::Point>& contour, const cv::Scalar& color,
                 cv::Point offset = cv::Point());

// Mean absolute grey difference of two same-size 8-bit single-channel images over `r`
// (which must lie inside both).
double meanAbsoluteChange(const cv::Mat& a, const cv::Mat& b, const cv::Rect& r);

}  // namespace molvane
