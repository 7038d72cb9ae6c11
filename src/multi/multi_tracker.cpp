// Placeholder until multi-target tracking is written; it only lets the tree build.
#include "multi/multi_tracker.hpp"

#include <stdexcept>

namespace molvane {
MultiTracker::MultiTracker(const TrackerParams& params) : config_(params) {}
void MultiTracker::lock(const cv::Mat&, const cv::Mat&, const std::vector<cv::Rect>&) { throw std::runtime_error("multi-target tracking not built yet"); }
std::vector<TrackResult> MultiTracker::update(const cv::Mat&, const cv::Mat&, double) { throw std::runtime_error("multi-target tracking not built yet"); }
}  // namespace molvane
