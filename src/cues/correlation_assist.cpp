// Placeholder until this part of the engine is written; it only lets the tree build.
#include "engine/template_tracker.hpp"

#include <stdexcept>

namespace molvane {

void TemplateTracker::applyLearning(const cv::Mat&, const cv::Mat&, const LearningRecord&) {}
std::optional<Measurement> TemplateTracker::searchForegroundBox(const cv::Mat&, const cv::Mat&, const Measurement&, cv::Point2f, bool) { return std::nullopt; }

}  // namespace molvane
