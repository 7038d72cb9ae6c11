// Placeholder until this part of the engine is written; it only lets the tree build.
#include "engine/template_tracker.hpp"

#include <stdexcept>

namespace molvane {

Measurement TemplateTracker::searchSky(const cv::Mat&, const cv::Mat&, double) { return {}; }

}  // namespace molvane
