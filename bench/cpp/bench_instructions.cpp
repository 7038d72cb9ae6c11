// Exact cost of the native update path, for counting instructions under callgrind
// (bench/instructions.py runs it): every case plays synthetic sky frames through what the
// Python binding does per call - the grey conversion of a colour frame, then one engine
// (Tracker) or one MultiTracker update. Only `measuredUpdate` (after a warm-up) and
// `measuredLock` do that work, so `--toggle-collect` on one of them counts nothing else.
//
// Usage: bench_instructions CASE [updates]
//   CASE: dot640c dot640g dot1280c plane1280c multi640g8 trackers640g8 multi1280c8 lock640c
// Prints the number of measured calls. Allocations per measured update are printed too when
// the process runs with bench/alloc_count preloaded.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <dlfcn.h>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/grey_frames.hpp"
#include "engine/target_engine.hpp"
#include "multi/multi_tracker.hpp"

namespace {

using namespace molvane;

struct Case {
    const char* name;
    int width, height;
    bool colour;
    int targets;
    bool multi;     // one MultiTracker (else one Tracker per target)
    cv::Size size;  // target size
    bool lockOnly;  // count the first lock, in a fresh process
};

const Case kCases[] = {
    {"dot640c", 640, 480, true, 1, false, {10, 10}, false},
    {"dot640g", 640, 480, false, 1, false, {10, 10}, false},
    {"dot1280c", 1280, 720, true, 1, false, {10, 10}, false},
    {"plane1280c", 1280, 720, true, 1, false, {40, 30}, false},
    {"multi640g8", 640, 480, false, 8, true, {10, 10}, false},
    {"trackers640g8", 640, 480, false, 8, false, {10, 10}, false},
    {"multi1280c8", 1280, 720, true, 8, true, {10, 10}, false},
    {"lock640c", 640, 480, true, 1, false, {10, 10}, true},
};

// A gradient sky with faint clouds and sensor noise; dark soft ellipses on smooth paths,
// each in its own part of the frame.
class Scene {
public:
    explicit Scene(const Case& c) : c_(c) {
        const int W = c.width, H = c.height;
        cv::Mat sky(H, W, CV_32F);
        for (int y = 0; y < H; ++y) sky.row(y).setTo(150.0 + 55.0 * static_cast<double>(y) / (H - 1));
        cv::RNG rng(7);
        cv::Mat small(H / 80 + 3, W / 80 + 3, CV_32F), clouds;
        rng.fill(small, cv::RNG::UNIFORM, 0.0, 1.0);
        cv::resize(small, clouds, cv::Size(small.cols * 80, small.rows * 80), 0, 0, cv::INTER_CUBIC);
        sky += 10.0 * cv::max(clouds(cv::Rect(0, 0, W, H)) - 0.5, 0.0);
        if (c.colour) {
            std::vector<cv::Mat> ch{sky * 1.0, sky * 0.86, sky * 0.7};
            cv::merge(ch, base_);
        } else {
            base_ = sky;
        }
        for (cv::Mat& n : noise_) {
            n.create(H + kPad, W + kPad, base_.type());
            rng.fill(n, cv::RNG::NORMAL, 0.0, 2.0);
        }
    }

    cv::Point2f centre(int target, int i) const {
        const int cols = c_.targets > 1 ? 4 : 1, rows = (c_.targets + cols - 1) / cols;
        const float cw = static_cast<float>(c_.width) / cols, ch = static_cast<float>(c_.height) / rows;
        const float t = static_cast<float>(i) / 40.f + static_cast<float>(target);
        return {cw * (static_cast<float>(target % cols) + 0.5f + 0.25f * std::sin(t)),
                ch * (static_cast<float>(target / cols) + 0.5f + 0.2f * std::sin(0.7f * t + 0.5f))};
    }

    cv::Rect box(int target, int i) const {
        const cv::Point2f c = centre(target, i);
        return {static_cast<int>(std::lround(c.x - c_.size.width / 2.0)),
                static_cast<int>(std::lround(c.y - c_.size.height / 2.0)), c_.size.width, c_.size.height};
    }

