#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <limits>
#include <numbers>
#include <random>

#include "microstructure.hpp"

namespace ms = quorvel::microstructure;
using ms::Mat3;
using ms::Tensor4;
using ms::Vec3;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Mat3 random_symmetric(std::mt19937_64& gen) {
    std::normal_distribution<double> n;
    Mat3 a;
    for (int i = 0; i < 3; ++i)
        for (int j = i; j < 3; ++j) a[i * 3 + j] = a[j * 3 + i] = n(gen);
    return a;
}

Mat3 random_rotation(std::mt19937_64& gen) {
    // Gram-Schmidt on two random vectors.
    std::normal_distribution<double> n;
    Vec3 a{n(gen), n(gen), n(gen)}, b{n(gen), n(gen), n(gen)};
    auto norm = [](Vec3& v) {
        const double l = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        for (double& x : v) x /= l;
    };
    norm(a);
    const double d = a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    for (int i = 0; i < 3; ++i) b[i] -= d * a[i];
    norm(b);
    const Vec3 c{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    return {a[0], b[0], c[0], a[1], b[1], c[1], a[2], b[2], c[2]};
}

// R diag(l) Rᵀ.
Mat3 from_eigen(const Mat3& r, const Vec3& l) {
    Mat3 out{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) out[i * 3 + j] += r[i * 3 + k] * l[k] * r[j * 3 + k];
    return out;
}

void expect_decomposes(const Mat3& a, const ms::Eigen3& e, double tol) {
    EXPECT_GE(e.values[0], e.values[1]);
    EXPECT_GE(e.values[1], e.values[2]);
    for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < 3; ++i) {
            double av = 0.0;
            for (int k = 0; k < 3; ++k) av += a[i * 3 + k] * e.vectors[k * 3 + c];
            EXPECT_NEAR(av, e.values[c] * e.vectors[i * 3 + c], tol) << "column " << c << " row " << i;
        }
        for (int d = 0; d < 3; ++d) {
            double dot = 0.0;
            for (int k = 0; k < 3; ++k) dot += e.vectors[k * 3 + c] * e.vectors[k * 3 + d];
            EXPECT_NEAR(dot, c == d ? 1.0 : 0.0, 1e-14);
        }
    }
}

}  // namespace

// ---- eigh3 ----

TEST(Eigh3, DiagonalIsSortedWithoutRotation) {
    const ms::Eigen3 e = ms::eigh3({1, 0, 0, 0, 3, 0, 0, 0, 2});
    EXPECT_EQ(e.values, (std::array<double, 3>{3, 2, 1}));
    EXPECT_EQ(e.vectors, (Mat3{0, 0, 1, 1, 0, 0, 0, 1, 0}));
}

TEST(Eigh3, EqualEigenvaluesKeepIndexOrder) {
    const ms::Eigen3 e = ms::eigh3({2, 0, 0, 0, 5, 0, 0, 0, 2});
    EXPECT_EQ(e.values, (std::array<double, 3>{5, 2, 2}));
    EXPECT_EQ(e.vectors, (Mat3{0, 1, 0, 1, 0, 0, 0, 0, 1}));
    const ms::Eigen3 iso = ms::eigh3({7, 0, 0, 0, 7, 0, 0, 0, 7});
    EXPECT_EQ(iso.vectors, (Mat3{1, 0, 0, 0, 1, 0, 0, 0, 1}));
}

TEST(Eigh3, RandomSymmetricMatrices) {
    std::mt19937_64 gen(42);
    for (int trial = 0; trial < 500; ++trial) {
        const Mat3 a = random_symmetric(gen);
        // Jacobi converges to off-diagonal mass below 1e-15 (sqrt of the 1e-30 stop), so residuals
        // are a few ulps of the matrix scale (entries ~1).
        expect_decomposes(a, ms::eigh3(a), 1e-13);
    }
}

TEST(Eigh3, RepeatedEigenvaluesInRotatedFrames) {
    std::mt19937_64 gen(42);
    for (const Vec3& l : {Vec3{3e-3, 1e-3, 1e-3}, Vec3{2e-3, 2e-3, 5e-4}, Vec3{1e-3, 1e-3, 1e-3}, Vec3{1, 0, 0}}) {
        const Mat3 a = from_eigen(random_rotation(gen), l);
        const ms::Eigen3 e = ms::eigh3(a);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(e.values[c], l[c], 1e-15 * 10);
        expect_decomposes(a, e, 1e-15);
    }
}

