#include "cues/extent_measurement.hpp"

#include <algorithm>
#include <cmath>

#include "cues/buffer_ops.hpp"
#include "cues/cue_tuning.hpp"
#include "core/geometry.hpp"

namespace molvane {

using namespace cue_tuning::extent;

Extent ExtentMeasurement::measure(const cv::Mat& grey, cv::Point2f center, cv::Size current, int polarity,
                                  double minDiff, int regrow) {
    for (int attempt = 0;; ++attempt) {
        bool touched = false;
        const Extent e = measureOnce(grey, center, current, polarity, minDiff, touched);
        if (e.found || !touched || attempt >= regrow) return e.found ? e : Extent{};
        center = rectCenter(e.box);
        current = {std::min(2 * current.width, grey.cols), std::min(2 * current.height, grey.rows)};
    }
}

Extent ExtentMeasurement::measureOnce(const cv::Mat& grey, cv::Point2f center, cv::Size current, int polarity,
                                      double minDiff, bool& touched) {
    Extent out;
    if (grey.empty() || grey.type() != CV_8UC1 || current.width < 1 || current.height < 1) return out;
    const int side = std::max(current.width, current.height);
    const cv::Rect inner = boxFromCenter(center.x, center.y, current.width, current.height, grey.cols, grey.rows);
    const cv::Rect window = growAndClip(inner, std::max(side, kMinWindowGrowth), grey.cols, grey.rows);
    if (window.width < 3 * kReach || window.height < 3 * kReach) return out;

    // The sky: a band along the window's edge.
    const int band = std::max(kMinBand, std::min(window.width, window.height) / kBandDivisor);
    long long n = 0, sum = 0, sumSq = 0;
    for (int y = 0; y < window.height; ++y) {
        const uchar* row = grey.ptr<uchar>(window.y + y) + window.x;
        const bool edgeRow = y < band || y >= window.height - band;
        for (int x = 0; x < window.width; ++x) {
            if (!edgeRow && x >= band && x < window.width - band) x = window.width - band;
            const int v = row[x];
            ++n;
            sum += v;
            sumSq += v * v;
        }
    }
    if (n == 0) return out;
    const double mean = static_cast<double>(sum) / n;
    const double sd = std::sqrt(std::max(static_cast<double>(sumSq) / n - mean * mean, 0.0));

    fitScratch(diff_, diffStore_, window.size(), CV_16SC1);
    const int level = static_cast<int>(std::lround(mean));
    for (int y = 0; y < window.height; ++y) {
        const uchar* row = grey.ptr<uchar>(window.y + y) + window.x;
        short* d = diff_.ptr<short>(y);
        for (int x = 0; x < window.width; ++x) {
            const int v = row[x] - level;
            d[x] = static_cast<short>(polarity > 0 ? std::max(v, 0) : polarity < 0 ? std::max(-v, 0) : std::abs(v));
        }
    }

    // The strongest pixel of the box the target is tracked at seeds the region.
    const cv::Rect local = inner - window.tl();
    int peak = -1;
    cv::Point seed;
    for (int y = local.y; y < local.y + local.height; ++y) {
        const short* d = diff_.ptr<short>(y);
        for (int x = local.x; x < local.x + local.width; ++x) {
            if (d[x] > peak) {
                peak = d[x];
                seed = {x, y};
            }
        }
    }
    if (peak < std::max(kPeakSigmas * sd + 1.0, 0.5 * minDiff)) return out;
    const int threshold = static_cast<int>(std::ceil(std::max(kShareOfPeak * peak, kMemberSigmas * sd + 1.0)));

    fitScratch(mask_, maskStore_, window.size(), CV_8UC1);
    fillBytes(mask_, 0);
    stack_.clear();
    stack_.push_back(seed.y * window.width + seed.x);
    mask_.at<uchar>(seed) = 1;
    int x0 = seed.x, x1 = seed.x, y0 = seed.y, y1 = seed.y;
    while (!stack_.empty()) {
        const int at = stack_.back();
        stack_.pop_back();
        const int px = at % window.width;
        const int py = at / window.width;
        x0 = std::min(x0, px);
        x1 = std::max(x1, px);
        y0 = std::min(y0, py);
        y1 = std::max(y1, py);
        for (int dy = -kReach; dy <= kReach; ++dy) {
            const int qy = py + dy;
            if (qy < 0 || qy >= window.height) continue;
            uchar* m = mask_.ptr<uchar>(qy);
            const short* d = diff_.ptr<short>(qy);
            for (int dx = -kReach; dx <= kReach; ++dx) {
                const int qx = px + dx;
                if (qx < 0 || qx >= window.width || m[qx] || d[qx] < threshold) continue;
                m[qx] = 1;
                stack_.push_back(qy * window.width + qx);
            }
        }
    }
    // Touching the window's edge (not the frame's): merged with something larger than the target.
    const bool left = x0 <= 0 && window.x > 0;
    const bool top = y0 <= 0 && window.y > 0;
    const bool right = x1 >= window.width - 1 && window.x + window.width < grey.cols;
    const bool bottom = y1 >= window.height - 1 && window.y + window.height < grey.rows;
    out.box = cv::Rect(window.x + x0, window.y + y0, x1 - x0 + 1, y1 - y0 + 1);
    touched = left || top || right || bottom;
    out.found = !touched;
    return out;
}

}  // namespace molvane
