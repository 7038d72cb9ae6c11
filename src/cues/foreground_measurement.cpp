#include "cues/foreground_measurement.hpp"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cues/buffer_ops.hpp"
#include "cues/cue_weights.hpp"
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
    Measurement none;
    const int frameW = grey.cols;
    const int frameH = grey.rows;

    const cv::Rect S = clipToFrame(searchRect.x, searchRect.y, searchRect.width, searchRect.height, frameW, frameH);
    if (S.width < 1 || S.height < 1) return none;
    const int w = S.width;
    const int h = S.height;
    const int m = std::max(w, h);
    const long long margin = std::max(blob::roundSize(0.45 * m), 8LL);
    const cv::Rect C = growAndClip(S, margin, frameW, frameH);
    if (C.empty()) return none;
    const cv::Rect sLocal = S - C.tl();

    // Background ring: the context without the search rectangle.
    fitScratch(ring_, ringStore_, C.size(), CV_8UC1);
    fillBytes(ring_, 255);
    fillBytes(ring_(sLocal), 0);
    const long long contextArea = static_cast<long long>(C.width) * C.height;
    const long long ringCount = contextArea - static_cast<long long>(w) * h;
    const long long required = contextArea > 135 ? contextArea / 8 : 16;
    if (ringCount < required) return none;

    // Difference from the background and its threshold.
    const int polarity = ctx.model.polarity;
    const double minDiff = static_cast<double>(ctx.params.min_diff_threshold);
    double T = 0.0;
    fitScratch(diff_, diffStore_, C.size(), CV_8UC1);
    if (polarity != 0) {
        const cv::Mat context = grey(C);
        cv::Scalar mean, sd;
        cv::meanStdDev(context, mean, sd, ring_);
        const cv::Scalar background(cv::saturate_cast<uchar>(mean[0]));
        signedDifference(context, background, polarity, diff_);
        double maxD = 0.0;
        cv::minMaxLoc(diff_, nullptr, &maxD);
        T = std::max({1.2 * sd[0], 0.6 * minDiff, 0.5 * maxD});
    } else if (colourFrame.channels() >= 3 && colourFrame.size() == grey.size() && colourFrame.depth() == CV_8U) {
        const cv::Mat context = colourFrame(C);
        cv::Scalar mean, sd;
        cv::meanStdDev(context, mean, sd, ring_);
        cv::Scalar background;
        for (int i = 0; i < 4; ++i) background[i] = cv::saturate_cast<uchar>(mean[i]);
        cv::absdiff(context, background, colourDiff_);
        if (channels_.size() < 3) channels_.resize(3);
        for (size_t i = 0; i < 3; ++i) channels_[i].create(C.size(), CV_8UC1);
        const int fromTo[] = {0, 0, 1, 1, 2, 2};
        cv::mixChannels(&colourDiff_, 1, channels_.data(), 3, fromTo, 3);
        cv::max(channels_[0], channels_[1], diff_);
        cv::max(diff_, channels_[2], diff_);
        T = std::max(2.0 * std::max({sd[0], sd[1], sd[2]}), minDiff);
    } else {
        const cv::Mat context = grey(C);
        cv::Scalar mean, sd;
        cv::meanStdDev(context, mean, sd, ring_);
        cv::absdiff(context, cv::Scalar(cv::saturate_cast<uchar>(mean[0])), diff_);
        T = std::max(2.0 * sd[0], minDiff);
    }

    fitScratch(binary_, binaryStore_, diff_.size(), CV_8UC1);
    fitScratch(morph_, morphStore_, diff_.size(), CV_8UC1);
    cv::threshold(diff_, binary_, T, 255.0, cv::THRESH_BINARY);
    // Blobs may reach half a margin beyond the search rectangle, never into the outer ring.
    const cv::Rect A = growAndClip(sLocal, margin / 2, C.width, C.height);
    keepOnly(binary_, A);

    if (polarity == 0) {
        openOrClose(binary_, cv::MORPH_OPEN, kernel_, morph_);
    }
    openOrClose(binary_, cv::MORPH_CLOSE, kernel_, morph_);
    tracer_.findOuter(binary_, contours_);

    const double E = static_cast<double>(w) * h;
    const double minArea = std::max(0.003 * E, 3.0);
    const double upperFloor = 0.003 * E > 3.0 ? minArea + 1.0 : 4.0;
    const double maxArea = std::max((polarity != 0 ? 1.4 : 2.2) * E, upperFloor);
    const double refArea = std::max((polarity != 0 ? 0.035 : 0.08) * E, minArea);
    const double G = std::max(1.25 * m, 8.0);
    const cv::Point2f expectedLocal(expectedCenter.x - static_cast<float>(C.x),
                                    expectedCenter.y - static_cast<float>(C.y));

    candidates_.clear();
    for (size_t i = 0; i < contours_.size(); ++i) {
        const auto& contour = contours_[i];
        const double area = cv::contourArea(contour);
        if (area < minArea || area > maxArea) continue;
        cv::Point2f centroid;
        if (!blob::contourCentroid(contour, centroid)) continue;
        const double d = distance(centroid, expectedLocal);
        if (!(d <= G)) continue;
        const cv::Rect bounds = cv::boundingRect(contour);
        const double meanDifference = blob::meanUnderContour(diff_, tracer_, contours_[i], bounds, fill_);
        const double cost = weights::kForegroundCostDistance * d / G -
                            weights::kForegroundCostArea * std::min(area / refArea, 1.0) -
                            weights::kForegroundCostStrength * std::min(meanDifference / 64.0, 1.0);
        candidates_.push_back({i, area, bounds, centroid, meanDifference, cost});
    }
    if (candidates_.empty()) return none;

    // Fragment merge: pieces of the same target near the best blob join its box.
    fitScratch(merged_, mergedStore_, C.size(), CV_8UC1);
    const blob::MergedBlob merged = blob::mergeAroundCheapest(candidates_, tracer_, contours_, m <= 13 ? 6 : m / 2,
                                                              std::max(0.85 * m, 8.0), C.size(), merged_);
    const BlobCandidate* best = merged.best;
    const cv::Rect bb = merged.box;
    if (bb.width < 1 || bb.height < 1) return none;

    const double bbArea = static_cast<double>(bb.width) * bb.height;
    if (bbArea < 0.002 * E || (bb.width < 0.1 * w && bb.height < 0.1 * h)) return none;

    const cv::Rect finalBox = blob::padBox(bb + C.tl(), ctx.params.foreground_margin_fraction, 2, frameW, frameH);
    if (finalBox.empty()) return none;

    const double confidence = weights::kForegroundStrength * std::min(best->meanDifference / 96.0, 1.0) +
                              weights::kForegroundArea * std::min(bbArea / refArea, 1.0) +
                              weights::kForegroundFit * std::max(1.0 - std::abs(best->cost), 0.0);
    double targetScore = 0.0;
    if (scoreAppearance) {
        targetScore = ctx.model.templ.empty()
                          ? 1.0
                          : scorer_.appearanceSimilarity(ctx.params, ctx.model, colourFrame, grey, finalBox);
    }
    Measurement out = foundMeasurement(finalBox, rectCenter(finalBox), targetScore, best->cost,
                                       std::clamp(confidence, 0.0, 1.0), Reason::kForeground);
    out.touchesSearchEdge = bb.x <= A.x + 1 || bb.y <= A.y + 1 || bb.x + bb.width >= A.x + A.width - 1 ||
                            bb.y + bb.height >= A.y + A.height - 1;
    return out;
}

}  // namespace molvane
