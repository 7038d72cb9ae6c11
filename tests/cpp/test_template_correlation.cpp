// The template cue's direct correlation is the exact coefficient (checked against a plain
// double-precision sum), agrees with cv::matchTemplate (TM_CCOEFF_NORMED) as far as its
// float transforms are accurate (worst in windows of little contrast), keeps the peaks
// where OpenCV has them, and rules flat templates and flat windows as OpenCV does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>

#include <opencv2/imgproc.hpp>

#include "cues/template_correlation.hpp"

namespace molvane::test {
namespace {

// The coefficient at (x, y) summed plainly in doubles, with OpenCV's flat-window rule.
double reference(const cv::Mat& image, const cv::Mat& templ, int x, int y) {
    const double n = templ.total();
    double sI = 0, sII = 0, sT = 0, sTT = 0, sIT = 0;
    for (int r = 0; r < templ.rows; ++r) {
        for (int c = 0; c < templ.cols; ++c) {
            const double i = image.at<uchar>(y + r, x + c), t = templ.at<uchar>(r, c);
            sI += i, sII += i * i, sT += t, sTT += t * t, sIT += i * t;
        }
    }
    const double dI = sII - sI * sI / n, dT = sTT - sT * sT / n;
    if (dT == 0) return 1.0;
    if (dI <= std::min(0.5, 10 * FLT_EPSILON * sII)) return 0.0;
    return (sIT - sI * sT / n) / std::sqrt(dI * dT);
}

// Every coefficient from whole-number sums taken plainly, position by position, through
// the same final formula as TemplateCorrelation: where the sums agree, so do the floats,
// to the bit.
cv::Mat exactReference(const cv::Mat& image, const cv::Mat& templ) {
    cv::Mat out(image.rows - templ.rows + 1, image.cols - templ.cols + 1, CV_32F);
    const long long n = static_cast<long long>(templ.total());
    long long sT = 0, sTT = 0;
    for (int r = 0; r < templ.rows; ++r) {
        for (int c = 0; c < templ.cols; ++c) {
            const long long t = templ.at<uchar>(r, c);
            sT += t, sTT += t * t;
        }
    }
    const long long spreadT = n * sTT - sT * sT;
    for (int y = 0; y < out.rows; ++y) {
        for (int x = 0; x < out.cols; ++x) {
            long long sI = 0, sII = 0, sIT = 0;
            for (int r = 0; r < templ.rows; ++r) {
                const uchar* i = image.ptr<uchar>(y + r) + x;
                const uchar* t = templ.ptr<uchar>(r);
                for (int c = 0; c < templ.cols; ++c) sI += i[c], sII += i[c] * i[c], sIT += i[c] * t[c];
            }
            const long long spreadI = n * sII - sI * sI;
            float v = 1.f;
            if (spreadT != 0) {
                const double deviations = static_cast<double>(spreadI) / static_cast<double>(n);
                if (deviations <= std::min(0.5, 10 * FLT_EPSILON * static_cast<double>(sII))) {
                    v = 0.f;
                } else {
                    const double c = static_cast<double>(n * sIT - sI * sT) /
                                     std::sqrt(static_cast<double>(spreadI) * static_cast<double>(spreadT));
                    v = static_cast<float>(std::clamp(c, -1.0, 1.0));
                }
            }
            out.at<float>(y, x) = v;
        }
    }
    return out;
}

void expectSameBits(const cv::Mat& ours, const cv::Mat& expected, const std::string& what) {
    ASSERT_EQ(ours.size(), expected.size()) << what;
    ASSERT_EQ(ours.type(), CV_32F) << what;
    for (int y = 0; y < ours.rows; ++y) {
        ASSERT_EQ(std::memcmp(ours.ptr<float>(y), expected.ptr<float>(y), sizeof(float) * ours.cols), 0)
            << what << ", row " << y;
    }
}

TEST(TemplateCorrelation, BitIdenticalToWholeNumberSumsOnRandomSizes) {
    cv::RNG rng(77);
    TemplateCorrelation correlation;  // one instance throughout, its buffers reused at every size
    cv::Mat ours;
    int trials = 0;
    while (trials < 150) {
        const cv::Size t(rng.uniform(1, 65), rng.uniform(1, 65));
        const int W = t.width + rng.uniform(0, 140), H = t.height + rng.uniform(0, 140);
        const double work = static_cast<double>(W - t.width + 1) * (H - t.height + 1) * t.area();
        if (W > 200 || H > 200 || work > 3e6) continue;  // keep the plain sums quick
        ++trials;
        // A view into a larger frame, so rows are further apart than the window is wide.
        cv::Mat frame(H + rng.uniform(0, 9), W + rng.uniform(0, 13), CV_8UC1);
        const cv::Mat image =
            frame(cv::Rect(rng.uniform(0, frame.cols - W + 1), rng.uniform(0, frame.rows - H + 1), W, H));
        cv::Mat templ(t, CV_8UC1);
        const int lo = rng.uniform(0, 200);
        rng.fill(frame, cv::RNG::UNIFORM, lo, rng.uniform(lo + 1, 257));
        rng.fill(templ, cv::RNG::UNIFORM, 0, 256);
        if (trials % 5 == 0) {  // bright throughout: the largest sums
            rng.fill(frame, cv::RNG::UNIFORM, 200, 256);
            rng.fill(templ, cv::RNG::UNIFORM, 200, 256);
        }
        correlation.compute(image, templ, ours);
        expectSameBits(ours, exactReference(image, templ),
                       "trial " + std::to_string(trials) + ": template " + std::to_string(t.width) + "x" +
                           std::to_string(t.height) + " in " + std::to_string(W) + "x" + std::to_string(H));
        if (HasFatalFailure()) return;
    }
}

TEST(TemplateCorrelation, BitIdenticalWhereTheCrossSumsExceed32Bits) {
    cv::RNG rng(9);
    cv::Mat frame(204, 209, CV_8UC1), templ(185, 187, CV_8UC1), ours;  // 34595 pixels of up to 255^2
    rng.fill(frame, cv::RNG::UNIFORM, 250, 256);                       // cross sums about 2.2e9, past 2^31
    rng.fill(templ, cv::RNG::UNIFORM, 250, 256);
    const cv::Mat image = frame(cv::Rect(3, 2, 203, 199));
    TemplateCorrelation().compute(image, templ, ours);
    expectSameBits(ours, exactReference(image, templ), "large template");
}

// kind 0: noise; 1: a smooth sky-like field; 2: a sky with the template pasted in.
class CorrelationMatchesOpenCv : public ::testing::TestWithParam<int> {};

TEST_P(CorrelationMatchesOpenCv, OnRandomSizes) {
    const int kind = GetParam();
    cv::RNG rng(321 + kind);
    TemplateCorrelation correlation;
    cv::Mat ours, theirs;
    for (int trial = 0; trial < 120; ++trial) {
        const int W = rng.uniform(8, 140), H = rng.uniform(8, 120);
        cv::Mat frame(H + 4, W + 3, CV_8UC1);
        const cv::Mat image = frame(cv::Rect(rng.uniform(0, 4), rng.uniform(0, 5), W, H));
        const cv::Size t(rng.uniform(1, std::min(W, 40) + 1), rng.uniform(1, std::min(H, 40) + 1));
        cv::Mat templ(t, CV_8UC1);
        rng.fill(templ, cv::RNG::UNIFORM, 0, 256);
        if (kind == 0) {
            rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
        } else {
            rng.fill(frame, cv::RNG::NORMAL, rng.uniform(60, 200), rng.uniform(1, 12));
            cv::GaussianBlur(frame, frame, cv::Size(5, 5), 0);
        }
        if (kind == 2)
            templ.copyTo(
                image(cv::Rect(rng.uniform(0, W - t.width + 1), rng.uniform(0, H - t.height + 1), t.width, t.height)));
        correlation.compute(image, templ, ours);
        cv::matchTemplate(image, templ, theirs, cv::TM_CCOEFF_NORMED);
        ASSERT_EQ(ours.size(), theirs.size());
        ASSERT_EQ(ours.type(), CV_32F);
        for (int k = 0; k < 20; ++k) {
            const int x = rng.uniform(0, ours.cols), y = rng.uniform(0, ours.rows);
            ASSERT_NEAR(ours.at<float>(y, x), reference(image, templ, x, y), 1e-6) << "trial " << trial;
        }
        EXPECT_LE(cv::norm(ours, theirs, cv::NORM_INF), kind == 0 ? 2e-5 : 2e-3)
            << "trial " << trial << ": " << image.size() << " " << t;
        cv::Point ourPeak, theirPeak;
        double ourBest = 0.0, theirBest = 0.0;
        cv::minMaxLoc(ours, nullptr, &ourBest, nullptr, &ourPeak);
        cv::minMaxLoc(theirs, nullptr, &theirBest, nullptr, &theirPeak);
        EXPECT_NEAR(ourBest, theirBest, 2e-4);
        if (kind == 2 && t.area() >= 4) {
            EXPECT_EQ(ourPeak, theirPeak) << "trial " << trial;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Content, CorrelationMatchesOpenCv, ::testing::Values(0, 1, 2));

TEST(TemplateCorrelation, TemplateWhoseSumsExceed32Bits) {
    cv::RNG rng(8);
    cv::Mat image(200, 196, CV_8UC1), templ(186, 184, CV_8UC1), ours;  // 34224 pixels
    rng.fill(image, cv::RNG::UNIFORM, 200, 256);
    rng.fill(templ, cv::RNG::UNIFORM, 200, 256);
    TemplateCorrelation().compute(image, templ, ours);
    ASSERT_EQ(ours.size(), cv::Size(13, 15));
    for (int y = 0; y < ours.rows; y += 3) {
        for (int x = 0; x < ours.cols; x += 4) EXPECT_NEAR(ours.at<float>(y, x), reference(image, templ, x, y), 1e-6);
    }
}

TEST(TemplateCorrelation, FlatTemplateScoresOneAndFlatWindowZero) {
    TemplateCorrelation correlation;
    cv::Mat image(30, 40, CV_8UC1, cv::Scalar(90)), out;
    cv::randu(image(cv::Rect(20, 0, 20, 30)), 0, 256);
    correlation.compute(image, cv::Mat(5, 5, CV_8UC1, cv::Scalar(17)), out);
    EXPECT_EQ(cv::countNonZero(out != 1.f), 0);
    cv::Mat templ(5, 5, CV_8UC1);
    cv::randu(templ, 0, 256);
    correlation.compute(image, templ, out);
    EXPECT_EQ(cv::countNonZero(out(cv::Rect(0, 0, 16, 26))), 0);  // windows wholly on the flat half
    EXPECT_GT(cv::countNonZero(out(cv::Rect(20, 0, 16, 26))), 0);
}

}  // namespace
}  // namespace molvane::test
