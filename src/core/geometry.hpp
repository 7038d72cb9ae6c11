// Geometry rules shared by the engine and its cues.
#pragma once

#include <opencv2/core.hpp>

namespace molvane {

// Every step that moves a target uses at least 1/240 s as its frame interval.
inline constexpr double kMinMotionInterval = 1.0 / 240.0;
double effectiveInterval(double dtSeconds);

// The integer box of size (w, h) centred on (cx, cy), kept wholly inside a W x H frame
// (sizes clamped to [1, W] x [1, H]).
cv::Rect boxFromCenter(float cx, float cy, int w, int h, int frameW, int frameH);

// Grows `r` by `margin` on every side and clips it to the frame; 64-bit arithmetic, so
// no int input overflows. An empty rectangle means nothing is left.
cv::Rect growAndClip(const cv::Rect& r, long long margin, int frameW, int frameH);
cv::Rect clipToFrame(long long x, long long y, long long w, long long h, int frameW, int frameH);
cv::Rect intersect(const cv::Rect& a, const cv::Rect& b);

cv::Point2f rectCenter(const cv::Rect& r);
cv::Point2f rectCenter(const cv::Rect2f& r);
double distance(cv::Point2f a, cv::Point2f b);
// Intersection over union of two boxes; 0 when their union is empty (negative sizes count
// as empty).
double boxIou(const cv::Rect2f& a, const cv::Rect2f& b);

// Speed gate radius: max(effective interval x maxSpeed, minGateRadius).
double speedGateRadius(double dtSeconds, double maxSpeed, double minGateRadius);

}  // namespace molvane
