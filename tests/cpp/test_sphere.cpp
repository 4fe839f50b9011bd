#include <gtest/gtest.h>

#include <cmath>

#include "sphere.hpp"

using quorvel::sphere::HemiSphere;

TEST(HemiSphere, VertexCountsPerLevel) {
    const std::size_t expected[] = {6, 21, 81, 321};
    for (std::size_t level = 0; level < 4; ++level)
        EXPECT_EQ(HemiSphere::icosphere(level).vertices.size(), expected[level]) << "level " << level;
}
