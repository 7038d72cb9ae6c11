// Timing of the blob cues on a VGA sky frame with one small bright target: the foreground
// measurement and the contrast detection, median and 95th percentile over many runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include <time.h>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "cues/cue_context.hpp"
#include "cues/cue_set.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// CPU time of the calling thread: unlike wall time it does not count the time the
// scheduler gives to other processes, which dominates the tail on a busy machine.
double threadCpuMicros() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) * 1e-3;
}

double percentile(std::vector<double>& v, int p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * static_cast<size_t>(p) / 100)];
}

void report(const char* name, int runs, const std::function<bool()>& step) {
    for (int i = 0; i < 50; ++i) step();  // warm-up: scratch buffers reach their size
    std::vector<double> wall, cpu;
    wall.reserve(static_cast<size_t>(runs));
    cpu.reserve(static_cast<size_t>(runs));
    int found = 0;
    for (int i = 0; i < runs; ++i) {
        const double c0 = threadCpuMicros();
        const auto t0 = Clock::now();
        found += step() ? 1 : 0;
        wall.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        cpu.push_back(threadCpuMicros() - c0);
    }
    std::printf("%-40s wall median %7.1f p95 %7.1f | cpu median %7.1f p95 %7.1f us | found %d/%d\n", name,
                percentile(wall, 50), percentile(wall, 95), percentile(cpu, 50), percentile(cpu, 95), found, runs);
}

}  // namespace

int main() {
    using namespace molvane;
    const int W = 640, H = 480;
    cv::Mat grey(H, W, CV_8UC1);
    for (int y = 0; y < H; ++y) grey.row(y).setTo(cv::Scalar(140 + 40.0 * y / (H - 1)));
    cv::Mat noise(H, W, CV_8UC1);
    cv::RNG rng(3);
    rng.fill(noise, cv::RNG::NORMAL, 0, 2);
    cv::add(grey, noise, grey);
    const cv::Rect target(320, 240, 10, 10);
    grey(target).setTo(cv::Scalar(230));
    cv::Mat colour;
    cv::cvtColor(grey, colour, cv::COLOR_GRAY2BGR);

    const TrackerParams params;
    TargetModel model;
    EngineMotionState state;
    const ProposalInputs inputs;
    CueSet cues;
    const CueContext ctx{params, model, state, inputs};
    const cv::Rect box(318, 238, 14, 14);
    state.box = box;
    state.center = {325.0f, 245.0f};
    model.polarity = +1;
    model.templ = grey(box).clone();

    const int runs = 2000;
    const double dt = 1.0 / 30.0;
    std::printf("640 x 480 frame, 10 x 10 bright target, %d runs each, OpenCV threads %d\n", runs, cv::getNumThreads());
    report("foreground, 14 x 14 search box", runs,
           [&] { return cues.foreground.measure(ctx, grey, grey, box, {325.0f, 245.0f}).found; });
    report("foreground, 42 x 42 search window", runs,
           [&] { return cues.foreground.measure(ctx, grey, grey, {304, 224, 42, 42}, {325.0f, 245.0f}).found; });
    report("contrast detection, local (margin 60)", runs,
           [&] { return cues.contrast.detect(ctx, grey, grey, box + cv::Point(4, 3), 60, dt, +1, true, false).found; });
    report("contrast detection, whole frame", runs,
           [&] { return cues.contrast.detect(ctx, grey, grey, box, std::max(W, H), dt, +1, false, true).found; });
    report("contrast detection, whole frame, colour", runs,
           [&] { return cues.contrast.detect(ctx, colour, grey, box, std::max(W, H), dt, 0, false, true).found; });
    return 0;
}
