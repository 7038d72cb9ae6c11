#include "cues/morphology.hpp"

#include <algorithm>
#include <cstring>

#include <opencv2/imgproc.hpp>

#include "cues/resample.hpp"

namespace molvane {

namespace {

struct MaxOp {
    static constexpr unsigned char kNeutral = 0;
    static unsigned char apply(unsigned char a, unsigned char b) { return std::max(a, b); }
};

struct MinOp {
    static constexpr unsigned char kNeutral = 255;
    static unsigned char apply(unsigned char a, unsigned char b) { return std::min(a, b); }
};

template <class Op>
void combine(unsigned char* __restrict acc, const unsigned char* __restrict in, int n) {
    for (int i = 0; i < n; ++i) acc[i] = Op::apply(acc[i], in[i]);
}

bool sameElement(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return false;
    for (int y = 0; y < a.rows; ++y) {
        if (std::memcmp(a.ptr(y), b.ptr(y), static_cast<std::size_t>(a.cols)) != 0) return false;
    }
    return true;
}

}  // namespace

bool Morphology::prepare(const cv::Mat& src, const cv::Mat& element) {
    if (src.type() != CV_8UC1 || element.type() != CV_8UC1 || element.empty()) return false;
    if (!sameElement(element, element_)) {
        // Kept with room for the largest element so far: an element that changes size
        // back and forth does not allocate each time.
        fitWithCapacity(element_, element.size(), CV_8UC1);
        element.copyTo(element_);
        runs_.clear();
        lengths_.clear();
        // OpenCV's default anchor: the element's centre.
        const int ax = element.cols / 2;
        const int ay = element.rows / 2;
        for (int y = 0; y < element.rows; ++y) {
            const unsigned char* row = element.ptr(y);
            for (int x = 0; x < element.cols;) {
                if (!row[x]) {
                    ++x;
                    continue;
                }
                const int start = x;
                while (x < element.cols && row[x]) ++x;
                runs_.push_back({y - ay, start - ax, x - start, 0});
                lengths_.push_back(x - start);
            }
        }
        std::sort(lengths_.begin(), lengths_.end());
        lengths_.erase(std::unique(lengths_.begin(), lengths_.end()), lengths_.end());
        above_ = 0;
        below_ = 0;
        for (Run& r : runs_) {
            r.lengthIndex =
                static_cast<int>(std::lower_bound(lengths_.begin(), lengths_.end(), r.length) - lengths_.begin());
            above_ = std::max(above_, -r.dy);
            below_ = std::max(below_, r.dy);
        }
        pad_ = element.cols;
    }
    // An element without pixels is left to OpenCV, whatever it makes of it.
    return !runs_.empty();
}

// Each source row is padded with the neutral value and reduced, once, to the extreme of
// every run length starting at each position; an output row then takes the extreme of one
// such value per run. Source rows are kept in a ring as tall as the element, each computed
// before the output row that overwrites it (so `dst` may be `src`).
template <class Op>
void Morphology::apply(const cv::Mat& src, cv::Mat& dst) {
    const int rows = src.rows;
    const int cols = src.cols;
    const int ring = element_.rows;
    const int width = cols + 2 * pad_;
    const std::size_t perRow = lengths_.size() * static_cast<std::size_t>(width);
    padded_.resize(static_cast<std::size_t>(width));
    extremes_.resize(static_cast<std::size_t>(width));
    rows_.resize(perRow * static_cast<std::size_t>(ring));
    std::fill(padded_.begin(), padded_.end(), Op::kNeutral);
    dst.create(rows, cols, CV_8UC1);

    auto cacheRow = [&](int s) {
        std::memcpy(padded_.data() + pad_, src.ptr(s), static_cast<std::size_t>(cols));
        unsigned char* cur = extremes_.data();
        std::memcpy(cur, padded_.data(), static_cast<std::size_t>(width));
        unsigned char* slot = rows_.data() + static_cast<std::size_t>(s % ring) * perRow;
        int length = 1;
        for (std::size_t i = 0; i < lengths_.size(); ++i) {
            for (; length < lengths_[i]; ++length) combine<Op>(cur, padded_.data() + length, width - length);
            std::memcpy(slot + i * static_cast<std::size_t>(width), cur, static_cast<std::size_t>(width));
        }
    };

    int next = 0;
    for (int y = 0; y < rows; ++y) {
        const int last = std::min(rows - 1, y + below_);
        while (next <= std::max(last, y)) cacheRow(next++);
        unsigned char* out = dst.ptr(y);
        std::memset(out, Op::kNeutral, static_cast<std::size_t>(cols));
        for (const Run& r : runs_) {
            const int s = y + r.dy;
            if (s < 0 || s >= rows) continue;
            const unsigned char* extremes = rows_.data() + static_cast<std::size_t>(s % ring) * perRow +
                                            static_cast<std::size_t>(r.lengthIndex) * width + pad_ + r.dx;
            combine<Op>(out, extremes, cols);
        }
    }
}

void Morphology::dilate(const cv::Mat& src, cv::Mat& dst, const cv::Mat& element) {
    if (src.empty() || !prepare(src, element)) {
        cv::dilate(src, dst, element);
        return;
    }
    apply<MaxOp>(src, dst);
}

void Morphology::erode(const cv::Mat& src, cv::Mat& dst, const cv::Mat& element) {
    if (src.empty() || !prepare(src, element)) {
        cv::erode(src, dst, element);
        return;
    }
    apply<MinOp>(src, dst);
}

void Morphology::close(cv::Mat& image, const cv::Mat& element) {
    if (image.empty()) return;
    if (!prepare(image, element)) {
        cv::morphologyEx(image, image, cv::MORPH_CLOSE, element);
        return;
    }
    apply<MaxOp>(image, image);
    apply<MinOp>(image, image);
}

void Morphology::open(cv::Mat& image, const cv::Mat& element) {
    if (image.empty()) return;
    if (!prepare(image, element)) {
        cv::morphologyEx(image, image, cv::MORPH_OPEN, element);
        return;
    }
    apply<MinOp>(image, image);
    apply<MaxOp>(image, image);
}

}  // namespace molvane
