#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "error.hpp"
#include "gre.hpp"

namespace gre = quorvel::gre;
using quorvel::raster::Grid;

namespace {

constexpr double kPi = std::numbers::pi;

Grid diag_grid(double vx, double vy, double vz, quorvel::raster::Dims dims, double tx = 0.0, double ty = 0.0,
               double tz = 0.0) {
    return Grid{{vx, 0, 0, tx, 0, vy, 0, ty, 0, 0, vz, tz, 0, 0, 0, 1}, dims};
}

}  // namespace

// ---- truncate_line ----

TEST(TruncateLine, ConstantLineKeepsItsValue) {
    for (std::size_t n : {1u, 5u, 8u, 9u}) {
        for (std::size_t f : {1u, 2u, 3u}) {
            std::vector<double> line(n, 2.5);
            auto out = gre::truncate_line(line, f);
            ASSERT_EQ(out.size(), n / f);
            // n*m rounded products and one division: a few ulps of 2.5.
            for (double v : out) EXPECT_NEAR(v, 2.5, 1e-14) << "n " << n << " f " << f;
        }
    }
}

TEST(TruncateLine, KeptModesAndSamplePositions) {
    // n = 8, f = 2: modes -2..1 are kept, samples sit at fine positions 0.5, 2.5, 4.5, 6.5.
    const std::size_t n = 8;
    auto wave = [&](double k, double x) { return std::cos(2 * kPi * k * x / n) + 0.5 * std::sin(2 * kPi * k * x / n); };
    for (int k : {0, 1, -1}) {
        std::vector<double> line(n);
        for (std::size_t j = 0; j < n; ++j) line[j] = wave(k, static_cast<double>(j));
        auto out = gre::truncate_line(line, 2);
        ASSERT_EQ(out.size(), 4u);
        for (std::size_t J = 0; J < 4; ++J) EXPECT_NEAR(out[J], wave(k, 2.0 * J + 0.5), 1e-14) << "k " << k;
    }
    // Mode 3 lies outside the band and vanishes.
    std::vector<double> high(n);
    for (std::size_t j = 0; j < n; ++j) high[j] = std::cos(2 * kPi * 3 * j / n);
    for (double v : gre::truncate_line(high, 2)) EXPECT_NEAR(v, 0.0, 1e-14);
    // Mode +-2: only the e^{-i...} half (the negative Nyquist mode of the band) survives.
    std::vector<double> nyq(n);
    for (std::size_t j = 0; j < n; ++j) nyq[j] = std::cos(2 * kPi * 2 * j / n);
    auto out = gre::truncate_line(nyq, 2);
    for (std::size_t J = 0; J < 4; ++J) EXPECT_NEAR(out[J], 0.5 * std::cos(2 * kPi * 2 * (2.0 * J + 0.5) / n), 1e-14);
}

TEST(TruncateLine, FactorOneReproducesTheLine) {
    // All n modes kept and sampled at the fine positions: the inverse DFT. 2100 samples take the
    // path that recomputes the exp factors per line instead of tabling them.
    for (std::size_t n : {7u, 16u, 2100u}) {
        std::vector<double> line(n);
        for (std::size_t j = 0; j < n; ++j) line[j] = std::sin(0.37 * j) + 0.01 * j;
        auto out = gre::truncate_line(line, 1);
        ASSERT_EQ(out.size(), n);
        // Each output sums n terms of size ~n: error grows like n ulps.
        for (std::size_t j = 0; j < n; ++j) EXPECT_NEAR(out[j], line[j], 1e-15 * n * 40) << "n " << n << " j " << j;
    }
}

TEST(TruncateLine, ShortLineGivesNothing) {
    EXPECT_TRUE(gre::truncate_line(std::vector<double>{1.0, 2.0, 3.0}, 4).empty());
    EXPECT_TRUE(gre::truncate_line(std::vector<double>{}, 2).empty());
}

// ---- in-plane reductions ----

TEST(DownsampleInplane, FactorOneCopiesWhateverTheDims) {
    const std::vector<float> data{1, 2, 3, 4, 5};
    EXPECT_EQ(gre::downsample_inplane(data, {2, 2, 2}, 1), data);
    EXPECT_EQ(gre::downsample_inplane(data, {9, 9, 9}, 0), data);
}

TEST(DownsampleInplane, BoxMeanIgnoresTrailingColumnsAndRows) {
    // nx = 5, ny = 3, nz = 2, f = 2: column 4 and row 2 of each slice are ignored.
    std::vector<float> data(5 * 3 * 2);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<float>(i);
    data[4] = data[9] = 1000.0f;   // column 4
    data[10] = data[12] = -500.0f;  // row 2
    auto out = gre::downsample_inplane(data, {5, 3, 2}, 2);
    ASSERT_EQ(out.size(), 2u * 1u * 2u);
    EXPECT_FLOAT_EQ(out[0], (0 + 1 + 5 + 6) / 4.0f);
    EXPECT_FLOAT_EQ(out[1], (2 + 3 + 7 + 8) / 4.0f);
    EXPECT_FLOAT_EQ(out[2], (15 + 16 + 20 + 21) / 4.0f);
    EXPECT_FLOAT_EQ(out[3], (17 + 18 + 22 + 23) / 4.0f);
}

