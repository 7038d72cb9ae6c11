// Small arithmetic the engine's steps share: bounded intervals, float narrowing, and the
// rule by which a displayed box follows the tracked one. Internal to src/engine/.
#pragma once

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include <opencv2/core.hpp>

namespace molvane::engine_detail {

// Targets of at most this many pixels are tiny: they try the template before frame
// differencing, and their motion blobs must be more confident.
constexpr long long kTinyTargetArea = 100;

// Longest interval a single step may extrapolate over. Callers may hand in any finite
// interval (a paused stream, a clock jump); beyond this bound a prediction means nothing
// and float centre arithmetic would eventually overflow, so longer intervals count as this.
constexpr double kMaxMotionInterval = 10.0;

// The displayed box follows the tracked one smoothly: each step it closes this share of
// the gap between them, and a gap of at most `kDisplayDeadband` px is left alone (so the
// display does not jitter over sub-pixel noise).
constexpr float kDisplayFollowShare = 0.85f;
constexpr float kDisplayDeadband = 0.5f;

inline double boundedInterval(double dtSeconds) { return std::min(dtSeconds, kMaxMotionInterval); }

inline int32_t saturatedSum(int a, int b) {
    const long long s = static_cast<long long>(a) + b;
    return static_cast<int32_t>(std::clamp<long long>(s, INT32_MIN, INT32_MAX));
}

// `v` as a float: NaN becomes 0 and anything beyond float range is clamped to it.
inline float narrow(double v) {
    constexpr double kLimit = 3.0e38;
    if (std::isnan(v)) return 0.f;
    return static_cast<float>(std::clamp(v, -kLimit, kLimit));
}

inline cv::Rect2f toRect2f(const cv::Rect& r) {
    return {static_cast<float>(r.x), static_cast<float>(r.y), static_cast<float>(r.width),
            static_cast<float>(r.height)};
}

// Whether the display should move to close a gap of `gap` px on either axis.
inline bool beyondDeadband(cv::Point2f gap) {
    return std::fabs(gap.x) > kDisplayDeadband || std::fabs(gap.y) > kDisplayDeadband;
}

}  // namespace molvane::engine_detail
