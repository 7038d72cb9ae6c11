// Engine set-up shared by the image cue tests; their frames come from sky_scene.hpp.
#pragma once

#include <opencv2/core.hpp>

#include "cues/cue_context.hpp"
#include "cues/cue_set.hpp"
#include "sky_scene.hpp"

namespace molvane::test {

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