TEST(Eigh3, NonFiniteInputGivesNaN) {
    for (double bad : {kNaN, std::numeric_limits<double>::infinity()}) {
        const ms::Eigen3 e = ms::eigh3({1, 0.5, 0, 0.5, bad, 0, 0, 0, 2});
        for (double v : e.values) EXPECT_TRUE(std::isnan(v));
        for (double v : e.vectors) EXPECT_TRUE(std::isnan(v));
    }
}

// ---- w_rotated ----

TEST(WRotated, MatchesExplicitContraction) {
    std::mt19937_64 gen(42);
    std::normal_distribution<double> n;
    Tensor4 w;
    for (double& x : w) x = n(gen);
    const Mat3 r = random_rotation(gen);
    const Mat3 identity{1, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(ms::w_rotated(w, identity, 0, 1, 2, 1), w[((0 * 3 + 1) * 3 + 2) * 3 + 1]);
    // A permutation frame picks the permuted component: axes (x, y, z) -> columns (z, x, y).
    const Mat3 perm{0, 1, 0, 0, 0, 1, 1, 0, 0};
    EXPECT_EQ(ms::w_rotated(w, perm, 0, 0, 1, 2), w[((2 * 3 + 2) * 3 + 0) * 3 + 1]);
    const Vec3 e1{r[0], r[3], r[6]}, e2{r[1], r[4], r[7]};
    double ref = 0.0;
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b)
            for (int c = 0; c < 3; ++c)
                for (int d = 0; d < 3; ++d) ref += w[((a * 3 + b) * 3 + c) * 3 + d] * e1[a] * e2[b] * e1[c] * e2[d];
    EXPECT_NEAR(ms::w_rotated(w, r, 0, 1, 0, 1), ref, 1e-13);
}

// ---- moments ----

namespace {

// Σ w·T and Σ w·T⊗T − D̄⊗D̄ over the explicit compartment tensors.
ms::Moments reference_moments(const ms::VoxelMixture& mix) {
    std::vector<std::pair<double, Mat3>> comps;
    for (std::size_t j = 0; j < mix.vertices.size(); ++j) {
        const Vec3& n = mix.vertices[j];
        Mat3 stick, zep;
        for (int i = 0; i < 3; ++i)
            for (int k = 0; k < 3; ++k) {
                stick[i * 3 + k] = mix.d_intra * n[i] * n[k];
                zep[i * 3 + k] = (mix.d_intra - mix.d_perp) * n[i] * n[k] + (i == k ? mix.d_perp : 0.0);
            }
        comps.push_back({mix.intra[j], stick});
        comps.push_back({mix.extra[j], zep});
    }
    for (const auto& [f, d] : mix.iso) comps.push_back({f, Mat3{d, 0, 0, 0, d, 0, 0, 0, d}});
    ms::Moments m{};
    for (const auto& [w, t] : comps)
        for (int i = 0; i < 9; ++i) m.mean[i] += w * t[i];
    for (const auto& [w, t] : comps)
        for (int ij = 0; ij < 9; ++ij)
            for (int kl = 0; kl < 9; ++kl) m.cov[ij * 9 + kl] += w * t[ij] * t[kl];
    for (int ij = 0; ij < 9; ++ij)
        for (int kl = 0; kl < 9; ++kl) m.cov[ij * 9 + kl] -= m.mean[ij] * m.mean[kl];
    return m;
}

ms::VoxelMixture random_mixture(std::mt19937_64& gen, std::size_t n) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> g;
    ms::VoxelMixture mix;
    for (std::size_t j = 0; j < n; ++j) {
        Vec3 v{g(gen), g(gen), g(gen)};
        const double l = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        mix.vertices.push_back({v[0] / l, v[1] / l, v[2] / l});
        mix.intra.push_back(0.3 * u(gen));
        mix.extra.push_back(0.2 * u(gen));
    }
    mix.intra[0] = mix.extra[0] = 0.0;  // a silent vertex
    if (n > 1) mix.intra[1] = 0.0;      // a zeppelin without its stick
    mix.iso = {{0.1, 1.1e-3}, {0.05, 3e-4}, {0.2, 3e-3}};
    mix.d_intra = 1.7e-3;
    mix.d_perp = 6e-4;
    return mix;
}

}  // namespace

