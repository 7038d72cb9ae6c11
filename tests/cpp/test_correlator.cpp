#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "cues/correlator.hpp"
#include "sky_scene.hpp"

using molvane::analyseCorrelationPeak;
using molvane::Correlator;
using molvane::CorrelatorBank;
using molvane::test::texturedSkyWithTarget;

namespace {

cv::Mat shifted(const cv::Mat& grey, double dx, double dy) {
    cv::Mat out;
    const cv::Mat m = (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, dy);
    cv::warpAffine(grey, out, m, grey.size(), cv::INTER_NEAREST, cv::BORDER_REPLICATE);
    return out;
}

cv::Point2f centreOf(const cv::Rect& r) { return {r.x + 0.5f * r.width, r.y + 0.5f * r.height}; }

std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "<no invalid_argument>";
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Peak analysis on hand-made responses

TEST(CorrelationPeak, PsrAndSidelobeUseTheirExclusionWindows) {
    const int S = 64;
    cv::Mat resp = cv::Mat::zeros(S, S, CV_32F);
    resp.at<float>(20, 10) = 1.0f;  // peak (row 20, column 10)
    resp.at<float>(20, 15) = 0.9f;  // 5 columns away: inside both windows, ignored by both
    resp.at<float>(26, 10) = 0.6f;  // 6 rows away: counted by the PSR, inside the 29 x 29 window
    resp.at<float>(20, 24) = 0.7f;  // 14 columns away: still inside the 29 x 29 window
    resp.at<float>(35, 10) = 0.4f;  // 15 rows away: the secondary peak

    const auto pk = analyseCorrelationPeak(resp);
    EXPECT_EQ(pk.peak, cv::Point(10, 20));
    const double n = S * S - 121;
    const double sum = 0.6 + 0.7 + 0.4;
    const double sumSq = 0.36 + 0.49 + 0.16;
    const double mean = sum / n;
    const double sd = std::sqrt(sumSq / n - mean * mean);
    EXPECT_NEAR(pk.psr, (1.0 - mean) / sd, 1e-4);
    EXPECT_NEAR(pk.sidelobeRatio, 0.4, 1e-6);
}

// A sampled Gaussian is fitted exactly by the log-parabola, so the sub-pixel position is
// recovered - including across the wrap-around at cell 0, where an unmoved target peaks.
TEST(CorrelationPeak, SubPixelFitIsExactForAGaussianAndWrapsAtTheBorder) {
    const int S = 128;
    const std::vector<cv::Point2f> truths = {{0.3f, -0.2f}, {0.f, 0.f}, {-0.45f, 0.4f}, {-3.2f, -2.1f}, {5.25f, 7.7f}};
    for (const auto& t : truths) {
        cv::Mat resp(S, S, CV_32F);
        for (int r = 0; r < S; ++r) {
            for (int c = 0; c < S; ++c) {
                float dr = r - t.y, dc = c - t.x;
                dr -= S * std::round(dr / S);
                dc -= S * std::round(dc / S);
                resp.at<float>(r, c) = std::exp(-(dr * dr + dc * dc) / (2.f * 2.f * 2.f));
            }
        }
        const auto pk = analyseCorrelationPeak(resp);
        EXPECT_NEAR(pk.displacement.x, t.x, 2e-3) << t;
        EXPECT_NEAR(pk.displacement.y, t.y, 2e-3) << t;
        EXPECT_GT(pk.psr, 10.0);
    }
}

// ---------------------------------------------------------------------------------------
// Filters

// ---------------------------------------------------------------------------------------
// Bank layout and validation

struct Layout {
    int w, h, requested;
    int S, T;
    std::vector<int> widths;
};

class BankLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(BankLayout, ScalesAreSkippedWhenTheTargetOutgrowsHalfThePatch) {
    const Layout& l = GetParam();
    cv::Mat grey(600, 800, CV_8UC1, cv::Scalar(100));
    grey(cv::Rect(200, 150, l.w, l.h)).setTo(200);
    CorrelatorBank bank;
    bank.train(grey, cv::Rect(200, 150, l.w, l.h), l.requested);
    EXPECT_EQ(bank.searchSize(), l.S);
    EXPECT_EQ(bank.targetSize(), l.T);
    ASSERT_EQ(bank.size(), l.widths.size());
    for (std::size_t i = 0; i < l.widths.size(); ++i) {
        EXPECT_EQ(bank.filter(i).targetSize(), l.widths[i]);
        EXPECT_EQ(bank.filter(i).searchSize(), l.S);
        EXPECT_TRUE(bank.filter(i).trained());
    }
    EXPECT_EQ(bank.samples().size(), 9u);
    EXPECT_EQ(bank.selectedIndex(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BankLayout,
                         ::testing::Values(Layout{5, 5, 0, 128, 8, {8, 8, 16, 32}},
                                           Layout{100, 40, 0, 256, 100, {50, 100}},
                                           Layout{90, 20, 0, 256, 90, {45, 90}}, Layout{20, 10, 64, 64, 20, {10, 20}},
                                           Layout{300, 300, 0, 256, 128, {}}));

TEST(CorrelatorBank, EmptyBankFindsNothing) {
    CorrelatorBank bank;
    cv::Mat grey(400, 400, CV_8UC1, cv::Scalar(90));
    auto r = bank.detect(grey, {200.f, 200.f});
    EXPECT_FALSE(r.found);

    bank.train(grey, cv::Rect(50, 50, 300, 300), 0);  // larger than the 256 patch
    EXPECT_TRUE(bank.empty());
    r = bank.detect(grey, {200.f, 200.f});
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.psr, 0.0);
    EXPECT_EQ(r.sidelobeRatio, 1.0);
    EXPECT_EQ(r.center, cv::Point2f(0.f, 0.f));

    cv::Rect box;
    const cv::Mat sky = texturedSkyWithTarget(10, 10, box);
    bank.train(sky, box, 0);
    EXPECT_FALSE(bank.detect(cv::Mat(), centreOf(box)).found);
    EXPECT_FALSE(bank.detect(sky, {NAN, 3.f}).found);
    EXPECT_TRUE(std::isfinite(bank.detect(sky, {1e30f, -1e30f}).psr));  // replicated border only
}

TEST(CorrelatorBank, InvalidInputIsRefusedBeforeAnythingChanges) {
    cv::Rect box;
    const cv::Mat grey = texturedSkyWithTarget(90, 30, box);
    CorrelatorBank bank;
    bank.train(grey, cv::Rect(10, 10, 10, 10), 0);
    ASSERT_EQ(bank.searchSize(), 128);
    const cv::Mat filterBefore = bank.filter(0).filter().clone();

    const std::string sizeMsg = "correlation search size must be a power of two >= 32";
    const std::string greyMsg = "correlation assist requires a grayscale frame and non-empty bbox";
    EXPECT_EQ(messageOf([&] { bank.train(grey, box, 48); }), sizeMsg);
    EXPECT_EQ(messageOf([&] { bank.train(grey, box, 16); }), sizeMsg);
    cv::Mat colour;
    cv::cvtColor(grey, colour, cv::COLOR_GRAY2BGR);
    EXPECT_EQ(messageOf([&] { bank.train(colour, box, 0); }), greyMsg);
    EXPECT_EQ(messageOf([&] { bank.train(cv::Mat(), box, 0); }), greyMsg);
    EXPECT_EQ(messageOf([&] { bank.train(grey, cv::Rect(5, 5, 0, 4), 0); }), greyMsg);

    EXPECT_EQ(bank.searchSize(), 128);
    EXPECT_EQ(cv::norm(bank.filter(0).filter(), filterBefore, cv::NORM_INF), 0.0);

    for (int s : {2, 6, 100}) {
        EXPECT_EQ(messageOf([&] { Correlator c(s, 8); }), "Correlator: searchSize must be a power of two >= 4") << s;
    }

    bank.train(grey, box, 0);  // 0 = automatic: a 90 px target gets the 256 patch
    EXPECT_EQ(bank.searchSize(), 256);
}

TEST(CorrelatorBank, TrainingIsDeterministicAndRetrainingReplacesEverything) {
    cv::Rect box;
    const cv::Mat grey = texturedSkyWithTarget(24, 16, box, 1);
    CorrelatorBank a, b;
    a.train(grey, box, 0);
    b.train(grey, cv::Rect(0, 0, 6, 6), 0);
    b.train(grey, box, 0);  // re-training reuses buffers but must not keep old sums
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(cv::norm(a.filter(i).filter(), b.filter(i).filter(), cv::NORM_INF), 0.0) << i;
    }
    // The jittered samples differ from the centred one, so the jitter really happened.
    EXPECT_GT(cv::norm(a.samples()[0], a.samples()[1], cv::NORM_L1), 1.0);

