#include "cues/template_correlation.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <stdexcept>

#include "cues/resample.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace molvane {

namespace {

// Grows a buffer to at least `n` entries, to the width of the whole frame `image` is a
// view into when that is the first need, so that a search window that later widens (up to
// the frame) does not allocate again.
template <typename T>
void ensure(std::vector<T>& v, std::size_t n, std::size_t frameWidth) {
    if (v.size() < n) v.resize(std::max(n, frameWidth));
}

#if defined(__SSE2__)
// Cross products of output row `r`, eight positions at a time (the last eight overlapping
// the others when the row is no multiple of eight), returned as how many positions it did:
// all of them, or none for a row shorter than eight. For each template row and pair of
// template pixels, one 16-bit multiply-add sums the pair's two products exactly (each at
// most 2 * 255^2) into a 32-bit lane per position; the caller makes sure the whole
// template's sum fits 32 bits.
int vectorProducts(const cv::Mat& image, const cv::Mat& templ, const std::int32_t* pairs, int r, int rw,
                   long long* products) {
    if (rw < 8) return 0;
    const int tw = templ.cols, th = templ.rows;
    const int fullPairs = tw / 2, perRow = (tw + 1) / 2;
    const __m128i zero = _mm_setzero_si128();
    alignas(16) int lanes[8];
    for (int x = 0;; x = std::min(x + 8, rw - 8)) {
        __m128i low = zero, high = zero;
        for (int ty = 0; ty < th; ++ty) {
            const uchar* s = image.ptr<uchar>(r + ty) + x;
            const std::int32_t* c = pairs + 4 * static_cast<std::ptrdiff_t>(ty) * perRow;
            for (int k = 0; k < fullPairs; ++k, s += 2) {
                const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 4 * k));
                const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s));
                const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + 1));
                const __m128i ab = _mm_unpacklo_epi8(a, b);
                low = _mm_add_epi32(low, _mm_madd_epi16(_mm_unpacklo_epi8(ab, zero), w));
                high = _mm_add_epi32(high, _mm_madd_epi16(_mm_unpackhi_epi8(ab, zero), w));
            }
            if (tw % 2) {  // the last pixel of an odd row pairs with nothing (weight 0)
                const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 4 * fullPairs));
                const __m128i ab = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s)), zero);
                low = _mm_add_epi32(low, _mm_madd_epi16(_mm_unpacklo_epi8(ab, zero), w));
                high = _mm_add_epi32(high, _mm_madd_epi16(_mm_unpackhi_epi8(ab, zero), w));
            }
        }
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), low);
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes + 4), high);
        for (int i = 0; i < 8; ++i) products[x + i] = lanes[i];
        if (x == rw - 8) break;
    }
    return rw;
}
#endif

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
#if defined(__SSE2__)
    if (!flushEveryRow) {
        // The template as pairs of neighbouring pixels, one pair per 32-bit lane.
        const int perRow = (tw + 1) / 2;
        const std::size_t count = static_cast<std::size_t>(perRow) * th;
        if (pairs_.size() < 4 * count) pairs_.resize(8 * count);
        for (int y = 0; y < th; ++y) {
            const uchar* t = templ.ptr<uchar>(y);
            for (int k = 0; k < perRow; ++k) {
                const int first = t[2 * k], second = 2 * k + 1 < tw ? t[2 * k + 1] : 0;
                std::fill_n(pairs_.begin() + 4 * (static_cast<std::ptrdiff_t>(y) * perRow + k), 4,
                            first | (second << 16));
            }
        }
    }
#endif

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

        // Cross products: eight positions at a time in vector registers where the whole
        // template's sum fits 32 bits, the rest one template pixel at a time.
        int x0 = 0;
#if defined(__SSE2__)
        if (!flushEveryRow) x0 = vectorProducts(image, templ, pairs_.data(), r, rw, products);
#endif
        if (x0 < rw) {
            const int m = rw - x0;
            std::fill_n(rowProducts, m, 0);
            std::fill_n(products + x0, m, 0LL);
            for (int ty = 0; ty < th; ++ty) {
                const uchar* t = templ.ptr<uchar>(ty);
                const uchar* p = image.ptr<uchar>(r + ty) + x0;
                for (int k = 0; k < tw; ++k) {
                    const int tk = t[k];
                    if (tk == 0) continue;
                    const uchar* src = p + k;
                    for (int x = 0; x < m; ++x) rowProducts[x] += tk * src[x];
                }
                if (flushEveryRow || ty + 1 == th) {
                    for (int x = 0; x < m; ++x) products[x0 + x] += rowProducts[x];
                    std::fill_n(rowProducts, m, 0);
                }
            }
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
            const double c =
                static_cast<double>(num) / std::sqrt(static_cast<double>(spreadI) * static_cast<double>(spreadT));
            row[x] = static_cast<float>(std::clamp(c, -1.0, 1.0));
        }
    }
}

}  // namespace molvane