TEST(Moments, MatchExplicitCompartmentSums) {
    std::mt19937_64 gen(42);
    for (std::size_t n : {1, 2, 7, 40}) {
        const ms::VoxelMixture mix = random_mixture(gen, n);
        const ms::Moments got = ms::moments(mix), ref = reference_moments(mix);
        // Values are ~1e-3 (mean) and ~1e-6 (cov): absolute tolerances of ~100 ulps of each scale.
        for (int i = 0; i < 9; ++i) EXPECT_NEAR(got.mean[i], ref.mean[i], 1e-17) << i;
        for (int i = 0; i < 81; ++i) EXPECT_NEAR(got.cov[i], ref.cov[i], 1e-19) << i;
    }
}

TEST(Moments, BallsOnly) {
    ms::VoxelMixture mix;
    mix.iso = {{0.3, 1e-3}, {0.7, 3e-3}};
    const ms::Moments m = ms::moments(mix);
    const double s1 = 0.3 * 1e-3 + 0.7 * 3e-3, s2 = 0.3 * 1e-6 + 0.7 * 9e-6;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_DOUBLE_EQ(m.mean[i * 3 + j], i == j ? s1 : 0.0);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                for (int l = 0; l < 3; ++l)
                    EXPECT_NEAR(m.cov[((i * 3 + j) * 3 + k) * 3 + l], (i == j && k == l) ? s2 - s1 * s1 : 0.0, 1e-21);
}

TEST(Moments, SingleStickHasNoCovariance) {
    ms::VoxelMixture mix;
    mix.vertices = {{1, 0, 0}};
    mix.intra = {1.0};
    mix.extra = {0.0};
    mix.d_intra = 0.002;
    mix.d_perp = 0.0005;
    const ms::Moments m = ms::moments(mix);
    EXPECT_EQ(m.mean, (Mat3{0.002, 0, 0, 0, 0, 0, 0, 0, 0}));
    for (double c : m.cov) EXPECT_NEAR(c, 0.0, 1e-21);
}

TEST(Moments, EmptyMixtureIsZero) {
    const ms::Moments m = ms::moments(ms::VoxelMixture{});
    for (double x : m.mean) EXPECT_EQ(x, 0.0);
    for (double x : m.cov) EXPECT_EQ(x, 0.0);
}

// ---- Carlson integrals ----

TEST(Carlson, UnitArgumentsNeedNoDuplication) {
    EXPECT_EQ(ms::carlson_rf(1.0, 1.0), 1.0);
    EXPECT_EQ(ms::carlson_rd(1.0, 1.0), 1.0);
}

// The truncated series is accurate to about r (3e-4 for R_F, 1e-4 for R_D) by construction of
// its stopping rule; in practice far better, so the tolerances below are r/10.
TEST(Carlson, PublishedValues) {
    // Carlson (1995): R_F(0, 1, 2), R_F(2, 3, 4) = R_F(0.5, 0.75, 1)/2 by homogeneity of degree -1/2;
    // R_D(0, 2, 1), R_D(2, 3, 4) = R_D(0.5, 0.75, 1)/8 by homogeneity of degree -3/2.
    EXPECT_NEAR(ms::carlson_rf(0.0, 2.0), 1.3110287771461, 3e-5);
    EXPECT_NEAR(ms::carlson_rf(0.5, 0.75), 2.0 * 0.58408284167715, 3e-5);
    EXPECT_NEAR(ms::carlson_rd(0.0, 2.0), 1.7972103521034, 1e-5);
    EXPECT_NEAR(ms::carlson_rd(0.5, 0.75), 8.0 * 0.16510527294261, 1e-5);
}

