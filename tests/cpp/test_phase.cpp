// The phase model's shot draws, with the "hbcd" amplitudes and the o = 1 slice coordinates, are
// pinned through the image in Python; here only what no named model or acquisition reaches: the
// higher polynomial terms at o = 2 and the shots that draw nothing.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "acquisition/phase.hpp"

using quorvel::kspace::phase_slice;
using quorvel::phase::model_by_name;
using quorvel::phase::ShotPhase;

using V3 = std::array<double, 3>;

TEST(DiffusionPhase, UnweightedShotsDrawNothing) {
    const auto d = model_by_name("hbcd")->diffusion;
    for (auto [dir, b] : std::vector<std::pair<V3, double>>{{{1, 0, 0}, 0.0}, {{1, 0, 0}, -5.0}, {{1, 0, 0}, NAN}, {{1e-13, 0, 0}, 1000.0}}) {
        const ShotPhase s = d.shot(dir, 3, 4, 99, b);
        EXPECT_TRUE(s.g == V3{} && s.t == V3{} && s.w == V3{}) << b;
    }
}

TEST(PhaseSlice, PolynomialPlusGradientDotRigidDisplacement) {
    // o = 2: pixel centres in acquired-voxel units; zz in slices from nz_full/2, not divided by o;
    // odd sizes, so every half is exact.
    const std::array<double, 11> c{0.5, 0.13, 0.1, 0.02, 0.3, -0.2, 0.07, 0.011, -0.05, 0.04, 0.25};
    const ShotPhase s{{0.3, -0.4, 0.5}, {1.0, 2.0, -1.5}, {0.01, -0.02, 0.03}};
    const auto p = phase_slice(c, s, 7, 5, 2, 3, 5);
    ASSERT_EQ(p.size(), 35u);
    for (std::size_t i = 0; i < p.size(); ++i) {
        const double xx = (double(i % 7) - 4.0) / 2.0, yy = (double(i / 7) - 3.0) / 2.0, zz = 0.5;
        const V3 wxr{s.w[1] * zz - s.w[2] * yy, s.w[2] * xx - s.w[0] * zz, s.w[0] * yy - s.w[1] * xx};
        double want = c[0] + c[1] * xx + c[2] * yy + c[3] * zz + c[4] * xx * xx + c[5] * yy * yy + c[6] * zz * zz +
                      c[7] * xx * yy + c[8] * xx * zz + c[9] * yy * zz + c[10];
        for (int k = 0; k < 3; ++k) want += s.g[k] * (s.t[k] + wxr[k]);
        EXPECT_NEAR(p[i], want, 1e-15) << i;
    }
    EXPECT_TRUE(phase_slice(c, s, 0, 5, 1, 0, 1).empty());
}
