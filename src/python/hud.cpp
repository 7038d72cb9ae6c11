// Placeholder until the overlay is written.
#include "python/hud.hpp"

namespace molvane {
void drawHud(cv::Mat&, const TrackResult&) {}
}  // namespace molvane