TEST(Carlson, DegenerateFormsThroughRc) {
    // R_F(x, 1, 1) = R_C(x, 1) and R_D(x, 1, 1) = 3/(2(1 - x))·(R_C(x, 1) - √x).
    auto rc = [](double x) {
        return x < 1.0 ? std::acos(std::sqrt(x)) / std::sqrt(1.0 - x) : std::acosh(std::sqrt(x)) / std::sqrt(x - 1.0);
    };
    for (double x : {0.01, 0.3, 0.8, 1.5, 4.0, 30.0, 500.0}) {
        EXPECT_NEAR(ms::carlson_rf(x, 1.0), rc(x), 3e-5 * rc(x)) << x;
        const double rd = 3.0 / (2.0 * (1.0 - x)) * (rc(x) - std::sqrt(x));
        EXPECT_NEAR(ms::carlson_rd(x, 1.0), rd, 1e-5 * rd) << x;
        EXPECT_NEAR(ms::carlson_rf(1.0, x), ms::carlson_rf(x, 1.0), 1e-15);  // symmetric in x, y
    }
}

TEST(Carlson, NegativeOrNaNArgumentsGiveNaN) {
    EXPECT_TRUE(std::isnan(ms::carlson_rf(-1.0, 1.0)));
    EXPECT_TRUE(std::isnan(ms::carlson_rd(1.0, kNaN)));
}

// ---- f1m, f2m ----

TEST(MeanKurtosisWeights, IsotropicLimitsAndFloor) {
    for (double l : {3e-7, 1e-3, 2.0}) {
        EXPECT_EQ(ms::f1m(l, l, l), 0.2);
        EXPECT_EQ(ms::f2m(l, l, l), 0.4);
    }
    EXPECT_EQ(ms::f1m(2e-7, 1e-3, 1e-3), 0.0);
    EXPECT_EQ(ms::f1m(1e-3, 2e-7, 5e-4), 0.0);
    EXPECT_EQ(ms::f2m(1e-3, 1e-3, 0.0), 0.0);
    EXPECT_EQ(ms::f2m(kNaN, 1e-3, 1e-3), 0.0);
}

TEST(MeanKurtosisWeights, DifferenceEqualToToleranceCountsAsDistinct) {
    // Scale 40: the tolerance 0.025·40 is exactly 1, so 40 − 39 sits on it. F1, F2 are
    // continuous in the general form: the boundary value matches a point just inside it.
    const double eps = 1e-7;
    EXPECT_NEAR(ms::f1m(40, 39, 20), ms::f1m(40, 39 - eps, 20), 1e-6);
    EXPECT_NEAR(ms::f1m(40, 20, 39), ms::f1m(40, 20, 39 - eps), 1e-6);
    EXPECT_NEAR(ms::f2m(10, 40, 39), ms::f2m(10, 40, 39 - eps), 1e-6);
    // λ2 = λ3 with λ1 − λ2 on the tolerance: the atanh form, continuous into the distinct side.
    EXPECT_NEAR(ms::f2m(41, 40, 40), ms::f2m(41 + eps, 40, 40), 1e-6);
    EXPECT_NE(ms::f2m(41, 40, 40), 0.4);
    // Near the boundary the limit forms differ from the general ones by more than the checks above
    // resolve, so the checks do tell the cases apart.
    EXPECT_GT(std::abs(ms::f1m(40, 39, 20) - ms::f1m(40, 39 + eps, 20)), 1e-4);
}

TEST(MeanKurtosisWeights, LimitFormsAreContinuous) {
    // Along λ2 → λ3 the atanh/atan form is the limit of the general form.
    for (double l1 : {0.5e-3, 2e-3}) {
        const double general = ms::f2m(l1, 1e-3, 1e-3 * (1 - 0.03));
        const double limit = ms::f2m(l1, 1e-3, 1e-3 * (1 - 0.02));
        EXPECT_NEAR(general, limit, 0.02 * std::abs(limit)) << l1;
    }
}

// ---- DKI against direct spherical integration ----

