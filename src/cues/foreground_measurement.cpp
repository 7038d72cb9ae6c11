// Foreground blob measurement: model the sky from a ring of pixels around the search
// rectangle, threshold what differs from it, and return the box of the best blob together
// with the fragments that belong to it.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cues/blob_candidate.hpp"
#include "cues/buffer_ops.hpp"
#include "engine/geometry.hpp"
#include "engine/reasons.hpp"
#include "engine/template_tracker.hpp"

namespace molvane {

namespace {

// Zeroes every pixel of `image` outside `keep` (same effect as AND with a filled mask).
void keepOnly(cv::Mat& image, const cv::Rect& keep) {
    const cv::Rect all(0, 0, image.cols, image.rows);
    if (keep.empty()) {
        image.setTo(cv::Scalar::all(0));
        return;
    }
    image.rowRange(0, keep.y).setTo(cv::Scalar::all(0));
    image.rowRange(keep.y + keep.height, all.height).setTo(cv::Scalar::all(0));
    image(cv::Rect(0, keep.y, keep.x, keep.height)).setTo(cv::Scalar::all(0));
    image(cv::Rect(keep.x + keep.width, keep.y, all.width - keep.x - keep.width, keep.height))
        .setTo(cv::Scalar::all(0));
}

}  // namespace

Measurement TemplateTracker::measureForeground(const cv::Mat& colourFrame, const cv::Mat& grey,
                                               const cv::Rect& searchRect, cv::Point2f expectedCenter) {
    return foregroundBlob(colourFrame, grey, searchRect, expectedCenter, true);
}

Measurement TemplateTracker::foregroundBlob(const cv::Mat& colourFrame, const cv::Mat& grey,
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
    fgRing_.create(C.size(), CV_8UC1);
    fgRing_.setTo(cv::Scalar(255));
    fgRing_(sLocal).setTo(cv::Scalar(0));
    const long long contextArea = static_cast<long long>(C.width) * C.height;
    const long long ringCount = contextArea - static_cast<long long>(w) * h;
    const long long required = contextArea > 135 ? contextArea / 8 : 16;
    if (ringCount < required) return none;

    // Difference from the background and its threshold.
    const int polarity = polarity_;
    const double minDiff = static_cast<double>(config_.min_diff_threshold);
    double T = 0.0;
    if (polarity != 0) {
        const cv::Mat context = grey(C);
        cv::Scalar mean, sd;
        cv::meanStdDev(context, mean, sd, fgRing_);
        const cv::Scalar background(cv::saturate_cast<uchar>(mean[0]));
        if (polarity > 0) {
            cv::subtract(context, background, fgDiff_);
        } else {
            cv::subtract(background, context, fgDiff_);
        }
        double maxD = 0.0;
        cv::minMaxLoc(fgDiff_, nullptr, &maxD);
        T = std::max({1.2 * sd[0], 0.6 * minDiff, 0.5 * maxD});
    } else if (colourFrame.channels() >= 3 && colourFrame.size() == grey.size() && colourFrame.depth() == CV_8U) {
        const cv::Mat context = colourFrame(C);
        cv::Scalar mean, sd;
        cv::meanStdDev(context, mean, sd, fgRing_);
        cv::Scalar background;
        for (int i = 0; i < 4; ++i) background[i] = cv::saturate_cast<uchar>(mean[i]);
        cv::absdiff(context, background, fgColourDiff_);
        if (fgChannels_.size() < 3) fgChannels_.resize(3);
        for (size_t i = 0; i < 3; ++i) fgChannels_[i].create(C.size(), CV_8UC1);
        const int fromTo[] = {0, 0, 1, 1, 2, 2};
        cv::mixChannels(&fgColourDiff_, 1, fgChannels_.data(), 3, fromTo, 3);
        cv::max(fgChannels_[0], fgChannels_[1], fgDiff_);
        cv::max(fgDiff_, fgChannels_[2], fgDiff_);
        T = std::max(2.0 * std::max({sd[0], sd[1], sd[2]}), minDiff);
    } else {
        const cv::Mat context = grey(C);
        cv::Scalar mean, sd;
        cv::meanStdDev(context, mean, sd, fgRing_);
        cv::absdiff(context, cv::Scalar(cv::saturate_cast<uchar>(mean[0])), fgDiff_);
        T = std::max(2.0 * sd[0], minDiff);
    }

    cv::threshold(fgDiff_, fgBinary_, T, 255.0, cv::THRESH_BINARY);
    // Blobs may reach half a margin beyond the search rectangle, never into the outer ring.
    const cv::Rect A = growAndClip(sLocal, margin / 2, C.width, C.height);
    keepOnly(fgBinary_, A);

    if (polarity == 0) {
        openOrClose(fgBinary_, cv::MORPH_OPEN, morphKernel_, fgMorph_);
    }
    openOrClose(fgBinary_, cv::MORPH_CLOSE, morphKernel_, fgMorph_);
    cv::findContours(fgBinary_, fgContours_, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);

    const double E = static_cast<double>(w) * h;
    const double minArea = std::max(0.003 * E, 3.0);
    const double upperFloor = 0.003 * E > 3.0 ? minArea + 1.0 : 4.0;
    const double maxArea = std::max((polarity != 0 ? 1.4 : 2.2) * E, upperFloor);
    const double refArea = std::max((polarity != 0 ? 0.035 : 0.08) * E, minArea);
    const double G = std::max(1.25 * m, 8.0);
    const cv::Point2f expectedLocal(expectedCenter.x - static_cast<float>(C.x),
                                    expectedCenter.y - static_cast<float>(C.y));

    fgCandidates_.clear();
    for (size_t i = 0; i < fgContours_.size(); ++i) {
        const auto& contour = fgContours_[i];
        const double area = cv::contourArea(contour);
        if (area < minArea || area > maxArea) continue;
        const cv::Moments mo = cv::moments(contour);
        if (std::abs(mo.m00) <= 1e-6) continue;
        const cv::Point2f centroid(static_cast<float>(mo.m10 / mo.m00), static_cast<float>(mo.m01 / mo.m00));
        const double d = distance(centroid, expectedLocal);
        if (!(d <= G)) continue;
        const cv::Rect bounds = cv::boundingRect(contour);
        const double meanDifference = blob::meanUnderContour(fgDiff_, fgContours_, i, bounds, fgFill_);
        const double cost = 0.35 * d / G - 0.15 * std::min(area / refArea, 1.0) -
                            0.5 * std::min(meanDifference / 64.0, 1.0);
        fgCandidates_.push_back({i, area, bounds, centroid, meanDifference, cost});
    }
    if (fgCandidates_.empty()) return none;

    const BlobCandidate* best = &fgCandidates_.front();
    for (const BlobCandidate& c : fgCandidates_) {
        if (c.cost < best->cost) best = &c;
    }

    // Fragment merge: pieces of the same target near the best blob join its box.
    const cv::Rect mergeBox = growAndClip(best->box, m <= 13 ? 6 : m / 2, C.width, C.height);
    const double mergeRadius = std::max(0.85 * m, 8.0);
    fgMerged_.create(C.size(), CV_8UC1);
    fgMerged_.setTo(cv::Scalar(0));
    for (const BlobCandidate& c : fgCandidates_) {
        if (blob::overlaps(c.box, mergeBox) || distance(c.centroid, best->centroid) <= mergeRadius) {
            fillContour(fgMerged_, fgContours_[c.index], cv::Scalar(255));
        }
    }
    const cv::Rect bb = cv::boundingRect(fgMerged_);
    if (bb.width < 1 || bb.height < 1) return none;

    const double bbArea = static_cast<double>(bb.width) * bb.height;
    if (bbArea < 0.002 * E || (bb.width < 0.1 * w && bb.height < 0.1 * h)) return none;

    const long long pad =
        std::max(blob::roundSize(std::max(bb.width, bb.height) * config_.foreground_margin_fraction), 2LL);
    const cv::Rect finalBox = growAndClip(bb + C.tl(), pad, frameW, frameH);
    if (finalBox.empty()) return none;

    Measurement out;
    out.box = finalBox;
    out.center = rectCenter(finalBox);
    out.flag = bb.x <= A.x + 1 || bb.y <= A.y + 1 || bb.x + bb.width >= A.x + A.width - 1 ||
               bb.y + bb.height >= A.y + A.height - 1;
    const double confidence = 0.5 * std::min(best->meanDifference / 96.0, 1.0) +
                              0.25 * std::min(bbArea / refArea, 1.0) +
                              0.25 * std::max(1.0 - std::abs(best->cost), 0.0);
    out.confidence = std::clamp(confidence, 0.0, 1.0);
    out.candidateScore = best->cost;
    if (scoreAppearance) {
        out.targetScore = template_.empty() ? 1.0 : appearanceSimilarity(colourFrame, grey, finalBox);
    }
    out.reason = Reason::kForeground;
    out.found = true;
    return out;
}

}  // namespace molvane
