#include "hud/hud.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include <opencv2/imgproc.hpp>

namespace molvane {

namespace {

const cv::Scalar kPrimary(212, 182, 6, 0);
const cv::Scalar kSecondary(160, 140, 4, 0);

// How far outside the image a coordinate may lie and still matter. Every line of the
// overlay is horizontal or vertical and the texts are a few hundred pixels wide at most,
// so moving a coordinate that lies further out than this onto the margin changes no
// visible pixel, while it keeps OpenCV's fixed-point arithmetic and ours far from
// overflow whatever the box holds.
constexpr double kMargin = 4096.0;

// Integer geometry is worked out in double (exact for every value an int could hold) and
// only then brought into int range.
int place(double v, int extent) {
    const double hi = std::min(static_cast<double>(extent) + kMargin, static_cast<double>(INT_MAX));
    return static_cast<int>(std::clamp(v, -kMargin, hi));
}

}  // namespace

void drawHud(cv::Mat& image, const TrackResult& result) {
    if (result.lost() || image.empty()) return;
    // A box that is not a number has nowhere to be drawn.
    if (!std::isfinite(result.step.x) || !std::isfinite(result.step.y) || !std::isfinite(result.step.w) ||
        !std::isfinite(result.step.h)) {
        return;
    }
    const int W = image.cols;
    const int H = image.rows;

    // Truncation toward zero, as an int conversion would; the right and bottom edges come
    // from single-precision sums, the bracket length from single-precision products.
    const double x0 = std::trunc(result.step.x);
    const double y0 = std::trunc(result.step.y);
    const double w0 = std::trunc(result.step.w);
    const double h0 = std::trunc(result.step.h);
    const double x1 = std::trunc(result.step.x + result.step.w);
    const double y1 = std::trunc(result.step.y + result.step.h);
    const double cx = std::trunc((x0 + x1) / 2.0);
    const double cy = std::trunc((y0 + y1) / 2.0);
    const double L = std::min({static_cast<double>(std::trunc(0.3f * result.step.w)),
                               static_cast<double>(std::trunc(0.3f * result.step.h)), 14.0});

    auto pt = [&](double x, double y) { return cv::Point(place(x, W), place(y, H)); };
    auto bracket = [&](double ax, double ay, double bx, double by) {
        cv::line(image, pt(ax, ay), pt(bx, by), kPrimary, 2, cv::LINE_8, 0);
    };
    auto crosshair = [&](double ax, double ay, double bx, double by) {
        cv::line(image, pt(ax, ay), pt(bx, by), kSecondary, 1, cv::LINE_AA, 0);
    };

    // The thin box is drawn like a cv::Rect: nothing when its width or height is not
    // positive, else the outline from the top-left to the last pixel inside.
    if (w0 > 0.0 && h0 > 0.0) {
        cv::rectangle(image, pt(x0, y0), pt(x0 + w0 - 1.0, y0 + h0 - 1.0), kSecondary, 1, cv::LINE_8, 0);
    }
    bracket(x0, y0, x0 + L, y0);
    bracket(x0, y0, x0, y0 + L);
    bracket(x1, y0, x1 - L, y0);
    bracket(x1, y0, x1, y0 + L);
    bracket(x0, y1, x0 + L, y1);
    bracket(x0, y1, x0, y1 - L);
    bracket(x1, y1, x1 - L, y1);
    bracket(x1, y1, x1, y1 - L);
    cv::circle(image, pt(cx, cy), 2, kPrimary, cv::FILLED, cv::LINE_AA, 0);
    crosshair(0.0, cy, x0 - 4.0, cy);
    crosshair(x1 + 4.0, cy, W, cy);
    crosshair(cx, 0.0, cx, y0 - 4.0);
    crosshair(cx, y1 + 4.0, cx, H);

    char label[32];
    std::snprintf(label, sizeof label, "TGT-%02d", static_cast<int>(result.step.targetId));
    cv::putText(image, label, pt(x0 + 2.0, std::max(y0 - 6.0, 10.0)), cv::FONT_HERSHEY_SIMPLEX, 0.38, kPrimary, 1,
                cv::LINE_AA, false);

    char readout[64];
    std::snprintf(readout, sizeof readout, "X:%.0f Y:%.0f  %.0fx%.0f  spd:%.0f", static_cast<double>(result.step.x),
                  static_cast<double>(result.step.y), static_cast<double>(result.step.w),
                  static_cast<double>(result.step.h), static_cast<double>(result.step.speed));
    cv::putText(image, readout, pt(x0 + 2.0, y1 + 13.0), cv::FONT_HERSHEY_SIMPLEX, 0.3, kSecondary, 1, cv::LINE_AA,
                false);
}

}  // namespace molvane
