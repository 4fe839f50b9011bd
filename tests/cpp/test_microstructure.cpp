// Internals the Python maps reach only in aggregate: the eigen-solver's ordering and NaN rules,
// Carlson's integrals, the mean-kurtosis weights at their case boundaries, the Watson table and
// the peaks' tie rule, which needs vertices no hemisphere has.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "mixture/microstructure.hpp"
#include "mixture/truth.hpp"

namespace ms = quorvel::microstructure;
using ms::Mat3;

TEST(Eigh3, DiagonalIsSortedWithoutRotationAndTiesKeepIndexOrder) {
    const ms::Eigen3 e = ms::eigh3({1, 0, 0, 0, 3, 0, 0, 0, 2});
    EXPECT_EQ(e.values, (std::array<double, 3>{3, 2, 1}));
    EXPECT_EQ(e.vectors, (Mat3{0, 0, 1, 1, 0, 0, 0, 1, 0}));
    const ms::Eigen3 tie = ms::eigh3({2, 0, 0, 0, 5, 0, 0, 0, 2});
    EXPECT_EQ(tie.values, (std::array<double, 3>{5, 2, 2}));
    EXPECT_EQ(tie.vectors, (Mat3{0, 1, 0, 1, 0, 0, 0, 0, 1}));
}

TEST(Eigh3, DecomposesSymmetricMatrices) {
    std::mt19937_64 gen(42);
    std::normal_distribution<double> n;
    for (int trial = 0; trial < 400; ++trial) {
        Mat3 a;
        if (trial % 2 == 0) {
            for (int i = 0; i < 3; ++i)
                for (int j = i; j < 3; ++j) a[i * 3 + j] = a[j * 3 + i] = n(gen);
        } else {  // c·I + u uᵀ: a repeated eigenvalue c in a random frame
            const double c = n(gen), u[3] = {n(gen), n(gen), n(gen)};
            for (int i = 0; i < 9; ++i) a[i] = u[i / 3] * u[i % 3] + (i % 4 == 0 ? c : 0.0);
        }
        const ms::Eigen3 e = ms::eigh3(a);
        EXPECT_GE(e.values[0], e.values[1]);
        EXPECT_GE(e.values[1], e.values[2]);
        // Jacobi stops at off-diagonal mass below 1e-15 (the square root of the 1e-30 stop), so the
        // residuals A v - λ v and VᵀV - I are a few ulps of the entries (~1).
        const auto v = [&](int row, int col) { return e.vectors[row * 3 + col]; };
        for (int c = 0; c < 9; ++c) {
            const int i = c / 3, j = c % 3;
            EXPECT_NEAR(a[i * 3] * v(0, j) + a[i * 3 + 1] * v(1, j) + a[i * 3 + 2] * v(2, j), e.values[j] * v(i, j), 1e-13);
            EXPECT_NEAR(v(0, i) * v(0, j) + v(1, i) * v(1, j) + v(2, i) * v(2, j), i == j ? 1.0 : 0.0, 1e-14);
        }
    }
}

TEST(Eigh3, NonFiniteInputGivesNaN) {
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        const ms::Eigen3 e = ms::eigh3({1, 0.5, 0, 0.5, bad, 0, 0, 0, 2});
        for (double v : e.values) EXPECT_TRUE(std::isnan(v));
        for (double v : e.vectors) EXPECT_TRUE(std::isnan(v));
    }
}

// The series are accurate to about r (3e-4 for R_F, 1e-4 for R_D) by their stopping rule and in
// practice far better: the tolerances are r/10.
TEST(Carlson, PublishedValuesAndDegenerateForms) {
    // Carlson (1995): R_F(0, 1, 2), R_F(2, 3, 4) = R_F(0.5, 0.75, 1)/2 (homogeneous of degree -1/2);
    // R_D(0, 2, 1), R_D(2, 3, 4) = R_D(0.5, 0.75, 1)/8 (degree -3/2).
    EXPECT_NEAR(ms::carlson_rf(0.0, 2.0), 1.3110287771461, 3e-5);
    EXPECT_NEAR(ms::carlson_rf(0.5, 0.75), 2.0 * 0.58408284167715, 3e-5);
    EXPECT_NEAR(ms::carlson_rd(0.0, 2.0), 1.7972103521034, 1e-5);
    EXPECT_NEAR(ms::carlson_rd(0.5, 0.75), 8.0 * 0.16510527294261, 1e-5);
    EXPECT_EQ(ms::carlson_rf(1.0, 1.0), 1.0);  // all arguments equal: no duplication step
    EXPECT_EQ(ms::carlson_rd(1.0, 1.0), 1.0);
    // R_F(x, 1, 1) = R_C(x, 1) and R_D(x, 1, 1) = 3/(2(1 - x))·(R_C(x, 1) - √x), far from 1 too.
    for (double x : {0.01, 0.3, 1.5, 30.0, 500.0}) {
        const double rc = x < 1.0 ? std::acos(std::sqrt(x)) / std::sqrt(1.0 - x)
                                  : std::acosh(std::sqrt(x)) / std::sqrt(x - 1.0);
        const double rd = 3.0 / (2.0 * (1.0 - x)) * (rc - std::sqrt(x));
        EXPECT_NEAR(ms::carlson_rf(x, 1.0), rc, 3e-5 * rc) << x;
        EXPECT_NEAR(ms::carlson_rd(1.0, x), rd, 1e-5 * rd) << x;
    }
}

