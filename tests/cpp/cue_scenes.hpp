// Synthetic sky scenes and engine set-up shared by the image cue tests.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "cues/cue_context.hpp"
#include "cues/cue_set.hpp"

namespace molvane::test {

// A smooth vertical sky gradient, brighter towards the horizon.
inline cv::Mat skyGradient(int width, int height, int top = 140, int bottom = 180) {
    cv::Mat sky(height, width, CV_8UC1);
    for (int y = 0; y < height; ++y) {
        const double v = top + (bottom - top) * (height > 1 ? static_cast<double>(y) / (height - 1) : 0.0);
        sky.row(y).setTo(cv::Scalar(v));
    }
    return sky;
}

inline void paint(cv::Mat& image, const cv::Rect& r, double value) { image(r).setTo(cv::Scalar::all(value)); }

// Repeatable texture, so that correlation scores are well defined.
inline cv::Mat texture(int width, int height, unsigned seed = 7) {
    cv::Mat t(height, width, CV_8UC1);
    cv::RNG rng(seed);
    rng.fill(t, cv::RNG::UNIFORM, 20, 235);
    return t;
}

inline bool contains(const cv::Rect& outer, const cv::Rect& inner) { return (outer & inner) == inner; }

// The cues with the inputs they read, set up by hand: the given working box, polarity and
// default tuning, as if an engine had been seeded on that box.
struct CueBench {
    TrackerParams params;
    TargetModel model;
    EngineMotionState state;
    ProposalInputs inputs;
    CueSet cues;

    explicit CueBench(const cv::Rect& box = {0, 0, 10, 10}, int polarity = 0, TrackerParams tuning = {})
        : params(tuning) {
        place(box);
        model.polarity = polarity;
        model.seedSize = box.size();
    }

    void place(const cv::Rect& box) {
        state.box = box;
        state.center = {box.x + box.width * 0.5f, box.y + box.height * 0.5f};
    }
    CueContext ctx() const { return {params, model, state, inputs}; }
};

}  // namespace molvane::test
