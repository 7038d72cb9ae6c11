// The cues as units: each reads only the context it is called with and keeps only its own
// scratch, so calls interleaved with other cues (and with other contexts) give exactly the
// results they give alone.
#include <functional>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "cue_scenes.hpp"

namespace molvane {
namespace {

using test::CueBench;

bool sameMeasurement(const Measurement& a, const Measurement& b) {
    if (a.found != b.found) return false;
    return !a.found || (a.box == b.box && a.center == b.center && a.targetScore == b.targetScore &&
                        a.candidateScore == b.candidateScore && a.confidence == b.confidence && a.reason == b.reason &&
                        a.touchesSearchEdge == b.touchesSearchEdge);
}

// A 10 x 10 bright target on a sky gradient, tracked with its look as the template; a
// second, larger target far away for the other cues to work on.
struct Scene {
    cv::Mat grey = test::skyGradient(320, 240);
    cv::Mat colour;
    cv::Rect box{148, 108, 10, 10};
    Scene() {
        test::paint(grey, {150, 110, 6, 6}, 235);
        test::paint(grey, {40, 40, 50, 30}, 225);
        cv::cvtColor(grey, colour, cv::COLOR_GRAY2BGR);
    }
};

using CueCall = std::function<Measurement(CueBench&, const Scene&)>;

struct NamedCall {
    std::string name;
    CueCall call;
};

std::vector<NamedCall> cueCalls() {
    return {
        {"foreground",
         [](CueBench& b, const Scene& s) {
             return b.cues.foreground.measure(b.ctx(), s.colour, s.grey, s.box, {153.f, 113.f});
         }},
        {"boundary",
         [](CueBench& b, const Scene& s) {
             return b.cues.boundary.measure(b.ctx(), s.colour, s.grey, {20, 20, 90, 70}, {50, 30}, 60.0, 0.0,
                                            {65.f, 55.f}, false);
         }},
        {"contrast",
         [](CueBench& b, const Scene& s) {
             return b.cues.contrast.detect(b.ctx(), s.colour, s.grey, s.box, 60, 1.0 / 30.0, +1, true, false);
         }},
        {"whole-frame contrast",
         [](CueBench& b, const Scene& s) {
             return b.cues.contrast.detect(b.ctx(), s.colour, s.grey, s.box, 320, 1.0 / 30.0, 0, false, true);
         }},
        {"sky", [](CueBench& b, const Scene& s) { return b.cues.sky.search(b.ctx(), s.colour, s.grey, 1.0 / 30.0); }},
        {"template",
         [](CueBench& b, const Scene& s) {
             return Measurement(b.cues.templates.measure(b.ctx(), s.colour, s.grey, s.box, 60, 1.0 / 30.0));
         }},
    };
}

TEST(CueSet, InterleavedCallsGiveTheResultsOfSeparateOnes) {
    const Scene s;
    const std::vector<NamedCall> calls = cueCalls();
    for (const NamedCall& first : calls) {
        for (const NamedCall& other : calls) {
            if (&first == &other) continue;
            CueBench alone(s.box, +1);
            alone.model.templ = s.grey(s.box).clone();
            alone.state.misses = 4;
            const Measurement expected = first.call(alone, s);
            ASSERT_TRUE(expected.found) << first.name;

            CueBench mixed(s.box, +1);
            mixed.model.templ = alone.model.templ;
            mixed.state.misses = 4;
            first.call(mixed, s);
            other.call(mixed, s);
            EXPECT_TRUE(sameMeasurement(first.call(mixed, s), expected)) << first.name << " after " << other.name;
        }
    }
}

// The seed outline window: a rough box over an extended target is fitted to its outline.
TEST(CueSet, FitOutlineFindsTheTargetAroundARoughBox) {
    const Scene s;
    CueBench b({40, 40, 50, 30}, +1);
    const Measurement m = b.cues.boundary.fitOutline(b.ctx(), s.grey, s.grey, {45, 36, 40, 30}, {65.f, 51.f});
    ASSERT_TRUE(m.found);
    EXPECT_TRUE(test::contains(m.box, {40, 40, 50, 30})) << m.box;
    EXPECT_NEAR(m.center.x, 65.f, 1.5f);
    EXPECT_NEAR(m.center.y, 55.f, 1.5f);
}

}  // namespace
}  // namespace molvane
