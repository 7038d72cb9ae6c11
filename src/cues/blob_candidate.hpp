// The candidate record and small helpers shared by the blob-based cues (foreground,
// boundary and contrast detection).
#pragma once

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "cues/contour_tracing.hpp"
#include "core/geometry.hpp"

namespace molvane {

// One admissible contour of a thresholded difference or contrast map. Coordinates are
// relative to the image the contours were found in.
struct BlobCandidate {
    std::size_t index = 0;  // position in the contour list
    double area = 0.0;      // non-oriented contour area
    cv::Rect box;           // bounding rectangle of the contour
    cv::Point2f centroid;   // from the contour moments
    double meanDifference = 0.0;
    double cost = 0.0;  // lower is better
};

namespace blob {

// lround of a non-negative size or padding. NaN and negatives give 0 and huge values are
// capped, so the conversion is always defined and later 64-bit rectangle sums cannot wrap.
inline long long roundSize(double v) {
    if (!(v > 0.0)) return 0;
    if (v > 1e12) return 1000000000000LL;
    return std::llround(v);
}

// Mean of `values` under `contour` (one of `tracer`'s last) drawn filled (8-connected). Only the contour's
// bounding rectangle `bounds` is drawn and averaged, which gives the same mean as a
// full-size mask at a fraction of the cost. The mask is the top-left corner of `scratch`,
// which only ever grows, and then to twice what is needed, so that contours of changing
// size do not reallocate it, nor one a little larger than any before.
inline double meanUnderContour(const cv::Mat& values, ContourTracer& tracer, const std::vector<cv::Point>& contour,
                               const cv::Rect& bounds, cv::Mat& scratch) {
    if (scratch.type() != CV_8UC1 || scratch.rows < bounds.height || scratch.cols < bounds.width) {
        scratch.create(std::max(scratch.rows, 2 * bounds.height), std::max(scratch.cols, 2 * bounds.width), CV_8UC1);
    }
    cv::Mat mask = scratch(cv::Rect(0, 0, bounds.width, bounds.height));
    fillBytes(mask, 0);
    tracer.fill(contour, mask, 255, -bounds.tl());
    return cv::mean(values(bounds), mask)[0];
}

// Factors of the threshold that separates a target from the rest of a local contrast map.
struct ContrastThreshold {
    double peak;         // known polarity: share of the map's maximum
    double spreadKnown;  // known polarity: standard deviations above the mean
    double floorKnown;   // known polarity: share of the minimum grey-level difference
    double spreadAny;    // polarity 0: standard deviations above the mean
};

// With a known polarity the threshold follows the map's peak and spread; with polarity 0
// it is the mean plus a multiple of the spread. Never below its floor.
inline double contrastThreshold(const cv::Mat& map, int polarity, const ContrastThreshold& k, double minDiff) {
    cv::Scalar mean, sd;
    cv::meanStdDev(map, mean, sd);
    if (polarity != 0) {
        double maxMap = 0.0;
        cv::minMaxLoc(map, nullptr, &maxMap);
        return std::max({k.peak * maxMap, mean[0] + k.spreadKnown * sd[0], k.floorKnown * minDiff});
    }
    return std::max(mean[0] + k.spreadAny * sd[0], minDiff);
}

// True when two rectangles share at least one pixel.
inline bool overlaps(const cv::Rect& a, const cv::Rect& b) { return (a & b).area() > 0; }

// The candidate of lowest cost (the first of equal ones) and the bounding box of it merged
// with its fragments: every candidate whose box overlaps the best one's grown by
// `mergeGrowth` (within `size`) or whose centroid lies within `mergeRadius` of the best's.
// The box is empty when nothing was drawn; `merged` (made `size`) holds the drawn mask.
struct MergedBlob {
    const BlobCandidate* best;
    cv::Rect box;
};

inline MergedBlob mergeAroundCheapest(const std::vector<BlobCandidate>& candidates, ContourTracer& tracer,
                                      const ContourList& contours, int mergeGrowth, double mergeRadius, cv::Size size,
                                      cv::Mat& merged) {
    const BlobCandidate* best = &candidates.front();
    for (const BlobCandidate& c : candidates) {
        if (c.cost < best->cost) best = &c;
    }
    const cv::Rect mergeBox = growAndClip(best->box, mergeGrowth, size.width, size.height);
    merged.create(size, CV_8UC1);
    fillBytes(merged, 0);
    for (const BlobCandidate& c : candidates) {
        if (overlaps(c.box, mergeBox) || distance(c.centroid, best->centroid) <= mergeRadius) {
            tracer.fill(contours[c.index], merged, 255, cv::Point());
        }
    }
    return {best, cv::boundingRect(merged)};
}

// Whether a merged box is large enough to be what was looked for, `expectedW` x `expectedH`
// (area `expectedArea`): at least `minAreaShare` of that area, and at least `minSideShare`
// of the expected width or height. Anything smaller is a speck of noise.
inline bool substantial(const cv::Rect& box, double expectedW, double expectedH, double expectedArea,
                        double minAreaShare, double minSideShare) {
    if (box.width < 1 || box.height < 1) return false;
    const double area = static_cast<double>(box.width) * box.height;
    return !(area < minAreaShare * expectedArea ||
             (box.width < minSideShare * expectedW && box.height < minSideShare * expectedH));
}

// `box` grown on every side by `fraction` of its longer side (at least `minPad`) and clipped
// to the frame.
inline cv::Rect padBox(const cv::Rect& box, double fraction, long long minPad, int frameW, int frameH) {
    return growAndClip(box, std::max(roundSize(std::max(box.width, box.height) * fraction), minPad), frameW, frameH);
}

// The centroid of a contour from its moments; false for one of (near) zero area.
inline bool contourCentroid(const std::vector<cv::Point>& contour, cv::Point2f& centroid) {
    const cv::Moments mo = cv::moments(contour);
    if (std::abs(mo.m00) <= 1e-6) return false;
    centroid = {static_cast<float>(mo.m10 / mo.m00), static_cast<float>(mo.m01 / mo.m00)};
    return true;
}

}  // namespace blob
}  // namespace molvane
