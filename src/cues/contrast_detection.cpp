// Placeholder until this part of the engine is written; it only lets the tree build.
#include "engine/template_tracker.hpp"

#include <stdexcept>

namespace molvane {

Measurement TemplateTracker::detectContrast(const cv::Mat&, const cv::Mat&, const cv::Rect&, int, double, int, bool, bool) { return {}; }

}  // namespace molvane
