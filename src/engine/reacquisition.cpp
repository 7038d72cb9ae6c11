// Wide and full-frame reacquisition on a missed frame, and the lost step when they do not
// find the target.
#include "engine/reacquisition.hpp"

#include <algorithm>

#include "core/geometry.hpp"
#include "core/reasons.hpp"
#include "engine/target_engine.hpp"

namespace molvane {

namespace {

// A full-frame candidate must look like the target and be more convincing than a wide one.
constexpr double kFullSearchMinTargetScore = 0.35;
constexpr double kFullSearchMinConfidence = 0.6;

bool onCadence(long long n, long long after, long long interval) {
    return interval > 0 && n >= after && (n - after) % interval == 0;
}

long long grownArea(const cv::Rect& box, long long margin, int frameW, int frameH) {
    const cv::Rect r = growAndClip(box, margin, frameW, frameH);
    return static_cast<long long>(r.width) * r.height;
}

}  // namespace

ReacquireSearch scheduledReacquireSearch(long long missCount, long long seedArea, const TrackerParams& p) {
    const bool fullEligible = p.full_search_after_misses > 0 && missCount >= p.full_search_after_misses &&
                              (p.full_search_min_area <= 0 || seedArea >= p.full_search_min_area) &&
                              (p.full_search_max_area <= 0 || seedArea <= p.full_search_max_area);
    if (fullEligible) {
        return onCadence(missCount, p.full_search_after_misses, p.full_search_interval) ? ReacquireSearch::Full
                                                                                        : ReacquireSearch::None;
    }
    return onCadence(missCount, p.wide_search_after_misses, p.wide_search_interval) ? ReacquireSearch::Wide
                                                                                    : ReacquireSearch::None;
}

int wideSearchRadius(const cv::Rect& predictedBox, int radius, long long maxArea, int frameW, int frameH) {
    if (radius <= 0 || maxArea <= 0 || grownArea(predictedBox, radius, frameW, frameH) <= maxArea) return radius;
    long long lo = 0;
    long long hi = radius;
    while (true) {
        const long long mid = lo + (hi - lo + 1) / 2;
        if (grownArea(predictedBox, mid, frameW, frameH) <= maxArea) {
            lo = mid;
            if (mid >= hi) break;
        } else {
            hi = mid - 1;
            if (lo >= hi) break;
        }
    }
    return static_cast<int>(lo);
}

TrackStep TargetEngine::reacquireOrMiss(const cv::Mat& colourFrame, const cv::Mat& grey, Reason why, double dtSeconds) {
    const int W = grey.cols;
    const int H = grey.rows;
    const long long n = static_cast<long long>(draft_.misses) + 1;
    const double dtc = effectiveInterval(dtSeconds);
    const cv::Point2f pc = draft_.center + draft_.velocity * static_cast<float>(dtc);
    const cv::Rect P = boxFromCenter(pc.x, pc.y, draft_.box.width, draft_.box.height, W, H);
    const long long seedArea = static_cast<long long>(model_.seedSize.width) * model_.seedSize.height;

    const ReacquireSearch search =
        grey.empty() ? ReacquireSearch::None : scheduledReacquireSearch(n, seedArea, config_);
    if (search != ReacquireSearch::None) {
        const bool full = search == ReacquireSearch::Full;
        const int margin = full ? std::max(W, H)
                                : wideSearchRadius(P, std::max(config_.max_search_radius, config_.wide_search_radius),
                                                   config_.wide_search_max_area, W, H);
        const CueContext ctx = cueContext();
        const int polarity = model_.polarity;
        Measurement candidate =
            cues_.contrast.detect(ctx, colourFrame, grey, P, margin, dtSeconds, polarity, false, full);
        if (!candidate.found && polarity != 0) {
            candidate = cues_.contrast.detect(ctx, colourFrame, grey, P, margin, dtSeconds, 0, false, full);
        }
        if (candidate.found) {
            candidate.reason = full ? Reason::kReacquireFull : Reason::kReacquireWide;
            double threshold = config_.reacquire_min_score;
            if (full) threshold = std::max(threshold, kFullSearchMinConfidence);
            // Where the target may be by now: the motion gate has grown while it was unseen.
            const bool usable = !isBlocked(candidate) && inputs_.motionGate.passes(candidate.center) &&
                                !(full && candidate.targetScore < kFullSearchMinTargetScore) &&
                                candidate.confidence >= threshold && candidateResembles(grey, candidate);
            if (usable) {
                // A target declared gone needs two looks, as in the sky search.
                const int needed = std::max(config_.reacquire_confirm_frames, draft_.presence.targetAbsent ? 2 : 1);
                return reacquisitionStep(colourFrame, grey, candidate, needed, dtSeconds);
            }
        }
    }
    return lostStep(why, dtSeconds, W, H);
}

}  // namespace molvane
