#include "cues/foreground_measurement.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "cues/cue_tuning.hpp"
#include "cues/cue_weights.hpp"
#include "cues/resample.hpp"
#include "core/geometry.hpp"
#include "core/reasons.hpp"

namespace molvane {

namespace {

// Zeroes every pixel of `image` outside `keep` (same effect as AND with a filled mask).
void keepOnly(cv::Mat& image, const cv::Rect& keep) {
    const cv::Rect all(0, 0, image.cols, image.rows);
    if (keep.empty()) {
        fillBytes(image, 0);
        return;
    }
    fillBytes(image.rowRange(0, keep.y), 0);
    fillBytes(image.rowRange(keep.y + keep.height, all.height), 0);
    fillBytes(image(cv::Rect(0, keep.y, keep.x, keep.height)), 0);
    fillBytes(image(cv::Rect(keep.x + keep.width, keep.y, all.width - keep.x - keep.width, keep.height)), 0);
}

}  // namespace

ForegroundMeasurement::ForegroundMeasurement(AppearanceScorer& scorer)
    : scorer_(scorer), kernel_(cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3))) {}

Measurement ForegroundMeasurement::measure(const CueContext& ctx, const cv::Mat& colourFrame, const cv::Mat& grey,
                                           const cv::Rect& searchRect, cv::Point2f expectedCenter,
                                           bool scoreAppearance) {
    using namespace cue_tuning::foreground;
    Measurement none;
    const int frameW = grey.cols;
    const int frameH = grey.rows;

    const cv::Rect search =
        clipToFrame(searchRect.x, searchRect.y, searchRect.width, searchRect.height, frameW, frameH);
    if (search.width < 1 || search.height < 1) return none;
    const int searchW = search.width;
    const int searchH = search.height;
    const int side = std::max(searchW, searchH);
    const long long margin = std::max(blob::roundSize(kContextMarginShare * side), kMinContextMargin);
    const cv::Rect context = growAndClip(search, margin, frameW, frameH);
    if (context.empty()) return none;
    const cv::Rect searchLocal = search - context.tl();

    // Background ring: the context without the search rectangle.
    fitScratch(ring_, ringStore_, context.size(), CV_8UC1);
    fillBytes(ring_, 255);
    fillBytes(ring_(searchLocal), 0);
    const long long contextArea = static_cast<long long>(context.width) * context.height;
    const long long ringCount = contextArea - static_cast<long long>(searchW) * searchH;
    const long long required =
        contextArea > kSmallContextArea ? contextArea / kRingShareDivisor : kSmallContextRingPixels;
    if (ringCount < required) return none;

    // Difference from the background and its threshold.
    const int polarity = ctx.model.polarity;
    const double minDiff = static_cast<double>(ctx.params.min_diff_threshold);
    double threshold = 0.0;
    fitScratch(diff_, diffStore_, context.size(), CV_8UC1);
    if (polarity != 0) {
        const cv::Mat contextGrey = grey(context);
        cv::Scalar mean, sd;
        cv::meanStdDev(contextGrey, mean, sd, ring_);
        const cv::Scalar background(cv::saturate_cast<uchar>(mean[0]));
        signedDifference(contextGrey, background, polarity, diff_);
        double maxDiff = 0.0;
        cv::minMaxLoc(diff_, nullptr, &maxDiff);
        threshold = std::max({kSignedSigmas * sd[0], kSignedFloorShare * minDiff, kSignedPeakShare * maxDiff});
    } else if (colourFrame.channels() >= 3 && colourFrame.size() == grey.size() && colourFrame.depth() == CV_8U) {
        const cv::Mat contextColour = colourFrame(context);
        cv::Scalar mean, sd;
        cv::meanStdDev(contextColour, mean, sd, ring_);
        cv::Scalar background;
        for (int i = 0; i < 4; ++i) background[i] = cv::saturate_cast<uchar>(mean[i]);
        // The context follows the target's box: these keep room for the largest so far.
        fitWithCapacity(colourDiff_, context.size(), contextColour.type());
        cv::absdiff(contextColour, background, colourDiff_);
        if (channels_.size() < 3) channels_.resize(3);
        for (size_t i = 0; i < 3; ++i) fitWithCapacity(channels_[i], context.size(), CV_8UC1);
        const int fromTo[] = {0, 0, 1, 1, 2, 2};
        cv::mixChannels(&colourDiff_, 1, channels_.data(), 3, fromTo, 3);
        cv::max(channels_[0], channels_[1], diff_);
        cv::max(diff_, channels_[2], diff_);
        threshold = std::max(kUnsignedSigmas * std::max({sd[0], sd[1], sd[2]}), minDiff);
    } else {
        const cv::Mat contextGrey = grey(context);
        cv::Scalar mean, sd;
        cv::meanStdDev(contextGrey, mean, sd, ring_);
        cv::absdiff(contextGrey, cv::Scalar(cv::saturate_cast<uchar>(mean[0])), diff_);
        threshold = std::max(kUnsignedSigmas * sd[0], minDiff);
    }

    fitScratch(binary_, binaryStore_, diff_.size(), CV_8UC1);
    fitScratch(morph_, morphStore_, diff_.size(), CV_8UC1);
    thresholdBinary(diff_, binary_, threshold, 255.0);
    // Blobs may reach half a margin beyond the search rectangle, never into the outer ring.
    const cv::Rect blobReach = growAndClip(searchLocal, margin / 2, context.width, context.height);
    keepOnly(binary_, blobReach);

    if (polarity == 0) {
        openOrClose(binary_, cv::MORPH_OPEN, kernel_, morph_);
    }
    openOrClose(binary_, cv::MORPH_CLOSE, kernel_, morph_);
    tracer_.findOuter(binary_, contours_);

    const double searchArea = static_cast<double>(searchW) * searchH;
    const double minArea = std::max(kMinAreaShare * searchArea, kMinArea);
    const double upperFloor = kMinAreaShare * searchArea > kMinArea ? minArea + 1.0 : kMinArea + 1.0;
    const double maxArea =
        std::max((polarity != 0 ? kMaxAreaShareSigned : kMaxAreaShareUnsigned) * searchArea, upperFloor);
    const double refArea =
        std::max((polarity != 0 ? kReferenceAreaShareSigned : kReferenceAreaShareUnsigned) * searchArea, minArea);
    const double reach = std::max(kReachShare * side, kMinReach);
    const cv::Point2f expectedLocal(expectedCenter.x - static_cast<float>(context.x),
                                    expectedCenter.y - static_cast<float>(context.y));

    candidates_.clear();
    for (size_t i = 0; i < contours_.size(); ++i) {
        const auto& contour = contours_[i];
        const double area = cv::contourArea(contour);
        if (area < minArea || area > maxArea) continue;
        cv::Point2f centroid;
        if (!blob::contourCentroid(contour, centroid)) continue;
        const double offset = distance(centroid, expectedLocal);
        if (!(offset <= reach)) continue;
        const cv::Rect bounds = cv::boundingRect(contour);
        const double meanDifference = blob::meanUnderContour(diff_, tracer_, contours_[i], bounds, fill_);
        const double cost =
            weights::kForegroundCostDistance * offset / reach -
            weights::kForegroundCostArea * std::min(area / refArea, 1.0) -
            weights::kForegroundCostStrength * std::min(meanDifference / weights::kForegroundCostStrengthScale, 1.0);
        candidates_.push_back({i, area, bounds, centroid, meanDifference, cost});
    }
    if (candidates_.empty()) return none;

    // Fragment merge: pieces of the same target near the best blob join its box.
    fitScratch(merged_, mergedStore_, context.size(), CV_8UC1);
    const blob::MergedBlob merged =
        blob::mergeAroundCheapest(candidates_, tracer_, contours_, side <= kSmallSide ? kSmallMergeGrowth : side / 2,
                                  std::max(kMergeRadiusShare * side, kMinMergeRadius), context.size(), merged_);
    const BlobCandidate* best = merged.best;
    const cv::Rect mergedBox = merged.box;
    if (!blob::substantial(mergedBox, searchW, searchH, searchArea, kMinMergedAreaShare, kMinMergedSideShare)) {
        return none;
    }
    const double mergedArea = static_cast<double>(mergedBox.width) * mergedBox.height;

    const cv::Rect finalBox =
        blob::padBox(mergedBox + context.tl(), ctx.params.foreground_margin_fraction, kMinPad, frameW, frameH);
    if (finalBox.empty()) return none;

    const double confidence =
        weights::kForegroundStrength * std::min(best->meanDifference / weights::kForegroundStrengthScale, 1.0) +
        weights::kForegroundArea * std::min(mergedArea / refArea, 1.0) +
        weights::kForegroundFit * std::max(1.0 - std::abs(best->cost), 0.0);
    double targetScore = 0.0;
    if (scoreAppearance) {
        targetScore = ctx.model.templ.empty()
                          ? 1.0
                          : scorer_.appearanceSimilarity(ctx.params, ctx.model, colourFrame, grey, finalBox);
    }
    Measurement out = foundMeasurement(finalBox, rectCenter(finalBox), targetScore, best->cost,
                                       std::clamp(confidence, 0.0, 1.0), Reason::kForeground);
    out.touchesSearchEdge = mergedBox.x <= blobReach.x + 1 || mergedBox.y <= blobReach.y + 1 ||
                            mergedBox.x + mergedBox.width >= blobReach.x + blobReach.width - 1 ||
                            mergedBox.y + mergedBox.height >= blobReach.y + blobReach.height - 1;
    return out;
}

}  // namespace molvane
