// Frequency-domain correlation filters: one Correlator per Gaussian width, grouped in a
// bank that shares the search patch size and the training set. All arithmetic is single
// precision; complex arrays are S x S two-channel float images so cv::dft works in place.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

namespace molvane {

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

private:
    friend class CorrelatorBank;

    int searchSize_;
    int targetSize_;
    bool trained_ = false;
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
};

}  // namespace molvane
