#include "cues/template_correlation.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <stdexcept>
#include <type_traits>

#include "cues/resample.hpp"

#include <opencv2/core/hal/intrin.hpp>

namespace molvane {

namespace {

// Grows a buffer to at least `n` entries, to the width of the whole frame `image` is a
// view into when that is the first need, so that a search window that later widens (up to
// the frame) does not allocate again.
template <typename T>
void ensure(std::vector<T>& v, std::size_t n, std::size_t frameWidth) {
    if (v.size() < n) v.resize(std::max(n, frameWidth));
}

#if CV_SIMD128
// Zeros past the end of each widened image row, which a block longer than the row reads
// for positions beyond its last one (their sums are thrown away); the widest read ends 7
// entries past the row.
constexpr int kRowPadding = 16;

// Cross products of output row `r` at the 8 * Groups positions from `x` on (those past
// the row land in the slack of `products`). `rows` holds the image as 16-bit values,
// `stride` apart, and `pairs` the template's pixels in pairs, four copies of each pair.
// A pair of template pixels (a, b) against a vector of neighbouring image values
// (s0, s1, s2, s3, ...) gives, in one multiply-add, a * s0 + b * s1 in the lane of one
// position, a * s2 + b * s3 in the lane two positions on, and so on: the even positions
// of a group come from the image at the pair's offset, the odd ones from one further on,
// and each pair's broadcast serves all the groups. Products sum exactly into 32-bit lanes
// for `chunk` template rows at a time (the caller picks it so they fit), then into 64 bits.
template <int Groups>
inline void addRow(const short* s, const std::int32_t* c, int perRow, cv::v_int32x4* even, cv::v_int32x4* odd) {
    // One index, counting up to zero from the row's end, for both the image and the
    // pairs: the loop's upkeep is then one add and a branch.
    const short* sEnd = s + 2 * perRow;
    const std::int32_t* cEnd = c + 4 * perRow;
    for (std::ptrdiff_t j = -2 * static_cast<std::ptrdiff_t>(perRow); j != 0; j += 2) {
        const cv::v_int16x8 w = cv::v_reinterpret_as_s16(cv::v_load(cEnd + 2 * j));
        for (int g = 0; g < Groups; ++g) {
            even[g] = cv::v_dotprod(cv::v_load(sEnd + j + 8 * g), w) + even[g];
            odd[g] = cv::v_dotprod(cv::v_load(sEnd + j + 8 * g + 1), w) + odd[g];
        }
    }
}

// Kept apart from compute(): GCC, told by its callers what ranges the sizes take (that
// the loops run at least once), has allocated the inner loop's registers worse, with a
// copy of every accumulator on every pass, depending on how the caller was written.
#if defined(__clang__)
#define MOLVANE_KERNEL [[gnu::noinline]]
#elif defined(__GNUC__)
#define MOLVANE_KERNEL [[gnu::noipa]]
#else
#define MOLVANE_KERNEL
#endif

template <int Groups>
MOLVANE_KERNEL void blockProducts(const short* rows, std::ptrdiff_t stride, const std::int32_t* pairs, int perRow,
                                  int th, int chunk, int x, long long* products) {
    long long total[8 * Groups] = {};
    for (int ty0 = 0; ty0 < th; ty0 += chunk) {
        cv::v_int32x4 even[Groups], odd[Groups];
        for (int g = 0; g < Groups; ++g) even[g] = odd[g] = cv::v_setzero_s32();
        const int ty1 = std::min(th, ty0 + chunk);
        for (int ty = ty0; ty < ty1; ++ty)
            addRow<Groups>(rows + ty * stride + x, pairs + 4 * static_cast<std::ptrdiff_t>(ty) * perRow, perRow, even,
                           odd);
        for (int g = 0; g < Groups; ++g) {
            cv::v_int32x4 first, second;  // positions 0-3 and 4-7 of the group, in order
            cv::v_zip(even[g], odd[g], first, second);
            alignas(16) int lanes[8];
            cv::v_store_aligned(lanes, first);
            cv::v_store_aligned(lanes + 4, second);
            for (int i = 0; i < 8; ++i) total[8 * g + i] += lanes[i];
        }
    }
    std::copy_n(total, 8 * Groups, products + x);
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
    int* colSum = columnSum_.data();
    int* colSq = columnSquares_.data();
#if CV_SIMD128
    // Room for a row shorter than a block to run past its end.
    ensure(products_, static_cast<std::size_t>(rw) + 8, frameWidth + 8);
    long long* products = products_.data();
    // The template as pairs of neighbouring pixels, one pair per 32-bit lane (an odd
    // row's last pixel pairs with weight 0), and the image widened to 16 bits once, rather
    // than once for each template row that reads it.
    const int perRow = (tw + 1) / 2;
    const std::size_t count = static_cast<std::size_t>(perRow) * th;
    if (pairs_.size() < 4 * count) pairs_.resize(8 * count);
    for (int y = 0; y < th; ++y) {
        const uchar* t = templ.ptr<uchar>(y);
        for (int k = 0; k < perRow; ++k) {
            const int first = t[2 * k], second = 2 * k + 1 < tw ? t[2 * k + 1] : 0;
            std::fill_n(pairs_.begin() + 4 * (static_cast<std::ptrdiff_t>(y) * perRow + k), 4, first | (second << 16));
        }
    }
    const int H = image.rows;
    const std::ptrdiff_t stride = W + kRowPadding;
    // Sized by the search window, with room for it to double: a copy of the whole frame
    // would make every target of a lock cost memory in proportion to the frame.
    ensure(wide_, static_cast<std::size_t>(stride) * H, 2 * static_cast<std::size_t>(stride) * H);
    for (int y = 0; y < H; ++y) {
        const uchar* p = image.ptr<uchar>(y);
        short* q = wide_.data() + y * stride;
        int x = 0;
        for (; x + 8 <= W; x += 8) cv::v_store(q + x, cv::v_reinterpret_as_s16(cv::v_load_expand(p + x)));
        for (; x < W; ++x) q[x] = p[x];
        std::fill_n(q + W, kRowPadding, short{0});
    }
    // A template row's products fit 32 bits (255^2 each) as long as the row has at most
    // 33025 pixels, so as many rows as fit at a time, the whole template up to that size.
    const int chunk = static_cast<int>(std::clamp<long long>(0x7fffffffLL / (255LL * 255 * tw), 1, th));
#else
    ensure(rowProducts_, static_cast<std::size_t>(rw), frameWidth);
    ensure(products_, static_cast<std::size_t>(rw), frameWidth);
    int* rowProducts = rowProducts_.data();
    long long* products = products_.data();
    // Products of one template row fit 32 bits always, of the whole template while it
    // has at most 33025 pixels (255^2 each).
    const bool flushEveryRow = n * 255 * 255 > 0x7fffffffLL;
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

#if CV_SIMD128
        // Cross products, 48 positions at a time, then the rest in blocks of 32, 16 and 8;
        // the last block overlaps the one before it, or where the row is shorter than the
        // block, runs past its end.
        const short* rows = wide_.data() + r * stride;
        const std::int32_t* pairs = pairs_.data();
        auto block = [&](auto groups, int x) {
            constexpr int G = decltype(groups)::value;
            if (x + 8 * G > rw && rw >= 8 * G) x = rw - 8 * G;
            blockProducts<G>(rows, stride, pairs, perRow, th, chunk, x, products);
        };
        int x = 0;
        for (; rw - x >= 48; x += 48) block(std::integral_constant<int, 6>{}, x);
        while (x < rw) {
            const int rest = rw - x;
            if (rest > 24) {
                block(std::integral_constant<int, 4>{}, x);
                x += 32;
            } else if (rest > 8) {
                block(std::integral_constant<int, 2>{}, x);
                x += 16;
            } else {
                block(std::integral_constant<int, 1>{}, x);
                x += 8;
            }
        }
#else
        // Cross products one template pixel at a time, over the whole row.
        std::fill_n(rowProducts, rw, 0);
        std::fill_n(products, rw, 0LL);
        for (int ty = 0; ty < th; ++ty) {
            const uchar* t = templ.ptr<uchar>(ty);
            const uchar* p = image.ptr<uchar>(r + ty);
            for (int k = 0; k < tw; ++k) {
                const int tk = t[k];
                if (tk == 0) continue;
                const uchar* src = p + k;
                for (int x = 0; x < rw; ++x) rowProducts[x] += tk * src[x];
            }
            if (flushEveryRow || ty + 1 == th) {
                for (int x = 0; x < rw; ++x) products[x] += rowProducts[x];
                std::fill_n(rowProducts, rw, 0);
            }
        }
#endif

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
