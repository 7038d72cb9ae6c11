// Seeding: the engine's first look at its target. The seed box fixes the contrast polarity,
// whether the target is extended, the templates, the colour patch and the correlators, and
// starts the motion state at rest.
#include <algorithm>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "core/geometry.hpp"
#include "cues/buffer_ops.hpp"
#include "cues/lab_conversion.hpp"
#include "engine/ring_contrast.hpp"
#include "engine/target_engine.hpp"

namespace molvane {

namespace {

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

}  // namespace

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
    // The seed is measured against the engine as it stands (nothing of any proposal).
    const CueContext seedContext{config_, model_, state_, inputs_};
    try {
        if (!config_.correlation_enabled) {
            if (!model_.extendedTarget) {
                const Measurement fg = cues_.foreground.measure(seedContext, frame, grey, cb, center, false);
                if (fg.found) {
                    center = fg.center;
                    box = boxFromCenter(center.x, center.y, cb.width, cb.height, W, H);
                }
            } else {
                const Measurement b = cues_.boundary.fitOutline(seedContext, frame, grey, cb, center);
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

}  // namespace molvane
