#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "config/tracker_params.hpp"

using molvane::TrackerParams;
using molvane::trackerParamsForProfile;

TEST(TrackerParams, FastSkyIsTheBaseRecord) {
    EXPECT_EQ(trackerParamsForProfile("fast-sky"), TrackerParams());
    EXPECT_EQ(trackerParamsForProfile("sky-fast"), TrackerParams());
}

TEST(TrackerParams, NamesAreMatchedAsciiCaseInsensitively) {
    const TrackerParams def = trackerParamsForProfile("default");
    for (const char* name : {"Default", "DEFAULT", "Raspi4-Target", "pi-target", "pi4-target"}) {
        EXPECT_EQ(trackerParamsForProfile(name), def) << name;
    }
    EXPECT_EQ(trackerParamsForProfile("MOSSE"), trackerParamsForProfile("correlation"));
    EXPECT_EQ(trackerParamsForProfile("Correlation-PI4"), trackerParamsForProfile("adaptive"));
    EXPECT_EQ(trackerParamsForProfile("close-pass"), trackerParamsForProfile("birds"));
    EXPECT_EQ(trackerParamsForProfile("scale-target"), trackerParamsForProfile("missile"));
}

TEST(TrackerParams, ProfilesChangeOnlyTheirOwnFields) {
    const TrackerParams def = trackerParamsForProfile("default");
    EXPECT_FALSE(def.color_contrast);
    EXPECT_FALSE(def.color_appearance);
    EXPECT_DOUBLE_EQ(def.learn_min_confidence, 0.75);
    EXPECT_TRUE(def.cue_geometry_update);

    const TrackerParams adaptive = trackerParamsForProfile("adaptive");
    EXPECT_TRUE(adaptive.correlation_enabled);
    EXPECT_TRUE(adaptive.adaptive_box);
    EXPECT_DOUBLE_EQ(adaptive.max_size_scale, 4.0);
    EXPECT_EQ(adaptive.wide_search_interval, 1);
    EXPECT_TRUE(adaptive.color_contrast);  // the default profile's change does not carry over

    const TrackerParams missile = trackerParamsForProfile("missile");
    EXPECT_EQ(missile.max_search_radius, 260);
    EXPECT_DOUBLE_EQ(missile.template_learning_rate, 0.1);
}

class UnknownProfile : public ::testing::TestWithParam<std::string> {};

TEST_P(UnknownProfile, MessageKeepsTheNameAsGiven) {
    try {
        trackerParamsForProfile(GetParam());
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), "unknown profile: " + GetParam());
    }
}

INSTANTIATE_TEST_SUITE_P(Names, UnknownProfile,
                         ::testing::Values(std::string(""), std::string("Foo"), std::string(" default"),
                                           std::string("D\xC3\x89"
                                                       "FAULT"),
                                           std::string("def\xFF"
                                                       "ault")));
