// The foreground box search that gives a correlation measurement (which follows texture,
// not extent) a measured size: foreground blobs in windows growing around the prediction.
#pragma once

#include <optional>

#include <opencv2/core.hpp>

#include "cues/cue_context.hpp"
#include "cues/foreground_measurement.hpp"

namespace molvane {

class ForegroundBoxSearch {
public:
    explicit ForegroundBoxSearch(ForegroundMeasurement& foreground) : foreground_(foreground) {}

    // The largest acceptable blob near both `predictedCenter` and the correlation
    // `measurement`. One window of the engine's box size; in a multi-target update up to
    // four, each 1.8 times the last (capped by the seed's size limit), until a blob lies
    // wholly inside one.
    std::optional<Measurement> search(const CueContext& ctx, const cv::Mat& colourFrame, const cv::Mat& grey,
                                      const Measurement& measurement, cv::Point2f predictedCenter);

private:
    ForegroundMeasurement& foreground_;
};

}  // namespace molvane
