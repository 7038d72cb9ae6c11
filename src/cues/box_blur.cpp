#include "cues/box_blur.hpp"

#include <algorithm>

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

namespace molvane {

namespace {

// Adds `in` and subtracts `out`, element by element: one row of the box enters its column
// sums while another leaves.
void slideRows(int* __restrict sums, const unsigned char* __restrict in, const unsigned char* __restrict out, int n) {
    for (int j = 0; j < n; ++j) sums[j] += static_cast<int>(in[j]) - static_cast<int>(out[j]);
}

void addRow(int* __restrict sums, const unsigned char* __restrict in, int n) {
    for (int j = 0; j < n; ++j) sums[j] += in[j];
}

// One output row of box sums from the column sums, one channel: box[0] = first, and each
// next box adds the column it reaches and drops the one it leaves, a running sum taken four
// at a time.
void slideAcross(const int* __restrict sums, int ksize, int first, int* __restrict box, int w) {
    box[0] = first;
    const int* ahead = sums + ksize;
    int x = 1;
#if CV_SIMD128
    cv::v_int32x4 carry = cv::v_setall_s32(first);
    for (; x + 4 <= w; x += 4) {
        cv::v_int32x4 d = cv::v_load(ahead + x - 1) - cv::v_load(sums + x - 1);
        d += cv::v_rotate_left<1>(d);
        d += cv::v_rotate_left<2>(d);
        d += carry;
        cv::v_store(box + x, d);
        carry = cv::v_setall_s32(cv::v_extract_n<3>(d));
    }
#endif
    for (; x < w; ++x) box[x] = box[x - 1] + ahead[x - 1] - sums[x - 1];
}

// cv::blur divides a box's sum by a fixed-point multiplication (boxes up to 256 pixels) or
// a rounded floating-point scale; for an odd box both give the mean rounded to the nearest
// integer, since the mean is never halfway between two. So does a float multiplication:
// its error (below 4e-5 for a mean up to 255) stays far from the nearest halfway point (at
// least 1 / (2 * area) away, 1.3e-4 for the largest box of 61 x 61 that a float still
// handles exactly enough; larger boxes take a double).
void divideRow(const int* __restrict sums, unsigned char* __restrict out, int n, int area) {
    if (area <= 61 * 61) {
        const float scale = 1.f / static_cast<float>(area);
        for (int j = 0; j < n; ++j)
            out[j] = static_cast<unsigned char>(static_cast<int>(static_cast<float>(sums[j]) * scale + 0.5f));
    } else {
        const double scale = 1.0 / area;
        for (int j = 0; j < n; ++j) out[j] = static_cast<unsigned char>(static_cast<int>(sums[j] * scale + 0.5));
    }
}

}  // namespace

void BoxBlur::apply(const cv::Mat& src, int ksize, cv::Mat& out) {
    CV_Assert(src.depth() == CV_8U && ksize >= 1 && ksize % 2 == 1);
    // Sums beyond 32 bits, and whatever cv::blur does for them, are left to cv::blur.
    if (static_cast<long long>(ksize) * ksize > (1 << 23) || src.empty()) {
        cv::blur(src, out, cv::Size(ksize, ksize));
        return;
    }
    const int cn = src.channels();
    const int w = src.cols, h = src.rows, a = ksize / 2;
    cv::Size whole;
    cv::Point ofs;
    src.locateROI(whole, ofs);
    const std::size_t step = src.step[0];
    const unsigned char* origin = src.data - ofs.y * step - static_cast<std::size_t>(ofs.x) * cn;

    const int ew = w + 2 * a;  // extended columns
    const int eh = h + 2 * a;  // extended rows
    // Room for a view as large as the whole frame from the first call on, so that a
    // window that grows later does not allocate.
    if (columnSums_.capacity() < static_cast<std::size_t>(ew) * cn) {
        const std::size_t most = static_cast<std::size_t>(std::max(whole.width, w) + 2 * a);
        columnSource_.reserve(most);
        columnSums_.reserve(most * cn);
        boxSums_.reserve(most * cn);
    }
    if (rows_.capacity() < static_cast<std::size_t>(eh))
        rows_.reserve(static_cast<std::size_t>(std::max(whole.height, h) + 2 * a));
    columnSource_.resize(static_cast<std::size_t>(ew));
    for (int i = 0; i < ew; ++i) {
        columnSource_[static_cast<std::size_t>(i)] =
            cv::borderInterpolate(ofs.x - a + i, whole.width, cv::BORDER_REFLECT_101);
    }
    rows_.resize(static_cast<std::size_t>(eh));
    for (int i = 0; i < eh; ++i) {
        rows_[static_cast<std::size_t>(i)] =
            origin +
            static_cast<std::size_t>(cv::borderInterpolate(ofs.y - a + i, whole.height, cv::BORDER_REFLECT_101)) * step;
    }
    // Extended columns [left, right) read the frame contiguously; the others are reflected.
    const int left = std::clamp(a - ofs.x, 0, ew);
    const int right = std::clamp(whole.width - ofs.x + a, left, ew);
    const int firstInside = left < right ? columnSource_[static_cast<std::size_t>(left)] : 0;

    const int n = ew * cn;
    columnSums_.assign(static_cast<std::size_t>(n), 0);
    boxSums_.resize(static_cast<std::size_t>(w) * cn);
    int* sums = columnSums_.data();
    int* box = boxSums_.data();
    const int inside = (right - left) * cn;
    // One row enters the column sums (`out` null) or one enters while another leaves.
    auto slide = [&](const unsigned char* in, const unsigned char* out) {
        for (int i = 0; i < ew; ++i) {
            if (i == left) {
                i = right - 1;
                continue;
            }
            const int src = columnSource_[static_cast<std::size_t>(i)] * cn;
            for (int c = 0; c < cn; ++c) sums[i * cn + c] += in[src + c] - (out ? out[src + c] : 0);
        }
        const std::size_t first = static_cast<std::size_t>(firstInside) * cn;
        if (out) {
            slideRows(sums + left * cn, in + first, out + first, inside);
        } else {
            addRow(sums + left * cn, in + first, inside);
        }
    };

    out.create(h, w, src.type());
    const int area = ksize * ksize;
    const int* ahead = sums + ksize * cn;
    for (int r = 0; r < ksize; ++r) slide(rows_[static_cast<std::size_t>(r)], nullptr);
    for (int y = 0; y < h; ++y) {
        if (y > 0) slide(rows_[static_cast<std::size_t>(y + ksize - 1)], rows_[static_cast<std::size_t>(y - 1)]);
        for (int c = 0; c < cn; ++c) {
            int s = 0;
            for (int i = 0; i < ksize; ++i) s += sums[i * cn + c];
            box[c] = s;
        }
        if (cn == 1) {
            slideAcross(sums, ksize, box[0], box, w);
        } else {
            for (int e = cn; e < w * cn; ++e) box[e] = box[e - cn] + ahead[e - cn] - sums[e - cn];
        }
        divideRow(box, out.ptr<unsigned char>(y), w * cn, area);
    }
}

}  // namespace molvane
