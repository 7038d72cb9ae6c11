#include "cues/foreground_box_search.hpp"

#include <algorithm>
#include <cmath>

#include "core/geometry.hpp"
#include "core/size_limits.hpp"
#include "cues/cue_tuning.hpp"

namespace molvane {

using namespace cue_tuning::foreground_box;

namespace {

// Upper bound on a window side; the window is clipped to the frame anyway.
constexpr double kMaxWindowSide = 1 << 30;

int windowLimit(int seedSide, double factor) {
    return static_cast<int>(std::min(std::max(std::ceil(seedSide * factor), kMinWindowSide), kMaxWindowSide));
}

int grownSide(int side, int limit) {
    const double grown = std::max(std::ceil(kWindowGrowth * side), static_cast<double>(side) + 1.0);
    return static_cast<int>(std::min(grown, static_cast<double>(limit)));
}

}  // namespace

std::optional<Measurement> ForegroundBoxSearch::search(const CueContext& ctx, const cv::Mat& colourFrame,
                                                       const cv::Mat& grey, const Measurement& measurement,
                                                       cv::Point2f predictedCenter) {
    const TrackerParams& params = ctx.params;
    const cv::Size seedSize = ctx.model.seedSize;
    const cv::Rect& box = ctx.state.box;
    if (grey.empty()) return std::nullopt;
    const int W = grey.cols;
    const int H = grey.rows;

    const long long seedArea = static_cast<long long>(seedSize.width) * seedSize.height;
    const double f = maxSizeScale(params, static_cast<double>(seedArea));
    const int maxW = windowLimit(seedSize.width, f);
    const int maxH = windowLimit(seedSize.height, f);
    const int passes = ctx.inputs.multiTarget ? kMultiTargetPasses : 1;

    const double boxSide = std::max(box.width, box.height);
    auto gate = [&](double k, int ws, int hs) {
        return std::max(0.5 * k * std::max(ws, hs), std::max(kMinGate, std::max(k, 0.0) * boxSide));
    };

    std::optional<Measurement> result;
    int ws = box.width;
    int hs = box.height;
    for (int pass = 0; pass < passes; ++pass) {
        // Same placement as a box from centre: clamped size, rounded corner kept inside.
        const cv::Rect window = boxFromCenter(predictedCenter.x, predictedCenter.y, ws, hs, W, H);
        // Only the box, centre and confidence of the blob are used.
        const Measurement fg = foreground_.measure(ctx, colourFrame, grey, window, predictedCenter, false);
        bool accepted = false;
        if (fg.found) {
            const double d1 = distance(fg.center, predictedCenter);
            const double d2 = distance(fg.center, measurement.center);
            accepted = !ctx.inputs.blocks(fg) && fg.confidence >= params.foreground_min_score &&
                       d1 <= gate(params.correlation_gate_factor, ws, hs) &&
                       d2 <= gate(params.foreground_gate_factor, ws, hs);
            if (accepted && (!result || static_cast<long long>(fg.box.width) * fg.box.height >
                                            static_cast<long long>(result->box.width) * result->box.height)) {
                result = fg;
            }
        }
        if (accepted && !fg.touchesSearchEdge) break;  // the blob lies wholly inside the window
        if (pass + 1 == passes) break;
        const int nextH = grownSide(hs, maxH);
        const int nextW = grownSide(ws, maxW);
        if (nextH == hs && nextW == ws) break;
        hs = nextH;
        ws = nextW;
    }
    return result;
}

}  // namespace molvane
