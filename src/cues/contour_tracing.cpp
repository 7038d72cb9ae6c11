#include "cues/contour_tracing.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <opencv2/imgproc.hpp>

namespace molvane {

namespace {

// Border marks: a traced pixel, and a traced pixel whose right neighbour is empty.
constexpr signed char kTraced = 2;
constexpr signed char kTracedRightEdge = static_cast<signed char>(2 | -128);

// Chain codes: 0 right, then counter-clockwise in 45 degree steps (y grows downwards).
const cv::Point kCodeSteps[8] = {{1, 0}, {1, -1}, {0, -1}, {-1, -1}, {-1, 0}, {-1, 1}, {0, 1}, {1, 1}};

}  // namespace

// Follows the border that starts at `start` (an outer border: the pixel to its left is
// empty), marking it, and keeps only the points where the chain code changes.
void ContourTracer::trace(signed char* start, cv::Point origin, std::vector<cv::Point>& points) {
    int deltas[16];
    const int step = step_;
    const int d[8] = {1, -step + 1, -step, -step - 1, -1, step - 1, step, step + 1};
    for (int i = 0; i < 16; ++i) deltas[i] = d[i & 7];

    signed char* i0 = start;
    signed char* i1 = nullptr;
    int s = 4;
    int sEnd = 4;
    do {
        s = (s - 1) & 7;
        i1 = i0 + deltas[s];
    } while (*i1 == 0 && s != sEnd);

    cv::Point pt = origin;
    if (s == sEnd) {  // a lone pixel
        *i0 = kTracedRightEdge;
        points.push_back(pt);
        return;
    }
    signed char* i3 = i0;
    signed char* i4 = nullptr;
    int prevS = s ^ 4;
    for (;;) {
        sEnd = s;
        while (s < 15) {
            i4 = i3 + deltas[++s];
            if (*i4 != 0) break;
        }
        s &= 7;
        if (static_cast<unsigned>(s - 1) < static_cast<unsigned>(sEnd)) {
            *i3 = kTracedRightEdge;
        } else if (*i3 == 1) {
            *i3 = kTraced;
        }
        if (s != prevS) {
            points.push_back(pt);
            prevS = s;
        }
        pt += kCodeSteps[s];
        if (i4 == i0 && i3 == i1) break;
        i3 = i4;
        s = (s + 4) & 7;
    }
}

void ContourTracer::findOuter(const cv::Mat& binary, ContourList& out) {
    CV_Assert(binary.type() == CV_8UC1);
    // Lists of the last call go back to the spares, their storage kept.
    while (!out.empty()) {
        spare_.push_back(std::move(out.back()));
        out.pop_back();
    }
    const int w = binary.cols, h = binary.rows;
    if (w == 0 || h == 0) return;
    step_ = w + 2;
    // Eight spare bytes at the end let the scan below read whole words.
    const std::size_t bytes = static_cast<std::size_t>(step_) * (h + 2) + 8;
    if (image_.capacity() < bytes) image_.reserve(2 * bytes);  // room for a larger image later
    image_.resize(bytes);
    std::fill(image_.begin(), image_.begin() + step_, 0);
    std::fill(image_.begin() + static_cast<std::ptrdiff_t>(step_) * (h + 1), image_.end(), 0);
    for (int y = 0; y < h; ++y) {
        const unsigned char* src = binary.ptr<unsigned char>(y);
        signed char* dst = image_.data() + static_cast<std::size_t>(y + 1) * step_;
        dst[0] = 0;
        dst[w + 1] = 0;
        for (int x = 0; x < w; ++x) dst[x + 1] = static_cast<signed char>(src[x] != 0);
    }

    signed char* const base = image_.data();
    for (int y = 1; y <= h; ++y) {
        signed char* row = base + static_cast<std::size_t>(y) * step_;
        int lastBorder = 0;  // column of the last border pixel met in this row
        int prev = 0;
        for (int x = 1; x <= w; ++x) {
            // Runs of empty or untraced pixels are skipped eight at a time.
            if (prev == 0 || prev == 1) {
                const std::uint64_t same = prev == 0 ? 0 : 0x0101010101010101ULL;
                std::uint64_t word;
                while (x + 8 <= w + 1) {
                    std::memcpy(&word, row + x, 8);
                    if (word != same) break;
                    x += 8;
                }
                if (x > w) break;
            }
            const int p = row[x];
            if (p == prev) continue;
            if (prev == 0 && p == 1 && row[lastBorder] <= 0) {
                // An outer border not inside another outer border.
                std::vector<cv::Point> points;
                if (!spare_.empty()) {
                    points = std::move(spare_.back());
                    spare_.pop_back();
                    points.clear();
                }
                trace(row + x, cv::Point(x - 1, y - 1), points);
                out.push_back(std::move(points));
                lastBorder = x;
                prev = row[x];
                continue;
            }
            prev = p;
            if (prev & -2) lastBorder = x;
        }
    }
    // OpenCV lists the contours last found first.
    std::reverse(out.begin(), out.end());
}

void ContourTracer::fill(const std::vector<cv::Point>& contour, cv::Mat& image, unsigned char value, cv::Point offset) {
    CV_Assert(image.type() == CV_8UC1);
    if (contour.empty()) return;
    // A polygon through the centres of a shape's border pixels, filled with its outline,
    // covers exactly the shape and whatever it encloses: the 8-connected component the
    // contour was traced around, plus the empty pixels that cannot reach the outside of
    // its box 4-connected.
    const cv::Rect box = cv::boundingRect(contour);
    const int bw = box.width + 2, bh = box.height + 2;
    const std::size_t cells = static_cast<std::size_t>(bw) * bh;
    if (shape_.capacity() < cells) {  // room for a larger shape later
        shape_.reserve(2 * cells);
        stack_.reserve(2 * cells);
    }
    shape_.assign(cells, 0);
    constexpr unsigned char kShape = 1, kOutside = 2;
    auto at = [&](int x, int y) -> unsigned char& {  // shape_ at tracer coordinates
        return shape_[static_cast<std::size_t>(y - box.y + 1) * bw + (x - box.x + 1)];
    };
    auto traced = [&](int x, int y) {  // non-zero in the traced image
        return image_[static_cast<std::size_t>(y + 1) * step_ + (x + 1)] != 0;
    };
    stack_.clear();
    stack_.push_back(contour.front().y * step_ + contour.front().x);
    at(contour.front().x, contour.front().y) = kShape;
    while (!stack_.empty()) {
        const int v = stack_.back();
        stack_.pop_back();
        const int x = v % step_, y = v / step_;
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                const int nx = x + dx, ny = y + dy;
                if (nx < box.x || ny < box.y || nx >= box.x + box.width || ny >= box.y + box.height) continue;
                if (at(nx, ny) != 0 || !traced(nx, ny)) continue;
                at(nx, ny) = kShape;
                stack_.push_back(ny * step_ + nx);
            }
        }
    }
    // The outside, from the border of the padded box.
    stack_.clear();
    shape_[0] = kOutside;
    stack_.push_back(0);
    while (!stack_.empty()) {
        const int v = stack_.back();
        stack_.pop_back();
        const int x = v % bw, y = v / bw;
        const int nx[4] = {x - 1, x + 1, x, x};
        const int ny[4] = {y, y, y - 1, y + 1};
        for (int k = 0; k < 4; ++k) {
            if (nx[k] < 0 || ny[k] < 0 || nx[k] >= bw || ny[k] >= bh) continue;
            unsigned char& c = shape_[static_cast<std::size_t>(ny[k]) * bw + nx[k]];
            if (c != 0) continue;
            c = kOutside;
            stack_.push_back(ny[k] * bw + nx[k]);
        }
    }
    const cv::Rect target = (box + offset) & cv::Rect(0, 0, image.cols, image.rows);
    for (int y = target.y; y < target.y + target.height; ++y) {
        unsigned char* row = image.ptr<unsigned char>(y);
        const unsigned char* s = &shape_[static_cast<std::size_t>(y - offset.y - box.y + 1) * bw + 1 - box.x];
        for (int x = target.x; x < target.x + target.width; ++x) {
            if (s[x - offset.x] != kOutside) row[x] = value;
        }
    }
}

}  // namespace molvane
