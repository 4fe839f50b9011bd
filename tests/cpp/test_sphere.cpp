#include <gtest/gtest.h>

#include <cmath>

#include "sphere.hpp"

using quorvel::sphere::HemiSphere;
using V3 = std::array<double, 3>;

namespace {
double dot(const V3& a, const V3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
}  // namespace

TEST(HemiSphere, VertexCountsPerLevel) {
    const std::size_t expected[] = {6, 21, 81, 321, 1281};
    for (std::size_t level = 0; level < 5; ++level)
        EXPECT_EQ(HemiSphere::icosphere(level).vertices.size(), expected[level]) << "level " << level;
}

TEST(HemiSphere, LevelZeroIsTheFoldedIcosahedron) {
    const double a = 0.5257311121191336, b = 0.85065080835204;
    const std::vector<V3> expected = {{-a, b, 0}, {a, b, 0}, {0, -a, b}, {0, a, b}, {-b, 0, a}, {b, 0, a}};
    EXPECT_EQ(HemiSphere::icosphere(0).vertices, expected);
}

TEST(HemiSphere, VerticesAreUnitDistinctAndOnTheUpperHemisphere) {
    const auto v = HemiSphere::icosphere(3).vertices;
    for (std::size_t i = 0; i < v.size(); ++i) {
        EXPECT_NEAR(dot(v[i], v[i]), 1.0, 4e-16);
        const bool upper = v[i][2] > 0 || (v[i][2] == 0 && (v[i][1] > 0 || (v[i][1] == 0 && v[i][0] > 0)));
        EXPECT_TRUE(upper) << "vertex " << i;
        for (std::size_t j = 0; j < i; ++j) {
            // Neither a repeat nor an antipodal twin.
            const V3 d{v[i][0] - v[j][0], v[i][1] - v[j][1], v[i][2] - v[j][2]};
            const V3 s{v[i][0] + v[j][0], v[i][1] + v[j][1], v[i][2] + v[j][2]};
            EXPECT_GT(std::sqrt(dot(d, d)), 1e-8);
            EXPECT_GT(std::sqrt(dot(s, s)), 1e-8);
        }
    }
}

TEST(HemiSphere, CoarserLevelsArePrefixesAndEquatorialMidpointsStay) {
    const auto l0 = HemiSphere::icosphere(0).vertices;
    const auto l1 = HemiSphere::icosphere(1).vertices;
    const auto l3 = HemiSphere::icosphere(3).vertices;
    for (std::size_t i = 0; i < l0.size(); ++i) {
        EXPECT_EQ(l1[i], l0[i]);
        EXPECT_EQ(l3[i], l0[i]);
    }
    // The midpoint of base vertices 0 and 1 is the equatorial (0, 1, 0).
    bool found = false;
    for (const V3& v : l1) found |= std::abs(v[0]) < 1e-15 && std::abs(v[1] - 1.0) < 1e-15 && v[2] == 0.0;
    EXPECT_TRUE(found);
}

TEST(HemiSphere, EveryDirectionIsRepresentedUpToSign) {
    // Each level-3 vertex subdivides further into the level-4 set, so every level-3 direction
    // (or its negation) must be found among the level-4 vertices.
    const auto l3 = HemiSphere::icosphere(3).vertices;
    const auto l4 = HemiSphere::icosphere(4).vertices;
    for (const V3& v : l3) {
        bool found = false;
        for (const V3& w : l4) found |= std::abs(std::abs(dot(v, w)) - 1.0) < 1e-12;
        EXPECT_TRUE(found);
    }
}
