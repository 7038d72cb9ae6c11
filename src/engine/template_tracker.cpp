// Placeholder until this part of the engine is written; it only lets the tree build.
#include "engine/template_tracker.hpp"

#include <stdexcept>

namespace molvane {

TemplateTracker::TemplateTracker(const TrackerParams& params) : config_(params), identity_(0) {}
void TemplateTracker::initialize(const cv::Mat&, const cv::Mat&, const cv::Rect&) { throw std::runtime_error("tracking engine not built yet"); }
TemplateTrackerProposal TemplateTracker::propose(const cv::Mat&, const cv::Mat&, const std::vector<cv::Rect2f>&, const std::optional<cv::Size2f>&, double, bool) { throw std::runtime_error("tracking engine not built yet"); }
TrackStep TemplateTracker::commit(const TemplateTrackerProposal&, const cv::Mat&, const cv::Mat&, bool, bool, const OwnedGeometry&, bool) { throw std::runtime_error("tracking engine not built yet"); }
TrackStep TemplateTracker::coast(const cv::Mat&, const char*, double) { throw std::runtime_error("tracking engine not built yet"); }
TrackStep TemplateTracker::update(const cv::Mat&, const cv::Mat&, double) { throw std::runtime_error("tracking engine not built yet"); }
const TemplateTrackerProposal::Impl& TemplateTrackerProposal::impl() const { if (!impl_) throw std::logic_error("invalid template tracker proposal"); return *impl_; }

}  // namespace molvane
