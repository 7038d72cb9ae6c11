// Placeholder until this part of the engine is written; it only lets the tree build.
#include "engine/template_tracker.hpp"

#include <stdexcept>

namespace molvane {

double TemplateTracker::greySimilarity(const cv::Mat&, const cv::Rect&, const cv::Mat&) { return 0.0; }
double TemplateTracker::colourSimilarity(const cv::Mat&, const cv::Rect&) { return 0.0; }
double TemplateTracker::appearanceSimilarity(const cv::Mat&, const cv::Mat&, const cv::Rect&) { return 0.0; }
double TemplateTracker::anchorSimilarity(const cv::Mat&, const cv::Rect&) { return 0.0; }

}  // namespace molvane
