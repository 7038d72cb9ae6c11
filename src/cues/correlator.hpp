// Frequency-domain correlation filters: one Correlator per Gaussian width, grouped in a
// bank that shares the search patch size and the training set. All arithmetic is single
// precision; complex arrays are S x S two-channel float images so cv::dft works in place.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

namespace molvane {

// Peak of one correlation response and the statistics around it.
struct CorrelationPeak {
    cv::Point peak;              // integer peak cell (column, row)
    float value = 0.f;           // response at the peak
    cv::Point2f offset;          // sub-pixel refinement added to the peak cell, each in [-1, 1]
    cv::Point2f displacement;    // peak position as a signed shift in (-S/2, S/2]
    double psr = 0.0;            // peak-to-sidelobe ratio outside an 11 x 11 window
    double sidelobeRatio = 0.0;  // strongest response outside a 29 x 29 window / peak
};

// Analyses a square CV_32F response whose zero shift sits at cell (0, 0).
CorrelationPeak analyseCorrelationPeak(const cv::Mat& response);

class Correlator {
public:
    // Throws std::invalid_argument unless searchSize is a power of two >= 4.
    Correlator(int searchSize, int targetSize);

    int searchSize() const { return searchSize_; }
    int targetSize() const { return targetSize_; }
    bool trained() const { return trained_; }

    // Preprocesses S x S values (mean removal, Hann window) into `spectrum` and
    // transforms them forward. Returns the spectrum.
    const cv::Mat& sampleSpectrum(const cv::Mat& values);
    // Online update with rate eta in [0, 1] (the caller clamps it).
    void update(const cv::Mat& values, float rate);

    const cv::Mat& filter() const { return filter_; }
    const cv::Mat& numerator() const { return numerator_; }
    const cv::Mat& denominator() const { return denominator_; }
    const cv::Mat& window() const { return window_; }
    const cv::Mat& target() const { return target_; }
    const cv::Mat& response() const { return response_; }

private:
    friend class CorrelatorBank;

    void rebuildFilter();

    int searchSize_;
    int targetSize_;
    bool trained_ = false;
    float lambda_ = 0.0001f;
    cv::Mat filter_;       // CV_32FC2, already conjugated
    cv::Mat numerator_;    // CV_32FC2
    cv::Mat denominator_;  // CV_32F
    cv::Mat window_;       // CV_32F Hann window
    cv::Mat target_;       // CV_32FC2 spectrum of the Gaussian target
    cv::Mat spectrum_;     // CV_32FC2 work buffer
    cv::Mat response_;     // CV_32F real part of the last response
};

struct CorrelationResult {
    cv::Point2f center;
    double psr = 0.0;
    double sidelobeRatio = 1.0;
    bool found = false;
};

class CorrelatorBank {
public:
    CorrelatorBank() = default;
    CorrelatorBank(const CorrelatorBank&) = delete;
    CorrelatorBank& operator=(const CorrelatorBank&) = delete;

    // Throws std::invalid_argument for a non-grey or empty frame, an empty box, or a
    // requested size that is positive but not a power of two >= 32.
    void train(const cv::Mat& grey, const cv::Rect& bbox, int requestedSearchSize);
    void clear();
    // Cuts the S x S patch centred on `center` and returns it as float in [0, 1].
    const cv::Mat& extractPatch(const cv::Mat& grey, cv::Point2f center);
    CorrelationResult detect(const cv::Mat& grey, cv::Point2f center);

    bool empty() const { return filters_.empty(); }
    int searchSize() const { return searchSize_; }
    int targetSize() const { return targetSize_; }
    std::size_t size() const { return filters_.size(); }
    std::size_t selectedIndex() const { return selectedIndex_; }
    Correlator& filter(std::size_t i) { return *filters_.at(i); }
    const Correlator& filter(std::size_t i) const { return *filters_.at(i); }
    const std::vector<cv::Mat>& samples() const { return samples_; }

private:
    int searchSize_ = 0;
    int targetSize_ = 0;
    double regularisation_ = 0.0001;
    std::vector<std::unique_ptr<Correlator>> filters_;
    cv::Mat spectrum_;
    std::size_t selectedIndex_ = 0;
    cv::Mat patch_;
    cv::Mat patchFloat_;
    std::vector<cv::Mat> samples_;
    std::vector<const cv::Mat*> samplePointers_;
    std::vector<cv::Point2f> sampleOffsets_;  // where each sample was cut, relative to the centre
};

}  // namespace molvane
