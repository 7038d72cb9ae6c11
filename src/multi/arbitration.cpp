#include "multi/arbitration.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/geometry.hpp"
#include "engine/size_limits.hpp"
#include "multi/hungarian.hpp"

namespace molvane {

namespace {

constexpr double kForbiddenCost = 1000000.0;
constexpr double kMinOwnerCost = 0.001;

// Terms of the ownership score, in score units.
constexpr double kConfirmedBonus = 0.2;       // a confirmed claimant
constexpr double kTentativeBonus = 0.05;      // a tentative claimant
constexpr int kCountedHits = 10;              // hits beyond this earn nothing more
constexpr double kPerHit = 0.005;             // per hit, up to kCountedHits
constexpr double kPerMiss = 0.05;             // lost per consecutive miss
constexpr double kContinuityMinSide = 12.0;   // px: the least side continuity is measured in
constexpr double kContinuityReach = 1.25;     // snapshot sides: a find this close continues the track
constexpr double kContinuityBonus = 0.25;     // a find that continues the track
constexpr double kJumpPenaltyPerSide = 0.12;  // per snapshot side beyond the reach
constexpr double kMaxJumpPenalty = 0.6;       // cap of the jump penalty
constexpr double kReacquisitionPenalty = 0.1;  // a find made by a reacquisition search

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
                   std::max(3.0, s.cluster_size_factor * std::max(4.0, smallest)));
}

// Ranking inside an observation: higher score first, equal scores by smaller id.
bool ranksBefore(double scoreA, int32_t idA, double scoreB, int32_t idB) {
    if (scoreA != scoreB) return scoreA > scoreB;
    return idA < idB;
}

}  // namespace

double proximityMargin(const MultiTargetSettings& settings) {
    return std::max(2.0 * settings.ownership_cell_gap, 3.0);
}

double boxIou(const cv::Rect2f& a, const cv::Rect2f& b) {
    const double ax = a.x, ay = a.y, aw = a.width, ah = a.height;
    const double bx = b.x, by = b.y, bw = b.width, bh = b.height;
    const double ow = std::min(ax + aw, bx + bw) - std::max(ax, bx);
    const double oh = std::min(ay + ah, by + bh) - std::max(ay, by);
    const double inter = std::max(0.0, ow) * std::max(0.0, oh);
    const double uni = std::max(0.0, aw) * std::max(0.0, ah) + std::max(0.0, bw) * std::max(0.0, bh) - inter;
    if (!(uni > 0.0)) return 0.0;
    return inter / uni;
}

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
                   s.interaction_size_factor * std::max(4.0, largest));
}

bool eligibleForOwnership(const TargetOutcome& o) {
    return !o.report.suppressed && o.step.state != kLost && o.step.w > 0.f && o.step.h > 0.f;
}

double ownershipScore(const TargetOutcome& o, const TargetSlot& slot, const MultiTargetSettings& s) {
    const double a = clamp01(o.report.anchor_appearance);
    double score = a * std::max(s.appearance_weight, 0.0) + static_cast<double>(o.scores.confidence);
    if (o.step.state == kConfirmed) score += kConfirmedBonus;
    if (o.step.state == kTentative) score += kTentativeBonus;
    score += std::min(o.step.hits, kCountedHits) * kPerHit;
    score -= o.step.misses * kPerMiss;
    if (slot.hasSnapshot) {
        const TrackStep& sn = slot.snapshot;
        const double d = centerDistance(o.box(), cv::Rect2f(sn.x, sn.y, sn.w, sn.h));
        const double side = std::max(static_cast<double>(sn.w), static_cast<double>(sn.h));
        const double n = side > kContinuityMinSide ? side : kContinuityMinSide;
        if (d / n <= kContinuityReach) {
            score += kContinuityBonus;
        } else {
            score -= std::min(kJumpPenaltyPerSide * d / n, kMaxJumpPenalty);
        }
    }
    if (namesReacquisition(o.scores.reason)) score -= kReacquisitionPenalty;
    // A NaN confidence or box must not win the ranking or reach the solver.
    if (!std::isfinite(score)) score = -std::numeric_limits<double>::max();
    return score;
}

