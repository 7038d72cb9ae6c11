// Placeholder until the correlation filter is written; it only lets the tree build.
#include "cues/correlator.hpp"

#include <stdexcept>

namespace molvane {
Correlator::Correlator(int searchSize, int targetSize) : searchSize_(searchSize), targetSize_(targetSize) {}
const cv::Mat& Correlator::sampleSpectrum(const cv::Mat&) { return spectrum_; }
void Correlator::update(const cv::Mat&, float) {}
void CorrelatorBank::train(const cv::Mat&, const cv::Rect&, int) { throw std::runtime_error("not built yet"); }
void CorrelatorBank::clear() { filters_.clear(); searchSize_ = 0; targetSize_ = 0; }
const cv::Mat& CorrelatorBank::extractPatch(const cv::Mat&, cv::Point2f) { return patchFloat_; }
CorrelationResult CorrelatorBank::detect(const cv::Mat&, cv::Point2f) { return {}; }
}  // namespace molvane
