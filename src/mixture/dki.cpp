// Diffusion-tensor and diffusion-kurtosis ground truth. The kurtosis tensor of a Gaussian
// mixture is the fully symmetrised covariance of its compartment tensors over MD²; the mean
// kurtosis follows the closed form in the eigenframe of D̄ (Tabesh et al. 2011), whose weights
// F1, F2 need Carlson's elliptic integrals.
#include <algorithm>
#include <cmath>
#include <limits>

#include "mixture/microstructure.hpp"

namespace quorvel::microstructure {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kKurtosisFloor = -3.0 / 7.0;  // the kurtosis of a uniform distribution
constexpr double kMinEigen = 2e-7;             // mm^2/s: below this the closed form is ill-conditioned
// A NaN argument cannot stop the duplication loops; the cap only bounds the damage of a caller
// bypassing the argument check (finite non-negative input converges in a handful of steps).
constexpr int kMaxDuplications = 300;

std::size_t at(std::size_t i, std::size_t j, std::size_t k, std::size_t l) { return ((i * 3 + j) * 3 + k) * 3 + l; }

// The 15 distinct entries in W1111, W2222, W3333, W1112, W1113, W1222, W2223, W1333, W2333,
// W1122, W1133, W2233, W1123, W1223, W1233 order (0-based axes here).
constexpr std::array<std::array<std::size_t, 4>, 15> kDistinct = {{
    {0, 0, 0, 0}, {1, 1, 1, 1}, {2, 2, 2, 2}, {0, 0, 0, 1}, {0, 0, 0, 2}, {0, 1, 1, 1}, {1, 1, 1, 2}, {0, 2, 2, 2},
    {1, 2, 2, 2}, {0, 0, 1, 1}, {0, 0, 2, 2}, {1, 1, 2, 2}, {0, 0, 1, 2}, {0, 1, 1, 2}, {0, 1, 2, 2},
}};
// Multiplicity of each distinct entry in the 81-entry tensor.
constexpr std::array<double, 15> kMultiplicity = {1, 1, 1, 4, 4, 4, 4, 4, 4, 6, 6, 6, 12, 12, 12};

double clamp_kurtosis(double k, double hi) { return std::fmin(std::fmax(k, kKurtosisFloor), hi); }

// Radial-kurtosis weights G1, G2 in a form free of cancellation: with x = √a, y = √b the textbook
// expressions S²/(18a(a−b)²)·(2a + (b² − 3ab)/√(ab)) and S²/(3(a−b)²)·((a + b)/√(ab) − 2) share the
// factor (x − y)² between numerator and denominator. Dividing it out leaves forms that are exact
// for a ≠ b, reduce to the equal-eigenvalue limits at a = b and stay continuous in between, where
// the textbook forms lose every digit for gaps of diffusion-scale eigenvalues below ~1e-7.
void radial_weights(double l1, double a, double b, double& g1, double& g2) {
    const double s = l1 + a + b;
    const double x = std::sqrt(a), y = std::sqrt(b);
    const double xy2 = (x + y) * (x + y);
    g1 = s * s * (2.0 * x + y) / (18.0 * x * x * x * xy2);
    g2 = s * s / (3.0 * x * y * xy2);
}

}  // namespace