void associate(const std::vector<TargetOutcome>& outcomes, const std::vector<TargetSlot>& slots,
               const MultiTargetSettings& settings, std::vector<OwnershipDecision>& decisions,
               AssociationScratch& sc) {
    const int n = static_cast<int>(outcomes.size());
    decisions.assign(outcomes.size(), OwnershipDecision{});
    sc.observation.assign(outcomes.size(), -1);
    sc.score.assign(outcomes.size(), 0.0);

    // Observations: connected groups of the same-observation relation, numbered in the slot
    // order of their first member.
    int count = 0;
    for (int i = 0; i < n; ++i) {
        if (sc.observation[i] >= 0 || !eligibleForOwnership(outcomes[i])) continue;
        const int c = count++;
        sc.observation[i] = c;
        sc.stack.clear();
        sc.stack.push_back(i);
        while (!sc.stack.empty()) {
            const int k = sc.stack.back();
            sc.stack.pop_back();
            const cv::Rect2f kb = outcomes[k].box();
            for (int j = 0; j < n; ++j) {
                if (sc.observation[j] >= 0 || !eligibleForOwnership(outcomes[j])) continue;
                if (sameObservation(kb, outcomes[j].box(), settings)) {
                    sc.observation[j] = c;
                    sc.stack.push_back(j);
                }
            }
        }
    }
    if (count == 0) return;

    for (int i = 0; i < n; ++i) {
        if (sc.observation[i] >= 0) sc.score[i] = ownershipScore(outcomes[i], slots[i], settings);
    }

    // Best candidate and ambiguity of each observation.
    sc.best.assign(count, -1);
    sc.members.assign(count, 0);
    for (int i = 0; i < n; ++i) {
        const int c = sc.observation[i];
        if (c < 0) continue;
        ++sc.members[c];
        const int b = sc.best[c];
        if (b < 0 || ranksBefore(sc.score[i], outcomes[i].id(), sc.score[b], outcomes[b].id())) sc.best[c] = i;
    }
    sc.ambiguous.assign(count, 0);
    bool contested = false;
    for (int c = 0; c < count; ++c) {
        if (sc.members[c] < 2) continue;
        const int b = sc.best[c];
        double s2 = -std::numeric_limits<double>::infinity();
        double a2 = 0.0;
        for (int i = 0; i < n; ++i) {
            if (sc.observation[i] != c || i == b) continue;
            s2 = std::max(s2, sc.score[i]);
            a2 = std::max(a2, clamp01(outcomes[i].report.anchor_appearance));
        }
        const double a1 = clamp01(outcomes[b].report.anchor_appearance);
        const bool amb = sc.score[b] - s2 < settings.ambiguity_min_score_margin ||
                         a1 < settings.min_owner_appearance || a1 - a2 < settings.min_appearance_margin;
        sc.ambiguous[c] = amb ? 1 : 0;
        if (!amb) contested = true;
    }

    // Owners. When no unambiguous observation has two members, the assignment is forced
    // (every lone member takes its own observation) and the solver is not needed.
    sc.owner.assign(count, -1);
    if (!contested) {
        for (int i = 0; i < n; ++i) {
            const int c = sc.observation[i];
            if (c >= 0 && !sc.ambiguous[c]) sc.owner[c] = i;
        }
    } else {
        const std::size_t cols = static_cast<std::size_t>(count + n);
        sc.cost.resize(outcomes.size());
        for (int i = 0; i < n; ++i) {
            std::vector<double>& row = sc.cost[i];
            row.assign(cols, kForbiddenCost);
            row[static_cast<std::size_t>(count + i)] = 0.0;
            const int c = sc.observation[i];
            if (c >= 0 && !sc.ambiguous[c]) row[static_cast<std::size_t>(c)] = -std::max(sc.score[i], kMinOwnerCost);
        }
        const std::vector<int> assignment = hungarian(sc.cost);
        for (int i = 0; i < n; ++i) {
            const int c = sc.observation[i];
            if (c >= 0 && !sc.ambiguous[c] && assignment[i] == c) sc.owner[c] = i;
        }
    }

    for (int i = 0; i < n; ++i) {
        const int c = sc.observation[i];
        if (c < 0) continue;
        OwnershipDecision& d = decisions[i];
        d.ambiguous = sc.ambiguous[c] != 0;
        d.owns = !d.ambiguous && sc.owner[c] == i;
        // The owner reported to the other members is the target that actually holds the
        // observation. It is the best-ranked one except when members tie at the cost floor
        // and the solver hands the observation to a lower-ranked member; naming the
        // best-ranked one then would tell it that it is suppressed by itself.
        const int holder = (!d.ambiguous && sc.owner[c] >= 0) ? sc.owner[c] : sc.best[c];
        d.ownerId = outcomes[holder].id();
    }
}

