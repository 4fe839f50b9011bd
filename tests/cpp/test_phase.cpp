#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "acquisition/phase.hpp"

using quorvel::kspace::phase_slice;
using quorvel::phase::DiffusionPhase;
using quorvel::phase::model_by_name;
using quorvel::phase::ShotPhase;

namespace {

using V3 = std::array<double, 3>;

// The six normals of a shot, from the definition of the keyed SplitMix64 stream.
std::array<double, 6> reference_normals(std::uint64_t vol, std::uint64_t z, std::uint64_t seed) {
    const std::uint64_t key = (z * 0xbf58476d1ce4e5b9ull) ^ seed ^ (vol * 0x9e3779b97f4a7c15ull);
    auto u = [&](std::uint64_t k) {
        std::uint64_t x = key + k * 0x9e3779b97f4a7c15ull;
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
        return (static_cast<double>((x ^ (x >> 31)) >> 11) + 0.5) * 0x1.0p-53;
    };
    std::array<double, 6> n{};
    for (std::uint64_t j = 0; j < 6; ++j)
        n[j] = std::sqrt(-2.0 * std::log(u(2 * j + 1))) * std::cos(2.0 * std::numbers::pi * u(2 * j + 2));
    return n;
}

std::array<double, 6> normals(const ShotPhase& s) { return {s.t[0], s.t[1], s.t[2], s.w[0] / 0.25, s.w[1] / 0.25, s.w[2] / 0.25}; }

}  // namespace

TEST(DiffusionPhase, ShotFollowsTheKeyedStream) {
    const DiffusionPhase d{0.5, 1.0, 0.25};
    const ShotPhase s = d.shot({0.0, 3.0, 4.0}, 7, 12, 0x1234567890abcdefull, 400.0);
    EXPECT_EQ(s.g, (V3{0.0, 6.0, 8.0}));  // dir/|dir| * sqrt(b) * gain
    const auto want = reference_normals(7, 12, 0x1234567890abcdefull);
    const auto got = normals(s);
    for (int j = 0; j < 6; ++j) EXPECT_DOUBLE_EQ(got[j], want[j]) << j;
    // Another volume, slice or seed changes every draw; b and the direction scale g only.
    for (const ShotPhase& o : {d.shot({0, 3, 4}, 6, 12, 0x1234567890abcdefull, 400.0), d.shot({0, 3, 4}, 7, 13, 0x1234567890abcdefull, 400.0),
                               d.shot({0, 3, 4}, 7, 12, 0x1234567890abcdeeull, 400.0)})
        for (int j = 0; j < 6; ++j) EXPECT_NE(normals(o)[j], got[j]) << j;
    EXPECT_EQ(normals(d.shot({-2, 0, 0}, 7, 12, 0x1234567890abcdefull, 9.0)), got);
}

TEST(DiffusionPhase, UnweightedShotsDrawNothing) {
    const DiffusionPhase d = model_by_name("hbcd")->diffusion;
    for (auto [dir, b] : std::vector<std::pair<V3, double>>{{{1, 0, 0}, 0.0}, {{1, 0, 0}, -5.0}, {{1, 0, 0}, NAN}, {{1e-13, 0, 0}, 1000.0}}) {
        const ShotPhase s = d.shot(dir, 3, 4, 99, b);
        EXPECT_TRUE(s.g == V3{} && s.t == V3{} && s.w == V3{}) << b;
    }
}

TEST(PhaseSlice, Coordinates) {
    auto only = [](std::size_t i) {
        std::array<double, 11> c{};
        c[i] = 1.0;
        return c;
    };
    // o = 1, snx = 64: xx runs from -32 to 31; yy from -1.5 (sny = 3).
    const auto xx = phase_slice(only(1), {}, 64, 3, 1, 0, 1), yy = phase_slice(only(2), {}, 64, 3, 1, 0, 1);
    for (std::size_t i = 0; i < xx.size(); ++i) {
        EXPECT_EQ(xx[i], double(i % 64) - 32.0);
        EXPECT_EQ(yy[i], double(i / 64) - 1.5);
    }
    // o = 2, snx = 128: -32.25 to 31.25 in steps of 0.5.
    const auto x2 = phase_slice(only(1), {}, 128, 1, 2, 0, 1);
    for (std::size_t x = 0; x < 128; ++x) EXPECT_EQ(x2[x], -32.25 + 0.5 * double(x));
    // zz is in slices from nz_full/2, not divided by o.
    for (std::size_t z : {0u, 9u}) EXPECT_EQ(phase_slice(only(3), {}, 4, 4, 2, z, 10)[5], double(z) - 5.0);
    EXPECT_TRUE(phase_slice(only(0), {}, 0, 5, 1, 0, 1).empty());
}

TEST(PhaseSlice, PolynomialPlusGradientDotRigidDisplacement) {
    const std::array<double, 11> c{0.5, 0.13, 0.1, 0.02, 0.3, -0.2, 0.07, 0.011, -0.05, 0.04, 0.25};
    const ShotPhase s{{0.3, -0.4, 0.5}, {1.0, 2.0, -1.5}, {0.01, -0.02, 0.03}};
    const auto p = phase_slice(c, s, 6, 4, 2, 3, 5);
    for (std::size_t i = 0; i < p.size(); ++i) {
        const double xx = (double(i % 6) - 3.5) / 2.0, yy = (double(i / 6) - 2.5) / 2.0, zz = 0.5;
        const V3 wxr{s.w[1] * zz - s.w[2] * yy, s.w[2] * xx - s.w[0] * zz, s.w[0] * yy - s.w[1] * xx};
        double want = c[0] + c[1] * xx + c[2] * yy + c[3] * zz + c[4] * xx * xx + c[5] * yy * yy + c[6] * zz * zz +
                      c[7] * xx * yy + c[8] * xx * zz + c[9] * yy * zz + c[10];
        for (int k = 0; k < 3; ++k) want += s.g[k] * (s.t[k] + wxr[k]);
        EXPECT_NEAR(p[i], want, 1e-15) << i;
    }
}

TEST(PhaseModel, NamedModels) {
    const auto hbcd = model_by_name("hbcd"), none = model_by_name("none");
    EXPECT_EQ(hbcd->coef, (std::array<double, 11>{0, 0.13, 0.1, 0.02}));
    EXPECT_EQ((V3{hbcd->diffusion.gradient_gain, hbcd->diffusion.translation_sd, hbcd->diffusion.rotation_sd}), (V3{0.0425, 1.0, 0.002}));
    // "none" gives a zero map for every shot.
    for (double v : phase_slice(none->coef, none->diffusion.shot({0.6, 0.8, 0}, 1, 2, 17, 1000.0), 8, 6, 2, 2, 4)) EXPECT_EQ(v, 0.0);
    for (const char* bad : {"HBCD", "None", ""}) EXPECT_FALSE(model_by_name(bad).has_value()) << bad;
}