DkiScalars dki_scalars(const Mat3& mean, const Tensor4& cov) {
    const double md_f = std::max((mean[0] + mean[4] + mean[8]) / 3.0, 1e-10);
    Tensor4 w;
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j)
            for (std::size_t k = 0; k < 3; ++k)
                for (std::size_t l = 0; l < 3; ++l)
                    w[at(i, j, k, l)] =
                        3.0 * ((cov[at(i, j, k, l)] + cov[at(i, k, j, l)] + cov[at(i, l, j, k)]) / 3.0) / (md_f * md_f);

    const Eigen3 eig = eigh3(mean);
    const auto [l1, l2, l3] = eig.values;
    DkiScalars out{};
    out.eigenvalues = eig.values;
    for (std::size_t q = 0; q < 15; ++q) {
        const auto& [i, j, k, l] = kDistinct[q];
        out.w[q] = w[at(i, j, k, l)];
    }

    const double sq = l1 * l1 + l2 * l2 + l3 * l3;
    out.fa = sq == 0.0 ? 0.0 : std::sqrt(0.5 * ((l1 - l2) * (l1 - l2) + (l2 - l3) * (l2 - l3) + (l3 - l1) * (l3 - l1)) / sq);
    out.md = (l1 + l2 + l3) / 3.0;
    out.rd = (l2 + l3) * 0.5;
    out.ad = l1;

    if (l1 > kMinEigen && l2 > kMinEigen && l3 > kMinEigen) {
        const Mat3& e = eig.vectors;
        const double w1111 = w_rotated(w, e, 0, 0, 0, 0), w2222 = w_rotated(w, e, 1, 1, 1, 1),
                     w3333 = w_rotated(w, e, 2, 2, 2, 2), w1122 = w_rotated(w, e, 0, 0, 1, 1),
                     w1133 = w_rotated(w, e, 0, 0, 2, 2), w2233 = w_rotated(w, e, 1, 1, 2, 2);
        double mk = f1m(l1, l2, l3) * w1111;
        mk += f1m(l2, l1, l3) * w2222;
        mk += f1m(l3, l2, l1) * w3333;
        mk += f2m(l1, l2, l3) * w2233;
        mk += f2m(l2, l1, l3) * w1133;
        mk += f2m(l3, l2, l1) * w1122;
        if (mk <= kKurtosisFloor) mk = kKurtosisFloor;
        if (mk >= 3.0) mk = 3.0;
        out.mk = mk;

        out.ak = clamp_kurtosis(w1111 * out.md * out.md / (l1 * l1), 10.0);
        double g1a, g2a, g1b, g2b;
        radial_weights(l1, l2, l3, g1a, g2a);
        radial_weights(l1, l3, l2, g1b, g2b);
        out.rk = clamp_kurtosis(g1a * w2222 + g1b * w3333 + g2a * w2233, 10.0);
    }

    const auto& W = out.w;
    double mkt = (W[0] + W[1] + W[2] + 2.0 * (W[9] + W[10] + W[11])) / 5.0;
    double norm = 0.0, dev = 0.0;
    for (std::size_t q = 0; q < 15; ++q) {
        const double iso = q < 3 ? mkt : (q >= 9 && q < 12 ? mkt / 3.0 : 0.0);
        norm += kMultiplicity[q] * W[q] * W[q];
        dev += kMultiplicity[q] * (W[q] - iso) * (W[q] - iso);
    }
    out.kfa = (mkt > 1e-8 && norm > 0.0) ? std::sqrt(dev / norm) : 0.0;
    if (mkt <= kKurtosisFloor) mkt = kKurtosisFloor;
    if (mkt >= 10.0) mkt = 10.0;
    out.mkt = mkt;
    return out;
}

// A difference equal to the tolerance counts as distinct eigenvalues, in f1m (whose general case
// already takes >=) and in f2m alike, so no input falls between the cases.
double f1m(double l1, double l2, double l3) {
    if (!(l1 > kMinEigen && l2 > kMinEigen && l3 > kMinEigen)) return 0.0;
    const double tol = 0.025 * l1;
    const bool close12 = std::abs(l1 - l2) < tol, close13 = std::abs(l1 - l3) < tol;
    if (!close12 && !close13) {
        const double s = l1 + l2 + l3;
        const double r23 = std::sqrt(l2 * l3);
        const double rf = carlson_rf(l1 / l2, l1 / l3), rd = carlson_rd(l1 / l2, l1 / l3);
        return s * s / (18.0 * (l1 - l2) * (l1 - l3)) *
               (r23 / l1 * rf + (3.0 * l1 * l1 - l1 * l2 - l1 * l3 - l2 * l3) / (3.0 * l1 * r23) * rd - 1.0);
    }
    if (close12 && !close13) {
        const double a = (l1 + l2) / 2.0;
        return 0.5 * f2m(l3, a, a);
    }
    if (!close12 && close13) {
        const double a = (l1 + l3) / 2.0;
        return 0.5 * f2m(l2, a, a);
    }
    return 0.2;
}

