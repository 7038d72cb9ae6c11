// The previous frame engines keep: never overwritten by the next frame, one copy shared by
// the targets of a multi-target lock.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "sky_scene.hpp"
#include "engine/grey_conversion.hpp"
#include "engine/target_engine.hpp"
#include "multi/multi_tracker.hpp"

namespace molvane::test {
namespace {

cv::Mat skyWithDot(int x, bool colour) {
    cv::Mat grey = skyGradient(160, 120);
    paint(grey, cv::Rect(x, 50, 6, 6), 40);
    if (!colour) return grey;
    cv::Mat bgr;
    cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
    return bgr;
}

TEST(GreyFrames, EngineKeepsTheLastFrameWhateverTheCallerDoesNext) {
    for (const bool colour : {false, true}) {
        TargetEngine engine(trackerParamsForProfile("default"));
        cv::Mat frame = skyWithDot(40, colour);
        engine.initialize(frame, engine.greyFrames().greyOf(frame), cv::Rect(40, 50, 6, 6));
        for (int x = 43; x < 55; x += 3) {
            cv::Mat next = skyWithDot(x, colour);
            frame.setTo(cv::Scalar::all(0));  // a caller reusing its buffer
            engine.update(next, engine.greyFrames().greyOf(next), 1.0 / 30.0);
            const cv::Mat after = skyWithDot(x + 3, colour);
            engine.greyFrames().greyOf(after);  // the next conversion must not land on it
            cv::Mat expected = skyWithDot(x, false);
            EXPECT_EQ(cv::norm(engine.model().previousFrame, expected, cv::NORM_INF), 0.0) << colour << " " << x;
            frame = next;
        }
    }
}

TEST(GreyFrames, TargetsOfAMultiTrackerShareOneCopy) {
    for (const bool colour : {false, true}) {
        MultiTracker multi(trackerParamsForProfile("default"));
        cv::Mat frame = skyWithDot(40, colour);
        paint(frame, cv::Rect(100, 20, 6, 6), 40);
        multi.lock(frame, multi.greyFrames().greyOf(frame), {cv::Rect(40, 50, 6, 6), cv::Rect(100, 20, 6, 6)});
        cv::Mat next = skyWithDot(43, colour);
        paint(next, cv::Rect(101, 21, 6, 6), 40);
        cv::Mat expected;
        if (colour) {
            cv::cvtColor(next, expected, cv::COLOR_BGR2GRAY);
        } else {
            expected = next.clone();
        }
        multi.update(next, multi.greyFrames().greyOf(next), 1.0 / 30.0);
        next.setTo(cv::Scalar::all(0));
        const cv::Mat& a = multi.targets()[0].engine->model().previousFrame;
        const cv::Mat& b = multi.targets()[1].engine->model().previousFrame;
        EXPECT_EQ(a.data, b.data);
        EXPECT_EQ(cv::norm(a, expected, cv::NORM_INF), 0.0);
    }
}

// Converted a band of rows at a time, the frame comes out as one whole conversion gives it:
// three and four channels, a view with a row step of its own, widths that leave a short last
// band or make one row a band.
TEST(GreyConversion, EqualsOneWholeConversion) {
    cv::RNG rng(5);
    for (const int channels : {3, 4}) {
        for (const cv::Size size : {cv::Size(640, 480), cv::Size(333, 1001), cv::Size(70000, 3), cv::Size(1, 5)}) {
            cv::Mat all(size.height, size.width + 2, CV_8UC(channels));
            rng.fill(all, cv::RNG::UNIFORM, 0, 256);
            const cv::Mat view = all(cv::Rect(cv::Point(1, 0), size));
            cv::Mat expected, got(view.size(), CV_8UC1);
            cv::cvtColor(view, expected, channels == 3 ? cv::COLOR_BGR2GRAY : cv::COLOR_BGRA2GRAY);
            bgrToGrey(view, got);
            EXPECT_EQ(cv::norm(expected, got, cv::NORM_INF), 0.0) << channels << " channels, " << size;
        }
    }
    cv::Mat grey(2, 2, CV_8UC1);
    EXPECT_THROW(bgrToGrey(cv::Mat(2, 2, CV_8UC2), grey), std::invalid_argument);
    EXPECT_THROW(bgrToGrey(cv::Mat(), grey), std::invalid_argument);
    EXPECT_THROW(bgrToGrey(cv::Mat(3, 2, CV_8UC3), grey), std::invalid_argument);
}

}  // namespace
}  // namespace molvane::test
