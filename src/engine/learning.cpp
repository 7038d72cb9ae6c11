// Model learning after an applied measurement: the grey template and colour patch blend
// towards what was seen, and the correlation filter learns or is re-trained.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "cues/lab_conversion.hpp"
#include "cues/resample.hpp"
#include "core/geometry.hpp"
#include "core/reasons.hpp"
#include "engine/target_engine.hpp"

namespace molvane {

namespace {

float clampedRate(double rate) {
    if (!std::isfinite(rate)) return 0.f;
    return static_cast<float>(std::clamp(rate, 0.0, 1.0));
}

}  // namespace

void TargetEngine::applyLearning(const cv::Mat& colourFrame, const cv::Mat& grey, const LearningRecord& record) {
    if (!record.present || grey.empty()) return;
    const cv::Rect R = intersect(state_.box, cv::Rect(0, 0, grey.cols, grey.rows));
    if (R.empty()) return;

    if (record.appearanceAllowed) {
        const double r = config_.template_learning_rate;
        // The template follows the box: when the target grew or shrank, the template is
        // resampled to the new size first, so that matching and blending see the target as
        // large as it now is.
        if (!model_.templ.empty() && model_.templ.size() != R.size() && model_.templ.type() == grey.type()) {
            // Into memory kept with room to grow, so that a box that keeps changing size
            // stops allocating.
            fitWithCapacity(learnTemplateScratch_, R.size(), model_.templ.type());
            resizeInto(model_.templ, learnTemplateScratch_, R.size(), cv::INTER_LINEAR);
            std::swap(model_.templ, learnTemplateScratch_);
        }
        if (model_.templ.size() == R.size() && model_.templ.type() == grey.type()) {
            cv::addWeighted(model_.templ, 1.0 - r, grey(R), r, 0.0, model_.templ);
            // A one-pixel side has no half-size version (the resize would have no pixels).
            if (model_.templ.cols >= 2 && model_.templ.rows >= 2) {
                fitWithCapacity(model_.halfTemplate, halvedSize(model_.templ.size()), model_.templ.type());
                halveInto(model_.templ, model_.halfTemplate);
            } else {
                model_.halfTemplate.release();
            }
        }
        const bool sameFrame = colourFrame.size() == grey.size();
        if (sameFrame && colourFrame.channels() >= 3 && !model_.colourPatch.empty() &&
            colourFrame.type() == model_.colourPatch.type()) {
            cv::Mat croi = colourFrame(R);
            if (croi.size() != model_.colourPatch.size()) {
                resizeInto(croi, learnColourScratch_, model_.colourPatch.size(), cv::INTER_AREA);
                croi = learnColourScratch_;
            }
            cv::addWeighted(model_.colourPatch, 1.0 - r, croi, r, 0.0, model_.colourPatch);
            const cv::Mat* bgr = &model_.colourPatch;
            if (model_.colourPatch.channels() == 4) {
                cv::cvtColor(model_.colourPatch, learnBgr_, cv::COLOR_BGRA2BGR);
                bgr = &learnBgr_;
            }
            if (bgr->channels() == 3) {
                bgrToLab(*bgr, model_.labPatch);
                splitChannels(model_.labPatch, model_.labChannels);
            }
        }
    }

    if (!config_.correlation_enabled) return;
    if (record.source == Reason::kCorrelation && record.peakRatio >= config_.correlation_learn_min_psr &&
        record.positionUpdated) {
        if (!correlators_.empty() && correlators_.selectedIndex() < correlators_.size()) {
            const float eta = clampedRate(config_.correlation_learning_rate);
            const cv::Mat& patch = correlators_.extractPatch(grey, state_.center);
            correlators_.filter(correlators_.selectedIndex()).update(patch, eta);
        }
    } else if (record.reacquired && record.confirmed) {
        correlators_.train(grey, state_.box, config_.correlation_search_size);
    }
}

}  // namespace molvane
