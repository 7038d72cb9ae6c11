// Synthetic sky frames for the C++ tests: backgrounds (gradients, flat, noisy, textured) and
// the targets drawn on them. Every image is a pure function of its arguments and seeds
// (except randomSky, which draws from OpenCV's per-thread generator), and the tests pin
// exact results on these pixels: a change here that moves a pixel is a change of the tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace molvane::test {

// ---------------------------------------------------------------------------------------
// Backgrounds (grey, CV_8UC1)

// A smooth vertical sky gradient, brighter towards the horizon.
inline cv::Mat skyGradient(int width, int height, int top = 140, int bottom = 180) {
    cv::Mat sky(height, width, CV_8UC1);
    for (int y = 0; y < height; ++y) {
        const double v = top + (bottom - top) * (height > 1 ? static_cast<double>(y) / (height - 1) : 0.0);
        sky.row(y).setTo(cv::Scalar(v));
    }
    return sky;
}

// A soft gradient in whole grey levels, 100 at the top rising by 30 towards the bottom.
inline cv::Mat skyRamp(int W, int H) {
    cv::Mat grey(H, W, CV_8U);
    for (int r = 0; r < H; ++r) grey.row(r).setTo(cv::Scalar(100 + (30 * r) / std::max(H, 1)));
    return grey;
}

// One grey level everywhere: nothing for a search to find.
inline cv::Mat flatSky(int W, int H, int level = 100) { return cv::Mat(H, W, CV_8U, cv::Scalar(level)); }

// Adds uniform noise in [0, high) drawn from its own generator.
inline void addUniformNoise(cv::Mat& grey, int high, std::uint64_t seed) {
    cv::RNG rng(seed);
    cv::Mat noise(grey.size(), CV_8UC1);
    rng.fill(noise, cv::RNG::UNIFORM, 0, high);
    grey += noise;
}

// A flat sky at `level` with uniform noise in [0, high).
inline cv::Mat noisySky(int W, int H, int level, int high, std::uint64_t seed) {
    cv::Mat grey = flatSky(W, H, level);
    addUniformNoise(grey, high, seed);
    return grey;
}

// Normal noise around `mean`, blurred: a mildly textured sky. Takes the generator so that a
// caller can go on drawing the target's texture from it.
inline cv::Mat blurredNoiseSky(cv::Size size, double mean, double sd, double blurSigma, cv::RNG& rng) {
    cv::Mat grey(size, CV_8UC1);
    rng.fill(grey, cv::RNG::NORMAL, mean, sd);
    cv::GaussianBlur(grey, grey, cv::Size(5, 5), blurSigma);
    return grey;
}

// Uniform values in [lo, hi) from OpenCV's per-thread generator.
inline cv::Mat randomSky(int W, int H, int lo, int hi) {
    cv::Mat img(H, W, CV_8UC1);
    cv::randu(img, cv::Scalar(lo), cv::Scalar(hi));
    return img;
}

// ---------------------------------------------------------------------------------------
// Targets

inline void paint(cv::Mat& image, const cv::Rect& r, double value) { image(r).setTo(cv::Scalar::all(value)); }

// Repeatable texture, so that correlation scores are well defined.
inline cv::Mat texture(int width, int height, unsigned seed = 7) {
    cv::Mat t(height, width, CV_8UC1);
    cv::RNG rng(seed);
    rng.fill(t, cv::RNG::UNIFORM, 20, 235);
    return t;
}

// skyRamp with a bright blob of the given diameter (none when 0).
inline cv::Mat skyWithBlob(int W, int H, cv::Point2f center, int diameter, int brightness = 235) {
    cv::Mat grey = skyRamp(W, H);
    if (diameter > 0) {
        const int radius = std::max(diameter / 2, 1);
        cv::circle(grey, cv::Point(static_cast<int>(std::lround(center.x)), static_cast<int>(std::lround(center.y))),
                   radius, cv::Scalar(brightness), cv::FILLED, cv::LINE_8);
    }
    return grey;
}

// A 160 x 120 random sky (170-179) with a dark 10 x 10 square centred on each point.
inline cv::Mat skyWithBlobs(const std::vector<cv::Point>& centres) {
    cv::Mat img = randomSky(160, 120, 170, 180);
    for (const cv::Point& c : centres) paint(img, cv::Rect(c.x - 5, c.y - 5, 10, 10), 40);
    return img;
}

// A dark noisy 640 x 480 sky with a bright elliptic blob filling about a third of `size`
// (local contrast searches admit at most half the box area) and a greyer spot beside its
// centre.
inline cv::Mat skyWithTarget(cv::Point centre, cv::Size size) {
    cv::Mat grey = noisySky(640, 480, 60, 4, 5);
    cv::ellipse(grey, centre, cv::Size(size.width / 3, size.height / 3), 0, 0, 360, cv::Scalar(210), cv::FILLED);
    cv::circle(grey, centre + cv::Point(size.width / 6, 0), std::max(size.height / 6, 2), cv::Scalar(150), cv::FILLED);
    return grey;
}

// A mildly textured 640 x 480 sky with one bright w x h target at (300, 200), returned in
// `box`: a filled box (kind 0) or an L (no symmetry a biased filter could hide behind).
inline cv::Mat texturedSkyWithTarget(int w, int h, cv::Rect& box, int kind = 0) {
    cv::RNG rng(7);
    cv::Mat grey = blurredNoiseSky({640, 480}, 120, 6, 1.5, rng);
    box = cv::Rect(300, 200, w, h);
    if (kind == 0) {
        grey(box).setTo(210);
    } else {
        grey(cv::Rect(box.x, box.y, w, std::max(1, h / 3))).setTo(220);
        grey(cv::Rect(box.x, box.y, std::max(1, w / 3), h)).setTo(220);
    }
    return grey;
}

// A 160 x 120 skyGradient with a dark target of radius 5 and a lighter core at `c` (none
// when `c.x` < 0).
inline cv::Mat skyWithDarkDot(cv::Point c) {
    cv::Mat sky = skyGradient(160, 120);
    if (c.x >= 0) {
        cv::circle(sky, c, 5, cv::Scalar(60), -1);
        cv::circle(sky, c + cv::Point(1, -1), 2, cv::Scalar(110), -1);
    }
    return sky;
}

}  // namespace molvane::test
