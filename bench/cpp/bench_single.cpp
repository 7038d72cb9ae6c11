// Cost of one engine update on synthetic sky scenes: time and heap allocations per update.
//
// Scenes: a soft dark 10 x 10 target drifting on a 640 x 480 grey or BGR sky and on a
// 1280 x 720 BGR sky, a 120 x 50 aircraft on 1280 x 720 BGR, and the 10 x 10 target
// removed after a few frames so that the wide, full and sky searches run (the episode then
// starts over with a new seed). The grey conversion of a colour frame is done outside the
// timed call (the binding does it before the engine runs).
//
// Allocations are counted when the process runs with the counting interposer preloaded:
//   cc -O2 -shared -fPIC -o alloc_count.so bench/alloc_count/alloc_count.c -ldl
//   LD_PRELOAD=$PWD/alloc_count.so build/<dir>/bench_single
// Usage: bench_single [scene [frames]]   (scene: dot640g dot640c dot1280c plane1280c lost640c all)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <time.h>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/target_engine.hpp"

namespace {

using namespace molvane;
using Clock = std::chrono::steady_clock;

using CountFn = unsigned long long (*)();
CountFn gAllocCount = nullptr;

unsigned long long allocations() { return gAllocCount ? gAllocCount() : 0ULL; }

double threadCpuMicros() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) * 1e-3;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p / 100.0 * static_cast<double>(v.size())));
    return v[i];
}

struct SceneSpec {
    const char* name;
    int width;
    int height;
    bool colour;
    bool plane;
    bool lost;
};

const SceneSpec kScenes[] = {
    {"dot640g", 640, 480, false, false, false},  {"dot640c", 640, 480, true, false, false},
    {"dot1280c", 1280, 720, true, false, false}, {"plane1280c", 1280, 720, true, true, false},
    {"lost640c", 640, 480, true, false, true},
};

constexpr int kEpisodeOn = 6;
constexpr int kEpisodeOff = 16;

class SceneFrames {
public:
    explicit SceneFrames(const SceneSpec& s) : spec_(s) {
        const int W = s.width, H = s.height;
        cv::Mat sky(H, W, CV_32F);
        for (int y = 0; y < H; ++y) {
            sky.row(y).setTo(cv::Scalar(150.0 + 55.0 * std::pow(static_cast<double>(y) / (H - 1), 1.2)));
        }
        cv::RNG rng(11);
        cv::Mat small(H / 80 + 3, W / 80 + 3, CV_32F);
        rng.fill(small, cv::RNG::UNIFORM, 0.0, 1.0);
        cv::Mat clouds;
        cv::resize(small, clouds, cv::Size(small.cols * 80, small.rows * 80), 0, 0, cv::INTER_CUBIC);
        clouds = clouds(cv::Rect(0, 0, W, H)) - 0.5;
        clouds = cv::max(clouds, 0.0);
        sky += 10.0 * clouds;
        if (s.colour) {
            std::vector<cv::Mat> ch{sky * 1.0, sky * 0.86, sky * 0.7};
            cv::merge(ch, base_);
        } else {
            base_ = sky;
        }
        for (auto& n : noise_) {
            n.create(H + kPad, W + kPad, base_.type());
            rng.fill(n, cv::RNG::NORMAL, 0.0, 2.0);
        }
        if (s.plane) buildPlane();
    }

    bool present(int i) const { return !spec_.lost || i % (kEpisodeOn + kEpisodeOff) < kEpisodeOn; }
    bool episodeStart(int i) const { return i == 0 || (spec_.lost && i % (kEpisodeOn + kEpisodeOff) == 0); }

    cv::Point2f path(int i) const {
        const double W = spec_.width, H = spec_.height;
        if (spec_.plane) {
            // Back and forth across the middle at about 3 px per frame, gently bobbing.
            const double span = 0.6 * W;
            const double u = std::fmod(3.1 * i, 2.0 * span);
            return {static_cast<float>(0.2 * W + (u <= span ? u : 2.0 * span - u)),
                    static_cast<float>(0.42 * H + 0.05 * H * std::sin(i / 40.0))};
        }
        const double t = i / 70.0;
        return {static_cast<float>(0.5 * W + 0.22 * W * std::sin(t) + 0.03 * W * std::sin(3.1 * t)),
                static_cast<float>(0.5 * H + 0.2 * H * std::sin(0.8 * t + 0.6))};
    }

    cv::Rect seedBox(int i) const {
        const cv::Point2f c = path(i);
        const int w = spec_.plane ? 120 : 10, h = spec_.plane ? 50 : 10;
        return {static_cast<int>(std::lround(c.x - w / 2.0)), static_cast<int>(std::lround(c.y - h / 2.0)), w, h};
    }