std::vector<OwnershipDecision> associate(const std::vector<TargetOutcome>& outcomes,
                                         const std::vector<TargetSlot>& slots, const MultiTargetSettings& settings) {
    std::vector<OwnershipDecision> decisions;
    AssociationScratch scratch;
    associate(outcomes, slots, settings, decisions, scratch);
    return decisions;
}

void measureProximity(const std::vector<TargetOutcome>& outcomes, const std::vector<cv::Point2f>& measuredCenters,
                      const std::vector<cv::Point2f>& predictedCenters, const std::vector<cv::Rect2f>& predictedBoxes,
                      const std::vector<TargetSlot>& slots, const MultiTargetSettings& settings,
                      std::vector<MeasurementProximity>& proximity) {
    const std::size_t n = outcomes.size();
    proximity.assign(n, MeasurementProximity{});
    const double margin = proximityMargin(settings);
    for (std::size_t i = 0; i < n; ++i) {
        const TargetOutcome& o = outcomes[i];
        if (!eligibleForOwnership(o)) continue;
        MeasurementProximity& p = proximity[i];
        const cv::Point2f m = measuredCenters[i];
        const double dOwn = distance(m, predictedCenters[i]);
        const cv::Rect2f& ownPredicted = predictedBoxes[i];
        const double side = std::max(static_cast<double>(ownPredicted.width), static_cast<double>(ownPredicted.height));
        double radius = std::max(6.0, 2.0 * settings.interaction_max_distance);
        if (side > 4.0) radius = std::max(radius, 0.75 * side);
        p.nearOwnPrediction = dOwn <= radius;

        const cv::Rect2f ownBox = o.box();
        double nearest = std::numeric_limits<double>::infinity();
        int32_t nearestId = 0;
        bool found = false;
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i) continue;
            if (slots[j].lastState == kLost && outcomes[j].step.state == kLost) continue;
            if (interacts(ownPredicted, predictedBoxes[j], settings)) p.predictionOverlap = true;
            if (interacts(ownBox, predictedBoxes[j], settings)) {
                const double dj = distance(m, predictedCenters[j]);
                if (!found || dj < nearest) {
                    nearest = dj;
                    nearestId = slots[j].id;
                    found = true;
                }
            }
        }
        if (!found) continue;
        if (dOwn > nearest + margin) {
            p.nearestOtherId = nearestId;
        } else if (std::abs(nearest - dOwn) <= margin) {
            p.distanceAmbiguous = true;
        }
    }
}

std::vector<MeasurementProximity> measureProximity(const std::vector<TargetOutcome>& outcomes,
                                                   const std::vector<cv::Point2f>& measuredCenters,
                                                   const std::vector<cv::Point2f>& predictedCenters,
                                                   const std::vector<cv::Rect2f>& predictedBoxes,
                                                   const std::vector<TargetSlot>& slots,
                                                   const MultiTargetSettings& settings) {
    std::vector<MeasurementProximity> proximity;
    measureProximity(outcomes, measuredCenters, predictedCenters, predictedBoxes, slots, settings, proximity);
    return proximity;
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
    if (!isFinite(measured) || !isFinite(own) || !std::isfinite(W) || !std::isfinite(H) || !(W > 0.0) ||
        !(H > 0.0) || frameW <= 0 || frameH <= 0) {
        return cell;
    }
    const double r = std::max(settings.ownership_cell_gap, 0.0);
    const double maxOffset =
        std::max(std::max(initialSize.width, initialSize.height) * std::max(params.foreground_gate_factor, 0.0), 6.0);

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
        if (dx < 0.01 && dy < 0.01) return cell;  // a neighbour on top of us leaves no own space
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
    if (cw < 2.0) return cell;
    const double ch = std::min(2.0 * hy, H);
    if (ch < 2.0) return cell;
    const double f = std::clamp(settings.ownership_cell_min_fraction, 0.0, 1.0);
    if (f > cw / W || f > ch / H) return cell;

    cell.valid = true;
    cell.box = cv::Rect2f(static_cast<float>(cx - cw / 2.0), static_cast<float>(cy - ch / 2.0),
                          static_cast<float>(cw), static_cast<float>(ch));
    cell.clipped = W > cw + 0.5 || H > ch + 0.5;
    return cell;
}

}  // namespace molvane
