#include "core/motion_filter.hpp"

#include <algorithm>
#include <cmath>

#include "config/motion_params.hpp"

namespace molvane {

namespace {

// Longest interval one prediction spans; beyond it the uncertainty means nothing anyway and
// the arithmetic must stay finite.
constexpr double kMaxInterval = 10.0;

bool finite(cv::Point2f p) { return std::isfinite(p.x) && std::isfinite(p.y); }

}  // namespace

void MotionFilter::Axis::predict(double dt, double q) {
    p += v * dt;
    // F P F' + Q for F = [1 dt; 0 1] and white acceleration of spectral density q.
    const double dt2 = dt * dt;
    ppp += 2.0 * dt * ppv + dt2 * pvv + q * dt2 * dt / 3.0;
    ppv += dt * pvv + q * dt2 / 2.0;
    pvv += q * dt;
}

void MotionFilter::Axis::correct(double z, double r) {
    const double s = ppp + r;
    if (!(s > 0.0)) return;
    const double kp = ppp / s;
    const double kv = ppv / s;
    const double e = z - p;
    p += kp * e;
    v += kv * e;
    const double npp = (1.0 - kp) * ppp;
    const double npv = (1.0 - kp) * ppv;
    const double nvv = pvv - kv * ppv;
    ppp = npp;
    ppv = npv;
    pvv = std::max(nvv, 0.0);
}

void MotionFilter::reset(cv::Point2f center, cv::Point2f velocity, double positionSigma, double velocitySigma) {
    if (!finite(center)) return;
    if (!finite(velocity)) velocity = {0.f, 0.f};
    const double pp = positionSigma * positionSigma;
    const double vv = velocitySigma * velocitySigma;
    x_ = {center.x, velocity.x, pp, 0.0, vv};
    y_ = {center.y, velocity.y, pp, 0.0, vv};
    started_ = true;
}

void MotionFilter::predict(double dtSeconds, double accelSigma) {
    if (!started_ || !std::isfinite(dtSeconds)) return;
    const double dt = std::clamp(dtSeconds, 0.0, kMaxInterval);
    const double q = accelSigma * accelSigma;
    x_.predict(dt, q);
    y_.predict(dt, q);
}

void MotionFilter::correct(cv::Point2f observed, double measurementSigma) {
    if (!started_ || !finite(observed)) return;
    const double r = std::max(measurementSigma * measurementSigma, 1e-6);
    x_.correct(observed.x, r);
    y_.correct(observed.y, r);
}

double MotionFilter::positionSigma() const { return std::sqrt(std::max({x_.ppp, y_.ppp, 0.0})); }

namespace {

constexpr double kCentreSigmaFloor = 0.5;    // px
constexpr double kCentreSigmaPerSide = 0.2;  // of the mean box side
constexpr double kManoeuvrePerSide = 10.0;   // px/s^2 per px of the mean box side
constexpr double kManoeuvrePerSpeed = 2.0;   // px/s^2 per px/s of speed: a turn within half a second
constexpr double kTurnReach = 2.0;           // intervals of travel at the current speed

double meanSide(cv::Size box) { return 0.5 * (std::max(box.width, 1) + std::max(box.height, 1)); }

}  // namespace

double centreSigma(cv::Size box) { return kCentreSigmaFloor + kCentreSigmaPerSide * meanSide(box); }

double manoeuvreSigma(cv::Size box, const MotionFilter& filter) {
    const cv::Point2f v = filter.velocity();
    const double speed = filter.started() ? std::hypot(static_cast<double>(v.x), static_cast<double>(v.y)) : 0.0;
    return kManoeuvrePerSide * meanSide(box) + kManoeuvrePerSpeed * (std::isfinite(speed) ? speed : 0.0);
}

double seedVelocitySigma(double maxSpeed) { return std::max(maxSpeed, 0.0) / 3.0; }

MotionGate motionGate(const MotionFilter& filter, cv::Size box, double dtSeconds) {
    MotionGate g;
    if (!filter.started()) return g;
    const double dt = std::isfinite(dtSeconds) ? std::clamp(dtSeconds, 0.0, kMaxInterval) : 0.0;
    const double s = filter.positionSigma();
    const double m = centreSigma(box);
    const cv::Point2f v = filter.velocity();
    const double speed = std::hypot(static_cast<double>(v.x), static_cast<double>(v.y));
    g.center = filter.position();
    g.radius = kGateSigmas * std::sqrt(s * s + m * m) + kTurnReach * speed * dt;
    g.active = std::isfinite(g.radius);
    return g;
}

bool MotionGate::passes(cv::Point2f p) const {
    if (!active) return true;
    const double dx = static_cast<double>(p.x) - center.x;
    const double dy = static_cast<double>(p.y) - center.y;
    return std::sqrt(dx * dx + dy * dy) <= radius;
}

}  // namespace molvane
