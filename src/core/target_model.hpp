// What the engine knows about the look of its target: the grey templates, the colour and
// Lab patches, the previous frame and the facts fixed at the lock (contrast polarity, seed
// size, whether the target is extended). The cues read it; only seeding and learning
// change it.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace molvane {

struct TargetModel {
    cv::Mat templ;                     // learned grey template, the size of the tracked box
    cv::Mat halfTemplate;              // the template at half size (empty for a one-pixel side)
    cv::Mat anchorTemplate;            // the grey template as seeded, never learned
    cv::Mat colourPatch;               // learned colour patch, at most 32 pixels on its long side
    cv::Mat anchorColourPatch;         // the colour patch as seeded
    cv::Mat labPatch;                  // the colour patch in Lab
    std::vector<cv::Mat> labChannels;  // its three Lab planes
    cv::Mat previousFrame;             // the grey frame of the last committed step (shared, read only)
    int polarity = 0;                  // +1 brighter than the sky, -1 darker, 0 unknown
    double seedContrast = 0.0;         // seed contrast in the polarity's direction; 0 when unknown
    cv::Size seedSize;                 // box size at the lock
    bool extendedTarget = false;       // large enough at the lock to show an outline
};

}  // namespace molvane
