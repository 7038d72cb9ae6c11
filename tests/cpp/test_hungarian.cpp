#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "multi/hungarian.hpp"

using molvane::hungarian;
using Matrix = std::vector<std::vector<double>>;

namespace {

struct HungarianCase {
    const char* name;
    Matrix cost;
    std::vector<int> expected;
};

class HungarianExamples : public ::testing::TestWithParam<HungarianCase> {};

TEST_P(HungarianExamples, GivesTheExpectedAssignment) {
    const HungarianCase& c = GetParam();
    EXPECT_EQ(hungarian(c.cost), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    HungarianSuite, HungarianExamples,
    ::testing::Values(
        HungarianCase{"no_rows", {}, {}}, HungarianCase{"empty_rows", {{}, {}}, {-1, -1}},
        // The first row decides the width; an empty first row ends the check there.
        HungarianCase{"empty_first_row_ragged_rest", {{}, {1.0, 2.0}}, {-1, -1}}, HungarianCase{"single", {{5.0}}, {0}},
        HungarianCase{"one_row_three_columns", {{1.0, 2.0, 3.0}}, {0}},
        HungarianCase{"all_equal_prefers_low_columns", {{0.0, 0.0}, {0.0, 0.0}}, {0, 1}},
        HungarianCase{"square_three", {{4.0, 1.0, 3.0}, {2.0, 0.0, 5.0}, {3.0, 2.0, 2.0}}, {1, 0, 2}},
        HungarianCase{"more_rows_than_columns", {{1.0, 2.0}, {3.0, 4.0}, {0.0, 0.0}}, {0, -1, 1}},
        HungarianCase{"single_column", {{1.0}, {2.0}, {0.0}}, {-1, -1, 0}},
        // Equal costs on a shared column: the later row takes it when the path through it is
        // no dearer; a strictly cheaper earlier row keeps it.
        HungarianCase{"tie_goes_to_later_row", {{-0.5, 0.0, 1000000.0}, {-0.5, 1000000.0, 0.0}}, {1, 0}},
        HungarianCase{"cheaper_earlier_row_keeps_column", {{-0.9, 0.0, 1000000.0}, {-0.5, 1000000.0, 0.0}}, {0, 2}}),
    [](const ::testing::TestParamInfo<HungarianCase>& info) { return std::string(info.param.name); });

TEST(HungarianSuite, RaggedMatrixIsRefusedWithFixedMessage) {
    for (const Matrix& m : {Matrix{{1.0, 2.0}, {3.0}}, Matrix{{1.0}, {2.0}, {3.0, 4.0}}}) {
        try {
            hungarian(m);
            FAIL() << "a ragged matrix was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Hungarian cost matrix must be rectangular");
        }
    }
}

TEST(HungarianSuite, NonFiniteCostsAreRefusedInsteadOfSearchingForever) {
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    for (double b : bad) {
        EXPECT_THROW(hungarian(Matrix{{0.0, b}, {1.0, 2.0}}), std::invalid_argument);
        EXPECT_THROW(hungarian(Matrix{{0.0}, {b}, {1.0}}), std::invalid_argument);
    }
    // The shape check comes first.
    try {
        hungarian(Matrix{{std::nan("")}, {1.0, 2.0}});
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Hungarian cost matrix must be rectangular");
    }
}

TEST(HungarianSuite, HugeFiniteCostsTerminate) {
    const double big = std::numeric_limits<double>::max();
    const Matrix m{{big, -big, big}, {-big, big, -big}, {big, big, -big}};
    // Either a complete assignment or a clean refusal; never a hang or garbage indices.
    try {
        const std::vector<int> r = hungarian(m);
        ASSERT_EQ(r.size(), 3u);
        std::vector<int> sorted = r;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, (std::vector<int>{0, 1, 2}));
    } catch (const std::overflow_error&) {
        SUCCEED();
    }
}

double bruteForceMinimum(const Matrix& cost) {
    const std::size_t rows = cost.size(), cols = cost[0].size();
    // Assign the smaller side fully: permute the larger side's indices.
    const bool byRow = rows <= cols;
    const std::size_t small = byRow ? rows : cols, large = byRow ? cols : rows;
    std::vector<std::size_t> idx(large);
    std::iota(idx.begin(), idx.end(), 0);
    double best = std::numeric_limits<double>::infinity();
    do {
        double total = 0.0;
        for (std::size_t k = 0; k < small; ++k) total += byRow ? cost[k][idx[k]] : cost[idx[k]][k];
        best = std::min(best, total);
    } while (std::next_permutation(idx.begin(), idx.end()));
    return best;
}

TEST(HungarianSuite, MatchesExhaustiveSearchOnRandomMatrices) {
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> dim(1, 5);
    std::uniform_int_distribution<int> value(-20, 20);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t rows = dim(rng), cols = dim(rng);
        Matrix cost(rows, std::vector<double>(cols));
        // Integer costs with many ties exercise the tie paths; exact sums stay comparable.
        for (auto& row : cost)
            for (double& c : row) c = value(rng) * 0.5;
        const std::vector<int> r = hungarian(cost);
        ASSERT_EQ(r.size(), rows);
        std::vector<int> usedCols;
        double total = 0.0;
        for (std::size_t i = 0; i < rows; ++i) {
            if (r[i] < 0) continue;
            ASSERT_LT(r[i], static_cast<int>(cols));
            usedCols.push_back(r[i]);
            total += cost[i][static_cast<std::size_t>(r[i])];
        }
        std::sort(usedCols.begin(), usedCols.end());
        EXPECT_EQ(std::adjacent_find(usedCols.begin(), usedCols.end()), usedCols.end()) << "column used twice";
        EXPECT_EQ(usedCols.size(), std::min(rows, cols));
        EXPECT_DOUBLE_EQ(total, bruteForceMinimum(cost)) << "trial " << trial;
    }
}

}  // namespace
