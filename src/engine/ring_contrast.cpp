#include "engine/ring_contrast.hpp"

#include <algorithm>
#include <cmath>

#include "core/geometry.hpp"

namespace molvane {

namespace {

struct RegionStats {
    double sum = 0.0;
    double sumSq = 0.0;
    int lo = 255;
    int hi = 0;
};

RegionStats regionStats(const cv::Mat& grey, const cv::Rect& r) {
    RegionStats s;
    for (int y = r.y; y < r.y + r.height; ++y) {
        const uchar* row = grey.ptr<uchar>(y);
        long long rowSum = 0;
        long long rowSumSq = 0;
        for (int x = r.x; x < r.x + r.width; ++x) {
            const int v = row[x];
            rowSum += v;
            rowSumSq += v * v;
            s.lo = std::min(s.lo, v);
            s.hi = std::max(s.hi, v);
        }
        s.sum += static_cast<double>(rowSum);
        s.sumSq += static_cast<double>(rowSumSq);
    }
    return s;
}

}  // namespace

RingContrast ringContrast(const cv::Mat& grey, const cv::Rect& box) {
    RingContrast out;
    const long long m = std::max(8L, std::lround(std::max(box.width, box.height) * 0.45));
    const cv::Rect win = growAndClip(box, m, grey.cols, grey.rows);
    out.windowArea = static_cast<long long>(win.width) * win.height;
    out.ringPixels = out.windowArea - static_cast<long long>(box.width) * box.height;
    if (out.ringPixels <= 0) return out;
    const RegionStats inner = regionStats(grey, box);
    const RegionStats window = regionStats(grey, win);
    const double n = static_cast<double>(out.ringPixels);
    const double ringMean = (window.sum - inner.sum) / n;
    out.ringMean = ringMean;
    out.ringSd = std::sqrt(std::max((window.sumSq - inner.sumSq) / n - ringMean * ringMean, 0.0));
    out.bright = inner.hi - ringMean;
    out.dark = ringMean - inner.lo;
    return out;
}

}  // namespace molvane
