// The overlay a result draws on a copy of its frame.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "hud/hud.hpp"

namespace molvane {
namespace {

const cv::Scalar kPrimary(212, 182, 6, 0);
const cv::Scalar kSecondary(160, 140, 4, 0);

TrackResult visible(float x, float y, float w, float h, int32_t id = 7, float speed = 0.f) {
    TrackResult r;
    r.step.state = TrackState::kConfirmed;
    r.step.targetId = id;
    r.step.x = x;
    r.step.y = y;
    r.step.w = w;
    r.step.h = h;
    r.step.speed = speed;
    return r;
}

// A textured background, so that drawing over it and drawing nothing are told apart.
cv::Mat background(int channels, int rows = 120, int cols = 160) {
    cv::Mat img(rows, cols, CV_8UC(channels));
    cv::randu(img, cv::Scalar::all(0), cv::Scalar::all(100));
    return img;
}

bool same(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

cv::Vec4b pixel(const cv::Mat& img, int x, int y) {
    cv::Vec4b v(0, 0, 0, 0);
    for (int c = 0; c < img.channels(); ++c) v[c] = img.ptr<uchar>(y)[x * img.channels() + c];
    return v;
}

void expectColour(const cv::Mat& img, int x, int y, const cv::Scalar& colour, const char* what) {
    const cv::Vec4b v = pixel(img, x, y);
    for (int c = 0; c < std::min(img.channels(), 3); ++c) {
        EXPECT_EQ(v[c], colour[c]) << what << " channel " << c << " at (" << x << ", " << y << ")";
    }
    if (img.channels() == 4) {
        EXPECT_EQ(v[3], 0) << what << " alpha at (" << x << ", " << y << ")";
    }
}

class HudChannels : public ::testing::TestWithParam<int> {};

// The worked example: x 10.6, y 20.4, w 30.5, h 40.5, speed 12.5, id 7 gives x0 10, y0 20,
// x1 41, y1 60, cx 25, cy 40, a 30 x 40 thin box, brackets of min(9, 12, 14) = 9 pixels,
// the label at (12, 14) and the read-out "X:11 Y:20  30x40  spd:12" at (12, 73) - the
// halves printed to even. The picture is rebuilt from those hand-worked numbers.
TEST_P(HudChannels, MatchesTheWorkedExamplePixelForPixel) {
    const cv::Mat frame = background(GetParam());
    cv::Mat drawn = frame.clone();
    drawHud(drawn, visible(10.6f, 20.4f, 30.5f, 40.5f, 7, 12.5f));

    cv::Mat expected = frame.clone();
    cv::rectangle(expected, cv::Point(10, 20), cv::Point(39, 59), kSecondary, 1, cv::LINE_8);
    const cv::Point corners[4] = {{10, 20}, {41, 20}, {10, 60}, {41, 60}};
    for (const cv::Point& c : corners) {
        const int dx = c.x == 10 ? 9 : -9;
        const int dy = c.y == 20 ? 9 : -9;
        cv::line(expected, c, c + cv::Point(dx, 0), kPrimary, 2, cv::LINE_8);
        cv::line(expected, c, c + cv::Point(0, dy), kPrimary, 2, cv::LINE_8);
    }
    cv::circle(expected, cv::Point(25, 40), 2, kPrimary, cv::FILLED, cv::LINE_AA);
    cv::line(expected, cv::Point(0, 40), cv::Point(6, 40), kSecondary, 1, cv::LINE_AA);
    cv::line(expected, cv::Point(45, 40), cv::Point(160, 40), kSecondary, 1, cv::LINE_AA);
    cv::line(expected, cv::Point(25, 0), cv::Point(25, 16), kSecondary, 1, cv::LINE_AA);
    cv::line(expected, cv::Point(25, 64), cv::Point(25, 120), kSecondary, 1, cv::LINE_AA);
    cv::putText(expected, "TGT-07", cv::Point(12, 14), cv::FONT_HERSHEY_SIMPLEX, 0.38, kPrimary, 1, cv::LINE_AA);
    cv::putText(expected, "X:11 Y:20  30x40  spd:12", cv::Point(12, 73), cv::FONT_HERSHEY_SIMPLEX, 0.3, kSecondary, 1,
                cv::LINE_AA);
    EXPECT_TRUE(same(drawn, expected));
}

TEST_P(HudChannels, BracketsUsePrimaryAndTheThinBoxSecondary) {
    cv::Mat img = background(GetParam());
    if (img.channels() == 4) img.reshape(1, img.rows * img.cols).col(3).setTo(255);
    drawHud(img, visible(30.f, 30.f, 80.f, 50.f));  // x0 30, x1 110, y0 30, y1 80, L 14
    expectColour(img, 31, 30, kPrimary, "top-left bracket");
    expectColour(img, 108, 79, kPrimary, "bottom-right bracket");
    expectColour(img, 70, 30, kSecondary, "top edge of the thin box");
    expectColour(img, 30, 55, kSecondary, "left edge of the thin box");
    // Anti-aliased crosshair arms: faded towards the secondary colour, never the primary.
    const cv::Vec4b arm = pixel(img, 10, 55);
    EXPECT_GT(arm[0], 120);
    EXPECT_LE(arm[0], 160);
    if (img.channels() == 4) {
        EXPECT_EQ(pixel(img, 0, 0)[3], 255) << "undrawn pixels keep their alpha";
    }
}

TEST_P(HudChannels, LostResultLeavesTheImageUntouched) {
    const cv::Mat frame = background(GetParam());
    cv::Mat img = frame.clone();
    TrackResult r = visible(10.f, 10.f, 40.f, 40.f);
    r.step.state = TrackState::kLost;
    drawHud(img, r);
    EXPECT_TRUE(same(img, frame));
}

INSTANTIATE_TEST_SUITE_P(Hud, HudChannels, ::testing::Values(1, 3, 4));

// Length of the run of primary pixels along row y starting at column x.
int primaryRun(const cv::Mat& grey, int x, int y) {
    int n = 0;
    while (x + n < grey.cols && grey.at<uchar>(y, x + n) == 212) ++n;
    return n;
}

TEST(Hud, BracketLengthIsThirtyPercentOfTheShorterSideCappedAtFourteen) {
    auto run = [](float w, float h) {
        cv::Mat img(200, 200, CV_8UC1, cv::Scalar(0));
        drawHud(img, visible(40.f, 60.f, w, h));
        return primaryRun(img, 40, 60);
    };
    const int shortBox = run(20.f, 10.f);   // min(6, 3, 14) = 3
    const int bigBox = run(100.f, 80.f);    // min(30, 24, 14) = 14
    const int wideFlat = run(100.f, 20.f);  // min(30, 6, 14) = 6
    EXPECT_EQ(bigBox - shortBox, 14 - 3);
    EXPECT_EQ(wideFlat - shortBox, 6 - 3);

    // 3 x 3: L is 0, every bracket shrinks to a dot at its corner, so no primary pixel
    // lies more than the dot radius plus the line half-width away from the box.
    cv::Mat tiny(200, 200, CV_8UC1, cv::Scalar(0));
    drawHud(tiny, visible(40.f, 60.f, 3.f, 3.f));
    std::vector<cv::Point> primary;
    cv::findNonZero(tiny == 212, primary);
    ASSERT_FALSE(primary.empty());
    const cv::Rect extent = cv::boundingRect(primary);
    EXPECT_GE(extent.x, 38);
    EXPECT_LE(extent.br().x, 46);
    EXPECT_GE(extent.y, 58);
    EXPECT_LE(extent.br().y, 66);
}

// The label of a wide box, compared where nothing else is drawn: between the top edge and
// the baseline region, left of the vertical crosshair arm.
void expectLabel(const TrackResult& r, const std::string& text, cv::Point origin) {
    const cv::Mat frame = background(1, 120, 300);
    cv::Mat drawn = frame.clone();
    drawHud(drawn, r);
    cv::Mat expected = frame.clone();
    cv::putText(expected, text, origin, cv::FONT_HERSHEY_SIMPLEX, 0.38, kPrimary, 1, cv::LINE_AA);
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, 0.38, 1, &baseline);
    const int top = std::max(origin.y - size.height - 2, 2);
    const int bottom = origin.y + 2;
    const cv::Rect region(origin.x + 1, top, size.width + 2, bottom - top);
    EXPECT_TRUE(same(drawn(region), expected(region))) << text;
    EXPECT_FALSE(same(frame(region), expected(region))) << "the label must show in the compared region";
}

TEST(Hud, LabelShowsTheIdWithAtLeastTwoDigits) {
    expectLabel(visible(20.f, 40.f, 200.f, 60.f, 7), "TGT-07", cv::Point(22, 34));
    expectLabel(visible(20.f, 40.f, 200.f, 60.f, 123), "TGT-123", cv::Point(22, 34));
}

TEST(Hud, LabelBaselineNeverRisesAboveTen) {
    // y0 = 0 would put the baseline at -6: it stays at 10 instead, inside the box.
    expectLabel(visible(20.f, 0.f, 200.f, 60.f, 7), "TGT-07", cv::Point(22, 10));
}

TEST(Hud, EmptyImageIsLeftAlone) {
    cv::Mat empty;
    drawHud(empty, visible(1.f, 1.f, 5.f, 5.f));
    EXPECT_TRUE(empty.empty());
}

// A box that is not a number draws nothing at all.
TEST(Hud, NonFiniteBoxDrawsNothing) {
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    const cv::Mat frame = background(3);
    for (float v : bad) {
        for (int field = 0; field < 4; ++field) {
            TrackResult r = visible(10.f, 10.f, 40.f, 40.f);
            float* fields[4] = {&r.step.x, &r.step.y, &r.step.w, &r.step.h};
            *fields[field] = v;
            cv::Mat img = frame.clone();
            drawHud(img, r);
            EXPECT_TRUE(same(img, frame)) << "field " << field << " = " << v;
        }
    }
}

TEST(Hud, NonFiniteSpeedStillDrawsTheBox) {
    const cv::Mat frame = background(1);
    cv::Mat img = frame.clone();
    drawHud(img, visible(10.f, 10.f, 40.f, 40.f, 1, std::numeric_limits<float>::quiet_NaN()));
    EXPECT_EQ(img.at<uchar>(10, 11), 212);
}

// Values far outside the int range draw exactly what an equivalent box just outside the
// image would: the parts that reach into the image (edges spanning it, crosshair arms)
// and nothing else.
TEST(Hud, HugeCoordinatesDrawLikeTheirModerateEquivalents) {
    struct Case {
        TrackResult huge, moderate;
        bool reachesImage;
    };
    const Case cases[] = {
        // A box spanning the image horizontally: its top and bottom edges cross the frame.
        {visible(-1e30f, 30.f, 2e30f, 40.f), visible(-1e6f, 30.f, 2e6f, 40.f), true},
        // The same vertically.
        {visible(30.f, -3e9f, 40.f, 6e9f), visible(30.f, -1e6f, 40.f, 2e6f), true},
        // Far to the right and below: only the crosshair arms towards the image remain.
        {visible(3e9f, 50.f, 20.f, 20.f), visible(1e6f, 50.f, 20.f, 20.f), true},
        {visible(50.f, 3e38f, 20.f, 3e38f), visible(50.f, 1e6f, 20.f, 1e6f), true},
        // Beyond the top-left corner: the crosshair arms point away, nothing shows.
        {visible(-3e38f, -3e38f, 10.f, 10.f), visible(-1e6f, -1e6f, 10.f, 10.f), false},
        // Huge sizes: x + w overflows float to infinity.
        {visible(5.f, 5.f, 3e38f, 3e38f), visible(5.f, 5.f, 1e7f, 1e7f), true},
    };
    for (int channels : {1, 3}) {
        const cv::Mat frame = background(channels);
        for (const Case& c : cases) {
            cv::Mat a = frame.clone();
            cv::Mat b = frame.clone();
            drawHud(a, c.huge);
            drawHud(b, c.moderate);
            EXPECT_TRUE(same(a, b)) << c.huge.step.x << ", " << c.huge.step.y << ", " << c.huge.step.w << ", "
                                    << c.huge.step.h;
            EXPECT_EQ(!same(a, frame), c.reachesImage) << c.huge.step.x << ", " << c.huge.step.y;
        }
    }
}

}  // namespace
}  // namespace molvane
