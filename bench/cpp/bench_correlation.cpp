// Timing of one correlation bank detection per frame: a 10 x 10 target on a 640 x 480
// frame with the 128 px search patch (four filters). Prints median and 95th percentile.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "cues/correlator.hpp"

namespace {

double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(q * (v.size() - 1) + 0.5));
    return v[i];
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    cv::Mat grey(480, 640, CV_8UC1);
    cv::RNG rng(1);
    rng.fill(grey, cv::RNG::NORMAL, 120, 8);
    cv::GaussianBlur(grey, grey, cv::Size(5, 5), 1.5);
    const cv::Rect box(315, 235, 10, 10);
    grey(box).setTo(220);

    molvane::CorrelatorBank bank;
    const auto t0 = std::chrono::steady_clock::now();
    bank.train(grey, box, 128);
    const auto t1 = std::chrono::steady_clock::now();
    const double trainUs = std::chrono::duration<double, std::micro>(t1 - t0).count();

    // The target drifts a little each frame, as a tracked one would.
    const cv::Point2f centre(320.f, 240.f);
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(iterations));
    double checksum = 0.0;
    for (int i = 0; i < iterations + 50; ++i) {
        const cv::Point2f at = centre + cv::Point2f(static_cast<float>(i % 5) - 2.f, static_cast<float>(i % 3) - 1.f);
        const auto a = std::chrono::steady_clock::now();
        const molvane::CorrelationResult r = bank.detect(grey, at);
        const auto b = std::chrono::steady_clock::now();
        checksum += r.psr;
        if (i >= 50) times.push_back(std::chrono::duration<double, std::micro>(b - a).count());  // after warm-up
    }
    std::printf("correlation bank detect: S=%d, %zu filters, %d runs\n", bank.searchSize(), bank.size(), iterations);
    std::printf("  train   %.0f us\n", trainUs);
    std::printf("  detect  median %.1f us, p95 %.1f us\n", percentile(times, 0.5), percentile(times, 0.95));
    std::printf("  (checksum %.3f)\n", checksum);
    return 0;
}
