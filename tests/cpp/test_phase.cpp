#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "phase.hpp"

using quorvel::kspace::phase_slice;
using quorvel::phase::DiffusionPhase;
using quorvel::phase::model_by_name;
using quorvel::phase::PhaseModel;
using quorvel::phase::ShotPhase;

namespace {

using V3 = std::array<double, 3>;

// SplitMix64 written out from its definition, independent of the library's helpers.
std::uint64_t splitmix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    x ^= x >> 31;
    return x;
}

std::array<double, 6> reference_normals(std::uint64_t vol, std::uint64_t z, std::uint64_t seed) {
    const std::uint64_t key = (z * 0xbf58476d1ce4e5b9ull) ^ seed ^ (vol * 0x9e3779b97f4a7c15ull);
    std::array<double, 12> u{};
    for (std::uint64_t k = 1; k <= 12; ++k)
        u[k - 1] = (static_cast<double>(splitmix(key + k * 0x9e3779b97f4a7c15ull) >> 11) + 0.5) * 0x1.0p-53;
    std::array<double, 6> n{};
    for (int j = 0; j < 6; ++j)
        n[j] = std::sqrt(-2.0 * std::log(u[2 * j])) * std::cos(2.0 * std::numbers::pi * u[2 * j + 1]);
    return n;
}

std::array<double, 6> normals_of(const ShotPhase& s, const DiffusionPhase& d) {
    return {s.t[0] / d.translation_sd, s.t[1] / d.translation_sd, s.t[2] / d.translation_sd,
            s.w[0] / d.rotation_sd,    s.w[1] / d.rotation_sd,    s.w[2] / d.rotation_sd};
}

const DiffusionPhase kUnit{2.0, 1.0, 1.0};

std::vector<double> map_of(std::array<double, 11> coef, const ShotPhase& s, std::size_t snx, std::size_t sny,
                           std::size_t o, std::size_t z, std::size_t nz) {
    return phase_slice(coef, s, snx, sny, o, z, nz);
}

std::array<double, 11> only(std::size_t i) {
    std::array<double, 11> c{};
    c[i] = 1.0;
    return c;
}

}  // namespace

TEST(PhaseModel, NamedModels) {
    auto hbcd = model_by_name("hbcd");
    ASSERT_TRUE(hbcd.has_value());
    const std::array<double, 11> coef{0, 0.13, 0.1, 0.02, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(hbcd->coef, coef);
    EXPECT_EQ(hbcd->diffusion.gradient_gain, 0.0425);
    EXPECT_EQ(hbcd->diffusion.translation_sd, 1.0);
    EXPECT_EQ(hbcd->diffusion.rotation_sd, 0.002);
    auto none = model_by_name("none");
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(none->coef, (std::array<double, 11>{}));
    EXPECT_EQ(none->diffusion.gradient_gain, 0.0);
    for (const char* bad : {"HBCD", "None", "", "hbcd "}) EXPECT_FALSE(model_by_name(bad).has_value()) << bad;
}

TEST(DiffusionPhase, UnweightedShotsDrawNothing) {
    const DiffusionPhase d = model_by_name("hbcd")->diffusion;
    for (auto [dir, b] : std::vector<std::pair<V3, double>>{{{1, 0, 0}, 0.0},
                                                             {{1, 0, 0}, -5.0},
                                                             {{1, 0, 0}, std::nan("")},
                                                             {{0, 0, 0}, 1000.0},
                                                             {{1e-13, 0, 0}, 1000.0}}) {
        const ShotPhase s = d.shot(dir, 3, 4, 99, b);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(s.g[i], 0.0);
            EXPECT_EQ(s.t[i], 0.0);
            EXPECT_EQ(s.w[i], 0.0);
        }
    }
}