    void render(int i, cv::Mat& out) {
        const int ox = static_cast<int>(rng_.uniform(0, kPad)), oy = static_cast<int>(rng_.uniform(0, kPad));
        cv::add(base_, noise_[i % 2](cv::Rect(ox, oy, spec_.width, spec_.height)), work_);
        if (present(i)) {
            const cv::Point2f c = path(i);
            if (spec_.plane) {
                const int x0 = static_cast<int>(std::floor(c.x)) - planeAlpha_.cols / 2;
                const int y0 = static_cast<int>(std::floor(c.y)) - planeAlpha_.rows / 2;
                blend(planeAlpha_, x0, y0, 55.0f);
            } else {
                const int r = 12;
                const int x0 = static_cast<int>(std::floor(c.x)) - r, y0 = static_cast<int>(std::floor(c.y)) - r;
                cv::Mat a(2 * r + 1, 2 * r + 1, CV_32F);
                for (int y = 0; y < a.rows; ++y) {
                    for (int x = 0; x < a.cols; ++x) {
                        const float d = std::hypot(x0 + x - c.x, y0 + y - c.y);
                        a.at<float>(y, x) = std::clamp(5.5f - d, 0.0f, 1.0f);
                    }
                }
                blend(a, x0, y0, 60.0f);
            }
        }
        work_.convertTo(out, spec_.colour ? CV_8UC3 : CV_8UC1);
    }

private:
    static constexpr int kPad = 16;

    void buildPlane() {
        const int ss = 4, pw = 128, ph = 58;
        const float fx = pw / 2.0f, fy = ph / 2.0f;
        auto poly = [&](std::initializer_list<std::pair<float, float>> pts) {
            std::vector<cv::Point> out;
            for (auto [u, v] : pts) {
                out.emplace_back(static_cast<int>(std::lround((fx + u * 120.f) * ss)),
                                 static_cast<int>(std::lround((fy + v * 50.f) * ss)));
            }
            return out;
        };
        std::vector<std::vector<cv::Point>> polys{
            poly({{0.5f, 0.12f},
                  {0.42f, 0.02f},
                  {-0.42f, 0.f},
                  {-0.5f, -0.04f},
                  {-0.5f, 0.1f},
                  {-0.4f, 0.2f},
                  {0.42f, 0.22f}}),
            poly({{-0.32f, 0.02f}, {-0.44f, -0.5f}, {-0.5f, -0.5f}, {-0.48f, 0.02f}}),
            poly({{0.12f, 0.12f}, {-0.14f, 0.5f}, {-0.22f, 0.5f}, {-0.06f, 0.12f}})};
        cv::Mat big = cv::Mat::zeros(ph * ss, pw * ss, CV_8U);
        cv::fillPoly(big, polys, cv::Scalar(255));
        cv::Mat a8;
        cv::resize(big, a8, cv::Size(pw, ph), 0, 0, cv::INTER_AREA);
        a8.convertTo(planeAlpha_, CV_32F, 1.0 / 255.0);
    }

    void blend(const cv::Mat& alpha, int x0, int y0, float value) {
        const cv::Rect r = cv::Rect(x0, y0, alpha.cols, alpha.rows) & cv::Rect(0, 0, work_.cols, work_.rows);
        for (int y = r.y; y < r.y + r.height; ++y) {
            const float* a = alpha.ptr<float>(y - y0);
            float* p = work_.ptr<float>(y);
            const int cn = work_.channels();
            for (int x = r.x; x < r.x + r.width; ++x) {
                const float k = a[x - x0];
                for (int c = 0; c < cn; ++c) p[x * cn + c] = p[x * cn + c] * (1.f - k) + k * value;
            }
        }
    }

    SceneSpec spec_;
    cv::Mat base_, work_;
    cv::Mat noise_[2];
    cv::Mat planeAlpha_;
    cv::RNG rng_{12};
};

const char* phaseOf(int misses) {
    if (misses == 0) return "tracking";
    if (misses <= 2) return "miss";
    if (misses <= 7) return "wide";
    if (misses == 8) return "full";
    return "sky";
}

// FNV-1a over the fields of every step and its reason: equal checksums mean the engine made
// the same decisions with the same numbers.
struct Checksum {
    std::uint64_t h = 1469598103934665603ULL;
    void add(const void* data, std::size_t n) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ULL;
    }
    void add(const TrackStep& s, const char* reason, double targetScore, double confidence) {
        const float f[] = {s.x, s.y, s.w, s.h, s.cx, s.cy, s.vx, s.vy, s.speed};
        const int32_t n[] = {static_cast<int32_t>(s.state), s.age, s.hits, s.misses};
        add(f, sizeof f);
        add(n, sizeof n);
        add(reason, std::strlen(reason));
        add(&targetScore, sizeof targetScore);
        add(&confidence, sizeof confidence);
    }
};

