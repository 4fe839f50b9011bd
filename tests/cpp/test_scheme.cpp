#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "error.hpp"
#include "scheme.hpp"

using quorvel::scheme::scheme_from;
using quorvel::scheme::Vec3;

TEST(GradientScheme, CleaningAndBMax) {
    const std::vector<Vec3> g{{3, 0, 0}, {0, 0, 2}, {0, 0, 1e-7}};
    const auto s = scheme_from({0, 1000, 2000}, g);
    EXPECT_EQ(s.b_max, 2000.0);
    EXPECT_EQ(s.bvecs[0], (Vec3{0, 0, 0}));  // b = 0 drops any given vector
    EXPECT_EQ(s.bvecs[1], (Vec3{0, 0, 1}));
    EXPECT_EQ(s.bvecs[2], (Vec3{0, 0, 0}));  // vanishing vector
    const auto q = s.fiberfox_gradients();
    EXPECT_EQ(q[0], (Vec3{0, 0, 0}));
    EXPECT_DOUBLE_EQ(q[1][2], std::sqrt(0.5));
}

TEST(GradientScheme, UnweightedTablesAndTheFiftyRule) {
    const std::vector<Vec3> g{{1, 0, 0}, {0, 1, 0}};
    EXPECT_EQ(scheme_from({0, -5}, g).b_max, 1000.0);
    const auto s = scheme_from({40, 50}, g);
    EXPECT_EQ(s.bvecs[0], (Vec3{1, 0, 0}));  // direction kept ...
    const auto q = s.fiberfox_gradients();
    EXPECT_EQ(q[0], (Vec3{0, 0, 0}));          // ... but unweighted below 50
    EXPECT_DOUBLE_EQ(q[1][1], 1.0);            // b_max is 50 here
    EXPECT_EQ(scheme_from({}, {}).b_max, 1000.0);
}

TEST(GradientScheme, NanBValuesAreWeightedButSkippedForBMax) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Vec3> g{{0, 2, 0}, {1, 0, 0}};
    const auto s = scheme_from({nan, 500}, g);
    EXPECT_EQ(s.b_max, 500.0);
    EXPECT_EQ(s.bvecs[0], (Vec3{0, 1, 0}));
}

TEST(GradientScheme, LengthMismatch) {
    const std::vector<Vec3> g(4, Vec3{1, 0, 0});
    try {
        scheme_from(std::vector<double>(5, 1000.0), g);
        FAIL() << "expected InvalidInput";
    } catch (const quorvel::InvalidInput& e) {
        EXPECT_STREQ(e.what(), "bvecs: expected 5 values, got 4");
    }
}
