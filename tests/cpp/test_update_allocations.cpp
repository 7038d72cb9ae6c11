// Once warmed up, an update allocates nothing on the heap: a Tracker's (grey conversion
// and engine, as the binding runs them) for a small target, for one whose colour patch is
// shrunk from more than 32 pixels and for a large one measured by its outline, for a target
// lost long enough to be searched for in the sky every frame, a MultiTracker's of several
// targets, and the template cue's search at one scale and coarse to fine, with windows that
// change size. Counted by the interposer of bench/alloc_count, which CTest preloads; run on
// its own, the test is skipped.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include <dlfcn.h>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "cue_scenes.hpp"
#include "cues/cue_set.hpp"
#include "engine/target_engine.hpp"
#include "multi/multi_tracker.hpp"

namespace molvane::test {
namespace {

using CountFn = unsigned long long (*)();

// Dark discs (ellipses when `size` is not square) drifting on a noisy sky gradient, one per
// target.
cv::Mat frameAt(int i, int targets, bool colour, cv::Size size, cv::Size frame = {480, 240}) {
    cv::Mat grey = skyGradient(frame.width, frame.height);
    addUniformNoise(grey, 6, static_cast<std::uint64_t>(i) + 1);
    for (int k = 0; k < targets; ++k) {
        const double t = i / 25.0 + k;
        const cv::Point c(80 + 150 * k + static_cast<int>(std::lround(15 * std::sin(t))),
                          90 + 40 * (k % 2) + static_cast<int>(std::lround(20 * std::sin(0.7 * t))));
        if (size.width == size.height) {
            cv::circle(grey, c, size.width / 2, cv::Scalar(40), cv::FILLED);
        } else {
            cv::ellipse(grey, c, size / 2, 0, 0, 360, cv::Scalar(40), cv::FILLED);
        }
    }
    if (!colour) return grey;
    cv::Mat bgr;
    cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
    return bgr;
}

cv::Rect boxAt(int k, cv::Size size) {
    return {80 + 150 * k - size.width / 2, 90 + 40 * (k % 2) - size.height / 2, size.width + 1, size.height + 1};
}

// OpenCV keeps its default thread pool: the per-frame path does no image work through
// the pool (the grey conversion is our own), so nothing its workers allocate is counted.
class CountsAllocations {
protected:
    bool counterMissing() {
        count_ = reinterpret_cast<CountFn>(dlsym(RTLD_DEFAULT, "alloc_count_total"));
        return count_ == nullptr;
    }
    // Allocations of `step(i)` over the counted calls after the warm-up ones; `prepare(i)`
    // (making the frame) runs before each and is not counted.
    template <typename Prepare, typename Step>
    unsigned long long countAfterWarmup(Prepare prepare, Step step) {
        unsigned long long counted = 0;
        for (int i = 1; i <= kWarmup + kCounted; ++i) {
            prepare(i);
            const unsigned long long before = count_();
            step(i);
            if (i > kWarmup) counted += count_() - before;
        }
        return counted;
    }
    CountFn count_ = nullptr;
    int threads_ = -1;
    static constexpr int kWarmup = 40;
    static constexpr int kCounted = 60;
};

constexpr const char* kSkip = "needs the allocation counter preloaded (run through ctest)";

// colour frame, target size (10 x 10: a dot; 40 x 30: a colour patch shrunk to 32 x 24;
// 100 x 70: large enough to be measured by its outline), growth in pixels every other ten
// frames (the box, and with it the template, change size)
using TrackerCase = std::tuple<bool, cv::Size, int>;

class TrackerUpdate : public CountsAllocations, public ::testing::TestWithParam<TrackerCase> {};

TEST_P(TrackerUpdate, AllocatesNothing) {
    if (counterMissing()) GTEST_SKIP() << kSkip;
    const auto [colour, size, growth] = GetParam();
    const auto sizeAt = [&](int i) { return size + cv::Size(growth, growth) * ((i / 10) % 2); };
    TargetEngine engine(trackerParamsForProfile("default"));
    cv::Mat frame = frameAt(0, 1, colour, size);
    engine.initialize(frame, engine.greyFrames().greyOf(frame), boxAt(0, size));
    if (colour && size.width > 32) {
        ASSERT_EQ(std::max(engine.model().colourPatch.cols, engine.model().colourPatch.rows), 32);
    }
    const bool extended = size.area() >= engine.config().extended_target_min_area;
    ASSERT_EQ(engine.model().extendedTarget, extended);
    cv::Size last = engine.state().box.size();
    int sizeChanges = 0;
    int outlineFinds = 0;
    const auto prepare = [&](int i) {
        if (i > kWarmup + 1 && engine.state().box.size() != last) ++sizeChanges;
        if (i > kWarmup + 1 && engine.reason() == Reason::kBoundary) ++outlineFinds;
        last = engine.state().box.size();
        frame = frameAt(i, 1, colour, sizeAt(i));
    };
    const unsigned long long counted =
        countAfterWarmup(prepare, [&](int) { engine.update(frame, engine.greyFrames().greyOf(frame), 1.0 / 30.0); });
    EXPECT_EQ(engine.state().misses, 0);
    EXPECT_EQ(counted, 0u);
    if (growth > 0) {
        EXPECT_GT(sizeChanges, 0);
    }
    if (extended) {
        EXPECT_GT(outlineFinds, kCounted / 2);
    }
}

INSTANTIATE_TEST_SUITE_P(DotsLargerTargetsAndChangingSizes, TrackerUpdate,
                         ::testing::Values(TrackerCase{false, {10, 10}, 0}, TrackerCase{true, {10, 10}, 0},
                                           TrackerCase{true, {40, 30}, 0}, TrackerCase{false, {40, 30}, 0},
                                           TrackerCase{true, {40, 30}, 6}, TrackerCase{false, {16, 16}, 4},
                                           TrackerCase{false, {100, 70}, 0}, TrackerCase{true, {100, 70}, 8}));

// colour frame, target size, a ring drifting in the sky that the search finds and weighs,
// frame size (wide enough for the halved mask of the largest ring to outgrow OpenCV's
// stack tables)
using LostCase = std::tuple<bool, cv::Size, bool, cv::Size>;

class LostTargetUpdate : public CountsAllocations, public ::testing::TestWithParam<LostCase> {};

// The target vanishes after two frames: once it has been missed for long enough, every
// update searches the sky around where it was, in rings up to the whole frame.
TEST_P(LostTargetUpdate, AllocatesNothing) {
    if (counterMissing()) GTEST_SKIP() << kSkip;
    const auto [colour, size, decoy, frameSize] = GetParam();
    TargetEngine engine(trackerParamsForProfile("default"));
    cv::Mat frame = frameAt(0, 1, colour, size, frameSize);
    engine.initialize(frame, engine.greyFrames().greyOf(frame), boxAt(0, size));
    int searches = 0;
    const auto prepare = [&](int i) {
        const Reason r = engine.reason();
        if (i > kWarmup + 1) searches += r == Reason::kLostSkySearch || r == Reason::kLostConfirming;
        frame = frameAt(i, i < 3 ? 1 : 0, false, size, frameSize);
        if (decoy) cv::circle(frame, cv::Point(330 + i % 40, 60 + i % 20), 7, cv::Scalar(40), 2);
        if (colour) cv::cvtColor(frame, frame, cv::COLOR_GRAY2BGR);
    };
    const unsigned long long counted =
        countAfterWarmup(prepare, [&](int) { engine.update(frame, engine.greyFrames().greyOf(frame), 1.0 / 30.0); });
    EXPECT_GT(engine.state().misses, kWarmup + kCounted / 2);
    EXPECT_EQ(searches, kCounted - 1);
    EXPECT_EQ(counted, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    DotsLargerTargetsAndDecoys, LostTargetUpdate,
    ::testing::Values(LostCase{false, {10, 10}, false, {480, 240}}, LostCase{true, {10, 10}, false, {480, 240}},
                      LostCase{true, {40, 30}, false, {480, 240}}, LostCase{false, {10, 10}, true, {480, 240}},
                      LostCase{true, {10, 10}, true, {480, 240}}, LostCase{false, {10, 10}, false, {1280, 720}}));

class MultiTrackerUpdate : public CountsAllocations, public ::testing::TestWithParam<bool> {};

TEST_P(MultiTrackerUpdate, AllocatesNothing) {
    if (counterMissing()) GTEST_SKIP() << kSkip;
    const bool colour = GetParam();
    const cv::Size size(10, 10);
    MultiTracker multi(trackerParamsForProfile("default"));
    cv::Mat frame = frameAt(0, 3, colour, size);
    multi.lock(frame, multi.greyFrames().greyOf(frame), {boxAt(0, size), boxAt(1, size), boxAt(2, size)});
    std::size_t confirmed = 0;
    const auto prepare = [&](int i) { frame = frameAt(i, 3, colour, size); };
    const unsigned long long counted = countAfterWarmup(prepare, [&](int) {
        const std::vector<TrackResult>& results = multi.update(frame, multi.greyFrames().greyOf(frame), 1.0 / 30.0);
        confirmed = 0;
        for (const TrackResult& r : results) confirmed += r.step.state == TrackState::kConfirmed;
    });
    EXPECT_EQ(confirmed, 3u);
    EXPECT_EQ(counted, 0u);
}

INSTANTIATE_TEST_SUITE_P(GreyAndColour, MultiTrackerUpdate, ::testing::Bool());

// The template cue searching for a textured target around its seed, with a search radius
// that alternates between two sizes (the window, its maps and sums change size every call).
// Template side 16: one scale; 72: a half-size search refined at full size. A find is
// refined by the foreground cue, or by the outline fit for an extended target.
using TemplateCase = std::tuple<int, bool>;

class TemplateSearch : public CountsAllocations, public ::testing::TestWithParam<TemplateCase> {};

TEST_P(TemplateSearch, AllocatesNothing) {
    if (counterMissing()) GTEST_SKIP() << kSkip;
    const auto [side, extended] = GetParam();
    cv::Mat patch = texture(side, side, 3);
    cv::Mat sky = skyGradient(480, 320);
    const cv::Rect seedBox(200, 120, side, side);
    patch.copyTo(sky(seedBox));
    TargetEngine engine(trackerParamsForProfile("default"));
    engine.initialize(sky, sky, seedBox);
    ProposalInputs inputs;
    CueSet cues;
    TargetModel model = engine.model();
    model.extendedTarget = extended;
    const CueContext ctx{engine.config(), model, engine.state(), inputs};
    int found = 0;
    cv::Mat frame;
    const auto prepare = [&](int i) {
        frame = skyGradient(480, 320);
        patch.copyTo(frame(seedBox + cv::Point(i % 5, i % 3)));
    };
    const unsigned long long counted = countAfterWarmup(prepare, [&](int i) {
        const TemplateResult r = cues.templates.measure(ctx, frame, frame, seedBox, i % 2 ? 40 : 64, 1.0 / 30.0);
        found += r.found;
    });
    EXPECT_EQ(found, kWarmup + kCounted);
    EXPECT_EQ(counted, 0u);
}

INSTANTIATE_TEST_SUITE_P(OneScaleAndCoarseToFine, TemplateSearch,
                         ::testing::Values(TemplateCase{16, false}, TemplateCase{72, false}, TemplateCase{72, true}));

}  // namespace
}  // namespace molvane::test
