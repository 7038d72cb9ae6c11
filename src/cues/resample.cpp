#include "cues/resample.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

namespace molvane {

namespace {

// cvRound of a float: to nearest, ties to even (the default rounding mode), saturated to a
// byte as cv::saturate_cast<uchar> does.
inline uchar roundToByte(float v) { return static_cast<uchar>(std::clamp<long>(std::lrintf(v), 0, 255)); }

inline short roundToShort(float v) { return static_cast<short>(std::clamp<long>(std::lrintf(v), -32768, 32767)); }

inline int floorToInt(double v) { return static_cast<int>(std::floor(v)); }
inline int ceilToInt(double v) { return static_cast<int>(std::ceil(v)); }

// The source cells one destination cell of a true area resize covers along one axis, as
// OpenCV lays out its decimation table: a partial cell before the whole ones, the whole
// ones, a partial cell after them, each with its weight.
struct AreaSpan {
    bool hasLead = false;
    float lead = 0.f;  // weight of cell wholeBegin - 1
    int wholeBegin = 0, wholeEnd = 0;
    float whole = 0.f;
    bool hasTail = false;
    float tail = 0.f;  // weight of cell wholeEnd
};

AreaSpan areaSpan(int d, int sourceCells, double scale) {
    AreaSpan s;
    const double f1 = d * scale;
    const double f2 = f1 + scale;
    const double cell = std::min(scale, sourceCells - f1);
    int s1 = ceilToInt(f1), s2 = floorToInt(f2);
    s2 = std::min(s2, sourceCells - 1);
    s1 = std::min(s1, s2);
    s.hasLead = s1 - f1 > 1e-3;
    s.lead = static_cast<float>((s1 - f1) / cell);
    s.wholeBegin = s1;
    s.wholeEnd = s2;
    s.whole = static_cast<float>(1.0 / cell);
    s.hasTail = f2 - s2 > 1e-3;
    s.tail = static_cast<float>(std::min(std::min(f2 - s2, 1.), cell) / cell);
    return s;
}

// Whole-number shrink factors: plain block means (a 2 x 2 block of a one, three or four
// channel image rounds half up in integers, any other block through a float product).
void blockMean(const cv::Mat& src, cv::Mat& dst, int fx, int fy) {
    const int cn = src.channels();
    const int area = fx * fy;
    const float scale = 1.f / static_cast<float>(area);
    const bool twoByTwo = fx == 2 && fy == 2 && (cn == 1 || cn == 3 || cn == 4);
    for (int dy = 0; dy < dst.rows; ++dy) {
        uchar* out = dst.ptr<uchar>(dy);
        for (int dx = 0; dx < dst.cols; ++dx) {
            for (int c = 0; c < cn; ++c) {
                int sum = 0;
                for (int k = 0; k < fy; ++k) {
                    const uchar* row = src.ptr<uchar>(dy * fy + k) + dx * fx * cn + c;
                    for (int j = 0; j < fx; ++j) sum += row[j * cn];
                }
                out[dx * cn + c] =
                    twoByTwo ? static_cast<uchar>((sum + 2) >> 2) : roundToByte(static_cast<float>(sum) * scale);
            }
        }
    }
}

// Destination columns handled per pass: their spans or taps and their sums stay on the
// stack.
constexpr int kColumnsPerPass = 64;

// A true area resize, separable as OpenCV computes it: each covered source row summed
// across each destination cell's columns, the rows then weighted and summed, in OpenCV's
// order and float precision.
template <int CN>
void trueArea(const cv::Mat& src, cv::Mat& dst, double scaleX, double scaleY) {
    AreaSpan xs[kColumnsPerPass];
    float sum[kColumnsPerPass * CN];
    for (int x0 = 0; x0 < dst.cols; x0 += kColumnsPerPass) {
        const int nx = std::min(kColumnsPerPass, dst.cols - x0);
        for (int i = 0; i < nx; ++i) xs[i] = areaSpan(x0 + i, src.cols, scaleX);
        for (int dy = 0; dy < dst.rows; ++dy) {
            const AreaSpan ys = areaSpan(dy, src.rows, scaleY);
            std::fill_n(sum, nx * CN, 0.f);
            const auto addRow = [&](int sy, float beta) {
                const uchar* row = src.ptr<uchar>(sy);
                for (int i = 0; i < nx; ++i) {
                    const AreaSpan& span = xs[i];
                    float b[CN] = {};
                    if (span.hasLead) {
                        const uchar* p = row + (span.wholeBegin - 1) * CN;
                        for (int c = 0; c < CN; ++c) b[c] += p[c] * span.lead;
                    }
                    for (int x = span.wholeBegin; x < span.wholeEnd; ++x) {
                        const uchar* p = row + x * CN;
                        for (int c = 0; c < CN; ++c) b[c] += p[c] * span.whole;
                    }
                    if (span.hasTail) {
                        const uchar* p = row + span.wholeEnd * CN;
                        for (int c = 0; c < CN; ++c) b[c] += p[c] * span.tail;
                    }
                    for (int c = 0; c < CN; ++c) sum[i * CN + c] += beta * b[c];
                }
            };
            if (ys.hasLead) addRow(ys.wholeBegin - 1, ys.lead);
            for (int sy = ys.wholeBegin; sy < ys.wholeEnd; ++sy) addRow(sy, ys.whole);
            if (ys.hasTail) addRow(ys.wholeEnd, ys.tail);
            uchar* out = dst.ptr<uchar>(dy) + x0 * CN;
            for (int k = 0; k < nx * CN; ++k) out[k] = roundToByte(sum[k]);
        }
    }
}

// The two source cells and the 11-bit fixed-point weights of one destination cell of
// OpenCV's bilinear resize of 8-bit images (with the area variant of the weights that
// INTER_AREA uses when it enlarges).
struct LinearTap {
    int s = 0;
    short w0 = 0, w1 = 0;
    bool edge = false;  // at the last source cell: that cell alone, at full weight
};

constexpr float kCoefScale = 2048.f;

void tapPosition(int d, double scale, double invScale, bool areaMode, int& s, float& f) {
    if (!areaMode) {
        f = static_cast<float>((d + 0.5) * scale - 0.5);
        s = static_cast<int>(std::floor(f));
        f -= static_cast<float>(s);
    } else {
        s = floorToInt(d * scale);
        f = static_cast<float>((d + 1) - (s + 1) * invScale);
        f = f <= 0 ? 0.f : f - static_cast<float>(std::floor(f));
    }
}

LinearTap columnTap(int d, int sourceCells, double scale, double invScale, bool areaMode) {
    LinearTap t;
    float f = 0.f;
    tapPosition(d, scale, invScale, areaMode, t.s, f);
    if (t.s < 0) {
        f = 0.f;
        t.s = 0;
    }
    if (t.s + 1 >= sourceCells) {
        t.edge = true;
        f = 0.f;
        t.s = sourceCells - 1;
    }
    t.w0 = roundToShort((1.f - f) * kCoefScale);
    t.w1 = roundToShort(f * kCoefScale);
    return t;
}

// Rows are not clamped before the weights are taken, only when they are read.
LinearTap rowTap(int d, double scale, double invScale, bool areaMode) {
    LinearTap t;
    float f = 0.f;
    tapPosition(d, scale, invScale, areaMode, t.s, f);
    t.w0 = roundToShort((1.f - f) * kCoefScale);
    t.w1 = roundToShort(f * kCoefScale);
    return t;
}

template <int CN>
void bilinear(const cv::Mat& src, cv::Mat& dst, double scaleX, double scaleY, double invX, double invY, bool areaMode) {
    LinearTap xs[kColumnsPerPass];
    for (int x0 = 0; x0 < dst.cols; x0 += kColumnsPerPass) {
        const int nx = std::min(kColumnsPerPass, dst.cols - x0);
        for (int i = 0; i < nx; ++i) xs[i] = columnTap(x0 + i, src.cols, scaleX, invX, areaMode);
        for (int dy = 0; dy < dst.rows; ++dy) {
            const LinearTap ty = rowTap(dy, scaleY, invY, areaMode);
            const uchar* r0 = src.ptr<uchar>(std::clamp(ty.s, 0, src.rows - 1));
            const uchar* r1 = src.ptr<uchar>(std::clamp(ty.s + 1, 0, src.rows - 1));
            uchar* out = dst.ptr<uchar>(dy) + x0 * CN;
            for (int i = 0; i < nx; ++i) {
                const LinearTap& tx = xs[i];
                const int i0 = tx.s * CN;
                for (int c = 0; c < CN; ++c) {
                    int h0, h1;
                    if (tx.edge) {
                        h0 = r0[i0 + c] * 2048;
                        h1 = r1[i0 + c] * 2048;
                    } else {
                        h0 = r0[i0 + c] * tx.w0 + r0[i0 + CN + c] * tx.w1;
                        h1 = r1[i0 + c] * tx.w0 + r1[i0 + CN + c] * tx.w1;
                    }
                    // Vertical pass as OpenCV's vector code does it: high halves of 16-bit
                    // products, then a rounding shift.
                    const int v = (((ty.w0 * (h0 >> 4)) >> 16) + ((ty.w1 * (h1 >> 4)) >> 16) + 2) >> 2;
                    out[i * CN + c] = static_cast<uchar>(std::clamp(v, 0, 255));
                }
            }
        }
    }
}

// Runs `run<CN>` for the image's channel count (one to four).
template <template <int> class Kernel, typename... Args>
void byChannels(int cn, Args&&... args) {
    switch (cn) {
        case 1:
            Kernel<1>::run(args...);
            break;
        case 2:
            Kernel<2>::run(args...);
            break;
        case 3:
            Kernel<3>::run(args...);
            break;
        default:
            Kernel<4>::run(args...);
            break;
    }
}

template <int CN>
struct TrueArea {
    static void run(const cv::Mat& src, cv::Mat& dst, double sx, double sy) { trueArea<CN>(src, dst, sx, sy); }
};

template <int CN>
struct Bilinear {
    static void run(const cv::Mat& src, cv::Mat& dst, double sx, double sy, double ix, double iy, bool area) {
        bilinear<CN>(src, dst, sx, sy, ix, iy, area);
    }
};

void requireBytes(const cv::Mat& src, const char* what) {
    if (src.depth() != CV_8U || src.channels() > 4 || src.dims > 2) {
        throw std::invalid_argument(std::string(what) + ": 8-bit images of one to four channels only");
    }
}

void prepare(const cv::Mat& src, cv::Mat& dst, cv::Size size) {
    if (dst.size() != size || dst.type() != src.type()) dst.create(size, src.type());
    CV_Assert(dst.data != src.data);
}

}  // namespace

void resizeInto(const cv::Mat& src, cv::Mat& dst, cv::Size size, int interpolation) {
    requireBytes(src, "resizeInto");
    if (interpolation != cv::INTER_AREA && interpolation != cv::INTER_LINEAR) {
        throw std::invalid_argument("resizeInto: INTER_AREA or INTER_LINEAR only");
    }
    if (src.empty() || size.width <= 0 || size.height <= 0) throw std::invalid_argument("resizeInto: empty size");
    prepare(src, dst, size);
    if (size == src.size()) {
        src.copyTo(dst);
        return;
    }
    // The factors exactly as cv::resize derives them from the sizes.
    const double invX = static_cast<double>(size.width) / src.cols;
    const double invY = static_cast<double>(size.height) / src.rows;
    const double scaleX = 1. / invX, scaleY = 1. / invY;
    const int ix = static_cast<int>(std::lround(scaleX)), iy = static_cast<int>(std::lround(scaleY));
    const bool whole = std::abs(scaleX - ix) < DBL_EPSILON && std::abs(scaleY - iy) < DBL_EPSILON;
    if (interpolation == cv::INTER_LINEAR && whole && ix == 2 && iy == 2) interpolation = cv::INTER_AREA;
    if (interpolation == cv::INTER_AREA && scaleX >= 1 && scaleY >= 1) {
        if (whole) {
            blockMean(src, dst, ix, iy);
        } else {
            byChannels<TrueArea>(src.channels(), src, dst, scaleX, scaleY);
        }
        return;
    }
    byChannels<Bilinear>(src.channels(), src, dst, scaleX, scaleY, invX, invY, interpolation == cv::INTER_AREA);
}

void halveInto(const cv::Mat& src, cv::Mat& dst) {
    requireBytes(src, "halveInto");
    if (src.cols < 2 || src.rows < 2) throw std::invalid_argument("halveInto: needs two pixels on each side");
    const cv::Size size = halvedSize(src.size());
    prepare(src, dst, size);
    const int cn = src.channels();
    const bool fast = cn == 1 || cn == 3 || cn == 4;
    for (int dy = 0; dy < size.height; ++dy) {
        uchar* out = dst.ptr<uchar>(dy);
        const int sy = 2 * dy;
        const bool bothRows = sy + 1 < src.rows;
        for (int dx = 0; dx < size.width; ++dx) {
            const int sx = 2 * dx;
            const bool bothCols = sx + 1 < src.cols;
            for (int c = 0; c < cn; ++c) {
                int sum = 0, count = 0;
                for (int k = 0; k < 2 && sy + k < src.rows; ++k) {
                    const uchar* row = src.ptr<uchar>(sy + k) + c;
                    for (int j = 0; j < 2 && sx + j < src.cols; ++j, ++count) sum += row[(sx + j) * cn];
                }
                // A full block rounds as the integer mean (half up for the common channel
                // counts); a block cut short by an odd side is averaged in float.
                if (bothRows && bothCols) {
                    out[dx * cn + c] = fast ? static_cast<uchar>((sum + 2) >> 2) : roundToByte(sum * 0.25f);
                } else {
                    out[dx * cn + c] = roundToByte(static_cast<float>(sum) / static_cast<float>(count));
                }
            }
        }
    }
}

void halveNearestInto(const cv::Mat& src, cv::Mat& dst) {
    CV_Assert(src.type() == CV_8UC1 && src.cols >= 2 && src.rows >= 2);
    const cv::Size size = halvedSize(src.size());
    dst.create(size, CV_8UC1);
    // cv::resize picks source pixel floor(2 x), clamped to the last one (never reached for
    // sides rounded as halvedSize rounds them, kept for safety).
    for (int y = 0; y < size.height; ++y) {
        const unsigned char* in = src.ptr<unsigned char>(std::min(2 * y, src.rows - 1));
        unsigned char* out = dst.ptr<unsigned char>(y);
        for (int x = 0; x < size.width; ++x) out[x] = in[std::min(2 * x, src.cols - 1)];
    }
}

cv::Size halvedSize(cv::Size size) {
    // The output size cv::resize takes for a factor of 0.5: halves rounded to even.
    return {static_cast<int>(std::lrint(size.width * 0.5)), static_cast<int>(std::lrint(size.height * 0.5))};
}

void fitWithCapacity(cv::Mat& m, cv::Size size, int type) {
    if (m.size() == size && m.type() == type && m.isContinuous() && !m.empty()) return;
    const std::size_t bytes = static_cast<std::size_t>(size.area()) * CV_ELEM_SIZE(type);
    if (bytes == 0) {
        m.release();
        return;
    }
    if (!(m.u && m.u->refcount == 1 && m.u->data && m.u->size >= bytes)) {
        // Nothing to reuse (or shared with someone else): room for growth, kept from now on.
        m = cv::Mat(1, static_cast<int>(2 * bytes), CV_8UC1);
    }
    // A header over the start of the memory `m` owns, holding its own reference to it.
    cv::UMatData* u = m.u;
    CV_XADD(&u->refcount, 1);
    cv::Mat view(size, type, u->data);
    view.u = u;
    m = view;
}

}  // namespace molvane