struct Samples {
    std::vector<double> wall, cpu, allocs;
};

void print(const char* label, const Samples& s) {
    if (s.wall.empty()) return;
    std::printf("  %-12s n=%4zu  wall median %7.1f p95 %7.1f max %7.1f | cpu median %7.1f p95 %7.1f max %7.1f us",
                label, s.wall.size(), percentile(s.wall, 50), percentile(s.wall, 95), percentile(s.wall, 100),
                percentile(s.cpu, 50), percentile(s.cpu, 95), percentile(s.cpu, 100));
    if (gAllocCount) {
        double sum = 0.0;
        for (double a : s.allocs) sum += a;
        std::printf(" | allocs/update mean %.1f max %.0f", sum / static_cast<double>(s.allocs.size()),
                    percentile(s.allocs, 100));
    }
    std::printf("\n");
}

void runScene(const SceneSpec& spec, int frames, int warmup) {
    SceneFrames scene(spec);
    cv::Mat frame, grey, greyConversion;
    TrackerParams params = trackerParamsForProfile("default");
    std::unique_ptr<TargetEngine> engine;
    Samples all;
    std::map<std::string, Samples> phases;
    std::map<std::string, int> reasons;
    Samples conversion;
    Checksum checksum;
    const double dt = 1.0 / 30.0;
    for (int i = 0; i < frames; ++i) {
        scene.render(i, frame);
        if (spec.colour) {
            const double c0 = threadCpuMicros();
            const auto t0 = Clock::now();
            cv::cvtColor(frame, greyConversion, cv::COLOR_BGR2GRAY);
            if (i >= warmup) {
                conversion.wall.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
                conversion.cpu.push_back(threadCpuMicros() - c0);
                conversion.allocs.push_back(0);
            }
            grey = greyConversion;
        } else {
            grey = frame;
        }
        if (scene.episodeStart(i)) {
            if (!engine) engine = std::make_unique<TargetEngine>(params);
            engine->initialize(frame, grey, scene.seedBox(i));
            continue;
        }
        const unsigned long long a0 = allocations();
        const double c0 = threadCpuMicros();
        const auto t0 = Clock::now();
        const TrackStep step = engine->update(frame, grey, dt);
        const double wall = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        const double cpu = threadCpuMicros() - c0;
        const double allocs = static_cast<double>(allocations() - a0);
        checksum.add(step, reasonText(engine->reason()), engine->targetScore(), engine->confidence());
        if (i < warmup) continue;
        all.wall.push_back(wall);
        all.cpu.push_back(cpu);
        all.allocs.push_back(allocs);
        Samples& p = phases[phaseOf(step.misses)];
        p.wall.push_back(wall);
        p.cpu.push_back(cpu);
        p.allocs.push_back(allocs);
        ++reasons[reasonText(engine->reason())];
    }
    std::printf("%s (%dx%d %s, %s)\n", spec.name, spec.width, spec.height, spec.colour ? "BGR" : "grey",
                spec.plane ? "120x50 aircraft" : (spec.lost ? "10x10 target, removed" : "10x10 target"));
    print("update", all);
    if (spec.lost) {
        for (const auto& [name, s] : phases) print(name.c_str(), s);
    }
    if (spec.colour) print("cvtColor", conversion);
    std::printf("  reasons:");
    for (const auto& [name, n] : reasons) std::printf(" %s=%d", name.c_str(), n);
    std::printf("\n  checksum %016llx\n", static_cast<unsigned long long>(checksum.h));
}

}  // namespace

int main(int argc, char** argv) {
    gAllocCount = reinterpret_cast<CountFn>(dlsym(RTLD_DEFAULT, "alloc_count_total"));
    cv::setNumThreads(1);
    const std::string which = argc > 1 ? argv[1] : "all";
    const int frames = argc > 2 ? std::max(2, std::atoi(argv[2])) : 400;
    const int warmup = std::min(20, frames / 4);
    if (!gAllocCount) std::printf("(allocation counts need LD_PRELOAD of the alloc_count interposer)\n");
    bool any = false;
    for (const SceneSpec& s : kScenes) {
        if (which != "all" && which != s.name) continue;
        runScene(s, frames, warmup);
        any = true;
    }
    if (!any) {
        std::fprintf(stderr, "unknown scene %s\n", which.c_str());
        return 2;
    }
    return 0;
}
