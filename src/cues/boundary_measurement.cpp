// Placeholder until this part of the engine is written; it only lets the tree build.
#include "engine/template_tracker.hpp"

#include <stdexcept>

namespace molvane {

Measurement TemplateTracker::measureBoundary(const cv::Mat&, const cv::Mat&, const cv::Rect&, cv::Size, double, double, cv::Point2f, bool) { return {}; }

}  // namespace molvane
