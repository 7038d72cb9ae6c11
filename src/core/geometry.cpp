#include "core/geometry.hpp"

#include <algorithm>
#include <cmath>

namespace molvane {

namespace {

// lroundf for a position that is about to be clamped to [lo, hi]: values that are not
// finite or do not fit an int are clamped first, so the conversion is always defined.
int roundClamped(float v, int lo, int hi) {
    if (std::isnan(v)) return lo;
    if (v <= static_cast<float>(lo)) return lo;
    if (v >= static_cast<float>(hi)) return hi;
    return std::clamp(static_cast<int>(std::lround(v)), lo, hi);
}

}  // namespace

double effectiveInterval(double dtSeconds) { return std::max(dtSeconds, kMinMotionInterval); }

cv::Rect boxFromCenter(float cx, float cy, int w, int h, int frameW, int frameH) {
    const int bw = std::min(std::max(w, 1), frameW);
    const int bh = std::min(std::max(h, 1), frameH);
    const int x = roundClamped(cx - bw * 0.5f, 0, std::max(frameW - bw, 0));
    const int y = roundClamped(cy - bh * 0.5f, 0, std::max(frameH - bh, 0));
    return {x, y, bw, bh};
}

cv::Rect clipToFrame(long long x, long long y, long long w, long long h, int frameW, int frameH) {
    const long long x0 = std::max(x, 0LL);
    const long long y0 = std::max(y, 0LL);
    const long long x1 = std::min(x + w, static_cast<long long>(frameW));
    const long long y1 = std::min(y + h, static_cast<long long>(frameH));
    if (x1 <= x0 || y1 <= y0) return {};
    return {static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0), static_cast<int>(y1 - y0)};
}

cv::Rect growAndClip(const cv::Rect& r, long long margin, int frameW, int frameH) {
    return clipToFrame(static_cast<long long>(r.x) - margin, static_cast<long long>(r.y) - margin,
                       static_cast<long long>(r.width) + 2 * margin, static_cast<long long>(r.height) + 2 * margin,
                       frameW, frameH);
}

cv::Rect intersect(const cv::Rect& a, const cv::Rect& b) {
    const long long x0 = std::max(a.x, b.x);
    const long long y0 = std::max(a.y, b.y);
    const long long x1 = std::min(static_cast<long long>(a.x) + a.width, static_cast<long long>(b.x) + b.width);
    const long long y1 = std::min(static_cast<long long>(a.y) + a.height, static_cast<long long>(b.y) + b.height);
    if (x1 <= x0 || y1 <= y0) return {};
    return {static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0), static_cast<int>(y1 - y0)};
}

cv::Point2f rectCenter(const cv::Rect& r) {
    return {static_cast<float>(r.x) + static_cast<float>(r.width) * 0.5f,
            static_cast<float>(r.y) + static_cast<float>(r.height) * 0.5f};
}

cv::Point2f rectCenter(const cv::Rect2f& r) { return {r.x + r.width * 0.5f, r.y + r.height * 0.5f}; }

double distance(cv::Point2f a, cv::Point2f b) {
    return std::hypot(static_cast<double>(a.x) - b.x, static_cast<double>(a.y) - b.y);
}

double speedGateRadius(double dtSeconds, double maxSpeed, double minGateRadius) {
    return std::max(effectiveInterval(dtSeconds) * maxSpeed, minGateRadius);
}

double boxIou(const cv::Rect2f& a, const cv::Rect2f& b) {
    const double ax = a.x, ay = a.y, aw = a.width, ah = a.height;
    const double bx = b.x, by = b.y, bw = b.width, bh = b.height;
    const double ow = std::min(ax + aw, bx + bw) - std::max(ax, bx);
    const double oh = std::min(ay + ah, by + bh) - std::max(ay, by);
    const double inter = std::max(0.0, ow) * std::max(0.0, oh);
    const double uni = std::max(0.0, aw) * std::max(0.0, ah) + std::max(0.0, bw) * std::max(0.0, bh) - inter;
    if (!(uni > 0.0)) return 0.0;
    return inter / uni;
}

}  // namespace molvane
