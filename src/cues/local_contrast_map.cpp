// Placeholder until this part of the engine is written; it only lets the tree build.
#include "engine/template_tracker.hpp"

#include <stdexcept>

namespace molvane {

void TemplateTracker::localContrastMap(const cv::Mat&, const cv::Mat&, const cv::Rect&, int, int, cv::Mat& out) { out.release(); }

}  // namespace molvane