    b.clear();
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(b.searchSize(), 0);
    EXPECT_TRUE(b.samples().empty());
}

// ---------------------------------------------------------------------------------------
// Detection

class StaticAndMovedTarget : public ::testing::TestWithParam<std::tuple<int, int>> {};

// An unmoved target must stay put: the jittered training samples are trained towards
// their own shifted response, and the sub-pixel fit wraps round the response border.
TEST_P(StaticAndMovedTarget, DisplacementIsRecovered) {
    const auto [size, kind] = GetParam();
    cv::Rect box;
    const cv::Mat grey = texturedSkyWithTarget(size, size, box, kind);
    CorrelatorBank bank;
    bank.train(grey, box, 0);
    const cv::Point2f c = centreOf(box);

    const auto still = bank.detect(grey, c);
    ASSERT_TRUE(still.found);
    EXPECT_LT(cv::norm(still.center - c), 0.15) << still.center - c;
    EXPECT_GT(still.psr, 10.0);

    const auto moved = bank.detect(shifted(grey, -3, -2), c);
    ASSERT_TRUE(moved.found);
    EXPECT_NEAR(moved.center.x - c.x, -3.f, 0.4f);
    EXPECT_NEAR(moved.center.y - c.y, -2.f, 0.4f);
    const auto& resp = bank.filter(bank.selectedIndex()).response();
    const auto pk = analyseCorrelationPeak(resp);
    EXPECT_EQ(pk.peak, cv::Point(bank.searchSize() - 3, bank.searchSize() - 2));
}

INSTANTIATE_TEST_SUITE_P(TargetSizes, StaticAndMovedTarget,
                         ::testing::Combine(::testing::Values(5, 8, 32, 100), ::testing::Values(0, 1)));

// ---------------------------------------------------------------------------------------
// Online update

TEST(Correlator, UpdateRateOneRebuildsFromThePatchAloneAndZeroKeepsTheSums) {
    cv::Rect box;
    const cv::Mat grey = texturedSkyWithTarget(12, 12, box);
    CorrelatorBank bank;
    bank.train(grey, box, 0);
    Correlator& f = bank.filter(0);
    const cv::Mat patch = bank.extractPatch(grey, centreOf(box) + cv::Point2f(1.f, 0.f)).clone();

    const cv::Mat numBefore = f.numerator().clone();
    const cv::Mat denBefore = f.denominator().clone();
    f.update(patch, 0.f);
    EXPECT_EQ(cv::norm(f.numerator(), numBefore, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(f.denominator(), denBefore, cv::NORM_INF), 0.0);

    f.update(patch, 1.f);
    Correlator fresh(f.searchSize(), f.targetSize());
    fresh.update(patch, 1.f);
    EXPECT_LT(cv::norm(f.filter(), fresh.filter(), cv::NORM_INF), 1e-3 * cv::norm(fresh.filter(), cv::NORM_INF));
}