// ---- target_grid ----

TEST(TargetGrid, HalvesTwoMillimetreGridAtFour) {
    // Oblique 2 mm grid: the columns keep their directions at length 4.
    const double c = std::cos(0.3), s = std::sin(0.3);
    Grid g{{2 * c, -2 * s, 0, 10, 2 * s, 2 * c, 0, -20, 0, 0, 2, 30, 0, 0, 0, 1}, {128, 128, 60}};
    Grid t = gre::target_grid(g, 4.0);
    EXPECT_EQ(t.dims, (quorvel::raster::Dims{64, 64, 30}));
    for (int r = 0; r < 3; ++r)
        for (int col = 0; col < 3; ++col) EXPECT_NEAR(t.affine[4 * r + col], 2 * g.affine[4 * r + col], 1e-14);
    // Translation moves by half a new voxel minus half an old one along each column.
    for (int r = 0; r < 3; ++r) {
        const double shift = 0.5 * (g.affine[4 * r] + g.affine[4 * r + 1] + g.affine[4 * r + 2]);
        EXPECT_NEAR(t.affine[4 * r + 3], g.affine[4 * r + 3] + shift, 1e-12);
    }
    EXPECT_EQ(t.affine[12], 0.0);
    EXPECT_EQ(t.affine[15], 1.0);
}

TEST(TargetGrid, NeverEmpty) {
    Grid t = gre::target_grid(diag_grid(1, 1, 1, {4, 3, 2}), 1000.0);
    EXPECT_EQ(t.dims, (quorvel::raster::Dims{1, 1, 1}));
    // Halves round away from zero: 3 voxels of 1 mm at 2 mm is 1.5 -> 2.
    EXPECT_EQ(gre::target_grid(diag_grid(1, 1, 1, {3, 5, 1}), 2.0).dims, (quorvel::raster::Dims{2, 3, 1}));
}

TEST(TargetGrid, CheckedRefusesBadResolutions) {
    const Grid g = diag_grid(1, 1, 1, {4, 4, 4});
    for (double r : {0.0, -1.0, std::nan(""), static_cast<double>(INFINITY)})
        EXPECT_THROW(gre::checked_target_grid(g, r), quorvel::InvalidInput) << r;
    EXPECT_THROW(gre::checked_target_grid(diag_grid(1, 1, 1, {1000, 1000, 1000}), 0.01), quorvel::InvalidInput);
    EXPECT_EQ(gre::checked_target_grid(g, 2.0).dims, (quorvel::raster::Dims{2, 2, 2}));
}

// ---- receive maps ----

TEST(SmoothRxPhase, SingleVoxelAndZeroAmplitude) {
    auto one = gre::smooth_rx_phase(diag_grid(1, 1, 1, {1, 1, 1}), 2.0);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_FLOAT_EQ(one[0], -0.75f * 2.0f);
    for (float v : gre::smooth_rx_phase(diag_grid(1, 1, 1, {3, 4, 2}), 0.0)) EXPECT_EQ(v, 0.0f);
    EXPECT_TRUE(gre::smooth_rx_phase(diag_grid(1, 1, 1, {3, 0, 2}), 1.0).empty());
}

TEST(SmoothRxPhase, FarCornerOfAVolume) {
    // (x, y, z) = (1, 1, 1): 1 + 0.7 + 0.4 + 0.6 + 0.25 + 0.2 + 0.3.
    auto v = gre::smooth_rx_phase(diag_grid(2, 2, 2, {3, 4, 5}), 1.5);
    EXPECT_FLOAT_EQ(v.back(), static_cast<float>(1.5 * 3.45));
    // The first voxel is (-1, -1, -1) whatever the spacing.
    EXPECT_FLOAT_EQ(v.front(), static_cast<float>(1.5 * (-1 - 0.7 - 0.4 + 0.6 + 0.25 + 0.2 + 0.3)));
}

TEST(BiasGain, CentreAndCorners) {
    auto g = gre::bias_gain({3, 3, 3}, 0, 3, 0.3);
    ASSERT_EQ(g.size(), 27u);
    EXPECT_DOUBLE_EQ(g[13], 0.7);
    for (std::size_t i : {0u, 2u, 6u, 8u, 18u, 20u, 24u, 26u}) EXPECT_NEAR(g[i], 1.3, 1e-15) << i;
    // An edge centre has one zero and two unit terms of three.
    EXPECT_NEAR(g[1 + 3 * 0 + 9 * 0], 0.7 + 0.6 * 2.0 / 3.0, 1e-15);
}

TEST(BiasGain, ZeroBiasAndDegenerateExtents) {
    for (double v : gre::bias_gain({3, 2, 2}, 1, 7, 0.0)) EXPECT_EQ(v, 1.0);
    auto one = gre::bias_gain({1, 1, 1}, 0, 1, 0.25);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], 0.75);
}

TEST(BiasGain, SingleSliceUsesInplaneAxesOnly) {
    auto g = gre::bias_gain({3, 3, 1}, 0, 1, 0.3);
    EXPECT_DOUBLE_EQ(g[4], 0.7);
    EXPECT_NEAR(g[0], 1.3, 1e-15);
    EXPECT_NEAR(g[1], 0.7 + 0.6 * 0.5, 1e-15);
}
