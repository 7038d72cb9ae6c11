// How large the target is where it was found: the pixels around the centre that stand out
// from the local sky in the target's polarity, connected to the strongest of them. Every
// find of a small target (whatever cue made it) is sized this way, so the box follows a
// target that climbs away or comes closer instead of keeping the size it was seeded at.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace molvane {

struct Extent {
    cv::Rect box;  // frame pixels
    bool found = false;
};

class ExtentMeasurement {
public:
    // `current` is the size the target is tracked at; the search window is about three
    // times that. Nothing is found when the peak does not stand clear of the sky's own
    // noise, or when the region runs into the window's edge (it has merged with a cloud
    // or a neighbour, and its size would not be the target's).
    // With `regrow` > 0, a region that runs into the window's edge is looked for again
    // around its own centre in a window twice as large, up to `regrow` times: a target come
    // much closer may have been found by a piece of itself.
    Extent measure(const cv::Mat& grey, cv::Point2f center, cv::Size current, int polarity, double minDiff,
                   int regrow = 0);

private:
    // One look; `touched` tells whether the region ran into the window's edge (the region's
    // box is then in `out.box`, with `found` false).
    Extent measureOnce(const cv::Mat& grey, cv::Point2f center, cv::Size current, int polarity, double minDiff,
                       bool& touched);

    cv::Mat diff_;                                      // signed difference from the sky, clipped at 0
    cv::Mat mask_;                                      // visited pixels
    std::vector<unsigned char> diffStore_, maskStore_;  // their pixels, only ever grown
    std::vector<int> stack_;                            // region-growing work list
};

}  // namespace molvane