namespace {

// Apparent kurtosis K(n) = MD²·W(n)/D(n)² of a fully symmetric W.
double apparent_kurtosis(const Mat3& d, const Tensor4& w, const Vec3& n) {
    double dn = 0.0, wn = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            dn += d[i * 3 + j] * n[i] * n[j];
            for (int k = 0; k < 3; ++k)
                for (int l = 0; l < 3; ++l) wn += w[((i * 3 + j) * 3 + k) * 3 + l] * n[i] * n[j] * n[k] * n[l];
        }
    const double md = (d[0] + d[4] + d[8]) / 3.0;
    return md * md * wn / (dn * dn);
}

// Mean of K over the sphere (midpoint rule in cos θ and φ) and over the circle across e1.
void integrate_kurtosis(const Mat3& d, const Tensor4& w, const Vec3& e1, double& mk, double& rk) {
    constexpr int nt = 600, np = 600;
    double sum = 0.0;
    for (int a = 0; a < nt; ++a) {
        const double ct = -1.0 + (a + 0.5) * 2.0 / nt, st = std::sqrt(1.0 - ct * ct);
        for (int b = 0; b < np; ++b) {
            const double ph = (b + 0.5) * 2.0 * std::numbers::pi / np;
            sum += apparent_kurtosis(d, w, {st * std::cos(ph), st * std::sin(ph), ct});
        }
    }
    mk = sum / (nt * np);
    const Vec3 h = std::abs(e1[0]) < 0.9 ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
    Vec3 u{e1[1] * h[2] - e1[2] * h[1], e1[2] * h[0] - e1[0] * h[2], e1[0] * h[1] - e1[1] * h[0]};
    const double ul = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
    for (double& x : u) x /= ul;
    const Vec3 v{e1[1] * u[2] - e1[2] * u[1], e1[2] * u[0] - e1[0] * u[2], e1[0] * u[1] - e1[1] * u[0]};
    sum = 0.0;
    for (int b = 0; b < np; ++b) {
        const double ph = (b + 0.5) * 2.0 * std::numbers::pi / np;
        Vec3 n;
        for (int i = 0; i < 3; ++i) n[i] = std::cos(ph) * u[i] + std::sin(ph) * v[i];
        sum += apparent_kurtosis(d, w, n);
    }
    rk = sum / np;
}

}  // namespace

struct DkiCase {
    Vec3 eigenvalues;
    // Relative: the Carlson series are accurate to ~1e-4; within 2.5 % of equal eigenvalues the
    // equal-eigenvalue forms stand in for the general ones, off by a fraction of that spread.
    double mk_tol;
};
void PrintTo(const DkiCase& c, std::ostream* os) {
    *os << c.eigenvalues[0] << ", " << c.eigenvalues[1] << ", " << c.eigenvalues[2];
}

class DkiIntegration : public ::testing::TestWithParam<DkiCase> {};

TEST_P(DkiIntegration, MeanAxialRadialKurtosisMatchTheSphereAverage) {
    std::mt19937_64 gen(42);
    const Vec3 l = GetParam().eigenvalues;
    const Mat3 r = random_rotation(gen);
    const Mat3 d = from_eigen(r, l);
    const double md = (l[0] + l[1] + l[2]) / 3.0;
    // A fully symmetric positive covariance: the fourth moment of a few random tensors.
    Tensor4 cov{};
    std::normal_distribution<double> g;
    for (int s = 0; s < 4; ++s) {
        const Vec3 n{g(gen), g(gen), g(gen)};
        for (int i = 0; i < 81; ++i) cov[i] += 0.05 * md * md * n[i / 27] * n[i / 9 % 3] * n[i / 3 % 3] * n[i % 3];
    }
    const ms::DkiScalars k = ms::dki_scalars(d, cov);
    Tensor4 w;
    for (int i = 0; i < 81; ++i) w[i] = 3.0 * cov[i] / (md * md);  // cov is already symmetric
    const ms::Eigen3 e = ms::eigh3(d);
    double mk, rk;
    integrate_kurtosis(d, w, {e.vectors[0], e.vectors[3], e.vectors[6]}, mk, rk);
    ASSERT_LT(mk, 3.0);
    EXPECT_NEAR(k.mk, mk, GetParam().mk_tol * std::abs(mk));
    EXPECT_NEAR(k.rk, rk, 1e-6 * std::abs(rk));
    EXPECT_NEAR(k.ak, apparent_kurtosis(d, w, {e.vectors[0], e.vectors[3], e.vectors[6]}), 1e-9);
    // D̄ was assembled from its eigenvalues with a few roundings of ~2e-19 (ulp at 1e-3).
    EXPECT_NEAR(k.md, md, 5e-18);
    EXPECT_NEAR(k.ad, l[0], 5e-18);
    EXPECT_NEAR(k.rd, (l[1] + l[2]) / 2, 5e-18);
}

