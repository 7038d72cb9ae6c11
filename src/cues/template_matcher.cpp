#include "cues/template_matcher.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "cues/cue_weights.hpp"
#include "cues/resample.hpp"
#include "core/geometry.hpp"
#include "core/reasons.hpp"

namespace molvane {

namespace {

struct PeakStats {
    double psr = 0.0;
    double ambiguity = 1.0;
    bool valid = false;
};

// Sharpness of the peak at (pc, pr) of `map`: how far it rises above the cells outside a
// small exclusion square, counting only cells whose match centre passes the speed gate.
PeakStats peakStatistics(const cv::Mat& map, int pc, int pr, int scale, const cv::Rect& sw, int tw, int th,
                         cv::Point2f engineCenter, double gate, const TrackerParams& cfg) {
    PeakStats out;
    if (cfg.template_min_psr <= 0.0 && cfg.template_max_ambiguity >= 1.0) return out;
    const long e = std::clamp(std::lround(std::min(tw, th) / (scale * 4.0)), 2L, 8L);
    const double halfW = tw * 0.5;
    const double halfH = th * 0.5;
    auto inGate = [&](int c, int r) {
        const double x = static_cast<double>(c) * scale + sw.x + halfW;
        const double y = static_cast<double>(r) * scale + sw.y + halfH;
        return std::hypot(x - engineCenter.x, y - engineCenter.y) <= gate;
    };
    if (pc < 0 || pr < 0 || pc >= map.cols || pr >= map.rows || !inGate(pc, pr)) return out;
    const double peak = map.at<float>(pr, pc);
    if (!std::isfinite(peak) || !(peak > 0.0)) return out;

    // Only cells inside the gate's bounding square (plus one cell of slack) can count.
    auto cellRange = [&](double centre, double origin, double half, int cells, int& lo, int& hi) {
        lo = static_cast<int>(
            std::clamp(std::floor((centre - gate - origin - half) / scale) - 1.0, 0.0, static_cast<double>(cells - 1)));
        hi = static_cast<int>(
            std::clamp(std::ceil((centre + gate - origin - half) / scale) + 1.0, 0.0, static_cast<double>(cells - 1)));
    };
    int c0 = 0, c1 = 0, r0 = 0, r1 = 0;
    cellRange(engineCenter.x, sw.x, halfW, map.cols, c0, c1);
    cellRange(engineCenter.y, sw.y, halfH, map.rows, r0, r1);

    long long n = 0;
    double sum = 0.0, sumsq = 0.0;
    double side = -std::numeric_limits<double>::infinity();
    for (int r = r0; r <= r1; ++r) {
        const float* row = map.ptr<float>(r);
        const bool rowOutside = std::abs(r - pr) > e;
        for (int c = c0; c <= c1; ++c) {
            const double v = row[c];
            if (!std::isfinite(v)) continue;
            if (!rowOutside && std::abs(c - pc) <= e) continue;
            if (!inGate(c, r)) continue;
            ++n;
            sum += v;
            sumsq += v * v;
            side = std::max(side, v);
        }
    }
    if (n < 8) return out;
    const double mean = sum / n;
    const double var = sumsq / n - mean * mean;
    if (var > 0.0 && std::sqrt(var) > 1e-9) {
        out.psr = (peak - mean) / std::sqrt(var);
    } else {
        out.psr = peak > mean ? 1000.0 : 0.0;
    }
    out.ambiguity = std::clamp(std::max(side, 0.0) / peak, 0.0, 1.0);
    out.valid = true;
    return out;
}

// First maximum in row-major order over the finite cells; false when there is none.
bool finiteMax(const cv::Mat& map, double& best, cv::Point& at) {
    bool any = false;
    for (int r = 0; r < map.rows; ++r) {
        const float* row = map.ptr<float>(r);
        for (int c = 0; c < map.cols; ++c) {
            const float v = row[c];
            if (!std::isfinite(v)) continue;
            if (!any || v > best) {
                best = v;
                at = {c, r};
                any = true;
            }
        }
    }
    return any;
}

struct RankedCell {
    int c = 0;
    int r = 0;
    double value = 0.0;
    double key = 0.0;
};

}  // namespace

TemplateResult TemplateMatcher::measure(const CueContext& ctx, const cv::Mat& frame, const cv::Mat& grey,
                                        const cv::Rect& predictedBox, int searchRadius, double dtSeconds) {
    const TrackerParams& config = ctx.params;
    const cv::Mat& templ = ctx.model.templ;
    const cv::Mat& halfTemplate = ctx.model.halfTemplate;
    const cv::Point2f engineCenter = ctx.state.center;
    TemplateResult res;
    res.failReason = Reason::kLostLowTemplate;
    const int W = grey.cols;
    const int H = grey.rows;
    const int tw = templ.cols;
    const int th = templ.rows;
    const double gate = speedGateRadius(dtSeconds, config.max_speed, config.min_gate_radius);

    const cv::Rect sw = growAndClip(predictedBox, searchRadius, W, H);
    if (tw < 1 || th < 1 || sw.empty() || sw.width < tw || sw.height < th) {
        res.failReason = Reason::kLostSearchSmall;
        res.score = ctx.state.targetScore;
        return res;
    }
    const cv::Mat window = grey(sw);

    // Correlation map at full resolution, directly or refined around a half-scale peak.
    const bool singleScale = sw.width < 128 || sw.height < 128 || th < 64 || tw < 64;
    const cv::Mat* statsMap = &fullMap_;
    int statsScale = 1;
    cv::Point coarsePeak;
    if (singleScale || halfTemplate.empty()) {
        correlation_.compute(window, templ, fullMap_);
    } else {
        fitWithCapacity(halfWindow_, halvedSize(window.size()), window.type());
        halveInto(window, halfWindow_);
        bool coarseOk = halfWindow_.cols >= halfTemplate.cols && halfWindow_.rows >= halfTemplate.rows;
        if (coarseOk) {
            correlation_.compute(halfWindow_, halfTemplate, coarseMap_);
            double coarseBest = 0.0;
            coarseOk = finiteMax(coarseMap_, coarseBest, coarsePeak);
        }
        if (!coarseOk) {
            correlation_.compute(window, templ, fullMap_);
        } else {
            statsMap = &coarseMap_;
            statsScale = 2;
            const int mx = coarsePeak.x;
            const int my = coarsePeak.y;
            const int x0 = std::max(0, 2 * mx - 4);
            const int x1 = std::min(2 * mx + 4, sw.width - tw);
            const int y0 = std::max(0, 2 * my - 4);
            const int y1 = std::min(2 * my + 4, sw.height - th);
            if (x1 < x0 || y1 < y0) {
                correlation_.compute(window, templ, fullMap_);
            } else {
                correlation_.compute(window(cv::Rect(x0, y0, x1 - x0 + tw, y1 - y0 + th)), templ, fineMap_);
                fitWithCapacity(fullMap_, cv::Size(sw.width - tw + 1, sw.height - th + 1), CV_32F);
                for (int r = 0; r < fullMap_.rows; ++r) std::fill_n(fullMap_.ptr<float>(r), fullMap_.cols, -1.f);
                fineMap_.copyTo(fullMap_(cv::Rect(x0, y0, fineMap_.cols, fineMap_.rows)));
            }
        }
    }

    double best = -1.0;
    cv::Point peakAt(0, 0);
    if (!finiteMax(fullMap_, best, peakAt)) best = -1.0;
    res.score = best;
    if (best < config.template_min_score) return res;

    // Builds the measurement for a match at (c, r); false when it fails the speed gate.
    auto candidate = [&](int c, int r, double v, Measurement& out) {
        cv::Rect box(sw.x + c, sw.y + r, tw, th);
        cv::Point2f center = rectCenter(box);
        if (!ctx.model.extendedTarget) {
            const Measurement fg = foreground_.measure(ctx, frame, grey, box, center, false);
            if (fg.found) {
                box = fg.box;
                center = fg.center;
            }
        } else {
            const cv::Rect clipped = intersect(box, cv::Rect(0, 0, W, H));
            if (!clipped.empty()) {
                const Measurement b = boundary_.fitOutline(ctx, frame, grey, clipped, center);
                if (b.found) {
                    box = b.box;
                    center = b.center;
                    v = b.targetScore;
                }
            }
        }
        if (!ctx.withinGate(center, gate)) return false;
        out = foundMeasurement(box, center, v, 1.0 - v, std::clamp(v, 0.0, 1.0), Reason::kTemplate);
        return true;
    };
    auto refuseByStats = [&](const PeakStats& st) {
        if (st.valid && (st.psr < config.template_min_psr || st.ambiguity > config.template_max_ambiguity)) {
            res.failReason =
                st.psr >= config.template_min_psr ? Reason::kLostAmbiguousTemplate : Reason::kLostLowTemplatePsr;
            return true;
        }
        return false;
    };

    Measurement m;
    if (candidate(peakAt.x, peakAt.y, best, m)) {
        const cv::Point statsAt = statsScale == 1 ? peakAt : coarsePeak;
        const PeakStats st =
            peakStatistics(*statsMap, statsAt.x, statsAt.y, statsScale, sw, tw, th, engineCenter, gate, config);
        if (refuseByStats(st)) return res;
        static_cast<Measurement&>(res) = m;
        res.peakPsr = st.psr;
        res.peakAmbiguity = st.ambiguity;
        res.hasPeakStats = st.valid;
        return res;
    }

    // The strongest match lies beyond the speed gate: rank slightly weaker peaks inside it,
    // preferring those near the prediction.
    const double floorValue = std::max(best - weights::kTemplateFallbackBelowBest,
                                       std::max(weights::kTemplateFallbackFloor, config.template_min_score));
    const double norm = std::max(gate, 1.0);
    const cv::Point2f predictedCenter = rectCenter(predictedBox);
    std::array<RankedCell, 16> kept;
    std::size_t count = 0;
    for (int r = 0; r < fullMap_.rows; ++r) {
        const float* row = fullMap_.ptr<float>(r);
        for (int c = 0; c < fullMap_.cols; ++c) {
            const double v = row[c];
            if (!std::isfinite(v) || v < floorValue) continue;
            const cv::Point2f centre(static_cast<float>(sw.x + c + tw * 0.5), static_cast<float>(sw.y + r + th * 0.5));
            if (!ctx.withinGate(centre, gate)) continue;
            const double dn = distance(centre, predictedCenter) / norm;
            const double penalty = weights::kTemplateFallbackDistance;
            const double key = v - (dn < 1.0 ? penalty * dn : penalty);
            std::size_t pos = 0;
            while (pos < count && !(kept[pos].key < key)) ++pos;
            if (pos == count && count == kept.size()) continue;  // beats none and the list is full
            const std::size_t last = std::min(count, kept.size() - 1);
            for (std::size_t i = last; i > pos; --i) kept[i] = kept[i - 1];
            kept[pos] = {c, r, v, key};
            count = std::min(count + 1, kept.size());
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!candidate(kept[i].c, kept[i].r, kept[i].value, m)) continue;
        if (statsMap == &fullMap_) {
            const PeakStats st =
                peakStatistics(fullMap_, kept[i].c, kept[i].r, 1, sw, tw, th, engineCenter, gate, config);
            if (refuseByStats(st)) return res;
            static_cast<Measurement&>(res) = m;
            res.peakPsr = st.psr;
            res.peakAmbiguity = st.ambiguity;
            res.hasPeakStats = st.valid;
        } else {
            static_cast<Measurement&>(res) = m;
        }
        return res;
    }
    res.failReason = Reason::kLostSpeedGate;
    return res;
}

}  // namespace molvane
