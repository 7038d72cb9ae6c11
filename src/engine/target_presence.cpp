// Whether what the tracker holds is still the locked target. Every cue can latch onto
// something that is not the target once the target has gone (a cloud rim, a mast, the sky
// at the frame edge), and would go on reporting it as confirmed. This check compares each
// observation with the seed: its anchor similarity and, for a target with a known contrast
// polarity, how strongly it stands out from its surroundings. A run of unlike observations
// declares the target gone; only an observation that clearly resembles it again brings it
// back, through the usual confirmation.
#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/core.hpp>

#include "cues/buffer_ops.hpp"
#include "core/counters.hpp"
#include "core/geometry.hpp"
#include "core/reasons.hpp"
#include "engine/ring_contrast.hpp"
#include "engine/target_engine.hpp"

namespace molvane {

namespace {

// Shares of the target's typical similarity below which an observation counts as unlike
// it, and which a returning target must reach.
constexpr double kUnlikeShareOfTypical = 0.35;
constexpr double kReacquireShareOfTypical = 0.65;
// A return at this share of the typical similarity is a close match; a return below it
// must also be seen moving: what a tracker finds standing still where the target vanished
// is mostly scenery (a mast, the rim of the cloud it flew into). Moving means a mean
// absolute grey change over the box since the last frame of at least this many grey
// levels and this share of the seed's contrast.
constexpr double kCloseMatchShareOfTypical = 0.9;
constexpr double kMinReturnMotion = 4.0;
constexpr double kReturnMotionShareOfContrast = 0.04;
// A find that stands still and lies beyond this share of the motion gate from the
// prediction is a look-alike the target passed, not the target.
constexpr double kStillJumpShareOfGate = 0.5;
// Parked on scenery: the box stands still (PresenceState::stillFor) and resembles the seed
// less than this share of its typical similarity.
constexpr double kParkedShareOfTypical = 0.8;
// The typical values are plain means over the first observations, then running means with
// this weight for each new one (so counting beyond 1 / weight changes nothing); they are
// trusted after the warm-up count.
constexpr double kTypicalSimilarityRate = 0.1;
constexpr double kTypicalContrastRate = 0.03;
constexpr int kTypicalSamplesCap = 10;
constexpr int kTypicalWarmup = PresenceState::kTypicalWarmup;
// A contrast this many standard deviations of the surrounding sky, and this many of the
// engine's smallest difference thresholds, stands out whatever the target showed before:
// the contrast test is a floor against nothing being there, not a ratio alone.
constexpr double kClearContrastSigmas = 8.0;
constexpr double kClearContrastDiffs = 1.5;
// Grey levels: the least noise a ring is credited with (a rendered sky may have none).
constexpr double kNoiseFloor = 2.0;

// Normalised correlation of `box` in `grey` with `reference`, the box sampled at the
// reference's pixel centres (nearest pixel), so no resized copy is needed. Against a
// (near-)flat side the mean absolute difference decides instead. Integer sums: exact, and
// cheap enough to run at every shift of the alignment search below.
double sampledSimilarity(const cv::Mat& grey, const cv::Rect& box, const cv::Mat& reference,
                         std::vector<int>& columns) {
    const int rw = reference.cols, rh = reference.rows;
    columns.resize(static_cast<std::size_t>(rw));  // grow-only: no allocation once warm
    for (int x = 0; x < rw; ++x) {
        columns[static_cast<std::size_t>(x)] =
            box.x + std::min(box.width - 1, static_cast<int>((x + 0.5) * box.width / rw));
    }
    long long sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0, sad = 0;
    for (int y = 0; y < rh; ++y) {
        const int gy = box.y + std::min(box.height - 1, static_cast<int>((y + 0.5) * box.height / rh));
        const uchar* grow = grey.ptr<uchar>(gy);
        const uchar* rrow = reference.ptr<uchar>(y);
        for (int x = 0; x < rw; ++x) {
            const int a = grow[columns[static_cast<std::size_t>(x)]], b = rrow[x];
            sa += a;
            sb += b;
            saa += a * a;
            sbb += b * b;
            sab += a * b;
            sad += a > b ? a - b : b - a;
        }
    }
    const double n = static_cast<double>(rw) * rh;
    const double ma = static_cast<double>(sa) / n, mb = static_cast<double>(sb) / n;
    const double va = static_cast<double>(saa) / n - ma * ma;
    const double vb = static_cast<double>(sbb) / n - mb * mb;
    constexpr double kFlatVariance = 0.25;  // a standard deviation of half a grey level
    if (va < kFlatVariance || vb < kFlatVariance) return 1.0 - static_cast<double>(sad) / n / 255.0;
    return std::clamp((static_cast<double>(sab) / n - ma * mb) / std::sqrt(va * vb), -1.0, 1.0);
}

// The best sampled similarity over small shifts of the box: a candidate's box is often a
// pixel or two off the target (a reacquisition search reports blob boxes), and the score of
// a small target falls steeply with misalignment. Large references need no such help and
// would make the search costly.
double alignedSimilarity(const cv::Mat& grey, const cv::Rect& box, const cv::Mat& reference,
                         std::vector<int>& columns) {
    constexpr int kShift = 2;
    constexpr long long kMaxShiftedArea = 1024;
    const int r = static_cast<long long>(reference.cols) * reference.rows <= kMaxShiftedArea ? kShift : 0;
    double best = -1.0;
    for (int dy = -r; dy <= r; ++dy) {
        for (int dx = -r; dx <= r; ++dx) {
            const cv::Rect shifted = box + cv::Point(dx, dy);
            if (shifted.x < 0 || shifted.y < 0 || shifted.x + shifted.width > grey.cols ||
                shifted.y + shifted.height > grey.rows) {
                continue;
            }
            best = std::max(best, sampledSimilarity(grey, shifted, reference, columns));
        }
    }
    return best;
}

}  // namespace

double TargetEngine::boxContrast(const cv::Mat& grey, const cv::Rect& box, int polarity) const {
    const cv::Rect b = clipToFrame(box.x, box.y, box.width, box.height, grey.cols, grey.rows);
    if (b.empty() || polarity == 0 || grey.type() != CV_8UC1) return -1.0;
    const RingContrast rc = ringContrast(grey, b);
    // Too little surrounding left (a box filling the frame): nothing to compare with.
    if (rc.ringPixels < 16) return -1.0;
    return polarity > 0 ? rc.bright : rc.dark;
}

PresenceScore TargetEngine::presenceAt(const cv::Mat& grey, cv::Point2f center, cv::Size size) {
    PresenceScore s;
    // Judged at the size the target is tracked at (or measured at): a cue's own box may be
    // padded or cut to a blob, and would compare a different extent with the seed.
    const cv::Rect box = boxFromCenter(center.x, center.y, size.width, size.height, grey.cols, grey.rows);
    const cv::Rect b = clipToFrame(box.x, box.y, box.width, box.height, grey.cols, grey.rows);
    if (model_.seedContrast > 0.0 && !b.empty() && grey.type() == CV_8UC1) {
        const RingContrast rc = ringContrast(grey, b);
        if (rc.ringPixels >= 16) {
            s.contrast = std::max(model_.polarity > 0 ? rc.bright : rc.dark, 0.0);
            // Against what this target typically shows (haze and glint change it slowly),
            // the seed's until that is known.
            // Against the sky's own noise: on textured ground or cloud every blob has
            // contrast, but little above its surroundings' noise.
            s.contrastToNoise = s.contrast / std::max(rc.ringSd, kNoiseFloor);
            const bool warm = draft_.presence.typicalSamples >= kTypicalWarmup && draft_.presence.typicalContrast > 0.0;
            s.contrastRatio = s.contrast / (warm ? draft_.presence.typicalContrast : model_.seedContrast);
            s.noiseRatio = warm && draft_.presence.typicalContrastToNoise > 0.0
                               ? s.contrastToNoise / draft_.presence.typicalContrastToNoise
                               : 1.0;
            s.contrastClear = s.contrast >= std::max(kClearContrastSigmas * rc.ringSd,
                                                     kClearContrastDiffs * config_.min_diff_threshold);
        }
    }
    if (!b.empty() && grey.type() == CV_8UC1 && model_.previousFrame.size() == grey.size() &&
        model_.previousFrame.type() == grey.type()) {
        s.change = meanAbsoluteChange(grey, model_.previousFrame, b);
    }
    if (model_.anchorTemplate.empty() || b.empty() || grey.type() != CV_8UC1) return s;
    // The seed's look, or the learned one: a turning aircraft soon stops matching its seed
    // but keeps matching the template that followed it.
    const bool learned = !model_.templ.empty() && model_.templ.type() == CV_8UC1;
    s.anchorSimilarity = sampledSimilarity(grey, b, model_.anchorTemplate, presenceColumns_);
    s.similarity = learned ? std::max(s.anchorSimilarity, sampledSimilarity(grey, b, model_.templ, presenceColumns_))
                           : s.anchorSimilarity;
    // Only a score that would decide against the observation is worth the alignment search.
    const bool decided =
        draft_.presence.targetAbsent ? s.similarity >= closeMatchSimilarity() : resemblesTarget(s, false);
    if (!decided) {
        s.anchorSimilarity = alignedSimilarity(grey, b, model_.anchorTemplate, presenceColumns_);
        s.similarity = learned
                           ? std::max(s.anchorSimilarity, alignedSimilarity(grey, b, model_.templ, presenceColumns_))
                           : s.anchorSimilarity;
    }
    return s;
}

TrackStep TargetEngine::reacquisitionStep(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m, int needed,
                                          double dtSeconds) {
    increment(draft_.confirmCount);
    const bool done = draft_.confirmCount >= needed;
    applyMeasurement(frame, grey, m, true, done, dtSeconds);
    if (done) {
        draft_.confirmCount = 0;
        clearAbsence();
    }
    return hitStep(done ? TrackState::kConfirmed : TrackState::kTentative);
}

bool TargetEngine::presenceCheckOn() const { return config_.presence_miss_frames > 0; }

// Targets differ in how well they keep matching their seed (a flapping bird far less than
// an aircraft), so the floor follows what this target has typically scored.
double TargetEngine::similarityFloor(bool strict) const {
    // Until a few observations have shown what is typical, only the fixed floors apply.
    const double typical = draft_.presence.typicalSamples >= kTypicalWarmup ? draft_.presence.typicalSimilarity : 0.0;
    return strict ? std::max(config_.presence_reacquire_similarity, kReacquireShareOfTypical * typical)
                  : std::max(config_.presence_min_similarity, kUnlikeShareOfTypical * typical);
}

bool TargetEngine::resemblesTarget(const PresenceScore& s, bool strict) const {
    const double sim = similarityFloor(strict);
    const double ratio = strict ? config_.presence_reacquire_contrast_ratio : config_.presence_min_contrast_ratio;
    return s.similarity >= sim && (s.contrastRatio >= ratio || s.contrastClear) && !parkedOnScenery(s);
}

bool TargetEngine::standsStill(const PresenceScore& s) const { return draft_.presence.stillFor(s.change); }

// Parked on scenery: the target was seen moving, yet the box now holds something that does
// not change from frame to frame and resembles the target less than it usually does (a
// mast, a rooftop, the rim of a cloud). A hovering target keeps its usual resemblance.
bool TargetEngine::parkedOnScenery(const PresenceScore& s) const {
    // Against the seed only: the learned template may already have taken in the scenery.
    return standsStill(s) && s.anchorSimilarity < kParkedShareOfTypical * draft_.presence.typicalAnchorSimilarity;
}

double TargetEngine::closeMatchSimilarity() const {
    // Before anything typical is known, only a perfect match counts as close.
    const double typical = draft_.presence.typicalSamples >= kTypicalWarmup ? draft_.presence.typicalSimilarity : 1.0;
    return kCloseMatchShareOfTypical * typical;
}

bool TargetEngine::returnConvinces(const PresenceScore& s) const {
    // However closely it matches, what stands still is not a target that moves; and what
    // stands out from textured surroundings (ground, a cloud's edge) far less than the
    // target stood out from its sky is not the target coming back.
    if (!resemblesTarget(s, true) || standsStill(s)) return false;
    if (s.noiseRatio < config_.presence_reacquire_contrast_ratio) return false;
    if (s.similarity >= closeMatchSimilarity()) return true;
    // The change over one interval grows with the interval: the bars are for 30 fps.
    return s.change >= stepFrames_ * std::max(kMinReturnMotion, kReturnMotionShareOfContrast * model_.seedContrast);
}

bool TargetEngine::candidateResembles(const cv::Mat& grey, Measurement& m) {
    if (!presenceCheckOn()) return true;
    // Judged at the size the target is tracked at, or larger when its extent says it has
    // grown: a seed box drawn loosely around the target is larger than its extent.
    const bool sized = refineByExtent(grey, m, true);
    const cv::Size size =
        sized ? cv::Size(std::max(m.box.width, draft_.box.width), std::max(m.box.height, draft_.box.height))
              : draft_.box.size();
    const PresenceScore s = presenceAt(grey, m.center, size);
    // A target declared gone, or lost long enough for the sky search, must clearly look
    // like itself to come back.
    const bool longLost = config_.sky_search_after_misses > 0 && draft_.misses >= config_.sky_search_after_misses;
    return draft_.presence.targetAbsent || longLost ? returnConvinces(s) : resemblesTarget(s, false) && !standsStill(s);
}

void TargetEngine::clearAbsence() {
    draft_.presence.unlikeCount = 0;
    draft_.presence.targetAbsent = false;
}

std::optional<TrackStep> TargetEngine::presenceVerdict(const cv::Mat& frame, const cv::Mat& grey, Measurement& m,
                                                       cv::Size size, double dtSeconds) {
    if (!presenceCheckOn()) return std::nullopt;
    const PresenceScore s = presenceAt(grey, m.center, size);
    if (!draft_.presence.targetAbsent && draft_.misses > 0) {
        // Found again after it went unseen: a target that moves is not what stands still
        // where it vanished (a look-alike hanging there, a mast), and any find after a gap
        // is confirmed like a reacquisition, never on the frame it is first seen.
        if (standsStill(s) || !resemblesTarget(s, false)) {
            return lostStep(Reason::kLostLowConfidence, dtSeconds, grey.cols, grey.rows);
        }
        return reacquisitionStep(frame, grey, m, std::max(2, config_.reacquire_confirm_frames), dtSeconds);
    }
    // A still look-alike well off the motion's course is not a moving target that turned.
    if (standsStill(s) && inputs_.motionGate.active &&
        distance(m.center, inputs_.motionGate.center) > kStillJumpShareOfGate * inputs_.motionGate.radius) {
        return lostStep(Reason::kLostLowConfidence, dtSeconds, grey.cols, grey.rows);
    }
    if (draft_.presence.targetAbsent) {
        if (!returnConvinces(s)) return lostStep(Reason::kLostLowConfidence, dtSeconds, grey.cols, grey.rows);
        // The target looks back: confirm it like any reacquisition before trusting it.
        return reacquisitionStep(frame, grey, m, std::max(2, config_.reacquire_confirm_frames), dtSeconds);
    }
    if (resemblesTarget(s, false)) {
        // Leaky: one good look does not wipe out a run of bad ones (a cloud rim can pass
        // for the target now and then).
        if (draft_.presence.unlikeCount > 0) --draft_.presence.unlikeCount;
        // A plain mean over the first observations, a running one after that.
        if (draft_.presence.typicalSamples < kTypicalSamplesCap) ++draft_.presence.typicalSamples;
        const double rate =
            std::max(1.0 - std::pow(1.0 - kTypicalSimilarityRate, stepFrames_), 1.0 / draft_.presence.typicalSamples);
        draft_.presence.typicalSimilarity += rate * (s.similarity - draft_.presence.typicalSimilarity);
        draft_.presence.typicalAnchorSimilarity +=
            rate * (s.anchorSimilarity - draft_.presence.typicalAnchorSimilarity);
        if (s.change >= 0.0) draft_.presence.typicalChange += rate * (s.change - draft_.presence.typicalChange);
        if (s.contrast >= 0.0) {
            const double c0 = draft_.presence.typicalContrast > 0.0 ? draft_.presence.typicalContrast : s.contrast;
            // Contrast is followed more slowly than likeness: haze and glint take seconds,
            // a cloud swallowing the target a fraction of one.
            const double contrastRate =
                std::max(1.0 - std::pow(1.0 - kTypicalContrastRate, stepFrames_), 1.0 / draft_.presence.typicalSamples);
            draft_.presence.typicalContrast = c0 + contrastRate * (s.contrast - c0);
            const double n0 = draft_.presence.typicalContrastToNoise > 0.0 ? draft_.presence.typicalContrastToNoise
                                                                           : s.contrastToNoise;
            draft_.presence.typicalContrastToNoise = n0 + contrastRate * (s.contrastToNoise - n0);
        }
        return std::nullopt;
    }
    increment(draft_.presence.unlikeCount);
    if (draft_.presence.unlikeCount >= config_.presence_miss_frames) {
        draft_.presence.targetAbsent = true;
        draft_.presence.unlikeCount = 0;
        return lostStep(Reason::kLostLowConfidence, dtSeconds, grey.cols, grey.rows);
    }
    // Still followed, but with no more confidence than the resemblance warrants (which
    // also keeps the models from learning the wrong thing).
    m.confidence = std::min(m.confidence, std::clamp(std::min(s.similarity, s.contrastRatio), 0.0, 1.0));
    return std::nullopt;
}

}  // namespace molvane