INSTANTIATE_TEST_SUITE_P(Eigenvalues, DkiIntegration,
                         ::testing::Values(DkiCase{{1.7e-3, 6e-4, 3e-4}, 5e-4},    // all distinct
                                           DkiCase{{1.7e-3, 6e-4, 6e-4}, 5e-4},    // λ2 = λ3: limit forms
                                           DkiCase{{1.7e-3, 6e-4, 5.9e-4}, 1e-2},  // λ2 ≈ λ3 within 2.5 %
                                           DkiCase{{1e-3, 1e-3, 4e-4}, 5e-4},      // λ1 = λ2
                                           DkiCase{{1e-3, 9.9e-4, 9.8e-4}, 2e-3},  // nearly isotropic
                                           DkiCase{{8e-4, 7e-4, 2e-4}, 5e-4}));

// ---- Watson table ----

TEST(WatsonTable, IncreasingBetweenUniformAndCoherent) {
    const auto& t = ms::watson_table();
    EXPECT_DOUBLE_EQ(t.front().first, 0.001);
    EXPECT_DOUBLE_EQ(t.back().first, 1000.0);
    EXPECT_GT(t.front().second, 1.0 / 3.0);
    EXPECT_LT(t.back().second, 1.0);
    for (std::size_t i = 1; i < t.size(); ++i) {
        EXPECT_GT(t[i].first, t[i - 1].first);
        EXPECT_GT(t[i].second, t[i - 1].second);
    }
    EXPECT_EQ(&ms::watson_table(), &t);  // built once
}

TEST(WatsonTable, SmoothEntriesMatchAFineQuadrature) {
    // Where the integrand is smooth (kappa up to ~10) 512 Simpson intervals are accurate to ~1e-8
    // (the h⁴ error grows like kappa⁴); the midpoint reference is finer.
    const auto& t = ms::watson_table();
    for (std::size_t i = 0; i <= 160; i += 40) {
        const double kappa = t[i].first;
        double num = 0.0, den = 0.0;
        constexpr int n = 200000;
        for (int k = 0; k < n; ++k) {
            const double x = (k + 0.5) / n, e = std::exp(kappa * (x * x - 1.0));
            num += x * x * e;
            den += e;
        }
        EXPECT_NEAR(t[i].second, num / den, 2e-8) << kappa;
    }
}

TEST(WatsonOdi, CoherentIsotropicAndEmpty) {
    const double coherent = 2.0 / std::numbers::pi * std::atan(0.001);
    EXPECT_DOUBLE_EQ(ms::watson_odi({{0, 0, 1}}, {0.7}), coherent);
    EXPECT_EQ(ms::watson_odi({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {1, 1, 1}), 1.0);
    EXPECT_EQ(ms::watson_odi({}, {}), 0.0);
    EXPECT_EQ(ms::watson_odi({{1, 0, 0}}, {0.0}), 0.0);
    EXPECT_TRUE(std::isnan(ms::watson_odi({{1, 0, 0}, {0, 1, 0}}, {1.0, kNaN})));
}

// ---- whole voxel: the workspace path equals the allocating path ----

TEST(VoxelScalars, WorkspaceReuseDoesNotLeakBetweenVoxels) {
    std::mt19937_64 gen(42);
    ms::Workspace ws;
    const ms::ScalarOptions opt;
    for (std::size_t n : {40, 3, 25, 1}) {
        const ms::VoxelMixture mix = random_mixture(gen, n);
        const auto fresh = ms::voxel_scalars(mix, opt);
        const auto reused = ms::voxel_scalars(mix, opt, ws);
        for (std::size_t s = 0; s < fresh.size(); ++s) EXPECT_EQ(fresh[s], reused[s]) << ms::kScalarNames[s];
    }
}
