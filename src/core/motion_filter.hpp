// A constant-velocity Kalman filter of a target's centre, one independent filter per axis,
// with time in seconds. It says where the target should be next and how sure that is: the
// gate a candidate must fall in grows with the uncertainty, so a target that has moved
// steadily is not handed a look-alike far off its path, while a target unseen for a while
// may be found further away. Plain values: it is copied with the engine's motion state.
#pragma once

#include <opencv2/core.hpp>

namespace molvane {

class MotionFilter {
public:
    // Starts at `center` with a known position (standard deviation `positionSigma`, px) and
    // a velocity of `velocity` px/s known to within `velocitySigma` px/s.
    void reset(cv::Point2f center, cv::Point2f velocity, double positionSigma, double velocitySigma);
    // Moves the estimate on by `dtSeconds` (clamped to [0, 10] s); the white-acceleration
    // process noise `accelSigma` (px/s^2) makes the uncertainty grow with time.
    void predict(double dtSeconds, double accelSigma);
    // Takes an observed centre whose own error has standard deviation `measurementSigma` px.
    void correct(cv::Point2f observed, double measurementSigma);

    bool started() const { return started_; }
    cv::Point2f position() const { return {static_cast<float>(x_.p), static_cast<float>(y_.p)}; }
    cv::Point2f velocity() const { return {static_cast<float>(x_.v), static_cast<float>(y_.v)}; }
    // Standard deviation (px) of the larger axis's position error of the estimate.
    double positionSigma() const;

private:
    struct Axis {
        double p = 0.0, v = 0.0;                 // position (px), velocity (px/s)
        double ppp = 0.0, ppv = 0.0, pvv = 0.0;  // covariance
        void predict(double dt, double q);
        void correct(double z, double r);
    };
    Axis x_, y_;
    bool started_ = false;
};

// The gate of one step: a candidate centre passes when it lies within `radius` of
// `center`. An inactive gate passes everything.
struct MotionGate {
    cv::Point2f center;
    double radius = 0.0;
    bool active = false;
    bool passes(cv::Point2f p) const;
};

// The motion model of a target of box size `box` (px), in seconds. What a cue reports as
// the target's centre wanders with the target's size (a flapping wing, a blob cut
// differently); how hard the target can change its velocity grows with its size on screen
// (a near target crosses more pixels per turn) and with its speed (a fast target turns
// through more pixels per second).
double centreSigma(cv::Size box);                                 // px
double manoeuvreSigma(cv::Size box, const MotionFilter& filter);  // px/s^2
// Velocity uncertainty of a target just seeded (px/s): a third of the speed limit.
double seedVelocitySigma(double maxSpeed);
// Where the target's next tracked find may lie after the filter has been advanced to the
// frame: a few standard deviations of the predicted centre (its own uncertainty and the
// cue's), plus the reach of a turn at the current speed within one interval of `dtSeconds`
// (a reversal moves the target two steps away from the straight-line prediction).
MotionGate motionGate(const MotionFilter& filter, cv::Size box, double dtSeconds);

}  // namespace molvane
