// Placeholder until this part of the engine is written; it only lets the tree build.
#include "engine/template_tracker.hpp"

#include <stdexcept>

namespace molvane {

TrackStep TemplateTracker::reacquireOrMiss(const cv::Mat&, const cv::Mat&, const char*, double) { throw std::runtime_error("not built yet"); }

}  // namespace molvane