TEST(DiffusionPhase, DrawsFollowTheKeyedStream) {
    const DiffusionPhase d{0.5, 2.0, 0.25};
    const V3 dir{0.0, 3.0, 4.0};
    const ShotPhase s = d.shot(dir, 7, 12, 0x1234567890abcdefull, 400.0);
    // g = dir/|dir| * sqrt(b) * gain = (0, 0.6, 0.8) * 20 * 0.5
    EXPECT_DOUBLE_EQ(s.g[0], 0.0);
    EXPECT_DOUBLE_EQ(s.g[1], 6.0);
    EXPECT_DOUBLE_EQ(s.g[2], 8.0);
    const auto ref = reference_normals(7, 12, 0x1234567890abcdefull);
    const auto got = normals_of(s, d);
    for (int j = 0; j < 6; ++j) EXPECT_DOUBLE_EQ(got[j], ref[j]) << j;
}

TEST(DiffusionPhase, VolumeSliceAndSeedEachChangeEveryDraw) {
    const V3 dir{1, 1, 0};
    const auto base = normals_of(kUnit.shot(dir, 5, 6, 7, 1000.0), kUnit);
    for (const auto& other : {normals_of(kUnit.shot(dir, 4, 6, 7, 1000.0), kUnit),
                              normals_of(kUnit.shot(dir, 5, 7, 7, 1000.0), kUnit),
                              normals_of(kUnit.shot(dir, 5, 6, 8, 1000.0), kUnit)})
        for (int j = 0; j < 6; ++j) EXPECT_NE(other[j], base[j]) << j;
    // The b-value and the direction scale g only.
    const auto again = normals_of(kUnit.shot({0, 0, -2}, 5, 6, 7, 3000.0), kUnit);
    EXPECT_EQ(again, base);
}

TEST(DiffusionPhase, NormalsAreStandard) {
    double sum = 0, sum2 = 0;
    const int n = 4000;
    for (int v = 0; v < n; ++v) {
        for (double x : normals_of(kUnit.shot({0, 0, 1}, v, 3, 11, 1000.0), kUnit)) {
            sum += x;
            sum2 += x * x;
        }
    }
    const double count = 6.0 * n;
    // 24000 draws: the mean is within 5 standard errors (5/sqrt(24000) ~ 0.032) of 0.
    EXPECT_NEAR(sum / count, 0.0, 0.035);
    EXPECT_NEAR(sum2 / count, 1.0, 0.05);
}

TEST(PhaseSlice, CoordinatesWithoutOversampling) {
    const ShotPhase zero{};
    const auto xx = map_of(only(1), zero, 64, 3, 1, 0, 1);
    const auto yy = map_of(only(2), zero, 64, 3, 1, 0, 1);
    ASSERT_EQ(xx.size(), 64u * 3);
    for (std::size_t y = 0; y < 3; ++y)
        for (std::size_t x = 0; x < 64; ++x) {
            EXPECT_EQ(xx[y * 64 + x], static_cast<double>(x) - 32.0);
            EXPECT_EQ(yy[y * 64 + x], static_cast<double>(y) - 1.5);
        }
}

TEST(PhaseSlice, CoordinatesWithOversampling) {
    const ShotPhase zero{};
    const auto xx = map_of(only(1), zero, 128, 2, 2, 0, 1);
    ASSERT_EQ(xx.size(), 256u);
    EXPECT_EQ(xx.front(), -32.25);
    EXPECT_EQ(xx[127], 31.25);
    for (std::size_t x = 1; x < 128; ++x) EXPECT_EQ(xx[x] - xx[x - 1], 0.5);
    // o = 3: sub-pixel centres of acquired voxel 0 of a 4-wide row sit at -2 - 1/3, -2, -2 + 1/3.
    const auto x3 = map_of(only(1), zero, 12, 1, 3, 0, 1);
    EXPECT_DOUBLE_EQ(x3[0], -2.0 - 1.0 / 3.0);
    EXPECT_DOUBLE_EQ(x3[1], -2.0);
    EXPECT_DOUBLE_EQ(x3[2], -2.0 + 1.0 / 3.0);
}

