#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "core/reasons.hpp"

namespace molvane::test {

// The text table is indexed by the enum: a reason added to one and not the other, or in
// another order, shows up as a duplicate, an empty text or a wrong reacquisition flag.
TEST(Reasons, EveryReasonHasItsOwnTextAndReacquisitionFollowsTheText) {
    std::set<std::string> seen;
    const int last = static_cast<int>(Reason::kPredictionUnobserved);
    for (int i = 1; i <= last; ++i) {
        const Reason r = static_cast<Reason>(i);
        const std::string text = reasonText(r);
        EXPECT_FALSE(text.empty()) << i;
        EXPECT_TRUE(seen.insert(text).second) << text;
        EXPECT_EQ(namesReacquisition(r), text.find("reacquire") != std::string::npos) << text;
    }
    EXPECT_STREQ(reasonText(Reason::kNone), "");
    EXPECT_STREQ(reasonText(static_cast<Reason>(last + 1)), "");
    EXPECT_STREQ(reasonText(Reason::kSkyReacquire), "sky-reacquire");
    EXPECT_STREQ(reasonText(Reason::kPredictionUnobserved), "prediction-unobserved");
}

}  // namespace molvane::test