TEST(MeanKurtosisWeights, IsotropicLimitsFloorAndToleranceBoundary) {
    for (double l : {3e-7, 1e-3, 2.0}) {
        EXPECT_EQ(ms::f1m(l, l, l), 0.2);
        EXPECT_EQ(ms::f2m(l, l, l), 0.4);
    }
    EXPECT_EQ(ms::f1m(2e-7, 1e-3, 1e-3), 0.0);
    EXPECT_EQ(ms::f1m(1e-3, 2e-7, 5e-4), 0.0);
    EXPECT_EQ(ms::f2m(1e-3, 1e-3, 0.0), 0.0);
    // Scale 40: the tolerance 0.025·40 is exactly 1, so 40 − 39 sits on it. The general forms are
    // continuous there, so the boundary value matches a point just on the distinct side, while the
    // limit form just on the other side is off by more than the check resolves.
    const double eps = 1e-7;
    EXPECT_NEAR(ms::f1m(40, 39, 20), ms::f1m(40, 39 - eps, 20), 1e-6);
    EXPECT_NEAR(ms::f1m(40, 20, 39), ms::f1m(40, 20, 39 - eps), 1e-6);
    EXPECT_NEAR(ms::f2m(10, 40, 39), ms::f2m(10, 40, 39 - eps), 1e-6);
    EXPECT_GT(std::abs(ms::f1m(40, 39, 20) - ms::f1m(40, 39 + eps, 20)), 1e-4);
    // λ2 = λ3 with λ1 − λ2 on the tolerance: the atanh form, not the isotropic 0.4.
    EXPECT_NEAR(ms::f2m(41, 40, 40), ms::f2m(41 + eps, 40, 40), 1e-6);
    EXPECT_NE(ms::f2m(41, 40, 40), 0.4);
}

// The table holds the mean cos²θ of the Watson density ∝ exp(κ(cos²θ − 1)) at κ_i = 1e-3·1e6^(i/240),
// each by Simpson's rule on 512 intervals. Every entry is checked against that rule summed here the
// other way round (to 1e-14: rounding only; neighbouring entries differ by 5e-6 or more), and up to
// κ = 10, where the integrand is smooth, against the exact mean: the ratio M(3/2, 5/2, κ)/(3·M(1/2,
// 3/2, κ)) of the Watson normalisers by their power series, within the rule's h⁴ error (< 1e-8).
TEST(WatsonTable, SimpsonMeansAtLogSpacedConcentrations) {
    const auto& t = ms::watson_table();
    for (std::size_t i = 0; i < t.size(); ++i) {
        const double kappa = 0.001 * std::pow(1000.0 / 0.001, static_cast<double>(i) / 240.0);
        EXPECT_DOUBLE_EQ(t[i].first, kappa) << i;
        double num = 0.0, den = 0.0;
        for (int k = 512; k >= 0; --k) {
            const double x = k / 512.0, e = (k == 0 || k == 512 ? 1 : 2 + 2 * (k % 2)) * std::exp(kappa * (x * x - 1.0));
            num += x * x * e;
            den += e;
        }
        EXPECT_NEAR(t[i].second, num / den, 1e-14) << i;
        if (kappa > 10.0) continue;
        double m1 = 0.0, m3 = 0.0, term = 1.0;  // term = κⁿ/n!
        for (int n = 0; n < 80; ++n, term *= kappa / n) {
            m1 += term / (2 * n + 1);
            m3 += term / (2 * n + 3);
        }
        EXPECT_NEAR(t[i].second, m3 / m1, 1e-8) << kappa;
    }
}

// A vertex exactly as near to two peaks gives its mass to the later accepted one. Peaks along x
// and y are exact (a lone vertex's power iteration stays on it); (s, ±s, 0) lies 45° from both,
// outside their 30° lobes, and npeaks = 2 keeps it from becoming a peak of its own.
TEST(RowPeaks, AVertexEquallyNearTwoPeaksGoesToTheLaterOne) {
    const double s = std::sqrt(0.5);
    const auto peaks = quorvel::truth::row_peaks({{1, 0, 0}, {0, 1, 0}, {s, s, 0}, {s, -s, 0}}, {0.375, 0.3125, 0.1875, 0.125}, 2);
    ASSERT_EQ(peaks.size(), 2u);
    EXPECT_EQ(peaks[0].direction, (std::array<double, 3>{0, 1, 0}));
    EXPECT_EQ(peaks[0].fraction, 0.625);
    EXPECT_EQ(peaks[1].direction, (std::array<double, 3>{1, 0, 0}));
    EXPECT_EQ(peaks[1].fraction, 0.375);
}
