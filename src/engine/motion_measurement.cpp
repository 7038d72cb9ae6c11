// Placeholder until this part of the engine is written; it only lets the tree build.
#include "engine/template_tracker.hpp"

#include <stdexcept>

namespace molvane {

Measurement TemplateTracker::measureMotion(const cv::Mat&, const cv::Mat&, const cv::Rect&, cv::Point2f, int, double) { return {}; }

}  // namespace molvane