double f2m(double l1, double l2, double l3) {
    if (!(l1 > kMinEigen && l2 > kMinEigen && l3 > kMinEigen)) return 0.0;
    const double tol = 0.025 * l2;
    const double s = l1 + l2 + l3;
    if (!(std::abs(l2 - l3) < tol)) {
        const double r23 = std::sqrt(l2 * l3);
        const double rf = carlson_rf(l1 / l2, l1 / l3), rd = carlson_rd(l1 / l2, l1 / l3);
        return s * s / (3.0 * (l2 - l3) * (l2 - l3)) *
               ((l2 + l3) / r23 * rf + (2.0 * l1 - l2 - l3) / (3.0 * r23) * rd - 2.0);
    }
    if (!(std::abs(l1 - l2) < tol)) {
        const double a = (l2 + l3) / 2.0;
        const double x = 1.0 - l1 / a;
        // atanh(√x)/√x, or its continuation atan(√-x)/√-x for x < 0.
        double alpha;
        if (x > 0.0) {
            const double r = std::sqrt(x);
            alpha = 0.5 * std::log1p(2.0 * r / (1.0 - r)) / r;
        } else {
            const double r = std::sqrt(-x);
            alpha = std::atan(r) / r;
        }
        return 6.0 * (l1 + 2.0 * a) * (l1 + 2.0 * a) / (144.0 * a * a * (l1 - a) * (l1 - a)) *
               (a * (l1 + 2.0 * a) + l1 * (l1 - 4.0 * a) * alpha);
    }
    return 0.4;
}

double carlson_rf(double x, double y) {
    if (!(x >= 0.0 && y >= 0.0)) return kNaN;
    double z = 1.0;
    double a = (x + y + 1.0) / 3.0;
    // (3r)^(-1/6) with r = 3e-4: the truncation error of the series below is then below r.
    const double q = 3.218297948685432 * std::max({std::abs(a - x), std::abs(a - y), std::abs(a - 1.0)});
    if (q > std::abs(a)) {
        double scale = 1.0;
        for (int m = 1; m <= kMaxDuplications; ++m) {
            const double sx = std::sqrt(x), sy = std::sqrt(y), sz = std::sqrt(z);
            const double lambda = sy * sz + (sy + sz) * sx;
            x = (x + lambda) / 4.0;
            y = (y + lambda) / 4.0;
            z = (z + lambda) / 4.0;
            a = (a + lambda) / 4.0;
            scale /= 4.0;
            if (scale * q <= std::abs(a)) break;
        }
    }
    const double xx = 1.0 - x / a, yy = 1.0 - y / a, zz = -(xx + yy);
    const double e2 = xx * yy - zz * zz, e3 = xx * yy * zz;
    return (1.0 - e2 / 10.0 + e3 / 14.0 + e2 * e2 / 24.0 - 3.0 * e2 * e3 / 44.0) / std::sqrt(a);
}

double carlson_rd(double x, double y) {
    if (!(x >= 0.0 && y >= 0.0)) return kNaN;
    const double x0 = x, y0 = y;
    double z = 1.0;
    const double a0 = (x + y + 3.0) / 5.0;
    double a = a0;
    // (r/4)^(-1/6) with r = 1e-4.
    const double q = 5.848035476425731 * std::max({std::abs(a0 - x), std::abs(a0 - y), std::abs(a0 - 1.0)});
    double sum = 0.0;
    double scale = 1.0;  // 4^-m
    if (q > std::abs(a0)) {
        for (int m = 0; m < kMaxDuplications; ++m) {
            const double sx = std::sqrt(x), sy = std::sqrt(y), sz = std::sqrt(z);
            const double lambda = sy * sz + (sy + sz) * sx;
            sum += scale / (sz * (z + lambda));
            x = (x + lambda) / 4.0;
            y = (y + lambda) / 4.0;
            z = (z + lambda) / 4.0;
            a = (a + lambda) / 4.0;
            scale /= 4.0;
            if (scale * q <= std::abs(a)) break;
        }
    }
    const double xx = (a0 - x0) * scale / a, yy = (a0 - y0) * scale / a, zz = -(xx + yy) / 3.0;
    const double xy = xx * yy;
    const double e2 = xy - 6.0 * zz * zz, e3 = (3.0 * xy - 8.0 * zz * zz) * zz, e4 = 3.0 * (xy - zz * zz) * zz * zz,
                 e5 = xy * zz * zz * zz;
    return scale / (a * std::sqrt(a)) *
               (1.0 - 3.0 * e2 / 14.0 + e3 / 6.0 + 9.0 * e2 * e2 / 88.0 - 3.0 * e4 / 22.0 - 9.0 * e2 * e3 / 52.0 +
                3.0 * e5 / 26.0) +
           3.0 * sum;
}

}  // namespace quorvel::microstructure
