#include "cues/template_correlation.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <stdexcept>

#include "cues/resample.hpp"

namespace molvane {

namespace {

// Grows a buffer to at least `n` entries, to the width of the whole frame `image` is a
// view into when that is the first need, so that a search window that later widens (up to
// the frame) does not allocate again.
template <typename T>
void ensure(std::vector<T>& v, std::size_t n, std::size_t frameWidth) {
    if (v.size() < n) v.resize(std::max(n, frameWidth));
}

}  // namespace

void TemplateCorrelation::compute(const cv::Mat& image, const cv::Mat& templ, cv::Mat& result) {
    if (image.type() != CV_8UC1 || templ.type() != CV_8UC1) {
        throw std::invalid_argument("TemplateCorrelation: 8-bit one-channel images only");
    }
    const int tw = templ.cols, th = templ.rows;
    if (tw < 1 || th < 1 || image.cols < tw || image.rows < th) {
        throw std::invalid_argument("TemplateCorrelation: the template must fit the image");
    }
    const int W = image.cols;
    const int rw = W - tw + 1, rh = image.rows - th + 1;
    fitWithCapacity(result, cv::Size(rw, rh), CV_32F);

    const long long n = static_cast<long long>(tw) * th;
    long long sumT = 0, sumTT = 0;
    for (int y = 0; y < th; ++y) {
        const uchar* t = templ.ptr<uchar>(y);
        for (int x = 0; x < tw; ++x) {
            sumT += t[x];
            sumTT += t[x] * t[x];
        }
    }
    const long long spreadT = n * sumTT - sumT * sumT;  // n^2 times the template's variance
    if (spreadT == 0) {
        for (int r = 0; r < rh; ++r) std::fill_n(result.ptr<float>(r), rw, 1.f);
        return;
    }

    cv::Size whole;
    cv::Point offset;
    image.locateROI(whole, offset);
    const std::size_t frameWidth = static_cast<std::size_t>(std::max(whole.width, W));
    ensure(columnSum_, static_cast<std::size_t>(W), frameWidth);
    ensure(columnSquares_, static_cast<std::size_t>(W), frameWidth);
    ensure(rowProducts_, static_cast<std::size_t>(rw), frameWidth);
    ensure(products_, static_cast<std::size_t>(rw), frameWidth);
    int* colSum = columnSum_.data();
    int* colSq = columnSquares_.data();
    int* rowProducts = rowProducts_.data();
    long long* products = products_.data();
    // Products of one template row fit 32 bits always, of the whole template while it
    // has at most 33025 pixels (255^2 each).
    const bool flushEveryRow = n * 255 * 255 > 0x7fffffffLL;

    std::fill_n(colSum, W, 0);
    std::fill_n(colSq, W, 0);
    for (int y = 0; y < th; ++y) {
        const uchar* p = image.ptr<uchar>(y);
        for (int x = 0; x < W; ++x) {
            colSum[x] += p[x];
            colSq[x] += p[x] * p[x];
        }
    }
    for (int r = 0; r < rh; ++r) {
        if (r > 0) {  // slide the column sums down one row
            const uchar* out = image.ptr<uchar>(r - 1);
            const uchar* in = image.ptr<uchar>(r + th - 1);
            for (int x = 0; x < W; ++x) {
                colSum[x] += in[x] - out[x];
                colSq[x] += in[x] * in[x] - out[x] * out[x];
            }
        }

        // Cross products, one template pixel at a time across all positions of the row.
        std::fill_n(rowProducts, rw, 0);
        if (flushEveryRow) std::fill_n(products, rw, 0LL);
        for (int ty = 0; ty < th; ++ty) {
            const uchar* t = templ.ptr<uchar>(ty);
            const uchar* p = image.ptr<uchar>(r + ty);
            for (int k = 0; k < tw; ++k) {
                const int tk = t[k];
                if (tk == 0) continue;
                const uchar* s = p + k;
                for (int x = 0; x < rw; ++x) rowProducts[x] += tk * s[x];
            }
            if (flushEveryRow) {
                for (int x = 0; x < rw; ++x) products[x] += rowProducts[x];
                std::fill_n(rowProducts, rw, 0);
            }
        }
        if (!flushEveryRow) {
            for (int x = 0; x < rw; ++x) products[x] = rowProducts[x];
        }

        float* row = result.ptr<float>(r);
        long long sumI = 0, sumII = 0;
        for (int x = 0; x < tw; ++x) {
            sumI += colSum[x];
            sumII += colSq[x];
        }
        for (int x = 0; x < rw; ++x) {
            if (x > 0) {
                sumI += colSum[x + tw - 1] - colSum[x - 1];
                sumII += colSq[x + tw - 1] - colSq[x - 1];
            }
            const long long spreadI = n * sumII - sumI * sumI;  // n^2 times the window's variance
            const long long num = n * products[x] - sumI * sumT;
            // A (nearly) flat window correlates with nothing: its squared deviations from
            // its mean, against the bound cv::matchTemplate uses to rule out rounding noise.
            const double deviations = static_cast<double>(spreadI) / static_cast<double>(n);
            if (deviations <= std::min(0.5, 10 * FLT_EPSILON * static_cast<double>(sumII))) {
                row[x] = 0.f;
                continue;
            }
            const double c = static_cast<double>(num) /
                             std::sqrt(static_cast<double>(spreadI) * static_cast<double>(spreadT));
            row[x] = static_cast<float>(std::clamp(c, -1.0, 1.0));
        }
    }
}

}  // namespace molvane
