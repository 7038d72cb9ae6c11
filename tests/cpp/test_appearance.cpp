#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "cue_scenes.hpp"

namespace {

using molvane::test::CueBench;
using molvane::test::texture;

struct AppearanceScene {
    cv::Mat grey;
    cv::Mat colour;
    cv::Rect box{30, 20, 16, 12};

    AppearanceScene() {
        grey = molvane::test::skyGradient(96, 64);
        texture(box.width, box.height).copyTo(grey(box));
        cv::cvtColor(grey, colour, cv::COLOR_GRAY2BGR);
    }

    // Seeds the grey template, the anchor and the colour models from `box`.
    void seed(CueBench& e) const {
        e.model.templ = grey(box).clone();
        e.model.anchorTemplate = grey(box).clone();
        e.model.colourPatch = colour(box).clone();
        cv::cvtColor(e.model.colourPatch, e.model.labPatch, cv::COLOR_BGR2Lab);
        cv::split(e.model.labPatch, e.model.labChannels);
    }
};

TEST(AppearanceSimilarity, IdenticalRegionScoresOneAndInvertedScoresMinusOne) {
    AppearanceScene s;
    CueBench e(s.box);
    s.seed(e);
    cv::Mat inverted = s.grey.clone();
    cv::bitwise_not(s.grey(s.box), inverted(s.box));

    EXPECT_NEAR(e.cues.scorer.greySimilarity(s.grey, s.box, e.model.anchorTemplate), 1.0, 1e-5);
    EXPECT_NEAR(e.cues.scorer.greySimilarity(inverted, s.box, e.model.anchorTemplate), -1.0, 1e-5);
    EXPECT_NEAR(e.cues.scorer.greySimilarity(s.grey, s.box, e.model.templ), 1.0, 1e-5);
    EXPECT_NEAR(e.cues.scorer.greySimilarity(inverted, s.box, e.model.templ), -1.0, 1e-5);
    EXPECT_LT(e.cues.scorer.greySimilarity(s.grey, s.box + cv::Point(3, 2), e.model.anchorTemplate), 0.5);
    EXPECT_EQ(e.cues.scorer.greySimilarity(s.grey, s.box, cv::Mat()), 0.0);
}

TEST(AppearanceSimilarity, LargerRegionIsResizedToTheTemplate) {
    AppearanceScene s;
    CueBench e(s.box);
    s.seed(e);
    // A copy of the target at twice the size elsewhere in the frame.
    cv::Mat frame = molvane::test::skyGradient(120, 80);
    const cv::Rect big(4, 4, 2 * s.box.width, 2 * s.box.height);
    cv::resize(s.grey(s.box), frame(big), big.size(), 0, 0, cv::INTER_NEAREST);
    EXPECT_NEAR(e.cues.scorer.greySimilarity(frame, big, e.model.templ), 1.0, 1e-5);
}

TEST(AppearanceSimilarity, ColourMixingFollowsTheSwitchesAndChannelCount) {
    AppearanceScene s;
    // The same grey texture, but the colour frame shows the target with another tint.
    cv::Mat tinted = s.colour.clone();
    cv::Mat roi = tinted(s.box);
    roi.forEach<cv::Vec3b>([](cv::Vec3b& p, const int*) {
        p[0] = cv::saturate_cast<uchar>(p[0] - 40);
        p[2] = cv::saturate_cast<uchar>(p[2] + 40);
    });

    struct Case {
        const char* name;
        bool colourOn;
        cv::Mat frame;
        bool expectMixed;
    };
    const Case cases[] = {
        {"colour on, tinted colour frame", true, tinted, true},
        {"colour off", false, tinted, false},
        {"grey-only frame", true, s.grey, false},
    };
    for (const Case& c : cases) {
        CueBench e(s.box);
        s.seed(e);
        e.params.color_appearance = c.colourOn;
        const double grey = e.cues.scorer.greySimilarity(s.grey, s.box, e.model.templ);
        const double mixed = e.cues.scorer.appearanceSimilarity(e.params, e.model, c.frame, s.grey, s.box);
        if (c.expectMixed) {
            EXPECT_LT(mixed, grey - 0.05) << c.name;
            EXPECT_GT(mixed, 0.0) << c.name;
        } else {
            EXPECT_DOUBLE_EQ(mixed, grey) << c.name;
        }
    }

    // The untinted colour frame matches its own colour model fully.
    CueBench e(s.box);
    s.seed(e);
    EXPECT_NEAR(e.cues.scorer.colourSimilarity(e.model, s.colour, s.box), 1.0, 1e-5);
    EXPECT_NEAR(e.cues.scorer.appearanceSimilarity(e.params, e.model, s.colour, s.grey, s.box), 1.0, 1e-5);
    // A frame with an alpha channel is compared on its colour channels.
    cv::Mat bgra;
    cv::cvtColor(s.colour, bgra, cv::COLOR_BGR2BGRA);
    EXPECT_NEAR(e.cues.scorer.colourSimilarity(e.model, bgra, s.box), 1.0, 1e-5);
}

}  // namespace

namespace {

TEST(AppearanceSimilarity, FlatSidesAreComparedByMeanDifference) {
    AppearanceScene s;
    CueBench e(s.box);
    const cv::Mat flat(s.box.size(), CV_8U, cv::Scalar(120));
    const cv::Mat textured = s.grey(s.box).clone();
    cv::Mat frame = s.grey.clone();
    // Against a constant reference a textured patch must not score 1; a constant patch
    // scores by its mean difference, not 0, against either kind of reference.
    EXPECT_LT(e.cues.scorer.greySimilarity(frame, s.box, flat), 0.9);
    flat.copyTo(frame(s.box));
    EXPECT_NEAR(e.cues.scorer.greySimilarity(frame, s.box, flat), 1.0, 1e-9);
    const double vsTexture = e.cues.scorer.greySimilarity(frame, s.box, textured);
    EXPECT_GT(vsTexture, 0.0);
    EXPECT_LT(vsTexture, 1.0);
    frame(s.box).setTo(cv::Scalar(20));
    EXPECT_NEAR(e.cues.scorer.greySimilarity(frame, s.box, flat), 1.0 - 100.0 / 255.0, 1e-9);
}

TEST(AppearanceSimilarity, ColourThatCannotBeComparedLeavesGreyAlone) {
    AppearanceScene s;
    CueBench e(s.box);
    s.seed(e);
    // A four-channel colour model (locked on a BGRA frame) cannot be compared with a
    // three-channel frame: grey decides alone instead of mixing in a colour score of 0.
    cv::Mat bgraPatch;
    cv::cvtColor(e.model.colourPatch, bgraPatch, cv::COLOR_BGR2BGRA);
    e.model.colourPatch = bgraPatch;
    EXPECT_TRUE(std::isnan(e.cues.scorer.colourSimilarity(e.model, s.colour, s.box)));
    EXPECT_DOUBLE_EQ(e.cues.scorer.appearanceSimilarity(e.params, e.model, s.colour, s.grey, s.box),
                     e.cues.scorer.greySimilarity(s.grey, s.box, e.model.templ));
}

}  // namespace