TEST(PhaseSlice, SliceCoordinateIsNotOversampled) {
    const ShotPhase zero{};
    for (std::size_t z = 0; z < 10; ++z) {
        const auto zz = map_of(only(3), zero, 4, 4, 2, z, 10);
        for (double v : zz) EXPECT_EQ(v, static_cast<double>(z) - 5.0);
    }
}

TEST(PhaseSlice, PolynomialTerms) {
    const ShotPhase zero{};
    const std::array<double, 11> c{0.5, 0.13, 0.1, 0.02, 0.3, -0.2, 0.07, 0.011, -0.05, 0.04, 0.25};
    const std::size_t snx = 6, sny = 4, o = 2, z = 3, nz = 5;
    const auto p = map_of(c, zero, snx, sny, o, z, nz);
    for (std::size_t y = 0; y < sny; ++y)
        for (std::size_t x = 0; x < snx; ++x) {
            const double xx = (x - 3.0 - 0.5) / 2.0, yy = (y - 2.0 - 0.5) / 2.0, zz = 3.0 - 2.5;
            const double expect = 0.5 + 0.13 * xx + 0.1 * yy + 0.02 * zz + 0.3 * xx * xx - 0.2 * yy * yy +
                                  0.07 * zz * zz + 0.011 * xx * yy - 0.05 * xx * zz + 0.04 * yy * zz + 0.25;
            EXPECT_NEAR(p[y * snx + x], expect, 1e-15);
        }
}

TEST(PhaseSlice, ShotTermIsGradientDotRigidDisplacement) {
    ShotPhase s;
    s.g = {0.3, -0.4, 0.5};
    s.t = {1.0, 2.0, -1.5};
    s.w = {0.01, -0.02, 0.03};
    const std::size_t snx = 5, sny = 3;
    const auto p = map_of({}, s, snx, sny, 1, 7, 4);
    for (std::size_t y = 0; y < sny; ++y)
        for (std::size_t x = 0; x < snx; ++x) {
            const V3 r{x - 2.5, y - 1.5, 7.0 - 2.0};
            const V3 wxr{s.w[1] * r[2] - s.w[2] * r[1], s.w[2] * r[0] - s.w[0] * r[2], s.w[0] * r[1] - s.w[1] * r[0]};
            double expect = 0;
            for (int i = 0; i < 3; ++i) expect += s.g[i] * (s.t[i] + wxr[i]);
            EXPECT_NEAR(p[y * snx + x], expect, 1e-15);
        }
}

TEST(PhaseSlice, ModelNoneIsZeroForEveryShot) {
    const PhaseModel none = *model_by_name("none");
    const PhaseModel hbcd = *model_by_name("hbcd");
    for (std::size_t v = 0; v < 5; ++v) {
        const ShotPhase s = none.diffusion.shot({0.6, 0.8, 0}, v, 2, 17, 1000.0);
        for (double x : phase_slice(none.coef, s, 8, 6, 2, 2, 4)) EXPECT_EQ(x, 0.0);
    }
    // An unweighted shot leaves only the slice polynomial.
    const ShotPhase b0 = hbcd.diffusion.shot({1, 0, 0}, 0, 2, 17, 0.0);
    const auto p = phase_slice(hbcd.coef, b0, 4, 2, 1, 2, 4);
    for (std::size_t y = 0; y < 2; ++y)
        for (std::size_t x = 0; x < 4; ++x)
            EXPECT_NEAR(p[y * 4 + x], 0.13 * (x - 2.0) + 0.1 * (y - 1.0) + 0.02 * 0.0, 1e-15);
}

TEST(PhaseSlice, EmptySlices) {
    EXPECT_TRUE(phase_slice(only(0), ShotPhase{}, 0, 5, 1, 0, 1).empty());
    EXPECT_TRUE(phase_slice(only(0), ShotPhase{}, 5, 0, 1, 0, 1).empty());
}