    void render(int i, cv::Mat& out) {
        cv::add(base_, noise_[i % 2](cv::Rect(i % kPad, (3 * i) % kPad, c_.width, c_.height)), work_);
        const float ax = c_.size.width / 2.f, ay = c_.size.height / 2.f;
        for (int k = 0; k < c_.targets; ++k) {
            const cv::Point2f c = centre(k, i);
            const cv::Rect r = cv::Rect(static_cast<int>(c.x - ax) - 2, static_cast<int>(c.y - ay) - 2,
                                        c_.size.width + 5, c_.size.height + 5) &
                               cv::Rect(0, 0, c_.width, c_.height);
            const int cn = work_.channels();
            for (int y = r.y; y < r.y + r.height; ++y) {
                float* p = work_.ptr<float>(y);
                for (int x = r.x; x < r.x + r.width; ++x) {
                    const float dx = (x + 0.5f - c.x) / ax, dy = (y + 0.5f - c.y) / ay;
                    const float a = std::clamp(3.f * (1.f - std::sqrt(dx * dx + dy * dy)), 0.f, 1.f);
                    for (int ch = 0; ch < cn; ++ch) p[x * cn + ch] += a * (60.f - p[x * cn + ch]);
                }
            }
        }
        work_.convertTo(out, c_.colour ? CV_8UC3 : CV_8UC1);
    }

private:
    static constexpr int kPad = 16;
    Case c_;
    cv::Mat base_, work_, noise_[2];
};

// What one Python object holds: its engines and its grey conversion.
struct Subject {
    std::vector<std::unique_ptr<TargetEngine>> trackers;
    std::unique_ptr<MultiTracker> multi;
    std::vector<GreyFrames> grey;  // one per Python object
    std::vector<TrackResult> results;
};

__attribute__((noinline)) void measuredLock(Subject& s, const cv::Mat& frame, const std::vector<cv::Rect>& boxes) {
    if (s.multi) {
        s.multi->lock(frame, s.grey[0].greyOf(frame), boxes);
        return;
    }
    for (std::size_t k = 0; k < s.trackers.size(); ++k) {
        s.trackers[k]->initialize(frame, s.trackers[k]->greyFrames().greyOf(frame), boxes[k]);
    }
}

void update(Subject& s, const cv::Mat& frame, double dt) {
    if (s.multi) {
        s.results = s.multi->update(frame, s.grey[0].greyOf(frame), dt);
        return;
    }
    for (auto& t : s.trackers) t->update(frame, t->greyFrames().greyOf(frame), dt);
}

// The same work, once counted and once not (warm-up). Each counts its calls, which also
// keeps the compiler from folding the two into one function.
int gMeasuredCalls = 0;
int gWarmCalls = 0;
__attribute__((noinline)) void measuredUpdate(Subject& s, const cv::Mat& frame, double dt) {
    ++gMeasuredCalls;
    update(s, frame, dt);
}
__attribute__((noinline)) void warmUpdate(Subject& s, const cv::Mat& frame, double dt) {
    ++gWarmCalls;
    update(s, frame, dt);
}

using CountFn = unsigned long long (*)();

}  // namespace

int main(int argc, char** argv) {
    cv::setNumThreads(1);
    const CountFn allocCount = reinterpret_cast<CountFn>(dlsym(RTLD_DEFAULT, "alloc_count_total"));
    const std::string which = argc > 1 ? argv[1] : "";
    const int updates = argc > 2 ? std::max(1, std::atoi(argv[2])) : 60;
    const Case* c = nullptr;
    for (const Case& k : kCases) {
        if (which == k.name) c = &k;
    }
    if (!c) {
        std::fprintf(stderr, "usage: bench_instructions CASE [updates]; cases:");
        for (const Case& k : kCases) std::fprintf(stderr, " %s", k.name);
        std::fprintf(stderr, "\n");
        return 2;
    }
    Scene scene(*c);
    const TrackerParams params = trackerParamsForProfile("default");
    Subject s;
    if (c->multi) {
        s.multi = std::make_unique<MultiTracker>(params);
        s.grey.resize(1);
    } else {
        for (int k = 0; k < c->targets; ++k) s.trackers.push_back(std::make_unique<TargetEngine>(params));
    }
    std::vector<cv::Rect> boxes;
    for (int k = 0; k < c->targets; ++k) boxes.push_back(scene.box(k, 0));
    cv::Mat frame;
    scene.render(0, frame);
    measuredLock(s, frame, boxes);
    if (c->lockOnly) {
        std::printf("calls 1\n");
        return 0;
    }
    // Warm-up: scratch buffers reach their sizes, the targets are confirmed.
    constexpr int kWarmup = 30;
    const double dt = 1.0 / 30.0;
    for (int i = 1; i <= kWarmup; ++i) {
        scene.render(i, frame);
        warmUpdate(s, frame, dt);
    }
    unsigned long long allocs = 0;
    for (int i = kWarmup + 1; i <= kWarmup + updates; ++i) {
        scene.render(i, frame);
        const unsigned long long a0 = allocCount ? allocCount() : 0;
        measuredUpdate(s, frame, dt);
        allocs += allocCount ? allocCount() - a0 : 0;
    }
    std::printf("calls %d\n", gMeasuredCalls);
    if (allocCount) std::printf("allocs/update %.2f\n", static_cast<double>(allocs) / updates);
    return 0;
}
