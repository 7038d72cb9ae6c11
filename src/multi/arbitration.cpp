#include "multi/arbitration.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/geometry.hpp"
#include "core/size_limits.hpp"
#include "multi/hungarian.hpp"

namespace molvane {

using namespace multi_tuning;

namespace {

// The solver's sentinels, not tuning: they only have to order the pairs. A forbidden pair
// (outside the gate) pays kForbiddenCost, which the solver never prefers to anything else.
constexpr double kForbiddenCost = 1.0e9;
// A target given no candidate pays this: more than any gated pair, so that a target takes a
// candidate whenever one is open to it, far less than a forbidden pair.
constexpr double kNothingCost = 1.0e6;
// The motion term of a gated pair is capped at half kFarSpreads squared, which leaves the
// uncertainty, penalty and appearance terms half the cost of taking nothing as room.
static_assert(0.5 * kFarSpreads * kFarSpreads <= 0.5 * kNothingCost, "a far pair must cost less than nothing");

double clamp01(double v) {
    if (!(v > 0.0)) return 0.0;  // also NaN
    return v < 1.0 ? v : 1.0;
}

bool isFinite(cv::Point2f p) { return std::isfinite(p.x) && std::isfinite(p.y); }

// The three tests of closeness, each off when its bar is 0 or less: boxes that overlap by
// at least `minIou`, centres at most `maxDistance` apart, or centres at most `sizeReach`
// apart when `sizeFactor` is on.
bool closeBy(const cv::Rect2f& a, const cv::Rect2f& b, double minIou, double maxDistance, double sizeFactor,
             double sizeReach) {
    if (minIou > 0.0 && boxIou(a, b) >= minIou) return true;
    const double d = centerDistance(a, b);
    if (maxDistance > 0.0 && d <= maxDistance) return true;
    return sizeFactor > 0.0 && d <= sizeReach;
}

// Two proposals that are one observation of the same object.
bool sameObservation(const cv::Rect2f& a, const cv::Rect2f& b, const MultiTargetSettings& s) {
    const double smallest = std::min({static_cast<double>(a.width), static_cast<double>(a.height),
                                      static_cast<double>(b.width), static_cast<double>(b.height)});
    return closeBy(a, b, s.cluster_min_iou, s.cluster_max_distance, s.cluster_size_factor,
                   std::max(kClusterMinReach, s.cluster_size_factor * std::max(kCloseMinSide, smallest)));
}

}  // namespace

double centerDistance(const cv::Rect2f& a, const cv::Rect2f& b) {
    const double acx = static_cast<double>(a.x) + static_cast<double>(a.width) / 2.0;
    const double acy = static_cast<double>(a.y) + static_cast<double>(a.height) / 2.0;
    const double bcx = static_cast<double>(b.x) + static_cast<double>(b.width) / 2.0;
    const double bcy = static_cast<double>(b.y) + static_cast<double>(b.height) / 2.0;
    return std::hypot(acx - bcx, acy - bcy);
}

bool interacts(const cv::Rect2f& a, const cv::Rect2f& b, const MultiTargetSettings& s) {
    const double largest = std::max({static_cast<double>(a.width), static_cast<double>(a.height),
                                     static_cast<double>(b.width), static_cast<double>(b.height)});
    return closeBy(a, b, s.interaction_min_iou, s.interaction_max_distance, s.interaction_size_factor,
                   s.interaction_size_factor * std::max(kCloseMinSide, largest));
}

bool eligibleForOwnership(const TargetOutcome& o) {
    return !o.report.suppressed && o.step.state != TrackState::kLost && o.step.w > 0.f && o.step.h > 0.f;
}

double pairCost(const TargetMotion& m, cv::Point2f find, double likeness, bool ownFind, bool interacting,
                const MultiTargetSettings& s) {
    const double d = distance(find, m.center);
    if (!std::isfinite(d)) return std::numeric_limits<double>::infinity();
    const bool gated = m.radius > 0.0 && d > m.radius;
    if (gated && !ownFind) return std::numeric_limits<double>::infinity();
    const double sigma = std::max(m.sigma, 1e-3);
    const double scale = interacting ? sigma : std::max(m.spread, 1e-3);
    const double u = std::min((gated ? m.radius : d) / scale, kFarSpreads);
    double cost = 0.5 * u * u + std::log(std::max(sigma / std::max(m.cueSigma, 1e-3), 1.0));
    if (gated) cost += kOffGatePenalty;
    cost += std::max(s.appearance_weight, 0.0) * (1.0 - clamp01(likeness));
    return cost;
}

float coreShade(const cv::Mat& grey, const cv::Rect2f& box) {
    const cv::Rect core =
        cv::Rect(cvRound(box.x + kCoreInset * box.width), cvRound(box.y + kCoreInset * box.height),
                 std::max(cvRound(kCoreShare * box.width), 1), std::max(cvRound(kCoreShare * box.height), 1)) &
        cv::Rect(0, 0, grey.cols, grey.rows);
    if (core.empty() || grey.empty()) return 0.f;
    return static_cast<float>(cv::mean(grey(core))[0]);
}

double shadeLikeness(float a, float b) { return std::exp(-std::abs(static_cast<double>(a) - b) / kShadeScale); }

int groupCandidates(const std::vector<TargetOutcome>& outcomes, const MultiTargetSettings& settings,
                    std::vector<int>& candidateOf, std::vector<int>& stack) {
    const int n = static_cast<int>(outcomes.size());
    candidateOf.assign(outcomes.size(), -1);
    int count = 0;
    for (int i = 0; i < n; ++i) {
        if (candidateOf[i] >= 0 || !eligibleForOwnership(outcomes[i])) continue;
        const int c = count++;
        candidateOf[i] = c;
        stack.clear();
        stack.push_back(i);
        while (!stack.empty()) {
            const int k = stack.back();
            stack.pop_back();
            const cv::Rect2f kb = outcomes[k].box();
            for (int j = 0; j < n; ++j) {
                if (candidateOf[j] >= 0 || !eligibleForOwnership(outcomes[j])) continue;
                if (sameObservation(kb, outcomes[j].box(), settings)) {
                    candidateOf[j] = c;
                    stack.push_back(j);
                }
            }
        }
    }
    return count;
}

void assignCandidates(const std::vector<std::vector<double>>& cost, const std::vector<int>& candidateOf, int candidates,
                      const std::vector<int32_t>& ids, const MultiTargetSettings& settings,
                      std::vector<OwnershipDecision>& decisions, AssignmentScratch& sc) {
    const int n = static_cast<int>(candidateOf.size());
    decisions.assign(candidateOf.size(), OwnershipDecision{});
    if (candidates <= 0) return;
    const auto finite = [](double v) { return std::isfinite(v); };
    // Targets as rows; a column per candidate and one "nothing" column per target.
    sc.cost.resize(candidateOf.size());
    for (int i = 0; i < n; ++i) {
        std::vector<double>& row = sc.cost[i];
        row.assign(static_cast<std::size_t>(candidates + n), kForbiddenCost);
        row[static_cast<std::size_t>(candidates + i)] = kNothingCost;
        for (int c = 0; c < candidates; ++c) {
            if (finite(cost[i][c])) row[c] = cost[i][c];
        }
    }
    hungarian(sc.cost, sc.assignment, sc.solver);
    const std::vector<int>& assignment = sc.assignment;
    sc.column.assign(candidateOf.size(), -1);
    sc.holder.assign(static_cast<std::size_t>(candidates), -1);
    for (int i = 0; i < n; ++i) {
        const int c = assignment[i];
        if (c >= 0 && c < candidates && finite(cost[i][c])) {
            sc.column[i] = c;
            sc.holder[c] = i;
        }
    }
    // Ambiguity: giving the candidate to another target instead (that target's own
    // assignment going to the holder in exchange) would cost less than the margin more. A
    // target given nothing gives nothing in exchange.
    const double margin = settings.ambiguity_min_cost_margin;
    sc.ambiguous.assign(static_cast<std::size_t>(candidates), 0);
    for (int c = 0; c < candidates; ++c) {
        const int h = sc.holder[c];
        if (h < 0) continue;
        bool close = false;
        for (int j = 0; j < n; ++j) {
            if (j == h || !finite(cost[j][c])) continue;
            const int other = sc.column[j];
            double regret = cost[j][c] - cost[h][c];
            if (other >= 0) regret += cost[h][other] - cost[j][other];
            if (!finite(regret)) continue;
            if (regret < margin) close = true;
        }
        if (close) sc.ambiguous[c] = 1;
    }
    for (int i = 0; i < n; ++i) {
        const int c = candidateOf[i];
        if (c < 0) continue;
        OwnershipDecision& d = decisions[i];
        d.ambiguous = sc.ambiguous[c] != 0;
        d.owns = !d.ambiguous && sc.holder[c] == i;
        d.ownerId = sc.holder[c] >= 0 ? ids[sc.holder[c]] : 0;
    }
}

cv::Size2f limitMeasuredSize(float width, float height, const TargetSlot& slot, const MultiTargetSettings& settings,
                             const TrackerParams& params) {
    double w = width, h = height;
    const double w0 = slot.initialSize.width, h0 = slot.initialSize.height;
    if (w0 > 0.0 && h0 > 0.0 && w > 0.0 && h > 0.0) {
        const double r0 = w0 / h0;
        const double k = settings.max_aspect_change;
        if (w / h > k * r0) {
            w = h * k * r0;
        } else if (w / h < r0 / k) {
            h = w / (r0 / k);
        }
    }
    const double q = std::max(params.max_size_step, 1.0);
    const double sw = slot.snapshot.w, sh = slot.snapshot.h;
    if (sw > 0.0) w = std::min(sw * q, std::max(sw / q, w));
    if (sh > 0.0) h = std::min(sh * q, std::max(sh / q, h));
    const double g = maxSizeScale(params, w0 * h0);
    w = std::min(w0 * g, w);
    h = std::min(h0 * g, h);
    return {static_cast<float>(w), static_cast<float>(h)};
}

OwnershipCell ownershipCell(cv::Size2f size, cv::Point2f measured, cv::Point2f own,
                            const std::vector<cv::Point2f>& neighbours, int frameW, int frameH, cv::Size initialSize,
                            const MultiTargetSettings& settings, const TrackerParams& params) {
    OwnershipCell cell;
    const double W = size.width, H = size.height;
    if (!isFinite(measured) || !isFinite(own) || !std::isfinite(W) || !std::isfinite(H) || !(W > 0.0) || !(H > 0.0) ||
        frameW <= 0 || frameH <= 0) {
        return cell;
    }
    const double r = std::max(settings.ownership_cell_gap, 0.0);
    const double maxOffset = std::max(
        std::max(initialSize.width, initialSize.height) * std::max(params.foreground_gate_factor, 0.0), kCellMinOffset);

    double ox = static_cast<double>(measured.x) - own.x;
    double oy = static_cast<double>(measured.y) - own.y;
    const double len = std::hypot(ox, oy);
    if (len > maxOffset && len > 0.0) {
        ox *= maxOffset / len;
        oy *= maxOffset / len;
    }
    const double limX = W / 2.0 - r, limY = H / 2.0 - r;
    ox = limX > 0.0 ? std::clamp(ox, -limX, limX) : 0.0;
    oy = limY > 0.0 ? std::clamp(oy, -limY, limY) : 0.0;
    const double cx = own.x + ox, cy = own.y + oy;

    double hx = std::max(0.0, std::min(frameW - cx, cx));
    double hy = std::max(0.0, std::min(frameH - cy, cy));
    for (const cv::Point2f& nb : neighbours) {
        if (!isFinite(nb)) continue;
        const double dx = std::abs(static_cast<double>(nb.x) - own.x);
        const double dy = std::abs(static_cast<double>(nb.y) - own.y);
        if (dx < kCoincident && dy < kCoincident) return cell;  // a neighbour on top of us leaves no own space
        if (dx >= dy) {
            const double mid = (static_cast<double>(nb.x) + own.x) / 2.0;
            const double limit = nb.x > own.x ? mid - r - cx : cx - (mid + r);
            hx = std::min(hx, std::max(limit, 0.0));
        } else {
            const double mid = (static_cast<double>(nb.y) + own.y) / 2.0;
            const double limit = nb.y > own.y ? mid - r - cy : cy - (mid + r);
            hy = std::min(hy, std::max(limit, 0.0));
        }
    }
    const double cw = std::min(2.0 * hx, W);
    if (cw < kCellMinSide) return cell;
    const double ch = std::min(2.0 * hy, H);
    if (ch < kCellMinSide) return cell;
    const double f = std::clamp(settings.ownership_cell_min_fraction, 0.0, 1.0);
    if (f > cw / W || f > ch / H) return cell;

    cell.valid = true;
    cell.box = cv::Rect2f(static_cast<float>(cx - cw / 2.0), static_cast<float>(cy - ch / 2.0), static_cast<float>(cw),
                          static_cast<float>(ch));
    cell.clipped = W > cw + kClipTolerance || H > ch + kClipTolerance;
    return cell;
}

}  // namespace molvane
