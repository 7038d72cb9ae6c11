#include "cues/correlator.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "cues/cue_tuning.hpp"

namespace molvane {

using namespace cue_tuning::correlation;

namespace {

constexpr const char* kBadTrainingInput = "correlation assist requires a grayscale frame and non-empty bbox";
constexpr const char* kBadSearchSize = "correlation search size must be a power of two >= 32";
constexpr const char* kBadCorrelatorSize = "Correlator: searchSize must be a power of two >= 4";

// Numerics, not tuning: the floor under a logarithm, 2 pi in float, and the seed of the
// training jitter (fixed, so that every training of the same patch gives the same filters).
constexpr float kLogFloor = 1e-9f;
constexpr float kTwoPi = 6.2831855f;
constexpr unsigned kJitterSeed = 42;

bool isPowerOfTwo(int v) { return v > 0 && (v & (v - 1)) == 0; }

// Uniform float in [0, 1) from one 32-bit draw: the output times 2^-32, with a result
// that rounds up to 1 moved to the largest float below 1.
float canonicalFloat(std::mt19937& gen) {
    const float u = static_cast<float>(gen()) * 2.3283064365386963e-10f;  // 2^-32
    return u >= 1.0f ? std::nextafter(1.0f, 0.0f) : u;
}

// Mean removal and windowing of S x S float values into a complex buffer, then a forward
// transform in place. `out` keeps its storage when it already has the right shape.
void windowedSpectrum(const cv::Mat& values, const cv::Mat& window, cv::Mat& out) {
    const int S = window.rows;
    double sum = 0.0;
    for (int r = 0; r < S; ++r) {
        const float* v = values.ptr<float>(r);
        for (int c = 0; c < S; ++c) sum += v[c];
    }
    const float mean = static_cast<float>(sum / (static_cast<double>(S) * S));
    out.create(S, S, CV_32FC2);
    for (int r = 0; r < S; ++r) {
        const float* v = values.ptr<float>(r);
        const float* w = window.ptr<float>(r);
        float* o = out.ptr<float>(r);
        for (int c = 0; c < S; ++c) {
            o[2 * c] = (v[c] - mean) * w[c];
            o[2 * c + 1] = 0.f;
        }
    }
    cv::dft(out, out, 0);
}

// Signed frequency of DFT bin k for a transform of length n.
float signedFrequency(int k, int n) { return static_cast<float>(k <= n / 2 ? k : k - n); }

}  // namespace

CorrelationPeak analyseCorrelationPeak(const cv::Mat& response) {
    CorrelationPeak out;
    if (response.empty() || response.type() != CV_32F) return out;
    const int rows = response.rows;
    const int cols = response.cols;

    int py = 0, px = 0;
    float p = response.at<float>(0, 0);
    for (int r = 0; r < rows; ++r) {
        const float* row = response.ptr<float>(r);
        for (int c = 0; c < cols; ++c) {
            if (row[c] > p) {
                p = row[c];
                py = r;
                px = c;
            }
        }
    }
    out.peak = {px, py};
    out.value = p;

    // Three-point Gaussian fit per axis. The response is circular (the zero shift sits at
    // cell 0), so the neighbours of a border cell are on the opposite border.
    auto neighbourRow = [&](int r) { return (r + rows) % rows; };
    auto neighbourCol = [&](int c) { return (c + cols) % cols; };
    auto ln = [](float v) { return std::log(std::max(v, kLogFloor)); };
    auto fit = [](float lm, float l0, float lp) {
        const float den = lm - 2.f * l0 + lp;
        const float d = std::fabs(den) > 1e-9f ? 0.5f * (lm - lp) / den : 0.f;
        return std::clamp(d, -1.f, 1.f);
    };
    const float lp = ln(p);
    const float dy =
        fit(ln(response.at<float>(neighbourRow(py - 1), px)), lp, ln(response.at<float>(neighbourRow(py + 1), px)));
    const float dx =
        fit(ln(response.at<float>(py, neighbourCol(px - 1))), lp, ln(response.at<float>(py, neighbourCol(px + 1))));
    out.offset = {dx, dy};
    float v = static_cast<float>(py) + dy;
    if (v > 0.5f * rows) v -= static_cast<float>(rows);
    float u = static_cast<float>(px) + dx;
    if (u > 0.5f * cols) u -= static_cast<float>(cols);
    out.displacement = {u, v};

    // Sidelobe statistics: plain (unwrapped) distances from the peak cell.
    const int ex0 = std::max(px - kPsrExclusion, 0), ex1 = std::min(px + kPsrExclusion, cols - 1);
    const int sx0 = std::max(px - kSidelobeExclusion, 0), sx1 = std::min(px + kSidelobeExclusion, cols - 1);
    double n = 0.0, sum = 0.0, sumSq = 0.0;
    float second = 0.f;
    for (int r = 0; r < rows; ++r) {
        const float* row = response.ptr<float>(r);
        const bool psrRow = std::abs(r - py) > kPsrExclusion;
        const bool sideRow = std::abs(r - py) > kSidelobeExclusion;
        for (int c = 0; c < cols; ++c) {
            const float val = row[c];
            if (psrRow || c < ex0 || c > ex1) {
                n += 1.0;
                sum += val;
                sumSq += static_cast<double>(val) * val;
            }
            if ((sideRow || c < sx0 || c > sx1) && val > second) second = val;
        }
    }
    if (n > 0.0) {
        const double mean = sum / n;
        const double variance = sumSq / n - mean * mean;
        if (variance > 0.0) {
            const double sd = std::sqrt(variance);
            if (sd >= 1e-9) out.psr = (p - mean) / sd;
        }
    }
    out.sidelobeRatio = p > 1e-9f ? static_cast<double>(second) / p : 0.0;
    return out;
}

// ---------------------------------------------------------------------------------------
// Correlator

Correlator::Correlator(int searchSize, int targetSize) : searchSize_(searchSize), targetSize_(targetSize) {
    if (searchSize < 4 || !isPowerOfTwo(searchSize)) throw std::invalid_argument(kBadCorrelatorSize);
    const int S = searchSize;
    filter_ = cv::Mat::zeros(S, S, CV_32FC2);
    numerator_ = cv::Mat::zeros(S, S, CV_32FC2);
    denominator_ = cv::Mat::zeros(S, S, CV_32F);
    spectrum_ = cv::Mat::zeros(S, S, CV_32FC2);
    response_ = cv::Mat::zeros(S, S, CV_32F);

    // Separable Hann window; its border rows and columns are 0.
    window_.create(S, S, CV_32F);
    std::vector<float> h(static_cast<std::size_t>(S));
    for (int i = 0; i < S; ++i) {
        h[i] = 0.5f - 0.5f * std::cos(kTwoPi * static_cast<float>(i) / static_cast<float>(S - 1));
    }
    for (int r = 0; r < S; ++r) {
        float* w = window_.ptr<float>(r);
        for (int c = 0; c < S; ++c) w[c] = h[r] * h[c];
    }

    // Gaussian target response peaking at cell (0, 0) and wrapping round every border.
    target_.create(S, S, CV_32FC2);
    const float sigma = kResponseSigmaShare * static_cast<float>(targetSize);
    const float factor = sigma > 0.f ? 1.f / (2.f * sigma * sigma) : 0.f;
    float largest = 0.f;
    for (int k = 0; k < S; ++k) {
        const float dk = static_cast<float>(k <= S / 2 ? k : S - k);
        float* g = target_.ptr<float>(k);
        for (int l = 0; l < S; ++l) {
            const float dl = static_cast<float>(l <= S / 2 ? l : S - l);
            float value;
            if (sigma > 0.f) {
                value = std::exp(-(dk * dk + dl * dl) * factor);
            } else {
                value = (k == 0 && l == 0) ? 1.f : 0.f;  // no width: a single cell
            }
            g[2 * l] = value;
            g[2 * l + 1] = 0.f;
            largest = std::max(largest, value);
        }
    }
    if (largest > 0.f) {
        for (int k = 0; k < S; ++k) {
            float* g = target_.ptr<float>(k);
            for (int l = 0; l < S; ++l) g[2 * l] /= largest;
        }
    }
    cv::dft(target_, target_, 0);
}

const cv::Mat& Correlator::sampleSpectrum(const cv::Mat& values) {
    windowedSpectrum(values, window_, spectrum_);
    return spectrum_;
}

void Correlator::rebuildFilter() {
    const int S = searchSize_;
    for (int r = 0; r < S; ++r) {
        const float* a = numerator_.ptr<float>(r);
        const float* b = denominator_.ptr<float>(r);
        float* h = filter_.ptr<float>(r);
        for (int c = 0; c < S; ++c) {
            const float d = b[c] + lambda_;
            h[2 * c] = a[2 * c] / d;
            h[2 * c + 1] = a[2 * c + 1] / d;
        }
    }
}

void Correlator::update(const cv::Mat& values, float rate) {
    const cv::Mat& F = sampleSpectrum(values);
    const int S = searchSize_;
    const float keep = 1.f - rate;
    for (int r = 0; r < S; ++r) {
        const float* f = F.ptr<float>(r);
        const float* g = target_.ptr<float>(r);
        float* a = numerator_.ptr<float>(r);
        float* b = denominator_.ptr<float>(r);
        for (int c = 0; c < S; ++c) {
            const float fr = f[2 * c], fi = f[2 * c + 1];
            const float gr = g[2 * c], gi = g[2 * c + 1];
            // G x conj(F)
            a[2 * c] = keep * a[2 * c] + rate * (gr * fr + gi * fi);
            a[2 * c + 1] = keep * a[2 * c + 1] + rate * (gi * fr - gr * fi);
            b[c] = keep * b[c] + rate * (fr * fr + fi * fi);
        }
    }
    rebuildFilter();
}

// ---------------------------------------------------------------------------------------
// CorrelatorBank

void CorrelatorBank::clear() {
    filters_.clear();
    spectrum_.release();
    samples_.clear();
    samplePointers_.clear();
    sampleOffsets_.clear();
    searchSize_ = 0;
    targetSize_ = 0;
    selectedIndex_ = 0;
}

const cv::Mat& CorrelatorBank::extractPatch(const cv::Mat& grey, cv::Point2f center) {
    if (searchSize_ <= 0 || grey.empty()) return patchFloat_;
    // Far outside the frame the patch is all replicated border; clamping the centre there
    // changes nothing but keeps the sampling arithmetic finite.
    const float S = static_cast<float>(searchSize_);
    center.x = std::isfinite(center.x) ? std::clamp(center.x, -S, static_cast<float>(grey.cols) + S) : 0.f;
    center.y = std::isfinite(center.y) ? std::clamp(center.y, -S, static_cast<float>(grey.rows) + S) : 0.f;
    cv::getRectSubPix(grey, cv::Size(searchSize_, searchSize_), center, patch_, -1);
    patch_.convertTo(patchFloat_, CV_32F, 1.0 / 255.0, 0.0);
    return patchFloat_;
}

void CorrelatorBank::train(const cv::Mat& grey, const cv::Rect& bbox, int requestedSearchSize) {
    if (grey.empty() || grey.type() != CV_8UC1 || bbox.width < 1 || bbox.height < 1) {
        throw std::invalid_argument(kBadTrainingInput);
    }
    if (requestedSearchSize > 0 && (requestedSearchSize < 32 || !isPowerOfTwo(requestedSearchSize))) {
        throw std::invalid_argument(kBadSearchSize);
    }

    const int extent = std::max(bbox.width, bbox.height);
    const int S = requestedSearchSize > 0 ? requestedSearchSize : (extent > kLargeBox ? kLargeWindow : kSmallWindow);
    const int T = extent < kMinTargetSize ? kMinTargetSize : std::min(extent, S / 2);
    const int r = extent < kMinTargetSize ? kSmallJitter : T / kJitterDivisor;
    searchSize_ = S;
    targetSize_ = T;

    const cv::Point2f c(static_cast<float>(bbox.x) + 0.5f * static_cast<float>(bbox.width),
                        static_cast<float>(bbox.y) + 0.5f * static_cast<float>(bbox.height));

    // Training set: the centred patch and eight jittered ones, the same every training.
    samples_.resize(kTrainingSamples);
    sampleOffsets_.assign(kTrainingSamples, cv::Point2f(0.f, 0.f));
    extractPatch(grey, c).copyTo(samples_[0]);
    std::mt19937 gen(kJitterSeed);
    const float rf = static_cast<float>(r);
    for (int i = 1; i < kTrainingSamples; ++i) {
        const float u1 = canonicalFloat(gen);
        const float u2 = canonicalFloat(gen);
        const cv::Point2f at(c.x + 2.f * rf * u2 - rf, c.y + 2.f * rf * u1 - rf);
        sampleOffsets_[i] = at - c;
        extractPatch(grey, at).copyTo(samples_[i]);
    }
    samplePointers_.clear();
    for (const cv::Mat& s : samples_) samplePointers_.push_back(&s);

    // Replace the filters. A filter of the same size and width as an old one is reused, so
    // a re-training does not reallocate its buffers or rebuild its window and target.
    std::vector<std::unique_ptr<Correlator>> old = std::move(filters_);
    filters_.clear();
    const float lambda = static_cast<float>(regularisation_);
    for (double s : kScales) {
        if (static_cast<double>(extent) * s > 0.5 * S) continue;
        const int E = std::min(std::max(static_cast<int>(std::lround(T * s)), kMinTargetSize), S / 2);
        std::unique_ptr<Correlator> f;
        for (auto& candidate : old) {
            if (candidate && candidate->searchSize_ == S && candidate->targetSize_ == E) {
                f = std::move(candidate);
                break;
            }
        }
        if (!f) f = std::make_unique<Correlator>(S, E);
        f->trained_ = false;
        f->lambda_ = lambda;
        f->numerator_.setTo(cv::Scalar::all(0));
        f->denominator_.setTo(cv::Scalar::all(0));
        filters_.push_back(std::move(f));
    }
    old.clear();

    spectrum_.create(S, S, CV_32FC2);
    selectedIndex_ = 0;
    if (filters_.empty()) return;

    // All filters share S and therefore the window, so every sample is transformed once
    // and accumulated into each filter in sample order.
    //
    // A sample cut at centre + o shows the target at -o, so its desired response is the
    // Gaussian moved to -o: G x exp(+2 pi i (ky o.y + kx o.x) / S) with signed
    // frequencies. Training every jittered sample towards the unmoved Gaussian instead
    // would teach the filters to answer an unmoved target off-centre. The ramp is
    // separable: one complex factor per row times one per column.
    const cv::Mat& window = filters_.front()->window_;
    std::vector<cv::Vec2f> rowRamp(static_cast<std::size_t>(S)), colRamp(static_cast<std::size_t>(S));
    for (std::size_t i = 0; i < samplePointers_.size(); ++i) {
        windowedSpectrum(*samplePointers_[i], window, spectrum_);
        const cv::Point2f shift = sampleOffsets_[i];
        for (int k = 0; k < S; ++k) {
            const float fk = signedFrequency(k, S) / static_cast<float>(S);
            const float py = kTwoPi * fk * shift.y, px = kTwoPi * fk * shift.x;
            rowRamp[k] = {std::cos(py), std::sin(py)};
            colRamp[k] = {std::cos(px), std::sin(px)};
        }
        for (auto& f : filters_) {
            for (int k = 0; k < S; ++k) {
                const float* fs = spectrum_.ptr<float>(k);
                const float* g = f->target_.ptr<float>(k);
                float* a = f->numerator_.ptr<float>(k);
                float* b = f->denominator_.ptr<float>(k);
                const cv::Vec2f rr = rowRamp[k];
                for (int l = 0; l < S; ++l) {
                    const float fr = fs[2 * l], fi = fs[2 * l + 1];
                    const cv::Vec2f cr = colRamp[l];
                    const float er = rr[0] * cr[0] - rr[1] * cr[1];
                    const float ei = rr[0] * cr[1] + rr[1] * cr[0];
                    const float gr = g[2 * l] * er - g[2 * l + 1] * ei;
                    const float gi = g[2 * l] * ei + g[2 * l + 1] * er;
                    // G x conj(F)
                    a[2 * l] += gr * fr + gi * fi;
                    a[2 * l + 1] += gi * fr - gr * fi;
                    b[l] += fr * fr + fi * fi;
                }
            }
        }
    }
    for (auto& f : filters_) {
        f->rebuildFilter();
        f->trained_ = true;
    }
}

CorrelationResult CorrelatorBank::detect(const cv::Mat& grey, cv::Point2f center) {
    CorrelationResult result;
    if (filters_.empty() || grey.empty() || grey.type() != CV_8UC1 || !std::isfinite(center.x) ||
        !std::isfinite(center.y)) {
        return result;
    }
    const int S = searchSize_;
    extractPatch(grey, center);
    windowedSpectrum(patchFloat_, filters_.front()->window_, spectrum_);

    bool any = false;
    CorrelationPeak best;
    for (std::size_t i = 0; i < filters_.size(); ++i) {
        Correlator& f = *filters_[i];
        if (!f.trained_) continue;
        for (int k = 0; k < S; ++k) {
            const float* a = spectrum_.ptr<float>(k);
            const float* h = f.filter_.ptr<float>(k);
            float* o = f.spectrum_.ptr<float>(k);
            for (int l = 0; l < S; ++l) {
                const float ar = a[2 * l], ai = a[2 * l + 1];
                const float hr = h[2 * l], hi = h[2 * l + 1];
                o[2 * l] = ar * hr - ai * hi;
                o[2 * l + 1] = ar * hi + ai * hr;
            }
        }
        cv::dft(f.spectrum_, f.spectrum_, cv::DFT_INVERSE | cv::DFT_SCALE);
        for (int k = 0; k < S; ++k) {
            const float* o = f.spectrum_.ptr<float>(k);
            float* resp = f.response_.ptr<float>(k);
            for (int l = 0; l < S; ++l) resp[l] = o[2 * l];
        }
        const CorrelationPeak peak = analyseCorrelationPeak(f.response_);
        if (!any || peak.psr > best.psr) {
            best = peak;
            selectedIndex_ = i;
            any = true;
        }
    }
    if (!any) return result;
    result.center = center + best.displacement;
    result.psr = best.psr;
    result.sidelobeRatio = best.sidelobeRatio;
    result.found = true;
    return result;
}

}  // namespace molvane
