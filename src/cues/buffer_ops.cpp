#include "cues/buffer_ops.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

namespace molvane {

namespace {

struct MaxOp {
    static uchar apply(uchar a, uchar b) { return std::max(a, b); }
#if CV_SIMD
    static cv::v_uint8 apply(const cv::v_uint8& a, const cv::v_uint8& b) { return cv::v_max(a, b); }
#endif
};

struct MinOp {
    static uchar apply(uchar a, uchar b) { return std::min(a, b); }
#if CV_SIMD
    static cv::v_uint8 apply(const cv::v_uint8& a, const cv::v_uint8& b) { return cv::v_min(a, b); }
#endif
};

// One dilation (MaxOp) or erosion (MinOp) with the cross: each pixel becomes the max or
// min of itself and its 4-neighbours inside the image. `dst` must not share `src`'s data.
template <class Op>
void crossPass(const cv::Mat& src, cv::Mat& dst) {
    const int rows = src.rows;
    const int cols = src.cols;
    dst.create(rows, cols, CV_8UC1);
    for (int y = 0; y < rows; ++y) {
        const uchar* c = src.ptr<uchar>(y);
        // A missing neighbour row is replaced by the row itself, which never changes a max or min.
        const uchar* u = y > 0 ? src.ptr<uchar>(y - 1) : c;
        const uchar* d = y + 1 < rows ? src.ptr<uchar>(y + 1) : c;
        uchar* o = dst.ptr<uchar>(y);
        if (cols == 1) {
            o[0] = Op::apply(c[0], Op::apply(u[0], d[0]));
            continue;
        }
        o[0] = Op::apply(Op::apply(c[0], c[1]), Op::apply(u[0], d[0]));
        int x = 1;
#if CV_SIMD
        const int lanes = cv::v_uint8::nlanes;
        auto vectorAt = [&](int at) {
            const cv::v_uint8 h = Op::apply(cv::vx_load(c + at - 1), cv::vx_load(c + at + 1));
            const cv::v_uint8 v = Op::apply(cv::vx_load(u + at), cv::vx_load(d + at));
            cv::v_store(o + at, Op::apply(Op::apply(h, v), cv::vx_load(c + at)));
        };
        for (; x + lanes <= cols - 1; x += lanes) vectorAt(x);
        // The rest of the row as one more vector that overlaps the last one (dst is not src,
        // so recomputing a few pixels is harmless).
        if (x < cols - 1 && x > lanes) {
            vectorAt(cols - 1 - lanes);
            x = cols - 1;
        }
#endif
        for (; x < cols - 1; ++x) {
            o[x] = Op::apply(Op::apply(Op::apply(c[x - 1], c[x + 1]), Op::apply(u[x], d[x])), c[x]);
        }
        const int l = cols - 1;
        o[l] = Op::apply(Op::apply(c[l - 1], c[l]), Op::apply(u[l], d[l]));
    }
}

}  // namespace

bool isCross3(const cv::Mat& kernel) {
    if (kernel.rows != 3 || kernel.cols != 3 || kernel.type() != CV_8UC1) return false;
    static const uchar kCross[3][3] = {{0, 1, 0}, {1, 1, 1}, {0, 1, 0}};
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 3; ++x) {
            if ((kernel.at<uchar>(y, x) != 0) != (kCross[y][x] != 0)) return false;
        }
    }
    return true;
}

void fitScratch(cv::Mat& m, std::vector<unsigned char>& storage, cv::Size size, int type) {
    const std::size_t bytes = static_cast<std::size_t>(size.area()) * CV_ELEM_SIZE(type);
    if (bytes == 0) {
        m.release();
        return;
    }
    // Twice what is needed when it grows, so that a window a little larger than any before
    // does not allocate again.
    if (storage.size() < bytes) storage.resize(2 * bytes);
    if (m.data == storage.data() && m.size() == size && m.type() == type && m.isContinuous()) return;
    m = cv::Mat(size, type, storage.data());
}

