#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "core/sphere.hpp"

using V3 = std::array<double, 3>;

// Directions with near copies of each and of its negation, some closer than 1e-8 and some
// farther, half of them straddling faces of the fold's cells (multiples of 2^-19): the fold keeps
// exactly what comparing with every kept direction keeps.
TEST(FoldUpper, KeepsWhatComparingWithEveryKeptDirectionKeeps) {
    std::mt19937_64 gen(42);
    std::uniform_real_distribution<double> wide(-0.9, 0.9), near(-1.2e-8, 1.2e-8);
    std::vector<V3> dirs, want;
    for (int i = 0; i < 4000; ++i) {
        V3 v{wide(gen), wide(gen), wide(gen)};
        for (double& c : v) c = i % 2 ? std::round(c * 0x1p19) * 0x1p-19 : c;
        dirs.push_back(v);
        for (double sign : {1.0, -1.0, -1.0}) dirs.push_back({sign * v[0] + near(gen), sign * v[1] + near(gen), sign * v[2] + near(gen)});
    }
    for (V3 v : dirs) {
        if ((std::abs(v[2]) > 1e-12 ? v[2] : std::abs(v[1]) > 1e-12 ? v[1] : v[0]) < 0.0) v = {-v[0], -v[1], -v[2]};
        auto close = [&](const V3& k) {
            const double dx = v[0] - k[0], dy = v[1] - k[1], dz = v[2] - k[2];
            return dx * dx + dy * dy + dz * dz < 1e-16;
        };
        if (std::none_of(want.begin(), want.end(), close)) want.push_back(v);
    }
    EXPECT_TRUE(want.size() > 4400 && want.size() < 15000);  // some near copies kept, some dropped
    EXPECT_EQ(quorvel::sphere::fold_upper(dirs), want);
}
