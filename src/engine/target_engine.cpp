// The engine's lifecycle: seeding, the two-phase propose/commit cycle, coasting, and the
// small state rules (prediction, display smoothing, gating, acceptance) the cues share.
#include "engine/target_engine.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "config/interval_scaling.hpp"
#include "cues/buffer_ops.hpp"
#include "cues/cue_weights.hpp"
#include "cues/lab_conversion.hpp"
#include "core/counters.hpp"
#include "core/geometry.hpp"
#include "core/reasons.hpp"
#include "engine/ring_contrast.hpp"
#include "core/size_limits.hpp"

namespace molvane {

namespace {

std::atomic<std::uint64_t> gNextIdentity{0};

// Targets of at most this many pixels are tiny: they try the template before frame
// differencing, and their motion blobs must be more confident.
constexpr long long kTinyTargetArea = 100;

// Longest interval a single step may extrapolate over. Callers may hand in any finite
// interval (a paused stream, a clock jump); beyond this bound a prediction means nothing
// and float centre arithmetic would eventually overflow, so longer intervals count as this.
constexpr double kMaxMotionInterval = 10.0;

double boundedInterval(double dtSeconds) { return std::min(dtSeconds, kMaxMotionInterval); }

int32_t saturatedSum(int a, int b) {
    const long long s = static_cast<long long>(a) + b;
    return static_cast<int32_t>(std::clamp<long long>(s, INT32_MIN, INT32_MAX));
}

float narrow(double v) {
    constexpr double kLimit = 3.0e38;
    if (std::isnan(v)) return 0.f;
    return static_cast<float>(std::clamp(v, -kLimit, kLimit));
}

// Contrast polarity of the clipped seed box against a ring of surrounding sky: the side on
// which more of the box stands out, weighing every pixel by how far it stands out. The
// single brightest or darkest pixel would let a dark drone's two lit LEDs call it bright.
int seedPolarity(const cv::Mat& grey, const cv::Rect& cb) {
    constexpr double kStandsOut = 12.0;  // grey levels
    const RingContrast rc = ringContrast(grey, cb);
    const bool usable = rc.windowArea <= 135 ? rc.ringPixels >= 16 : rc.ringPixels >= rc.windowArea / 8;
    if (!usable) return 0;
    if (std::max(rc.bright, rc.dark) < kStandsOut) return 0;
    double brightMass = 0.0, darkMass = 0.0;
    for (int y = cb.y; y < cb.y + cb.height; ++y) {
        const uchar* row = grey.ptr<uchar>(y);
        for (int x = cb.x; x < cb.x + cb.width; ++x) {
            const double d = row[x] - rc.ringMean;
            if (d > kStandsOut) brightMass += d - kStandsOut;
            if (-d > kStandsOut) darkMass += -d - kStandsOut;
        }
    }
    return darkMass < brightMass ? 1 : -1;
}

cv::Rect2f toRect2f(const cv::Rect& r) {
    return {static_cast<float>(r.x), static_cast<float>(r.y), static_cast<float>(r.width),
            static_cast<float>(r.height)};
}

}  // namespace

const TargetProposal::Impl& TargetProposal::impl() const {
    if (!impl_) throw std::logic_error("invalid template tracker proposal");
    return *impl_;
}

TargetEngine::TargetEngine(const TrackerParams& params, std::shared_ptr<GreyFrames> frames)
    : profile_(params),
      config_(params),
      identity_(gNextIdentity.fetch_add(1, std::memory_order_relaxed) + 1),
      frames_(frames ? std::move(frames) : std::make_shared<GreyFrames>()) {
    state_.reason = Reason::kInit;
}

// ---------------------------------------------------------------------------------------
// Seeding

void TargetEngine::initialize(const cv::Mat& frame, const cv::Mat& grey, const cv::Rect& seed) {
    config_ = profile_;
    stepFrames_ = 1.0;
    const int W = grey.cols;
    const int H = grey.rows;
    // 64-bit clip: x + w of a caller's box may not fit an int.
    const cv::Rect cb = clipToFrame(seed.x, seed.y, seed.width, seed.height, W, H);
    if (cb.width < 1 || cb.height < 1) throw std::invalid_argument("target bbox is outside the frame");

    const int oldPolarity = model_.polarity;
    const bool oldExtended = model_.extendedTarget;
    model_.polarity = seedPolarity(grey, cb);
    model_.extendedTarget = static_cast<double>(cb.width) * cb.height >= config_.extended_target_min_area;

    cv::Rect box = cb;
    cv::Point2f center = rectCenter(cb);
    try {
        if (!config_.correlation_enabled) {
            if (!model_.extendedTarget) {
                const Measurement fg = cues_.foreground.measure(cueContext(), frame, grey, cb, center, false);
                if (fg.found) {
                    center = fg.center;
                    box = boxFromCenter(center.x, center.y, cb.width, cb.height, W, H);
                }
            } else {
                const Measurement b = cues_.boundary.fitOutline(cueContext(), frame, grey, cb, center);
                if (b.found && !b.box.empty()) {
                    box = b.box;
                    center = b.center;
                }
            }
        }
        // Training validates its arguments before touching the bank, so a refusal here
        // leaves every image model as it was.
        if (config_.correlation_enabled) {
            correlators_.train(grey, box, config_.correlation_search_size);
        } else {
            correlators_.clear();
        }
    } catch (...) {
        model_.polarity = oldPolarity;
        model_.extendedTarget = oldExtended;
        throw;
    }

    model_.seedSize = box.size();
    model_.seedContrast = model_.polarity != 0 ? std::max(boxContrast(grey, box, model_.polarity), 0.0) : 0.0;

    grey(box).copyTo(model_.templ);
    // A one-pixel side has no half-size version; the coarse search is skipped for such
    // (tiny) templates anyway.
    if (model_.templ.cols >= 2 && model_.templ.rows >= 2) {
        cv::resize(model_.templ, model_.halfTemplate, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    } else {
        model_.halfTemplate.release();
    }
    model_.templ.copyTo(model_.anchorTemplate);

    if (frame.channels() >= 3) {
        frame(box).copyTo(model_.colourPatch);
        const int longest = std::max(model_.colourPatch.cols, model_.colourPatch.rows);
        if (longest > 32) {
            const double f = 32.0 / longest;
            // Rounded the way cv::resize rounds its own output size (half to even), so that
            // the check below sees exactly the size the resize would produce.
            const int nw = cvRound(model_.colourPatch.cols * f);
            const int nh = cvRound(model_.colourPatch.rows * f);
            cv::Mat resized;
            if (nw >= 1 && nh >= 1) {
                cv::resize(model_.colourPatch, resized, cv::Size(), f, f, cv::INTER_AREA);
            } else {
                // A sliver would round to zero pixels on its short side.
                cv::resize(model_.colourPatch, resized, cv::Size(std::max(nw, 1), std::max(nh, 1)), 0, 0,
                           cv::INTER_AREA);
            }
            model_.colourPatch = resized;
        }
        model_.colourPatch.copyTo(model_.anchorColourPatch);
        bgrToLab(model_.colourPatch, model_.labPatch);
        splitChannels(model_.labPatch, model_.labChannels);
    } else {
        model_.colourPatch.release();
        model_.anchorColourPatch.release();
        model_.labPatch.release();
        model_.labChannels.clear();
    }

    keepFrame(grey);

    initialized_ = true;
    state_.box = box;
    state_.center = center;
    state_.displaySize = {static_cast<float>(box.width), static_cast<float>(box.height)};
    state_.displayCenter = center;
    state_.displayTopLeft = {static_cast<float>(box.x), static_cast<float>(box.y)};
    state_.velocity = {0.f, 0.f};
    state_.displacement = {0.f, 0.f};
    state_.hits = 1;
    state_.misses = 0;
    state_.confirmCount = 0;
    state_.assistCooldown = 0;
    state_.targetScore = 1.0;
    state_.candidateScore = 0.0;
    state_.confidence = 1.0;
    state_.reason = Reason::kInit;
    state_.presence = PresenceState{};
    state_.filter.reset(center, {0.f, 0.f}, centreSigma(box.size()), seedVelocitySigma(config_.max_speed));
    learning_.clear();
    ++generation_;
}

// ---------------------------------------------------------------------------------------
// Small state rules

void TargetEngine::predict(double dtSeconds, int frameW, int frameH) {
    const double dtc = effectiveInterval(boundedInterval(dtSeconds));
    if (coastOnFilter_) {
        state_.center = state_.filter.position();
        state_.velocity = state_.filter.velocity();
    } else {
        state_.center.x = narrow(state_.center.x + static_cast<double>(state_.velocity.x) * dtc);
        state_.center.y = narrow(state_.center.y + static_cast<double>(state_.velocity.y) * dtc);
        state_.velocity.x = narrow(state_.velocity.x * config_.velocity_decay);
        state_.velocity.y = narrow(state_.velocity.y * config_.velocity_decay);
    }
    state_.displacement.x = narrow(state_.velocity.x * dtc);
    state_.displacement.y = narrow(state_.velocity.y * dtc);
    state_.box = boxFromCenter(state_.center.x, state_.center.y, state_.box.width, state_.box.height, frameW,
                               frameH);
}

double TargetEngine::beginStep(double dt) {
    config_ = atInterval(profile_, dt);
    const double interval = effectiveInterval(dt);
    stepFrames_ = interval / kReferenceInterval;
    state_.filter.predict(interval, manoeuvreSigma(state_.box.size(), state_.filter));
    return interval;
}

void TargetEngine::smoothDisplay() {
    // A lone target's displayed centre moves on with its motion and smooths only what the
    // motion did not predict: smoothing the whole step left it a sixth of each step behind
    // a fast target (4 px behind a 5 px aircraft at 25 px per frame). In a multi-target
    // lock the display stays behind: near a neighbour, running ahead on a velocity the
    // neighbour may have pulled puts a box on the wrong bird.
    if (!inputs_.multiTarget) state_.displayCenter += state_.displacement;
    const cv::Point2f d = state_.center - state_.displayCenter;
    if (std::fabs(d.x) > 0.5f || std::fabs(d.y) > 0.5f) state_.displayCenter += 0.85f * d;
    const cv::Point2f s =
        cv::Point2f(static_cast<float>(state_.box.width), static_cast<float>(state_.box.height)) -
        state_.displaySize;
    if (std::fabs(s.x) > 0.5f || std::fabs(s.y) > 0.5f) state_.displaySize += 0.85f * s;
    state_.displayTopLeft = state_.displayCenter - 0.5f * state_.displaySize;
}

TrackStep TargetEngine::makeStep(int32_t state) const {
    TrackStep step;
    step.targetId = 1;
    step.state = state;
    step.x = state_.displayTopLeft.x;
    step.y = state_.displayTopLeft.y;
    step.w = state_.displaySize.x;
    step.h = state_.displaySize.y;
    step.cx = state_.displayCenter.x;
    step.cy = state_.displayCenter.y;
    step.vx = state_.velocity.x;
    step.vy = state_.velocity.y;
    step.speed = std::sqrt(step.vx * step.vx + step.vy * step.vy);
    step.hits = state_.hits;
    step.misses = state_.misses;
    step.age = saturatedSum(state_.hits, state_.misses);
    return step;
}

TrackStep TargetEngine::hitStep(int32_t state) {
    state_.misses = 0;
    increment(state_.hits);
    smoothDisplay();
    return makeStep(state);
}

TrackStep TargetEngine::missStep(Reason why, double dtSeconds, int frameW, int frameH) {
    predict(dtSeconds, frameW, frameH);
    increment(state_.misses);
    state_.reason = why;
    smoothDisplay();
    return makeStep(kLost);
}

TrackStep TargetEngine::lostStep(Reason why, double dtSeconds, int frameW, int frameH) {
    state_.confirmCount = 0;
    state_.candidateScore = 0.0;
    state_.confidence = 0.0;
    return missStep(why, dtSeconds, frameW, frameH);
}

bool TargetEngine::isBlocked(const Measurement& m) const { return inputs_.blocks(m); }

bool TargetEngine::isAcceptable(const Measurement& m) const {
    if (m.hasPeakStats &&
        !(m.peakPsr >= config_.template_min_psr && m.peakAmbiguity <= config_.template_max_ambiguity)) {
        return false;
    }
    double t = config_.min_confidence;
    const long long area = static_cast<long long>(state_.box.width) * state_.box.height;
    if (m.reason == Reason::kMotion && area <= kTinyTargetArea) {
        // Tiny targets drown in frame-difference noise; ask more of their motion blobs.
        t = std::max(t, weights::kTinyMotionMin);
        if (m.targetScore < weights::kTinyMotionLowLikeness) t = std::max(t, weights::kTinyMotionLowLikenessMin);
        if (m.targetScore < weights::kTinyMotionPoorLikeness) t = std::max(t, weights::kTinyMotionPoorLikenessMin);
        if (state_.confirmCount > 0) t = std::max(t, weights::kTinyMotionConfirmingMin);
    }
    return m.confidence >= t;
}

// ---------------------------------------------------------------------------------------
// Applying an observation

bool TargetEngine::refineByExtent(const cv::Mat& grey, Measurement& m, bool anySize) {
    // A small target is placed and sized by what stands out around the find, whichever cue
    // made it: a cue's own box is often the size it searched with, and its centre the
    // centroid of a thresholded piece. A region whose centre lies more than half a box
    // from the find is something else beside it.
    if (model_.extendedTarget || !m.found || m.confidence < config_.geometry_min_confidence) return false;
    // A reacquisition candidate may be a piece of a target come much closer (a rotor of a
    // drone): its region may be followed out to four times its box.
    constexpr int kCandidateRegrowth = 2;
    const cv::Size around = anySize ? m.box.size() : state_.box.size();
    const Extent e = cues_.extent.measure(grey, m.center, around, model_.polarity, config_.min_diff_threshold,
                                          anySize ? kCandidateRegrowth : 0);
    if (!e.found) return false;
    // A tracked target grown by more than a size step in one frame has merged with a
    // neighbour passing by.
    const double step = std::max(config_.max_size_step, 1.0);
    if (!anySize && (e.box.width > std::ceil(around.width * step) + 1 ||
                     e.box.height > std::ceil(around.height * step) + 1)) {
        return false;
    }
    const cv::Point2f c = rectCenter(e.box);
    const int reach = anySize ? std::max(e.box.width, e.box.height) : std::max(around.width, around.height);
    if (distance(c, m.center) > 0.5 * reach) return false;
    m.center = c;
    m.box = e.box;
    return true;
}

TrackStep TargetEngine::accept(const cv::Mat& frame, const cv::Mat& grey, const Measurement& observed,
                                  double dtSeconds) {
    Measurement m = observed;
    const bool sized = refineByExtent(grey, m, false);
    if (std::optional<TrackStep> decided = presenceVerdict(frame, grey, m, sized ? m.box.size() : state_.box.size(),
                                                          dtSeconds)) {
        return *decided;
    }
    if (state_.confirmCount < 1) {
        applyMeasurement(frame, grey, m, false, true, dtSeconds);
        return hitStep(kConfirmed);
    }
    increment(state_.confirmCount);
    const bool done =
        config_.reacquire_confirm_frames > 1 ? state_.confirmCount >= config_.reacquire_confirm_frames : true;
    applyMeasurement(frame, grey, m, true, done, dtSeconds);
    if (done) state_.confirmCount = 0;
    return hitStep(done ? kConfirmed : kTentative);
}

void TargetEngine::applyMeasurement(const cv::Mat& frame, const cv::Mat& grey, const Measurement& m,
                                       bool reacquired, bool confirmed, double dtSeconds) {
    const int W = grey.cols;
    const int H = grey.rows;
    const double dtc = effectiveInterval(boundedInterval(dtSeconds));
    const EngineMotionState old = state_;
    const cv::Point2f p(narrow(old.center.x + static_cast<double>(old.velocity.x) * dtc),
                        narrow(old.center.y + static_cast<double>(old.velocity.y) * dtc));

    // Correlation-plus-foreground assist and the correlation distance guard.
    const bool adaptive = config_.adaptive_box;
    const bool isCorrelation = m.reason == Reason::kCorrelation;
    bool eligible = true;
    if (state_.assistCooldown >= 1) {
        --state_.assistCooldown;
        eligible = state_.assistCooldown == 0;
    }
    std::optional<Measurement> assisted;
    if (adaptive && eligible && isCorrelation && m.correlationPsr >= config_.foreground_box_min_psr &&
        m.confidence >= config_.min_confidence) {
        state_.assistCooldown = std::max(0, config_.foreground_box_interval);
        assisted = cues_.boxSearch.search(cueContext(), frame, grey, m, p);
    }
    const bool guardActive = adaptive && isCorrelation && !reacquired;

    const double a = std::clamp(config_.velocity_gain, 0.0, 1.0);
    const double gate =
        std::max(6.0, std::max(old.box.width, old.box.height) * std::max(config_.correlation_gate_factor, 0.0));
    const double d = distance(m.center, p);

    bool guarded = false;
    bool positionUpdated = true;
    if (guardActive && d > gate && !assisted) {
        guarded = true;
        positionUpdated = false;
        confirmed = false;
        state_.center = p;
        state_.velocity.x = narrow((1.0 - a) * old.velocity.x + a * (p.x - old.center.x) / dtc);
        state_.velocity.y = narrow((1.0 - a) * old.velocity.y + a * (p.y - old.center.y) / dtc);
    } else if (reacquired) {
        state_.center = assisted ? assisted->center : m.center;
        state_.velocity = {0.f, 0.f};
    } else {
        const cv::Point2f q = assisted ? assisted->center : m.center;
        state_.center = q;
        state_.velocity.x = narrow((1.0 - a) * old.velocity.x + a * (static_cast<double>(q.x) - old.center.x) / dtc);
        state_.velocity.y = narrow((1.0 - a) * old.velocity.y + a * (static_cast<double>(q.y) - old.center.y) / dtc);
    }
    state_.displacement.x = narrow(state_.velocity.x * dtc);
    state_.displacement.y = narrow(state_.velocity.y * dtc);
    if (positionUpdated) {
        // A find far off the motion's course (a reacquisition elsewhere) starts the filter
        // anew; any other corrects it.
        if (reacquired && !inputs_.motionGate.passes(state_.center)) {
            state_.filter.reset(state_.center, {0.f, 0.f}, centreSigma(old.box.size()),
                                seedVelocitySigma(config_.max_speed));
        } else {
            state_.filter.correct(state_.center, std::max(centreSigma(old.box.size()), inputs_.findSigmaFloor));
        }
    }

    // Candidate geometry.
    cv::Rect candidate;
    if (assisted) {
        candidate = assisted->box;
    } else if (m.confidence < config_.geometry_min_confidence || guarded) {
        candidate = boxFromCenter(state_.center.x, state_.center.y, old.box.width, old.box.height, W, H);
    } else {
        candidate = m.box;
    }

    // Size limits: relative to the seed, and at most one size step per update.
    const cv::Rect measured = clipToFrame(candidate.x, candidate.y, candidate.width, candidate.height, W, H);
    cv::Size measuredSize = measured.size();
    if (measured.empty()) {
        measuredSize = (old.box.width > 0 && old.box.height > 0) ? old.box.size() : model_.seedSize;
    }
    const cv::Size seedSize = model_.seedSize;
    const double minScale = std::max(config_.min_size_scale, 0.05);
    const long long seedArea = static_cast<long long>(seedSize.width) * seedSize.height;
    const double maxScale = std::max(maxSizeScale(config_, static_cast<double>(seedArea)), minScale);
    const double step = std::max(config_.max_size_step, 1.0);
    // A target found again after it was lost for a while may be any size by now.
    const bool freeStep =
        reacquired && (inputs_.referenceSize.has_value() ||
                       (config_.sky_search_after_misses > 0 && old.misses >= config_.sky_search_after_misses));
    auto limitAxis = [&](int seed, int oldSize, int measuredValue, int frameSize) {
        const double s = std::max(seed, 1);
        double lo = std::max(1.0, std::floor(s * minScale));
        double hi = std::max(lo, std::ceil(s * maxScale));
        if (!freeStep && oldSize > 0 && step > 1.0) {
            lo = std::max(lo, std::floor(oldSize / step));
            hi = std::min(hi, std::ceil(oldSize * step));
        }
        hi = std::min(hi, static_cast<double>(frameSize));
        hi = std::max(hi, lo);
        const double v = std::clamp(static_cast<double>(std::max(measuredValue, 1)), lo, hi);
        // The box never exceeds the frame, so clamping here keeps the int conversion defined.
        return static_cast<int>(std::clamp(v, 1.0, static_cast<double>(std::max(frameSize, 1))));
    };
    const int newW = limitAxis(seedSize.width, old.box.width, measuredSize.width, W);
    const int newH = limitAxis(seedSize.height, old.box.height, measuredSize.height, H);
    state_.box = boxFromCenter(state_.center.x, state_.center.y, newW, newH, W, H);

    if (reacquired) {
        state_.displaySize = {static_cast<float>(state_.box.width), static_cast<float>(state_.box.height)};
        state_.displayCenter = state_.center;
        state_.displayTopLeft = {static_cast<float>(state_.box.x), static_cast<float>(state_.box.y)};
    }

    state_.targetScore = m.targetScore;
    state_.candidateScore = m.candidateScore;
    state_.confidence = m.confidence;
    if (assisted) {
        state_.reason = Reason::kCorrelationForegroundBox;
    } else if (guarded) {
        state_.reason = Reason::kCorrelationGuarded;
    } else {
        state_.reason = m.reason;
    }

    LearningRecord& rec = learning_;
    rec.clear();
    rec.present = true;
    rec.appearanceAllowed = confirmed && m.confidence >= config_.learn_min_confidence;
    rec.reacquired = reacquired;
    rec.confirmed = confirmed;
    rec.positionUpdated = positionUpdated;
    rec.confidence = m.confidence;
    rec.peakRatio = m.correlationPsr;
    rec.center = guarded ? p : m.center;
    rec.displacement = state_.displacement;
    rec.velocity = state_.velocity;
    const bool cueGeometry = m.reason == Reason::kMotion || m.reason == Reason::kForeground ||
                             m.reason == Reason::kBoundary ||
                             m.reason == Reason::kContrast || m.reason == Reason::kTemplate;
    if (cueGeometry && config_.cue_geometry_update && m.confidence >= config_.geometry_min_confidence && !guarded) {
        rec.hasGeometry = true;
        rec.geometryBox = assisted ? toRect2f(assisted->box) : toRect2f(m.box);
        rec.geometryConfidence = assisted ? assisted->confidence : m.confidence;
    } else if (assisted) {
        rec.hasGeometry = true;
        rec.geometryBox = toRect2f(assisted->box);
        rec.geometryConfidence = assisted->confidence;
    }
    rec.source = m.reason;

    // Outside a proposal nothing is deferred: the models learn at once.
    if (!proposalActive_) applyLearning(frame, grey, learning_);
}

// ---------------------------------------------------------------------------------------
// Proposal

TargetProposal TargetEngine::propose(const cv::Mat& frame, const cv::Mat& grey,
                                                 const std::vector<cv::Rect2f>& blockedRegions,
                                                 const std::optional<cv::Size2f>& referenceSize,
                                                 double dtSeconds, bool multiTarget, double findSigmaFloor) {
    return proposeStep(frame, grey, blockedRegions, referenceSize, dtSeconds, multiTarget, true, findSigmaFloor);
}

TargetProposal TargetEngine::proposeStep(const cv::Mat& frame, const cv::Mat& grey,
                                                     const std::vector<cv::Rect2f>& blockedRegions,
                                                     const std::optional<cv::Size2f>& referenceSize,
                                                     double dtSeconds, bool multiTarget, bool scoreAnchor,
                                                     double findSigmaFloor) {
    if (!initialized_) throw std::logic_error("template tracker proposal requested before initialize");
    if (proposalActive_) throw std::logic_error("nested template tracker proposal is not supported");

    const EngineMotionState snapshot = state_;
    learning_.clear();
    inputs_.referenceSize = referenceSize;
    inputs_.multiTarget = multiTarget;
    inputs_.findSigmaFloor = std::isfinite(findSigmaFloor) ? std::max(findSigmaFloor, 0.0) : 0.0;
    proposalActive_ = true;

    std::shared_ptr<TargetProposal::Impl> impl;
    try {
        if (!std::isfinite(dtSeconds)) throw std::invalid_argument("dtSeconds must be finite");
        if (grey.empty()) throw std::invalid_argument("gray frame must not be empty");
        const double dt = boundedInterval(dtSeconds);
        inputs_.blockedRegions.assign(blockedRegions.begin(), blockedRegions.end());
        // Every tracked find is judged against where the target's motion says it is now.
        inputs_.motionGate = motionGate(state_.filter, state_.box.size(), beginStep(dt));

        const bool lostMode =
            config_.sky_search_after_misses > 0 && state_.misses >= config_.sky_search_after_misses;
        const TrackStep step = lostMode ? lostSearch(frame, grey, dt) : trackingPipeline(frame, grey, dt);

        proposalActive_ = false;

        // Reuse the previous handle's state when nobody else holds it any more.
        if (spareProposal_ && spareProposal_.use_count() == 1) {
            impl = spareProposal_;
        } else {
            impl = std::make_shared<TargetProposal::Impl>();
            spareProposal_ = impl;
        }
        TargetProposal::Impl& out = *impl;
        const int W = grey.cols;
        const int H = grey.rows;
        const float dtc = static_cast<float>(effectiveInterval(dt));
        out.step = step;
        out.after = state_;
        out.learning = learning_;
        out.owner = identity_;
        out.generation = generation_;
        out.targetScore = state_.targetScore;
        out.candidateScore = state_.candidateScore;
        out.confidence = state_.confidence;
        out.predictedCenter = {narrow(snapshot.center.x + static_cast<double>(snapshot.velocity.x) * dtc),
                               narrow(snapshot.center.y + static_cast<double>(snapshot.velocity.y) * dtc)};
        out.predictedBox = toRect2f(boxFromCenter(out.predictedCenter.x, out.predictedCenter.y,
                                                  snapshot.box.width, snapshot.box.height, W, H));
        out.center = learning_.present ? learning_.center : state_.center;
        const cv::Rect atCenter =
            boxFromCenter(out.center.x, out.center.y, snapshot.box.width, snapshot.box.height, W, H);
        out.box = toRect2f(atCenter);
        out.anchorAppearance = 0.0;
        if (scoreAnchor && step.state != kLost && !atCenter.empty() && !model_.anchorTemplate.empty()) {
            out.anchorAppearance = anchorSimilarity(grey, atCenter);
        }
        out.hasGeometry = learning_.hasGeometry;
        out.geometryBox = learning_.geometryBox;
        out.geometryConfidence = learning_.geometryConfidence;
        out.reason = state_.reason;
    } catch (...) {
        proposalActive_ = false;
        inputs_.referenceSize.reset();
        inputs_.multiTarget = false;
        inputs_.motionGate = MotionGate{};
        state_ = snapshot;
        learning_.clear();
        throw;
    }

    state_ = snapshot;
    learning_.clear();
    inputs_.referenceSize.reset();
    inputs_.multiTarget = false;
    inputs_.findSigmaFloor = 0.0;
    inputs_.motionGate = MotionGate{};
    return TargetProposal(std::move(impl));
}

TrackStep TargetEngine::lostSearch(const cv::Mat& frame, const cv::Mat& grey, double dt) {
    const int W = grey.cols;
    const int H = grey.rows;
    // A refused candidate (a cloud rim that stands still, a blob unlike the target) is
    // set aside and the search looks again, so that it cannot hide the target beyond it.
    constexpr int kSkyLooks = 3;
    const std::size_t ownBlocks = inputs_.blockedRegions.size();
    Measurement m;
    bool taken = false;
    for (int look = 0; look < kSkyLooks && !taken; ++look) {
        m = cues_.sky.search(cueContext(), frame, grey, dt);
        if (!m.found) break;
        taken = !isBlocked(m) && inputs_.motionGate.passes(m.center) &&
                m.confidence >= config_.sky_reacquire_min_score && candidateResembles(grey, m);
        if (!taken) inputs_.blockedRegions.emplace_back(m.box);
    }
    inputs_.blockedRegions.resize(ownBlocks);
    if (taken) {
        increment(state_.confirmCount);
        // A single sky find is never trusted on its own.
        if (state_.confirmCount >= std::max(2, config_.reacquire_confirm_frames)) {
            state_.confirmCount = 0;
            clearAbsence();
            applyMeasurement(frame, grey, m, true, true, dt);
            return hitStep(kConfirmed);
        }
        return missStep(Reason::kLostConfirming, dt, W, H);
    }
    return lostStep(Reason::kLostSkySearch, dt, W, H);
}

TrackStep TargetEngine::trackingPipeline(const cv::Mat& frame, const cv::Mat& grey, double dt) {
    const int W = grey.cols;
    const int H = grey.rows;
    const int w = state_.box.width;
    const int h = state_.box.height;
    const double dtc = effectiveInterval(dt);
    const double speed = std::hypot(static_cast<double>(state_.velocity.x), static_cast<double>(state_.velocity.y));
    const double grow = std::min(speed * dtc * 2.5, 1.0e9);
    const long long searchRadius64 = std::min<long long>(
        config_.max_search_radius, std::max<long long>(60, std::llround(grow) + 40));
    const int searchRadius = static_cast<int>(std::max<long long>(searchRadius64, INT_MIN));

    const float pcx = narrow(state_.center.x + static_cast<double>(state_.velocity.x) * dtc);
    const float pcy = narrow(state_.center.y + static_cast<double>(state_.velocity.y) * dtc);
    const cv::Rect predictedBox = boxFromCenter(pcx, pcy, w, h, W, H);
    const cv::Point2f pc = rectCenter(predictedBox);
    const double gate = speedGateRadius(dt, config_.max_speed, config_.min_gate_radius);
    auto usable = [&](const Measurement& m) { return m.found && !isBlocked(m) && isAcceptable(m); };
    const CueContext ctx = cueContext();

    // 1. Correlation filter.
    if (config_.correlation_enabled) {
        const CorrelationResult r = correlators_.detect(grey, pc);
        if (r.found && r.psr >= config_.correlation_min_psr && r.sidelobeRatio <= config_.correlation_max_peak_ratio &&
            cueContext().withinGate(r.center, gate)) {
            const double c = std::clamp(r.psr / weights::kCorrelationFullPsr, 0.0, 1.0);
            Measurement m = foundMeasurement(boxFromCenter(r.center.x, r.center.y, w, h, W, H), r.center, c, 1.0 - c,
                                             c, Reason::kCorrelation);
            m.correlationPsr = r.psr;
            const bool tooFar =
                config_.adaptive_box &&
                distance(r.center, pc) >
                    std::max(6.0, std::max(w, h) * std::max(config_.correlation_gate_factor, 0.0));
            if (!isBlocked(m) && isAcceptable(m) && !tooFar) return accept(frame, grey, m, dt);
        }
    }

    TemplateResult templ;
    bool templateDone = false;
    if (model_.extendedTarget) {
        // 2. Boundary, for targets large enough to show an outline.
        const cv::Rect window = growAndClip(predictedBox, searchRadius, W, H);
        if (!window.empty()) {
            const double radius = std::max(1.5 * std::max(w, h), static_cast<double>(searchRadius));
            const Measurement m =
                cues_.boundary.measure(ctx, frame, grey, window, cv::Size(w, h), radius, dt, pc, true);
            if (usable(m)) return accept(frame, grey, m, dt);
        }
    } else {
        // 3. Contrast with the known polarity (either sign when that finds nothing).
        const int polarity = model_.polarity;
        if (polarity != 0) {
            Measurement m =
                cues_.contrast.detect(ctx, frame, grey, predictedBox, searchRadius, dt, polarity, true, false);
            if (!m.found) m = cues_.contrast.detect(ctx, frame, grey, predictedBox, searchRadius, dt, 0, true, false);
            if (usable(m)) return accept(frame, grey, m, dt);
        }
        // 4. Very small targets try the template before frame differencing.
        if (static_cast<long long>(w) * h <= kTinyTargetArea) {
            templ = cues_.templates.measure(ctx, frame, grey, predictedBox, searchRadius, dt);
            templateDone = true;
            if (usable(templ)) return accept(frame, grey, templ, dt);
        }
        // 5. Frame differencing.
        if (!model_.previousFrame.empty() && model_.previousFrame.size() == grey.size()) {
            const Measurement m = cues_.motion.measure(ctx, frame, grey, predictedBox, pc, searchRadius, dt);
            if (usable(m)) return accept(frame, grey, m, dt);
        }
        // 6. Contrast of either sign when the polarity is unknown.
        if (polarity == 0) {
            const Measurement m =
                cues_.contrast.detect(ctx, frame, grey, predictedBox, searchRadius, dt, 0, true, false);
            if (usable(m)) return accept(frame, grey, m, dt);
        }
    }

    // 7. Template.
    if (!templateDone) templ = cues_.templates.measure(ctx, frame, grey, predictedBox, searchRadius, dt);
    state_.targetScore = templ.score;
    if (templ.found) {
        if (isBlocked(templ)) return reacquireOrMiss(frame, grey, Reason::kLostOwnedRegion, dt);
        if (!isAcceptable(templ)) return reacquireOrMiss(frame, grey, Reason::kLostLowConfidence, dt);
        return accept(frame, grey, templ, dt);
    }
    return reacquireOrMiss(frame, grey, templ.failReason, dt);
}

// ---------------------------------------------------------------------------------------
// Commit, coast, update

TrackStep TargetEngine::commit(const TargetProposal& proposal, const cv::Mat& frame,
                                  const cv::Mat& grey, bool learn, bool acceptGeometry,
                                  const OwnedGeometry& ownedGeometry, bool geometryUnclipped) {
    const TargetProposal::Impl& p = proposal.impl();
    if (p.owner != identity_) {
        throw std::invalid_argument("template tracker proposal belongs to another tracker");
    }
    if (p.generation != generation_) throw std::logic_error("template tracker proposal is stale");

    const EngineMotionState before = state_;
    TrackStep step = p.step;
    const LearningRecord& rec = p.learning;

    const bool modeA = !rec.present || (acceptGeometry && !ownedGeometry.valid);
    if (modeA) {
        state_ = p.after;
    } else {
        const bool modeC = acceptGeometry && ownedGeometry.valid;
        int cooldown = p.after.assistCooldown;
        if (modeC && geometryUnclipped && rec.hasGeometry && before.displaySize.x >= 2.f &&
            before.displaySize.y >= 2.f) {
            const double ratio = std::max(rec.geometryBox.width / before.displaySize.x,
                                          rec.geometryBox.height / before.displaySize.y);
            if (ratio >= 1.12) cooldown = 1;  // the next correlation measurement may re-fit the box
        }
        const cv::Point2f target =
            modeC ? cv::Point2f(ownedGeometry.box.width, ownedGeometry.box.height) : before.displaySize;
        auto follow = [](float current, float wanted) {
            const float e = wanted - current;
            if (std::fabs(e) <= 0.5f) return current;
            return e < 0.f ? wanted : current + 0.85f * e;  // shrink at once, grow smoothly
        };
        const cv::Point2f size(follow(before.displaySize.x, target.x), follow(before.displaySize.y, target.y));
        cv::Point2f dc = before.displayCenter + (rec.center - before.center);
        if (modeC) {
            const cv::Point2f oc = rectCenter(ownedGeometry.box);
            if (std::fabs(oc.x - dc.x) > 0.5f || std::fabs(oc.y - dc.y) > 0.5f) dc += 0.85f * (oc - dc);
        }
        state_ = p.after;
        state_.assistCooldown = cooldown;
        state_.center = rec.center;
        state_.displacement = rec.displacement;
        state_.velocity = rec.velocity;
        state_.box = boxFromCenter(rec.center.x, rec.center.y, before.box.width, before.box.height, grey.cols,
                                   grey.rows);
        state_.displaySize = size;
        state_.displayCenter = dc;
        state_.displayTopLeft = dc - 0.5f * size;
        step.x = state_.displayTopLeft.x;
        step.y = state_.displayTopLeft.y;
        step.w = size.x;
        step.h = size.y;
        step.cx = dc.x;
        step.cy = dc.y;
        step.vx = rec.velocity.x;
        step.vy = rec.velocity.y;
        step.speed = std::sqrt(step.vx * step.vx + step.vy * step.vy);
    }

    if (learn) {
        try {
            applyLearning(frame, grey, rec);
        } catch (...) {
            state_ = before;
            throw;
        }
    }
    learning_.clear();
    keepFrame(grey);
    ++generation_;
    return step;
}

TrackStep TargetEngine::coast(const cv::Mat& grey, Reason why, double dtSeconds, bool onFilter,
                                 std::optional<cv::Point2f> heldFind, double heldFindSigma) {
    if (!initialized_) throw std::logic_error("template tracker coast requested before initialize");
    if (grey.empty()) throw std::invalid_argument("gray frame must not be empty");
    if (!std::isfinite(dtSeconds)) throw std::invalid_argument("dtSeconds must be finite");
    if (*reasonText(why) == '\0') throw std::invalid_argument("unknown coast reason");

    keepFrame(grey);
    ++generation_;
    const double dt = boundedInterval(dtSeconds);
    beginStep(dt);
    if (heldFind && state_.filter.started() && std::isfinite(heldFind->x) && std::isfinite(heldFind->y) &&
        std::isfinite(heldFindSigma) && heldFindSigma > 0.0) {
        state_.filter.correct(*heldFind, heldFindSigma);
    }
    coastOnFilter_ = onFilter && state_.filter.started();
    const TrackStep step = lostStep(why, dt, grey.cols, grey.rows);
    coastOnFilter_ = false;
    return step;
}

void TargetEngine::keepFrame(const cv::Mat& grey) {
    // Let go first: when nothing else holds the old frame, its buffer takes this one.
    model_.previousFrame.release();
    model_.previousFrame = frames_->keep(grey);
}

double TargetEngine::anchorSimilarity(const cv::Mat& grey, const cv::Rect& box) {
    return cues_.scorer.greySimilarity(grey, box, model_.anchorTemplate);
}

TrackStep TargetEngine::update(const cv::Mat& frame, const cv::Mat& grey, double dtSeconds) {
    static const std::vector<cv::Rect2f> kNoRegions;
    const TargetProposal proposal =
        proposeStep(frame, grey, kNoRegions, std::nullopt, dtSeconds, false, false);
    return commit(proposal, frame, grey, true, true, OwnedGeometry{}, false);
}

}  // namespace molvane