void fillBytes(cv::Mat image, unsigned char value) {
    CV_Assert(image.type() == CV_8UC1);
    for (int y = 0; y < image.rows; ++y)
        std::memset(image.ptr<unsigned char>(y), value, static_cast<std::size_t>(image.cols));
}

void openOrClose(cv::Mat& image, int op, const cv::Mat& kernel, cv::Mat& scratch) {
    if (op != cv::MORPH_OPEN && op != cv::MORPH_CLOSE) throw std::invalid_argument("openOrClose: open or close only");
    if (image.empty()) return;
    if (image.type() == CV_8UC1 && isCross3(kernel)) {
        if (op == cv::MORPH_CLOSE) {
            crossPass<MaxOp>(image, scratch);
            crossPass<MinOp>(scratch, image);
        } else {
            crossPass<MinOp>(image, scratch);
            crossPass<MaxOp>(scratch, image);
        }
        return;
    }
    // What cv::morphologyEx does for one iteration, minus its own temporary image.
    if (op == cv::MORPH_CLOSE) {
        cv::dilate(image, scratch, kernel);
        cv::erode(scratch, image, kernel);
    } else {
        cv::erode(image, scratch, kernel);
        cv::dilate(scratch, image, kernel);
    }
}

void splitChannels(const cv::Mat& src, std::vector<cv::Mat>& planes) {
    if (src.empty()) {
        planes.clear();  // as cv::split leaves it
        return;
    }
    const int cn = src.channels();
    planes.resize(static_cast<std::size_t>(cn));
    if (cn == 1) {
        src.copyTo(planes[0]);
        return;
    }
    // mixChannels takes at most this many pairs on the stack; wider images are rare.
    constexpr int kMaxChannels = 4;
    if (cn > kMaxChannels) {
        cv::split(src, planes);
        return;
    }
    int fromTo[2 * kMaxChannels];
    for (int i = 0; i < cn; ++i) {
        planes[static_cast<std::size_t>(i)].create(src.size(), src.depth());
        fromTo[2 * i] = i;
        fromTo[2 * i + 1] = i;
    }
    cv::mixChannels(&src, 1, planes.data(), static_cast<std::size_t>(cn), fromTo, static_cast<std::size_t>(cn));
}

void fillContour(cv::Mat& image, const std::vector<cv::Point>& contour, const cv::Scalar& color, cv::Point offset) {
    if (contour.empty()) return;
    const cv::Point* points = contour.data();
    const int count = static_cast<int>(contour.size());
    cv::fillPoly(image, &points, &count, 1, color, cv::LINE_8, 0, offset);
}

void signedDifference(cv::InputArray image, cv::InputArray level, int polarity, cv::OutputArray out) {
    if (polarity > 0) {
        cv::subtract(image, level, out);
    } else if (polarity < 0) {
        cv::subtract(level, image, out);
    } else {
        cv::absdiff(image, level, out);
    }
}

double meanAbsoluteChange(const cv::Mat& a, const cv::Mat& b, const cv::Rect& r) {
    long long total = 0;
    for (int y = r.y; y < r.y + r.height; ++y) {
        const uchar* pa = a.ptr<uchar>(y);
        const uchar* pb = b.ptr<uchar>(y);
        for (int x = r.x; x < r.x + r.width; ++x) total += std::abs(static_cast<int>(pa[x]) - pb[x]);
    }
    return static_cast<double>(total) / (static_cast<double>(r.width) * r.height);
}

void thresholdBinary(const cv::Mat& src, cv::Mat& dst, double threshold, double maxValue) {
    dst.create(src.size(), src.type());
    inCallingThreadBands(src.rows, src.cols * src.channels(), [&](const cv::Range& rows) {
        cv::Mat band = dst.rowRange(rows);  // a view: the threshold writes in place
        cv::threshold(src.rowRange(rows), band, threshold, maxValue, cv::THRESH_BINARY);
    });
}

}  // namespace molvane
